// quorvan-cli against a meter scripted byte by byte on the far end of a pty
// (behind a COM6 alias): answers that the simulated meter never gives, each
// one a fault that a user met.
#include "CChildProcess.h"
#include "Crc16.h"
#include "PtyPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr int kPort = 6;
const std::string kCli = QUORVAN_CLI_PATH;

ChildResult RunCli(const std::vector<std::string>& args)
{
    return CChildProcess::Run(kCli, args, ChildOptions{});
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

Bytes WithCrc(Bytes frame)
{
    AppendCrc16Bytes(frame);
    return frame;
}

// A measurement answer with `volts` hundredths and `count` in the byte-count
// field (16 for a whole block).
Bytes Measurement(uint16_t volts, uint8_t count = 16)
{
    Bytes frame = {0xF8, 0x04, count, static_cast<uint8_t>(volts >> 8),
                   static_cast<uint8_t>(volts & 0xFF)};
    frame.resize(19, 0);
    return WithCrc(frame);
}

// A reading as the meter at `address` sends it.
Bytes MeasurementFrom(uint8_t address, uint16_t volts)
{
    Bytes frame = Measurement(volts);
    frame[0] = address;
    frame.resize(19);
    return WithCrc(frame);
}

// The meter (or a whole line of them): answers each request with what
// `answer` returns for it (the poll's number from 0, the request), in a
// thread, until destroyed.
class ScriptedMeter {
public:
    using Script = std::function<Bytes(int n, const Bytes& request)>;

    ScriptedMeter(PtyPeer& peer, std::function<Bytes(int)> answer)
        : ScriptedMeter(peer, Script([answer](int n, const Bytes&) { return answer(n); }))
    {
    }
    ScriptedMeter(PtyPeer& peer, Script answer)
        : m_thread([this, &peer, answer = std::move(answer)] {
              for (int n = 0; !m_stop; ++n) {
                  Bytes request;
                  while (!m_stop && request.empty())
                      request = peer.Receive(8, 50);
                  if (m_stop)
                      break;
                  {
                      std::lock_guard<std::mutex> lock(m_lock);
                      m_requests.push_back(request);
                  }
                  const Bytes reply = answer(n, request);
                  if (!reply.empty())
                      peer.Send(reply);
              }
          })
    {
    }
    ~ScriptedMeter()
    {
        m_stop = true;
        m_thread.join();
    }
    size_t Requests() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests.size();
    }
    std::vector<Bytes> RequestsSeen() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }

private:
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<Bytes> m_requests;
    std::thread m_thread;
};

class ScriptedCli : public ::testing::Test {
protected:
    PtyPeer m_peer{kPort};
    const std::string m_com = "COM" + std::to_string(kPort);
};

// A right-length answer with a good checksum whose byte count is 0 is no
// reading: nothing printed, and nothing written back to the meter.
TEST_F(ScriptedCli, AnAnswerWithoutItsRegistersIsNoReading)
{
    {
        ScriptedMeter meter(m_peer, [](int) { return Measurement(5123, 0); });
        const ChildResult r = RunCli({"--port", m_com, "read"});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_TRUE(Contains(r.err, "Failed to read! (wrong answer length")) << r.err;
    }
    ScriptedMeter meter(m_peer, [](int) {
        Bytes params = {0xF8, 0x03, 0x00};
        params.resize(11, 0x75);
        return WithCrc(params);
    });
    const ChildResult r = RunCli({"--port", m_com, "set-params", "--address", "5"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "Failed to read parameters! (wrong answer length")) << r.err;
    EXPECT_EQ(meter.Requests(), 1u);  // the read only: no write of made-up thresholds
}

