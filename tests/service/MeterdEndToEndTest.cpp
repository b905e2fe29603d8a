// The built quorvan-meterd against two simulated meters, each on its own pty
// behind a COMn alias in a temporary XDG_CONFIG_HOME: what /metrics shows,
// a silent meter beside a healthy one, a pulled adapter, SIGHUP and
// SIGTERM; and Debian's prometheus scraping it.
#include "CChildProcess.h"
#include "CMeterSim.h"
#include "CSerial.h"
#include "MqttBroker.h"
#include "MqttProbe.h"
#include "TempConfig.h"
#include "TestHost.h"
#include "TestWait.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string Get(int port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto result = client.Get(path.c_str());
    return result && result->status == 200 ? result->body : std::string();
}

const std::string kBattery = "{meter=\"battery\",port=\"COM3\",address=\"1\"}";
const std::string kSolar = "{meter=\"solar\",port=\"COM4\",address=\"7\"}";

class MeterdEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_config.Dir().empty());
        StartMeter(m_battery, 3, SimMeterState{5123, 450, 12345, 30000, 1000, 1, 0, true});
        StartMeter(m_solar, 4, SimMeterState{4800, 100, 99, 30000, 1000, 7, 0, true});
    }

    void StartMeter(CMeterSim& sim, int com, const SimMeterState& state)
    {
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        sim.SetState(state);
        ASSERT_TRUE(sim.LinkCom(com, &error)) << error;
    }

    std::string ConfigPath() const { return m_config.Dir() + "/meterd.toml"; }

    // Two lines, one meter on each; `solarName` renames the second.
    void WriteConfig(const std::string& interval, const std::string& solarName = "solar") const
    {
        std::ofstream(ConfigPath())
            << "interval = \"" << interval << "\"\n"
            << "[http]\nlisten = \"127.0.0.1:0\"\n"
            << "[[line]]\nport = \"COM3\"\n"
            << "  [[line.meter]]\n  name = \"battery\"\n  address = 1\n"
            << "[[line]]\nport = \"COM4\"\n"
            << "  [[line.meter]]\n  name = \"" << solarName << "\"\n  address = 7\n";
    }

    void StartService(const std::string& interval = "200ms")
    {
        WriteConfig(interval);
        ASSERT_TRUE(m_service.Start(QUORVAN_METERD_PATH, {"--config", ConfigPath()}));
        const std::string line = m_service.WaitForErrorLine("serving metrics on", 5000);
        std::smatch port;
        ASSERT_TRUE(std::regex_search(line, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/metrics")))
            << m_service.Err();
        m_port = std::stoi(port[1]);
    }

    std::string Scrape() const { return Get(m_port, "/metrics"); }

    // Waits until every part is in one scrape.
    bool WaitForMetrics(std::initializer_list<std::string> parts,
                        std::chrono::milliseconds limit = 10000ms) const
    {
        return WaitFor(
            [&] {
                const std::string text = Scrape();
                for (const std::string& part : parts)
                    if (!Contains(text, part))
                        return false;
                return true;
            },
            limit);
    }

    TempConfig m_config;  // before the meters: their aliases go in here
    CMeterSim m_battery, m_solar;
    CChildProcess m_service;
    int m_port = 0;
};

TEST_F(MeterdEndToEnd, BothMetersShowTheirValues)
{
    StartService();
    EXPECT_TRUE(WaitForMetrics({"quorvan_meter_up" + kBattery + " 1\n",
                                "quorvan_meter_voltage_volts" + kBattery + " 51.23\n",
                                "quorvan_meter_current_amperes" + kBattery + " 4.50\n",
                                "quorvan_meter_power_watts" + kBattery + " 230.5\n",
                                "quorvan_meter_energy_joules_total" + kBattery + " 44442000\n",
                                "quorvan_meter_up" + kSolar + " 1\n",
                                "quorvan_meter_voltage_volts" + kSolar + " 48.00\n",
                                "quorvan_meter_voltage_alarm" + kSolar + " 0\n"}))
        << Scrape();
    // Each meter was asked by its own address.
    EXPECT_EQ(m_solar.LastRequest().at(0), 7);
    EXPECT_EQ(m_battery.LastRequest().at(0), 1);
    const std::string log = m_service.Err();
    EXPECT_TRUE(
        Contains(log, "meter battery (COM3, address 1) up: 51.23 V  4.50 A  230.5 W  12345 Wh"))
        << log;
    EXPECT_TRUE(Contains(log, "polling 2 lines, 2 meters, every 200 ms")) << log;
}

// A meter that stops answering is down, without its old values, while its
// neighbour goes on being polled; the log says so once, not once per poll.
TEST_F(MeterdEndToEnd, SilentMeterIsDownItsNeighbourStaysUp)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kSolar + " 1\n"}));
    SimFaults silent;
    silent.silent = true;
    m_solar.SetFaults(silent);
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kSolar + " 0\n"})) << Scrape();
    const unsigned batteryAnswers = m_battery.AnswerCount();
    ASSERT_TRUE(WaitFor([&] { return m_battery.AnswerCount() >= batteryAnswers + 3; }));
    const std::string text = Scrape();
    EXPECT_TRUE(Contains(text, "quorvan_meter_up" + kBattery + " 1\n")) << text;
    EXPECT_FALSE(Contains(text, "quorvan_meter_voltage_volts" + kSolar)) << text;
    EXPECT_FALSE(Contains(text, "quorvan_meter_energy_joules_total" + kSolar)) << text;
    EXPECT_TRUE(Contains(text, "quorvan_meter_last_reading_timestamp_seconds" + kSolar)) << text;
    EXPECT_TRUE(Contains(text, "quorvan_meter_poll_failures_total" + kSolar)) << text;

    m_solar.ClearFaults();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_voltage_volts" + kSolar + " 48.00\n"}));
    const std::string log = m_service.Err();
    EXPECT_EQ(CountOf(log, "meter solar (COM4, address 7) down: no answer"), 1u) << log;
    EXPECT_EQ(CountOf(log, "meter solar (COM4, address 7) up:"), 2u) << log;
    EXPECT_FALSE(Contains(log, "line lost")) << log;
}

