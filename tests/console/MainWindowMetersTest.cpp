// Several meters on one line, in the real window against the simulated bus:
// the meter's address, Find Meters (its scan: found, cancelled, empty, cut
// off by a pulled adapter, ended with the window) and the hint that several
// meters answer the general address.
#include "CChildProcess.h"
#include "CDlgFindMeters.h"
#include "CDlgMeterAddress.h"
#include "MainWindowFixture.h"

#include <QListWidget>
#include <QProgressBar>
#include <QRadioButton>
#include <QSpinBox>

#include <csignal>

namespace {

using std::chrono::milliseconds;

// A scan's answer limit per address in the tests that need not wait for
// the client's 100 ms: the simulated meters answer at once (pacing off).
constexpr int kQuickScanMs = 15;

QStringList Listed(const CDlgFindMeters* d)
{
    QStringList lines;
    for (int i = 0; i < d->MeterList()->count(); ++i)
        lines << d->MeterList()->item(i)->text();
    return lines;
}

void DoubleClick(CDlgFindMeters* d, int row)
{
    QListWidget* list = d->MeterList();
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

QPushButton* DialogButton(QDialog* d, const char* name)
{
    return d->findChild<QPushButton*>(QString::fromLatin1(name));
}

class Meters : public MainWindow {
protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        if (HasFatalFailure())
            return;
        // Three meters on the line: 48.20 V at 3, 51.90 V at 5, 24.04 V at 17.
        m_sim.SetPacing(false);
        SimMeterState state = m_sim.State();
        state.address = 3;
        state.voltage = 4820;
        m_sim.SetState(state);
        state.address = 5;
        state.voltage = 5190;
        m_sim.AddMeter(state);
        state.address = 17;
        state.voltage = 2404;
        m_sim.AddMeter(state);
        m_dlg->SetTiming(JobTiming{50, 100, 200, kQuickScanMs});
        ChoosePort(1);
    }

    // "Find Meters..."; `act` works on the dialog from inside its exec()
    // and must see it closed.
    void Find(std::function<void(CDlgFindMeters*)> act)
    {
        const auto driver = CModalDriver::Once<CDlgFindMeters>(std::move(act));
        ASSERT_TRUE(Choose(QStringLiteral("Find Meters...")));
        EXPECT_TRUE(driver->Done());
    }

    // "Meter Address...", answered with `unit` (0: the general address).
    void ChooseAddress(int unit)
    {
        const auto driver = CModalDriver::Once<CDlgMeterAddress>([unit](CDlgMeterAddress* d) {
            (unit == 0 ? d->GeneralChoice() : d->OwnChoice())->setChecked(true);
            if (unit != 0)
                d->AddressBox()->setValue(unit);
            d->accept();
        });
        ASSERT_TRUE(Choose(QStringLiteral("Meter Address...")));
        EXPECT_TRUE(driver->Done());
    }

    // A measurement until the voltage readout shows `volts`, then Exit Measure.
    void MeasureUntil(double volts)
    {
        Readout(Dlg::IDC_VOLTAGE)->SetValue(0);
        StartMeasuring();
        EXPECT_TRUE(WaitFor([&] { return Readout(Dlg::IDC_VOLTAGE)->Value() == volts; }))
            << Readout(Dlg::IDC_VOLTAGE)->Value();
        Button(Dlg::IDC_START_MEASURE)->click();
        ASSERT_TRUE(WaitIdle());
    }

    // The closed scan: the job over, the port closed.
    void ExpectScanOver()
    {
        EXPECT_FALSE(m_dlg->JobRunning());
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
    }
};

// The meters are listed with their readings as they answer, while the scan
// goes on; nothing else may start on the port meanwhile, and the buttons
// stay as they were. A double-click picks a meter, which is then measured
// by its own address.
TEST_F(Meters, FindMetersListsThemAsTheyAnswerAndTheOnePickedIsMeasured)
{
    const Ids buttons = EnabledButtons();
    Find([&](CDlgFindMeters* d) {
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Find Meters"));
        ASSERT_TRUE(WaitFor([&] { return d->MeterList()->count() == 3; }));
        EXPECT_TRUE(d->Scanning());
        EXPECT_GE(d->Progress()->value(), 16);
        EXPECT_LT(d->Progress()->value(), 247);
        EXPECT_EQ(Listed(d), (QStringList{"Address 3: 48.20 V  12.34 A  594.8 W  1234567 Wh",
                                          "Address 5: 51.90 V  12.34 A  640.4 W  1234567 Wh",
                                          "Address 17: 24.04 V  12.34 A  296.7 W  1234567 Wh"}));
        EXPECT_TRUE(d->StatusText().startsWith(QStringLiteral("Looking for meters: address ")));
        EXPECT_EQ(EnabledButtons(), buttons);
        const unsigned heard = m_sim.RequestCount(5);
        m_dlg->OnStartMeasure();  // as a press that got through would
        m_dlg->OnSetParameters();
        EXPECT_FALSE(m_dlg->Measuring());
        EXPECT_EQ(m_sim.RequestCount(5), heard);
        DoubleClick(d, 1);
        EXPECT_TRUE(WaitFor([&] { return !d->isVisible(); }, 1000));
    });
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 5);
    EXPECT_EQ(EnabledButtons(), buttons);
    EXPECT_EQ(Readout(Dlg::IDC_CURRENT)->toolTip(), QStringLiteral("Meter at address 5 on COM1"));
    EXPECT_TRUE(m_boxes.empty());

