// The fused warp under a shell, planned once for the frames of a movie.
#pragma once

#include "platform/ports/Imaging.h"

#include <memory>

namespace plinthora::imaging {

// warpUnder() for many pictures of one size on one shell and quad.
std::shared_ptr<const Imaging::PerspectivePlan> planWarpUnder(int contentWidth, int contentHeight, const Quad& quad,
                                                              Image shell,
                                                              std::shared_ptr<const ShellOutside> outside = nullptr);

}  // namespace plinthora::imaging
