// quorvan-meter-sim: a simulated Quorvan meter on a pseudo-terminal.
//
// Prints the pty path on its first line, makes the COMn alias (or a link at
// PATH), answers until SIGINT/SIGTERM/SIGHUP and removes what it made.
// Exit status: 0 after a signal, 1 when the pty or the link cannot be
// made, 2 for bad arguments.
#include "CMeterSim.h"
#include "PortMap.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#ifndef QUORVAN_VERSION
#define QUORVAN_VERSION "0.0.0.0"
#endif

namespace {

const char kUsage[] =
    "usage: quorvan-meter-sim [--com N | --link PATH] [--voltage V] [--current A]\n"
    "                         [--energy WH] [--high V] [--low V] [--address N]\n"
    "                         [--range CODE] [--fixed] [--no-pacing]\n"
    "                         [--calibrate-ms MS] [--fault FAULT]... [--version]\n"
    "\n"
    "Simulates the meter on a pseudo-terminal and prints its path on the first\n"
    "line. --com N makes the alias COMn in the port alias folder, --link PATH a\n"
    "symbolic link at PATH; both are removed on SIGINT or SIGTERM.\n"
    "\n"
    "Values: --voltage/--high/--low in volts (0-655.35), --current in amperes\n"
    "(0-655.35), --energy in Wh, --address 1-247, --range any register value\n"
    "(0 100A, 1 50A, 2 200A, 3 300A). --fixed holds the values still, energy\n"
    "included; otherwise they wander and the energy counts up.\n"
    "\n"
    "Faults (--fault may repeat; they apply to every answer unless count=N):\n"
    "  silent        never answer            delay=MS     answer MS late\n"
    "  truncate=N    send only N bytes       crc          spoil the checksum\n"
    "  exception=N   answer exception N      garbage=N    N random bytes instead\n"
    "  split=MS      pause MS mid-answer     count=N      only the next N answers\n"
    "  hangup=SEC    close the pty after SEC seconds, as a pulled adapter\n";

[[noreturn]] void UsageError(const std::string& message)
{
    std::fprintf(stderr, "quorvan-meter-sim: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

bool ParseLong(const std::string& text, long min, long max, long* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool ParseDouble(const std::string& text, double min, double max, double* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    *out = value;
    return true;
}

uint16_t Hundredths(double value)
{
    return static_cast<uint16_t>(std::lround(value * 100.0));
}

// Applies one --fault FAULT; false when it is not understood.
bool ParseFault(const std::string& fault, SimFaults* faults, double* hangupSeconds)
{
    const auto eq = fault.find('=');
    const std::string name = fault.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : fault.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    long n = 0;
    if (name == "silent" && !hasValue) {
        faults->silent = true;
    } else if (name == "crc" && !hasValue) {
        faults->corruptCrc = true;
    } else if (name == "delay" && ParseLong(value, 0, 600000, &n)) {
        faults->delayMs = static_cast<int>(n);
    } else if (name == "truncate" && ParseLong(value, 0, 1024, &n)) {
        faults->truncateTo = static_cast<int>(n);
    } else if (name == "exception" && ParseLong(value, 1, 255, &n)) {
        faults->exceptionCode = static_cast<int>(n);
    } else if (name == "garbage" && ParseLong(value, 1, 1024, &n)) {
        faults->garbageBytes = static_cast<int>(n);
    } else if (name == "split" && ParseLong(value, 1, 600000, &n)) {
        faults->splitPauseMs = static_cast<int>(n);
    } else if (name == "count" && ParseLong(value, 1, 1000000000, &n)) {
        faults->count = static_cast<int>(n);
    } else if (name == "hangup" && ParseDouble(value, 0, 1e6, hangupSeconds)) {
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int com = 0;
    std::string link;
    SimMeterState state;
    SimFaults faults;
    bool pacing = true;
    int calibrateMs = CMeterSim::kDefaultCalibrateMs;
    double hangupSeconds = -1;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
        }
        auto next = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                UsageError(arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&]() {
            if (inlineValue)
                UsageError(arg + " takes no value");
        };
        long n = 0;
        double d = 0;
        if (arg == "--version") {
            flag();
            std::printf("quorvan-meter-sim %s\n", QUORVAN_VERSION);
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--com") {
            const std::string v = next();
            n = ParseComPortName(v);
            if (n == 0 && !ParseLong(v, 1, kMaxComPort, &n))
                UsageError("--com wants a port number 1-" + std::to_string(kMaxComPort) + ": " + v);
            com = static_cast<int>(n);
        } else if (arg == "--link") {
            link = next();
            if (link.empty())
                UsageError("--link wants a path");
        } else if (arg == "--voltage" || arg == "--current" || arg == "--high" || arg == "--low") {
            const std::string v = next();
            if (!ParseDouble(v, 0, 655.35, &d))
                UsageError(arg + " wants a value from 0 to 655.35: " + v);
            uint16_t* field = arg == "--voltage"   ? &state.voltage
                              : arg == "--current" ? &state.current
                              : arg == "--high"    ? &state.highVoltage
                                                   : &state.lowVoltage;
            *field = Hundredths(d);
        } else if (arg == "--energy") {
            const std::string v = next();
            if (!ParseLong(v, 0, 4294967295L, &n))
                UsageError("--energy wants whole Wh from 0 to 4294967295: " + v);
            state.energy = static_cast<uint32_t>(n);
        } else if (arg == "--address") {
            const std::string v = next();
            if (!ParseLong(v, 1, 247, &n))
                UsageError("--address wants 1-247: " + v);
            state.address = static_cast<uint16_t>(n);
        } else if (arg == "--range") {
            const std::string v = next();
            if (!ParseLong(v, 0, 65535, &n))
                UsageError("--range wants a code 0-65535: " + v);
            state.currentRange = static_cast<uint16_t>(n);
        } else if (arg == "--fixed") {
            flag();
            state.fixed = true;
        } else if (arg == "--no-pacing") {
            flag();
            pacing = false;
        } else if (arg == "--calibrate-ms") {
            const std::string v = next();
            if (!ParseLong(v, 0, 600000, &n))
                UsageError("--calibrate-ms wants 0-600000: " + v);
            calibrateMs = static_cast<int>(n);
        } else if (arg == "--fault") {
            const std::string v = next();
            if (!ParseFault(v, &faults, &hangupSeconds))
                UsageError("unknown fault: " + v);
        } else {
            UsageError("unknown argument: " + arg);
        }
    }
    if (com != 0 && !link.empty())
        UsageError("--com and --link exclude each other");

    // The signals are taken with sigwait; the meter's thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    CMeterSim sim;
    sim.SetState(state);
    sim.SetPacing(pacing);
    sim.SetCalibrateMs(calibrateMs);
    sim.SetFaults(faults);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "quorvan-meter-sim: cannot open a pseudo-terminal: %s\n",
                     error.c_str());
        return 1;
    }
    std::printf("%s\n", sim.DevicePath().c_str());
    std::fflush(stdout);

    if (com != 0) {
        if (!sim.LinkCom(com, &error)) {
            std::fprintf(stderr, "quorvan-meter-sim: cannot make the COM%d alias: %s\n", com,
                         error.c_str());
            return 1;
        }
        std::fprintf(stderr, "quorvan-meter-sim: %s\n", ComPortLabel(com).c_str());
    } else if (!link.empty()) {
        if (!sim.LinkAt(link, &error)) {
            std::fprintf(stderr, "quorvan-meter-sim: cannot make the link: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "quorvan-meter-sim: %s -> %s\n", link.c_str(),
                     sim.DevicePath().c_str());
    }
    std::fprintf(stderr, "quorvan-meter-sim: answering at 9600 baud 8N2; Ctrl+C stops\n");

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
    sim.Stop();
    return 0;
}
