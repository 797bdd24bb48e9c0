// Generated sample shells and a watermark, so a new user sees a framed
// screenshot at once. Drawn in code: nothing binary lives in the repo.
#pragma once

#include "platform/ports/Ports.h"

#include <QImage>
#include <QPolygonF>

#include <string>

namespace plinthora::host {

struct SampleShell {
    QImage image;              // premultiplied ARGB32
    QPolygonF hole;            // top-left, top-right, bottom-right, bottom-left
    std::string templateJson;  // corner form, measured on the image itself
};

// A phone body around a screen hole that leans a little in perspective.
SampleShell makeSampleShell(int width, int height);
// A laptop for desktop captures: an upright 16:9 screen hole of
// 1920 x 1080 pixels in a lid, over the keyboard deck, so a desktop
// screenshot lands at its own size and shape.
SampleShell makeSampleLaptopShell();
// A translucent pattern, as large as a shell.
QImage makeSampleWatermark(int width, int height);
// A screenshot-like picture: gradients, bars and blocks.
QImage makeSampleScreenshot(int width, int height, int seed = 1);

// A picture as PNG bytes (Qt's encoder: samples are small and made once).
std::string pngBytes(const QImage& image);

// Puts the sample shells (a portrait phone and a landscape laptop, each with
// its template)
// and the sample watermark into the asset folders that hold no image yet.
// Returns how many files were written.
int installSampleAssets(FileSystem& fs);

}  // namespace plinthora::host
