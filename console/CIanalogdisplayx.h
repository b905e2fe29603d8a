// One numeric readout: a number right-aligned with a fixed count of
// decimals, its unit beside it, digits in a given colour on dark grey.
//
// Setters only schedule a repaint (QWidget::update coalesces), so a whole
// reading's property changes cost one paint. For screen readers and UI
// automation the shown text ("51.23 V") is the accessible name, and the
// shown number (51.23) the accessible value.
//
// A tab stop: focus shows as a thin frame in the outermost pixel, which the
// digits never reach.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>

class CIanalogdisplayx : public QWidget {
    Q_OBJECT

public:
    explicit CIanalogdisplayx(QWidget* parent = nullptr);

    void SetValue(double value);
    void SetPrecision(int precision);  // clamped to 0..15
    void SetUnitsText(const QString& units);
    void SetFontColor(uint32_t color);  // 0x00BBGGRR

    double Value() const { return m_value; }
    int Precision() const { return m_precision; }
    const QString& UnitsText() const { return m_units; }
    uint32_t FontColor() const { return m_fontColor; }

    // The number with its decimals, a space and the unit: "51.23 V".
    QString ShownText() const;
    QString NumberText() const;

    // Makes every readout answer accessibility queries (name and value).
    // Once per process; safe to call again.
    static void InstallAccessibility();

    static constexpr uint32_t kBackground = 0x696969;
    static constexpr int kDigitsPixelHeight = 35;  // font height -35
    // Pixels along the edge kept free of digits for the focus frame, and
    // the gap between the text and the left and right edges.
    static constexpr int kFocusRing = 2;
    static constexpr int kTextMargin = 4;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Changed();

    double m_value = 0.0;
    int m_precision = 2;
    QString m_units;
    uint32_t m_fontColor = 0xFFFF00;  // aqua
};

// 0x00BBGGRR to a QColor.
QColor ColorFromBgr(uint32_t color);
