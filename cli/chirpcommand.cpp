#include "cli/chirpcommand.h"

#include "analysis/recording.h"
#include "audio/soundfile.h"
#include "cli/output.h"
#include "dsp/soundmath.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr int kFileBits = 24;

QString fixed(double value, int decimals, int width)
{
    return QStringLiteral("%1").arg(std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("n/a"),
                                    width);
}

QJsonValue orNull(const std::optional<double> &value)
{
    return value && std::isfinite(*value) ? QJsonValue(*value) : QJsonValue();
}

} // namespace

QByteArray chirpReport(const measure::ChirpResult &result, bool json, const measure::FoundChirp *found)
{
    QByteArray text;
    if (!json) {
        text += "frequency Hz  response dB  phase °  THD_F dB";
        for (int n = 2; n <= measure::kChirpHarmonics; ++n)
            text += QStringLiteral("  H%1 dB   H%1 °").arg(n).toUtf8();
        text += "  noise dB\n";
    }
    for (const measure::ChirpPoint &point : result.points) {
        if (json) {
            QJsonArray harmonics;
            for (int n = 2; n <= measure::kChirpHarmonics; ++n) {
                const auto &figure = point.harmonics[std::size_t(n - 2)];
                harmonics.append(QJsonObject{
                    {QStringLiteral("n"), n},
                    {QStringLiteral("level_percent"), figure ? QJsonValue(100 * figure->ratio) : QJsonValue()},
                    {QStringLiteral("dbc"), figure ? QJsonValue(dsp::decibels(figure->ratio)) : QJsonValue()},
                    {QStringLiteral("phase_degrees"), figure ? QJsonValue(figure->phaseDegrees) : QJsonValue()},
                });
            }
            const QJsonObject object{
                {QStringLiteral("frequency_hz"), point.frequencyHz},
                {QStringLiteral("response_db"), point.responseDb},
                {QStringLiteral("response_phase_degrees"), point.responsePhaseDegrees},
                {QStringLiteral("thd_f_db"), orNull(point.thdF ? std::optional(dsp::decibels(*point.thdF)) : std::nullopt)},
                {QStringLiteral("noise_db"), point.noiseDb},
                {QStringLiteral("harmonics"), harmonics},
            };
            text += QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
            continue;
        }
        QString row = fixed(point.frequencyHz, 2, 12) + fixed(point.responseDb, 3, 13) +
                      fixed(point.responsePhaseDegrees, 2, 9) +
                      fixed(point.thdF ? dsp::decibels(*point.thdF) : NAN, 2, 10);
        for (const auto &figure : point.harmonics)
            row += figure ? fixed(dsp::decibels(figure->ratio), 2, 8) + fixed(figure->phaseDegrees, 1, 7)
                          : fixed(NAN, 0, 8) + fixed(NAN, 0, 7);
        text += (row + fixed(point.noiseDb, 1, 10) + QLatin1Char('\n')).toUtf8();
    }
    if (json) {
        QJsonObject sweep;
        if (found) {
            sweep.insert(QStringLiteral("clock_ppm"), found->clockPpm);
            sweep.insert(QStringLiteral("start_seconds"), found->startSeconds);
        }
        sweep.insert(QStringLiteral("state"), QString::fromUtf8(measure::stateText(result.state)));
        sweep.insert(QStringLiteral("delay_ms"), 1000 * result.delaySeconds);
        sweep.insert(QStringLiteral("noise_floor_db"), result.noiseFloorDb);
        sweep.insert(QStringLiteral("seconds"), result.seconds);
        sweep.insert(QStringLiteral("overloaded_samples"), qint64(result.overloaded));
        return text + QJsonDocument(sweep).toJson(QJsonDocument::Compact) + '\n';
    }
    QString summary = QStringLiteral("delay %1 ms, noise floor %2 dB, %3 s")
                          .arg(QString::number(1000 * result.delaySeconds, 'f', 3),
                               QString::number(result.noiseFloorDb, 'f', 1), QString::number(result.seconds, 'f', 2));
    if (found)
        summary += QStringLiteral(", the sweep at %1 s, the recorder's clock %2 ppm off the player's")
                       .arg(QString::number(found->startSeconds, 'f', 4))
                       .arg(QString::number(found->clockPpm, 'f', 1));
    if (result.state == measure::State::Overload)
        summary += QStringLiteral("  input overload");
    return text + summary.toUtf8() + '\n';
}

int writeChirpFile(const Options &options)
{
    const measure::Chirp chirp = measure::makeChirp(options.chirp, options.chirpRate);
    const std::vector<float> samples = measure::renderFile(chirp);
    return writeOutput(options.output, [&](QIODevice &out) {
        audio::SoundWriter writer(out, options.output, audio::containerFor(options.output), options.chirpRate,
                                  kFileBits);
        writer.write(samples.data(), samples.size());
        writer.close();
        return true;
    });
}

int analyzeChirp(const Options &options)
{
    const QString &file = options.files.front();
    try {
        const audio::Recording recording = analysis::readRecording(file, options.channel);
        const measure::Chirp nominal = measure::makeChirp(options.chirp, recording.sampleRate);
        if (nominal.endHz >= recording.sampleRate / 2.0)
            throw measure::MeasureError(QStringLiteral("a recording at %1 Hz cannot hold a sweep up to %2 Hz: give "
                                                       "--to as the sweep file was made, at most %3 Hz")
                                            .arg(recording.sampleRate)
                                            .arg(options.chirp.toHz)
                                            .arg(0.45 * recording.sampleRate)
                                            .toStdString());
        const measure::FoundChirp found = measure::findChirp(nominal, recording.samples, recording.sampleRate);
        measure::ChirpResult result = measure::analyseChirp(found.chirp, found.recording, options.chirp);
        result.delaySeconds -= found.leadSeconds;
        result.seconds = found.chirp.seconds();
        if (!measure::hasFigures(result.state)) {
            std::fprintf(stderr, "quenlari-cli: %s: %s (%s)\n", qPrintable(file), measure::stateText(result.state),
                         result.why.c_str());
            return kBadInput;
        }
        std::fputs(chirpReport(result, options.json, &found).constData(), stdout);
        return 0;
    } catch (const audio::AudioError &error) {
        std::fprintf(stderr, "quenlari-cli: %s\n", error.what());
    } catch (const measure::MeasureError &error) {
        std::fprintf(stderr, "quenlari-cli: %s: %s\n", qPrintable(file), error.what());
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "quenlari-cli: %s: there is not enough memory to hold it\n", qPrintable(file));
    }
    return kBadInput;
}

} // namespace cli
