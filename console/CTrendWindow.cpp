#include "CTrendWindow.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QList>
#include <QPointF>
#include <QScatterSeries>
#include <QScreen>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <vector>

namespace {

const int kMinutes[] = {1, 10, 60};

struct QuantityLook {
    const char* title;
    const char* labelFormat;
    QColor color;
};

const QuantityLook kLooks[CTrendWindow::kQuantityCount] = {
    {"Voltage (V)", "%.2f", QColor(0, 90, 200)},
    {"Current (A)", "%.2f", QColor(0, 140, 60)},
    {"Power (W)", "%.1f", QColor(200, 110, 0)},
};

constexpr int kGapBesideParent = 8;

}  // namespace

// One quantity's chart. Lines are kept in a pool, one per segment between
// gaps, so a refresh only replaces points.
struct CTrendWindow::Plot {
    QChartView* view = nullptr;
    QChart* chart = nullptr;
    QDateTimeAxis* time = nullptr;
    QValueAxis* values = nullptr;
    std::vector<QLineSeries*> lines;
    QScatterSeries* alarms = nullptr;  // voltage only
    QColor color;

    QLineSeries* Line(size_t i)
    {
        while (lines.size() <= i) {
            auto* line = new QLineSeries(chart);
            line->setPen(QPen(color, 1.5));
            chart->addSeries(line);
            line->attachAxis(time);
            line->attachAxis(values);
            lines.push_back(line);
        }
        return lines[i];
    }

    void Draw(const std::vector<TrendPoint>& points, const TrendView& shown)
    {
        size_t begin = 0;
        size_t used = 0;
        double low = 0.0;
        double high = 0.0;
        for (size_t end : shown.segmentEnds) {
            QList<QPointF> segment;
            segment.reserve(static_cast<qsizetype>(end - begin));
            for (size_t i = begin; i < end; ++i)
                segment.append(QPointF(points[i].ms, points[i].value));
            QLineSeries* line = Line(used++);
            // A lone reading between two gaps has no line: show it as a dot.
            line->setPointsVisible(segment.size() == 1);
            line->replace(segment);
            begin = end;
        }
        for (size_t i = used; i < lines.size(); ++i)
            if (lines[i]->count() > 0)
                lines[i]->clear();
        if (!points.empty()) {
            const auto [lo, hi] = std::minmax_element(
                points.begin(), points.end(),
                [](const TrendPoint& a, const TrendPoint& b) { return a.value < b.value; });
            low = lo->value;
            high = hi->value;
        }
        if (alarms != nullptr) {
            QList<QPointF> marks;
            marks.reserve(static_cast<qsizetype>(shown.alarms.size()));
            for (const TrendPoint& p : shown.alarms)
                marks.append(QPointF(p.ms, p.value));
            alarms->replace(marks);
        }
        // A flat line sits in the middle of a small range, not on an edge.
        const double pad = std::max((high - low) * 0.05, std::max(0.01, high * 0.01));
        values->setRange(std::max(0.0, low - pad), high + pad);
        time->setRange(QDateTime::fromMSecsSinceEpoch(shown.fromMs),
                       QDateTime::fromMSecsSinceEpoch(shown.toMs));
    }
};

CTrendWindow::CTrendWindow(const CTrendHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), m_history(history)
{
    setWindowTitle(QStringLiteral("Trend"));
    // Neither showing it nor its updates take the keyboard from the panel.
    setAttribute(Qt::WA_ShowWithoutActivating);
    resize(640, 620);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Show the last"), this));
    m_range = new QComboBox(this);
    m_range->addItems(
        {QStringLiteral("1 minute"), QStringLiteral("10 minutes"), QStringLiteral("60 minutes")});
    top->addWidget(m_range);
    top->addStretch(1);
    layout->addLayout(top);
    BuildPlots();
    for (auto& plot : m_plots)
        layout->addWidget(plot->view, 1);
    m_status = new QLabel(QStringLiteral("Not recording"), this);
    layout->addWidget(m_status);

    connect(m_range, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
}

CTrendWindow::~CTrendWindow() = default;

void CTrendWindow::BuildPlots()
{
    for (int q = 0; q < kQuantityCount; ++q) {
        auto plot = std::make_unique<Plot>();
        plot->color = kLooks[q].color;
        plot->chart = new QChart;
        plot->chart->legend()->hide();
        plot->chart->setMargins(QMargins(4, 4, 4, 4));
        plot->chart->setBackgroundRoundness(0);
        plot->time = new QDateTimeAxis(plot->chart);
        plot->time->setFormat(QStringLiteral("hh:mm:ss"));
        plot->time->setTickCount(7);
        plot->values = new QValueAxis(plot->chart);
        plot->values->setTitleText(QString::fromLatin1(kLooks[q].title));
        plot->values->setLabelFormat(QString::fromLatin1(kLooks[q].labelFormat));
        plot->values->setTickCount(5);
        plot->chart->addAxis(plot->time, Qt::AlignBottom);
        plot->chart->addAxis(plot->values, Qt::AlignLeft);
        if (q == kVoltage) {
            plot->alarms = new QScatterSeries(plot->chart);
            plot->alarms->setName(QStringLiteral("Voltage alarm"));
            plot->alarms->setColor(Qt::red);
            plot->alarms->setBorderColor(Qt::red);
            plot->alarms->setMarkerSize(7);
            plot->chart->addSeries(plot->alarms);
            plot->alarms->attachAxis(plot->time);
            plot->alarms->attachAxis(plot->values);
        }
        plot->view = new QChartView(plot->chart, this);
        plot->view->setFocusPolicy(Qt::NoFocus);
        plot->view->setMinimumHeight(150);
        m_plots[q] = std::move(plot);
    }
}

void CTrendWindow::ShowBesideParent()
{
    if (!m_placed && parentWidget() != nullptr) {
        const QRect owner = parentWidget()->window()->frameGeometry();
        QPoint at(owner.right() + 1 + kGapBesideParent, owner.top());
        // Keep it on the owner's screen; to its left when there is no room.
        if (const QScreen* screen = parentWidget()->screen()) {
            const QRect room = screen->availableGeometry();
            if (at.x() + width() > room.right())
                at.setX(std::max(room.left(), owner.left() - kGapBesideParent - width()));
            at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() - height())));
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
    m_history.View(WindowMinutes() * 60 * 1000LL, kMaxPoints, &m_view);
    Draw();
}

void CTrendWindow::Draw()
{
    if (!m_history.HasReadings()) {
        // Nothing measured yet: an empty window ending now.
        m_view.toMs = QDateTime::currentMSecsSinceEpoch();
        m_view.fromMs = m_view.toMs - WindowMinutes() * 60 * 1000LL;
    }
    m_plots[kVoltage]->Draw(m_view.voltage, m_view);
    m_plots[kCurrent]->Draw(m_view.current, m_view);
    m_plots[kPower]->Draw(m_view.power, m_view);
    const QString format =
        WindowMinutes() >= 60 ? QStringLiteral("hh:mm") : QStringLiteral("hh:mm:ss");
    for (auto& plot : m_plots)
        if (plot->time->format() != format)
            plot->time->setFormat(format);
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

QChart* CTrendWindow::Chart(Quantity quantity) const
{
    return m_plots[quantity]->chart;
}
