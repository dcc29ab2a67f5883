// File > Save Plot As, Save Tone As and Export Samples: what the user made,
// kept in files the user names. Each file is written whole or not at all.

#include "app/errors.h"
#include "app/form1.h"
#include "audio/tonewriter.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <functional>

namespace {

// Writes the file through a save file that replaces it only when complete.
void writeWhole(const QString &name, const std::function<void(QIODevice &)> &write)
{
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly))
        throw QuenlariError(
            QStringLiteral("cannot write \"%1\": %2").arg(name, file.errorString()).toStdString());
    write(file);
    if (!file.commit())
        throw QuenlariError(
            QStringLiteral("cannot write \"%1\": %2").arg(name, file.errorString()).toStdString());
}

} // namespace

std::optional<QString> Form1::chooseSaveFile(const QString &title, const QString &filter,
                                             const QString &proposedName)
{
    const QString folder = m_saveDialog.fileName().isEmpty()
                               ? QDir::homePath()
                               : QFileInfo(m_saveDialog.fileName()).absolutePath();
    m_saveDialog.setInitDir(folder);
    m_saveDialog.setDialogTitle(title);
    m_saveDialog.setFilter(filter);
    m_saveDialog.setFileName(QDir(folder).filePath(proposedName));
    // A name typed without an extension gets the proposed one before the dialog asks about replacing.
    m_saveDialog.setDefaultSuffix(QFileInfo(proposedName).suffix());
    if (!m_saveDialog.ShowSave(this))
        return std::nullopt;
    return m_saveDialog.fileName();
}

void Form1::mnuSavePlot_Click()
{
    guard(QT_TR_NOOP("Saving the plot"), [this] {
        const auto name =
            chooseSaveFile(QStringLiteral("Marovek Quenlari. Save Plot As"),
                           QStringLiteral("PNG picture  (*.png)|*.png"), QStringLiteral("quenlari-plot.png"));
        if (!name)
            return;
        // The plot exactly as shown: traces, cursor line, crosses and background picture.
        const QImage plot = m_surface.image();
        writeWhole(*name, [&](QIODevice &file) {
            if (!plot.save(&file, "PNG"))
                throw QuenlariError(QStringLiteral("cannot write \"%1\" as PNG").arg(*name).toStdString());
        });
    });
}

void Form1::mnuSaveTone_Click()
{
    guard(QT_TR_NOOP("Saving the tone"), [this] {
        const auto name = chooseSaveFile(QStringLiteral("Marovek Quenlari. Save Tone As"),
                                         QStringLiteral("Sound  (*.wav;*.flac)|*.wav;*.flac"),
                                         QStringLiteral("quenlari-tone.wav"));
        if (!name)
            return;
        const audio::Container container = audio::containerFor(*name);
        const tone::Tone tone = toneOfControls();
        // 5 s at 48 kHz and 24 bits, the peak at -1 dB full scale, as quenlari-cli wav makes it.
        writeWhole(*name, [&](QIODevice &file) {
            audio::writeTone(file, *name, container, tone, audio::ToneFormat());
        });
    });
}

void Form1::mnuExportSamples_Click()
{
    guard(QT_TR_NOOP("Exporting the samples"), [this] {
        const auto name = chooseSaveFile(QStringLiteral("Marovek Quenlari. Export Samples"),
                                         QStringLiteral("CSV table  (*.csv)|*.csv"),
                                         QStringLiteral("quenlari-samples.csv"));
        if (!name)
            return;
        // A decimal point whatever the user's language, so any program reads it.
        QByteArray table("index,x,level\n");
        for (int16_t i = 1; i <= m_state.sampleCount; ++i)
            table += QByteArray::number(i) + ',' + QByteArray::number(m_state.sampleX[i]) + ',' +
                     QByteArray::number(static_cast<double>(m_state.sampleValue[i]), 'g', 7) + '\n';
        writeWhole(*name, [&](QIODevice &file) {
            if (file.write(table) != table.size())
                throw QuenlariError(QStringLiteral("cannot write \"%1\"").arg(*name).toStdString());
        });
    });
}
