// Recording to CSV on real files, FIFOs and /dev/full: the exact lines,
// one header, and a write failure ending the recording with its reason.
#include "CCsvRecorder.h"
#include "TestWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
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
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Report = std::pair<std::string, std::string>;  // path, reason
constexpr int64_t kTime = 1796708401123;             // 2026-12-08T05:40:01.123Z
const std::string kHeader = CCsvRecorder::kHeader;

struct TempDir {
    std::string path = [] {
        char pattern[] = "/tmp/quorvan-csv-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/nonexistent");
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const char* name) const { return path + "/" + name; }
};

// A recorder whose failure reports are collected, from whichever thread.
struct Recorder {
    explicit Recorder(size_t queueLimit = CCsvRecorder::kQueueLimit,
                      int stopWaitMs = CCsvRecorder::kStopWaitMs)
        : csv(
              [this](const std::string& path, const std::string& reason) {
                  std::lock_guard<std::mutex> lock(mutex);
                  reports.emplace_back(path, reason);
                  reported.notify_all();
              },
              queueLimit, stopWaitMs)
    {
    }
    bool WaitForReport()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return reported.wait_for(lock, std::chrono::seconds(5),
                                 [this] { return !reports.empty(); });
    }
    std::vector<Report> Reports()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }

    std::mutex mutex;
    std::condition_variable reported;
    std::vector<Report> reports;
    CCsvRecorder csv;  // last: stopped before the rest goes
};

Measurement Reading(uint16_t voltage, uint16_t current = 100, uint32_t power = 500,
                    uint32_t energy = 7, uint16_t alarm1 = 0, uint16_t alarm2 = 0)
{
    return Measurement{voltage, current, power, energy, alarm1, alarm2};
}

// The lines Append(Reading(5000 + i), kTime + i) writes for i < count.
std::string Lines(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += CCsvRecorder::CsvLine(Reading(static_cast<uint16_t>(5000 + i)), kTime + i);
    return text;
}

void AppendLines(CCsvRecorder& csv, int count)
{
    for (int i = 0; i < count; ++i)
        csv.Append(Reading(static_cast<uint16_t>(5000 + i)), kTime + i);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A FIFO's reading end, non-blocking; `pipeBytes` shrinks the pipe so that
// a writer soon blocks when nobody reads.
int OpenFifoReader(const std::string& path, int pipeBytes = 0)
{
    if (mkfifo(path.c_str(), 0600) != 0)
        return -1;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && pipeBytes > 0)
        fcntl(fd, F_SETPIPE_SZ, pipeBytes);
    return fd;
}

TEST(CsvRecorder, WritesTheMetersValuesExactly)
{
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(5123, 450, 2305, 12345), kTime),
              "2026-12-08T05:40:01.123Z,51.23,4.50,230.5,12345,0\n");
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(65535, 65535, 0xFFFFFFFF, 0xFFFFFFFF, 0, kAlarmOn), 7),
              "1970-01-01T00:00:00.007Z,655.35,655.35,429496729.5,4294967295,1\n");
    // Only 0xFFFF is an alarm.
    EXPECT_EQ(CCsvRecorder::CsvLine(Reading(1, 2, 3, 0, 1, 0xFFFE), kTime),
              "2026-12-08T05:40:01.123Z,0.01,0.02,0.3,0,0\n");

    TempDir dir;
    Recorder r;
    std::string error;
    ASSERT_TRUE(r.csv.Start(dir.File("day.csv"), &error)) << error;
    EXPECT_TRUE(r.csv.Recording());
    EXPECT_EQ(r.csv.Path(), dir.File("day.csv"));
    EXPECT_TRUE(r.csv.Append(Reading(5123, 450, 2305, 12345), kTime));
    EXPECT_TRUE(r.csv.Append(Reading(30100, 1, 30, 12346, kAlarmOn), kTime + 524));
    r.csv.Stop();
    EXPECT_FALSE(r.csv.Recording());
    EXPECT_FALSE(r.csv.Append(Reading(1), kTime));
    EXPECT_EQ(r.csv.LinesWritten(), 2u);
    EXPECT_EQ(Slurp(dir.File("day.csv")),
              "time_utc,voltage_v,current_a,power_w,energy_wh,voltage_alarm\n"
              "2026-12-08T05:40:01.123Z,51.23,4.50,230.5,12345,0\n"
              "2026-12-08T05:40:01.647Z,301.00,0.01,3.0,12346,1\n");
    EXPECT_TRUE(r.Reports().empty());
}

