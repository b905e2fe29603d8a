#include "CMeterd.h"

#include "MeterFormat.h"

#include <algorithm>
#include <set>

namespace {

std::string IntervalText(int ms)
{
    return ms == 0 ? "as fast as the line allows" : "every " + DurationText(ms);
}

bool HasLine(const MeterdConfig& config, const LineConfig& line)
{
    return std::find(config.lines.begin(), config.lines.end(), line) != config.lines.end();
}

std::vector<std::string> MeterNames(const MeterdConfig& config)
{
    std::vector<std::string> names;
    for (const LineConfig& line : config.lines)
        for (const MeterConfig& meter : line.meters)
            names.push_back(meter.name);
    return names;
}

}  // namespace

CMeterd::CMeterd(LogFn log, LinePollTiming timing, HttpLimits limits)
    : m_log(std::move(log)),
      m_timing(timing),
      m_store(std::make_shared<CSnapshotStore>()),
      m_mqtt(std::make_shared<MqttSlot>()),
      m_http(m_store, limits)
{
    m_store->SetObserver([slot = m_mqtt](const MeterSnapshot& snapshot) {
        std::lock_guard<std::mutex> hold(slot->lock);
        if (slot->publisher)
            slot->publisher->Publish(snapshot);  // keeps the latest; never blocks
    });
    m_store->UpdateService([](ServiceFacts& s) { s.startUnixMs = UnixMillisNow(); });
}

CMeterd::~CMeterd()
{
    Stop();
}

bool CMeterd::Start(const MeterdConfig& config, std::string* error, bool* badConfig)
{
    m_config = config;
    bool badFile = false;
    if (!Listen(config, error, &badFile)) {
        if (badConfig != nullptr)
            *badConfig = badFile;
        return false;
    }
    m_store->UpdateService([](ServiceFacts& s) {
        s.reloadOk = true;
        s.reloadUnixMs = UnixMillisNow();
    });
    if (config.mqtt.enabled) {
        auto publisher = StartMqtt(config.mqtt, error);
        if (!publisher) {
            m_http.Stop();
            if (badConfig != nullptr)
                *badConfig = true;
            return false;
        }
        SwapMqtt(std::move(publisher));
    }
    m_log("polling " + CountText(config.lines.size(), "line", "lines") + ", " +
          CountText(MeterCount(config), "meter", "meters") + ", " +
          IntervalText(config.intervalMs));
    for (const LineConfig& line : config.lines)
        StartLine(line);
    return true;
}

bool CMeterd::Listen(const MeterdConfig& config, std::string* error, bool* badFile)
{
    const HttpAccess& access = config.access;
    if (!m_http.Start(config.listenHost, config.listenPort, access, error, badFile))
        return false;
    std::string how;
    if (!access.users.empty())
        how = " for " + CountText(access.users.size(), "user", "users");
    if (!access.clientCaFile.empty())
        how += std::string(how.empty() ? " for" : " and") + " clients with a certificate";
    m_log(std::string("serving metrics on ") + (access.Tls() ? "https" : "http") + "://" +
          ListenText(config.listenHost, m_http.Port()) + "/metrics" + how);
    if (!access.users.empty() && !access.Tls())
        m_log(
            "warning: basic authentication without TLS: passwords cross the network in clear; "
            "set [http.tls]");
    return true;
}

std::unique_ptr<CMqttPublisher> CMeterd::StartMqtt(const MqttSettings& settings, std::string* error)
{
    if (!settings.enabled)
        return nullptr;
    auto publisher = std::make_unique<CMqttPublisher>(settings);
    publisher->SetLog(m_log);
    publisher->SetMeters(MeterNames(m_config));
    publisher->SetConnectionObserver([store = m_store](bool connected, const std::string& reason) {
        store->UpdateService([&](ServiceFacts& s) {
            s.mqttConnected = connected;
            s.mqttError = reason;
        });
    });
    if (!publisher->Start(error))
        return nullptr;
    m_store->UpdateService([&](ServiceFacts& s) {
        s.mqttEnabled = true;
        s.mqttConnected = false;
        s.mqttBroker = MqttBrokerText(settings);
        s.mqttError.clear();
    });
    for (const MeterSnapshot& snapshot : m_store->Copy())
        publisher->Publish(snapshot);
    m_log("publishing to the MQTT broker " + MqttBrokerText(settings));
    return publisher;
}

std::unique_ptr<CMqttPublisher> CMeterd::SwapMqtt(std::unique_ptr<CMqttPublisher> next)
{
    std::lock_guard<std::mutex> hold(m_mqtt->lock);
    std::swap(m_mqtt->publisher, next);
    return next;
}

