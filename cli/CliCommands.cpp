#include "CliCommands.h"

#include "CCliPort.h"
#include "CStopSignal.h"
#include "CWatch.h"
#include "CliOutput.h"
#include "CalibrationPassword.h"
#include "Password.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

// A stopped watch waits this long for an exchange under way before it
// leaves without it.
constexpr auto kStopGrace = std::chrono::milliseconds(250);

// Serialises standard output between the watch worker and the exit path.
std::mutex g_outputLock;

void Print(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_outputLock);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);  // watch --json > file is a log; each line must land
}

void Complain(const std::string& text)
{
    std::fprintf(stderr, "quorvan-cli: %s\n", text.c_str());
}

void TraceToStderr(void*, bool sent, const uint8_t* bytes, unsigned count)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    const uint32_t msOfDay =
        static_cast<uint32_t>((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000) +
        static_cast<uint32_t>(now.tv_nsec / 1000000);
    std::fputs(FormatTraceLine(msOfDay, sent, bytes, count).c_str(), stderr);
}

// Reports a failed exchange as "<what> (<result>)" and gives the exit status.
int MeterFailed(CCliPort& port, const char* what, int result)
{
    CModBusRtu& meter = port.Meter();
    // A port that did not reopen fails its poll with a closed descriptor;
    // why it did not reopen is what helps.
    const std::string why =
        !port.IsOpen() && !port.OpenError().empty()
            ? "the port did not reopen: " + port.OpenError()
            : MeterFailureText(result, meter.LastReceived(), meter.Serial().LastError());
    Complain(std::string(what) + " (" + why + ")");
    return kExitMeter;
}

bool OpenOrComplain(CCliPort& port)
{
    if (port.Open())
        return true;
    Complain(OpenFailureText(port.Label(), port.Device(), port.OpenError()));
    return false;
}

int Read(CCliPort& port, bool json)
{
    MeterReading reading;
    const int result = port.Meter().ReadMeasurements(&reading);
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to read!", result);
    Print(FormatReading(DecodeReading(reading), json, UtcTimestamp()));
    return kExitOk;
}

int Params(CCliPort& port, bool json)
{
    MeterParameters parameters;
    const int result = port.Meter().ReadParameters(&parameters);
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to read parameters!", result);
    Print(FormatParameters(DecodeParameters(parameters), json));
    return kExitOk;
}

int SetParams(CCliPort& port, const CliSetParams& set, bool json)
{
    MeterParameters parameters;
    int result = port.Meter().ReadParameters(&parameters);
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to read parameters!", result);

    // Registers not named go back word for word, hundredths included.
    Settings s = DecodeParameters(parameters);
    if (set.hasHigh)
        s.highVoltage = set.highVoltage;
    if (set.hasLow)
        s.lowVoltage = set.lowVoltage;
    if (set.hasAddress)
        s.address = set.address;
    if (set.hasRange)
        s.currentRange = set.currentRange;
    parameters = EncodeParameters(s);

    result = port.Meter().WriteParameters(&parameters);
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to set the parameters!", result);
    if (!json)
        Print("Set the parameters successfully!\n");
    Print(FormatParameters(s, json));
    return kExitOk;
}

int ResetEnergy(CCliPort& port, bool json)
{
    const int result = port.Meter().ResetEnergy();
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to clear the energy!", result);
    Print(FormatDone("Clear the energy successfully!", "energy_cleared", json));
    return kExitOk;
}

int Calibrate(CCliPort& port, bool json)
{
    const int result = port.Meter().Calibrate();
    if (result != kMeterOk)
        return MeterFailed(port, "The calibration failed!", result);
    Print(FormatDone("The calibration is successful!", "calibrated", json));
    return kExitOk;
}

// The loop runs on a worker so that a stop never waits for an exchange that
// the meter does not answer (up to 1.4 s): after a short grace the process
// leaves without it, output flushed, the port closed by the kernel.
int Watch(CCliPort& port, CStopSignal& stop, bool json)
{
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int result = kMeterOk;

    std::thread worker([&] {
        CWatch watch(port, stop);
        const int r = watch.Run(
            [&](const MeterReading& reading) {
                Print(FormatReading(DecodeReading(reading), json, UtcTimestamp()));
            },
            [&](int failed) { MeterFailed(port, "Poll failed, reconnecting", failed); });
        {
            std::lock_guard<std::mutex> guard(lock);
            result = r;
            done = true;
        }
        finished.notify_all();
        stop.Raise();  // wakes the main thread
    });

    stop.Wait(-1);
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!finished.wait_for(guard, kStopGrace, [&] { return done; })) {
            std::lock_guard<std::mutex> output(g_outputLock);
            std::fflush(stdout);
            _exit(kExitOk);
        }
    }
    worker.join();
    if (result != kMeterOk)
        return MeterFailed(port, "Failed to read!", result);
    return kExitOk;
}

}  // namespace

int RunCommand(const CliOptions& options)
{
    if (options.command == CliCommand::Calibrate) {
        // Asked before the port is touched: a wrong password sends nothing.
        std::string password;
        if (!ReadPassword(STDIN_FILENO, "Calibration password: ", &password) ||
            !IsCalibrationPassword(password)) {
            Complain("Password is error!");
            return kExitMeter;
        }
    }

    CCliPort port(options.port);
    if (options.trace)
        port.Meter().SetTrace(TraceToStderr, nullptr);

    // Installed before the open so that Ctrl-C during it is already ours.
    std::unique_ptr<CStopSignal> stop;
    if (options.command == CliCommand::Watch)
        stop = std::make_unique<CStopSignal>();

    if (!OpenOrComplain(port))
        return kExitPort;

    int status = kExitUsage;
    switch (options.command) {
        case CliCommand::Read: status = Read(port, options.json); break;
        case CliCommand::Watch: status = Watch(port, *stop, options.json); break;
        case CliCommand::Params: status = Params(port, options.json); break;
        case CliCommand::SetParams: status = SetParams(port, options.set, options.json); break;
        case CliCommand::ResetEnergy: status = ResetEnergy(port, options.json); break;
        case CliCommand::Calibrate: status = Calibrate(port, options.json); break;
        case CliCommand::None: break;
    }
    port.Close();
    return status;
}
