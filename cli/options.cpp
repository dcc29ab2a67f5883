#include "cli/options.h"

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
  wav    the tone as a WAV or FLAC file (-o FILE.wav, -o FILE.flac)
  csv    the waveform as a table (-o FILE.csv)
  analyze FILE...  the fundamental, harmonics, THD and THD+N of recordings (WAV, FLAC, AIFF, Ogg, ...)

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
        return {QStringLiteral("output"), QStringLiteral("seconds"),   QStringLiteral("rate"),
                QStringLiteral("bits"),   QStringLiteral("peak-dbfs"), QStringLiteral("no-dither")};
    case Command::Csv:
        return {QStringLiteral("output"), QStringLiteral("seconds"), QStringLiteral("rate")};
    case Command::Analyze:
        return {QStringLiteral("json"), QStringLiteral("channel"), QStringLiteral("fundamental"),
                QStringLiteral("harmonics"), QStringLiteral("band")};
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
}

} // namespace

Options parse(const QStringList &arguments)
{
    Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kSummary));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("thd, plot, wav, csv or analyze"));
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
         QStringLiteral("The file to write, - for standard output."),
         QStringLiteral("file")},
        {QStringLiteral("json"), QStringLiteral("thd, analyze: JSON, one object a line.")},
        {QStringLiteral("seconds"), QStringLiteral("wav, csv: length in seconds (wav: default 5)."),
         QStringLiteral("s")},
        {QStringLiteral("rate"), QStringLiteral("wav, csv: samples a second (default 48000)."),
         QStringLiteral("hz")},
        {QStringLiteral("bits"), QStringLiteral("wav: 16, 24 (default) or 32 (float, WAV only)."),
         QStringLiteral("n")},
        {QStringLiteral("peak-dbfs"), QStringLiteral("wav: level of the peak, dB full scale (default -1)."),
         QStringLiteral("db")},
        {QStringLiteral("no-dither"), QStringLiteral("wav: no TPDF dither on 16 and 24 bits.")},
        {QStringLiteral("channel"), QStringLiteral("analyze: the channel, from 1 (default 1)."),
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
    else {
        options.error =
            command.isEmpty()
                ? QStringLiteral("a command is needed: thd, plot, wav, csv or analyze")
                : QStringLiteral("unknown command \"%1\": use thd, plot, wav, csv or analyze").arg(command);
        return options;
    }
    if (options.command == Command::Analyze) {
        options.files = positional.mid(1);
        if (options.files.isEmpty()) {
            options.error = QStringLiteral("analyze needs one or more sound files");
            return options;
        }
    } else if (positional.size() > 1) {
        options.error = QStringLiteral("unexpected argument \"%1\"").arg(positional.at(1));
        return options;
    }
    const QStringList allowed = extraOptions(options.command);
    QStringList toneOptions{QStringLiteral("freq"), QStringLiteral("levels"), QStringLiteral("phases")};
    if (options.command != Command::Analyze)
        toneOptions.clear(); // every other command takes them
    for (const QString &name :
         toneOptions + QStringList{QStringLiteral("json"), QStringLiteral("output"),
                                   QStringLiteral("seconds"), QStringLiteral("rate"), QStringLiteral("bits"),
                                   QStringLiteral("peak-dbfs"), QStringLiteral("no-dither"),
                                   QStringLiteral("channel"), QStringLiteral("fundamental"),
                                   QStringLiteral("harmonics"), QStringLiteral("band")}) {
        if (parser.isSet(name) && !allowed.contains(name)) {
            options.error = QStringLiteral("--%1 is not an option of %2").arg(name, command);
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
    options.json = parser.isSet(QStringLiteral("json"));
    if (options.command == Command::Analyze) {
        parseAnalysis(parser, check, options);
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
