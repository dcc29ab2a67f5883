#include "dsp/oscillator.h"

#include <cmath>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(Oscillator, StaysWithinItsBoundOverTheStepsBetweenTwoAnchors)
{
    // Steps from a slow hum to near half the rate, one sample and four at once,
    // against the angles' sines and cosines taken in long double.
    for (const double step : {1e-5, 0.0131, 0.5, 2.2, 3.1}) {
        const double start = -0.7;
        dsp::Oscillator<double> one(step);
        dsp::Oscillator<dsp::Lanes> four(dsp::kLanes * step);
        one.anchor(start);
        four.anchor(dsp::Lanes{start, start + step, start + 2 * step, start + 3 * step});
        long double worst = 0;
        for (std::size_t i = 0; i < dsp::kAnchorEvery; ++i, one.turn()) {
            const long double angle = start + static_cast<long double>(i) * step;
            worst = std::max({worst, std::fabs(one.cosine() - std::cos(angle)),
                              std::fabs(one.sine() - std::sin(angle))});
        }
        for (std::size_t i = 0; i < dsp::kAnchorEvery; i += dsp::kLanes, four.turn())
            for (int lane = 0; lane < dsp::kLanes; ++lane) {
                const long double angle = start + static_cast<long double>(i + std::size_t(lane)) * step;
                worst = std::max({worst, std::fabs(four.cosine()[lane] - std::cos(angle)),
                                  std::fabs(four.sine()[lane] - std::sin(angle))});
            }
        EXPECT_LT(worst, 1e-12) << "step " << step;
    }
}

TEST(Oscillator, ItsAnchorsFallOnWholeMultiplesOfTheirSpacing)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    dsp::forEachAnchorSpan(1000, 3000, [&](std::size_t begin, std::size_t end) { spans.emplace_back(begin, end); });
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {{1000, 1024}, {1024, 2048}, {2048, 3000}};
    EXPECT_EQ(spans, expected);
    spans.clear();
    dsp::forEachAnchorSpan(5, 5, [&](std::size_t begin, std::size_t end) { spans.emplace_back(begin, end); });
    EXPECT_TRUE(spans.empty());
}

} // namespace
