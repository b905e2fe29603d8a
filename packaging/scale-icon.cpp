// Renders the application icon at another size for the hicolor theme.
//
// Usage: quorvan-scale-icon IN.png OUT.png SIZE
// The source must be the 128 x 128 icon with an alpha channel; anything else
// fails the build rather than shipping a blurred or opaque icon.
#include <QImage>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IN.png OUT.png SIZE\n", argv[0]);
        return 2;
    }
    const int size = std::atoi(argv[3]);
    QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    if (source.width() != 128 || source.height() != 128 || !source.hasAlphaChannel()) {
        std::fprintf(stderr, "%s: %s is %dx%d%s, want 128x128 with alpha\n", argv[0], argv[1],
                     source.width(), source.height(), source.hasAlphaChannel() ? "" : " opaque");
        return 1;
    }
    // Premultiplied alpha keeps transparent edge pixels from bleeding dark
    // colour into the smoothed border.
    const QImage scaled = source.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_ARGB32);
    if (size <= 0 || !scaled.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s at size %s\n", argv[0], argv[2], argv[3]);
        return 1;
    }
    return 0;
}
