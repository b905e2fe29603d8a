// Where the trend window goes: never over the panel, always on the screen.
//
// Beside the panel where the whole window fits (right, else left), else
// below or above it; else, smaller, in the free strip where its plots come
// out largest: a strip beside the panel keeps them stacked, a wide, low one
// below or above puts them side by side (the window lays them out by its
// shape, TrendPlotsInRow). Only a screen with no room at all beside,
// below or above the panel leaves the window there at any size.
//
// Frame rectangles throughout: the window manager's decorations included.
// Pure geometry, for any toolkit window.
#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

// The plots side by side, not stacked: a window much wider than high.
bool TrendPlotsInRow(const QSize& client);

struct TrendPlacement {
    QRect frame;        // where the window's frame goes
    QSize client;       // the window's own size inside it
    bool full = false;  // at its preferred size
};

// `panel`: the panel's frame; `screen`: the screen's available area;
// `preferred`: the window's own size when there is room; `frame`: the
// decorations around a window (as the panel has them); `gap`: between the
// panel and the window.
TrendPlacement PlaceTrend(const QRect& panel, const QRect& screen, const QSize& preferred,
                          const QMargins& frame, int gap);
