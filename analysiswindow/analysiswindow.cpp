#include "analysiswindow/analysiswindow.h"

#include "base/errors.h"
#include "base/numbertext.h"
#include "base/savefile.h"
#include "dsp/soundmath.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <qcustomplot.h>

#include <cmath>

namespace {

constexpr int kPngWidth = 1200, kPngHeight = 600;
constexpr double kLowestShownHz = 10;
constexpr double kFloorDbfs = -180;
constexpr double kHeadroomDb = 12; // above 0 dBFS, for the fundamental's number
constexpr int kRowHeight = 22;

constexpr double kLeastExplained = 0.9;
const QStringList kHarmonicColumns = {QStringLiteral("n"), QStringLiteral("Level %"), QStringLiteral("dBc"),
                                      QStringLiteral("Phase (degrees)")};

} // namespace

AnalysisWindow::AnalysisWindow() : QWidget(nullptr, Qt::Window)
{
    setObjectName(QStringLiteral("frmAnalysis"));
    setWindowTitle(QStringLiteral("Analysis"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(900, 760);

    m_header = new QLabel(this);
    m_header->setObjectName(QStringLiteral("lblRecording"));
    m_header->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_channel = new QSpinBox(this);
    m_channel->setObjectName(QStringLiteral("spnChannel"));
    m_channel->setPrefix(QStringLiteral("Channel "));
    m_channel->setKeyboardTracking(false);
    // The newest choice wins: a channel chosen while another is analysed replaces it.
    connect(m_channel, &QSpinBox::valueChanged, this,
            [this](int channel) { emit channelChosen(m_recording.file, channel); });
    m_figuresChoice = new QComboBox(this);
    m_figuresChoice->setObjectName(QStringLiteral("cboFigures"));
    m_figuresChoice->addItems({QStringLiteral("harmonics"), QStringLiteral("SMPTE intermodulation"),
                               QStringLiteral("DIN intermodulation"), QStringLiteral("CCIF intermodulation"),
                               QStringLiteral("noise")});
    connect(m_figuresChoice, &QComboBox::currentIndexChanged, this,
            [this] { emit channelChosen(m_recording.file, m_channel->value()); });
    auto *top = new QHBoxLayout;
    top->addWidget(m_header, 1);
    top->addWidget(m_figuresChoice);
    top->addWidget(m_channel);

    m_table = new QTableWidget(0, 4, this);
    m_table->setObjectName(QStringLiteral("tblHarmonics"));
    m_table->setHorizontalHeaderLabels(kHarmonicColumns);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    // Harmonics 2 to 7 show whole; more (up to 20) scroll.
    m_table->verticalHeader()->setDefaultSectionSize(kRowHeight);
    m_table->setMinimumHeight(m_table->horizontalHeader()->sizeHint().height() + 6 * kRowHeight + 4);
    m_figures = new QLabel(this);
    m_figures->setObjectName(QStringLiteral("lblFigures"));
    m_figures->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *middle = new QHBoxLayout;
    middle->addWidget(m_table, 3);
    middle->addWidget(m_figures, 2);

    m_plot = new QCustomPlot(this);
    m_plot->setObjectName(QStringLiteral("plotSpectrum"));
    m_plot->setMinimumHeight(280);
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->xAxis->setScaleType(QCPAxis::stLogarithmic);
    m_plot->xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>::create());
    m_plot->xAxis->setLabel(QStringLiteral("Frequency (Hz)"));
    m_plot->yAxis->setLabel(QStringLiteral("Magnitude (dBFS)"));

    auto *use = m_use = new QPushButton(QStringLiteral("Use in the plot"), this);
    use->setObjectName(QStringLiteral("cmdUse"));
    connect(use, &QPushButton::clicked, this, [this] {
        const analysis::PlotValues values = analysis::plotValuesOf(m_recording.result);
        emit useInPlot(values);
        showClamped(values);
    });
    auto *png = new QPushButton(QStringLiteral("Save as PNG"), this);
    png->setObjectName(QStringLiteral("cmdSavePng"));
    connect(png, &QPushButton::clicked, this, &AnalysisWindow::saveAsPng);
    auto *csv = new QPushButton(QStringLiteral("Save as CSV"), this);
    csv->setObjectName(QStringLiteral("cmdSaveCsv"));
    connect(csv, &QPushButton::clicked, this, &AnalysisWindow::saveAsCsv);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(use);
    buttons->addStretch(1);
    buttons->addWidget(png);
    buttons->addWidget(csv);
    buttons->addWidget(close);
    m_clamped = new QLabel(this);
    m_clamped->setObjectName(QStringLiteral("lblClamped"));
    m_clamped->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle);
    layout->addWidget(m_plot, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_clamped);
}

