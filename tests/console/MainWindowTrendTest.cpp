// The display area's menu in the real window against the simulated meter:
// the trend window and recording to a file, and the main window left as it
// was.
#include "CTrendWindow.h"
#include "MainWindowFixture.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>

#include <unistd.h>
#include <fstream>
#include <sstream>

namespace {

class Trend : public MainWindow {
protected:
    // "Record to File...", the file dialog answered with `path`.
    void RecordTo(const QString& path)
    {
        auto dialog = CModalDriver::Once<QFileDialog>([path](QFileDialog* d) {
            d->selectFile(path);
            QMetaObject::invokeMethod(d, "accept");  // as the Save button does
        });
        EXPECT_TRUE(Choose(QStringLiteral("Record to File...")));
        EXPECT_TRUE(dialog->Done());
    }

    std::string Folder() const { return m_config.Dir(); }
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Trend, RightClickOnTheDisplayAreaAndCtrlTOpenTheMenu)
{
    RightClick(Readout(Dlg::IDC_CURRENT));
    ASSERT_NE(OpenMenu(), nullptr);
    EXPECT_EQ(Entries(OpenMenu()), (QStringList{"Show Trend", "Record to File...", "",
                                                "Meter Address...", "Find Meters..."}));
    // No port chosen yet: nothing to scan.
    EXPECT_FALSE(OpenMenu()->actions().back()->isEnabled());
    OpenMenu()->close();

    RightClick(m_dlg->Control(Dlg::IDC_ENERGY_LABEL));  // a label inside the area
    ASSERT_NE(OpenMenu(), nullptr);
    OpenMenu()->close();

    RightClick(Button(Dlg::IDC_SET_COM_PORT));  // the operate area has none
    EXPECT_EQ(OpenMenu(), nullptr);

    m_dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    QTest::keyClick(m_dlg.get(), Qt::Key_T, Qt::ControlModifier);
    ASSERT_NE(OpenMenu(), nullptr);
    EXPECT_EQ(OpenMenu()->objectName(), QStringLiteral("displayMenu"));
    OpenMenu()->close();
    // Nothing else on the window changed: same buttons, same title.
    EXPECT_EQ(EnabledButtons(), (Ids{Dlg::IDC_SET_COM_PORT, Dlg::IDC_CANCEL}));
    EXPECT_EQ(m_dlg->windowTitle(), QStringLiteral("COM. Instruments - Brisklane"));
}

// The trend follows the measurement, keeps what was measured when it is
// closed and reopened, marks the failed polls as gaps, and closes with the
// main window.
TEST_F(Trend, TrendFollowsTheMeasurementAndClosesWithTheWindow)
{
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(2));
    ASSERT_TRUE(Choose(QStringLiteral("Show Trend")));
    CTrendWindow* trend = m_dlg->TrendWindow();
    ASSERT_NE(trend, nullptr);
    EXPECT_TRUE(trend->isVisible());
    EXPECT_EQ(trend->StatusText(),
              QStringLiteral("Meter at the general address 0xF8 on COM1  ·  Not recording"));
    ASSERT_TRUE(WaitFor([&] { return trend->Shown().voltage.size() >= 3; }));
    EXPECT_DOUBLE_EQ(trend->Shown().voltage.back().value, 51.23);
    EXPECT_DOUBLE_EQ(trend->Shown().current.back().value, 12.34);

    trend->close();
    const size_t kept = m_dlg->History().Size();
    SimFaults silent;
    silent.silent = true;
    silent.count = 1;
    m_sim.SetFaults(silent);
    ASSERT_TRUE(WaitPolls(3, 8000));
    ASSERT_TRUE(Choose(QStringLiteral("Show Trend")));
    EXPECT_EQ(m_dlg->TrendWindow(), trend);  // one window, reopened
    EXPECT_TRUE(trend->isVisible());
    EXPECT_GT(m_dlg->History().Size(), kept);
    EXPECT_GE(trend->Shown().segmentEnds.size(), 2u);  // the failed poll broke the line

    m_dlg->close();
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_FALSE(trend->isVisible());
}

