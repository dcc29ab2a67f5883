#pragma once

#include "analysis/analyser.h"
#include "audio/tonewriter.h"
#include "measure/chirp.h"
#include "measure/measurement.h"

#include <optional>
#include "synthesis/tone.h"
#include "synthesis/twotone.h"

#include <QString>
#include <QStringList>

// The command line of quenlari-cli, read and checked. Any mistake gives one
// line naming the option and what it accepts.
namespace cli {

enum class Command { Help, Version, Thd, Plot, Wav, Csv, Analyze, Devices, Measure, Chirp, AnalyzeChirp };

struct MeasureOptions
{
    measure::Devices devices;
    measure::Stimulus stimulus = measure::sine(1000, -12);
    double seconds = 1; // one measurement: the block recorded
    std::optional<measure::SweepPlan> sweep; // none: one measurement, or live
    std::optional<measure::ChirpPlan> chirp; // one sweep in place of steps
    measure::SweepTiming timing;
    measure::Calibration calibration;
    bool crosstalk = false; // output channel `channel` driven, both input channels read
    bool live = false; // a line a block, until interrupted or `count` blocks (0: no end)
    int count = 0;
};

struct Options
{
    Command command = Command::Help;
    tone::Tone tone;
    audio::ToneFormat wav;
    audio::Container container = audio::Container::Wav; // wav: from the output's name
    bool json = false;
    bool rowsPerSample = false; // csv: --seconds or --rate given
    QString output;             // "-" for standard output
    QStringList files;          // analyze: the recordings, in order
    int channel = 1;            // analyze: from 1
    analysis::Settings analysis;
    std::optional<twotone::TwoTone> imd; // analyze, wav: the two tones of an intermodulation test
    bool noise = false;                  // analyze: the noise's level, plain and A-weighted
    MeasureOptions measure;
    measure::ChirpPlan chirp; // chirp, analyze-chirp
    int chirpRate = 48000;    // chirp: the file's
    QString error;              // set when the command line is refused
    QString helpText;
};

Options parse(const QStringList &arguments);

} // namespace cli
