#include "CliOutput.h"

#include "CModBusRtu.h"

#include <cstdio>
#include <ctime>

std::string FormatParameters(const Settings& s, bool json)
{
    const char* rangeText = CurrentRangeText(s.currentRange);
    const std::string code = std::to_string(s.currentRange);
    if (json) {
        const std::string text =
            rangeText != nullptr ? std::string("\"") + rangeText + "\"" : "null";
        return "{\"high_voltage_v\": " + HundredthsText(s.highVoltage) +
               ", \"low_voltage_v\": " + HundredthsText(s.lowVoltage) +
               ", \"address\": " + std::to_string(s.address) + ", \"current_range\": " + code +
               ", \"current_range_text\": " + text + "}\n";
    }
    const std::string range = rangeText != nullptr ? std::string(rangeText) + " (code " + code + ")"
                                                   : "unknown (code " + code + ")";
    return "High voltage alarm: " + HundredthsText(s.highVoltage) + " V\n" +
           "Low voltage alarm:  " + HundredthsText(s.lowVoltage) + " V\n" +
           "Address:            " + std::to_string(s.address) + "\n" +
           "Current range:      " + range + "\n";
}

std::string FormatDone(const char* text, const char* jsonKey, bool json)
{
    if (json)
        return std::string("{\"") + jsonKey + "\": true}\n";
    return std::string(text) + "\n";
}

namespace {

// "  5  " before a scan line: addresses line up to 247.
std::string AddressColumn(uint8_t address)
{
    char text[8];
    std::snprintf(text, sizeof text, "%3u  ", address);
    return text;
}

}  // namespace

std::string FormatScanReading(uint8_t address, const Measurement& reading, bool json,
                              const std::string& time)
{
    const std::string line = FormatReading(reading, json, time);
    if (json)  // the reading's object, with the address first
        return "{\"address\": " + std::to_string(address) + ", " + line.substr(1);
    return AddressColumn(address) + line;
}

std::string FormatScanException(uint8_t address, int code, bool json)
{
    if (json)
        return "{\"address\": " + std::to_string(address) +
               ", \"exception\": " + std::to_string(code) + "}\n";
    char text[96];
    return AddressColumn(address) + MeterResultText(code, text, sizeof text) + "\n";
}

std::string FormatScanSummary(unsigned found)
{
    return std::to_string(found) + (found == 1 ? " meter answered\n" : " meters answered\n");
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
