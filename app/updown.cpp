#include "app/updown.h"

#include <QKeyEvent>
#include <QPainter>
#include <QToolButton>
#include <QWheelEvent>

#include <algorithm>

namespace {
constexpr int kFocusMargin = 1; // room around the arrows for the focus mark
}

UpDown::UpDown(QWidget *parent) : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    setFocusPolicy(Qt::StrongFocus);
    for (QToolButton *button : {m_up, m_down}) {
        button->setArrowType(button == m_up ? Qt::UpArrow : Qt::DownArrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setIconSize(QSize(7, 7));
    }
    connect(m_up, &QToolButton::clicked, this, [this] { stepBy(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { stepBy(-1); });
}

void UpDown::setRange(int32_t minimum, int32_t maximum)
{
    m_minimum = minimum;
    m_maximum = std::max(minimum, maximum);
    setValue(m_value);
}

void UpDown::setValue(int32_t value)
{
    const int32_t clamped = std::clamp(value, m_minimum, m_maximum);
    if (clamped == m_value)
        return;
    m_value = clamped;
    emit change();
}

void UpDown::stepBy(int steps)
{
    // Wide arithmetic, so a step past the 32-bit range stops at its end.
    const long long target = static_cast<long long>(m_value) + static_cast<long long>(steps) * m_increment;
    setValue(static_cast<int32_t>(std::clamp<long long>(target, m_minimum, m_maximum)));
}

void UpDown::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up:
        stepBy(1);
        break;
    case Qt::Key_Down:
        stepBy(-1);
        break;
    case Qt::Key_PageUp:
        stepBy(kPageSteps);
        break;
    case Qt::Key_PageDown:
        stepBy(-kPageSteps);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void UpDown::wheelEvent(QWheelEvent *event)
{
    // One notch (15 degrees, 120 eighths) is one increment; a fine wheel's
    // smaller turns add up to one.
    constexpr int kNotch = 120;
    m_wheelEighths += event->angleDelta().y();
    const int steps = m_wheelEighths / kNotch;
    m_wheelEighths -= steps * kNotch;
    if (steps != 0)
        stepBy(steps);
    event->accept();
}

void UpDown::resizeEvent(QResizeEvent *)
{
    const QRect inner = rect().adjusted(kFocusMargin, kFocusMargin, -kFocusMargin, -kFocusMargin);
    const int half = inner.height() / 2;
    m_up->setGeometry(inner.x(), inner.y(), inner.width(), half);
    m_down->setGeometry(inner.x(), inner.y() + half, inner.width(), inner.height() - half);
}

void UpDown::paintEvent(QPaintEvent *)
{
    if (!hasFocus())
        return;
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight));
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void UpDown::focusInEvent(QFocusEvent *event)
{
    update();
    QWidget::focusInEvent(event);
}

void UpDown::focusOutEvent(QFocusEvent *event)
{
    update();
    QWidget::focusOutEvent(event);
}
