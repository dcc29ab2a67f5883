#pragma once

#include "sound/tonegenerator.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace sound {

class PlaySession;

// Plays the live tone through the default audio output. The sound is rendered
// on the device's own thread, so a busy window never starves it; this object
// only starts, steers and watches it. The audio system is first asked for
// when the sound is first needed, not at start-up: a program that never plays
// never talks to it.
class Player : public QObject
{
    Q_OBJECT

public:
    explicit Player(QObject *parent = nullptr);
    ~Player() override;

    // Whether there is an audio output to play on.
    bool outputAvailable();
    bool isPlaying() const { return m_session != nullptr; }

    // Starts the tone with a fade; an empty text when it plays, else why not.
    QString play(const tone::Tone &tone);
    // The tone while it plays: heard within the output's queue, cross-faded.
    void setTone(const tone::Tone &tone);
    // Fades out and lets the fade play out in the background; stopped() is
    // emitted before it returns, and play() may start again at once.
    void stop();
    // The same without stopped(), for a program that is closing.
    void stopNow();

signals:
    // Playing ended: `error` is empty when it was asked to stop.
    void stopped(const QString &error);

private:
    void watch();
    void end();

    std::shared_ptr<PlaySession> m_session; // while playing
    QTimer m_watch;
};

} // namespace sound
