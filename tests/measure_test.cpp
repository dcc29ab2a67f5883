#include "dsp/soundmath.h"
#include "measure/inputring.h"
#include "measure/measurement.h"
#include "tests/simulateddevice.h"

#include <cmath>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr double kRate = 48000;

std::vector<float> sine(double hz, double amplitude, double seconds, double phase = 0.4)
{
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = float(amplitude * std::sin(2 * dsp::kPi * hz * double(i) / kRate + phase));
    return out;
}

TEST(Measure, SweepsHaveTheirStepsWhereTheySayTheyAre)
{
    const std::vector<double> octaves = measure::frequencySteps(20, 20000, 3);
    ASSERT_EQ(octaves.size(), 31u); // 20 Hz times 2^(k/3) up to 16.25 kHz, then 20 kHz itself
    EXPECT_DOUBLE_EQ(octaves.front(), 20);
    EXPECT_NEAR(octaves[3], 40, 1e-9);
    EXPECT_NEAR(octaves[29], 20 * std::exp2(29.0 / 3), 1e-9);
    EXPECT_DOUBLE_EQ(octaves.back(), 20000);
    EXPECT_EQ(measure::frequencySteps(100, 800, 1), (std::vector<double>{100, 200, 400, 800}));

    const std::vector<double> levels = measure::levelSteps(-40, 0, 1);
    ASSERT_EQ(levels.size(), 41u);
    EXPECT_EQ(levels.front(), -40);
    EXPECT_EQ(levels.back(), 0);
    EXPECT_EQ(measure::levelSteps(0, -10, 4), (std::vector<double>{0, -4, -8}));
    EXPECT_TRUE(measure::levelSteps(0, -10, 0).empty());

    // Ten periods at the least, a quarter second at the least.
    EXPECT_EQ(measure::stepFrames(20, kRate, 0.25), 24000u);
    EXPECT_EQ(measure::stepFrames(1000, kRate, 0.25), 12000u);
}

// The loop's delay on plain arrays: the lead-in's noise sets the threshold,
// and the stimulus's first sample that stands out of it is its arrival.
TEST(Measure, TheStimulusArrivesWhereItFirstStandsOutOfTheLeadInsNoise)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<float> noise(-1e-4f, 1e-4f);
    std::vector<float> quiet(12000);
    for (float &sample : quiet)
        sample = noise(random);
    quiet[777] = 2.5e-4f; // the loudest of the lead-in
    const float threshold = measure::arrivalThreshold(quiet.data(), quiet.size());
    EXPECT_FLOAT_EQ(threshold, 1e-3f);
    // A 1 kHz sine of -12 dBFS from frame 3000 on, starting at phase 0: its
    // second sample (0.25 * sin(2 pi / 48)) is the first above 1e-3.
    std::vector<float> heard(6000);
    for (std::size_t i = 0; i < heard.size(); ++i)
        heard[i] = noise(random) + (i >= 3000 ? 0.25f * float(std::sin(2 * dsp::kPi * 1000.0 * (i - 3000) / 48000)) : 0.0f);
    EXPECT_EQ(measure::firstAbove(heard.data(), heard.size(), threshold), std::optional<std::size_t>(3001));
    EXPECT_EQ(measure::firstAbove(heard.data(), 3001, threshold), std::nullopt);
    // A silent lead-in (a digital loop) still needs a sample of 1e-6 to count.
    const std::vector<float> silent(100, 0.0f);
    EXPECT_FLOAT_EQ(measure::arrivalThreshold(silent.data(), silent.size()), 1e-6f);
}

