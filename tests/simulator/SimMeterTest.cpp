// CMeterSim on a real pty, driven by the real CModBusRtu behind a COMn alias.
#include "CMeterSim.h"
#include "CModBusRtu.h"
#include "Crc16.h"
#include "PortMap.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kPort = 5;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

Bytes WithCrc(Bytes frame)
{
    const uint16_t crc = Crc16(static_cast<uint8_t>(frame.size()), frame.data());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    return frame;
}

// Waits (bounded) until `done` holds.
template <typename Pred>
bool Eventually(Pred done, int ms = 2000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class SimMeter : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimMeterState s;
        s.voltage = 5123;
        s.current = 450;
        s.energy = 12345;
        s.fixed = true;
        sim.SetState(s);
        sim.SetPacing(false);
        sim.SetCalibrateMs(10);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        ASSERT_TRUE(sim.LinkCom(kPort, &error)) << error;
        bus.SetCalibratePauseMs(30);
        ASSERT_EQ(bus.OpenPort(kPort, 9600), 1) << bus.Serial().LastError();
    }
    void TearDown() override
    {
        bus.Serial().Close();
        sim.Stop();
    }

    // Closes and reopens the client's port, leaving the meter time to see
    // the close (it flushes what was left unread then).
    void Reopen()
    {
        bus.Serial().Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(bus.OpenPort(kPort, 9600), 1) << bus.Serial().LastError();
    }

    std::string Alias() const { return config.AliasDir() + "/COM" + std::to_string(kPort); }

    // Writes raw bytes on the client's port and reads up to `count` back.
    Bytes Exchange(const Bytes& request, uint32_t count)
    {
        EXPECT_EQ(bus.Serial().Write(request.data(), static_cast<uint32_t>(request.size())), 1);
        Bytes answer(count);
        uint32_t got = 0;
        EXPECT_EQ(bus.Serial().Read(answer.data(), count, &got), 1);
        answer.resize(got);
        return answer;
    }

    TempConfig config;  // first in, last out: the alias lives in it
    CMeterSim sim;
    CModBusRtu bus;
};

}  // namespace

TEST_F(SimMeter, AliasPointsAtThePty)
{
    EXPECT_EQ(PortAliasDir(), config.AliasDir());
    EXPECT_EQ(LinkTarget(Alias()), sim.DevicePath());
    EXPECT_EQ(sim.DevicePath().rfind("/dev/pts/", 0), 0u);
    EXPECT_TRUE(sim.Running());
}

TEST_F(SimMeter, ReadMeasurements)
{
    MeterReading r{};
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    const Measurement m = DecodeReading(r);
    EXPECT_EQ(m.voltage, 5123);
    EXPECT_EQ(m.current, 450);
    EXPECT_EQ(m.power, 2305u);
    EXPECT_EQ(m.energy, 12345u);
    EXPECT_FALSE(m.VoltageAlarm());
    EXPECT_EQ(sim.LastRequest(), (Bytes{0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5}));
    EXPECT_EQ(sim.RequestCount(), 1u);
    // Counted once its last byte is written, which may be a moment after
    // the client has it.
    EXPECT_TRUE(Eventually([&] { return sim.AnswerCount() == 1; }));
    const MeterReading direct = sim.Reading();
    EXPECT_TRUE(std::equal(r.bytes, r.bytes + 16, direct.bytes));
}

TEST_F(SimMeter, VoltageAlarms)
{
    sim.SetVoltage(320.0);
    MeterReading r{};
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    Measurement m = DecodeReading(r);
    EXPECT_EQ(m.voltage, 32000);
    EXPECT_EQ(m.alarm1, kAlarmOn);
    EXPECT_EQ(m.alarm2, 0);
    sim.SetVoltage(5.0);
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    m = DecodeReading(r);
    EXPECT_EQ(m.alarm1, 0);
    EXPECT_EQ(m.alarm2, kAlarmOn);
    EXPECT_TRUE(m.VoltageAlarm());
}

