#include "host/common/ShellDetection.h"

#include "compositing/ShellOutside.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace plinthora::host {

namespace {

// A point of a side's edge: `across` is where the edge crosses the scan
// line at `along` (x of a row scan at y, or y of a column scan at x).
struct EdgePoint {
    double along, across;
};
// across = a · along + b
struct Line {
    double a = 0, b = 0;
    double at(double along) const { return a * along + b; }
};

Line leastSquares(const std::vector<EdgePoint>& pts, const std::vector<char>& keep) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < pts.size(); ++i)
        if (keep[i]) {
            const EdgePoint& p = pts[i];
            n += 1, sx += p.along, sy += p.across, sxx += p.along * p.along, sxy += p.along * p.across;
        }
    const double den = n * sxx - sx * sx;
    if (n < 2 || den == 0) return {0, n > 0 ? sy / n : 0};
    const double a = (n * sxy - sx * sy) / den;
    return {a, (sy - a * sx) / n};
}

// The side through its edge points, seen from outside: whatever else the
// scans met (the rounded corners, a notch, the ends of the other sides)
// lies further in, so points more than half a pixel inside the line are
// dropped and the line fitted again, until it settles on the outermost
// straight stretch. `inward` is +1 when inside lies at larger `across`.
std::optional<Line> fitSide(const std::vector<EdgePoint>& pts, double inward) {
    if (pts.size() < 8) return std::nullopt;
    std::vector<char> keep(pts.size(), 1);
    Line line = leastSquares(pts, keep);
    for (int round = 0; round < 60; ++round) {
        bool changed = false;
        size_t kept = 0;
        for (size_t i = 0; i < pts.size(); ++i) {
            const bool k = inward * (pts[i].across - line.at(pts[i].along)) <= 0.5;
            changed |= k != bool(keep[i]);
            keep[i] = k;
            kept += k;
        }
        if (kept < 8) return std::nullopt;
        line = leastSquares(pts, keep);
        if (!changed) break;
    }
    return line;
}

// Where a "along y" line (x = a·y + b) meets an "along x" one (y = a·x + b).
Point cross(const Line& upright, const Line& level) {
    const double x = (upright.a * level.b + upright.b) / (1 - upright.a * level.a);
    return {x, level.at(x)};
}

std::string number(double v) {
    char buf[32];
    const double rounded = std::round(v * 100) / 100;
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, rounded == 0 ? 0.0 : rounded, std::chars_format::fixed, 2);
    std::string s(buf, ec == std::errc() ? end : buf);
    while (s.find('.') != std::string::npos && (s.back() == '0' || s.back() == '.')) s.pop_back();
    return s;
}

}  // namespace

std::string ShellTemplate::json() const {
    std::string s =
        "{\"template_width\": " + number(templateWidth) + ", \"template_height\": " + number(templateHeight);
    const Quad& q = corners;
    if (rectangle) {
        s += ", \"x\": " + number(q.topLeft.x) + ", \"y\": " + number(q.topLeft.y) +
             ", \"width\": " + number(q.bottomRight.x - q.topLeft.x) +
             ", \"height\": " + number(q.bottomRight.y - q.topLeft.y);
    } else {
        const std::pair<const char*, Point> named[] = {{"left_top", q.topLeft},
                                                       {"right_top", q.topRight},
                                                       {"left_bottom", q.bottomLeft},
                                                       {"right_bottom", q.bottomRight}};
        for (const auto& [name, p] : named)
            s += std::string(", \"") + name + "_x\": " + number(p.x) + ", \"" + name + "_y\": " + number(p.y);
    }
    return s + "}\n";
}

