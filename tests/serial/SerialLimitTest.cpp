// The caller's total read limit (m_dwReadTotalLimitMs), which a scan of a
// line's addresses uses instead of the meter's 1420 ms for 21 bytes.
#include "CSerial.h"
#include "PtyPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void OpenAsMeterLink(CSerial& port, int number)
{
    port.m_nPort = number;
    port.m_dwBaudRate = 9600;
    port.m_byStopBits = 2;
    ASSERT_EQ(port.Open(), 1) << port.LastError();
}

TEST(SerialLimit, SilentPeerEndsTheReadAtTheCallersLimit)
{
    PtyPeer peer(3);
    CSerial port;
    OpenAsMeterLink(port, 3);
    port.m_dwReadTotalLimitMs = 100;
    uint8_t buf[21];
    uint32_t got = 99;
    const auto start = Clock::now();
    ASSERT_EQ(port.Read(buf, 21, &got), 1);  // a short transfer, not a failure
    const long took = ElapsedMs(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 300);
    EXPECT_EQ(port.LastError(), "Only 0 byte<s> received, but 21 requested.");
}

// The limit counts from the start of the read, not from the last byte: a
// steady trickle that would go on for 400 ms is cut at 100 ms.
TEST(SerialLimit, LimitIsForTheWholeReadEvenWhileBytesKeepComing)
{
    PtyPeer peer(3);
    CSerial port;
    OpenAsMeterLink(port, 3);
    port.m_dwReadTotalLimitMs = 100;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < 40 && !done; ++i) {
            peer.Send({static_cast<uint8_t>(i)});
            std::this_thread::sleep_for(10ms);
        }
    });
    uint8_t buf[64];
    uint32_t got = 0;
    const auto start = Clock::now();
    ASSERT_EQ(port.Read(buf, sizeof buf, &got), 1);
    const long took = ElapsedMs(start);
    done = true;
    sender.join();
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 300);
    EXPECT_GT(got, 3u);
    EXPECT_LT(got, 30u);
    EXPECT_EQ(buf[0], 0);
}

}  // namespace
