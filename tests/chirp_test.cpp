// One sweep, offline: devices whose response and harmonics are known in closed form.

#include "dsp/soundmath.h"
#include "measure/chirp.h"
#include "tests/simulateddevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <random>

namespace {

using dsp::kPi;
using measure::ChirpPlan;
using measure::ChirpPoint;

constexpr double kRate = 48000;
// The recording starts this long before the sweep and goes on this long after it.
constexpr std::size_t kBefore = 4800, kAfter = 24000;

// The sweep through `device`, sample by sample, with white noise of `noiseRms` added.
std::vector<float> recordThrough(const measure::Chirp &chirp, const std::function<double(double)> &device,
                                 double noiseRms = 0, std::size_t before = kBefore)
{
    const std::vector<float> sweep = measure::render(chirp);
    std::vector<float> recording(before + sweep.size() + kAfter);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, noiseRms);
    for (std::size_t i = 0; i < recording.size(); ++i) {
        const double x = i >= before && i - before < sweep.size() ? sweep[i - before] : 0.0;
        recording[i] = float(device(x) + (noiseRms > 0 ? noise(random) : 0.0));
    }
    return recording;
}

const ChirpPoint &nearest(const measure::ChirpResult &result, double hz)
{
    return *std::min_element(result.points.begin(), result.points.end(), [&](const auto &a, const auto &b) {
        return std::fabs(std::log(a.frequencyHz / hz)) < std::fabs(std::log(b.frequencyHz / hz));
    });
}

double angleBetween(double a, double b)
{
    return std::fabs(std::remainder(a - b, 360.0));
}

TEST(Chirp, APolynomialsSecondAndThirdHarmonicsComeOutAsItsClosedFormAtEveryLevel)
{
    // y = a1 x + a2 x² + a3 x³ with x = A sin φ: the fundamental (a1 A + 3/4 a3 A³) sin φ,
    // the second -(a2 A²/2) cos 2φ = (a2 A²/2) sin(2φ - 90°), the third -(a3 A³/4) sin 3φ
    // = (a3 A³/4) sin(3φ - 180°).
    constexpr double a1 = 1, a2 = 0.03, a3 = 0.02;
    int compared = 0;
    for (double peakDbfs : {-3.0, -12.0, -24.0}) {
        SCOPED_TRACE(peakDbfs);
        ChirpPlan plan;
        plan.peakDbfs = peakDbfs;
        const measure::Chirp chirp = measure::makeChirp(plan, kRate);
        const double A = chirp.amplitude;
        const auto recording =
            recordThrough(chirp, [&](double x) { return a1 * x + a2 * x * x + a3 * x * x * x; }, 1e-6);
        const measure::ChirpResult result = measure::analyseChirp(chirp, recording, plan);
        ASSERT_EQ(result.state, measure::State::Measured) << result.why;
        const double fundamental = a1 + 0.75 * a3 * A * A;
        const double second = a2 * A / 2 / fundamental, third = a3 * A * A / 4 / fundamental;
        for (double hz : {100.0, 1000.0, 5000.0}) {
            SCOPED_TRACE(hz);
            const ChirpPoint &point = nearest(result, hz);
            EXPECT_NEAR(point.responseDb, dsp::decibels(fundamental), 0.05);
            for (const auto &[n, ratio, phase] : {std::tuple{2, second, 90.0}, std::tuple{3, third, 180.0}}) {
                if (dsp::decibels(ratio) < point.noiseDb + 40)
                    continue;
                const auto &figure = point.harmonics[std::size_t(n - 2)];
                ASSERT_TRUE(figure) << "harmonic " << n;
                EXPECT_NEAR(dsp::decibels(figure->ratio), dsp::decibels(ratio), 0.1) << "harmonic " << n;
                EXPECT_LT(angleBetween(figure->phaseDegrees, phase), 1.0) << "harmonic " << n;
                ++compared;
            }
        }
    }
    // The third harmonic at the lowest level lies within 40 dB of the noise.
    EXPECT_GE(compared, 15);
}

