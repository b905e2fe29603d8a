#include "MetricsText.h"

#include "MeterFormat.h"

#include <cstdint>
#include <cstdio>
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

std::string DecimalText(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
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

constexpr Family kMeterFamilies[] = {
    {"quorvan_meter_up", "gauge", "1 while the meter's latest poll succeeded.", Shown::kAll,
     [](Meter m) { return std::string(m.up ? "1" : "0"); }},
    {"quorvan_meter_voltage_volts", "gauge",
     "Voltage the meter sent at its latest poll (not read at scrape time).", Shown::kLive,
     [](Meter m) { return HundredthsText(m.reading.voltage); }},
    {"quorvan_meter_current_amperes", "gauge",
     "Current the meter sent at its latest poll (not read at scrape time).", Shown::kLive,
     [](Meter m) { return HundredthsText(m.reading.current); }},
    {"quorvan_meter_power_watts", "gauge",
     "Power the meter sent at its latest poll (not read at scrape time).", Shown::kLive,
     [](Meter m) { return TenthsText(m.reading.power); }},
    {"quorvan_meter_energy_joules_total", "counter",
     "The meter's energy counter at its latest poll (1 Wh = 3600 J); back to 0 when the "
     "meter's counter is cleared.",
     Shown::kLive, [](Meter m) { return std::to_string(uint64_t{m.reading.energy} * 3600); }},
    {"quorvan_meter_voltage_alarm", "gauge",
     "1 while the meter reported a voltage alarm at its latest poll.", Shown::kLive,
     [](Meter m) { return std::string(m.reading.VoltageAlarm() ? "1" : "0"); }},
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

void Header(std::string* out, const char* name, const char* type, const char* help)
{
    Append(out, {"# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"});
}

void Sample(std::string* out, const char* name, const std::string& labels, const std::string& value)
{
    *out += name;
    *out += labels;
    *out += ' ';
    *out += value;
    *out += '\n';
}

// A family of one sample without labels.
void Single(std::string* out, const char* name, const char* type, const char* help,
            const std::string& value)
{
    Header(out, name, type, help);
    Sample(out, name, std::string(), value);
}

void RenderMeters(const std::vector<MeterSnapshot>& meters, std::string* out)
{
    std::vector<std::string> labels;
    labels.reserve(meters.size());
    for (const MeterSnapshot& m : meters)
        labels.push_back("{meter=\"" + EscapeLabelValue(m.name) + "\"}");

    Header(out, "quorvan_meter_info", "gauge",
           "Where each meter is polled: its line's port and its address; always 1.");
    for (const MeterSnapshot& m : meters)
        Sample(out, "quorvan_meter_info",
               "{meter=\"" + EscapeLabelValue(m.name) + "\",port=\"" + EscapeLabelValue(m.port) +
                   "\",address=\"" + std::to_string(m.address) + "\"}",
               "1");
    for (const Family& f : kMeterFamilies) {
        Header(out, f.name, f.type, f.help);
        for (size_t i = 0; i < meters.size(); ++i)
            if (Shows(f.shown, meters[i]))
                Sample(out, f.name, labels[i], f.value(meters[i]));
    }
}

void RenderService(const ServiceView& view, std::string* out)
{
    Header(out, "quorvan_meterd_build_info", "gauge", "The running quorvan-meterd; always 1.");
    Sample(out, "quorvan_meterd_build_info", "{version=\"" QUORVAN_VERSION "\"}", "1");

    Header(out, "quorvan_meterd_line_open", "gauge",
           "1 while the line's port is open and polled, 0 while it cannot be opened.");
    for (const LineStatus& l : view.lines)
        Sample(out, "quorvan_meterd_line_open", "{line=\"" + EscapeLabelValue(l.port) + "\"}",
               l.open ? "1" : "0");
    Header(out, "quorvan_meterd_line_open_failures_total", "counter",
           "Failed attempts to open the line's port.");
    for (const LineStatus& l : view.lines)
        Sample(out, "quorvan_meterd_line_open_failures_total",
               "{line=\"" + EscapeLabelValue(l.port) + "\"}", std::to_string(l.openFailures));

    const ServiceFacts& s = view.service;
    if (s.mqttEnabled)
        Single(out, "quorvan_meterd_mqtt_connected", "gauge",
               "1 while the MQTT broker has accepted the service's connection.",
               s.mqttConnected ? "1" : "0");
    Single(out, "quorvan_meterd_config_last_reload_successful", "gauge",
           "1 when the last reading of the configuration file (start or SIGHUP) was taken.",
           s.reloadOk ? "1" : "0");
    Single(out, "quorvan_meterd_config_last_reload_success_timestamp_seconds", "gauge",
           "When the configuration in force was taken (Unix time).", SecondsText(s.reloadUnixMs));
}

void RenderProcess(const ProcessStats& p, std::string* out)
{
    if (!p.ok)
        return;
    Single(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent.",
           DecimalText(p.cpuSeconds, 2));
    Single(out, "process_resident_memory_bytes", "gauge", "Resident memory size.",
           std::to_string(p.residentBytes));
    Single(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size.",
           std::to_string(p.virtualBytes));
    if (p.openFds >= 0)
        Single(out, "process_open_fds", "gauge", "Open file descriptors.",
               std::to_string(p.openFds));
    if (p.maxFds >= 0)
        Single(out, "process_max_fds", "gauge", "Most file descriptors the process may open.",
               std::to_string(p.maxFds));
    Single(out, "process_start_time_seconds", "gauge", "When the process started (Unix time).",
           DecimalText(p.startTimeSeconds, 2));
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

void RenderMetrics(const ServiceView& view, const ProcessStats& process, std::string* out)
{
    // HELP and TYPE lines, then about sixty bytes per sample.
    out->reserve(out->size() + 4096 + view.meters.size() * 768 + view.lines.size() * 160);
    RenderMeters(view.meters, out);
    RenderService(view, out);
    RenderProcess(process, out);
}
