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
//
// Behaviour in detail (what tests and the other tools may rely on):
//   - Frames are cut from the byte stream with SimFrameLength(); a frame
//     whose checksum fails is dropped one byte at a time (resync), and an
//     incomplete frame is thrown away after kSimFrameGapMs of silence.
//   - Frames to another address (not 0xF8, not the stored one, or the
//     broadcast address 0) are not answered and not counted.
//   - A frame heard while the line is not 9600 baud, 8 data bits, no
//     parity, 2 stop bits (tcgetattr on the pty master, which Linux reports
//     as the client's settings) counts in RequestCount() and
//     IgnoredForLineSettings() and gets no answer. Before any client sets
//     the line, the pty is raw 9600 8N1: an unconfigured client is not heard.
//   - The meter keeps a descriptor on the pty's slave end so that a client
//     closing the port does not hang up the master side. Because that
//     keeps the tty's input queue alive between clients, it watches opens
//     and closes of the slave (inotify) so that a closed port behaves like
//     a real one: bytes of an answer due while no client holds the port are
//     not sent, and what a client left unread is flushed when the last
//     client closes and when the first one opens. The watch is
//     asynchronous: a client that closes and reopens within a fraction of
//     a millisecond may still see such leftovers.
//   - Fault handling: each request heard with a good line takes one use of
//     the faults that are set (SimFaults::count). `silent` and
//     `exceptionCode` make the meter ignore the request's meaning (nothing
//     is written, nothing cleared); the others spoil an answer to a request
//     that was carried out. Order: calibration time, delay, then the answer
//     is replaced by garbage, or its last checksum byte inverted, then cut
//     to truncateTo bytes, then sent with the split pause after its first
//     half (rounded down, at least one byte).
//   - Garbage bytes come from a fixed-seed generator; byte 1 is kept below
//     0x80 and the last two never form a valid checksum, so a client sees
//     -3 when the count matches the expected length and -2 otherwise.
//   - Pacing: each byte is written when it would have finished arriving on
//     the line (start bit + data bits + parity + stop bits at the line's
//     baud rate: 11 bits, about 1.146 ms at 9600 8N2).
//   - Live mode (not SimMeterState::fixed): the voltage wanders a little
//     around the value last set (a battery under charge), the current
//     around its value with a slow swing (a solar panel under clouds), and
//     the energy counter integrates voltage x current over time. State()
//     and Reading() show the values of the moment.
//   - Power register = round(voltage x current / 1000) in 0.1 W
//     (51.23 V x 4.50 A -> 2305). Alarm word 1 (register 6) is 0xFFFF while
//     the voltage is above the high threshold, alarm word 2 (register 7)
//     while it is below the low threshold; 0 otherwise.
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
    bool silent = false;      // never answer
    int delayMs = 0;          // wait this long before answering
    int truncateTo = -1;      // send only the first N bytes of an answer (-1: all)
    bool corruptCrc = false;  // spoil the checksum
    int exceptionCode = 0;    // answer every request with this exception (0: off)
    int garbageBytes = 0;     // send this many random bytes instead of the answer
    int splitPauseMs = 0;     // pause this long halfway through an answer
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
    bool fixed = false;  // values hold still (energy too)
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
    // transfer fails with an I/O error; the device path and the links to it
    // disappear (a Replug() makes the links again).
    void HangUp();
    // A new pty behind the same link, as the adapter plugged back in.
    bool Replug(std::string* error);

    void SetPacing(bool on);      // on by default: 11 bit times a byte
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
    // Answers given (spoiled ones included): sent, or lost because no
    // client held the port when they were due. Counted after the last byte
    // is written, so a client may hold the answer a moment before.
    unsigned AnswerCount() const;
    // True between Start() and Stop() while not hung up.
    bool Running() const;

    static constexpr int kDefaultCalibrateMs = 200;

private:
    struct Impl;
    Impl* m_impl;
};

// Silence after which an incomplete request frame is thrown away.
constexpr int kSimFrameGapMs = 50;

// Builds the answer to one request frame (CRC already checked), as the meter
// would; empty when it stays silent. Exposed for tests and fuzzing.
//   - Silent (empty) unless request[0] is 0xF8 or state.address (0 never
//     answers), or when length < 4.
//   - 0x03 / 0x04: start and count from the request; count 0 or above 125,
//     or a frame not 8 bytes long -> exception 03; start + count beyond the
//     block (holding 0-3, input 0-7) -> exception 02; else address,
//     function, 2 x count, the registers, CRC.
//   - 0x10: count 0 or above 123, byte count != 2 x count, or a frame not
//     9 + byte count long -> 03; beyond holding 0-3 -> 02; a refused value
//     (threshold outside 100..35000, address outside 1..247, range code
//     above 3) -> 03 and nothing is written; else all are written and the
//     answer is address, 0x10, start, count, CRC.
//   - 0x41: 6 bytes with the access code 37 21 -> the request echoed (the
//     caller adds the calibration time); another code or length -> 03.
//   - 0x42: 4 bytes -> energy cleared, the request echoed; else 03.
//   - any other function -> exception 01.
// Exception answers are address (as in the request), function | 0x80,
// code, CRC. The answer's address byte is always the request's.
std::vector<uint8_t> SimAnswer(SimMeterState& state, const uint8_t* request, size_t length);

// Splits a byte stream into request frames: returns the length of the first
// complete frame at the start of `bytes`, 0 if more bytes are needed, or -1
// if the first byte cannot start a frame (skip it).
//   - -1 when byte 0 is above 0xF8 (no such slave), or byte 1 is 0 or has
//     bit 7 set (no request has such a function code).
//   - Fixed lengths by function: 01-06 -> 8, 07/0B/0C/11/42 -> 4, 41 -> 6,
//     0F/10 -> 9 + byte 6 (the byte count; 0 until 7 bytes are there).
//   - Any other function: the shortest length from 4 up whose last two
//     bytes are the checksum of the rest; 0 while none is found, -1 once
//     255 bytes hold none.
// The checksum of a fixed-length frame is not checked here.
int SimFrameLength(const uint8_t* bytes, size_t length);
