// quenlari-cli: the synthesis and the analysis of the main window on the
// command line, with the tone as audio and the plot as a picture.

#include "app/version.h"
#include "cli/chirpcommand.h"
#include "cli/commands.h"
#include "cli/extra.h"
#include "cli/options.h"
#include "cli/output.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <dlfcn.h>

namespace {

using cli::kBadInput;
using cli::kFailed;

// The module of the commands that draw, play or record: beside the program
// (a build) or in its library folder (installed).
const cli::Extra *loadExtra(std::string &why)
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = program.parent_path();
    for (const std::filesystem::path &place : {folder, folder / QUENLARI_EXTRA_FROM_BIN}) {
        const std::filesystem::path module = place / "quenlari-cli-extra.so";
        if (!std::filesystem::exists(module))
            continue;
        if (void *handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            if (auto entry = reinterpret_cast<const cli::Extra *(*)()>(dlsym(handle, "quenlari_cli_extra")))
                return entry();
        }
        const char *dlerrorText = dlerror();
        why = dlerrorText ? dlerrorText : module.string() + " holds no commands";
        return nullptr;
    }
    why = "quenlari-cli-extra.so is missing beside the program and in " +
          (folder / QUENLARI_EXTRA_FROM_BIN).lexically_normal().string();
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    // The toolkit's own notes (a missing runtime folder, say) are not the
    // user's business: standard error carries this tool's messages only.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "quenlari-cli: %s\n", qPrintable(message));
    });
    // Only the commands that draw, play or record load the module that holds
    // the graphics and the sound libraries.
    const cli::Extra *extra = nullptr;
    std::string why;
    const bool plotting = argc > 1 && std::strcmp(argv[1], "plot") == 0;
    if (plotting && !(extra = loadExtra(why))) {
        std::fprintf(stderr, "quenlari-cli: plot cannot load its module (%s)\n", why.c_str());
        return kFailed;
    }
    std::unique_ptr<QCoreApplication> app(plotting ? extra->drawingApplication(argc, argv)
                                                   : new QCoreApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("quenlari-cli"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(kVersion.major).arg(kVersion.minor).arg(kVersion.revision));

    const cli::Options options = cli::parse(QCoreApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "quenlari-cli: %s\n", qPrintable(options.error));
        return kBadInput;
    }
    const bool needsExtra = options.command == cli::Command::Plot || options.command == cli::Command::Devices ||
                            options.command == cli::Command::Measure;
    if (needsExtra && !extra) {
        if (!(extra = loadExtra(why))) {
            std::fprintf(stderr, "quenlari-cli: the command cannot load its module (%s)\n", why.c_str());
            return kFailed;
        }
        // Options before the command's name: the plot's application is made now.
        if (options.command == cli::Command::Plot) {
            app.reset();
            app.reset(extra->drawingApplication(argc, argv));
        }
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
        return extra->plot(options);
    case cli::Command::Wav:
        return cli::writeOutput(options.output, [&](QIODevice &out) {
            if (options.imd)
                audio::writeTwoTone(out, options.output, options.container, *options.imd, options.wav);
            else
                audio::writeTone(out, options.output, options.container, options.tone, options.wav);
            return true;
        });
    case cli::Command::Analyze:
        return cli::analyzeFiles(options);
    case cli::Command::Chirp:
        return cli::writeChirpFile(options);
    case cli::Command::AnalyzeChirp:
        return cli::analyzeChirp(options);
    case cli::Command::Devices:
        return extra->devices(options.json);
    case cli::Command::Measure:
        return extra->measure(options.measure, options.json);
    case cli::Command::Csv: {
        const long long rows =
            options.rowsPerSample ? static_cast<long long>(audio::sampleCount(options.wav)) : 0;
        return cli::writeOutput(options.output, [&](QIODevice &out) {
            return cli::writeCsv(out, options.tone, options.wav.rate, rows);
        });
    }
    }
    return 0;
}