TEST(Chirp, WhatADigitalClipperFoldsBackIsNotTakenForHarmonics)
{
    // Clipped at half its peak, the sweep's odd harmonics reach far above half
    // the rate and fold back across the deconvolution; a symmetric clipper has
    // no even harmonic at all.
    ChirpPlan plan;
    plan.peakDbfs = -6;
    const measure::Chirp chirp = measure::makeChirp(plan, kRate);
    const double limit = chirp.amplitude / 2;
    const measure::ChirpResult result =
        measure::analyseChirp(chirp, recordThrough(chirp, [&](double x) { return std::clamp(x, -limit, limit); }, 1e-6), plan);
    ASSERT_TRUE(measure::hasFigures(result.state)) << result.why;
    int thirds = 0;
    for (const ChirpPoint &point : result.points) {
        for (std::size_t even : {0u, 2u, 4u, 6u}) {
            if (point.harmonics[even]) {
                EXPECT_LT(dsp::decibels(point.harmonics[even]->ratio), -80)
                    << point.frequencyHz << " Hz, harmonic " << even + 2;
            }
        }
        thirds += point.harmonics[1].has_value();
    }
    EXPECT_GT(thirds, 80);
}

TEST(Chirp, ASampleLostOrRepeatedInTheRecordingGivesAStateOrFiguresThatHold)
{
    const ChirpPlan plan;
    const measure::Chirp chirp = measure::makeChirp(plan, kRate);
    const std::vector<float> clean = recordThrough(chirp, [](double x) { return x + 0.01 * x * x; }, 1e-6);
    const measure::ChirpResult expected = measure::analyseChirp(chirp, clean, plan);
    ASSERT_EQ(expected.state, measure::State::Measured);
    // The sweep passes 37 Hz 0.8 s in, 212 Hz at 1.5 s, 1.2 kHz at 2.2 s, 7 kHz at 2.9 s,
    // 15 kHz at 3.2 s and 19.4 kHz at 3.3 s.
    for (const double seconds : {0.8, 1.5, 2.2, 2.9, 3.2, 3.3}) {
        for (const bool lost : {true, false}) {
            SCOPED_TRACE(std::to_string(seconds) + (lost ? " s, lost" : " s, repeated"));
            std::vector<float> spoiled = clean;
            const auto at = spoiled.begin() + std::ptrdiff_t(kBefore + std::size_t(seconds * kRate));
            if (lost)
                spoiled.erase(at);
            else
                spoiled.insert(at, *at);
            const measure::ChirpResult result = measure::analyseChirp(chirp, spoiled, plan);
            // Above a kilohertz a slip is always told; low down it may pass, as it
            // moves the response's phase by a degree or two at the most.
            if (seconds > 2) {
                EXPECT_EQ(result.state, measure::State::Unsteady);
            }
            if (result.state == measure::State::Unsteady) {
                EXPECT_TRUE(result.points.empty());
                EXPECT_NE(result.why.find("a sample lost or repeated"), std::string::npos) << result.why;
                continue;
            }
            ASSERT_EQ(result.state, measure::State::Measured) << result.why;
            double worstDb = 0, worstDegrees = 0;
            for (std::size_t i = 0; i < result.points.size(); ++i) {
                worstDb = std::max(worstDb, std::fabs(result.points[i].responseDb - expected.points[i].responseDb));
                worstDegrees = std::max(worstDegrees, angleBetween(result.points[i].responsePhaseDegrees,
                                                                   expected.points[i].responsePhaseDegrees));
            }
            std::printf("a slip at %.1f s: %.3f dB, %.2f degrees\n", seconds, worstDb, worstDegrees);
            EXPECT_LT(worstDb, 0.1);
            EXPECT_LT(worstDegrees, 2.0);
        }
    }
    // Nor is a device whose third harmonic folds back from above half the rate
    // taken for a slip, wherever the recording starts.
    for (std::size_t before = kBefore; before < kBefore + 8 * 1024; before += 1024) {
        const measure::ChirpResult folded = measure::analyseChirp(
            chirp, recordThrough(chirp, [](double x) { return x + 0.5 * x * x + x * x * x; }, 0, before), plan);
        EXPECT_EQ(folded.state, measure::State::Measured) << before << ": " << folded.why;
    }
    // A sample lost, then one repeated 0.3 s on: the response's delay is a
    // sample off between the two frequencies only, and the state says so all the same.
    std::vector<float> spoiled = clean;
    spoiled.erase(spoiled.begin() + std::ptrdiff_t(kBefore + std::size_t(2.2 * kRate)));
    const auto at = spoiled.begin() + std::ptrdiff_t(kBefore + std::size_t(2.5 * kRate));
    spoiled.insert(at, *at);
    EXPECT_EQ(measure::analyseChirp(chirp, spoiled, plan).state, measure::State::Unsteady);
}

