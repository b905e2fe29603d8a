// Long runs under faults: the real main window (offscreen) drives the
// simulated meter while a seeded schedule turns the simulator's fault knobs.
//
// Measurement loop: every episode spoils a run of k polls (k = 1, 2 or 3)
// in one way and checks the outcome the rules give: one or two failures
// and the next good poll goes on; the third in a row ends the measurement
// with "Failed to read!", after which the test starts it again. The meter
// answers the spoiled polls with values of their own, never answered by a
// good poll, so a failed reading that reached the readouts is caught. At
// the end the process has the descriptors, threads and (plain build) memory
// it had after warming up.
//
// One-shot jobs: Clear Energy, Set Parameters and Calibrate each under
// every fault: the right box, all six buttons back, the port closed.
//
// QUORVAN_SOAK_SECONDS: length of the measurement run (default 60);
// QUORVAN_SOAK_SEED: the schedule's seed (default: random, printed).
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CSerial.h"
#include "MainWindowFixture.h"
#include "TestHost.h"

#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Pauses short enough for many cycles, long enough that a late answer or a
// split answer's tail always falls into the closed gap of a reconnect
// rather than into the next poll (see the delays below).
constexpr int kPollPauseMs = 100;
constexpr int kReconnectPauseMs = 400;
constexpr int kCalibratePauseMs = 300;
constexpr int kSimCalibrateMs = 100;

// A generous bound for anything the test waits for; a silent poll costs
// its read's time limit (1420 ms) plus the pauses.
constexpr int kWaitMs = 30000;

// One way to spoil an answer. `fails` is what the master must make of it.
struct FaultKind {
    const char* name;
    SimFaults faults;
    bool fails;
};

SimFaults Faults(const std::function<void(SimFaults&)>& set)
{
    SimFaults f;
    set(f);
    return f;
}

// The measurement's answer is 21 bytes: read limit 1420 ms. An answer
// delayed 1250 ms is complete ~1275 ms after the request; one delayed
// 1480 or 1600 ms starts after the master gave up (60 ms leaves room for a
// late wake-up, which would still take the bytes already there) and ends
// before it reopens (1420 + 400 ms). A split pause of 5 ms is under the 20 ms between bytes;
// 40-300 ms is over it and its tail lands in the reconnect gap.
std::vector<FaultKind> MeasureFaults()
{
    const int limit = CSerial::MeterReadTotalMs(21);
    return {
        {"silent", Faults([](SimFaults& f) { f.silent = true; }), true},
        {"delay-under", Faults([&](SimFaults& f) { f.delayMs = limit - 170; }), false},
        {"delay-over", Faults([&](SimFaults& f) { f.delayMs = limit + 60; }), true},
        {"delay-over-more", Faults([&](SimFaults& f) { f.delayMs = limit + 180; }), true},
        {"truncated-0", Faults([](SimFaults& f) { f.truncateTo = 0; }), true},
        {"truncated-3", Faults([](SimFaults& f) { f.truncateTo = 3; }), true},
        {"truncated-11", Faults([](SimFaults& f) { f.truncateTo = 11; }), true},
        {"truncated-20", Faults([](SimFaults& f) { f.truncateTo = 20; }), true},
        {"corrupt-crc", Faults([](SimFaults& f) { f.corruptCrc = true; }), true},
        {"exception-1", Faults([](SimFaults& f) { f.exceptionCode = 1; }), true},
        {"exception-2", Faults([](SimFaults& f) { f.exceptionCode = 2; }), true},
        {"exception-4", Faults([](SimFaults& f) { f.exceptionCode = 4; }), true},
        {"exception-255", Faults([](SimFaults& f) { f.exceptionCode = 255; }), true},
        {"garbage-3", Faults([](SimFaults& f) { f.garbageBytes = 3; }), true},
        {"garbage-21", Faults([](SimFaults& f) { f.garbageBytes = 21; }), true},
        {"garbage-40", Faults([](SimFaults& f) { f.garbageBytes = 40; }), true},
        {"split-under", Faults([](SimFaults& f) { f.splitPauseMs = 5; }), false},
        {"split-40", Faults([](SimFaults& f) { f.splitPauseMs = 40; }), true},
        {"split-300", Faults([](SimFaults& f) { f.splitPauseMs = 300; }), true},
        {"split-corrupt", Faults([](SimFaults& f) {
             f.splitPauseMs = 100;
             f.corruptCrc = true;
         }),
         true},
    };
}

