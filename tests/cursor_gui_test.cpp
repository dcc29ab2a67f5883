#include "app/form1.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The main window with the pointer driven over its plot surface, by events
// delivered to the Picture1 widget as the platform would.
struct Window
{
    Form1 form;
    PictureBox *picture = form.findChild<PictureBox *>("Picture1");

    Window() { QLocale::setDefault(QLocale::c()); }
    ~Window() { QLocale::setDefault(QLocale::system()); }

    void send(QEvent::Type type, float x, float y, Qt::MouseButton button, Qt::MouseButtons held)
    {
        const QPointF local = QPointF(x, y) + picture->clientOrigin();
        QMouseEvent event(type, local, picture->mapToGlobal(local), button, held, Qt::NoModifier);
        QApplication::sendEvent(picture, &event);
    }
    void move(float x, float y, Qt::MouseButtons held = Qt::NoButton)
    {
        send(QEvent::MouseMove, x, y, Qt::NoButton, held);
    }
    void release(float x, float y, Qt::MouseButton button = Qt::LeftButton)
    {
        send(QEvent::MouseButtonRelease, x, y, button, Qt::NoButton);
    }
    QString text(const char *label) const { return form.findChild<QLabel *>(QLatin1String(label))->text(); }
    const QImage &image() const { return form.surface().image(); }
};

TEST(CursorWindow, MovingThePointerMovesTheLineAndTheReadouts)
{
    Window window;
    EXPECT_TRUE(window.picture->hasMouseTracking());
    EXPECT_EQ(window.text("Label4"), "X");
    window.move(15, 23);
    EXPECT_EQ(window.text("Label4"), " X = 20 ");
    EXPECT_EQ(window.text("Label6"), " Y = 99.55 ");
    EXPECT_EQ(window.form.state().cursorX, 20.0f);
    // The dotted line runs down to the last row: 3 pixels on, 3 off from row 0.
    const QImage before = window.image().copy();
    window.move(300, 200);
    for (int y : {0, 1, 2, 486, 487, 488, 492})
        EXPECT_EQ(window.image().pixel(300, y), before.pixel(300, y) ^ 0x808080u) << y;
    for (int y : {3, 4, 5, 489, 490, 491})
        EXPECT_EQ(window.image().pixel(300, y), before.pixel(300, y)) << y;
    window.move(-6, 490, Qt::LeftButton); // held outside the surface: not clamped
    EXPECT_EQ(window.text("Label4"), " X = -10 ");
    EXPECT_EQ(window.text("Label6"), " Y = -109.87 ");
}

TEST(CursorWindow, StepZeroFollowsThePointersOwnColumn)
{
    Window window;
    window.form.findChild<UpDown *>("UpDown8")->setValue(0);
    QSignalSpy errors(&window.form, &Form1::errorShown);
    window.move(37.5f, 245);
    EXPECT_EQ(window.text("Label4"), " X = 38 ");
    EXPECT_EQ(window.text("Label6"), " Y = 0 ");
    window.release(36.5f, 245);
    EXPECT_EQ(window.text("Label10"), "36");
    EXPECT_EQ(window.form.state().sampleX[1], 36);
    EXPECT_EQ(errors.count(), 0);
}

