#include "measure/measurement.h"

#include <QString>

#include <algorithm>
#include <cmath>

// The plan of a measurement, apart from playing and recording it: the
// command line checks and lists it without loading the sound system.
namespace measure {

Stimulus sine(double frequencyHz, double peakDbfs)
{
    Stimulus stimulus;
    stimulus.tone.frequencyHz = frequencyHz;
    stimulus.tone.levels.fill(0);
    stimulus.tone.phases.fill(0);
    stimulus.peakDbfs = peakDbfs;
    return stimulus;
}

Stimulus twoToneStimulus(const twotone::TwoTone &tones, double peakDbfs)
{
    Stimulus stimulus = sine(tones.f1Hz, peakDbfs);
    stimulus.twoTone = tones;
    return stimulus;
}

Stimulus silence()
{
    Stimulus stimulus = sine(1000, kStimulusDbfs.low);
    stimulus.silent = true;
    return stimulus;
}

Stimulus dynamicRangeStimulus()
{
    Stimulus stimulus = sine(analysis::kDynamicRangeHz, analysis::kDynamicRangeDbfs);
    stimulus.aWeighted = true;
    return stimulus;
}

std::string refusal(const Stimulus &stimulus, int rate)
{
    const auto hz = [](double value) { return QString::number(value).toStdString() + " Hz"; };
    const std::string device = " the device's rate of " + std::to_string(rate) + " Hz";
    if (stimulus.silent)
        return {};
    if (stimulus.twoTone) {
        if (twotone::suits(*stimulus.twoTone, rate / 2.0))
            return {};
        return "the tones " + hz(stimulus.twoTone->f1Hz) + " and " + hz(stimulus.twoTone->f2Hz) +
               " do not fit below half" + device;
    }
    if (stimulus.frequencyHz() > kHighestStimulusShare * rate)
        return "the stimulus at " + hz(stimulus.frequencyHz()) + " lies above 0.45 times" + device;
    // Above half the rate a harmonic would fold back as another tone.
    for (int n = 2; n < 2 + tone::kHarmonics; ++n)
        if (stimulus.tone.levels[std::size_t(n - 2)] > 0 && n * stimulus.frequencyHz() >= rate / 2.0)
            return "--levels: harmonic " + std::to_string(n) + " of " + hz(stimulus.frequencyHz()) +
                   " lies at or above half" + device + ": give it level 0 or lower the frequency";
    return {};
}

std::vector<double> frequencySteps(double fromHz, double toHz, int perOctave)
{
    std::vector<double> steps;
    if (!(fromHz > 0 && toHz >= fromHz && perOctave >= 1))
        return steps;
    // The last point is the top itself, unless a step already lands within a hundredth of an octave of it.
    constexpr double kNear = 0.01;
    const double octaves = std::log2(toHz / fromHz);
    for (int k = 0; double(k) / perOctave <= octaves + 1e-9; ++k)
        steps.push_back(fromHz * std::exp2(double(k) / perOctave));
    if (octaves - std::log2(steps.back() / fromHz) > kNear)
        steps.push_back(toHz);
    return steps;
}

std::vector<double> levelSteps(double fromDbfs, double toDbfs, double stepDb)
{
    std::vector<double> steps;
    if (!(stepDb > 0))
        return steps;
    const double direction = toDbfs >= fromDbfs ? 1 : -1;
    const auto count = static_cast<int>(std::floor(std::fabs(toDbfs - fromDbfs) / stepDb + 1e-9));
    for (int k = 0; k <= count; ++k)
        steps.push_back(fromDbfs + direction * k * stepDb);
    return steps;
}

std::vector<Stimulus> SweepPlan::steps(const Stimulus &base) const
{
    std::vector<Stimulus> steps;
    if (kind == Kind::Frequency) {
        for (double hz : frequencySteps(from, to, perOctave)) {
            Stimulus step = base;
            step.tone.frequencyHz = hz;
            steps.push_back(step);
        }
    } else {
        for (double dbfs : levelSteps(from, to, stepDb)) {
            Stimulus step = base;
            step.peakDbfs = std::clamp(dbfs, kStimulusDbfs.low, kStimulusDbfs.high);
            steps.push_back(step);
        }
    }
    return steps;
}

} // namespace measure
