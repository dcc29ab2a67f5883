#pragma once

#include "audiodevice/devices.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

class RtAudio;

namespace audiodevice {

namespace pulse {
class PulseStream;
}

// The blocks the sound system queues ahead: some 130 ms at 1024 frames and
// 48 kHz. The callback runs at real-time priority where granted, but the sound
// server may keep a loaded machine's client waiting for some 100 ms.
constexpr unsigned kQueuedBlocks = 6;

// A stream that cannot be opened: the sound system's own words.
class StreamError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What a stream calls on the device's own thread, block after block, with
// interleaved float samples (full scale 1). It must not allocate, lock or
// wait. Returns false once its output has ended: what is queued then plays
// out and the stream stops.
class Processor
{
public:
    virtual ~Processor() = default;
    virtual bool process(const float *input, float *output, std::size_t frames) noexcept = 0;
    // Before a block's process(): the sound system could not feed or read the
    // device in time just before it (where the sound system says so).
    virtual void dropout() noexcept {}
};

struct StreamRequest
{
    std::string api;       // a DeviceList's
    int outputDevice = -1; // -1: none
    int outputChannels = 0;
    int inputDevice = -1;
    int inputChannels = 0;
    // Where given, the devices are found again by these: the server's own
    // names (a Device's id) or, where it has none, a Device's name. The sound
    // system may number its devices differently from one listing to the next.
    std::string outputName, inputName;
    int rate = 48000;
    // Frames a block; the sound system queues a few blocks ahead of what is heard.
    unsigned blockFrames = 1024;
};

// An open, running stream: output, input or both at once (duplex, one rate
// and one clock). Closing may wait for the device; closeLater() never does.
class Stream
{
public:
    // Throws StreamError; may wait as long as the sound server takes.
    Stream(const StreamRequest &request, Processor &processor);
    // Opens a stream, waiting at most 5 s for the sound server: throws
    // NoAnswer (askserver.h) then, and StreamError. `keep` holds the
    // processor for as long as a stream that opens too late still plays.
    static std::unique_ptr<Stream> open(const StreamRequest &request, std::shared_ptr<Processor> keep);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    int rate() const { return m_rate; }
    unsigned blockFrames() const { return m_blockFrames; }
    // Whether the processor said its output has ended and the stream stopped.
    bool ended() const;
    // Set from the device's thread when the device fails (a lost server,
    // say): the sound system's words, or empty while all is well.
    std::string failure() const;
    // From the device's thread: keeps the first failure's words.
    void noteFailure(const std::string &message);

    // Lets queued output play out, then closes the stream on a thread of its
    // own, together with `keep` (what the processor needs until then): a
    // device that hangs never holds the caller.
    static void closeLater(std::unique_ptr<Stream> stream, std::shared_ptr<void> keep);
    // Streams handed to closeLater() that have not closed yet: what they
    // still play may yet be heard.
    static int closing();

private:
    static int callback(void *output, void *input, unsigned frames, double time, unsigned status, void *self);

    std::unique_ptr<RtAudio> m_audio;
    std::unique_ptr<pulse::PulseStream> m_pulse;
    Processor &m_processor;
    int m_rate = 0;
    unsigned m_blockFrames = 0;
    // The first failure's words, written once by the device's thread: no allocation there.
    std::array<char, 256> m_failure{};
    std::atomic<int> m_failureState{0}; // 0 none, 1 being written, 2 written
};

} // namespace audiodevice
