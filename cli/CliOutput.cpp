#include "CliOutput.h"

#include "CModBusRtu.h"

#include <cstdio>
#include <ctime>

namespace {

// "51.23" from 5123 hundredths.
std::string Hundredths(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", value / 100, value % 100);
    return text;
}

// "230.5" from 2305 tenths.
std::string Tenths(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u", value / 10, value % 10);
    return text;
}

}  // namespace

std::string UtcTimestamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

std::string FormatReading(const Measurement& m, bool json, const std::string& time)
{
    const std::string volts = Hundredths(m.voltage);
    const std::string amps = Hundredths(m.current);
    const std::string watts = Tenths(m.power);
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

std::string FormatParameters(const Settings& s, bool json)
{
    const char* rangeText = CurrentRangeText(s.currentRange);
    const std::string code = std::to_string(s.currentRange);
    if (json) {
        const std::string text =
            rangeText != nullptr ? std::string("\"") + rangeText + "\"" : "null";
        return "{\"high_voltage_v\": " + Hundredths(s.highVoltage) +
               ", \"low_voltage_v\": " + Hundredths(s.lowVoltage) +
               ", \"address\": " + std::to_string(s.address) + ", \"current_range\": " + code +
               ", \"current_range_text\": " + text + "}\n";
    }
    const std::string range = rangeText != nullptr ? std::string(rangeText) + " (code " + code + ")"
                                                   : "unknown (code " + code + ")";
    return "High voltage alarm: " + Hundredths(s.highVoltage) + " V\n" +
           "Low voltage alarm:  " + Hundredths(s.lowVoltage) + " V\n" +
           "Address:            " + std::to_string(s.address) + "\n" +
           "Current range:      " + range + "\n";
}

std::string FormatDone(const char* text, const char* jsonKey, bool json)
{
    if (json)
        return std::string("{\"") + jsonKey + "\": true}\n";
    return std::string(text) + "\n";
}

std::string FormatTraceLine(uint32_t msOfDay, bool sent, const uint8_t* bytes, unsigned count)
{
    char stamp[32];
    const uint32_t seconds = msOfDay / 1000;
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u %s", seconds / 3600 % 24,
                  seconds / 60 % 60, seconds % 60, msOfDay % 1000, sent ? "TX" : "RX");
    std::string line = stamp;
    if (count == 0)
        line += " (nothing)";
    for (unsigned i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        line += hex;
    }
    return line + "\n";
}

std::string MeterFailureText(int result, unsigned lastReceived, const std::string& serialError)
{
    if (result == kMeterLength && lastReceived == 0)
        return "no answer";
    if (result == kMeterTransport)
        return "transport failure: " + serialError;
    char text[96];
    MeterResultText(result, text, sizeof text);
    return text;
}
