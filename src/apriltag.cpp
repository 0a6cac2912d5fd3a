#include "apriltag.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

#include "affinity.h"
#include "imgproc.h"

namespace markvane::apriltag {

namespace {

constexpr uint32_t kNoLabel = std::numeric_limits<uint32_t>::max();

// Blur sigmas are clamped to this magnitude. The kernel grows by about 6.7
// taps per unit of sigma; beyond a few hundred taps the blur flattens the
// image anyway, while the cost (taps per pixel) would grow without bound.
constexpr double kMaxBlurSigma = 256.0;

// Nearest integer, halves away from zero, of a value in [0, 255]. Exact:
// v - trunc(v) is representable, so no 0.49999997 + 0.5 rounding trap.
inline uint8_t round_byte(float v) {
  const int32_t t = int32_t(v);
  return uint8_t(t + (v - float(t) >= 0.5f ? 1 : 0));
}

// Clamp to [0, 255]; NaN becomes 0.
inline float clamp_byte_range(float v) { return v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f; }

// Runs body(first, last) over `n` rows split into bands, in parallel when the
// image is large enough to repay it (about 64k pixels a band). Every row is
// computed on its own, so the result does not depend on the split.
template <class Body>
void for_row_bands(size_t n, size_t row_pixels, Body&& body) {
  const size_t bands = std::clamp<size_t>(n * row_pixels / 65536, 1, 4 * affinity::concurrency());
  if (bands == 1 || n < bands) {
    body(size_t(0), n);
    return;
  }
  affinity::parallel_for(bands, [&](size_t b) { body(n * b / bands, n * (b + 1) / bands); });
}

// ---------------------------------------------------------------------------
// Decimation: separable tent filter.

// Normalised taps of one resampling pass from n to m samples: output o reads
// sources [first[o], first[o] + count[o]) with weights starting at offset[o].
struct TentTaps {
  Vec<uint32_t> first;
  Vec<uint32_t> count;
  Vec<size_t> offset;
  Vec<float> weights;
};

TentTaps tent_taps(uint32_t n, uint32_t m) {
  TentTaps t;
  t.first.resize(m);
  t.count.resize(m);
  t.offset.resize(m);
  const float ratio = float(n) / float(m);
  const float scale = std::max(ratio, 1.0f);
  for (uint32_t o = 0; o < m; ++o) {
    const float centre = (float(o) + 0.5f) * ratio;
    const int64_t left = std::clamp<int64_t>(int64_t(std::floor(centre - scale)), 0, int64_t(n) - 1);
    const int64_t right = std::clamp<int64_t>(int64_t(std::ceil(centre + scale)), left + 1, n);
    const size_t start = t.weights.size();
    float sum = 0.0f;
    for (int64_t i = left; i < right; ++i) {
      const float a = std::fabs((float(i) - (centre - 0.5f)) / scale);
      const float w = a < 1.0f ? 1.0f - a : 0.0f;
      t.weights.push_back(w);
      sum += w;
    }
    for (size_t k = start; k < t.weights.size(); ++k) t.weights[k] = t.weights[k] / sum;
    t.first[o] = uint32_t(left);
    t.count[o] = uint32_t(right - left);
    t.offset[o] = start;
  }
  return t;
}

MV_CLONES("avx2", "default")
void accumulate_row(float* __restrict acc, const uint8_t* __restrict src, float w, size_t n) {
  for (size_t x = 0; x < n; ++x) acc[x] += w * float(src[x]);
}

// Four taps at once (halving), the same additions in the same order as four
// accumulate_row passes over a zeroed row.
MV_CLONES("avx2", "default")
void accumulate_four_rows(float* __restrict acc, const uint8_t* __restrict r0, const uint8_t* __restrict r1,
                          const uint8_t* __restrict r2, const uint8_t* __restrict r3, const float* wt,
                          size_t n) {
  const float w0 = wt[0], w1 = wt[1], w2 = wt[2], w3 = wt[3];
  for (size_t x = 0; x < n; ++x) {
    float a = 0.0f;
    a += w0 * float(r0[x]);
    a += w1 * float(r1[x]);
    a += w2 * float(r2[x]);
    a += w3 * float(r3[x]);
    acc[x] = a;
  }
}

// Vertical pass for output row o: the unrounded floats of its w columns.
void decimate_row(const GrayImage& gray, const TentTaps& taps, size_t o, float* __restrict dst) {
  const size_t w = gray.width;
  const float* wt = taps.weights.data() + taps.offset[o];
  const uint8_t* src = gray.data.data() + size_t(taps.first[o]) * w;
  if (taps.count[o] == 4) {
    accumulate_four_rows(dst, src, src + w, src + 2 * w, src + 3 * w, wt, w);
    return;
  }
  std::fill(dst, dst + w, 0.0f);
  for (uint32_t k = 0; k < taps.count[o]; ++k) accumulate_row(dst, src + k * w, wt[k], w);
}

// The outputs [lo, hi) whose four taps are those of every other output in
// the range, each starting two sources after the one before: decimation by
// exactly 2 along an even side, away from its ends.
struct PairRun {
  uint32_t lo = 0, hi = 0;
};

PairRun pair_run(const TentTaps& t) {
  const size_t m = t.first.size();
  if (m < 3) return {};
  const size_t ref = m / 2;
  const float* w = t.weights.data() + t.offset[ref];
  auto same_as_ref = [&](size_t o) {
    if (t.count[o] != 4 || int64_t(t.first[o]) - int64_t(t.first[ref]) != 2 * (int64_t(o) - int64_t(ref)))
      return false;
    const float* v = t.weights.data() + t.offset[o];
    return std::memcmp(v, w, 4 * sizeof(float)) == 0;
  };
  if (!same_as_ref(ref)) return {};
  size_t lo = ref, hi = ref + 1;
  while (lo > 0 && same_as_ref(lo - 1)) --lo;
  while (hi < m && same_as_ref(hi)) ++hi;
  return {uint32_t(lo), uint32_t(hi)};
}

// dst[o] for n outputs of a pair run whose first output reads src[0..3]: the
// general pass's arithmetic, operation for operation, with the taps fixed
// so that the outputs go through vector lanes side by side.
MV_CLONES("avx2", "default") MV_NO_TRAPPING_MATH
void decimate_pairs(const float* __restrict src, uint8_t* __restrict dst, const float* __restrict w,
                    size_t n) {
  const float w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
  for (size_t o = 0; o < n; ++o) {
    const float* s = src + 2 * o;
    float acc = 0.0f;
    acc += w0 * s[0];
    acc += w1 * s[1];
    acc += w2 * s[2];
    acc += w3 * s[3];
    // clamp_byte_range and round_byte, written out: helpers compiled with
    // other options are not inlined here, and a call keeps the loop scalar.
    const float v = acc > 0.0f ? (acc < 255.0f ? acc : 255.0f) : 0.0f;
    const int32_t t = int32_t(v);
    dst[o] = uint8_t(t + (v - float(t) >= 0.5f ? 1 : 0));
  }
}

}  // namespace

namespace {

// The decimated size of a side: n / factor rounded, at least 1. n / factor
// < n, so the rounded size always fits.
uint32_t decimated_side(uint32_t n, double factor) {
  return std::max<uint32_t>(1, uint32_t(std::round(double(n) / factor)));
}

// Both passes' taps of one decimation, so that its rows can be made in any
// order and any grouping.
struct Decimator {
  TentTaps vertical, horizontal;
  PairRun run;

  Decimator(const GrayImage& gray, uint32_t nw, uint32_t nh)
      : vertical(tent_taps(gray.height, nh)), horizontal(tent_taps(gray.width, nw)), run(pair_run(horizontal)) {}

  // Output rows [first, last) of `out`, each through both passes at once, so
  // that its floats stay in cache instead of making a whole-image round trip
  // through memory.
  void rows(const GrayImage& gray, GrayImage& out, size_t first, size_t last) const {
    const uint32_t nw = out.width;
    WorkVec<float> row(gray.width);
    // locals: the byte stores below may alias anything
    const float* weights = horizontal.weights.data();
    const size_t* offset = horizontal.offset.data();
    const uint32_t* from = horizontal.first.data();
    const uint32_t* count = horizontal.count.data();
    auto general = [&](const float* src, uint8_t* dst, uint32_t o0, uint32_t o1) {
      for (uint32_t o = o0; o < o1; ++o) {
        const float* wt = weights + offset[o];
        const float* s = src + from[o];
        float acc = 0.0f;
        for (uint32_t k = 0; k < count[o]; ++k) acc += wt[k] * s[k];
        dst[o] = round_byte(clamp_byte_range(acc));
      }
    };
    for (size_t y = first; y < last; ++y) {
      decimate_row(gray, vertical, y, row.data());
      const float* src = row.data();
      uint8_t* dst = out.data.data() + y * nw;
      general(src, dst, 0, run.lo);
      if (run.hi > run.lo) {
        decimate_pairs(src + from[run.lo], dst + run.lo, weights + offset[run.lo], run.hi - run.lo);
      }
      general(src, dst, run.hi, nw);
    }
  }
};

}  // namespace

GrayImage decimate(const GrayImage& gray, double factor) {
  if (!(factor > 1.0)) return gray;
  const uint32_t nw = decimated_side(gray.width, factor), nh = decimated_side(gray.height, factor);
  if (gray.width == 0 || gray.height == 0) {
    return GrayImage{nw, nh, WorkVec<uint8_t>(size_t(nw) * nh, 0)};
  }
  if (nw == gray.width && nh == gray.height) return gray;

  const Decimator d(gray, nw, nh);
  GrayImage out{nw, nh, WorkVec<uint8_t>(size_t(nw) * nh)};  // every row is written
  for_row_bands(nh, gray.width * size_t(d.vertical.count[0]),
                [&](size_t first, size_t last) { d.rows(gray, out, first, last); });
  return out;
}

// ---------------------------------------------------------------------------
// Blur and sharpen.

namespace {

// Gaussian taps for |sigma|. Magnitudes that single precision cannot hold as a
// normal number are clamped: subnormal ones up to FLT_MIN (which, like any
// tiny sigma, leaves the image unchanged), huge ones down to kMaxBlurSigma.
// A magnitude that rounds to zero in single precision means the default 0.8.
Vec<float> gaussian_taps(double sigma) {
  float s = float(std::min(std::fabs(sigma), kMaxBlurSigma));
  if (s == 0.0f) s = 0.8f;
  if (s < FLT_MIN) s = FLT_MIN;
  const float len = std::max(((s - 0.8f) / 0.3f + 1.0f) * 2.0f + 1.0f, 3.0f);
  const uint32_t n = uint32_t(len) | 1u;
  const float mean = float(n / 2);
  const float norm = 1.0f / (s * 2.5066283f);
  Vec<float> w(n);
  float sum = 0.0f;
  for (uint32_t i = 0; i < n; ++i) {
    const float t = (float(i) - mean) / s;
    w[i] = std::exp(-0.5f * (t * t)) * norm;
    sum += w[i];
  }
  if (sum != 0.0f) {
    const float inv = 1.0f / sum;
    for (float& v : w) v *= inv;
  }
  return w;
}

// acc[i] = fma(w, a[i] + b[i], acc[i]): one mirrored tap pair for a whole
// line of outputs. Lanes are independent, so vectorising keeps every
// output's own accumulation order.
MV_CLONES("fma", "default")
void fma_pair(float* __restrict acc, const float* a, const float* b, float w, size_t n) {
  for (size_t i = 0; i < n; ++i) acc[i] = std::fma(w, a[i] + b[i], acc[i]);
}

void scale_line(float* __restrict acc, const float* __restrict v, float w, size_t n) {
  for (size_t i = 0; i < n; ++i) acc[i] = w * v[i];
}

// Symmetric filter of every row, edges replicated. `padded` holds one row
// with c replicated samples on each side.
Vec<float> blur_rows(const GrayImage& gray, const Vec<float>& w) {
  const size_t width = gray.width, c = w.size() / 2;
  Vec<float> out(width * gray.height);
  for_row_bands(gray.height, width * w.size(), [&](size_t first, size_t last) {
    Vec<float> padded(width + 2 * c);
    for (size_t y = first; y < last; ++y) {
      const uint8_t* src = gray.data.data() + y * width;
      std::fill(padded.begin(), padded.begin() + c, float(src[0]));
      for (size_t x = 0; x < width; ++x) padded[c + x] = float(src[x]);
      std::fill(padded.begin() + c + width, padded.end(), float(src[width - 1]));
      float* acc = out.data() + y * width;
      scale_line(acc, padded.data() + c, w[c], width);
      for (size_t j = 0; j < c; ++j) {
        fma_pair(acc, padded.data() + j, padded.data() + 2 * c - j, w[j], width);
      }
    }
  });
  return out;
}

// The vertical pass of the same filter, rounded into bytes.
GrayImage blur_columns(const Vec<float>& rows, uint32_t width, uint32_t height, const Vec<float>& w) {
  const size_t c = w.size() / 2;
  const int64_t last = int64_t(height) - 1;
  const auto row = [&](int64_t y) { return rows.data() + size_t(std::clamp<int64_t>(y, 0, last)) * width; };
  GrayImage out{width, height, WorkVec<uint8_t>(size_t(width) * height, 0)};
  for_row_bands(height, size_t(width) * w.size(), [&](size_t first, size_t end) {
    Vec<float> acc(width);
    for (int64_t y = int64_t(first); y < int64_t(end); ++y) {
      scale_line(acc.data(), row(y), w[c], width);
      for (size_t j = 0; j < c; ++j) {
        const int64_t d = int64_t(c - j);
        fma_pair(acc.data(), row(y - d), row(y + d), w[j], width);
      }
      uint8_t* dst = out.data.data() + size_t(y) * width;
      for (size_t x = 0; x < width; ++x) dst[x] = round_byte(clamp_byte_range(acc[x]));
    }
  });
  return out;
}

}  // namespace

GrayImage blur(const GrayImage& gray, double sigma) {
  if (sigma == 0.0 || std::isnan(sigma) || gray.empty()) return gray;
  const Vec<float> taps = gaussian_taps(sigma);
  GrayImage blurred = blur_columns(blur_rows(gray, taps), gray.width, gray.height, taps);
  if (sigma > 0.0) return blurred;
  for (size_t i = 0; i < blurred.data.size(); ++i) {
    const int32_t v = 2 * int32_t(gray.data[i]) - int32_t(blurred.data[i]);
    blurred.data[i] = uint8_t(std::clamp(v, 0, 255));
  }
  return blurred;
}

// ---------------------------------------------------------------------------
// Tile threshold.

namespace {

MV_CLONES("avx2", "default")
void column_extrema(const uint8_t* r0, size_t stride, uint8_t* __restrict lo, uint8_t* __restrict hi,
                    size_t n) {
  const uint8_t *r1 = r0 + stride, *r2 = r1 + stride, *r3 = r2 + stride;
  for (size_t x = 0; x < n; ++x) {
    lo[x] = std::min(std::min(r0[x], r1[x]), std::min(r2[x], r3[x]));
    hi[x] = std::max(std::max(r0[x], r1[x]), std::max(r2[x], r3[x]));
  }
}

// One row of the output: decided[x] is 0xFF where the pixel's tile has
// enough contrast, thr[x] that tile's threshold.
MV_CLONES("avx2", "default")
void threshold_row(const uint8_t* __restrict src, const uint8_t* __restrict thr,
                   const uint8_t* __restrict decided, uint8_t* __restrict dst, size_t n) {
  for (size_t x = 0; x < n; ++x) {
    const uint8_t bw = src[x] > thr[x] ? kWhite : kBlack;
    dst[x] = uint8_t((bw & decided[x]) | (kUndecided & ~decided[x]));
  }
}

MV_CLONES("avx2", "default")
void max3_rows(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* __restrict out,
               size_t n) {
  for (size_t x = 0; x < n; ++x) out[x] = std::max(std::max(a[x], b[x]), c[x]);
}

MV_CLONES("avx2", "default")
void min3_rows(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* __restrict out,
               size_t n) {
  for (size_t x = 0; x < n; ++x) out[x] = std::min(std::min(a[x], b[x]), c[x]);
}

// 3 x 3 extremum of every interior pixel of `src`, written to `dst`; the
// outermost rows and columns of `dst` are left alone.
template <bool kMax>
void filter3x3_interior(const GrayImage& src, GrayImage& dst) {
  const size_t w = src.width;
  Vec<uint8_t> column(w);
  for (size_t y = 1; y + 1 < src.height; ++y) {
    const uint8_t* mid = src.data.data() + y * w;
    if constexpr (kMax) max3_rows(mid - w, mid, mid + w, column.data(), w);
    else min3_rows(mid - w, mid, mid + w, column.data(), w);
    uint8_t* out = dst.data.data() + y * w;
    if constexpr (kMax) max3_rows(column.data(), column.data() + 1, column.data() + 2, out + 1, w - 2);
    else min3_rows(column.data(), column.data() + 1, column.data() + 2, out + 1, w - 2);
  }
}

// Closing of the white regions (dilate, then erode), interior pixels only;
// 127 takes part like any other value.
void deglitch_closing(GrayImage& img) {
  GrayImage dilated = img;
  filter3x3_interior<true>(img, dilated);
  filter3x3_interior<false>(dilated, img);
}

// The tile threshold in pieces of tile rows: the minimum and maximum of
// every whole 4 x 4 tile (leftover columns and rows take no part), then each
// tile row's 3 x 3 neighbourhood extrema over the tile grid (clipped at its
// edges) and its pixels. A tile row's pixels need the extrema of the tile
// rows beside it, so the two steps may run on separate pieces in order.
struct TileThreshold {
  uint32_t tw = 0, th = 0;
  int32_t min_diff = 0;
  Vec<uint8_t> lo, hi;  // tw * th, row-major

