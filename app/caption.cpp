#include "app/caption.h"

#include <QEvent>

#include <algorithm>

Caption::Caption(const QString &text, const QRect &designed, QWidget *parent)
    : QLabel(text, parent), m_designed(designed)
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fit();
}

void Caption::setCaption(const QString &text)
{
    setText(text);
    fit();
}

void Caption::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fit();
}

void Caption::fit()
{
    const int needed = fontMetrics().horizontalAdvance(text()) + 2 * margin() + 2 * frameWidth();
    setGeometry(m_designed.x(), m_designed.y(), std::max(m_designed.width(), needed), m_designed.height());
}
