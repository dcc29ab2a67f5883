#include "cli/measurecommand.h"

#include "audiodevice/askserver.h"
#include "audiodevice/devices.h"
#include "cli/chirpcommand.h"
#include "cli/commands.h"
#include "cli/imdnoisecommand.h"
#include "cli/output.h"
#include "measure/crosstalk.h"
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

// A reading's figures as the analysis of a file gives them, the input named in place of the file.
QJsonObject figuresJson(const std::string &input, int rate, int channels, int channel, const measure::Reading &reading)
{
    Source source;
    source.name = QString::fromStdString(input);
    source.sampleRate = rate;
    source.channels = channels;
    source.channel = channel;
    switch (reading.stimulus.kind()) {
    case measure::Stimulus::Kind::TwoTone:
        source.frames = reading.imd.frames;
        return imdJson(source, reading.imd);
    case measure::Stimulus::Kind::Silence:
        source.frames = reading.noise.frames;
        return noiseJson(source, reading.noise);
    case measure::Stimulus::Kind::Tone:
        break;
    }
    analysis::AnalysedRecording recording;
    recording.file = source.name;
    recording.sampleRate = rate;
    recording.channels = channels;
    recording.channel = channel;
    recording.result = reading.result;
    QJsonObject object = analysisJson(recording);
    if (reading.stimulus.aWeighted) {
        object.insert(QStringLiteral("thd_n_weighting"), QStringLiteral("A"));
        object.insert(QStringLiteral("dynamic_range_db"), jsonNumber(analysis::dynamicRangeDb(reading.result)));
    }
    return object;
}

// What was played: silence, a tone, or two tones.
void insertStimulus(QJsonObject &object, const measure::Stimulus &stimulus)
{
    if (stimulus.silent) {
        object.insert(QStringLiteral("stimulus"), QStringLiteral("silence"));
        return;
    }
    object.insert(QStringLiteral("stimulus_hz"), stimulus.frequencyHz());
    if (stimulus.twoTone)
        object.insert(QStringLiteral("stimulus_f2_hz"), stimulus.twoTone->f2Hz);
    object.insert(QStringLiteral("stimulus_dbfs"), stimulus.peakDbfs);
}

QJsonObject readingJson(const measure::Session &session, const measure::Reading &reading, int channel,
                        const measure::Calibration &calibration)
{
    QJsonObject object;
    if (measure::hasFigures(reading.state)) {
        object = figuresJson(session.inputName(), session.rate(), session.inputChannels(), channel, reading);
    } else {
        object.insert(QStringLiteral("file"), QString::fromStdString(session.inputName()));
        object.insert(QStringLiteral("sample_rate"), session.rate());
        object.insert(QStringLiteral("channel"), channel);
        object.insert(QStringLiteral("why"), QString::fromStdString(reading.why));
    }
    object.insert(QStringLiteral("state"), QString::fromUtf8(measure::stateText(reading.state)));
    insertStimulus(object, reading.stimulus);
    object.insert(QStringLiteral("overloaded_samples"), static_cast<qint64>(reading.overloaded));
    // Levels in volts where a calibration is given: rms of a sine whose peak is at that many dBFS.
    if (calibration.outputVolts && !reading.stimulus.silent) {
        const measure::Volts out = measure::voltsOf(reading.stimulus.peakDbfs, *calibration.outputVolts);
        object.insert(QStringLiteral("stimulus_volts_rms"), out.rms);
        object.insert(QStringLiteral("stimulus_dbu"), out.dbu);
    }
    if (calibration.inputVolts && measure::hasFigures(reading.state) &&
        reading.stimulus.kind() == measure::Stimulus::Kind::Silence) {
        for (const auto &[key, dbfs] : {std::pair{"noise", reading.noise.noiseDbfs}, std::pair{"noise_a", reading.noise.noiseADbfs}}) {
            // The noise's RMS in dBFS is a sine's RMS at that many dB below full scale.
            const measure::Volts in = measure::voltsOf(dbfs, *calibration.inputVolts);
            object.insert(QString::fromLatin1(key) + QStringLiteral("_dbv"), jsonNumber(in.dbv));
            object.insert(QString::fromLatin1(key) + QStringLiteral("_dbu"), jsonNumber(in.dbu));
        }
    } else if (calibration.inputVolts && measure::hasFigures(reading.state) &&
               reading.stimulus.kind() == measure::Stimulus::Kind::Tone) {
        const measure::Volts in = measure::voltsOf(reading.result.fundamentalDbfs, *calibration.inputVolts);
        object.insert(QStringLiteral("fundamental_volts_rms"), in.rms);
        object.insert(QStringLiteral("fundamental_dbv"), in.dbv);
        object.insert(QStringLiteral("fundamental_dbu"), in.dbu);
    }
    return object;
}

