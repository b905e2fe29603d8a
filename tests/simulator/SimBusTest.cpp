// Several meters on one pty, as on an RS-485 line, driven by raw frames
// through the real CSerial behind a COMn alias.
#include "CMeterSim.h"
#include "CModBusRtu.h"
#include "Crc16.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kPort = 6;
constexpr size_t kReadingAnswer = 21;

Bytes WithCrc(Bytes frame)
{
    frame.resize(frame.size() + 2);
    AppendCrc16(frame.data(), static_cast<uint8_t>(frame.size() - 2));
    return frame;
}

Bytes ReadRequest(uint8_t address)
{
    return WithCrc({address, 0x04, 0, 0, 0, 8});
}

Bytes Concat(std::initializer_list<Bytes> frames)
{
    Bytes all;
    for (const Bytes& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

bool Eventually(const std::function<bool()>& done)
{
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The register answer starting at `at`: its address, or -1 when it is not a
// whole measurement answer with a good checksum.
int AnswerAddress(const Bytes& bytes, size_t at)
{
    if (bytes.size() < at + kReadingAnswer || bytes[at + 1] != 0x04 || bytes[at + 2] != 16 ||
        !CheckCrc16(bytes.data() + at, kReadingAnswer))
        return -1;
    return bytes[at];
}

class SimBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Three meters at 3, 5 and 7 with voltages 30.00, 50.00, 70.00 V.
        for (uint16_t address : {3, 5, 7}) {
            SimMeterState s;
            s.address = address;
            s.voltage = static_cast<uint16_t>(address * 1000);
            s.fixed = true;
            if (address == 3)
                sim.SetState(s);
            else
                sim.AddMeter(s);
        }
        sim.SetPacing(false);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        ASSERT_TRUE(sim.LinkCom(kPort, &error)) << error;
        ASSERT_EQ(bus.OpenPort(kPort, 9600), 1) << bus.Serial().LastError();
    }
    void TearDown() override
    {
        bus.Serial().Close();
        sim.Stop();
    }

    // Writes `request` and reads until `count` bytes came or the line stays
    // quiet past the port's read limits.
    Bytes Exchange(const Bytes& request, size_t count)
    {
        EXPECT_EQ(bus.Serial().Write(request.data(), static_cast<uint32_t>(request.size())), 1);
        Bytes answer(count);
        size_t got = 0;
        while (got < count) {
            uint32_t n = 0;
            if (bus.Serial().Read(answer.data() + got, static_cast<uint32_t>(count - got), &n) !=
                    1 ||
                n == 0)
                break;
            got += n;
        }
        answer.resize(got);
        return answer;
    }

    TempConfig config;
    CMeterSim sim;
    CModBusRtu bus;
};

}  // namespace

TEST_F(SimBus, EachMeterAnswersItsOwnAddressOnly)
{
    EXPECT_EQ(sim.MeterCount(), 3u);
    // Requests to 9 and 4 (nobody) between those to 3, 5 and 7: had
    // anyone answered them, the answers would not line up.
    const Bytes a = Exchange(
        Concat({ReadRequest(9), ReadRequest(3), ReadRequest(4), ReadRequest(5), ReadRequest(7)}),
        3 * kReadingAnswer);
    ASSERT_EQ(a.size(), 3 * kReadingAnswer);
    for (size_t i = 0; i < 3; ++i) {
        const int address = AnswerAddress(a, i * kReadingAnswer);
        EXPECT_EQ(address, 3 + 2 * static_cast<int>(i));
        EXPECT_EQ(RegisterWord(a.data() + i * kReadingAnswer + 3, kRegVoltage), address * 1000);
        EXPECT_TRUE(Eventually([&] { return sim.AnswerCount(address) == 1; }));
        EXPECT_EQ(sim.RequestCount(address), 1u);
    }
    EXPECT_EQ(sim.RequestCount(), 1u);  // the first meter's
    EXPECT_EQ(sim.RequestCount(9), 0u);
    EXPECT_FALSE(sim.State(9).has_value());
    EXPECT_EQ(sim.Reading(5).value().bytes[1], 5000 & 0xFF);
}

