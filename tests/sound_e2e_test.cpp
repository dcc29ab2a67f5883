// Runs against a real sound server with a null sink named "quenlari" (see
// sound_e2e.sh): the tone goes out through the program's own audio stream,
// comes back from the sink's monitor, and is analysed.

#include "analysis/analyser.h"
#include "audiodevice/devices.h"
#include "audiodevice/stream.h"
#include "measurewindow/measurewindow.h"
#include "sound/player.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

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
        runFor(100); // silence first, so that the sound's start is heard
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

// Plays `tone` and waits for the output to open.
bool startPlaying(sound::Player &player, const tone::Tone &tone)
{
    QSignalSpy started(&player, &sound::Player::started);
    player.play(tone);
    return started.wait(5000);
}

TEST(SoundEndToEnd, TheToneComesOutOfTheSoundServerAsSet)
{
    sound::Player player;
    ASSERT_TRUE(player.outputAvailable());
    QSignalSpy stopped(&player, &sound::Player::stopped);
    Recorder recorder;
    ASSERT_TRUE(startPlaying(player, testTone()));
    EXPECT_TRUE(player.isPlaying());
    runFor(2000);
    player.stop();
    ASSERT_EQ(stopped.count(), 1);
    EXPECT_EQ(stopped.at(0).at(0).toString(), QString());
    EXPECT_FALSE(player.isPlaying());
    runFor(3000); // the server's own latency
    const std::vector<float> heard = recorder.stop(0.05);
    ASSERT_GT(heard.size(), static_cast<std::size_t>(kRate)) << "heard " << heard.size() << " samples";

    // Past the stream's start, which the monitor may smear.
    const analysis::Analysis result = analysis::analyse(
        std::vector<float>(heard.begin() + static_cast<std::ptrdiff_t>(0.25 * kRate), heard.end()), kRate,
        {});
    EXPECT_NEAR(result.fundamentalHz, 997, 0.1);
    EXPECT_NEAR(result.thdF * 100, std::sqrt(9.0 + 144 + 1 + 49), 0.05);
    EXPECT_NEAR(result.peakDbfs, -12, 0.5);
}

TEST(SoundEndToEnd, AControlChangeIsHeard)
{
    sound::Player player;
    ASSERT_TRUE(startPlaying(player, testTone()));
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
}

// A pure tone's 10 ms blocks, each fitted at the tone's own frequency: no
// block may be quieter than the rest, and the phase may not jump from one
// block to the next.
void expectSteady(const std::vector<float> &heard)
{
    const analysis::Analysis whole = analysis::analyse(heard, kRate, {});
    const double step = 2 * M_PI * whole.fundamentalHz / kRate;
    constexpr std::size_t kBlock = 480;
    double previousPhase = 0;
    for (std::size_t block = 0; (block + 1) * kBlock <= heard.size(); ++block) {
        double c = 0, s = 0;
        for (std::size_t i = block * kBlock; i < (block + 1) * kBlock; ++i) {
            c += heard[i] * std::cos(step * double(i));
            s += heard[i] * std::sin(step * double(i));
        }
        const double amplitude = 2 * std::hypot(c, s) / kBlock;
        const double phase = std::atan2(c, s) * 180 / M_PI;
        if (block == 0)
            previousPhase = phase;
        double jump = std::fmod(std::fabs(phase - previousPhase), 360.0);
        jump = std::min(jump, 360 - jump);
        previousPhase = phase;
        ASSERT_NEAR(amplitude, whole.fundamentalAmplitude, 0.05 * whole.fundamentalAmplitude)
            << "block " << block << " of " << heard.size() / kBlock;
        ASSERT_LT(jump, 2.0) << "block " << block << " of " << heard.size() / kBlock;
    }
}

