#include "CQuorvanMasterDlg.h"

#include "CComSetDlg.h"
#include "CDisplayMenu.h"
#include "CDlgFindMeters.h"
#include "CDlgMeterAddress.h"
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CIanalogdisplayx.h"
#include "CQuorvanMasterApp.h"
#include "CTrendWindow.h"
#include "DialogControls.h"
#include "DialogUnits.h"
#include "MessageBox.h"
#include "MeterFormat.h"
#include "PollLoop.h"
#include "SaveDialog.h"

#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>

#include <chrono>

namespace {

const char kTitle[] = "COM. Instruments - Brisklane";
const char kStartText[] = "Start Measure";
const char kExitText[] = "Exit Measure";

// "1 line", "12 lines".
QString Lines(uint64_t count)
{
    return count == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(count);
}

}  // namespace

// The icon is compiled into this static library, whose resources the
// linker would drop unless registered by hand.
static void InitIconResource()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(console);
        return true;
    }();
    (void)done;
}

CQuorvanMasterDlg::CQuorvanMasterDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_recorder([this](const std::string& path, const std::string& reason) {
          // The recorder's thread, under its lock: hand the news over only.
          QMetaObject::invokeMethod(
              this,
              [this, p = QString::fromStdString(path), r = QString::fromStdString(reason)] {
                  OnRecordingFailed(p, r);
              },
              Qt::QueuedConnection);
      })
{
    const DialogUnits du(QStringLiteral("Times New Roman"), 12);
    setFont(du.Font());
    setFixedSize(du.Size(312, 147));
    InitIconResource();
    setWindowIcon(QIcon(QStringLiteral(":/quorvan/Quorvan-Master.png")));

    auto button = [&](int id, int x, int y, int w, int h) {
        auto* b = Named(new QPushButton(this), id);
        du.Place(b, x, y, w, h);
        return b;
    };
    auto label = [&](int id, int x, int y, int w, int h) {
        auto* l = Named(new QLabel(this), id);
        du.Place(l, x, y, w, h);
        return l;
    };
    auto readout = [&](int id, int x, int y, int w, int h) {
        auto* r = Named(new CIanalogdisplayx(this), id);
        du.Place(r, x, y, w, h);
        return r;
    };

    // Created in template order, which is also the tab order: Cancel, the
    // four readouts, then the command buttons bottom-up.
    button(IDC_CANCEL, 246, 111, 50, 14)->setText(QStringLiteral("Cancel"));
    auto* operate = Named(new QGroupBox(QStringLiteral("Operate Area"), this), IDC_OPERATE_GROUP);
    du.Place(operate, 237, 3, 68, 130);
    m_voltage = readout(IDC_VOLTAGE, 13, 15, 100, 32);
    m_current = readout(IDC_CURRENT, 121, 15, 104, 32);
    m_power = readout(IDC_POWER, 13, 87, 100, 32);
    m_energy = readout(IDC_ENERGY, 121, 87, 104, 32);
    label(IDC_VOLTAGE_LABEL, 54, 48, 57, 8)->setText(QStringLiteral("Voltage"));
    label(IDC_CURRENT_LABEL, 162, 47, 60, 8)->setText(QStringLiteral("Current"));
    label(IDC_POWER_LABEL, 53, 120, 56, 8)->setText(QStringLiteral("Power"));
    label(IDC_ENERGY_LABEL, 162, 120, 59, 8)->setText(QStringLiteral("Energy"));
    auto* display = Named(new QGroupBox(QStringLiteral("Display Area"), this), IDC_DISPLAY_GROUP);
    du.Place(display, 7, 3, 224, 131);
    button(IDC_CLEAR_ENERGY, 246, 52, 50, 14)->setText(QStringLiteral("Clear Energy"));
    button(IDC_SET_PARAMETERS, 246, 71, 50, 14)->setText(QStringLiteral("Set Parameters"));
    button(IDC_CALIBRATE, 246, 91, 50, 14)->setText(QStringLiteral("Calibrate"));
    button(IDC_START_MEASURE, 246, 33, 50, 14)->setText(QString::fromLatin1(kStartText));
    button(IDC_SET_COM_PORT, 246, 14, 50, 14)->setText(QStringLiteral("Set COM Port"));
    // Group boxes are frames behind the controls they surround.
    display->lower();
    operate->lower();
    display->setAttribute(Qt::WA_TransparentForMouseEvents);
    operate->setAttribute(Qt::WA_TransparentForMouseEvents);

    // The readouts' stored properties.
    m_voltage->SetUnitsText(QStringLiteral("V"));
    m_voltage->SetPrecision(2);
    m_current->SetUnitsText(QStringLiteral("A"));
    m_current->SetPrecision(2);
    m_power->SetUnitsText(QStringLiteral("W"));
    m_energy->SetUnitsText(QStringLiteral("Wh"));
    m_energy->SetPrecision(0);

    setWindowTitle(QString::fromLatin1(kTitle));
    for (int id : {IDC_START_MEASURE, IDC_CLEAR_ENERGY, IDC_SET_PARAMETERS, IDC_CALIBRATE})
        Button(id)->setEnabled(false);

    connect(Button(IDC_CANCEL), &QPushButton::clicked, this, &QDialog::reject);
    connect(Button(IDC_SET_COM_PORT), &QPushButton::clicked, this,
            &CQuorvanMasterDlg::OnSetComPort);
    connect(Button(IDC_START_MEASURE), &QPushButton::clicked, this,
            &CQuorvanMasterDlg::OnStartMeasure);
    connect(Button(IDC_CLEAR_ENERGY), &QPushButton::clicked, this,
            &CQuorvanMasterDlg::OnClearEnergy);
    connect(Button(IDC_SET_PARAMETERS), &QPushButton::clicked, this,
            &CQuorvanMasterDlg::OnSetParameters);
    connect(Button(IDC_CALIBRATE), &QPushButton::clicked, this, &CQuorvanMasterDlg::OnCalibrate);
    connect(&m_scan, &CMeterScan::Finished, this, &CQuorvanMasterDlg::EndJob);
    // A line on the disk, from the recorder's thread: the count follows what
    // was written, not what was queued.
    m_recorder.SetWrittenCallback([this] {
        QMetaObject::invokeMethod(
            this, [this] { ShowStatus(); }, Qt::QueuedConnection);
    });
    auto* menuKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(menuKey, &QShortcut::activated, this,
            [this, display] { ShowDisplayMenu(display->mapToGlobal(display->rect().center())); });

    ShowStatus();
    Button(IDC_CANCEL)->setFocus();
}

