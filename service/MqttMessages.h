// What the service says on the broker, as topics and payloads; no network.
//
//   <prefix>/status                 "online"/"offline", retained (the last will)
//   <prefix>/<meter>/availability   "online"/"offline", retained
//   <prefix>/<meter>/state          the reading, as quorvan-cli's --json
//   <discovery>/sensor/<node>/<meter>_<quantity>/config         retained
//   <discovery>/binary_sensor/<node>/<meter>_voltage_alarm/config
//
// <meter> is the configured meter name, <node> the client id; both reduced
// to letters, digits, '_' and '-', which topics and Home Assistant ids take
// as they are.
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
// Home Assistant publishes "online" here when it (re)starts.
std::string MqttBirthTopic(const MqttSettings& settings);

// The reading with its time, the client's JSON without the newline.
MqttMessage MqttState(const MqttSettings& settings, const MeterSnapshot& snapshot);
MqttMessage MqttAvailability(const MqttSettings& settings, const std::string& meter, bool online);

// One device per meter: voltage, current, power and energy sensors and the
// voltage alarm as a binary sensor, each available only while both the
// service and the meter are. `origin` names the program in Home Assistant.
std::vector<MqttMessage> MqttDiscovery(const MqttSettings& settings, const std::string& meter,
                                       const std::string& origin);
