#include "platform/linux/WaylandDisplay.h"

#include "platform/ports/Platform.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <QSocketNotifier>
#include <QTimer>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

// Version 2 adds the primary selection, which we leave alone; 1 is enough.
constexpr uint32_t kDataControlVersion = 1;
// Version 2 brings `done` and `scale`; 4 the output's name.
constexpr uint32_t kOutputVersion = 4;
// Version 2 brings the output's name; 3 leaves `done` to the output.
constexpr uint32_t kPlacementVersion = 3;
// A paste that stops reading for this long is given up.
constexpr int kTransferTimeoutMs = 10000;

}  // namespace

struct WaylandDisplay::OutputState {
    WaylandDisplay* owner = nullptr;
    uint32_t globalName = 0;
    wl_output* proxy = nullptr;
    zxdg_output_v1* placement = nullptr;
    Output shown;    // what outputs() reports
    Output pending;  // collected until `done`
    int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
    int modeWidth = 0, modeHeight = 0;

    void settle() {
        // The odd transforms are the quarter turns.
        const bool turned = transform & 1;
        pending.pixelWidth = turned ? modeHeight : modeWidth;
        pending.pixelHeight = turned ? modeWidth : modeHeight;
        shown = pending;
    }

    static void geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
                         const char*, int32_t transform) {
        auto* s = static_cast<OutputState*>(data);
        // wlroots says 0, 0 here; xdg-output, where offered, tells the truth.
        if (!s->placement) {
            s->pending.x = x;
            s->pending.y = y;
        }
        s->transform = transform;
    }
    static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        auto* s = static_cast<OutputState*>(data);
        if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
        s->modeWidth = width;
        s->modeHeight = height;
    }
    static void done(void* data, wl_output*) {
        auto* s = static_cast<OutputState*>(data);
        s->settle();
        emit s->owner->outputsChanged();
    }
    static void scale(void* data, wl_output*, int32_t factor) {
        static_cast<OutputState*>(data)->pending.scale = factor > 0 ? factor : 1;
    }
    static void name(void* data, wl_output*, const char* name) {
        static_cast<OutputState*>(data)->pending.name = name ? name : "";
    }
    static void description(void*, wl_output*, const char*) {}
    static const wl_output_listener listener;

    static void logicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        auto* s = static_cast<OutputState*>(data);
        s->pending.x = x;
        s->pending.y = y;
    }
    static void logicalSize(void*, zxdg_output_v1*, int32_t, int32_t) {}
    static void placementDone(void* data, zxdg_output_v1*) { done(data, nullptr); }
    static void placementName(void*, zxdg_output_v1*, const char*) {}
    static void placementDescription(void*, zxdg_output_v1*, const char*) {}
    static const zxdg_output_v1_listener placementListener;
};

const wl_output_listener WaylandDisplay::OutputState::listener = {geometry, mode, done, scale, name, description};
const zxdg_output_v1_listener WaylandDisplay::OutputState::placementListener = {
    logicalPosition, logicalSize, placementDone, placementName, placementDescription};

namespace {

void onOffer(void*, zwlr_data_control_offer_v1*, const char*) {}
const zwlr_data_control_offer_v1_listener kOfferListener = {onOffer};

}  // namespace

std::unique_ptr<WaylandDisplay> WaylandDisplay::connect() {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) return nullptr;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        debugLog("wayland: no compositor answers at %s", name);
        return nullptr;
    }
    std::unique_ptr<WaylandDisplay> self(new WaylandDisplay(display));
    // The globals, then what binding them sent (the outputs' modes).
    if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0) {
        debugLog("wayland: the compositor at %s did not answer", name);
        return nullptr;
    }
    // Outputs announced before the placement manager are placed now.
    if (self->placement_) {
        for (auto& o : self->outputs_) self->placeOutput(*o);
        if (wl_display_roundtrip(display) < 0) return nullptr;
    }
    if (self->manager_ && self->seat_) {
        self->device_ = zwlr_data_control_manager_v1_get_data_device(self->manager_, self->seat_);
        static const zwlr_data_control_device_v1_listener deviceListener = {onDataOffer, onSelection, onFinished,
                                                                            nullptr};
        zwlr_data_control_device_v1_add_listener(self->device_, &deviceListener, self.get());
        self->flush();
    }
    self->notifier_ = new QSocketNotifier(wl_display_get_fd(display), QSocketNotifier::Read, self.get());
    QObject::connect(self->notifier_, &QSocketNotifier::activated, self.get(), [s = self.get()] { s->dispatch(); });
    debugLog("wayland: connected to %s; data control %s; %zu output(s)", name,
             self->hasDataControl() ? "offered" : "not offered", self->outputs_.size());
    return self;
}