    const unsigned others = m_sim.RequestCount(3) + m_sim.RequestCount(17);
    const unsigned asked = m_sim.RequestCount(5);
    MeasureUntil(51.90);
    EXPECT_GT(m_sim.RequestCount(5), asked);
    EXPECT_EQ(m_sim.RequestCount(3) + m_sim.RequestCount(17), others);  // 0xF8 never asked
}

// With the client's own limit of 100 ms an address (the one test with the
// real pace): Cancel ends the scan within 0.2 s, the port closed; nothing
// is picked.
TEST_F(Meters, CancelEndsAScanAtTheRealPaceWithinAFifthOfASecond)
{
    m_sim.SetPacing(true);
    m_dlg->SetTiming(JobTiming{50, 100, 200});
    ASSERT_EQ(JobTiming{}.scanAnswerLimitMs, 100);
    Find([&](CDlgFindMeters* d) {
        const auto start = Clock::now();
        ASSERT_TRUE(WaitFor([&] { return d->Progress()->value() >= 11; }, 5000));
        // Nine addresses of the eleven had no meter: a tenth of a second each.
        EXPECT_GE(Clock::now() - start, milliseconds(900));
        EXPECT_EQ(d->MeterList()->count(), 2);
        const auto cancelled = Clock::now();
        DialogButton(d, "cancel")->click();
        ASSERT_TRUE(WaitFor([&] { return !d->isVisible(); }, 1000));
        EXPECT_LT(Clock::now() - cancelled, milliseconds(200));
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
    });
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 0);
}

TEST_F(Meters, AScanCancelledAtOnceLeavesThePortClosed)
{
    Find([&](CDlgFindMeters* d) {
        const auto cancelled = Clock::now();
        d->reject();
        ASSERT_TRUE(WaitFor([&] { return !d->isVisible(); }, 1000));
        EXPECT_LT(Clock::now() - cancelled, milliseconds(200));
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
        EXPECT_LE(d->MeterList()->count(), 1);
    });
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 0);
    EXPECT_EQ(EnabledButtons().size(), 6u);
    ChooseAddress(3);
    MeasureUntil(48.20);  // the port is free again
}

