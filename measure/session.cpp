#include "measure/session.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "audiodevice/stream.h"
#include "base/progress.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <thread>

namespace measure {

namespace {

// The stream opens with this much silence: whatever the input holds then is
// the device's own noise, against which the stimulus's arrival stands out.
constexpr double kLeadInSeconds = 0.25;
// Input kept for reading back, enough for the longest block and more.
constexpr double kKeptSeconds = 40;
// No stimulus at the input this long after it was played: nothing is connected.
constexpr double kLongestLoopSeconds = 3;
// The input not moving on for this long: the device has stalled.
constexpr double kLongestStallSeconds = 2;
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr auto kLongestClosing = std::chrono::milliseconds(1500);
// The stimulus has arrived where the input first stands this far above its
// noise before, or above this level where it was silent.
constexpr float kArrivalOverNoise = 4;
constexpr float kLeastArrival = 1e-6f;

} // namespace

// The stimulus out and the chosen input channel in, on the device's thread:
// no allocation, lock or wait. It plays silence for the lead-in, then the
// generator. A new stimulus starts at the output frame it asks for (at once
// when that is past), and the frame at which it began is noted.
class Processor : public audiodevice::Processor
{
public:
    struct Change
    {
        sound::ToneSettings settings;
        int64_t id = 0;
        int64_t atFrame = 0;
        // Played once from the change on, over the tone (which is silent then).
        const float *samples = nullptr;
        std::size_t sampleCount = 0;
        bool sounds = true; // false for silence
    };

    Processor(double stimulusRate, const Stimulus &first, int64_t leadIn, int outputChannels, int inputChannels,
              int channel, std::size_t kept, int otherChannel = 0, int drivenOutput = 0)
        : generator(stimulusRate, settingsOf(first)), ring(kept), other(otherChannel > 0 ? kept : 1),
          m_leadIn(leadIn), m_outputChannels(outputChannels), m_inputChannels(inputChannels), m_channel(channel),
          m_otherChannel(otherChannel), m_drivenOutput(drivenOutput), m_mono(kMaxBlock),
          m_fadeFrames(std::max<int64_t>(1, std::llround(sound::kFadeSeconds * stimulusRate)))
    {
        m_began[0].store(leadIn, std::memory_order_relaxed);
        if (!first.silent)
            m_firstSound.store(leadIn, std::memory_order_relaxed);
        m_once = hold(first);
        m_onceCount = first.samples ? first.samples->size() : 0;
    }

    static sound::ToneSettings settingsOf(const Stimulus &stimulus)
    {
        if (stimulus.samples || stimulus.silent)
            return sound::ToneSettings{stimulus.tone, 0, std::nullopt};
        return stimulus.twoTone ? sound::settingsFor(*stimulus.twoTone, stimulus.peakDbfs)
                                : sound::settingsFor(stimulus.tone, stimulus.peakDbfs);
    }
    // From the controlling thread: keeps a stimulus's samples for as long as
    // the processor lives, which the device's thread may outlast the session by.
    const float *hold(const Stimulus &stimulus)
    {
        if (!stimulus.samples)
            return nullptr;
        m_held.push_back(stimulus.samples);
        return stimulus.samples->data();
    }

