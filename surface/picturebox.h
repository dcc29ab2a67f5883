#pragma once

#include <QWidget>

class DrawingSurface;

// The picture box that shows a DrawingSurface inside a sunken border. It
// repaints only the rectangles that changed since its last repaint, so a line
// drawn over the plot repaints that line, not the whole plot. Pointer
// positions are reported in the surface's pixels, with or without a button
// held; while a button is held they may lie outside the surface.
class PictureBox : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kBorder = 2;

    PictureBox(DrawingSurface &surface, QWidget *parent = nullptr);

    // Top-left of the drawing area in the widget: children such as the
    // readout labels are placed from here.
    QPoint clientOrigin() const { return QPoint(kBorder, kBorder); }

signals:
    void mouseMoved(float x, float y);
    void mouseReleased(float x, float y); // any button

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void flush();

    DrawingSurface &m_surface;
    bool m_flushPending = false;
};