TEST_F(Meters, AScanWithNoMeterSaysSo)
{
    SimFaults silent;
    silent.silent = true;
    for (int address : {3, 5, 17})
        m_sim.SetFaults(address, silent);
    m_dlg->SetTiming(JobTiming{50, 100, 200, 8});  // silence needs no time to answer
    Find([&](CDlgFindMeters* d) {
        ASSERT_TRUE(WaitFor([&] { return !d->Scanning(); }, 20000));
        EXPECT_EQ(d->StatusText(), QStringLiteral("No meter answered at addresses 1 to 247."));
        EXPECT_EQ(d->Progress()->value(), 247);
        EXPECT_EQ(d->MeterList()->count(), 0);
        EXPECT_FALSE(DialogButton(d, "ok")->isEnabled());
        DialogButton(d, "cancel")->click();
        EXPECT_FALSE(d->isVisible());  // at once: nothing left to stop
    });
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 0);
}

// The adapter pulled in mid-scan: the scan stops there and says why; the
// meters found stay listed and can still be picked.
TEST_F(Meters, APulledAdapterStopsTheScanWithTheReason)
{
    Find([&](CDlgFindMeters* d) {
        ASSERT_TRUE(WaitFor([&] { return d->MeterList()->count() == 2; }));
        m_sim.HangUp();
        ASSERT_TRUE(WaitFor([&] { return !d->Scanning(); }));
        EXPECT_TRUE(d->StatusText().startsWith(QStringLiteral("The scan stopped at address ")))
            << d->StatusText().toStdString();
        EXPECT_TRUE(d->StatusText().contains(QStringLiteral(", 2 meters found.\nCOM1 (")))
            << d->StatusText().toStdString();
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
        d->MeterList()->setCurrentRow(0);
        DialogButton(d, "ok")->click();
    });
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 3);
    EXPECT_EQ(EnabledButtons().size(), 6u);
}

TEST_F(Meters, APortThatCannotBeOpenedIsSaidSo)
{
    ChoosePort(7);  // no alias: /dev/ttyACM2, not there
    Find([&](CDlgFindMeters* d) {
        ASSERT_TRUE(WaitFor([&] { return !d->Scanning(); }));
        EXPECT_TRUE(d->StatusText().startsWith(QStringLiteral("Failed to open COM-Port!\nCOM7 (")))
            << d->StatusText().toStdString();
        d->reject();
    });
    ExpectScanOver();
}

TEST_F(Meters, ClosingTheMainWindowEndsTheScan)
{
    Find([&](CDlgFindMeters* d) {
        ASSERT_TRUE(WaitFor([&] { return d->MeterList()->count() >= 1; }));
        m_dlg->close();
        ASSERT_TRUE(WaitFor([&] { return !d->isVisible(); }, 1000));
    });
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->isVisible(); }, 1000));
    ExpectScanOver();
    EXPECT_EQ(m_dlg->Unit(), 0);
}

// The address chosen holds for every command; Set Parameters writing a new
// one to that meter is followed; neither choice nor scan under a job.
TEST_F(Meters, TheMeterChosenGetsEveryCommandAndIsFollowedToItsNewAddress)
{
    ChooseAddress(17);
    EXPECT_EQ(m_dlg->Unit(), 17);
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->toolTip(), QStringLiteral("Meter at address 17 on COM1"));
    StartMeasuring();
    ASSERT_TRUE(WaitFor([&] { return Readout(Dlg::IDC_VOLTAGE)->Value() == 24.04; }));
    RightClick(Readout(Dlg::IDC_VOLTAGE));
    ASSERT_NE(OpenMenu(), nullptr);
    for (QAction* a : OpenMenu()->actions()) {
        if (a->text() == QStringLiteral("Meter Address...") ||
            a->text() == QStringLiteral("Find Meters...")) {
            EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
        }
    }
    OpenMenu()->close();
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(m_sim.RequestCount(3) + m_sim.RequestCount(5), 0u);  // never 0xF8

    EXPECT_EQ(WriteAddress(42), QStringLiteral("17"));
    EXPECT_EQ(BoxTexts(), QStringList{"Set the parameters successfully!"});
    ASSERT_TRUE(m_sim.State(42).has_value());
    EXPECT_EQ(m_dlg->Unit(), 42);
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->toolTip(), QStringLiteral("Meter at address 42 on COM1"));
    const unsigned before = m_sim.RequestCount(42);
    MeasureUntil(24.04);
    EXPECT_GT(m_sim.RequestCount(42), before);
    EXPECT_EQ(m_sim.RequestCount(3) + m_sim.RequestCount(5), 0u);
}

