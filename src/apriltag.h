// The AprilTag quad path: decimation, blur and the tile threshold; component
// labelling, boundary edges and their clusters; quad fitting.
//
// Coordinates of this path: a three-valued image has the gray image's layout;
// an EdgePoint lies between two pixels, in half-pixel units (2x + dx); fitted
// corners put pixel column i between x = i and x = i + 1, so an edge between
// columns 3 and 4 lies at x = 4.0. Candidates are handed on in that
// convention, without a half-pixel shift.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "params.h"
#include "types.h"

namespace markvane::apriltag {

// Three-valued image values.
inline constexpr uint8_t kBlack = 0;
inline constexpr uint8_t kUndecided = 127;
inline constexpr uint8_t kWhite = 255;

// Tent-filter shrink by `factor` (> 1.0; the caller skips it otherwise).
GrayImage decimate(const GrayImage& gray, double factor);

// Gaussian blur for sigma > 0, sharpening for sigma < 0 (sigma != 0). A
// magnitude outside the normal single-precision range is clamped into it, and
// above 256 to 256 (see gaussian_taps).
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
  WorkVec<uint32_t> labels;  // per pixel; UINT32_MAX for undecided pixels
  WorkVec<uint32_t> parents;  // per label
  WorkVec<uint32_t> sizes;    // per label (meaningful at roots)
};

struct Boundaries {
  Forest forest;
  Vec<BoundaryEdge> edges;  // production order
};

// Labels the three-valued image and emits one edge per black/white
// neighbour pair. An image of 2^32 - 1 pixels or more, or with
// a side of 2^30 or more, is beyond 32-bit pixel indices and edge
// coordinates: it gets an empty result (no labels, no edges), as does an
// empty image.
// This and the two functions after it are the plain, stage-by-stage form of
// the clustering: detection uses cluster_set, which gives the same clusters,
// and these expose each stage on its own. With `listed_unions`, every band
// of rows is labelled and lists its unions before any union is made, as a
// band labelled ahead on another thread does; the forest is the same.
Boundaries boundary_edges(const GrayImage& three_valued, bool listed_unions = false);

// (smaller root << 32) | larger root of the two pixels; compresses paths.
uint64_t edge_key(WorkVec<uint32_t>& parents, const WorkVec<uint32_t>& labels, uint32_t pixel_a,
                  uint32_t pixel_b);

// Edge points grouped by key, clusters with fewer than min_points points
// dropped, in ascending key order.
Vec<Vec<EdgePoint>> boundary_clusters(const Vec<BoundaryEdge>& edges, Forest& forest,
                                      uint32_t min_points);

// A least-squares line: unit normal (nx, ny) and offset c with
// nx x + ny y + c = 0 on the line; mse is the weighted mean squared distance
// along the normal, err = mse times the number of points.
struct LineFit {
  double nx = 0.0;
  double ny = 0.0;
  double c = 0.0;
  double mse = 0.0;
  double err = 0.0;
};

// Prefix sums of the weighted moments of an ordered point list, so that a
// line over any cyclic range of points costs the same. sums[c][k] is moment
// c summed over points 0..k-1, the moments being W, W fx, W fy, W fx fx,
// W fx fy, W fy fy, with fx = x / 2 + 1/2 and fy = y / 2 + 1/2 (pixel
// units) and W the point's weight. Stored moment by moment, so that a pass
// over consecutive ranges reads each array in order.
struct LineFits {
  std::array<WorkVec<double>, 6> sums;  // points + 1 entries each, the first zero

  size_t points() const { return sums[0].size() - 1; }

  // Moment sums of points i0..i1, both included, wrapping past the end when
  // i1 < i0.
  std::array<double, 6> range(size_t i0, size_t i1) const;
  // Line through points i0..i1 (cyclic); nullopt for fewer than 3 points or
  // no weight.
  std::optional<LineFit> fit(size_t i0, size_t i1) const;
};

