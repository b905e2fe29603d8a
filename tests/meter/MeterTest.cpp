#include "CModBusRtu.h"
#include "Crc16.h"
#include "PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Bit by bit, as the checksum is defined; the tables must agree with it.
uint16_t ReferenceCrc(const Bytes& data)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes WithCrc(Bytes frame)
{
    uint16_t crc = ReferenceCrc(frame);
    frame.push_back(crc & 0xFF);  // low byte first on the wire
    frame.push_back(crc >> 8);
    return frame;
}

TEST(Crc16, TablesAgreeWithTheBitwiseDefinition)
{
    const Bytes inputs[] = {{},
                            {0x00},
                            {0xFF},
                            {'1', '2', '3', '4', '5', '6', '7', '8', '9'},
                            {0xF8, 0x04, 0x00, 0x00, 0x00, 0x08},
                            Bytes(19, 0xA5)};
    for (const Bytes& in : inputs) {
        uint16_t standard = ReferenceCrc(in);
        uint16_t swapped = static_cast<uint16_t>(standard << 8 | standard >> 8);
        EXPECT_EQ(Crc16(static_cast<uint8_t>(in.size()), in.data()), swapped);
    }
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(9, check), 0x374B);  // CRC-16/MODBUS check value 0x4B37, bytes exchanged
    EXPECT_EQ(kCrcHiTable[0xFF], 0x40);
    EXPECT_EQ(kCrcLoTable[0xFF], 0x40);
}

// A meter on the far end of a pty that answers one request with `answer`.
class ScriptedMeter : public ::testing::Test {
protected:
    ScriptedMeter() : m_peer(3) {}

    void SetUp() override { ASSERT_EQ(m_link.OpenPort(3, 9600), 1) << m_link.Serial().LastError(); }

    // Runs `command` while the far end reads the request and sends `answer`
    // (nothing when empty). Returns the command's result.
    int Run(const std::function<int(CModBusRtu&)>& command, const Bytes& answer,
            unsigned requestLength)
    {
        std::thread meter([&] {
            m_request = m_peer.Receive(requestLength, 2000);
            if (!answer.empty())
                m_peer.Send(answer);
        });
        int result = command(m_link);
        meter.join();
        return result;
    }

    int ReadMeasurements(const Bytes& answer)
    {
        return Run([this](CModBusRtu& link) { return link.ReadMeasurements(&m_reading); }, answer,
                   8);
    }

    PtyPeer m_peer;
    CModBusRtu m_link;
    Bytes m_request;
    MeterReading m_reading{};
};

Bytes MeasurementAnswer()
{
    Bytes frame = {0xF8, 0x04, 0x10};
    const uint16_t regs[8] = {5123, 450, 0x0010, 0x0001, 12345, 0, 0xFFFF, 0};
    for (uint16_t r : regs) {
        frame.push_back(r >> 8);
        frame.push_back(r & 0xFF);
    }
    return WithCrc(frame);
}

TEST_F(ScriptedMeter, RequestFramesAreExact)
{
    // One byte of answer ends each exchange after the 20 ms gap.
    const Bytes blip = {0x00};
    ReadMeasurements(blip);
    EXPECT_EQ(m_request, (Bytes{0xF8, 0x04, 0x00, 0x00, 0x00, 0x08, 0xE5, 0xA5}));

    MeterParameters params{};
    Run([&](CModBusRtu& link) { return link.ReadParameters(&params); }, blip, 8);
    EXPECT_EQ(m_request, (Bytes{0xF8, 0x03, 0x00, 0x00, 0x00, 0x04, 0x50, 0x60}));

    Run([](CModBusRtu& link) { return link.ResetEnergy(); }, blip, 4);
    EXPECT_EQ(m_request, (Bytes{0xF8, 0x42, 0xC2, 0x41}));

    m_link.SetCalibratePauseMs(0);
    Run([](CModBusRtu& link) { return link.Calibrate(); }, blip, 6);
    EXPECT_EQ(m_request, (Bytes{0xF8, 0x41, 0x37, 0x21, 0xB7, 0x78}));

    // 300.00 V, 250.00 V, address 1, range 0.
    params = EncodeParameters(Settings{30000, 25000, 1, 0});
    Run([&](CModBusRtu& link) { return link.WriteParameters(&params); }, blip, 17);
    EXPECT_EQ(m_request, WithCrc({0xF8, 0x10, 0x00, 0x00, 0x00, 0x04, 0x08, 0x75, 0x30, 0x61, 0xA8,
                                  0x00, 0x01, 0x00, 0x00}));
}

