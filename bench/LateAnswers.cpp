// How late may a meter answer before its neighbours lose a poll? The real
// line poller (interval 0, the meter's real limits) against three simulated
// meters on one pty, paced at 9600 baud 8N2; the middle one answers every
// request `delay` ms late (counted, as the simulator does, from the end of
// the request's wire time). For each delay: the neighbours' polls and failed
// polls, and the time a round took.
//
//   quorvan_late_answers [POLLS [DELAY_MS...]]   (4 polls, 1000 to 2000 ms)
//
// A report, not a test: docs/RELIABILITY.md holds the figures.
#include "CLinePoller.h"
#include "CMeterSim.h"
#include "CSnapshotStore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The request's 8 characters and the answer's first, at 11 bits and 9600 baud.
constexpr double kFirstByteAfterMs = 9 * 11 * 1000.0 / 9600;

uint64_t Polls(const CSnapshotStore& store, const std::string& name, uint64_t* failures)
{
    for (const MeterSnapshot& s : store.Copy())
        if (s.name == name) {
            if (failures != nullptr)
                *failures = s.failures;
            return s.polls;
        }
    return 0;
}

struct Point {
    int delayMs = 0;
    uint64_t neighbourPolls = 0, neighbourFailures = 0, latePolls = 0, lateFailures = 0;
    double roundMs = 0;
};

bool Measure(int delayMs, uint64_t polls, Point* point)
{
    CMeterSim sim;
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
    }
    for (uint16_t address = 1; address <= 3; ++address) {
        SimMeterState state;
        state.address = address;
        state.fixed = true;
        if (address == 1)
            sim.SetState(state);
        else
            sim.AddMeter(state);
    }
    SimFaults late;
    late.delayMs = delayMs;
    sim.SetFaults(2, late);

    LineConfig line;
    line.port = sim.DevicePath();
    line.meters = {{"a", 1, 0}, {"b", 2, 0}, {"c", 3, 0}};
    CSnapshotStore store;
    auto poller = std::make_unique<CLinePoller>(line, 0, store, [](const std::string&) {});
    poller->Start();
    // From b's first poll to its last: whole rounds.
    Clock::time_point first{};
    for (uint64_t seen = 0; (seen = Polls(store, "b", nullptr)) < polls + 1;) {
        if (first == Clock::time_point{} && seen >= 1)
            first = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const Clock::time_point last = Clock::now();
    poller.reset();

    point->delayMs = delayMs;
    uint64_t f = 0;
    point->neighbourPolls = Polls(store, "a", &f);
    point->neighbourFailures = f;
    point->neighbourPolls += Polls(store, "c", &f);
    point->neighbourFailures += f;
    point->latePolls = Polls(store, "b", &f);
    point->lateFailures = f;
    point->roundMs = std::chrono::duration<double, std::milli>(last - first).count() /
                     static_cast<double>(polls);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const uint64_t polls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4;
    std::vector<int> delays;
    for (int i = 2; i < argc; ++i)
        delays.push_back(std::atoi(argv[i]));
    if (delays.empty())
        delays = {1000, 1380, 1400, 1410, 1420, 1425, 1428,
                  1430, 1432, 1435, 1440, 1450, 1500, 2000};

    std::printf("limit %d ms; first byte of the answer due %.1f ms after the delay\n",
                CSerial::MeterReadTotalMs(kMeasurementAnswerBytes), kFirstByteAfterMs);
    std::printf("%8s %14s %22s %18s %10s\n", "delay", "first byte at", "neighbours polls/fail",
                "late meter p/fail", "round");
    for (int delay : delays) {
        Point p;
        if (!Measure(delay, polls, &p))
            return 1;
        std::printf("%6d ms %11.1f ms %15llu / %-4llu %12llu / %-4llu %7.0f ms\n", p.delayMs,
                    p.delayMs + kFirstByteAfterMs,
                    static_cast<unsigned long long>(p.neighbourPolls),
                    static_cast<unsigned long long>(p.neighbourFailures),
                    static_cast<unsigned long long>(p.latePolls),
                    static_cast<unsigned long long>(p.lateFailures), p.roundMs);
        std::fflush(stdout);
    }
    return 0;
}
