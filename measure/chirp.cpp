#include "measure/chirp.h"

#include "analysis/fourier.h"
#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>

namespace measure {

namespace {

using Complex = std::complex<double>;
using dsp::kPi;

// A harmonic is shown where it stands this far above the noise in its own window.
constexpr double kAboveNoiseDb = 10;
// Nothing is shown where the fundamental stands less than this far out of the noise over most of the band.
constexpr double kSignalOverNoiseDb = 20;
// The noise is averaged over this many windows, and over a third of an octave.
constexpr int kNoiseWindows = 4;
constexpr double kNoiseOctaves = 1.0 / 3;
// The sweep ends this far above the band, whatever the rate: a recording at
// another rate holds the same sweep.
constexpr double kEndOverBand = 1.05;
// A slip is looked for from this frequency to this share of the band's top,
// in bands this many an octave: the delay swinging by this many samples from
// one to the next, the level of the bands about them within this many dB.
constexpr double kLowestSlipHz = 150, kSlipTopShare = 1, kSlipBandsAnOctave = 24;
constexpr double kSlipSwing = 2, kSlipLevelDb = 2;
// A swing counts beyond this many times the doubt of the two bands' delays.
constexpr double kSlipDoubts = 4;
// A step: this many bands either side within this much of each other, their
// doubt as small, a whole sample apart within the tolerance.
constexpr std::size_t kSlipSide = 5;
constexpr double kSlipStray = 0.1, kSlipTolerance = 0.2;
constexpr std::size_t kSlipLevelReach = 2;
// A spectrum holds four bins to each one the window resolves: its values in between are interpolated.
constexpr std::size_t kPadding = 4;

// The phases run to 1e5 and 1e6 radians: their whole turns go before the angle is made.
double turnsToRadians(double turns)
{
    return 2 * kPi * (turns - std::floor(turns));
}

// 0 at 0, 1 at 1, a half Hann in between.
double halfHann(double u)
{
    if (u <= 0)
        return 0;
    if (u >= 1)
        return 1;
    const double s = std::sin(0.5 * kPi * u);
    return s * s;
}

// What the deconvolution's inverse filter weighs frequency f (Hz) by: the
// sweep's analytic inverse, 2·sqrt(f/L)·exp(-j2πfL(1 - ln(f/f1)) + jπ/4) over
// the rate, tapered to nothing an octave below the sweep and just above it.
Complex inverseAt(const Chirp &chirp, double f)
{
    const double low = chirp.startHz / 2, top = std::min(chirp.endHz * kEndOverBand, chirp.rate / 2);
    if (f <= low || f >= top)
        return 0;
    double taper = 1;
    if (f < chirp.startHz)
        taper = halfHann(std::log2(f / low));
    else if (f > chirp.endHz)
        taper = halfHann((top - f) / (top - chirp.endHz));
    const double L = chirp.rateL;
    const double angle = -turnsToRadians(f * L * (1 - std::log(f / chirp.startHz))) + kPi / 4;
    return std::polar(taper * 2 * std::sqrt(f / L) / chirp.rate, angle);
}

// A window about a response: a half Hann over `before` samples up to its
// centre, flat for `flat` samples after it, then a half Hann to `after`.
struct Window
{
    double before = 0, flat = 0, after = 0;

