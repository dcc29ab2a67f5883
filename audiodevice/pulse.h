#pragma once

#include "audiodevice/devices.h"
#include "audiodevice/stream.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

// The PulseAudio server (PipeWire's too) through its own client library:
// every sink and source by the server's name, the server's exact defaults,
// and streams that report the server's underflows and overflows. RtAudio
// merges devices that share a description and says nothing of drop-outs there.
namespace audiodevice::pulse {

// The server's sinks (outputs) and sources (inputs, monitors included), or
// nothing where no server runs. Waits as long as the server takes.
std::optional<DeviceList> listDevices();

// A stream on the server's devices named in the request; rate and block as asked.
class PulseStream
{
public:
    // Throws StreamError. `owner` is told of failures.
    PulseStream(const StreamRequest &request, Processor &processor, Stream &owner);
    ~PulseStream();
    PulseStream(const PulseStream &) = delete;
    PulseStream &operator=(const PulseStream &) = delete;

    bool ended() const { return m_ended.load(std::memory_order_acquire); }

private:
    static void onContextState(pa_context *context, void *self);
    static void onStreamState(pa_stream *stream, void *self);
    static void onRead(pa_stream *stream, std::size_t bytes, void *self);
    static void onWrite(pa_stream *stream, std::size_t bytes, void *self);
    static void onDropout(pa_stream *stream, void *self);
    static void onDrained(pa_stream *stream, int success, void *self);

    pa_stream *connect(bool output, const std::string &device, int channels);
    void waitUntilReady(pa_stream *stream);
    void runBlock(const float *input);
    void close();

    Processor &m_processor;
    Stream &m_owner;
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_playback = nullptr, *m_record = nullptr;
    int m_rate, m_outputChannels, m_inputChannels;
    std::size_t m_blockFrames;
    // One block of input gathered from the server's fragments, and one of output.
    std::vector<float> m_input, m_output;
    std::size_t m_gathered = 0;
    bool m_scheduled = false, m_ending = false;
    std::atomic<bool> m_dropout{false}, m_ended{false};
};

} // namespace audiodevice::pulse
