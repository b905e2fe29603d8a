// A simulated meter on a pseudo-terminal, or a whole RS-485 bus of them.
//
// It answers as the meter does: slave address 0xF8 (and its own stored
// address), input registers 0-7, holding registers 0-3, functions 0x03,
// 0x04, 0x10, 0x41 (calibrate, with the access code) and 0x42 (reset
// energy). It hears only a line set to 9600 baud 8N2, read from the pty's
// termios, and sends at the pace of that line unless pacing is off.
// Faults can be switched on to make it misbehave.
//
// All public members are thread-safe; the meters run on their own thread.
// A facade over the parts: CSimPty (descriptors, clients, paced sending),
// CSimLinks, CSimLine (the thread, frame cutting, wire timing), CSimBus and
// CSimMeter (state, live model, faults, counts).
//
// Behaviour in detail (what tests and the other tools may rely on):
//   - Frames are cut from the byte stream with SimFrameLength(); a frame
//     whose checksum fails is dropped one byte at a time (resync), and an
//     incomplete frame is thrown away after kSimFrameGapMs of silence.
//   - Frames to an address no meter has (not 0xF8, not a stored one, or the
//     broadcast address 0) are not answered and not counted.
//   - A bus: AddMeter() puts more meters on the same line; the calls without
//     an address act on the first one. Each meter answers requests to its
//     own stored address and to 0xF8; a parameter write that changes its
//     address moves it there. When more than one meter answers a request
//     (0xF8 with several meters, or two at one address) the master gets
//     one garbled frame, never one with a good checksum (SimOverlap), sent
//     after the longest of their waits; each of them counts the answer.
//     Faults are per meter.
//   - A frame heard while the line is not 9600 baud, 8 data bits, no
//     parity, 2 stop bits (tcgetattr on the pty master, which Linux reports
//     as the client's settings) counts in RequestCount() and
//     IgnoredForLineSettings() and gets no answer. Before any client sets
//     the line, the pty is raw 9600 8N1: an unconfigured client is not heard.
//   - The simulator keeps a descriptor on the pty's slave end so that a
//     client closing the port does not hang up the master side. Because
//     that keeps the tty's input queue alive between clients, it watches
//     opens and closes of the slave (inotify) so that a closed port behaves
//     like a real one: bytes of an answer due while no client holds the
//     port are not sent, and what a client left unread is flushed when the
//     last client closes and when the first one opens. The watch is
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
//   - Pacing models the whole line: a request takes its wire time to arrive
//     (from its first byte heard, and not before the previous frame has
//     left the wire), the meters act on it only then, and each byte of the
//     answer is written when it would have finished arriving (start bit +
//     data bits + parity + stop bits at the line's baud rate: 11 bits,
//     about 1.146 ms at 9600 8N2). A measurement exchange thus takes at
//     least (8 + 21) x 1.146 ms = 33.2 ms.
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
#include "SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CMeterSim {
public:
    CMeterSim();   // one meter with SimMeterState defaults
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

    void SetPacing(bool on);      // on by default: the whole line's wire time
    void SetCalibrateMs(int ms);  // how long a meter "calibrates" before echoing

    // --- the first meter on the line (the only one unless AddMeter) ---
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

    // --- a bus: more meters on the same line ---
    // Adds a meter at state.address; allowed while running. Two meters at
    // one address answer together, as on a real line.
    void AddMeter(const SimMeterState& state);
    size_t MeterCount() const;
    // By the address a meter has stored now; with two at one address the
    // first one added. Empty / false / 0 when no meter has it.
    std::optional<SimMeterState> State(int address) const;
    std::optional<MeterReading> Reading(int address) const;
    bool SetFaults(int address, const SimFaults& faults);  // every meter there
    unsigned RequestCount(int address) const;
    unsigned AnswerCount(int address) const;

    // True between Start() and Stop() while not hung up.
    bool Running() const;

    static constexpr int kDefaultCalibrateMs = kSimDefaultCalibrateMs;

private:
    struct Impl;
    Impl* m_impl;
};
