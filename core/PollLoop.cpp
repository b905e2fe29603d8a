#include "PollLoop.h"

#include "MeterFormat.h"

MeterOutcome RunPollLoop(CMeterPort& port, const CStopToken& stop, const PollTiming& timing,
                         const PollCallbacks& callbacks)
{
    MeterOutcome outcome = port.Open();
    if (!outcome.Ok())
        return outcome;
    int failures = 0;
    while (!stop.Requested() && (!callbacks.keepGoing || callbacks.keepGoing())) {
        MeterReading reading;
        outcome = port.ReadMeasurements(&reading);
        if (outcome.Ok()) {
            failures = 0;
            if (callbacks.onReading)
                callbacks.onReading(reading, UnixMillisNow());
        } else {
            if (++failures >= timing.maxFailures)
                return outcome;
            if (callbacks.onFailure)
                callbacks.onFailure(outcome);
            port.Close();
            if (stop.Wait(timing.reconnectPauseMs))
                break;
            port.Reopen();  // not examined: a port that stays shut fails the next poll
        }
        if (stop.Wait(timing.pollPauseMs))
            break;
    }
    return MeterOutcome{};
}
