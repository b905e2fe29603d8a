// One measurement exchange against the in-process simulated meter, with
// and without line pacing, the CPU it costs, and the checksum per byte.
//
// The simulated meter runs on its own thread behind a COM alias in a
// temporary XDG_CONFIG_HOME, so the exchange goes through the real port
// mapping, CSerial and CModBusRtu.
#include "CMeterSim.h"
#include "CModBusRtu.h"
#include "Crc16.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/resource.h>

namespace {

constexpr int kBenchPort = 200;
// Request and answer on the wire: 8 + 21 bytes of 11 bits at 9600 baud.
constexpr double kWireFloorMs = 29 * 11 * 1000.0 / 9600;
// Only the answer is paced: a pty delivers the request at once.
constexpr double kAnswerWireMs = 21 * 11 * 1000.0 / 9600;

double CpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The meter and an open port to it, shared by every run of the process.
struct Rig {
    std::string configDir;
    CMeterSim sim;
    CModBusRtu link;
    bool ok = false;

    Rig()
    {
        char pattern[] = "/tmp/quorvan-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        configDir = pattern;
        setenv("XDG_CONFIG_HOME", configDir.c_str(), 1);
        std::string error;
        SimMeterState state;
        state.voltage = 5123;
        state.current = 450;
        state.energy = 12345;
        state.fixed = true;
        ok = sim.Start(&error) && sim.LinkCom(kBenchPort, &error);
        sim.SetState(state);
        ok = ok && link.OpenPort(kBenchPort, 9600) == 1;
    }
    ~Rig()
    {
        link.Serial().Close();
        sim.Stop();
        std::error_code ec;
        std::filesystem::remove_all(configDir, ec);
    }
};

Rig& TheRig()
{
    static Rig rig;
    return rig;
}

void BM_ReadMeasurements(benchmark::State& state)
{
    Rig& rig = TheRig();
    if (!rig.ok) {
        state.SkipWithError("simulated meter or port did not start");
        return;
    }
    const bool paced = state.range(0) != 0;
    rig.sim.SetPacing(paced);

    MeterReading reading{};
    int failures = 0;
    const double threadCpu0 = CpuSeconds(RUSAGE_THREAD);
    const double processCpu0 = CpuSeconds(RUSAGE_SELF);
    for (auto _ : state) {
        if (rig.link.ReadMeasurements(&reading) != kMeterOk)
            ++failures;
        benchmark::DoNotOptimize(reading);
    }
    const double n = static_cast<double>(state.iterations());
    // Our side alone, and the whole process (the meter's thread included).
    state.counters["client_cpu_us"] = (CpuSeconds(RUSAGE_THREAD) - threadCpu0) * 1e6 / n;
    state.counters["process_cpu_us"] = (CpuSeconds(RUSAGE_SELF) - processCpu0) * 1e6 / n;
    state.counters["failures"] = failures;
    if (paced) {
        state.counters["wire_floor_ms"] = kWireFloorMs;
        state.counters["answer_wire_ms"] = kAnswerWireMs;
    }
}
BENCHMARK(BM_ReadMeasurements)
    ->ArgName("pacing")
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_ReadMeasurements)
    ->ArgName("pacing")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(60);

void BM_Crc16(benchmark::State& state)
{
    uint8_t bytes[255];
    for (unsigned i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    const auto length = static_cast<uint8_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(Crc16(length, bytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.counters["time_per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * length,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// 19: the longest span the meter's frames have; 255: the longest there is.
BENCHMARK(BM_Crc16)->Arg(19)->Arg(255);

}  // namespace

BENCHMARK_MAIN();
