#include "analysis/analyser.h"
#include "analysis/harmonicfit.h"
#include "analysis/plotvalues.h"
#include "analysis/recording.h"
#include "audio/soundfile.h"
#include "base/progress.h"
#include "dsp/soundmath.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>

#include <cmath>
#include <functional>
#include <random>

#include <gtest/gtest.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A recording made here, one sin() a sample: DC plus a fundamental of
// amplitude `amplitude` and phase `theta1` at t = 0, and harmonic n at
// levels[n - 2] percent, delayed by phases[n - 2] degrees in the program's
// convention; rounded to 24 bits.
struct Tone
{
    double rate = 48000;
    double seconds = 1;
    double frequency = 200;
    double theta1 = 0;
    double amplitude = 0.5;
    double dc = 0;
    std::vector<double> levels = {1, 5, 1, 2, 1, 1};
    std::vector<double> phases = {0, 20, 0, 165, 0, 0};
    int bits = 24;

    std::vector<float> samples() const
    {
        const auto count = static_cast<std::size_t>(std::llround(seconds * rate));
        std::vector<float> out(count);
        const double step = std::ldexp(1.0, 1 - bits);
        for (std::size_t i = 0; i < count; ++i) {
            const double angle = 2 * kPi * frequency * double(i) / rate + theta1;
            double value = std::sin(angle);
            for (std::size_t k = 0; k < levels.size(); ++k) {
                const int n = int(k) + 2;
                value += levels[k] / 100 * std::sin(n * angle - phases[k] * kPi / 180);
            }
            const double sample = dc + amplitude * value;
            out[i] = static_cast<float>(bits ? std::nearbyint(sample / step) * step : sample);
        }
        return out;
    }
};

double angleBetween(double a, double b)
{
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return std::min(d, 360 - d);
}

double thdOf(const std::vector<double> &levels)
{
    double sum = 0;
    for (double level : levels)
        sum += level * level;
    return std::sqrt(sum);
}

void expectMatches(const Tone &tone, const analysis::Analysis &result)
{
    EXPECT_NEAR(result.fundamentalHz, tone.frequency, std::max(1e-3, tone.frequency * 1e-6));
    EXPECT_NEAR(result.dcOffset, tone.dc, 2e-4);
    ASSERT_EQ(result.harmonics.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        const analysis::Harmonic &h = result.harmonics[k];
        ASSERT_TRUE(h.present);
        EXPECT_NEAR(h.levelPercent, tone.levels[k], 0.002) << "harmonic " << h.n;
        if (tone.levels[k] >= 0.05) {
            EXPECT_LT(angleBetween(h.phaseDegrees, tone.phases[k]), 0.1) << "harmonic " << h.n;
        }
    }
    EXPECT_NEAR(result.thdF * 100, thdOf(tone.levels), 0.004);
}

TEST(Analysis, GivesBackEveryFigureOfANoiseFreeRecording)
{
    struct Case
    {
        double seconds, frequency, theta1, dc;
        std::vector<double> levels, phases;
    };
    const Case cases[] = {
        {1, 200, 0, 0, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0}},
        {0.1, 20, 1.3, 0.1, {20, 0.05, 3, 10, 0.2, 7}, {35, 300, 5, 180, 90, 355}},
        {0.1, 997.3, -2.0, -0.1, {0.5, 0.05, 12, 1, 0.07, 3}, {10, 200, 270, 45, 123, 0}},
        {0.37, 3428.5, 0.4, 0.02, {2, 4, 6, 8, 10, 12}, {1, 2, 3, 4, 5, 6}},
        {5.3, 61.7, 2.9, -0.05, {0.3, 0.05, 0.1, 15, 0.08, 0.6}, {359, 181, 0.5, 77, 260, 140}},
        {2.05, 1000, 0, 0, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        Tone tone;
        tone.seconds = c.seconds;
        tone.frequency = c.frequency;
        tone.theta1 = c.theta1;
        tone.dc = c.dc;
        tone.levels = c.levels;
        tone.phases = c.phases;
        SCOPED_TRACE(testing::Message() << c.seconds << " s, " << c.frequency << " Hz");
        const analysis::Analysis result = analysis::analyse(tone.samples(), tone.rate, {});
        expectMatches(tone, result);
    }
}

