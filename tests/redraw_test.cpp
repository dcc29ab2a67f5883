#include "plot/redraw.h"

#include <cmath>
#include <set>
#include <utility>

#include <gtest/gtest.h>

namespace {

constexpr QRgb kBlack = 0xFF000000;
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);
const std::array<QRgb, 7> kComponentRgb = {qRgb(0, 128, 128),   qRgb(128, 0, 0),   qRgb(128, 0, 128),
                                           qRgb(128, 128, 0),   qRgb(192, 192, 192), qRgb(128, 128, 128),
                                           qRgb(0, 0, 255)};

struct Plot
{
    MainState state;
    SignalControls controls;
    DrawingSurface surface;

    Plot(int16_t frequency, std::array<int32_t, 6> levels, std::array<int32_t, 6> phases)
    {
        state.piValue = MainState::kPiValue;
        state.frequencyHz = frequency;
        state.thdPercent = static_cast<float>(std::sqrt(33.0));
        controls.level = levels;
        controls.phase = phases;
        surface.setBackColor(0);
    }

    // Component n (1 = fundamental) at column x: A sin(2 p n f x / 49800 - p phi / 180),
    // with the amplitude and the phase in radians held as singles.
    double value(int n, int x) const
    {
        const double p = state.piValue;
        const double amplitude = n == 1 ? 222.0 : static_cast<float>(controls.level[n - 2] * 222 / 100.0);
        const double phase = n == 1 ? 0.0 : static_cast<float>(p * controls.phase[n - 2] / 180);
        return amplitude * std::sin(2 * p * n * state.frequencyHz * x / 49800 - phase);
    }
    float row(int n, int x) const { return static_cast<float>(value(n, x) + 245); }
    float sumRow(int x) const
    {
        float sum = 0;
        for (int n = 1; n <= 7; ++n)
            sum = static_cast<float>(value(n, x) + sum);
        return sum + 245;
    }
    QRgb at(int x, int y) const { return surface.image().pixel(x, y); }
};

// Rows whose fraction lies near a half are left out: how a coordinate maps
// to a pixel there is not what these tests are about.
bool clearRow(float row)
{
    const float fraction = row - std::floor(row);
    return std::fabs(fraction - 0.5f) > 0.05f && row >= 0 && row < 493;
}

// Every pixel a trace may take at column x: both neighbours where the row is near a half.
std::set<int> candidateRows(float row)
{
    return {static_cast<int>(std::floor(row)), static_cast<int>(std::ceil(row))};
}

bool underText(int x, int y)
{
    return (x < 400 && y < 30) || x < 35; // the readout line and the scale labels
}

TEST(Redraw, DrawsEachComponentAtTheRowsItsArithmeticGivesUnderTheLaterTraces)
{
    Plot plot(130, {4, 8, 12, 16, 20, 10}, {0, 20, 45, 165, 90, 300});
    redraw(plot.state, plot.surface, plot.controls);

    for (int n = 1; n <= 7; ++n) {
        int checked = 0;
        for (int x = 1; x <= 1244; ++x) {
            const float row = plot.row(n, x);
            const int y = static_cast<int>(std::lround(row));
            if (!clearRow(row) || underText(x, y))
                continue;
            bool covered = candidateRows(plot.sumRow(x)).count(y) > 0;
            for (int later = n + 1; later <= 7; ++later)
                covered = covered || candidateRows(plot.row(later, x)).count(y) > 0;
            if (covered)
                continue;
            ASSERT_EQ(plot.at(x, y), kComponentRgb[n - 1]) << "component " << n << " column " << x;
            ++checked;
        }
        EXPECT_GT(checked, 100) << "component " << n;
    }
}

