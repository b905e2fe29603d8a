#include "CCsvRecorder.h"

#include "MeterFormat.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Pending {
    Measurement reading;
    int64_t unixMs;
};

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

// The whole of `text`, or errno of the first failure; *written says how
// much got out.
int WriteAll(int fd, const std::string& text, size_t* written)
{
    *written = 0;
    while (*written < text.size()) {
        const ssize_t n = write(fd, text.data() + *written, text.size() - *written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        *written += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

struct CCsvRecorder::Shared {
    Shared(int file, std::string filePath, FailureFn failureFn, WrittenFn writtenFn, size_t limit)
        : fd(file),
          path(std::move(filePath)),
          onFailure(std::move(failureFn)),
          onWritten(std::move(writtenFn)),
          queue(limit)
    {
    }

    const int fd;  // the writer's; closed by it
    const std::string path;

    std::mutex mutex;
    std::condition_variable wake;      // the writer: a line, a stop or a failure
    std::condition_variable finished;  // Stop: the writer has ended
    // Guarded by mutex.
    FailureFn onFailure;  // both dropped when Stop leaves the writer behind
    WrittenFn onWritten;
    std::vector<Pending> queue;
    size_t first = 0;
    size_t count = 0;
    bool stop = false;
    bool failed = false;
    bool ended = false;

    std::atomic<bool> recording{true};
    std::atomic<uint64_t> lines{0};
};

CCsvRecorder::CCsvRecorder(FailureFn onFailure, size_t queueLimit, int stopWaitMs)
    : m_onFailure(std::move(onFailure)),
      m_queueLimit(queueLimit > 0 ? queueLimit : 1),
      m_stopWaitMs(stopWaitMs)
{
}

CCsvRecorder::~CCsvRecorder()
{
    Stop();
}

std::string CCsvRecorder::CsvLine(const Measurement& m, int64_t unixMs)
{
    return UtcTimestamp(unixMs) + ',' + HundredthsText(m.voltage) + ',' +
           HundredthsText(m.current) + ',' + TenthsText(m.power) + ',' + std::to_string(m.energy) +
           ',' + (m.VoltageAlarm() ? '1' : '0') + '\n';
}

bool CCsvRecorder::Start(const std::string& path, std::string* error)
{
    Stop();
    // Non-blocking open: a FIFO without a reader fails instead of hanging
    // the caller; writes block again below.
    const int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        *error = ErrnoText(errno);
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    m_path = path;
    m_shared = std::make_shared<Shared>(fd, path, m_onFailure, m_onWritten, m_queueLimit);
    m_writer = std::thread(WriterMain, m_shared);
    return true;
}

bool CCsvRecorder::Append(const Measurement& reading, int64_t unixMs)
{
    if (!m_shared || !m_shared->recording.load())
        return false;
    Shared& s = *m_shared;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.stop || s.failed)
            return false;
        if (s.count < s.queue.size()) {
            s.queue[(s.first + s.count) % s.queue.size()] = Pending{reading, unixMs};
            ++s.count;
            s.wake.notify_one();
            return true;
        }
    }
    Fail(s, "the disk does not keep up (" + std::to_string(m_queueLimit) + " lines waiting)");
    return false;
}

void CCsvRecorder::Stop()
{
    if (!m_writer.joinable())
        return;
    Shared& s = *m_shared;
    s.recording.store(false);
    std::unique_lock<std::mutex> lock(s.mutex);
    s.stop = true;
    s.wake.notify_one();
    const bool ended = s.finished.wait_for(lock, std::chrono::milliseconds(m_stopWaitMs),
                                           [&s] { return s.ended; });
    if (!ended) {
        // Nobody to tell once this object is gone.
        s.onFailure = nullptr;
        s.onWritten = nullptr;
    }
    lock.unlock();
    if (ended)
        m_writer.join();
    else
        m_writer.detach();  // holds its own reference to the shared state
}

bool CCsvRecorder::Recording() const
{
    return m_shared && m_shared->recording.load();
}

uint64_t CCsvRecorder::LinesWritten() const
{
    return m_shared ? m_shared->lines.load() : 0;
}

void CCsvRecorder::Fail(Shared& s, const std::string& reason)
{
    // Reported under the lock, so no report can come after Stop has given
    // up on a stuck writer and returned.
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.failed)
        return;
    s.failed = true;
    s.recording.store(false);
    s.wake.notify_one();
    if (s.onFailure)
        s.onFailure(s.path, reason);
}

void CCsvRecorder::WriterMain(std::shared_ptr<Shared> shared)
{
    Shared& s = *shared;
    // A file size limit or a vanished reader must end the recording with
    // EFBIG or EPIPE, not kill the panel: these signals stay pending on this
    // thread and die with it.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGXFSZ);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    struct stat st {};
    const bool regular = fstat(s.fd, &st) == 0 && S_ISREG(st.st_mode);
    // One write and one fdatasync per line; a line cut short is taken back
    // off a regular file, so the file stays whole lines.
    auto put = [&](const std::string& text) {
        size_t written = 0;
        int error = WriteAll(s.fd, text, &written);
        if (error != 0 && written > 0 && regular) {
            const off_t end = lseek(s.fd, 0, SEEK_END);
            if (end >= static_cast<off_t>(written))
                (void)!ftruncate(s.fd, end - static_cast<off_t>(written));
        }
        // Pipes and character devices cannot be synced; nothing is lost.
        if (error == 0 && fdatasync(s.fd) != 0 && errno != EINVAL && errno != EROFS)
            error = errno;
        if (error != 0)
            Fail(s, ErrnoText(error));
        return error == 0;
    };

    bool ok = true;
    bool endCutLine = false;
    if (st.st_size == 0) {
        ok = put(kHeader);
    } else if (regular) {
        // A line cut short by an earlier crash gets its own line ended.
        // (The file is open write-only, so that a FIFO's reader going away
        // shows; look through a second descriptor.)
        char last = '\n';
        const int look = open(s.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (look >= 0 && pread(look, &last, 1, st.st_size - 1) == 1 && last != '\n')
            endCutLine = true;
        if (look >= 0)
            close(look);
    }
    while (ok) {
        Pending next{};
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.wake.wait(lock, [&s] { return s.count > 0 || s.stop || s.failed; });
            if (s.failed || s.count == 0)
                break;
            next = s.queue[s.first];
            s.first = (s.first + 1) % s.queue.size();
            --s.count;
        }
        std::string line = CsvLine(next.reading, next.unixMs);
        // One character inserted: g++ 12 at -O3 takes a literal string in
        // front of this one for an overlapping copy (-Wrestrict).
        if (endCutLine)
            line.insert(line.begin(), '\n');
        endCutLine = false;
        ok = put(line);
        if (ok) {
            // Counted once on the device; reported under the lock, as a
            // failure is, so that nothing is reported after Stop.
            std::lock_guard<std::mutex> lock(s.mutex);
            s.lines.fetch_add(1);
            if (s.onWritten)
                s.onWritten();
        }
    }

    close(s.fd);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.recording.store(false);
    s.ended = true;
    s.finished.notify_all();
}
