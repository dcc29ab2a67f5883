#include "measure/measurement.h"

#include "base/progress.h"
#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace measure {

namespace {

constexpr double kLeastPeriods = 10;
// Where the fundamental of a stretch of the block moves by a tenth of the
// block's away from it (in level or phase), the block holds a gap or a jump:
// a sound system fell behind, once or again and again.
constexpr double kMostMoved = 0.1;
constexpr double kShortestWindowSeconds = 0.001;
constexpr double kNoiseMargin = 5;
constexpr double kMostClockApart = 1000e-6;
// A disturbance whose energy is this share of the rest of the residual's
// raises THD+N by 1 dB: a block is not steady from there on.
const double kMostDisturbance = std::pow(10.0, 0.1) - 1;
// A step of a sweep records its blocks in runs, the stimulus played anew
// before each run but the first: a run needs two blocks to agree.
constexpr int kFirstRun = 2;
// The loop's delay is found from the first sample of the stimulus that stands
// out of the input's noise, some samples after it truly came back (it fades
// in from 0): a step waits this long after the last recording's end, so that
// its cross-fade never reaches into that recording.
constexpr double kGuardSeconds = 0.005;

} // namespace

analysis::Settings settingsFor(const Stimulus &stimulus)
{
    analysis::Settings settings;
    settings.harmonics = kMeasuredHarmonics;
    settings.fundamentalHz = stimulus.frequencyHz();
    return settings;
}

Reading read(const std::vector<float> &samples, double rate, const Stimulus &stimulus, bool spectrum)
{
    Reading reading;
    reading.stimulus = stimulus;
    reading.overloaded = overloadedSamples(samples);
    try {
        analysis::Settings settings = settingsFor(stimulus);
        settings.fundamentalHz = std::min(*settings.fundamentalHz, rate * kHighestStimulusShare);
        settings.spectrum = spectrum;
        reading.result = analysis::analyse(samples, rate, settings);
        // One count of clipped samples everywhere: the converter's limits,
        // whatever the word length, hold the format's own extreme codes too.
        reading.result.clippedSamples = reading.overloaded;
    } catch (const analysis::AnalysisError &error) {
        reading.why = error.what();
        return reading;
    }
    if (reading.result.toneOverNoiseDb < analysis::kToneOverNoiseDb) {
        reading.why = "the stimulus stands only " + std::to_string(int(reading.result.toneOverNoiseDb)) +
                      " dB above the noise";
        return reading;
    }
    // Two clocks stay within some hundred ppm of each other: a fundamental
    // further off than this was pulled there by a jump in the block.
    const bool steadyBlock = std::fabs(reading.result.fundamentalHz / stimulus.frequencyHz() - 1) <= kMostClockApart &&
                             reading.result.disturbance <= kMostDisturbance && steady(samples, rate, reading.result);
    reading.state = !steadyBlock ? State::Unsteady : reading.overloaded > 0 ? State::Overload : State::Measured;
    if (!steadyBlock)
        reading.why = "a gap or a jump in the recording: the sound system fell behind, or the input was disturbed";
    return reading;
}

bool steady(const std::vector<float> &samples, double rate, const analysis::Analysis &result)
{
    // Windows of whole periods, over each of which the fundamental's cosine
    // and sine are fitted by least squares: harmonics then fall out of the
    // fit whatever they are, and noise moves it by about thdN A / sqrt(samples),
    // so the windows are made long enough for that to stay five times under
    // what counts as a move.
    const double period = rate / result.fundamentalHz;
    const double leastSamples = std::max(kShortestWindowSeconds * rate,
                                         std::pow(kNoiseMargin * result.thdN / kMostMoved, 2));
    const auto window = static_cast<std::size_t>(std::llround(std::ceil(leastSamples / period) * period));
    const std::size_t windows = window > 0 ? samples.size() / window : 0;
    if (windows < 2)
        return true;
    const double theta = 2 * dsp::kPi / period;
    std::vector<std::complex<double>> phasors(windows);
    std::complex<double> mean;
    for (std::size_t k = 0; k < windows; ++k) {
        double xc = 0, xs = 0, cc = 0, cs = 0, ss = 0;
        dsp::forEachAnchorSpan(k * window, (k + 1) * window, [&](std::size_t begin, std::size_t end) {
            dsp::Oscillator<double> wave(theta);
            wave.anchor(theta * double(begin));
            for (std::size_t i = begin; i < end; ++i) {
                const double x = samples[i] - result.dcOffset, c = wave.cosine(), s = wave.sine();
                xc += x * c;
                xs += x * s;
                cc += c * c;
                cs += c * s;
                ss += s * s;
                wave.turn();
            }
        });
        const double determinant = cc * ss - cs * cs;
        phasors[k] = {(ss * xc - cs * xs) / determinant, (cc * xs - cs * xc) / determinant};
        mean += phasors[k] / double(windows);
    }
    // A gap, a jump, a stretch of another tone: somewhere the fundamental
    // itself stands apart from the block's, in level or in phase.
    const double most = kMostMoved * std::abs(mean);
    return std::all_of(phasors.begin(), phasors.end(),
                       [&](const std::complex<double> &phasor) { return std::abs(phasor - mean) <= most; });
}

