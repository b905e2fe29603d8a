// quorvan-meterd's configuration file (TOML) as a plain value.
//
//   interval = "1s"                  # each meter once a second; "0s": as fast as the line allows
//   [http]
//   listen = "127.0.0.1:9788"        # HOST:PORT or [IPv6]:PORT; port 0 takes any free one
//   [http.tls]                       # optional: HTTPS
//   cert_file = "/etc/..."  key_file = "/etc/..."  client_ca_file = "/etc/..."
//   [http.basic_auth_users]          # optional: user = "bcrypt hash"
//   prometheus = "$2y$10$..."
//   [mqtt]                           # optional; its presence turns the broker on
//   host = "broker.lan"  port = 8883  credentials = "/etc/..."  ca_file = "/etc/..."
//   publish = "on_change"  max_silence = "60s"  voltage_deadband = 0.1  ...
//   [[line]]
//   port = "COM1"                    # COMn (PortMap.h) or a device path (/dev/..., \\.\NAME)
//     [[line.meter]]
//     name = "battery"               # letters, digits, '_' and '-'; unique in the file
//     address = 1                    # the meter's own address, 1..247; unique on its line
//
// Parsing touches no device: a refusal is one "FILE:LINE: reason" sentence,
// LINE being where the offending key stands.
#pragma once

#include "HttpAccess.h"
#include "MeterdSystem.h"
#include "MqttSettings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct MeterConfig {
    std::string name;
    uint8_t address = 0;
    int sourceLine = 0;  // where the meter's table starts; not part of equality

    bool operator==(const MeterConfig& other) const
    {
        return name == other.name && address == other.address;
    }
};

struct LineConfig {
    std::string port;  // as the poller labels it: "COM3" (upper case) or the path
    int comPort = 0;   // n of COMn; 0 when `port` is a path
    std::vector<MeterConfig> meters;

    bool operator==(const LineConfig& other) const
    {
        return port == other.port && meters == other.meters;
    }
};

struct MeterdConfig {
    int intervalMs = 1000;
    std::string listenHost = "127.0.0.1";
    int listenPort = 9788;
    HttpAccess access;  // TLS and users; empty: plain HTTP, open to all
    std::vector<LineConfig> lines;
    MqttSettings mqtt;
};

struct ConfigResult {
    bool ok = false;
    std::string error;  // "FILE:LINE: reason" (or "FILE: reason") when !ok
    MeterdConfig config;
};

constexpr int kMaxIntervalMs = 3600 * 1000;
constexpr int kMaxUsers = 64;
constexpr int kMaxLines = 64;
constexpr std::size_t kMaxNameLength = 64;
constexpr std::size_t kMaxConfigBytes = 1 << 20;

// `fileName` only labels the messages; `can` says which optional parts may
// be asked for.
ConfigResult ParseMeterdConfig(std::string_view text, const std::string& fileName,
                               const MeterdAbilities& can = BuildAbilities());
// Reads at most kMaxConfigBytes of `path` and parses them.
ConfigResult LoadMeterdConfig(const std::string& path);

// "127.0.0.1:9788", "[::1]:9788": the listen address as written.
std::string ListenText(const std::string& host, int port);
std::string ListenText(const MeterdConfig& config);
// All meters of all lines.
std::size_t MeterCount(const MeterdConfig& config);
