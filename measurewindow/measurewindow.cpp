#include "measurewindow/measurewindow.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "base/errors.h"
#include "base/numbertext.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "base/savefile.h"
#include "dsp/soundmath.h"
#include "measurewindow/chirppanel.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <qcustomplot.h>

#include <cmath>

namespace {

constexpr int kTickMs = 250; // four readouts a second
constexpr int kPngWidth = 1200, kPngHeight = 600;
constexpr int kWidth = 1000, kHeight = 820;
constexpr int kFrameRoom = 60; // the window's frame and title bar, and a panel's share of the screen
constexpr double kFloorDbfs = -180;
constexpr int kSweepHarmonics = 5; // H2 to H5 drawn
const char *const kUnits[] = {"dBFS", "V rms", "dBV", "dBu"};
// The stimulus's kinds, in the chooser's order: the two tones follow twotone::Method's.
const char *const kStimulusKinds[] = {"sine", "the tone of the controls", "SMPTE", "DIN", "CCIF", "silence (noise)"};
enum StimulusKind { kSine, kControls, kSmpte, kDin, kCcif, kSilence };
const QStringList kStepColumns = {QStringLiteral("Hz"), QStringLiteral("dBFS"), QStringLiteral("State"),
                                  QStringLiteral("Fundamental dBFS"), QStringLiteral("THD_F dB"),
                                  QStringLiteral("THD+N dB"), QStringLiteral("Clipped")};
const QStringList kHarmonicColumns = {QStringLiteral("n"), QStringLiteral("Level %"), QStringLiteral("dBc"),
                                      QStringLiteral("Phase (degrees)")};
const QStringList kProductColumns = {QStringLiteral("Product"), QStringLiteral("% of f2"), QStringLiteral("dB of f2"),
                                     QStringLiteral("Hz")};

// What a sweep's curve draws of a step, as a fraction: THD+N, THD_F, H2 to
// H5; for two tones the method's figure, d2 and d3 (and nothing more).
double sweepFraction(const measure::Reading &step, int curve)
{
    if (const auto &tones = step.stimulus.twoTone) {
        const analysis::ImdFigures &f = step.imd.figures;
        const double percent = curve == 0 ? f.mainPercent()
                               : curve == 1 ? (tones->modulation() ? f.imdD2Percent : f.dfdD2Percent)
                               : curve == 2 ? (tones->modulation() ? f.imdD3Percent : f.dfdD3Percent)
                                            : std::nan("");
        return percent / 100;
    }
    const analysis::Analysis &r = step.result;
    return curve == 0 ? r.thdN : curve == 1 ? r.thdF : r.levelPercent(curve) / 100;
}

QString sweepCurveName(const measure::Reading &step, int curve)
{
    if (step.stimulus.twoTone) {
        const QString method = QString::fromLatin1(measure::figureName(step));
        return curve == 0 ? method : QStringLiteral("%1 d%2").arg(method).arg(curve + 1);
    }
    return curve == 0 ? QStringLiteral("THD+N") : curve == 1 ? QStringLiteral("THD_F") : QStringLiteral("H%1").arg(curve);
}

std::optional<double> volts(const QDoubleSpinBox *box)
{
    return box->value() > 0 ? std::optional<double>(box->value()) : std::nullopt;
}

QDoubleSpinBox *spin(QWidget *parent, const char *name, const measure::Range &range, double value, int decimals,
                     const QString &suffix)
{
    auto *box = new QDoubleSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(range.low, range.high);
    box->setDecimals(decimals);
    box->setValue(value);
    box->setSuffix(suffix);
    box->setKeyboardTracking(false);
    return box;
}

QCustomPlot *plot(QWidget *parent, const char *name)
{
    auto *p = new QCustomPlot(parent);
    p->setObjectName(QString::fromLatin1(name));
    p->setMinimumHeight(160);
    p->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    return p;
}

// A figure of a step as the sweep plot draws it: dB, or percent.
double shown(double fraction, bool percent)
{
    return percent ? 100 * fraction : dsp::decibels(fraction);
}

} // namespace

MeasureWindow::MeasureWindow(std::function<tone::Tone()> controlsTone)
    : QWidget(nullptr, Qt::Window), m_controlsTone(std::move(controlsTone))
{
    setObjectName(QStringLiteral("frmMeasure"));
    setWindowTitle(QStringLiteral("Measure"));
    // Closing only hides it: its sweeps, reference and calibration stay for as
    // long as the program runs, and the main window lets it go at the end.
    const QSize available = screen()->availableGeometry().size() - QSize(kFrameRoom, kFrameRoom);
    resize(std::min(kWidth, available.width()), std::min(kHeight, available.height()));
    buildLayout();
    refreshDevices();
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, &MeasureWindow::tick);
    connect(&m_opening, &QFutureWatcher<void>::finished, this, [this] {
        std::shared_ptr<measure::LiveMeter> meter = std::move(*m_opened);
        if (m_start->text() != QStringLiteral("Stop"))
            return; // stopped while it opened
        if (!meter) {
            stopLive();
            fail(QStringLiteral("Measuring"), m_openFailure);
            return;
        }
        m_meter = std::move(meter);
        // What changed while it opened counts from now.
        m_meter->setStimulus(chosenStimulus());
        m_meter->setSettings(liveSettings());
        showState(QStringLiteral("Listening…"));
        m_tick.start();
    });
    connect(&m_listing, &QFutureWatcher<Listing>::finished, this,
            [this] { showDevices(m_listing.result()); });
    connect(&m_analysing, &QFutureWatcher<LiveResult>::finished, this, [this] {
        if (!m_analysing.isCanceled() && m_analysing.future().resultCount() > 0 && m_meter)
            showLive(m_analysing.result());
    });
    connect(&m_sweep, &QFutureWatcher<SweepEvent>::resultReadyAt, this, [this](int index) {
        const SweepEvent event = m_sweep.resultAt(index);
        if (event.step)
            addStep(*event.step);
        else
            fail(QStringLiteral("Measuring"), event.error);
    });
    connect(&m_sweep, &QFutureWatcher<SweepEvent>::progressValueChanged, m_progress, &QProgressBar::setValue);
    connect(&m_sweep, &QFutureWatcher<SweepEvent>::finished, this, [this] {
        m_sweeping = false;
        m_run->setText(QStringLiteral("Run Sweep"));
        m_start->setEnabled(true);
        m_chirp->setEnabled(true);
    });
}

MeasureWindow::~MeasureWindow()
{
    m_chirp->cancel();
    m_sweep.cancel();
    m_sweep.waitForFinished();
    m_analysing.waitForFinished();
    m_opening.waitForFinished();
    m_listing.waitForFinished();
}

void MeasureWindow::setSimulatedDevice(std::shared_ptr<measure::DeviceStandIn> device)
{
    m_simulated = std::move(device);
    refreshDevices();
}

