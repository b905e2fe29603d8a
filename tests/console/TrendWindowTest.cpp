// The trend window on a real QApplication (offscreen): the shown range, a
// gap left undrawn, alarm marks, and the active window left alone.
#include "CModalDriver.h"
#include "CQuorvanMasterApp.h"
#include "CTrendPlot.h"
#include "CTrendWindow.h"
#include "TempConfig.h"
#include "TrendPlacement.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QImageReader>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int64_t kMinute = 60 * 1000;
constexpr int64_t kUnixBase = 1796708400000;  // 2026-12-08T05:40:00Z
const QColor kVoltageLine(0, 90, 200);
const QColor kAlarmMark(230, 0, 0);
const QColor kFrame(160, 160, 160);

Measurement Reading(uint16_t voltage, bool alarm = false)
{
    return Measurement{voltage, 450, 2305, 12345, static_cast<uint16_t>(alarm ? kAlarmOn : 0), 0};
}

// Good polls every 500 ms over [fromMs, toMs) of steady time.
void Feed(CTrendHistory* h, int64_t fromMs, int64_t toMs, uint16_t voltage = 5000,
          bool alarm = false)
{
    for (int64_t t = fromMs; t < toMs; t += 500)
        h->AddReading(Reading(voltage, alarm), kUnixBase + t, t);
}

// Columns of `image` holding a pixel of `color`.
std::vector<int> ColumnsWith(const QImage& image, const QColor& color)
{
    std::vector<int> columns;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixelColor(x, y) == color) {
                columns.push_back(x);
                break;
            }
        }
    }
    return columns;
}

class TrendWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_owner = std::make_unique<QWidget>();
        m_owner->setWindowTitle(QStringLiteral("Panel"));
        auto* layout = new QVBoxLayout(m_owner.get());
        m_edit = new QLineEdit(m_owner.get());
        layout->addWidget(m_edit);
        m_owner->setGeometry(0, 0, 300, 100);
        m_owner->show();
        m_owner->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_owner.get()));
        m_edit->setFocus();
        m_trend = new CTrendWindow(m_history, m_owner.get());
        m_trend->resize(420, 500);  // room beside the owner on the offscreen screen
    }

    QImage Grab(CTrendWindow::Quantity q) { return m_trend->Plot(q)->grab().toImage(); }

    CTrendHistory m_history;
    std::unique_ptr<QWidget> m_owner;
    QLineEdit* m_edit = nullptr;
    CTrendWindow* m_trend = nullptr;  // owned by m_owner
};

TEST_F(TrendWindow, TheSelectorSwitchesTheShownRange)
{
    Feed(&m_history, 0, 90 * kMinute);
    const int64_t newest = kUnixBase + 90 * kMinute - 500;
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    EXPECT_EQ(m_trend->windowTitle(), QStringLiteral("Trend"));
    EXPECT_EQ(m_trend->WindowMinutes(), 1);
    // Beside the owner, not over it.
    EXPECT_GT(m_trend->x(), m_owner->frameGeometry().right());

    auto* range = m_trend->findChild<QComboBox*>();
    ASSERT_NE(range, nullptr);
    const struct {
        int index;
        int64_t minutes;
    } choices[] = {{1, 10}, {2, 60}, {0, 1}};
    for (const auto& c : choices) {
        SCOPED_TRACE(c.minutes);
        range->setCurrentIndex(c.index);
        EXPECT_EQ(m_trend->WindowMinutes(), c.minutes);
        const TrendView& shown = m_trend->Shown();
        EXPECT_EQ(shown.toMs, newest);
        EXPECT_EQ(shown.fromMs, newest - c.minutes * kMinute);
        EXPECT_LE(shown.voltage.size(), CTrendWindow::kMaxPoints);
        EXPECT_GE(shown.voltage.front().ms, shown.fromMs);
        EXPECT_LT(shown.voltage.front().ms, shown.fromMs + c.minutes * kMinute / 100);
    }
    // The steady 50 V sits inside the voltage axis, on round numbers.
    const CTrendPlot* volts = m_trend->Plot(CTrendWindow::kVoltage);
    EXPECT_LT(volts->AxisLow(), 50.0);
    EXPECT_GT(volts->AxisHigh(), 50.0);
    EXPECT_LE(volts->AxisHigh() - volts->AxisLow(), 1.0);

    m_trend->SetStatusText(QStringLiteral("Recording to /tmp/day.csv: 1234 lines"));
    EXPECT_EQ(m_trend->StatusText(), QStringLiteral("Recording to /tmp/day.csv: 1234 lines"));
}

