#pragma once

#include "analysis/analyser.h"
#include "analysis/intermod.h"
#include "analysis/noise.h"
#include "audio/soundfile.h"

#include <QString>

#include <optional>

class Progress;

namespace analysis {

// One channel of a sound file, analysed; or why it could not be.
struct AnalysedRecording
{
    QString file;
    int sampleRate = 0;
    int channels = 0;
    int channel = 0;
    int64_t frames = 0;
    Analysis result; // its harmonics, where those were asked for
    // Or the intermodulation of two tones, or the noise.
    std::optional<Intermodulation> imd;
    std::optional<Noise> noise;
    QString error; // "FILE: reason"; empty when analysed
    QString note;  // what the reading noticed, such as a file shorter than its header says
};

// Reads the channel (from 1) of a sound file, or of standard input for "-".
// Throws audio::AudioError and Progress::Cancelled.
audio::Recording readRecording(const QString &file, int channel, const Progress *progress = nullptr);

// Reads the channel (from 1) and analyses it; the file "-" is standard input.
// A file that cannot be read or analysed gives its reason in `error`; a
// cancel throws Progress::Cancelled.
AnalysedRecording analyseRecording(const QString &file, int channel, const Settings &settings,
                                   Progress *progress = nullptr);
// The same for two tones' intermodulation (the file's extreme codes taken as
// its clipping levels) and for the noise.
AnalysedRecording analyseIntermodulationOf(const QString &file, int channel, const ImdSettings &settings,
                                           Progress *progress = nullptr);
AnalysedRecording analyseNoiseOf(const QString &file, int channel, const NoiseSettings &settings,
                                 Progress *progress = nullptr);

} // namespace analysis
