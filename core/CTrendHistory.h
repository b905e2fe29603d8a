// What the trend shows: the good readings and failed polls since the panel
// started, at most the last hour of them, in a ring whose memory is fixed at
// construction.
//
// Time runs on the steady clock the caller passes; the wall-clock time of
// each reading only anchors the drawn axis, so a step of the system clock
// moves the axis labels but never reorders or drops readings.
//
// Not thread-safe: one thread (the UI thread) adds and views.
#pragma once

#include "MeterBlocks.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct TrendPoint {
    int64_t ms;    // wall-clock ms since 1970 on the drawn axis
    double value;  // V, A or W
};

// One window of the history, ready to draw. The three series share their
// point count and segment ends: each point index is the same moment in all
// three.
struct TrendView {
    int64_t fromMs = 0;  // axis range, wall-clock ms; toMs is the newest entry
    int64_t toMs = 0;
    std::vector<TrendPoint> voltage;
    std::vector<TrendPoint> current;
    std::vector<TrendPoint> power;
    // One past the last point of each segment; no line joins two segments.
    std::vector<size_t> segmentEnds;
    // Readings in voltage alarm (their voltage): the highest of each run of
    // readings drawn as one bucket.
    std::vector<TrendPoint> alarms;

    void Clear();
};

class CTrendHistory {
public:
    static constexpr int64_t kKeepMs = 60 * 60 * 1000;
    // An hour at 2 Hz.
    static constexpr size_t kDefaultCapacity = 7200;
    // Readings further apart than this are not joined by a line (the
    // measurement was stopped in between).
    static constexpr int64_t kMaxSpacingMs = 5000;

    explicit CTrendHistory(size_t capacity = kDefaultCapacity, int64_t keepMs = kKeepMs);

    // `unixMs`: when it was taken, ms since 1970; `steadyMs`: the same
    // moment on the steady clock. A steady time earlier than the newest
    // entry's is taken as the newest entry's.
    void AddReading(const Measurement& reading, int64_t unixMs, int64_t steadyMs);
    // A failed poll: the line breaks here.
    void AddFailure(int64_t steadyMs);
    void Clear();

    size_t Size() const { return m_count; }  // entries, readings and failures
    size_t Capacity() const { return m_ring.size(); }
    bool HasReadings() const { return m_haveAnchor; }

    // The last `windowMs` before the newest entry, at most `maxPoints`
    // points per series (at least 4): each bucket of time keeps its minimum
    // and maximum, so spikes stay visible. Only a window holding more than
    // maxPoints / 2 failed polls gets more points: one or two per run of
    // readings between them. `out` is refilled; its buffers are reused.
    void View(int64_t windowMs, size_t maxPoints, TrendView* out) const;

private:
    struct Entry {
        int64_t steadyMs;
        Measurement reading;
        bool good;
    };

    void Push(const Entry& entry);
    void DropOld(int64_t newestMs);
    const Entry& At(size_t i) const { return m_ring[(m_first + i) % m_ring.size()]; }
    int64_t AxisMs(int64_t steadyMs) const
    {
        return m_anchorUnixMs + (steadyMs - m_anchorSteadyMs);
    }
    // Index of the first entry at or after `steadyMs`.
    size_t FirstAtOrAfter(int64_t steadyMs) const;
    // Points `View` would draw with buckets `bucketMs` wide.
    size_t CountPoints(size_t begin, int64_t bucketMs) const;
    template <typename OnRun>
    void ScanRuns(size_t begin, int64_t bucketMs, OnRun onRun) const;
    void EmitRun(size_t first, size_t last, TrendView* out) const;

    std::vector<Entry> m_ring;
    size_t m_first = 0;
    size_t m_count = 0;
    const int64_t m_keepMs;
    // The newest reading's clocks: steady times map onto its wall clock.
    bool m_haveAnchor = false;
    int64_t m_anchorUnixMs = 0;
    int64_t m_anchorSteadyMs = 0;
};
