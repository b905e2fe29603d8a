#include "CSerial.h"
#include "PortMap.h"
#include "PtyPeer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

// A port set up as the meter link sets it up: 9600 8N2.
void MeterSettings(CSerial& port, int number)
{
    port.m_nPort = number;
    port.m_dwBaudRate = 9600;
    port.m_byStopBits = 2;
}

TEST(SerialOpen, MissingDeviceFailsClosedWithOpenComText)
{
    PtyPeer peer(3);  // gives a private alias folder; COM7 has no alias
    CSerial port;
    port.m_nPort = 7;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError(),
              "'OpenCom' failed with the following error: No such file or directory");

    port.m_nPort = 0;  // no such port number at all
    EXPECT_EQ(port.Open(), 0);
    EXPECT_NE(port.LastError().find("'OpenCom'"), std::string::npos);
}

TEST(SerialOpen, SecondOpenReplacesTheHandleAndCloseIsIdempotent)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    const int before = OpenDescriptors();
    ASSERT_EQ(port.Open(), 1) << port.LastError();
    ASSERT_EQ(port.Open(), 1) << port.LastError();
    EXPECT_EQ(OpenDescriptors(), before + 1);
    port.Close();
    port.Close();
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialOpen, LineSettingsReachTheDevice)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1) << port.LastError();

    termios tio{};
    ASSERT_TRUE(peer.LineSettings(&tio));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));

    // The tty remembers the last settings; one stop bit must really be one.
    port.m_byStopBits = 0;
    ASSERT_EQ(port.Open(), 1) << port.LastError();
    ASSERT_TRUE(peer.LineSettings(&tio));
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
}

// A late answer to an earlier exchange, or bytes an earlier program left
// unread, must not be taken as the answer to the next request.
TEST(SerialOpen, StartsWithAnEmptyInputQueue)
{
    PtyPeer peer(3);
    peer.Send({0xF8, 0x04, 0x10, 0x01, 0x02});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the tty's queue
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1) << port.LastError();
    peer.Send({0xAB});
    uint8_t buf[8];
    uint32_t got = 0;
    ASSERT_EQ(port.Read(buf, 8, &got), 1);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0xAB);
}

TEST(SerialOpen, UnsupportedSettingsFailWithSetCommState)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    port.m_dwBaudRate = 12345;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError(), "'SetCommState' failed with the following error: Invalid argument");

    port.m_dwBaudRate = 9600;
    port.m_byDataBits = 9;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_NE(port.LastError().find("'SetCommState'"), std::string::npos);
}

TEST(SerialOpen, NotATerminalIsRefused)
{
    PtyPeer peer(3);
    std::string file = PortAliasDir() + "/plain-file";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    std::string alias = PortAliasDir() + "/COM9";
    ASSERT_EQ(symlink(file.c_str(), alias.c_str()), 0);

    // Another program trying the same file at the same moment (two users
    // mistyping /dev/null) must not turn the answer into "busy".
    int other = open(file.c_str(), O_RDONLY);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    CSerial port;
    MeterSettings(port, 9);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(port.LastError(),
              "'SetCommState' failed with the following error: Inappropriate ioctl for device");
    close(other);
}

// Root ignores TIOCEXCL, so the lock that must hold is the flock.
TEST(SerialOpen, PortIsExclusiveUntilClosed)
{
    PtyPeer peer(3);
    CSerial first, second;
    MeterSettings(first, 3);
    MeterSettings(second, 3);
    ASSERT_EQ(first.Open(), 1);
    EXPECT_EQ(second.Open(), 0);
    EXPECT_EQ(second.LastError(),
              "'OpenCom' failed with the following error: Device or resource busy");

    int other = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {  // another program (as root) gets the device but not the lock
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }

    first.Close();
    EXPECT_EQ(second.Open(), 1) << second.LastError();
}

