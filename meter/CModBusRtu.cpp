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

int CheckMeterAnswer(const uint8_t* buffer, uint8_t expected, uint8_t received)
{
    // An exception answer is address, function | 0x80, code, CRC. It takes
    // three fresh bytes to be one, and a code of 0 is no success.
    if (received >= 3 && buffer[1] > 0x80)
        return buffer[2] != 0 ? static_cast<int>(buffer[2]) : static_cast<int>(kMeterLength);
    if (received != expected)
        return kMeterLength;
    if (!CheckCrc16(buffer, received))
        return kMeterChecksum;
    return kMeterOk;
}

unsigned CopyRegisterBlock(const uint8_t* answer, uint8_t received, uint8_t* block,
                           unsigned blockSize)
{
    // Address, function and byte count before the data, CRC after it.
    if (received < 5)
        return 0;
    const unsigned count = std::min({unsigned{answer[2]}, blockSize, received - 5u});
    std::memcpy(block, answer + 3, count);
    return count;
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

int CModBusRtu::SendRequest(const uint8_t* frame, uint8_t length)
{
    Trace(true, frame, length);
    return m_serial.Write(frame, length);
}

int CModBusRtu::ReceiveResponse(uint8_t* buffer, uint8_t expected, uint8_t* received)
{
    uint32_t got = 0;
    m_lastReceived = 0;
    if (!m_serial.Read(buffer, expected, &got))
        return kMeterTransport;
    Trace(false, buffer, got);
    m_lastReceived = got;
    *received = static_cast<uint8_t>(got);
    return CheckMeterAnswer(buffer, expected, *received);
}

int CModBusRtu::ReadRegisters(uint8_t function, uint8_t count, uint8_t* block, unsigned blockSize)
{
    // The answer is read into the request's buffer: 5 + 2 bytes a register.
    uint8_t frame[5 + 2 * 8] = {kSlaveAddress, function, 0x00, 0x00, 0x00, count};
    AppendCrc16(frame, 6);
    if (!SendRequest(frame, 8))
        return kMeterTransport;

    uint8_t received = 0;
    int result = ReceiveResponse(frame, static_cast<uint8_t>(count * 2 + 5), &received);
    if (result != kMeterOk)
        return result;
    CopyRegisterBlock(frame, received, block, blockSize);
    return kMeterOk;
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
    uint8_t frame[17] = {kSlaveAddress, kFuncWriteMultiple, 0x00, 0x00, 0x00, 0x04, 0x08};
    std::memcpy(frame + 7, parameters->bytes, sizeof parameters->bytes);
    AppendCrc16(frame, 15);
    if (!SendRequest(frame, sizeof frame))
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, 8, &received);
}

int CModBusRtu::Calibrate()
{
    uint8_t frame[6] = {kSlaveAddress, kFuncCalibrate, kCalibrateCode[0], kCalibrateCode[1]};
    AppendCrc16(frame, 4);
    const int sent = SendRequest(frame, sizeof frame);
    // The meter calibrates before it answers; the pause holds even when the
    // write failed, so a failure takes as long as a success.
    std::this_thread::sleep_for(std::chrono::milliseconds(m_calibratePauseMs));
    if (!sent)
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, sizeof frame, &received);
}

int CModBusRtu::ResetEnergy()
{
    uint8_t frame[4] = {kSlaveAddress, kFuncResetEnergy};
    AppendCrc16(frame, 2);
    if (!SendRequest(frame, sizeof frame))
        return kMeterTransport;

    uint8_t received = 0;
    return ReceiveResponse(frame, sizeof frame, &received);
}
