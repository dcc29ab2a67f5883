#include "about/aboutwindow.h"
#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QList<AboutWindow *> aboutWindows()
{
    QList<AboutWindow *> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *about = qobject_cast<AboutWindow *>(widget); about && about->isVisible())
            found.append(about);
    return found;
}

AboutWindow *openAbout(Form1 &form)
{
    form.findChild<QAction *>("mnuAbout")->trigger();
    const auto found = aboutWindows();
    return found.size() == 1 ? found.first() : nullptr;
}

QString text(AboutWindow *about, const char *name)
{
    return about->findChild<QLabel *>(QLatin1String(name))->text();
}

// Closed windows are deleted later, by the event loop.
void settle()
{
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Twips as designed, 15 to the pixel.
QRect designed(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

TEST(About, ShowsTheTitleVersionAndDescriptionWhereDesigned)
{
    Form1 form;
    AboutWindow *about = openAbout(form);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->windowTitle(), " Marovek Synthesis & Analisys Audio signals");
    EXPECT_EQ(about->size(), QSize(382, 134));
    struct Control
    {
        const char *name;
        QRect geometry;
        const char *text; // nullptr: the icon
    };
    const Control controls[] = {
        {"picIcon", designed(240, 240, 540, 540), nullptr},
        {"lblTitle", designed(1050, 240, 4605, 240), "Marovek multiple programs: https://marovek.example"},
        {"lblVersion", designed(1050, 720, 3885, 225), "Version 1.1.63"},
        {"lblDescription", designed(1050, 1125, 3885, 210), "Synthesis & Analisys of audio signals"},
    };
    for (const Control &control : controls) {
        auto *label = about->findChild<QLabel *>(QLatin1String(control.name));
        ASSERT_NE(label, nullptr) << control.name;
        EXPECT_EQ(label->geometry(), control.geometry) << control.name;
        if (control.text) {
            EXPECT_EQ(label->text(), control.text) << control.name;
        }
    }
    auto *ok = about->findChild<QPushButton *>("cmdOK");
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_EQ(ok->geometry(), designed(4245, 1560, 1260, 345));
    EXPECT_TRUE(ok->isDefault());
    auto *line = about->findChild<QWidget *>("Line1");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->geometry(), QRect(0, 96, 372, 1)); // 0 to 5564 twips, both ends, at 1440
    EXPECT_EQ(line->palette().color(QPalette::Window), QColor(128, 128, 128));

    EXPECT_FALSE(about->findChild<QLabel *>("picIcon")->pixmap().isNull());
    EXPECT_EQ(about->findChild<QLabel *>("picIcon")->pixmap().size(), QSize(32, 32));
    EXPECT_FALSE(about->isModal());
    EXPECT_EQ(about->parentWidget(), nullptr);
    EXPECT_FALSE(about->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(about->windowFlags() & Qt::WindowMinimizeButtonHint);
    about->close();
    settle();
}

TEST(About, ChoosingAboutTwiceLeavesOneWindow)
{
    Form1 form;
    AboutWindow *first = openAbout(form);
    AboutWindow *second = openAbout(form);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(aboutWindows().size(), 1);
    first->close();
    settle();
}

TEST(About, OkEnterAndEscapeCloseItAndItComesBackTheSame)
{
    Form1 form;
    const std::function<void(AboutWindow *)> closers[] = {
        [](AboutWindow *about) {
            QTest::mouseClick(about->findChild<QPushButton *>("cmdOK"), Qt::LeftButton);
        },
        [](AboutWindow *about) { QTest::keyClick(about, Qt::Key_Return); },
        [](AboutWindow *about) { QTest::keyClick(about, Qt::Key_Escape); },
    };
    for (const auto &close : closers) {
        QPointer<AboutWindow> about = openAbout(form);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(text(about, "lblVersion"), "Version 1.1.63");
        close(about);
        settle();
        EXPECT_TRUE(about.isNull());
        EXPECT_TRUE(aboutWindows().isEmpty());
    }
}

TEST(About, ClosesWithTheMainWindow)
{
    auto *form = new Form1;
    form->show();
    QPointer<AboutWindow> about = openAbout(*form);
    ASSERT_NE(about, nullptr);
    form->close();
    delete form;
    settle();
    EXPECT_TRUE(about.isNull());
}

} // namespace
