#include "app/form1.h"
#include "app/updown.h"
#include "audio/soundfile.h"
#include "dsp/soundmath.h"
#include "measurewindow/chirppanel.h"
#include "measurewindow/measurewindow.h"
#include "tests/simulateddevice.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>

#include <gtest/gtest.h>

namespace {

// A device that gives back what it plays, `gain` times and clipped at full scale.
class Wire : public SimulatedDevice
{
public:
    explicit Wire(float gain = 1) : m_gain(gain) {}
    float answer(float played) noexcept override { return std::clamp(m_gain * played, -1.0f, 1.0f); }

private:
    float m_gain;
};

// The main window and its Measure window, on a simulated device.
struct Measuring
{
    explicit Measuring(float gain = 1) : Measuring(std::make_shared<Wire>(gain)) {}
    explicit Measuring(std::shared_ptr<SimulatedDevice> simulated) : device(std::move(simulated))
    {
        form.findChild<QAction *>("mnuMeasure")->trigger();
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *found = qobject_cast<MeasureWindow *>(widget); found && found->isVisible())
                window = found;
        EXPECT_NE(window, nullptr);
        window->setSimulatedDevice(device);
    }
    ~Measuring()
    {
        if (window)
            window->close();
    }
    template <typename T> T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QString state() { return child<QLabel>("lblState")->text(); }
    bool waitForMeasuring(int blocks = 1)
    {
        return QTest::qWaitFor(
            [&] {
                return state().startsWith(QStringLiteral("Measuring: %1 of").arg(blocks)) ||
                       state().startsWith(QStringLiteral("input overload"));
            },
            15000);
    }
    // As a person does: the tab that holds the button is brought up first.
    void click(const char *name)
    {
        QPushButton *button = child<QPushButton>(name);
        for (QWidget *page = button; page; page = page->parentWidget())
            if (auto *tabs = qobject_cast<QTabWidget *>(page->parentWidget() ? page->parentWidget()->parentWidget() : nullptr))
                tabs->setCurrentWidget(page);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    bool sweep()
    {
        click("cmdSweep");
        return QTest::qWaitFor([&] { return !window->isSweeping(); }, 60000);
    }

    Form1 form;
    std::shared_ptr<SimulatedDevice> device;
    MeasureWindow *window = nullptr;
};

TEST(MeasureWindow, LiveItPlaysReadsBackAveragesAndStops)
{
    Measuring test;
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    test.child<QComboBox>("cboAveraging")->setCurrentIndex(1); // 4 blocks
    test.click("cmdStart");
    EXPECT_EQ(test.child<QPushButton>("cmdStart")->text(), QStringLiteral("Stop"));
    ASSERT_TRUE(test.waitForMeasuring(4)) << test.state().toStdString();
    const measure::Reading &shown = test.window->shownReading();
    EXPECT_NEAR(shown.result.fundamentalHz, 1000, 1e-3);
    EXPECT_NEAR(shown.result.fundamentalDbfs, -12, 0.01);
    EXPECT_LT(shown.result.thdN, 1e-5);
    EXPECT_TRUE(test.child<QLabel>("lblFigures")->text().contains(QStringLiteral("1,000.000 Hz")) ||
                test.child<QLabel>("lblFigures")->text().contains(QStringLiteral("1000.000 Hz")))
        << test.child<QLabel>("lblFigures")->text().toStdString();

    // A new stimulus starts the average anew and is read at its own level.
    QElapsedTimer delay;
    delay.start();
    test.child<QDoubleSpinBox>("spnLevel")->setValue(-20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::fabs(test.window->shownReading().result.fundamentalDbfs + 20) < 0.01; },
                                5000));
    std::printf("the readout followed the change in %lld ms\n", static_cast<long long>(delay.elapsed()));
    EXPECT_LE(test.window->shownReading().stimulus.peakDbfs, -20 + 1e-9);

    test.click("cmdStart");
    EXPECT_FALSE(test.window->isLive());
    EXPECT_EQ(test.state(), QStringLiteral("Stopped."));
    EXPECT_EQ(errors.count(), 0);
}

