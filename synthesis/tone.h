#pragma once

#include <array>
#include <cstddef>

// The tone of the command-line tool: the main window's signal, a fundamental
// plus harmonics 2 to 7 with their levels and phases, but with the exact pi,
// so that 200 Hz is 200 Hz. Component n is L_n sin(2 pi n f t - phi_n), with
// the fundamental's level 100; each harmonic is delayed by its phase as the
// main window's traces are.
namespace tone {

constexpr int kHarmonics = 6; // harmonics 2 to 7, at index n - 2
constexpr int kComponents = 7;
constexpr double kFundamentalLevel = 100;

struct Tone
{
    double frequencyHz = 200;
    std::array<double, kHarmonics> levels{1, 5, 1, 2, 1, 1};   // percent of the fundamental
    std::array<double, kHarmonics> phases{0, 20, 0, 165, 0, 0}; // degrees
};

// Components 1 to 7 (at index 0 to 6) and their sum (index 7) at time t, in level units.
std::array<double, kComponents + 1> componentsAt(const Tone &tone, double seconds);

// The sum at the instants (first + i) / rate for i = 0 .. count - 1, in units
// of the fundamental's amplitude. The fundamental turns by a rotation each
// sample, set exactly every 1024 samples; the harmonics follow by the
// angle-addition recurrence.
void render(const Tone &tone, double rate, long long first, double *out, std::size_t count);

// The figures of distortion. Fractions, not percent; dB are 20 log10 of the fraction.
struct Figures
{
    double thdF;          // relative to the fundamental
    double thdR;          // relative to the total RMS: thdF / sqrt(1 + thdF^2)
    double even;          // harmonics 2, 4, 6
    double odd;           // harmonics 3, 5, 7
    double rmsRatio;      // total RMS over the fundamental's RMS
    double peak;          // largest |sum| over a period, in units of the fundamental's amplitude
    double crestFactor;   // peak over the sum's RMS
};
Figures analyse(const Tone &tone);

} // namespace tone
