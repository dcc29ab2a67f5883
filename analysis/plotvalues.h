#pragma once

#include "analysis/analyser.h"

#include <QStringList>

#include <array>

namespace analysis {

// An analysis as the main window's controls can hold it: the frequency to the
// nearest 10 Hz within 50 to 1000, levels to whole percent within 0 to 20,
// phases to the nearest 5 degrees below 360 (0 for a harmonic shown at 0 %).
// What had to be moved into range is said.
struct PlotValues
{
    int frequencyHz = 200;
    std::array<int, 6> levels{}; // harmonics 2 to 7
    std::array<int, 6> phases{}; // degrees
    QStringList clamped;         // "fundamental 3 kHz shown as 1000 Hz", ...

    // "Shown in the plot: fundamental 3 kHz shown as 1000 Hz." for a status line.
    QString note() const;
};

PlotValues plotValuesOf(const Analysis &analysis);

} // namespace analysis
