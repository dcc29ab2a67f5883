#include "plot/redraw.h"

#include <QLocale>

#include <cmath>
#include <set>
#include <utility>

#include <gtest/gtest.h>

namespace {

constexpr QRgb kBlack = 0xFF000000;
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);
const std::array<QRgb, 7> kComponentRgb = {qRgb(0, 128, 128), qRgb(128, 0, 0),     qRgb(128, 0, 128),
                                           qRgb(128, 128, 0), qRgb(192, 192, 192), qRgb(128, 128, 128),
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

    QRgb at(int x, int y) const { return surface.image().pixel(x, y); }
};

// The rows below were computed apart from this program, with the same
// single- and double-precision steps, and name the pixel each one lands on.
struct TracePoint
{
    int component; // 1 = fundamental, 8 = the sum
    int column;
    double row;
    int pixelRow;
};

TEST(Redraw, DrawsEveryComponentAtItsRowInItsColourUnderTheLaterTraces)
{
    // 130 Hz, levels 4, 8, 12, 16, 20, 10 %, phases 0, 20, 45, 165, 90, 300 degrees:
    // points that no later trace covers.
    const TracePoint points[] = {
        {1, 47, 399.67999, 400}, {1, 54, 416.90411, 417}, {2, 47, 253.87625, 254}, {2, 54, 253.70201, 254},
        {3, 40, 262.73929, 263}, {3, 54, 258.14896, 258}, {4, 40, 270.68863, 271}, {4, 47, 264.89948, 265},
        {5, 40, 258.85089, 259}, {5, 47, 274.39243, 274}, {6, 40, 276.09927, 276}, {6, 54, 219.86714, 220},
        {7, 40, 231.68109, 232}, {7, 54, 263.23553, 263},
    };
    Plot plot(130, {4, 8, 12, 16, 20, 10}, {0, 20, 45, 165, 90, 300});
    redraw(plot.state, plot.surface, plot.controls);
    for (const TracePoint &point : points) {
        EXPECT_EQ(plot.at(point.column, point.pixelRow), kComponentRgb[point.component - 1])
            << "component " << point.component << " column " << point.column;
        EXPECT_NE(plot.at(point.column, point.pixelRow + 1), kComponentRgb[point.component - 1]);
    }
}

TEST(Redraw, DrawsTheSumAccumulatedInSinglePrecisionInRedOverTheComponents)
{
    // The start-up plot: 200 Hz, levels 1, 5, 1, 2, 1, 1 %, phases 0, 20, 0, 165, 0, 0.
    const TracePoint points[] = {
        {8, 1, 246.98506, 247},   {8, 2, 253.93390, 254},    {8, 62, 450.15479, 450},
        {8, 249, 240.00339, 240}, {8, 1000, 267.59515, 268}, {8, 1244, 232.91129, 233},
        {1, 1, 250.60112, 251},
    };
    Plot startUp(200, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0});
    redraw(startUp.state, startUp.surface, startUp.controls);
    for (const TracePoint &point : points) {
        const QRgb colour = point.component == 8 ? kRed : kComponentRgb[point.component - 1];
        EXPECT_EQ(startUp.at(point.column, point.pixelRow), colour) << "column " << point.column;
    }
    EXPECT_NEAR(startUp.state.sumValue, 232.91129 - 245, 1e-4);
    int red = 0;
    for (int y = 0; y < 493; ++y)
        red += startUp.at(1000, y) == kRed;
    EXPECT_EQ(red, 1); // one point a column, never joined

    // At 50 Hz the sum at column 891 is exactly 101.5 in single precision, which
    // goes to the even row 102; summed in double it would be 101.49998, row 101.
    Plot slow(50, {1, 5, 1, 2, 1, 1}, {0, 20, 0, 165, 0, 0});
    redraw(slow.state, slow.surface, slow.controls);
    EXPECT_EQ(slow.at(891, 102), kRed);
    EXPECT_NE(slow.at(891, 101), kRed);
}

TEST(Redraw, DrawsALevelZeroHarmonicOnTheZeroLine)
{
    Plot plot(200, {10, 10, 0, 10, 10, 10}, {0, 0, 90, 0, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    int shown = 0;
    for (int x = 1; x <= 1244; ++x)
        shown += plot.at(x, 245) == kComponentRgb[3];
    EXPECT_GT(shown, 1000);             // the rest is covered by harmonics 5 to 7 and the sum
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

    struct Case
    {
        float thd;
        const char *shown, *notShown;
    };
    const Case cases[] = {
        {0, "0 %", "0.00 %"},
        {static_cast<float>(std::sqrt(6.0)), "2.45 %", "2.44 %"}, // all six levels at 1
        {0.125f, "0.12 %", "0.13 %"},                             // an exact half goes to the even neighbour
        {0.375f, "0.38 %", "0.37 %"},
        {48.989796f, "48.99 %", "48.98 %"},
    };
    for (const Case &c : cases) {
        plot.state.thdPercent = c.thd;
        redraw(plot.state, plot.surface, plot.controls);
        const QString prefix = QStringLiteral("Quenlari Totale THD = ");
        EXPECT_TRUE(allRed(plot, textPixels(prefix + QLatin1String(c.shown)))) << c.shown;
        EXPECT_FALSE(allRed(plot, textPixels(prefix + QLatin1String(c.notShown)))) << c.notShown;
    }

    // The decimal separator is the user's.
    QLocale::setDefault(QLocale(QLocale::Romanian, QLocale::Romania));
    plot.state.thdPercent = static_cast<float>(std::sqrt(6.0));
    redraw(plot.state, plot.surface, plot.controls);
    QLocale::setDefault(QLocale::c());
    EXPECT_TRUE(allRed(plot, textPixels(QStringLiteral("Quenlari Totale THD = 2,45 %"))));
}

TEST(Redraw, PrintsTheScaleLabelsTenToMinusTenEachBeforeItsLine)
{
    // The labels as they stand in the design, each printed alone with its
    // grid line drawn after it, in the 12 points of every redraw after the first.
    const char *labels[] = {" 10 ", " 8 ", " 6 ", " 4 ", " 2 ", " 0 ", "-2 ", "-4 ", "-6 ", "-8 ", "-10 "};
    DrawingSurface reference;
    reference.setBackColor(0);
    reference.Cls();
    reference.setForeColor(colourRgb(0, 128, 0));
    reference.setFontSize(12);
    for (int i = 0; i <= 10; ++i) {
        reference.setCurrentX(2);
        reference.setCurrentY(49 * i);
        reference.Print(QLatin1String(labels[i]));
        reference.Line(0, 49 * i, 1244, 49 * i);
    }
    reference.Line(0, 0, 0, 493);

    Plot plot(200, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0});
    redraw(plot.state, plot.surface, plot.controls);
    redraw(plot.state, plot.surface, plot.controls);
    int checked = 0;
    for (int y = 0; y < 493; ++y) {
        for (int x = 0; x < 48; ++x) {
            const QRgb shown = plot.at(x, y);
            if (shown != kGreen && shown != kBlack)
                continue; // a trace passes here
            ASSERT_EQ(shown == kGreen, reference.image().pixel(x, y) == kGreen) << x << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20000);
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
