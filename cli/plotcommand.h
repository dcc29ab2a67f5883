#pragma once

#include "synthesis/tone.h"

#include <QImage>

namespace cli {

// The plot surface as the main window shows it after the calculate button
// with these controls: the same state, the same THD routine, the same redraw.
// ASSUMPTION: the tone is within the main window's ranges (whole levels 0 to 20,
// whole phases, whole frequency).
QImage plotImage(const tone::Tone &tone);

} // namespace cli
