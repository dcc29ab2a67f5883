// quenlari_bench: the cost of one full plot, against a reference kernel that
// does only the unavoidable work (clear the image, evaluate and plot 8,708 sines).

#include "analysis/analyser.h"
#include "analysis/intermod.h"
#include "analysis/noise.h"
#include "audio/tonewriter.h"
#include "cursor/cursor.h"
#include "measure/chirp.h"
#include "measure/measurement.h"
#include "measure/session.h"
#include "picture/loadpicture.h"
#include "plot/redraw.h"
#include "tests/support.h"
#include "tests/simulateddevice.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

void BM_redraw(benchmark::State &run)
{
    StartUpPlot plot;
    for (auto _ : run) {
        redraw(plot.state, plot.surface, plot.controls);
        benchmark::DoNotOptimize(plot.surface.image().constBits());
    }
}
BENCHMARK(BM_redraw)->Unit(benchmark::kMicrosecond);

void BM_redraw_xor(benchmark::State &run)
{
    StartUpPlot plot;
    plot.surface.setDrawMode(DrawingSurface::XorPen);
    for (auto _ : run) {
        redraw(plot.state, plot.surface, plot.controls);
        benchmark::DoNotOptimize(plot.surface.image().constBits());
    }
}
BENCHMARK(BM_redraw_xor)->Unit(benchmark::kMicrosecond);

