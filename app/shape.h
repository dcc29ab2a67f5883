#pragma once

#include <QWidget>

// A coloured rectangular outline drawn around a group of controls. It takes
// no input: clicks go to what lies under it.
class Shape : public QWidget
{
    Q_OBJECT

public:
    Shape(const QColor &colour, QWidget *parent = nullptr);

    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour;
};
