#include "analysiswindow/analysiswindow.h"
#include "app/form1.h"
#include "app/updown.h"
#include "audio/tonewriter.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace {

// The main window with a recording made by the program's own tone writer,
// chosen through Tools > "Analyse Recording…" by "the person".
struct Analysing
{
    QTemporaryDir folder;
    Form1 form;
    QSignalSpy errors{&form, &Form1::errorShown};

    QString write(const char *name, const tone::Tone &tone, double seconds = 2)
    {
        const QString path = folder.filePath(QLatin1String(name));
        QSaveFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        audio::ToneFormat format;
        format.seconds = seconds;
        audio::writeTone(file, path, audio::containerFor(path), tone, format);
        EXPECT_TRUE(file.commit());
        return path;
    }
    // Half a second of two channels at 48 kHz, 24 bits.
    QString stereo(const char *name, const std::function<double(int frame, int channel)> &value)
    {
        const QString path = folder.filePath(QLatin1String(name));
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr);
        std::vector<double> frames(2 * 24000);
        for (int i = 0; i < 24000; ++i)
            for (int channel = 0; channel < 2; ++channel)
                frames[std::size_t(2 * i + channel)] = value(i, channel);
        sf_writef_double(file, frames.data(), 24000);
        sf_close(file);
        return path;
    }
    // Chooses the file and waits for the analysis to end.
    AnalysisWindow *analyse(const QString &path)
    {
        form.recordingDialog().setAnswer([path](const CommonDialog &) { return path; });
        form.findChild<QAction *>("mnuAnalyse")->trigger();
        return QTest::qWaitFor([&] { return window() != nullptr || errors.count() > 0; }, 20000) ? window()
                                                                                                 : nullptr;
    }
    static AnalysisWindow *window()
    {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *found = qobject_cast<AnalysisWindow *>(widget); found && found->isVisible())
                return found;
        return nullptr;
    }
    int value(const char *name) const { return form.findChild<UpDown *>(QLatin1String(name))->value(); }
    ~Analysing()
    {
        if (AnalysisWindow *open = window())
            delete open;
    }
};

TEST(AnalysisWindow, ShowsTheHarmonicsOfARecordingAndPutsThemInThePlot)
{
    Analysing test;
    tone::Tone tone;
    tone.frequencyHz = 437;
    tone.levels = {3, 0, 12, 1, 0, 7};
    tone.phases = {90, 0, 182, 45, 0, 301};
    AnalysisWindow *window = test.analyse(test.write("tone.flac", tone));
    ASSERT_NE(window, nullptr) << (test.errors.isEmpty() ? ""
                                                         : test.errors.at(0).at(0).toString().toStdString());
    EXPECT_EQ(window->windowTitle(), "Analysis");
    EXPECT_FALSE(window->isModal());
    EXPECT_TRUE(window->findChild<QLabel *>("lblRecording")->text().contains("tone.flac"));
    EXPECT_TRUE(window->findChild<QLabel *>("lblFigures")->text().contains("437.000 Hz"));

    const QTableWidget *table = window->findChild<QTableWidget *>("tblHarmonics");
    ASSERT_EQ(table->rowCount(), 6);
    const char *levels[] = {"3.000", "0.000", "12.000", "1.000", "0.000", "7.000"};
    const char *phases[] = {"90.0", nullptr, "182.0", "45.0", nullptr, "301.0"};
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(table->item(row, 0)->text().toInt(), row + 2);
        EXPECT_EQ(table->item(row, 1)->text(), levels[row]) << row + 2;
        if (phases[row]) {
            EXPECT_EQ(table->item(row, 3)->text(), phases[row]) << row + 2;
        }
    }

    const QImage before = test.form.surface().image().copy();
    QTest::mouseClick(window->findChild<QPushButton *>("cmdUse"), Qt::LeftButton);
    EXPECT_EQ(test.value("UpDown1"), 440); // to the nearest 10 Hz
    const int wantedLevels[] = {3, 0, 12, 1, 0, 7}, wantedPhases[] = {90, 0, 180, 45, 0, 300};
    for (int n = 2; n <= 7; ++n) {
        EXPECT_EQ(test.value(qPrintable(QStringLiteral("UpDown%1").arg(n))), wantedLevels[n - 2]) << n;
        if (wantedLevels[n - 2] > 0) {
            EXPECT_EQ(test.value(qPrintable(QStringLiteral("UpDown%1a").arg(n))), wantedPhases[n - 2]) << n;
        }
    }
    EXPECT_EQ(test.form.state().thdPercent, static_cast<float>(std::sqrt(9.0 + 144 + 1 + 49)));
    EXPECT_EQ(test.form.findChild<QLabel *>("Label1")->text(), "440 Hz");
    EXPECT_NE(test.form.surface().image(), before); // redrawn
    EXPECT_EQ(window->findChild<QLabel *>("lblClamped")->text(), "Shown in the plot.");
    EXPECT_EQ(test.errors.count(), 0);
}

