#include "analysis/analyser.h"
#include "analysis/intermod.h"
#include "analysis/noise.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A two-tone of peak `peak` (f1's amplitude `ratio` times f2's) through
// y = x + a2 x^2 + a3 x^3, one sin() a sample; `clock` stretches both tones.
struct Device
{
    double a2 = 0.03, a3 = 0.02;
};

std::vector<float> twoTone(const twotone::TwoTone &tones, double peak, double rate, double seconds,
                           const Device &device, double clock = 1)
{
    const double a1 = peak * tones.ratio / (tones.ratio + 1), a2 = peak / (tones.ratio + 1);
    std::vector<float> out(std::size_t(std::llround(seconds * rate)));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / rate * clock;
        const double x = a1 * std::sin(2 * kPi * tones.f1Hz * t) + a2 * std::sin(2 * kPi * tones.f2Hz * t + 0.3);
        out[i] = float(x + device.a2 * x * x + device.a3 * x * x * x);
    }
    return out;
}

// The products of the polynomial, written out: x^2 gives a2 A1 A2 at f2 - f1
// and f2 + f1; x^3 gives 3 a3 A1^2 A2 / 4 at f2 - 2f1 and f2 + 2f1 (2f1 - f2
// too), 3 a3 A1 A2^2 / 4 at 2f2 - f1, and moves f2 to
// A2 + a3 (3 A2^3 / 4 + 3 A1^2 A2 / 2).
struct ClosedForm
{
    double imd, d2, d3, dfdD2, dfdD3;
};

ClosedForm closedForm(const twotone::TwoTone &tones, double peak, const Device &device)
{
    const double a1 = peak * tones.ratio / (tones.ratio + 1), a2 = peak / (tones.ratio + 1);
    const double u2 = a2 + device.a3 * (0.75 * a2 * a2 * a2 + 1.5 * a1 * a1 * a2);
    const double second = device.a2 * a1 * a2;
    const double third = 0.75 * device.a3 * a1 * a1 * a2, thirdHigh = 0.75 * device.a3 * a1 * a2 * a2;
    ClosedForm form;
    form.imd = 100 * std::sqrt(2 * second * second + 2 * third * third) / u2;
    form.d2 = 100 * 2 * second / u2;
    form.d3 = 100 * 2 * third / u2;
    form.dfdD2 = 100 * second / (2 * u2);
    form.dfdD3 = 100 * (third + thirdHigh) / (2 * u2);
    return form;
}

void expectWithinDb(double measured, double expected, double db, const std::string &what)
{
    EXPECT_NEAR(20 * std::log10(measured / expected), 0, db) << what << ": " << measured << " against " << expected;
}

TEST(Intermodulation, APolynomialGivesTheClosedFormAtEveryLevelRateAndMethod)
{
    const Device device;
    int compared = 0;
    for (twotone::Method method : {twotone::Method::Smpte, twotone::Method::Din, twotone::Method::Ccif})
        for (double rate : {44100.0, 48000.0, 96000.0})
            for (double peakDbfs : {-3.0, -12.0, -24.0}) {
                const twotone::TwoTone tones = twotone::standard(method);
                const double peak = std::pow(10, peakDbfs / 20);
                analysis::ImdSettings settings;
                settings.tones = tones;
                const analysis::Intermodulation result =
                    analysis::analyseIntermodulation(twoTone(tones, peak, rate, 1, device), rate, settings);
                const ClosedForm form = closedForm(tones, peak, device);
                const std::string what = std::string(twotone::nameOf(method)) + " at " + std::to_string(rate) +
                                         " Hz, " + std::to_string(peakDbfs) + " dBFS";
                if (tones.modulation()) {
                    expectWithinDb(result.figures.imdPercent, form.imd, 0.01, what + " imd");
                    expectWithinDb(result.figures.imdD2Percent, form.d2, 0.01, what + " d2");
                    expectWithinDb(result.figures.imdD3Percent, form.d3, 0.01, what + " d3");
                    EXPECT_TRUE(std::isnan(result.figures.dfdD2Percent));
                    // Orders 4 to 6 are not there: what is read there is the float's rounding.
                    for (std::size_t k = 4; k < result.products.size(); ++k)
                        EXPECT_LT(result.products[k].amplitude, 1e-7 * result.f2.amplitude) << what;
                } else {
                    expectWithinDb(result.figures.dfdD2Percent, form.dfdD2, 0.01, what + " dfd d2");
                    expectWithinDb(result.figures.dfdD3Percent, form.dfdD3, 0.01, what + " dfd d3");
                    EXPECT_TRUE(std::isnan(result.figures.imdPercent));
                }
                EXPECT_NEAR(result.f1.frequencyHz, tones.f1Hz, 1e-3) << what;
                EXPECT_NEAR(result.f2.frequencyHz, tones.f2Hz, 1e-3) << what;
                EXPECT_NEAR(result.peakDbfs, peakDbfs, 0.5) << what;
                ++compared;
            }
    EXPECT_EQ(compared, 27);
}

