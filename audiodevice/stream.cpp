#include "audiodevice/stream.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "audiodevice/pulse.h"
#include "audiodevice/rtaudioapi.h"

#include <RtAudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace audiodevice {

namespace {

// How long a closing stream may take to play out what it queued before it is cut.
constexpr auto kMostPlayOut = std::chrono::milliseconds(1000);
constexpr auto kPlayOutPoll = std::chrono::milliseconds(5);

// RtAudio's error callback is a plain function: it learns whose stream failed
// from the thread it runs on, the stream's own (or, while opening, the opener's).
thread_local Stream *t_current = nullptr;
thread_local bool t_scheduled = false;

std::atomic<int> s_closing{0};

void reportFailure(RtAudioError::Type, const std::string &message)
{
    if (t_current)
        t_current->noteFailure(message);
}

RtAudio::Api apiNamed(const std::string &name)
{
    for (const RtAudio::Api api : preferredApis())
        if (RtAudio::getApiName(api) == name)
            return api;
    throw StreamError("the sound system " + quoted(name) + " is not available");
}

// The device's number in this listing: the one named `name`, else `index`.
unsigned numbered(RtAudio &audio, const std::string &name, int index, bool output)
{
    if (name.empty())
        return static_cast<unsigned>(std::max(0, index));
    const unsigned count = audio.getDeviceCount();
    for (unsigned i = 0; i < count; ++i) {
        const RtAudio::DeviceInfo info = audio.getDeviceInfo(i);
        if (info.probed && info.name == name && (output ? info.outputChannels : info.inputChannels) > 0)
            return i;
    }
    throw StreamError("the audio device " + quoted(name) + " is gone");
}

} // namespace

Stream::Stream(const StreamRequest &request, Processor &processor) : m_processor(processor)
{
    if (request.outputDevice < 0 && request.inputDevice < 0)
        throw StreamError("a stream needs an output or an input");
    if (request.api == "pulse") {
        m_pulse = std::make_unique<pulse::PulseStream>(request, processor, *this);
        m_rate = request.rate;
        m_blockFrames = request.blockFrames;
        return;
    }
    quietSoundLibraries();
    try {
        m_audio = std::make_unique<RtAudio>(apiNamed(request.api));
        m_audio->showWarnings(false);
        RtAudio::StreamParameters output, input;
        if (request.outputDevice >= 0)
            output.deviceId = numbered(*m_audio, request.outputName, request.outputDevice, true);
        output.nChannels = static_cast<unsigned>(request.outputChannels);
        if (request.inputDevice >= 0)
            input.deviceId = numbered(*m_audio, request.inputName, request.inputDevice, false);
        input.nChannels = static_cast<unsigned>(request.inputChannels);
        RtAudio::StreamOptions options;
        options.numberOfBuffers = kQueuedBlocks;
        options.streamName = "Quenlari";
        unsigned frames = request.blockFrames;
        t_current = this;
        m_audio->openStream(request.outputDevice >= 0 ? &output : nullptr,
                            request.inputDevice >= 0 ? &input : nullptr, RTAUDIO_FLOAT32,
                            static_cast<unsigned>(request.rate), &frames, &Stream::callback, this, &options,
                            &reportFailure);
        m_blockFrames = frames;
        m_rate = static_cast<int>(m_audio->getStreamSampleRate());
        if (m_audio->isStreamOpen())
            m_audio->startStream();
        t_current = nullptr;
    } catch (const RtAudioError &error) {
        t_current = nullptr;
        throw StreamError(error.getMessage());
    }
    // With an error callback set, RtAudio reports a failed open there rather than by throwing.
    if (!m_audio->isStreamOpen() || !m_audio->isStreamRunning()) {
        const std::string why = failure();
        throw StreamError(why.empty() ? "the sound system would not start the stream" : why);
    }
}

Stream::~Stream()
{
    if (m_pulse) {
        m_pulse.reset();
        return;
    }
    try {
        if (m_audio->isStreamOpen())
            m_audio->closeStream();
    } catch (const RtAudioError &) {
        // Closing a stream whose server is gone: nothing is left to close.
    }
}

bool Stream::ended() const
{
    if (m_pulse)
        return m_pulse->ended();
    return !m_audio->isStreamRunning();
}

std::string Stream::failure() const
{
    if (m_failureState.load(std::memory_order_acquire) != 2)
        return std::string();
    return std::string(m_failure.data());
}

void Stream::noteFailure(const std::string &message)
{
    int expected = 0;
    if (!m_failureState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
        return;
    const std::size_t length = std::min(message.size(), m_failure.size() - 1);
    std::memcpy(m_failure.data(), message.data(), length);
    m_failure[length] = '\0';
    m_failureState.store(2, std::memory_order_release);
}

int Stream::callback(void *output, void *input, unsigned frames, double, unsigned status, void *self)
{
    auto *stream = static_cast<Stream *>(self);
    t_current = stream;
    // Real-time scheduling where the system grants it (a desktop's RealtimeKit
    // or root): a loaded machine then still feeds the device in time. Asked
    // for here, once, rather than through RtAudio, whose PulseAudio back end
    // then prints a line of its own on standard error.
    if (!t_scheduled) {
        t_scheduled = true;
        sched_param priority{};
        priority.sched_priority = sched_get_priority_min(SCHED_RR);
        pthread_setschedparam(pthread_self(), SCHED_RR, &priority);
    }
    if (status)
        stream->m_processor.dropout();
    const bool goOn =
        stream->m_processor.process(static_cast<const float *>(input), static_cast<float *>(output), frames);
    return goOn ? 0 : 1; // 1: RtAudio plays out what is queued, then stops
}

std::unique_ptr<Stream> Stream::open(const StreamRequest &request, std::shared_ptr<Processor> keep)
{
    return askServer<std::unique_ptr<Stream>>(
        [request, keep] { return std::make_unique<Stream>(request, *keep); },
        // Nobody waits for it: closed at once, on the thread that opened it.
        [keep](std::unique_ptr<Stream> late) { late.reset(); });
}

void Stream::closeLater(std::unique_ptr<Stream> stream, std::shared_ptr<void> keep)
{
    if (!stream)
        return;
    ++s_closing;
    std::thread([stream = std::move(stream), keep = std::move(keep)]() mutable {
        const auto deadline = std::chrono::steady_clock::now() + kMostPlayOut;
        while (!stream->ended() && stream->failure().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(kPlayOutPoll);
        stream.reset();
        keep.reset();
        --s_closing;
    }).detach();
}

int Stream::closing()
{
    return s_closing.load();
}

} // namespace audiodevice
