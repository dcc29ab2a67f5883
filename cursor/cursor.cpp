#include "cursor/cursor.h"

#include "base/numbertext.h"

cursor::SampleMemoryFullError::SampleMemoryFullError()
    : QuenlariError("the sample memory is full (" + std::to_string(MainState::kMaxSamples) +
                    " samples); no further sample is stored")
{
}

int16_t snapToStep(float x, int16_t step)
{
    if (step == 0)
        return roundToInt16(x, "the pointer's column");
    const int16_t index = roundToInt16(double(x) / step, "the cursor grid index");
    return toInt16(static_cast<long long>(step) * index, "the snapped column");
}

void moveCursorLine(MainState &state, DrawingSurface &surface, int16_t nx)
{
    surface.setForeColor(cursor::kLineColour);
    surface.setDrawMode(DrawingSurface::XorPen);
    surface.setDrawStyle(DrawingSurface::Dot);
    // The surface may have been redrawn since: then this puts a line back at
    // the old x instead of removing one, and it stays until the next redraw.
    surface.Line(state.cursorX, cursor::kLineTop, state.cursorX, cursor::kLineBottom);
    surface.Line(nx, cursor::kLineTop, nx, cursor::kLineBottom);
    surface.setDrawStyle(DrawingSurface::Solid);
    state.cursorX = nx;
}

float levelAt(const MainState &state, float y)
{
    return static_cast<float>((cursor::kZeroRow - y) / state.pixelsPerUnit);
}

float roundedLevel(float level)
{
    return static_cast<float>(roundHalfEven2(level));
}

QString cursorXText(int16_t nx)
{
    return QStringLiteral(" X = ") + integerText(nx) + QLatin1Char(' ');
}

QString cursorLevelText(float level)
{
    return QStringLiteral(" Y = ") + singleText(roundedLevel(level)) + QLatin1Char(' ');
}

void checkSampleRoom(const MainState &state)
{
    if (state.sampleCount >= MainState::kMaxSamples)
        throw cursor::SampleMemoryFullError();
}

void drawSampleCross(DrawingSurface &surface, int16_t nx, float y)
{
    surface.setForeColor(cursor::kCrossColour);
    const int16_t left = toInt16(nx - cursor::kCrossHalfSize, "the sample cross");
    const int16_t right = toInt16(nx + cursor::kCrossHalfSize, "the sample cross");
    const float above = y - cursor::kCrossHalfSize;
    const float below = y + cursor::kCrossHalfSize;
    surface.Line(left, above, right, below);
    surface.Line(left, below, right, above);
}

void storeSample(MainState &state, int16_t nx, float level)
{
    checkSampleRoom(state);
    state.sampleCount = toInt16(state.sampleCount + 1, "the sample count");
    state.sampleX[state.sampleCount] = nx;
    state.sampleValue[state.sampleCount] = level;
}
