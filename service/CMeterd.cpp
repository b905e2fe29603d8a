#include "CMeterd.h"

#include <algorithm>

namespace {

std::string Count(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string IntervalText(int ms)
{
    if (ms == 0)
        return "as fast as the line allows";
    return ms % 1000 == 0 ? "every " + std::to_string(ms / 1000) + " s"
                          : "every " + std::to_string(ms) + " ms";
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
      m_http(m_store, limits)
{
}

CMeterd::~CMeterd()
{
    Stop();
}

bool CMeterd::Start(const MeterdConfig& config, std::string* error)
{
    m_config = config;
    if (!Listen(config, error))
        return false;
    m_log("polling " + Count(config.lines.size(), "line", "lines") + ", " +
          Count(MeterCount(config), "meter", "meters") + ", " + IntervalText(config.intervalMs));
    for (const LineConfig& line : config.lines)
        StartLine(line);
    return true;
}

bool CMeterd::Listen(const MeterdConfig& config, std::string* error)
{
    if (!m_http.Start(config.listenHost, config.listenPort, error))
        return false;
    MeterdConfig bound = config;
    bound.listenPort = m_http.Port();
    m_log("serving metrics on http://" + ListenText(bound) + "/metrics");
    return true;
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
    m_log("configuration reloaded: " + Count(m_lines.size() - started, "line", "lines") +
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
    return clean;
}