TEST(MeasureWindow, StatesNotNumbersWhereNumbersWouldLie)
{
    Measuring test(8); // 18 dB of gain into full scale: the input clips
    test.click("cmdStart");
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.state().startsWith(QStringLiteral("input overload")); }, 15000))
        << test.state().toStdString();
    // The device goes away: the window says so and stops; the main window goes on.
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    test.device->lost = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.state() == QStringLiteral("output lost"); }, 5000));
    EXPECT_FALSE(test.window->isLive());
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.first().first().toString().contains(QStringLiteral("stopped working")));
    EXPECT_TRUE(test.form.isEnabled());
}

// A device that falls silent for 2 ms of every 15, again and again.
class Stutter : public SimulatedDevice
{
public:
    float answer(float played) noexcept override { return m_count++ % 720 < 96 ? 0.0f : played; }

private:
    unsigned m_count = 0;
};

TEST(MeasureWindow, AStutteringInputShowsItsStateAndNoFigures)
{
    Measuring test;
    test.window->setSimulatedDevice(std::make_shared<Stutter>());
    test.click("cmdStart");
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.state().startsWith(QStringLiteral("input not steady")); }, 15000))
        << test.state().toStdString();
    EXPECT_TRUE(test.child<QLabel>("lblFigures")->text().isEmpty());
    EXPECT_FALSE(test.child<QPushButton>("cmdUse")->isEnabled());
}

TEST(MeasureWindow, ALevelSweepDrawsTheKneeAndSavesItsStepsAndReference)
{
    Measuring test(4); // clips above -12 dBFS
    QTemporaryDir folder;
    test.child<QComboBox>("cboSweep")->setCurrentIndex(1);
    test.child<QDoubleSpinBox>("spnFrom")->setValue(-20);
    test.child<QDoubleSpinBox>("spnTo")->setValue(0);
    test.child<QDoubleSpinBox>("spnStep")->setValue(4);
    ASSERT_TRUE(test.sweep());
    const std::vector<measure::Reading> &steps = test.window->sweepSteps();
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(test.child<QProgressBar>("barSweep")->value(), 1000);
    EXPECT_EQ(test.child<QTableWidget>("tblSteps")->rowCount(), 6);
    for (const measure::Reading &step : steps) {
        const double thdF = dsp::decibels(step.result.thdF);
        if (step.stimulus.peakDbfs < -12) {
            EXPECT_LT(thdF, -100) << step.stimulus.peakDbfs;
        } else if (step.stimulus.peakDbfs > -12) {
            EXPECT_GT(thdF, -40) << step.stimulus.peakDbfs;
        }
    }

    test.click("cmdKeepReference");
    EXPECT_EQ(test.window->reference().size(), 6u);

    const QString csv = folder.filePath(QStringLiteral("sweep"));
    test.window->saveDialog().setAnswer([csv](const CommonDialog &) { return csv; });
    test.click("cmdSaveCsv");
    QFile table(csv + QStringLiteral(".csv"));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = table.readAll().trimmed().split('\n');
    ASSERT_EQ(rows.size(), 7);
    EXPECT_TRUE(rows[0].startsWith("stimulus_hz,stimulus_dbfs,state,fundamental_hz,fundamental_dbfs,thd_f_percent"));
    EXPECT_TRUE(rows[0].endsWith("h10_percent,h10_phase_degrees,clipped_samples"));
    EXPECT_TRUE(rows[1].startsWith("1000,-20,measured,"));
    EXPECT_TRUE(rows[6].startsWith("1000,0,input overload,"));
    EXPECT_EQ(rows[1].count(','), rows[0].count(','));

    const QString png = folder.filePath(QStringLiteral("sweep.png"));
    test.window->saveDialog().setAnswer([png](const CommonDialog &) { return png; });
    test.click("cmdSavePng");
    EXPECT_EQ(QImage(png).size(), QSize(1200, 600));

    // A file that cannot be written: a message, and nothing written.
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    const QString nowhere = folder.filePath(QStringLiteral("missing/sweep.csv"));
    test.window->saveDialog().setAnswer([nowhere](const CommonDialog &) { return nowhere; });
    test.click("cmdSaveCsv");
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.first().first().toString().contains(QStringLiteral("cannot write")));
    EXPECT_FALSE(QFile::exists(nowhere));
}

