#include "picture/loadpicture.h"
#include "surface/drawingsurface.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

// Inputs that once broke, or were made to break, the picture loader: each one
// either loads or is refused with a clear error, and never brings the program down.
TEST(PictureRegressions, EveryHostileFileLoadsOrIsRefused)
{
    const QDir folder(QStringLiteral(QUENLARI_SOURCE_DIR "/fuzz/regressions"));
    const QStringList files = folder.entryList(QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    DrawingSurface surface;
    for (const QString &name : files) {
        SCOPED_TRACE(name.toStdString());
        try {
            surface.setPicture(LoadPicture(folder.filePath(name), surface.image().size()));
        } catch (const picture::PictureError &error) {
            EXPECT_NE(std::string(error.what()).find(name.toStdString()), std::string::npos);
        }
    }
    EXPECT_THROW(LoadPicture(folder.filePath(QStringLiteral("forged-huge.bmp")), surface.image().size()),
                 picture::PictureError);
    EXPECT_THROW(LoadPicture(folder.filePath(QStringLiteral("huge-frame.jpg")), surface.image().size()),
                 picture::PictureError);
}

} // namespace
