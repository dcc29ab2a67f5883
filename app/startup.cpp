#include "app/startup.h"

#include <QSettings>

void keepNoSettings()
{
    // A device file is never a folder, so no settings file can be created
    // below it: the writes fail quietly and nothing reaches the user's disk.
    const QString nowhere = QStringLiteral("/dev/null");
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, nowhere);
        QSettings::setPath(format, QSettings::SystemScope, nowhere);
    }
}
