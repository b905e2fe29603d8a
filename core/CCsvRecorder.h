// Recording readings to a CSV file, one line per good poll, each line on
// the device before the next is taken: a crash or a power cut loses at most
// the line being written.
//
//   time_utc,voltage_v,current_a,power_w,energy_wh,voltage_alarm
//   2026-12-08T05:40:01.123Z,51.23,4.50,230.5,12345,0
//
// Threads: Start, Append and Stop come from one thread (the UI thread);
// the file is written on the recorder's own thread, so Append never waits
// for the disk. Lines wait in a bounded queue; a disk that falls behind by
// more than the queue ends the recording like a write error.
//
// A write error (no space, no permission, a removed stick, file too large,
// a reader gone) ends the recording and is reported once through the
// failure callback, with the file's path and the reason. The callback runs
// on the recorder's thread, or inside Append for a full queue, under the
// recorder's lock: it must not call into the recorder, only hand the news
// on (post it to the UI thread). None comes once Stop has returned. The
// same holds for the written callback, which says that one more line is on
// the device: LinesWritten() counts it by then.
#pragma once

#include "MeterBlocks.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

class CCsvRecorder {
public:
    using FailureFn = std::function<void(const std::string& path, const std::string& reason)>;
    using WrittenFn = std::function<void()>;

    static constexpr const char* kHeader =
        "time_utc,voltage_v,current_a,power_w,energy_wh,voltage_alarm\n";
    // A minute of readings at 2 Hz.
    static constexpr size_t kQueueLimit = 120;
    // How long Stop waits for the queued lines before it leaves a stuck
    // write (a hung network file system, a FIFO nobody reads) behind.
    static constexpr int kStopWaitMs = 2000;

    explicit CCsvRecorder(FailureFn onFailure, size_t queueLimit = kQueueLimit,
                          int stopWaitMs = kStopWaitMs);
    ~CCsvRecorder();  // Stop()

    CCsvRecorder(const CCsvRecorder&) = delete;
    CCsvRecorder& operator=(const CCsvRecorder&) = delete;

    // Called after each data line reached the device, for the recordings
    // started after this call.
    void SetWrittenCallback(WrittenFn onWritten) { m_onWritten = std::move(onWritten); }

    // Opens `path` for appending (created if missing) and starts the
    // writer; the header goes first when the file is empty. A recording
    // under way is stopped first. False, with strerror text in *error,
    // when the file cannot be opened.
    bool Start(const std::string& path, std::string* error);
    // Queues one line; false when not recording (never started, stopped, or
    // ended by a failure).
    bool Append(const Measurement& reading, int64_t unixMs);
    // Writes out what was queued, closes the file. Waits at most stopWaitMs
    // for a stuck write, which is then left to end on its own, unreported.
    void Stop();

    bool Recording() const;
    // Data lines of the current (or last) recording on the device.
    uint64_t LinesWritten() const;
    // The current (or last) recording's file.
    const std::string& Path() const { return m_path; }

    // One data line, '\n' included.
    static std::string CsvLine(const Measurement& reading, int64_t unixMs);

private:
    struct Shared;
    static void WriterMain(std::shared_ptr<Shared> shared);
    static void Fail(Shared& shared, const std::string& reason);

    const FailureFn m_onFailure;
    WrittenFn m_onWritten;
    const size_t m_queueLimit;
    const int m_stopWaitMs;
    std::string m_path;
    std::shared_ptr<Shared> m_shared;  // the current (or last) recording
    std::thread m_writer;
};
