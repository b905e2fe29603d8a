// The configuration reader: what a good file becomes, and that each kind of
// bad file is refused with the line of the offending key.
#include "MeterdConfig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

constexpr const char* kTwoLines = R"(# two sites' worth of meters
interval = "500ms"

[http]
listen = "0.0.0.0:9100"

[mqtt]
host = "broker.lan"
credentials = "/etc/quorvan-master/mqtt-credentials"
ca_file = "/etc/ssl/certs/broker-ca.pem"

[[line]]
port = "com3"
  [[line.meter]]
  name = "battery"
  address = 1
  [[line.meter]]
  name = "solar_2"
  address = 247

[[line]]
port = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"
  [[line.meter]]
  name = "rack-A"
  address = 1
)";

constexpr const char* kLineForTls =
    "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"m\"\naddress = 5\n";

TEST(MeterdConfig, ReadsAWholeFile)
{
    const ConfigResult r = ParseMeterdConfig(kTwoLines, "meterd.toml");
    ASSERT_TRUE(r.ok) << r.error;
    const MeterdConfig& c = r.config;
    EXPECT_EQ(c.intervalMs, 500);
    EXPECT_EQ(c.listenHost, "0.0.0.0");
    EXPECT_EQ(c.listenPort, 9100);
    ASSERT_EQ(c.lines.size(), 2u);
    EXPECT_EQ(c.lines[0].port, "COM3");  // as the poller labels it
    EXPECT_EQ(c.lines[0].comPort, 3);
    ASSERT_EQ(c.lines[0].meters.size(), 2u);
    EXPECT_EQ(c.lines[0].meters[1].name, "solar_2");
    EXPECT_EQ(c.lines[0].meters[1].address, 247);
    EXPECT_EQ(c.lines[0].meters[1].sourceLine, 17);
    EXPECT_EQ(c.lines[1].port, "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
    EXPECT_EQ(c.lines[1].comPort, 0);
    EXPECT_EQ(MeterCount(c), 3u);
    // [mqtt] present: the broker is on; a CA file makes 8883 the default port.
    EXPECT_TRUE(c.mqtt.enabled);
    EXPECT_EQ(c.mqtt.host, "broker.lan");
    EXPECT_EQ(c.mqtt.port, 8883);
    EXPECT_EQ(c.mqtt.credentialsFile, "/etc/quorvan-master/mqtt-credentials");
    EXPECT_EQ(c.mqtt.topicPrefix, "quorvan");
}

TEST(MeterdConfig, TlsUsersAndPublishingPolicy)
{
    const std::string hash = "$2y$10$abcdefghijklmnopqrstuu5cMgbSdAu8qH/uGDHRK1WMXEiWK6Fhu";
    const ConfigResult r = ParseMeterdConfig(
        "[http.tls]\ncert_file = \"/etc/q/m.crt\"\nkey_file = \"/etc/q/m.key\"\n"
        "client_ca_file = \"/etc/q/ca.crt\"\n"
        "[http.basic_auth_users]\nprometheus = \"" +
            hash + "\"\ngrafana = \"" + hash +
            "\"\n"
            "[mqtt]\npublish = \"on_change\"\nmax_silence = \"2min\"\nvoltage_deadband = 0.25\n"
            "current_deadband = 1\npower_deadband = 0.04\n" +
            kLineForTls,
        "f");
    ASSERT_TRUE(r.ok) << r.error;
    const HttpAccess& a = r.config.access;
    EXPECT_TRUE(a.Tls());
    EXPECT_EQ(a.keyFile, "/etc/q/m.key");
    EXPECT_EQ(a.clientCaFile, "/etc/q/ca.crt");
    ASSERT_EQ(a.users.size(), 2u);
    EXPECT_EQ(a.users[1].first, "prometheus");
    EXPECT_EQ(a.users[1].second, hash);
    const MqttSettings& m = r.config.mqtt;
    EXPECT_EQ(m.maxSilenceMs, 120000);
    EXPECT_EQ(m.voltageDeadband, 25);  // hundredths of a volt
    EXPECT_EQ(m.currentDeadband, 100);
    EXPECT_EQ(m.powerDeadband, 0);  // 0.04 W is under the meter's 0.1 W step

    // Without them: plain HTTP for anyone, on change with the default bands.
    const ConfigResult plain = ParseMeterdConfig(std::string("[mqtt]\n") + kLineForTls, "f");
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_FALSE(plain.config.access.Tls());
    EXPECT_TRUE(plain.config.access.users.empty());
    EXPECT_EQ(plain.config.mqtt.publish, MqttPublish::kOnChange);
    EXPECT_EQ(plain.config.mqtt.maxSilenceMs, 60000);
    EXPECT_EQ(plain.config.mqtt.voltageDeadband, 10);
    const ConfigResult every =
        ParseMeterdConfig(std::string("[mqtt]\npublish = \"every_poll\"\n") + kLineForTls, "f");
    ASSERT_TRUE(every.ok) << every.error;
    EXPECT_EQ(every.config.mqtt.publish, MqttPublish::kEveryPoll);
}

// A build without TLS, users or MQTT (the Windows one) refuses each where
// the file asks for it, even switched off, rather than run without it; the
// rest of a file reads as in any build.
TEST(MeterdConfig, RefusesWhatTheBuildLacks)
{
    const MeterdAbilities lacking{false, false, false, "the Windows build"};
    const std::string hash = "$2y$10$abcdefghijklmnopqrstuu5cMgbSdAu8qH/uGDHRK1WMXEiWK6Fhu";
    const struct {
        std::string text, error;
    } cases[] = {
        {"[mqtt]\nhost = \"broker.lan\"\n",
         "m.toml:1: [mqtt] cannot be used: the Windows build has no MQTT; leave it out"},
        {"[mqtt]\nenabled = false\n", "m.toml:1: [mqtt] cannot be used: the Windows build..."},
        {"[http]\nlisten = \"0.0.0.0:9788\"\n[http.tls]\ncert_file = \"/a.crt\"\n",
         "m.toml:3: [http.tls] cannot be used: the Windows build has no TLS; leave it out"},
        {"[http.basic_auth_users]\nprom = \"" + hash + "\"\n",
         "m.toml:1: [http.basic_auth_users] cannot be used: the Windows build has no basic "
         "authentication; leave it out"},
    };
    for (const auto& c : cases) {
        const ConfigResult r = ParseMeterdConfig(c.text + kLineForTls, "m.toml", lacking);
        ASSERT_FALSE(r.ok) << c.text;
        if (c.error.ends_with("..."))
            EXPECT_EQ(r.error.substr(0, c.error.size() - 3), c.error.substr(0, c.error.size() - 3));
        else
            EXPECT_EQ(r.error, c.error);
    }
    const ConfigResult plain = ParseMeterdConfig(kLineForTls, "m.toml", lacking);
    EXPECT_TRUE(plain.ok) << plain.error;
}

// Notepad saves with a byte-order mark and CR LF line ends.
TEST(MeterdConfig, ReadsAFileSavedByNotepad)
{
    const ConfigResult r = ParseMeterdConfig(
        "\xEF\xBB\xBFinterval = \"2s\"\r\n[[line]]\r\nport = \"COM3\"\r\n[[line.meter]]\r\n"
        "name = \"battery\"\r\naddress = 1\r\n",
        "m.toml");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.config.intervalMs, 2000);
    EXPECT_EQ(r.config.lines.at(0).meters.at(0).name, "battery");
}