    bool process(const float *input, float *output, std::size_t frames) noexcept override
    {
        if (input && inputSeam)
            input = inputSeam->pass(input, frames, m_inputChannels);
        if (input)
            ring.write(input, frames, m_inputChannels, m_channel - 1);
        if (input && m_otherChannel > 0)
            other.write(input, frames, m_inputChannels, m_otherChannel - 1);
        std::size_t done = 0;
        bool going = true;
        while (done < frames) {
            if (!m_waiting && m_changes.take(m_next))
                m_waiting = true;
            if (m_waiting && m_rendered >= std::max(m_next.atFrame, m_leadIn)) {
                generator.setSettings(m_next.settings);
                m_once = m_next.samples;
                m_onceCount = m_next.sampleCount;
                m_onceAt = 0;
                m_began[std::size_t(m_next.id) % kBeganKept].store(m_rendered, std::memory_order_relaxed);
                if (m_next.sounds && m_firstSound.load(std::memory_order_relaxed) < 0)
                    m_firstSound.store(m_rendered, std::memory_order_release);
                m_appliedId.store(m_next.id, std::memory_order_release);
                m_waiting = false;
                continue;
            }
            // Up to the next event: the lead-in's end or a waiting change's frame.
            int64_t count = int64_t(std::min(frames - done, kMaxBlock));
            if (m_rendered < m_leadIn)
                count = std::min(count, m_leadIn - m_rendered);
            else if (m_waiting)
                count = std::min(count, m_next.atFrame - m_rendered);
            const auto length = std::size_t(count);
            const std::size_t wrote = m_rendered < m_leadIn ? 0 : generator.render(m_mono.data(), length);
            std::fill(m_mono.begin() + std::ptrdiff_t(wrote), m_mono.begin() + std::ptrdiff_t(length), 0.0f);
            if (m_rendered >= m_leadIn)
                addOnce(m_mono.data(), length);
            for (std::size_t i = 0; i < length; ++i)
                for (int c = 0; c < m_outputChannels; ++c)
                    output[(done + i) * std::size_t(m_outputChannels) + std::size_t(c)] =
                        m_drivenOutput == 0 || c == m_drivenOutput - 1 ? m_mono[i] : 0.0f;
            m_rendered += count;
            done += length;
            if (generator.finished())
                going = false;
        }
        return going;
    }

    void dropout() noexcept override
    {
        const int64_t at = m_dropoutCount.load(std::memory_order_relaxed);
        m_dropouts[std::size_t(at) % kDropoutsKept].store(ring.written(), std::memory_order_relaxed);
        m_dropoutCount.store(at + 1, std::memory_order_release);
    }
    // Whether the sound system said it fell behind at an input frame in [from, to].
    bool droppedOutWithin(int64_t from, int64_t to) const
    {
        const int64_t count = m_dropoutCount.load(std::memory_order_acquire);
        for (int64_t k = std::max<int64_t>(0, count - int64_t(kDropoutsKept)); k < count; ++k) {
            const int64_t at = m_dropouts[std::size_t(k) % kDropoutsKept].load(std::memory_order_relaxed);
            if (at >= from && at <= to)
                return true;
        }
        return false;
    }

    // From the controlling thread. A change that waits for its frame holds
    // back the next; one published before the last was taken replaces it.
    void change(const Change &change) { m_changes.publish(change); }
    // From the controlling thread: samples being played once fade out.
    void stop() { m_stopping.store(true, std::memory_order_release); }
    int64_t appliedId() const { return m_appliedId.load(std::memory_order_acquire); }
    // The output frame at which stimulus `id` began, once appliedId() has reached it
    // (and while fewer than kBeganKept have begun since).
    int64_t began(int64_t id) const { return m_began[std::size_t(id) % kBeganKept].load(std::memory_order_relaxed); }
    // The output frame at which the first stimulus that is not silence began, or -1.
    int64_t firstSound() const { return m_firstSound.load(std::memory_order_acquire); }

    sound::ToneGenerator generator;
    InputRing ring;
    InputRing other; // the other channel kept, where one is
    std::shared_ptr<InputSeam> inputSeam; // set before the stream starts

private:
    void addOnce(float *out, std::size_t length) noexcept
    {
        const bool stopping = m_stopping.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < length && m_once; ++i) {
            if (m_onceAt >= m_onceCount || (stopping && m_stopFade >= m_fadeFrames)) {
                m_once = nullptr;
                break;
            }
            const float gain = stopping ? float(m_fadeFrames - m_stopFade++) / float(m_fadeFrames) : 1.0f;
            out[i] += gain * m_once[m_onceAt++];
        }
    }

    static constexpr std::size_t kMaxBlock = 4096;
    static constexpr std::size_t kBeganKept = 64;
    static constexpr std::size_t kDropoutsKept = 64;

