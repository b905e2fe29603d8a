// The service's MQTT side: the latest reading of each meter, its
// availability and Home Assistant discovery on a broker (topics in
// MqttMessages.h). Read-only: it subscribes to nothing but Home
// Assistant's birth message, after which it sends discovery again.
//
// Threads: Publish() is for any thread (the line pollers); it stores the
// snapshot and wakes the publisher's own network thread, the only one that
// touches libmosquitto. Start() and Stop() belong to the owner.
//
// Memory: one snapshot per meter name; a newer one replaces one not yet
// sent. Messages go to libmosquitto only while the broker has accepted the
// connection and the previous ones have left for the socket, and every
// connection gets a fresh client, so no queue grows while the broker is
// away or slow. After a (re)connect each meter's latest state goes out
// once, with its availability and discovery.
//
// Connection: MQTT 3.1.1, clean session, QoS 0 (retained for status,
// availability and discovery); last will "offline" retained on
// <prefix>/status, "online" after each connect. A lost or refused
// connection is tried again after 1 s, the pause doubling up to 30 s, and
// back to 1 s once a broker accepted. Each attempt first checks that the
// broker's port answers, under a limit that Stop() can cut short, so a
// silent address never holds the thread for the kernel's two minutes.
// Stop() sends "offline" (service and meters), disconnects and joins
// within about a second (plus a name lookup in progress).
#pragma once

#include "MeterSnapshot.h"
#include "MqttSettings.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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
    void Send(const std::string& topic, const std::string& payload, bool retain);
    void Lost(const std::string& reason);
    void Farewell();
    mosquitto* NewClient(std::string* error);
    void WaitWake(int ms);
    void DrainWake();
    void SetError(const std::string& error);

    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

    const MqttSettings m_settings;
    const std::string m_serviceName;
    std::string m_user;  // from the credentials file; "" for none
    std::string m_password;
    int m_firstPauseMs = kFirstPauseMs;
    int m_maxPauseMs = kMaxPauseMs;

    std::thread m_thread;
    int m_wakeFd = -1;  // eventfd from Start(): Publish() and Stop() wake the thread
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_connected{false};

    mutable std::mutex m_lock;  // guards m_held and m_lastError
    std::map<std::string, Held> m_held;
    std::string m_lastError;

    // Owned by the network thread (and by Start() before it runs).
    mosquitto* m_mosq = nullptr;  // the current connection's client, or none
    bool m_accepted = false;      // CONNACK 0 seen on it
    bool m_greet = false;         // accepted, "online" and discovery not yet sent
    bool m_rediscover = false;    // Home Assistant came back
    int m_refusal = 0;            // CONNACK code of a refused connect
    std::map<std::string, Said> m_said;
    int m_pauseMs = kFirstPauseMs;
    Clock::time_point m_nextAttempt;
    Clock::time_point m_connectStarted;
};