WaylandDisplay::WaylandDisplay(wl_display* display) : display_(display) {
    static const wl_registry_listener listener = {onGlobal, onGlobalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &listener, this);
}

WaylandDisplay::~WaylandDisplay() {
    delete notifier_;
    dropOffersBut(nullptr);
    if (source_) zwlr_data_control_source_v1_destroy(source_);
    if (device_) zwlr_data_control_device_v1_destroy(device_);
    if (manager_) zwlr_data_control_manager_v1_destroy(manager_);
    for (auto& o : outputs_) {
        if (o->placement) zxdg_output_v1_destroy(o->placement);
        if (o->proxy) wl_output_destroy(o->proxy);
    }
    if (placement_) zxdg_output_manager_v1_destroy(placement_);
    if (seat_) wl_seat_destroy(seat_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

void WaylandDisplay::onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                              uint32_t version) {
    auto* self = static_cast<WaylandDisplay*>(data);
    if (!std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) && !self->manager_) {
        self->manager_ = static_cast<zwlr_data_control_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_data_control_manager_v1_interface, std::min(version, kDataControlVersion)));
    } else if (!std::strcmp(interface, zxdg_output_manager_v1_interface.name) && !self->placement_) {
        self->placement_ = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, kPlacementVersion)));
    } else if (!std::strcmp(interface, wl_seat_interface.name) && !self->seat_) {
        // The clipboard of the first seat: a desktop has one.
        self->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (!std::strcmp(interface, wl_output_interface.name)) {
        auto state = std::make_unique<OutputState>();
        state->owner = self;
        state->globalName = name;
        state->proxy = static_cast<wl_output*>(
            wl_registry_bind(registry, name, &wl_output_interface, std::min(version, kOutputVersion)));
        wl_output_add_listener(state->proxy, &OutputState::listener, state.get());
        self->placeOutput(*state);
        self->outputs_.push_back(std::move(state));
    }
}

void WaylandDisplay::onGlobalRemove(void* data, wl_registry*, uint32_t name) {
    auto* self = static_cast<WaylandDisplay*>(data);
    auto it = std::find_if(self->outputs_.begin(), self->outputs_.end(),
                           [name](const auto& o) { return o->globalName == name; });
    if (it == self->outputs_.end()) return;
    if ((*it)->placement) zxdg_output_v1_destroy((*it)->placement);
    if ((*it)->proxy) wl_output_destroy((*it)->proxy);
    self->outputs_.erase(it);
    emit self->outputsChanged();
}

void WaylandDisplay::placeOutput(OutputState& output) {
    if (!placement_ || output.placement) return;
    output.placement = zxdg_output_manager_v1_get_xdg_output(placement_, output.proxy);
    zxdg_output_v1_add_listener(output.placement, &OutputState::placementListener, &output);
}

std::vector<WaylandDisplay::Output> WaylandDisplay::outputs() const {
    std::vector<Output> out;
    for (const auto& o : outputs_)
        if (o->shown.pixelWidth > 0 && o->shown.pixelHeight > 0) out.push_back(o->shown);
    return out;
}

bool WaylandDisplay::alive() const { return !failed_; }

