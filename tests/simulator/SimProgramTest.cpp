// The quorvan-meter-sim program: first line, alias, signals, arguments.
#include "CModBusRtu.h"
#include "Crc16.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    int out = -1;  // the child's stdout
};

Child Spawn(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {QUORVAN_SIM_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    return Child{pid, fds[0]};
}

// Reads the child's stdout up to the first newline (or end, or time-out).
std::string ReadLine(int fd, int timeoutMs = 5000)
{
    std::string line;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0)
            return line;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            return line;
        char c;
        if (read(fd, &c, 1) != 1 || c == '\n')
            return line;
        line += c;
    }
}

// Exit status of the child, or -1 if it did not end in time (then killed).
int Wait(pid_t pid, int timeoutMs = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    Child child = Spawn({"--com", "7", "--fixed", "--no-pacing", "--voltage", "51.23", "--current",
                         "4.5", "--energy", "12345"});
    ASSERT_GT(child.pid, 0);
    const std::string path = ReadLine(child.out);
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

    kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(child.pid), 0);
    struct stat st;
    EXPECT_NE(lstat(alias.c_str(), &st), 0);
    close(child.out);
}

TEST(SimProgram, LinkAtPathAndFaultFromTheCommandLine)
{
    TempConfig config;
    const std::string link = config.Dir() + "/meter";
    Child child =
        Spawn({"--link", link, "--no-pacing", "--fault", "exception=6", "--fault=count=1"});
    ASSERT_GT(child.pid, 0);
    const std::string path = ReadLine(child.out);
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
    kill(child.pid, SIGINT);
    EXPECT_EQ(Wait(child.pid), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    close(child.out);
}

TEST(SimProgram, ABusOfMetersFromTheCommandLine)
{
    TempConfig config;
    Child child = Spawn({"--com", "8", "--no-pacing", "--fixed", "--meter", "3,voltage=12.5",
                         "--meter", "5", "--voltage", "40"});
    ASSERT_GT(child.pid, 0);
    ReadLine(child.out);
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
    kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(child.pid), 0);
    close(child.out);
}

TEST(SimProgram, HangupFaultClosesThePty)
{
    TempConfig config;
    Child child = Spawn({"--com", "4", "--fault", "hangup=0.2"});
    ASSERT_GT(child.pid, 0);
    const std::string path = ReadLine(child.out);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u);
    const auto end = Clock::now() + std::chrono::seconds(5);
    struct stat st;
    while (stat(path.c_str(), &st) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(stat(path.c_str(), &st), 0);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(child.pid), 0);
    EXPECT_NE(lstat((config.AliasDir() + "/COM4").c_str(), &st), 0);
    close(child.out);
}

TEST(SimProgram, VersionAndBadArguments)
{
    Child child = Spawn({"--version"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(ReadLine(child.out), std::string("quorvan-meter-sim ") + QUORVAN_VERSION);
    EXPECT_EQ(Wait(child.pid), 0);
    close(child.out);

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
        Child c = Spawn(args);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(Wait(c.pid), 2) << args[0];
        EXPECT_EQ(ReadLine(c.out, 100), "") << args[0];
        close(c.out);
    }
}