// The table's header for a stimulus's kind.
QByteArray header(const measure::Stimulus &stimulus)
{
    switch (stimulus.kind()) {
    case measure::Stimulus::Kind::TwoTone:
        return stimulus.twoTone->modulation()
                   ? "  stimulus Hz   dBFS      f2 dBFS   IMD dB floor dB   d2 dB    d3 dB  clipped\n"
                   : "  stimulus Hz   dBFS      f2 dBFS   DFD dB floor dB   d2 dB    d3 dB  clipped\n";
    case measure::Stimulus::Kind::Silence:
        return "  noise dBFS  A-weighted dBFS  peak dBFS  clipped\n";
    case measure::Stimulus::Kind::Tone:
        break;
    }
    return "  stimulus Hz   dBFS   fundamental Hz   dBFS  THD_F dB THD+N dB  clipped\n";
}

QByteArray stepRow(const measure::Reading &reading)
{
    const measure::Stimulus::Kind kind = reading.stimulus.kind();
    QString row = kind == measure::Stimulus::Kind::Silence
                      ? QString()
                      : QStringLiteral("%1 %2  ")
                            .arg(fixed(reading.stimulus.frequencyHz(), 2), 10)
                            .arg(fixed(reading.stimulus.peakDbfs, 2), 7);
    if (!measure::hasFigures(reading.state))
        return (row + QString::fromUtf8(measure::stateText(reading.state)) + QLatin1Char('\n')).toUtf8();
    if (kind == measure::Stimulus::Kind::TwoTone) {
        const analysis::Intermodulation &r = reading.imd;
        const bool ccif = !reading.stimulus.twoTone->modulation();
        const auto db = [](double percent) { return fixed(dsp::decibels(percent / 100), 2); };
        row += QStringLiteral("%1 %2 %3 %4 %5 %6")
                   .arg(fixed(dsp::decibels(r.f2.amplitude), 2), 11)
                   .arg(db(r.figures.mainPercent()), 8)
                   .arg(db(r.floor.mainPercent()), 8)
                   .arg(db(ccif ? r.figures.dfdD2Percent : r.figures.imdD2Percent), 8)
                   .arg(db(ccif ? r.figures.dfdD3Percent : r.figures.imdD3Percent), 8)
                   .arg(reading.overloaded, 8);
    } else if (kind == measure::Stimulus::Kind::Silence) {
        const analysis::Noise &r = reading.noise;
        row += QStringLiteral("%1 %2 %3 %4")
                   .arg(fixed(r.noiseDbfs, 2), 12)
                   .arg(fixed(r.noiseADbfs, 2), 16)
                   .arg(fixed(r.peakDbfs, 2), 10)
                   .arg(reading.overloaded, 8);
    } else {
        const analysis::Analysis &r = reading.result;
        row += QStringLiteral("%1 %2 %3 %4 %5")
                   .arg(fixed(r.fundamentalHz, 3), 11)
                   .arg(fixed(r.fundamentalDbfs, 2), 8)
                   .arg(fixed(dsp::decibels(r.thdF), 2), 8)
                   .arg(fixed(dsp::decibels(r.thdN), 2), 8)
                   .arg(r.clippedSamples, 8);
    }
    if (reading.state == measure::State::Overload)
        row += QStringLiteral("  input overload");
    return (row + QLatin1Char('\n')).toUtf8();
}

