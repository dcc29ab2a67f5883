// File > Save Plot As, Save Tone As and Export Samples: what the user made,
// kept in files the user names. Each file is written whole or not at all.

#include "app/form1.h"
#include "audio/tonewriter.h"
#include "base/errors.h"
#include "base/savefile.h"

#include <QDir>
#include <QFileInfo>

std::optional<QString> Form1::chooseSaveFile(const QString &title, const QString &filter,
                                             const QString &proposedName)
{
    const QString folder = m_saveDialog.fileName().isEmpty()
                               ? QDir::homePath()
                               : QFileInfo(m_saveDialog.fileName()).absolutePath();
    return m_saveDialog.chooseSave(this, title, filter, QDir(folder).filePath(proposedName));
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
        saveWhole(*name, [&](QIODevice &file) { return plot.save(&file, "PNG"); });
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
        saveWhole(*name, [&](QIODevice &file) {
            audio::writeTone(file, *name, container, tone, audio::ToneFormat());
            return true;
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
        saveWhole(*name, [&](QIODevice &file) { return file.write(table) == table.size(); });
    });
}