TEST(CursorWindow, AReleaseStoresASampleAndMarksIt)
{
    Window window;
    EXPECT_EQ(window.text("Label10"), "");
    EXPECT_EQ(window.text("Label17"), "0");
    window.release(15, 100);
    EXPECT_EQ(window.text("Label10"), "20");
    EXPECT_EQ(window.text("Label12"), "65.02");
    EXPECT_EQ(window.text("Label17"), "1");
    EXPECT_EQ(window.form.state().sampleX[1], 20);
    EXPECT_EQ(window.form.state().sampleValue[1], 65.02f);
    for (int i = 0; i <= 8; ++i) {
        EXPECT_EQ(window.image().pixel(16 + i, 96 + i), qRgb(0, 0, 255)) << i;
        EXPECT_EQ(window.image().pixel(16 + i, 104 - i), qRgb(0, 0, 255)) << i;
    }
    window.release(300, 244, Qt::RightButton);
    EXPECT_EQ(window.text("Label17"), "2");
    EXPECT_EQ(window.text("Label12"), "0.45");
    window.release(300, 246, Qt::MiddleButton);
    EXPECT_EQ(window.text("Label12"), "-0.45");
    EXPECT_EQ(window.form.state().sampleCount, 3);
    window.release(1480, 600); // released well outside the surface: stored all the same
    EXPECT_EQ(window.text("Label10"), "1480");
    EXPECT_EQ(window.text("Label12"), "-159.19");
    EXPECT_EQ(window.text("Label17"), "4");
    EXPECT_EQ(window.form.state().sampleX[4], 1480);
    EXPECT_EQ(window.form.state().sampleValue[4], -159.19f);
}

TEST(CursorWindow, TwoReleasesAtOnePointAfterAMoveRemoveTheCrossButStoreBoth)
{
    Window window;
    window.move(600, 300);
    const QImage before = window.image().copy();
    window.release(15, 100);
    EXPECT_NE(window.image(), before);
    window.release(15, 100);
    EXPECT_EQ(window.image(), before);
    EXPECT_EQ(window.text("Label17"), "2");
    EXPECT_EQ(window.form.state().sampleX[2], 20);
}

TEST(CursorWindow, ARedrawRemovesTheCrossesAndANewOneShowsOnTheFreshPlot)
{
    Window window;
    window.release(15, 100);
    QTest::mouseClick(window.form.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    EXPECT_NE(window.image().pixel(16, 96), qRgb(0, 0, 255));
    window.release(415, 100);
    EXPECT_EQ(window.image().pixel(416, 96), qRgb(0, 0, 255));
    EXPECT_EQ(window.form.state().sampleCount, 2);
}

TEST(CursorWindow, AFullMemoryDrawsAndCountsNothingAndSaysSo)
{
    Window window;
    QSignalSpy errors(&window.form, &Form1::errorShown);
    for (int i = 0; i < 1000; ++i)
        window.release(static_cast<float>(i % 1245), 100);
    EXPECT_EQ(window.form.state().sampleCount, 1000);
    EXPECT_EQ(window.form.state().sampleX[1000], 1000);
    EXPECT_EQ(errors.count(), 0);

    const QImage before = window.image().copy();
    window.release(615, 300);
    EXPECT_EQ(window.image(), before); // no cross
    EXPECT_EQ(window.form.state().sampleCount, 1000);
    EXPECT_EQ(window.text("Label17"), "1000");
    EXPECT_EQ(window.text("Label10"), "620");
    EXPECT_EQ(window.text("Label12"), "-24.66");
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.at(0).at(0).toString().contains("sample memory is full (1000 samples)"));
}

// Records the area of every repaint of a widget.
struct PaintRecorder : QObject
{
    QRegion painted;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};

TEST(CursorWindow, AMoveRepaintsOnlyTheColumnsOfTheTwoLines)
{
    Window window;
    window.form.setWindowState(Qt::WindowNoState);
    window.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window.form));
    window.move(100, 200);
    QApplication::processEvents();

    PaintRecorder recorder;
    window.picture->installEventFilter(&recorder);
    window.move(700, 200);
    QApplication::processEvents();
    const QPoint origin = window.picture->clientOrigin();
    const QRegion lines = QRegion(QRect(origin + QPoint(100, 0), QSize(1, 493))) +
                          QRegion(QRect(origin + QPoint(700, 0), QSize(1, 493)));
    EXPECT_FALSE(recorder.painted.isEmpty());
    EXPECT_EQ(recorder.painted - lines, QRegion()); // nothing beyond the two columns
    EXPECT_TRUE(recorder.painted.contains(QRect(origin + QPoint(700, 100), QSize(1, 300))));
}

} // namespace