TEST_F(SimMeter, ReadAndWriteParameters)
{
    MeterParameters p{};
    ASSERT_EQ(bus.ReadParameters(&p), kMeterOk);
    Settings s = DecodeParameters(p);
    EXPECT_EQ(s.highVoltage, 30000);
    EXPECT_EQ(s.lowVoltage, 1000);
    EXPECT_EQ(s.address, 1);
    EXPECT_EQ(s.currentRange, 0);

    const MeterParameters w = EncodeParameters(Settings{30000, 25000, 1, 0});
    const uint8_t expected[8] = {0x75, 0x30, 0x61, 0xA8, 0x00, 0x01, 0x00, 0x00};
    EXPECT_TRUE(std::equal(w.bytes, w.bytes + 8, expected));
    ASSERT_EQ(bus.WriteParameters(&w), kMeterOk);
    EXPECT_EQ(sim.LastRequest().size(), 17u);
    EXPECT_EQ(sim.State().lowVoltage, 25000);

    const MeterParameters w2 = EncodeParameters(Settings{35000, 100, 247, 3});
    ASSERT_EQ(bus.WriteParameters(&w2), kMeterOk);
    ASSERT_EQ(bus.ReadParameters(&p), kMeterOk);
    s = DecodeParameters(p);
    EXPECT_EQ(s.highVoltage, 35000);
    EXPECT_EQ(s.lowVoltage, 100);
    EXPECT_EQ(s.address, 247);
    EXPECT_EQ(s.currentRange, 3);
}

TEST_F(SimMeter, RefusedParametersGiveException3)
{
    const Settings bad[] = {{35001, 1000, 1, 0},
                            {30000, 99, 1, 0},
                            {30000, 1000, 0, 0},
                            {30000, 1000, 248, 0},
                            {30000, 1000, 1, 4}};
    for (const Settings& s : bad) {
        const MeterParameters p = EncodeParameters(s);
        EXPECT_EQ(bus.WriteParameters(&p), 3);
    }
    const SimMeterState now = sim.State();
    EXPECT_EQ(now.highVoltage, 30000);
    EXPECT_EQ(now.lowVoltage, 1000);
    EXPECT_EQ(now.address, 1);
    EXPECT_EQ(now.currentRange, 0);
}

TEST_F(SimMeter, ResetEnergy)
{
    ASSERT_EQ(bus.ResetEnergy(), kMeterOk);
    EXPECT_EQ(sim.LastRequest(), (Bytes{0xF8, 0x42, 0xC2, 0x41}));
    EXPECT_EQ(sim.State().energy, 0u);
    MeterReading r{};
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    EXPECT_EQ(DecodeReading(r).energy, 0u);
}

TEST_F(SimMeter, CalibrateEchoesAfterTheCalibrationTime)
{
    sim.SetCalibrateMs(150);
    bus.SetCalibratePauseMs(10);  // the answer comes during the read
    const auto start = Clock::now();
    EXPECT_EQ(bus.Calibrate(), kMeterOk);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_EQ(sim.LastRequest(), (Bytes{0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78}));
}

TEST_F(SimMeter, StoredAddressIsAnsweredOthersAreNot)
{
    // A frame to address 9 then one to the stored address 1 in one write:
    // only the second is answered.
    Bytes both = WithCrc({9, 0x04, 0, 0, 0, 8});
    const Bytes mine = WithCrc({1, 0x04, 0, 0, 0, 2});
    both.insert(both.end(), mine.begin(), mine.end());
    const Bytes answer = Exchange(both, 9);
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(answer[0], 1);
    EXPECT_EQ(RegisterWord(answer.data() + 3, 0), 5123);
    EXPECT_TRUE(CheckCrc16(answer.data(), 9));
    EXPECT_EQ(sim.RequestCount(), 1u);
}

TEST_F(SimMeter, ExceptionsOnTheWire)
{
    Bytes a = Exchange(WithCrc({0xF8, 0x07}), 5);  // unknown function
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[1], 0x87);
    EXPECT_EQ(a[2], 1);
    a = Exchange(WithCrc({0xF8, 0x04, 0, 6, 0, 3}), 5);  // beyond register 7
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[1], 0x84);
    EXPECT_EQ(a[2], 2);
}

TEST_F(SimMeter, ResyncsAfterNoiseAndDropsAnIncompleteFrame)
{
    // Noise and a frame with a bad checksum in front of a good request.
    Bytes stream = {0x00, 0xFF, 0xF8, 0x04, 0x13};
    Bytes bad = WithCrc({0xF8, 0x03, 0, 0, 0, 4});
    bad.back() ^= 0x01;
    stream.insert(stream.end(), bad.begin(), bad.end());
    const Bytes good = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5};
    stream.insert(stream.end(), good.begin(), good.end());
    Bytes a = Exchange(stream, 21);
    ASSERT_EQ(a.size(), 21u);
    EXPECT_TRUE(CheckCrc16(a.data(), 21));

    // Half a request, then silence longer than the frame gap: thrown away.
    ASSERT_EQ(bus.Serial().Write(good.data(), 4), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSimFrameGapMs * 3));
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    EXPECT_EQ(sim.RequestCount(), 2u);
}

