#include "CMeterScan.h"

CMeterScan::CMeterScan(CMeterPort& port, QObject* parent) : QObject(parent), m_port(port) {}

CMeterScan::~CMeterScan()
{
    m_stop.Raise();  // m_worker, destroyed first, then joins at once
}

bool CMeterScan::Start(uint16_t answerLimitMs)
{
    if (m_running)
        return false;
    m_running = true;
    m_stop.Reset();
    m_worker.Run<MeterScanEnd>([this, answerLimitMs] { return Work(answerLimitMs); },
                               [this](MeterScanEnd end) {
                                   m_running = false;
                                   emit Finished(end);
                               });
    return true;
}

void CMeterScan::Stop()
{
    if (m_running)
        m_stop.Raise();
}

MeterScanEnd CMeterScan::Work(uint16_t answerLimitMs)
{
    MeterScanEnd end;
    end.scan.outcome = m_port.Open();
    if (end.scan.outcome.Ok()) {
        // A stop ends the exchange under way too, not only the next one.
        m_port.SetCancel(&m_stop);
        ScanCallbacks callbacks;
        callbacks.onAsking = [this](uint8_t address) {
            m_worker.Post([this, address] { emit Asking(address); });
        };
        callbacks.onMeter = [this](const ScanHit& hit) {
            m_worker.Post([this, hit] { emit Found(hit); });
        };
        end.scan = ScanLine(m_port, m_stop, answerLimitMs, callbacks);
        m_port.SetCancel(nullptr);
    }
    m_port.Close();
    end.scan.stopped = m_stop.Requested();
    if (!end.scan.outcome.Ok() && !end.scan.stopped)
        end.failure = QString::fromStdString(m_port.Describe(end.scan.outcome));
    return end;
}
