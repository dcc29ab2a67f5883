#include "controls/thd.h"

#include "base/numbertext.h"

#include <QLocale>

#include <cmath>

#include <gtest/gtest.h>

namespace {

struct ThdCase
{
    std::array<int32_t, MainState::kHarmonicCount> levels;
    double exactRoot;
    const char *shown; // the short form of the stored single
};

class ComputeThd : public ::testing::TestWithParam<ThdCase>
{
};

TEST_P(ComputeThd, StoresTheSingleNearestTheRootOfTheSquaredLevels)
{
    MainState state;
    computeThd(state, GetParam().levels);
    EXPECT_EQ(state.thdPercent, static_cast<float>(GetParam().exactRoot));
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(singleText(state.thdPercent), GetParam().shown);
    QLocale::setDefault(QLocale::system());
    EXPECT_EQ(state.fundamentalLevel, 100.0f);
    for (int k = 0; k < MainState::kHarmonicCount; ++k)
        EXPECT_EQ(state.harmonicLevel[k], static_cast<float>(GetParam().levels[k]));
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, ComputeThd,
                         ::testing::Values(ThdCase{{0, 0, 0, 0, 0, 0}, 0.0, "0"},
                                           ThdCase{{1, 5, 1, 2, 1, 1}, std::sqrt(33.0), "5.744563"},
                                           ThdCase{{1, 1, 1, 1, 1, 1}, std::sqrt(6.0), "2.44949"},
                                           ThdCase{{3, 4, 0, 0, 0, 0}, 5.0, "5"},
                                           ThdCase{{20, 20, 20, 20, 20, 20}, std::sqrt(2400.0), "48.9898"}));

TEST(ComputeThdStored, SingleOfTheLargestCaseIs48_989796)
{
    MainState state;
    computeThd(state, {20, 20, 20, 20, 20, 20});
    EXPECT_FLOAT_EQ(state.thdPercent, 48.989796f);
    EXPECT_EQ(static_cast<double>(state.thdPercent), 48.98979568481445);
}

} // namespace
