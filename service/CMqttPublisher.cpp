#include "CMqttPublisher.h"

#include "MqttCredentials.h"
#include "MqttMessages.h"

#include <mosquitto.h>

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace {

using Ms = std::chrono::milliseconds;

// How long libmosquitto may wait in one step before a CONNACK, when it
// alone knows what the socket waits for (TLS handshake); bounds the
// reaction to Stop() in that phase.
constexpr int kConnectStepMs = 100;

// libmosquitto's texts end in a full stop; the log's sentence goes on after them.
std::string WithoutStop(std::string text)
{
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

// Text of a libmosquitto result, errno read at once.
std::string MosquittoText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return WithoutStop(mosquitto_strerror(rc));
}

bool TopicPrefixOk(const std::string& prefix)
{
    return !prefix.empty() && prefix.find_first_of("+#") == std::string::npos;
}

// What makes the settings unusable, or "".
std::string SettingsProblem(const MqttSettings& s)
{
    if (s.host.empty())
        return "MQTT broker host is empty";
    if (s.port < 1 || s.port > 65535)
        return "MQTT broker port " + std::to_string(s.port) + " is not 1-65535";
    if (s.keepaliveSeconds < 5 || s.keepaliveSeconds > 65535)
        return "MQTT keepalive " + std::to_string(s.keepaliveSeconds) + " s is not 5-65535";
    if (s.clientId.empty())
        return "MQTT client id is empty";
    if (!TopicPrefixOk(s.topicPrefix) || !TopicPrefixOk(s.discoveryPrefix))
        return "MQTT topic prefixes must be non-empty and free of '+' and '#'";
    return std::string();
}

long long MsUntil(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<Ms>(t - std::chrono::steady_clock::now()).count();
}

// Moved by more than its deadband (in the meter's steps).
bool Beyond(long long before, long long now, int deadband)
{
    return std::llabs(now - before) > deadband;
}

// The availability topics a retained config names: every "topic" string
// ending in /availability.
std::vector<std::string> AvailabilityTopicsIn(const std::string& json)
{
    std::vector<std::string> topics;
    const std::string key = "\"topic\":\"";
    const std::string suffix = "/availability";
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        const size_t start = at + key.size();
        const size_t end = json.find('"', start);
        if (end == std::string::npos)
            break;
        const std::string topic = json.substr(start, end - start);
        if (topic.size() > suffix.size() &&
            topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            topic.find_first_of("\\+#") == std::string::npos)
            topics.push_back(topic);
    }
    return topics;
}

}  // namespace

CMqttPublisher::CMqttPublisher(const MqttSettings& settings, std::string serviceName)
    : m_settings(settings), m_serviceName(std::move(serviceName))
{
}

CMqttPublisher::~CMqttPublisher()
{
    Stop();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void CMqttPublisher::SetReconnectPauses(int firstMs, int maxMs)
{
    m_firstPauseMs = std::max(1, firstMs);
    m_maxPauseMs = std::max(m_firstPauseMs, maxMs);
}

bool CMqttPublisher::Start(std::string* error)
{
    if (m_thread.joinable()) {
        *error = "MQTT publisher already started";
        return false;
    }
    if (!m_settings.enabled)
        return true;
    *error = SettingsProblem(m_settings);
    if (!error->empty())
        return false;
    if (m_wakeFd < 0)
        m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) {
        *error = std::string("MQTT publisher: eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!m_settings.credentialsFile.empty()) {
        const MqttCredentials credentials = ReadMqttCredentials(m_settings.credentialsFile);
        if (!credentials.ok) {
            *error = credentials.error;
            return false;
        }
        m_user = credentials.user;
        m_password = credentials.password;
    }
    // A trial client: an unreadable CA file is a start-up error, not a
    // reason to retry forever.
    mosquitto* trial = NewClient(error);
    if (trial == nullptr)
        return false;
    mosquitto_destroy(trial);

    m_stopping = false;
    m_pauseMs = m_firstPauseMs;
    m_nextAttempt = Clock::now();
    try {
        m_thread = std::thread(&CMqttPublisher::Run, this);
    } catch (const std::system_error& e) {
        *error = std::string("MQTT publisher: no thread: ") + e.what();
        return false;
    }
    return true;
}

void CMqttPublisher::Stop()
{
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
    m_thread.join();
}

void CMqttPublisher::Publish(const MeterSnapshot& snapshot)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Held& held = m_held[snapshot.name];
        held.snapshot = snapshot;
        held.fresh = true;
        m_forget.erase(snapshot.name);  // back in the configuration
    }
    // A full counter is a wake already pending.
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void CMqttPublisher::Forget(const std::string& meter)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_held.erase(meter);
        m_forget.insert(meter);
    }
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void CMqttPublisher::SetMeters(const std::vector<std::string>& meters)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_meters = std::set<std::string>(meters.begin(), meters.end());
    m_metersKnown = true;
}

