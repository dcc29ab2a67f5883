#pragma once

#include <QIODevice>
#include <QJsonValue>
#include <QString>

#include <functional>

namespace cli {

constexpr int kBadInput = 2;
constexpr int kFailed = 1;

// Writes the whole output or nothing: a file is written beside its final
// name and put in place only when complete. Standard output gets a finished
// temporary file, since sound files are written with seeks. Returns the exit
// status, with a line on standard error where it failed.
int writeOutput(const QString &name, const std::function<bool(QIODevice &)> &write);

// A figure in JSON: null where there is no finite value (the dB of nothing, an undefined THD).
QJsonValue jsonNumber(double value);
// A figure in text with `decimals` decimals: "n/a" where undefined, "inf" or "-inf" where infinite.
QString fixedText(double value, int decimals);

} // namespace cli
