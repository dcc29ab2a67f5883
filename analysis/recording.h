#pragma once

#include "analysis/analyser.h"
#include "audio/soundfile.h"

#include <QString>

class Progress;

namespace analysis {

// One channel of a sound file, analysed; or why it could not be.
struct AnalysedRecording
{
    QString file;
    int sampleRate = 0;
    int channels = 0;
    int channel = 0;
    Analysis result;
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

} // namespace analysis