void CMqttPublisher::Log(const std::string& line) const
{
    if (m_log)
        m_log(line);
}

std::string CMqttPublisher::LastError() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastError;
}

void CMqttPublisher::SetError(const std::string& error)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_lastError = error;
}

mosquitto* CMqttPublisher::NewClient(std::string* error)
{
    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });

    mosquitto* mosq = mosquitto_new(m_settings.clientId.c_str(), true, this);
    if (mosq == nullptr) {
        *error = std::string("MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    const std::string status = MqttStatusTopic(m_settings);
    int rc = mosquitto_will_set(mosq, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !m_user.empty()) {
        rc = mosquitto_username_pw_set(mosq, m_user.c_str(),
                                       m_password.empty() ? nullptr : m_password.c_str());
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "MQTT client: " + MosquittoText(rc);
        mosquitto_destroy(mosq);
        return nullptr;
    }
    if (!m_settings.caFile.empty()) {
        rc = mosquitto_tls_set(mosq, m_settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            // libmosquitto says only "invalid"; it means it could not open the file.
            *error = "MQTT CA file " + m_settings.caFile + ": " +
                     (rc == MOSQ_ERR_INVAL ? std::string("cannot be read") : MosquittoText(rc));
            mosquitto_destroy(mosq);
            return nullptr;
        }
    }
    mosquitto_connect_callback_set(mosq, &CMqttPublisher::OnConnect);
    mosquitto_message_callback_set(mosq, &CMqttPublisher::OnMessage);
    return mosq;
}

void CMqttPublisher::Run()
{
    // A TLS write to a broker that went away raises SIGPIPE on this thread;
    // blocked, it becomes the EPIPE that ends the connection.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    while (!m_stopping.load()) {
        if (m_mosq != nullptr) {
            Serve();
            continue;
        }
        const long long wait = MsUntil(m_nextAttempt);
        if (wait > 0)
            WaitWake(static_cast<int>(wait));
        else
            Connect();
    }
    Farewell();
}

void CMqttPublisher::Connect()
{
    std::string error;
    if (!Reachable(&error)) {
        Lost(error);
        return;
    }
    m_mosq = NewClient(&error);
    if (m_mosq == nullptr) {
        Lost(error);
        return;
    }
    m_accepted = false;
    m_refusal = 0;
    m_connectStarted = Clock::now();
    const int rc = mosquitto_connect(m_mosq, m_settings.host.c_str(), m_settings.port,
                                     m_settings.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = MosquittoText(rc);
        Lost("MQTT broker " + MqttBrokerText(m_settings) + ": " + why);
    }
}

bool CMqttPublisher::Reachable(std::string* error)
{
    const std::string where = MqttBrokerText(m_settings);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(m_settings.host.c_str(), std::to_string(m_settings.port).c_str(),
                               &hints, &list);
    if (rc != 0) {
        *error = "MQTT broker " + where + ": " + gai_strerror(rc);
        return false;
    }
    const Clock::time_point deadline = Clock::now() + Ms(kReachLimitMs);
    std::string why = "no address";
    bool reached = false;
    for (addrinfo* a = list; a != nullptr && !reached && !m_stopping.load(); a = a->ai_next)
        reached = Probe(a, deadline, &why);
    freeaddrinfo(list);
    if (!reached)
        *error = "MQTT broker " + where + ": " + why;
    return reached;
}

