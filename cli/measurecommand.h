#pragma once

#include "cli/options.h"

// quenlari-cli devices and measure: what they print, and their exit status
// (2 for no device, a device lost or no signal, with one line on standard error).
namespace cli {

int listDevices(bool json);
int measureDevice(const MeasureOptions &options, bool json);

} // namespace cli
