#include "analysis/recording.h"

#include "app/progress.h"
#include "audio/soundfile.h"

namespace analysis {

namespace {
constexpr double kReadingShare = 0.4; // of the progress bar
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
        const audio::Recording recording = audio::readChannel(file, channel, progress);
        analysed.sampleRate = recording.sampleRate;
        analysed.channels = recording.channels;
        if (progress)
            progress->setSpan(kReadingShare, 1);
        analysed.result = analyse(recording.samples, recording.sampleRate, settings, progress);
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
