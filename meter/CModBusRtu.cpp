#include "CModBusRtu.h"

#include "Crc16.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

const char* MeterResultText(int result, char* text, unsigned size)
{
    static const char* const exceptionNames[] = {nullptr, "illegal function",
                                                 "illegal data address", "illegal data value",
                                                 "server device failure"};
    switch (result) {
        case kMeterOk: std::snprintf(text, size, "success"); break;
        case kMeterTransport: std::snprintf(text, size, "transport failure"); break;
        case kMeterLength: std::snprintf(text, size, "wrong answer length"); break;
        case kMeterChecksum: std::snprintf(text, size, "checksum mismatch"); break;
        default:
            if (result >= 1 && result <= 4)
                std::snprintf(text, size, "exception code %d (%s)", result, exceptionNames[result]);
            else if (result > 4 && result <= 255)
                std::snprintf(text, size, "exception code %d", result);
            else
                std::snprintf(text, size, "result %d", result);
    }
    return text;
}

int CheckMeterAnswer(const uint8_t* buffer, uint8_t expected, uint8_t received, uint8_t address,
                     uint8_t function)
{
    // Only a request to one meter's own address knows who must answer.
    const bool own = address != CModBusRtu::kSlaveAddress;
    // An exception answer is address, function | 0x80, code, CRC. It takes
    // three fresh bytes to be one, and a code of 0 is no success.
    if (received >= 3 && buffer[1] > 0x80) {
        if (own && (buffer[0] != address || buffer[1] != (function | 0x80)))
            return kMeterLength;
        return buffer[2] != 0 ? static_cast<int>(buffer[2]) : static_cast<int>(kMeterLength);
    }
    if (received != expected)
        return kMeterLength;
    if (!CheckCrc16(buffer, received))
        return kMeterChecksum;
    if (own && (buffer[0] != address || buffer[1] != function))
        return kMeterLength;
    return kMeterOk;
}

bool CopyRegisterBlock(const uint8_t* answer, uint8_t received, uint8_t* block, unsigned blockSize)
{
    // Address, function and byte count before the data, CRC after it.
    if (received != blockSize + 5 || answer[2] != blockSize)
        return false;
    std::memcpy(block, answer + 3, blockSize);
    return true;
}

unsigned FrameGapMicros(uint32_t baud, unsigned bitsPerChar)
{
    if (baud > 19200 || baud == 0)
        return 1750;
    // 3.5 characters = 7 half characters; rounded up.
    const uint64_t halfBits = 7ull * bitsPerChar;
    return static_cast<unsigned>((halfBits * 1000000ull + 2ull * baud - 1) / (2ull * baud));
}

// An exception, or a register answer of any size, from `address` to a
// read with `function`, checksum good.
static bool IsWholeRegisterAnswer(const uint8_t* a, uint8_t n, uint8_t address, uint8_t function)
{
    if (n < 5 || a[0] != address || (a[1] & 0x7F) != function)
        return false;
    const unsigned length = (a[1] & 0x80) != 0 ? 5u : a[2] + 5u;
    return n == length && CheckCrc16(a, n);
}

CModBusRtu::CModBusRtu() = default;

CModBusRtu::~CModBusRtu()
{
    m_serial.Close();
}

int CModBusRtu::OpenPort(uint8_t port, uint16_t baudRate)
{
    m_serial.m_nPort = port;
    m_serial.m_dwBaudRate = baudRate;
    m_serial.m_bParityCheck = 0;
    m_serial.m_byParity = 0;
    m_serial.m_byDataBits = 8;
    m_serial.m_byStopBits = 2;
    m_serial.m_bOverlapped = 1;
    m_serial.m_bDsrSensitivity = 0;
    m_serial.m_bCtsOutFlow = 0;
    m_serial.m_bDsrOutFlow = 0;
    m_serial.m_dwLineControl = 0;
    m_serial.m_bBinary = 1;
    m_serial.m_chEof = 10;
    return m_serial.Open();
}

void CModBusRtu::Trace(bool sent, const uint8_t* bytes, unsigned count) const
{
    if (m_trace != nullptr)
        m_trace(m_traceContext, sent, bytes, count);
}