void MeasureWindow::buildLayout()
{
    // Devices and calibration.
    m_output = new QComboBox(this);
    m_output->setObjectName(QStringLiteral("cboOutput"));
    m_input = new QComboBox(this);
    m_input->setObjectName(QStringLiteral("cboInput"));
    m_channel = new QSpinBox(this);
    m_channel->setObjectName(QStringLiteral("spnChannel"));
    m_channel->setRange(int(measure::kChannels.low), int(measure::kChannels.high));
    m_inputCal = spin(this, "spnInputCal", measure::kCalibrationVolts, 0, 4, QStringLiteral(" V rms"));
    m_outputCal = spin(this, "spnOutputCal", measure::kCalibrationVolts, 0, 4, QStringLiteral(" V rms"));
    m_inputCal->setSpecialValueText(QStringLiteral("not set"));
    m_outputCal->setSpecialValueText(QStringLiteral("not set"));
    auto *devices = new QFormLayout;
    devices->addRow(QStringLiteral("Output"), m_output);
    devices->addRow(QStringLiteral("Input"), m_input);
    devices->addRow(QStringLiteral("Input channel"), m_channel);
    devices->addRow(QStringLiteral("input: 0 dBFS ="), m_inputCal);
    devices->addRow(QStringLiteral("output: 0 dBFS ="), m_outputCal);
    auto *deviceBox = new QGroupBox(QStringLiteral("Devices"), this);
    deviceBox->setLayout(devices);

    // The stimulus.
    m_frequency = spin(this, "spnFrequency", measure::kStimulusHz, 1000, 2, QStringLiteral(" Hz"));
    m_level = spin(this, "spnLevel", measure::kStimulusDbfs, -12, 2, QString());
    m_levelUnits = new QComboBox(this);
    m_levelUnits->setObjectName(QStringLiteral("cboLevelUnit"));
    for (const char *unit : kUnits)
        m_levelUnits->addItem(QString::fromLatin1(unit));
    m_stimulusKind = new QComboBox(this);
    m_stimulusKind->setObjectName(QStringLiteral("cboStimulus"));
    for (const char *kind : kStimulusKinds)
        m_stimulusKind->addItem(QString::fromUtf8(kind));
    auto *level = new QHBoxLayout;
    level->addWidget(m_level, 1);
    level->addWidget(m_levelUnits);
    auto *stimulus = new QFormLayout;
    stimulus->addRow(QStringLiteral("Stimulus"), m_stimulusKind);
    stimulus->addRow(QStringLiteral("Frequency"), m_frequency);
    stimulus->addRow(QStringLiteral("Level"), level);
    auto *stimulusBox = new QGroupBox(QStringLiteral("Stimulus"), this);
    stimulusBox->setLayout(stimulus);
    auto *top = new QHBoxLayout;
    top->addWidget(deviceBox, 1);
    top->addWidget(stimulusBox, 1);

    // Live.
    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_start->setObjectName(QStringLiteral("cmdStart"));
    m_block = spin(this, "spnBlock", measure::kBlockSeconds, measure::LiveSettings().blockSeconds, 2,
                   QStringLiteral(" s"));
    m_averaging = new QComboBox(this);
    m_averaging->setObjectName(QStringLiteral("cboAveraging"));
    m_averaging->addItems({QStringLiteral("off"), QStringLiteral("4"), QStringLiteral("16"), QStringLiteral("64")});
    m_useInPlot = new QPushButton(QStringLiteral("Use in the plot"), this);
    m_useInPlot->setObjectName(QStringLiteral("cmdUse"));
    m_useInPlot->setEnabled(false);
    auto *liveBar = new QHBoxLayout;
    liveBar->addWidget(m_start);
    liveBar->addWidget(new QLabel(QStringLiteral("Block"), this));
    liveBar->addWidget(m_block);
    liveBar->addWidget(new QLabel(QStringLiteral("Averaging"), this));
    liveBar->addWidget(m_averaging);
    liveBar->addStretch(1);
    liveBar->addWidget(m_useInPlot);
    m_saveLivePng = new QPushButton(QStringLiteral("Save as PNG"), this);
    m_saveLivePng->setObjectName(QStringLiteral("cmdSaveLivePng"));
    m_saveLiveCsv = new QPushButton(QStringLiteral("Save as CSV"), this);
    m_saveLiveCsv->setObjectName(QStringLiteral("cmdSaveLiveCsv"));
    liveBar->addWidget(m_saveLivePng);
    liveBar->addWidget(m_saveLiveCsv);
    m_used = new QLabel(this);
    m_used->setObjectName(QStringLiteral("lblUsed"));
    m_used->setWordWrap(true);
    m_state = new QLabel(QStringLiteral("Stopped."), this);
    m_state->setObjectName(QStringLiteral("lblState"));
    m_figures = new QLabel(this);
    m_figures->setObjectName(QStringLiteral("lblFigures"));
    m_figures->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_harmonics = new QTableWidget(measure::kMeasuredHarmonics - 1, 4, this);
    m_harmonics->setObjectName(QStringLiteral("tblHarmonics"));
    m_harmonics->setHorizontalHeaderLabels(kHarmonicColumns);
    m_harmonics->verticalHeader()->hide();
    m_harmonics->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_harmonics->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    auto *readout = new QHBoxLayout;
    readout->addWidget(m_figures, 2);
    readout->addWidget(m_harmonics, 3);
    m_spectrum = plot(this, "plotSpectrum");
    m_spectrum->xAxis->setScaleType(QCPAxis::stLogarithmic);
    m_spectrum->xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    m_spectrum->xAxis->setLabel(QStringLiteral("Frequency (Hz)"));
    m_spectrum->yAxis->setLabel(QStringLiteral("dBFS"));
    m_residual = plot(this, "plotResidual");
    m_residual->xAxis->setLabel(QStringLiteral("Two periods of the fundamental"));
    m_residual->yAxis->setLabel(QStringLiteral("Residual (scaled)"));
    auto *plots = new QHBoxLayout;
    plots->addWidget(m_spectrum, 3);
    plots->addWidget(m_residual, 2);
    auto *live = new QWidget(this);
    auto *liveLayout = new QVBoxLayout(live);
    liveLayout->addLayout(liveBar);
    liveLayout->addWidget(m_used);
    liveLayout->addWidget(m_state);
    liveLayout->addLayout(readout);
    liveLayout->addLayout(plots, 1);

    // Sweeps.
    m_sweepKind = new QComboBox(this);
    m_sweepKind->setObjectName(QStringLiteral("cboSweep"));
    m_sweepKind->addItems({QStringLiteral("Distortion vs frequency"), QStringLiteral("Distortion vs level")});
    // One pair of fields for both kinds: from the lowest level to the highest frequency.
    const measure::Range anyStep{measure::kStimulusDbfs.low, measure::kStimulusHz.high};
    m_from = spin(this, "spnFrom", anyStep, measure::SweepPlan().from, 2, QString());
    m_to = spin(this, "spnTo", anyStep, measure::SweepPlan().to, 2, QString());
    m_perOctave = new QSpinBox(this);
    m_perOctave->setObjectName(QStringLiteral("spnPerOctave"));
    m_perOctave->setRange(int(measure::kPerOctave.low), int(measure::kPerOctave.high));
    m_perOctave->setValue(measure::SweepPlan().perOctave);
    m_step = spin(this, "spnStep", measure::kLevelStepDb, measure::SweepPlan().stepDb, 1, QStringLiteral(" dB"));
    m_settle = new QSpinBox(this);
    m_settle->setObjectName(QStringLiteral("spnSettle"));
    m_settle->setRange(int(measure::kSettleMs.low), int(measure::kSettleMs.high));
    m_settle->setValue(int(std::lround(measure::SweepTiming().settleSeconds * 1000)));
    m_settle->setSuffix(QStringLiteral(" ms"));
    connect(m_sweepKind, &QComboBox::currentIndexChanged, this, [this](int kind) {
        const bool level = kind == 1;
        const measure::SweepPlan plan = level ? measure::SweepPlan::levels() : measure::SweepPlan();
        m_from->setValue(plan.from);
        m_to->setValue(plan.to);
        m_perOctave->setEnabled(!level);
        m_step->setEnabled(level);
        m_from->setSuffix(level ? QStringLiteral(" dBFS") : QStringLiteral(" Hz"));
        m_to->setSuffix(m_from->suffix());
    });
    m_from->setSuffix(QStringLiteral(" Hz"));
    m_to->setSuffix(QStringLiteral(" Hz"));
    m_step->setEnabled(false);
    m_run = new QPushButton(QStringLiteral("Run Sweep"), this);
    m_run->setObjectName(QStringLiteral("cmdSweep"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("barSweep"));
    m_progress->setRange(0, Progress::kSteps);
    m_percent = new QCheckBox(QStringLiteral("in %"), this);
    m_percent->setObjectName(QStringLiteral("chkPercent"));
    m_keep = new QPushButton(QStringLiteral("Keep as reference"), this);
    m_keep->setObjectName(QStringLiteral("cmdKeepReference"));
    m_savePng = new QPushButton(QStringLiteral("Save as PNG"), this);
    m_savePng->setObjectName(QStringLiteral("cmdSavePng"));
    m_saveCsv = new QPushButton(QStringLiteral("Save as CSV"), this);
    m_saveCsv->setObjectName(QStringLiteral("cmdSaveCsv"));
    m_settleThdN = spin(this, "spnSettleThdN", measure::kSettleThdNDb, measure::Settling().thdNDb, 2, QStringLiteral(" dB"));
    m_settleLevel =
        spin(this, "spnSettleLevel", measure::kSettleLevelDb, measure::Settling().levelDb, 3, QStringLiteral(" dB"));
    // Every field with its label beside it, and the label's words as its accessible name.
    // Three to a row: what is swept, its steps, then how each step settles.
    auto *sweepBar = new QGridLayout;
    const std::pair<const char *, QWidget *> fields[] = {
        {"Sweep", m_sweepKind},      {"From", m_from},
        {"To", m_to},                {"Steps an octave", m_perOctave},
        {"Step", m_step},            {"Settling time", m_settle},
        {"Settled: THD+N within", m_settleThdN}, {"level within", m_settleLevel}};
    constexpr int kFieldsARow = 3;
    int at = 0;
    for (const auto &[text, field] : fields) {
        auto *label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(field);
        field->setAccessibleName(label->text());
        sweepBar->addWidget(label, at / kFieldsARow, 2 * (at % kFieldsARow), Qt::AlignRight);
        sweepBar->addWidget(field, at / kFieldsARow, 2 * (at % kFieldsARow) + 1);
        ++at;
    }
    sweepBar->addWidget(m_run, at / kFieldsARow, 2 * (at % kFieldsARow) + 1);
    auto *sweepTools = new QHBoxLayout;
    sweepTools->addWidget(m_progress, 1);
    sweepTools->addWidget(m_percent);
    sweepTools->addWidget(m_keep);
    sweepTools->addWidget(m_savePng);
    sweepTools->addWidget(m_saveCsv);
    m_sweepPlot = plot(this, "plotSweep");
    m_sweepPlot->legend->setVisible(true);
    // Low on the left: distortion rises to the right and upwards.
    m_sweepPlot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignBottom | Qt::AlignLeft);
    m_stepTable = new QTableWidget(0, 7, this);
    m_stepTable->setObjectName(QStringLiteral("tblSteps"));
    m_stepTable->setHorizontalHeaderLabels(kStepColumns);
    m_stepTable->verticalHeader()->hide();
    m_stepTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_stepTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    auto *sweep = new QWidget(this);
    auto *sweepLayout = new QVBoxLayout(sweep);
    sweepLayout->addLayout(sweepBar);
    sweepLayout->addLayout(sweepTools);
    sweepLayout->addWidget(m_sweepPlot, 3);
    sweepLayout->addWidget(m_stepTable, 2);

    ChirpPanel::Window hooks;
    hooks.devices = [this] { return chosenDevices(); };
    hooks.levelDbfs = [this] { return chosenLevelDbfs(); };
    hooks.save = [this](const QString &action, const QString &title, const QString &filter, const QString &proposed,
                        const std::function<bool(QIODevice &)> &write) { save(action, title, filter, proposed, write); };
    hooks.fail = [this](const QString &action, const QString &why) { fail(action, why); };
    hooks.openDialog = &m_saveDialog;
    m_chirp = new ChirpPanel(std::move(hooks), this);
    auto *sweepKinds = new QTabWidget(this);
    sweepKinds->setObjectName(QStringLiteral("tabSweeps"));
    sweepKinds->addTab(sweep, QStringLiteral("Stepped sine"));
    sweepKinds->addTab(m_chirp, QStringLiteral("Distortion and response (one sweep)"));

    auto *tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabMeasure"));
    tabs->addTab(live, QStringLiteral("Live"));
    tabs->addTab(sweepKinds, QStringLiteral("Sweeps"));
    // In a scroll area: on a small screen (a 1366 x 768 laptop) all of it is still there.
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    layout->addLayout(top);
    layout->addWidget(tabs, 1);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("scrMeasure"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    connect(m_start, &QPushButton::clicked, this, &MeasureWindow::startOrStop);
    connect(m_run, &QPushButton::clicked, this, &MeasureWindow::runOrCancelSweep);
    connect(m_frequency, &QDoubleSpinBox::valueChanged, this, &MeasureWindow::stimulusChanged);
    connect(m_level, &QDoubleSpinBox::valueChanged, this, &MeasureWindow::stimulusChanged);
    connect(m_stimulusKind, &QComboBox::currentIndexChanged, this, [this] {
        // The sine's frequency is typed; the controls give theirs, the two tones are the method's.
        m_frequency->setEnabled(m_stimulusKind->currentIndex() == kSine);
        m_level->setEnabled(m_stimulusKind->currentIndex() != kSilence);
        stimulusChanged();
    });
    connect(m_levelUnits, &QComboBox::currentIndexChanged, this, &MeasureWindow::levelUnitChanged);
    connect(m_outputCal, &QDoubleSpinBox::valueChanged, this, [this] {
        // Volts need a calibration: without one the level is typed in dBFS.
        if (!volts(m_outputCal))
            m_levelUnits->setCurrentIndex(0);
        for (int unit = 1; unit < m_levelUnits->count(); ++unit)
            qobject_cast<QStandardItemModel *>(m_levelUnits->model())->item(unit)->setEnabled(volts(m_outputCal).has_value());
    });
    emit m_outputCal->valueChanged(0);
    const auto settingsChanged = [this] {
        if (m_meter)
            m_meter->setSettings(liveSettings());
    };
    connect(m_averaging, &QComboBox::currentIndexChanged, this, settingsChanged);
    connect(m_block, &QDoubleSpinBox::valueChanged, this, settingsChanged);
    connect(m_settleThdN, &QDoubleSpinBox::valueChanged, this, settingsChanged);
    connect(m_settleLevel, &QDoubleSpinBox::valueChanged, this, settingsChanged);
    // A device changed while live is taken at once: the stream starts again on it.
    connect(m_output, &QComboBox::activated, this, &MeasureWindow::offerMonitor);
    for (QComboBox *device : {m_output, m_input})
        connect(device, &QComboBox::activated, this, &MeasureWindow::restartLive);
    connect(m_channel, &QSpinBox::valueChanged, this, &MeasureWindow::restartLive);
    connect(m_useInPlot, &QPushButton::clicked, this, [this] {
        if (!measure::hasFigures(m_shown.state))
            return;
        const analysis::PlotValues values = analysis::plotValuesOf(m_shown.result);
        emit useInPlot(values);
        m_used->setText(values.note());
    });
    connect(m_percent, &QCheckBox::toggled, this, &MeasureWindow::plotSweep);
    connect(m_keep, &QPushButton::clicked, this, [this] {
        m_reference = m_steps;
        m_referenceByLevel = m_stepsByLevel;
        plotSweep();
    });
    connect(m_savePng, &QPushButton::clicked, this, &MeasureWindow::saveAsPng);
    connect(m_saveLivePng, &QPushButton::clicked, this, &MeasureWindow::saveLiveAsPng);
    connect(m_saveLiveCsv, &QPushButton::clicked, this, &MeasureWindow::saveLiveAsCsv);
    connect(m_saveCsv, &QPushButton::clicked, this, &MeasureWindow::saveAsCsv);
    connect(m_chirp, &ChirpPanel::useInPlot, this, &MeasureWindow::useInPlot);
    // One measurement on the devices at a time.
    connect(m_chirp, &ChirpPanel::runningChanged, this, [this](bool running) {
        if (running)
            stopLive();
        m_start->setEnabled(!running);
        m_run->setEnabled(!running);
    });
}

void MeasureWindow::refreshDevices()
{
    m_output->clear();
    m_input->clear();
    m_monitors.clear();
    if (m_simulated) {
        m_output->addItem(QStringLiteral("Simulated output"));
        m_input->addItem(QStringLiteral("Simulated input"));
        return;
    }
    // The system's defaults first, as "" asks for them; then every device by
    // name, once the sound system has answered: a server that does not answer
    // never holds the window.
    m_output->addItem(QStringLiteral("(the system's default)"), QString());
    m_input->addItem(QStringLiteral("(the system's default)"), QString());
    m_listing.setFuture(QtConcurrent::run(&waitingPool(), [] {
        Listing listing;
        try {
            listing.devices = audiodevice::listDevices().devices;
        } catch (const audiodevice::NoAnswer &error) {
            listing.error = QString::fromUtf8(error.what());
        }
        return listing;
    }));
}

void MeasureWindow::offerMonitor()
{
    // The chosen output's monitor becomes the input, unless the user chose an
    // input of their own (a card's line in, looped back by a cable).
    const QString current = m_input->currentData().toString();
    if (!current.isEmpty() && !m_monitors.contains(current))
        return;
    const int monitor = m_input->findData(m_output->currentData(kMonitorRole));
    if (monitor > 0)
        m_input->setCurrentIndex(monitor);
}

void MeasureWindow::showDevices(const Listing &listing)
{
    if (m_simulated)
        return;
    // Each device goes by the server's own name where it has one: two of one
    // description are two devices.
    for (const audiodevice::Device &device : listing.devices) {
        const QString name = QString::fromStdString(device.name);
        const QString id = QString::fromStdString(device.id.empty() ? device.name : device.id);
        if (device.outputChannels > 0) {
            m_output->addItem(name, id);
            m_output->setItemData(m_output->count() - 1, QString::fromStdString(device.monitor), kMonitorRole);
            m_monitors.insert(QString::fromStdString(device.monitor));
        }
        if (device.inputChannels > 0)
            m_input->addItem(name, id);
    }
    if (!listing.error.isEmpty() && !isLive())
        showState(QStringLiteral("No devices listed: %1.").arg(listing.error));
}

measure::Devices MeasureWindow::chosenDevices() const
{
    measure::Devices devices;
    devices.output = m_output->currentData().toString().toStdString();
    devices.input = m_input->currentData().toString().toStdString();
    devices.channel = m_channel->value();
    devices.standIn = m_simulated;
    return devices;
}

double MeasureWindow::chosenLevelDbfs() const
{
    const std::optional<double> cal = volts(m_outputCal);
    const auto unit = static_cast<measure::LevelUnit>(cal ? m_levelUnits->currentIndex() : 0);
    return std::clamp(measure::dbfsOf(m_level->value(), unit, cal.value_or(1)), measure::kStimulusDbfs.low,
                      measure::kStimulusDbfs.high);
}

measure::Stimulus MeasureWindow::chosenStimulus() const
{
    const int kind = m_stimulusKind->currentIndex();
    if (kind == kSilence)
        return measure::silence();
    if (kind >= kSmpte)
        return measure::twoToneStimulus(twotone::standard(twotone::Method(kind - kSmpte)), chosenLevelDbfs());
    measure::Stimulus stimulus = measure::sine(m_frequency->value(), chosenLevelDbfs());
    if (kind == kControls) {
        stimulus.tone = m_controlsTone();
        stimulus.tone.frequencyHz = std::max(measure::kLowestStimulusHz, stimulus.tone.frequencyHz);
    }
    return stimulus;
}

void MeasureWindow::levelUnitChanged()
{
    // The same level in the new unit; volts need a calibration.
    const std::optional<double> cal = volts(m_outputCal);
    if (!cal && m_levelUnits->currentIndex() != 0) {
        m_levelUnits->setCurrentIndex(0);
        return;
    }
    const auto before = static_cast<measure::LevelUnit>(m_levelUnit);
    const double dbfs = measure::dbfsOf(m_level->value(), before, cal.value_or(1));
    m_levelUnit = m_levelUnits->currentIndex();
    const measure::Volts v = measure::voltsOf(dbfs, cal.value_or(1));
    const QSignalBlocker quiet(m_level);
    switch (static_cast<measure::LevelUnit>(m_levelUnit)) {
    case measure::LevelUnit::Dbfs:
        m_level->setRange(measure::kLowestStimulusDbfs, 0);
        m_level->setDecimals(2);
        m_level->setValue(dbfs);
        break;
    case measure::LevelUnit::VoltsRms:
        m_level->setRange(measure::voltsOf(measure::kLowestStimulusDbfs, *cal).rms, *cal);
        m_level->setDecimals(6);
        m_level->setValue(v.rms);
        break;
    case measure::LevelUnit::Dbv:
        m_level->setRange(measure::voltsOf(measure::kLowestStimulusDbfs, *cal).dbv, measure::voltsOf(0, *cal).dbv);
        m_level->setDecimals(2);
        m_level->setValue(v.dbv);
        break;
    case measure::LevelUnit::Dbu:
        m_level->setRange(measure::voltsOf(measure::kLowestStimulusDbfs, *cal).dbu, measure::voltsOf(0, *cal).dbu);
        m_level->setDecimals(2);
        m_level->setValue(v.dbu);
        break;
    }
}

void MeasureWindow::startOrStop()
{
    if (isLive()) {
        stopLive();
        return;
    }
    m_start->setText(QStringLiteral("Stop"));
    m_run->setEnabled(false);
    showState(QStringLiteral("Starting…"));
    // Opening may wait for the sound system: never on the window's thread.
    const measure::Devices devices = chosenDevices();
    const measure::Stimulus stimulus = chosenStimulus();
    const measure::LiveSettings settings = liveSettings();
    m_openFailure.clear();
    m_opened = std::make_shared<std::shared_ptr<measure::LiveMeter>>();
    m_opening.setFuture(QtConcurrent::run(&waitingPool(), [this, opened = m_opened, devices, stimulus, settings] {
        try {
            *opened = std::make_shared<measure::LiveMeter>(devices, stimulus, settings);
        } catch (const measure::MeasureError &error) {
            m_openFailure = QString::fromUtf8(error.what()); // read once the future has finished
        }
    }));
}

void MeasureWindow::stopLive()
{
    m_tick.stop();
    // A reading still under way holds the meter until it ends.
    m_meter.reset();
    m_start->setText(QStringLiteral("Start"));
    m_run->setEnabled(true);
    // The last readout stays, under "Stopped.", to be used or saved.
    showState(QStringLiteral("Stopped."));
}

void MeasureWindow::restartLive()
{
    if (!m_meter)
        return;
    stopLive();
    startOrStop();
}

measure::LiveSettings MeasureWindow::liveSettings() const
{
    measure::LiveSettings settings;
    settings.blockSeconds = m_block->value();
    const int averaging = m_averaging->currentIndex();
    settings.averaging = averaging == 0 ? 1 : std::size_t(1) << (2 * averaging);
    settings.settling.thdNDb = m_settleThdN->value();
    settings.settling.levelDb = m_settleLevel->value();
    return settings;
}

void MeasureWindow::stimulusChanged()
{
    if (!m_meter)
        return;
    m_meter->setStimulus(chosenStimulus());
    // The figures of the last stimulus go at once: they are no longer what is measured.
    m_shown = {};
    clearLive();
    showState(QString::fromUtf8(measure::stateText(measure::State::Settling)) + QStringLiteral(": a new stimulus"));
}

void MeasureWindow::controlsChanged()
{
    if (m_stimulusKind->currentIndex() == kControls)
        stimulusChanged();
}

void MeasureWindow::tick()
{
    if (!m_meter || m_analysing.isRunning())
        return; // the last block is still being read: this one is skipped
    m_analysing.setFuture(QtConcurrent::run([meter = m_meter] {
        LiveResult result;
        try {
            result.live = meter->read(true);
        } catch (const measure::MeasureError &error) {
            result.error = QString::fromUtf8(error.what());
        }
        return result;
    }));
}

QString MeasureWindow::levelText(double dbfs, const std::optional<double> &cal) const
{
    QString text = QStringLiteral("%1 dBFS").arg(figureText(dbfs, 2));
    if (cal) {
        const measure::Volts v = measure::voltsOf(dbfs, *cal);
        text += QStringLiteral(" (%1 V rms, %2 dBV, %3 dBu)")
                    .arg(figureText(v.rms, 6), figureText(v.dbv, 2), figureText(v.dbu, 2));
    }
    return text;
}

void MeasureWindow::showLive(const LiveResult &result)
{
    if (!result.error.isEmpty()) {
        stopLive();
        showState(result.error.contains(QStringLiteral("stopped working")) ? QStringLiteral("output lost")
                                                                          : QStringLiteral("Stopped."));
        fail(QStringLiteral("Measuring"), result.error);
        return;
    }
    const measure::LiveReading &live = result.live;
    const measure::Reading &shown = live.reading;
    m_shown = shown;
    const bool measured = measure::hasFigures(shown.state);
    m_useInPlot->setEnabled(measured);
    // States, not numbers, where numbers would lie; never the figures of an older block.
    if (!measured) {
        showState(QString::fromUtf8(measure::stateText(shown.state)) +
                  (shown.why.empty() ? QString() : QStringLiteral(": ") + QString::fromStdString(shown.why)));
        clearLive();
        return;
    }
    showState(shown.state == measure::State::Overload
                  ? QStringLiteral("input overload: %1 samples at the converter's limits").arg(shown.overloaded)
                  : QStringLiteral("Measuring: %1 of %2 blocks averaged")
                        .arg(live.averaged)
                        .arg(liveSettings().averaging));
    const std::optional<double> inputCal = volts(m_inputCal), outputCal = volts(m_outputCal);
    m_useInPlot->setEnabled(shown.stimulus.kind() == measure::Stimulus::Kind::Tone);
    m_harmonics->setRowCount(measure::kMeasuredHarmonics - 1);
    m_harmonics->setHorizontalHeaderLabels(kHarmonicColumns);
    m_harmonics->clearContents();
    if (shown.stimulus.kind() != measure::Stimulus::Kind::Tone) {
        showOtherFigures(shown, inputCal);
        plotSpectrum(shown);
        m_residual->clearGraphs();
        m_residual->replot();
        return;
    }
    const analysis::Analysis &r = shown.result;
    m_figures->setText(QStringLiteral("Stimulus     %1 Hz, %2\nFundamental  %3 Hz, %4\nTHD_F        %5 %  (%6 dB)\n"
                                      "THD_R        %7 %\nTHD+N        %8 %  (%9 dB)\nSINAD        %10 dB")
                           .arg(figureText(shown.stimulus.frequencyHz(), 2), levelText(shown.stimulus.peakDbfs, outputCal),
                                figureText(r.fundamentalHz, 3), levelText(r.fundamentalDbfs, inputCal),
                                figureText(r.thdF * 100, 4), figureText(dsp::decibels(r.thdF), 2), figureText(r.thdR * 100, 4),
                                figureText(r.thdN * 100, 4), figureText(dsp::decibels(r.thdN), 2))
                           .arg(figureText(-dsp::decibels(r.thdN), 2)));
    for (std::size_t k = 0; k < r.harmonics.size() && int(k) < m_harmonics->rowCount(); ++k) {
        const analysis::Harmonic &h = r.harmonics[k];
        const QStringList cells = {QString::number(h.n), h.present ? figureText(h.levelPercent, 4) : QStringLiteral("absent"),
                                   h.present ? figureText(h.dbc, 2) : QString(),
                                   h.present ? figureText(analysis::roundedPhase(h.phaseDegrees, 1), 1) : QString()};
        for (int column = 0; column < cells.size(); ++column)
            m_harmonics->setItem(int(k), column, new QTableWidgetItem(cells[column]));
    }
    // The spectrum of the newest block; the residual scaled to fill its view.
    plotSpectrum(shown);
    m_residual->clearGraphs();
    QCPGraph *residual = m_residual->addGraph();
    double largest = 0;
    QVector<double> x, y;
    for (std::size_t i = 0; i < live.residual.size(); ++i) {
        x.append(double(i));
        y.append(live.residual[i]);
        largest = std::max(largest, std::fabs(live.residual[i]));
    }
    residual->setData(x, y, true);
    m_residual->xAxis->setRange(0, std::max<double>(1, double(live.residual.size())));
    m_residual->yAxis->setRange(-std::max(largest, 1e-12), std::max(largest, 1e-12));
    m_residual->replot();
}

void MeasureWindow::plotSpectrum(const measure::Reading &shown)
{
    m_spectrum->clearGraphs();
    QCPGraph *spectrum = m_spectrum->addGraph();
    const analysis::MagnitudeSpectrum &s = shown.spectrum;
    spectrum->setData(QVector<double>(s.frequencyHz.begin(), s.frequencyHz.end()),
                      QVector<double>(s.dbfs.begin(), s.dbfs.end()), true);
    spectrum->setPen(QPen(QColor(0, 110, 0)));
    // Two tones: each product the figures take, marked where it was read.
    if (shown.stimulus.kind() == measure::Stimulus::Kind::TwoTone) {
        QCPGraph *marks = m_spectrum->addGraph();
        marks->setObjectName(QStringLiteral("products"));
        marks->setLineStyle(QCPGraph::lsNone);
        marks->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, Qt::red, 7));
        for (const analysis::Product &product : shown.imd.products)
            if (product.present)
                marks->addData(product.frequencyHz, std::max(kFloorDbfs, dsp::decibels(product.amplitude)));
    }
    const double rate = shown.stimulus.kind() == measure::Stimulus::Kind::TwoTone  ? shown.imd.sampleRate
                        : shown.stimulus.kind() == measure::Stimulus::Kind::Silence ? shown.noise.sampleRate
                                                                                     : shown.result.sampleRate;
    m_spectrum->xAxis->setRange(10, rate / 2);
    m_spectrum->yAxis->setRange(kFloorDbfs, 12);
    m_spectrum->replot();
}