Detection detectScreen(const Bitmap& frame) {
    const int w = frame.width, h = frame.height;
    if (w < 8 || h < 8) return {std::nullopt, "the picture is too small to hold a screen"};
    const uint32_t* px = frame.pixels.data();
    auto clear = [px](size_t i) { return (px[i] >> 24) != 255; };

    // The outside first (1); every clear area left is enclosed by the
    // device (2), and the largest of them is its screen (3).
    enum : uint8_t { kUnseen, kOutside, kEnclosed, kScreen };
    std::vector<uint8_t> cells(size_t(w) * size_t(h), kUnseen);
    auto noRuns = [](int, int, int) {};
    std::vector<std::pair<int, int>> seeds = borderSeeds(w, h);
    scanFill(seeds, w, h, cells, kUnseen, kOutside, clear, noRuns);
    size_t best = 0;
    std::pair<int, int> bestSeed{-1, -1};
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = cells.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            if (row[x] != kUnseen || !clear(size_t(y) * size_t(w) + size_t(x))) continue;
            seeds.assign(1, {x, y});
            const size_t n = scanFill(seeds, w, h, cells, kUnseen, kEnclosed, clear, noRuns);
            if (n > best) best = n, bestSeed = {x, y};
        }
    }
    if (best == 0) return {std::nullopt, "the device encloses no clear screen (it is opaque, or open at an edge)"};
    if (best < size_t(w) * size_t(h) / 200)
        return {std::nullopt, "the largest clear area the device encloses is too small to be its screen"};

    // While the screen is marked: its bounding box, and its outermost pixels
    // towards its four corners, a first idea of each corner (on the
    // rounding, if any) that tells which stretch of the outline belongs to
    // which side. Along a stretch of a row these lie at its ends.
    int x0 = w, x1 = -1, y0 = h, y1 = -1;
    Point tl, tr, bl, br;
    double tlScore = 1e18, trScore = -1e18, blScore = 1e18, brScore = -1e18;
    seeds.assign(1, bestSeed);
    scanFill(
        seeds, w, h, cells, kEnclosed, kScreen, [](size_t) { return true; },
        [&](int y, int left, int right) {
            const int last = right - 1;
            x0 = std::min(x0, left), x1 = std::max(x1, last), y0 = std::min(y0, y), y1 = std::max(y1, y);
            if (left + y < tlScore) tlScore = left + y, tl = {double(left), double(y)};
            if (last + y > brScore) brScore = last + y, br = {double(last), double(y)};
            if (last - y > trScore) trScore = last - y, tr = {double(last), double(y)};
            if (left - y < blScore) blScore = left - y, bl = {double(left), double(y)};
        });
    auto in = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < h && cells[size_t(y) * size_t(w) + size_t(x)] == kScreen;
    };
    auto alpha = [&](int x, int y) { return double(px[size_t(y) * size_t(w) + size_t(x)] >> 24); };

    // Where the edge lies beyond the first screen pixel met from outside:
    // the opaque share of the first three pixels, each measured against the
    // screen's own alpha a little further in (a glass sheen is not bezel).
    auto edgeDepth = [&](int x, int y, int dx, int dy) -> std::optional<double> {
        if (!in(x + 3 * dx, y + 3 * dy)) return std::nullopt;
        const double ref = alpha(x + 3 * dx, y + 3 * dy);
        if (ref > 250) return std::nullopt;
        double depth = 0;
        for (int k = 0; k < 3; ++k) {
            if (!in(x + k * dx, y + k * dy)) return std::nullopt;
            depth += std::clamp((alpha(x + k * dx, y + k * dy) - ref) / (255 - ref), 0.0, 1.0);
        }
        return depth;
    };

    auto between = [](double v, double a, double b) { return v >= std::min(a, b) && v <= std::max(a, b); };
    std::vector<EdgePoint> left, right, top, bottom;
    for (int y = y0; y <= y1; ++y) {
        int a = x0, b = x1;
        while (a <= x1 && !in(a, y)) ++a;
        while (b >= a && !in(b, y)) --b;
        if (a > b) continue;
        if (between(y, tl.y, bl.y))
            if (auto d = edgeDepth(a, y, 1, 0)) left.push_back({y + 0.5, a + *d});
        if (between(y, tr.y, br.y))
            if (auto d = edgeDepth(b, y, -1, 0)) right.push_back({y + 0.5, b + 1 - *d});
    }
    for (int x = x0; x <= x1; ++x) {
        int a = y0, b = y1;
        while (a <= y1 && !in(x, a)) ++a;
        while (b >= a && !in(x, b)) --b;
        if (a > b) continue;
        if (between(x, tl.x, tr.x))
            if (auto d = edgeDepth(x, a, 0, 1)) top.push_back({x + 0.5, a + *d});
        if (between(x, bl.x, br.x))
            if (auto d = edgeDepth(x, b, 0, -1)) bottom.push_back({x + 0.5, b + 1 - *d});
    }
    const auto l = fitSide(left, 1), r = fitSide(right, -1), t = fitSide(top, 1), b = fitSide(bottom, -1);
    if (!l || !r || !t || !b) return {std::nullopt, "the screen's four sides could not be told apart"};

    ShellTemplate tmpl;
    tmpl.templateWidth = w;
    tmpl.templateHeight = h;
    Quad q{cross(*l, *t), cross(*r, *t), cross(*l, *b), cross(*r, *b)};
    for (const Point& p : {q.topLeft, q.topRight, q.bottomLeft, q.bottomRight})
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
            return {std::nullopt, "the screen's four sides could not be told apart"};
    // Upright when no side leans by half a pixel over its length.
    const double tall = y1 - y0 + 1, wide = x1 - x0 + 1;
    tmpl.rectangle = std::abs(l->a) * tall < 0.5 && std::abs(r->a) * tall < 0.5 && std::abs(t->a) * wide < 0.5 &&
                     std::abs(b->a) * wide < 0.5;
    if (tmpl.rectangle) {
        const double xl = (q.topLeft.x + q.bottomLeft.x) / 2, xr = (q.topRight.x + q.bottomRight.x) / 2;
        const double yt = (q.topLeft.y + q.topRight.y) / 2, yb = (q.bottomLeft.y + q.bottomRight.y) / 2;
        q = {{xl, yt}, {xr, yt}, {xl, yb}, {xr, yb}};
    }
    tmpl.corners = q;
    return {tmpl, {}};
}

