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

// What a bmp or jpg header claims, read by the program itself so that a
// forged header is refused before any decoder sees it.
struct Header
{
    QSize size; // invalid when the file is neither, or its header is cut short
    // A sequential jpg whose first scan holds every component: the decoder
    // then needs a few rows of memory at a time, so a clipped decode stops
    // after the rows that show, however large the picture. Progressive and
    // multi-scan files make it keep the whole picture instead.
    bool decodesInRows = false;
};

Header readHeader(QFile &file)
{
    constexpr qsizetype kBmpHeader = 26;
    constexpr qsizetype kJpegSearch = 256 * 1024; // the frame and the first scan header come early
    const QByteArray head = file.peek(kJpegSearch);
    Header header;
    if (head.size() >= kBmpHeader && head.startsWith("BM")) {
        if (littleEndian(head, 14, 4) == 12) { // the old core header: 16-bit sizes
            header.size = QSize(littleEndian(head, 18, 2), littleEndian(head, 20, 2));
            return header;
        }
        // Signed 32-bit sizes; a negative height means top-down rows.
        auto magnitude = [&](int at) {
            const auto value = static_cast<int32_t>(littleEndian(head, at, 4));
            return value == INT32_MIN ? INT32_MAX : std::abs(value);
        };
        header.size = QSize(magnitude(18), magnitude(22));
        return header;
    }
    if (!head.startsWith("\xFF\xD8"))
        return header;
    bool sequential = false;
    uint32_t components = 0;
    qsizetype at = 2;
    while (at + 9 <= head.size()) {
        if (static_cast<uint8_t>(head[at]) != 0xFF)
            return header;
        const auto marker = static_cast<uint8_t>(head[at + 1]);
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && header.size.isValid())
            return Header(); // a second frame header: not a file to trust
        if (frame) {
            if (at + 10 > head.size())
                return Header();
            header.size = QSize(bigEndian16(head, at + 7), bigEndian16(head, at + 5));
            // Baseline, extended and arithmetic sequential DCT.
            sequential = marker == 0xC0 || marker == 0xC1 || marker == 0xC9;
            components = static_cast<uint8_t>(head[at + 9]);
        }
        if (marker == 0xDA) { // start of scan
            header.decodesInRows =
                sequential && components > 0 && static_cast<uint8_t>(head[at + 4]) == components;
            return header;
        }
        if (marker == 0xD9) // end of image
            return header;
        at += 2 + bigEndian16(head, at + 2);
    }
    return header;
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
    const Header header = readHeader(device);
    QImageReader reader(&device);
    reader.setDecideFormatFromContent(true);
    if (!reader.canRead())
        throw PictureError(fileName, QStringLiteral("it is not a picture in a format this program reads"));
    const QSize claimed = header.size.isValid() ? header.size : reader.size();
    if (claimed.isValid()) {
        // Decoders that can clip decode only what can show.
        const bool clipped = reader.supportsOption(QImageIOHandler::ClipRect);
        if (clipped)
            reader.setClipRect(QRect(QPoint(0, 0), claimed.boundedTo(visible)));
        const bool fullDecode = !(clipped && header.decodesInRows);
        if (fullDecode && (claimed.width() > picture::kMaxSide || claimed.height() > picture::kMaxSide ||
                           static_cast<long long>(claimed.width()) * claimed.height() > picture::kMaxPixels))
            throw PictureError(fileName,
                               QStringLiteral("its header claims %1 x %2 pixels, more than this program "
                                              "decodes whole (%3 pixels a side, %4 megapixels)")
                                   .arg(claimed.width())
                                   .arg(claimed.height())
                                   .arg(picture::kMaxSide)
                                   .arg(picture::kMaxPixels / (1024 * 1024)));
    }

    QImage image = reader.read();
    if (image.isNull())
        throw PictureError(fileName, reader.errorString());
    if (image.width() > visible.width() || image.height() > visible.height())
        image = image.copy(QRect(QPoint(0, 0), image.size().boundedTo(visible)));
    return image;
}