void MeasureWindow::showOtherFigures(const measure::Reading &shown, const std::optional<double> &inputCal)
{
    const std::optional<double> outputCal = volts(m_outputCal);
    if (shown.stimulus.kind() == measure::Stimulus::Kind::Silence) {
        const analysis::Noise &n = shown.noise;
        const auto inVolts = [&](double dbfs) {
            if (!inputCal || !std::isfinite(dbfs))
                return QString();
            const measure::Volts v = measure::voltsOf(dbfs, *inputCal);
            return QStringLiteral(" (%1 dBV, %2 dBu)").arg(figureText(v.dbv, 2), figureText(v.dbu, 2));
        };
        m_figures->setText(QStringLiteral("Stimulus     silence\nNoise        %1 dBFS%2, %3 to %4 Hz\n"
                                          "A-weighted   %5 dBFS%6\nPeak         %7 dBFS")
                               .arg(figureText(n.noiseDbfs, 2), inVolts(n.noiseDbfs), figureText(n.bandLowHz, 0),
                                    figureText(n.bandHighHz, 0), figureText(n.noiseADbfs, 2), inVolts(n.noiseADbfs),
                                    figureText(n.peakDbfs, 2)));
        return;
    }
    const analysis::Intermodulation &r = shown.imd;
    const twotone::TwoTone &tones = *shown.stimulus.twoTone;
    const analysis::ImdFigures &f = r.figures, &floor = r.floor;
    const auto figure = [](const char *name, double percent, double floorPercent) {
        return QStringLiteral("\n%1 %2 %  (%3 dB; the noise alone %4 dB)")
            .arg(QString::fromLatin1(name), -12)
            .arg(figureText(percent, 4), figureText(dsp::decibels(percent / 100), 2),
                 figureText(dsp::decibels(floorPercent / 100), 2));
    };
    QString text = QStringLiteral("Stimulus     %1, %2 and %3 Hz, %4\nf1           %5 Hz, %6\nf2           %7 Hz, %8")
                       .arg(QString::fromLatin1(twotone::nameOf(tones.method)).toUpper(), figureText(tones.f1Hz, 0),
                            figureText(tones.f2Hz, 0), levelText(shown.stimulus.peakDbfs, outputCal),
                            figureText(r.f1.frequencyHz, 3), levelText(dsp::decibels(r.f1.amplitude), inputCal),
                            figureText(r.f2.frequencyHz, 3), levelText(dsp::decibels(r.f2.amplitude), inputCal));
    if (tones.modulation())
        text += figure("IMD", f.imdPercent, floor.imdPercent) + figure("IMD d2", f.imdD2Percent, floor.imdD2Percent) +
                figure("IMD d3", f.imdD3Percent, floor.imdD3Percent);
    else
        text += figure("DFD d2", f.dfdD2Percent, floor.dfdD2Percent) + figure("DFD d3", f.dfdD3Percent, floor.dfdD3Percent);
    m_figures->setText(text);
    m_harmonics->setHorizontalHeaderLabels(kProductColumns);
    m_harmonics->setRowCount(int(r.products.size()));
    for (std::size_t k = 0; k < r.products.size(); ++k) {
        const analysis::Product &product = r.products[k];
        const double share = product.amplitude / r.f2.amplitude;
        const QStringList cells = {QString::fromStdString(product.label),
                                   product.present ? figureText(100 * share, 5) : QStringLiteral("absent"),
                                   product.present ? figureText(dsp::decibels(share), 2) : QString(),
                                   figureText(product.frequencyHz, 1)};
        for (int column = 0; column < cells.size(); ++column)
            m_harmonics->setItem(int(k), column, new QTableWidgetItem(cells[column]));
    }
}

