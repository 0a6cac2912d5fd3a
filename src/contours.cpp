#include "contours.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "corner_refine.h"
#include "imgproc.h"

namespace markvane::contours {

namespace {

// Label values of the padded threshold image.
constexpr uint8_t kForeground = 1;
constexpr uint8_t kVisited = 2;
constexpr uint8_t kVisitedEastEdge = 254;  // visited, right-hand neighbour is background

// Neighbour directions, clockwise on screen starting at west.
constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kEast = 4;
constexpr uint8_t kEastBackgroundFlag = 8;

// kNextStep[origin][occupied]: the first occupied direction of the search
// origin - 1, origin - 2, ..., origin - 8 (mod 8), with kEastBackgroundFlag set
// when east was examined (and found empty) before it. `occupied` has bit d set
// when the neighbour in direction d is non-zero.
constexpr std::array<std::array<uint8_t, 256>, 8> make_next_step_table() {
  std::array<std::array<uint8_t, 256>, 8> table{};
  for (int origin = 0; origin < 8; ++origin) {
    for (int occupied = 0; occupied < 256; ++occupied) {
      int e = origin;
      bool east_background = false;
      for (int k = 1; k <= 8; ++k) {
        const int dir = (origin - k) & 7;
        if ((occupied >> dir) & 1) {
          e = dir;
          break;
        }
        east_background |= dir == kEast;
      }
      table[origin][occupied] = uint8_t(e | (east_background ? kEastBackgroundFlag : 0));
    }
  }
  return table;
}
constexpr std::array<std::array<uint8_t, 256>, 8> kNextStep = make_next_step_table();

uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;  // negative, zero and NaN
  if (v >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
  return uint64_t(v);
}

struct PerimeterLimits {
  uint64_t min;
  uint64_t max;
};

PerimeterLimits perimeter_limits(const DetectorParams& params, double d) {
  PerimeterLimits lim;
  // A negative side length wraps to a huge unsigned minimum, so such settings
  // produce no candidates rather than accepting every contour.
  if (params.min_side_length_canonical_img != 0)
    lim.min = uint64_t(int64_t(4) * params.min_side_length_canonical_img);
  else
    lim.min = saturating_u64(std::trunc(d * params.min_marker_perimeter_rate));
  lim.max = saturating_u64(std::trunc(d * params.max_marker_perimeter_rate));
  return lim;
}

// Border following on the padded label image. Visited pixels are marked so
// that later scan positions know which borders were already traced.
struct Tracer {
  uint8_t* labels;
  uint32_t width;
  ptrdiff_t offset[8];
  uint64_t max_points;  // safety bound W * H + 2
  size_t keep_points;   // points stored beyond this count are not needed

  Tracer(uint8_t* lab, uint32_t w, uint32_t h, uint64_t pmax) : labels(lab), width(w) {
    const ptrdiff_t stride = ptrdiff_t(w) + 2;
    for (int d = 0; d < 8; ++d) offset[d] = kDy[d] * stride + kDx[d];
    max_points = uint64_t(w) * h + 2;
    keep_points = size_t(std::min(pmax, max_points - 1) + 1);
  }

  // Traces the border starting at image pixel (x, y) (padded index idx),
  // searching for the second pixel from direction `start`. Stores the first
  // keep_points positions in `pts` (grown as needed, never shrunk) and
  // returns the full contour length.
  uint64_t trace(int32_t x, int32_t y, size_t idx, int start, Vec<Point2i>& pts) const {
    // Label stores are byte stores and may alias anything reachable through
    // memory, so everything the loop reads besides labels lives in locals.
    uint8_t* const lab = labels;
    ptrdiff_t off[8];
    for (int k = 0; k < 8; ++k) off[k] = offset[k];
    const uint32_t last_x = width - 1;
    const uint64_t bound = max_points;
    const size_t keep = keep_points;
    if (pts.empty()) pts.resize(std::min<size_t>(keep, 4096));
    Point2i* out = pts.data();
    size_t room = pts.size();

    int d = -1;
    for (int k = 0; k < 8; ++k) {
      const int dir = (start + k) & 7;
      if (lab[idx + off[dir]] != 0) {
        d = dir;
        break;
      }
    }
    if (d < 0) {
      out[0] = {x, y};
      lab[idx] = kVisitedEastEdge;
      return 1;
    }
    const size_t idx0 = idx, idx1 = idx + off[d];
    size_t q = idx;
    int origin = d;
    uint64_t count = 0;
    for (;;) {
      if (count < room) {
        out[count] = {x, y};
      } else if (count < keep) {
        pts.resize(std::min<size_t>(keep, 2 * room));
        out = pts.data();
        room = pts.size();
        out[count] = {x, y};
      }
      ++count;
      // Counter-clockwise search starting just after the pixel we came from;
      // the last direction examined is `origin` itself, which is never 0.
      // A table lookup on the 8-neighbour occupancy replaces the branchy loop.
      unsigned occupied = 0;
      for (int dir = 0; dir < 8; ++dir) occupied |= unsigned(lab[q + off[dir]] != 0) << dir;
      const uint8_t step = kNextStep[origin][occupied];
      const int e = step & 7;
      const size_t next = q + off[e];
      // Borders run straight for long stretches, and a vertical step lands
      // on a label row that is usually no longer in cache: fetch ahead along
      // the current direction.
      __builtin_prefetch(lab + q + 8 * off[e]);
      if ((step & kEastBackgroundFlag) || uint32_t(x) == last_x)
        lab[q] = kVisitedEastEdge;
      else if (lab[q] == kForeground)
        lab[q] = kVisited;
      if ((q == idx1 && next == idx0) || count >= bound) break;
      q = next;
      x += kDx[e];
      y += kDy[e];
      origin = (e + 4) & 7;
    }
    return count;
  }
};

uint64_t load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// High bit of each byte set where that byte is non-zero.
inline uint64_t nonzero_bytes(uint64_t v) {
  constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
  return (((v & kLow7) + kLow7) | v) & ~kLow7;
}

// High bit set for each of the 8 labels at p whose value is non-zero and that
// has a zero west or east neighbour. Reads p[-1] .. p[8].
inline uint64_t border_bytes(const uint8_t* p) {
  const uint64_t centre = nonzero_bytes(load8(p));
  const uint64_t both_sides = nonzero_bytes(load8(p - 1)) & nonzero_bytes(load8(p + 1));
  return centre & ~both_sides;
}

#if defined(__SSE2__)
// Bit i set when label p[i] is non-zero and has a zero west or east
// neighbour. Reads p[-1] .. p[16].
inline uint32_t border_bytes16(const uint8_t* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i west = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
  const __m128i east = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i side_zero = _mm_or_si128(_mm_cmpeq_epi8(west, zero), _mm_cmpeq_epi8(east, zero));
  return uint32_t(_mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(centre, zero), side_zero)));
}
#endif