// The sweep plot's graphs by name, and what each holds.
struct SweepPlot
{
    explicit SweepPlot(QCustomPlot *plot) : plot(plot) {}
    QCPGraph *graph(const QString &name) const
    {
        for (int k = 0; k < plot->graphCount(); ++k)
            if (plot->graph(k)->name() == name)
                return plot->graph(k);
        return nullptr;
    }
    std::vector<std::pair<double, double>> points(const QString &name) const
    {
        std::vector<std::pair<double, double>> out;
        if (QCPGraph *g = graph(name))
            for (auto it = g->data()->constBegin(); it != g->data()->constEnd(); ++it)
                out.emplace_back(it->key, it->value);
        return out;
    }
    QCustomPlot *plot;
};

TEST(MeasureWindow, TheSweepPlotFollowsItsKindUnitAndStates)
{
    Measuring test;
    SweepPlot plot(test.child<QCustomPlot>("plotSweep"));
    // A level sweep, kept as the reference.
    test.child<QComboBox>("cboSweep")->setCurrentIndex(1);
    test.child<QDoubleSpinBox>("spnFrom")->setValue(-20);
    test.child<QDoubleSpinBox>("spnTo")->setValue(-12);
    test.child<QDoubleSpinBox>("spnStep")->setValue(4);
    ASSERT_TRUE(test.sweep());
    test.click("cmdKeepReference");
    ASSERT_NE(plot.graph(QStringLiteral("reference (dashed)")), nullptr);

    // Then a frequency sweep: Hz on a logarithmic axis that holds its steps,
    // and no reference of levels drawn across it.
    test.child<QComboBox>("cboSweep")->setCurrentIndex(0);
    test.child<QDoubleSpinBox>("spnFrom")->setValue(100);
    test.child<QDoubleSpinBox>("spnTo")->setValue(800);
    test.child<QSpinBox>("spnPerOctave")->setValue(1);
    ASSERT_TRUE(test.sweep());
    EXPECT_EQ(plot.plot->xAxis->label(), QStringLiteral("Frequency (Hz)"));
    EXPECT_EQ(plot.plot->xAxis->scaleType(), QCPAxis::stLogarithmic);
    EXPECT_LE(plot.plot->xAxis->range().lower, 100);
    EXPECT_GE(plot.plot->xAxis->range().upper, 800);
    const auto thdN = plot.points(QStringLiteral("THD+N"));
    ASSERT_EQ(thdN.size(), 4u);
    EXPECT_EQ(thdN.front().first, 100);
    EXPECT_EQ(thdN.back().first, 800);
    for (const auto &[hz, db] : thdN)
        EXPECT_TRUE(plot.plot->yAxis->range().contains(db)) << hz << " Hz at " << db << " dB";
    EXPECT_EQ(plot.graph(QStringLiteral("reference (dashed)")), nullptr);

    // In %: the same steps, a hundred times the fraction, inside the axis's range.
    test.child<QCheckBox>("chkPercent")->setChecked(true);
    const auto inPercent = plot.points(QStringLiteral("THD+N"));
    ASSERT_EQ(inPercent.size(), 4u);
    for (std::size_t k = 0; k < inPercent.size(); ++k) {
        EXPECT_NEAR(inPercent[k].second, 100 * std::pow(10.0, thdN[k].second / 20), 1e-9 * inPercent[k].second);
        EXPECT_TRUE(plot.plot->yAxis->range().contains(inPercent[k].second));
    }
    EXPECT_EQ(plot.plot->yAxis->label(), QStringLiteral("%"));

    // A step in a state is a cross on the floor, and the line breaks there.
    test.window->setSimulatedDevice(std::make_shared<Stutter>());
    test.child<QCheckBox>("chkPercent")->setChecked(false);
    test.child<QDoubleSpinBox>("spnTo")->setValue(200);
    ASSERT_TRUE(test.sweep());
    const auto crosses = plot.points(QStringLiteral("not measured (x)"));
    ASSERT_EQ(crosses.size(), 2u);
    EXPECT_EQ(crosses.front().first, 100);
    EXPECT_EQ(crosses.front().second, plot.plot->yAxis->range().lower);
    for (const auto &point : plot.points(QStringLiteral("THD+N")))
        EXPECT_TRUE(std::isnan(point.second));
}

