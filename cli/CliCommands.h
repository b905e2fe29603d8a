// The commands of quorvan-cli, each one job on the meter: open the port,
// one or more exchanges, print, close. Results are exit statuses.
#pragma once

#include "CliArgs.h"

enum CliExit {
    kExitOk = 0,
    kExitMeter = 1,  // the meter failed, or the calibration password was wrong
    kExitUsage = 2,
    kExitPort = 3,  // the port cannot be opened
};

// Runs options.command; prints results on standard output and every
// complaint on standard error.
int RunCommand(const CliOptions& options);