    sound::LatestValue<Change> m_changes;
    Change m_next;
    bool m_waiting = false;
    std::array<std::atomic<int64_t>, kBeganKept> m_began{};
    std::atomic<int64_t> m_appliedId{0};
    std::atomic<int64_t> m_firstSound{-1};
    std::array<std::atomic<int64_t>, kDropoutsKept> m_dropouts{};
    std::atomic<int64_t> m_dropoutCount{0};
    const int64_t m_leadIn;
    const int m_outputChannels, m_inputChannels, m_channel, m_otherChannel, m_drivenOutput;
    int64_t m_rendered = 0;
    std::vector<float> m_mono;
    std::vector<std::shared_ptr<const std::vector<float>>> m_held; // the controlling thread's
    const float *m_once = nullptr;
    std::size_t m_onceCount = 0, m_onceAt = 0;
    const int64_t m_fadeFrames;
    int64_t m_stopFade = 0;
    std::atomic<bool> m_stopping{false};
};

Session::Session(const Devices &wanted, const Stimulus &first)
    : Session(wanted, [&first](int) { return first; })
{
}

Session::Session(const Devices &wanted, const std::function<Stimulus(int rate)> &makeFirst)
{
    if (wanted.standIn) {
        m_rate = wanted.rate;
        m_stimulus = makeFirst(m_rate);
        m_soundSet = !m_stimulus.silent;
        const Stimulus &first = m_stimulus;
        m_outputName = "Simulated output";
        m_inputName = "Simulated input";
        m_inputChannels = 1;
        m_processor = std::make_shared<Processor>(wanted.stimulusRate > 0 ? wanted.stimulusRate : m_rate, first,
                                                  std::llround(kLeadInSeconds * m_rate), 1, 1, 1,
                                                  static_cast<std::size_t>(kKeptSeconds * m_rate));
        m_processor->inputSeam = wanted.inputSeam;
        for (int channel : {wanted.channel, wanted.otherChannel})
            if (channel > 1 || (channel == 0 && wanted.channel == 0))
                throw MeasureError(audiodevice::quoted(m_inputName) + " has 1 input channel: there is no channel " +
                                   std::to_string(channel));
        m_standIn = wanted.standIn->start(*m_processor, m_rate);
        return;
    }
    // The lead-in must hear the input's own noise, not a stream of ours that is still playing out.
    const auto deadline = std::chrono::steady_clock::now() + kLongestClosing;
    while (audiodevice::Stream::closing() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kPoll);
    audiodevice::DeviceList devices;
    try {
        devices = audiodevice::listDevices();
    } catch (const audiodevice::NoAnswer &error) {
        throw MeasureError(error.what());
    }
    const audiodevice::Device *chosenOutput = nullptr, *chosenInput = nullptr;
    try {
        chosenOutput = &audiodevice::choose(devices, wanted.output, true);
        chosenInput = &audiodevice::choose(devices, wanted.input, false);
    } catch (const audiodevice::DeviceError &error) {
        throw MeasureError(error.what());
    }
    const audiodevice::Device &output = *chosenOutput, &input = *chosenInput;
    for (int channel : {wanted.channel, wanted.otherChannel})
        if (channel != 0 && (channel < 1 || channel > input.inputChannels))
            throw MeasureError(audiodevice::quoted(input.name) + " has " + std::to_string(input.inputChannels) +
                               " input channels: there is no channel " + std::to_string(channel));
    if (wanted.channel == 0)
        throw MeasureError("there is no input channel 0: channels count from 1");
    m_rate = audiodevice::chooseRate(output, input, wanted.rate);
    m_outputName = output.name;
    m_inputName = input.name;
    m_inputChannels = input.inputChannels;

    audiodevice::StreamRequest request;
    request.api = devices.api;
    request.outputDevice = output.index;
    request.outputName = output.id.empty() ? output.name : output.id;
    request.outputChannels = std::min(2, output.outputChannels);
    if (wanted.drivenOutput > request.outputChannels)
        throw MeasureError(audiodevice::quoted(output.name) + " has " + std::to_string(request.outputChannels) +
                           " output channels to drive: there is no channel " + std::to_string(wanted.drivenOutput));
    request.inputDevice = input.index;
    request.inputName = input.id.empty() ? input.name : input.id;
    request.inputChannels = input.inputChannels;
    request.rate = m_rate;
    const double stimulusRate = wanted.stimulusRate > 0 ? wanted.stimulusRate : m_rate;
    m_stimulus = makeFirst(m_rate);
    m_soundSet = !m_stimulus.silent;
    m_processor = std::make_shared<Processor>(
        stimulusRate, m_stimulus, std::llround(kLeadInSeconds * m_rate),
        request.outputChannels, request.inputChannels, wanted.channel,
        static_cast<std::size_t>(kKeptSeconds * m_rate), wanted.otherChannel, wanted.drivenOutput);
    m_processor->inputSeam = wanted.inputSeam;
    try {
        m_stream = audiodevice::Stream::open(request, m_processor);
    } catch (const audiodevice::NoAnswer &error) {
        throw MeasureError(error.what());
    } catch (const audiodevice::StreamError &error) {
        throw MeasureError(std::string("the audio devices could not be opened (") + error.what() + ")");
    }
}

