#include "CliOutput.h"

#include <gtest/gtest.h>

namespace {

Measurement Reading(uint16_t volts, uint16_t amps, uint32_t power, uint32_t energy,
                    uint16_t alarm1 = 0, uint16_t alarm2 = 0)
{
    return Measurement{volts, amps, power, energy, alarm1, alarm2};
}

TEST(CliOutput, ReadingAsJsonKeepsTheMetersDigits)
{
    EXPECT_EQ(FormatReading(Reading(5123, 450, 2305, 12345), true),
              "{\"voltage_v\": 51.23, \"current_a\": 4.50, \"power_w\": 230.5, "
              "\"energy_wh\": 12345, \"voltage_alarm\": false}\n");
    // Extremes of the registers: no sign, no overflow, no exponent.
    EXPECT_EQ(FormatReading(Reading(65535, 5, 4294967295u, 4294967295u), true),
              "{\"voltage_v\": 655.35, \"current_a\": 0.05, \"power_w\": 429496729.5, "
              "\"energy_wh\": 4294967295, \"voltage_alarm\": false}\n");
    EXPECT_EQ(FormatReading(Reading(5123, 450, 2305, 12345), true, "2026-12-08T05:40:01.123Z"),
              "{\"voltage_v\": 51.23, \"current_a\": 4.50, \"power_w\": 230.5, "
              "\"energy_wh\": 12345, \"voltage_alarm\": false, \"time\": "
              "\"2026-12-08T05:40:01.123Z\"}\n");
    EXPECT_EQ(UtcTimestamp().size(), 24u);
}

TEST(CliOutput, EitherAlarmWordAtFFFFRaisesTheAlarm)
{
    const struct {
        uint16_t a1, a2;
    } cases[] = {{0xFFFF, 0}, {0, 0xFFFF}, {0xFFFF, 0xFFFF}, {0, 0}, {1, 0xFFFE}};
    for (const auto& c : cases) {
        const bool on = c.a1 == 0xFFFF || c.a2 == 0xFFFF;
        const Measurement m = Reading(100, 0, 0, 0, c.a1, c.a2);
        EXPECT_NE(FormatReading(m, true).find(on ? "\"voltage_alarm\": true"
                                                 : "\"voltage_alarm\": false"),
                  std::string::npos);
        EXPECT_EQ(FormatReading(m, false).find("VOLTAGE ALARM") != std::string::npos, on);
    }
}

TEST(CliOutput, ParametersNameKnownRangesAndNullOthers)
{
    EXPECT_EQ(FormatParameters(Settings{30055, 1000, 1, 2}, true),
              "{\"high_voltage_v\": 300.55, \"low_voltage_v\": 10.00, \"address\": 1, "
              "\"current_range\": 2, \"current_range_text\": \"200A\"}\n");
    EXPECT_NE(FormatParameters(Settings{30000, 1000, 247, 7}, true)
                  .find("\"current_range\": 7, \"current_range_text\": null}"),
              std::string::npos);
    EXPECT_NE(FormatParameters(Settings{30000, 1000, 1, 7}, false).find("unknown (code 7)"),
              std::string::npos);
}

// One line per meter found, the address in a column of its own; JSON is the
// reading's object with "address" in front.
TEST(CliOutput, ScanLinesLeadWithTheAddress)
{
    const Measurement reading = Reading(5123, 450, 2305, 12345, 0xFFFF);
    EXPECT_EQ(FormatScanReading(5, reading, false, "2026-12-08T05:40:01.123Z"),
              "  5  51.23 V  4.50 A  230.5 W  12345 Wh  VOLTAGE ALARM\n");
    EXPECT_EQ(FormatScanReading(247, reading, true, "2026-12-08T05:40:01.123Z"),
              "{\"address\": 247, \"voltage_v\": 51.23, \"current_a\": 4.50, "
              "\"power_w\": 230.5, \"energy_wh\": 12345, \"voltage_alarm\": true, "
              "\"time\": \"2026-12-08T05:40:01.123Z\"}\n");
    EXPECT_EQ(FormatScanException(12, 2, false), " 12  exception code 2 (illegal data address)\n");
    EXPECT_EQ(FormatScanException(12, 2, true), "{\"address\": 12, \"exception\": 2}\n");
    EXPECT_EQ(FormatScanSummary(0), "0 meters answered\n");
    EXPECT_EQ(FormatScanSummary(1), "1 meter answered\n");
}

TEST(CliOutput, TraceLineHasTimeDirectionAndHex)
{
    const uint8_t frame[] = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5};
    const uint32_t ms = ((13 * 60 + 4) * 60 + 5) * 1000 + 7;
    EXPECT_EQ(FormatTraceLine(ms, true, frame, sizeof frame),
              "13:04:05.007 TX F8 04 00 00 00 08 E5 A5\n");
    EXPECT_EQ(FormatTraceLine(0, false, frame, 0), "00:00:00.000 RX (nothing)\n");
}

}  // namespace
