// libFuzzer target: a recording as Tools > Analyse Recording and quenlari-cli
// analyze take it, read from memory by libsndfile and analysed.

#include "analysis/analyser.h"
#include "audio/soundfile.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    analysis::Settings settings;
    settings.spectrum = true;
    try {
        const audio::Recording recording = audio::readChannel(bytes, QStringLiteral("input"), 1);
        analysis::analyse(recording.samples, recording.sampleRate, settings);
    } catch (const audio::AudioError &) {
        // a clear message in the program; nothing to check here
    } catch (const analysis::AnalysisError &) {
    }
    return 0;
}
