#pragma once

#include "analysis/plotvalues.h"
#include "analysis/recording.h"
#include "picture/commondialog.h"

#include <QWidget>

#include <functional>
#include <optional>

class Progress;
class QComboBox;
class QIODevice;

class QCustomPlot;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;

// What the Analysis window can show of a recording, in its chooser's order:
// the harmonics, the intermodulation of SMPTE, DIN or CCIF two tones
// (twotone::Method's order), or the noise.
enum class Figures : int
{
    Harmonics,
    Smpte,
    Din,
    Ccif,
    Noise
};

// Reads the channel (from 1) and analyses it for the figures asked for, its
// spectrum too; a file that cannot be read or analysed gives its reason in
// `error`. Throws Progress::Cancelled.
analysis::AnalysedRecording analyseFigures(const QString &file, int channel, Figures figures,
                                           Progress *progress);

// The "Analysis" window: one analysed recording, its harmonics as a table,
// its figures and its spectrum, which can be zoomed, panned and saved. Not
// modal; "Use in the plot" hands the result to the main window.
class AnalysisWindow : public QWidget
{
    Q_OBJECT

public:
    AnalysisWindow();

    // Its harmonics, or the intermodulation or the noise where those were analysed.
    void showAnalysis(const analysis::AnalysedRecording &recording);
    // The figures the chooser asks for.
    Figures figures() const;
    // Sets the channel and figures choosers back to what is shown, when another could not be analysed.
    void keepShownChannel();
    // Said under the buttons after "Use in the plot": what had to be moved into range.
    void showClamped(const analysis::PlotValues &values);
    CommonDialog &saveDialog() { return m_saveDialog; }
    const analysis::AnalysedRecording &recording() const { return m_recording; }

signals:
    void useInPlot(const analysis::PlotValues &values);
    // Another channel, or other figures, asked for.
    void channelChosen(const QString &file, int channel);
    void errorShown(const QString &message);

private:
    void plotSpectrum();
    const analysis::MagnitudeSpectrum &shownSpectrum() const;
    void showHarmonics();
    void showIntermodulation();
    void showNoise();
    void saveAsPng();
    void saveAsCsv();
    std::optional<QString> chooseFile(const QString &title, const QString &filter, const QString &suffix);
    // Writes the whole file or nothing; says which file and why when it cannot.
    void save(const QString &name, const std::function<bool(QIODevice &)> &write);

    analysis::AnalysedRecording m_recording;
    QComboBox *m_figuresChoice = nullptr;
    Figures m_shownFigures = Figures::Harmonics;
    QPushButton *m_use = nullptr;
    CommonDialog m_saveDialog;
    QLabel *m_header = nullptr;
    QLabel *m_figures = nullptr;
    QLabel *m_clamped = nullptr;
    QSpinBox *m_channel = nullptr;
    QTableWidget *m_table = nullptr;
    QCustomPlot *m_plot = nullptr;
};
