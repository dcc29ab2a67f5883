// Runs against a real sound server (see sound_e2e.sh): "Quenlari-Loop", a
// clean float loop through a null sink's monitor, and "Quenlari-Clipper", a
// 16-bit null sink whose volume drives the stimulus 12.04 dB hot into its
// limits: a real nonlinear device made in the server.

#include "analysis/intermod.h"
#include "audiodevice/stream.h"
#include "dsp/soundmath.h"
#include "measure/chirp.h"
#include "measure/measurement.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

constexpr double kRate = 48000;
// The clipper's volume of 104032 against 65536 for 0 dB, as the server turns
// it into a gain: the cube of the ratio, then 16.16 fixed point.
const double kClipperGain = std::lround(std::pow(104032.0 / 65536.0, 3) * 65536) / 65536.0;

measure::Devices loop()
{
    measure::Devices devices;
    devices.output = "Quenlari-Loop";
    devices.input = "Monitor of Quenlari-Loop";
    return devices;
}

measure::Devices clipper()
{
    measure::Devices devices;
    devices.output = "Quenlari-Clipper";
    devices.input = "Monitor of Quenlari-Clipper";
    return devices;
}

// The clipper's own arithmetic done here: the float stimulus to 16 bits, the
// volume's gain, the 16-bit limits, back to float.
std::vector<float> clippedOffline(const measure::Stimulus &stimulus, std::size_t frames)
{
    const double amplitude = std::pow(10.0, stimulus.peakDbfs / 20);
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double x = amplitude * std::sin(2 * dsp::kPi * stimulus.frequencyHz() * double(i) / kRate + 0.3);
        const double code = std::clamp(std::nearbyint(std::clamp(x, -1.0, 1.0) * 32768), -32768.0, 32767.0);
        out[i] = float(std::clamp(std::nearbyint(code * kClipperGain), -32768.0, 32767.0) / 32768);
    }
    return out;
}

struct Cli
{
    int status = -1;
    QByteArray out, err;
};

Cli cli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUENLARI_CLI), arguments);
    Cli result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "quenlari-cli " << arguments.join(' ').toStdString() << " did not end";
        return result;
    }
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

TEST(MeasureEndToEnd, TheCleanLoopReadsAPureToneAndTheToneOfTheControlsBack)
{
    measure::Session session(loop(), measure::sine(997, -12));
    const measure::Reading pure =
        measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    ASSERT_EQ(pure.state, measure::State::Measured) << pure.why;
    EXPECT_LE(pure.result.thdN * 100, 0.001);
    EXPECT_NEAR(pure.result.fundamentalHz, 997, 1e-3);
    EXPECT_NEAR(pure.result.fundamentalDbfs, -12, 0.01);

    measure::Stimulus controls;
    controls.tone.frequencyHz = 200;
    controls.tone.levels = {1, 5, 1, 2, 1, 1};
    controls.tone.phases = {0, 20, 0, 165, 0, 0};
    controls.peakDbfs = -6;
    session.setStimulus(controls);
    const measure::Reading tone =
        measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    ASSERT_EQ(tone.state, measure::State::Measured) << tone.why;
    for (int n = 2; n <= 7; ++n) {
        const analysis::Harmonic &h = tone.result.harmonics[std::size_t(n - 2)];
        EXPECT_NEAR(h.levelPercent, controls.tone.levels[std::size_t(n - 2)], 0.05) << "harmonic " << n;
        const double phase = std::fmod(std::fabs(h.phaseDegrees - controls.tone.phases[std::size_t(n - 2)]), 360.0);
        EXPECT_LT(std::min(phase, 360 - phase), 1.0) << "harmonic " << n;
    }
}

