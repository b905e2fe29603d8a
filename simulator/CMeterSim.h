// A simulated meter on a pseudo-terminal.
//
// It answers as the meter does: slave address 0xF8 (and its own stored
// address), input registers 0-7, holding registers 0-3, functions 0x03,
// 0x04, 0x10, 0x41 (calibrate, with the access code) and 0x42 (reset
// energy). It hears only a line set to 9600 baud 8N2, read from the pty's
// termios, and sends at the pace of that line unless pacing is off.
// Faults can be switched on to make it misbehave.
//
// All public members are thread-safe; the meter runs on its own thread.
#pragma once

#include "MeterBlocks.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Ways to misbehave; applied to each answer while set.
struct SimFaults {
    bool silent = false;     // never answer
    int delayMs = 0;         // wait this long before answering
    int truncateTo = -1;     // send only the first N bytes of an answer (-1: all)
    bool corruptCrc = false; // spoil the checksum
    int exceptionCode = 0;   // answer every request with this exception (0: off)
    int garbageBytes = 0;    // send this many random bytes instead of the answer
    int splitPauseMs = 0;    // pause this long halfway through an answer
    // How many answers the faults apply to before they clear (-1: until changed).
    int count = -1;
};

// The meter's state in its register units.
struct SimMeterState {
    uint16_t voltage = 5000;       // 0.01 V
    uint16_t current = 100;        // 0.01 A
    uint32_t energy = 0;           // Wh
    uint16_t highVoltage = 30000;  // 0.01 V
    uint16_t lowVoltage = 1000;    // 0.01 V
    uint16_t address = 1;
    uint16_t currentRange = 0;
    bool fixed = false;            // values hold still (energy too)
};

class CMeterSim {
public:
    CMeterSim();
    ~CMeterSim();  // Stop()

    CMeterSim(const CMeterSim&) = delete;
    CMeterSim& operator=(const CMeterSim&) = delete;

    // Opens a pty and starts answering. False with *error on failure.
    bool Start(std::string* error);
    // Stops answering, closes the pty and removes the link it made.
    void Stop();

    // /dev/pts/N of the current pty (empty when stopped or hung up).
    std::string DevicePath() const;
    // Makes the COMn alias (in PortAliasDir(), created if missing) or a link
    // at `path` point at the pty; it follows a Replug(). Removed by Stop().
    bool LinkCom(int port, std::string* error);
    bool LinkAt(const std::string& path, std::string* error);

    // Closes the pty as a pulled USB adapter would: the client's next
    // transfer fails with an I/O error and the device path disappears.
    void HangUp();
    // A new pty behind the same link, as the adapter plugged back in.
    bool Replug(std::string* error);

    void SetPacing(bool on);  // on by default: 11 bit times a byte
    void SetCalibrateMs(int ms);  // how long the meter "calibrates" before echoing

    void SetState(const SimMeterState& state);
    SimMeterState State() const;
    // Convenience setters in volts/amperes.
    void SetVoltage(double volts);
    void SetCurrent(double amperes);

    void SetFaults(const SimFaults& faults);
    void ClearFaults();

    // The registers as the meter would answer them now.
    MeterReading Reading() const;
    MeterParameters Parameters() const;

    // Requests heard with a good checksum and our address, in any line mode.
    unsigned RequestCount() const;
    // The last such request, bytes as received.
    std::vector<uint8_t> LastRequest() const;
    // Requests ignored because the line was not 9600 8N2.
    unsigned IgnoredForLineSettings() const;

private:
    struct Impl;
    Impl* m_impl;
};

// Builds the answer to one request frame (CRC already checked), as the meter
// would; empty when it stays silent. Exposed for tests and fuzzing.
std::vector<uint8_t> SimAnswer(SimMeterState& state, const uint8_t* request, size_t length);

// Splits a byte stream into request frames: returns the length of the first
// complete frame at the start of `bytes`, 0 if more bytes are needed, or -1
// if the first byte cannot start a frame (skip it).
int SimFrameLength(const uint8_t* bytes, size_t length);
