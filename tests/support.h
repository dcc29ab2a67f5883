#pragma once

// What several tests and the benchmarks share.

#include "plot/redraw.h"

#include <cmath>
#include <fstream>
#include <unistd.h>

// The plot as the window has it after start-up: its state, its level and
// phase controls, and a surface with the black background (nothing drawn yet).
struct StartUpPlot
{
    MainState state;
    SignalControls controls;
    DrawingSurface surface;

    StartUpPlot()
    {
        state.piValue = MainState::kPiValue;
        state.pixelsPerUnit = MainState::kPixelsPerUnit;
        state.cursorStep = MainState::kCursorStep;
        state.frequencyHz = 200;
        state.thdPercent = static_cast<float>(std::sqrt(33.0));
        controls.level = {1, 5, 1, 2, 1, 1};
        controls.phase = {0, 20, 0, 165, 0, 0};
        surface.setBackColor(0);
    }
};

// The process's resident memory, in kilobytes.
inline long residentKilobytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
