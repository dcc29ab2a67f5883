#include "dsp/soundmath.h"
#include "measure/crosstalk.h"
#include "measure/measurement.h"
#include "tests/simulateddevice.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace {

constexpr double kRate = 48000;

// The two tones at a peak of `peak`, one sin() a sample, through y = x + a2 x^2 + a3 x^3.
std::vector<float> twoTones(const twotone::TwoTone &tones, double peak, double seconds, double a2 = 0.03,
                            double a3 = 0.02)
{
    const double low = peak * tones.ratio / (tones.ratio + 1), high = peak / (tones.ratio + 1);
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / kRate;
        const double x = low * std::sin(2 * dsp::kPi * tones.f1Hz * t + 0.2) + high * std::sin(2 * dsp::kPi * tones.f2Hz * t);
        out[i] = float(x + a2 * x * x + a3 * x * x * x);
    }
    return out;
}

TEST(MeasureTwoTones, ASlipAGapOrAnotherClockMakesABlockUnsteadyWhileNoiseDoesNot)
{
    for (twotone::Method method : {twotone::Method::Smpte, twotone::Method::Din, twotone::Method::Ccif}) {
        const twotone::TwoTone tones = twotone::standard(method);
        const measure::Stimulus stimulus = measure::twoToneStimulus(tones, -6);
        const std::vector<float> clean = twoTones(tones, 0.5, 1);
        const auto stateOf = [&](const std::vector<float> &samples) {
            return measure::read(samples, kRate, stimulus).state;
        };
        SCOPED_TRACE(twotone::nameOf(method));
        EXPECT_EQ(stateOf(clean), measure::State::Measured);
        // One sample lost: the high tone turns by a large angle, which would
        // spread it into products that are not there.
        std::vector<float> slip = clean;
        slip.erase(slip.begin() + 30000);
        EXPECT_EQ(stateOf(slip), measure::State::Unsteady);
        std::vector<float> repeated = clean;
        repeated.insert(repeated.begin() + 17000, repeated[17000]);
        repeated.pop_back();
        EXPECT_EQ(stateOf(repeated), measure::State::Unsteady);
        std::vector<float> gap = clean;
        std::fill(gap.begin() + 20000, gap.begin() + 20480, 0.0f);
        EXPECT_EQ(stateOf(gap), measure::State::Unsteady);
        twotone::TwoTone apart = tones;
        apart.f1Hz *= 1.0013;
        apart.f2Hz *= 1.0013;
        EXPECT_EQ(stateOf(twoTones(apart, 0.5, 1)), measure::State::Unsteady);
        std::mt19937 random(3);
        std::normal_distribution<float> noise(0, 1e-3f);
        std::vector<float> noisy = clean;
        for (float &x : noisy)
            x += noise(random);
        EXPECT_EQ(stateOf(noisy), measure::State::Measured);
        // Only one of the tones: no figures.
        twotone::TwoTone alone = tones;
        alone.ratio = 1e9;
        EXPECT_EQ(stateOf(twoTones(alone, 0.5, 1)), measure::State::NoSignal);
    }
}

// A device that bends what it plays by a polynomial and adds white noise.
class Bending : public SimulatedDevice
{
public:
    Bending(double a2, double a3, double noise) : m_a2(a2), m_a3(a3), m_noise(0, noise) {}
    float answer(float played) noexcept override
    {
        const double x = played;
        return float(x + m_a2 * x * x + m_a3 * x * x * x + m_noise(m_random));
    }

private:
    double m_a2, m_a3;
    std::mt19937_64 m_random{9};
    std::normal_distribution<double> m_noise;
};

measure::Devices simulated(std::shared_ptr<SimulatedDevice> device)
{
    measure::Devices devices;
    devices.standIn = std::move(device);
    return devices;
}

