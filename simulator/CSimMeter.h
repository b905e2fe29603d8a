// One simulated meter on the line: its registers, the live model that moves
// them, the faults it applies to its answers, and what it counted.
//
// Thread-safe: the line's thread hands it requests while other threads set
// and read it. Calls that show the values of the moment (State, Reading)
// move the live model on to now first.
#pragma once

#include "MeterBlocks.h"
#include "SimTypes.h"

#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

// What a meter sends back for one request.
struct SimReply {
    bool answers = false;        // false: it stays silent
    std::vector<uint8_t> bytes;  // faults applied (a truncated answer may be empty)
    int waitMs = 0;              // before the first byte: calibration, delay fault
    int splitPauseMs = 0;        // pause after the first half (0: none)
};

class CSimMeter {
public:
    explicit CSimMeter(const SimMeterState& state);

    CSimMeter(const CSimMeter&) = delete;
    CSimMeter& operator=(const CSimMeter&) = delete;

    void SetState(const SimMeterState& state);
    SimMeterState State();
    // Set the value the live model wanders around, in volts/amperes.
    void SetVoltage(double volts);
    void SetCurrent(double amperes);

    void SetFaults(const SimFaults& faults);  // count 0 means none

    MeterReading Reading();
    MeterParameters Parameters() const;

    uint16_t Address() const;  // the stored one
    // True when a request to `address` is for this meter: 0xF8 or its own.
    bool Hears(uint8_t address) const;
    // One request for this meter, checksum good, heard on a line that is
    // (lineOk) or is not 9600 8N2. Counts it, takes one use of the faults
    // and carries it out unless a fault says otherwise.
    SimReply Answer(const std::vector<uint8_t>& frame, bool lineOk, int calibrateMs);
    // The reply went out (or was lost on a closed port).
    void CountAnswer();

    unsigned RequestCount() const;
    std::vector<uint8_t> LastRequest() const;
    unsigned IgnoredForLineSettings() const;
    unsigned AnswerCount() const;

private:
    void Reset(const SimMeterState& state);
    void Advance(SimClock::time_point now);
    std::vector<uint8_t> Garbage(size_t count);

    mutable std::mutex m_mutex;  // guards everything below
    SimMeterState m_state;
    double m_baseVoltage = 0;  // what the live values wander around, 0.01 V / A
    double m_baseCurrent = 0;
    double m_voltageNow = 0;
    double m_currentNow = 0;
    double m_energyFraction = 0;  // Wh not yet in the counter
    SimClock::time_point m_epoch = SimClock::now();
    SimClock::time_point m_lastAdvance = m_epoch;
    std::mt19937 m_rng{20260508u};
    uint32_t m_garbageState = 0x5EED1234u;
    SimFaults m_faults;
    unsigned m_requests = 0;
    unsigned m_ignored = 0;
    unsigned m_answers = 0;
    std::vector<uint8_t> m_lastRequest;
};
