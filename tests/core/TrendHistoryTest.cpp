// The trend's history: which readings a window shows, where lines break,
// that decimation keeps the extremes, and that memory stays bounded.
#include "CTrendHistory.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int64_t kMinute = 60 * 1000;
constexpr int64_t kUnixBase = 1796000000000;  // December 2026
constexpr int64_t kPollMs = 500;

Measurement Reading(uint16_t voltage, uint16_t current = 100, uint32_t power = 500,
                    bool alarm = false)
{
    return Measurement{voltage, current, power, 0, static_cast<uint16_t>(alarm ? kAlarmOn : 0), 0};
}

// Good polls every 500 ms from steady time `fromMs` up to before `toMs`,
// the wall clock kUnixBase ahead.
void Feed(CTrendHistory* h, int64_t fromMs, int64_t toMs, uint16_t voltage = 5000)
{
    for (int64_t t = fromMs; t < toMs; t += kPollMs)
        h->AddReading(Reading(voltage), kUnixBase + t, t);
}

double MaxOf(const std::vector<TrendPoint>& points)
{
    double m = points.at(0).value;
    for (const TrendPoint& p : points)
        m = std::max(m, p.value);
    return m;
}

double MinOf(const std::vector<TrendPoint>& points)
{
    double m = points.at(0).value;
    for (const TrendPoint& p : points)
        m = std::min(m, p.value);
    return m;
}

// Common shape of every view: same count in the three series, times
// rising within the axis range, segments covering all points.
void ExpectWellFormed(const TrendView& v)
{
    ASSERT_EQ(v.current.size(), v.voltage.size());
    ASSERT_EQ(v.power.size(), v.voltage.size());
    for (size_t i = 0; i < v.voltage.size(); ++i) {
        EXPECT_GE(v.voltage[i].ms, v.fromMs) << i;
        EXPECT_LE(v.voltage[i].ms, v.toMs) << i;
        if (i > 0) {
            EXPECT_GE(v.voltage[i].ms, v.voltage[i - 1].ms) << i;
        }
    }
    if (!v.voltage.empty()) {
        ASSERT_FALSE(v.segmentEnds.empty());
        EXPECT_EQ(v.segmentEnds.back(), v.voltage.size());
        EXPECT_TRUE(std::is_sorted(v.segmentEnds.begin(), v.segmentEnds.end()));
        EXPECT_GT(v.segmentEnds.front(), 0u);
    }
}

TEST(TrendHistory, WindowsShowTheLastOneTenOrSixtyMinutes)
{
    CTrendHistory h;
    TrendView v;
    h.View(kMinute, 600, &v);
    EXPECT_TRUE(v.voltage.empty());
    EXPECT_TRUE(v.segmentEnds.empty());

    // Two hours in; the last reading at 7199.5 s.
    Feed(&h, 0, 120 * kMinute);
    const int64_t newest = 120 * kMinute - kPollMs;

    h.View(kMinute, 600, &v);
    ExpectWellFormed(v);
    EXPECT_EQ(v.toMs, kUnixBase + newest);
    EXPECT_EQ(v.fromMs, kUnixBase + newest - kMinute);
    // 121 readings, one point each, one line.
    EXPECT_EQ(v.voltage.size(), 121u);
    EXPECT_EQ(v.voltage.front().ms, v.fromMs);
    EXPECT_EQ(v.segmentEnds, (std::vector<size_t>{121}));
    EXPECT_DOUBLE_EQ(v.voltage.front().value, 50.0);
    EXPECT_DOUBLE_EQ(v.current.front().value, 1.0);
    EXPECT_DOUBLE_EQ(v.power.front().value, 50.0);

    for (int64_t minutes : {10, 60}) {
        SCOPED_TRACE(minutes);
        h.View(minutes * kMinute, 600, &v);
        ExpectWellFormed(v);
        EXPECT_EQ(v.fromMs, kUnixBase + newest - minutes * kMinute);
        EXPECT_LE(v.voltage.size(), 600u);
        EXPECT_GE(v.voltage.size(), 300u);
        // The window reaches back to its start, within one bucket.
        EXPECT_LT(v.voltage.front().ms - v.fromMs, 2 * minutes * kMinute / 300);
        EXPECT_EQ(v.segmentEnds.size(), 1u);
    }

    // A window wider than what is kept shows the hour kept.
    h.View(180 * kMinute, 600, &v);
    EXPECT_GE(v.voltage.front().ms, kUnixBase + newest - 60 * kMinute);
}

