#include "audio/tonewriter.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace audio {

namespace {

constexpr std::size_t kBlock = 8192; // samples rendered and written at a time

// A small, fast and reproducible generator for the dither (xorshift64*).
class Noise
{
public:
    double uniform() // in [0, 1)
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return static_cast<double>((m_state * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
    }

private:
    uint64_t m_state = 0x9E3779B97F4A7C15ull;
};

} // namespace

uint64_t sampleCount(const ToneFormat &format)
{
    return static_cast<uint64_t>(std::llround(format.seconds * format.rate));
}

uint64_t dataBytes(const ToneFormat &format)
{
    return sampleCount(format) * static_cast<uint64_t>(format.bits / 8);
}

namespace {

// Writes what `render` makes, `peak` its largest size, with that peak at the format's level.
void writeRendered(QIODevice &device, const QString &fileName, Container container, const ToneFormat &format,
                   double peak, const std::function<void(long long first, double *out, std::size_t count)> &render)
{
    SoundWriter writer(device, fileName, container, format.rate, format.bits);
    const bool isFloat = format.bits == 32;
    const uint64_t samples = sampleCount(format);
    const double gain = std::pow(10.0, format.peakDbfs / 20) / peak;
    const double fullScale = isFloat ? 1.0 : static_cast<double>((1LL << (format.bits - 1)) - 1);
    const double lowest = -fullScale - 1;
    const int alignment = 32 - format.bits; // integer samples go left-aligned in 32 bits
    Noise noise;
    std::vector<double> block(kBlock);
    std::vector<float> floats(isFloat ? kBlock : 0);
    std::vector<int32_t> integers(isFloat ? 0 : kBlock);
    for (uint64_t done = 0; done < samples; done += kBlock) {
        const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(kBlock, samples - done));
        render(static_cast<long long>(done), block.data(), count);
        if (isFloat) {
            for (std::size_t i = 0; i < count; ++i)
                floats[i] = static_cast<float>(block[i] * gain);
            writer.write(floats.data(), count);
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const double value = block[i] * gain * fullScale;
            // Triangular dither of one step either way; only the dither can reach past full scale.
            const double dithered = format.dither ? value + noise.uniform() - noise.uniform() : value;
            // Adding and taking away 1.5 * 2^52 rounds to the nearest whole number, halves to even.
            constexpr double kRounder = 6755399441055744.0;
            const double rounded = (dithered + kRounder) - kRounder;
            const auto sample = static_cast<int32_t>(std::clamp(rounded, lowest, fullScale));
            integers[i] = static_cast<int32_t>(static_cast<uint32_t>(sample) << alignment);
        }
        writer.write(integers.data(), count);
    }
    writer.close();
}

} // namespace

void writeTone(QIODevice &device, const QString &fileName, Container container, const tone::Tone &tone,
               const ToneFormat &format)
{
    // The sum's peak is in units of the fundamental's amplitude.
    writeRendered(device, fileName, container, format, tone::analyse(tone).peak,
                  [&](long long first, double *out, std::size_t count) {
                      tone::render(tone, format.rate, first, out, count);
                  });
}

void writeTwoTone(QIODevice &device, const QString &fileName, Container container, const twotone::TwoTone &tones,
                  const ToneFormat &format)
{
    writeRendered(device, fileName, container, format, 1, [&](long long first, double *out, std::size_t count) {
        twotone::render(tones, format.rate, first, out, count);
    });
}

} // namespace audio
