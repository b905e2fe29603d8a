// The measurement loop that the panel and the client share.
//
// Open the port; then, while the caller wants readings: poll, hand a good
// reading over, pause. A failed poll closes the port, leaves it closed for
// the reconnect pause and reopens it (a reopen that fails is not examined
// here: the next poll fails with its reason and counts); the usual pause
// follows. The third failed poll in a row ends the loop at once.
//
// The pauses are the caller's (PollTiming), and `stop` cuts any pause short
// and ends the loop; keepGoing() is looked at once before each poll, so a
// stop asked for that way takes effect after the poll and the pause under
// way. Everything runs on the calling thread; the callbacks too.
#pragma once

#include "CMeterPort.h"
#include "CStopToken.h"
#include "MeterBlocks.h"
#include "MeterOutcome.h"

#include <functional>

struct PollTiming {
    int pollPauseMs = 500;        // after every poll
    int reconnectPauseMs = 1000;  // closed, between a failed poll and the reopen
    int maxFailures = 3;          // failed polls in a row that end the loop
};

struct PollCallbacks {
    // Before each poll; false ends the loop. Empty: always true.
    std::function<bool()> keepGoing;
    // A good reading, with its time in ms since 1970.
    std::function<void(const MeterReading&, int64_t unixMs)> onReading;
    // A failed poll that does not end the loop (the port is being reopened).
    std::function<void(const MeterOutcome&)> onFailure;
};

// Returns why the loop ended: Ok() when it was asked to stop, a kOpen
// failure when the port did not open, else the failed poll that was one too
// many. The port is left as it is: the caller closes it once it has shown
// the outcome.
MeterOutcome RunPollLoop(CMeterPort& port, const CStopToken& stop, const PollTiming& timing,
                         const PollCallbacks& callbacks);
