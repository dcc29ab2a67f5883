#include "app/form1.h"
#include "app/startup.h"
#include "app/version.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The program takes no command line: the toolkit sees the program's name
    // alone, so its own options (-stylesheet, -platform, -reverse, ...) do
    // nothing, while its environment variables work as for any program.
    int toolkitArgc = argc > 0 ? 1 : 0;
    QApplication app(toolkitArgc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kVersion.productName));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion.text));
    keepNoSettings();
    Form1 form;
    form.show();
    return app.exec();
}