TEST(MeterdConfig, DefaultsAndTheLoopbackListenAddress)
{
    const ConfigResult r = ParseMeterdConfig(
        "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"m\"\naddress = 5\n", "f");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.config.intervalMs, 1000);
    EXPECT_EQ(ListenText(r.config), "127.0.0.1:9788");
    EXPECT_FALSE(r.config.mqtt.enabled);
}

struct Accepted {
    const char* settings;  // top-level keys and tables before one good line
    int intervalMs;
    const char* listen;
    int mqttPort;
};

TEST(MeterdConfig, DurationsAndListenAddresses)
{
    const Accepted cases[] = {
        {"interval = \"0s\"", 0, "127.0.0.1:9788", 1883},
        {"interval = \"1.5s\"", 1500, "127.0.0.1:9788", 1883},
        {"interval = \"2min\"", 120000, "127.0.0.1:9788", 1883},
        {"interval = \"60min\"", 3600000, "127.0.0.1:9788", 1883},
        {"interval = \"0.001s\"", 1, "127.0.0.1:9788", 1883},
        {"[http]\nlisten = \"[::1]:9788\"", 1000, "[::1]:9788", 1883},
        {"[http]\nlisten = \"localhost:0\"", 1000, "localhost:0", 1883},
        {"[mqtt]\nport = 1884\nca_file = \"/ca.pem\"", 1000, "127.0.0.1:9788", 1884},
        {"[mqtt]\nenabled = false", 1000, "127.0.0.1:9788", 1883},
    };
    for (const Accepted& c : cases) {
        const std::string text = std::string(c.settings) +
                                 "\n[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"m\"\n"
                                 "address = 1\n";
        const ConfigResult r = ParseMeterdConfig(text, "f");
        ASSERT_TRUE(r.ok) << c.settings << ": " << r.error;
        EXPECT_EQ(r.config.intervalMs, c.intervalMs) << c.settings;
        EXPECT_EQ(ListenText(r.config), c.listen) << c.settings;
        EXPECT_EQ(r.config.mqtt.port, c.mqttPort) << c.settings;
    }
}

