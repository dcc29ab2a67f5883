// Memory over a long session: the plot and cursor code allocate nothing per
// redraw or move, and the process does not grow with use.

#include "app/form1.h"
#include "base/numbertext.h"
#include "cursor/cursor.h"
#include "measure/measurement.h"
#include "measure/session.h"
#include "plot/redraw.h"
#include "sound/tonegenerator.h"
#include "surface/picturebox.h"
#include "tests/support.h"
#include "tests/simulateddevice.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include <gtest/gtest.h>

namespace {
std::atomic<long> allocations{0};
}

// Every allocation of the process is counted; a test reads the count before and after.
void *operator new(std::size_t size)
{
    ++allocations;
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size)
{
    return operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    ++allocations;
    return std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void *memory) noexcept
{
    std::free(memory);
}
void operator delete[](void *memory) noexcept
{
    std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

template <typename Work> long allocationsOf(Work &&work)
{
    const long before = allocations;
    work();
    return allocations - before;
}

TEST(Allocations, ARedrawAllocatesOnlyWhatItsTextNeeds)
{
    StartUpPlot plot;
    redraw(plot.state, plot.surface, plot.controls); // fills the font and shaping caches
    redraw(plot.state, plot.surface, plot.controls);
    const long redrawing = allocationsOf([&] { redraw(plot.state, plot.surface, plot.controls); });

    // The same text on a warmed surface: the scale labels and the THD line.
    DrawingSurface text;
    auto printAll = [&] {
        text.setFontSize(12);
        for (int16_t label = 10; label >= -10; label -= 2)
            text.Print(label);
        text.Print(QStringLiteral("Quenlari Totale THD = ") +
                   singleText(static_cast<float>(roundHalfEven2(plot.state.thdPercent))) +
                   QStringLiteral(" %"));
    };
    printAll();
    const long printing = allocationsOf(printAll);
    EXPECT_EQ(redrawing, printing) << "the grid and the 9,952 points allocate nothing";
}

TEST(Allocations, ACursorMoveAllocatesNothingButItsCaptions)
{
    StartUpPlot plot;
    redraw(plot.state, plot.surface, plot.controls);
    moveCursorLine(plot.state, plot.surface, snapToStep(5, plot.state.cursorStep));
    float x = 0;
    const long moving = allocationsOf([&] {
        for (int i = 0; i < 1000; ++i) {
            x = x > 1200 ? 0 : x + 13;
            moveCursorLine(plot.state, plot.surface, snapToStep(x, plot.state.cursorStep));
            volatile float level = levelAt(plot.state, 123);
            (void)level;
            plot.surface.takeDirty();
        }
    });
    EXPECT_EQ(moving, 0);
}

TEST(Allocations, TheLiveToneAllocatesNothingWhileItRenders)
{
    // What the audio output asks for, 20 ms at a time, through a control
    // change, a cross-fade and the fade at the stop.
    sound::ToneGenerator generator(48000, sound::settingsFor(tone::Tone()));
    tone::Tone changed;
    changed.frequencyHz = 730;
    const sound::ToneSettings next = sound::settingsFor(changed); // made on the window's side
    std::vector<float> buffer(960);
    const long rendering = allocationsOf([&] {
        for (int i = 0; i < 100; ++i) {
            if (i == 40)
                generator.setSettings(next);
            if (i == 90)
                generator.requestStop();
            generator.render(buffer.data(), buffer.size());
        }
    });
    EXPECT_EQ(rendering, 0);
    EXPECT_TRUE(generator.finished());
}

// A device that hears what it played: the measuring callback runs on its thread.
class Wire : public SimulatedDevice
{
public:
    float answer(float played) noexcept override { return played; }
};

TEST(Allocations, TheMeasuringCallbackAllocatesNothing)
{
    // Half a second of the device's thread playing and recording, through a
    // new stimulus and a reported dropout, while this thread only waits.
    measure::Devices devices;
    auto wire = std::make_shared<Wire>();
    devices.standIn = wire;
    measure::Session session(devices, measure::sine(997, -12));
    while (session.received() == 0) // the device's thread has set itself up and runs
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t next = session.setStimulus(measure::sine(500, -20), session.received() + 4800);
    const long running = allocationsOf([&] {
        wire->droppedOut = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    });
    EXPECT_EQ(running, 0);
    EXPECT_GT(session.beganAt(next, nullptr), 0); // the new stimulus was taken meanwhile
}

TEST(ResidentMemory, StaysFlatOverTenThousandRedrawsAndAHundredThousandMoves)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: resident size says nothing here";
#endif
    Form1 form;
    form.setWindowState(Qt::WindowNoState);
    form.show();
    auto *calculate = form.findChild<QPushButton *>("Command1");
    auto *picture = form.findChild<PictureBox *>("Picture1");
    auto redraws = [&](int count) {
        for (int i = 0; i < count; ++i) {
            calculate->click();
            if (i % 100 == 0)
                QApplication::processEvents();
        }
        QApplication::processEvents();
    };
    int step = 0;
    auto moves = [&](int count) {
        for (int i = 0; i < count; ++i) {
            step = (step + 37) % 1245;
            const QPointF at(step + 2, 100 + step % 300);
            QMouseEvent event(QEvent::MouseMove, at, picture->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                              Qt::NoModifier);
            QApplication::sendEvent(picture, &event);
            if (i % 1000 == 0)
                QApplication::processEvents();
        }
        QApplication::processEvents();
    };

    redraws(100);
    const long afterFirstRedraws = residentKilobytes();
    redraws(9900);
    const long afterRedraws = residentKilobytes();
    moves(100);
    const long afterFirstMoves = residentKilobytes();
    moves(99900);
    const long afterMoves = residentKilobytes();
    std::printf("resident memory: %ld kB after 100 redraws, %ld kB after 10,000; %ld kB after 100 moves, "
                "%ld kB after 100,000\n",
                afterFirstRedraws, afterRedraws, afterFirstMoves, afterMoves);
    EXPECT_LE(afterRedraws - afterFirstRedraws, 2048);
    EXPECT_LE(afterMoves - afterFirstMoves, 2048);
}

} // namespace
