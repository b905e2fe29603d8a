#include "MeterFormat.h"

#include <chrono>
#include <cstdio>

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
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t UnixMillisNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string UtcTimestamp(int64_t unixMs)
{
    using namespace std::chrono;
    // Floored to the day, so a time before 1970 still has a time of day
    // from 00:00:00.000 on.
    const sys_time<milliseconds> t{milliseconds(unixMs)};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{t - day};
    char text[96];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string UtcTimestamp()
{
    return UtcTimestamp(UnixMillisNow());
}
