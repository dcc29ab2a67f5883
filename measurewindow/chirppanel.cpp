#include "measurewindow/chirppanel.h"

#include "audio/soundfile.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "dsp/soundmath.h"
#include "measure/limits.h"
#include "picture/commondialog.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtConcurrent>

#include <qcustomplot.h>

#include <cmath>

namespace {

constexpr int kPngWidth = 1200, kPngHeight = 900;
// The harmonics drawn; the CSV holds all of them.
constexpr int kDrawnHarmonics = 5;
const int kSmoothings[] = {0, 3, 6, 12, 24, 48};
const QColor kHarmonicColours[] = {QColor(0, 0, 0), QColor(200, 0, 0), QColor(0, 120, 0), QColor(0, 0, 200),
                                   QColor(180, 120, 0), QColor(140, 0, 160)};

QDoubleSpinBox *field(QWidget *parent, const char *name, double low, double high, double value, int decimals,
                      const QString &suffix)
{
    auto *box = new QDoubleSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(low, high);
    box->setDecimals(decimals);
    box->setValue(value);
    box->setSuffix(suffix);
    return box;
}

QCustomPlot *view(QWidget *parent, const char *name)
{
    auto *p = new QCustomPlot(parent);
    p->setObjectName(QString::fromLatin1(name));
    p->setMinimumHeight(180);
    p->xAxis->setScaleType(QCPAxis::stLogarithmic);
    p->xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    p->xAxis->setLabel(QStringLiteral("Frequency (Hz)"));
    p->legend->setVisible(true);
    return p;
}

QCPGraph *line(QCustomPlot *plot, const QString &name, const QColor &colour, Qt::PenStyle style = Qt::SolidLine,
               QCPAxis *valueAxis = nullptr)
{
    QCPGraph *graph = plot->addGraph(plot->xAxis, valueAxis ? valueAxis : plot->yAxis);
    graph->setName(name);
    graph->setPen(QPen(colour, 1.5, style));
    return graph;
}

// A figure as the distortion view draws it: dB, or percent.
double shown(double ratio, bool percent)
{
    return percent ? 100 * ratio : dsp::decibels(ratio);
}

} // namespace

