#pragma once

#include "base/errors.h"
#include "measure/limits.h"
#include "measure/inputring.h"
#include "sound/latestvalue.h"
#include "sound/tonegenerator.h"
#include "synthesis/tone.h"
#include "synthesis/twotone.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Progress;

namespace audiodevice {
class Stream;
}

// Measuring a device: a stimulus played out and the device's answer recorded
// at once, through one duplex stream, then analysed. No widgets.
namespace audiodevice {
class Processor;
}

namespace measure {

// No device, a device lost, no signal: what the measurement cannot go on without.
class MeasureError : public QuenlariError
{
public:
    using QuenlariError::QuenlariError;
};

// What is played: a tone (a pure sine when its harmonics are all at level 0)
// whose peak lies at `peakDbfs` (0 dBFS: a full-scale sine's peak).
struct Stimulus
{
    tone::Tone tone;
    double peakDbfs = -12;
    // Where set, these samples (at the stream's rate) are played once in
    // place of the tone, then silence.
    std::shared_ptr<const std::vector<float>> samples;
    // Where set, the two tones of an intermodulation test in place of the
    // tone, their peaks adding up to `peakDbfs`.
    std::optional<twotone::TwoTone> twoTone;
    bool silent = false; // nothing at all: the device's own noise is measured
    // How a tone's THD+N weighs the noise when it is read: A for dynamic range.
    bool aWeighted = false;

    enum class Kind { Tone, TwoTone, Silence };
    Kind kind() const { return silent ? Kind::Silence : twoTone ? Kind::TwoTone : Kind::Tone; }
    // The tone's, or the two tones' lower: blocks hold ten periods of it.
    double frequencyHz() const { return twoTone ? twoTone->f1Hz : tone.frequencyHz; }
};
Stimulus sine(double frequencyHz, double peakDbfs);
Stimulus twoToneStimulus(const twotone::TwoTone &tones, double peakDbfs);
Stimulus silence();
// AES17's: 997 Hz at -60 dBFS, its THD+N read A-weighted.
Stimulus dynamicRangeStimulus();
// Why a stimulus cannot be played at `rate`, or empty.
std::string refusal(const Stimulus &stimulus, int rate);

// Stands for the sound system where none should be used (tests): runs the
// measurement's processor block after block, as a device's thread would.
class DeviceStandIn
{
public:
    // A running stand-in stream; stops when it goes.
    class Running
    {
    public:
        virtual ~Running() = default;
        // Why it stopped as a lost device does, or empty.
        virtual std::string failure() const = 0;
    };
    virtual ~DeviceStandIn() = default;
    virtual std::unique_ptr<Running> start(audiodevice::Processor &processor, int rate) = 0;
};

// The loop's delay, found where the stimulus first stands out of the input's
// own noise: the threshold from the lead-in's silence (its loudest sample),
// then the first sample above it.
float arrivalThreshold(const float *quiet, std::size_t count);
std::optional<std::size_t> firstAbove(const float *samples, std::size_t count, float threshold);

// Where the input may be tampered with before it is measured (tests: a
// sample lost or repeated where the sound system hands it over). On the
// device's thread: no allocation, lock or wait. `samples` holds `frames`
// interleaved frames of `channels`; the seam returns as many, of its own.
class InputSeam
{
public:
    virtual ~InputSeam() = default;
    virtual const float *pass(const float *samples, std::size_t frames, int channels) noexcept = 0;
};

// Which devices, by index or name ("" for the system's default), and which
// input channel, from 1.
struct Devices
{
    std::string output;
    std::string input;
    int channel = 1;
    int rate = 48000; // taken where both devices can; else the output's own
    // The rate the stimulus is made for, where it is not the stream's: stands
    // for an output whose clock runs apart from the input's. 0: the stream's.
    double stimulusRate = 0;
    // Where set (from 1), this input channel is kept beside `channel`, for crosstalk.
    int otherChannel = 0;
    // Where set (from 1), only this output channel plays; the others stay silent.
    int drivenOutput = 0;
    // Where set, no sound system is asked: this stands in for the devices.
    std::shared_ptr<DeviceStandIn> standIn;
    std::shared_ptr<InputSeam> inputSeam;
};

class Processor;

// A running measurement: the stream opens with a moment of silence, then the
// stimulus fades in; a new stimulus cross-fades in. Closing fades out and
// never waits on the device.
class Session
{
public:
    // Throws MeasureError when a device is missing or will not open.
    Session(const Devices &devices, const Stimulus &first);
    // The first stimulus made for the rate the devices agree on.
    Session(const Devices &devices, const std::function<Stimulus(int rate)> &first);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int rate() const { return m_rate; }
    std::string outputName() const { return m_outputName; }
    std::string inputName() const { return m_inputName; }
    int inputChannels() const { return m_inputChannels; }