// With the real first pause of 1 s: the line is lost, its meter down, and the
// adapter plugged back in behind the same alias is reopened.
TEST_F(MeterdEndToEnd, PulledAdapterIsReopened)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kBattery + " 1\n"}));
    m_battery.HangUp();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kBattery + " 0\n"})) << m_service.Err();
    EXPECT_FALSE(Contains(Scrape(), "quorvan_meter_voltage_volts" + kBattery));
    std::string error;
    ASSERT_TRUE(m_battery.Replug(&error)) << error;
    EXPECT_FALSE(m_service.WaitForErrorLine("COM3", 5000).empty());
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_voltage_volts" + kBattery + " 51.23\n"}))
        << m_service.Err();
    const std::string log = m_service.Err();
    EXPECT_TRUE(Contains(log, ": line lost: transport failure: ")) << log;
    EXPECT_TRUE(Contains(log, "; reopening in 1 s")) << log;
    EXPECT_TRUE(Contains(log, ": line reopened")) << log;
    EXPECT_TRUE(Contains(Scrape(), "quorvan_meter_up" + kSolar + " 1\n"));
}

// SIGHUP: a bad file leaves everything running; a changed one restarts only
// the line that changed, the other keeps its port open.
TEST_F(MeterdEndToEnd, SighupReloadsOnlyWhatChanged)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics(
        {"quorvan_meter_up" + kBattery + " 1\n", "quorvan_meter_up" + kSolar + " 1\n"}));
    std::ofstream(ConfigPath()) << "interval = \"1s\"\n[[line]]\nport = \"COM3\"\nadress = 1\n";
    m_service.Signal(SIGHUP);
    const std::string refused = m_service.WaitForErrorLine("not reloaded", 5000);
    EXPECT_TRUE(Contains(refused, "configuration not reloaded, the running one stays: " +
                                      ConfigPath() + ":4: unknown key 'adress' in [[line]]"))
        << m_service.Err();

    WriteConfig("300ms", "solar2");
    m_service.Signal(SIGHUP);
    const std::string done = m_service.WaitForErrorLine("configuration reloaded", 5000);
    EXPECT_TRUE(Contains(done, "1 line kept, 1 started, 1 stopped; now polling every 300 ms"))
        << m_service.Err();
    ASSERT_TRUE(
        WaitForMetrics({"quorvan_meter_up{meter=\"solar2\",port=\"COM4\",address=\"7\"} 1\n",
                        "quorvan_meter_up" + kBattery + " 1\n"}));
    EXPECT_FALSE(Contains(Scrape(), kSolar)) << "the old meter is forgotten";
    const std::string log = m_service.Err();
    EXPECT_EQ(CountOf(log, "COM3 ("), 1u) << "the kept line was not reopened:\n" << log;
    EXPECT_EQ(CountOf(log, "line opened"), 3u) << log;
}

