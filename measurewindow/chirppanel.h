#pragma once

#include "analysis/plotvalues.h"
#include "measure/chirp.h"

#include <QFutureWatcher>
#include <QWidget>

#include <functional>
#include <optional>

class CommonDialog;
class Progress;
class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QIODevice;
class QLabel;
class QProgressBar;
class QPushButton;

// "Distortion and response (one sweep)", in the Measure window's Sweeps tab:
// one exponential sweep through the devices, or a recording of a sweep file,
// drawn as the response (magnitude and phase) and the distortion (THD_F and
// H2 to H5 in dB or %, or their phases) against frequency. A click on the
// distortion view puts that frequency's harmonics on the main window's controls.
class ChirpPanel : public QWidget
{
    Q_OBJECT

public:
    // What the panel takes from its window.
    struct Window
    {
        std::function<measure::Devices()> devices;
        std::function<double()> levelDbfs;
        std::function<void(const QString &action, const QString &title, const QString &filter,
                           const QString &proposed, const std::function<bool(QIODevice &)> &write)>
            save;
        std::function<void(const QString &action, const QString &why)> fail;
        CommonDialog *openDialog = nullptr;
    };
    ChirpPanel(Window window, QWidget *parent);
    ~ChirpPanel() override;

    bool isRunning() const { return m_run.isRunning(); }
    void cancel();
    const measure::ChirpResult &result() const { return m_result; }
    const std::optional<measure::ChirpResult> &reference() const { return m_reference; }
    // What a click on the distortion view at `hz` does.
    void useAt(double hz);

signals:
    void useInPlot(const analysis::PlotValues &values);
    // A sweep began or ended: the window keeps its live readout off the devices meanwhile.
    void runningChanged(bool running);

private:
    struct Outcome
    {
        measure::ChirpResult result;
        std::optional<measure::FoundChirp> found; // a recording's sweep: where, and its clock
        QString error;
    };

    measure::ChirpPlan plan() const;
    void runOrCancel();
    void openRecording();
    void start(std::function<Outcome(const measure::ChirpPlan &, const Progress &)> work, const QString &action);
    void show(const Outcome &outcome);
    void draw();
    void saveAsPng();
    void saveAsCsv();
    void saveImpulse();

    Window m_window;
    QFutureWatcher<Outcome> m_run;
    QString m_action; // what the running work is, for its failure's message
    measure::ChirpResult m_result;
    std::optional<measure::ChirpResult> m_reference;

    QDoubleSpinBox *m_from = nullptr, *m_to = nullptr, *m_seconds = nullptr;
    QComboBox *m_smoothing = nullptr;
    QCheckBox *m_percent = nullptr, *m_phases = nullptr;
    QPushButton *m_runButton = nullptr, *m_open = nullptr, *m_keep = nullptr, *m_savePng = nullptr,
                *m_saveCsv = nullptr, *m_saveImpulse = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_summary = nullptr, *m_used = nullptr;
    QCustomPlot *m_response = nullptr, *m_distortion = nullptr;
};