TEST(Intermodulation, AClockApartFromTheNominalOneAndALongRecordReadTheSame)
{
    const Device device;
    for (twotone::Method method : {twotone::Method::Smpte, twotone::Method::Ccif})
        for (double clock : {1 + 200e-6, 1 - 200e-6}) {
            const twotone::TwoTone tones = twotone::standard(method);
            const double peak = std::pow(10, -6 / 20.0);
            analysis::ImdSettings settings;
            settings.tones = tones;
            // Three seconds: fitted a second at a time.
            const analysis::Intermodulation result = analysis::analyseIntermodulation(
                twoTone(tones, peak, 48000, 3.2, device, clock), 48000, settings);
            const ClosedForm form = closedForm(tones, peak, device);
            const std::string what = std::string(twotone::nameOf(method)) + " clock " + std::to_string(clock);
            if (tones.modulation()) {
                expectWithinDb(result.figures.imdPercent, form.imd, 0.01, what);
                expectWithinDb(result.figures.imdD2Percent, form.d2, 0.01, what);
                expectWithinDb(result.figures.imdD3Percent, form.d3, 0.01, what);
                ASSERT_EQ(result.products.size(), 10u);
                EXPECT_EQ(result.products[0].label, "f2-f1");
                EXPECT_EQ(result.products[3].label, "f2+2f1");
                EXPECT_NEAR(result.products[3].frequencyHz, (tones.f2Hz + 2 * tones.f1Hz) * clock, 1e-3);
            } else {
                expectWithinDb(result.figures.dfdD2Percent, form.dfdD2, 0.01, what);
                expectWithinDb(result.figures.dfdD3Percent, form.dfdD3, 0.01, what);
                ASSERT_EQ(result.products.size(), 3u);
                EXPECT_EQ(result.products[1].label, "2f1-f2");
                EXPECT_EQ(result.products[2].label, "2f2-f1");
                EXPECT_NEAR(result.products[2].frequencyHz, 21000 * clock, 1e-3);
            }
            EXPECT_NEAR(result.f2.frequencyHz, tones.f2Hz * clock, 1e-3) << what;
        }
}

