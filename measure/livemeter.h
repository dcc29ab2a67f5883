#pragma once

#include "measure/measurement.h"
#include "measure/session.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class Progress;

namespace measure {

struct LiveSettings
{
    double blockSeconds = 1;    // the block read, 0.25 to 10 s
    std::size_t averaging = 1;  // settled blocks averaged, 1 to 64
    Settling settling;          // when two blocks in a row agree
};

// What the live readout shows as of the latest block.
struct LiveReading
{
    // The average of the settled blocks; figures only where hasFigures(state).
    Reading reading;
    // Two periods of the latest block's end less DC and the fitted fundamental.
    std::vector<double> residual;
    std::size_t averaged = 0; // blocks in the average
};

// The live readout of a device, without widgets: the stimulus played, the
// latest block of what comes back read on demand. It shows a figure only
// once two blocks in a row, not overlapping, agree; until then, after a new
// stimulus or a disturbance, a state ("settling…", "not settled", "input not
// steady", "input stalled"), never a figure of an older block.
class LiveMeter
{
public:
    // Opens the devices: may wait for the sound system (5 s at the most).
    // Throws MeasureError.
    LiveMeter(const Devices &devices, const Stimulus &stimulus, const LiveSettings &settings);

    // From any thread: a new stimulus (cross-faded in) or new settings; the
    // average starts anew.
    void setStimulus(const Stimulus &stimulus);
    void setSettings(const LiveSettings &settings);

    // Reads the latest block, one caller at a time. With `spectrum`, the
    // reading holds the block's spectrum. Throws MeasureError once the device
    // has failed.
    LiveReading read(bool spectrum);
    // Waits until a block that does not overlap the last one read has come
    // in. Throws MeasureError (the device failed or its input stopped) and
    // Progress::Cancelled.
    void waitForNextBlock(const Progress *progress);

    int rate() const { return m_session.rate(); }
    std::string inputName() const { return m_session.inputName(); }
    int inputChannels() const { return m_session.inputChannels(); }

private:
    struct Read
    {
        int64_t from = 0, to = 0; // input frames
        Reading reading;
    };
    LiveReading state(State state, const std::string &why) const;

    mutable std::mutex m_mutex; // never taken by the device's thread
    Session m_session;
    LiveSettings m_settings;
    int64_t m_stimulusId = 0;
    Averager m_averager;
    std::deque<Read> m_history; // blocks of the newest stimulus with figures, oldest first
    int64_t m_lastReadTo = 0;
    int64_t m_lastReceived = -1;
    std::chrono::steady_clock::time_point m_lastMoved;
};

} // namespace measure