// --- Process resources ---

long RssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Resources {
    int fds;
    int threads;
    long rssKiB;
};

Resources Measure()
{
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), RssKiB()};
}

int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

// The values the meter shows in phase n: distinct voltage per phase, the
// other registers tied to it so that a frame mixed from two answers shows.
SimMeterState PhaseState(int n)
{
    SimMeterState s;
    s.voltage = static_cast<uint16_t>(10000 + n % 19000);  // 100.00 .. 289.99 V
    s.current = static_cast<uint16_t>(100 + (n * 37) % 3900);
    s.energy = static_cast<uint32_t>(n % 9000);  // shown in Wh, whole
    s.fixed = true;
    return s;
}

QString VoltageText(int n)
{
    return QString::number(PhaseState(n).voltage / 100.0, 'f', 2) + QStringLiteral(" V");
}

QString CurrentText(int n)
{
    return QString::number(PhaseState(n).current / 100.0, 'f', 2) + QStringLiteral(" A");
}

QString EnergyText(int n)
{
    return QString::number(PhaseState(n).energy) + QStringLiteral(" Wh");
}

// The window fixture's meter, window and boxes, with the soak's pauses and
// values; the parameter dialog is answered with OK (after m_onParameters),
// the password typed.
class Soak : public MainWindow {
protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        if (HasFatalFailure())
            return;
        m_sim.SetCalibrateMs(kSimCalibrateMs);
        m_phase = 1;
        m_sim.SetState(PhaseState(m_phase));
        m_good[VoltageText(m_phase)] = m_phase;
        m_dlg->SetTiming(JobTiming{kPollPauseMs, kReconnectPauseMs, kCalibratePauseMs});

