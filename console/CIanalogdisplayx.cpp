#include "CIanalogdisplayx.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QColor>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

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
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
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

    const int margin = 4;
    const QString number = NumberText();
    const QString units = m_units.isEmpty() ? QString() : QLatin1Char(' ') + m_units;
    int numberWidth = QFontMetrics(digits).horizontalAdvance(number);
    int unitsWidth = QFontMetrics(unit).horizontalAdvance(units);
    const int room = width() - 2 * margin;
    if (numberWidth + unitsWidth > room && numberWidth + unitsWidth > 0) {
        // Too long for the box (a huge value): shrink rather than clip.
        const double scale = static_cast<double>(room) / (numberWidth + unitsWidth);
        digits.setPixelSize(std::max(6, static_cast<int>(kDigitsPixelHeight * scale)));
        unit.setPixelSize(std::max(6, digits.pixelSize() / 2));
        numberWidth = QFontMetrics(digits).horizontalAdvance(number);
        unitsWidth = QFontMetrics(unit).horizontalAdvance(units);
    }

    const QFontMetrics dm(digits);
    // Both parts share the digits' baseline, centred vertically.
    const int baseline = (height() - dm.height()) / 2 + dm.ascent();
    const int right = width() - margin;
    painter.setPen(ColorFromBgr(m_fontColor));
    painter.setFont(unit);
    painter.drawText(right - unitsWidth, baseline, units);
    painter.setFont(digits);
    painter.drawText(right - unitsWidth - numberWidth, baseline, number);

    if (hasFocus()) {
        painter.setPen(QPen(ColorFromBgr(m_fontColor), 1, Qt::DotLine));
        painter.drawRect(rect().adjusted(1, 1, -2, -2));
    }
}

namespace {

class ReadoutAccessible : public QAccessibleWidget {
public:
    explicit ReadoutAccessible(CIanalogdisplayx* readout)
        : QAccessibleWidget(readout, QAccessible::StaticText)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name || t == QAccessible::Value)
            return static_cast<CIanalogdisplayx*>(widget())->ShownText();
        return QAccessibleWidget::text(t);
    }
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