// One measurement in full: what was played, then the figures as the analysis of a file prints them.
QByteArray report(const measure::Session &session, const measure::Reading &reading, int channel,
                  const measure::Calibration &calibration)
{
    const measure::Stimulus &stimulus = reading.stimulus;
    QString played;
    switch (stimulus.kind()) {
    case measure::Stimulus::Kind::TwoTone:
        played = QStringLiteral("%1 (%2 and %3 Hz) at %4 dBFS")
                     .arg(QString::fromLatin1(twotone::nameOf(stimulus.twoTone->method)).toUpper(),
                          fixed(stimulus.twoTone->f1Hz, 0), fixed(stimulus.twoTone->f2Hz, 0),
                          fixed(stimulus.peakDbfs, 2));
        break;
    case measure::Stimulus::Kind::Silence:
        played = QStringLiteral("silence");
        break;
    case measure::Stimulus::Kind::Tone:
        played = QStringLiteral("%1 Hz at %2 dBFS").arg(fixed(stimulus.frequencyHz(), 3), fixed(stimulus.peakDbfs, 2));
        break;
    }
    QByteArray text = QStringLiteral("stimulus        %1, out to %2\nstate           %3\n")
                          .arg(played, QString::fromStdString(session.outputName()),
                               QString::fromUtf8(measure::stateText(reading.state)))
                          .toUtf8();
    Source source;
    source.name = QString::fromStdString(session.inputName());
    source.sampleRate = session.rate();
    source.channels = session.inputChannels();
    source.channel = channel;
    switch (stimulus.kind()) {
    case measure::Stimulus::Kind::TwoTone:
        source.frames = reading.imd.frames;
        return text + imdReport(source, reading.imd);
    case measure::Stimulus::Kind::Silence:
        source.frames = reading.noise.frames;
        text += noiseReport(source, reading.noise);
        if (calibration.inputVolts && std::isfinite(reading.noise.noiseDbfs))
            text += QStringLiteral("in volts        %1 dBV, %2 dBu; A-weighted %3 dBV, %4 dBu\n")
                        .arg(fixed(measure::voltsOf(reading.noise.noiseDbfs, *calibration.inputVolts).dbv, 2),
                             fixed(measure::voltsOf(reading.noise.noiseDbfs, *calibration.inputVolts).dbu, 2),
                             fixed(measure::voltsOf(reading.noise.noiseADbfs, *calibration.inputVolts).dbv, 2),
                             fixed(measure::voltsOf(reading.noise.noiseADbfs, *calibration.inputVolts).dbu, 2))
                        .toUtf8();
        return text;
    case measure::Stimulus::Kind::Tone:
        break;
    }
    analysis::AnalysedRecording recording = asRecording(session, reading);
    recording.channel = channel;
    text += analysisReport(recording, false);
    if (stimulus.aWeighted)
        text += QStringLiteral("dynamic range   %1 dB  (AES17: THD+N above A-weighted, of 997 Hz at -60 dBFS, "
                               "plus 60 dB)\n")
                    .arg(fixed(analysis::dynamicRangeDb(reading.result), 2))
                    .toUtf8();
    return text;
}

