// The main window (template 102): four readouts, six command buttons, the
// chosen port in the title, and the meter jobs behind the buttons.
//
// A job is a short sequence run by the UI thread: worker steps (CJobRunner)
// compute a value each and hand it back; the UI thread then shows the box or
// the dialog that value calls for and starts the next step, or closes the
// port (one more step) and gives the buttons back. Nothing on a worker
// touches a widget or waits for the UI thread. Orders a person sees: the port
// stays open while the parameter dialog is up, a box comes before the port
// closes, the buttons come back after the box.
//
// Stopping: "Exit Measure" only clears the measuring flag, so the stop lands
// after the poll and the pause under way. Closing the window (Cancel,
// Escape, title bar) while a job runs ends the dialog or box the window has
// open, raises the closing token (cutting the loop's pauses short; an
// exchange under way, the calibrate pause included, is finished), skips the
// boxes still due, closes the port and then the window. Destroying the window
// does the same without waiting for the UI thread.
//
// What the panel measured is kept too: every good reading and failed poll
// goes into the trend's history (the last hour), and, while recording, into
// a CSV file (CCsvRecorder, on its own thread). A right-click on the display
// area, or Ctrl+T, opens the one menu the window has (CDisplayMenu): "Show
// Trend", "Record to File..." / "Stop Recording", "Meter Address..." and
// "Find Meters...".
//
// Several meters on one line: every command goes to the meter chosen with
// "Meter Address..." or picked in "Find Meters..." (CDlgFindMeters, the scan
// in CMeterScan), by its own address, or to the general address 0xF8 (the
// default) that a meter alone answers. A scan is a job that leaves the
// buttons as they are: its dialog is modal, and no command starts while it
// holds the port. An address written by Set Parameters to the meter talked
// to by its own address is followed.
//
// Controls are found by template id: Control(id), or objectName "id<id>"
// (DialogControls.h).
#pragma once

#include "CCsvRecorder.h"
#include "CJobRunner.h"
#include "CMeterPort.h"
#include "CMeterScan.h"
#include "CStopToken.h"
#include "CTrendHistory.h"
#include "CTrendWindow.h"
#include "JobTiming.h"
#include "MeterJobs.h"
#include "ReadoutDecode.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

class CIanalogdisplayx;
class QMenu;
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
    // The meter's own address the commands go to; 0: the general address.
    uint8_t Unit() const { return m_unit; }
    // A job is under way: from its button until the buttons come back.
    bool JobRunning() const { return m_jobRunning; }
    // Only while no job runs.
    void SetTiming(const JobTiming& timing) { m_timing = timing; }
    CModBusRtu& Meter() { return m_port.Meter(); }

    // Button handlers.
    void OnSetComPort();
    void OnStartMeasure();
    void OnClearEnergy();
    void OnSetParameters();
    // Asks for the password first; starts the job only after the right one.
    void OnCalibrate();

    // Sets buttons 1003, 1002, 3, 4, 6, 2, in that order.
    void EnableCommandButtons(bool enable);

    // The display area's menu at `globalPos` (objectName "displayMenu");
    // it deletes itself when closed.
    QMenu* ShowDisplayMenu(const QPoint& globalPos);
    void OnShowTrend();
    // Asks for a file, then records to it.
    void OnRecordToFile();
    void OnStopRecording();
    // The address dialog; the choice holds until changed.
    void OnMeterAddress();
    // The scan and its dialog; the meter picked becomes the panel's.
    void OnFindMeters();
    // Made at the first "Show Trend"; nullptr before.
    CTrendWindow* TrendWindow() const { return m_trend; }
    const CTrendHistory& History() const { return m_history; }
    const CCsvRecorder& Recorder() const { return m_recorder; }
    // "Recording to /path/file.csv: 12 lines", or "Not recording".
    QString RecordingText() const;
    // "Meter at address 5 on COM3": whom the commands go to.
    QString MeterText() const;

    // Where "Record to File..." proposes to write: the home folder, a name
    // with the date and time, e.g. quorvan-2026-12-08_101700.csv.
    static QString DefaultRecordingPath();

    // Worker steps. The measurement opens the port and polls until the
    // measuring flag clears or three polls in a row fail; the one-shot jobs
    // open the port and run their exchange. Each leaves the port open.
    static MeterOutcome MeasureWorker(CQuorvanMasterDlg* dialog);
    static ParametersRead SetParametersWorker(CQuorvanMasterDlg* dialog);
    static MeterOutcome ClearEnergyWorker(CQuorvanMasterDlg* dialog);
    static MeterOutcome CalibrateWorker(CQuorvanMasterDlg* dialog);

