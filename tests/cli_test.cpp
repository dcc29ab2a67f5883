#include "app/form1.h"
#include "app/updown.h"
#include "cli/commands.h"
#include "audio/soundfile.h"
#include "synthesis/tone.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <cmath>
#include <complex>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome
{
    int status;
    QByteArray out, err;
};

Outcome cli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUENLARI_CLI), arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

TEST(CliFigures, OfTheStartUpLevels)
{
    const tone::Figures figures = tone::analyse(tone::Tone());
    EXPECT_NEAR(figures.thdF * 100, 5.744563, 5e-7);
    EXPECT_NEAR(tone::decibels(figures.thdF), -24.81, 0.005);
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

} // namespace
