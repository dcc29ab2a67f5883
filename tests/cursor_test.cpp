#include "cursor/cursor.h"
#include "plot/redraw.h"
#include "tests/support.h"

#include <QLocale>

#include <cmath>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kXorGrey = 0x808080;

struct SnapCase
{
    float x;
    int16_t step;
    int16_t snapped;
};

class SnapToStep : public ::testing::TestWithParam<SnapCase>
{
};

TEST_P(SnapToStep, GivesTheNearestMultipleWithHalvesToTheEvenIndex)
{
    EXPECT_EQ(snapToStep(GetParam().x, GetParam().step), GetParam().snapped)
        << GetParam().x << " step " << GetParam().step;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SnapToStep,
    ::testing::Values(SnapCase{14, 10, 10}, SnapCase{15, 10, 20}, SnapCase{25, 10, 20}, SnapCase{26, 10, 30},
                      SnapCase{35, 10, 40}, SnapCase{5, 10, 0}, SnapCase{-5, 10, 0}, SnapCase{-6, 10, -10},
                      SnapCase{37, 1, 37}, SnapCase{1244, 1, 1244}, SnapCase{37.5f, 1, 38}, SnapCase{36.5f, 1, 36},
                      // No grid at step 0: the nearest whole column, halves to even.
                      SnapCase{14.4f, 0, 14}, SnapCase{14.5f, 0, 14}, SnapCase{15.5f, 0, 16},
                      SnapCase{-6, 0, -6}, SnapCase{0, 0, 0}, SnapCase{100, 40, 80}, SnapCase{101, 40, 120}));

TEST(SnapToStepRange, IsAnOverflowOutsideSixteenBits)
{
    EXPECT_THROW(snapToStep(40000, 1), OverflowError);
    EXPECT_THROW(snapToStep(40000, 0), OverflowError);
    EXPECT_THROW(snapToStep(32767 * 40.0f, 40), OverflowError); // the index fits, the product does not
    EXPECT_EQ(snapToStep(32767, 1), 32767);
}

struct StartUp : StartUpPlot
{
    StartUp() { redraw(state, surface, controls); }
    void move(float x) { moveCursorLine(state, surface, snapToStep(x, state.cursorStep)); }
};

// The columns where two images differ.
std::vector<int> changedColumns(const QImage &before, const QImage &after)
{
    std::vector<int> columns;
    for (int x = 0; x < before.width(); ++x)
        for (int y = 0; y < before.height(); ++y)
            if (before.pixel(x, y) != after.pixel(x, y)) {
                columns.push_back(x);
                break;
            }
    return columns;
}

// Every changed pixel of the column is its old colour XOR grey, and gaps keep theirs.
void expectDottedXorLine(const QImage &before, const QImage &after, int column)
{
    int dots = 0;
    for (int y = 0; y < before.height(); ++y) {
        const QRgb old = before.pixel(column, y), now = after.pixel(column, y);
        if (old != now) {
            ASSERT_EQ(now, old ^ kXorGrey) << "column " << column << " row " << y;
            ++dots;
        }
    }
    EXPECT_GT(dots, before.height() / 3) << "column " << column;
    EXPECT_LT(dots, 2 * before.height() / 3) << "column " << column;
}

TEST(Cursor, FirstMoveDrawsDottedXorLinesAtTheOldAndTheNewColumn)
{
    StartUp plot;
    const QImage plain = plot.surface.image().copy();
    plot.move(100);
    const QImage first = plot.surface.image().copy();
    EXPECT_EQ(changedColumns(plain, first), std::vector<int>({0, 100}));
    expectDottedXorLine(plain, first, 0);
    expectDottedXorLine(plain, first, 100);
    EXPECT_EQ(plot.state.cursorX, 100.0f);
    EXPECT_EQ(plot.surface.drawMode(), DrawingSurface::XorPen);
    EXPECT_EQ(plot.surface.drawStyle(), DrawingSurface::Solid);
    EXPECT_EQ(plot.surface.foreColor(), kXorGrey);

    plot.move(200); // removes the line at 100, keeps the one at 0
    EXPECT_EQ(changedColumns(plain, plot.surface.image()), std::vector<int>({0, 200}));

    plot.move(203); // the same grid cell: the line is drawn twice and stays
    EXPECT_EQ(changedColumns(plain, plot.surface.image()), std::vector<int>({0, 200}));
    expectDottedXorLine(plain, plot.surface.image(), 200);
}

TEST(Cursor, AMoveToTheSameColumnAsTheOldLineShowsNoLine)
{
    StartUp plot;
    const QImage plain = plot.surface.image().copy();
    plot.move(3); // snaps to 0, where cursorX already is: the two draws cancel
    EXPECT_TRUE(changedColumns(plain, plot.surface.image()).empty());
}

