#include "imgproc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "affinity.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace markvane::imgproc {

void stream_copy(uint8_t* dst, const uint8_t* src, size_t n) {
#if defined(__SSE2__)
  // Short copies gain nothing from bypassing the cache.
  constexpr size_t kMinStream = 4096;
  if (n >= kMinStream) {
    // Whole cache lines from the first line boundary on.
    const size_t head = (64 - (reinterpret_cast<uintptr_t>(dst) & 63)) & 63;
    std::memcpy(dst, src, head);
    size_t i = head;
    for (; i + 64 <= n; i += 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
    }
    // Streaming stores are weakly ordered: fence them before the data is
    // handed to other threads.
    _mm_sfence();
    std::memcpy(dst + i, src + i, n - i);
    return;
  }
#endif
  std::memcpy(dst, src, n);
}

namespace {

// Weights are the floats nearest 0.114 / 0.587 / 0.299. Every product and sum
// is rounded to float in this order (the build forbids contraction), so the
// result is the weighted sum rounded half up, bit-identical to the common
// reference conversion. The stride-3 loads vectorise only with AVX2 shuffles,
// hence the clone picked at load time.
void bgr_to_gray_scalar(const uint8_t* __restrict in, uint8_t* __restrict out, size_t i, size_t n) {
  const float wb = 0.114f, wg = 0.587f, wr = 0.299f;
  for (; i < n; ++i) {
    const float b = float(in[3 * i]);
    const float g = float(in[3 * i + 1]);
    const float r = float(in[3 * i + 2]);
    const float v = ((b * wb + g * wg) + r * wr) + 0.5f;
    const int32_t t = int32_t(v);
    out[i] = uint8_t(t > 255 ? 255 : t);
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
// Eight pixels a step: each 128-bit lane takes four pixels (12 of the 16
// bytes it loads), and one byte shuffle per channel spreads them into 32-bit
// lanes. The arithmetic is the scalar loop's, operation for operation, in
// single precision without contraction, so the bytes are identical.
__attribute__((target("avx2"))) void bgr_to_gray_avx2(const uint8_t* __restrict in,
                                                       uint8_t* __restrict out, size_t n) {
  const __m256 wb = _mm256_set1_ps(0.114f), wg = _mm256_set1_ps(0.587f);
  const __m256 wr = _mm256_set1_ps(0.299f), half = _mm256_set1_ps(0.5f);
  // Channel c of pixel k sits at byte 3 k + c of its lane; -1 bytes read 0.
  const __m256i pick_b = _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1,
                                          0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
  const __m256i pick_g = _mm256_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1,
                                          1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
  const __m256i pick_r = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,
                                          2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
  size_t i = 0;
  // The second lane's load reads 4 bytes past its 12: stop while they exist.
  for (; 3 * i + 28 <= 3 * n; i += 8) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * i));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * i + 12));
    const __m256i px = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    const __m256 b = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(px, pick_b));
    const __m256 g = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(px, pick_g));
    const __m256 r = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(px, pick_r));
    const __m256 v = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(b, wb), _mm256_mul_ps(g, wg)),
                                                 _mm256_mul_ps(r, wr)),
                                   half);
    const __m256i t = _mm256_cvttps_epi32(v);  // 0 .. 255: the packs below never saturate
    const __m128i w16 = _mm_packus_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(w16, w16));
  }
  bgr_to_gray_scalar(in, out, i, n);
}
#endif

void bgr_row_to_gray(const uint8_t* __restrict in, uint8_t* __restrict out, size_t n) {
#if defined(__GNUC__) && defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    bgr_to_gray_avx2(in, out, n);
    return;
  }
#endif
  bgr_to_gray_scalar(in, out, 0, n);
}

}  // namespace

GrayImage bgr_to_gray(const uint8_t* bgr, uint32_t cols, uint32_t rows) {
  GrayImage gray;
  gray.width = cols;
  gray.height = rows;
  gray.data.resize(size_t(cols) * rows);
  uint8_t* out = gray.data.data();
  affinity::parallel_ranges(gray.data.size(), kParallelConvertGrain, [&](size_t begin, size_t end) {
    bgr_row_to_gray(bgr + 3 * begin, out + begin, end - begin);
  });
  return gray;
}

namespace {

#if defined(__GNUC__)
#define MV_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define MV_ALWAYS_INLINE inline
#endif

// Prefix sums of one row of column sums: prefix[0] = 0, prefix[x + 1] =
// cs[0] + ... + cs[x]. The serial add chain would bound the whole threshold,
// so eight sums are formed per step with an in-register scan and the chain
// only carries block totals. Unsigned so that wrap-around is defined:
// differences of prefixes are exact whenever the true window sum fits 32 bits.
template <class ColSum>
MV_ALWAYS_INLINE void prefix_sums(const ColSum* __restrict cs, uint32_t* __restrict prefix,
                                  uint32_t w) {
  typedef uint32_t v8u __attribute__((vector_size(32)));
  typedef ColSum v8c __attribute__((vector_size(8 * sizeof(ColSum))));
  const v8u zero = {};
  v8u carry = zero;
  uint32_t x = 0;
  prefix[0] = 0;
  for (; x + 8 <= w; x += 8) {
    v8c narrow;
    std::memcpy(&narrow, cs + x, sizeof narrow);
    v8u v = __builtin_convertvector(narrow, v8u);
    v += __builtin_shufflevector(zero, v, 0, 8, 9, 10, 11, 12, 13, 14);
    v += __builtin_shufflevector(zero, v, 0, 1, 8, 9, 10, 11, 12, 13);
    v += __builtin_shufflevector(zero, v, 0, 1, 2, 3, 8, 9, 10, 11);
    v += carry;
    std::memcpy(prefix + x + 1, &v, sizeof v);
    carry = __builtin_shufflevector(v, v, 7, 7, 7, 7, 7, 7, 7, 7);
  }
  uint32_t acc = carry[0];
  for (; x < w; ++x) {
    acc += cs[x];
    prefix[x + 1] = acc;
  }
}

template <class ColSum>
MV_ALWAYS_INLINE void prefix_sums(const ColSum* cs, uint64_t* prefix, uint32_t w) {
  uint64_t acc = 0;
  prefix[0] = 0;
  for (uint32_t x = 0; x < w; ++x) prefix[x + 1] = acc += cs[x];
}

// Writes `count` labels for pixels whose window columns are not clipped, so
// the window pixel count n is the same for all of them; the window sum of
// pixel i is hi[i] - lo[i]. 2 S + n >= 2 n (p + C) is rewritten as
// S + (n / 2 - n C) >= n p (exact for integers), which needs one widening
// 16x16-bit multiply per pixel when n fits 16 bits. T is int32_t when the
// products cannot overflow, int64_t otherwise.
template <class T, class P>
MV_ALWAYS_INLINE void threshold_interior(const uint8_t* __restrict row, const P* __restrict lo,
                                         const P* __restrict hi,
                                         uint8_t* __restrict out, size_t count, T n, T c) {
  const T k = n / 2 - n * c;
  if (std::is_same_v<T, int32_t> && n <= 0xffff) {
    const uint16_t n16 = uint16_t(n);
    const int32_t k32 = int32_t(k);
    for (size_t i = 0; i < count; ++i) {
      const int32_t np = int32_t(uint32_t(n16) * uint32_t(uint16_t(row[i])));
      out[i] = uint8_t(int32_t(hi[i] - lo[i]) + k32 >= np);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) out[i] = uint8_t(T(hi[i] - lo[i]) + k >= n * T(row[i]));
}

// Same comparison for pixels near the left or right edge, where the window is
// clipped and n varies per pixel.
template <class T, class P>
MV_ALWAYS_INLINE void threshold_clipped(const uint8_t* row, const P* prefix, uint8_t* out,
                                        uint32_t x_begin, uint32_t x_end, uint32_t width,
                                        uint32_t r, T row_count, T c) {
  for (uint32_t x = x_begin; x < x_end; ++x) {
    const uint32_t x0 = x >= r ? x - r : 0;
    const uint32_t x1 = uint32_t(std::min<uint64_t>(uint64_t(x) + r, width - 1));
    const T n = row_count * T(x1 - x0 + 1);
    const T s = T(prefix[x1 + 1] - prefix[x0]);
    out[x] = uint8_t(2 * s + n >= 2 * n * (T(row[x]) + c));
  }
}

// Small windows (radius R <= 3) sum their 2R + 1 column sums directly: no
// prefix pass, and every quantity of the comparison fits 16 bits (n <= 49,
// S <= 12495, |n / 2 - n C| <= 12568), so the interior runs 16 lanes wide.
template <int R>
MV_ALWAYS_INLINE void threshold_row_small(const uint8_t* __restrict row,
                                          const uint16_t* __restrict cs, uint8_t* __restrict out,
                                          uint32_t w, int32_t rows_in, int32_t c) {
  const uint32_t r = R;
  auto clipped = [&](uint32_t x) {
    const uint32_t x0 = x >= r ? x - r : 0;
    const uint32_t x1 = std::min(x + r, w - 1);
    int32_t sum = 0;
    for (uint32_t j = x0; j <= x1; ++j) sum += cs[j];
    const int32_t n = rows_in * int32_t(x1 - x0 + 1);
    out[x] = uint8_t(2 * sum + n >= 2 * n * (int32_t(row[x]) + c));
  };
  if (w < 2 * r + 1) {
    for (uint32_t x = 0; x < w; ++x) clipped(x);
    return;
  }
  for (uint32_t x = 0; x < r; ++x) clipped(x);
  const int32_t n = rows_in * (2 * R + 1);
  const int16_t n16 = int16_t(n);
  const int16_t k16 = int16_t(n / 2 - n * c);
  for (uint32_t x = r; x < w - r; ++x) {
    uint16_t sum = 0;
    for (int j = -R; j <= R; ++j) sum = uint16_t(sum + cs[x + j]);
    out[x] = uint8_t(int16_t(sum + k16) >= int16_t(n16 * row[x]));
  }
  for (uint32_t x = w - r; x < w; ++x) clipped(x);
}

// Windows of radius 4 to 7 (n <= 225, so S <= 57375) are handled entirely in
// 16-bit lanes: prefix sums modulo 2^16 still give exact window sums, and
// S + floor(n / 2) - n C >= n p becomes S >= sat16(n p + K) with
// K = n C - floor(n / 2), |K| <= 57712. A threshold that saturates at 65535
// can never be reached and one that saturates at 0 always is.
constexpr uint32_t kMaxRadiusMid = 7;

MV_ALWAYS_INLINE void threshold_row_mid(const uint8_t* __restrict row,
                                        const uint16_t* __restrict cs,
                                        uint16_t* __restrict pre, uint8_t* __restrict out,
                                        uint32_t w, uint32_t r, int32_t rows_in, int32_t c) {
  typedef uint16_t v16 __attribute__((vector_size(32)));
  typedef int16_t v16s __attribute__((vector_size(32)));
  typedef uint8_t v16b __attribute__((vector_size(16)));
  const v16 zero = {};
  v16 carry = zero;
  uint32_t x = 0;
  pre[0] = 0;
  for (; x + 16 <= w; x += 16) {
    v16 v;
    std::memcpy(&v, cs + x, sizeof v);
    v += __builtin_shufflevector(zero, v, 0, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                 29, 30);
    v += __builtin_shufflevector(zero, v, 0, 1, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
                                 28, 29);
    v += __builtin_shufflevector(zero, v, 0, 1, 2, 3, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26,
                                 27);
    v += __builtin_shufflevector(zero, v, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    v += carry;
    std::memcpy(pre + x + 1, &v, sizeof v);
    carry = __builtin_shufflevector(v, v, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
                                    15, 15);
  }
  uint16_t acc = carry[0];
  for (; x < w; ++x) {
    acc = uint16_t(acc + cs[x]);
    pre[x + 1] = acc;
  }

  auto clipped = [&](uint32_t px) {
    const uint32_t x0 = px >= r ? px - r : 0;
    const uint32_t x1 = std::min(px + r, w - 1);
    const int32_t sum = uint16_t(pre[x1 + 1] - pre[x0]);
    const int32_t n = rows_in * int32_t(x1 - x0 + 1);
    out[px] = uint8_t(2 * sum + n >= 2 * n * (int32_t(row[px]) + c));
  };
  if (w < 2 * r + 1) {
    for (x = 0; x < w; ++x) clipped(x);
    return;
  }
  for (x = 0; x < r; ++x) clipped(x);
  const int32_t n = rows_in * int32_t(2 * r + 1);
  const int32_t k = n * c - n / 2;
  const uint16_t n16 = uint16_t(n), k_mag = uint16_t(k >= 0 ? k : -k);
  const uint32_t end = w - r;
  const v16 all_ones = zero - 1;
  for (x = r; x + 16 <= end; x += 16) {
    v16 hi, lo;
    std::memcpy(&hi, pre + x + r + 1, sizeof hi);
    std::memcpy(&lo, pre + x - r, sizeof lo);
    v16b p8;
    std::memcpy(&p8, row + x, sizeof p8);
    const v16 np = __builtin_convertvector(p8, v16) * n16;
    v16 t;
    if (k >= 0) {
      t = np + k_mag;
      t = t < np ? all_ones : t;  // saturate on wrap-around
    } else {
      t = np > k_mag ? np - k_mag : zero;
    }
    const v16s fg = -(v16s)((hi - lo) >= t);
    const v16b labels = __builtin_convertvector(fg, v16b);
    std::memcpy(out + x, &labels, sizeof labels);
  }
  for (; x < end; ++x) {
    const int32_t s32 = uint16_t(pre[x + r + 1] - pre[x - r]);
    out[x] = uint8_t(s32 >= n * int32_t(row[x]) + k);
  }
  for (x = end; x < w; ++x) clipped(x);
}

// Label rows go to a sink: the byte label image, or the bit-plane of the
// contour scan. Each row arrives as a zero-framed byte line (1 = foreground).
struct ByteSink {
  Vec<uint8_t>& labels;  // preallocated (W + 2) x (H + 2), zero frame
  size_t stride;

  size_t line_bytes() const { return stride; }
  void row(uint32_t y, const uint8_t* line) {
    std::memcpy(labels.data() + (size_t(y) + 1) * stride, line, stride);
  }
};

// 64 label bytes (each 0 or 1) -> one word, byte i giving bit i.
MV_ALWAYS_INLINE uint64_t pack64(const uint8_t* p) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  uint64_t bits = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    bits |= uint64_t(uint16_t(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * k);
  }
  return bits;
#else
  uint64_t bits = 0;
  for (int i = 0; i < 64; ++i) bits |= uint64_t(p[i] != 0) << i;
  return bits;
#endif
}

struct BitSink {
  BitLabels& out;  // preallocated, zero frame rows

  size_t line_bytes() const { return out.words_per_row * 64; }
  void row(uint32_t y, const uint8_t* line) {
    uint64_t* dst = out.bits.data() + (size_t(y) + 1) * out.words_per_row;
    for (size_t k = 0; k < out.words_per_row; ++k) dst[k] = pack64(line + 64 * k);
  }
};

// Rows [y_begin, y_end) of the label image. Bands are independent: each starts
// from its own column sums, so disjoint bands may be computed concurrently and
// give exactly the labels of one whole pass.
struct RowBand {
  uint32_t begin;
  uint32_t end;
};

// The threshold of one row band. r is at most max(W, H); c is clamped to [-256, 256].
// ColSum holds a column sum over the window rows: uint16_t when 255 (2r + 1)
// fits, which doubles the lanes of the per-row column update.
// SmallR > 0 selects the direct-sum row kernel for r == SmallR, SmallR < 0
// the 16-bit kernel for radii up to kMaxRadiusMid.
template <class T, class ColSum, int SmallR, class Sink>
MV_ALWAYS_INLINE void threshold_rows(const GrayImage& gray, uint32_t r, T c, Sink& sink,
                                     RowBand band) {
  const uint32_t w = gray.width, h = gray.height;
  const uint8_t* img = gray.data.data();
  Vec<ColSum> colsum(w, 0);
  // 64-bit prefixes on the wide path: whole-image windows of very large
  // frames can sum past 2^32.
  using Prefix = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
  Vec<Prefix> prefix(SmallR == 0 ? size_t(w) + 1 : 0, 0);
  Vec<uint16_t> prefix16(SmallR < 0 ? size_t(w) + 1 : 0, 0);
  // Each label row is built in a small zero-framed buffer and handed to the
  // sink, so the large label image is written exactly once.
  Vec<uint8_t> line(sink.line_bytes(), 0);
  ColSum* __restrict cs = colsum.data();

  // Interior columns: the full window [x - r, x + r] fits in the row.
  uint32_t in_begin = r, in_end = 0;
  if (uint64_t(2) * r + 1 <= w) in_end = w - r;
  if (in_end < in_begin) in_end = in_begin = std::min(r, w);

  // Column sums over the window rows of the band's first row.
  const uint32_t first = band.begin >= r ? band.begin - r : 0;
  const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(band.begin) + r, h - 1));
  for (uint32_t y = first; y <= last; ++y) {
    const uint8_t* __restrict src = img + size_t(y) * w;
    for (uint32_t x = 0; x < w; ++x) cs[x] = ColSum(cs[x] + src[x]);
  }
  for (uint32_t y = band.begin; y < band.end; ++y) {
    // Slide the window down: row y + r enters, row y - r - 1 leaves.
    const bool enters = y > band.begin && uint64_t(y) + r < h;
    const bool leaves = y > band.begin && y > r;
    const uint8_t* __restrict in = enters ? img + (size_t(y) + r) * w : img;
    const uint8_t* __restrict out_row = leaves ? img + (size_t(y) - r - 1) * w : img;
    if (enters && leaves) {
      for (uint32_t x = 0; x < w; ++x) cs[x] = ColSum(cs[x] + ColSum(in[x]) - ColSum(out_row[x]));
    } else if (enters) {
      for (uint32_t x = 0; x < w; ++x) cs[x] = ColSum(cs[x] + in[x]);
    } else if (leaves) {
      for (uint32_t x = 0; x < w; ++x) cs[x] = ColSum(cs[x] - out_row[x]);
    }
    const uint32_t y0 = y >= r ? y - r : 0;
    const uint32_t y1 = uint32_t(std::min<uint64_t>(uint64_t(y) + r, h - 1));
    const T rows_in = T(y1 - y0 + 1);
    const uint8_t* row = img + size_t(y) * w;
    uint8_t* out = line.data() + 1;
    if constexpr (SmallR > 0) {
      threshold_row_small<SmallR>(row, cs, out, w, int32_t(rows_in), int32_t(c));
    } else if constexpr (SmallR < 0) {
      threshold_row_mid(row, cs, prefix16.data(), out, w, r, int32_t(rows_in), int32_t(c));
    } else {
      prefix_sums(cs, prefix.data(), w);
      threshold_clipped<T, Prefix>(row, prefix.data(), out, 0, in_begin, w, r, rows_in, c);
      if (in_end > in_begin)
        threshold_interior<T, Prefix>(row + in_begin, prefix.data() + in_begin - r,
                              prefix.data() + in_begin + r + 1, out + in_begin,
                              in_end - in_begin, rows_in * T(2 * r + 1), c);
      threshold_clipped<T, Prefix>(row, prefix.data(), out, in_end, w, w, r, rows_in, c);
    }
    sink.row(y, line.data());
  }
}

