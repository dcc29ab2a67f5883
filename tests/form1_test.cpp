#include "app/form1.h"
#include "app/updown.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>

#include <gtest/gtest.h>

namespace {

UpDown *spin(const Form1 &form, const char *name)
{
    auto *control = form.findChild<UpDown *>(QLatin1String(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
}

QString caption(const Form1 &form, const char *name)
{
    auto *label = form.findChild<QLabel *>(QLatin1String(name));
    EXPECT_NE(label, nullptr) << name;
    return label ? label->text() : QString();
}

SignalControls controlsOf(const Form1 &form)
{
    SignalControls controls;
    for (int n = 2; n <= 7; ++n) {
        controls.level[n - 2] = spin(form, qPrintable(QStringLiteral("UpDown%1").arg(n)))->value();
        controls.phase[n - 2] = spin(form, qPrintable(QStringLiteral("UpDown%1a").arg(n)))->value();
    }
    return controls;
}

// The plot a redraw with the window's state and controls gives. The first
// redraw prints the scale labels in the surface's initial font size, every
// later one in the 12 points the THD line leaves.
QImage plotOf(const Form1 &form, bool firstRedraw = false)
{
    MainState state = form.state();
    DrawingSurface surface;
    surface.setBackColor(0);
    if (!firstRedraw)
        redraw(state, surface, controlsOf(form));
    redraw(state, surface, controlsOf(form));
    return surface.image();
}

TEST(Form1, StartsMaximisedWithTheStartUpCaptions)
{
    Form1 form;
    EXPECT_EQ(form.windowTitle(), "Form1");
    EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(caption(form, "Label1"), "200 Hz");
    EXPECT_EQ(caption(form, "Label8"), "10");
    const char *levels[] = {"1 %", "5 %", "1 %", "2 %", "1 %", "1 %"};
    const char *phases[] = {"0", "20", "0", "165", "0", "0"};
    for (int n = 2; n <= 7; ++n) {
        EXPECT_EQ(caption(form, qPrintable(QStringLiteral("Label%1a").arg(n))), levels[n - 2]) << n;
        EXPECT_EQ(caption(form, qPrintable(QStringLiteral("Label%1b").arg(n))), phases[n - 2]) << n;
    }
}

TEST(Form1, StartsWithTheStartUpState)
{
    Form1 form;
    const MainState &state = form.state();
    EXPECT_EQ(state.frequencyHz, 200);
    EXPECT_EQ(state.cursorStep, 10);
    EXPECT_EQ(state.fundamentalLevel, 100.0f);
    const std::array<float, 6> levels = {1, 5, 1, 2, 1, 1};
    EXPECT_EQ(state.harmonicLevel, levels);
    EXPECT_EQ(state.thdPercent, static_cast<float>(std::sqrt(33.0)));
    EXPECT_EQ(state.piValue, 3.1415f);
    EXPECT_NE(static_cast<double>(state.piValue), 3.1415); // the single, not the double
    EXPECT_EQ(state.pixelsPerUnit, 2.23f);
    EXPECT_EQ(state.cursorX, 0.0f);
    for (int n : {0, 1, 8, 9, 10})
        EXPECT_EQ(state.phaseRad[n], 0.0f) << n;
    EXPECT_EQ(state.phaseRad[3], static_cast<float>(double(state.piValue) * 20 / 180));
    EXPECT_EQ(state.phaseRad[5], static_cast<float>(double(state.piValue) * 165 / 180));
    EXPECT_EQ(state.sampleCount, 0);
    EXPECT_EQ(state.sampleX.size(), 1001u);
    EXPECT_EQ(state.sampleValue.size(), 1001u);
    for (int i = 0; i <= 1000; ++i) {
        ASSERT_EQ(state.sampleX[i], 0);
        ASSERT_EQ(state.sampleValue[i], 0.0f);
    }
}

TEST(Form1, ShowsTheStartUpPlotOnItsSurface)
{
    Form1 form;
    const QImage &image = form.surface().image();
    EXPECT_EQ(image.size(), QSize(1245, 493));
    EXPECT_EQ(image, plotOf(form, true));
    EXPECT_NE(image, plotOf(form));
    EXPECT_EQ(image.pixel(0, 245), qRgb(0, 128, 0)); // the zero line where no trace is drawn
    EXPECT_EQ(image.pixel(1244, 492), 0xFF000000u);  // black background
}

TEST(Form1, CalculateRecomputesTheThdFromTheLevelControlsAndRedraws)
{
    Form1 form;
    const QImage startUp = form.surface().image();
    spin(form, "UpDown2")->setValue(20);
    EXPECT_EQ(caption(form, "Label2a"), "20 %");
    EXPECT_EQ(form.surface().image(), startUp); // a level alone changes nothing on the plot
    EXPECT_EQ(form.state().thdPercent, static_cast<float>(std::sqrt(33.0)));

    QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    EXPECT_EQ(form.state().thdPercent, static_cast<float>(std::sqrt(432.0)));
    EXPECT_EQ(form.state().harmonicLevel[0], 20.0f);
    EXPECT_NE(form.surface().image(), startUp);
    EXPECT_EQ(form.surface().image(), plotOf(form));
}

TEST(Form1, FrequencyRedrawsAtOnceWithTheOldThd)
{
    Form1 form;
    spin(form, "UpDown4")->setValue(20);
    spin(form, "UpDown1")->setValue(1000);
    EXPECT_EQ(caption(form, "Label1"), "1000 Hz");
    EXPECT_EQ(form.state().frequencyHz, 1000);
    EXPECT_EQ(form.state().thdPercent, static_cast<float>(std::sqrt(33.0)));
    EXPECT_EQ(form.surface().image(), plotOf(form));
}

TEST(Form1, CursorStepIsStoredAndShown)
{
    Form1 form;
    spin(form, "UpDown8")->setValue(0);
    EXPECT_EQ(caption(form, "Label8"), "0");
    EXPECT_EQ(form.state().cursorStep, 0);
}

TEST(Form1, EveryControlRewritesItsOwnLabelToTheEndsOfItsRange)
{
    Form1 form;
    struct Case
    {
        const char *control, *label;
        int steps; // Page Up (+) or Page Down (-) presses, far past the end
        const char *caption;
    };
    const Case cases[] = {
        {"UpDown1", "Label1", -40, "50 Hz"}, {"UpDown1", "Label1", +40, "1000 Hz"},
        {"UpDown2", "Label2a", -10, "0 %"},  {"UpDown2", "Label2a", +10, "20 %"},
        {"UpDown3", "Label3a", -10, "0 %"},  {"UpDown4", "Label4a", +10, "20 %"},
        {"UpDown5", "Label5a", -10, "0 %"},  {"UpDown6", "Label6a", +10, "20 %"},
        {"UpDown6", "Label6a", -1, "15 %"},  {"UpDown7", "Label7a", +10, "20 %"},
        {"UpDown7", "Label7a", -2, "10 %"},  {"UpDown2a", "Label2b", +80, "360"},
        {"UpDown2a", "Label2b", -1, "335"},  {"UpDown3a", "Label3b", -80, "0"},
        {"UpDown4a", "Label4b", +3, "75"},   {"UpDown4a", "Label4b", +80, "360"},
        {"UpDown5a", "Label5b", -80, "0"},   {"UpDown6a", "Label6b", +2, "50"},
        {"UpDown6a", "Label6b", -80, "0"},   {"UpDown7a", "Label7b", -80, "0"},
        {"UpDown7a", "Label7b", +80, "360"}, {"UpDown8", "Label8", -10, "0"},
        {"UpDown8", "Label8", +10, "40"},
    };
    for (const Case &c : cases) {
        UpDown *control = spin(form, c.control);
        for (int i = 0; i < std::abs(c.steps); ++i)
            QTest::keyClick(control, c.steps > 0 ? Qt::Key_PageUp : Qt::Key_PageDown);
        EXPECT_EQ(caption(form, c.label), c.caption) << c.control;
    }
    // Level and phase labels changed; no other label took their captions.
    EXPECT_EQ(caption(form, "Label3a"), "0 %");
    EXPECT_EQ(caption(form, "Label5b"), "0");
    spin(form, "UpDown8")->setValue(10);
    EXPECT_EQ(caption(form, "Label8"), "10");
    EXPECT_EQ(form.state().cursorStep, 10);
    QTest::keyClick(spin(form, "UpDown4"), Qt::Key_Down);
    EXPECT_EQ(caption(form, "Label4a"), "19 %"); // the number first: no space before it
}

TEST(Form1, PhaseThenFrequencyShiftsTheHarmonicAndTheSumButNotTheThd)
{
    Form1 form;
    const QImage startUp = form.surface().image();
    spin(form, "UpDown3a")->setValue(200);
    EXPECT_EQ(caption(form, "Label3b"), "200");
    EXPECT_EQ(form.surface().image(), startUp);
    QTest::keyClick(spin(form, "UpDown1"), Qt::Key_Up);
    EXPECT_EQ(form.state().frequencyHz, 210);
    EXPECT_EQ(form.state().thdPercent, static_cast<float>(std::sqrt(33.0)));
    const QImage shifted = form.surface().image();
    EXPECT_EQ(shifted, plotOf(form));

    // The same frequency with the old phase gives another picture: the phase moved the traces.
    spin(form, "UpDown3a")->setValue(20);
    spin(form, "UpDown1")->setValue(200);
    spin(form, "UpDown1")->setValue(210);
    EXPECT_NE(form.surface().image(), shifted);
}

TEST(Form1, ExitEndsTheProgramAndClosesEveryWindow)
{
    QPointer<Form1> form = new Form1;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    form->findChild<QAction *>("mnuAbout")->trigger();
    QAction *exit = form->findChild<QAction *>("mnuExit");
    ASSERT_NE(exit, nullptr);
    EXPECT_EQ(exit->text(), "Exit");
    QTimer::singleShot(0, exit, &QAction::trigger);
    // Exit that does nothing leaves the loop running until this ends it with 1.
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 0);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget *window : QApplication::topLevelWidgets())
        EXPECT_FALSE(window->isVisible()) << window->metaObject()->className();
    EXPECT_TRUE(form.isNull() || !form->isVisible());
}

TEST(Form1, TheProgramIgnoresItsCommandLineAndWritesNothingAtStartUp)
{
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    QProcess program;
    program.setProcessEnvironment(environment);
    // Taken by the toolkit, this would ask for a platform that does not exist and end the program.
    program.start(QStringLiteral(QUENLARI_PROGRAM),
                  {QStringLiteral("-platform"), QStringLiteral("none-such"), QStringLiteral("-reverse")});
    ASSERT_TRUE(program.waitForStarted());
    EXPECT_FALSE(program.waitForFinished(3000)) << program.readAllStandardError().toStdString();
    program.kill();
    program.waitForFinished();
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

} // namespace
