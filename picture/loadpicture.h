#pragma once

#include "base/errors.h"

#include <QImage>
#include <QString>

namespace picture {

// The largest picture accepted, as its header claims it: anything larger is
// refused before a single pixel is decoded, whatever the decoder would allow.
constexpr int kMaxSide = 32767;
constexpr long long kMaxPixels = 64LL * 1024 * 1024;
// The decoder's own allocation ceiling (QT_IMAGEIO_MAXALLOC overrides it).
constexpr int kAllocationLimitMb = 256;

class PictureError : public QuenlariError
{
public:
    PictureError(const QString &fileName, const QString &reason);
};

} // namespace picture

// The picture in a bmp or jpg file (or any format the toolkit reads), cut to
// `visible` pixels from its top-left corner, since nothing beyond can show.
// The empty name gives the empty picture (a null image). A file that is
// missing, unreadable or not a picture throws PictureError naming the file and
// the reason.
QImage LoadPicture(const QString &fileName, const QSize &visible);
