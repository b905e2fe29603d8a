// The trend window: voltage, current and power over the last 1, 10 or 60
// minutes, drawn from a CTrendHistory the caller owns and feeds, with a
// status line at the bottom. Drawn with QPainter (CTrendPlot): Qt Charts
// cost several times the CPU budget at two updates a second (see
// docs/PERFORMANCE.md).
//
// A non-modal window of its parent (created with the main window as parent,
// it closes with it). It never takes the focus on its own: showing it and
// every refresh leave the active window alone. Closed, it only hides; shown
// again, it draws what the history holds by then.
//
// UI thread only. Refresh() costs nothing while the window is hidden.
#pragma once

#include "CTrendHistory.h"

#include <QString>
#include <QWidget>

class CTrendPlot;
class QComboBox;
class QLabel;

class CTrendWindow : public QWidget {
    Q_OBJECT

public:
    enum Quantity { kVoltage = 0, kCurrent = 1, kPower = 2, kQuantityCount = 3 };

    // Points per series at most, whatever the window's width.
    static constexpr size_t kMaxPoints = 600;

    // `history` must outlive this window.
    CTrendWindow(const CTrendHistory& history, QWidget* parent);

    // Shows the window without activating it: beside its parent the first
    // time, where the operator left it afterwards.
    void ShowBesideParent();
    // Redraws from the history; call after each good or failed poll.
    void Refresh();

    void SetStatusText(const QString& text);
    QString StatusText() const;

    // 1, 10 or 60.
    int WindowMinutes() const;
    void SetWindowMinutes(int minutes);

    // What is drawn now.
    const TrendView& Shown() const { return m_view; }
    CTrendPlot* Plot(Quantity quantity) const { return m_plots[quantity]; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    const CTrendHistory& m_history;
    TrendView m_view;  // the plots draw from it; reused between refreshes
    CTrendPlot* m_plots[kQuantityCount] = {};
    QComboBox* m_range = nullptr;
    QLabel* m_status = nullptr;
    bool m_placed = false;
};