ChirpPanel::ChirpPanel(Window window, QWidget *parent) : QWidget(parent), m_window(std::move(window))
{
    setObjectName(QStringLiteral("pnlChirp"));
    const measure::ChirpPlan defaults;
    m_from = field(this, "spnChirpFrom", measure::kChirpLowestHz, measure::kStimulusHz.high / 2, defaults.fromHz, 1,
                   QStringLiteral(" Hz"));
    m_to = field(this, "spnChirpTo", 2 * measure::kChirpLowestHz, measure::kStimulusHz.high, defaults.toHz, 1,
                 QStringLiteral(" Hz"));
    m_seconds = field(this, "spnChirpSeconds", measure::kChirpSeconds.low, measure::kChirpSeconds.high,
                      defaults.seconds, 1, QStringLiteral(" s"));
    m_smoothing = new QComboBox(this);
    m_smoothing->setObjectName(QStringLiteral("cboSmoothing"));
    for (int n : kSmoothings)
        m_smoothing->addItem(n ? QStringLiteral("1/%1 octave").arg(n) : QStringLiteral("none"));
    m_runButton = new QPushButton(QStringLiteral("Run Sweep"), this);
    m_runButton->setObjectName(QStringLiteral("cmdChirp"));
    m_open = new QPushButton(QStringLiteral("Open recording of a sweep\u2026"), this);
    m_open->setObjectName(QStringLiteral("cmdOpenChirp"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("barChirp"));
    m_progress->setRange(0, Progress::kSteps);
    m_progress->setValue(0);
    m_percent = new QCheckBox(QStringLiteral("in %"), this);
    m_percent->setObjectName(QStringLiteral("chkChirpPercent"));
    m_phases = new QCheckBox(QStringLiteral("phases"), this);
    m_phases->setObjectName(QStringLiteral("chkChirpPhases"));
    m_keep = new QPushButton(QStringLiteral("Keep as reference"), this);
    m_keep->setObjectName(QStringLiteral("cmdChirpKeep"));
    m_savePng = new QPushButton(QStringLiteral("Save as PNG"), this);
    m_savePng->setObjectName(QStringLiteral("cmdChirpPng"));
    m_saveCsv = new QPushButton(QStringLiteral("Save as CSV"), this);
    m_saveCsv->setObjectName(QStringLiteral("cmdChirpCsv"));
    m_saveImpulse = new QPushButton(QStringLiteral("Save impulse response"), this);
    m_saveImpulse->setObjectName(QStringLiteral("cmdChirpImpulse"));
    for (QPushButton *button : {m_keep, m_savePng, m_saveCsv, m_saveImpulse})
        button->setEnabled(false);
    m_summary = new QLabel(QStringLiteral("One exponential sweep at the stimulus's level gives the response and "
                                          "every harmonic against frequency."),
                           this);
    m_summary->setObjectName(QStringLiteral("lblChirp"));
    m_summary->setWordWrap(true);
    m_used = new QLabel(QStringLiteral("Click a frequency on the distortion view to use it in the plot."), this);
    m_used->setObjectName(QStringLiteral("lblChirpUsed"));
    m_used->setWordWrap(true);
    m_response = view(this, "plotResponse");
    m_response->yAxis->setLabel(QStringLiteral("Response (dB)"));
    m_response->yAxis2->setLabel(QStringLiteral("Phase (\u00b0)"));
    m_response->yAxis2->setVisible(true);
    m_response->yAxis2->setRange(-180, 180);
    m_response->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_distortion = view(this, "plotDistortion");
    // A click chooses a frequency: the view zooms with the wheel but is not dragged.
    m_distortion->setInteractions(QCP::iRangeZoom);
    m_distortion->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignBottom | Qt::AlignLeft);

    auto *fields = new QGridLayout;
    const std::pair<const char *, QWidget *> labelled[] = {
        {"From", m_from}, {"To", m_to}, {"Length", m_seconds}, {"Smoothing", m_smoothing}};
    int at = 0;
    for (const auto &[text, widget] : labelled) {
        auto *label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(widget);
        widget->setAccessibleName(label->text());
        fields->addWidget(label, 0, 2 * at, Qt::AlignRight);
        fields->addWidget(widget, 0, 2 * at + 1);
        ++at;
    }
    fields->addWidget(m_runButton, 1, 1);
    fields->addWidget(m_open, 1, 3);
    auto *tools = new QHBoxLayout;
    tools->addWidget(m_progress, 1);
    for (QWidget *widget : std::initializer_list<QWidget *>{m_percent, m_phases, m_keep, m_savePng, m_saveCsv,
                                                            m_saveImpulse})
        tools->addWidget(widget);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(tools);
    layout->addWidget(m_summary);
    layout->addWidget(m_response, 1);
    layout->addWidget(m_distortion, 1);
    layout->addWidget(m_used);

    connect(m_runButton, &QPushButton::clicked, this, &ChirpPanel::runOrCancel);
    connect(m_open, &QPushButton::clicked, this, &ChirpPanel::openRecording);
    connect(m_percent, &QCheckBox::toggled, this, &ChirpPanel::draw);
    connect(m_phases, &QCheckBox::toggled, this, &ChirpPanel::draw);
    connect(m_keep, &QPushButton::clicked, this, [this] {
        m_reference = m_result;
        draw();
    });
    connect(m_savePng, &QPushButton::clicked, this, &ChirpPanel::saveAsPng);
    connect(m_saveCsv, &QPushButton::clicked, this, &ChirpPanel::saveAsCsv);
    connect(m_saveImpulse, &QPushButton::clicked, this, &ChirpPanel::saveImpulse);
    connect(m_distortion, &QCustomPlot::mousePress, this, [this](QMouseEvent *event) {
        if (event->button() == Qt::LeftButton && m_distortion->axisRect()->rect().contains(event->pos()))
            useAt(m_distortion->xAxis->pixelToCoord(event->position().x()));
    });
    connect(&m_run, &QFutureWatcher<Outcome>::progressValueChanged, m_progress, &QProgressBar::setValue);
    connect(&m_run, &QFutureWatcher<Outcome>::finished, this, [this] {
        m_runButton->setText(QStringLiteral("Run Sweep"));
        m_open->setEnabled(true);
        if (m_run.future().resultCount() > 0)
            show(m_run.result());
        else
            m_progress->setValue(0);
        emit runningChanged(false);
    });
    draw();
}

ChirpPanel::~ChirpPanel()
{
    m_run.cancel();
    m_run.waitForFinished();
}

void ChirpPanel::cancel()
{
    m_run.cancel();
}

measure::ChirpPlan ChirpPanel::plan() const
{
    measure::ChirpPlan plan;
    plan.fromHz = m_from->value();
    plan.toHz = m_to->value();
    plan.seconds = m_seconds->value();
    plan.peakDbfs = m_window.levelDbfs();
    plan.smoothing = kSmoothings[std::max(0, m_smoothing->currentIndex())];
    return plan;
}

