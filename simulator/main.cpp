// quorvan-meter-sim: a simulated Quorvan meter, or a bus of them, on a
// pseudo-terminal.
//
// Prints the pty path on its first line, makes the COMn alias (or a link at
// PATH), answers until SIGINT/SIGTERM/SIGHUP and removes what it made.
// Exit status: 0 after a signal, 1 when the pty or the link cannot be
// made, 2 for bad arguments.
#include "CMeterSim.h"
#include "PortMap.h"
#include "SimArgs.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#ifndef QUORVAN_VERSION
#define QUORVAN_VERSION "0.0.0.0"
#endif

namespace {

// The meters, faults and timing the arguments asked for.
void SetUp(CMeterSim& sim, const SimArgs& args)
{
    sim.SetState(args.meters.front());
    for (size_t i = 1; i < args.meters.size(); ++i)
        sim.AddMeter(args.meters[i]);
    for (const SimMeterState& meter : args.meters)
        sim.SetFaults(meter.address, args.faults);
    sim.SetPacing(args.pacing);
    sim.SetCalibrateMs(args.calibrateMs);
}

// Makes the alias or link asked for; false after saying why.
bool MakeLink(CMeterSim& sim, const SimArgs& args)
{
    std::string error;
    if (args.com != 0) {
        if (!sim.LinkCom(args.com, &error)) {
            std::fprintf(stderr, "quorvan-meter-sim: cannot make the COM%d alias: %s\n", args.com,
                         error.c_str());
            return false;
        }
        std::fprintf(stderr, "quorvan-meter-sim: %s\n", ComPortLabel(args.com).c_str());
    } else if (!args.link.empty()) {
        if (!sim.LinkAt(args.link, &error)) {
            std::fprintf(stderr, "quorvan-meter-sim: cannot make the link: %s\n", error.c_str());
            return false;
        }
        std::fprintf(stderr, "quorvan-meter-sim: %s -> %s\n", args.link.c_str(),
                     sim.DevicePath().c_str());
    }
    return true;
}

// Waits for a stop signal, hanging up first after hangupSeconds if set.
void WaitForSignal(CMeterSim& sim, const sigset_t& signals, double hangupSeconds)
{
    int sig = 0;
    if (hangupSeconds >= 0) {
        const double whole = std::floor(hangupSeconds);
        timespec wait{static_cast<time_t>(whole), static_cast<long>((hangupSeconds - whole) * 1e9)};
        siginfo_t info;
        for (;;) {
            sig = sigtimedwait(&signals, &info, &wait);
            if (sig >= 0 || errno != EINTR)
                break;  // EINTR restarts the whole wait; good enough
        }
        if (sig < 0) {
            sim.HangUp();
            std::fprintf(stderr, "quorvan-meter-sim: hung up\n");
            sig = 0;
        }
    }
    if (sig <= 0)
        sigwait(&signals, &sig);
}

}  // namespace

int main(int argc, char** argv)
{
    const SimArgsResult parsed = ParseSimArgs(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "quorvan-meter-sim: %s\n%s", parsed.error.c_str(), SimUsage());
        return 2;
    }
    const SimArgs& args = parsed.options;
    if (args.help) {
        std::fputs(SimUsage(), stdout);
        return 0;
    }
    if (args.version) {
        std::printf("quorvan-meter-sim %s\n", QUORVAN_VERSION);
        return 0;
    }

    // The signals are taken with sigwait; the meter's thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    CMeterSim sim;
    SetUp(sim, args);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "quorvan-meter-sim: cannot open a pseudo-terminal: %s\n",
                     error.c_str());
        return 1;
    }
    std::printf("%s\n", sim.DevicePath().c_str());
    std::fflush(stdout);

    if (!MakeLink(sim, args))
        return 1;
    if (args.meters.size() > 1) {
        std::string addresses;
        for (const SimMeterState& meter : args.meters)
            addresses += (addresses.empty() ? "" : ", ") + std::to_string(meter.address);
        std::fprintf(stderr, "quorvan-meter-sim: %zu meters on the line, at addresses %s\n",
                     args.meters.size(), addresses.c_str());
    }
    std::fprintf(stderr, "quorvan-meter-sim: answering at 9600 baud 8N2; Ctrl+C stops\n");

    WaitForSignal(sim, signals, args.hangupSeconds);
    sim.Stop();
    return 0;
}
