#include "SimArgs.h"

#include "PortMap.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

const char kUsage[] =
    "usage: quorvan-meter-sim [--com N | --link PATH] [--voltage V] [--current A]\n"
    "                         [--energy WH] [--high V] [--low V] [--address N]\n"
    "                         [--range CODE] [--fixed] [--no-pacing]\n"
    "                         [--meter ADDRESS[,SETTING]...]...\n"
    "                         [--calibrate-ms MS] [--fault FAULT]... [--version]\n"
    "\n"
    "Simulates the meter on a pseudo-terminal and prints its path on the first\n"
    "line. --com N makes the alias COMn in the port alias folder, --link PATH a\n"
    "symbolic link at PATH; both are removed on SIGINT or SIGTERM.\n"
    "\n"
    "Values: --voltage/--high/--low in volts (0-655.35), --current in amperes\n"
    "(0-655.35), --energy in Wh, --address 1-247, --range any register value\n"
    "(0 100A, 1 50A, 2 200A, 3 300A). --fixed holds the values still, energy\n"
    "included; otherwise they wander and the energy counts up.\n"
    "\n"
    "A bus: each --meter puts a meter at ADDRESS (1-247) on the line; its\n"
    "SETTINGs are voltage=V current=A energy=WH high=V low=V range=CODE fixed,\n"
    "separated by commas, e.g. --meter 3,voltage=48.2,fixed. The options above\n"
    "give every meter's defaults (--address excludes --meter). Each meter\n"
    "answers its own address; all answer 0xF8, so with two or more a request\n"
    "to 0xF8 gets their answers garbled into one.\n"
    "\n"
    "Faults (--fault may repeat; they apply to every answer of every meter\n"
    "unless count=N):\n"
    "  silent        never answer            delay=MS     answer MS late\n"
    "  truncate=N    send only N bytes       crc          spoil the checksum\n"
    "  exception=N   answer exception N      garbage=N    N random bytes instead\n"
    "  split=MS      pause MS mid-answer     count=N      only the next N answers\n"
    "  hangup=SEC    close the pty after SEC seconds, as a pulled adapter\n";

enum class Kind { Com, Link, Setting, CalibrateMs, Fault, Meter, Fixed, NoPacing, Version, Help };

struct OptionRow {
    const char* names;  // as CLI11 takes them
    Kind kind;
    const char* setting;  // the meter setting a Setting option sets
};

