#include "MeterdConfig.h"

#include "PortMap.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>

namespace {

// The first refusal, already worded as "FILE:LINE: reason".
struct Refusal {
    const std::string& file;
    std::string text;
};

bool Refuse(Refusal* r, const toml::source_region& where, const std::string& reason)
{
    r->text = r->file + ":" + std::to_string(where.begin.line) + ": " + reason;
    return false;
}

std::string TypeWords(const toml::node& node)
{
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a floating-point number";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::date: return "a date";
        case toml::node_type::time: return "a time";
        case toml::node_type::date_time: return "a date-time";
        case toml::node_type::none: break;
    }
    return "nothing";
}

// Every key of `table` must be one of `known`; `where` names the table in
// the message ("[http]").
bool OnlyKnownKeys(const toml::table& table, std::initializer_list<std::string_view> known,
                   const char* where, Refusal* r)
{
    for (auto&& [key, node] : table) {
        bool found = false;
        for (std::string_view k : known)
            found = found || key.str() == k;
        if (found)
            continue;
        std::string list;
        for (std::string_view k : known)
            list += (list.empty() ? "" : ", ") + std::string(k);
        return Refuse(
            r, key.source(),
            "unknown key '" + std::string(key.str()) + "' in " + where + " (known: " + list + ")");
    }
    return true;
}

bool GetString(const toml::node& node, const char* key, std::string* value, Refusal* r)
{
    if (!node.is_string())
        return Refuse(r, node.source(),
                      std::string(key) + " must be a string, not " + TypeWords(node));
    *value = *node.value<std::string>();
    return true;
}

bool GetInteger(const toml::node& node, const char* key, int64_t min, int64_t max, int64_t* value,
                Refusal* r)
{
    const std::string range = std::to_string(min) + " to " + std::to_string(max);
    if (!node.is_integer())
        return Refuse(r, node.source(),
                      std::string(key) + " must be a whole number from " + range + ", not " +
                          TypeWords(node));
    const int64_t v = *node.value<int64_t>();
    if (v < min || v > max)
        return Refuse(r, node.source(),
                      std::string(key) + " must be from " + range + ", not " + std::to_string(v));
    *value = v;
    return true;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "1s", "500ms", "1.5s", "2min" into milliseconds; false for anything else,
// and for what is finer than a millisecond or larger than kMaxIntervalMs.
bool ParseDurationMs(std::string_view text, int* ms)
{
    size_t i = 0;
    int64_t whole = 0, fraction = 0, fractionScale = 1;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        whole = whole * 10 + (text[i] - '0');
        if (whole > kMaxIntervalMs)
            return false;
    }
    if (i == 0)
        return false;
    if (i < text.size() && text[i] == '.') {
        const size_t start = ++i;
        for (; i < text.size() && IsDigit(text[i]); ++i) {
            if (fractionScale >= 1000)
                return false;  // finer than a millisecond in any unit
            fraction = fraction * 10 + (text[i] - '0');
            fractionScale *= 10;
        }
        if (i == start)
            return false;
    }
    const std::string_view unit = text.substr(i);
    int64_t scale = 0;
    if (unit == "ms")
        scale = 1;
    else if (unit == "s")
        scale = 1000;
    else if (unit == "min")
        scale = 60000;
    else
        return false;
    if ((fraction * scale) % fractionScale != 0)
        return false;
    const int64_t total = whole * scale + fraction * scale / fractionScale;
    if (total > kMaxIntervalMs)
        return false;
    *ms = static_cast<int>(total);
    return true;
}

// "HOST:PORT" or "[V6]:PORT", port 0..65535.
bool ParseListen(std::string_view text, std::string* host, int* port)
{
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string_view::npos)
            return false;
        *host = std::string(text.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return false;
        *host = std::string(text.substr(0, colon));
        if (host->find(':') != std::string::npos)
            return false;  // a bare IPv6 address needs its brackets
    }
    if (host->empty())
        return false;
    for (char c : *host)
        if (!(IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
              c == '-' || c == ':'))
            return false;
    const std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5)
        return false;
    int value = 0;
    for (char c : digits) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    *port = value;
    return true;
}

bool IsNameChar(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
}

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    for (char c : name)
        if (!IsNameChar(c))
            return false;
    return true;
}