Session::~Session()
{
    m_processor->stop();
    m_processor->generator.requestStop();
    m_standIn.reset();
    audiodevice::Stream::closeLater(std::move(m_stream), m_processor);
}

int64_t Session::setStimulus(const Stimulus &stimulus, int64_t atOutputFrame)
{
    m_stimulus = stimulus;
    m_processor->change({Processor::settingsOf(stimulus), ++m_stimulusId, atOutputFrame, m_processor->hold(stimulus),
                         stimulus.samples ? stimulus.samples->size() : 0, !stimulus.silent});
    m_soundSet = m_soundSet || !stimulus.silent;
    return m_stimulusId;
}

int64_t Session::beganAt(int64_t id, const Progress *progress)
{
    while (m_processor->appliedId() < id)
        waitFor(received() + 1, progress);
    return m_processor->began(id);
}

int64_t Session::received() const
{
    return m_processor->ring.written();
}

std::string Session::failure() const
{
    return m_stream ? m_stream->failure() : m_standIn ? m_standIn->failure() : std::string();
}

std::vector<float> Session::latest(std::size_t frames, int64_t *first) const
{
    std::vector<float> samples;
    for (;;) {
        const int64_t to = received(), from = std::max<int64_t>(0, to - int64_t(frames));
        if (m_processor->ring.read(from, to, samples)) {
            if (first)
                *first = from;
            return samples;
        }
    }
}

void Session::checkDevice() const
{
    const std::string failed = failure();
    if (!failed.empty())
        throw MeasureError("the audio device stopped working (" + failed + ")");
}

void Session::waitFor(int64_t frames, const Progress *progress)
{
    int64_t last = received();
    auto lastMoved = std::chrono::steady_clock::now();
    for (;;) {
        // A failed stream may go on calling with stale input: nothing after a failure counts.
        checkDevice();
        if (received() >= frames)
            return;
        if (progress)
            progress->check();
        const auto now = std::chrono::steady_clock::now();
        if (received() != last) {
            last = received();
            lastMoved = now;
        } else if (now - lastMoved > std::chrono::duration<double>(kLongestStallSeconds)) {
            throw MeasureError("the audio input stopped: nothing arrived for " +
                               std::to_string(int(kLongestStallSeconds)) + " s");
        }
        std::this_thread::sleep_for(kPoll);
    }
}

bool Session::readInput(int64_t from, int64_t to, std::vector<float> &samples) const
{
    const bool held = m_processor->ring.read(from, to, samples);
    // The device's failure is noted before any stale input follows it.
    checkDevice();
    return held;
}

float arrivalThreshold(const float *quiet, std::size_t count)
{
    float noise = 0;
    for (std::size_t i = 0; i < count; ++i)
        noise = std::max(noise, std::fabs(quiet[i]));
    return std::max(kLeastArrival, kArrivalOverNoise * noise);
}

std::optional<std::size_t> firstAbove(const float *samples, std::size_t count, float threshold)
{
    for (std::size_t i = 0; i < count; ++i)
        if (std::fabs(samples[i]) > threshold)
            return i;
    return std::nullopt;
}

