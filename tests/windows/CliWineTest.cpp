// The Windows quorvan-cli.exe under Wine against the simulated meter on a
// pty, reached as COM3 through the Wine prefix's dosdevices/com3 link: the
// Windows serial layer (CreateFile, COMMTIMEOUTS, overlapped transfers,
// CancelIo) on a line whose faults the test switches.
//
// scripts/test-windows sets the environment: QUORVAN_WINE_CLI, the program;
// QUORVAN_WINE_PREFIX, a prefix made and served for the run.
#include "CMeterSim.h"
#include "TestWait.h"
#include "WineProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CliUnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_cli.Ready())
            << "set QUORVAN_WINE_CLI and QUORVAN_WINE_PREFIX (scripts/test-windows does)";
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        m_sim.SetPacing(false);
        SimMeterState state;
        state.voltage = 5123;
        state.current = 450;
        state.energy = 12345;
        state.fixed = true;
        m_sim.SetState(state);
        ASSERT_TRUE(m_sim.LinkAt(m_cli.ComLink(3), &error)) << error;
    }

    ChildResult Run(const std::vector<std::string>& args, const std::string& input = "",
                    int timeoutMs = 20000) const
    {
        ChildOptions options;
        options.input = input;
        return m_cli.Run(args, options, timeoutMs);
    }

    bool Start(CChildProcess& process, const std::vector<std::string>& args,
               const ChildOptions& options = ChildOptions{}) const
    {
        return m_cli.Start(process, args, options);
    }

    const WineProgram m_cli{"QUORVAN_WINE_CLI"};
    CMeterSim m_sim;
};

