// Writes the fuzzer's seed corpus: small valid bmp and jpg files of the kinds
// a user may hand the program, each a different path through the decoders.
//   make_seeds FOLDER

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

namespace {

QImage testCard(QSize size, QImage::Format format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setPen(QColor(0, 128, 0));
    for (int i = 0; i < size.width(); i += 7)
        painter.drawLine(i, 0, i, size.height());
    painter.setPen(Qt::red);
    painter.drawEllipse(QRect(QPoint(1, 1), size - QSize(3, 3)));
    painter.end();
    return image.convertToFormat(format);
}

bool save(const QString &path, const QImage &image, const char *format, int quality = -1, bool progressive = false,
          bool optimized = false)
{
    QImageWriter writer(path, format);
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.setOptimizedWrite(optimized);
    return writer.write(image);
}

void put(QByteArray &bytes, int at, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A bmp file by hand, for the header kinds Qt does not write: the old core
// header, top-down rows and run-length coding.
QByteArray bmp(int headerSize, int width, int height, int bits, int compression, const QByteArray &palette,
               const QByteArray &pixels)
{
    const int offset = 14 + headerSize + palette.size();
    QByteArray bytes(offset, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    put(bytes, 2, offset + pixels.size(), 4);
    put(bytes, 10, offset, 4);
    put(bytes, 14, headerSize, 4);
    if (headerSize == 12) {
        put(bytes, 18, width, 2);
        put(bytes, 20, height, 2);
        put(bytes, 22, 1, 2);
        put(bytes, 24, bits, 2);
    } else {
        put(bytes, 18, width, 4);
        put(bytes, 22, static_cast<uint32_t>(height), 4);
        put(bytes, 26, 1, 2);
        put(bytes, 28, bits, 2);
        put(bytes, 30, compression, 4);
        put(bytes, 34, pixels.size(), 4);
        put(bytes, 46, palette.size() / 4, 4); // colours used
    }
    bytes.replace(14 + headerSize, palette.size(), palette);
    return bytes + pixels;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    folder.mkpath(QStringLiteral("."));
    auto path = [&](const char *name) { return folder.filePath(QLatin1String(name)); };

    bool ok = true;
    ok &= save(path("rgb24.bmp"), testCard(QSize(17, 13), QImage::Format_RGB888), "BMP");
    ok &= save(path("argb32.bmp"), testCard(QSize(9, 4), QImage::Format_ARGB32), "BMP");
    ok &= save(path("indexed8.bmp"), testCard(QSize(12, 7), QImage::Format_Indexed8), "BMP");
    ok &= save(path("mono.bmp"), testCard(QSize(33, 5), QImage::Format_Mono), "BMP");
    ok &= save(path("baseline.jpg"), testCard(QSize(24, 16), QImage::Format_RGB32), "JPG", 75);
    ok &= save(path("low-quality.jpg"), testCard(QSize(19, 11), QImage::Format_RGB32), "JPG", 5);
    ok &= save(path("progressive.jpg"), testCard(QSize(32, 32), QImage::Format_RGB32), "JPG", 90, true);
    ok &= save(path("optimized.jpg"), testCard(QSize(16, 9), QImage::Format_RGB32), "JPG", 50, false, true);
    ok &= save(path("grey.jpg"), testCard(QSize(8, 8), QImage::Format_Grayscale8), "JPG", 80);
    ok &= save(path("one-pixel.jpg"), testCard(QSize(1, 1), QImage::Format_RGB32), "JPG");

    const QByteArray greyPalette = QByteArray::fromHex("000000001010100020202000ffffff00");
    const QByteArray files[] = {
        // The old core header: 16-bit sizes, three-byte palette entries, here 1 bit a pixel.
        bmp(12, 8, 2, 1, 0, QByteArray::fromHex("000000ffffff"), QByteArray::fromHex("aa000000" "55000000")),
        bmp(40, 4, -2, 8, 0, greyPalette, QByteArray::fromHex("00010203" "03020100")),
        // Run-length coded: runs, an absolute run (padded to a word), end of line, end of bitmap.
        bmp(40, 6, 2, 8, 1, greyPalette,
            QByteArray::fromHex("0401" "0203" "0000" "0003" "01020300" "0301" "0000" "0001")),
        bmp(40, 8, 1, 4, 2, greyPalette, QByteArray::fromHex("0812" "0000" "0001")),
    };
    const char *names[] = {"core-header.bmp", "top-down.bmp", "rle8.bmp", "rle4.bmp"};
    for (int i = 0; i < 4; ++i) {
        QFile file(path(names[i]));
        ok &= file.open(QIODevice::WriteOnly) && file.write(files[i]) == files[i].size();
    }
    if (!ok) {
        std::fprintf(stderr, "could not write every seed\n");
        return 1;
    }
    return 0;
}
