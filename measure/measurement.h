#pragma once

#include "analysis/analyser.h"
#include "analysis/intermod.h"
#include "analysis/noise.h"
#include "measure/session.h"

#include <complex>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace measure {

// What a block of input says, or why its numbers would lie.
enum class State {
    Measured,
    NoSignal, // nothing of the stimulus stands out of the noise
    Overload, // the input clipped: the figures are the converter's, not the device's
    // The block holds a gap or a jump (the sound system fell behind, a gain
    // step, say): what stands out of its residual in a few stretches would
    // raise THD+N by more than 1 dB over the block's own noise and
    // distortion; or somewhere the fundamental moved a tenth of itself away,
    // in level or phase; or it was pulled more than 1000 ppm away from the
    // stimulus's.
    Unsteady,
    // Two blocks in a row never agreed within the tolerances, in as many
    // tries as were allowed: a device still changing (warming up, a gain
    // control at work) or a disturbance too small to show in one block.
    NotSettled,
    // Live only: a new stimulus has not come round yet, or no two blocks of
    // it in a row have been read yet.
    Settling,
    // Live only: nothing has come in for a second.
    Stalled,
};
// "measured", "no signal on the input", "input overload", "input not steady", "not settled",
// "settling…", "input stalled"
const char *stateText(State state);
// Whether a reading's figures are shown: they are, with a warning, for an overloaded input.
inline bool hasFigures(State state)
{
    return state == State::Measured || state == State::Overload;
}

struct Reading
{
    Stimulus stimulus;
    State state = State::NoSignal;
    std::string why; // for NoSignal and Unsteady: why the block has no figures
    // Filled unless NoSignal, the one the stimulus's kind asks for: a tone's
    // harmonics, two tones' intermodulation, or silence's noise.
    analysis::Analysis result;
    analysis::Intermodulation imd;
    analysis::Noise noise;
    analysis::MagnitudeSpectrum spectrum; // the block's, when asked for
    int64_t overloaded = 0; // samples in runs of two or more at the converter's limits
};
// The figure two blocks must agree on, in dB (THD+N, the intermodulation
// figure, the noise), and the level (the fundamental's, f2's; 0 for noise).
double figureDb(const Reading &reading);
double levelDb(const Reading &reading);
// "THD+N", "IMD", "DFD", "noise"
const char *figureName(const Reading &reading);

constexpr int kMeasuredHarmonics = 10;
// The analyser's settings for a block: harmonics 2 to 10, the fundamental
// searched near the stimulus's (the input's clock may differ from the output's).
analysis::Settings settingsFor(const Stimulus &stimulus);
// With `spectrum`, the reading holds the block's spectrum too, for showing.
Reading read(const std::vector<float> &samples, double rate, const Stimulus &stimulus, bool spectrum = false);

// Whether the fundamental stays where it is all through a block: fitted over
// windows of whole periods (1 ms at the least, longer in noise), none stands
// a tenth of the block's fundamental apart from it.
bool steady(const std::vector<float> &samples, double rate, const analysis::Analysis &result);
// The same for one or two tones at `thetas` (radians a sample, the lowest first) fitted
// together, over windows of whole periods of the lowest, long enough that a
// residual of `residualShare` of the weakest tone's RMS cannot move them.
bool tonesSteady(const std::vector<float> &samples, double rate, const std::vector<double> &thetas,
                 double residualShare);

// Samples in runs of two or more at or beyond the highest 16-bit code in
// size: a converter's limits, whatever its word length.
int64_t overloadedSamples(const std::vector<float> &samples);

// Frames to record for a step: at least ten periods and `leastSeconds`.
std::size_t stepFrames(double frequencyHz, double rate, double leastSeconds);

// A stepped-sine sweep's stimuli.
std::vector<double> frequencySteps(double fromHz, double toHz, int perOctave);
std::vector<double> levelSteps(double fromDbfs, double toDbfs, double stepDb);

// A sweep as the command line and the window ask for it.
struct SweepPlan
{
    enum class Kind { Frequency, Level } kind = Kind::Frequency;
    double from = 20, to = 20000; // Hz or dBFS
    int perOctave = 3;            // frequency: steps an octave
    double stepDb = 1;            // level: dB a step

    // The plan as a level sweep, at its defaults.
    static SweepPlan levels() { return {Kind::Level, -40, 0, 3, 1}; }
    // Its steps: the base stimulus at each frequency or level (levels kept within kStimulusDbfs).
    std::vector<Stimulus> steps(const Stimulus &base) const;
};

// A figure counts as measured only once it has settled: two blocks in a row,
// not overlapping, agree on THD+N and on the fundamental's level.
struct Settling
{
    double thdNDb = 0.5;   // THD+N within this many dB, 0.01 to 20
    double levelDb = 0.05; // the fundamental's level within this many dB, 0.001 to 20
    int tries = 5;         // blocks at the most, 2 to 20
};
// Two tones whose products lie at the noise floor agree on their levels alone.
bool agree(const Reading &a, const Reading &b, const Settling &settling);

// The stimulus set last, once it has come round and settled: blocks of half
// `frames` (ten periods at the least) recorded one after another until two
// in a row agree, and those two read together; "not settled" with the spread
// seen after `settling.tries` blocks. Throws MeasureError and Progress::Cancelled.
Reading measureSettled(Session &session, double settleSeconds, std::size_t frames, const Progress *progress,
                       const Settling &settling = {});

struct SweepTiming
{
    double settleSeconds = 0.1;
    double leastSeconds = 0.25;
    Settling settling;
};
// Plays each stimulus, lets it settle, records two blocks of half a step and
// reads them together once they agree. Where they do not, the step is played
// anew and recorded again (a run of two blocks, or three for the last of five
// tries); the steps after it keep their own timing. `done` hears each step as
// it ends. Throws MeasureError and Progress::Cancelled.
void sweep(Session &session, const std::vector<Stimulus> &steps, const SweepTiming &timing,
           const Progress *progress, const std::function<void(const Reading &)> &done);

// The last few readings averaged: powers for THD+N, harmonics as vectors
// relative to the fundamental's phase (so their phases survive), the
// fundamental's frequency and level as plain means.
class Averager
{
public:
    explicit Averager(std::size_t blocks = 1) : m_blocks(std::max<std::size_t>(1, blocks)) {}
    void setBlocks(std::size_t blocks);
    std::size_t blocks() const { return m_blocks; }
    std::size_t held() const { return m_readings.size(); }
    void clear() { m_readings.clear(); }

    void add(const Reading &reading);
    // The average of those held; NoSignal where none is held.
    Reading average() const;

private:
    Reading averageTwoTones(Reading mean) const;

    std::size_t m_blocks;
    std::deque<Reading> m_readings;
};

// For as long as the program runs: what 0 dBFS (a full-scale sine) is in volts rms.
struct Calibration
{
    std::optional<double> inputVolts;
    std::optional<double> outputVolts;
};
constexpr double kDbuVolts = 0.7745966692414834; // sqrt(0.6): 0 dBu
struct Volts
{
    double rms = 0, dbv = 0, dbu = 0;
};
Volts voltsOf(double dbfs, double voltsAtFullScale);
// A level typed in volts rms, dBV or dBu, in dBFS.
enum class LevelUnit { Dbfs, VoltsRms, Dbv, Dbu };
double dbfsOf(double value, LevelUnit unit, double voltsAtFullScale);

} // namespace measure
