#pragma once

#include "analysis/plotvalues.h"
#include "audiodevice/devices.h"
#include "measure/livemeter.h"
#include "measure/measurement.h"
#include "picture/commondialog.h"

#include <QFutureWatcher>
#include <QSet>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ChirpPanel;
class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QIODevice;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

// The "Measure" window: a device measured through the sound card. Live, it
// plays the stimulus and shows what comes back, four times a second; a sweep
// steps the stimulus through frequencies or levels and draws the distortion
// against them. Not modal: the main window goes on working.
class MeasureWindow : public QWidget
{
    Q_OBJECT

public:
    // `controlsTone`: the main window's tone, for "the tone of the controls".
    explicit MeasureWindow(std::function<tone::Tone()> controlsTone);
    ~MeasureWindow() override;

    // The sound system's place in tests: a simulated device instead of real ones.
    void setSimulatedDevice(std::shared_ptr<measure::DeviceStandIn> device);
    CommonDialog &saveDialog() { return m_saveDialog; }
    bool isLive() const { return m_meter != nullptr || m_opening.isRunning(); }
    // The main window's controls changed: followed live where the stimulus is their tone.
    void controlsChanged();
    // Until the window has heard the sweep's end, its last step and message included.
    bool isSweeping() const { return m_sweeping; }
    // What the readout shows: the averaged reading of the live input.
    const measure::Reading &shownReading() const { return m_shown; }
    const std::vector<measure::Reading> &sweepSteps() const { return m_steps; }
    const std::vector<measure::Reading> &reference() const { return m_reference; }
    ChirpPanel &oneSweep() { return *m_chirp; }

signals:
    void useInPlot(const analysis::PlotValues &values);
    void errorShown(const QString &message);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct LiveResult
    {
        measure::LiveReading live;
        QString error; // the device failed
    };
    // A sweep's step as it ends, or why the sweep stopped.
    struct SweepEvent
    {
        std::optional<measure::Reading> step;
        QString error;
    };

    void buildLayout();
    measure::Devices chosenDevices() const;
    measure::Stimulus chosenStimulus() const;
    double chosenLevelDbfs() const;
    void refreshDevices();
    void startOrStop();
    void stopLive();
    void restartLive();
    void offerMonitor();
    void clearLive();
    measure::LiveSettings liveSettings() const;
    void stimulusChanged();
    void tick();
    void showLive(const LiveResult &result);
    void plotSpectrum(const measure::Reading &shown);
    // Two tones' intermodulation, or silence's noise, where a tone's harmonics stand.
    void showOtherFigures(const measure::Reading &shown, const std::optional<double> &inputCal);
    void showState(const QString &state);
    void runOrCancelSweep();
    void addStep(const measure::Reading &step);
    void plotSweep();
    void saveAsPng();
    void saveAsCsv();
    void saveLiveAsPng();
    void saveLiveAsCsv();
    void save(const QString &action, const QString &title, const QString &filter, const QString &proposed,
              const std::function<bool(QIODevice &)> &write);
    void fail(const QString &action, const QString &why);
    void levelUnitChanged();
    QString levelText(double dbfs, const std::optional<double> &volts) const;

    std::function<tone::Tone()> m_controlsTone;
    std::shared_ptr<measure::DeviceStandIn> m_simulated;
    std::shared_ptr<measure::LiveMeter> m_meter;
    QString m_openFailure; // why the last opening failed
    QFutureWatcher<void> m_opening;
    // Where the opening puts its session; the window takes it from there.
    std::shared_ptr<std::shared_ptr<measure::LiveMeter>> m_opened;
    QFutureWatcher<LiveResult> m_analysing;
    // The sound system's devices, asked for off the window's thread.
    struct Listing
    {
        std::vector<audiodevice::Device> devices;
        QString error;
    };
    QFutureWatcher<Listing> m_listing;
    static constexpr int kMonitorRole = Qt::UserRole + 1; // an output's: the id of its monitor
    QSet<QString> m_monitors;
    void showDevices(const Listing &listing);
    QFutureWatcher<SweepEvent> m_sweep;
    bool m_sweeping = false;
    QTimer m_tick;
    measure::Reading m_shown;
    std::vector<measure::Reading> m_steps, m_reference;
    bool m_stepsByLevel = false, m_referenceByLevel = false; // the kind of sweep each is
    int m_levelUnit = 0;
    CommonDialog m_saveDialog;

    QComboBox *m_output = nullptr, *m_input = nullptr, *m_levelUnits = nullptr, *m_averaging = nullptr,
              *m_sweepKind = nullptr;
    QSpinBox *m_channel = nullptr, *m_perOctave = nullptr, *m_settle = nullptr;
    QDoubleSpinBox *m_frequency = nullptr, *m_level = nullptr, *m_inputCal = nullptr, *m_outputCal = nullptr,
                   *m_block = nullptr, *m_from = nullptr, *m_to = nullptr, *m_step = nullptr,
                   *m_settleThdN = nullptr, *m_settleLevel = nullptr;
    QComboBox *m_stimulusKind = nullptr;
    QCheckBox *m_percent = nullptr;
    QPushButton *m_start = nullptr, *m_useInPlot = nullptr, *m_run = nullptr, *m_keep = nullptr,
                *m_savePng = nullptr, *m_saveCsv = nullptr, *m_saveLivePng = nullptr, *m_saveLiveCsv = nullptr;
    QLabel *m_state = nullptr, *m_figures = nullptr, *m_used = nullptr;
    QTableWidget *m_harmonics = nullptr, *m_stepTable = nullptr;
    QCustomPlot *m_spectrum = nullptr, *m_residual = nullptr, *m_sweepPlot = nullptr;
    QProgressBar *m_progress = nullptr;
    ChirpPanel *m_chirp = nullptr;
};
