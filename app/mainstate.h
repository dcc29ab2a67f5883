#pragma once

#include <array>
#include <cstdint>

// The main window's state record. Every field starts at 0; Form_Load gives
// them their start-up values. The tables have their full, fixed size from the
// start: nothing is allocated or resized later.
struct MainState
{
    static constexpr int kFirstHarmonic = 2;
    static constexpr int kLastHarmonic = 7;
    static constexpr int kHarmonicCount = kLastHarmonic - kFirstHarmonic + 1;
    static constexpr int kMaxSamples = 1000;
    static constexpr int kPhaseSlots = 11;

    // The constants Form_Load gives: pi as 3.1415, not the full-precision pi,
    // and the readouts' 2.23 pixels a level unit (the traces use 2.22).
    static constexpr float kPiValue = static_cast<float>(31415 / 10000.0);
    static constexpr float kPixelsPerUnit = static_cast<float>(223 / 100.0);
    static constexpr int16_t kCursorStep = 10;

    float piValue = 0;       // 3.1415 as a single, not the full-precision pi
    int16_t frequencyHz = 0; // fundamental, Hz
    float fundamentalLevel = 0;
    // Level of harmonic n in percent of the fundamental, at index n - kFirstHarmonic,
    // as copied from the level controls at the last THD computation.
    std::array<float, kHarmonicCount> harmonicLevel{};
    float thdPercent = 0;
    int16_t cursorStep = 0; // pixels
    float cursorX = 0;      // x of the cursor line now on the plot, pixels
    float pixelsPerUnit = 0; // 2.23: the readouts' scale, not the traces' 2.22
    int16_t sampleCount = 0;
    // Index 0 is never written: the count is raised before each store.
    std::array<int16_t, kMaxSamples + 1> sampleX{};
    std::array<float, kMaxSamples + 1> sampleValue{};

    // Working fields of redraw; only phaseRad[2..7] are ever written.
    float traceAmplitude = 0;
    float sumValue = 0;
    std::array<float, kPhaseSlots> phaseRad{};
};
