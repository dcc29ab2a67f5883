#pragma once

#include "analysis/plotvalues.h"
#include "analysis/recording.h"
#include "picture/commondialog.h"

#include <QWidget>

#include <functional>
#include <optional>

class QIODevice;

class QCustomPlot;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;

// The "Analysis" window: one analysed recording, its harmonics as a table,
// its figures and its spectrum, which can be zoomed, panned and saved. Not
// modal; "Use in the plot" hands the result to the main window.
class AnalysisWindow : public QWidget
{
    Q_OBJECT

public:
    AnalysisWindow();

    void showAnalysis(const analysis::AnalysedRecording &recording);
    // Sets the channel chooser back to the channel shown, when another could not be analysed.
    void keepShownChannel();
    // Said under the buttons after "Use in the plot": what had to be moved into range.
    void showClamped(const analysis::PlotValues &values);
    CommonDialog &saveDialog() { return m_saveDialog; }
    const analysis::AnalysedRecording &recording() const { return m_recording; }

signals:
    void useInPlot(const analysis::PlotValues &values);
    void channelChosen(const QString &file, int channel);
    void errorShown(const QString &message);

private:
    void plotSpectrum();
    void saveAsPng();
    void saveAsCsv();
    std::optional<QString> chooseFile(const QString &title, const QString &filter, const QString &suffix);
    // Writes the whole file or nothing; says which file and why when it cannot.
    void save(const QString &name, const std::function<bool(QIODevice &)> &write);

    analysis::AnalysedRecording m_recording;
    CommonDialog m_saveDialog;
    QLabel *m_header = nullptr;
    QLabel *m_figures = nullptr;
    QLabel *m_clamped = nullptr;
    QSpinBox *m_channel = nullptr;
    QTableWidget *m_table = nullptr;
    QCustomPlot *m_plot = nullptr;
};