TEST_F(TrendWindow, AFailedPollLeavesAGapInTheCurve)
{
    // 50 V, ten seconds of failed polls, 50 V again, in a one-minute window.
    Feed(&m_history, 0, 25000);
    for (int64_t t = 25000; t < 35000; t += 1500)
        m_history.AddFailure(t);
    Feed(&m_history, 35000, 60000);
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));

    const TrendView& shown = m_trend->Shown();
    ASSERT_EQ(shown.segmentEnds.size(), 2u);
    const int64_t gapFrom = shown.voltage[shown.segmentEnds[0] - 1].ms;
    const int64_t gapTo = shown.voltage[shown.segmentEnds[0]].ms;
    EXPECT_EQ(gapTo - gapFrom, 10500);

    // The line's columns stop short of the gap and resume after it.
    const std::vector<int> columns = ColumnsWith(Grab(CTrendWindow::kVoltage), kVoltageLine);
    ASSERT_FALSE(columns.empty());
    int widestHole = 0;
    for (size_t i = 1; i < columns.size(); ++i)
        widestHole = std::max(widestHole, columns[i] - columns[i - 1] - 1);
    const int plotWidth = columns.back() - columns.front();
    // 10.5 s of a 59.5 s line; a little less for the pixels at the ends.
    EXPECT_GT(widestHole, plotWidth * 9 / 60);
    EXPECT_LT(widestHole, plotWidth * 11 / 60);
}

TEST_F(TrendWindow, ReadingsInAlarmAreMarkedRedOnTheVoltage)
{
    Feed(&m_history, 0, 20000);
    Feed(&m_history, 20000, 23000, 30100, true);  // six readings in alarm
    Feed(&m_history, 23000, 60000);
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));

    EXPECT_EQ(m_trend->Shown().alarms.size(), 6u);
    EXPECT_GE(m_trend->Plot(CTrendWindow::kVoltage)->AxisHigh(), 301.0);
    const std::vector<int> red = ColumnsWith(Grab(CTrendWindow::kVoltage), kAlarmMark);
    ASSERT_FALSE(red.empty());
    const std::vector<int> line = ColumnsWith(Grab(CTrendWindow::kVoltage), kVoltageLine);
    // The marks sit a third of the way along the line.
    const double at = (red.front() + red.back()) / 2.0;
    const double along = (at - line.front()) / (line.back() - line.front());
    EXPECT_NEAR(along, 21250.0 / 59500.0, 0.03);
    EXPECT_TRUE(ColumnsWith(Grab(CTrendWindow::kCurrent), kAlarmMark).empty());
}

TEST_F(TrendWindow, ShowingAndUpdatingNeverTakeTheFocus)
{
    Feed(&m_history, 0, 10000);
    // What the window system is told: show it without handing it the keyboard.
    EXPECT_TRUE(m_trend->testAttribute(Qt::WA_ShowWithoutActivating));
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    if (QApplication::activeWindow() != m_owner.get()) {
        // The offscreen platform activates every window it shows, whatever
        // the attribute says (xcb honours it): hand the keyboard back, as a
        // desktop would have left it, before the updates.
        m_owner->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_owner.get()));
        m_edit->setFocus();
    }
    for (int64_t t = 10000; t < 15000; t += 500) {
        m_history.AddReading(Reading(5100), kUnixBase + t, t);
        m_trend->Refresh();
        m_trend->ShowBesideParent();  // "Show Trend" again while it is open
        QApplication::processEvents();
    }
    EXPECT_EQ(QApplication::activeWindow(), m_owner.get());
    EXPECT_EQ(QApplication::focusWidget(), m_edit);
    EXPECT_FALSE(m_trend->isActiveWindow());
    EXPECT_EQ(m_trend->Shown().voltage.size(), 30u);
}

TEST_F(TrendWindow, ReopenedItShowsTheHistoryKeptMeanwhile)
{
    // Before any reading: an empty window ending now.
    const int64_t before = QDateTime::currentMSecsSinceEpoch();
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    EXPECT_TRUE(m_trend->Shown().voltage.empty());
    EXPECT_GE(m_trend->Shown().toMs, before);
    EXPECT_EQ(m_trend->Shown().toMs - m_trend->Shown().fromMs, kMinute);
    EXPECT_TRUE(ColumnsWith(Grab(CTrendWindow::kVoltage), kVoltageLine).empty());

    Feed(&m_history, 0, 10000);
    m_trend->Refresh();
    EXPECT_EQ(m_trend->Shown().voltage.size(), 20u);
    const QPoint placed = m_trend->pos();

    // Closed, it is only hidden and draws nothing.
    m_trend->close();
    EXPECT_FALSE(m_trend->isVisible());
    Feed(&m_history, 10000, 20000);
    m_trend->Refresh();
    EXPECT_EQ(m_trend->Shown().voltage.size(), 20u);

    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    EXPECT_EQ(m_trend->Shown().voltage.size(), 40u);
    EXPECT_EQ(m_trend->pos(), placed);

    // It closes with its owner.
    QPointer<CTrendWindow> trend(m_trend);
    m_owner.reset();
    EXPECT_TRUE(trend.isNull());
}

