#include "CTrendWindow.h"

#include "CQuorvanMasterApp.h"
#include "CTrendPlot.h"
#include "MessageBox.h"
#include "SaveDialog.h"
#include "TrendPlacement.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QImageWriter>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace {

const int kMinutes[] = {1, 10, 60};
// The saved picture: the plots at a size that reads well in a report.
constexpr int kPictureWidth = 1000;
constexpr int kPicturePlotHeight = 240;
constexpr int kPicturePadding = 12;
// A window manager frames this window as it frames the panel, and may give
// a resizable window a grip or a wider border besides (openbox: a 4 px grip
// at the bottom); room is kept for that.
constexpr int kGripRoom = 6;

// The decorations around a window, as Qt knows them, but at least a title
// bar and thin borders: just after a window manager framed a window, Qt
// may know none yet, or have read them off a frame still being built, and
// keep that. Planning for more than there is only costs a few pixels.
QMargins Decorations(const QWidget* window)
{
    const QMargins least(6, 32, 6, 6);
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    const QMargins known(inner.left() - frame.left(), inner.top() - frame.top(),
                         frame.right() - inner.right(), frame.bottom() - inner.bottom());
    auto side = [](int k, int l) { return k >= 0 && k <= 64 ? std::max(k, l) : l; };
    return QMargins(side(known.left(), least.left()), side(known.top(), least.top()),
                    side(known.right(), least.right()), side(known.bottom(), least.bottom()));
}

QString LocalTime(int64_t ms, const char* format)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QString::fromLatin1(format));
}

}  // namespace

CTrendWindow::CTrendWindow(const CTrendHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), m_history(history)
{
    setWindowTitle(QStringLiteral("Trend"));
    // Neither showing it nor its updates take the keyboard from the panel.
    setAttribute(Qt::WA_ShowWithoutActivating);
    // Set, so that the plots' own minimum never grows the window past the
    // room it was given.
    setMinimumSize(kMinimumSize);
    resize(kPreferredSize);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Show the last"), this));
    m_range = new QComboBox(this);
    m_range->addItems(
        {QStringLiteral("1 minute"), QStringLiteral("10 minutes"), QStringLiteral("60 minutes")});
    top->addWidget(m_range);
    top->addStretch(1);
    auto* save = new QPushButton(QStringLiteral("Save Picture..."), this);
    save->setObjectName(QStringLiteral("savePicture"));
    save->setAutoDefault(false);
    top->addWidget(save);
    layout->addLayout(top);
    m_plots[kVoltage] = new CTrendPlot(m_view, &TrendView::voltage, true,
                                       QStringLiteral("Voltage (V)"), 2, QColor(0, 90, 200), this);
    m_plots[kCurrent] = new CTrendPlot(m_view, &TrendView::current, false,
                                       QStringLiteral("Current (A)"), 2, QColor(0, 140, 60), this);
    m_plots[kPower] = new CTrendPlot(m_view, &TrendView::power, false, QStringLiteral("Power (W)"),
                                     1, QColor(200, 110, 0), this);
    m_plotsLayout = new QBoxLayout(QBoxLayout::TopToBottom);
    for (CTrendPlot* plot : m_plots)
        m_plotsLayout->addWidget(plot, 1);
    layout->addLayout(m_plotsLayout, 1);
    m_status = new QLabel(this);
    // A long file name is cut, never widens the window.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_status);
    SetStatusText(QStringLiteral("Not recording"));

    connect(m_range, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
    connect(save, &QPushButton::clicked, this, &CTrendWindow::OnSavePicture);
}

void CTrendWindow::ShowBesideParent()
{
    if (!m_placed && parentWidget() != nullptr) {
        const QWidget* panel = parentWidget()->window();
        if (const QScreen* screen = panel->screen()) {
            // This window's decorations are not known before it is shown:
            // a window manager gives it the panel's, and maybe a grip.
            const QMargins decorations = Decorations(panel);
            const QMargins frame = decorations + QMargins(0, 0, kGripRoom, kGripRoom);
            const TrendPlacement at =
                PlaceTrend(panel->geometry() + decorations, screen->availableGeometry(), size(),
                           frame, kGapBesideParent);
            ArrangePlots(at.client);
            resize(at.client);
            move(at.frame.topLeft());  // a window's position is its frame's
        }
        m_placed = true;
    }
    show();
}

bool CTrendWindow::PlotsInRow() const
{
    return m_plotsLayout->direction() == QBoxLayout::LeftToRight;
}

void CTrendWindow::ArrangePlots(const QSize& client)
{
    const QBoxLayout::Direction direction =
        TrendPlotsInRow(client) ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (m_plotsLayout->direction() != direction)
        m_plotsLayout->setDirection(direction);
}

void CTrendWindow::resizeEvent(QResizeEvent* event)
{
    ArrangePlots(size());
    QWidget::resizeEvent(event);
}

void CTrendWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
}

