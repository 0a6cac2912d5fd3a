#include "chessboard.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "cornersubpix.h"
#include "imgproc.h"

namespace markvane::chessboard {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Sub-pixel refinement of the final corners: a 5 x 5 window keeps the search
// inside one square even on small boards.
constexpr uint32_t kRefineHalfWindow = 2;
constexpr int32_t kRefineIterations = 15;
constexpr double kRefineEps = 0.1;

// Corners closer than this to the image edge cannot be trusted: the squares
// around them may be cut off.
constexpr float kBorderMargin = 8.0f;

// What the second linking pass adds to the radius: the distance erosion
// leaves between the corners of two black squares that meet at a board
// corner. Each square loses its outer pixel, and a polygon corner sits on
// the centre of the last pixel left, 1.5 px from the square's true edge on
// both axes: on a board seen square-on, 1.5 * sqrt(2) = 2.1 px along the
// diagonal for each square, 4.2 px for the pair; turned by 45 degrees a
// corner recedes by 2 px (the 3 x 3 element's half-diagonal) plus the half
// pixel, 5 px for the pair. 0.32 of the side covers the rest even for the
// smallest quads (sides of 4 px and more). Measured on rendered boards with
// squares of 12 to 24 px: 3 px misses some under 18 px, and 5 or 6 px finds
// no more boards but lets the corners of sharper (foreshortened) board
// corners link from further off, a worse start for the refinement.
constexpr float kErosionGap = 4.0f;

// Refinement window used again when the usual one gives up on a corner
// found by the wider linking: its start, the midpoint of two quad corners
// that may lie up to the full radius apart, can be more than
// kRefineHalfWindow px off at a sharp board corner.
constexpr uint32_t kRetryHalfWindow = 3;

// A dark blob's outline reduced to four corners, sorted by angle around
// their centroid (clockwise on screen, as image y points down).
struct Quad {
  markvane::Quad corners;
  float min_side = 0.0f;
};

// ---- binarisation -------------------------------------------------------

// out[i] = min(a[i], b[i], c[i]), or whether that minimum is non-zero, for
// i < n. Written on 16-byte vectors: left to itself the compiler reuses
// loads from one step to the next in scalar registers instead.
typedef uint8_t v16u8 __attribute__((vector_size(16)));

void min3(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* out, size_t n, bool nonzero) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    v16u8 x, y, z;
    std::memcpy(&x, a + i, 16);
    std::memcpy(&y, b + i, 16);
    std::memcpy(&z, c + i, 16);
    v16u8 m = x < y ? x : y;
    m = m < z ? m : z;
    if (nonzero) m = v16u8(m != 0) & 1;
    std::memcpy(out + i, &m, 16);
  }
  for (; i < n; ++i) {
    const uint8_t m = std::min(std::min(a[i], b[i]), c[i]);
    out[i] = nonzero ? uint8_t(m != 0) : m;
  }
}

// 3 x 3 erosion into `out`, a padded (W + 2) x (H + 2) label image that is
// zero on entry or holds an earlier erosion (only the pixels this one writes
// were ever non-zero). `row(py)` gives padded row py of the labels (1 = dark)
// for py = 1 .. H, in increasing order. Black squares of a board touch only
// at their corners; shrinking them by a pixel separates them there, so each
// becomes a blob of its own. The outermost image rows and columns stay 0
// (their neighbourhoods leave the image).
template <class RowSource>
void erode(RowSource&& row, uint32_t w, uint32_t h, Vec<uint8_t>& out) {
  if (w < 3 || h < 3) return;
  const size_t stride = size_t(w) + 2;
  Vec<uint8_t> column_min(stride);  // minimum of each padded column over three rows
  const uint8_t* c = column_min.data();
  const uint8_t* up = row(1);
  const uint8_t* mid = row(2);
  for (size_t py = 2; py < h; ++py) {
    const uint8_t* down = row(py + 1);
    min3(up + 1, mid + 1, down + 1, column_min.data() + 1, w, false);
    min3(c + 1, c + 2, c + 3, out.data() + py * stride + 2, w - 2, true);
    up = mid, mid = down;
  }
}

// Rows of a finished padded label image.
struct LabelRows {
  const Vec<uint8_t>& labels;
  size_t stride;
  const uint8_t* operator()(size_t py) const { return labels.data() + py * stride; }
};

// Rows of the labels gray <= threshold, made on demand: the erosion reads
// each row once, three rows at a time, so the label image itself is never
// stored.
struct OtsuRows {
  const GrayImage& gray;
  uint8_t threshold;
  std::array<Vec<uint8_t>, 3> ring;  // padded rows; their ends stay 0

  OtsuRows(const GrayImage& g, uint8_t t) : gray(g), threshold(t) {
    for (Vec<uint8_t>& r : ring) r.assign(size_t(g.width) + 2, 0);
  }
  const uint8_t* operator()(size_t py) {
    const size_t w = gray.width;
    const uint8_t* __restrict src = gray.data.data() + (py - 1) * w;
    uint8_t* __restrict dst = ring[py % 3].data() + 1;
    for (size_t x = 0; x < w; ++x) dst[x] = uint8_t(src[x] <= threshold);
    return dst - 1;
  }
};

// ---- border following -----------------------------------------------------

// Neighbour directions, clockwise on screen starting at west.
constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kEast = 4;
constexpr uint8_t kTraced = 2;
constexpr uint8_t kTracedEastBackground = 254;

// Border following on the padded byte labels (0 background, 1 dark, 2 and
// 254 traced). The zero frame means every neighbour of an image pixel exists.
struct Tracer {
  uint8_t* labels;
  size_t stride;
  uint32_t width;
  uint64_t max_points;  // safety bound W * H + 2
  std::array<ptrdiff_t, 8> step;