void ChirpPanel::start(std::function<Outcome(const measure::ChirpPlan &, const Progress &)> work,
                       const QString &action)
{
    const measure::ChirpPlan asked = plan();
    if (asked.toHz < 2 * asked.fromHz) {
        m_window.fail(action, QStringLiteral("the band must span an octave at least: raise \"To\" or lower \"From\""));
        return;
    }
    m_action = action;
    m_progress->setValue(0);
    m_runButton->setText(QStringLiteral("Cancel"));
    m_open->setEnabled(false);
    emit runningChanged(true);
    m_run.setFuture(QtConcurrent::run(&waitingPool(), [work = std::move(work), asked](QPromise<Outcome> &promise) {
        const Progress progress(promise);
        try {
            promise.addResult(work(asked, progress));
        } catch (const Progress::Cancelled &) {
        }
    }));
}

void ChirpPanel::runOrCancel()
{
    if (m_run.isRunning()) {
        m_run.cancel();
        return;
    }
    const measure::Devices devices = m_window.devices();
    start(
        [devices](const measure::ChirpPlan &plan, const Progress &progress) {
            Outcome outcome;
            try {
                outcome.result = measure::measureChirp(devices, plan, &progress);
            } catch (const measure::MeasureError &error) {
                outcome.error = QString::fromUtf8(error.what());
            }
            return outcome;
        },
        QStringLiteral("Measuring"));
}

void ChirpPanel::openRecording()
{
    CommonDialog &dialog = *m_window.openDialog;
    dialog.setDialogTitle(QStringLiteral("Open Recording of a Sweep"));
    dialog.setFilter(QStringLiteral("Sound files  (*.wav;*.flac;*.aiff;*.aif;*.ogg)|*.wav;*.flac;*.aiff;*.aif;*.ogg|"
                                    "All files  (*.*)|*.*"));
    dialog.setFlags(CommonDialog::kHideReadOnly);
    if (!dialog.ShowOpen(this))
        return;
    const QString file = dialog.fileName();
    const int channel = m_window.devices().channel;
    start(
        [file, channel](const measure::ChirpPlan &plan, const Progress &progress) {
            Outcome outcome;
            try {
                const audio::Recording recording = audio::readChannel(file, channel, &progress);
                const measure::Chirp nominal = measure::makeChirp(plan, recording.sampleRate);
                if (nominal.endHz >= recording.sampleRate / 2.0)
                    throw measure::MeasureError(
                        QStringLiteral("a recording at %1 Hz cannot hold a sweep up to %2 Hz").arg(recording.sampleRate).arg(plan.toHz).toStdString());
                outcome.found = measure::findChirp(nominal, recording.samples, recording.sampleRate);
                progress.reach(0.5);
                outcome.result = measure::analyseChirp(outcome.found->chirp, outcome.found->recording, plan);
                outcome.result.delaySeconds -= outcome.found->leadSeconds;
                outcome.result.seconds = outcome.found->chirp.seconds();
            } catch (const QuenlariError &error) {
                outcome.error = QFileInfo(file).fileName() + QStringLiteral(": ") + QString::fromUtf8(error.what());
            } catch (const std::bad_alloc &) {
                outcome.error = QFileInfo(file).fileName() + QStringLiteral(": there is not enough memory to hold it");
            }
            return outcome;
        },
        QStringLiteral("Reading the recording"));
}

void ChirpPanel::show(const Outcome &outcome)
{
    m_progress->setValue(Progress::kSteps);
    if (!outcome.error.isEmpty()) {
        m_window.fail(m_action, outcome.error);
        return;
    }
    m_result = outcome.result;
    const bool figures = measure::hasFigures(m_result.state);
    QString summary;
    if (!figures) {
        summary = QStringLiteral("%1: %2.").arg(QString::fromUtf8(measure::stateText(m_result.state)),
                                                QString::fromStdString(m_result.why));
    } else {
        summary = QStringLiteral("Delay %1 ms, noise floor %2 dB, %3 s.")
                      .arg(QString::number(1000 * m_result.delaySeconds, 'f', 3),
                           QString::number(m_result.noiseFloorDb, 'f', 1), QString::number(m_result.seconds, 'f', 2));
        if (outcome.found)
            summary += QStringLiteral(" The sweep at %1 s of the recording; the recorder's clock %2 ppm off the player's.")
                           .arg(QString::number(outcome.found->startSeconds, 'f', 3),
                                QString::number(outcome.found->clockPpm, 'f', 1));
        if (m_result.state == measure::State::Overload)
            summary += QStringLiteral(" Input overload: the figures are the converter's as much as the device's.");
    }
    m_summary->setText(summary);
    for (QPushButton *button : {m_keep, m_savePng, m_saveCsv})
        button->setEnabled(figures);
    m_saveImpulse->setEnabled(figures && !m_result.impulse.empty());
    draw();
}

