#include "analysis/recording.h"

#include "audio/soundfile.h"
#include "base/progress.h"

#include <QFile>

#include <cstdio>

namespace analysis {

namespace {

constexpr double kReadingShare = 0.4; // of the progress bar
const QString kStandardInput = QStringLiteral("-");

audio::Recording readStandardInput(int channel, const Progress *progress)
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        throw audio::AudioError(QStringLiteral("standard input"), QStringLiteral("it cannot be read"));
    return audio::readChannel(in.readAll(), QStringLiteral("standard input"), channel, progress);
}

} // namespace

AnalysedRecording analyseRecording(const QString &file, int channel, const Settings &settings,
                                   Progress *progress)
{
    AnalysedRecording analysed;
    analysed.file = file;
    analysed.channel = channel;
    try {
        if (progress)
            progress->setSpan(0, kReadingShare);
        const audio::Recording recording = file == kStandardInput
                                               ? readStandardInput(channel, progress)
                                               : audio::readChannel(file, channel, progress);
        analysed.sampleRate = recording.sampleRate;
        analysed.channels = recording.channels;
        if (progress)
            progress->setSpan(kReadingShare, 1);
        analysed.note = recording.note;
        Settings withCodes = settings;
        withCodes.lowestCode = recording.lowestCode;
        withCodes.highestCode = recording.highestCode;
        analysed.result = analyse(recording.samples, recording.sampleRate, withCodes, progress);
    } catch (const audio::AudioError &error) {
        analysed.error = QString::fromUtf8(error.what());
    } catch (const AnalysisError &error) {
        analysed.error = file + QStringLiteral(": ") + QString::fromUtf8(error.what());
    } catch (const std::bad_alloc &) {
        analysed.error = file + QStringLiteral(": there is not enough memory to hold it");
    } catch (const Progress::Cancelled &) {
        throw;
    } catch (const std::exception &error) {
        // Not expected; still a message naming the file, never a crash.
        analysed.error = file + QStringLiteral(": ") + QString::fromUtf8(error.what());
    }
    return analysed;
}

} // namespace analysis
