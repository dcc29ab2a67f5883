#pragma once

#include "measure/measurement.h"

class Progress;

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// One synchronized exponential sweep (Novák, Lotton and Simon, "Synchronized
// Swept-Sine", JAES 63(10), 2015): x(t) = sin(2π f1 L exp(t/L)) with f1·L
// whole, so that harmonic k's response stands exactly L·ln k before the
// fundamental's and in phase with it. From one recording of it: the device's
// frequency response, and each harmonic's level and phase against frequency.
// No widgets, no sound system.
namespace measure {

constexpr int kChirpHarmonics = 9; // the fundamental and harmonics 2 to 9

// What is asked of a sweep.
struct ChirpPlan
{
    double fromHz = 20, toHz = 20000; // the band reported; the sweep runs wider
    // The sweep's own length; it comes out a little longer or shorter, so that
    // its f1·L is whole. Three seconds keep the whole measurement, lead-in and
    // tail included, near four.
    double seconds = 3;
    double peakDbfs = -12;
    int perOctave = 12; // points reported
    int smoothing = 0;  // the response smoothed over 1/N octave; 0: not smoothed
};

// The sweep as played, at one rate. Its times follow from its frequencies:
// the sweep passes f at L·ln(f / startHz).
struct Chirp
{
    double rate = 48000;
    double startHz = 10, endHz = 22000;           // the sweep
    double bandLowHz = 20, bandHighHz = 20000;    // faded in below, out above
    double rateL = 0;                              // L, seconds: startHz·L is whole
    double amplitude = 0;                          // the peak, full scale 1

    double seconds() const;
    std::size_t frames() const;
    // The same sweep recorded with a clock `ratio` times the player's, at `recordedRate`.
    Chirp heardAt(double recordedRate, double ratio) const;
};

// The sweep for `plan` at `rate`: from a quarter of the band's low end, two
// octaves that keep the deconvolution's own spread at low frequencies out of
// the band, to 1.05 times its top, which must lie below half the rate.
Chirp makeChirp(const ChirpPlan &plan, double rate);
std::vector<float> render(const Chirp &chirp);

struct HarmonicFigure
{
    double ratio = 0;        // of the fundamental
    double phaseDegrees = 0; // as analyze gives it: n ωt − φn against a fundamental of phase 0
};

// The figures at one excitation frequency.
struct ChirpPoint
{
    double frequencyHz = 0;
    double responseDb = 0;            // the fundamental over the output's level
    double responsePhaseDegrees = 0;  // the loop's delay taken out, in (-180, 180]
    std::optional<double> thdF;       // of the harmonics that stand above the noise
    // Harmonics 2 to 9: none where k·f lies above the band or the harmonic within the noise.
    std::array<std::optional<HarmonicFigure>, kChirpHarmonics - 1> harmonics;
    double noiseDb = 0; // the noise floor here, relative to the fundamental
};

struct ChirpResult
{
    State state = State::NoSignal;
    std::string why; // where there are no figures
    std::vector<ChirpPoint> points;
    double delaySeconds = 0;   // from the recording's start to the fundamental's response
    double noiseFloorDb = 0;   // the noise floor's median over the band, relative to the fundamental
    double seconds = 0;        // the measurement's wall time, where it was measured
    double rate = 0;
    // The fundamental's impulse response, the delay taken out: its first
    // sample lies `impulseStartSeconds` (below 0) before the peak.
    std::vector<float> impulse;
    double impulseStartSeconds = 0;
    int64_t overloaded = 0;
};

// Deconvolves a recording of the sweep, which starts at or a little before
// the sweep's first sample (at most its own length less the sweep and half a
// second), and reads it.
ChirpResult analyseChirp(const Chirp &chirp, const std::vector<float> &recording, const ChirpPlan &plan);

// Plays the sweep through the devices, records the answer and reads it; the
// delay is the whole loop's. Throws MeasureError (a band the devices' rate
// cannot hold too) and Progress::Cancelled.
ChirpResult measureChirp(const Devices &devices, const ChirpPlan &plan, const Progress *progress);

// A sweep file, for a device that cannot play and record at once (a phone, a
// recorder, another computer): half a second of silence, the marker, the
// sweep from the file's first second on, a second of silence, the marker
// again, half a second of silence. The marker: a tenth of a second of a
// linear chirp from 500 Hz to 8 kHz under a Hann window, at the sweep's level. The two markers' distance tells
// the player's clock from the recorder's.
std::vector<float> renderFile(const Chirp &chirp);

// The sweep of such a file, found in a recording of it made anywhere.
struct FoundChirp
{
    Chirp chirp;                  // as the recorder heard it: at its rate, by its clock
    double startSeconds = 0;      // where the sweep begins in the recording
    double clockPpm = 0;          // how much faster the recorder's clock ran than the player's
    std::vector<float> recording; // from a little before the sweep to before the second marker
    double leadSeconds = 0;       // how long before the sweep that begins
};
// Throws MeasureError where the two markers do not stand where a file of
// `nominal` (its rate aside) puts them, within 1000 ppm.
FoundChirp findChirp(const Chirp &nominal, const std::vector<float> &recording, double rate);

} // namespace measure
