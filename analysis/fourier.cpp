#include "analysis/fourier.h"

#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/soundmath.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>

namespace analysis {

namespace {

using dsp::kPi;
// Records of this many segments and more are shared among the cores.
constexpr std::size_t kSegmentsForParts = 16;
constexpr int kParts = 8;

// FFTW's planner is not thread-safe; its plans run on any thread.
std::mutex &plannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

// One real-to-complex transform of a fixed length, with its buffers.
class RealTransform
{
public:
    explicit RealTransform(std::size_t length)
        : m_length(length), m_in(fftw_alloc_real(length)), m_out(fftw_alloc_complex(length / 2 + 1))
    {
        if (!m_in || !m_out)
            throw std::bad_alloc();
        std::lock_guard<std::mutex> lock(plannerMutex());
        m_plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), m_in, m_out, FFTW_ESTIMATE);
        if (!m_plan)
            throw std::bad_alloc();
    }
    ~RealTransform()
    {
        {
            std::lock_guard<std::mutex> lock(plannerMutex());
            fftw_destroy_plan(m_plan);
        }
        fftw_free(m_in);
        fftw_free(m_out);
    }
    RealTransform(const RealTransform &) = delete;
    RealTransform &operator=(const RealTransform &) = delete;

    double *input() { return m_in; }
    void run() { fftw_execute(m_plan); }
    double power(std::size_t bin) const
    {
        return m_out[bin][0] * m_out[bin][0] + m_out[bin][1] * m_out[bin][1];
    }
    std::complex<double> bin(std::size_t k) const { return {m_out[k][0], m_out[k][1]}; }
    std::size_t bins() const { return m_length / 2 + 1; }
    std::size_t length() const { return m_length; }
    std::size_t bytes() const { return m_length * sizeof(double) + bins() * sizeof(fftw_complex); }

private:
    std::size_t m_length;
    double *m_in;
    fftw_complex *m_out;
    fftw_plan m_plan = nullptr;
};

// Planning a transform (its twiddle factors), computing a window and touching
// fresh buffers cost more than the transform of a one-second block itself: the
// live readout analyses one block after another of one length, so the last
// few transforms (32 MB of them at the most) and windows are kept for the next
// analysis. Kept for good: they are still used while the program's statics go away.
struct Kept
{
    static constexpr std::size_t kTransformBytes = std::size_t(32) << 20;
    static constexpr std::size_t kWindows = 6;
    std::mutex mutex;
    std::vector<std::unique_ptr<RealTransform>> idle; // the newest last
    std::vector<std::pair<std::size_t, std::shared_ptr<const std::vector<double>>>> blackmanHarris, hann;
};

Kept &kept()
{
    static Kept *const kept = new Kept;
    return *kept;
}

// A transform of `length` lent for one scope: one that waits idle, else a new one.
class LentTransform
{
public:
    explicit LentTransform(std::size_t length)
    {
        {
            std::lock_guard<std::mutex> lock(kept().mutex);
            auto &idle = kept().idle;
            const auto found = std::find_if(idle.rbegin(), idle.rend(),
                                            [&](const auto &transform) { return transform->length() == length; });
            if (found != idle.rend()) {
                m_transform = std::move(*found);
                idle.erase(std::next(found).base());
            }
        }
        if (!m_transform)
            m_transform = std::make_unique<RealTransform>(length);
    }
    ~LentTransform()
    {
        // Destroyed once the lock is let go: destroying a plan takes the planner's lock.
        std::vector<std::unique_ptr<RealTransform>> oldest;
        std::lock_guard<std::mutex> lock(kept().mutex);
        auto &idle = kept().idle;
        idle.push_back(std::move(m_transform));
        std::size_t bytes = 0;
        for (const auto &transform : idle)
            bytes += transform->bytes();
        while (bytes > Kept::kTransformBytes) {
            bytes -= idle.front()->bytes();
            oldest.push_back(std::move(idle.front()));
            idle.erase(idle.begin());
        }
    }
    LentTransform(const LentTransform &) = delete;
    LentTransform &operator=(const LentTransform &) = delete;

    RealTransform *operator->() { return m_transform.get(); }

private:
    std::unique_ptr<RealTransform> m_transform;
};

// The 4-term Blackman-Harris window: sidelobes below -92 dB.
std::vector<double> makeBlackmanHarris(std::size_t length)
{
    std::vector<double> w(length);
    const double denominator = length > 1 ? double(length - 1) : 1;
    for (std::size_t i = 0; i < length; ++i) {
        // cos 2x and cos 3x from cos x, by the multiple-angle formulas.
        const double c = std::cos(2 * kPi * double(i) / denominator);
        const double c2 = 2 * c * c - 1, c3 = (4 * c * c - 3) * c;
        w[i] = kBlackmanHarris[0] - kBlackmanHarris[1] * c + kBlackmanHarris[2] * c2 - kBlackmanHarris[3] * c3;
    }
    return w;
}

