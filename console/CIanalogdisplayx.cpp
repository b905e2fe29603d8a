#include "CIanalogdisplayx.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QColor>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

QColor ColorFromBgr(uint32_t color)
{
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

CIanalogdisplayx::CIanalogdisplayx(QWidget* parent) : QWidget(parent)
{
    // Painted edge to edge; nothing behind it needs drawing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::TabFocus);
}

void CIanalogdisplayx::SetValue(double value)
{
    if (value == m_value)
        return;
    m_value = value;
    Changed();
}

void CIanalogdisplayx::SetPrecision(int precision)
{
    precision = std::clamp(precision, 0, 15);
    if (precision == m_precision)
        return;
    m_precision = precision;
    Changed();
}

void CIanalogdisplayx::SetUnitsText(const QString& units)
{
    if (units == m_units)
        return;
    m_units = units;
    Changed();
}

void CIanalogdisplayx::SetFontColor(uint32_t color)
{
    if (color == m_fontColor)
        return;
    m_fontColor = color;
    update();
}

QString CIanalogdisplayx::NumberText() const
{
    return QString::number(m_value, 'f', m_precision);
}

QString CIanalogdisplayx::ShownText() const
{
    return m_units.isEmpty() ? NumberText() : NumberText() + QLatin1Char(' ') + m_units;
}

void CIanalogdisplayx::Changed()
{
    update();
    if (QAccessible::isActive()) {
        QAccessibleEvent name(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&name);
        QAccessibleValueChangeEvent value(this, NumberText().toDouble());
        QAccessible::updateAccessibility(&value);
    }
}

void CIanalogdisplayx::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), ColorFromBgr(kBackground));

    QFont digits(QStringLiteral("Times New Roman"));
    digits.setStyleHint(QFont::Serif);
    digits.setPixelSize(kDigitsPixelHeight);
    // The unit is set smaller, so that "1234.57 kWh" fits a readout.
    QFont unit = digits;
    unit.setPixelSize(kDigitsPixelHeight / 2);

    const QString number = NumberText();
    const QString units = m_units.isEmpty() ? QString() : QLatin1Char(' ') + m_units;
    int numberWidth = QFontMetrics(digits).horizontalAdvance(number);
    int unitsWidth = QFontMetrics(unit).horizontalAdvance(units);
    // The digits stay clear of the outer ring, where the focus frame goes.
    const int roomWidth = width() - 2 * kTextMargin;
    const int roomHeight = height() - 2 * kFocusRing;
    const int textHeight = QFontMetrics(digits).height();
    if ((numberWidth + unitsWidth > roomWidth && numberWidth + unitsWidth > 0) ||
        textHeight > roomHeight) {
        // Too long or too tall for the box (a huge value): shrink rather
        // than clip.
        const double scale =
            std::min(static_cast<double>(roomWidth) / std::max(1, numberWidth + unitsWidth),
                     static_cast<double>(roomHeight) / std::max(1, textHeight));
        digits.setPixelSize(std::max(6, static_cast<int>(kDigitsPixelHeight * scale)));
        unit.setPixelSize(std::max(6, digits.pixelSize() / 2));
        numberWidth = QFontMetrics(digits).horizontalAdvance(number);
        unitsWidth = QFontMetrics(unit).horizontalAdvance(units);
    }

    const QFontMetrics dm(digits);
    // Both parts share the digits' baseline, centred vertically.
    const int baseline = (height() - dm.height()) / 2 + dm.ascent();
    const int right = width() - kTextMargin;
    painter.setPen(ColorFromBgr(m_fontColor));
    painter.setFont(unit);
    painter.drawText(right - unitsWidth, baseline, units);
    painter.setFont(digits);
    painter.drawText(right - unitsWidth - numberWidth, baseline, number);

    if (hasFocus()) {
        // A thin frame along the edge: the readout is a tab stop, but the
        // digits are what it is for.
        painter.setPen(QPen(ColorFromBgr(m_fontColor), 1));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

namespace {

// Name: the shown text ("51.23 V"); value: the shown number (51.23), so a
// screen reader or a test tool reads it through the value interface too.
class ReadoutAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ReadoutAccessible(CIanalogdisplayx* readout)
        : QAccessibleWidget(readout, QAccessible::StaticText)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name || t == QAccessible::Value)
            return Readout()->ShownText();
        return QAccessibleWidget::text(t);
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override { return Readout()->NumberText().toDouble(); }
    void setCurrentValue(const QVariant&) override {}  // a display, not an input
    QVariant maximumValue() const override { return QVariant(); }
    QVariant minimumValue() const override { return QVariant(); }
    QVariant minimumStepSize() const override { return std::pow(10.0, -Readout()->Precision()); }

private:
    CIanalogdisplayx* Readout() const { return static_cast<CIanalogdisplayx*>(widget()); }
};

QAccessibleInterface* ReadoutFactory(const QString& key, QObject* object)
{
    if (key == QLatin1String("CIanalogdisplayx") && object != nullptr && object->isWidgetType())
        return new ReadoutAccessible(static_cast<CIanalogdisplayx*>(object));
    return nullptr;
}

}  // namespace

void CIanalogdisplayx::InstallAccessibility()
{
    static bool installed = false;
    if (!installed) {
        QAccessible::installFactory(ReadoutFactory);
        installed = true;
    }
}