// Column sums fit 16 bits when 255 (2r + 1) <= 65535.
constexpr uint32_t kMaxRadius16 = 128;

template <class Sink>
MV_ALWAYS_INLINE void threshold_rows_dispatch(const GrayImage& gray, uint32_t r, int32_t c,
                                              Sink& sink, RowBand band) {
  switch (r) {
    case 1: return threshold_rows<int32_t, uint16_t, 1>(gray, r, c, sink, band);
    case 2: return threshold_rows<int32_t, uint16_t, 2>(gray, r, c, sink, band);
    case 3: return threshold_rows<int32_t, uint16_t, 3>(gray, r, c, sink, band);
    default: break;
  }
  if (r <= kMaxRadiusMid)
    threshold_rows<int32_t, uint16_t, -1>(gray, r, c, sink, band);
  else if (r <= kMaxRadius16)
    threshold_rows<int32_t, uint16_t, 0>(gray, r, c, sink, band);
  else
    threshold_rows<int32_t, uint32_t, 0>(gray, r, c, sink, band);
}

void threshold_rows_i32(const GrayImage& gray, uint32_t r, int32_t c, ByteSink& sink, RowBand band) {
  threshold_rows_dispatch(gray, r, c, sink, band);
}
void threshold_rows_i32(const GrayImage& gray, uint32_t r, int32_t c, BitSink& sink, RowBand band) {
  threshold_rows_dispatch(gray, r, c, sink, band);
}
// The wide path for windows whose sums may pass 32 bits: column sums too are
// 64-bit, since a column of more than 2^24 rows already overflows 32 bits.
void threshold_rows_i64(const GrayImage& gray, uint32_t r, int64_t c, ByteSink& sink, RowBand band) {
  threshold_rows<int64_t, uint64_t, 0>(gray, r, c, sink, band);
}
void threshold_rows_i64(const GrayImage& gray, uint32_t r, int64_t c, BitSink& sink, RowBand band) {
  threshold_rows<int64_t, uint64_t, 0>(gray, r, c, sink, band);
}

// Defining MARKVANE_NO_AVX2_DISPATCH builds only the baseline kernels, which
// is how their results are checked against the AVX2 ones on an AVX2 machine.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(MARKVANE_NO_AVX2_DISPATCH)
#define MV_AVX2_DISPATCH 1
// The same code compiled for AVX2, picked at run time: the portable build
// targets baseline x86-64, whose 4-lane vectors halve the throughput here.
__attribute__((target("avx2"))) void threshold_rows_i32_avx2(const GrayImage& gray, uint32_t r,
                                                             int32_t c, ByteSink& sink,
                                                             RowBand band) {
  threshold_rows_dispatch(gray, r, c, sink, band);
}
__attribute__((target("avx2"))) void threshold_rows_i32_avx2(const GrayImage& gray, uint32_t r,
                                                             int32_t c, BitSink& sink,
                                                             RowBand band) {
  threshold_rows_dispatch(gray, r, c, sink, band);
}
#endif

// Bit-plane threshold with AVX2: the labels of 32 pixels are formed in
// registers and go straight to the plane as one movemask, so no byte line is
// written and packed again. Column sums stay 16-bit (r <= kMaxRadius16).
// Three ways to get a window sum, by radius:
//   kDirect  r <= 3: add the 2r + 1 column sums (no prefix pass);
//   kPrefix16 r <= kMaxRadiusMid: 16-bit prefixes, exact modulo 2^16;
//   kPrefix32 larger: 32-bit prefixes.
// The comparisons are the ones of the portable kernels above, lane for lane.
#if defined(MV_AVX2_DISPATCH) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define MV_AVX2_BITS 1

enum class SumKind { kDirect, kPrefix16, kPrefix32 };

#define MV_AVX2_INLINE inline __attribute__((always_inline, target("avx2")))

// Inclusive prefix of 16 u16 lanes (mod 2^16) plus `carry`; `carry` becomes
// the running total broadcast. The carry chain is one add per block: the
// block total is broadcast from the carry-free scan.
MV_AVX2_INLINE __m256i scan16(__m256i v, __m256i& carry) {
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 2));
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 4));
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 8));
  const __m256i last = _mm256_set1_epi16(0x0f0e);
  const __m256i lane_tot = _mm256_shuffle_epi8(v, last);
  v = _mm256_add_epi16(v, _mm256_permute2x128_si256(lane_tot, lane_tot, 0x08));
  const __m256i tot = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x00);
  const __m256i tot_hi = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x11);
  const __m256i out = _mm256_add_epi16(v, carry);
  carry = _mm256_add_epi16(carry, _mm256_add_epi16(tot, tot_hi));
  return out;
}

// Prefix of 16 u16 column sums as two vectors of 8 u32, plus `carry`. The
// in-lane part of the scan runs on 16-bit lanes, exact while eight column
// sums fit 16 bits (kMaxRadiusLaneScan); only the lane totals are widened.
constexpr uint32_t kMaxRadiusLaneScan = 15;

MV_AVX2_INLINE void scan16to32(__m256i v, __m256i& carry, __m256i& out_lo, __m256i& out_hi) {
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 2));
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 4));
  v = _mm256_add_epi16(v, _mm256_slli_si256(v, 8));
  // Each lane's total (its element 7), zero-extended into every 32-bit slot.
  const __m256i last = _mm256_set1_epi32(int32_t(0x80800f0e));
  const __m256i lane_tot = _mm256_shuffle_epi8(v, last);
  const __m256i tot_lo = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x00);
  const __m256i tot_hi = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x11);
  const __m256i a = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(v));
  const __m256i b = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1));
  out_lo = _mm256_add_epi32(a, carry);
  out_hi = _mm256_add_epi32(b, _mm256_add_epi32(carry, tot_lo));
  carry = _mm256_add_epi32(carry, _mm256_add_epi32(tot_lo, tot_hi));
}

// Same for 8 u32 lanes.
MV_AVX2_INLINE __m256i scan32(__m256i v, __m256i& carry) {
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
  const __m256i lane_tot = _mm256_shuffle_epi32(v, 0xff);
  v = _mm256_add_epi32(v, _mm256_permute2x128_si256(lane_tot, lane_tot, 0x08));
  const __m256i tot = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x00);
  const __m256i tot_hi = _mm256_permute2x128_si256(lane_tot, lane_tot, 0x11);
  const __m256i out = _mm256_add_epi32(v, carry);
  carry = _mm256_add_epi32(carry, _mm256_add_epi32(tot, tot_hi));
  return out;
}

// Two 16-lane masks (0 / -1) -> 32 bits in pixel order.
MV_AVX2_INLINE uint32_t mask16x2(__m256i a, __m256i b) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xd8);
  return uint32_t(_mm256_movemask_epi8(packed));
}

MV_AVX2_INLINE uint32_t mask8(__m256i m) {
  return uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
}

// ORs the `count` (32 or 8) labels of image columns x .. x + count - 1 into
// a zeroed padded row.
MV_AVX2_INLINE void put_bits(uint64_t* dst, uint32_t x, uint32_t bits, uint32_t count = 32) {
  const uint32_t px = x + 1;
  const uint32_t sh = px & 63;
  dst[px >> 6] |= uint64_t(bits) << sh;
  if (sh > 64 - count) dst[(px >> 6) + 1] |= uint64_t(bits) >> (64 - sh);
}