std::optional<int64_t> Session::scanForArrival(int64_t upTo)
{
    const auto leadIn = std::llround(kLeadInSeconds * m_rate);
    if (m_arrivalThreshold < 0) {
        if (received() < leadIn)
            return std::nullopt;
        std::vector<float> quiet;
        readInput(0, leadIn, quiet);
        m_arrivalThreshold = arrivalThreshold(quiet.data(), quiet.size());
        m_scanned = leadIn;
    }
    // Nothing comes round before the first stimulus that sounds has begun.
    const int64_t sound = m_processor->firstSound();
    if (sound < 0)
        return std::nullopt;
    m_scanned = std::max(m_scanned, sound);
    upTo = std::min(upTo, received());
    std::vector<float> samples;
    if (upTo > m_scanned) {
        if (!readInput(m_scanned, upTo, samples))
            throw MeasureError("the audio input was not read in time");
        if (const std::optional<std::size_t> at = firstAbove(samples.data(), samples.size(), m_arrivalThreshold)) {
            m_loopFrames = m_scanned + int64_t(*at) - sound;
            return m_loopFrames;
        }
        m_scanned = upTo;
    }
    return std::nullopt;
}

int64_t Session::findLoopFrames(const Progress *progress)
{
    if (m_loopFrames)
        return *m_loopFrames;
    // Only silence played: nothing comes round to line up with.
    if (!m_soundSet)
        return 0;
    while (m_processor->firstSound() < 0)
        waitFor(received() + 1, progress);
    // The first sample of the stimulus that stands out of the lead-in's noise.
    const int64_t longest = m_processor->firstSound() + std::llround(kLongestLoopSeconds * m_rate);
    const int64_t chunk = std::max<int64_t>(1, m_rate / 100);
    for (int64_t upTo = m_scanned + chunk; upTo < longest + chunk; upTo += chunk) {
        waitFor(std::min(upTo, longest), progress);
        if (const std::optional<int64_t> found = scanForArrival(std::min(upTo, longest)))
            return *found;
    }
    throw MeasureError("no signal on the input: nothing of the stimulus came back within " +
                       std::to_string(int(kLongestLoopSeconds)) + " s");
}

int64_t Session::newestArrival()
{
    const int64_t began = m_processor->appliedId() >= m_stimulusId ? m_processor->began(m_stimulusId) : received();
    const auto crossfade = std::llround(sound::kCrossfadeSeconds * m_rate);
    if (!m_loopFrames && m_soundSet) {
        checkDevice();
        const int64_t sound = m_processor->firstSound();
        if (sound < 0)
            return received();
        const int64_t longest = sound + std::llround(kLongestLoopSeconds * m_rate);
        if (!scanForArrival(std::min(received(), longest)))
            return received() >= longest ? began + crossfade : received();
    }
    return began + m_loopFrames.value_or(0) + crossfade;
}

std::vector<float> Session::record(int64_t fromOutputFrame, std::size_t frames, const Progress *progress)
{
    const int64_t from = fromOutputFrame + findLoopFrames(progress);
    waitFor(from + int64_t(frames), progress);
    std::vector<float> samples;
    if (!readInput(from, from + int64_t(frames), samples))
        throw MeasureError("the audio input was not read in time");
    return samples;
}

std::vector<float> Session::recordOther(int64_t fromOutputFrame, std::size_t frames) const
{
    const int64_t from = fromOutputFrame + m_loopFrames.value_or(0);
    std::vector<float> samples;
    if (!m_processor->other.read(from, from + int64_t(frames), samples))
        throw MeasureError("the audio input was not read in time");
    checkDevice();
    return samples;
}

bool Session::droppedOutWithin(int64_t fromOutputFrame, std::size_t frames) const
{
    if (!m_loopFrames)
        return false;
    const int64_t from = fromOutputFrame + *m_loopFrames;
    return m_processor->droppedOutWithin(from, from + int64_t(frames));
}

int64_t Session::settledFrom(int64_t began, double settleSeconds) const
{
    return began + std::llround((settleSeconds + sound::kCrossfadeSeconds) * m_rate);
}

} // namespace measure