std::optional<ShellTemplate> templateFromFrameJson(const Value& doc, int frameWidth, int frameHeight) {
    if (!doc.isDict()) return std::nullopt;
    const Value* screen = doc.find("screen");
    if (!screen || !screen->isDict()) return std::nullopt;
    auto num = [](const Value* d, const char* key) -> std::optional<double> {
        const Value* v = d ? d->find(key) : nullptr;
        if (!v || !v->isNumber()) return std::nullopt;
        return v->asReal();
    };
    const auto x = num(screen, "x"), y = num(screen, "y"), sw = num(screen, "width"), sh = num(screen, "height");
    if (!x || !y || !sw || !sh || !(*sw > 0) || !(*sh > 0)) return std::nullopt;
    ShellTemplate t;
    t.templateWidth = frameWidth;
    t.templateHeight = frameHeight;
    if (const Value* size = doc.find("frameSize")) {
        std::optional<double> fw, fh;
        if (size->isDict())
            fw = num(size, "width"), fh = num(size, "height");
        else if (size->isArray() && size->asArray().size() == 2 && size->asArray()[0].isNumber() &&
                 size->asArray()[1].isNumber())
            fw = size->asArray()[0].asReal(), fh = size->asArray()[1].asReal();
        if (fw && fh && *fw > 0 && *fh > 0) t.templateWidth = *fw, t.templateHeight = *fh;
    }
    t.corners = {{*x, *y}, {*x + *sw, *y}, {*x, *y + *sh}, {*x + *sw, *y + *sh}};
    return t;
}

}  // namespace plinthora::host
