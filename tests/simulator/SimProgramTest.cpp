// The quorvan-meter-sim program: first line, alias, signals, arguments.
#include "CChildProcess.h"
#include "CModBusRtu.h"
#include "Crc16.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The program's first line of output, without its newline; "" if none
// came within `timeoutMs`.
std::string FirstLine(CChildProcess& sim, int timeoutMs = 5000)
{
    std::string line = sim.NextLine(timeoutMs);
    if (!line.empty())
        line.pop_back();
    return line;
}

bool WaitForLink(const std::string& path, int ms = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (LinkTarget(path).empty()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(SimProgram, PrintsThePtyMakesTheAliasAndCleansUpOnSigterm)
{
    TempConfig config;  // the child inherits XDG_CONFIG_HOME
    CChildProcess sim;
    ASSERT_TRUE(sim.Start(QUORVAN_SIM_EXE, {"--com", "7", "--fixed", "--no-pacing", "--voltage",
                                            "51.23", "--current", "4.5", "--energy", "12345"}));
    const std::string path = FirstLine(sim);
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    const std::string alias = config.AliasDir() + "/COM7";
    ASSERT_TRUE(WaitForLink(alias));
    EXPECT_EQ(LinkTarget(alias), path);

    {
        CModBusRtu bus;
        ASSERT_EQ(bus.OpenPort(7, 9600), 1) << bus.Serial().LastError();
        MeterReading r{};
        ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
        const Measurement m = DecodeReading(r);
        EXPECT_EQ(m.voltage, 5123);
        EXPECT_EQ(m.current, 450);
        EXPECT_EQ(m.power, 2305u);
        EXPECT_EQ(m.energy, 12345u);
    }

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(5000).status, 0);
    struct stat st;
    EXPECT_NE(lstat(alias.c_str(), &st), 0);
}

TEST(SimProgram, LinkAtPathAndFaultFromTheCommandLine)
{
    TempConfig config;
    const std::string link = config.Dir() + "/meter";
    CChildProcess sim;
    ASSERT_TRUE(sim.Start(QUORVAN_SIM_EXE, {"--link", link, "--no-pacing", "--fault", "exception=6",
                                            "--fault=count=1"}));
    const std::string path = FirstLine(sim);
    ASSERT_TRUE(WaitForLink(link));
    EXPECT_EQ(LinkTarget(link), path);

    // CSerial opens COMn only; point COM9 at the program's link.
    ASSERT_EQ(mkdir((config.Dir() + "/quorvan-master").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(config.AliasDir().c_str(), 0755), 0);
    ASSERT_EQ(symlink(link.c_str(), (config.AliasDir() + "/COM9").c_str()), 0);
    {
        CModBusRtu bus;
        ASSERT_EQ(bus.OpenPort(9, 9600), 1) << bus.Serial().LastError();
        MeterReading r{};
        EXPECT_EQ(bus.ReadMeasurements(&r), 6);
        EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    }
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Finish(5000).status, 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(SimProgram, ABusOfMetersFromTheCommandLine)
{
    TempConfig config;
    CChildProcess sim;
    ASSERT_TRUE(sim.Start(QUORVAN_SIM_EXE, {"--com", "8", "--no-pacing", "--fixed", "--meter",
                                            "3,voltage=12.5", "--meter", "5", "--voltage", "40"}));
    FirstLine(sim);
    ASSERT_TRUE(WaitForLink(config.AliasDir() + "/COM8"));
    {
        CModBusRtu bus;
        ASSERT_EQ(bus.OpenPort(8, 9600), 1) << bus.Serial().LastError();
        for (uint8_t address : {3, 5}) {
            uint8_t frame[8] = {address, 0x04, 0, 0, 0, 8};
            AppendCrc16(frame, 6);
            ASSERT_EQ(bus.Serial().Write(frame, 8), 1);
            uint8_t answer[21];
            uint32_t got = 0;
            ASSERT_EQ(bus.Serial().Read(answer, 21, &got), 1);
            ASSERT_EQ(got, 21u);
            EXPECT_TRUE(CheckCrc16(answer, 21));
            EXPECT_EQ(answer[0], address);
            EXPECT_EQ(RegisterWord(answer + 3, kRegVoltage), address == 3 ? 1250 : 4000);
        }
        MeterReading r{};
        EXPECT_EQ(bus.ReadMeasurements(&r), kMeterChecksum);  // both answer 0xF8
    }
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(5000).status, 0);
}

TEST(SimProgram, HangupFaultClosesThePty)
{
    TempConfig config;
    CChildProcess sim;
    ASSERT_TRUE(sim.Start(QUORVAN_SIM_EXE, {"--com", "4", "--fault", "hangup=0.2"}));
    const std::string path = FirstLine(sim);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u);
    const auto end = Clock::now() + std::chrono::seconds(5);
    struct stat st;
    while (stat(path.c_str(), &st) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(stat(path.c_str(), &st), 0);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(5000).status, 0);
    EXPECT_NE(lstat((config.AliasDir() + "/COM4").c_str(), &st), 0);
}

TEST(SimProgram, VersionAndBadArguments)
{
    const ChildResult version =
        CChildProcess::Run(QUORVAN_SIM_EXE, {"--version"}, ChildOptions{}, 5000);
    EXPECT_EQ(version.out, std::string("quorvan-meter-sim ") + QUORVAN_VERSION + "\n");
    EXPECT_EQ(version.status, 0);

    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--com"},
        {"--com", "0"},
        {"--voltage", "x"},
        {"--voltage", "700"},
        {"--address", "248"},
        {"--fault", "melt"},
        {"--fault", "delay=-1"},
        {"--com", "3", "--link", "/tmp/x"},
        {"--fixed=1"},
    };
    for (const auto& args : bad) {
        const ChildResult r = CChildProcess::Run(QUORVAN_SIM_EXE, args, ChildOptions{}, 5000);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err.rfind("quorvan-meter-sim: ", 0), 0u) << args[0];  // says why
    }
}
