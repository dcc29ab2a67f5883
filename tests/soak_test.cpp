// A long session of random user events through the real widgets, checking
// after every event what a user relies on. QUENLARI_SOAK_EVENTS sets the
// number of events (100,000 by default), QUENLARI_SOAK_SEED the seed.

#include "about/aboutwindow.h"
#include "app/form1.h"
#include "app/updown.h"
#include "surface/picturebox.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <optional>
#include <random>

#include <gtest/gtest.h>

namespace {

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

class Session
{
public:
    explicit Session(uint32_t seed) : m_random(seed)
    {
        m_form.setWindowState(Qt::WindowNoState);
        m_form.show();
        m_picture = m_form.findChild<PictureBox *>("Picture1");
        m_frequency = spin("UpDown1");
        m_step = spin("UpDown8");
        for (int n = 2; n <= 7; ++n) {
            m_levels.push_back(spin(qPrintable(QStringLiteral("UpDown%1").arg(n))));
            m_phases.push_back(spin(qPrintable(QStringLiteral("UpDown%1a").arg(n))));
        }
        m_all = m_levels + m_phases + QList<UpDown *>{m_frequency, m_step};

        QImage good(200, 80, QImage::Format_RGB32);
        good.fill(Qt::darkCyan);
        good.save(m_folder.filePath(QStringLiteral("good.bmp")));
        good.save(m_folder.filePath(QStringLiteral("good.jpg")));
        QFile bad(m_folder.filePath(QStringLiteral("bad.bmp")));
        bad.open(QIODevice::WriteOnly);
        bad.write("not a picture at all");
        bad.close();
        m_form.fileDialog().setAnswer([this](const CommonDialog &) { return m_answer; });
    }

    // One random event; returns whether it must end in an error message.
    bool randomEvent()
    {
        const int kind = pick(0, 99);
        if (kind < 40)
            return move(pick(-2, 1246), pick(-2, 494), Qt::NoButton);
        if (kind < 45)
            return move(pick(-6000, 7000), pick(-3000, 3000), Qt::LeftButton); // dragged far outside
        if (kind < 55)
            return release();
        if (kind < 72)
            return arrowClick();
        if (kind < 85)
            return key();
        if (kind < 88)
            return stepChange();
        if (kind < 92) {
            m_form.findChild<QPushButton *>("Command1")->click();
            return false;
        }
        if (kind < 95)
            return about();
        return openPicture();
    }

    void checkInvariants()
    {
        const MainState &state = m_form.state();
        ASSERT_EQ(text("Label1"), QString::number(m_frequency->value()) + " Hz");
        ASSERT_EQ(state.frequencyHz, m_frequency->value());
        ASSERT_EQ(state.cursorStep, m_step->value());
        ASSERT_EQ(text("Label8"), QString::number(state.cursorStep));
        for (int k = 0; k < 6; ++k) {
            ASSERT_EQ(text(qPrintable(QStringLiteral("Label%1a").arg(k + 2))),
                      QString::number(m_levels[k]->value()) + " %");
            ASSERT_EQ(text(qPrintable(QStringLiteral("Label%1b").arg(k + 2))), QString::number(m_phases[k]->value()));
        }
        for (UpDown *control : m_all)
            ASSERT_TRUE(control->value() >= control->minimum() && control->value() <= control->maximum());
        ASSERT_GE(state.sampleCount, 0);
        ASSERT_LE(state.sampleCount, 1000);
        ASSERT_EQ(text("Label17"), QString::number(state.sampleCount));
        if (m_moved) {
            ASSERT_EQ(text("Label4"), QStringLiteral(" X = %1 ").arg(state.cursorX));
        }
        ASSERT_EQ(m_form.surface().image().size(), QSize(1245, 493));
    }

    Form1 &form() { return m_form; }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    UpDown *spin(const char *name) { return m_form.findChild<UpDown *>(QLatin1String(name)); }
    QString text(const char *name) { return m_form.findChild<QLabel *>(QLatin1String(name))->text(); }