TEST(TrendHistory, FailedPollsAndPausesBreakTheLine)
{
    CTrendHistory h;
    Feed(&h, 0, 10000);      // 20 readings
    h.AddFailure(10500);     // a failed poll
    Feed(&h, 12000, 15000);  // 6 readings
    h.AddFailure(15500);
    h.AddFailure(17000);
    Feed(&h, 18500, 20000);  // 3 readings
    // Measurement stopped for a minute, then started again.
    Feed(&h, 80000, 81000);  // 2 readings

    TrendView v;
    h.View(kMinute + 30000, 600, &v);
    ExpectWellFormed(v);
    EXPECT_EQ(v.segmentEnds, (std::vector<size_t>{20, 26, 29, 31}));

    // Still split when decimated into wide buckets, and still within budget.
    Feed(&h, 81000, 81000 + 50 * kMinute);
    h.AddFailure(81000 + 50 * kMinute);
    Feed(&h, 81500 + 50 * kMinute, 81000 + 55 * kMinute);
    h.View(60 * kMinute, 100, &v);
    ExpectWellFormed(v);
    EXPECT_LE(v.voltage.size(), 100u);
    EXPECT_EQ(v.segmentEnds.size(), 5u);

    // A failure as the newest entry leaves no empty segment behind.
    h.AddFailure(82000 + 55 * kMinute);
    h.View(kMinute, 600, &v);
    ExpectWellFormed(v);
    EXPECT_EQ(v.segmentEnds.size(), 1u);

    // A flaky cable, every other poll failing for an hour: more failures
    // than the budget has points, so one point per reading between them.
    CTrendHistory flaky;
    for (int64_t t = 0; t < 60 * kMinute; t += 2 * kPollMs) {
        flaky.AddReading(Reading(5000), kUnixBase + t, t);
        flaky.AddFailure(t + kPollMs);
    }
    flaky.View(60 * kMinute, 600, &v);
    EXPECT_EQ(v.voltage.size(), 3600u);
    EXPECT_EQ(v.segmentEnds.size(), 3600u);
}

TEST(TrendHistory, DecimationKeepsEachSeriesExtremes)
{
    CTrendHistory h;
    // One spike and one dip in voltage, and a current spike at another time.
    Feed(&h, 0, 20 * kMinute);
    h.AddReading(Reading(8000), kUnixBase + 20 * kMinute - 250, 20 * kMinute - 250);
    h.AddReading(Reading(2000), kUnixBase + 20 * kMinute - 240, 20 * kMinute - 240);
    Feed(&h, 20 * kMinute, 40 * kMinute);
    h.AddReading(Reading(5000, 9999, 123456), kUnixBase + 40 * kMinute - 250, 40 * kMinute - 250);
    Feed(&h, 40 * kMinute, 61 * kMinute);

    TrendView v;
    for (size_t points : {600u, 40u, 4u}) {
        SCOPED_TRACE(points);
        h.View(60 * kMinute, points, &v);
        ExpectWellFormed(v);
        EXPECT_LE(v.voltage.size(), points);
        EXPECT_DOUBLE_EQ(MaxOf(v.voltage), 80.0);
        EXPECT_DOUBLE_EQ(MinOf(v.voltage), 20.0);
        EXPECT_DOUBLE_EQ(MaxOf(v.current), 99.99);
        EXPECT_DOUBLE_EQ(MaxOf(v.power), 12345.6);
        EXPECT_DOUBLE_EQ(MinOf(v.current), 1.0);
    }
    // The spike sits at its own time.
    h.View(60 * kMinute, 600, &v);
    const auto spike = std::find_if(v.voltage.begin(), v.voltage.end(),
                                    [](const TrendPoint& p) { return p.value == 80.0; });
    ASSERT_NE(spike, v.voltage.end());
    EXPECT_EQ(spike->ms, kUnixBase + 20 * kMinute - 250);
}

