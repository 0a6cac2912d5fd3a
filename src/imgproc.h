// Low-level image operations shared by the detectors: gray conversion,
// adaptive threshold, polygon helpers and the 4-point perspective transform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "types.h"

namespace markvane::imgproc {

// A colour conversion of a whole frame is split on the pool in pieces of at
// least this many pixels.
inline constexpr size_t kParallelConvertGrain = size_t(256) << 10;

// memcpy with stores that bypass the caches where the processor has them,
// for a long copy into memory that other cores may still hold in their
// caches (an ordinary store must first take each such line back).
void stream_copy(uint8_t* dst, const uint8_t* src, size_t n);

// Interleaved B, G, R bytes (rows * cols * 3) -> gray, rounding half up with the
// single-precision weights 0.114, 0.587, 0.299 (no fused multiply-add).
GrayImage bgr_to_gray(const uint8_t* bgr, uint32_t cols, uint32_t rows);

// Radius of the square window a threshold `window` setting selects on this
// image: settings up to 3 (and negative ones, read as huge unsigned values)
// as the rules say, capped at the image size, where every window clips to
// the whole image. Two settings with the same radius label identically.
uint32_t threshold_radius(const GrayImage& gray, int32_t window);

// Otsu's threshold of a 256-bin histogram: the first level t (lowest on
// ties) that maximises the between-class variance w0 w1 (m0 - m1)^2 of the
// values <= t and > t, evaluated in double precision in that order. 0 for
// an empty or one-valued histogram.
uint8_t otsu_threshold(const std::array<uint64_t, 256>& hist);

// Local-mean threshold. Returns a (W + 2) x (H + 2) label image with a one-pixel
// zero frame: 1 where the pixel is at least `constant` darker than the mean of
// its (clipped) window, else 0.
Vec<uint8_t> adaptive_threshold_labels(const GrayImage& gray, int32_t window, double constant);

// The same, always with the baseline kernels even where AVX2 ones exist, so
// tests can compare the two.
Vec<uint8_t> adaptive_threshold_labels_baseline(const GrayImage& gray, int32_t window,
                                                double constant);

// The same threshold as a foreground bit-plane, for the contour scan: rows of
// `words_per_row` 64-bit words for the padded (W + 2) x (H + 2) layout, bit
// (x + 1) % 64 of word (x + 1) / 64 of row y + 1 set for a foreground pixel
// (x, y). Each row ends with at least one spare zero word, so any 8 bytes
// starting inside a row can be read, and `words_per_row` is a multiple of
// four: the contour search scans rows four words at a time.
struct BitLabels {
  uint32_t width = 0;
  uint32_t height = 0;
  size_t words_per_row = 0;
  WorkVec<uint64_t> bits;
};
// The widest vector instructions a threshold may use, where the processor
// has them. Every choice gives the same labels; tests compare them.
enum class SimdLimit { kBaseline, kAvx2, kAvx512 };
BitLabels adaptive_threshold_bits(const GrayImage& gray, int32_t window, double constant,
                                  SimdLimit limit = SimdLimit::kAvx512);

// The same in pieces: a plane whose frame rows are zero, then rows
// [row_begin, row_end) of it. Disjoint row ranges may be filled concurrently;
// together they equal one whole pass bit for bit. The image rows are left
// unwritten until then, so every row must be filled by exactly one range:
// each range's thread then writes its rows first, instead of taking over
// lines another core has just zeroed.
BitLabels make_bit_labels(uint32_t width, uint32_t height);
void adaptive_threshold_bits_rows(const GrayImage& gray, int32_t window, double constant,
                                  uint32_t row_begin, uint32_t row_end, BitLabels& out,
                                  SimdLimit limit = SimdLimit::kAvx512);

// Two windows of one frame in one pass, where the processor and the windows
// allow it (AVX-512, both radii from 4 to 15, the frame at least 2 r + 64
// wide): the labels of two adaptive_threshold_bits_rows calls, in about four
// fifths of their time. Otherwise it makes those two calls.
bool thresholds_share_a_pass(const GrayImage& gray, int32_t window_a, int32_t window_b,
                             SimdLimit limit = SimdLimit::kAvx512);
// A frame whose pixels are still to be copied into its GrayImage: `from`
// holds its rows (width x height, contiguous) and `to` is the image's own
// storage. The shared pass can read them from `from` and copy each row of
// its range in while it does (the pass reads every row anyway, so the copy
// costs little more than its stores).
struct RowCopy {
  const uint8_t* from = nullptr;
  uint8_t* to = nullptr;
};
// With `copy`, only where thresholds_share_a_pass holds (anything else
// throws std::invalid_argument): pixels are read from copy.from, and rows
// [row_begin, row_end) copied to copy.to.
void adaptive_threshold_bits_rows_pair(const GrayImage& gray, int32_t window_a, int32_t window_b,
                                       double constant, uint32_t row_begin, uint32_t row_end,
                                       BitLabels& out_a, BitLabels& out_b,
                                       SimdLimit limit = SimdLimit::kAvx512, RowCopy copy = {});

// Douglas-Peucker simplification of a closed contour; starts at the lower index
// of the farthest pair and keeps the direction of travel.
Vec<Point2f> approx_poly_dp_closed(const Vec<Point2f>& points, float epsilon);

// Same, writing into `out` (cleared first) and using `scratch` for the wrapped
// second chain, so callers in a loop reuse their buffers. Stops early once the
// polygon is known to have more than `max_vertices` vertices; `out` then holds
// more than `max_vertices` points but not the whole polygon.
void approx_poly_dp_closed(const Point2f* points, size_t count, float epsilon, Vec<Point2f>& out,
                           Vec<Point2f>& scratch, size_t max_vertices);

// The pair of points the closed simplification opens the contour at, lower
// index first: the point farthest from point 0, and the one farthest from it.
std::pair<size_t, size_t> closed_dp_opening(const Point2f* points, size_t count);

// The closed simplification opened at points lo < hi instead: the chain
// lo .. hi, then hi .. count - 1, 0 .. lo. Both are kept as vertices.
void approx_poly_dp_closed_at(const Point2f* points, size_t count, size_t lo, size_t hi,
                              float epsilon, Vec<Point2f>& out, Vec<Point2f>& scratch,
                              size_t max_vertices);

// First index of the point farthest from `from` (0 for no points).
size_t farthest_point(const Point2f* points, size_t count, Point2f from);

// Appends the simplification of the open chain [first, first + count) to `out`.
void dp_open(const Point2f* chain, size_t count, float epsilon, Vec<Point2f>& out);

// True unless two non-zero turn cross products have opposite signs.
bool is_convex(const Quad& q);

// Row-major 3x3 H (H[8] = 1) mapping src[i] to dst[i]. nullopt when the 8x8
// system is singular (a pivot of exactly 0), i.e. a degenerate quad.
std::optional<std::array<double, 9>> get_perspective_transform(const Quad& src, const Quad& dst);

}  // namespace markvane::imgproc
