// Writes pictures of the program for the README:
//   quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png]]
// the main window after start-up and, if asked, the About window and the
// Analysis window of a tone the program writes itself.

#include "analysiswindow/analysiswindow.h"
#include "app/form1.h"
#include "audio/tonewriter.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QTemporaryDir>

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

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: quenlari_screenshot WINDOW.png [ABOUT.png [ANALYSIS.png]]\n");
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
    if (argc == 4)
        saved = saved && grabAnalysis(form, QString::fromLocal8Bit(argv[3]));
    if (!saved) {
        std::fprintf(stderr, "could not write the pictures\n");
        return 1;
    }
    return 0;
}
