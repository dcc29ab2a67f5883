#pragma once

#include <array>
#include <cstddef>
#include <vector>

class Progress;

namespace analysis {

// Takes the record's DC and its fundamental out, the fundamental piece by
// piece: in each piece of some tenth of a second (ten periods at the least) a
// least-squares fit of a fundamental whose amplitude and phase may change
// linearly over the piece. So a slow drift of frequency or level leaves
// nothing behind, while harmonics, hum and noise stay: the fit takes four
// dimensions of the thousands a piece has. The harmonics are fitted beside it
// (constant over the piece) and left in: alone, the fundamental's linear terms
// would take a share of them, since t cos x and cos 2x are not orthogonal even
// over whole periods.
class FundamentalRemoval
{
public:
    // `theta`: the fundamental in radians a sample; `dc`: the record's DC, as
    // the fit of the fundamental and its harmonics found it (a record of a few
    // periods that end part-way has a mean apart from its DC); `harmonics`: the
    // highest harmonic held apart from the fundamental's fit, 1 to 20, all below
    // half the rate. Fits every piece.
    FundamentalRemoval(const std::vector<float> &samples, double theta, double dc, double rate, int harmonics,
                       const Progress *progress = nullptr);

    // Writes the record less its DC and fundamental, from sample `first` on.
    void residual(std::size_t first, double *out, std::size_t length) const;

private:
    struct Piece
    {
        std::size_t begin = 0, end = 0;
        std::array<double, 4> fitted{}; // a, a', b, b' of (a + a' v) cos + (b + b' v) sin
    };
    std::size_t pieceAt(std::size_t sample) const;

    const std::vector<float> &m_samples;
    double m_theta;
    double m_dc = 0;
    std::vector<Piece> m_pieces;
};

} // namespace analysis
