// The meter's two register blocks and the plain helpers that decode them.
//
// A register word is 16 bits, high byte first on the wire. The meter's
// 32-bit quantities (power, energy) take two registers with the LOW word in
// the lower-numbered register.
#pragma once

#include <cstdint>

// Data part of the measurement answer: input registers 0-7.
struct MeterReading {
    uint8_t bytes[16];
};
// Its answer: address, function, byte count, the 16 bytes, CRC; the
// longest a meter sends.
inline constexpr unsigned kMeasurementAnswerBytes = 5 + sizeof(MeterReading::bytes);

// Data part of the parameter answer and of the write request: holding
// registers 0-3.
struct MeterParameters {
    uint8_t bytes[8];
};

// Input register numbers.
enum MeterInputRegister {
    kRegVoltage = 0,    // 0.01 V
    kRegCurrent = 1,    // 0.01 A
    kRegPowerLow = 2,   // 0.1 W, with kRegPowerLow + 1 the high word
    kRegEnergyLow = 4,  // 1 Wh, with kRegEnergyLow + 1 the high word
    kRegAlarm1 = 6,
    kRegAlarm2 = 7,
};

// Holding register numbers.
enum MeterHoldingRegister {
    kRegHighVoltage = 0,   // 0.01 V
    kRegLowVoltage = 1,    // 0.01 V
    kRegAddress = 2,       // 1..247
    kRegCurrentRange = 3,  // 0 "100A", 1 "50A", 2 "200A", 3 "300A"
};

constexpr uint16_t kAlarmOn = 0xFFFF;

inline uint16_t RegisterWord(const uint8_t* block, int reg)
{
    return static_cast<uint16_t>(block[2 * reg] << 8 | block[2 * reg + 1]);
}

inline void PutRegisterWord(uint8_t* block, int reg, uint16_t value)
{
    block[2 * reg] = static_cast<uint8_t>(value >> 8);
    block[2 * reg + 1] = static_cast<uint8_t>(value & 0xFF);
}

// Two registers, low word first: lowReg holds bits 0-15, lowReg + 1 bits 16-31.
inline uint32_t RegisterPair(const uint8_t* block, int lowReg)
{
    return static_cast<uint32_t>(RegisterWord(block, lowReg + 1)) << 16 |
           RegisterWord(block, lowReg);
}

// A measurement block in its units.
struct Measurement {
    uint16_t voltage;  // 0.01 V
    uint16_t current;  // 0.01 A
    uint32_t power;    // 0.1 W
    uint32_t energy;   // Wh
    uint16_t alarm1;
    uint16_t alarm2;

    bool VoltageAlarm() const { return alarm1 == kAlarmOn || alarm2 == kAlarmOn; }
};

inline Measurement DecodeReading(const MeterReading& r)
{
    return Measurement{RegisterWord(r.bytes, kRegVoltage),  RegisterWord(r.bytes, kRegCurrent),
                       RegisterPair(r.bytes, kRegPowerLow), RegisterPair(r.bytes, kRegEnergyLow),
                       RegisterWord(r.bytes, kRegAlarm1),   RegisterWord(r.bytes, kRegAlarm2)};
}

// The parameter block in its units.
struct Settings {
    uint16_t highVoltage;  // 0.01 V
    uint16_t lowVoltage;   // 0.01 V
    uint16_t address;
    uint16_t currentRange;
};

inline Settings DecodeParameters(const MeterParameters& p)
{
    return Settings{RegisterWord(p.bytes, kRegHighVoltage), RegisterWord(p.bytes, kRegLowVoltage),
                    RegisterWord(p.bytes, kRegAddress), RegisterWord(p.bytes, kRegCurrentRange)};
}

inline MeterParameters EncodeParameters(const Settings& s)
{
    MeterParameters p{};
    PutRegisterWord(p.bytes, kRegHighVoltage, s.highVoltage);
    PutRegisterWord(p.bytes, kRegLowVoltage, s.lowVoltage);
    PutRegisterWord(p.bytes, kRegAddress, s.address);
    PutRegisterWord(p.bytes, kRegCurrentRange, s.currentRange);
    return p;
}

// "100A", "50A", "200A", "300A" for codes 0-3; nullptr for any other code.
inline const char* CurrentRangeText(uint32_t code)
{
    static const char* const names[] = {"100A", "50A", "200A", "300A"};
    return code < 4 ? names[code] : nullptr;
}
