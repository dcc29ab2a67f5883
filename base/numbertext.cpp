#include "base/numbertext.h"

#include <QLocale>

#include <cmath>
#include <cstdio>

QString integerText(long long value)
{
    return QString::number(value);
}

QString singleText(float value)
{
    if (value == 0)
        return QStringLiteral("0"); // also for -0, which the short form writes without sign
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");

    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.7g", static_cast<double>(value));
    QString text = QString::fromLatin1(buffer);

    QString exponent;
    const qsizetype e = text.indexOf(QLatin1Char('e'));
    if (e >= 0) {
        // Scientific form as the classic short form writes it: 1.5E+07, 2E-05.
        exponent = text.mid(e).toUpper();
        text.truncate(e);
    }
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    text.replace(QLatin1Char('.'), QLocale().decimalPoint());
    return text + exponent;
}

double roundHalfEven2(double value)
{
    // nearbyint rounds in the default mode, which takes halves to even.
    return std::nearbyint(value * 100.0) / 100.0;
}

QString figureText(double value, int decimals)
{
    if (std::isnan(value))
        return QStringLiteral("n/a");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    return QLocale().toString(value, 'f', decimals);
}
