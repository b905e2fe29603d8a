#include "CliArgs.h"

#include "ParamInput.h"
#include "PortMap.h"

#include <CLI/CLI.hpp>

#include <map>
#include <vector>

namespace {

struct CommandName {
    const char* name;
    CliCommand command;
};

constexpr CommandName kCommands[] = {
    {"read", CliCommand::Read},
    {"watch", CliCommand::Watch},
    {"params", CliCommand::Params},
    {"set-params", CliCommand::SetParams},
    {"reset-energy", CliCommand::ResetEnergy},
    {"calibrate", CliCommand::Calibrate},
    {"scan", CliCommand::Scan},
};

// Options that take a value; the others are flags.
constexpr const char* kValueOptions[] = {"--port", "--unit",    "--timeout", "--high",
                                         "--low",  "--address", "--range"};

CliCommand FindCommand(const std::string& name)
{
    for (const auto& entry : kCommands)
        if (name == entry.name)
            return entry.command;
    return CliCommand::None;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "--name" of "--name=value".
std::string OptionName(const std::string& arg)
{
    return arg.substr(0, arg.find('='));
}

// Volts within a field's bounds of the parameter table, into hundredths;
// *range gets the accepted values in words.
bool ParseFieldVolts(const char* value, ParamField field, uint16_t* hundredths, std::string* range)
{
    const ParamBounds b = ParamFieldBounds(field);
    *range = "a voltage from " + std::to_string(b.low) + " to " + std::to_string(b.high) +
             " V with at most two decimals";
    return ParseVolts(value, static_cast<uint32_t>(b.low) * 100u,
                      static_cast<uint32_t>(b.high) * 100u, hundredths);
}

// A meter address within the parameter table's bounds; *range as above.
bool ParseAddress(const char* value, uint16_t* address, std::string* range)
{
    const ParamBounds b = ParamFieldBounds(kParamAddress);
    *range = "a whole number from " + std::to_string(b.low) + " to " + std::to_string(b.high);
    return ParseBounded(value, static_cast<uint32_t>(b.low), static_cast<uint32_t>(b.high),
                        address);
}

// Checks one option's value into `opt`; false with a sentence in *error
// that names the option and the value as given.
bool ApplyValue(const std::string& name, const std::string& text, CliOptions* opt,
                std::string* error)
{
    if (name == "--port")
        return ParseCliPort(text, &opt->port, error);
    const char* value = text.c_str();
    CliSetParams& set = opt->set;
    bool ok = false;
    std::string range;
    if (name == "--unit") {
        uint16_t unit = 0;
        ok = ParseAddress(value, &unit, &range);
        opt->unit = static_cast<uint8_t>(unit);
        range = "a meter address, " + range;
    } else if (name == "--timeout") {
        ok = ParseBounded(value, kScanTimeoutMinMs, kScanTimeoutMaxMs, &opt->scanTimeoutMs);
        range = "a whole number of milliseconds from " + std::to_string(kScanTimeoutMinMs) +
                " to " + std::to_string(kScanTimeoutMaxMs);
    } else if (name == "--high") {
        ok = ParseFieldVolts(value, kParamMaxVoltage, &set.highVoltage, &range);
        set.hasHigh = true;
    } else if (name == "--low") {
        ok = ParseFieldVolts(value, kParamMinVoltage, &set.lowVoltage, &range);
        set.hasLow = true;
    } else if (name == "--address") {
        ok = ParseAddress(value, &set.address, &range);
        set.hasAddress = true;
    } else {
        ok = ParseBounded(value, 0, kRangeCodeMax, &set.currentRange);
        set.hasRange = true;
        range = "0 (100A), 1 (50A), 2 (200A) or 3 (300A)";
    }
    if (!ok)
        *error = name + " wants " + range + ", not '" + text + "'";
    return ok;
}

CliParseResult Fail(std::string error)
{
    CliParseResult result;
    result.error = std::move(error);
    return result;
}

// The options as CLI11 knows them. The flags land in `opt`; the values stay
// text, in the order given, until ApplyValue checks them, so that each
// refusal keeps its own sentence. Everything else (the command, unknown
// options, "--") is left over as extras, in order.
void DefineOptions(CLI::App& app, CliOptions& opt)
{
    app.set_help_flag();  // the usage text is ours
    app.allow_extras();
    app.add_flag("-h,--help", opt.help);
    app.add_flag("--version", opt.version);
    app.add_flag("--trace", opt.trace);
    app.add_flag("--json", opt.json);
    for (const char* name : kValueOptions)
        app.add_option(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The arguments as CLI11 should see them. CLI11 lets a flag take a value
// ("--json=false"), and reads "--low=" as "--low" waiting for the next
// argument; here a flag takes none and an empty value is a value. A value
// after its option is left as it is, whatever it looks like ("-1").
bool PrepareArgs(const CLI::App& app, int argc, const char* const* argv,
                 std::vector<std::string>* args, std::string* error)
{
    bool valueNext = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const CLI::Option* known = valueNext || arg.size() < 2 || arg[0] != '-'
                                       ? nullptr
                                       : app.get_option_no_throw(OptionName(arg));
        valueNext = false;
        if (known == nullptr) {
            args->push_back(std::move(arg));
            continue;
        }
        const std::string name = OptionName(arg);
        const bool hasValue = name.size() != arg.size();
        if (known->get_items_expected_max() == 0) {
            if (hasValue) {
                *error = name + " takes no value";
                return false;
            }
        } else if (!hasValue) {
            valueNext = true;
        } else if (name.size() + 1 == arg.size()) {
            args->push_back(name);
            arg.clear();
        }
        args->push_back(std::move(arg));
    }
    return true;
}

// The command and what must not be there, from CLI11's extras in order.
bool TakeExtras(const std::vector<std::string>& extras, CliOptions* opt, std::string* error)
{
    for (const std::string& extra : extras) {
        if (!extra.empty() && extra[0] == '-') {
            *error = "unknown option '" + OptionName(extra) + "'";
            return false;
        }
        if (opt->command != CliCommand::None) {
            *error = "unexpected argument '" + extra + "'";
            return false;
        }
        opt->command = FindCommand(extra);
        if (opt->command == CliCommand::None) {
            *error = "unknown command '" + extra + "'";
            return false;
        }
    }
    return true;
}

// Every value, in the order given.
bool TakeValues(const CLI::App& app, CliOptions* opt, std::string* error)
{
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* option : app.parse_order()) {
        if (option->get_items_expected_max() == 0)
            continue;  // a flag, already set
        const size_t index = taken[option]++;
        if (!ApplyValue(option->get_name(), option->results().at(index), opt, error))
            return false;
    }
    return true;
}

// What the values mean together.
CliParseResult CheckRequest(CliParseResult result, const CLI::App& app)
{
    const CliOptions& opt = result.options;
    result.ok = true;
    if (opt.help || opt.version)
        return result;
    if (opt.command == CliCommand::None)
        return Fail("no command given");
    const CliSetParams& set = opt.set;
    const bool anySet = set.hasHigh || set.hasLow || set.hasAddress || set.hasRange;
    if (opt.command == CliCommand::SetParams && !anySet)
        return Fail("set-params needs at least one of --high, --low, --address, --range");
    if (opt.command != CliCommand::SetParams && anySet)
        return Fail("--high, --low, --address and --range belong to set-params");
    if (opt.command != CliCommand::Scan && app.count("--timeout") > 0)
        return Fail("--timeout belongs to scan");
    if (opt.command == CliCommand::Scan && opt.unit != 0)
        return Fail("--unit does not go with scan, which asks every address");
    if (app.count("--port") == 0)
        return Fail("no port given: use --port COMn or --port /dev/...");
    return result;
}

}  // namespace

bool ParseBounded(const char* text, uint32_t min, uint32_t max, uint16_t* value)
{
    if (text == nullptr || !IsDigit(text[0]))
        return false;
    uint32_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!IsDigit(*p))
            return false;
        n = n * 10 + static_cast<uint32_t>(*p - '0');
        if (n > max)  // also stops any overflow
            return false;
    }
    if (n < min)
        return false;
    *value = static_cast<uint16_t>(n);
    return true;
}

