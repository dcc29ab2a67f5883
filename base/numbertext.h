#pragma once

#include <QString>

// The number texts of every label and printed line, in one place.

// Plain decimal: a minus sign when negative, nothing else around the digits.
QString integerText(long long value);

// The short form of a single: at most 7 significant digits, no trailing zeros,
// no point for a whole value, the decimal separator of the default locale and
// never a group separator.
QString singleText(float value);

// Rounds to two decimals, an exact half going to the even neighbour.
double roundHalfEven2(double value);

// A figure of the analysis and measurement windows: fixed decimals in the
// default locale's form, "n/a" for an undefined one, "inf" or "-inf".
QString figureText(double value, int decimals);
