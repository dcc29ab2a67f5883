#include "app/form1.h"
#include "app/version.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kVersion.productName));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion.text));
    Form1 form;
    form.show();
    return app.exec();
}
