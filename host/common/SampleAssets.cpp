#include "host/common/SampleAssets.h"

#include "compositing/SRAssetResolver.h"
#include "util/Numbers.h"

#include <QBuffer>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace plinthora::host {

std::string pngBytes(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

namespace {

bool folderHasImage(FileSystem& fs, const std::string& folder) {
    for (const std::string& name : fs.listDirectory(folder).value_or(std::vector<std::string>{}))
        if (SRAssetResolver::qualifiesAsImageName(name)) return true;
    return false;
}

// The polygon with every edge moved `d` pixels inwards (a convex polygon
// listed clockwise on screen).
QPolygonF inset(const QPolygonF& poly, double d) {
    const int n = int(poly.size());
    QPolygonF out;
    for (int i = 0; i < n; ++i) {
        // The two edges meeting at corner i, each shifted along its inward
        // normal, cross at the new corner.
        auto shifted = [&](int a, int b, QPointF& p, QPointF& dir) {
            dir = poly[b] - poly[a];
            const double len = std::hypot(dir.x(), dir.y());
            p = poly[a] + QPointF(-dir.y(), dir.x()) * (d / len);
        };
        QPointF p1, d1, p2, d2;
        shifted((i + n - 1) % n, i, p1, d1);
        shifted(i, (i + 1) % n, p2, d2);
        const double den = d1.x() * d2.y() - d1.y() * d2.x();
        const double t = ((p2.x() - p1.x()) * d2.y() - (p2.y() - p1.y()) * d2.x()) / den;
        out << p1 + d1 * t;
    }
    return out;
}

// The corner form of a template for a hole listed clockwise from the top left.
std::string cornerTemplate(int width, int height, const QPolygonF& hole) {
    // Written in the C locale's numbers whatever the desktop's: "90,0"
    // would not be JSON.
    auto corner = [&](const char* name, QPointF p) {
        return "  \"" + std::string(name) + "_x\": " + fixedDecimal(p.x(), 1) + ", \"" + name +
               "_y\": " + fixedDecimal(p.y(), 1);
    };
    return "{\n  \"template_width\": " + std::to_string(width) + ",\n  \"template_height\": " + std::to_string(height) +
           ",\n" + corner("left_top", hole[0]) + ",\n" + corner("right_top", hole[1]) + ",\n" +
           corner("left_bottom", hole[3]) + ",\n" + corner("right_bottom", hole[2]) + "\n}\n";
}

}  // namespace

SampleShell makeSampleShell(int width, int height) {
    SampleShell shell;
    shell.image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
    shell.image.fill(Qt::transparent);

    const bool landscape = width > height;
    const double s = std::min(width, height) / 1350.0;
    const double border = 90 * s;
    // The screen leans: the far edge is a little shorter than the near one.
    const double lean = 10 * s;
    QPolygonF hole;
    if (!landscape) {
        hole << QPointF(border + lean, border) << QPointF(width - border - lean, border + 2 * s)
             << QPointF(width - border, height - border) << QPointF(border, height - border - 2 * s);
    } else {
        hole << QPointF(border, border + lean) << QPointF(width - border, border)
             << QPointF(width - border - 2 * s, height - border) << QPointF(border, height - border - lean);
    }
    shell.hole = hole;

    QPainter p(&shell.image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath body;
    body.addRoundedRect(QRectF(4 * s, 4 * s, width - 8 * s, height - 8 * s), 170 * s, 170 * s);
    QLinearGradient metal(0, 0, width, height);
    metal.setColorAt(0, QColor(58, 62, 70));
    metal.setColorAt(0.5, QColor(24, 26, 30));
    metal.setColorAt(1, QColor(70, 74, 82));
    p.fillPath(body, metal);
    p.setPen(QPen(QColor(150, 155, 165), 6 * s));
    p.drawPath(body);
    // The screen is a hole: clear it so the capture shows through. As on a
    // real frame, the bezel overlaps the screen's edge a little: the hole is
    // cut a pixel inside the corners the template states, so its soft edge
    // lies over the picture and never over empty canvas.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPolygon(inset(hole, 1.0));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // A camera island over the screen, as on a real phone.
    p.setBrush(QColor(8, 8, 10));
    const QPointF top = landscape ? QPointF(border + 40 * s, height / 2.0) : QPointF(width / 2.0, border + 40 * s);
    const QSizeF pill = landscape ? QSizeF(70 * s, 240 * s) : QSizeF(240 * s, 70 * s);
    p.drawRoundedRect(QRectF(top - QPointF(pill.width() / 2, pill.height() / 2), pill), 35 * s, 35 * s);
    p.end();

    shell.templateJson = cornerTemplate(width, height, hole);
    return shell;
}

SampleShell makeSampleLaptopShell() {
    constexpr int kScreenW = 1920, kScreenH = 1080;
    constexpr double bezel = 60, chin = 100, topBezel = 70;
    constexpr double deckRise = 70, deckDepth = 60, overhang = 180;
    const double lidW = kScreenW + 2 * bezel;
    const double lidH = topBezel + kScreenH + chin;
    const int width = int(lidW + 2 * overhang);
    const int height = int(lidH + deckRise + deckDepth + 8);
    const double lidX = overhang, lidY = 4;

    SampleShell shell;
    shell.image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
    shell.image.fill(Qt::transparent);
    const QRectF screen(lidX + bezel, lidY + topBezel, kScreenW, kScreenH);
    // Upright and exactly 16:9: no perspective, so nothing is stretched.
    shell.hole << screen.topLeft() << screen.topRight() << screen.bottomRight() << screen.bottomLeft();

    QPainter p(&shell.image);
    p.setRenderHint(QPainter::Antialiasing);
    // The deck first: the lid's lower edge sits on its hinge.
    const double hingeY = lidY + lidH - 6;
    QPainterPath deck;
    deck.moveTo(lidX - 40, hingeY);
    deck.lineTo(lidX + lidW + 40, hingeY);
    deck.lineTo(width - 4, hingeY + deckRise);
    deck.lineTo(width - 4, hingeY + deckRise + deckDepth - 24);
    deck.quadTo(width - 4, hingeY + deckRise + deckDepth, width - 28, hingeY + deckRise + deckDepth);
    deck.lineTo(28, hingeY + deckRise + deckDepth);
    deck.quadTo(4, hingeY + deckRise + deckDepth, 4, hingeY + deckRise + deckDepth - 24);
    deck.lineTo(4, hingeY + deckRise);
    deck.closeSubpath();
    QLinearGradient alloy(0, hingeY, 0, height);
    alloy.setColorAt(0, QColor(188, 192, 200));
    alloy.setColorAt(0.55, QColor(150, 154, 162));
    alloy.setColorAt(1, QColor(96, 100, 108));
    p.fillPath(deck, alloy);
    p.setPen(QPen(QColor(80, 84, 92), 2));
    p.drawPath(deck);
    // The notch that opens the lid.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 124, 132));
    p.drawRoundedRect(QRectF(width / 2.0 - 150, hingeY + deckRise - 2, 300, 18), 9, 9);

    QPainterPath lid;
    lid.addRoundedRect(QRectF(lidX, lidY, lidW, lidH), 36, 36);
    QLinearGradient frame(0, lidY, 0, lidY + lidH);
    frame.setColorAt(0, QColor(40, 42, 48));
    frame.setColorAt(1, QColor(18, 19, 22));
    p.fillPath(lid, frame);
    p.setPen(QPen(QColor(150, 155, 165), 4));
    p.setBrush(Qt::NoBrush);
    p.drawPath(lid);
    // The camera in the top bezel.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(6, 6, 8));
    p.drawEllipse(QPointF(lidX + lidW / 2, lidY + topBezel / 2), 9, 9);
    // The screen is a hole, cut a pixel inside its corners like the phone's.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setBrush(Qt::black);
    p.drawPolygon(inset(shell.hole, 1.0));
    p.end();

    shell.templateJson = cornerTemplate(width, height, shell.hole);
    return shell;
}

QImage makeSampleWatermark(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const double step = std::min(width, height) / 6.0;
    for (double y = step / 2; y < height; y += step)
        for (double x = step / 2; x < width; x += step) {
            QRadialGradient g(QPointF(x, y), step * 0.3);
            g.setColorAt(0, QColor(255, 255, 255, 90));
            g.setColorAt(1, QColor(255, 255, 255, 0));
            p.setBrush(g);
            p.drawEllipse(QPointF(x, y), step * 0.3, step * 0.3);
        }
    return image;
}

QImage makeSampleScreenshot(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient sky(0, 0, width * 0.3, height);
    sky.setColorAt(0, QColor::fromHsv((200 + seed * 37) % 360, 160, 230));
    sky.setColorAt(1, QColor::fromHsv((280 + seed * 37) % 360, 200, 120));
    p.fillRect(image.rect(), sky);
    const double u = width / 12.0;
    p.fillRect(QRectF(0, 0, width, u * 0.9), QColor(255, 255, 255, 60));  // status bar
    for (int i = 0; i < 16; ++i) {                                        // app icons
        const double x = u * (1 + (i % 4) * 2.75), y = u * (3 + (i / 4) * 3);
        p.setBrush(QColor::fromHsv((i * 47 + seed * 11) % 360, 180, 220));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(x, y, u * 1.9, u * 1.9), u * 0.45, u * 0.45);
    }
    p.fillRect(QRectF(u * 0.5, height - u * 3, width - u, u * 2.2), QColor(255, 255, 255, 70));  // dock
    return image;
}

int installSampleAssets(FileSystem& fs) {
    int written = 0;
    auto put = [&](const std::string& path, const std::string& bytes) {
        if (fs.writeFileAtomically(path, bytes)) ++written;
    };
    fs.createDirectories(kShellFolder);
    fs.createDirectories(kLandscapeShellFolder);
    fs.createDirectories(kWatermarkFolder);
    if (!folderHasImage(fs, kShellFolder)) {
        SampleShell shell = makeSampleShell(1350, 2750);
        put(std::string(kShellFolder) + "/Sample Phone.png", pngBytes(shell.image));
        put(std::string(kShellFolder) + "/Sample Phone.cfg", shell.templateJson);
    }
    if (!folderHasImage(fs, kLandscapeShellFolder)) {
        // Landscape captures on a desktop are 16:9 screens, not phones on
        // their side.
        SampleShell shell = makeSampleLaptopShell();
        put(std::string(kLandscapeShellFolder) + "/Sample Laptop.png", pngBytes(shell.image));
        put(std::string(kLandscapeShellFolder) + "/Sample Laptop.cfg", shell.templateJson);
    }
    if (!folderHasImage(fs, kWatermarkFolder))
        put(std::string(kWatermarkFolder) + "/Sample Watermark.png", pngBytes(makeSampleWatermark(1350, 2750)));
    return written;
}

}  // namespace plinthora::host
