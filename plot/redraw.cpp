#include "plot/redraw.h"

#include "base/errors.h"
#include "base/numbertext.h"

#include <cmath>

namespace {

constexpr int kGridRows = 10;    // horizontal lines 0 to 10
constexpr int kGridColumns = 25; // vertical lines 0 to 25
constexpr int kGridSpan = 490;
constexpr int kGridDivisions = 10;
constexpr float kLabelColumn = 2;
constexpr float kLastGridColumn = 1244;
constexpr float kGridBottom = 493; // one row past the surface, clipped
constexpr float kReadoutFontSize = 12;
constexpr float kReadoutX = 15;
constexpr float kReadoutY = 5;

// Row or column i of the grid: 49 * i, by way of a 16-bit product.
float gridPosition(int16_t i)
{
    return static_cast<float>(toInt16(i * kGridSpan, "grid position") / double(kGridDivisions));
}

void drawFrameAndGrid(DrawingSurface &surface)
{
    surface.Cls();
    surface.setBackColor(0);
    surface.setPicture(QImage());
    surface.setDrawWidth(1);
    surface.setForeColor(plot::kGridColour);
    for (int16_t i = 0; i <= kGridRows; ++i) {
        const float row = gridPosition(i);
        surface.setCurrentX(kLabelColumn);
        surface.setCurrentY(row);
        // Labels grow upwards (10 at the top) and go on before their line,
        // which then crosses their top edge.
        surface.Print(toInt16((5 - i) * 2, "scale label"));
        surface.Line(0, row, kLastGridColumn, row);
    }
    for (int16_t i = 0; i <= kGridColumns; ++i) {
        const float column = gridPosition(i);
        surface.Line(column, 0, column, kGridBottom);
    }
}

} // namespace

float plot::harmonicAmplitude(int32_t level)
{
    return static_cast<float>(toInt32(static_cast<long long>(level) * 222, "harmonic amplitude") / 100.0);
}

void redraw(MainState &state, DrawingSurface &surface, const SignalControls &controls)
{
    using plot::kComponents;
    drawFrameAndGrid(surface);

    const double p = state.piValue;
    const double f = state.frequencyHz;

    std::array<double, kComponents> amplitude{};
    std::array<double, kComponents> phase{};
    amplitude[0] = plot::kFundamentalAmplitude;
    for (int16_t n = MainState::kFirstHarmonic; n <= MainState::kLastHarmonic; ++n) {
        const int k = n - MainState::kFirstHarmonic;
        state.traceAmplitude = plot::harmonicAmplitude(controls.level[k]);
        state.phaseRad[n] = static_cast<float>(p * controls.phase[k] / 180);
        amplitude[n - 1] = state.traceAmplitude;
        phase[n - 1] = state.phaseRad[n];
    }

    // The component traces add the negated phase and the sum subtracts the
    // phase itself: the same argument, so each sine is evaluated once, kept
    // for the sum trace, and both are drawn in their order.
    constexpr int kColumns = plot::kLastColumn - plot::kFirstColumn + 1;
    std::array<std::array<double, kColumns>, kComponents> values;
    for (int16_t n = 1; n <= kComponents; ++n) {
        surface.setForeColor(plot::kComponentColours[n - 1]);
        for (int16_t x = plot::kFirstColumn; x <= plot::kLastColumn; ++x) {
            const double theta = (p + p) * n * f * x / plot::kColumnsPerSecond - phase[n - 1];
            const double value = amplitude[n - 1] * std::sin(theta);
            values[n - 1][x - plot::kFirstColumn] = value;
            // Positive values lie below the zero line.
            surface.PSet(x, static_cast<float>(value + plot::kZeroRow));
        }
    }
    surface.setForeColor(plot::kSumColour);
    for (int16_t x = plot::kFirstColumn; x <= plot::kLastColumn; ++x) {
        float sum = 0;
        for (int n = 1; n <= kComponents; ++n)
            sum = static_cast<float>(values[n - 1][x - plot::kFirstColumn] + sum);
        surface.PSet(x, sum + plot::kZeroRow);
        state.sumValue = sum;
    }

    surface.setFontSize(kReadoutFontSize);
    surface.setCurrentX(kReadoutX);
    surface.setCurrentY(kReadoutY);
    const float shown = static_cast<float>(roundHalfEven2(state.thdPercent));
    surface.Print(QStringLiteral("Quenlari Totale THD = ") + singleText(shown) + QStringLiteral(" %"));
}
