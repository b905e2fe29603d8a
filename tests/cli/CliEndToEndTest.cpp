// The built quorvan-cli against the simulated meter on a real pty, reached
// through a COM3 alias in a temporary XDG_CONFIG_HOME.
#include "CChildProcess.h"
#include "CMeterSim.h"
#include "CSerial.h"
#include "TempConfig.h"
#include "TestWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kCli = QUORVAN_CLI_PATH;

ChildResult RunCli(const std::vector<std::string>& args, const std::string& input = "",
                   int timeoutMs = 20000)
{
    ChildOptions options;
    options.input = input;
    return CChildProcess::Run(kCli, args, options, timeoutMs);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CliEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_config.Dir().empty());
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        m_sim.SetPacing(false);
        SimMeterState state;
        state.voltage = 5123;
        state.current = 450;
        state.energy = 12345;
        state.fixed = true;
        m_sim.SetState(state);
        ASSERT_TRUE(m_sim.LinkCom(3, &error)) << error;
    }

    // The alias of a pulled adapter leads nowhere. Left pointing at the
    // freed /dev/pts/N, it would lead to whichever pty takes that number next.
    void Unplug(int port) const
    {
        const std::string alias = m_config.AliasDir() + "/COM" + std::to_string(port);
        const std::string temp = alias + ".new";
        ASSERT_EQ(symlink((m_config.Dir() + "/unplugged").c_str(), temp.c_str()), 0);
        ASSERT_EQ(rename(temp.c_str(), alias.c_str()), 0);
    }

    TempConfig m_config;  // before the meter: its alias goes in here
    CMeterSim m_sim;
};

