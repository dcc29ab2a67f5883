#include "analysis/analyser.h"

#include "analysis/harmonicfit.h"
#include "app/progress.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace analysis {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLowestFundamentalHz = 10;
// A tone's peak stands at least this far above the spectrum's median; white
// noise alone reaches some 15 dB.
constexpr double kToneOverNoiseDb = 30;
// A harmonic is present below half the rate on the fundamental rounded to
// this, so that the last bits of a fit never decide.
constexpr double kNominalHz = 1e-3;
constexpr std::size_t kFirstStage = 65536;
constexpr std::size_t kStageGrowth = 16;
constexpr int kGridPoints = 21; // over two bins around the spectrum's peak
constexpr double kLeastPeriods = 1.5;
constexpr std::size_t kSpectrumSegment = 65536;

double wrapDegrees(double degrees)
{
    double wrapped = std::fmod(degrees, 360.0);
    if (wrapped < 0)
        wrapped += 360;
    return wrapped >= 360 ? 0 : wrapped;
}

HarmonicFit fundamentalStart(const std::vector<float> &samples, double rate, const Settings &settings,
                             const Progress *progress)
{
    const std::size_t count = samples.size();
    std::size_t first = kFirstStage;
    while (double(first) < rate)
        first *= 2;
    first = std::min(first, count);
    const double nyquist = rate / 2;
    const Peak overall = strongestPeak(samples.data(), first, rate, kLowestFundamentalHz, nyquist);
    if (overall.overMedianDb < kToneOverNoiseDb)
        throw AnalysisError(
            QStringLiteral("no tone: no peak stands well above the noise (the strongest, at %1 Hz, "
                           "is %2 dB above the median)")
                .arg(overall.frequencyHz, 0, 'f', 1)
                .arg(overall.overMedianDb, 0, 'f', 1)
                .toStdString());
    double startHz = overall.frequencyHz;
    if (settings.fundamentalHz) {
        const double given = *settings.fundamentalHz;
        startHz = strongestPeak(samples.data(), first, rate, given * 0.8, std::min(given * 1.25, nyquist))
                      .frequencyHz;
        if (startHz <= 0)
            startHz = given;
    }
    if (progress)
        progress->reach(0.05);

    // The explained energy over a fine grid picks the main lobe; Gauss-Newton does the rest.
    const double bin = 2 * kPi / double(first);
    double bestTheta = 2 * kPi * startHz / rate, bestEnergy = -1;
    const double centre = bestTheta;
    for (int i = 0; i < kGridPoints; ++i) {
        const double theta = centre + bin * (double(i) / (kGridPoints - 1) * 2 - 1);
        if (theta <= 0 || theta >= kPi)
            continue;
        double energy = -1;
        fitAtFrequency(samples.data(), first, 1, theta, &energy);
        if (energy > bestEnergy) {
            bestEnergy = energy;
            bestTheta = theta;
        }
    }
    HarmonicFit fit = fitHarmonics(samples.data(), first, 1, bestTheta, progress);
    // Ever longer stretches of the record, each fit starting from the last.
    for (std::size_t length = first * kStageGrowth; fit.converged && length < count; length *= kStageGrowth)
        fit = fitHarmonics(samples.data(), length, 1, fit.theta, progress);
    if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
        throw AnalysisError("no steady tone: the fundamental's frequency does not settle");
    return fit;
}

} // namespace

double Analysis::levelPercent(int n) const
{
    for (const Harmonic &harmonic : harmonics)
        if (harmonic.n == n && harmonic.present)
            return harmonic.levelPercent;
    return 0;
}

double decibels(double fraction)
{
    return 20 * std::log10(fraction);
}

double roundedPhase(double degrees, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::nearbyint(degrees * scale) / scale;
    return rounded >= 360 ? rounded - 360 : rounded;
}

namespace {

// Samples at one of the format's extreme codes in runs of two or more: a sine
// whose peak touches the highest code once is not clipped.
int64_t clippedSamples(const std::vector<float> &samples, float lowest, float highest)
{
    int64_t clipped = 0, run = 0;
    float rail = 0;
    for (float sample : samples) {
        const bool atRail = sample == lowest || sample == highest;
        run = atRail && run > 0 && sample == rail ? run + 1 : atRail ? 1 : 0;
        rail = sample;
        clipped += run == 2 ? 2 : run > 2 ? 1 : 0;
    }
    return clipped;
}

} // namespace