    // Cross-fades to a new stimulus from output frame `atOutputFrame` on (at
    // once when that has passed). Returns its number, at once: a change made
    // before the device has taken the last one replaces it.
    int64_t setStimulus(const Stimulus &stimulus, int64_t atOutputFrame = 0);
    const Stimulus &stimulus() const { return m_stimulus; }
    // The number of the stimulus set last.
    int64_t stimulusId() const { return m_stimulusId; }
    // The output frame at which stimulus `id` began; waits for it.
    int64_t beganAt(int64_t id, const Progress *progress);
    // The first output frame after a stimulus that began at `began` has
    // cross-faded in and settled.
    int64_t settledFrom(int64_t began, double settleSeconds) const;

    // The input that answers `frames` output frames from `fromOutputFrame`
    // on: it waits for them to come round through the device. Throws
    // MeasureError (no signal, the device lost or stalled) and
    // Progress::Cancelled.
    std::vector<float> record(int64_t fromOutputFrame, std::size_t frames, const Progress *progress);
    // The other input channel for the same frames, once record() has given them.
    std::vector<float> recordOther(int64_t fromOutputFrame, std::size_t frames) const;

    // Output to input, in frames, once record() has found it.
    std::optional<int64_t> loopFrames() const { return m_loopFrames; }

    // Whether the sound system said it fell behind (an underrun or an
    // overrun) anywhere in what record() gives for the same frames.
    bool droppedOutWithin(int64_t fromOutputFrame, std::size_t frames) const;

    // The latest `frames` frames of input, or fewer at the start; `first`
    // gets the input frame the first of them was.
    std::vector<float> latest(std::size_t frames, int64_t *first = nullptr) const;
    // Frames received so far.
    int64_t received() const;
    // The sound system's words once the stream has failed, else empty.
    std::string failure() const;
    // Without waiting: the input frame from which the newest stimulus is heard
    // settled (cross-fade over), as far as is known yet. Before the loop is
    // measured, a frame not yet received; where nothing came back in time, the
    // newest stimulus's start.
    int64_t newestArrival();

private:
    int64_t findLoopFrames(const Progress *progress);
    // Looks for the stimulus's arrival in what has come in so far.
    std::optional<int64_t> scanForArrival(int64_t upTo);
    // Throws MeasureError once the stream has failed.
    void checkDevice() const;
    // Waits until at least `frames` have been received.
    void waitFor(int64_t frames, const Progress *progress);
    bool readInput(int64_t from, int64_t to, std::vector<float> &samples) const;

    std::shared_ptr<Processor> m_processor;
    std::unique_ptr<audiodevice::Stream> m_stream;
    std::unique_ptr<DeviceStandIn::Running> m_standIn;
    Stimulus m_stimulus;
    int64_t m_stimulusId = 0;
    int m_rate = 0;
    int m_inputChannels = 0;
    std::string m_outputName, m_inputName;
    std::optional<int64_t> m_loopFrames;
    float m_arrivalThreshold = -1; // once the lead-in's noise is known
    int64_t m_scanned = 0;         // input frames looked at for the arrival
    bool m_soundSet = false;       // whether any stimulus but silence was set
};

} // namespace measure