TEST(Analysis, HoldsItsAccuracyOverRandomLengthsFrequenciesPhasesAndDc)
{
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int trial = 0; trial < 25; ++trial) {
        Tone tone;
        tone.seconds = 0.1 + unit(random) * 2;
        tone.frequency = 20 * std::pow(3428.0 / 20, unit(random)); // up to a seventh of half the rate
        tone.theta1 = unit(random) * 2 * kPi;
        tone.dc = (unit(random) * 2 - 1) * 0.1;
        tone.amplitude = 0.2 + unit(random) * 0.3;
        for (std::size_t k = 0; k < 6; ++k) {
            tone.levels[k] = unit(random) < 0.3 ? 0.05 + unit(random) * 0.1 : unit(random) * 20;
            tone.phases[k] = unit(random) * 360;
        }
        SCOPED_TRACE(testing::Message()
                     << "trial " << trial << ": " << tone.seconds << " s, " << tone.frequency << " Hz");
        expectMatches(tone, analysis::analyse(tone.samples(), tone.rate, {}));
    }
}

TEST(Analysis, MeasuresThdPlusNoiseInItsBand)
{
    // White noise of RMS 0.001 over a 0.5 amplitude tone at 1 kHz with 1 % of
    // harmonic 3: the noise counts in 20 Hz to 20 kHz, 19980 of 24000 Hz.
    Tone tone;
    tone.seconds = 3;
    tone.frequency = 1000;
    tone.levels = {0, 1, 0, 0, 0, 0};
    std::vector<float> samples = tone.samples();
    std::mt19937 random(5);
    std::normal_distribution<double> gauss(0, 0.001);
    for (float &sample : samples)
        sample = static_cast<float>(sample + gauss(random));
    const double harmonic = std::pow(0.005, 2) / 2, noise = 1e-6 * 19980 / 24000, fundamental = 0.25 / 2;
    const double truth = std::sqrt((harmonic + noise) / (fundamental + harmonic + noise));
    const analysis::Analysis result = analysis::analyse(samples, tone.rate, {});
    EXPECT_NEAR(dsp::decibels(result.thdN), dsp::decibels(truth), 0.2);
    EXPECT_NEAR(result.levelPercent(3), 1, 0.01);

    // A narrower band leaves out the harmonic (3 kHz) and most of the noise.
    analysis::Settings narrow;
    narrow.bandLowHz = 500;
    narrow.bandHighHz = 2000;
    const double narrowTruth = std::sqrt(1e-6 * 1500 / 24000 / (fundamental + 1e-6 * 1500 / 24000));
    EXPECT_NEAR(dsp::decibels(analysis::analyse(samples, tone.rate, narrow).thdN),
                dsp::decibels(narrowTruth), 0.2);

    // A band wholly above half the sample rate holds nothing to measure.
    analysis::Settings above;
    above.bandLowHz = 30000;
    above.bandHighHz = 40000;
    EXPECT_THROW(analysis::analyse(samples, tone.rate, above), analysis::AnalysisError);
}

TEST(Analysis, ReportsHarmonicsAboveHalfTheRateAbsentAndCountsClippedSamples)
{
    Tone tone;
    tone.frequency = 5000;
    tone.amplitude = 1.2; // beyond full scale, then clipped
    tone.levels = {3, 1, 0, 0, 0, 0};
    std::vector<float> samples = tone.samples();
    for (float &sample : samples)
        sample = std::clamp(sample, -1.0f, 1.0f);
    // Clipped: the samples of every stretch of two or more at one rail.
    int clipped = 0;
    for (std::size_t i = 0; i < samples.size();) {
        std::size_t end = i + 1;
        while (end < samples.size() && samples[end] == samples[i])
            ++end;
        if (std::fabs(samples[i]) == 1 && end - i >= 2)
            clipped += static_cast<int>(end - i);
        i = end;
    }
    analysis::Settings settings;
    settings.harmonics = 10;
    const analysis::Analysis result = analysis::analyse(samples, tone.rate, settings);
    ASSERT_EQ(result.harmonics.size(), 9u);
    for (const analysis::Harmonic &h : result.harmonics)
        EXPECT_EQ(h.present, h.n * 5000 < 24000) << h.n;
    EXPECT_EQ(result.clippedSamples, clipped);
    EXPECT_GT(clipped, 0);
    EXPECT_NEAR(result.peakDbfs, 0, 1e-9);
}

