// The real CLinePoller against a bus of three simulated meters on one pty
// (paced at 9600 baud 8N2), one of them misbehaving in each way the
// simulator offers: its neighbours keep every poll, and it costs them no
// more than its time limit.
//
// The fault table runs with the answer limit shortened to 250 ms (the
// poller's timing seam); the straddling answer and the exception run with
// the meter's real 1420 ms.
#include "CLinePoller.h"
#include "CMeterSim.h"
#include "CSnapshotStore.h"
#include "TestWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kShortLimitMs = 250;
constexpr int kRealLimitMs = 20 * 21 + 1000;

SimMeterState Meter(uint16_t address, uint16_t voltage)
{
    SimMeterState state;
    state.address = address;
    state.voltage = voltage;
    state.fixed = true;
    return state;
}

// Meters a, b, c at addresses 1, 2, 3 on one simulated line, polled by a
// CLinePoller that writes into its own store.
class LinePollerBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        m_sim.SetState(Meter(1, 5100));
        m_sim.AddMeter(Meter(2, 5200));
        m_sim.AddMeter(Meter(3, 5300));
    }

    void StartPoller(int intervalMs, int answerLimitMs)
    {
        LineConfig line;
        line.port = m_sim.DevicePath();
        line.meters = {{"a", 1, 0}, {"b", 2, 0}, {"c", 3, 0}};
        LinePollTiming timing;
        timing.answerLimitMs = answerLimitMs;
        m_poller = std::make_unique<CLinePoller>(
            line, intervalMs, m_store,
            [this](const std::string& text) {
                std::lock_guard<std::mutex> lock(m_logLock);
                m_log += text + "\n";
            },
            timing);
        m_poller->Start();
    }

    MeterSnapshot Snapshot(const std::string& name) const
    {
        for (const MeterSnapshot& s : m_store.Copy())
            if (s.name == name)
                return s;
        return MeterSnapshot{};
    }

    bool WaitForPolls(const std::string& name, uint64_t polls, std::chrono::milliseconds limit)
    {
        return WaitFor([&] { return Snapshot(name).polls >= polls; }, limit, 2ms);
    }

    std::string Log()
    {
        std::lock_guard<std::mutex> lock(m_logLock);
        return m_log;
    }

    // Every poll of a and c, and of the simulator's answers to them, was good.
    void ExpectNeighboursKeptEveryPoll(uint64_t atLeast)
    {
        for (const char* name : {"a", "c"}) {
            const MeterSnapshot s = Snapshot(name);
            EXPECT_GE(s.polls, atLeast) << name;
            EXPECT_EQ(s.failures, 0u) << name << ": " << s.lastError << "\n" << Log();
            EXPECT_TRUE(s.up) << name;
        }
        // Each request the poller counted was heard and answered once.
        EXPECT_GE(m_sim.AnswerCount(1), Snapshot("a").polls);
        EXPECT_GE(m_sim.AnswerCount(3), Snapshot("c").polls);
    }

    CMeterSim m_sim;
    CSnapshotStore m_store;
    std::mutex m_logLock;
    std::string m_log;
    std::unique_ptr<CLinePoller> m_poller;  // declared last: stopped first
};

struct FaultCase {
    const char* name;
    SimFaults faults;
    bool answered;  // b's polls succeed all the same
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c)
{
    return out << c.name;
}

SimFaults Faults(void (*set)(SimFaults*))
{
    SimFaults f;
    set(&f);
    return f;
}

const FaultCase kFaults[] = {
    {"silent", Faults([](SimFaults* f) { f->silent = true; }), false},
    {"delay_within", Faults([](SimFaults* f) { f->delayMs = kShortLimitMs / 2; }), true},
    // The answer's 21 bytes (24 ms) cross the limit: the read ends with part of it.
    {"delay_straddling", Faults([](SimFaults* f) { f->delayMs = kShortLimitMs - 20; }), false},
    {"truncate", Faults([](SimFaults* f) { f->truncateTo = 10; }), false},
    {"crc", Faults([](SimFaults* f) { f->corruptCrc = true; }), false},
    {"exception", Faults([](SimFaults* f) { f->exceptionCode = 2; }), false},
    // 21 read, 9 left behind.
    {"garbage_30", Faults([](SimFaults* f) { f->garbageBytes = 30; }), false},
    {"garbage_8", Faults([](SimFaults* f) { f->garbageBytes = 8; }), false},
    // Past the 20 ms byte gap: the read ends with the first half.
    {"split_40", Faults([](SimFaults* f) { f->splitPauseMs = 40; }), false},
    {"split_180", Faults([](SimFaults* f) { f->splitPauseMs = 180; }), false},
};