// A biquad's response at f, from its coefficients.
std::complex<double> biquadAt(const std::array<double, 5> &c, double f)
{
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * f / kRate), z2 = z1 * z1;
    return (c[0] + c[1] * z1 + c[2] * z2) / (1.0 + c[3] * z1 + c[4] * z2);
}

// The cookbook's peaking, low-pass and high-pass filters.
std::array<double, 5> biquad(const std::string &kind, double hz, double q, double gainDb)
{
    const double w = 2 * kPi * hz / kRate, alpha = std::sin(w) / (2 * q), c = std::cos(w);
    double b0, b1, b2, a0, a1, a2;
    if (kind == "peak") {
        const double A = std::pow(10.0, gainDb / 40);
        b0 = 1 + alpha * A, b1 = -2 * c, b2 = 1 - alpha * A, a0 = 1 + alpha / A, a1 = -2 * c, a2 = 1 - alpha / A;
    } else if (kind == "low") {
        b0 = (1 - c) / 2, b1 = 1 - c, b2 = (1 - c) / 2, a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
    } else {
        b0 = (1 + c) / 2, b1 = -(1 + c), b2 = (1 + c) / 2, a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
    }
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

TEST(Chirp, ABiquadsResponseComesOutWithinFiveHundredthsOfADecibelAndADegree)
{
    for (const auto &[kind, hz, q, gain] : {std::tuple{"peak", 1000.0, 1.0, 6.0}, std::tuple{"low", 8000.0, 0.7, 0.0},
                                           std::tuple{"high", 60.0, 0.7, 0.0}}) {
        SCOPED_TRACE(kind);
        const auto c = biquad(kind, hz, q, gain);
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        const auto filter = [&](double x) {
            const double y = c[0] * x + c[1] * x1 + c[2] * x2 - c[3] * y1 - c[4] * y2;
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            return y;
        };
        const ChirpPlan plan;
        const measure::Chirp chirp = measure::makeChirp(plan, kRate);
        const measure::ChirpResult result = measure::analyseChirp(chirp, recordThrough(chirp, filter), plan);
        ASSERT_EQ(result.state, measure::State::Measured) << result.why;
        // The delay taken out is the one reported: the phase is the filter's with it taken out.
        const double delay = result.delaySeconds * kRate - double(kBefore);
        EXPECT_LT(std::fabs(delay), 3.0);
        double worstDb = 0, worstDegrees = 0;
        for (const ChirpPoint &point : result.points) {
            const std::complex<double> expected = biquadAt(c, point.frequencyHz) *
                                                  std::polar(1.0, 2 * kPi * point.frequencyHz * delay / kRate);
            worstDb = std::max(worstDb, std::fabs(point.responseDb - dsp::decibels(std::abs(expected))));
            worstDegrees = std::max(worstDegrees, angleBetween(point.responsePhaseDegrees, std::arg(expected) * 180 / kPi));
        }
        EXPECT_LT(worstDb, 0.05);
        EXPECT_LT(worstDegrees, 1.0);
    }
}

TEST(Chirp, APureDelayIsReportedToTheSampleAndLeavesTheResponseFlat)
{
    const ChirpPlan plan;
    const measure::Chirp chirp = measure::makeChirp(plan, kRate);
    const measure::ChirpResult result =
        measure::analyseChirp(chirp, recordThrough(chirp, [](double x) { return x; }, 0, 1234), plan);
    ASSERT_EQ(result.state, measure::State::Measured) << result.why;
    EXPECT_NEAR(result.delaySeconds * kRate, 1234, 1);
    for (const ChirpPoint &point : result.points) {
        EXPECT_NEAR(point.responseDb, 0, 0.05) << point.frequencyHz;
        EXPECT_LT(std::fabs(point.responsePhaseDegrees), 1.0) << point.frequencyHz;
        EXPECT_FALSE(point.thdF) << point.frequencyHz;
    }
}

} // namespace

