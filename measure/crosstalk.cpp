#include "measure/crosstalk.h"

#include "analysis/intermod.h"
#include "base/progress.h"
#include "dsp/soundmath.h"

#include <cmath>
#include <limits>

namespace measure {

CrosstalkPoint crosstalkOf(const std::vector<float> &driven, const std::vector<float> &other, double rate,
                           const Stimulus &stimulus)
{
    CrosstalkPoint point;
    point.driven = read(driven, rate, stimulus);
    const double undefined = std::numeric_limits<double>::quiet_NaN();
    point.otherDbfs = point.crosstalkDb = undefined;
    if (!hasFigures(point.driven.state) || other.size() != driven.size())
        return point;
    const analysis::Analysis &r = point.driven.result;
    // Windowed, so that hum or a tone of the other channel's own stays out of it.
    const double amplitude =
        analysis::fitComponents(other.data(), other.size(), {2 * dsp::kPi * r.fundamentalHz / rate}).front();
    point.otherDbfs = amplitude > 0 ? dsp::decibels(amplitude) : -std::numeric_limits<double>::infinity();
    point.crosstalkDb = point.otherDbfs - r.fundamentalDbfs;
    return point;
}

void measureCrosstalk(Session &session, const std::vector<Stimulus> &steps, const SweepTiming &timing,
                      const Progress *progress, const std::function<void(const CrosstalkPoint &)> &done)
{
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (progress)
            progress->reach(double(k) / double(steps.size()));
        const int64_t id = k == 0 && session.stimulus().frequencyHz() == steps[k].frequencyHz()
                               ? session.stimulusId()
                               : session.setStimulus(steps[k]);
        const int64_t from = session.settledFrom(session.beganAt(id, progress), timing.settleSeconds);
        const std::size_t frames = stepFrames(steps[k].frequencyHz(), session.rate(), timing.leastSeconds);
        const std::vector<float> driven = session.record(from, frames, progress);
        CrosstalkPoint point = crosstalkOf(driven, session.recordOther(from, frames), session.rate(), steps[k]);
        if (hasFigures(point.driven.state) && session.droppedOutWithin(from, frames)) {
            point.driven.state = State::Unsteady;
            point.driven.why = "the sound system said it fell behind (an underrun or an overrun) during the block";
            point.otherDbfs = point.crosstalkDb = std::numeric_limits<double>::quiet_NaN();
        }
        done(point);
    }
    if (progress)
        progress->reach(1);
}

} // namespace measure