// SIGTERM while a poll waits for a silent meter: the service ends within
// 2 s, its exit is clean, and both ports can be opened again at once.
TEST_F(MeterdEndToEnd, SigtermEndsWithinTwoSecondsAndReleasesThePorts)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kSolar + " 1\n"}));
    SimFaults silent;
    silent.silent = true;
    m_solar.SetFaults(silent);
    ASSERT_FALSE(m_service.WaitForErrorLine("meter solar (COM4, address 7) down", 5000).empty());
    const unsigned heard = m_solar.RequestCount();
    ASSERT_TRUE(WaitFor([&] { return m_solar.RequestCount() > heard; }));  // a read is under way

    const auto sent = Clock::now();
    m_service.Signal(SIGTERM);
    const ChildResult r = m_service.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Clock::now() - sent, 2000ms);
    EXPECT_TRUE(Contains(r.err, "stopping on SIGTERM\nstopped\n")) << r.err;
    for (CMeterSim* sim : {&m_battery, &m_solar}) {
        CSerial port;
        port.m_strDevicePath = sim->DevicePath();
        EXPECT_EQ(port.Open(), 1) << port.LastError();
    }
}

TEST_F(MeterdEndToEnd, CheckAndBadConfigurationExitStatus)
{
    WriteConfig("1s");
    ASSERT_TRUE(m_service.Start(QUORVAN_METERD_PATH, {"--check", "--config", ConfigPath()}));
    ChildResult r = m_service.Finish(5000);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ConfigPath() + ": ok: 2 lines, 2 meters, metrics on 127.0.0.1:0\n");

    std::ofstream(ConfigPath()) << "[[line]]\nport = \"COM3\"\n[[line.meter]]\nname = \"a b\"\n";
    CChildProcess bad;
    ASSERT_TRUE(bad.Start(QUORVAN_METERD_PATH, {"--config", ConfigPath()}));
    r = bad.Finish(5000);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "quorvan-meterd: " + ConfigPath() + ":3: this [[line.meter]] has no address\n");
}

