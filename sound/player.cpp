#include "sound/player.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "audiodevice/stream.h"

#include <algorithm>

namespace sound {

namespace {

constexpr int kPreferredRate = 48000;
constexpr int kWatchMs = 20;

} // namespace

// The generator and the stream that plays it. The generator outlives the
// stream: a stream that is closing still renders the fade.
class PlaySession : public audiodevice::Processor
{
public:
    PlaySession(int rate, const ToneSettings &settings) : generator(rate, settings) {}

    bool process(const float *, float *output, std::size_t frames) noexcept override
    {
        const std::size_t wrote = generator.render(output, frames);
        std::fill(output + wrote, output + frames, 0.0f);
        return wrote == frames;
    }

    ToneGenerator generator;
    std::unique_ptr<audiodevice::Stream> stream;
};

Player::Player(QObject *parent) : QObject(parent)
{
    m_watch.setInterval(kWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &Player::watch);
}

Player::~Player()
{
    end();
}

bool Player::outputAvailable()
{
    try {
        return m_session || audiodevice::listDevices().defaultOutput() != nullptr;
    } catch (const audiodevice::NoAnswer &) {
        return false;
    }
}

QString Player::play(const tone::Tone &tone)
{
    if (m_session)
        stop();
    audiodevice::DeviceList devices;
    try {
        devices = audiodevice::listDevices();
    } catch (const audiodevice::NoAnswer &error) {
        return QString::fromStdString(error.what());
    }
    const audiodevice::Device *output = devices.defaultOutput();
    if (!output)
        return QStringLiteral("there is no audio output");
    const auto &rates = output->rates;
    const int rate = rates.empty() || std::find(rates.begin(), rates.end(), kPreferredRate) != rates.end()
                         ? kPreferredRate
                         : output->preferredRate;
    auto session = std::make_shared<PlaySession>(rate, settingsFor(tone));
    audiodevice::StreamRequest request;
    request.api = devices.api;
    request.outputDevice = output->index;
    request.outputName = output->name;
    request.outputChannels = 1;
    request.rate = rate;
    try {
        session->stream = audiodevice::Stream::open(request, session);
    } catch (const audiodevice::NoAnswer &error) {
        return QString::fromStdString(error.what());
    } catch (const audiodevice::StreamError &error) {
        return QStringLiteral("the audio output could not be opened (%1)")
            .arg(QString::fromStdString(error.what()));
    }
    m_session = std::move(session);
    m_watch.start();
    return QString();
}

void Player::setTone(const tone::Tone &tone)
{
    if (m_session)
        m_session->generator.setSettings(settingsFor(tone));
}

void Player::stop()
{
    if (!m_session)
        return;
    end();
    emit stopped(QString());
}

void Player::stopNow()
{
    end();
}

void Player::watch()
{
    if (!m_session)
        return;
    const std::string failure = m_session->stream->failure();
    if (failure.empty())
        return;
    end();
    emit stopped(QStringLiteral("Playing stopped: the audio output stopped working (%1).")
                     .arg(QString::fromStdString(failure).trimmed()));
}

void Player::end()
{
    if (!m_session)
        return;
    m_watch.stop();
    std::shared_ptr<PlaySession> session = std::move(m_session);
    session->generator.requestStop();
    audiodevice::Stream::closeLater(std::move(session->stream), session);
}

} // namespace sound
