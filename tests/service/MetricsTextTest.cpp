// The exposition as Prometheus reads it: exact text for a meter that is up
// and one that is down, label escaping, large counters, and Debian's
// promtool as the judge of the format.
#include "MetricsText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

namespace {

MeterSnapshot Meter(const char* name, const char* port, uint8_t address)
{
    MeterSnapshot m;
    m.name = name;
    m.port = port;
    m.address = address;
    return m;
}

MeterSnapshot UpMeter()
{
    MeterSnapshot m = Meter("battery", "COM1", 1);
    m.up = true;
    m.haveReading = true;
    m.reading = Measurement{5123, 450, 2305, 12345, 0, 0xFFFF};
    m.readingUnixMs = 1796726059005;
    m.polls = 10;
    m.failures = 2;
    return m;
}

// Was read once, then stopped answering.
MeterSnapshot DownMeter()
{
    MeterSnapshot m = Meter("solar", "COM2", 7);
    m.haveReading = true;
    m.reading = Measurement{4800, 100, 480, 99, 0, 0};
    m.readingUnixMs = 1796726000000;
    m.polls = 5;
    m.failures = 4;
    m.lastError = "no answer";
    return m;
}

TEST(MetricsText, UpMeterShowsValuesDownMeterOnlyCountersAndTime)
{
    std::string text;
    RenderMetrics({UpMeter(), DownMeter()}, &text);
    const std::string b = "{meter=\"battery\",port=\"COM1\",address=\"1\"}";
    const std::string s = "{meter=\"solar\",port=\"COM2\",address=\"7\"}";
    EXPECT_EQ(text,
              "# HELP quorvan_meter_up 1 while the meter's last poll succeeded.\n"
              "# TYPE quorvan_meter_up gauge\n"
              "quorvan_meter_up" +
                  b +
                  " 1\n"
                  "quorvan_meter_up" +
                  s +
                  " 0\n"
                  "# HELP quorvan_meter_voltage_volts Voltage the meter measures.\n"
                  "# TYPE quorvan_meter_voltage_volts gauge\n"
                  "quorvan_meter_voltage_volts" +
                  b +
                  " 51.23\n"
                  "# HELP quorvan_meter_current_amperes Current the meter measures.\n"
                  "# TYPE quorvan_meter_current_amperes gauge\n"
                  "quorvan_meter_current_amperes" +
                  b +
                  " 4.50\n"
                  "# HELP quorvan_meter_power_watts Power the meter measures.\n"
                  "# TYPE quorvan_meter_power_watts gauge\n"
                  "quorvan_meter_power_watts" +
                  b +
                  " 230.5\n"
                  "# HELP quorvan_meter_energy_joules_total The meter's energy counter (1 Wh = "
                  "3600 J); back to 0 when the meter's counter is cleared.\n"
                  "# TYPE quorvan_meter_energy_joules_total counter\n"
                  "quorvan_meter_energy_joules_total" +
                  b +
                  " 44442000\n"
                  "# HELP quorvan_meter_voltage_alarm 1 while the meter reports a voltage alarm.\n"
                  "# TYPE quorvan_meter_voltage_alarm gauge\n"
                  "quorvan_meter_voltage_alarm" +
                  b +
                  " 1\n"
                  "# HELP quorvan_meter_last_reading_timestamp_seconds When the meter's last good "
                  "reading was taken (Unix time).\n"
                  "# TYPE quorvan_meter_last_reading_timestamp_seconds gauge\n"
                  "quorvan_meter_last_reading_timestamp_seconds" +
                  b +
                  " 1796726059.005\n"
                  "quorvan_meter_last_reading_timestamp_seconds" +
                  s +
                  " 1796726000.000\n"
                  "# HELP quorvan_meter_polls_total Polls sent to the meter.\n"
                  "# TYPE quorvan_meter_polls_total counter\n"
                  "quorvan_meter_polls_total" +
                  b +
                  " 10\n"
                  "quorvan_meter_polls_total" +
                  s +
                  " 5\n"
                  "# HELP quorvan_meter_poll_failures_total Polls of the meter that failed.\n"
                  "# TYPE quorvan_meter_poll_failures_total counter\n"
                  "quorvan_meter_poll_failures_total" +
                  b +
                  " 2\n"
                  "quorvan_meter_poll_failures_total" +
                  s + " 4\n");
}

TEST(MetricsText, NeverReadMeterHasNoTimeAndNoValues)
{
    std::string text;
    RenderMetrics({Meter("new", "COM3", 3)}, &text);
    EXPECT_NE(text.find("quorvan_meter_up{meter=\"new\",port=\"COM3\",address=\"3\"} 0\n"),
              std::string::npos);
    EXPECT_EQ(text.find("timestamp_seconds{"), std::string::npos) << text;
    EXPECT_EQ(text.find("volts{"), std::string::npos) << text;
}

TEST(MetricsText, LargeEnergyAndEscapedLabels)
{
    MeterSnapshot m = UpMeter();
    m.reading.energy = 0xFFFFFFFF;  // the counter's top: 15.5 TJ, beyond 32 bits
    m.port = "/dev/odd\"name\\with\nall";
    std::string text;
    RenderMetrics({m}, &text);
    EXPECT_NE(text.find("quorvan_meter_energy_joules_total{meter=\"battery\",port=\"/dev/"
                        "odd\\\"name\\\\with\\nall\",address=\"1\"} 15461882262000\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(EscapeLabelValue("plain-COM1"), "plain-COM1");
}

// promtool (Debian's prometheus package) lints the text as Prometheus would
// read it: names, types, HELP, escaping, counters' _total.
TEST(MetricsText, PromtoolAcceptsTheText)
{
    MeterSnapshot odd = UpMeter();
    odd.name = "rack-A_2";
    odd.port = "/dev/serial/by-id/usb-\"quoted\"\\port";
    MeterSnapshot fresh = Meter("new", "COM3", 3);
    std::string text;
    RenderMetrics({UpMeter(), DownMeter(), odd, fresh}, &text);

    char path[] = "/tmp/quorvan-metrics-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        said.append(buffer, n);
    const int status = pclose(pipe);
    std::remove(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << said;
    EXPECT_EQ(said, "") << "promtool's lint found something";
}

}  // namespace
