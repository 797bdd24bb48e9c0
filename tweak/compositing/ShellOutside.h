// What lies outside the device a shell draws, so that a picture placed in
// its screen never shows beyond the device's own outline (a rounded screen
// whose bounding rectangle reaches the clear surroundings, a quad drawn a
// little too large).
#pragma once

#include "platform/ports/Imaging.h"

#include <memory>
#include <optional>
#include <string>

namespace plinthora {

// The pixels reached from the image's border through pixels that are not
// fully opaque (4-connected), worked out in one pass over the shell.
ShellOutside outsideOfShell(const Bitmap& shell);

// The outside of the shell at `path` whose pixels are `shell`, kept for as
// long as the file keeps its size and modification time, so that a shell
// used for screenshot after screenshot is worked out once. Without a path
// it is worked out each time.
std::shared_ptr<const ShellOutside> outsideOfShellFile(const std::optional<std::string>& path, const Bitmap& shell);

// What a picture placed at `quad` is cut to: the shell's outside when the
// shell encloses the quad's centre (its screen is closed), else nothing, so
// that a shell whose screen is open at an edge draws as it always did.
std::shared_ptr<const ShellOutside> outsideForPlacement(std::shared_ptr<const ShellOutside> outside,
                                                         const Quad& quad);

// Clears the pixels of `canvas` (the shell's size) that lie outside, in rows
// [top, bottom).
void clearOutside(Bitmap& canvas, const ShellOutside& outside, int top, int bottom);

}  // namespace plinthora
