#include "app/form1.h"

#include "app/errors.h"
#include "app/numbertext.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include <exception>

namespace {

constexpr int kTwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

template <typename Widget>
Widget *place(Widget *widget, const char *name, const QRect &geometry)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

UpDown *spinControl(QWidget *parent, const char *name, const QRect &geometry, int32_t value, int32_t minimum,
                    int32_t maximum, int32_t increment)
{
    auto *control = place(new UpDown(parent), name, geometry);
    control->setRange(minimum, maximum);
    control->setIncrement(increment);
    control->setValue(value);
    return control;
}

// Left edges, in twips, of the harmonic groups 2 to 7.
constexpr std::array<int, MainState::kHarmonicCount> kValueLabelLeft = {2880, 4920, 6960, 9000, 11040, 13080};
constexpr std::array<int, MainState::kHarmonicCount> kSpinLeft = {4200, 6240, 8280, 10320, 12360, 14400};
constexpr std::array<int, MainState::kHarmonicCount> kFrameLeft = {2760, 4800, 6840, 8880, 10920, 12960};

constexpr int32_t kFrequencyHz = 200, kMinFrequencyHz = 50, kMaxFrequencyHz = 1000, kFrequencyIncrement = 10;
constexpr int32_t kMaxLevel = 20;
constexpr int32_t kMaxPhase = 360, kPhaseIncrement = 5;
constexpr int32_t kCursorStep = 10, kMaxCursorStep = 40;

} // namespace

Form1::Form1(QWidget *parent) : QMainWindow(parent)
{
    buildWindow();
    connectHandlers();
    guard(tr("Starting the program"), [this] { Form_Load(); });
}

Form1::~Form1() = default;

void Form1::buildWindow()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    Picture1 = place(new PictureBox(m_surface, client), "Picture1", twips(240, 120, 18735, 7455));

    Label1 = place(new QLabel(QStringLiteral("200 Hz"), client), "Label1", twips(480, 8760, 870, 360));
    UpDown1 = spinControl(client, "UpDown1", twips(1800, 8640, 255, 495), kFrequencyHz, kMinFrequencyHz,
                          kMaxFrequencyHz, kFrequencyIncrement);

    for (int k = 0; k < MainState::kHarmonicCount; ++k) {
        const QByteArray n = QByteArray::number(k + MainState::kFirstHarmonic);
        m_levelLabels[k] = place(new QLabel(QStringLiteral("1 %"), client), "Label" + n + "a",
                                 twips(kValueLabelLeft[k], 8760, 450, 360));
        m_levelControls[k] =
            spinControl(client, "UpDown" + n, twips(kSpinLeft[k], 8640, 255, 495), 1, 0, kMaxLevel, 1);
        auto *frame = place(new QGroupBox(QStringLiteral("Defazaj (Grade)"), client),
                            "Frame" + QByteArray::number(k + 1), twips(kFrameLeft[k], 9600, 1935, 975));
        m_phaseFrames[k] = frame;
        m_phaseControls[k] =
            spinControl(frame, "UpDown" + n + "a", twips(1440, 240, 255, 495), 0, 0, kMaxPhase, kPhaseIncrement);
        m_phaseLabels[k] =
            place(new QLabel(QStringLiteral("0"), frame), "Label" + n + "b", twips(120, 360, 1000, 400));
    }

    Command1 = place(new QPushButton(QStringLiteral("Calcul Quenlari"), client), "Command1",
                     twips(360, 9840, 2000, 495));
    UpDown8 = spinControl(client, "UpDown8", twips(15720, 8880, 255, 615), kCursorStep, 0, kMaxCursorStep, 1);
    Label8 = place(new QLabel(QStringLiteral("10"), client), "Label8", twips(16200, 9000, 375, 285));

    QMenu *mnuFile = menuBar()->addMenu(QStringLiteral("File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuExit = mnuFile->addAction(QStringLiteral("Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
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
    connect(mnuExit, &QAction::triggered, this, &Form1::mnuExit_Click);
}

void Form1::Form_Load()
{
    setWindowState(windowState() | Qt::WindowMaximized);
    m_state.pixelsPerUnit = static_cast<float>(223 / 100.0);
    m_state.frequencyHz = toInt16(UpDown1->value(), "the frequency");
    m_state.cursorStep = kCursorStep;
    m_state.piValue = static_cast<float>(31415 / 10000.0);
    // Each assignment runs the control's change handler, which rewrites its label.
    m_phaseControls[3 - MainState::kFirstHarmonic]->setValue(20);
    m_phaseLabels[3 - MainState::kFirstHarmonic]->setText(integerText(20));
    m_phaseControls[5 - MainState::kFirstHarmonic]->setValue(165);
    m_phaseLabels[5 - MainState::kFirstHarmonic]->setText(integerText(165));
    m_levelControls[3 - MainState::kFirstHarmonic]->setValue(5);
    m_levelControls[5 - MainState::kFirstHarmonic]->setValue(2);
    computeThd();
    m_surface.setBackColor(0);
    m_surface.setPicture(QImage());
    redraw();
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

void Form1::guard(const QString &action, const std::function<void()> &body)
{
    try {
        body();
    } catch (const std::exception &error) {
        showError(action, QString::fromStdString(error.what()));
    }
}

void Form1::showError(const QString &action, const QString &reason)
{
    const QString message = tr("%1 failed: %2.\n\nWhat was done before the error stays done; you can go on working.")
                                .arg(action, reason);
    // One message box at a time: a repeated error updates it instead of piling up windows.
    if (!m_errorBox) {
        m_errorBox = new QMessageBox(QMessageBox::Warning, QStringLiteral("Quenlari"), QString(), QMessageBox::Ok, this);
        m_errorBox->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_errorBox->setText(message);
    m_errorBox->open();
    emit errorShown(message);
}