  Tracer(Vec<uint8_t>& l, uint32_t w, uint32_t h)
      : labels(l.data()), stride(size_t(w) + 2), width(w), max_points(uint64_t(w) * h + 2) {
    for (int d = 0; d < 8; ++d) step[d] = ptrdiff_t(kDy[d]) * ptrdiff_t(stride) + kDx[d];
  }

  size_t index(Point2i p) const { return (size_t(p.y) + 1) * stride + size_t(p.x) + 1; }

  // First non-zero neighbour of `q` searching origin - 1, origin - 2, ...,
  // origin - 8; `east_background` tells whether east was examined (and
  // empty) before it. The origin itself, examined last, is the pixel the
  // trace came from (or the second pixel), so a direction is always found.
  int next_direction(size_t q, int origin, bool& east_background) const {
    east_background = false;
    for (int k = 1; k < 8; ++k) {
      const int dir = (origin - k) & 7;
      if (labels[q + step[dir]] != 0) return dir;
      east_background |= dir == kEast;
    }
    return origin;
  }

  // Traces the border through `start`, looking for the second pixel from
  // direction `start_dir` on (clockwise), and fills `contour`.
  void trace(Point2i start, int start_dir, Vec<Point2i>& contour) const {
    contour.clear();
    const size_t p0 = index(start);
    int d = -1;
    for (int k = 0; k < 8 && d < 0; ++k) {
      const int dir = (start_dir + k) & 7;
      if (labels[p0 + step[dir]] != 0) d = dir;
    }
    if (d < 0) {
      contour.push_back(start);
      labels[p0] = kTracedEastBackground;
      return;
    }
    const size_t p1 = p0 + step[d];
    size_t q = p0;
    Point2i qp = start;
    int origin = d;
    for (;;) {
      contour.push_back(qp);
      bool east_background = false;
      const int e = next_direction(q, origin, east_background);
      const size_t n = q + step[e];
      if (uint32_t(qp.x) == width - 1 || east_background) {
        labels[q] = kTracedEastBackground;
      } else if (labels[q] == 1) {
        labels[q] = kTraced;
      }
      if ((q == p1 && n == p0) || contour.size() >= max_points) break;
      q = n;
      qp = {qp.x + kDx[e], qp.y + kDy[e]};
      origin = (e + 4) & 7;
    }
  }
};

// ---- quads ----------------------------------------------------------------

// Working buffers of one search, reused from contour to contour.
struct Buffers {
  Vec<Point2i> contour;
  Vec<Point2f> points;
  Vec<Point2f> polygon;
  Vec<Point2f> scratch;
};

// Smallest polygon tolerance (1 to 7 px) at which the contour (in
// buf.points), opened at points lo < hi, has fewer than five vertices; the
// contour is a quad when that polygon has exactly four.
//
// Douglas-Peucker is monotone in its tolerance: the pair that opens the
// closed polygon does not depend on it, and a chain split at one
// tolerance is split at the same point at every smaller one, so a smaller
// tolerance keeps every vertex of a larger one. The largest tolerance is
// therefore tried first: when even it leaves five vertices or more (most
// contours of clutter and noise), so does every other, and the contour is
// dropped after one simplification instead of seven.
bool polygon_opened_at(Buffers& buf, size_t lo, size_t hi, markvane::Quad& out) {
  const size_t n = buf.points.size();
  auto simplify = [&](int eps) {
    imgproc::approx_poly_dp_closed_at(buf.points.data(), n, lo, hi, float(eps), buf.polygon, buf.scratch, 4);
    return buf.polygon.size();
  };
  constexpr int kMaxEps = 7;
  if (simplify(kMaxEps) >= 5) return false;
  int eps = 1;
  while (eps < kMaxEps && simplify(eps) >= 5) ++eps;
  if (eps == kMaxEps) simplify(kMaxEps);
  if (buf.polygon.size() != 4) return false;
  std::copy(buf.polygon.begin(), buf.polygon.end(), out.begin());
  return true;
}

// Whether the polygon just made by polygon_opened_at(buf, lo, hi) has the
// two opening points as opposite corners: the first chain then added exactly
// one vertex between them.
bool opened_across(const Buffers& buf, size_t hi) {
  const Point2f b = buf.points[hi];
  return buf.polygon.size() == 4 && buf.polygon[2].x == b.x && buf.polygon[2].y == b.y;
}

// The contour's quad, if any, opened as every closed simplification is (the
// point farthest from the first one, and the one farthest from that);
// `opening` is that pair, `across` whether it ended as opposite corners.
bool contour_polygon(Buffers& buf, markvane::Quad& out, std::pair<size_t, size_t>& opening,
                     bool& across) {
  const size_t n = buf.contour.size();
  buf.points.resize(n);
  for (size_t i = 0; i < n; ++i) buf.points[i] = {float(buf.contour[i].x), float(buf.contour[i].y)};
  opening = imgproc::closed_dp_opening(buf.points.data(), n);
  const bool found = polygon_opened_at(buf, opening.first, opening.second, out);
  across = found && opened_across(buf, opening.second);
  return found;
}

