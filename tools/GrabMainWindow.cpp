// Saves the main window idle, measuring, with the port dialog open, with
// the parameter dialog (and one of its refusals) and with the password
// dialog, as PNGs for the docs and for a look by eye: grab_main_window DIR.
// Expects a meter at COM1 (scripts/screenshot starts the simulator there).
// Windows are grabbed without frames; a plain caption strip with the icon
// and the window title is drawn above each, so the title can be read.
#include "CComSetDlg.h"
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CIanalogdisplayx.h"
#include "CModalDriver.h"
#include "CQuorvanMasterDlg.h"
#include "GrabFrame.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

// Presses `trigger` and runs `act` on the first T that comes up modally,
// once it is on screen; `act` must close it. False if none came up, or
// not on screen.
template <typename T>
bool WhenModal(QPushButton* trigger, const std::function<void(T*)>& act)
{
    bool exposed = false;
    const auto driver = CModalDriver::Once<T>([&](T* w) {
        exposed = QTest::qWaitForWindowExposed(w);
        QTest::qWait(200);
        act(w);
    });
    trigger->click();
    return QTest::qWaitFor([&] { return driver->Done(); }, 10000) && exposed;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDir dir;
    if (!GrabSetUp(argc, argv, "grab_main_window", &dir))
        return 2;
    bool ok = true;

    CQuorvanMasterDlg dlg;
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg))
        return 1;
    QTest::qWait(200);
    ok &= Save(Framed({&dlg}), dir, "main-idle.png");

    // The port dialog, COM1 picked, then OK.
    auto* setPort = qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_SET_COM_PORT));
    const bool portShown = WhenModal<CComSetDlg>(setPort, [&](CComSetDlg* port) {
        qobject_cast<QComboBox*>(port->Control(CComSetDlg::IDC_PORT_LIST))->setCurrentIndex(0);
        QTest::qWait(200);
        ok &= Save(Framed({&dlg, port}), dir, "port-dialog.png");
        qobject_cast<QPushButton*>(port->Control(CComSetDlg::IDOK_BUTTON))->click();
    });
    if (!portShown)
        return 1;

    // Measuring: wait for a reading, then one more poll.
    qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_START_MEASURE))->click();
    auto* voltage = dlg.Readout(CQuorvanMasterDlg::IDC_VOLTAGE);
    if (!QTest::qWaitFor([&] { return voltage->Value() != 0.0; }, 10000)) {
        std::fprintf(stderr, "no reading from COM1\n");
        return 1;
    }
    QTest::qWait(700);
    ok &= Save(Framed({&dlg}), dir, "main-measuring.png");

    qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_START_MEASURE))->click();
    ok &= QTest::qWaitFor([&] { return !dlg.JobRunning(); }, 5000);

    // The parameter dialog as read from the meter, then an address it
    // refuses; cancelled, so nothing is written.
    auto* setParameters =
        qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_SET_PARAMETERS));
    ok &= WhenModal<CDlgParameterSet>(setParameters, [&](CDlgParameterSet* param) {
        ok &= Save(Framed({&dlg, param}), dir, "parameters.png");
        qobject_cast<QLineEdit*>(param->Control(CDlgParameterSet::IDC_ADDRESS))
            ->setText(QStringLiteral("248"));
        auto* okButton = qobject_cast<QPushButton*>(param->Control(CDlgParameterSet::IDOK_BUTTON));
        ok &= WhenModal<QMessageBox>(okButton, [&](QMessageBox* box) {
            // Captioned as the program itself would caption it.
            box->setWindowTitle(QStringLiteral("Quorvan-Master"));
            ok &= Save(Framed({param, box}), dir, "parameters-refusal.png");
            box->accept();
        });
        param->reject();
    });
    ok &= QTest::qWaitFor([&] { return !dlg.JobRunning(); }, 5000);

    // The password dialog with something typed; cancelled.
    auto* calibrate = qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_CALIBRATE));
    ok &= WhenModal<CDlgPassword>(calibrate, [&](CDlgPassword* password) {
        qobject_cast<QLineEdit*>(password->Control(CDlgPassword::IDC_PASSWORD))
            ->setText(QStringLiteral("secret"));
        ok &= Save(Framed({&dlg, password}), dir, "password.png");
        password->reject();
    });
    return ok ? 0 : 1;
}
