// Draws the window icon: a 128 x 128, 32-bit meter face (dark case, dial
// with scale and needle, a small aqua readout strip).
// Usage: quorvan-make-icon resources/Quorvan-Master.png
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QImage image(128, 128, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Case.
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 3));
    p.setBrush(QColor(0x69, 0x69, 0x69));
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 18, 18);

    // Dial face.
    const QPointF centre(64, 78);
    const double radius = 50;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF4, 0xF1, 0xE6));
    QPainterPath face;
    face.moveTo(centre);
    face.arcTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 15, 150);
    face.closeSubpath();
    p.drawPath(face);

    // Scale: 11 ticks over 150 degrees, the last two in red.
    for (int i = 0; i <= 10; ++i) {
        const double a = (165.0 - i * 15.0) * M_PI / 180.0;
        const double inner = (i % 5 == 0) ? radius - 14 : radius - 9;
        p.setPen(QPen(i >= 9 ? QColor(0xD0, 0x20, 0x20) : QColor(0x20, 0x20, 0x20), i % 5 ? 2 : 3,
                      Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(centre.x() + inner * std::cos(a), centre.y() - inner * std::sin(a)),
                   QPointF(centre.x() + (radius - 4) * std::cos(a),
                           centre.y() - (radius - 4) * std::sin(a)));
    }

    // Needle at about two thirds of the scale.
    const double n = 62.0 * M_PI / 180.0;
    p.setPen(QPen(QColor(0xC0, 0x10, 0x10), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, QPointF(centre.x() + (radius - 10) * std::cos(n),
                               centre.y() - (radius - 10) * std::sin(n)));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x20, 0x20, 0x20));
    p.drawEllipse(centre, 6, 6);

    // Readout strip with aqua segments.
    p.setBrush(QColor(0x10, 0x10, 0x10));
    p.drawRoundedRect(QRectF(22, 92, 84, 22), 4, 4);
    p.setBrush(QColor(0x00, 0xFF, 0xFF));
    for (int i = 0; i < 4; ++i)
        p.drawRect(QRectF(30 + i * 19, 99, 13, 8));
    p.end();

    return image.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
