#include "surface/drawingsurface.h"

#include "base/design.h"

#include <QPainter>

#include <gtest/gtest.h>

namespace {

constexpr QRgb kBlack = 0xFF000000;

QRgb at(const DrawingSurface &surface, int x, int y)
{
    return surface.image().pixel(x, y);
}

DrawingSurface blackSurface()
{
    DrawingSurface surface;
    surface.setBackColor(0);
    surface.Cls();
    surface.takeDirty();
    return surface;
}

TEST(DrawingSurface, ColoursHaveRedInTheLowByte)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0x0000FF);
    surface.PSet(10, 10);
    surface.setForeColor(0xFF0000);
    surface.PSet(11, 10);
    EXPECT_EQ(at(surface, 10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(at(surface, 11, 10), qRgb(0, 0, 255));
    EXPECT_EQ(colourRgb(0, 128, 0), 0x008000u);
}

TEST(DrawingSurface, LinesIncludeBothEndsAndMoveTheCurrentPosition)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(colourRgb(0, 128, 0));
    surface.Line(0, 49, 1244, 49);
    surface.Line(100, 0, 100, 493);
    for (int x : {0, 1, 600, 1244})
        EXPECT_EQ(at(surface, x, 49), qRgb(0, 128, 0)) << x;
    EXPECT_EQ(at(surface, 600, 48), kBlack);
    EXPECT_EQ(at(surface, 600, 50), kBlack);
    for (int y : {0, 245, 492})
        EXPECT_EQ(at(surface, 100, y), qRgb(0, 128, 0)) << y;
    EXPECT_EQ(surface.currentX(), 100.0f);
    EXPECT_EQ(surface.currentY(), 493.0f);
}

TEST(DrawingSurface, XorPenRestoresEveryPixelWhenTheSameLineIsDrawnTwice)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0x00FFFF);
    surface.Line(0, 0, 1244, 492); // something under the lines
    const QImage before = surface.image().copy();

    surface.setDrawMode(DrawingSurface::XorPen);
    surface.setForeColor(0x808080);
    for (auto style : {DrawingSurface::Solid, DrawingSurface::Dot}) {
        surface.setDrawStyle(style);
        surface.Line(300, 0, 300, 495);
        surface.Line(17.4f, 400.2f, 900.7f, 3.1f);
        EXPECT_NE(surface.image(), before);
        surface.Line(17.4f, 400.2f, 900.7f, 3.1f);
        surface.Line(300, 0, 300, 495);
        EXPECT_EQ(surface.image(), before);
    }
}

TEST(DrawingSurface, XorPenCombinesColoursWhereLinesCross)
{
    DrawingSurface surface = blackSurface();
    surface.setDrawMode(DrawingSurface::XorPen);
    surface.setForeColor(colourRgb(0, 128, 0));
    surface.Line(0, 98, 1244, 98);
    surface.Line(49, 0, 49, 493);
    EXPECT_EQ(at(surface, 49, 98), kBlack); // drawn twice in the same green
    EXPECT_EQ(at(surface, 50, 98), qRgb(0, 128, 0));
    EXPECT_EQ(at(surface, 49, 97), qRgb(0, 128, 0));
}

TEST(DrawingSurface, DottedLinesLeaveGapsThatKeepWhatIsUnder)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0xFFFFFF);
    surface.setDrawStyle(DrawingSurface::Dot);
    surface.Line(20, 0, 20, 492);
    int drawn = 0;
    for (int y = 0; y < DrawingSurface::kHeight; ++y)
        drawn += at(surface, 20, y) != kBlack;
    EXPECT_GT(drawn, DrawingSurface::kHeight / 3);
    EXPECT_LT(drawn, 2 * DrawingSurface::kHeight / 3);
    EXPECT_NE(at(surface, 20, 0), kBlack); // the pattern starts with a dot
}