TEST(MeasureWindow, ClosingKeepsItsResultsAndItFitsASmallScreenWithEveryFieldLabelled)
{
    Measuring test;
    test.child<QComboBox>("cboSweep")->setCurrentIndex(1);
    test.child<QDoubleSpinBox>("spnFrom")->setValue(-20);
    test.child<QDoubleSpinBox>("spnTo")->setValue(-16);
    test.child<QDoubleSpinBox>("spnStep")->setValue(4);
    test.child<QDoubleSpinBox>("spnInputCal")->setValue(1.55);
    ASSERT_TRUE(test.sweep());
    test.click("cmdKeepReference");
    MeasureWindow *window = test.window;
    window->close();
    QApplication::processEvents();
    test.form.findChild<QAction *>("mnuMeasure")->trigger();
    EXPECT_TRUE(window->isVisible()); // the same window, shown again
    EXPECT_EQ(window->sweepSteps().size(), 2u);
    EXPECT_EQ(window->reference().size(), 2u);
    EXPECT_EQ(test.child<QDoubleSpinBox>("spnInputCal")->value(), 1.55);
    EXPECT_EQ(test.child<QTableWidget>("tblSteps")->rowCount(), 2);

    // It opens within the screen; what does not fit scrolls.
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_LE(window->width(), screen.width());
    EXPECT_LE(window->height(), screen.height());
    EXPECT_NE(test.child<QScrollArea>("scrMeasure"), nullptr);

    // Every field of the sweeps has a label naming it.
    for (const char *name : {"cboSweep", "spnFrom", "spnTo", "spnPerOctave", "spnStep", "spnSettle", "spnSettleThdN",
                             "spnSettleLevel"}) {
        QWidget *field = test.child<QWidget>(name);
        ASSERT_NE(field, nullptr) << name;
        EXPECT_FALSE(field->accessibleName().isEmpty()) << name;
        const auto labels = window->findChildren<QLabel *>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel *label) { return label->buddy() == field; }))
            << name;
    }
}

TEST(MeasureWindow, UseInThePlotSaysWhatItMovedIntoRange)
{
    Measuring test;
    test.child<QDoubleSpinBox>("spnFrequency")->setValue(3000);
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    test.click("cmdUse");
    EXPECT_EQ(test.form.findChild<UpDown *>("UpDown1")->value(), 1000);
    const QString note = test.child<QLabel>("lblUsed")->text();
    EXPECT_TRUE(note.contains(QStringLiteral("fundamental 3 kHz shown as 1000 Hz"))) << note.toStdString();
    // A pure sine: its harmonics at 0 % keep the phase 0.
    for (int n = 2; n <= 7; ++n)
        EXPECT_EQ(test.form.findChild<UpDown *>(QStringLiteral("UpDown%1a").arg(n))->value(), 0) << n;
}

TEST(MeasureWindow, LiveNeverShowsAnOlderBlocksFiguresAsCurrent)
{
    Measuring test;
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    // A new level: until figures of it come, a state and no figures.
    test.child<QDoubleSpinBox>("spnLevel")->setValue(-20);
    bool sawSettling = false, sawOld = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const measure::Reading &shown = test.window->shownReading();
            const QString figures = test.child<QLabel>("lblFigures")->text();
            sawSettling = sawSettling || test.state().startsWith(QStringLiteral("settling"));
            if (measure::hasFigures(shown.state)) {
                sawOld = sawOld || std::fabs(shown.result.fundamentalDbfs + 20) > 0.01;
                return !sawOld;
            }
            sawOld = sawOld || !figures.isEmpty();
            return false;
        },
        10000));
    EXPECT_TRUE(sawSettling);
    EXPECT_FALSE(sawOld);

    // The device's clock stops: "input stalled", and the figures go.
    test.device->stalled = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.state().startsWith(QStringLiteral("input stalled")); }, 3000))
        << test.state().toStdString();
    EXPECT_TRUE(test.child<QLabel>("lblFigures")->text().isEmpty());
    EXPECT_FALSE(test.child<QPushButton>("cmdUse")->isEnabled());
    test.device->stalled = false;
    EXPECT_TRUE(test.waitForMeasuring());
}

