#include "CServiceSignals.h"

#include "CStopSignal.h"

struct CServiceSignals::Native {
    CStopSignal stop;
};

CServiceSignals::CServiceSignals() : m_native(std::make_unique<Native>()) {}

// Lets a closing console's handler return: Windows then ends the process.
CServiceSignals::~CServiceSignals() = default;

CServiceSignals::Request CServiceSignals::Wait()
{
    while (!m_native->stop.Token().Wait(-1)) {
    }
    return kEnd;
}

const char* CServiceSignals::What() const
{
    return m_native->stop.What();
}
