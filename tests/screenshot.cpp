// Writes pictures of the program for the README:
//   quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png [MEASURE.png [ONE-SWEEP.png [IMD.png]]]]]
// the main window after start-up and, if asked, the About window, the
// Analysis window of a tone the program writes itself, the Measure window's
// level sweep of a clipping device beside a clean loop, one sweep of that
// device's response and harmonics beside the loop's, and a model amplifier's
// THD+N, SMPTE IMD and CCIF DFD against level as the analyser reads them.

#include "analysiswindow/analysiswindow.h"
#include "app/form1.h"
#include "audio/tonewriter.h"
#include "dsp/soundmath.h"
#include "measurewindow/chirppanel.h"
#include "measurewindow/measurewindow.h"
#include "synthesis/twotone.h"
#include "tests/simulateddevice.h"

#include <qcustomplot.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

AnalysisWindow *analysisWindow()
{
    for (QWidget *window : QApplication::topLevelWidgets())
        if (auto *analysis = qobject_cast<AnalysisWindow *>(window); analysis && analysis->isVisible())
            return analysis;
    return nullptr;
}

bool grabAnalysis(Form1 &form, const QString &picture)
{
    QTemporaryDir folder;
    const QString recording = folder.filePath(QStringLiteral("tone.flac"));
    tone::Tone tone;
    tone.frequencyHz = 997;
    tone.levels = {0.5, 2, 0.05, 3, 0, 1}; // the README's example
    tone.phases = {10, 200, 30, 45, 0, 300};
    QSaveFile file(recording);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    audio::writeTone(file, recording, audio::Container::Flac, tone, audio::ToneFormat());
    if (!file.commit())
        return false;
    form.recordingDialog().setAnswer([&](const CommonDialog &) { return recording; });
    form.findChild<QAction *>("mnuAnalyse")->trigger();
    QElapsedTimer waited;
    waited.start();
    while (!analysisWindow() && waited.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    AnalysisWindow *window = analysisWindow();
    if (!window)
        return false;
    window->resize(900, 760);
    QApplication::processEvents();
    return window->grab().save(picture);
}

// A device that gives back what it plays, `gain` times and clipped at full scale.
class Wire : public SimulatedDevice
{
public:
    explicit Wire(float gain) : m_gain(gain) {}
    float answer(float played) noexcept override { return std::clamp(m_gain * played, -1.0f, 1.0f); }

private:
    float m_gain;
};

MeasureWindow *measureWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<MeasureWindow *>(widget); found && found->isVisible())
            return found;
    return nullptr;
}

bool grabMeasure(Form1 &form, const QString &picture)
{
    form.findChild<QAction *>("mnuMeasure")->trigger();
    MeasureWindow *window = measureWindow();
    if (!window)
        return false;
    window->findChild<QTabWidget *>(QStringLiteral("tabMeasure"))->setCurrentIndex(1);
    window->findChild<QComboBox *>(QStringLiteral("cboSweep"))->setCurrentIndex(1);
    // The clean loop, kept as the reference; then a device that clips 12 dB below full scale.
    for (const float gain : {1.0f, 4.0f}) {
        window->setSimulatedDevice(std::make_shared<Wire>(gain));
        window->findChild<QPushButton *>(QStringLiteral("cmdSweep"))->click();
        QElapsedTimer waited;
        waited.start();
        while ((window->isSweeping() || window->sweepSteps().empty()) && waited.elapsed() < 60000)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (gain == 1.0f)
            window->findChild<QPushButton *>(QStringLiteral("cmdKeepReference"))->click();
    }
    window->resize(1000, 820);
    QApplication::processEvents();
    return window->grab().save(picture);
}

bool grabOneSweep(const QString &picture)
{
    MeasureWindow *window = measureWindow();
    if (!window)
        return false;
    window->findChild<QTabWidget *>(QStringLiteral("tabSweeps"))->setCurrentIndex(1);
    window->findChild<QDoubleSpinBox *>(QStringLiteral("spnLevel"))->setValue(-10);
    // The clean loop, kept as the reference; then the device that clips 2 dB into the sweep.
    for (const float gain : {1.0f, 4.0f}) {
        window->setSimulatedDevice(std::make_shared<Wire>(gain));
        window->findChild<QPushButton *>(QStringLiteral("cmdChirp"))->click();
        QElapsedTimer waited;
        waited.start();
        while (window->oneSweep().isRunning() && waited.elapsed() < 60000)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (gain == 1.0f)
            window->findChild<QPushButton *>(QStringLiteral("cmdChirpKeep"))->click();
    }
    window->resize(1000, 900);
    QApplication::processEvents();
    return window->grab().save(picture);
}