bool ReadInterval(const toml::node& node, MeterdConfig* config, Refusal* r)
{
    const char* wanted =
        "interval must be a duration such as \"1s\", \"500ms\" or \"2min\", from \"0s\" to "
        "\"60min\"";
    if (!node.is_string())
        return Refuse(r, node.source(), std::string(wanted) + ", not " + TypeWords(node));
    const std::string text = *node.value<std::string>();
    if (!ParseDurationMs(text, &config->intervalMs))
        return Refuse(r, node.source(), std::string(wanted) + ", not \"" + text + "\"");
    return true;
}

bool ReadPath(const toml::node& node, const char* key, std::string* path, Refusal* r)
{
    if (!GetString(node, key, path, r))
        return false;
    if (path->empty() || (*path)[0] != '/')
        return Refuse(r, node.source(), std::string(key) + " must be an absolute path");
    return true;
}

bool ReadTls(const toml::node& node, HttpAccess* access, Refusal* r)
{
    const toml::table* tls = node.as_table();
    if (tls == nullptr)
        return Refuse(r, node.source(), "tls must be a table ([http.tls]), not " + TypeWords(node));
    if (!OnlyKnownKeys(*tls, {"cert_file", "key_file", "client_ca_file"}, "[http.tls]", r))
        return false;
    const toml::node* cert = tls->get("cert_file");
    const toml::node* key = tls->get("key_file");
    if (cert == nullptr || key == nullptr)
        return Refuse(r, tls->source(), "[http.tls] needs both cert_file and key_file (PEM files)");
    if (!ReadPath(*cert, "cert_file", &access->certFile, r) ||
        !ReadPath(*key, "key_file", &access->keyFile, r))
        return false;
    if (const toml::node* ca = tls->get("client_ca_file"))
        return ReadPath(*ca, "client_ca_file", &access->clientCaFile, r);
    return true;
}

// A bcrypt hash as htpasswd -B, mkpasswd -m bcrypt and quorvan-meterd
// --hash-password write it: $2a$, $2b$ or $2y$, a two-digit cost, 53
// characters of salt and hash.
bool IsBcryptHash(const std::string& hash)
{
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash[3] != '$' || hash[6] != '$' ||
        !IsDigit(hash[4]) || !IsDigit(hash[5]))
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y')
        return false;
    for (size_t i = 7; i < hash.size(); ++i) {
        const char c = hash[i];
        if (!(IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
              c == '/'))
            return false;
    }
    return true;
}

bool ReadUsers(const toml::node& node, HttpAccess* access, Refusal* r)
{
    const toml::table* users = node.as_table();
    if (users == nullptr)
        return Refuse(
            r, node.source(),
            "basic_auth_users must be a table ([http.basic_auth_users]), not " + TypeWords(node));
    if (users->size() > static_cast<size_t>(kMaxUsers))
        return Refuse(r, node.source(),
                      "more than " + std::to_string(kMaxUsers) + " users in basic_auth_users");
    for (auto&& [key, value] : *users) {
        const std::string user(key.str());
        if (user.empty() || user.size() > kMaxNameLength || user.find(':') != std::string::npos)
            return Refuse(r, key.source(),
                          "user name '" + user + "' must be 1 to 64 characters without ':'");
        std::string hash;
        if (!GetString(value, user.c_str(), &hash, r))
            return false;
        if (!IsBcryptHash(hash))
            return Refuse(r, value.source(),
                          "the password of user '" + user +
                              "' must be a bcrypt hash ($2y$...); make one with "
                              "quorvan-meterd --hash-password");
        access->users.emplace_back(user, hash);
    }
    return true;
}

// A part this build lacks is refused where the file asks for it, never
// quietly left out.
bool Lacking(const toml::node& node, const char* table, const char* part,
             const MeterdAbilities& can, Refusal* r)
{
    return Refuse(r, node.source(),
                  std::string(table) + " cannot be used: " + can.buildName + " has no " + part +
                      "; leave it out");
}

