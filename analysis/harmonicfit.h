#pragma once

#include <cstddef>
#include <vector>

class Progress;

// The least-squares fit of DC plus harmonics 1 to H of one frequency to a
// record of samples: the multi-harmonic form of the four-parameter sine fit,
// with the frequency refined by Gauss-Newton. Time is counted in samples from
// the record's centre, which keeps the amplitudes apart from the frequency
// and makes the sums of the normal equations closed forms.
namespace analysis {

struct HarmonicFit
{
    double theta = 0; // the fundamental, radians per sample
    double dc = 0;
    std::vector<double> cosine; // harmonic n at index n - 1: a_n cos(n theta u) ...
    std::vector<double> sine;   // ... + b_n sin(n theta u), u samples from the centre
    double centre = 0;          // (count - 1) / 2
    int iterations = 0;
    bool converged = false;

    int harmonics() const { return static_cast<int>(cosine.size()); }
};

// The fit at a fixed frequency: DC and harmonics 1 to `harmonics` by linear
// least squares. `explained` gets the energy the model explains, or -1 (and
// the fit no harmonics) where the equations are singular.
HarmonicFit fitAtFrequency(const float *samples, std::size_t count, int harmonics, double theta,
                           double *explained = nullptr);

// The fit with the frequency refined from `theta`, which must lie within a
// quarter of a bin (pi / (2 count) radians a sample) or so of the truth.
// Gives up after `maxIterations` passes, or on singular equations, with
// `converged` false.
HarmonicFit fitHarmonics(const float *samples, std::size_t count, int harmonics, double theta,
                         const Progress *progress = nullptr, int maxIterations = 40);

} // namespace analysis
