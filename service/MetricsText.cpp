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

// A meter's old values are not shown while it is down.
bool Live(const MeterSnapshot& m)
{
    return m.up && m.haveReading;
}

// Each writes a meter's sample value into *v, or returns false to leave
// the meter out of that family.
bool Up(const MeterSnapshot& m, std::string* v)
{
    *v = m.up ? "1" : "0";
    return true;
}

bool Voltage(const MeterSnapshot& m, std::string* v)
{
    if (!Live(m))
        return false;
    *v = HundredthsText(m.reading.voltage);
    return true;
}

bool Current(const MeterSnapshot& m, std::string* v)
{
    if (!Live(m))
        return false;
    *v = HundredthsText(m.reading.current);
    return true;
}

bool Power(const MeterSnapshot& m, std::string* v)
{
    if (!Live(m))
        return false;
    *v = TenthsText(m.reading.power);
    return true;
}

bool EnergyJoules(const MeterSnapshot& m, std::string* v)
{
    if (!Live(m))
        return false;
    *v = std::to_string(uint64_t{m.reading.energy} * 3600);
    return true;
}

bool Alarm(const MeterSnapshot& m, std::string* v)
{
    if (!Live(m))
        return false;
    *v = m.reading.VoltageAlarm() ? "1" : "0";
    return true;
}

bool ReadingTime(const MeterSnapshot& m, std::string* v)
{
    if (!m.haveReading)
        return false;
    *v = SecondsText(m.readingUnixMs);
    return true;
}

bool Polls(const MeterSnapshot& m, std::string* v)
{
    *v = std::to_string(m.polls);
    return true;
}

bool Failures(const MeterSnapshot& m, std::string* v)
{
    *v = std::to_string(m.failures);
    return true;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
    bool (*value)(const MeterSnapshot&, std::string*);
};

constexpr Family kFamilies[] = {
    {"quorvan_meter_up", "gauge", "1 while the meter's last poll succeeded.", Up},
    {"quorvan_meter_voltage_volts", "gauge", "Voltage the meter measures.", Voltage},
    {"quorvan_meter_current_amperes", "gauge", "Current the meter measures.", Current},
    {"quorvan_meter_power_watts", "gauge", "Power the meter measures.", Power},
    {"quorvan_meter_energy_joules_total", "counter",
     "The meter's energy counter (1 Wh = 3600 J); back to 0 when the meter's counter is cleared.",
     EnergyJoules},
    {"quorvan_meter_voltage_alarm", "gauge", "1 while the meter reports a voltage alarm.", Alarm},
    {"quorvan_meter_last_reading_timestamp_seconds", "gauge",
     "When the meter's last good reading was taken (Unix time).", ReadingTime},
    {"quorvan_meter_polls_total", "counter", "Polls sent to the meter.", Polls},
    {"quorvan_meter_poll_failures_total", "counter", "Polls of the meter that failed.", Failures},
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

    std::string value;
    for (const Family& f : kFamilies) {
        Append(out, {"# HELP ", f.name, " ", f.help, "\n# TYPE ", f.name, " ", f.type, "\n"});
        for (size_t i = 0; i < meters.size(); ++i) {
            if (!f.value(meters[i], &value))
                continue;
            *out += f.name;
            *out += labels[i];
            *out += ' ';
            *out += value;
            *out += '\n';
        }
    }
}
