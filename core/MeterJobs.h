// The one-shot jobs of the panel and the client, each one outcome, and the
// fixed sentence a person gets for it.
//
// A job opens the port and leaves it open whatever happens: the caller shows
// the outcome first and closes the port after (and Set Parameters lets a
// person decide, with the port open, between reading and writing).
#pragma once

#include "CMeterPort.h"
#include "MeterOutcome.h"

enum class MeterJob {
    kMeasure,
    kReadParameters,
    kWriteParameters,
    kClearEnergy,
    kCalibrate,
};

struct ParametersRead {
    MeterOutcome outcome;
    Settings settings{};  // valid when outcome.Ok()
};

ParametersRead OpenAndReadParameters(CMeterPort& port);
MeterOutcome OpenAndClearEnergy(CMeterPort& port);
// The meter calibrates before it answers: at least the calibrate pause.
MeterOutcome OpenAndCalibrate(CMeterPort& port);

// "Failed to open COM-Port!" when the job's port did not open; otherwise the
// job's own success or failure text ("Set the parameters successfully!",
// "Failed to read!", ...). "" for a measurement that was stopped.
const char* JobOutcomeText(MeterJob job, const MeterOutcome& outcome);
