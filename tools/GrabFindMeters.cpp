// Saves docs' find-meters.png: the panel with Find Meters open during a
// scan of a line of four meters, three of them listed so far: grab_find_meters
// DIR. Runs its own simulated bus as COM3 in the alias folder of
// XDG_CONFIG_HOME (scripts/screenshot gives it a temporary one), scanned at
// the client's own pace.
#include "CDlgFindMeters.h"
#include "CMeterSim.h"
#include "CModalDriver.h"
#include "CQuorvanMasterDlg.h"
#include "GrabFrame.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDir dir;
    if (!GrabSetUp(argc, argv, "grab_find_meters", &dir))
        return 2;
    CMeterSim sim;
    std::string error;
    if (!sim.Start(&error) || !sim.LinkCom(3, &error)) {
        std::fprintf(stderr, "simulated bus: %s\n", error.c_str());
        return 1;
    }
    SimMeterState state;
    state.fixed = true;
    state.energy = 880;
    const struct {
        uint16_t address, voltage, current;
    } meters[] = {{2, 5123, 450}, {5, 4802, 0}, {9, 5190, 1200}, {120, 2404, 310}};
    for (const auto& m : meters) {
        state.address = m.address;
        state.voltage = m.voltage;
        state.current = m.current;
        if (m.address == meters[0].address)
            sim.SetState(state);
        else
            sim.AddMeter(state);
    }

    CQuorvanMasterDlg dlg;
    dlg.move(20, 60);
    if (!ShowWithPort(dlg, 3))
        return 1;
    bool saved = false;
    const auto finder = CModalDriver::Once<CDlgFindMeters>([&](CDlgFindMeters* d) {
        if (QTest::qWaitForWindowExposed(d) &&
            QTest::qWaitFor([&] { return d->MeterList()->count() == 3; }, 10000)) {
            QTest::qWait(300);
            d->move(dlg.x() + 60, dlg.y() + 90);
            QTest::qWait(100);
            saved = Save(Framed({&dlg, d}), dir, "find-meters.png");
        }
        d->reject();
    });
    dlg.OnFindMeters();
    return saved && finder->Done() ? 0 : 1;
}
