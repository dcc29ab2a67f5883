#include "cli/options.h"

#include "dsp/soundmath.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cmath>
#include <optional>

namespace cli {

namespace {

const char *const kSummary =
    R"(Synthesis and analysis of harmonic distortion: a fundamental and its harmonics 2 to 7.

Commands:
  thd    the distortion figures (THD_F, THD_R, even and odd parts, RMS, peak, crest factor)
  plot   the plot as the main window draws it, as a PNG picture (-o FILE.png)
  wav    the tone as a WAV or FLAC file (-o FILE.wav, -o FILE.flac); with --imd, the two tones
         of an intermodulation test
  csv    the waveform as a table (-o FILE.csv)
  analyze FILE...  the fundamental, harmonics, THD and THD+N of recordings (WAV, FLAC, AIFF, Ogg, ...);
         with --imd, their intermodulation; with --noise, their noise, plain and A-weighted
  devices  the sound system's output and input devices
  measure  plays a stimulus, records the device's answer and analyses it; with --sweep,
           distortion against frequency or level, one report a step as each step ends.
           A pure sine unless --levels or --phases make it the tone of those harmonics.
           With --sweep chirp, one exponential sweep: the response and every harmonic's level
           and phase against frequency, in a few seconds. With --imd, intermodulation (a level
           sweep too); with --noise, the noise with the output silent; with --dynamic-range, AES17's;
           with --crosstalk, one output channel driven and the other input channel read.
  chirp  a sweep file between two markers (-o FILE.wav), for a device that cannot play and
         record at once: play it there, record it anywhere
  analyze-chirp RECORDING  finds that sweep in a recording and reports as measure --sweep chirp;
         give it the --from, --to, --seconds and --level that chirp was given

Levels are percent of the fundamental, phases degrees, for harmonics 2 to 7 in order.
-o - writes to standard output.)";

// The option names each command accepts besides --freq, --levels and --phases.
QStringList extraOptions(Command command)
{
    switch (command) {
    case Command::Thd:
        return {QStringLiteral("json")};
    case Command::Plot:
        return {QStringLiteral("output")};
    case Command::Wav:
        return {QStringLiteral("output"),    QStringLiteral("seconds"),   QStringLiteral("rate"),
                QStringLiteral("bits"),      QStringLiteral("peak-dbfs"), QStringLiteral("no-dither"),
                QStringLiteral("imd"),       QStringLiteral("tones")};
    case Command::Csv:
        return {QStringLiteral("output"), QStringLiteral("seconds"), QStringLiteral("rate")};
    case Command::Analyze:
        return {QStringLiteral("json"),      QStringLiteral("channel"), QStringLiteral("fundamental"),
                QStringLiteral("harmonics"), QStringLiteral("band"),    QStringLiteral("imd"),
                QStringLiteral("tones"),     QStringLiteral("noise")};
    case Command::Devices:
        return {QStringLiteral("json")};
    case Command::Chirp:
        return {QStringLiteral("output"), QStringLiteral("from"),  QStringLiteral("to"),
                QStringLiteral("seconds"), QStringLiteral("level"), QStringLiteral("rate")};
    case Command::AnalyzeChirp:
        return {QStringLiteral("json"),    QStringLiteral("channel"),   QStringLiteral("from"),
                QStringLiteral("to"),      QStringLiteral("seconds"),   QStringLiteral("smoothing"),
                QStringLiteral("per-octave"), QStringLiteral("level")};
    case Command::Measure:
        return {QStringLiteral("json"),       QStringLiteral("output"),     QStringLiteral("input"),
                QStringLiteral("channel"),    QStringLiteral("level"),      QStringLiteral("seconds"),
                QStringLiteral("sweep"),      QStringLiteral("from"),       QStringLiteral("to"),
                QStringLiteral("per-octave"), QStringLiteral("step"),       QStringLiteral("settle"),
                QStringLiteral("settle-tolerance"), QStringLiteral("live"), QStringLiteral("count"),
                QStringLiteral("input-cal"),  QStringLiteral("output-cal"), QStringLiteral("freq"),
                QStringLiteral("levels"),     QStringLiteral("phases"),     QStringLiteral("smoothing"),
                QStringLiteral("imd"),        QStringLiteral("tones"),      QStringLiteral("noise"),
                QStringLiteral("dynamic-range"), QStringLiteral("crosstalk")};
    default:
        return {};
    }
}

class Checker
{
public:
    explicit Checker(QCommandLineParser &parser) : m_parser(parser) {}
    QString error;

    std::optional<double> number(const QString &name, double fallback)
    {
        if (!m_parser.isSet(name))
            return fallback;
        bool ok = false;
        const double value = m_parser.value(name).toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return fail(name, QStringLiteral("\"%1\" is not a number").arg(m_parser.value(name)));
        return value;
    }

    // Six comma-separated numbers, for harmonics 2 to 7.
    std::optional<std::array<double, tone::kHarmonics>>
    six(const QString &name, const std::array<double, tone::kHarmonics> &fallback)
    {
        if (!m_parser.isSet(name))
            return fallback;
        const QStringList parts = m_parser.value(name).split(QLatin1Char(','));
        if (parts.size() != tone::kHarmonics)
            return fail(name, QStringLiteral("needs six values, for harmonics 2 to 7, separated by commas"));
        std::array<double, tone::kHarmonics> values{};
        for (int k = 0; k < tone::kHarmonics; ++k) {
            bool ok = false;
            values[k] = parts[k].trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(values[k]))
                return fail(name, QStringLiteral("\"%1\" is not a number").arg(parts[k]));
        }
        return values;
    }

