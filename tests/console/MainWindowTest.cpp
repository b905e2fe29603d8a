// The main window and port dialog on a real QApplication (offscreen),
// driving the simulated meter on a pty through a temporary COM alias.
#include "CQuorvanMasterApp.h"
#include "DialogUnits.h"
#include "MainWindowFixture.h"
#include "ReadoutDecode.h"

#include <QAccessible>

namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST_F(MainWindow, LaysOutTheTemplateInDialogUnits)
{
    const DialogUnits du(QStringLiteral("Times New Roman"), 12);
    EXPECT_EQ(m_dlg->size(), du.Size(312, 147));
    EXPECT_EQ(m_dlg->minimumSize(), m_dlg->maximumSize());  // no resizing
    EXPECT_EQ(m_dlg->windowIcon().availableSizes().value(0), QSize(128, 128));
    EXPECT_EQ(m_dlg->Control(Dlg::IDC_VOLTAGE)->geometry(), du.Rect(13, 15, 100, 32));
    EXPECT_EQ(m_dlg->Control(Dlg::IDC_ENERGY)->geometry(), du.Rect(121, 87, 104, 32));
    EXPECT_EQ(m_dlg->Control(Dlg::IDC_CANCEL)->geometry(), du.Rect(246, 111, 50, 14));
    EXPECT_EQ(m_dlg->Control(Dlg::IDC_DISPLAY_GROUP)->geometry(), du.Rect(7, 3, 224, 131));
    EXPECT_EQ(m_dlg->Control(Dlg::IDC_ENERGY_LABEL)->geometry(), du.Rect(162, 120, 59, 8));

    EXPECT_EQ(m_dlg->focusWidget(), m_dlg->Control(Dlg::IDC_CANCEL));
    // Tab stops in template order, wrapping round.
    const Ids chain = {Dlg::IDC_CANCEL,         Dlg::IDC_VOLTAGE,   Dlg::IDC_CURRENT,
                       Dlg::IDC_POWER,          Dlg::IDC_ENERGY,    Dlg::IDC_CLEAR_ENERGY,
                       Dlg::IDC_SET_PARAMETERS, Dlg::IDC_CALIBRATE, Dlg::IDC_START_MEASURE,
                       Dlg::IDC_SET_COM_PORT,   Dlg::IDC_CANCEL};
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        QWidget* next = m_dlg->Control(chain[i])->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, m_dlg->Control(chain[i + 1])) << "after " << chain[i];
    }

    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->ShownText(), QStringLiteral("0.00 V"));
    EXPECT_EQ(Readout(Dlg::IDC_ENERGY)->ShownText(), QStringLiteral("0 Wh"));
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->FontColor(), kReadoutAqua);
}

TEST_F(MainWindow, EnterOnAReadoutClosesLikeOk)
{
    // No default button: Enter away from the push buttons is the dialog's
    // standard OK.
    m_dlg->Control(Dlg::IDC_POWER)->setFocus();
    QTest::keyClick(m_dlg->Control(Dlg::IDC_POWER), Qt::Key_Return);
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), QDialog::Accepted);
}

