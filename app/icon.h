#pragma once

#include <QImage>

// The program's 32 x 32 picture: a distorted sine and its fundamental on the
// plot's black and green, drawn in colours of the classic 16-colour palette.
QImage programIcon();
