// quorvan-meterd's command line, parsed into a plain value. Parsing touches
// no file: --config names the file, main reads it.
#pragma once

#include <string>

struct MeterdArgs {
    std::string configPath;  // DefaultConfigPath() unless --config
    bool check = false;      // only check the configuration
    bool hashPassword = false;  // print the bcrypt hash of a password read from stdin
    bool help = false;
    bool version = false;
};

struct MeterdArgsResult {
    bool ok = false;
    std::string error;  // one sentence when !ok (exit status 2)
    MeterdArgs args;
};

MeterdArgsResult ParseMeterdArgs(int argc, const char* const* argv);

// The --help text.
std::string MeterdUsage();

// Exit statuses of the program.
enum MeterdExit : int {
    kMeterdExitOk = 0,
    kMeterdExitStart = 1,   // the HTTP listen address could not be had
    kMeterdExitConfig = 2,  // usage error or a bad configuration
};
