#include "base/design.h"

#include <cmath>

namespace design {

namespace {
constexpr int kTwipsPerPixel = 15;
constexpr double kPixelsPerPoint = 96.0 / 72.0;
} // namespace

int pixels(int twips)
{
    return static_cast<int>(std::lround(double(twips) / kTwipsPerPixel));
}

QRect twips(int left, int top, int width, int height)
{
    return QRect(pixels(left), pixels(top), pixels(width), pixels(height));
}

QColor colour(uint32_t bgr)
{
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

QFont font(double points, bool bold)
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(std::lround(points * kPixelsPerPoint)));
    font.setBold(bold);
    return font;
}

} // namespace design
