#pragma once

#include <cstddef>
#include <functional>
#include <vector>

class Progress;

// Fourier transforms by FFTW, for the analyser: where the fundamental starts, the power
// in a band, and the magnitude spectrum that is shown.
namespace analysis {

struct Peak
{
    double frequencyHz = 0;
    double overMedianDb = 0; // how far the peak stands above the spectrum's median
};

// The strongest peak from `lowestHz` to `highestHz`, from a Blackman-Harris
// window over the samples with their mean removed, refined between bins.
Peak strongestPeak(const float *samples, std::size_t count, double rate, double lowestHz, double highestHz);

// Writes `length` samples of a signal from sample `first` on into `out`.
using SignalSegment = std::function<void(std::size_t first, double *out, std::size_t length)>;

// The mean square of a signal of `count` samples within [lowHz, highHz]:
// Hann-windowed segments of about a sixth of a second, overlapping by half,
// averaged (Welch).
double bandPower(std::size_t count, double rate, double lowHz, double highHz, const SignalSegment &signal,
                 const Progress *progress);

// The magnitude at each frequency in dB full scale (a full-scale sine at 0
// dB), averaged over Blackman-Harris segments of up to `segment` samples.
struct MagnitudeSpectrum
{
    std::vector<double> frequencyHz;
    std::vector<double> dbfs;
};
MagnitudeSpectrum magnitudeSpectrum(const float *samples, std::size_t count, double rate, std::size_t segment,
                                    const Progress *progress);

} // namespace analysis
