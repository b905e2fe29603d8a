// The main window (template 102): four readouts, six command buttons, the
// chosen port in the title, and the meter jobs behind the buttons.
//
// Jobs run on one worker thread at a time (StartJob). A worker never
// touches a widget: it posts closures to the UI thread (PostToUi), which
// runs them in the order posted, and waits in MessageFromWorker until the
// operator dismisses a box.
//
// Stopping: "Exit Measure" only clears the measuring flag, so the stop
// lands after the poll and the pause under way. Closing the window (Cancel,
// Escape, title bar) while a job runs clears it too, cuts the worker's
// pauses short (not the calibrate command's, which sits inside the meter
// exchange: a close then waits for it, up to 3 s), skips any box the worker
// would still show, and closes the window once the worker has ended; a
// dialog or box the window has open is ended first. The destructor does the
// same as a last resort, without waiting on the UI thread.
//
// Controls are found by template id: Control(id), or objectName "id<id>"
// (DialogControls.h).
#pragma once

#include "CModBusRtu.h"
#include "JobTiming.h"
#include "ReadoutDecode.h"

#include <QDialog>
#include <QPointer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class CIanalogdisplayx;
class QPushButton;

class CQuorvanMasterDlg : public QDialog {
    Q_OBJECT

public:
    enum { IDD = 102 };
    enum ControlId {
        IDC_DISPLAY_GROUP = 1026,
        IDC_VOLTAGE = 1000,
        IDC_VOLTAGE_LABEL = 1028,
        IDC_CURRENT = 1001,
        IDC_CURRENT_LABEL = 1029,
        IDC_POWER = 1004,
        IDC_POWER_LABEL = 1030,
        IDC_ENERGY = 1005,
        IDC_ENERGY_LABEL = 1031,
        IDC_OPERATE_GROUP = 1027,
        IDC_SET_COM_PORT = 1003,
        IDC_START_MEASURE = 1002,
        IDC_CLEAR_ENERGY = 3,
        IDC_SET_PARAMETERS = 4,
        IDC_CALIBRATE = 6,
        IDC_CANCEL = 2,
    };

    explicit CQuorvanMasterDlg(QWidget* parent = nullptr);
    ~CQuorvanMasterDlg() override;

    QWidget* Control(int id) const;
    CIanalogdisplayx* Readout(int id) const;

    uint8_t PortNumber() const { return m_byPort; }
    uint16_t BaudRate() const { return m_wBaudRate; }
    bool Measuring() const { return m_nMeasuring != 0; }
    // A worker exists (running, or finished and not yet joined).
    bool JobRunning() const { return m_jobRunning; }
    // Only while no job runs.
    void SetTiming(const JobTiming& timing) { m_timing = timing; }
    CModBusRtu& Meter() { return m_meter; }

    // Button handlers.
    void OnSetComPort();
    void OnStartMeasure();
    void OnClearEnergy();
    void OnSetParameters();
    // Asks for the password on the UI thread; starts the worker only after
    // the right one.
    void OnCalibrate();

    // Sets buttons 1003, 1002, 3, 4, 6, 2, in that order.
    void EnableCommandButtons(bool enable);

    // The measurement's worker procedure: opens the port, polls until the
    // measuring flag clears or three polls in a row fail, closes the port.
    static int MeasureWorker(CQuorvanMasterDlg* dialog);
    // One-shot workers: open, one exchange (the parameter dialog between
    // read and write), a box with the outcome, close.
    static int SetParametersWorker(CQuorvanMasterDlg* dialog);
    static int ClearEnergyWorker(CQuorvanMasterDlg* dialog);
    static int CalibrateWorker(CQuorvanMasterDlg* dialog);

    static constexpr uint8_t kMaxFailedPolls = 3;

protected:
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // --- Job runner, shared by every meter job ---
    // Starts `work` on the worker thread; `finishOnUi` runs on the UI thread
    // after everything the worker posted, then the worker is joined. False
    // (and nothing started) while another job exists.
    bool StartJob(std::function<void()> work, std::function<void()> finishOnUi);
    // Worker side: queue `fn` for the UI thread, after what was queued before.
    void PostToUi(std::function<void()> fn);
    // Worker side: runs `fn` on the UI thread after what was queued before
    // and waits for it (a modal dialog, say). False, and `fn` not run, once
    // the window is closing.
    bool CallOnUi(std::function<void()> fn);
    // Worker side: a message box owned by this window; returns when it is
    // dismissed. Skipped once the window is closing, ended when it closes.
    void MessageFromWorker(const QString& text, const QString& detail);
    // Worker side: sleeps `ms`, cut short when the window is closing.
    void Pause(int ms);
    // Worker side: opens the port with the chosen settings, or shows
    // "Failed to open COM-Port!" (waiting for OK) and returns false.
    bool OpenMeterPort();
    // Worker side: "COM3 (/dev/ttyUSB2): <why>" for the box's detailed text.
    QString FailureDetail(int result);
    void EndJob(const std::function<void()>& finishOnUi);
    // UI side: exec() of a dialog this window owns, remembered so that a
    // close can end it first.
    int RunModal(QDialog& dialog);
    // Buttons off, `worker` on the job thread, buttons back when it ends.
    void StartOneShot(int (*worker)(CQuorvanMasterDlg*));
    // Worker side: the parameter dialog on the UI thread. True with
    // *toWrite filled after "OK"; false after "Cancel" or a close.
    bool AskParameters(const Settings& read, Settings* toWrite);

    void ShowMessage(const QString& text, const QString& detail);
    void ShowReading(const ReadoutFrame& frame);
    void OnMeasureEnded();
    void ShowEnergyCleared();
    QPushButton* Button(int id) const;

    CIanalogdisplayx* m_voltage;
    CIanalogdisplayx* m_current;
    CIanalogdisplayx* m_power;
    CIanalogdisplayx* m_energy;

    // Port settings: written on the UI thread only while no job runs, read
    // by the worker.
    uint8_t m_byPort = 1;
    uint16_t m_wBaudRate = 9600;
    // Set by the UI thread to start, cleared to ask for a stop; the worker
    // reads it before each poll.
    std::atomic<int> m_nMeasuring{0};
    CModBusRtu m_meter;  // used by the worker only while a job runs
    JobTiming m_timing;

    // UI thread only.
    std::thread m_worker;
    bool m_jobRunning = false;
    bool m_closePending = false;
    int m_closeResult = 0;
    QPointer<QDialog> m_openDialog;  // set by RunModal while it runs

    // Worker wake-ups: a dismissed box, a close, the destructor.
    std::mutex m_jobMutex;
    std::condition_variable m_jobWake;
    bool m_closing = false;    // guarded by m_jobMutex
    bool m_abandoned = false;  // guarded by m_jobMutex; the UI thread is gone
};
