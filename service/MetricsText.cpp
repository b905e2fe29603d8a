#include "MetricsText.h"

#include "MeterFormat.h"

#include <cstdint>
#include <initializer_list>

namespace {

// "1733636401.123" from milliseconds since 1970.
std::string SecondsText(int64_t unixMs)
{
    std::string text = std::to_string(unixMs / 1000) + ".";
    const int ms = static_cast<int>(unixMs % 1000);
    text += static_cast<char>('0' + ms / 100);
    text += static_cast<char>('0' + ms / 10 % 10);
    text += static_cast<char>('0' + ms % 10);
    return text;
}

// Which meters a family shows: a meter's old values are not shown while it
// is down, and a time only once there was a reading.
enum class Shown { kAll, kLive, kEverRead };

bool Shows(Shown shown, const MeterSnapshot& m)
{
    switch (shown) {
        case Shown::kLive: return m.up && m.haveReading;
        case Shown::kEverRead: return m.haveReading;
        case Shown::kAll: break;
    }
    return true;
}

using Meter = const MeterSnapshot&;

struct Family {
    const char* name;
    const char* type;
    const char* help;
    Shown shown;
    std::string (*value)(const MeterSnapshot&);
};

constexpr Family kFamilies[] = {
    {"quorvan_meter_up", "gauge", "1 while the meter's last poll succeeded.", Shown::kAll,
     [](Meter m) { return std::string(m.up ? "1" : "0"); }},
    {"quorvan_meter_voltage_volts", "gauge", "Voltage the meter measures.", Shown::kLive,
     [](Meter m) { return HundredthsText(m.reading.voltage); }},
    {"quorvan_meter_current_amperes", "gauge", "Current the meter measures.", Shown::kLive,
     [](Meter m) { return HundredthsText(m.reading.current); }},
    {"quorvan_meter_power_watts", "gauge", "Power the meter measures.", Shown::kLive,
     [](Meter m) { return TenthsText(m.reading.power); }},
    {"quorvan_meter_energy_joules_total", "counter",
     "The meter's energy counter (1 Wh = 3600 J); back to 0 when the meter's counter is cleared.",
     Shown::kLive, [](Meter m) { return std::to_string(uint64_t{m.reading.energy} * 3600); }},
    {"quorvan_meter_voltage_alarm", "gauge", "1 while the meter reports a voltage alarm.",
     Shown::kLive, [](Meter m) { return std::string(m.reading.VoltageAlarm() ? "1" : "0"); }},
    {"quorvan_meter_last_reading_timestamp_seconds", "gauge",
     "When the meter's last good reading was taken (Unix time).", Shown::kEverRead,
     [](Meter m) { return SecondsText(m.readingUnixMs); }},
    {"quorvan_meter_polls_total", "counter", "Polls sent to the meter.", Shown::kAll,
     [](Meter m) { return std::to_string(m.polls); }},
    {"quorvan_meter_poll_failures_total", "counter", "Polls of the meter that failed.", Shown::kAll,
     [](Meter m) { return std::to_string(m.failures); }},
};

void Append(std::string* out, std::initializer_list<const char*> parts)
{
    for (const char* part : parts)
        *out += part;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

void RenderMetrics(const std::vector<MeterSnapshot>& meters, std::string* out)
{
    std::vector<std::string> labels;
    labels.reserve(meters.size());
    for (const MeterSnapshot& m : meters)
        labels.push_back("{meter=\"" + EscapeLabelValue(m.name) + "\",port=\"" +
                         EscapeLabelValue(m.port) + "\",address=\"" + std::to_string(m.address) +
                         "\"}");
    // HELP and TYPE lines, then about a hundred bytes per sample.
    out->reserve(out->size() + 1536 + meters.size() * 1024);

    for (const Family& f : kFamilies) {
        Append(out, {"# HELP ", f.name, " ", f.help, "\n# TYPE ", f.name, " ", f.type, "\n"});
        for (size_t i = 0; i < meters.size(); ++i) {
            if (!Shows(f.shown, meters[i]))
                continue;
            *out += f.name;
            *out += labels[i];
            *out += ' ';
            *out += f.value(meters[i]);
            *out += '\n';
        }
    }
}
