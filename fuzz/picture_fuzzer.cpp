// libFuzzer target: the picture-loading path as File > Open Picture takes it,
// from the file on disk to the surface's background.

#include "picture/loadpicture.h"
#include "surface/drawingsurface.h"

#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
QTemporaryDir *folder;
DrawingSurface *surface;
QString fileName;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The decoders' warnings about broken input are expected by the million.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QGuiApplication app(*argc, *argv); // the image format plugins come with it
    folder = new QTemporaryDir;
    fileName = folder->filePath(QStringLiteral("input.bmp"));
    surface = new DrawingSurface;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::FILE *file = std::fopen(fileName.toLocal8Bit().constData(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
        surface->setPicture(LoadPicture(fileName, QSize(DrawingSurface::kWidth, DrawingSurface::kHeight)));
    } catch (const picture::PictureError &) {
        // a clear message in the program; nothing to check here
    }
    return 0;
}
