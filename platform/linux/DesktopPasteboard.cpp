#include "platform/linux/DesktopPasteboard.h"

#include "platform/linux/QtPasteboard.h"
#include "platform/linux/WaylandDisplay.h"
#include "platform/ports/Platform.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace plinthora::linux_platform {

namespace {
// `wl-copy` forks to serve the clipboard and returns once it owns it.
constexpr int kWlCopyTimeoutMs = 10000;
}  // namespace

const char* DesktopPasteboard::name(Road road) {
    switch (road) {
    case Road::DataControl: return "the compositor's data control";
    case Road::WlCopy: return "wl-copy";
    case Road::Qt: return "the X11 clipboard";
    case Road::None: break;
    }
    return "none";
}

std::optional<DesktopPasteboard::Road> DesktopPasteboard::roadNamed(const std::string& key) {
    if (key == "data-control") return Road::DataControl;
    if (key == "wl-copy") return Road::WlCopy;
    if (key == "x11") return Road::Qt;
    if (key == "none") return Road::None;
    return std::nullopt;
}

DesktopPasteboard::DesktopPasteboard(Imaging& imaging, WaylandDisplay* wayland, std::optional<Road> only)
    : imaging_(imaging), wayland_(wayland) {
    const QString platform = QGuiApplication::platformName();
    auto may = [&only](Road road) { return !only || *only == road; };
    if (may(Road::DataControl) && wayland_ && wayland_->hasDataControl()) {
        road_ = Road::DataControl;
    } else if (may(Road::WlCopy) && wayland_ && !QStandardPaths::findExecutable("wl-copy").isEmpty()) {
        road_ = Road::WlCopy;
    } else if (may(Road::Qt) && platform == "xcb") {
        road_ = Road::Qt;
        qt_ = std::make_unique<QtPasteboard>(imaging_);
    }
    if (road_ != Road::None) {
        description_ = name(road_);
    } else if (only) {
        description_ = std::string("only ") + name(*only) + " was allowed, and it is not available here";
    } else if (wayland_) {
        description_ =
            "this compositor gives a program without keyboard focus no clipboard (no data-control "
            "protocol), and wl-copy is not installed";
    } else if (platform == "wayland") {
        description_ = "the Wayland compositor cannot be reached for its clipboard";
    } else {
        description_ = "no display (" + platform.toStdString() + "): the clipboard would stay inside this process";
    }
}

DesktopPasteboard::~DesktopPasteboard() = default;

void DesktopPasteboard::setImage(Image image, Kept kept) {
    if (!image || image->empty() || image->pixels.size() < size_t(image->width) * size_t(image->height)) {
        debugLog("pasteboard: no image to copy");
        if (kept) kept(false);
        return;
    }
    if (road_ == Road::Qt) {
        Image copied = image;
        qt_->setImage(std::move(image), [this, copied = std::move(copied), kept = std::move(kept)](bool ok) {
            if (ok) return delivered(copied, kept);
            if (kept) kept(false);
        });
        return;
    }
    // Encoded where the call comes from; the clipboard is served from the
    // main thread.
    std::optional<std::string> png;
    if (road_ != Road::None) png = imaging_.encodePng(*image);
    auto* app = QCoreApplication::instance();
    auto run = [this, image = std::move(image), png = std::move(png), kept = std::move(kept)]() mutable {
        if (road_ == Road::None) return undelivered(std::move(image), description_, std::move(kept));
        if (!png) return undelivered(std::move(image), "the picture could not be encoded as PNG", std::move(kept));
        deliver(std::move(image), std::move(*png), std::move(kept));
    };
    if (!app || QThread::currentThread() == app->thread())
        run();
    else
        QMetaObject::invokeMethod(app, std::move(run), Qt::QueuedConnection);
}

void DesktopPasteboard::deliver(Image image, std::string png, Kept kept) {
    if (road_ == Road::DataControl) {
        auto bytes = std::make_shared<const std::string>(std::move(png));
        if (!wayland_->setSelection({{"image/png", bytes}}))
            return undelivered(std::move(image), "the connection to the compositor is gone", std::move(kept));
        debugLog("pasteboard: %zu PNG bytes on the clipboard through data control", bytes->size());
        return delivered(image, kept);
    }
    auto* copy = new QProcess(QCoreApplication::instance());
    copy->setProgram(QStandardPaths::findExecutable("wl-copy"));
    copy->setArguments({"--type", "image/png"});
    copy->setProcessChannelMode(QProcess::SeparateChannels);
    auto done = std::make_shared<bool>(false);
    auto finish = [this, copy, done, image, kept = std::move(kept)](const std::string& failure) {
        if (*done) return;
        *done = true;
        if (failure.empty())
            delivered(image, kept);
        else
            undelivered(image, failure, kept);
        copy->deleteLater();
    };
    QObject::connect(copy, &QProcess::finished, copy, [copy, finish](int code, QProcess::ExitStatus status) {
        if (status == QProcess::NormalExit && code == 0) return finish({});
        const QByteArray said = copy->readAllStandardError().trimmed();
        finish("wl-copy failed" + (said.isEmpty() ? std::string() : ": " + said.toStdString()));
    });
    QObject::connect(copy, &QProcess::errorOccurred, copy, [copy, finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) finish("wl-copy could not start: " + copy->errorString().toStdString());
    });
    copy->start();
    copy->write(png.data(), qint64(png.size()));
    copy->closeWriteChannel();
    // A wl-copy that hangs is a clipboard that was not set.
    QTimer::singleShot(kWlCopyTimeoutMs, copy, [copy, finish] {
        finish("wl-copy did not finish");
        copy->kill();
    });
}

void DesktopPasteboard::undelivered(Image image, const std::string& why, Kept kept) {
    debugLog("pasteboard: not on the clipboard: %s", why.c_str());
    if (onUndelivered)
        onUndelivered(std::move(image), why, std::move(kept));
    else if (kept)
        kept(false);
}

void DesktopPasteboard::delivered(const Image& image, const Kept& kept) {
    if (kept) kept(true);
    if (onDelivered) onDelivered(image);
}

}  // namespace plinthora::linux_platform
