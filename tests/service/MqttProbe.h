// A subscriber on the test's broker: what the publisher under test sent,
// as the broker delivered it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

struct MqttReceived {
    std::string topic;
    std::string payload;
    bool retained;  // sent from the broker's store, not live
};

class MqttProbe {
public:
    // Connects to 127.0.0.1:port and subscribes to `topics`; see Ready().
    MqttProbe(int port, const std::vector<std::string>& topics,
              const std::string& user = std::string(), const std::string& password = std::string(),
              const std::string& caFile = std::string());
    ~MqttProbe();

    MqttProbe(const MqttProbe&) = delete;
    MqttProbe& operator=(const MqttProbe&) = delete;

    // Connected, and every subscription acknowledged.
    bool Ready() const { return m_ready; }
    // Waits until `done` holds for what has arrived; false after `ms`.
    bool WaitFor(const std::function<bool(const std::vector<MqttReceived>&)>& done, int ms = 10000);
    // What arrived on `topic`, in order.
    std::vector<MqttReceived> On(const std::string& topic) const;
    void Publish(const std::string& topic, const std::string& payload);

private:
    void Loop();
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto*, void* self, int, int, const int*);

    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    bool m_ready = false;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<MqttReceived> m_received;
    size_t m_subscribed = 0;
};
