// Fast raw DEFLATE writers of our own for filtered picture rows: literals
// under a dynamic Huffman code fitted to each piece, plus either
//  - the runs a flat stretch makes (a byte repeated, or a pixel repeated at
//    the distance of one pixel), as zlib's run-length strategy does: on a
//    UI's filtered rows that is nearly all there is to find; or
//  - matches that start where a pixel starts, found in hash chains of the
//    two pixels there: on noisy rows (grain shared by the channels) the
//    repeats worth coding are whole pixels, so a finder that looks only
//    there keeps most of a general match finder's gain in a fraction of its
//    time. Where repeats start mid-pixel (anti-aliased text) a general
//    finder does much better.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plinthora::imaging::png {

// Input bytes per DEFLATE block, each with its own Huffman code.
constexpr size_t kLiteralPieceBytes = size_t(64) << 10;

// Writes to `out` raw DEFLATE blocks that inflate to data[0, size) and
// returns their length: runs of at least `minRun` (≥ 4) bytes at distance
// 1 or `pixelBytes` (1–4) become matches (minRun 0: literals only),
// everything else literals. The blocks refer to nothing before `data`.
// When `final`, the last block is marked final; otherwise none is, and an
// empty stored block ends the output on a byte boundary, so that another
// raw DEFLATE stream can follow it at once. A piece that its Huffman code
// would make larger is stored as it is. `out` holds at least
// deflateLiteralsBound(size) bytes.
size_t deflateLiterals(const uint8_t* data, size_t size, int pixelBytes, int minRun, bool final, uint8_t* out);

// The most bytes deflateLiterals() or deflatePixelMatches() writes for `size` input bytes (with
// the few it may scribble past its end).
size_t deflateLiteralsBound(size_t size);

// As deflateLiterals(), with matches at pixel starts instead of runs:
// `data` is whole filtered rows of `rowBytes` bytes each (a filter byte,
// then 4-byte pixels), so size is a multiple of rowBytes. Matches are at
// least 8 bytes long and reach back at most 32 KiB. `out` holds at least
// deflateLiteralsBound(size) bytes.
size_t deflatePixelMatches(const uint8_t* data, size_t size, size_t rowBytes, bool final, uint8_t* out);

// Length-limited Huffman code lengths for freq[0, n): lengths[i] ≤ limit,
// 0 only for unused symbols. At least two symbols get a code (an unused
// one is added when fewer are used), so the code is always complete.
// Exposed for tests.
void huffmanLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths);

}  // namespace plinthora::imaging::png
