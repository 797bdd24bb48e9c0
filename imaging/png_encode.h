// Our PNG encoder: straight-alpha RGBA8, adaptive row filters, libdeflate,
// and rows filtered and compressed in parallel blocks.
#pragma once

#include "platform/ports/Imaging.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::linux_platform::png {

// Filtered bytes per independently compressed block when not forced.
constexpr size_t kBlockBytes = size_t(1) << 20;

// A PNG of the bitmap (colour type 6, 8 bits). `level` is libdeflate's
// compression level (0–12). `blocks` = 0 picks about kBlockBytes of
// filtered data per block; tests force other counts to exercise the joins.
// The blocks are shared out to one thread per core. nullopt on an empty
// bitmap or a compressor failure.
std::optional<std::string> encode(const Bitmap& image, int level, int blocks = 0);

// Where the last block of a raw DEFLATE stream starts and ends, in bits from
// the start of `data`; nullopt when the stream is malformed. Used to turn a
// finished stream into one that the next block's stream can follow.
struct LastBlock {
    size_t headerBit = 0;
    size_t endBit = 0;
};
std::optional<LastBlock> findLastBlock(const uint8_t* data, size_t size);

// Rewrites a complete raw DEFLATE stream so that it is not final and ends on
// a byte boundary (an empty stored block follows its last block), so that
// another raw DEFLATE stream can be appended to it. False when malformed.
bool makeJoinable(std::vector<uint8_t>& stream);

}  // namespace plinthora::linux_platform::png
