// Writes pictures of the program for the README:
//   quenlari_screenshot WINDOW.png [ABOUT.png]
// the main window after start-up and, if asked, the About window.

#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QDialog>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: quenlari_screenshot WINDOW.png [ABOUT.png]\n");
        return 2;
    }
    Form1 form;
    form.setWindowState(Qt::WindowNoState);
    form.resize(1280, 800);
    form.show();
    QApplication::processEvents();
    bool saved = form.grab().save(QString::fromLocal8Bit(argv[1]));
    if (argc == 3) {
        form.findChild<QAction *>("mnuAbout")->trigger();
        QApplication::processEvents();
        for (QWidget *window : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog *>(window) && window->isVisible())
                saved = saved && window->grab().save(QString::fromLocal8Bit(argv[2]));
    }
    if (!saved) {
        std::fprintf(stderr, "could not write the pictures\n");
        return 1;
    }
    return 0;
}