        m_parameterWatch = CModalDriver::Every<CDlgParameterSet>([this](CDlgParameterSet* d) {
            if (m_onParameters)
                m_onParameters();
            ++m_parameterDialogs;
            qobject_cast<QPushButton*>(d->Control(CDlgParameterSet::IDOK_BUTTON))->click();
        });
        m_passwordWatch = CModalDriver::Every<CDlgPassword>([](CDlgPassword* d) {
            qobject_cast<QLineEdit*>(d->Control(CDlgPassword::IDC_PASSWORD))
                ->setText(QStringLiteral("KVRA518"));
            qobject_cast<QPushButton*>(d->Control(CDlgPassword::IDOK_BUTTON))->click();
        });
        ChoosePort(1);
        ASSERT_EQ(m_dlg->PortNumber(), 1);
    }

    void TearDown() override
    {
        m_parameterWatch.reset();
        m_passwordWatch.reset();
        MainWindow::TearDown();
    }

    // Waits for `condition`, checking the readouts at every turn.
    bool Wait(const std::function<bool()>& condition, int ms = kWaitMs)
    {
        return QTest::qWaitFor(
            [&] {
                CheckReadouts();
                return condition();
            },
            ms);
    }

    // The readouts show the initial zeros or one good answer, whole.
    void CheckReadouts()
    {
        const QString v = m_dlg->Readout(Dlg::IDC_VOLTAGE)->ShownText();
        const QString a = m_dlg->Readout(Dlg::IDC_CURRENT)->ShownText();
        if (v == QStringLiteral("0.00 V") && a == QStringLiteral("0.00 A"))
            return;
        auto it = m_good.find(v);
        if (it == m_good.end()) {
            if (++m_badShown <= 5)
                ADD_FAILURE() << "shown but never answered by a good poll: " << v.toStdString()
                              << " / " << a.toStdString() << " (" << Where() << ")";
            return;
        }
        const QString e = m_dlg->Readout(Dlg::IDC_ENERGY)->ShownText();
        if ((a != CurrentText(it->second) || e != EnergyText(it->second)) && ++m_badShown <= 5)
            ADD_FAILURE() << "readouts from two answers: " << v.toStdString() << " / "
                          << a.toStdString() << " / " << e.toStdString() << " (" << Where() << ")";
    }

    std::string Where() const { return "episode " + std::to_string(m_episode); }

    bool Shows(int n) { return m_dlg->Readout(Dlg::IDC_VOLTAGE)->ShownText() == VoltageText(n); }

    // A new phase whose values only a good poll may bring to the readouts.
    int NewGoodPhase()
    {
        const int n = ++m_phase;
        m_good[VoltageText(n)] = n;
        m_sim.SetState(PhaseState(n));
        return n;
    }

    // A new phase answered only by spoiled polls.
    int NewBadPhase()
    {
        const int n = ++m_phase;
        m_sim.SetState(PhaseState(n));
        return n;
    }

    void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        const double t = std::chrono::duration<double>(Clock::now() - m_start).count();
        std::printf("[%7.1f s] ", t);
        va_list args;
        va_start(args, fmt);
        std::vprintf(fmt, args);
        va_end(args);
        std::printf("\n");
        std::fflush(stdout);
    }

    // Idle after a job: all six buttons back, the port closed, and closed
    // for good: a second opener gets the lock.
    void ExpectIdleAndPortFree()
    {
        EXPECT_EQ(EnabledButtons().size(), 6u) << Where();
        EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen()) << Where();
        const std::string device = m_sim.DevicePath();
        if (device.empty())
            return;  // hung up
        CSerial other;
        other.m_strDevicePath = device;
        EXPECT_EQ(other.Open(), 1) << Where() << ": " << other.LastError();
        other.Close();
    }

    // Waits until the meter has finished every answer it owes: a late one
    // would otherwise land in the next job's exchange (no request numbers
    // in the protocol tell it from the answer awaited).
    void WaitQuiet()
    {
        if (!Wait([&] { return m_sim.AnswerCount() + m_unanswered >= m_sim.RequestCount(); },
                  5000)) {
            Log("meter still busy after 5 s; %u requests without answer",
                m_sim.RequestCount() - m_sim.AnswerCount());
            m_unanswered = m_sim.RequestCount() - m_sim.AnswerCount();
        }
    }

    // The adapter pulled. The meter's thread stops with it: what it had not
    // answered by then it never will.
    void HangUp()
    {
        m_sim.HangUp();
        m_unanswered = m_sim.RequestCount() - m_sim.AnswerCount();
    }

    // Starts measuring and waits for the first good poll.
    void StartMeasuring()
    {
        WaitQuiet();
        const int g = NewGoodPhase();
        ASSERT_TRUE(Button(Dlg::IDC_START_MEASURE)->isEnabled());
        Button(Dlg::IDC_START_MEASURE)->click();
        ++m_starts;
        ASSERT_TRUE(m_dlg->JobRunning());
        ASSERT_TRUE(Wait([&] { return Shows(g) || !m_dlg->JobRunning(); })) << Where();
        ASSERT_TRUE(Shows(g)) << Where();
        m_syncRequests = m_sim.RequestCount();
    }

    // Right after a good poll: the worker is in its pause. Makes it so if
    // the next poll has already begun.
    void Resync()
    {
        while (m_sim.RequestCount() != m_syncRequests) {
            const int g = NewGoodPhase();
            ASSERT_TRUE(Wait([&] { return Shows(g); })) << Where();
            m_syncRequests = m_sim.RequestCount();
            ++m_resyncs;
        }
    }

    // After k spoiled polls: the measurement ended with one box
    // "Failed to read!" (k = 3) or goes on with the next good poll.
    void ExpectOutcome(int k, unsigned lastSpoiled, int badPhase)
    {
        if (k < 3) {
            // Switch to fresh good values before the next poll is heard.
            const int g = NewGoodPhase();
            if (m_sim.RequestCount() != lastSpoiled) {
                m_good[VoltageText(badPhase)] = badPhase;  // a good poll answered it
                ++m_lateSwitches;
            }
            ASSERT_TRUE(Wait([&] { return Shows(g) || !m_dlg->JobRunning(); })) << Where();
            EXPECT_TRUE(Shows(g)) << Where() << ": did not recover";
            EXPECT_TRUE(m_dlg->Measuring()) << Where();
            EXPECT_TRUE(m_boxes.empty()) << Where() << ": " << BoxTexts().value(0).toStdString();
            m_boxes.clear();
            m_syncRequests = m_sim.RequestCount();
            if (!m_dlg->JobRunning())
                StartMeasuring();
            return;
        }
        ASSERT_TRUE(Wait([&] { return !m_dlg->JobRunning(); })) << Where() << ": did not end";
        EXPECT_EQ(BoxTexts(), QStringList{QStringLiteral("Failed to read!")}) << Where();
        EXPECT_EQ(m_sim.RequestCount(), lastSpoiled) << Where() << ": polled after the third";
        m_boxes.clear();
        ++m_ended;
        ExpectIdleAndPortFree();
        StartMeasuring();
    }

    // k polls spoiled by `kind` (k good but slow ones for a kind that must
    // not fail).
    void SpoilEpisode(const FaultKind& kind, int k)
    {
        Resync();
        const unsigned r0 = m_sim.RequestCount();
        SimFaults f = kind.faults;
        f.count = k;
        m_sim.SetFaults(f);
        ++m_byKind[kind.name];
        if (!kind.fails) {
            const int g = NewGoodPhase();
            Log("#%d %s x%d", m_episode, kind.name, k);
            ASSERT_TRUE(Wait([&] { return m_sim.RequestCount() >= r0 + k; })) << Where();
            ASSERT_TRUE(Wait([&] { return Shows(g) || !m_dlg->JobRunning(); })) << Where();
            if (m_sim.RequestCount() > r0 + k)
                ++m_slips;  // a poll near a time limit fell on the other side
            EXPECT_TRUE(Shows(g)) << Where();
            EXPECT_TRUE(m_boxes.empty()) << Where();
            m_syncRequests = m_sim.RequestCount();
            return;
        }
        const int bad = NewBadPhase();
        if (m_sim.RequestCount() != r0) {
            // The next poll began meanwhile: no telling which polls the
            // faults hit. Drop them and start over.
            m_sim.ClearFaults();
            ++m_resyncs;
            Log("#%d %s x%d: poll under way, skipped", m_episode, kind.name, k);
            ExpectOutcome(1, m_sim.RequestCount(), bad);
            return;
        }
        Log("#%d %s x%d -> %s", m_episode, kind.name, k, k < 3 ? "goes on" : "ends");
        m_injected += k;
        if (kind.faults.silent)
            m_unanswered += static_cast<unsigned>(k);
        ASSERT_TRUE(Wait([&] { return m_sim.RequestCount() >= r0 + k; })) << Where();
        ExpectOutcome(k, r0 + k, bad);
    }

    // The adapter pulled while the worker pauses and plugged back at once:
    // the open descriptor is dead (one failure), the reopen finds the new
    // pty; `silentAfter` more polls fail there.
    void HangUpEpisode(int silentAfter)
    {
        Resync();
        const int k = 1 + silentAfter;
        Log("#%d hang-up, replug, silent x%d -> %s", m_episode, silentAfter,
            k < 3 ? "goes on" : "ends");
        HangUp();
        int bad = 0;
        if (silentAfter > 0) {
            SimFaults f;
            f.silent = true;
            f.count = silentAfter;
            m_sim.SetFaults(f);
            bad = NewBadPhase();
        }
        std::string error;
        ASSERT_TRUE(m_sim.Replug(&error)) << error;
        const unsigned r1 = m_sim.RequestCount();
        m_unanswered += static_cast<unsigned>(silentAfter);
        ++m_hangUps;
        m_injected += k;
        if (silentAfter > 0) {
            ASSERT_TRUE(Wait([&] { return m_sim.RequestCount() >= r1 + silentAfter; })) << Where();
        }
        ExpectOutcome(k, r1 + silentAfter, bad);
    }

    // The adapter pulled in the middle of an answer (the meter is still
    // thinking) and plugged back: one failure, then good polls.
    void HangUpMidAnswerEpisode()
    {
        Resync();
        Log("#%d hang-up mid-answer, replug -> goes on", m_episode);
        SimFaults f;
        f.delayMs = 1000;
        f.count = 1;
        m_sim.SetFaults(f);
        const int bad = NewBadPhase();
        const unsigned r0 = m_sim.RequestCount();
        ASSERT_TRUE(Wait([&] { return m_sim.RequestCount() > r0; })) << Where();
        HangUp();  // the delayed answer is never given
        std::string error;
        ASSERT_TRUE(m_sim.Replug(&error)) << error;
        ++m_hangUps;
        ++m_injected;
        ExpectOutcome(1, m_sim.RequestCount(), bad);
    }

    // The adapter stays away: three failures end the measurement; then it
    // comes back and the measurement is started again.
    void HangUpHeldEpisode()
    {
        Resync();
        Log("#%d hang-up held -> ends", m_episode);
        const unsigned r0 = m_sim.RequestCount();
        HangUp();
        ++m_hangUps;
        m_injected += 3;
        ASSERT_TRUE(Wait([&] { return !m_dlg->JobRunning(); })) << Where() << ": did not end";
        EXPECT_EQ(BoxTexts(), QStringList{QStringLiteral("Failed to read!")}) << Where();
        EXPECT_EQ(m_sim.RequestCount(), r0) << Where();
        m_boxes.clear();
        ++m_ended;
        ExpectIdleAndPortFree();
        std::string error;
        ASSERT_TRUE(m_sim.Replug(&error)) << error;
        StartMeasuring();
    }

    // `polls` good polls, each with values of its own.
    void GoodPolls(int polls)
    {
        for (int i = 0; i < polls; ++i) {
            const int g = NewGoodPhase();
            ASSERT_TRUE(Wait([&] { return Shows(g) || !m_dlg->JobRunning(); })) << Where();
            ASSERT_TRUE(Shows(g)) << Where() << ": measurement ended without a fault";
        }
        m_syncRequests = m_sim.RequestCount();
    }

    void StopMeasuring()
    {
        Button(Dlg::IDC_START_MEASURE)->click();
        ASSERT_TRUE(Wait([&] { return !m_dlg->JobRunning(); })) << Where();
        EXPECT_TRUE(m_boxes.empty());
        ExpectIdleAndPortFree();
    }

    std::unique_ptr<CModalDriver> m_parameterWatch;
    std::unique_ptr<CModalDriver> m_passwordWatch;
    std::function<void()> m_onParameters;
    int m_parameterDialogs = 0;

    Clock::time_point m_start = Clock::now();
    int m_phase = 0;
    std::map<QString, int> m_good;  // voltage text -> phase answered by a good poll
    unsigned m_syncRequests = 0;
    unsigned m_unanswered = 0;  // requests the meter will never answer
    int m_episode = 0;
    int m_badShown = 0;
    int m_injected = 0;
    int m_hangUps = 0;
    int m_ended = 0;
    int m_starts = 0;
    int m_resyncs = 0;
    int m_lateSwitches = 0;
    int m_slips = 0;
    std::map<std::string, int> m_byKind;
};

