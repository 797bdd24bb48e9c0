// Each piece of kLiteralPieceBytes input is one block: its runs or matches
// are found first, the literals between them counted, a Huffman code
// fitted to the counts, and the piece written with it. Runs cost two word
// compares a byte where there are none; matches one hash and a short chain
// walk a pixel, a quarter of the places a general match finder looks.
#include "imaging/deflate_rows.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace plinthora::imaging::png {

static_assert(std::endian::native == std::endian::little, "the bit writer stores its word as is");

namespace {

constexpr int kLitLenSymbols = 286, kDistSymbols = 30, kCodeLengthSymbols = 19;
constexpr int kMaxBits = 15, kMaxCodeLengthBits = 7;
constexpr int kEndOfBlock = 256;
constexpr size_t kMaxMatch = 258, kStoredMax = 65535;

// For each match length 3–258: its symbol's offset from 257, and the extra
// bits that follow the symbol.
struct LengthCode {
    uint16_t symbol;
    uint8_t extraBits, extra;
};
const std::array<LengthCode, kMaxMatch + 1>& lengthCodes() {
    static const auto table = [] {
        static constexpr uint16_t base[28] = {3,  4,  5,  6,  7,  8,  9,  10, 11, 13,  15,  17,  19,  23,
                                              27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227};
        static constexpr uint8_t bits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                             2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
        std::array<LengthCode, kMaxMatch + 1> t{};
        for (int code = 0; code < 28; ++code)
            for (int e = 0; e < (1 << bits[code]) && base[code] + e < int(kMaxMatch); ++e)
                t[size_t(base[code]) + size_t(e)] = {uint16_t(code), bits[code], uint8_t(e)};
        t[kMaxMatch] = {28, 0, 0};  // 258 has a symbol of its own
        return t;
    }();
    return table;
}

// A code word, bit-reversed for LSB-first output, in bits 0–15, its length
// from bit 16.
using Code = uint32_t;
inline uint32_t codeBits(Code c) { return c & 0xFFFF; }
inline int codeLength(Code c) { return int(c >> 16); }

void canonicalCodes(const uint8_t* lengths, int n, Code* codes) {
    int count[kMaxBits + 1] = {};
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    int next[kMaxBits + 1] = {};
    for (int bits = 1, code = 0; bits <= kMaxBits; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        if (!len) {
            codes[s] = 0;
            continue;
        }
        const uint32_t c = uint32_t(next[len]++);
        uint32_t reversed = 0;
        for (int b = 0; b < len; ++b) reversed |= ((c >> b) & 1u) << (len - 1 - b);
        codes[s] = reversed | uint32_t(len) << 16;
    }
}

// LSB-first bits into a buffer with at least 8 bytes of slack past what
// is written.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    // `bits` has nothing above `count`; at most 56 bits between flushes.
    void put(uint32_t bits, int count) {
        buf_ |= uint64_t(bits) << n_;
        n_ += count;
    }
    void put(Code c) { put(codeBits(c), codeLength(c)); }
    // Stores the whole bytes, keeping fewer than 8 bits.
    void flush() {
        std::memcpy(out_, &buf_, 8);
        out_ += n_ >> 3;
        buf_ = (n_ & ~7) == 64 ? 0 : buf_ >> (n_ & ~7);
        n_ &= 7;
    }
    // Zero bits up to the next byte boundary, then everything stored.
    uint8_t* alignToByte() {
        n_ = (n_ + 7) & ~7;
        flush();
        return out_;
    }
    void skipBytes(size_t k) { out_ += k; }
    uint8_t* end() const { return out_; }

private:
    uint8_t* out_;
    uint64_t buf_ = 0;
    int n_ = 0;
};

// Counts of bytes, in four tables so that equal bytes in a row do not
// wait on each other's increments.
struct ByteCounts {
    uint32_t c[4][256];
    void clear() { std::memset(c, 0, sizeof c); }
    void add(const uint8_t* p, size_t n) {
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++c[0][p[i]];
            ++c[1][p[i + 1]];
            ++c[2][p[i + 2]];
            ++c[3][p[i + 3]];
        }
        for (; i < n; ++i) ++c[0][p[i]];
    }
    void sumInto(uint32_t* freq) const {
        for (int b = 0; b < 256; ++b) freq[b] += c[0][b] + c[1][b] + c[2][b] + c[3][b];
    }
};

