#pragma once

#include <QWidget>

class DrawingSurface;

// The picture box that shows a DrawingSurface inside a sunken border. It
// repaints only the rectangle that changed since its last repaint, so a line
// drawn over the plot repaints that line, not the whole plot.
class PictureBox : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kBorder = 2;

    PictureBox(DrawingSurface &surface, QWidget *parent = nullptr);

    // Top-left of the drawing area in the widget: children such as the
    // readout labels are placed from here.
    QPoint clientOrigin() const { return QPoint(kBorder, kBorder); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void flush();

    DrawingSurface &m_surface;
    bool m_flushPending = false;
};
