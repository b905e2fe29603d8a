// The service's own process as Prometheus's client libraries describe
// theirs (the process_* metrics). Read at scrape time from the system;
// this header is the whole interface: ProcessStatsLinux.cpp reads /proc,
// ProcessStatsWin32.cpp asks Windows (handles count as descriptors there).
#pragma once

#include <cstdint>

struct ProcessStats {
    bool ok = false;        // false when the system would not say; nothing else is set then
    double cpuSeconds = 0;  // user + system
    uint64_t residentBytes = 0;
    uint64_t virtualBytes = 0;
    int64_t openFds = -1;         // -1: unknown
    int64_t maxFds = -1;          // the soft limit; -1: unknown or unlimited
    double startTimeSeconds = 0;  // Unix time the process started
};

ProcessStats ReadProcessStats();
