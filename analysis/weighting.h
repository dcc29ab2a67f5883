#pragma once

// How the ear weighs noise: the A curve of IEC 61672, as a gain of power,
// normalised to 1 at 1 kHz.
namespace analysis {

enum class Weighting { None, A };

double aWeightingPower(double hz);
// 1 for None.
double weightingPower(Weighting weighting, double hz);

} // namespace analysis
