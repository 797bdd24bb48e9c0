#include "compositing/ShellOutside.h"

#include "platform/ports/Platform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace plinthora {

ShellOutside outsideOfShell(const Bitmap& shell) {
    ShellOutside o;
    const int w = std::max(shell.width, 0), h = std::max(shell.height, 0);
    o.width = w;
    o.height = h;
    o.rowRuns.assign(size_t(h) + 1, 0);
    if (w == 0 || h == 0) return o;
    std::vector<uint8_t> reached(size_t(w) * size_t(h), 0);
    const uint32_t* px = shell.pixels.data();
    auto open = [&](size_t i) { return !reached[i] && (px[i] >> 24) != 255; };

    // Scan-line fill: each seed grows into the whole open stretch of its row,
    // which seeds the open stretches touching it above and below.
    std::vector<std::pair<int, int>> seeds;
    for (int x = 0; x < w; ++x) seeds.emplace_back(x, 0), seeds.emplace_back(x, h - 1);
    for (int y = 1; y + 1 < h; ++y) seeds.emplace_back(0, y), seeds.emplace_back(w - 1, y);
    while (!seeds.empty()) {
        const auto [x, y] = seeds.back();
        seeds.pop_back();
        const size_t row = size_t(y) * size_t(w);
        if (!open(row + size_t(x))) continue;
        int left = x, right = x + 1;
        while (left > 0 && open(row + size_t(left - 1))) --left;
        while (right < w && open(row + size_t(right))) ++right;
        std::fill(reached.begin() + std::ptrdiff_t(row) + left, reached.begin() + std::ptrdiff_t(row) + right, 1);
        for (int ny : {y - 1, y + 1}) {
            if (ny < 0 || ny >= h) continue;
            const size_t next = size_t(ny) * size_t(w);
            for (int i = left; i < right; ++i) {
                if (!open(next + size_t(i))) continue;
                seeds.emplace_back(i, ny);
                while (i < right && open(next + size_t(i))) ++i;
            }
        }
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = reached.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w;) {
            while (x < w && !row[x]) ++x;
            if (x == w) break;
            const int from = x;
            while (x < w && row[x]) ++x;
            o.runs.push_back({from, x});
        }
        o.rowRuns[size_t(y) + 1] = uint32_t(o.runs.size());
    }
    return o;
}

namespace {

struct Remembered {
    std::string path;
    FileStamp stamp;
    std::shared_ptr<const ShellOutside> outside;
};

// A portrait and a landscape shell, and a few more chosen at random.
constexpr size_t kRemembered = 4;

std::mutex& rememberedLock() {
    static std::mutex m;
    return m;
}
std::deque<Remembered>& remembered() {
    static std::deque<Remembered> list;
    return list;
}

}  // namespace

std::shared_ptr<const ShellOutside> outsideOfShellFile(const std::optional<std::string>& path, const Bitmap& shell) {
    const std::optional<FileStamp> stamp = path ? platform().fs->stamp(*path) : std::nullopt;
    auto fits = [&](const ShellOutside& o) { return o.width == shell.width && o.height == shell.height; };
    if (stamp) {
        std::lock_guard g(rememberedLock());
        for (const Remembered& r : remembered())
            if (r.path == *path && r.stamp == *stamp && fits(*r.outside)) return r.outside;
    }
    auto outside = std::make_shared<const ShellOutside>(outsideOfShell(shell));
    if (stamp) {
        // The stamp was taken before the pixels were worked out: a file
        // changed meanwhile has another stamp by the next look, and is
        // worked out again then.
        std::lock_guard g(rememberedLock());
        auto& list = remembered();
        std::erase_if(list, [&](const Remembered& r) { return r.path == *path; });
        list.push_front({*path, *stamp, outside});
        if (list.size() > kRemembered) list.pop_back();
    }
    return outside;
}

std::shared_ptr<const ShellOutside> outsideForPlacement(std::shared_ptr<const ShellOutside> outside,
                                                         const Quad& quad) {
    if (!outside) return nullptr;
    const double cx = (quad.topLeft.x + quad.topRight.x + quad.bottomLeft.x + quad.bottomRight.x) / 4;
    const double cy = (quad.topLeft.y + quad.topRight.y + quad.bottomLeft.y + quad.bottomRight.y) / 4;
    if (!std::isfinite(cx) || !std::isfinite(cy)) return nullptr;
    const int x = int(std::floor(cx)), y = int(std::floor(cy));
    if (x < 0 || y < 0 || x >= outside->width || y >= outside->height || outside->contains(x, y)) {
        debugLog("the shell does not enclose the picture's centre; nothing is cut");
        return nullptr;
    }
    return outside;
}

void clearOutside(Bitmap& canvas, const ShellOutside& outside, int top, int bottom) {
    if (canvas.width != outside.width || canvas.height != outside.height) return;
    top = std::max(top, 0);
    bottom = std::min(bottom, canvas.height);
    for (int y = top; y < bottom; ++y) {
        uint32_t* row = canvas.pixels.data() + size_t(y) * size_t(canvas.width);
        for (uint32_t i = outside.rowRuns[size_t(y)]; i < outside.rowRuns[size_t(y) + 1]; ++i)
            std::fill(row + outside.runs[i].from, row + outside.runs[i].to, 0u);
    }
}

}  // namespace plinthora
