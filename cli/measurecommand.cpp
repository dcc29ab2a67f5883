#include "cli/measurecommand.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "cli/chirpcommand.h"
#include "cli/commands.h"
#include "measure/livemeter.h"
#include "dsp/soundmath.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr int kNoMeasurement = 2;

void print(const QByteArray &text)
{
    std::fputs(text.constData(), stdout);
    std::fflush(stdout); // a lab script follows the steps as they end
}

int failed(const std::string &why)
{
    std::fprintf(stderr, "quenlari-cli: %s\n", why.c_str());
    return kNoMeasurement;
}

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("n/a");
}

analysis::AnalysedRecording asRecording(const measure::Session &session, const measure::Reading &reading)
{
    analysis::AnalysedRecording recording;
    recording.file = QString::fromStdString(session.inputName());
    recording.sampleRate = session.rate();
    recording.channels = session.inputChannels();
    recording.result = reading.result;
    return recording;
}

QJsonObject readingJson(const measure::Session &session, const measure::Reading &reading, int channel,
                        const measure::Calibration &calibration)
{
    QJsonObject object;
    if (measure::hasFigures(reading.state)) {
        analysis::AnalysedRecording recording = asRecording(session, reading);
        recording.channel = channel;
        object = analysisJson(recording);
    } else {
        object.insert(QStringLiteral("file"), QString::fromStdString(session.inputName()));
        object.insert(QStringLiteral("sample_rate"), session.rate());
        object.insert(QStringLiteral("channel"), channel);
        object.insert(QStringLiteral("why"), QString::fromStdString(reading.why));
    }
    object.insert(QStringLiteral("state"), QString::fromUtf8(measure::stateText(reading.state)));
    object.insert(QStringLiteral("stimulus_hz"), reading.stimulus.frequencyHz());
    object.insert(QStringLiteral("stimulus_dbfs"), reading.stimulus.peakDbfs);
    object.insert(QStringLiteral("overloaded_samples"), static_cast<qint64>(reading.overloaded));
    // Levels in volts where a calibration is given: rms of a sine whose peak is at that many dBFS.
    if (calibration.outputVolts) {
        const measure::Volts out = measure::voltsOf(reading.stimulus.peakDbfs, *calibration.outputVolts);
        object.insert(QStringLiteral("stimulus_volts_rms"), out.rms);
        object.insert(QStringLiteral("stimulus_dbu"), out.dbu);
    }
    if (calibration.inputVolts && measure::hasFigures(reading.state)) {
        const measure::Volts in = measure::voltsOf(reading.result.fundamentalDbfs, *calibration.inputVolts);
        object.insert(QStringLiteral("fundamental_volts_rms"), in.rms);
        object.insert(QStringLiteral("fundamental_dbv"), in.dbv);
        object.insert(QStringLiteral("fundamental_dbu"), in.dbu);
    }
    return object;
}

QByteArray stepRow(const measure::Reading &reading)
{
    const analysis::Analysis &r = reading.result;
    QString row = QStringLiteral("%1 %2  ")
                      .arg(fixed(reading.stimulus.frequencyHz(), 2), 10)
                      .arg(fixed(reading.stimulus.peakDbfs, 2), 7);
    if (!measure::hasFigures(reading.state))
        return (row + QString::fromUtf8(measure::stateText(reading.state)) + QLatin1Char('\n')).toUtf8();
    row += QStringLiteral("%1 %2 %3 %4 %5")
               .arg(fixed(r.fundamentalHz, 3), 11)
               .arg(fixed(r.fundamentalDbfs, 2), 8)
               .arg(fixed(dsp::decibels(r.thdF), 2), 8)
               .arg(fixed(dsp::decibels(r.thdN), 2), 8)
               .arg(r.clippedSamples, 8);
    if (reading.state == measure::State::Overload)
        row += QStringLiteral("  input overload");
    return (row + QLatin1Char('\n')).toUtf8();
}

// One block of the live readout as a line: its state, and its figures where it has them.
QByteArray liveRow(const measure::LiveReading &live)
{
    const measure::Reading &reading = live.reading;
    if (!measure::hasFigures(reading.state))
        return stepRow(reading).chopped(1) + QByteArray(reading.why.empty() ? "" : ": ") +
               QByteArray::fromStdString(reading.why) + '\n';
    return stepRow(reading);
}

int measureLive(const MeasureOptions &options, bool json)
{
    measure::LiveSettings settings;
    settings.blockSeconds = options.seconds;
    settings.settling = options.timing.settling;
    measure::LiveMeter meter(options.devices, options.stimulus, settings);
    if (const std::string why = measure::refusal(options.stimulus, meter.rate()); !why.empty())
        return failed(why);
    if (!json)
        print("  stimulus Hz   dBFS   fundamental Hz   dBFS  THD_F dB THD+N dB  clipped\n");
    for (int block = 0; options.count == 0 || block < options.count; ++block) {
        meter.waitForNextBlock(nullptr);
        const measure::LiveReading live = meter.read(false);
        if (json) {
            analysis::AnalysedRecording recording;
            QJsonObject object;
            if (measure::hasFigures(live.reading.state)) {
                recording.file = QString::fromStdString(meter.inputName());
                recording.sampleRate = meter.rate();
                recording.channels = meter.inputChannels();
                recording.channel = options.devices.channel;
                recording.result = live.reading.result;
                object = analysisJson(recording);
            } else {
                object.insert(QStringLiteral("why"), QString::fromStdString(live.reading.why));
            }
            object.insert(QStringLiteral("block"), block + 1);
            object.insert(QStringLiteral("state"), QString::fromUtf8(measure::stateText(live.reading.state)));
            object.insert(QStringLiteral("stimulus_hz"), live.reading.stimulus.frequencyHz());
            object.insert(QStringLiteral("stimulus_dbfs"), live.reading.stimulus.peakDbfs);
            print(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
        } else {
            print(liveRow(live));
        }
    }
    return 0;
}

} // namespace

