#include "compositing/ShellOutside.h"

#include "platform/ports/Platform.h"
#include "util/FileMemo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace plinthora {

std::vector<std::pair<int, int>> borderSeeds(int width, int height) {
    std::vector<std::pair<int, int>> seeds;
    if (width <= 0 || height <= 0) return seeds;
    for (int x = 0; x < width; ++x) seeds.emplace_back(x, 0), seeds.emplace_back(x, height - 1);
    for (int y = 1; y + 1 < height; ++y) seeds.emplace_back(0, y), seeds.emplace_back(width - 1, y);
    return seeds;
}

ShellOutside outsideOfShell(const Bitmap& shell) {
    ShellOutside o;
    const int w = std::max(shell.width, 0), h = std::max(shell.height, 0);
    o.width = w;
    o.height = h;
    o.rowRuns.assign(size_t(h) + 1, 0);
    if (w == 0 || h == 0) return o;
    std::vector<uint8_t> reached(size_t(w) * size_t(h), 0);
    const uint32_t* px = shell.pixels.data();
    std::vector<std::pair<int, int>> seeds = borderSeeds(w, h);
    scanFill(
        seeds, w, h, reached, 0, 1, [px](size_t i) { return (px[i] >> 24) != 255; }, [](int, int, int) {});
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

// A portrait and a landscape shell, and a few more chosen at random.
FileMemo<const ShellOutside>& remembered() {
    static FileMemo<const ShellOutside> memo(4);
    return memo;
}

}  // namespace

std::shared_ptr<const ShellOutside> outsideOfShellFile(const std::optional<std::string>& path, const Bitmap& shell) {
    const FileSystem* fs = platform().fs;
    const std::optional<FileStamp> stamp = path ? fs->stamp(*path) : std::nullopt;
    auto fits = [&](const ShellOutside& o) { return o.width == shell.width && o.height == shell.height; };
    if (stamp)
        if (auto kept = remembered().find(fs, *path, *stamp, fits)) return kept;
    auto outside = std::make_shared<const ShellOutside>(outsideOfShell(shell));
    if (stamp) remembered().keep(fs, *path, *stamp, outside);
    return outside;
}

std::shared_ptr<const ShellOutside> outsideForPlacement(std::shared_ptr<const ShellOutside> outside, const Quad& quad) {
    if (!outside) return nullptr;
    const double cx = (quad.topLeft.x + quad.topRight.x + quad.bottomLeft.x + quad.bottomRight.x) / 4;
    const double cy = (quad.topLeft.y + quad.topRight.y + quad.bottomLeft.y + quad.bottomRight.y) / 4;
    const bool onCanvas = cx >= 0 && cy >= 0 && cx < outside->width && cy < outside->height;  // NaN is not
    if (!onCanvas || outside->contains(int(cx), int(cy))) {
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