void CTrendWindow::closeEvent(QCloseEvent* event)
{
    // Closing with the panel: a file dialog of its own goes first.
    if (m_saveDialog)
        m_saveDialog->reject();
    QWidget::closeEvent(event);
}

void CTrendWindow::Refresh()
{
    if (!isVisible())
        return;
    const int64_t windowMs = WindowMinutes() * 60 * 1000LL;
    m_history.View(windowMs, kMaxPoints, &m_view);
    if (!m_history.HasReadings()) {
        // Nothing measured yet: an empty window ending now.
        m_view.toMs = QDateTime::currentMSecsSinceEpoch();
        m_view.fromMs = m_view.toMs - windowMs;
    }
    for (CTrendPlot* plot : m_plots)
        plot->Refit();
}

void CTrendWindow::SetMeterText(const QString& meter)
{
    m_meter = meter;
    ShowStatus();
}

void CTrendWindow::SetStatusText(const QString& text)
{
    m_statusText = text;
    ShowStatus();
}

void CTrendWindow::ShowStatus()
{
    const QString line =
        m_meter.isEmpty() ? m_statusText : QStringLiteral("%1  ·  %2").arg(m_meter, m_statusText);
    if (line != m_status->text())
        m_status->setText(line);
}

QString CTrendWindow::StatusText() const
{
    return m_status->text();
}

int CTrendWindow::WindowMinutes() const
{
    return kMinutes[std::clamp(m_range->currentIndex(), 0, 2)];
}

void CTrendWindow::SetWindowMinutes(int minutes)
{
    for (int i = 0; i < 3; ++i)
        if (kMinutes[i] == minutes)
            m_range->setCurrentIndex(i);
}

QStringList CTrendWindow::Caption() const
{
    const int minutes = WindowMinutes();
    const QString span = minutes == 1 ? QStringLiteral("Last minute")
                                      : QStringLiteral("Last %1 minutes").arg(minutes);
    const bool sameDay =
        LocalTime(m_view.fromMs, "yyyy-MM-dd") == LocalTime(m_view.toMs, "yyyy-MM-dd");
    return {m_meter.isEmpty() ? QStringLiteral("Quorvan meter") : m_meter,
            QStringLiteral("%1: %2 to %3 %4")
                .arg(span, LocalTime(m_view.fromMs, "yyyy-MM-dd hh:mm:ss"),
                     LocalTime(m_view.toMs, sameDay ? "hh:mm:ss" : "yyyy-MM-dd hh:mm:ss"),
                     QDateTime::fromMSecsSinceEpoch(m_view.toMs).timeZoneAbbreviation())};
}

QImage CTrendWindow::Picture()
{
    Refresh();
    const QFontMetrics metrics(font());
    const QStringList caption = Caption();
    const int captionHeight = static_cast<int>(caption.size()) * metrics.lineSpacing();
    QImage image(
        kPictureWidth,
        2 * kPicturePadding + captionHeight + kPicturePadding + kQuantityCount * kPicturePlotHeight,
        QImage::Format_RGB32);
    // The screen's resolution, so that the text has the size it has there.
    const int dotsPerMeter = qRound(logicalDpiY() / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    image.fill(palette().window().color());

    QPainter painter(&image);
    painter.setFont(font());
    painter.setPen(palette().windowText().color());
    int y = kPicturePadding;
    QFont heading = font();
    heading.setBold(true);  // the meter, as a report's heading
    for (const QString& line : caption) {
        painter.setFont(line == caption.front() ? heading : font());
        painter.drawText(kPicturePadding, y + metrics.ascent(), line);
        y += metrics.lineSpacing();
    }
    y += kPicturePadding;
    for (CTrendPlot* plot : m_plots) {
        plot->Render(painter, QRect(0, y, kPictureWidth, kPicturePlotHeight));
        y += kPicturePlotHeight;
    }
    return image;
}

bool CTrendWindow::SavePicture(const QString& path, QString* error)
{
    QImageWriter writer(path, "png");
    if (writer.write(Picture()))
        return true;
    *error = writer.errorString();
    return false;
}

void CTrendWindow::OnSavePicture()
{
    QFileDialog* dlg =
        MakeSaveDialog(this, QStringLiteral("Save Picture"), QStringLiteral("quorvan-trend"),
                       QStringLiteral("png"), QStringLiteral("PNG pictures (*.png)"));
    m_saveDialog = dlg;
    const QPointer<CTrendWindow> self(this);
    const int result = dlg->exec();
    if (self.isNull())
        return;  // the dialog went with this window
    const QString path = dlg->selectedFiles().value(0);
    delete dlg;
    if (result != QDialog::Accepted || path.isEmpty())
        return;
    QString error;
    if (!SavePicture(path, &error))
        ExecMessageBox(MakeMessageBox(
            CQuorvanMasterApp::ProgramName(), QMessageBox::Warning,
            QStringLiteral("Cannot save the picture to %1: %2").arg(path, error), QString(), this));
}
