#include "analysis/noise.h"

#include "base/progress.h"
#include "dsp/soundmath.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace analysis {

namespace {

constexpr double kSegmentSeconds = 1; // bins of 1 Hz: the band's edges sharp
constexpr std::size_t kSpectrumSegment = 65536;

// dBFS of a mean square, a full-scale sine's (1/2) at 0.
double dbfsOfPower(double meanSquare)
{
    return meanSquare > 0 ? dsp::powerDecibels(2 * meanSquare) : -std::numeric_limits<double>::infinity();
}

} // namespace

Noise analyseNoise(const std::vector<float> &samples, double rate, const NoiseSettings &settings,
                   const Progress *progress)
{
    if (!(rate > 0))
        throw AnalysisError("the sample rate must be above 0");
    if (!(settings.bandLowHz >= 0 && settings.bandLowHz < settings.bandHighHz))
        throw AnalysisError("the noise's band must run from a frequency of 0 or more up to a higher one");
    Noise noise;
    noise.sampleRate = rate;
    noise.frames = int64_t(samples.size());
    noise.bandLowHz = settings.bandLowHz;
    noise.bandHighHz = std::min(settings.bandHighHz, rate / 2);
    if (noise.bandLowHz >= noise.bandHighHz)
        throw AnalysisError(QStringLiteral("the noise's band starts at %1 Hz, at or above half the sample rate")
                                .arg(noise.bandLowHz)
                                .toStdString());
    // A segment holds two periods of the band's lowest frequency at the least.
    const double shortest = std::max(2 * rate / std::max(noise.bandLowHz, 1.0), 64.0);
    if (double(samples.size()) < shortest)
        throw AnalysisError(QStringLiteral("it is too short: %1 s, where the band's lowest frequency needs %2 s")
                                .arg(double(samples.size()) / rate)
                                .arg(shortest / rate)
                                .toStdString());
    const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
    noise.dcOffset = mean;
    float peak = 0;
    for (float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    noise.peakDbfs = peak > 0 ? dsp::decibels(peak) : -std::numeric_limits<double>::infinity();
    const std::size_t segment = std::min(samples.size(), std::size_t(std::llround(rate * kSegmentSeconds)));
    // Less its DC: a large offset would leak into the lowest bins.
    const SignalSegment signal = [&](std::size_t first, double *out, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i)
            out[i] = samples[first + i] - mean;
    };
    const std::size_t count = samples.size();
    noise.noiseDbfs = dbfsOfPower(
        bandPower(signal, count, segment, rate, noise.bandLowHz, noise.bandHighHz, progress, Weighting::None));
    if (progress)
        progress->reach(0.4);
    noise.noiseADbfs = dbfsOfPower(
        bandPower(signal, count, segment, rate, noise.bandLowHz, noise.bandHighHz, progress, Weighting::A));
    if (progress)
        progress->reach(0.8);
    if (settings.spectrum)
        noise.spectrum = magnitudeSpectrum(samples.data(), count, rate, kSpectrumSegment, progress);
    if (progress)
        progress->reach(1);
    return noise;
}

Settings dynamicRangeSettings(const Settings &base)
{
    Settings settings = base;
    settings.fundamentalHz = kDynamicRangeHz;
    settings.weighting = Weighting::A;
    return settings;
}

double dynamicRangeDb(const Analysis &aWeighted)
{
    // The tone's own distance below full scale: 60 dB where the device has no
    // gain, and where it has, the range still runs from full scale to the noise.
    return -aWeighted.fundamentalDbfs - dsp::decibels(aWeighted.thdN);
}

} // namespace analysis
