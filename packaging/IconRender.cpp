// Renders the application icon into the freedesktop icon theme's folder layout at build time:
// OUT/NxN/apps/NAME.png for 16, 32, 48, 128 and 256 pixels. Each size is an exact multiple of one
// of the two pixel maps the window uses, enlarged pixel by pixel, so the installed icon is the
// window's icon and not a blurred copy of it.
#include <QImage>
#include <QString>
#include <cstdio>

#include "app/res/pellorin16.xpm"
#include "app/res/pellorin32.xpm"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT-FOLDER ICON-NAME\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QImage small(pellorin16_xpm);
    const QImage large(pellorin32_xpm);
    if (small.size() != QSize(16, 16) || large.size() != QSize(32, 32)) {
        std::fprintf(stderr, "icon-render: the pixel maps did not load\n");
        return 1;
    }
    struct Size {
        int pixels;
        const QImage& source;
    };
    const Size sizes[] = {{16, small}, {32, large}, {48, small}, {128, large}, {256, large}};
    for (const Size& size : sizes) {
        const QImage image =
            size.source
                .scaled(size.pixels, size.pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                .convertToFormat(QImage::Format_ARGB32);
        const QString path =
            QStringLiteral("%1/%2x%2/apps/%3.png").arg(out).arg(size.pixels).arg(name);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "icon-render: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