TEST_F(Soak, MeasurementLoopUnderFaults)
{
    const int seconds = EnvInt("QUORVAN_SOAK_SECONDS", 60);
    const unsigned seed = static_cast<unsigned>(EnvInt("QUORVAN_SOAK_SEED", 0)) != 0
                              ? static_cast<unsigned>(EnvInt("QUORVAN_SOAK_SEED", 0))
                              : std::random_device{}();
    std::printf("soak: %d s, seed %u (QUORVAN_SOAK_SEED=%u repeats the schedule)\n", seconds, seed,
                seed);
    std::mt19937 rng(seed);
    const std::vector<FaultKind> kinds = MeasureFaults();

    // Warm-up: every path once, so that what Qt and the allocator set up
    // lazily is there before the baseline.
    StartMeasuring();
    SpoilEpisode(kinds[0], 3);  // silent: ends with a box
    HangUpEpisode(0);
    StopMeasuring();
    if (HasFatalFailure())
        return;
    const Resources before = Measure();
    const unsigned requestsBefore = m_sim.RequestCount();
    m_start = Clock::now();

    StartMeasuring();
    const auto end = m_start + std::chrono::seconds(seconds);
    while (Clock::now() < end && !HasFatalFailure() && m_badShown == 0) {
        ++m_episode;
        const int pick = std::uniform_int_distribution<int>(0, 99)(rng);
        const int k = std::uniform_int_distribution<int>(1, 3)(rng);
        if (pick < 6)
            HangUpEpisode(k - 1);
        else if (pick < 9)
            HangUpMidAnswerEpisode();
        else if (pick < 12)
            HangUpHeldEpisode();
        else
            SpoilEpisode(kinds[rng() % kinds.size()], k);
        if (!HasFatalFailure())
            GoodPolls(std::uniform_int_distribution<int>(0, 4)(rng));
    }
    if (HasFatalFailure())
        return;
    StopMeasuring();
    const Resources after = Measure();

    const unsigned polls = m_sim.RequestCount() - requestsBefore;
    std::printf(
        "soak summary: %.0f s, %d episodes, %u polls heard, %d failures injected "
        "(%d hang-ups), %d ended by rule and restarted, %d resyncs, %d late switches, "
        "%d near-limit slips\n",
        std::chrono::duration<double>(Clock::now() - m_start).count(), m_episode, polls, m_injected,
        m_hangUps, m_ended, m_resyncs, m_lateSwitches, m_slips);
    for (const auto& [name, n] : m_byKind)
        std::printf("  %-16s %d episodes\n", name.c_str(), n);
    std::printf("soak resources: fds %d -> %d, threads %d -> %d, VmRSS %ld -> %ld KiB%s\n",
                before.fds, after.fds, before.threads, after.threads, before.rssKiB, after.rssKiB,
                kUnderAsan ? " (ASan: not checked)" : "");
    std::fflush(stdout);

    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    if (!kUnderAsan) {
        // Allocator and Qt caches settle within a few MiB; a leak per poll
        // or per reconnect would pass this within minutes.
        EXPECT_LT(after.rssKiB - before.rssKiB, 4096) << "VmRSS grew";
    }
}

