#include "MeterFormat.h"

#include <cstdio>
#include <ctime>

std::string HundredthsText(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", value / 100, value % 100);
    return text;
}

std::string TenthsText(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u", value / 10, value % 10);
    return text;
}

std::string FormatReading(const Measurement& m, bool json, const std::string& time)
{
    const std::string volts = HundredthsText(m.voltage);
    const std::string amps = HundredthsText(m.current);
    const std::string watts = TenthsText(m.power);
    const std::string energy = std::to_string(m.energy);
    if (json) {
        return "{\"voltage_v\": " + volts + ", \"current_a\": " + amps + ", \"power_w\": " + watts +
               ", \"energy_wh\": " + energy +
               ", \"voltage_alarm\": " + (m.VoltageAlarm() ? "true" : "false") +
               (time.empty() ? std::string() : ", \"time\": \"" + time + "\"") + "}\n";
    }
    return volts + " V  " + amps + " A  " + watts + " W  " + energy + " Wh" +
           (m.VoltageAlarm() ? "  VOLTAGE ALARM" : "") + "\n";
}

int64_t SteadyMillisNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t UnixMillisNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string UtcTimestamp(int64_t unixMs)
{
    // Floor division, so a time before 1970 still has 0..999 ms.
    int64_t seconds = unixMs / 1000;
    int64_t ms = unixMs % 1000;
    if (ms < 0) {
        ms += 1000;
        seconds -= 1;
    }
    const time_t t = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms));
    return text;
}

std::string UtcTimestamp()
{
    return UtcTimestamp(UnixMillisNow());
}
