#include "CliArgs.h"

#include "PortMap.h"

#include <cstring>

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
};

CliCommand FindCommand(const char* name)
{
    for (const auto& entry : kCommands)
        if (std::strcmp(entry.name, name) == 0)
            return entry.command;
    return CliCommand::None;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Splits "--name=value" into name and value; a bare "--name" has no value.
void SplitOption(const char* arg, std::string* name, const char** value)
{
    const char* eq = std::strchr(arg, '=');
    if (eq == nullptr) {
        *name = arg;
        *value = nullptr;
    } else {
        name->assign(arg, eq);
        *value = eq + 1;
    }
}

// Parses one set-params option's value into `set`; false with *error.
bool ParseSetOption(const std::string& name, const char* value, CliSetParams* set,
                    std::string* error)
{
    bool ok = false;
    const char* range = "";
    if (name == "--high") {
        ok = ParseVolts(value, kHighVoltageMin, kHighVoltageMax, &set->highVoltage);
        set->hasHigh = true;
        range = "a voltage from 5 to 350 V with at most two decimals";
    } else if (name == "--low") {
        ok = ParseVolts(value, kLowVoltageMin, kLowVoltageMax, &set->lowVoltage);
        set->hasLow = true;
        range = "a voltage from 1 to 350 V with at most two decimals";
    } else if (name == "--address") {
        ok = ParseBounded(value, kAddressMin, kAddressMax, &set->address);
        set->hasAddress = true;
        range = "a whole number from 1 to 247";
    } else {
        ok = ParseBounded(value, 0, kRangeCodeMax, &set->currentRange);
        set->hasRange = true;
        range = "0 (100A), 1 (50A), 2 (200A) or 3 (300A)";
    }
    if (!ok)
        *error = name + " wants " + range + ", not '" + value + "'";
    return ok;
}

bool IsSetOption(const std::string& name)
{
    return name == "--high" || name == "--low" || name == "--address" || name == "--range";
}

CliParseResult Fail(std::string error)
{
    CliParseResult result;
    result.error = std::move(error);
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

bool ParseCliPort(const std::string& text, CliPort* port, std::string* error)
{
    if (text.find('/') != std::string::npos) {
        port->number = 0;
        port->path = text;
        return true;
    }
    const int number = ParseComPortName(text);
    if (number == 0) {
        *error = "'" + text + "' is not a port: use COM1 to COM" + std::to_string(kMaxComPort) +
                 " or a device path such as /dev/ttyUSB0";
        return false;
    }
    port->number = number;
    port->path.clear();
    return true;
}

CliParseResult ParseCliArgs(int argc, const char* const* argv)
{
    CliParseResult result;
    CliOptions& opt = result.options;
    bool havePort = false;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            if (opt.command != CliCommand::None)
                return Fail(std::string("unexpected argument '") + arg + "'");
            opt.command = FindCommand(arg);
            if (opt.command == CliCommand::None)
                return Fail(std::string("unknown command '") + arg + "'");
            continue;
        }

        std::string name;
        const char* value = nullptr;
        SplitOption(arg, &name, &value);
        const bool takesValue = name == "--port" || IsSetOption(name);
        if (!takesValue && value != nullptr)
            return Fail(name + " takes no value");
        if (takesValue && value == nullptr) {
            if (i + 1 >= argc)
                return Fail(name + " needs a value");
            value = argv[++i];
        }

        std::string error;
        if (name == "--help" || name == "-h") {
            opt.help = true;
        } else if (name == "--version") {
            opt.version = true;
        } else if (name == "--trace") {
            opt.trace = true;
        } else if (name == "--json") {
            opt.json = true;
        } else if (name == "--port") {
            if (!ParseCliPort(value, &opt.port, &error))
                return Fail(error);
            havePort = true;
        } else if (IsSetOption(name)) {
            if (!ParseSetOption(name, value, &opt.set, &error))
                return Fail(error);
        } else {
            return Fail("unknown option '" + name + "'");
        }
    }

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
    if (!havePort)
        return Fail("no port given: use --port COMn or --port /dev/...");
    return result;
}

const char* CliUsage()
{
    return "Usage: quorvan-cli [--trace] [--json] --port PORT COMMAND [options]\n"
           "\n"
           "Talks to one Quorvan DC energy meter on a serial line (9600 baud, 8N2).\n"
           "\n"
           "PORT is COMn (n >= 1, mapped to a device as the panel does, see README)\n"
           "or a device path such as /dev/ttyUSB0.\n"
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
           "\n"
           "Options:\n"
           "  --json         one JSON object per line for each reading or answer\n"
           "  --trace        every frame sent and received, in hex, on standard error\n"
           "  --help         this text\n"
           "  --version      the program's version\n"
           "\n"
           "Exit status: 0 success, 1 the meter failed, 2 usage error,\n"
           "3 the port cannot be opened.\n";
}
