// Recording to CSV on real files, FIFOs and /dev/full: the exact lines,
// one header, and a write failure ending the recording with its reason.
#include "CCsvRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kTime = 1796708401123;  // 2026-12-08T05:40:01.123Z
const std::string kHeader = CCsvRecorder::kHeader;

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/quorvan-csv-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            m_path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Collects failure reports from whichever thread makes them.
class Failures {
public:
    CCsvRecorder::FailureFn Callback()
    {
        return [this](const std::string& path, const std::string& reason) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.emplace_back(path, reason);
            m_cv.notify_all();
        };
    }
    bool WaitForOne(int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms),
                             [this] { return !m_seen.empty(); });
    }
    std::vector<std::pair<std::string, std::string>> Seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::pair<std::string, std::string>> m_seen;
};

Measurement Reading(uint16_t voltage, uint16_t current, uint32_t power, uint32_t energy,
                    uint16_t alarm1 = 0, uint16_t alarm2 = 0)
{
    return Measurement{voltage, current, power, energy, alarm1, alarm2};
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Lines(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += CCsvRecorder::CsvLine(Reading(5000 + i, 100, 500, 7), kTime + i);
    return text;
}

bool WaitUntil(const std::function<bool()>& condition, int ms = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A FIFO with a reader that reads nothing and a one-page pipe, so that a
// writer soon blocks.
class StuckFifo {
public:
    explicit StuckFifo(const std::string& path) : m_path(path)
    {
        if (mkfifo(path.c_str(), 0600) == 0)
            m_reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_reader >= 0)
            fcntl(m_reader, F_SETPIPE_SZ, 4096);
    }
    ~StuckFifo() { GoAway(); }
    bool Ok() const { return m_reader >= 0; }
    int Reader() const { return m_reader; }
    void GoAway()
    {
        if (m_reader >= 0)
            close(m_reader);
        m_reader = -1;
    }

private:
    std::string m_path;
    int m_reader = -1;
};

// Reads from `fd` until `bytes` have come or 5 s pass.
std::string ReadBytes(int fd, size_t bytes)
{
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (got.size() < bytes && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(CsvRecorder, WritesTheMetersValuesExactly)
{
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(5123, 450, 2305, 12345), kTime),
              "2026-12-08T05:40:01.123Z,51.23,4.50,230.5,12345,0\n");
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(0, 0, 0, 0, 0, kAlarmOn), 1796708401000),
              "2026-12-08T05:40:01.000Z,0.00,0.00,0.0,0,1\n");
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(65535, 65535, 0xFFFFFFFF, 0xFFFFFFFF, kAlarmOn), 7),
              "1970-01-01T00:00:00.007Z,655.35,655.35,429496729.5,4294967295,1\n");
    // Only 0xFFFF is an alarm.
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(1, 2, 3, 4, 1, 0xFFFE), kTime),
              "2026-12-08T05:40:01.123Z,0.01,0.02,0.3,4,0\n");

    TempDir dir;
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    ASSERT_TRUE(recorder.Start(dir.File("day.csv"), &error)) << error;
    EXPECT_TRUE(recorder.Recording());
    EXPECT_EQ(recorder.Path(), dir.File("day.csv"));
    EXPECT_TRUE(recorder.Append(Reading(5123, 450, 2305, 12345), kTime));
    EXPECT_TRUE(recorder.Append(Reading(30100, 1, 30, 12346, kAlarmOn), kTime + 524));
    recorder.Stop();
    EXPECT_FALSE(recorder.Recording());
    EXPECT_FALSE(recorder.Append(Reading(1, 1, 1, 1), kTime));
    EXPECT_EQ(recorder.LinesWritten(), 2u);
    EXPECT_EQ(Slurp(dir.File("day.csv")),
              "time_utc,voltage_v,current_a,power_w,energy_wh,voltage_alarm\n"
              "2026-12-08T05:40:01.123Z,51.23,4.50,230.5,12345,0\n"
              "2026-12-08T05:40:01.647Z,301.00,0.01,3.0,12346,1\n");
    EXPECT_TRUE(failures.Seen().empty());
}