std::size_t stepFrames(double frequencyHz, double rate, double leastSeconds)
{
    return static_cast<std::size_t>(std::ceil(std::max(kLeastPeriods / frequencyHz, leastSeconds) * rate));
}

bool agree(const Reading &a, const Reading &b, const Settling &settling)
{
    return hasFigures(a.state) && hasFigures(b.state) &&
           std::fabs(dsp::decibels(a.result.thdN) - dsp::decibels(b.result.thdN)) <= settling.thdNDb &&
           std::fabs(a.result.fundamentalDbfs - b.result.fundamentalDbfs) <= settling.levelDb;
}

namespace {

// How far apart the blocks of a run that never settled were.
class Spread
{
public:
    void add(const Reading &reading)
    {
        if (!hasFigures(reading.state))
            return;
        const double thdN = dsp::decibels(reading.result.thdN), level = reading.result.fundamentalDbfs;
        m_thdN = {std::min(m_thdN.first, thdN), std::max(m_thdN.second, thdN)};
        m_level = {std::min(m_level.first, level), std::max(m_level.second, level)};
        ++m_blocks;
    }
    std::string text() const
    {
        char text[160];
        std::snprintf(text, sizeof text,
                      "no two blocks in a row agreed: over %d blocks THD+N spread over %.2f dB and the "
                      "fundamental's level over %.3f dB",
                      m_blocks, m_thdN.second - m_thdN.first, m_level.second - m_level.first);
        return text;
    }

private:
    std::pair<double, double> m_thdN{HUGE_VAL, -HUGE_VAL}, m_level{HUGE_VAL, -HUGE_VAL};
    int m_blocks = 0;
};

// Blocks of `frames` one after another from output frame `from`, `blocks` of
// them at the most, read until two in a row agree: then the reading of both
// together. Else the last block's, "not settled" where it had figures.
Reading readRun(Session &session, const Stimulus &stimulus, int64_t from, std::size_t frames, int blocks,
                const Settling &settling, Spread &spread, const Progress *progress)
{
    std::vector<float> before;
    Reading previous;
    for (int block = 0; block < blocks; ++block) {
        const int64_t at = from + int64_t(frames) * block;
        std::vector<float> samples = session.record(at, frames, progress);
        Reading reading = read(samples, session.rate(), stimulus);
        if (hasFigures(reading.state) && session.droppedOutWithin(at, frames)) {
            reading.state = State::Unsteady;
            reading.why = "the sound system said it fell behind (an underrun or an overrun) during the block";
        }
        if (reading.state == State::NoSignal)
            return reading; // nothing comes back to wait for
        spread.add(reading);
        if (block > 0 && agree(previous, reading, settling)) {
            before.insert(before.end(), samples.begin(), samples.end());
            Reading both = read(before, session.rate(), stimulus);
            // A step of level just where the blocks meet makes the two together unsteady.
            if (hasFigures(both.state))
                return both;
        }
        previous = std::move(reading);
        before = std::move(samples);
    }
    if (hasFigures(previous.state)) {
        previous.state = State::NotSettled;
        previous.why = spread.text();
    }
    return previous;
}

// Frames of one block: half a step's reading, ten periods at the least.
std::size_t blockFrames(double frequencyHz, double rate, std::size_t readingFrames)
{
    return std::max(readingFrames / 2, stepFrames(frequencyHz, rate, 0));
}

} // namespace

Reading measureSettled(Session &session, double settleSeconds, std::size_t frames, const Progress *progress,
                       const Settling &settling)
{
    const int64_t began = session.beganAt(session.stimulusId(), progress);
    Spread spread;
    return readRun(session, session.stimulus(), session.settledFrom(began, settleSeconds),
                   blockFrames(session.stimulus().frequencyHz(), session.rate(), frames),
                   std::max(2, settling.tries), settling, spread, progress);
}

