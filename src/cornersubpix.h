// Sub-pixel corner search: moves a corner to where the window's gradients are
// most nearly orthogonal to the vectors from the corner (no zero zone;
// termination by iteration count or eps).
#pragma once

#include <cstdint>

#include "types.h"

namespace markvane::cornersubpix {

// half_win w gives a (2w+1)^2 window. A window larger than the image is
// reduced to the largest one that fits, w = (min(width, height) - 1) / 2 but at
// least 1, and the search then runs exactly as if called with that window. Returns
// (x0, y0) unchanged for a start outside the image or not finite, an empty
// image, w = 0, or a result more than w pixels away. Throws std::length_error
// for a requested w above 8190 (a patch past 1 GiB), whatever the image.
Point2f corner_sub_pix(const GrayImage& gray, uint32_t half_win, int32_t max_iters, Point2f start,
                       double eps);

}  // namespace markvane::cornersubpix
