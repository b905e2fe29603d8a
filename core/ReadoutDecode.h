// What the four readouts show for one decoded measurement: values, the power
// and energy resolution and unit, and the voltage digits' colour. Plain C++
// so the thresholds can be tested without a window.
#pragma once

#include "MeterBlocks.h"

#include <cstdint>

// Readout colours, 0x00BBGGRR as the readout takes them.
constexpr uint32_t kReadoutAqua = 0xFFFF00;  // the digits' normal colour
constexpr uint32_t kReadoutRed = 0x0000FF;   // voltage alarm

struct ReadoutFrame {
    double voltage;           // V
    double current;           // A
    double power;             // W
    double energy;            // Wh or kWh, as energyUnits says
    int powerPrecision;       // 1 below 1000.0 W, else 0
    int energyPrecision;      // 0 below 10000 Wh, else 2
    const char* energyUnits;  // "Wh" or "kWh" (static text)
    uint32_t voltageColor;    // kReadoutRed while either alarm word is 0xFFFF
};

ReadoutFrame DecodeForReadouts(const Measurement& m);