TEST(Analysis, RefusesWhatHoldsNoToneAndStopsWhenCancelled)
{
    const std::vector<float> silence(48000, 0.0f);
    std::vector<float> noise(48000);
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0, 0.1);
    for (float &sample : noise)
        sample = static_cast<float>(gauss(random));
    struct Case
    {
        std::vector<float> samples;
        const char *reason;
    };
    const Case cases[] = {
        {silence, "silent"},
        {std::vector<float>(48000, 0.25f), "constant"},
        {noise, "no tone"},
        {std::vector<float>(10, 0.5f), "too short"},
    };
    for (const Case &c : cases) {
        try {
            analysis::analyse(c.samples, 48000, {});
            ADD_FAILURE() << c.reason;
        } catch (const analysis::AnalysisError &error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }

    Tone tone;
    tone.seconds = 0.05;
    tone.frequency = 20; // one period
    EXPECT_THROW(analysis::analyse(tone.samples(), tone.rate, {}), analysis::AnalysisError);

    QPromise<void> promise;
    promise.start();
    promise.future().cancel();
    Progress progress(promise);
    EXPECT_THROW(analysis::analyse(Tone().samples(), 48000, {}, &progress), Progress::Cancelled);
}

TEST(Analysis, GivesTheSameFiguresBitForBitOnOneThreadAndOnMany)
{
    // Long enough for every stage to work in parts: the fit a second at a
    // time, the projections, the fundamental's removal, the band's segments.
    Tone tone;
    tone.seconds = 12;
    tone.frequency = 997;
    std::vector<float> samples = tone.samples();
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0, 1e-4f);
    for (float &sample : samples)
        sample += noise(random);
    analysis::Settings settings;
    settings.spectrum = true;

    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    std::vector<analysis::Analysis> results;
    for (const int count : {1, threads, 8}) {
        pool->setMaxThreadCount(count);
        results.push_back(analysis::analyse(samples, tone.rate, settings));
    }
    pool->setMaxThreadCount(threads);
    const analysis::Analysis &one = results.front();
    for (const analysis::Analysis &other : results) {
        EXPECT_EQ(other.fundamentalHz, one.fundamentalHz);
        EXPECT_EQ(other.fundamentalAmplitude, one.fundamentalAmplitude);
        EXPECT_EQ(other.thdF, one.thdF);
        EXPECT_EQ(other.thdN, one.thdN);
        EXPECT_EQ(other.explained, one.explained);
        ASSERT_EQ(other.harmonics.size(), one.harmonics.size());
        for (std::size_t k = 0; k < one.harmonics.size(); ++k) {
            EXPECT_EQ(other.harmonics[k].amplitude, one.harmonics[k].amplitude);
            EXPECT_EQ(other.harmonics[k].phaseDegrees, one.harmonics[k].phaseDegrees);
        }
        EXPECT_EQ(other.spectrum.dbfs, one.spectrum.dbfs);
    }
}

TEST(Analysis, TheFitSaysWhenItsEquationsAreSingular)
{
    Tone tone;
    tone.bits = 0;
    const std::vector<float> samples = tone.samples();
    const double theta = 2 * kPi * tone.frequency / tone.rate;
    double explained = 0;
    const analysis::HarmonicFit fit = analysis::fitAtFrequency(samples.data(), samples.size(), 3, theta, &explained);
    ASSERT_EQ(fit.harmonics(), 3);
    EXPECT_NEAR(std::hypot(fit.cosine[0], fit.sine[0]), tone.amplitude, 1e-6);
    EXPECT_NEAR(std::hypot(fit.cosine[2], fit.sine[2]), tone.amplitude * tone.levels[1] / 100, 1e-6);
    EXPECT_GT(explained, 0);

    // Fewer samples than unknowns; and at half the rate, where harmonic 2
    // turns a whole circle a sample and cannot be told from DC.
    for (const auto &[count, at] : {std::pair<std::size_t, double>{5, theta}, {samples.size(), kPi}}) {
        const analysis::HarmonicFit none = analysis::fitAtFrequency(samples.data(), count, 7, at, &explained);
        EXPECT_EQ(explained, -1) << count << " samples at " << at;
        EXPECT_EQ(none.harmonics(), 0);
        EXPECT_FALSE(analysis::fitHarmonics(samples.data(), count, 7, at).converged);
    }
}

TEST(Analysis, AShortRecordThatEndsPartWayThroughAPeriodKeepsItsNoiseFloor)
{
    // A quarter second of a pure tone, a whole number of periods or not: its
    // mean is not its DC, and the floor must not rise for that.
    for (const double hz : {20.0, 25.2, 50.4, 100.79, 997.0}) {
        Tone tone;
        tone.seconds = 0.25;
        tone.frequency = hz;
        tone.theta1 = 0.3;
        tone.levels.assign(6, 0);
        tone.bits = 0;
        analysis::Settings settings;
        settings.fundamentalHz = hz;
        const analysis::Analysis result = analysis::analyse(tone.samples(), tone.rate, settings);
        EXPECT_LT(dsp::decibels(result.thdN), -120) << hz << " Hz";
        EXPECT_NEAR(result.fundamentalDbfs, dsp::decibels(tone.amplitude), 1e-6) << hz << " Hz";
    }
}

