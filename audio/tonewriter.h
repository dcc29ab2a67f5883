#pragma once

#include "audio/soundfile.h"
#include "synthesis/tone.h"
#include "synthesis/twotone.h"

#include <cstdint>

class QIODevice;

namespace audio {

struct ToneFormat
{
    int rate = 48000;
    int bits = 24; // 16, 24 or 32 (float, WAV only)
    double seconds = 5;
    double peakDbfs = -1; // the sum's peak lands here
    bool dither = true;   // TPDF, for the integer formats
};

// The most sound bytes a WAV file can hold: its sizes are 32-bit.
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 64;

uint64_t sampleCount(const ToneFormat &format);
uint64_t dataBytes(const ToneFormat &format);

// Writes the tone as a whole mono file on a seekable device; AudioError
// naming `fileName` when the device or the library refuses.
void writeTone(QIODevice &device, const QString &fileName, Container container, const tone::Tone &tone,
               const ToneFormat &format);
// The same for the two tones of an intermodulation test, their peak at the format's.
void writeTwoTone(QIODevice &device, const QString &fileName, Container container, const twotone::TwoTone &tones,
                  const ToneFormat &format);

} // namespace audio