bool ReadHttp(const toml::table& http, const MeterdAbilities& can, MeterdConfig* config, Refusal* r)
{
    if (!OnlyKnownKeys(http, {"listen", "tls", "basic_auth_users"}, "[http]", r))
        return false;
    if (const toml::node* tls = http.get("tls")) {
        if (!can.tls)
            return Lacking(*tls, "[http.tls]", "TLS", can, r);
        if (!ReadTls(*tls, &config->access, r))
            return false;
    }
    if (const toml::node* users = http.get("basic_auth_users")) {
        if (!can.basicAuth)
            return Lacking(*users, "[http.basic_auth_users]", "basic authentication", can, r);
        if (!ReadUsers(*users, &config->access, r))
            return false;
    }
    if (const toml::node* node = http.get("listen")) {
        std::string text;
        if (!GetString(*node, "listen", &text, r))
            return false;
        if (!ParseListen(text, &config->listenHost, &config->listenPort))
            return Refuse(r, node->source(),
                          "listen must be HOST:PORT such as \"127.0.0.1:9788\" or "
                          "\"[::1]:9788\", not \"" +
                              text + "\"");
    }
    return true;
}

// MQTT topic levels we build on: no wildcards, no empty level at either end.
bool ValidTopicPrefix(const std::string& prefix)
{
    if (prefix.empty() || prefix.size() > 128 || prefix.front() == '/' || prefix.back() == '/')
        return false;
    for (char c : prefix)
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x21)
            return false;
    return true;
}

// A deadband in volts, amperes or watts (0 to `max`), kept in the meter's
// steps (`steps` a unit), rounded to the nearest step.
bool ReadDeadband(const toml::node& node, const char* key, const char* unit, int steps, int max,
                  int* value, Refusal* r)
{
    const std::string wanted =
        std::string(key) + " must be a number of " + unit + " from 0 to " + std::to_string(max);
    if (!node.is_number())
        return Refuse(r, node.source(), wanted + ", not " + TypeWords(node));
    const double v = *node.value<double>();
    if (!(v >= 0 && v <= max))
        return Refuse(r, node.source(), wanted);
    *value = static_cast<int>(std::lround(v * steps));
    return true;
}

bool ReadMqttKey(const std::string_view key, const toml::node& node, MqttSettings* m, Refusal* r)
{
    int64_t number = 0;
    if (key == "enabled") {
        if (!node.is_boolean())
            return Refuse(r, node.source(),
                          "enabled must be true or false, not " + TypeWords(node));
        m->enabled = *node.value<bool>();
    } else if (key == "host") {
        if (!GetString(node, "host", &m->host, r))
            return false;
        if (m->host.empty() || m->host.find_first_of(" \t/") != std::string::npos)
            return Refuse(r, node.source(), "host must be a host name or address");
    } else if (key == "port") {
        if (!GetInteger(node, "port", 1, 65535, &number, r))
            return false;
        m->port = static_cast<int>(number);
    } else if (key == "keepalive") {
        if (!GetInteger(node, "keepalive", 5, 3600, &number, r))
            return false;
        m->keepaliveSeconds = static_cast<int>(number);
    } else if (key == "client_id") {
        if (!GetString(node, "client_id", &m->clientId, r))
            return false;
        if (!ValidName(m->clientId))
            return Refuse(r, node.source(),
                          "client_id may hold only letters, digits, '_' and '-' (1 to 64)");
    } else if (key == "topic_prefix" || key == "discovery_prefix") {
        std::string* prefix = key == "topic_prefix" ? &m->topicPrefix : &m->discoveryPrefix;
        const std::string name(key);
        if (!GetString(node, name.c_str(), prefix, r))
            return false;
        if (!ValidTopicPrefix(*prefix))
            return Refuse(r, node.source(),
                          name +
                              " must be topic levels without '+', '#', blanks or a '/' at "
                              "either end");
    } else if (key == "credentials") {
        return ReadPath(node, "credentials", &m->credentialsFile, r);
    } else if (key == "publish") {
        std::string text;
        if (!GetString(node, "publish", &text, r))
            return false;
        if (text == "on_change")
            m->publish = MqttPublish::kOnChange;
        else if (text == "every_poll")
            m->publish = MqttPublish::kEveryPoll;
        else
            return Refuse(r, node.source(),
                          "publish must be \"on_change\" or \"every_poll\", not \"" + text + "\"");
    } else if (key == "max_silence") {
        std::string text;
        if (!GetString(node, "max_silence", &text, r))
            return false;
        if (!ParseDurationMs(text, &m->maxSilenceMs) || m->maxSilenceMs < 1000)
            return Refuse(
                r, node.source(),
                "max_silence must be a duration from \"1s\" to \"60min\", not \"" + text + "\"");
    } else if (key == "voltage_deadband") {
        return ReadDeadband(node, "voltage_deadband", "V", 100, 100, &m->voltageDeadband, r);
    } else if (key == "current_deadband") {
        return ReadDeadband(node, "current_deadband", "A", 100, 100, &m->currentDeadband, r);
    } else if (key == "power_deadband") {
        return ReadDeadband(node, "power_deadband", "W", 10, 10000, &m->powerDeadband, r);
    } else {
        return ReadPath(node, "ca_file", &m->caFile, r);
    }
    return true;
}

