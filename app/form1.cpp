#include "app/form1.h"

#include "about/aboutwindow.h"
#include "analysiswindow/analysiswindow.h"
#include "measurewindow/measurewindow.h"
#include "app/caption.h"
#include "app/updown.h"
#include "base/errors.h"
#include "base/numbertext.h"
#include "base/progress.h"
#include "sound/player.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

Form1::Form1(QWidget *parent) : QMainWindow(parent), m_player(new sound::Player(this))
{
    buildWindow();
    connectHandlers();
    guard(QT_TR_NOOP("Starting the program"), [this] { Form_Load(); });
}

Form1::~Form1()
{
    // Closed, the Measure window was only hidden, to keep its results.
    delete m_measure;
}

void Form1::connectHandlers()
{
    connect(UpDown1, &UpDown::change, this, &Form1::UpDown1_Change);
    connect(m_levelControls[0], &UpDown::change, this, &Form1::UpDown2_Change);
    connect(m_levelControls[1], &UpDown::change, this, &Form1::UpDown3_Change);
    connect(m_levelControls[2], &UpDown::change, this, &Form1::UpDown4_Change);
    connect(m_levelControls[3], &UpDown::change, this, &Form1::UpDown5_Change);
    connect(m_levelControls[4], &UpDown::change, this, &Form1::UpDown6_Change);
    connect(m_levelControls[5], &UpDown::change, this, &Form1::UpDown7_Change);
    connect(m_phaseControls[0], &UpDown::change, this, &Form1::UpDown2a_Change);
    connect(m_phaseControls[1], &UpDown::change, this, &Form1::UpDown3a_Change);
    connect(m_phaseControls[2], &UpDown::change, this, &Form1::UpDown4a_Change);
    connect(m_phaseControls[3], &UpDown::change, this, &Form1::UpDown5a_Change);
    connect(m_phaseControls[4], &UpDown::change, this, &Form1::UpDown6a_Change);
    connect(m_phaseControls[5], &UpDown::change, this, &Form1::UpDown7a_Change);
    connect(UpDown8, &UpDown::change, this, &Form1::UpDown8_Change);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Picture1, &PictureBox::mouseMoved, this, &Form1::Picture1_MouseMove);
    connect(Picture1, &PictureBox::mouseReleased, this, &Form1::Picture1_MouseUp);
    connect(mnuOpen, &QAction::triggered, this, &Form1::mnuOpen_Click);
    connect(mnuExit, &QAction::triggered, this, &Form1::mnuExit_Click);
    connect(mnuAbout, &QAction::triggered, this, &Form1::mnuAbout_Click);
    connect(mnuAnalyse, &QAction::triggered, this, &Form1::mnuAnalyse_Click);
    connect(mnuMeasure, &QAction::triggered, this, &Form1::mnuMeasure_Click);
    connect(mnuPlay, &QAction::triggered, this, &Form1::mnuPlay_Click);
    connect(mnuSavePlot, &QAction::triggered, this, &Form1::mnuSavePlot_Click);
    connect(mnuSaveTone, &QAction::triggered, this, &Form1::mnuSaveTone_Click);
    connect(mnuExportSamples, &QAction::triggered, this, &Form1::mnuExportSamples_Click);
    // The sound follows the controls at once; the plot follows its own rule.
    for (UpDown *control : findChildren<UpDown *>()) {
        connect(control, &UpDown::change, this, &Form1::controlsChangedWhilePlaying);
        connect(control, &UpDown::change, this, [this] {
            if (m_measure)
                m_measure->controlsChanged();
        });
    }
    connect(m_player, &sound::Player::stopped, this, &Form1::playStopped);
    connect(m_player, &sound::Player::outputChecked, this, &Form1::showOutputAvailable);
    // Whether there is an audio output is asked when the menu opens, not at start-up.
    connect(findChild<QMenu *>(QStringLiteral("mnuActions")), &QMenu::aboutToShow, this,
            &Form1::showPlayAvailability);
}

void Form1::Form_Load()
{
    setWindowState(windowState() | Qt::WindowMaximized);
    m_state.pixelsPerUnit = MainState::kPixelsPerUnit;
    m_state.frequencyHz = toInt16(UpDown1->value(), "the frequency");
    m_state.cursorStep = MainState::kCursorStep;
    m_state.piValue = MainState::kPiValue;
    // Each assignment runs the control's change handler, which rewrites its label.
    m_phaseControls[3 - MainState::kFirstHarmonic]->setValue(20);
    m_phaseLabels[3 - MainState::kFirstHarmonic]->setCaption(integerText(20));
    m_phaseControls[5 - MainState::kFirstHarmonic]->setValue(165);
    m_phaseLabels[5 - MainState::kFirstHarmonic]->setCaption(integerText(165));
    m_levelControls[3 - MainState::kFirstHarmonic]->setValue(5);
    m_levelControls[5 - MainState::kFirstHarmonic]->setValue(2);
    computeThd();
    m_surface.setBackColor(0);
    m_surface.setPicture(QImage());
    redraw();
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_about)
        m_about->close();
    if (m_analysis)
        m_analysis->close();
    if (m_measure)
        m_measure->close();
    m_analysisRun.cancel();
    m_player->stopNow();
    QMainWindow::closeEvent(event);
}

void Form1::mnuExit_Click()
{
    QApplication::closeAllWindows();
    QCoreApplication::quit();
}

SignalControls Form1::signalControls() const
{
    SignalControls controls;
    for (int k = 0; k < MainState::kHarmonicCount; ++k) {
        controls.level[k] = m_levelControls[k]->value();
        controls.phase[k] = m_phaseControls[k]->value();
    }
    return controls;
}

void Form1::redraw()
{
    ::redraw(m_state, m_surface, signalControls());
}

void Form1::showError(const char *action, const char *reason)
{
    const QString message =
        tr("%1 failed: %2.\n\nWhat was done before the error stays done; you can go on working.")
            .arg(tr(action), QString::fromUtf8(reason));
    // One message box at a time: a repeated error updates it instead of piling up windows.
    if (!m_errorBox) {
        m_errorBox = new QMessageBox(QMessageBox::Warning, QStringLiteral("Quenlari"), QString(),
                                     QMessageBox::Ok, this);
        m_errorBox->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_errorBox->setText(message);
    m_errorBox->open();
    emit errorShown(message);
}
