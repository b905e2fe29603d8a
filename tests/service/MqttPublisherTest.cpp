// The MQTT side against Debian's mosquitto broker, started per test on a
// loopback port, watched by subscribers of the test's own.
#include "CChildProcess.h"
#include "CMqttPublisher.h"
#include "MqttBroker.h"
#include "MqttProbe.h"
#include "TestCerts.h"
#include "TestWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Messages = std::vector<MqttReceived>;

// 2023-11-14T22:13:20.123Z
constexpr int64_t kReadingTime = 1700000000123;

MqttSettings BrokerAt(int port)
{
    MqttSettings s;
    s.enabled = true;
    s.port = port;
    s.clientId = "quorvan-test";
    return s;
}

MeterSnapshot Meter(const std::string& name, uint32_t energyWh, bool up = true)
{
    MeterSnapshot m;
    m.name = name;
    m.port = "COM1";
    m.address = 7;
    m.up = up;
    m.decided = true;
    m.haveReading = true;
    m.reading = Measurement{5123, 450, 2305, energyWh, 0, 0};
    m.readingUnixMs = kReadingTime;
    return m;
}

std::function<bool(const Messages&)> Count(const std::string& topic, size_t n)
{
    return [=](const Messages& all) {
        size_t seen = 0;
        for (const MqttReceived& r : all)
            seen += r.topic == topic;
        return seen >= n;
    };
}

std::function<bool(const Messages&)> Says(const std::string& topic, const std::string& payload)
{
    return [=](const Messages& all) {
        for (const MqttReceived& r : all) {
            if (r.topic == topic && r.payload == payload)
                return true;
        }
        return false;
    };
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

long ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

std::string WriteFile(const std::string& path, const std::string& text, mode_t mode)
{
    std::ofstream(path, std::ios::trunc) << text;
    chmod(path.c_str(), mode);
    return path;
}

const char* const kSensorState = "quorvan/bank-1/state";
const char* const kBankAvailability = "quorvan/bank-1/availability";

}  // namespace

// A broker, a probe listening to everything the publisher sends, and the
// publisher connected.
class MqttPublisherLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_broker.Start());
        m_live =
            std::make_unique<MqttProbe>(m_broker.Port(), std::vector<std::string>{"quorvan/#"});
        ASSERT_TRUE(m_live->Ready());
        m_publisher = std::make_unique<CMqttPublisher>(BrokerAt(m_broker.Port()));
        std::string error;
        ASSERT_TRUE(m_publisher->Start(&error)) << error;
    }

    MqttBroker m_broker;
    std::unique_ptr<MqttProbe> m_live;
    std::unique_ptr<CMqttPublisher> m_publisher;
};