TEST_F(ScriptedMeter, GoodMeasurementDecodesLowWordFirst)
{
    ASSERT_EQ(ReadMeasurements(MeasurementAnswer()), kMeterOk);
    Measurement m = DecodeReading(m_reading);
    EXPECT_EQ(m.voltage, 5123);
    EXPECT_EQ(m.current, 450);
    EXPECT_EQ(m.power, 65536u + 16u);  // register 3 is the high word
    EXPECT_EQ(m.energy, 12345u);
    EXPECT_TRUE(m.VoltageAlarm());
    EXPECT_EQ(m_link.LastReceived(), 21u);
}

TEST_F(ScriptedMeter, AnswerCheckResults)
{
    Bytes swapped = MeasurementAnswer();
    std::swap(swapped[19], swapped[20]);
    Bytes shortAnswer = MeasurementAnswer();
    shortAnswer.pop_back();

    const struct {
        const char* what;
        Bytes answer;
        int result;
    } cases[] = {
        {"exception 2, no length or checksum complaint", WithCrc({0xF8, 0x84, 0x02}), 2},
        {"exception code is taken without checking its CRC", {0xF8, 0x84, 0x07, 0x00, 0x00}, 7},
        {"exception answer with code 0 is no success", WithCrc({0xF8, 0x84, 0x00}), kMeterLength},
        {"two bytes are no exception answer", {0xF8, 0x84}, kMeterLength},
        {"function byte 0x80 is no exception", WithCrc({0xF8, 0x80, 0x05}), kMeterLength},
        {"checksum bytes swapped", swapped, kMeterChecksum},
        {"one byte short", shortAnswer, kMeterLength},
    };
    for (const auto& c : cases) {
        std::memset(m_reading.bytes, 0x5A, sizeof m_reading.bytes);
        EXPECT_EQ(ReadMeasurements(c.answer), c.result) << c.what;
        // Nothing is copied unless the whole answer is good.
        EXPECT_EQ(m_reading.bytes[0], 0x5A) << c.what;
        EXPECT_EQ(m_reading.bytes[15], 0x5A) << c.what;
    }
}

// The real read time-outs: 21 bytes asked, nothing comes, 20 x 21 + 1000 ms.
TEST_F(ScriptedMeter, NoAnswerIsWrongLengthAfterTheTimeouts)
{
    auto start = Clock::now();
    EXPECT_EQ(ReadMeasurements({}), kMeterLength);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 1420);
    EXPECT_EQ(m_link.LastReceived(), 0u);
}

// An answer of the right length with a good checksum whose byte count is
// not the block's size is no reading: -2, and the caller's block keeps what
// it held (it once came back as success with zeros or stale bytes).
TEST_F(ScriptedMeter, ByteCountOtherThanTheBlockIsALengthFailure)
{
    for (uint8_t count : {0x00, 0x06, 0x0A, 0xFF}) {
        Bytes frame = {0xF8, 0x03, count};
        for (int i = 0; i < 8; ++i)
            frame.push_back(static_cast<uint8_t>(i + 1));
        struct {
            MeterParameters p;
            uint8_t guard[8];
        } guarded;
        std::memset(&guarded, 0xEE, sizeof guarded);
        EXPECT_EQ(Run([&](CModBusRtu& link) { return link.ReadParameters(&guarded.p); },
                      WithCrc(frame), 8),
                  kMeterLength)
            << "byte count " << int{count};
        for (uint8_t b : guarded.p.bytes)
            EXPECT_EQ(b, 0xEE) << "byte count " << int{count};
    }
    Bytes reading = {0xF8, 0x04, 0x00};
    reading.resize(19, 0x12);
    m_reading.bytes[0] = 0x77;
    EXPECT_EQ(ReadMeasurements(WithCrc(reading)), kMeterLength);
    EXPECT_EQ(m_reading.bytes[0], 0x77);
}

