#include "CTrendHistory.h"

#include <algorithm>

namespace {

int64_t FloorDiv(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

double Volts(const Measurement& m)
{
    return m.voltage / 100.0;
}

double Amps(const Measurement& m)
{
    return m.current / 100.0;
}

double Watts(const Measurement& m)
{
    return m.power / 10.0;
}

}  // namespace

void TrendView::Clear()
{
    fromMs = toMs = 0;
    voltage.clear();
    current.clear();
    power.clear();
    segmentEnds.clear();
    alarms.clear();
}

CTrendHistory::CTrendHistory(size_t capacity, int64_t keepMs)
    : m_ring(std::max<size_t>(capacity, 1)), m_keepMs(keepMs)
{
}

void CTrendHistory::AddReading(const Measurement& reading, int64_t unixMs, int64_t steadyMs)
{
    if (m_count > 0)
        steadyMs = std::max(steadyMs, At(m_count - 1).steadyMs);
    Push(Entry{steadyMs, reading, true});
    m_haveAnchor = true;
    m_anchorUnixMs = unixMs;
    m_anchorSteadyMs = steadyMs;
}

void CTrendHistory::AddFailure(int64_t steadyMs)
{
    if (m_count > 0)
        steadyMs = std::max(steadyMs, At(m_count - 1).steadyMs);
    Push(Entry{steadyMs, Measurement{}, false});
}

void CTrendHistory::Clear()
{
    m_first = m_count = 0;
    m_haveAnchor = false;
}

void CTrendHistory::Push(const Entry& entry)
{
    DropOld(entry.steadyMs);
    if (m_count == m_ring.size()) {
        m_first = (m_first + 1) % m_ring.size();
        --m_count;
    }
    m_ring[(m_first + m_count) % m_ring.size()] = entry;
    ++m_count;
}

void CTrendHistory::DropOld(int64_t newestMs)
{
    while (m_count > 0 && At(0).steadyMs < newestMs - m_keepMs) {
        m_first = (m_first + 1) % m_ring.size();
        --m_count;
    }
}

size_t CTrendHistory::FirstAtOrAfter(int64_t steadyMs) const
{
    size_t low = 0;
    size_t high = m_count;
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (At(mid).steadyMs < steadyMs)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// Calls onRun(first, last, startsSegment) for each run: readings in one
// bucket with no failed poll and no long pause between them. Walks the ring
// with a wrapping cursor rather than At(), which divides.
template <typename OnRun>
void CTrendHistory::ScanRuns(size_t begin, int64_t bucketMs, OnRun onRun) const
{
    bool open = false;
    bool runStartsSegment = true;
    bool broken = true;
    size_t runFirst = 0;
    size_t runLast = 0;
    int64_t lastMs = 0;
    int64_t bucketEndMs = 0;
    size_t p = (m_first + begin) % m_ring.size();
    for (size_t i = begin; i < m_count; ++i, p = p + 1 == m_ring.size() ? 0 : p + 1) {
        const Entry& e = m_ring[p];
        if (!e.good) {
            broken = true;
            continue;
        }
        if (open && e.steadyMs - lastMs > kMaxSpacingMs)
            broken = true;
        if (open && (broken || e.steadyMs >= bucketEndMs)) {
            onRun(runFirst, runLast, runStartsSegment);
            open = false;
        }
        if (!open) {
            open = true;
            runStartsSegment = broken;
            runFirst = i;
            bucketEndMs = (FloorDiv(e.steadyMs, bucketMs) + 1) * bucketMs;
        }
        broken = false;
        runLast = i;
        lastMs = e.steadyMs;
    }
    if (open)
        onRun(runFirst, runLast, runStartsSegment);
}

size_t CTrendHistory::CountPoints(size_t begin, int64_t bucketMs) const
{
    size_t points = 0;
    ScanRuns(begin, bucketMs,
             [&points](size_t first, size_t last, bool) { points += first == last ? 1 : 2; });
    return points;
}

void CTrendHistory::View(int64_t windowMs, size_t maxPoints, TrendView* out) const
{
    out->Clear();
    if (!m_haveAnchor || m_count == 0)
        return;
    windowMs = std::clamp<int64_t>(windowMs, 1, int64_t{1} << 50);  // no overflow below
    maxPoints = std::max<size_t>(maxPoints, 4);
    const int64_t newestMs = At(m_count - 1).steadyMs;
    out->fromMs = AxisMs(newestMs - windowMs);
    out->toMs = AxisMs(newestMs);
    const size_t begin = FirstAtOrAfter(newestMs - windowMs);

    // A window spans at most (windowMs / bucketMs + 1) buckets of two
    // points each; widen the buckets while failed polls split them further.
    const int64_t buckets = static_cast<int64_t>(maxPoints / 2 - 1);
    int64_t bucketMs = std::max<int64_t>(1, (windowMs + buckets - 1) / buckets);
    while (bucketMs < windowMs && CountPoints(begin, bucketMs) > maxPoints)
        bucketMs *= 2;

    ScanRuns(begin, bucketMs, [this, out](size_t first, size_t last, bool startsSegment) {
        if (startsSegment && !out->voltage.empty())
            out->segmentEnds.push_back(out->voltage.size());
        EmitRun(first, last, out);
    });
    if (!out->voltage.empty())
        out->segmentEnds.push_back(out->voltage.size());
}

void CTrendHistory::EmitRun(size_t first, size_t last, TrendView* out) const
{
    std::vector<TrendPoint>* series[3] = {&out->voltage, &out->current, &out->power};
    if (first == last) {
        const Entry& e = At(first);
        const int64_t ms = AxisMs(e.steadyMs);
        out->voltage.push_back({ms, Volts(e.reading)});
        out->current.push_back({ms, Amps(e.reading)});
        out->power.push_back({ms, Watts(e.reading)});
        if (e.reading.VoltageAlarm())
            out->alarms.push_back({ms, Volts(e.reading)});
        return;
    }

    // One pass: each series' lowest and highest reading (the first of
    // equals), and the highest voltage in alarm.
    struct Extreme {
        const Entry* entry;
        size_t index;
        double value;
    };
    Extreme low[3];
    Extreme high[3];
    const Entry* alarm = nullptr;
    size_t p = (m_first + first) % m_ring.size();
    for (size_t i = first; i <= last; ++i, p = p + 1 == m_ring.size() ? 0 : p + 1) {
        const Entry& e = m_ring[p];
        const double values[3] = {Volts(e.reading), Amps(e.reading), Watts(e.reading)};
        for (int s = 0; s < 3; ++s) {
            if (i == first || values[s] < low[s].value)
                low[s] = {&e, i, values[s]};
            if (i == first || values[s] > high[s].value)
                high[s] = {&e, i, values[s]};
        }
        if (e.reading.VoltageAlarm() &&
            (alarm == nullptr || e.reading.voltage > alarm->reading.voltage))
            alarm = &e;
    }

    for (int s = 0; s < 3; ++s) {
        Extreme a = low[s];
        Extreme b = high[s];
        if (a.index == b.index) {
            // Flat: the run's ends.
            a = {&At(first), first, a.value};
            b = {&At(last), last, a.value};
        } else if (b.index < a.index) {
            std::swap(a, b);
        }
        series[s]->push_back({AxisMs(a.entry->steadyMs), a.value});
        series[s]->push_back({AxisMs(b.entry->steadyMs), b.value});
    }
    if (alarm != nullptr)
        out->alarms.push_back({AxisMs(alarm->steadyMs), Volts(alarm->reading)});
}