TEST(Cursor, AfterARedrawTheOldLineComesBackWithTheNewOneAndTheGridIsXored)
{
    StartUp plot;
    plot.move(100);
    redraw(plot.state, plot.surface, plot.controls); // in XOR mode now
    EXPECT_EQ(plot.surface.image().pixel(1225, 0), 0xFF000000u); // a grid crossing drawn twice
    const QImage redrawn = plot.surface.image().copy();
    plot.move(300);
    EXPECT_EQ(changedColumns(redrawn, plot.surface.image()), std::vector<int>({100, 300}));
}

TEST(Cursor, ALineLeftOfTheSurfaceIsClippedAway)
{
    StartUp plot;
    const QImage plain = plot.surface.image().copy();
    plot.state.cursorX = -10;
    plot.move(-6);
    EXPECT_EQ(plot.state.cursorX, -10.0f);
    EXPECT_TRUE(changedColumns(plain, plot.surface.image()).empty());
}

TEST(CursorReadout, ShowsTheColumnAndTheLevelWithOneSpaceAround)
{
    QLocale::setDefault(QLocale::c());
    MainState state;
    state.pixelsPerUnit = MainState::kPixelsPerUnit;
    const std::pair<float, const char *> rows[] = {{0, " Y = 109.87 "},  {23, " Y = 99.55 "},  {244, " Y = 0.45 "},
                                                   {245, " Y = 0 "},     {246, " Y = -0.45 "}, {467, " Y = -99.55 "},
                                                   {490, " Y = -109.87 "}};
    for (auto [row, text] : rows)
        EXPECT_EQ(cursorLevelText(levelAt(state, row)), text) << row;
    EXPECT_EQ(cursorXText(20), " X = 20 ");
    EXPECT_EQ(cursorXText(-10), " X = -10 ");
    EXPECT_EQ(roundedLevel(levelAt(state, 100)), 65.02f);
    QLocale::setDefault(QLocale::system());
}

TEST(SampleCross, IsTwoDiagonalsAboutTheSnappedXAndThePointersY)
{
    StartUp plot; // copy mode: no cursor has moved
    drawSampleCross(plot.surface, snapToStep(15, 10), 100);
    const QRgb blue = qRgb(0, 0, 255);
    for (int i = 0; i <= 8; ++i) {
        EXPECT_EQ(plot.surface.image().pixel(16 + i, 96 + i), blue) << i;
        EXPECT_EQ(plot.surface.image().pixel(16 + i, 104 - i), blue) << i;
    }
    EXPECT_EQ(plot.surface.foreColor(), cursor::kCrossColour);
}

TEST(SampleCross, InTheXorModeASecondCrossAtTheSamePlaceRemovesTheFirst)
{
    StartUp plot;
    plot.move(500);
    const QImage before = plot.surface.image().copy();
    drawSampleCross(plot.surface, 20, 100);
    EXPECT_EQ(plot.surface.image().pixel(16, 96), before.pixel(16, 96) ^ 0x0000FF);
    EXPECT_EQ(plot.surface.image().pixel(20, 100), before.pixel(20, 100)); // the centre is drawn twice
    drawSampleCross(plot.surface, 20, 100);
    EXPECT_EQ(plot.surface.image(), before);
}

TEST(SampleCross, NearTheEndOfSixteenBitsIsAnOverflowBeforeAnyLine)
{
    StartUp plot;
    const QImage before = plot.surface.image().copy();
    EXPECT_THROW(drawSampleCross(plot.surface, 32765, 100), OverflowError);
    EXPECT_THROW(drawSampleCross(plot.surface, -32766, 100), OverflowError);
    EXPECT_EQ(plot.surface.image(), before);
    EXPECT_EQ(plot.surface.foreColor(), cursor::kCrossColour);
}

TEST(SampleMemory, KeepsAThousandSamplesFromIndexOneAndThenRefuses)
{
    MainState state;
    for (int i = 1; i <= 1000; ++i)
        storeSample(state, static_cast<int16_t>(i), i / 100.0f);
    EXPECT_EQ(state.sampleCount, 1000);
    EXPECT_EQ(state.sampleX[0], 0);
    EXPECT_EQ(state.sampleX[1], 1);
    EXPECT_EQ(state.sampleX[1000], 1000);
    EXPECT_EQ(state.sampleValue[1000], 10.0f);
    EXPECT_THROW(checkSampleRoom(state), cursor::SampleMemoryFullError);
    EXPECT_THROW(storeSample(state, 5, 1), cursor::SampleMemoryFullError);
    EXPECT_EQ(state.sampleCount, 1000);
}

} // namespace
