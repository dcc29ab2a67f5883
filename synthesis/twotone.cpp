#include "synthesis/twotone.h"

#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <cmath>
#include <cstring>

namespace twotone {

TwoTone standard(Method method)
{
    switch (method) {
    case Method::Smpte:
        return {method, 60, 7000, 4};
    case Method::Din:
        return {method, 250, 8000, 4};
    case Method::Ccif:
        return {method, 19000, 20000, 1};
    }
    return {};
}

const char *nameOf(Method method)
{
    switch (method) {
    case Method::Smpte:
        return "smpte";
    case Method::Din:
        return "din";
    case Method::Ccif:
        return "ccif";
    }
    return "";
}

std::optional<Method> methodNamed(const char *name)
{
    for (Method method : {Method::Smpte, Method::Din, Method::Ccif})
        if (std::strcmp(name, nameOf(method)) == 0)
            return method;
    return std::nullopt;
}

bool suits(const TwoTone &tones, double nyquist)
{
    if (!(tones.f1Hz > 0 && tones.f1Hz < tones.f2Hz && tones.f2Hz < nyquist))
        return false;
    return !tones.modulation() || tones.f2Hz > 6 * tones.f1Hz;
}

void render(const TwoTone &tones, double rate, long long first, double *out, std::size_t count)
{
    using dsp::kPi;
    const double a1 = tones.ratio / (tones.ratio + 1), a2 = 1 / (tones.ratio + 1);
    const double cycles1 = tones.f1Hz / rate, cycles2 = tones.f2Hz / rate;
    dsp::Oscillator<double> low(2 * kPi * cycles1), high(2 * kPi * cycles2);
    dsp::forEachAnchorSpan(0, count, [&](std::size_t begin, std::size_t end) {
        // Each tone's phase from the sample number now and then, so no error builds up.
        const double at = static_cast<double>(first + static_cast<long long>(begin));
        const double c1 = cycles1 * at, c2 = cycles2 * at;
        low.anchor(2 * kPi * (c1 - std::floor(c1)));
        high.anchor(2 * kPi * (c2 - std::floor(c2)));
        for (std::size_t i = begin; i < end; ++i, low.turn(), high.turn())
            out[i] = a1 * low.sine() + a2 * high.sine();
    });
}

} // namespace twotone
