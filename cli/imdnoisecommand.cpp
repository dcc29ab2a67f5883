#include "cli/imdnoisecommand.h"

#include "cli/output.h"
#include "dsp/soundmath.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace cli {

namespace {

QJsonObject sourceJson(const Source &source)
{
    return QJsonObject{
        {QStringLiteral("file"), source.name},
        {QStringLiteral("sample_rate"), source.sampleRate},
        {QStringLiteral("channels"), source.channels},
        {QStringLiteral("channel"), source.channel},
        {QStringLiteral("frames"), static_cast<qint64>(source.frames)},
        {QStringLiteral("note"), source.note.isEmpty() ? QJsonValue() : QJsonValue(source.note)},
    };
}

QString sourceText(const Source &source)
{
    QString text = QStringLiteral("file            %1\n").arg(source.name);
    if (!source.note.isEmpty())
        text += QStringLiteral("note            %1\n").arg(source.note);
    return text + QStringLiteral("recording       %1 Hz, channel %2 of %3, %4 frames (%5 s)\n")
                      .arg(source.sampleRate)
                      .arg(source.channel)
                      .arg(source.channels)
                      .arg(source.frames)
                      .arg(fixedText(double(source.frames) / source.sampleRate, 3));
}

QString methodText(twotone::Method method)
{
    return QString::fromLatin1(twotone::nameOf(method)).toUpper();
}

struct Figure
{
    const char *key;  // its JSON key
    const char *name; // its name in the text
    double percent, floorPercent;
};

// The method's figures in order, each with the floor the noise alone gives it.
std::vector<Figure> figuresOf(const analysis::Intermodulation &result)
{
    const analysis::ImdFigures &f = result.figures, &n = result.floor;
    if (result.method == twotone::Method::Ccif)
        return {{"dfd_d2", "DFD d2", f.dfdD2Percent, n.dfdD2Percent},
                {"dfd_d3", "DFD d3", f.dfdD3Percent, n.dfdD3Percent}};
    return {{"imd", "IMD", f.imdPercent, n.imdPercent},
            {"imd_d2", "IMD d2", f.imdD2Percent, n.imdD2Percent},
            {"imd_d3", "IMD d3", f.imdD3Percent, n.imdD3Percent}};
}

} // namespace

QJsonObject imdJson(const Source &source, const analysis::Intermodulation &result)
{
    QJsonObject object = sourceJson(source);
    object.insert(QStringLiteral("method"), QString::fromLatin1(twotone::nameOf(result.method)));
    object.insert(QStringLiteral("f1_hz"), result.f1.frequencyHz);
    object.insert(QStringLiteral("f1_dbfs"), jsonNumber(dsp::decibels(result.f1.amplitude)));
    object.insert(QStringLiteral("f2_hz"), result.f2.frequencyHz);
    object.insert(QStringLiteral("f2_dbfs"), jsonNumber(dsp::decibels(result.f2.amplitude)));
    object.insert(QStringLiteral("peak_dbfs"), jsonNumber(result.peakDbfs));
    object.insert(QStringLiteral("clipped_samples"), static_cast<qint64>(result.clippedSamples));
    object.insert(QStringLiteral("tone_over_noise_db"), jsonNumber(result.toneOverNoiseDb));
    QJsonArray products;
    for (const analysis::Product &product : result.products) {
        const double share = product.amplitude / result.f2.amplitude;
        products.append(QJsonObject{
            {QStringLiteral("product"), QString::fromStdString(product.label)},
            {QStringLiteral("frequency_hz"), product.frequencyHz},
            {QStringLiteral("percent_of_f2"), product.present ? jsonNumber(100 * share) : QJsonValue()},
            {QStringLiteral("db_of_f2"), product.present ? jsonNumber(dsp::decibels(share)) : QJsonValue()},
            {QStringLiteral("noise_db_of_f2"),
             product.present ? jsonNumber(dsp::decibels(product.noise / result.f2.amplitude)) : QJsonValue()},
        });
    }
    object.insert(QStringLiteral("products"), products);
    for (const Figure &figure : figuresOf(result)) {
        object.insert(QString::fromLatin1(figure.key) + QStringLiteral("_percent"), jsonNumber(figure.percent));
        object.insert(QString::fromLatin1(figure.key) + QStringLiteral("_floor_percent"), jsonNumber(figure.floorPercent));
    }
    return object;
}

