// What lies outside the device a shell draws, so that a picture placed in
// its screen never shows beyond the device's own outline (a rounded screen
// whose bounding rectangle reaches the clear surroundings, a quad drawn a
// little too large).
#pragma once

#include "platform/ports/Imaging.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plinthora {

// Scan-line flood fill on a width × height grid: every cell holding `from`
// that is 4-connected to the seeds through such cells for which
// open(index) holds is set to `to` (which must differ from `from`). Each
// seed grows into the whole open stretch of its row, which seeds the open
// stretches touching it above and below; onRun(y, left, right) hears of
// each stretch [left, right) filled. Returns how many cells were set.
template <class Open, class OnRun>
size_t scanFill(std::vector<std::pair<int, int>>& seeds, int width, int height, std::vector<uint8_t>& cells,
                uint8_t from, uint8_t to, Open&& open, OnRun&& onRun) {
    const size_t w = size_t(width);
    auto fresh = [&](size_t i) { return cells[i] == from && open(i); };
    size_t marked = 0;
    while (!seeds.empty()) {
        const auto [x, y] = seeds.back();
        seeds.pop_back();
        const size_t row = size_t(y) * w;
        if (!fresh(row + size_t(x))) continue;
        int left = x, right = x + 1;
        while (left > 0 && fresh(row + size_t(left - 1))) --left;
        while (right < width && fresh(row + size_t(right))) ++right;
        for (int i = left; i < right; ++i) cells[row + size_t(i)] = to;
        marked += size_t(right - left);
        onRun(y, left, right);
        for (int ny : {y - 1, y + 1}) {
            if (ny < 0 || ny >= height) continue;
            const size_t next = size_t(ny) * w;
            for (int i = left; i < right; ++i) {
                if (!fresh(next + size_t(i))) continue;
                seeds.emplace_back(i, ny);
                while (i < right && fresh(next + size_t(i))) ++i;
            }
        }
    }
    return marked;
}

// Every pixel of the image's border, as seeds for scanFill.
std::vector<std::pair<int, int>> borderSeeds(int width, int height);

// The pixels reached from the image's border through pixels that are not
// fully opaque (4-connected), worked out in one pass over the shell.
ShellOutside outsideOfShell(const Bitmap& shell);

// The outside of the shell at `path` whose pixels are `shell`, kept for as
// long as the file keeps its size and modification time, so that a shell
// used for screenshot after screenshot is worked out once. Without a path
// it is worked out each time.
std::shared_ptr<const ShellOutside> outsideOfShellFile(const std::optional<std::string>& path, const Bitmap& shell);

// What a picture placed at `quad` is cut to: the shell's outside when the
// shell encloses the quad's centre (its screen is closed), else nothing, so
// that a shell whose screen is open at an edge draws as it always did.
std::shared_ptr<const ShellOutside> outsideForPlacement(std::shared_ptr<const ShellOutside> outside, const Quad& quad);

// Clears the pixels of `canvas` (the shell's size) that lie outside, in rows
// [top, bottom).
void clearOutside(Bitmap& canvas, const ShellOutside& outside, int top, int bottom);

}  // namespace plinthora
