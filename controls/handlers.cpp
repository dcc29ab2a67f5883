// The handlers of the parameter controls and the calculate button.

#include "app/form1.h"
#include "app/updown.h"
#include "base/errors.h"
#include "base/numbertext.h"
#include "controls/thd.h"

#include "app/caption.h"

void Form1::UpDown1_Change()
{
    guard(QT_TR_NOOP("Changing the frequency"), [this] {
        Label1->setCaption(integerText(UpDown1->value()) + QStringLiteral(" Hz"));
        // The caption comes first: after an overflow it shows the new value
        // while the plot keeps the old frequency.
        m_state.frequencyHz = toInt16(UpDown1->value(), "the frequency");
        redraw();
    });
}

void Form1::levelChanged(int harmonic)
{
    const int k = harmonic - MainState::kFirstHarmonic;
    // The traces take the new level at the next redraw, the THD at the next calculation.
    m_levelLabels[k]->setCaption(integerText(m_levelControls[k]->value()) + QStringLiteral(" %"));
}

void Form1::phaseChanged(int harmonic)
{
    const int k = harmonic - MainState::kFirstHarmonic;
    m_phaseLabels[k]->setCaption(integerText(m_phaseControls[k]->value()));
}

void Form1::UpDown2_Change() { levelChanged(2); }
void Form1::UpDown3_Change() { levelChanged(3); }
void Form1::UpDown4_Change() { levelChanged(4); }
void Form1::UpDown5_Change() { levelChanged(5); }
void Form1::UpDown6_Change() { levelChanged(6); }
void Form1::UpDown7_Change() { levelChanged(7); }
void Form1::UpDown2a_Change() { phaseChanged(2); }
void Form1::UpDown3a_Change() { phaseChanged(3); }
void Form1::UpDown4a_Change() { phaseChanged(4); }
void Form1::UpDown5a_Change() { phaseChanged(5); }
void Form1::UpDown6a_Change() { phaseChanged(6); }
void Form1::UpDown7a_Change() { phaseChanged(7); }

void Form1::UpDown8_Change()
{
    guard(QT_TR_NOOP("Changing the cursor step"), [this] {
        m_state.cursorStep = toInt16(UpDown8->value(), "the cursor step");
        Label8->setCaption(integerText(m_state.cursorStep));
    });
}

void Form1::computeThd()
{
    std::array<int32_t, MainState::kHarmonicCount> levels{};
    for (int k = 0; k < MainState::kHarmonicCount; ++k)
        levels[k] = m_levelControls[k]->value();
    ::computeThd(m_state, levels);
}

void Form1::Command1_Click()
{
    guard(QT_TR_NOOP("Calculating the distortion"), [this] {
        computeThd();
        redraw();
    });
}