CQuorvanMasterDlg::~CQuorvanMasterDlg()
{
    // Normally no job is left (done() waits for it). If a step still runs,
    // end it without the UI thread: m_jobs, the last member, joins it.
    m_nMeasuring = 0;
    m_closing.Raise();
    m_recorder.Stop();      // no failure report comes after this
    delete m_trend.data();  // it draws from m_history, which goes first
}

QWidget* CQuorvanMasterDlg::Control(int id) const
{
    return FindControl(this, id);
}

CIanalogdisplayx* CQuorvanMasterDlg::Readout(int id) const
{
    return qobject_cast<CIanalogdisplayx*>(Control(id));
}

QPushButton* CQuorvanMasterDlg::Button(int id) const
{
    return qobject_cast<QPushButton*>(Control(id));
}

void CQuorvanMasterDlg::EnableCommandButtons(bool enable)
{
    for (int id : {IDC_SET_COM_PORT, IDC_START_MEASURE, IDC_CLEAR_ENERGY, IDC_SET_PARAMETERS,
                   IDC_CALIBRATE, IDC_CANCEL})
        Button(id)->setEnabled(enable);
}

void CQuorvanMasterDlg::OnSetComPort()
{
    if (m_jobRunning)
        return;  // never under a job (a scan leaves this button as it was)
    auto* dlg = new CComSetDlg(this);
    dlg->m_byPort = m_byPort;
    dlg->m_wBaudRate = m_wBaudRate;
    const std::optional<int> result = RunModal(dlg);
    if (!result)
        return;
    const uint8_t port = dlg->m_byPort;
    const uint16_t baud = dlg->m_wBaudRate;
    delete dlg;
    if (*result != QDialog::Accepted)
        return;
    m_byPort = port;
    m_wBaudRate = baud;
    m_portChosen = true;
    // Two spaces before "COM".
    setWindowTitle(QStringLiteral("%1  COM%2, %3, Quorvan")
                       .arg(QString::fromLatin1(kTitle))
                       .arg(m_byPort)
                       .arg(m_wBaudRate));
    m_voltage->SetPrecision(2);
    m_current->SetPrecision(2);
    for (int id : {IDC_START_MEASURE, IDC_CLEAR_ENERGY, IDC_SET_PARAMETERS, IDC_CALIBRATE})
        Button(id)->setEnabled(true);
    ShowStatus();
}