// Per-scale working buffers, reused across contours so that the per-contour
// path allocates nothing once they have grown.
struct Buffers {
  Vec<Point2i> contour;
  Vec<Point2f> points;
  Vec<Point2f> polygon;
  Vec<Point2f> scratch;
};

// Filters 2 to 4 on a contour of n points (held in buf.contour) that passed
// the length test; fills `quad` with the polygon vertices on success.
bool contour_to_quad(Buffers& buf, size_t n, const DetectorParams& params, double d, Quad& quad) {
  buf.points.resize(n);
  const Point2i* src = buf.contour.data();
  Point2f* dst = buf.points.data();
  for (size_t i = 0; i < n; ++i) dst[i] = {float(src[i].x), float(src[i].y)};

  const float eps = float(double(n) * params.polygonal_approx_accuracy_rate);
  imgproc::approx_poly_dp_closed(dst, n, eps, buf.polygon, buf.scratch, 4);
  if (buf.polygon.size() != 4) return false;
  for (int i = 0; i < 4; ++i) quad[i] = buf.polygon[i];
  if (!imgproc::is_convex(quad)) return false;

  float m2 = float(d * d);
  for (int i = 0; i < 4; ++i) {
    const float dx = quad[(i + 1) & 3].x - quad[i].x;
    const float dy = quad[(i + 1) & 3].y - quad[i].y;
    m2 = std::min(m2, dx * dx + dy * dy);
  }
  const float min_dist = float(double(n) * params.min_corner_distance_rate);
  return !(m2 < min_dist * min_dist);
}

}  // namespace

Vec<Candidate> find_candidates(const GrayImage& gray, const DetectorParams& params, int32_t window) {
  Vec<Candidate> out;
  if (gray.empty()) return out;
  Vec<uint8_t> labels =
      imgproc::adaptive_threshold_labels(gray, window, params.adaptive_thresh_constant);

  const uint32_t w = gray.width, h = gray.height;
  const double d = double(std::max(w, h));
  const PerimeterLimits lim = perimeter_limits(params, d);
  const Tracer tracer(labels.data(), w, h, lim.max);
  const bool refit = params.corner_refinement_method == CORNER_REFINE_CONTOUR;
  const size_t stride = size_t(w) + 2;
  Buffers buf;

  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = labels.data() + (size_t(y) + 1) * stride + 1;
    uint32_t x = 0;
    while (x < w) {
      // Only a non-zero label with a zero west or east neighbour can start a
      // border; jump to the next such byte, 32, 16 or 8 labels at a time. Border
      // following only rewrites non-zero labels, so the test stays valid as
      // tracing proceeds.
#if defined(__SSE2__)
      if (x + 32 <= w) {
        const uint32_t m = border_bytes16(row + x) | border_bytes16(row + x + 16) << 16;
        if (m == 0) {
          x += 32;
          continue;
        }
        x += uint32_t(std::countr_zero(m));
      } else if (x + 16 <= w) {
        const uint32_t m = border_bytes16(row + x);
        if (m == 0) {
          x += 16;
          continue;
        }
        x += uint32_t(std::countr_zero(m));
      } else
#endif
      if (x + 8 <= w) {
        const uint64_t m = border_bytes(row + x);
        if (m == 0) {
          x += 8;
          continue;
        }
        x += uint32_t(std::countr_zero(m)) / 8;
      }
      const uint8_t v = row[x];
      if (v == 0) {
        ++x;
        continue;
      }
      int start = -1;
      if (v == kForeground && x > 0 && row[x - 1] == 0)
        start = 0;  // outer border, entered from the west
      else if (v != kVisitedEastEdge && x + 1 < w && row[x + 1] == 0)
        start = kEast;  // hole border, background to the east
      if (start >= 0) {
        const size_t idx = size_t(row + x - labels.data());
        const uint64_t len = tracer.trace(int32_t(x), int32_t(y), idx, start, buf.contour);
        Quad quad;
        if (len >= lim.min && len <= lim.max && contour_to_quad(buf, size_t(len), params, d, quad)) {
          if (refit) quad = corner_refine::refine_from_contour(quad, buf.contour.data(), size_t(len));
          out.push_back(Candidate{quad});
        }
      }
      ++x;
    }
  }
  return out;
}

}  // namespace markvane::contours
