#include "about/aboutwindow.h"
#include "analysis/recording.h"
#include "app/form1.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>

#include <gtest/gtest.h>

namespace {

// The main window, with "the person" answering its save dialog with a name
// in a folder of the test's own.
struct Saving
{
    QTemporaryDir folder;
    Form1 form;
    QSignalSpy errors{&form, &Form1::errorShown};
    QString answer;
    QStringList filters; // of each dialog shown

    Saving()
    {
        form.saveDialog().setAnswer([this](const CommonDialog &dialog) -> std::optional<QString> {
            filters << dialog.filter();
            if (answer.isEmpty())
                return std::nullopt;
            return answer;
        });
    }
    QString save(const char *menuItem, const QString &name)
    {
        answer = name.isEmpty() ? QString() : folder.filePath(name);
        form.findChild<QAction *>(QLatin1String(menuItem))->trigger();
        return answer;
    }
    void release(float x, float y)
    {
        auto *box = form.findChild<PictureBox *>("Picture1");
        const QPointF at = QPointF(x, y) + box->clientOrigin();
        QMouseEvent event(QEvent::MouseButtonRelease, at, box->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(box, &event);
    }
    UpDown *spin(const char *name) { return form.findChild<UpDown *>(QLatin1String(name)); }
};

TEST(Saving, ThePlotIsSavedAsShownPixelForPixel)
{
    Saving test;
    test.release(15, 100); // a cross on the plot
    const QString png = test.save("mnuSavePlot", QStringLiteral("plot.png"));
    EXPECT_EQ(test.errors.count(), 0);
    ASSERT_EQ(test.filters.size(), 1);
    EXPECT_TRUE(test.filters[0].contains("*.png"));
    const QImage saved(png);
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32),
              test.form.surface().image().convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(saved.pixel(16, 96), qRgb(0, 0, 255));

    // A name typed without its extension gets it; a cancel writes nothing.
    test.save("mnuSavePlot", QStringLiteral("second"));
    EXPECT_TRUE(QFile::exists(test.folder.filePath(QStringLiteral("second.png"))));
    test.save("mnuSavePlot", QString());
    EXPECT_EQ(QDir(test.folder.path()).entryList(QDir::Files).size(), 2);
}

TEST(Saving, TheToneOfTheControlsIsSavedAndAnalysesBackToThem)
{
    Saving test;
    test.spin("UpDown1")->setValue(440);
    const int levels[] = {3, 0, 12, 1, 0, 7}, phases[] = {90, 0, 180, 45, 0, 300};
    for (int n = 2; n <= 7; ++n) {
        test.spin(qPrintable(QStringLiteral("UpDown%1").arg(n)))->setValue(levels[n - 2]);
        test.spin(qPrintable(QStringLiteral("UpDown%1a").arg(n)))->setValue(phases[n - 2]);
    }
    for (const char *name : {"tone.flac", "tone.wav"}) {
        const QString file = test.save("mnuSaveTone", QLatin1String(name));
        EXPECT_EQ(test.errors.count(), 0);
        const analysis::AnalysedRecording heard = analysis::analyseRecording(file, 1, {});
        ASSERT_TRUE(heard.error.isEmpty()) << heard.error.toStdString();
        EXPECT_EQ(heard.sampleRate, 48000);
        EXPECT_EQ(heard.result.frames, 5 * 48000);
        EXPECT_NEAR(heard.result.fundamentalHz, 440, 1e-3);
        for (const analysis::Harmonic &h : heard.result.harmonics) {
            EXPECT_NEAR(h.levelPercent, levels[h.n - 2], 0.002) << h.n;
            if (levels[h.n - 2] > 0) {
                const double d = std::fmod(std::fabs(h.phaseDegrees - phases[h.n - 2]), 360.0);
                EXPECT_LT(std::min(d, 360 - d), 0.1) << h.n;
            }
        }
    }
    // Only WAV and FLAC: another extension says so and writes nothing.
    test.save("mnuSaveTone", QStringLiteral("tone.mp3"));
    ASSERT_EQ(test.errors.count(), 1);
    EXPECT_TRUE(test.errors.at(0).at(0).toString().contains(".wav or .flac"));
    EXPECT_FALSE(QFile::exists(test.folder.filePath(QStringLiteral("tone.mp3"))));
}

TEST(Saving, TheStoredSamplesAreExportedWithADecimalPoint)
{
    QLocale::setDefault(QLocale(QLocale::Romanian, QLocale::Romania));
    Saving test;
    test.release(15, 100);
    test.release(300, 244);
    test.release(1480, 600);
    const QString csv = test.save("mnuExportSamples", QStringLiteral("samples.csv"));
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(test.form.findChild<QLabel *>("Label12")->text(), "-159,19"); // the window speaks Romanian
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "index,x,level\n1,20,65.02\n2,300,0.45\n3,1480,-159.19\n");
}

