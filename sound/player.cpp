#include "sound/player.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sound {

namespace {

constexpr int kPreferredRate = 48000;
// Asked of the output as what is queued ahead (PulseAudio grants some 70 ms):
// a change is heard within it. The sink is fed 20 ms at a time on the
// window's thread, and much less than this runs dry.
constexpr double kBufferSeconds = 0.1;
constexpr std::size_t kScratchFrames = 16384;
constexpr int kStopPollMs = 5;
constexpr int kStopMarginMs = 20;

QString stateError(QAudio::Error error)
{
    switch (error) {
    case QAudio::OpenError:
        return QStringLiteral("the audio output could not be opened");
    case QAudio::IOError:
        return QStringLiteral("the audio output stopped working");
    case QAudio::FatalError:
        return QStringLiteral("the audio output is gone");
    default:
        return QString();
    }
}

} // namespace

// What the sink reads: the generator's samples in the output's format, mono
// copied to every channel. readData allocates nothing and takes no lock.
class ToneDevice : public QIODevice
{
public:
    ToneDevice(ToneGenerator &generator, const QAudioFormat &format)
        : m_generator(generator), m_format(format), m_scratch(kScratchFrames)
    {
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const int frameBytes = m_format.bytesPerFrame();
        qint64 frames = frameBytes > 0 ? maxSize / frameBytes : 0;
        qint64 written = 0;
        while (frames > 0) {
            const auto wanted = static_cast<std::size_t>(std::min<qint64>(frames, kScratchFrames));
            const std::size_t got = m_generator.render(m_scratch.data(), wanted);
            for (std::size_t i = 0; i < got; ++i) {
                for (int channel = 0; channel < m_format.channelCount(); ++channel) {
                    if (m_format.sampleFormat() == QAudioFormat::Float) {
                        std::memcpy(data + written, &m_scratch[i], sizeof(float));
                        written += sizeof(float);
                    } else {
                        const auto value = static_cast<qint16>(std::clamp(m_scratch[i], -1.0f, 1.0f) * 32767);
                        std::memcpy(data + written, &value, sizeof value);
                        written += sizeof value;
                    }
                }
            }
            if (got < wanted)
                break;
            frames -= static_cast<qint64>(got);
        }
        return written;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    ToneGenerator &m_generator;
    QAudioFormat m_format;
    std::vector<float> m_scratch;
};

Player::Player(QObject *parent) : QObject(parent) {}

Player::~Player()
{
    stopNow();
}

void Player::watchOutputs()
{
    if (m_devices)
        return;
    m_devices = new QMediaDevices(this);
    connect(m_devices, &QMediaDevices::audioOutputsChanged, this, &Player::outputsChanged);
}

bool Player::outputAvailable()
{
    watchOutputs();
    return !QMediaDevices::defaultAudioOutput().isNull();
}

QString Player::play(const tone::Tone &tone)
{
    stopNow();
    watchOutputs();
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (output.isNull())
        return QStringLiteral("there is no audio output");
    QAudioFormat format;
    format.setSampleRate(kPreferredRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Float);
    if (!output.isFormatSupported(format)) {
        format = output.preferredFormat();
        if (format.sampleFormat() != QAudioFormat::Float)
            format.setSampleFormat(QAudioFormat::Int16);
    }
    m_generator = std::make_unique<ToneGenerator>(format.sampleRate(), settingsFor(tone));
    m_device = std::make_unique<ToneDevice>(*m_generator, format);
    // Unbuffered: the sink asks for what it plays next, and nothing is rendered ahead of that.
    m_device->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    m_sink = new QAudioSink(output, format, this);
    m_sink->setBufferSize(format.bytesForDuration(static_cast<qint64>(kBufferSeconds * 1e6)));
    connect(m_sink, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
        if (state == QAudio::StoppedState && m_sink && m_sink->error() != QAudio::NoError) {
            const QString why = stateError(m_sink->error());
            // Not from inside the sink's own signal: the sink is deleted there.
            QMetaObject::invokeMethod(
                this, [this, why] { finish(QStringLiteral("Playing stopped: %1.").arg(why)); },
                Qt::QueuedConnection);
        }
    });
    m_sink->start(m_device.get());
    if (m_sink->error() == QAudio::NoError)
        return QString();
    const QString why = stateError(m_sink->error());
    stopNow();
    return why.isEmpty() ? QStringLiteral("the audio output refused to start") : why;
}

void Player::setTone(const tone::Tone &tone)
{
    if (m_generator)
        m_generator->setSettings(settingsFor(tone));
}

void Player::stop()
{
    if (!m_generator)
        return;
    m_generator->requestStop();
    // Once the fade has been rendered, what is queued plays out and the sink stops.
    auto *wait = new QTimer(this);
    connect(wait, &QTimer::timeout, this, [this, wait] {
        if (m_generator && !m_generator->finished())
            return;
        wait->deleteLater();
        QTimer::singleShot(static_cast<int>(kBufferSeconds * 1000) + kStopMarginMs, this,
                           [this] { finish(QString()); });
    });
    wait->start(kStopPollMs);
}

void Player::stopNow()
{
    if (!m_sink)
        return;
    QAudioSink *sink = m_sink;
    m_sink = nullptr; // no state change is reported from here on
    sink->stop();
    delete sink;
    m_device.reset();
    m_generator.reset();
}

void Player::finish(const QString &error)
{
    if (!m_sink)
        return;
    stopNow();
    emit stopped(error);
}

} // namespace sound