// The same contour (already in buf.points) opened across its width instead.
//
// The usual opening, the point farthest from the contour's first point and
// the one farthest from that, can be two neighbouring corners of a square
// seen at a slant (a rhombus whose short diagonal is no longer than its
// sides). The other chain then holds three corners and a side nearly
// parallel to the chord, and its first split falls wherever along that
// side noise puts the farthest point: a vertex in mid-side. Either five
// vertices survive every tolerance and the square is lost, or a larger
// tolerance keeps that point and drops the true corner next to it, leaving
// the quad's corner several pixels short of the board corner, too far for
// any linking radius. Opened at the point farthest from the centroid and
// the one farthest from it (in a parallelogram, the two ends of the long
// diagonal), each chain holds one corner, its point farthest from the
// chord. Nothing when that is the `usual` opening again or is not across the
// polygon either.
bool reopened_polygon(Buffers& buf, std::pair<size_t, size_t> usual, markvane::Quad& out) {
  const size_t n = buf.points.size();
  double sx = 0.0, sy = 0.0;
  for (const Point2f& p : buf.points) sx += p.x, sy += p.y;
  const Point2f centroid{float(sx / double(n)), float(sy / double(n))};
  const size_t a = imgproc::farthest_point(buf.points.data(), n, centroid);
  const size_t b = imgproc::farthest_point(buf.points.data(), n, buf.points[a]);
  const size_t lo = std::min(a, b), hi = std::max(a, b);
  if (lo == hi || std::make_pair(lo, hi) == usual) return false;
  return polygon_opened_at(buf, lo, hi, out) && opened_across(buf, hi);
}

// IEEE total order as a signed integer key (-0 sorts before +0, -pi before pi).
int32_t total_order_key(float v) {
  const int32_t bits = std::bit_cast<int32_t>(v);
  return bits < 0 ? bits ^ 0x7fffffff : bits;
}

markvane::Quad sort_by_angle(const markvane::Quad& q) {
  const float cx = (((q[0].x + q[1].x) + q[2].x) + q[3].x) * 0.25f;
  const float cy = (((q[0].y + q[1].y) + q[2].y) + q[3].y) * 0.25f;
  std::array<int32_t, 4> key;
  std::array<int, 4> order = {0, 1, 2, 3};
  for (int i = 0; i < 4; ++i) key[i] = total_order_key(std::atan2(q[i].y - cy, q[i].x - cx));
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key[a] < key[b]; });
  markvane::Quad out;
  for (int i = 0; i < 4; ++i) out[i] = q[order[i]];
  return out;
}

float distance(Point2f a, Point2f b) {
  const float dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

// Shape filters of a board square seen in perspective: convex, not tiny and
// not most of the image, sides within a factor 4 of each other, not
// collapsed along a diagonal, and not too skewed.
std::optional<Quad> checked_quad(const markvane::Quad& p, float image_area) {
  if (!imgproc::is_convex(p)) return std::nullopt;
  float shoelace = 0.0f;
  for (int i = 0; i < 4; ++i) shoelace += p[i].x * p[(i + 1) & 3].y - p[(i + 1) & 3].x * p[i].y;
  const float area = 0.5f * std::fabs(shoelace);
  if (!(area >= 25.0f && area <= 0.35f * image_area)) return std::nullopt;

  const float d01 = distance(p[0], p[1]), d12 = distance(p[1], p[2]);
  const float d23 = distance(p[2], p[3]), d30 = distance(p[3], p[0]);
  const float shortest = std::min(std::min(d01, d12), std::min(d23, d30));
  const float longest = std::max(std::max(d01, d12), std::max(d23, d30));
  if (!(shortest >= 4.0f) || longest > 4.0f * shortest) return std::nullopt;
  const float min_diagonal = 0.15f * (((d30 + d01) + d12) + d23);
  if (distance(p[0], p[2]) < min_diagonal || distance(p[1], p[3]) < min_diagonal) return std::nullopt;
  if (!(d01 * d12 < 1.8f * area)) return std::nullopt;
  return Quad{p, shortest};
}

// First x in [x, w) whose label is non-zero (`want_zero` false) or zero
// (true); w if there is none. Eight labels at a time: after erosion a board
// image is mostly long runs of one value.
uint32_t next_run_edge(const uint8_t* row, uint32_t x, uint32_t w, bool want_zero) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    for (; x + 8 <= w; x += 8) {
      uint64_t v;
      std::memcpy(&v, row + x, 8);
      // The lowest flagged byte is exact: for zeros, the classic has-zero-byte
      // test, whose false positives only ever lie above a true zero byte.
      const uint64_t hits = want_zero ? (v - kOnes) & ~v & kHigh : v;
      if (hits != 0) return x + uint32_t(std::countr_zero(hits) / 8);
    }
  }
  while (x < w && (row[x] == 0) != want_zero) ++x;
  return x;
}

// Scans the eroded labels in row-major order, traces every outer and hole
// border, and turns the contours of at least 12 points that pass the shape
// filters into quads, in contour start order.
//
// With `reopened`, also the quads of the same contours opened across their
// width (see reopened_polygon) where the usual opening was not across the
// polygon or gave no quad; the usual quad elsewhere. Left empty when that
// changes no quad.
Vec<Quad> find_quads(Vec<uint8_t>& labels, uint32_t w, uint32_t h, Vec<Quad>* reopened = nullptr) {
  const Tracer tracer(labels, w, h);
  const float image_area = float(uint64_t(w) * h);
  Buffers buf;
  Vec<Quad> quads;
  size_t changed = 0;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = labels.data() + (size_t(y) + 1) * tracer.stride + 1;
    // A border starts at a dark pixel with background west (outer, if not
    // yet traced) or east (hole, unless marked as having background east),
    // so only the first and last pixel of a run of dark pixels can start
    // one. Tracing changes labels but never which are zero.
    auto try_start = [&](uint32_t x) {
      const uint8_t v = row[x];
      int start_dir;
      if (v == 1 && x > 0 && row[x - 1] == 0) start_dir = 0;
      else if ((v == 1 || v == kTraced) && x + 1 < w && row[x + 1] == 0) start_dir = kEast;
      else return;
      tracer.trace({int32_t(x), int32_t(y)}, start_dir, buf.contour);
      if (buf.contour.size() < 12) return;
      markvane::Quad corners;
      std::pair<size_t, size_t> opening;
      bool across = false;
      std::optional<Quad> q;
      if (contour_polygon(buf, corners, opening, across))
        q = checked_quad(sort_by_angle(corners), image_area);
      if (q) quads.push_back(*q);
      if (!reopened || (q && across)) {
        if (reopened && q) reopened->push_back(*q);
        return;
      }
      std::optional<Quad> r;
      if (reopened_polygon(buf, opening, corners)) r = checked_quad(sort_by_angle(corners), image_area);
      if (r) {
        reopened->push_back(*r);
        ++changed;
      } else if (q) {
        reopened->push_back(*q);
      }
    };
    for (uint32_t x = next_run_edge(row, 0, w, false); x < w; x = next_run_edge(row, x, w, false)) {
      const uint32_t end = next_run_edge(row, x + 1, w, true);
      try_start(x);
      if (end - 1 > x) try_start(end - 1);
      x = end;
    }
  }
  if (reopened && changed == 0) reopened->clear();
  return quads;
}

