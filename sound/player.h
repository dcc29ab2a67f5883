#pragma once

#include "sound/tonegenerator.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <mutex>

namespace sound {

class PlaySession;

// Plays the live tone through the default audio output. The sound is rendered
// on the device's own thread, so a busy window never starves it; this object
// only starts, steers and watches it. The audio system is first asked for
// when the sound is first needed, not at start-up: a program that never plays
// never talks to it; and it is asked off the caller's thread, so a sound
// server that does not answer never holds the window.
class Player : public QObject
{
    Q_OBJECT

public:
    explicit Player(QObject *parent = nullptr);
    ~Player() override;

    // Whether there is an audio output to play on; waits for the sound system.
    bool outputAvailable();
    // The same without waiting: outputChecked() tells.
    void checkOutput();
    // Playing, or opening the output to play.
    bool isPlaying() const { return m_session != nullptr || m_opening != nullptr; }

    // Starts the tone with a fade, once the output has opened (off this
    // thread); where it cannot, stopped() says why.
    void play(const tone::Tone &tone);
    // The tone while it plays: heard within the output's queue, cross-faded.
    void setTone(const tone::Tone &tone);
    // Fades out and lets the fade play out in the background; stopped() is
    // emitted before it returns, and play() may start again at once.
    void stop();
    // The same without stopped(), for a program that is closing.
    void stopNow();

    // An output being opened: whoever comes second, the opener or a stop,
    // lets go of what was opened.
    struct Opening
    {
        std::mutex mutex;
        bool abandoned = false, done = false;
        std::shared_ptr<PlaySession> session;
        QString error;
    };

signals:
    // Playing ended: `error` is empty when it was asked to stop.
    void stopped(const QString &error);
    void outputChecked(bool available);
    // The output has opened: the tone is heard from now on.
    void started();

private:
    void watch();
    void end();
    void opened(const std::shared_ptr<Opening> &opening);

    std::shared_ptr<PlaySession> m_session; // while playing
    std::shared_ptr<Opening> m_opening;     // while opening
    tone::Tone m_tone;                      // the latest asked for
    QTimer m_watch;
};

} // namespace sound
