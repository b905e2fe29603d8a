// The panel's search for the meters on its line: the line scan of the core
// (every address from 1 to 247, the client's answer limit) on a worker
// thread, each step handed to the UI thread as a signal.
//
// The port is the main window's, chosen by it for this job; the scan opens
// it, and closes it before Finished comes, whatever happened. Stop() cuts
// the exchange under way short, so Finished follows within milliseconds.
//
// Signals come on the UI thread, in order: Asking and Found while the scan
// runs, Finished last. The worker touches no widget and waits for nothing.
#pragma once

#include "CJobRunner.h"
#include "CMeterPort.h"
#include "CStopToken.h"
#include "LineScan.h"

#include <QObject>
#include <QString>

#include <cstdint>

// How a scan ended.
struct MeterScanEnd {
    ScanEnd scan;     // meters found, a stop, or the failure (stage kOpen: the port did not open)
    QString failure;  // the failure in words, port and hint included; empty when none
};

class CMeterScan : public QObject {
    Q_OBJECT

public:
    // `port` outlives this object.
    explicit CMeterScan(CMeterPort& port, QObject* parent = nullptr);
    ~CMeterScan() override;  // stops a scan under way and waits for its worker

    // Starts a scan of the port chosen; false, and nothing started, while
    // one runs. `answerLimitMs` per address: the client's by default.
    bool Start(uint16_t answerLimitMs = kScanAnswerLimitMs);
    // Asks a running scan to end now.
    void Stop();
    // From Start until Finished has been emitted.
    bool Running() const { return m_running; }

signals:
    void Asking(int address);
    void Found(const ScanHit& hit);
    void Finished(const MeterScanEnd& end);

private:
    MeterScanEnd Work(uint16_t answerLimitMs);

    CMeterPort& m_port;
    CStopToken m_stop;
    bool m_running = false;  // UI thread only
    CJobRunner m_worker;     // last: joined first
};