// --- The job sequence ---

bool CQuorvanMasterDlg::BeginJob(bool keepButtons)
{
    if (m_jobRunning)
        return false;
    m_jobRunning = true;
    m_closing.Reset();
    if (!keepButtons)
        EnableCommandButtons(false);
    m_port.Choose(PortChoice{m_byPort, {}}, m_wBaudRate);
    m_port.SetUnit(m_unit != 0 ? m_unit : CModBusRtu::kSlaveAddress);
    return true;
}

template <typename T>
void CQuorvanMasterDlg::Step(T (*worker)(CQuorvanMasterDlg*), void (CQuorvanMasterDlg::*then)(T))
{
    m_jobs.Run<T>([this, worker] { return worker(this); },
                  [this, then](T value) { (this->*then)(std::move(value)); });
}

bool CQuorvanMasterDlg::Report(MeterJob job, const MeterOutcome& outcome)
{
    if (m_closePending)
        return true;
    QString detail = outcome.Ok() ? QString() : QString::fromStdString(m_port.Describe(outcome));
    if (m_unit == 0 && AnswerGarbled(outcome))
        detail += QStringLiteral(
            "\nSeveral meters may be answering the general address 0xF8 at once. "
            "Find Meters... in the display area's menu (right-click it) lists the meters "
            "on the line: pick one to talk to it by its own address.");
    return ShowMessage(QString::fromLatin1(JobOutcomeText(job, outcome)), detail);
}

void CQuorvanMasterDlg::FinishJob(std::function<void()> giveBack)
{
    m_jobs.Run<int>(
        [this] {
            m_port.Close();
            return 0;
        },
        [this, giveBack](int) {
            giveBack();
            EndJob();
        });
}

void CQuorvanMasterDlg::EndJob()
{
    m_jobRunning = false;
    if (m_closePending) {
        m_closePending = false;
        QDialog::done(m_closeResult);
    }
}

void CQuorvanMasterDlg::FinishOneShot()
{
    FinishJob([this] { EnableCommandButtons(true); });
}

// --- Measurement ---

void CQuorvanMasterDlg::OnStartMeasure()
{
    if (m_nMeasuring != 0) {
        // Stop request: the worker sees it before its next poll; the button
        // is restored when the job ends.
        m_nMeasuring = 0;
        return;
    }
    // "Exit Measure" pressed again while the worker is still finishing:
    // ignored, so there is never a second job beside the first.
    if (!BeginJob())
        return;
    m_nMeasuring = 1;
    Button(IDC_START_MEASURE)->setText(QString::fromLatin1(kExitText));
    Button(IDC_START_MEASURE)->setEnabled(true);
    Step(&CQuorvanMasterDlg::MeasureWorker, &CQuorvanMasterDlg::OnMeasureEnded);
}

MeterOutcome CQuorvanMasterDlg::MeasureWorker(CQuorvanMasterDlg* dialog)
{
    const JobTiming& t = dialog->m_timing;
    PollCallbacks callbacks;
    callbacks.keepGoing = [dialog] { return dialog->m_nMeasuring != 0; };
    callbacks.onReading = [dialog](const MeterReading& reading, int64_t unixMs) {
        // One call per reading: its property changes land between two
        // paints, so each readout repaints once.
        const Polled polled{DecodeReading(reading), unixMs, SteadyMillisNow()};
        dialog->m_jobs.Post([dialog, polled] { dialog->OnPolled(polled); });
    };
    callbacks.onFailure = [dialog](const MeterOutcome&) {
        const int64_t at = SteadyMillisNow();
        dialog->m_jobs.Post([dialog, at] { dialog->OnPollFailed(at); });
    };
    return RunPollLoop(dialog->m_port, dialog->m_closing,
                       PollTiming{t.pollPauseMs, t.reconnectPauseMs}, callbacks);
}

