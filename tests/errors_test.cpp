// Every way a handler can fail ends in one clear message, keeps what was done
// before the failure, and leaves the program working.

#include "app/form1.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Window
{
    Form1 form;
    PictureBox *picture = form.findChild<PictureBox *>("Picture1");
    QSignalSpy errors{&form, &Form1::errorShown};

    void send(QEvent::Type type, float x, float y, Qt::MouseButton button, Qt::MouseButtons held)
    {
        const QPointF local = QPointF(x, y) + picture->clientOrigin();
        QMouseEvent event(type, local, picture->mapToGlobal(local), button, held, Qt::NoModifier);
        QApplication::sendEvent(picture, &event);
    }
    void move(float x, float y) { send(QEvent::MouseMove, x, y, Qt::NoButton, Qt::LeftButton); }
    void release(float x, float y) { send(QEvent::MouseButtonRelease, x, y, Qt::LeftButton, Qt::NoButton); }
    QString text(const char *label) const { return form.findChild<QLabel *>(QLatin1String(label))->text(); }
    QString lastError() const { return errors.isEmpty() ? QString() : errors.last().at(0).toString(); }
    QMessageBox *box() const
    {
        QMessageBox *shown = nullptr;
        for (auto *box : form.findChildren<QMessageBox *>())
            if (box->isVisible())
                shown = box;
        return shown;
    }
};

TEST(Errors, ACursorMoveBeyondSixteenBitsIsReportedAndChangesNothing)
{
    Window window;
    window.form.findChild<UpDown *>("UpDown8")->setValue(1);
    window.move(100, 100);
    const QImage before = window.form.surface().image().copy();
    window.move(40000, 100); // dragged far off a very wide desktop
    ASSERT_EQ(window.errors.count(), 1);
    EXPECT_TRUE(window.lastError().startsWith("Moving the cursor failed: Overflow")) << window.lastError().toStdString();
    EXPECT_EQ(window.text("Label4"), " X = 100 ");
    EXPECT_EQ(window.form.state().cursorX, 100.0f);
    EXPECT_EQ(window.form.surface().image(), before);
    ASSERT_NE(window.box(), nullptr);
    EXPECT_EQ(window.box()->text(), window.lastError());

    window.move(200, 100); // the program goes on
    EXPECT_EQ(window.text("Label4"), " X = 200 ");
    EXPECT_EQ(window.errors.count(), 1);
}

TEST(Errors, AReleaseBeyondSixteenBitsStoresNothing)
{
    Window window;
    window.release(-400000, 100);
    ASSERT_EQ(window.errors.count(), 1);
    EXPECT_TRUE(window.lastError().startsWith("Storing a sample failed: Overflow"));
    EXPECT_EQ(window.text("Label10"), "");
    EXPECT_EQ(window.form.state().sampleCount, 0);
    window.release(15, 100);
    EXPECT_EQ(window.form.state().sampleCount, 1);
}

TEST(Errors, ACrossThatWouldPassTheSixteenBitEndIsNotDrawnNorCounted)
{
    Window window;
    window.form.findChild<UpDown *>("UpDown8")->setValue(1);
    const QImage before = window.form.surface().image().copy();
    window.release(32766, 245);
    ASSERT_EQ(window.errors.count(), 1);
    EXPECT_TRUE(window.lastError().contains("the sample cross")) << window.lastError().toStdString();
    EXPECT_EQ(window.text("Label10"), "32766"); // shown before the failure, as it stays
    EXPECT_EQ(window.text("Label12"), "0");
    EXPECT_EQ(window.form.state().sampleCount, 0);
    EXPECT_EQ(window.text("Label17"), "0");
    EXPECT_EQ(window.form.surface().image(), before);
}

TEST(Errors, RepeatedErrorsShareOneMessageBox)
{
    Window window;
    for (int i = 0; i < 5; ++i)
        window.release(1e7f, 100);
    EXPECT_EQ(window.errors.count(), 5);
    int visible = 0;
    for (auto *box : window.form.findChildren<QMessageBox *>())
        visible += box->isVisible();
    EXPECT_EQ(visible, 1);
}

TEST(Errors, AFolderChosenAsAPictureIsReported)
{
    Window window;
    QTemporaryDir folder;
    window.form.fileDialog().setAnswer([&](const CommonDialog &) { return folder.path(); });
    window.form.findChild<QAction *>("mnuOpen")->trigger();
    ASSERT_EQ(window.errors.count(), 1);
    EXPECT_TRUE(window.lastError().contains(folder.path()));
    EXPECT_TRUE(window.lastError().contains("not a file"));
}

} // namespace