// --- One-shot jobs ---

enum class Job { ClearEnergy, SetParameters, Calibrate };

struct JobCase {
    Job kind;
    const char* name;
    int button;
    int answerBytes;  // the answer to the job's (first) request
    int leadMs;       // the read's time limit starts this much after the meter's clock
    const char* okText;
    const char* failText;  // a failed first exchange
};

const JobCase kJobs[] = {
    {Job::ClearEnergy, "clear energy", Dlg::IDC_CLEAR_ENERGY, 4, 0,
     "Clear the energy successfully!", "Failed to clear the energy!"},
    {Job::SetParameters, "set parameters", Dlg::IDC_SET_PARAMETERS, 13, 0,
     "Set the parameters successfully!", "Failed to read parameters!"},
    // The master waits its calibrate pause before reading; the meter
    // calibrates for kSimCalibrateMs before any delay of its own.
    {Job::Calibrate, "calibrate", Dlg::IDC_CALIBRATE, 6, kCalibratePauseMs - kSimCalibrateMs,
     "The calibration is successful!", "The calibration failed!"},
};

constexpr char kWriteFailed[] = "Failed to set the parameters!";
constexpr char kOpenFailed[] = "Failed to open COM-Port!";

// Every way to spoil one answer of `bytes` bytes whose read time limit
// ends `limitMs` after the meter heard the request and whose read starts
// `readAfterMs` after the meter began to answer (calibrate: the master's
// pause outlasts the meter's calibration). An answer split by a pause that
// ends before the read starts arrives whole.
std::vector<FaultKind> AnswerFaults(int bytes, int limitMs, int readAfterMs)
{
    const bool split40Fails = 40 + 20 > readAfterMs;
    return {
        {"silent", Faults([](SimFaults& f) { f.silent = true; }), true},
        {"delay-under", Faults([&](SimFaults& f) { f.delayMs = limitMs - 170; }), false},
        {"delay-over", Faults([&](SimFaults& f) { f.delayMs = limitMs + 60; }), true},
        {"truncated-0", Faults([](SimFaults& f) { f.truncateTo = 0; }), true},
        {"truncated-3", Faults([](SimFaults& f) { f.truncateTo = 3; }), true},
        {"truncated-short1", Faults([&](SimFaults& f) { f.truncateTo = bytes - 1; }), true},
        {"corrupt-crc", Faults([](SimFaults& f) { f.corruptCrc = true; }), true},
        {"exception-1", Faults([](SimFaults& f) { f.exceptionCode = 1; }), true},
        {"exception-3", Faults([](SimFaults& f) { f.exceptionCode = 3; }), true},
        {"exception-255", Faults([](SimFaults& f) { f.exceptionCode = 255; }), true},
        {"garbage-3", Faults([](SimFaults& f) { f.garbageBytes = 3; }), true},
        {"garbage-exact", Faults([&](SimFaults& f) { f.garbageBytes = bytes; }), true},
        {"garbage-long", Faults([&](SimFaults& f) { f.garbageBytes = bytes + 20; }), true},
        {"split-under", Faults([](SimFaults& f) { f.splitPauseMs = 5; }), false},
        {"split-40", Faults([](SimFaults& f) { f.splitPauseMs = 40; }), split40Fails},
        {"split-300", Faults([](SimFaults& f) { f.splitPauseMs = 300; }), true},
    };
}

