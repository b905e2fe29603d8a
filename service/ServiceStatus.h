// What the service knows about its lines and itself, beside the meters'
// snapshots: kept in the store, shown on /metrics and the status page.
#pragma once

#include "MeterSnapshot.h"

#include <cstdint>
#include <string>
#include <vector>

struct LineStatus {
    std::string port;           // as configured: "COM3", "/dev/serial/by-id/..."
    std::string device;         // with the device it stands for: "COM3 (/dev/ttyUSB2)"
    bool open = false;          // the port is open and polled
    uint64_t openFailures = 0;  // failed attempts to open it, since the line started
    std::string lastError;      // why it is not open; "" while it is
};

struct ServiceFacts {
    int64_t startUnixMs = 0;
    bool reloadOk = true;      // the last reading of the configuration was taken
    int64_t reloadUnixMs = 0;  // when the configuration in force was taken
    std::string reloadError;   // why the last reload was refused
    bool mqttEnabled = false;
    bool mqttConnected = false;
    std::string mqttBroker;  // "host:port"
    std::string mqttError;   // why the broker connection is down; "" while up
};

// One consistent copy of everything, for a scrape or a page.
struct ServiceView {
    std::vector<MeterSnapshot> meters;  // by name
    std::vector<LineStatus> lines;      // by port
    ServiceFacts service;
};
