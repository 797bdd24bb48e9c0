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

void QtPasteboard::setImage(Image image) {
    if (!image || image->empty() || image->pixels.size() < size_t(image->width) * size_t(image->height)) {
        debugLog("pasteboard: no image to copy");
        return;
    }
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) {
        debugLog("pasteboard: no GUI application, nothing copied");
        return;
    }
    const auto png = imaging_.encodePng(*image);
    if (!png) {
        debugLog("pasteboard: PNG encoding failed, nothing copied");
        return;
    }
    QByteArray bytes(png->data(), qsizetype(png->size()));
    QImage qimage = toQImage(*image);
    auto apply = [bytes = std::move(bytes), qimage = std::move(qimage)] {
        auto* mime = new QMimeData;
        mime->setData(QStringLiteral("image/png"), bytes);
        mime->setImageData(qimage);
        QGuiApplication::clipboard()->setMimeData(mime);  // takes ownership
    };
    if (QThread::currentThread() == app->thread())
        apply();
    else
        QMetaObject::invokeMethod(app, std::move(apply), Qt::QueuedConnection);
}

}  // namespace plinthora::linux_platform