TEST(CsvRecorder, AppendsToAFileWithTheHeaderOnce)
{
    TempDir dir;
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    const std::string path = dir.File("log.csv");
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(recorder.Start(path, &error)) << error;
        EXPECT_EQ(recorder.LinesWritten(), 0u);
        recorder.Append(Reading(5000 + round, 100, 500, 7), kTime + round);
        recorder.Stop();
        EXPECT_EQ(recorder.LinesWritten(), 1u);
    }
    EXPECT_EQ(Slurp(path), kHeader + Lines(2));

    // An empty file gets the header; a file whose last line was cut off by
    // a crash gets that line ended before the next.
    std::ofstream(dir.File("empty.csv")).close();
    ASSERT_TRUE(recorder.Start(dir.File("empty.csv"), &error)) << error;
    recorder.Append(Reading(5000, 100, 500, 7), kTime);
    recorder.Stop();
    EXPECT_EQ(Slurp(dir.File("empty.csv")), kHeader + Lines(1));

    std::ofstream(dir.File("cut.csv")) << kHeader << "2026-12-08T05:40:01.123Z,51.";
    ASSERT_TRUE(recorder.Start(dir.File("cut.csv"), &error)) << error;
    recorder.Append(Reading(5000, 100, 500, 7), kTime);
    recorder.Stop();
    EXPECT_EQ(Slurp(dir.File("cut.csv")), kHeader + "2026-12-08T05:40:01.123Z,51.\n" + Lines(1));
    EXPECT_TRUE(failures.Seen().empty());
}