// Runs of columns holding `color`: [first, last] each.
std::vector<std::pair<int, int>> ColumnRuns(const QImage& image, const QColor& color)
{
    std::vector<std::pair<int, int>> runs;
    for (int x : ColumnsWith(image, color)) {
        if (!runs.empty() && runs.back().second == x - 1)
            runs.back().second = x;
        else
            runs.emplace_back(x, x);
    }
    return runs;
}

// The rectangle spanned by the pixels of `color`.
QRect Extent(const QImage& image, const QColor& color)
{
    QRect r;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color)
                r |= QRect(x, y, 1, 1);
    return r;
}

// A minute at two readings a second, the last 20 in alarm at the lowest
// voltage drawn: on the plot's lower edge, and 4 px apart on a plot of the
// window's usual width. Every mark lies wholly inside the frame and apart
// from its neighbours; the size the marks take follows their spacing.
TEST(TrendPlot, AlarmMarksStayWholeInsideTheFrameAndApart)
{
    TrendView view;
    view.fromMs = kUnixBase;
    view.toMs = kUnixBase + kMinute - 500;
    for (int i = 0; i < 120; ++i) {
        const int64_t t = kUnixBase + i * 500;
        const double volts = i >= 100 ? 49.0 : 50.0 + (i % 7) * 0.1;
        view.voltage.push_back({t, volts});
        if (i >= 100)
            view.alarms.push_back({t, volts});
    }
    view.segmentEnds.push_back(view.voltage.size());
    CTrendPlot plot(view, &TrendView::voltage, true, QStringLiteral("Voltage (V)"), 2, kVoltageLine,
                    nullptr);
    for (const int width : {580, 1200, 300}) {
        SCOPED_TRACE(width);
        plot.resize(width, 180);
        plot.Refit();
        const QImage image = plot.grab().toImage();
        const QRect frame = Extent(image, kFrame);
        const QRect marks = Extent(image, kAlarmMark);
        ASSERT_FALSE(marks.isEmpty());
        EXPECT_TRUE(frame.adjusted(1, 1, -1, -1).contains(marks)) << "marks cut by the frame";
        const auto runs = ColumnRuns(image, kAlarmMark);
        EXPECT_EQ(runs.size(), plot.MarksDrawn());
        for (const auto& [first, last] : runs)
            EXPECT_EQ(last - first + 1, plot.MarkDiameter());  // each one whole
        // Neighbours a readable mark apart, or as many as the width allows.
        if (width == 580) {
            EXPECT_EQ(plot.MarksDrawn(), 20u);
            EXPECT_EQ(plot.MarkDiameter(), 3);
        }
        if (width == 1200) {
            EXPECT_EQ(plot.MarksDrawn(), 20u);
            EXPECT_EQ(plot.MarkDiameter(), 7);
        }
        if (width == 300) {  // too narrow for one a reading: fewer, still apart
            EXPECT_GE(plot.MarksDrawn(), 5u);
            EXPECT_LT(plot.MarksDrawn(), 20u);
        }
        EXPECT_EQ(marks.height(), plot.MarkDiameter());  // not cut at the lower edge
    }
}

// A window much wider than high lays its plots side by side.
TEST_F(TrendWindow, AWideLowWindowPutsThePlotsSideBySide)
{
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    EXPECT_FALSE(m_trend->PlotsInRow());
    m_trend->resize(780, 220);
    EXPECT_TRUE(m_trend->PlotsInRow());
    QApplication::processEvents();
    const QRect volts = m_trend->Plot(CTrendWindow::kVoltage)->geometry();
    const QRect power = m_trend->Plot(CTrendWindow::kPower)->geometry();
    EXPECT_EQ(volts.top(), power.top());
    EXPECT_LT(volts.right(), power.left());
    m_trend->resize(420, 500);
    EXPECT_FALSE(m_trend->PlotsInRow());
}