struct Refused {
    const char* what;
    const char* text;
    const char* error;  // the whole message, or its start when it ends in "..."
};

// A good line for the cases whose fault lies elsewhere.
constexpr const char* kLine =
    "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 1\n";

const Refused kRefused[] = {
    {"TOML syntax", "interval = \n", "m.toml:1: Error while parsing key-value pair..."},
    {"no lines", "interval = \"1s\"\n", "m.toml: no [[line]] tables: nothing to poll"},
    {"unknown top-level key", "intervall = \"1s\"\n",
     "m.toml:1: unknown key 'intervall' in the top level (known: interval, http, mqtt, line)"},
    {"unknown meter key", "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\nadress = 1\n",
     "m.toml:5: unknown key 'adress' in [[line.meter]] (known: name, address)"},
    {"interval as a number", "interval = 1000\n",
     "m.toml:1: interval must be a duration such as \"1s\", \"500ms\" or \"2min\", from \"0s\" to "
     "\"60min\", not an integer"},
    {"interval without unit", "interval = \"5\"\n", "m.toml:1: interval must be a duration..."},
    {"interval too long", "interval = \"61min\"\n", "m.toml:1: interval must be a duration..."},
    {"interval finer than a millisecond", "interval = \"1.5ms\"\n",
     "m.toml:1: interval must be a duration..."},
    {"negative interval", "interval = \"-1s\"\n", "m.toml:1: interval must be a duration..."},
    {"http not a table", "http = \"127.0.0.1:80\"\n",
     "m.toml:1: http must be a table ([http]), not a string"},
    {"listen without port", "[http]\nlisten = \"127.0.0.1\"\n",
     "m.toml:2: listen must be HOST:PORT such as \"127.0.0.1:9788\" or \"[::1]:9788\", not "
     "\"127.0.0.1\""},
    {"listen port too big", "[http]\nlisten = \"127.0.0.1:65536\"\n", "m.toml:2: listen must..."},
    {"bare IPv6 listen", "[http]\nlisten = \"::1:9788\"\n", "m.toml:2: listen must..."},
    {"mqtt port out of range", "[mqtt]\nport = 0\n",
     "m.toml:2: port must be from 1 to 65535, not 0"},
    {"mqtt relative credentials", "[mqtt]\ncredentials = \"creds\"\n",
     "m.toml:2: credentials must be an absolute path"},
    {"mqtt wildcard prefix", "[mqtt]\ntopic_prefix = \"site/#\"\n",
     "m.toml:2: topic_prefix must be topic levels without '+', '#', blanks or a '/' at either end"},
    {"mqtt enabled as text", "[mqtt]\nenabled = \"yes\"\n",
     "m.toml:2: enabled must be true or false, not a string"},
    {"tls without its key", "[http.tls]\ncert_file = \"/etc/m.crt\"\n",
     "m.toml:1: [http.tls] needs both cert_file and key_file (PEM files)"},
    {"tls key relative", "[http.tls]\ncert_file = \"/m.crt\"\nkey_file = \"m.key\"\n",
     "m.toml:3: key_file must be an absolute path"},
    {"tls unknown key", "[http.tls]\ncert_file = \"/a\"\nkey_file = \"/b\"\nmin_version = 1\n",
     "m.toml:4: unknown key 'min_version' in [http.tls] (known: cert_file, key_file, "
     "client_ca_file)"},
    {"a plain password", "[http.basic_auth_users]\nprom = \"secret\"\n",
     "m.toml:2: the password of user 'prom' must be a bcrypt hash ($2y$...); make one with "
     "quorvan-meterd --hash-password"},
    {"a user with a colon",
     "[http.basic_auth_users]\n\"a:b\" = "
     "\"$2y$10$abcdefghijklmnopqrstuu5cMgbSdAu8qH/uGDHRK1WMXEiWK6Fhu\"\n",
     "m.toml:2: user name 'a:b' must be 1 to 64 characters without ':'"},
    {"mqtt publish policy", "[mqtt]\npublish = \"always\"\n",
     "m.toml:2: publish must be \"on_change\" or \"every_poll\", not \"always\""},
    {"mqtt silence too short", "[mqtt]\nmax_silence = \"500ms\"\n",
     "m.toml:2: max_silence must be a duration from \"1s\" to \"60min\", not \"500ms\""},
    {"mqtt negative deadband", "[mqtt]\nvoltage_deadband = -0.1\n",
     "m.toml:2: voltage_deadband must be a number of V from 0 to 100"},
    {"mqtt deadband as text", "[mqtt]\npower_deadband = \"1W\"\n",
     "m.toml:2: power_deadband must be a number of W from 0 to 10000, not a string"},
    {"no lines in an empty array", "line = []\n",
     "m.toml:1: line is empty: no [[line]] tables, nothing to poll"},
    {"line as a table", "[line]\nport = \"COM1\"\n",
     "m.toml:1: line must be [[line]] tables, not a table"},
    {"line without port", "[[line]]\n[[line.meter]]\nname = \"a\"\naddress = 1\n",
     "m.toml:1: this [[line]] has no port"},
    {"port not a port", "[[line]]\nport = \"ttyUSB0\"\n",
     "m.toml:2: port must be COM1 to COM255 or a device path such as /dev/serial/by-id/..., not "
     "'ttyUSB0'"},
    {"COM0", "[[line]]\nport = \"COM0\"\n", "m.toml:2: port must be COM1 to COM255..."},
    {"port as a number", "[[line]]\nport = 1\n", "m.toml:2: port must be a string, not an integer"},
    {"line without meters", "[[line]]\nport = \"COM1\"\n",
     "m.toml:1: this [[line]] has no [[line.meter]]"},
    {"the same port twice (COM1 and com1)",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 1\n"
     "[[line]]\nport = \"com1\"\n[[line.meter]]\nname = \"b\"\naddress = 1\n",
     "m.toml:7: port COM1 is already the [[line]] on line 1"},
    {"meter without address", "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\n",
     "m.toml:3: this [[line.meter]] has no address"},
    {"address 0", "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 0\n",
     "m.toml:5: address must be from 1 to 247, not 0"},
    {"address 248 (the general address)",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 248\n",
     "m.toml:5: address must be from 1 to 247, not 248"},
    {"address as text",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = \"1\"\n",
     "m.toml:5: address must be a whole number from 1 to 247, not a string"},
    {"address as a float",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 1.0\n",
     "m.toml:5: address must be a whole number from 1 to 247, not a floating-point number"},
    {"the same address twice on a line",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 7\n"
     "[[line.meter]]\nname = \"b\"\naddress = 7\n",
     "m.toml:8: address 7 is already meter 'a' on this line (line 3)"},
    {"the same name on two lines",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a\"\naddress = 1\n"
     "[[line]]\nport = \"COM2\"\n[[line.meter]]\nname = \"a\"\naddress = 2\n",
     "m.toml:9: meter name 'a' is already used on line 3"},
    {"name with a blank",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"bat tery\"\naddress = 1\n",
     "m.toml:4: name 'bat tery' must be 1 to 64 letters, digits, '_' or '-' (it becomes a label "
     "and "
     "an MQTT topic)"},
    {"name with a slash",
     "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"a/b\"\naddress = 1\n",
     "m.toml:4: name 'a/b' must be..."},
    {"empty name", "[[line]]\nport = \"COM1\"\n[[line.meter]]\nname = \"\"\naddress = 1\n",
     "m.toml:4: name '' must be..."},
};

