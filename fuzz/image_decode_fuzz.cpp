// Any bytes as a capture, shell or watermark file: the decoder gives an
// image or nullptr, never more pixels than it allows, and what it gives
// survives our own PNG encoder (exactly where it is opaque; translucent
// pixels may round once through straight alpha).
#include "fuzz/FuzzWorld.h"

#include <algorithm>

using namespace plinthora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzWorld& w = fuzz::fuzzWorld();
    Image img = w.imaging.decode(std::string(reinterpret_cast<const char*>(data), size));
    if (!img) return 0;
    if (img->width <= 0 || img->height <= 0 ||
        int64_t(img->width) * img->height > linux_platform::QtImaging::kMaxDecodePixels ||
        img->pixels.size() != size_t(img->width) * size_t(img->height))
        fuzz::fail("decoded image has an impossible size");
    // Keep the round trip cheap; large images only show up with crafted
    // headers and are covered by the size check above.
    if (img->pixels.size() > (1u << 20)) return 0;
    auto png = w.imaging.encodePng(*img);
    if (!png) fuzz::fail("a decoded image does not encode");
    Image back = w.imaging.decode(*png);
    if (!back || back->width != img->width || back->height != img->height)
        fuzz::fail("a decoded image does not survive a PNG round trip");
    const bool opaque = std::all_of(img->pixels.begin(), img->pixels.end(), [](uint32_t p) { return p >> 24 == 255; });
    if (opaque && back->pixels != img->pixels) fuzz::fail("opaque pixels changed in a PNG round trip");
    return 0;
}