TEST(MeasureEndToEnd, TheLevelSweepOfAClippingDeviceFollowsItsOfflineModel)
{
    std::vector<measure::Stimulus> steps;
    for (double dbfs : measure::levelSteps(-40, 0, 1))
        steps.push_back(measure::sine(997, dbfs));
    measure::Session session(clipper(), steps.front());
    std::vector<measure::Reading> measured;
    measure::sweep(session, steps, {}, nullptr, [&](const measure::Reading &r) { measured.push_back(r); });
    ASSERT_EQ(measured.size(), steps.size());
    double measuredKnee = 1, modelKnee = 1;
    int compared = 0;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const std::size_t frames = measure::stepFrames(997, kRate, 0.25);
        const measure::Reading model = measure::read(clippedOffline(steps[k], frames), kRate, steps[k]);
        const double modelDb = dsp::decibels(model.result.thdF), measuredDb = dsp::decibels(measured[k].result.thdF);
        ASSERT_NE(measured[k].state, measure::State::NoSignal) << steps[k].peakDbfs << " dBFS";
        if (modelDb >= -60) {
            EXPECT_NEAR(measuredDb, modelDb, 0.5) << steps[k].peakDbfs << " dBFS";
            ++compared;
        }
        if (modelDb >= -40 && modelKnee > 0)
            modelKnee = steps[k].peakDbfs;
        if (measuredDb >= -40 && measuredKnee > 0)
            measuredKnee = steps[k].peakDbfs;
    }
    // 12.04 dB of gain into 16 bits: the knee lies just above -12 dBFS.
    EXPECT_EQ(measuredKnee, modelKnee);
    EXPECT_NEAR(modelKnee, -11, 1);
    EXPECT_GE(compared, 10);
}

TEST(MeasureEndToEnd, TheFrequencySweepOverTheCleanLoopIsFlat)
{
    std::vector<measure::Stimulus> steps;
    for (double hz : measure::frequencySteps(20, 20000, 3))
        steps.push_back(measure::sine(hz, -12));
    ASSERT_EQ(steps.size(), 31u);
    measure::Session session(loop(), steps.front());
    const auto start = std::chrono::steady_clock::now();
    std::vector<measure::Reading> readings;
    measure::sweep(session, steps, {}, nullptr, [&](const measure::Reading &r) { readings.push_back(r); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("the 31-point sweep took %.1f s\n", seconds);
    ASSERT_EQ(readings.size(), steps.size());
    for (const measure::Reading &r : readings) {
        EXPECT_EQ(r.state, measure::State::Measured) << r.stimulus.frequencyHz() << " Hz: " << r.why;
        EXPECT_LE(dsp::decibels(r.result.thdN), -90) << r.stimulus.frequencyHz() << " Hz";
        EXPECT_NEAR(r.result.fundamentalHz, r.stimulus.frequencyHz(), 1e-3 * r.stimulus.frequencyHz());
    }
}

// Every step of a sweep over the clean loop is either measured clean or in a
// state; returns how many were measured.
int cleanOrInAState(const std::vector<measure::Reading> &readings)
{
    int measured = 0;
    for (const measure::Reading &r : readings) {
        if (measure::hasFigures(r.state)) {
            ++measured;
            EXPECT_EQ(r.state, measure::State::Measured);
            EXPECT_LE(dsp::decibels(r.result.thdN), -120) << r.stimulus.frequencyHz() << " Hz";
        } else {
            EXPECT_TRUE(r.state == measure::State::Unsteady || r.state == measure::State::NotSettled)
                << r.stimulus.frequencyHz() << " Hz: " << measure::stateText(r.state);
        }
    }
    return measured;
}

// A hand on the loop's volume knob: its gain steps between 0 dB and
// `stepDb` below at random moments while it runs.
class Knob
{
public:
    explicit Knob(double stepDb)
        : m_thread([this, stepDb] {
              std::mt19937 random(std::random_device{}());
              std::uniform_int_distribution<int> waitMs(150, 1500);
              // The server's volume is the cube of its ratio to 65536.
              const QString down = QString::number(std::lround(65536 * std::pow(10.0, -stepDb / 60)));
              bool low = false;
              std::unique_lock<std::mutex> lock(m_mutex);
              while (!m_stop.wait_for(lock, std::chrono::milliseconds(waitMs(random)), [this] { return m_done; })) {
                  low = !low;
                  QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-sink-volume"),
                                                               QStringLiteral("quenlari"),
                                                               low ? down : QStringLiteral("65536")});
                  ++turns;
              }
          })
    {
    }
    ~Knob()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_stop.notify_all();
        m_thread.join();
        QProcess::execute(QStringLiteral("pactl"),
                          {QStringLiteral("set-sink-volume"), QStringLiteral("quenlari"), QStringLiteral("65536")});
    }
    std::atomic<int> turns{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_stop;
    bool m_done = false;
    std::thread m_thread;
};

