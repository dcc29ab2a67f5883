#include "analysis/analyser.h"

#include "analysis/harmonicfit.h"
#include "analysis/residual.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numeric>
#include <memory>

namespace analysis {

namespace {

using dsp::kPi;
constexpr double kLowestFundamentalHz = 10;
constexpr int kMostSubharmonic = 4;
// A subharmonic this far below the strongest tone is a spur, not its fundamental.
constexpr double kSubharmonicBelowDb = 40;
// A harmonic is present below half the rate on the fundamental rounded to
// this, so that the last bits of a fit never decide.
constexpr double kNominalHz = 1e-3;
constexpr std::size_t kFirstStage = 65536;
constexpr std::size_t kStageGrowth = 16;
constexpr int kGridPoints = 21; // over two bins around the spectrum's peak
constexpr double kLeastPeriods = 1.5;
constexpr std::size_t kSpectrumSegment = 65536;
constexpr double kSegmentSeconds = 1; // THD+N's Welch segments
constexpr double kPartSeconds = 1;    // the harmonics' fit of a long record
// The residual's stretches for its disturbance: whole periods, and long enough
// that hum and noise within the band come out alike in each.
constexpr double kStretchSeconds = 0.05;
constexpr std::size_t kLeastStretches = 4;
// A stretch this far above the quietest quarter's level holds a disturbance.
constexpr double kStretchAboveQuietest = 3;

// Whether harmonic n of a fundamental lies below half the rate, judged on the
// fundamental rounded to kNominalHz: the same way every time, and never for a
// harmonic so close to half the rate that its sine all but vanishes.
bool belowHalfTheRate(int n, double fundamentalHz, double rate)
{
    return n * (std::nearbyint(fundamentalHz / kNominalHz) * kNominalHz) < rate / 2;
}

std::size_t partLength(double rate)
{
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(kPartSeconds * rate)));
}

// Where the fit of the fundamental starts: the strongest tone of the first
// stretch of the record in which one stands out (or the one near the given
// fundamental, which is taken whatever the gate says), moved down to the
// lowest of its subharmonics that stands out too: a tone whose second
// harmonic is stronger than itself is still the fundamental.
HarmonicFit fundamentalStart(const std::vector<float> &samples, double rate, const Settings &settings,
                             const Progress *progress, double &toneOverNoiseDb)
{
    const std::size_t count = samples.size();
    std::size_t first = kFirstStage;
    while (double(first) < rate)
        first *= 2;
    first = std::min(first, count);
    const double nyquist = rate / 2;
    const std::optional<double> given = settings.fundamentalHz;
    const auto search = [&](const PeakSpectrum &spectrum) {
        return given ? spectrum.strongest(*given * 0.8, std::min(*given * 1.25, nyquist))
                     : spectrum.strongest(kLowestFundamentalHz, nyquist);
    };
    // The gate looks at one stretch after another until a tone stands out.
    std::size_t offset = 0, bestOffset = 0;
    Peak best;
    best.overMedianDb = -std::numeric_limits<double>::infinity();
    std::unique_ptr<PeakSpectrum> bestSpectrum;
    for (;;) {
        if (progress)
            progress->check();
        auto spectrum =
            std::make_unique<PeakSpectrum>(samples.data() + offset, first, rate, kLowestFundamentalHz);
        const Peak peak = search(*spectrum);
        if (!bestSpectrum || (peak.frequencyHz > 0 && peak.overMedianDb > best.overMedianDb)) {
            best = peak;
            bestOffset = offset;
            bestSpectrum = std::move(spectrum);
        }
        if (best.overMedianDb >= kToneOverNoiseDb || offset + first >= count)
            break;
        offset = std::min(offset + first, count - first);
    }
    if (best.overMedianDb < kToneOverNoiseDb && !given)
        throw AnalysisError(
            QStringLiteral("no tone: no peak stands well above the noise (the strongest, at %1 Hz, "
                           "is %2 dB above the median)")
                .arg(best.frequencyHz, 0, 'f', 1)
                .arg(best.overMedianDb, 0, 'f', 1)
                .toStdString());
    toneOverNoiseDb = best.overMedianDb;
    offset = bestOffset;
    double startHz = best.frequencyHz > 0 ? best.frequencyHz : *given;
    if (!given) {
        const PeakSpectrum &spectrum = *bestSpectrum;
        const double reach = 2 * spectrum.binHz();
        for (int divisor = 2; divisor <= kMostSubharmonic; ++divisor) {
            const double below = best.frequencyHz / divisor;
            if (below < kLowestFundamentalHz)
                break;
            const Peak sub = spectrum.strongest(below - reach, below + reach);
            if (sub.overMedianDb >= std::max(kToneOverNoiseDb, best.overMedianDb - kSubharmonicBelowDb))
                startHz = sub.frequencyHz;
        }
    }
    const float *block = samples.data() + offset;
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
        fitAtFrequency(block, first, 1, theta, &energy);
        if (energy > bestEnergy) {
            bestEnergy = energy;
            bestTheta = theta;
        }
    }
    HarmonicFit fit = fitHarmonics(block, first, 1, bestTheta, progress);
    // Ever longer stretches of the record, each fit starting from the last, up
    // to what the fit of the harmonics needs: a record fitted in parts needs
    // only a start good for one part.
    const std::size_t enough = count >= 2 * partLength(rate) ? partLength(rate) : count;
    for (std::size_t length = first * kStageGrowth; fit.converged && length < enough; length *= kStageGrowth)
        fit = fitHarmonics(samples.data(), length, 1, fit.theta, progress);
    if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
        throw AnalysisError("no steady tone: the fundamental's frequency does not settle");
    return fit;
}