// What moving the window to row y of a band takes: the row entering it and
// the row leaving it (the zero row `zeros` where none does), and the number
// of image rows it then covers.
struct WindowStep {
  bool enters;
  bool leaves;
  const uint8_t* in;
  const uint8_t* out;
  int32_t rows_in;
};
MV_ALWAYS_INLINE WindowStep window_step(const GrayImage& gray, uint32_t r, RowBand band,
                                        uint32_t y, const uint8_t* zeros) {
  const uint32_t w = gray.width, h = gray.height;
  const uint8_t* img = gray.data.data();
  WindowStep s;
  s.enters = y > band.begin && uint64_t(y) + r < h;
  s.leaves = y > band.begin && y > r;
  s.in = s.enters ? img + (size_t(y) + r) * w : zeros;
  s.out = s.leaves ? img + (size_t(y) - r - 1) * w : zeros;
  const uint32_t y0 = y >= r ? y - r : 0;
  const uint32_t y1 = uint32_t(std::min<uint64_t>(uint64_t(y) + r, h - 1));
  s.rows_in = int32_t(y1 - y0 + 1);
  return s;
}

// The scalar end of a prefix pass: columns x .. w - 1, after the prefix
// `acc` of the columns before them.
template <class Prefix>
MV_ALWAYS_INLINE void prefix_tail(uint16_t* __restrict cs, const uint8_t* __restrict in,
                                  const uint8_t* __restrict out, Prefix* __restrict pre, uint32_t x,
                                  uint32_t w, Prefix acc) {
  for (; x < w; ++x) {
    cs[x] = uint16_t(cs[x] + in[x] - out[x]);
    pre[x + 1] = acc = Prefix(acc + cs[x]);
  }
}

// Adds the window rows of a band's first row to the column sums.
MV_ALWAYS_INLINE void add_band_start_rows(const GrayImage& gray, uint32_t r, RowBand band,
                                          uint16_t* __restrict cs) {
  const uint32_t w = gray.width;
  const uint32_t first = band.begin >= r ? band.begin - r : 0;
  const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(band.begin) + r, gray.height - 1));
  for (uint32_t y = first; y <= last; ++y) {
    const uint8_t* __restrict src = gray.data.data() + size_t(y) * w;
    for (uint32_t x = 0; x < w; ++x) cs[x] = uint16_t(cs[x] + src[x]);
  }
}

// What the label functions below know of the row being labelled: its
// pixels, the window's column sums and their prefixes (by kind), and the
// row of the plane.
struct LabelRow {
  const uint8_t* row;
  const uint16_t* cs;
  const uint16_t* pre16;
  const uint32_t* pre32;
  uint64_t* dst;
  uint32_t w;
  uint32_t r;
  int32_t rows_in;
  int32_t c;
};

// Window sum over columns [x0, x1] (exact: modular differences of prefixes
// are exact because the true sum fits the type).
template <SumKind Kind>
MV_ALWAYS_INLINE int32_t window_sum(const LabelRow& l, uint32_t x0, uint32_t x1) {
  if constexpr (Kind == SumKind::kDirect) {
    int32_t s = 0;
    for (uint32_t j = x0; j <= x1; ++j) s += l.cs[j];
    return s;
  } else if constexpr (Kind == SumKind::kPrefix16) {
    return uint16_t(l.pre16[x1 + 1] - l.pre16[x0]);
  } else {
    return int32_t(l.pre32[x1 + 1] - l.pre32[x0]);
  }
}

// The label of column x, whose window may be clipped.
template <SumKind Kind>
MV_ALWAYS_INLINE void label_clipped(const LabelRow& l, uint32_t x) {
  const uint32_t x0 = x >= l.r ? x - l.r : 0;
  const uint32_t x1 = std::min(x + l.r, l.w - 1);
  const int32_t n = l.rows_in * int32_t(x1 - x0 + 1);
  const int32_t s = window_sum<Kind>(l, x0, x1);
  const bool fg = 2 * s + n >= 2 * n * (int32_t(l.row[x]) + l.c);
  l.dst[(x + 1) >> 6] |= uint64_t(fg) << ((x + 1) & 63);
}

// The clipped columns at both ends of a row whose interior has been
// labelled: the interior's words are written whole, which overwrites the
// bits below its first column, so these come after.
template <SumKind Kind>
MV_AVX2_INLINE void label_clipped_edges(const LabelRow& l) {
  const uint32_t w = l.w, r = l.r;
  if constexpr (Kind == SumKind::kDirect) {
    for (uint32_t cx = 0; cx < r; ++cx) label_clipped<Kind>(l, cx);
    for (uint32_t cx = w - r; cx < w; ++cx) label_clipped<Kind>(l, cx);
  } else {
    // Wide windows clip many columns, which one at a time cost as much as a
    // sixth of the row: they go eight at a time. Labels of eight clipped
    // columns at, at + 1, ... (bit k for column at + k): on the left the
    // window starts at column 0, on the right it ends at the last column,
    // so n and the window sum come from contiguous prefixes. Lanes outside
    // the clipped range are cleared below. Every product fits 32 bits (the
    // caller's overflow check bounds 2 n (p + C)).
    auto prefixes8 = [&](uint32_t i) __attribute__((always_inline, target("avx2"))) -> __m256i {
      if constexpr (Kind == SumKind::kPrefix16)
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l.pre16 + i)));
      else
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l.pre32 + i));
    };
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i rows_v = _mm256_set1_epi32(l.rows_in);
    auto clipped8 = [&](uint32_t at, __m256i s, __m256i columns)
        __attribute__((always_inline, target("avx2"))) -> uint32_t {
      if constexpr (Kind == SumKind::kPrefix16) s = _mm256_and_si256(s, _mm256_set1_epi32(0xffff));
      const __m256i n = _mm256_mullo_epi32(rows_v, columns);
      const __m256i p = _mm256_cvtepu8_epi32(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(l.row + at)));
      const __m256i lhs = _mm256_add_epi32(_mm256_add_epi32(s, s), n);
      const __m256i pc = _mm256_mullo_epi32(n, _mm256_add_epi32(p, _mm256_set1_epi32(l.c)));
      return ~mask8(_mm256_cmpgt_epi32(_mm256_add_epi32(pc, pc), lhs)) & 0xffu;
    };
    // Columns at + k < r: window [0, at + k + r], sum pre[at + k + r + 1].
    for (uint32_t at = 0; at < r; at += 8) {
      const uint32_t keep = r - at >= 8 ? 0xffu : (1u << (r - at)) - 1;
      const __m256i columns = _mm256_add_epi32(_mm256_set1_epi32(int32_t(at + r + 1)), iota);
      put_bits(l.dst, at, clipped8(at, prefixes8(at + r + 1), columns) & keep, 8);
    }
    // Columns at + k >= w - r: window [at + k - r, w - 1]. The right edge is
    // covered backwards from the last column, so no read passes the row.
    const int32_t total = Kind == SumKind::kPrefix16 ? int32_t(l.pre16[w]) : int32_t(l.pre32[w]);
    for (uint32_t at = w - 8; at + 8 > w - r; at -= 8) {
      const uint32_t first = w - r > at ? w - r - at : 0;  // first clipped lane
      const __m256i columns = _mm256_sub_epi32(_mm256_set1_epi32(int32_t(w + r - at)), iota);
      const __m256i s = _mm256_sub_epi32(_mm256_set1_epi32(total), prefixes8(at - r));
      put_bits(l.dst, at, clipped8(at, s, columns) & (0xffu << first) & 0xffu, 8);
    }
  }
}

template <SumKind Kind, int R = 0>
__attribute__((target("avx2"))) void threshold_bits_avx2(const GrayImage& gray, uint32_t r,
                                                         int32_t c, BitLabels& plane,
                                                         RowBand band) {
  const uint32_t w = gray.width;
  const uint8_t* img = gray.data.data();
  if constexpr (Kind == SumKind::kDirect) r = R;
  Vec<uint16_t> colsum(size_t(w) + 16, 0);
  Vec<uint16_t> pre16(Kind == SumKind::kPrefix16 ? size_t(w) + 17 : 0, 0);
  Vec<uint32_t> pre32(Kind == SumKind::kPrefix32 ? size_t(w) + 17 : 0, 0);
  uint16_t* __restrict cs = colsum.data();
  const size_t wpr = plane.words_per_row;
  Vec<uint8_t> zeros(Kind == SumKind::kDirect ? 0 : w, 0);

  add_band_start_rows(gray, r, band, cs);
  // Columns whose window is not clipped, processed 32 at a time; a last block
  // overlapping the previous one covers the remainder (ORing equal bits).
  const bool vector_ok = uint64_t(2) * r + 32 <= w;
  const uint32_t vec_end = vector_ok ? w - r : 0;

  for (uint32_t y = band.begin; y < band.end; ++y) {
    // The prefix kinds update the column sums inside the prefix pass (a row
    // that does not enter or leave is read as zeros); the direct kind has no
    // prefix pass.
    const WindowStep step = window_step(gray, r, band, y, zeros.data());
    const bool enters = step.enters, leaves = step.leaves;
    const uint8_t* __restrict in = step.in;
    const uint8_t* __restrict out_row = step.out;
    if constexpr (Kind == SumKind::kDirect) {
      if (enters && leaves) {
        for (uint32_t x = 0; x < w; ++x) cs[x] = uint16_t(cs[x] + in[x] - out_row[x]);
      } else if (enters) {
        for (uint32_t x = 0; x < w; ++x) cs[x] = uint16_t(cs[x] + in[x]);
      } else if (leaves) {
        for (uint32_t x = 0; x < w; ++x) cs[x] = uint16_t(cs[x] - out_row[x]);
      }
    }
    const int32_t rows_in = step.rows_in;
    const uint8_t* __restrict row = img + size_t(y) * w;

    if constexpr (Kind == SumKind::kPrefix16) {
      __m256i carry = _mm256_setzero_si256();
      uint32_t x = 0;
      pre16[0] = 0;
      for (; x + 16 <= w; x += 16) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cs + x));
        v = _mm256_sub_epi16(
            _mm256_add_epi16(v, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                reinterpret_cast<const __m128i*>(in + x)))),
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(out_row + x))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cs + x), v);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre16.data() + x + 1), scan16(v, carry));
      }
      prefix_tail(cs, in, out_row, pre16.data(), x, w, uint16_t(_mm256_extract_epi16(carry, 0)));
    } else if constexpr (Kind == SumKind::kPrefix32) {
      __m256i carry = _mm256_setzero_si256();
      uint32_t x = 0;
      pre32[0] = 0;
      if (r <= kMaxRadiusLaneScan) {
        for (; x + 16 <= w; x += 16) {
          __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cs + x));
          v = _mm256_sub_epi16(
              _mm256_add_epi16(v, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                      reinterpret_cast<const __m128i*>(in + x)))),
              _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(out_row + x))));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(cs + x), v);
          __m256i lo, hi;
          scan16to32(v, carry, lo, hi);
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre32.data() + x + 1), lo);
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre32.data() + x + 9), hi);
        }
      } else {
        for (; x + 16 <= w; x += 16) {
          __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cs + x));
          v = _mm256_sub_epi16(
              _mm256_add_epi16(v, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                      reinterpret_cast<const __m128i*>(in + x)))),
              _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(out_row + x))));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(cs + x), v);
          const __m256i a = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(v));
          const __m256i b = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre32.data() + x + 1), scan32(a, carry));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre32.data() + x + 9), scan32(b, carry));
        }
      }
      prefix_tail(cs, in, out_row, pre32.data(), x, w, uint32_t(_mm256_extract_epi32(carry, 0)));
    }

    uint64_t* dst = plane.bits.data() + (size_t(y) + 1) * wpr;
    std::memset(dst, 0, wpr * sizeof(uint64_t));
    const LabelRow l{row, cs, pre16.data(), pre32.data(), dst, w, r, rows_in, c};
    if (!vector_ok) {
      for (uint32_t x = 0; x < w; ++x) label_clipped<Kind>(l, x);
      continue;
    }
    const int32_t n = rows_in * int32_t(2 * r + 1);
    auto block = [&](uint32_t x) __attribute__((always_inline, target("avx2"))) -> uint32_t {
      const __m256i p8 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
      if constexpr (Kind == SumKind::kDirect) {
        // Every quantity fits int16 (n <= 49): S + n / 2 - n C >= n p.
        const __m256i n16 = _mm256_set1_epi16(int16_t(n));
        const __m256i k16 = _mm256_set1_epi16(int16_t(n / 2 - n * c));
        __m256i lt[2];
        for (int half = 0; half < 2; ++half) {
          const uint16_t* base = cs + x + 16 * half;
          __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base));
          for (int j = 1; j <= R; ++j) {
            s = _mm256_add_epi16(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base - j)));
            s = _mm256_add_epi16(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + j)));
          }
          const __m256i p = _mm256_cvtepu8_epi16(half ? _mm256_extracti128_si256(p8, 1)
                                                      : _mm256_castsi256_si128(p8));
          lt[half] = _mm256_cmpgt_epi16(_mm256_mullo_epi16(p, n16), _mm256_add_epi16(s, k16));
        }
        return ~mask16x2(lt[0], lt[1]);
      } else if constexpr (Kind == SumKind::kPrefix16) {
        // S >= sat16(n p + K), K = n C - floor(n / 2), unsigned.
        const int32_t k = n * c - n / 2;
        const __m256i n16 = _mm256_set1_epi16(int16_t(n));
        const __m256i kmag = _mm256_set1_epi16(int16_t(uint16_t(k >= 0 ? k : -k)));
        __m256i ge[2];
        for (int half = 0; half < 2; ++half) {
          const uint32_t xs = x + 16 * half;
          const __m256i hi =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre16.data() + xs + r + 1));
          const __m256i lo =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre16.data() + xs - r));
          const __m256i s = _mm256_sub_epi16(hi, lo);
          const __m256i p = _mm256_cvtepu8_epi16(half ? _mm256_extracti128_si256(p8, 1)
                                                      : _mm256_castsi256_si128(p8));
          const __m256i np = _mm256_mullo_epi16(p, n16);
          const __m256i t = k >= 0 ? _mm256_adds_epu16(np, kmag) : _mm256_subs_epu16(np, kmag);
          ge[half] = _mm256_cmpeq_epi16(_mm256_max_epu16(s, t), s);
        }
        return mask16x2(ge[0], ge[1]);
      } else {
        // S + (n / 2 - n C) + 1 > n p in int32 (bounded by the caller's
        // overflow check); n p by a 16-bit multiply-add when n fits int16.
        const __m256i k1 = _mm256_set1_epi32(n / 2 - n * c + 1);
        const __m256i nv = _mm256_set1_epi32(n);
        uint32_t bits = 0;
        for (int q = 0; q < 4; ++q) {
          const uint32_t xs = x + 8 * q;
          const __m256i hi =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre32.data() + xs + r + 1));
          const __m256i lo =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre32.data() + xs - r));
          const __m256i s = _mm256_add_epi32(_mm256_sub_epi32(hi, lo), k1);
          const __m256i p = _mm256_cvtepu8_epi32(_mm_loadl_epi64(
              reinterpret_cast<const __m128i*>(row + xs)));
          const __m256i np = n <= 32767 ? _mm256_madd_epi16(p, nv) : _mm256_mullo_epi32(p, nv);
          bits |= mask8(_mm256_cmpgt_epi32(s, np)) << (8 * q);
        }
        return bits;
      }
    };
    // 64 labels at a time are assembled in a register and stored as whole
    // words: or-ing each 32 into the plane would make every block wait for
    // the previous block's store to the same word. The words are written
    // before the clipped columns are or-ed in, as they overwrite the bits
    // below the first vector column.
    uint32_t x = r;
    const unsigned sh = (r + 1) & 63;
    size_t word = (size_t(r) + 1) >> 6;
    uint64_t spill = 0;  // the previous 64 labels' bits for `word`
    for (; x + 64 <= vec_end; x += 64, ++word) {
      const uint64_t labels = uint64_t(block(x)) | uint64_t(block(x + 32)) << 32;
      dst[word] = spill | labels << sh;
      spill = sh == 0 ? 0 : labels >> (64 - sh);
    }
    dst[word] |= spill;
    if (x + 32 <= vec_end) put_bits(dst, x, block(x)), x += 32;
    if (x < vec_end) put_bits(dst, vec_end - 32, block(vec_end - 32));
    label_clipped_edges<Kind>(l);
  }
}