TEST_F(SimMeter, LiveValuesWanderAndEnergyCounts)
{
    SimMeterState s;
    s.voltage = 60000;  // 600 V x 600 A = 360 kW: 100 Wh a second
    s.current = 60000;
    s.highVoltage = 65535;
    s.energy = 1000;
    s.fixed = false;
    sim.SetState(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MeterReading r{};
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    const Measurement m = DecodeReading(r);
    EXPECT_GT(m.energy, 1010u);
    EXPECT_LT(m.energy, 1200u);
    EXPECT_NEAR(m.voltage, 60000, 3000);
    EXPECT_NEAR(m.current, 60000, 9000);
    bool moved = false;
    for (int i = 0; i < 20 && !moved; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const SimMeterState now = sim.State();
        moved = now.voltage != m.voltage || now.current != m.current;
    }
    EXPECT_TRUE(moved);

    // Fixed: everything holds still, energy too.
    s.fixed = true;
    sim.SetState(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sim.State().energy, 1000u);
    EXPECT_EQ(sim.State().voltage, 60000);
}

// ------------------------------------------------------------------ faults

TEST_F(SimMeter, SilentGivesWrongLengthAfterTheReadTimeouts)
{
    SimFaults f;
    f.silent = true;
    f.count = 1;
    sim.SetFaults(f);
    MeterReading r{};
    const auto start = Clock::now();
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_GE(MsSince(start), 1000 + 20 * 21 - 5);
    EXPECT_EQ(sim.RequestCount(), 1u);
    EXPECT_EQ(sim.AnswerCount(), 0u);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);  // count=1: cleared
}

TEST_F(SimMeter, SilentMeterDoesNotCarryOutTheRequest)
{
    SimFaults f;
    f.silent = true;
    sim.SetFaults(f);
    sim.SetState([] {
        SimMeterState s;
        s.energy = 77;
        s.fixed = true;
        return s;
    }());
    EXPECT_EQ(bus.ResetEnergy(), kMeterLength);
    EXPECT_EQ(sim.State().energy, 77u);
}

TEST_F(SimMeter, DelayedAnswerWithinTheTimeLimit)
{
    SimFaults f;
    f.delayMs = 120;
    sim.SetFaults(f);
    MeterReading r{};
    const auto start = Clock::now();
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    EXPECT_GE(MsSince(start), 120);
}

TEST_F(SimMeter, AnswerLaterThanTheReadTimeLimitIsMissed)
{
    SimFaults f;
    f.delayMs = 1000 + 20 * 13 + 200;  // past the parameter read's limit
    f.count = 1;
    sim.SetFaults(f);
    MeterParameters p{};
    EXPECT_EQ(bus.ReadParameters(&p), kMeterLength);
    EXPECT_EQ(bus.LastReceived(), 0u);
    EXPECT_EQ(sim.State().address, 1);
    // The late answer lands in the port's queue; a fresh open starts empty.
    ASSERT_TRUE(Eventually([&] { return sim.AnswerCount() == 1; }));
    Reopen();
    EXPECT_EQ(bus.ReadParameters(&p), kMeterOk);
    // A count of 0 means no fault at all.
    f.silent = true;
    f.count = 0;
    sim.SetFaults(f);
    EXPECT_EQ(bus.ReadParameters(&p), kMeterOk);
}

TEST_F(SimMeter, TruncatedAnswerGivesWrongLength)
{
    SimFaults f;
    f.truncateTo = 3;
    sim.SetFaults(f);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_EQ(bus.LastReceived(), 3u);
    MeterParameters p{};
    EXPECT_EQ(bus.ReadParameters(&p), kMeterLength);
    const MeterParameters w = EncodeParameters(Settings{30000, 25000, 1, 0});
    EXPECT_EQ(bus.WriteParameters(&w), kMeterLength);
    EXPECT_EQ(bus.ResetEnergy(), kMeterLength);
    EXPECT_EQ(bus.Calibrate(), kMeterLength);
}