bool ParseVolts(const char* text, uint32_t minHundredths, uint32_t maxHundredths,
                uint16_t* hundredths)
{
    if (text == nullptr || !IsDigit(text[0]))
        return false;
    uint32_t n = 0;
    const char* p = text;
    for (; IsDigit(*p); ++p) {
        n = n * 10 + static_cast<uint32_t>(*p - '0');
        if (n > maxHundredths / 100)  // also stops any overflow
            return false;
    }
    n *= 100;
    if (*p == '.') {
        ++p;
        uint32_t scale = 10;
        for (; IsDigit(*p) && scale > 0; ++p, scale /= 10)
            n += static_cast<uint32_t>(*p - '0') * scale;
        if (scale == 10)  // "300." has no decimals
            return false;
    }
    if (*p != '\0')
        return false;
    if (n < minHundredths || n > maxHundredths)
        return false;
    *hundredths = static_cast<uint16_t>(n);
    return true;
}

bool ParseCliPort(const std::string& text, PortChoice* port, std::string* error)
{
    if (IsDevicePath(text)) {
        port->number = 0;
        port->path = text;
        return true;
    }
    const int number = ParseComPortName(text);
    if (number == 0) {
        *error = "'" + text + "' is not a port: use COM1 to COM" + std::to_string(kMaxComPort) +
                 " or a device path such as " + DevicePathExample();
        return false;
    }
    port->number = number;
    port->path.clear();
    return true;
}

