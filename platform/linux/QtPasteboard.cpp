#include "platform/linux/QtPasteboard.h"

#include "platform/ports/Platform.h"

#include <QByteArray>
#include <QClipboard>
#include <QGuiApplication>
#include <QMetaObject>
#include <QMimeData>
#include <QThread>

#include <cstring>

namespace plinthora::linux_platform {

QImage toQImage(const Bitmap& bitmap) {
    QImage out(bitmap.width, bitmap.height, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull()) return out;
    const size_t rowBytes = size_t(bitmap.width) * sizeof(uint32_t);
    for (int y = 0; y < bitmap.height; ++y)
        std::memcpy(out.scanLine(y), bitmap.pixels.data() + size_t(y) * size_t(bitmap.width), rowBytes);
    if (bitmap.scale > 0) out.setDevicePixelRatio(bitmap.scale);
    return out;
}

void QtPasteboard::setImage(Image image, Kept kept) {
    auto refuse = [&kept](const char* why) {
        debugLog("pasteboard: %s", why);
        if (kept) kept(false);
    };
    if (!image || image->empty() || image->pixels.size() < size_t(image->width) * size_t(image->height))
        return refuse("no image to copy");
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return refuse("no GUI application, nothing copied");
    const auto png = imaging_.encodePng(*image);
    if (!png) return refuse("PNG encoding failed, nothing copied");
    QByteArray bytes(png->data(), qsizetype(png->size()));
    QImage qimage = toQImage(*image);
    auto apply = [bytes = std::move(bytes), qimage = std::move(qimage), kept = std::move(kept)] {
        auto* mime = new QMimeData;
        mime->setData(QStringLiteral("image/png"), bytes);
        mime->setImageData(qimage);
        QGuiApplication::clipboard()->setMimeData(mime);  // takes ownership
        if (kept) kept(true);
    };
    if (QThread::currentThread() == app->thread())
        apply();
    else
        QMetaObject::invokeMethod(app, std::move(apply), Qt::QueuedConnection);
}

}  // namespace plinthora::linux_platform