  TileThreshold(const GrayImage& gray, int32_t min_white_black_diff)
      : tw(gray.width / 4), th(gray.height / 4), min_diff(min_white_black_diff),
        lo(size_t(tw) * th), hi(size_t(tw) * th) {}

  void extrema(const GrayImage& gray, size_t first, size_t last) {
    Vec<uint8_t> col_lo(size_t(tw) * 4), col_hi(size_t(tw) * 4);
    for (size_t ty = first; ty < last; ++ty) {
      column_extrema(gray.data.data() + ty * 4 * gray.width, gray.width, col_lo.data(), col_hi.data(),
                     col_lo.size());
      uint8_t* tlo = lo.data() + ty * tw;
      uint8_t* thi = hi.data() + ty * tw;
      for (size_t tx = 0; tx < tw; ++tx) {
        const uint8_t* l = col_lo.data() + 4 * tx;
        const uint8_t* h = col_hi.data() + 4 * tx;
        tlo[tx] = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
        thi[tx] = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
      }
    }
  }

  // Pixels of tile rows [first, last); the last tile row and column stretch
  // to the image edge, so leftover pixels use the nearest tile's statistics.
  void pixels(const GrayImage& gray, GrayImage& out, size_t first, size_t last) const {
    const uint32_t w = gray.width, h = gray.height;
    Vec<uint8_t> thr(w), decided(w), nlo(tw), nhi(tw), column(tw);
    const int32_t diff = min_diff;  // locals: the byte stores below may alias anything
    for (size_t ty = first; ty < last; ++ty) {
      neighbourhood_row(lo, ty, column.data(), nlo.data(), [](uint8_t a, uint8_t b) { return std::min(a, b); });
      neighbourhood_row(hi, ty, column.data(), nhi.data(), [](uint8_t a, uint8_t b) { return std::max(a, b); });
      uint8_t* dec = decided.data();
      uint8_t* th_row = thr.data();
      for (uint32_t x = 0; x < w; ++x) {
        const uint32_t t = std::min(x / 4, tw - 1);
        const int32_t mn = nlo[t], mx = nhi[t];
        dec[x] = mx - mn >= diff ? 0xFF : 0x00;
        th_row[x] = uint8_t((mn + mx) / 2);
      }
      const uint32_t y_end = ty + 1 == th ? h : 4 * uint32_t(ty) + 4;
      for (uint32_t y = 4 * uint32_t(ty); y < y_end; ++y) {
        const size_t row = size_t(y) * w;
        threshold_row(gray.data.data() + row, thr.data(), decided.data(), out.data.data() + row, w);
      }
    }
  }

 private:
  // The extremum over the 3 x 3 tiles around each tile of row ty: down the
  // three rows into `column`, then across (min and max are exact, so the
  // order of the comparisons does not matter).
  template <class Op>
  void neighbourhood_row(const Vec<uint8_t>& tiles, size_t ty, uint8_t* column, uint8_t* out, Op op) const {
    const uint8_t* mid = tiles.data() + ty * tw;
    const uint8_t* up = ty > 0 ? mid - tw : mid;
    const uint8_t* down = ty + 1 < th ? mid + tw : mid;
    for (size_t tx = 0; tx < tw; ++tx) column[tx] = op(op(up[tx], mid[tx]), down[tx]);
    for (size_t tx = 0; tx < tw; ++tx) {
      uint8_t v = column[tx];
      if (tx > 0) v = op(v, column[tx - 1]);
      if (tx + 1 < tw) v = op(v, column[tx + 1]);
      out[tx] = v;
    }
  }
};

}  // namespace

GrayImage threshold(const GrayImage& gray, int32_t min_white_black_diff, bool deglitch) {
  const uint32_t w = gray.width, h = gray.height;
  if (w / 4 == 0 || h / 4 == 0) return GrayImage{w, h, WorkVec<uint8_t>(size_t(w) * h, kUndecided)};
  GrayImage out{w, h, WorkVec<uint8_t>(size_t(w) * h)};  // every pixel is written
  TileThreshold tiles(gray, min_white_black_diff);
  for_row_bands(tiles.th, 16 * size_t(tiles.tw),
                [&](size_t first, size_t last) { tiles.extrema(gray, first, last); });
  for_row_bands(tiles.th, 4 * size_t(w), [&](size_t first, size_t last) { tiles.pixels(gray, out, first, last); });
  if (deglitch && w >= 3 && h >= 3) deglitch_closing(out);
  return out;
}

// ---------------------------------------------------------------------------
// Component labelling and boundary edges.

namespace {

// Neighbours an edge can lead to, in emission order: right, down, down-left,
// down-right, as (dx, dy).
constexpr int32_t kDirX[4] = {1, 0, -1, 1};
constexpr int32_t kDirY[4] = {0, 1, 1, 1};

// Root of `a`; every label on the walked path is re-pointed at it.
inline uint32_t find_root(uint32_t* parents, uint32_t a) {
  uint32_t root = a;
  while (parents[root] != root) root = parents[root];
  while (parents[a] != root) {
    const uint32_t next = parents[a];
    parents[a] = root;
    a = next;
  }
  return root;
}

// Union by size (counted in labels). On a tie the upper pixel's root wins,
// which fixes the roots and hence the cluster keys.
inline void unite(uint32_t* parents, uint32_t* sizes, uint32_t a, uint32_t b) {
  if (parents[a] == parents[b]) return;
  const uint32_t ra = find_root(parents, a);
  const uint32_t rb = find_root(parents, b);
  if (ra == rb) return;
  if (sizes[rb] < sizes[ra]) {
    parents[rb] = ra;
    sizes[ra] += sizes[rb];
  } else {
    parents[ra] = rb;
    sizes[rb] += sizes[ra];
  }
}

// Labels count from 0 along each row, in raster order, one per run a row's
// labelling makes; row y's labels are then row_base[y] + its own. A union
// the labelling makes, in such row labels: the run labelled `label` meets
// the pixel labelled `upper` in the row above.
struct Join {
  uint32_t label;
  uint32_t upper;
};

// Row 0 has nothing above; its runs join left from column 2 on, unless it is
// also the last row. Every pixel of the row is written, undecided ones with
// kNoLabel. Returns the number of labels.
uint32_t label_first_row(const uint8_t* row, uint32_t w, bool single_row, uint32_t* lab) {
  uint32_t count = 0;
  for (uint32_t x = 0; x < w; ++x) {
    const uint8_t v = row[x];
    if (v == kUndecided) {
      lab[x] = kNoLabel;
      continue;
    }
    lab[x] = (x >= 2 && !single_row && row[x - 1] == v) ? lab[x - 1] : count++;
  }
  return count;
}

// End of the run of pixels equal to row[x0] that starts at x0: the first
// x >= x0 + 1 with row[x] != row[x0], or w.
inline uint32_t run_end(const uint8_t* row, uint32_t x0, uint32_t w) {
  const uint8_t v = row[x0];
  uint32_t x = x0 + 1;
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t pattern = uint64_t(v) * 0x0101010101010101ull;
    for (; x + 8 <= w; x += 8) {  // eight pixels at a time
      uint64_t word;
      std::memcpy(&word, row + x, 8);
      if (const uint64_t diff = word ^ pattern; diff != 0) return x + (uint32_t(std::countr_zero(diff)) >> 3);
    }
  }
  while (x < w && row[x] == v) ++x;
  return x;
}

// Bytes of `word` equal to v: bit 7 of each such byte set, nothing else.
// Exact (no borrow crosses a byte): bit 7 of (b & 0x7F) + 0x7F is set unless
// the low seven bits are all zero, and or-ing b adds its own bit 7.
inline uint64_t equal_bytes(uint64_t word, uint8_t v) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t z = word ^ (uint64_t(v) * 0x0101010101010101ull);
  return ~(((z & kLow7) + kLow7) | z | kLow7);
}

// lab[x0, x1) = label. Runs are mostly a few pixels long: whole groups of
// eight are stored while they stay inside the label image, spilling into
// pixels after the run, which the row's later runs, or the next row, write
// again.
inline void fill_run(uint32_t* lab, uint32_t x0, uint32_t x1, uint32_t label, const uint32_t* end) {
  uint32_t* p = lab + x0;
  uint32_t* const stop = lab + x1;
  if (size_t(end - p) >= size_t(x1 - x0) + 7) {
    for (; p < stop; p += 8) {
      for (int i = 0; i < 8; ++i) p[i] = label;
    }
  } else {
    std::fill(p, stop, label);
  }
}

// kLowBytes[n]: a word with its low n bytes set.
constexpr std::array<uint64_t, 9> kLowBytes = {0,          0xFF,           0xFFFF,           0xFFFFFF,
                                               0xFFFFFFFF, 0xFFFFFFFFFF,   0xFFFFFFFFFFFF,   0xFFFFFFFFFFFFFF,
                                               ~uint64_t(0)};

// What a row's labelling does with its labels and unions: nothing (the
// labels alone are wanted), list the unions to be made later, or make them.
// `fresh` marks a label's first union; the caller knows it without a
// flag in memory that every union would read and write.
struct LabelsOnly {
  static constexpr bool kJoins = false;
  void new_label(uint32_t) {}
  void join(uint32_t, uint32_t, bool) {}
};

// Appends to room made beforehand: a run's first pixel makes at most two
// unions, every other pixel at most one.
struct UnionList {
  static constexpr bool kJoins = true;
  Join* out;
  void new_label(uint32_t) {}
  void join(uint32_t label, uint32_t upper, bool) { *out++ = Join{label, upper}; }
};

// Makes the unions of a row whose labels start at `first` (those of the
// row above at `above`); the rows above have made theirs. A label is a
// root of size one until its first union, which therefore only hangs it
// under the other root (ties go to the upper pixel): the same forest as a
// full union, without its checks and walk.
struct Uniter {
  static constexpr bool kJoins = true;
  uint32_t* parents;
  uint32_t* sizes;
  uint32_t first, above;
  void new_label(uint32_t label) {
    parents[first + label] = first + label;
    sizes[first + label] = 1;
  }
  void join(uint32_t label, uint32_t upper, bool fresh) {
    const uint32_t a = first + label, b = above + upper;
    if (fresh) {
      const uint32_t root = find_root(parents, b);
      parents[a] = root;
      ++sizes[root];
    } else {
      unite(parents, sizes, a, b);
    }
  }
};

// Rows below the first, run by run. A pixel that joins its left neighbour
// (from column 2 on, never in the last row) shares its label and looks only
// at its rightmost upper neighbour, and only where the upper row's label
// changes: the other neighbours were seen by the pixels to its left. So a
// run costs one label and its unions happen where the row above starts a
// new label. Upper pixels in the first and last columns never take part.
// Every pixel of the row is written, undecided ones with kNoLabel; stores
// stay below `lab_end` (see fill_run). The sink is told of each label
// (new_label) and then of its unions with the row above (join, with the
// upper pixel's label from `lup`), in the order they are to be made.
// Returns the number of labels.
template <class Sink>
uint32_t label_row(const uint8_t* row, uint32_t w, bool last_row, uint32_t* lab, const uint32_t* lab_end,
                   const uint32_t* lup, Sink& sink) {
  const uint8_t* up = row - w;
  const uint32_t last_inner = w >= 2 ? w - 2 : 0;  // inner columns are 1..w-2
  uint32_t count = 0;
  for (uint32_t x0 = 0, x1; x0 < w; x0 = x1) {
    const uint8_t v = row[x0];
    x1 = (last_row || x0 == 0) ? x0 + 1 : run_end(row, x0, w);
    if (v == kUndecided) {
      fill_run(lab, x0, x1, kNoLabel, lab_end);
      continue;
    }
    const uint32_t label = count++;
    fill_run(lab, x0, x1, label, lab_end);
    if constexpr (!Sink::kJoins) continue;
    sink.new_label(label);
    bool fresh = true;
    const auto join = [&](uint32_t upper) { sink.join(label, upper, fresh); fresh = false; };
    // The run's first pixel: white looks at three upper neighbours, black at one.
    const uint32_t c0 = v == kWhite ? std::max<uint32_t>(x0, 2) - 1 : std::max<uint32_t>(x0, 1);
    const uint32_t c1 = std::min(v == kWhite ? x0 + 1 : x0, last_inner);
    // Matching upper pixels in adjacent columns share a label (from column 1
    // on, the row above joins left), so only the first of each group needs a
    // union: the others would find the labels joined and change nothing. The
    // matches are gathered as bits, not branched on one by one.
    if (c0 <= c1) {
      const uint8_t* u = up + c0;
      const uint32_t span = c1 - c0;  // at most 2
      const uint32_t match = uint32_t(u[0] == v) | (span >= 1 ? uint32_t(u[1] == v) << 1 : 0u) |
                             (span >= 2 ? uint32_t(u[2] == v) << 2 : 0u);
      for (uint32_t first = match & ~(match << 1); first != 0; first &= first - 1)
        join(lup[c0 + uint32_t(std::countr_zero(first))]);
    }
    // The joined pixels: white x looks at x + 1 (x at the last column, never
    // inner), black x at x itself. Here c >= 2, and an upper pixel from
    // column 2 on shares its left neighbour's label exactly when it has the
    // same value (the row above is never the last), so the bytes show where
    // the upper label changes: eight columns at a time.
    const uint32_t j0 = v == kWhite ? x0 + 2 : x0 + 1;
    const uint32_t j1 = std::min(v == kWhite ? x1 : x1 - 1, last_inner);
    if (std::endian::native == std::endian::little && w >= 16) {
      // The first word is read whatever the run's length (masked to nothing
      // when the run has no joined pixels), so short runs take no branch on
      // their length. Reads reach up + max(j0, j1) + 7 <= row + 8, inside the
      // current row.
      uint32_t c = j0;
      do {
        uint64_t here, left;
        std::memcpy(&here, up + c, 8);
        std::memcpy(&left, up + c - 1, 8);
        const int64_t to_end = int64_t(j1) + 1 - int64_t(c);  // columns from c to j1
        const uint64_t in_run = kLowBytes[std::clamp<int64_t>(to_end, 0, 8)];
        uint64_t starts = equal_bytes(here, v) & ~equal_bytes(left, v) & in_run;
        for (; starts != 0; starts &= starts - 1) join(lup[c + (std::countr_zero(starts) >> 3)]);
        c += 8;
      } while (c <= j1);
    } else {
      for (uint32_t c = j0; c <= j1; ++c) {
        if (up[c] == v && up[c - 1] != v) join(lup[c]);
      }
    }
  }
  return count;
}

