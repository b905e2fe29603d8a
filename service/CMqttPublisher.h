// The service's MQTT side: the latest reading of each meter, its
// availability, diagnostics and Home Assistant discovery on a broker
// (topics in MqttMessages.h). Read-only: it subscribes to nothing but Home
// Assistant's birth message, after which it sends discovery again, and to
// its own retained discovery configs, to clear those of meters that left.
//
// Threads: Publish(), Forget() and SetMeters() are for any thread (the
// line pollers, the service's reload); they store what they are given and
// wake the publisher's own network thread, the only one that touches
// libmosquitto. Start() and Stop() belong to the owner; the log and the
// connection observer are called on the network thread.
//
// Memory: one snapshot per meter name; a newer one replaces one not yet
// sent. Messages go to libmosquitto only while the broker has accepted the
// connection and the previous ones have left for the socket, and every
// connection gets a fresh client, so no queue grows while the broker is
// away or slow. After a (re)connect each meter's latest state goes out
// once, with its availability and discovery.
//
// What goes out when (MqttSettings::publish):
//   - a meter's availability only once a poll (or a failed open of its
//     line) has decided it: a restart does not flash every meter offline;
//   - its state on every good poll, or with kOnChange (the default) when
//     voltage, current or power moved by more than their deadband since
//     the last state sent, the energy or the alarm changed, or maxSilenceMs
//     passed; its diagnostics with each state, each change of
//     availability, and at least every maxSilenceMs;
//   - a meter Forget() names loses its retained discovery and availability
//     (empty retained messages), now or on the next connection, and is
//     forgotten. After each connect, retained configs under this client
//     id that no meter of SetMeters() would send are cleared the same way,
//     with the availability topics they name: meters that left while the
//     service was stopped.
//
// Connection: MQTT 3.1.1, clean session, QoS 0 (retained for status,
// availability and discovery); last will "offline" retained on
// <prefix>/status, "online" after each connect. A lost or refused
// connection is tried again after 1 s, the pause doubling up to 30 s, and
// back to 1 s once a broker accepted. Each attempt first checks that the
// broker's port answers, under a limit that Stop() can cut short, so a
// silent address never holds the thread for the kernel's two minutes.
// The log hears of each change only: connected, lost (why), failing (why,
// again only when the reason changes), connected again after N tries.
// Stop() sends "offline" (service and meters), disconnects and joins
// within about a second (plus a name lookup in progress).
#pragma once

#include "MeterSnapshot.h"
#include "MqttSettings.h"
#include "ServiceLog.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct addrinfo;
struct mosquitto;
struct mosquitto_message;

class CMqttPublisher {
public:
    explicit CMqttPublisher(const MqttSettings& settings,
                            std::string serviceName = "quorvan-meterd");
    ~CMqttPublisher();  // Stop()

    CMqttPublisher(const CMqttPublisher&) = delete;
    CMqttPublisher& operator=(const CMqttPublisher&) = delete;

    // Checks the settings, reads the credentials file (refused unless only
    // its owner may read it), prepares TLS and starts the network thread.
    // False with `*error` set on a bad setting or file; an unreachable
    // broker is no error. True and no thread while !settings.enabled.
    bool Start(std::string* error);
    // Says "offline", disconnects and joins; bounded. Safe when stopped.
    void Stop();
    // Thread-safe and cheap: keeps the snapshot as its meter's latest and
    // wakes the network thread. Never blocks on the network.
    void Publish(const MeterSnapshot& snapshot);
    // The meter left the configuration: its retained topics are cleared and
    // nothing more is said of it (unless a snapshot of that name comes again).
    void Forget(const std::string& meter);
    // The configured meters. Until it is called, no retained config of
    // earlier runs is cleared.
    void SetMeters(const std::vector<std::string>& meters);

    // Before Start(): where events go, and who hears of the connection
    // (true when a broker accepted it, false with the reason when it ended
    // or failed), each on the network thread.
    using ConnectionFn = std::function<void(bool connected, const std::string& reason)>;
    void SetLog(LogFn log) { m_log = std::move(log); }
    void SetConnectionObserver(ConnectionFn observer) { m_observer = std::move(observer); }

