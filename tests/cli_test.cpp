#include "app/form1.h"
#include "app/updown.h"
#include "audio/soundfile.h"
#include "cli/commands.h"
#include "cli/plotcommand.h"
#include "dsp/soundmath.h"
#include "synthesis/tone.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <sndfile.h>

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome
{
    int status;
    QByteArray out, err;
};

Outcome cli(const QStringList &arguments, const QString &standardInput = QString())
{
    QProcess process;
    if (!standardInput.isEmpty())
        process.setStandardInputFile(standardInput);
    process.start(QStringLiteral(QUENLARI_CLI), arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

TEST(CliFigures, OfTheStartUpLevels)
{
    const tone::Figures figures = tone::analyse(tone::Tone());
    EXPECT_NEAR(figures.thdF * 100, 5.744563, 5e-7);
    EXPECT_NEAR(dsp::decibels(figures.thdF), -24.81, 0.005);
    EXPECT_NEAR(figures.thdR * 100, 5.735, 5e-4);
    EXPECT_NEAR(figures.even * 100, 1.732, 5e-4);
    EXPECT_NEAR(figures.odd * 100, 5.477, 5e-4);
    EXPECT_NEAR(figures.rmsRatio, std::sqrt(1.0033), 1e-9);

    tone::Tone pure;
    pure.levels = {0, 0, 0, 0, 0, 0};
    EXPECT_NEAR(tone::analyse(pure).peak, 1, 1e-12);
    EXPECT_NEAR(tone::analyse(pure).crestFactor, std::sqrt(2.0), 1e-12);
    // The peak depends on the phases, the THD does not: a third harmonic of 20 %
    // in phase flattens the top (peak 0.9357...), in opposition sharpens it to 1.2.
    tone::Tone flat = pure, sharp = pure;
    flat.levels[1] = sharp.levels[1] = 20;
    sharp.phases[1] = 180;
    EXPECT_NEAR(tone::analyse(sharp).peak, 1.2, 1e-9);
    EXPECT_NEAR(tone::analyse(flat).peak, 0.935749, 1e-6);
    EXPECT_EQ(tone::analyse(flat).thdF, tone::analyse(sharp).thdF);
}

TEST(CliThd, PrintsTextAndJson)
{
    const Outcome text = cli({QStringLiteral("thd")});
    EXPECT_EQ(text.status, 0);
    EXPECT_TRUE(text.out.contains("5.744563 %  -24.81 dB")) << text.out.toStdString();
    const Outcome json = cli({QStringLiteral("thd"), QStringLiteral("--json"), QStringLiteral("--levels"),
                              QStringLiteral("0,0,0,0,0,0")});
    EXPECT_EQ(json.status, 0);
    EXPECT_TRUE(json.out.contains("\"thd_f_db\":null")) << json.out.toStdString();
    EXPECT_TRUE(json.out.contains("\"thd_f_percent\":0")) << json.out.toStdString();
    EXPECT_TRUE(json.err.isEmpty()) << json.err.toStdString();
}

TEST(CliPlot, IsTheMainWindowsPlotPixelForPixel)
{
    tone::Tone tone;
    tone.frequencyHz = 350;
    tone.levels = {3, 0, 7, 20, 1, 0};
    tone.phases = {90, 45, 0, 360, 5, 180};

    Form1 form;
    form.findChild<UpDown *>("UpDown1")->setValue(350);
    for (int n = 2; n <= 7; ++n) {
        form.findChild<UpDown *>(QStringLiteral("UpDown%1").arg(n))->setValue(int(tone.levels[n - 2]));
        form.findChild<UpDown *>(QStringLiteral("UpDown%1a").arg(n))->setValue(int(tone.phases[n - 2]));
    }
    form.findChild<QPushButton *>("Command1")->click();
    EXPECT_EQ(cli::plotImage(tone), form.surface().image());

    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("plot.png"));
    const Outcome run =
        cli({QStringLiteral("plot"), QStringLiteral("--freq"), QStringLiteral("350"),
             QStringLiteral("--levels"), QStringLiteral("3,0,7,20,1,0"), QStringLiteral("--phases"),
             QStringLiteral("90,45,0,360,5,180"), QStringLiteral("-o"), file});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(QImage(file).convertToFormat(QImage::Format_RGB32), form.surface().image());
}

uint32_t le(const QByteArray &bytes, int at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

std::vector<double> samples24(const QByteArray &wav)
{
    std::vector<double> samples;
    for (qsizetype at = 44; at + 3 <= wav.size(); at += 3) {
        int32_t value = static_cast<int32_t>(le(wav, int(at), 3) << 8) >> 8;
        samples.push_back(value / 8388607.0);
    }
    return samples;
}

TEST(CliWav, WritesTheHeaderLengthAndPeakAsked)
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("tone.wav"));
    ASSERT_EQ(cli({QStringLiteral("wav"), QStringLiteral("-o"), file}).status, 0);
    QFile read(file);
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    const QByteArray wav = read.readAll();
    ASSERT_EQ(wav.size(), 44 + 5 * 48000 * 3);
    EXPECT_EQ(wav.left(4), "RIFF");
    EXPECT_EQ(le(wav, 4, 4), uint32_t(wav.size() - 8));
    EXPECT_EQ(wav.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(le(wav, 16, 4), 16u);
    EXPECT_EQ(le(wav, 20, 2), 1u); // PCM
    EXPECT_EQ(le(wav, 22, 2), 1u); // mono
    EXPECT_EQ(le(wav, 24, 4), 48000u);
    EXPECT_EQ(le(wav, 28, 4), 144000u);
    EXPECT_EQ(le(wav, 32, 2), 3u);
    EXPECT_EQ(le(wav, 34, 2), 24u);
    EXPECT_EQ(wav.mid(36, 4), "data");
    EXPECT_EQ(le(wav, 40, 4), uint32_t(5 * 48000 * 3));
    double peak = 0;
    for (double sample : samples24(wav))
        peak = std::max(peak, std::fabs(sample));
    EXPECT_NEAR(20 * std::log10(peak), -1.0, 0.001);

    const QString floats = folder.filePath(QStringLiteral("float.wav"));
    ASSERT_EQ(cli({QStringLiteral("wav"), QStringLiteral("--bits"), QStringLiteral("32"),
                   QStringLiteral("--seconds"), QStringLiteral("0.5"), QStringLiteral("--rate"),
                   QStringLiteral("44100"), QStringLiteral("-o"), floats})
                  .status,
              0);
    const audio::Recording floatTone = audio::readChannel(floats, 1);
    EXPECT_EQ(floatTone.sampleRate, 44100);
    EXPECT_EQ(floatTone.samples.size(), 22050u);
    {
        QFile floatFile(floats);
        ASSERT_TRUE(floatFile.open(QIODevice::ReadOnly));
        const QByteArray f = floatFile.read(64);
        EXPECT_EQ(le(f, 20, 2), 3u); // IEEE float
        EXPECT_EQ(le(f, 34, 2), 32u);
    }

    // FLAC holds the same samples as the WAV, dither and all.
    const QString flac = folder.filePath(QStringLiteral("tone.flac"));
    ASSERT_EQ(cli({QStringLiteral("wav"), QStringLiteral("-o"), flac}).status, 0);
    EXPECT_TRUE(QFile(flac).size() < wav.size() / 2); // compressed
    EXPECT_EQ(audio::readChannel(flac, 1).samples, audio::readChannel(file, 1).samples);
}

// A radix-2 FFT, in place.
void fft(std::vector<std::complex<double>> &data)
{
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::complex<double> turn = std::polar(1.0, -2 * M_PI / double(length));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> w = 1;
            for (std::size_t k = 0; k < length / 2; ++k, w *= turn) {
                const std::complex<double> a = data[start + k], b = data[start + k + length / 2] * w;
                data[start + k] = a + b;
                data[start + k + length / 2] = a - b;
            }
        }
    }
}

