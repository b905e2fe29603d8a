// Command line of quorvan-cli, parsed into a plain value.
//
// Parsing never touches a device or the environment: what it returns is
// either a complete request or one sentence saying what is wrong with the
// arguments (exit status 2). Global options may stand before or after the
// command. Nothing is thrown.
#pragma once

#include "LineScan.h"
#include "PortMap.h"

#include <cstdint>
#include <string>

enum class CliCommand { None, Read, Watch, Params, SetParams, ResetEnergy, Calibrate, Scan };

// The current range codes: 0 100A, 1 50A, 2 200A, 3 300A.
constexpr uint32_t kRangeCodeMax = 3;
// scan --timeout in ms: an answer of 21 bytes takes 24 ms at 9600 baud, and
// a limit longer than the meter's own (1420 ms) finds nothing more.
constexpr uint16_t kScanTimeoutMinMs = 50, kScanTimeoutMaxMs = 1500;
constexpr uint16_t kScanTimeoutDefaultMs = kScanAnswerLimitMs;

// set-params values in register units; a field is used only when its flag is set.
struct CliSetParams {
    bool hasHigh = false, hasLow = false, hasAddress = false, hasRange = false;
    uint16_t highVoltage = 0;  // 0.01 V
    uint16_t lowVoltage = 0;   // 0.01 V
    uint16_t address = 0;
    uint16_t currentRange = 0;
};

struct CliOptions {
    bool help = false;
    bool version = false;
    bool trace = false;
    bool json = false;
    PortChoice port;   // a number (COMn) or a device path, never both
    uint8_t unit = 0;  // the meter's own address 1..247; 0: the general address 0xF8
    CliCommand command = CliCommand::None;
    CliSetParams set;
    uint16_t scanTimeoutMs = kScanTimeoutDefaultMs;  // scan: the answer limit per address
};

struct CliParseResult {
    bool ok = false;
    std::string error;  // one sentence when !ok
    CliOptions options;
};

CliParseResult ParseCliArgs(int argc, const char* const* argv);

// "COM3" or "com3" (1..kMaxComPort) or a path containing '/'. False with a
// sentence in *error otherwise.
bool ParseCliPort(const std::string& text, PortChoice* port, std::string* error);

// Volts with at most two decimals ("300", "300.5", "300.55") into hundredths
// within [minHundredths, maxHundredths]; maxHundredths at most 65535.
bool ParseVolts(const char* text, uint32_t minHundredths, uint32_t maxHundredths,
                uint16_t* hundredths);

// Plain decimal digits within [min, max], max at most 65535; no sign, no
// blanks.
bool ParseBounded(const char* text, uint32_t min, uint32_t max, uint16_t* value);

// The --help text.
const char* CliUsage();
