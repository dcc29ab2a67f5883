#pragma once

#include "synthesis/tone.h"
#include "analysis/analyser.h"
#include "audio/tonewriter.h"

#include <QString>
#include <QStringList>

// The command line of quenlari-cli, read and checked. Any mistake gives one
// line naming the option and what it accepts.
namespace cli {

enum class Command { Help, Version, Thd, Plot, Wav, Csv, Analyze };

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
    QString error;              // set when the command line is refused
    QString helpText;
};

Options parse(const QStringList &arguments);

} // namespace cli