void MeasureWindow::clearLive()
{
    m_figures->clear();
    m_harmonics->clearContents();
    m_spectrum->clearGraphs();
    m_residual->clearGraphs();
    m_spectrum->replot();
    m_residual->replot();
    m_useInPlot->setEnabled(false);
}

void MeasureWindow::showState(const QString &state)
{
    m_state->setText(state);
}

void MeasureWindow::runOrCancelSweep()
{
    if (m_sweeping) {
        m_sweep.cancel();
        return;
    }
    measure::SweepPlan plan = m_sweepKind->currentIndex() == 1 ? measure::SweepPlan::levels() : measure::SweepPlan();
    plan.from = m_from->value();
    plan.to = m_to->value();
    plan.perOctave = m_perOctave->value();
    plan.stepDb = m_step->value();
    const measure::Stimulus base = chosenStimulus();
    if (base.silent || (base.twoTone && m_sweepKind->currentIndex() != 1)) {
        fail(QStringLiteral("Measuring"), base.silent ? QStringLiteral("silence is measured live, not swept")
                                                      : QStringLiteral("two tones are swept in level: choose a level sweep"));
        return;
    }
    m_stepTable->setHorizontalHeaderLabels(
        base.twoTone ? QStringList{QStringLiteral("f1 Hz"), QStringLiteral("dBFS"), QStringLiteral("State"),
                                   QStringLiteral("f2 dBFS"), QStringLiteral("d2 dB"),
                                   QString::fromLatin1(base.twoTone->modulation() ? "IMD dB" : "DFD dB"),
                                   QStringLiteral("Clipped")}
                     : kStepColumns);
    const std::vector<measure::Stimulus> steps = plan.steps(base);
    if (steps.empty()) {
        fail(QStringLiteral("Measuring"), QStringLiteral("the sweep has no steps: check its start and end"));
        return;
    }
    m_steps.clear();
    m_stepsByLevel = m_sweepKind->currentIndex() == 1;
    m_stepTable->setRowCount(0);
    plotSweep();
    m_progress->setValue(0);
    m_run->setText(QStringLiteral("Cancel"));
    m_start->setEnabled(false);
    m_chirp->setEnabled(false);
    measure::SweepTiming timing;
    timing.settleSeconds = m_settle->value() / 1000.0;
    timing.settling.thdNDb = m_settleThdN->value();
    timing.settling.levelDb = m_settleLevel->value();
    const measure::Devices devices = chosenDevices();
    m_sweeping = true;
    m_sweep.setFuture(QtConcurrent::run(&waitingPool(), [devices, steps, timing](QPromise<SweepEvent> &promise) {
        const Progress progress(promise);
        try {
            measure::Session session(devices, steps.front());
            measure::sweep(session, steps, timing, &progress,
                           [&](const measure::Reading &step) { promise.addResult(SweepEvent{step, QString()}); });
        } catch (const measure::MeasureError &error) {
            promise.addResult(SweepEvent{std::nullopt, QString::fromUtf8(error.what())});
        } catch (const Progress::Cancelled &) {
        }
    }));
}

