// What the user is told to do about a port that did not open, on Linux.
#include "MeterOutcome.h"
#include "OutcomeSamples.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>

namespace {

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

}  // namespace
