#include "contours.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "corner_refine.h"
#include "imgproc.h"

namespace markvane::contours {

namespace {

// The label image of the border following is kept as two bit-planes over
// the padded (W + 2) x (H + 2) grid instead of one byte per pixel:
//   fg     foreground (any non-zero label; never changes while tracing),
//   marks  at a foreground pixel: it lies on a traced border (label 2 or
//          254); at a background pixel: its west neighbour is a traced
//          pixel with background to its right (label 254).
// The second meaning fits in the same plane because the east flag is only
// ever set for pixels whose east neighbour is background, and traced pixels
// are foreground. So label 1 = fg & !mark, and label 254 = mark at the pixel
// and at its east neighbour. At one bit per pixel the planes of a
// 1920 x 1080 frame fit in L2 cache, which is what the trace, hopping
// between rows, is bound by.

// Neighbour directions, clockwise on screen starting at west.
constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kEast = 4;
constexpr uint8_t kEastBackgroundFlag = 8;

// Bit of each direction in a 3 x 3 neighbourhood index: bits 0-2 the row
// above (west to east), 3-5 the pixel's own row, 6-8 the row below.
constexpr int kDirBit[8] = {3, 0, 1, 2, 5, 8, 7, 6};

// table[from][neighbourhood]: the first foreground direction of from + turn,
// from + 2 turn, ..., from + 8 turn (mod 8), with kEastBackgroundFlag set
// when east was examined (and empty) before it.
constexpr std::array<std::array<uint8_t, 512>, 8> make_step_table(int turn) {
  std::array<std::array<uint8_t, 512>, 8> table{};
  for (int from = 0; from < 8; ++from) {
    for (int hood = 0; hood < 512; ++hood) {
      int e = from;
      bool east_background = false;
      for (int k = 1; k <= 8; ++k) {
        const int dir = (from + turn * k) & 7;
        if ((hood >> kDirBit[dir]) & 1) {
          e = dir;
          break;
        }
        east_background |= dir == kEast;
      }
      table[from][hood] = uint8_t(e | (east_background ? kEastBackgroundFlag : 0));
    }
  }
  return table;
}

// kNextStep[origin][neighbourhood]: the step of a border from the search
// origin, counter-clockwise (origin - 1, origin - 2, ...).
constexpr std::array<std::array<uint8_t, 512>, 8> kNextStep = make_step_table(-1);

// The same border walked backwards. kPrevStep[successor][neighbourhood]
// searches successor + 1, successor + 2, ..., where successor is the
// direction to the next pixel of the border: it finds the previous pixel,
// since the forward search from it scans the same directions the other way
// round and found the successor first. The directions passed over are the
// ones the forward search passed over, so the east flag comes out as the
// forward step sets it.
constexpr std::array<std::array<uint8_t, 512>, 8> kPrevStep = make_step_table(1);

// A step in direction e as an addition to the position word (y << 32 | x),
// indexed by the search origin it gives the next pixel: e + 4 (mod 8), the
// direction back to where the step came from.
constexpr std::array<uint64_t, 8> kPositionStep = [] {
  std::array<uint64_t, 8> t{};
  for (int origin = 0; origin < 8; ++origin) {
    const int e = (origin + 4) & 7;
    t[origin] = uint64_t(int64_t(kDy[e]) * (int64_t(1) << 32) + kDx[e]);
  }
  return t;
}();

// kFirstStep[start / 4][neighbourhood]: the first foreground direction of
// start, start + 1, ..., start + 7 (mod 8), or -1 for an isolated pixel. A
// border's second pixel is searched from west (outer) or east (hole); the
// table saves the branchy search that most of the many short borders
// mispredict.
constexpr std::array<std::array<int8_t, 512>, 2> make_first_step_table() {
  std::array<std::array<int8_t, 512>, 2> table{};
  for (int half = 0; half < 2; ++half) {
    for (int hood = 0; hood < 512; ++hood) {
      int first = -1;
      for (int k = 0; k < 8; ++k) {
        const int dir = (4 * half + k) & 7;
        if ((hood >> kDirBit[dir]) & 1) {
          first = dir;
          break;
        }
      }
      table[half][hood] = int8_t(first);
    }
  }
  return table;
}
constexpr std::array<std::array<int8_t, 512>, 2> kFirstStep = make_first_step_table();

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

// Border following on the bit-planes. A pixel is addressed by its bit index
// b = py * row_bits + px in padded coordinates (px = x + 1, py = y + 1), so
// every neighbour of an image pixel exists and a step is one addition.
struct Tracer {
  const uint64_t* fg;
  uint64_t* visited;
  size_t row_bits;
  uint32_t width;
  uint32_t height;
  uint64_t max_points;  // safety bound W * H + 2
  size_t keep_points;   // points stored beyond this count are not needed
  // steps[origin * 512 + neighbourhood]: the next step of the trace, with
  // the bit-index delta (read by a sign-extending load, so the dependent
  // chain per step is a single table load) and the packed
  // east flag << 3 | next origin.
  struct Step {
    int32_t delta;
    uint32_t info;
  };
  const Step* steps;      // forward: table row = search origin
  const Step* back_steps;  // backward: table row = direction of the successor

  // The tables (forward, then backward) depend only on the row length in
  // bits; each thread keeps the ones it built last, since every scale of a
  // frame uses the same length. In either, the row of the next lookup is the
  // direction back to the pixel just left.
  static const Step* step_tables(size_t row_bits) {
    thread_local Vec<Step> table;
    thread_local size_t table_row_bits = 0;
    if (table.empty() || table_row_bits != row_bits) {
      table.resize(2 * 8 * 512);
      table_row_bits = row_bits;
      for (int half = 0; half < 2; ++half) {
        for (int row = 0; row < 8; ++row) {
          for (int hood = 0; hood < 512; ++hood) {
            const uint8_t step = half == 0 ? kNextStep[row][hood] : kPrevStep[row][hood];
            const int e = step & 7;
            table[(half * 8 + row) * 512 + hood] = {
                int32_t(kDy[e] * int64_t(row_bits) + kDx[e]),
                uint32_t((step & kEastBackgroundFlag) | ((e + 4) & 7))};
          }
        }
      }
    }
    return table.data();
  }

