#include "measure/measurement.h"

#include "base/progress.h"
#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <complex>
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
    if (stimulus.aWeighted)
        settings.weighting = analysis::Weighting::A;
    return settings;
}

namespace {

const char *const kGapOrJump = "a gap or a jump in the recording: the sound system fell behind, or the input was disturbed";

Reading readTone(const std::vector<float> &samples, double rate, Reading reading, bool spectrum)
{
    const Stimulus &stimulus = reading.stimulus;
    try {
        analysis::Settings settings = settingsFor(stimulus);
        settings.fundamentalHz = std::min(*settings.fundamentalHz, rate * kHighestStimulusShare);
        settings.spectrum = spectrum;
        reading.result = analysis::analyse(samples, rate, settings);
        // One count of clipped samples everywhere: the converter's limits,
        // whatever the word length, hold the format's own extreme codes too.
        reading.result.clippedSamples = reading.overloaded;
        reading.spectrum = std::move(reading.result.spectrum);
        reading.result.spectrum = {};
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
        reading.why = kGapOrJump;
    return reading;
}

Reading readTwoTone(const std::vector<float> &samples, double rate, Reading reading, bool spectrum)
{
    const twotone::TwoTone &tones = *reading.stimulus.twoTone;
    analysis::Intermodulation &imd = reading.imd;
    try {
        analysis::ImdSettings settings;
        settings.tones = tones;
        settings.spectrum = spectrum;
        imd = analysis::analyseIntermodulation(samples, rate, settings);
        imd.clippedSamples = reading.overloaded;
        reading.spectrum = std::move(imd.spectrum);
        imd.spectrum = {};
    } catch (const analysis::AnalysisError &error) {
        reading.why = error.what();
        return reading;
    }
    // What is left beside the two tones, against the weaker one: the block's
    // power less theirs.
    double mean = 0, square = 0;
    for (float sample : samples) {
        mean += sample;
        square += double(sample) * sample;
    }
    mean /= double(samples.size());
    const double power = square / double(samples.size()) - mean * mean;
    const double a1 = imd.f1.amplitude, a2 = imd.f2.amplitude;
    const double left = std::max(0.0, power - (a1 * a1 + a2 * a2) / 2);
    const double weaker = std::min(a1, a2) / std::sqrt(2.0);
    const std::vector<double> thetas{2 * dsp::kPi * imd.f1.frequencyHz / rate, 2 * dsp::kPi * imd.f2.frequencyHz / rate};
    // A slip of a sample turns the high tone by a large angle and spreads it
    // into products that are not there: each tone must hold its level and phase.
    const bool steadyBlock = std::fabs(imd.f1.frequencyHz / tones.f1Hz - 1) <= kMostClockApart &&
                             std::fabs(imd.f2.frequencyHz / tones.f2Hz - 1) <= kMostClockApart &&
                             tonesSteady(samples, rate, thetas, std::sqrt(left) / weaker);
    reading.state = !steadyBlock ? State::Unsteady : reading.overloaded > 0 ? State::Overload : State::Measured;
    if (!steadyBlock)
        reading.why = kGapOrJump;
    return reading;
}

Reading readNoise(const std::vector<float> &samples, double rate, Reading reading, bool spectrum)
{
    try {
        analysis::NoiseSettings settings;
        settings.spectrum = spectrum;
        reading.noise = analysis::analyseNoise(samples, rate, settings);
        reading.spectrum = std::move(reading.noise.spectrum);
        reading.noise.spectrum = {};
    } catch (const analysis::AnalysisError &error) {
        reading.why = error.what();
        return reading;
    }
    reading.state = reading.overloaded > 0 ? State::Overload : State::Measured;
    return reading;
}

} // namespace

Reading read(const std::vector<float> &samples, double rate, const Stimulus &stimulus, bool spectrum)
{
    Reading reading;
    reading.stimulus = stimulus;
    reading.overloaded = overloadedSamples(samples);
    switch (stimulus.kind()) {
    case Stimulus::Kind::TwoTone:
        return readTwoTone(samples, rate, std::move(reading), spectrum);
    case Stimulus::Kind::Silence:
        return readNoise(samples, rate, std::move(reading), spectrum);
    case Stimulus::Kind::Tone:
        break;
    }
    return readTone(samples, rate, std::move(reading), spectrum);
}

double figureDb(const Reading &reading)
{
    switch (reading.stimulus.kind()) {
    case Stimulus::Kind::TwoTone:
        return dsp::decibels(reading.imd.figures.mainPercent() / 100);
    case Stimulus::Kind::Silence:
        return reading.noise.noiseDbfs;
    case Stimulus::Kind::Tone:
        break;
    }
    return dsp::decibels(reading.result.thdN);
}

double levelDb(const Reading &reading)
{
    switch (reading.stimulus.kind()) {
    case Stimulus::Kind::TwoTone:
        return dsp::decibels(reading.imd.f2.amplitude);
    case Stimulus::Kind::Silence:
        return 0;
    case Stimulus::Kind::Tone:
        break;
    }
    return reading.result.fundamentalDbfs;
}

const char *figureName(const Reading &reading)
{
    switch (reading.stimulus.kind()) {
    case Stimulus::Kind::TwoTone:
        return reading.stimulus.twoTone->modulation() ? "IMD" : "DFD";
    case Stimulus::Kind::Silence:
        return "noise";
    case Stimulus::Kind::Tone:
        break;
    }
    return "THD+N";
}

namespace {

// DC and a cosine and a sine of each of `Tones` tones fitted over [begin, end),
// the normal equations summed by hand.
template <int Tones>
Eigen::VectorXd fitWindow(const std::vector<float> &samples, std::size_t begin, std::size_t end,
                          const std::vector<double> &thetas, std::vector<dsp::Oscillator<double>> &waves)
{
    constexpr int kUnknowns = 2 * Tones + 1;
    double normal[kUnknowns][kUnknowns] = {}, right[kUnknowns] = {}, basis[kUnknowns] = {1};
    dsp::forEachAnchorSpan(begin, end, [&](std::size_t from, std::size_t to) {
        for (int t = 0; t < Tones; ++t)
            waves[std::size_t(t)].anchor(thetas[std::size_t(t)] * double(from));
        for (std::size_t i = from; i < to; ++i) {
            for (int t = 0; t < Tones; ++t) {
                dsp::Oscillator<double> &wave = waves[std::size_t(t)];
                basis[2 * t + 1] = wave.cosine();
                basis[2 * t + 2] = wave.sine();
                wave.turn();
            }
            const double y = samples[i];
            for (int a = 0; a < kUnknowns; ++a) {
                right[a] += y * basis[a];
                for (int b = a; b < kUnknowns; ++b)
                    normal[a][b] += basis[a] * basis[b];
            }
        }
    });
    Eigen::Matrix<double, kUnknowns, kUnknowns> matrix;
    Eigen::Matrix<double, kUnknowns, 1> vector;
    for (int a = 0; a < kUnknowns; ++a) {
        vector(a) = right[a];
        for (int b = a; b < kUnknowns; ++b)
            matrix(a, b) = matrix(b, a) = normal[a][b];
    }
    return matrix.ldlt().solve(vector);
}

} // namespace

bool steady(const std::vector<float> &samples, double rate, const analysis::Analysis &result)
{
    return tonesSteady(samples, rate, {2 * dsp::kPi * result.fundamentalHz / rate}, result.thdN);
}

bool tonesSteady(const std::vector<float> &samples, double rate, const std::vector<double> &thetas,
                 double residualShare)
{
    // Windows of whole periods, over each of which DC and every tone's cosine
    // and sine are fitted by least squares: harmonics then fall out of the
    // fit whatever they are, and noise moves a tone by about residualShare A /
    // sqrt(samples), so the windows are made long enough for that to stay five
    // times under what counts as a move.
    const double period = 2 * dsp::kPi / thetas.front();
    const double leastSamples = std::max(kShortestWindowSeconds * rate,
                                         std::pow(kNoiseMargin * residualShare / kMostMoved, 2));
    const auto window = static_cast<std::size_t>(std::llround(std::ceil(leastSamples / period) * period));
    const std::size_t windows = window > 0 ? samples.size() / window : 0;
    if (windows < 2)
        return true;
    const auto tones = Eigen::Index(thetas.size());
    const Eigen::Index unknowns = 2 * tones + 1;
    if (thetas.size() > 2)
        return true;
    std::vector<Eigen::VectorXd> fits(windows);
    Eigen::VectorXd mean = Eigen::VectorXd::Zero(unknowns);
    std::vector<dsp::Oscillator<double>> waves;
    for (double theta : thetas)
        waves.emplace_back(theta);
    for (std::size_t k = 0; k < windows; ++k) {
        fits[k] = thetas.size() == 1 ? fitWindow<1>(samples, k * window, (k + 1) * window, thetas, waves)
                                     : fitWindow<2>(samples, k * window, (k + 1) * window, thetas, waves);
        mean += fits[k] / double(windows);
    }
    // A gap, a jump, a stretch of another tone: somewhere a tone itself
    // stands apart from the block's, in level or in phase.
    for (Eigen::Index t = 0; t < tones; ++t) {
        const std::complex<double> average(mean(2 * t + 1), mean(2 * t + 2));
        const double most = kMostMoved * std::abs(average);
        for (const Eigen::VectorXd &fit : fits)
            if (std::abs(std::complex<double>(fit(2 * t + 1), fit(2 * t + 2)) - average) > most)
                return false;
    }
    return true;
}

std::size_t stepFrames(double frequencyHz, double rate, double leastSeconds)
{
    return static_cast<std::size_t>(std::ceil(std::max(kLeastPeriods / frequencyHz, leastSeconds) * rate));
}

bool agree(const Reading &a, const Reading &b, const Settling &settling)
{
    if (!hasFigures(a.state) || !hasFigures(b.state))
        return false;
    const bool figures = std::fabs(figureDb(a) - figureDb(b)) <= settling.thdNDb;
    switch (a.stimulus.kind()) {
    case Stimulus::Kind::Silence:
        return figures || (std::isinf(figureDb(a)) && std::isinf(figureDb(b)));
    case Stimulus::Kind::TwoTone: {
        // A figure the noise alone nearly reaches is the noise's, which no two blocks agree on.
        constexpr double kClearOfFloor = 10;
        const auto clear = [](const Reading &r) {
            return r.imd.figures.mainPercent() >= kClearOfFloor * r.imd.floor.mainPercent();
        };
        return std::fabs(dsp::decibels(a.imd.f1.amplitude / b.imd.f1.amplitude)) <= settling.levelDb &&
               std::fabs(levelDb(a) - levelDb(b)) <= settling.levelDb && (figures || !clear(a) || !clear(b));
    }
    case Stimulus::Kind::Tone:
        break;
    }
    return figures && std::fabs(levelDb(a) - levelDb(b)) <= settling.levelDb;
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
        const double figure = figureDb(reading), level = levelDb(reading);
        m_figure = {std::min(m_figure.first, figure), std::max(m_figure.second, figure)};
        m_level = {std::min(m_level.first, level), std::max(m_level.second, level)};
        m_name = figureName(reading);
        m_levelName = reading.stimulus.twoTone ? "f2's" : "the fundamental's";
        ++m_blocks;
    }
    std::string text() const
    {
        char text[200];
        std::snprintf(text, sizeof text, "no two blocks in a row agreed: over %d blocks %s spread over %.2f dB", m_blocks,
                      m_name, m_figure.second - m_figure.first);
        std::string spread = text;
        if (std::string(m_name) != "noise") {
            std::snprintf(text, sizeof text, " and %s level over %.3f dB", m_levelName, m_level.second - m_level.first);
            spread += text;
        }
        return spread;
    }

private:
    std::pair<double, double> m_figure{HUGE_VAL, -HUGE_VAL}, m_level{HUGE_VAL, -HUGE_VAL};
    const char *m_name = "THD+N";
    const char *m_levelName = "the fundamental's";
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
    const Stimulus &last = m_readings.empty() ? reading.stimulus : m_readings.back().stimulus;
    if (last.kind() != reading.stimulus.kind() || last.frequencyHz() != reading.stimulus.frequencyHz() ||
        last.peakDbfs != reading.stimulus.peakDbfs ||
        (last.twoTone && (last.twoTone->method != reading.stimulus.twoTone->method ||
                          last.twoTone->f2Hz != reading.stimulus.twoTone->f2Hz)))
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
    const double count = double(m_readings.size());
    for (const Reading &reading : m_readings) {
        mean.overloaded = std::max(mean.overloaded, reading.overloaded);
        if (reading.state == State::Overload)
            mean.state = State::Overload;
    }
    if (mean.stimulus.kind() == Stimulus::Kind::TwoTone)
        return averageTwoTones(mean);
    if (mean.stimulus.kind() == Stimulus::Kind::Silence) {
        double plain = 0, weighted = 0;
        for (const Reading &reading : m_readings) {
            plain += std::pow(10.0, reading.noise.noiseDbfs / 10) / count;
            weighted += std::pow(10.0, reading.noise.noiseADbfs / 10) / count;
        }
        mean.noise.noiseDbfs = dsp::powerDecibels(plain);
        mean.noise.noiseADbfs = dsp::powerDecibels(weighted);
        return mean;
    }
    analysis::Analysis &r = mean.result;
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

Reading Averager::averageTwoTones(Reading mean) const
{
    // Powers for every tone and product, and for the noise beside each; the
    // frequencies as plain means.
    const double count = double(m_readings.size());
    analysis::Intermodulation &r = mean.imd;
    const auto average = [&](auto field) {
        double sum = 0;
        for (const Reading &reading : m_readings)
            sum += std::pow(field(reading.imd), 2) / count;
        return std::sqrt(sum);
    };
    r.f1.amplitude = average([](const analysis::Intermodulation &i) { return i.f1.amplitude; });
    r.f2.amplitude = average([](const analysis::Intermodulation &i) { return i.f2.amplitude; });
    double f1 = 0, f2 = 0;
    for (const Reading &reading : m_readings) {
        f1 += reading.imd.f1.frequencyHz / count;
        f2 += reading.imd.f2.frequencyHz / count;
    }
    r.f1.frequencyHz = f1;
    r.f2.frequencyHz = f2;
    for (std::size_t k = 0; k < r.products.size(); ++k) {
        r.products[k].amplitude = average([k](const analysis::Intermodulation &i) { return i.products[k].amplitude; });
        r.products[k].noise = average([k](const analysis::Intermodulation &i) { return i.products[k].noise; });
    }
    analysis::computeFigures(r);
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
