#include "about/aboutwindow.h"

#include "app/form1.h"
#include "app/icon.h"
#include "app/version.h"
#include "base/design.h"

#include <QLabel>
#include <QPushButton>

namespace {

using design::twips;

QLabel *label(QWidget *parent, const char *name, const QString &text, const QRect &geometry, int tabIndex)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setProperty(Form1::kTabIndexProperty, tabIndex);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(colours);
    return label;
}

} // namespace

AboutWindow::AboutWindow()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QStringLiteral(" Marovek Synthesis & Analisys Audio signals"));
    const QImage icon = programIcon();
    setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    setFixedSize(twips(0, 0, 5730, 2010).size());
    setFont(design::font(design::kDefaultFontPoints));

    picIcon = label(this, "picIcon", QString(), twips(240, 240, 540, 540), 1);
    picIcon->setPixmap(QPixmap::fromImage(icon));
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setFrameShape(QFrame::Box);
    lblTitle = label(this, "lblTitle", QStringLiteral("Marovek multiple programs: https://marovek.example"),
                     twips(1050, 240, 4605, 240), 4);
    lblVersion = label(this, "lblVersion", QStringLiteral("Version "), twips(1050, 720, 3885, 225), 5);
    lblDescription = label(this, "lblDescription", QStringLiteral("Synthesis & Analisys of audio signals"),
                           twips(1050, 1125, 3885, 210), 2);

    auto *line = new QFrame(this);
    line->setObjectName(QStringLiteral("Line1"));
    // One pixel high, from x 0 to x 5564 twips, both ends drawn.
    line->setGeometry(0, design::pixels(1440), design::pixels(5564) + 1, 1);
    line->setAutoFillBackground(true);
    QPalette grey = line->palette();
    grey.setColor(QPalette::Window, design::colour(0x808080));
    line->setPalette(grey);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(4245, 1560, 1260, 345));
    cmdOK->setProperty(Form1::kTabIndexProperty, 0);
    // Enter presses the default button; Escape closes the dialog as the cancel button would.
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &AboutWindow::cmdOK_Click);
    cmdOK->setFocus();

    Form_Load();
}

void AboutWindow::Form_Load()
{
    lblVersion->setText(QStringLiteral("Version %1.%2.%3").arg(kVersion.major).arg(kVersion.minor).arg(kVersion.revision));
}

void AboutWindow::cmdOK_Click()
{
    close();
}

void Form1::mnuAbout_Click()
{
    guard(QT_TR_NOOP("Showing the About window"), [this] {
        if (!m_about)
            m_about = new AboutWindow;
        m_about->show();
        m_about->raise();
        m_about->activateWindow();
    });
}
