// Command line of quorvan-cli, parsed into a plain value.
//
// Parsing never touches a device or the environment: what it returns is
// either a complete request or one sentence saying what is wrong with the
// arguments (exit status 2). Global options may stand before or after the
// command.
#pragma once

#include "CMeterPort.h"

#include <cstdint>
#include <string>

enum class CliCommand { None, Read, Watch, Params, SetParams, ResetEnergy, Calibrate };

// A port as given: a number (COMn) or a device path, never both.
using CliPort = PortChoice;

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
    CliPort port;
    CliCommand command = CliCommand::None;
    CliSetParams set;
};

struct CliParseResult {
    bool ok = false;
    std::string error;  // one sentence when !ok
    CliOptions options;
};

CliParseResult ParseCliArgs(int argc, const char* const* argv);

// "COM3" or "com3" (1..kMaxComPort) or a path containing '/'. False with a
// sentence in *error otherwise.
bool ParseCliPort(const std::string& text, CliPort* port, std::string* error);

// Volts with at most two decimals ("300", "300.5", "300.55") into hundredths
// within [minHundredths, maxHundredths]; maxHundredths at most 65535.
bool ParseVolts(const char* text, uint32_t minHundredths, uint32_t maxHundredths,
                uint16_t* hundredths);

// Plain decimal digits within [min, max], max at most 65535; no sign, no
// blanks.
bool ParseBounded(const char* text, uint32_t min, uint32_t max, uint16_t* value);

// The --help text.
const char* CliUsage();

// Limits of the parameter dialog; thresholds in 0.01 V.
constexpr uint32_t kHighVoltageMin = 500, kHighVoltageMax = 35000;
constexpr uint32_t kLowVoltageMin = 100, kLowVoltageMax = 35000;
constexpr uint32_t kAddressMin = 1, kAddressMax = 247;
constexpr uint32_t kRangeCodeMax = 3;