TEST(TrendHistory, AlarmReadingsAreMarkedOncePerBucket)
{
    CTrendHistory h;
    Feed(&h, 0, 10000);
    for (int64_t t = 10000; t < 13000; t += kPollMs)
        h.AddReading(Reading(static_cast<uint16_t>(30100 + t / 100), 100, 500, true), kUnixBase + t,
                     t);
    Feed(&h, 13000, 20000);

    TrendView v;
    h.View(kMinute, 600, &v);
    ASSERT_EQ(v.alarms.size(), 6u);
    EXPECT_EQ(v.alarms.front().ms, kUnixBase + 10000);
    EXPECT_DOUBLE_EQ(v.alarms.front().value, 302.0);

    // Decimated, one bucket's alarms become one mark at its highest voltage.
    h.View(kMinute, 4, &v);
    ASSERT_EQ(v.alarms.size(), 1u);
    EXPECT_DOUBLE_EQ(v.alarms.front().value, 302.25);
}

TEST(TrendHistory, MemoryStaysBoundedOverManyHours)
{
    // Ten hours at 2 Hz: the ring keeps the last hour and never grows.
    CTrendHistory h;
    const size_t capacity = h.Capacity();
    Feed(&h, 0, 600 * kMinute);
    EXPECT_EQ(h.Capacity(), capacity);
    EXPECT_LE(h.Size(), capacity);
    EXPECT_GE(h.Size(), 7190u);

    // Slower polls: the age limit, not the count, bounds it.
    CTrendHistory slow(100, 10 * kMinute);
    for (int64_t t = 0; t < 300 * kMinute; t += 10000) {
        slow.AddReading(Reading(5000), kUnixBase + t, t);
        if (t % 30000 == 0)
            slow.AddFailure(t + 5000);
    }
    EXPECT_EQ(slow.Capacity(), 100u);
    EXPECT_LE(slow.Size(), 81u);  // 10 minutes: 61 readings, 20 failures
    TrendView v;
    slow.View(60 * kMinute, 600, &v);
    EXPECT_GE(v.voltage.front().ms, v.toMs - 10 * kMinute);

    // A tiny ring keeps only what it holds.
    CTrendHistory tiny(10);
    Feed(&tiny, 0, kMinute);
    EXPECT_EQ(tiny.Size(), 10u);
    tiny.View(kMinute, 600, &v);
    EXPECT_EQ(v.voltage.size(), 10u);
}

TEST(TrendHistory, ClockStepsMoveTheAxisNotTheReadings)
{
    CTrendHistory h;
    // The system clock steps back an hour half-way; the steady clock runs on.
    for (int64_t t = 0; t < 2 * kMinute; t += kPollMs) {
        const int64_t unix = t < kMinute ? kUnixBase + t : kUnixBase - 60 * kMinute + t;
        h.AddReading(Reading(5000), unix, t);
    }
    TrendView v;
    h.View(2 * kMinute, 600, &v);
    ExpectWellFormed(v);
    EXPECT_EQ(v.voltage.size(), 240u);
    EXPECT_EQ(v.segmentEnds.size(), 1u);
    // The axis follows the clock now: it ends at the newest wall-clock time.
    EXPECT_EQ(v.toMs, kUnixBase - 60 * kMinute + 2 * kMinute - kPollMs);

    // A steady time out of order counts as the newest one; nothing is lost
    // or reordered.
    h.AddReading(Reading(6000), kUnixBase, 10);
    h.View(kMinute, 600, &v);
    ExpectWellFormed(v);
    EXPECT_EQ(v.voltage.size(), 122u);
    EXPECT_DOUBLE_EQ(v.voltage.back().value, 60.0);
    EXPECT_EQ(v.toMs, kUnixBase);

    h.Clear();
    EXPECT_EQ(h.Size(), 0u);
    EXPECT_FALSE(h.HasReadings());
    h.View(kMinute, 600, &v);
    EXPECT_TRUE(v.voltage.empty());
}

}  // namespace
