// What quorvan-cli prints: readings, parameters, outcomes, trace lines and
// failure sentences, as plain strings so they can be checked on their own.
//
// Values are printed from the register units with integer arithmetic, so a
// reading shows exactly what the meter sent (51.23, never 51.229999).
// Every line ends in '\n'; a JSON line is one complete object.
#pragma once

#include "MeterFormat.h"

#include <cstdint>
#include <string>

std::string FormatParameters(const Settings& settings, bool json);

// Success line of a command without data: `text` for people, or
// {"<jsonKey>": true}.
std::string FormatDone(const char* text, const char* jsonKey, bool json);

// A meter that scan found. Text: "  5  51.23 V  4.50 A  230.5 W  12345 Wh";
// JSON: {"address": 5, "voltage_v": 51.23, ...} with the keys of a reading.
std::string FormatScanReading(uint8_t address, const Measurement& reading, bool json,
                              const std::string& time);
// A meter that answered scan with an exception: "  5  exception code 2
// (illegal data address)"; JSON: {"address": 5, "exception": 2}.
std::string FormatScanException(uint8_t address, int code, bool json);
// scan's last line: "3 meters answered", "1 meter answered".
std::string FormatScanSummary(unsigned found);

// "12:34:56.789 TX F8 04 00 00 00 08 E5 A5" for a frame seen at
// `msOfDay` milliseconds after local midnight.
std::string FormatTraceLine(uint32_t msOfDay, bool sent, const uint8_t* bytes, unsigned count);
