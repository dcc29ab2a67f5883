#pragma once

#include "analysis/fourier.h"
#include "base/errors.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class Progress;

// The analysis of one channel of a recording: its fundamental, the level and
// phase of each harmonic, THD, THD+N and its spectrum. Samples and a rate in,
// a plain result out; no file, no window.
namespace analysis {

// A tone's peak stands at least this far above the spectrum's median to be a
// tone (white noise alone reaches some 15 dB): the analyser's gate, and a
// measurement's "no signal" below it.
constexpr double kToneOverNoiseDb = 30;

class AnalysisError : public QuenlariError
{
public:
    using QuenlariError::QuenlariError;
};

constexpr int kDefaultHarmonics = 7;
constexpr int kMostHarmonics = 20;

struct Settings
{
    int harmonics = kDefaultHarmonics;   // the highest harmonic reported, 2 to 20
    std::optional<double> fundamentalHz; // a start for the fundamental; found when empty
    double bandLowHz = 20;               // THD+N's band; the top is cut to half the rate
    double bandHighHz = 20000;
    Weighting weighting = Weighting::None; // THD+N's noise, as the ear hears it with A
    bool spectrum = false; // also the magnitude spectrum, for showing
    // The sample values of the format's lowest and highest codes: a run of two
    // or more samples at one of them is clipped. Floating-point data clips at
    // full scale, 1.
    float lowestCode = -1;
    float highestCode = 1;
};

struct Harmonic
{
    int n = 0;
    bool present = false; // false at or above half the sample rate
    double amplitude = 0; // full scale 1
    double levelPercent = 0;
    double dbc = 0;
    double phaseDegrees = 0; // L_n sin(2 pi n f t - phi_n) against a fundamental of phase 0, in [0, 360)
};

struct Analysis
{
    double sampleRate = 0;
    int64_t frames = 0;
    double fundamentalHz = 0;
    double fundamentalAmplitude = 0;
    double fundamentalDbfs = 0;
    double dcOffset = 0;
    double peakDbfs = 0; // -inf for silence
    int64_t clippedSamples = 0;
    int64_t beyondFullScale = 0;     // samples above 1 in size: floating-point data only
    std::vector<Harmonic> harmonics; // 2 to Settings::harmonics
    double thdF = 0;                 // fractions, not percent; NaN where no harmonic is measurable
    double thdR = 0;
    // THD+N: the RMS of everything but DC and the fundamental within the band,
    // over the RMS of the whole signal less DC.
    double thdN = 0;
    // The share of the signal's power (less DC) that the fundamental and its
    // harmonics carry: well below 1, the figures may mean little.
    double explained = 0;
    // What stands out of the residual (all but DC and the fundamental) in a
    // few stretches of whole periods, beyond the level of its quietest
    // quarter, over the energy of the rest: a gap, a click, a jump of level
    // or phase in an otherwise steady record, against the record's own noise
    // and distortion. 0 where they are alike all through; above 0.26, what
    // stands out alone raises THD+N by more than 1 dB.
    double disturbance = 0;
    bool fundamentalInBand = true;
    // How far the fundamental's peak stands above the spectrum's median where
    // it was found: at least kToneOverNoiseDb, unless the fundamental was given.
    double toneOverNoiseDb = 0;
    double bandLowHz = 0;
    double bandHighHz = 0;
    MagnitudeSpectrum spectrum; // when asked for

    // The level of harmonic n in percent; 0 when it is absent or not reported.
    double levelPercent(int n) const;
};

// Throws AnalysisError for samples that hold no tone to analyse (silent, too
// short, no peak well above the noise); Progress::Cancelled when cancelled.
Analysis analyse(const std::vector<float> &samples, double rate, const Settings &settings,
                 const Progress *progress = nullptr);

// Samples at one of the format's extreme codes in runs of two or more: a sine
// whose peak touches the highest code once is not clipped.
int64_t clippedSamples(const std::vector<float> &samples, float lowest, float highest);

// A phase rounded to `decimals` places, in [0, 360) after the rounding.
double roundedPhase(double degrees, int decimals);

} // namespace analysis
