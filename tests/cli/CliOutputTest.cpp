#include "CCliPort.h"
#include "CliOutput.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <grp.h>
#include <sys/stat.h>

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

TEST(CliOutput, ReadingForPeopleIsOneLine)
{
    EXPECT_EQ(FormatReading(Reading(5123, 450, 2305, 12345), false),
              "51.23 V  4.50 A  230.5 W  12345 Wh\n");
}

TEST(CliOutput, ParametersNameKnownRangesAndNullOthers)
{
    EXPECT_EQ(FormatParameters(Settings{30055, 1000, 1, 2}, true),
              "{\"high_voltage_v\": 300.55, \"low_voltage_v\": 10.00, \"address\": 1, "
              "\"current_range\": 2, \"current_range_text\": \"200A\"}\n");
    EXPECT_NE(FormatParameters(Settings{30000, 1000, 247, 7}, true)
                  .find("\"current_range\": 7, \"current_range_text\": null}"),
              std::string::npos);
    const std::string text = FormatParameters(Settings{30000, 25000, 12, 1}, false);
    EXPECT_NE(text.find("300.00 V"), std::string::npos);
    EXPECT_NE(text.find("250.00 V"), std::string::npos);
    EXPECT_NE(text.find("50A (code 1)"), std::string::npos);
}

TEST(CliOutput, TraceLineHasTimeDirectionAndHex)
{
    const uint8_t frame[] = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5};
    const uint32_t ms = ((13 * 60 + 4) * 60 + 5) * 1000 + 7;
    EXPECT_EQ(FormatTraceLine(ms, true, frame, sizeof frame),
              "13:04:05.007 TX F8 04 00 00 00 08 E5 A5\n");
    EXPECT_EQ(FormatTraceLine(0, false, frame, 0), "00:00:00.000 RX (nothing)\n");
}

TEST(CliOutput, FailureTextNamesTheResult)
{
    EXPECT_EQ(MeterFailureText(kMeterLength, 0, ""), "no answer");
    EXPECT_EQ(MeterFailureText(kMeterLength, 20, ""), "wrong answer length");
    EXPECT_EQ(MeterFailureText(kMeterChecksum, 21, ""), "checksum mismatch");
    EXPECT_EQ(MeterFailureText(kMeterTransport, 0, "'WriteFile' failed"),
              "transport failure: 'WriteFile' failed");
    EXPECT_EQ(MeterFailureText(2, 5, "").rfind("exception code 2", 0), 0u);
    EXPECT_EQ(MeterFailureText(200, 5, ""), "exception code 200");
}

// Permission, busy and not-a-terminal hints, read from real files.
class OpenFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/cli-open-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_file = m_dir + "/plain";
        std::ofstream(m_file) << "x";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    static std::string Error(int error)
    {
        return std::string("'OpenCom' failed with the following error: ") + std::strerror(error);
    }

    std::string m_dir, m_file;
};

TEST_F(OpenFailure, PermissionNamesTheDevicesGroup)
{
    struct stat st;
    ASSERT_EQ(stat(m_file.c_str(), &st), 0);
    const group* g = getgrgid(st.st_gid);
    ASSERT_NE(g, nullptr);
    const std::string group = g->gr_name;
    const std::string text = OpenFailureText("COM3 (" + m_file + ")", m_file, Error(EACCES));
    EXPECT_EQ(text.rfind("cannot open COM3 (" + m_file + "): " + Error(EACCES), 0), 0u) << text;
    EXPECT_NE(text.find("belongs to group " + group), std::string::npos) << text;
    EXPECT_NE(text.find("sudo usermod -aG " + group + " $USER"), std::string::npos) << text;
    EXPECT_NE(text.find("log in again"), std::string::npos) << text;
}

TEST_F(OpenFailure, OtherCausesGetTheirOwnHint)
{
    EXPECT_NE(OpenFailureText("x", "/dev/null", Error(EBUSY)).find("another program has"),
              std::string::npos);
    EXPECT_NE(OpenFailureText("x", m_file, "'SetCommState' failed").find("is not a terminal"),
              std::string::npos);
    EXPECT_NE(OpenFailureText("x", m_dir, Error(EISDIR)).find("is not a terminal"),
              std::string::npos);
    const std::string missing = OpenFailureText("x", m_dir + "/gone", Error(ENOENT));
    EXPECT_EQ(missing, "cannot open x: " + Error(ENOENT));
}

}  // namespace
