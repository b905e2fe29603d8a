#include "ServiceLog.h"

#include <unistd.h>

void LogToStderr(const std::string& line)
{
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            return;  // nowhere to log to; the service goes on regardless
        done += static_cast<size_t>(n);
    }
}
