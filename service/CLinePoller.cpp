#include "CLinePoller.h"

#include "MeterFormat.h"
#include "PortMap.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kBaudRate = 9600;

std::string MeterLabel(const MeterSnapshot& m)
{
    return "meter " + m.name + " (" + m.port + ", address " + std::to_string(m.address) + ")";
}

std::string PauseText(int ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

CLinePoller::CLinePoller(const LineConfig& line, int intervalMs, CSnapshotStore& store, LogFn log,
                         PollTiming timing)
    : m_line(line),
      m_intervalMs(intervalMs),
      m_store(store),
      m_log(std::move(log)),
      m_timing(timing),
      m_pauseMs(timing.reopenFirstMs)
{
    for (const MeterConfig& meter : m_line.meters) {
        MeterSnapshot s;
        s.name = meter.name;
        s.port = m_line.port;
        s.address = meter.address;
        m_snapshots.push_back(s);
    }
    m_reported.assign(m_snapshots.size(), kReportedNothing);
}

CLinePoller::~CLinePoller()
{
    Stop();
}

void CLinePoller::Start()
{
    for (const MeterSnapshot& s : m_snapshots)
        m_store.Put(s);
    m_thread = std::thread([this] { Run(); });
}

void CLinePoller::Stop()
{
    m_stop.Raise();
    if (m_thread.joinable())
        m_thread.join();
}

std::string CLinePoller::Label() const
{
    return m_line.comPort != 0 ? ComPortLabel(m_line.comPort) : m_line.port;
}

void CLinePoller::Run()
{
    while (!m_stop.Requested()) {
        if (!m_meter.Serial().IsOpen() && !OpenLine()) {
            if (PauseBeforeReopen())
                break;
            continue;
        }
        const Clock::time_point roundStart = Clock::now();
        bool lineOk = true;
        for (MeterSnapshot& meter : m_snapshots) {
            if (m_stop.Wait(m_timing.frameGapMs))
                break;
            if (!PollMeter(&meter)) {
                lineOk = false;
                break;
            }
            m_pauseMs = m_timing.reopenFirstMs;
        }
        if (!lineOk) {
            if (PauseBeforeReopen())
                break;
            continue;
        }
        WaitForNextRound(roundStart);
    }
    m_meter.Serial().Close();
}

bool CLinePoller::OpenLine()
{
    m_meter.Serial().m_strDevicePath = m_line.comPort != 0 ? std::string() : m_line.port;
    if (m_meter.OpenPort(static_cast<uint8_t>(m_line.comPort), kBaudRate) == 1) {
        m_log(Label() + ": line " + (m_everOpened ? "reopened" : "opened"));
        m_everOpened = true;
        m_lastOpenError.clear();
        return true;
    }
    MeterOutcome outcome;
    outcome.stage = m_everOpened ? MeterOutcome::kReopen : MeterOutcome::kOpen;
    outcome.result = kMeterTransport;
    outcome.reason = m_meter.Serial().LastError();
    const std::string text = OutcomeText(outcome);
    if (text != m_lastOpenError)  // an adapter left unplugged for days: one line, not thousands
        m_log(Label() + ": cannot open: " + text + "; trying again with a growing pause");
    m_lastOpenError = text;
    for (MeterSnapshot& meter : m_snapshots)
        MarkDown(&meter, text);
    return false;
}

bool CLinePoller::PollMeter(MeterSnapshot* meter)
{
    MeterReading reading{};
    MeterOutcome outcome;
    outcome.result = m_meter.ReadMeasurements(&reading);
    outcome.received = m_meter.LastReceived();
    if (outcome.result != kMeterOk)
        outcome.reason = m_meter.Serial().LastError();
    ++meter->polls;
    if (outcome.result == kMeterTransport) {
        LoseLine(meter, outcome);
        return false;
    }
    if (!outcome.Ok()) {
        ++meter->failures;
        MarkDown(meter, OutcomeText(outcome));
        return true;
    }
    const size_t i = static_cast<size_t>(meter - m_snapshots.data());
    meter->up = true;
    meter->haveReading = true;
    meter->reading = DecodeReading(reading);
    meter->readingUnixMs = UnixMillisNow();
    meter->lastError.clear();
    if (m_reported[i] != kReportedUp) {
        m_reported[i] = kReportedUp;
        std::string values = FormatReading(meter->reading, false);
        values.pop_back();  // its '\n'
        m_log(MeterLabel(*meter) + " up: " + values);
    }
    m_store.Put(*meter);
    return true;
}

void CLinePoller::LoseLine(MeterSnapshot* polled, const MeterOutcome& outcome)
{
    m_meter.Serial().Close();
    m_log(Label() + ": line lost: " + OutcomeText(outcome) + "; reopening in " +
          PauseText(m_pauseMs));
    ++polled->failures;
    for (MeterSnapshot& meter : m_snapshots)
        MarkDown(&meter, OutcomeText(outcome));
}

void CLinePoller::MarkDown(MeterSnapshot* meter, const std::string& reason)
{
    const size_t i = static_cast<size_t>(meter - m_snapshots.data());
    if (m_reported[i] != kReportedDown)
        m_log(MeterLabel(*meter) + " down: " + reason);
    m_reported[i] = kReportedDown;
    meter->up = false;
    meter->lastError = reason;
    m_store.Put(*meter);
}

bool CLinePoller::PauseBeforeReopen()
{
    const int pause = m_pauseMs;
    m_pauseMs = std::min(m_pauseMs * 2, m_timing.reopenMaxMs);
    return m_stop.Wait(pause);
}

void CLinePoller::WaitForNextRound(Clock::time_point roundStart)
{
    const Clock::time_point next = roundStart + std::chrono::milliseconds(m_intervalMs.load());
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    if (left > 0)
        m_stop.Wait(static_cast<int>(left));
}
