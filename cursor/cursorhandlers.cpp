// The pointer over the plot: the measurement cursor and the stored samples.

#include "app/caption.h"
#include "app/form1.h"
#include "base/numbertext.h"
#include "cursor/cursor.h"

void Form1::Picture1_MouseMove(float x, float y)
{
    guard(QT_TR_NOOP("Moving the cursor"), [this, x, y] {
        const int16_t nx = snapToStep(x, m_state.cursorStep);
        moveCursorLine(m_state, m_surface, nx);
        const float level = levelAt(m_state, y);
        Label4->setCaption(cursorXText(nx));
        Label6->setCaption(cursorLevelText(level));
    });
}

void Form1::Picture1_MouseUp(float x, float y)
{
    guard(QT_TR_NOOP("Storing a sample"), [this, x, y] {
        const int16_t nx = snapToStep(x, m_state.cursorStep);
        Label10->setCaption(integerText(nx));
        const float level = roundedLevel(levelAt(m_state, y));
        Label12->setCaption(singleText(level));
        // A full memory draws and counts nothing: the user is told instead.
        checkSampleRoom(m_state);
        drawSampleCross(m_surface, nx, y);
        storeSample(m_state, nx, level);
        Label17->setCaption(integerText(m_state.sampleCount));
    });
}