TEST(MeasureWindow, LiveFollowsTheToneOfTheControlsAndAChangedDevice)
{
    Measuring test;
    test.form.findChild<UpDown *>("UpDown1")->setValue(300);
    test.child<QComboBox>("cboStimulus")->setCurrentIndex(1); // the tone of the controls
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    EXPECT_NEAR(test.window->shownReading().result.fundamentalHz, 300, 1e-3);
    test.form.findChild<UpDown *>("UpDown1")->setValue(500);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return measure::hasFigures(test.window->shownReading().state) &&
                   std::fabs(test.window->shownReading().result.fundamentalHz - 500) < 1e-3;
        },
        10000));

    // Another input channel while live: the stream opens again on it at once,
    // and here says there is none.
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    test.child<QSpinBox>("spnChannel")->setValue(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() > 0; }, 5000));
    EXPECT_TRUE(errors.first().first().toString().contains(QStringLiteral("no channel 2")))
        << errors.first().first().toString().toStdString();
    EXPECT_FALSE(test.window->isLive());
}

TEST(MeasureWindow, TheLiveReadoutIsSavedAsCsvAndPng)
{
    Measuring test;
    QTemporaryDir folder;
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    test.click("cmdStart"); // stopped: what was shown last is saved
    const measure::Reading shown = test.window->shownReading();
    const QString csv = folder.filePath(QStringLiteral("live"));
    test.window->saveDialog().setAnswer([csv](const CommonDialog &) { return csv; });
    test.click("cmdSaveLiveCsv");
    QFile table(csv + QStringLiteral(".csv"));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    const QByteArray text = table.readAll();
    EXPECT_TRUE(text.startsWith("quantity,value\nstate,measured\nstimulus_hz,1000\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nfundamental_dbfs," + QByteArray::number(shown.result.fundamentalDbfs, 'g', 10) + '\n'))
        << text.toStdString();
    EXPECT_TRUE(text.contains("\nharmonic,level_percent,dbc,phase_degrees\n2,"));
    EXPECT_TRUE(text.contains("\n10,"));

    const QString png = folder.filePath(QStringLiteral("live.png"));
    test.window->saveDialog().setAnswer([png](const CommonDialog &) { return png; });
    test.click("cmdSaveLivePng");
    EXPECT_EQ(QImage(png).size(), QSize(1200, 600));
}

TEST(MeasureWindow, CancelStopsASweepBetweenItsSteps)
{
    Measuring test;
    test.click("cmdSweep"); // 31 steps from 20 Hz to 20 kHz
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.window->sweepSteps().size() >= 2; }, 20000));
    EXPECT_EQ(test.child<QPushButton>("cmdSweep")->text(), QStringLiteral("Cancel"));
    EXPECT_GT(test.child<QProgressBar>("barSweep")->value(), 0);
    test.click("cmdSweep");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test.window->isSweeping(); }, 5000));
    EXPECT_LT(test.window->sweepSteps().size(), 31u);
    EXPECT_EQ(test.child<QPushButton>("cmdSweep")->text(), QStringLiteral("Run Sweep"));
}

TEST(MeasureWindow, ADeviceLostDuringASweepStopsItWithAMessage)
{
    Measuring test;
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    test.click("cmdSweep");
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.window->sweepSteps().size() >= 2; }, 20000));
    test.device->lost = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test.window->isSweeping(); }, 10000)) << "the sweep hangs";
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.first().first().toString().contains(QStringLiteral("stopped working")));
    EXPECT_EQ(test.child<QPushButton>("cmdSweep")->text(), QStringLiteral("Run Sweep"));
    EXPECT_TRUE(test.child<QPushButton>("cmdStart")->isEnabled());
}