// AVX-512 kernels: the prefix pass takes 32 columns to a vector, and a
// block's comparisons leave its 64 labels in mask registers, which need no
// packing. The clipped columns go as in the AVX2 kernel. (The direct kind
// gains only where it runs right after other wide-vector work, as when the
// detector thresholds every window before tracing; after a scalar trace the
// wide units' slow start cost more than it saved at 640x480.)
//
// GCC 12 reports the intrinsics' own placeholder operands
// (_mm512_undefined_*) as uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define MV_AVX512_FEATURES "avx512f,avx512bw,avx512vl,avx512dq,avx2,bmi2"
#define MV_AVX512_INLINE inline __attribute__((always_inline, target(MV_AVX512_FEATURES)))

template <int Bits>
MV_AVX512_INLINE __m512i add_lanes(__m512i a, __m512i b) {
  if constexpr (Bits == 16)
    return _mm512_add_epi16(a, b);
  else
    return _mm512_add_epi32(a, b);
}

// Exclusive prefix over the four 128-bit lanes of per-lane totals `t`, each
// lane holding its total in every element of `Bits` bits: lane k gets
// t0 + .. + t(k - 1).
template <int Bits>
MV_AVX512_INLINE __m512i lanes_before(__m512i t) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i once = _mm512_alignr_epi64(t, zero, 6);  // 0, t0, t1, t2
  return add_lanes<Bits>(add_lanes<Bits>(once, _mm512_alignr_epi64(once, zero, 6)),
                         _mm512_alignr_epi64(once, zero, 4));
}

// scan16 on 32 lanes. Its first steps shift within 64-bit groups of four
// lanes, which leaves the shuffle port (the bound of this pass) to the
// steps that cross groups; the lanes' totals then go across the four
// 128-bit lanes in two steps.
MV_AVX512_INLINE __m512i scan16_512(__m512i v, __m512i& carry) {
  v = _mm512_add_epi16(v, _mm512_slli_epi64(v, 16));
  v = _mm512_add_epi16(v, _mm512_slli_epi64(v, 32));
  // The upper group of each 128-bit lane adds the lower group's total.
  const __m512i low_total = _mm512_set_epi64(
      0x0706070607060706, int64_t(0x8080808080808080), 0x0706070607060706,
      int64_t(0x8080808080808080), 0x0706070607060706, int64_t(0x8080808080808080),
      0x0706070607060706, int64_t(0x8080808080808080));
  v = _mm512_add_epi16(v, _mm512_shuffle_epi8(v, low_total));
  const __m512i lane_tot = _mm512_shuffle_epi8(v, _mm512_set1_epi16(0x0f0e));
  const __m512i zero = _mm512_setzero_si512();
  __m512i through = _mm512_add_epi16(lane_tot, _mm512_alignr_epi64(lane_tot, zero, 6));
  through = _mm512_add_epi16(through, _mm512_alignr_epi64(through, zero, 4));
  const __m512i before = _mm512_sub_epi16(through, lane_tot);
  const __m512i out = _mm512_add_epi16(_mm512_add_epi16(v, before), carry);
  carry = _mm512_add_epi16(carry, _mm512_shuffle_i64x2(through, through, 0xff));
  return out;
}

// scan16to32 on 32 lanes (r <= kMaxRadiusLaneScan).
MV_AVX512_INLINE void scan16to32_512(__m512i v, __m512i& carry, __m512i& out_lo,
                                     __m512i& out_hi) {
  v = _mm512_add_epi16(v, _mm512_bslli_epi128(v, 2));
  v = _mm512_add_epi16(v, _mm512_bslli_epi128(v, 4));
  v = _mm512_add_epi16(v, _mm512_bslli_epi128(v, 8));
  // Each lane's total (its element 7), zero-extended into every 32-bit slot.
  const __m512i lane_tot = _mm512_shuffle_epi8(v, _mm512_set1_epi32(int32_t(0x80800f0e)));
  const __m512i before = lanes_before<32>(lane_tot);
  const __m512i through = _mm512_add_epi32(before, lane_tot);
  // Lanes 0 and 1 of v widen into out_lo, lanes 2 and 3 into out_hi.
  const __m512i a = _mm512_cvtepu16_epi32(_mm512_castsi512_si256(v));
  const __m512i b = _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(v, 1));
  out_lo = _mm512_add_epi32(_mm512_add_epi32(a, carry), _mm512_shuffle_i32x4(before, before, 0x50));
  out_hi = _mm512_add_epi32(_mm512_add_epi32(b, carry), _mm512_shuffle_i32x4(before, before, 0xfa));
  carry = _mm512_add_epi32(carry, _mm512_shuffle_i32x4(through, through, 0xff));
}

// ORs the 64 labels of image columns x .. x + 63 into a zeroed padded row.
MV_ALWAYS_INLINE void put_bits64(uint64_t* dst, uint32_t x, uint64_t bits) {
  const uint32_t px = x + 1;
  const uint32_t sh = px & 63;
  dst[px >> 6] |= bits << sh;
  if (sh != 0) dst[(px >> 6) + 1] |= bits >> (64 - sh);
}

// The labels of columns r .. vec_end - 1 (vec_end >= r + 64) as whole
// words, 64 from `block` at a time, as in threshold_bits_avx2; a last block
// overlapping the previous one covers the remainder.
template <class Block>
MV_AVX512_INLINE void put_label_words(uint64_t* dst, uint32_t r, uint32_t vec_end, Block& block) {
  uint32_t x = r;
  const unsigned sh = (r + 1) & 63;
  size_t word = (size_t(r) + 1) >> 6;
  uint64_t spill = 0;
  for (; x + 64 <= vec_end; x += 64, ++word) {
    const uint64_t labels = block(x);
    dst[word] = spill | labels << sh;
    spill = sh == 0 ? 0 : labels >> (64 - sh);
  }
  dst[word] |= spill;
  if (x < vec_end) put_bits64(dst, vec_end - 64, block(vec_end - 64));
}

// The row loop is threshold_bits_avx2's; 32-bit prefixes only for
// r <= kMaxRadiusLaneScan.
template <SumKind Kind>
__attribute__((target(MV_AVX512_FEATURES))) void threshold_bits_avx512(const GrayImage& gray,
                                                                      uint32_t r, int32_t c,
                                                                      BitLabels& plane,
                                                                      RowBand band) {
  static_assert(Kind != SumKind::kDirect, "the direct kind uses threshold_bits_avx2");
  const uint32_t w = gray.width;
  const uint8_t* img = gray.data.data();
  Vec<uint16_t> colsum(size_t(w) + 16, 0);
  Vec<uint16_t> pre16(Kind == SumKind::kPrefix16 ? size_t(w) + 17 : 0, 0);
  Vec<uint32_t> pre32(Kind == SumKind::kPrefix32 ? size_t(w) + 17 : 0, 0);
  uint16_t* __restrict cs = colsum.data();
  const size_t wpr = plane.words_per_row;
  Vec<uint8_t> zeros(w, 0);

  add_band_start_rows(gray, r, band, cs);
  // Columns whose window is not clipped, 64 at a time; a last block
  // overlapping the previous one covers the remainder (ORing equal bits).
  const bool vector_ok = uint64_t(2) * r + 64 <= w;
  const uint32_t vec_end = vector_ok ? w - r : 0;

  for (uint32_t y = band.begin; y < band.end; ++y) {
    const WindowStep step = window_step(gray, r, band, y, zeros.data());
    const uint8_t* __restrict in = step.in;
    const uint8_t* __restrict out_row = step.out;
    const int32_t rows_in = step.rows_in;
    const uint8_t* __restrict row = img + size_t(y) * w;

    auto next_sums = [&](uint32_t x) __attribute__((always_inline, target(MV_AVX512_FEATURES))) {
      __m512i v = _mm512_loadu_si512(cs + x);
      v = _mm512_sub_epi16(
          _mm512_add_epi16(v, _mm512_cvtepu8_epi16(_mm256_loadu_si256(
                                  reinterpret_cast<const __m256i*>(in + x)))),
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(out_row + x))));
      _mm512_storeu_si512(cs + x, v);
      return v;
    };
    __m512i carry = _mm512_setzero_si512();
    uint32_t x = 0;
    if constexpr (Kind == SumKind::kPrefix16) {
      pre16[0] = 0;
      for (; x + 32 <= w; x += 32)
        _mm512_storeu_si512(pre16.data() + x + 1, scan16_512(next_sums(x), carry));
      prefix_tail(cs, in, out_row, pre16.data(), x, w,
                  uint16_t(_mm_extract_epi16(_mm512_castsi512_si128(carry), 0)));
    } else {
      pre32[0] = 0;
      for (; x + 32 <= w; x += 32) {
        __m512i lo, hi;
        scan16to32_512(next_sums(x), carry, lo, hi);
        _mm512_storeu_si512(pre32.data() + x + 1, lo);
        _mm512_storeu_si512(pre32.data() + x + 17, hi);
      }
      prefix_tail(cs, in, out_row, pre32.data(), x, w,
                  uint32_t(_mm_cvtsi128_si32(_mm512_castsi512_si128(carry))));
    }

    uint64_t* dst = plane.bits.data() + (size_t(y) + 1) * wpr;
    std::memset(dst, 0, wpr * sizeof(uint64_t));
    const LabelRow l{row, cs, pre16.data(), pre32.data(), dst, w, r, rows_in, c};
    if (!vector_ok) {
      for (uint32_t cx = 0; cx < w; ++cx) label_clipped<Kind>(l, cx);
      continue;
    }
    const int32_t n = rows_in * int32_t(2 * r + 1);
    auto block = [&](uint32_t bx) __attribute__((always_inline, target(MV_AVX512_FEATURES))) {
      uint64_t bits = 0;
      if constexpr (Kind == SumKind::kPrefix16) {
        // S >= sat16(n p + K), as in threshold_bits_avx2.
        const int32_t k = n * c - n / 2;
        const __m512i n16 = _mm512_set1_epi16(int16_t(n));
        const __m512i kmag = _mm512_set1_epi16(int16_t(uint16_t(k >= 0 ? k : -k)));
        for (int half = 0; half < 2; ++half) {
          const uint32_t xs = bx + 32 * half;
          const __m512i s = _mm512_sub_epi16(_mm512_loadu_si512(pre16.data() + xs + r + 1),
                                             _mm512_loadu_si512(pre16.data() + xs - r));
          const __m512i p = _mm512_cvtepu8_epi16(
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + xs)));
          const __m512i np = _mm512_mullo_epi16(p, n16);
          const __m512i t = k >= 0 ? _mm512_adds_epu16(np, kmag) : _mm512_subs_epu16(np, kmag);
          bits |= uint64_t(_mm512_cmp_epu16_mask(s, t, _MM_CMPINT_NLT)) << (32 * half);
        }
      } else {
        // S + (n / 2 - n C) + 1 > n p, as in threshold_bits_avx2.
        const __m512i k1 = _mm512_set1_epi32(n / 2 - n * c + 1);
        const __m512i nv = _mm512_set1_epi32(n);
        for (int q = 0; q < 4; ++q) {
          const uint32_t xs = bx + 16 * q;
          const __m512i s =
              _mm512_add_epi32(_mm512_sub_epi32(_mm512_loadu_si512(pre32.data() + xs + r + 1),
                                                _mm512_loadu_si512(pre32.data() + xs - r)),
                               k1);
          const __m512i p =
              _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + xs)));
          const __m512i np = n <= 32767 ? _mm512_madd_epi16(p, nv) : _mm512_mullo_epi32(p, nv);
          bits |= uint64_t(_mm512_cmpgt_epi32_mask(s, np)) << (16 * q);
        }
      }
      return bits;
    };
    put_label_words(dst, r, vec_end, block);
    label_clipped_edges<Kind>(l);
  }
}