TEST(DrawingSurface, ClipsAnythingOutsideWithoutError)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0xFFFFFF);
    surface.PSet(-1, 10);
    surface.PSet(1245, 10);
    surface.PSet(10, 493);
    surface.PSet(10, -1e30f);
    surface.PSet(std::numeric_limits<float>::quiet_NaN(), 3);
    surface.Line(-32768, -5, -32760, -1);
    surface.Line(32763, 400, 32771, 408);
    EXPECT_EQ(surface.image().size(), QSize(1245, 493));
    for (int y = 0; y < DrawingSurface::kHeight; ++y)
        for (int x = 0; x < DrawingSurface::kWidth; ++x)
            ASSERT_EQ(at(surface, x, y), kBlack) << x << "," << y;

    // A line from far outside still shows where it crosses the surface.
    surface.Line(-1e9f, 100, 1e9f, 100);
    EXPECT_EQ(at(surface, 0, 100), 0xFFFFFFFFu);
    EXPECT_EQ(at(surface, 1244, 100), 0xFFFFFFFFu);
}

TEST(DrawingSurface, MapsCoordinatesToTheNearestPixelWithHalvesToEven)
{
    EXPECT_EQ(DrawingSurface::toPixel(10.4f), 10);
    EXPECT_EQ(DrawingSurface::toPixel(10.6f), 11);
    EXPECT_EQ(DrawingSurface::toPixel(10.5f), 10);
    EXPECT_EQ(DrawingSurface::toPixel(11.5f), 12);
    EXPECT_EQ(DrawingSurface::toPixel(-0.4f), 0);
}

TEST(DrawingSurface, PrintsANumberWithASpaceForThePlusSignAndOneAfter)
{
    auto printed = [](auto value) {
        DrawingSurface surface = blackSurface();
        surface.setForeColor(colourRgb(0, 128, 0));
        surface.setCurrentX(2);
        surface.setCurrentY(49);
        surface.Print(value);
        return surface.image();
    };
    EXPECT_EQ(printed(int16_t(10)), printed(QStringLiteral(" 10 ")));
    EXPECT_EQ(printed(int16_t(-2)), printed(QStringLiteral("-2 ")));
    EXPECT_NE(printed(int16_t(10)), printed(QStringLiteral("10 ")));
    EXPECT_NE(printed(int16_t(10)), blackSurface().image()); // text really renders
}

TEST(DrawingSurface, PrintsWithTheTextsTopLeftCornerAtTheCurrentPosition)
{
    // The toolkit's own top-left alignment of the same text in the same font
    // is the reference, at the pixel nearest to the position.
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0xFFFFFF);
    surface.setFontSize(12);
    surface.setCurrentX(100.4f);
    surface.setCurrentY(50.6f);
    surface.Print(QStringLiteral("Quenlari -10"));

    QImage reference(surface.image().size(), QImage::Format_RGB32);
    reference.fill(Qt::black);
    {
        QFont font = design::font(12);
        font.setStyleStrategy(QFont::NoAntialias);
        QPainter painter(&reference);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(100, 51, 400, 100), Qt::AlignLeft | Qt::AlignTop,
                         QStringLiteral("Quenlari -10"));
    }
    EXPECT_EQ(surface.image(), reference);
    EXPECT_EQ(surface.currentX(), 0.0f); // then the start of the next line
    EXPECT_GT(surface.currentY(), 60.0f);
}

TEST(DrawingSurface, PropertiesPersistAcrossCls)
{
    DrawingSurface surface;
    surface.setBackColor(0x123456);
    surface.setForeColor(0x808080);
    surface.setDrawMode(DrawingSurface::XorPen);
    surface.setDrawStyle(DrawingSurface::Dot);
    surface.setFontSize(12);
    surface.setDrawWidth(1);
    surface.Cls();
    EXPECT_EQ(surface.image().pixel(0, 0), qRgb(0x56, 0x34, 0x12));
    EXPECT_EQ(surface.backColor(), 0x123456u);
    EXPECT_EQ(surface.drawWidth(), 1);
    EXPECT_EQ(surface.foreColor(), 0x808080u);
    EXPECT_EQ(surface.drawMode(), DrawingSurface::XorPen);
    EXPECT_EQ(surface.drawStyle(), DrawingSurface::Dot);
    EXPECT_EQ(surface.fontSize(), 12.0f);
}