TEST(AnalysisWindow, SaysWhatHadToBeMovedIntoTheControlsRange)
{
    Analysing test;
    tone::Tone tone;
    tone.frequencyHz = 4000;
    tone.levels = {30, 0, 0, 0, 0, 0};
    AnalysisWindow *window = test.analyse(test.write("high.wav", tone, 0.5));
    ASSERT_NE(window, nullptr);
    QTest::mouseClick(window->findChild<QPushButton *>("cmdUse"), Qt::LeftButton);
    EXPECT_EQ(test.value("UpDown1"), 1000);
    EXPECT_EQ(test.value("UpDown2"), 20);
    const QString said = window->findChild<QLabel *>("lblClamped")->text();
    EXPECT_TRUE(said.contains("fundamental 4 kHz shown as 1000 Hz")) << said.toStdString();
    EXPECT_TRUE(said.contains("harmonic 2 at 30.0 % shown as 20 %")) << said.toStdString();
    EXPECT_TRUE(said.contains("harmonic 6, above half the sample rate, shown as 0 %")) << said.toStdString();
    EXPECT_TRUE(said.contains("harmonic 7, above half the sample rate, shown as 0 %")) << said.toStdString();
}

TEST(AnalysisWindow, SavesTheSpectrumAsPngAndCsvWholeOrNotAtAll)
{
    Analysing test;
    AnalysisWindow *window = test.analyse(test.write("tone.wav", tone::Tone(), 1));
    ASSERT_NE(window, nullptr);
    QSignalSpy failures(window, &AnalysisWindow::errorShown);
    const QString png = test.folder.filePath(QStringLiteral("spectrum.png"));
    const QString csv = test.folder.filePath(QStringLiteral("spectrum.csv"));
    window->saveDialog().setAnswer(
        [&](const CommonDialog &dialog) { return dialog.filter().contains("png") ? png : csv; });
    QTest::mouseClick(window->findChild<QPushButton *>("cmdSavePng"), Qt::LeftButton);
    QTest::mouseClick(window->findChild<QPushButton *>("cmdSaveCsv"), Qt::LeftButton);
    EXPECT_EQ(QImage(png).size(), QSize(1200, 600));
    QFile table(csv);
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = table.readAll().trimmed().split('\n');
    EXPECT_EQ(rows.first(), "frequency_hz,dbfs");
    EXPECT_EQ(rows.size(), 1 + 24000); // a second at 48 kHz: 1 Hz apart, from 1 Hz to 24 kHz
    EXPECT_TRUE(rows[1].startsWith("1,")) << rows[1].toStdString();
    EXPECT_TRUE(rows[200].startsWith("200,")) << rows[200].toStdString();

    // A place that cannot be written, for root too (its "folder" is a file):
    // a message naming the file, and nothing left behind.
    const QString refused = csv + QStringLiteral("/spectrum.csv");
    window->saveDialog().setAnswer([&](const CommonDialog &) { return refused; });
    QTest::mouseClick(window->findChild<QPushButton *>("cmdSaveCsv"), Qt::LeftButton);
    ASSERT_EQ(failures.count(), 1);
    EXPECT_TRUE(failures.at(0).at(0).toString().contains(refused))
        << failures.at(0).at(0).toString().toStdString();
    EXPECT_EQ(QDir(test.folder.path()).entryList(QDir::Files).size(), 3); // the tone, the PNG and the CSV
}

TEST(AnalysisWindow, AnotherChannelCanBeChosen)
{
    Analysing test;
    const QString stereo = test.stereo("stereo.wav", [](int i, int channel) {
        return 0.5 * std::sin(2 * M_PI * (channel == 0 ? 300 : 770) * i / 48000);
    });
    AnalysisWindow *window = test.analyse(stereo);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->findChild<QLabel *>("lblRecording")->text().contains("channel 1 of 2"));
    EXPECT_NEAR(window->recording().result.fundamentalHz, 300, 1e-3);
    auto *channel = window->findChild<QSpinBox *>("spnChannel");
    ASSERT_TRUE(channel->isEnabled());
    channel->setValue(2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->recording().channel == 2; }, 20000));
    EXPECT_NEAR(window->recording().result.fundamentalHz, 770, 1e-3);
    EXPECT_TRUE(window->findChild<QLabel *>("lblRecording")->text().contains("channel 2 of 2"));
}

