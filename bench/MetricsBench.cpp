// What a scrape costs the service: copying the snapshots out of the store
// and rendering them as the Prometheus text (the process figures, read
// from /proc at each scrape, are measured apart) (goal: 32 meters well under
// 1 ms). The HTTP side adds the library's own work on top.
#include "CSnapshotStore.h"
#include "MetricsText.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void FillStore(CSnapshotStore* store, int meters)
{
    for (int i = 0; i < meters; ++i) {
        MeterSnapshot m;
        m.name = "meter-" + std::to_string(i);
        m.port = "/dev/serial/by-id/usb-1a86_USB_Serial-if0" + std::to_string(i / 8) + "-port0";
        m.address = static_cast<uint8_t>(1 + i % 8);
        m.up = i % 8 != 7;  // one in eight down: its values left out
        m.haveReading = true;
        m.reading = Measurement{5123, 450, 2305, 1234567, 0, 0};
        m.readingUnixMs = 1796726059005;
        m.polls = 123456;
        m.failures = 12;
        store->Put(m);
    }
}

void BM_ScrapeMetrics(benchmark::State& state)
{
    CSnapshotStore store;
    FillStore(&store, static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text;
        RenderMetrics(store.View(), ProcessStats{}, &text);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ScrapeMetrics)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

// Reading the process_* figures from /proc, once per scrape.
void BM_ProcessStats(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadProcessStats());
}
BENCHMARK(BM_ProcessStats)->Unit(benchmark::kMicrosecond);

}  // namespace
