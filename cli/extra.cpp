#include "cli/extra.h"

#include "cli/measurecommand.h"
#include "cli/output.h"
#include "cli/plotcommand.h"

#include <QGuiApplication>

namespace {

QCoreApplication *drawingApplication(int &argc, char **argv)
{
    // Text on the plot needs a platform; the tool needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QGuiApplication(argc, argv);
}

int plot(const cli::Options &options)
{
    return cli::writeOutput(options.output,
                            [&](QIODevice &out) { return cli::plotImage(options.tone).save(&out, "PNG"); });
}

const cli::Extra kExtra{&drawingApplication, &plot, &cli::listDevices, &cli::measureDevice};

} // namespace

const cli::Extra *quenlari_cli_extra()
{
    return &kExtra;
}
