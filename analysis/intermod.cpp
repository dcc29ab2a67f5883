#include "analysis/intermod.h"

#include "analysis/analyser.h"
#include "analysis/harmonicfit.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <Eigen/Dense>

#include <QString>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

namespace analysis {

namespace {

using dsp::kLanes;
using dsp::kPi;
using dsp::Lanes;
using Pair = std::pair<int, int>; // m, n of m f1 + n f2
using Key = std::pair<Pair, bool>; // a product, or the probe beside it

constexpr double kPartSeconds = 1; // a long record is fitted a second at a time
// Every product up to this order is fitted, whether reported or not: none
// of them is then left to leak into another.
constexpr int kFittedOrder = 6;
constexpr int kModulationProducts = 5; // f2 - 5 f1 ... f2 + 5 f1
// A tone is looked for within this share of its frequency, and within a
// third of the distance between the two.
constexpr double kSearchShare = 0.2;
// Components closer than this many bins are one: the window cannot tell them apart.
constexpr double kSameComponentBins = 1;
// Nor can it tell a component this close to DC or to half the rate from its mirror image.
constexpr double kEdgeBins = 4;

// Sum over u = -(n - 1) / 2 ... (n - 1) / 2 of cos(phi u).
double dirichlet(double phi, double n)
{
    const double h = std::sin(phi / 2);
    // Near a multiple of 2 pi the quotient is 0 / 0: its limit, to 1e-13.
    if (std::fabs(h) * n < 1e-6)
        return n * std::cos(phi * (n - 1) / 2);
    return std::sin(n * phi / 2) / h;
}

// Sum over u of w(u) cos(phi u), w the Blackman-Harris window of n samples.
double windowed(double phi, double n)
{
    double sum = 0;
    for (int m = 0; m < 4; ++m) {
        const double psi = 2 * kPi * m / (n - 1);
        sum += kBlackmanHarris[m] / 2 * (dirichlet(phi + psi, n) + dirichlet(phi - psi, n));
    }
    return sum;
}

// Sums of z(u) cos(theta u) and z(u) sin(theta u) over the record, u from its centre.
__attribute__((target_clones("avx2", "default"))) void project(const double *z, std::size_t count, double theta,
                                                                double &cosSum, double &sinSum)
{
    const double centre = (double(count) - 1) / 2;
    dsp::Oscillator<Lanes> turning(kLanes * theta);
    Lanes c = {}, s = {};
    constexpr std::size_t kSpan = dsp::kAnchorEvery * kLanes;
    const std::size_t whole = count / kLanes * kLanes;
    for (std::size_t begin = 0; begin < whole; begin += kSpan) {
        Lanes u;
        for (int lane = 0; lane < kLanes; ++lane)
            u[lane] = double(begin) + lane - centre;
        turning.anchor(theta * u);
        const std::size_t end = std::min(whole, begin + kSpan);
        for (std::size_t i = begin; i < end; i += kLanes, turning.turn()) {
            const Lanes value = {z[i], z[i + 1], z[i + 2], z[i + 3]};
            c += value * turning.cosine();
            s += value * turning.sine();
        }
    }
    cosSum = c[0] + c[1] + c[2] + c[3];
    sinSum = s[0] + s[1] + s[2] + s[3];
    for (std::size_t i = whole; i < count; ++i) {
        const double angle = theta * (double(i) - centre);
        cosSum += z[i] * std::cos(angle);
        sinSum += z[i] * std::sin(angle);
    }
}

std::string labelOf(int m, int n)
{
    const auto term = [](int k, const char *name) {
        return std::abs(k) == 1 ? std::string(name) : std::to_string(std::abs(k)) + name;
    };
    if (n == 0)
        return term(m, "f1");
    if (m == 0)
        return term(n, "f2");
    // The positive term first: f2-2f1, 2f1-f2.
    const bool mFirst = m > 0 && n < 0;
    const std::string first = mFirst ? term(m, "f1") : term(n, "f2");
    const std::string second = mFirst ? term(n, "f2") : term(m, "f1");
    return first + ((mFirst ? n : m) < 0 ? "-" : "+") + second;
}

// The products the method's figures take, in the order of their sums.
std::vector<Pair> reportedPairs(twotone::Method method)
{
    if (method == twotone::Method::Ccif)
        return {{-1, 1}, {2, -1}, {-1, 2}};
    std::vector<Pair> pairs;
    for (int k = 1; k <= kModulationProducts; ++k) {
        pairs.push_back({-k, 1});
        pairs.push_back({k, 1});
    }
    return pairs;
}

// Every m f1 + n f2 up to the fitted order; of two opposites, the one of
// positive frequency is the component.
std::vector<Pair> fittedPairs()
{
    std::vector<Pair> pairs;
    for (int n = -kFittedOrder; n <= kFittedOrder; ++n)
        for (int m = -kFittedOrder; m <= kFittedOrder; ++m)
            if (std::abs(m) + std::abs(n) <= kFittedOrder && (m != 0 || n != 0))
                pairs.push_back({m, n});
    return pairs;
}

// How far beside a product its probe for the noise lies: half way to the
// next product.
double probeOffsetOf(const twotone::TwoTone &tones)
{
    return tones.modulation() ? tones.f1Hz / 2 : (tones.f2Hz - tones.f1Hz) / 4;
}

struct Stretch
{
    double theta1 = 0, theta2 = 0;
    double overNoiseDb = 0;
    // Of f1, f2, the reported products, then their probes; 0 where absent.
    std::vector<double> amplitudes;
};

// Finds the tone near `hz` and fits its frequency; radians a sample.
double foundTone(const float *samples, std::size_t count, double rate, const PeakSpectrum &spectrum, double hz,
                 double reach, const Progress *progress, double &overNoiseDb)
{
    const Peak peak = spectrum.strongest(hz - reach, std::min(hz + reach, rate / 2));
    if (peak.frequencyHz <= 0 || peak.overMedianDb < kToneOverNoiseDb)
        throw AnalysisError(QStringLiteral("no two-tone: nothing near %1 Hz stands well above the noise "
                                           "(%2 dB above the median, at the most)")
                                .arg(hz)
                                .arg(std::max(0.0, peak.overMedianDb), 0, 'f', 1)
                                .toStdString());
    overNoiseDb = std::min(overNoiseDb, peak.overMedianDb);
    const HarmonicFit fit = fitHarmonics(samples, count, 1, 2 * kPi * peak.frequencyHz / rate, progress);
    if (!fit.converged || !(fit.theta > 0 && fit.theta < kPi))
        throw AnalysisError(
            QStringLiteral("no steady two-tone: the tone near %1 Hz does not settle").arg(hz).toStdString());
    return fit.theta;
}

Stretch analyseStretch(const float *samples, std::size_t count, double rate, const twotone::TwoTone &tones,
                       const std::vector<Pair> &reported, const Progress *progress)
{
    Stretch stretch;
    stretch.overNoiseDb = std::numeric_limits<double>::infinity();
    const PeakSpectrum spectrum(samples, count, rate, std::min(10.0, tones.f1Hz / 2));
    const double apart = (tones.f2Hz - tones.f1Hz) / 3;
    stretch.theta1 = foundTone(samples, count, rate, spectrum, tones.f1Hz,
                               std::min(kSearchShare * tones.f1Hz, apart), progress, stretch.overNoiseDb);
    stretch.theta2 = foundTone(samples, count, rate, spectrum, tones.f2Hz,
                               std::min(kSearchShare * tones.f2Hz, apart), progress, stretch.overNoiseDb);

    // The components fitted, in order of frequency, near ones taken as one;
    // beside each product reported, a probe for the noise where no product lies.
    const double bin = 2 * kPi / double(count);
    const double probeOffset = probeOffsetOf(tones) / tones.f1Hz * stretch.theta1;
    std::vector<std::pair<double, Key>> candidates;
    const auto candidate = [&](double theta, const Key &key) {
        if (theta > kEdgeBins * bin && theta < kPi - kEdgeBins * bin)
            candidates.push_back({theta, key});
    };
    const auto thetaOf = [&](const Pair &pair) { return pair.first * stretch.theta1 + pair.second * stretch.theta2; };
    for (const Pair &pair : fittedPairs())
        candidate(thetaOf(pair), {pair, false});
    for (const Pair &pair : reported)
        candidate(thetaOf(pair) + probeOffset, {pair, true});
    std::sort(candidates.begin(), candidates.end());
    std::vector<double> thetas;
    std::map<Key, std::size_t> componentOf;
    for (const auto &[theta, key] : candidates) {
        if (thetas.empty() || theta - thetas.back() >= kSameComponentBins * bin)
            thetas.push_back(theta);
        componentOf[key] = thetas.size() - 1;
    }
    const std::vector<double> amplitudes = fitComponents(samples, count, thetas);
    std::vector<Key> wanted{{{1, 0}, false}, {{0, 1}, false}};
    for (bool probe : {false, true})
        for (const Pair &pair : reported)
            wanted.push_back({pair, probe});
    for (const Key &key : wanted) {
        const auto found = componentOf.find(key);
        stretch.amplitudes.push_back(found == componentOf.end() ? 0.0 : amplitudes[found->second]);
    }
    return stretch;
}

} // namespace

std::vector<double> fitComponents(const float *samples, std::size_t count, const std::vector<double> &thetas)
{
    const std::size_t components = thetas.size();
    const auto window = blackmanHarrisWindow(count);
    std::vector<double> z(count);
    double dcProjection = 0;
    for (std::size_t i = 0; i < count; ++i) {
        z[i] = double(samples[i]) * (*window)[i];
        dcProjection += z[i];
    }
    // The normal equations: over a symmetric window and a time counted from
    // its centre, the cosines and the sines do not mix, and each sum of two
    // is the window's transform at their difference and their sum.
    const double n = double(count);
    Eigen::MatrixXd cosines(components + 1, components + 1), sines(components, components);
    Eigen::VectorXd cosineRight(components + 1), sineRight(components);
    cosines(0, 0) = windowed(0, n);
    cosineRight(0) = dcProjection;
    for (std::size_t j = 0; j < components; ++j) {
        project(z.data(), count, thetas[j], cosineRight(Eigen::Index(j + 1)), sineRight(Eigen::Index(j)));
        cosines(0, Eigen::Index(j + 1)) = cosines(Eigen::Index(j + 1), 0) = windowed(thetas[j], n);
        for (std::size_t k = 0; k <= j; ++k) {
            const double difference = windowed(thetas[j] - thetas[k], n), sum = windowed(thetas[j] + thetas[k], n);
            const auto row = Eigen::Index(j), column = Eigen::Index(k);
            cosines(row + 1, column + 1) = cosines(column + 1, row + 1) = (difference + sum) / 2;
            sines(row, column) = sines(column, row) = (difference - sum) / 2;
        }
    }
    const Eigen::VectorXd a = cosines.ldlt().solve(cosineRight);
    const Eigen::VectorXd b = sines.ldlt().solve(sineRight);
    std::vector<double> amplitudes(components);
    for (std::size_t j = 0; j < components; ++j)
        amplitudes[j] = std::hypot(a(Eigen::Index(j + 1)), b(Eigen::Index(j)));
    return amplitudes;
}

ImdFigures imdFigures(const Intermodulation &result, bool noise)
{
    const double u2 = result.f2.amplitude;
    const auto u = [&](std::size_t k) {
        const Product &product = result.products[k];
        return noise ? product.noise : product.amplitude;
    };
    const double undefined = std::numeric_limits<double>::quiet_NaN();
    ImdFigures figures{undefined, undefined, undefined, undefined, undefined};
    if (result.method != twotone::Method::Ccif) {
        double sum = 0;
        for (std::size_t k = 0; k < result.products.size(); ++k)
            sum += u(k) * u(k);
        figures.imdPercent = 100 * std::sqrt(sum) / u2;
        figures.imdD2Percent = 100 * (u(0) + u(1)) / u2;
        figures.imdD3Percent = 100 * (u(2) + u(3)) / u2;
    } else {
        figures.dfdD2Percent = 100 * u(0) / (2 * u2);
        figures.dfdD3Percent = 100 * (u(1) + u(2)) / (2 * u2);
    }
    return figures;
}

double ImdFigures::mainPercent() const
{
    return std::isnan(imdPercent) ? std::hypot(dfdD2Percent, dfdD3Percent) : imdPercent;
}

void computeFigures(Intermodulation &result)
{
    result.figures = imdFigures(result, false);
    result.floor = imdFigures(result, true);
}

Intermodulation analyseIntermodulation(const std::vector<float> &samples, double rate,
                                       const ImdSettings &settings, const Progress *progress)
{
    const twotone::TwoTone &tones = settings.tones;
    if (!(rate > 0))
        throw AnalysisError("the sample rate must be above 0");
    if (!twotone::suits(tones, rate / 2))
        throw AnalysisError(
            QStringLiteral("the tones %1 Hz and %2 Hz do not suit %3 at %4 Hz: both lie below half the rate, "
                           "f1 below f2%5")
                .arg(tones.f1Hz)
                .arg(tones.f2Hz)
                .arg(QString::fromLatin1(twotone::nameOf(tones.method)).toUpper())
                .arg(rate)
                .arg(tones.modulation() ? QStringLiteral(", and f2 above six times f1") : QString())
                .toStdString());
    const std::size_t count = samples.size();
    const std::size_t part = std::size_t(std::llround(kPartSeconds * rate));
    if (double(count) < std::max(64.0, 10 * rate / tones.f1Hz))
        throw AnalysisError(
            QStringLiteral("it is too short: %1 s holds less than ten periods of %2 Hz")
                .arg(double(count) / rate)
                .arg(tones.f1Hz)
                .toStdString());

    Intermodulation result;
    result.method = tones.method;
    result.sampleRate = rate;
    result.frames = int64_t(count);
    float peak = 0;
    for (float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    if (peak == 0)
        throw AnalysisError("it is silent");
    result.peakDbfs = dsp::decibels(peak);
    result.clippedSamples = clippedSamples(samples, settings.lowestCode, settings.highestCode);

    const std::vector<Pair> reported = reportedPairs(tones.method);
    const std::size_t parts = count >= 2 * part ? count / part : 1;
    std::vector<Stretch> stretches(parts);
    forEachPart(int(parts), [&](int k) {
        const std::size_t begin = count * std::size_t(k) / parts, end = count * std::size_t(k + 1) / parts;
        stretches[std::size_t(k)] = analyseStretch(samples.data() + begin, end - begin, rate, tones, reported, progress);
    });
    if (progress)
        progress->reach(0.8);

    // Powers averaged over the parts; the frequencies as plain means.
    std::vector<double> power(2 * reported.size() + 2, 0.0);
    double theta1 = 0, theta2 = 0;
    result.toneOverNoiseDb = std::numeric_limits<double>::infinity();
    for (const Stretch &stretch : stretches) {
        theta1 += stretch.theta1 / double(parts);
        theta2 += stretch.theta2 / double(parts);
        result.toneOverNoiseDb = std::min(result.toneOverNoiseDb, stretch.overNoiseDb);
        for (std::size_t k = 0; k < power.size(); ++k)
            power[k] += stretch.amplitudes[k] * stretch.amplitudes[k] / double(parts);
    }
    const auto productOf = [&](int m, int n, std::size_t index) {
        Product product;
        product.m = m;
        product.n = n;
        product.frequencyHz = (m * theta1 + n * theta2) * rate / (2 * kPi);
        product.present = product.frequencyHz > 0 && product.frequencyHz < rate / 2;
        product.amplitude = std::sqrt(power[index]);
        if (index >= 2)
            product.noise = std::sqrt(power[index + reported.size()]);
        product.label = labelOf(m, n);
        return product;
    };
    result.f1 = productOf(1, 0, 0);
    result.f2 = productOf(0, 1, 1);
    for (std::size_t k = 0; k < reported.size(); ++k)
        result.products.push_back(productOf(reported[k].first, reported[k].second, k + 2));

    computeFigures(result);
    if (settings.spectrum)
        result.spectrum = magnitudeSpectrum(samples.data(), count, rate, 65536, progress);
    if (progress)
        progress->reach(1);
    return result;
}

} // namespace analysis