// One line per good poll with the meter's own digits; the readouts' tooltip
// and the trend's status line say where it goes and how many lines are in
// the file: after Exit Measure, exactly as many as the file has.
TEST_F(Trend, RecordingWritesEachGoodPollAndCountsWhatWasWritten)
{
    const std::string path = Folder() + "/day.csv";
    const QString qpath = QString::fromStdString(path);
    RecordTo(qpath);
    ASSERT_TRUE(m_dlg->Recorder().Recording());
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(Choose(QStringLiteral("Show Trend")));
    ASSERT_TRUE(WaitFor([&] { return m_dlg->Recorder().LinesWritten() >= 3; }));
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    QTest::qWait(300);  // the last line queued reaches the disk

    // 51.23 V, 12.34 A: power 632.2 W; energy 1234567 Wh; no alarm.
    const std::string text = ReadFile(path);
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "time_utc,voltage_v,current_a,power_w,energy_wh,voltage_alarm");
    uint64_t count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.size(), 24 + std::string(",51.23,12.34,632.2,1234567,0").size()) << line;
        EXPECT_EQ(line.substr(24), ",51.23,12.34,632.2,1234567,0");
        EXPECT_EQ(line[10], 'T');
        EXPECT_EQ(line[23], 'Z');
    }
    EXPECT_EQ(count, m_dlg->Recorder().LinesWritten());
    const QString counted = QStringLiteral("Recording to %1: %2 lines").arg(qpath).arg(count);
    EXPECT_TRUE(WaitFor([&] { return Readout(Dlg::IDC_POWER)->toolTip().endsWith(counted); }))
        << Readout(Dlg::IDC_POWER)->toolTip().toStdString() << " / " << count;
    EXPECT_EQ(Readout(Dlg::IDC_POWER)->toolTip(),
              QStringLiteral("Meter at the general address 0xF8 on COM1\n") + counted);
    EXPECT_TRUE(m_dlg->TrendWindow()->StatusText().endsWith(QStringLiteral("  ·  ") + counted));

    ASSERT_TRUE(Choose(QStringLiteral("Stop Recording")));
    EXPECT_FALSE(m_dlg->Recorder().Recording());
    EXPECT_EQ(Readout(Dlg::IDC_POWER)->toolTip(),
              QStringLiteral("Meter at the general address 0xF8 on COM1"));
    EXPECT_EQ(m_dlg->TrendWindow()->StatusText(),
              QStringLiteral("Meter at the general address 0xF8 on COM1  ·  Not recording"));
    EXPECT_TRUE(m_boxes.empty());
}

// One reading recorded reads "1 line".
TEST_F(Trend, OneLineIsOneLine)
{
    const QString path = QString::fromStdString(Folder() + "/one.csv");
    m_dlg->SetTiming(JobTiming{1000, 100});  // no second poll before Exit Measure lands
    RecordTo(path);
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitFor([&] { return m_dlg->Recorder().LinesWritten() == 1; }));
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(m_dlg->Recorder().LinesWritten(), 1u);
    EXPECT_TRUE(WaitFor([&] {
        return m_dlg->RecordingText() == QStringLiteral("Recording to %1: 1 line").arg(path);
    })) << m_dlg->RecordingText().toStdString();
}

// A file that cannot be written stops the recording with a box naming it
// and the reason; the measurement goes on.
TEST_F(Trend, AWriteFailureStopsTheRecordingNotTheMeasurement)
{
    // A full disk: every write fails with "no space left".
    const std::string full = Folder() + "/full.csv";
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    ChoosePort(1);
    StartMeasuring();
    ASSERT_TRUE(WaitPollsSinceStart(1));
    RecordTo(QString::fromStdString(full));
    ASSERT_TRUE(WaitFor([&] { return !m_boxes.empty(); }));
    EXPECT_EQ(m_boxes[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(m_boxes[0].text.startsWith(
        QStringLiteral("Recording to %1 stopped").arg(QString::fromStdString(full))))
        << m_boxes[0].text.toStdString();
    EXPECT_TRUE(m_boxes[0].text.contains(QStringLiteral("No space left on device")));
    EXPECT_FALSE(m_dlg->Recorder().Recording());
    ASSERT_TRUE(WaitPolls(2));
    EXPECT_TRUE(m_dlg->Measuring());

    m_boxes.clear();
    RecordTo(QString::fromStdString(Folder() + "/no/such/folder/x.csv"));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_TRUE(m_boxes[0].text.startsWith(QStringLiteral("Cannot record to ")));
    EXPECT_TRUE(m_boxes[0].text.contains(QStringLiteral("No such file or directory")));
    EXPECT_TRUE(m_dlg->Measuring());
    Button(Dlg::IDC_START_MEASURE)->click();
    ASSERT_TRUE(WaitIdle());
}

TEST(TrendDefaults, RecordingFileNameCarriesTheDateAndTime)
{
    const QString path = CQuorvanMasterDlg::DefaultRecordingPath();
    EXPECT_TRUE(path.startsWith(QDir::homePath() + QStringLiteral("/quorvan-")));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("quorvan-\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.csv$"))
                    .match(path)
                    .hasMatch())
        << path.toStdString();
}

}  // namespace