QByteArray imdReport(const Source &source, const analysis::Intermodulation &result)
{
    QString text = sourceText(source);
    text += QStringLiteral("method          %1, f1 %2 times f2 in amplitude\n")
                .arg(methodText(result.method))
                .arg(fixedText(result.f1.amplitude / result.f2.amplitude, 2));
    for (const analysis::Product *tone : {&result.f1, &result.f2})
        text += QStringLiteral("%1              %2 Hz at %3 dBFS\n")
                    .arg(QString::fromStdString(tone->label), fixedText(tone->frequencyHz, 3),
                         fixedText(dsp::decibels(tone->amplitude), 2));
    text += QStringLiteral("peak            %1 dBFS\n").arg(fixedText(result.peakDbfs, 2));
    text += QStringLiteral("clipped         %1 samples%2\n")
                .arg(result.clippedSamples)
                .arg(result.clippedSamples > 0 ? QStringLiteral("  (warning: the recording clips)") : QString());
    text += QStringLiteral("product    frequency Hz    % of f2   dB of f2\n");
    for (const analysis::Product &product : result.products) {
        const double share = product.amplitude / result.f2.amplitude;
        text += product.present ? QStringLiteral("%1 %2 %3 %4\n")
                                      .arg(QString::fromStdString(product.label), -7)
                                      .arg(fixedText(product.frequencyHz, 3), 15)
                                      .arg(fixedText(100 * share, 5), 10)
                                      .arg(fixedText(dsp::decibels(share), 2), 10)
                                : QStringLiteral("%1 %2    absent: at or above half the sample rate\n")
                                      .arg(QString::fromStdString(product.label), -7)
                                      .arg(fixedText(product.frequencyHz, 3), 15);
    }
    for (const Figure &figure : figuresOf(result))
        text += QStringLiteral("%1 %2 %  (%3 dB; the noise alone reads %4 dB)\n")
                    .arg(QString::fromLatin1(figure.name), -15)
                    .arg(fixedText(figure.percent, 5), fixedText(dsp::decibels(figure.percent / 100), 2),
                         fixedText(dsp::decibels(figure.floorPercent / 100), 2));
    return text.toUtf8();
}

QJsonObject noiseJson(const Source &source, const analysis::Noise &result)
{
    QJsonObject object = sourceJson(source);
    object.insert(QStringLiteral("noise_dbfs"), jsonNumber(result.noiseDbfs));
    object.insert(QStringLiteral("noise_a_dbfs"), jsonNumber(result.noiseADbfs));
    object.insert(QStringLiteral("band_low_hz"), result.bandLowHz);
    object.insert(QStringLiteral("band_high_hz"), result.bandHighHz);
    object.insert(QStringLiteral("peak_dbfs"), jsonNumber(result.peakDbfs));
    object.insert(QStringLiteral("dc_offset"), result.dcOffset);
    return object;
}

QByteArray noiseReport(const Source &source, const analysis::Noise &result)
{
    QString text = sourceText(source);
    text += QStringLiteral("noise           %1 dBFS  (%2 to %3 Hz; a full-scale sine's RMS is 0 dBFS)\n")
                .arg(fixedText(result.noiseDbfs, 2), fixedText(result.bandLowHz, 0), fixedText(result.bandHighHz, 0));
    text += QStringLiteral("A-weighted      %1 dBFS\n").arg(fixedText(result.noiseADbfs, 2));
    text += QStringLiteral("peak            %1 dBFS\n").arg(fixedText(result.peakDbfs, 2));
    text += QStringLiteral("DC offset       %1 (full scale 1)\n").arg(fixedText(result.dcOffset, 6));
    if (std::isinf(result.noiseDbfs))
        text += QStringLiteral("note            digital silence: every sample is the same\n");
    return text.toUtf8();
}

} // namespace cli