QByteArray crosstalkRow(const measure::CrosstalkPoint &point)
{
    const measure::Reading &driven = point.driven;
    const QString row = QStringLiteral("%1 %2  ")
                            .arg(fixed(driven.stimulus.frequencyHz(), 2), 10)
                            .arg(fixed(driven.stimulus.peakDbfs, 2), 7);
    if (!measure::hasFigures(driven.state))
        return (row + QString::fromUtf8(measure::stateText(driven.state)) + QLatin1Char('\n')).toUtf8();
    const auto db = [](double value) {
        return std::isinf(value) ? QStringLiteral("-inf") : fixed(value, 2);
    };
    return (row + QStringLiteral("%1 %2 %3%4\n")
                      .arg(fixed(driven.result.fundamentalDbfs, 2), 11)
                      .arg(db(point.otherDbfs), 11)
                      .arg(db(point.crosstalkDb), 13)
                      .arg(driven.state == measure::State::Overload ? QStringLiteral("  input overload") : QString()))
        .toUtf8();
}

QJsonObject crosstalkJson(const measure::Session &session, const measure::CrosstalkPoint &point, const measure::Devices &devices)
{
    QJsonObject object{
        {QStringLiteral("input"), QString::fromStdString(session.inputName())},
        {QStringLiteral("output"), QString::fromStdString(session.outputName())},
        {QStringLiteral("driven_channel"), devices.drivenOutput},
        {QStringLiteral("other_channel"), devices.otherChannel},
        {QStringLiteral("state"), QString::fromUtf8(measure::stateText(point.driven.state))},
        {QStringLiteral("overloaded_samples"), static_cast<qint64>(point.driven.overloaded)},
    };
    insertStimulus(object, point.driven.stimulus);
    if (measure::hasFigures(point.driven.state)) {
        object.insert(QStringLiteral("driven_dbfs"), jsonNumber(point.driven.result.fundamentalDbfs));
        object.insert(QStringLiteral("other_dbfs"), jsonNumber(point.otherDbfs));
        // Digital silence on the other channel: no crosstalk at all, null as every figure without a value.
        object.insert(QStringLiteral("crosstalk_db"), jsonNumber(point.crosstalkDb));
    } else {
        object.insert(QStringLiteral("why"), QString::fromStdString(point.driven.why));
    }
    return object;
}

int measureCrosstalk(const MeasureOptions &options, bool json)
{
    const std::vector<measure::Stimulus> steps =
        options.sweep ? options.sweep->steps(options.stimulus) : std::vector<measure::Stimulus>{options.stimulus};
    measure::Session session(options.devices, steps.front());
    for (const measure::Stimulus &step : steps)
        if (const std::string why = measure::refusal(step, session.rate()); !why.empty())
            return failed(why);
    if (!json)
        print(QStringLiteral("output channel %1 driven, input channel %2 read beside it\n"
                             "  stimulus Hz   dBFS  driven dBFS  other dBFS  crosstalk dB\n")
                  .arg(options.devices.drivenOutput)
                  .arg(options.devices.otherChannel)
                  .toUtf8());
    measure::measureCrosstalk(session, steps, options.timing, nullptr, [&](const measure::CrosstalkPoint &point) {
        print(json ? QJsonDocument(crosstalkJson(session, point, options.devices)).toJson(QJsonDocument::Compact) + '\n'
                   : crosstalkRow(point));
    });
    return 0;
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
        print(header(options.stimulus));
    for (int block = 0; options.count == 0 || block < options.count; ++block) {
        meter.waitForNextBlock(nullptr);
        const measure::LiveReading live = meter.read(false);
        if (json) {
            QJsonObject object;
            if (measure::hasFigures(live.reading.state)) {
                object = figuresJson(meter.inputName(), meter.rate(), meter.inputChannels(), options.devices.channel,
                                     live.reading);
            } else {
                object.insert(QStringLiteral("why"), QString::fromStdString(live.reading.why));
            }
            object.insert(QStringLiteral("block"), block + 1);
            object.insert(QStringLiteral("state"), QString::fromUtf8(measure::stateText(live.reading.state)));
            insertStimulus(object, live.reading.stimulus);
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
        if (options.crosstalk)
            return measureCrosstalk(options, json);
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
                print(report(session, reading, options.devices.channel, options.calibration));
            }
            return 0;
        }
        if (!json)
            print(header(options.stimulus));
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