std::vector<double> makeHann(std::size_t length)
{
    std::vector<double> w(length);
    for (std::size_t i = 0; i < length; ++i)
        w[i] = 0.5 - 0.5 * std::cos(2 * kPi * double(i) / double(length)); // periodic: exact overlap-add
    return w;
}

// A window of `length`, kept among the last few of its kind.
std::shared_ptr<const std::vector<double>>
keptWindow(std::vector<std::pair<std::size_t, std::shared_ptr<const std::vector<double>>>> Kept::*kind,
           std::vector<double> (*make)(std::size_t), std::size_t length)
{
    auto &windows = kept().*kind;
    const auto keptOne = [&]() -> std::shared_ptr<const std::vector<double>> {
        for (const auto &[keptLength, window] : windows)
            if (keptLength == length)
                return window;
        return nullptr;
    };
    {
        std::lock_guard<std::mutex> lock(kept().mutex);
        if (auto window = keptOne())
            return window;
    }
    // Made outside the lock; one that another thread made meanwhile is taken instead.
    auto window = std::make_shared<const std::vector<double>>(make(length));
    std::lock_guard<std::mutex> lock(kept().mutex);
    if (auto other = keptOne())
        return other;
    windows.emplace_back(length, window);
    if (windows.size() > Kept::kWindows)
        windows.erase(windows.begin());
    return window;
}

std::shared_ptr<const std::vector<double>> blackmanHarris(std::size_t length)
{
    return keptWindow(&Kept::blackmanHarris, makeBlackmanHarris, length);
}

std::shared_ptr<const std::vector<double>> hann(std::size_t length)
{
    return keptWindow(&Kept::hann, makeHann, length);
}

// Segment starts that cover `count` samples with segments of `length`; the
// last one ends at the record's end. A short record's segments overlap by
// half, so that every sample counts about alike; a long one has enough of
// them without.
std::vector<std::size_t> segmentStarts(std::size_t count, std::size_t length)
{
    constexpr std::size_t kEnoughSegments = 16;
    std::vector<std::size_t> starts;
    const std::size_t hop = count >= kEnoughSegments * length ? length : std::max<std::size_t>(1, length / 2);
    for (std::size_t first = 0; first + length <= count; first += hop)
        starts.push_back(first);
    if (starts.empty() || starts.back() + length < count)
        starts.push_back(count - length);
    return starts;
}

} // namespace

std::shared_ptr<const std::vector<double>> blackmanHarrisWindow(std::size_t length)
{
    return blackmanHarris(length);
}

