// The exposition as Prometheus reads it: exact text for a meter that is up
// and one that is down, the service's health, label escaping, large
// counters, and Debian's promtool as the judge of the format.
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

ServiceView View(std::vector<MeterSnapshot> meters)
{
    ServiceView view;
    view.meters = std::move(meters);
    view.service.reloadUnixMs = 1796726000500;
    return view;
}

// Everything after the meters' families: the service's own and the process's.
std::string Tail(const std::string& text)
{
    const size_t at = text.find("# HELP quorvan_meterd_build_info");
    return at == std::string::npos ? std::string() : text.substr(at);
}

TEST(MetricsText, UpMeterShowsValuesDownMeterOnlyCountersAndTime)
{
    std::string text;
    RenderMetrics(View({UpMeter(), DownMeter()}), ProcessStats{}, &text);
    const std::string b = "{meter=\"battery\"}";
    const std::string s = "{meter=\"solar\"}";
    EXPECT_EQ(text.substr(0, text.find("# HELP quorvan_meterd_build_info")),
              "# HELP quorvan_meter_info Where each meter is polled: its line's port and its "
              "address; always 1.\n"
              "# TYPE quorvan_meter_info gauge\n"
              "quorvan_meter_info{meter=\"battery\",port=\"COM1\",address=\"1\"} 1\n"
              "quorvan_meter_info{meter=\"solar\",port=\"COM2\",address=\"7\"} 1\n"
              "# HELP quorvan_meter_up 1 while the meter's latest poll succeeded.\n"
              "# TYPE quorvan_meter_up gauge\n"
              "quorvan_meter_up" +
                  b +
                  " 1\n"
                  "quorvan_meter_up" +
                  s +
                  " 0\n"
                  "# HELP quorvan_meter_voltage_volts Voltage the meter sent at its latest poll "
                  "(not read at scrape time).\n"
                  "# TYPE quorvan_meter_voltage_volts gauge\n"
                  "quorvan_meter_voltage_volts" +
                  b +
                  " 51.23\n"
                  "# HELP quorvan_meter_current_amperes Current the meter sent at its latest poll "
                  "(not read at scrape time).\n"
                  "# TYPE quorvan_meter_current_amperes gauge\n"
                  "quorvan_meter_current_amperes" +
                  b +
                  " 4.50\n"
                  "# HELP quorvan_meter_power_watts Power the meter sent at its latest poll (not "
                  "read at scrape time).\n"
                  "# TYPE quorvan_meter_power_watts gauge\n"
                  "quorvan_meter_power_watts" +
                  b +
                  " 230.5\n"
                  "# HELP quorvan_meter_energy_joules_total The meter's energy counter at its "
                  "latest poll (1 Wh = 3600 J); back to 0 when the meter's counter is cleared.\n"
                  "# TYPE quorvan_meter_energy_joules_total counter\n"
                  "quorvan_meter_energy_joules_total" +
                  b +
                  " 44442000\n"
                  "# HELP quorvan_meter_voltage_alarm 1 while the meter reported a voltage alarm "
                  "at its latest poll.\n"
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

// The service's health: lines, broker, the last reload, the process.
TEST(MetricsText, ServiceHealthAndProcess)
{
    ServiceView view = View({});
    view.lines = {LineStatus{"COM3", "COM3 (/dev/ttyUSB2)", true, 0, ""},
                  LineStatus{"/dev/serial/by-id/usb-x", "", false, 7, "No such file or directory"}};
    view.service.reloadOk = false;
    view.service.mqttEnabled = true;
    ProcessStats p;
    p.ok = true;
    p.cpuSeconds = 12.345;
    p.residentBytes = 9216000;
    p.virtualBytes = 400000000;
    p.openFds = 12;
    p.maxFds = 1024;
    p.startTimeSeconds = 1796726000.25;
    std::string text;
    RenderMetrics(view, p, &text);
    std::string samples;
    const std::string tail = Tail(text);
    for (size_t at = 0; at < tail.size();) {
        const size_t end = tail.find('\n', at);
        if (tail[at] != '#')
            samples += tail.substr(at, end + 1 - at);
        at = end + 1;
    }
    EXPECT_EQ(samples,
              "quorvan_meterd_build_info{version=\"" QUORVAN_VERSION
              "\"} 1\n"
              "quorvan_meterd_line_open{line=\"COM3\"} 1\n"
              "quorvan_meterd_line_open{line=\"/dev/serial/by-id/usb-x\"} 0\n"
              "quorvan_meterd_line_open_failures_total{line=\"COM3\"} 0\n"
              "quorvan_meterd_line_open_failures_total{line=\"/dev/serial/by-id/usb-x\"} 7\n"
              "quorvan_meterd_mqtt_connected 0\n"
              "quorvan_meterd_config_last_reload_successful 0\n"
              "quorvan_meterd_config_last_reload_success_timestamp_seconds 1796726000.500\n"
              "process_cpu_seconds_total 12.35\n"
              "process_resident_memory_bytes 9216000\n"
              "process_virtual_memory_bytes 400000000\n"
              "process_open_fds 12\n"
              "process_max_fds 1024\n"
              "process_start_time_seconds 1796726000.25\n")
        << text;
    // Lines in the order given (the store sorts them by port).

    // Without [mqtt] there is no broker to be connected to; without /proc no process_*.
    view.service.mqttEnabled = false;
    text.clear();
    RenderMetrics(view, ProcessStats{}, &text);
    EXPECT_EQ(text.find("mqtt_connected"), std::string::npos);
    EXPECT_EQ(text.find("process_"), std::string::npos);
}

TEST(MetricsText, NeverReadMeterHasNoTimeAndNoValues)
{
    std::string text;
    RenderMetrics(View({Meter("new", "COM3", 3)}), ProcessStats{}, &text);
    EXPECT_NE(text.find("quorvan_meter_up{meter=\"new\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("timestamp_seconds{"), std::string::npos) << text;
    EXPECT_EQ(text.find("volts{"), std::string::npos) << text;
}

TEST(MetricsText, LargeEnergyAndEscapedLabels)
{
    MeterSnapshot m = UpMeter();
    m.reading.energy = 0xFFFFFFFF;  // the counter's top: 15.5 TJ, beyond 32 bits
    m.port = "/dev/odd\"name\\with\nall";
    std::string text;
    RenderMetrics(View({m}), ProcessStats{}, &text);
    EXPECT_NE(text.find("quorvan_meter_energy_joules_total{meter=\"battery\"} 15461882262000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("quorvan_meter_info{meter=\"battery\",port=\"/dev/"
                        "odd\\\"name\\\\with\\nall\",address=\"1\"} 1\n"),
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
    ServiceView view = View({UpMeter(), DownMeter(), odd, fresh});
    view.lines = {LineStatus{"COM1", "", true, 0, ""}, LineStatus{"COM2", "", false, 3, "gone"}};
    view.service.mqttEnabled = true;
    std::string text;
    RenderMetrics(view, ReadProcessStats(), &text);
    ASSERT_NE(text.find("process_open_fds "), std::string::npos) << text;

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