TEST_F(SimBus, GeneralAddressGetsTheAnswersGarbledIntoOne)
{
    MeterReading r{};
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterChecksum);
    EXPECT_EQ(bus.LastReceived(), kReadingAnswer);
    for (int address : {3, 5, 7})
        EXPECT_TRUE(Eventually([&] { return sim.AnswerCount(address) == 1; })) << address;
    // Meters that say exactly the same still collide.
    SimMeterState same;
    same.fixed = true;
    sim.SetState(same);
    same.address = 2;
    sim.AddMeter(same);
    EXPECT_EQ(bus.ReadMeasurements(&r), kMeterChecksum);
}

TEST_F(SimBus, FaultOnOneMeterLeavesItsNeighboursAlone)
{
    EXPECT_FALSE(sim.SetFaults(9, SimFaults{.silent = true}));
    ASSERT_TRUE(sim.SetFaults(5, SimFaults{.corruptCrc = true}));
    const Bytes all = Concat({ReadRequest(3), ReadRequest(5), ReadRequest(7)});
    Bytes a = Exchange(all, 3 * kReadingAnswer);
    ASSERT_EQ(a.size(), 3 * kReadingAnswer);
    EXPECT_EQ(AnswerAddress(a, 0), 3);
    EXPECT_EQ(AnswerAddress(a, kReadingAnswer), -1);
    EXPECT_EQ(a[kReadingAnswer], 5);
    EXPECT_EQ(AnswerAddress(a, 2 * kReadingAnswer), 7);

    ASSERT_TRUE(sim.SetFaults(5, SimFaults{.silent = true}));
    a = Exchange(all, 2 * kReadingAnswer);
    ASSERT_EQ(a.size(), 2 * kReadingAnswer);
    EXPECT_EQ(AnswerAddress(a, 0), 3);
    EXPECT_EQ(AnswerAddress(a, kReadingAnswer), 7);
    EXPECT_EQ(sim.RequestCount(5), 2u);
}

TEST_F(SimBus, ParameterWriteMovesAMeterToItsNewAddress)
{
    // Meter 3 takes address 9 (thresholds 300.00 V / 10.00 V, range 0).
    const Bytes write = WithCrc({3, 0x10, 0, 0, 0, 4, 8, 0x75, 0x30, 0x03, 0xE8, 0, 9, 0, 0});
    const Bytes echo = Exchange(write, 8);
    ASSERT_EQ(echo.size(), 8u);
    EXPECT_EQ(echo[0], 3);  // answered from where it was asked
    EXPECT_FALSE(sim.State(3).has_value());
    EXPECT_EQ(sim.State(9).value().voltage, 3000);

    Bytes a = Exchange(Concat({ReadRequest(3), ReadRequest(9)}), kReadingAnswer);
    EXPECT_EQ(AnswerAddress(a, 0), 9);

    // Moved onto meter 5's address, both answer there: a collision.
    const Bytes clash = WithCrc({9, 0x10, 0, 2, 0, 1, 2, 0, 5});
    ASSERT_EQ(Exchange(clash, 8).size(), 8u);
    a = Exchange(ReadRequest(5), kReadingAnswer);
    ASSERT_EQ(a.size(), kReadingAnswer);
    EXPECT_EQ(AnswerAddress(a, 0), -1);
}

// Real pace: two requests written at once still cross the wire one after
// the other, each followed by its answer: 2 x (8 + 21) bytes of 11 bits.
TEST_F(SimBus, RequestsTakeTheirWireTimeBeforeTheAnswers)
{
    sim.SetPacing(true);
    const auto start = Clock::now();
    const Bytes a = Exchange(Concat({ReadRequest(3), ReadRequest(5)}), 2 * kReadingAnswer);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ASSERT_EQ(a.size(), 2 * kReadingAnswer);
    EXPECT_EQ(AnswerAddress(a, kReadingAnswer), 5);
    EXPECT_GE(ms, 2 * (8 + 21) * 11 * 1000.0 / 9600 - 1);  // about 66 ms
    EXPECT_LT(ms, 500);
}