TEST(SerialRead, ShortReadReturnsWhatCameAndKeepsTheRest)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);

    peer.Send({1, 2, 3, 4, 5});
    uint8_t buf[32];
    uint32_t got = 99;
    auto start = Clock::now();
    ASSERT_EQ(port.Read(buf, 21, &got), 1);
    EXPECT_LT(ElapsedMs(start), 500);  // ended by the 20 ms gap, not the total limit
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(port.LastError(), "Only 5 byte<s> received, but 21 requested.");
    EXPECT_EQ(port.LastErrno(), 0);

    // A short read purges nothing: later bytes come with the next read.
    peer.Send({6, 7});
    ASSERT_EQ(port.Read(buf, 2, &got), 1);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 6);
    EXPECT_EQ(buf[1], 7);
}

TEST(SerialRead, BytesSplitByShortPausesStayOneRead)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    std::thread sender([&] {
        for (uint8_t i = 0; i < 4; ++i) {
            peer.Send({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint8_t buf[8];
    uint32_t got = 0;
    ASSERT_EQ(port.Read(buf, 4, &got), 1);
    sender.join();
    EXPECT_EQ(got, 4u);
}

// The real time-outs: nothing at all ends after 20 ms x count + 1000 ms.
TEST(SerialRead, SilenceEndsAfterTheTotalTimeout)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    uint8_t buf[21];
    uint32_t got = 99;
    auto start = Clock::now();
    ASSERT_EQ(port.Read(buf, 21, &got), 1);
    long took = ElapsedMs(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 1420);
    EXPECT_LT(took, 1700);
    EXPECT_EQ(port.LastError(), "Only 0 byte<s> received, but 21 requested.");
}

TEST(SerialRead, CountIsCappedAt1024)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    peer.Send(std::vector<uint8_t>(1100, 0x55));
    std::vector<uint8_t> buf(2000);
    uint32_t got = 0;
    ASSERT_EQ(port.Read(buf.data(), 2000, &got), 1);
    EXPECT_EQ(got, 1024u);
    ASSERT_EQ(port.Read(buf.data(), 2000, &got), 1);
    EXPECT_EQ(got, 76u);
}

TEST(SerialRead, HangUpFailsAtOnceWithAnIoError)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    std::thread puller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.HangUp();
    });
    uint8_t buf[21];
    uint32_t got = 0;
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, 21, &got), 0);
    puller.join();
    EXPECT_LT(ElapsedMs(start), 600);
    EXPECT_EQ(port.LastError(), "'ReadFile' failed with the following error: Input/output error");

    // Every later transfer fails the same way, at once, and so does reopening.
    start = Clock::now();
    EXPECT_EQ(port.Read(buf, 21, &got), 0);
    EXPECT_EQ(port.Write(buf, 8), 0);
    EXPECT_NE(port.LastError().find("'WriteFile'"), std::string::npos);
    EXPECT_LT(ElapsedMs(start), 200);
    port.Close();
    EXPECT_EQ(port.Open(), 0);
}

// A stop request ends an unanswered read at once, with the errno beside the
// text, and leaves the port lock free for Close(); every transfer fails
// while it stays raised, and works again once it is reset.
TEST(SerialRead, StopTokenEndsATransferAtOnce)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1) << port.LastError();
    CStopToken stop;
    port.SetCancel(&stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.Raise();
    });
    const auto start = Clock::now();
    uint8_t buf[21];
    uint32_t got = 0;
    EXPECT_EQ(port.Read(buf, 21, &got), 0);
    EXPECT_LT(ElapsedMs(start), 1000);
    stopper.join();
    EXPECT_EQ(port.LastErrno(), ECANCELED);
    EXPECT_EQ(port.LastError(), "'ReadFile' failed with the following error: Operation canceled");
    EXPECT_EQ(port.Write(buf, 8), 0);  // still raised: every transfer fails
    EXPECT_EQ(port.LastErrno(), ECANCELED);
    const auto again = Clock::now();
    EXPECT_EQ(port.Read(buf, 21, &got), 0);
    EXPECT_LT(ElapsedMs(again), 100);

    stop.Reset();
    const uint8_t request[2] = {0x11, 0x22};
    EXPECT_EQ(port.Write(request, 2), 1) << port.LastError();
    EXPECT_EQ(peer.Receive(2, 1000), (std::vector<uint8_t>{0x11, 0x22}));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialRead, ClosedPortFailsWithReadFile)
{
    CSerial port;
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_EQ(port.Read(buf, 4, &got), 0);
    EXPECT_EQ(port.LastError(), "'ReadFile' failed with the following error: Bad file descriptor");
    EXPECT_EQ(port.Write(buf, 4), 0);
    EXPECT_EQ(port.LastError(), "'WriteFile' failed with the following error: Bad file descriptor");
}

