#pragma once

#include "sound/latestvalue.h"
#include "synthesis/tone.h"
#include "synthesis/twotone.h"

#include <optional>

#include <atomic>
#include <cstddef>
#include <vector>

// The live tone: the main window's signal as sound, rendered buffer after
// buffer by the one synthesis routine, with the exact pi.
namespace sound {

constexpr double kPlayPeakDbfs = -12;  // the tone's peak while it plays
constexpr double kFadeSeconds = 0.010; // at start and at stop
constexpr double kCrossfadeSeconds = 0.015;

// A tone and the gain that puts its peak where it should be. The peak costs
// some thousand sines to find, so it is found where the settings are made,
// never where the sound is rendered.
struct ToneSettings
{
    tone::Tone tone;
    double gain = 0; // on the sum, in units of the fundamental's amplitude
    std::optional<twotone::TwoTone> twoTone; // where set, played in place of the tone (its peak is 1)
};
ToneSettings settingsFor(const tone::Tone &tone, double peakDbfs = kPlayPeakDbfs);
ToneSettings settingsFor(const twotone::TwoTone &tones, double peakDbfs);

// Renders the tone without end, the phase carried from each buffer to the
// next. New settings cross-fade in; the start and the stop fade. render()
// takes no lock and allocates nothing: settings arrive through a lock-free
// hand-over, and every buffer it needs is made in the constructor.
class ToneGenerator
{
public:
    ToneGenerator(double rate, const ToneSettings &settings);

    // From the controlling thread.
    void setSettings(const ToneSettings &settings) { m_pending.publish(settings); }
    void requestStop() { m_stopRequested.store(true, std::memory_order_release); }
    bool finished() const { return m_finished.load(std::memory_order_acquire); }

    // From the audio side: fills `out` and returns how many samples it wrote;
    // fewer than `count` once the fade at the stop has ended.
    std::size_t render(float *out, std::size_t count);

    double rate() const { return m_rate; }

private:
    std::size_t renderChunk(float *out, std::size_t count);

    double m_rate;
    LatestValue<ToneSettings> m_pending;
    ToneSettings m_current, m_previous;
    long long m_index = 0; // samples since the start: the tone's own clock
    long long m_fadeLength, m_crossfadeLength;
    long long m_crossfadeDone = 0; // m_crossfadeLength when no cross-fade runs
    long long m_fadeOutLeft = -1;  // -1 until the stop's fade begins
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_finished{false};
    std::vector<double> m_new, m_old;
};

} // namespace sound