TEST(CliWav, HasTheThdAskedForWhenMeasuredByAnFft)
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("tone.wav"));
    ASSERT_EQ(cli({QStringLiteral("wav"), QStringLiteral("--freq"), QStringLiteral("1000"),
                   QStringLiteral("-o"), file})
                  .status,
              0);
    QFile read(file);
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    const std::vector<double> samples = samples24(read.readAll());
    ASSERT_EQ(samples.size(), 240000u);

    // A Hann window over 2^17 samples; each harmonic's power summed over its main lobe.
    constexpr std::size_t kSize = 1 << 17;
    std::vector<std::complex<double>> spectrum(kSize);
    for (std::size_t i = 0; i < kSize; ++i)
        spectrum[i] = samples[i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / kSize));
    fft(spectrum);
    auto power = [&](int n) {
        const double bin = 1000.0 * n * kSize / 48000;
        double sum = 0;
        for (long k = std::lround(bin) - 4; k <= std::lround(bin) + 4; ++k)
            sum += std::norm(spectrum[static_cast<std::size_t>(k)]);
        return sum;
    };
    double harmonics = 0;
    for (int n = 2; n <= 7; ++n)
        harmonics += power(n);
    const double measured = std::sqrt(harmonics / power(1)) * 100;
    EXPECT_NEAR(measured, 5.744563, 0.01);
}

TEST(CliCsv, WritesAHeaderAndTheColumnsOfThePlot)
{
    const Outcome run = cli({QStringLiteral("csv"), QStringLiteral("-o"), QStringLiteral("-")});
    EXPECT_EQ(run.status, 0);
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 1245);
    EXPECT_EQ(lines[0], "column,time_s,fundamental,harmonic_2,harmonic_3,harmonic_4,harmonic_5,harmonic_6,"
                        "harmonic_7,sum");
    const QList<QByteArray> last = lines[1244].split(',');
    EXPECT_EQ(last[0], "1244");
    EXPECT_NEAR(last[1].toDouble(), 1244 / 49800.0, 1e-14);
    const auto expected = tone::componentsAt(tone::Tone(), 1244 / 49800.0);
    EXPECT_NEAR(last[9].toDouble(), expected[7], 1e-7);

    const Outcome samples = cli({QStringLiteral("csv"), QStringLiteral("--seconds"), QStringLiteral("0.01"),
                                 QStringLiteral("-o"), QStringLiteral("-")});
    EXPECT_EQ(samples.out.trimmed().split('\n').size(), 1 + 480);
}

