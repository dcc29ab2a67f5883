#pragma once

#include <cstddef>
#include <optional>

// The two tones of an intermodulation test. SMPTE and DIN put a low tone four
// times as strong as a high one (the high one is modulated by the low); CCIF
// puts two high tones of equal strength close together, whose difference
// tone falls low in the band.
namespace twotone {

enum class Method { Smpte, Din, Ccif };

struct TwoTone
{
    Method method = Method::Smpte;
    double f1Hz = 60;   // the low tone (SMPTE, DIN) or the lower of the pair (CCIF)
    double f2Hz = 7000; // the high tone
    double ratio = 4;   // f1's amplitude over f2's

    bool modulation() const { return method != Method::Ccif; }
};

// The method's tones: SMPTE 60 Hz and 7 kHz, DIN 250 Hz and 8 kHz (4:1), CCIF
// 19 and 20 kHz (1:1).
TwoTone standard(Method method);
// "smpte", "din", "ccif", and back; empty for a name that is none of them.
const char *nameOf(Method method);
std::optional<Method> methodNamed(const char *name);

// Whether f1 and f2 suit the method: both above 0 and below `nyquist`, f1
// below f2; for SMPTE and DIN f2 above six times f1, so that the products
// f2 - 5 f1 ... f2 + 5 f1 all lie above f1.
bool suits(const TwoTone &tones, double nyquist);

// The sum at the instants (first + i) / rate, its peak (the two amplitudes'
// sum) at 1: f1's amplitude ratio / (ratio + 1), f2's 1 / (ratio + 1). Both
// start at phase 0.
void render(const TwoTone &tones, double rate, long long first, double *out, std::size_t count);

} // namespace twotone
