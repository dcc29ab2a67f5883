// Tools > Analyse Recording: a sound file's harmonics, or its intermodulation
// or noise, analysed off the window's thread, shown in the Analysis window
// and, on request, in the plot.

#include "analysis/recording.h"
#include "analysiswindow/analysiswindow.h"
#include "app/form1.h"
#include "app/updown.h"
#include "base/progress.h"

#include <QDir>
#include <QFutureWatcher>
#include <QProgressDialog>

void Form1::mnuAnalyse_Click()
{
    guard(QT_TR_NOOP("Analysing a recording"), [this] {
        if (m_recordingDialog.fileName().isEmpty())
            m_recordingDialog.setInitDir(QDir::homePath());
        m_recordingDialog.setFilter(QStringLiteral(
            "Recordings  "
            "(*.wav;*.flac;*.aiff;*.ogg)|*.wav;*.flac;*.aif;*.aiff;*.ogg;*.oga;*.au;*.caf;*.w64;*.rf64"));
        m_recordingDialog.setDialogTitle(QStringLiteral("Marovek Quenlari. Analyse Recording"));
        if (m_recordingDialog.ShowOpen(this))
            startAnalysis(m_recordingDialog.fileName(), 1);
    });
}

analysis::AnalysedRecording analyseFigures(const QString &file, int channel, Figures figures,
                                           Progress *progress)
{
    switch (figures) {
    case Figures::Harmonics: {
        analysis::Settings settings;
        settings.spectrum = true;
        return analysis::analyseRecording(file, channel, settings, progress);
    }
    case Figures::Noise: {
        analysis::NoiseSettings settings;
        settings.spectrum = true;
        return analysis::analyseNoiseOf(file, channel, settings, progress);
    }
    case Figures::Smpte:
    case Figures::Din:
    case Figures::Ccif:
        break;
    }
    analysis::ImdSettings settings;
    settings.tones = twotone::standard(twotone::Method(int(figures) - int(Figures::Smpte)));
    settings.spectrum = true;
    return analysis::analyseIntermodulationOf(file, channel, settings, progress);
}

void Form1::startAnalysis(const QString &file, int channel, Figures figures)
{
    m_analysisRun.cancel(); // the newest request wins

    auto *dialog = new QProgressDialog(tr("Analysing %1…").arg(QDir::toNativeSeparators(file)), tr("Cancel"),
                                       0, Progress::kSteps, this);
    dialog->setObjectName(QStringLiteral("dlgAnalysing"));
    // Not modal: the window goes on working meanwhile; a new analysis replaces this one.
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);

    using Outcome = analysis::AnalysedRecording;
    auto *watcher = new QFutureWatcher<Outcome>(this);
    connect(watcher, &QFutureWatcher<Outcome>::progressValueChanged, dialog, &QProgressDialog::setValue);
    connect(dialog, &QProgressDialog::canceled, watcher, &QFutureWatcher<Outcome>::cancel);
    connect(watcher, &QFutureWatcher<Outcome>::finished, this, [this, watcher, dialog] {
        dialog->deleteLater();
        watcher->deleteLater();
        // Cancelled, even after the work's last look at its progress: nothing to show.
        if (watcher->isCanceled() || watcher->future().resultCount() == 0) {
            if (m_analysis)
                m_analysis->keepShownChannel();
            return;
        }
        const Outcome outcome = watcher->result();
        if (!outcome.error.isEmpty()) {
            if (m_analysis)
                m_analysis->keepShownChannel();
            showError(QT_TR_NOOP("Analysing a recording"), outcome.error.toUtf8().constData());
            return;
        }
        if (!m_analysis) {
            m_analysis = new AnalysisWindow;
            connect(m_analysis, &AnalysisWindow::useInPlot, this, &Form1::useAnalysis);
            connect(m_analysis, &AnalysisWindow::channelChosen, this,
                    [this](const QString &chosen, int number) {
                        startAnalysis(chosen, number, m_analysis->figures());
                    });
        }
        m_analysis->showAnalysis(outcome);
        m_analysis->show();
        m_analysis->raise();
        m_analysis->activateWindow();
    });
    const QFuture<Outcome> run = runWithProgress<Outcome>([file, channel, figures](Progress &progress) {
        return analyseFigures(file, channel, figures, &progress);
    });
    m_analysisRun = run;
    watcher->setFuture(run);
}

void Form1::useAnalysis(const analysis::PlotValues &values)
{
    guard(QT_TR_NOOP("Using the analysis in the plot"), [this, &values] {
        for (int k = 0; k < MainState::kHarmonicCount; ++k) {
            m_levelControls[k]->setValue(values.levels[k]);
            m_phaseControls[k]->setValue(values.phases[k]);
        }
        UpDown1->setValue(values.frequencyHz);
        // Then as "Calcul Quenlari": the THD of the new levels, and the plot.
        Command1_Click();
    });
}
