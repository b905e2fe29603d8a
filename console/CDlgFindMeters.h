// "Find Meters": a scan of the line as it goes (a progress bar over the
// addresses 1 to 247, each meter listed with its reading as it answers),
// then a pick: a double-click or OK on a meter makes it the panel's.
//
// It shows a CMeterScan it is handed and never touches the port. Closing
// it while the scan runs (Cancel, OK, a double-click, Escape, the window's
// close, its owner closing) stops the scan first and closes once the scan
// has ended, the port closed: whatever comes after the dialog finds the
// port free. The scan ends within milliseconds of the stop.
#pragma once

#include "CMeterScan.h"

#include <QDialog>
#include <QString>

#include <cstdint>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;

class CDlgFindMeters : public QDialog {
    Q_OBJECT

public:
    // `scan` outlives the dialog; the dialog starts nothing itself.
    CDlgFindMeters(CMeterScan& scan, QWidget* parent);

    // The meter picked with OK or a double-click; 0 when none was.
    uint8_t PickedAddress() const { return m_picked; }
    bool Scanning() const { return m_scan.Running(); }

    // Its parts, for a look from outside: objectNames "status",
    // "progress", "meterList", "ok", "cancel".
    QString StatusText() const;
    QListWidget* MeterList() const { return m_list; }
    QProgressBar* Progress() const { return m_progress; }

    // The list line of a meter: "Address 5: 51.23 V  4.50 A  230.5 W
    // 12345 Wh", or "Address 9: exception code 2 (illegal data address)".
    static QString MeterLine(const ScanHit& hit);

public slots:
    void done(int result) override;

private:
    void OnAsking(int address);
    void OnFound(const ScanHit& hit);
    void OnFinished(const MeterScanEnd& end);
    void OnActivated(QListWidgetItem* item);
    QString FoundText() const;

    CMeterScan& m_scan;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    QListWidget* m_list = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    uint8_t m_picked = 0;
    int m_closeWith = -1;  // the result to close with once the scan has ended
};
