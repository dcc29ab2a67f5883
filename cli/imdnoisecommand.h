#pragma once

#include "analysis/intermod.h"
#include "analysis/noise.h"
#include "cli/options.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The intermodulation and the noise of recordings on the command line.
namespace cli {

// Where the figures come from: a file's channel, or a device's input.
struct Source
{
    QString name;
    int sampleRate = 0;
    int channels = 0;
    int channel = 0;
    int64_t frames = 0;
    QString note;
};

QJsonObject imdJson(const Source &source, const analysis::Intermodulation &result);
QByteArray imdReport(const Source &source, const analysis::Intermodulation &result);
QJsonObject noiseJson(const Source &source, const analysis::Noise &result);
QByteArray noiseReport(const Source &source, const analysis::Noise &result);

} // namespace cli