  Tracer(const imgproc::BitLabels& labels, uint64_t* mark_plane, uint64_t pmax)
      : fg(labels.bits.data()),
        visited(mark_plane),
        row_bits(labels.words_per_row * 64),
        width(labels.width),
        height(labels.height),
        steps(step_tables(labels.words_per_row * 64)),
        back_steps(steps + 8 * 512) {
    max_points = uint64_t(labels.width) * labels.height + 2;
    keep_points = size_t(std::min(pmax, max_points - 1) + 1);
  }

  // Foreground bits from bit index i on: bits 0-56 of the result are valid.
  uint64_t bits_from(size_t i) const {
    if constexpr (std::endian::native == std::endian::little) {
      // The plane is a little-endian bit stream: bit i is bit i % 8 of byte
      // i / 8, and rows end with a spare word, so 8 bytes can be read.
      uint64_t v;
      std::memcpy(&v, reinterpret_cast<const uint8_t*>(fg) + (i >> 3), 8);
      return v >> (i & 7);
    } else {
      const uint64_t lo = fg[i >> 6] >> (i & 63);
      const uint64_t hi = (i & 63) != 0 ? fg[(i >> 6) + 1] << (64 - (i & 63)) : 0;
      return lo | hi;
    }
  }

  // Three foreground bits at bit indices i, i + 1, i + 2.
  uint32_t bits3(size_t i) const { return uint32_t(bits_from(i)) & 7; }

  // 3 x 3 foreground neighbourhood of bit index b (see kDirBit).
  uint32_t neighbourhood(size_t b) const {
    return bits3(b - row_bits - 1) | bits3(b - 1) << 3 | bits3(b + row_bits - 1) << 6;
  }

  // No branch on east_edge: whether east is background varies from step to
  // step and would be mispredicted often. Both bits go in one
  // read-modify-write unless the pixel ends its word: along a row a walk
  // marks the same word step after step, and each update of it waits for
  // the previous one's store: two updates per step made that chain twice as
  // long (about 3% of a frame at 640x480 and 1280x720).
  void mark(size_t b, bool east_edge) const {
    const uint64_t both = uint64_t(1) | uint64_t(east_edge) << 1;
    visited[b >> 6] |= both << (b & 63);
    if ((b & 63) == 63) [[unlikely]] visited[(b >> 6) + 1] |= uint64_t(east_edge);
  }

  // A walker along a border: u = b - 1 for its current pixel b (the bit
  // index of the west end of each neighbourhood row), its position word and
  // the table row of its next lookup. Carrying u and the row keeps one
  // addition each off the chain of dependent operations that bounds a walk.
  struct Walker {
    size_t u;
    uint64_t xy;  // y in the high half, x in the low (x never goes negative,
                  // so no borrow crosses the halves)
    const Step* row;
  };

  // Scratch of one thread's walks, kept across borders: the points of the
  // last border and the backward walk's points.
  struct Scratch {
    Vec<Point2i> points;
    Vec<Point2i> backward;
  };

  // A growing store of points: the first `keep` are kept, the rest counted.
  struct PointSink {
    Vec<Point2i>& pts;
    Point2i* out;
    size_t room;

    explicit PointSink(Vec<Point2i>& v, size_t keep) : pts(v) {
      if (pts.empty()) pts.resize(std::min<size_t>(keep, 4096));
      out = pts.data();
      room = pts.size();
    }
    void put(uint64_t k, uint64_t xy, size_t keep) {
      const Point2i p{int32_t(uint32_t(xy)), int32_t(xy >> 32)};
      if (k < room) [[likely]] {
        out[k] = p;
      } else if (k < keep) {
        pts.resize(std::min<size_t>(keep, 2 * room));
        out = pts.data();
        room = pts.size();
        out[k] = p;
      }
    }
  };

  // A hole border starting at padded (px, py) around one background pixel h,
  // its east neighbour, whose other neighbours north, east and south are
  // foreground: the walk would visit the start, then h's north, east and
  // south neighbours, examining only h and those, and close after four
  // points. Leaves the marks that walk leaves (the start's east flag, and
  // the flag of a pixel in the last column) and returns true; false, with
  // nothing marked, for any other border. Such pinholes are a third of all
  // borders in textured frames, where most of the plane is foreground.
  bool mark_pinhole(uint32_t px, uint32_t py) const {
    constexpr uint32_t kNorthEastSouth =
        1u << kDirBit[2] | 1u << kDirBit[kEast] | 1u << kDirBit[6];
    const size_t b0 = size_t(py) * row_bits + px, h = b0 + 1;
    if ((neighbourhood(h) & kNorthEastSouth) != kNorthEastSouth) return false;
    mark(b0, true);
    mark(h - row_bits, false);
    mark(h + 1, px + 2 == width);  // h's east neighbour is at image column px + 1
    mark(h + row_bits, false);
    return true;
  }

