// The broker connection of the service, as the configuration gives it.
#pragma once

#include <string>

// When a meter's state goes out.
enum class MqttPublish {
    kOnChange,   // a change beyond a deadband, any energy or alarm change, or maxSilenceMs passed
    kEveryPoll,  // every good poll
};

struct MqttSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;  // 8883 is usual with TLS
    std::string clientId = "quorvan-meterd";
    std::string topicPrefix = "quorvan";            // states on <prefix>/<meter>/state
    std::string discoveryPrefix = "homeassistant";  // Home Assistant's discovery topics
    std::string credentialsFile;  // "" for none; user and password, readable by the service alone
    std::string caFile;           // "" for plain TCP; a CA file turns TLS on
    int keepaliveSeconds = 30;

    // The publishing policy. Deadbands are in the meter's own steps:
    // hundredths of a volt and of an ampere, tenths of a watt.
    MqttPublish publish = MqttPublish::kOnChange;
    int maxSilenceMs = 60000;
    int voltageDeadband = 10;  // 0.10 V
    int currentDeadband = 5;   // 0.05 A
    int powerDeadband = 10;    // 1.0 W

    bool operator==(const MqttSettings&) const = default;
};

// "host:port", as the log and the errors name the broker.
inline std::string MqttBrokerText(const MqttSettings& settings)
{
    return settings.host + ":" + std::to_string(settings.port);
}
