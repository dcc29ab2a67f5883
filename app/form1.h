#pragma once

#include "app/mainstate.h"
#include "picture/commondialog.h"
#include "plot/redraw.h"
#include "surface/drawingsurface.h"

#include <QFuture>
#include <QMainWindow>
#include <QPointer>

#include <array>
#include <exception>
#include <memory>
#include <optional>

class AboutWindow;
class AnalysisWindow;
enum class Figures : int;
class MeasureWindow;
namespace sound {
class Player;
}
namespace tone {
struct Tone;
}
namespace analysis {
struct PlotValues;
}
class Caption;
class PictureBox;
class QAction;
class QMessageBox;
class QPushButton;
class UpDown;

// The main window: it owns MainState, the plot surface and the controls, and
// wires the controls' events to the handlers. The handlers live with their
// subsystems: controls/, cursor/, picture/ and about/.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // Each control carries its place in the designed tab order under this name.
    static constexpr const char *kTabIndexProperty = "tabIndex";

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    const MainState &state() const { return m_state; }
    const DrawingSurface &surface() const { return m_surface; }
    CommonDialog &fileDialog() { return CmDialog1; }
    CommonDialog &recordingDialog() { return m_recordingDialog; }
    CommonDialog &saveDialog() { return m_saveDialog; }

signals:
    // Raised with the text the user is shown when a handler ends in an error.
    void errorShown(const QString &message);

protected:
    // Closing the main window ends the program: the About window goes with it.
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWindow();
    void connectHandlers();

    void Form_Load();
    void mnuOpen_Click();
    void mnuExit_Click();
    void mnuAbout_Click();
    void mnuAnalyse_Click();
    void mnuMeasure_Click();
    void mnuPlay_Click();
    void mnuSavePlot_Click();
    void mnuSaveTone_Click();
    void mnuExportSamples_Click();

    // The tone the controls hold now: what Play and Save Tone As make.
    tone::Tone toneOfControls() const;
    void controlsChangedWhilePlaying();
    void playStopped(const QString &error);
    void showPlayAvailability();
    void showOutputAvailable(bool available);
    // Asks for a file to write: its name, with the proposed name's extension
    // when it has none; nothing when the user cancels.
    std::optional<QString> chooseSaveFile(const QString &title, const QString &filter, const QString &proposedName);

    // The analysis of a recording runs off this thread; its window shows the result:
    // the harmonics (Figures()) or the figures the window's chooser asks for.
    void startAnalysis(const QString &file, int channel, Figures figures = Figures());
    void useAnalysis(const analysis::PlotValues &values);

    void UpDown1_Change();
    void UpDown2_Change();
    void UpDown3_Change();
    void UpDown4_Change();
    void UpDown5_Change();
    void UpDown6_Change();
    void UpDown7_Change();
    void UpDown2a_Change();
    void UpDown3a_Change();
    void UpDown4a_Change();
    void UpDown5a_Change();
    void UpDown6a_Change();
    void UpDown7a_Change();
    void UpDown8_Change();
    void Command1_Click();
    void Picture1_MouseMove(float x, float y);
    void Picture1_MouseUp(float x, float y);

    void levelChanged(int harmonic);
    void phaseChanged(int harmonic);
    void computeThd();
    void redraw();
    SignalControls signalControls() const;

    // The error rule: runs one handler; an error ends it where it happened,
    // keeps what was done before, tells the user and lets the program go on.
    template <typename Body>
    void guard(const char *action, Body &&body)
    {
        try {
            body();
        } catch (const std::exception &error) {
            showError(action, error.what());
        }
    }
    void showError(const char *action, const char *reason);

    MainState m_state;
    DrawingSurface m_surface;
    QPointer<QMessageBox> m_errorBox;
    QPointer<AboutWindow> m_about; // at most one, destroyed when closed
    QPointer<AnalysisWindow> m_analysis; // the same
    QPointer<MeasureWindow> m_measure;   // the same
    QFuture<void> m_analysisRun; // the analysis running, if any
    CommonDialog CmDialog1;
    CommonDialog m_recordingDialog;
    CommonDialog m_saveDialog; // Save Plot As, Save Tone As, Export Samples
    sound::Player *m_player = nullptr;

    PictureBox *Picture1 = nullptr;
    QPushButton *Command1 = nullptr;
    UpDown *UpDown1 = nullptr;
    UpDown *UpDown8 = nullptr;
    Caption *Label1 = nullptr;
    Caption *Label4 = nullptr;  // cursor x readout
    Caption *Label6 = nullptr;  // cursor level readout
    Caption *Label8 = nullptr;  // cursor step
    Caption *Label10 = nullptr; // stored sample's x
    Caption *Label12 = nullptr; // stored sample's level
    Caption *Label17 = nullptr; // number of stored samples
    // Harmonic n at index n - MainState::kFirstHarmonic.
    std::array<UpDown *, MainState::kHarmonicCount> m_levelControls{};    // UpDown2 to UpDown7
    std::array<UpDown *, MainState::kHarmonicCount> m_phaseControls{};    // UpDown2a to UpDown7a
    std::array<Caption *, MainState::kHarmonicCount> m_levelLabels{};      // Label2a to Label7a
    std::array<Caption *, MainState::kHarmonicCount> m_phaseLabels{};      // Label2b to Label7b
    QAction *mnuOpen = nullptr;
    QAction *mnuExit = nullptr;
    QAction *mnuAbout = nullptr;
    QAction *mnuAnalyse = nullptr;
    QAction *mnuMeasure = nullptr;
    QAction *mnuSavePlot = nullptr;
    QAction *mnuSaveTone = nullptr;
    QAction *mnuExportSamples = nullptr;
    QAction *mnuPlay = nullptr;
};
