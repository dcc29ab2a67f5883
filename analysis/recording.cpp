#include "analysis/recording.h"

#include "audio/soundfile.h"
#include "base/progress.h"

#include <QFile>

#include <cstdio>

namespace analysis {

namespace {

constexpr double kReadingShare = 0.4; // of the progress bar
const QString kStandardInput = QStringLiteral("-");

// Standard input is read whole before libsndfile reads it, as a pipe cannot
// seek: its head first, so that what is no sound file is refused at once,
// then no more than a file of the same format may hold.
audio::Recording readStandardInput(int channel, const Progress *progress)
{
    constexpr qint64 kHeadBytes = 65536;
    constexpr qint64 kChunkBytes = qint64(1) << 20;
    const QString name = QStringLiteral("standard input");
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        throw audio::AudioError(name, QStringLiteral("it cannot be read"));
    QByteArray bytes = in.read(kHeadBytes);
    const qint64 most = audio::mostBytes(bytes, name);
    for (;;) {
        if (progress)
            progress->check();
        const QByteArray chunk = in.read(kChunkBytes);
        if (chunk.isEmpty())
            break;
        if (bytes.size() + chunk.size() > most)
            throw audio::AudioError(name, QStringLiteral("it holds more than the 2^31 samples this program "
                                                         "reads, from a file as from a pipe"));
        bytes += chunk;
    }
    return audio::readChannel(bytes, name, channel, progress);
}

} // namespace

audio::Recording readRecording(const QString &file, int channel, const Progress *progress)
{
    return file == kStandardInput ? readStandardInput(channel, progress) : audio::readChannel(file, channel, progress);
}

namespace {

// Reads the channel, then `analyse(recording, analysed)`; every failure but a
// cancel becomes the message in `error`.
template <typename Analyse>
AnalysedRecording analysedWith(const QString &file, int channel, Progress *progress, Analyse analyse)
{
    AnalysedRecording analysed;
    analysed.file = file;
    analysed.channel = channel;
    try {
        if (progress)
            progress->setSpan(0, kReadingShare);
        const audio::Recording recording = readRecording(file, channel, progress);
        analysed.sampleRate = recording.sampleRate;
        analysed.channels = recording.channels;
        analysed.frames = int64_t(recording.samples.size());
        analysed.note = recording.note;
        if (progress)
            progress->setSpan(kReadingShare, 1);
        analyse(recording, analysed);
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

} // namespace

AnalysedRecording analyseRecording(const QString &file, int channel, const Settings &settings,
                                   Progress *progress)
{
    return analysedWith(
        file, channel, progress, [&](const audio::Recording &recording, AnalysedRecording &analysed) {
            Settings withCodes = settings;
            withCodes.lowestCode = recording.lowestCode;
            withCodes.highestCode = recording.highestCode;
            analysed.result = analyse(recording.samples, recording.sampleRate, withCodes, progress);
        });
}

AnalysedRecording analyseIntermodulationOf(const QString &file, int channel, const ImdSettings &settings,
                                           Progress *progress)
{
    return analysedWith(
        file, channel, progress, [&](const audio::Recording &recording, AnalysedRecording &analysed) {
            ImdSettings withCodes = settings;
            withCodes.lowestCode = recording.lowestCode;
            withCodes.highestCode = recording.highestCode;
            analysed.imd =
                analyseIntermodulation(recording.samples, recording.sampleRate, withCodes, progress);
        });
}

AnalysedRecording analyseNoiseOf(const QString &file, int channel, const NoiseSettings &settings,
                                 Progress *progress)
{
    return analysedWith(
        file, channel, progress, [&](const audio::Recording &recording, AnalysedRecording &analysed) {
            analysed.noise = analyseNoise(recording.samples, recording.sampleRate, settings, progress);
        });
}

} // namespace analysis