TEST(CsvRecorder, StartSaysWhyAFileCannotBeOpened)
{
    TempDir dir;
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    EXPECT_FALSE(recorder.Start(dir.File("missing/day.csv"), &error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(recorder.Start(dir.File(""), &error));
    EXPECT_EQ(error, "Is a directory");
    EXPECT_FALSE(recorder.Recording());
    EXPECT_FALSE(recorder.Append(Reading(1, 1, 1, 1), kTime));

    // A FIFO nobody reads is refused at once rather than hanging the caller.
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(recorder.Start(dir.File("fifo"), &error));
    EXPECT_EQ(error, "No such device or address");

    if (geteuid() != 0) {
        chmod(dir.File("").c_str(), 0500);
        EXPECT_FALSE(recorder.Start(dir.File("day.csv"), &error));
        EXPECT_EQ(error, "Permission denied");
        chmod(dir.File("").c_str(), 0700);
    }
}

TEST(CsvRecorder, AFullDeviceStopsTheRecordingOnceWithTheReason)
{
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    ASSERT_TRUE(recorder.Start("/dev/full", &error)) << error;
    recorder.Append(Reading(5000, 100, 500, 7), kTime);
    ASSERT_TRUE(failures.WaitForOne());
    EXPECT_FALSE(recorder.Recording());
    EXPECT_FALSE(recorder.Append(Reading(5000, 100, 500, 7), kTime));
    recorder.Stop();
    EXPECT_EQ(recorder.LinesWritten(), 0u);
    const auto seen = failures.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, "/dev/full");
    EXPECT_EQ(seen[0].second, "No space left on device");
}

// In a child: record under a file size limit that fits the header and two
// lines, SIGXFSZ left at its default (which would kill the process).
// Exit 0 when the third line ended the recording with EFBIG and the file
// holds exactly the header and two whole lines.
int RecordUnderSizeLimit(const std::string& path)
{
    const rlimit limit{kHeader.size() + 2 * Lines(1).size() + 20,
                       kHeader.size() + 2 * Lines(1).size() + 20};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 10;
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    if (!recorder.Start(path, &error))
        return 11;
    for (int i = 0; i < 5; ++i)
        recorder.Append(Reading(5000 + i, 100, 500, 7), kTime + i);
    if (!failures.WaitForOne())
        return 12;
    recorder.Stop();
    const auto seen = failures.Seen();
    if (seen.size() != 1 || seen[0].first != path || seen[0].second != "File too large")
        return 13;
    if (recorder.LinesWritten() != 2)
        return 14;
    return Slurp(path) == kHeader + Lines(2) ? 0 : 15;
}

TEST(CsvRecorder, AFileSizeLimitMidRecordingStopsItWithTheReason)
{
    TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(RecordUnderSizeLimit(dir.File("limited.csv")));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(CsvRecorder, AReaderGoingAwayStopsItWithTheReason)
{
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    StuckFifo pipe(fifo);
    ASSERT_TRUE(pipe.Ok());

    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    ASSERT_TRUE(recorder.Start(fifo, &error)) << error;
    recorder.Append(Reading(5000, 100, 500, 7), kTime);
    recorder.Append(Reading(5001, 100, 500, 7), kTime + 1);
    const std::string want = kHeader + Lines(2);
    EXPECT_EQ(ReadBytes(pipe.Reader(), want.size()), want);
    EXPECT_TRUE(WaitUntil([&] { return recorder.LinesWritten() == 2; }));

    pipe.GoAway();
    recorder.Append(Reading(5002, 100, 500, 7), kTime + 2);
    ASSERT_TRUE(failures.WaitForOne());
    EXPECT_FALSE(recorder.Recording());
    EXPECT_EQ(recorder.LinesWritten(), 2u);
    EXPECT_EQ(failures.Seen().at(0), std::make_pair(fifo, std::string("Broken pipe")));
}

TEST(CsvRecorder, StopWritesOutWhatWasQueued)
{
    TempDir dir;
    Failures failures;
    CCsvRecorder recorder(failures.Callback());
    std::string error;
    ASSERT_TRUE(recorder.Start(dir.File("day.csv"), &error)) << error;
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(recorder.Append(Reading(5000 + i, 100, 500, 7), kTime + i));
    recorder.Stop();
    EXPECT_EQ(recorder.LinesWritten(), 100u);
    EXPECT_EQ(Slurp(dir.File("day.csv")), kHeader + Lines(100));
    EXPECT_TRUE(failures.Seen().empty());
}

TEST(CsvRecorder, StopLeavesAStuckWriteBehindAfterItsWait)
{
    TempDir dir;
    StuckFifo pipe(dir.File("fifo"));
    ASSERT_TRUE(pipe.Ok());
    Failures failures;
    CCsvRecorder recorder(failures.Callback());  // the real wait
    std::string error;
    ASSERT_TRUE(recorder.Start(dir.File("fifo"), &error)) << error;
    // More than the pipe holds: the writer blocks part-way.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(recorder.Append(Reading(5000 + i, 100, 500, 7), kTime + i));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LinesWritten() > 0; }));

    const auto before = Clock::now();
    recorder.Stop();
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(CCsvRecorder::kStopWaitMs - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(CCsvRecorder::kStopWaitMs + 1500));
    EXPECT_FALSE(recorder.Recording());
    EXPECT_LT(recorder.LinesWritten(), 100u);

    // The stuck write ends with the reader, unreported; the recorder
    // records again meanwhile.
    pipe.GoAway();
    ASSERT_TRUE(recorder.Start(dir.File("next.csv"), &error)) << error;
    recorder.Append(Reading(5000, 100, 500, 7), kTime);
    recorder.Stop();
    EXPECT_EQ(Slurp(dir.File("next.csv")), kHeader + Lines(1));
    EXPECT_TRUE(failures.Seen().empty());
}

TEST(CsvRecorder, ADiskThatFallsBehindStopsItLikeAWriteError)
{
    TempDir dir;
    StuckFifo pipe(dir.File("fifo"));
    ASSERT_TRUE(pipe.Ok());
    Failures failures;
    CCsvRecorder recorder(failures.Callback(), 4, 100);
    std::string error;
    ASSERT_TRUE(recorder.Start(dir.File("fifo"), &error)) << error;
    int accepted = 0;
    while (accepted < 1000 && recorder.Append(Reading(5000, 100, 500, 7), kTime))
        ++accepted;
    EXPECT_LT(accepted, 1000);
    EXPECT_FALSE(recorder.Recording());
    // Reported at once, from Append.
    const auto seen = failures.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, "the disk does not keep up (4 lines waiting)");

    // The write that then fails on the vanished reader is not a second report.
    pipe.GoAway();
    recorder.Stop();
    EXPECT_EQ(failures.Seen().size(), 1u);
}

}  // namespace
