#pragma once

// The error rule: no routine catches an error. A routine that fails throws one
// of these and ends at once; what it did before stays done. Only the window's
// handler guard catches them, shows the message and lets the program go on.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

class QuenlariError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class OverflowError : public QuenlariError
{
public:
    explicit OverflowError(const std::string &what) : QuenlariError("Overflow: " + what) {}
};

// The one checked narrowing for 16- and 32-bit integers: counters, stored
// integers and control products are computed wide and land here.
template <typename Narrow>
Narrow checkedNarrow(long long value, const char *what)
{
    if (value < std::numeric_limits<Narrow>::min() || value > std::numeric_limits<Narrow>::max())
        throw OverflowError(std::string(what) + " (" + std::to_string(value) + ") is out of range");
    return static_cast<Narrow>(value);
}

inline int16_t toInt16(long long value, const char *what) { return checkedNarrow<int16_t>(value, what); }

// Rounds to the nearest whole number, an exact half to the even one, and
// narrows to 16 bits; NaN and anything outside the range is an overflow.
inline int16_t roundToInt16(double value, const char *what)
{
    const double whole = std::nearbyint(value); // the default rounding mode takes halves to even
    if (!(whole >= std::numeric_limits<int16_t>::min() && whole <= std::numeric_limits<int16_t>::max()))
        throw OverflowError(std::string(what) + " (" + std::to_string(value) + ") is out of range");
    return static_cast<int16_t>(whole);
}
inline int32_t toInt32(long long value, const char *what) { return checkedNarrow<int32_t>(value, what); }