    std::nullopt_t fail(const QString &name, const QString &why)
    {
        if (error.isEmpty())
            error = QStringLiteral("--%1: %2").arg(name, why);
        return std::nullopt;
    }

private:
    QCommandLineParser &m_parser;
};

bool whole(double value)
{
    return value == std::floor(value);
}

// --imd METHOD and --tones F1,F2: the two tones, or none where --imd is not given.
std::optional<twotone::TwoTone> parseTwoTone(const QCommandLineParser &parser, Checker &check)
{
    if (!parser.isSet(QStringLiteral("imd"))) {
        if (parser.isSet(QStringLiteral("tones")))
            check.fail(QStringLiteral("tones"), QStringLiteral("belongs to --imd"));
        return std::nullopt;
    }
    const auto method = twotone::methodNamed(parser.value(QStringLiteral("imd")).toLower().toUtf8().constData());
    if (!method)
        return check.fail(QStringLiteral("imd"), QStringLiteral("takes smpte, din or ccif"));
    twotone::TwoTone tones = twotone::standard(*method);
    if (parser.isSet(QStringLiteral("tones"))) {
        const QStringList parts = parser.value(QStringLiteral("tones")).split(QLatin1Char(','));
        bool ok1 = false, ok2 = false;
        const double f1 = parts.value(0).toDouble(&ok1), f2 = parts.value(1).toDouble(&ok2);
        tones.f1Hz = f1;
        tones.f2Hz = f2;
        if (parts.size() != 2 || !ok1 || !ok2 || !twotone::suits(tones, 1e6))
            return check.fail(QStringLiteral("tones"),
                              tones.modulation()
                                  ? QStringLiteral("takes F1,F2 in Hz, with F2 above six times F1")
                                  : QStringLiteral("takes F1,F2 in Hz, with 0 < F1 < F2"));
    }
    return tones;
}

void parseAnalysis(const QCommandLineParser &parser, Checker &check, Options &options)
{
    analysis::Settings &settings = options.analysis;
    const auto channel = check.number(QStringLiteral("channel"), 1);
    const auto harmonics = check.number(QStringLiteral("harmonics"), analysis::kDefaultHarmonics);
    if (channel && !(*channel >= 1 && *channel <= 1024 && whole(*channel)))
        check.fail(QStringLiteral("channel"), QStringLiteral("takes a channel number from 1"));
    if (harmonics && !(*harmonics >= 2 && *harmonics <= analysis::kMostHarmonics && whole(*harmonics)))
        check.fail(QStringLiteral("harmonics"), QStringLiteral("takes the highest harmonic, from 2 to 20"));
    if (parser.isSet(QStringLiteral("fundamental"))) {
        const auto fundamental = check.number(QStringLiteral("fundamental"), 0);
        if (fundamental && !(*fundamental >= 1 && *fundamental <= 1e6))
            check.fail(QStringLiteral("fundamental"), QStringLiteral("takes a frequency from 1 Hz"));
        else if (fundamental)
            settings.fundamentalHz = *fundamental;
    }
    if (parser.isSet(QStringLiteral("band"))) {
        const QStringList parts = parser.value(QStringLiteral("band")).split(QLatin1Char(','));
        bool lowOk = false, highOk = false;
        const double low = parts.value(0).toDouble(&lowOk), high = parts.value(1).toDouble(&highOk);
        if (parts.size() != 2 || !lowOk || !highOk || !(low >= 0 && low < high && std::isfinite(high)))
            check.fail(QStringLiteral("band"), QStringLiteral("takes LO,HI in Hz, with 0 <= LO < HI"));
        settings.bandLowHz = low;
        settings.bandHighHz = high;
    }
    if (channel)
        options.channel = static_cast<int>(*channel);
    if (harmonics)
        settings.harmonics = static_cast<int>(*harmonics);
    options.imd = parseTwoTone(parser, check);
    options.noise = parser.isSet(QStringLiteral("noise"));
    if (options.noise && options.imd)
        check.fail(QStringLiteral("noise"), QStringLiteral("and --imd ask for two analyses: give one"));
    if (options.noise || options.imd)
        for (const char *name : {"fundamental", "harmonics"})
            if (parser.isSet(QString::fromLatin1(name)))
                check.fail(QString::fromLatin1(name), QStringLiteral("belongs to the analysis of harmonics"));
    if (options.imd && parser.isSet(QStringLiteral("band")))
        check.fail(QStringLiteral("band"), QStringLiteral("belongs to THD+N and --noise"));
}

