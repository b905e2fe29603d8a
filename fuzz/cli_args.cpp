// quorvan-cli's command line on arbitrary arguments (NUL-separated): the
// parse either refuses with a sentence or yields a request within the
// limits the meter accepts. An exception from the option parser that got
// out would end the run as a crash.
#include "CliArgs.h"
#include "ParamInput.h"
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

// A field's bounds of the parameter table in `scale` units.
bool Within(uint32_t value, ParamField field, uint32_t scale)
{
    const ParamBounds b = ParamFieldBounds(field);
    return value >= static_cast<uint32_t>(b.low) * scale &&
           value <= static_cast<uint32_t>(b.high) * scale;
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
    Require(o.unit == 0 || Within(o.unit, kParamAddress, 1));
    Require(o.command != CliCommand::Scan || o.unit == 0);
    Require(o.scanTimeoutMs >= kScanTimeoutMinMs && o.scanTimeoutMs <= kScanTimeoutMaxMs);
    const CliSetParams& s = o.set;
    const bool anySet = s.hasHigh || s.hasLow || s.hasAddress || s.hasRange;
    Require(anySet == (o.command == CliCommand::SetParams));
    Require(!s.hasHigh || Within(s.highVoltage, kParamMaxVoltage, 100));
    Require(!s.hasLow || Within(s.lowVoltage, kParamMinVoltage, 100));
    Require(!s.hasAddress || Within(s.address, kParamAddress, 1));
    Require(!s.hasRange || s.currentRange <= kRangeCodeMax);
    return 0;
}
