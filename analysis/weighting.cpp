#include "analysis/weighting.h"

namespace analysis {

namespace {

// The curve's poles, in hertz.
constexpr double kF1 = 20.598997, kF2 = 107.65265, kF3 = 737.86223, kF4 = 12194.217;

// The amplitude's response squared, before normalising.
double aSquared(double hz)
{
    const double f2 = hz * hz;
    const double numerator = kF4 * kF4 * f2 * f2;
    const double denominator = (f2 + kF1 * kF1) * (f2 + kF4 * kF4);
    const double response = numerator / denominator;
    return response * response / ((f2 + kF2 * kF2) * (f2 + kF3 * kF3));
}

} // namespace

double aWeightingPower(double hz)
{
    static const double atOneKilohertz = aSquared(1000);
    return aSquared(hz) / atOneKilohertz;
}

double weightingPower(Weighting weighting, double hz)
{
    return weighting == Weighting::A ? aWeightingPower(hz) : 1;
}

} // namespace analysis
