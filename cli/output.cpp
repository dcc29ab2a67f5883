#include "cli/output.h"

#include "base/savefile.h"

#include <QFile>
#include <QTemporaryFile>

#include <cmath>
#include <cstdio>

namespace cli {

int writeOutput(const QString &name, const std::function<bool(QIODevice &)> &write)
{
    const bool toStandardOutput = name == QLatin1String("-");
    try {
        if (toStandardOutput) {
            QTemporaryFile file;
            QFile out;
            if (file.open() && write(file) && file.flush() && file.seek(0) &&
                out.open(stdout, QIODevice::WriteOnly)) {
                bool copied = true;
                while (copied && !file.atEnd()) {
                    const QByteArray block = file.read(1 << 20);
                    copied = out.write(block) == block.size();
                }
                if (copied && out.flush())
                    return 0;
            }
            std::fprintf(stderr, "quenlari-cli: could not write to standard output\n");
            return kFailed;
        }
        saveWhole(name, write);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quenlari-cli: %s\n", error.what());
    }
    return kFailed;
}

QJsonValue jsonNumber(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QString fixedText(double value, int decimals)
{
    if (std::isnan(value))
        return QStringLiteral("n/a");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    return QString::number(value, 'f', decimals);
}

} // namespace cli
