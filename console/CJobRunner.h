// One worker step at a time, off the UI thread.
//
// A step computes one value on a worker thread and hands it back to the UI
// thread in one queued call; the UI thread then decides what comes next (a
// box, a dialog, the next step). The worker never waits for the UI thread:
// its last act is posting that call, so the join in it is immediate.
// While a step runs, the worker may also post progress (a reading) with
// Post(); those calls arrive in order, before the step's value.
//
// Owner's duty: make a running step end (a stop token, a flag) before this
// object is destroyed; the destructor joins the worker. Queued calls still
// pending then are dropped with the object.
#pragma once

#include <QObject>

#include <functional>
#include <thread>
#include <utility>

class CJobRunner : public QObject {
public:
    explicit CJobRunner(QObject* parent = nullptr) : QObject(parent) {}
    ~CJobRunner() override;

    // Starts `work` on the worker thread; `done` gets its value on the UI
    // thread. False, and nothing started, while a step is under way.
    template <typename T>
    bool Run(std::function<T()> work, std::function<void(T)> done);

    // Worker side: queues `fn` for the UI thread.
    void Post(std::function<void()> fn);

private:
    void Deliver(const std::function<void()>& fn);

    std::thread m_worker;
    bool m_busy = false;  // UI thread only
};

template <typename T>
bool CJobRunner::Run(std::function<T()> work, std::function<void(T)> done)
{
    if (m_busy)
        return false;
    m_busy = true;
    m_worker = std::thread([this, work = std::move(work), done = std::move(done)] {
        T value = work();
        Post([this, value = std::move(value), done] { Deliver([&] { done(value); }); });
    });
    return true;
}