// flags[x], for the interior columns of a row, has bit d set when the pixel
// and its neighbour in direction d are one black and one white. Returns the
// number of set bits.
MV_CLONES("avx2", "default")
size_t contact_flags(const uint8_t* __restrict row, const uint8_t* __restrict down,
                     uint8_t* __restrict flags, size_t n) {
  uint32_t total = 0;  // at most 4 per pixel and fewer than 2^30 pixels
  for (size_t x = 1; x + 1 < n; ++x) {
    const uint8_t v = row[x];
    const uint8_t c0 = (v ^ row[x + 1]) == 0xFF, c1 = (v ^ down[x]) == 0xFF;
    const uint8_t c2 = (v ^ down[x - 1]) == 0xFF, c3 = (v ^ down[x + 1]) == 0xFF;
    flags[x] = uint8_t(c0 | c1 << 1 | c2 << 2 | c3 << 3);
    total += uint32_t(c0 + c1 + c2 + c3);
  }
  return total;
}

// Calls visit(x, d) for every contact in `flags`, pixel by pixel, directions
// in emission order.
template <class Visit>
void for_each_contact(const uint8_t* flags, uint32_t w, Visit&& visit) {
  const auto pixel = [&](uint32_t x) {
    for (uint32_t bits = flags[x]; bits != 0; bits &= bits - 1) visit(x, uint32_t(std::countr_zero(bits)));
  };
  if constexpr (std::endian::native == std::endian::little) {
    for (uint32_t x = 1; x + 1 < w; x += 8) {
      uint64_t word;  // eight pixels at a time; the flags past the interior are zero
      std::memcpy(&word, flags + x, 8);
      while (word != 0) {
        const uint32_t i = uint32_t(std::countr_zero(word)) >> 3;
        word &= ~(uint64_t(0xFF) << (8 * i));
        pixel(x + i);
      }
    }
  } else {
    for (uint32_t x = 1; x + 1 < w; ++x) pixel(x);
  }
}

// Pixel indices are 32-bit with all ones meaning "no label", and edge
// coordinates (2 x + 1) are signed 32-bit: larger (and empty) images are
// refused, with no labels and no edges.
bool indexable(const GrayImage& img) {
  constexpr uint32_t kMaxSide = uint32_t(1) << 30;
  const uint64_t pixels = uint64_t(img.width) * img.height;
  return pixels != 0 && pixels < kNoLabel && img.width < kMaxSide && img.height < kMaxSide &&
         img.data.size() == pixels;
}

// Room for `n` elements, capped: a generous reservation costs address space
// only (pages are touched as they fill, and no growth step copies them), but
// a huge one could be refused outright.
template <class V>
void reserve_up_to(V& v, uint64_t n) {
  v.reserve(size_t(std::min<uint64_t>(n, uint64_t(1) << 26)) + 16);
}

// Rows the image already holds in full: all of them, unless it is still
// being made (see RowSource), in which case need(n) returns once rows
// [0, n) are final, with the number final by then.
struct WholeImage {
  uint32_t need(uint32_t) const { return std::numeric_limits<uint32_t>::max(); }
};

// The labelling of an image: each pixel's label within its row (see Join)
// and the forest over all labels, row y's from row_base[y] on.
struct RowForest {
  WorkVec<uint32_t> labels;  // per pixel
  Vec<uint32_t> row_base;    // per row, then the number of labels
  WorkVec<uint32_t> parents;  // per label
  WorkVec<uint32_t> sizes;    // per label (meaningful at roots)
};

// A band of rows labelled on its own: its labels go to the label image at
// once, its unions wait in a list until the bands above have made theirs.
struct LabelBand {
  enum State : uint32_t { kFree, kClaimed, kDone, kFailed };
  uint32_t y0 = 0, y1 = 0;
  Vec<uint32_t> counts;   // labels per row
  Vec<size_t> join_end;   // per row, into joins
  WorkVec<Join> joins;
  std::atomic<uint32_t> state{kFree};
  std::exception_ptr error;  // set before the state turns kFailed
};

// Labels the bands of an indexable image and makes their unions. A band's
// labels and list of unions depend on its rows alone, so bands are
// labelled on any thread in any order; the unions fix the roots, so they
// are made on one thread, band after band.
class Labelling {
 public:
  Labelling(const GrayImage& img, RowForest& f) : img_(img), f_(f) {
    const uint32_t w = img.width, h = img.height;
    // Bands of at least 32 rows and about 32k pixels, at most 4096 of them.
    uint32_t rows = std::max<uint32_t>(32, (32768 + w - 1) / w);
    rows = std::max<uint32_t>(rows, (h + 4095) / 4096);
    count_ = (h + rows - 1) / rows;
    bands_ = std::make_unique<LabelBand[]>(count_);
    for (uint32_t k = 0; k < count_; ++k) {
      bands_[k].y0 = k * rows;
      bands_[k].y1 = std::min(h, (k + 1) * rows);
    }
    const uint64_t pixels = uint64_t(w) * h;
    f.labels.resize(pixels);  // every row's labelling writes all of its pixels
    f.row_base.assign(size_t(h) + 1, 0);
    f.parents.clear();
    f.sizes.clear();
    reserve_up_to(f.parents, pixels / 2);
    reserve_up_to(f.sizes, pixels / 2);
  }

  size_t bands() const { return count_; }

  // Whether this thread gets to label band k.
  bool claim(size_t k) {
    uint32_t expected = LabelBand::kFree;
    return bands_[k].state.compare_exchange_strong(expected, LabelBand::kClaimed, std::memory_order_relaxed);
  }

  // Whether band k is labelled; rethrows what stopped its labelling.
  bool labelled(size_t k) const {
    const uint32_t state = bands_[k].state.load(std::memory_order_acquire);
    if (state == LabelBand::kFailed) std::rethrow_exception(bands_[k].error);
    return state == LabelBand::kDone;
  }

  // Labels band k (claimed by the caller) once its rows are final, listing
  // its unions.
  template <class Rows>
  void label(size_t k, Rows& rows) {
    LabelBand& b = bands_[k];
    try {
      rows.need(b.y1);
      b.counts.resize(b.y1 - b.y0);
      b.join_end.resize(b.y1 - b.y0);
      label_rows(b, false, [&](uint32_t y, const uint32_t* lab_end, const uint32_t* lup) {
        const size_t at = b.joins.size();
        b.joins.resize(at + 2 * size_t(img_.width));
        UnionList list{b.joins.data() + at};
        b.counts[y - b.y0] = label_any_row(y, lab_end, lup, list);
        b.joins.resize(size_t(list.out - b.joins.data()));
        b.join_end[y - b.y0] = b.joins.size();
      });
    } catch (...) {
      b.error = std::current_exception();
      b.state.store(LabelBand::kFailed, std::memory_order_release);
      throw;
    }
    b.state.store(LabelBand::kDone, std::memory_order_release);
  }

  // Labels band k (claimed by the caller) and makes its unions as they
  // come: the bands above have made theirs.
  template <class Rows>
  void label_and_unite(size_t k, Rows& rows) {
    LabelBand& b = bands_[k];
    rows.need(b.y1);
    label_rows(b, true, [&](uint32_t y, const uint32_t* lab_end, const uint32_t* lup) {
      Uniter uniter = room_for_row(y, img_.width);  // a label a pixel at most
      const uint32_t end = uniter.first + label_any_row(y, lab_end, lup, uniter);
      f_.row_base[y + 1] = end;
      f_.parents.resize(end);
      f_.sizes.resize(end);
    });
  }

  // Makes the unions band k listed; the bands above have made theirs.
  void make_unions(size_t k) {
    const LabelBand& b = bands_[k];
    const Join* joins = b.joins.data();
    size_t j = 0;
    for (uint32_t y = b.y0; y < b.y1; ++y) {
      const uint32_t count = b.counts[y - b.y0];
      Uniter uniter = room_for_row(y, count);
      f_.row_base[y + 1] = uniter.first + count;
      const size_t end = b.join_end[y - b.y0];
      for (uint32_t label = 0; label < count; ++label) {
        uniter.new_label(label);
        for (bool fresh = true; j < end && joins[j].label == label; ++j, fresh = false)
          uniter.join(label, joins[j].upper, fresh);
      }
    }
  }

 private:
  // Calls labelled(y, end of the band's labels, labels of the row above)
  // for each row y of band b. `above_labelled`: the bands above are.
  template <class LabelRow>
  void label_rows(const LabelBand& b, bool above_labelled, LabelRow&& labelled) {
    const uint32_t w = img_.width;
    // Stores stay inside the band's own rows: the next band's are being
    // labelled at the same time.
    const uint32_t* const lab_end = f_.labels.data() + size_t(b.y1) * w;
    // The labels of the row above the band, unless they are in the label
    // image already, made again here: they depend on that row alone.
    WorkVec<uint32_t> above;
    if (b.y0 > 0 && !above_labelled) {
      above.resize(size_t(w) + 8);  // room for fill_run's whole groups
      LabelsOnly none;
      label_row_into(b.y0 - 1, above.data(), above.data() + above.size(), nullptr, none);
    }
    for (uint32_t y = b.y0; y < b.y1; ++y) {
      const bool scratch = y == b.y0 && !above.empty();
      labelled(y, lab_end, scratch ? above.data() : f_.labels.data() + size_t(y - 1) * w);
    }
  }

  // Labels row y in the label image, telling `sink` (see label_row).
  template <class Sink>
  uint32_t label_any_row(uint32_t y, const uint32_t* lab_end, const uint32_t* lup, Sink& sink) {
    return label_row_into(y, f_.labels.data() + size_t(y) * img_.width, lab_end, lup, sink);
  }

  // Labels row y into `lab`. Row 0 makes no unions; its labels are new
  // all the same.
  template <class Sink>
  uint32_t label_row_into(uint32_t y, uint32_t* lab, const uint32_t* lab_end, const uint32_t* lup, Sink& sink) {
    const uint32_t w = img_.width, h = img_.height;
    const uint8_t* row = img_.data.data() + size_t(y) * w;
    if (y > 0) return label_row(row, w, y + 1 == h, lab, lab_end, lup, sink);
    const uint32_t count = label_first_row(row, w, h < 2, lab);
    if constexpr (Sink::kJoins) {
      for (uint32_t label = 0; label < count; ++label) sink.new_label(label);
    }
    return count;
  }

  // Room in the forest for `count` labels of row y (whose first label is
  // known), and the uniter of its unions.
  Uniter room_for_row(uint32_t y, uint32_t count) {
    const uint32_t first = f_.row_base[y];
    f_.parents.resize(size_t(first) + count);
    f_.sizes.resize(size_t(first) + count);
    return Uniter{f_.parents.data(), f_.sizes.data(), first, y > 0 ? f_.row_base[y - 1] : 0};
  }

  const GrayImage& img_;
  RowForest& f_;
  uint32_t count_ = 0;
  std::unique_ptr<LabelBand[]> bands_;
};

// Labels every decided pixel of an indexable image. The bands are labelled
// on the pool while one thread makes their unions in order. `extra(i)` for
// i in [0, extra_jobs) runs beside the labelling (jobs that do not need the
// labels).
template <class Rows, class Extra>
void label_image(const GrayImage& img, RowForest& f, Rows& rows, size_t extra_jobs, Extra&& extra) {
  Labelling labelling(img, f);
  const size_t bands = labelling.bands();
  std::atomic<size_t> next_band{0}, next_extra{0};
  // Runs the next extra job, if any.
  const auto take_extra = [&] {
    const size_t j = next_extra.fetch_add(1, std::memory_order_relaxed);
    if (j >= extra_jobs) return false;
    extra(j);
    return true;
  };
  affinity::parallel_for(affinity::concurrency(), [&](size_t t) {
    if (t == 0) {
      // Labelling a band and making its unions in one pass costs less than
      // listing them and making them later: this thread does so with every
      // band it reaches before anyone else has started it, and takes extra
      // jobs while one is under way.
      for (size_t k = 0; k < bands; ++k) {
        if (labelling.claim(k)) {
          labelling.label_and_unite(k, rows);
          continue;
        }
        // Band k is being labelled on a thread that is running it: neither
        // labelling a band nor making rows waits on the pool, so this wait
        // cannot be for a task queued behind it.
        while (!labelling.labelled(k)) {
          if (!take_extra()) std::this_thread::yield();  // nothing else is left
        }
        labelling.make_unions(k);
      }
      while (take_extra()) {
      }
      return;
    }
    // The other threads take the extra jobs first, then label bands from
    // the bottom up until they meet the uniting thread: listing the unions
    // pays only where a thread would otherwise wait for the labelling.
    while (take_extra()) {
    }
    for (size_t i; (i = next_band.fetch_add(1, std::memory_order_relaxed)) < bands;) {
      const size_t k = bands - 1 - i;
      if (!labelling.claim(k)) break;  // the uniting thread has come this far
      labelling.label(k, rows);
    }
  });
}

// Labels in image order: row_base[y] added to every decided pixel's label.
void number_labels(RowForest& f, uint32_t w, uint32_t h) {
  for (uint32_t y = 0; y < h; ++y) {
    uint32_t* lab = f.labels.data() + size_t(y) * w;
    for (uint32_t x = 0; x < w; ++x) {
      if (lab[x] != kNoLabel) lab[x] += f.row_base[y];
    }
  }
}

inline uint32_t neighbour_offset(uint32_t w, uint32_t d) {
  return d == 0 ? 1 : w + uint32_t(kDirX[d]);
}

inline EdgePoint edge_point(const uint8_t* data, uint32_t w, uint32_t x, uint32_t y, uint32_t d) {
  const size_t p = size_t(y) * w + x;
  const int32_t diff = int32_t(data[p + neighbour_offset(w, d)]) - int32_t(data[p]);
  return EdgePoint{int32_t(2 * x) + kDirX[d], int32_t(2 * y) + kDirY[d], kDirX[d] * diff, kDirY[d] * diff};
}

}  // namespace