TEST_F(MqttPublisherLive, StateAvailabilityAndDiscoveryReachTheBroker)
{
    m_publisher->Publish(Meter("bank-1", 12345));
    ASSERT_TRUE(m_live->WaitFor(Count(kSensorState, 1)));
    EXPECT_EQ(m_live->On(kSensorState)[0].payload,
              "{\"voltage_v\": 51.23, \"current_a\": 4.50, \"power_w\": 230.5, "
              "\"energy_wh\": 12345, \"voltage_alarm\": false, "
              "\"time\": \"2023-11-14T22:13:20.123Z\"}");

    // What Home Assistant finds when it starts later: status, availability
    // and the configs retained; no state, which could be stale by then.
    MqttProbe late(m_broker.Port(), {"quorvan/#", "homeassistant/#"});
    ASSERT_TRUE(late.Ready());
    const std::string config = "homeassistant/sensor/quorvan-test/bank-1_";
    const std::string alarmConfig =
        "homeassistant/binary_sensor/quorvan-test/bank-1_voltage_alarm/config";
    ASSERT_TRUE(late.WaitFor(Count(alarmConfig, 1)));
    ASSERT_TRUE(late.WaitFor(Count(config + "energy/config", 1)));
    ASSERT_TRUE(late.WaitFor(Count(config + "last_reading/config", 1)));
    ASSERT_EQ(late.On("quorvan/status").size(), 1u);
    EXPECT_EQ(late.On("quorvan/status")[0].payload, "online");
    EXPECT_TRUE(late.On("quorvan/status")[0].retained);
    ASSERT_EQ(late.On(kBankAvailability).size(), 1u);
    EXPECT_EQ(late.On(kBankAvailability)[0].payload, "online");
    EXPECT_TRUE(late.On(kBankAvailability)[0].retained);
    EXPECT_TRUE(late.On(kSensorState).empty());

    struct Expected {
        std::string object, unit, deviceClass, stateClass, key;
    };
    const Expected sensors[] = {
        {"voltage", "V", "voltage", "measurement", "voltage_v"},
        {"current", "A", "current", "measurement", "current_a"},
        {"power", "W", "power", "measurement", "power_w"},
        {"energy", "Wh", "energy", "total_increasing", "energy_wh"},
    };
    for (const Expected& e : sensors) {
        const auto found = late.On(config + e.object + "/config");
        ASSERT_EQ(found.size(), 1u) << e.object;
        const std::string& json = found[0].payload;
        EXPECT_TRUE(found[0].retained);
        EXPECT_TRUE(Contains(json, "\"unit_of_measurement\":\"" + e.unit + "\"")) << json;
        EXPECT_TRUE(Contains(json, "\"device_class\":\"" + e.deviceClass + "\"")) << json;
        EXPECT_TRUE(Contains(json, "\"state_class\":\"" + e.stateClass + "\"")) << json;
        EXPECT_TRUE(Contains(json, "value_json." + e.key)) << json;
        EXPECT_TRUE(Contains(json, "\"unique_id\":\"quorvan-test_bank-1_" + e.object + "\""))
            << json;
    }
    std::vector<std::string> all;
    for (const Expected& e : sensors)
        all.push_back(late.On(config + e.object + "/config")[0].payload);
    all.push_back(late.On(alarmConfig)[0].payload);
    EXPECT_TRUE(Contains(all.back(), "\"device_class\":\"problem\"")) << all.back();
    for (const std::string& json : all) {
        EXPECT_TRUE(Contains(json, "\"state_topic\":\"quorvan/bank-1/state\"")) << json;
        EXPECT_TRUE(Contains(json,
                             "\"availability\":[{\"topic\":\"quorvan/status\"},"
                             "{\"topic\":\"quorvan/bank-1/availability\"}]"))
            << json;
        EXPECT_TRUE(Contains(json, "\"availability_mode\":\"all\"")) << json;
        EXPECT_TRUE(Contains(json,
                             "\"device\":{\"identifiers\":[\"quorvan-test_bank-1\"],"
                             "\"name\":\"bank-1\",\"manufacturer\":\"Quorvan\","
                             "\"model\":\"DC energy meter\",\"via_device\":\"quorvan-test\"}"))
            << json;
    }
    // The diagnostics: available while the service is, so shown while the meter is down.
    const auto failures = late.On(config + "poll_failures/config");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(Contains(failures[0].payload, "\"entity_category\":\"diagnostic\""))
        << failures[0].payload;
    EXPECT_TRUE(Contains(failures[0].payload, "\"state_topic\":\"quorvan/bank-1/diagnostics\""));
    EXPECT_TRUE(Contains(failures[0].payload, "\"availability_topic\":\"quorvan/status\""));
    const auto last = late.On(config + "last_reading/config");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_TRUE(Contains(last[0].payload, "\"device_class\":\"timestamp\"")) << last[0].payload;
    // The service is the device the meters hang from, with its version.
    const auto service = late.On("homeassistant/binary_sensor/quorvan-test/service_status/config");
    ASSERT_EQ(service.size(), 1u);
    EXPECT_TRUE(Contains(service[0].payload,
                         "\"device\":{\"identifiers\":[\"quorvan-test\"],\"name\":\"quorvan-test\","
                         "\"manufacturer\":\"Quorvan-Master\",\"model\":\"quorvan-meterd\","
                         "\"sw_version\":\"" QUORVAN_VERSION "\"}"))
        << service[0].payload;
    EXPECT_TRUE(Contains(service[0].payload, "\"state_topic\":\"quorvan/status\""));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/bank-1/diagnostics", 1)));
    const auto diagnostics = m_live->On("quorvan/bank-1/diagnostics");
    EXPECT_EQ(
        diagnostics[0].payload,
        "{\"polls\": 0, \"poll_failures\": 0, \"last_reading\": \"2023-11-14T22:13:20.123Z\"}");

    // Home Assistant restarting announces itself; discovery follows.
    late.Publish("homeassistant/status", "online");
    EXPECT_TRUE(late.WaitFor(Count(config + "voltage/config", 2)));
}

