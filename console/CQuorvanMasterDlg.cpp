#include "CQuorvanMasterDlg.h"

#include "CComSetDlg.h"
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CIanalogdisplayx.h"
#include "CQuorvanMasterApp.h"
#include "DialogControls.h"
#include "DialogUnits.h"
#include "PortMap.h"

#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <memory>
#include <optional>

namespace {

const char kTitle[] = "COM. Instruments - Brisklane";
const char kStartText[] = "Start Measure";
const char kExitText[] = "Exit Measure";
const char kOpenFailed[] = "Failed to open COM-Port!";

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
                          Qt::WindowCloseButtonHint)
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

    Button(IDC_CANCEL)->setFocus();
}

CQuorvanMasterDlg::~CQuorvanMasterDlg()
{
    // Normally no worker is left (done() waits for it). If one is, stop it
    // without waiting on this thread: boxes and pauses return at once.
    m_nMeasuring = 0;
    {
        std::lock_guard<std::mutex> lock(m_jobMutex);
        m_closing = true;
        m_abandoned = true;
    }
    m_jobWake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    // Destroyed from inside a dialog this window opened (only tests do
    // that): the dialog lives on its opener's stack, so it must leave the
    // child list rather than be deleted with it. Its exec() returns once
    // this destructor has; RunModal and CallOnUi then touch nothing of ours.
    if (m_openDialog) {
        m_openDialog->reject();
        m_openDialog->setParent(nullptr);
    }
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
    CComSetDlg dlg(this);
    dlg.m_byPort = m_byPort;
    dlg.m_wBaudRate = m_wBaudRate;
    if (RunModal(dlg) != QDialog::Accepted)
        return;
    m_byPort = dlg.m_byPort;
    m_wBaudRate = dlg.m_wBaudRate;
    // Two spaces before "COM".
    setWindowTitle(QStringLiteral("%1  COM%2, %3, Quorvan")
                       .arg(QString::fromLatin1(kTitle))
                       .arg(m_byPort)
                       .arg(m_wBaudRate));
    m_voltage->SetPrecision(2);
    m_current->SetPrecision(2);
    for (int id : {IDC_START_MEASURE, IDC_CLEAR_ENERGY, IDC_SET_PARAMETERS, IDC_CALIBRATE})
        Button(id)->setEnabled(true);
}

void CQuorvanMasterDlg::OnStartMeasure()
{
    if (m_nMeasuring != 0) {
        // Stop request: the worker sees it before its next poll and restores
        // the button itself.
        m_nMeasuring = 0;
        return;
    }
    // "Exit Measure" pressed again while the worker is still finishing:
    // ignored, so there is never a second worker beside the first.
    if (m_jobRunning)
        return;
    m_nMeasuring = 1;
    EnableCommandButtons(false);
    Button(IDC_START_MEASURE)->setText(QString::fromLatin1(kExitText));
    Button(IDC_START_MEASURE)->setEnabled(true);
    StartJob([this] { MeasureWorker(this); }, [this] { OnMeasureEnded(); });
}

void CQuorvanMasterDlg::OnMeasureEnded()
{
    EnableCommandButtons(true);
    m_nMeasuring = 0;
    Button(IDC_START_MEASURE)->setText(QString::fromLatin1(kStartText));
}

int CQuorvanMasterDlg::MeasureWorker(CQuorvanMasterDlg* dialog)
{
    CModBusRtu& meter = dialog->m_meter;
    if (dialog->OpenMeterPort()) {
        uint8_t failures = 0;
        MeterReading reading{};
        while (dialog->m_nMeasuring != 0) {
            const int result = meter.ReadMeasurements(&reading);
            if (result != kMeterOk) {
                if (++failures >= kMaxFailedPolls) {
                    dialog->MessageFromWorker(QStringLiteral("Failed to read!"),
                                              dialog->FailureDetail(result));
                    break;
                }
                meter.Serial().Close();
                dialog->Pause(dialog->m_timing.reconnectPauseMs);
                // Not examined: a port that did not reopen fails the next
                // poll, which counts.
                meter.OpenPort(dialog->m_byPort, dialog->m_wBaudRate);
            } else {
                failures = 0;
                const ReadoutFrame frame = DecodeForReadouts(reading);
                // One closure per reading: its property changes land between
                // two paints, so each readout repaints once.
                dialog->PostToUi([dialog, frame] { dialog->ShowReading(frame); });
            }
            dialog->Pause(dialog->m_timing.pollPauseMs);
        }
    }
    meter.Serial().Close();
    return 0;
}

