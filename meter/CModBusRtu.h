// Master side of the meter's Modbus-RTU subset.
//
// Every request goes to slave address 0xF8 at 8N2 on the caller's port and
// baud rate. Each command is one request and one answer of a known length,
// built in a fixed buffer on the stack. Callers open the port with OpenPort,
// run commands, and close it with Serial().Close().
//
// Result codes (kMeter* below): 0 success; -1 transport failure (the port's
// Write or Read returned 0); -2 answer length differs from the expected
// one; -3 checksum mismatch; 1..255 exception code sent by the meter.
#pragma once

#include "CSerial.h"
#include "MeterBlocks.h"

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
// then the length, then the checksum. Reads no byte of `buffer` at or past
// `received`.
int CheckMeterAnswer(const uint8_t* buffer, uint8_t expected, uint8_t received);

// Copies the data bytes of a register answer: as many as its byte-count
// field says, but no more than `blockSize` and no more than the answer holds
// before its checksum. Returns the number copied.
unsigned CopyRegisterBlock(const uint8_t* answer, uint8_t received, uint8_t* block,
                           unsigned blockSize);

class CModBusRtu {
public:
    CModBusRtu();
    virtual ~CModBusRtu();

    CModBusRtu(const CModBusRtu&) = delete;
    CModBusRtu& operator=(const CModBusRtu&) = delete;

    // 1 if the port is open with the meter's line settings, else 0.
    int OpenPort(uint8_t port, uint16_t baudRate);

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

    // Bytes the last answer check received (diagnostic only).
    unsigned LastReceived() const { return m_lastReceived; }

    // Optional tracing of every frame on the wire; called on the thread
    // running the command. `sent` is true for requests.
    using TraceFn = void (*)(void* context, bool sent, const uint8_t* bytes, unsigned count);
    void SetTrace(TraceFn fn, void* context)
    {
        m_trace = fn;
        m_traceContext = context;
    }

    // The calibrate command's pause; tests may shorten it.
    void SetCalibratePauseMs(unsigned ms) { m_calibratePauseMs = ms; }
    unsigned CalibratePauseMs() const { return m_calibratePauseMs; }

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
    int SendRequest(const uint8_t* frame, uint8_t length);
    int ReadRegisters(uint8_t function, uint8_t count, uint8_t* block, unsigned blockSize);
    void Trace(bool sent, const uint8_t* bytes, unsigned count) const;

    CSerial m_serial;
    unsigned m_lastReceived = 0;
    unsigned m_calibratePauseMs = kCalibratePauseDefaultMs;
    TraceFn m_trace = nullptr;
    void* m_traceContext = nullptr;
};
