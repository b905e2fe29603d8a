// Outcomes as the core makes them, for the tests of their wording.
#pragma once

#include "CModBusRtu.h"
#include "MeterOutcome.h"

inline MeterOutcome Exchange(int result, unsigned received = 0)
{
    MeterOutcome o;
    o.result = result;
    o.received = received;
    return o;
}

inline MeterOutcome PortFailure(MeterOutcome::Stage stage, int error, const char* reason)
{
    MeterOutcome o;
    o.stage = stage;
    o.result = kMeterTransport;
    o.error = error;
    o.reason = reason;
    return o;
}
