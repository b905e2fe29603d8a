// The service's log: one line per event on standard error, which journald
// keeps when systemd runs the service. On Windows, where only the console
// shows it, each line starts with the local date and time
// (ServiceLog_win32.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Where a part of the service sends its events; it may be called from any
// thread.
using LogFn = std::function<void(const std::string& line)>;

// Writes "line\n" to standard error in one write(), so lines from several
// threads never interleave.
void LogToStderr(const std::string& line);

// The log's words: "1 line", "2 meters"; "3 s", "250 ms".
std::string CountText(std::size_t n, const char* one, const char* many);
std::string DurationText(int ms);