TEST(MeasureTwoTones, ALevelSweepThroughAPolynomialReadsTheProductsOfEachLevel)
{
    const twotone::TwoTone tones = twotone::standard(twotone::Method::Smpte);
    const double a2 = 0.03, a3 = 0.02;
    const measure::Stimulus base = measure::twoToneStimulus(tones, -20);
    measure::Session session(simulated(std::make_shared<Bending>(a2, a3, 1e-6)), base);
    measure::SweepPlan plan = measure::SweepPlan::levels();
    plan.from = -20;
    plan.to = -4;
    plan.stepDb = 8;
    std::vector<measure::Reading> readings;
    measure::SweepTiming timing;
    timing.leastSeconds = 0.5;
    measure::sweep(session, plan.steps(base), timing, nullptr,
                   [&](const measure::Reading &reading) { readings.push_back(reading); });
    ASSERT_EQ(readings.size(), 3u);
    for (const measure::Reading &reading : readings) {
        ASSERT_EQ(reading.state, measure::State::Measured) << reading.why;
        // The sideband pairs of x^2 and x^3 against f2, as the analyser's own tests write them out.
        const double peak = std::pow(10, reading.stimulus.peakDbfs / 20);
        const double low = 0.8 * peak, high = 0.2 * peak;
        const double u2 = high + a3 * (0.75 * high * high * high + 1.5 * low * low * high);
        const double d2 = 2 * a2 * low * high / u2, d3 = 2 * 0.75 * a3 * low * low * high / u2;
        EXPECT_NEAR(dsp::decibels(reading.imd.figures.imdD2Percent / 100 / d2), 0, 0.05) << reading.stimulus.peakDbfs;
        EXPECT_NEAR(dsp::decibels(reading.imd.figures.imdD3Percent / 100 / d3), 0, 0.05) << reading.stimulus.peakDbfs;
        EXPECT_NEAR(dsp::decibels(reading.imd.f2.amplitude), dsp::decibels(u2), 0.01);
    }
}

TEST(MeasureTwoTones, SilenceReadsTheDevicesNoiseOnceTwoBlocksAgree)
{
    const double sigma = 1e-4;
    measure::Session session(simulated(std::make_shared<Bending>(0, 0, sigma)), measure::silence());
    const measure::Reading reading = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    ASSERT_EQ(reading.state, measure::State::Measured) << reading.why;
    EXPECT_NEAR(reading.noise.noiseDbfs, 10 * std::log10(2 * sigma * sigma * 19980 / 24000), 0.2);
    EXPECT_LT(reading.noise.noiseADbfs, reading.noise.noiseDbfs);
    EXPECT_EQ(std::string(measure::figureName(reading)), "noise");
}

} // namespace

namespace {

TEST(MeasureCrosstalk, TheOtherChannelsShareOfTheToneIsReadAtItsFrequency)
{
    const measure::Stimulus stimulus = measure::sine(1000, -12);
    std::mt19937_64 random(4);
    std::normal_distribution<double> noise(0, 1e-6);
    std::vector<float> driven(24000), other(24000);
    for (std::size_t i = 0; i < driven.size(); ++i) {
        const double t = double(i) / kRate;
        driven[i] = float(0.25 * std::sin(2 * dsp::kPi * 1000.1 * t));
        // -80 dB of it, turned in phase, beside a louder tone of another frequency and some noise.
        other[i] = float(2.5e-5 * std::cos(2 * dsp::kPi * 1000.1 * t) + 0.1 * std::sin(2 * dsp::kPi * 3000 * t) +
                         noise(random));
    }
    const measure::CrosstalkPoint point = measure::crosstalkOf(driven, other, kRate, stimulus);
    ASSERT_EQ(point.driven.state, measure::State::Measured) << point.driven.why;
    EXPECT_NEAR(point.crosstalkDb, -80, 0.1);
    EXPECT_NEAR(point.otherDbfs, dsp::decibels(2.5e-5), 0.1);
    const measure::CrosstalkPoint silent =
        measure::crosstalkOf(driven, std::vector<float>(driven.size(), 0.0f), kRate, stimulus);
    EXPECT_TRUE(std::isinf(silent.crosstalkDb) && silent.crosstalkDb < 0);
    // No figures for a driven channel that hears nothing.
    const measure::CrosstalkPoint none =
        measure::crosstalkOf(std::vector<float>(driven.size(), 0.0f), other, kRate, stimulus);
    EXPECT_FALSE(measure::hasFigures(none.driven.state));
    EXPECT_TRUE(std::isnan(none.crosstalkDb));
}

} // namespace
