// A fast path for the PNGs screenshots, shells and watermarks are: 8-bit
// RGB or RGBA, not interlaced. libdeflate inflates the whole image data at
// once, and one pass per row undoes the filter and premultiplies straight
// into our pixel layout. Anything else is left to the general decoder.
#pragma once

#include "platform/ports/Imaging.h"

#include <optional>
#include <string>

namespace plinthora::imaging::png {

enum class DecodeResult { Decoded, NotHandled, TooLarge, Damaged };

// Decodes `bytes` into `out` when it is a PNG this path handles and is
// whole and sound. TooLarge: the header declares more than `maxPixels`
// (nothing is allocated). Damaged: a PNG cut short (no IEND, a chunk
// running past the end) or with a critical chunk that fails its check.
// NotHandled: anything else — another format, or a PNG kind or chunk this
// path leaves to the general decoder.
DecodeResult decode(const std::string& bytes, long long maxPixels, Bitmap& out);

}  // namespace plinthora::imaging::png