bool ReadMqtt(const toml::table& mqtt, MqttSettings* m, Refusal* r)
{
    if (!OnlyKnownKeys(mqtt,
                       {"enabled", "host", "port", "client_id", "topic_prefix", "discovery_prefix",
                        "credentials", "ca_file", "keepalive", "publish", "max_silence",
                        "voltage_deadband", "current_deadband", "power_deadband"},
                       "[mqtt]", r))
        return false;
    m->enabled = true;  // the table's presence asks for the broker
    for (auto&& [key, node] : mqtt)
        if (!ReadMqttKey(key.str(), node, m, r))
            return false;
    if (!m->caFile.empty() && mqtt.get("port") == nullptr)
        m->port = 8883;
    return true;
}

bool ReadMeter(const toml::node& node, LineConfig* line, std::map<std::string, int>* names,
               Refusal* r)
{
    const toml::table* table = node.as_table();
    if (table == nullptr)
        return Refuse(r, node.source(), "each meter must be a [[line.meter]] table");
    if (!OnlyKnownKeys(*table, {"name", "address"}, "[[line.meter]]", r))
        return false;
    MeterConfig meter;
    meter.sourceLine = static_cast<int>(table->source().begin.line);
    const toml::node* name = table->get("name");
    const toml::node* address = table->get("address");
    if (name == nullptr)
        return Refuse(r, table->source(), "this [[line.meter]] has no name");
    if (address == nullptr)
        return Refuse(r, table->source(), "this [[line.meter]] has no address");
    if (!GetString(*name, "name", &meter.name, r))
        return false;
    if (!ValidName(meter.name))
        return Refuse(r, name->source(),
                      "name '" + meter.name +
                          "' must be 1 to 64 letters, digits, '_' or '-' (it becomes a label and "
                          "an MQTT topic)");
    const auto [seen, fresh] = names->emplace(meter.name, meter.sourceLine);
    if (!fresh)
        return Refuse(r, name->source(),
                      "meter name '" + meter.name + "' is already used on line " +
                          std::to_string(seen->second));
    int64_t value = 0;
    if (!GetInteger(*address, "address", 1, 247, &value, r))
        return false;
    meter.address = static_cast<uint8_t>(value);
    for (const MeterConfig& other : line->meters)
        if (other.address == meter.address)
            return Refuse(r, address->source(),
                          "address " + std::to_string(value) + " is already meter '" + other.name +
                              "' on this line (line " + std::to_string(other.sourceLine) + ")");
    line->meters.push_back(meter);
    return true;
}

bool ReadPort(const toml::node& node, LineConfig* line, Refusal* r)
{
    std::string text;
    if (!GetString(node, "port", &text, r))
        return false;
    line->comPort = ParseComPortName(text);
    if (line->comPort != 0) {
        line->port = "COM" + std::to_string(line->comPort);
    } else if (IsAbsoluteDevicePath(text) && text.find('\0') == std::string::npos) {
        line->port = text;
    } else {
        return Refuse(r, node.source(),
                      "port must be COM1 to COM" + std::to_string(kMaxComPort) +
                          " or a device path such as " + AbsoluteDevicePathExample() + ", not '" +
                          text + "'");
    }
    return true;
}

bool ReadLine(const toml::node& node, MeterdConfig* config, std::map<std::string, int>* names,
              std::map<std::string, int>* ports, Refusal* r)
{
    const toml::table* table = node.as_table();
    if (table == nullptr)
        return Refuse(r, node.source(), "each line must be a [[line]] table");
    if (!OnlyKnownKeys(*table, {"port", "meter"}, "[[line]]", r))
        return false;
    const int at = static_cast<int>(table->source().begin.line);
    const toml::node* port = table->get("port");
    const toml::node* meters = table->get("meter");
    if (port == nullptr)
        return Refuse(r, table->source(), "this [[line]] has no port");
    LineConfig line;
    if (!ReadPort(*port, &line, r))
        return false;
    const auto [seen, fresh] = ports->emplace(line.port, at);
    if (!fresh)
        return Refuse(r, port->source(),
                      "port " + line.port + " is already the [[line]] on line " +
                          std::to_string(seen->second));
    if (meters == nullptr || (meters->is_array() && meters->as_array()->empty()))
        return Refuse(r, table->source(), "this [[line]] has no [[line.meter]]");
    if (!meters->is_array())
        return Refuse(r, meters->source(),
                      "meter must be [[line.meter]] tables, not " + TypeWords(*meters));
    for (const toml::node& meter : *meters->as_array())
        if (!ReadMeter(meter, &line, names, r))
            return false;
    config->lines.push_back(std::move(line));
    return true;
}