// One pointer move over the plot: what the handler computes, draws and
// captions, and the rectangles the view then repaints.
void BM_cursor_move(benchmark::State &run)
{
    StartUpPlot plot;
    redraw(plot.state, plot.surface, plot.controls);
    plot.surface.takeDirty();
    float x = 0;
    long long repainted = 0;
    for (auto _ : run) {
        x = x >= 1200 ? 3 : x + 7;
        const int16_t nx = snapToStep(x, plot.state.cursorStep);
        moveCursorLine(plot.state, plot.surface, nx);
        const QString xText = cursorXText(nx);
        const QString levelText = cursorLevelText(levelAt(plot.state, 123));
        benchmark::DoNotOptimize(xText.constData());
        benchmark::DoNotOptimize(levelText.constData());
        for (const QRect &rect : plot.surface.takeDirty())
            repainted += static_cast<long long>(rect.width()) * rect.height();
    }
    run.counters["repainted_px_per_move"] =
        benchmark::Counter(static_cast<double>(repainted), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_cursor_move)->Unit(benchmark::kMicrosecond);

// The reference uses the surface's own clear, so it starts from the same
// vector-register state as the plot does.
void BM_reference_clear_and_plot_sines(benchmark::State &run)
{
    DrawingSurface surface;
    surface.setBackColor(0);
    auto &image = const_cast<QImage &>(surface.image());
    const double p = 3.1415, f = 200;
    const double amplitude[7] = {222, 2.22, 11.1, 2.22, 4.44, 2.22, 2.22};
    for (auto _ : run) {
        surface.Cls();
        for (int n = 1; n <= 7; ++n) {
            for (int x = 1; x <= 1244; ++x) {
                const int y = static_cast<int>(amplitude[n - 1] * std::sin(2 * p * n * f * x / 49800) + 245.5);
                reinterpret_cast<uint32_t *>(image.scanLine(y))[x] = 0xFFFF0000u;
            }
        }
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_reference_clear_and_plot_sines)->Unit(benchmark::kMicrosecond);

// quenlari-cli's audio: 60 s of the start-up tone at 48 kHz, 24 bits,
// dithered, from synthesis to the bytes on their way to the file.
void BM_wav_write_60s_48k_24bit(benchmark::State &run)
{
    audio::ToneFormat format;
    format.seconds = 60;
    for (auto _ : run) {
        QBuffer sink;
        sink.open(QIODevice::ReadWrite);
        audio::writeTone(sink, QStringLiteral("tone.wav"), audio::Container::Wav, tone::Tone(), format);
        benchmark::DoNotOptimize(sink.data().constData());
    }
}
BENCHMARK(BM_wav_write_60s_48k_24bit)->Unit(benchmark::kMillisecond);

// File > Open Picture with a 10000 x 7000 photograph: only the rows that show are decoded.
void BM_load_picture_10000x7000_jpeg(benchmark::State &run)
{
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("photo.jpg"));
    {
        QImage photo(10000, 7000, QImage::Format_RGB32);
        for (int y = 0; y < photo.height(); ++y) {
            auto *row = reinterpret_cast<QRgb *>(photo.scanLine(y));
            for (int x = 0; x < photo.width(); ++x)
                row[x] = qRgb(x % 256, y % 256, (x + y) % 256);
        }
        photo.save(name, "JPG", 90);
    }
    DrawingSurface surface;
    for (auto _ : run)
        surface.setPicture(LoadPicture(name, surface.image().size()));
}
BENCHMARK(BM_load_picture_10000x7000_jpeg)->Unit(benchmark::kMillisecond);

// The analysis of 60 s of the start-up tone at 48 kHz, already in memory:
// the fundamental, the harmonics' fit and THD+N.
void BM_analyze_60s_48k(benchmark::State &run)
{
    constexpr double kRate = 48000;
    std::vector<double> rendered(static_cast<std::size_t>(60 * kRate));
    tone::Tone tone;
    tone.frequencyHz = 997;
    tone::render(tone, kRate, 0, rendered.data(), rendered.size());
    std::vector<float> samples(rendered.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.5 * rendered[i] + 0.05);
    for (auto _ : run)
        benchmark::DoNotOptimize(analysis::analyse(samples, kRate, {}).thdN);
}
BENCHMARK(BM_analyze_60s_48k)->Unit(benchmark::kMillisecond);

// Whole processes, their CPU time (user and system) as the system counts it:
// a bare Qt command-line program against quenlari-cli analysing a file,
// start-up, dynamic loading and all.
double processSeconds(const char *program, const std::vector<std::string> &arguments)
{
    std::vector<char *> argv{const_cast<char *>(program)};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    if (posix_spawn(&child, program, &actions, nullptr, argv.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    const auto seconds = [](const timeval &time) { return time.tv_sec + time.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void runProcess(benchmark::State &run, const char *program, const std::vector<std::string> &arguments)
{
    for (auto _ : run) {
        const double seconds = processSeconds(program, arguments);
        if (seconds < 0) {
            run.SkipWithError("the program failed");
            return;
        }
        run.SetIterationTime(seconds);
    }
}

void BM_process_bare_qt(benchmark::State &run)
{
    runProcess(run, QUENLARI_BARE_QT, {"--version"});
}
BENCHMARK(BM_process_bare_qt)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_process_cli_analyze(benchmark::State &run)
{
    QTemporaryDir folder;
    const std::string file = folder.filePath(QStringLiteral("tone.wav")).toStdString();
    if (processSeconds(QUENLARI_CLI, {"wav", "--seconds", std::to_string(run.range(0)), "-o", file}) < 0) {
        run.SkipWithError("could not write the recording");
        return;
    }
    runProcess(run, QUENLARI_CLI, {"analyze", file});
}
BENCHMARK(BM_process_cli_analyze)->Arg(1)->Arg(60)->UseManualTime()->Unit(benchmark::kMillisecond);

// One live readout of the Measure window: a second of input read as the
// window reads it (harmonics 2 to 10 near the stimulus, THD+N, the spectrum).
void BM_measure_block_1s(benchmark::State &run)
{
    constexpr double kRate = 48000;
    std::vector<double> rendered(static_cast<std::size_t>(kRate));
    tone::Tone tone;
    tone.frequencyHz = 997;
    tone::render(tone, kRate, 0, rendered.data(), rendered.size());
    std::vector<float> samples(rendered.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.25 * rendered[i]);
    const measure::Stimulus stimulus = measure::sine(997, -12);
    for (auto _ : run)
        benchmark::DoNotOptimize(measure::read(samples, kRate, stimulus, true).result.thdN);
}
// The CPU time of every thread: what the live readout costs the machine.
BENCHMARK(BM_measure_block_1s)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// One second of a two-tone through a mild nonlinearity, analysed as the live
// readout does: the tones found and fitted, every product fitted, the spectrum.
void BM_imd_block_1s(benchmark::State &run)
{
    constexpr double kRate = 48000;
    const twotone::TwoTone tones = twotone::standard(twotone::Method(run.range(0)));
    std::vector<double> rendered(static_cast<std::size_t>(kRate));
    twotone::render(tones, kRate, 0, rendered.data(), rendered.size());
    std::vector<float> samples(rendered.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double x = 0.5 * rendered[i];
        samples[i] = static_cast<float>(x + 0.01 * x * x + 0.01 * x * x * x);
    }
    analysis::ImdSettings settings;
    settings.tones = tones;
    settings.spectrum = true;
    for (auto _ : run)
        benchmark::DoNotOptimize(analysis::analyseIntermodulation(samples, kRate, settings).figures.imdPercent);
}
BENCHMARK(BM_imd_block_1s)->Arg(0)->Arg(2)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// One second of noise: its level plain and A-weighted, and the spectrum.
void BM_noise_block_1s(benchmark::State &run)
{
    constexpr double kRate = 48000;
    std::mt19937_64 random(3);
    std::normal_distribution<float> normal(0, 1e-4f);
    std::vector<float> samples(static_cast<std::size_t>(kRate));
    for (float &sample : samples)
        sample = normal(random);
    analysis::NoiseSettings settings;
    settings.spectrum = true;
    for (auto _ : run)
        benchmark::DoNotOptimize(analysis::analyseNoise(samples, kRate, settings).noiseADbfs);
}
BENCHMARK(BM_noise_block_1s)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// A device that hears what it played; `clicks` of them at the given seconds
// of its own clock spoil the block they fall in, so that step is played again.
class ClickingWire : public SimulatedDevice
{
public:
    explicit ClickingWire(std::vector<double> clicks) : m_clicks(std::move(clicks)) {}
    float answer(float played) noexcept override
    {
        const double t = double(m_count++) / 48000;
        for (const double click : m_clicks)
            if (t >= click && t < click + 1.0 / 48000)
                return played + 0.1f;
        return played;
    }

private:
    std::vector<double> m_clicks;
    uint64_t m_count = 0;
};

// The default frequency sweep (31 steps from 20 Hz to 20 kHz, settling
// included) on a simulated device in real time: clean, and with 3 steps
// spoiled by a click so that each is played again.
void BM_frequency_sweep(benchmark::State &run)
{
    const std::vector<double> clicks =
        run.range(0) ? std::vector<double>{2.4, 6.1, 9.7} : std::vector<double>{};
    std::vector<measure::Stimulus> steps;
    for (double hz : measure::frequencySteps(20, 20000, 3))
        steps.push_back(measure::sine(hz, -12));
    for (auto _ : run) {
        measure::Devices devices;
        devices.standIn = std::make_shared<ClickingWire>(clicks);
        measure::Session session(devices, steps.front());
        int measured = 0;
        measure::sweep(session, steps, {}, nullptr,
                       [&](const measure::Reading &r) { measured += measure::hasFigures(r.state); });
        run.counters["measured"] = measured;
    }
}
BENCHMARK(BM_frequency_sweep)->Arg(0)->Arg(3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A polynomial device's answer to a sweep file or a sweep, 0.1 s early and 0.5 s late.
std::vector<float> polynomialAnswer(const std::vector<float> &played, std::size_t rate)
{
    std::vector<float> answer(played.size() + rate * 6 / 10, 0.0f);
    for (std::size_t i = 0; i < played.size(); ++i) {
        const double x = played[i];
        answer[rate / 10 + i] = float(x + 0.03 * x * x + 0.02 * x * x * x);
    }
    return answer;
}

// What one sweep costs once its recording is in: the default sweep at 48 kHz, read.
void BM_chirp_analysis(benchmark::State &run)
{
    const measure::ChirpPlan plan;
    const measure::Chirp chirp = measure::makeChirp(plan, 48000);
    const std::vector<float> recording = polynomialAnswer(measure::render(chirp), 48000);
    for (auto _ : run)
        benchmark::DoNotOptimize(measure::analyseChirp(chirp, recording, plan).points.size());
}
BENCHMARK(BM_chirp_analysis)->Unit(benchmark::kMillisecond);

// analyze-chirp's work on a 10-second recording at 96 kHz: the markers found, the clock corrected, the sweep read.
void BM_analyze_chirp_10s_96k(benchmark::State &run)
{
    measure::ChirpPlan plan;
    plan.seconds = 7;
    const measure::Chirp chirp = measure::makeChirp(plan, 96000);
    const std::vector<float> recording = polynomialAnswer(measure::renderFile(chirp), 96000);
    run.counters["recording_s"] = double(recording.size()) / 96000;
    for (auto _ : run) {
        const measure::FoundChirp found = measure::findChirp(chirp, recording, 96000);
        benchmark::DoNotOptimize(measure::analyseChirp(found.chirp, found.recording, plan).points.size());
    }
}
BENCHMARK(BM_analyze_chirp_10s_96k)->Unit(benchmark::kMillisecond);

// The whole default one-sweep measurement on a simulated device in real time.
void BM_chirp_measurement(benchmark::State &run)
{
    for (auto _ : run) {
        measure::Devices devices;
        devices.standIn = std::make_shared<ClickingWire>(std::vector<double>{});
        const measure::ChirpResult result = measure::measureChirp(devices, {}, nullptr);
        run.counters["measured"] = measure::hasFigures(result.state);
    }
}
BENCHMARK(BM_chirp_measurement)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // text rendering needs it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