TEST_F(SimMeter, CorruptChecksum)
{
    SimFaults f;
    f.corruptCrc = true;
    f.count = 4;
    sim.SetFaults(f);
    MeterReading r{};
    MeterParameters p{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterChecksum);
    EXPECT_EQ(bus.ReadParameters(&p), kMeterChecksum);
    EXPECT_EQ(bus.ResetEnergy(), kMeterChecksum);
    EXPECT_EQ(bus.Calibrate(), kMeterChecksum);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);  // the four are used up
}

TEST_F(SimMeter, ExceptionFaultOnEveryCommand)
{
    SimFaults f;
    f.exceptionCode = 4;
    sim.SetFaults(f);
    MeterReading r{};
    MeterParameters p{};
    EXPECT_EQ(bus.ReadMeasurements(&r), 4);
    EXPECT_EQ(bus.ReadParameters(&p), 4);
    const MeterParameters w = EncodeParameters(Settings{30000, 25000, 9, 1});
    EXPECT_EQ(bus.WriteParameters(&w), 4);
    EXPECT_EQ(bus.Calibrate(), 4);
    // The 5-byte exception answer is one byte longer than the 4 that
    // ResetEnergy reads: the last byte stays behind, so it goes last.
    EXPECT_EQ(bus.ResetEnergy(), 4);
    // Nothing was carried out.
    EXPECT_EQ(sim.State().energy, 12345u);
    EXPECT_EQ(sim.State().address, 1);
    Reopen();
    f.exceptionCode = 0xAB;
    sim.SetFaults(f);
    EXPECT_EQ(bus.ReadMeasurements(&r), 0xAB);
}

TEST_F(SimMeter, GarbageInsteadOfTheAnswer)
{
    SimFaults f;
    f.garbageBytes = 21;
    f.count = 1;
    sim.SetFaults(f);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterChecksum);  // right length, wrong checksum
    f.garbageBytes = 7;
    sim.SetFaults(f);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_EQ(bus.LastReceived(), 7u);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
}

// (A pause well under 20 ms passes unnoticed; that is not tested here, as
// it would hang on the scheduler's mood on a loaded machine.)
TEST_F(SimMeter, SplitAnswerWithALongPauseIsAShortRead)
{
    SimFaults f;
    f.splitPauseMs = 80;
    f.count = 1;
    sim.SetFaults(f);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_EQ(bus.LastReceived(), 10u);
    // The second half arrives later; a port opened afresh does not see it.
    ASSERT_TRUE(Eventually([&] { return sim.AnswerCount() == 1; }));
    Reopen();
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    EXPECT_EQ(DecodeReading(r).voltage, 5123);
}

TEST_F(SimMeter, AnswersSentToAClosedPortAreLost)
{
    SimFaults f;
    f.delayMs = 100;
    f.count = 1;
    sim.SetFaults(f);
    const Bytes request = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5};
    ASSERT_EQ(bus.Serial().Write(request.data(), 8), 1);
    bus.Serial().Close();  // gone before the answer comes
    ASSERT_TRUE(Eventually([&] { return sim.AnswerCount() == 1; }));
    ASSERT_EQ(bus.OpenPort(kPort, 9600), 1);
    MeterParameters p{};
    EXPECT_EQ(bus.ReadParameters(&p), kMeterOk);  // not the stale 21 bytes
}

// ------------------------------------------------------------ line settings

TEST_F(SimMeter, IgnoresAnotherBaudRate)
{
    bus.Serial().Close();
    ASSERT_EQ(bus.OpenPort(kPort, 19200), 1);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_EQ(sim.IgnoredForLineSettings(), 1u);
    EXPECT_EQ(sim.RequestCount(), 1u);
    EXPECT_EQ(sim.AnswerCount(), 0u);
}

TEST_F(SimMeter, IgnoresOneStopBit)
{
    // The termios is the pty's, shared by every descriptor on it; set 8N1
    // through a second one, as another program on the line could. That one
    // opens first: once the client holds the port exclusively (TIOCEXCL)
    // only root could open it again.
    bus.Serial().Close();
    const int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bus.OpenPort(kPort, 9600), 1) << bus.Serial().LastError();
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    tio.c_cflag &= ~CSTOPB;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    close(fd);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterLength);
    EXPECT_EQ(sim.IgnoredForLineSettings(), 1u);
    EXPECT_EQ(sim.AnswerCount(), 0u);
    // Back to 9600 8N2: heard again.
    bus.Serial().Close();
    ASSERT_EQ(bus.OpenPort(kPort, 9600), 1);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
}

