// PNG encoding in parallel blocks of rows.
//
// Each block of rows is unpremultiplied, filtered (per row the filter with
// the least sum of absolute signed bytes, as libpng's adaptive heuristic) and
// compressed as its own raw DEFLATE stream on its own thread: flat blocks
// by our own run and literal writer (deflate_rows.h), noisy ones by our
// own pixel matcher where a trial shows it close enough (both can leave a
// stream open and byte-aligned), the rest by libdeflate. libdeflate has no
// flush, and every stream it writes ends with a final
// block; to chain them we walk each stream's blocks (skipping Huffman
// symbols, without producing output), clear the final bit of its last block
// and append an empty stored block, which byte-aligns it exactly as a zlib
// sync flush would. The zlib header and the Adler-32 of all filtered bytes
// wrap the chained streams in one IDAT chunk.
#include "imaging/png_encode.h"

#include "imaging/deflate_rows.h"
#include "imaging/parallel_for.h"
#include "imaging/png_encode_rows.h"
#include "imaging/tiers.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace plinthora::imaging::png {

namespace {

// ---------------------------------------------------------------- walking

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    // The next k ≤ 32 bits, LSB first; zeros past the end.
    uint32_t peek(int k) const { return uint32_t(word() & ((uint64_t(1) << k) - 1)); }
    // At least the next 56 bits, LSB first; zeros past the end.
    uint64_t word() const {
        const size_t byte = pos_ >> 3;
        uint64_t v = 0;
        if (byte + 8 <= size_)
            std::memcpy(&v, data_ + byte, 8);
        else if (byte < size_)
            std::memcpy(&v, data_ + byte, size_ - byte);
        return v >> (pos_ & 7);
    }
    void skip(size_t k) { pos_ += k; }
    uint32_t read(int k) {
        const uint32_t v = peek(k);
        pos_ += size_t(k);
        return v;
    }
    void alignToByte() { pos_ = (pos_ + 7) & ~size_t(7); }
    size_t pos() const { return pos_; }
    bool overrun() const { return pos_ > size_ * 8; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Codes are looked up by their first kRootBits bits, and those longer than
// that by the rest in a sub-table of their prefix: the tables of a whole
// stream's walk then stay in the first-level cache (a flat 15-bit table
// is 64 KiB for each of two codes, and filling it cost more than the walk
// itself on short blocks).
constexpr int kCodeBits = 15, kRootBits = 10, kSubBits = kCodeBits - kRootBits;
// Entry: code length in bits 0-3 (0 = no such code), symbol in bits 4-12;
// a root entry with kSubTable set holds the start of its sub-table from bit 16.
constexpr uint32_t kSubTable = 1u << 15;
using Table = std::vector<uint32_t>;

// The entry for the code that starts the 15 bits `v` (LSB first).
inline uint32_t lookup(const Table& t, uint32_t v) {
    const uint32_t e = t[v & ((1u << kRootBits) - 1)];
    return e & kSubTable ? t[(e >> 16) + (v >> kRootBits)] : e;
}

bool buildTable(const uint8_t* lengths, int count, Table& table) {
    table.assign(size_t(1) << kRootBits, 0);
    int blCount[16] = {};
    for (int i = 0; i < count; ++i) ++blCount[lengths[i]];
    blCount[0] = 0;
    int next[16] = {};
    int code = 0;
    for (int bits = 1; bits <= 15; ++bits) {
        code = (code + blCount[bits - 1]) << 1;
        next[bits] = code;
        if (code + blCount[bits] > (1 << bits)) return false;  // over-subscribed
    }
    for (int sym = 0; sym < count; ++sym) {
        const int len = lengths[sym];
        if (len == 0) continue;
        const int c = next[len]++;
        int rev = 0;
        for (int i = 0; i < len; ++i) rev |= ((c >> i) & 1) << (len - 1 - i);
        const uint32_t entry = uint32_t((sym << 4) | len);
        if (len <= kRootBits) {
            for (int k = rev; k < (1 << kRootBits); k += 1 << len) table[size_t(k)] = entry;
            continue;
        }
        const size_t root = size_t(rev & ((1 << kRootBits) - 1));
        if (!(table[root] & kSubTable)) {
            table[root] = kSubTable | uint32_t(table.size()) << 16;
            table.resize(table.size() + (size_t(1) << kSubBits), 0);
        }
        const size_t sub = table[root] >> 16;
        for (int k = rev >> kRootBits; k < (1 << kSubBits); k += 1 << (len - kRootBits)) table[sub + size_t(k)] = entry;
    }
    return true;
}

constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool skipSymbols(BitReader& in, const Table& lit, const Table& dist) {
    constexpr uint32_t kCodeMask = (1u << kCodeBits) - 1;
    for (;;) {
        if (in.overrun()) return false;
        // Literals, the most of a picture's symbols, as many as one read
        // surely holds.
        uint64_t v = in.word();
        int avail = 56, sym = 0;
        while (avail >= kCodeBits) {
            const uint32_t e = lookup(lit, uint32_t(v) & kCodeMask);
            const int len = int(e & 15);
            if (len == 0) return false;
            v >>= len;
            avail -= len;
            in.skip(size_t(len));
            sym = int(e >> 4);
            if (sym >= 256) break;
        }
        if (sym < 256) continue;
        if (sym == 256) return !in.overrun();
        const int l = sym - 257;
        if (l >= 29) return false;
        in.skip(kLengthExtra[size_t(l)]);
        const uint32_t d = lookup(dist, in.peek(kCodeBits));
        if ((d & 15) == 0 || (d >> 4) >= 30) return false;
        in.skip(size_t(d & 15));
        in.skip(kDistExtra[size_t(d >> 4)]);
        if (in.overrun()) return false;
    }
}

bool readDynamicTables(BitReader& in, Table& lit, Table& dist) {
    const int hlit = int(in.read(5)) + 257, hdist = int(in.read(5)) + 1, hclen = int(in.read(4)) + 4;
    static constexpr int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint8_t clens[19] = {};
    for (int i = 0; i < hclen; ++i) clens[order[i]] = uint8_t(in.read(3));
    Table clTable;
    if (!buildTable(clens, 19, clTable)) return false;
    uint8_t lens[288 + 32] = {};
    int n = 0;
    while (n < hlit + hdist) {
        const uint32_t e = lookup(clTable, in.peek(kCodeBits));
        if ((e & 15) == 0) return false;
        in.skip(size_t(e & 15));
        const int sym = e >> 4;
        int repeat = 0;
        uint8_t value = 0;
        if (sym < 16) {
            lens[n++] = uint8_t(sym);
            continue;
        } else if (sym == 16) {
            if (n == 0) return false;
            value = lens[n - 1];
            repeat = 3 + int(in.read(2));
        } else if (sym == 17) {
            repeat = 3 + int(in.read(3));
        } else {
            repeat = 11 + int(in.read(7));
        }
        if (n + repeat > hlit + hdist) return false;
        while (repeat--) lens[n++] = value;
        if (in.overrun()) return false;
    }
    return buildTable(lens, hlit, lit) && buildTable(lens + hlit, hdist, dist);
}

const Table& fixedTable(bool distances) {
    static const auto tables = [] {
        std::array<Table, 2> t;
        uint8_t lens[288];
        for (int i = 0; i < 288; ++i) lens[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        buildTable(lens, 288, t[0]);
        uint8_t d[30];
        std::fill(d, d + 30, uint8_t(5));
        buildTable(d, 30, t[1]);
        return t;
    }();
    return tables[distances ? 1 : 0];
}

// ---------------------------------------------------------------- filtering

// The rows through the tier's vector loops, the last few bytes here.
void unpremultiplyRow(const TierKernels& t, const uint32_t* src, int width, uint8_t* out) {
    rows::unpremultiply(src, t.pngUnpremultiply(src, width, out), width, out);
}

// Filters one row with the filter whose bytes cost least, as libpng's
// adaptive heuristic. `cur` and `prev` point 4 bytes into buffers whose
// first 4 bytes are zero. Writes the filter byte and the filtered row to
// `out` (1 + n bytes).
void filterRow(const TierKernels& t, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    uint32_t sums[5] = {};
    // Rows of at least 1 KiB are costed on every other 256-byte stretch:
    // half the work, and on the framed noisy and flat-UI stills the chosen
    // filters made a file 0.1 % and 0.6 % smaller, not larger. Each stretch
    // goes through the tier's loop and the plain one for what it leaves.
    constexpr size_t kChunk = 256;
    const bool sampled = n >= 4 * kChunk;
    const size_t len = sampled ? kChunk : n, stride = sampled ? 2 * kChunk : n;
    for (size_t at = 0; at + len <= n; at += stride)
        rows::filterCosts(cur + at, prev + at, t.pngFilterCosts(cur + at, prev + at, len, sums), len, sums);
    const int best = int(std::min_element(sums, sums + 5) - sums);
    out[0] = uint8_t(best);
    rows::filter(best, cur, prev, t.pngFilter(best, cur, prev, n, out + 1), n, out + 1);
}

// ---------------------------------------------------------------- output

void putU32(std::string& s, uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    s.append(b, 4);
}

void putChunk(std::string& png, const char type[4], const uint8_t* data, size_t size) {
    putU32(png, uint32_t(size));
    const size_t typeAt = png.size();
    png.append(type, 4);
    if (size) png.append(reinterpret_cast<const char*>(data), size);
    putU32(png, libdeflate_crc32(0, png.data() + typeAt, size + 4));
}

// Adler-32 of A·B from those of A and B (zlib's combination rule), so
// that blocks can be summed on their own threads.
uint32_t adlerCombine(uint32_t a1, uint32_t a2, size_t len2) {
    constexpr uint32_t base = 65521;
    const uint32_t rem = uint32_t(len2 % base);
    uint32_t sum1 = a1 & 0xFFFF;
    uint32_t sum2 = uint32_t((uint64_t(rem) * sum1) % base);
    sum1 += (a2 & 0xFFFF) + base - 1;
    sum2 += ((a1 >> 16) & 0xFFFF) + ((a2 >> 16) & 0xFFFF) + base - rem;
    if (sum1 >= base) sum1 -= base;
    if (sum1 >= base) sum1 -= base;
    if (sum2 >= (base << 1)) sum2 -= (base << 1);
    if (sum2 >= base) sum2 -= base;
    return sum1 | (sum2 << 16);
}

// One independently compressed run of rows.
struct Block {
    int row0 = 0, row1 = 0;
    std::vector<uint8_t> deflated;
    uint32_t adler = 1;
    size_t rawSize = 0;
    int level = 0;  // the level its rows were compressed at, −1 for deflateLiterals(), −2 for deflatePixelMatches()
    bool ok = false;
};

// Bits per byte of the filtered rows (order 0), from every kEntropyStride-th
// row: cheap, and enough to tell a noisy photo's rows from a UI's.
constexpr int kEntropyStride = 4;
double filteredEntropy(const uint8_t* filtered, size_t rowBytes, int rows) {
    uint32_t counts[256] = {};
    size_t total = 0;
    for (int y = 0; y < rows; y += kEntropyStride) {
        const uint8_t* row = filtered + size_t(y) * rowBytes;
        for (size_t i = 0; i < rowBytes; ++i) ++counts[row[i]];
        total += rowBytes;
    }
    double bits = 0;
    for (const uint32_t c : counts)
        if (c) bits -= double(c) * std::log2(double(c) / double(total));
    return total ? bits / double(total) : 0;
}

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// What one worker thread keeps between its blocks: filtering into the same
// buffer again keeps it in cache for the compressor, and avoids fresh pages.
struct Worker {
    Compressor compressor, fast;
    std::unique_ptr<uint8_t[]> filtered, out;
    size_t filteredCap = 0, outCap = 0;
    std::vector<uint8_t> prev, cur;
};

// Whether the pixel matcher's output on the block's first rows is close
// enough to the compressor's: both are written to `scratch` (at least
// either's bound for the whole block) and thrown away.
bool pixelMatchesPay(libdeflate_compressor* compressor, const uint8_t* filtered, size_t raw, size_t rowBytes,
                     uint8_t* scratch) {
    const size_t trial = std::min(raw, (kTrialBytes + rowBytes - 1) / rowBytes * rowBytes);
    const size_t theirs = libdeflate_deflate_compress(compressor, filtered, trial, scratch,
                                                      libdeflate_deflate_compress_bound(compressor, trial));
    if (theirs == 0) return true;
    const size_t ours = deflatePixelMatches(filtered, trial, rowBytes, true, scratch);
    return double(ours) <= double(theirs) * kPixelMatchSlack;
}

void encodeBlock(const Bitmap& image, int level, bool last, Worker& w, Block& block) {
    const size_t n = size_t(image.width) * 4;
    const size_t raw = (n + 1) * size_t(block.row1 - block.row0);
    if (w.filteredCap < raw) {
        w.filtered = std::make_unique_for_overwrite<uint8_t[]>(raw);
        w.filteredCap = raw;
    }
    // Rows with 4 leading zero bytes: the "left of the first pixel".
    w.prev.assign(n + 4, 0);
    w.cur.assign(n + 4, 0);
    const TierKernels& t = tier();
    if (block.row0 > 0)
        unpremultiplyRow(t, &image.pixels[size_t(block.row0 - 1) * size_t(image.width)], image.width,
                         w.prev.data() + 4);
    for (int y = block.row0; y < block.row1; ++y) {
        unpremultiplyRow(t, &image.pixels[size_t(y) * size_t(image.width)], image.width, w.cur.data() + 4);
        filterRow(t, w.cur.data() + 4, w.prev.data() + 4, n, w.filtered.get() + size_t(y - block.row0) * (n + 1));
        std::swap(w.prev, w.cur);
    }
    const double bits = filteredEntropy(w.filtered.get(), n + 1, block.row1 - block.row0);
    block.adler = libdeflate_adler32(1, w.filtered.get(), raw);
    block.rawSize = raw;
    if (level > 0 && bits < kFlatBits) {
        // Flat rows are runs and a few colours: our own writer codes them
        // nearly as small as the match finder, in a fraction of its time,
        // and ends them where the next block can follow without a walk.
        const size_t bound = deflateLiteralsBound(raw);
        if (w.outCap < bound) {
            w.out = std::make_unique_for_overwrite<uint8_t[]>(bound);
            w.outCap = bound;
        }
        const size_t size = deflateLiterals(w.filtered.get(), raw, 4, kFlatMinRun, last, w.out.get());
        block.deflated.assign(w.out.get(), w.out.get() + size);
        block.level = -1;
        block.ok = true;
        return;
    }
    // Rows this noisy (a photo's grain, a camera's sensor) leave the match
    // finder little to find: a higher level buys no bytes on them, only
    // time, and the fastest level is as small or smaller. Mildly noisy rows
    // stay at the level asked for, where it pays.
    block.level = level > kFastLevel && bits >= kNoisyBits ? kFastLevel : level;
    Compressor& compressor = block.level == level ? w.compressor : w.fast;
    if (!compressor) compressor.reset(libdeflate_alloc_compressor(block.level));
    if (!compressor) return;
    const size_t bound = std::max(libdeflate_deflate_compress_bound(compressor.get(), raw), deflateLiteralsBound(raw));
    if (w.outCap < bound) {
        w.out = std::make_unique_for_overwrite<uint8_t[]>(bound);
        w.outCap = bound;
    }
    if (block.level <= kPixelMatchLevel &&
        (bits >= kGrainBits || pixelMatchesPay(compressor.get(), w.filtered.get(), raw, n + 1, w.out.get()))) {
        const size_t size = deflatePixelMatches(w.filtered.get(), raw, n + 1, last, w.out.get());
        block.deflated.assign(w.out.get(), w.out.get() + size);
        block.level = -2;
        block.ok = true;
        return;
    }
    const size_t size = libdeflate_deflate_compress(compressor.get(), w.filtered.get(), raw, w.out.get(), bound);
    if (size == 0) return;
    block.deflated.reserve(size + 5);  // the join adds at most 5 bytes
    block.deflated.assign(w.out.get(), w.out.get() + size);
    block.ok = last || makeJoinable(block.deflated);
}

}  // namespace

std::optional<LastBlock> findLastBlock(const uint8_t* data, size_t size) {
    BitReader in(data, size);
    Table lit, dist;
    for (;;) {
        const size_t header = in.pos();
        const bool final = in.read(1) != 0;
        const uint32_t type = in.read(2);
        if (type == 0) {
            in.alignToByte();
            const uint32_t len = in.read(16), nlen = in.read(16);
            if ((len ^ 0xFFFFu) != nlen) return std::nullopt;
            in.skip(size_t(len) * 8);
        } else if (type == 1) {
            if (!skipSymbols(in, fixedTable(false), fixedTable(true))) return std::nullopt;
        } else if (type == 2) {
            if (!readDynamicTables(in, lit, dist) || !skipSymbols(in, lit, dist)) return std::nullopt;
        } else {
            return std::nullopt;
        }
        if (in.overrun()) return std::nullopt;
        if (final) return LastBlock{header, in.pos()};
    }
}

bool makeJoinable(std::vector<uint8_t>& stream) {
    const auto last = findLastBlock(stream.data(), stream.size());
    if (!last) return false;
    stream[last->headerBit >> 3] &= uint8_t(~(1u << (last->headerBit & 7)));
    const size_t end = last->endBit;
    stream.resize((end + 7) / 8);
    if (end & 7) stream.back() &= uint8_t((1u << (end & 7)) - 1);  // clear the padding
    // An empty stored block: three zero header bits, zero padding to the
    // byte boundary, then LEN = 0 and NLEN = 0xFFFF.
    const size_t freeBits = (8 - (end & 7)) & 7;
    if (freeBits < 3) stream.push_back(0);
    const uint8_t marker[4] = {0x00, 0x00, 0xFF, 0xFF};
    stream.insert(stream.end(), marker, marker + 4);
    return true;
}

std::optional<std::string> encode(const Bitmap& image, int level, int blocks) {
    if (image.empty() || image.pixels.size() != size_t(image.width) * size_t(image.height)) return std::nullopt;
    level = std::clamp(level, 0, 12);
    const size_t rowBytes = size_t(image.width) * 4 + 1;
    if (blocks <= 0) {
        // About kBlockBytes of filtered data per block: small enough to stay
        // in cache between filter and compressor and to balance the
        // threads, large enough that the restarted dictionary and Huffman
        // tables at each join cost well under 1 % in size.
        const size_t total = rowBytes * size_t(image.height);
        blocks = int(std::max<size_t>(1, (total + kBlockBytes / 2) / kBlockBytes));
    }
    blocks = std::clamp(blocks, 1, image.height);
    std::vector<Block> parts(static_cast<size_t>(blocks));
    for (int i = 0; i < blocks; ++i) {
        parts[size_t(i)].row0 = int(int64_t(image.height) * i / blocks);
        parts[size_t(i)].row1 = int(int64_t(image.height) * (i + 1) / blocks);
    }
    const int threads = std::min(blocks, threadCount());
    std::atomic<int> next{0};
    parallelFor(
        threads,
        [&](int, int) {
            Worker w;
            for (int i; (i = next.fetch_add(1)) < blocks;)
                encodeBlock(image, level, i == blocks - 1, w, parts[size_t(i)]);
        },
        1);

    size_t deflated = 0;
    for (const auto& p : parts) {
        if (!p.ok) return std::nullopt;
        deflated += p.deflated.size();
    }
    std::string png;
    // Room for the few chunks a caller adds after the header (the result
    // mark), so that adding them moves the bytes rather than reallocating
    // a picture's worth of fresh pages.
    png.reserve(deflated + 64 + 512);
    png.append("\x89PNG\r\n\x1a\n", 8);
    uint8_t ihdr[13] = {};
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = uint8_t(uint32_t(image.width) >> (24 - 8 * i));
        ihdr[4 + i] = uint8_t(uint32_t(image.height) >> (24 - 8 * i));
    }
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 6;  // RGBA
    putChunk(png, "IHDR", ihdr, sizeof ihdr);

    // One IDAT holding the zlib stream, written in place.
    putU32(png, uint32_t(deflated + 6));
    const size_t typeAt = png.size();
    png.append("IDAT", 4);
    // CMF: deflate, 32 KiB window; FLG: level hint and check bits.
    const uint8_t cmf = 0x78;
    const uint8_t flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    uint8_t flg = uint8_t(flevel << 6);
    flg = uint8_t(flg + (31 - (cmf * 256 + flg) % 31) % 31);
    png.push_back(char(cmf));
    png.push_back(char(flg));
    uint32_t adler = 1;
    for (const auto& p : parts) {
        png.append(reinterpret_cast<const char*>(p.deflated.data()), p.deflated.size());
        adler = adlerCombine(adler, p.adler, p.rawSize);
    }
    putU32(png, adler);
    putU32(png, libdeflate_crc32(0, png.data() + typeAt, png.size() - typeAt));
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

}  // namespace plinthora::imaging::png
