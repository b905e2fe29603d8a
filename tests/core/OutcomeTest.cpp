// The one place that words an outcome, and the reading formats.
#include "CModBusRtu.h"
#include "MeterFormat.h"
#include "MeterOutcome.h"
#include "OutcomeSamples.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

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

TEST(MeterFormat, TimestampsAreUtcWithMilliseconds)
{
    EXPECT_EQ(UtcTimestamp(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(UtcTimestamp(1796705401123), "2026-12-08T04:50:01.123Z");
    EXPECT_EQ(UtcTimestamp(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(UtcTimestamp().size(), 24u);
}

}  // namespace
