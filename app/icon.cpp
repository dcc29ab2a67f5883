#include "app/icon.h"

#include <QPainter>

#include <cmath>

QImage programIcon()
{
    constexpr int kSize = 32;
    QImage icon(kSize, kSize, QImage::Format_RGB32);
    icon.fill(Qt::black);
    QPainter painter(&icon);
    painter.setPen(QColor(0, 128, 0));
    for (int i = 0; i < kSize; i += 8) {
        painter.drawLine(0, i, kSize - 1, i);
        painter.drawLine(i, 0, i, kSize - 1);
    }
    painter.drawRect(0, 0, kSize - 1, kSize - 1);
    constexpr double kTwoPi = 6.283185307179586;
    for (int x = 1; x < kSize - 1; ++x) {
        const double t = kTwoPi * (x - 1) / (kSize - 3);
        const int fundamental = static_cast<int>(std::lround(15.5 - 11 * std::sin(t)));
        const int distorted =
            static_cast<int>(std::lround(15.5 - 11 * std::sin(t) - 4 * std::sin(3 * t + 0.35)));
        painter.setPen(QColor(0, 128, 128));
        painter.drawPoint(x, fundamental);
        painter.setPen(QColor(255, 0, 0));
        painter.drawPoint(x, distorted);
        painter.drawPoint(x, distorted + 1);
    }
    return icon;
}
