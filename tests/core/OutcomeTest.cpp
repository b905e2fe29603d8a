// The one place that words an outcome, and the reading formats.
#include "CModBusRtu.h"
#include "CStopToken.h"
#include "MeterFormat.h"
#include "MeterOutcome.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include <sys/stat.h>
#include <unistd.h>

namespace {

MeterOutcome Exchange(int result, unsigned received = 0)
{
    MeterOutcome o;
    o.result = result;
    o.received = received;
    return o;
}

MeterOutcome PortFailure(MeterOutcome::Stage stage, int error, const char* reason)
{
    MeterOutcome o;
    o.stage = stage;
    o.result = kMeterTransport;
    o.error = error;
    o.reason = reason;
    return o;
}

TEST(OutcomeText, NamesEachCause)
{
    EXPECT_EQ(OutcomeText(Exchange(kMeterOk)), "success");
    EXPECT_EQ(OutcomeText(Exchange(kMeterLength)), "no answer");
    EXPECT_EQ(OutcomeText(Exchange(kMeterLength, 5)), "wrong answer length: 5 bytes received");
    EXPECT_EQ(OutcomeText(Exchange(kMeterChecksum, 21)), "checksum mismatch");
    EXPECT_EQ(OutcomeText(Exchange(2, 5)), "exception code 2 (illegal data address)");
    EXPECT_EQ(OutcomeText(Exchange(17, 5)), "exception code 17");
    MeterOutcome io = Exchange(kMeterTransport);
    io.reason = "'ReadFile' failed with the following error: Input/output error";
    EXPECT_EQ(OutcomeText(io),
              "transport failure: 'ReadFile' failed with the following error: Input/output error");
    EXPECT_EQ(OutcomeText(PortFailure(MeterOutcome::kOpen, ENOENT, "why")), "why");
    EXPECT_EQ(OutcomeText(PortFailure(MeterOutcome::kReopen, ENOENT, "why")),
              "the port did not reopen: why");
}

// The hint follows the errno, not the wording of strerror.
TEST(OutcomeText, HintsFollowTheErrno)
{
    const auto open = [](int e) { return PortFailure(MeterOutcome::kOpen, e, "x"); };
    EXPECT_EQ(OpenHint("/dev/null", open(EBUSY)), "another program has /dev/null open");
    EXPECT_EQ(OpenHint("/tmp", open(EISDIR)), "/tmp is not a terminal");
    EXPECT_EQ(OpenHint("/nonexistent/tty", open(ENOENT)), "");
    EXPECT_EQ(OpenHint("/dev/null", Exchange(kMeterLength)), "");
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_NE(OpenHint("/dev/null", open(EACCES)).find("belongs to group"), std::string::npos);
    EXPECT_EQ(DescribeFailure("COM1 (/dev/null)", "/dev/null", open(EBUSY)),
              "COM1 (/dev/null): x\nanother program has /dev/null open");
}

TEST(MeterFormat, TimestampsAreUtcWithMilliseconds)
{
    EXPECT_EQ(UtcTimestamp(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(UtcTimestamp(1796705401123), "2026-12-08T04:50:01.123Z");
    EXPECT_EQ(UtcTimestamp(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(UtcTimestamp().size(), 24u);
}

TEST(StopToken, ALevelThatEveryWaitSees)
{
    CStopToken stop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stop.Wait(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    stop.Raise();
    EXPECT_TRUE(stop.Requested());
    EXPECT_TRUE(stop.Wait(-1));
    EXPECT_TRUE(stop.Wait(1000));
    stop.Reset();
    EXPECT_FALSE(stop.Wait(0));
}

}  // namespace
