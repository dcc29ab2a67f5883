// quenlari-cli: the synthesis and the analysis of the main window on the
// command line, with the tone as audio and the plot as a picture.

#include "app/version.h"
#include "base/savefile.h"
#include "cli/commands.h"
#include "cli/measurecommand.h"
#include "cli/options.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryFile>
#include <QtConcurrent>

#include <cstdio>
#include <cstring>
#include <memory>
#include <functional>

namespace {

constexpr int kBadInput = 2;
constexpr int kFailed = 1;

// Writes the whole output or nothing: a file is written beside its final
// name and put in place only when complete. Standard output gets a finished
// temporary file, since sound files are written with seeks.
int writeOutput(const QString &name, const std::function<bool(QIODevice &)> &write)
{
    const bool toStandardOutput = name == QLatin1String("-");
    try {
        if (toStandardOutput) {
            QTemporaryFile file;
            QFile out;
            if (file.open() && write(file) && file.flush() && file.seek(0) &&
                out.open(stdout, QIODevice::WriteOnly)) {
                bool copied = true;
                while (copied && !file.atEnd()) {
                    const QByteArray block = file.read(1 << 20);
                    copied = out.write(block) == block.size();
                }
                if (copied && out.flush())
                    return 0;
            }
            std::fprintf(stderr, "quenlari-cli: could not write to standard output\n");
            return kFailed;
        }
        saveWhole(name, write);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quenlari-cli: %s\n", error.what());
    }
    return kFailed;
}

} // namespace

int main(int argc, char *argv[])
{
    // Text on the plot needs a platform; the tool needs no display. The
    // toolkit's own notes on that (a missing runtime folder, say) are not
    // the user's business: standard error carries this tool's messages only.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "quenlari-cli: %s\n", qPrintable(message));
    });
    // Analysing draws nothing: it starts without the graphics, some 15 ms sooner.
    const bool drawing = !(argc > 1 && (std::strcmp(argv[1], "analyze") == 0 || std::strcmp(argv[1], "devices") == 0 ||
                                        std::strcmp(argv[1], "measure") == 0));
    std::unique_ptr<QCoreApplication> app;
    if (drawing) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("quenlari-cli"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(kVersion.major).arg(kVersion.minor).arg(kVersion.revision));

    const cli::Options options = cli::parse(QCoreApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "quenlari-cli: %s\n", qPrintable(options.error));
        return kBadInput;
    }
    switch (options.command) {
    case cli::Command::Help:
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    case cli::Command::Version:
        std::printf("quenlari-cli %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    case cli::Command::Thd:
        std::fputs(cli::thdReport(options.tone, options.json).constData(), stdout);
        return 0;
    case cli::Command::Plot:
        return writeOutput(options.output,
                           [&](QIODevice &out) { return cli::plotImage(options.tone).save(&out, "PNG"); });
    case cli::Command::Wav:
        return writeOutput(options.output, [&](QIODevice &out) {
            audio::writeTone(out, options.output, options.container, options.tone, options.wav);
            return true;
        });
    case cli::Command::Analyze: {
        // Each recording on a core of its own; the reports keep the order given.
        const QList<analysis::AnalysedRecording> outcomes =
            QtConcurrent::blockingMapped(options.files, [&](const QString &file) {
                return analysis::analyseRecording(file, options.channel, options.analysis);
            });
        int status = 0;
        bool first = true;
        for (const analysis::AnalysedRecording &outcome : outcomes) {
            if (!outcome.error.isEmpty()) {
                std::fprintf(stderr, "quenlari-cli: %s\n", qPrintable(outcome.error));
                status = kBadInput;
                continue;
            }
            if (!options.json && !first)
                std::fputs("\n", stdout);
            first = false;
            std::fputs(cli::analysisReport(outcome, options.json).constData(), stdout);
            std::fflush(stdout);
        }
        return status;
    }
    case cli::Command::Devices:
        return cli::listDevices(options.json);
    case cli::Command::Measure:
        return cli::measureDevice(options.measure, options.json);
    case cli::Command::Csv: {
        const long long rows =
            options.rowsPerSample ? static_cast<long long>(audio::sampleCount(options.wav)) : 0;
        return writeOutput(options.output, [&](QIODevice &out) {
            return cli::writeCsv(out, options.tone, options.wav.rate, rows);
        });
    }
    }
    return 0;
}