void MeasureWindow::addStep(const measure::Reading &step)
{
    m_steps.push_back(step);
    const int row = m_stepTable->rowCount();
    m_stepTable->insertRow(row);
    const bool measured = measure::hasFigures(step.state);
    // Two tones: f2's level, d2 and the method's figure where a tone has its fundamental, THD_F and THD+N.
    const double second = step.stimulus.twoTone ? sweepFraction(step, 1) : step.result.thdF;
    const QStringList cells = {figureText(step.stimulus.frequencyHz(), 2), figureText(step.stimulus.peakDbfs, 2),
                               QString::fromUtf8(measure::stateText(step.state)),
                               measured ? figureText(measure::levelDb(step), 2) : QString(),
                               measured ? figureText(dsp::decibels(second), 2) : QString(),
                               measured ? figureText(measure::figureDb(step), 2) : QString(),
                               QString::number(step.overloaded)};
    for (int column = 0; column < cells.size(); ++column)
        m_stepTable->setItem(row, column, new QTableWidgetItem(cells[column]));
    plotSweep();
}

void MeasureWindow::plotSweep()
{
    const bool percent = m_percent->isChecked();
    // The axes follow the sweep shown, whatever the sweep's controls now say;
    // a reference is drawn only beside a sweep of its own kind.
    const bool byLevel = m_stepsByLevel;
    const bool withReference = !m_reference.empty() && m_referenceByLevel == byLevel;
    m_sweepPlot->clearGraphs();
    const QColor colours[] = {Qt::black, Qt::red, Qt::blue, QColor(0, 140, 0), Qt::magenta, QColor(200, 120, 0)};
    const auto xOf = [byLevel](const measure::Reading &step) {
        return byLevel ? step.stimulus.peakDbfs : step.stimulus.frequencyHz();
    };
    double xLow = HUGE_VAL, xHigh = -HUGE_VAL, yLow = HUGE_VAL, yHigh = -HUGE_VAL;
    const auto draw = [&](const std::vector<measure::Reading> &steps, bool reference) {
        for (int curve = 0; curve < 2 + kSweepHarmonics - 1; ++curve) {
            QCPGraph *graph = m_sweepPlot->addGraph();
            const QString name = steps.empty() ? QString() : sweepCurveName(steps.front(), curve);
            graph->setName(reference ? QStringLiteral("reference (dashed)") : name);
            QPen pen(colours[curve]);
            if (reference) {
                pen.setStyle(Qt::DashLine);
                if (curve > 0)
                    graph->removeFromLegend();
            }
            graph->setPen(pen);
            for (const measure::Reading &step : steps) {
                xLow = std::min(xLow, xOf(step));
                xHigh = std::max(xHigh, xOf(step));
                // A step in a state breaks the line: it is marked apart.
                if (!measure::hasFigures(step.state)) {
                    graph->addData(xOf(step), std::nan(""));
                    continue;
                }
                const double fraction = sweepFraction(step, curve);
                if (fraction > 0 && std::isfinite(fraction)) {
                    const double y = shown(fraction, percent);
                    graph->addData(xOf(step), y);
                    yLow = std::min(yLow, y);
                    yHigh = std::max(yHigh, y);
                }
            }
        }
    };
    draw(m_steps, false);
    if (withReference)
        draw(m_reference, true);
    if (!(xLow <= xHigh)) {
        xLow = byLevel ? -40 : 20;
        xHigh = byLevel ? 0 : 20000;
    }
    if (!(yLow <= yHigh)) {
        yLow = percent ? 1e-3 : -120;
        yHigh = percent ? 100 : 0;
    }
    // Some room around what is drawn: a factor on logarithmic axes, a few dB on linear ones.
    if (byLevel)
        m_sweepPlot->xAxis->setRange(xLow - 1, xHigh + 1);
    else
        m_sweepPlot->xAxis->setRange(xLow / 1.2, xHigh * 1.2);
    if (percent)
        m_sweepPlot->yAxis->setRange(yLow / 2, yHigh * 2);
    else
        m_sweepPlot->yAxis->setRange(yLow - 5, yHigh + 5);
    // Steps in a state: a cross on the plot's floor where each lies.
    QCPGraph *states = m_sweepPlot->addGraph();
    states->setName(QStringLiteral("not measured (x)"));
    states->setLineStyle(QCPGraph::lsNone);
    states->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCross, Qt::red, 9));
    for (const measure::Reading &step : m_steps)
        if (!measure::hasFigures(step.state))
            states->addData(xOf(step), m_sweepPlot->yAxis->range().lower);
    if (states->dataCount() == 0)
        states->removeFromLegend();
    m_sweepPlot->xAxis->setScaleType(byLevel ? QCPAxis::stLinear : QCPAxis::stLogarithmic);
    if (byLevel)
        m_sweepPlot->xAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    else
        m_sweepPlot->xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    m_sweepPlot->yAxis->setScaleType(percent ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    if (percent)
        m_sweepPlot->yAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    else
        m_sweepPlot->yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    m_sweepPlot->xAxis->setLabel(byLevel ? QStringLiteral("Stimulus (dBFS)") : QStringLiteral("Frequency (Hz)"));
    m_sweepPlot->yAxis->setLabel(percent ? QStringLiteral("%") : QStringLiteral("dB"));
    m_sweepPlot->replot();
}

