#include "surface/picturebox.h"

#include "surface/drawingsurface.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

PictureBox::PictureBox(DrawingSurface &surface, QWidget *parent) : QWidget(parent), m_surface(surface)
{
    setFixedSize(DrawingSurface::kWidth + 2 * kBorder, DrawingSurface::kHeight + 2 * kBorder);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    // Many drawing calls in one handler make one repaint, after the handler.
    m_surface.setChangeListener([this] {
        if (m_flushPending)
            return;
        m_flushPending = true;
        QMetaObject::invokeMethod(this, &PictureBox::flush, Qt::QueuedConnection);
    });
    m_surface.takeDirty();
}

void PictureBox::flush()
{
    m_flushPending = false;
    for (const QRect &dirty : m_surface.takeDirty())
        update(dirty.translated(clientOrigin()));
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const QRect client(clientOrigin(), m_surface.image().size());
    for (const QRect &area : event->region()) {
        const QRect target = area & client;
        if (!target.isEmpty())
            painter.drawImage(target, m_surface.image(), target.translated(-clientOrigin()));
    }
    if (!client.contains(event->rect())) {
        // The sunken 3D border, two lines wholly outside the drawing area:
        // dark above and to the left, light below and to the right.
        const QPalette &colours = palette();
        const QRect outer = rect();
        const QRect inner = outer.adjusted(1, 1, -1, -1);
        painter.setPen(colours.color(QPalette::Mid));
        painter.drawLine(outer.topLeft(), outer.topRight());
        painter.drawLine(outer.topLeft(), outer.bottomLeft());
        painter.setPen(colours.color(QPalette::Shadow));
        painter.drawLine(inner.topLeft(), inner.topRight());
        painter.drawLine(inner.topLeft(), inner.bottomLeft());
        painter.setPen(colours.color(QPalette::Light));
        painter.drawLine(outer.bottomLeft(), outer.bottomRight());
        painter.drawLine(outer.topRight(), outer.bottomRight());
        painter.setPen(colours.color(QPalette::Midlight));
        painter.drawLine(inner.bottomLeft(), inner.bottomRight());
        painter.drawLine(inner.topRight(), inner.bottomRight());
    }
}

void PictureBox::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF at = event->position() - clientOrigin();
    emit mouseMoved(static_cast<float>(at.x()), static_cast<float>(at.y()));
}

void PictureBox::mouseReleaseEvent(QMouseEvent *event)
{
    const QPointF at = event->position() - clientOrigin();
    emit mouseReleased(static_cast<float>(at.x()), static_cast<float>(at.y()));
}