    // A broker has accepted the current connection.
    bool Connected() const { return m_connected.load(); }
    // Why the last connection failed or ended; "" while none did.
    std::string LastError() const;

    // Test seam, before Start(): the pauses between connection attempts.
    void SetReconnectPauses(int firstMs, int maxMs);

    static constexpr int kFirstPauseMs = 1000;
    static constexpr int kMaxPauseMs = 30000;
    static constexpr int kReachLimitMs = 10000;   // TCP connect to the broker
    static constexpr int kAnswerLimitMs = 10000;  // TLS handshake and CONNACK
    static constexpr int kFarewellMs = 1000;      // Stop()'s last messages
    static constexpr int kTickMs = 1000;          // keepalive bookkeeping

private:
    using Clock = std::chrono::steady_clock;

    struct Held {
        MeterSnapshot snapshot;
        bool fresh = false;  // not yet sent on this connection
    };
    // What the current connection has said about one meter.
    struct Said {
        bool discovery = false;
        int availability = -1;  // -1 nothing, 0 offline, 1 online
        bool stateSent = false;
        Measurement state{};  // the last state sent
        Clock::time_point stateAt;
        Clock::time_point diagnosticsAt;
    };
    // A retained config of a meter that left, found after a connect.
    struct Stale {
        std::string topic;
        std::vector<std::string> availability;  // the topics it named
    };

    // Network thread.
    void Run();
    void Connect();
    bool Reachable(std::string* error);
    bool Probe(const addrinfo* address, Clock::time_point deadline, std::string* why);
    bool AwaitConnect(int fd, Clock::time_point deadline, std::string* why);
    void Serve();
    void Greet();
    void Flush();
    void ClearForgotten();
    void ClearStale();
    bool StateDue(const Said& said, const MeterSnapshot& m, Clock::time_point now) const;
    void Send(const std::string& topic, const std::string& payload, bool retain);
    void Lost(const std::string& reason);
    void Accepted();
    void Log(const std::string& line) const;
    void TakeRetained(const mosquitto_message* message);
    void Farewell();
    mosquitto* NewClient(std::string* error);
    void WaitWake(int ms);
    void DrainWake();
    void SetError(const std::string& error);

    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

    const MqttSettings m_settings;
    const std::string m_serviceName;
    LogFn m_log;
    ConnectionFn m_observer;
    std::string m_user;  // from the credentials file; "" for none
    std::string m_password;
    int m_firstPauseMs = kFirstPauseMs;
    int m_maxPauseMs = kMaxPauseMs;

    std::thread m_thread;
    int m_wakeFd = -1;  // eventfd from Start(): Publish() and Stop() wake the thread
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_connected{false};

    mutable std::mutex m_lock;  // guards m_held, m_forget, m_meters and m_lastError
    std::map<std::string, Held> m_held;
    std::set<std::string> m_forget;  // to clear on the broker
    std::set<std::string> m_meters;  // configured; what the cleanup keeps
    bool m_metersKnown = false;
    std::string m_lastError;

    // Owned by the network thread (and by Start() before it runs).
    mosquitto* m_mosq = nullptr;  // the current connection's client, or none
    bool m_accepted = false;      // CONNACK 0 seen on it
    bool m_greet = false;         // accepted, "online" and discovery not yet sent
    bool m_rediscover = false;    // Home Assistant came back
    int m_refusal = 0;            // CONNACK code of a refused connect
    std::map<std::string, Said> m_said;
    std::vector<Stale> m_stale;
    std::set<std::string> m_cleared;  // availability topics cleared on this connection
    bool m_everConnected = false;
    int m_failedTries = 0;        // since the last accepted connection
    std::string m_loggedFailure;  // what the log last said of a failure
    int m_pauseMs = kFirstPauseMs;
    Clock::time_point m_nextAttempt;
    Clock::time_point m_connectStarted;
};