void MeasureWindow::save(const QString &action, const QString &title, const QString &filter,
                         const QString &proposed, const std::function<bool(QIODevice &)> &write)
{
    const auto name = m_saveDialog.chooseSave(this, title, filter, proposed);
    if (!name)
        return;
    try {
        saveWhole(*name, write);
    } catch (const QuenlariError &error) {
        fail(action, QString::fromUtf8(error.what()));
    }
}

void MeasureWindow::saveAsPng()
{
    const QPixmap picture = m_sweepPlot->toPixmap(kPngWidth, kPngHeight);
    save(QStringLiteral("Saving the sweep"), QStringLiteral("Save the Sweep as PNG"),
         QStringLiteral("PNG picture  (*.png)|*.png"), QDir::home().filePath(QStringLiteral("quenlari-sweep.png")),
         [&](QIODevice &file) { return picture.save(&file, "PNG"); });
}

void MeasureWindow::saveLiveAsPng()
{
    // The spectrum above, the residual below, as they stand.
    const QPixmap spectrum = m_spectrum->toPixmap(kPngWidth, kPngHeight / 2);
    const QPixmap residual = m_residual->toPixmap(kPngWidth, kPngHeight / 2);
    QImage picture(kPngWidth, kPngHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        painter.drawPixmap(0, 0, spectrum);
        painter.drawPixmap(0, kPngHeight / 2, residual);
    }
    save(QStringLiteral("Saving the live readout"), QStringLiteral("Save the Live Readout as PNG"),
         QStringLiteral("PNG picture  (*.png)|*.png"), QDir::home().filePath(QStringLiteral("quenlari-live.png")),
         [&](QIODevice &file) { return picture.save(&file, "PNG"); });
}