TEST(Intermodulation, TonesOfOnesOwnAndWhatCannotBeRead)
{
    // CCIF at 13 and 14 kHz for a 32 kHz system.
    twotone::TwoTone tones = twotone::standard(twotone::Method::Ccif);
    tones.f1Hz = 13000;
    tones.f2Hz = 14000;
    const Device device;
    analysis::ImdSettings settings;
    settings.tones = tones;
    const auto result = analysis::analyseIntermodulation(twoTone(tones, 0.5, 32000, 1, device), 32000, settings);
    const ClosedForm form = closedForm(tones, 0.5, device);
    expectWithinDb(result.figures.dfdD2Percent, form.dfdD2, 0.01, "13/14 kHz");
    expectWithinDb(result.figures.dfdD3Percent, form.dfdD3, 0.01, "13/14 kHz");

    const auto refused = [&](const std::vector<float> &samples, double rate, const twotone::TwoTone &asked) {
        analysis::ImdSettings s;
        s.tones = asked;
        try {
            analysis::analyseIntermodulation(samples, rate, s);
        } catch (const analysis::AnalysisError &error) {
            return std::string(error.what());
        }
        return std::string("analysed");
    };
    const twotone::TwoTone smpte = twotone::standard(twotone::Method::Smpte);
    EXPECT_EQ(refused(std::vector<float>(48000, 0.0f), 48000, smpte), "it is silent");
    // A single sine: the low tone is missing.
    std::vector<float> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = float(0.5 * std::sin(2 * kPi * 7000 * double(i) / 48000));
    EXPECT_NE(refused(sine, 48000, smpte).find("nothing near 60 Hz stands well above the noise"), std::string::npos);
    EXPECT_NE(refused(sine, 48000, twotone::standard(twotone::Method::Ccif)).find("near 19000 Hz"),
              std::string::npos);
    // CCIF's 20 kHz does not fit below half of 32 kHz; f2 too close above f1 for SMPTE.
    EXPECT_NE(refused(sine, 32000, twotone::standard(twotone::Method::Ccif)).find("do not suit CCIF"),
              std::string::npos);
    twotone::TwoTone close = smpte;
    close.f2Hz = 300;
    EXPECT_NE(refused(sine, 48000, close).find("f2 above six times f1"), std::string::npos);
    EXPECT_NE(refused(std::vector<float>(400, 0.1f), 48000, smpte).find("too short"), std::string::npos);
}

// The A curve as IEC 61672 prints it, with its rounded poles, normalised here at 1 kHz.
double aCurve(double f)
{
    const double f2 = f * f;
    const double r = 12194.0 * 12194.0 * f2 * f2 /
                     ((f2 + 20.6 * 20.6) * std::sqrt((f2 + 107.7 * 107.7) * (f2 + 737.9 * 737.9)) *
                      (f2 + 12194.0 * 12194.0));
    return r;
}

// The integral of the A curve's power gain over [low, high], Simpson's rule in steps of 0.5 Hz.
double aIntegral(double low, double high)
{
    const double one = aCurve(1000) * aCurve(1000);
    const int steps = int((high - low) / 0.5);
    const double h = (high - low) / steps;
    double sum = 0;
    for (int i = 0; i <= steps; ++i) {
        const double g = aCurve(low + i * h) * aCurve(low + i * h) / one;
        sum += g * (i == 0 || i == steps ? 1 : i % 2 ? 4 : 2);
    }
    return sum * h / 3;
}

TEST(Noise, WhiteNoiseReadsItsBandAndItsAWeightedLevel)
{
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const double sigma = 0.01;
        std::mt19937_64 random(7);
        std::normal_distribution<double> normal(0, sigma);
        std::vector<float> samples(std::size_t(10 * rate));
        for (float &sample : samples)
            sample = float(normal(random) + 0.001); // a DC offset, which is no noise
        const analysis::Noise noise = analysis::analyseNoise(samples, rate, {});
        // White noise spreads sigma^2 evenly from 0 to half the rate; full scale's mean square is 1/2.
        const double density = sigma * sigma / (rate / 2);
        EXPECT_NEAR(noise.noiseDbfs, 10 * std::log10(2 * density * (20000 - 20)), 0.1) << rate;
        EXPECT_NEAR(noise.noiseADbfs, 10 * std::log10(2 * density * aIntegral(20, 20000)), 0.1) << rate;
        EXPECT_NEAR(noise.dcOffset, 0.001, 1e-4);
    }
    // A band of one's own, and a 1 kHz sine: A-weighting leaves it as it is.
    std::vector<float> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = float(0.1 * std::sin(2 * kPi * 1000 * double(i) / 48000));
    analysis::NoiseSettings band;
    band.bandLowHz = 400;
    band.bandHighHz = 2000;
    const analysis::Noise tone = analysis::analyseNoise(sine, 48000, band);
    EXPECT_NEAR(tone.noiseDbfs, -20, 0.01);
    EXPECT_NEAR(tone.noiseADbfs, -20, 0.01);
    const analysis::Noise silence = analysis::analyseNoise(std::vector<float>(48000, 0.0f), 48000, {});
    EXPECT_TRUE(std::isinf(silence.noiseDbfs) && silence.noiseDbfs < 0);
    EXPECT_THROW(analysis::analyseNoise(std::vector<float>(1000, 0.0f), 48000, {}), analysis::AnalysisError);
}

