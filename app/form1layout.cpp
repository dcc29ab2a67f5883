// The main window as designed: every control at its place, in twips
// (15 to the pixel), with its text, font, colours and place in the tab order.

#include "app/form1.h"

#include "app/caption.h"
#include "app/icon.h"
#include "app/shape.h"
#include "app/updown.h"
#include "base/design.h"
#include "surface/picturebox.h"

#include <QGroupBox>
#include <QMenuBar>
#include <QPushButton>

#include <algorithm>

namespace {

constexpr int kClientWidth = 18270, kClientHeight = 10680;
constexpr uint32_t kWindowColour = 0xC0C0C0;

using design::pixels;
using design::twips;

template <typename Widget>
Widget *place(Widget *widget, const char *name, const QRect &geometry, int tabIndex)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    widget->setProperty(Form1::kTabIndexProperty, tabIndex);
    return widget;
}

Caption *label(QWidget *parent, const char *name, const QString &text, const QRect &geometry, int tabIndex,
               double fontPoints = 0)
{
    auto *caption = new Caption(text, geometry, parent);
    caption->setObjectName(QLatin1String(name));
    caption->setProperty(Form1::kTabIndexProperty, tabIndex);
    if (fontPoints > 0)
        caption->setFont(design::font(fontPoints));
    return caption;
}

UpDown *spinControl(QWidget *parent, const char *name, const QRect &geometry, int tabIndex,
                    const QString &accessibleName, int32_t value, int32_t minimum, int32_t maximum,
                    int32_t increment)
{
    auto *control = place(new UpDown(parent), name, geometry, tabIndex);
    control->setRange(minimum, maximum);
    control->setIncrement(increment);
    control->setValue(value);
    control->setAccessibleName(accessibleName);
    return control;
}

struct HarmonicGroup
{
    const char *caption;
    const char *captionName;
    int captionLeft, captionWidth;
    const char *shapeName;
    int shapeLeft;
    uint32_t shapeColour;
    int valueLeft, spinLeft, frameLeft;
};

// Harmonics 2 to 7. The lower-case "tensiune" of harmonic 4 is as designed.
const std::array<HarmonicGroup, MainState::kHarmonicCount> kHarmonicGroups = {{
    {"Armonica 2-a. Tensiune", "Label3", 2880, 1680, "Shape2", 2760, 0x000080, 2880, 4200, 2760},
    {"Armonica 3-a. Tensiune", "Label5", 4920, 1680, "Shape3", 4800, 0x800080, 4920, 6240, 4800},
    {"Armonica 4-a. tensiune", "Label7", 6960, 1620, "Shape4", 6840, 0x00C0C0, 6960, 8280, 6840},
    {"Armonica 5-a. Tensiune", "Label9", 9120, 1680, "Shape5", 8880, 0x0000C0, 9000, 10320, 8880},
    {"Armonica 6-a. Tensiune", "Label11", 11160, 1680, "Shape6", 10920, 0xFFFFFF, 11040, 12360, 10920},
    {"Armonica 7-a. Tensiune", "Label13", 13200, 1680, "Shape7", 12960, 0xC00000, 13080, 14400, 12960},
}};

constexpr int kCaptionTop = 8160, kCaptionHeight = 195;
constexpr int kShapeTop = 8520, kShapeWidth = 1935, kShapeHeight = 855;
constexpr int kValueTop = 8760, kValueWidth = 450, kValueHeight = 360;
constexpr int kSpinTop = 8640, kSpinWidth = 255, kSpinHeight = 495;
constexpr int kFrameTop = 9600, kFrameWidth = 1935, kFrameHeight = 975;
constexpr double kValueFontPoints = 13.5;
constexpr double kSmallFontPoints = 9.75;

constexpr int32_t kFrequencyHz = 200, kMinFrequencyHz = 50, kMaxFrequencyHz = 1000, kFrequencyIncrement = 10;
constexpr int32_t kLevel = 1, kMaxLevel = 20;
constexpr int32_t kMaxPhase = 360, kPhaseIncrement = 5;
constexpr int32_t kCursorStep = 10, kMaxCursorStep = 40;

} // namespace