TEST(MeasureEndToEnd, AGainThatStepsDuringASweepGivesCleanFiguresOrAState)
{
    std::vector<measure::Stimulus> steps;
    for (double hz : measure::frequencySteps(20, 20000, 3))
        steps.push_back(measure::sine(hz, -12));
    for (const double stepDb : {0.35, 0.05}) {
        SCOPED_TRACE(testing::Message() << "gain steps of " << stepDb << " dB");
        measure::Session session(loop(), steps.front());
        std::vector<measure::Reading> readings;
        const auto start = std::chrono::steady_clock::now();
        int turns = 0;
        {
            Knob knob(stepDb);
            measure::sweep(session, steps, {}, nullptr, [&](const measure::Reading &r) { readings.push_back(r); });
            turns = knob.turns;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(readings.size(), steps.size());
        const int measured = cleanOrInAState(readings);
        std::printf("%.2f dB steps, %d turns of the knob: %d of %zu steps measured, the sweep took %.1f s\n", stepDb,
                    turns, measured, readings.size(), seconds);
        EXPECT_GE(turns, 5);
        EXPECT_LT(seconds, 60);
    }
}

// Where the sound system hands the input over, one sample lost, then one
// repeated, at random moments 0.3 to 2 s apart.
class Slip : public measure::InputSeam
{
public:
    const float *pass(const float *samples, std::size_t frames, int channels) noexcept override
    {
        const auto width = std::size_t(channels);
        if (frames > kMostFrames || width > kMostChannels)
            return samples;
        for (std::size_t f = 0; f < frames; ++f) {
            const float *frame = samples + f * width;
            if (--m_countdown <= 0) {
                m_countdown = nextInterval();
                slips.fetch_add(1, std::memory_order_relaxed);
                m_lose = !m_lose;
                if (m_lose)
                    continue;
                push(frame, width);
            }
            push(frame, width);
        }
        for (std::size_t f = 0; f < frames; ++f, ++m_read)
            std::copy_n(&m_fifo[(m_read % kFifoFrames) * width], width, &m_out[f * width]);
        return m_out.data();
    }
    std::atomic<int> slips{0};

private:
    static constexpr std::size_t kMostFrames = 8192, kMostChannels = 8, kFifoFrames = 1 << 16;

    void push(const float *frame, std::size_t width)
    {
        std::copy_n(frame, width, &m_fifo[(m_write++ % kFifoFrames) * width]);
    }
    long nextInterval()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return long(0.3 * kRate) + long(m_state % uint64_t(1.7 * kRate));
    }

    std::vector<float> m_fifo = std::vector<float>(kFifoFrames * kMostChannels, 0.0f);
    std::vector<float> m_out = std::vector<float>(kMostFrames * kMostChannels, 0.0f);
    // A few frames of silence ahead, so that a lost sample never empties it.
    std::size_t m_read = 0, m_write = 16;
    uint64_t m_state = std::random_device{}() | 1;
    long m_countdown = nextInterval();
    bool m_lose = false;
};