TEST(SoundEndToEnd, ABusyWindowLeavesNoGapAndNoPhaseJump)
{
    sound::Player player;
    Recorder recorder;
    tone::Tone pure;
    pure.frequencyHz = 997; // a gap of whole milliseconds shifts its phase
    pure.levels = {0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(startPlaying(player, pure));
    runFor(400);
    // The window's thread does something long, a large picture's decoding say.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    runFor(600);
    tone::Tone changed = pure; // and the sound still follows the controls
    changed.levels = {0, 10, 0, 0, 0, 0};
    player.setTone(changed);
    runFor(300);
    player.stop();
    runFor(1000);
    const std::vector<float> heard = recorder.stop(0.05);
    ASSERT_GT(heard.size(), static_cast<std::size_t>(kRate)) << "heard " << heard.size() << " samples";
    // From past the stream's start, which the monitor may smear, to before the change.
    expectSteady(std::vector<float>(heard.begin() + static_cast<std::ptrdiff_t>(0.25 * kRate),
                                    heard.begin() + static_cast<std::ptrdiff_t>(1.35 * kRate)));
    const std::vector<float> after(heard.end() - static_cast<std::ptrdiff_t>(0.2 * kRate), heard.end());
    EXPECT_NEAR(analysis::analyse(after, kRate, {}).levelPercent(3), 10, 0.1);
}

TEST(SoundEndToEnd, PlayRightAfterStopPlaysAndStopNeverWaitsForTheServer)
{
    sound::Player player;
    QSignalSpy stopped(&player, &sound::Player::stopped);
    ASSERT_TRUE(startPlaying(player, testTone()));
    runFor(200);
    player.stop();
    EXPECT_FALSE(player.isPlaying());
    ASSERT_TRUE(startPlaying(player, testTone())); // at once, while the first one fades
    EXPECT_TRUE(player.isPlaying());
    runFor(200);

    // A server that stops taking sound (frozen, here) does not hold the window.
    const QString server = qEnvironmentVariable("QUENLARI_SOUND_SERVER_PID");
    ASSERT_FALSE(server.isEmpty());
    ::kill(static_cast<pid_t>(server.toLongLong()), SIGSTOP);
    runFor(300);
    const auto before = std::chrono::steady_clock::now();
    player.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    ::kill(static_cast<pid_t>(server.toLongLong()), SIGCONT);
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(stopped.count(), 2);
}

TEST(SoundEndToEnd, TheServersDevicesAreListedAndADuplexStreamHearsWhatItPlays)
{
    const audiodevice::DeviceList devices = audiodevice::listDevices();
    EXPECT_EQ(devices.api, "pulse");
    const audiodevice::Device *output = devices.defaultOutput();
    const audiodevice::Device *input = devices.defaultInput();
    ASSERT_NE(output, nullptr);
    ASSERT_NE(input, nullptr);
    EXPECT_GE(output->outputChannels, 1);
    EXPECT_GE(input->inputChannels, 1);
    EXPECT_TRUE(input->name.find("Monitor") != std::string::npos) << input->name;
    EXPECT_NE(std::find(output->rates.begin(), output->rates.end(), 48000), output->rates.end());
    EXPECT_EQ(devices.find(std::to_string(input->index)), input);
    EXPECT_EQ(devices.find(input->name), input);
    EXPECT_EQ(devices.find("no such device"), nullptr);

    // Plays 997 Hz at -12 dBFS and keeps what comes back, on the device's own thread.
    class Loop : public audiodevice::Processor
    {
    public:
        bool process(const float *in, float *out, std::size_t frames) noexcept override
        {
            for (std::size_t i = 0; i < frames; ++i, ++m_played)
                out[i] = float(0.25 * std::sin(2 * M_PI * 997 * double(m_played) / kRate));
            const std::size_t kept = m_kept.load(std::memory_order_relaxed);
            const std::size_t room = std::min(frames, heard.size() - kept);
            std::copy(in, in + room, heard.begin() + std::ptrdiff_t(kept));
            m_kept.store(kept + room, std::memory_order_release);
            return true;
        }
        std::size_t kept() const { return m_kept.load(std::memory_order_acquire); }
        std::vector<float> heard = std::vector<float>(static_cast<std::size_t>(3 * kRate));

    private:
        long long m_played = 0;
        std::atomic<std::size_t> m_kept{0};
    } loop;
    audiodevice::StreamRequest request;
    request.api = devices.api;
    request.outputDevice = output->index;
    request.outputChannels = 1;
    request.inputDevice = input->index;
    request.inputChannels = 1;
    {
        audiodevice::Stream stream(request, loop);
        EXPECT_EQ(stream.rate(), 48000);
        for (int waited = 0; loop.kept() < loop.heard.size() && waited < 10000; waited += 50)
            runFor(50);
        EXPECT_EQ(stream.failure(), "");
    }
    ASSERT_EQ(loop.kept(), loop.heard.size());
    // The last second: what the monitor heard of what was played.
    const std::vector<float> last(loop.heard.end() - static_cast<std::ptrdiff_t>(kRate), loop.heard.end());
    const analysis::Analysis result = analysis::analyse(last, kRate, {});
    EXPECT_NEAR(result.fundamentalHz, 997, 0.01);
    EXPECT_NEAR(result.fundamentalDbfs, -12.04, 0.1);
}

// The longest the event loop waits between two of its turns, while it runs.
class LoopWatch
{
public:
    LoopWatch()
    {
        m_clock.start();
        m_beat.setInterval(5);
        QObject::connect(&m_beat, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_clock.elapsed() - m_last);
            m_last = m_clock.elapsed();
        });
    }
    void start()
    {
        m_last = m_clock.elapsed();
        m_beat.start();
    }
    void stop() { m_beat.stop(); }
    qint64 longest() const { return m_longest; }

