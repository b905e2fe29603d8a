// Saves docs' trend.png: the main window measuring a meter in voltage alarm
// with the trend window beside it, after a minute of readings with two
// failed polls in between: grab_trend DIR. With a second argument, the whole
// screen instead, window manager's frames and all, as DIR/SCREEN.png: the
// trend where it lands on a small screen. Runs its own simulated meter
// (values wandering around 300.3 V, about a 300 V threshold) as COM2 in the
// alias folder of XDG_CONFIG_HOME (scripts/screenshot gives it a temporary one).
#include "CMeterSim.h"
#include "CModalDriver.h"
#include "CQuorvanMasterDlg.h"
#include "GrabFrame.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDir dir;
    const char* screenName = argc == 3 ? argv[2] : nullptr;
    if (!GrabSetUp(screenName != nullptr ? 2 : argc, argv, "grab_trend", &dir))
        return 2;
    CMeterSim sim;
    std::string error;
    SimMeterState state;
    state.voltage = 30030;
    state.current = 876;
    state.energy = 23456;
    state.highVoltage = 30000;
    if (!sim.Start(&error) || !sim.LinkCom(2, &error)) {
        std::fprintf(stderr, "simulated meter: %s\n", error.c_str());
        return 1;
    }
    sim.SetState(state);

    // A box would stop the measurement the picture needs: say it and give up.
    std::vector<BoxSeen> boxes;
    const auto answer = CModalDriver::AnswerBoxes(&boxes);
    CQuorvanMasterDlg dlg;
    if (screenName == nullptr)
        dlg.move(20, 60);  // else where it opens by itself: centred
    if (!ShowWithPort(dlg, 2))
        return 1;
    qobject_cast<QPushButton*>(dlg.Control(CQuorvanMasterDlg::IDC_START_MEASURE))->click();
    dlg.OnShowTrend();

    // A minute of readings, with two failed polls half-way.
    QTest::qWait(32000);
    SimFaults silent;
    silent.silent = true;
    silent.count = 2;
    sim.SetFaults(silent);
    QTest::qWait(32000);

    for (const BoxSeen& box : boxes)
        std::fprintf(stderr, "box: %s\n%s\n", qPrintable(box.text), qPrintable(box.detail));
    CTrendWindow* trend = dlg.TrendWindow();
    if (!boxes.empty() || trend == nullptr || trend->Shown().voltage.empty()) {
        std::fprintf(stderr, "the trend shows nothing\n");
        return 1;
    }
    if (screenName != nullptr)
        return Save(dlg.screen()->grabWindow(0), dir, screenName) ? 0 : 1;
    return Save(Framed({&dlg, trend}), dir, "trend.png") ? 0 : 1;
}