TEST(MeasureWindow, CalibratedLevelsAreTypedAndShownInVolts)
{
    Measuring test;
    auto *units = test.child<QComboBox>("cboLevelUnit");
    auto *level = test.child<QDoubleSpinBox>("spnLevel");
    // Without a calibration there are no volts to type.
    units->setCurrentIndex(3);
    EXPECT_EQ(units->currentIndex(), 0);
    test.child<QDoubleSpinBox>("spnOutputCal")->setValue(1.0); // a full-scale sine is 1 V rms
    test.child<QDoubleSpinBox>("spnInputCal")->setValue(2.0);
    units->setCurrentIndex(3); // dBu
    EXPECT_NEAR(level->value(), -12 - 20 * std::log10(std::sqrt(0.6)), 0.01);
    level->setValue(0); // 0 dBu: 0.7746 V rms, -2.22 dBFS
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    EXPECT_NEAR(test.window->shownReading().stimulus.peakDbfs, 20 * std::log10(std::sqrt(0.6)), 1e-6);
    const QString figures = test.child<QLabel>("lblFigures")->text();
    // The input reads 2 V rms at full scale: the same sine is 1.549 V rms there.
    EXPECT_TRUE(figures.contains(QStringLiteral("1.549"))) << figures.toStdString();
    EXPECT_TRUE(figures.contains(QStringLiteral("dBu")));
}

TEST(MeasureWindow, UseInThePlotPutsALiveResultOnTheControls)
{
    Measuring test;
    test.form.findChild<UpDown *>("UpDown1")->setValue(500);
    test.form.findChild<UpDown *>("UpDown2")->setValue(7);
    test.child<QDoubleSpinBox>("spnFrequency")->setValue(300);
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    test.click("cmdUse");
    EXPECT_EQ(test.form.findChild<UpDown *>("UpDown1")->value(), 300);
    EXPECT_EQ(test.form.findChild<UpDown *>("UpDown2")->value(), 0);
    EXPECT_EQ(test.child<QLabel>("lblUsed")->text(), QStringLiteral("Shown in the plot."));
}

// y = x + 0.5 x² + x³: at a peak A of -12 dBFS, a fundamental of 1 + 3/4 A², a
// second harmonic of (A/4) / that at 90°, a third of (A²/4) / that at 180°.
class Polynomial : public SimulatedDevice
{
public:
    float answer(float x) noexcept override { return x + 0.5f * x * x + x * x * x; }
};