// "Save Picture...": the three plots under a caption naming the meter and
// the span, as a PNG where the operator says; a file that cannot be
// written is refused with the reason.
TEST_F(TrendWindow, SavePictureWritesThePlotsWithACaption)
{
    TempConfig folder;
    Feed(&m_history, 0, 60000);
    m_trend->SetMeterText(QStringLiteral("Meter at address 5 on COM3"));
    m_trend->ShowBesideParent();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_trend));
    const QString from = QDateTime::fromMSecsSinceEpoch(kUnixBase - 500)
                             .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const QStringList caption = m_trend->Caption();
    ASSERT_EQ(caption.size(), 2);
    EXPECT_EQ(caption[0], QStringLiteral("Meter at address 5 on COM3"));
    EXPECT_TRUE(caption[1].startsWith(QStringLiteral("Last minute: %1 to ").arg(from)))
        << caption[1].toStdString();

    auto* save = m_trend->findChild<QPushButton*>(QStringLiteral("savePicture"));
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(save->text(), QStringLiteral("Save Picture..."));
    const QString path = QString::fromStdString(folder.Dir()) + QStringLiteral("/report");
    auto dialog = CModalDriver::Once<QFileDialog>([&](QFileDialog* d) {
        EXPECT_TRUE(d->selectedFiles().value(0).endsWith(QStringLiteral(".png")));
        d->selectFile(path);
        QMetaObject::invokeMethod(d, "accept");
    });
    save->click();
    EXPECT_TRUE(dialog->Done());
    QImageReader reader(path + QStringLiteral(".png"));  // the suffix is added
    EXPECT_EQ(reader.format(), "png");
    const QImage picture = reader.read();
    ASSERT_FALSE(picture.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(picture.width(), 1000);
    EXPECT_GT(picture.height(), 3 * 200);
    EXPECT_FALSE(ColumnsWith(picture, kVoltageLine).empty());

    std::vector<BoxSeen> boxes;
    auto answer = CModalDriver::AnswerBoxes(&boxes);
    dialog = CModalDriver::Once<QFileDialog>([&](QFileDialog* d) {
        d->selectFile(QString::fromStdString(folder.Dir()) + QStringLiteral("/no/such/x.png"));
        QMetaObject::invokeMethod(d, "accept");
    });
    save->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text.startsWith(QStringLiteral("Cannot save the picture to ")))
        << boxes[0].text.toStdString();
}

// Where the trend goes, as geometry: beside the panel where it fits whole,
// else in the free strip where its plots come out largest, never over the
// panel and always on the screen.
TEST(TrendPlacement, BesideWhereItFitsElseWhereThePlotsAreLargest)
{
    const QSize preferred(600, 620);
    const QMargins frame(1, 20, 7, 7);
    auto check = [&](const QRect& screen, const QRect& panel) {
        const ::TrendPlacement at = PlaceTrend(panel, screen, preferred, frame, 8);
        EXPECT_TRUE(screen.contains(at.frame)) << "off the screen";
        EXPECT_FALSE(at.frame.intersects(panel)) << "over the panel";
        EXPECT_EQ(at.frame.size(), at.client + QSize(8, 27));
        return at;
    };
    // A wide screen: to the right, top with the panel's top.
    ::TrendPlacement at = check(QRect(0, 0, 1920, 1080), QRect(100, 200, 704, 333));
    EXPECT_TRUE(at.full);
    EXPECT_EQ(at.frame.topLeft(), QPoint(812, 200));
    // The panel at the right edge: to its left.
    at = check(QRect(0, 0, 1920, 1080), QRect(1200, 100, 704, 333));
    EXPECT_TRUE(at.full);
    EXPECT_EQ(at.frame.right(), 1200 - 8 - 1);
    // 1366 x 768, the panel centred: below it, the plots side by side.
    at = check(QRect(0, 0, 1366, 768), QRect(321, 168, 704, 333));
    EXPECT_FALSE(at.full);
    EXPECT_GT(at.frame.top(), 168 + 333);
    EXPECT_TRUE(TrendPlotsInRow(at.client));
    // 1280 x 1024, the panel centred: a strip too narrow and low for the
    // whole window; the plots in a row below it.
    at = check(QRect(0, 0, 1280, 1024), QRect(278, 296, 704, 333));
    EXPECT_FALSE(at.full);
    EXPECT_TRUE(TrendPlotsInRow(at.client));
    EXPECT_GE(at.client.height(), 200);
    // Panels on a taskbar's screen: the available area only.
    check(QRect(0, 30, 1366, 700), QRect(321, 168, 704, 333));
    // No strip at all: on the screen at least.
    const ::TrendPlacement cramped =
        PlaceTrend(QRect(0, 0, 800, 600), QRect(0, 0, 800, 600), preferred, frame, 8);
    EXPECT_TRUE(QRect(0, 0, 800, 600).contains(cramped.frame));
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CQuorvanMasterApp::InstallLook();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