TEST(CsvRecorder, AppendsWithTheHeaderOnceAndStopWritesOutTheQueue)
{
    TempDir dir;
    Recorder r;
    std::string error;
    const std::string path = dir.File("log.csv");
    ASSERT_TRUE(r.csv.Start(path, &error)) << error;
    AppendLines(r.csv, 100);  // Stop comes while these are being written
    r.csv.Stop();
    EXPECT_EQ(r.csv.LinesWritten(), 100u);
    ASSERT_TRUE(r.csv.Start(path, &error)) << error;
    EXPECT_EQ(r.csv.LinesWritten(), 0u);
    AppendLines(r.csv, 1);
    r.csv.Stop();
    EXPECT_EQ(Slurp(path), kHeader + Lines(100) + Lines(1));

    // An empty file gets the header; a line cut off by a crash is ended
    // before the next.
    std::ofstream(dir.File("empty.csv")).close();
    std::ofstream(dir.File("cut.csv")) << kHeader << "2026-12-08T05:40:01.123Z,51.";
    for (const char* name : {"empty.csv", "cut.csv"}) {
        ASSERT_TRUE(r.csv.Start(dir.File(name), &error)) << error;
        AppendLines(r.csv, 1);
        r.csv.Stop();
    }
    EXPECT_EQ(Slurp(dir.File("empty.csv")), kHeader + Lines(1));
    EXPECT_EQ(Slurp(dir.File("cut.csv")), kHeader + "2026-12-08T05:40:01.123Z,51.\n" + Lines(1));
    EXPECT_TRUE(r.Reports().empty());
}

// Each line reported once it is on the device, and counted by then: a count
// shown from the report is never one behind the file.
TEST(CsvRecorder, EachWrittenLineIsReportedCountedAndInTheFile)
{
    TempDir dir;
    Recorder r;
    std::vector<uint64_t> counted;
    std::vector<size_t> fileLines;
    const std::string path = dir.File("counted.csv");
    r.csv.SetWrittenCallback([&] {  // the writer's thread; nothing else touches these meanwhile
        counted.push_back(r.csv.LinesWritten());
        const std::string text = Slurp(path);
        fileLines.push_back(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) - 1);
    });
    std::string error;
    ASSERT_TRUE(r.csv.Start(path, &error)) << error;
    AppendLines(r.csv, 5);
    r.csv.Stop();
    EXPECT_EQ(counted, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(fileLines, (std::vector<size_t>{1, 2, 3, 4, 5}));
}

// A long recording passes 2 GiB; on a 32-bit machine (armhf) that takes a
// 64-bit file offset. A sparse file stands in for the long recording.
TEST(CsvRecorder, AppendsToAFilePastTwoGibibytes)
{
    TempDir dir;
    const std::string path = dir.File("long.csv");
    const off_t size = (off_t{1} << 31) + 9;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const bool made = ftruncate(fd, size) == 0 && pwrite(fd, "\n", 1, size - 1) == 1;
    close(fd);
    ASSERT_TRUE(made) << std::strerror(errno);

    Recorder r;
    std::string error;
    ASSERT_TRUE(r.csv.Start(path, &error)) << error;
    AppendLines(r.csv, 1);
    r.csv.Stop();
    EXPECT_TRUE(r.Reports().empty());
    const std::string line = Lines(1);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size + static_cast<off_t>(line.size()));
    std::string tail(line.size(), '\0');
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    EXPECT_EQ(pread(in, tail.data(), tail.size(), size), static_cast<ssize_t>(tail.size()));
    close(in);
    EXPECT_EQ(tail, line);
}

