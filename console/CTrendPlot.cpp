#include "CTrendPlot.h"

#include <QDateTime>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Time steps between labelled ticks, ms.
const int64_t kTimeSteps[] = {1000,   2000,   5000,   10000,  15000,   30000,  60000,
                              120000, 300000, 600000, 900000, 1800000, 3600000};
constexpr int kMaxTimeTicks = 7;
constexpr int kValueTicks = 4;  // intervals wanted on the value axis
constexpr qsizetype kMaxLabels = 64;
// Alarm mark diameters, px; odd, so that a mark centres on a pixel.
constexpr int kMaxMark = 7;
constexpr int kMinMark = 3;
// The data keep the largest mark wholly inside the frame.
constexpr int kDataInset = kMaxMark / 2 + 1;

const QColor kGrid(225, 225, 225);
const QColor kFrame(160, 160, 160);
const QColor kAlarm(230, 0, 0);

// 1, 2 or 5 times a power of ten, at least `raw`.
double NiceStep(double raw)
{
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    return (f <= 1.0 ? 1.0 : f <= 2.0 ? 2.0 : f <= 5.0 ? 5.0 : 10.0) * power;
}

int64_t FloorTo(int64_t value, int64_t step)
{
    const int64_t q = value / step;
    return (value % step != 0 && value < 0 ? q - 1 : q) * step;
}

// Maps times and values onto the data area: the view's first moment on its
// left column, the axis's low and high on its bottom and top rows.
struct Mapping {
    Mapping(const QRect& data, int64_t fromMs, int64_t toMs, double axisLow, double axisHigh)
        : left(data.left()),
          bottom(data.bottom()),
          from(fromMs),
          scaleX((data.width() - 1) / static_cast<double>(std::max<int64_t>(toMs - fromMs, 1))),
          scaleY((data.height() - 1) / (axisHigh - axisLow)),
          low(axisLow)
    {
    }
    double X(int64_t ms) const { return left + (ms - from) * scaleX; }
    double Y(double value) const { return bottom - (value - low) * scaleY; }
    QPointF At(const TrendPoint& p) const { return QPointF(X(p.ms), Y(p.value)); }

    int left;
    int bottom;
    int64_t from;
    double scaleX;
    double scaleY;
    double low;
};

}  // namespace

CTrendPlot::CTrendPlot(const TrendView& view, Series series, bool marks, const QString& title,
                       int decimals, const QColor& color, QWidget* parent)
    : QWidget(parent),
      m_title(title),
      m_decimals(decimals),
      m_color(color),
      m_view(view),
      m_series(series),
      m_marks(marks)
{
    // Every pixel is painted each time.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CTrendPlot::Refit()
{
    FitValueAxis();
    update();
}

void CTrendPlot::FitValueAxis()
{
    const std::vector<TrendPoint>& points = m_view.*m_series;
    double lo = 0.0;
    double hi = 0.0;
    if (!points.empty()) {
        const auto [low, high] = std::minmax_element(
            points.begin(), points.end(),
            [](const TrendPoint& a, const TrendPoint& b) { return a.value < b.value; });
        lo = low->value;
        hi = high->value;
    }
    // A steady value sits mid-height on a span of ten of the meter's steps.
    const double minSpan = 10.0 * std::pow(10.0, -m_decimals);
    if (hi - lo < minSpan) {
        const double middle = (lo + hi) / 2.0;
        lo = std::max(0.0, middle - minSpan / 2.0);
        hi = lo + minSpan;
    }
    m_step = NiceStep((hi - lo) / kValueTicks);
    m_low = std::floor(lo / m_step) * m_step;
    m_high = std::ceil(hi / m_step) * m_step;
    if (m_high <= m_low)
        m_high = m_low + m_step;
}

QStaticText CTrendPlot::Label(const QString& text)
{
    auto found = m_labels.find(text);
    if (found != m_labels.end())
        return *found;
    if (m_labels.size() >= kMaxLabels)
        m_labels.clear();
    QStaticText label(text);
    label.setTextFormat(Qt::PlainText);
    label.prepare(QTransform(), font());
    return *m_labels.insert(text, label);
}

void CTrendPlot::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        m_labels.clear();
    QWidget::changeEvent(event);
}

QRect CTrendPlot::PlotArea(const QRect& bounds)
{
    const int lineHeight = fontMetrics().height();
    // The same left margin on every plot keeps their time axes aligned.
    const int left = static_cast<int>(Label(QStringLiteral("88888.88")).size().width()) + 10;
    const int right = static_cast<int>(Label(QStringLiteral("00:00:00")).size().width()) / 2 + 4;
    return bounds.adjusted(left, lineHeight + 4, -right, -(lineHeight + 6));
}

QRect CTrendPlot::DataArea(const QRect& area)
{
    return area.adjusted(kDataInset, kDataInset, -kDataInset, -kDataInset);
}

void CTrendPlot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Render(painter, rect());
}

void CTrendPlot::Render(QPainter& painter, const QRect& bounds)
{
    painter.save();
    painter.setFont(font());
    painter.fillRect(bounds, palette().window());
    const QRect area = PlotArea(bounds);
    if (DataArea(area).width() >= 10 && DataArea(area).height() >= 10) {
        painter.fillRect(area, palette().base());
        DrawAxes(painter, area);
        painter.setClipRect(area);
        DrawData(painter, area);
        DrawMarks(painter, area);
        painter.setClipping(false);
        painter.setPen(kFrame);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(area.adjusted(0, 0, -1, -1));
    }
    painter.restore();
}

