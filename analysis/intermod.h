#pragma once

#include "analysis/fourier.h"
#include "synthesis/twotone.h"

#include <cstdint>
#include <string>
#include <vector>

class Progress;

// Intermodulation of two tones: the tones found near the frequencies asked
// for and fitted at their own, then every product m f1 + n f2 fitted at once
// at the frequencies the fitted tones give, so that neither a clock apart from
// the nominal one nor the tones' own leakage moves a product.
namespace analysis {

struct ImdSettings
{
    twotone::TwoTone tones; // the frequencies asked for; each is found near its own
    bool spectrum = false;  // also the magnitude spectrum, for showing
    float lowestCode = -1;  // as for the analyser: runs at these codes are clipped
    float highestCode = 1;
};

// A product m f1 + n f2 (f1 and f2 themselves are m, n = 1, 0 and 0, 1).
struct Product
{
    int m = 0, n = 0;
    double frequencyHz = 0;
    bool present = false; // false at or below 0 Hz, or at or above half the rate
    double amplitude = 0; // U(f), full scale 1
    // The amplitude read where no product lies, half way to the next: what
    // the noise alone gives a product (reported products only).
    double noise = 0;
    std::string label; // "f2-2f1", "2f2-f1", ...
};

// Percent; NaN for the other method's. Modulation (SMPTE, DIN):
// imd = sqrt(sum n = 1..5 of U(f2 - n f1)^2 + U(f2 + n f1)^2) / U(f2),
// d2 = (U(f2 - f1) + U(f2 + f1)) / U(f2), d3 = (U(f2 - 2f1) + U(f2 + 2f1)) / U(f2).
// CCIF: dfd d2 = U(f2 - f1) / 2 U(f2), d3 = (U(2f1 - f2) + U(2f2 - f1)) / 2 U(f2).
struct ImdFigures
{
    double imdPercent, imdD2Percent, imdD3Percent;
    double dfdD2Percent, dfdD3Percent;
    // The method's one figure: imd, or for CCIF the root of d2 and d3 squared.
    double mainPercent() const;
};

struct Intermodulation
{
    twotone::Method method = twotone::Method::Smpte;
    double sampleRate = 0;
    int64_t frames = 0;
    Product f1, f2; // as found
    double peakDbfs = 0;
    int64_t clippedSamples = 0;
    // How far the weaker tone's peak stands above the spectrum's median.
    double toneOverNoiseDb = 0;
    std::vector<Product> products; // those the figures take, in the order of their sums
    ImdFigures figures{};
    // The same figures from the noise beside each product: where a figure
    // does not stand well above its floor, it is the noise's.
    ImdFigures floor{};
    MagnitudeSpectrum spectrum; // when asked for
};

// The figures and their floor from the products (after averaging them, say).
void computeFigures(Intermodulation &result);

// Throws AnalysisError where a tone is missing (silence, too short, one of the
// two not standing out of the noise) or the tones do not suit the method;
// Progress::Cancelled when cancelled.
Intermodulation analyseIntermodulation(const std::vector<float> &samples, double rate,
                                       const ImdSettings &settings, const Progress *progress = nullptr);

// The amplitudes, full scale 1, of components at the angles `thetas` (radians
// a sample, each in (0, pi), at least a bin or two apart) in `count` samples,
// fitted all at once with DC by least squares weighted with a Blackman-Harris
// window: exact for a sum of those components, and a component left out
// reaches the others no further than the window's sidelobes let it.
std::vector<double> fitComponents(const float *samples, std::size_t count, const std::vector<double> &thetas);

} // namespace analysis
