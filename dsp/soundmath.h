#pragma once

#include <cmath>

// The sound stack's pi, decibels, angles and THD. The main window's plot keeps its own
// pi of 3.1415: its pixels are made with that one.
namespace dsp {

constexpr double kPi = 3.14159265358979323846;

// A ratio of amplitudes in decibels.
inline double decibels(double fraction)
{
    return 20 * std::log10(fraction);
}

// A ratio of powers in decibels.
inline double powerDecibels(double ratio)
{
    return 10 * std::log10(ratio);
}

// An angle in degrees, brought into [0, 360).
inline double wrapDegrees(double degrees)
{
    double wrapped = std::fmod(degrees, 360.0);
    if (wrapped < 0)
        wrapped += 360;
    return wrapped >= 360 ? 0 : wrapped;
}

// The harmonics' distortion from their power over the fundamental's:
// relative to the fundamental (THD_F) and to the total RMS (THD_R).
struct Thd
{
    double f, r;
};
inline Thd thdOf(double harmonicsOverFundamentalPower)
{
    const double f = std::sqrt(harmonicsOverFundamentalPower);
    return {f, f / std::sqrt(1 + harmonicsOverFundamentalPower)};
}

} // namespace dsp