  // A 4 x 4 box whose foreground pixels have no foreground neighbour
  // outside it (a closed box) holds whole components only, and none of
  // their borders is longer than kBoxedBorderMax points. Called at an outer
  // border's start, padded (px, py), normally the first pixel of its
  // component and so in the top row of the component's bounding box: looks
  // for a closed box with the start in its top row. With one found, marks
  // every foreground pixel of the box and sets its east flag, which keeps
  // every border of the components in the box from starting, and returns
  // true; false, with nothing marked, otherwise. Marks are read only by the
  // start tests of their own component's pixels, so no other border
  // changes.
  bool mark_boxed_component(uint32_t px, uint32_t py) const {
    if (size_t(py) + 4 > size_t(height) + 1) return false;  // padded rows py - 1 .. py + 4
    // Columns first .. first + 9 of those rows: a box's left column c ranges
    // over px - 3 .. px, and its outside over c - 1 .. c + 4.
    const uint32_t first = px >= 4 ? px - 4 : 0;
    std::array<uint32_t, 6> r;
    read_rows(py - 1, first, r);
    // Bit c of each: the box with left column c (relative to `first`) is
    // open across that side.
    uint32_t west = 0, east = 0;
    for (size_t k = 1; k <= 4; ++k) {
      const uint32_t near = r[k - 1] | r[k] | r[k + 1];
      west |= r[k] & near << 1;  // at c, with c - 1 beside it
      east |= r[k] & near >> 1;  // at c + 3, with c + 4 beside it
    }
    auto spread = [](uint32_t v) { return v | v << 1 | v >> 1; };
    const uint32_t top = r[1] & spread(r[0]), bottom = r[4] & spread(r[5]);
    const uint32_t across = top | bottom;
    const uint32_t open = west | east >> 3 | across | across >> 1 | across >> 2 | across >> 3;
    const uint32_t lo = std::max<uint32_t>(px, 4) - 3 - first, hi = px - first;
    return mark_first_closed(py - 1, first, r, open, lo, hi);
  }

  // The same for a hole border starting at padded (px, py), whose east
  // neighbour h is background: when every background region with a pixel
  // in some 3 x 3 box holding h in its top row lies inside that box (no
  // background pixel of the box has a background neighbour west, north,
  // east or south of it outside the box), the border runs around such a
  // region, so it has at most kBoxedHoleBorderMax points. Marks every
  // background pixel of the box and its east neighbour: the east flags of
  // the pixels west of them and the marks of the pixels east of them. Those
  // marks are read only by the start tests of the pixels beside the box's
  // background, and every border those start runs around a region in the
  // box or a component inside one, so no border that is left out is longer
  // than kBoxedBorderMax.
  bool mark_boxed_hole(uint32_t px, uint32_t py) const {
    if (size_t(py) + 3 > size_t(height) + 1) return false;  // padded rows py - 1 .. py + 3
    const uint32_t hx = px + 1;
    // A box's left column c ranges over hx - 2 .. hx, and its outside over
    // c - 1 .. c + 3. (Bits past the row's end read as background, which
    // only ever opens a box.)
    const uint32_t first = hx >= 3 ? hx - 3 : 0;
    std::array<uint32_t, 5> r;
    read_rows(py - 1, first, r);
    for (uint32_t& v : r) v = ~v & 0x3FF;  // background
    uint32_t west = 0, east = 0;
    for (size_t k = 1; k <= 3; ++k) {
      west |= r[k] & r[k] << 1;  // at c, with c - 1 beside it
      east |= r[k] & r[k] >> 1;  // at c + 2, with c + 3 beside it
    }
    const uint32_t across = (r[1] & r[0]) | (r[3] & r[4]);
    const uint32_t open = west | east >> 2 | across | across >> 1 | across >> 2;
    const uint32_t lo = std::max<uint32_t>(hx, 3) - 2 - first, hi = hx - first;
    return mark_first_closed(py - 1, first, r, open, lo, hi);
  }

  // Of the N - 2 square boxes with left column c in lo .. hi (relative to
  // `first`) over rows 1 .. N - 2 of `r` (padded rows top + 1 ..), the first
  // whose bit c of `open` is clear: marks its pixels set in `r` and their
  // east neighbours, and returns true; false when every box is open. (An
  // east neighbour outside the box is a pixel of the other kind, since the
  // box is closed.)
  template <size_t N>
  bool mark_first_closed(size_t top, uint32_t first, const std::array<uint32_t, N>& r,
                         uint32_t open, uint32_t lo, uint32_t hi) const {
    const uint32_t closed = ~open & ((2u << hi) - (1u << lo));
    if (closed == 0) return false;
    const uint32_t columns = ((1u << (N - 2)) - 1) << std::countr_zero(closed);
    for (size_t k = 1; k + 1 < N; ++k) {
      const uint32_t in_box = r[k] & columns;
      mark_bits(top + k, first, in_box | in_box << 1);
    }
    return true;
  }

  // Bits first .. first + 9 of the N padded rows from `row` on.
  template <size_t N>
  void read_rows(size_t row, uint32_t first, std::array<uint32_t, N>& out) const {
    for (size_t j = 0; j < N; ++j)
      out[j] = uint32_t(bits_from((row + j) * row_bits + first)) & 0x3FF;
  }

  // ORs `bits` into the marks of padded row `row` from column `first` on.
  void mark_bits(size_t row, uint32_t first, uint64_t bits) const {
    const size_t i = row * row_bits + first;
    visited[i >> 6] |= bits << (i & 63);
    if ((i & 63) != 0) visited[(i >> 6) + 1] |= bits >> (64 - (i & 63));
  }

