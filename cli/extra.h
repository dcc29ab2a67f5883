#pragma once

#include "cli/options.h"

class QCoreApplication;

namespace cli {

// The commands that draw or play and record, in a module of their own: the
// others start without loading the graphics or the sound libraries, which
// cost the dynamic loader many times what analysing a short recording does.
struct Extra
{
    // The application the plot needs: one that draws text.
    QCoreApplication *(*drawingApplication)(int &argc, char **argv);
    int (*plot)(const Options &options);
    int (*devices)(bool json);
    int (*measure)(const MeasureOptions &options, bool json);
};

} // namespace cli

// The module's one entry, found by name.
extern "C" const cli::Extra *quenlari_cli_extra();