// Several meters on one line: a request to a meter's own address takes only
// that meter's answer; at 0xF8 a lone meter may answer with its own address.
TEST_F(ScriptedMeter, OwnAddressWantsTheAnswerFromThatMeter)
{
    Bytes answer = MeasurementAnswer();
    EXPECT_EQ(ReadMeasurements(answer), kMeterOk);  // 0xF8: address byte not compared

    m_link.SetSlaveAddress(5);
    answer[0] = 5;
    answer = WithCrc(Bytes(answer.begin(), answer.end() - 2));
    EXPECT_EQ(ReadMeasurements(answer), kMeterOk);
    EXPECT_EQ(m_request[0], 5);

    Bytes other = answer;  // meter 6 answering
    other[0] = 6;
    EXPECT_EQ(ReadMeasurements(WithCrc(Bytes(other.begin(), other.end() - 2))), kMeterLength);
    Bytes wrongFunction = answer;
    wrongFunction[1] = 0x03;
    EXPECT_EQ(ReadMeasurements(WithCrc(Bytes(wrongFunction.begin(), wrongFunction.end() - 2))),
              kMeterLength);
    EXPECT_EQ(ReadMeasurements(WithCrc({5, 0x84, 0x02})), 2);
    EXPECT_EQ(ReadMeasurements(WithCrc({6, 0x84, 0x02})), kMeterLength);
    // Our own request reflected by the line (a half-duplex adapter's echo).
    EXPECT_EQ(ReadMeasurements(WithCrc({5, 0x04, 0x00, 0x00, 0x00, 0x08})), kMeterLength);
}

TEST(FrameGap, ThreePointFiveCharactersOfSilence)
{
    EXPECT_EQ(FrameGapMicros(9600, 11), 4011u);  // 8N2
    EXPECT_EQ(FrameGapMicros(9600, 10), 3646u);  // 8N1
    EXPECT_EQ(FrameGapMicros(19200, 11), 2006u);
    EXPECT_EQ(FrameGapMicros(38400, 11), 1750u);  // fixed above 19200
}

// Back-to-back requests keep the line silent for the gap in between.
TEST_F(ScriptedMeter, RequestsKeepTheFrameGap)
{
    std::vector<Clock::time_point> arrivals;
    std::thread meter([&] {
        for (int i = 0; i < 3; ++i) {
            m_peer.Receive(8, 2000);
            arrivals.push_back(Clock::now());
            m_peer.Send(MeasurementAnswer());
        }
    });
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m_link.ReadMeasurements(&m_reading), kMeterOk);
    meter.join();
    ASSERT_EQ(arrivals.size(), 3u);
    for (int i = 1; i < 3; ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::microseconds(4011));
}

TEST_F(ScriptedMeter, WriteAndOneByteCommandsCheckTheirAnswers)
{
    MeterParameters params = EncodeParameters(Settings{30000, 25000, 1, 0});
    auto write = [&](CModBusRtu& link) { return link.WriteParameters(&params); };
    EXPECT_EQ(Run(write, WithCrc({0xF8, 0x10, 0x00, 0x00, 0x00, 0x04}), 17), kMeterOk);
    EXPECT_EQ(Run(write, WithCrc({0xF8, 0x90, 0x03}), 17), 3);
    EXPECT_EQ(Run(write, {0xF8, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00}, 17), kMeterChecksum);

    auto reset = [](CModBusRtu& link) { return link.ResetEnergy(); };
    EXPECT_EQ(Run(reset, {0xF8, 0x42, 0xC2, 0x41}, 4), kMeterOk);
    EXPECT_EQ(Run(reset, {0xF8, 0x42, 0xC2}, 4), kMeterLength);
}

TEST(MeterTransport, ClosedPortIsATransportFailure)
{
    CModBusRtu link;
    MeterReading reading{};
    EXPECT_EQ(link.ReadMeasurements(&reading), kMeterTransport);
    EXPECT_EQ(link.ResetEnergy(), kMeterTransport);
}

// The real pause: a calibration takes 3 s even when nothing can be sent.
TEST(MeterTransport, CalibrateWaitsEvenWhenTheWriteFails)
{
    CModBusRtu link;
    auto start = Clock::now();
    EXPECT_EQ(link.Calibrate(), kMeterTransport);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              3000);
}

TEST(MeterResult, TextsNameTheResult)
{
    char text[64];
    EXPECT_STREQ(MeterResultText(kMeterChecksum, text, sizeof text), "checksum mismatch");
    EXPECT_STREQ(MeterResultText(2, text, sizeof text), "exception code 2 (illegal data address)");
    EXPECT_STREQ(MeterResultText(200, text, sizeof text), "exception code 200");
}

}  // namespace