// Two windows of one frame in one pass, as sums of row sums. One prefix per
// image row, shared by both windows, gives each window's row sums H, and
// each window slides the sum of its 2r + 1 row sums down the rows. Against
// two column-sum kernels this saves a whole prefix pass per row: about a
// fifth of the pair's time at 640x480 and 1280x720. The prefix rows live in a
// ring of the last 2 rmax + 2 rows, which stays in the core's cache at any
// frame size (a whole-frame plane of them measured no faster at 1280x720).
//
// A prefix row E is padded so that H needs no clipping: zeros before E[0] =
// P[0] = 0 and copies of the row total after E[w] = P[w]. Then
// H(x) = E[x + r + 1] - E[x - r] is the sum over the window's clipped
// columns for every x, and the clipped columns differ from the others only
// in their pixel count n. Sums are kept for every column (Kind16: modulo
// 2^16, exact since a window sum fits); the labels are those of the
// column-sum kernels, lane for lane.
constexpr uint32_t kRowPrefixLeftPad = 32;    // >= kMaxRadiusLaneScan + 1
constexpr uint32_t kRowPrefixRightPad = 128;  // covers the reads of the last 64-column block

// The kernel's buffers are carved from one zeroed allocation per band: as
// separate allocations of a few hundred KiB each, the allocator's first
// call on a thread took fresh pages for each size, which raised the peak
// memory of a 3840x2160 frame by up to 10 MiB.
class RowPrefixRing {
 public:
  static size_t stride(uint32_t w) {
    return (size_t(kRowPrefixLeftPad) + w + 1 + kRowPrefixRightPad + 31) & ~size_t(31);
  }
  // Lanes it takes from the shared buffer (a multiple of 32).
  static size_t lanes(uint32_t w, uint32_t slots) { return (size_t(slots) + 1) * stride(w); }
  RowPrefixRing(uint32_t w, uint32_t slots, uint16_t* zeroed)
      : slots_(slots), stride_(stride(w)), data_(zeroed) {}
  // E[0] of image row y's slot; the slot after the last one stays all zeros.
  uint16_t* row(uint32_t y) { return data_ + size_t(y % slots_) * stride_ + kRowPrefixLeftPad; }
  const uint16_t* zeros() const { return data_ + size_t(slots_) * stride_ + kRowPrefixLeftPad; }

 private:
  uint32_t slots_;
  size_t stride_;
  uint16_t* data_;
};

__attribute__((target(MV_AVX512_FEATURES))) void row_prefix(const uint8_t* row, uint32_t w,
                                                           uint16_t* e) {
  __m512i carry = _mm512_setzero_si512();
  uint32_t x = 0;
  e[0] = 0;
  for (; x + 32 <= w; x += 32)
    _mm512_storeu_si512(e + x + 1, scan16_512(_mm512_cvtepu8_epi16(_mm256_loadu_si256(
                                       reinterpret_cast<const __m256i*>(row + x))),
                                   carry));
  uint16_t acc = uint16_t(_mm_extract_epi16(_mm512_castsi512_si128(carry), 0));
  for (; x < w; ++x) e[x + 1] = acc = uint16_t(acc + row[x]);
  const __m512i total = _mm512_set1_epi16(int16_t(acc));
  for (uint32_t k = 0; k < kRowPrefixRightPad; k += 32) _mm512_storeu_si512(e + w + 1 + k, total);
}

// One window's running sums: per column, the sum of H over its window rows.
// Each image row's H is computed once, when the row enters the window, and
// kept until it leaves (2 r + 2 rows, slot y % slots): reading it back is one
// aligned load where computing it again took two loads that each cross a
// cache line.
class RowSumWindow {
 public:
  // Lanes it takes from the shared buffer (sum_len is a multiple of 64, so
  // every row stays 64-byte aligned when the buffer is).
  static size_t lanes(uint32_t radius, size_t sum_len) {
    return (size_t(2) * radius + 4 + (radius <= kMaxRadiusMid ? 1 : 2)) * sum_len;
  }
  RowSumWindow(uint32_t radius, BitLabels* labels, size_t sum_len, uint16_t* zeroed)
      : r(radius), plane(labels), h_stride_(sum_len), h_slots_(2 * radius + 2), h_base_(zeroed) {
    uint16_t* sums = zeroed + (size_t(h_slots_) + 2) * sum_len;
    // The 32-bit sums are only ever read and written with vector loads and
    // stores, which may alias any type.
    if (r <= kMaxRadiusMid) s16 = sums;
    else s32 = reinterpret_cast<uint32_t*>(sums);
  }
  uint16_t* h_row(uint32_t y) { return h_base_ + size_t(y % h_slots_) * h_stride_; }
  // H of no row (all zeros), and a row that takes the H of no row.
  const uint16_t* h_zeros() const { return h_base_ + size_t(h_slots_) * h_stride_; }
  uint16_t* h_sink() { return h_base_ + size_t(h_slots_ + 1) * h_stride_; }

  uint32_t r;
  BitLabels* plane;
  uint16_t* s16 = nullptr;  // r <= kMaxRadiusMid
  uint32_t* s32 = nullptr;  // larger r

 private:
  size_t h_stride_;
  uint32_t h_slots_;
  uint16_t* h_base_;
};

// Adds H_in - H_out to the sums of the 32 columns from x, H_in from the
// prefix row e_in (kept in h_in), H_out as kept; returns the new sums
// (Kind16: 32 lanes of 16 bits; Kind32: lo and hi halves). H_in - H_out is
// exact modulo 2^16 and fits int16 for r <= kMaxRadiusLaneScan.
template <SumKind Kind>
MV_AVX512_INLINE void slide_sums(RowSumWindow& win, const uint16_t* e_in, uint16_t* h_in,
                                 const uint16_t* h_out, uint32_t x, __m512i& lo, __m512i& hi) {
  const uint32_t r = win.r;
  const __m512i h = _mm512_sub_epi16(_mm512_loadu_si512(e_in + x + r + 1),
                                     _mm512_loadu_si512(e_in + x - r));
  _mm512_store_si512(h_in + x, h);
  const __m512i d = _mm512_sub_epi16(h, _mm512_load_si512(h_out + x));
  if constexpr (Kind == SumKind::kPrefix16) {
    lo = _mm512_add_epi16(_mm512_loadu_si512(win.s16 + x), d);
    _mm512_storeu_si512(win.s16 + x, lo);
  } else {
    lo = _mm512_add_epi32(_mm512_loadu_si512(win.s32 + x),
                          _mm512_cvtepi16_epi32(_mm512_castsi512_si256(d)));
    hi = _mm512_add_epi32(_mm512_loadu_si512(win.s32 + x + 16),
                          _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(d, 1)));
    _mm512_storeu_si512(win.s32 + x, lo);
    _mm512_storeu_si512(win.s32 + x + 16, hi);
  }
}

// Labels of the clipped columns at..at + 15 (bit k for column at + k), whose
// windows span `columns` (a vector) image columns.
template <SumKind Kind>
MV_AVX512_INLINE uint32_t clipped_labels16(const RowSumWindow& win, const uint8_t* row,
                                           uint32_t at, __m512i columns, int32_t rows_in,
                                           int32_t c) {
  __m512i s;
  if constexpr (Kind == SumKind::kPrefix16)
    s = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(win.s16 + at)));
  else
    s = _mm512_loadu_si512(win.s32 + at);
  // 2 S + n >= 2 n (p + C), as in label_clipped.
  const __m512i n = _mm512_mullo_epi32(_mm512_set1_epi32(rows_in), columns);
  const __m512i p = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + at)));
  const __m512i lhs = _mm512_add_epi32(_mm512_add_epi32(s, s), n);
  const __m512i pc = _mm512_mullo_epi32(n, _mm512_add_epi32(p, _mm512_set1_epi32(c)));
  return uint32_t(uint16_t(~_mm512_cmpgt_epi32_mask(_mm512_add_epi32(pc, pc), lhs)));
}

// Replaces the bits of `keep` in the labels of columns x .. x + 15.
MV_ALWAYS_INLINE void replace_bits16(uint64_t* dst, uint32_t x, uint32_t bits, uint32_t keep) {
  const uint32_t px = x + 1, sh = px & 63;
  const uint64_t b = bits & keep, k = keep;
  uint64_t* d = dst + (px >> 6);
  d[0] = (d[0] & ~(k << sh)) | (b << sh);
  if (sh > 48) d[1] = (d[1] & ~(k >> (64 - sh))) | (b >> (64 - sh));
}

// Slides one window down to row y and writes its labels of row y.
template <SumKind Kind>
__attribute__((target(MV_AVX512_FEATURES))) void row_sum_window_row(
    RowSumWindow& win, const uint16_t* e_in, uint16_t* h_in, const uint16_t* h_out,
    const uint8_t* row, uint32_t w, uint32_t y, int32_t rows_in, int32_t c) {
  const uint32_t r = win.r;
  const int32_t n = rows_in * int32_t(2 * r + 1);
  // Comparison constants of threshold_bits_avx512 for unclipped windows.
  const int32_t k = n * c - n / 2;
  const __m512i n16 = _mm512_set1_epi16(int16_t(n));
  const __m512i kmag = _mm512_set1_epi16(int16_t(uint16_t(k >= 0 ? k : -k)));
  const __m512i k1 = _mm512_set1_epi32(n / 2 - n * c + 1);
  const __m512i nv = _mm512_set1_epi32(n);
  // 32 labels from column x; pixels past the row's end are not read.
  auto block = [&](uint32_t x, __mmask32 valid)
      __attribute__((always_inline, target(MV_AVX512_FEATURES))) -> uint32_t {
    __m512i lo, hi;
    slide_sums<Kind>(win, e_in, h_in, h_out, x, lo, hi);
    const __m256i p8 = _mm256_maskz_loadu_epi8(valid, row + x);
    if constexpr (Kind == SumKind::kPrefix16) {
      const __m512i np = _mm512_mullo_epi16(_mm512_cvtepu8_epi16(p8), n16);
      const __m512i t = k >= 0 ? _mm512_adds_epu16(np, kmag) : _mm512_subs_epu16(np, kmag);
      return _mm512_mask_cmp_epu16_mask(valid, lo, t, _MM_CMPINT_NLT);
    } else {
      const __m512i pa = _mm512_cvtepu8_epi32(_mm256_castsi256_si128(p8));
      const __m512i pb = _mm512_cvtepu8_epi32(_mm256_extracti128_si256(p8, 1));
      const uint32_t m = _mm512_cmpgt_epi32_mask(_mm512_add_epi32(lo, k1), _mm512_madd_epi16(pa, nv)) |
                         uint32_t(_mm512_cmpgt_epi32_mask(_mm512_add_epi32(hi, k1),
                                                          _mm512_madd_epi16(pb, nv)))
                             << 16;
      return m & valid;
    }
  };
  auto valid_from = [w](uint32_t x) -> __mmask32 {
    return x + 32 <= w ? ~__mmask32(0) : x < w ? (__mmask32(1) << (w - x)) - 1 : 0;
  };
  // Whole words from column 0: column x is bit x + 1, bit 0 the zero frame.
  uint64_t* dst = win.plane->bits.data() + (size_t(y) + 1) * win.plane->words_per_row;
  size_t word = 0;
  uint64_t spill = 0;
  uint32_t x = 0;
  for (; x + 64 <= w; x += 64, ++word) {
    const uint64_t labels = block(x, ~__mmask32(0)) | uint64_t(block(x + 32, ~__mmask32(0))) << 32;
    dst[word] = spill | labels << 1;
    spill = labels >> 63;
  }
  if (x < w) {
    const uint64_t labels = block(x, valid_from(x)) | uint64_t(block(x + 32, valid_from(x + 32))) << 32;
    dst[word++] = spill | labels << 1;
    spill = labels >> 63;
  }
  for (; word < win.plane->words_per_row; ++word, spill = 0) dst[word] = spill;

  // The clipped columns (r < 16 of them at each end, w >= 2 r + 64).
  const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i left_columns = _mm512_add_epi32(_mm512_set1_epi32(int32_t(r + 1)), iota);
  replace_bits16(dst, 0, clipped_labels16<Kind>(win, row, 0, left_columns, rows_in, c),
                 (1u << r) - 1);
  const uint32_t at = w - 16;
  const __m512i right_columns = _mm512_sub_epi32(_mm512_set1_epi32(int32_t(w + r - at)), iota);
  replace_bits16(dst, at, clipped_labels16<Kind>(win, row, at, right_columns, rows_in, c),
                 0xffffu & ~((1u << (16 - r)) - 1));
}