void ChirpPanel::draw()
{
    const bool percent = m_percent->isChecked(), phases = m_phases->isChecked();
    m_response->clearGraphs();
    m_distortion->clearGraphs();
    const auto drawResult = [&](const measure::ChirpResult &result, bool reference) {
        if (!measure::hasFigures(result.state))
            return;
        const Qt::PenStyle style = reference ? Qt::DashLine : Qt::SolidLine;
        const QString suffix = reference ? QStringLiteral(" (reference)") : QString();
        QCPGraph *magnitude = line(m_response, QStringLiteral("Response") + suffix, QColor(0, 0, 200), style);
        QCPGraph *phase = reference ? nullptr
                                    : line(m_response, QStringLiteral("Phase"), QColor(0, 150, 150), Qt::DotLine,
                                           m_response->yAxis2);
        QCPGraph *thd = phases ? nullptr : line(m_distortion, QStringLiteral("THD_F") + suffix, kHarmonicColours[0], style);
        std::array<QCPGraph *, kDrawnHarmonics - 1> harmonics{};
        QCPGraph *noise = nullptr;
        if (!reference) {
            for (int n = 2; n <= kDrawnHarmonics; ++n) {
                QCPGraph *graph = line(m_distortion, QStringLiteral("H%1").arg(n), kHarmonicColours[n - 1]);
                // Phases wrap at 360°: dots, not lines that jump across the view.
                if (phases) {
                    graph->setLineStyle(QCPGraph::lsNone);
                    graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, 4));
                }
                harmonics[std::size_t(n - 2)] = graph;
            }
            if (!phases)
                noise = line(m_distortion, QStringLiteral("Noise floor"), QColor(150, 150, 150), Qt::DashDotLine);
        }
        for (const measure::ChirpPoint &point : result.points) {
            const double f = point.frequencyHz;
            magnitude->addData(f, point.responseDb);
            if (phase)
                phase->addData(f, point.responsePhaseDegrees);
            if (thd) {
                if (point.thdF)
                    thd->addData(f, shown(*point.thdF, percent));
                else
                    thd->addData(f, std::nan("")); // a gap where nothing stands out of the noise
            }
            for (int n = 2; n <= kDrawnHarmonics && !reference; ++n) {
                const auto &figure = point.harmonics[std::size_t(n - 2)];
                const double value = !figure ? std::nan("")
                                     : phases ? figure->phaseDegrees
                                              : shown(figure->ratio, percent);
                harmonics[std::size_t(n - 2)]->addData(f, value);
            }
            // A floor above the fundamental says only that nothing can be read there.
            const double floorDb = std::min(point.noiseDb, 0.0);
            if (noise)
                noise->addData(f, percent ? 100 * std::pow(10.0, floorDb / 20) : floorDb);
        }
    };
    if (m_reference)
        drawResult(*m_reference, true);
    drawResult(m_result, false);
    const measure::ChirpPlan asked = plan();
    for (QCustomPlot *plot : {m_response, m_distortion})
        plot->xAxis->setRange(asked.fromHz, asked.toHz);
    m_response->yAxis->rescale();
    const QCPRange magnitudes = m_response->yAxis->range();
    m_response->yAxis->setRange(std::min(magnitudes.lower - 1, -3.0), std::max(magnitudes.upper + 1, 3.0));
    m_distortion->yAxis->setScaleType(percent && !phases ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    if (percent && !phases)
        m_distortion->yAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    else
        m_distortion->yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    if (phases) {
        m_distortion->yAxis->setRange(0, 360);
    } else {
        m_distortion->yAxis->rescale();
        const QCPRange range = m_distortion->yAxis->range();
        if (percent)
            m_distortion->yAxis->setRange(std::max(range.lower / 2, 1e-7), std::max(range.upper * 2, 1e-3));
        else
            m_distortion->yAxis->setRange(std::max(range.lower - 5, -200.0), std::max(range.upper + 5, -60.0));
    }
    m_distortion->yAxis->setLabel(phases ? QStringLiteral("Phase (\u00b0)") : percent ? QStringLiteral("%")
                                                                                    : QStringLiteral("dB"));
    m_response->replot();
    m_distortion->replot();
}

