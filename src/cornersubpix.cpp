#include "cornersubpix.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace markvane::cornersubpix {
namespace {

// Determinants at or below DBL_EPSILON^2 (2^-104) mean the window carries no
// usable two-directional gradient: the normal equations are singular.
constexpr double kMinDet = 4.930380657631324e-32;

// Separable Gaussian-like weights exp(-t^2) with t = (i - w) / w; the product
// of a row and a column factor is rounded to float like every patch value.
Vec<float> make_mask(uint32_t w) {
  const uint32_t side = 2 * w + 1;
  Vec<float> factor(side);
  for (uint32_t i = 0; i < side; ++i) {
    const float t = float(int64_t(i) - int64_t(w)) / float(w);
    factor[i] = std::exp(-t * t);
  }
  Vec<float> mask(size_t(side) * side);
  for (uint32_t i = 0; i < side; ++i)
    for (uint32_t j = 0; j < side; ++j) mask[size_t(i) * side + j] = factor[i] * factor[j];
  return mask;
}

struct Bilinear {
  float w00, w01, w10, w11;  // weights of (x, y), (x+1, y), (x, y+1), (x+1, y+1)
};

Bilinear weights(float ax, float fy) {
  return {(1.0f - ax) * (1.0f - fy), ax * (1.0f - fy), (1.0f - ax) * fy, ax * fy};
}

// Patch fully inside the image: no bounds handling, so the column loop is a
// straight byte-to-float blend the compiler vectorises.
void sample_interior(const GrayImage& g, int64_t ix, int64_t iy, Bilinear k, uint32_t side,
                     float* patch) {
  for (uint32_t i = 0; i < side; ++i) {
    const uint8_t* r0 = g.data.data() + size_t(iy + i) * g.width + size_t(ix);
    const uint8_t* r1 = r0 + g.width;
    float* out = patch + size_t(i) * side;
    for (uint32_t j = 0; j < side; ++j) {
      out[j] = k.w00 * float(r0[j]) + k.w01 * float(r0[j + 1]) + k.w10 * float(r1[j]) +
               k.w11 * float(r1[j + 1]);
    }
  }
}

// Patch touching or crossing the border: coordinates are clamped, which
// replicates the outermost rows and columns.
void sample_border(const GrayImage& g, int64_t ix, int64_t iy, Bilinear k, uint32_t side,
                   float* patch) {
  const int64_t xmax = int64_t(g.width) - 1;
  const int64_t ymax = int64_t(g.height) - 1;
  for (uint32_t i = 0; i < side; ++i) {
    const int64_t y0 = std::clamp<int64_t>(iy + i, 0, ymax);
    const int64_t y1 = std::clamp<int64_t>(iy + i + 1, 0, ymax);
    const uint8_t* r0 = g.data.data() + size_t(y0) * g.width;
    const uint8_t* r1 = g.data.data() + size_t(y1) * g.width;
    for (uint32_t j = 0; j < side; ++j) {
      const int64_t x0 = std::clamp<int64_t>(ix + j, 0, xmax);
      const int64_t x1 = std::clamp<int64_t>(ix + j + 1, 0, xmax);
      patch[size_t(i) * side + j] = k.w00 * float(r0[x0]) + k.w01 * float(r0[x1]) +
                                    k.w10 * float(r1[x0]) + k.w11 * float(r1[x1]);
    }
  }
}

// Resamples the (2w+3)^2 neighbourhood whose centre sits on (cx, cy).
void sample_patch(const GrayImage& g, float cx, float cy, uint32_t w, float* patch) {
  const uint32_t side = 2 * w + 3;
  const float ox = cx - float(w + 1);
  const float oy = cy - float(w + 1);
  const float flx = std::floor(ox);
  const float fly = std::floor(oy);
  const float fx = ox - flx;
  const float fy = oy - fly;
  const int64_t ix = int64_t(flx);
  const int64_t iy = int64_t(fly);
  const bool interior = ix >= 0 && iy >= 0 && ix + side < g.width && iy + side < g.height;
  if (interior) {
    // The horizontal weight is floored so an exactly integral x still blends.
    sample_interior(g, ix, iy, weights(std::max(fx, 0.0001f), fy), side, patch);
  } else {
    sample_border(g, ix, iy, weights(fx, fy), side, patch);
  }
}

struct Normal {
  double a = 0, b = 0, c = 0, bb1 = 0, bb2 = 0;
};

// Weighted structure tensor and right-hand side of the orthogonality
// condition, with plain (unhalved) central differences.
Normal accumulate(const float* patch, const float* mask, uint32_t w) {
  const uint32_t win = 2 * w + 1;
  const uint32_t side = win + 2;
  Normal n;
  for (uint32_t i = 0; i < win; ++i) {
    const float* up = patch + size_t(i) * side;
    const float* mid = up + side;
    const float* down = mid + side;
    const double py = double(int64_t(i) - int64_t(w));
    for (uint32_t j = 0; j < win; ++j) {
      const double m = mask[size_t(i) * win + j];
      const double gx = double(mid[j + 2] - mid[j]);
      const double gy = double(down[j + 1] - up[j + 1]);
      const double px = double(int64_t(j) - int64_t(w));
      const double gxx = m * gx * gx;
      const double gxy = m * gx * gy;
      const double gyy = m * gy * gy;
      n.a += gxx;
      n.b += gxy;
      n.c += gyy;
      n.bb1 += gxx * px + gxy * py;
      n.bb2 += gxy * px + gyy * py;
    }
  }
  return n;
}

// Written as the negation of "inside" so that NaN, which fails every
// comparison, counts as outside and never reaches a float-to-integer
// conversion.
bool outside(const GrayImage& g, float x, float y) {
  return !(x >= 0.0f && y >= 0.0f && x < float(g.width) && y < float(g.height));
}

// The largest half-window whose (2w+1)^2 window fits inside the image, at
// least 1. Beyond the image the patch only repeats border pixels (clamped
// coordinates): across an edge their difference is exactly zero, along it they
// copy the edge's own differences. A larger window therefore adds no image
// content, only extra weight on those border copies, while its cost grows
// with the square of the window. Capping here bounds the work by the image
// size and leaves every window that fits untouched.
uint32_t fitting_half_window(const GrayImage& g) {
  const uint32_t side = std::min(g.width, g.height);
  return std::max<uint32_t>(1, (side - 1) / 2);
}

}  // namespace

