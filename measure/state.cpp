#include "measure/measurement.h"

#include <cmath>

// Apart from the measuring itself: what a reading is worth, its state's words
// and the converter's limits, known without drawing in the sound system.
namespace measure {

namespace {

constexpr float kOverloadLevel = 32767.0f / 32768.0f;

} // namespace

const char *stateText(State state)
{
    switch (state) {
    case State::Measured:
        return "measured";
    case State::NoSignal:
        return "no signal on the input";
    case State::Overload:
        return "input overload";
    case State::Unsteady:
        return "input not steady";
    case State::NotSettled:
        return "not settled";
    case State::Settling:
        return "settling\u2026";
    case State::Stalled:
        return "input stalled";
    }
    return "";
}


int64_t overloadedSamples(const std::vector<float> &samples)
{
    int64_t overloaded = 0, run = 0;
    for (float sample : samples) {
        run = std::fabs(sample) >= kOverloadLevel ? run + 1 : 0;
        overloaded += run == 2 ? 2 : run > 2 ? 1 : 0;
    }
    return overloaded;
}

} // namespace measure