class SoakJobs : public Soak {
protected:
    // Runs one job to its end and checks the one box it showed, the
    // buttons and the port.
    void RunJob(const JobCase& job, const std::string& what, const char* expected,
                int parameterDialogs)
    {
        ++m_episode;
        ++m_jobsRun;
        Log("#%d %s: %s -> %s", m_episode, job.name, what.c_str(), expected);
        m_boxes.clear();
        m_parameterDialogs = 0;
        ASSERT_EQ(EnabledButtons().size(), 6u) << Where();
        Button(job.button)->click();
        // Calibrate's password dialog is answered inside click().
        ASSERT_TRUE(Wait([&] { return !m_dlg->JobRunning() && !m_boxes.empty(); }))
            << Where() << ": " << what;
        EXPECT_EQ(BoxTexts(), QStringList{QString::fromLatin1(expected)})
            << Where() << ": " << what;
        if (job.kind == Job::SetParameters) {
            EXPECT_EQ(m_parameterDialogs, parameterDialogs) << Where() << ": " << what;
        }
        ExpectIdleAndPortFree();
        m_boxes.clear();
        m_onParameters = nullptr;
    }

    // The job with its first answer spoiled by `kind`.
    void FirstAnswer(const JobCase& job, const FaultKind& kind)
    {
        WaitQuiet();
        SimFaults f = kind.faults;
        f.count = 1;
        m_sim.SetFaults(f);
        if (kind.faults.silent)
            ++m_unanswered;
        m_injected += kind.fails ? 1 : 0;
        RunJob(job, kind.name, kind.fails ? job.failText : job.okText, kind.fails ? 0 : 1);
    }

