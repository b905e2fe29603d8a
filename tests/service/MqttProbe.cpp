#include "MqttProbe.h"

#include <mosquitto.h>
#include <unistd.h>

#include <chrono>

namespace {

std::string NextClientId()
{
    static std::atomic<int> count{0};
    return "probe-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

}  // namespace

MqttProbe::MqttProbe(int port, const std::vector<std::string>& topics, const std::string& user,
                     const std::string& password, const std::string& caFile)
{
    mosquitto_lib_init();
    m_mosq = mosquitto_new(NextClientId().c_str(), true, this);
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_message_callback_set(m_mosq, &MqttProbe::OnMessage);
    mosquitto_subscribe_callback_set(m_mosq, &MqttProbe::OnSubscribe);
    if (!user.empty())
        mosquitto_username_pw_set(m_mosq, user.c_str(), password.c_str());
    if (!caFile.empty())
        mosquitto_tls_set(m_mosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (mosquitto_connect(m_mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
        return;
    m_thread = std::thread(&MqttProbe::Loop, this);
    for (const std::string& topic : topics)
        mosquitto_subscribe(m_mosq, nullptr, topic.c_str(), 0);
    std::unique_lock<std::mutex> lock(m_lock);
    m_ready = m_changed.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return m_subscribed == topics.size(); });
}

MqttProbe::~MqttProbe()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    mosquitto_destroy(m_mosq);
}

void MqttProbe::Loop()
{
    // A lost connection ends the probe; the test makes a new one.
    while (!m_stop.load() && mosquitto_loop(m_mosq, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
}

bool MqttProbe::WaitFor(const std::function<bool(const std::vector<MqttReceived>&)>& done, int ms)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return done(m_received); });
}

std::vector<MqttReceived> MqttProbe::On(const std::string& topic) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<MqttReceived> out;
    for (const MqttReceived& r : m_received) {
        if (r.topic == topic)
            out.push_back(r);
    }
    return out;
}

void MqttProbe::Publish(const std::string& topic, const std::string& payload)
{
    mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 0, false);
}

void MqttProbe::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* p = static_cast<MqttProbe*>(self);
    std::lock_guard<std::mutex> lock(p->m_lock);
    p->m_received.push_back(MqttReceived{message->topic,
                                         std::string(static_cast<const char*>(message->payload),
                                                     static_cast<size_t>(message->payloadlen)),
                                         message->retain});
    p->m_changed.notify_all();
}

void MqttProbe::OnSubscribe(mosquitto*, void* self, int, int, const int*)
{
    auto* p = static_cast<MqttProbe*>(self);
    std::lock_guard<std::mutex> lock(p->m_lock);
    ++p->m_subscribed;
    p->m_changed.notify_all();
}
