#include "base/savefile.h"

#include "base/errors.h"

#include <QSaveFile>

void saveWhole(const QString &name, const std::function<bool(QIODevice &)> &write)
{
    QSaveFile file(name);
    const auto fail = [&] {
        // A device that failed without a word of its own (a picture writer, say) still gets one.
        const QString why = file.error() != QFileDevice::NoError ? file.errorString()
                                                                   : QStringLiteral("the data could not be written");
        throw QuenlariError(QStringLiteral("cannot write \"%1\": %2").arg(name, why).toStdString());
    };
    if (!file.open(QIODevice::WriteOnly))
        fail();
    if (!write(file))
        fail();
    if (!file.commit())
        fail();
}
