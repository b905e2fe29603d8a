#include "CTrendWindow.h"

#include "CTrendPlot.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const int kMinutes[] = {1, 10, 60};
constexpr int kGapBesideParent = 8;

}  // namespace

CTrendWindow::CTrendWindow(const CTrendHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), m_history(history)
{
    setWindowTitle(QStringLiteral("Trend"));
    // Neither showing it nor its updates take the keyboard from the panel.
    setAttribute(Qt::WA_ShowWithoutActivating);
    resize(600, 620);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Show the last"), this));
    m_range = new QComboBox(this);
    m_range->addItems(
        {QStringLiteral("1 minute"), QStringLiteral("10 minutes"), QStringLiteral("60 minutes")});
    top->addWidget(m_range);
    top->addStretch(1);
    layout->addLayout(top);
    m_plots[kVoltage] = new CTrendPlot(m_view, &TrendView::voltage, true,
                                       QStringLiteral("Voltage (V)"), 2, QColor(0, 90, 200), this);
    m_plots[kCurrent] = new CTrendPlot(m_view, &TrendView::current, false,
                                       QStringLiteral("Current (A)"), 2, QColor(0, 140, 60), this);
    m_plots[kPower] = new CTrendPlot(m_view, &TrendView::power, false, QStringLiteral("Power (W)"),
                                     1, QColor(200, 110, 0), this);
    for (CTrendPlot* plot : m_plots)
        layout->addWidget(plot, 1);
    m_status = new QLabel(QStringLiteral("Not recording"), this);
    layout->addWidget(m_status);

    connect(m_range, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
}

void CTrendWindow::ShowBesideParent()
{
    if (!m_placed && parentWidget() != nullptr) {
        const QRect owner = parentWidget()->window()->frameGeometry();
        QPoint at(owner.right() + 1 + kGapBesideParent, owner.top());
        // On the owner's screen: to its right, else to its left, else as far
        // right as the screen allows.
        if (const QScreen* screen = parentWidget()->screen()) {
            const QRect room = screen->availableGeometry();
            if (at.x() + width() - 1 > room.right()) {
                const int left = owner.left() - kGapBesideParent - width();
                at.setX(left >= room.left() ? left
                                            : std::max(room.left(), room.right() + 1 - width()));
            }
            at.setY(
                std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - height())));
        }
        move(at);
        m_placed = true;
    }
    show();
}

void CTrendWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
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

void CTrendWindow::SetStatusText(const QString& text)
{
    if (text != m_status->text())
        m_status->setText(text);
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
