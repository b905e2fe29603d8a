#include "ProcessStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

// Seconds since 1970 at which the machine booted ("btime" in /proc/stat).
long long BootTime()
{
    std::ifstream stat("/proc/stat");
    std::string key;
    long long value = 0;
    while (stat >> key) {
        if (key == "btime" && stat >> value)
            return value;
        stat.ignore(4096, '\n');
    }
    return 0;
}

int64_t OpenDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int64_t n = 0;
    while (const dirent* e = readdir(dir))
        n += e->d_name[0] != '.';
    closedir(dir);
    return n - 1;  // the descriptor of the listing itself
}

}  // namespace

ProcessStats ReadProcessStats()
{
    ProcessStats stats;
    std::ifstream file("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks and parentheses: the
    // fields are counted from the last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return stats;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0, start = 0, vsize = 0;
    long long rss = 0;
    // Field 3 is the state; utime is 14, stime 15, starttime 22, vsize 23, rss 24.
    for (int n = 3; n <= 24 && fields >> field; ++n) {
        if (n == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        else if (n == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
        else if (n == 22)
            start = std::strtoull(field.c_str(), nullptr, 10);
        else if (n == 23)
            vsize = std::strtoull(field.c_str(), nullptr, 10);
        else if (n == 24)
            rss = std::strtoll(field.c_str(), nullptr, 10);
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    if (ticks <= 0 || page <= 0 || !fields)
        return stats;
    stats.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(ticks);
    stats.residentBytes = static_cast<uint64_t>(rss > 0 ? rss : 0) * static_cast<uint64_t>(page);
    stats.virtualBytes = vsize;
    stats.startTimeSeconds =
        static_cast<double>(BootTime()) + static_cast<double>(start) / static_cast<double>(ticks);
    stats.openFds = OpenDescriptors();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        stats.maxFds = static_cast<int64_t>(limit.rlim_cur);
    stats.ok = true;
    return stats;
}