int listDevices(bool json)
{
    audiodevice::DeviceList devices;
    try {
        devices = audiodevice::listDevices();
    } catch (const audiodevice::NoAnswer &error) {
        return failed(error.what());
    }
    if (devices.api.empty())
        return failed("no sound system answers: there is no audio device");
    for (const audiodevice::Device &device : devices.devices) {
        if (json) {
            QJsonArray rates;
            for (int rate : device.rates)
                rates.append(rate);
            const QJsonObject object{
                {QStringLiteral("index"), device.index},
                {QStringLiteral("name"), QString::fromStdString(device.name)},
                {QStringLiteral("id"), QString::fromStdString(device.id)},
                {QStringLiteral("monitor"), QString::fromStdString(device.monitor)},
                {QStringLiteral("api"), QString::fromStdString(devices.api)},
                {QStringLiteral("output_channels"), device.outputChannels},
                {QStringLiteral("input_channels"), device.inputChannels},
                {QStringLiteral("rates"), rates},
                {QStringLiteral("preferred_rate"), device.preferredRate},
                {QStringLiteral("default_output"), device.defaultOutput},
                {QStringLiteral("default_input"), device.defaultInput},
            };
            print(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
            continue;
        }
        QString defaults;
        if (device.defaultOutput)
            defaults += QStringLiteral(", default output");
        if (device.defaultInput)
            defaults += QStringLiteral(", default input");
        const QString id =
            device.id.empty() ? QString() : QStringLiteral(" ") + QString::fromStdString(audiodevice::quoted(device.id));
        print(QStringLiteral("%1  %2%7  (%3 out, %4 in, %5 Hz%6)\n")
                  .arg(device.index, 3)
                  .arg(QString::fromStdString(audiodevice::quoted(device.name)))
                  .arg(device.outputChannels)
                  .arg(device.inputChannels)
                  .arg(device.preferredRate)
                  .arg(defaults)
                  .arg(id)
                  .toUtf8());
    }
    return 0;
}

int measureDevice(const MeasureOptions &options, bool json)
{
    try {
        if (options.live)
            return measureLive(options, json);
        if (options.chirp) {
            const measure::ChirpResult result = measure::measureChirp(options.devices, *options.chirp, nullptr);
            if (!measure::hasFigures(result.state))
                return failed(std::string(measure::stateText(result.state)) + " (" + result.why + ")");
            print(chirpReport(result, json));
            return 0;
        }
        const std::vector<measure::Stimulus> steps =
            options.sweep ? options.sweep->steps(options.stimulus) : std::vector<measure::Stimulus>{};
        measure::Session session(options.devices, steps.empty() ? options.stimulus : steps.front());
        for (const measure::Stimulus &step : steps.empty() ? std::vector{options.stimulus} : steps)
            if (const std::string why = measure::refusal(step, session.rate()); !why.empty())
                return failed(why);
        if (steps.empty()) {
            const measure::Reading reading = measure::measureSettled(
                session, options.timing.settleSeconds, std::size_t(std::llround(options.seconds * session.rate())),
                nullptr, options.timing.settling);
            if (!measure::hasFigures(reading.state))
                return failed(std::string(measure::stateText(reading.state)) + " (" + reading.why + ")");
            if (json) {
                print(QJsonDocument(readingJson(session, reading, options.devices.channel, options.calibration))
                          .toJson(QJsonDocument::Compact) +
                      '\n');
            } else {
                analysis::AnalysedRecording recording = asRecording(session, reading);
                recording.channel = options.devices.channel;
                print(QStringLiteral("stimulus        %1 Hz at %2 dBFS, out to %3\nstate           %4\n")
                          .arg(fixed(reading.stimulus.frequencyHz(), 3), fixed(reading.stimulus.peakDbfs, 2),
                               QString::fromStdString(session.outputName()),
                               QString::fromUtf8(measure::stateText(reading.state)))
                          .toUtf8() +
                      analysisReport(recording, false));
            }
            return 0;
        }
        if (!json)
            print("  stimulus Hz   dBFS   fundamental Hz   dBFS  THD_F dB THD+N dB  clipped\n");
        measure::sweep(session, steps, options.timing, nullptr, [&](const measure::Reading &reading) {
            print(json ? QJsonDocument(readingJson(session, reading, options.devices.channel, options.calibration))
                                 .toJson(QJsonDocument::Compact) +
                             '\n'
                       : stepRow(reading));
        });
        return 0;
    } catch (const measure::MeasureError &error) {
        return failed(error.what());
    }
}

} // namespace cli
