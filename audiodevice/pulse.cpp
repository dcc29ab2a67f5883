#include "audiodevice/pulse.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include <pthread.h>
#include <sched.h>

namespace audiodevice::pulse {

namespace {

constexpr const char *kClientName = "Quenlari";

// The server resamples: a stream may ask for any of these.
const std::vector<int> kRates = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

struct Listing
{
    int pending = 3;
    bool failed = false;
    std::string defaultSink, defaultSource;
    std::vector<Device> sinks, sources;
};

Device deviceOf(const char *id, const char *description, const pa_sample_spec &spec, bool output)
{
    Device device;
    device.id = id ? id : "";
    device.name = description && *description ? description : device.id;
    (output ? device.outputChannels : device.inputChannels) = spec.channels;
    device.rates = kRates;
    device.preferredRate = static_cast<int>(spec.rate);
    return device;
}

void onServer(pa_context *, const pa_server_info *info, void *data)
{
    auto *listing = static_cast<Listing *>(data);
    if (info) {
        listing->defaultSink = info->default_sink_name ? info->default_sink_name : "";
        listing->defaultSource = info->default_source_name ? info->default_source_name : "";
    } else {
        listing->failed = true;
    }
    --listing->pending;
}

// Whether a list has ended (`last` set, below 0 where it failed): one answer fewer to wait for.
bool ended(Listing *listing, int last)
{
    if (!last)
        return false;
    listing->failed |= last < 0;
    --listing->pending;
    return true;
}

void onSink(pa_context *, const pa_sink_info *info, int last, void *data)
{
    auto *listing = static_cast<Listing *>(data);
    if (ended(listing, last))
        return;
    Device device = deviceOf(info->name, info->description, info->sample_spec, true);
    device.monitor = info->monitor_source_name ? info->monitor_source_name : "";
    listing->sinks.push_back(device);
}

void onSource(pa_context *, const pa_source_info *info, int last, void *data)
{
    auto *listing = static_cast<Listing *>(data);
    if (ended(listing, last))
        return;
    listing->sources.push_back(deviceOf(info->name, info->description, info->sample_spec, false));
}

struct Client
{
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = loop ? pa_context_new(pa_mainloop_get_api(loop), kClientName) : nullptr;

    ~Client()
    {
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop)
            pa_mainloop_free(loop);
    }
    // One turn of the loop; false once the connection has failed.
    bool turn()
    {
        return pa_mainloop_iterate(loop, 1, nullptr) >= 0 && PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
    }
};

void release(pa_operation *operation)
{
    if (operation)
        pa_operation_unref(operation);
}

std::string describe(pa_context *context)
{
    const int error = pa_context_errno(context);
    return error == PA_ERR_NOENTITY ? std::string("no such device") : std::string(pa_strerror(error));
}

class Lock
{
public:
    explicit Lock(pa_threaded_mainloop *loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~Lock() { pa_threaded_mainloop_unlock(m_loop); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

} // namespace

std::optional<DeviceList> listDevices()
{
    Client client;
    if (!client.context || pa_context_connect(client.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return std::nullopt;
    while (pa_context_get_state(client.context) != PA_CONTEXT_READY)
        if (!client.turn())
            return std::nullopt;
    Listing listing;
    release(pa_context_get_server_info(client.context, &onServer, &listing));
    release(pa_context_get_sink_info_list(client.context, &onSink, &listing));
    release(pa_context_get_source_info_list(client.context, &onSource, &listing));
    while (listing.pending > 0)
        if (!client.turn())
            return std::nullopt;
    if (listing.failed)
        return std::nullopt;

    DeviceList list;
    list.api = "pulse";
    std::map<std::string, int> seen;
    for (std::vector<Device> *devices : {&listing.sinks, &listing.sources})
        for (Device &device : *devices) {
            device.index = static_cast<int>(list.devices.size());
            const int times = ++seen[device.name];
            if (times > 1)
                device.name += " (" + std::to_string(times) + ")";
            device.defaultOutput = device.outputChannels > 0 && device.id == listing.defaultSink;
            device.defaultInput = device.inputChannels > 0 && device.id == listing.defaultSource;
            list.devices.push_back(device);
        }
    return list;
}

PulseStream::PulseStream(const StreamRequest &request, Processor &processor, Stream &owner)
    : m_processor(processor), m_owner(owner), m_rate(request.rate),
      m_outputChannels(request.outputDevice >= 0 ? request.outputChannels : 0),
      m_inputChannels(request.inputDevice >= 0 ? request.inputChannels : 0), m_blockFrames(request.blockFrames)
{
    m_input.assign(m_blockFrames * static_cast<std::size_t>(m_inputChannels), 0.0f);
    m_output.assign(m_blockFrames * static_cast<std::size_t>(m_outputChannels), 0.0f);
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop)
        throw StreamError("the sound server's client library could not start");
    try {
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), kClientName);
        if (!m_context || pa_threaded_mainloop_start(m_loop) < 0)
            throw StreamError("the sound server's client library could not start");
        const Lock lock(m_loop);
        pa_context_set_state_callback(m_context, &PulseStream::onContextState, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            throw StreamError(describe(m_context));
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state))
                throw StreamError(describe(m_context));
            pa_threaded_mainloop_wait(m_loop);
        }
        if (m_outputChannels > 0)
            m_playback = connect(true, request.outputName, m_outputChannels);
        if (m_inputChannels > 0)
            m_record = connect(false, request.inputName, m_inputChannels);
        for (pa_stream *stream : {m_playback, m_record})
            if (stream)
                waitUntilReady(stream);
        // The input drives a duplex stream, one block out for every block in:
        // the output starts with the queue's silence ahead of it.
        if (m_playback && m_record)
            for (unsigned i = 1; i < kQueuedBlocks; ++i)
                pa_stream_write(m_playback, m_output.data(), m_output.size() * sizeof(float), nullptr, 0,
                                PA_SEEK_RELATIVE);
    } catch (...) {
        close();
        throw;
    }
}

