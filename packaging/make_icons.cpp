// Writes the program's icon for the desktop's icon theme, at every size the
// theme asks for, from the program's own 32 x 32 picture:
//   make_icons FOLDER NAME    writes FOLDER/SIZE/NAME.png
// Whole multiples keep its pixels crisp; other sizes are scaled smoothly.

#include "app/icon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icons FOLDER NAME\n");
        return 2;
    }
    const QImage icon = programIcon();
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const bool wholeMultiple = size % icon.width() == 0;
        const QImage scaled = icon.scaled(size, size, Qt::IgnoreAspectRatio,
                                          wholeMultiple ? Qt::FastTransformation : Qt::SmoothTransformation);
        const QString folder = QStringLiteral("%1/%2").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        QDir().mkpath(folder);
        const QString file = folder + QLatin1Char('/') + QString::fromLocal8Bit(argv[2]) + QStringLiteral(".png");
        if (!scaled.save(file)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
