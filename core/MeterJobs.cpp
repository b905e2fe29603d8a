#include "MeterJobs.h"

ParametersRead OpenAndReadParameters(CMeterPort& port)
{
    ParametersRead read;
    read.outcome = port.Open();
    if (read.outcome.Ok())
        read.outcome = port.ReadParameters(&read.settings);
    return read;
}

MeterOutcome OpenAndClearEnergy(CMeterPort& port)
{
    const MeterOutcome opened = port.Open();
    return opened.Ok() ? port.ResetEnergy() : opened;
}

MeterOutcome OpenAndCalibrate(CMeterPort& port)
{
    const MeterOutcome opened = port.Open();
    return opened.Ok() ? port.Calibrate() : opened;
}

const char* JobOutcomeText(MeterJob job, const MeterOutcome& outcome)
{
    if (outcome.stage == MeterOutcome::kOpen)
        return "Failed to open COM-Port!";
    const bool ok = outcome.Ok();
    switch (job) {
        case MeterJob::kMeasure: return ok ? "" : "Failed to read!";
        case MeterJob::kReadParameters: return ok ? "" : "Failed to read parameters!";
        case MeterJob::kWriteParameters:
            return ok ? "Set the parameters successfully!" : "Failed to set the parameters!";
        case MeterJob::kClearEnergy:
            return ok ? "Clear the energy successfully!" : "Failed to clear the energy!";
        case MeterJob::kCalibrate:
            return ok ? "The calibration is successful!" : "The calibration failed!";
    }
    return "";
}