  // Walks a border until it closes, storing the first keep_points positions
  // (image coordinates) in scratch.points, which grows as needed and never
  // shrinks. Returns the full contour length, at most the safety bound
  // max_points. The border starts at padded (px, py); its second pixel is
  // searched from direction `start` (west or east).
  //
  // One step is a chain of dependent loads, and a single walk waits on it
  // all the time. With TwoWalks, a border that is still open after
  // kSoloSteps points is therefore walked from both ends at once, forwards
  // from where the walk stands and backwards from the last pixel, and the
  // backward half is appended reversed: the same points, marks and length,
  // with two independent chains in flight. Most borders are shorter and
  // close alone. A border that reaches the safety bound while walked from
  // both ends has marks the forward walk alone would not set: the walk then
  // returns kCutInTwoWalks, and the plane must be followed again without
  // TwoWalks.
  //
  // Inlined into the start scan: most borders are a few points long, and a
  // call per border cost about 4% of the border following at 1080p.
  static constexpr uint64_t kCutInTwoWalks = std::numeric_limits<uint64_t>::max();
  template <bool TwoWalks>
  __attribute__((always_inline)) uint64_t trace(uint32_t px, uint32_t py, int start,
                                                Scratch& scratch) const {
    constexpr uint64_t kSoloSteps = 16;
    const uint64_t bound = max_points;
    const size_t keep = keep_points;
    Vec<Point2i>& pts = scratch.points;
    PointSink fwd(pts, keep);

    const size_t b0 = size_t(py) * row_bits + px;
    const int d = kFirstStep[start >> 2][neighbourhood(b0)];
    if (d < 0) {  // isolated pixel
      fwd.out[0] = {int32_t(px) - 1, int32_t(py) - 1};
      mark(b0, true);
      return 1;
    }
    // The first search goes clockwise: it finds the border's last pixel.
    const size_t b1 = b0 + ptrdiff_t(kDy[d]) * ptrdiff_t(row_bits) + kDx[d];
    const uint32_t last_x = width - 1;
    const uint8_t* const fg_bytes = reinterpret_cast<const uint8_t*>(fg);
    const size_t row_bytes = row_bits >> 3;
    auto hood_west = [&](size_t w) -> uint32_t {
      if constexpr (std::endian::native == std::endian::little) {
        const size_t q = w >> 3;
        const unsigned sh = unsigned(w & 7);
        uint64_t t, m, l;
        std::memcpy(&t, fg_bytes + (q - row_bytes), 8);
        std::memcpy(&m, fg_bytes + q, 8);
        std::memcpy(&l, fg_bytes + (q + row_bytes), 8);
        // Mask the three fields in place, stack them (the shifted fields
        // cannot overlap: each is 3 bits wide) and shift once: one variable
        // shift on the dependent chain instead of one per row before the
        // combine.
        const uint64_t k = uint64_t(7) << sh;
        return uint32_t(((t & k) | (m & k) << 3 | (l & k) << 6) >> sh);
      } else {
        return neighbourhood(w + 1);
      }
    };
    // Marks the walker's pixel and moves it on; `table` is the walker's own.
    // Forwards, the search runs counter-clockwise from just after the pixel
    // it came from (the last direction examined is that pixel itself, which
    // is foreground); backwards, the other way round from the pixel it came
    // from, which finds the pixel the forward walk came from.
    auto advance = [&](Walker& w, const Step* table) {
      const Step* st = w.row + hood_west(w.u);
      const uint32_t info = st->info;
      mark(w.u + 1, ((info & kEastBackgroundFlag) != 0) | (uint32_t(w.xy) == last_x));
      w.u += ptrdiff_t(st->delta);
      const uint32_t dir_back = info & 7;
      w.xy += kPositionStep[dir_back];
      w.row = table + dir_back * 512;
    };

    Walker f{b0 - 1, uint64_t(px - 1) | uint64_t(py - 1) << 32, steps + d * 512};
    const size_t u0 = b0 - 1, u1 = b1 - 1;
    uint64_t count = 0;
    for (;;) {
      fwd.put(count, f.xy, keep);
      ++count;
      const size_t from = f.u;
      advance(f, steps);
      // The border ends where it began: at its last pixel, about to step to
      // its first. Tested on the rare first half alone.
      if (from == u1) [[unlikely]] {
        if (f.u == u0) return count;
      }
      if (count >= bound) [[unlikely]] return count;
      if (TwoWalks && count == kSoloSteps) break;
    }
    if constexpr (!TwoWalks) return count;  // that loop only ends by returning

    // Both walks, alternately. Each step of a border (pixel to pixel) occurs
    // once in it, so the two walks have covered the border exactly when
    // their last steps coincide: the forward walk's from `from_f` to f.u and
    // the backward walk's from b.u to `from_b`. The backward walk starts at
    // the last pixel, having come from the first.
    const int64_t x1 = int64_t(px) - 1 + kDx[d], y1 = int64_t(py) - 1 + kDy[d];
    Walker b{u1, uint64_t(x1) | uint64_t(y1) << 32, back_steps + ((d + 4) & 7) * 512};
    PointSink rev(scratch.backward, keep);
    uint64_t backward_count = 0;
    size_t from_f = 0, from_b = u0;
    for (;;) {
      fwd.put(count++, f.xy, keep);
      from_f = f.u;
      advance(f, steps);
      if (from_f == b.u && f.u == from_b) [[unlikely]] break;
      rev.put(backward_count++, b.xy, keep);
      from_b = b.u;
      advance(b, back_steps);
      if (from_f == b.u && f.u == from_b) [[unlikely]] break;
      if (count + backward_count >= bound) [[unlikely]] return kCutInTwoWalks;
    }
    const uint64_t forward_count = count;
    count += backward_count;
    if (count <= keep) {
      // The backward points, in border order, after the forward ones.
      if (pts.size() < count) pts.resize(size_t(count));
      Point2i* out = pts.data() + forward_count;
      const Point2i* back = scratch.backward.data();
      for (uint64_t k = 0; k < backward_count; ++k) out[k] = back[backward_count - 1 - k];
    }
    return count;
  }
};

// Per-scale working buffers, reused across contours so that the per-contour
// path allocates nothing once they have grown.
struct Buffers {
  Vec<Point2f> points;
  Vec<Point2f> polygon;
  Vec<Point2f> scratch;
};

// Sum over the sides of max(|dx|, |dy|): the number of points an 8-connected
// outline of the quad needs at least.
double chebyshev_perimeter(const Quad& q) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double dx = std::fabs(double(q[(i + 1) & 3].x) - double(q[i].x));
    const double dy = std::fabs(double(q[(i + 1) & 3].y) - double(q[i].y));
    sum += std::max(dx, dy);
  }
  return sum;
}

