// Contour-based corner refinement (CORNER_REFINE_CONTOUR): fit a line to the
// contour pixels of each side and intersect neighbouring lines.
#pragma once

#include <cstddef>

#include "types.h"

namespace markvane::corner_refine {

// Returns the refitted corners, or `vertices` unchanged when any requirement
// fails. Never drops a candidate.
Quad refine_from_contour(const Quad& vertices, const Vec<Point2i>& contour);
Quad refine_from_contour(const Quad& vertices, const Point2i* contour, size_t count);

}  // namespace markvane::corner_refine