void CTrendPlot::DrawAxes(QPainter& painter, const QRect& area)
{
    painter.setPen(palette().windowText().color());
    painter.drawStaticText(area.left(), area.top() - fontMetrics().height() - 3, Label(m_title));

    // Value axis: round numbers, as many decimals as the step needs.
    const int decimals =
        std::clamp(static_cast<int>(-std::floor(std::log10(m_step) + 1e-9)), 0, m_decimals);
    const Mapping map(DataArea(area), m_view.fromMs, m_view.toMs, m_low, m_high);
    const int ticks = static_cast<int>(std::lround((m_high - m_low) / m_step));
    for (int i = 0; i <= ticks; ++i) {
        const double value = m_low + i * m_step;
        const int y = static_cast<int>(std::lround(map.Y(value)));
        painter.setPen(kGrid);
        painter.drawLine(area.left(), y, area.right(), y);
        const QStaticText label = Label(QString::number(value, 'f', decimals));
        painter.setPen(palette().windowText().color());
        painter.drawStaticText(
            QPointF(area.left() - 6 - label.size().width(), y - label.size().height() / 2), label);
    }

    // Time axis: local clock time at round steps.
    if (m_view.toMs <= m_view.fromMs)
        return;
    const int64_t from = m_view.fromMs;
    const int64_t span = m_view.toMs - from;
    // As many labels as fit side by side with room between them.
    const int labelWidth = static_cast<int>(Label(QStringLiteral("00:00:00")).size().width());
    const int64_t maxTicks = std::clamp(area.width() / (labelWidth + 16), 2, kMaxTimeTicks);
    int64_t step = kTimeSteps[std::size(kTimeSteps) - 1];
    for (int64_t s : kTimeSteps) {
        if (span / s <= maxTicks) {
            step = s;
            break;
        }
    }
    const QString format = step < 60000 ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm");
    // Ticks fall on round local times (the offset at the axis's end).
    const int64_t offset =
        static_cast<int64_t>(QDateTime::fromMSecsSinceEpoch(m_view.toMs).offsetFromUtc()) * 1000;
    for (int64_t t = FloorTo(from + offset, step) + step - offset; t <= m_view.toMs; t += step) {
        const int x = static_cast<int>(std::lround(map.X(t)));
        painter.setPen(kGrid);
        painter.drawLine(x, area.top(), x, area.bottom());
        const QStaticText label = Label(QDateTime::fromMSecsSinceEpoch(t).toString(format));
        painter.setPen(palette().windowText().color());
        painter.drawStaticText(QPointF(x - label.size().width() / 2, area.bottom() + 4), label);
    }
}

void CTrendPlot::DrawData(QPainter& painter, const QRect& area) const
{
    if (m_view.toMs <= m_view.fromMs)
        return;
    const std::vector<TrendPoint>& points = m_view.*m_series;
    const Mapping map(DataArea(area), m_view.fromMs, m_view.toMs, m_low, m_high);
    auto at = [&](const TrendPoint& p) { return map.At(p); };

    // One-pixel lines without antialiasing take the raster engine's fast
    // path; a wider or smoothed stroke costs several times as much.
    QPen pen(m_color, 1);
    pen.setCosmetic(true);
    painter.setPen(pen);
    QPolygonF line;
    size_t begin = 0;
    for (size_t end : m_view.segmentEnds) {
        if (end - begin == 1) {
            // A lone reading between two gaps: a dot, as no line reaches it.
            painter.setBrush(m_color);
            painter.drawRect(QRectF(at(points[begin]) - QPointF(1, 1), QSizeF(2, 2)));
        } else {
            line.clear();
            for (size_t i = begin; i < end; ++i)
                line.append(at(points[i]));
            painter.drawPolyline(line);
        }
        begin = end;
    }
}

void CTrendPlot::DrawMarks(QPainter& painter, const QRect& area)
{
    m_markDiameter = 0;
    m_marksDrawn = 0;
    const std::vector<TrendPoint>& alarms = m_view.alarms;
    if (!m_marks || alarms.empty() || m_view.toMs <= m_view.fromMs)
        return;
    const Mapping map(DataArea(area), m_view.fromMs, m_view.toMs, m_low, m_high);
    // The closest neighbours set the size, a free column between them.
    double spacing = kMaxMark + 1;
    for (size_t i = 1; i < alarms.size(); ++i)
        spacing = std::min(spacing, map.X(alarms[i].ms) - map.X(alarms[i - 1].ms));
    int diameter = kMaxMark;
    while (diameter > kMinMark && diameter + 1 > spacing)
        diameter -= 2;
    m_markDiameter = diameter;

    // Crisp discs of whole pixel rows, centred on a pixel: smoothed ones
    // this small bleed together, and a plain ellipse comes out a row short.
    const int r = diameter / 2;
    int halfWidths[kMaxMark];
    for (int dy = -r; dy <= r; ++dy)
        halfWidths[dy + r] = static_cast<int>(std::sqrt((r + 0.5) * (r + 0.5) - dy * dy));
    long lastX = std::numeric_limits<long>::min() / 2;
    for (const TrendPoint& p : alarms) {
        const long x = std::lround(map.X(p.ms));
        if (x - lastX < diameter + 1)
            continue;  // within the last mark's reach: that one stands for it
        const int cx = static_cast<int>(x);
        const int cy = static_cast<int>(std::lround(map.Y(p.value)));
        for (int dy = -r; dy <= r; ++dy) {
            const int h = halfWidths[dy + r];
            painter.fillRect(QRect(cx - h, cy + dy, 2 * h + 1, 1), kAlarm);
        }
        lastX = x;
        ++m_marksDrawn;
    }
}