void CQuorvanMasterDlg::OnMeasureEnded(MeterOutcome outcome)
{
    if (outcome.stage != MeterOutcome::kOpen && !outcome.Ok())
        OnPollFailed(SteadyMillisNow());  // the poll that ended it
    if (!outcome.Ok() && !Report(MeterJob::kMeasure, outcome))
        return;  // the window went while its box was up
    FinishJob([this] {
        EnableCommandButtons(true);
        m_nMeasuring = 0;
        Button(IDC_START_MEASURE)->setText(QString::fromLatin1(kStartText));
    });
}

void CQuorvanMasterDlg::OnPolled(const Polled& polled)
{
    ShowReading(DecodeForReadouts(polled.reading));
    m_history.AddReading(polled.reading, polled.unixMs, polled.steadyMs);
    m_recorder.Append(polled.reading, polled.unixMs);  // shown once written
    RefreshTrend();
}

void CQuorvanMasterDlg::OnPollFailed(int64_t steadyMs)
{
    m_history.AddFailure(steadyMs);
    RefreshTrend();
}

void CQuorvanMasterDlg::RefreshTrend()
{
    if (m_trend)
        m_trend->Refresh();  // nothing while it is hidden
}

void CQuorvanMasterDlg::ShowReading(const ReadoutFrame& frame)
{
    m_voltage->SetValue(frame.voltage);
    m_current->SetValue(frame.current);
    m_power->SetPrecision(frame.powerPrecision);
    m_power->SetValue(frame.power);
    m_voltage->SetFontColor(frame.voltageColor);
    m_energy->SetPrecision(frame.energyPrecision);
    m_energy->SetUnitsText(QString::fromLatin1(frame.energyUnits));
    m_energy->SetValue(frame.energy);
}

// --- Set Parameters: read, the dialog with the port open, write ---

void CQuorvanMasterDlg::OnSetParameters()
{
    if (BeginJob())
        Step(&CQuorvanMasterDlg::SetParametersWorker, &CQuorvanMasterDlg::OnParametersRead);
}

ParametersRead CQuorvanMasterDlg::SetParametersWorker(CQuorvanMasterDlg* dialog)
{
    return OpenAndReadParameters(dialog->m_port);
}

void CQuorvanMasterDlg::OnParametersRead(ParametersRead read)
{
    if (!read.outcome.Ok() || m_closePending) {
        if (Report(MeterJob::kReadParameters, read.outcome))
            FinishOneShot();
        return;
    }
    auto* dlg = new CDlgParameterSet(read.settings, this);
    const std::optional<int> result = RunModal(dlg);
    if (!result)
        return;
    const Settings toWrite = dlg->SettingsToWrite();
    delete dlg;
    // A dialog ended by a close counts as Cancel: nothing is written.
    if (*result != QDialog::Accepted || m_closePending) {
        FinishOneShot();
        return;
    }
    m_jobs.Run<MeterOutcome>(
        [this, toWrite] { return m_port.WriteParameters(toWrite); },
        [this, address = toWrite.address](MeterOutcome o) { OnParametersWritten(o, address); });
}

void CQuorvanMasterDlg::OnParametersWritten(MeterOutcome outcome, uint16_t address)
{
    // A meter talked to by its own address answers at the new one from now on.
    if (outcome.Ok() && m_unit != 0)
        SetUnit(static_cast<uint8_t>(address));
    if (Report(MeterJob::kWriteParameters, outcome))
        FinishOneShot();
}

// --- Clear Energy ---

void CQuorvanMasterDlg::OnClearEnergy()
{
    if (BeginJob())
        Step(&CQuorvanMasterDlg::ClearEnergyWorker, &CQuorvanMasterDlg::OnEnergyCleared);
}

MeterOutcome CQuorvanMasterDlg::ClearEnergyWorker(CQuorvanMasterDlg* dialog)
{
    return OpenAndClearEnergy(dialog->m_port);
}

void CQuorvanMasterDlg::OnEnergyCleared(MeterOutcome outcome)
{
    if (!Report(MeterJob::kClearEnergy, outcome))
        return;
    // After the box is dismissed; the meter was cleared even if the window
    // is closing.
    if (outcome.Ok())
        ShowEnergyCleared();
    FinishOneShot();
}

