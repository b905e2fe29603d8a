// What the service knows about one meter at a moment: written by the line's
// poller after every poll, copied out under a short lock by the HTTP and
// MQTT sides, which never talk to a device.
#pragma once

#include "MeterBlocks.h"

#include <cstdint>
#include <string>

struct MeterSnapshot {
    std::string name;     // from the configuration: letters, digits, '_' and '-'
    std::string port;     // the line's port as configured: "COM3", "/dev/serial/by-id/..."
    uint8_t address = 0;  // the meter's own address, 1..247

    bool up = false;            // the last poll succeeded
    bool decided = false;       // a poll, or a failed open of the line, has set `up`
    bool haveReading = false;   // `reading` holds a good answer (maybe an old one)
    Measurement reading{};      // the last good reading; shown only while `up`
    int64_t readingUnixMs = 0;  // when it was taken, ms since 1970

    uint64_t polls = 0;     // polls tried
    uint64_t failures = 0;  // polls that failed
    std::string lastError;  // OutcomeText of the last failure, "" while none
};
