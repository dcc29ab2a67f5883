#include "cli/wavwriter.h"

#include <QIODevice>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace wav {

namespace {

constexpr uint16_t kPcm = 1;
constexpr uint16_t kIeeeFloat = 3;
constexpr std::size_t kBlock = 8192; // samples rendered and written at a time

void put(std::vector<char> &bytes, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
}

void put(std::vector<char> &bytes, const char *tag)
{
    bytes.insert(bytes.end(), tag, tag + 4);
}

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

uint64_t sampleCount(const Format &format)
{
    return static_cast<uint64_t>(std::llround(format.seconds * format.rate));
}

uint64_t dataBytes(const Format &format)
{
    return sampleCount(format) * static_cast<uint64_t>(format.bits / 8);
}

bool write(QIODevice &device, const tone::Tone &tone, const Format &format)
{
    const bool isFloat = format.bits == 32;
    const int bytesPerSample = format.bits / 8;
    const uint64_t samples = sampleCount(format);
    const uint64_t data = dataBytes(format);

    std::vector<char> header;
    put(header, "RIFF");
    put(header, (isFloat ? 4 + 26 + 12 + 8 : 4 + 24 + 8) + data, 4);
    put(header, "WAVE");
    put(header, "fmt ");
    put(header, isFloat ? 18 : 16, 4);
    put(header, isFloat ? kIeeeFloat : kPcm, 2);
    put(header, 1, 2); // mono
    put(header, format.rate, 4);
    put(header, static_cast<uint64_t>(format.rate) * bytesPerSample, 4);
    put(header, bytesPerSample, 2);
    put(header, format.bits, 2);
    if (isFloat) {
        put(header, 0, 2); // no extension
        put(header, "fact");
        put(header, 4, 4);
        put(header, samples, 4);
    }
    put(header, "data");
    put(header, data, 4);
    if (device.write(header.data(), static_cast<qint64>(header.size())) != static_cast<qint64>(header.size()))
        return false;

    // The sum's peak, in units of the fundamental's amplitude, lands on the asked level.
    const double gain = std::pow(10.0, format.peakDbfs / 20) / tone::analyse(tone).peak;
    const double fullScale = isFloat ? 1.0 : static_cast<double>((1LL << (format.bits - 1)) - 1);
    const double lowest = isFloat ? -1.0 : -fullScale - 1;
    Noise noise;
    std::vector<double> block(kBlock);
    std::vector<char> bytes(kBlock * bytesPerSample);
    for (uint64_t done = 0; done < samples; done += kBlock) {
        const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(kBlock, samples - done));
        tone::render(tone, format.rate, static_cast<long long>(done), block.data(), count);
        char *out = bytes.data();
        for (std::size_t i = 0; i < count; ++i) {
            const double value = block[i] * gain * fullScale;
            if (isFloat) {
                const float sample = static_cast<float>(value);
                std::memcpy(out, &sample, 4); // IEEE float, little-endian on this machine
                out += 4;
                continue;
            }
            // Triangular dither of one step either way; only the dither can reach past full scale.
            const double dithered = format.dither ? value + noise.uniform() - noise.uniform() : value;
            // Adding and taking away 1.5 * 2^52 rounds to the nearest whole number, halves to even.
            constexpr double kRounder = 6755399441055744.0;
            const double rounded = (dithered + kRounder) - kRounder;
            const auto sample = static_cast<int32_t>(std::clamp(rounded, lowest, fullScale));
            for (int b = 0; b < bytesPerSample; ++b)
                *out++ = static_cast<char>(static_cast<uint32_t>(sample) >> (8 * b));
        }
        const qint64 size = out - bytes.data();
        if (device.write(bytes.data(), size) != size)
            return false;
    }
    return true;
}

} // namespace wav
