#include "audio/soundfile.h"

#include "base/progress.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace audio {

namespace {

constexpr sf_count_t kBlockFrames = 16384;
constexpr sf_count_t kReserveFrames = sf_count_t(1) << 24;

QString libraryReason(SNDFILE *file)
{
    return QString::fromUtf8(sf_strerror(file));
}

// The sample values of a format's extreme codes, as libsndfile reads them
// (integers scaled by 1 / 2^(bits - 1); mu-law and A-law decode to 16 bits).
std::pair<float, float> extremeCodes(int format)
{
    const auto scaled = [](double lowest, double highest, int bits) {
        const double scale = std::ldexp(1.0, bits - 1);
        return std::pair<float, float>(float(lowest / scale), float(highest / scale));
    };
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return scaled(-128, 127, 8);
    case SF_FORMAT_PCM_16:
        return scaled(-32768, 32767, 16);
    case SF_FORMAT_PCM_24:
        return scaled(-8388608, 8388607, 24);
    case SF_FORMAT_PCM_32:
        return scaled(-2147483648.0, 2147483647.0, 32);
    case SF_FORMAT_ULAW:
        return scaled(-32124, 32124, 16);
    case SF_FORMAT_ALAW:
        return scaled(-32256, 32256, 16);
    default:
        return {-1.0f, 1.0f};
    }
}

// A file to read, on any device (a QFile, or a QBuffer for bytes in memory),
// with the first bytes read from `head` instead: a header mended before
// libsndfile sees it.
struct ReadFile
{
    QIODevice &device;
    QByteArray head;
    sf_count_t position = 0;
};

sf_count_t readLength(void *data)
{
    return static_cast<ReadFile *>(data)->device.size();
}

sf_count_t readSeek(sf_count_t offset, int whence, void *data)
{
    auto *file = static_cast<ReadFile *>(data);
    const sf_count_t size = file->device.size();
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->position : size;
    const sf_count_t target = base + offset;
    if (target < 0)
        return -1;
    file->position = std::min(target, size);
    return file->position;
}

sf_count_t readBytes(void *out, sf_count_t count, void *data)
{
    auto *file = static_cast<ReadFile *>(data);
    auto *to = static_cast<char *>(out);
    sf_count_t done = 0;
    if (file->position < file->head.size()) {
        done = std::min<sf_count_t>(count, file->head.size() - file->position);
        std::copy_n(file->head.constData() + file->position, done, to);
    }
    if (done < count && file->device.seek(file->position + done)) {
        const qint64 got = file->device.read(to + done, count - done);
        done += std::max<qint64>(0, got);
    }
    file->position += done;
    return done;
}

sf_count_t noWrite(const void *, sf_count_t, void *)
{
    return 0;
}

sf_count_t readTell(void *data)
{
    return static_cast<ReadFile *>(data)->position;
}

// The head of a file, mended, and what a WAV's header says its sound takes.
struct Head
{
    QByteArray bytes;
    qint64 promisedBytes = -1; // -1 where no header says, or it could not know
};

// A WAV written to a pipe cannot go back to fill in its sizes. Some writers
// leave 0xFFFFFFFF there, which libsndfile reads as "to the end of the file",
// or 0x7FFFF000; others leave 0, which it reads as no sound at all. The head
// of a RIFF WAV whose RIFF or data size is 0 while sound follows comes with
// that size made 0xFFFFFFFF; any other head unchanged.
Head mendedHead(QByteArray head, qint64 fileSize)
{
    constexpr quint32 kPlaceholders = 0x7FFFF000;
    constexpr int kHeader = 12, kChunkHeader = 8, kMostChunks = 64;
    const auto size32 = [&](int at) {
        return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(head.constData() + at));
    };
    const auto unknown = [&](int at) { head.replace(at, 4, QByteArray(4, '\xFF')); };
    if (head.size() < kHeader + kChunkHeader || !head.startsWith("RIFF") || head.mid(8, 4) != "WAVE")
        return {head};
    qint64 at = kHeader;
    qint64 promised = -1;
    for (int chunk = 0; chunk < kMostChunks && at + kChunkHeader <= head.size(); ++chunk) {
        const quint32 length = size32(int(at) + 4);
        if (head.mid(int(at), 4) == "data") {
            if (length == 0 && fileSize > at + kChunkHeader) {
                unknown(int(at) + 4);
                if (size32(4) == 0)
                    unknown(4);
            } else if (length < kPlaceholders) {
                promised = length;
            }
            break;
        }
        at += kChunkHeader + length + (length & 1);
    }
    return {head, promised};
}

