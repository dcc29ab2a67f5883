#include "cli/commands.h"

#include "controls/thd.h"
#include "plot/redraw.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace cli {

QImage plotImage(const tone::Tone &tone)
{
    MainState state;
    state.piValue = MainState::kPiValue;
    state.pixelsPerUnit = MainState::kPixelsPerUnit;
    state.cursorStep = MainState::kCursorStep;
    state.frequencyHz = static_cast<int16_t>(tone.frequencyHz);
    SignalControls controls;
    for (int k = 0; k < tone::kHarmonics; ++k) {
        controls.level[k] = static_cast<int32_t>(tone.levels[k]);
        controls.phase[k] = static_cast<int32_t>(tone.phases[k]);
    }
    computeThd(state, controls.level);
    DrawingSurface surface;
    surface.setBackColor(0);
    // The start-up redraw, then the calculate button's: the scale labels of
    // the second print at the 12 points the first left in force.
    redraw(state, surface, controls);
    redraw(state, surface, controls);
    return surface.image().copy();
}

namespace {

QString percent(double fraction, int decimals)
{
    return QString::number(fraction * 100, 'f', decimals);
}

QString decibelText(double fraction)
{
    return fraction > 0 ? QString::number(tone::decibels(fraction), 'f', 2) : QStringLiteral("-inf");
}

QJsonValue decibelJson(double fraction)
{
    return fraction > 0 ? QJsonValue(tone::decibels(fraction)) : QJsonValue(QJsonValue::Null);
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

} // namespace cli
