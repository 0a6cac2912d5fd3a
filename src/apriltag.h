// The AprilTag quad path: decimation, blur and the tile threshold; component
// labelling, boundary edges and their clusters; quad fitting.
//
// Coordinates of this path: a three-valued image has the gray image's layout;
// an EdgePoint lies between two pixels, in half-pixel units (2x + dx); fitted
// corners put pixel column i between x = i and x = i + 1, so an edge between
// columns 3 and 4 lies at x = 4.0. Candidates are handed on in that
// convention, without a half-pixel shift.
#pragma once

#include <cstdint>
#include <optional>

#include "params.h"
#include "types.h"

namespace markvane::apriltag {

// Three-valued image values.
inline constexpr uint8_t kBlack = 0;
inline constexpr uint8_t kUndecided = 127;
inline constexpr uint8_t kWhite = 255;

// Tent-filter shrink by `factor` (> 1.0; the caller skips it otherwise).
GrayImage decimate(const GrayImage& gray, double factor);

// Gaussian blur for sigma > 0, sharpening for sigma < 0 (sigma != 0).
GrayImage blur(const GrayImage& gray, double sigma);

// Local min/max threshold over 4 x 4 tiles: 0, 255, or 127 where the tile
// neighbourhood's contrast is below `min_white_black_diff`; optionally a
// closing (dilate, then erode) of the white regions.
GrayImage threshold(const GrayImage& gray, int32_t min_white_black_diff, bool deglitch);

struct EdgePoint {
  int32_t x = 0;   // half-pixel units: 2 px + dx
  int32_t y = 0;   // 2 py + dy
  int32_t gx = 0;  // -255, 0 or 255, positive when white lies towards +x
  int32_t gy = 0;
};

struct BoundaryEdge {
  EdgePoint point;
  uint32_t from_pixel = 0;  // y * width + x
  uint32_t to_pixel = 0;
};

// Connected components of the decided pixels: black joined through
// 4-neighbourhoods, white through 8-neighbourhoods, union by size.
struct Forest {
  Vec<uint32_t> labels;   // per pixel; UINT32_MAX for undecided pixels
  Vec<uint32_t> parents;  // per label
  Vec<uint32_t> sizes;    // per label (meaningful at roots)
};

struct Boundaries {
  Forest forest;
  Vec<BoundaryEdge> edges;  // production order
};

// Labels the three-valued image and emits one edge per black/white
// neighbour pair, in one pass.
Boundaries boundary_edges(const GrayImage& three_valued);

// (smaller root << 32) | larger root of the two pixels; compresses paths.
uint64_t edge_key(Vec<uint32_t>& parents, const Vec<uint32_t>& labels, uint32_t pixel_a,
                  uint32_t pixel_b);

// Edge points grouped by key, clusters with fewer than min_points points
// dropped, in ascending key order.
Vec<Vec<EdgePoint>> boundary_clusters(const Vec<BoundaryEdge>& edges, Forest& forest,
                                      uint32_t min_points);

// Quadrilateral fitted to one cluster, corners clockwise on screen from the
// smallest angle around the centre; nullopt when the cluster is rejected.
// `preprocessed` is the image the cluster was found in (decimated, blurred).
std::optional<Quad> fit_quad(Vec<EdgePoint> cluster, const GrayImage& preprocessed,
                             const DetectorParams& params);

// The candidate source of CORNER_REFINE_APRILTAG: corners in full-resolution
// pixels, in cluster order.
Vec<Candidate> candidates(const GrayImage& gray, const DetectorParams& params);

}  // namespace markvane::apriltag
