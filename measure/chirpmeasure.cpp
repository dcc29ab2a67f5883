#include "base/progress.h"
#include "measure/chirp.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace measure {

namespace {

// Recorded from this long before the sweep, to this long after it: the
// loop's delay as found from the sweep's first audible samples may come late,
// and the device's response rings on.
constexpr double kLeadSeconds = 0.2, kTailSeconds = 0.5;
constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr auto kQuietestPoll = std::chrono::milliseconds(500);

} // namespace

ChirpResult measureChirp(const Devices &devices, const ChirpPlan &plan, const Progress *progress)
{
    const auto started = std::chrono::steady_clock::now();
    Chirp chirp;
    Session session(devices, [&](int rate) {
        chirp = makeChirp(plan, rate);
        Stimulus stimulus = sine(plan.fromHz, plan.peakDbfs);
        stimulus.samples = std::make_shared<const std::vector<float>>(render(chirp));
        return stimulus;
    });
    const int rate = session.rate();
    if (chirp.endHz >= rate / 2.0)
        throw MeasureError("the sweep up to " + std::to_string(int(std::lround(plan.toHz))) +
                           " Hz runs above half the devices' rate of " + std::to_string(rate) +
                           " Hz: lower --to to at most " + std::to_string(int(0.45 * rate)) + " Hz");
    const int64_t began = session.beganAt(0, progress);
    const auto lead = std::llround(kLeadSeconds * rate);
    const std::size_t frames = std::size_t(lead) + chirp.frames() + std::size_t(std::llround(kTailSeconds * rate));
    // The sweep's way through, for the progress shown; the loop's delay comes on
    // top. An input that stops moving is left to record(), which says so.
    auto moved = std::chrono::steady_clock::now();
    for (int64_t end = began - lead + int64_t(frames), last = session.received();
         session.received() < end && session.failure().empty() &&
         std::chrono::steady_clock::now() - moved < kQuietestPoll;) {
        if (progress)
            progress->reach(0.95 * double(session.received() - began + lead) / double(frames));
        std::this_thread::sleep_for(kPoll);
        if (session.received() != last) {
            last = session.received();
            moved = std::chrono::steady_clock::now();
        }
    }
    const std::vector<float> recording = session.record(began - lead, frames, progress);
    if (progress)
        progress->reach(0.95);
    const bool fellBehind = session.droppedOutWithin(began - lead, frames);

    ChirpResult result = analyseChirp(chirp, recording, plan);
    result.delaySeconds += double(session.loopFrames().value_or(0) - lead) / rate;
    if (fellBehind && hasFigures(result.state)) {
        result = ChirpResult();
        result.state = State::Unsteady;
        result.why = "the sound system fell behind during the sweep";
        result.rate = rate;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

} // namespace measure