TEST(AnalysisWindow, AFileWithoutAToneGivesAMessageAndNoWindow)
{
    Analysing test;
    const QString notes = test.folder.filePath(QStringLiteral("notes.wav"));
    {
        QFile file(notes);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Shopping: milk, bread, resistors.\n");
    }
    EXPECT_EQ(test.analyse(notes), nullptr);
    ASSERT_EQ(test.errors.count(), 1);
    EXPECT_TRUE(test.errors.at(0).at(0).toString().contains("notes.wav"));

    // A cancelled dialog analyses nothing.
    test.form.recordingDialog().setAnswer([](const CommonDialog &) { return std::nullopt; });
    test.form.findChild<QAction *>("mnuAnalyse")->trigger();
    QTest::qWait(100);
    EXPECT_EQ(test.errors.count(), 1);
    EXPECT_EQ(Analysing::window(), nullptr);
}

TEST(AnalysisWindow, ALongAnalysisLeavesTheWindowWorkingAndCanBeCancelled)
{
    Analysing test;
    const QString path = test.write("long.wav", tone::Tone(), 120);
    test.form.recordingDialog().setAnswer([path](const CommonDialog &) { return path; });
    test.form.findChild<QAction *>("mnuAnalyse")->trigger();
    // The handler has returned at once; the event loop runs while the work goes on.
    auto *dialog = test.form.findChild<QProgressDialog *>("dlgAnalysing");
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->isModal());
    // The window answers meanwhile: the button calculates and redraws.
    test.form.findChild<UpDown *>("UpDown2")->setValue(20);
    QTest::mouseClick(test.form.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    EXPECT_EQ(test.form.state().harmonicLevel[0], 20.0f);
    QTest::qWait(20);
    emit dialog->canceled(); // as the Cancel button does
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return test.form.findChild<QProgressDialog *>("dlgAnalysing") == nullptr; }, 10000));
    EXPECT_EQ(Analysing::window(), nullptr);
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_EQ(test.form.findChild<QProgressDialog *>("dlgAnalysing"), nullptr);
}

TEST(AnalysisWindow, AChannelThatCannotBeAnalysedLeavesTheChooserOnTheChannelShown)
{
    Analysing test;
    const QString stereo = test.stereo("half.wav", [](int i, int channel) { // channel 2 silent
        return channel == 0 ? 0.5 * std::sin(2 * M_PI * 300 * i / 48000) : 0.0;
    });
    AnalysisWindow *window = test.analyse(stereo);
    ASSERT_NE(window, nullptr);
    auto *channel = window->findChild<QSpinBox *>("spnChannel");
    for (int attempt = 1; attempt <= 2; ++attempt) { // and choosing it again tries again
        channel->setValue(2);
        ASSERT_TRUE(QTest::qWaitFor([&] { return test.errors.count() == attempt; }, 20000));
        EXPECT_TRUE(test.errors.last().at(0).toString().contains("silent"));
        EXPECT_EQ(channel->value(), 1);
        EXPECT_EQ(window->recording().channel, 1);
        EXPECT_TRUE(window->findChild<QLabel *>("lblRecording")->text().contains("channel 1 of 2"));
    }
}

TEST(AnalysisWindow, ACancelThatComesAfterTheWorkHasEndedShowsNothing)
{
    Analysing test;
    const QString path = test.write("short.wav", tone::Tone(), 0.5);
    test.form.recordingDialog().setAnswer([path](const CommonDialog &) { return path; });
    test.form.findChild<QAction *>("mnuAnalyse")->trigger();
    auto *dialog = test.form.findChild<QProgressDialog *>("dlgAnalysing");
    ASSERT_NE(dialog, nullptr);
    // The work ends while the window is busy; the person's Cancel is the next thing it sees.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    emit dialog->canceled();
    QTest::qWait(300);
    EXPECT_EQ(Analysing::window(), nullptr);
    EXPECT_EQ(test.errors.count(), 0);
}