bool CQuorvanMasterDlg::OpenMeterPort()
{
    if (m_meter.OpenPort(m_byPort, m_wBaudRate) != 0)
        return true;
    MessageFromWorker(QString::fromLatin1(kOpenFailed), FailureDetail(kMeterTransport));
    return false;
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

void CQuorvanMasterDlg::ShowMessage(const QString& text, const QString& detail)
{
    QMessageBox box(QMessageBox::NoIcon, CQuorvanMasterApp::ProgramName(), text, QMessageBox::Ok,
                    this);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    RunModal(box);
}

QString CQuorvanMasterDlg::FailureDetail(int result)
{
    QString why;
    if (result == kMeterTransport) {
        why = QString::fromStdString(m_meter.Serial().LastError());
    } else {
        char text[64];
        why = QStringLiteral("%1 (%2 bytes received)")
                  .arg(QString::fromLatin1(MeterResultText(result, text, sizeof text)))
                  .arg(m_meter.LastReceived());
    }
    return QString::fromStdString(ComPortLabel(m_byPort)) + QStringLiteral(": ") + why;
}

// --- One-shot jobs ---

void CQuorvanMasterDlg::StartOneShot(int (*worker)(CQuorvanMasterDlg*))
{
    if (m_jobRunning)
        return;
    EnableCommandButtons(false);
    StartJob([this, worker] { worker(this); }, [this] { EnableCommandButtons(true); });
}

void CQuorvanMasterDlg::OnSetParameters()
{
    StartOneShot(&CQuorvanMasterDlg::SetParametersWorker);
}

void CQuorvanMasterDlg::OnClearEnergy()
{
    StartOneShot(&CQuorvanMasterDlg::ClearEnergyWorker);
}

void CQuorvanMasterDlg::OnCalibrate()
{
    if (m_jobRunning)
        return;
    CDlgPassword password(this);
    if (RunModal(password) != QDialog::Accepted)
        return;
    StartOneShot(&CQuorvanMasterDlg::CalibrateWorker);
}

int CQuorvanMasterDlg::SetParametersWorker(CQuorvanMasterDlg* dialog)
{
    CModBusRtu& meter = dialog->m_meter;
    if (dialog->OpenMeterPort()) {
        MeterParameters block{};
        const int read = meter.ReadParameters(&block);
        Settings toWrite{};
        if (read != kMeterOk) {
            dialog->MessageFromWorker(QStringLiteral("Failed to read parameters!"),
                                      dialog->FailureDetail(read));
        } else if (dialog->AskParameters(DecodeParameters(block), &toWrite)) {
            // The port stayed open while the operator edited.
            const MeterParameters out = EncodeParameters(toWrite);
            const int written = meter.WriteParameters(&out);
            if (written == kMeterOk)
                dialog->MessageFromWorker(QStringLiteral("Set the parameters successfully!"), {});
            else
                dialog->MessageFromWorker(QStringLiteral("Failed to set the parameters!"),
                                          dialog->FailureDetail(written));
        }
    }
    meter.Serial().Close();
    return 0;
}

bool CQuorvanMasterDlg::AskParameters(const Settings& read, Settings* toWrite)
{
    // Shared, not on this stack: a destroyed window releases the worker
    // before the dialog's exec() has returned.
    auto answer = std::make_shared<std::optional<Settings>>();
    const bool ran = CallOnUi([this, read, answer] {
        CDlgParameterSet dlg(read, this);
        if (RunModal(dlg) == QDialog::Accepted)
            *answer = dlg.SettingsToWrite();
    });
    if (!ran || !answer->has_value())
        return false;
    *toWrite = **answer;
    return true;
}

int CQuorvanMasterDlg::ClearEnergyWorker(CQuorvanMasterDlg* dialog)
{
    CModBusRtu& meter = dialog->m_meter;
    if (dialog->OpenMeterPort()) {
        const int result = meter.ResetEnergy();
        if (result != kMeterOk) {
            dialog->MessageFromWorker(QStringLiteral("Failed to clear the energy!"),
                                      dialog->FailureDetail(result));
        } else {
            dialog->MessageFromWorker(QStringLiteral("Clear the energy successfully!"), {});
            dialog->PostToUi([dialog] { dialog->ShowEnergyCleared(); });
        }
    }
    meter.Serial().Close();
    return 0;
}

void CQuorvanMasterDlg::ShowEnergyCleared()
{
    // The precision stays as the last reading left it.
    m_energy->SetUnitsText(QStringLiteral("Wh"));
    m_energy->SetValue(0);
}

int CQuorvanMasterDlg::CalibrateWorker(CQuorvanMasterDlg* dialog)
{
    CModBusRtu& meter = dialog->m_meter;
    if (dialog->OpenMeterPort()) {
        // Not cut short by a close: the pause sits inside the exchange.
        meter.SetCalibratePauseMs(static_cast<unsigned>(dialog->m_timing.calibratePauseMs));
        const int result = meter.Calibrate();
        if (result == kMeterOk)
            dialog->MessageFromWorker(QStringLiteral("The calibration is successful!"), {});
        else
            dialog->MessageFromWorker(QStringLiteral("The calibration failed!"),
                                      dialog->FailureDetail(result));
    }
    meter.Serial().Close();
    return 0;
}

// --- Job runner ---

bool CQuorvanMasterDlg::StartJob(std::function<void()> work, std::function<void()> finishOnUi)
{
    if (m_jobRunning)
        return false;
    m_jobRunning = true;
    {
        std::lock_guard<std::mutex> lock(m_jobMutex);
        m_closing = false;
    }
    m_worker = std::thread([this, work = std::move(work), finish = std::move(finishOnUi)] {
        work();
        PostToUi([this, finish] { EndJob(finish); });
    });
    return true;
}

void CQuorvanMasterDlg::EndJob(const std::function<void()>& finishOnUi)
{
    finishOnUi();
    // The worker's last act was posting this call; the join is immediate.
    m_worker.join();
    m_jobRunning = false;
    if (m_closePending) {
        m_closePending = false;
        QDialog::done(m_closeResult);
    }
}

void CQuorvanMasterDlg::PostToUi(std::function<void()> fn)
{
    // Queued calls to one receiver run in posting order; if the window is
    // destroyed first, Qt discards them.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

bool CQuorvanMasterDlg::CallOnUi(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(m_jobMutex);
        if (m_closing)
            return false;  // the operator is closing the window
    }
    auto done = std::make_shared<bool>(false);  // guarded by m_jobMutex
    auto ran = std::make_shared<bool>(false);   // written before done is set
    PostToUi([this, fn = std::move(fn), done, ran] {
        const QPointer<CQuorvanMasterDlg> self(this);
        if (!m_closePending) {
            fn();
            *ran = true;
        }
        if (!self)
            return;  // destroyed inside fn's dialog; the worker was released then
        std::lock_guard<std::mutex> lock(m_jobMutex);
        *done = true;
        m_jobWake.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_jobMutex);
    m_jobWake.wait(lock, [&] { return *done || m_abandoned; });
    return *done && *ran;
}

void CQuorvanMasterDlg::MessageFromWorker(const QString& text, const QString& detail)
{
    CallOnUi([this, text, detail] { ShowMessage(text, detail); });
}

void CQuorvanMasterDlg::Pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_jobMutex);
    m_jobWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_closing; });
}

int CQuorvanMasterDlg::RunModal(QDialog& dialog)
{
    const QPointer<CQuorvanMasterDlg> self(this);
    m_openDialog = &dialog;
    const int result = dialog.exec();
    if (self)
        m_openDialog = nullptr;
    return result;
}

void CQuorvanMasterDlg::done(int result)
{
    // The window never closes under a dialog of its own: "Cancel" for it
    // (a parameter dialog so ended writes nothing).
    if (m_openDialog)
        m_openDialog->reject();
    if (m_jobRunning) {
        // Never leave a worker with the port or the readouts: ask it to stop
        // (cutting its pauses short) and close when it has ended.
        m_closePending = true;
        m_closeResult = result;
        m_nMeasuring = 0;
        {
            std::lock_guard<std::mutex> lock(m_jobMutex);
            m_closing = true;
        }
        m_jobWake.notify_all();
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