TEST(Analysis, FindsAFundamentalWeakerThanItsSecondHarmonicAndShowsTheSpectrum)
{
    // Harmonic 2 stronger than the fundamental: the strongest peak is not the fundamental.
    Tone tone;
    tone.frequency = 150;
    tone.levels = {150, 10, 0, 0, 0, 0};
    analysis::Settings settings;
    settings.fundamentalHz = 151;
    settings.spectrum = true;
    const analysis::Analysis result = analysis::analyse(tone.samples(), tone.rate, settings);
    EXPECT_NEAR(result.fundamentalHz, 150, 1e-3);
    EXPECT_NEAR(result.levelPercent(2), 150, 0.01);
    // Found without help too: the strongest peak's subharmonic stands out.
    const analysis::Analysis found = analysis::analyse(tone.samples(), tone.rate, {});
    EXPECT_NEAR(found.fundamentalHz, 150, 1e-3);
    EXPECT_NEAR(found.levelPercent(2), 150, 0.01);
    EXPECT_NEAR(found.thdF * 100, std::hypot(150, 10), 0.01);

    // The fundamental of amplitude 0.5 shows near -6 dBFS (a window's scalloping aside).
    const analysis::MagnitudeSpectrum &spectrum = result.spectrum;
    ASSERT_FALSE(spectrum.frequencyHz.empty());
    std::size_t at = 0;
    while (spectrum.frequencyHz[at] < 150)
        ++at;
    const double top = std::max(spectrum.dbfs[at - 1], spectrum.dbfs[at]);
    EXPECT_NEAR(top, 20 * std::log10(0.5), 1.0);
    EXPECT_LT(spectrum.dbfs[at + 40], top - 60); // 30 Hz away: the window's sidelobes are far down
}

// Inputs that once broke the analyser, found by its fuzzer: each is read and
// analysed or refused with a clear error, and never brings the program down.
TEST(Analysis, EveryHostileRecordingIsAnalysedOrRefused)
{
    const QDir folder(QStringLiteral(QUENLARI_SOURCE_DIR "/fuzz/audio-regressions"));
    const QStringList files = folder.entryList(QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    for (const QString &name : files) {
        SCOPED_TRACE(name.toStdString());
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        analysis::Settings settings;
        settings.spectrum = true;
        try {
            const audio::Recording recording = audio::readChannel(bytes, name, 1);
            analysis::analyse(recording.samples, recording.sampleRate, settings);
        } catch (const audio::AudioError &error) {
            EXPECT_NE(std::string(error.what()).find(name.toStdString()), std::string::npos);
        } catch (const analysis::AnalysisError &) {
        }
        const analysis::AnalysedRecording analysed =
            analysis::analyseRecording(folder.filePath(name), 1, settings);
        if (!analysed.error.isEmpty()) {
            EXPECT_TRUE(analysed.error.contains(name)) << analysed.error.toStdString();
        }
    }
}

} // namespace

// A tone whose frequency drifts linearly from `start` by `drift` Hz over the
// record, with harmonic 3 at `level3` percent delayed by `phase3` degrees,
// and whatever `extra` adds; full scale 0.5, in single precision.
std::vector<float> drifting(double seconds, double start, double drift, double level3, double phase3,
                            const std::function<double(double)> &extra = {})
{
    constexpr double kRate = 48000;
    const auto count = static_cast<std::size_t>(std::llround(seconds * kRate));
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / kRate;
        const double angle = 2 * kPi * (start * t + drift / (2 * seconds) * t * t);
        double value = std::sin(angle) + level3 / 100 * std::sin(3 * angle - phase3 * kPi / 180);
        if (extra)
            value += extra(t);
        out[i] = static_cast<float>(0.5 * value);
    }
    return out;
}