// Parity and data bits other than 8 cannot be tested on a pty: its driver
// forces CS8 and drops PARENB (glibc's tcsetattr then fails with EINVAL).

// ---------------------------------------------------------- hang-up, links

TEST_F(SimMeter, HangUpThenReplugBehindTheSameAlias)
{
    const std::string first = sim.DevicePath();
    sim.HangUp();
    EXPECT_FALSE(sim.Running());
    EXPECT_TRUE(sim.DevicePath().empty());
    EXPECT_FALSE(Exists(first));

    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterTransport);
    EXPECT_NE(bus.Serial().LastError().find("Input/output error"), std::string::npos)
        << bus.Serial().LastError();
    bus.Serial().Close();
    struct stat st;
    EXPECT_NE(lstat(Alias().c_str(), &st), 0);  // gone with the device, never left dangling
    EXPECT_EQ(bus.OpenPort(kPort, 9600), 0);

    std::string error;
    ASSERT_TRUE(sim.Replug(&error)) << error;
    EXPECT_TRUE(sim.Running());
    EXPECT_EQ(LinkTarget(Alias()), sim.DevicePath());
    ASSERT_EQ(bus.OpenPort(kPort, 9600), 1) << bus.Serial().LastError();
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    EXPECT_EQ(DecodeReading(r).voltage, 5123);
}

TEST_F(SimMeter, HangUpMidRead)
{
    SimFaults f;
    f.silent = true;
    sim.SetFaults(f);
    std::thread puller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim.HangUp();
    });
    MeterReading r{};
    const auto start = Clock::now();
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterTransport);
    EXPECT_LT(MsSince(start), 900);  // at once, not after the time-outs
    puller.join();
}

TEST_F(SimMeter, StopRemovesTheLinkAndIsPrompt)
{
    const std::string other = config.Dir() + "/meter-link";
    std::string error;
    ASSERT_TRUE(sim.LinkAt(other, &error)) << error;
    EXPECT_EQ(LinkTarget(other), sim.DevicePath());

    sim.SetCalibrateMs(10000);  // the meter is busy calibrating when stopped
    const Bytes calibrate = {0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78};
    ASSERT_EQ(bus.Serial().Write(calibrate.data(), 6), 1);
    ASSERT_TRUE(Eventually([&] { return sim.RequestCount() == 1; }));
    const auto start = Clock::now();
    sim.Stop();
    EXPECT_LT(MsSince(start), 500);
    EXPECT_FALSE(Exists(Alias()));
    struct stat st;
    EXPECT_NE(lstat(other.c_str(), &st), 0);
    EXPECT_FALSE(sim.Running());
    sim.Stop();  // twice is fine
}

TEST_F(SimMeter, LinkRefusesToReplaceAFile)
{
    const std::string path = config.Dir() + "/plain-file";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    std::string error;
    EXPECT_FALSE(sim.LinkAt(path, &error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(sim.LinkCom(0, &error));
}

TEST_F(SimMeter, IdleAfterTheClientClosesCostsNoCpu)
{
    bus.Serial().Close();
    timespec a, b;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    const double cpuMs = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 30.0);
    ASSERT_EQ(bus.OpenPort(kPort, 9600), 1);
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterOk);
}

TEST(SimMeterStandalone, StartTwiceAndLinkBeforeStart)
{
    TempConfig config;
    CMeterSim sim;
    std::string error;
    EXPECT_FALSE(sim.LinkCom(3, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(sim.Start(&error)) << error;
    EXPECT_FALSE(sim.Start(&error));
    sim.Stop();
    EXPECT_TRUE(sim.DevicePath().empty());
}

// The one test at the real line pace: the 8-byte request, then the 21-byte
// answer, at 11 bits / 9600 baud.
TEST_F(SimMeter, PacingAtTheLineRate)
{
    sim.SetPacing(true);
    MeterReading r{};
    const auto start = Clock::now();
    ASSERT_EQ(bus.ReadMeasurements(&r), kMeterOk);
    const double ms = MsSince(start);
    EXPECT_GE(ms, (8 + 21) * 11 * 1000.0 / 9600 - 1);  // about 33 ms
    EXPECT_LT(ms, 300);
}