// The fundamental and its harmonics, each harmonic as a vector relative to the fundamental.
struct Fitted
{
    double theta = 0; // the mean fundamental, radians a sample
    double dc = 0;
    double amplitude = 0; // the fundamental's
    // Harmonic n at n - 2: (A_n / A_1) e^(i (n psi_1 - psi_n)), whose angle is the
    // program's phase convention. Component n is A_n sin(n theta u + psi_n): a shift
    // of time turns every psi_n by n times one angle, which n psi_1 - psi_n cancels.
    std::vector<std::complex<double>> relative;
};

Fitted fittedOf(const HarmonicFit &fit)
{
    Fitted fitted;
    fitted.theta = fit.theta;
    fitted.dc = fit.dc;
    fitted.amplitude = std::hypot(fit.cosine[0], fit.sine[0]);
    const double psi1 = std::atan2(fit.cosine[0], fit.sine[0]);
    for (int n = 2; n <= fit.harmonics(); ++n) {
        const double a = fit.cosine[n - 1], b = fit.sine[n - 1];
        fitted.relative.push_back(
            std::polar(std::hypot(a, b) / fitted.amplitude, n * psi1 - std::atan2(a, b)));
    }
    return fitted;
}

// A record of two seconds or more is fitted a second at a time, each part at
// its own frequency, and the harmonics are averaged as vectors relative to
// the fundamental: a slow drift of frequency, which smears a harmonic n times
// as much as the fundamental over a long record, then costs nothing. The mean
// frequency comes from the fundamental's phase at the parts' centres, which
// keeps the precision of the whole record.
Fitted fitOverParts(const std::vector<float> &samples, double rate, int harmonics, double theta,
                    const Progress *progress)
{
    const std::size_t count = samples.size();
    const std::size_t parts = count / partLength(rate);
    if (parts < 2) {
        const HarmonicFit fit = fitHarmonics(samples.data(), count, harmonics, theta, progress);
        if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
            throw AnalysisError("no steady tone: the fit of its harmonics does not settle");
        return fittedOf(fit);
    }
    std::vector<HarmonicFit> fits(parts);
    forEachPart(static_cast<int>(parts), [&](int part) {
        const std::size_t begin = count * std::size_t(part) / parts,
                          end = count * std::size_t(part + 1) / parts;
        fits[std::size_t(part)] =
            fitHarmonics(samples.data() + begin, end - begin, harmonics, theta, progress);
    });
    Fitted combined;
    combined.relative.assign(std::size_t(harmonics - 1), 0.0);
    double weights = 0, previousPhase = 0, previousCentre = 0, previousTheta = 0;
    std::vector<double> centres, phases, partWeights;
    for (std::size_t part = 0; part < parts; ++part) {
        const HarmonicFit &fit = fits[part];
        if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
            continue;
        const std::size_t begin = count * part / parts, end = count * (part + 1) / parts;
        const double weight = double(end - begin);
        const Fitted own = fittedOf(fit);
        combined.dc += weight * own.dc;
        combined.amplitude += weight * own.amplitude;
        for (std::size_t k = 0; k < own.relative.size(); ++k)
            combined.relative[k] += weight * own.relative[k];
        // The fundamental's phase at the part's centre, unwrapped against the last part's.
        const double centre = double(begin) + fit.centre;
        double phase = std::atan2(fit.cosine[0], fit.sine[0]);
        if (!phases.empty()) {
            const double expected =
                previousPhase + (previousTheta + fit.theta) / 2 * (centre - previousCentre);
            phase += 2 * kPi * std::nearbyint((expected - phase) / (2 * kPi));
        }
        centres.push_back(centre);
        phases.push_back(phase);
        partWeights.push_back(weight);
        previousPhase = phase;
        previousCentre = centre;
        previousTheta = fit.theta;
        weights += weight;
    }
    if (phases.size() < 2)
        throw AnalysisError("no steady tone: the fit of its harmonics does not settle");
    combined.dc /= weights;
    combined.amplitude /= weights;
    for (std::complex<double> &relative : combined.relative)
        relative /= weights;
    // The slope of a weighted straight line through the phases.
    double meanCentre = 0, meanPhase = 0;
    for (std::size_t i = 0; i < phases.size(); ++i) {
        meanCentre += partWeights[i] * centres[i] / weights;
        meanPhase += partWeights[i] * phases[i] / weights;
    }
    double covariance = 0, variance = 0;
    for (std::size_t i = 0; i < phases.size(); ++i) {
        covariance += partWeights[i] * (centres[i] - meanCentre) * (phases[i] - meanPhase);
        variance += partWeights[i] * (centres[i] - meanCentre) * (centres[i] - meanCentre);
    }
    combined.theta = covariance / variance;
    return combined;
}

