// The process figures on Windows, named as Prometheus's client libraries
// name them there: handles stand for file descriptors, the commit charge
// (the private bytes the process alone uses) for the virtual size.
#include "ProcessStats.h"

#include <windows.h>

#include <psapi.h>

namespace {

// A FILETIME counts 100 ns steps; as a point in time, since 1601.
constexpr double kTicksPerSecond = 1e7;
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;
// Windows gives a process at most 2^24 handles.
constexpr int64_t kMaxHandles = 16 * 1024 * 1024;

uint64_t Ticks(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

ProcessStats ReadProcessStats()
{
    ProcessStats stats;
    const HANDLE self = GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!GetProcessTimes(self, &created, &exited, &kernel, &user) ||
        !GetProcessMemoryInfo(self, &memory, sizeof memory))
        return stats;
    stats.cpuSeconds = static_cast<double>(Ticks(kernel) + Ticks(user)) / kTicksPerSecond;
    stats.residentBytes = memory.WorkingSetSize;
    stats.virtualBytes = memory.PagefileUsage;  // the commit charge, despite the name
    stats.startTimeSeconds =
        static_cast<double>(Ticks(created) - kUnixEpochTicks) / kTicksPerSecond;
    // A running process holds handles; Wine's count is always 0, and is
    // left out rather than shown.
    DWORD handles = 0;
    if (GetProcessHandleCount(self, &handles) && handles > 0)
        stats.openFds = handles;
    stats.maxFds = kMaxHandles;
    stats.ok = true;
    return stats;
}
