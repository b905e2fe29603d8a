// A reading as text: the meter's register units printed with integer
// arithmetic, so what is shown or stored is exactly what the meter sent
// (51.23, never 51.229999), and the one JSON shape of a reading that every
// front end writes.
#pragma once

#include "MeterBlocks.h"

#include <cstdint>
#include <string>

// "51.23" from 5123 hundredths.
std::string HundredthsText(uint32_t value);
// "230.5" from 2305 tenths.
std::string TenthsText(uint32_t value);

// One line, '\n' included. JSON: {"voltage_v": 51.23, "current_a": 4.50,
// "power_w": 230.5, "energy_wh": 12345, "voltage_alarm": false} with
// "time" last when `time` is given. Text: "51.23 V  4.50 A  230.5 W
// 12345 Wh", "  VOLTAGE ALARM" appended while the alarm is on.
std::string FormatReading(const Measurement& reading, bool json,
                          const std::string& time = std::string());

// UTC, ISO 8601 with milliseconds: "2026-12-08T05:40:01.123Z".
// `unixMs` is milliseconds since 1970.
std::string UtcTimestamp(int64_t unixMs);
// Now, as above.
std::string UtcTimestamp();
// Milliseconds since 1970, from the real-time clock.
int64_t UnixMillisNow();
// Milliseconds on the steady clock, which never jumps (the trend's time).
int64_t SteadyMillisNow();
