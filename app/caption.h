#pragma once

#include <QLabel>

// A label at a fixed place that shows its whole text on one line: where the
// font at hand is wider than the one the layout was designed with, it grows
// to the right instead of cutting the text off. It never gets narrower than
// designed.
class Caption : public QLabel
{
    Q_OBJECT

public:
    Caption(const QString &text, const QRect &designed, QWidget *parent);

    void setCaption(const QString &text);

protected:
    void changeEvent(QEvent *event) override;

private:
    void fit();

    QRect m_designed;
};