Boundaries boundary_edges(const GrayImage& three_valued, bool listed_unions) {
  Boundaries out;
  if (!indexable(three_valued)) return out;
  const uint8_t* data = three_valued.data.data();
  const uint32_t w = three_valued.width, h = three_valued.height;
  RowForest f;
  WholeImage whole;
  if (listed_unions) {
    // Bottom band first, as threads that run ahead take them.
    Labelling labelling(three_valued, f);
    for (size_t k = labelling.bands(); k-- > 0;) {
      labelling.claim(k);
      labelling.label(k, whole);
    }
    for (size_t k = 0; k < labelling.bands(); ++k) labelling.make_unions(k);
  } else {
    label_image(three_valued, f, whole, 0, [](size_t) {});
  }
  number_labels(f, w, h);
  out.forest = Forest{std::move(f.labels), std::move(f.parents), std::move(f.sizes)};
  Vec<uint8_t> flags(size_t(w) + 8, 0);  // zero outside the interior columns
  for (uint32_t y = 1; w >= 3 && y + 1 < h; ++y) {
    const uint8_t* row = data + size_t(y) * w;
    contact_flags(row, row + w, flags.data(), w);
    for_each_contact(flags.data(), w, [&](uint32_t x, uint32_t d) {
      const uint32_t from = y * w + x;
      out.edges.push_back(BoundaryEdge{edge_point(data, w, x, y, d), from, from + neighbour_offset(w, d)});
    });
  }
  return out;
}

uint64_t edge_key(WorkVec<uint32_t>& parents, const WorkVec<uint32_t>& labels, uint32_t pixel_a,
                  uint32_t pixel_b) {
  const uint64_t ra = find_root(parents.data(), labels[pixel_a]);
  const uint64_t rb = find_root(parents.data(), labels[pixel_b]);
  return ra < rb ? (ra << 32) | rb : (rb << 32) | ra;
}

// ---------------------------------------------------------------------------
// Clusters.

namespace {

// Cluster keys numbered in order of first appearance, with their point
// counts; an open-addressing table of numbers finds a key's number. Only the
// table is sparse (4 bytes a slot, at most half full).
struct KeyTable {
  Vec<uint64_t> keys;    // by number
  Vec<uint32_t> counts;  // by number
  Vec<uint32_t> slots;   // number + 1; 0 marks an empty slot
  int shift = 0;

  // Keys are far fewer than edges (a component pair shares one), so the
  // table starts small and stays cache-resident.
  KeyTable() { rehash(4096); }

  // Room for n keys without a rehash on the way.
  void reserve(size_t n) {
    keys.reserve(n);
    counts.reserve(n);
    if (2 * n > slots.size()) rehash(std::bit_ceil(2 * n));
  }

  size_t home(uint64_t key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> shift); }

  void rehash(size_t cap) {
    slots.assign(cap, 0);
    shift = 64 - std::countr_zero(cap);
    for (uint32_t id = 0; id < keys.size(); ++id) {
      size_t s = home(keys[id]);
      while (slots[s] != 0) s = (s + 1) & (cap - 1);
      slots[s] = id + 1;
    }
  }

  // Counts `n` more points for `key` and returns its number.
  uint32_t add(uint64_t key, uint32_t n = 1) {
    const size_t mask = slots.size() - 1;
    size_t s = home(key);
    for (; slots[s] != 0; s = (s + 1) & mask) {
      const uint32_t id = slots[s] - 1;
      if (keys[id] == key) {
        counts[id] += n;
        return id;
      }
    }
    const uint32_t id = uint32_t(keys.size());
    keys.push_back(key);
    counts.push_back(n);
    if (2 * keys.size() > slots.size()) {
      rehash(2 * slots.size());
    } else {
      slots[s] = id + 1;
    }
    return id;
  }
};

// Every edge's cluster number, and each cluster's key and point count.
struct Grouping {
  KeyTable table;
  WorkVec<uint32_t> cluster_of;
};

// First pass of the grouping: for_each_key(f) calls f(key) for every edge in
// production order.
template <class ForEachKey>
Grouping number_edges(size_t edge_count, ForEachKey&& for_each_key) {
  Grouping g{KeyTable(), WorkVec<uint32_t>(edge_count)};
  size_t i = 0;
  uint64_t last_key = ~uint64_t(0);  // consecutive edges mostly share a key
  uint32_t last_id = 0;
  for_each_key([&](uint64_t key) {
    if (key != last_key) {
      last_id = g.table.add(key);
      last_key = key;
    } else {
      ++g.table.counts[last_id];
    }
    g.cluster_of[i++] = last_id;
  });
  return g;
}

// Second pass: for_each_point(f) calls f(make_point) for every edge in
// production order; only the points of kept clusters are made, into
// clusters allocated once at their final size, in ascending key order.
template <class ForEachPoint>
Vec<Vec<EdgePoint>> fill_clusters(const Grouping& g, ForEachPoint&& for_each_point, uint32_t min_points) {
  const Vec<uint64_t>& keys = g.table.keys;
  const Vec<uint32_t>& counts = g.table.counts;
  Vec<uint32_t> kept;
  for (uint32_t id = 0; id < keys.size(); ++id) {
    if (counts[id] >= min_points) kept.push_back(id);
  }
  std::sort(kept.begin(), kept.end(), [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
  Vec<uint32_t> rank(keys.size(), kNoLabel);
  Vec<Vec<EdgePoint>> clusters(kept.size());
  for (uint32_t r = 0; r < kept.size(); ++r) {
    rank[kept[r]] = r;
    clusters[r].reserve(counts[kept[r]]);
  }
  size_t i = 0;
  for_each_point([&](auto&& make_point) {
    const uint32_t r = rank[g.cluster_of[i++]];
    if (r != kNoLabel) clusters[r].push_back(make_point());
  });
  return clusters;
}

}  // namespace

namespace {

// The contacts of rows [y0, y1), each kept as column << 2 | direction (a
// sixth of a BoundaryEdge; the point is rebuilt when the clusters are
// filled), and what the grouping learns about them.
// Consecutive codes of one row with the same number in the band's table.
struct EdgeRun {
  uint32_t length;  // at most four codes a pixel of one row
  uint32_t id;
};

struct EdgeBand {
  uint32_t y0 = 0, y1 = 0;
  WorkVec<uint32_t> codes;
  Vec<size_t> row_end;     // per row of the band, into codes
  KeyTable table;          // the band's own key numbering
  WorkVec<EdgeRun> runs;   // the codes in order, as runs
  Vec<size_t> dest;        // per number: next slot of its points, or kNoSlot
};

constexpr size_t kNoSlot = std::numeric_limits<size_t>::max();

// Contacts never depend on the labels, so bands of rows are packed while the
// labelling runs; the bands keep production order when read one after the
// other. Rows 1 .. h - 2 hold every contact. Eight bands a thread: the
// numbering and the fill end on the last band to finish, and bands' edge
// counts differ widely on one frame.
Vec<EdgeBand> edge_bands(uint32_t h) {
  const uint32_t rows = h - 2;
  const uint32_t n = std::clamp<uint32_t>(rows / 64, 1, uint32_t(8 * affinity::concurrency()));
  Vec<EdgeBand> bands(n);
  for (uint32_t b = 0; b < n; ++b) {
    bands[b].y0 = 1 + uint32_t(uint64_t(rows) * b / n);
    bands[b].y1 = 1 + uint32_t(uint64_t(rows) * (b + 1) / n);
  }
  return bands;
}

// The directions of each 4-bit contact mask in emission order, padded: a
// pixel writes all four slots and advances by its contact count, so noisy
// rows (a contact at most pixels) cost no branch per contact.
struct ContactCodes {
  uint8_t dirs[16][4];
  uint8_t count[16];
  constexpr ContactCodes() : dirs(), count() {
    for (int f = 0; f < 16; ++f) {
      for (int d = 0; d < 4; ++d) {
        if (f >> d & 1) dirs[f][count[f]++] = uint8_t(d);
      }
    }
  }
};
constexpr ContactCodes kContactCodes;

template <class Rows = WholeImage>
void pack_band(const GrayImage& img, EdgeBand& band, Rows&& rows = {}) {
  rows.need(band.y1 + 1);  // a band's last row reads the row below it
  const uint32_t w = img.width;
  reserve_up_to(band.codes, uint64_t(w) * (band.y1 - band.y0));
  band.row_end.reserve(band.y1 - band.y0);
  Vec<uint8_t> flags(size_t(w) + 8, 0);  // zero outside the interior columns
  for (uint32_t y = band.y0; y < band.y1; ++y) {
    const uint8_t* row = img.data.data() + size_t(y) * w;
    const size_t at = band.codes.size();
    const size_t count = contact_flags(row, row + w, flags.data(), w);
    band.codes.resize(at + count + 3);  // the last pixel's padding slots
    uint32_t* out = band.codes.data() + at;
    for (uint32_t x = 1; x + 1 < w; x += 8) {
      uint64_t word;  // eight pixels at a time; the flags past the interior are zero
      std::memcpy(&word, flags.data() + x, 8);
      if (word == 0) continue;
      for (uint32_t i = 0; i < 8; ++i) {
        const uint32_t f = uint32_t(word >> (8 * i)) & 15, base = (x + i) << 2;
        const uint8_t* dirs = kContactCodes.dirs[f];
        out[0] = base | dirs[0], out[1] = base | dirs[1], out[2] = base | dirs[2], out[3] = base | dirs[3];
        out += kContactCodes.count[f];
      }
    }
    band.codes.resize(at + count);
    band.row_end.push_back(band.codes.size());
  }
}

// Numbers the band's keys. The forest's parents point every label at its
// root, so a key costs two lookups.
// Runs of codes, rather than a number per code, are recorded: most codes
// continue the previous code's key, so the fill then copes with a run as a
// whole (or skips it when its cluster is dropped).
void number_band(EdgeBand& band, const RowForest& f, uint32_t w) {
  band.runs.resize(band.codes.size());  // a run per code at most
  // Room for a key per 64 codes, about what noise gives: the table then
  // seldom grows (each growth re-inserts every key so far).
  band.table.reserve(band.codes.size() / 64);
  const uint32_t offset[4] = {neighbour_offset(w, 0), neighbour_offset(w, 1), neighbour_offset(w, 2),
                              neighbour_offset(w, 3)};
  // A row's runs: slot r holds run r's key and the end of its codes (slot
  // 0 is never a run). At most four codes a pixel.
  WorkVec<uint64_t> run_key(4 * size_t(w) + 1);
  WorkVec<size_t> run_end(4 * size_t(w) + 1);
  KeyTable& table = band.table;
  const uint32_t* const codes = band.codes.data();
  EdgeRun* const runs = band.runs.data();
  size_t run_count = 0;
  size_t i = 0;
  for (uint32_t y = band.y0; y < band.y1; ++y) {
    const uint32_t* const row_labels = f.labels.data() + size_t(y) * w;
    // Labels count along their row: the roots of this row's labels, and of
    // the neighbour's row's by direction (looked up, as the direction
    // varies unpredictably from edge to edge).
    const uint32_t* const here = f.parents.data() + f.row_base[y];
    const uint32_t* const below = f.parents.data() + f.row_base[y + 1];
    const uint32_t* const roots_of[4] = {here, below, below, below};
    const size_t end = band.row_end[y - band.y0];
    // The key is formed for every edge and the runs are gathered without a
    // branch: the slot moves on where the key changes (about one edge in
    // eight, at random), and every edge rewrites its run's key and end.
    uint64_t* const keys = run_key.data();
    size_t* const ends = run_end.data();
    size_t n = 0;
    uint64_t last_key = ~uint64_t(0);  // no real key: roots are below 2^32 - 1
    for (size_t k = i; k < end; ++k) {
      const uint32_t* const pixel = row_labels + (codes[k] >> 2);
      const uint32_t d = codes[k] & 3;
      const uint64_t ra = here[pixel[0]], rb = roots_of[d][pixel[offset[d]]];
      // Which root is smaller flips from edge to edge (the pixel is black on
      // one, white on the next), so the order is chosen by a mask.
      const uint64_t a_first = uint64_t(0) - uint64_t(ra < rb);
      const uint64_t key = ((ra << 32 | rb) & a_first) | ((rb << 32 | ra) & ~a_first);
      n += key != last_key;
      keys[n] = key;
      ends[n] = k + 1;
      last_key = key;
    }
    for (size_t r = 1; r <= n; ++r) {
      const uint32_t length = uint32_t(ends[r] - i);
      runs[run_count++] = EdgeRun{length, table.add(keys[r], length)};
      i = ends[r];
    }
    i = end;
  }
  band.runs.resize(run_count);
}

// The point of a contact between a pixel and its neighbour in direction d,
// less (2 x, 2 y): it depends only on d and on whether the pixel is white,
// since the neighbour then holds the opposite value (difference 255 - 2 v).
struct ContactPoints {
  EdgePoint offset[2][4];  // [white][direction]
  constexpr ContactPoints() : offset() {
    for (int white = 0; white < 2; ++white) {
      const int32_t diff = white ? -255 : 255;
      for (int d = 0; d < 4; ++d) offset[white][d] = EdgePoint{kDirX[d], kDirY[d], kDirX[d] * diff, kDirY[d] * diff};
    }
  }
};
constexpr ContactPoints kContactPoints;

inline EdgePoint contact_point(const uint8_t* data, uint32_t w, uint32_t x, uint32_t y, uint32_t d) {
  const EdgePoint& o = kContactPoints.offset[data[size_t(y) * w + x] == kWhite][d];
  return EdgePoint{int32_t(2 * x) + o.x, int32_t(2 * y) + o.y, o.gx, o.gy};
}

// Sorts (key, number) pairs with unique keys by key: a least-significant-
// digit radix sort over the key bytes that differ between pairs (keys are
// root pairs, so most of their bytes are the same everywhere). Unique keys
// make the order the one any sort gives.
void sort_by_key(Vec<std::pair<uint64_t, uint32_t>>& v) {
  uint64_t any = 0, all = ~uint64_t(0);
  for (const auto& e : v) any |= e.first, all &= e.first;
  Vec<std::pair<uint64_t, uint32_t>> other(v.size());
  for (int shift = 0; shift < 64; shift += 8) {
    if ((((any ^ all) >> shift) & 0xFF) == 0) continue;  // the same byte everywhere
    size_t start[257] = {};
    for (const auto& e : v) ++start[((e.first >> shift) & 0xFF) + 1];
    for (int d = 0; d < 256; ++d) start[d + 1] += start[d];
    for (const auto& e : v) other[start[(e.first >> shift) & 0xFF]++] = e;
    v.swap(other);
  }
}

// Merges the bands' numberings: a key's points are those of the first band,
// then the second, and so on, which is production order. Sets every band's
// dest and returns each kept cluster's end, clusters in ascending key order.
Vec<size_t> place_clusters(Vec<EdgeBand>& bands, uint32_t min_points, uint64_t max_points) {
  KeyTable all;
  size_t band_keys = 0;
  for (const EdgeBand& band : bands) band_keys += band.table.keys.size();
  all.reserve(band_keys);  // an upper bound: keys shared by bands count once
  Vec<Vec<uint32_t>> global(bands.size());
  for (size_t b = 0; b < bands.size(); ++b) {
    const KeyTable& t = bands[b].table;
    global[b].resize(t.keys.size());
    for (uint32_t id = 0; id < t.keys.size(); ++id) global[b][id] = all.add(t.keys[id], t.counts[id]);
  }
  // Kept clusters as (key, number) pairs, sorted by key (keys are unique),
  // so the sort compares values in place rather than through the table.
  Vec<std::pair<uint64_t, uint32_t>> kept;
  for (uint32_t id = 0; id < all.keys.size(); ++id) {
    if (all.counts[id] >= min_points && all.counts[id] <= max_points) kept.emplace_back(all.keys[id], id);
  }
  sort_by_key(kept);
  Vec<size_t> next(all.keys.size(), kNoSlot), ends(kept.size());
  size_t total = 0;
  for (size_t r = 0; r < kept.size(); ++r) {
    next[kept[r].second] = total;
    total += all.counts[kept[r].second];
    ends[r] = total;
  }
  for (size_t b = 0; b < bands.size(); ++b) {
    const KeyTable& t = bands[b].table;
    bands[b].dest.resize(t.keys.size());
    for (uint32_t id = 0; id < t.keys.size(); ++id) {
      size_t& at = next[global[b][id]];
      bands[b].dest[id] = at;
      if (at != kNoSlot) at += t.counts[id];
    }
  }
  return ends;
}

// parents[l] = the root of l, for every label, in pieces on the pool. A walk
// may read a label that another piece is re-pointing at the same moment;
// both the old parent and the root lead to that root, so relaxed atomic
// accesses are all it needs, and the result is the serial pass's. Pieces of
// at least 16k labels: a busy 640 x 480 frame has 60k to 120k, which pieces
// of 64k left to one thread.
void point_at_roots(uint32_t* parents, size_t n) {
  affinity::parallel_ranges(n, size_t(1) << 14, [&](size_t begin, size_t end) {
    for (size_t l = begin; l < end; ++l) {
      uint32_t r = std::atomic_ref<uint32_t>(parents[l]).load(std::memory_order_relaxed);
      for (;;) {
        const uint32_t next = std::atomic_ref<uint32_t>(parents[r]).load(std::memory_order_relaxed);
        if (next == r) break;
        r = next;
      }
      std::atomic_ref<uint32_t>(parents[l]).store(r, std::memory_order_relaxed);
    }
  });
}

// A run's points go to consecutive slots; a dropped cluster's runs are
// skipped whole.
void fill_band(EdgeBand& band, const uint8_t* data, uint32_t w, EdgePoint* points) {
  // Local pointers, as in number_band.
  const uint32_t* const codes = band.codes.data();
  const size_t* const row_end = band.row_end.data();
  size_t* const dest = band.dest.data();
  uint32_t row = 0;  // of the band
  size_t i = 0;
  for (const EdgeRun& run : band.runs) {
    while (i == row_end[row]) ++row;  // runs lie inside rows; rows without codes have none
    size_t& slot = dest[run.id];
    if (slot != kNoSlot) {
      EdgePoint* const out = points + slot;
      slot += run.length;
      const uint32_t y = band.y0 + row;
      for (uint32_t k = 0; k < run.length; ++k) {
        const uint32_t code = codes[i + k];
        ::new (static_cast<void*>(out + k)) EdgePoint(contact_point(data, w, code >> 2, y, code & 3));
      }
    }
    i += run.length;
  }
}

// The clusters of a three-valued image whose rows may still be being made
// (see RowSource).
template <class Rows>
ClusterSet cluster_rows(const GrayImage& three_valued, uint32_t min_points, uint64_t max_points, Rows& rows) {
  ClusterSet out;
  if (!indexable(three_valued) || three_valued.width < 3 || three_valued.height < 3) return out;
  const uint32_t w = three_valued.width;
  RowForest f;
  Vec<EdgeBand> bands = edge_bands(three_valued.height);
  // Contacts do not depend on the labels: the bands of contacts are packed
  // beside the labelling, as its extra jobs. While the rows are being made,
  // a job that needs rows not yet made makes the next piece itself when no
  // one is at it.
  label_image(three_valued, f, rows, bands.size(), [&](size_t b) { pack_band(three_valued, bands[b], rows); });
  // The forest is final: point every label straight at its root. From here
  // on it is only read, so the bands are numbered and filled in parallel.
  point_at_roots(f.parents.data(), f.parents.size());
  affinity::parallel_for(bands.size(), [&](size_t b) { number_band(bands[b], f, w); });
  f = RowForest();
  out.ends = place_clusters(bands, min_points, max_points);
  out.points.reset(out.ends.empty() ? 0 : out.ends.back());
  affinity::parallel_for(bands.size(), [&](size_t b) {
    fill_band(bands[b], three_valued.data.data(), w, out.points.data());
  });
  return out;
}

}  // namespace

ClusterSet cluster_set(const GrayImage& three_valued, uint32_t min_points, uint64_t max_points) {
  WholeImage whole;
  return cluster_rows(three_valued, min_points, max_points, whole);
}

Vec<Vec<EdgePoint>> image_clusters(const GrayImage& three_valued, uint32_t min_points) {
  const ClusterSet set = cluster_set(three_valued, min_points);
  Vec<Vec<EdgePoint>> out(set.size());
  for (size_t r = 0; r < set.size(); ++r) {
    const std::span<const EdgePoint> c = set[r];
    out[r].assign(c.begin(), c.end());
  }
  return out;
}

Vec<Vec<EdgePoint>> boundary_clusters(const Vec<BoundaryEdge>& edges, Forest& forest,
                                      uint32_t min_points) {
  const Grouping g = number_edges(edges.size(), [&](auto&& f_key) {
    for (const BoundaryEdge& e : edges) f_key(edge_key(forest.parents, forest.labels, e.from_pixel, e.to_pixel));
  });
  return fill_clusters(g, [&](auto&& f_point) {
    for (const BoundaryEdge& e : edges) f_point([&] { return e.point; });
  }, min_points);
}

// ---------------------------------------------------------------------------
// Line fits.

namespace {

// Weighted mean and covariance of a range of points.
struct Moments {
  double ex, ey, cxx, cyy, cxy;
};

inline Moments central_moments(const std::array<double, 6>& m) {
  const double w = m[0];
  const double ex = m[1] / w, ey = m[2] / w;
  return Moments{ex, ey, m[3] / w - ex * ex, m[5] / w - ey * ey, m[4] / w - ex * ey};
}

// max(v, 0) that also maps NaN to 0.
inline double non_negative(double v) { return v > 0.0 ? v : 0.0; }

}  // namespace

std::array<double, 6> LineFits::range(size_t i0, size_t i1) const {
  const size_t n = points();
  std::array<double, 6> r;
  for (int c = 0; c < 6; ++c) {
    const double* s = sums[c].data();
    r[c] = i1 >= i0 ? s[i1 + 1] - s[i0] : s[n] - s[i0] + s[i1 + 1];
  }
  return r;
}

std::optional<LineFit> LineFits::fit(size_t i0, size_t i1) const {
  const size_t n = points();
  const size_t count = i1 >= i0 ? i1 - i0 + 1 : i1 + n + 1 - i0;
  if (count < 3) return std::nullopt;
  const std::array<double, 6> m = range(i0, i1);
  if (!(m[0] > 0.0)) return std::nullopt;
  const Moments c = central_moments(m);
  const double theta = std::atan2(2.0 * c.cxy, c.cxx - c.cyy);
  const double s = std::sin(theta / 2.0), co = std::cos(theta / 2.0);
  LineFit f;
  f.nx = -s;
  f.ny = co;
  f.c = -(f.nx * c.ex + f.ny * c.ey);
  f.mse = non_negative(c.cyy * (co * co) + c.cxx * (s * s) - c.cxy * 2.0 * s * co);
  f.err = f.mse * double(count);
  return f;
}

namespace {

// hypot(a, b) for byte differences, a and b in [-255, 255]. hypot depends
// only on |a| and |b| and is symmetric, so one triangle of 256 x 256 values
// holds every result, each computed by std::hypot itself.
class ByteHypot {
 public:
  ByteHypot() : table_(256 * 257 / 2) {
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b <= a; ++b) table_[index(a, b)] = std::hypot(double(a), double(b));
    }
  }
  double operator()(int a, int b) const {
    a = std::abs(a), b = std::abs(b);
    // The larger and the smaller by arithmetic, not a branch (which is what
    // std::max and std::min became here): which of |a| and |b| is larger
    // flips from point to point along a side at about 45 degrees.
    const int under = (a - b) & ((a - b) >> 31);  // a - b when a < b, else 0
    return table_[index(a - under, b + under)];
  }

 private:
  static size_t index(int hi, int lo) { return size_t(hi) * size_t(hi + 1) / 2 + size_t(lo); }
  Vec<double> table_;
};