PulseStream::~PulseStream()
{
    close();
}

pa_stream *PulseStream::connect(bool output, const std::string &device, int channels)
{
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(m_rate), static_cast<uint8_t>(channels)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, static_cast<unsigned>(channels), PA_CHANNEL_MAP_DEFAULT);
    pa_stream *stream = pa_stream_new(m_context, output ? "Quenlari output" : "Quenlari input", &spec, &map);
    if (!stream)
        throw StreamError(describe(m_context));
    (output ? m_playback : m_record) = stream; // closed with the rest should connecting fail
    pa_stream_set_state_callback(stream, &PulseStream::onStreamState, this);
    const auto block = static_cast<uint32_t>(m_blockFrames * static_cast<std::size_t>(channels) * sizeof(float));
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = attributes.prebuf = attributes.minreq = attributes.fragsize = static_cast<uint32_t>(-1);
    // A measured device must stay the device: where it goes away, the stream fails rather than moving on.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    int connected;
    if (output) {
        attributes.tlength = block * kQueuedBlocks;
        attributes.minreq = block;
        // After an underflow, play again only once the queue is as deep as at the start.
        attributes.prebuf = block * (kQueuedBlocks - 1);
        pa_stream_set_write_callback(stream, &PulseStream::onWrite, this);
        pa_stream_set_underflow_callback(stream, &PulseStream::onDropout, this);
        connected = pa_stream_connect_playback(stream, device.empty() ? nullptr : device.c_str(), &attributes,
                                               flags, nullptr, nullptr);
    } else {
        attributes.fragsize = block;
        pa_stream_set_read_callback(stream, &PulseStream::onRead, this);
        pa_stream_set_overflow_callback(stream, &PulseStream::onDropout, this);
        // Channel n of the stream is the device's channel n, never a mix of several.
        connected = pa_stream_connect_record(stream, device.empty() ? nullptr : device.c_str(), &attributes,
                                             static_cast<pa_stream_flags_t>(flags | PA_STREAM_NO_REMAP_CHANNELS));
    }
    if (connected < 0)
        throw StreamError(describe(m_context));
    return stream;
}

void PulseStream::waitUntilReady(pa_stream *stream)
{
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            return;
        if (!PA_STREAM_IS_GOOD(state))
            throw StreamError(describe(m_context));
        pa_threaded_mainloop_wait(m_loop);
    }
}

