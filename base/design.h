#pragma once

#include <QColor>
#include <QFont>
#include <QRect>

#include <cstdint>

// The designer's units: twips (15 to the pixel at 96 dots per inch), colours
// written BBGGRR, and font sizes in points.
namespace design {

int pixels(int twips);
QRect twips(int left, int top, int width, int height);
QColor colour(uint32_t bgr);
// "MS Sans Serif" where the machine has it, a sans-serif of similar width
// otherwise, sized in pixels at 96 dots per inch so the layout is the same
// on every screen.
QFont font(double points, bool bold = false);

constexpr double kDefaultFontPoints = 8.25;

} // namespace design
