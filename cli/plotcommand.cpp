#include "cli/plotcommand.h"

#include "controls/thd.h"
#include "plot/redraw.h"

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

} // namespace cli
