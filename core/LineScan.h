// Finding the meters on a line: every address from 1 to 247 asked for a
// reading in turn, each with a short answer limit. The client's `scan` and
// the panel's Find Meters both run this.
//
// An address without a meter costs the answer limit and the frame gap,
// about 105 ms at the default 100 ms, so the whole range takes some 26 s.
// A meter that answers with an exception is a meter (it heard its own
// address); silence, a garbled answer or another address's answer is none.
// A transport failure (the adapter pulled, or a stop request cancelling the
// exchange under way) ends the scan at once.
//
// Runs on the calling thread, the callbacks too.
#pragma once

#include "CMeterPort.h"
#include "CStopToken.h"
#include "MeterBlocks.h"
#include "MeterOutcome.h"

#include <cstdint>
#include <functional>

// The answer limit per address, ms: the default; the client's --timeout
// may lengthen it for a slow line.
constexpr uint16_t kScanAnswerLimitMs = 100;

// A meter that answered its own address.
struct ScanHit {
    uint8_t address = 0;
    // Ok(): `reading` is its reading; otherwise the meter refused with the
    // exception code in outcome.result.
    MeterOutcome outcome;
    MeterReading reading{};
};

struct ScanCallbacks {
    // Before each address is asked.
    std::function<void(uint8_t address)> onAsking;
    std::function<void(const ScanHit& hit)> onMeter;
};

struct ScanEnd {
    // Ok() when every address was asked, or a stop came between two; the
    // transport failure that ended the scan otherwise (a stop during an
    // exchange is one too: see `stopped`).
    MeterOutcome outcome;
    uint8_t address = 0;   // the address whose exchange failed; 0 when none did
    unsigned found = 0;    // meters reported through onMeter
    bool stopped = false;  // `stop` was raised
};

// Asks addresses 1 to 247 on `port`, which the caller has opened and closes.
// The port's answer limit is `answerLimitMs` meanwhile and the meter's own
// afterwards; the requests' address is left at the last one asked.
ScanEnd ScanLine(CMeterPort& port, const CStopToken& stop, uint16_t answerLimitMs,
                 const ScanCallbacks& callbacks);