// Filters 2 to 4 on a contour of n points that passed the length test; fills
// `quad` with the polygon vertices on success.
bool contour_to_quad(Buffers& buf, const Point2i* src, size_t n, const DetectorParams& params,
                     double d, Quad& quad) {
  // Grown only: shrinking and growing back would zero-fill the points
  // again before they are overwritten.
  if (buf.points.size() < n) buf.points.resize(n);
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

typedef uint64_t v4u __attribute__((vector_size(32)));

// The row scans below are chains of ANDs, ORs and shifts on four words at a
// time. Where the processor has AVX-512 their clones fuse the boolean steps
// into three-input logic instructions; the vectors stay 256 bits wide (no
// 512-bit instruction is generated for them). About 1% of a frame at
// 640x480 and 1280x720.

// Start masks of one row of words (padded row py of the planes): `outer`
// gets foreground pixels with background west, `hole` those with background
// east, both without isolated pixels (no foreground among the 8 neighbours:
// such a pixel traces to a one-point contour, which no filter passes, and the
// marks it would get are read only by its own start test). `live` gets one
// bit per word (bit k % 64 of live[k / 64]) that holds a start given the
// current marks (`vis`, the marks row), and the return value counts those
// words. Marks are only ever added, so a word without a start stays so while
// the row is traced. `above` and `below` may start one word early; every row
// ends with a spare zero word, and every row pointer may be read one word
// past its end. Rows are whole groups of four words (see BitLabels), as in
// the other row scans below.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) size_t row_start_masks(
    const uint64_t* above, const uint64_t* row, const uint64_t* below, const uint64_t* vis,
    size_t wpr, uint64_t* outer, uint64_t* hole, uint64_t* live) {
  auto load = [](const uint64_t* p, v4u& v) { std::memcpy(&v, p, sizeof v); };
  v4u count = {};
  // Word k + 4 may be the first word of the next row. It only brings a
  // neighbour into the row's spare zero word, whose masks stay empty.
  for (size_t k = 0; k < wpr; k += 4) {
    v4u c, cl, cr, a, al, ar, b, bl, br, vv, vr;
    load(row + k, c);
    load(row + k - 1, cl);
    load(row + k + 1, cr);
    load(above + k, a);
    load(above + k - 1, al);
    load(above + k + 1, ar);
    load(below + k, b);
    load(below + k - 1, bl);
    load(below + k + 1, br);
    load(vis + k, vv);
    load(vis + k + 1, vr);
    const v4u ev = vv >> 1 | vr << 63;  // east flags, moved onto their pixels
    const v4u west = c << 1 | cl >> 63;
    const v4u east_nb = c >> 1 | cr << 63;
    const v4u around = west | east_nb | a | a << 1 | al >> 63 | a >> 1 | ar << 63 | b |
                       b << 1 | bl >> 63 | b >> 1 | br << 63;
    const v4u keep = c & around;
    const v4u o = keep & ~west, hl = keep & ~east_nb;
    std::memcpy(outer + k, &o, sizeof o);
    std::memcpy(hole + k, &hl, sizeof hl);
    const v4u starts = (o & ~vv) | (hl & ~ev);
    // k is a multiple of 4, so the four bits stay in one word of `live`,
    // whose first four bits clear it (a call to memset for a word or two
    // cost more than this).
    const v4u nonzero = starts != 0;  // all ones or zero per word
    const uint64_t bits = (nonzero[0] & 1) | (nonzero[1] & 2) | (nonzero[2] & 4) | (nonzero[3] & 8);
    const uint64_t before = (k & 63) != 0 ? live[k >> 6] : 0;
    live[k >> 6] = before | bits << (k & 63);
    count -= v4u(nonzero);
  }
  return size_t(count[0] + count[1] + count[2] + count[3]);
}

// Small components: those that fit in a 3 x 3 box. Every border of such a
// component has at most kSmallBorderMax points (found by trying all 512
// patterns), so where the candidate search keeps no border that short it
// need not follow them. Most borders of a noisy frame belong to specks that
// small. The marks a border leaves are only ever read by the start tests of
// its own component's pixels, so leaving a component out changes nothing
// else.
constexpr uint64_t kSmallBorderMax = 10;
// The same for the closed 4 x 4 boxes that Tracer::mark_boxed_component
// looks for at a border's start.
constexpr uint64_t kBoxedBorderMax = 17;
// And for the holes inside a closed 3 x 3 box of Tracer::mark_boxed_hole.
constexpr uint64_t kBoxedHoleBorderMax = 14;

// The foreground pixels of one padded row (given with the rows above and
// below it) that have a foreground neighbour across one side of a 3 x 3 box
// they lie in: `up` those with one in the row above, `down` in the row
// below, `west` in the column to their left, `east` in the column to their
// right (any of the three pixels there). Each row pointer is readable one
// word before and after; the outputs are written for words 0 .. wpr - 1.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void row_box_edges(
    const uint64_t* above, const uint64_t* row, const uint64_t* below, size_t wpr, uint64_t* up,
    uint64_t* down, uint64_t* west, uint64_t* east) {
  auto load = [](const uint64_t* p, v4u& v) { std::memcpy(&v, p, sizeof v); };
  for (size_t k = 0; k < wpr; k += 4) {
    v4u a, al, ar, m, ml, mr, b, bl, br;
    load(above + k, a), load(above + k - 1, al), load(above + k + 1, ar);
    load(row + k, m), load(row + k - 1, ml), load(row + k + 1, mr);
    load(below + k, b), load(below + k - 1, bl), load(below + k + 1, br);
    const v4u u = m & (a | a << 1 | al >> 63 | a >> 1 | ar << 63);
    const v4u d = m & (b | b << 1 | bl >> 63 | b >> 1 | br << 63);
    const v4u v = a | m | b, v_before = al | ml | bl, v_after = ar | mr | br;
    const v4u w = m & (v << 1 | v_before >> 63);
    const v4u e = m & (v >> 1 | v_after << 63);
    std::memcpy(up + k, &u, sizeof u), std::memcpy(down + k, &d, sizeof d);
    std::memcpy(west + k, &w, sizeof w), std::memcpy(east + k, &e, sizeof e);
  }
}