TEST_F(MqttPublisherLive, DownMeterIsOfflineAndSendsNoState)
{
    m_publisher->Publish(Meter("bank-1", 1));
    m_publisher->Publish(Meter("bank-2", 1));
    ASSERT_TRUE(m_live->WaitFor(Count(kSensorState, 1)));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/bank-2/state", 1)));

    // bank-1 stops answering; its last good reading stays in the snapshot.
    m_publisher->Publish(Meter("bank-1", 2, false));
    m_publisher->Publish(Meter("bank-2", 2));
    ASSERT_TRUE(m_live->WaitFor(Says(kBankAvailability, "offline")));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/bank-2/state", 2)));
    m_publisher->Publish(Meter("bank-1", 3, false));
    m_publisher->Publish(Meter("bank-2", 3));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/bank-2/state", 3)));
    EXPECT_EQ(m_live->On(kSensorState).size(), 1u);
    EXPECT_EQ(m_live->On(kBankAvailability).size(), 2u);  // online, offline: no repeats

    m_publisher->Publish(Meter("bank-1", 4));
    ASSERT_TRUE(m_live->WaitFor(Count(kSensorState, 2)));
    EXPECT_EQ(m_live->On(kBankAvailability).back().payload, "online");
}

TEST_F(MqttPublisherLive, StopSaysOfflineForServiceAndMeters)
{
    m_publisher->Publish(Meter("bank-1", 1));
    ASSERT_TRUE(m_live->WaitFor(Count(kSensorState, 1)));

    const auto begun = Clock::now();
    m_publisher->Stop();
    EXPECT_LT(Clock::now() - begun, std::chrono::seconds(1));
    EXPECT_TRUE(m_live->WaitFor(Says("quorvan/status", "offline")));
    EXPECT_TRUE(m_live->WaitFor(Says(kBankAvailability, "offline")));
    MqttProbe late(m_broker.Port(), {"quorvan/status"});
    EXPECT_TRUE(late.WaitFor(Says("quorvan/status", "offline")));
}