bool CMqttPublisher::Probe(const addrinfo* address, Clock::time_point deadline, std::string* why)
{
    const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool reached = false;
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        reached = true;
    else if (errno != EINPROGRESS)
        *why = std::strerror(errno);
    else
        reached = AwaitConnect(fd, deadline, why);
    close(fd);
    return reached;
}

bool CMqttPublisher::AwaitConnect(int fd, Clock::time_point deadline, std::string* why)
{
    for (;;) {
        const long long left = MsUntil(deadline);
        if (left <= 0 || m_stopping.load()) {
            *why = "no answer to a TCP connect";
            return false;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            *why = std::strerror(errno);
            return false;
        }
        if (fds[1].revents != 0)
            DrainWake();
        if (fds[0].revents != 0) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0)
                *why = std::strerror(err);
            return err == 0;
        }
    }
}

void CMqttPublisher::Serve()
{
    if (mosquitto_socket(m_mosq) < 0) {
        Lost("MQTT connection to " + MqttBrokerText(m_settings) + " closed");
        return;
    }
    int rc;
    if (!m_accepted) {
        if (MsUntil(m_connectStarted + Ms(kAnswerLimitMs)) <= 0) {
            Lost("MQTT broker " + MqttBrokerText(m_settings) +
                 " did not accept the connection within 10 s");
            return;
        }
        rc = mosquitto_loop(m_mosq, kConnectStepMs, 1);
    } else {
        pollfd fds[2] = {
            {mosquitto_socket(m_mosq),
             static_cast<short>(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0)), 0},
            {m_wakeFd, POLLIN, 0}};
        poll(fds, 2, kTickMs);
        if (fds[1].revents != 0)
            DrainWake();
        rc = mosquitto_loop(m_mosq, 0, 1);
    }
    if (m_refusal != 0) {
        Lost("MQTT broker " + MqttBrokerText(m_settings) +
             " refused the connection: " + WithoutStop(mosquitto_connack_string(m_refusal)));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) {
        Lost("MQTT connection to " + MqttBrokerText(m_settings) +
             (m_accepted ? " lost: " : " failed: ") +
             (rc != MOSQ_ERR_SUCCESS ? MosquittoText(rc) : std::string("closed")));
        return;
    }
    if (m_greet)
        Greet();
    Flush();
}

void CMqttPublisher::Accepted()
{
    std::string line = "MQTT connected to " + MqttBrokerText(m_settings);
    if (m_everConnected)
        line += " again";
    if (m_failedTries > 0)
        line += " after " + CountText(static_cast<size_t>(m_failedTries) + 1, "try", "tries");
    Log(line);
    m_everConnected = true;
    m_failedTries = 0;
    m_loggedFailure.clear();
    if (m_observer)
        m_observer(true, std::string());
}

void CMqttPublisher::Greet()
{
    m_greet = false;
    m_pauseMs = m_firstPauseMs;
    m_connected = true;
    SetError(std::string());
    Accepted();
    Send(MqttStatusTopic(m_settings), "online", true);
    mosquitto_subscribe(m_mosq, nullptr, MqttBirthTopic(m_settings).c_str(), 0);
    m_stale.clear();
    m_cleared.clear();
    bool cleanup;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        cleanup = m_metersKnown;
    }
    // The broker hands over what it retained under our node: configs of
    // meters that left while the service was away (OnMessage).
    if (cleanup)
        mosquitto_subscribe(m_mosq, nullptr, MqttOwnDiscoveryFilter(m_settings).c_str(), 0);
    const MqttMessage service = MqttServiceDiscovery(m_settings, m_serviceName);
    Send(service.topic, service.payload, service.retain);
    // A new connection: everything is said again, each latest state once.
    m_said.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_held)
        entry.second.fresh = true;
}

