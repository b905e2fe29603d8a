// The simulator's pure protocol functions: frame lengths and answers.
#include "Crc16.h"
#include "MeterBlocks.h"
#include "SimProtocol.h"
#include "SimRegisters.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithCrc(Bytes frame)
{
    const uint16_t crc = Crc16(static_cast<uint8_t>(frame.size()), frame.data());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    return frame;
}

int Length(const Bytes& bytes)
{
    return SimFrameLength(bytes.data(), bytes.size());
}

Bytes Answer(SimMeterState& state, const Bytes& request)
{
    return SimAnswer(state, request.data(), request.size());
}

SimMeterState Meter()
{
    SimMeterState s;
    s.voltage = 5123;
    s.current = 450;
    s.energy = 0x00012345;
    s.fixed = true;
    return s;
}

}  // namespace

TEST(SimFrameLength, FixedLengthRequests)
{
    const Bytes read = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5};
    EXPECT_EQ(Length(read), 8);
    for (size_t n = 0; n < read.size(); ++n)
        EXPECT_EQ(SimFrameLength(read.data(), n), 0) << n;
    EXPECT_EQ(Length(WithCrc({0xF8, 0x03, 0, 0, 0, 4})), 8);
    EXPECT_EQ(Length(WithCrc({0xF8, 0x42})), 4);
    EXPECT_EQ(Length(WithCrc({0xF8, 0x41, 0x37, 0x21})), 6);
    // Extra bytes behind a frame do not change its length.
    Bytes two = read;
    two.insert(two.end(), read.begin(), read.end());
    EXPECT_EQ(Length(two), 8);
}

TEST(SimFrameLength, WriteMultipleUsesByteCount)
{
    Bytes write = WithCrc({0xF8, 0x10, 0, 0, 0, 4, 8, 0x75, 0x30, 0x61, 0xA8, 0, 1, 0, 0});
    EXPECT_EQ(write.size(), 17u);
    EXPECT_EQ(Length(write), 17);
    EXPECT_EQ(SimFrameLength(write.data(), 6), 0);  // byte count not there yet
    EXPECT_EQ(SimFrameLength(write.data(), 7), 0);  // known, still short
    EXPECT_EQ(SimFrameLength(write.data(), 16), 0);
}

TEST(SimFrameLength, BytesThatCannotStartAFrame)
{
    EXPECT_EQ(Length({0xF9}), -1);
    EXPECT_EQ(Length({0xFF, 0x04}), -1);
    EXPECT_EQ(Length({0xF8}), 0);
    EXPECT_EQ(Length({0xF8, 0x00}), -1);
    EXPECT_EQ(Length({0xF8, 0x84}), -1);
    EXPECT_EQ(Length({}), 0);
}

TEST(SimFrameLength, UnknownFunctionEndsWhereTheChecksumHolds)
{
    const Bytes frame = WithCrc({0xF8, 0x2B, 0x0E, 0x01, 0x00});
    EXPECT_EQ(Length(frame), 7);
    EXPECT_EQ(SimFrameLength(frame.data(), 6), 0);
    Bytes noise(255, 0x55);
    noise[0] = 0xF8;
    noise[1] = 0x2B;
    ASSERT_FALSE(CheckCrc16(noise.data(), 4));
    EXPECT_EQ(Length(noise), -1);
}

TEST(SimAnswer, MeasurementBlock)
{
    SimMeterState s = Meter();
    s.energy = 12345;
    const Bytes answer = Answer(s, {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5});
    ASSERT_EQ(answer.size(), 21u);
    EXPECT_TRUE(CheckCrc16(answer.data(), 21));
    EXPECT_EQ(answer[0], 0xF8);
    EXPECT_EQ(answer[1], 0x04);
    EXPECT_EQ(answer[2], 16);
    MeterReading r;
    std::copy(answer.begin() + 3, answer.begin() + 19, r.bytes);
    const Measurement m = DecodeReading(r);
    EXPECT_EQ(m.voltage, 5123);
    EXPECT_EQ(m.current, 450);
    EXPECT_EQ(m.power, 2305u);  // 51.23 V x 4.50 A = 230.535 W
    EXPECT_EQ(m.energy, 12345u);
    EXPECT_EQ(m.alarm1, 0);
    EXPECT_EQ(m.alarm2, 0);
}

