#include "picture/commondialog.h"

#include <QFileDialog>
#include <QFileInfo>

QString CommonDialog::nameFilter() const
{
    const QString description = m_filter.section(QLatin1Char('|'), 0, 0);
    QString patterns = m_filter.section(QLatin1Char('|'), 1, 1);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return description + QStringLiteral(" (") + patterns + QLatin1Char(')');
}

bool CommonDialog::ShowOpen(QWidget *parent)
{
    return show(parent, false);
}

bool CommonDialog::ShowSave(QWidget *parent)
{
    return show(parent, true);
}

std::optional<QString> CommonDialog::chooseSave(QWidget *parent, const QString &title, const QString &filter,
                                                const QString &proposed)
{
    const QFileInfo proposal(proposed);
    setInitDir(proposal.absolutePath());
    setDialogTitle(title);
    setFilter(filter);
    setFileName(proposed);
    setDefaultSuffix(proposal.suffix());
    if (!ShowSave(parent))
        return std::nullopt;
    return m_fileName;
}

bool CommonDialog::show(QWidget *parent, bool saving)
{
    std::optional<QString> chosen;
    if (m_answer) {
        chosen = m_answer(*this);
        if (chosen && !m_defaultSuffix.isEmpty() && QFileInfo(*chosen).suffix().isEmpty())
            *chosen += QLatin1Char('.') + m_defaultSuffix;
    } else {
        // The toolkit's own dialog, so the filter shows and matches the same everywhere.
        QFileDialog dialog(parent, m_dialogTitle, m_initDir);
        dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
        dialog.setAcceptMode(saving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(nameFilter());
        dialog.setDefaultSuffix(m_defaultSuffix);
        if (!m_fileName.isEmpty())
            dialog.selectFile(m_fileName);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().constFirst();
    }
    if (chosen)
        m_fileName = *chosen;
    return chosen.has_value();
}
