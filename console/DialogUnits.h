// Dialog-unit layout: controls are placed in dialog units, converted to
// pixels from the dialog font as the classic dialog manager does it: one
// horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

class DialogUnits {
public:
    // `family` at `pointSize` points on a 96-dpi screen, as the templates say.
    DialogUnits(const QString& family, int pointSize);

    const QFont& Font() const { return m_font; }
    int BaseX() const { return m_baseX; }  // average character width, pixels
    int BaseY() const { return m_baseY; }  // character height, pixels

    int X(int du) const;
    int Y(int du) const;
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const;

    // Moves `widget` to the dialog-unit rectangle.
    void Place(QWidget* widget, int x, int y, int w, int h) const;

private:
    QFont m_font;
    int m_baseX;
    int m_baseY;
};