// Moments of `points` in their order. A point's weight is 1 plus the gradient
// magnitude of `image` at the pixel holding its (fx, fy), or 1 where that
// pixel has no four neighbours.
LineFits line_fits(std::span<const EdgePoint> points, const GrayImage& image);

// Clusters stored one after the other in one allocation: cluster r is
// points [ends[r - 1], ends[r]) (from 0 for the first).
struct ClusterSet {
  // Room for points that are all written before they are read.
  struct Points {
    struct Free {
      void operator()(EdgePoint* p) const noexcept { MiAllocator<EdgePoint>().deallocate(p, 0); }
    };
    std::unique_ptr<EdgePoint[], Free> buffer;
    void reset(size_t n) { buffer.reset(n == 0 ? nullptr : MiAllocator<EdgePoint>().allocate(n)); }
    EdgePoint* data() const { return buffer.get(); }
  };
  Points points;
  Vec<size_t> ends;

  size_t size() const { return ends.size(); }
  std::span<const EdgePoint> operator[](size_t r) const {
    const size_t first = r == 0 ? 0 : ends[r - 1];
    return {points.data() + first, ends[r] - first};
  }
};

// The clusters of boundary_edges followed by boundary_clusters, computed
// with a compact edge list (a few bytes per edge instead of a BoundaryEdge),
// the labelling overlapped with the edge scan and the grouping split into
// bands of rows; the result does not depend on the number of threads.
// Clusters of more than max_points points are dropped as well.
ClusterSet cluster_set(const GrayImage& three_valued, uint32_t min_points,
                       uint64_t max_points = std::numeric_limits<uint64_t>::max());

// cluster_set with every cluster in a vector of its own.
Vec<Vec<EdgePoint>> image_clusters(const GrayImage& three_valued, uint32_t min_points);

// The cluster sizes the fitter takes: at least the configured minimum (never
// below 24 points) and at most six times the preprocessed image's width
// plus height.
uint32_t min_cluster_points(const DetectorParams& params);
uint64_t max_cluster_points(const GrayImage& preprocessed);

// The quad search on its own, for points already in fitting order: the
// strongest corner maxima (as the fitter picks them) and the quadruple of
// them whose sides fit best, as positions among the maxima with the total
// error. The fitter decides on bounds of the side fits where they settle
// it; `exhaustive` fits every side the search visits instead, which must
// give the same result.
struct QuadSearch {
  Vec<uint32_t> maxima;
  std::optional<std::array<size_t, 4>> best;
  double total = 0.0;
};
QuadSearch search_quad(std::span<const EdgePoint> ordered, const GrayImage& preprocessed,
                       const DetectorParams& params, bool exhaustive);

// Quadrilateral fitted to one cluster, corners clockwise on screen from the
// smallest angle around the centre; nullopt when the cluster is rejected.
// `preprocessed` is the image the cluster was found in (decimated, blurred).
std::optional<Quad> fit_quad(Vec<EdgePoint> cluster, const GrayImage& preprocessed,
                             const DetectorParams& params);
std::optional<Quad> fit_quad(std::span<const EdgePoint> cluster, const GrayImage& preprocessed,
                             const DetectorParams& params);

// How far, in full-resolution pixels, refine_edges looks for a side of a quad
// fitted in an image shrunk by `decimate` (0 or 1 for no shrinking).
float edge_reach(double decimate);

// A fitted quad (dark inside, corners in the fitter's convention, pixels of
// `gray`) with every side moved onto the dark-to-light step that `gray` shows
// within `reach` pixels of it, the corners recomputed as the intersections of
// neighbouring sides. A side with too few clear steps along it stays where it
// was; the quad comes back unchanged when the moved one is not convex or a
// corner moved farther than `reach`.
Quad refine_edges(const GrayImage& gray, const Quad& quad, float reach);

// The candidate source of CORNER_REFINE_APRILTAG: corners in full-resolution
// pixels, in cluster order; with april_tag_refine_edges, each quad's sides are
// refined on `gray` before it is handed on.
Vec<Candidate> candidates(const GrayImage& gray, const DetectorParams& params);

}  // namespace markvane::apriltag