TEST(CliErrors, EveryBadInputSaysWhatInOneLineExitsTwoAndWritesNothing)
{
    QTemporaryDir folder;
    const QString kept = folder.filePath(QStringLiteral("kept.wav"));
    {
        QFile file(kept);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier contents");
    }
    const QString fresh = folder.filePath(QStringLiteral("fresh.wav"));
    const std::vector<std::pair<QStringList, const char *>> cases = {
        {{"plot", "--freq", "55"}, "--freq"},
        {{"plot", "--freq", "1010"}, "--freq"},
        {{"plot", "--levels", "1,2,3,4,5,21"}, "--levels"},
        {{"plot", "--levels", "1,2,3,4,5,2.5"}, "--levels"},
        {{"plot", "--phases", "0,0,0,0,0,7"}, "--phases"},
        {{"wav", "--freq", "4000"}, "--freq"},
        {{"wav", "--freq", "0"}, "--freq"},
        {{"wav", "--bits", "20"}, "--bits"},
        {{"wav", "--peak-dbfs", "3"}, "--peak-dbfs"},
        {{"wav", "--seconds", "0"}, "--seconds"},
        {{"wav", "--seconds", "1e-9"}, "--seconds"}, // less than a sample: an empty file
        {{"csv", "--seconds", "1e-9"}, "--seconds"},
        {{"wav", "--seconds", "80000", "--rate", "384000", "--bits", "32"}, "--seconds"},
        {{"wav", "--rate", "1000"}, "--rate"},
        {{"wav", "--levels", "1,2,3,4,5,101"}, "--levels"},
        {{"csv", "--seconds", "-1"}, "--seconds"},
        {{"thd", "--levels", "a,b,c,d,e,f"}, "--levels"},
        {{"thd", "--levels", "1,2,3"}, "--levels"},
        {{"thd", "--freq", "fast"}, "--freq"},
        {{"thd", "--bits", "16"}, "--bits"},
        {{"wav", "--json"}, "--json"},
        {{"noise"}, "noise"},
        {{"thd", "--volume", "11"}, "volume"},
    };
    for (const auto &[arguments, named] : cases) {
        for (const QString &output : {kept, fresh}) {
            QStringList withOutput = arguments;
            if (arguments.first() != QLatin1String("thd"))
                withOutput << QStringLiteral("-o") << output;
            const Outcome run = cli(withOutput);
            SCOPED_TRACE(withOutput.join(' ').toStdString());
            EXPECT_EQ(run.status, 2);
            EXPECT_TRUE(run.out.isEmpty());
            EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(named)) << run.err.toStdString();
        }
    }
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "earlier contents");
    EXPECT_FALSE(QFile::exists(fresh));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("kept.wav")});

    for (const auto &[arguments, named] : std::vector<std::pair<QStringList, const char *>>{
             {{"wav", "-o", folder.filePath("tone.mp3")}, "--output"},
             {{"wav", "--bits", "32", "-o", folder.filePath("tone.flac")}, "--bits"},
         }) {
        const Outcome run = cli(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.err.contains(named)) << run.err.toStdString();
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("kept.wav")});

    const Outcome missingOutput = cli({QStringLiteral("wav")});
    EXPECT_EQ(missingOutput.status, 2);
    EXPECT_TRUE(missingOutput.err.contains("-o FILE"));
    const Outcome unwritable =
        cli({QStringLiteral("csv"), QStringLiteral("-o"), folder.filePath("no/such/folder.csv")});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err.count('\n'), 1);
}

