#include "analysis/harmonicfit.h"

#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/oscillator.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

namespace analysis {

namespace {

using dsp::kAnchorEvery;
using dsp::kLanes;
using dsp::Lanes;
// The frequency has converged when its last step moves the record's ends by
// less than this (radians of the fundamental).
constexpr double kConvergedPhase = 1e-3;
constexpr int kMostFitted = 20;
// Records of this many blocks and more are summed in parts, on all cores.
constexpr std::size_t kBlocksForParts = 256;
constexpr int kParts = 8;

// Over u = -(L - 1) / 2 ... (L - 1) / 2: K = sum cos(phi u), J = sum u sin(phi u)
// and M = sum u^2 cos(phi u); the sums with the other trigonometric function
// vanish by symmetry.
struct KernelSums
{
    double k = 0, j = 0, m = 0;
};

KernelSums directSums(double phi, std::size_t length)
{
    const double centre = (double(length) - 1) / 2;
    KernelSums sums;
    dsp::Oscillator<double> turning(phi);
    dsp::forEachAnchorSpan(0, length, [&](std::size_t begin, std::size_t end) {
        turning.anchor(phi * (double(begin) - centre));
        for (std::size_t i = begin; i < end; ++i, turning.turn()) {
            const double u = double(i) - centre;
            sums.k += turning.cosine();
            sums.j += u * turning.sine();
            sums.m += u * u * turning.cosine();
        }
    });
    return sums;
}

KernelSums kernelSums(double phi, std::size_t length)
{
    const double n = double(length);
    const double h = std::sin(phi / 2);
    // Near a multiple of 2 pi the closed forms lose their precision: sum there.
    if (n * std::fabs(h) < 4)
        return std::fabs(h) == 0 && std::cos(phi / 2) > 0 ? KernelSums{n, 0, n * (n * n - 1) / 12}
                                                          : directSums(phi, length);
    const double g = std::sin(n * phi / 2);
    const double gPrime = n / 2 * std::cos(n * phi / 2);
    const double hPrime = std::cos(phi / 2) / 2;
    const double k = g / h;
    const double kPrime = (gPrime * h - g * hPrime) / (h * h);
    const double kSecond = -(n * n - 1) / 4 * k - 2 * hPrime / h * kPrime;
    return {k, -kPrime, -kSecond};
}

// Sums of the samples against the basis: y, y cos(n theta u), y sin(n theta u),
// and the same weighted by u for the frequency's derivative.
struct Projections
{
    double constant = 0;
    std::vector<double> cosine, sine, cosineU, sineU;
};

// One block of samples from u = `u0` on: adds its sums to the totals.
__attribute__((target_clones("avx2", "default"))) void projectBlock(const float *samples, std::size_t length,
                                                                    double u0, double theta, int harmonics,
                                                                    bool weighted, Projections &total)
{
    Lanes u;
    for (int lane = 0; lane < kLanes; ++lane)
        u[lane] = u0 + lane;
    dsp::Oscillator<Lanes> fundamental(kLanes * theta);
    fundamental.anchor(theta * u);
    Lanes sumC[kMostFitted] = {}, sumS[kMostFitted] = {}, sumCU[kMostFitted] = {}, sumSU[kMostFitted] = {};
    Lanes sumConstant = {};
    std::size_t i = 0;
    for (; i + kLanes <= length; i += kLanes) {
        const Lanes y = {samples[i], samples[i + 1], samples[i + 2], samples[i + 3]};
        const Lanes yu = y * u;
        sumConstant += y;
        const Lanes twoC1 = 2 * fundamental.cosine();
        Lanes cPrevious = {1, 1, 1, 1}, sPrevious = {}, c = fundamental.cosine(), s = fundamental.sine();
        for (int n = 0; n < harmonics; ++n) {
            sumC[n] += y * c;
            sumS[n] += y * s;
            if (weighted) {
                sumCU[n] += yu * c;
                sumSU[n] += yu * s;
            }
            // cos and sin of (n + 2) theta u by the Chebyshev recurrence.
            const Lanes cNext = twoC1 * c - cPrevious;
            const Lanes sNext = twoC1 * s - sPrevious;
            cPrevious = c;
            sPrevious = s;
            c = cNext;
            s = sNext;
        }
        fundamental.turn();
        u += kLanes;
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        total.constant += sumConstant[lane];
        for (int n = 0; n < harmonics; ++n) {
            total.cosine[n] += sumC[n][lane];
            total.sine[n] += sumS[n][lane];
            total.cosineU[n] += sumCU[n][lane];
            total.sineU[n] += sumSU[n][lane];
        }
    }
    // The last few samples, one at a time.
    for (; i < length; ++i) {
        const double v = u0 + double(i);
        const double y = samples[i];
        total.constant += y;
        for (int n = 1; n <= harmonics; ++n) {
            const double c = std::cos(n * theta * v), s = std::sin(n * theta * v);
            total.cosine[n - 1] += y * c;
            total.sine[n - 1] += y * s;
            total.cosineU[n - 1] += y * v * c;
            total.sineU[n - 1] += y * v * s;
        }
    }
}

Projections project(const float *samples, std::size_t count, int harmonics, double theta, bool weighted,
                    const Progress *progress)
{
    if (harmonics < 1 || harmonics > kMostFitted)
        throw std::invalid_argument("the fit takes 1 to 20 harmonics");
    Projections total;
    total.cosine.assign(harmonics, 0);
    total.sine.assign(harmonics, 0);
    total.cosineU.assign(harmonics, 0);
    total.sineU.assign(harmonics, 0);
    // Long records in parts of whole blocks, summed apart on the cores and then in order.
    const std::size_t blocks = (count + kAnchorEvery - 1) / kAnchorEvery;
    const int parts = blocks >= kBlocksForParts ? kParts : 1;
    std::vector<Projections> sums(parts, total);
    const double centre = (double(count) - 1) / 2;
    forEachPart(parts, [&](int part) {
        const std::size_t firstBlock = blocks * part / parts, lastBlock = blocks * (part + 1) / parts;
        for (std::size_t block = firstBlock; block < lastBlock; ++block) {
            if (progress && block % 256 == 0)
                progress->check();
            const std::size_t first = block * kAnchorEvery;
            projectBlock(samples + first, std::min(kAnchorEvery, count - first), double(first) - centre,
                         theta, harmonics, weighted, sums[part]);
        }
    });
    for (const Projections &sum : sums) {
        total.constant += sum.constant;
        for (int n = 0; n < harmonics; ++n) {
            total.cosine[n] += sum.cosine[n];
            total.sine[n] += sum.sine[n];
            total.cosineU[n] += sum.cosineU[n];
            total.sineU[n] += sum.sineU[n];
        }
    }
    return total;
}

// Solves the normal equations, which are symmetric and positive semi-definite.
// The unknowns are scaled to a unit diagonal first, so that one threshold on
// the factor's pivots tells a singular system from a well-posed one whatever
// the levels: empty when singular, as for a record that holds nothing at the
// frequency tried.
std::optional<Eigen::VectorXd> solve(const Eigen::MatrixXd &a, const Eigen::VectorXd &b)
{
    const Eigen::VectorXd scale =
        a.diagonal().unaryExpr([](double d) { return d > 0 ? 1 / std::sqrt(d) : 1.0; });
    const Eigen::LDLT<Eigen::MatrixXd> factor(scale.asDiagonal() * a * scale.asDiagonal());
    constexpr double kSmallestPivot = 1e-14;
    if (factor.info() != Eigen::Success || !(factor.vectorD().cwiseAbs().minCoeff() > kSmallestPivot))
        return std::nullopt;
    return Eigen::VectorXd(scale.cwiseProduct(factor.solve(scale.cwiseProduct(b))));
}

// The normal equations of DC, the cosines and the sines: unknowns in the
// order d, a_1 .. a_H, b_1 .. b_H. Sums with both a cosine and a sine vanish.
struct Normal
{
    Eigen::MatrixXd matrix;
    Eigen::VectorXd right;
};

Normal linearSystem(const Projections &p, const std::vector<KernelSums> &sums, std::size_t count,
                    int harmonics)
{
    const int size = 2 * harmonics + 1;
    Normal normal{Eigen::MatrixXd::Zero(size, size), Eigen::VectorXd::Zero(size)};
    Eigen::MatrixXd &g = normal.matrix;
    g(0, 0) = double(count);
    normal.right[0] = p.constant;
    for (int n = 1; n <= harmonics; ++n) {
        g(0, n) = g(n, 0) = sums[n].k;
        normal.right[n] = p.cosine[n - 1];
        normal.right[harmonics + n] = p.sine[n - 1];
        for (int m = 1; m <= harmonics; ++m) {
            const double difference = sums[std::abs(n - m)].k, total = sums[n + m].k;
            g(n, m) = (difference + total) / 2;
            g(harmonics + n, harmonics + m) = (difference - total) / 2;
        }
    }
    return normal;
}

HarmonicFit fromSolution(const Eigen::VectorXd &x, double theta, std::size_t count, int harmonics)
{
    HarmonicFit fit;
    fit.theta = theta;
    fit.dc = x[0];
    fit.cosine.assign(x.data() + 1, x.data() + 1 + harmonics);
    fit.sine.assign(x.data() + 1 + harmonics, x.data() + 1 + 2 * harmonics);
    fit.centre = (double(count) - 1) / 2;
    return fit;
}

std::vector<KernelSums> allKernelSums(double theta, std::size_t count, int harmonics)
{
    std::vector<KernelSums> sums(2 * harmonics + 1);
    for (int k = 0; k <= 2 * harmonics; ++k)
        sums[k] = kernelSums(k * theta, count);
    return sums;
}

} // namespace

HarmonicFit fitAtFrequency(const float *samples, std::size_t count, int harmonics, double theta,
                           double *explained)
{
    const Projections p = project(samples, count, harmonics, theta, false, nullptr);
    const Normal normal = linearSystem(p, allKernelSums(theta, count, harmonics), count, harmonics);
    const std::optional<Eigen::VectorXd> x = solve(normal.matrix, normal.right);
    if (!x) {
        if (explained)
            *explained = -1;
        HarmonicFit none;
        none.theta = theta;
        return none;
    }
    if (explained) {
        *explained = 0;
        for (Eigen::Index i = 0; i < x->size(); ++i)
            *explained += (*x)[i] * normal.right[i];
    }
    return fromSolution(*x, theta, count, harmonics);
}

HarmonicFit fitHarmonics(const float *samples, std::size_t count, int harmonics, double theta,
                         const Progress *progress, int maxIterations)
{
    const int h = harmonics;
    HarmonicFit fit;
    for (int iteration = 1; iteration <= maxIterations; ++iteration) {
        const Projections p = project(samples, count, h, theta, true, progress);
        const std::vector<KernelSums> sums = allKernelSums(theta, count, h);
        Normal normal = linearSystem(p, sums, count, h);
        // The amplitudes at this frequency shape the frequency's derivative column.
        const std::optional<Eigen::VectorXd> linear = solve(normal.matrix, normal.right);
        if (!linear)
            break;
        const double *a = linear->data() + 1;
        const double *b = linear->data() + 1 + h;
        auto jSum = [&](int k) { return k >= 0 ? sums[k].j : -sums[-k].j; }; // J is odd
        auto mSum = [&](int k) { return sums[std::abs(k)].m; };              // M is even

        const int size = 2 * h + 2;
        const int last = size - 1;
        normal.matrix.conservativeResize(size, size);
        normal.matrix.row(last).setZero();
        normal.matrix.col(last).setZero();
        normal.right.conservativeResize(size);
        Eigen::MatrixXd &g = normal.matrix;
        double dd = 0, dConstant = 0, dRight = 0;
        for (int n = 1; n <= h; ++n) {
            dConstant -= n * a[n - 1] * jSum(n);
            dRight += n * (-a[n - 1] * p.sineU[n - 1] + b[n - 1] * p.cosineU[n - 1]);
            for (int m = 1; m <= h; ++m) {
                dd += double(n) * m *
                      (a[n - 1] * a[m - 1] * (mSum(n - m) - mSum(n + m)) / 2 +
                       b[n - 1] * b[m - 1] * (mSum(n - m) + mSum(n + m)) / 2);
            }
        }
        g(0, last) = g(last, 0) = dConstant;
        for (int m = 1; m <= h; ++m) {
            double withCosine = 0, withSine = 0;
            for (int n = 1; n <= h; ++n) {
                withCosine -= n * a[n - 1] * (jSum(n + m) + jSum(n - m)) / 2;
                withSine += n * b[n - 1] * (jSum(m + n) + jSum(m - n)) / 2;
            }
            g(m, last) = g(last, m) = withCosine;
            g(h + m, last) = g(last, h + m) = withSine;
        }
        g(last, last) = dd;
        normal.right[last] = dRight;

        const std::optional<Eigen::VectorXd> x = solve(normal.matrix, normal.right);
        if (!x || !std::isfinite((*x)[last]))
            break;
        const double step = (*x)[last];
        theta += step;
        fit = fromSolution(*x, theta, count, h);
        fit.iterations = iteration;
        if (std::fabs(step) * double(count) < kConvergedPhase) {
            fit.converged = true;
            break;
        }
    }
    return fit;
}

} // namespace analysis
