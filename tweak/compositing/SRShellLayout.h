// Shell templates: where a shell image's screen lies, and the four points
// the content's corners go to.
#pragma once

#include "platform/ports/Imaging.h"
#include "platform/ports/Value.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace plinthora {

struct SRShellLayout {
    Point lt, rt, lb, rb;
    bool operator==(const SRShellLayout&) const = default;
};

// A template that cannot be read as numbers: a non-object top level, or a
// read key holding null, an array or an object.
struct TemplateError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// frame.png → frame.cfg; a.b.png → a.b.cfg; a path without extension gets
// ".cfg" appended.
std::string templatePathForShell(const std::string& shellPath);

// The template as a parsed JSON value; nullopt when there is none, it
// cannot be read, or it is not JSON.
std::optional<Value> readShellTemplate(const std::string& shellPath);

// A key read as a 32-bit float: numbers directly, booleans as 1/0, strings
// by their leading number, missing keys as 0. Throws TemplateError for a
// non-object template or a key holding null, an array or an object.
float templateNumber(const Value& tmpl, const char* key);

enum class TemplateForm { Corner, Rectangle, Absent };
// Corner form when the object has left_top_x, else rectangle form when it
// has x, else absent. Throws TemplateError for a non-object top level.
TemplateForm templateForm(const std::optional<Value>& tmpl);

// The four points of a parsed template: its corners, or its rectangle's; the
// default quad when there is no template, or a corner template without a
// positive template size. Throws TemplateError as templateNumber does.
SRShellLayout layoutFromTemplate(const std::optional<Value>& tmpl, Size renderSize, Size contentSize);

// The corners of a rectangle-form template on a canvas of `renderSize`; one
// without a positive template size is taken as measured on the canvas.
SRShellLayout rectangleLayout(const Value& tmpl, Size renderSize);

// A centred upright rectangle with the content's aspect ratio.
SRShellLayout defaultQuad(Size render, Size content);

}  // namespace plinthora