// Bit x of the result: every component with a pixel in the 3 x 3 box
// whose top-left pixel is at bit x lies inside that box, since no
// foreground pixel of the box has a foreground neighbour outside it. Other
// components may come close: unlike an empty ring around the box, this also
// finds the specks of dense noise. From row_box_edges of the box's three
// rows: `up` of the top row, `down` of the bottom one, `west[0..2]` and
// `east[0..2]` of all three, each readable one word after.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void row_closed_boxes(
    const uint64_t* up, const uint64_t* down, const uint64_t* const* west,
    const uint64_t* const* east, size_t wpr, uint64_t* out) {
  auto load = [](const uint64_t* p, v4u& v) { std::memcpy(&v, p, sizeof v); };
  for (size_t k = 0; k < wpr; k += 4) {
    v4u u, un, d, dn, w0, w1, w2, e0, e1, e2, e0n, e1n, e2n;
    load(up + k, u), load(up + k + 1, un), load(down + k, d), load(down + k + 1, dn);
    load(west[0] + k, w0), load(west[1] + k, w1), load(west[2] + k, w2);
    load(east[0] + k, e0), load(east[1] + k, e1), load(east[2] + k, e2);
    load(east[0] + k + 1, e0n), load(east[1] + k + 1, e1n), load(east[2] + k + 1, e2n);
    // Across the top or bottom side from any of columns x .. x + 2; across
    // the left side from column x, the right side from column x + 2.
    const v4u across = u | d, across_next = un | dn;
    const v4u right = e0 | e1 | e2, right_next = e0n | e1n | e2n;
    const v4u open = across | (across >> 1 | across_next << 63) |
                     (across >> 2 | across_next << 62) | w0 | w1 | w2 |
                     (right >> 2 | right_next << 62);
    const v4u closed = ~open;
    std::memcpy(out + k, &closed, sizeof closed);
  }
}

// Clears from a row's start masks the pixels of small components: those in
// one of the nine boxes around them that row_closed_boxes finds closed.
// closed[0..2] are row_closed_boxes of the boxes whose top row is two rows
// above, one row above and at this row, each readable one word before.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void clear_small(const uint64_t* const* closed,
                                                                   size_t wpr, uint64_t* outer,
                                                                   uint64_t* hole) {
  auto load = [](const uint64_t* p, v4u& v) { std::memcpy(&v, p, sizeof v); };
  for (size_t k = 0; k < wpr; k += 4) {
    v4u any = {};
    for (int i = 0; i < 3; ++i) {
      v4u e, el;
      load(closed[i] + k, e), load(closed[i] + k - 1, el);
      any |= e | (e << 1 | el >> 63) | (e << 2 | el >> 62);
    }
    v4u o, hl;
    load(outer + k, o), load(hole + k, hl);
    o &= ~any, hl &= ~any;
    std::memcpy(outer + k, &o, sizeof o);
    std::memcpy(hole + k, &hl, sizeof hl);
  }
}

// Leaves small components out of the start masks of rows (clear_small).
// Three consecutive box rows of row_closed_boxes are kept, each in slot
// (row + 3) % 3, and the row_box_edges of five consecutive rows in slot
// (row + 5) % 5, each array with a word before (zero: boxes reaching left of
// the padded row count as open, which only keeps a component) and one after.
// All are computed when first needed: rows without a start need none. Kept
// out of line, away from the registers of the start scan.
class SmallComponentFilter {
 public:
  SmallComponentFilter(const imgproc::BitLabels& labels, bool enabled)
      : bits_(labels.bits.data()),
        wpr_(labels.words_per_row),
        h_(labels.height),
        store_(enabled ? (kBoxSlots + 4 * kEdgeSlots + 1) * (wpr_ + 2) : 0, 0) {}

  // Whether row py must be filtered. The filter costs about as much per
  // word as following a speck, so it pays on rows where a third of the words
  // or more hold a start (in a clean frame, rows with starts hold one or
  // two, and filtering them all made the search a few percent slower). Once
  // it has run it also runs on the next two rows, so that a component it
  // left out in its first row never starts a border from a later pixel.
  bool wanted(uint32_t py, size_t live_words) {
    if (live_words * 3 >= wpr_) until_ = py + 2;
    return py <= until_;
  }

  // Only boxes that end on a filtered row are used: a component left out of
  // row py must be left out of all its rows, and the rows after until_ may
  // not be filtered. (On the last two rows of a run, the boxes reaching
  // further count as open.)
  __attribute__((noinline)) void clear(uint32_t py, uint64_t* outer, uint64_t* hole) {
    const int64_t r = py;
    const uint64_t* closed[3] = {box_row(r - 2), r + 1 <= until_ ? box_row(r - 1) : zero_row(),
                                 r + 2 <= until_ ? box_row(r) : zero_row()};
    clear_small(closed, wpr_, outer, hole);
  }

 private:
  static constexpr size_t kBoxSlots = 3, kEdgeSlots = 5;

  uint64_t* array(size_t index) { return store_.data() + index * (wpr_ + 2) + 1; }
  const uint64_t* zero_row() const {
    return store_.data() + (kBoxSlots + 4 * kEdgeSlots) * (wpr_ + 2) + 1;
  }
  const uint64_t* fg_row(int64_t py) const {
    return py >= 1 && py <= int64_t(h_) ? bits_ + size_t(py) * wpr_ : zero_row();
  }
  // The rows the N slots of one kind hold.
  template <size_t N>
  struct Slots {
    std::array<int64_t, N> row{};
    std::array<bool, N> filled{};
    // Row r's slot; `stale` tells whether it must be computed.
    size_t claim(int64_t r, bool& stale) {
      const size_t slot = size_t((r + int64_t(N)) % int64_t(N));
      stale = !filled[slot] || row[slot] != r;
      filled[slot] = true, row[slot] = r;
      return slot;
    }
  };

