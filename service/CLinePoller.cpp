#include "CLinePoller.h"

#include "MeterFormat.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// A line this long without a byte has ended its message (the serial layer's
// gap between bytes of one answer).
constexpr std::chrono::milliseconds kQuiet(CSerial::kReadIntervalMs);

std::string MeterLabel(const MeterSnapshot& m)
{
    return "meter " + m.name + " (" + m.port + ", address " + std::to_string(m.address) + ")";
}

// One log line: a hint that DescribeFailure puts on a line of its own
// follows a "; " instead.
std::string OneLine(const std::string& text)
{
    std::string line;
    for (char c : text)
        line += c == '\n' ? std::string("; ") : std::string(1, c);
    return line;
}

}  // namespace

CLinePoller::CLinePoller(const LineConfig& line, int intervalMs, CSnapshotStore& store, LogFn log,
                         LinePollTiming timing)
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
    m_status.port = m_line.port;
    PortChoice choice;
    choice.number = m_line.comPort;
    choice.path = m_line.comPort != 0 ? std::string() : m_line.port;
    m_port.Choose(choice);
    m_port.SetCancel(&m_stop);
    m_status.device = m_port.Label();
    m_port.SetAnswerLimitMs(static_cast<uint32_t>(timing.answerLimitMs));
}

CLinePoller::~CLinePoller()
{
    Stop();
}

void CLinePoller::Start()
{
    for (const MeterSnapshot& s : m_snapshots)
        m_store.Put(s);
    m_store.PutLine(m_status);
    m_thread = std::thread([this] { Run(); });
}

void CLinePoller::Stop()
{
    m_stop.Raise();
    if (m_thread.joinable())
        m_thread.join();
}

void CLinePoller::Log(const std::string& event) const
{
    m_log(m_port.Label() + ": " + event);
}

void CLinePoller::Run()
{
    while (!m_stop.Requested()) {
        if (!m_port.IsOpen() && !OpenLine()) {
            if (PauseBeforeReopen())
                break;
            continue;
        }
        const Clock::time_point roundStart = Clock::now();
        bool lineOk = true;
        for (MeterSnapshot& meter : m_snapshots) {
            if (m_stop.Requested() || !(lineOk = PollMeter(&meter)))
                break;
            m_pauseMs = m_timing.reopenFirstMs;  // the line works again
        }
        if (m_stop.Requested())
            break;
        if (!lineOk) {
            if (PauseBeforeReopen())
                break;
            continue;
        }
        WaitForNextRound(roundStart);
    }
    m_port.Close();
}

bool CLinePoller::OpenLine()
{
    const MeterOutcome outcome = m_everOpened ? m_port.Reopen() : m_port.Open();
    if (outcome.Ok()) {
        Log(m_everOpened ? "line reopened" : "line opened");
        m_everOpened = true;
        m_lastOpenError.clear();
        PutLineStatus(true, std::string());
        return true;
    }
    const std::string text = OutcomeText(outcome);
    ++m_status.openFailures;
    PutLineStatus(false, text);
    // An adapter left unplugged for days: one line, not thousands.
    if (text != m_lastOpenError)
        m_log(OneLine(m_port.Describe(outcome)) + "; trying again with a growing pause");
    m_lastOpenError = text;
    for (MeterSnapshot& meter : m_snapshots)
        MarkDown(&meter, text);
    return false;
}

bool CLinePoller::PollMeter(MeterSnapshot* meter)
{
    MeterReading reading{};
    Clock::time_point asked;
    const MeterOutcome outcome = m_port.ReadMeasurementsFrom(meter->address, &reading, &asked);
    if (m_stop.Requested())
        return true;  // a cancelled transfer is no fault of the line
    ++meter->polls;
    meter->decided = true;
    if (outcome.result == kMeterTransport) {
        ++meter->failures;
        LoseLine(outcome);
        return false;
    }
    if (!outcome.Ok()) {
        ++meter->failures;
        MarkDown(meter, OutcomeText(outcome));
        return outcome.wholeFrame || WaitOutAnswer(asked);
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

// The meter had until its limit to answer, and its bytes, or the rest of
// them, may come until then (a split answer, garbage longer than an answer)
// or a little after (an answer that straddles the limit). What comes is
// dropped, so the next meter's exchange starts on a quiet line.
bool CLinePoller::WaitOutAnswer(Clock::time_point asked)
{
    const auto limit = std::chrono::milliseconds(m_port.AnswerLimitMs(kMeasurementAnswerBytes));
    const MeterOutcome outcome = m_port.DrainLine(asked + limit, kQuiet);
    if (outcome.Ok() || m_stop.Requested())
        return true;
    LoseLine(outcome);
    return false;
}

void CLinePoller::LoseLine(const MeterOutcome& outcome)
{
    m_port.Close();
    PutLineStatus(false, OutcomeText(outcome));
    Log("line lost: " + OutcomeText(outcome) + "; reopening in " + DurationText(m_pauseMs));
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
    meter->decided = true;
    meter->lastError = reason;
    m_store.Put(*meter);
}

void CLinePoller::PutLineStatus(bool open, const std::string& error)
{
    m_status.open = open;
    m_status.lastError = error;
    m_store.PutLine(m_status);
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