TEST(Measure, AGapOrAJumpMakesABlockUnsteadyWhileClippingAndNoiseDoNot)
{
    const std::vector<float> clean = sine(997, 0.25, 1);
    const auto steadyOf = [](const std::vector<float> &samples) {
        const measure::Reading r = measure::read(samples, kRate, measure::sine(997, -12));
        EXPECT_NE(r.state, measure::State::NoSignal) << r.why;
        return r.state != measure::State::Unsteady;
    };
    EXPECT_TRUE(steadyOf(clean));

    std::vector<float> gap = clean;
    std::fill(gap.begin() + 20000, gap.begin() + 20480, 0.0f); // 10 ms the sound system fell behind
    EXPECT_FALSE(steadyOf(gap));
    std::vector<float> jump = clean;
    jump.erase(jump.begin() + 30000, jump.begin() + 30013); // 13 samples lost
    EXPECT_FALSE(steadyOf(jump));
    // Played late: the block's first 600 ms still hold the step before, at 800 Hz.
    std::vector<float> late = clean;
    const std::vector<float> before = sine(800, 0.25, 0.6);
    std::copy(before.begin(), before.end(), late.begin());
    EXPECT_FALSE(steadyOf(late));
    // Fell behind again and again: 2 ms of silence after every 13 ms, all
    // through the block, so that no stretch stands out of the others.
    std::vector<float> dropouts;
    for (std::size_t at = 0; dropouts.size() < clean.size(); at += 624) {
        dropouts.insert(dropouts.end(), clean.begin() + std::ptrdiff_t(at), clean.begin() + std::ptrdiff_t(at + 624));
        dropouts.insert(dropouts.end(), 96, 0.0f);
    }
    dropouts.resize(clean.size());
    EXPECT_FALSE(steadyOf(dropouts));
    // A tone 1300 ppm off what was played was pulled there by a jump; 200 ppm is another clock.
    EXPECT_EQ(measure::read(sine(997 * 1.0013, 0.25, 0.25), kRate, measure::sine(997, -12)).state,
              measure::State::Unsteady);
    EXPECT_EQ(measure::read(sine(997 * 1.0002, 0.25, 0.25), kRate, measure::sine(997, -12)).state,
              measure::State::Measured);

    std::vector<float> clipped = sine(997, 1, 1);
    for (float &x : clipped)
        x = std::clamp(x, -0.5f, 0.5f);
    EXPECT_TRUE(steadyOf(clipped));
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0, 1e-3f);
    std::vector<float> noisy = clean;
    for (float &x : noisy)
        x += noise(random);
    EXPECT_TRUE(steadyOf(noisy));
}

TEST(Measure, OverloadIsARunAtTheConvertersLimits)
{
    std::vector<float> samples = sine(997, 0.5, 0.1);
    EXPECT_EQ(measure::overloadedSamples(samples), 0);
    samples[10] = 1.0f; // one sample alone is not a run
    EXPECT_EQ(measure::overloadedSamples(samples), 0);
    samples[11] = 32767.0f / 32768.0f;
    samples[12] = -1.0f;
    EXPECT_EQ(measure::overloadedSamples(samples), 3);
    const measure::Reading r = measure::read(samples, kRate, measure::sine(997, -6));
    EXPECT_EQ(r.state, measure::State::Overload);
    EXPECT_EQ(r.result.clippedSamples, 3); // one count, the window's, the table's and the command line's
}

TEST(Measure, AveragingKeepsPhasesAndAveragesNoiseAsPower)
{
    measure::Averager averager(4);
    measure::Reading a, b;
    a.state = b.state = measure::State::Measured;
    a.stimulus = b.stimulus = measure::sine(1000, -12);
    for (measure::Reading *r : {&a, &b}) {
        r->result.fundamentalHz = 1000;
        r->result.fundamentalAmplitude = 0.25;
        r->result.harmonics.resize(2);
        r->result.harmonics[0].n = 2;
        r->result.harmonics[1].n = 3;
        r->result.harmonics[0].present = r->result.harmonics[1].present = true;
    }
    // H2 steady at 1 %, 30 degrees; H3 noise: 1 % at opposite phases.
    a.result.harmonics[0].levelPercent = b.result.harmonics[0].levelPercent = 1;
    a.result.harmonics[0].phaseDegrees = b.result.harmonics[0].phaseDegrees = 30;
    a.result.harmonics[1].levelPercent = b.result.harmonics[1].levelPercent = 1;
    a.result.harmonics[1].phaseDegrees = 10;
    b.result.harmonics[1].phaseDegrees = 190;
    a.result.thdN = 0.03;
    b.result.thdN = 0.04;
    averager.add(a);
    averager.add(b);
    const measure::Reading mean = averager.average();
    EXPECT_NEAR(mean.result.harmonics[0].levelPercent, 1, 1e-12);
    EXPECT_NEAR(mean.result.harmonics[0].phaseDegrees, 30, 1e-9);
    EXPECT_NEAR(mean.result.harmonics[1].levelPercent, 0, 1e-12);
    EXPECT_NEAR(mean.result.thdN, std::sqrt((0.03 * 0.03 + 0.04 * 0.04) / 2), 1e-15);
    EXPECT_NEAR(mean.result.thdF, 0.01, 1e-12);

    // Only the last four count; a new stimulus starts anew.
    for (int i = 0; i < 6; ++i)
        averager.add(a);
    EXPECT_EQ(averager.held(), 4u);
    measure::Reading other = a;
    other.stimulus = measure::sine(500, -12);
    averager.add(other);
    EXPECT_EQ(averager.held(), 1u);
}