protected:
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // --- The job sequence, UI thread ---
    // Buttons off (except "Exit Measure" for a measurement) unless
    // `keepButtons`, the port and the meter's address chosen for this job.
    // False while another job is under way.
    bool BeginJob(bool keepButtons = false);
    // Runs a worker step; `then` gets its value on the UI thread.
    template <typename T>
    void Step(T (*worker)(CQuorvanMasterDlg*), void (CQuorvanMasterDlg::*then)(T));
    // The outcome box of `job` unless the window is closing. False if the
    // window was destroyed while the box was up: touch nothing then.
    bool Report(MeterJob job, const MeterOutcome& outcome);
    // Closes the port on the worker, then runs `giveBack` and ends the job.
    void FinishJob(std::function<void()> giveBack);
    void FinishOneShot();
    // The port is closed: the job is over (and the window closes if that
    // was asked for meanwhile).
    void EndJob();

    // A poll as the worker hands it over: what the readouts show, the trend
    // and the recording keep.
    struct Polled {
        Measurement reading;
        int64_t unixMs;    // when it was taken
        int64_t steadyMs;  // the same moment on the steady clock
    };
    void OnPolled(const Polled& polled);
    void OnPollFailed(int64_t steadyMs);
    void OnRecordingFailed(const QString& path, const QString& reason);
    // The meter and the recording on the readouts' tooltips and the trend's
    // status line.
    void ShowStatus();
    void SetUnit(uint8_t unit);
    void RefreshTrend();

    void OnMeasureEnded(MeterOutcome outcome);
    void OnParametersRead(ParametersRead read);
    void OnParametersWritten(MeterOutcome outcome, uint16_t address);
    void OnEnergyCleared(MeterOutcome outcome);
    void OnCalibrated(MeterOutcome outcome);

    // exec() of a dialog of this window, remembered so that a close can end
    // it first. The dialog is this window's child, so it goes with it: empty
    // when the window was destroyed meanwhile, the dialog's result otherwise.
    std::optional<int> RunModal(QDialog* dialog);
    // A plain box owned by this window; false if the window was destroyed
    // while it was up.
    bool ShowMessage(const QString& text, const QString& detail,
                     QMessageBox::Icon icon = QMessageBox::NoIcon);
    void ShowReading(const ReadoutFrame& frame);
    void ShowEnergyCleared();
    QPushButton* Button(int id) const;

    CIanalogdisplayx* m_voltage;
    CIanalogdisplayx* m_current;
    CIanalogdisplayx* m_power;
    CIanalogdisplayx* m_energy;

    // Port settings and the meter's address: written on the UI thread only
    // while no job runs.
    uint8_t m_byPort = 1;
    uint16_t m_wBaudRate = 9600;
    bool m_portChosen = false;  // the port dialog was confirmed once
    uint8_t m_unit = 0;         // 0: the general address
    // Set by the UI thread to start, cleared to ask for a stop; the worker
    // reads it before each poll.
    std::atomic<int> m_nMeasuring{0};
    JobTiming m_timing;

    // Used by the worker steps only, one at a time.
    CMeterPort m_port;
    // Raised when the window closes during a job: cuts the loop's pauses.
    CStopToken m_closing;

    // UI thread only.
    bool m_jobRunning = false;
    bool m_closePending = false;
    int m_closeResult = 0;
    QPointer<QDialog> m_openDialog;  // set by RunModal while it runs

    // What was measured; UI thread only, but for the recorder's own thread.
    CTrendHistory m_history;
    CCsvRecorder m_recorder;
    QPointer<CTrendWindow> m_trend;

    // Find Meters' scan, on m_port; destroyed (its worker joined) before it.
    CMeterScan m_scan{m_port};
    // Last member: destroyed (and its worker joined) first.
    CJobRunner m_jobs;
};
