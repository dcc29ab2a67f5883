// Writes pictures of the program for the README:
//   quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png [MEASURE.png [ONE-SWEEP.png]]]]
// the main window after start-up and, if asked, the About window, the
// Analysis window of a tone the program writes itself, the Measure window's
// level sweep of a clipping device beside a clean loop, and one sweep of that
// device's response and harmonics beside the loop's.

#include "analysiswindow/analysiswindow.h"
#include "app/form1.h"
#include "audio/tonewriter.h"
#include "measurewindow/chirppanel.h"
#include "measurewindow/measurewindow.h"
#include "tests/simulateddevice.h"

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

#include <cstdio>

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

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2 || argc > 6) {
        std::fprintf(stderr,
                     "usage: quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png [MEASURE.png [ONE-SWEEP.png]]]]\n");
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
    if (argc == 6)
        saved = saved && grabOneSweep(QString::fromLocal8Bit(argv[5]));
    if (!saved) {
        std::fprintf(stderr, "could not write the pictures\n");
        return 1;
    }
    return 0;
}