Figures AnalysisWindow::figures() const
{
    return Figures(m_figuresChoice->currentIndex());
}

void AnalysisWindow::showAnalysis(const analysis::AnalysedRecording &recording)
{
    m_recording = recording;
    m_shownFigures = figures();
    m_header->setText(QStringLiteral("%1\nchannel %2 of %3, %4 Hz, %5 s")
                          .arg(QFileInfo(recording.file).fileName())
                          .arg(recording.channel)
                          .arg(recording.channels)
                          .arg(recording.sampleRate)
                          .arg(figureText(double(recording.frames) / recording.sampleRate, 3)));
    m_header->setToolTip(recording.file);
    {
        const QSignalBlocker quiet(m_channel);
        m_channel->setRange(1, std::max(1, recording.channels));
        m_channel->setValue(recording.channel);
        m_channel->setEnabled(recording.channels > 1);
    }
    // Only harmonics can be put on the plot's controls.
    m_use->setEnabled(!recording.imd && !recording.noise);
    m_clamped->clear();
    if (recording.imd)
        showIntermodulation();
    else if (recording.noise)
        showNoise();
    else
        showHarmonics();
    if (!recording.note.isEmpty())
        m_figures->setText(m_figures->text() + QStringLiteral("\nThe file %1.").arg(recording.note));
    plotSpectrum();
}

void AnalysisWindow::showHarmonics()
{
    const analysis::Analysis &r = m_recording.result;
    m_table->setHorizontalHeaderLabels(kHarmonicColumns);
    m_table->setRowCount(static_cast<int>(r.harmonics.size()));
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const analysis::Harmonic &h = r.harmonics[row];
        const QStringList cells =
            h.present ? QStringList{QString::number(h.n), figureText(h.levelPercent, 3), figureText(h.dbc, 2),
                                    figureText(analysis::roundedPhase(h.phaseDegrees, 1), 1)}
                      : QStringList{QString::number(h.n), QStringLiteral("absent"), QString(), QString()};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(row, column, item);
        }
    }
    m_figures->setText(
        QStringLiteral("Fundamental: %1 Hz at %2 dBFS\n"
                       "THD_F: %3 % (%4 dB)\n"
                       "THD_R: %5 %\n"
                       "THD+N: %6 % (%7 dB), %8 to %9 Hz\n"
                       "SINAD: %10 dB\n"
                       "DC offset: %11; peak: %12 dBFS\n"
                       "Clipped samples: %13")
            .arg(figureText(r.fundamentalHz, 3), figureText(r.fundamentalDbfs, 2), figureText(r.thdF * 100, 4),
                 figureText(dsp::decibels(r.thdF), 2), figureText(r.thdR * 100, 4), figureText(r.thdN * 100, 4),
                 figureText(dsp::decibels(r.thdN), 2), figureText(r.bandLowHz, 0), figureText(r.bandHighHz, 0))
            .arg(figureText(-dsp::decibels(r.thdN), 2), figureText(r.dcOffset, 6), figureText(r.peakDbfs, 2))
            .arg(r.clippedSamples > 0 ? QStringLiteral("%1 (the recording clips)").arg(r.clippedSamples)
                                      : QStringLiteral("0")));
    QStringList remarks;
    if (r.beyondFullScale > 0)
        remarks << QStringLiteral("%1 samples lie beyond full scale (floating point: not clipped).")
                       .arg(r.beyondFullScale);
    if (!r.fundamentalInBand)
        remarks << QStringLiteral("The band leaves the fundamental out: THD+N holds all that is in it.");
    if (r.explained < kLeastExplained)
        remarks << QStringLiteral("The fundamental and its harmonics carry only %1 % of the power: these "
                                  "figures may mean little.")
                       .arg(figureText(r.explained * 100, 0));
    if (!remarks.isEmpty())
        m_figures->setText(m_figures->text() + QLatin1Char('\n') + remarks.join(QLatin1Char('\n')));
}

