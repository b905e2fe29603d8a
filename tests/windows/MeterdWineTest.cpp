// The Windows quorvan-meterd.exe under Wine against simulated meters on
// ptys (COM3, and COM4 named by its device path), scraped over loopback
// from Linux as Prometheus would: /metrics (checked by promtool), the
// status page, a pulled adapter, Ctrl+C, and the configuration the Windows
// build refuses.
//
// scripts/test-windows sets the environment: QUORVAN_WINE_METERD, the
// program; QUORVAN_WINE_PREFIX, a prefix made and served for the run.
#include "MeterdScrape.h"
#include "TempConfig.h"
#include "TestHost.h"
#include "WineProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A Linux path as a Windows user under Wine writes it: Z:\tmp\...
std::string WindowsPath(std::string path)
{
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

// Whether a TCP connection to 127.0.0.1:port is taken.
bool Listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return taken;
}

class MeterdUnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_meterd.Ready())
            << "set QUORVAN_WINE_METERD and QUORVAN_WINE_PREFIX (scripts/test-windows does)";
        ASSERT_FALSE(m_dir.Dir().empty());
        StartMeter(m_battery, 3, kBatteryState);
        StartMeter(m_solar, 4, kSolarState);
    }

    void StartMeter(CMeterSim& sim, int com, const SimMeterState& state)
    {
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        sim.SetPacing(false);
        sim.SetState(state);
        ASSERT_TRUE(sim.LinkAt(m_meterd.ComLink(com), &error)) << error;
    }

    // The file, as Windows names it. `listen` and `extra` (tables at the
    // end) vary it; COM4 is named by its device path.
    std::string WriteConfig(const std::string& listen = "127.0.0.1:0",
                            const std::string& extra = "") const
    {
        const std::string path = m_dir.Dir() + "/meterd.toml";
        std::ofstream(path) << "interval = \"200ms\"\n"
                            << "[http]\nlisten = \"" << listen << "\"\n"
                            << "[[line]]\nport = \"COM3\"\n"
                            << "  [[line.meter]]\n  name = \"battery\"\n  address = 1\n"
                            << "[[line]]\nport = '\\\\.\\COM4'\n"
                            << "  [[line.meter]]\n  name = \"solar\"\n  address = 7\n"
                            << extra;
        return WindowsPath(path);
    }

    ChildResult Run(const std::vector<std::string>& args) const
    {
        return m_meterd.Run(args, ChildOptions{}, 20000);
    }

    // Starts the service and reads the port it serves on from its log.
    void StartService(const std::string& listen = "127.0.0.1:0")
    {
        ASSERT_TRUE(m_meterd.Start(m_service, {"--config", WriteConfig(listen)}));
        m_port = ServedPort(m_service.WaitForErrorLine("serving metrics on", 10000));
        ASSERT_NE(m_port, 0) << m_service.Err();
    }

    std::string Scrape() const { return HttpGet(m_port, "/metrics"); }

    bool WaitForMetrics(std::initializer_list<std::string> parts) const
    {
        return MetricsShow(m_port, parts);
    }

    const WineProgram m_meterd{"QUORVAN_WINE_METERD"};
    TempConfig m_dir;
    CMeterSim m_battery, m_solar;
    CChildProcess m_service;
    int m_port = 0;
};

// Both lines polled, every value on /metrics in Prometheus's own format
// (promtool reads it: a stray CR would fail), the Windows process figures,
// the status page, and the HTTP rules of the Linux service.
TEST_F(MeterdUnderWine, ServesBothMetersOverLoopback)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics(
        {"quorvan_meter_info{meter=\"battery\",port=\"COM3\",address=\"1\"} 1\n",
         "quorvan_meter_info{meter=\"solar\",port=\"\\\\\\\\.\\\\COM4\",address=\"7\"} 1\n",
         "quorvan_meter_voltage_volts" + kBattery + " 51.23\n",
         "quorvan_meter_power_watts" + kBattery + " 230.5\n",
         "quorvan_meter_energy_joules_total" + kBattery + " 44442000\n",
         "quorvan_meter_voltage_volts" + kSolar + " 48.00\n",
         "quorvan_meter_up" + kSolar + " 1\n"}))
        << Scrape() << m_service.Err();
    EXPECT_EQ(m_solar.LastRequest().at(0), 7);

    const std::string text = Scrape();
    ChildOptions check;
    check.input = text;
    const ChildResult promtool =
        CChildProcess::Run("/usr/bin/promtool", {"check", "metrics"}, check);
    EXPECT_EQ(promtool.status, 0) << promtool.out << promtool.err << text;

    // The process figures come from Windows: started moments ago, memory
    // in use, the system's limit on handles (whose count Wine does not
    // keep: left out rather than 0).
    std::smatch value;
    ASSERT_TRUE(
        std::regex_search(text, value, std::regex("\nprocess_start_time_seconds ([0-9.]+)\n")))
        << text;
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(std::stod(value[1]), now, 60.0) << text;
    EXPECT_FALSE(Contains(text, "\nprocess_open_fds 0\n")) << text;
    EXPECT_TRUE(Contains(text, "\nprocess_max_fds 16777216\n")) << text;
    for (const char* memory : {"resident", "virtual"})
        EXPECT_TRUE(std::regex_search(
            text, std::regex(std::string("\nprocess_") + memory + "_memory_bytes [1-9]")))
            << memory << "\n"
            << text;

    httplib::Client client("127.0.0.1", m_port);
    client.set_read_timeout(5, 0);
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_TRUE(Contains(page->body, "battery")) << page->body;
    EXPECT_TRUE(Contains(page->body, "\\\\.\\COM4")) << page->body;
    const auto head = client.Head("/metrics");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    const auto missing = client.Get("/nothing");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    const auto post = client.Post("/metrics", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);

    // A client that connects and says nothing is cut off (1 s to start a
    // request, 2 s for it), and costs the scrapes nothing meanwhile.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(m_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const auto connected = Clock::now();
    EXPECT_FALSE(Scrape().empty());
    pollfd p{silent, POLLIN, 0};
    char byte;
    EXPECT_EQ(poll(&p, 1, 6000), 1);
    EXPECT_LE(recv(silent, &byte, 1, 0), 0);
    EXPECT_LT(Clock::now() - connected, 5000ms);
    close(silent);
}