// Windows programs end their lines with CR LF in text mode.
TEST_F(CliUnderWine, ReadPrintsTheMetersValues)
{
    const ChildResult json = Run({"--port", "COM3", "read", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const std::string stamped = json.out.substr(0, json.out.find(", \"time\": \""));
    EXPECT_EQ(stamped,
              "{\"voltage_v\": 51.23, \"current_a\": 4.50, \"power_w\": 230.5, "
              "\"energy_wh\": 12345, \"voltage_alarm\": false");
    EXPECT_EQ(json.out.size(), stamped.size() + 39) << json.out;  // , "time": "<24>"}\r\n

    // The same through the device path, traced.
    const ChildResult text = Run({"--trace", "--port", "\\\\.\\COM3", "read"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "51.23 V  4.50 A  230.5 W  12345 Wh\r\n");
    EXPECT_TRUE(Contains(text.err, " TX F8 04 00 00 00 08 E5 A5\r\n")) << text.err;
    EXPECT_TRUE(Contains(text.err, " RX F8 04 10 14 03 01 C2")) << text.err;
}

TEST_F(CliUnderWine, ParamsSetParamsResetEnergyAndCalibrate)
{
    SimMeterState state = m_sim.State();
    state.highVoltage = 30055;
    state.address = 17;
    state.currentRange = 2;
    m_sim.SetState(state);
    ChildResult r = Run({"--json", "--port", "COM3", "params"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"high_voltage_v\": 300.55, \"low_voltage_v\": 10.00, \"address\": 17, "
              "\"current_range\": 2, \"current_range_text\": \"200A\"}\r\n");

    r = Run({"--port", "COM3", "set-params", "--low", "12.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Set the parameters successfully!\r\n")) << r.out;
    EXPECT_EQ(m_sim.State().highVoltage, 30055);  // only what was named
    EXPECT_EQ(m_sim.State().lowVoltage, 1250);

    r = Run({"--port", "COM3", "reset-energy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Clear the energy successfully!\r\n");
    EXPECT_EQ(m_sim.State().energy, 0u);

    const unsigned before = m_sim.RequestCount();
    r = Run({"--port", "COM3", "calibrate"}, "wrong\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Password is error!")) << r.err;
    EXPECT_EQ(m_sim.RequestCount(), before);
    m_sim.SetCalibrateMs(0);
    r = Run({"--json", "--port", "COM3", "calibrate"}, "KVRA518\r\n");  // the real 3 s pause
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"calibrated\": true}\r\n");
    EXPECT_EQ(m_sim.LastRequest(), (std::vector<uint8_t>{0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78}));
    EXPECT_GE(r.elapsed, 3000ms);
}

// A meter that does not answer costs the read limit, 20 ms x 21 + 1000 ms,
// measured from the request to the end of the program.
TEST_F(CliUnderWine, NoAnswerEndsAtTheReadLimit)
{
    m_sim.SetFaults(SimFaults{.silent = true});
    CChildProcess process;
    ASSERT_TRUE(Start(process, {"--port", "COM3", "read"}));
    ASSERT_TRUE(WaitFor([&] { return m_sim.RequestCount() >= 1; }, 10s, 1ms));
    const auto asked = Clock::now();
    const ChildResult r = process.Finish(10000);
    const auto took = Clock::now() - asked;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Failed to read! (no answer)")) << r.err;
    EXPECT_GE(took, 1420ms - 50ms);  // the request is seen a little after it left
    EXPECT_LT(took, 1420ms + 600ms);
}

TEST_F(CliUnderWine, LateGarbledAndSplitAnswers)
{
    const struct {
        SimFaults faults;
        int status;
        const char* text;
    } cases[] = {
        {SimFaults{.delayMs = 1000}, 0, "51.23 V"},  // late, yet inside the limit
        {SimFaults{.garbageBytes = 21}, 1, "Failed to read! (checksum mismatch)"},
        {SimFaults{.garbageBytes = 5}, 1, "(wrong answer length: 5 bytes received)"},
        {SimFaults{.splitPauseMs = 10}, 0, "51.23 V"},  // inside the 20 ms between bytes
        {SimFaults{.splitPauseMs = 100}, 1, "(wrong answer length: 10 bytes received)"},
        {SimFaults{.exceptionCode = 2}, 1, "Failed to read! (exception code 2"},
        // Last: its answer comes while the next program may already listen.
        {SimFaults{.delayMs = 1700}, 1, "Failed to read! (no answer)"},
    };
    for (const auto& c : cases) {
        m_sim.SetFaults(c.faults);
        const ChildResult r = Run({"--port", "COM3", "read"});
        EXPECT_EQ(r.status, c.status) << c.text << ": " << r.err;
        EXPECT_TRUE(Contains(r.out + r.err, c.text)) << c.text << ": " << r.out << r.err;
    }
}

// Ctrl+C (SIGINT, which Wine hands to the console's handlers) ends an
// exchange the meter does not answer at once, through the normal way out.
TEST_F(CliUnderWine, CtrlCEndsAnUnansweredReadAtOnce)
{
    m_sim.SetFaults(SimFaults{.silent = true});
    for (const char* command : {"read", "watch"}) {
        CChildProcess process;
        ASSERT_TRUE(Start(process, {"--port", "COM3", command}));
        const unsigned asked = m_sim.RequestCount();
        ASSERT_TRUE(WaitFor([&] { return m_sim.RequestCount() > asked; }, 10s, 1ms));
        const auto sent = Clock::now();
        process.Signal(SIGINT);
        const ChildResult r = process.Finish(5000);
        EXPECT_LT(Clock::now() - sent, 1000ms) << command;  // the read alone may last 1420 ms
        // A watch stopped by Ctrl+C has done its job; a read ends as Ctrl+C asks.
        EXPECT_EQ(r.status, std::string(command) == "watch" ? 0 : WineProgram::kControlCExit)
            << command;
        EXPECT_FALSE(Contains(r.err, "Failed")) << r.err;
    }
    // The port was closed on the way out: the next program opens it.
    m_sim.ClearFaults();
    EXPECT_EQ(Run({"--port", "COM3", "read"}).status, 0);
}

// Real pauses: after the hang-up a poll fails, 1000 ms + 500 ms, the
// reopen fails (the link is gone), 1000 ms + 500 ms, the third failure
// ends it.
TEST_F(CliUnderWine, WatchGivesUpWhenTheAdapterIsPulled)
{
    CChildProcess process;
    ASSERT_TRUE(Start(process, {"--json", "--port", "COM3", "watch"}));
    ASSERT_TRUE(Contains(process.NextLine(10000), "\"energy_wh\": 12345"));
    const auto pulled = Clock::now();
    m_sim.HangUp();
    const ChildResult r = process.Finish(15000);
    const auto took = Clock::now() - pulled;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "Poll failed, reconnecting (transport failure: '")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Failed to read! (the port did not reopen: 'OpenCom' failed"))
        << r.err;
    EXPECT_GE(took, 3000ms);
    EXPECT_LT(took, 5000ms);
}

TEST_F(CliUnderWine, UnitAndScanOnABus)
{
    SimMeterState first = m_sim.State();
    first.address = 7;
    m_sim.SetState(first);
    SimMeterState second = first;
    second.address = 12;
    second.voltage = 4802;
    m_sim.AddMeter(second);

    ChildResult r = Run({"--port", "COM3", "--unit", "12", "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "48.02 V  4.50 A  216.1 W  12345 Wh\r\n");
    EXPECT_EQ(m_sim.RequestCount(12), 1u);
    EXPECT_EQ(m_sim.RequestCount(7), 0u);

    // Every address with the shortest answer limit: about 14 s.
    r = Run({"--port", "COM3", "scan", "--timeout", "50"}, "", 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  7  51.23 V  4.50 A  230.5 W  12345 Wh\r\n"
              " 12  48.02 V  4.50 A  216.1 W  12345 Wh\r\n");
    EXPECT_EQ(r.err, "2 meters answered\r\n");
}

// Standard input on a pty is a console to a Windows program under Wine:
// the typed password must not come back on it.
TEST_F(CliUnderWine, TypedPasswordIsNotEchoed)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    const auto echoOn = [slave] {
        termios tio;
        return tcgetattr(slave, &tio) == 0 && (tio.c_lflag & ECHO) != 0;
    };
    CChildProcess process;
    ChildOptions options;
    options.stdinFd = slave;
    ASSERT_TRUE(Start(process, {"--port", "COM3", "calibrate"}, options));
    // Typed once the prompt is out and the terminal no longer echoes (Wine's
    // console has taken it over), as a person would.
    ASSERT_TRUE(WaitFor([&] { return Contains(process.Err(), "Calibration password: "); }));
    ASSERT_TRUE(WaitFor([&] { return !echoOn(); }));
    ASSERT_EQ(write(master, "secret\r", 7), 7);
    const ChildResult r = process.Finish(10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Password is error!")) << r.err;
    std::string seen;
    char buffer[256];
    pollfd pfd{master, POLLIN, 0};
    while (poll(&pfd, 1, 100) > 0 && (pfd.revents & POLLIN)) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_FALSE(Contains(seen, "secret")) << seen;
    EXPECT_TRUE(echoOn());
    EXPECT_EQ(m_sim.RequestCount(), 0u);
    close(slave);
    close(master);
}

TEST_F(CliUnderWine, PortsThatDoNotOpenAndUsageErrors)
{
    ChildResult r = Run({"--port", "COM9", "read"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err,
                         "quorvan-cli: cannot open COM9: 'OpenCom' failed with the "
                         "following error: "))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "\nno COM9 on this computer now: Device Manager lists the ports"))
        << r.err;

    r = Run({"--port", "COM0", "read"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "'COM0' is not a port")) << r.err;
    EXPECT_EQ(m_sim.RequestCount(), 0u);
}

}  // namespace