void AnalysisWindow::showIntermodulation()
{
    const analysis::Intermodulation &r = *m_recording.imd;
    m_table->setHorizontalHeaderLabels({QStringLiteral("Product"), QStringLiteral("% of f2"),
                                        QStringLiteral("dB of f2"), QStringLiteral("Hz")});
    m_table->setRowCount(int(r.products.size()));
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const analysis::Product &product = r.products[std::size_t(row)];
        const double share = product.amplitude / r.f2.amplitude;
        const QStringList cells = {QString::fromStdString(product.label),
                                   product.present ? figureText(100 * share, 5) : QStringLiteral("absent"),
                                   product.present ? figureText(dsp::decibels(share), 2) : QString(),
                                   figureText(product.frequencyHz, 1)};
        for (int column = 0; column < cells.size(); ++column)
            m_table->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    QString text = QStringLiteral("%1: f1 %2 Hz at %3 dBFS, f2 %4 Hz at %5 dBFS")
                       .arg(QString::fromLatin1(twotone::nameOf(r.method)).toUpper(),
                            figureText(r.f1.frequencyHz, 3), figureText(dsp::decibels(r.f1.amplitude), 2),
                            figureText(r.f2.frequencyHz, 3), figureText(dsp::decibels(r.f2.amplitude), 2));
    const auto figure = [&](const QString &name, double percent, double floor) {
        text += QStringLiteral("\n%1: %2 % (%3 dB; the noise alone %4 dB)")
                    .arg(name, figureText(percent, 5), figureText(dsp::decibels(percent / 100), 2),
                         figureText(dsp::decibels(floor / 100), 2));
    };
    if (r.method == twotone::Method::Ccif) {
        figure(QStringLiteral("DFD d2"), r.figures.dfdD2Percent, r.floor.dfdD2Percent);
        figure(QStringLiteral("DFD d3"), r.figures.dfdD3Percent, r.floor.dfdD3Percent);
    } else {
        figure(QStringLiteral("IMD"), r.figures.imdPercent, r.floor.imdPercent);
        figure(QStringLiteral("IMD d2"), r.figures.imdD2Percent, r.floor.imdD2Percent);
        figure(QStringLiteral("IMD d3"), r.figures.imdD3Percent, r.floor.imdD3Percent);
    }
    text += r.clippedSamples > 0
                ? QStringLiteral("\nClipped samples: %1 (the recording clips)").arg(r.clippedSamples)
                : QStringLiteral("\nClipped samples: 0");
    m_figures->setText(text);
}

void AnalysisWindow::showNoise()
{
    const analysis::Noise &n = *m_recording.noise;
    m_table->setRowCount(0);
    QString text =
        QStringLiteral("Noise: %1 dBFS, %2 to %3 Hz (a full-scale sine's RMS is 0 dBFS)\n"
                       "A-weighted: %4 dBFS\nDC offset: %5; peak: %6 dBFS")
            .arg(figureText(n.noiseDbfs, 2), figureText(n.bandLowHz, 0), figureText(n.bandHighHz, 0),
                 figureText(n.noiseADbfs, 2), figureText(n.dcOffset, 6), figureText(n.peakDbfs, 2));
    if (std::isinf(n.noiseDbfs))
        text += QStringLiteral("\nDigital silence: every sample is the same.");
    m_figures->setText(text);
}

const analysis::MagnitudeSpectrum &AnalysisWindow::shownSpectrum() const
{
    if (m_recording.imd)
        return m_recording.imd->spectrum;
    if (m_recording.noise)
        return m_recording.noise->spectrum;
    return m_recording.result.spectrum;
}

void AnalysisWindow::keepShownChannel()
{
    const QSignalBlocker quiet(m_channel), quietToo(m_figuresChoice);
    m_channel->setValue(m_recording.channel);
    m_figuresChoice->setCurrentIndex(int(m_shownFigures));
}

void AnalysisWindow::showClamped(const analysis::PlotValues &values)
{
    m_clamped->setText(values.note());
}

