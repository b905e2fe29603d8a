// What the service says on the broker, as topics and payloads; no network.
//
//   <prefix>/status                 "online"/"offline", retained (the last will)
//   <prefix>/<meter>/availability   "online"/"offline", retained
//   <prefix>/<meter>/state          the reading, as quorvan-cli's --json
//   <prefix>/<meter>/diagnostics    polls, poll failures, time of the last reading
//   <discovery>/sensor/<node>/<meter>_<object>/config          retained
//   <discovery>/binary_sensor/<node>/<meter>_voltage_alarm/config
//   <discovery>/binary_sensor/<node>/service_status/config     the service itself
//
// <meter> is the configured meter name, <node> the client id; both reduced
// to letters, digits, '_' and '-', which topics and Home Assistant ids take
// as they are. In Home Assistant the service is a device of its own (its
// version, its connection) and each meter a device connected through it.
#pragma once

#include "MeterSnapshot.h"
#include "MqttSettings.h"

#include <string>
#include <vector>

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// `text` with every character outside [A-Za-z0-9_-] replaced by '_';
// "_" for an empty text.
std::string MqttSafeId(const std::string& text);

std::string MqttStatusTopic(const MqttSettings& settings);
std::string MqttAvailabilityTopic(const MqttSettings& settings, const std::string& meter);
std::string MqttStateTopic(const MqttSettings& settings, const std::string& meter);
std::string MqttDiagnosticsTopic(const MqttSettings& settings, const std::string& meter);
// Home Assistant publishes "online" here when it (re)starts.
std::string MqttBirthTopic(const MqttSettings& settings);
// Every discovery config under this service's node: the filter that finds
// configs left by meters no longer configured.
std::string MqttOwnDiscoveryFilter(const MqttSettings& settings);

// The reading with its time, the client's JSON without the newline.
MqttMessage MqttState(const MqttSettings& settings, const MeterSnapshot& snapshot);
MqttMessage MqttAvailability(const MqttSettings& settings, const std::string& meter, bool online);
// {"polls": 12, "poll_failures": 1, "last_reading": "2026-...Z"} (null before any reading).
MqttMessage MqttDiagnostics(const MqttSettings& settings, const MeterSnapshot& snapshot);

// One device per meter, connected through the service's device:
// voltage, current, power and energy sensors and the voltage alarm as a
// binary sensor, each available only while both the service and the meter
// are; poll failures and the time of the last reading as diagnostic
// entities, available while the service is. `origin` names the program.
std::vector<MqttMessage> MqttDiscovery(const MqttSettings& settings, const std::string& meter,
                                       const std::string& origin);
// The service's own device: its connection as a diagnostic entity.
MqttMessage MqttServiceDiscovery(const MqttSettings& settings, const std::string& origin);
