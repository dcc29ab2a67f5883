#pragma once

#include "analysis/weighting.h"

#include <complex>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class Progress;

// Fourier transforms by FFTW, for the analyser: where the fundamental starts, the power
// in a band, and the magnitude spectrum that is shown.
namespace analysis {

struct Peak
{
    double frequencyHz = 0;  // 0 where the range holds no bin
    double overMedianDb = 0; // how far the peak stands above the spectrum's median
};

// The power spectrum of a Blackman-Harris window over the samples with their
// mean removed, zero-padded to twice their length, for finding tones; its
// median is taken from `lowestHz` up.
class PeakSpectrum
{
public:
    PeakSpectrum(const float *samples, std::size_t count, double rate, double lowestHz);

    // The strongest peak from `lowestHz` to `highestHz`, refined between bins.
    Peak strongest(double lowestHz, double highestHz) const;
    double binHz() const { return m_binHz; }

private:
    std::vector<double> m_power;
    double m_binHz = 0;
    double m_median = 0;
};

// Writes `length` samples of a signal from sample `first` on into `out`.
using SignalSegment = std::function<void(std::size_t first, double *out, std::size_t length)>;

// The mean square of a signal of `count` samples within [lowHz, highHz]:
// Hann-windowed segments of `length` samples, overlapping by half where the
// record holds few of them, averaged (Welch). A bin counts where its centre
// lies within the band: with segments of one second, bins one hertz apart,
// a component 2 Hz or more inside an edge counts whole and one 2 Hz or more
// outside does not count. Each bin weighed by `weighting` at its frequency.
double bandPower(const SignalSegment &signal, std::size_t count, std::size_t length, double rate,
                 double lowHz, double highHz, const Progress *progress,
                 Weighting weighting = Weighting::None);

// The magnitude at each frequency in dB full scale (a full-scale sine at 0
// dB), averaged over Blackman-Harris segments of up to `segment` samples.
struct MagnitudeSpectrum
{
    std::vector<double> frequencyHz;
    std::vector<double> dbfs;
};
MagnitudeSpectrum magnitudeSpectrum(const float *samples, std::size_t count, double rate, std::size_t segment,
                                    const Progress *progress);

// The 4-term Blackman-Harris window, sum of a_m cos(2 pi m u / (length - 1))
// over u from the window's centre: sidelobes below -92 dB. Kept among the
// last few made, for the next block of the same length.
constexpr double kBlackmanHarris[4] = {0.35875, 0.48829, 0.14128, 0.01168};
std::shared_ptr<const std::vector<double>> blackmanHarrisWindow(std::size_t length);

// The smallest power of two of at least `n`.
std::size_t powerOfTwoAtLeast(std::size_t n);

// The spectrum of `count` samples zero-padded to `length`: bins 0 to length / 2.
std::vector<std::complex<double>> realSpectrum(const double *samples, std::size_t count, std::size_t length);
// The `length` samples whose spectrum is `bins` (0 to length / 2): realSignal(realSpectrum(x)) is x.
std::vector<double> realSignal(const std::vector<std::complex<double>> &bins, std::size_t length);

} // namespace analysis
