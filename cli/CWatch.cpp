#include "CWatch.h"

CWatch::CWatch(CCliPort& port, const CStopSignal& stop, WatchTiming timing)
    : m_port(port), m_stop(stop), m_timing(timing)
{
}

int CWatch::Run(const ReadingFn& onReading, const FailureFn& onFailure)
{
    int failures = 0;
    while (!m_stop.Requested()) {
        MeterReading reading;
        const int result = m_port.Meter().ReadMeasurements(&reading);
        if (result == kMeterOk) {
            failures = 0;
            onReading(reading);
        } else {
            if (++failures >= m_timing.maxFailures)
                return result;
            onFailure(result);
            m_port.Close();
            if (m_stop.Wait(m_timing.reconnectMs))
                break;
            m_port.Open();  // not examined: a port that stays shut fails the next poll
        }
        m_stop.Wait(m_timing.pauseMs);
    }
    return kMeterOk;
}
