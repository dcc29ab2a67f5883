#include "analysis/residual.h"

#include "analysis/analyser.h"
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
constexpr int kFundamentalTerms = 4; // the cosine and the sine, each constant and linear in time
using dsp::kLanes;
using dsp::Lanes;

constexpr int kMostTerms = kFundamentalTerms + 2 * (kMostHarmonics - 1);

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;

// Terms of a piece's fit: the fundamental's four, then the cosine and sine of
// each harmonic held apart.
int termsFor(int harmonics)
{
    return kFundamentalTerms + 2 * (harmonics - 1);
}

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

    // Calls term(k, value) for every term of the fit, in order: the
    // harmonics by the recurrence cos (n+1)x = 2 cos x cos nx - cos (n-1)x.
    template <typename Term> __attribute__((always_inline)) void forEachTerm(int harmonics, const Term &term) const
    {
        term(0, c());
        term(1, v * c());
        term(2, s());
        term(3, v * s());
        const Lanes twice = 2 * c();
        Lanes cosBefore = {1, 1, 1, 1}, sinBefore = {}, cosNow = c(), sinNow = s();
        for (int n = 2, k = kFundamentalTerms; n <= harmonics; ++n, k += 2) {
            const Lanes cosNext = twice * cosNow - cosBefore, sinNext = twice * sinNow - sinBefore;
            term(k, cosNext);
            term(k + 1, sinNext);
            cosBefore = cosNow;
            sinBefore = sinNow;
            cosNow = cosNext;
            sinNow = sinNext;
        }
    }

    dsp::Oscillator<Lanes> wave;
    double perSample;
    Lanes v;
};

// The sums of (y - mean) against every term of the fit over a piece of
// `length` samples.
__attribute__((target_clones("avx2", "default"))) Vector projectPiece(const float *y, std::size_t length,
                                                                       double theta, double mean, int harmonics)
{
    const double centre = (double(length) - 1) / 2;
    const double perSample = 1 / std::max(1.0, centre);
    const int terms = termsFor(harmonics);
    std::array<Lanes, kMostTerms> sums{};
    // Spans between anchors by hand: a lambda here would be compiled apart
    // from this function's clones, without AVX2.
    for (std::size_t begin = 0; begin < length;) {
        const std::size_t end = std::min(length, (begin / dsp::kAnchorEvery + 1) * dsp::kAnchorEvery);
        Basis b(theta, begin, centre, perSample);
        std::size_t i = begin;
        for (; i + kLanes <= end; i += kLanes) {
            const Lanes x = Lanes{y[i], y[i + 1], y[i + 2], y[i + 3]} - mean;
            b.forEachTerm(harmonics, [&](int k, const Lanes &value)
                                         __attribute__((always_inline)) { sums[std::size_t(k)] += x * value; });
            b.turn();
        }
        // The last few samples of a span go in the lanes they would have had, the others at 0.
        Lanes x = {};
        for (int lane = 0; i + std::size_t(lane) < end; ++lane)
            x[lane] = y[i + std::size_t(lane)] - mean;
        b.forEachTerm(harmonics, [&](int k, const Lanes &value) { sums[std::size_t(k)] += x * value; });
        begin = end;
    }
    Vector total = Vector::Zero(terms);
    for (int k = 0; k < terms; ++k)
        for (int lane = 0; lane < kLanes; ++lane)
            total[k] += sums[std::size_t(k)][lane];
    return total;
}

// r = y - mean - (a + a' v) cos - (b + b' v) sin over samples `from` to `to`
// of a piece of `length` samples: the harmonics held apart stay in it.
__attribute__((target_clones("avx2", "default"))) void
subtractPiece(const float *y, double *r, std::size_t from, std::size_t to, std::size_t length, double theta,
              double mean, const std::array<double, kFundamentalTerms> &fitted)
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

// The normal equations' matrix of a piece, factored: the same for every piece
// of one length. Time runs from -centre to centre, so a term even in it (the
// cosines, v times the sine) and one odd in it sum to nothing together: only
// pairs of one parity are summed, four samples at a time.
__attribute__((target_clones("avx2", "default"))) Eigen::LDLT<Matrix>
factoredGram(double theta, std::size_t length, int harmonics)
{
    const double centre = (double(length) - 1) / 2;
    const double perSample = 1 / std::max(1.0, centre);
    const int terms = termsFor(harmonics);
    const auto even = [](int k) { return k == 0 || k == 3 || (k >= kFundamentalTerms && k % 2 == 0); };
    std::array<std::pair<int, int>, kMostTerms *(kMostTerms + 1) / 2> pairs{};
    std::size_t pairCount = 0;
    for (int row = 0; row < terms; ++row)
        for (int column = 0; column <= row; ++column)
            if (even(row) == even(column))
                pairs[pairCount++] = {row, column};
    std::array<Lanes, kMostTerms> values{};
    // On the stack: the clone with AVX2 takes these 32-byte values as aligned.
    std::array<Lanes, pairs.size()> sums{};
    for (std::size_t begin = 0; begin < length;) {
        const std::size_t end = std::min(length, (begin / dsp::kAnchorEvery + 1) * dsp::kAnchorEvery);
        Basis b(theta, begin, centre, perSample);
        for (std::size_t i = begin; i < end; i += kLanes) {
            Lanes inside = {};
            for (int lane = 0; lane < kLanes; ++lane)
                inside[lane] = i + std::size_t(lane) < end ? 1 : 0;
            b.forEachTerm(harmonics, [&](int k, const Lanes &value)
                                         __attribute__((always_inline)) { values[std::size_t(k)] = value * inside; });
            for (std::size_t p = 0; p < pairCount; ++p)
                sums[p] += values[std::size_t(pairs[p].first)] * values[std::size_t(pairs[p].second)];
            b.turn();
        }
        begin = end;
    }
    Matrix gram = Matrix::Zero(terms, terms);
    for (std::size_t p = 0; p < pairCount; ++p) {
        const auto [row, column] = pairs[p];
        gram(row, column) = gram(column, row) = sums[p][0] + sums[p][1] + sums[p][2] + sums[p][3];
    }
    return Eigen::LDLT<Matrix>(gram);
}

} // namespace

FundamentalRemoval::FundamentalRemoval(const std::vector<float> &samples, double theta, double dc, double rate,
                                       int harmonics, const Progress *progress)
    : m_samples(samples), m_theta(theta), m_dc(dc)
{
    const std::size_t count = samples.size();
    const double periodSamples = 2 * kPi / theta;
    const auto wanted =
        static_cast<std::size_t>(std::ceil(std::max(kPieceSeconds * rate, kLeastPeriods * periodSamples)));
    const std::size_t pieces = std::max<std::size_t>(1, count / std::max<std::size_t>(1, wanted));
    // Pieces of two lengths at most, one sample apart.
    const std::size_t shorter = count / pieces;
    const Eigen::LDLT<Matrix> gramShorter = factoredGram(theta, shorter, harmonics);
    const Eigen::LDLT<Matrix> gramLonger = factoredGram(theta, shorter + 1, harmonics);
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
            const Vector sums = projectPiece(y, length, theta, m_dc, harmonics);
            const Vector fitted = (length == shorter ? gramShorter : gramLonger).solve(sums);
            std::copy(fitted.data(), fitted.data() + kFundamentalTerms, piece.fitted.begin());
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
