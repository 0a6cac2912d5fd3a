// Sub-pixel corner search: moves a corner to where the window's gradients are
// most nearly orthogonal to the vectors from the corner (no zero zone;
// termination by iteration count or eps).
#pragma once

#include <cstdint>

#include "types.h"

namespace markvane::cornersubpix {

// half_win w gives a (2w+1)^2 window. Never fails: returns (x0, y0) unchanged
// for a start outside the image, w = 0, or a result more than w pixels away.
Point2f corner_sub_pix(const GrayImage& gray, uint32_t half_win, int32_t max_iters, Point2f start,
                       double eps);

}  // namespace markvane::cornersubpix