Point2f corner_sub_pix(const GrayImage& gray, uint32_t half_win, int32_t max_iters, Point2f start,
                       double eps) {
  // Non-finite starts and empty images come back unchanged: `outside` is
  // true for NaN and for every point of an image without pixels.
  if (half_win == 0 || gray.empty() || outside(gray, start.x, start.y)) return start;
  const int32_t iters = std::clamp(max_iters, 1, 100);
  const double e = std::max(eps, 0.0);
  const double eps2 = e * e;
  // A request whose patch of (2w + 3)^2 floats would pass 1 GiB is refused as
  // it always was, even though the cap below would make it affordable: no
  // image has a use for it, and callers have been told so.
  if ((2 * uint64_t(half_win) + 3) * (2 * uint64_t(half_win) + 3) > (uint64_t(1) << 28)) {
    throw std::length_error("corner refinement window is too large");
  }
  const uint32_t w = std::min(half_win, fitting_half_window(gray));
  const uint32_t side = 2 * w + 3;
  const Vec<float> mask = make_mask(w);
  Vec<float> patch(size_t(side) * side);

  Point2f cur = start;
  for (int32_t k = 0;;) {
    sample_patch(gray, cur.x, cur.y, w, patch.data());
    const Normal n = accumulate(patch.data(), mask.data(), w);
    const double det = n.a * n.c - n.b * n.b;
    // Negated so that a NaN determinant stops the search as well.
    if (!(std::fabs(det) > kMinDet)) break;
    const Point2f next{float(double(cur.x) + (n.c * n.bb1 - n.b * n.bb2) / det),
                       float(double(cur.y) + (n.a * n.bb2 - n.b * n.bb1) / det)};
    if (outside(gray, next.x, next.y)) break;
    const float dx = next.x - cur.x;
    const float dy = next.y - cur.y;
    cur = next;
    if (++k >= iters) break;
    if (double(dx) * dx + double(dy) * dy <= eps2) break;
  }

  const float wf = float(w);
  if (std::fabs(cur.x - start.x) > wf || std::fabs(cur.y - start.y) > wf) return start;
  return cur;
}

}  // namespace markvane::cornersubpix
