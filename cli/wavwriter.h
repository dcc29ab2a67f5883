#pragma once

#include "cli/tone.h"

#include <cstdint>

class QIODevice;

// RIFF/WAVE, mono, little-endian: 16- and 24-bit PCM, or 32-bit IEEE float.
namespace wav {

struct Format
{
    int rate = 48000;
    int bits = 24;       // 16, 24 or 32 (float)
    double seconds = 5;
    double peakDbfs = -1; // the sum's peak lands here
    bool dither = true;   // TPDF, for the integer formats
};

// The most data bytes a WAV file can hold: its sizes are 32-bit.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 64;

uint64_t sampleCount(const Format &format);
uint64_t dataBytes(const Format &format);

// Writes the whole file; false when the device refuses a write.
bool write(QIODevice &device, const tone::Tone &tone, const Format &format);

} // namespace wav