// ---- linking --------------------------------------------------------------

// Union-find over quad corners: corner k of quad q is element 4 q + k.
struct DisjointSet {
  Vec<uint32_t> parent;
  Vec<uint8_t> rank;

  explicit DisjointSet(size_t n) : parent(n), rank(n, 0) {
    for (size_t i = 0; i < n; ++i) parent[i] = uint32_t(i);
  }

  uint32_t find(uint32_t e) {
    uint32_t root = e;
    while (parent[root] != root) root = parent[root];
    while (parent[e] != root) e = std::exchange(parent[e], root);
    return root;
  }

  void unite(uint32_t a, uint32_t b) {
    const uint32_t ri = find(a), rj = find(b);
    if (ri == rj) return;
    if (rank[rj] <= rank[ri]) {
      parent[rj] = ri;
      if (rank[rj] == rank[ri]) ++rank[ri];
    } else {
      parent[ri] = rj;
    }
  }
};

struct Box {
  float x0, y0, x1, y1;
};

Box bounds(const Quad& q) {
  Box b{q.corners[0].x, q.corners[0].y, q.corners[0].x, q.corners[0].y};
  for (const Point2f& p : q.corners) {
    b.x0 = std::min(b.x0, p.x), b.y0 = std::min(b.y0, p.y);
    b.x1 = std::max(b.x1, p.x), b.y1 = std::max(b.y1, p.y);
  }
  return b;
}

// What the linking by angle needs of each quad corner: the two sides
// leaving it, and how far erosion pulled it back along its bisector.
struct CornerShapes {
  Vec<std::array<float, 4>> recession;
  Vec<float> largest;                 // of each quad's recessions
  Vec<std::array<Point2f, 8>> sides;  // unit vectors along the two sides leaving each corner
};

// `gap` is kErosionGap per erosion. Each side moves in by about the same
// distance, so a corner of interior angle theta recedes by that distance
// over sin(theta / 2). At a right angle that is 2.5 px per erosion at worst
// (a board turned by 45 degrees, see kErosionGap, whose 4 px for the pair
// leave the rest to the proportional part of the radius), at 60 degrees 1.4
// times as much: squares seen at a slant meet at such sharp corners, where
// the proportional part no longer covers the difference. Angles under 30
// degrees count as 30 (the skew filter keeps those of a parallelogram above
// 34 degrees).
CornerShapes corner_shapes(const Vec<Quad>& quads, float gap) {
  constexpr float kRightAngle = 2.5f;          // px per erosion
  constexpr float kSin45 = 0.70710678f;
  constexpr float kMinHalfSine = 0.25881904f;  // sin(15 degrees)
  const float side_offset = kRightAngle * (gap / kErosionGap) * kSin45;
  const size_t n = quads.size();
  CornerShapes out{Vec<std::array<float, 4>>(n), Vec<float>(n), Vec<std::array<Point2f, 8>>(n)};
  for (size_t i = 0; i < n; ++i) {
    const markvane::Quad& q = quads[i].corners;
    for (int k = 0; k < 4; ++k) {
      const Point2f p = q[k], a = q[(k + 3) & 3], b = q[(k + 1) & 3];
      const float ux = a.x - p.x, uy = a.y - p.y, vx = b.x - p.x, vy = b.y - p.y;
      const float lu = std::sqrt(ux * ux + uy * uy), lv = std::sqrt(vx * vx + vy * vy);
      out.sides[i][2 * k] = {ux / lu, uy / lu};
      out.sides[i][2 * k + 1] = {vx / lv, vy / lv};
      const float cosine = (ux * vx + uy * vy) / (lu * lv);
      const float half_sine = std::sqrt(0.5f * (1.0f - std::clamp(cosine, -1.0f, 1.0f)));
      out.recession[i][k] = side_offset / std::max(half_sine, kMinHalfSine);
    }
    const auto& r = out.recession[i];
    out.largest[i] = std::max(std::max(r[0], r[1]), std::max(r[2], r[3]));
  }
  return out;
}

// Whether corner a of quad i and corner b of quad j could be the two sides
// of one board corner: opposite angles of a crossing of two lines, so each
// side leaving one corner runs on, reversed, as a side leaving the other.
// Within 20 degrees: on rendered boards tilted by 45 to 60 degrees with
// squares of 12 px and more, the 2200 pairs at board corners farther apart
// than the proportional part of the radius stay within 15.
bool facing(const CornerShapes& shapes, uint32_t i, uint32_t a, uint32_t j, uint32_t b) {
  constexpr float kCos = 0.93969262f;  // cos(20 degrees)
  const Point2f u1 = shapes.sides[i][2 * a], u2 = shapes.sides[i][2 * a + 1];
  const Point2f v1 = shapes.sides[j][2 * b], v2 = shapes.sides[j][2 * b + 1];
  auto reversed = [&](Point2f u, Point2f v) { return -(u.x * v.x + u.y * v.y) >= kCos; };
  return (reversed(u1, v1) && reversed(u2, v2)) || (reversed(u1, v2) && reversed(u2, v1));
}

