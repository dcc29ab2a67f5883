#include "picture/loadpicture.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <cstdlib>

namespace {

uint32_t littleEndian(const QByteArray &bytes, int at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

uint32_t bigEndian16(const QByteArray &bytes, qsizetype at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 8 | static_cast<uint8_t>(bytes[at + 1]);
}

// The size a bmp or jpg header claims, read by the program itself so that a
// forged header is refused before any decoder sees it. An invalid size when
// the file is neither, or its header is cut short.
QSize claimedSize(QFile &file)
{
    constexpr qsizetype kBmpHeader = 26;
    constexpr qsizetype kJpegSearch = 256 * 1024; // the frame header comes early
    const QByteArray head = file.peek(kJpegSearch);
    if (head.size() >= kBmpHeader && head.startsWith("BM")) {
        if (littleEndian(head, 14, 4) == 12) // the old core header: 16-bit sizes
            return QSize(littleEndian(head, 18, 2), littleEndian(head, 20, 2));
        // Signed 32-bit sizes; a negative height means top-down rows.
        auto magnitude = [&](int at) {
            const auto value = static_cast<int32_t>(littleEndian(head, at, 4));
            return value == INT32_MIN ? INT32_MAX : std::abs(value);
        };
        return QSize(magnitude(18), magnitude(22));
    }
    if (head.startsWith("\xFF\xD8")) {
        qsizetype at = 2;
        while (at + 9 <= head.size()) {
            if (static_cast<uint8_t>(head[at]) != 0xFF)
                return QSize();
            const auto marker = static_cast<uint8_t>(head[at + 1]);
            if (marker == 0xFF) { // fill byte
                ++at;
                continue;
            }
            const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
            if (frame)
                return QSize(bigEndian16(head, at + 7), bigEndian16(head, at + 5));
            if (marker == 0xD9 || marker == 0xDA) // end of image, start of scan: no frame header
                return QSize();
            at += 2 + bigEndian16(head, at + 2);
        }
    }
    return QSize();
}

} // namespace

picture::PictureError::PictureError(const QString &fileName, const QString &reason)
    : QuenlariError(QStringLiteral("cannot load the picture \"%1\": %2").arg(fileName, reason).toStdString())
{
}

QImage LoadPicture(const QString &fileName, const QSize &visible)
{
    using picture::PictureError;
    if (fileName.isEmpty())
        return QImage();

    const QFileInfo file(fileName);
    if (!file.exists())
        throw PictureError(fileName, QStringLiteral("the file does not exist"));
    if (!file.isFile())
        throw PictureError(fileName, QStringLiteral("it is not a file"));

    QFile device(fileName);
    if (!device.open(QIODevice::ReadOnly))
        throw PictureError(fileName, device.errorString());
    QImageReader::setAllocationLimit(picture::kAllocationLimitMb);
    QSize claimed = claimedSize(device);
    QImageReader reader(&device);
    reader.setDecideFormatFromContent(true);
    if (!reader.canRead())
        throw PictureError(fileName, QStringLiteral("it is not a picture in a format this program reads"));
    if (!claimed.isValid())
        claimed = reader.size();
    if (claimed.isValid()) {
        if (claimed.width() > picture::kMaxSide || claimed.height() > picture::kMaxSide ||
            static_cast<long long>(claimed.width()) * claimed.height() > picture::kMaxPixels)
            throw PictureError(fileName, QStringLiteral("its header claims %1 x %2 pixels, more than this program "
                                                        "accepts (%3 pixels a side, %4 megapixels)")
                                             .arg(claimed.width())
                                             .arg(claimed.height())
                                             .arg(picture::kMaxSide)
                                             .arg(picture::kMaxPixels / (1024 * 1024)));
        // Decoders that can clip decode only what can show.
        if (reader.supportsOption(QImageIOHandler::ClipRect))
            reader.setClipRect(QRect(QPoint(0, 0), claimed.boundedTo(visible)));
    }

    QImage image = reader.read();
    if (image.isNull())
        throw PictureError(fileName, reader.errorString());
    if (image.width() > visible.width() || image.height() > visible.height())
        image = image.copy(QRect(QPoint(0, 0), image.size().boundedTo(visible)));
    return image;
}
