#include "measure/livemeter.h"

#include "analysis/residual.h"
#include "base/progress.h"
#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace measure {

namespace {

// Input that has not moved for this long has stalled: the sound system stopped feeding it.
constexpr auto kStalled = std::chrono::seconds(1);
// A block a sweep would not read is not read live either: ten periods and a tenth of a second.
constexpr double kLeastSeconds = 0.1;
constexpr std::size_t kHistoryKept = 64;
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr auto kLongestWait = std::chrono::seconds(2);

// Two periods of the block's end less DC and the fitted fundamental (and its
// harmonics held apart from the fit): where crossover notches and clipping show.
std::vector<double> residualOf(const std::vector<float> &samples, double rate, const analysis::Analysis &r)
{
    const double theta = 2 * dsp::kPi * r.fundamentalHz / rate;
    const auto span = std::min(samples.size(), static_cast<std::size_t>(std::ceil(2 * rate / r.fundamentalHz)));
    // Only the block's end is shown: its last tenth of a second (ten periods
    // at the least) is all the fit of the fundamental needs for it.
    const std::size_t fitted = std::min(samples.size(), stepFrames(r.fundamentalHz, rate, kLeastSeconds));
    const std::vector<float> end(samples.end() - std::ptrdiff_t(fitted), samples.end());
    const auto held = static_cast<int>(std::count_if(r.harmonics.begin(), r.harmonics.end(),
                                                     [](const analysis::Harmonic &h) { return h.present; }));
    const analysis::FundamentalRemoval removal(end, theta, r.dcOffset, rate, 1 + held);
    std::vector<double> residual(span);
    removal.residual(end.size() - span, residual.data(), span);
    return residual;
}

} // namespace

LiveMeter::LiveMeter(const Devices &devices, const Stimulus &stimulus, const LiveSettings &settings)
    : m_session(devices, stimulus), m_settings(settings), m_averager(settings.averaging),
      m_lastMoved(std::chrono::steady_clock::now())
{
}

void LiveMeter::setStimulus(const Stimulus &stimulus)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_session.setStimulus(stimulus);
    ++m_stimulusId;
    m_averager.clear();
    m_history.clear();
}

void LiveMeter::setSettings(const LiveSettings &settings)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (settings.blockSeconds != m_settings.blockSeconds || settings.settling.thdNDb != m_settings.settling.thdNDb ||
        settings.settling.levelDb != m_settings.settling.levelDb) {
        m_averager.clear();
        m_history.clear();
    }
    m_settings = settings;
    m_averager.setBlocks(settings.averaging);
}

LiveReading LiveMeter::state(State state, const std::string &why) const
{
    LiveReading live;
    live.reading.stimulus = m_session.stimulus();
    live.reading.state = state;
    live.reading.why = why;
    return live;
}

LiveReading LiveMeter::read(bool spectrum)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::string failed = m_session.failure();
    if (!failed.empty())
        throw MeasureError("the audio device stopped working (" + failed + ")");
    const auto now = std::chrono::steady_clock::now();
    const int64_t received = m_session.received();
    if (received != m_lastReceived) {
        m_lastReceived = received;
        m_lastMoved = now;
    } else if (now - m_lastMoved >= kStalled) {
        m_averager.clear();
        m_history.clear();
        return state(State::Stalled, "nothing has come in for a second: the sound system stopped feeding the input");
    }
    const int rate = m_session.rate();
    const auto frames = static_cast<std::size_t>(std::llround(m_settings.blockSeconds * rate));
    // The latest block, but nothing from before the newest stimulus came round.
    int64_t from = 0;
    std::vector<float> samples = m_session.latest(frames, &from);
    const int64_t newest = m_session.newestArrival();
    if (newest > from) {
        samples.erase(samples.begin(), samples.begin() + std::min<int64_t>(int64_t(samples.size()), newest - from));
        from = newest;
    }
    const int64_t to = from + int64_t(samples.size());
    m_lastReadTo = std::max(m_lastReadTo, to);
    const Stimulus stimulus = m_session.stimulus();
    if (samples.size() < stepFrames(stimulus.frequencyHz(), rate, kLeastSeconds))
        return state(State::Settling, "the stimulus has not come round yet");
    const int64_t id = m_stimulusId;
    const Settling settling = m_settings.settling;
    lock.unlock();

    LiveReading live;
    live.reading = measure::read(samples, rate, stimulus, spectrum);
    if (hasFigures(live.reading.state) && stimulus.kind() == Stimulus::Kind::Tone)
        live.residual = residualOf(samples, rate, live.reading.result);

    lock.lock();
    if (id != m_stimulusId)
        return state(State::Settling, "a new stimulus");
    if (!hasFigures(live.reading.state))
        return live;
    Reading plain = live.reading;
    plain.spectrum = {};
    // Settled once it agrees with the latest block before it that it does not overlap.
    const auto before = std::find_if(m_history.rbegin(), m_history.rend(), [&](const Read &r) { return r.to <= from; });
    const bool settled = before != m_history.rend() && agree(before->reading, plain, settling);
    std::string apart;
    if (before != m_history.rend() && !settled) {
        char text[160];
        std::snprintf(text, sizeof text, "the last two blocks differ by %.2f dB in %s and %.3f dB in level",
                      std::fabs(figureDb(before->reading) - figureDb(plain)), figureName(plain),
                      std::fabs(levelDb(before->reading) - levelDb(plain)));
        apart = text;
    }
    m_history.push_back({from, to, plain});
    while (m_history.size() > kHistoryKept)
        m_history.pop_front();
    if (!settled) {
        LiveReading waiting = state(apart.empty() ? State::Settling : State::NotSettled,
                                    apart.empty() ? "waiting for two blocks in a row to agree" : apart);
        waiting.reading.spectrum = std::move(live.reading.spectrum);
        return waiting;
    }
    m_averager.add(plain);
    LiveReading shown;
    shown.reading = m_averager.average();
    shown.reading.spectrum = std::move(live.reading.spectrum);
    shown.residual = std::move(live.residual);
    shown.averaged = m_averager.held();
    return shown;
}

void LiveMeter::waitForNextBlock(const Progress *progress)
{
    auto lastMoved = std::chrono::steady_clock::now();
    int64_t last = -1;
    for (;;) {
        int64_t wanted = 0, received = 0;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            const std::string failed = m_session.failure();
            if (!failed.empty())
                throw MeasureError("the audio device stopped working (" + failed + ")");
            wanted = m_lastReadTo + std::llround(m_settings.blockSeconds * m_session.rate());
            received = m_session.received();
        }
        if (received >= wanted)
            return;
        if (progress)
            progress->check();
        const auto now = std::chrono::steady_clock::now();
        if (received != last) {
            last = received;
            lastMoved = now;
        } else if (now - lastMoved > kLongestWait) {
            throw MeasureError("the audio input stopped: nothing arrived for 2 s");
        }
        std::this_thread::sleep_for(kPoll);
    }
}

} // namespace measure
