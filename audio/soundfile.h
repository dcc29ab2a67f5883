#pragma once

#include "base/errors.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class Progress;
class QIODevice;

// Sound files through libsndfile: every format it reads (WAV, FLAC, AIFF, Ogg
// Vorbis, ...), one channel at a time, and WAV or FLAC written. Nothing else
// in the program opens a sound file.
namespace audio {

// A file that cannot be read or written: names the file and the reason,
// libsndfile's own words where it gave some.
class AudioError : public QuenlariError
{
public:
    AudioError(const QString &fileName, const QString &reason);
};

// More samples (frames times channels) than this are refused before reading.
constexpr int64_t kMaxSamples = int64_t(1) << 31;

struct Recording
{
    QString fileName;
    int sampleRate = 0;
    int channels = 0;
    int channel = 0;            // the one read, from 1
    std::vector<float> samples; // full scale is 1
    // The sample values of the format's extreme codes; -1 and 1 for
    // floating-point and compressed formats.
    float lowestCode = -1;
    float highestCode = 1;
    // Said of a file read all the same: one that holds less than its header promises.
    QString note;
};

// Reads channel `channel` (from 1) of a sound file in blocks, to its real
// end, as libsndfile finds it: a WAV streamed through a pipe, whose header
// cannot know its length, reads whole. An empty or unreadable file, one with
// no sound left, a missing channel or more than kMaxSamples samples throws
// AudioError; a cancel throws Progress::Cancelled.
Recording readChannel(const QString &fileName, int channel, const Progress *progress = nullptr);
// The same from bytes in memory; `name` is only for messages.
Recording readChannel(const QByteArray &bytes, const QString &name, int channel,
                      const Progress *progress = nullptr);

// How many bytes a sound file whose first bytes are `head` may take before it
// holds more than kMaxSamples samples, for reading one that streams in (from
// a pipe) with the same limit as a file. Throws AudioError where `head` is
// not the start of a sound file that libsndfile reads.
qint64 mostBytes(const QByteArray &head, const QString &name);

enum class Container
{
    Wav,
    Flac
};

// The container a file name asks for by its extension (.wav or .flac, any
// case); AudioError for any other.
Container containerFor(const QString &fileName);

// A mono file being written on a seekable device; close() finishes it.
class SoundWriter
{
public:
    // `bits`: 16 or 24 (integer), or 32 (float, WAV only).
    SoundWriter(QIODevice &device, const QString &fileName, Container container, int rate, int bits);
    ~SoundWriter();
    SoundWriter(const SoundWriter &) = delete;
    SoundWriter &operator=(const SoundWriter &) = delete;

    // Integer samples left-aligned in 32 bits, as libsndfile takes them.
    void write(const int32_t *samples, std::size_t count);
    void write(const float *samples, std::size_t count);
    void close();

private:
    struct Handle;
    std::unique_ptr<Handle> m_handle;
};

} // namespace audio