TEST_F(MainWindow, EnableRulesThroughASession)
{
    EXPECT_EQ(m_dlg->windowTitle(), QStringLiteral("COM. Instruments - Brisklane"));
    EXPECT_EQ(EnabledButtons(), (Ids{Dlg::IDC_SET_COM_PORT, Dlg::IDC_CANCEL}));

    ChoosePort(3);
    EXPECT_EQ(m_dlg->windowTitle(),
              QStringLiteral("COM. Instruments - Brisklane  COM3, 9600, Quorvan"));
    EXPECT_EQ(m_dlg->PortNumber(), 3);
    EXPECT_EQ(EnabledButtons().size(), 6u);

    ChoosePort(1);
    StartMeasuring();
    EXPECT_EQ(EnabledButtons(), (Ids{Dlg::IDC_START_MEASURE}));
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Exit Measure"));
    ASSERT_TRUE(WaitPollsSinceStart(2));

    // Stopping: nothing changes until the worker has finished.
    Button(Dlg::IDC_START_MEASURE)->click();
    EXPECT_EQ(EnabledButtons(), (Ids{Dlg::IDC_START_MEASURE}));
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Exit Measure"));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(EnabledButtons().size(), 6u);
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(MainWindow, PortDialogCancelsAndPreselects)
{
    ChoosePort(3);
    const QString title = m_dlg->windowTitle();

    WithPortDialog([](CComSetDlg* d) {
        auto* ports = qobject_cast<QComboBox*>(d->Control(CComSetDlg::IDC_PORT_LIST));
        auto* bauds = qobject_cast<QComboBox*>(d->Control(CComSetDlg::IDC_BAUD_LIST));
        EXPECT_EQ(ports->currentText(), QStringLiteral("COM3"));  // the last choice
        EXPECT_EQ(ports->count(), 12);
        EXPECT_EQ(bauds->currentText(), QStringLiteral("9600"));
        EXPECT_FALSE(bauds->isEnabled());
        EXPECT_EQ(bauds->count(), 4);
        EXPECT_EQ(bauds->itemText(3), QStringLiteral("1200"));
        EXPECT_EQ(d->windowTitle(), QStringLiteral("COM Port setting"));
        EXPECT_EQ(d->focusWidget(), d->Control(CComSetDlg::IDCANCEL_BUTTON));
        // The tooltip names the device behind the entry and whether it exists.
        const QString com1 = ports->itemData(0, Qt::ToolTipRole).toString();
        EXPECT_TRUE(com1.startsWith(QStringLiteral("COM1 (/dev/pts/"))) << com1.toStdString();
        EXPECT_TRUE(com1.endsWith(QStringLiteral(", present"))) << com1.toStdString();
        EXPECT_EQ(ports->itemData(7, Qt::ToolTipRole).toString(),
                  QStringLiteral("COM8 (/dev/ttyACM3), not present"));

        ports->setCurrentIndex(4);
        qobject_cast<QPushButton*>(d->Control(CComSetDlg::IDCANCEL_BUTTON))->click();
    });
    EXPECT_EQ(m_dlg->windowTitle(), title);
    EXPECT_EQ(m_dlg->PortNumber(), 3);
    EXPECT_EQ(m_dlg->BaudRate(), 9600);
    EXPECT_EQ(EnabledButtons().size(), 6u);
}

TEST_F(MainWindow, ShowsAReadingWithItsPrecisionUnitsAndColour)
{
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitFor([this] { return Readout(Dlg::IDC_VOLTAGE)->Value() != 0.0; }));

    // 51.23 V x 12.34 A = 632.18 W; 1234567 Wh.
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->ShownText(), QStringLiteral("51.23 V"));
    EXPECT_EQ(Readout(Dlg::IDC_CURRENT)->ShownText(), QStringLiteral("12.34 A"));
    EXPECT_EQ(Readout(Dlg::IDC_POWER)->Precision(), 1);
    EXPECT_EQ(Readout(Dlg::IDC_POWER)->ShownText(), QStringLiteral("632.2 W"));
    EXPECT_EQ(Readout(Dlg::IDC_ENERGY)->Precision(), 2);
    EXPECT_DOUBLE_EQ(Readout(Dlg::IDC_ENERGY)->Value(), 1234.567);
    EXPECT_EQ(Readout(Dlg::IDC_ENERGY)->ShownText(), QStringLiteral("1234.57 kWh"));
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->FontColor(), kReadoutAqua);

    // What a screen reader is told.
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(Readout(Dlg::IDC_ENERGY));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->text(QAccessible::Name), QStringLiteral("1234.57 kWh"));
    EXPECT_EQ(a->text(QAccessible::Value), QStringLiteral("1234.57 kWh"));

    // Over the threshold the voltage turns red, and back once below it.
    m_sim.SetVoltage(301.0);
    ASSERT_TRUE(WaitFor([this] { return Readout(Dlg::IDC_VOLTAGE)->FontColor() == 0x0000FFu; }));
    EXPECT_EQ(ColorFromBgr(0x0000FF), QColor(255, 0, 0));  // red in the low byte
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->ShownText(), QStringLiteral("301.00 V"));
    m_sim.SetVoltage(299.0);
    ASSERT_TRUE(WaitFor([this] { return Readout(Dlg::IDC_VOLTAGE)->FontColor() == 0xFFFF00u; }));

    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    // Readouts keep the last values.
    EXPECT_EQ(Readout(Dlg::IDC_VOLTAGE)->ShownText(), QStringLiteral("299.00 V"));
}