// The sweep's band, length, level and points; `rate` (0: not known yet) bounds the band.
void parseChirp(const QCommandLineParser &parser, Checker &check, measure::ChirpPlan &plan, double rate)
{
    const auto from = check.number(QStringLiteral("from"), plan.fromHz);
    const auto to = check.number(QStringLiteral("to"), plan.toHz);
    const auto seconds = check.number(QStringLiteral("seconds"), plan.seconds);
    const auto level = check.number(QStringLiteral("level"), plan.peakDbfs);
    const auto perOctave = check.number(QStringLiteral("per-octave"), plan.perOctave);
    if (from && to && !(*from >= measure::kChirpLowestHz && *to >= 2 * *from && (rate <= 0 || *to <= 0.45 * rate)))
        check.fail(QStringLiteral("from"),
                   QStringLiteral("the sweep's band runs from %1 Hz up, an octave at least, to at most 0.45 times "
                                  "the rate%2")
                       .arg(measure::kChirpLowestHz)
                       .arg(rate > 0 ? QStringLiteral(" (%1 Hz)").arg(0.45 * rate) : QString()));
    if (seconds && !measure::kChirpSeconds.holds(*seconds))
        check.fail(QStringLiteral("seconds"), QStringLiteral("takes the sweep's length, %1 to %2 seconds")
                                                  .arg(measure::kChirpSeconds.low)
                                                  .arg(measure::kChirpSeconds.high));
    if (level && !measure::kStimulusDbfs.holds(*level))
        check.fail(QStringLiteral("level"), QStringLiteral("takes %1 to %2 dBFS")
                                                .arg(measure::kStimulusDbfs.low)
                                                .arg(measure::kStimulusDbfs.high));
    if (perOctave && !(measure::kPerOctave.holds(*perOctave) && whole(*perOctave)))
        check.fail(QStringLiteral("per-octave"), QStringLiteral("takes %1 to %2 points")
                                                     .arg(measure::kPerOctave.low)
                                                     .arg(measure::kPerOctave.high));
    if (parser.isSet(QStringLiteral("smoothing"))) {
        const QString value = parser.value(QStringLiteral("smoothing"));
        bool ok = value.startsWith(QLatin1String("1/"));
        const double n = ok ? value.mid(2).toDouble(&ok) : 0;
        if (!ok || !(n >= 3 && n <= 48 && whole(n)))
            check.fail(QStringLiteral("smoothing"), QStringLiteral("takes 1/N octave, N from 3 to 48, as 1/6"));
        else
            plan.smoothing = int(n);
    }
    if (!check.error.isEmpty())
        return;
    plan.fromHz = *from;
    plan.toHz = *to;
    plan.seconds = *seconds;
    plan.peakDbfs = *level;
    plan.perOctave = int(*perOctave);
}