TEST(AnalysisWindow, ASaveNameTypedWithoutItsExtensionGetsIt)
{
    Analysing test;
    AnalysisWindow *window = test.analyse(test.write("tone.wav", tone::Tone(), 1));
    ASSERT_NE(window, nullptr);
    const QString plain = test.folder.filePath(QStringLiteral("spectrum"));
    window->saveDialog().setAnswer([plain](const CommonDialog &) { return plain; });
    window->findChild<QPushButton *>("cmdSaveCsv")->click();
    window->findChild<QPushButton *>("cmdSavePng")->click();
    EXPECT_TRUE(QFile::exists(plain + QStringLiteral(".csv")));
    EXPECT_TRUE(QFile::exists(plain + QStringLiteral(".png")));
    EXPECT_FALSE(QFile::exists(plain));
}

TEST(AnalysisWindow, ShowsTheIntermodulationOrTheNoiseOfARecordingWhenAsked)
{
    Analysing test;
    // Channel 1: DIN's two tones through y = x + 0.05 x^2; channel 2: a little noise.
    std::mt19937_64 random(2);
    std::normal_distribution<double> noise(0, 1e-3);
    const QString stereo = test.stereo("twotone.wav", [&](int i, int channel) {
        if (channel == 1)
            return noise(random);
        const double x =
            0.4 * std::sin(2 * M_PI * 250 * i / 48000) + 0.1 * std::sin(2 * M_PI * 8000 * i / 48000);
        return x + 0.05 * x * x;
    });
    AnalysisWindow *window = test.analyse(stereo);
    ASSERT_NE(window, nullptr);
    auto *figures = window->findChild<QComboBox *>("cboFigures");
    auto *text = window->findChild<QLabel *>("lblFigures");
    auto *table = window->findChild<QTableWidget *>("tblHarmonics");
    figures->setCurrentIndex(2); // DIN
    ASSERT_TRUE(QTest::qWaitFor([&] { return text->text().contains(QStringLiteral("IMD d2")); }, 20000))
        << text->text().toStdString()
        << (test.errors.isEmpty() ? "" : test.errors.first().first().toString().toStdString());
    // d2 = (a2 A1 A2 + a2 A1 A2) / A2 = 2 a2 A1: 4 %.
    EXPECT_TRUE(text->text().contains(QRegularExpression(QStringLiteral("IMD d2: 4[.,]0000"))))
        << text->text().toStdString();
    ASSERT_EQ(table->rowCount(), 10);
    EXPECT_EQ(table->item(1, 0)->text(), QStringLiteral("f2+f1"));
    // Each of the two: a2 A1 A2 of f2's A2, 2 %.
    EXPECT_TRUE(table->item(1, 1)->text().contains(QRegularExpression(QStringLiteral("^2[.,]000"))))
        << table->item(1, 1)->text().toStdString();
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("Product"));
    EXPECT_FALSE(window->findChild<QPushButton *>("cmdUse")->isEnabled());

    // The noise of the other channel.
    figures->setCurrentIndex(4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return text->text().contains(QStringLiteral("A-weighted")); }, 20000));
    window->findChild<QSpinBox *>("spnChannel")->setValue(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->recording().channel == 2; }, 20000));
    // 1e-3 RMS over 0 to 24 kHz: 20 Hz to 20 kHz holds 19980 / 24000 of it, in dBFS 3 dB up.
    const double expected = 10 * std::log10(2 * 1e-6 * 19980 / 24000);
    const QRegularExpressionMatch noiseText =
        QRegularExpression(QStringLiteral("Noise: (-?[0-9.]+) dBFS")).match(text->text());
    ASSERT_TRUE(noiseText.hasMatch()) << text->text().toStdString();
    EXPECT_NEAR(noiseText.captured(1).toDouble(), expected, 0.1);

    // Two tones that are not there: a message, and the chooser back on what is shown.
    figures->setCurrentIndex(3); // CCIF
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.errors.count() > 0; }, 20000));
    EXPECT_TRUE(test.errors.first().first().toString().contains(QStringLiteral("no two-tone")))
        << test.errors.first().first().toString().toStdString();
    EXPECT_EQ(figures->currentIndex(), 4);
    // Back to the harmonics.
    window->findChild<QSpinBox *>("spnChannel")->setValue(1);
    figures->setCurrentIndex(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return text->text().contains(QStringLiteral("Fundamental")); }, 20000));
    EXPECT_NEAR(window->recording().result.fundamentalHz, 250, 1e-3);
    EXPECT_TRUE(window->findChild<QPushButton *>("cmdUse")->isEnabled());
}

} // namespace
