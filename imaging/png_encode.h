// Our PNG encoder: straight-alpha RGBA8, adaptive row filters, libdeflate or
// our own DEFLATE writers by content, and rows filtered and compressed in
// parallel blocks.
#pragma once

#include "platform/ports/Imaging.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::imaging::png {

// Filtered bytes per independently compressed block when not forced.
constexpr size_t kBlockBytes = size_t(1) << 20;

// Blocks whose filtered rows carry at least kNoisyBits bits per byte are
// compressed at kFastLevel whatever level is asked for (when the pixel
// matcher below does not take them; on a grain of 4.8 bits it was 2 %
// smaller than level 1 in 40 % of its time): on such rows the higher
// levels were measured to give no smaller output (at 4.9 bits per byte
// level 1 was 3 % smaller than level 4, in 70 % of its time), while on a
// UI's rows (under 1 bit) and mildly noisy ones (3–4 bits) level 4 saves
// 2–15 % over level 1.
constexpr int kFastLevel = 1;
constexpr double kNoisyBits = 4.5;

// Blocks under kFlatBits (a UI's flat rows: 0.3–0.5 bits per byte on the
// sample screenshot) are written by deflateLiterals() with runs of at least
// kFlatMinRun bytes, at any level but 0. On the framed sample screenshot
// that was 3.5 % larger than level 4 in 38 % of its time (runs of 4, 6,
// 12, 16 and 32 bytes were 0.7–11 % larger still). Rows from about 1.9
// bits up were 30–50 % larger than level 4 so: their repeated pixels pay
// for real matches.
constexpr double kFlatBits = 1.0;
constexpr int kFlatMinRun = 8;

// Every other block, at levels up to kPixelMatchLevel, is first tried on
// its first kTrialBytes (whole rows) both ways: libdeflate at its level and
// deflatePixelMatches(). The pixel matcher takes the block when its trial
// is at most kPixelMatchSlack of libdeflate's. On a noisy photo's rows it
// came within −2 to +6 % of level 4 per block (2.3 % in all) at about 60 %
// of its time and with no walk to join the streams. On anti-aliased text
// (1.3–1.7 bits) the trials were 1.09–1.25, and such blocks stay with
// libdeflate; on photos (1.4–2.5 bits) 0.96–1.04. Trials of 64 KiB decided
// every block of those pictures the same, in twice the time.
constexpr int kPixelMatchLevel = 4;
constexpr size_t kTrialBytes = size_t(32) << 10;
constexpr double kPixelMatchSlack = 1.06;
// From kGrainBits up the matcher takes the block untried. Whole blocks of
// a photo's grain, a plasma and an ordered dither (2.5–3.7 bits) came
// 0.94–1.08 of level 4's. Their trials cost a fifth of the matcher's time
// on the noisy bench still and sent one block of 40 to libdeflate: the
// dither's PNG is 0.4 % larger without them, the others are the same.
constexpr double kGrainBits = 2.5;

// A PNG of the bitmap (colour type 6, 8 bits). `level` is libdeflate's
// compression level (0–12), taken for every block neither flat enough for
// deflateLiterals() nor noisy enough for kFastLevel. `blocks` = 0 picks about kBlockBytes of
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

}  // namespace plinthora::imaging::png