// Home Assistant records every state it gets: with the default policy a
// state goes out only when a value moved beyond its deadband, the energy or
// the alarm changed, or the longest silence passed; every_poll sends all.
TEST_F(MqttPublisherLive, StatesFollowThePublishingPolicy)
{
    m_publisher->Stop();
    MqttSettings settings = BrokerAt(m_broker.Port());
    settings.maxSilenceMs = 1500;  // the test's; the default is 60 s
    m_publisher = std::make_unique<CMqttPublisher>(settings);
    std::string error;
    ASSERT_TRUE(m_publisher->Start(&error)) << error;

    struct Step {
        uint16_t voltage, current;
        uint32_t power, energy;
        uint16_t alarm;
        bool sent;
        const char* why;
    };
    const Step steps[] = {
        {5123, 450, 2305, 100, 0, true, "the first"},
        {5133, 455, 2315, 100, 0, false, "each within its band (0.10 V, 0.05 A, 1.0 W)"},
        {5113, 445, 2295, 100, 0, false, "the other way, still within"},
        {5134, 450, 2305, 100, 0, true, "0.11 V"},
        {5134, 456, 2305, 100, 0, true, "0.06 A"},
        {5134, 456, 2316, 100, 0, true, "1.1 W"},
        {5134, 456, 2316, 101, 0, true, "1 Wh"},
        {5134, 456, 2316, 101, 0xFFFF, true, "the alarm"},
        {5134, 456, 2316, 101, 0xFFFF, false, "nothing"},
    };
    size_t expected = 0;
    for (const Step& step : steps) {
        MeterSnapshot m = Meter("bank-1", step.energy);
        m.reading = Measurement{step.voltage, step.current, step.power, step.energy, step.alarm, 0};
        m_publisher->Publish(m);
        expected += step.sent;
        // A marker meter after each step: the step has been judged once it arrives.
        m_publisher->Publish(Meter("marker", static_cast<uint32_t>(&step - steps)));
        ASSERT_TRUE(
            m_live->WaitFor(Count("quorvan/marker/state", static_cast<size_t>(&step - steps) + 1)))
            << step.why;
        EXPECT_EQ(m_live->On(kSensorState).size(), expected) << step.why;
    }
    // The same values after the longest silence go out again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    MeterSnapshot quiet = Meter("bank-1", 101);
    quiet.reading = Measurement{5134, 456, 2316, 101, 0xFFFF, 0};
    m_publisher->Publish(quiet);
    EXPECT_TRUE(m_live->WaitFor(Count(kSensorState, expected + 1)));

    m_publisher->Stop();
    settings.publish = MqttPublish::kEveryPoll;
    settings.clientId = "quorvan-every";
    CMqttPublisher every(settings);
    ASSERT_TRUE(every.Start(&error)) << error;
    for (int i = 0; i < 3; ++i)
        every.Publish(Meter("bank-9", 5));
    // A state not yet sent is replaced by a newer one, so not every poll of a
    // burst need arrive; poll by poll each does.
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/bank-9/state", 1)));
    const size_t before = m_live->On("quorvan/bank-9/state").size();
    every.Publish(Meter("bank-9", 5));
    EXPECT_TRUE(m_live->WaitFor(Count("quorvan/bank-9/state", before + 1)));
}

// A restart must not flash the meters offline: availability goes out only
// once a poll has decided it, and then says it once.
TEST_F(MqttPublisherLive, AvailabilityOnlyOnceAPollHasDecided)
{
    MeterSnapshot waiting = Meter("bank-1", 1, false);
    waiting.decided = false;
    waiting.haveReading = false;
    m_publisher->Publish(waiting);
    m_publisher->Publish(Meter("marker", 1));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/marker/state", 1)));
    EXPECT_TRUE(m_live->On(kBankAvailability).empty());
    m_publisher->Publish(Meter("bank-1", 2));
    ASSERT_TRUE(m_live->WaitFor(Count(kSensorState, 1)));
    ASSERT_EQ(m_live->On(kBankAvailability).size(), 1u);
    EXPECT_EQ(m_live->On(kBankAvailability)[0].payload, "online");
}

// What a subscriber arriving now finds retained of one meter: its configs
// (under any node) and its availability (under any prefix).
std::vector<MqttReceived> RetainedOf(int port, const std::string& meter)
{
    MqttProbe late(port, {"+/+/availability", "homeassistant/#"});
    // The broker sends what it retained right after the subscription.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<MqttReceived> found;
    late.WaitFor([&](const Messages& all) {
        for (const MqttReceived& r : all)
            if (r.retained && (Contains(r.topic, "/" + meter + "_") ||
                               Contains(r.topic, "/" + meter + "/availability")))
                found.push_back(r);
        return true;
    });
    return found;
}

