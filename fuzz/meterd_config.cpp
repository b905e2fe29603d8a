// quorvan-meterd's configuration reader on arbitrary bytes: it either
// refuses with one "FILE:..." sentence or yields a configuration that keeps
// every rule the service relies on.
#include "MeterdConfig.h"
#include "PortMap.h"

#include <cstdlib>
#include <set>
#include <string>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ConfigResult r = ParseMeterdConfig(text, "f.toml");
    if (!r.ok) {
        Require(r.error.rfind("f.toml:", 0) == 0 && r.error.size() > 8);
        Require(r.config.lines.empty());
        return 0;
    }
    const MeterdConfig& c = r.config;
    Require(r.error.empty());
    Require(c.intervalMs >= 0 && c.intervalMs <= kMaxIntervalMs);
    Require(c.listenPort >= 0 && c.listenPort <= 65535 && !c.listenHost.empty());
    Require(!c.lines.empty() && c.lines.size() <= static_cast<size_t>(kMaxLines));
    Require(c.mqtt.port >= 1 && c.mqtt.port <= 65535);
    std::set<std::string> names, ports;
    for (const LineConfig& line : c.lines) {
        Require(ports.insert(line.port).second);
        if (line.comPort != 0)
            Require(line.comPort <= kMaxComPort &&
                    line.port == "COM" + std::to_string(line.comPort));
        else
            Require(line.port[0] == '/');
        Require(!line.meters.empty());
        std::set<int> addresses;
        for (const MeterConfig& meter : line.meters) {
            Require(meter.address >= 1 && meter.address <= 247);
            Require(addresses.insert(meter.address).second);
            Require(ValidName(meter.name) && names.insert(meter.name).second);
        }
    }
    return 0;
}