struct Match {
    uint32_t at;  // from the start of the piece
    uint16_t length;
    uint16_t distance;
};

// For each distance: its symbol, the extra bits that follow it, and their
// value's base. Distances up to 256 directly, the rest by (d − 1) >> 7.
struct DistanceCode {
    uint8_t symbol, extraBits;
    uint16_t base;
};
// Built at compile time: it is read three times a match, where a static
// local's guard showed in the profile.
constexpr auto kDistanceCodes = [] {
    constexpr uint16_t base[kDistSymbols] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    std::array<DistanceCode, 512> t{};
    for (int code = 0; code < kDistSymbols; ++code) {
        const int extra = code < 4 ? 0 : code / 2 - 1;
        for (uint32_t v = base[code]; v < base[code] + (1u << extra); ++v) {
            if (v <= 256)
                t[v - 1] = {uint8_t(code), uint8_t(extra), base[code]};
            else
                t[256 + ((v - 1) >> 7)] = {uint8_t(code), uint8_t(extra), base[code]};
        }
    }
    return t;
}();
inline DistanceCode distanceCode(uint32_t d) {
    return d <= 256 ? kDistanceCodes[d - 1] : kDistanceCodes[256 + ((d - 1) >> 7)];
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// How many bytes from data[i] on equal the bytes `d` before them, at most
// min(limit, kMaxMatch).
size_t runLength(const uint8_t* data, size_t i, size_t d, size_t limit) {
    limit = std::min(limit, kMaxMatch);
    size_t len = 0;
    for (; len + 8 <= limit; len += 8) {
        uint64_t a, b;
        std::memcpy(&a, data + i + len, 8);
        std::memcpy(&b, data + i + len - d, 8);
        if (a != b) return len + size_t(std::countr_zero(a ^ b) >> 3);
    }
    while (len < limit && data[i + len] == data[i + len - d]) ++len;
    return len;
}

// The code-length sequence of a dynamic block header, run-length coded:
// symbol in bits 0–4, its extra bits' value from bit 8.
struct HeaderPlan {
    int hlit = 0, hdist = 0, hclen = 0;
    std::array<uint16_t, kLitLenSymbols + kDistSymbols> seq{};
    int seqLength = 0;
    uint8_t clLengths[kCodeLengthSymbols] = {};
    Code clCodes[kCodeLengthSymbols] = {};
    size_t bits = 0;  // the whole header after the three block-type bits
};

constexpr uint8_t kClOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr uint8_t kClExtraBits[kCodeLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

void planHeader(const uint8_t* litLengths, const uint8_t* distLengths, HeaderPlan& h) {
    h.hlit = kLitLenSymbols;
    while (h.hlit > 257 && litLengths[h.hlit - 1] == 0) --h.hlit;
    h.hdist = kDistSymbols;
    while (h.hdist > 1 && distLengths[h.hdist - 1] == 0) --h.hdist;
    uint8_t all[kLitLenSymbols + kDistSymbols];
    std::memcpy(all, litLengths, size_t(h.hlit));
    std::memcpy(all + h.hlit, distLengths, size_t(h.hdist));
    const int total = h.hlit + h.hdist;
    uint32_t freq[kCodeLengthSymbols] = {};
    h.seqLength = 0;
    auto emit = [&](int sym, int extra) {
        h.seq[size_t(h.seqLength++)] = uint16_t(sym | extra << 8);
        ++freq[sym];
    };
    for (int i = 0; i < total;) {
        const uint8_t v = all[i];
        int run = 1;
        while (i + run < total && all[i + run] == v) ++run;
        int left = run;
        if (v == 0) {
            for (; left >= 11; left -= std::min(left, 138)) emit(18, std::min(left, 138) - 11);
            if (left >= 3) {
                emit(17, left - 3);
                left = 0;
            }
        } else {
            emit(v, 0);
            for (--left; left >= 3; left -= std::min(left, 6)) emit(16, std::min(left, 6) - 3);
        }
        for (; left > 0; --left) emit(v, 0);
        i += run;
    }
    huffmanLengths(freq, kCodeLengthSymbols, kMaxCodeLengthBits, h.clLengths);
    canonicalCodes(h.clLengths, kCodeLengthSymbols, h.clCodes);
    h.hclen = kCodeLengthSymbols;
    while (h.hclen > 4 && h.clLengths[kClOrder[h.hclen - 1]] == 0) --h.hclen;
    h.bits = 5 + 5 + 4 + 3 * size_t(h.hclen);
    for (int s = 0; s < kCodeLengthSymbols; ++s) h.bits += size_t(freq[s]) * (h.clLengths[s] + kClExtraBits[s]);
}

void writeHeader(BitWriter& w, const HeaderPlan& h) {
    w.put(uint32_t(h.hlit - 257), 5);
    w.put(uint32_t(h.hdist - 1), 5);
    w.put(uint32_t(h.hclen - 4), 4);
    w.flush();
    for (int i = 0; i < h.hclen; ++i) {
        w.put(h.clLengths[kClOrder[i]], 3);
        if (i % 8 == 7) w.flush();
    }
    w.flush();
    for (int i = 0; i < h.seqLength; ++i) {
        const int sym = h.seq[size_t(i)] & 31;
        w.put(h.clCodes[sym]);
        w.put(uint32_t(h.seq[size_t(i)] >> 8), kClExtraBits[sym]);
        w.flush();
    }
}

void putLiterals(BitWriter& w, const Code* lit, const uint8_t* p, const uint8_t* end) {
    // Three codes of at most 15 bits on top of at most 7 left over.
    for (; end - p >= 3; p += 3) {
        w.put(lit[p[0]]);
        w.put(lit[p[1]]);
        w.put(lit[p[2]]);
        w.flush();
    }
    for (; p < end; ++p) {
        w.put(lit[*p]);
        w.flush();
    }
}

void putStored(BitWriter& w, const uint8_t* data, size_t size, bool final) {
    size_t at = 0;
    do {
        const size_t len = std::min(size - at, kStoredMax);
        const bool last = at + len == size;
        w.put(final && last ? 1u : 0u, 3);
        uint8_t* o = w.alignToByte();
        const uint8_t lenBytes[4] = {uint8_t(len), uint8_t(len >> 8), uint8_t(~len), uint8_t(~len >> 8)};
        std::memcpy(o, lenBytes, 4);
        if (len) std::memcpy(o + 4, data + at, len);
        w.skipBytes(4 + len);
        at += len;
    } while (at < size);
}

// One piece [begin, end) of the stream that starts at `data`.
class PieceWriter {
public:
    PieceWriter(const uint8_t* data, int pixelBytes, int minRun)
        : data_(data),
          pixelBytes_(size_t(std::clamp(pixelBytes, 1, 4))),
          minRun_(size_t(std::max(minRun, 4))),
          runs_(minRun > 0) {}
    // Matches at the pixel starts of rows of `rowBytes`.
    PieceWriter(const uint8_t* data, size_t rowBytes)
        : data_(data), pixelBytes_(4), minRun_(0), runs_(false), rowBytes_(rowBytes) {
        head_.assign(size_t(1) << kHashBits, -1);
        chain_.assign(kChain, -1);
    }

    void write(BitWriter& w, size_t begin, size_t end, bool final) {
        const auto& lengths = lengthCodes();
        uint32_t litFreq[kLitLenSymbols] = {}, distFreq[kDistSymbols] = {};
        if (rowBytes_)
            findMatches(begin, end);
        else
            findRuns(begin, end);
        for (const Match& m : matches_) {
            ++litFreq[257 + lengths[m.length].symbol];
            ++distFreq[distanceCode(m.distance).symbol];
        }
        counts_.sumInto(litFreq);
        litFreq[kEndOfBlock] = 1;

        uint8_t litLengths[kLitLenSymbols], distLengths[kDistSymbols];
        huffmanLengths(litFreq, kLitLenSymbols, kMaxBits, litLengths);
        huffmanLengths(distFreq, kDistSymbols, kMaxBits, distLengths);
        HeaderPlan header;
        planHeader(litLengths, distLengths, header);
        size_t bits = 3 + header.bits;
        for (int s = 0; s < kLitLenSymbols; ++s) bits += size_t(litFreq[s]) * litLengths[s];
        for (const Match& m : matches_) bits += lengths[m.length].extraBits + distanceCode(m.distance).extraBits;
        for (int d = 0; d < kDistSymbols; ++d) bits += size_t(distFreq[d]) * distLengths[d];
        // Stored: per block of at most 64 KiB − 1 its 3 header bits, at
        // most 7 to the byte boundary and LEN, NLEN.
        const size_t storedBits = 8 * (end - begin) + ((end - begin) / kStoredMax + 1) * (3 + 7 + 32);
        if (bits >= storedBits) {
            putStored(w, data_ + begin, end - begin, final);
            return;
        }

        Code lit[kLitLenSymbols], dist[kDistSymbols];
        canonicalCodes(litLengths, kLitLenSymbols, lit);
        canonicalCodes(distLengths, kDistSymbols, dist);
        w.put(final ? 5u : 4u, 3);  // BFINAL, then BTYPE 2 (dynamic)
        writeHeader(w, header);
        size_t gap = begin;
        for (const Match& m : matches_) {
            putLiterals(w, lit, data_ + gap, data_ + begin + m.at);
            const LengthCode& lc = lengths[m.length];
            w.put(lit[257 + lc.symbol]);
            w.put(lc.extra, lc.extraBits);
            const DistanceCode dc = distanceCode(m.distance);
            w.put(dist[dc.symbol]);
            w.put(m.distance - dc.base, dc.extraBits);
            w.flush();
            gap = begin + m.at + m.length;
        }
        putLiterals(w, lit, data_ + gap, data_ + end);
        w.put(lit[kEndOfBlock]);
        w.flush();
    }

private:
    // Greedy: at each byte the longer run of the two distances (the nearer
    // on a tie, as a run of one byte repeated is the commoner), when it is
    // long enough. Nothing refers before data_.
    void findRuns(size_t begin, size_t end) {
        startFinding();
        size_t literals = begin;
        if (!runs_) {
            endFinding(literals, end);
            return;
        }
        const size_t d2 = pixelBytes_;
        for (size_t i = std::max(begin, d2); i + 4 <= end;) {
            const uint32_t here = load32(data_ + i);
            size_t len = 0, d = 1;
            if (here == load32(data_ + i - 1)) len = runLength(data_, i, 1, end - i);
            if (d2 != 1 && len < kMaxMatch && here == load32(data_ + i - d2)) {
                const size_t l2 = runLength(data_, i, d2, end - i);
                if (l2 > len) {
                    len = l2;
                    d = d2;
                }
            }
            if (len >= minRun_) {
                literals = take(begin, literals, i, len, d);
                i += len;
            } else {
                ++i;
            }
        }
        endFinding(literals, end);
    }

    // The literals between matches are counted as each match is found,
    // while they are still in cache: take() counts those from `literals`
    // on and returns where the next ones start.
    void startFinding() {
        matches_.clear();
        counts_.clear();
    }
    size_t take(size_t begin, size_t literals, size_t at, size_t length, size_t distance) {
        matches_.push_back({uint32_t(at - begin), uint16_t(length), uint16_t(distance)});
        counts_.add(data_ + literals, at - literals);
        return at + length;
    }
    void endFinding(size_t literals, size_t end) { counts_.add(data_ + literals, end - literals); }

    // Where the two pixels at `p` were last seen, and before that, ...: a
    // head per hash, and a link per pixel start (pixel starts are at least
    // 4 bytes apart, so p / 4 tells them apart across the window).
    static constexpr int kHashBits = 15;
    static constexpr size_t kWindow = 32768, kChain = kWindow / 4;
    // Candidates tried per pixel, and the length that stops the search. On
    // a noisy photo's rows (14.9 MB filtered) depths 2, 3, 4, 6 and 8 gave
    // 3.921, 3.911, 3.905, 3.895 and 3.882 MB in 65, 69, 71, 77 and 90 ms
    // (libdeflate's level 4: 3.809 MB in about twice depth 4's time). Each
    // step buys about as little as the one before; 4 keeps a margin in
    // size for rows that suit the matcher less.
    static constexpr int kDepth = 4;
    static constexpr size_t kNiceLength = 32, kMinMatch = 8;

    static uint32_t hashAt(const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return uint32_t((v * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
    }
    int32_t& link(size_t p) { return chain_[(p >> 2) & (kChain - 1)]; }
    void insert(size_t p) {
        int32_t& h = head_[hashAt(data_ + p)];
        link(p) = h;
        h = int32_t(p);
    }
    // The longest match for `i` (0 when none of kMinMatch), inserting i.
    size_t longestMatch(size_t i, size_t end, size_t& distance) {
        int32_t& h = head_[hashAt(data_ + i)];
        int32_t candidate = h;
        link(i) = h;
        h = int32_t(i);
        const size_t limit = std::min(end - i, kMaxMatch);
        uint64_t first;
        std::memcpy(&first, data_ + i, 8);
        size_t best = 0;
        for (int depth = kDepth; depth > 0 && candidate >= 0 && i - size_t(candidate) < kWindow; --depth) {
            const auto c = size_t(candidate);
            uint64_t v;
            std::memcpy(&v, data_ + c, 8);
            if (v == first && (best == 0 || data_[c + best] == data_[i + best])) {
                const size_t len = kMinMatch + runLength(data_, i + kMinMatch, i - c, limit - kMinMatch);
                if (len > best) {
                    best = len;
                    distance = i - c;
                    if (len >= std::min(kNiceLength, limit)) break;
                }
            }
            // A link older than the window may have been reused by a
            // newer pixel: the chain only ever goes back.
            const int32_t next = link(c);
            if (next >= candidate) break;
            candidate = next;
        }
        return best;
    }
    // Greedy, pixel start by pixel start; the starts a match covers go into
    // the chains all the same, as the repeats worth finding later are there.
    void findMatches(size_t begin, size_t end) {
        startFinding();
        size_t literals = begin;
        const size_t rb = rowBytes_;
        size_t covered = begin;
        for (size_t row = begin / rb * rb; row < end; row += rb) {
            size_t p = row + 1;
            if (p < begin) p += (begin - p + 3) & ~size_t(3);
            const size_t stop = std::min(row + rb, end - std::min(end, kMinMatch - 1));
            for (; p < stop; p += 4) {
                if (p < covered) {
                    insert(p);
                    continue;
                }
                size_t distance = 0;
                const size_t len = longestMatch(p, end, distance);
                if (len >= kMinMatch) {
                    covered = literals = take(begin, literals, p, len, distance);
                }
            }
        }
        endFinding(literals, end);
    }

    const uint8_t* data_;
    size_t pixelBytes_, minRun_;
    bool runs_;
    size_t rowBytes_ = 0;
    std::vector<int32_t> head_, chain_;
    std::vector<Match> matches_;
    ByteCounts counts_;
};

}  // namespace

void huffmanLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
    constexpr size_t kMaxSymbols = 320;
    n = std::min(n, int(kMaxSymbols));
    std::fill(lengths, lengths + n, uint8_t(0));
    // (count, symbol) of the used symbols, rarest first; unused ones added
    // up to two.
    std::array<uint64_t, kMaxSymbols> sorted{};
    int m = 0;
    for (int s = 0; s < n; ++s)
        if (freq[s]) sorted[size_t(m++)] = uint64_t(freq[s]) << 16 | uint64_t(s);
    for (int s = 0; m < 2 && s < n; ++s)
        if (!freq[s]) sorted[size_t(m++)] = uint64_t(s);
    if (m < 2) return;  // fewer than two symbols in all
    std::sort(sorted.begin(), sorted.begin() + m);

    // Huffman's tree with two queues: the leaves in order, and the inner
    // nodes, which are made in order of weight.
    std::array<uint64_t, 2 * kMaxSymbols> weight{};
    std::array<uint16_t, 2 * kMaxSymbols> parent{}, depth{};
    for (int i = 0; i < m; ++i) weight[size_t(i)] = sorted[size_t(i)] >> 16;
    int leaf = 0, inner = m, made = m;
    auto take = [&] {
        return leaf < m && (inner >= made || weight[size_t(leaf)] <= weight[size_t(inner)]) ? leaf++ : inner++;
    };
    while (made < 2 * m - 1) {
        const int a = take(), b = take();
        weight[size_t(made)] = weight[size_t(a)] + weight[size_t(b)];
        parent[size_t(a)] = parent[size_t(b)] = uint16_t(made);
        ++made;
    }
    depth[size_t(2 * m - 2)] = 0;
    for (int i = 2 * m - 3; i >= 0; --i) depth[size_t(i)] = uint16_t(depth[parent[size_t(i)]] + 1);

    // Clamp to the limit, then pay back the excess in Kraft's sum: take a
    // leaf off the deepest level and split the deepest shorter leaf in two.
    int count[kMaxBits + 1] = {};
    for (int i = 0; i < m; ++i) ++count[std::min<int>(depth[size_t(i)], limit)];
    uint32_t kraft = 0;
    for (int len = 1; len <= limit; ++len) kraft += uint32_t(count[len]) << (limit - len);
    while (kraft > (1u << limit)) {
        --count[limit];
        for (int len = limit - 1; len > 0; --len) {
            if (count[len]) {
                --count[len];
                count[len + 1] += 2;
                break;
            }
        }
        --kraft;
    }
    // The longest codes to the rarest symbols.
    int i = 0;
    for (int len = limit; len >= 1; --len)
        for (int k = 0; k < count[len]; ++k) lengths[sorted[size_t(i++)] & 0xFFFF] = uint8_t(len);
}

size_t deflateLiteralsBound(size_t size) {
    // Never more than stored: per block of at most 64 KiB − 1 five bytes,
    // and per piece one more block (pieces need not align with them), the
    // closing empty block, and the bit writer's slack.
    const size_t pieces = size / kLiteralPieceBytes + 1;
    return size + 5 * (size / kStoredMax + pieces + 2) + 8;
}

namespace {

size_t writePieces(PieceWriter& piece, size_t size, bool final, uint8_t* out) {
    BitWriter w(out);
    for (size_t at = 0; at < size; at += kLiteralPieceBytes) {
        const size_t end = std::min(size, at + kLiteralPieceBytes);
        piece.write(w, at, end, final && end == size);
    }
    if (!final || size == 0) {
        // An empty stored block: ends the output on a byte boundary (or,
        // final, is the whole of an empty stream).
        w.put(final ? 1u : 0u, 3);
        uint8_t* o = w.alignToByte();
        const uint8_t empty[4] = {0x00, 0x00, 0xFF, 0xFF};
        std::memcpy(o, empty, 4);
        w.skipBytes(4);
    } else {
        w.alignToByte();
    }
    return size_t(w.end() - out);
}

}  // namespace

size_t deflateLiterals(const uint8_t* data, size_t size, int pixelBytes, int minRun, bool final, uint8_t* out) {
    PieceWriter piece(data, pixelBytes, minRun);
    return writePieces(piece, size, final, out);
}

size_t deflatePixelMatches(const uint8_t* data, size_t size, size_t rowBytes, bool final, uint8_t* out) {
    if (rowBytes < 5 || (rowBytes - 1) % 4 != 0 || size % rowBytes != 0)
        return deflateLiterals(data, size, 4, 0, final, out);
    PieceWriter piece(data, rowBytes);
    return writePieces(piece, size, final, out);
}

}  // namespace plinthora::imaging::png