// A meter that left the configuration disappears from Home Assistant: its
// discovery and availability are cleared, and stay so after a reconnect.
TEST_F(MqttPublisherLive, AForgottenMeterIsClearedAndStaysGone)
{
    m_publisher->Publish(Meter("old-name", 1));
    m_publisher->Publish(Meter("kept", 1));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/old-name/state", 1)));
    ASSERT_EQ(RetainedOf(m_broker.Port(), "old-name").size(), 8u);  // 7 configs, availability

    m_publisher->Forget("old-name");
    ASSERT_TRUE(m_live->WaitFor(Says(std::string("quorvan/old-name/availability"), "")));
    EXPECT_TRUE(RetainedOf(m_broker.Port(), "old-name").empty());
    EXPECT_EQ(RetainedOf(m_broker.Port(), "kept").size(), 8u);

    // The service goes on: nothing more of the forgotten meter (a broker
    // restart is service_e2e_test's ARenamedMeterLeavesHomeAssistantForGood).
    const size_t states = m_live->On("quorvan/kept/state").size();
    m_publisher->Publish(Meter("kept", 2));
    ASSERT_TRUE(m_live->WaitFor(Count("quorvan/kept/state", states + 1)));
    EXPECT_EQ(m_live->On("quorvan/old-name/state").size(), 1u);
}

// Meters that left while the service was stopped: at the next start, their
// retained configs under this client id, and the availability they named,
// are cleared; other services' (another client id) are left alone.
TEST(MqttPublisher, StartClearsRetainedConfigsOfMetersNoLongerConfigured)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    std::string error;
    {
        CMqttPublisher before(BrokerAt(broker.Port()));
        before.SetMeters({"bank-1", "bank-2"});
        MqttSettings other = BrokerAt(broker.Port());
        other.clientId = "quorvan-other";
        other.topicPrefix = "other";
        CMqttPublisher neighbour(other);
        ASSERT_TRUE(before.Start(&error)) << error;
        ASSERT_TRUE(neighbour.Start(&error)) << error;
        before.Publish(Meter("bank-1", 1));
        before.Publish(Meter("bank-2", 1));
        neighbour.Publish(Meter("bank-2", 1));
        ASSERT_TRUE(WaitFor([&] { return RetainedOf(broker.Port(), "bank-2").size() >= 16; }));
    }
    std::vector<std::string> log;
    std::mutex logLock;
    CMqttPublisher after(BrokerAt(broker.Port()));
    after.SetMeters({"bank-1"});
    after.SetLog([&](const std::string& line) {
        std::lock_guard<std::mutex> hold(logLock);
        log.push_back(line);
    });
    ASSERT_TRUE(after.Start(&error)) << error;
    after.Publish(Meter("bank-1", 2));
    std::vector<MqttReceived> left;
    EXPECT_TRUE(WaitFor([&] {
        left = RetainedOf(broker.Port(), "bank-2");
        return left.size() == 8;
    })) << left.size();
    for (const MqttReceived& r : left)
        EXPECT_TRUE(Contains(r.topic, "quorvan-other") || r.topic.rfind("other/", 0) == 0)
            << r.topic;
    EXPECT_EQ(RetainedOf(broker.Port(), "bank-1").size(), 8u);
    std::lock_guard<std::mutex> hold(logLock);
    size_t said = 0;
    for (const std::string& line : log)
        said += line ==
                "MQTT: cleared the retained discovery and availability of a meter no longer "
                "configured (quorvan/bank-2)";
    EXPECT_EQ(said, 1u) << ::testing::PrintToString(log);
}