// Unites every corner of quad i with every corner of quad j (i < j) within
// 0.32 of the smaller quad's shortest side, plus `gap` px. Two black squares
// meeting at a board corner leave, after erosion, two quad corners a few
// pixels apart across it.
//
// With `by_angle`, only what lies within the proportional part is united
// unconditionally; beyond it, two corners must face each other (see facing),
// and the gap becomes twice the smaller of their recessions when that is
// wider: the two quad corners at a board corner are opposite angles of one
// crossing, as sharp as each other. The test of the sides keeps the wider
// reach from bridging, say, a patch that hides a board corner and cuts the
// two squares there short.
void link_pair(const Vec<Quad>& quads, const Vec<Box>& boxes, uint32_t i, uint32_t j, float gap,
               const CornerShapes* by_angle, DisjointSet& set) {
  const float m = std::min(quads[i].min_side, quads[j].min_side);
  // Boxes farther apart than the reach hold no joinable pair (the margin
  // above 0.32 absorbs rounding).
  const float widest =
      by_angle ? std::max(gap, 2.0f * std::min(by_angle->largest[i], by_angle->largest[j])) : gap;
  const float reach = m * 0.33f + widest;
  if (boxes[j].x0 - boxes[i].x1 > reach || boxes[i].x0 - boxes[j].x1 > reach ||
      boxes[j].y0 - boxes[i].y1 > reach || boxes[i].y0 - boxes[j].y1 > reach)
    return;
  // Without a gap, the bound is rounded exactly as the first pass always was.
  const float radius = m * 0.32f + gap;
  const float t = gap == 0.0f ? m * 0.32f * m * 0.32f : radius * radius;
  for (uint32_t a = 0; a < 4; ++a) {
    for (uint32_t b = 0; b < 4; ++b) {
      const float dx = quads[i].corners[a].x - quads[j].corners[b].x;
      const float dy = quads[i].corners[a].y - quads[j].corners[b].y;
      const float d2 = dx * dx + dy * dy;
      if (!by_angle) {
        if (d2 <= t) set.unite(4 * i + a, 4 * j + b);
      } else if (d2 <= m * 0.32f * m * 0.32f) {
        set.unite(4 * i + a, 4 * j + b);
      } else {
        const float sharp = 2.0f * std::min(by_angle->recession[i][a], by_angle->recession[j][b]);
        const float r = m * 0.32f + std::max(gap, sharp);
        if (d2 <= r * r && facing(*by_angle, i, a, j, b)) set.unite(4 * i + a, 4 * j + b);
      }
    }
  }
}

// Links the corners of every pair of quads that come close. Pairs are met in
// a sweep over the quads sorted by left edge rather than all against all, so
// a frame full of small squares stays cheap; the groups that come out are
// the connected parts of the "close" relation, whatever the order of the
// unions, and only they are used.
DisjointSet link_corners(const Vec<Quad>& quads, float gap, bool by_angle) {
  const uint32_t n = uint32_t(quads.size());
  DisjointSet set(4 * size_t(n));
  Vec<Box> boxes(n);
  Vec<uint32_t> by_left(n);
  for (uint32_t i = 0; i < n; ++i) boxes[i] = bounds(quads[i]), by_left[i] = i;
  std::stable_sort(by_left.begin(), by_left.end(),
                   [&](uint32_t a, uint32_t b) { return boxes[a].x0 < boxes[b].x0; });
  const CornerShapes shapes = by_angle ? corner_shapes(quads, gap) : CornerShapes{};
  for (uint32_t a = 0; a < n; ++a) {
    const uint32_t i = by_left[a];
    // Later quads start no further left; once one starts beyond i's reach
    // (which bounds the reach of every pair with i), so do all after it.
    const float widest = by_angle ? std::max(gap, 2.0f * shapes.largest[i]) : gap;
    const float reach = quads[i].min_side * 0.33f + widest;
    for (uint32_t b = a + 1; b < n && boxes[by_left[b]].x0 - boxes[i].x1 <= reach; ++b) {
      const uint32_t j = by_left[b];
      link_pair(quads, boxes, std::min(i, j), std::max(i, j), gap, by_angle ? &shapes : nullptr, set);
    }
  }
  return set;
}

// ---- board corners --------------------------------------------------------

// At most four: a node is one corner of each of two quads, and each quad
// corner lies on two quad sides.
struct Neighbours {
  std::array<uint32_t, 4> id{};
  uint32_t count = 0;

  // Kept sorted: breadth-first searches visit neighbours in ascending order.
  void add(uint32_t n) {
    uint32_t* end = id.data() + count;
    uint32_t* at = std::lower_bound(id.data(), end, n);
    if ((at != end && *at == n) || count == id.size()) return;
    std::copy_backward(at, end, end + 1);
    *at = n;
    ++count;
  }
};

struct Graph {
  Vec<Point2f> position;
  Vec<Neighbours> neighbours;
  size_t size() const { return position.size(); }
};

// A node for every group of exactly two linked corners (necessarily of two
// different quads), numbered by the group's lowest element; quad sides
// between two nodes make them neighbours.
Graph board_corners(const Vec<Quad>& quads, DisjointSet& set) {
  const uint32_t n = uint32_t(4 * quads.size());
  Vec<uint32_t> root(n), group_size(n, 0), first(n, kNone), second(n, kNone);
  for (uint32_t e = 0; e < n; ++e) {
    root[e] = set.find(e);
    uint32_t& slot = group_size[root[e]]++ == 0 ? first[root[e]] : second[root[e]];
    slot = e;
  }
  Graph g;
  Vec<uint32_t> node_of_root(n, kNone);
  auto corner = [&](uint32_t e) { return quads[e / 4].corners[e % 4]; };
  for (uint32_t e = 0; e < n; ++e) {
    const uint32_t r = root[e];
    if (group_size[r] != 2 || node_of_root[r] != kNone || first[r] / 4 == second[r] / 4) continue;
    const Point2f a = corner(first[r]), b = corner(second[r]);
    node_of_root[r] = uint32_t(g.size());
    g.position.push_back({(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f});
  }
  g.neighbours.resize(g.size());
  for (uint32_t q = 0; q < quads.size(); ++q) {
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t u = node_of_root[root[4 * q + k]], v = node_of_root[root[4 * q + (k + 1) % 4]];
      if (u == kNone || v == kNone || u == v) continue;
      g.neighbours[u].add(v);
      g.neighbours[v].add(u);
    }
  }
  return g;
}

