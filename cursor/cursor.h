#pragma once

#include "app/mainstate.h"
#include "base/errors.h"
#include "surface/drawingsurface.h"

#include <QString>

#include <cstdint>

// The measurement cursor and the stored samples. The level at a pointer's
// height comes from the height alone, at pixelsPerUnit (2.23) pixels a level
// unit from the zero line, positive above it; the signal is not evaluated.
namespace cursor {

constexpr Colour kLineColour = colourRgb(128, 128, 128);
constexpr float kLineTop = 0;
constexpr float kLineBottom = 495; // past the surface's last row, clipped
constexpr Colour kCrossColour = colourRgb(0, 0, 255);
constexpr int kCrossHalfSize = 4;
constexpr double kZeroRow = 245;

class SampleMemoryFullError : public QuenlariError
{
public:
    SampleMemoryFullError();
};

} // namespace cursor

// The multiple of `step` nearest to x, an exact half going to the even
// multiple. A step of 0 means no grid: x rounds to the nearest whole column
// the same way. A result outside 16 bits is an overflow.
int16_t snapToStep(float x, int16_t step);

// Draws the cursor line at nx in the XOR pen, after drawing over the one at
// cursorX to remove it. The XOR mode stays in force on purpose: later redraws
// and sample crosses draw in it too.
void moveCursorLine(MainState &state, DrawingSurface &surface, int16_t nx);

// The level that row y stands for, as a single.
float levelAt(const MainState &state, float y);
// The level rounded to two decimals, halves to even: what readouts show and samples keep.
float roundedLevel(float level);

QString cursorXText(int16_t nx);       // " X = 20 "
QString cursorLevelText(float level); // " Y = 65.02 "

// Throws SampleMemoryFullError when the sample tables are full.
void checkSampleRoom(const MainState &state);
// The blue cross of a stored sample: 8 x 8 pixels about (nx, y), in the
// surface's current draw mode.
void drawSampleCross(DrawingSurface &surface, int16_t nx, float y);
// Counts the sample and keeps it at the new count's index (index 0 stays unused).
void storeSample(MainState &state, int16_t nx, float level);