void Form1::buildWindow()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setWindowIcon(QIcon(QPixmap::fromImage(programIcon())));
    setFont(design::font(design::kDefaultFontPoints));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, design::colour(kWindowColour));
    setPalette(colours);

    // The client area has a fixed layout: nothing moves or scales with the
    // window, and what lies beyond it is cut off.
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setAutoFillBackground(true);
    setCentralWidget(client);

    // Shapes first, so that the controls they frame lie above them.
    place(new Shape(design::colour(0xFFFF80), client), "Shape1",
          twips(360, kShapeTop, kShapeWidth, kShapeHeight), -1);
    for (const HarmonicGroup &group : kHarmonicGroups)
        place(new Shape(design::colour(group.shapeColour), client), group.shapeName,
              twips(group.shapeLeft, kShapeTop, kShapeWidth, kShapeHeight), -1);
    place(new Shape(design::colour(0x000000), client), "Shape8", twips(15480, 8520, 2295, 1935), -1);

    Picture1 = place(new PictureBox(m_surface, client), "Picture1", twips(240, 120, 18735, 7455), 0);
    Picture1->setAccessibleName(tr("Plot"));
    for (Caption **readout : {&Label4, &Label6}) {
        const bool isX = readout == &Label4;
        *readout =
            label(Picture1, isX ? "Label4" : "Label6", isX ? QStringLiteral("X") : QStringLiteral("Y"),
                  twips(isX ? 720 : 2160, 6840, isX ? 975 : 1155, 270).translated(Picture1->clientOrigin()),
                  isX ? 41 : 42, kSmallFontPoints);
        QPalette readoutColours = (*readout)->palette();
        readoutColours.setColor(QPalette::WindowText, design::colour(0x00FFFF));
        readoutColours.setColor(QPalette::Window, design::colour(0x404040));
        (*readout)->setPalette(readoutColours);
        (*readout)->setAutoFillBackground(true);
        (*readout)->setAttribute(
            Qt::WA_TransparentForMouseEvents); // the plot under them still reads the pointer
    }

    label(client, "Label2", QStringLiteral("Frecventa Sinusoida nivel 100"),
          twips(480, kCaptionTop, 2145, kCaptionHeight), 3);
    Label1 = label(client, "Label1", QStringLiteral("200 Hz"), twips(480, kValueTop, 870, kValueHeight), 2,
                   kValueFontPoints);
    UpDown1 = spinControl(client, "UpDown1", twips(1800, kSpinTop, kSpinWidth, kSpinHeight), 1,
                          tr("Fundamental frequency"), kFrequencyHz, kMinFrequencyHz, kMaxFrequencyHz,
                          kFrequencyIncrement);

    for (int k = 0; k < MainState::kHarmonicCount; ++k) {
        const HarmonicGroup &group = kHarmonicGroups[k];
        const int n = k + MainState::kFirstHarmonic;
        const QByteArray number = QByteArray::number(n);
        const int tab = 3 * k;
        m_levelControls[k] =
            spinControl(client, "UpDown" + number, twips(group.spinLeft, kSpinTop, kSpinWidth, kSpinHeight),
                        4 + tab, tr("Harmonic %1 level").arg(n), kLevel, 0, kMaxLevel, 1);
        label(client, group.captionName, QLatin1String(group.caption),
              twips(group.captionLeft, kCaptionTop, group.captionWidth, kCaptionHeight), 5 + tab);
        m_levelLabels[k] =
            label(client, "Label" + number + "a", QStringLiteral("1 %"),
                  twips(group.valueLeft, kValueTop, kValueWidth, kValueHeight), 6 + tab, kValueFontPoints);

        auto *frame = place(new QGroupBox(QStringLiteral("Defazaj (Grade)"), client),
                            "Frame" + QByteArray::number(k + 1),
                            twips(group.frameLeft, kFrameTop, kFrameWidth, kFrameHeight), 22 + tab);
        frame->setAutoFillBackground(true);
        m_phaseControls[k] =
            spinControl(frame, "UpDown" + number + "a", twips(1440, 240, kSpinWidth, kSpinHeight), 23 + tab,
                        tr("Harmonic %1 phase").arg(n), 0, 0, kMaxPhase, kPhaseIncrement);
        m_phaseLabels[k] = label(frame, "Label" + number + "b", QStringLiteral("0"),
                                 twips(120, 360, 1000, 400), 24 + tab, kValueFontPoints);
    }

    Command1 = place(new QPushButton(QStringLiteral("Calcul Quenlari"), client), "Command1",
                     twips(360, 9840, 2000, 495), 40);
    Command1->setFont(design::font(kSmallFontPoints, true));
    // Enter and keypad Enter press the button when it has the focus.
    Command1->setAutoDefault(true);
    QPalette buttonColours = Command1->palette();
    buttonColours.setColor(QPalette::Button, design::colour(0x80FF80));
    Command1->setPalette(buttonColours);

    label(client, "Label14", QStringLiteral("Esantion Memorat"), twips(15600, 8160, 1275, 195), 47);
    label(client, "Label15", QStringLiteral("Step"), twips(16200, 8760, 330, 195), 48);
    label(client, "Label16", QStringLiteral("Index"), twips(16920, 8760, 390, 195), 49);
    UpDown8 = spinControl(client, "UpDown8", twips(15720, 8880, 255, 615), 43, tr("Cursor step"), kCursorStep,
                          0, kMaxCursorStep, 1);
    Label8 =
        label(client, "Label8", QStringLiteral("10"), twips(16200, 9000, 375, 285), 44, kSmallFontPoints);
    Label17 = label(client, "Label17", QStringLiteral("0"), twips(16920, 9000, 615, 255), 50);
    Label10 = label(client, "Label10", QString(), twips(15720, 9720, 975, 285), 45, kSmallFontPoints);
    Label12 = label(client, "Label12", QString(), twips(15720, 10080, 975, 285), 46, kSmallFontPoints);

    // Only the spin controls and the button take the focus, in the designed order.
    QList<QWidget *> focusable;
    for (QWidget *widget : findChildren<QWidget *>())
        if (widget->focusPolicy() & Qt::TabFocus && widget->property(kTabIndexProperty).isValid())
            focusable.append(widget);
    std::sort(focusable.begin(), focusable.end(), [](QWidget *a, QWidget *b) {
        return a->property(kTabIndexProperty).toInt() < b->property(kTabIndexProperty).toInt();
    });
    for (qsizetype i = 1; i < focusable.size(); ++i)
        setTabOrder(focusable[i - 1], focusable[i]);
    UpDown1->setFocus();

    // The designed captions stay as they are; the shortcuts show beside them.
    QMenu *mnuFile = menuBar()->addMenu(QStringLiteral("File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuOpen = mnuFile->addAction(QStringLiteral("Open Picture (bmp, jpg)"));
    mnuOpen->setObjectName(QStringLiteral("mnuOpen"));
    mnuOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuSavePlot = mnuFile->addAction(QStringLiteral("Save Plot As…"));
    mnuSavePlot->setObjectName(QStringLiteral("mnuSavePlot"));
    mnuSavePlot->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    mnuSaveTone = mnuFile->addAction(QStringLiteral("Save Tone As…"));
    mnuSaveTone->setObjectName(QStringLiteral("mnuSaveTone"));
    mnuExportSamples = mnuFile->addAction(QStringLiteral("Export Samples…"));
    mnuExportSamples->setObjectName(QStringLiteral("mnuExportSamples"));
    mnuExit = mnuFile->addAction(QStringLiteral("Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    mnuExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // Edit and View open nothing and do nothing.
    for (const char *name : {"Edit", "View"})
        menuBar()->addAction(QLatin1String(name))->setObjectName(QLatin1String("mnu") + QLatin1String(name));
    QMenu *mnuActions = menuBar()->addMenu(QStringLiteral("Actions"));
    mnuActions->setObjectName(QStringLiteral("mnuActions"));
    mnuActions->setToolTipsVisible(true); // why Play is greyed out, when it is
    // Ctrl+P plays and stops, as in the common media players.
    mnuPlay = mnuActions->addAction(QStringLiteral("Play"));
    mnuPlay->setObjectName(QStringLiteral("mnuPlay"));
    mnuPlay->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    QMenu *mnuTools = menuBar()->addMenu(QStringLiteral("Tools"));
    mnuTools->setObjectName(QStringLiteral("mnuTools"));
    mnuAnalyse = mnuTools->addAction(QStringLiteral("Analyse Recording…"));
    mnuAnalyse->setObjectName(QStringLiteral("mnuAnalyse"));
    mnuMeasure = mnuTools->addAction(QStringLiteral("Measure Device…"));
    mnuMeasure->setObjectName(QStringLiteral("mnuMeasure"));
    QMenu *mnuHelp = menuBar()->addMenu(QStringLiteral("Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    mnuAbout->setShortcut(QKeySequence(Qt::Key_F1));

    resize(pixels(kClientWidth), pixels(kClientHeight) + menuBar()->sizeHint().height());
}