TEST(MeasureWindow, OneSweepDrawsTheResponseAndHarmonicsAndAClickPutsAFrequencyOnTheControls)
{
    Measuring test(std::make_shared<Polynomial>());
    QSignalSpy used(test.window, &MeasureWindow::useInPlot);
    test.click("cmdChirp");
    EXPECT_EQ(test.child<QPushButton>("cmdChirp")->text(), QStringLiteral("Cancel"));
    EXPECT_FALSE(test.child<QPushButton>("cmdStart")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test.window->oneSweep().isRunning(); }, 30000));
    const measure::ChirpResult &result = test.window->oneSweep().result();
    ASSERT_EQ(result.state, measure::State::Measured) << result.why;
    EXPECT_TRUE(test.child<QPushButton>("cmdStart")->isEnabled());
    // The simulated loop's 2400 frames, and the block of 1024 its input comes after its output.
    EXPECT_TRUE(test.child<QLabel>("lblChirp")->text().startsWith(QStringLiteral("Delay 71.333 ms,")))
        << test.child<QLabel>("lblChirp")->text().toStdString();

    const double A = std::pow(10.0, -12.0 / 20), fundamental = 1 + 0.75 * A * A;
    auto *response = test.child<QCustomPlot>("plotResponse");
    auto *distortion = test.child<QCustomPlot>("plotDistortion");
    const auto graph = [](QCustomPlot *plot, const QString &name) -> QCPGraph * {
        for (int i = 0; i < plot->graphCount(); ++i)
            if (plot->graph(i)->name() == name)
                return plot->graph(i);
        return nullptr;
    };
    ASSERT_NE(graph(response, QStringLiteral("Response")), nullptr);
    EXPECT_NEAR(graph(response, QStringLiteral("Response"))->data()->at(60)->value, dsp::decibels(fundamental), 0.01);
    for (const char *name : {"THD_F", "H2", "H3", "H4", "H5", "Noise floor"})
        EXPECT_NE(graph(distortion, QString::fromLatin1(name)), nullptr) << name;
    ASSERT_NE(graph(distortion, QStringLiteral("H2")), nullptr);
    EXPECT_NEAR(graph(distortion, QStringLiteral("H2"))->data()->at(60)->value, dsp::decibels(A / 4 / fundamental), 0.1);

    // A click at 1 kHz on the distortion view: the nearest point, 1015.9 Hz,
    // goes onto the controls, at their highest frequency.
    distortion->replot();
    const QPoint at(int(distortion->xAxis->coordToPixel(1000)), distortion->axisRect()->center().y());
    QTest::mouseClick(distortion, Qt::LeftButton, {}, at);
    ASSERT_EQ(used.count(), 1);
    const auto values = used.first().first().value<analysis::PlotValues>();
    EXPECT_EQ(values.frequencyHz, 1000);
    EXPECT_EQ(values.levels[0], std::lround(100 * A / 4 / fundamental)); // 6 %
    EXPECT_EQ(values.phases[0], 90);
    EXPECT_EQ(values.levels[1], std::lround(100 * A * A / 4 / fundamental)); // 2 %
    EXPECT_EQ(values.phases[1], 180);
    EXPECT_EQ(test.form.findChild<UpDown *>("UpDown1")->value(), 1000);
    EXPECT_TRUE(test.child<QLabel>("lblChirpUsed")->text().startsWith(QStringLiteral("At 1015.9 Hz. Shown in the plot: "
                                                                                    "fundamental 1.016 kHz shown as 1000 Hz")))
        << test.child<QLabel>("lblChirpUsed")->text().toStdString();

    // Kept as the reference, it is drawn dashed beside the next; the figures and the response are saved.
    test.click("cmdChirpKeep");
    ASSERT_NE(graph(response, QStringLiteral("Response (reference)")), nullptr);
    EXPECT_EQ(graph(response, QStringLiteral("Response (reference)"))->pen().style(), Qt::DashLine);
    QTemporaryDir folder;
    const QString csv = folder.filePath(QStringLiteral("sweep.csv"));
    test.window->saveDialog().setAnswer([csv](const CommonDialog &) { return csv; });
    test.click("cmdChirpCsv");
    QFile table(csv);
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = table.readAll().trimmed().split('\n');
    ASSERT_EQ(rows.size(), 121);
    EXPECT_TRUE(rows.first().startsWith("frequency_hz,response_db,response_phase_degrees,thd_f_percent,h2_percent,"
                                        "h2_phase_degrees"));
    EXPECT_EQ(rows[1].split(',').size(), 4 + 2 * 8 + 1);
    const QString impulse = folder.filePath(QStringLiteral("impulse.wav"));
    test.window->saveDialog().setAnswer([impulse](const CommonDialog &) { return impulse; });
    test.click("cmdChirpImpulse");
    const audio::Recording saved = audio::readChannel(impulse, 1);
    EXPECT_EQ(saved.sampleRate, 48000);
    ASSERT_FALSE(saved.samples.empty());
    // Its response at 1 kHz is the fundamental's.
    std::complex<double> at1k = 0;
    for (std::size_t n = 0; n < saved.samples.size(); ++n)
        at1k += double(saved.samples[n]) * std::polar(1.0, -2 * dsp::kPi * 1000 * double(n) / 48000);
    EXPECT_NEAR(std::abs(at1k), fundamental, 0.002);
}

} // namespace