// An answer later than the read limit stays in the tty's queue; the next
// run must take its own answer, not that one.
TEST_F(ScriptedCli, ALateAnswerIsNotTakenByTheNextRun)
{
    {
        ScriptedMeter late(m_peer, [](int) {
            std::this_thread::sleep_for(1600ms);  // the limit is 1420 ms
            return Measurement(1111);
        });
        const ChildResult r = RunCli({"--port", m_com, "read"});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(Contains(r.err, "(no answer)")) << r.err;
    }
    ScriptedMeter prompt(m_peer, [](int) { return Measurement(2222); });
    const ChildResult r = RunCli({"--port", m_com, "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "22.22 V")) << r.out;
}

// One stray byte in front of an answer fails that poll ("exception code 4":
// the answer's address byte is read as a function byte). The reconnect
// drops what is left of the answer, and watch goes on.
TEST_F(ScriptedCli, OneStrayByteCostsWatchOnePoll)
{
    ScriptedMeter meter(m_peer, [](int n) {
        Bytes reply = Measurement(static_cast<uint16_t>(1000 + n));
        if (n == 1)
            reply.insert(reply.begin(), 0x00);
        return reply;
    });
    CChildProcess watch;
    ASSERT_TRUE(watch.Start(kCli, {"--port", m_com, "watch"}));
    EXPECT_TRUE(Contains(watch.NextLine(5000), "10.00 V"));
    EXPECT_TRUE(Contains(watch.NextErrorLine(5000), "Poll failed, reconnecting (exception code 4"));
    EXPECT_TRUE(Contains(watch.NextLine(5000), "10.02 V"));
    EXPECT_TRUE(Contains(watch.NextLine(5000), "10.03 V"));
    watch.Signal(SIGINT);
    const ChildResult r = watch.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "Failed to read!")) << r.err;
}

// Whether the tty is still held exclusively by nobody: TIOCGEXCL, read
// through a descriptor of our own (root may open it anyway; anyone else gets
// EBUSY while the flag is set).
bool LeftExclusive(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool known = ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    close(fd);
    return known && exclusive != 0;
}

// Ctrl+C while a read waits for a meter that does not answer: every way out
// leaves the port as found.
TEST_F(ScriptedCli, CtrlCDuringAnUnansweredReadReleasesThePort)
{
    ScriptedMeter silent(m_peer, [](int) { return Bytes{}; });
    for (const char* command : {"watch", "read"}) {
        CChildProcess process;
        const size_t before = silent.Requests();
        ASSERT_TRUE(process.Start(kCli, {"--port", m_com, command}));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (silent.Requests() == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_GT(silent.Requests(), before) << command;
        const auto sent = std::chrono::steady_clock::now();
        process.Signal(SIGINT);
        const ChildResult r = process.Finish(5000);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 1000ms) << command;
        if (std::string(command) == "watch")
            EXPECT_EQ(r.status, 0) << r.err;
        else
            EXPECT_EQ(r.signal, SIGINT) << command;  // ends as Ctrl+C ends a program
        EXPECT_FALSE(LeftExclusive(m_peer.SlavePath())) << command;
    }
}

// What scan makes of each address's answer: a reading or an exception is a
// meter; silence, a spoiled checksum, another address's answer or an echo
// of the request is none. Each address is asked once, in order, and Ctrl+C
// ends the scan at once with the port released.
TEST_F(ScriptedCli, ScanListsOnlyTheAddressesThatAnswerAsMeters)
{
    ScriptedMeter line(m_peer, [](int, const Bytes& request) -> Bytes {
        switch (request[0]) {
            case 2: return MeasurementFrom(2, 2002);
            case 3: return WithCrc({3, 0x84, 0x02});
            case 4: {
                Bytes spoiled = MeasurementFrom(4, 4004);
                spoiled.back() ^= 0xFF;
                return spoiled;
            }
            case 5: return MeasurementFrom(9, 5005);
            case 6: return request;
            case 7: return MeasurementFrom(7, 7007);
            default: return {};
        }
    });
    CChildProcess scan;
    ASSERT_TRUE(scan.Start(kCli, {"--json", "--port", m_com, "scan"}));
    EXPECT_TRUE(Contains(scan.NextLine(5000), "{\"address\": 2, \"voltage_v\": 20.02, \""));
    EXPECT_EQ(scan.NextLine(5000), "{\"address\": 3, \"exception\": 2}\n");
    EXPECT_TRUE(Contains(scan.NextLine(5000), "{\"address\": 7, \"voltage_v\": 70.07, \""));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (line.Requests() < 8 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_GE(line.Requests(), 8u);  // address 8 is being asked
    const auto sent = std::chrono::steady_clock::now();
    scan.Signal(SIGINT);
    const ChildResult r = scan.Finish(5000);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1000ms);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    EXPECT_FALSE(LeftExclusive(m_peer.SlavePath()));

    const std::vector<Bytes> requests = line.RequestsSeen();
    ASSERT_GE(requests.size(), 8u);
    for (size_t i = 0; i < requests.size(); ++i) {
        const Bytes read = {static_cast<uint8_t>(i + 1), 0x04, 0x00, 0x00, 0x00, 0x08};
        EXPECT_EQ(requests[i], WithCrc(read)) << i;
    }
}

}  // namespace
