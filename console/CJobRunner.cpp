#include "CJobRunner.h"

CJobRunner::~CJobRunner()
{
    if (m_worker.joinable())
        m_worker.join();
}

void CJobRunner::Post(std::function<void()> fn)
{
    // Queued calls to one receiver run in posting order; if the receiver is
    // destroyed first, Qt drops them.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void CJobRunner::Deliver(const std::function<void()>& fn)
{
    m_worker.join();  // its last act was posting this call
    m_busy = false;
    fn();
}
