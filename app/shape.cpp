#include "app/shape.h"

#include <QPainter>

Shape::Shape(const QColor &colour, QWidget *parent) : QWidget(parent), m_colour(colour)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(m_colour);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