  // row_box_edges of row r: up, down, west and east.
  const uint64_t* edges(int64_t r) {
    bool stale;
    uint64_t* out = array(kBoxSlots + 4 * edge_slots_.claim(r, stale));
    if (stale) {
      const size_t stride = wpr_ + 2;
      row_box_edges(fg_row(r - 1), fg_row(r), fg_row(r + 1), wpr_, out, out + stride,
                    out + 2 * stride, out + 3 * stride);
    }
    return out;
  }
  // row_closed_boxes of the boxes whose top row is r.
  const uint64_t* box_row(int64_t r) {
    bool stale;
    uint64_t* out = array(box_slots_.claim(r, stale));
    if (stale) {
      const size_t stride = wpr_ + 2;
      const uint64_t* rows[3] = {edges(r), edges(r + 1), edges(r + 2)};
      const uint64_t* west[3] = {rows[0] + 2 * stride, rows[1] + 2 * stride, rows[2] + 2 * stride};
      const uint64_t* east[3] = {rows[0] + 3 * stride, rows[1] + 3 * stride, rows[2] + 3 * stride};
      row_closed_boxes(rows[0], rows[2] + stride, west, east, wpr_, out);
    }
    return out;
  }

  const uint64_t* bits_;
  size_t wpr_;
  uint32_t h_;
  Vec<uint64_t> store_;  // box slots, edge slots (four arrays each), a zero row
  Slots<kBoxSlots> box_slots_;
  Slots<kEdgeSlots> edge_slots_;
  uint32_t until_ = 0;  // last row the filter must run on
};

// Words to skip at the start of the mark plane (of at least 512 spare
// words) so that it lies half a page from the foreground plane, modulo the
// 4 KiB that the processor compares to see whether a load may depend on an
// earlier store. Planes of one size get the same alignment from the heap,
// and every trace step stores marks at the very offset its next step's
// neighbourhood loads read in the other plane: each load then waits for the
// stores before it, a fifth of the step's time. Half a page is moved a
// little when the row length would bring the rows above or below close.
size_t mark_offset(const uint64_t* marks, const uint64_t* fg, size_t row_bytes) {
  constexpr size_t kPage = 4096;
  const size_t row = row_bytes % kPage;
  auto clearance = [&](size_t d) {
    size_t least = kPage;
    for (const size_t near : {size_t(0), row, (kPage - row) % kPage}) {
      const size_t gap = (d + kPage - near) % kPage;
      least = std::min({least, gap, kPage - gap});
    }
    return least;
  };
  size_t best = kPage / 2;
  for (const size_t d : {kPage / 4, 3 * kPage / 4})
    if (clearance(d) > clearance(best)) best = d;
  const size_t delta = (uintptr_t(fg) + best - uintptr_t(marks)) % kPage;
  return delta / sizeof(uint64_t);
}

}  // namespace

Vec<Candidate> find_candidates(const GrayImage& gray, const DetectorParams& params, int32_t window) {
  if (gray.empty()) return {};
  return trace_candidates(
      gray, params, imgproc::adaptive_threshold_bits(gray, window, params.adaptive_thresh_constant));
}

