#pragma once

#include <QWidget>

#include <cstdint>

class QToolButton;

// The spin control: a small vertical pair of arrows holding a 32-bit value
// between a minimum and a maximum, stepped by an increment. It stops at the
// ends of its range and raises change() once after every change of value,
// whether an arrow, a key or the program made it. It shows no value itself:
// a handler copies the value into the label beside it.
class UpDown : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kPageSteps = 5; // Page Up/Down step five increments at once

    explicit UpDown(QWidget *parent = nullptr);

    int32_t value() const { return m_value; }
    // Clamped to the range; raises change() when the value differs.
    void setValue(int32_t value);

    int32_t minimum() const { return m_minimum; }
    int32_t maximum() const { return m_maximum; }
    int32_t increment() const { return m_increment; }
    void setRange(int32_t minimum, int32_t maximum);
    void setIncrement(int32_t increment) { m_increment = increment; }

    void stepBy(int steps);

signals:
    void change();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    QToolButton *m_up;
    QToolButton *m_down;
    int32_t m_value = 0;
    int32_t m_minimum = 0;
    int32_t m_maximum = 10;
    int32_t m_increment = 1;
    int m_wheelEighths = 0; // a fine wheel's turns, until they make a notch
};
