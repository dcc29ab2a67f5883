#include "app/caption.h"
#include "app/form1.h"
#include "app/shape.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include <cmath>

#include <gtest/gtest.h>

namespace {

// The designed layout, in twips, as the window's designer laid it out.
struct Designed
{
    const char *name;
    const char *container; // "client", "Picture1" or a frame
    int left, top, width, height;
    const char *text;  // nullptr: no text to check
    double fontPoints; // 0: the window's default font, 8.25
    bool bold;
    int tabIndex; // -1: shapes, which have none
};

const Designed kLayout[] = {
    {"Picture1", "client", 240, 120, 18735, 7455, nullptr, 0, false, 0},
    {"Label4", "Picture1", 720, 6840, 975, 270, "X", 9.75, false, 41},
    {"Label6", "Picture1", 2160, 6840, 1155, 270, "Y", 9.75, false, 42},
    {"Label2", "client", 480, 8160, 2145, 195, "Frecventa Sinusoida nivel 100", 0, false, 3},
    {"Shape1", "client", 360, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Label1", "client", 480, 8760, 870, 360, "200 Hz", 13.5, false, 2},
    {"UpDown1", "client", 1800, 8640, 255, 495, nullptr, 0, false, 1},
    {"Label3", "client", 2880, 8160, 1680, 195, "Armonica 2-a. Tensiune", 0, false, 5},
    {"Label5", "client", 4920, 8160, 1680, 195, "Armonica 3-a. Tensiune", 0, false, 8},
    {"Label7", "client", 6960, 8160, 1620, 195, "Armonica 4-a. tensiune", 0, false, 11},
    {"Label9", "client", 9120, 8160, 1680, 195, "Armonica 5-a. Tensiune", 0, false, 14},
    {"Label11", "client", 11160, 8160, 1680, 195, "Armonica 6-a. Tensiune", 0, false, 17},
    {"Label13", "client", 13200, 8160, 1680, 195, "Armonica 7-a. Tensiune", 0, false, 20},
    {"Shape2", "client", 2760, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Shape3", "client", 4800, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Shape4", "client", 6840, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Shape5", "client", 8880, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Shape6", "client", 10920, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Shape7", "client", 12960, 8520, 1935, 855, nullptr, 0, false, -1},
    {"Label2a", "client", 2880, 8760, 450, 360, "1 %", 13.5, false, 6},
    {"Label3a", "client", 4920, 8760, 450, 360, "5 %", 13.5, false, 9},
    {"Label4a", "client", 6960, 8760, 450, 360, "1 %", 13.5, false, 12},
    {"Label5a", "client", 9000, 8760, 450, 360, "2 %", 13.5, false, 15},
    {"Label6a", "client", 11040, 8760, 450, 360, "1 %", 13.5, false, 18},
    {"Label7a", "client", 13080, 8760, 450, 360, "1 %", 13.5, false, 21},
    {"UpDown2", "client", 4200, 8640, 255, 495, nullptr, 0, false, 4},
    {"UpDown3", "client", 6240, 8640, 255, 495, nullptr, 0, false, 7},
    {"UpDown4", "client", 8280, 8640, 255, 495, nullptr, 0, false, 10},
    {"UpDown5", "client", 10320, 8640, 255, 495, nullptr, 0, false, 13},
    {"UpDown6", "client", 12360, 8640, 255, 495, nullptr, 0, false, 16},
    {"UpDown7", "client", 14400, 8640, 255, 495, nullptr, 0, false, 19},
    {"Frame1", "client", 2760, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 22},
    {"Frame2", "client", 4800, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 25},
    {"Frame3", "client", 6840, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 28},
    {"Frame4", "client", 8880, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 31},
    {"Frame5", "client", 10920, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 34},
    {"Frame6", "client", 12960, 9600, 1935, 975, "Defazaj (Grade)", 0, false, 37},
    {"UpDown2a", "Frame1", 1440, 240, 255, 495, nullptr, 0, false, 23},
    {"UpDown3a", "Frame2", 1440, 240, 255, 495, nullptr, 0, false, 26},
    {"UpDown4a", "Frame3", 1440, 240, 255, 495, nullptr, 0, false, 29},
    {"UpDown5a", "Frame4", 1440, 240, 255, 495, nullptr, 0, false, 32},
    {"UpDown6a", "Frame5", 1440, 240, 255, 495, nullptr, 0, false, 35},
    {"UpDown7a", "Frame6", 1440, 240, 255, 495, nullptr, 0, false, 38},
    {"Label2b", "Frame1", 120, 360, 1000, 400, "0", 13.5, false, 24},
    {"Label3b", "Frame2", 120, 360, 1000, 400, "20", 13.5, false, 27},
    {"Label4b", "Frame3", 120, 360, 1000, 400, "0", 13.5, false, 30},
    {"Label5b", "Frame4", 120, 360, 1000, 400, "165", 13.5, false, 33},
    {"Label6b", "Frame5", 120, 360, 1000, 400, "0", 13.5, false, 36},
    {"Label7b", "Frame6", 120, 360, 1000, 400, "0", 13.5, false, 39},
    {"Command1", "client", 360, 9840, 2000, 495, "Calcul Quenlari", 9.75, true, 40},
    {"Shape8", "client", 15480, 8520, 2295, 1935, nullptr, 0, false, -1},
    {"Label14", "client", 15600, 8160, 1275, 195, "Esantion Memorat", 0, false, 47},
    {"Label15", "client", 16200, 8760, 330, 195, "Step", 0, false, 48},
    {"Label16", "client", 16920, 8760, 390, 195, "Index", 0, false, 49},
    {"UpDown8", "client", 15720, 8880, 255, 615, nullptr, 0, false, 43},
    {"Label8", "client", 16200, 9000, 375, 285, "10", 9.75, false, 44},
    {"Label17", "client", 16920, 9000, 615, 255, "0", 0, false, 50},
    {"Label10", "client", 15720, 9720, 975, 285, "", 9.75, false, 45},
    {"Label12", "client", 15720, 10080, 975, 285, "", 9.75, false, 46},
};

int px(int twips)
{
    return static_cast<int>(std::lround(twips / 15.0));
}

int fontPixels(double points)
{
    return static_cast<int>(std::lround((points > 0 ? points : 8.25) * 96 / 72));
}

QString textOf(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QPushButton *>(widget))
        return button->text();
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        return frame->title();
    return QString();
}

TEST(Layout, EveryControlSitsWhereItWasDesignedWithItsTextFontAndTabIndex)
{
    Form1 form;
    for (const Designed &designed : kLayout) {
        SCOPED_TRACE(designed.name);
        auto *widget = form.findChild<QWidget *>(QLatin1String(designed.name));
        ASSERT_NE(widget, nullptr);
        ASSERT_NE(widget->parentWidget(), nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName(), designed.container);

        QPoint origin;
        if (auto *box = qobject_cast<PictureBox *>(widget->parentWidget()))
            origin = box->clientOrigin();
        const QRect geometry = widget->geometry().translated(-origin);
        EXPECT_EQ(geometry.topLeft(), QPoint(px(designed.left), px(designed.top)));
        EXPECT_EQ(geometry.height(), px(designed.height));
        if (auto *caption = qobject_cast<Caption *>(widget)) {
            // A caption grows to the right only when the font at hand needs it.
            const int needed = caption->fontMetrics().horizontalAdvance(caption->text());
            EXPECT_EQ(geometry.width(), std::max(px(designed.width), needed));
        } else {
            EXPECT_EQ(geometry.width(), px(designed.width));
        }

        if (designed.text) {
            EXPECT_EQ(textOf(widget), QString::fromUtf8(designed.text));
        }
        if (designed.tabIndex >= 0) {
            EXPECT_EQ(widget->font().pixelSize(), fontPixels(designed.fontPoints));
            EXPECT_EQ(widget->font().bold(), designed.bold);
            EXPECT_EQ(widget->property(Form1::kTabIndexProperty).toInt(), designed.tabIndex);
        }
    }
}

TEST(Layout, ShapesReadoutsAndButtonHaveTheirColours)
{
    Form1 form;
    const std::pair<const char *, QColor> shapes[] = {
        {"Shape1", QColor(0x80, 0xFF, 0xFF)}, {"Shape2", QColor(0x80, 0, 0)},
        {"Shape3", QColor(0x80, 0, 0x80)},    {"Shape4", QColor(0xC0, 0xC0, 0)},
        {"Shape5", QColor(0xC0, 0, 0)},       {"Shape6", QColor(0xFF, 0xFF, 0xFF)},
        {"Shape7", QColor(0, 0, 0xC0)},       {"Shape8", QColor(0, 0, 0)}};
    for (auto [name, colour] : shapes) {
        auto *shape = form.findChild<Shape *>(QLatin1String(name));
        ASSERT_NE(shape, nullptr) << name;
        EXPECT_EQ(shape->colour(), colour) << name;
        EXPECT_TRUE(shape->testAttribute(Qt::WA_TransparentForMouseEvents)) << name;
    }
    for (const char *name : {"Label4", "Label6"}) {
        auto *readout = form.findChild<QLabel *>(QLatin1String(name));
        EXPECT_EQ(readout->palette().color(QPalette::WindowText), QColor(255, 255, 0)) << name;
        EXPECT_EQ(readout->palette().color(QPalette::Window), QColor(0x40, 0x40, 0x40)) << name;
        EXPECT_TRUE(readout->autoFillBackground()) << name;
    }
    auto *button = form.findChild<QPushButton *>("Command1");
    EXPECT_EQ(button->palette().color(QPalette::Button), QColor(0x80, 0xFF, 0x80));
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
}

TEST(Layout, WindowHasItsTitleIconClientAreaAndMenus)
{
    Form1 form;
    EXPECT_EQ(form.windowTitle(), "Form1");
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_EQ(form.windowIcon().availableSizes().value(0), QSize(32, 32));

    form.setWindowState(Qt::WindowNoState);
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.centralWidget()->size(), QSize(1218, 712));
    EXPECT_EQ(form.findChild<QWidget *>("Picture1")->size(), QSize(1249, 497));

    QStringList menus;
    for (QAction *action : form.menuBar()->actions())
        menus << action->text();
    EXPECT_EQ(menus, QStringList({"File", "Edit", "View", "Actions", "Tools", "Help"}));
    // The designed items keep their captions; new ones come only into Actions,
    // Tools and File between "Open Picture (bmp, jpg)" and "Exit".
    auto items = [&](int menu) {
        QStringList texts;
        for (QAction *action : form.menuBar()->actions().at(menu)->menu()->actions())
            texts << action->text() + QLatin1Char('|') + action->shortcut().toString();
        return texts;
    };
    EXPECT_EQ(items(0), QStringList({"Open Picture (bmp, jpg)|Ctrl+O", "Save Plot As…|Ctrl+S", "Save Tone As…|",
                                     "Export Samples…|", "Exit|Ctrl+Q"}));
    EXPECT_EQ(items(3), QStringList({"Play|Ctrl+P"}));
    EXPECT_EQ(items(4), QStringList({"Analyse Recording…|", "Measure Device…|"}));
    EXPECT_EQ(items(5), QStringList({"About|F1"}));
    for (int i = 1; i <= 2; ++i)
        EXPECT_EQ(form.menuBar()->actions().at(i)->menu(), nullptr); // Edit and View open nothing
}

TEST(Layout, NothingMovesWhenTheWindowIsResized)
{
    Form1 form;
    form.show();
    auto *spin = form.findChild<QWidget *>("UpDown8");
    const QRect before = spin->geometry();
    form.setWindowState(Qt::WindowNoState);
    form.resize(400, 300);
    QApplication::processEvents();
    EXPECT_EQ(spin->geometry(), before);
    EXPECT_EQ(form.findChild<QWidget *>("Picture1")->size(), QSize(1249, 497));
}

TEST(Layout, TabWalksTheSpinControlsAndTheButtonInTheDesignedOrder)
{
    Form1 form;
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QStringList order;
    for (int i = 0; i < 16; ++i) {
        QWidget *focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr);
        order << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(order, QStringList({"UpDown1", "UpDown2", "UpDown3", "UpDown4", "UpDown5", "UpDown6", "UpDown7",
                                  "UpDown2a", "UpDown3a", "UpDown4a", "UpDown5a", "UpDown6a", "UpDown7a",
                                  "Command1", "UpDown8", "UpDown1"}));
}

TEST(Layout, SpinControlsHaveTheirDesignedRangesAndIncrements)
{
    Form1 form;
    struct Range
    {
        const char *name;
        int32_t minimum, maximum, increment;
    };
    std::vector<Range> ranges = {{"UpDown1", 50, 1000, 10}, {"UpDown8", 0, 40, 1}};
    for (const char *level : {"UpDown2", "UpDown3", "UpDown4", "UpDown5", "UpDown6", "UpDown7"})
        ranges.push_back({level, 0, 20, 1});
    for (const char *phase : {"UpDown2a", "UpDown3a", "UpDown4a", "UpDown5a", "UpDown6a", "UpDown7a"})
        ranges.push_back({phase, 0, 360, 5});
    for (const Range &range : ranges) {
        auto *spin = form.findChild<UpDown *>(QLatin1String(range.name));
        ASSERT_NE(spin, nullptr) << range.name;
        EXPECT_EQ(spin->minimum(), range.minimum) << range.name;
        EXPECT_EQ(spin->maximum(), range.maximum) << range.name;
        EXPECT_EQ(spin->increment(), range.increment) << range.name;
    }
}

TEST(Layout, SpinControlsCarryNamesAScreenReaderCanTellApart)
{
    Form1 form;
    EXPECT_EQ(form.findChild<QWidget *>("UpDown1")->accessibleName(), "Fundamental frequency");
    EXPECT_EQ(form.findChild<QWidget *>("UpDown3")->accessibleName(), "Harmonic 3 level");
    EXPECT_EQ(form.findChild<QWidget *>("UpDown3a")->accessibleName(), "Harmonic 3 phase");
    EXPECT_EQ(form.findChild<QWidget *>("UpDown8")->accessibleName(), "Cursor step");
    QStringList names;
    for (auto *spin : form.findChildren<UpDown *>())
        names << spin->accessibleName();
    names.removeDuplicates();
    EXPECT_EQ(names.size(), 14);
}

} // namespace
