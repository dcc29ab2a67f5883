#pragma once

#include "sound/tonegenerator.h"

#include <QAudioFormat>
#include <QObject>
#include <QString>

#include <memory>

class QAudioSink;
class QMediaDevices;

namespace sound {

class ToneDevice;

// Plays the live tone through the default audio output with Qt Multimedia: a
// QAudioSink pulling from a device that renders with the ToneGenerator. The
// sink lives on the thread that made the toolkit's audio engine, the window's,
// as the engine's own notice of a lost server needs. The audio system is first
// asked for when the sound is first needed, not at start-up: a program that
// never plays never talks to it.
class Player : public QObject
{
    Q_OBJECT

public:
    explicit Player(QObject *parent = nullptr);
    ~Player() override;

    // Whether there is an audio output to play on.
    bool outputAvailable();
    bool isPlaying() const { return m_sink != nullptr; }

    // Starts the tone with a fade; an empty text when it plays, else why not.
    QString play(const tone::Tone &tone);
    // The tone while it plays: heard within the output's buffer, cross-faded.
    void setTone(const tone::Tone &tone);
    // Fades out, then stops; stopped() follows.
    void stop();
    // Stops at once, without waiting for the fade (the program is closing).
    void stopNow();

signals:
    // Playing ended: `error` is empty when it was asked to stop.
    void stopped(const QString &error);
    void outputsChanged();

private:
    void finish(const QString &error);
    void watchOutputs();

    QMediaDevices *m_devices = nullptr;
    std::unique_ptr<ToneGenerator> m_generator; // while playing
    std::unique_ptr<ToneDevice> m_device;
    QAudioSink *m_sink = nullptr;
};

} // namespace sound