namespace {

// Follows every border of the plane in start order (rows top to bottom,
// columns left to right), calling on_border(hole, length, points); the points
// are complete for every border no longer than `longest`. Borders shorter
// than `shortest` may be left out (see SmallComponentFilter and the
// Tracer's mark_ functions). Returns false, and
// stops, when a border walked from both ends reached the safety bound: the
// caller then discards what it was given and follows the plane again
// without TwoWalks.
template <bool TwoWalks, class OnBorder>
bool follow_borders(const imgproc::BitLabels& labels, uint64_t longest, uint64_t shortest,
                    OnBorder&& on_border) {
  const uint32_t w = labels.width, h = labels.height;
  if (w == 0 || h == 0) return true;
  const bool skip_small = shortest > kSmallBorderMax;
  const bool skip_boxed = shortest > std::max(kBoxedBorderMax, kBoxedHoleBorderMax);
  // The mark plane is per-thread scratch, kept between calls: fresh pages
  // for it cost more in page faults than clearing a reused one.
  // It is placed inside a slightly larger store by mark_offset.
  thread_local Vec<uint64_t> mark_store;
  mark_store.assign(labels.bits.size() + 512, 0);
  const size_t row_bytes = labels.words_per_row * sizeof(uint64_t);
  uint64_t* const visited =
      mark_store.data() + mark_offset(mark_store.data(), labels.bits.data(), row_bytes);
  // Planes of very large frames are not kept: a thread that once saw one
  // would otherwise hold its memory for the life of the process.
  struct ReleaseLarge {
    Vec<uint64_t>& plane;
    ~ReleaseLarge() {
      if (plane.capacity() * sizeof(uint64_t) > (size_t(4) << 20)) Vec<uint64_t>().swap(plane);
    }
  } release_large{mark_store};

  const Tracer tracer(labels, visited, longest);
  const size_t wpr = labels.words_per_row;
  Tracer::Scratch scratch;

  const size_t last_word = size_t(w) >> 6;
  const uint64_t last_bit = uint64_t(1) << (w & 63);

  // Start masks of the current row; zero words around the plane stand in
  // for the rows above the first and below the last (both zero frame rows
  // anyway), so the mask pass may read one word before and after each row.
  // The plane's rows are followed by its zero frame row, and the mark plane
  // by its spare words.
  Vec<uint64_t> outer_row(wpr), hole_row(wpr), zero_row(wpr + 2, 0), live((wpr + 63) / 64);
  const uint64_t* bits = labels.bits.data();
  SmallComponentFilter small(labels, skip_small);

  for (uint32_t py = 1; py <= h; ++py) {
    const uint64_t* row = bits + size_t(py) * wpr;
    const uint64_t* above = py > 1 ? row - wpr : zero_row.data() + 1;
    const uint64_t* below = py < h ? row + wpr : zero_row.data() + 1;
    const uint64_t* vis_row = visited + size_t(py) * wpr;
    const size_t live_words = row_start_masks(above, row, below, vis_row, wpr, outer_row.data(),
                                              hole_row.data(), live.data());
    if (live_words == 0) continue;
    if (skip_small && small.wanted(py, live_words)) {
      // Live words may be left without a start: the scan below finds none.
      small.clear(py, outer_row.data(), hole_row.data());
    }
    // Column rules: an outer border never starts in column 0 (px == 1), a
    // hole border never in the last column (px == w).
    outer_row[0] &= ~uint64_t(2);
    hole_row[last_word] &= ~last_bit;
    // Only the words that held a start before the row was traced.
    for (size_t chunk = 0; chunk < live.size(); ++chunk) {
      for (uint64_t words = live[chunk]; words != 0; words &= words - 1) {
        const size_t k = chunk * 64 + size_t(std::countr_zero(words));
        // A border starts at a foreground pixel with background to the west
        // (outer, if not yet visited) or to the east (hole, unless marked as
        // having background east). The foreground plane never changes, so
        // those masks are fixed; the visited and east bits are re-read after
        // every trace, which may have just set them.
        const uint64_t outer = outer_row[k], hole = hole_row[k];
        uint64_t pending = outer | hole;
        uint64_t outer_now = outer & ~vis_row[k];
        auto east_flags = [&] {
          return vis_row[k] >> 1 | (k + 1 < wpr ? vis_row[k + 1] << 63 : 0);
        };
        uint64_t starts = outer_now | (hole & ~east_flags());
        while (starts != 0) {
          const int bit = std::countr_zero(starts);
          pending &= ~((uint64_t(2) << bit) - 1);  // bits up to this one are done
          const int start = (outer_now >> bit) & 1 ? 0 : kEast;
          const uint32_t px = uint32_t(k * 64 + bit);
          // A pinhole's border is four points long, and the borders inside
          // a closed box at most kBoxedBorderMax: where no border that short
          // is kept, only their marks are made.
          const bool skip =
              start == kEast
                  ? (skip_small && tracer.mark_pinhole(px, py)) ||
                        (skip_boxed && tracer.mark_boxed_hole(px, py))
                  : skip_boxed && tracer.mark_boxed_component(px, py);
          if (!skip) {
            const uint64_t len = tracer.trace<TwoWalks>(px, py, start, scratch);
            if (len == Tracer::kCutInTwoWalks) [[unlikely]] return false;
            on_border(start == kEast, len, scratch.points);
          }
          outer_now = pending & outer & ~vis_row[k];
          starts = outer_now | (pending & hole & ~east_flags());
        }
      }
    }
  }
  return true;
}

// follow_borders with borders walked from both ends, unless one of them
// reaches the safety bound; `restart` then clears what on_border collected.
template <class OnBorder, class Restart>
void follow_all_borders(const imgproc::BitLabels& labels, uint64_t longest, uint64_t shortest,
                        OnBorder&& on_border, Restart&& restart) {
  if (follow_borders<true>(labels, longest, shortest, on_border)) return;
  restart();
  follow_borders<false>(labels, longest, shortest, on_border);
}

}  // namespace

Vec<Candidate> trace_candidates(const GrayImage& gray, const DetectorParams& params,
                                const imgproc::BitLabels& labels) {
  Vec<Candidate> out;
  if (gray.empty()) return out;
  const double d = double(std::max(gray.width, gray.height));
  const PerimeterLimits lim = perimeter_limits(params, d);
  const bool refit = params.corner_refinement_method == CORNER_REFINE_CONTOUR;
  Buffers buf;
  auto keep_quad = [&](bool hole, uint64_t len, const Vec<Point2i>& points) {
    // The length limit counts contour points, and a hole border can
    // count many more than it encloses: the inside of the thin band a
    // small window leaves along the inner edge of a marker's frame picks
    // up bumps from the noise in the dark frame. Such an outline passes
    // the limit where the marker's own (outer) outline does not, and the
    // marker is then reported with corners a few pixels inside its edge.
    // A hole border must therefore also be as large as the limit by its
    // quad's Chebyshev perimeter, which is what a clean outline of that
    // quad counts (and never more than its own count, as the vertices
    // lie on the contour). Outer borders keep the point count alone.
    if (len < lim.min || len > lim.max) return;
    Quad quad;
    if (!contour_to_quad(buf, points.data(), size_t(len), params, d, quad)) return;
    if (hole && chebyshev_perimeter(quad) < double(lim.min)) return;
    if (refit) quad = corner_refine::refine_from_contour(quad, points.data(), size_t(len));
    out.push_back(Candidate{quad});
  };
  follow_all_borders(labels, lim.max, lim.min, keep_quad, [&] { out.clear(); });
  return out;
}

Vec<Border> trace_borders(const imgproc::BitLabels& labels, bool skip_short) {
  Vec<Border> out;
  auto keep_border = [&](bool hole, uint64_t len, const Vec<Point2i>& points) {
    out.push_back(Border{hole, Vec<Point2i>(points.begin(), points.begin() + ptrdiff_t(len))});
  };
  const uint64_t longest = std::numeric_limits<uint64_t>::max();
  follow_all_borders(labels, longest, skip_short ? longest : 0, keep_border, [&] { out.clear(); });
  return out;
}

}  // namespace markvane::contours