void AnalysisWindow::plotSpectrum()
{
    const analysis::MagnitudeSpectrum &shown = shownSpectrum();
    m_plot->clearGraphs();
    m_plot->clearItems();
    QCPGraph *spectrum = m_plot->addGraph();
    spectrum->setName(QStringLiteral("spectrum"));
    spectrum->setData(QVector<double>(shown.frequencyHz.begin(), shown.frequencyHz.end()),
                      QVector<double>(shown.dbfs.begin(), shown.dbfs.end()), true);
    spectrum->setPen(QPen(QColor(0, 110, 0)));

    // The fundamental and each harmonic, or the two tones and each product the
    // figures take, marked at the level the fit gives them.
    QCPGraph *marks = m_plot->addGraph();
    marks->setName(QStringLiteral("harmonics"));
    marks->setLineStyle(QCPGraph::lsNone);
    marks->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(Qt::red), QBrush(Qt::white), 7));
    const auto mark = [&](double hz, double amplitude, const QString &name) {
        const double db = std::max(kFloorDbfs, dsp::decibels(amplitude));
        marks->addData(hz, db);
        auto *label = new QCPItemText(m_plot);
        label->position->setCoords(hz, db + 3);
        label->setPositionAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        label->setText(name);
        label->setColor(Qt::red);
    };
    if (const auto &imd = m_recording.imd) {
        for (const analysis::Product *product : {&imd->f1, &imd->f2})
            mark(product->frequencyHz, product->amplitude, QString::fromStdString(product->label));
        for (const analysis::Product &product : imd->products)
            if (product.present)
                mark(product.frequencyHz, product.amplitude, QString::fromStdString(product.label));
    } else if (!m_recording.noise) {
        const analysis::Analysis &r = m_recording.result;
        mark(r.fundamentalHz, r.fundamentalAmplitude, QStringLiteral("1"));
        for (const analysis::Harmonic &h : r.harmonics)
            if (h.present)
                mark(h.n * r.fundamentalHz, h.amplitude, QString::number(h.n));
    }

    double lowest = 0;
    for (double db : shown.dbfs)
        lowest = std::min(lowest, db);
    m_plot->xAxis->setRange(kLowestShownHz, std::max(2 * kLowestShownHz, m_recording.sampleRate / 2.0));
    m_plot->yAxis->setRange(std::max(kFloorDbfs, lowest - 5), kHeadroomDb);
    m_plot->replot();
}

std::optional<QString> AnalysisWindow::chooseFile(const QString &title, const QString &filter,
                                                  const QString &suffix)
{
    // The last name chosen for this kind of file, or one beside the recording.
    const QString last = m_saveDialog.fileName();
    const QFileInfo recording(m_recording.file);
    const QString proposed = !last.isEmpty() && QFileInfo(last).suffix() == suffix
                                 ? last
                                 : recording.absolutePath() + QLatin1Char('/') + recording.completeBaseName() +
                                       QStringLiteral("-spectrum.") + suffix;
    return m_saveDialog.chooseSave(this, title, filter, proposed);
}

void AnalysisWindow::save(const QString &name, const std::function<bool(QIODevice &)> &write)
{
    try {
        saveWhole(name, write);
    } catch (const QuenlariError &error) {
        const QString message = tr("%1 failed: %2.").arg(tr("Saving the spectrum"), QString::fromUtf8(error.what()));
        auto *box =
            new QMessageBox(QMessageBox::Warning, QStringLiteral("Analysis"), message, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        emit errorShown(message);
    }
}

void AnalysisWindow::saveAsPng()
{
    const auto name = chooseFile(QStringLiteral("Save the Spectrum as PNG"),
                                 QStringLiteral("PNG picture  (*.png)|*.png"), QStringLiteral("png"));
    if (!name)
        return;
    const QPixmap picture = m_plot->toPixmap(kPngWidth, kPngHeight);
    save(*name, [&](QIODevice &file) { return picture.save(&file, "PNG"); });
}

void AnalysisWindow::saveAsCsv()
{
    const auto name = chooseFile(QStringLiteral("Save the Spectrum as CSV"),
                                 QStringLiteral("CSV table  (*.csv)|*.csv"), QStringLiteral("csv"));
    if (!name)
        return;
    const analysis::MagnitudeSpectrum &spectrum = shownSpectrum();
    save(*name, [&](QIODevice &file) {
        // The decimal point whatever the user's locale, so any program reads it.
        QByteArray text("frequency_hz,dbfs\n");
        for (std::size_t k = 0; k < spectrum.frequencyHz.size(); ++k)
            text += QByteArray::number(spectrum.frequencyHz[k], 'g', 10) + ',' +
                    QByteArray::number(spectrum.dbfs[k], 'f', 3) + '\n';
        return file.write(text) == text.size();
    });
}
