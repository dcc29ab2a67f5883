#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The About window: the program's title, maker, version and description.
// It is not modal and has no owner, so the main window stays usable and may
// cover it. Closing it in any way destroys it; it is built afresh next time.
class AboutWindow : public QDialog
{
    Q_OBJECT

public:
    AboutWindow();

private:
    void Form_Load();
    void cmdOK_Click();

    QLabel *picIcon;
    QLabel *lblTitle;
    QLabel *lblVersion;
    QLabel *lblDescription;
    QPushButton *cmdOK;
};