std::size_t powerOfTwoAtLeast(std::size_t n)
{
    std::size_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

std::vector<std::complex<double>> realSpectrum(const double *samples, std::size_t count, std::size_t length)
{
    LentTransform transform(length);
    double *in = transform->input();
    std::copy(samples, samples + std::min(count, length), in);
    std::fill(in + std::min(count, length), in + length, 0.0);
    transform->run();
    std::vector<std::complex<double>> bins(transform->bins());
    for (std::size_t k = 0; k < bins.size(); ++k)
        bins[k] = transform->bin(k);
    return bins;
}

std::vector<double> realSignal(const std::vector<std::complex<double>> &bins, std::size_t length)
{
    const std::size_t count = length / 2 + 1;
    double *out = fftw_alloc_real(length);
    fftw_complex *in = fftw_alloc_complex(count);
    if (!out || !in) {
        fftw_free(out);
        fftw_free(in);
        throw std::bad_alloc();
    }
    fftw_plan plan;
    {
        std::lock_guard<std::mutex> lock(plannerMutex());
        plan = fftw_plan_dft_c2r_1d(static_cast<int>(length), in, out, FFTW_ESTIMATE);
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::complex<double> value = k < bins.size() ? bins[k] : 0.0;
        in[k][0] = value.real();
        in[k][1] = value.imag();
    }
    fftw_execute(plan);
    std::vector<double> signal(out, out + length);
    for (double &sample : signal)
        sample /= double(length);
    {
        std::lock_guard<std::mutex> lock(plannerMutex());
        fftw_destroy_plan(plan);
    }
    fftw_free(out);
    fftw_free(in);
    return signal;
}

PeakSpectrum::PeakSpectrum(const float *samples, std::size_t count, double rate, double lowestHz)
{
    LentTransform transform(powerOfTwoAtLeast(2 * count));
    const double mean = std::accumulate(samples, samples + count, 0.0) / double(count);
    const auto window = blackmanHarris(count);
    double *in = transform->input();
    for (std::size_t i = 0; i < count; ++i)
        in[i] = (samples[i] - mean) * (*window)[i];
    std::fill(in + count, in + 2 * (transform->bins() - 1), 0.0);
    transform->run();
    m_binHz = rate / double(2 * (transform->bins() - 1));
    m_power.resize(transform->bins());
    for (std::size_t k = 0; k < m_power.size(); ++k)
        m_power[k] = transform->power(k);
    const auto first = static_cast<std::size_t>(std::max(1.0, std::ceil(lowestHz / m_binHz)));
    if (first + 2 < m_power.size()) {
        // The transform's input, no longer needed, holds the copy that is sorted.
        double *const end = std::copy(m_power.begin() + std::ptrdiff_t(first), m_power.end() - 1, in);
        double *const middle = in + (end - in) / 2;
        std::nth_element(in, middle, end);
        m_median = *middle;
    }
}

Peak PeakSpectrum::strongest(double lowestHz, double highestHz) const
{
    const auto first = static_cast<std::size_t>(std::max(1.0, std::ceil(lowestHz / m_binHz)));
    const auto last = std::min(m_power.size() - 2, static_cast<std::size_t>(std::floor(highestHz / m_binHz)));
    Peak peak;
    if (first >= last)
        return peak;
    std::size_t best = first;
    for (std::size_t k = first; k <= last; ++k)
        if (m_power[k] > m_power[best])
            best = k;
    // Digital silence holds no peak; a tone over digital silence stands out without measure.
    if (!(m_power[best] > 0))
        return peak;
    peak.overMedianDb = m_median > 0 ? dsp::powerDecibels(m_power[best] / m_median) : 400;
    // A parabola through the log magnitudes of the peak and its neighbours.
    const double left = std::log(m_power[best - 1] + 1e-300), middle = std::log(m_power[best] + 1e-300),
                 right = std::log(m_power[best + 1] + 1e-300);
    const double curvature = left - 2 * middle + right;
    const double offset = curvature < 0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0.0;
    peak.frequencyHz = (double(best) + offset) * m_binHz;
    return peak;
}

double bandPower(const SignalSegment &signal, std::size_t count, std::size_t length, double rate,
                 double lowHz, double highHz, const Progress *progress, Weighting weighting)
{
    length = std::min(count, length);
    const auto window = hann(length);
    const double windowPower = std::inner_product(window->begin(), window->end(), window->begin(), 0.0);
    const std::vector<std::size_t> starts = segmentStarts(count, length);
    const double binHz = rate / double(length);
    // A bin on an edge counts, whatever the last bits of the division say.
    constexpr double kEdge = 1e-9;
    const auto firstBin = static_cast<std::size_t>(std::max(0.0, std::ceil(lowHz / binHz - kEdge)));
    const auto lastBin = std::min(length / 2, static_cast<std::size_t>(std::floor(highHz / binHz + kEdge)));
    // Both halves of the spectrum, but the ends of it only once.
    std::vector<double> weights;
    for (std::size_t k = firstBin; k <= lastBin; ++k)
        weights.push_back((k == 0 || 2 * k == length ? 1 : 2) * weightingPower(weighting, double(k) * binHz));
    // Many segments are shared among the cores in a fixed number of parts.
    const int parts = starts.size() >= kSegmentsForParts ? kParts : 1;
    std::vector<double> totals(parts, 0.0);
    forEachPart(parts, [&](int part) {
        LentTransform transform(length);
        const std::size_t first = starts.size() * part / parts, last = starts.size() * (part + 1) / parts;
        for (std::size_t s = first; s < last; ++s) {
            if (progress && s % 64 == 0)
                progress->check();
            double *in = transform->input();
            signal(starts[s], in, length);
            for (std::size_t i = 0; i < length; ++i)
                in[i] *= (*window)[i];
            transform->run();
            for (std::size_t k = firstBin; k <= lastBin; ++k)
                totals[part] += weights[k - firstBin] * transform->power(k);
        }
    });
    // Parseval: the windowed segment's energy, over the window's own.
    const double total = std::accumulate(totals.begin(), totals.end(), 0.0);
    return total / (double(length) * windowPower * double(starts.size()));
}

MagnitudeSpectrum magnitudeSpectrum(const float *samples, std::size_t count, double rate, std::size_t segment,
                                    const Progress *progress)
{
    const std::size_t length = std::min(count, segment);
    const auto window = blackmanHarris(length);
    const double gain =
        std::accumulate(window->begin(), window->end(), 0.0) / 2; // a sine of amplitude 1 peaks here
    LentTransform transform(length);
    std::vector<double> power(transform->bins(), 0.0);
    const std::vector<std::size_t> starts = segmentStarts(count, length);
    for (std::size_t s = 0; s < starts.size(); ++s) {
        if (progress && s % 16 == 0)
            progress->check();
        double *in = transform->input();
        for (std::size_t i = 0; i < length; ++i)
            in[i] = samples[starts[s] + i] * (*window)[i];
        transform->run();
        for (std::size_t k = 0; k < power.size(); ++k)
            power[k] += transform->power(k);
    }
    MagnitudeSpectrum spectrum;
    spectrum.frequencyHz.reserve(power.size() - 1);
    spectrum.dbfs.reserve(power.size() - 1);
    for (std::size_t k = 1; k < power.size(); ++k) {
        const double magnitude = std::sqrt(power[k] / double(starts.size())) / gain;
        spectrum.frequencyHz.push_back(double(k) * rate / double(length));
        spectrum.dbfs.push_back(dsp::decibels(std::max(magnitude, 1e-15)));
    }
    return spectrum;
}

} // namespace analysis
