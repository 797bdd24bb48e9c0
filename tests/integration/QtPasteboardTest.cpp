// The clipboard port on the offscreen platform (the clipboard is then
// in-process only, which is all these tests read back).
#include "platform/linux/QtImaging.h"
#include "platform/linux/QtPasteboard.h"

#include "MediaTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>

#include <gtest/gtest.h>

#include <thread>

using namespace plinthora;
using namespace plinthora::linux_platform;
using namespace plinthora::mediatest;

namespace {

Image gradient(int w, int h) {
    auto b = std::make_shared<Bitmap>(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b->at(x, y) = 0xFF000000u | uint32_t(x * 10) << 16 | uint32_t(y * 10) << 8 | 0x33u;
    return b;
}

QImage pngOnClipboard() {
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime || !mime->hasFormat("image/png")) return {};
    return QImage::fromData(mime->data("image/png"), "PNG");
}

void expectSamePixels(const QImage& got, const Bitmap& want) {
    ASSERT_EQ(got.width(), want.width);
    ASSERT_EQ(got.height(), want.height);
    const QImage argb = got.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < want.height; ++y)
        for (int x = 0; x < want.width; ++x) ASSERT_EQ(argb.pixel(x, y), want.at(x, y)) << x << "," << y;
}

TEST(QtPasteboardTest, OffersPngFirstThenQtImageAndTheBytesDecode) {
    QtImaging imaging;
    QtPasteboard pasteboard(imaging);
    const Image image = gradient(13, 8);
    std::vector<bool> kept;
    pasteboard.setImage(image, [&kept](bool k) { kept.push_back(k); });
    EXPECT_EQ(kept, std::vector<bool>{true});

    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(mime, nullptr);
    ASSERT_FALSE(mime->formats().isEmpty());
    EXPECT_EQ(mime->formats().first(), "image/png");
    EXPECT_TRUE(mime->hasImage());
    expectSamePixels(pngOnClipboard(), *image);
    expectSamePixels(qvariant_cast<QImage>(mime->imageData()), *image);
}

TEST(QtPasteboardTest, CallFromAWorkerReachesTheClipboardOnTheGuiThread) {
    QtImaging imaging;
    QtPasteboard pasteboard(imaging);
    pasteboard.setImage(gradient(3, 3), {});
    const Image image = gradient(21, 5);
    std::thread worker([&] { pasteboard.setImage(image, {}); });
    worker.join();
    ASSERT_TRUE(waitUntil([] { return pngOnClipboard().width() == 21; }));
    expectSamePixels(pngOnClipboard(), *image);
}

TEST(QtPasteboardTest, NothingToCopyLeavesTheClipboardAlone) {
    QtImaging imaging;
    QtPasteboard pasteboard(imaging);
    const Image before = gradient(7, 2);
    pasteboard.setImage(before, {});
    std::vector<bool> kept;
    auto record = [&kept](bool k) { kept.push_back(k); };
    pasteboard.setImage(nullptr, record);
    pasteboard.setImage(std::make_shared<Bitmap>(), record);
    auto inconsistent = std::make_shared<Bitmap>(4, 4);
    inconsistent->pixels.resize(3);
    pasteboard.setImage(inconsistent, record);
    expectSamePixels(pngOnClipboard(), *before);
    EXPECT_EQ(kept, std::vector<bool>(3, false)) << "a refusal must say so, or the original goes";
}

TEST(QtPasteboardTest, ToQImageKeepsPremultipliedPixelsAndScale) {
    Bitmap b(2, 1, 3.0);
    b.at(0, 0) = 0x80402010u;  // half-transparent, premultiplied
    b.at(1, 0) = 0x00000000u;
    const QImage q = toQImage(b);
    EXPECT_EQ(q.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(q.constScanLine(0))[0], 0x80402010u);
    EXPECT_EQ(q.devicePixelRatio(), 3.0);
}

}  // namespace