void CQuorvanMasterDlg::ShowEnergyCleared()
{
    // The precision stays as the last reading left it.
    m_energy->SetUnitsText(QStringLiteral("Wh"));
    m_energy->SetValue(0);
}

// --- Calibrate ---

void CQuorvanMasterDlg::OnCalibrate()
{
    if (m_jobRunning)
        return;
    auto* password = new CDlgPassword(this);
    const std::optional<int> result = RunModal(password);
    if (!result)
        return;
    delete password;
    if (*result == QDialog::Accepted && BeginJob())
        Step(&CQuorvanMasterDlg::CalibrateWorker, &CQuorvanMasterDlg::OnCalibrated);
}

MeterOutcome CQuorvanMasterDlg::CalibrateWorker(CQuorvanMasterDlg* dialog)
{
    // Not cut short by a close: the pause sits inside the exchange.
    dialog->m_port.Meter().SetCalibratePauseMs(
        static_cast<unsigned>(dialog->m_timing.calibratePauseMs));
    return OpenAndCalibrate(dialog->m_port);
}

void CQuorvanMasterDlg::OnCalibrated(MeterOutcome outcome)
{
    if (Report(MeterJob::kCalibrate, outcome))
        FinishOneShot();
}

// --- The display area's menu: trend, recording, the meter ---

void CQuorvanMasterDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // The readouts and labels pass the right-click on to the window.
    if (Control(IDC_DISPLAY_GROUP)->geometry().contains(event->pos()))
        ShowDisplayMenu(event->globalPos());
    else
        QDialog::contextMenuEvent(event);
}

QMenu* CQuorvanMasterDlg::ShowDisplayMenu(const QPoint& globalPos)
{
    auto* menu = new CDisplayMenu({m_recorder.Recording(), m_portChosen, m_jobRunning}, this);
    connect(menu, &CDisplayMenu::ShowTrend, this, &CQuorvanMasterDlg::OnShowTrend);
    connect(menu, &CDisplayMenu::RecordToFile, this, &CQuorvanMasterDlg::OnRecordToFile);
    connect(menu, &CDisplayMenu::StopRecording, this, &CQuorvanMasterDlg::OnStopRecording);
    connect(menu, &CDisplayMenu::ChooseMeterAddress, this, &CQuorvanMasterDlg::OnMeterAddress);
    connect(menu, &CDisplayMenu::FindMeters, this, &CQuorvanMasterDlg::OnFindMeters);
    menu->popup(globalPos);  // no nested loop: the entries call back
    return menu;
}

void CQuorvanMasterDlg::OnShowTrend()
{
    if (!m_trend)
        m_trend = new CTrendWindow(m_history, this);
    ShowStatus();
    m_trend->ShowBesideParent();
}

void CQuorvanMasterDlg::OnMeterAddress()
{
    if (m_jobRunning)
        return;
    auto* dlg = new CDlgMeterAddress(m_unit, this);
    const std::optional<int> result = RunModal(dlg);
    if (!result)
        return;
    const uint8_t unit = dlg->Unit();
    delete dlg;
    if (*result == QDialog::Accepted)
        SetUnit(unit);
}

void CQuorvanMasterDlg::OnFindMeters()
{
    if (!m_portChosen || !BeginJob(true))
        return;
    auto* finder = new CDlgFindMeters(m_scan, this);
    m_scan.Start(static_cast<uint16_t>(m_timing.scanAnswerLimitMs));
    // The dialog closes only once the scan has ended and closed the port.
    const std::optional<int> result = RunModal(finder);
    if (!result)
        return;
    const uint8_t picked = finder->PickedAddress();
    delete finder;
    if (*result == QDialog::Accepted && picked != 0)
        SetUnit(picked);
}

void CQuorvanMasterDlg::SetUnit(uint8_t unit)
{
    m_unit = unit;
    ShowStatus();
}

QString CQuorvanMasterDlg::DefaultRecordingPath()
{
    return StampedHomePath(QStringLiteral("quorvan"), QStringLiteral("csv"));
}