const ByteHypot& byte_hypot() {
  static const ByteHypot table;  // immutable once built
  return table;
}

}  // namespace

namespace {

void line_fits_into(std::span<const EdgePoint> points, const GrayImage& image, LineFits& lf) {
  const size_t n = points.size();
  for (WorkVec<double>& s : lf.sums) s.resize(n + 1);
  const int64_t w = image.width, h = image.height;
  const uint8_t* const pixels = image.data.data();
  const ByteHypot& hypot = byte_hypot();
  double* s[6];
  for (int c = 0; c < 6; ++c) s[c] = lf.sums[c].data();
  // The running sums stay in registers: stored through six pointers that
  // may alias, each would be reloaded from the previous point's store.
  double w0 = 0.0, wx = 0.0, wy = 0.0, wxx = 0.0, wxy = 0.0, wyy = 0.0;
  for (int c = 0; c < 6; ++c) s[c][0] = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double fx = points[i].x * 0.5 + 0.5, fy = points[i].y * 0.5 + 0.5;
    // floor(fx) for fx = (x + 1) / 2, without floating point
    const int64_t ix = (int64_t(points[i].x) + 1) >> 1, iy = (int64_t(points[i].y) + 1) >> 1;
    double weight = 1.0;
    if (ix >= 1 && ix + 1 < w && iy >= 1 && iy + 1 < h) {
      const uint8_t* p = pixels + (iy * w + ix);
      weight = hypot(int(p[1]) - int(p[-1]), int(p[w]) - int(p[-w])) + 1.0;
    }
    w0 += weight;
    wx += weight * fx;
    wy += weight * fy;
    wxx += weight * fx * fx;
    wxy += weight * fx * fy;
    wyy += weight * fy * fy;
    s[0][i + 1] = w0, s[1][i + 1] = wx, s[2][i + 1] = wy;
    s[3][i + 1] = wxx, s[4][i + 1] = wxy, s[5][i + 1] = wyy;
  }
}

}  // namespace

LineFits line_fits(std::span<const EdgePoint> points, const GrayImage& image) {
  LineFits lf;
  line_fits_into(points, image, lf);
  return lf;
}

// ---------------------------------------------------------------------------
// Quad fitting.