// The real thing: Debian's prometheus scrapes the service every second
// (the service polls at its default 1 s) and gives the meters' values back
// through its query API.
TEST_F(MeterdEndToEnd, PrometheusScrapesTheMeters)
{
    StartService("1s");
    const std::string dir = m_config.Dir() + "/prometheus";
    const int promPort = FreeLoopbackPort();
    std::ofstream(m_config.Dir() + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "scrape_configs:\n  - job_name: quorvan\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << m_port << "']\n";
    CChildProcess prometheus;
    ASSERT_TRUE(prometheus.Start(
        "/usr/bin/prometheus",
        {"--config.file=" + m_config.Dir() + "/prometheus.yml", "--storage.tsdb.path=" + dir,
         "--web.listen-address=127.0.0.1:" + std::to_string(promPort), "--log.level=warn"}));
    std::string answer;
    const bool scraped = WaitFor(
        [&] {
            answer = Get(promPort, "/api/v1/query?query=quorvan_meter_voltage_volts");
            return Contains(answer, "\"meter\":\"battery\"") &&
                   Contains(answer, "\"meter\":\"solar\"");
        },
        30000ms);
    EXPECT_TRUE(scraped) << answer << prometheus.Err();
    EXPECT_TRUE(std::regex_search(
        answer, std::regex("\"meter\":\"battery\",\"port\":\"COM3\"\\},\"value\":\\[[0-9.]+,"
                           "\"51\\.23\"\\]")))
        << answer;
    const std::string energy = Get(
        promPort, "/api/v1/query?query=quorvan_meter_energy_joules_total%7Bmeter%3D%22solar%22%7D");
    EXPECT_TRUE(Contains(energy, "\"356400\"")) << energy;  // 99 Wh
    const std::string up = Get(promPort, "/api/v1/query?query=up%7Bjob%3D%22quorvan%22%7D");
    EXPECT_TRUE(Contains(up, "\"1\"]")) << up;

    prometheus.Signal(SIGTERM);
    const ChildResult r = prometheus.Finish(10000);
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace

// The same two lines published to a real mosquitto: every meter's state and
// its discovery, "online" while running and "offline" after SIGTERM.
TEST_F(MeterdEndToEnd, BrokerGetsStatesDiscoveryAndStatus)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    WriteConfig("200ms");
    std::ofstream(ConfigPath(), std::ios::app)
        << "[mqtt]\nhost = \"127.0.0.1\"\nport = " << broker.Port() << "\n";
    MqttProbe probe(broker.Port(), {"quorvan/#", "homeassistant/#"});
    ASSERT_TRUE(WaitFor([&] { return probe.Ready(); }));
    ASSERT_TRUE(m_service.Start(QUORVAN_METERD_PATH, {"--config", ConfigPath()}));

    // Predicates see what arrived so far (the probe's lock is held meanwhile).
    const auto has = [](const std::vector<MqttReceived>& all, const std::string& topic,
                        const std::string& part) {
        for (const MqttReceived& m : all)
            if (m.topic == topic && Contains(m.payload, part))
                return true;
        return false;
    };
    // A retained sensor config under homeassistant/sensor/<node>/<meter>_<quantity>/config.
    const auto discovered = [](const std::vector<MqttReceived>& all, const std::string& object,
                               const std::string& part) {
        for (const MqttReceived& m : all)
            if (Contains(m.topic, "homeassistant/sensor/") &&
                Contains(m.topic, "/" + object + "/config") && Contains(m.payload, part))
                return true;
        return false;
    };
    EXPECT_TRUE(probe.WaitFor([&](const std::vector<MqttReceived>& all) {
        return has(all, "quorvan/battery/state", "\"voltage_v\": 51.23, \"current_a\": 4.50") &&
               has(all, "quorvan/solar/state", "\"voltage_v\": 48.00") &&
               has(all, "quorvan/status", "online") &&
               has(all, "quorvan/solar/availability", "online") &&
               discovered(all, "battery_energy", "\"state_class\":\"total_increasing\"") &&
               discovered(all, "solar_voltage", "\"state_class\":\"measurement\"");
    })) << m_service.Err();

    m_service.Signal(SIGTERM);
    EXPECT_EQ(m_service.Finish(5000).status, 0);
    EXPECT_TRUE(probe.WaitFor([&](const std::vector<MqttReceived>& all) {
        return has(all, "quorvan/status", "offline") &&
               has(all, "quorvan/battery/availability", "offline");
    }));
}
