#pragma once

#include "analysis/analyser.h"
#include "analysis/fourier.h"

#include <cstdint>
#include <vector>

class Progress;

// The noise of a recording made with nothing played, and the dynamic range of
// one made with a quiet tone played.
namespace analysis {

struct NoiseSettings
{
    double bandLowHz = 20; // the top is cut to half the rate
    double bandHighHz = 20000;
    bool spectrum = false;
};

struct Noise
{
    double sampleRate = 0;
    int64_t frames = 0;
    double bandLowHz = 0, bandHighHz = 0;
    // The RMS within the band, plain and A-weighted, in dBFS: a full-scale
    // sine's RMS is 0 dBFS. -inf for digital silence.
    double noiseDbfs = 0;
    double noiseADbfs = 0;
    double peakDbfs = 0; // -inf for digital silence
    double dcOffset = 0;
    MagnitudeSpectrum spectrum; // when asked for
};

// Throws AnalysisError for a record too short to hold the band's lowest
// frequency; Progress::Cancelled when cancelled.
Noise analyseNoise(const std::vector<float> &samples, double rate, const NoiseSettings &settings,
                   const Progress *progress = nullptr);

// Dynamic range as AES17 has it: the A-weighted THD+N of a 997 Hz tone at
// -60 dBFS, in dB and positive, with 60 dB added; where the tone comes back
// at another level, its own distance below full scale is added instead.
constexpr double kDynamicRangeHz = 997;
constexpr double kDynamicRangeDbfs = -60;
// The analyser's settings for it: the fundamental near 997 Hz, THD+N A-weighted.
Settings dynamicRangeSettings(const Settings &base = {});
// From an analysis made with those settings.
double dynamicRangeDb(const Analysis &aWeighted);

} // namespace analysis