void CQuorvanMasterDlg::OnRecordToFile()
{
    QFileDialog* dlg =
        MakeSaveDialog(this, QStringLiteral("Record to File"), QStringLiteral("quorvan"),
                       QStringLiteral("csv"), QStringLiteral("CSV files (*.csv);;All files (*)"));
    // A file chosen again is appended to, not replaced: no "replace it?".
    dlg->setOption(QFileDialog::DontConfirmOverwrite);
    const std::optional<int> result = RunModal(dlg);
    if (!result)
        return;
    const QString path = dlg->selectedFiles().value(0);
    delete dlg;
    if (*result != QDialog::Accepted || path.isEmpty())
        return;
    std::string error;
    if (!m_recorder.Start(path.toStdString(), &error)) {
        ShowMessage(
            QStringLiteral("Cannot record to %1: %2").arg(path, QString::fromStdString(error)),
            QString(), QMessageBox::Warning);
        return;
    }
    ShowStatus();
}

void CQuorvanMasterDlg::OnStopRecording()
{
    m_recorder.Stop();
    ShowStatus();
}

void CQuorvanMasterDlg::OnRecordingFailed(const QString& path, const QString& reason)
{
    ShowStatus();
    if (m_closePending || !isVisible())
        return;
    ShowMessage(QStringLiteral("Recording to %1 stopped after %2: %3. The measurement goes on.")
                    .arg(path, Lines(m_recorder.LinesWritten()), reason),
                QString(), QMessageBox::Warning);
}

QString CQuorvanMasterDlg::RecordingText() const
{
    if (!m_recorder.Recording())
        return QStringLiteral("Not recording");
    return QStringLiteral("Recording to %1: %2")
        .arg(QString::fromStdString(m_recorder.Path()), Lines(m_recorder.LinesWritten()));
}

QString CQuorvanMasterDlg::MeterText() const
{
    const QString meter = CDlgMeterAddress::Describe(m_unit);
    return m_portChosen ? QStringLiteral("%1 on COM%2").arg(meter).arg(m_byPort) : meter;
}

void CQuorvanMasterDlg::ShowStatus()
{
    const QString meter = MeterText();
    const QString tip =
        m_recorder.Recording() ? QStringLiteral("%1\n%2").arg(meter, RecordingText()) : meter;
    for (CIanalogdisplayx* readout : {m_voltage, m_current, m_power, m_energy})
        readout->setToolTip(tip);
    if (m_trend) {
        m_trend->SetMeterText(meter);
        m_trend->SetStatusText(RecordingText());
    }
}

// --- Dialogs and boxes ---

std::optional<int> CQuorvanMasterDlg::RunModal(QDialog* dialog)
{
    const QPointer<CQuorvanMasterDlg> self(this);
    // A box may come up over another (a recording failure over a job's box).
    const QPointer<QDialog> outer = m_openDialog;
    m_openDialog = dialog;
    const int result = dialog->exec();
    if (self.isNull())
        return std::nullopt;
    m_openDialog = outer;
    return result;
}

bool CQuorvanMasterDlg::ShowMessage(const QString& text, const QString& detail,
                                    QMessageBox::Icon icon)
{
    QMessageBox* box = MakeMessageBox(CQuorvanMasterApp::ProgramName(), icon, text, detail, this)
                           .release();  // this window's child from here on
    const bool alive = RunModal(box).has_value();
    if (alive)
        delete box;
    return alive;
}

void CQuorvanMasterDlg::done(int result)
{
    // The window never closes under a dialog of its own: "Cancel" for it
    // (a parameter dialog so ended writes nothing).
    if (m_openDialog)
        m_openDialog->reject();
    if (m_trend)
        m_trend->close();  // it closes with the window
    m_scan.Stop();
    if (m_jobRunning) {
        // Never leave a job with the port or the readouts: ask it to stop
        // (cutting its pauses short) and close when it has ended.
        m_closePending = true;
        m_closeResult = result;
        m_nMeasuring = 0;
        m_closing.Raise();
        return;
    }
    QDialog::done(result);
}

void CQuorvanMasterDlg::keyPressEvent(QKeyEvent* event)
{
    // Enter on a push button presses it; anywhere else it is the dialog's
    // standard OK, which closes the window like Cancel.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier &&
        qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
