#include "sound/player.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "audiodevice/stream.h"
#include "base/parallel.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

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

void Player::checkOutput()
{
    // Playing, it has one; opening, it may not have one yet.
    if (m_session) {
        emit outputChecked(true);
        return;
    }
    auto *watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher] {
        emit outputChecked(watcher->result() || m_session != nullptr);
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(&waitingPool(), [] {
        try {
            return audiodevice::listDevices().defaultOutput() != nullptr;
        } catch (const audiodevice::NoAnswer &) {
            return false;
        }
    }));
}

namespace {

// Lists the devices and opens the default output: on a thread of the pool.
std::shared_ptr<PlaySession> openOutput(const tone::Tone &tone, QString &error)
{
    audiodevice::DeviceList devices;
    try {
        devices = audiodevice::listDevices();
    } catch (const audiodevice::NoAnswer &noAnswer) {
        error = QString::fromStdString(noAnswer.what());
        return nullptr;
    }
    const audiodevice::Device *output = devices.defaultOutput();
    if (!output) {
        error = QStringLiteral("there is no audio output");
        return nullptr;
    }
    const auto &rates = output->rates;
    const int rate = rates.empty() || std::find(rates.begin(), rates.end(), kPreferredRate) != rates.end()
                         ? kPreferredRate
                         : output->preferredRate;
    auto session = std::make_shared<PlaySession>(rate, settingsFor(tone));
    audiodevice::StreamRequest request;
    request.api = devices.api;
    request.outputDevice = output->index;
    request.outputName = output->id.empty() ? output->name : output->id;
    request.outputChannels = 1;
    request.rate = rate;
    try {
        session->stream = audiodevice::Stream::open(request, session);
    } catch (const audiodevice::NoAnswer &noAnswer) {
        error = QString::fromStdString(noAnswer.what());
        return nullptr;
    } catch (const audiodevice::StreamError &streamError) {
        error = QStringLiteral("the audio output could not be opened (%1)").arg(QString::fromStdString(streamError.what()));
        return nullptr;
    }
    return session;
}

void letGo(const std::shared_ptr<PlaySession> &session)
{
    session->generator.requestStop();
    audiodevice::Stream::closeLater(std::move(session->stream), session);
}

} // namespace

void Player::play(const tone::Tone &tone)
{
    if (isPlaying())
        stopNow();
    m_tone = tone;
    auto opening = std::make_shared<Opening>();
    m_opening = opening;
    auto *watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, watcher, opening] {
        watcher->deleteLater();
        opened(opening);
    });
    watcher->setFuture(QtConcurrent::run(&waitingPool(), [opening, tone] {
        QString error;
        std::shared_ptr<PlaySession> session = openOutput(tone, error);
        const std::lock_guard<std::mutex> lock(opening->mutex);
        if (opening->abandoned) {
            if (session)
                letGo(session);
            return;
        }
        opening->session = std::move(session);
        opening->error = error;
        opening->done = true;
    }));
}

void Player::opened(const std::shared_ptr<Opening> &opening)
{
    if (opening != m_opening)
        return; // stopped while it opened: it let go of what it opened
    m_opening.reset();
    std::shared_ptr<PlaySession> session;
    QString error;
    {
        const std::lock_guard<std::mutex> lock(opening->mutex);
        opening->abandoned = true;
        session = std::move(opening->session);
        error = opening->error;
    }
    if (!session) {
        emit stopped(error);
        return;
    }
    m_session = std::move(session);
    m_session->generator.setSettings(settingsFor(m_tone)); // what changed while it opened
    m_watch.start();
    emit started();
}

void Player::setTone(const tone::Tone &tone)
{
    m_tone = tone;
    if (m_session)
        m_session->generator.setSettings(settingsFor(tone));
}

void Player::stop()
{
    if (!isPlaying())
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
    if (m_opening) {
        const std::lock_guard<std::mutex> lock(m_opening->mutex);
        m_opening->abandoned = true;
        if (m_opening->session)
            letGo(m_opening->session);
        m_opening->session.reset();
    }
    m_opening.reset();
    if (!m_session)
        return;
    m_watch.stop();
    std::shared_ptr<PlaySession> session = std::move(m_session);
    letGo(session);
}

} // namespace sound
