#pragma once

#include "cli/options.h"
#include "measure/chirp.h"

#include <QByteArray>

// One exponential sweep on the command line: its figures, its file, and a recording of that file read.
namespace cli {

// A line a frequency point, then one with the sweep's own figures; or a JSON
// object a point and a last one with the sweep's. `found`: where the sweep of
// a recording was found, and its clock.
QByteArray chirpReport(const measure::ChirpResult &result, bool json, const measure::FoundChirp *found = nullptr);

// quenlari-cli chirp -o FILE
int writeChirpFile(const Options &options);
// quenlari-cli analyze-chirp RECORDING
int analyzeChirp(const Options &options);

} // namespace cli