// Several meters answering the general address at once: the failure box
// keeps its text and its details point to Find Meters; a garbled answer
// from a meter asked by its own address gets no such hint.
TEST_F(Meters, CollidingAnswersAtTheGeneralAddressPointToFindMeters)
{
    StartMeasuring();
    ASSERT_TRUE(WaitIdle(8000));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, QStringLiteral("Failed to read!"));
    EXPECT_TRUE(m_boxes[0].detail.contains(
        QStringLiteral("Several meters may be answering the general address 0xF8 at once")))
        << m_boxes[0].detail.toStdString();
    EXPECT_TRUE(m_boxes[0].detail.contains(QStringLiteral("Find Meters...")));

    m_boxes.clear();
    ChooseAddress(5);
    SimFaults spoiled;
    spoiled.corruptCrc = true;
    m_sim.SetFaults(5, spoiled);
    StartMeasuring();
    ASSERT_TRUE(WaitIdle(8000));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, QStringLiteral("Failed to read!"));
    EXPECT_TRUE(m_boxes[0].detail.endsWith(QStringLiteral("checksum mismatch")))
        << m_boxes[0].detail.toStdString();
}

// The whole flow against the simulator program with three meters: find
// them, measure the one picked, change its address, go on measuring it at
// the new one; the client confirms the meter's new address afterwards.
TEST_F(MainWindow, ThreeMetersFoundOnePickedMeasuredAndReaddressed)
{
    CChildProcess sim;
    ASSERT_TRUE(
        sim.Start(QUORVAN_SIM_EXE, {"--com", "2", "--fixed", "--meter", "3,voltage=48.2", "--meter",
                                    "5,voltage=51.9,current=12", "--meter", "17,voltage=24.04"}));
    ASSERT_FALSE(sim.NextLine(10000).empty()) << sim.Err();
    m_dlg->SetTiming(JobTiming{50, 100, 200, 50});  // the client's shortest limit
    ChoosePort(2);

    auto finder = CModalDriver::Once<CDlgFindMeters>([&](CDlgFindMeters* d) {
        ASSERT_TRUE(WaitFor([&] { return d->MeterList()->count() == 3; }, 10000));
        EXPECT_TRUE(Listed(d).at(1).startsWith(QStringLiteral("Address 5: 51.90 V  12.00 A")));
        DoubleClick(d, 1);
        EXPECT_TRUE(WaitFor([&] { return !d->isVisible(); }, 1000));
    });
    ASSERT_TRUE(Choose(QStringLiteral("Find Meters...")));
    EXPECT_TRUE(finder->Done());
    ASSERT_EQ(m_dlg->Unit(), 5);

    auto measure = [&] {
        Button(Dlg::IDC_START_MEASURE)->click();
        EXPECT_TRUE(WaitFor([&] {
            return Readout(Dlg::IDC_VOLTAGE)->Value() == 51.90 &&
                   Readout(Dlg::IDC_CURRENT)->Value() == 12.00;
        }));
        Button(Dlg::IDC_START_MEASURE)->click();
        ASSERT_TRUE(WaitIdle());
    };
    measure();

    EXPECT_EQ(WriteAddress(9), QStringLiteral("5"));
    EXPECT_EQ(BoxTexts(), QStringList{"Set the parameters successfully!"});
    EXPECT_EQ(m_dlg->Unit(), 9);
    Readout(Dlg::IDC_VOLTAGE)->SetValue(0);
    measure();
    EXPECT_TRUE(m_boxes.size() == 1u) << BoxTexts().join(u',').toStdString();

    const ChildResult check = CChildProcess::Run(
        QUORVAN_CLI_PATH, {"--port", "COM2", "--unit", "9", "params"}, ChildOptions{}, 10000);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("Address:            9"), std::string::npos) << check.out;
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(5000).status, 0);
}

}  // namespace
