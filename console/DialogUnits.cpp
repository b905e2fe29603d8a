#include "DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

DialogUnits::DialogUnits(const QString& family, int pointSize)
{
    m_font.setFamily(family);
    if (family.compare(QLatin1String("Fixedsys"), Qt::CaseInsensitive) == 0)
        m_font.setStyleHint(QFont::TypeWriter);
    else
        m_font.setStyleHint(QFont::Serif);
    // Points at 96 dpi, as the templates were laid out: 12 pt is 16 px.
    m_font.setPixelSize((pointSize * 96 + 36) / 72);

    QFontMetrics metrics(m_font);
    // The average width of the 52 Latin letters, rounded as the dialog
    // manager rounds it.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int DialogUnits::X(int du) const
{
    return (du * m_baseX + 2) / 4;  // rounded, as MulDiv rounds
}

int DialogUnits::Y(int du) const
{
    return (du * m_baseY + 4) / 8;
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const
{
    // Convert the corners, not the size, so neighbours meet exactly.
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + w) - left, Y(y + h) - top);
}

QSize DialogUnits::Size(int w, int h) const
{
    return QSize(X(w), Y(h));
}

void DialogUnits::Place(QWidget* widget, int x, int y, int w, int h) const
{
    widget->setGeometry(Rect(x, y, w, h));
}