void PulseStream::close()
{
    if (!m_loop)
        return;
    {
        const Lock lock(m_loop);
        for (pa_stream *stream : {m_playback, m_record})
            if (stream) {
                pa_stream_set_state_callback(stream, nullptr, nullptr);
                pa_stream_set_read_callback(stream, nullptr, nullptr);
                pa_stream_set_write_callback(stream, nullptr, nullptr);
                pa_stream_disconnect(stream);
                pa_stream_unref(stream);
            }
        m_playback = m_record = nullptr;
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
    }
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
}

void PulseStream::onContextState(pa_context *context, void *self)
{
    auto *stream = static_cast<PulseStream *>(self);
    if (pa_context_get_state(context) == PA_CONTEXT_FAILED)
        stream->m_owner.noteFailure("the sound server went away (" + describe(context) + ")");
    pa_threaded_mainloop_signal(stream->m_loop, 0);
}

void PulseStream::onStreamState(pa_stream *stream, void *self)
{
    auto *pulseStream = static_cast<PulseStream *>(self);
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED)
        pulseStream->m_owner.noteFailure("the audio device is gone (" + describe(pulseStream->m_context) + ")");
    pa_threaded_mainloop_signal(pulseStream->m_loop, 0);
}

// The callbacks below run on the client library's thread, which holds its
// lock for them: no allocation, lock or wait of ours.
void PulseStream::onRead(pa_stream *stream, std::size_t, void *self)
{
    auto *pulseStream = static_cast<PulseStream *>(self);
    const std::size_t frameBytes = static_cast<std::size_t>(pulseStream->m_inputChannels) * sizeof(float);
    const void *data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        if (!data)
            pulseStream->m_dropout.store(true, std::memory_order_relaxed); // a hole: samples lost
        std::size_t frames = bytes / frameBytes, at = 0;
        while (frames > 0 && !pulseStream->m_ending) {
            const std::size_t take = std::min(frames, pulseStream->m_blockFrames - pulseStream->m_gathered);
            float *into = pulseStream->m_input.data() + pulseStream->m_gathered * pulseStream->m_inputChannels;
            const std::size_t count = take * static_cast<std::size_t>(pulseStream->m_inputChannels);
            if (data)
                std::memcpy(into, static_cast<const float *>(data) + at, count * sizeof(float));
            else
                std::fill(into, into + count, 0.0f);
            at += count;
            frames -= take;
            pulseStream->m_gathered += take;
            if (pulseStream->m_gathered == pulseStream->m_blockFrames) {
                pulseStream->m_gathered = 0;
                pulseStream->runBlock(pulseStream->m_input.data());
            }
        }
        pa_stream_drop(stream);
    }
}

void PulseStream::onWrite(pa_stream *, std::size_t bytes, void *self)
{
    auto *pulseStream = static_cast<PulseStream *>(self);
    if (pulseStream->m_record)
        return; // the input drives a duplex stream
    const std::size_t block = pulseStream->m_output.size() * sizeof(float);
    for (; bytes >= block && !pulseStream->m_ending; bytes -= block)
        pulseStream->runBlock(nullptr);
}

void PulseStream::runBlock(const float *input)
{
    // Real-time scheduling where the system grants it, asked for once.
    if (!m_scheduled) {
        m_scheduled = true;
        sched_param priority{};
        priority.sched_priority = sched_get_priority_min(SCHED_RR);
        pthread_setschedparam(pthread_self(), SCHED_RR, &priority);
    }
    if (m_dropout.exchange(false, std::memory_order_relaxed))
        m_processor.dropout();
    float *output = m_playback ? m_output.data() : nullptr;
    const bool goOn = m_processor.process(input, output, m_blockFrames);
    if (m_playback)
        pa_stream_write(m_playback, output, m_output.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    if (goOn)
        return;
    m_ending = true;
    if (m_playback)
        release(pa_stream_drain(m_playback, &PulseStream::onDrained, this));
    else
        m_ended.store(true, std::memory_order_release);
}

void PulseStream::onDropout(pa_stream *, void *self)
{
    static_cast<PulseStream *>(self)->m_dropout.store(true, std::memory_order_relaxed);
}

void PulseStream::onDrained(pa_stream *, int, void *self)
{
    static_cast<PulseStream *>(self)->m_ended.store(true, std::memory_order_release);
}

} // namespace audiodevice::pulse
