#pragma once

#include <QString>

#include <functional>

class QIODevice;

// Writes a file whole or not at all: `write` fills a file beside the final
// name, which replaces the old one only once everything is written. `write`
// returns false, or throws, when it could not write; then the old file stays
// as it was, and a QuenlariError says "cannot write "name": why".
void saveWhole(const QString &name, const std::function<bool(QIODevice &)> &write);