// A broker that goes away is told in the log once per change, not per attempt.
TEST(MqttPublisher, TheLogTellsABrokerOutageOncePerChange)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    std::vector<std::string> log;
    std::mutex logLock;
    std::vector<bool> seen;
    CMqttPublisher publisher(BrokerAt(broker.Port()));
    publisher.SetReconnectPauses(20, 40);
    publisher.SetLog([&](const std::string& line) {
        std::lock_guard<std::mutex> hold(logLock);
        log.push_back(line);
    });
    publisher.SetConnectionObserver([&](bool connected, const std::string&) {
        std::lock_guard<std::mutex> hold(logLock);
        seen.push_back(connected);
    });
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return publisher.Connected(); }));
    broker.Kill();
    ASSERT_TRUE(WaitFor([&] { return !publisher.Connected(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a dozen attempts
    ASSERT_TRUE(broker.Restart());
    ASSERT_TRUE(WaitFor([&] { return publisher.Connected(); }));
    publisher.Stop();

    const std::string where = "127.0.0.1:" + std::to_string(broker.Port());
    std::lock_guard<std::mutex> hold(logLock);
    ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0], "MQTT connected to " + where);
    EXPECT_EQ(log[1].rfind("MQTT connection to " + where + " lost: ", 0), 0u) << log[1];
    EXPECT_TRUE(Contains(log[1], "; trying again in 20 ms")) << log[1];
    EXPECT_EQ(log[2], "MQTT broker " + where +
                          ": Connection refused; trying again with a growing pause (up to 40 ms)");
    EXPECT_TRUE(std::regex_match(
        log[3], std::regex("MQTT connected to " + where + " again after [0-9]+ tries")))
        << log[3];
    EXPECT_EQ(seen, (std::vector<bool>{true, false, false, true}));
}

TEST(MqttPublisher, LastWillSaysOfflineWhenTheProcessDies)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttProbe live(broker.Port(), {"quorvan/#"});
    ASSERT_TRUE(live.Ready());

    // Started as a program (under qemu-user in a cross build, too).
    CChildProcess helper;
    ASSERT_TRUE(helper.Start(QUORVAN_MQTT_WILL_HELPER, {std::to_string(broker.Port())}));
    const bool online = live.WaitFor(Count(kSensorState, 1));
    helper.Signal(SIGKILL);
    helper.Finish(5000);
    ASSERT_TRUE(online);
    EXPECT_EQ(live.On("quorvan/status")[0].payload, "online");

    ASSERT_TRUE(live.WaitFor(Says("quorvan/status", "offline")));
    MqttProbe late(broker.Port(), {"quorvan/status"});
    ASSERT_TRUE(late.WaitFor(Count("quorvan/status", 1)));
    EXPECT_EQ(late.On("quorvan/status")[0].payload, "offline");
    EXPECT_TRUE(late.On("quorvan/status")[0].retained);
}

// The broker killed and restarted, with a password file: while it is away
// the service keeps polling and the publisher keeps only the latest state;
// after the reconnect each meter's latest state goes out once.
TEST(MqttPublisher, BrokerRestartSendsEachLatestStateOnce)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.SetUser("probe", "probe-pw"));
    ASSERT_TRUE(broker.SetUser("meterd", "s3cret pw"));
    ASSERT_TRUE(broker.Start(false));
    MqttSettings settings = BrokerAt(broker.Port());
    settings.credentialsFile =
        WriteFile(broker.Dir() + "/credentials", "meterd\ns3cret pw\n", 0600);
    CMqttPublisher publisher(settings);
    publisher.SetReconnectPauses(20, 100);
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    {
        MqttProbe before(broker.Port(), {"quorvan/+/state"}, "probe", "probe-pw");
        ASSERT_TRUE(before.Ready());
        publisher.Publish(Meter("bank-1", 1));
        publisher.Publish(Meter("bank-2", 1));
        ASSERT_TRUE(before.WaitFor(Count("quorvan/bank-2/state", 1)));
        ASSERT_TRUE(before.WaitFor(Count(kSensorState, 1)));
        broker.Kill();
    }
    ASSERT_TRUE(WaitFor([&] { return !publisher.Connected(); }));

    const long residentBefore = ResidentBytes();
    for (uint32_t i = 0; i < 200000; ++i)
        publisher.Publish(Meter(i % 2 ? "bank-1" : "bank-2", i));
    publisher.Publish(Meter("bank-1", 777777));
    publisher.Publish(Meter("bank-2", 888888));
    // A queue of 200000 messages would take tens of megabytes.
    EXPECT_LT(ResidentBytes() - residentBefore, 4L << 20);

    // Back without the service's user at first, so the test's subscriber
    // is in place before the publisher can be.
    ASSERT_TRUE(broker.RemoveUser("meterd"));
    ASSERT_TRUE(broker.Restart());
    MqttProbe after(broker.Port(), {"quorvan/+/state"}, "probe", "probe-pw");
    ASSERT_TRUE(after.Ready());
    EXPECT_TRUE(WaitFor([&] { return Contains(publisher.LastError(), "not authori"); }))
        << publisher.LastError();
    ASSERT_TRUE(broker.SetUser("meterd", "s3cret pw"));
    ASSERT_TRUE(broker.Reload());

    ASSERT_TRUE(after.WaitFor(Count(kSensorState, 1)));
    ASSERT_TRUE(after.WaitFor(Count("quorvan/bank-2/state", 1)));
    EXPECT_TRUE(publisher.Connected());
    // A marker after them: anything else sent on reconnect came before it.
    publisher.Publish(Meter("bank-1", 999999));
    ASSERT_TRUE(after.WaitFor(Count(kSensorState, 2)));
    const auto bank1 = after.On(kSensorState);
    const auto bank2 = after.On("quorvan/bank-2/state");
    ASSERT_EQ(bank1.size(), 2u);
    EXPECT_EQ(bank2.size(), 1u);
    EXPECT_TRUE(Contains(bank1[0].payload, "\"energy_wh\": 777777,")) << bank1[0].payload;
    EXPECT_TRUE(Contains(bank2[0].payload, "\"energy_wh\": 888888,")) << bank2[0].payload;
    EXPECT_TRUE(Contains(bank1[1].payload, "\"energy_wh\": 999999,")) << bank1[1].payload;
}

