#include "CServiceSignals.h"

#include <csignal>

#include <pthread.h>

struct CServiceSignals::Native {
    sigset_t set;
    int last = 0;
};

CServiceSignals::CServiceSignals() : m_native(std::make_unique<Native>())
{
    sigemptyset(&m_native->set);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&m_native->set, s);
    pthread_sigmask(SIG_BLOCK, &m_native->set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

CServiceSignals::~CServiceSignals() = default;

CServiceSignals::Request CServiceSignals::Wait()
{
    for (;;) {
        int signal = 0;
        if (sigwait(&m_native->set, &signal) != 0)
            continue;
        m_native->last = signal;
        return signal == SIGHUP ? kReread : kEnd;
    }
}

const char* CServiceSignals::What() const
{
    switch (m_native->last) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        default: return "";
    }
}
