// Command line of quorvan-meter-sim, parsed into a plain value.
//
// Parsing touches no device and no file: it returns either everything the
// program needs to run or one sentence saying what is wrong with the
// arguments (exit status 2, with the usage text).
//
// One meter comes from --voltage, --current, --energy, --high, --low,
// --address, --range and --fixed. Each --meter ADDRESS[,SETTING...] puts a
// meter at ADDRESS on the line instead; the single-meter options then give
// the defaults of every meter (--address excepted: it excludes --meter),
// whatever their order on the command line. --fault applies to every meter.
#pragma once

#include "SimTypes.h"

#include <string>
#include <vector>

struct SimArgs {
    bool help = false;
    bool version = false;
    int com = 0;                        // make the COMn alias (0: none)
    std::string link;                   // or a link at this path (empty: none)
    std::vector<SimMeterState> meters;  // the line's meters, at least one
    SimFaults faults;                   // on every meter
    bool pacing = true;
    int calibrateMs = kSimDefaultCalibrateMs;
    double hangupSeconds = -1;  // close the pty after this long (-1: never)
};

struct SimArgsResult {
    bool ok = false;
    std::string error;  // one sentence when !ok
    SimArgs options;
};

SimArgsResult ParseSimArgs(int argc, const char* const* argv);

// The --help text.
const char* SimUsage();
