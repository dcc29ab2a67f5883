// Tools > Measure Device: the Measure window, one at a time, beside the main window.

#include "app/form1.h"
#include "measurewindow/measurewindow.h"

void Form1::mnuMeasure_Click()
{
    if (!m_measure) {
        m_measure = new MeasureWindow([this] { return toneOfControls(); });
        connect(m_measure, &MeasureWindow::useInPlot, this, &Form1::useAnalysis);
    }
    m_measure->show();
    m_measure->raise();
    m_measure->activateWindow();
}
