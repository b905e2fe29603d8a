#include "MqttMessages.h"

#include "MeterFormat.h"

#include <cstdio>

namespace {

// Where an entity finds its value.
enum class Source { kState, kDiagnostics };

// One entity of a meter's device.
struct Entity {
    const char* component;  // "sensor" or "binary_sensor"
    const char* object;     // suffix of ids and topics
    const char* name;
    const char* valueTemplate;
    const char* unit;         // "" for none
    const char* deviceClass;  // "" for none
    const char* stateClass;   // "" for none
    int precision;            // shown decimals; -1 for none
    Source source;            // diagnostics: available while the service is, and so shown
                              // while the meter is down
};

// The keys are the client's --json keys; precision is what the meter sends.
const Entity kEntities[] = {
    {"sensor", "voltage", "Voltage", "{{ value_json.voltage_v }}", "V", "voltage", "measurement", 2,
     Source::kState},
    {"sensor", "current", "Current", "{{ value_json.current_a }}", "A", "current", "measurement", 2,
     Source::kState},
    {"sensor", "power", "Power", "{{ value_json.power_w }}", "W", "power", "measurement", 1,
     Source::kState},
    {"sensor", "energy", "Energy", "{{ value_json.energy_wh }}", "Wh", "energy", "total_increasing",
     0, Source::kState},
    {"binary_sensor", "voltage_alarm", "Voltage alarm",
     "{{ 'ON' if value_json.voltage_alarm else 'OFF' }}", "", "problem", "", -1, Source::kState},
    {"sensor", "poll_failures", "Poll failures", "{{ value_json.poll_failures }}", "", "",
     "total_increasing", 0, Source::kDiagnostics},
    {"sensor", "last_reading", "Last reading", "{{ value_json.last_reading }}", "", "timestamp", "",
     -1, Source::kDiagnostics},
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

std::string Origin(const std::string& origin)
{
    return "\"origin\":{" + Field("name", origin) + "," + Field("sw_version", QUORVAN_VERSION) +
           "}";
}

std::string EntityConfig(const MqttSettings& settings, const std::string& meter,
                         const std::string& origin, const Entity& e)
{
    const std::string node = MqttSafeId(settings.clientId);
    const std::string id = MqttSafeId(meter);
    const bool diagnostic = e.source == Source::kDiagnostics;
    const std::string topic =
        diagnostic ? MqttDiagnosticsTopic(settings, meter) : MqttStateTopic(settings, meter);
    // Appended, not "{" + string: g++ 12 takes the latter's insert at the
    // front for an overlapping copy at -O3 (-Wrestrict).
    std::string json = "{";
    json += Field("name", e.name) + "," + Field("unique_id", node + "_" + id + "_" + e.object) +
            "," + Field("state_topic", topic) + "," + Field("value_template", e.valueTemplate) +
            ",";
    if (e.unit[0] != '\0')
        json += Field("unit_of_measurement", e.unit) + ",";
    if (e.deviceClass[0] != '\0')
        json += Field("device_class", e.deviceClass) + ",";
    if (e.stateClass[0] != '\0')
        json += Field("state_class", e.stateClass) + ",";
    if (e.precision >= 0)
        json += "\"suggested_display_precision\":" + std::to_string(e.precision) + ",";
    if (diagnostic) {
        json += Field("entity_category", "diagnostic") + "," +
                Field("availability_topic", MqttStatusTopic(settings)) + ",";
    } else {
        json += "\"availability\":[{" + Field("topic", MqttStatusTopic(settings)) + "},{" +
                Field("topic", MqttAvailabilityTopic(settings, meter)) + "}]," +
                Field("availability_mode", "all") + ",";
    }
    json += "\"device\":{\"identifiers\":[" + Quoted(node + "_" + id) + "]," +
            Field("name", meter) + "," + Field("manufacturer", "Quorvan") + "," +
            Field("model", "DC energy meter") + "," + Field("via_device", node) + "},";
    return json + Origin(origin) + "}";
}

std::string DiscoveryTopic(const MqttSettings& settings, const char* component,
                           const std::string& object)
{
    return settings.discoveryPrefix + "/" + component + "/" + MqttSafeId(settings.clientId) + "/" +
           object + "/config";
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

std::string MqttDiagnosticsTopic(const MqttSettings& settings, const std::string& meter)
{
    return settings.topicPrefix + "/" + MqttSafeId(meter) + "/diagnostics";
}

std::string MqttBirthTopic(const MqttSettings& settings)
{
    return settings.discoveryPrefix + "/status";
}

std::string MqttOwnDiscoveryFilter(const MqttSettings& settings)
{
    return settings.discoveryPrefix + "/+/" + MqttSafeId(settings.clientId) + "/+/config";
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

MqttMessage MqttDiagnostics(const MqttSettings& settings, const MeterSnapshot& snapshot)
{
    const std::string last =
        snapshot.haveReading ? Quoted(UtcTimestamp(snapshot.readingUnixMs)) : "null";
    return MqttMessage{MqttDiagnosticsTopic(settings, snapshot.name),
                       "{\"polls\": " + std::to_string(snapshot.polls) + ", \"poll_failures\": " +
                           std::to_string(snapshot.failures) + ", \"last_reading\": " + last + "}",
                       false};
}

std::vector<MqttMessage> MqttDiscovery(const MqttSettings& settings, const std::string& meter,
                                       const std::string& origin)
{
    std::vector<MqttMessage> messages;
    for (const Entity& e : kEntities) {
        messages.push_back(
            MqttMessage{DiscoveryTopic(settings, e.component, MqttSafeId(meter) + "_" + e.object),
                        EntityConfig(settings, meter, origin, e), true});
    }
    return messages;
}

MqttMessage MqttServiceDiscovery(const MqttSettings& settings, const std::string& origin)
{
    const std::string node = MqttSafeId(settings.clientId);
    // Appended, not "{" + string (g++ 12's -Wrestrict at -O3, as above).
    std::string json = "{";
    json += Field("name", "Connection") + "," + Field("unique_id", node + "_status") + "," +
            Field("state_topic", MqttStatusTopic(settings)) + "," + Field("payload_on", "online") +
            "," + Field("payload_off", "offline") + "," + Field("device_class", "connectivity") +
            "," + Field("entity_category", "diagnostic") + "," + "\"device\":{\"identifiers\":[" +
            Quoted(node) + "]," + Field("name", settings.clientId) + "," +
            Field("manufacturer", "Quorvan-Master") + "," + Field("model", origin) + "," +
            Field("sw_version", QUORVAN_VERSION) + "}," + Origin(origin) + "}";
    return MqttMessage{DiscoveryTopic(settings, "binary_sensor", "service_status"), json, true};
}
