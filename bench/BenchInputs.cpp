#include "bench/BenchInputs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace plinthora::bench {

namespace {

// xorshift32: fast and the same on every run.
struct Noise {
    uint32_t s = 0x9E3779B9u;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

uint32_t pack(int a, int r, int g, int b) {
    auto pm = [a](int c) { return uint32_t((std::clamp(c, 0, 255) * a + 127) / 255); };
    return uint32_t(a) << 24 | pm(r) << 16 | pm(g) << 8 | pm(b);
}

// Inside test for a convex quad listed clockwise on screen.
bool inside(const Quad& q, double x, double y) {
    const Point c[4] = {q.topLeft, q.topRight, q.bottomRight, q.bottomLeft};
    for (int i = 0; i < 4; ++i) {
        const Point a = c[i], b = c[(i + 1) % 4];
        if ((x - a.x) * (b.y - a.y) - (y - a.y) * (b.x - a.x) > 0) return false;
    }
    return true;
}

}  // namespace

Bitmap makeScreenshot() {
    Bitmap b(kShotW, kShotH);
    Noise n;
    for (int y = 0; y < kShotH; ++y) {
        const bool textRow = (y / 36) % 3 == 1 && y % 36 > 8 && y % 36 < 28 && y > 300;
        for (int x = 0; x < kShotW; ++x) {
            const double fx = double(x) / kShotW, fy = double(y) / kShotH;
            int r = int(40 + 150 * fy + 30 * std::sin(fx * 6.0));
            int g = int(90 + 100 * fx * (1 - fy));
            int bl = int(200 - 120 * fy + 20 * std::cos(fy * 20.0));
            const int jitter = int(n.next() % 9) - 4;
            r += jitter;
            g += jitter;
            bl += jitter;
            // Words: dark runs of varying length separated by gaps.
            if (textRow && x > 60 && x < kShotW - 60 && ((x / 14 + y / 36) * 2654435761u >> 29) != 0 && (x % 14) < 11 &&
                ((x * 7 + y * 3) % 5) != 0) {
                r = 25 + jitter;
                g = 25 + jitter;
                bl = 30 + jitter;
            }
            b.at(x, y) = pack(255, r, g, bl);
        }
    }
    return b;
}

Quad holeQuad() { return Quad{{98, 116}, {1250, 121}, {102, 2633}, {1254, 2631}}; }

Bitmap makeShell() {
    Bitmap b(kShellW, kShellH);
    const Quad hole = holeQuad();
    const double radius = 160;
    for (int y = 0; y < kShellH; ++y)
        for (int x = 0; x < kShellW; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            // Rounded rectangle body with a one-pixel soft edge.
            const double cx = std::clamp(px, radius, kShellW - radius), cy = std::clamp(py, radius, kShellH - radius);
            const double d = std::hypot(px - cx, py - cy) - radius;
            const int a = int(std::lround(std::clamp(0.5 - d, 0.0, 1.0) * 255));
            if (a == 0 || inside(hole, px, py)) continue;
            const int shade = 30 + int(25 * (px / kShellW)) + int(10 * std::sin(py / 90.0));
            b.at(x, y) = pack(a, shade, shade, shade + 6);
        }
    return b;
}

Bitmap makeWatermark() {
    Bitmap b(kShellW, kShellH);
    for (int y = 0; y < kShellH; ++y)
        for (int x = 0; x < kShellW; ++x) {
            const double t = std::fmod(double(x + y) / 180.0, 1.0);
            const double band = std::clamp(1.0 - std::abs(t - 0.5) * 6, 0.0, 1.0);
            const int a = int(band * 90);
            if (a) b.at(x, y) = pack(a, 255, 255, 255);
        }
    return b;
}

}  // namespace plinthora::bench
