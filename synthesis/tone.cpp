#include "synthesis/tone.h"

#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>

namespace tone {

namespace {

using dsp::kPi;

double sumOfSquares(const Tone &tone, int firstHarmonic, int stride)
{
    double sum = 0;
    for (int n = firstHarmonic; n <= kComponents; n += stride) {
        const double level = tone.levels[n - 2] / kFundamentalLevel;
        sum += level * level;
    }
    return sum;
}

// The sum in units of the fundamental's amplitude, at a phase of the fundamental (radians).
double sumAtPhase(const Tone &tone, double theta)
{
    double sum = std::sin(theta);
    for (int n = 2; n <= kComponents; ++n)
        sum += tone.levels[n - 2] / kFundamentalLevel * std::sin(n * theta - tone.phases[n - 2] * kPi / 180);
    return sum;
}

} // namespace

std::array<double, kComponents + 1> componentsAt(const Tone &tone, double seconds)
{
    std::array<double, kComponents + 1> values{};
    const double theta = 2 * kPi * tone.frequencyHz * seconds;
    values[0] = kFundamentalLevel * std::sin(theta);
    values[kComponents] = values[0];
    for (int n = 2; n <= kComponents; ++n) {
        values[n - 1] = tone.levels[n - 2] * std::sin(n * theta - tone.phases[n - 2] * kPi / 180);
        values[kComponents] += values[n - 1];
    }
    return values;
}

void render(const Tone &tone, double rate, long long first, double *out, std::size_t count)
{
    std::array<double, kComponents + 1> cosPhase{}, sinPhase{}, level{};
    for (int n = 2; n <= kComponents; ++n) {
        cosPhase[n] = std::cos(tone.phases[n - 2] * kPi / 180);
        sinPhase[n] = std::sin(tone.phases[n - 2] * kPi / 180);
        level[n] = tone.levels[n - 2] / kFundamentalLevel;
    }
    const double cyclesPerSample = tone.frequencyHz / rate;
    dsp::Oscillator<double> fundamental(2 * kPi * cyclesPerSample);
    dsp::forEachAnchorSpan(0, count, [&](std::size_t begin, std::size_t end) {
        // The fundamental's phase from the sample number itself now and then, so
        // no error builds up over a long file; in between it turns by one step a sample.
        const double cycles = cyclesPerSample * static_cast<double>(first + static_cast<long long>(begin));
        fundamental.anchor(2 * kPi * (cycles - std::floor(cycles)));
        for (std::size_t i = begin; i < end; ++i, fundamental.turn()) {
            const double s1 = fundamental.sine(), c1 = fundamental.cosine();
            double sPrevious = 0, cPrevious = 1, s = s1, c = c1, sum = s1;
            for (int n = 2; n <= kComponents; ++n) {
                const double sNext = 2 * c1 * s - sPrevious; // sin(n theta), cos(n theta) by recurrence
                const double cNext = 2 * c1 * c - cPrevious;
                sPrevious = s;
                cPrevious = c;
                s = sNext;
                c = cNext;
                sum += level[n] * (s * cosPhase[n] - c * sinPhase[n]); // sin(n theta - phi)
            }
            out[i] = sum;
        }
    });
}

Figures analyse(const Tone &tone)
{
    Figures figures{};
    const double harmonics = sumOfSquares(tone, 2, 1);
    const dsp::Thd thd = dsp::thdOf(harmonics);
    figures.thdF = thd.f;
    figures.thdR = thd.r;
    figures.even = std::sqrt(sumOfSquares(tone, 2, 2));
    figures.odd = std::sqrt(sumOfSquares(tone, 3, 2));
    figures.rmsRatio = std::sqrt(1 + harmonics);

    // The peak: the largest of a fine sampling of one period, each local top
    // then refined by golden-section search.
    constexpr int kSamples = 8192;
    constexpr double kStep = 2 * kPi / kSamples;
    std::array<double, kSamples> magnitude;
    for (int i = 0; i < kSamples; ++i)
        magnitude[i] = std::fabs(sumAtPhase(tone, i * kStep));
    double peak = 0;
    for (int i = 0; i < kSamples; ++i) {
        const double before = magnitude[(i + kSamples - 1) % kSamples], after = magnitude[(i + 1) % kSamples];
        if (magnitude[i] < before || magnitude[i] < after)
            continue;
        double low = (i - 1) * kStep, high = (i + 1) * kStep;
        constexpr double kGolden = 0.6180339887498949;
        for (int round = 0; round < 60; ++round) {
            const double a = high - kGolden * (high - low), b = low + kGolden * (high - low);
            if (std::fabs(sumAtPhase(tone, a)) < std::fabs(sumAtPhase(tone, b)))
                low = a;
            else
                high = b;
        }
        peak = std::max({peak, magnitude[i], std::fabs(sumAtPhase(tone, (low + high) / 2))});
    }
    figures.peak = peak;
    figures.crestFactor = peak / std::sqrt((1 + harmonics) / 2);
    return figures;
}

} // namespace tone
