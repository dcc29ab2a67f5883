#pragma once

#include "measure/measurement.h"

#include <functional>
#include <vector>

class Progress;

// Crosstalk: one output channel driven, both input channels recorded; how much
// of the driven channel's tone reaches the other.
namespace measure {

struct CrosstalkPoint
{
    Reading driven;     // the driven channel's block; crosstalk only where it has figures
    double otherDbfs = 0; // the other channel's level at the tone's frequency (-inf for silence)
    double crosstalkDb = 0; // that level against the driven channel's fundamental
};

// The other channel's component at the driven one's fundamental, fitted there
// by least squares under a Blackman-Harris window.
CrosstalkPoint crosstalkOf(const std::vector<float> &driven, const std::vector<float> &other, double rate,
                           const Stimulus &stimulus);

// Each stimulus in turn, settled, its block read on both channels; `done` hears each point as it ends.
// The session must keep the other channel (Devices::otherChannel). Throws MeasureError and Progress::Cancelled.
void measureCrosstalk(Session &session, const std::vector<Stimulus> &steps, const SweepTiming &timing,
                      const Progress *progress, const std::function<void(const CrosstalkPoint &)> &done);

} // namespace measure
