// The pasteboard on Linux: the system clipboard through Qt.
#pragma once

#include "platform/ports/Imaging.h"
#include "platform/ports/Media.h"

#include <QImage>

namespace plinthora::linux_platform {

// Offers the image as "image/png" first, the type other programs ask for,
// and then as Qt's own image type. The PNG is encoded on the calling
// thread; the clipboard itself is only touched on the GUI thread, so a call
// from a worker is posted there and takes effect a moment later.
class QtPasteboard : public Pasteboard {
public:
    explicit QtPasteboard(Imaging& imaging) : imaging_(imaging) {}
    void setImage(Image image, Kept kept) override;

private:
    Imaging& imaging_;
};

// A deep copy of a premultiplied ARGB32 bitmap as a QImage.
QImage toQImage(const Bitmap& bitmap);

}  // namespace plinthora::linux_platform
