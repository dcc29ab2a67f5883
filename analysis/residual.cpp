#include "analysis/residual.h"

#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/oscillator.h"
#include "dsp/soundmath.h"

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>

namespace analysis {

namespace {

using dsp::kPi;
constexpr double kPieceSeconds = 0.1;
constexpr double kLeastPeriods = 10;
constexpr int kParts = 8;
constexpr int kTerms = 4; // the cosine and the sine, each constant and linear in time
using dsp::kLanes;
using dsp::Lanes;

using Vector = Eigen::Matrix<double, kTerms, 1>;
using Matrix = Eigen::Matrix<double, kTerms, kTerms>;

// The cosine and sine of the fundamental at four samples, time counted from
// the piece's centre, and v, the time in half spans.
struct Basis
{
    Basis(double theta, std::size_t at, double centre, double perSample)
        : wave(kLanes * theta), perSample(perSample)
    {
        Lanes u;
        for (int lane = 0; lane < kLanes; ++lane)
            u[lane] = double(at + std::size_t(lane)) - centre;
        wave.anchor(theta * u);
        v = u * perSample;
    }
    // Four samples on.
    void turn()
    {
        wave.turn();
        v += kLanes * perSample;
    }
    const Lanes &c() const { return wave.cosine(); }
    const Lanes &s() const { return wave.sine(); }