CliParseResult ParseCliArgs(int argc, const char* const* argv)
{
    // CLI11 reports with exceptions; none may leave this function.
    try {
        CliParseResult result;
        CLI::App app;
        DefineOptions(app, result.options);
        std::vector<std::string> args;
        if (!PrepareArgs(app, argc, argv, &args, &result.error))
            return result;
        try {
            app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
        } catch (const CLI::ArgumentMismatch&) {
            // Every option takes the argument after it, whatever it is: only
            // the last argument can lack its value.
            return Fail((args.empty() ? std::string("an option") : OptionName(args.back())) +
                        " needs a value");
        }
        if (!TakeExtras(app.remaining(), &result.options, &result.error) ||
            !TakeValues(app, &result.options, &result.error))
            return result;
        return CheckRequest(std::move(result), app);
    } catch (const std::exception& e) {
        return Fail(std::string("cannot read the command line: ") + e.what());
    }
}

const char* CliUsage()
{
    return "Usage: quorvan-cli [--trace] [--json] [--unit N] --port PORT COMMAND [options]\n"
           "\n"
           "Talks to Quorvan DC energy meters on a serial line (9600 baud, 8N2).\n"
           "\n"
           "PORT is COMn (n >= 1, mapped to a device as the panel does, see README)\n"
           "or a device path such as /dev/ttyUSB0 (\\\\.\\CNCA0 on Windows).\n"
           "\n"
           "Commands:\n"
           "  read           one reading: voltage, current, power, energy, alarm\n"
           "  watch          a reading about twice a second until Ctrl-C; gives up\n"
           "                 after three failed polls in a row\n"
           "  params         the meter's alarm thresholds, address and current range\n"
           "  set-params     change the named parameters, keep the others:\n"
           "                   --high V     high-voltage alarm, 5 to 350 V (e.g. 300.55)\n"
           "                   --low V      low-voltage alarm, 1 to 350 V\n"
           "                   --address N  meter address, 1 to 247\n"
           "                   --range CODE current range: 0 100A, 1 50A, 2 200A, 3 300A\n"
           "  reset-energy   set the meter's energy counter to zero\n"
           "  calibrate      start the meter's calibration (asks for the password)\n"
           "  scan           the meters on the line: asks every address from 1 to 247\n"
           "                 for a reading and lists those that answer\n"
           "                   --timeout MS answer limit per address, 50 to 1500 ms\n"
           "                                (default 100)\n"
           "\n"
           "Options:\n"
           "  --unit N       send to the meter whose own address is N (1 to 247);\n"
           "                 without it, to the general address 0xF8, which is only\n"
           "                 for a meter alone on the line\n"
           "  --json         one JSON object per line for each reading or answer\n"
           "  --trace        every frame sent and received, in hex, on standard error\n"
           "  --help         this text\n"
           "  --version      the program's version\n"
           "\n"
           "Exit status: 0 success, 1 the meter failed (scan: no meter answered),\n"
           "2 usage error, 3 the port cannot be opened.\n";
}