// The adapter pulled: the line is lost and its meter down while the other
// line goes on; plugged back in, the line reopens (after the real 1 s).
TEST_F(MeterdUnderWine, PulledAdapterIsReopened)
{
    StartService();
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kBattery + " 1\n"}));
    m_battery.HangUp();
    ASSERT_TRUE(WaitForMetrics(
        {"quorvan_meter_up" + kBattery + " 0\n", "quorvan_meterd_line_open{line=\"COM3\"} 0\n"}))
        << m_service.Err();
    EXPECT_TRUE(Contains(Scrape(), "quorvan_meter_up" + kSolar + " 1\n"));
    std::string error;
    ASSERT_TRUE(m_battery.Replug(&error)) << error;
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_voltage_volts" + kBattery + " 51.23\n"}))
        << m_service.Err();
    const std::string log = m_service.Err();
    EXPECT_TRUE(Contains(log, ": line lost: transport failure: ")) << log;
    EXPECT_TRUE(Contains(log, ": line reopened")) << log;
}

// Ctrl+C (SIGINT, which Wine hands to the console's handlers) while a
// poll waits for a silent meter: the service ends within 2 s with status
// 0, its port is free, and a new service takes the same port at once. A
// second service on a taken port fails with 1 and says why.
TEST_F(MeterdUnderWine, CtrlCEndsTheServiceCleanly)
{
    const int port = FreeLoopbackPort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    StartService(listen);
    ASSERT_TRUE(WaitForMetrics({"quorvan_meter_up" + kSolar + " 1\n"}));

    const ChildResult second = Run({"--config", WriteConfig(listen)});
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_TRUE(Contains(second.err, "quorvan-meterd: cannot listen on " + listen + ": "))
        << second.err;

    m_solar.SetFaults(SimFaults{.silent = true});
    ASSERT_FALSE(
        m_service.WaitForErrorLine("meter solar (\\\\.\\COM4, address 7) down", 10000).empty())
        << m_service.Err();
    const unsigned heard = m_solar.RequestCount();
    ASSERT_TRUE(WaitFor([&] { return m_solar.RequestCount() > heard; }));  // a read is under way
    const auto sent = Clock::now();
    m_service.Signal(SIGINT);
    const ChildResult r = m_service.Finish(10000);
    EXPECT_LT(Clock::now() - sent, 2000ms);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "stopping on Ctrl+C\r\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "stopped\r\n")) << r.err;
    EXPECT_FALSE(Listening(port));

    m_solar.ClearFaults();
    CChildProcess again;
    ASSERT_TRUE(m_meterd.Start(again, {"--config", WriteConfig(listen)}));
    EXPECT_FALSE(again.WaitForErrorLine("serving metrics on", 10000).empty()) << again.Err();
    again.Signal(SIGINT);
    EXPECT_EQ(again.Finish(10000).status, 0);
}

// What the Windows build lacks is refused where the file asks for it, by
// --check and at start, never served without; a good file passes --check,
// the zip's example too; without --config the file beside the program is
// read.
TEST_F(MeterdUnderWine, ConfigurationTheWindowsBuildRefuses)
{
    const std::string good = WriteConfig();
    ChildResult r = Run({"--check", "--config", good});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, good + ": ok: 2 lines, 2 meters, metrics on 127.0.0.1:0\r\n");
    const std::string example =
        WindowsPath(QUORVAN_SOURCE_DIR "/packaging/windows/meterd.example.toml");
    r = Run({"--check", "--config", example});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, example + ": ok: 1 line, 2 meters, metrics on 127.0.0.1:9788\r\n");

    const struct {
        std::string table, refusal;
    } lacking[] = {
        {"[mqtt]\nhost = \"127.0.0.1\"\n",
         ":14: [mqtt] cannot be used: the Windows build of quorvan-meterd has no MQTT; leave it "
         "out"},
        {"[http.tls]\ncert_file = \"/etc/a.crt\"\nkey_file = \"/etc/a.key\"\n",
         ":14: [http.tls] cannot be used: the Windows build of quorvan-meterd has no TLS; leave "
         "it out"},
        {"[http.basic_auth_users]\nprometheus = \"$2y$10$abc\"\n",
         ":14: [http.basic_auth_users] cannot be used: the Windows build of quorvan-meterd has no "
         "basic authentication; leave it out"},
    };
    for (const auto& c : lacking) {
        const std::string path = WriteConfig("127.0.0.1:0", c.table);
        for (bool check : {true, false}) {
            std::vector<std::string> args = {"--config", path};
            if (check)
                args.insert(args.begin(), "--check");
            r = Run(args);
            EXPECT_EQ(r.status, 2) << c.table;
            EXPECT_EQ(r.err, "quorvan-meterd: " + path + c.refusal + "\r\n") << c.table;
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    EXPECT_EQ(m_battery.RequestCount(), 0u);

    r = Run({"--hash-password"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "quorvan-meterd: --hash-password: the Windows build of quorvan-meterd has no basic "
              "authentication\r\n");

    r = Run({"--check"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "\\service\\meterd.toml: cannot read: ")) << r.err;
}

}  // namespace