void CMeterd::ReloadMqtt(const MeterdConfig& previous)
{
    if (previous.mqtt == m_config.mqtt) {
        std::lock_guard<std::mutex> hold(m_mqtt->lock);
        if (m_mqtt->publisher)
            m_mqtt->publisher->SetMeters(MeterNames(m_config));
        return;
    }
    std::string error;
    auto next = StartMqtt(m_config.mqtt, &error);
    if (!next && m_config.mqtt.enabled) {
        m_log("configuration: " + error + "; the broker connection stays as it was");
        PartlyRefused(error);
        m_config.mqtt = previous.mqtt;
        return;
    }
    auto old = SwapMqtt(std::move(next));
    if (old)
        old->Stop();  // bounded; the new one already runs
    if (!m_config.mqtt.enabled) {
        m_store->UpdateService([](ServiceFacts& s) { s.mqttEnabled = false; });
        m_log("MQTT publishing stopped");
    }
}

// Meters that left the configuration: out of the store and off the broker.
void CMeterd::ForgetMeters(const MeterdConfig& previous)
{
    const std::vector<std::string> kept = MeterNames(m_config);
    const std::set<std::string> now(kept.begin(), kept.end());
    std::lock_guard<std::mutex> hold(m_mqtt->lock);
    for (const std::string& name : MeterNames(previous)) {
        if (now.count(name) != 0)
            continue;
        m_store->Remove(name);
        if (m_mqtt->publisher)
            m_mqtt->publisher->Forget(name);
    }
}

void CMeterd::StartLine(const LineConfig& line)
{
    m_lines.push_back(
        std::make_unique<CLinePoller>(line, m_config.intervalMs, *m_store, m_log, m_timing));
    m_lines.back()->Start();
}

void CMeterd::Reload(const MeterdConfig& next)
{
    std::vector<std::unique_ptr<CLinePoller>> kept, dropped;
    for (auto& poller : m_lines)
        (HasLine(next, poller->Line()) ? kept : dropped).push_back(std::move(poller));
    for (auto& poller : dropped)
        poller->RequestStop();
    for (auto& poller : dropped) {
        poller->Stop();
        m_store->RemoveLine(poller->Line().port);
        for (const MeterConfig& meter : poller->Line().meters)
            m_store->Remove(meter.name);  // a meter that stays comes back with its new line
    }
    for (auto& poller : kept)
        poller->SetIntervalMs(next.intervalMs);

    const MeterdConfig previous = m_config;
    m_config = next;
    m_lines = std::move(kept);
    ForgetMeters(previous);
    m_store->UpdateService([](ServiceFacts& s) {
        s.reloadOk = true;
        s.reloadError.clear();
        s.reloadUnixMs = UnixMillisNow();
    });
    size_t started = 0;
    for (const LineConfig& line : next.lines) {
        if (HasLine(previous, line))
            continue;
        StartLine(line);
        ++started;
    }
    ReloadHttp(previous);
    ReloadMqtt(previous);
    m_log("configuration reloaded: " + CountText(m_lines.size() - started, "line", "lines") +
          " kept, " + std::to_string(started) + " started, " + std::to_string(dropped.size()) +
          " stopped" +
          (previous.intervalMs != next.intervalMs ? "; now polling " + IntervalText(next.intervalMs)
                                                  : ""));
}

void CMeterd::ReloadHttp(const MeterdConfig& previous)
{
    if (ListenText(previous) == ListenText(m_config) && previous.access == m_config.access &&
        !m_config.access.Tls())
        return;
    std::string error;
    // TLS files that cannot be used leave the running server alone.
    if (!CHttpServer::CanUse(m_config.access, &error)) {
        m_log("configuration: " + error + "; the HTTP server stays as it was");
        PartlyRefused(error);
        m_config.listenHost = previous.listenHost;
        m_config.listenPort = previous.listenPort;
        m_config.access = previous.access;
        return;
    }
    m_http.Stop();
    if (Listen(m_config, &error))
        return;
    m_log("configuration: " + error + "; staying on " + ListenText(previous) + " as before");
    PartlyRefused(error);
    m_config.listenHost = previous.listenHost;
    m_config.listenPort = previous.listenPort;
    m_config.access = previous.access;
    if (!Listen(m_config, &error))
        m_log("metrics are not served: " + error);
}

// A reload whose HTTP or broker part could not be applied: the rest was
// taken, but /metrics says the reload failed, so that the alert tells.
void CMeterd::PartlyRefused(const std::string& error)
{
    m_store->UpdateService([&](ServiceFacts& s) {
        s.reloadOk = false;
        s.reloadError = error;
    });
}

void CMeterd::ReloadRefused(const std::string& error)
{
    m_log("configuration not reloaded, the running one stays: " + error);
    m_store->UpdateService([&](ServiceFacts& s) {
        s.reloadOk = false;
        s.reloadError = error;
    });
}

bool CMeterd::Stop()
{
    for (auto& poller : m_lines)
        poller->RequestStop();
    const bool clean = m_http.Stop();  // meanwhile the lines wind down
    for (auto& poller : m_lines)
        poller->Stop();
    m_lines.clear();
    if (auto publisher = SwapMqtt(nullptr))
        publisher->Stop();  // last: the meters' final states go out first
    return clean;
}