TEST(Measure, CalibrationTurnsDbfsIntoVoltsAndBack)
{
    // A full-scale sine is 1.55 V rms: -6 dBFS is half of it.
    const measure::Volts v = measure::voltsOf(-6.020599913279624, 1.55);
    EXPECT_NEAR(v.rms, 0.775, 1e-9);
    EXPECT_NEAR(v.dbv, 20 * std::log10(0.775), 1e-9);
    EXPECT_NEAR(v.dbu, 20 * std::log10(0.775 / std::sqrt(0.6)), 1e-9);
    for (const auto unit : {measure::LevelUnit::VoltsRms, measure::LevelUnit::Dbv, measure::LevelUnit::Dbu}) {
        const double typed = unit == measure::LevelUnit::VoltsRms ? v.rms : unit == measure::LevelUnit::Dbv ? v.dbv : v.dbu;
        EXPECT_NEAR(measure::dbfsOf(typed, unit, 1.55), -6.020599913279624, 1e-9);
    }
    EXPECT_EQ(measure::dbfsOf(-3, measure::LevelUnit::Dbfs, 1.55), -3);
}

} // namespace

namespace {

TEST(Measure, ADisturbanceThatWouldMoveThdPlusNoiseByADecibelMakesABlockUnsteady)
{
    // Against the block's own noise: a float loop, or 24 bits with dither
    // (noise at -146 dBFS), the tone from 20 Hz to 20 kHz at 0 and -60 dBFS.
    // One lost sample, one repeated, 0.2 ms lost, a gain step of 0.05 dB: each
    // raises THD+N far more than 1 dB over such noise.
    std::mt19937 random(11);
    std::uniform_real_distribution<double> dither(-0.5, 0.5);
    for (const double hz : {20.0, 200.0, 997.0, 6000.0, 20000.0}) {
        for (const double dbfs : {0.0, -60.0}) {
            for (const bool quantised : {false, true}) {
                const double amplitude = std::pow(10.0, dbfs / 20) * 0.999;
                const double seconds = hz < 100 ? 1.0 : 0.5;
                std::vector<double> exact(static_cast<std::size_t>(seconds * kRate));
                for (std::size_t i = 0; i < exact.size(); ++i)
                    exact[i] = amplitude * std::sin(2 * dsp::kPi * hz * double(i) / kRate + 0.4);
                const auto toSamples = [&](const std::vector<double> &values) {
                    std::vector<float> out(values.size());
                    const double step = std::ldexp(1.0, -23);
                    for (std::size_t i = 0; i < values.size(); ++i)
                        out[i] = float(quantised ? step * std::nearbyint(values[i] / step + dither(random) + dither(random))
                                                 : values[i]);
                    return out;
                };
                const measure::Stimulus stimulus = measure::sine(hz, dbfs);
                const auto stateOf = [&](const std::vector<double> &values) {
                    return measure::read(toSamples(values), kRate, stimulus).state;
                };
                SCOPED_TRACE(testing::Message() << hz << " Hz at " << dbfs << " dBFS, "
                                                << (quantised ? "24 bits" : "float"));
                EXPECT_EQ(stateOf(exact), measure::State::Measured);
                const std::ptrdiff_t at = std::ptrdiff_t(exact.size() * 5 / 8) + 17;
                std::vector<double> lost = exact, repeated = exact, gap = exact, step = exact;
                lost.erase(lost.begin() + at);
                repeated.insert(repeated.begin() + at, repeated[std::size_t(at)]);
                gap.erase(gap.begin() + at, gap.begin() + at + std::ptrdiff_t(0.0002 * kRate));
                for (auto it = step.begin() + at; it != step.end(); ++it)
                    *it *= std::pow(10.0, 0.05 / 20);
                EXPECT_EQ(stateOf(lost), measure::State::Unsteady) << "one sample lost";
                EXPECT_EQ(stateOf(repeated), measure::State::Unsteady) << "one sample repeated";
                EXPECT_EQ(stateOf(gap), measure::State::Unsteady) << "0.2 ms lost";
                EXPECT_EQ(stateOf(step), measure::State::Unsteady) << "0.05 dB gain step";
            }
        }
    }
    // Where the block's own noise is far above what the step adds, it does not
    // move THD+N and the block is steady: 0.05 dB in noise 50 dB under the tone.
    std::normal_distribution<double> noise(0, 0.25 * std::pow(10.0, -50.0 / 20) / std::sqrt(2.0));
    std::vector<float> noisy = sine(997, 0.25, 1);
    for (std::size_t i = 0; i < noisy.size(); ++i)
        noisy[i] = float(noisy[i] * (i >= 30000 ? std::pow(10.0, 0.05 / 20) : 1) + noise(random));
    EXPECT_EQ(measure::read(noisy, kRate, measure::sine(997, -12)).state, measure::State::Measured);
}

} // namespace