// The window sums of a band's first row: H summed over its window rows.
template <SumKind Kind>
__attribute__((target(MV_AVX512_FEATURES))) void row_sum_window_start(RowSumWindow& win,
                                                                     RowPrefixRing& ring,
                                                                     uint32_t w, uint32_t h,
                                                                     uint32_t begin) {
  const uint32_t r = win.r;
  const uint32_t first = begin >= r ? begin - r : 0;
  const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(begin) + r, h - 1));
  for (uint32_t y = first; y <= last; ++y) {
    const uint16_t* e = ring.row(y);
    uint16_t* h = win.h_row(y);
    for (uint32_t x = 0; x < w; x += 32) {
      __m512i lo, hi;
      slide_sums<Kind>(win, e, h, win.h_zeros(), x, lo, hi);
    }
  }
}

bool fits_row_sum_pair(uint32_t w, uint32_t ra, uint32_t rb) {
  auto fits = [](uint32_t r) { return r > 3 && r <= kMaxRadiusLaneScan; };
  return ra != rb && fits(ra) && fits(rb) && uint64_t(2) * std::max(ra, rb) + 64 <= w;
}

// Rows [band.begin, band.end) of two windows (fits_row_sum_pair).
void threshold_bits_row_sum_pair(const GrayImage& gray, const uint32_t radius[2], int32_t c,
                                 BitLabels* planes[2], RowBand band, RowCopy copy) {
  const uint32_t w = gray.width, h = gray.height;
  const uint8_t* img = copy.from != nullptr ? copy.from : gray.data.data();
  const uint32_t rmax = std::max(radius[0], radius[1]);
  // Sums for whole 64-column blocks: the last block's lanes past the row end
  // hold sums nobody reads.
  const size_t sum_len = ((size_t(w) + 63) & ~size_t(63)) + 64;
  const size_t ring_lanes = RowPrefixRing::lanes(w, 2 * rmax + 2);
  const size_t lanes_a = RowSumWindow::lanes(radius[0], sum_len);
  Vec<uint16_t> scratch(ring_lanes + lanes_a + RowSumWindow::lanes(radius[1], sum_len) + 32, 0);
  const uintptr_t at = reinterpret_cast<uintptr_t>(scratch.data());
  uint16_t* base = scratch.data() + ((64 - (at & 63)) & 63) / sizeof(uint16_t);
  RowPrefixRing ring(w, 2 * rmax + 2, base);
  RowSumWindow win[2] = {{radius[0], planes[0], sum_len, base + ring_lanes},
                         {radius[1], planes[1], sum_len, base + ring_lanes + lanes_a}};
  const uint32_t ring_first = band.begin >= rmax ? band.begin - rmax : 0;
  const uint32_t ring_last = uint32_t(std::min<uint64_t>(uint64_t(band.begin) + rmax, h - 1));
  for (uint32_t y = ring_first; y <= ring_last; ++y) row_prefix(img + size_t(y) * w, w, ring.row(y));
  for (RowSumWindow& wi : win) {
    if (wi.r <= kMaxRadiusMid) row_sum_window_start<SumKind::kPrefix16>(wi, ring, w, h, band.begin);
    else row_sum_window_start<SumKind::kPrefix32>(wi, ring, w, h, band.begin);
  }
  for (uint32_t y = band.begin; y < band.end; ++y) {
    // The ring holds rows y - rmax - 1 .. y + rmax once row y + rmax is in.
    if (y > band.begin && uint64_t(y) + rmax < h)
      row_prefix(img + (size_t(y) + rmax) * w, w, ring.row(y + rmax));
    // The caller's frame, unlike the image's own copy, is rarely still in
    // the cache: it is asked for a few rows ahead. (The hardware stops
    // fetching ahead at each page, every few rows; without this, one thread
    // took 4% longer over a 1280x720 frame than with a separate copy.)
    if (copy.from != nullptr && uint64_t(y) + rmax + 4 < h) {
      const char* ahead = reinterpret_cast<const char*>(img + (size_t(y) + rmax + 4) * w);
      for (uint32_t x = 0; x < w; x += 64) _mm_prefetch(ahead + x, _MM_HINT_T0);
    }
    const uint8_t* row = img + size_t(y) * w;
    if (copy.to != nullptr) std::memcpy(copy.to + size_t(y) * w, row, w);
    for (RowSumWindow& wi : win) {
      const uint32_t r = wi.r;
      // Only the step's flags and row count: its image rows are not used.
      const WindowStep step = window_step(gray, r, band, y, nullptr);
      const uint16_t* e_in = step.enters ? ring.row(y + r) : ring.zeros();
      uint16_t* h_in = step.enters ? wi.h_row(y + r) : wi.h_sink();
      const uint16_t* h_out = step.leaves ? wi.h_row(y - r - 1) : wi.h_zeros();
      const int32_t rows_in = step.rows_in;
      if (r <= kMaxRadiusMid)
        row_sum_window_row<SumKind::kPrefix16>(wi, e_in, h_in, h_out, row, w, y, rows_in, c);
      else
        row_sum_window_row<SumKind::kPrefix32>(wi, e_in, h_in, h_out, row, w, y, rows_in, c);
    }
  }
}


// The direct kind with AVX-512: 32 column sums a vector, the labels of a
// block left in a mask register.
template <int R>
__attribute__((target(MV_AVX512_FEATURES))) void threshold_bits_direct_avx512(
    const GrayImage& gray, int32_t c, BitLabels& plane, RowBand band) {
  const uint32_t w = gray.width, r = R;
  const uint8_t* img = gray.data.data();
  Vec<uint16_t> colsum(size_t(w) + 64, 0);
  uint16_t* __restrict cs = colsum.data() + 16;  // cs[-16 .. -1] stay zero
  const size_t wpr = plane.words_per_row;
  Vec<uint8_t> zeros(w, 0);
  add_band_start_rows(gray, r, band, cs);
  const uint32_t vec_end = w - r;  // w >= 2 r + 64
  for (uint32_t y = band.begin; y < band.end; ++y) {
    const WindowStep step = window_step(gray, r, band, y, zeros.data());
    const uint8_t* __restrict in = step.in;
    const uint8_t* __restrict out_row = step.out;
    uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
      const __m512i v = _mm512_sub_epi16(
          _mm512_add_epi16(_mm512_loadu_si512(cs + x),
                           _mm512_cvtepu8_epi16(_mm256_loadu_si256(
                               reinterpret_cast<const __m256i*>(in + x)))),
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(out_row + x))));
      _mm512_storeu_si512(cs + x, v);
    }
    for (; x < w; ++x) cs[x] = uint16_t(cs[x] + in[x] - out_row[x]);
    const uint8_t* __restrict row = img + size_t(y) * w;
    uint64_t* dst = plane.bits.data() + (size_t(y) + 1) * wpr;
    std::memset(dst, 0, wpr * sizeof(uint64_t));
    const int32_t n = step.rows_in * int32_t(2 * r + 1);
    const __m512i n16 = _mm512_set1_epi16(int16_t(n));
    const __m512i k16 = _mm512_set1_epi16(int16_t(n / 2 - n * c));
    auto block = [&](uint32_t bx) __attribute__((always_inline, target(MV_AVX512_FEATURES))) {
      uint64_t bits = 0;
      for (int half = 0; half < 2; ++half) {
        const uint16_t* base = cs + bx + 32 * half;
        __m512i sum = _mm512_loadu_si512(base);
        for (int j = 1; j <= R; ++j) {
          sum = _mm512_add_epi16(sum, _mm512_loadu_si512(base - j));
          sum = _mm512_add_epi16(sum, _mm512_loadu_si512(base + j));
        }
        const __m512i p = _mm512_cvtepu8_epi16(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + bx + 32 * half)));
        // S + n / 2 - n C >= n p, as in threshold_bits_avx2.
        const uint32_t lt = _mm512_cmpgt_epi16_mask(_mm512_mullo_epi16(p, n16),
                                                    _mm512_add_epi16(sum, k16));
        bits |= uint64_t(~lt) << (32 * half);
      }
      return bits;
    };
    put_label_words(dst, r, vec_end, block);
    const LabelRow l{row, cs, nullptr, nullptr, dst, w, r, step.rows_in, c};
    label_clipped_edges<SumKind::kDirect>(l);
  }
}

#pragma GCC diagnostic pop

bool cpu_has_avx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("bmi2");
}

void threshold_bits_avx2_dispatch(const GrayImage& gray, uint32_t r, int32_t c, BitLabels& plane,
                                  RowBand band, SimdLimit limit) {
  static const bool avx512 = cpu_has_avx512();
  if (avx512 && limit >= SimdLimit::kAvx512 && uint64_t(2) * r + 64 <= gray.width) {
    if (r == 1) return threshold_bits_direct_avx512<1>(gray, c, plane, band);
    if (r == 2) return threshold_bits_direct_avx512<2>(gray, c, plane, band);
    if (r == 3) return threshold_bits_direct_avx512<3>(gray, c, plane, band);
    if (r > 3 && r <= kMaxRadiusMid)
      return threshold_bits_avx512<SumKind::kPrefix16>(gray, r, c, plane, band);
    if (r > kMaxRadiusMid && r <= kMaxRadiusLaneScan)
      return threshold_bits_avx512<SumKind::kPrefix32>(gray, r, c, plane, band);
  }
  switch (r) {
    case 1: return threshold_bits_avx2<SumKind::kDirect, 1>(gray, r, c, plane, band);
    case 2: return threshold_bits_avx2<SumKind::kDirect, 2>(gray, r, c, plane, band);
    case 3: return threshold_bits_avx2<SumKind::kDirect, 3>(gray, r, c, plane, band);
    default: break;
  }
  if (r <= kMaxRadiusMid)
    threshold_bits_avx2<SumKind::kPrefix16>(gray, r, c, plane, band);
  else
    threshold_bits_avx2<SumKind::kPrefix32>(gray, r, c, plane, band);
}
#endif

}  // namespace

namespace {

// Between-class variance of every threshold t in [lo, hi), from the weight
// and sum of the classes at or below t, and the first t of the largest one
// (`hi` when every variance is NaN, which no threshold then beats). Lanes
// are independent, so the vectorised clone gives each value bit for bit;
// the largest value is found four lanes at a time and then its first
// occurrence, which is where the serial scan for a strictly larger value
// would stop changing its mind.
using Double4 = double __attribute__((vector_size(32)));

MV_CLONES("avx2", "default")
size_t largest_between_class(const double* __restrict w0, const double* __restrict sum0, double n,
                             double total, size_t lo, size_t hi, double* __restrict out) {
  for (size_t t = lo; t < hi; ++t) {
    const double w1 = n - w0[t];
    const double d = sum0[t] / w0[t] - (total - sum0[t]) / w1;
    out[t] = w0[t] * w1 * d * d;
  }
  // Every variance is at least 0 or NaN; a NaN never compares greater.
  Double4 lanes = {-1.0, -1.0, -1.0, -1.0};
  size_t t = lo;
  for (; t + 4 <= hi; t += 4) {
    Double4 v;
    std::memcpy(&v, out + t, sizeof v);
    lanes = v > lanes ? v : lanes;
  }
  double best = -1.0;
  for (int l = 0; l < 4; ++l) best = lanes[l] > best ? lanes[l] : best;
  for (; t < hi; ++t) best = out[t] > best ? out[t] : best;
  if (!(best > -1.0)) return hi;
  t = lo;
  while (out[t] != best) ++t;
  return t;
}

}  // namespace

uint8_t otsu_threshold(const std::array<uint64_t, 256>& hist) {
  // Both classes are non-empty from the first non-empty bin up to, not
  // including, the last one (where the lower class holds every pixel).
  size_t lo = 0, hi = 255;
  while (lo < 256 && hist[lo] == 0) ++lo;
  while (hi > lo && hist[hi] == 0) --hi;
  if (lo >= hi) return 0;
  // Class weights and sums below each threshold. Summed as integers they
  // have no chain of floating-point additions to wait on, and while every
  // bin stays below 2^44 and the weighted total below 2^53 (so no sum
  // wraps), converting them gives exactly the double-precision sums.
  std::array<double, 256> w0, sum0, between;
  uint64_t w = 0, sum = 0, big = 0;
  for (size_t t = lo; t < hi; ++t) {
    big |= hist[t] >> 44;
    w += hist[t], sum += t * hist[t];
    // Signed conversions: one instruction each, exact below 2^53.
    w0[t] = double(int64_t(w)), sum0[t] = double(int64_t(sum));
  }
  big |= hist[hi] >> 44;
  const uint64_t count = w + hist[hi], weighted = sum + hi * hist[hi];
  double n = double(int64_t(count)), total = double(int64_t(weighted));
  if (big != 0 || weighted >= (uint64_t(1) << 53)) {
    n = 0.0, total = 0.0;
    for (size_t t = lo; t <= hi; ++t) {
      n += double(hist[t]);
      total += double(t) * double(hist[t]);
    }
    double wd = 0.0, sd = 0.0;
    for (size_t t = lo; t < hi; ++t) {
      wd += double(hist[t]);
      sd += double(t) * double(hist[t]);
      w0[t] = wd, sum0[t] = sd;
    }
  }
  const size_t t = largest_between_class(w0.data(), sum0.data(), n, total, lo, hi, between.data());
  return t < hi ? uint8_t(t) : 0;
}

