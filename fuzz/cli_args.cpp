// quorvan-cli's command line on arbitrary arguments (NUL-separated): the
// parse either refuses with a sentence or yields a request within the
// limits the meter accepts.
#include "CliArgs.h"
#include "PortMap.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"quorvan-cli"};
    args.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    const CliParseResult r = ParseCliArgs(static_cast<int>(args.size()), argv.data());
    if (!r.ok) {
        Require(!r.error.empty());
        return 0;
    }
    const CliOptions& o = r.options;
    if (o.help || o.version)
        return 0;
    Require(o.command != CliCommand::None);
    Require((o.port.number == 0) != o.port.path.empty());
    Require(o.port.number == 0 || (o.port.number >= 1 && o.port.number <= kMaxComPort));
    const CliSetParams& s = o.set;
    Require(!s.hasHigh || (s.highVoltage >= kHighVoltageMin && s.highVoltage <= kHighVoltageMax));
    Require(!s.hasLow || (s.lowVoltage >= kLowVoltageMin && s.lowVoltage <= kLowVoltageMax));
    Require(!s.hasAddress || (s.address >= kAddressMin && s.address <= kAddressMax));
    Require(!s.hasRange || s.currentRange <= kRangeCodeMax);
    return 0;
}
