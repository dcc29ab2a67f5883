#pragma once

#include "app/mainstate.h"

#include <array>
#include <cstdint>

// The one THD computation: copies the six level controls (percent, harmonic n
// at index n - MainState::kFirstHarmonic) into harmonicLevel and stores
// sqrt(L2^2 + ... + L7^2) * 100 / fundamentalLevel in thdPercent.
void computeThd(MainState &state, const std::array<int32_t, MainState::kHarmonicCount> &levels);