    double at(double t) const
    {
        if (t < 0)
            return halfHann((t + before) / before);
        if (t <= flat)
            return 1;
        return halfHann((after - t) / (after - flat));
    }
    double length() const { return before + after; }
};

// A window's energy: the sum of its squares at whole samples.
double energyOf(const Window &window)
{
    double energy = 0;
    for (double t = -std::floor(window.before); t <= window.after; ++t)
        energy += window.at(t) * window.at(t);
    return energy;
}

// The windowed spectrum of a stretch of the circular signal `s` about
// `centre` (a fractional sample), its phases relative to the centre: bins 0
// to P / 2 of P.
std::vector<Complex> windowedSpectrum(const std::vector<double> &s, double centre, const Window &window,
                                      std::size_t P)
{
    const auto N = int64_t(s.size());
    const auto first = int64_t(std::floor(centre - window.before));
    const auto last = int64_t(std::ceil(centre + window.after));
    std::vector<double> stretch(std::size_t(last - first + 1));
    for (int64_t n = first; n <= last; ++n)
        stretch[std::size_t(n - first)] = s[std::size_t(((n % N) + N) % N)] * window.at(double(n) - centre);
    std::vector<Complex> bins = analysis::realSpectrum(stretch.data(), stretch.size(), P);
    const double offset = double(first) - centre;
    for (std::size_t b = 0; b < bins.size(); ++b)
        bins[b] *= std::polar(1.0, -turnsToRadians(double(b) * offset / double(P)));
    return bins;
}

// A spectrum's value at `hz`, between its bins.
template <typename T> T between(const std::vector<T> &bins, double binHz, double hz)
{
    const double x = std::clamp(hz / binHz, 0.0, double(bins.size() - 1));
    const auto b = std::min(std::size_t(x), bins.size() - 2);
    const double u = x - double(b);
    return bins[b] * (1 - u) + bins[b + 1] * u;
}

// The mean of the bins within `octaves` about `hz`; interpolated where none lies within.
template <typename T> T smoothed(const std::vector<T> &bins, double binHz, double hz, double octaves)
{
    const double half = std::exp2(octaves / 2);
    const auto first = std::size_t(std::ceil(hz / half / binHz));
    const auto last = std::min(bins.size() - 1, std::size_t(std::floor(hz * half / binHz)));
    if (octaves <= 0 || first > last)
        return between(bins, binHz, hz);
    T sum{};
    for (std::size_t b = first; b <= last; ++b)
        sum += bins[b];
    return sum / double(last - first + 1);
}

// Where |s| is largest, from `from` to before `to` (the signal is circular).
long peakNear(const std::vector<double> &s, long from, long to)
{
    const auto N = long(s.size());
    long best = from;
    for (long n = from; n < to; ++n)
        if (std::fabs(s[std::size_t((n % N + N) % N)]) > std::fabs(s[std::size_t((best % N + N) % N)]))
            best = n;
    return best;
}

// Where a response peaks between samples, within one of the centre its
// spectrum `bins` (of P) was taken about: its band-limited values searched by
// golden sections.
double peakBetween(const std::vector<Complex> &bins, std::size_t P)
{
    const auto at = [&](double t) {
        const Complex step = std::polar(1.0, 2 * kPi * t / double(P));
        Complex turn = 1;
        double sum = 0;
        for (std::size_t b = 0; b < bins.size(); ++b, turn *= step)
            sum += (b == 0 || b + 1 == bins.size() ? 1 : 2) * (bins[b] * turn).real();
        return sum;
    };
    const double sign = at(0) < 0 ? -1 : 1;
    const double golden = (std::sqrt(5.0) - 1) / 2;
    double low = -1, high = 1;
    double a = high - golden * (high - low), b = low + golden * (high - low);
    double atA = sign * at(a), atB = sign * at(b);
    for (int i = 0; i < 48; ++i) {
        if (atA > atB) {
            high = b, b = a, atB = atA;
            a = high - golden * (high - low);
            atA = sign * at(a);
        } else {
            low = a, a = b, atA = atB;
            b = low + golden * (high - low);
            atB = sign * at(b);
        }
    }
    return (low + high) / 2;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Where a sample lost or repeated in the recording shows, in Hz; none where
// nothing does. The sweep passes each frequency once, so a slip moves all
// that follows it by a whole sample: about the frequency it fell at, the
// response's delay swings from band to band by several samples while its
// level hardly moves. No device does that: a device's delay glides, and
// swings only in a notch, where its level falls away. Below kLowestSlipHz a
// slip moves the phase by less than a degree and a half.
std::optional<double> slipIn(const std::vector<Complex> &H1, const std::vector<double> &spread, double binHz,
                             const ChirpPlan &plan)
{
    const double P = double(2 * (H1.size() - 1)), step = std::exp2(1.0 / kSlipBandsAnOctave);
    std::vector<double> delay, doubt, levelDb, hz;
    for (double low = kLowestSlipHz; low * step <= plan.toHz * kSlipTopShare; low *= step) {
        Complex turn = 0;
        double power = 0, spreadPower = 0;
        std::size_t count = 0;
        for (auto b = std::size_t(low / binHz); double(b) * binHz < low * step && b + 1 < H1.size(); ++b, ++count) {
            turn += H1[b + 1] * std::conj(H1[b]);
            power += std::norm(H1[b]);
            spreadPower += spread[b];
        }
        delay.push_back(-std::arg(turn) * P / (2 * kPi));
        // What spreads over the response's window moves each bin's phase, and the delay by
        // that times the transform's length over a turn, less as the band holds more bins.
        doubt.push_back(std::sqrt(spreadPower / std::max(power, 1e-300)) * P / (2 * kPi) /
                        std::sqrt(double(std::max<std::size_t>(1, count))));
        levelDb.push_back(dsp::powerDecibels(power));
        hz.push_back(low);
    }
    for (std::size_t j = 0; j + 1 < delay.size(); ++j) {
        // The bands about the two, as many as the band holds at its ends.
        const auto from = std::ptrdiff_t(j > kSlipLevelReach ? j - kSlipLevelReach : 0);
        const auto to = std::ptrdiff_t(std::min(delay.size(), j + kSlipLevelReach + 2));
        // What folds back sweeps on through the bands: the doubt of those about them counts too.
        const double doubtHere = *std::max_element(doubt.begin() + from, doubt.begin() + to);
        if (std::fabs(delay[j + 1] - delay[j]) < kSlipSwing + 2 * kSlipDoubts * doubtHere)
            continue;
        const auto [lowest, highest] = std::minmax_element(levelDb.begin() + from, levelDb.begin() + to);
        if (*highest - *lowest <= kSlipLevelDb)
            return hz[j];
    }
    // High up a slip's spread fits within a band: the delay steps there by a
    // whole sample between bands that hold steady either side.
    const auto steady = [&](std::size_t from, double &level) {
        const auto [low, high] = std::minmax_element(delay.begin() + std::ptrdiff_t(from),
                                                     delay.begin() + std::ptrdiff_t(from + kSlipSide));
        level = (*low + *high) / 2;
        return *high - *low <= kSlipStray &&
               *std::max_element(doubt.begin() + std::ptrdiff_t(from), doubt.begin() + std::ptrdiff_t(from + kSlipSide)) <=
                   kSlipStray;
    };
    for (std::size_t j = kSlipSide; j + kSlipSide + 1 < delay.size(); ++j) {
        double below = 0, above = 0;
        if (!steady(j - kSlipSide + 1, below) || !steady(j + 2, above))
            continue;
        const double step = above - below, whole = std::round(step);
        if (whole != 0 && std::fabs(step - whole) <= kSlipTolerance)
            return hz[j];
    }
    return std::nullopt;
}

} // namespace

double Chirp::seconds() const
{
    return rateL * std::log(endHz / startHz);
}

std::size_t Chirp::frames() const
{
    return std::size_t(std::ceil(seconds() * rate)) + 1;
}

Chirp Chirp::heardAt(double recordedRate, double ratio) const
{
    Chirp heard = *this;
    heard.rate = recordedRate;
    heard.startHz /= ratio;
    heard.endHz /= ratio;
    heard.bandLowHz /= ratio;
    heard.bandHighHz /= ratio;
    heard.rateL *= ratio;
    return heard;
}

Chirp makeChirp(const ChirpPlan &plan, double rate)
{
    Chirp chirp;
    chirp.rate = rate;
    chirp.bandLowHz = plan.fromHz;
    chirp.bandHighHz = plan.toHz;
    chirp.startHz = plan.fromHz / 4;
    chirp.endHz = plan.toHz * kEndOverBand;
    const double turns = std::max(1.0, std::round(chirp.startHz * plan.seconds / std::log(chirp.endHz / chirp.startHz)));
    chirp.rateL = turns / chirp.startHz;
    chirp.amplitude = std::pow(10.0, plan.peakDbfs / 20);
    return chirp;
}

namespace {

// The sweep at `t` seconds from its start, between samples too.
double sweepAt(const Chirp &chirp, double t)
{
    const double L = chirp.rateL, T = chirp.seconds();
    if (t < 0 || t >= T)
        return 0;
    const double low = L * std::log(chirp.bandLowHz / chirp.startHz);
    const double high = L * std::log(chirp.bandHighHz / chirp.startHz);
    const double envelope = t < low ? halfHann(t / low) : t > high ? halfHann((T - t) / (T - high)) : 1;
    return chirp.amplitude * envelope * std::sin(turnsToRadians(chirp.startHz * L * std::exp(t / L)));
}

} // namespace

std::vector<float> render(const Chirp &chirp)
{
    std::vector<float> samples(chirp.frames());
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(sweepAt(chirp, double(i) / chirp.rate));
    return samples;
}

ChirpResult analyseChirp(const Chirp &chirp, const std::vector<float> &recording, const ChirpPlan &plan)
{
    ChirpResult result;
    result.rate = chirp.rate;
    const double fs = chirp.rate;
    const std::vector<float> played = render(chirp);
    if (recording.size() < played.size()) {
        result.why = "the recording ends before the sweep does";
        return result;
    }
    result.overloaded = overloadedSamples(recording);

    // Deconvolved: the device's responses to the sweep, the fundamental's
    // at the loop's delay and harmonic k's L·ln k before it, and the sweep's
    // own, for dividing the inverse's ripple out.
    const std::size_t N = analysis::powerOfTwoAtLeast(recording.size() + played.size());
    std::vector<double> samples(recording.begin(), recording.end());
    std::vector<Complex> heard = analysis::realSpectrum(samples.data(), samples.size(), N);
    samples.assign(played.begin(), played.end());
    std::vector<Complex> own = analysis::realSpectrum(samples.data(), samples.size(), N);
    for (std::size_t b = 0; b < heard.size(); ++b) {
        const Complex inverse = inverseAt(chirp, double(b) * fs / double(N));
        heard[b] *= inverse;
        own[b] *= inverse;
    }
    const std::vector<double> g = analysis::realSignal(heard, N);
    const std::vector<double> r = analysis::realSignal(own, N);

    // Each harmonic's window reaches half way to its neighbours.
    const double Lfs = chirp.rateL * fs;
    std::array<Window, kChirpHarmonics> windows;
    for (int k = 1; k <= kChirpHarmonics; ++k) {
        Window &w = windows[std::size_t(k - 1)];
        w.before = Lfs * std::log((k + 1.0) / k) / 2;
        w.after = k == 1 ? w.before : Lfs * std::log(double(k) / (k - 1)) / 2;
        // The fundamental's response may ring on: nothing follows it but noise.
        w.flat = k == 1 ? w.after / 2 : 0;
    }
    const auto lengthFor = [&](const Window &w) { return analysis::powerOfTwoAtLeast(kPadding * std::size_t(w.length() + 3)); };

    // The delay: where the response peaks, between samples, less where the
    // sweep's own deconvolution peaks.
    const Window &w1 = windows[0];
    const std::size_t P1 = lengthFor(w1);
    const double bin1 = fs / double(P1);
    const long peak = peakNear(g, 0, long(recording.size() - played.size()) + 1);
    const long ownPeak = peakNear(r, -64, 65);
    const double d = double(peak) + peakBetween(windowedSpectrum(g, double(peak), w1, P1), P1) - double(ownPeak) -
                     peakBetween(windowedSpectrum(r, double(ownPeak), w1, P1), P1);
    const std::vector<Complex> R1 = windowedSpectrum(r, 0, w1, P1);
    std::vector<Complex> H1 = windowedSpectrum(g, d, w1, P1);
    for (std::size_t b = 0; b < H1.size(); ++b)
        H1[b] = std::abs(R1[b]) > 0 ? H1[b] / R1[b] : 0;
    result.delaySeconds = d / fs;

    // Harmonic k's response over its own window, and the noise in windows of its length.
    std::array<std::vector<Complex>, kChirpHarmonics> H;
    std::array<std::vector<double>, kChirpHarmonics> noise;
    std::vector<double> spread1; // what spreads over the fundamental's window
    std::array<double, kChirpHarmonics> binHz{};
    H[0] = H1;
    binHz[0] = bin1;
    const double quietFrom = d + w1.after;
    const double quietTo = double(N) + d - Lfs * std::log(double(kChirpHarmonics)) - windows.back().before;
    for (int k = 1; k <= kChirpHarmonics; ++k) {
        const Window &w = windows[std::size_t(k - 1)];
        const std::size_t P = lengthFor(w);
        binHz[std::size_t(k - 1)] = fs / double(P);
        const std::vector<Complex> R = windowedSpectrum(r, 0, w, P);
        // What the fundamental's response leaves in a window here, through the
        // sweep's own deconvolution there, is taken out of what it holds.
        const auto heard = [&](double centre, const Window &window) {
            std::vector<Complex> bins = windowedSpectrum(g, centre, window, P);
            const std::vector<Complex> leak = windowedSpectrum(r, centre - d, window, P);
            for (std::size_t b = 0; b < bins.size(); ++b)
                bins[b] -= between(H1, bin1, double(b) * binHz[std::size_t(k - 1)]) * leak[b];
            return bins;
        };
        const double centre = d - Lfs * std::log(double(k));
        if (k > 1) {
            std::vector<Complex> &Hk = H[std::size_t(k - 1)];
            Hk = heard(centre, w);
            for (std::size_t b = 0; b < R.size(); ++b)
                Hk[b] = std::abs(R[b]) > 0 ? Hk[b] / R[b] : 0;
        }
        std::vector<double> &power = noise[std::size_t(k - 1)];
        power.assign(R.size(), 0.0);
        const double room = quietTo - quietFrom - w.length();
        const int count = room > 0 ? kNoiseWindows : 1;
        for (int i = 0; i < count; ++i) {
            const std::vector<Complex> quiet = windowedSpectrum(g, quietFrom + w.before + std::max(0.0, room) * (i + 0.5) / count, w, P);
            for (std::size_t b = 0; b < R.size(); ++b)
                power[b] += std::norm(quiet[b]) / std::max(std::norm(R[b]), 1e-300) / count;
        }
        // A harmonic's response is compact; what spreads over its whole window
        // is not of it: products of a digital device folded back from above
        // half the rate, say. The outer halves of the window tell how much of
        // that lies under the harmonic, scaled to the window's own energy; under
        // the fundamental, it is what makes its delay doubtful.
        std::vector<double> spread(R.size(), 0.0);
        const std::pair<double, double> halves[] = {{centre - 0.75 * w.before, w.before / 4},
                                                    {centre + 0.75 * w.after, w.after / 4}};
        for (const auto &[at, half] : halves) {
            const Window outer{half, 0, half};
            const std::vector<Complex> bins = heard(at, outer);
            const double scale = energyOf(w) / energyOf(outer) / 2;
            for (std::size_t b = 0; b < R.size(); ++b)
                spread[b] += scale * std::norm(bins[b]) / std::max(std::norm(R[b]), 1e-300);
        }
        if (k == 1) {
            spread1 = std::move(spread);
            continue;
        }
        for (std::size_t b = 0; b < R.size(); ++b)
            power[b] = std::max(power[b], spread[b]);
    }

    const double smoothing = plan.smoothing > 0 ? 1.0 / plan.smoothing : 0;
    const double top = std::min(plan.toHz, fs / 2);
    const double aboveNoise = std::pow(10.0, kAboveNoiseDb / 10);
    std::vector<double> signalOverNoise, noiseDb;
    std::vector<double> power1(H1.size());
    for (std::size_t b = 0; b < H1.size(); ++b)
        power1[b] = std::norm(H1[b]);
    for (int i = 0;; ++i) {
        const double f = plan.fromHz * std::exp2(double(i) / plan.perOctave);
        if (f > plan.toHz * (1 + 1e-9))
            break;
        ChirpPoint point;
        point.frequencyHz = f;
        const Complex h1 = between(H1, bin1, f);
        const double level1 = std::norm(h1);
        const double magnitude = smoothing > 0 ? smoothed(power1, bin1, f, smoothing) : level1;
        const Complex phase = smoothing > 0 ? smoothed(H1, bin1, f, smoothing) : h1;
        point.responseDb = dsp::powerDecibels(magnitude);
        point.responsePhaseDegrees = std::arg(phase) * 180 / kPi;
        signalOverNoise.push_back(level1 / smoothed(noise[0], bin1, f, kNoiseOctaves));
        point.noiseDb = dsp::powerDecibels(smoothed(noise[1], binHz[1], f, kNoiseOctaves) / level1);
        noiseDb.push_back(point.noiseDb);
        double distortion = 0;
        bool any = false;
        for (int k = 2; k <= kChirpHarmonics; ++k) {
            const auto at = std::size_t(k - 1);
            if (k * f > top * (1 + 1e-9))
                break;
            const Complex hk = between(H[at], binHz[at], k * f);
            if (std::norm(hk) < aboveNoise * smoothed(noise[at], binHz[at], k * f, kNoiseOctaves))
                continue;
            HarmonicFigure figure;
            figure.ratio = std::abs(hk) / std::sqrt(level1);
            figure.phaseDegrees = dsp::wrapDegrees((k * std::arg(h1) - std::arg(hk)) * 180 / kPi);
            point.harmonics[std::size_t(k - 2)] = figure;
            distortion += figure.ratio * figure.ratio;
            any = true;
        }
        if (any)
            point.thdF = std::sqrt(distortion);
        result.points.push_back(point);
    }
    result.noiseFloorDb = median(noiseDb);
    if (median(signalOverNoise) < std::pow(10.0, kSignalOverNoiseDb / 10)) {
        result.points.clear();
        result.why = "nothing of the sweep stands out of the noise";
        return result;
    }
    if (const std::optional<double> at = slipIn(H1, spread1, bin1, plan)) {
        result.points.clear();
        result.state = State::Unsteady;
        result.why = "the response's delay swings about " + std::to_string(int(std::lround(*at))) +
                     " Hz: a sample lost or repeated in the recording";
        return result;
    }

    // The fundamental's impulse response, in units of the output's level.
    const auto first = long(std::floor(d - w1.before)), last = long(std::ceil(d + w1.after));
    const auto Nl = long(N);
    for (long n = first; n <= last; ++n)
        result.impulse.push_back(
            float(g[std::size_t((n % Nl + Nl) % Nl)] * w1.at(double(n) - d) / chirp.amplitude));
    result.impulseStartSeconds = (double(first) - d) / fs;
    result.state = result.overloaded > 0 ? State::Overload : State::Measured;
    return result;
}

namespace {

// The sweep file's layout, in seconds of the player's clock.
constexpr double kFirstMarkerAt = 0.5, kSweepAt = 1.0, kSweepToMarker = 1.0, kFileEndAfterMarker = 0.5;
// The marker: a linear chirp under a Hann window.
constexpr double kMarkerSeconds = 0.1, kMarkerLowHz = 500, kMarkerHighHz = 8000;
// The second marker is looked for this far from where the file puts it.
constexpr double kMostClockPpm = 1000;
// How closely the recording must match the marker where it is heard: 1 for the
// marker alone, less through a device that colours it or over noise.
constexpr double kLeastLikeness = 0.5;
// Before the sweep, the recording analysed begins this early, and it ends this long before the second marker.
constexpr double kLeadSeconds = 0.1, kClearOfMarker = 0.2;

double markerAt(double t, double amplitude)
{
    if (t < 0 || t >= kMarkerSeconds)
        return 0;
    const double turns = kMarkerLowHz * t + (kMarkerHighHz - kMarkerLowHz) * t * t / (2 * kMarkerSeconds);
    const double window = std::sin(kPi * t / kMarkerSeconds);
    return amplitude * window * window * std::sin(turnsToRadians(turns));
}

double secondMarkerAt(const Chirp &chirp)
{
    return kSweepAt + chirp.seconds() + kSweepToMarker;
}

// Where a marker begins in `samples`, between samples: the strongest match's
// place refined by the slope of the phase of the two spectra's product.
double refinedMarker(const std::vector<float> &samples, long at, const std::vector<double> &marker, double rate)
{
    constexpr long kPad = 64;
    const std::size_t P = analysis::powerOfTwoAtLeast(2 * (marker.size() + 2 * kPad));
    std::vector<double> stretch(marker.size() + 2 * kPad);
    for (std::size_t i = 0; i < stretch.size(); ++i) {
        const long n = at - kPad + long(i);
        stretch[i] = n >= 0 && n < long(samples.size()) ? samples[std::size_t(n)] : 0.0;
    }
    const std::vector<Complex> heard = analysis::realSpectrum(stretch.data(), stretch.size(), P);
    const std::vector<Complex> own = analysis::realSpectrum(marker.data(), marker.size(), P);
    const double binHz = rate / double(P);
    const auto first = std::size_t(std::ceil(kMarkerLowHz / binHz));
    const auto last = std::size_t(kMarkerHighHz / binHz);
    Complex turn = 0;
    for (std::size_t b = first; b < last; ++b)
        turn += heard[b + 1] * std::conj(own[b + 1]) * std::conj(heard[b] * std::conj(own[b]));
    return double(at - kPad) - std::arg(turn) * double(P) / (2 * kPi);
}

} // namespace

std::vector<float> renderFile(const Chirp &chirp)
{
    const double second = secondMarkerAt(chirp);
    std::vector<float> samples(std::size_t(std::ceil((second + kMarkerSeconds + kFileEndAfterMarker) * chirp.rate)));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = double(i) / chirp.rate;
        samples[i] = float(markerAt(t - kFirstMarkerAt, chirp.amplitude) + sweepAt(chirp, t - kSweepAt) +
                           markerAt(t - second, chirp.amplitude));
    }
    return samples;
}

FoundChirp findChirp(const Chirp &nominal, const std::vector<float> &recording, double rate)
{
    std::vector<double> marker(std::size_t(std::ceil(kMarkerSeconds * rate)));
    for (std::size_t i = 0; i < marker.size(); ++i)
        marker[i] = markerAt(double(i) / rate, 1);
    const double apart = (secondMarkerAt(nominal) - kFirstMarkerAt) * rate;
    if (double(recording.size()) < apart + double(marker.size()))
        throw MeasureError("the recording is shorter than the sweep file: it cannot hold both its markers");

    // How well each place matches the marker.
    const std::size_t N = analysis::powerOfTwoAtLeast(recording.size() + marker.size());
    const std::vector<double> heard(recording.begin(), recording.end());
    std::vector<Complex> product = analysis::realSpectrum(heard.data(), heard.size(), N);
    const std::vector<Complex> own = analysis::realSpectrum(marker.data(), marker.size(), N);
    for (std::size_t b = 0; b < product.size(); ++b)
        product[b] *= std::conj(own[b]);
    const std::vector<double> match = analysis::realSignal(product, N);
    const long count = long(recording.size());
    const long strongest = peakNear(match, 0, count);
    // Its twin lies the file's distance before or after it, give or take the clocks' difference.
    const long slack = long(std::ceil(apart * kMostClockPpm * 1e-6)) + 2;
    long twin = -1;
    for (const long centre : {strongest - long(std::llround(apart)), strongest + long(std::llround(apart))}) {
        const long from = std::max(0L, centre - slack), to = std::min(count, centre + slack + 1);
        if (from >= to)
            continue;
        const long found = peakNear(match, from, to);
        if (twin < 0 || std::fabs(match[std::size_t(found)]) > std::fabs(match[std::size_t(twin)]))
            twin = found;
    }
    // A marker is heard where the recording matches it closely, not merely
    // where it matches best: a tone matches itself a period on.
    const double markerEnergy = std::inner_product(marker.begin(), marker.end(), marker.begin(), 0.0);
    const auto likeness = [&](long at) {
        double energy = 0;
        for (long n = at; n < std::min(count, at + long(marker.size())); ++n)
            energy += double(recording[std::size_t(n)]) * recording[std::size_t(n)];
        return energy > 0 ? std::fabs(match[std::size_t(at)]) / std::sqrt(energy * markerEnergy) : 0.0;
    };
    if (twin < 0 || likeness(strongest) < kLeastLikeness || likeness(twin) < kLeastLikeness)
        throw MeasureError("the sweep file's two markers are not in the recording " +
                           std::to_string(int(std::lround(apart / rate * 1000))) +
                           " ms apart: is it a recording of a sweep file with the same --from, --to and --seconds?");
    // Each marker is heard stretched by the clocks' ratio, which moves where
    // its match lies: found once, the ratio stretches the marker for a second look.
    double first = 0, second = 0, ratio = 1;
    for (int look = 0; look < 2; ++look) {
        for (std::size_t i = 0; look > 0 && i < marker.size(); ++i)
            marker[i] = markerAt(double(i) / rate / ratio, 1);
        first = refinedMarker(recording, std::min(strongest, twin), marker, rate);
        second = refinedMarker(recording, std::max(strongest, twin), marker, rate);
        ratio = (second - first) / apart;
    }

    FoundChirp found;
    found.clockPpm = (ratio - 1) * 1e6;
    found.chirp = nominal.heardAt(rate, ratio);
    const double start = first + (kSweepAt - kFirstMarkerAt) * ratio * rate;
    found.startSeconds = start / rate;
    const auto from = std::max(0L, long(std::floor(start - kLeadSeconds * rate)));
    const auto to = std::min(count, long(second - kClearOfMarker * rate));
    found.recording.assign(recording.begin() + from, recording.begin() + to);
    found.leadSeconds = (start - double(from)) / rate;
    return found;
}

} // namespace measure