namespace {

// A value monotone in atan2(dy, dx) on (-2, 2], without trigonometry, for
// each point's offset (dx, dy) from (cx, cy), neither of them zero: by
// quadrant, in order of increasing angle from +x,
//   dy / (dx + dy),  1 - dx / (dy - dx),  2 - dy / (-dx - dy),  3 + dx / (dx - dy),
// less 4 above 2. Written with selects, one division per point, so the loop
// vectorises.
MV_CLONES("avx2", "default") MV_NO_TRAPPING_MATH
void pseudo_angles(const EdgePoint* __restrict points, size_t n, double cx, double cy, double* __restrict out) {
  for (size_t i = 0; i < n; ++i) {
    const double dx = points[i].x - cx, dy = points[i].y - cy;
    const bool lower = dy >= 0.0, right = dx >= 0.0;
    const double num = lower == right ? dy : dx;
    const double den = lower ? (right ? dx + dy : dy - dx) : (right ? dx - dy : -dx - dy);
    const double base = lower ? (right ? 0.0 : 1.0) : (right ? 3.0 : 2.0);
    const double q = num / den;
    const double a = right ? base + q : base - q;
    out[i] = a > 2.0 ? a - 4.0 : a;
  }
}

// Signed integer with the total order of the double's bits.
inline int64_t total_order_key(double v) {
  const int64_t bits = std::bit_cast<int64_t>(v);
  return bits < 0 ? bits ^ std::numeric_limits<int64_t>::max() : bits;
}

// The cluster ordered by angle around its centre, duplicates of position
// dropped; empty when the boundary encloses white instead of black.
// The extent of a cluster and the integer sums that give its gradient
// orientation exactly: sum (x - cx) gx + (y - cy) gy = xg + yg - cx gx - cy gy.
// The sums wrap (no overflow for huge clusters); they are read only where
// they fit 64 bits.
struct Extent {
  int32_t xmin, xmax, ymin, ymax;
  uint64_t xg = 0, yg = 0, gx = 0, gy = 0;
};

MV_CLONES("avx2", "default")
Extent extent(const EdgePoint* points, size_t n) {
  Extent e{points[0].x, points[0].x, points[0].y, points[0].y};
  for (size_t i = 0; i < n; ++i) {
    const EdgePoint& p = points[i];
    e.xmin = std::min(e.xmin, p.x), e.xmax = std::max(e.xmax, p.x);
    e.ymin = std::min(e.ymin, p.y), e.ymax = std::max(e.ymax, p.y);
    e.xg += uint64_t(int64_t(p.x) * p.gx), e.yg += uint64_t(int64_t(p.y) * p.gy);
    e.gx += uint64_t(int64_t(p.gx)), e.gy += uint64_t(int64_t(p.gy));
  }
  return e;
}

// Whether the boundary's gradient points inwards: the sign of
// sum (x - cx) gx + (y - cy) gy as accumulated in double precision, point
// by point. The exact sum comes from the integer sums; the accumulated one
// differs from it by less than (n + 3) units in the last place of the sum of
// the terms' magnitudes, each term at most 255 times the cluster's width
// plus height. Only when the exact sum lies within (several times) that
// distance of zero is the double sum formed, in its order.
bool points_inwards(std::span<const EdgePoint> cluster, const Extent& e, double cx, double cy) {
  constexpr int32_t kSmall = 1 << 24;  // the integer sums stay far inside 64 bits
  const bool small = cluster.size() < size_t(kSmall) && e.xmin > -kSmall && e.xmax < kSmall &&
                     e.ymin > -kSmall && e.ymax < kSmall;
  if (small) {
    const double n = double(cluster.size());
    const int64_t xy = int64_t(e.xg + e.yg), gx = int64_t(e.gx), gy = int64_t(e.gy);
    const double terms = 255.0 * n * (double(e.xmax - e.xmin) + double(e.ymax - e.ymin) + 1.0);
    const double sums = std::fabs(double(xy)) + std::fabs(cx * double(gx)) + std::fabs(cy * double(gy));
    const double exact = double(xy) - (cx * double(gx) + cy * double(gy));
    const double doubt = (n + 16.0) * 4e-16 * terms + 4e-15 * sums;
    if (exact > doubt) return false;
    if (exact < -doubt) return true;
  }
  double dot = 0.0;
  for (const EdgePoint& p : cluster) dot += (p.x - cx) * p.gx + (p.y - cy) * p.gy;
  return dot < 0.0;
}

// A point's angle key and its index in production order.
struct Keyed {
  int64_t angle;  // the angle's total order
  uint32_t index;
};

// The work arrays of a quad fit, kept from one fit to the next: a run of
// fits then allocates only for a cluster larger than any before it.
struct FitScratch {
  WorkVec<double> angle;
  WorkVec<uint32_t> bucket;
  Vec<uint32_t> start;
  WorkVec<Keyed> order;
  WorkVec<EdgePoint> points;  // the ordered cluster
  LineFits lines;
  WorkVec<double> errors;
  WorkVec<double> strengths;
  Vec<uint32_t> maxima;
};

// Leaves the ordered cluster in scratch.points (empty when the boundary
// encloses white).
void order_by_angle(std::span<const EdgePoint> cluster, FitScratch& scratch) {
  scratch.points.clear();
  const Extent e = extent(cluster.data(), cluster.size());
  // The offsets keep every point off the centre's axes (no zero divisor).
  const double cx = double(int64_t(e.xmin) + e.xmax) * 0.5 + 0.05118;
  const double cy = double(int64_t(e.ymin) + e.ymax) * 0.5 - 0.028581;
  if (points_inwards(cluster, e, cx, cy)) return;

  const size_t n = cluster.size();
  WorkVec<double>& angle = scratch.angle;
  angle.resize(n);
  pseudo_angles(cluster.data(), n, cx, cy, angle.data());
  // A bucket pass on the angle (the buckets are monotone in it), in
  // production order, then one insertion pass: every point already sits in
  // its bucket, so only inversions inside a bucket move (about a fifth of
  // the points, by a place or two). A point moves only past strictly greater
  // angles, so equal angles keep production order and the result is
  // reproducible.
  WorkVec<uint32_t>& bucket = scratch.bucket;
  bucket.resize(n);
  Vec<uint32_t>& start = scratch.start;
  start.assign(n + 1, 0);
  const double per_unit = double(n) / 4.0;
  for (size_t i = 0; i < n; ++i) {
    bucket[i] = uint32_t(std::min(size_t((angle[i] + 2.0) * per_unit), n - 1));
    ++start[bucket[i] + 1];
  }
  for (size_t b = 0; b < n; ++b) start[b + 1] += start[b];
  WorkVec<Keyed>& order = scratch.order;
  order.resize(n);
  for (uint32_t i = 0; i < n; ++i) order[start[bucket[i]]++] = Keyed{total_order_key(angle[i]), i};
  for (size_t i = 1; i < n; ++i) {
    if (order[i - 1].angle > order[i].angle) [[unlikely]] {
      const Keyed moved = order[i];
      size_t j = i;
      do {
        order[j] = order[j - 1];
      } while (--j > 0 && order[j - 1].angle > moved.angle);
      order[j] = moved;
    }
  }
  // Gathered in that order, a point repeating the previous position dropped
  // (every point is written, and kept by advancing past it).
  const auto position = [](const EdgePoint& p) { return uint64_t(uint32_t(p.x)) << 32 | uint32_t(p.y); };
  WorkVec<EdgePoint>& out = scratch.points;
  out.resize(n);
  out[0] = cluster[order[0].index];
  size_t kept = 1;
  uint64_t previous = position(out[0]);
  for (size_t i = 1; i < n; ++i) {
    const EdgePoint& p = cluster[order[i].index];
    const uint64_t here = position(p);
    out[kept] = p;
    kept += here != previous;
    previous = here;
  }
  out.resize(kept);
}

// Line-fit error of the points [j - k, j + k] (no wrap) for j in [lo, hi),
// into e[j]: the smaller eigenvalue of their covariance times their count.
// Returns false if a range has no weight. Lanes are independent, so the
// vectorised clone gives every e[j] bit for bit.
MV_CLONES("avx2", "default")
bool window_errors(const LineFits& lf, size_t k, size_t lo, size_t hi, double* __restrict e) {
  const double *s0 = lf.sums[0].data(), *s1 = lf.sums[1].data(), *s2 = lf.sums[2].data();
  const double *s3 = lf.sums[3].data(), *s4 = lf.sums[4].data(), *s5 = lf.sums[5].data();
  const double count = double(2 * k + 1);
  int64_t empty = 0;  // ranges without weight (an integer keeps the loop vectorisable)
  for (size_t j = lo; j < hi; ++j) {
    const size_t a = j - k, b = j + k + 1;
    const double w = s0[b] - s0[a];
    const double ex = (s1[b] - s1[a]) / w, ey = (s2[b] - s2[a]) / w;
    const double cxx = (s3[b] - s3[a]) / w - ex * ex;
    const double cxy = (s4[b] - s4[a]) / w - ex * ey;
    const double cyy = (s5[b] - s5[a]) / w - ey * ey;
    const double d = cxx - cyy;
    const double v = 0.5 * (cxx + cyy - std::sqrt(d * d + 4.0 * (cxy * cxy)));
    e[j] = (v > 0.0 ? v : 0.0) * count;
    empty += w > 0.0 ? 0 : 1;
  }
  return empty == 0;
}

// The same for the 2k windows that wrap round the end, centred on
// j = m - k + t for t in [0, 2k), into e[t]: each range is the points from
// j - k to the end and from the start to j + k - m, its sums formed as
// LineFits::range forms them. Needs m > 2k.
MV_CLONES("avx2", "default")
bool wrapped_window_errors(const LineFits& lf, size_t k, double* __restrict e) {
  const size_t m = lf.points();
  const double *s0 = lf.sums[0].data(), *s1 = lf.sums[1].data(), *s2 = lf.sums[2].data();
  const double *s3 = lf.sums[3].data(), *s4 = lf.sums[4].data(), *s5 = lf.sums[5].data();
  const double t0 = s0[m], t1 = s1[m], t2 = s2[m], t3 = s3[m], t4 = s4[m], t5 = s5[m];
  const double count = double(2 * k + 1);
  int64_t empty = 0;
  for (size_t t = 0; t < 2 * k; ++t) {
    const size_t a = m - 2 * k + t, b = t + 1;
    const double w = (t0 - s0[a]) + s0[b];
    const double ex = ((t1 - s1[a]) + s1[b]) / w, ey = ((t2 - s2[a]) + s2[b]) / w;
    const double cxx = ((t3 - s3[a]) + s3[b]) / w - ex * ex;
    const double cxy = ((t4 - s4[a]) + s4[b]) / w - ex * ey;
    const double cyy = ((t5 - s5[a]) + s5[b]) / w - ey * ey;
    const double d = cxx - cyy;
    const double v = 0.5 * (cxx + cyy - std::sqrt(d * d + 4.0 * (cxy * cxy)));
    e[t] = (v > 0.0 ? v : 0.0) * count;
    empty += w > 0.0 ? 0 : 1;
  }
  return empty == 0;
}

// Line-fit error of the 2k + 1 points around each point, smoothed; corners
// are where a short line fits worst. Into s (m values; `e` is work space);
// false if a range has no weight.
bool corner_strengths(const LineFits& lf, size_t m, WorkVec<double>& e, WorkVec<double>& s) {
  constexpr size_t kMaxHalfWindow = 20;
  const size_t k = std::min<size_t>(m / 12, kMaxHalfWindow);
  // e[j] lives at e[j + 3], with three wrapped copies on either side for
  // the smoothing below.
  e.resize(m + 6);
  if (!window_errors(lf, k, k, m - k, e.data() + 3)) return false;
  // The windows that wrap, around j = m - k .. m + k - 1.
  double wrapped[2 * kMaxHalfWindow];
  if (!wrapped_window_errors(lf, k, wrapped)) return false;
  for (size_t t = 0; t < 2 * k; ++t) {
    const size_t j = m - k + t;
    e[(j < m ? j : j - m) + 3] = wrapped[t];
  }
  for (size_t t = 0; t < 3; ++t) {
    e[t] = e[m + t];
    e[m + 3 + t] = e[3 + t];
  }
  // Gaussian taps exp(-t^2 / 2) for t = 3, 2, 1, 0, 1, 2, 3.
  constexpr double t3 = 0.011108996, t2 = 0.135335283, t1 = 0.606530659;
  s.resize(m);
  for (size_t j = 0; j < m; ++j) {
    const double* w = e.data() + j;  // w[3] is e[j]
    s[j] = w[0] * t3 + w[1] * t2 + w[2] * t1 + w[3] + w[4] * t1 + w[5] * t2 + w[6] * t3;
  }
  return true;
}

// Strict local maxima of the cyclic sequence, at most `limit` of the
// strongest, in ascending index order, into `maxima`.
void strongest_maxima(const WorkVec<double>& s, size_t limit, Vec<uint32_t>& maxima) {
  const size_t m = s.size();  // at least 3
  // Every index is written and kept by advancing past it: whether a point
  // is a maximum is noise on most clusters, and would mispredict as a branch.
  maxima.resize(m);
  size_t count = 0;
  const auto consider = [&](size_t j, double before, double after) {
    maxima[count] = uint32_t(j);
    count += size_t(s[j] > after) & size_t(s[j] > before);
  };
  consider(0, s[m - 1], s[1]);
  for (size_t j = 1; j + 1 < m; ++j) consider(j, s[j - 1], s[j + 1]);
  consider(m - 1, s[m - 2], s[0]);
  maxima.resize(count);
  if (maxima.size() > limit) {
    // The `limit` strongest, equal strengths taken in index order: a strict
    // order on distinct indices, so selecting them needs no stable sort.
    const auto stronger = [&](uint32_t a, uint32_t b) { return s[a] > s[b] || (s[a] == s[b] && a < b); };
    std::nth_element(maxima.begin(), maxima.begin() + std::ptrdiff_t(limit), maxima.end(), stronger);
    maxima.resize(limit);
    std::sort(maxima.begin(), maxima.end());
  }
}

// Sides between maxima, each fitted at most once per search (a fit costs
// trigonometry, the search visits a pair many times); a side's error is
// +infinity when the fit is absent or its mse is over the limit. Up to
// kMaxCached maxima the n x n table stays within a few tens of megabytes;
// beyond, sides are fitted on every visit.
class SideTable {
 public:
  static constexpr size_t kMaxCached = 1024;

  SideTable(const LineFits& lf, const Vec<uint32_t>& at, double max_mse)
      : lf_(lf), at_(at), max_mse_(max_mse), n_(at.size()) {
    if (n_ <= kInline) {
      fits_ = inline_.fits;
      known_ = inline_known_;
      std::fill_n(known_, kInlineWords, 0);
    } else if (n_ <= kMaxCached) {
      heap_.resize(n_ * n_);
      heap_known_.assign((n_ * n_ + 63) / 64, 0);
      fits_ = heap_.data();
      known_ = heap_known_.data();
    }
  }

  // The side from maximum a to maximum b, cyclically.
  LineFit get(size_t a, size_t b) {
    if (!fits_) return fit(a, b);
    const size_t k = a * n_ + b;
    uint64_t& word = known_[k / 64];
    const uint64_t bit = uint64_t(1) << (k % 64);
    if (!(word & bit)) {
      std::construct_at(fits_ + k, fit(a, b));
      word |= bit;
    }
    return fits_[k];
  }

 private:
  // Tables of up to kInline maxima live in the object, left unwritten until
  // a side is fitted (the default limit is 10 maxima).
  static constexpr size_t kInline = 16;
  static constexpr size_t kInlineWords = kInline * kInline / 64;
  union InlineFits {
    InlineFits() {}
    LineFit fits[kInline * kInline];
  };

  LineFit fit(size_t a, size_t b) const {
    std::optional<LineFit> f = lf_.fit(at_[a], at_[b]);
    if (!f || !(f->mse <= max_mse_)) {
      LineFit none;
      none.err = std::numeric_limits<double>::infinity();
      return none;
    }
    return *f;
  }

  const LineFits& lf_;
  const Vec<uint32_t>& at_;
  double max_mse_;
  size_t n_;
  LineFit* fits_ = nullptr;
  uint64_t* known_ = nullptr;  // a bit per side: fitted yet
  InlineFits inline_;
  uint64_t inline_known_[kInlineWords];
  WorkVec<LineFit> heap_;
  Vec<uint64_t> heap_known_;
};

// The best quadruple found: maxima positions m0 < m1 < m2 < m3, and its
// sides' fits, side i running from maximum m[i] to m[i + 1] (side 3 wraps
// round).
struct Quadruple {
  size_t m[4];
  double total;
  LineFit side[4];
};

Quadruple with_sides(SideTable& sides, const size_t (&m)[4], double total) {
  Quadruple q{{m[0], m[1], m[2], m[3]}, total, {}};
  for (int i = 0; i < 4; ++i) q.side[i] = sides.get(m[i], m[(i + 1) & 3]);
  return q;
}

// The increasing quadruple of maxima with the smallest total side error;
// ties keep the first in loop order. Partial sums only grow (errors are
// non-negative and rounding is monotone), so a branch whose partial sum
// already reaches the best total cannot win and is skipped without changing
// the result. Every side it visits is fitted exactly.
std::optional<Quadruple> exhaustive_quadruple(const LineFits& lf, const Vec<uint32_t>& maxima,
                                              const DetectorParams& params) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double cos_critical = std::cos(params.april_tag_critical_rad);
  const size_t n = maxima.size();
  SideTable sides(lf, maxima, params.april_tag_max_line_fit_mse);
  std::optional<Quadruple> best;
  const auto beaten = [&](double partial) { return best && partial >= best->total; };
  for (size_t m0 = 0; m0 < n; ++m0) {
    for (size_t m1 = m0 + 1; m1 < n; ++m1) {
      const LineFit s01 = sides.get(m0, m1);
      if (s01.err == kInf || beaten(s01.err)) continue;
      for (size_t m2 = m1 + 1; m2 < n; ++m2) {
        const LineFit s12 = sides.get(m1, m2);
        if (s12.err == kInf) continue;
        if (!(std::fabs(s01.nx * s12.nx + s01.ny * s12.ny) <= cos_critical)) continue;
        const double partial = s01.err + s12.err;
        if (beaten(partial)) continue;
        for (size_t m3 = m2 + 1; m3 < n; ++m3) {
          const double e23 = sides.get(m2, m3).err, e30 = sides.get(m3, m0).err;
          if (e23 == kInf || e30 == kInf) continue;
          const double total = partial + e23 + e30;
          if (!best || total < best->total) best = Quadruple{{m0, m1, m2, m3}, total, {}};
        }
      }
    }
  }
  if (best) *best = with_sides(sides, best->m, best->total);
  return best;
}

// The bounded search below decides on bounds of the side fits, got without
// trigonometry from the very moments the exact fit uses, and fits exactly
// only the sides of quadruples the bounds cannot tell apart.
//
// Given the same moments cxx, cyy, cxy, the exact fit's mse (the quadratic
// form at its atan2/sin/cos normal) and the closed-form smaller eigenvalue
// differ only by rounding: the form is stationary at the eigenvector, so
// the few-ulp angle error of the trigonometry enters squared, and each
// evaluation rounds a few times on terms no larger than |cxx| + |cyy| +
// |cxy|. Both stay within 30 units in the last place of that sum; the slack
// allows eight times as much.
constexpr double kFitSlack = 256.0 * DBL_EPSILON;
// The normals' dot product is a cosine of half the angle between the doubled
// angles; from their unit vectors it is known to well within this.
constexpr double kAngleSlack = 1e-13;

enum SideState : int64_t { kNoSide = 0, kSide = 1, kFitNeeded = 2 };

// Bounds on every side's error, n x n, side (a, b) at a * n + b; the unit
// vector (cos, sin) of its doubled normal angle, NaN where the moments are
// too close to isotropic to give one; whether it has a fit within the mse
// limit, or kFitNeeded when only the exact fit can tell.
struct SideBounds {
  static constexpr size_t kMax = 16;  // maxima: the arrays stay on the stack
  double lo[kMax * kMax], hi[kMax * kMax], ux[kMax * kMax], uy[kMax * kMax];
  int64_t state[kMax * kMax];
};

