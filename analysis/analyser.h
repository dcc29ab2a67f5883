#pragma once

#include "analysis/fourier.h"
#include "app/errors.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class Progress;

// The analysis of one channel of a recording: its fundamental, the level and
// phase of each harmonic, THD, THD+N and its spectrum. Samples and a rate in,
// a plain result out; no file, no window.
namespace analysis {

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
    bool spectrum = false; // also the magnitude spectrum, for showing
};

struct Harmonic
{
    int n = 0;
    bool present = false; // false above half the sample rate
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
    std::vector<Harmonic> harmonics; // 2 to Settings::harmonics
    double thdF = 0;                 // fractions, not percent
    double thdR = 0;
    double thdN = 0;
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

double decibels(double fraction); // 20 log10

} // namespace analysis