TEST(MeterdConfig, RefusesWithFileLineAndReason)
{
    for (const Refused& c : kRefused) {
        // A case about the top level or [http]/[mqtt] gets a good line after
        // its own text, so that only its own fault stands in the way.
        std::string text = c.text;
        const bool noLines = std::string(c.what) == "no lines";
        if (text.find("[[line") == std::string::npos && text.find("line") != 0 &&
            text.find("[line]") == std::string::npos && !noLines)
            text += kLine;
        const ConfigResult r = ParseMeterdConfig(text, "m.toml");
        ASSERT_FALSE(r.ok) << c.what;
        const std::string want = c.error;
        if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0)
            EXPECT_EQ(r.error.substr(0, want.size() - 3), want.substr(0, want.size() - 3))
                << c.what;
        else
            EXPECT_EQ(r.error, want) << c.what;
        EXPECT_TRUE(r.config.lines.empty()) << c.what << ": nothing half-read is handed out";
    }
}

TEST(MeterdConfig, FileProblemsNameTheFile)
{
    const ConfigResult missing = LoadMeterdConfig("/nonexistent/meterd.toml");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, "/nonexistent/meterd.toml: cannot read: No such file or directory");

    const ConfigResult folder = LoadMeterdConfig("/");
    EXPECT_FALSE(folder.ok);
    EXPECT_EQ(folder.error.rfind("/: ", 0), 0u) << folder.error;

    char path[] = "/tmp/quorvan-meterd-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream big(path);
        big << "# " << std::string(kMaxConfigBytes, 'x') << "\n";
    }
    const ConfigResult huge = LoadMeterdConfig(path);
    EXPECT_EQ(huge.error, std::string(path) + ": larger than 1 MiB; not a configuration file");
    {
        std::ofstream good(path);
        good << kTwoLines;
    }
    EXPECT_TRUE(LoadMeterdConfig(path).ok);
    std::remove(path);
}

}  // namespace