// Row a of the bounds: sides from maximum a to every maximum b, the range
// sums formed exactly as LineFits::range forms them. `through[c * n + b]`
// is sums[c] just past maximum b; `from[c]` is sums[c] at maximum a, and
// `wrap[c]` the total less it. Lanes are independent and every operation
// the exact fit shares is done in its order, so the moments are its own.
MV_CLONES("avx2", "default") MV_NO_TRAPPING_MATH
void bound_row(const double* __restrict through, const double* __restrict from, const double* __restrict wrap,
               const double* __restrict at, double at_a, double points, size_t n, double max_mse,
               double* __restrict lo, double* __restrict hi, double* __restrict ux, double* __restrict uy,
               int64_t* __restrict state) {
  // Held in registers: loads under a condition would keep the loop scalar.
  double f[6], r[6];
  for (int c = 0; c < 6; ++c) f[c] = from[c], r[c] = wrap[c];
  for (size_t b = 0; b < n; ++b) {
    const bool forward = at[b] > at_a;
    const auto range = [&](int c) {
      const double t = through[c * n + b];
      return forward ? t - f[c] : r[c] + t;
    };
    const double count = forward ? at[b] - at_a + 1.0 : at[b] + points + 1.0 - at_a;
    const double w = range(0);
    const double ex = range(1) / w, ey = range(2) / w;
    const double cxx = range(3) / w - ex * ex, cyy = range(5) / w - ey * ey, cxy = range(4) / w - ex * ey;
    const double x = cxx - cyy, y = 2.0 * cxy;  // the exact fit's atan2 arguments
    const double radius = std::sqrt(x * x + y * y);
    double mse = 0.5 * (cxx + cyy - radius);
    mse = mse > 0.0 ? mse : 0.0;
    // NaN moments give a NaN slack, which leaves the side undecided.
    const double slack = kFitSlack * (std::fabs(cxx) + std::fabs(cyy) + std::fabs(cxy) + mse);
    // The state as lane arithmetic (kSide, kNoSide or kFitNeeded), so the loop has no branch.
    const int64_t present = int64_t(count >= 3.0) & int64_t(w > 0.0);
    const int64_t sure_in = mse + slack <= max_mse, sure_out = mse - slack > max_mse;
    state[b] = present * (sure_in * kSide + (1 - sure_in - sure_out) * kFitNeeded);
    const double err = mse * count, err_slack = 2.0 * slack * count;
    lo[b] = err - err_slack > 0.0 ? err - err_slack : 0.0;
    hi[b] = err + err_slack;
    const bool direction = radius > 1e-150;  // far from underflow in x * x + y * y
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ux[b] = direction ? x / radius : nan;
    uy[b] = direction ? y / radius : nan;
  }
}

void side_bounds(const LineFits& lf, const Vec<uint32_t>& maxima, double max_mse, SideBounds& sb) {
  const size_t n = maxima.size(), points = lf.points();
  double gathered[7 * SideBounds::kMax];  // six rows of sums past each maximum, then the positions
  double* const through = gathered;
  for (int c = 0; c < 6; ++c) {
    for (size_t b = 0; b < n; ++b) through[c * n + b] = lf.sums[c][maxima[b] + 1];
  }
  double* at = gathered + 6 * n;
  for (size_t b = 0; b < n; ++b) at[b] = double(maxima[b]);
  for (size_t a = 0; a < n; ++a) {
    double from[6], wrap[6];
    for (int c = 0; c < 6; ++c) {
      from[c] = lf.sums[c][maxima[a]];
      wrap[c] = lf.sums[c][points] - from[c];
    }
    const size_t row = a * n;
    bound_row(through, from, wrap, at, at[a], double(points), n, max_mse, sb.lo + row, sb.hi + row,
              sb.ux + row, sb.uy + row, sb.state + row);
    sb.state[row + a] = kNoSide;
  }
}

// The same quadruple as exhaustive_quadruple. Quadruples are visited in its
// order with totals bounded below and above (rounded sums are monotone, so
// summing the bounds in the exact order bounds the exact total); any whose
// lower bound exceeds the least upper bound cannot be the best. The rest,
// usually one, are compared on exact fits in visiting order, which keeps the
// exact search's choice among equal totals.
std::optional<Quadruple> bounded_quadruple(const LineFits& lf, const Vec<uint32_t>& maxima,
                                           const DetectorParams& params) {
  const size_t n = maxima.size();
  const double cos_critical = std::cos(params.april_tag_critical_rad);
  SideTable sides(lf, maxima, params.april_tag_max_line_fit_mse);
  SideBounds sb;
  side_bounds(lf, maxima, params.april_tag_max_line_fit_mse, sb);
  for (size_t p = 0; p < n * n; ++p) {
    if (sb.state[p] != kFitNeeded) continue;
    const double err = sides.get(p / n, p % n).err;
    sb.state[p] = err == std::numeric_limits<double>::infinity() ? kNoSide : kSide;
    sb.lo[p] = sb.hi[p] = err;
  }
  // |n01 . n12| <= cos_critical, from the doubled-angle vectors where they
  // settle it: |cos(half the angle)|^2 = (1 + u01 . u12) / 2.
  const double sure_pass = cos_critical > kAngleSlack ? (cos_critical - kAngleSlack) * (cos_critical - kAngleSlack)
                                                      : -1.0;
  const double sure_fail = (cos_critical + kAngleSlack) * (cos_critical + kAngleSlack);
  const auto corner_allowed = [&](size_t m0, size_t m1, size_t m2) {
    const size_t p = m0 * n + m1, q = m1 * n + m2;
    const double g = 0.5 * (1.0 + (sb.ux[p] * sb.ux[q] + sb.uy[p] * sb.uy[q]));
    if (g + kAngleSlack <= sure_pass) return true;
    if (g - kAngleSlack > sure_fail) return false;
    const LineFit s01 = sides.get(m0, m1), s12 = sides.get(m1, m2);
    return std::fabs(s01.nx * s12.nx + s01.ny * s12.ny) <= cos_critical;
  };

  struct Contender {
    uint32_t m[4];
    double lower;
  };
  // In visiting order. Few are ever kept (four on average on noise), so they
  // stay on the stack unless near-ties pile up.
  constexpr size_t kInlineContenders = 32;
  Contender inline_contenders[kInlineContenders];
  Vec<Contender> spilled;
  size_t kept = 0;
  const auto keep = [&](const Contender& c) {
    if (kept < kInlineContenders) inline_contenders[kept] = c;
    else spilled.push_back(c);
    ++kept;
  };
  double upper = std::numeric_limits<double>::infinity();
  const int64_t* state = sb.state;
  const double *lo = sb.lo, *hi = sb.hi;
  for (size_t m0 = 0; m0 < n; ++m0) {
    for (size_t m1 = m0 + 1; m1 < n; ++m1) {
      const size_t p01 = m0 * n + m1;
      if (state[p01] == kNoSide || lo[p01] > upper) continue;
      for (size_t m2 = m1 + 1; m2 < n; ++m2) {
        const size_t p12 = m1 * n + m2;
        if (state[p12] == kNoSide || !corner_allowed(m0, m1, m2)) continue;
        const double partial_lo = lo[p01] + lo[p12], partial_hi = hi[p01] + hi[p12];
        if (partial_lo > upper) continue;
        for (size_t m3 = m2 + 1; m3 < n; ++m3) {
          const size_t p23 = m2 * n + m3, p30 = m3 * n + m0;
          if (state[p23] == kNoSide || state[p30] == kNoSide) continue;
          const double lower = partial_lo + lo[p23] + lo[p30];
          if (lower > upper) continue;
          upper = std::min(upper, partial_hi + hi[p23] + hi[p30]);
          keep(Contender{{uint32_t(m0), uint32_t(m1), uint32_t(m2), uint32_t(m3)}, lower});
        }
      }
    }
  }
  std::optional<Quadruple> best;
  for (size_t i = 0; i < kept; ++i) {
    const Contender& c = i < kInlineContenders ? inline_contenders[i] : spilled[i - kInlineContenders];
    if (c.lower > upper) continue;
    const double total = sides.get(c.m[0], c.m[1]).err + sides.get(c.m[1], c.m[2]).err +
                         sides.get(c.m[2], c.m[3]).err + sides.get(c.m[3], c.m[0]).err;
    if (!best || total < best->total) best = Quadruple{{c.m[0], c.m[1], c.m[2], c.m[3]}, total, {}};
  }
  if (best) *best = with_sides(sides, best->m, best->total);
  return best;
}

// Up to this many maxima the bounded search holds its n x n bounds; beyond,
// sides are fitted as the exhaustive search visits them.
constexpr size_t kMaxBounded = SideBounds::kMax;

std::optional<Quadruple> best_quadruple(const LineFits& lf, const Vec<uint32_t>& maxima,
                                        const DetectorParams& params) {
  return maxima.size() <= kMaxBounded ? bounded_quadruple(lf, maxima, params)
                                      : exhaustive_quadruple(lf, maxima, params);
}

std::optional<Point2f> intersect(const LineFit& a, const LineFit& b) {
  const double det = a.nx * b.ny - a.ny * b.nx;
  if (std::fabs(det) < 0.001) return std::nullopt;
  const double x = (a.ny * b.c - b.ny * a.c) / det;
  const double y = (b.nx * a.c - a.nx * b.c) / det;
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  return Point2f{float(x), float(y)};
}

// Convex, at least 64 square pixels, and no corner sharper than the critical
// angle or flatter than its supplement.
bool plausible_shape(const Quad& q, double critical_rad) {
  if (!imgproc::is_convex(q)) return false;
  const float area = 0.5f * std::fabs(q[0].x * q[1].y - q[0].y * q[1].x + q[1].x * q[2].y -
                                      q[1].y * q[2].x + q[2].x * q[3].y - q[2].y * q[3].x +
                                      q[3].x * q[0].y - q[0].x * q[3].y);
  if (area < 64.0f) return false;
  const float lo = float(critical_rad), hi = 3.1415927f - float(critical_rad);
  for (int i = 0; i < 4; ++i) {
    const Point2f& p = q[i];
    const Point2f& a = q[(i + 3) & 3];
    const Point2f& b = q[(i + 1) & 3];
    const float ax = a.x - p.x, ay = a.y - p.y, bx = b.x - p.x, by = b.y - p.y;
    const float cosine = (ax * bx + ay * by) / (std::hypot(ax, ay) * std::hypot(bx, by));
    // A NaN cosine (coincident corners) stays NaN and fails neither bound.
    const float angle = std::acos(std::clamp(cosine, -1.0f, 1.0f));
    if (angle < lo || angle > hi) return false;
  }
  return true;
}

}  // namespace

uint32_t min_cluster_points(const DetectorParams& params) {
  return std::max<uint32_t>(uint32_t(params.april_tag_min_cluster_pixels), 24);
}

uint64_t max_cluster_points(const GrayImage& preprocessed) {
  return 6 * uint64_t(preprocessed.width) + 6 * uint64_t(preprocessed.height);
}

std::optional<Quad> fit_quad(Vec<EdgePoint> cluster, const GrayImage& preprocessed,
                             const DetectorParams& params) {
  return fit_quad(std::span<const EdgePoint>(cluster), preprocessed, params);
}

namespace {

// The line fits of points in fitting order and their strongest corner
// maxima, into scratch.lines and scratch.maxima; false when the points are
// too few or a window has no weight (the maxima are then left empty).
bool corner_maxima(std::span<const EdgePoint> points, const GrayImage& preprocessed, const DetectorParams& params,
                   FitScratch& scratch) {
  scratch.maxima.clear();
  const size_t m = points.size();
  if (m < 24) return false;
  line_fits_into(points, preprocessed, scratch.lines);
  if (!corner_strengths(scratch.lines, m, scratch.errors, scratch.strengths)) return false;
  // Settings below 4 are refused when they are set; here they count as 4.
  const size_t limit = size_t(std::max(params.april_tag_max_nmaxima, 4));
  strongest_maxima(scratch.strengths, limit, scratch.maxima);
  return true;
}

std::optional<Quad> fit_quad_using(std::span<const EdgePoint> cluster, const GrayImage& preprocessed,
                                   const DetectorParams& params, FitScratch& scratch) {
  if (cluster.size() < min_cluster_points(params) || cluster.size() > max_cluster_points(preprocessed))
    return std::nullopt;

  order_by_angle(cluster, scratch);
  const size_t m = scratch.points.size();
  const LineFits& lf = scratch.lines;
  const Vec<uint32_t>& maxima = scratch.maxima;
  if (!corner_maxima(scratch.points, preprocessed, params, scratch) || maxima.size() < 4) return std::nullopt;

  const std::optional<Quadruple> best = best_quadruple(lf, maxima, params);
  if (!best || !(best->total / double(m) < params.april_tag_max_line_fit_mse)) return std::nullopt;

  const LineFit* side = best->side;
  Quad q;
  for (int i = 0; i < 4; ++i) {  // corner i joins the side before it and side i
    const std::optional<Point2f> p = intersect(side[(i + 3) & 3], side[i]);
    if (!p) return std::nullopt;
    q[i] = *p;
  }
  if (!plausible_shape(q, params.april_tag_critical_rad)) return std::nullopt;
  return q;
}

}  // namespace

std::optional<Quad> fit_quad(std::span<const EdgePoint> cluster, const GrayImage& preprocessed,
                             const DetectorParams& params) {
  FitScratch scratch;
  return fit_quad_using(cluster, preprocessed, params, scratch);
}