// ---- grid ordering --------------------------------------------------------

// One connected component as a graph of its own: local node i is global node
// `node[i]`, and only neighbours inside the component are kept. Every search
// over it then costs time in its size, not in the size of the whole graph.
struct Component {
  Vec<uint32_t> node;
  Vec<Neighbours> neighbours;
  uint32_t size() const { return uint32_t(node.size()); }
};

// `local_of` maps global to local ids; all kNone on entry and on return.
Component make_component(const Graph& g, Vec<uint32_t> nodes, Vec<uint32_t>& local_of) {
  Component c{std::move(nodes), {}};
  c.neighbours.resize(c.size());
  for (uint32_t i = 0; i < c.size(); ++i) local_of[c.node[i]] = i;
  for (uint32_t i = 0; i < c.size(); ++i) {
    const Neighbours& nb = g.neighbours[c.node[i]];
    for (uint32_t k = 0; k < nb.count; ++k)
      if (local_of[nb.id[k]] != kNone) c.neighbours[i].add(local_of[nb.id[k]]);
  }
  for (uint32_t v : c.node) local_of[v] = kNone;
  return c;
}

// Breadth-first distances from `start` within the component; nodes it cannot
// reach get kNone.
Vec<uint32_t> bfs_distances(const Component& c, uint32_t start) {
  Vec<uint32_t> dist(c.size(), kNone);
  Vec<uint32_t> queue{start};
  dist[start] = 0;
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t u = queue[head];
    const Neighbours& nb = c.neighbours[u];
    for (uint32_t k = 0; k < nb.count; ++k) {
      if (dist[nb.id[k]] == kNone) {
        dist[nb.id[k]] = dist[u] + 1;
        queue.push_back(nb.id[k]);
      }
    }
  }
  return dist;
}

bool are_neighbours(const Component& c, uint32_t u, uint32_t v) {
  const Neighbours& nb = c.neighbours[u];
  return std::find(nb.id.begin(), nb.id.begin() + nb.count, v) != nb.id.begin() + nb.count;
}

// With s at slot (0, 0) and c at (0, cols - 1), a node at (row, col) of a
// perfect grid has d_s = row + col and d_c = row + cols - 1 - col, which
// gives its slot. Returns slot -> node, or nothing when the distances do not
// describe such a grid.
std::optional<Vec<uint32_t>> assign_slots(const Vec<uint32_t>& ds, const Vec<uint32_t>& dc,
                                          PatternSize pattern) {
  const int64_t cols = pattern.cols, rows = pattern.rows;
  Vec<uint32_t> slots(size_t(cols * rows), kNone);
  for (uint32_t v = 0; v < ds.size(); ++v) {
    if (ds[v] == kNone || dc[v] == kNone) return std::nullopt;
    const int64_t t = int64_t(ds[v]) + cols - 1 - int64_t(dc[v]);
    if (t < 0 || t % 2 != 0) return std::nullopt;
    const int64_t col = t / 2, row = int64_t(ds[v]) - col;
    if (col >= cols || row < 0 || row >= rows) return std::nullopt;
    uint32_t& slot = slots[size_t(row * cols + col)];
    if (slot != kNone) return std::nullopt;
    slot = v;
  }
  if (std::find(slots.begin(), slots.end(), kNone) != slots.end()) return std::nullopt;
  return slots;
}

// Every slot's node has exactly its grid degree and is linked to the nodes
// right of and below it.
bool is_grid(const Vec<uint32_t>& slots, const Component& c, PatternSize pattern) {
  const uint32_t cols = pattern.cols, rows = pattern.rows;
  for (uint32_t row = 0; row < rows; ++row) {
    for (uint32_t col = 0; col < cols; ++col) {
      const uint32_t v = slots[size_t(row) * cols + col];
      const uint32_t degree = (row > 0) + (row + 1 < rows) + (col > 0) + (col + 1 < cols);
      if (c.neighbours[v].count != degree) return false;
      if (col + 1 < cols && !are_neighbours(c, v, slots[size_t(row) * cols + col + 1])) return false;
      if (row + 1 < rows && !are_neighbours(c, v, slots[size_t(row + 1) * cols + col])) return false;
    }
  }
  return true;
}