void CMqttPublisher::TakeRetained(const mosquitto_message* message)
{
    bool own = false;
    const std::string filter = MqttOwnDiscoveryFilter(m_settings);
    if (message->payloadlen <= 0 || !message->retain ||
        mosquitto_topic_matches_sub(filter.c_str(), message->topic, &own) != MOSQ_ERR_SUCCESS ||
        !own)
        return;
    std::set<std::string> keep = {MqttServiceDiscovery(m_settings, m_serviceName).topic};
    std::set<std::string> keepAvailability;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const std::string& meter : m_meters) {
            for (const MqttMessage& m : MqttDiscovery(m_settings, meter, m_serviceName))
                keep.insert(m.topic);
            keepAvailability.insert(MqttAvailabilityTopic(m_settings, meter));
        }
    }
    if (keep.count(message->topic) != 0)
        return;
    Stale stale{message->topic, {}};
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<size_t>(message->payloadlen));
    for (const std::string& topic : AvailabilityTopicsIn(payload))
        if (keepAvailability.count(topic) == 0)
            stale.availability.push_back(topic);
    m_stale.push_back(std::move(stale));
}

void CMqttPublisher::ClearStale()
{
    for (const Stale& stale : m_stale) {
        Send(stale.topic, std::string(), true);
        for (const std::string& topic : stale.availability) {
            if (!m_cleared.insert(topic).second)
                continue;
            Send(topic, std::string(), true);
            // The configs of one meter come one by one: one line for the meter.
            Log("MQTT: cleared the retained discovery and availability of a meter no longer "
                "configured (" +
                topic.substr(0, topic.size() - std::string("/availability").size()) + ")");
        }
    }
    m_stale.clear();
}

void CMqttPublisher::ClearForgotten()
{
    std::set<std::string> forget;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        forget.swap(m_forget);
    }
    for (const std::string& meter : forget) {
        for (const MqttMessage& m : MqttDiscovery(m_settings, meter, m_serviceName))
            Send(m.topic, std::string(), true);
        Send(MqttAvailabilityTopic(m_settings, meter), std::string(), true);
        m_said.erase(meter);
    }
}

bool CMqttPublisher::StateDue(const Said& said, const MeterSnapshot& m, Clock::time_point now) const
{
    if (m_settings.publish == MqttPublish::kEveryPoll || !said.stateSent ||
        now - said.stateAt >= Ms(m_settings.maxSilenceMs))
        return true;
    const Measurement& a = said.state;
    const Measurement& b = m.reading;
    return a.energy != b.energy || a.VoltageAlarm() != b.VoltageAlarm() ||
           Beyond(a.voltage, b.voltage, m_settings.voltageDeadband) ||
           Beyond(a.current, b.current, m_settings.currentDeadband) ||
           Beyond(a.power, b.power, m_settings.powerDeadband);
}

void CMqttPublisher::Flush()
{
    // Nothing more while earlier messages still wait for the socket: they
    // would pile up in libmosquitto; the newest snapshot waits here instead.
    if (!m_accepted || mosquitto_want_write(m_mosq))
        return;
    if (m_rediscover) {
        for (auto& entry : m_said)
            entry.second.discovery = false;
        const MqttMessage service = MqttServiceDiscovery(m_settings, m_serviceName);
        Send(service.topic, service.payload, service.retain);
        m_rediscover = false;
    }
    ClearForgotten();
    ClearStale();
    struct Due {
        MeterSnapshot snapshot;
        bool discovery, availability, state, diagnostics;
    };
    std::vector<Due> due;
    const Clock::time_point now = Clock::now();
    const bool everyPoll = m_settings.publish == MqttPublish::kEveryPoll;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& [name, held] : m_held) {
            Said& said = m_said[name];
            const MeterSnapshot& m = held.snapshot;
            const int online = m.up ? 1 : 0;
            const bool discovery = !said.discovery;
            // Only once a poll has said whether the meter answers.
            const bool availability = m.decided && said.availability != online;
            const bool state = held.fresh && m.up && m.haveReading && StateDue(said, m, now);
            const bool diagnostics = held.fresh && m.decided &&
                                     (state || availability || everyPoll ||
                                      now - said.diagnosticsAt >= Ms(m_settings.maxSilenceMs));
            held.fresh = false;
            if (!discovery && !availability && !state && !diagnostics)
                continue;
            said.discovery = true;
            if (availability)
                said.availability = online;
            if (state) {
                said.stateSent = true;
                said.state = m.reading;
                said.stateAt = now;
            }
            if (diagnostics)
                said.diagnosticsAt = now;
            due.push_back(Due{m, discovery, availability, state, diagnostics});
        }
    }
    for (const Due& d : due) {
        if (d.discovery) {
            for (const MqttMessage& m : MqttDiscovery(m_settings, d.snapshot.name, m_serviceName))
                Send(m.topic, m.payload, m.retain);
        }
        if (d.availability) {
            const MqttMessage m = MqttAvailability(m_settings, d.snapshot.name, d.snapshot.up);
            Send(m.topic, m.payload, m.retain);
        }
        if (d.state) {
            const MqttMessage m = MqttState(m_settings, d.snapshot);
            Send(m.topic, m.payload, m.retain);
        }
        if (d.diagnostics) {
            const MqttMessage m = MqttDiagnostics(m_settings, d.snapshot);
            Send(m.topic, m.payload, m.retain);
        }
    }
}

