#include "CHttpWorkers.h"

CHttpWorkers::CHttpWorkers(size_t threads, size_t maxQueued) : m_maxQueued(maxQueued)
{
    for (size_t i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { Work(); });
}

CHttpWorkers::~CHttpWorkers()
{
    shutdown();
}

void CHttpWorkers::enqueue(std::function<void()> job)
{
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [this] { return m_jobs.size() < m_maxQueued || m_shutdown; });
    m_jobs.push_back(std::move(job));
    m_changed.notify_all();
}

void CHttpWorkers::shutdown()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_shutdown = true;
    }
    m_changed.notify_all();
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.join();
}

void CHttpWorkers::Work()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_changed.wait(hold, [this] { return !m_jobs.empty() || m_shutdown; });
            if (m_jobs.empty())
                return;  // shut down, nothing left
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        m_changed.notify_all();  // a place in the queue is free
        try {
            job();
        } catch (...) {
            // One connection failed inside the library; the worker serves on.
        }
    }
}