// The real pauses: 1 s after the loss, then 2 s.
TEST(MqttPublisher, ReconnectPausesStartAtOneSecondAndDouble)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    CMqttPublisher publisher(BrokerAt(broker.Port()));
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return publisher.Connected(); }));

    broker.Kill();
    ASSERT_TRUE(WaitFor([&] { return !publisher.Connected(); }));
    const auto lost = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return Contains(publisher.LastError(), "refused"); }))
        << publisher.LastError();
    const auto firstAttempt = Clock::now();
    ASSERT_TRUE(broker.Restart());
    ASSERT_TRUE(WaitFor([&] { return publisher.Connected(); }));
    const auto secondAttempt = Clock::now();

    using std::chrono::milliseconds;
    EXPECT_GE(firstAttempt - lost, milliseconds(950));
    EXPECT_LT(firstAttempt - lost, milliseconds(1500));
    EXPECT_GE(secondAttempt - firstAttempt, milliseconds(1900));
    EXPECT_LT(secondAttempt - firstAttempt, milliseconds(2600));
}

TEST(MqttPublisher, StartRefusesCredentialsOthersMayReadAndBadFiles)
{
    MqttBroker scratch;  // only for its folder
    MqttSettings settings = BrokerAt(1883);
    std::string error;

    const std::string open = WriteFile(scratch.Dir() + "/open", "meterd\npw\n", 0644);
    settings.credentialsFile = open;
    EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
    EXPECT_TRUE(Contains(error, open + " is open to group or others (mode 0644)")) << error;
    EXPECT_TRUE(Contains(error, "chmod 600 " + open)) << error;

    // Our own group may read (the package's root:quorvan-meterd 0640), not write;
    // another group may not even read.
    settings.credentialsFile = WriteFile(scratch.Dir() + "/ours", "meterd\npw\n", 0640);
    ASSERT_EQ(chown(settings.credentialsFile.c_str(), static_cast<uid_t>(-1), getegid()), 0);
    EXPECT_TRUE(CMqttPublisher(settings).Start(&error)) << error;
    settings.credentialsFile = WriteFile(scratch.Dir() + "/group", "meterd\npw\n", 0660);
    ASSERT_EQ(chown(settings.credentialsFile.c_str(), static_cast<uid_t>(-1), getegid()), 0);
    EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
    EXPECT_TRUE(Contains(error, "chmod 600")) << error;
    if (geteuid() == 0) {
        settings.credentialsFile = WriteFile(scratch.Dir() + "/nogroup", "meterd\npw\n", 0640);
        ASSERT_EQ(chown(settings.credentialsFile.c_str(), 0, 65534), 0);
        EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
        EXPECT_TRUE(Contains(error, "(mode 0640)")) << error;
    }

    settings.credentialsFile = WriteFile(scratch.Dir() + "/empty", "\npw\n", 0600);
    EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
    EXPECT_TRUE(Contains(error, "first line must hold the user name")) << error;

    settings.credentialsFile = scratch.Dir() + "/missing";
    EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
    EXPECT_TRUE(Contains(error, scratch.Dir() + "/missing: No such file")) << error;

    settings.credentialsFile.clear();
    settings.caFile = scratch.Dir() + "/no-ca.crt";
    EXPECT_FALSE(CMqttPublisher(settings).Start(&error));
    EXPECT_TRUE(Contains(error, "MQTT CA file " + settings.caFile)) << error;
}

