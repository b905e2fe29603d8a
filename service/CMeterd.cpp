#include "CMeterd.h"

#include <algorithm>

namespace {

std::string IntervalText(int ms)
{
    return ms == 0 ? "as fast as the line allows" : "every " + DurationText(ms);
}

bool HasLine(const MeterdConfig& config, const LineConfig& line)
{
    return std::find(config.lines.begin(), config.lines.end(), line) != config.lines.end();
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
}

CMeterd::~CMeterd()
{
    Stop();
}

bool CMeterd::Start(const MeterdConfig& config, std::string* error, bool* badConfig)
{
    m_config = config;
    if (!Listen(config, error))
        return false;
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

bool CMeterd::Listen(const MeterdConfig& config, std::string* error)
{
    if (!m_http.Start(config.listenHost, config.listenPort, error))
        return false;
    m_log("serving metrics on http://" + ListenText(config.listenHost, m_http.Port()) + "/metrics");
    return true;
}

std::unique_ptr<CMqttPublisher> CMeterd::StartMqtt(const MqttSettings& settings, std::string* error)
{
    if (!settings.enabled)
        return nullptr;
    auto publisher = std::make_unique<CMqttPublisher>(settings);
    if (!publisher->Start(error))
        return nullptr;
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
    if (previous.mqtt == m_config.mqtt)
        return;
    std::string error;
    auto next = StartMqtt(m_config.mqtt, &error);
    if (!next && m_config.mqtt.enabled) {
        m_log("configuration: " + error + "; the broker connection stays as it was");
        m_config.mqtt = previous.mqtt;
        return;
    }
    auto old = SwapMqtt(std::move(next));
    if (old)
        old->Stop();  // bounded; the new one already runs
    if (!m_config.mqtt.enabled)
        m_log("MQTT publishing stopped");
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
        for (const MeterConfig& meter : poller->Line().meters)
            m_store->Remove(meter.name);
    }
    for (auto& poller : kept)
        poller->SetIntervalMs(next.intervalMs);

    const MeterdConfig previous = m_config;
    m_config = next;
    m_lines = std::move(kept);
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
    if (ListenText(previous) == ListenText(m_config))
        return;
    m_http.Stop();
    std::string error;
    if (Listen(m_config, &error))
        return;
    m_log("configuration: " + error + "; staying on " + ListenText(previous));
    m_config.listenHost = previous.listenHost;
    m_config.listenPort = previous.listenPort;
    if (!Listen(m_config, &error))
        m_log("metrics are not served: " + error);
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