constexpr OptionRow kOptions[] = {
    {"--com", Kind::Com, nullptr},           {"--link", Kind::Link, nullptr},
    {"--voltage", Kind::Setting, "voltage"}, {"--current", Kind::Setting, "current"},
    {"--energy", Kind::Setting, "energy"},   {"--high", Kind::Setting, "high"},
    {"--low", Kind::Setting, "low"},         {"--address", Kind::Setting, "address"},
    {"--range", Kind::Setting, "range"},     {"--calibrate-ms", Kind::CalibrateMs, nullptr},
    {"--fault", Kind::Fault, nullptr},       {"--meter", Kind::Meter, nullptr},
    {"--fixed", Kind::Fixed, nullptr},       {"--no-pacing", Kind::NoPacing, nullptr},
    {"--version", Kind::Version, nullptr},   {"-h,--help", Kind::Help, nullptr},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

bool TakesValue(Kind kind)
{
    return kind != Kind::Fixed && kind != Kind::NoPacing && kind != Kind::Version &&
           kind != Kind::Help;
}

// long long: the energy counter's 4294967295 does not fit a 32-bit long (armhf).
bool ParseLong(const std::string& text, long long min, long long max, long long* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool ParseDouble(const std::string& text, double min, double max, double* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool KnownSetting(const std::string& key)
{
    for (const char* name : {"voltage", "current", "energy", "high", "low", "address", "range"})
        if (key == name)
            return true;
    return false;
}

// Sets one meter value by its setting name (KnownSetting); `label` names it
// in the error sentence, which is empty on success.
std::string ApplySetting(const std::string& key, const std::string& label, const std::string& value,
                         SimMeterState* state)
{
    long long n = 0;
    double d = 0;
    if (key == "energy") {
        if (!ParseLong(value, 0, 4294967295LL, &n))
            return label + " wants whole Wh from 0 to 4294967295: " + value;
        state->energy = static_cast<uint32_t>(n);
    } else if (key == "address") {
        if (!ParseLong(value, 1, 247, &n))
            return label + " wants 1-247: " + value;
        state->address = static_cast<uint16_t>(n);
    } else if (key == "range") {
        if (!ParseLong(value, 0, 65535, &n))
            return label + " wants a code 0-65535: " + value;
        state->currentRange = static_cast<uint16_t>(n);
    } else {
        if (!ParseDouble(value, 0, 655.35, &d))
            return label + " wants a value from 0 to 655.35: " + value;
        uint16_t* field = key == "voltage"   ? &state->voltage
                          : key == "current" ? &state->current
                          : key == "high"    ? &state->highVoltage
                                             : &state->lowVoltage;
        *field = static_cast<uint16_t>(std::lround(d * 100.0));
    }
    return {};
}

// Applies one --fault FAULT; false when it is not understood.
bool ParseFault(const std::string& fault, SimFaults* faults, double* hangupSeconds)
{
    const auto eq = fault.find('=');
    const std::string name = fault.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : fault.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    long long n = 0;
    if (name == "silent" && !hasValue) {
        faults->silent = true;
    } else if (name == "crc" && !hasValue) {
        faults->corruptCrc = true;
    } else if (name == "delay" && ParseLong(value, 0, 600000, &n)) {
        faults->delayMs = static_cast<int>(n);
    } else if (name == "truncate" && ParseLong(value, 0, 1024, &n)) {
        faults->truncateTo = static_cast<int>(n);
    } else if (name == "exception" && ParseLong(value, 1, 255, &n)) {
        faults->exceptionCode = static_cast<int>(n);
    } else if (name == "garbage" && ParseLong(value, 1, 1024, &n)) {
        faults->garbageBytes = static_cast<int>(n);
    } else if (name == "split" && ParseLong(value, 1, 600000, &n)) {
        faults->splitPauseMs = static_cast<int>(n);
    } else if (name == "count" && ParseLong(value, 1, 1000000000, &n)) {
        faults->count = static_cast<int>(n);
    } else if (name == "hangup" && ParseDouble(value, 0, 1e6, hangupSeconds)) {
    } else {
        return false;
    }
    return true;
}

// One --meter ADDRESS[,SETTING]... on top of `defaults`; empty on success.
std::string ParseMeter(const std::string& text, const SimMeterState& defaults, SimMeterState* meter)
{
    *meter = defaults;
    std::vector<std::string> items;
    size_t from = 0;
    for (size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
        items.push_back(text.substr(from, comma - from));
    items.push_back(text.substr(from));

    long long address = 0;
    if (!ParseLong(items[0], 1, 247, &address))
        return "--meter wants an address 1-247 first: " + text;
    meter->address = static_cast<uint16_t>(address);
    for (size_t i = 1; i < items.size(); ++i) {
        const std::string& item = items[i];
        if (item == "fixed") {
            meter->fixed = true;
            continue;
        }
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        if (eq == std::string::npos || key == "address" || !KnownSetting(key))
            return "--meter " + text + ": unknown setting: " + item;
        const std::string error =
            ApplySetting(key, "--meter " + text + ": " + key, item.substr(eq + 1), meter);
        if (!error.empty())
            return error;
    }
    return {};
}

// CLI11's complaint about a value or a flag, in the words the program has
// always used.
std::string MismatchText(const std::string& what)
{
    const auto override = what.find(" was given a disallowed flag override");
    if (override != std::string::npos)
        return "--" + what.substr(0, override) + " takes no value";
    const auto colon = what.find(':');
    if (what.rfind("--", 0) == 0 && colon != std::string::npos)
        return what.substr(0, colon) + " needs a value";
    return what;
}

// Acts on the options in the order given; the meters come last, once every
// default is known. Empty on success.
std::string Apply(const CLI::App& app, const std::vector<CLI::Option*>& options, SimArgs* args)
{
    SimMeterState defaults;
    bool addressGiven = false;
    std::vector<std::string> meterTexts;
    size_t used[kOptionCount] = {};
    for (CLI::Option* option : app.parse_order()) {
        size_t i = 0;
        while (i < kOptionCount && options[i] != option)
            ++i;
        if (i == kOptionCount)
            continue;
        const OptionRow& row = kOptions[i];
        std::string value;
        if (TakesValue(row.kind) && used[i] < option->results().size())
            value = option->results()[used[i]++];
        const std::string name = row.names;
        long long n = 0;
        switch (row.kind) {
            case Kind::Help: args->help = true; return {};
            case Kind::Version: args->version = true; return {};
            case Kind::Fixed: defaults.fixed = true; break;
            case Kind::NoPacing: args->pacing = false; break;
            case Kind::Com:
                n = ParseComPortName(value);
                if (n == 0 && !ParseLong(value, 1, kMaxComPort, &n))
                    return "--com wants a port number 1-" + std::to_string(kMaxComPort) + ": " +
                           value;
                args->com = static_cast<int>(n);
                break;
            case Kind::Link:
                if (value.empty())
                    return "--link wants a path";
                args->link = value;
                break;
            case Kind::Setting: {
                const std::string error = ApplySetting(row.setting, name, value, &defaults);
                if (!error.empty())
                    return error;
                addressGiven = addressGiven || name == "--address";
                break;
            }
            case Kind::CalibrateMs:
                if (!ParseLong(value, 0, 600000, &n))
                    return "--calibrate-ms wants 0-600000: " + value;
                args->calibrateMs = static_cast<int>(n);
                break;
            case Kind::Fault:
                if (!ParseFault(value, &args->faults, &args->hangupSeconds))
                    return "unknown fault: " + value;
                break;
            case Kind::Meter: meterTexts.push_back(value); break;
        }
    }
    if (args->com != 0 && !args->link.empty())
        return "--com and --link exclude each other";
    if (addressGiven && !meterTexts.empty())
        return "--address and --meter exclude each other";
    for (const std::string& text : meterTexts) {
        SimMeterState meter;
        const std::string error = ParseMeter(text, defaults, &meter);
        if (!error.empty())
            return error;
        for (const SimMeterState& other : args->meters)
            if (other.address == meter.address)
                return "--meter: two meters at address " + std::to_string(meter.address);
        args->meters.push_back(meter);
    }
    if (args->meters.empty())
        args->meters.push_back(defaults);
    return {};
}

}  // namespace

SimArgsResult ParseSimArgs(int argc, const char* const* argv)
{
    SimArgsResult result;
    try {
        CLI::App app;
        app.set_help_flag();  // ours prints the program's own usage text
        std::vector<CLI::Option*> options;
        for (const OptionRow& row : kOptions) {
            CLI::Option* option = nullptr;
            if (TakesValue(row.kind)) {
                option = app.add_option(row.names)
                             ->expected(1)
                             ->allow_extra_args(false)
                             ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            } else {
                option = app.add_flag(row.names);
                if (row.kind != Kind::Help)
                    option->disable_flag_override();
            }
            options.push_back(option);
        }
        try {
            app.parse(argc, argv);
        } catch (const CLI::ExtrasError&) {
            const auto extra = app.remaining();
            result.error = "unknown argument: " + (extra.empty() ? std::string() : extra.front());
            return result;
        } catch (const CLI::ArgumentMismatch& e) {
            result.error = MismatchText(e.what());
            return result;
        }
        result.error = Apply(app, options, &result.options);
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    result.ok = result.error.empty();
    return result;
}

const char* SimUsage()
{
    return kUsage;
}