// A peer that takes the TCP connection and never answers CONNECT: the
// publisher waits, and Stop() still returns at once.
TEST(MqttPublisher, StopIsPromptWhileTheBrokerNeverAnswers)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);

    CMqttPublisher publisher(BrokerAt(ntohs(a.sin_port)));
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    publisher.Publish(Meter("bank-1", 1));
    // The reachability check connects and leaves; the client's connection
    // then sends CONNECT (first byte 0x10) and waits.
    bool connectSeen = false;
    std::vector<int> accepted;
    while (!connectSeen && accepted.size() < 4) {
        const int fd = accept(listener, nullptr, nullptr);
        ASSERT_GE(fd, 0);
        accepted.push_back(fd);
        unsigned char first = 0;
        connectSeen = read(fd, &first, 1) == 1 && first == 0x10;
    }
    ASSERT_TRUE(connectSeen);
    EXPECT_FALSE(publisher.Connected());

    const auto begun = Clock::now();
    publisher.Stop();
    EXPECT_LT(Clock::now() - begun, std::chrono::milliseconds(500));
    for (int fd : accepted)
        close(fd);
    close(listener);
}

// TLS with the CA file: the broker's certificate is checked against it,
// and a CA that did not sign it keeps the publisher out.
TEST(MqttPublisher, TlsConnectsOnlyWithTheBrokersCa)
{
    if (access("/usr/bin/openssl", X_OK) != 0)
        GTEST_SKIP() << "openssl is not installed";
    MqttBroker broker;
    const std::string& dir = broker.Dir();
    TestCerts certs;
    ASSERT_TRUE(MakeTestCerts(dir, &certs));
    ASSERT_TRUE(broker.Start(true, "cafile " + dir + "/ca.crt\ncertfile " + dir +
                                       "/server.crt\nkeyfile " + dir + "/server.key\n"));
    MqttProbe live(broker.Port(), {"quorvan/#"}, "", "", dir + "/ca.crt");
    ASSERT_TRUE(live.Ready());

    MqttSettings settings = BrokerAt(broker.Port());
    settings.caFile = dir + "/ca.crt";
    CMqttPublisher publisher(settings);
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    publisher.Publish(Meter("bank-1", 1));
    ASSERT_TRUE(live.WaitFor(Count(kSensorState, 1)));

    settings.caFile = dir + "/other.crt";
    settings.clientId = "quorvan-stranger";
    CMqttPublisher stranger(settings);
    ASSERT_TRUE(stranger.Start(&error)) << error;
    EXPECT_TRUE(WaitFor([&] { return !stranger.LastError().empty(); }));
    EXPECT_FALSE(stranger.Connected()) << stranger.LastError();
    EXPECT_TRUE(Contains(stranger.LastError(), "TLS")) << stranger.LastError();
}
