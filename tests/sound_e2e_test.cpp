// Runs against a real sound server with a null sink named "quenlari" (see
// sound_e2e.sh): the tone goes out through the program's own QAudioSink path,
// comes back from the sink's monitor, and is analysed.

#include "analysis/analyser.h"
#include "sound/player.h"

#include <QEventLoop>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

constexpr double kRate = 48000;

// Lets the event loop run for a while, as a window's does.
void runFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

tone::Tone testTone()
{
    tone::Tone tone;
    tone.frequencyHz = 997;
    tone.levels = {3, 0, 12, 1, 0, 7};
    tone.phases = {90, 0, 180, 45, 0, 300};
    return tone;
}

// What the null sink plays, as parec hears it from its monitor.
class Recorder
{
public:
    Recorder()
    {
        m_parec.start(QStringLiteral("parec"),
                      {QStringLiteral("--device=quenlari.monitor"), QStringLiteral("--format=float32le"),
                       QStringLiteral("--rate=48000"), QStringLiteral("--channels=1"),
                       QStringLiteral("--latency-msec=20"), QStringLiteral("--raw")});
        EXPECT_TRUE(m_parec.waitForStarted());
        // The monitor's first data come a while after parec connects: record
        // only from then on.
        for (int waited = 0; m_parec.bytesAvailable() == 0 && waited < 10000; waited += 50)
            runFor(50);
        EXPECT_GT(m_parec.bytesAvailable(), 0);
    }
    // The sound from its first to its last audible sample, less `margin` seconds at either end.
    std::vector<float> stop(double margin)
    {
        ::kill(static_cast<pid_t>(m_parec.processId()), SIGINT);
        EXPECT_TRUE(m_parec.waitForFinished(5000));
        const QByteArray bytes = m_parec.readAllStandardOutput();
        std::vector<float> samples(static_cast<std::size_t>(bytes.size()) / sizeof(float));
        std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
        const auto audible = [](float x) { return std::fabs(x) > 1e-3f; };
        const auto first = std::find_if(samples.begin(), samples.end(), audible);
        const auto last = std::find_if(samples.rbegin(), samples.rend(), audible).base();
        const auto cut = static_cast<std::ptrdiff_t>(margin * kRate);
        if (last - first <= 2 * cut)
            return {};
        return std::vector<float>(first + cut, last - cut);
    }

private:
    QProcess m_parec;
};

TEST(SoundEndToEnd, TheToneComesOutOfTheSoundServerAsSet)
{
    sound::Player player;
    ASSERT_TRUE(player.outputAvailable());
    QSignalSpy stopped(&player, &sound::Player::stopped);
    Recorder recorder;
    ASSERT_EQ(player.play(testTone()), QString());
    EXPECT_TRUE(player.isPlaying());
    runFor(2000);
    player.stop();
    ASSERT_TRUE(stopped.wait(3000));
    EXPECT_EQ(stopped.at(0).at(0).toString(), QString());
    EXPECT_FALSE(player.isPlaying());
    runFor(3000); // the server's own latency
    const std::vector<float> heard = recorder.stop(0.05);
    ASSERT_GT(heard.size(), static_cast<std::size_t>(kRate)) << "heard " << heard.size() << " samples";

    const analysis::Analysis result = analysis::analyse(heard, kRate, {});
    EXPECT_NEAR(result.fundamentalHz, 997, 0.1);
    EXPECT_NEAR(result.thdF * 100, std::sqrt(9.0 + 144 + 1 + 49), 0.05);
    EXPECT_NEAR(result.peakDbfs, -12, 0.5);
}

TEST(SoundEndToEnd, AControlChangeIsHeardAndALostServerStopsWithAMessage)
{
    sound::Player player;
    QSignalSpy stopped(&player, &sound::Player::stopped);
    ASSERT_EQ(player.play(testTone()), QString());
    runFor(300);
    tone::Tone changed = testTone();
    changed.frequencyHz = 440;
    changed.levels = {0, 0, 0, 0, 0, 0};
    player.setTone(changed);
    runFor(150);
    Recorder recorder; // from after the change on
    runFor(1500);
    const std::vector<float> heard = recorder.stop(0.05);
    ASSERT_GT(heard.size(), static_cast<std::size_t>(kRate / 2)) << "heard " << heard.size() << " samples";
    const analysis::Analysis result = analysis::analyse(heard, kRate, {});
    EXPECT_NEAR(result.fundamentalHz, 440, 0.1);
    EXPECT_LT(result.thdF * 100, 0.05);

    // The server goes away while playing: playing stops, saying why; nothing hangs.
    QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("exit")});
    ASSERT_TRUE(stopped.wait(5000));
    EXPECT_FALSE(stopped.at(0).at(0).toString().isEmpty());
    EXPECT_FALSE(player.isPlaying());
}

} // namespace