void parseMeasure(const QCommandLineParser &parser, Checker &check, Options &options)
{
    MeasureOptions &m = options.measure;
    m.devices.output = parser.value(QStringLiteral("output")).toStdString();
    m.devices.input = parser.value(QStringLiteral("input")).toStdString();
    const auto channel = check.number(QStringLiteral("channel"), 1);
    if (channel && !(measure::kChannels.holds(*channel) && whole(*channel)))
        check.fail(QStringLiteral("channel"), QStringLiteral("takes a channel number from 1 to %1").arg(measure::kChannels.high));
    else if (channel)
        m.devices.channel = static_cast<int>(*channel);
    const auto level = check.number(QStringLiteral("level"), -12);
    const QString dbfsRange = QStringLiteral("takes %1 to %2 dBFS").arg(measure::kStimulusDbfs.low).arg(measure::kStimulusDbfs.high);
    if (level && !measure::kStimulusDbfs.holds(*level))
        check.fail(QStringLiteral("level"), dbfsRange);
    const auto frequency = check.number(QStringLiteral("freq"), 1000);
    if (frequency && !measure::kStimulusHz.holds(*frequency))
        check.fail(QStringLiteral("freq"), QStringLiteral("takes %1 Hz to %2 times the rate (%3 Hz)")
                                               .arg(measure::kStimulusHz.low)
                                               .arg(measure::kHighestStimulusShare)
                                               .arg(measure::kStimulusHz.high));
    if (check.error.isEmpty()) {
        m.stimulus = measure::sine(*frequency, *level);
        // The tone of those harmonics, where any is given.
        if (parser.isSet(QStringLiteral("levels")) || parser.isSet(QStringLiteral("phases"))) {
            m.stimulus.tone = options.tone;
            m.stimulus.tone.frequencyHz = *frequency;
        }
        for (double harmonicLevel : m.stimulus.tone.levels)
            if (!(harmonicLevel >= 0 && harmonicLevel <= 100))
                check.fail(QStringLiteral("levels"), QStringLiteral("takes levels from 0 to 100 percent"));
    }
    const QString sweep = parser.value(QStringLiteral("sweep"));
    // The other figures: each its own stimulus.
    const std::optional<twotone::TwoTone> imd = parseTwoTone(parser, check);
    const bool noise = parser.isSet(QStringLiteral("noise"));
    const bool dynamicRange = parser.isSet(QStringLiteral("dynamic-range"));
    m.crosstalk = parser.isSet(QStringLiteral("crosstalk"));
    if (int(imd.has_value()) + int(noise) + int(dynamicRange) + int(m.crosstalk) > 1)
        check.fail(m.crosstalk ? QStringLiteral("crosstalk") : noise ? QStringLiteral("noise") : QStringLiteral("dynamic-range"),
                   QStringLiteral("one measurement at a time: --imd, --noise, --dynamic-range or --crosstalk"));
    if (m.crosstalk) {
        for (const char *name : {"levels", "phases", "live"})
            if (parser.isSet(QString::fromLatin1(name)))
                check.fail(QString::fromLatin1(name), QStringLiteral("is not an option of --crosstalk"));
        if (!sweep.isEmpty() && sweep != QLatin1String("frequency"))
            check.fail(QStringLiteral("sweep"), QStringLiteral("takes frequency with --crosstalk"));
        if (m.devices.channel > 2)
            check.fail(QStringLiteral("channel"), QStringLiteral("takes 1 or 2 with --crosstalk: the channel driven"));
        m.devices.drivenOutput = m.devices.channel;
        m.devices.otherChannel = m.devices.channel == 1 ? 2 : 1;
    }
    if (imd || noise || dynamicRange) {
        QStringList fixed{QStringLiteral("freq"), QStringLiteral("levels"), QStringLiteral("phases")};
        if (!imd)
            fixed << QStringLiteral("level");
        for (const QString &name : fixed)
            if (parser.isSet(name))
                check.fail(name, imd ? QStringLiteral("belongs to the tone, not to --imd")
                                     : QStringLiteral("is fixed by %1").arg(noise ? QStringLiteral("--noise")
                                                                                  : QStringLiteral("--dynamic-range")));
        if (!sweep.isEmpty() && !(imd && sweep == QLatin1String("level")))
            check.fail(QStringLiteral("sweep"), imd ? QStringLiteral("takes level with --imd")
                                                    : QStringLiteral("is not an option of --noise or --dynamic-range"));
        if (check.error.isEmpty())
            m.stimulus = imd ? measure::twoToneStimulus(*imd, *level)
                             : noise ? measure::silence()
                                     : measure::dynamicRangeStimulus();
    }
    if (sweep == QLatin1String("chirp")) {
        for (const char *name : {"step", "settle", "settle-tolerance", "freq", "levels", "phases", "live"})
            if (parser.isSet(QString::fromLatin1(name)))
                check.fail(QString::fromLatin1(name), QStringLiteral("is not an option of --sweep chirp"));
        m.chirp = measure::ChirpPlan();
        parseChirp(parser, check, *m.chirp, 0);
        if (m.chirp->toHz > measure::kStimulusHz.high)
            check.fail(QStringLiteral("to"), QStringLiteral("takes at most %1 Hz").arg(measure::kStimulusHz.high));
        return;
    }
    if (parser.isSet(QStringLiteral("smoothing")))
        check.fail(QStringLiteral("smoothing"), QStringLiteral("belongs to --sweep chirp"));
    const auto seconds = check.number(QStringLiteral("seconds"), 1);
    if (seconds && !measure::kBlockSeconds.holds(*seconds))
        check.fail(QStringLiteral("seconds"), QStringLiteral("takes %1 to %2 seconds")
                                                  .arg(measure::kBlockSeconds.low)
                                                  .arg(measure::kBlockSeconds.high));
    else if (seconds)
        m.seconds = *seconds;
    const auto settle = check.number(QStringLiteral("settle"), 100);
    if (settle && !measure::kSettleMs.holds(*settle))
        check.fail(QStringLiteral("settle"),
                   QStringLiteral("takes %1 to %2 ms").arg(measure::kSettleMs.low).arg(measure::kSettleMs.high));
    else if (settle)
        m.timing.settleSeconds = *settle / 1000;
    if (parser.isSet(QStringLiteral("settle-tolerance"))) {
        const QStringList parts = parser.value(QStringLiteral("settle-tolerance")).split(QLatin1Char(','));
        bool thdNOk = false, levelOk = parts.size() == 1;
        const double thdN = parts.value(0).toDouble(&thdNOk);
        const double level = parts.size() > 1 ? parts.value(1).toDouble(&levelOk) : m.timing.settling.levelDb;
        if (parts.size() > 2 || !thdNOk || !levelOk || !measure::kSettleThdNDb.holds(thdN) ||
            !measure::kSettleLevelDb.holds(level))
            check.fail(QStringLiteral("settle-tolerance"),
                       QStringLiteral("takes THD+N's tolerance, 0.01 to 20 dB, and optionally the level's, "
                                      "0.001 to 20 dB, as 0.5,0.05"));
        m.timing.settling.thdNDb = thdN;
        m.timing.settling.levelDb = level;
    }
    for (const char *name : {"input-cal", "output-cal"}) {
        const QString option = QString::fromLatin1(name);
        if (!parser.isSet(option))
            continue;
        const auto volts = check.number(option, 0);
        if (volts && !(*volts > measure::kCalibrationVolts.low && *volts <= measure::kCalibrationVolts.high))
            check.fail(option, QStringLiteral("takes the volts rms of a full-scale sine, above 0"));
        else if (volts)
            (option == QLatin1String("input-cal") ? m.calibration.inputVolts : m.calibration.outputVolts) = *volts;
    }
    m.live = parser.isSet(QStringLiteral("live"));
    if (parser.isSet(QStringLiteral("count"))) {
        const auto count = check.number(QStringLiteral("count"), 0);
        if (!m.live)
            check.fail(QStringLiteral("count"), QStringLiteral("belongs to --live"));
        else if (count && !(*count >= 1 && *count <= 1e6 && whole(*count)))
            check.fail(QStringLiteral("count"), QStringLiteral("takes 1 to 1000000 blocks"));
        else if (count)
            m.count = static_cast<int>(*count);
    }
    if (m.live && parser.isSet(QStringLiteral("sweep")))
        check.fail(QStringLiteral("live"), QStringLiteral("reads one stimulus: leave out --sweep"));
    if (sweep.isEmpty()) {
        for (const char *name : {"from", "to", "per-octave", "step"})
            if (parser.isSet(QString::fromLatin1(name)))
                check.fail(QString::fromLatin1(name), QStringLiteral("belongs to --sweep"));
        return;
    }
    if (sweep == QLatin1String("frequency")) {
        m.sweep = measure::SweepPlan();
        if (parser.isSet(QStringLiteral("step")))
            check.fail(QStringLiteral("step"), QStringLiteral("belongs to --sweep level"));
        const auto from = check.number(QStringLiteral("from"), m.sweep->from);
        const auto to = check.number(QStringLiteral("to"), m.sweep->to);
        const auto perOctave = check.number(QStringLiteral("per-octave"), m.sweep->perOctave);
        if (from && to && !(measure::kStimulusHz.holds(*from) && measure::kStimulusHz.holds(*to) && *from <= *to))
            check.fail(QStringLiteral("from"), QStringLiteral("the sweep runs up from %1 Hz to at most %2 times the rate (%3 Hz)")
                                                   .arg(measure::kStimulusHz.low)
                                                   .arg(measure::kHighestStimulusShare)
                                                   .arg(measure::kStimulusHz.high));
        if (perOctave && !(measure::kPerOctave.holds(*perOctave) && whole(*perOctave)))
            check.fail(QStringLiteral("per-octave"), QStringLiteral("takes %1 to %2 steps")
                                                         .arg(measure::kPerOctave.low)
                                                         .arg(measure::kPerOctave.high));
        if (check.error.isEmpty()) {
            m.sweep->from = *from;
            m.sweep->to = *to;
            m.sweep->perOctave = static_cast<int>(*perOctave);
        }
    } else if (sweep == QLatin1String("level")) {
        m.sweep = measure::SweepPlan::levels();
        if (parser.isSet(QStringLiteral("per-octave")))
            check.fail(QStringLiteral("per-octave"), QStringLiteral("belongs to --sweep frequency"));
        const auto from = check.number(QStringLiteral("from"), m.sweep->from);
        const auto to = check.number(QStringLiteral("to"), m.sweep->to);
        const auto step = check.number(QStringLiteral("step"), m.sweep->stepDb);
        for (const auto &[name, value] : {std::pair{"from", from}, std::pair{"to", to}})
            if (value && !measure::kStimulusDbfs.holds(*value))
                check.fail(QString::fromLatin1(name), dbfsRange);
        if (step && !measure::kLevelStepDb.holds(*step))
            check.fail(QStringLiteral("step"), QStringLiteral("takes %1 to %2 dB")
                                                   .arg(measure::kLevelStepDb.low)
                                                   .arg(measure::kLevelStepDb.high));
        if (check.error.isEmpty()) {
            m.sweep->from = *from;
            m.sweep->to = *to;
            m.sweep->stepDb = *step;
        }
    } else {
        check.fail(QStringLiteral("sweep"), QStringLiteral("takes frequency, level or chirp"));
    }
}

} // namespace