namespace {

// A device whose gain in dB follows `gainDb` of the time in seconds since it
// began, counted in the samples it has answered.
class Drifting : public SimulatedDevice
{
public:
    explicit Drifting(double (*gainDb)(double)) : m_gainDb(gainDb) {}
    float answer(float played) noexcept override
    {
        return float(played * std::pow(10.0, m_gainDb(double(m_count++) / kRate) / 20));
    }

private:
    double (*m_gainDb)(double);
    uint64_t m_count = 0;
};

measure::Devices simulated(std::shared_ptr<SimulatedDevice> device)
{
    measure::Devices devices;
    devices.standIn = std::move(device);
    return devices;
}

TEST(Measure, AFigureStandsOnlyOnceTwoBlocksInARowAgree)
{
    // Warming up: 0.2 dB a second, 0.1 dB between blocks of half a second.
    const auto warming = [](double t) { return 0.2 * t; };
    {
        measure::Session session(simulated(std::make_shared<Drifting>(warming)), measure::sine(997, -12));
        const measure::Reading r = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
        EXPECT_EQ(r.state, measure::State::NotSettled);
        EXPECT_FALSE(measure::hasFigures(r.state));
        EXPECT_NE(r.why.find("over 5 blocks"), std::string::npos) << r.why;
        EXPECT_NE(r.why.find("level over 0.4"), std::string::npos) << r.why; // 0.1 dB from each block to the next
    }
    {
        // A looser tolerance takes it.
        measure::Settling loose;
        loose.levelDb = 0.2;
        measure::Session session(simulated(std::make_shared<Drifting>(warming)), measure::sine(997, -12));
        const measure::Reading r = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr, loose);
        EXPECT_EQ(r.state, measure::State::Measured) << r.why;
    }
    {
        // One gain step of 0.35 dB at 0.6 s, in the first blocks: the reading
        // comes from two blocks after it, at the new gain.
        const auto stepped = [](double t) { return t < 0.6 ? 0.0 : 0.35; };
        measure::Session session(simulated(std::make_shared<Drifting>(stepped)), measure::sine(997, -12));
        const measure::Reading r = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
        ASSERT_EQ(r.state, measure::State::Measured) << r.why;
        EXPECT_NEAR(r.result.fundamentalDbfs, -12 + 0.35, 0.001);
        EXPECT_LT(dsp::decibels(r.result.thdN), -120);
    }
}

TEST(Measure, UnderGainStepsEveryStepOfASweepIsCleanOrInAState)
{
    // A gain step now and then: each step's reading is either clean or in a state.
    const auto knocked = [](double t) { return std::fmod(t, 1.3) < 0.65 ? 0.0 : 0.35; };
    measure::Session session(simulated(std::make_shared<Drifting>(knocked)), measure::sine(500, -12));
    std::vector<measure::Stimulus> steps;
    for (double hz : {500.0, 630.0, 794.0, 1000.0, 1260.0, 1587.0})
        steps.push_back(measure::sine(hz, -12));
    std::vector<measure::Reading> readings;
    measure::sweep(session, steps, {}, nullptr, [&](const measure::Reading &r) { readings.push_back(r); });
    ASSERT_EQ(readings.size(), steps.size());
    for (const measure::Reading &r : readings) {
        if (measure::hasFigures(r.state))
            EXPECT_LT(dsp::decibels(r.result.thdN), -120) << r.stimulus.frequencyHz() << " Hz";
        else
            EXPECT_TRUE(r.state == measure::State::Unsteady || r.state == measure::State::NotSettled);
    }
}

} // namespace

namespace {

// A clean wire whose sound system says, every 0.3 s, that it fell behind.
class Overrunning : public SimulatedDevice
{
public:
    float answer(float played) noexcept override
    {
        if (++m_count % 14400 == 0)
            droppedOut = true;
        return played;
    }

private:
    uint64_t m_count = 0;
};

TEST(Measure, ABlockDuringWhichTheSoundSystemFellBehindIsNotSteady)
{
    measure::Session session(simulated(std::make_shared<Overrunning>()), measure::sine(997, -12));
    const measure::Reading r = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    EXPECT_EQ(r.state, measure::State::Unsteady);
    EXPECT_NE(r.why.find("underrun or an overrun"), std::string::npos) << r.why;
}

} // namespace

namespace {

TEST(Measure, TheInputRingNeverHandsOutASampleFromTheNextLap)
{
    // A small ring, a writer that never stops, each sample its own frame's
    // number: whatever a read says it holds must be exactly those frames.
    measure::InputRing ring(64);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<float> block(16);
        for (int64_t frame = 0; !stop; frame += int64_t(block.size())) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = float((frame + int64_t(i)) % 4096);
            ring.write(block.data(), block.size(), 1, 0);
        }
    });
    std::vector<float> out;
    int64_t held = 0, wrong = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        const int64_t to = ring.written(), from = std::max<int64_t>(0, to - 64);
        if (!ring.read(from, to, out))
            continue;
        ++held;
        for (int64_t at = from; at < to; ++at)
            wrong += out[std::size_t(at - from)] != float(at % 4096);
    }
    stop = true;
    writer.join();
    EXPECT_GT(held, 0);
    EXPECT_EQ(wrong, 0);
}

} // namespace