private:
    QElapsedTimer m_clock;
    QTimer m_beat;
    qint64 m_last = 0, m_longest = 0;
};

TEST(SoundEndToEnd, AFrozenServerNeverHoldsTheWindow)
{
    LoopWatch watch;
    sound::Player player;
    QSignalSpy stopped(&player, &sound::Player::stopped);
    QSignalSpy checked(&player, &sound::Player::outputChecked);
    const pid_t server = static_cast<pid_t>(qEnvironmentVariableIntValue("QUENLARI_SOUND_SERVER_PID"));
    ::kill(server, SIGSTOP);
    watch.start();
    player.checkOutput();
    player.play(testTone());
    EXPECT_TRUE(player.isPlaying()); // opening
    const bool said = stopped.wait(7000);
    const bool answered = checked.count() > 0 || checked.wait(2000);
    watch.stop();
    ::kill(server, SIGCONT);
    ASSERT_TRUE(said);
    EXPECT_EQ(stopped.at(0).at(0).toString(), QStringLiteral("the sound server does not answer"));
    // Whether an output is there, the check answers without holding the window
    // (what it answers with the server frozen is not fixed: another back end
    // may answer in its place).
    EXPECT_TRUE(answered);
    EXPECT_FALSE(player.isPlaying());
    std::printf("the longest wait of the event loop: %lld ms\n", static_cast<long long>(watch.longest()));
    EXPECT_LT(watch.longest(), 100);
    runFor(500); // the server catches up
}
TEST(SoundEndToEnd, AFrozenServerNeverHoldsTheMeasureWindow)
{
    LoopWatch watch;
    const pid_t server = static_cast<pid_t>(qEnvironmentVariableIntValue("QUENLARI_SOUND_SERVER_PID"));
    ::kill(server, SIGSTOP);
    watch.start();
    bool said = false;
    QString message;
    {
        // Opened, listing its devices and starting live while the server is frozen.
        MeasureWindow window([] { return tone::Tone(); });
        QSignalSpy errors(&window, &MeasureWindow::errorShown);
        window.show();
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdStart")), Qt::LeftButton);
        said = errors.wait(7000);
        if (said)
            message = errors.first().first().toString();
        watch.stop();
        ::kill(server, SIGCONT);
    }
    ASSERT_TRUE(said);
    EXPECT_TRUE(message.contains(QStringLiteral("the sound server does not answer"))) << message.toStdString();
    std::printf("the longest wait of the Measure window's event loop: %lld ms\n",
                static_cast<long long>(watch.longest()));
    EXPECT_LT(watch.longest(), 100);
    runFor(500);
}

// Two outputs of one description are two entries; choosing one makes its
// own monitor the input, where no input of the user's own was chosen.
TEST(SoundEndToEnd, TheMeasureWindowOffersTheChosenOutputsMonitor)
{
    MeasureWindow window([] { return tone::Tone(); });
    auto *output = window.findChild<QComboBox *>(QStringLiteral("cboOutput"));
    auto *input = window.findChild<QComboBox *>(QStringLiteral("cboInput"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return output->findText(QStringLiteral("Quenlari-Twin (2)")) > 0; }, 6000));
    EXPECT_GT(output->findText(QStringLiteral("Quenlari-Twin")), 0);
    const auto choose = [](QComboBox *box, const QString &text) {
        box->setCurrentIndex(box->findText(text));
        emit box->activated(box->currentIndex());
    };
    choose(output, QStringLiteral("Quenlari-Twin (2)"));
    EXPECT_EQ(input->currentText(), QStringLiteral("Monitor of Quenlari-Twin (2)"));
    EXPECT_EQ(input->currentData().toString(), QStringLiteral("twinB.monitor"));
    choose(output, QStringLiteral("Quenlari-Twin"));
    EXPECT_EQ(input->currentData().toString(), QStringLiteral("twinA.monitor"));
    // From the system's default input too.
    input->setCurrentIndex(0);
    choose(output, QStringLiteral("Quenlari-Loop"));
    EXPECT_EQ(input->currentData().toString(), QStringLiteral("quenlari.monitor"));
}

// Last: the server does not come back.
TEST(SoundEndToEnd, ALostServerStopsWithAMessage)
{
    sound::Player player;
    QSignalSpy stopped(&player, &sound::Player::stopped);
    ASSERT_TRUE(startPlaying(player, testTone()));
    runFor(300);
    // The server goes away while playing: playing stops, saying why; nothing hangs.
    QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("exit")});
    ASSERT_TRUE(stopped.wait(5000));
    EXPECT_FALSE(stopped.at(0).at(0).toString().isEmpty());
    EXPECT_FALSE(player.isPlaying());
}

} // namespace
