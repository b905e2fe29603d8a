// One quantity of the trend window drawn with QPainter: a line per segment
// between gaps (a lone reading as a dot), optional alarm marks, a time axis
// in local clock time and a value axis on round numbers, titled with the
// unit.
//
// Alarm marks lie wholly inside the frame: the data keep a margin of the
// largest mark's radius from it. A mark is as large as the spacing of the
// readings allows with a free pixel between neighbours (7 px, down to 3);
// where readings lie closer than that (a narrow window), a mark stands for
// its neighbours within its own width.
//
// It draws one series of a TrendView its owner keeps and refills; Refit()
// after a refill fits the axes and schedules one paint.
// UI thread only.
#pragma once

#include "CTrendHistory.h"

#include <QColor>
#include <QHash>
#include <QStaticText>
#include <QString>
#include <QWidget>

#include <vector>

class QPainter;

class CTrendPlot : public QWidget {
    Q_OBJECT

public:
    using Series = std::vector<TrendPoint> TrendView::*;

    // `view` outlives the plot; `decimals`: the finest the meter reports (2
    // for V and A, 1 for W); `marks` draws the view's alarms as red dots.
    CTrendPlot(const TrendView& view, Series series, bool marks, const QString& title, int decimals,
               const QColor& color, QWidget* parent);

    void Refit();
    // Draws the plot into `bounds` of any device (a picture to save), as
    // it paints itself.
    void Render(QPainter& painter, const QRect& bounds);

    // The value axis as drawn.
    double AxisLow() const { return m_low; }
    double AxisHigh() const { return m_high; }
    double AxisStep() const { return m_step; }

    QSize sizeHint() const override { return QSize(600, 180); }
    QSize minimumSizeHint() const override { return QSize(160, 80); }

    // The alarm marks' diameter, px, and the marks drawn, at the last paint.
    int MarkDiameter() const { return m_markDiameter; }
    size_t MarksDrawn() const { return m_marksDrawn; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FitValueAxis();
    // The framed area within `bounds`, and the part of it the data map to.
    QRect PlotArea(const QRect& bounds);
    static QRect DataArea(const QRect& area);
    void DrawAxes(QPainter& painter, const QRect& area);
    void DrawData(QPainter& painter, const QRect& area) const;
    void DrawMarks(QPainter& painter, const QRect& area);
    // `text` laid out once in the widget's font; the axes' labels repeat
    // from one paint to the next, and laying text out is most of a paint.
    QStaticText Label(const QString& text);

    const QString m_title;
    const int m_decimals;
    const QColor m_color;
    const TrendView& m_view;
    const Series m_series;
    const bool m_marks;
    double m_low = 0.0;
    double m_high = 1.0;
    double m_step = 0.25;
    int m_markDiameter = 0;
    size_t m_marksDrawn = 0;
    QHash<QString, QStaticText> m_labels;  // bounded: emptied when it grows
};
