// One serial line of the service: its own thread polls the line's meters in
// turn, each by its own address, and puts a snapshot in the store after
// every poll.
//
// Rules:
//   - each meter is polled once per interval (at once again when a round
//     took longer); a meter that does not answer, or answers wrongly, costs
//     the others its time limit and nothing more, and they lose no poll:
//     the port stays open, each request waits for a frame gap without a
//     byte (a late byte is dropped, not read as the answer), and after
//     a failed exchange the line is listened to, and what comes dropped,
//     until that answer's time limit has passed (from the request) and the
//     line has been quiet for 20 ms. An answer that is one whole frame from
//     the polled meter (an exception) ends its exchange at once;
//   - a transport failure (adapter pulled) closes the port, marks every
//     meter of the line down, and the port is reopened after a pause that
//     grows 1 s, 2 s, 4 s ... up to 30 s; a failed open waits the same way.
//     The pause starts again at 1 s after a poll that reached the line;
//   - events go to the log on change only: line opened, lost, reopened;
//     meter up, down. The store holds whether the line is open, how often
//     opening it failed and why.
// Nothing here ends the process. Stop() cuts a transfer or a pause short.
//
// The port is looked up once, when the poller is made (CMeterPort::Choose):
// a COMn alias is followed again at each reopen, so an adapter that comes
// back behind the same /dev/serial/by-id link is found.
#pragma once

#include "CMeterPort.h"
#include "CSnapshotStore.h"
#include "CStopToken.h"
#include "MeterOutcome.h"
#include "MeterdConfig.h"
#include "ServiceLog.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// The reopen pauses and the answer limit; tests shorten them.
struct LinePollTiming {
    int reopenFirstMs = 1000;
    int reopenMaxMs = 30000;
    int answerLimitMs = 0;  // 0: the meter's own, 20 ms a byte + 1000 ms
};

class CLinePoller {
public:
    // `store` and `log` must outlive the poller.
    CLinePoller(const LineConfig& line, int intervalMs, CSnapshotStore& store, LogFn log,
                LinePollTiming timing = {});
    ~CLinePoller();  // Stop()

    CLinePoller(const CLinePoller&) = delete;
    CLinePoller& operator=(const CLinePoller&) = delete;

    // Puts a snapshot (down, undecided, no reading yet) for each meter and
    // the line's status (not open), then starts the thread.
    void Start();
    // Asks the thread to end without waiting: several lines stop at once.
    void RequestStop() { m_stop.Raise(); }
    // RequestStop, then waits for the thread; the port is closed after.
    void Stop();

    // Takes effect from the next round.
    void SetIntervalMs(int ms) { m_intervalMs.store(ms); }
    const LineConfig& Line() const { return m_line; }

private:
    void Run();
    bool OpenLine();
    void Log(const std::string& event) const;
    // False on a transport failure (the port is then closed).
    bool PollMeter(MeterSnapshot* meter);
    // After a failed exchange asked at `asked`; false on a transport failure.
    bool WaitOutAnswer(std::chrono::steady_clock::time_point asked);
    void LoseLine(const MeterOutcome& outcome);
    void MarkDown(MeterSnapshot* meter, const std::string& reason);
    void PutLineStatus(bool open, const std::string& error);
    bool PauseBeforeReopen();
    void WaitForNextRound(std::chrono::steady_clock::time_point roundStart);

    const LineConfig m_line;
    std::atomic<int> m_intervalMs;
    CSnapshotStore& m_store;
    LogFn m_log;
    LinePollTiming m_timing;

    // Owned by the line's thread once it runs.
    CMeterPort m_port;
    std::vector<MeterSnapshot> m_snapshots;
    // What the log last said of each meter, so that it speaks on change only.
    enum Reported : char { kReportedNothing, kReportedUp, kReportedDown };
    std::vector<Reported> m_reported;
    int m_pauseMs;
    LineStatus m_status;
    bool m_everOpened = false;  // reopens and their log lines say so
    std::string m_lastOpenError;

    CStopToken m_stop;
    std::thread m_thread;
};