// An amplifier's model: a little second and third order, a hard limit at 0.9
// of full scale, noise at -100 dBFS.
std::vector<float> amplified(const std::vector<double> &x, double peak)
{
    std::mt19937_64 random(1);
    std::normal_distribution<double> noise(0, std::sqrt(0.5) * 1e-5);
    std::vector<float> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = peak * x[i];
        out[i] = float(std::clamp(v + 0.002 * v * v - 0.02 * v * v * v, -0.9, 0.9) + noise(random));
    }
    return out;
}

bool drawImdAgainstLevel(const QString &picture)
{
    constexpr double kRate = 48000;
    const std::size_t frames = std::size_t(kRate);
    std::vector<double> sine(frames), smpte(frames), ccif(frames);
    for (std::size_t i = 0; i < frames; ++i)
        sine[i] = std::sin(2 * dsp::kPi * 997 * double(i) / kRate);
    twotone::render(twotone::standard(twotone::Method::Smpte), kRate, 0, smpte.data(), frames);
    twotone::render(twotone::standard(twotone::Method::Ccif), kRate, 0, ccif.data(), frames);
    QVector<double> levels, thdN, imd, dfd;
    for (double dbfs = -40; dbfs <= 0; dbfs += 1) {
        const double peak = std::pow(10, dbfs / 20);
        const measure::Reading tone = measure::read(amplified(sine, peak), kRate, measure::sine(997, dbfs));
        const measure::Reading low = measure::read(amplified(smpte, peak), kRate,
                                                   measure::twoToneStimulus(twotone::standard(twotone::Method::Smpte), dbfs));
        const measure::Reading high = measure::read(amplified(ccif, peak), kRate,
                                                    measure::twoToneStimulus(twotone::standard(twotone::Method::Ccif), dbfs));
        if (!measure::hasFigures(tone.state) || !measure::hasFigures(low.state) || !measure::hasFigures(high.state))
            return false;
        levels << dbfs;
        thdN << measure::figureDb(tone);
        imd << measure::figureDb(low);
        dfd << measure::figureDb(high);
    }
    QCustomPlot plot;
    plot.resize(900, 480);
    const std::pair<QVector<double> *, std::pair<QString, QColor>> curves[] = {
        {&thdN, {QStringLiteral("THD+N, 997 Hz"), QColor(0, 110, 0)}},
        {&imd, {QStringLiteral("IMD, SMPTE 60 Hz + 7 kHz (4:1)"), QColor(0, 60, 200)}},
        {&dfd, {QStringLiteral("DFD, CCIF 19 + 20 kHz"), QColor(200, 60, 0)}},
    };
    for (const auto &[values, style] : curves) {
        QCPGraph *graph = plot.addGraph();
        graph->setData(levels, *values, true);
        graph->setName(style.first);
        graph->setPen(QPen(style.second, 2));
    }
    plot.xAxis->setLabel(QStringLiteral("stimulus peak (dBFS)"));
    plot.yAxis->setLabel(QStringLiteral("dB of the signal (IMD: of f2)"));
    plot.xAxis->setRange(-40, 0);
    plot.yAxis->setRange(-110, 0);
    plot.legend->setVisible(true);
    plot.axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    return plot.savePng(picture, 900, 480);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2 || argc > 7) {
        std::fprintf(stderr, "usage: quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png [MEASURE.png "
                             "[ONE-SWEEP.png [IMD.png]]]]]\n");
        return 2;
    }
    Form1 form;
    form.setWindowState(Qt::WindowNoState);
    form.resize(1280, 800);
    form.show();
    QApplication::processEvents();
    bool saved = form.grab().save(QString::fromLocal8Bit(argv[1]));
    if (argc >= 3) {
        form.findChild<QAction *>("mnuAbout")->trigger();
        QApplication::processEvents();
        for (QWidget *window : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog *>(window) && window->isVisible())
                saved = saved && window->grab().save(QString::fromLocal8Bit(argv[2]));
    }
    if (argc >= 4)
        saved = saved && grabAnalysis(form, QString::fromLocal8Bit(argv[3]));
    if (argc >= 5)
        saved = saved && grabMeasure(form, QString::fromLocal8Bit(argv[4]));
    if (argc >= 6)
        saved = saved && grabOneSweep(QString::fromLocal8Bit(argv[5]));
    if (argc == 7)
        saved = saved && drawImdAgainstLevel(QString::fromLocal8Bit(argv[6]));
    if (!saved) {
        std::fprintf(stderr, "could not write the pictures\n");
        return 1;
    }
    return 0;
}
