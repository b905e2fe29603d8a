#include "CliCommands.h"

#include "CStopSignal.h"
#include "CalibrationPassword.h"
#include "CliOutput.h"
#include "LineScan.h"
#include "MeterJobs.h"
#include "Password.h"
#include "PollLoop.h"

#include <cstdio>
#include <ctime>

namespace {

void Print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);  // watch --json > file is a log; each line must land
}

void Complain(const std::string& text)
{
    std::fprintf(stderr, "quorvan-cli: %s\n", text.c_str());
}

void TraceToStderr(void*, bool sent, const uint8_t* bytes, unsigned count)
{
    const int64_t now = UnixMillisNow();
    const time_t seconds = static_cast<time_t>(now / 1000);
    tm local;
    localtime_r(&seconds, &local);
    const uint32_t msOfDay =
        static_cast<uint32_t>((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000) +
        static_cast<uint32_t>(now % 1000);
    std::fputs(FormatTraceLine(msOfDay, sent, bytes, count).c_str(), stderr);
}

// One command's run: the port, the stop signal and how the result is said.
struct Session {
    CMeterPort& port;
    const CStopSignal& stop;
    bool json;

    // Reports a failed step as "<headline> (<why>)"; quiet when a signal
    // ended it (the person asked for that).
    int Failed(const char* headline, const MeterOutcome& outcome) const
    {
        if (!stop.Requested())
            Complain(std::string(headline) + " (" + OutcomeText(outcome) + ")");
        return kExitMeter;
    }

    int CannotOpen(const MeterOutcome& outcome) const
    {
        Complain("cannot open " + port.Describe(outcome));
        return kExitPort;
    }
};

int Read(const Session& s)
{
    MeterReading reading;
    const MeterOutcome o = s.port.ReadMeasurements(&reading);
    if (!o.Ok())
        return s.Failed(JobOutcomeText(MeterJob::kMeasure, o), o);
    Print(FormatReading(DecodeReading(reading), s.json, UtcTimestamp()));
    return kExitOk;
}

int Params(const Session& s)
{
    Settings settings;
    const MeterOutcome o = s.port.ReadParameters(&settings);
    if (!o.Ok())
        return s.Failed(JobOutcomeText(MeterJob::kReadParameters, o), o);
    Print(FormatParameters(settings, s.json));
    return kExitOk;
}

int SetParams(const Session& s, const CliSetParams& set)
{
    Settings settings;
    MeterOutcome o = s.port.ReadParameters(&settings);
    if (!o.Ok())
        return s.Failed(JobOutcomeText(MeterJob::kReadParameters, o), o);

    // Registers not named go back word for word, hundredths included.
    if (set.hasHigh)
        settings.highVoltage = set.highVoltage;
    if (set.hasLow)
        settings.lowVoltage = set.lowVoltage;
    if (set.hasAddress)
        settings.address = set.address;
    if (set.hasRange)
        settings.currentRange = set.currentRange;

    o = s.port.WriteParameters(settings);
    const char* text = JobOutcomeText(MeterJob::kWriteParameters, o);
    if (!o.Ok())
        return s.Failed(text, o);
    if (!s.json)
        Print(std::string(text) + "\n");
    Print(FormatParameters(settings, s.json));
    return kExitOk;
}

int ResetEnergy(const Session& s)
{
    const MeterOutcome o = s.port.ResetEnergy();
    const char* text = JobOutcomeText(MeterJob::kClearEnergy, o);
    if (!o.Ok())
        return s.Failed(text, o);
    Print(FormatDone(text, "energy_cleared", s.json));
    return kExitOk;
}

int Calibrate(const Session& s)
{
    const MeterOutcome o = s.port.Calibrate();
    const char* text = JobOutcomeText(MeterJob::kCalibrate, o);
    if (!o.Ok())
        return s.Failed(text, o);
    Print(FormatDone(text, "calibrated", s.json));
    return kExitOk;
}

// The panel's measurement loop; a signal ends it at once, also in the
// middle of an exchange the meter does not answer.
int Watch(const Session& s)
{
    PollCallbacks callbacks;
    callbacks.onReading = [&](const MeterReading& reading, int64_t unixMs) {
        Print(FormatReading(DecodeReading(reading), s.json, UtcTimestamp(unixMs)));
    };
    callbacks.onFailure = [&](const MeterOutcome& o) { s.Failed("Poll failed, reconnecting", o); };
    const MeterOutcome end = RunPollLoop(s.port, s.stop.Token(), PollTiming{}, callbacks);
    if (end.stage == MeterOutcome::kOpen)
        return s.CannotOpen(end);
    if (!end.Ok())
        return s.Failed(JobOutcomeText(MeterJob::kMeasure, end), end);
    return kExitOk;
}

// The line scan; the meters are printed as they answer.
int Scan(const Session& s, uint16_t answerLimitMs)
{
    ScanCallbacks callbacks;
    callbacks.onMeter = [&](const ScanHit& hit) {
        Print(hit.outcome.Ok() ? FormatScanReading(hit.address, DecodeReading(hit.reading), s.json,
                                                   UtcTimestamp())
                               : FormatScanException(hit.address, hit.outcome.result, s.json));
    };
    const ScanEnd end = ScanLine(s.port, s.stop.Token(), answerLimitMs, callbacks);
    if (s.stop.Requested())
        return kExitMeter;  // the signal ends the process once the port is closed
    if (!end.outcome.Ok())  // the port failed
        return s.Failed(("Scan stopped at address " + std::to_string(end.address)).c_str(),
                        end.outcome);
    std::fputs(FormatScanSummary(end.found).c_str(), stderr);
    return end.found > 0 ? kExitOk : kExitMeter;
}

int RunOnOpenPort(const Session& s, const CliOptions& options)
{
    const MeterOutcome opened = s.port.Open();
    if (!opened.Ok())
        return s.CannotOpen(opened);
    switch (options.command) {
        case CliCommand::Read: return Read(s);
        case CliCommand::Params: return Params(s);
        case CliCommand::SetParams: return SetParams(s, options.set);
        case CliCommand::ResetEnergy: return ResetEnergy(s);
        case CliCommand::Calibrate: return Calibrate(s);
        case CliCommand::Scan: return Scan(s, options.scanTimeoutMs);
        case CliCommand::Watch:
        case CliCommand::None: break;
    }
    return kExitUsage;
}

}  // namespace

int RunCommand(const CliOptions& options)
{
    if (options.command == CliCommand::Calibrate) {
        // Asked before the port is touched: a wrong password sends nothing.
        std::string password;
        if (!ReadPassword("Calibration password: ", &password) ||
            !IsCalibrationPassword(password)) {
            Complain("Password is error!");
            return kExitMeter;
        }
    }

    // Installed before the open, so that a signal from now on goes through
    // the normal way out and the port is left as it was found.
    CStopSignal stop;
    CMeterPort port;
    port.Choose(options.port);
    port.SetCancel(&stop.Token());
    if (options.unit != 0)
        port.SetUnit(options.unit);
    if (options.trace)
        port.Meter().SetTrace(TraceToStderr, nullptr);

    const Session session{port, stop, options.json};
    const int status =
        options.command == CliCommand::Watch ? Watch(session) : RunOnOpenPort(session, options);
    port.Close();
    // A watch stopped by Ctrl-C has done its job; any other command ends the
    // way the signal asks, now that the port is released.
    if (options.command != CliCommand::Watch)
        stop.RaiseAgain();
    return status;
}