int32_t saturating_i32(float v) {
  if (!(v > -2147483648.0f)) return std::numeric_limits<int32_t>::min();  // and NaN
  if (v >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  return int32_t(v);
}

// Smaller is preferred: the first row does not run leftwards, the rows
// advance downwards (a positive cross product, image y pointing down), then
// the topmost and leftmost first corner.
using OrderingKey = std::tuple<int, int, int32_t, int32_t>;

OrderingKey ordering_key(const Vec<Point2f>& position, PatternSize pattern) {
  const Point2f p0 = position[0];
  const Point2f pr = position[pattern.cols - 1];
  const Point2f pc = position[size_t(pattern.rows - 1) * pattern.cols];
  const float cross = (pr.x - p0.x) * (pc.y - p0.y) - (pr.y - p0.y) * (pc.x - p0.x);
  return {pr.x < p0.x ? 1 : 0, cross < 0.0f ? 1 : 0, saturating_i32(p0.y * 1024.0f),
          saturating_i32(p0.x * 1024.0f)};
}

// The component's node positions in grid order, or nothing. Checks the edge
// count and the four extreme corners (the nodes of degree 2), tries every
// pair of extreme corners one row length apart as the ends of the first row,
// and keeps the valid ordering with the smallest key (the first on ties).
std::optional<Vec<Point2f>> order_component(const Graph& g, const Component& c, PatternSize pattern) {
  const uint64_t cols = pattern.cols, rows = pattern.rows;
  uint64_t degree_sum = 0;
  Vec<uint32_t> extremes;
  for (uint32_t v = 0; v < c.size(); ++v) {
    degree_sum += c.neighbours[v].count;
    if (c.neighbours[v].count == 2) extremes.push_back(v);
  }
  if (degree_sum / 2 != cols * (rows - 1) + rows * (cols - 1) || extremes.size() != 4) return std::nullopt;

  std::optional<Vec<Point2f>> best;
  OrderingKey best_key{};
  for (uint32_t s : extremes) {
    const Vec<uint32_t> ds = bfs_distances(c, s);
    for (uint32_t e : extremes) {
      if (e == s || ds[e] != cols - 1) continue;
      const auto slots = assign_slots(ds, bfs_distances(c, e), pattern);
      if (!slots || !is_grid(*slots, c, pattern)) continue;
      Vec<Point2f> points(slots->size());
      for (size_t i = 0; i < points.size(); ++i) points[i] = g.position[c.node[(*slots)[i]]];
      const OrderingKey key = ordering_key(points, pattern);
      if (!best || key < best_key) best = std::move(points), best_key = key;
    }
  }
  return best;
}

// The connected component of `start` in breadth-first order (neighbours in
// ascending order); marks it visited.
Vec<uint32_t> collect_component(const Graph& g, uint32_t start, Vec<uint8_t>& visited) {
  Vec<uint32_t> component{start};
  visited[start] = 1;
  for (size_t head = 0; head < component.size(); ++head) {
    const Neighbours& nb = g.neighbours[component[head]];
    for (uint32_t k = 0; k < nb.count; ++k) {
      if (!visited[nb.id[k]]) {
        visited[nb.id[k]] = 1;
        component.push_back(nb.id[k]);
      }
    }
  }
  return component;
}

// The first component, in node order, of exactly cols * rows nodes that
// orders into a grid.
std::optional<Vec<Point2f>> grid_corners(const Graph& g, PatternSize pattern) {
  const size_t count = size_t(pattern.cols) * pattern.rows;
  Vec<uint8_t> visited(g.size(), 0);
  Vec<uint32_t> local_of(g.size(), kNone);
  for (uint32_t v = 0; v < g.size(); ++v) {
    if (visited[v] || g.neighbours[v].count == 0) continue;
    Vec<uint32_t> nodes = collect_component(g, v, visited);
    if (nodes.size() != count) continue;
    if (auto points = order_component(g, make_component(g, std::move(nodes), local_of), pattern))
      return points;
  }
  return std::nullopt;
}

bool near_border(const Vec<Point2f>& points, uint32_t w, uint32_t h) {
  const float right = float(int64_t(w) - int64_t(kBorderMargin));
  const float bottom = float(int64_t(h) - int64_t(kBorderMargin));
  return std::any_of(points.begin(), points.end(), [&](Point2f p) {
    return p.x <= kBorderMargin || p.x > right || p.y <= kBorderMargin || p.y > bottom;
  });
}

// The search on one attempt's quads: links within the given radius, board
// corners, grid, border test and refinement.
std::optional<Vec<Point2f>> search_quads(const GrayImage& gray, const Vec<Quad>& quads, float gap,
                                         PatternSize pattern, bool by_angle = false) {
  const uint32_t w = gray.width, h = gray.height;
  if (quads.size() < 2) return std::nullopt;
  DisjointSet set = link_corners(quads, gap, by_angle);
  const Graph graph = board_corners(quads, set);
  if (graph.size() < uint64_t(pattern.cols) * pattern.rows) return std::nullopt;
  std::optional<Vec<Point2f>> points = grid_corners(graph, pattern);
  if (!points || near_border(*points, w, h)) return std::nullopt;
  for (Point2f& p : *points) {
    const Point2f start = p;
    p = cornersubpix::corner_sub_pix(gray, kRefineHalfWindow, kRefineIterations, start, kRefineEps);
    // The refinement returns its start unchanged when it would leave the
    // window. A wider window from there, then the usual one, so that every
    // corner ends on the same refinement.
    if (gap > 0.0f && p.x == start.x && p.y == start.y) {
      const Point2f wide =
          cornersubpix::corner_sub_pix(gray, kRetryHalfWindow, kRefineIterations, start, kRefineEps);
      p = cornersubpix::corner_sub_pix(gray, kRefineHalfWindow, kRefineIterations, wide, kRefineEps);
    }
  }
  return points;
}

// Every search on one attempt's quads, in order, the first success ending
// it:
// 1. links within a radius in proportion to the squares;
// 2. small squares: that radius no longer spans the fixed gap erosion leaves
//    at a board corner (under about 24 px), so the gap is added to it;
// 3. squares seen at a slant whose outlines the usual simplification cut
//    short or lost (see reopened_polygon): the attempt's quads as reopened,
//    when that changed any, with the gap;
// 4. small squares seen at a slant meet at sharp corners, which erosion
//    pulls further back than the fixed gap allows for: the quads (reopened
//    where that changed them) once more, corners that face each other linked
//    across the gap their angles leave (see link_pair).
// The wider searches run on each attempt straight after the plain one,
// before the next threshold is tried. Left to the end of the cascade, small
// or slanted boards that the global threshold already separates paid for
// every local threshold first, most of the time on such frames; and the set
// of searches, hence whether a board is found at all, is the same in either
// order. `plain` false skips 1 and 3 (the second erosion, whose squares
// only the gap links).
std::optional<Vec<Point2f>> search_attempt(const GrayImage& gray, const Vec<Quad>& quads,
                                           const Vec<Quad>& reopened, float gap, PatternSize pattern,
                                           bool plain = true) {
  if (plain)
    if (auto found = search_quads(gray, quads, 0.0f, pattern)) return found;
  if (auto found = search_quads(gray, quads, gap, pattern)) return found;
  if (plain && !reopened.empty())
    if (auto found = search_quads(gray, reopened, gap, pattern)) return found;
  return search_quads(gray, reopened.empty() ? quads : reopened, gap, pattern, true);
}

Vec<uint8_t> padded_labels(const GrayImage& gray) {
  return Vec<uint8_t>((size_t(gray.width) + 2) * (size_t(gray.height) + 2), 0);
}

}  // namespace

