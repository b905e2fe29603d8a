// The trend window: voltage, current and power over the last 1, 10 or 60
// minutes, drawn from a CTrendHistory the caller owns and feeds, with a
// status line at the bottom (the meter, the recording). Drawn with QPainter
// (CTrendPlot): Qt Charts cost several times the CPU budget at two updates
// a second (see docs/PERFORMANCE.md).
//
// A non-modal window of its parent (created with the main window as parent,
// it closes with it). It never takes the focus on its own: showing it and
// every refresh leave the active window alone. Closed, it only hides; shown
// again, it draws what the history holds by then.
//
// The first time it is shown it is placed by PlaceTrend (TrendPlacement.h):
// never over the panel, on the screen, smaller where it must be; a window
// much wider than high lays its plots side by side. "Save Picture..." saves
// the three plots as a PNG with a caption naming the meter and the time span,
// for a commissioning report.
//
// UI thread only. Refresh() costs nothing while the window is hidden.
#pragma once

#include "CTrendHistory.h"

#include <QImage>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>

class CTrendPlot;
class QBoxLayout;
class QComboBox;
class QFileDialog;
class QLabel;

class CTrendWindow : public QWidget {
    Q_OBJECT

public:
    enum Quantity { kVoltage = 0, kCurrent = 1, kPower = 2, kQuantityCount = 3 };

    // Points per series at most, whatever the window's width.
    static constexpr size_t kMaxPoints = 600;
    // Its size where the screen has room; smaller it goes down to kMinimumSize.
    static constexpr QSize kPreferredSize{600, 620};
    static constexpr QSize kMinimumSize{240, 200};
    // Between the panel's frame and the window's.
    static constexpr int kGapBesideParent = 8;

    // `history` must outlive this window.
    CTrendWindow(const CTrendHistory& history, QWidget* parent);

    // Shows the window without activating it: placed beside its parent the
    // first time, at the size it has then where there is room; where the
    // operator left it afterwards.
    void ShowBesideParent();
    // Redraws from the history; call after each good or failed poll.
    void Refresh();

    // The status line reads "<meter>  ·  <text>".
    void SetMeterText(const QString& meter);
    void SetStatusText(const QString& text);
    QString StatusText() const;

    // 1, 10 or 60.
    int WindowMinutes() const;
    void SetWindowMinutes(int minutes);

    // What is drawn now.
    const TrendView& Shown() const { return m_view; }
    CTrendPlot* Plot(Quantity quantity) const { return m_plots[quantity]; }
    bool PlotsInRow() const;

    // The caption of a saved picture: the meter; the span shown, e.g.
    // "Last 10 minutes: 2026-12-08 10:07:00 to 10:17:00 CET".
    QStringList Caption() const;
    // The three plots stacked under the caption, as shown now.
    QImage Picture();
    // Saves Picture() as a PNG; false with the reason.
    bool SavePicture(const QString& path, QString* error);
    // "Save Picture...": asks for a file (proposed: the home folder,
    // quorvan-trend-<date>_<time>.png) and saves there.
    void OnSavePicture();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The plots side by side or stacked, by the shape of `client`.
    void ArrangePlots(const QSize& client);
    void ShowStatus();

    const CTrendHistory& m_history;
    TrendView m_view;  // the plots draw from it; reused between refreshes
    CTrendPlot* m_plots[kQuantityCount] = {};
    QBoxLayout* m_plotsLayout = nullptr;
    QComboBox* m_range = nullptr;
    QLabel* m_status = nullptr;
    QString m_meter;
    QString m_statusText;
    QPointer<QFileDialog> m_saveDialog;  // while "Save Picture..." asks
    bool m_placed = false;
};
