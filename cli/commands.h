#pragma once

#include "analysis/recording.h"
#include "cli/options.h"
#include "synthesis/tone.h"

#include <QByteArray>
#include <QJsonObject>

class QIODevice;

namespace cli {

// The distortion figures as text lines, or as one JSON object.
QByteArray thdReport(const tone::Tone &tone, bool json);

// The waveform as a table: a header row, then one row a column of the plot
// (time x / 49800 s) or, with rate and count, one row a sample.
bool writeCsv(QIODevice &device, const tone::Tone &tone, double rate, long long count);

// An analysed recording as a readable table, or as one JSON object on one line.
QByteArray analysisReport(const analysis::AnalysedRecording &outcome, bool json);
QJsonObject analysisJson(const analysis::AnalysedRecording &outcome);

// quenlari-cli analyze [--imd METHOD | --noise] FILE...: each recording on a
// core of its own, the reports in the order given, a line on standard error
// for each that could not be analysed.
int analyzeFiles(const Options &options);

} // namespace cli
