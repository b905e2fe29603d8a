#include "TrendPlacement.h"

#include <algorithm>
#include <array>

namespace {

// A plot's own shape: wide and low. Three of them stacked suit a window
// about as high as wide; side by side, one over three times as wide.
const QSize kPlot(600, 180);
constexpr double kRowAspect = 10.0 / 3.0;
// What the window has besides its plots (margins, the range selector, the
// status line, the gaps between plots), near enough to compare strips.
const QSize kChrome(20, 80);
constexpr int kPlotGap = 6;

enum class Side { kRight, kLeft, kBelow, kAbove };

struct Strip {
    Side side;
    QRect room;
};

// How large each plot comes out in a window of `client`, against its own
// size (1: as large as it wants).
double PlotScale(const QSize& client)
{
    const bool row = TrendPlotsInRow(client);
    const double w = row ? (client.width() - kChrome.width() - 2 * kPlotGap) / 3.0
                         : client.width() - kChrome.width();
    const double h = row ? client.height() - kChrome.height()
                         : (client.height() - kChrome.height() - 2 * kPlotGap) / 3.0;
    return std::min(w / kPlot.width(), h / kPlot.height());
}

// A frame of `size` in `strip`, as near the panel's edge as it goes.
QRect Within(const Strip& strip, const QRect& panel, const QSize& size)
{
    const QRect& r = strip.room;
    const int y =
        std::clamp(panel.top(), r.top(), std::max(r.top(), r.bottom() + 1 - size.height()));
    const int x =
        std::clamp(panel.left(), r.left(), std::max(r.left(), r.right() + 1 - size.width()));
    switch (strip.side) {
        case Side::kRight: return QRect(QPoint(r.left(), y), size);
        case Side::kLeft: return QRect(QPoint(r.right() + 1 - size.width(), y), size);
        case Side::kBelow: return QRect(QPoint(x, r.top()), size);
        case Side::kAbove: return QRect(QPoint(x, r.bottom() + 1 - size.height()), size);
    }
    return QRect(r.topLeft(), size);
}

}  // namespace

bool TrendPlotsInRow(const QSize& client)
{
    return client.width() > kRowAspect * client.height();
}

TrendPlacement PlaceTrend(const QRect& panel, const QRect& screen, const QSize& preferred,
                          const QMargins& frame, int gap)
{
    const QSize decor(frame.left() + frame.right(), frame.top() + frame.bottom());
    const std::array<Strip, 4> strips = {{
        {Side::kRight, QRect(QPoint(panel.right() + 1 + gap, screen.top()), screen.bottomRight())},
        {Side::kLeft, QRect(screen.topLeft(), QPoint(panel.left() - 1 - gap, screen.bottom()))},
        {Side::kBelow,
         QRect(QPoint(screen.left(), panel.bottom() + 1 + gap), screen.bottomRight())},
        {Side::kAbove, QRect(screen.topLeft(), QPoint(screen.right(), panel.top() - 1 - gap))},
    }};

    for (const Strip& strip : strips) {
        const QSize whole = preferred + decor;
        if (strip.room.width() >= whole.width() && strip.room.height() >= whole.height())
            return {Within(strip, panel, whole), preferred, true};
    }

    // Smaller: the plots stacked, or side by side at most as large as they
    // want, wherever they come out largest.
    const QSize row(3 * kPlot.width() + 2 * kPlotGap + kChrome.width(),
                    kPlot.height() + kChrome.height());
    TrendPlacement best;
    double bestScale = 0.0;
    for (const Strip& strip : strips) {
        const QSize inside = strip.room.size() - decor;
        if (inside.width() <= 0 || inside.height() <= 0)
            continue;
        for (const QSize& shape : {preferred, row}) {
            const QSize client = shape.boundedTo(inside);
            const double scale = PlotScale(client);
            if (scale > bestScale) {
                bestScale = scale;
                best = {Within(strip, panel, client + decor), client, false};
            }
        }
    }
    if (bestScale > 0.0)
        return best;

    // No room beside, below or above the panel: on the screen at least.
    const QSize client = preferred.boundedTo(screen.size() - decor);
    const QRect whole(QPoint(screen.right() + 1 - client.width() - decor.width(), screen.top()),
                      client + decor);
    return {whole, client, false};
}