TEST(SimAnswer, PowerAndEnergySpanTwoRegistersLowWordFirst)
{
    SimMeterState s = Meter();
    s.voltage = 60000;
    s.current = 60000;  // 600 V x 600 A = 360 kW = 3600000 x 0.1 W
    s.highVoltage = 65535;
    s.energy = 0x00010010;
    const Bytes answer = Answer(s, WithCrc({0xF8, 0x04, 0, 2, 0, 4}));
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_EQ(RegisterPair(answer.data() + 3, 0), 3600000u);
    EXPECT_EQ(RegisterWord(answer.data() + 3, 2), 0x0010);
    EXPECT_EQ(RegisterWord(answer.data() + 3, 3), 0x0001);
    EXPECT_EQ(SimPower(5123, 450), 2305u);
    EXPECT_EQ(SimPower(5125, 450), 2306u);  // 230.625 W rounds up
}

TEST(SimAnswer, AlarmWords)
{
    SimMeterState s = Meter();
    s.highVoltage = 5000;
    uint16_t regs[8];
    SimInputRegisters(s, regs);
    EXPECT_EQ(regs[kRegAlarm1], kAlarmOn);
    EXPECT_EQ(regs[kRegAlarm2], 0);
    s.highVoltage = 5123;  // at the threshold: no alarm
    SimInputRegisters(s, regs);
    EXPECT_EQ(regs[kRegAlarm1], 0);
    s.lowVoltage = 6000;
    SimInputRegisters(s, regs);
    EXPECT_EQ(regs[kRegAlarm2], kAlarmOn);
}

TEST(SimAnswer, AnyRangeInsideTheBlocks)
{
    SimMeterState s = Meter();
    Bytes a = Answer(s, WithCrc({0xF8, 0x04, 0, 7, 0, 1}));
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[2], 2);
    a = Answer(s, WithCrc({0xF8, 0x03, 0, 2, 0, 2}));
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(RegisterWord(a.data() + 3, 0), 1);  // address
    EXPECT_EQ(RegisterWord(a.data() + 3, 1), 0);  // range
    a = Answer(s, WithCrc({0xF8, 0x03, 0, 0, 0, 4}));
    ASSERT_EQ(a.size(), 13u);
    EXPECT_EQ(RegisterWord(a.data() + 3, 0), 30000);
    EXPECT_EQ(RegisterWord(a.data() + 3, 1), 1000);
}

TEST(SimAnswer, Exceptions)
{
    SimMeterState s = Meter();
    auto expectException = [&](const Bytes& request, uint8_t code) {
        const Bytes a = Answer(s, request);
        ASSERT_EQ(a.size(), 5u);
        EXPECT_EQ(a[0], request[0]);
        EXPECT_EQ(a[1], request[1] | 0x80);
        EXPECT_EQ(a[2], code);
        EXPECT_TRUE(CheckCrc16(a.data(), 5));
    };
    expectException(WithCrc({0xF8, 0x04, 0, 7, 0, 2}), 2);  // beyond register 7
    expectException(WithCrc({0xF8, 0x04, 0, 8, 0, 1}), 2);
    expectException(WithCrc({0xF8, 0x03, 0, 0, 0, 5}), 2);  // beyond register 3
    expectException(WithCrc({0xF8, 0x03, 0, 0, 0, 0}), 3);  // count 0
    expectException(WithCrc({0xF8, 0x04, 0, 0, 0, 126}), 3);
    expectException(WithCrc({0xF8, 0x06, 0, 0, 0, 1}), 1);  // write single: unknown here
    expectException(WithCrc({0xF8, 0x2B, 0x0E}), 1);
    expectException(WithCrc({0xF8, 0x41, 0x12, 0x34}), 3);  // wrong access code
    expectException(WithCrc({0xF8, 0x10, 0, 3, 0, 2, 4, 0, 1, 0, 1}), 2);
    expectException(WithCrc({0xF8, 0x10, 0, 0, 0, 1, 4, 0, 1, 0, 1}), 3);  // byte count
}

