#include "ReadoutDecode.h"

ReadoutFrame DecodeForReadouts(const Measurement& m)
{
    ReadoutFrame frame{};
    frame.voltage = m.voltage / 100.0;
    frame.current = m.current / 100.0;
    // Power arrives in tenths of a watt; from 1000.0 W on the tenths are
    // cut off (integer division), not rounded.
    if (m.power < 10000) {
        frame.powerPrecision = 1;
        frame.power = m.power / 10.0;
    } else {
        frame.powerPrecision = 0;
        frame.power = static_cast<double>(m.power / 10);
    }
    frame.voltageColor = m.VoltageAlarm() ? kReadoutRed : kReadoutAqua;
    if (m.energy < 10000) {
        frame.energyPrecision = 0;
        frame.energyUnits = "Wh";
        frame.energy = static_cast<double>(m.energy);
    } else {
        frame.energyPrecision = 2;
        frame.energyUnits = "kWh";
        frame.energy = m.energy / 1000.0;
    }
    return frame;
}