TEST(Noise, ADitheredSixteenBitQuantiserHasItsClosedFormDynamicRange)
{
    for (double rate : {44100.0, 48000.0}) {
        // 997 Hz at -60 dBFS, TPDF dither of one step either way, rounded to 16 bits.
        const double q = 1.0 / 32768;
        std::mt19937_64 random(11);
        std::uniform_real_distribution<double> uniform(-0.5, 0.5);
        std::vector<float> samples(std::size_t(5 * rate));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double x = 1e-3 * std::sin(2 * kPi * 997 * double(i) / rate);
            samples[i] = float(q * std::nearbyint(x / q + uniform(random) + uniform(random)));
        }
        const analysis::Analysis result =
            analysis::analyse(samples, rate, analysis::dynamicRangeSettings());
        // The rounding's q^2 / 12 and the dither's q^2 / 6 are white: q^2 / 4 over 0 to rate / 2.
        const double noise = q * q / 4;
        const double weighted = noise / (rate / 2) * aIntegral(20, 20000);
        const double signal = 1e-6 / 2;
        const double expected = 60 + 10 * std::log10((signal + noise) / weighted);
        EXPECT_NEAR(analysis::dynamicRangeDb(result), expected, 0.3) << rate;
        EXPECT_GT(expected, 95);
        EXPECT_LT(expected, 97);
    }
}

} // namespace

namespace {

TEST(Intermodulation, AFigureAtTheNoiseReadsAsItsFloorAndOneAboveItStandsClear)
{
    for (twotone::Method method : {twotone::Method::Smpte, twotone::Method::Ccif}) {
        const twotone::TwoTone tones = twotone::standard(method);
        std::mt19937_64 random(3);
        std::normal_distribution<double> normal(0, 1e-5);
        const auto withNoise = [&](std::vector<float> samples) {
            for (float &sample : samples)
                sample += float(normal(random));
            return samples;
        };
        analysis::ImdSettings settings;
        settings.tones = tones;
        // A clean two-tone: the products are the noise's, and read as their floor does.
        const auto clean =
            analysis::analyseIntermodulation(withNoise(twoTone(tones, 0.5, 48000, 1, {0, 0})), 48000, settings);
        const double ratio = clean.figures.mainPercent() / clean.floor.mainPercent();
        EXPECT_GT(ratio, 0.25) << twotone::nameOf(method);
        EXPECT_LT(ratio, 4) << twotone::nameOf(method);
        // Products some 50 dB above the noise.
        const auto distorted =
            analysis::analyseIntermodulation(withNoise(twoTone(tones, 0.5, 48000, 1, {})), 48000, settings);
        EXPECT_GT(distorted.figures.mainPercent(), 100 * distorted.floor.mainPercent()) << twotone::nameOf(method);
        // The noise alone sets the floor: a few probes of it, so within some 10 dB.
        EXPECT_GT(distorted.floor.mainPercent(), clean.floor.mainPercent() / 3);
        EXPECT_LT(distorted.floor.mainPercent(), clean.floor.mainPercent() * 3);
    }
}

} // namespace