    // Set Parameters with the write's answer spoiled: the fault is set
    // while the parameter dialog is up, after the read.
    void WriteAnswer(const FaultKind& kind)
    {
        WaitQuiet();
        m_onParameters = [this, kind] {
            SimFaults f = kind.faults;
            f.count = 1;
            m_sim.SetFaults(f);
            if (kind.faults.silent)
                ++m_unanswered;
        };
        m_injected += kind.fails ? 1 : 0;
        RunJob(kJobs[1], std::string("write ") + kind.name,
               kind.fails ? kWriteFailed : kJobs[1].okText, 1);
    }

    // The adapter gone before the job: the port does not open.
    void Unplugged(const JobCase& job)
    {
        WaitQuiet();
        HangUp();
        ++m_injected;
        RunJob(job, "unplugged", kOpenFailed, 0);
        std::string error;
        ASSERT_TRUE(m_sim.Replug(&error)) << error;
    }

    // The adapter pulled while the meter works on the request, and plugged
    // back: the exchange fails on the dead descriptor.
    void PulledMidAnswer(const JobCase& job)
    {
        WaitQuiet();
        SimFaults f;
        f.delayMs = 1000;
        f.count = 1;
        m_sim.SetFaults(f);
        const unsigned r0 = m_sim.RequestCount();
        ++m_injected;
        QTimer pull;
        pull.setInterval(5);
        QObject::connect(&pull, &QTimer::timeout, [&] {
            if (m_sim.RequestCount() == r0)
                return;
            pull.stop();
            HangUp();
            std::string error;
            EXPECT_TRUE(m_sim.Replug(&error)) << error;
        });
        pull.start();
        RunJob(job, "pulled mid-answer", job.failText, 0);
    }

