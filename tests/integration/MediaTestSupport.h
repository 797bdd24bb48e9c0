// Helpers shared by the photo library, trash and clipboard tests.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace plinthora::mediatest {

// Pumps the event loop until `done` holds or `timeoutMs` passes; returns
// whether it held. Used to wait for inotify and queued calls, never to
// measure time.
// The standard output of a shell command (ffprobe, ffmpeg).
inline std::string capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}
inline std::string capture(const QString& command) { return capture(command.toStdString()); }
inline std::string capture(const char* command) { return capture(std::string(command)); }

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline QByteArray encodedImage(int w, int h, const char* format, QRgb fill = qRgb(200, 40, 90), int quality = -1) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(fill);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format, quality);
    return bytes;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const bool ok = f.write(bytes) == bytes.size();
    f.close();
    return ok;
}

inline std::optional<QByteArray> readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return f.readAll();
}

// An APP1 Exif segment holding only an orientation tag, in either byte
// order, spliced in right after SOI.
inline QByteArray withExifOrientation(const QByteArray& jpeg, int orientation, bool bigEndian) {
    QByteArray tiff;
    auto u16 = [&](uint16_t v) {
        if (bigEndian) {
            tiff.append(char(v >> 8));
            tiff.append(char(v & 0xFF));
        } else {
            tiff.append(char(v & 0xFF));
            tiff.append(char(v >> 8));
        }
    };
    auto u32 = [&](uint32_t v) {
        if (bigEndian) {
            u16(uint16_t(v >> 16));
            u16(uint16_t(v));
        } else {
            u16(uint16_t(v));
            u16(uint16_t(v >> 16));
        }
    };
    tiff.append(bigEndian ? "MM" : "II");
    u16(42);
    u32(8);       // IFD0 right after the header
    u16(1);       // one entry
    u16(0x0112);  // Orientation
    u16(3);       // SHORT
    u32(1);
    u16(uint16_t(orientation));
    u16(0);
    u32(0);  // no next IFD
    QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment;
    segment.append(char(0xFF));
    segment.append(char(0xE1));
    const int len = int(payload.size()) + 2;
    segment.append(char(len >> 8));
    segment.append(char(len & 0xFF));
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// An APPn segment of `size` payload bytes spliced in after SOI: pushes the
// frame header far from the start of the file.
inline QByteArray withFillerSegment(const QByteArray& jpeg, int size, uint8_t marker = 0xE2) {
    QByteArray segment;
    segment.append(char(0xFF));
    segment.append(char(marker));
    const int len = size + 2;
    segment.append(char(len >> 8));
    segment.append(char(len & 0xFF));
    segment.append(QByteArray(size, 'x'));
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace plinthora::mediatest
