// Value types shared by the simulator's parts and the code that drives it.
#pragma once

#include <chrono>
#include <cstdint>

using SimClock = std::chrono::steady_clock;

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

// Silence after which an incomplete request frame is thrown away.
constexpr int kSimFrameGapMs = 50;
// How long the meter "calibrates" before it echoes the command.
constexpr int kSimDefaultCalibrateMs = 200;
// The general address every meter answers; 0 is the broadcast none answers.
constexpr uint8_t kSimGeneralAddress = 0xF8;
constexpr uint8_t kSimBroadcastAddress = 0x00;