// Negative settings become huge unsigned windows; a radius beyond the image
// size selects the same clipped rectangle, so it is capped to keep every
// coordinate sum small.
uint32_t threshold_radius(const GrayImage& gray, int32_t window) {
  uint32_t win = uint32_t(window);
  if (win <= 3) win = 3;
  return std::min(win / 2, std::max(gray.width, gray.height));
}

namespace {

// The constant as the kernels use it: saturating truncation toward zero (NaN
// gives 0). The local mean rounded half up lies in [0, 255], so any C >= 256
// labels nothing and any C <= -256 labels everything: clamping C there keeps
// every label and bounds |2 n (p + C)| by 1022 n.
int32_t threshold_constant(double constant) {
  int64_t c64 = 0;
  if (constant >= 2147483647.0) c64 = 2147483647;
  else if (constant <= -2147483648.0) c64 = -2147483648LL;
  else if (constant == constant) c64 = int64_t(constant);
  return int32_t(std::clamp<int64_t>(c64, -256, 256));
}

// Window radius and constant as the threshold uses them, then the kernel.
template <class Sink>
void run_threshold(const GrayImage& gray, int32_t window, double constant, Sink& sink,
                   RowBand band, SimdLimit limit = SimdLimit::kAvx512) {
  const uint32_t w = gray.width, h = gray.height;
  const uint32_t r = threshold_radius(gray, window);
  const int32_t c = threshold_constant(constant);

  const uint64_t span = 2 * uint64_t(r) + 1;
  const uint64_t n_max = std::min<uint64_t>(span, w) * std::min<uint64_t>(span, h);
  if (n_max * 1022 >= uint64_t(std::numeric_limits<int32_t>::max())) {
    threshold_rows_i64(gray, r, c, sink, band);
    return;
  }
#if defined(MV_AVX2_BITS)
  if constexpr (std::is_same_v<Sink, BitSink>) {
    if (limit >= SimdLimit::kAvx2 && r <= kMaxRadius16 && __builtin_cpu_supports("avx2")) {
      threshold_bits_avx2_dispatch(gray, r, c, sink.out, band, limit);
      return;
    }
  }
#endif
#if defined(MV_AVX2_DISPATCH)
  if (limit >= SimdLimit::kAvx2 && __builtin_cpu_supports("avx2")) {
    threshold_rows_i32_avx2(gray, r, c, sink, band);
    return;
  }
#endif
  threshold_rows_i32(gray, r, c, sink, band);
}

}  // namespace

Vec<uint8_t> adaptive_threshold_labels(const GrayImage& gray, int32_t window, double constant) {
  Vec<uint8_t> labels((size_t(gray.width) + 2) * (size_t(gray.height) + 2), 0);
  if (gray.empty()) return labels;
  ByteSink sink{labels, size_t(gray.width) + 2};
  run_threshold(gray, window, constant, sink, {0, gray.height});
  return labels;
}

Vec<uint8_t> adaptive_threshold_labels_baseline(const GrayImage& gray, int32_t window,
                                                double constant) {
  Vec<uint8_t> labels((size_t(gray.width) + 2) * (size_t(gray.height) + 2), 0);
  if (gray.empty()) return labels;
  ByteSink sink{labels, size_t(gray.width) + 2};
  run_threshold(gray, window, constant, sink, {0, gray.height}, SimdLimit::kBaseline);
  return labels;
}

BitLabels make_bit_labels(uint32_t width, uint32_t height) {
  BitLabels out;
  out.width = width;
  out.height = height;
  // Rounded up to whole groups of four words, which the contour search's
  // row scans take at a time (with two or three words left over one by one,
  // a 1280 x 720 trace took 3-5% longer).
  out.words_per_row = ((size_t(width) + 2 + 63) / 64 + 1 + 3) & ~size_t(3);
  const size_t rows = size_t(height) + 2;
  out.bits.resize(out.words_per_row * rows);
  if (width == 0 || height == 0) {
    // No threshold pass writes rows of an empty image.
    std::fill(out.bits.begin(), out.bits.end(), 0);
  } else {
    std::fill_n(out.bits.begin(), out.words_per_row, 0);
    std::fill_n(out.bits.end() - ptrdiff_t(out.words_per_row), out.words_per_row, 0);
  }
  return out;
}

void adaptive_threshold_bits_rows(const GrayImage& gray, int32_t window, double constant,
                                  uint32_t row_begin, uint32_t row_end, BitLabels& out,
                                  SimdLimit limit) {
  row_end = std::min(row_end, gray.height);
  if (gray.empty() || row_begin >= row_end) return;
  BitSink sink{out};
  run_threshold(gray, window, constant, sink, {row_begin, row_end}, limit);
}

bool thresholds_share_a_pass(const GrayImage& gray, int32_t window_a, int32_t window_b,
                             SimdLimit limit) {
#if defined(MV_AVX2_BITS)
  static const bool avx512 = cpu_has_avx512();
  return avx512 && limit >= SimdLimit::kAvx512 && !gray.empty() &&
         fits_row_sum_pair(gray.width, threshold_radius(gray, window_a),
                           threshold_radius(gray, window_b));
#else
  (void)gray, (void)window_a, (void)window_b, (void)limit;
  return false;
#endif
}

void adaptive_threshold_bits_rows_pair(const GrayImage& gray, int32_t window_a, int32_t window_b,
                                       double constant, uint32_t row_begin, uint32_t row_end,
                                       BitLabels& out_a, BitLabels& out_b, SimdLimit limit,
                                       RowCopy copy) {
#if defined(MV_AVX2_BITS)
  if (thresholds_share_a_pass(gray, window_a, window_b, limit)) {
    row_end = std::min(row_end, gray.height);
    if (row_begin >= row_end) return;
    const uint32_t radius[2] = {threshold_radius(gray, window_a), threshold_radius(gray, window_b)};
    BitLabels* planes[2] = {&out_a, &out_b};
    threshold_bits_row_sum_pair(gray, radius, threshold_constant(constant), planes,
                                {row_begin, row_end}, copy);
    return;
  }
#endif
  // The other kernels read the image's own rows, which a band alone cannot
  // copy in: its window reaches into the rows of its neighbours.
  if (copy.from != nullptr || copy.to != nullptr)
    throw std::invalid_argument("a row copy needs the shared threshold pass");
  adaptive_threshold_bits_rows(gray, window_a, constant, row_begin, row_end, out_a, limit);
  adaptive_threshold_bits_rows(gray, window_b, constant, row_begin, row_end, out_b, limit);
}

BitLabels adaptive_threshold_bits(const GrayImage& gray, int32_t window, double constant,
                                  SimdLimit limit) {
  BitLabels out = make_bit_labels(gray.width, gray.height);
  adaptive_threshold_bits_rows(gray, window, constant, 0, gray.height, out, limit);
  return out;
}

namespace {

// Both polygon searches below take the first index of the largest distance
// (a later point must be strictly farther). Eight lanes keep their own
// running maximum and the first point index at which they reached it; the
// lanes are then merged by value, ties going to the lower index, which is
// the one-point-at-a-time answer. Each lane computes its distance with
// exactly the scalar operations, so the values are bit-identical too. Points
// are interleaved (x, y): lane pairs hold one point, and a swap of
// neighbouring lanes brings its y term next to its x term. Indices are
// 32-bit lanes, so longer inputs take the scalar loop.
typedef float v8f __attribute__((vector_size(32)));
typedef int32_t v8i __attribute__((vector_size(32)));
constexpr size_t kMaxLaneIndex = 0x7ffffff0;

// v[i] +- v[i ^ 1] (through an out parameter: vector returns warn about the
// ABI of the baseline clone, although everything here is inlined).
MV_ALWAYS_INLINE void add_swapped_pairs(const v8f& v, v8f& out) {
  out = v + __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
}
MV_ALWAYS_INLINE void sub_swapped_pairs(const v8f& v, v8f& out) {
  out = v - __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
}

// The x and the y of the eight points from f on, in the lane order that one
// in-lane shuffle leaves: points 0, 1, 4, 5, 2, 3, 6, 7. Where pairs of
// lanes hold one point twice, every lane then holds a point of its own.
constexpr v8i kSplitOrder = {0, 1, 4, 5, 2, 3, 6, 7};
MV_ALWAYS_INLINE void split_xy8(const float* f, v8f& x, v8f& y) {
  v8f a, b;
  std::memcpy(&a, f, sizeof a);
  std::memcpy(&b, f + 8, sizeof b);
  x = __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
  y = __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}

MV_ALWAYS_INLINE void abs8(v8f& v) {
  v8i bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits &= 0x7fffffff;
  std::memcpy(&v, &bits, sizeof bits);
}

struct LaneArgmax {
  v8f value;
  v8i index;  // -1: the lane never exceeded the initial value
};

MV_ALWAYS_INLINE void lane_init(LaneArgmax& a, float initial) {
  for (int l = 0; l < 8; ++l) {
    a.value[l] = initial;
    a.index[l] = -1;
  }
}

MV_ALWAYS_INLINE void lane_update(LaneArgmax& a, const v8f& s, const v8i& index) {
  const v8i gt = s > a.value;
  a.value = gt ? s : a.value;
  a.index = gt ? index : a.index;
}

// Lane by lane, the larger value of a and b, on a tie the lower index: what
// one set of lanes would hold after the blocks of both (values that moved
// exceed the common initial value, so a lane that never moved loses).
MV_ALWAYS_INLINE void lane_combine(LaneArgmax& a, const LaneArgmax& b) {
  const v8i take_b = (b.value > a.value) | ((b.value == a.value) & (b.index < a.index));
  a.value = take_b ? b.value : a.value;
  a.index = take_b ? b.index : a.index;
}

// Every lane of v becomes the largest (or smallest) of all eight lanes, in
// three exchange steps. A NaN lane may spread or vanish: callers keep NaN out.
template <bool Largest, class V>
MV_ALWAYS_INLINE void spread_extreme(V& v) {
  const auto step = [&](const V& t) { v = Largest ? (v > t ? v : t) : (v < t ? v : t); };
  step(__builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3));
  step(__builtin_shufflevector(v, v, 2, 3, 0, 1, 6, 7, 4, 5));
  step(__builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6));
}

// Merges the lanes into (best, index); index stays `none` when no lane moved.
// Lanes that moved hold values above their initial one, which `best` holds
// on entry, and never NaN (a NaN never compares greater): the largest lane
// value then decides, and the smallest index among the lanes holding it.
MV_ALWAYS_INLINE void lane_merge(const LaneArgmax& a, float& best, size_t& index) {
  v8f m = a.value;
  spread_extreme<true>(m);
  if (!(m[0] > best)) return;
  const v8i at_max = a.value == m;
  v8i i = at_max ? a.index : v8i{} + 0x7fffffff;
  spread_extreme<false>(i);
  best = m[0];
  index = size_t(i[0]);
}

MV_ALWAYS_INLINE bool any_at_least(const v8f& v, float value) {
  const v8i ge = v >= value;
  uint64_t q[4];
  std::memcpy(q, &ge, sizeof q);
  return (q[0] | q[1] | q[2] | q[3]) != 0;
}

// The polygon helpers below are inlined into a few entry points, each
// compiled twice (AVX2 and baseline) and picked at run time: a contour makes
// about ten searches of a few dozen points each, and a dispatched call per
// search cost about as much as the search.

// First index of the point farthest from o by squared distance.
MV_ALWAYS_INLINE size_t farthest_index(const Point2f* pts, size_t n, Point2f o) {
  const float* f = &pts[0].x;
  const v8f ov = {o.x, o.y, o.x, o.y, o.x, o.y, o.x, o.y};
  LaneArgmax acc;
  lane_init(acc, -1.0f);
  size_t i = 0;
  if (n < kMaxLaneIndex) {
    // Eight points at a time, then four (each in two lanes). Blocks
    // alternate between two sets of lanes, so that each compare and blend
    // waits for the one two blocks back instead of the previous one.
    auto sq_dist8 = [&](size_t at, v8f& out) {
      v8f x, y;
      split_xy8(f + 2 * at, x, y);
      const v8f dx = x - o.x, dy = y - o.y;
      out = dx * dx + dy * dy;
    };
    LaneArgmax odd;
    lane_init(odd, -1.0f);
    v8i idx = kSplitOrder;
    for (; i + 16 <= n; i += 16, idx += 16) {
      v8f d0, d1;
      sq_dist8(i, d0);
      sq_dist8(i + 8, d1);
      lane_update(acc, d0, idx);
      lane_update(odd, d1, idx + 8);
    }
    if (i + 8 <= n) {
      v8f d;
      sq_dist8(i, d);
      lane_update(acc, d, idx);
      i += 8;
    }
    lane_combine(acc, odd);
    for (v8i idx = v8i{0, 0, 1, 1, 2, 2, 3, 3} + int32_t(i); i + 4 <= n; i += 4, idx += 4) {
      v8f v;
      std::memcpy(&v, f + 2 * i, sizeof v);
      const v8f d = v - ov;
      const v8f sq = d * d;
      v8f s;
      add_swapped_pairs(sq, s);  // dx^2 + dy^2 (or dy^2 + dx^2: the same float)
      lane_update(acc, s, idx);
    }
  }
  float best = -1.0f;
  size_t index = std::numeric_limits<size_t>::max();
  lane_merge(acc, best, index);
  for (; i < n; ++i) {
    const float dx = pts[i].x - o.x, dy = pts[i].y - o.y;
    const float d = dx * dx + dy * dy;
    if (d > best) { best = d; index = i; }
  }
  return index == std::numeric_limits<size_t>::max() ? 0 : index;
}

