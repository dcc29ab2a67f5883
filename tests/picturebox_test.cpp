#include "app/form1.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr QRgb kUnpainted = 0xFFFF00FF;
constexpr int kBorder = 2;
const QRect kDrawingArea(kBorder, kBorder, 1245, 493); // in the widget

struct Screen
{
    Form1 form;
    PictureBox *box = form.findChild<PictureBox *>("Picture1");

    // The box's own painting of `region`, over a colour it never uses.
    QImage paint(const QRegion &region = QRegion()) const
    {
        QImage image(box->size(), QImage::Format_ARGB32);
        image.fill(kUnpainted);
        box->render(&image, region.boundingRect().topLeft(), region, QWidget::RenderFlags());
        return image;
    }
    void move(float x, float y)
    {
        const QPointF local = QPointF(x, y) + box->clientOrigin();
        QMouseEvent event(QEvent::MouseMove, local, box->mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(box, &event);
    }
    QRgb plot(int x, int y) const { return form.surface().image().pixel(x, y); }

    // What reaches the screen, compared with the surface pixel for pixel,
    // outside the border and the readout labels that lie over the plot.
    int mismatches() const
    {
        const QImage shown = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QRegion hidden;
        for (const QLabel *label : box->findChildren<QLabel *>())
            hidden += label->geometry();
        int wrong = 0;
        for (int y = kDrawingArea.top(); y <= kDrawingArea.bottom(); ++y)
            for (int x = kDrawingArea.left(); x <= kDrawingArea.right(); ++x)
                if (!hidden.contains(QPoint(x, y)) && shown.pixel(x, y) != plot(x - kBorder, y - kBorder))
                    ++wrong;
        return wrong;
    }
};

TEST(PictureBox, TheBorderLiesOutsideTheDrawingAreaAndEveryPixelIsPainted)
{
    Screen screen;
    ASSERT_EQ(screen.box->size(), QSize(1249, 497));
    const QImage painted = screen.paint();
    for (int y = 0; y < painted.height(); ++y)
        for (int x = 0; x < painted.width(); ++x)
            ASSERT_NE(painted.pixel(x, y), kUnpainted) << x << "," << y;
    // The plot's last column and row show in full.
    for (int y = 0; y < 493; ++y)
        ASSERT_EQ(painted.pixel(1246, y + kBorder), screen.plot(1244, y)) << y;
    for (int x = 0; x < 1245; ++x)
        ASSERT_EQ(painted.pixel(x + kBorder, 494), screen.plot(x, 492)) << x;

    // Sunken: dark lines above and to the left, light ones below and to the right.
    const QPalette &colours = screen.box->palette();
    EXPECT_EQ(painted.pixel(600, 0), colours.color(QPalette::Mid).rgb());
    EXPECT_EQ(painted.pixel(0, 200), colours.color(QPalette::Mid).rgb());
    EXPECT_EQ(painted.pixel(600, 1), colours.color(QPalette::Shadow).rgb());
    EXPECT_EQ(painted.pixel(1, 200), colours.color(QPalette::Shadow).rgb());
    EXPECT_EQ(painted.pixel(600, 496), colours.color(QPalette::Light).rgb());
    EXPECT_EQ(painted.pixel(1248, 200), colours.color(QPalette::Light).rgb());
    EXPECT_EQ(painted.pixel(600, 495), colours.color(QPalette::Midlight).rgb());
    EXPECT_EQ(painted.pixel(1247, 200), colours.color(QPalette::Midlight).rgb());
}

TEST(PictureBox, APartialRepaintAtTheRightEdgeKeepsThePlotAndTheBorderApart)
{
    Screen screen;
    screen.form.findChild<UpDown *>("UpDown8")->setValue(1);
    const QRgb before = screen.plot(1244, 96);
    screen.move(1244, 100); // the cursor line on the plot's last column
    EXPECT_NE(screen.plot(1244, 96), before);
    const QRect edge(1240, 0, 9, 497); // the last plot columns and the right border
    const QImage painted = screen.paint(edge);
    const QPalette &colours = screen.box->palette();
    for (int y = kBorder; y < 495; ++y) {
        for (int x = 1240; x <= 1246; ++x)
            ASSERT_EQ(painted.pixel(x, y), screen.plot(x - kBorder, y - kBorder)) << x << "," << y;
        ASSERT_EQ(painted.pixel(1247, y), colours.color(QPalette::Midlight).rgb()) << y;
        ASSERT_EQ(painted.pixel(1248, y), colours.color(QPalette::Light).rgb()) << y;
    }
    EXPECT_EQ(painted.pixel(1239, 100), kUnpainted); // nothing outside the region
}

TEST(PictureBox, TheScreenShowsTheSurfaceAfterStartUpACursorMoveAndAPicture)
{
    Screen screen;
    EXPECT_EQ(screen.mismatches(), 0);

    screen.move(300, 200);
    QApplication::processEvents(); // the repaint after the handler
    EXPECT_EQ(screen.mismatches(), 0);

    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("a.bmp"));
    QImage picture(1245, 493, QImage::Format_RGB32);
    picture.fill(qRgb(40, 90, 160));
    ASSERT_TRUE(picture.save(name, "BMP"));
    screen.form.fileDialog().setAnswer([&](const CommonDialog &) { return name; });
    screen.form.findChild<QAction *>("mnuOpen")->trigger();
    QApplication::processEvents();
    EXPECT_EQ(screen.plot(600, 400), qRgb(40, 90, 160));
    EXPECT_EQ(screen.mismatches(), 0);
}

} // namespace