bool WaylandDisplay::setSelection(std::map<std::string, std::shared_ptr<const std::string>> contents) {
    if (failed_ || !hasDataControl() || contents.empty()) return false;
    static const zwlr_data_control_source_v1_listener sourceListener = {onSend, onCancelled};
    zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(manager_);
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
    for (const auto& [type, bytes] : contents) zwlr_data_control_source_v1_offer(source, type.c_str());
    zwlr_data_control_device_v1_set_selection(device_, source);
    // The compositor cancels the one we had; it is ours to destroy now.
    if (source_) zwlr_data_control_source_v1_destroy(source_);
    source_ = source;
    contents_ = std::move(contents);
    flush();
    return !failed_;
}

void WaylandDisplay::onSend(void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd) {
    auto* self = static_cast<WaylandDisplay*>(data);
    auto it = self->contents_.find(mimeType ? mimeType : "");
    if (source != self->source_ || it == self->contents_.end()) {
        ::close(fd);
        return;
    }
    self->serve(fd, it->second);
}

void WaylandDisplay::onCancelled(void* data, zwlr_data_control_source_v1* source) {
    auto* self = static_cast<WaylandDisplay*>(data);
    zwlr_data_control_source_v1_destroy(source);
    if (source != self->source_) return;
    // Another program owns the clipboard now.
    self->source_ = nullptr;
    self->contents_.clear();
    debugLog("wayland: our clipboard contents were replaced");
}

void WaylandDisplay::onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    auto* self = static_cast<WaylandDisplay*>(data);
    zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, self);
    self->offers_.push_back(offer);
}

void WaylandDisplay::onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    // We never paste: every offer but the one the compositor still refers
    // to can go.
    static_cast<WaylandDisplay*>(data)->dropOffersBut(offer);
}

void WaylandDisplay::onFinished(void* data, zwlr_data_control_device_v1* device) {
    auto* self = static_cast<WaylandDisplay*>(data);
    // The seat went away: no clipboard until a new device is made.
    zwlr_data_control_device_v1_destroy(device);
    if (device == self->device_) self->device_ = nullptr;
}

void WaylandDisplay::dropOffersBut(zwlr_data_control_offer_v1* keep) {
    for (zwlr_data_control_offer_v1* o : offers_)
        if (o != keep) zwlr_data_control_offer_v1_destroy(o);
    offers_.clear();
    if (keep) offers_.push_back(keep);
}

void WaylandDisplay::dispatch() {
    if (failed_) return;
    while (wl_display_prepare_read(display_) != 0) wl_display_dispatch_pending(display_);
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0) {
        failed_ = true;
    } else {
        flush();
    }
    if (failed_) {
        debugLog("wayland: the connection to the compositor ended (%s)", std::strerror(wl_display_get_error(display_)));
        notifier_->setEnabled(false);
        source_ = nullptr;
    }
}

void WaylandDisplay::flush() {
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) failed_ = true;
}

// Written as the reader takes it, from the event loop: a paste into a
// program that reads slowly, or never, holds nothing else up.
void WaylandDisplay::serve(int fd, std::shared_ptr<const std::string> bytes) {
    // A reader that goes away must cost us an EPIPE, not the process.
    static const bool pipeIgnored = [] {
        struct sigaction old {};
        if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)pipeIgnored;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto* writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    auto* timeout = new QTimer(writable);
    timeout->setSingleShot(true);
    auto offset = std::make_shared<size_t>(0);
    auto finish = [writable, fd] {
        writable->setEnabled(false);
        ::close(fd);
        writable->deleteLater();
    };
    QObject::connect(timeout, &QTimer::timeout, writable, [finish] {
        debugLog("wayland: a paste stopped reading; given up");
        finish();
    });
    QObject::connect(writable, &QSocketNotifier::activated, writable, [=] {
        while (*offset < bytes->size()) {
            const ssize_t n = ::write(fd, bytes->data() + *offset, bytes->size() - *offset);
            if (n > 0) {
                *offset += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                timeout->start(kTransferTimeoutMs);
                return;
            }
            break;  // the reader went away
        }
        finish();
    });
    timeout->start(kTransferTimeoutMs);
}

}  // namespace plinthora::linux_platform