void MeasureWindow::saveLiveAsCsv()
{
    // What the readout shows: its figures, then a row for each harmonic; a
    // state alone where it shows no figures.
    const measure::Reading &shown = m_shown;
    const analysis::Analysis &r = shown.result;
    const bool measured = measure::hasFigures(shown.state);
    const auto value = [](double x) { return std::isfinite(x) ? QByteArray::number(x, 'g', 10) : QByteArray(); };
    QByteArray text("quantity,value\n");
    text += "state," + QByteArray(measure::stateText(shown.state)) + '\n';
    text += "stimulus_hz," + value(shown.stimulus.frequencyHz()) + "\nstimulus_dbfs," + value(shown.stimulus.peakDbfs) + '\n';
    if (measured && shown.stimulus.silent) {
        text += "noise_dbfs," + value(shown.noise.noiseDbfs) + "\nnoise_a_dbfs," + value(shown.noise.noiseADbfs) + '\n';
    } else if (measured && shown.stimulus.twoTone) {
        const analysis::Intermodulation &imd = shown.imd;
        text += "f1_hz," + value(imd.f1.frequencyHz) + "\nf1_dbfs," + value(dsp::decibels(imd.f1.amplitude)) +
                "\nf2_hz," + value(imd.f2.frequencyHz) + "\nf2_dbfs," + value(dsp::decibels(imd.f2.amplitude)) + '\n';
        for (int curve = 0; curve < 3; ++curve)
            text += sweepCurveName(shown, curve).toLower().replace(QLatin1Char(' '), QLatin1Char('_')).toUtf8() +
                    "_percent," + value(100 * sweepFraction(shown, curve)) + '\n';
        text += "\nproduct,frequency_hz,percent_of_f2\n";
        for (const analysis::Product &product : imd.products)
            text += QByteArray::fromStdString(product.label) + ',' + value(product.frequencyHz) + ',' +
                    (product.present ? value(100 * product.amplitude / imd.f2.amplitude) : QByteArray()) + '\n';
    } else if (measured) {
        const std::pair<const char *, double> figures[] = {
            {"fundamental_hz", r.fundamentalHz}, {"fundamental_dbfs", r.fundamentalDbfs},
            {"thd_f_percent", r.thdF * 100},     {"thd_r_percent", r.thdR * 100},
            {"thd_n_percent", r.thdN * 100},     {"sinad_db", r.thdN > 0 ? -dsp::decibels(r.thdN) : std::nan("")},
            {"clipped_samples", double(r.clippedSamples)}};
        for (const auto &[name, x] : figures)
            text += QByteArray(name) + ',' + value(x) + '\n';
        text += "\nharmonic,level_percent,dbc,phase_degrees\n";
        for (const analysis::Harmonic &h : r.harmonics)
            if (h.present)
                text += QByteArray::number(h.n) + ',' + value(h.levelPercent) + ',' + value(h.dbc) + ',' +
                        value(analysis::roundedPhase(h.phaseDegrees, 6)) + '\n';
    }
    save(QStringLiteral("Saving the live readout"), QStringLiteral("Save the Live Readout as CSV"),
         QStringLiteral("CSV table  (*.csv)|*.csv"), QDir::home().filePath(QStringLiteral("quenlari-live.csv")),
         [&](QIODevice &file) { return file.write(text) == text.size(); });
}

