#pragma once

#include "app/mainstate.h"
#include "surface/drawingsurface.h"

#include <array>
#include <cstdint>

// The level (percent) and phase (degrees) controls of harmonics 2 to 7, at
// index n - MainState::kFirstHarmonic, as they stand when the plot is drawn.
struct SignalControls
{
    std::array<int32_t, MainState::kHarmonicCount> level{};
    std::array<int32_t, MainState::kHarmonicCount> phase{};
};

namespace plot {

constexpr int kZeroRow = 245;
constexpr int kFirstColumn = 1;
constexpr int kLastColumn = 1244;
constexpr int kComponents = 7; // the fundamental and harmonics 2 to 7
constexpr double kFundamentalAmplitude = 222;  // pixels
constexpr double kColumnsPerSecond = 49800;

constexpr Colour kGridColour = colourRgb(0, 128, 0);
constexpr Colour kSumColour = colourRgb(255, 0, 0);
// Component n takes colour n + 2 of the classic 16-colour palette.
constexpr std::array<Colour, kComponents> kComponentColours = {
    colourRgb(0, 128, 128),   // fundamental: cyan
    colourRgb(128, 0, 0),     // harmonic 2: red
    colourRgb(128, 0, 128),   // harmonic 3: magenta
    colourRgb(128, 128, 0),   // harmonic 4: yellow
    colourRgb(192, 192, 192), // harmonic 5: white
    colourRgb(128, 128, 128), // harmonic 6: grey
    colourRgb(0, 0, 255),     // harmonic 7: light blue
};

// Amplitude in pixels of harmonic n at level `level` percent: 2.22 pixels a unit.
float harmonicAmplitude(int32_t level);

} // namespace plot

// Clears the surface and draws the grid, the seven component traces, their
// sum and the THD line. It never sets the draw mode or style: after the
// cursor's first move it draws in the XOR mode the cursor left in force.
void redraw(MainState &state, DrawingSurface &surface, const SignalControls &controls);