QuadSearch search_quad(std::span<const EdgePoint> ordered, const GrayImage& preprocessed,
                       const DetectorParams& params, bool exhaustive) {
  QuadSearch out;
  FitScratch scratch;
  const bool fitted = corner_maxima(ordered, preprocessed, params, scratch);
  out.maxima = scratch.maxima;
  if (!fitted || out.maxima.size() < 4) return out;
  const LineFits& lf = scratch.lines;
  const std::optional<Quadruple> q =
      exhaustive ? exhaustive_quadruple(lf, out.maxima, params) : best_quadruple(lf, out.maxima, params);
  if (q) {
    out.best = std::array<size_t, 4>{q->m[0], q->m[1], q->m[2], q->m[3]};
    out.total = q->total;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Edge refinement: each side of a fitted quad is moved onto the intensity step
// of the full-resolution image. The fitter's sides follow the boundary of a
// thresholded image, so they carry its pixel staircase, the threshold's
// offset from the true step, and, after decimation, the coarse image's
// rounding.

namespace {

// Spacing of the intensity samples along a side's normal, and how far the
// step may spread beyond the searched range (blur widens a step over a few
// pixels; the whole rise must be seen for its centre to be right).
constexpr float kProfileStep = 0.5f;
constexpr float kProfileTail = 4.0f;
constexpr float kMaxReach = 8.0f;
// A rise ends where its slope falls below this share of its steepest part:
// the flat sides beyond hold only noise, and cutting both flanks of a
// symmetric rise at the same slope keeps its centre.
constexpr float kRunFloor = 0.1f;
constexpr int kMaxProfile = 2 * int((kMaxReach + kProfileTail) / kProfileStep) + 1;
// Samples closer than this to a corner are left out: there the interpolation
// reads the neighbouring side's pixels. (A wider gap helps clean, sharp
// corners a little, but costs noisy small tags more.)
constexpr float kCornerGap = 1.0f;
// Sides longer than this many samples are sampled more sparsely.
constexpr int kMaxSideSamples = 1024;
// A side needs at least this many usable samples to be moved.
constexpr size_t kMinSideSamples = 4;

// Bilinear interpolation at (x, y), where pixel (i, j) covers
// [i, i + 1) x [j, j + 1) and its value belongs to its centre
// (i + 0.5, j + 0.5). False when the four pixels around are not all there.
inline bool has_four_pixels(const GrayImage& g, float x, float y) {
  const float fx = x - 0.5f, fy = y - 0.5f;
  return fx >= 0.0f && fx < float(g.width) - 1.0f && fy >= 0.0f && fy < float(g.height) - 1.0f;
}

// The interpolation at a point that has its four pixels.
inline float interpolate_inside(const GrayImage& g, float x, float y) {
  const float fx = x - 0.5f, fy = y - 0.5f;
  const uint32_t ix = uint32_t(fx), iy = uint32_t(fy);
  const float ax = fx - float(ix), ay = fy - float(iy);
  const uint8_t* p = g.data.data() + size_t(iy) * g.width + ix;
  const float top = float(p[0]) + ax * (float(p[1]) - float(p[0]));
  const float bottom = float(p[g.width]) + ax * (float(p[g.width + 1]) - float(p[g.width]));
  return top + ay * (bottom - top);
}

inline bool interpolate(const GrayImage& g, float x, float y, float& out) {
  if (!has_four_pixels(g, x, y)) return false;
  out = interpolate_inside(g, x, y);
  return true;
}

// A step found along a normal: its position (offset along the normal) and
// its rise from dark to light.
struct Step {
  float offset = 0.0f;
  float rise = 0.0f;
};

// The dark-to-light step across `p` along the unit outward normal `n`: the
// strongest rise whose steepest part lies within `reach`, extended on both
// sides for as long as it keeps rising steeply enough, located at the
// centroid of its slope. Under a symmetric blur that centroid is the step's
// own position; for a sharp step the linear interpolation between pixel
// centres gives the same.
std::optional<Step> step_across(const GrayImage& g, Point2f p, Point2f n, float reach) {
  // Sample k lies at offset (k - half) * kProfileStep; samples are taken as
  // the search needs them, the tails only as far as the rise goes on.
  const int half = int(std::ceil((reach + kProfileTail) / kProfileStep));
  const int count = 2 * half + 1;
  float v[kMaxProfile];
  const auto at = [&](int k) {
    const float s = float(k - half) * kProfileStep;
    return Point2f{p.x + s * n.x, p.y + s * n.y};
  };
  // Each coordinate of a sample moves monotonically with k (rounding keeps
  // the order), so when both ends of the profile have their four pixels,
  // every sample has, and none needs the test.
  const Point2f front = at(0), back = at(count - 1);
  const bool inside = has_four_pixels(g, front.x, front.y) && has_four_pixels(g, back.x, back.y);
  const auto take = [&](int k) {
    const Point2f q = at(k);
    if (inside) {
      v[k] = interpolate_inside(g, q.x, q.y);
      return true;
    }
    return interpolate(g, q.x, q.y, v[k]);
  };
  // Slope k lies between samples k and k + 1; the steepest rise is sought
  // among the slopes whose middle is within reach.
  const int within = int(reach / kProfileStep);
  const int first = half - within, last = half + within - 1;
  if (inside) {
    for (int k = first; k <= last + 1; ++k) {
      const Point2f q = at(k);
      v[k] = interpolate_inside(g, q.x, q.y);
    }
  } else {
    for (int k = first; k <= last + 1; ++k)
      if (!take(k)) return std::nullopt;
  }
  int peak = -1;
  float steepest = 0.0f;
  for (int k = first; k <= last; ++k) {
    if (v[k + 1] - v[k] > steepest) {
      steepest = v[k + 1] - v[k];
      peak = k;
    }
  }
  if (peak < 0) return std::nullopt;
  int lo = peak, hi = peak;  // the rise spans samples lo .. hi + 1
  const float floor = kRunFloor * steepest;
  for (; lo > 0; --lo) {
    if (lo - 1 < first && !take(lo - 1)) return std::nullopt;
    if (!(v[lo] - v[lo - 1] > floor)) break;
  }
  for (; hi + 2 < count; ++hi) {
    if (hi + 2 > last + 1 && !take(hi + 2)) return std::nullopt;
    if (!(v[hi + 2] - v[hi + 1] > floor)) break;
  }
  double moment = 0.0, rise = 0.0;
  for (int k = lo; k <= hi; ++k) {
    const double slope = double(v[k + 1]) - double(v[k]);
    moment += slope * (double(k - half) + 0.5);
    rise += slope;
  }
  return Step{float(moment / rise) * kProfileStep, float(rise)};
}

// A point on a side and its weight in the side's line fit.
struct SidePoint {
  double x, y, w;
};

// Weighted total-least-squares line through the points that have a weight.
std::optional<LineFit> weighted_line(const Vec<SidePoint>& pts) {
  std::array<double, 6> m{};
  size_t used = 0;
  for (const SidePoint& q : pts) {
    if (!(q.w > 0.0)) continue;
    m[0] += q.w, m[1] += q.w * q.x, m[2] += q.w * q.y;
    m[3] += q.w * q.x * q.x, m[4] += q.w * q.x * q.y, m[5] += q.w * q.y * q.y;
    ++used;
  }
  if (used < kMinSideSamples) return std::nullopt;
  const Moments c = central_moments(m);
  const double theta = std::atan2(2.0 * c.cxy, c.cxx - c.cyy);
  LineFit f;
  f.nx = -std::sin(theta / 2.0);
  f.ny = std::cos(theta / 2.0);
  f.c = -(f.nx * c.ex + f.ny * c.ey);
  f.mse = non_negative(c.cyy * f.ny * f.ny + c.cxx * f.nx * f.nx + 2.0 * c.cxy * f.nx * f.ny);
  f.err = f.mse * double(used);
  return f;
}

// The line of side a -> b moved onto the image's step, or nullopt when too
// few samples along it show one. `outward` is the side's unit normal away
// from the quad's inside.
std::optional<LineFit> refine_side(const GrayImage& g, Point2f a, Point2f b, Point2f outward,
                                   float reach) {
  const float dx = b.x - a.x, dy = b.y - a.y;
  const float len = std::hypot(dx, dy);
  if (!(len > 2.0f * kCornerGap + 1.0f)) return std::nullopt;
  const float ux = dx / len, uy = dy / len;
  // About one sample per pixel of side, none within the gap of a corner.
  const float span = len - 2.0f * kCornerGap;
  const int count = span < float(kMaxSideSamples) ? int(std::ceil(span)) : kMaxSideSamples;
  const float spacing = span / float(count);
  Vec<SidePoint> pts;
  pts.reserve(size_t(count));
  float strongest = 0.0f;
  for (int j = 0; j < count; ++j) {
    const float t = kCornerGap + (float(j) + 0.5f) * spacing;
    const Point2f p{a.x + t * ux, a.y + t * uy};
    const std::optional<Step> s = step_across(g, p, outward, reach);
    if (!s) continue;
    pts.push_back({double(p.x) + double(s->offset) * outward.x,
                   double(p.y) + double(s->offset) * outward.y, double(s->rise)});
    strongest = std::max(strongest, s->rise);
  }
  // Weak steps are where something else crosses the side (a shadow, an
  // occluder, the next tag): they do not count.
  for (SidePoint& q : pts)
    if (q.w < 0.5 * strongest) q.w = 0.0;
  std::optional<LineFit> f = weighted_line(pts);
  if (!f) return std::nullopt;
  // One pass without the points far off the first line: a stray step picked
  // up in the search range would otherwise pull the whole side.
  const double limit = std::max(3.0 * std::sqrt(f->mse), 0.25);
  for (SidePoint& q : pts)
    if (std::fabs(f->nx * q.x + f->ny * q.y + f->c) > limit) q.w = 0.0;
  return weighted_line(pts);
}

// The line through two corners, in the form the quad fitter's sides take.
LineFit line_through(Point2f a, Point2f b) {
  const double dx = double(b.x) - a.x, dy = double(b.y) - a.y;
  const double len = std::hypot(dx, dy);
  LineFit f;
  f.nx = -dy / len;
  f.ny = dx / len;
  f.c = -(f.nx * a.x + f.ny * a.y);
  return f;
}

}  // namespace

// A decimated fit is off by up to about a coarse pixel; one more pixel covers
// the staircase and threshold offsets of any fit.
float edge_reach(double decimate) {
  return float(std::min(1.0 + std::max(decimate, 1.0), double(kMaxReach)));
}

Quad refine_edges(const GrayImage& gray, const Quad& quad, float reach) {
  reach = reach >= kProfileStep ? std::min(reach, kMaxReach) : kProfileStep;  // NaN too
  // Corners run clockwise on screen for a positive shoelace sum; the outward
  // normal of side a -> b is then its direction turned a quarter anticlockwise.
  float area2 = 0.0f;
  for (int i = 0; i < 4; ++i) area2 += quad[i].x * quad[(i + 1) & 3].y - quad[(i + 1) & 3].x * quad[i].y;
  const float turn = area2 < 0.0f ? -1.0f : 1.0f;
  LineFit lines[4];
  for (int i = 0; i < 4; ++i) {
    const Point2f a = quad[i], b = quad[(i + 1) & 3];
    const float len = std::hypot(b.x - a.x, b.y - a.y);
    if (!(len > 0.0f)) return quad;
    const Point2f outward{turn * (b.y - a.y) / len, -turn * (b.x - a.x) / len};
    const std::optional<LineFit> moved = refine_side(gray, a, b, outward, reach);
    lines[i] = moved ? *moved : line_through(a, b);
  }
  Quad out;
  for (int i = 0; i < 4; ++i) {
    const std::optional<Point2f> p = intersect(lines[(i + 3) & 3], lines[i]);
    if (!p || !(std::hypot(p->x - quad[i].x, p->y - quad[i].y) <= reach)) return quad;
    out[i] = *p;
  }
  return imgproc::is_convex(out) ? out : quad;
}

// ---------------------------------------------------------------------------
// Candidate source.

namespace {

// The decimated image and the three-valued image made piece by piece, in
// order, for readers that start on the first rows while the rest are made
// (the labelling is serial, and would otherwise wait for the whole of both).
// A reader that needs rows not yet made makes the next piece itself when no
// thread is making one, and waits otherwise: a piece is only ever waited for
// while a running thread makes it, so one thread alone also gets through.
// Every row is computed exactly as the whole-image passes compute it.
class RowSource {
 public:
  // Tile rows per piece: small enough that the labelling starts early.
  static constexpr uint32_t kPieceTiles = 8;

  // `gray` is decimated by `factor` (> 1) or read as it is (factor 0).
  RowSource(const GrayImage& gray, double factor, int32_t min_white_black_diff)
      : gray_(gray),
        small_(factor > 1.0 ? GrayImage{decimated_side(gray.width, factor), decimated_side(gray.height, factor),
                                        WorkVec<uint8_t>()}
                            : GrayImage{}),
        image_(factor > 1.0 ? small_ : gray),
        three_valued_{image_.width, image_.height, WorkVec<uint8_t>(size_t(image_.width) * image_.height)},
        tiles_(image_, min_white_black_diff) {
    if (factor > 1.0) {
      small_.data.resize(size_t(small_.width) * small_.height);
      decimator_.emplace(gray, small_.width, small_.height);
    }
    pieces_ = (tiles_.th + kPieceTiles - 1) / kPieceTiles;
  }

  // Whether the pieces cover the image: both images at least 4 pixels a side
  // and, when decimating, a real change of size.
  static bool applies(const GrayImage& gray, double factor) {
    if (gray.width < 4 || gray.height < 4) return false;
    if (!(factor > 1.0)) return true;
    const uint32_t nw = decimated_side(gray.width, factor), nh = decimated_side(gray.height, factor);
    return nw >= 4 && nh >= 4 && (nw != gray.width || nh != gray.height);
  }

  const GrayImage& image() const { return image_; }
  const GrayImage& three_valued() const { return three_valued_; }

  // Returns once rows [0, rows) of the three-valued image are final, with
  // the number final by then. If making a piece failed, every reader throws
  // that piece's exception rather than wait for rows that will not come.
  uint32_t need(uint32_t rows) {
    rows = std::min(rows, image_.height);
    uint32_t ready = ready_.load(std::memory_order_acquire);
    while (ready < rows) {
      if (failed_.load(std::memory_order_acquire)) std::rethrow_exception(error_);
      if (!make_next()) std::this_thread::yield();
      ready = ready_.load(std::memory_order_acquire);
    }
    return ready;
  }

 private:
  // Makes the next piece unless another thread is making one.
  bool make_next() {
    if (busy_.exchange(true, std::memory_order_acquire)) return false;
    if (next_ < pieces_ && !failed_.load(std::memory_order_relaxed)) {
      try {
        make(next_++);
      } catch (...) {
        error_ = std::current_exception();
        failed_.store(true, std::memory_order_release);
      }
    }
    busy_.store(false, std::memory_order_release);
    return true;
  }

  // Piece p: the image rows of its tile rows (all rows below them too, for
  // the last piece), their tile extrema, then the pixels of the tile rows
  // whose neighbours' extrema are now all known.
  void make(uint32_t p) {
    const uint32_t th = tiles_.th, h = image_.height;
    const uint32_t t0 = p * kPieceTiles, t1 = std::min(t0 + kPieceTiles, th);
    const bool last = t1 == th;
    if (decimator_) decimator_->rows(gray_, small_, 4 * size_t(t0), last ? h : 4 * size_t(t1));
    tiles_.extrema(image_, t0, t1);
    const uint32_t c0 = p == 0 ? 0 : t0 - 1, c1 = last ? th : t1 - 1;
    tiles_.pixels(image_, three_valued_, c0, c1);
    ready_.store(last ? h : 4 * c1, std::memory_order_release);
  }

  const GrayImage& gray_;
  GrayImage small_;
  const GrayImage& image_;
  GrayImage three_valued_;
  TileThreshold tiles_;
  std::optional<Decimator> decimator_;
  uint32_t pieces_ = 0;
  uint32_t next_ = 0;  // guarded by busy_
  std::exception_ptr error_;  // set before failed_
  std::atomic<bool> failed_{false};
  std::atomic<bool> busy_{false};
  std::atomic<uint32_t> ready_{0};
};

}  // namespace

Vec<Candidate> candidates(const GrayImage& gray, const DetectorParams& params) {
  const double factor = params.april_tag_quad_decimate;
  // Decimation and threshold are made while the clustering reads them when
  // more than one thread can run and no blur or deglitch (whole-image
  // passes) comes between.
  std::optional<RowSource> rows;
  if (affinity::concurrency() > 1 && params.april_tag_quad_sigma == 0.0 && !params.april_tag_deglitch &&
      RowSource::applies(gray, factor))
    rows.emplace(gray, factor, params.april_tag_min_white_black_diff);
  GrayImage owned;
  const GrayImage* source = &gray;  // no copy when neither step runs
  if (rows) {
    source = &rows->image();
  } else {
    if (factor > 1.0) {
      owned = decimate(gray, factor);
      source = &owned;
    }
    if (params.april_tag_quad_sigma != 0.0) {
      owned = blur(*source, params.april_tag_quad_sigma);
      source = &owned;
    }
  }
  const GrayImage& image = *source;

  // Clusters the fitter would refuse for their size are not even gathered
  // (the largest, background outlines in noise, hold a sixth of the points).
  ClusterSet clusters;
  if (rows) {
    clusters = cluster_rows(rows->three_valued(), min_cluster_points(params), max_cluster_points(image), *rows);
    rows->need(image.height);  // the fitter reads the whole image
  } else {
    clusters = cluster_set(threshold(image, params.april_tag_min_white_black_diff, params.april_tag_deglitch),
                           min_cluster_points(params), max_cluster_points(image));
  }

  // Clusters are fitted in chunks (a cluster alone is too little work for a
  // task); each result lands in its own slot, so the order is the clusters'.
  const size_t n = clusters.size();
  Vec<std::optional<Quad>> quads(n);
  const size_t chunk = std::max<size_t>(1, n / (8 * affinity::concurrency()));
  const float scale = float(factor);
  const float reach = edge_reach(factor);
  affinity::parallel_for((n + chunk - 1) / chunk, [&](size_t c) {
    FitScratch scratch;
    for (size_t i = c * chunk; i < std::min(n, (c + 1) * chunk); ++i) {
      std::optional<Quad>& q = quads[i];
      q = fit_quad_using(clusters[i], image, params, scratch);
      if (!q) continue;
      if (factor > 1.0) {
        for (Point2f& p : *q) p = {p.x * scale, p.y * scale};
      }
      if (params.april_tag_refine_edges) q = refine_edges(gray, *q, reach);
    }
  });

  Vec<Candidate> out;
  for (const std::optional<Quad>& q : quads)
    if (q) out.push_back(Candidate{*q});
  return out;
}

}  // namespace markvane::apriltag