TEST_F(MainWindow, EachReadoutPaintsAtMostOncePerPoll)
{
    ChoosePort(1);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dlg.get()));
    QTest::qWait(50);
    SimMeterState state = m_sim.State();
    state.fixed = false;  // every answer differs, so every poll changes every readout
    m_sim.SetState(state);

    PaintCounter counters[4];
    const int ids[4] = {Dlg::IDC_VOLTAGE, Dlg::IDC_CURRENT, Dlg::IDC_POWER, Dlg::IDC_ENERGY};
    for (int i = 0; i < 4; ++i)
        Readout(ids[i])->installEventFilter(&counters[i]);
    const unsigned before = m_sim.RequestCount();
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(10));
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    const unsigned polls = m_sim.RequestCount() - before;

    for (int i = 0; i < 4; ++i) {
        EXPECT_GE(counters[i].paints, 1) << ids[i];
        EXPECT_LE(counters[i].paints, static_cast<int>(polls)) << ids[i];
    }
}

TEST_F(MainWindow, TwoFailedPollsInARowDoNotEndTheMeasurement)
{
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(1));

    for (int round = 0; round < 2; ++round) {
        SimFaults faults;
        faults.corruptCrc = true;
        faults.count = 2;
        m_sim.SetFaults(faults);
        // Two bad answers, then a good one.
        ASSERT_TRUE(WaitPolls(3)) << round;
    }
    ASSERT_TRUE(WaitPolls(2));
    EXPECT_TRUE(m_dlg->Measuring());
    EXPECT_TRUE(m_boxes.empty());

    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
}

TEST_F(MainWindow, SilentMeterEndsWithFailedToReadAfterThreePolls)
{
    ChoosePort(1);
    SimFaults faults;
    faults.silent = true;
    m_sim.SetFaults(faults);
    StartMeasuring();
    ASSERT_TRUE(WaitIdle(10000));

    EXPECT_EQ(m_sim.RequestCount(), 3u);
    ASSERT_EQ(m_boxes.size(), 1u);
    const BoxSeen& box = m_boxes[0];
    EXPECT_EQ(box.text, QStringLiteral("Failed to read!"));
    EXPECT_EQ(box.caption, CQuorvanMasterApp::ProgramName());
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
    EXPECT_EQ(box.owner, m_dlg.get());
    EXPECT_TRUE(box.detail.startsWith(QStringLiteral("COM1 (/dev/pts/")))
        << box.detail.toStdString();
    EXPECT_EQ(EnabledButtons().size(), 6u);
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

// A pulled adapter: the details name why the port did not reopen, not the
// write that then failed on a closed descriptor.
TEST_F(MainWindow, PulledAdapterDetailsNameTheFailedReopen)
{
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitPolls(1));
    m_sim.HangUp();  // its COM1 alias goes with it
    ASSERT_TRUE(WaitIdle(10000));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, QStringLiteral("Failed to read!"));
    const std::string detail = m_boxes[0].detail.toStdString();
    EXPECT_NE(detail.find(": the port did not reopen: 'OpenCom' failed with the following error: "
                          "No such file or directory"),
              std::string::npos)
        << detail;
    EXPECT_EQ(detail.find("WriteFile"), std::string::npos) << detail;
}