TEST(MeasureEndToEnd, ALostOrRepeatedSampleDuringASweepGivesCleanFiguresOrAState)
{
    std::vector<measure::Stimulus> steps;
    for (double hz : measure::frequencySteps(20, 20000, 3))
        steps.push_back(measure::sine(hz, -12));
    measure::Devices devices = loop();
    auto slip = std::make_shared<Slip>();
    devices.inputSeam = slip;
    measure::Session session(devices, steps.front());
    std::vector<measure::Reading> readings;
    const auto start = std::chrono::steady_clock::now();
    measure::sweep(session, steps, {}, nullptr, [&](const measure::Reading &r) { readings.push_back(r); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(readings.size(), steps.size());
    const int measured = cleanOrInAState(readings);
    std::printf("%d samples lost or repeated: %d of %zu steps measured, the sweep took %.1f s\n", slip->slips.load(),
                measured, readings.size(), seconds);
    EXPECT_GE(slip->slips.load(), 5);
    EXPECT_LT(seconds, 60);
}

TEST(MeasureEndToEnd, OneSweepWithSamplesLostOrRepeatedGivesAStateOrFiguresThatHold)
{
    int told = 0;
    for (int run = 0; run < 3; ++run) {
        measure::Devices devices = loop();
        auto slip = std::make_shared<Slip>();
        devices.inputSeam = slip;
        const measure::ChirpResult result = measure::measureChirp(devices, {}, nullptr);
        std::printf("one sweep with %d samples lost or repeated: %s %s\n", slip->slips.load(),
                    measure::stateText(result.state), result.why.c_str());
        ASSERT_GE(slip->slips.load(), 1);
        if (result.state == measure::State::Unsteady) {
            EXPECT_TRUE(result.points.empty());
            ++told;
            continue;
        }
        ASSERT_EQ(result.state, measure::State::Measured) << result.why;
        // Passed only where the slips fell low in the sweep, where they hardly move the phase.
        for (const measure::ChirpPoint &point : result.points) {
            EXPECT_NEAR(point.responseDb, 0, 0.1) << point.frequencyHz << " Hz";
            EXPECT_LT(std::fabs(point.responsePhaseDegrees), 2.0) << point.frequencyHz << " Hz";
        }
    }
    EXPECT_GE(told, 1);
}

TEST(MeasureEndToEnd, ClocksTwoHundredPpmApartChangeNoFigure)
{
    // The stimulus made for a clock 200 ppm slow and played on the input's:
    // what the input hears runs 200 ppm fast.
    measure::Devices devices = loop();
    devices.stimulusRate = kRate * (1 - 200e-6);
    measure::Stimulus controls;
    controls.tone.frequencyHz = 997;
    controls.tone.levels = {0.5, 1, 0, 0, 0, 0.2};
    controls.tone.phases = {30, 200, 0, 0, 0, 90};
    controls.peakDbfs = -12;
    measure::Session session(devices, controls);
    const measure::Reading r =
        measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    ASSERT_EQ(r.state, measure::State::Measured) << r.why;
    EXPECT_NEAR(r.result.fundamentalHz, 997 / (1 - 200e-6), 1e-3);
    EXPECT_NEAR(r.result.thdF * 100, std::hypot(0.5, 1, 0.2), 0.005);
    EXPECT_LE(dsp::decibels(r.result.thdN), dsp::decibels(r.result.thdF) + 0.01);
    EXPECT_NEAR(r.result.harmonics[0].phaseDegrees, 30, 1);
    EXPECT_NEAR(r.result.harmonics[5].phaseDegrees, 90, 1);
}

TEST(MeasureEndToEnd, OneSweepOverTheCleanLoopIsFlatAndFreeOfDistortion)
{
    const measure::ChirpResult result = measure::measureChirp(loop(), {}, nullptr);
    std::printf("the one-sweep measurement took %.2f s\n", result.seconds);
    ASSERT_EQ(result.state, measure::State::Measured) << result.why;
    ASSERT_EQ(result.points.size(), 120u); // 20 Hz to 20 kHz, 1/12 octave apart
    for (const measure::ChirpPoint &point : result.points) {
        EXPECT_NEAR(point.responseDb, 0, 0.01) << point.frequencyHz << " Hz";
        EXPECT_LT(std::fabs(point.responsePhaseDegrees), 1.0) << point.frequencyHz << " Hz";
        // A float loop adds nothing: whatever stands out of its noise stands out of it by little.
        if (point.thdF) {
            EXPECT_LT(dsp::decibels(*point.thdF), -130) << point.frequencyHz << " Hz";
        }
    }
    EXPECT_LT(result.noiseFloorDb, -130);
    EXPECT_GE(result.delaySeconds, 0);
}

// The harmonic generator in front of a float loop: a polynomial device made in the server.
measure::Devices shaper()
{
    measure::Devices devices;
    devices.output = "Quenlari-Shaper";
    devices.input = "Monitor of Quenlari-Shaped";
    return devices;
}

TEST(MeasureEndToEnd, OneSweepOfAPolynomialDeviceReadsTheHarmonicsTheSteppedSineReads)
{
    measure::ChirpPlan plan;
    plan.peakDbfs = -6;
    const measure::ChirpResult sweep = measure::measureChirp(shaper(), plan, nullptr);
    ASSERT_EQ(sweep.state, measure::State::Measured) << sweep.why;
    int compared = 0;
    // Two octaves apart, from 40 Hz to 2.56 kHz.
    for (const measure::ChirpPoint &point : sweep.points) {
        if (point.frequencyHz < 30 || point.frequencyHz > 3000 || std::lround(std::log2(point.frequencyHz / 20) * 12) % 24 != 12)
            continue;
        measure::Session session(shaper(), measure::sine(point.frequencyHz, plan.peakDbfs));
        const measure::Reading stepped = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
        ASSERT_EQ(stepped.state, measure::State::Measured) << stepped.why;
        for (int n = 2; n <= 3; ++n) {
            const double steppedDb = dsp::decibels(stepped.result.harmonics[std::size_t(n - 2)].levelPercent / 100);
            const auto &figure = point.harmonics[std::size_t(n - 2)];
            if (steppedDb < -80 && (!figure || dsp::decibels(figure->ratio) < -80))
                continue;
            ASSERT_TRUE(figure) << point.frequencyHz << " Hz, harmonic " << n << " at " << steppedDb << " dB";
            EXPECT_NEAR(dsp::decibels(figure->ratio), steppedDb, 0.5) << point.frequencyHz << " Hz, harmonic " << n;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 8); // H2 and H3 at 40, 160, 640 and 2560 Hz
}

TEST(MeasureEndToEnd, TheCommandLineListsDevicesMeasuresAndSaysWhatIsMissing)
{
    // The last test's stream plays out in the background, into the loop the
    // command line's lead-in is about to listen to for its noise.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (audiodevice::Stream::closing() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const Cli devices = cli({QStringLiteral("devices"), QStringLiteral("--json")});
    EXPECT_EQ(devices.status, 0) << devices.err.toStdString();
    EXPECT_TRUE(devices.out.contains("\"name\":\"Quenlari-Clipper\"")) << devices.out.toStdString();
    EXPECT_TRUE(devices.out.contains("\"name\":\"Monitor of Quenlari-Loop\""));

    // The system's default devices: the loop.
    const Cli one = cli({QStringLiteral("measure"), QStringLiteral("--freq"), QStringLiteral("997"),
                         QStringLiteral("--json")});
    ASSERT_EQ(one.status, 0) << one.err.toStdString();
    EXPECT_TRUE(one.err.isEmpty()) << "nothing of the libraries on standard error: " << one.err.toStdString();
    const QJsonObject report = QJsonDocument::fromJson(one.out).object();
    EXPECT_EQ(report["file"].toString(), QStringLiteral("Monitor of Quenlari-Loop"));
    EXPECT_EQ(report["stimulus_hz"].toDouble(), 997);
    EXPECT_EQ(report["stimulus_dbfs"].toDouble(), -12);
    EXPECT_NEAR(report["fundamental_dbfs"].toDouble(), -12, 0.01);
    EXPECT_LE(report["thd_n_percent"].toDouble(), 0.001);
    EXPECT_EQ(report["state"].toString(), QStringLiteral("measured"));

    // Live: a line a block, states until two blocks agree, then figures.
    const Cli live = cli({QStringLiteral("measure"), QStringLiteral("--live"), QStringLiteral("--count"),
                          QStringLiteral("5"), QStringLiteral("--seconds"), QStringLiteral("0.5"),
                          QStringLiteral("--json")});
    ASSERT_EQ(live.status, 0) << live.err.toStdString();
    EXPECT_TRUE(live.err.isEmpty()) << live.err.toStdString();
    const QList<QByteArray> blocks = live.out.trimmed().split('\n');
    ASSERT_EQ(blocks.size(), 5);
    for (int k = 0; k < blocks.size(); ++k) {
        const QJsonObject block = QJsonDocument::fromJson(blocks[k]).object();
        EXPECT_EQ(block["block"].toInt(), k + 1);
        if (block["state"].toString() == QLatin1String("measured"))
            EXPECT_LE(block["thd_n_percent"].toDouble(), 0.001);
        else
            EXPECT_TRUE(block["thd_n_percent"].isUndefined()) << blocks[k].toStdString();
    }
    EXPECT_EQ(QJsonDocument::fromJson(blocks.last()).object()["state"].toString(), QStringLiteral("measured"));

    // A name with a control character in it reaches the terminal escaped.
    const Cli missing = cli({QStringLiteral("measure"), QStringLiteral("--input"), QStringLiteral("No\x1bwhere")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err.count("quenlari-cli: "), 1) << missing.err.toStdString();
    EXPECT_TRUE(missing.err.contains("\"No\\x1bwhere\"")) << missing.err.toStdString();
    EXPECT_FALSE(missing.err.contains('\x1b'));

    // Harmonic 2 of 21.6 kHz lies above half of 48 kHz: refused, as wav refuses it.
    const Cli aliased = cli({QStringLiteral("measure"), QStringLiteral("--freq"), QStringLiteral("21600"),
                             QStringLiteral("--levels"), QStringLiteral("1,0,0,0,0,0")});
    EXPECT_EQ(aliased.status, 2);
    EXPECT_TRUE(aliased.err.contains("harmonic 2")) << aliased.err.toStdString();
    EXPECT_TRUE(aliased.out.isEmpty());

    // Played into the loop, listened for at the clipper: nothing comes back.
    const Cli silent = cli({QStringLiteral("measure"), QStringLiteral("--output"), QStringLiteral("Quenlari-Loop"),
                            QStringLiteral("--input"), QStringLiteral("Monitor of Quenlari-Clipper")});
    EXPECT_EQ(silent.status, 2);
    EXPECT_TRUE(silent.err.contains("no signal on the input")) << silent.err.toStdString();
}

// Two devices with one description, as two identical cards: each listed,
// each reached by its own name, each heard on its own monitor only; the
// default is the server's own.
TEST(MeasureEndToEnd, TwoDevicesOfOneDescriptionAreToldApart)
{
    const Cli devices = cli({QStringLiteral("devices"), QStringLiteral("--json")});
    ASSERT_EQ(devices.status, 0) << devices.err.toStdString();
    QMap<QString, QJsonObject> byId;
    for (const QByteArray &line : devices.out.trimmed().split('\n')) {
        const QJsonObject device = QJsonDocument::fromJson(line).object();
        byId.insert(device["id"].toString(), device);
    }
    ASSERT_TRUE(byId.contains(QStringLiteral("twinA")) && byId.contains(QStringLiteral("twinB")))
        << devices.out.toStdString();
    EXPECT_EQ(byId["twinA"]["name"].toString(), QStringLiteral("Quenlari-Twin"));
    EXPECT_EQ(byId["twinB"]["name"].toString(), QStringLiteral("Quenlari-Twin (2)"));
    EXPECT_EQ(byId["twinB"]["monitor"].toString(), QStringLiteral("twinB.monitor"));
    EXPECT_TRUE(byId["quenlari"]["default_output"].toBool());
    EXPECT_TRUE(byId["quenlari.monitor"]["default_input"].toBool());
    EXPECT_FALSE(byId["twinA"]["default_output"].toBool());

    const auto measureOn = [](const QString &output, const QString &input) {
        QStringList arguments{QStringLiteral("measure"), QStringLiteral("--freq"), QStringLiteral("1000"),
                              QStringLiteral("--json")};
        if (!output.isEmpty())
            arguments << QStringLiteral("--output") << output;
        if (!input.isEmpty())
            arguments << QStringLiteral("--input") << input;
        return cli(arguments);
    };
    // By the server's name, and by the listed name, index or description.
    const Cli second = measureOn(QStringLiteral("twinB"), QStringLiteral("twinB.monitor"));
    ASSERT_EQ(second.status, 0) << second.err.toStdString();
    EXPECT_NEAR(QJsonDocument::fromJson(second.out).object()["fundamental_dbfs"].toDouble(), -12, 0.01);
    const Cli crossed = measureOn(QStringLiteral("Quenlari-Twin (2)"),
                                  QString::number(byId["twinA.monitor"]["index"].toInt()));
    EXPECT_EQ(crossed.status, 2);
    EXPECT_TRUE(crossed.err.contains("no signal on the input")) << crossed.err.toStdString();
    const Cli first = measureOn(QStringLiteral("Quenlari-Twin"), QStringLiteral("twinA.monitor"));
    EXPECT_EQ(first.status, 0) << first.err.toStdString();

    // The server's default, whichever of the two it is.
    const auto setDefaults = [](const QString &sink, const QString &source) {
        QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-default-sink"), sink});
        QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), source});
    };
    setDefaults(QStringLiteral("twinB"), QStringLiteral("twinA.monitor"));
    const Cli wrongDefault = measureOn(QString(), QString());
    setDefaults(QStringLiteral("twinB"), QStringLiteral("twinB.monitor"));
    const Cli rightDefault = measureOn(QString(), QString());
    setDefaults(QStringLiteral("quenlari"), QStringLiteral("quenlari.monitor"));
    EXPECT_EQ(wrongDefault.status, 2) << wrongDefault.out.toStdString();
    EXPECT_EQ(rightDefault.status, 0) << rightDefault.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(rightDefault.out).object()["file"].toString(),
              QStringLiteral("Monitor of Quenlari-Twin (2)"));
}