bool ReadLines(const toml::node& node, MeterdConfig* config, Refusal* r)
{
    const toml::array* lines = node.as_array();
    if (lines == nullptr)
        return Refuse(r, node.source(), "line must be [[line]] tables, not " + TypeWords(node));
    if (lines->empty())
        return Refuse(r, node.source(), "line is empty: no [[line]] tables, nothing to poll");
    if (lines->size() > static_cast<size_t>(kMaxLines))
        return Refuse(r, node.source(),
                      "more than " + std::to_string(kMaxLines) + " lines; run a second service");
    std::map<std::string, int> names, ports;
    for (const toml::node& line : *lines)
        if (!ReadLine(line, config, &names, &ports, r))
            return false;
    return true;
}

bool ReadTable(const toml::table& root, const char* key, const toml::table** table, Refusal* r)
{
    const toml::node* node = root.get(key);
    *table = nullptr;
    if (node == nullptr)
        return true;
    if (!node->is_table())
        return Refuse(
            r, node->source(),
            std::string(key) + " must be a table ([" + key + "]), not " + TypeWords(*node));
    *table = node->as_table();
    return true;
}

bool ReadRoot(const toml::table& root, const MeterdAbilities& can, MeterdConfig* config, Refusal* r)
{
    if (!OnlyKnownKeys(root, {"interval", "http", "mqtt", "line"}, "the top level", r))
        return false;
    if (const toml::node* interval = root.get("interval"))
        if (!ReadInterval(*interval, config, r))
            return false;
    const toml::table* http = nullptr;
    const toml::table* mqtt = nullptr;
    if (!ReadTable(root, "http", &http, r) || !ReadTable(root, "mqtt", &mqtt, r))
        return false;
    if (http != nullptr && !ReadHttp(*http, can, config, r))
        return false;
    if (mqtt != nullptr && !can.mqtt)
        return Lacking(*mqtt, "[mqtt]", "MQTT", can, r);
    if (mqtt != nullptr && !ReadMqtt(*mqtt, &config->mqtt, r))
        return false;
    const toml::node* lines = root.get("line");
    if (lines == nullptr) {
        r->text = r->file + ": no [[line]] tables: nothing to poll";
        return false;
    }
    return ReadLines(*lines, config, r);
}

}  // namespace

ConfigResult ParseMeterdConfig(std::string_view text, const std::string& fileName,
                               const MeterdAbilities& can)
{
    ConfigResult result;
    Refusal refusal{fileName, {}};
    try {
        const toml::table root = toml::parse(text, std::string_view(fileName));
        result.ok = ReadRoot(root, can, &result.config, &refusal);
    } catch (const toml::parse_error& e) {
        Refuse(&refusal, e.source(), std::string(e.description()));
    } catch (const std::exception& e) {
        refusal.text = fileName + ": " + e.what();
    }
    if (!result.ok) {
        result.error = refusal.text;
        result.config = MeterdConfig{};
    }
    return result;
}

ConfigResult LoadMeterdConfig(const std::string& path)
{
    ConfigResult result;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = path + ": cannot read: " + std::strerror(errno);
        return result;
    }
    std::string text(kMaxConfigBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        result.error = path + ": cannot read: " + std::strerror(errno);
        return result;
    }
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxConfigBytes) {
        result.error = path + ": larger than " + std::to_string(kMaxConfigBytes >> 20) +
                       " MiB; not a configuration file";
        return result;
    }
    return ParseMeterdConfig(text, path);
}

std::string ListenText(const std::string& host, int port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ListenText(const MeterdConfig& config)
{
    return ListenText(config.listenHost, config.listenPort);
}

std::size_t MeterCount(const MeterdConfig& config)
{
    std::size_t count = 0;
    for (const LineConfig& line : config.lines)
        count += line.meters.size();
    return count;
}