Analysis analyse(const std::vector<float> &samples, double rate, const Settings &settings,
                 const Progress *progress)
{
    if (!(rate > 0))
        throw AnalysisError("the sample rate must be above 0");
    if (settings.harmonics < 2 || settings.harmonics > kMostHarmonics)
        throw AnalysisError("the highest harmonic reported must lie from 2 to 20");
    if (!(settings.bandLowHz >= 0 && settings.bandLowHz < settings.bandHighHz))
        throw AnalysisError("the THD+N band must run from a frequency of 0 or more up to a higher one");
    if (settings.fundamentalHz && !(*settings.fundamentalHz > 0 && *settings.fundamentalHz < rate / 2))
        throw AnalysisError("the fundamental must lie above 0 and below half the sample rate");
    const std::size_t count = samples.size();
    if (count < 16)
        throw AnalysisError("it is too short to analyse: fewer than 16 samples");

    Analysis result;
    result.sampleRate = rate;
    result.frames = static_cast<int64_t>(count);
    float lowest = samples[0], highest = samples[0];
    double peak = 0, sum = 0, sumOfSquares = 0;
    for (float sample : samples) {
        lowest = std::min(lowest, sample);
        highest = std::max(highest, sample);
        peak = std::max(peak, double(std::fabs(sample)));
        result.beyondFullScale += std::fabs(sample) > 1;
        sum += sample;
        sumOfSquares += double(sample) * sample;
    }
    result.clippedSamples = clippedSamples(samples, settings.lowestCode, settings.highestCode);
    const double mean = sum / double(count);
    const double signalPower = std::max(0.0, sumOfSquares / double(count) - mean * mean);
    result.peakDbfs = peak > 0 ? decibels(peak) : -std::numeric_limits<double>::infinity();
    if (lowest == highest)
        throw AnalysisError(highest == 0 ? "it is silent" : "it holds one constant value and no tone");

    const HarmonicFit start = fundamentalStart(samples, rate, settings, progress);
    if (progress)
        progress->reach(0.25);
    const double startHz = start.theta * rate / (2 * kPi);
    int fitted = 1;
    while (fitted < settings.harmonics && (fitted + 1) * startHz < rate / 2)
        ++fitted;
    const HarmonicFit fit = fitHarmonics(samples.data(), count, fitted, start.theta, progress);
    if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
        throw AnalysisError("no steady tone: the fit of its harmonics does not settle");
    if (progress)
        progress->reach(0.6);

    result.fundamentalHz = fit.theta * rate / (2 * kPi);
    if (result.fundamentalHz * double(count) / rate < kLeastPeriods)
        throw AnalysisError(
            QStringLiteral("it is too short: %1 s holds less than %2 periods of its fundamental "
                           "(%3 Hz)")
                .arg(double(count) / rate)
                .arg(kLeastPeriods)
                .arg(result.fundamentalHz, 0, 'f', 3)
                .toStdString());
    result.dcOffset = fit.dc;
    const double a1 = fit.cosine[0], b1 = fit.sine[0];
    result.fundamentalAmplitude = std::hypot(a1, b1);
    result.fundamentalDbfs = decibels(result.fundamentalAmplitude);
    // Component n is A_n sin(n theta u + psi_n) about the centre; the record's
    // start shifts every psi_n by n times the same angle, which the
    // convention's n theta_1 - theta_n cancels.
    const double psi1 = std::atan2(a1, b1);
    double harmonicPower = 0;
    bool anyHarmonic = false;
    const double nominalHz = std::nearbyint(result.fundamentalHz / kNominalHz) * kNominalHz;
    for (int n = 2; n <= settings.harmonics; ++n) {
        Harmonic harmonic;
        harmonic.n = n;
        harmonic.present = n * nominalHz < rate / 2 && n <= fit.harmonics();
        anyHarmonic = anyHarmonic || harmonic.present;
        if (harmonic.present) {
            const double a = fit.cosine[n - 1], b = fit.sine[n - 1];
            harmonic.amplitude = std::hypot(a, b);
            harmonic.levelPercent = 100 * harmonic.amplitude / result.fundamentalAmplitude;
            harmonic.dbc = decibels(harmonic.amplitude / result.fundamentalAmplitude);
            harmonic.phaseDegrees = wrapDegrees((n * psi1 - std::atan2(a, b)) * 180 / kPi);
            harmonicPower += harmonic.amplitude * harmonic.amplitude;
        }
        result.harmonics.push_back(harmonic);
    }
    const double fundamentalPower = result.fundamentalAmplitude * result.fundamentalAmplitude;
    const double undefined = std::numeric_limits<double>::quiet_NaN();
    result.thdF = anyHarmonic ? std::sqrt(harmonicPower / fundamentalPower) : undefined;
    result.thdR = anyHarmonic ? std::sqrt(harmonicPower / (fundamentalPower + harmonicPower)) : undefined;
    result.explained = signalPower > 0 ? std::min(1.0, (fundamentalPower + harmonicPower) / 2 / signalPower) : 0;

    // THD+N: everything but DC and the fundamental, within the band, over all within it.
    result.bandLowHz = settings.bandLowHz;
    result.bandHighHz = std::min(settings.bandHighHz, rate / 2);
    if (result.bandLowHz >= result.bandHighHz)
        throw AnalysisError(QStringLiteral("the THD+N band starts at %1 Hz, at or above half the sample rate (%2 Hz)")
                                .arg(result.bandLowHz)
                                .arg(rate / 2)
                                .toStdString());
    const double theta = fit.theta, dc = fit.dc, centre = fit.centre;
    const SignalSegment residual = [&](std::size_t first, double *out, std::size_t length) {
        const double stepCos = std::cos(theta), stepSin = std::sin(theta);
        double c = 0, s = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (i % 1024 == 0) {
                const double u = double(first + i) - centre;
                c = std::cos(theta * u);
                s = std::sin(theta * u);
            }
            out[i] = samples[first + i] - dc - (a1 * c + b1 * s);
            const double turned = s * stepCos + c * stepSin;
            c = c * stepCos - s * stepSin;
            s = turned;
        }
    };
    const double noiseAndDistortion =
        bandPower(count, rate, result.bandLowHz, result.bandHighHz, residual, progress);
    result.fundamentalInBand =
        result.fundamentalHz >= result.bandLowHz && result.fundamentalHz <= result.bandHighHz;
    // The reference is the whole signal less DC, wherever the band lies.
    result.thdN = signalPower > 0 ? std::min(1.0, std::sqrt(noiseAndDistortion / signalPower)) : 0;
    if (progress)
        progress->reach(0.8);

    if (settings.spectrum)
        result.spectrum = magnitudeSpectrum(samples.data(), count, rate, kSpectrumSegment, progress);
    if (progress)
        progress->reach(1);
    return result;
}

} // namespace analysis
