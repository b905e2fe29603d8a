#include "MqttMessages.h"

#include "MeterFormat.h"

#include <cstdio>

namespace {

// One entity of a meter's device.
struct Entity {
    const char* component;  // "sensor" or "binary_sensor"
    const char* object;     // suffix of ids and topics
    const char* name;
    const char* valueTemplate;
    const char* unit;  // "" for none
    const char* deviceClass;
    const char* stateClass;  // "" for none
    int precision;           // shown decimals; -1 for none
};

// The keys are the client's --json keys; precision is what the meter sends.
const Entity kEntities[] = {
    {"sensor", "voltage", "Voltage", "{{ value_json.voltage_v }}", "V", "voltage", "measurement",
     2},
    {"sensor", "current", "Current", "{{ value_json.current_a }}", "A", "current", "measurement",
     2},
    {"sensor", "power", "Power", "{{ value_json.power_w }}", "W", "power", "measurement", 1},
    {"sensor", "energy", "Energy", "{{ value_json.energy_wh }}", "Wh", "energy", "total_increasing",
     0},
    {"binary_sensor", "voltage_alarm", "Voltage alarm",
     "{{ 'ON' if value_json.voltage_alarm else 'OFF' }}", "", "problem", "", -1},
};

// A JSON string literal, quotes included.
std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Field(const char* key, const std::string& value)
{
    return std::string("\"") + key + "\":" + Quoted(value);
}

std::string EntityConfig(const MqttSettings& settings, const std::string& meter,
                         const std::string& origin, const Entity& e)
{
    const std::string node = MqttSafeId(settings.clientId);
    const std::string id = MqttSafeId(meter);
    // Appended, not "{" + string: g++ 12 takes the latter's insert at the
    // front for an overlapping copy at -O3 (-Wrestrict).
    std::string json = "{";
    json += Field("name", e.name) + "," +
            Field("unique_id", node + "_" + id + "_" + e.object) + "," +
            Field("state_topic", MqttStateTopic(settings, meter)) + "," +
            Field("value_template", e.valueTemplate) + ",";
    if (e.unit[0] != '\0')
        json += Field("unit_of_measurement", e.unit) + ",";
    json += Field("device_class", e.deviceClass) + ",";
    if (e.stateClass[0] != '\0')
        json += Field("state_class", e.stateClass) + ",";
    if (e.precision >= 0)
        json += "\"suggested_display_precision\":" + std::to_string(e.precision) + ",";
    json += "\"availability\":[{" + Field("topic", MqttStatusTopic(settings)) + "},{" +
            Field("topic", MqttAvailabilityTopic(settings, meter)) + "}]," +
            Field("availability_mode", "all") + ",";
    json += "\"device\":{\"identifiers\":[" + Quoted(node + "_" + id) + "]," +
            Field("name", meter) + "," + Field("manufacturer", "Quorvan") + "," +
            Field("model", "DC energy meter") + "},";
    json +=
        "\"origin\":{" + Field("name", origin) + "," + Field("sw_version", QUORVAN_VERSION) + "}}";
    return json;
}

}  // namespace

std::string MqttSafeId(const std::string& text)
{
    if (text.empty())
        return "_";
    std::string out = text;
    for (char& c : out) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok)
            c = '_';
    }
    return out;
}

std::string MqttStatusTopic(const MqttSettings& settings)
{
    return settings.topicPrefix + "/status";
}

std::string MqttAvailabilityTopic(const MqttSettings& settings, const std::string& meter)
{
    return settings.topicPrefix + "/" + MqttSafeId(meter) + "/availability";
}

std::string MqttStateTopic(const MqttSettings& settings, const std::string& meter)
{
    return settings.topicPrefix + "/" + MqttSafeId(meter) + "/state";
}

std::string MqttBirthTopic(const MqttSettings& settings)
{
    return settings.discoveryPrefix + "/status";
}

MqttMessage MqttState(const MqttSettings& settings, const MeterSnapshot& snapshot)
{
    std::string json = FormatReading(snapshot.reading, true, UtcTimestamp(snapshot.readingUnixMs));
    if (!json.empty() && json.back() == '\n')
        json.pop_back();
    // Not retained: a reading is news while its meter answers; a retained
    // one would be shown long after the meter went quiet.
    return MqttMessage{MqttStateTopic(settings, snapshot.name), json, false};
}

MqttMessage MqttAvailability(const MqttSettings& settings, const std::string& meter, bool online)
{
    return MqttMessage{MqttAvailabilityTopic(settings, meter), online ? "online" : "offline", true};
}

std::vector<MqttMessage> MqttDiscovery(const MqttSettings& settings, const std::string& meter,
                                       const std::string& origin)
{
    const std::string node = MqttSafeId(settings.clientId);
    std::vector<MqttMessage> messages;
    for (const Entity& e : kEntities) {
        messages.push_back(MqttMessage{settings.discoveryPrefix + "/" + e.component + "/" + node +
                                           "/" + MqttSafeId(meter) + "_" + e.object + "/config",
                                       EntityConfig(settings, meter, origin, e), true});
    }
    return messages;
}