TEST(Analysis, ASlowDriftOfFrequencyChangesNoFigure)
{
    // 0.1 % of harmonic 3 alone: THD+N is 0.1 / sqrt(1 + 0.001^2) %, 0.100 %.
    struct Case
    {
        double seconds, drift; // Hz over the record, from 1 kHz
    };
    for (const Case c : {Case{10, 0.01}, Case{10, 0.1}, Case{60, 0.001}, Case{60, 0.1}, Case{2.5, 0.1},
                         Case{1, 0.1}, Case{10, 0}}) {
        SCOPED_TRACE(testing::Message() << c.drift << " Hz over " << c.seconds << " s");
        const analysis::Analysis result =
            analysis::analyse(drifting(c.seconds, 1000, c.drift, 0.1, 40), 48000, {});
        EXPECT_NEAR(result.thdN * 100, 0.1, 0.005);
        EXPECT_NEAR(result.levelPercent(3), 0.1, 0.005);
        EXPECT_LT(angleBetween(result.harmonics[1].phaseDegrees, 40), 1.0);
        EXPECT_NEAR(result.fundamentalHz, 1000 + c.drift / 2, 1e-3); // the mean frequency
        EXPECT_NEAR(result.fundamentalDbfs, dsp::decibels(0.5), 0.01);
    }
}

TEST(Analysis, TheBandsEdgesAreSharpAndTheReferenceIsTheWholeSignal)
{
    // A 1 % hum under a 1 kHz tone: 2 Hz or more inside the 20 Hz edge it counts
    // whole, 1 / sqrt(1 + 0.01^2) %; 2 Hz or more outside it does not count.
    const double whole = 1 / std::sqrt(1 + 1e-4);
    for (double seconds : {1.0, 2.0, 3.7}) {
        for (double hum : {22.0, 22.4, 25.0, 18.0, 17.6, 15.0}) {
            SCOPED_TRACE(testing::Message() << hum << " Hz hum, " << seconds << " s");
            const auto humAt = [hum](double t) { return 0.01 * std::sin(2 * kPi * hum * t + 0.3); };
            const analysis::Analysis result =
                analysis::analyse(drifting(seconds, 1000, 0, 0, 0, humAt), 48000, {});
            if (hum > 20)
                EXPECT_NEAR(result.thdN * 100, whole, 0.03 * whole);
            else
                EXPECT_LT(result.thdN * 100, 0.03);
        }
    }
    // A fundamental at or below the lower edge still counts in the reference: 1 % of harmonic 3 reads 1 %.
    for (double fundamental : {15.0, 20.0, 50.0}) {
        for (double seconds : {1.0, 2.5}) {
            SCOPED_TRACE(testing::Message() << fundamental << " Hz, " << seconds << " s");
            const analysis::Analysis result =
                analysis::analyse(drifting(seconds, fundamental, 0, 1, 0), 48000, {});
            EXPECT_NEAR(result.fundamentalHz, fundamental, 1e-4);
            EXPECT_NEAR(result.thdN * 100, whole, 0.01);
            EXPECT_EQ(result.fundamentalInBand, fundamental >= 20);
        }
    }
    // A band that leaves the fundamental out holds only what is in it, here nothing but harmonic 3.
    analysis::Settings narrow;
    narrow.bandLowHz = 20;
    narrow.bandHighHz = 500;
    const analysis::Analysis result = analysis::analyse(drifting(1, 1000, 0, 1, 0), 48000, narrow);
    EXPECT_FALSE(result.fundamentalInBand);
    EXPECT_LT(result.thdN * 100, 0.01);
}

TEST(Analysis, AGivenFundamentalRescuesAWeakToneAndTheGateSearchesTheWholeRecord)
{
    // A 1234.5 Hz tone of amplitude 0.01 in white noise of RMS 0.1: its peak
    // stands some 21 dB above the spectrum's median, below the gate's 30.
    constexpr double kRate = 48000;
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0, 0.1);
    std::vector<float> weak(static_cast<std::size_t>(10 * kRate));
    for (std::size_t i = 0; i < weak.size(); ++i)
        weak[i] = static_cast<float>(0.01 * std::sin(2 * kPi * 1234.5 * double(i) / kRate) + gauss(random));
    EXPECT_THROW(analysis::analyse(weak, kRate, {}), analysis::AnalysisError);
    analysis::Settings given;
    given.fundamentalHz = 1234.5;
    const analysis::Analysis rescued = analysis::analyse(weak, kRate, given);
    EXPECT_NEAR(rescued.fundamentalHz, 1234.5, 0.01);
    EXPECT_NEAR(rescued.fundamentalDbfs, -40, 0.5);
    EXPECT_NEAR(rescued.toneOverNoiseDb, 21, 3);
    EXPECT_LT(rescued.explained, 0.01); // and the report says the figures may mean little

    // Five seconds of silence, then the tone: the gate finds it past the first stretch.
    std::vector<float> late = drifting(8, 440, 0, 1, 0);
    std::fill(late.begin(), late.begin() + static_cast<std::ptrdiff_t>(5 * kRate), 0.0f);
    const analysis::Analysis found = analysis::analyse(late, kRate, {});
    EXPECT_NEAR(found.fundamentalHz, 440, 1e-3);
    EXPECT_GT(found.toneOverNoiseDb, 30);

    // A chirp is no steady tone: whatever is fitted carries little of its power.
    std::vector<float> chirp(static_cast<std::size_t>(2 * kRate));
    for (std::size_t i = 0; i < chirp.size(); ++i) {
        const double t = double(i) / kRate;
        chirp[i] = static_cast<float>(0.5 * std::sin(2 * kPi * (100 * t + 1000 * t * t)));
    }
    try {
        EXPECT_LT(analysis::analyse(chirp, kRate, {}).explained, 0.9);
    } catch (const analysis::AnalysisError &) {
        SUCCEED(); // or it is refused outright
    }
}

