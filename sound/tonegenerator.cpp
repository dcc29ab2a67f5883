#include "sound/tonegenerator.h"

#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>

namespace sound {

namespace {

constexpr std::size_t kChunk = 2048; // samples rendered at a time
using dsp::kPi;

void renderSettings(const ToneSettings &settings, double rate, long long first, double *out, std::size_t count)
{
    if (settings.twoTone)
        twotone::render(*settings.twoTone, rate, first, out, count);
    else
        tone::render(settings.tone, rate, first, out, count);
}

// 0 to 1 over a fade, smooth at both ends.
double raisedCosine(double fraction)
{
    return 0.5 - 0.5 * std::cos(kPi * std::clamp(fraction, 0.0, 1.0));
}

} // namespace

ToneSettings settingsFor(const tone::Tone &tone, double peakDbfs)
{
    return {tone, std::pow(10.0, peakDbfs / 20) / tone::analyse(tone).peak, std::nullopt};
}

ToneSettings settingsFor(const twotone::TwoTone &tones, double peakDbfs)
{
    return {tone::Tone(), std::pow(10.0, peakDbfs / 20), tones};
}

ToneGenerator::ToneGenerator(double rate, const ToneSettings &settings)
    : m_rate(rate), m_current(settings), m_previous(settings),
      m_fadeLength(std::max(1LL, std::llround(kFadeSeconds * rate))),
      m_crossfadeLength(std::max(1LL, std::llround(kCrossfadeSeconds * rate))),
      m_crossfadeDone(m_crossfadeLength), m_new(kChunk), m_old(kChunk)
{
}

std::size_t ToneGenerator::render(float *out, std::size_t count)
{
    std::size_t done = 0;
    while (done < count && !m_finished.load(std::memory_order_relaxed)) {
        const std::size_t wrote = renderChunk(out + done, std::min(kChunk, count - done));
        done += wrote;
        if (wrote == 0)
            break;
    }
    return done;
}

std::size_t ToneGenerator::renderChunk(float *out, std::size_t count)
{
    // A new setting waits until the running cross-fade has ended, so that
    // every change fades from what is heard.
    if (m_crossfadeDone >= m_crossfadeLength) {
        ToneSettings fresh;
        if (m_pending.take(fresh)) {
            m_previous = m_current;
            m_current = fresh;
            m_crossfadeDone = 0;
        }
    }
    if (m_fadeOutLeft < 0 && m_stopRequested.load(std::memory_order_acquire))
        m_fadeOutLeft = m_fadeLength;

    renderSettings(m_current, m_rate, m_index, m_new.data(), count);
    const bool crossfading = m_crossfadeDone < m_crossfadeLength;
    if (crossfading)
        renderSettings(m_previous, m_rate, m_index, m_old.data(), count);

    for (std::size_t i = 0; i < count; ++i) {
        double value = m_current.gain * m_new[i];
        if (m_crossfadeDone < m_crossfadeLength) {
            const double weight = raisedCosine(double(m_crossfadeDone) / double(m_crossfadeLength));
            value = weight * value + (1 - weight) * m_previous.gain * m_old[i];
            ++m_crossfadeDone;
        }
        const long long sample = m_index + static_cast<long long>(i);
        if (sample < m_fadeLength)
            value *= raisedCosine(double(sample) / double(m_fadeLength));
        if (m_fadeOutLeft >= 0) {
            if (m_fadeOutLeft == 0) {
                m_index += static_cast<long long>(i);
                m_finished.store(true, std::memory_order_release);
                return i;
            }
            value *= raisedCosine(double(--m_fadeOutLeft) / double(m_fadeLength));
        }
        out[i] = static_cast<float>(value);
    }
    m_index += static_cast<long long>(count);
    return count;
}

} // namespace sound