    // Set Parameters with the adapter pulled and plugged back while the
    // dialog is up: the write fails.
    void PulledDuringDialog()
    {
        WaitQuiet();
        m_onParameters = [this] {
            HangUp();
            std::string error;
            EXPECT_TRUE(m_sim.Replug(&error)) << error;
        };
        ++m_injected;
        RunJob(kJobs[1], "pulled during the dialog", kWriteFailed, 1);
    }

    int m_jobsRun = 0;
};

TEST_F(SoakJobs, OneShotJobsUnderEveryFault)
{
    // Warm-up: each job once.
    for (const JobCase& job : kJobs)
        RunJob(job, "no fault", job.okText, 1);
    if (HasFatalFailure())
        return;
    const Resources before = Measure();
    m_start = Clock::now();

    for (const JobCase& job : kJobs) {
        const int limit = CSerial::MeterReadTotalMs(job.answerBytes) + job.leadMs;
        for (const FaultKind& kind : AnswerFaults(job.answerBytes, limit, job.leadMs)) {
            FirstAnswer(job, kind);
            if (HasFatalFailure())
                return;
        }
        Unplugged(job);
        PulledMidAnswer(job);
        if (HasFatalFailure())
            return;
    }
    // The write's answer is 8 bytes.
    for (const FaultKind& kind : AnswerFaults(8, CSerial::MeterReadTotalMs(8), 0)) {
        WriteAnswer(kind);
        if (HasFatalFailure())
            return;
    }
    PulledDuringDialog();
    for (const JobCase& job : kJobs)
        RunJob(job, "no fault", job.okText, 1);
    WaitQuiet();
    const Resources after = Measure();

    std::printf(
        "one-shot summary: %d jobs, %d faults injected, fds %d -> %d, threads %d -> %d, "
        "VmRSS %ld -> %ld KiB\n",
        m_jobsRun, m_injected, before.fds, after.fds, before.threads, after.threads, before.rssKiB,
        after.rssKiB);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
}

// The offscreen platform's note on every box shown; an hour's run shows
// hundreds.
void QuietOffscreenNotes(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(QuietOffscreenNotes);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
