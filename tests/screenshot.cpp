// Writes a picture of the main window after start-up, as the README shows it.

#include "app/form1.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quenlari_screenshot FILE.png\n");
        return 2;
    }
    Form1 form;
    form.setWindowState(Qt::WindowNoState);
    form.resize(1280, 800);
    form.show();
    QApplication::processEvents();
    if (!form.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
