#include "app/updown.h"

#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

struct Spin
{
    UpDown control;
    Spin(int32_t value, int32_t minimum, int32_t maximum, int32_t increment)
    {
        control.setRange(minimum, maximum);
        control.setIncrement(increment);
        control.setValue(value);
        control.resize(17, 33);
    }
    QToolButton *arrow(Qt::ArrowType type)
    {
        for (auto *button : control.findChildren<QToolButton *>())
            if (button->arrowType() == type)
                return button;
        return nullptr;
    }
};

TEST(UpDown, ArrowsStepByTheIncrementAndStopAtTheEnds)
{
    Spin spin(990, 50, 1000, 10);
    QSignalSpy changes(&spin.control, &UpDown::change);
    QTest::mouseClick(spin.arrow(Qt::UpArrow), Qt::LeftButton);
    EXPECT_EQ(spin.control.value(), 1000);
    QTest::mouseClick(spin.arrow(Qt::UpArrow), Qt::LeftButton);
    EXPECT_EQ(spin.control.value(), 1000);
    EXPECT_EQ(changes.count(), 1); // no change, no notification

    spin.control.setValue(60);
    QTest::mouseClick(spin.arrow(Qt::DownArrow), Qt::LeftButton);
    QTest::mouseClick(spin.arrow(Qt::DownArrow), Qt::LeftButton);
    EXPECT_EQ(spin.control.value(), 50);
    EXPECT_EQ(changes.count(), 3);
}

TEST(UpDown, RaisesChangeOnceForEveryProgrammaticChange)
{
    Spin spin(0, 0, 360, 5);
    int32_t seen = -1;
    int raised = 0;
    QObject::connect(&spin.control, &UpDown::change, [&] {
        seen = spin.control.value(); // the new value is readable in the handler
        ++raised;
    });
    spin.control.setValue(165);
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(seen, 165);
    spin.control.setValue(165);
    EXPECT_EQ(raised, 1);
    spin.control.setValue(400); // held at the end of the range
    EXPECT_EQ(seen, 360);
    EXPECT_EQ(raised, 2);
}

TEST(UpDown, StepsWithTheArrowAndPageKeys)
{
    Spin spin(10, 0, 40, 1);
    spin.control.show();
    spin.control.setFocus();
    QTest::keyClick(&spin.control, Qt::Key_Up);
    EXPECT_EQ(spin.control.value(), 11);
    QTest::keyClick(&spin.control, Qt::Key_Down);
    QTest::keyClick(&spin.control, Qt::Key_Down);
    EXPECT_EQ(spin.control.value(), 9);
    QTest::keyClick(&spin.control, Qt::Key_PageUp);
    EXPECT_EQ(spin.control.value(), 9 + UpDown::kPageSteps);
    for (int i = 0; i < 20; ++i)
        QTest::keyClick(&spin.control, Qt::Key_PageDown);
    EXPECT_EQ(spin.control.value(), 0);
}

TEST(UpDown, ArrowsRepeatWhileHeld)
{
    Spin spin(0, 0, 1000, 1);
    spin.control.show();
    QToolButton *up = spin.arrow(Qt::UpArrow);
    EXPECT_TRUE(up->autoRepeat());
    QTest::mousePress(up, Qt::LeftButton);
    QTest::qWait(up->autoRepeatDelay() + 4 * up->autoRepeatInterval());
    QTest::mouseRelease(up, Qt::LeftButton);
    EXPECT_GT(spin.control.value(), 1);
}

} // namespace