TEST(DrawingSurface, PictureShowsUnderWhatIsDrawnUntilRemoved)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0xFFFFFF);
    surface.PSet(5, 5);
    QImage picture(20, 10, QImage::Format_RGB32);
    picture.fill(qRgb(10, 200, 30));
    surface.setPicture(picture);
    EXPECT_EQ(at(surface, 19, 9), qRgb(10, 200, 30));
    EXPECT_EQ(at(surface, 5, 5), 0xFFFFFFFFu); // drawing stays over it
    EXPECT_EQ(at(surface, 20, 9), kBlack);     // top-left, unscaled
    surface.Cls();
    EXPECT_EQ(at(surface, 5, 5), qRgb(10, 200, 30));
    surface.setPicture(QImage());
    EXPECT_EQ(at(surface, 0, 0), kBlack);

    QImage large(3000, 1000, QImage::Format_RGB32);
    large.fill(qRgb(1, 2, 3));
    surface.setPicture(large); // cut to the surface
    EXPECT_EQ(at(surface, 1244, 492), qRgb(1, 2, 3));
}

TEST(DrawingSurface, ASecondPictureReplacesTheFirstUnderWhatWasDrawnSince)
{
    DrawingSurface surface = blackSurface();
    QImage first(40, 30, QImage::Format_RGB32);
    first.fill(qRgb(10, 200, 30));
    surface.setPicture(first);
    surface.setForeColor(0xFFFFFF);
    surface.PSet(5, 5);  // on the first picture
    surface.PSet(50, 5); // beside it, on the back colour

    QImage second(20, 40, QImage::Format_RGB32); // narrower and taller
    second.fill(qRgb(200, 20, 90));
    surface.setPicture(second);
    EXPECT_EQ(at(surface, 0, 0), qRgb(200, 20, 90));
    EXPECT_EQ(at(surface, 19, 39), qRgb(200, 20, 90)); // where only the back colour was
    EXPECT_EQ(at(surface, 30, 10), kBlack);            // the first showed here, the second does not reach
    EXPECT_EQ(at(surface, 5, 5), 0xFFFFFFFFu);         // drawing stays over the new picture
    EXPECT_EQ(at(surface, 50, 5), 0xFFFFFFFFu);
    EXPECT_EQ(at(surface, 20, 0), kBlack);

    surface.setPicture(QImage());
    EXPECT_EQ(at(surface, 0, 0), kBlack);
    EXPECT_EQ(at(surface, 5, 5), 0xFFFFFFFFu);
}

TEST(DrawingSurface, ReportsOnlyTheRectangleThatChanged)
{
    DrawingSurface surface = blackSurface();
    int notified = 0;
    surface.setChangeListener([&] { ++notified; });
    surface.setForeColor(0x808080);
    surface.Line(300, 0, 300, 495);
    surface.Line(310, 0, 310, 495);
    EXPECT_EQ(notified, 1); // once until the view takes the rectangle
    auto dirty = surface.takeDirty();
    ASSERT_EQ(dirty.count, 2); // two columns, not the ten between them
    EXPECT_EQ(dirty.rects[0], QRect(300, 0, 1, 493));
    EXPECT_EQ(dirty.rects[1], QRect(310, 0, 1, 493));
    surface.PSet(5, 6);
    surface.PSet(6, 6); // touching: merged
    EXPECT_EQ(notified, 2);
    dirty = surface.takeDirty();
    ASSERT_EQ(dirty.count, 1);
    EXPECT_EQ(dirty.rects[0], QRect(5, 6, 2, 1));
    EXPECT_EQ(surface.takeDirty().count, 0);

    surface.Cls();
    surface.PSet(5, 6);
    EXPECT_EQ(surface.takeDirty().bounds(), surface.image().rect());
}

} // namespace

namespace {

TEST(DrawingSurface, ACopyOfTheImageKeepsWhatItShowedWhenTaken)
{
    DrawingSurface surface = blackSurface();
    surface.setForeColor(0xFFFFFF);
    surface.PSet(1, 1);
    const QImage kept = surface.image();
    surface.PSet(2, 2);
    surface.Line(0, 5, 100, 5);
    EXPECT_EQ(kept.pixel(1, 1), 0xFFFFFFFFu);
    EXPECT_EQ(kept.pixel(2, 2), kBlack);
    EXPECT_EQ(kept.pixel(50, 5), kBlack);
    EXPECT_EQ(surface.image().pixel(2, 2), 0xFFFFFFFFu);
}

} // namespace