void sweep(Session &session, const std::vector<Stimulus> &steps, const SweepTiming &timing,
           const Progress *progress, const std::function<void(const Reading &)> &done)
{
    if (steps.empty())
        return;
    // Back to back at the output: each step is asked to begin where the last
    // one's recording ends, while that recording is still on its way round.
    int64_t began = session.beganAt(session.setStimulus(steps.front()), progress);
    const int tries = std::max(kFirstRun, timing.settling.tries);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (progress)
            progress->reach(double(k) / double(steps.size()));
        const std::size_t frames = blockFrames(steps[k].frequencyHz(), session.rate(),
                                               stepFrames(steps[k].frequencyHz(), session.rate(), timing.leastSeconds));
        Spread spread;
        Reading reading;
        int64_t next = 0;
        for (int left = tries; left >= kFirstRun && !hasFigures(reading.state);) {
            if (left < tries) // the step once more, played anew: a retry costs its own time only
                began = session.beganAt(session.setStimulus(steps[k]), progress);
            // The last run takes what is left, where two runs would not fit in it.
            const int run = left < 2 * kFirstRun ? left : kFirstRun;
            const int64_t from = session.settledFrom(began, timing.settleSeconds);
            const int64_t end = from + int64_t(frames) * run + std::llround(kGuardSeconds * session.rate());
            next = k + 1 < steps.size() ? session.setStimulus(steps[k + 1], end) : 0;
            reading = readRun(session, steps[k], from, frames, run, timing.settling, spread, progress);
            left -= run;
            if (reading.state == State::NoSignal)
                break;
        }
        done(reading);
        if (next)
            began = session.beganAt(next, progress);
    }
    if (progress)
        progress->reach(1);
}

void Averager::setBlocks(std::size_t blocks)
{
    m_blocks = std::max<std::size_t>(1, blocks);
    while (m_readings.size() > m_blocks)
        m_readings.pop_front();
}

void Averager::add(const Reading &reading)
{
    // A block without figures, or whose figures lie, is not averaged in; a
    // new stimulus starts anew.
    if (!hasFigures(reading.state))
        return;
    if (!m_readings.empty() && (m_readings.back().stimulus.frequencyHz() != reading.stimulus.frequencyHz() ||
                                m_readings.back().stimulus.peakDbfs != reading.stimulus.peakDbfs))
        m_readings.clear();
    m_readings.push_back(reading);
    while (m_readings.size() > m_blocks)
        m_readings.pop_front();
}

Reading Averager::average() const
{
    if (m_readings.empty())
        return {};
    if (m_readings.size() == 1)
        return m_readings.front();
    Reading mean = m_readings.back();
    analysis::Analysis &r = mean.result;
    const double count = double(m_readings.size());
    double hz = 0, amplitude = 0, noisePower = 0, dc = 0;
    std::vector<std::complex<double>> relative(r.harmonics.size());
    for (const Reading &reading : m_readings) {
        const analysis::Analysis &a = reading.result;
        hz += a.fundamentalHz;
        amplitude += a.fundamentalAmplitude;
        dc += a.dcOffset;
        noisePower += a.thdN * a.thdN;
        for (std::size_t k = 0; k < relative.size() && k < a.harmonics.size(); ++k)
            relative[k] += std::polar(a.harmonics[k].levelPercent / 100,
                                      a.harmonics[k].phaseDegrees * dsp::kPi / 180);
        mean.overloaded = std::max(mean.overloaded, reading.overloaded);
        if (reading.state == State::Overload)
            mean.state = State::Overload;
    }
    r.fundamentalHz = hz / count;
    r.fundamentalAmplitude = amplitude / count;
    r.fundamentalDbfs = dsp::decibels(r.fundamentalAmplitude);
    r.dcOffset = dc / count;
    r.thdN = std::sqrt(noisePower / count);
    double harmonicPower = 0;
    bool anyHarmonic = false;
    for (std::size_t k = 0; k < relative.size(); ++k) {
        analysis::Harmonic &h = r.harmonics[k];
        if (!h.present)
            continue;
        const std::complex<double> v = relative[k] / count;
        h.levelPercent = 100 * std::abs(v);
        h.amplitude = std::abs(v) * r.fundamentalAmplitude;
        h.dbc = dsp::decibels(std::abs(v));
        h.phaseDegrees = dsp::wrapDegrees(std::arg(v) * 180 / dsp::kPi);
        harmonicPower += std::norm(v);
        anyHarmonic = true;
    }
    const dsp::Thd thd = dsp::thdOf(harmonicPower);
    r.thdF = anyHarmonic ? thd.f : std::nan("");
    r.thdR = anyHarmonic ? thd.r : std::nan("");
    return mean;
}

Volts voltsOf(double dbfs, double voltsAtFullScale)
{
    Volts volts;
    volts.rms = voltsAtFullScale * std::pow(10.0, dbfs / 20);
    volts.dbv = dsp::decibels(volts.rms);
    volts.dbu = dsp::decibels(volts.rms / kDbuVolts);
    return volts;
}

double dbfsOf(double value, LevelUnit unit, double voltsAtFullScale)
{
    switch (unit) {
    case LevelUnit::Dbfs:
        return value;
    case LevelUnit::VoltsRms:
        return dsp::decibels(value / voltsAtFullScale);
    case LevelUnit::Dbv:
        return value - dsp::decibels(voltsAtFullScale);
    case LevelUnit::Dbu:
        return value + dsp::decibels(kDbuVolts / voltsAtFullScale);
    }
    return value;
}

} // namespace measure
