// Run by the trend placement test on an X display the test started: the
// real main window and its trend window, opened as "Show Trend" opens it.
//   trend_placement_probe GO
// Shows the panel and prints "panel <X window id>"; once the file GO exists
// (the test has seen the panel settle), opens the trend and prints "trend
// <id>", "controls X Y W H" (around the readouts and buttons, from the
// panel's top left corner), "plot W H" (the smallest plot) and "row 0|1";
// then waits to be ended by a signal while the test looks from outside.
#include "CQuorvanMasterApp.h"
#include "CQuorvanMasterDlg.h"
#include "CTrendPlot.h"
#include "CTrendWindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QTest>

#include <cstdio>

namespace {

bool Exposed(QWidget* window)
{
    if (QTest::qWaitForWindowExposed(window, 20000))
        return true;
    std::fprintf(stderr, "%s: not exposed\n", qPrintable(window->windowTitle()));
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CQuorvanMasterApp::InstallLook();
    if (argc != 2)
        return 2;
    const QString go = QString::fromLocal8Bit(argv[1]);

    CQuorvanMasterDlg dlg;
    dlg.show();
    if (!Exposed(&dlg))
        return 1;
    std::printf("panel %llu\n", static_cast<unsigned long long>(dlg.winId()));
    std::fflush(stdout);
    // Asking Qt for the frame before the window manager has set it would
    // keep a frame of none: wait for the test, which asks the X server.
    if (!QTest::qWaitFor([&] { return QFileInfo::exists(go); }, 30000))
        return 1;
    // The events the window manager's work left are taken in (a window
    // just framed can read 1 x 1 for a moment), as a person's click would
    // come long after them.
    QTest::qWait(300);
    if (!QTest::qWaitFor([&] { return dlg.size() == dlg.minimumSize(); }, 10000)) {
        std::fprintf(stderr, "the panel is %d x %d\n", dlg.width(), dlg.height());
        return 1;
    }
    dlg.OnShowTrend();
    CTrendWindow* trend = dlg.TrendWindow();
    if (trend == nullptr || !Exposed(trend))
        return 1;

    QRect controls;
    for (int id : {CQuorvanMasterDlg::IDC_VOLTAGE, CQuorvanMasterDlg::IDC_CURRENT,
                   CQuorvanMasterDlg::IDC_POWER, CQuorvanMasterDlg::IDC_ENERGY,
                   CQuorvanMasterDlg::IDC_SET_COM_PORT, CQuorvanMasterDlg::IDC_START_MEASURE,
                   CQuorvanMasterDlg::IDC_CLEAR_ENERGY, CQuorvanMasterDlg::IDC_SET_PARAMETERS,
                   CQuorvanMasterDlg::IDC_CALIBRATE, CQuorvanMasterDlg::IDC_CANCEL}) {
        const QWidget* c = dlg.Control(id);
        controls |= c->geometry();
    }
    QSize plot(1 << 20, 1 << 20);
    for (int q = 0; q < CTrendWindow::kQuantityCount; ++q)
        plot = plot.boundedTo(trend->Plot(static_cast<CTrendWindow::Quantity>(q))->size());
    std::printf("trend %llu\ncontrols %d %d %d %d\nplot %d %d\nrow %d\n",
                static_cast<unsigned long long>(trend->winId()), controls.x(), controls.y(),
                controls.width(), controls.height(), plot.width(), plot.height(),
                trend->PlotsInRow() ? 1 : 0);
    std::fflush(stdout);
    return app.exec();
}
