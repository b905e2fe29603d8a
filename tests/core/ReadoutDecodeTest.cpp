// The readouts' decoding rules, without a window.
#include "ReadoutDecode.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

MeterReading Block(uint16_t voltage, uint16_t current, uint32_t power, uint32_t energy,
                   uint16_t alarm1 = 0, uint16_t alarm2 = 0)
{
    MeterReading r{};
    PutRegisterWord(r.bytes, kRegVoltage, voltage);
    PutRegisterWord(r.bytes, kRegCurrent, current);
    PutRegisterWord(r.bytes, kRegPowerLow, static_cast<uint16_t>(power & 0xFFFF));
    PutRegisterWord(r.bytes, kRegPowerLow + 1, static_cast<uint16_t>(power >> 16));
    PutRegisterWord(r.bytes, kRegEnergyLow, static_cast<uint16_t>(energy & 0xFFFF));
    PutRegisterWord(r.bytes, kRegEnergyLow + 1, static_cast<uint16_t>(energy >> 16));
    PutRegisterWord(r.bytes, kRegAlarm1, alarm1);
    PutRegisterWord(r.bytes, kRegAlarm2, alarm2);
    return r;
}

TEST(ReadoutDecode, PowerDropsTheTenthsFrom1000W)
{
    const struct {
        uint32_t power;
        int precision;
        double value;
    } cases[] = {
        {0, 1, 0.0},        {9999, 1, 999.9},     {10000, 0, 1000.0},
        {10009, 0, 1000.0}, {123456, 0, 12345.0}, {0xFFFFFFFF, 0, 429496729.0},
    };
    for (const auto& c : cases) {
        const ReadoutFrame f = DecodeForReadouts(DecodeReading(Block(0, 0, c.power, 0)));
        EXPECT_EQ(f.powerPrecision, c.precision) << c.power;
        EXPECT_DOUBLE_EQ(f.power, c.value) << c.power;
    }
}

TEST(ReadoutDecode, EnergySwitchesToKilowattHoursAt10000)
{
    const struct {
        uint32_t energy;
        int precision;
        const char* units;
        double value;
    } cases[] = {
        {0, 0, "Wh", 0.0},
        {9999, 0, "Wh", 9999.0},
        {10000, 2, "kWh", 10.0},
        {1234567, 2, "kWh", 1234.567},
        // Both register words matter: the high word is the second register.
        {0x00010000, 2, "kWh", 65.536},
    };
    for (const auto& c : cases) {
        const ReadoutFrame f = DecodeForReadouts(DecodeReading(Block(0, 0, 0, c.energy)));
        EXPECT_EQ(f.energyPrecision, c.precision) << c.energy;
        EXPECT_STREQ(f.energyUnits, c.units) << c.energy;
        EXPECT_DOUBLE_EQ(f.energy, c.value) << c.energy;
    }
}

TEST(ReadoutDecode, OnlyAnAlarmWordOf0xFFFFTurnsTheVoltageRed)
{
    const struct {
        uint16_t alarm1, alarm2;
        uint32_t color;
    } cases[] = {
        {0xFFFF, 0x0000, kReadoutRed},  {0x0000, 0xFFFF, kReadoutRed},
        {0xFFFF, 0xFFFF, kReadoutRed},  {0x0000, 0x0000, kReadoutAqua},
        {0x0001, 0x0000, kReadoutAqua}, {0xFFFE, 0x0001, kReadoutAqua},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            DecodeForReadouts(DecodeReading(Block(5000, 0, 0, 0, c.alarm1, c.alarm2))).voltageColor,
            c.color)
            << std::hex << c.alarm1 << " " << c.alarm2;
}

}  // namespace
