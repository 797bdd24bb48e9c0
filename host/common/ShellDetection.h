// A shell's template found in the frame itself: the clear screen the device
// encloses, its four sides fitted as lines. An upright screen gives the
// rectangle form, a screen seen in perspective the corner form.
#pragma once

#include "platform/ports/Imaging.h"
#include "platform/ports/Value.h"

#include <optional>
#include <string>

namespace plinthora::host {

struct ShellTemplate {
    bool rectangle = true;  // rectangle form, else corner form
    double templateWidth = 0, templateHeight = 0;
    Quad corners;  // the screen's corners (both forms), in template pixels
    std::string json() const;
};

struct Detection {
    std::optional<ShellTemplate> found;
    std::string why;  // when nothing was found: one line saying why
};

// The screen of a frame: the largest clear area the device encloses (not
// reachable from the picture's border through pixels that are not fully
// opaque). Its sides are fitted through the antialiased edge, from the
// outside in, so that rounded corners, a notch, an island or a punch-hole
// camera do not pull them.
Detection detectScreen(const Bitmap& frame);

// The template of a frame collection's JSON: "screen" {x, y, width,
// height} measured on "frameSize" (the picture's own size when it is
// missing). nullopt when the document is not of that kind.
std::optional<ShellTemplate> templateFromFrameJson(const Value& doc, int frameWidth, int frameHeight);

}  // namespace plinthora::host
