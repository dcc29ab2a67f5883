#include "cli/commands.h"

#include "cli/imdnoisecommand.h"
#include "cli/output.h"
#include "dsp/soundmath.h"
#include "plot/redraw.h" // the plot's columns, as constants

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtConcurrent>

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

QString percent(double fraction, int decimals)
{
    return QString::number(fraction * 100, 'f', decimals);
}

QString decibelText(double fraction)
{
    return fraction > 0 ? QString::number(dsp::decibels(fraction), 'f', 2) : QStringLiteral("-inf");
}

QJsonValue decibelJson(double fraction)
{
    return fraction > 0 ? QJsonValue(dsp::decibels(fraction)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QByteArray thdReport(const tone::Tone &tone, bool json)
{
    const tone::Figures figures = tone::analyse(tone);
    if (json) {
        QJsonArray levels, phases;
        for (int k = 0; k < tone::kHarmonics; ++k) {
            levels.append(tone.levels[k]);
            phases.append(tone.phases[k]);
        }
        const QJsonObject report{
            {QStringLiteral("frequency_hz"), tone.frequencyHz},
            {QStringLiteral("levels_percent"), levels},
            {QStringLiteral("phases_degrees"), phases},
            {QStringLiteral("thd_f_percent"), figures.thdF * 100},
            {QStringLiteral("thd_f_db"), decibelJson(figures.thdF)},
            {QStringLiteral("thd_r_percent"), figures.thdR * 100},
            {QStringLiteral("thd_r_db"), decibelJson(figures.thdR)},
            {QStringLiteral("even_order_percent"), figures.even * 100},
            {QStringLiteral("odd_order_percent"), figures.odd * 100},
            {QStringLiteral("rms_over_fundamental_rms"), figures.rmsRatio},
            {QStringLiteral("peak_over_fundamental_amplitude"), figures.peak},
            {QStringLiteral("crest_factor"), figures.crestFactor},
        };
        return QJsonDocument(report).toJson(QJsonDocument::Compact) + '\n';
    }
    const QString text =
        QStringLiteral("THD_F (relative to the fundamental)  %1 %  %2 dB\n"
                       "THD_R (relative to the total RMS)    %3 %  %4 dB\n"
                       "even-order part (2, 4, 6)            %5 %\n"
                       "odd-order part (3, 5, 7)             %6 %\n"
                       "total RMS / fundamental RMS          %7\n"
                       "peak / fundamental amplitude         %8\n"
                       "crest factor                         %9\n")
            .arg(percent(figures.thdF, 6), decibelText(figures.thdF), percent(figures.thdR, 6),
                 decibelText(figures.thdR), percent(figures.even, 6), percent(figures.odd, 6),
                 QString::number(figures.rmsRatio, 'f', 6), QString::number(figures.peak, 'f', 6),
                 QString::number(figures.crestFactor, 'f', 6));
    return text.toUtf8();
}

bool writeCsv(QIODevice &device, const tone::Tone &tone, double rate, long long count)
{
    QByteArray header("column,time_s,fundamental");
    for (int n = 2; n <= tone::kComponents; ++n)
        header += ",harmonic_" + QByteArray::number(n);
    header += ",sum\n";
    if (device.write(header) != header.size())
        return false;
    // The plot's columns 1 to 1244 stand for x / 49800 s; samples start at 0.
    const bool columns = count <= 0;
    const long long first = columns ? plot::kFirstColumn : 0;
    const long long last = columns ? plot::kLastColumn : count - 1;
    const double perSecond = columns ? plot::kColumnsPerSecond : rate;
    QByteArray row;
    for (long long i = first; i <= last; ++i) {
        const double seconds = i / perSecond;
        row = QByteArray::number(i) + ',' + QByteArray::number(seconds, 'g', 15);
        for (double value : tone::componentsAt(tone, seconds))
            row += ',' + QByteArray::number(value, 'g', 10);
        row += '\n';
        if (device.write(row) != row.size())
            return false;
    }
    return true;
}

namespace {

constexpr double kLeastExplained = 0.9;

} // namespace

QJsonObject analysisJson(const analysis::AnalysedRecording &outcome)
{
    const analysis::Analysis &r = outcome.result;
    QJsonArray harmonics;
    for (const analysis::Harmonic &h : r.harmonics) {
        harmonics.append(QJsonObject{
            {QStringLiteral("n"), h.n},
            {QStringLiteral("level_percent"), h.present ? jsonNumber(h.levelPercent) : QJsonValue()},
            {QStringLiteral("dbc"), h.present ? jsonNumber(h.dbc) : QJsonValue()},
            {QStringLiteral("phase_degrees"),
             h.present ? jsonNumber(analysis::roundedPhase(h.phaseDegrees, 6)) : QJsonValue()},
        });
    }
    return QJsonObject{
        {QStringLiteral("file"), outcome.file},
        {QStringLiteral("sample_rate"), outcome.sampleRate},
        {QStringLiteral("channels"), outcome.channels},
        {QStringLiteral("channel"), outcome.channel},
        {QStringLiteral("frames"), static_cast<qint64>(r.frames)},
        {QStringLiteral("fundamental_hz"), r.fundamentalHz},
        {QStringLiteral("fundamental_dbfs"), jsonNumber(r.fundamentalDbfs)},
        {QStringLiteral("dc_offset"), r.dcOffset},
        {QStringLiteral("peak_dbfs"), jsonNumber(r.peakDbfs)},
        {QStringLiteral("clipped_samples"), static_cast<qint64>(r.clippedSamples)},
        {QStringLiteral("beyond_full_scale_samples"), static_cast<qint64>(r.beyondFullScale)},
        {QStringLiteral("harmonics"), harmonics},
        {QStringLiteral("thd_f_percent"), jsonNumber(r.thdF * 100)},
        {QStringLiteral("thd_f_db"), jsonNumber(dsp::decibels(r.thdF))},
        {QStringLiteral("thd_r_percent"), jsonNumber(r.thdR * 100)},
        {QStringLiteral("thd_n_percent"), r.thdN * 100},
        {QStringLiteral("thd_n_db"), jsonNumber(dsp::decibels(r.thdN))},
        {QStringLiteral("sinad_db"), r.thdN > 0 ? jsonNumber(-dsp::decibels(r.thdN)) : QJsonValue()},
        {QStringLiteral("explained_percent"), r.explained * 100},
        {QStringLiteral("tone_over_noise_db"), jsonNumber(r.toneOverNoiseDb)},
        {QStringLiteral("note"), outcome.note.isEmpty() ? QJsonValue() : QJsonValue(outcome.note)},
    };
}

QByteArray analysisReport(const analysis::AnalysedRecording &outcome, bool json)
{
    if (json)
        return QJsonDocument(analysisJson(outcome)).toJson(QJsonDocument::Compact) + '\n';
    const analysis::Analysis &r = outcome.result;
    const double fundamentalPercentDb = dsp::decibels(r.thdF);
    QString text;
    text += QStringLiteral("file            %1\n").arg(outcome.file);
    if (!outcome.note.isEmpty())
        text += QStringLiteral("note            %1\n").arg(outcome.note);
    text += QStringLiteral("recording       %1 Hz, channel %2 of %3, %4 frames (%5 s)\n")
                .arg(outcome.sampleRate)
                .arg(outcome.channel)
                .arg(outcome.channels)
                .arg(r.frames)
                .arg(fixedText(double(r.frames) / outcome.sampleRate, 3));
    text += QStringLiteral("fundamental     %1 Hz at %2 dBFS\n")
                .arg(fixedText(r.fundamentalHz, 6), fixedText(r.fundamentalDbfs, 2));
    text += QStringLiteral("tone over noise %1 dB (its peak over the spectrum's median)\n")
                .arg(fixedText(r.toneOverNoiseDb, 1));
    text += QStringLiteral("DC offset       %1 (full scale 1)\n").arg(fixedText(r.dcOffset, 6));
    text += QStringLiteral("peak            %1 dBFS\n").arg(fixedText(r.peakDbfs, 2));
    text += QStringLiteral("clipped         %1 samples%2\n")
                .arg(r.clippedSamples)
                .arg(r.clippedSamples > 0 ? QStringLiteral("  (warning: the recording clips)") : QString());
    if (r.beyondFullScale > 0)
        text += QStringLiteral("beyond full scale %1 samples (floating point: not clipped)\n")
                    .arg(r.beyondFullScale);
    text += QStringLiteral("harmonic    level %      dBc   phase (deg)\n");
    for (const analysis::Harmonic &h : r.harmonics) {
        if (!h.present) {
            text += QStringLiteral("%1    absent: at or above half the sample rate\n").arg(h.n, 8);
            continue;
        }
        text += QStringLiteral("%1  %2  %3  %4\n")
                    .arg(h.n, 8)
                    .arg(fixedText(h.levelPercent, 4), 9)
                    .arg(fixedText(h.dbc, 2), 8)
                    .arg(fixedText(analysis::roundedPhase(h.phaseDegrees, 2), 2), 12);
    }
    text += QStringLiteral("THD_F           %1 %  (%2 dB)\n")
                .arg(fixedText(r.thdF * 100, 4), fixedText(fundamentalPercentDb, 2));
    text += QStringLiteral("THD_R           %1 %\n").arg(fixedText(r.thdR * 100, 4));
    text += QStringLiteral("THD+N           %1 %  (%2 dB, %3 to %4 Hz)\n")
                .arg(fixedText(r.thdN * 100, 4), fixedText(dsp::decibels(r.thdN), 2), fixedText(r.bandLowHz, 0),
                     fixedText(r.bandHighHz, 0));
    text += QStringLiteral("SINAD           %1 dB\n").arg(fixedText(-dsp::decibels(r.thdN), 2));
    if (!r.fundamentalInBand)
        text += QStringLiteral(
            "note            the band leaves the fundamental out: THD+N holds all that is in it\n");
    if (r.explained < kLeastExplained)
        text +=
            QStringLiteral("warning         the fundamental and its harmonics carry only %1 % of the power: "
                           "these figures may mean little\n")
                .arg(fixedText(r.explained * 100, 0));
    return text.toUtf8();
}

int analyzeFiles(const Options &options)
{
    const QList<analysis::AnalysedRecording> outcomes =
        QtConcurrent::blockingMapped(options.files, [&](const QString &file) {
            if (options.imd) {
                analysis::ImdSettings settings;
                settings.tones = *options.imd;
                return analysis::analyseIntermodulationOf(file, options.channel, settings);
            }
            if (options.noise) {
                analysis::NoiseSettings settings;
                settings.bandLowHz = options.analysis.bandLowHz;
                settings.bandHighHz = options.analysis.bandHighHz;
                return analysis::analyseNoiseOf(file, options.channel, settings);
            }
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
        const Source source{outcome.file,    outcome.sampleRate, outcome.channels,
                            outcome.channel, outcome.frames,     outcome.note};
        const auto line = [](const QJsonObject &object) {
            return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
        };
        QByteArray text;
        if (outcome.imd)
            text = options.json ? line(imdJson(source, *outcome.imd)) : imdReport(source, *outcome.imd);
        else if (outcome.noise)
            text = options.json ? line(noiseJson(source, *outcome.noise)) : noiseReport(source, *outcome.noise);
        else
            text = analysisReport(outcome, options.json);
        std::fputs(text.constData(), stdout);
        std::fflush(stdout);
    }
    return status;
}

} // namespace cli