    dsp::Oscillator<Lanes> wave;
    double perSample;
    Lanes v;
};

// The sums of (y - mean) against the cosine and the sine, each alone and times
// v, over a piece of `length` samples.
__attribute__((target_clones("avx2", "default"))) std::array<double, kTerms>
projectPiece(const float *y, std::size_t length, double theta, double mean)
{
    const double centre = (double(length) - 1) / 2;
    const double perSample = 1 / std::max(1.0, centre);
    Lanes sumC = {}, sumVC = {}, sumS = {}, sumVS = {};
    std::array<double, kTerms> total{};
    dsp::forEachAnchorSpan(0, length, [&](std::size_t begin, std::size_t end) {
        Basis b(theta, begin, centre, perSample);
        std::size_t i = begin;
        for (; i + kLanes <= end; i += kLanes) {
            const Lanes x = Lanes{y[i], y[i + 1], y[i + 2], y[i + 3]} - mean;
            const Lanes xc = x * b.c(), xs = x * b.s();
            sumC += xc;
            sumVC += xc * b.v;
            sumS += xs;
            sumVS += xs * b.v;
            b.turn();
        }
        for (int lane = 0; i < end; ++i, ++lane) {
            const double x = y[i] - mean;
            total[0] += x * b.c()[lane];
            total[1] += x * b.v[lane] * b.c()[lane];
            total[2] += x * b.s()[lane];
            total[3] += x * b.v[lane] * b.s()[lane];
        }
    });
    for (int lane = 0; lane < kLanes; ++lane) {
        total[0] += sumC[lane];
        total[1] += sumVC[lane];
        total[2] += sumS[lane];
        total[3] += sumVS[lane];
    }
    return total;
}

// r = y - mean - (a + a' v) cos - (b + b' v) sin over samples `from` to `to`
// of a piece of `length` samples.
__attribute__((target_clones("avx2", "default"))) void
subtractPiece(const float *y, double *r, std::size_t from, std::size_t to, std::size_t length, double theta,
              double mean, const std::array<double, kTerms> &fitted)
{
    const double centre = (double(length) - 1) / 2;
    const double perSample = 1 / std::max(1.0, centre);
    dsp::forEachAnchorSpan(from, to, [&](std::size_t begin, std::size_t end) {
        Basis b(theta, begin, centre, perSample);
        std::size_t i = begin;
        for (; i + kLanes <= end; i += kLanes) {
            const Lanes x = Lanes{y[i], y[i + 1], y[i + 2], y[i + 3]} - mean;
            const Lanes rest =
                x - (fitted[0] + fitted[1] * b.v) * b.c() - (fitted[2] + fitted[3] * b.v) * b.s();
            for (int lane = 0; lane < kLanes; ++lane)
                r[i + std::size_t(lane)] = rest[lane];
            b.turn();
        }
        for (int lane = 0; i < end; ++i, ++lane)
            r[i] = y[i] - mean - (fitted[0] + fitted[1] * b.v[lane]) * b.c()[lane] -
                   (fitted[2] + fitted[3] * b.v[lane]) * b.s()[lane];
    });
}

// The normal equations' matrix of a piece, factored: the same for every piece of one length.
Eigen::LDLT<Matrix> factoredGram(double theta, std::size_t length)
{
    const double centre = (double(length) - 1) / 2;
    const double perSample = 1 / std::max(1.0, centre);
    Matrix gram = Matrix::Zero();
    for (std::size_t i = 0; i < length; ++i) {
        const double u = double(i) - centre, c = std::cos(theta * u), s = std::sin(theta * u),
                     v = u * perSample;
        const Vector basis(c, v * c, s, v * s);
        gram.noalias() += basis * basis.transpose();
    }
    return Eigen::LDLT<Matrix>(gram);
}

} // namespace

FundamentalRemoval::FundamentalRemoval(const std::vector<float> &samples, double theta, double dc, double rate,
                                       const Progress *progress)
    : m_samples(samples), m_theta(theta), m_dc(dc)
{
    const std::size_t count = samples.size();
    const double periodSamples = 2 * kPi / theta;
    const auto wanted =
        static_cast<std::size_t>(std::ceil(std::max(kPieceSeconds * rate, kLeastPeriods * periodSamples)));
    const std::size_t pieces = std::max<std::size_t>(1, count / std::max<std::size_t>(1, wanted));
    // Pieces of two lengths at most, one sample apart.
    const std::size_t shorter = count / pieces;
    const Eigen::LDLT<Matrix> gramShorter = factoredGram(theta, shorter);
    const Eigen::LDLT<Matrix> gramLonger = factoredGram(theta, shorter + 1);
    // DC comes out of the whole record at once: fitted piece by piece it would
    // take some of whatever is slow (hum below the band, say) and leave steps.

    m_pieces.resize(pieces);
    const int parts = static_cast<int>(std::min<std::size_t>(kParts, pieces));
    forEachPart(parts, [&](int part) {
        const std::size_t first = pieces * std::size_t(part) / parts,
                          last = pieces * std::size_t(part + 1) / parts;
        for (std::size_t index = first; index < last; ++index) {
            if (progress && index % 64 == 0)
                progress->check();
            Piece &piece = m_pieces[index];
            piece.begin = count * index / pieces;
            piece.end = count * (index + 1) / pieces;
            const std::size_t length = piece.end - piece.begin;
            const float *y = samples.data() + piece.begin;
            const std::array<double, kTerms> sums = projectPiece(y, length, theta, m_dc);
            const Vector fitted = (length == shorter ? gramShorter : gramLonger).solve(Vector(sums.data()));
            std::copy(fitted.data(), fitted.data() + kTerms, piece.fitted.begin());
        }
    });
}

std::size_t FundamentalRemoval::pieceAt(std::size_t sample) const
{
    const auto after = std::upper_bound(m_pieces.begin(), m_pieces.end(), sample,
                                        [](std::size_t at, const Piece &piece) { return at < piece.begin; });
    return static_cast<std::size_t>(after - m_pieces.begin()) - 1;
}

void FundamentalRemoval::residual(std::size_t first, double *out, std::size_t length) const
{
    std::size_t done = 0;
    for (std::size_t index = pieceAt(first); done < length; ++index) {
        const Piece &piece = m_pieces[index];
        const std::size_t from = first + done - piece.begin;
        const std::size_t to = std::min(piece.end, first + length) - piece.begin;
        subtractPiece(m_samples.data() + piece.begin, out + done - from, from, to, piece.end - piece.begin,
                      m_theta, m_dc, piece.fitted);
        done += to - from;
    }
}

} // namespace analysis
