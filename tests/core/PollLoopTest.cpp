// The port of a job and the measurement loop against the simulated meter on
// a pty behind a COMn alias; the loop's rules are tested here once, the
// front ends' tests look at what a person sees.
#include "CMeterPort.h"
#include "CMeterSim.h"
#include "MeterJobs.h"
#include "PollLoop.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 4;

class CorePort : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        ASSERT_TRUE(m_sim.LinkCom(kPort, &error)) << error;
        SimMeterState state;
        state.voltage = 5123;
        state.current = 450;
        state.fixed = true;
        m_sim.SetState(state);
        m_sim.SetPacing(false);
        m_port.Choose(PortChoice{kPort, {}});
    }

    // Short pauses; the loop ends after `polls` polls unless it ends first.
    MeterOutcome Run(int polls, PollTiming timing = {5, 10, 3})
    {
        PollCallbacks callbacks;
        callbacks.keepGoing = [&] { return m_polls++ < polls; };
        callbacks.onReading = [&](const MeterReading& r, int64_t) {
            m_readings.push_back(r);
            if (m_afterFirstReading) {
                m_afterFirstReading();
                m_afterFirstReading = nullptr;
            }
        };
        callbacks.onFailure = [&](const MeterOutcome& o) { m_failures.push_back(o); };
        return RunPollLoop(m_port, m_stop, timing, callbacks);
    }

    TempConfig m_config;  // first: the alias goes to a temporary folder
    CMeterSim m_sim;
    CMeterPort m_port;
    CStopToken m_stop;
    int m_polls = 0;
    std::function<void()> m_afterFirstReading;
    std::vector<MeterReading> m_readings;
    std::vector<MeterOutcome> m_failures;
};

TEST_F(CorePort, PollsUntilToldToStop)
{
    EXPECT_TRUE(Run(3).Ok());
    ASSERT_EQ(m_readings.size(), 3u);
    EXPECT_EQ(DecodeReading(m_readings[2]).voltage, 5123);
    EXPECT_TRUE(m_port.IsOpen());  // the caller closes it
}

TEST_F(CorePort, TwoFailuresThenAGoodPollGoOnTheThirdInARowEnds)
{
    SimFaults silent;
    silent.silent = true;
    silent.count = 2;
    m_sim.SetFaults(silent);
    EXPECT_TRUE(Run(5).Ok());
    EXPECT_EQ(m_failures.size(), 2u);
    EXPECT_EQ(m_readings.size(), 3u);

    silent.count = -1;
    m_sim.SetFaults(silent);
    m_polls = 0;
    const MeterOutcome end = Run(10);
    EXPECT_EQ(end.result, kMeterLength);
    EXPECT_EQ(OutcomeText(end), "no answer");
    EXPECT_EQ(m_polls, 3);  // nothing sent after the third
    EXPECT_STREQ(JobOutcomeText(MeterJob::kMeasure, end), "Failed to read!");
}

// A stray byte before an answer: the reconnect's flush drops it, and the
// loop goes on instead of failing every poll until it gives up.
TEST_F(CorePort, AStrayByteCostsOnePoll)
{
    SimFaults late;
    late.garbageBytes = 1;
    late.count = 1;
    m_sim.SetFaults(late);
    EXPECT_TRUE(Run(4).Ok());
    EXPECT_EQ(m_failures.size(), 1u);
    EXPECT_EQ(m_readings.size(), 3u);
}

// A pulled adapter: the reopen fails, and the poll that follows reports
// why the port did not reopen, not a write on a closed descriptor.
TEST_F(CorePort, AFailedReopenIsTheReasonGiven)
{
    m_afterFirstReading = [this] { m_sim.HangUp(); };
    const MeterOutcome end = Run(10);
    ASSERT_EQ(m_failures.size(), 2u);
    EXPECT_EQ(m_failures[1].stage, MeterOutcome::kReopen);
    EXPECT_EQ(end.stage, MeterOutcome::kReopen);
    EXPECT_EQ(end.error, ENOENT);
    EXPECT_EQ(OutcomeText(end),
              "the port did not reopen: 'OpenCom' failed with the following error: No such file "
              "or directory");
    EXPECT_EQ(m_port.Describe(end).rfind("COM4 (", 0), 0u);
}

// The device is looked up once per job: a COMn alias deleted while
// measuring fails the reopen; the name does not fall back to the fixed
// table (/dev/ttyUSB3 for COM4), which could be another device.
TEST_F(CorePort, ADeletedAliasIsNotLookedUpAgain)
{
    const std::string alias = m_config.AliasDir() + "/COM4";
    ASSERT_EQ(m_port.Device(), alias);
    ASSERT_TRUE(m_port.Open().Ok());
    ASSERT_EQ(unlink(alias.c_str()), 0);
    const MeterOutcome reopened = m_port.Reopen();
    EXPECT_EQ(reopened.stage, MeterOutcome::kReopen);
    EXPECT_EQ(m_port.Meter().Serial().DevicePath(), alias);
    MeterReading reading;
    EXPECT_EQ(m_port.ReadMeasurements(&reading).stage, MeterOutcome::kReopen);
}

TEST_F(CorePort, StopCutsThePauseShortAndEndsTheLoop)
{
    PollTiming slow{5000, 5000, 3};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_stop.Raise();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(Run(10, slow).Ok());
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(m_readings.size(), 1u);
}

// A stop raised while the meter does not answer ends the read at once.
TEST_F(CorePort, CancelEndsAnUnansweredRead)
{
    SimFaults silent;
    silent.silent = true;
    m_sim.SetFaults(silent);
    m_port.SetCancel(&m_stop);
    ASSERT_TRUE(m_port.Open().Ok());
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_stop.Raise();
    });
    const auto start = Clock::now();
    MeterReading reading;
    const MeterOutcome o = m_port.ReadMeasurements(&reading);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(o.result, kMeterTransport);
    EXPECT_EQ(o.error, ECANCELED);
}

TEST_F(CorePort, OneShotJobsGiveTheirSentences)
{
    const ParametersRead read = OpenAndReadParameters(m_port);
    ASSERT_TRUE(read.outcome.Ok());
    EXPECT_EQ(read.settings.highVoltage, 30000);
    MeterOutcome written = m_port.WriteParameters(read.settings);
    EXPECT_STREQ(JobOutcomeText(MeterJob::kWriteParameters, written),
                 "Set the parameters successfully!");
    m_port.Close();

    SimFaults refuse;
    refuse.exceptionCode = 3;
    m_sim.SetFaults(refuse);
    const MeterOutcome cleared = OpenAndClearEnergy(m_port);
    EXPECT_EQ(cleared.result, 3);
    EXPECT_STREQ(JobOutcomeText(MeterJob::kClearEnergy, cleared), "Failed to clear the energy!");
    EXPECT_EQ(OutcomeText(cleared), "exception code 3 (illegal data value)");
    m_port.Close();

    m_port.Choose(PortChoice{0, "/nonexistent/tty"});
    const MeterOutcome opened = OpenAndCalibrate(m_port);
    EXPECT_STREQ(JobOutcomeText(MeterJob::kCalibrate, opened), "Failed to open COM-Port!");
    EXPECT_EQ(m_port.Describe(opened),
              "/nonexistent/tty: 'OpenCom' failed with the following error: No such file or "
              "directory");
}

}  // namespace