TEST_F(MainWindow, PortThatCannotBeOpenedGivesFailedToOpen)
{
    ChoosePort(8);  // /dev/ttyACM3: no alias, no such device
    StartMeasuring();
    ASSERT_TRUE(WaitIdle());

    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].text, QStringLiteral("Failed to open COM-Port!"));
    EXPECT_EQ(m_boxes[0].owner, m_dlg.get());
    // The serial layer's reason travels behind the details button.
    const std::string detail = m_boxes[0].detail.toStdString();
    EXPECT_EQ(detail.rfind("COM8 (/dev/ttyACM3): ", 0), 0u) << detail;
    EXPECT_NE(detail.find("No such file or directory"), std::string::npos) << detail;
    EXPECT_EQ(EnabledButtons().size(), 6u);
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
}

TEST_F(MainWindow, PressingExitTwiceNeverStartsASecondWorker)
{
    ChoosePort(1);
    m_dlg->SetTiming(JobTiming{300, 100});  // a stop takes a while to land
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(1));
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(m_dlg->JobRunning());
    Button(Dlg::IDC_START_MEASURE)->click();  // while the worker is finishing
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());

    EXPECT_FALSE(m_dlg->Measuring());
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
    const unsigned polls = m_sim.RequestCount();
    QTest::qWait(400);
    EXPECT_EQ(m_sim.RequestCount(), polls);  // nobody polls any more
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

TEST_F(MainWindow, ClosingWhileMeasuringWaitsForTheWorker)
{
    ChoosePort(1);
    // A long pause: closing must cut it short rather than wait it out.
    m_dlg->SetTiming(JobTiming{10000, 10000});
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(1));
    QTest::qWait(50);

    const auto start = Clock::now();
    m_dlg->close();  // as the title bar's close button does
    // Still open: not before the worker has ended.
    EXPECT_TRUE(m_dlg->isVisible());
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(m_dlg->JobRunning());
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
    EXPECT_EQ(m_dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(MainWindow, EscapeWhileAPollFailsClosesWithoutABox)
{
    ChoosePort(1);
    SimFaults faults;
    faults.silent = true;
    m_sim.SetFaults(faults);
    StartMeasuring();
    // The third poll is under way; its failure would end the measurement
    // with a box, but the window is closing by then.
    ASSERT_TRUE(WaitFor([this] { return m_sim.RequestCount() >= 3; }, 10000));

    QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }, 10000));
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

TEST_F(MainWindow, DestroyingTheWindowMidMeasurementStopsTheWorker)
{
    ChoosePort(1);
    m_dlg->SetTiming(JobTiming{10000, 10000});
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(1));
    const auto start = Clock::now();
    m_dlg.reset();  // last resort: no event loop while it waits
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    const unsigned polls = m_sim.RequestCount();
    QTest::qWait(100);
    EXPECT_EQ(m_sim.RequestCount(), polls);
}

// The product's pauses: 500 ms after each poll, 1000 ms more before the
// reconnect after a failed one; a stop lands within one cycle.
TEST_F(MainWindow, RealPausesSetThePace)
{
    m_dlg->SetTiming(JobTiming{});
    ChoosePort(1);
    SimFaults faults;
    faults.corruptCrc = true;
    faults.count = 1;
    m_sim.SetFaults(faults);

    std::vector<Clock::time_point> heard;
    StartMeasuring();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WaitFor([&] { return m_sim.RequestCount() > heard.size(); }, 3000)) << i;
        heard.push_back(Clock::now());
    }
    using std::chrono::milliseconds;
    // Failed poll: 1000 + 500 ms before the next; good poll: 500 ms.
    EXPECT_GE(heard[1] - heard[0], milliseconds(1450));
    EXPECT_LT(heard[1] - heard[0], milliseconds(2000));
    EXPECT_GE(heard[2] - heard[1], milliseconds(450));
    EXPECT_LT(heard[2] - heard[1], milliseconds(900));

    const auto stop = Clock::now();
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_LT(Clock::now() - stop, milliseconds(900));
    EXPECT_EQ(Button(Dlg::IDC_START_MEASURE)->text(), QStringLiteral("Start Measure"));
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CIanalogdisplayx::InstallAccessibility();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