TEST(Redraw, DrawsTheSumInRedOverEveryComponent)
{
    Plot plot(200, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    int checked = 0, onAComponent = 0;
    for (int x = 1; x <= 1244; ++x) {
        const float row = plot.sumRow(x);
        const int y = static_cast<int>(std::lround(row));
        if (!clearRow(row) || underText(x, y))
            continue;
        ASSERT_EQ(plot.at(x, y), kRed) << "column " << x;
        ++checked;
        for (int n = 1; n <= 7; ++n)
            onAComponent += static_cast<int>(std::lround(plot.row(n, x))) == y;
    }
    EXPECT_GT(checked, 1000);
    EXPECT_GT(onAComponent, 0); // places where the sum covers a component trace
    EXPECT_EQ(plot.state.sumValue, plot.sumRow(1244) - 245);
}

TEST(Redraw, DrawsALevelZeroHarmonicOnTheZeroLine)
{
    Plot plot(200, {10, 10, 0, 10, 10, 10}, {0, 0, 90, 0, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    int shown = 0;
    for (int x = 1; x <= 1244; ++x)
        shown += plot.at(x, 245) == kComponentRgb[3];
    EXPECT_GT(shown, 1000); // the rest is covered by harmonics 5 to 7 and the sum
    EXPECT_EQ(plot.at(0, 245), kGreen); // column 0 is never drawn: the zero line shows there
    for (int x = 1; x <= 1244; ++x)
        ASSERT_NE(plot.at(x, 245), kGreen) << x;
}

TEST(Redraw, DrawsTheGridRowsAndColumnsOnePixelWide)
{
    Plot plot(200, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    // Only the fundamental (under the sum) crosses the grid away from the zero line.
    for (int i = 0; i <= 10; ++i) {
        const int row = 49 * i;
        if (row == 245)
            continue;
        int green = 0, besideGreen = 0;
        for (int x = 40; x <= 1244; ++x) {
            green += plot.at(x, row) == kGreen;
            besideGreen += plot.at(x, row + 1) == kGreen && x % 49 != 0;
        }
        EXPECT_GT(green, 1180) << "row " << row;
        EXPECT_EQ(besideGreen, 0) << "row " << row;
    }
    for (int i = 0; i <= 25; ++i) {
        const int column = 49 * i;
        int green = 0;
        for (int y = 30; y < 493; ++y)
            green += plot.at(column, y) == kGreen || y == 245;
        EXPECT_GT(green, 440) << "column " << column;
        EXPECT_EQ(plot.at(column, 492), kGreen) << "column " << column;
        if (column + 1 < 1245) {
            EXPECT_NE(plot.at(column + 1, 300), kGreen) << "column " << column;
        }
    }
    EXPECT_EQ(plot.at(1244, 49), kGreen); // the horizontal lines reach the last column
}

TEST(Redraw, InTheXorModeEveryGridCrossingTurnsBlack)
{
    Plot plot(200, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    EXPECT_EQ(plot.at(1225, 0), kGreen);
    EXPECT_EQ(plot.at(49, 490), kGreen);

    plot.surface.setDrawMode(DrawingSurface::XorPen);
    redraw(plot.state, plot.surface, plot.controls);
    EXPECT_EQ(plot.at(1225, 0), kBlack);
    EXPECT_EQ(plot.at(49, 490), kBlack);
    EXPECT_EQ(plot.at(1176, 490), kBlack);
    EXPECT_EQ(plot.at(1200, 0), kGreen);
    EXPECT_EQ(plot.at(1225, 3), kGreen);
}

// The pixels a text takes when printed alone in red at the readout's place.
std::vector<std::pair<int, int>> textPixels(const QString &text)
{
    DrawingSurface reference;
    reference.setBackColor(0);
    reference.Cls();
    reference.setForeColor(0x0000FF);
    reference.setFontSize(12);
    reference.setCurrentX(15);
    reference.setCurrentY(5);
    reference.Print(text);
    std::vector<std::pair<int, int>> pixels;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 500; ++x)
            if (reference.image().pixel(x, y) != kBlack)
                pixels.emplace_back(x, y);
    return pixels;
}

bool allRed(const Plot &plot, const std::vector<std::pair<int, int>> &pixels)
{
    for (auto [x, y] : pixels)
        if (plot.at(x, y) != kRed)
            return false;
    return !pixels.empty();
}

TEST(Redraw, PrintsTheThdRoundedToTwoDecimalsInRed)
{
    Plot plot(200, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    EXPECT_TRUE(allRed(plot, textPixels(QStringLiteral("Quenlari Totale THD = 5.74 %"))));
    EXPECT_FALSE(allRed(plot, textPixels(QStringLiteral("Quenlari Totale THD = 5.75 %"))));
    EXPECT_EQ(plot.surface.foreColor(), 0x0000FFu);
    EXPECT_EQ(plot.surface.fontSize(), 12.0f);

    plot.state.thdPercent = 0;
    redraw(plot.state, plot.surface, plot.controls);
    EXPECT_TRUE(allRed(plot, textPixels(QStringLiteral("Quenlari Totale THD = 0 %"))));
}

TEST(Redraw, LeavesThePositivePhasesAndTheLastAmplitudeInTheWorkingFields)
{
    Plot plot(200, {1, 5, 1, 2, 1, 3}, {0, 20, 0, 165, 0, 355});
    redraw(plot.state, plot.surface, plot.controls);
    const float p = plot.state.piValue;
    for (int n : {0, 1, 8, 9, 10})
        EXPECT_EQ(plot.state.phaseRad[n], 0.0f) << n;
    EXPECT_EQ(plot.state.phaseRad[3], static_cast<float>(double(p) * 20 / 180));
    EXPECT_EQ(plot.state.phaseRad[5], static_cast<float>(double(p) * 165 / 180));
    EXPECT_EQ(plot.state.phaseRad[7], static_cast<float>(double(p) * 355 / 180));
    EXPECT_EQ(plot.state.traceAmplitude, static_cast<float>(3 * 222 / 100.0));
}

TEST(Redraw, LevelsAtTheTopOfTheirRangeReachPastTheSurfaceWithoutError)
{
    Plot plot(1000, {20, 20, 20, 20, 20, 20}, {0, 0, 0, 0, 0, 0});
    EXPECT_NO_THROW(redraw(plot.state, plot.surface, plot.controls));
    EXPECT_EQ(plot.surface.image().size(), QSize(1245, 493));
}

} // namespace