void ChirpPanel::useAt(double hz)
{
    if (!measure::hasFigures(m_result.state) || m_result.points.empty() || !(hz > 0))
        return;
    const measure::ChirpPoint &point =
        *std::min_element(m_result.points.begin(), m_result.points.end(), [hz](const auto &a, const auto &b) {
            return std::fabs(std::log(a.frequencyHz / hz)) < std::fabs(std::log(b.frequencyHz / hz));
        });
    analysis::Analysis analysis;
    analysis.sampleRate = m_result.rate;
    analysis.fundamentalHz = point.frequencyHz;
    for (int n = 2; n <= measure::kChirpHarmonics; ++n) {
        analysis::Harmonic harmonic;
        harmonic.n = n;
        // Below the noise: no harmonic to speak of. Above half the rate: none at all.
        harmonic.present = n * point.frequencyHz < m_result.rate / 2;
        if (const auto &figure = point.harmonics[std::size_t(n - 2)]) {
            harmonic.levelPercent = 100 * figure->ratio;
            harmonic.phaseDegrees = figure->phaseDegrees;
        }
        analysis.harmonics.push_back(harmonic);
    }
    const analysis::PlotValues values = analysis::plotValuesOf(analysis);
    emit useInPlot(values);
    m_used->setText(QStringLiteral("At %1 Hz. ").arg(point.frequencyHz, 0, 'f', 1) + values.note());
}

void ChirpPanel::saveAsPng()
{
    // The response above, the distortion below, as they stand.
    const QPixmap response = m_response->toPixmap(kPngWidth, kPngHeight / 2);
    const QPixmap distortion = m_distortion->toPixmap(kPngWidth, kPngHeight / 2);
    QImage picture(kPngWidth, kPngHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        painter.drawPixmap(0, 0, response);
        painter.drawPixmap(0, kPngHeight / 2, distortion);
    }
    m_window.save(QStringLiteral("Saving the sweep"), QStringLiteral("Save the Sweep as PNG"),
                  QStringLiteral("PNG picture  (*.png)|*.png"),
                  QDir::home().filePath(QStringLiteral("quenlari-one-sweep.png")),
                  [&](QIODevice &file) { return picture.save(&file, "PNG"); });
}

void ChirpPanel::saveAsCsv()
{
    // The decimal point whatever the user's locale; an empty cell where a harmonic is not measured.
    QByteArray text("frequency_hz,response_db,response_phase_degrees,thd_f_percent");
    for (int n = 2; n <= measure::kChirpHarmonics; ++n)
        text += ",h" + QByteArray::number(n) + "_percent,h" + QByteArray::number(n) + "_phase_degrees";
    text += ",noise_db\n";
    const auto value = [](double x) { return QByteArray::number(x, 'g', 10); };
    for (const measure::ChirpPoint &point : m_result.points) {
        QByteArrayList row = {value(point.frequencyHz), value(point.responseDb), value(point.responsePhaseDegrees),
                              point.thdF ? value(100 * *point.thdF) : QByteArray()};
        for (const auto &figure : point.harmonics)
            row << (figure ? value(100 * figure->ratio) : QByteArray())
                << (figure ? value(figure->phaseDegrees) : QByteArray());
        row << value(point.noiseDb);
        text += row.join(',') + '\n';
    }
    m_window.save(QStringLiteral("Saving the sweep"), QStringLiteral("Save the Sweep as CSV"),
                  QStringLiteral("CSV table  (*.csv)|*.csv"),
                  QDir::home().filePath(QStringLiteral("quenlari-one-sweep.csv")),
                  [&](QIODevice &file) { return file.write(text) == text.size(); });
}

void ChirpPanel::saveImpulse()
{
    const measure::ChirpResult result = m_result;
    m_window.save(QStringLiteral("Saving the impulse response"), QStringLiteral("Save the Impulse Response"),
                  QStringLiteral("WAV sound (32-bit float)  (*.wav)|*.wav"),
                  QDir::home().filePath(QStringLiteral("quenlari-impulse.wav")), [&](QIODevice &file) {
                      // Floating point: a response's peak may lie above full scale.
                      audio::SoundWriter writer(file, QStringLiteral("impulse response"), audio::Container::Wav,
                                                int(std::lround(result.rate)), 32);
                      writer.write(result.impulse.data(), result.impulse.size());
                      writer.close();
                      return true;
                  });
}