Options parse(const QStringList &arguments)
{
    Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kSummary));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("thd, plot, wav, csv, analyze, devices, measure, chirp or "
                                                "analyze-chirp"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("freq"), QStringLiteral("Frequency of the fundamental, Hz (default 200)."),
         QStringLiteral("hz")},
        {QStringLiteral("levels"), QStringLiteral("Levels L2,...,L7, percent (default 1,5,1,2,1,1)."),
         QStringLiteral("list")},
        {QStringLiteral("phases"), QStringLiteral("Phases P2,...,P7, degrees (default 0,20,0,165,0,0)."),
         QStringLiteral("list")},
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("The file to write, - for standard output; measure: the output device, by index, the "
                        "server's name or the name devices lists (default: the system's)."),
         QStringLiteral("file")},
        {QStringLiteral("json"), QStringLiteral("thd, analyze, devices, measure: JSON, one object a line.")},
        {QStringLiteral("seconds"),
         QStringLiteral("wav, csv: length in seconds (wav: default 5); measure: the block analysed, 0.25 to 10 "
                        "(default 1)."),
         QStringLiteral("s")},
        {QStringLiteral("rate"), QStringLiteral("wav, csv: samples a second (default 48000)."),
         QStringLiteral("hz")},
        {QStringLiteral("bits"), QStringLiteral("wav: 16, 24 (default) or 32 (float, WAV only)."),
         QStringLiteral("n")},
        {QStringLiteral("peak-dbfs"), QStringLiteral("wav: level of the peak, dB full scale (default -1)."),
         QStringLiteral("db")},
        {QStringLiteral("no-dither"), QStringLiteral("wav: no TPDF dither on 16 and 24 bits.")},
        {QStringLiteral("channel"), QStringLiteral("analyze, measure: the input channel, from 1 (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("fundamental"),
         QStringLiteral("analyze: start from this fundamental (default: the "
                        "strongest peak from 10 Hz up)."),
         QStringLiteral("hz")},
        {QStringLiteral("harmonics"),
         QStringLiteral("analyze: the highest harmonic reported, 2 to 20 (default 7)."), QStringLiteral("n")},
        {QStringLiteral("band"),
         QStringLiteral("analyze: THD+N's band (default 20,20000, cut at half the rate)."),
         QStringLiteral("lo,hi")},
        {QStringLiteral("imd"),
         QStringLiteral("analyze, wav, measure: intermodulation by smpte (60 Hz and 7 kHz, 4:1), din (250 Hz and "
                        "8 kHz, 4:1) or ccif (19 and 20 kHz, 1:1)."),
         QStringLiteral("method")},
        {QStringLiteral("tones"), QStringLiteral("--imd: the two tones, Hz (default: the method's)."),
         QStringLiteral("f1,f2")},
        {QStringLiteral("noise"),
         QStringLiteral("analyze, measure: the noise, plain and A-weighted (measure: with the output silent).")},
        {QStringLiteral("crosstalk"),
         QStringLiteral("measure: drives output channel --channel (1 or 2) alone and reads how much of it the "
                        "other input channel hears; with --sweep frequency, against frequency.")},
        {QStringLiteral("dynamic-range"),
         QStringLiteral("measure: dynamic range (AES17): A-weighted THD+N of 997 Hz at -60 dBFS, plus 60 dB.")},
        {QStringLiteral("input"),
         QStringLiteral("measure: the input device, by index, the server's name or the name devices lists "
                        "(default: the system's)."),
         QStringLiteral("device")},
        {QStringLiteral("level"), QStringLiteral("measure: the stimulus's peak, -80 to 0 dBFS (default -12)."),
         QStringLiteral("dbfs")},
        {QStringLiteral("sweep"), QStringLiteral("measure: frequency, level or chirp (one exponential sweep)."),
         QStringLiteral("kind")},
        {QStringLiteral("smoothing"),
         QStringLiteral("measure --sweep chirp, analyze-chirp: the response smoothed over 1/N octave, 1/3 to 1/48."),
         QStringLiteral("1/n")},
        {QStringLiteral("from"),
         QStringLiteral("measure: the sweep's start, Hz or dBFS (default 20 Hz, -40 dBFS)."),
         QStringLiteral("value")},
        {QStringLiteral("to"), QStringLiteral("measure: the sweep's end, Hz or dBFS (default 20000 Hz, 0 dBFS)."),
         QStringLiteral("value")},
        {QStringLiteral("per-octave"), QStringLiteral("measure: frequency steps an octave (default 3)."),
         QStringLiteral("n")},
        {QStringLiteral("step"), QStringLiteral("measure: the level sweep's step, dB (default 1)."),
         QStringLiteral("db")},
        {QStringLiteral("settle"),
         QStringLiteral("measure: the wait after each change, ms (default 100)."), QStringLiteral("ms")},
        {QStringLiteral("live"),
         QStringLiteral("measure: a line a block (--seconds long), until interrupted or --count blocks.")},
        {QStringLiteral("count"), QStringLiteral("measure --live: the blocks to read, 1 to 1000000 (default: no end)."),
         QStringLiteral("n")},
        {QStringLiteral("settle-tolerance"),
         QStringLiteral("measure: how close two blocks in a row must come, THD+N in dB and the fundamental's "
                        "level in dB (default 0.5,0.05)."),
         QStringLiteral("db,db")},
        {QStringLiteral("input-cal"),
         QStringLiteral("measure: volts rms at the input for a full-scale sine."), QStringLiteral("v")},
        {QStringLiteral("output-cal"),
         QStringLiteral("measure: volts rms at the output for a full-scale sine."), QStringLiteral("v")},
    });
    options.helpText = parser.helpText();

    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
        return options;
    }
    if (parser.isSet(help))
        return options;
    if (parser.isSet(version)) {
        options.command = Command::Version;
        return options;
    }
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (command == QLatin1String("thd"))
        options.command = Command::Thd;
    else if (command == QLatin1String("plot"))
        options.command = Command::Plot;
    else if (command == QLatin1String("wav"))
        options.command = Command::Wav;
    else if (command == QLatin1String("csv"))
        options.command = Command::Csv;
    else if (command == QLatin1String("analyze"))
        options.command = Command::Analyze;
    else if (command == QLatin1String("devices"))
        options.command = Command::Devices;
    else if (command == QLatin1String("measure"))
        options.command = Command::Measure;
    else if (command == QLatin1String("chirp"))
        options.command = Command::Chirp;
    else if (command == QLatin1String("analyze-chirp"))
        options.command = Command::AnalyzeChirp;
    else {
        options.error = command.isEmpty()
                            ? QStringLiteral("a command is needed: thd, plot, wav, csv, analyze, devices, measure, "
                                             "chirp or analyze-chirp")
                            : QStringLiteral("unknown command \"%1\": use thd, plot, wav, csv, analyze, devices, "
                                             "measure, chirp or analyze-chirp")
                                  .arg(command);
        return options;
    }
    if (options.command == Command::Analyze) {
        options.files = positional.mid(1);
        if (options.files.isEmpty()) {
            options.error = QStringLiteral("analyze needs one or more sound files");
            return options;
        }
    } else if (options.command == Command::AnalyzeChirp) {
        options.files = positional.mid(1);
        if (options.files.size() != 1) {
            options.error = QStringLiteral("analyze-chirp needs one recording of a sweep file");
            return options;
        }
    } else if (positional.size() > 1) {
        options.error = QStringLiteral("unexpected argument \"%1\"").arg(positional.at(1));
        return options;
    }
    const QStringList allowed = extraOptions(options.command);
    QStringList toneOptions{QStringLiteral("freq"), QStringLiteral("levels"), QStringLiteral("phases")};
    if (options.command != Command::Analyze && options.command != Command::Devices &&
        options.command != Command::Chirp && options.command != Command::AnalyzeChirp)
        toneOptions.clear(); // every other command takes them
    for (const QString &name :
         toneOptions + QStringList{QStringLiteral("json"), QStringLiteral("output"),
                                   QStringLiteral("seconds"), QStringLiteral("rate"), QStringLiteral("bits"),
                                   QStringLiteral("peak-dbfs"), QStringLiteral("no-dither"),
                                   QStringLiteral("channel"), QStringLiteral("fundamental"),
                                   QStringLiteral("harmonics"), QStringLiteral("band"),
                                   QStringLiteral("input"), QStringLiteral("level"), QStringLiteral("sweep"),
                                   QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("per-octave"),
                                   QStringLiteral("step"), QStringLiteral("settle"),
                                   QStringLiteral("settle-tolerance"), QStringLiteral("live"),
                                   QStringLiteral("count"), QStringLiteral("input-cal"),
                                   QStringLiteral("output-cal"), QStringLiteral("smoothing"),
                                   QStringLiteral("imd"), QStringLiteral("tones"), QStringLiteral("noise"),
                                   QStringLiteral("dynamic-range"), QStringLiteral("crosstalk")}) {
        if (parser.isSet(name) && !allowed.contains(name)) {
            options.error = QStringLiteral("--%1 is not an option of %2").arg(name, command);
            return options;
        }
        const bool takesValue = name != QLatin1String("json") && name != QLatin1String("no-dither") &&
                                name != QLatin1String("live") && name != QLatin1String("noise") &&
                                name != QLatin1String("dynamic-range") && name != QLatin1String("crosstalk");
        if (parser.isSet(name) && takesValue && parser.value(name).trimmed().isEmpty()) {
            options.error = QStringLiteral("--%1: takes a value, and was given an empty one").arg(name);
            return options;
        }
    }

    Checker check(parser);
    const tone::Tone defaults;
    const auto frequency = check.number(QStringLiteral("freq"), defaults.frequencyHz);
    const auto levels = check.six(QStringLiteral("levels"), defaults.levels);
    const auto phases = check.six(QStringLiteral("phases"), defaults.phases);
    const auto rate = check.number(QStringLiteral("rate"), options.wav.rate);
    const auto seconds = check.number(QStringLiteral("seconds"), options.wav.seconds);
    const auto bits = check.number(QStringLiteral("bits"), options.wav.bits);
    const auto peak = check.number(QStringLiteral("peak-dbfs"), options.wav.peakDbfs);
    if (!check.error.isEmpty()) {
        options.error = check.error;
        return options;
    }
    options.tone = {*frequency, *levels, *phases};
    // A phase is an angle: any number of degrees is taken modulo 360, except by
    // plot, which keeps the window's 0 to 360 in steps of 5.
    if (options.command != Command::Plot)
        for (double &phase : options.tone.phases)
            phase = dsp::wrapDegrees(phase);
    options.json = parser.isSet(QStringLiteral("json"));
    if (options.command == Command::Analyze) {
        parseAnalysis(parser, check, options);
        options.error = check.error;
        return options;
    }
    if (options.command == Command::Devices)
        return options;
    if (options.command == Command::Measure) {
        parseMeasure(parser, check, options);
        options.error = check.error;
        return options;
    }
    if (options.command == Command::AnalyzeChirp) {
        parseAnalysis(parser, check, options);
        parseChirp(parser, check, options.chirp, 0);
        options.error = check.error;
        return options;
    }
    if (options.command == Command::Chirp) {
        if (!(*rate >= 22050 && *rate <= 384000 && whole(*rate)))
            check.fail(QStringLiteral("rate"), QStringLiteral("takes whole rates from 22050 to 384000 Hz"));
        else
            options.chirpRate = int(*rate);
        parseChirp(parser, check, options.chirp, options.chirpRate);
        options.output = parser.value(QStringLiteral("output"));
        if (options.output.isEmpty() && check.error.isEmpty())
            check.fail(QStringLiteral("output"), QStringLiteral("chirp needs -o FILE.wav, or -o - for standard output"));
        options.error = check.error;
        return options;
    }
    options.output = parser.value(QStringLiteral("output"));
    options.rowsPerSample = parser.isSet(QStringLiteral("seconds")) || parser.isSet(QStringLiteral("rate"));

    if (options.command == Command::Plot) {
        // The main window's ranges.
        if (!(*frequency >= 50 && *frequency <= 1000 && whole(*frequency / 10)))
            check.fail(QStringLiteral("freq"), QStringLiteral("plot takes 50 to 1000 Hz in steps of 10"));
        for (double level : *levels)
            if (!(level >= 0 && level <= 20 && whole(level)))
                check.fail(QStringLiteral("levels"), QStringLiteral("plot takes whole levels from 0 to 20"));
        for (double phase : *phases)
            if (!(phase >= 0 && phase <= 360 && whole(phase / 5)))
                check.fail(QStringLiteral("phases"),
                           QStringLiteral("plot takes 0 to 360 degrees in steps of 5"));
    } else {
        if (!(*rate >= 8000 && *rate <= 384000 && whole(*rate)))
            check.fail(QStringLiteral("rate"), QStringLiteral("takes whole rates from 8000 to 384000 Hz"));
        else if (!(*frequency > 0 && 7 * *frequency < *rate / 2))
            check.fail(
                QStringLiteral("freq"),
                QStringLiteral("takes more than 0 Hz and less than %1 Hz, so that the 7th harmonic stays "
                               "below half the sample rate of %2 Hz")
                    .arg(*rate / 14)
                    .arg(*rate));
        for (double level : *levels)
            if (!(level >= 0 && level <= 100))
                check.fail(QStringLiteral("levels"), QStringLiteral("takes levels from 0 to 100 percent"));
    }
    if (options.command == Command::Wav || options.command == Command::Csv) {
        options.wav.rate = static_cast<int>(*rate);
        options.wav.seconds = *seconds;
        if (!(*seconds > 0 && *seconds <= 86400))
            check.fail(QStringLiteral("seconds"),
                       QStringLiteral("takes more than 0 and at most 86400 seconds"));
        else if ((options.command == Command::Wav || options.rowsPerSample) && *rate > 0 &&
                 std::llround(*seconds * *rate) < 1)
            check.fail(QStringLiteral("seconds"),
                       QStringLiteral("is shorter than one sample: at %1 Hz it takes "
                                      "at least %2 s")
                           .arg(*rate)
                           .arg(0.5 / *rate));
    }
    if (options.command == Command::Wav) {
        options.imd = parseTwoTone(parser, check);
        if (options.imd) {
            for (const char *name : {"freq", "levels", "phases"})
                if (parser.isSet(QString::fromLatin1(name)))
                    check.fail(QString::fromLatin1(name), QStringLiteral("belongs to the tone, not to --imd"));
            if (check.error.isEmpty() && !twotone::suits(*options.imd, options.wav.rate / 2.0))
                check.fail(QStringLiteral("tones"), QStringLiteral("%1 Hz lies at or above half the rate of %2 Hz")
                                                        .arg(options.imd->f2Hz)
                                                        .arg(options.wav.rate));
        }
        if (!(*bits == 16 || *bits == 24 || *bits == 32))
            check.fail(QStringLiteral("bits"), QStringLiteral("takes 16, 24 or 32 (float)"));
        if (!(*peak >= -120 && *peak <= 0))
            check.fail(QStringLiteral("peak-dbfs"), QStringLiteral("takes -120 to 0 dB full scale"));
        options.wav.bits = static_cast<int>(*bits);
        options.wav.peakDbfs = *peak;
        options.wav.dither = !parser.isSet(QStringLiteral("no-dither"));
        // The container comes from the file's name; standard output gets WAV.
        const QString suffix = QFileInfo(options.output).suffix().toLower();
        if (suffix == QLatin1String("flac"))
            options.container = audio::Container::Flac;
        else if (suffix != QLatin1String("wav") && options.output != QLatin1String("-") &&
                 !options.output.isEmpty())
            check.fail(QStringLiteral("output"), QStringLiteral("the file's name must end in .wav or .flac"));
        if (options.container == audio::Container::Flac && options.wav.bits == 32)
            check.fail(QStringLiteral("bits"),
                       QStringLiteral("FLAC holds 16 or 24 bits; 32 (float) is for WAV"));
        if (check.error.isEmpty() && options.container == audio::Container::Wav &&
            audio::dataBytes(options.wav) > audio::kMaxWavDataBytes)
            check.fail(QStringLiteral("seconds"),
                       QStringLiteral("a WAV file holds at most %1 seconds at %2 Hz and %3 bits")
                           .arg(std::floor(double(audio::kMaxWavDataBytes) /
                                           (options.wav.rate * options.wav.bits / 8)))
                           .arg(options.wav.rate)
                           .arg(options.wav.bits));
    }
    if (options.command == Command::Csv && options.rowsPerSample &&
        options.wav.seconds * options.wav.rate > 10'000'000)
        check.fail(QStringLiteral("seconds"), QStringLiteral("a table holds at most 10,000,000 rows"));
    if (options.command != Command::Thd && options.output.isEmpty() && check.error.isEmpty())
        check.fail(QStringLiteral("output"),
                   QStringLiteral("%1 needs -o FILE, or -o - for standard output").arg(command));
    options.error = check.error;
    return options;
}

} // namespace cli