// The bytes of one sample in an uncompressed format; 0 for the others.
int bytesPerSample(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// A device as a file for libsndfile to write (and read back, which FLAC does).
sf_count_t deviceLength(void *data)
{
    return static_cast<QIODevice *>(data)->size();
}

sf_count_t deviceSeek(sf_count_t offset, int whence, void *data)
{
    auto *device = static_cast<QIODevice *>(data);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? device->pos() : device->size();
    return device->seek(base + offset) ? device->pos() : -1;
}

sf_count_t deviceRead(void *out, sf_count_t count, void *data)
{
    return static_cast<QIODevice *>(data)->read(static_cast<char *>(out), count);
}

sf_count_t deviceWrite(const void *in, sf_count_t count, void *data)
{
    return static_cast<QIODevice *>(data)->write(static_cast<const char *>(in), count);
}

sf_count_t deviceTell(void *data)
{
    return static_cast<QIODevice *>(data)->pos();
}

struct Closer
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using SoundFilePointer = std::unique_ptr<SNDFILE, Closer>;

Recording readOpened(SNDFILE *opened, const SF_INFO &info, qint64 promisedBytes, const QString &name,
                     int channel, const Progress *progress)
{
    SoundFilePointer file(opened);
    if (!file)
        throw AudioError(name, libraryReason(nullptr));
    if (info.channels < 1 || info.samplerate < 1)
        throw AudioError(name, QStringLiteral("it has no channel or no sample rate"));
    if (channel < 1 || channel > info.channels)
        throw AudioError(name, QStringLiteral("it has %1 channel%2: there is no channel %3")
                                   .arg(info.channels)
                                   .arg(info.channels == 1 ? QString() : QStringLiteral("s"))
                                   .arg(channel));
    Recording recording;
    recording.fileName = name;
    recording.sampleRate = info.samplerate;
    recording.channels = info.channels;
    recording.channel = channel;
    std::tie(recording.lowestCode, recording.highestCode) = extremeCodes(info.format);
    // Grown as the sound comes, so that a header's claim alone allocates nothing large.
    // libsndfile cuts a WAV's count of frames to what the file holds; its header may have promised more.
    const int frameBytes = bytesPerSample(info.format) * info.channels;
    const sf_count_t promised = std::max<sf_count_t>(
        {0, info.frames, promisedBytes > 0 && frameBytes > 0 ? promisedBytes / frameBytes : 0});
    recording.samples.reserve(static_cast<std::size_t>(std::min(promised, kReserveFrames)));
    std::vector<float> block(static_cast<std::size_t>(kBlockFrames * info.channels));
    const sf_count_t mostFrames = kMaxSamples / info.channels;
    sf_count_t done = 0;
    for (;;) {
        if (progress)
            progress->reach(promised > 0 ? std::min(1.0, double(done) / double(promised)) : 0.0);
        const sf_count_t got = sf_readf_float(file.get(), block.data(), kBlockFrames);
        if (got <= 0)
            break;
        if (done + got > mostFrames)
            throw AudioError(name, QStringLiteral("it holds more than the 2^31 samples this program reads"));
        for (sf_count_t i = 0; i < got; ++i) {
            const float sample = block[static_cast<std::size_t>(i * info.channels + channel - 1)];
            if (std::isnan(sample))
                throw AudioError(
                    name, QStringLiteral("frame %1 holds a sample that is not a number").arg(done + i));
            if (std::isinf(sample))
                throw AudioError(name, QStringLiteral("frame %1 holds an infinite sample").arg(done + i));
            recording.samples.push_back(sample);
        }
        done += got;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR && done == 0)
        throw AudioError(name, libraryReason(file.get()));
    if (done == 0)
        throw AudioError(name, QStringLiteral("it holds no sound"));
    if (promised > done)
        recording.note = QStringLiteral("it holds %1 frames, fewer than the %2 its header promises: "
                                        "what it holds is analysed")
                             .arg(done)
                             .arg(promised);
    return recording;
}

Recording readDevice(QIODevice &device, const QString &name, int channel, const Progress *progress)
{
    constexpr qint64 kHeadBytes = 65536;
    const Head head = mendedHead(device.peek(kHeadBytes), device.size());
    ReadFile file{device, head.bytes};
    SF_VIRTUAL_IO io{readLength, readSeek, readBytes, noWrite, readTell};
    SF_INFO info{};
    SNDFILE *opened = sf_open_virtual(&io, SFM_READ, &info, &file);
    return readOpened(opened, info, head.promisedBytes, name, channel, progress);
}

} // namespace

