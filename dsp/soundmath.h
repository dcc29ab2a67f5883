#pragma once

#include <cmath>

// The sound stack's pi and decibels. The main window's plot keeps its own
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

} // namespace dsp
