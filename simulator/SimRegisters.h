// Internals shared by the simulator's sources (and its tests): the register
// blocks computed from a SimMeterState, and the meter's constants.
#pragma once

#include "SimTypes.h"

#include <cstdint>

constexpr uint16_t kSimMinThreshold = 100;    // 1.00 V
constexpr uint16_t kSimMaxThreshold = 35000;  // 350.00 V
constexpr uint8_t kSimCalibrateCode[2] = {0x37, 0x21};

// Power register (0.1 W) for voltage (0.01 V) x current (0.01 A), rounded.
uint32_t SimPower(uint16_t voltage, uint16_t current);
// Input registers 0-7 and holding registers 0-3 as the meter shows them.
void SimInputRegisters(const SimMeterState& state, uint16_t regs[8]);
void SimHoldingRegisters(const SimMeterState& state, uint16_t regs[4]);
