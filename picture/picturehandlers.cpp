// File > Open Picture: a picture file as the plot's background, until the next redraw.

#include "app/form1.h"
#include "picture/loadpicture.h"

#include <QCoreApplication>

void Form1::mnuOpen_Click()
{
    guard(QT_TR_NOOP("Opening a picture"), [this] {
        CmDialog1.setInitDir(QCoreApplication::applicationDirPath());
        CmDialog1.setFilter(QStringLiteral("Picture  (*.bmp;*.jpg)|*.bmp*;*.jpg"));
        CmDialog1.setFlags(CommonDialog::kHideReadOnly);
        CmDialog1.setDialogTitle(QStringLiteral("Marovek Quenlari. Open"));
        CmDialog1.ShowOpen(this);
        // A cancel is not told apart: the name kept from the last confirmed
        // choice loads again, and before any choice the empty picture does.
        const QImage picture =
            LoadPicture(CmDialog1.fileName(), QSize(DrawingSurface::kWidth, DrawingSurface::kHeight));
        m_surface.setPicture(picture);
    });
}