AudioError::AudioError(const QString &fileName, const QString &reason)
    : QuenlariError(QStringLiteral("%1: %2").arg(fileName, reason).toStdString())
{
}

Recording readChannel(const QString &fileName, int channel, const Progress *progress)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        throw AudioError(fileName, QStringLiteral("the file does not exist"));
    if (!info.isFile())
        throw AudioError(fileName, QStringLiteral("it is not a file"));
    if (info.size() == 0)
        throw AudioError(fileName, QStringLiteral("it is empty"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw AudioError(fileName, file.errorString());
    return readDevice(file, fileName, channel, progress);
}

Recording readChannel(const QByteArray &bytes, const QString &name, int channel, const Progress *progress)
{
    if (bytes.isEmpty())
        throw AudioError(name, QStringLiteral("it is empty"));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return readDevice(buffer, name, channel, progress);
}

qint64 mostBytes(const QByteArray &head, const QString &name)
{
    if (head.isEmpty())
        throw AudioError(name, QStringLiteral("it is empty"));
    QBuffer buffer;
    buffer.setData(head);
    buffer.open(QIODevice::ReadOnly);
    ReadFile file{buffer, mendedHead(head, buffer.size()).bytes};
    SF_VIRTUAL_IO io{readLength, readSeek, readBytes, noWrite, readTell};
    SF_INFO info{};
    const SoundFilePointer opened(sf_open_virtual(&io, SFM_READ, &info, &file));
    if (!opened)
        throw AudioError(name, libraryReason(nullptr));
    // Compressed formats take less than this a sample: a float's four bytes bound them.
    constexpr qint64 kMostSampleBytes = 4;
    const int sampleBytes = bytesPerSample(info.format);
    return head.size() + kMaxSamples * (sampleBytes > 0 ? sampleBytes : kMostSampleBytes);
}

Container containerFor(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("wav"))
        return Container::Wav;
    if (suffix == QLatin1String("flac"))
        return Container::Flac;
    throw AudioError(fileName, QStringLiteral("the name must end in .wav or .flac"));
}

struct SoundWriter::Handle
{
    Handle(QIODevice &device, const QString &name) : device(device), name(name) {}
    QIODevice &device;
    QString name;
    SF_VIRTUAL_IO io{deviceLength, deviceSeek, deviceRead, deviceWrite, deviceTell};
    SoundFilePointer file;
};

SoundWriter::SoundWriter(QIODevice &device, const QString &fileName, Container container, int rate, int bits)
    : m_handle(std::make_unique<Handle>(device, fileName))
{
    int subtype = 0;
    switch (bits) {
    case 16:
        subtype = SF_FORMAT_PCM_16;
        break;
    case 24:
        subtype = SF_FORMAT_PCM_24;
        break;
    case 32:
        subtype = SF_FORMAT_FLOAT;
        break;
    default:
        throw AudioError(fileName,
                         QStringLiteral("%1 bits is not a sample format this program writes").arg(bits));
    }
    if (container == Container::Flac && bits == 32)
        throw AudioError(fileName, QStringLiteral("FLAC holds integer samples only: 16 or 24 bits"));
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = (container == Container::Wav ? SF_FORMAT_WAV : SF_FORMAT_FLAC) | subtype;
    m_handle->file.reset(sf_open_virtual(&m_handle->io, SFM_WRITE, &info, &m_handle->device));
    if (!m_handle->file)
        throw AudioError(fileName, libraryReason(nullptr));
}

SoundWriter::~SoundWriter() = default;

void SoundWriter::write(const int32_t *samples, std::size_t count)
{
    const auto n = static_cast<sf_count_t>(count);
    if (sf_write_int(m_handle->file.get(), samples, n) != n)
        throw AudioError(m_handle->name, libraryReason(m_handle->file.get()));
}

void SoundWriter::write(const float *samples, std::size_t count)
{
    const auto n = static_cast<sf_count_t>(count);
    if (sf_write_float(m_handle->file.get(), samples, n) != n)
        throw AudioError(m_handle->name, libraryReason(m_handle->file.get()));
}

void SoundWriter::close()
{
    SNDFILE *file = m_handle->file.release();
    if (file && sf_close(file) != 0)
        throw AudioError(m_handle->name, QStringLiteral("the file could not be finished"));
}

} // namespace audio