class LinePollerFault : public LinePollerBus, public ::testing::WithParamInterface<FaultCase> {};

// The middle meter misbehaves on every poll; the meter after it (c) and the
// one after that (a, next round) are where a leftover would land.
TEST_P(LinePollerFault, NeighboursKeepEveryPoll)
{
    const FaultCase& c = GetParam();
    ASSERT_TRUE(m_sim.SetFaults(2, c.faults));
    StartPoller(0, kShortLimitMs);
    ASSERT_TRUE(WaitForPolls("b", 4, 20s)) << Log();
    m_poller->Stop();

    ExpectNeighboursKeptEveryPoll(3);
    const MeterSnapshot b = Snapshot("b");
    EXPECT_EQ(b.failures, c.answered ? 0u : b.polls) << b.lastError;
    EXPECT_GE(m_sim.RequestCount(2), b.polls);
}

INSTANTIATE_TEST_SUITE_P(EveryFault, LinePollerFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& p) {
                             return std::string(p.param.name);
                         });

// The meter's real limit: an answer that starts 10 ms before it ends is cut
// by the read, and the rest is dropped before the next meter is asked. A
// round with the failing meter costs its limit and the two good exchanges.
TEST_F(LinePollerBus, AnswerStraddlingTheRealLimitCostsTheLimitOnly)
{
    SimFaults late;
    late.delayMs = kRealLimitMs - 20;
    ASSERT_TRUE(m_sim.SetFaults(2, late));
    StartPoller(0, 0);
    ASSERT_TRUE(WaitForPolls("b", 1, 10s));
    const Clock::time_point first = Clock::now();
    ASSERT_TRUE(WaitForPolls("b", 3, 10s)) << Log();
    const auto round = (Clock::now() - first) / 2;
    m_poller->Stop();

    ExpectNeighboursKeptEveryPoll(2);
    EXPECT_EQ(Snapshot("b").failures, Snapshot("b").polls);
    EXPECT_GE(round, std::chrono::milliseconds(kRealLimitMs));
    // The limit, a 20 ms silence after it, two exchanges of 37 ms; with room
    // for a loaded machine.
    EXPECT_LT(round, std::chrono::milliseconds(kRealLimitMs + 400));
    EXPECT_NE(
        Log().find("meter b (" + m_sim.DevicePath() + ", address 2) down: wrong answer length"),
        std::string::npos)
        << Log();
}

// An exception is one whole frame: the meter has answered, and its exchange
// ends without waiting out the limit.
TEST_F(LinePollerBus, ExceptionEndsItsExchangeAtOnce)
{
    SimFaults refuse;
    refuse.exceptionCode = 1;
    ASSERT_TRUE(m_sim.SetFaults(2, refuse));
    StartPoller(0, 0);
    ASSERT_TRUE(WaitForPolls("b", 1, 10s));
    const Clock::time_point first = Clock::now();
    ASSERT_TRUE(WaitForPolls("b", 6, 10s));
    const auto elapsed = Clock::now() - first;
    m_poller->Stop();

    EXPECT_LT(elapsed, std::chrono::milliseconds(kRealLimitMs)) << "five rounds";
    ExpectNeighboursKeptEveryPoll(5);
    EXPECT_EQ(Snapshot("b").lastError, "exception code 1 (illegal function)");
}

// A late answer of the last meter that ends while the line waits for the
// next round is dropped before the first meter is asked.
TEST_F(LinePollerBus, LateAnswerBetweenRoundsIsDropped)
{
    SimFaults late;
    late.delayMs = kShortLimitMs + 100;
    ASSERT_TRUE(m_sim.SetFaults(3, late));
    StartPoller(700, kShortLimitMs);
    ASSERT_TRUE(WaitForPolls("c", 3, 10s));
    // c's third answer is still due: wait for it before a's next poll.
    ASSERT_TRUE(WaitFor([&] { return m_sim.AnswerCount(3) >= 3; }, 5s));
    ASSERT_TRUE(WaitForPolls("a", 4, 5s));
    m_poller->Stop();

    for (const char* name : {"a", "b"}) {
        EXPECT_EQ(Snapshot(name).failures, 0u) << name << ": " << Snapshot(name).lastError;
        EXPECT_GE(Snapshot(name).polls, 3u) << name;
    }
    EXPECT_EQ(Snapshot("c").failures, Snapshot("c").polls);
}

}  // namespace