TEST(CliErrors, EmptyValuesAndEndlessInputAreRefusedInOneLine)
{
    // Measuring options are checked before any sound system is asked.
    for (const QStringList &arguments :
         {QStringList{"measure", "--sweep", ""}, QStringList{"measure", "--output", ""},
          QStringList{"measure", "--input", " "}, QStringList{"measure", "--settle-tolerance", "0.5,0.05,1"},
          QStringList{"measure", "--settle-tolerance", "0"}, QStringList{"analyze", "--band", "", "x.wav"},
          QStringList{"wav", "-o", ""}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Outcome run = cli(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        EXPECT_TRUE(run.err.startsWith("quenlari-cli: --")) << run.err.toStdString();
    }
    // A stream that never ends and is no sound file: refused once its head is read.
    const Outcome zeros = cli({QStringLiteral("analyze"), QStringLiteral("-")}, QStringLiteral("/dev/zero"));
    EXPECT_EQ(zeros.status, 2);
    EXPECT_EQ(zeros.err.count('\n'), 1) << zeros.err.toStdString();
    EXPECT_TRUE(zeros.err.contains("standard input")) << zeros.err.toStdString();
}

TEST(CliWav, TakesAnyPhaseModulo360)
{
    // 1e308 degrees is 1e308 mod 360 degrees, computed here in long double.
    const double huge = 1e308;
    const double wrapped = double(std::fmod((long double)huge, 360.0L));
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("tone.wav"));
    const Outcome written =
        cli({QStringLiteral("wav"), QStringLiteral("--freq"), QStringLiteral("997"), QStringLiteral("--levels"),
             QStringLiteral("1,0,0,0,0,0"), QStringLiteral("--phases"), QStringLiteral("1e308,-30,0,0,0,0"),
             QStringLiteral("-o"), file});
    ASSERT_EQ(written.status, 0) << written.err.toStdString();
    const Outcome analysed = cli({QStringLiteral("analyze"), QStringLiteral("--json"), file});
    ASSERT_EQ(analysed.status, 0) << analysed.err.toStdString();
    const QJsonArray harmonics = QJsonDocument::fromJson(analysed.out).object()["harmonics"].toArray();
    EXPECT_NEAR(harmonics[0].toObject()["phase_degrees"].toDouble(), wrapped, 0.05);
    EXPECT_NEAR(harmonics[0].toObject()["level_percent"].toDouble(), 1, 0.001);
}

TEST(CliHelp, HelpAndVersion)
{
    const Outcome help = cli({QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0);
    for (const char *word : {"thd", "plot", "wav", "csv", "--levels", "--peak-dbfs"})
        EXPECT_TRUE(help.out.contains(word)) << word;
    const Outcome version = cli({QStringLiteral("--version")});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.trimmed(), "quenlari-cli 1.1.63");
}

// A sound file written here through libsndfile: `frames` frames of
// `channels` channels, sample (frame, channel) given by `value`.
void writeSound(const QString &name, int format, int channels, int frames,
                const std::function<double(int frame, int channel)> &value)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(QFile::encodeName(name).constData(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<double> interleaved(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[static_cast<std::size_t>(i) * channels + c] = value(i, c);
    sf_writef_double(file, interleaved.data(), frames);
    sf_close(file);
}

QJsonObject analyzed(const QStringList &arguments)
{
    const Outcome run = cli(QStringList{QStringLiteral("analyze"), QStringLiteral("--json")} + arguments);
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    return QJsonDocument::fromJson(run.out).object();
}

TEST(CliAnalyze, GivesBackTheSettingsOfAToneItWroteInWavFloatAndFlac)
{
    QTemporaryDir folder;
    const QStringList tone = {QStringLiteral("--freq"),   QStringLiteral("997.3"),
                              QStringLiteral("--levels"), QStringLiteral("0.5,3,0.05,12,0,1.5"),
                              QStringLiteral("--phases"), QStringLiteral("10,200,30,45,0,355.5")};
    const double levels[] = {0.5, 3, 0.05, 12, 0, 1.5}, phases[] = {10, 200, 30, 45, 0, 355.5};
    QJsonObject wav;
    for (const char *bits : {"24", "32"}) {
        const QString file = folder.filePath(QStringLiteral("tone%1.wav").arg(bits));
        ASSERT_EQ(
            cli(QStringList{QStringLiteral("wav"), QStringLiteral("--bits"), QLatin1String(bits),
                            QStringLiteral("--seconds"), QStringLiteral("2.3"), QStringLiteral("-o"), file} +
                tone)
                .status,
            0);
        const QJsonObject report = analyzed({file});
        SCOPED_TRACE(bits);
        EXPECT_EQ(report.keys(), (QStringList{"beyond_full_scale_samples",
                                              "channel",
                                              "channels",
                                              "clipped_samples",
                                              "dc_offset",
                                              "explained_percent",
                                              "file",
                                              "frames",
                                              "fundamental_dbfs",
                                              "fundamental_hz",
                                              "harmonics",
                                              "note",
                                              "peak_dbfs",
                                              "sample_rate",
                                              "sinad_db",
                                              "thd_f_db",
                                              "thd_f_percent",
                                              "thd_n_db",
                                              "thd_n_percent",
                                              "thd_r_percent",
                                              "tone_over_noise_db"}));
        EXPECT_EQ(report["frames"].toInt(), 110400);
        EXPECT_EQ(report["sample_rate"].toInt(), 48000);
        EXPECT_NEAR(report["fundamental_hz"].toDouble(), 997.3, 1e-3);
        EXPECT_NEAR(report["dc_offset"].toDouble(), 0, 2e-4);
        EXPECT_NEAR(report["peak_dbfs"].toDouble(), -1, 0.01);
        const QJsonArray harmonics = report["harmonics"].toArray();
        ASSERT_EQ(harmonics.size(), 6);
        for (int k = 0; k < 6; ++k) {
            const QJsonObject h = harmonics[k].toObject();
            EXPECT_EQ(h["n"].toInt(), k + 2);
            EXPECT_NEAR(h["level_percent"].toDouble(), levels[k], 0.002) << k + 2;
            if (levels[k] >= 0.05) {
                const double d = std::fmod(std::fabs(h["phase_degrees"].toDouble() - phases[k]), 360.0);
                EXPECT_LT(std::min(d, 360 - d), 0.1) << k + 2;
            }
        }
        const double thd = std::sqrt(0.25 + 9 + 0.0025 + 144 + 2.25);
        EXPECT_NEAR(report["thd_f_percent"].toDouble(), thd, 0.004);
        EXPECT_NEAR(report["thd_f_db"].toDouble(), 20 * std::log10(thd / 100), 0.001);
        if (QLatin1String(bits) == QLatin1String("24"))
            wav = report;
    }
    const QString flac = folder.filePath(QStringLiteral("tone.flac"));
    ASSERT_EQ(cli(QStringList{QStringLiteral("wav"), QStringLiteral("--seconds"), QStringLiteral("2.3"),
                              QStringLiteral("-o"), flac} +
                  tone)
                  .status,
              0);
    QJsonObject fromFlac = analyzed({flac});
    fromFlac.remove(QStringLiteral("file"));
    wav.remove(QStringLiteral("file"));
    EXPECT_EQ(fromFlac, wav); // the same samples, the same figures
}

TEST(CliAnalyze, ReadsTheChannelAskedForAndReportsSeveralFilesInOrder)
{
    QTemporaryDir folder;
    const QString stereo = folder.filePath(QStringLiteral("stereo.wav"));
    writeSound(stereo, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, [](int i, int channel) {
        const double frequency = channel == 0 ? 440 : 1234.5;
        const double angle = 2 * M_PI * frequency * i / 48000;
        return 0.4 * (std::sin(angle) + (channel == 0 ? 0.1 : 0.02) * std::sin(3 * angle));
    });
    const QJsonObject second = analyzed({QStringLiteral("--channel"), QStringLiteral("2"), stereo});
    EXPECT_EQ(second["channels"].toInt(), 2);
    EXPECT_EQ(second["channel"].toInt(), 2);
    EXPECT_NEAR(second["fundamental_hz"].toDouble(), 1234.5, 1e-3);
    EXPECT_NEAR(second["harmonics"].toArray()[1].toObject()["level_percent"].toDouble(), 2, 0.002);
    EXPECT_NEAR(analyzed({stereo})["fundamental_hz"].toDouble(), 440, 1e-3);

    // Several files: one line each, in the order given, the bad one said on its own line.
    const QString aiff = folder.filePath(QStringLiteral("tone.aiff"));
    writeSound(aiff, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 24000,
               [](int i, int) { return 0.5 * std::sin(2 * M_PI * 100 * i / 48000); });
    const QString missing = folder.filePath(QStringLiteral("missing.wav"));
    const Outcome run =
        cli({QStringLiteral("analyze"), QStringLiteral("--json"), stereo, missing, aiff, stereo});
    EXPECT_EQ(run.status, 2);
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(QJsonDocument::fromJson(lines[0]).object()["file"].toString(), stereo);
    EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["file"].toString(), aiff);
    EXPECT_NEAR(QJsonDocument::fromJson(lines[1]).object()["fundamental_hz"].toDouble(), 100, 1e-3);
    EXPECT_EQ(run.err.count('\n'), 1);
    EXPECT_TRUE(run.err.contains("missing.wav")) << run.err.toStdString();

    // The readable table.
    const Outcome table = cli({QStringLiteral("analyze"), stereo});
    EXPECT_TRUE(table.out.contains("fundamental     440.000000 Hz")) << table.out.toStdString();
    EXPECT_TRUE(table.out.contains("THD+N")) << table.out.toStdString();
}

TEST(CliAnalyze, EveryBadRecordingIsNamedWithItsReasonAndExitsTwo)
{
    QTemporaryDir folder;
    auto path = [&](const char *name) { return folder.filePath(QLatin1String(name)); };
    {
        QFile notes(path("notes.wav"));
        ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
        notes.write("Shopping: milk, bread, resistors.\n");
        QFile empty(path("empty.wav"));
        ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    }
    writeSound(path("silent.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, [](int, int) { return 0.0; });
    writeSound(path("infinite.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000,
               [](int i, int) { return i == 1000 ? HUGE_VAL : 0.5 * std::sin(2 * M_PI * 300 * i / 48000); });
    writeSound(path("noheader.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 0, [](int, int) { return 0.0; });
    std::mt19937 random(1);
    std::normal_distribution<double> gauss(0, 0.1);
    writeSound(path("noise.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 48000,
               [&](int, int) { return gauss(random); });
    writeSound(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000,
               [](int i, int) { return 0.5 * std::sin(2 * M_PI * 300 * i / 48000); });
    auto copyCut = [&](const char *from, const char *to, qint64 bytes) {
        QFile in(path(from));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        QFile out(path(to));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(in.read(bytes));
    };
    copyCut("tone.wav", "truncated.wav", 44 + 3 * 20000);
    writeSound(path("tone.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, 480000,
               [](int i, int) { return 0.5 * std::sin(2 * M_PI * 300 * i / 48000); });
    copyCut("tone.flac", "truncated.flac", QFile(path("tone.flac")).size() / 3);
    {
        // An 8-bit header whose data chunk claims 4294967280 samples.
        QFile in(path("tone.wav"));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        QByteArray header = in.read(44);
        header[34] = 8;
        header[32] = 1;
        header.replace(40, 4, QByteArray("\xF0\xFF\xFF\xFF", 4));
        QFile out(path("huge.wav"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(header + QByteArray(1000, '\x80'));
    }
    const std::vector<std::pair<QStringList, const char *>> cases = {
        {{path("notes.wav")}, "Format not recognised"},
        {{path("empty.wav")}, "empty"},
        {{path("noheader.wav")}, "holds no sound"},
        {{path("silent.wav")}, "silent"},
        {{path("infinite.wav")}, "frame 1000 holds an infinite sample"},
        {{path("noise.flac")}, "no tone"},
        {{QStringLiteral("--channel"), QStringLiteral("3"), path("tone.wav")}, "no channel 3"},
        {{path("huge.wav")}, "silent"}, // read to its real end: what it claims allocates nothing
        {{folder.path()}, "not a file"},
    };
    for (const auto &[arguments, reason] : cases) {
        for (bool json : {false, true}) {
            const QStringList withFlags = QStringList{QStringLiteral("analyze")} +
                                          (json ? QStringList{QStringLiteral("--json")} : QStringList()) +
                                          arguments;
            const Outcome run = cli(withFlags);
            SCOPED_TRACE(withFlags.join(' ').toStdString());
            EXPECT_EQ(run.status, 2);
            EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
            EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(QFileInfo(arguments.last()).fileName().toUtf8()))
                << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(reason)) << run.err.toStdString();
        }
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 11); // nothing written

    // A file shorter than its header promises is analysed, with a note.
    for (const char *name : {"truncated.wav", "truncated.flac"}) {
        const Outcome run = cli({QStringLiteral("analyze"), path(name)});
        SCOPED_TRACE(name);
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.contains("its header promises")) << run.out.toStdString();
        EXPECT_TRUE(run.out.contains("fundamental     300.000")) << run.out.toStdString();
    }
    EXPECT_TRUE(cli({QStringLiteral("analyze"), path("truncated.wav")})
                    .out.contains("20000 frames, fewer than the 48000"));
}

TEST(CliAnalyze, ClipsOnlyWhereTheFormatsExtremeCodesRepeat)
{
    QTemporaryDir folder;
    const auto path = [&](const char *name) { return folder.filePath(QLatin1String(name)); };
    const auto sine = [](double amplitude, double lowest, double highest) {
        return [=](int i, int) {
            return std::clamp(amplitude * std::sin(2 * M_PI * 1000 * i / 48000), lowest, highest);
        };
    };
    // A full-scale 16-bit sine touches code 32767 once a period: not clipped.
    writeSound(path("full16.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, sine(1, -1, 1));
    // 8 bits at twice full scale: each rail holds a third of every period, some 16000 samples a second.
    writeSound(path("both8.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 48000, sine(2, -128.0 / 127, 1));
    writeSound(path("top8.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 48000, sine(2, -0.9, 1));
    writeSound(path("mulaw.wav"), SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 48000, sine(2, -1, 1));
    // Floating point at 1.5: beyond full scale wherever |sin| > 2/3, and never clipped.
    writeSound(path("float.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000, sine(1.5, -2, 2));

    const auto clipped = [&](const char *name) { return analyzed({path(name)})["clipped_samples"].toInt(); };
    EXPECT_EQ(clipped("full16.wav"), 0);
    EXPECT_NEAR(clipped("top8.wav"), 16000, 1000);
    EXPECT_NEAR(clipped("both8.wav"), 32000, 2000);
    EXPECT_NEAR(clipped("mulaw.wav"), 32000, 2000);
    const QJsonObject floating = analyzed({path("float.wav")});
    EXPECT_EQ(floating["clipped_samples"].toInt(), 0);
    int beyond = 0; // in one period of 48 samples: 41.8 to 138.2 degrees and its mirror, 13 samples each
    for (int k = 0; k < 48; ++k)
        beyond += std::fabs(std::sin(2 * M_PI * k / 48)) > 2.0 / 3;
    EXPECT_EQ(beyond, 26);
    EXPECT_EQ(floating["beyond_full_scale_samples"].toInt(), 1000 * beyond);
    const Outcome text = cli({QStringLiteral("analyze"), path("float.wav")});
    EXPECT_TRUE(text.out.contains("beyond full scale")) << text.out.toStdString();
    EXPECT_FALSE(text.out.contains("warning: the recording clips")) << text.out.toStdString();
}

TEST(CliAnalyze, ReadsStreamedWavsToTheirEndAndStandardInput)
{
    QTemporaryDir folder;
    const QString tone = folder.filePath(QStringLiteral("tone.wav"));
    writeSound(tone, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000,
               [](int i, int) { return 0.5 * std::sin(2 * M_PI * 440 * i / 48000); });
    QFile in(tone);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray whole = in.readAll();
    ASSERT_EQ(whole.mid(36, 4), QByteArray("data")); // a 44-byte header
    // What a program writing to a pipe leaves in the sizes it cannot know.
    for (const QByteArray &size :
         {QByteArray("\xFF\xFF\xFF\xFF", 4), QByteArray("\x00\xF0\xFF\x7F", 4), QByteArray(4, '\0')}) {
        QByteArray streamed = whole;
        streamed.replace(4, 4, size);
        streamed.replace(40, 4, size);
        const QString name = folder.filePath(QStringLiteral("streamed.wav"));
        QFile out(name);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(streamed);
        out.close();
        SCOPED_TRACE(size.toHex().toStdString());
        const QJsonObject report = analyzed({name});
        EXPECT_EQ(report["frames"].toInt(), 48000);
        EXPECT_NEAR(report["fundamental_hz"].toDouble(), 440, 1e-3);
    }
    const Outcome piped =
        cli({QStringLiteral("analyze"), QStringLiteral("--json"), QStringLiteral("-")}, tone);
    EXPECT_EQ(piped.status, 0) << piped.err.toStdString();
    const QJsonObject report = QJsonDocument::fromJson(piped.out).object();
    EXPECT_EQ(report["file"].toString(), "-");
    EXPECT_EQ(report["frames"].toInt(), 48000);
    EXPECT_NEAR(report["fundamental_hz"].toDouble(), 440, 1e-3);
}

TEST(CliAnalyze, PrintsWhatIsUndefinedAsSuchAndPhasesBelow360)
{
    QTemporaryDir folder;
    // 20 kHz at 48 kHz: no harmonic lies below half the rate, so THD has nothing to measure.
    const QString high = folder.filePath(QStringLiteral("high.wav"));
    writeSound(high, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000,
               [](int i, int) { return 0.5 * std::sin(2 * M_PI * 20000 * i / 48000); });
    const QJsonObject json = analyzed({high});
    EXPECT_TRUE(json["thd_f_percent"].isNull());
    EXPECT_TRUE(json["thd_f_db"].isNull());
    EXPECT_TRUE(json["thd_r_percent"].isNull());
    const Outcome text = cli({QStringLiteral("analyze"), high});
    EXPECT_TRUE(text.out.contains("THD_F           n/a %  (n/a dB)")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("THD_R           n/a %")) << text.out.toStdString();

    // A band that holds no bin holds nothing: THD+N 0, SINAD infinite.
    const Outcome empty =
        cli({QStringLiteral("analyze"), QStringLiteral("--band"), QStringLiteral("1000.2,1000.8"), high});
    EXPECT_TRUE(empty.out.contains("SINAD           inf dB")) << empty.out.toStdString();
    EXPECT_TRUE(QJsonDocument::fromJson(cli({QStringLiteral("analyze"), QStringLiteral("--json"),
                                             QStringLiteral("--band"), QStringLiteral("1000.2,1000.8"), high})
                                            .out)
                    .object()["sinad_db"]
                    .isNull());

    // 8 kHz: harmonic 3 lies at exactly half the rate, absent however the fit's last bits fall.
    for (double phase : {0.0, 1.0, 2.0}) {
        const QString name = folder.filePath(QStringLiteral("nyquist.wav"));
        writeSound(name, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000 + int(phase) * 777, [phase](int i, int) {
            const double angle = 2 * M_PI * 8000 * i / 48000 + phase;
            return 0.4 * (std::sin(angle) + 0.01 * std::sin(2 * angle));
        });
        const QJsonArray harmonics = analyzed({name})["harmonics"].toArray();
        SCOPED_TRACE(phase);
        EXPECT_FALSE(harmonics[0].toObject()["level_percent"].isNull());
        EXPECT_TRUE(harmonics[1].toObject()["level_percent"].isNull());
    }

    // Harmonics just short of a whole turn print below 360 after rounding.
    const QString turn = folder.filePath(QStringLiteral("turn.wav"));
    ASSERT_EQ(
        cli({QStringLiteral("wav"), QStringLiteral("--seconds"), QStringLiteral("1"),
             QStringLiteral("--levels"), QStringLiteral("5,5,5,5,5,5"), QStringLiteral("--phases"),
             QStringLiteral("359.999,359.996,359.9951,0.001,359.99,359.9999"), QStringLiteral("-o"), turn})
            .status,
        0);
    const Outcome turned = cli({QStringLiteral("analyze"), turn});
    EXPECT_FALSE(turned.out.contains("360.00")) << turned.out.toStdString();
    for (const QJsonValue &h : analyzed({turn})["harmonics"].toArray()) {
        const double phase = h.toObject()["phase_degrees"].toDouble();
        EXPECT_GE(phase, 0);
        EXPECT_LT(phase, 360);
    }
}

} // namespace

namespace {

TEST(CliChirp, ASweepFileIsFoundInItsRecordingAndReadAsAFlatResponse)
{
    QTemporaryDir folder;
    const QString sweep = folder.filePath(QStringLiteral("sweep.wav"));
    const Outcome written = cli({QStringLiteral("chirp"), QStringLiteral("-o"), sweep, QStringLiteral("--seconds"),
                                 QStringLiteral("2"), QStringLiteral("--level"), QStringLiteral("-6")});
    ASSERT_EQ(written.status, 0) << written.err.toStdString();
    const Outcome read = cli({QStringLiteral("analyze-chirp"), sweep, QStringLiteral("--seconds"), QStringLiteral("2"),
                              QStringLiteral("--level"), QStringLiteral("-6"), QStringLiteral("--per-octave"),
                              QStringLiteral("3"), QStringLiteral("--json")});
    ASSERT_EQ(read.status, 0) << read.err.toStdString();
    QList<QByteArray> lines = read.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 31); // 20 Hz to 20 kHz a third of an octave apart, then the sweep's own line
    const QJsonObject last = QJsonDocument::fromJson(lines.takeLast()).object();
    EXPECT_NEAR(last.value(QStringLiteral("clock_ppm")).toDouble(), 0, 0.1);
    EXPECT_NEAR(last.value(QStringLiteral("start_seconds")).toDouble(), 1, 1e-6);
    EXPECT_EQ(last.value(QStringLiteral("state")).toString(), QStringLiteral("measured"));
    for (const QByteArray &line : lines) {
        const QJsonObject point = QJsonDocument::fromJson(line).object();
        EXPECT_NEAR(point.value(QStringLiteral("response_db")).toDouble(), 0, 0.01) << line.toStdString();
        EXPECT_EQ(point.value(QStringLiteral("harmonics")).toArray().size(), 8);
    }
    // From a pipe too.
    const Outcome piped = cli({QStringLiteral("analyze-chirp"), QStringLiteral("-"), QStringLiteral("--seconds"),
                               QStringLiteral("2"), QStringLiteral("--level"), QStringLiteral("-6")},
                              sweep);
    ASSERT_EQ(piped.status, 0) << piped.err.toStdString();
    EXPECT_TRUE(piped.out.contains("the sweep at 1.0000 s")) << piped.out.toStdString();
    // The file's own sweep with another length is not found in it.
    const Outcome otherLength = cli({QStringLiteral("analyze-chirp"), sweep});
    EXPECT_EQ(otherLength.status, 2);
    EXPECT_EQ(otherLength.err.count('\n'), 1);
    EXPECT_TRUE(otherLength.err.contains("markers")) << otherLength.err.toStdString();

    const QString tone = folder.filePath(QStringLiteral("tone.wav"));
    ASSERT_EQ(cli({QStringLiteral("wav"), QStringLiteral("-o"), tone}).status, 0);
    const std::vector<std::pair<QStringList, const char *>> refused = {
        {{"analyze-chirp", tone}, "markers"},
        {{"analyze-chirp", folder.filePath("missing.wav")}, "missing.wav"},
        {{"analyze-chirp"}, "one recording"},
        {{"analyze-chirp", tone, "--smoothing", "1/2"}, "--smoothing"},
        {{"analyze-chirp", tone, "--smoothing", "third"}, "--smoothing"},
        {{"analyze-chirp", tone, "--freq", "100"}, "--freq"},
        {{"chirp", "-o", sweep, "--from", "5"}, "--from"},
        {{"chirp", "-o", sweep, "--rate", "32000"}, "--from"},
        {{"chirp", "-o", sweep, "--seconds", "40"}, "--seconds"},
        {{"chirp"}, "-o FILE"},
        {{"measure", "--sweep", "chirp", "--step", "1"}, "--step"},
        {{"measure", "--sweep", "chirp", "--to", "30000"}, "--to"},
        {{"measure", "--smoothing", "1/6"}, "--smoothing"},
    };
    for (const auto &[arguments, named] : refused) {
        const Outcome run = cli(arguments);
        SCOPED_TRACE(arguments.join(' ').toStdString());
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(named)) << run.err.toStdString();
    }
}

} // namespace

namespace {

using dsp::kPi;

// The amplitude of the component at `hz` in a whole number of its periods, by a plain DFT.
double amplitudeAt(const std::vector<double> &samples, double rate, double hz)
{
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < samples.size(); ++i)
        sum += samples[i] * std::polar(1.0, -2 * kPi * hz * double(i) / rate);
    return 2 * std::abs(sum) / double(samples.size());
}

TEST(CliImd, WritesTheTwoTonesAndReadsAPolynomialsProductsAndANoisesLevel)
{
    QTemporaryDir folder;
    // SMPTE at -1 dBFS: 60 Hz four times 7 kHz, their peaks adding up to the level.
    const QString smpte = folder.filePath(QStringLiteral("smpte.wav"));
    ASSERT_EQ(cli({"wav", "--imd", "smpte", "--seconds", "1", "--bits", "32", "-o", smpte}).status, 0);
    SF_INFO info{};
    SNDFILE *file = sf_open(QFile::encodeName(smpte).constData(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<double> written(static_cast<std::size_t>(info.frames));
    sf_readf_double(file, written.data(), info.frames);
    sf_close(file);
    const double peak = std::pow(10, -1 / 20.0);
    EXPECT_NEAR(amplitudeAt(written, 48000, 60), 0.8 * peak, 1e-6);
    EXPECT_NEAR(amplitudeAt(written, 48000, 7000), 0.2 * peak, 1e-6);
    const QJsonObject clean = analyzed({"--imd", "smpte", smpte});
    EXPECT_EQ(clean.value("method").toString(), "smpte");
    EXPECT_NEAR(clean.value("f1_dbfs").toDouble(), 20 * std::log10(0.8 * peak), 1e-3);
    EXPECT_LT(clean.value("imd_percent").toDouble(), 1e-5);
    EXPECT_EQ(clean.value("products").toArray().size(), 10);

    // DIN through y = x + 0.05 x^2, written as floats: d2 is 2 a2 A1 A2 / A2.
    const QString din = folder.filePath(QStringLiteral("din.wav"));
    const double a1 = 0.4, a2 = 0.1;
    writeSound(din, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000, [&](int i, int) {
        const double t = i / 48000.0;
        const double x = a1 * std::sin(2 * kPi * 250 * t) + a2 * std::sin(2 * kPi * 8000 * t);
        return x + 0.05 * x * x;
    });
    const QJsonObject read = analyzed({"--imd", "din", din});
    EXPECT_NEAR(read.value("imd_d2_percent").toDouble(), 100 * 2 * 0.05 * a1, 1e-4);
    EXPECT_NEAR(read.value("imd_d3_percent").toDouble(), 0, 1e-5);
    EXPECT_NEAR(read.value("imd_percent").toDouble(), 100 * std::sqrt(2.0) * 0.05 * a1, 1e-4);
    const QJsonObject sideband = read.value("products").toArray().at(1).toObject();
    EXPECT_EQ(sideband.value("product").toString(), "f2+f1");
    EXPECT_NEAR(sideband.value("frequency_hz").toDouble(), 8250, 1e-3);
    const Outcome text = cli({"analyze", "--imd", "din", din});
    EXPECT_TRUE(text.out.contains("IMD d2          4.00000 %  (-27.96 dB; the noise alone reads")) << text.out.toStdString();

    // CCIF of one's own tones, and the noise of a file of white noise.
    const QString ccif = folder.filePath(QStringLiteral("ccif.flac"));
    ASSERT_EQ(cli({"wav", "--imd", "ccif", "--tones", "13000,14000", "--rate", "32000", "-o", ccif}).status, 0);
    const QJsonObject twin = analyzed({"--imd", "ccif", "--tones", "13000,14000", ccif});
    EXPECT_NEAR(twin.value("f2_hz").toDouble(), 14000, 1e-2);
    EXPECT_LT(twin.value("dfd_d3_percent").toDouble(), 1e-3);
    const QString hiss = folder.filePath(QStringLiteral("hiss.wav"));
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal(0, 0.001);
    writeSound(hiss, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 5 * 48000, [&](int, int) { return normal(random); });
    const QJsonObject noise = analyzed({"--noise", hiss});
    EXPECT_NEAR(noise.value("noise_dbfs").toDouble(), 10 * std::log10(2 * 1e-6 * 19980 / 24000), 0.1);
    EXPECT_LT(noise.value("noise_a_dbfs").toDouble(), noise.value("noise_dbfs").toDouble());
    const QJsonObject narrow = analyzed({"--noise", "--band", "1000,2000", hiss});
    EXPECT_NEAR(narrow.value("noise_dbfs").toDouble(), 10 * std::log10(2 * 1e-6 * 1000 / 24000), 0.3);

    const std::vector<std::pair<QStringList, const char *>> refused = {
        {{"analyze", "--imd", "smpte", hiss}, "nothing near 60 Hz"},
        {{"analyze", "--imd", "imd", hiss}, "--imd"},
        {{"analyze", "--imd", "din", "--tones", "250,1000", hiss}, "--tones"},
        {{"analyze", "--tones", "250,8000", hiss}, "--tones"},
        {{"analyze", "--imd", "ccif", "--noise", hiss}, "--noise"},
        {{"analyze", "--imd", "ccif", "--band", "20,20000", hiss}, "--band"},
        {{"analyze", "--noise", "--fundamental", "1000", hiss}, "--fundamental"},
        {{"wav", "--imd", "ccif", "--rate", "32000", "-o", ccif}, "--tones"},
        {{"wav", "--imd", "smpte", "--levels", "1,1,1,1,1,1", "-o", ccif}, "--levels"},
        {{"wav", "--noise", "-o", ccif}, "--noise"},
        {{"measure", "--imd", "smpte", "--sweep", "frequency"}, "--sweep"},
        {{"measure", "--imd", "smpte", "--sweep", "chirp"}, "--sweep"},
        {{"measure", "--imd", "ccif", "--freq", "1000"}, "--freq"},
        {{"measure", "--imd", "ccif", "--noise"}, "--noise"},
        {{"measure", "--noise", "--level", "-20"}, "--level"},
        {{"measure", "--noise", "--sweep", "level"}, "--sweep"},
        {{"measure", "--dynamic-range", "--freq", "1000"}, "--freq"},
        {{"measure", "--crosstalk", "--sweep", "level"}, "--sweep"},
        {{"measure", "--crosstalk", "--channel", "3"}, "--channel"},
        {{"measure", "--crosstalk", "--dynamic-range"}, "--crosstalk"},
        {{"measure", "--crosstalk", "--live"}, "--live"},
    };
    for (const auto &[arguments, named] : refused) {
        const Outcome run = cli(arguments);
        SCOPED_TRACE(arguments.join(' ').toStdString());
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(named)) << run.err.toStdString();
    }
}

} // namespace
