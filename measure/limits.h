#pragma once

// What a measurement takes, written once: the command line's checks and the
// Measure window's fields both read these.
namespace measure {

struct Range
{
    double low, high;
    constexpr bool holds(double value) const { return value >= low && value <= high; }
};

constexpr double kLowestStimulusHz = 10;
constexpr double kHighestStimulusShare = 0.45; // of the rate
constexpr double kLowestStimulusDbfs = -80;
// One exponential sweep: its band's lowest start, and its length.
constexpr double kChirpLowestHz = 10;
// The rate asked of the devices: the stimulus's top before they are open.
constexpr int kNominalRate = 48000;
constexpr Range kStimulusHz{kLowestStimulusHz, kHighestStimulusShare * kNominalRate};
constexpr Range kStimulusDbfs{kLowestStimulusDbfs, 0};
constexpr Range kChannels{1, 64};
constexpr Range kBlockSeconds{0.25, 10};
constexpr Range kSettleMs{0, 10000};
constexpr Range kPerOctave{1, 48};
constexpr Range kLevelStepDb{0.1, 80};
constexpr Range kSettleThdNDb{0.01, 20};
constexpr Range kSettleLevelDb{0.001, 20};
constexpr Range kChirpSeconds{1, 30};
constexpr Range kCalibrationVolts{0, 1000}; // the volts rms of a full-scale sine; 0: not calibrated

} // namespace measure
