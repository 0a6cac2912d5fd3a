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
// With skip_short, whatever the candidate search may leave out where it keeps
// no border of 17 points or fewer is: the borders of components that fit in
// a 3 x 3 box (on rows with many border starts) or in a closed 4 x 4 box
// (one whose foreground touches none outside it), and those around
// background inside a closed 3 x 3 box, such as the four-point holes around
// single background pixels.
struct Border {
  bool hole;
  Vec<Point2i> points;
};
Vec<Border> trace_borders(const imgproc::BitLabels& labels, bool skip_short = false);

}  // namespace markvane::contours