TEST(SimAnswer, WriteParametersValidatesEveryValue)
{
    const SimMeterState before = Meter();
    auto write = [&](uint16_t high, uint16_t low, uint16_t address, uint16_t range,
                     SimMeterState& s) {
        const MeterParameters p = EncodeParameters(Settings{high, low, address, range});
        Bytes request = {0xF8, 0x10, 0, 0, 0, 4, 8};
        request.insert(request.end(), p.bytes, p.bytes + 8);
        return Answer(s, WithCrc(request));
    };
    const struct {
        uint16_t high, low, address, range;
        bool ok;
    } cases[] = {
        {30000, 25000, 1, 0, true},  {35000, 100, 247, 3, true},    {35001, 100, 1, 0, false},
        {99, 100, 1, 0, false},      {30000, 99, 1, 0, false},      {30000, 35001, 1, 0, false},
        {30000, 25000, 0, 0, false}, {30000, 25000, 248, 0, false}, {30000, 25000, 1, 4, false},
    };
    for (const auto& c : cases) {
        SimMeterState s = before;
        const Bytes a = write(c.high, c.low, c.address, c.range, s);
        if (c.ok) {
            ASSERT_EQ(a.size(), 8u);
            EXPECT_EQ(Bytes(a.begin(), a.begin() + 6), (Bytes{0xF8, 0x10, 0, 0, 0, 4}));
            EXPECT_TRUE(CheckCrc16(a.data(), 8));
            EXPECT_EQ(s.highVoltage, c.high);
            EXPECT_EQ(s.lowVoltage, c.low);
            EXPECT_EQ(s.address, c.address);
            EXPECT_EQ(s.currentRange, c.range);
        } else {
            ASSERT_EQ(a.size(), 5u) << c.high << " " << c.low << " " << c.address << " " << c.range;
            EXPECT_EQ(a[1], 0x90);
            EXPECT_EQ(a[2], 3);
            EXPECT_EQ(s.highVoltage, before.highVoltage);
            EXPECT_EQ(s.address, before.address);
        }
    }
}

TEST(SimAnswer, WriteOneRegister)
{
    SimMeterState s = Meter();
    const Bytes a = Answer(s, WithCrc({0xF8, 0x10, 0, 2, 0, 1, 2, 0, 17}));
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(s.address, 17);
    EXPECT_EQ(s.highVoltage, 30000);
}

TEST(SimAnswer, ResetAndCalibrateEchoTheRequest)
{
    SimMeterState s = Meter();
    const Bytes reset = {0xF8, 0x42, 0xC2, 0x41};
    EXPECT_EQ(Answer(s, reset), reset);
    EXPECT_EQ(s.energy, 0u);
    const Bytes calibrate = {0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78};
    EXPECT_EQ(Answer(s, calibrate), calibrate);
}

TEST(SimAnswer, Addressing)
{
    SimMeterState s = Meter();
    s.address = 17;
    EXPECT_TRUE(Answer(s, WithCrc({5, 0x04, 0, 0, 0, 8})).empty());
    EXPECT_TRUE(Answer(s, WithCrc({0, 0x42})).empty());  // broadcast: never answered
    EXPECT_EQ(s.energy, 0x00012345u);
    const Bytes a = Answer(s, WithCrc({17, 0x04, 0, 0, 0, 8}));
    ASSERT_EQ(a.size(), 21u);
    EXPECT_EQ(a[0], 17);
    const Bytes e = Answer(s, WithCrc({17, 0x07}));
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0], 17);
    EXPECT_EQ(e[2], 1);
    EXPECT_TRUE(Answer(s, {0xF8, 0x42}).empty());  // too short to be a frame
}

TEST(SimOverlap, ADrivenZeroWinsAndTheLongerAnswerRunsOn)
{
    const Bytes a = {0xF8, 0x04, 0xF0, 0x0F, 0xAA};
    const Bytes b = {0xF8, 0x84, 0x3C, 0xFF, 0x55, 0x12, 0x34};
    EXPECT_EQ(SimOverlap({a, b}), (Bytes{0xF8, 0x04, 0x30, 0x0F, 0x00, 0x12, 0x34}));
    EXPECT_EQ(SimOverlap({b}), b);
    EXPECT_TRUE(SimOverlap({}).empty());
}

TEST(SimOverlap, IdenticalAnswersStillFailTheChecksum)
{
    SimMeterState s = Meter();
    const Bytes one = Answer(s, WithCrc({0xF8, 0x04, 0, 0, 0, 8}));
    ASSERT_TRUE(CheckCrc16(one.data(), static_cast<uint8_t>(one.size())));
    for (size_t meters : {2, 3}) {
        const Bytes line = SimOverlap(std::vector<Bytes>(meters, one));
        ASSERT_EQ(line.size(), one.size());
        EXPECT_FALSE(CheckCrc16(line.data(), static_cast<uint8_t>(line.size())));
        size_t bitsDiffering = 0;
        for (size_t i = 0; i < line.size(); ++i)
            bitsDiffering += static_cast<size_t>(__builtin_popcount(line[i] ^ one[i]));
        EXPECT_EQ(bitsDiffering, 1u);  // only a 1 pulled to 0
    }
}
