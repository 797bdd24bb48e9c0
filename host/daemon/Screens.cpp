#include "host/daemon/Screens.h"

#include "platform/linux/WaylandDisplay.h"
#include "platform/ports/Platform.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

namespace plinthora::host {

namespace {
// The tweak's screen-size test.
constexpr double kSizeLow = 0.8, kSizeHigh = 1.2;

// How far a picture is from a screen's size: the larger of the two sides'
// ratios, in log terms.
double distance(const ScreenSpec& s, int w, int h) {
    return std::max(std::abs(std::log(double(w) / s.pixelWidth())), std::abs(std::log(double(h) / s.pixelHeight())));
}

ScreenSpec fromPixels(double w, double h, double scale) {
    if (scale <= 0) scale = 1;
    return ScreenSpec{w / scale, h / scale, scale};
}
}  // namespace

int ScreenSpec::pixelWidth() const { return int(std::lround(width * scale)); }
int ScreenSpec::pixelHeight() const { return int(std::lround(height * scale)); }

std::string ScreenSpec::text() const {
    char buf[96];
    if (scale == 1)
        std::snprintf(buf, sizeof buf, "%dx%d pixels", pixelWidth(), pixelHeight());
    else
        std::snprintf(buf, sizeof buf, "%dx%d pixels at scale %g", pixelWidth(), pixelHeight(), scale);
    return buf;
}

std::optional<ScreenSpec> parseScreenSpec(const std::string& text) {
    static const std::regex form(
        R"(^\s*([0-9]+(?:\.[0-9]+)?)\s*[xX]\s*([0-9]+(?:\.[0-9]+)?)\s*@\s*([0-9]+(?:\.[0-9]+)?)\s*$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    ScreenSpec s{std::stod(m[1]), std::stod(m[2]), std::stod(m[3])};
    // Beyond these a screenshot could not be decoded anyway.
    if (s.width < 1 || s.height < 1 || s.scale <= 0 || s.scale > 10 || s.width * s.scale > 20000 ||
        s.height * s.scale > 20000)
        return std::nullopt;
    return s;
}

bool showsScreen(const ScreenSpec& s, int w, int h) {
    const double sw = s.width * s.scale, sh = s.height * s.scale;
    return kSizeLow * sw <= w && w <= kSizeHigh * sw && kSizeLow * sh <= h && h <= kSizeHigh * sh;
}

Size LiveScreenMetrics::bounds() const {
    std::lock_guard lock(mutex_);
    return {spec_.width, spec_.height};
}

double LiveScreenMetrics::scale() const {
    std::lock_guard lock(mutex_);
    return spec_.scale;
}

ScreenSpec LiveScreenMetrics::get() const {
    std::lock_guard lock(mutex_);
    return spec_;
}

void LiveScreenMetrics::set(ScreenSpec s) {
    std::lock_guard lock(mutex_);
    spec_ = s;
}

Screens::Screens(linux_platform::WaylandDisplay* wayland, std::optional<ScreenSpec> fixed)
    : wayland_(wayland), fixed_(fixed.has_value()), metrics_(fixed.value_or(ScreenSpec{})) {
    if (fixed_) {
        known_ = {*fixed};
        return;
    }
    if (wayland_) connect(wayland_, &linux_platform::WaylandDisplay::outputsChanged, this, &Screens::refresh);
    auto watch = [this](QScreen* screen) {
        connect(screen, &QScreen::geometryChanged, this, &Screens::refresh);
        connect(screen, &QScreen::virtualGeometryChanged, this, &Screens::refresh);
        connect(screen, &QScreen::logicalDotsPerInchChanged, this, &Screens::refresh);
    };
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        for (QScreen* s : QGuiApplication::screens()) watch(s);
        connect(app, &QGuiApplication::screenAdded, this, [this, watch](QScreen* s) {
            watch(s);
            refresh();
        });
        connect(app, &QGuiApplication::screenRemoved, this, &Screens::refresh, Qt::QueuedConnection);
        connect(app, &QGuiApplication::primaryScreenChanged, this, &Screens::refresh);
    }
    refresh();
}

std::vector<ScreenSpec> Screens::fromWayland() const {
    std::vector<ScreenSpec> out;
    if (!wayland_ || !wayland_->alive()) return out;
    const auto outputs = wayland_->outputs();
    double left = 0, top = 0, right = 0, bottom = 0, scale = 1;
    bool first = true;
    for (const auto& o : outputs) {
        out.push_back(fromPixels(o.pixelWidth, o.pixelHeight, o.scale));
        // The desktop as a whole-desktop screenshot takes it: the outputs'
        // places in logical units, at the largest scale.
        const double l = o.x, t = o.y, r = o.x + double(o.pixelWidth) / o.scale,
                     b = o.y + double(o.pixelHeight) / o.scale;
        left = first ? l : std::min(left, l);
        top = first ? t : std::min(top, t);
        right = first ? r : std::max(right, r);
        bottom = first ? b : std::max(bottom, b);
        scale = std::max(scale, double(o.scale));
        first = false;
    }
    if (outputs.size() > 1) out.push_back(ScreenSpec{right - left, bottom - top, scale});
    return out;
}

std::vector<ScreenSpec> Screens::fromQt() const {
    std::vector<ScreenSpec> out;
    const QString name = QGuiApplication::platformName();
    // The offscreen and minimal platforms invent a screen.
    if (name.isEmpty() || name == "offscreen" || name == "minimal") return out;
    QScreen* primary = QGuiApplication::primaryScreen();
    QList<QScreen*> screens = QGuiApplication::screens();
    // The primary first: without a screenshot to go by, it is the screen.
    std::stable_partition(screens.begin(), screens.end(), [primary](QScreen* s) { return s == primary; });
    for (QScreen* s : screens) {
        const double ratio = s->devicePixelRatio();
        if (s->size().isEmpty() || ratio <= 0) continue;
        out.push_back(ScreenSpec{double(s->size().width()), double(s->size().height()), ratio});
    }
    if (primary && screens.size() > 1 && !primary->virtualSize().isEmpty())
        out.push_back(ScreenSpec{double(primary->virtualSize().width()), double(primary->virtualSize().height()),
                                 primary->devicePixelRatio()});
    return out;
}

void Screens::refresh() {
    if (fixed_) return;
    std::vector<ScreenSpec> now = fromWayland();
    if (now.empty()) now = fromQt();
    if (now.empty()) now = {ScreenSpec{}};
    if (now == known_) return;
    known_ = std::move(now);
    const ScreenSpec was = metrics_.get();
    // The screen in use stays while it exists; else the first (primary).
    if (std::find(known_.begin(), known_.end(), was) == known_.end()) metrics_.set(known_.front());
    debugLog("host: screens now %s", describe().c_str());
    emit changed();
}

bool Screens::follow(int w, int h) {
    const ScreenSpec* best = nullptr;
    for (const ScreenSpec& s : known_)
        if (showsScreen(s, w, h) && (!best || distance(s, w, h) < distance(*best, w, h))) best = &s;
    if (!best) return false;
    metrics_.set(*best);
    return true;
}

std::string Screens::describe() const {
    std::string out = current().text();
    for (const ScreenSpec& s : known_)
        if (!(s == current())) out += ", or " + s.text();
    return out;
}

}  // namespace plinthora::host