std::chrono::microseconds CModBusRtu::FrameGap() const
{
    // Start, data, parity, stop bits of one character as the port is set.
    const unsigned bits = 1u + m_serial.m_byDataBits + (m_serial.m_byParity != 0 ? 1u : 0u) +
                          (m_serial.m_byStopBits != 0 ? 2u : 1u);
    return std::chrono::microseconds(FrameGapMicros(m_serial.m_dwBaudRate, bits));
}

void CModBusRtu::WaitFrameGap() const
{
    std::this_thread::sleep_until(m_lastTraffic + FrameGap());
}

void CModBusRtu::Pause(unsigned ms) const
{
    // A cancelled port cuts the pause short; the read after it then fails.
    m_serial.PauseUnlessCancelled(static_cast<int>(ms));
}

int CModBusRtu::SendRequest(const uint8_t* frame, uint8_t length)
{
    m_wholeFrame = false;
    WaitFrameGap();
    Trace(true, frame, length);
    const int sent = m_serial.Write(frame, length);
    m_lastTraffic = Clock::now();
    return sent;
}

int CModBusRtu::ReceiveResponse(uint8_t* buffer, uint8_t expected, uint8_t* received)
{
    // The answer overwrites the request; keep what it must match.
    const uint8_t address = buffer[0];
    const uint8_t function = buffer[1];
    uint32_t got = 0;
    m_lastReceived = 0;
    const int read = m_serial.Read(buffer, expected, &got);
    m_lastTraffic = Clock::now();
    if (!read)
        return kMeterTransport;
    Trace(false, buffer, got);
    m_lastReceived = got;
    *received = static_cast<uint8_t>(got);
    return CheckMeterAnswer(buffer, expected, *received, address, function);
}

int CModBusRtu::ReadRegisters(uint8_t function, uint8_t count, uint8_t* block, unsigned blockSize)
{
    // The answer is read into the request's buffer: 5 + 2 bytes a register.
    uint8_t frame[5 + 2 * 8] = {m_address, function, 0x00, 0x00, 0x00, count};
    AppendCrc16(frame, 6);
    if (!SendRequest(frame, 8))
        return kMeterTransport;

    uint8_t received = 0;
    int result = ReceiveResponse(frame, static_cast<uint8_t>(count * 2 + 5), &received);
    // A good answer was checked whole already; only a refused one is looked at again.
    m_wholeFrame =
        result == kMeterOk ||
        (result != kMeterTransport && IsWholeRegisterAnswer(frame, received, m_address, function));
    if (result != kMeterOk)
        return result;
    // A checked frame whose byte count is not the block's (a meter that
    // answers with fewer registers, or another's answer) is no reading.
    return CopyRegisterBlock(frame, received, block, blockSize) ? kMeterOk : kMeterLength;
}

int CModBusRtu::ReadMeasurements(MeterReading* reading)
{
    return ReadRegisters(kFuncReadInput, 8, reading->bytes, sizeof reading->bytes);
}

int CModBusRtu::ReadParameters(MeterParameters* parameters)
{
    return ReadRegisters(kFuncReadHolding, 4, parameters->bytes, sizeof parameters->bytes);
}

int CModBusRtu::WriteParameters(const MeterParameters* parameters)
{
    uint8_t frame[17] = {m_address, kFuncWriteMultiple, 0x00, 0x00, 0x00, 0x04, 0x08};
    std::memcpy(frame + 7, parameters->bytes, sizeof parameters->bytes);
    AppendCrc16(frame, 15);
    if (!SendRequest(frame, sizeof frame))
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, 8, &received);
}

int CModBusRtu::Calibrate()
{
    uint8_t frame[6] = {m_address, kFuncCalibrate, kCalibrateCode[0], kCalibrateCode[1]};
    AppendCrc16(frame, 4);
    const int sent = SendRequest(frame, sizeof frame);
    // The meter calibrates before it answers; the pause holds even when the
    // write failed, so a failure takes as long as a success.
    Pause(m_calibratePauseMs);
    if (!sent)
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, sizeof frame, &received);
}

int CModBusRtu::ResetEnergy()
{
    uint8_t frame[4] = {m_address, kFuncResetEnergy};
    AppendCrc16(frame, 2);
    if (!SendRequest(frame, sizeof frame))
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, sizeof frame, &received);
}