void MeasureWindow::saveAsCsv()
{
    const auto saveSweep = [this](const QByteArray &text) {
        save(QStringLiteral("Saving the sweep"), QStringLiteral("Save the Sweep as CSV"),
             QStringLiteral("CSV table  (*.csv)|*.csv"), QDir::home().filePath(QStringLiteral("quenlari-sweep.csv")),
             [&](QIODevice &file) { return file.write(text) == text.size(); });
    };
    const auto value = [](double x) { return std::isfinite(x) ? QByteArray::number(x, 'g', 10) : QByteArray(); };
    // Two tones against level: f2's level and the method's three (or two) figures a step.
    if (!m_steps.empty() && m_steps.front().stimulus.twoTone) {
        QByteArray text("stimulus_dbfs,state,f1_hz,f2_hz,f2_dbfs");
        for (int curve = 0; curve < 3; ++curve)
            text += ',' + sweepCurveName(m_steps.front(), curve).toLower().replace(QLatin1Char(' '), QLatin1Char('_')).toUtf8() + "_percent";
        text += ",clipped_samples\n";
        for (const measure::Reading &step : m_steps) {
            const bool measured = measure::hasFigures(step.state);
            QByteArrayList row = {value(step.stimulus.peakDbfs), QByteArray(measure::stateText(step.state)),
                                  value(step.stimulus.twoTone->f1Hz), value(step.stimulus.twoTone->f2Hz),
                                  measured ? value(measure::levelDb(step)) : QByteArray()};
            for (int curve = 0; curve < 3; ++curve)
                row << (measured ? value(100 * sweepFraction(step, curve)) : QByteArray());
            row << QByteArray::number(static_cast<qint64>(step.overloaded));
            text += row.join(',') + '\n';
        }
        saveSweep(text);
        return;
    }
    // The decimal point whatever the user's locale, so any program reads it.
    QByteArray text("stimulus_hz,stimulus_dbfs,state,fundamental_hz,fundamental_dbfs,thd_f_percent,thd_r_percent,"
                    "thd_n_percent,sinad_db");
    for (int n = 2; n <= measure::kMeasuredHarmonics; ++n)
        text += ",h" + QByteArray::number(n) + "_percent,h" + QByteArray::number(n) + "_phase_degrees";
    text += ",clipped_samples\n";
    for (const measure::Reading &step : m_steps) {
        const analysis::Analysis &r = step.result;
        const bool measured = measure::hasFigures(step.state);
        QByteArrayList row = {value(step.stimulus.frequencyHz()), value(step.stimulus.peakDbfs),
                              QByteArray(measure::stateText(step.state))};
        const double nan = std::nan("");
        for (const double x : {r.fundamentalHz, r.fundamentalDbfs, r.thdF * 100, r.thdR * 100, r.thdN * 100,
                               r.thdN > 0 ? -dsp::decibels(r.thdN) : nan})
            row << (measured ? value(x) : QByteArray());
        for (int n = 2; n <= measure::kMeasuredHarmonics; ++n) {
            const bool present = measured && std::size_t(n - 2) < r.harmonics.size() && r.harmonics[std::size_t(n - 2)].present;
            row << (present ? value(r.harmonics[std::size_t(n - 2)].levelPercent) : QByteArray())
                << (present ? value(analysis::roundedPhase(r.harmonics[std::size_t(n - 2)].phaseDegrees, 6)) : QByteArray());
        }
        row << QByteArray::number(static_cast<qint64>(r.clippedSamples));
        text += row.join(',') + '\n';
    }
    saveSweep(text);
}

void MeasureWindow::fail(const QString &action, const QString &why)
{
    const QString message = tr("%1 failed: %2.").arg(action, why);
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Measure"), message, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    emit errorShown(message);
}

void MeasureWindow::closeEvent(QCloseEvent *event)
{
    m_chirp->cancel();
    m_sweep.cancel();
    stopLive();
    QWidget::closeEvent(event);
}
