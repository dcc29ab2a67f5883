#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// The file-open dialog. Its settings are made anew at every use; the file
// name is kept from one use to the next and changes only when the user
// confirms a choice: a cancelled dialog leaves it as it was.
class CommonDialog
{
public:
    static constexpr int kHideReadOnly = 4; // the only flag the program sets

    void setInitDir(const QString &folder) { m_initDir = folder; }
    // "Description|pattern;pattern", the patterns matched as given, the
    // description shown as it stands.
    void setFilter(const QString &filter) { m_filter = filter; }
    void setFlags(int flags) { m_flags = flags; }
    void setDialogTitle(const QString &title) { m_dialogTitle = title; }
    // Added, as the toolkit's dialog adds it, to a name typed without an
    // extension, before the dialog asks whether to replace a file: "x" is
    // "x.wav", and an existing x.wav is asked about.
    void setDefaultSuffix(const QString &suffix) { m_defaultSuffix = suffix; }

    QString initDir() const { return m_initDir; }
    QString filter() const { return m_filter; }
    int flags() const { return m_flags; }
    QString dialogTitle() const { return m_dialogTitle; }
    QString fileName() const { return m_fileName; }
    // The name the dialog proposes at its next use.
    void setFileName(const QString &name) { m_fileName = name; }

    // Shows the dialog modally and returns when the user closes it: true when
    // a file was chosen. No flag asks for an existing file, so a typed name
    // that does not exist is accepted as it is.
    bool ShowOpen(QWidget *parent);
    // The same for a file to write; the toolkit asks before replacing one.
    bool ShowSave(QWidget *parent);
    // The program's one way to ask for a file to write: the dialog opens on
    // `proposed` (a full path) in its folder, and a name typed without an
    // extension gets the proposed one. The chosen name, or nothing for a cancel.
    std::optional<QString> chooseSave(QWidget *parent, const QString &title, const QString &filter,
                                      const QString &proposed);

    // What tests put in place of a person: given the dialog as it is set,
    // the chosen full path, or nothing for a cancel.
    using Answer = std::function<std::optional<QString>(const CommonDialog &)>;
    void setAnswer(Answer answer) { m_answer = std::move(answer); }

    // The filter in the toolkit's form: the description, then the patterns
    // in parentheses, which the dialog hides.
    QString nameFilter() const;

private:
    bool show(QWidget *parent, bool saving);

    QString m_initDir;
    QString m_filter;
    int m_flags = 0;
    QString m_dialogTitle;
    QString m_defaultSuffix;
    QString m_fileName;
    Answer m_answer;
};