void CMqttPublisher::Send(const std::string& topic, const std::string& payload, bool retain)
{
    // A failure here is a lost connection, which the next Serve() sees.
    mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 0, retain);
}

void CMqttPublisher::Lost(const std::string& reason)
{
    if (m_mosq != nullptr) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    const bool wasConnected = m_connected.load();
    m_accepted = false;
    m_greet = false;
    m_connected = false;
    SetError(reason);
    // One line per change: the loss, then a failure only when its reason
    // changes, however long the broker stays away.
    const bool changed = wasConnected || reason != m_loggedFailure;
    if (wasConnected)
        Log(reason + "; trying again in " + DurationText(m_pauseMs));
    else if (changed)
        Log(reason + "; trying again with a growing pause (up to " + DurationText(m_maxPauseMs) +
            ")");
    if (!wasConnected)
        ++m_failedTries;
    m_loggedFailure = reason;
    if (m_observer && changed)
        m_observer(false, reason);
    m_nextAttempt = Clock::now() + Ms(m_pauseMs);
    m_pauseMs = std::min(m_pauseMs * 2, m_maxPauseMs);
}

void CMqttPublisher::Farewell()
{
    if (m_mosq != nullptr && m_accepted) {
        ClearForgotten();  // a reload that dropped meters and stopped this publisher
        for (const auto& [name, said] : m_said) {
            if (said.availability == 1) {
                const MqttMessage m = MqttAvailability(m_settings, name, false);
                Send(m.topic, m.payload, m.retain);
            }
        }
        Send(MqttStatusTopic(m_settings), "offline", true);
        // DISCONNECT goes after them; the socket closes once it is written.
        mosquitto_disconnect(m_mosq);
        const Clock::time_point deadline = Clock::now() + Ms(kFarewellMs);
        while (mosquitto_socket(m_mosq) >= 0 && MsUntil(deadline) > 0) {
            if (mosquitto_loop(m_mosq, kConnectStepMs, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    if (m_mosq != nullptr) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_accepted = false;
    m_connected = false;
}

void CMqttPublisher::WaitWake(int ms)
{
    pollfd fd{m_wakeFd, POLLIN, 0};
    if (poll(&fd, 1, ms) > 0)
        DrainWake();
}

void CMqttPublisher::DrainWake()
{
    uint64_t count;
    (void)!read(m_wakeFd, &count, sizeof count);
}

void CMqttPublisher::OnConnect(mosquitto* /*mosq*/, void* self, int rc)
{
    auto* p = static_cast<CMqttPublisher*>(self);
    if (rc == 0) {
        p->m_accepted = true;
        p->m_greet = true;
    } else {
        p->m_refusal = rc;
    }
}

void CMqttPublisher::OnMessage(mosquitto* /*mosq*/, void* self, const mosquitto_message* message)
{
    auto* p = static_cast<CMqttPublisher*>(self);
    if (message->topic == nullptr)
        return;
    if (message->retain) {
        p->TakeRetained(message);
        return;
    }
    const std::string online = "online";
    if (MqttBirthTopic(p->m_settings) == message->topic &&
        message->payloadlen == static_cast<int>(online.size()) &&
        std::memcmp(message->payload, online.data(), online.size()) == 0) {
        p->m_rediscover = true;
    }
}
