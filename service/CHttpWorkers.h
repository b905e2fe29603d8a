// The HTTP server's workers: a fixed number of threads and a bounded queue
// of accepted connections (cpp-httplib's own pool queues without a limit).
//
// When the queue is full, Enqueue waits, which stops the accept loop: new
// clients then wait in the kernel's backlog instead of each taking a
// descriptor, so a flood of connections can never use up the descriptors
// that the serial lines need. Each connection is bounded by the server's
// read and write time-outs, so the wait is too.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CHttpWorkers : public httplib::TaskQueue {
public:
    CHttpWorkers(size_t threads, size_t maxQueued);
    ~CHttpWorkers() override;  // shutdown()

    CHttpWorkers(const CHttpWorkers&) = delete;
    CHttpWorkers& operator=(const CHttpWorkers&) = delete;

    // Called by the accept loop; waits while maxQueued connections wait.
    void enqueue(std::function<void()> job) override;
    // Runs what is queued (each job closes its socket), then joins.
    void shutdown() override;

private:
    void Work();

    const size_t m_maxQueued;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    bool m_shutdown = false;
    std::vector<std::thread> m_threads;
};