namespace {

// A device with a little second order: y = x + 0.05 x^2.
class Bent : public SimulatedDevice
{
public:
    float answer(float played) noexcept override { return played + 0.05f * played * played; }
};

TEST(MeasureWindow, TwoTonesAndSilenceShowTheirOwnFiguresAndTwoTonesSweepInLevel)
{
    Measuring test(std::make_shared<Bent>());
    QSignalSpy errors(test.window, &MeasureWindow::errorShown);
    auto *kind = test.child<QComboBox>("cboStimulus");
    ASSERT_EQ(kind->count(), 6);
    EXPECT_EQ(kind->itemText(5), QStringLiteral("silence (noise)"));
    kind->setCurrentIndex(2); // SMPTE
    EXPECT_FALSE(test.child<QDoubleSpinBox>("spnFrequency")->isEnabled());
    test.click("cmdStart");
    ASSERT_TRUE(test.waitForMeasuring()) << test.state().toStdString();
    // x^2 puts a2 A1 A2 at f2 - f1 and f2 + f1: d2 = 2 a2 A1, A1 four fifths of the peak at -12 dBFS.
    const double low = 0.8 * std::pow(10, -12 / 20.0);
    EXPECT_NEAR(test.window->shownReading().imd.figures.imdD2Percent, 100 * 2 * 0.05 * low, 1e-3);
    EXPECT_TRUE(test.child<QLabel>("lblFigures")->text().contains(QStringLiteral("IMD d2")))
        << test.child<QLabel>("lblFigures")->text().toStdString();
    auto *table = test.child<QTableWidget>("tblHarmonics");
    ASSERT_EQ(table->rowCount(), 10);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("Product"));
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("f2-f1"));
    EXPECT_EQ(table->item(1, 0)->text(), QStringLiteral("f2+f1"));
    // The products, marked on the spectrum where they were read.
    auto *spectrum = test.child<QCustomPlot>("plotSpectrum");
    ASSERT_EQ(spectrum->graphCount(), 2);
    EXPECT_EQ(spectrum->graph(1)->dataCount(), 10);
    const auto marks = spectrum->graph(1)->data();
    const auto mark = std::find_if(marks->constBegin(), marks->constEnd(),
                                   [](const QCPGraphData &point) { return std::fabs(point.key - 7060) < 0.01; });
    ASSERT_NE(mark, marks->constEnd());
    EXPECT_NEAR(mark->value, dsp::decibels(0.05 * low * low / 4), 0.01); // a2 A1 A2
    EXPECT_FALSE(test.child<QPushButton>("cmdUse")->isEnabled());

    // Silence: the device hands back digital silence, and says so.
    kind->setCurrentIndex(5);
    EXPECT_FALSE(test.child<QDoubleSpinBox>("spnLevel")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return test.window->shownReading().stimulus.silent &&
                                             measure::hasFigures(test.window->shownReading().state); },
                                15000))
        << test.state().toStdString();
    EXPECT_TRUE(test.child<QLabel>("lblFigures")->text().contains(QStringLiteral("Noise        -inf dBFS")))
        << test.child<QLabel>("lblFigures")->text().toStdString();
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("n"));
    test.click("cmdStart"); // stops

    // Two tones are swept in level, not in frequency.
    kind->setCurrentIndex(3); // DIN
    test.child<QComboBox>("cboSweep")->setCurrentIndex(0);
    test.click("cmdSweep");
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.takeFirst().at(0).toString().contains(QStringLiteral("swept in level")));
    test.child<QComboBox>("cboSweep")->setCurrentIndex(1);
    test.child<QDoubleSpinBox>("spnFrom")->setValue(-30);
    test.child<QDoubleSpinBox>("spnTo")->setValue(-6);
    test.child<QDoubleSpinBox>("spnStep")->setValue(12);
    ASSERT_TRUE(test.sweep());
    const std::vector<measure::Reading> &steps = test.window->sweepSteps();
    ASSERT_EQ(steps.size(), 3u);
    for (const measure::Reading &step : steps) {
        ASSERT_EQ(step.state, measure::State::Measured) << step.why;
        const double a1 = 0.8 * std::pow(10, step.stimulus.peakDbfs / 20);
        EXPECT_NEAR(step.imd.figures.imdD2Percent, 100 * 2 * 0.05 * a1, 1e-3) << step.stimulus.peakDbfs;
    }
    EXPECT_EQ(test.child<QTableWidget>("tblSteps")->horizontalHeaderItem(5)->text(), QStringLiteral("IMD dB"));
    auto *plot = test.child<QCustomPlot>("plotSweep");
    EXPECT_EQ(plot->graph(0)->name(), QStringLiteral("IMD"));
    EXPECT_EQ(plot->graph(0)->dataCount(), 3);
    EXPECT_EQ(errors.count(), 0);
}

} // namespace
