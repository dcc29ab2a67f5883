#include "controls/thd.h"

#include <cmath>

namespace {
constexpr float kFundamentalLevel = 100;
}

void computeThd(MainState &state, const std::array<int32_t, MainState::kHarmonicCount> &levels)
{
    state.fundamentalLevel = kFundamentalLevel;
    for (int k = 0; k < MainState::kHarmonicCount; ++k)
        state.harmonicLevel[k] = static_cast<float>(levels[k]);

    // Levels are 32-bit integers, so neither the squares nor the result can
    // overflow, divide by zero or be invalid: no floating-point fault arises.
    double sum = std::pow(double(state.harmonicLevel[0]), 2);
    for (int k = 1; k < MainState::kHarmonicCount; ++k)
        sum = sum + std::pow(double(state.harmonicLevel[k]), 2);
    const double root = std::sqrt(sum);
    state.thdPercent = static_cast<float>(root * 100 / state.fundamentalLevel);
}
