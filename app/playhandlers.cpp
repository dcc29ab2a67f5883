// Actions > Play: the tone of the controls as they stand, heard until stopped.
// The sound follows every control at once; the plot keeps its own rule (a
// level or phase shows at the next "Calcul Quenlari").

#include "app/form1.h"
#include "app/updown.h"
#include "sound/player.h"

#include <QAction>

namespace {
const QString kPlay = QStringLiteral("Play");
const QString kStop = QStringLiteral("Stop");
} // namespace

tone::Tone Form1::toneOfControls() const
{
    tone::Tone tone;
    tone.frequencyHz = UpDown1->value();
    for (int k = 0; k < MainState::kHarmonicCount; ++k) {
        tone.levels[k] = m_levelControls[k]->value();
        tone.phases[k] = m_phaseControls[k]->value();
    }
    return tone;
}

void Form1::mnuPlay_Click()
{
    if (m_player->isPlaying()) {
        m_player->stop();
        mnuPlay->setText(kPlay);
        return;
    }
    // The output opens off the window's thread; where it cannot, playStopped() says why.
    m_player->play(toneOfControls());
    mnuPlay->setText(kStop);
}

void Form1::controlsChangedWhilePlaying()
{
    if (m_player->isPlaying())
        m_player->setTone(toneOfControls());
}

void Form1::playStopped(const QString &error)
{
    mnuPlay->setText(kPlay);
    showPlayAvailability();
    if (!error.isEmpty())
        showError(QT_TR_NOOP("Playing the tone"), error.toUtf8().constData());
}

void Form1::showPlayAvailability()
{
    m_player->checkOutput();
}

void Form1::showOutputAvailable(bool available)
{
    mnuPlay->setEnabled(available);
    mnuPlay->setToolTip(available ? QStringLiteral("Play the tone of the controls")
                                  : QStringLiteral("There is no audio output."));
    mnuPlay->setStatusTip(mnuPlay->toolTip());
}