TEST(Analysis, ThdPlusNoiseOfASteadyToneEqualsItsClosedForm)
{
    // With no noise, THD+N is the harmonics within the band over the whole
    // signal: sqrt(sum of A_n^2 in band) / sqrt(A_1^2 + sum of all A_n^2).
    struct Case
    {
        double frequency, seconds, rate;
        std::vector<double> levels, phases;
    };
    const std::vector<Case> cases = {
        {100, 1, 48000, {10, 14.2}, {0, 90}},
        {100, 0.25, 48000, {30, 20}, {45, 300}},
        {50, 2.5, 48000, {30, 1, 12, 5, 30, 0.5}, {10, 200, 30, 45, 100, 300}},
        {200, 60, 48000, {5, 30}, {180, 0}},
        {10, 10, 48000, {0, 30, 0, 20}, {0, 30, 0, 250}},
        {1000, 0.25, 48000, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0}},
        {3000, 1, 48000, {30, 10, 5, 1, 20}, {90, 180, 270, 0, 45}},
        {6000, 0.5, 48000, {25, 30}, {0, 0}},
        {20000, 1, 192000, {30, 10}, {0, 0}}, // its harmonics are all above the band
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.frequency << " Hz, " << c.seconds << " s");
        Tone tone;
        tone.frequency = c.frequency;
        tone.seconds = c.seconds;
        tone.rate = c.rate;
        tone.levels = c.levels;
        tone.phases = c.phases;
        tone.theta1 = 0.7;
        tone.bits = 0;
        double inBand = 0, all = 1;
        for (std::size_t k = 0; k < c.levels.size(); ++k) {
            const double power = c.levels[k] * c.levels[k] / 1e4, hz = double(k + 2) * c.frequency;
            all += power;
            if (hz >= 20 && hz <= 20000)
                inBand += power;
        }
        const analysis::Analysis result = analysis::analyse(tone.samples(), c.rate, {});
        const double truth = std::sqrt(inBand / all);
        if (truth > 0)
            EXPECT_NEAR(result.thdN / truth, 1, 1e-5) << result.thdN * 100 << " % against " << truth * 100;
        else
            EXPECT_LT(result.thdN, 1e-6);
    }
}

TEST(PlotValues, PhasesStayBelow360AndAHarmonicAtZeroKeepsPhaseZero)
{
    analysis::Analysis result;
    result.fundamentalHz = 3000;
    for (int n = 2; n <= 7; ++n) {
        analysis::Harmonic h;
        h.n = n;
        h.present = true;
        h.levelPercent = n == 2 ? 5 : 0.3; // harmonics 3 to 7 round to 0 %
        h.phaseDegrees = n == 2 ? 358.2 : 123;
        result.harmonics.push_back(h);
    }
    const analysis::PlotValues values = analysis::plotValuesOf(result);
    EXPECT_EQ(values.frequencyHz, 1000);
    EXPECT_EQ(values.levels[0], 5);
    EXPECT_EQ(values.phases[0], 0); // 358.2 is 360, which is 0
    for (int k = 1; k < 6; ++k) {
        EXPECT_EQ(values.levels[std::size_t(k)], 0);
        EXPECT_EQ(values.phases[std::size_t(k)], 0);
    }
    EXPECT_EQ(values.note(), QStringLiteral("Shown in the plot: fundamental 3 kHz shown as 1000 Hz."));
}
