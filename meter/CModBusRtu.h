// Master side of the meter's Modbus-RTU subset.
//
// Requests go at 8N2 on the caller's port and baud rate to the general
// address 0xF8, which a meter answers whatever its own address is, or to one
// meter's own address (SetSlaveAddress) when several share a line. Each
// command is one request and one answer of a known length, built in a fixed
// buffer on the stack. Callers open the port with OpenPort, run commands, and
// close it with Serial().Close().
//
// Every request is preceded by at least 3.5 character times of silence since
// the last traffic on the line (4.0 ms at 9600 8N2), the RTU frame gap.
//
// Result codes (kMeter* below): 0 success; -1 transport failure (the port's
// Write or Read returned 0); -2 answer length differs from the expected
// one; -3 checksum mismatch; 1..255 exception code sent by the meter.
#pragma once

#include "CSerial.h"
#include "MeterBlocks.h"

#include <chrono>
#include <cstdint>

enum MeterResult : int {
    kMeterOk = 0,
    kMeterTransport = -1,
    kMeterLength = -2,
    kMeterChecksum = -3,
};

// A sentence for any result code, e.g. "exception code 2 (illegal data address)".
// Writes into `text` (at least 64 bytes) and returns it.
const char* MeterResultText(int result, char* text, unsigned size);

// The answer check on the bytes a read delivered: an exception answer (at
// least 3 bytes, function byte above 0x80) gives its code, or -2 for code 0;
// then the length, then the checksum. A request to a meter's own `address`
// also wants the answer's address and function bytes to be the request's
// (function | 0x80 for an exception), so another meter's answer is -2; at the
// general address 0xF8 a lone meter may answer with its own address, and
// those bytes are not compared. Reads no byte of `buffer` at or past
// `received`.
int CheckMeterAnswer(const uint8_t* buffer, uint8_t expected, uint8_t received,
                     uint8_t address = 0xF8, uint8_t function = 0);

// Copies the data bytes of a checked register answer into `block`, but only
// when the answer is exactly one block: its byte-count field equals
// `blockSize` and `received` is blockSize + 5. Returns false, and leaves
// `block` untouched, otherwise: a short block is a wrong length, never a
// reading with zeros or stale bytes in it.
bool CopyRegisterBlock(const uint8_t* answer, uint8_t received, uint8_t* block, unsigned blockSize);

// The silence a request needs in front of it: 3.5 character times at `baud`
// with `bitsPerChar` bits a character (start, data, parity, stop), rounded
// up to whole microseconds; above 19200 baud a fixed 1750 us.
unsigned FrameGapMicros(uint32_t baud, unsigned bitsPerChar);

class CModBusRtu {
public:
    CModBusRtu();
    virtual ~CModBusRtu();

    CModBusRtu(const CModBusRtu&) = delete;
    CModBusRtu& operator=(const CModBusRtu&) = delete;

    // 1 if the port is open with the meter's line settings, else 0.
    int OpenPort(uint8_t port, uint16_t baudRate);

    // Where requests go: 0xF8 (the default) or a meter's own address 1..247.
    void SetSlaveAddress(uint8_t address) { m_address = address; }

    int ReadMeasurements(MeterReading* reading);
    int ReadParameters(MeterParameters* parameters);
    int WriteParameters(const MeterParameters* parameters);
    // Sends the command, waits CalibratePauseMs(), then reads the answer.
    int Calibrate();
    int ResetEnergy();

    // Shared answer check: reads `expected` bytes into `buffer` (which holds
    // the request just sent) and validates them. *received gets the low byte
    // of the count read.
    int ReceiveResponse(uint8_t* buffer, uint8_t expected, uint8_t* received);

    CSerial& Serial() { return m_serial; }
    const CSerial& Serial() const { return m_serial; }

    // Bytes the last answer check received (diagnostic only).
    unsigned LastReceived() const { return m_lastReceived; }
    // Whether the last register read's answer was one whole frame from the
    // meter asked, with a good checksum: an exception, or registers of any
    // count. False after any other command.
    bool LastAnswerWasWholeFrame() const { return m_wholeFrame; }

    // The 3.5-character silence each request waits for, at the port's
    // settings.
    std::chrono::microseconds FrameGap() const;

    // Optional tracing of every frame on the wire; called on the thread
    // running the command. `sent` is true for requests.
    using TraceFn = void (*)(void* context, bool sent, const uint8_t* bytes, unsigned count);
    void SetTrace(TraceFn fn, void* context)
    {
        m_trace = fn;
        m_traceContext = context;
    }

    // The longest wait for an answer in ms (CSerial::m_dwReadTotalLimitMs);
    // 0, the default, is the meter's own limit (20 ms a byte + 1000 ms).
    void SetAnswerLimitMs(uint32_t ms) { m_serial.m_dwReadTotalLimitMs = ms; }

    // The calibrate command's pause; tests may shorten it.
    void SetCalibratePauseMs(unsigned ms) { m_calibratePauseMs = ms; }
    unsigned CalibratePauseMs() const { return m_calibratePauseMs; }

    // The general address: every meter answers it, whatever its own address.
    static constexpr uint8_t kSlaveAddress = 0xF8;
    static constexpr uint8_t kFuncReadHolding = 0x03;
    static constexpr uint8_t kFuncReadInput = 0x04;
    static constexpr uint8_t kFuncWriteMultiple = 0x10;
    static constexpr uint8_t kFuncCalibrate = 0x41;
    static constexpr uint8_t kFuncResetEnergy = 0x42;
    // The calibrate command's access code, sent as these two bytes.
    static constexpr uint8_t kCalibrateCode[2] = {0x37, 0x21};
    static constexpr unsigned kCalibratePauseDefaultMs = 3000;

private:
    using Clock = std::chrono::steady_clock;

    int SendRequest(const uint8_t* frame, uint8_t length);
    int ReadRegisters(uint8_t function, uint8_t count, uint8_t* block, unsigned blockSize);
    void Trace(bool sent, const uint8_t* bytes, unsigned count) const;
    void WaitFrameGap() const;
    void Pause(unsigned ms) const;

    CSerial m_serial;
    uint8_t m_address = kSlaveAddress;
    Clock::time_point m_lastTraffic{};  // end of the last read or write
    unsigned m_lastReceived = 0;
    bool m_wholeFrame = false;
    unsigned m_calibratePauseMs = kCalibratePauseDefaultMs;
    TraceFn m_trace = nullptr;
    void* m_traceContext = nullptr;
};
