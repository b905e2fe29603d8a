// The log on Windows: no journal keeps the console's lines, so each starts
// with the local date and time. Text mode ends it with CR LF.
#include "ServiceLog.h"

#include <cstdio>

#include <io.h>
#include <windows.h>

void LogToStderr(const std::string& line)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    const std::string text = stamp + line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const int n = _write(2, text.data() + done, static_cast<unsigned>(text.size() - done));
        if (n <= 0)
            return;  // nowhere to log to; the service goes on regardless
        done += static_cast<size_t>(n);
    }
}