// Largest distance of chain[i], i in [begin, end), from the line through a
// with direction (dx, dy) and length len, and the first index reaching it;
// index 0 when no distance exceeds 0 or `wanted_above` (a piece that close to
// its chord is not split, and most pieces end that way, so their second pass
// is skipped). A distance is |num| / len with one
// positive len, and correctly rounded division is monotonic, so the largest
// distance is (largest |num|) / len: the vector pass needs no division.
// Only points whose |num| lies within a relative 1e-4 of the largest (far
// wider than the two-ulp band that can round to the same quotient) are then
// divided, in index order, to find the first one reaching it.
MV_ALWAYS_INLINE size_t farthest_from_line(const Point2f* chain, size_t begin, size_t end,
                                           Point2f a, float dx, float dy, float len,
                                           float wanted_above, float& best_out) {
  auto num_abs = [&](size_t i) {
    return std::fabs(dy * (chain[i].x - a.x) - dx * (chain[i].y - a.y));
  };
  const float* f = &chain[0].x;
  const v8f av = {a.x, a.y, a.x, a.y, a.x, a.y, a.x, a.y};
  const v8f kv = {dy, dx, dy, dx, dy, dx, dy, dx};
  auto block = [&](size_t i, v8f& out) {
    v8f v;
    std::memcpy(&v, f + 2 * i, sizeof v);
    const v8f t = kv * (v - av);  // (dy ex, dx ey) per point
    sub_swapped_pairs(t, out);    // +-(dy ex - dx ey)
    abs8(out);
  };
  // Lanes start at 0 and never take a NaN, so the lanes' largest value is
  // the largest |num|. A piece of four points or more ends with the four
  // points before `end`, read again where they overlap the last block: most
  // pieces are short, and a scalar tail and a serial reduction cost as much
  // as the blocks.
  v8f m = {};
  size_t i = begin;
  // The largest value needs no lane order: eight points at a time first.
  for (; i + 8 <= end; i += 8) {
    v8f x, y;
    split_xy8(f + 2 * i, x, y);
    v8f num = dy * (x - a.x) - dx * (y - a.y);
    abs8(num);
    m = num > m ? num : m;
  }
  for (; i + 4 <= end; i += 4) {
    v8f s;
    block(i, s);
    m = s > m ? s : m;
  }
  float max_num = 0.0f;
  if (end - begin >= 4) {
    if (i < end) {
      v8f s;
      block(end - 4, s);
      m = s > m ? s : m;
    }
    spread_extreme<true>(m);
    max_num = m[0];
  } else {
    for (size_t j = i; j < end; ++j) max_num = std::max(max_num, num_abs(j));
  }
  const float best = max_num / len;
  best_out = best;
  if (!(best > 0.0f) || !(best > wanted_above)) return 0;
  // Tiny quotients may be subnormal and huge ones may overflow, where the
  // band is wider: then every point is checked.
  const float band_low = best >= 1e-30f && best <= 1e30f ? max_num * 0.9999f : 0.0f;
  for (i = begin; i + 4 <= end; i += 4) {
    v8f s;
    block(i, s);
    if (!any_at_least(s, band_low)) continue;
    for (size_t j = i; j < i + 4; ++j)
      if (num_abs(j) / len == best) return j;
  }
  for (; i < end; ++i)
    if (num_abs(i) / len == best) return i;
  return 0;  // not reached: the largest |num| itself gives best
}

// The right ends of the pieces of a chain still to be approximated.
class PieceStack {
 public:
  bool empty() const { return depth_ == 0; }
  void push(size_t end) {
    if (depth_ < kFixed) fixed_[depth_] = end;
    else spill_.push_back(end);
    ++depth_;
  }
  size_t pop() {
    --depth_;
    if (depth_ < kFixed) return fixed_[depth_];
    const size_t end = spill_.back();
    spill_.pop_back();
    return end;
  }

 private:
  static constexpr size_t kFixed = 64;
  size_t fixed_[kFixed];
  size_t depth_ = 0;
  Vec<size_t> spill_;  // pieces nested deeper than kFixed
};

// Douglas-Peucker on an open chain: a piece is split at its farthest point,
// and its left part done first, so vertices come in chain order. Returns
// false as soon as `out` is known to end up with more than `limit` points:
// every point appended before the last one is final (only the last point of
// a finished piece is ever removed). Every split point is a vertex of the
// result, so a caller that counts vertices passes `splits_left`, the splits
// it can still afford: the walk stops at the first split beyond it, before
// the pieces to its left are finished (on clutter, most of the work).
MV_ALWAYS_INLINE bool dp_open_limited(const Point2f* chain, size_t count, float epsilon,
                                      Vec<Point2f>& out, size_t limit, size_t& splits_left) {
  if (count < 2) return true;
  PieceStack ends;
  size_t start = 0, end = count - 1;
  for (;;) {
    const Point2f a = chain[start];
    const Point2f b = chain[end];
    const float dx = b.x - a.x, dy = b.y - a.y;
    const float len = std::sqrt(dx * dx + dy * dy);
    float best = 0.0f;
    size_t c = 0;
    if (len < 1e-9f) {
      for (size_t i = start + 1; i < end; ++i) {
        const float ex = chain[i].x - a.x, ey = chain[i].y - a.y;
        const float d = std::sqrt(ex * ex + ey * ey);
        if (d > best) { best = d; c = i; }
      }
    } else if (end > start + 1) {
      c = farthest_from_line(chain, start + 1, end, a, dx, dy, len, epsilon, best);
    }
    // c == 0 means no interior point lies off the chord; this also ends the
    // splitting for a negative epsilon.
    if (c != 0 && best > epsilon) {
      if (splits_left == 0) return false;
      --splits_left;
      ends.push(end);
      end = c;
      continue;
    }
    out.push_back(a);
    out.push_back(b);
    if (out.size() - 1 > limit) return false;
    if (ends.empty()) return true;
    out.pop_back();
    start = end;
    end = ends.pop();
  }
}

MV_ALWAYS_INLINE void approx_closed_at(const Point2f* pts, size_t n, size_t lo, size_t hi,
                                       float epsilon, Vec<Point2f>& out, Vec<Point2f>& scratch,
                                       size_t max_vertices) {
  out.clear();
  if (n <= 2) {
    out.assign(pts, pts + n);
    return;
  }
  // The polygon is the first chain's start and split points (when it has
  // two points or more), then the second chain's: at most max_vertices
  // means at most this many splits.
  const size_t ends_kept = hi > lo ? 2 : 1;
  size_t splits_left = max_vertices >= ends_kept ? max_vertices - ends_kept : 0;
  // Callers read only the size of a polygon with too many vertices. (Only a
  // finite limit is ever exceeded.)
  auto too_many = [&] { out.resize(max_vertices + 1); };
  if (!dp_open_limited(pts + lo, hi - lo + 1, epsilon, out, max_vertices, splits_left))
    return too_many();
  if (!out.empty()) out.pop_back();

  // Second chain wraps around: p_hi .. p_{n-1}, p_0 .. p_lo.
  // Copied with memcpy into a scratch that only grows: an insert through
  // the custom allocator copies point by point, and a resize zero-fills
  // first; together they cost a tenth of the whole fit.
  const size_t tail = n - hi, second_len = tail + lo + 1;
  if (scratch.size() < second_len) scratch.resize(second_len);
  std::memcpy(scratch.data(), pts + hi, tail * sizeof(Point2f));
  std::memcpy(scratch.data() + tail, pts, (lo + 1) * sizeof(Point2f));
  const size_t first_len = out.size();
  if (!dp_open_limited(scratch.data(), second_len, epsilon, out, max_vertices, splits_left))
    return too_many();
  if (out.size() > first_len) out.pop_back();
}

MV_ALWAYS_INLINE std::pair<size_t, size_t> closed_opening(const Point2f* pts, size_t n) {
  if (n <= 2) return {0, n == 2 ? 1 : 0};
  const size_t a = farthest_index(pts, n, pts[0]);
  const size_t b = farthest_index(pts, n, pts[a]);
  return {std::min(a, b), std::max(a, b)};
}

}  // namespace

MV_CLONES("avx2", "default")
void dp_open(const Point2f* chain, size_t count, float epsilon, Vec<Point2f>& out) {
  size_t unlimited = std::numeric_limits<size_t>::max();
  dp_open_limited(chain, count, epsilon, out, unlimited, unlimited);
}

MV_CLONES("avx2", "default")
size_t farthest_point(const Point2f* pts, size_t n, Point2f from) {
  return n == 0 ? 0 : farthest_index(pts, n, from);
}

MV_CLONES("avx2", "default")
std::pair<size_t, size_t> closed_dp_opening(const Point2f* pts, size_t n) {
  return closed_opening(pts, n);
}

MV_CLONES("avx2", "default")
void approx_poly_dp_closed(const Point2f* pts, size_t n, float epsilon, Vec<Point2f>& out,
                           Vec<Point2f>& scratch, size_t max_vertices) {
  const auto [lo, hi] = closed_opening(pts, n);
  approx_closed_at(pts, n, lo, hi, epsilon, out, scratch, max_vertices);
}

MV_CLONES("avx2", "default")
void approx_poly_dp_closed_at(const Point2f* pts, size_t n, size_t lo, size_t hi, float epsilon,
                              Vec<Point2f>& out, Vec<Point2f>& scratch, size_t max_vertices) {
  approx_closed_at(pts, n, lo, hi, epsilon, out, scratch, max_vertices);
}

Vec<Point2f> approx_poly_dp_closed(const Vec<Point2f>& points, float epsilon) {
  Vec<Point2f> out, scratch;
  approx_poly_dp_closed(points.data(), points.size(), epsilon, out, scratch,
                        std::numeric_limits<size_t>::max());
  return out;
}

bool is_convex(const Quad& q) {
  bool pos = false, neg = false;
  for (int i = 0; i < 4; ++i) {
    const Point2f& p0 = q[i];
    const Point2f& p1 = q[(i + 1) & 3];
    const Point2f& p2 = q[(i + 2) & 3];
    const float ci = (p1.x - p0.x) * (p2.y - p1.y) - (p1.y - p0.y) * (p2.x - p1.x);
    pos |= ci > 0.0f;  // NaN compares false both ways and is ignored
    neg |= ci < 0.0f;
  }
  return !(pos && neg);
}

MV_CLONES("avx2", "default")
std::optional<std::array<double, 9>> get_perspective_transform(const Quad& src, const Quad& dst) {
  double a[8][8] = {};
  double rhs[8];
  for (int i = 0; i < 4; ++i) {
    const double x = src[i].x, y = src[i].y, u = dst[i].x, v = dst[i].y;
    double* r0 = a[i];
    double* r1 = a[i + 4];
    r0[0] = x; r0[1] = y; r0[2] = 1.0;
    r0[6] = -x * u; r0[7] = -y * u;
    r1[3] = x; r1[4] = y; r1[5] = 1.0;
    r1[6] = -x * v; r1[7] = -y * v;
    rhs[i] = u;
    rhs[i + 4] = v;
  }
  // Gaussian elimination with partial pivoting (the first row wins a tie),
  // applying the row operations to the right-hand side as we go: this is the
  // LU factorisation followed by forward substitution.
  for (int k = 0; k < 8; ++k) {
    int piv = k;
    double best = std::fabs(a[k][k]);
    for (int i = k + 1; i < 8; ++i) {
      const double v = std::fabs(a[i][k]);
      if (v > best) { best = v; piv = i; }
    }
    if (piv != k) {
      for (int j = 0; j < 8; ++j) std::swap(a[k][j], a[piv][j]);
      std::swap(rhs[k], rhs[piv]);
    }
    if (a[k][k] == 0.0) return std::nullopt;
    for (int i = k + 1; i < 8; ++i) {
      const double f = a[i][k] / a[k][k];
      // Whole rows, so that the update vectorises: the columns before k are
      // never read again, and column k is cleared below.
      for (int j = 0; j < 8; ++j) a[i][j] -= f * a[k][j];
      a[i][k] = 0.0;
      rhs[i] -= f * rhs[k];
    }
  }
  std::array<double, 9> h{};
  for (int k = 7; k >= 0; --k) {
    double s = rhs[k];
    for (int j = k + 1; j < 8; ++j) s -= a[k][j] * h[j];
    h[k] = s / a[k][k];
  }
  h[8] = 1.0;
  return h;
}

}  // namespace markvane::imgproc
