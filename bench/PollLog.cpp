// quorvan_poll_log: a simulated meter that times the requests it hears, so
// the poll period of any master (quorvan-cli watch, the panel) is measured
// the same way, at the meter.
//
//   quorvan_poll_log --com N --seconds S [--no-pacing]
// Prints "ready" once the COMn alias exists, "heard" at the first request,
// then after S seconds (or on
// SIGTERM/SIGINT) one JSON line with the request count and the intervals
// between requests in milliseconds.
#include "CMeterSim.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

double Percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 1;
    double seconds = 60;
    bool pacing = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--com") == 0 && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--no-pacing") == 0)
            pacing = false;
        else {
            std::fprintf(stderr, "usage: quorvan_poll_log --com N --seconds S [--no-pacing]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    CMeterSim sim;
    std::string error;
    SimMeterState state;
    state.voltage = 5123;
    state.current = 450;
    state.energy = 12345;
    state.fixed = true;
    if (!sim.Start(&error) || !sim.LinkCom(port, &error)) {
        std::fprintf(stderr, "quorvan_poll_log: %s\n", error.c_str());
        return 1;
    }
    sim.SetState(state);
    sim.SetPacing(pacing);
    std::printf("ready\n");
    std::fflush(stdout);

    // The request count is sampled every millisecond: that is the resolution.
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<Clock::time_point> heard;
    unsigned seen = sim.RequestCount();
    while (g_stop == 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const unsigned now = sim.RequestCount();
        if (now != seen) {
            heard.push_back(Clock::now());
            seen = now;
            if (heard.size() == 1) {
                std::printf("heard\n");
                std::fflush(stdout);
            }
        }
    }
    sim.Stop();

    std::vector<double> gaps;
    for (size_t i = 1; i < heard.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(heard[i] - heard[i - 1]).count());
    std::sort(gaps.begin(), gaps.end());
    double sum = 0;
    for (double g : gaps)
        sum += g;
    std::printf(
        "{\"requests\": %zu, \"mean_ms\": %.2f, \"median_ms\": %.2f, \"p5_ms\": %.2f, "
        "\"p95_ms\": %.2f, \"min_ms\": %.2f, \"max_ms\": %.2f}\n",
        heard.size(), gaps.empty() ? 0 : sum / static_cast<double>(gaps.size()),
        Percentile(gaps, 0.5), Percentile(gaps, 0.05), Percentile(gaps, 0.95),
        gaps.empty() ? 0 : gaps.front(), gaps.empty() ? 0 : gaps.back());
    return 0;
}
