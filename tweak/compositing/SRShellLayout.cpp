#include "compositing/SRShellLayout.h"

#include "platform/ports/Platform.h"
#include "util/Numbers.h"

#include <cmath>

namespace plinthora {

std::string templatePathForShell(const std::string& shellPath) {
    size_t slash = shellPath.rfind('/');
    size_t dot = shellPath.rfind('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? shellPath.substr(0, dot) : shellPath) + ".cfg";
}

std::optional<Value> readShellTemplate(const std::string& shellPath) {
    if (shellPath.empty()) return std::nullopt;
    Platform& p = platform();
    auto bytes = p.fs->readFile(templatePathForShell(shellPath));
    if (!bytes) return std::nullopt;
    auto doc = p.json->parse(*bytes);
    if (!doc) debugLog("shell template of %s is not JSON", shellPath.c_str());
    return doc;
}

float templateNumber(const Value& tmpl, const char* key) {
    if (!tmpl.isDict()) throw TemplateError("shell template is not a JSON object");
    const Value* v = tmpl.find(key);
    if (!v) return 0.0f;
    switch (v->kind()) {
    case Value::Kind::Integer:
    case Value::Kind::Real: return static_cast<float>(v->asReal());
    case Value::Kind::Bool: return v->asBool() ? 1.0f : 0.0f;
    case Value::Kind::String: return static_cast<float>(leadingDecimal(v->asString()));
    default: throw TemplateError(std::string("shell template key ") + key + " is not a number");
    }
}

TemplateForm templateForm(const std::optional<Value>& tmpl) {
    if (!tmpl) return TemplateForm::Absent;
    if (!tmpl->isDict()) throw TemplateError("shell template is not a JSON object");
    if (tmpl->find("left_top_x")) return TemplateForm::Corner;
    if (tmpl->find("x")) return TemplateForm::Rectangle;
    return TemplateForm::Absent;
}

SRShellLayout defaultQuad(Size render, Size content) {
    const double W = render.width, H = render.height, cw = content.width, ch = content.height;
    double w, h;
    if (cw > ch) {
        h = 0.95 * H;
        w = h * cw / ch;
        if (w > W) {
            w = W;
            h = W * ch / cw;
        }
    } else {
        w = 0.85 * W;
        h = w * ch / cw;
    }
    const double x = (W - w) / 2, y = (H - h) / 2;
    return {{x, y}, {x + w, y}, {x, y + h}, {x + w, y + h}};
}

}  // namespace plinthora

#include "compositing/SRUnifiedProcessor.h"

namespace plinthora {

SRShellLayout layoutFromTemplate(const std::optional<Value>& tmpl, Size renderSize, Size contentSize) {
    if (!tmpl) return defaultQuad(renderSize, contentSize);
    if (templateForm(tmpl) == TemplateForm::Rectangle) return rectangleLayout(*tmpl, renderSize);
    const double tw = templateNumber(*tmpl, "template_width");
    if (!(tw > 0)) return defaultQuad(renderSize, contentSize);
    const double th = templateNumber(*tmpl, "template_height");
    // A missing or non-positive height would make every y non-finite.
    if (!(th > 0)) {
        debugLog("shell template has no positive template_height; using the default quad");
        return defaultQuad(renderSize, contentSize);
    }
    const double sx = renderSize.width / tw, sy = renderSize.height / th;
    auto corner = [&](const char* kx, const char* ky) {
        return Point{sx * static_cast<double>(templateNumber(*tmpl, kx)),
                     sy * static_cast<double>(templateNumber(*tmpl, ky))};
    };
    return {corner("left_top_x", "left_top_y"), corner("right_top_x", "right_top_y"),
            corner("left_bottom_x", "left_bottom_y"), corner("right_bottom_x", "right_bottom_y")};
}

SRShellLayout rectangleLayout(const Value& tmpl, Size renderSize) {
    double tw = templateNumber(tmpl, "template_width"), th = templateNumber(tmpl, "template_height");
    // A rectangle is usually measured on the shell itself, and a frame's
    // screen rectangle often comes without a size: the canvas is the shell,
    // so its own size is the template's.
    if (!(tw > 0) || !(th > 0)) {
        tw = renderSize.width;
        th = renderSize.height;
    }
    const double W = renderSize.width, H = renderSize.height;
    const double x = templateNumber(tmpl, "x"), y = templateNumber(tmpl, "y");
    const double w = templateNumber(tmpl, "width"), h = templateNumber(tmpl, "height");
    const double left = x * W / tw, top = y * H / th, right = left + w * W / tw, bottom = top + h * H / th;
    return {{left, top}, {right, top}, {left, bottom}, {right, bottom}};
}

SRShellLayout SRUnifiedProcessor::getLayoutForShell(const std::optional<std::string>& shellPath, Size renderSize,
                                                    Size contentSize) const {
    return layoutFromTemplate(shellPath ? readShellTemplate(*shellPath) : std::nullopt, renderSize, contentSize);
}

}  // namespace plinthora