namespace {

TEST(Chirp, ASweepFileRecordedLateByAClockThatRunsFastReadsAsItDoesOnTime)
{
    ChirpPlan plan;
    const measure::Chirp chirp = measure::makeChirp(plan, kRate);
    const auto device = [](const std::vector<float> &file, std::size_t late) {
        std::vector<float> recording(late + file.size() + std::size_t(kRate));
        std::mt19937 random(3);
        std::normal_distribution<double> noise(0, 1e-6);
        for (std::size_t i = 0; i < recording.size(); ++i) {
            const double x = i >= late && i - late < file.size() ? file[i - late] : 0.0;
            recording[i] = float(0.9 * x + 0.02 * x * x + 0.05 * x * x * x + noise(random));
        }
        return recording;
    };
    const auto read = [&](const std::vector<float> &recording) {
        const measure::FoundChirp found = measure::findChirp(chirp, recording, kRate);
        return std::pair{found, measure::analyseChirp(found.chirp, found.recording, plan)};
    };
    const auto [onTime, expected] = read(device(measure::renderFile(chirp), 0));
    EXPECT_NEAR(onTime.clockPpm, 0, 1);
    EXPECT_NEAR(onTime.startSeconds, 1.0, 1e-5);
    // The file as a player 300 ppm slower than the recorder plays it: each
    // second of it takes 1.0003 of the recorder's.
    measure::Chirp slower = chirp;
    slower.rate = kRate * 1.0003;
    constexpr std::size_t kLate = std::size_t(2.345 * kRate);
    const auto [late, result] = read(device(measure::renderFile(slower), kLate));
    EXPECT_NEAR(late.clockPpm, 300, 1);
    EXPECT_NEAR(late.startSeconds, 2.345 + 1.0003, 1e-5);

    ASSERT_EQ(result.state, measure::State::Measured) << result.why;
    ASSERT_EQ(result.points.size(), expected.points.size());
    int harmonics = 0;
    for (std::size_t i = 0; i < result.points.size(); ++i) {
        const ChirpPoint &got = result.points[i], &want = expected.points[i];
        SCOPED_TRACE(want.frequencyHz);
        EXPECT_NEAR(got.responseDb, want.responseDb, 0.1);
        EXPECT_LT(angleBetween(got.responsePhaseDegrees, want.responsePhaseDegrees), 1.0);
        // Above a sixth of the rate the device's third harmonic folds back, unlike a real recorder's.
        for (std::size_t n = 0; n < 2 && want.frequencyHz < kRate / 6; ++n) {
            if (!want.harmonics[n] || !got.harmonics[n] || dsp::decibels(want.harmonics[n]->ratio) < want.noiseDb + 40)
                continue;
            EXPECT_NEAR(dsp::decibels(got.harmonics[n]->ratio), dsp::decibels(want.harmonics[n]->ratio), 0.1);
            EXPECT_LT(angleBetween(got.harmonics[n]->phaseDegrees, want.harmonics[n]->phaseDegrees), 1.0);
            ++harmonics;
        }
    }
    EXPECT_GT(harmonics, 150);
}

} // namespace

namespace {

class Stalling : public SimulatedDevice
{
public:
    float answer(float played) noexcept override { return played; }
};

TEST(Chirp, AnInputThatStallsStopsTheSweepWithAMessage)
{
    auto device = std::make_shared<Stalling>();
    device->stalled = true;
    measure::Devices devices;
    devices.standIn = device;
    try {
        measure::measureChirp(devices, {}, nullptr);
        ADD_FAILURE() << "a stalled input gave figures";
    } catch (const measure::MeasureError &error) {
        EXPECT_NE(std::string(error.what()).find("stopped"), std::string::npos) << error.what();
    }
}

} // namespace
