// What the service's end-to-end tests share, the Linux program's and the
// Windows one's under Wine: the two simulated meters they watch, the
// labels of those meters' series, the port the log names and a wait for
// a scrape that shows given lines.
#pragma once

#include "CMeterSim.h"
#include "TestHttp.h"
#include "TestWait.h"

#include <chrono>
#include <initializer_list>
#include <regex>
#include <string>

inline const std::string kBattery = "{meter=\"battery\"}";
inline const std::string kSolar = "{meter=\"solar\"}";
// battery: 51.23 V, 4.50 A, 12345 Wh at address 1; solar: 48.00 V, 1.00 A,
// 99 Wh at address 7.
inline const SimMeterState kBatteryState{5123, 450, 12345, 30000, 1000, 1, 0, true};
inline const SimMeterState kSolarState{4800, 100, 99, 30000, 1000, 7, 0, true};

// The port of "serving metrics on http://127.0.0.1:PORT/metrics"; 0 if
// the line says none.
inline int ServedPort(const std::string& logLine)
{
    std::smatch port;
    return std::regex_search(logLine, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/metrics"))
               ? std::stoi(port[1])
               : 0;
}

// Waits until one scrape of 127.0.0.1:port/metrics holds every part.
inline bool MetricsShow(int port, std::initializer_list<std::string> parts,
                        std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    return WaitFor(
        [&] {
            const std::string text = HttpGet(port, "/metrics");
            for (const std::string& part : parts)
                if (text.find(part) == std::string::npos)
                    return false;
            return true;
        },
        limit);
}
