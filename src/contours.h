// Border following on the padded label image and the candidate filters of the
// adaptive-threshold (ArUco) candidate source.
#pragma once

#include <cstdint>

#include "imgproc.h"
#include "params.h"
#include "types.h"

namespace markvane::contours {

// Candidates of one threshold window: threshold, trace every border, keep
// convex quadrilaterals of plausible size (and refit their corners from the
// contour for CORNER_REFINE_CONTOUR). Output in contour start order.
Vec<Candidate> find_candidates(const GrayImage& gray, const DetectorParams& params, int32_t window);

// The tracing half of find_candidates, on a finished threshold of `gray`.
Vec<Candidate> trace_candidates(const GrayImage& gray, const DetectorParams& params,
                                const imgproc::BitLabels& labels);

// Every border of a threshold plane, in the order they are followed, each
// with all its points in order (for checking the border following itself).
// With skip_small, the borders of components that fit in a 3 x 3 box may be
// left out, and the four-point holes around single background pixels are,
// as the candidate search leaves them where it keeps no border of ten
// points or fewer.
struct Border {
  bool hole;
  Vec<Point2i> points;
};
Vec<Border> trace_borders(const imgproc::BitLabels& labels, bool skip_small = false);

}  // namespace markvane::contours