TEST(CsvRecorder, StartSaysWhyAFileCannotBeOpened)
{
    TempDir dir;
    Recorder r;
    std::string error;
    EXPECT_FALSE(r.csv.Start(dir.File("missing/day.csv"), &error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(r.csv.Start(dir.path, &error));
    EXPECT_EQ(error, "Is a directory");
    // A FIFO nobody reads is refused at once rather than hanging the caller.
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(r.csv.Start(dir.File("fifo"), &error));
    EXPECT_EQ(error, "No such device or address");
    EXPECT_FALSE(r.csv.Recording());
    EXPECT_FALSE(r.csv.Append(Reading(1), kTime));
}

TEST(CsvRecorder, AFullDeviceStopsTheRecordingOnceWithTheReason)
{
    Recorder r;
    std::string error;
    ASSERT_TRUE(r.csv.Start("/dev/full", &error)) << error;
    AppendLines(r.csv, 3);
    ASSERT_TRUE(r.WaitForReport());
    EXPECT_FALSE(r.csv.Recording());
    EXPECT_FALSE(r.csv.Append(Reading(1), kTime));
    r.csv.Stop();
    EXPECT_EQ(r.csv.LinesWritten(), 0u);
    EXPECT_EQ(r.Reports(), (std::vector<Report>{{"/dev/full", "No space left on device"}}));
}

// In a child: a file size limit that fits the header and two lines, and
// SIGXFSZ left at its default, which would kill the process. Exit 0 when
// the third line ended the recording with EFBIG and the file holds exactly
// the header and two whole lines.
int RecordUnderSizeLimit(const std::string& path)
{
    const rlim_t bytes = kHeader.size() + Lines(2).size() + 20;
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 10;
    Recorder r;
    std::string error;
    if (!r.csv.Start(path, &error))
        return 11;
    AppendLines(r.csv, 5);
    if (!r.WaitForReport())
        return 12;
    r.csv.Stop();
    if (r.Reports() != std::vector<Report>{{path, "File too large"}})
        return 13;
    if (r.csv.LinesWritten() != 2)
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
    const int reader = OpenFifoReader(fifo);
    ASSERT_GE(reader, 0);
    Recorder r;
    std::string error;
    ASSERT_TRUE(r.csv.Start(fifo, &error)) << error;
    AppendLines(r.csv, 2);
    ASSERT_TRUE(WaitFor([&] { return r.csv.LinesWritten() == 2; }));
    char got[4096];
    const ssize_t n = read(reader, got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0), kHeader + Lines(2));

    close(reader);
    AppendLines(r.csv, 1);
    ASSERT_TRUE(r.WaitForReport());  // not SIGPIPE
    EXPECT_FALSE(r.csv.Recording());
    EXPECT_EQ(r.csv.LinesWritten(), 2u);
    EXPECT_EQ(r.Reports(), (std::vector<Report>{{fifo, "Broken pipe"}}));
}

TEST(CsvRecorder, StopLeavesAStuckWriteBehindAfterItsWait)
{
    TempDir dir;
    const int reader = OpenFifoReader(dir.File("fifo"), 4096);
    ASSERT_GE(reader, 0);
    Recorder r;  // the real wait
    std::string error;
    ASSERT_TRUE(r.csv.Start(dir.File("fifo"), &error)) << error;
    AppendLines(r.csv, 100);  // more than the pipe holds, nobody reads
    ASSERT_TRUE(WaitFor([&] { return r.csv.LinesWritten() > 0; }));

    const auto before = Clock::now();
    r.csv.Stop();
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(CCsvRecorder::kStopWaitMs - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(CCsvRecorder::kStopWaitMs + 1500));
    EXPECT_LT(r.csv.LinesWritten(), 100u);

    // The stuck write ends with the reader, unreported; meanwhile the
    // recorder records again.
    close(reader);
    ASSERT_TRUE(r.csv.Start(dir.File("next.csv"), &error)) << error;
    AppendLines(r.csv, 1);
    r.csv.Stop();
    EXPECT_EQ(Slurp(dir.File("next.csv")), kHeader + Lines(1));
    EXPECT_TRUE(r.Reports().empty());
}

TEST(CsvRecorder, ADiskThatFallsBehindStopsItLikeAWriteError)
{
    TempDir dir;
    const int reader = OpenFifoReader(dir.File("fifo"), 4096);
    ASSERT_GE(reader, 0);
    Recorder r(4, 100);
    std::string error;
    ASSERT_TRUE(r.csv.Start(dir.File("fifo"), &error)) << error;
    int accepted = 0;
    while (accepted < 1000 && r.csv.Append(Reading(5000), kTime))
        ++accepted;
    EXPECT_LT(accepted, 1000);
    EXPECT_FALSE(r.csv.Recording());
    // Reported at once, from Append; the write that then fails on the
    // vanished reader is no second report.
    EXPECT_EQ(
        r.Reports(),
        (std::vector<Report>{{dir.File("fifo"), "the disk does not keep up (4 lines waiting)"}}));
    close(reader);
    r.csv.Stop();
    EXPECT_EQ(r.Reports().size(), 1u);
}

}  // namespace