// The sound server stopped (SIGSTOP) and let go again when the test ends.
class Frozen
{
public:
    Frozen() { ::kill(server(), SIGSTOP); }
    ~Frozen() { ::kill(server(), SIGCONT); }

private:
    static pid_t server() { return static_cast<pid_t>(qEnvironmentVariableIntValue("QUENLARI_SOUND_SERVER_PID")); }
};

void waitForClosedStreams()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (audiodevice::Stream::closing() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(MeasureEndToEnd, TheFloatLoopsIntermodulationAndNoiseAreAtTheirFloor)
{
    measure::Session session(loop(), measure::twoToneStimulus(twotone::standard(twotone::Method::Smpte), -6));
    for (twotone::Method method : {twotone::Method::Smpte, twotone::Method::Din, twotone::Method::Ccif}) {
        session.setStimulus(measure::twoToneStimulus(twotone::standard(method), -6));
        const measure::Reading reading = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
        ASSERT_EQ(reading.state, measure::State::Measured) << twotone::nameOf(method) << ": " << reading.why;
        // Float through and back, no noise: what is left at the products is the
        // float's own rounding, whose error follows the signal: -150 dB or so.
        EXPECT_LT(reading.imd.figures.mainPercent(), 1e-5) << twotone::nameOf(method);
        EXPECT_NEAR(dsp::decibels(reading.imd.f2.amplitude), -6 + dsp::decibels(1 / (twotone::standard(method).ratio + 1)),
                    0.01);
    }
    session.setStimulus(measure::silence());
    const measure::Reading quiet = measure::measureSettled(session, 0.1, std::size_t(kRate), nullptr);
    ASSERT_EQ(quiet.state, measure::State::Measured) << quiet.why;
    EXPECT_LT(quiet.noise.noiseDbfs, -140);
    EXPECT_LT(quiet.noise.noiseADbfs, -140);
}

// The LADSPA harmonic generator: the Chebyshev polynomials of its controls,
// y = x + 0.02 T2(x) + 0.01 T3(x), less the DC it takes out.
std::vector<float> shapedOffline(const twotone::TwoTone &tones, double peakDbfs, std::size_t frames)
{
    std::vector<double> x(frames);
    twotone::render(tones, kRate, 0, x.data(), frames);
    std::vector<float> out(frames);
    const double peak = std::pow(10, peakDbfs / 20);
    for (std::size_t i = 0; i < frames; ++i) {
        const double v = peak * x[i];
        out[i] = float(v + 0.02 * (2 * v * v - 1) + 0.01 * (4 * v * v * v - 3 * v));
    }
    return out;
}

TEST(MeasureEndToEnd, TheCommandLinesIntermodulationAgainstLevelOfAPolynomialDeviceFollowsItsOfflineModel)
{
    waitForClosedStreams();
    const Cli run = cli({"measure", "--imd", "smpte", "--sweep", "level", "--from", "-30", "--to", "-3", "--step",
                         "3", "--output", "Quenlari-Shaper", "--input", "Monitor of Quenlari-Shaped", "--json"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 10);
    const twotone::TwoTone smpte = twotone::standard(twotone::Method::Smpte);
    for (const QByteArray &line : lines) {
        const QJsonObject step = QJsonDocument::fromJson(line).object();
        const double level = step["stimulus_dbfs"].toDouble();
        ASSERT_EQ(step["state"].toString(), QStringLiteral("measured")) << line.toStdString();
        analysis::ImdSettings settings;
        settings.tones = smpte;
        const analysis::Intermodulation model =
            analysis::analyseIntermodulation(shapedOffline(smpte, level, std::size_t(kRate)), kRate, settings);
        for (const auto &[key, expected] : {std::pair{"imd_percent", model.figures.imdPercent},
                                            std::pair{"imd_d2_percent", model.figures.imdD2Percent},
                                            std::pair{"imd_d3_percent", model.figures.imdD3Percent}}) {
            // Where the model's figure stands clear of the loop's float rounding.
            if (expected < 1e-3)
                continue;
            EXPECT_NEAR(dsp::decibels(step[key].toDouble() / expected), 0, 0.5) << key << " at " << level << " dBFS";
        }
    }
}


TEST(MeasureEndToEnd, TheCommandLineMeasuresNoiseAndDynamicRange)
{
    waitForClosedStreams();
    const Cli noise = cli({"measure", "--noise", "--json"});
    ASSERT_EQ(noise.status, 0) << noise.err.toStdString();
    const QJsonObject quiet = QJsonDocument::fromJson(noise.out).object();
    EXPECT_EQ(quiet["state"].toString(), QStringLiteral("measured"));
    EXPECT_EQ(quiet["stimulus"].toString(), QStringLiteral("silence"));
    // The float loop hands back digital silence: no level at all.
    EXPECT_TRUE(quiet["noise_dbfs"].isNull()) << noise.out.toStdString();
    waitForClosedStreams();
    const Cli range = cli({"measure", "--dynamic-range", "--json"});
    ASSERT_EQ(range.status, 0) << range.err.toStdString();
    const QJsonObject figures = QJsonDocument::fromJson(range.out).object();
    EXPECT_EQ(figures["stimulus_hz"].toDouble(), 997);
    EXPECT_EQ(figures["stimulus_dbfs"].toDouble(), -60);
    EXPECT_GT(figures["dynamic_range_db"].toDouble(), 140) << range.out.toStdString();
}

TEST(MeasureEndToEnd, TheTwoChannelsOfALoopHearNothingOfEachOther)
{
    waitForClosedStreams();
    for (const char *channel : {"1", "2"}) {
        const Cli run = cli({"measure", "--crosstalk", "--channel", channel, "--sweep", "frequency", "--from", "100",
                             "--to", "10000", "--per-octave", "1", "--output", "Quenlari-Pair", "--input",
                             "Monitor of Quenlari-Pair", "--json"});
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const QList<QByteArray> lines = run.out.trimmed().split('\n');
        EXPECT_EQ(lines.size(), 8); // 100 Hz to 10 kHz an octave apart, and 10 kHz itself
        for (const QByteArray &line : lines) {
            const QJsonObject point = QJsonDocument::fromJson(line).object();
            ASSERT_EQ(point["state"].toString(), QStringLiteral("measured")) << line.toStdString();
            EXPECT_EQ(point["driven_channel"].toInt(), QByteArray(channel).toInt());
            EXPECT_NEAR(point["driven_dbfs"].toDouble(), -12, 0.01);
            // Digital silence on the other channel reads as no crosstalk at all (null).
            if (!point["crosstalk_db"].isNull()) {
                EXPECT_LT(point["crosstalk_db"].toDouble(), -120) << line.toStdString();
            }
        }
        waitForClosedStreams();
    }
    // A single channel has no other to read.
    const Cli mono = cli({"measure", "--crosstalk"});
    EXPECT_EQ(mono.status, 2);
    EXPECT_TRUE(mono.err.contains("no channel 2")) << mono.err.toStdString();
}

// The last two stop the server: nothing may follow them.
TEST(MeasureEndToEnd, AFrozenServerGivesOneLineWithinSixSeconds)
{
    for (const char *command : {"devices", "measure"}) {
        SCOPED_TRACE(command);
        const auto start = std::chrono::steady_clock::now();
        Cli run;
        {
            Frozen frozen;
            run = cli({QString::fromLatin1(command)});
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "quenlari-cli: the sound server does not answer\n");
        EXPECT_LT(seconds, 6);
    }
    // Frozen during a sweep, after its first step.
    QProcess process;
    process.start(QStringLiteral(QUENLARI_CLI), {QStringLiteral("measure"), QStringLiteral("--sweep"),
                                                  QStringLiteral("level"), QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForReadyRead(20000)) << "no step ended";
    const auto start = std::chrono::steady_clock::now();
    {
        Frozen frozen;
        EXPECT_TRUE(process.waitForFinished(6000)) << "the sweep hangs";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_EQ(process.readAllStandardError().count('\n'), 1);
    EXPECT_LT(seconds, 6);
    // The server, let go, serves again.
    const Cli after = cli({QStringLiteral("devices")});
    EXPECT_EQ(after.status, 0) << after.err.toStdString();
}

// Last: it takes the server away.
TEST(MeasureEndToEnd, AServerKilledDuringASweepStopsItWithAMessage)
{
    QProcess process;
    process.start(QStringLiteral(QUENLARI_CLI),
                  {QStringLiteral("measure"), QStringLiteral("--sweep"), QStringLiteral("level"),
                   QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForReadyRead(20000)) << "no step ended";
    ::kill(static_cast<pid_t>(qEnvironmentVariableIntValue("QUENLARI_SOUND_SERVER_PID")), SIGKILL);
    ASSERT_TRUE(process.waitForFinished(15000)) << "the sweep hangs";
    EXPECT_EQ(process.exitCode(), 2);
    const QByteArray err = process.readAllStandardError();
    EXPECT_EQ(err.count("quenlari-cli: "), 1) << err.toStdString();
    const QByteArray out = process.readAllStandardOutput();
    EXPECT_GE(out.count('\n'), 1);
    EXPECT_LT(out.count('\n'), 41);
}

} // namespace