TEST(Saving, AFailedSaveNamesTheFileAndLeavesNothing)
{
    Saving test;
    {
        QFile blocker(test.folder.filePath(QStringLiteral("not-a-folder")));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    for (const char *item : {"mnuSavePlot", "mnuSaveTone", "mnuExportSamples"}) {
        const QString refused = test.save(item, QStringLiteral("not-a-folder/out.wav"));
        SCOPED_TRACE(item);
        ASSERT_FALSE(test.errors.isEmpty());
        EXPECT_TRUE(test.errors.last().at(0).toString().contains(refused))
            << test.errors.last().at(0).toString().toStdString();
    }
    EXPECT_EQ(test.errors.count(), 3);
    EXPECT_EQ(QDir(test.folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("not-a-folder")});
}

TEST(Habits, EnterPressesTheFocusedButtonAndTheWheelStepsASpinControl)
{
    Form1 form;
    auto *button = form.findChild<QPushButton *>("Command1");
    QSignalSpy clicks(button, &QPushButton::clicked);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    QTest::keyClick(button, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_EQ(button->text(), "Calcul Quenlari");

    auto wheel = [](QWidget *widget, int eighths) {
        const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
        QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, eighths), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(widget, &event);
    };
    auto *frequency = form.findChild<UpDown *>("UpDown1");
    wheel(frequency, 120);
    EXPECT_EQ(frequency->value(), 210); // one notch, one increment of 10 Hz
    EXPECT_EQ(form.findChild<QLabel *>("Label1")->text(), "210 Hz");
    wheel(frequency, -240);
    EXPECT_EQ(frequency->value(), 190);
    auto *phase = form.findChild<UpDown *>("UpDown4a");
    for (int i = 0; i < 4; ++i)
        wheel(phase, 30); // a fine wheel: four small turns make a notch
    EXPECT_EQ(phase->value(), 5);
    EXPECT_EQ(form.findChild<QLabel *>("Label4b")->text(), "5");
}

TEST(Habits, ShortcutsReachTheirMenuItems)
{
    qputenv("PULSE_SERVER", "unix:/nonexistent/quenlari-test"); // no audio output here
    Form1 form;
    form.setWindowState(Qt::WindowNoState);
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QSignalSpy errors(&form, &Form1::errorShown);
    int opened = 0, saved = 0;
    form.fileDialog().setAnswer([&](const CommonDialog &) -> std::optional<QString> {
        ++opened;
        return std::nullopt;
    });
    form.saveDialog().setAnswer([&](const CommonDialog &) -> std::optional<QString> {
        ++saved;
        return std::nullopt;
    });
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(opened, 1);
    QTest::keyClick(&form, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(saved, 1);

    // Play with no audio output: a clear message, and the item then shows why it is off.
    QTest::keyClick(&form, Qt::Key_P, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, 10000)); // asked off the window's thread
    EXPECT_TRUE(errors.at(0).at(0).toString().contains("no audio output"));
    emit form.findChild<QMenu *>("mnuActions")->aboutToShow();
    QAction *play = form.findChild<QAction *>("mnuPlay");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !play->isEnabled(); }, 10000));
    EXPECT_EQ(play->toolTip(), "There is no audio output.");
    EXPECT_EQ(play->text(), "Play");
    for (QMessageBox *box : form.findChildren<QMessageBox *>())
        box->close(); // the person reads the message
    QApplication::setActiveWindow(&form);

    QTest::keyClick(&form, Qt::Key_F1);
    bool about = false;
    for (QWidget *widget : QApplication::topLevelWidgets())
        about = about || (qobject_cast<AboutWindow *>(widget) && widget->isVisible());
    EXPECT_TRUE(about);

    QSignalSpy exits(form.findChild<QAction *>("mnuExit"), &QAction::triggered);
    QApplication::setActiveWindow(&form);
    QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(exits.count(), 1);
    EXPECT_FALSE(form.isVisible());
}

} // namespace

namespace {

TEST(Saving, ANameTypedWithoutItsExtensionIsAskedAboutBeforeReplacingAFile)
{
    // The toolkit's own dialog: "x" typed where x.wav exists asks before replacing it.
    QTemporaryDir folder;
    const QString existing = folder.filePath(QStringLiteral("x.wav"));
    {
        QFile file(existing);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    }
    // An earlier test's Exit leaves the application quitting, which makes every dialog
    // return at once: a turn of the application's own loop clears that.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    Form1 form;
    form.saveDialog().setFileName(folder.filePath(QStringLiteral("earlier.wav")));
    QString asked;
    QTimer::singleShot(200, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QStringLiteral("x"));
        QTimer::singleShot(200, [&, dialog] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                asked = box->text();
                box->button(QMessageBox::No)->click(); // keep it
            }
            QTimer::singleShot(100, dialog, &QFileDialog::reject);
        });
        QTest::keyClick(name, Qt::Key_Return); // as the Save button does
    });
    form.findChild<QAction *>("mnuSaveTone")->trigger();
    EXPECT_TRUE(asked.contains("x.wav")) << asked.toStdString();
    QFile kept(existing);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("keep me"));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 1);
}

} // namespace