uint8_t otsu_threshold(const GrayImage& gray) {
  // Four partial histograms keep consecutive equal pixels from waiting on
  // each other's increments.
  std::array<std::array<uint32_t, 256>, 4> part{};
  std::array<uint64_t, 256> hist{};
  const uint8_t* p = gray.data.data();
  const size_t count = gray.data.size();
  for (size_t done = 0; done < count;) {
    // Flush before a 32-bit count could overflow.
    const size_t end = done + std::min<size_t>(count - done, size_t(1) << 30);
    size_t i = done;
    for (; i + 4 <= end; i += 4) ++part[0][p[i]], ++part[1][p[i + 1]], ++part[2][p[i + 2]], ++part[3][p[i + 3]];
    for (; i < end; ++i) ++part[0][p[i]];
    for (int v = 0; v < 256; ++v) {
      hist[v] += uint64_t(part[0][v]) + part[1][v] + part[2][v] + part[3][v];
      part[0][v] = part[1][v] = part[2][v] = part[3][v] = 0;
    }
    done = end;
  }
  return imgproc::otsu_threshold(hist);
}

Vec<int32_t> local_threshold_windows(uint32_t width, uint32_t height) {
  const float m = float(std::min(width, height));
  // Rounded half away from zero, made odd, at least 3; a fifth of a 32-bit
  // side still fits an int32.
  auto odd_window = [](float size) { return std::max(int32_t(uint32_t(std::round(size)) | 1u), 3); };
  Vec<int32_t> windows = {odd_window(0.2f * m), odd_window(0.1f * m), 31};
  std::sort(windows.begin(), windows.end());
  windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
  return windows;
}

std::optional<Vec<Point2f>> detect_thresholded(const GrayImage& gray, const Vec<uint8_t>& labels,
                                               PatternSize pattern) {
  Vec<uint8_t> eroded = padded_labels(gray);
  erode(LabelRows{labels, size_t(gray.width) + 2}, gray.width, gray.height, eroded);
  Vec<Quad> reopened;
  const Vec<Quad> quads = find_quads(eroded, gray.width, gray.height, &reopened);
  return search_attempt(gray, quads, reopened, kErosionGap, pattern);
}

namespace {

// The local-threshold attempts of the cascade, in order; the first that
// finds the board wins. `eroded` is a padded label image to work in.
std::optional<Vec<Point2f>> local_cascade(const GrayImage& gray, PatternSize pattern,
                                          Vec<uint8_t>& eroded) {
  const uint32_t w = gray.width, h = gray.height;
  for (int32_t window : local_threshold_windows(w, h)) {
    for (double constant : {0.0, 5.0, 10.0}) {
      const Vec<uint8_t> labels = imgproc::adaptive_threshold_labels(gray, window, constant);
      erode(LabelRows{labels, size_t(w) + 2}, w, h, eroded);
      Vec<Quad> reopened;
      const Vec<Quad> quads = find_quads(eroded, w, h, &reopened);
      if (auto found = search_attempt(gray, quads, reopened, kErosionGap, pattern)) return found;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Vec<Point2f>> find_chessboard_corners(const GrayImage& gray, PatternSize pattern) {
  if (pattern.cols < 3 || pattern.rows < 3) return std::nullopt;
  if (gray.width < 16 || gray.height < 16) return std::nullopt;
  const uint32_t w = gray.width, h = gray.height;
  const size_t stride = size_t(w) + 2;
  // One eroded image serves every attempt: each erosion rewrites all the
  // pixels any attempt can have marked.
  const uint8_t otsu = otsu_threshold(gray);
  Vec<uint8_t> eroded = padded_labels(gray);
  erode(OtsuRows(gray, otsu), w, h, eroded);
  {
    Vec<Quad> reopened;
    const Vec<Quad> quads = find_quads(eroded, w, h, &reopened);
    if (auto found = search_attempt(gray, quads, reopened, kErosionGap, pattern)) return found;
  }
  // Uneven light defeats one global threshold; local means at a few scales
  // (about a fifth and a tenth of the image, and a fixed 31 px) with rising
  // contrast margins follow it. The first success in this order ends the
  // search.
  if (auto found = local_cascade(gray, pattern, eroded)) return found;
  // Printed squares that overlap at a board corner stay joined after one
  // erosion; a second one parts them, twice as far apart. Only on the
  // global threshold: it is one more erosion and trace where the whole local
  // cascade again would double the time spent on every frame without a
  // board, and the overlaps met in photographs all part there.
  erode(OtsuRows(gray, otsu), w, h, eroded);
  Vec<uint8_t> twice = padded_labels(gray);
  erode(LabelRows{eroded, stride}, w, h, twice);
  Vec<Quad> reopened_twice;
  const Vec<Quad> quads_twice = find_quads(twice, w, h, &reopened_twice);
  return search_attempt(gray, quads_twice, reopened_twice, 2.0f * kErosionGap, pattern, false);
}

}  // namespace markvane::chessboard