// Nobody drains the line: the write blocks until the 2000 ms outer wait,
// fails, purges both directions and leaves the port usable.
TEST(SerialWrite, StuckWriteTimesOutPurgesAndFreesTheLock)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    std::vector<uint8_t> block(1024, 0xAA);
    int result = 1;
    long took = 0;
    for (int i = 0; i < 512 && result == 1; ++i) {
        auto start = Clock::now();
        result = port.Write(block.data(), 1024);
        took = ElapsedMs(start);
    }
    ASSERT_EQ(result, 0) << "the pty never filled up";
    EXPECT_GE(took, 2000);
    EXPECT_LT(took, 2500);
    EXPECT_EQ(port.LastError(),
              "The time-out interval elapsed, and the object's state is nonsignaled.");

    // The purge threw away what was queued: the far end finds nothing waiting
    // once it has drained what the kernel had already passed on.
    peer.Receive(1u << 20, 50);
    peer.Send({0x42});
    uint8_t buf[4];
    uint32_t got = 0;
    ASSERT_EQ(port.Read(buf, 1, &got), 1);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(port.Write(buf, 1), 1);
}

TEST(SerialClose, WaitsForTheTransferInProgress)
{
    PtyPeer peer(3);
    CSerial port;
    MeterSettings(port, 3);
    ASSERT_EQ(port.Open(), 1);
    int result = -1;
    uint32_t got = 0;
    uint8_t buf[4];
    std::thread reader([&] { result = port.Read(buf, 4, &got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    port.Close();
    long waited = ElapsedMs(start);
    reader.join();
    EXPECT_EQ(result, 1);  // the read finished on its own time-out
    EXPECT_GE(waited, 900);
    EXPECT_FALSE(port.IsOpen());
}

TEST(PortMap, FixedTableAndAliases)
{
    PtyPeer peer(3);  // private alias folder with COM3
    EXPECT_EQ(ComPortPath(1), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortPath(4), "/dev/ttyUSB3");
    EXPECT_EQ(ComPortPath(5), "/dev/ttyACM0");
    EXPECT_EQ(ComPortPath(8), "/dev/ttyACM3");
    EXPECT_EQ(ComPortPath(9), "/dev/ttyS0");
    EXPECT_EQ(ComPortPath(12), "/dev/ttyS3");
    EXPECT_EQ(ComPortPath(13), "/dev/ttyUSB12");
    EXPECT_EQ(ComPortPath(0), "");
    EXPECT_EQ(ComPortPath(3), PortAliasDir() + "/COM3");
    EXPECT_EQ(ComPortLabel(3), "COM3 (" + peer.SlavePath() + ")");
    EXPECT_EQ(ComPortLabel(2), "COM2 (/dev/ttyUSB1)");
    const std::string loop = PortAliasDir() + "/COM5";
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    EXPECT_EQ(ComPortLabel(5), "COM5 (" + loop + ")");
}

TEST(PortMap, AliasFolderFollowsXdgConfigHome)
{
    PtyPeer peer(3);
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_CONFIG_HOME", "/somewhere", 1);
    EXPECT_EQ(PortAliasDir(), "/somewhere/quorvan-master/ports");
    setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    setenv("HOME", "/home/op", 1);
    EXPECT_EQ(PortAliasDir(), "/home/op/.config/quorvan-master/ports");
    setenv("HOME", home.c_str(), 1);
}

TEST(PortMap, ParsesPortNames)
{
    const struct {
        const char* text;
        int port;
    } cases[] = {{"COM1", 1},           {"com12", 12},       {"Com255", 255},
                 {"COM0", 0},           {"COM-1", 0},        {"COM", 0},
                 {"COM256", 0},         {"COM01", 0},        {"COM1x", 0},
                 {"COM99999999999", 0}, {"/dev/ttyUSB0", 0}, {"", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(ParseComPortName(c.text), c.port) << c.text;
}

}  // namespace