TEST_F(CliEndToEnd, ReadPrintsTheMetersValues)
{
    const ChildResult json = RunCli({"--port", "COM3", "read", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const std::string stamped = json.out.substr(0, json.out.find(", \"time\": \""));
    EXPECT_EQ(stamped,
              "{\"voltage_v\": 51.23, \"current_a\": 4.50, \"power_w\": 230.5, "
              "\"energy_wh\": 12345, \"voltage_alarm\": false");
    EXPECT_EQ(json.out.size(), stamped.size() + 38) << json.out;  // , "time": "<24 characters>"}\n

    // The same through the device path, traced.
    const ChildResult text = RunCli({"--trace", "--port", m_sim.DevicePath(), "read"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "51.23 V  4.50 A  230.5 W  12345 Wh\n");
    EXPECT_TRUE(Contains(text.err, " TX F8 04 00 00 00 08 E5 A5\n")) << text.err;
    EXPECT_TRUE(Contains(text.err, " RX F8 04 10 14 03 01 C2")) << text.err;
}

TEST_F(CliEndToEnd, ParamsShowsTheBlock)
{
    SimMeterState state = m_sim.State();
    state.highVoltage = 30055;
    state.lowVoltage = 1000;
    state.address = 17;
    state.currentRange = 2;
    m_sim.SetState(state);
    const ChildResult r = RunCli({"--json", "--port", "COM3", "params"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"high_voltage_v\": 300.55, \"low_voltage_v\": 10.00, \"address\": 17, "
              "\"current_range\": 2, \"current_range_text\": \"200A\"}\n");
}

TEST_F(CliEndToEnd, SetParamsChangesOnlyWhatIsNamed)
{
    SimMeterState state = m_sim.State();
    state.highVoltage = 30055;  // hundredths the dialog would drop
    state.lowVoltage = 1234;
    state.address = 5;
    state.currentRange = 2;
    m_sim.SetState(state);

    ChildResult r = RunCli({"--port", "COM3", "set-params", "--low", "12.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Set the parameters successfully!")) << r.out;
    SimMeterState now = m_sim.State();
    EXPECT_EQ(now.highVoltage, 30055);
    EXPECT_EQ(now.lowVoltage, 1250);
    EXPECT_EQ(now.address, 5);
    EXPECT_EQ(now.currentRange, 2);
    const std::vector<uint8_t> written = {0x75, 0x67, 0x04, 0xE2, 0x00, 0x05, 0x00, 0x02};
    const std::vector<uint8_t> request = m_sim.LastRequest();
    ASSERT_EQ(request.size(), 17u);
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 7, request.begin() + 15), written);

    r = RunCli({"--json", "--port", "COM3", "set-params", "--high", "350", "--address", "247",
                "--range", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"high_voltage_v\": 350.00, \"low_voltage_v\": 12.50, \"address\": 247, "
              "\"current_range\": 0, \"current_range_text\": \"100A\"}\n");
    now = m_sim.State();
    EXPECT_EQ(now.highVoltage, 35000);
    EXPECT_EQ(now.lowVoltage, 1250);
    EXPECT_EQ(now.address, 247);
    EXPECT_EQ(now.currentRange, 0);
}

TEST_F(CliEndToEnd, SetParamsWritesNothingWhenTheReadFails)
{
    SimFaults faults;
    faults.exceptionCode = 4;
    faults.count = 1;
    m_sim.SetFaults(faults);
    const unsigned before = m_sim.RequestCount();
    const ChildResult r = RunCli({"--port", "COM3", "set-params", "--address", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Failed to read parameters! (exception code 4")) << r.err;
    EXPECT_EQ(m_sim.RequestCount(), before + 1);
    EXPECT_EQ(m_sim.State().address, 1);
}

TEST_F(CliEndToEnd, ResetEnergyClearsTheCounter)
{
    const ChildResult r = RunCli({"--port", "COM3", "reset-energy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Clear the energy successfully!\n");
    EXPECT_EQ(m_sim.State().energy, 0u);
}

TEST_F(CliEndToEnd, CalibrateChecksThePasswordBeforeSendingAnything)
{
    ChildResult r = RunCli({"--port", "COM3", "calibrate"}, "kvra518\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Password is error!")) << r.err;
    EXPECT_EQ(m_sim.RequestCount(), 0u);

    // Real 3 s pause of the calibrate command.
    m_sim.SetCalibrateMs(0);
    r = RunCli({"--json", "--port", "COM3", "calibrate"}, "KVRA518\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"calibrated\": true}\n");
    EXPECT_EQ(m_sim.LastRequest(), (std::vector<uint8_t>{0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78}));
    EXPECT_GE(r.elapsed, 3000ms);
}

TEST_F(CliEndToEnd, MeterFailuresExitOneAndNameTheResult)
{
    const struct {
        SimFaults faults;
        const char* text;
    } cases[] = {
        {SimFaults{.silent = true}, "Failed to read! (no answer)"},
        {SimFaults{.truncateTo = 20}, "Failed to read! (wrong answer length: 20 bytes received)"},
        {SimFaults{.corruptCrc = true}, "Failed to read! (checksum mismatch)"},
        {SimFaults{.exceptionCode = 2}, "Failed to read! (exception code 2"},
    };
    for (const auto& c : cases) {
        m_sim.SetFaults(c.faults);
        const ChildResult r = RunCli({"--port", "COM3", "read"});
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_TRUE(Contains(r.err, c.text)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST_F(CliEndToEnd, UsageErrorsExitTwo)
{
    const ChildResult r = RunCli({"--port", "COM0", "read"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "'COM0' is not a port")) << r.err;
    EXPECT_EQ(m_sim.RequestCount(), 0u);

    const ChildResult version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quorvan-cli " QUORVAN_VERSION "\n");
}

TEST_F(CliEndToEnd, UnopenablePortsExitThree)
{
    const std::string missing = m_config.Dir() + "/no-such-tty";
    symlink(missing.c_str(), (m_config.AliasDir() + "/COM9").c_str());
    ChildResult r = RunCli({"--port", "COM9", "read"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err, "cannot open COM9 (" + missing +
                                    "): 'OpenCom' failed with the following error: No such file"))
        << r.err;

    const std::string plain = m_config.Dir() + "/plain";
    std::ofstream(plain) << "not a tty";
    r = RunCli({"--port", plain, "params"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err, plain + " is not a terminal")) << r.err;

    // Another program holding the port.
    CSerial other;
    other.m_nPort = 3;
    other.m_dwBaudRate = 9600;
    ASSERT_EQ(other.Open(), 1) << other.LastError();
    r = RunCli({"--port", "COM3", "read"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err, "another program has")) << r.err;
}

TEST_F(CliEndToEnd, PermissionErrorNamesTheGroupToJoin)
{
    const std::string device = m_sim.DevicePath();
    struct stat st;
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    // Root opens anything: the child drops to nobody. Others lock themselves out.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(device.c_str(), 0), 0);
    }
    const group* g = getgrgid(st.st_gid);
    ASSERT_NE(g, nullptr);
    const std::string name = g->gr_name;

    CChildProcess process;
    ChildOptions options;
    options.asNobody = true;
    ASSERT_TRUE(process.Start(kCli, {"--port", device, "read"}, options));
    const ChildResult r = process.Finish(10000);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "Permission denied")) << r.err;
    EXPECT_TRUE(Contains(r.err, "sudo usermod -aG " + name + " $USER")) << r.err;
}

// Sleeping through the reconnect wait would take 1000 + 500 ms more.
TEST_F(CliEndToEnd, WatchStopsAtOnceOnSigint)
{
    CChildProcess process;
    ASSERT_TRUE(process.Start(kCli, {"--json", "--port", "COM3", "watch"}));
    EXPECT_TRUE(Contains(process.NextLine(5000), "\"voltage_v\": 51.23"));
    m_sim.SetFaults(SimFaults{.exceptionCode = 4});
    ASSERT_TRUE(Contains(process.NextErrorLine(5000), "Poll failed, reconnecting"));

    const auto sent = Clock::now();
    process.Signal(SIGINT);
    const ChildResult r = process.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Clock::now() - sent, 1000ms);
}

TEST_F(CliEndToEnd, WatchStopsPromptlyEvenWhileTheMeterIsSilent)
{
    m_sim.SetFaults(SimFaults{.silent = true});
    CChildProcess process;
    ASSERT_TRUE(process.Start(kCli, {"--port", "COM3", "watch"}));
    // The request is out: the client now waits up to 1.4 s for an answer.
    ASSERT_TRUE(WaitFor([&] { return m_sim.RequestCount() >= 1; }));
    const auto sent = Clock::now();
    process.Signal(SIGTERM);
    const ChildResult r = process.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Clock::now() - sent, 1000ms);  // the read alone may last 1420 ms
}

// Real pauses: after the hang-up a poll fails, 1000 ms + 500 ms, the
// reopen-less poll fails, 1000 ms + 500 ms, the third failure ends it.
TEST_F(CliEndToEnd, WatchGivesUpAfterThreeFailedPollsWhenTheMeterIsPulled)
{
    m_sim.SetPacing(true);
    CChildProcess process;
    ASSERT_TRUE(process.Start(kCli, {"--json", "--port", "COM3", "watch"}));
    ASSERT_TRUE(Contains(process.NextLine(5000), "\"energy_wh\": 12345"));
    const auto pulled = Clock::now();
    m_sim.HangUp();
    Unplug(3);
    const ChildResult r = process.Finish(15000);
    const auto took = Clock::now() - pulled;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "Poll failed, reconnecting (transport failure")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Failed to read! (the port did not reopen: 'OpenCom' failed"))
        << r.err;
    EXPECT_GE(took, 3000ms);
    EXPECT_LT(took, 4500ms);
}

TEST_F(CliEndToEnd, WatchRidesOutTwoFailuresInARow)
{
    CChildProcess process;
    ASSERT_TRUE(process.Start(kCli, {"--json", "--port", "COM3", "watch"}));
    ASSERT_TRUE(Contains(process.NextLine(5000), "12345"));
    m_sim.SetFaults(SimFaults{.exceptionCode = 4, .count = 2});
    EXPECT_TRUE(Contains(process.NextLine(8000), "12345"));  // after two reconnects
    process.Signal(SIGINT);
    const ChildResult r = process.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Failed to read!"), std::string::npos) << r.err;
}

// With --unit every command goes to the meter's own address, and a meter
// with another address does not answer.
TEST_F(CliEndToEnd, UnitAddressesEveryCommandToThatMeter)
{
    SimMeterState state = m_sim.State();
    state.address = 7;
    m_sim.SetState(state);
    m_sim.SetCalibrateMs(0);
    const struct {
        std::vector<std::string> args;
        std::string input;
    } commands[] = {
        {{"read"}, ""},
        {{"params"}, ""},
        {{"set-params", "--range", "2"}, ""},
        {{"reset-energy"}, ""},
        {{"calibrate"}, "KVRA518\n"},  // the real 3 s pause
    };
    for (const auto& c : commands) {
        std::vector<std::string> args = {"--port", "COM3", "--unit", "7"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const unsigned before = m_sim.RequestCount();
        const ChildResult r = RunCli(args, c.input);
        EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
        EXPECT_GT(m_sim.RequestCount(), before) << c.args[0];
        EXPECT_EQ(m_sim.LastRequest().at(0), 7) << c.args[0];
    }
    EXPECT_EQ(m_sim.State().currentRange, 2);
    EXPECT_EQ(m_sim.State().energy, 0u);

    CChildProcess watch;
    ASSERT_TRUE(watch.Start(kCli, {"--unit=7", "--json", "--port", "COM3", "watch"}));
    EXPECT_TRUE(Contains(watch.NextLine(5000), "\"voltage_v\": 51.23"));
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Finish(5000).status, 0);
    EXPECT_EQ(m_sim.LastRequest().at(0), 7);

    const unsigned before = m_sim.RequestCount();
    const ChildResult other = RunCli({"--port", "COM3", "--unit", "8", "read"});
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(Contains(other.err, "Failed to read! (no answer)")) << other.err;
    EXPECT_EQ(m_sim.RequestCount(), before);  // not for this meter: not even heard
}

// The whole range with the real answer limit of 100 ms, at the line's real
// pace: the meter at its own address 7 and nothing else.
TEST_F(CliEndToEnd, ScanFindsTheMeterAtItsOwnAddressInUnderFortySeconds)
{
    SimMeterState state = m_sim.State();
    state.address = 7;
    m_sim.SetState(state);
    m_sim.SetPacing(true);
    const ChildResult r = RunCli({"--port", "COM3", "scan"}, "", 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "  7  51.23 V  4.50 A  230.5 W  12345 Wh\n");
    EXPECT_EQ(r.err, "1 meter answered\n");
    EXPECT_EQ(m_sim.RequestCount(), 1u);  // asked once, and nothing went to 0xF8
    EXPECT_LT(r.elapsed, 40s);
}

// Standard input on a pty, as when a person types the password.
class CalibratePrompt : public CliEndToEnd {
protected:
    void SetUp() override
    {
        CliEndToEnd::SetUp();
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(m_slave, 0);
    }
    void TearDown() override
    {
        close(m_slave);
        close(m_master);
    }

    bool EchoOn() const
    {
        termios tio;
        return tcgetattr(m_slave, &tio) == 0 && (tio.c_lflag & ECHO) != 0;
    }

    std::string Drain() const
    {
        std::string seen;
        char buffer[256];
        pollfd pfd{m_master, POLLIN, 0};
        while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) {
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen;
    }

    int m_master = -1, m_slave = -1;
};

TEST_F(CalibratePrompt, TypedPasswordIsNotEchoedAndEchoComesBack)
{
    ASSERT_TRUE(EchoOn());
    CChildProcess process;
    ChildOptions options;
    options.stdinFd = m_slave;
    ASSERT_TRUE(process.Start(kCli, {"--port", "COM3", "calibrate"}, options));
    ASSERT_TRUE(WaitFor([&] { return !EchoOn(); }));
    ASSERT_EQ(write(m_master, "secret\n", 7), 7);
    const ChildResult r = process.Finish(5000);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Calibration password: ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Password is error!")) << r.err;
    EXPECT_FALSE(Contains(Drain(), "secret"));
    EXPECT_TRUE(EchoOn());
    EXPECT_EQ(m_sim.RequestCount(), 0u);
}

TEST_F(CalibratePrompt, CtrlCAtThePromptRestoresEcho)
{
    CChildProcess process;
    ChildOptions options;
    options.stdinFd = m_slave;
    ASSERT_TRUE(process.Start(kCli, {"--port", "COM3", "calibrate"}, options));
    ASSERT_TRUE(WaitFor([&] { return !EchoOn(); }));
    process.Signal(SIGINT);
    const ChildResult r = process.Finish(5000);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_TRUE(EchoOn());
    EXPECT_EQ(m_sim.RequestCount(), 0u);
}

}  // namespace