    void send(QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held)
    {
        const QPointF local = at + m_picture->clientOrigin();
        QMouseEvent event(type, local, m_picture->mapToGlobal(local), button, held, Qt::NoModifier);
        QApplication::sendEvent(m_picture, &event);
    }
    bool move(int x, int y, Qt::MouseButtons held)
    {
        send(QEvent::MouseMove, QPointF(x + pick(0, 3) / 4.0, y), Qt::NoButton, held);
        m_moved = true;
        return false;
    }
    bool release()
    {
        const bool full = m_form.state().sampleCount >= 1000;
        const Qt::MouseButton buttons[] = {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton};
        const bool outside = pick(0, 9) == 0;
        const QPointF at = outside ? QPointF(pick(-3000, 4000), pick(-2000, 2000)) : QPointF(pick(0, 1244), pick(0, 492));
        send(QEvent::MouseButtonRelease, at, buttons[pick(0, 2)], Qt::NoButton);
        return full;
    }
    bool arrowClick()
    {
        UpDown *control = m_all[pick(0, m_all.size() - 1)];
        const auto arrows = control->findChildren<QToolButton *>();
        arrows[pick(0, arrows.size() - 1)]->click();
        return false;
    }
    bool key()
    {
        UpDown *control = m_all[pick(0, m_all.size() - 1)];
        const Qt::Key keys[] = {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown};
        QKeyEvent press(QEvent::KeyPress, keys[pick(0, 3)], Qt::NoModifier);
        QApplication::sendEvent(control, &press);
        return false;
    }
    bool stepChange()
    {
        m_step->setValue(pick(0, 3) == 0 ? 0 : pick(-5, 45));
        return false;
    }
    bool about()
    {
        m_form.findChild<QAction *>("mnuAbout")->trigger();
        for (QWidget *window : QApplication::topLevelWidgets())
            if (auto *about = qobject_cast<AboutWindow *>(window); about && pick(0, 1) == 0)
                about->findChild<QPushButton *>("cmdOK")->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return false;
    }
    bool openPicture()
    {
        const int choice = pick(0, 4);
        const char *names[] = {"good.bmp", "good.jpg", "bad.bmp", "missing.jpg"};
        if (choice == 4) {
            m_answer = std::nullopt; // a cancel loads the last confirmed name again
        } else {
            m_answer = m_folder.filePath(QLatin1String(names[choice]));
            m_lastConfirmedBad = choice >= 2;
            m_anyConfirmed = true;
        }
        m_form.findChild<QAction *>("mnuOpen")->trigger();
        return m_anyConfirmed && m_lastConfirmedBad;
    }

    std::mt19937 m_random;
    Form1 m_form;
    PictureBox *m_picture = nullptr;
    UpDown *m_frequency = nullptr;
    UpDown *m_step = nullptr;
    QList<UpDown *> m_levels, m_phases, m_all;
    QTemporaryDir m_folder;
    std::optional<QString> m_answer;
    bool m_anyConfirmed = false;
    bool m_lastConfirmedBad = false;
    bool m_moved = false;
};

TEST(Soak, ARandomSessionKeepsEveryPromise)
{
    const int events = environmentNumber("QUENLARI_SOAK_EVENTS", 100000);
    const auto seed = static_cast<uint32_t>(environmentNumber("QUENLARI_SOAK_SEED", int(std::random_device()() >> 1)));
    Session session(seed);
    QSignalSpy errors(&session.form(), &Form1::errorShown);
    QElapsedTimer clock;
    clock.start();
    for (int event = 0; event < events; ++event) {
        const qsizetype errorsBefore = errors.count();
        const bool mustFail = session.randomEvent();
        if (event % 500 == 0)
            QApplication::processEvents();
        session.checkInvariants();
        const qsizetype raised = errors.count() - errorsBefore;
        if (::testing::Test::HasFatalFailure() || raised != (mustFail ? 1 : 0)) {
            ADD_FAILURE() << "event " << event << " of the session with QUENLARI_SOAK_SEED=" << seed
                          << (raised ? ": " + errors.last().at(0).toString().toStdString() : std::string());
            return;
        }
    }
    std::printf("soak: %d events in %.1f s, seed %u, %lld error messages (all expected)\n", events,
                clock.elapsed() / 1000.0, seed, static_cast<long long>(errors.count()));
}

} // namespace
