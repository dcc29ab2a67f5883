#include "analysis/plotvalues.h"

#include <algorithm>
#include <cmath>

namespace analysis {

namespace {

constexpr int kLowestHz = 50, kHighestHz = 1000, kFrequencyStep = 10;
constexpr int kHighestLevel = 20;
constexpr int kPhaseStep = 5;
constexpr int kFullTurn = 360;

QString frequencyText(double hz)
{
    return hz >= 1000 ? QStringLiteral("%1 kHz").arg(hz / 1000, 0, 'g', 4)
                      : QStringLiteral("%1 Hz").arg(hz, 0, 'g', 4);
}

} // namespace

PlotValues plotValuesOf(const Analysis &analysis)
{
    PlotValues values;
    const int nearest =
        static_cast<int>(std::lround(analysis.fundamentalHz / kFrequencyStep)) * kFrequencyStep;
    values.frequencyHz = std::clamp(nearest, kLowestHz, kHighestHz);
    if (values.frequencyHz != nearest)
        values.clamped << QStringLiteral("fundamental %1 shown as %2 Hz")
                              .arg(frequencyText(analysis.fundamentalHz))
                              .arg(values.frequencyHz);
    for (int n = 2; n <= 7; ++n) {
        const auto found = std::find_if(analysis.harmonics.begin(), analysis.harmonics.end(),
                                        [n](const Harmonic &h) { return h.n == n; });
        if (found == analysis.harmonics.end() || !found->present) {
            values.clamped << QStringLiteral("harmonic %1, above half the sample rate, shown as 0 %").arg(n);
            continue;
        }
        const long level = std::lround(found->levelPercent);
        values.levels[n - 2] = static_cast<int>(std::min<long>(level, kHighestLevel));
        if (level > kHighestLevel)
            values.clamped << QStringLiteral("harmonic %1 at %2 % shown as %3 %")
                                  .arg(n)
                                  .arg(found->levelPercent, 0, 'f', 1)
                                  .arg(kHighestLevel);
        // A harmonic shown at 0 % has no phase worth showing; 360 degrees is 0.
        const int phase = static_cast<int>(std::lround(found->phaseDegrees / kPhaseStep)) * kPhaseStep;
        values.phases[n - 2] = level > 0 ? phase % kFullTurn : 0;
    }
    return values;
}

QString PlotValues::note() const
{
    return clamped.isEmpty() ? QStringLiteral("Shown in the plot.")
                             : QStringLiteral("Shown in the plot: ") + clamped.join(QStringLiteral("; ")) +
                                   QLatin1Char('.');
}

} // namespace analysis