// The energy of the residual's stretches that stand far above its quietest
// quarter, less that quarter's level, over the energy of the rest.
double disturbanceOf(const FundamentalRemoval &removal, std::size_t count, double theta, double rate)
{
    const double period = 2 * kPi / theta;
    const auto stretch = static_cast<std::size_t>(
        std::llround(std::ceil(std::max(kStretchSeconds * rate, period) / period) * period));
    const std::size_t stretches = count / std::max<std::size_t>(1, stretch);
    if (stretches < kLeastStretches)
        return 0;
    std::vector<double> energies(stretches), residual(stretch);
    for (std::size_t k = 0; k < stretches; ++k) {
        removal.residual(k * stretch, residual.data(), stretch);
        energies[k] = std::inner_product(residual.begin(), residual.end(), residual.begin(), 0.0);
    }
    std::vector<double> sorted = energies;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(stretches / 4), sorted.end());
    const double quiet = sorted[stretches / 4];
    double excess = 0, total = 0;
    for (double energy : energies) {
        total += energy;
        if (energy > kStretchAboveQuietest * quiet)
            excess += energy - quiet;
    }
    if (excess == 0)
        return 0;
    return total > excess ? excess / (total - excess) : std::numeric_limits<double>::infinity();
}

} // namespace

double Analysis::levelPercent(int n) const
{
    for (const Harmonic &harmonic : harmonics)
        if (harmonic.n == n && harmonic.present)
            return harmonic.levelPercent;
    return 0;
}

double roundedPhase(double degrees, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::nearbyint(degrees * scale) / scale;
    return rounded >= 360 ? rounded - 360 : rounded;
}

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
    // Four of each side by side, so that each step need not wait for the last:
    // on a long record this loop alone took a sixth of the analysis.
    constexpr int kLanes = 4;
    float lowest[kLanes], highest[kLanes];
    std::fill(lowest, lowest + kLanes, samples[0]);
    std::fill(highest, highest + kLanes, samples[0]);
    double sums[kLanes] = {}, squares[kLanes] = {};
    int64_t beyond = 0;
    for (std::size_t i = 0; i < count; i += kLanes) {
        for (int lane = 0; lane < kLanes && i + std::size_t(lane) < count; ++lane) {
            const float sample = samples[i + std::size_t(lane)];
            lowest[lane] = sample < lowest[lane] ? sample : lowest[lane];
            highest[lane] = sample > highest[lane] ? sample : highest[lane];
            beyond += std::fabs(sample) > 1;
            sums[lane] += sample;
            squares[lane] += double(sample) * sample;
        }
    }
    const float least = *std::min_element(lowest, lowest + kLanes);
    const float most = *std::max_element(highest, highest + kLanes);
    result.beyondFullScale = beyond;
    const double sum = sums[0] + sums[1] + sums[2] + sums[3];
    const double sumOfSquares = squares[0] + squares[1] + squares[2] + squares[3];
    const double peak = std::max(std::fabs(double(least)), std::fabs(double(most)));
    result.clippedSamples = clippedSamples(samples, settings.lowestCode, settings.highestCode);
    const double mean = sum / double(count);
    const double signalPower = std::max(0.0, sumOfSquares / double(count) - mean * mean);
    result.peakDbfs = peak > 0 ? dsp::decibels(peak) : -std::numeric_limits<double>::infinity();
    if (least == most)
        throw AnalysisError(most == 0 ? "it is silent" : "it holds one constant value and no tone");

    const HarmonicFit start = fundamentalStart(samples, rate, settings, progress, result.toneOverNoiseDb);
    if (progress)
        progress->reach(0.25);
    const double startHz = start.theta * rate / (2 * kPi);
    int fitted = 1;
    while (fitted < settings.harmonics && belowHalfTheRate(fitted + 1, startHz, rate))
        ++fitted;
    const Fitted fit = fitOverParts(samples, rate, fitted, start.theta, progress);
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
    result.fundamentalAmplitude = fit.amplitude;
    result.fundamentalDbfs = dsp::decibels(result.fundamentalAmplitude);
    double harmonicPower = 0;
    bool anyHarmonic = false;
    for (int n = 2; n <= settings.harmonics; ++n) {
        Harmonic harmonic;
        harmonic.n = n;
        harmonic.present =
            belowHalfTheRate(n, result.fundamentalHz, rate) && n <= int(fit.relative.size()) + 1;
        anyHarmonic = anyHarmonic || harmonic.present;
        if (harmonic.present) {
            const std::complex<double> relative = fit.relative[n - 2];
            harmonic.amplitude = std::abs(relative) * result.fundamentalAmplitude;
            harmonic.levelPercent = 100 * std::abs(relative);
            harmonic.dbc = dsp::decibels(std::abs(relative));
            harmonic.phaseDegrees = dsp::wrapDegrees(std::arg(relative) * 180 / kPi);
            harmonicPower += harmonic.amplitude * harmonic.amplitude;
        }
        result.harmonics.push_back(harmonic);
    }
    const double fundamentalPower = result.fundamentalAmplitude * result.fundamentalAmplitude;
    const double undefined = std::numeric_limits<double>::quiet_NaN();
    const dsp::Thd thd = dsp::thdOf(harmonicPower / fundamentalPower);
    result.thdF = anyHarmonic ? thd.f : undefined;
    result.thdR = anyHarmonic ? thd.r : undefined;
    result.explained =
        signalPower > 0 ? std::min(1.0, (fundamentalPower + harmonicPower) / 2 / signalPower) : 0;

    // THD+N: everything but DC and the fundamental within the band, over the whole signal less DC.
    result.bandLowHz = settings.bandLowHz;
    result.bandHighHz = std::min(settings.bandHighHz, rate / 2);
    if (result.bandLowHz >= result.bandHighHz)
        throw AnalysisError(
            QStringLiteral("the THD+N band starts at %1 Hz, at or above half the sample rate (%2 Hz)")
                .arg(result.bandLowHz)
                .arg(rate / 2)
                .toStdString());
    // Segments of a second, where the record has one, make the band's edges sharp.
    const std::size_t segment =
        std::min(count, static_cast<std::size_t>(std::llround(rate * kSegmentSeconds)));
    const FundamentalRemoval removal(samples, fit.theta, fit.dc, rate, fitted, progress);
    const double noiseAndDistortion = bandPower(
        [&](std::size_t first, double *out, std::size_t length) { removal.residual(first, out, length); },
        count, segment, rate, result.bandLowHz, result.bandHighHz, progress, settings.weighting);
    result.fundamentalInBand =
        result.fundamentalHz >= result.bandLowHz && result.fundamentalHz <= result.bandHighHz;
    // The reference is the whole signal less DC, wherever the band lies.
    result.thdN = signalPower > 0 ? std::min(1.0, std::sqrt(noiseAndDistortion / signalPower)) : 0;
    result.disturbance = disturbanceOf(removal, count, fit.theta, rate);
    if (progress)
        progress->reach(0.8);

    if (settings.spectrum)
        result.spectrum = magnitudeSpectrum(samples.data(), count, rate, kSpectrumSegment, progress);
    if (progress)
        progress->reach(1);
    return result;
}

} // namespace analysis
