#include "corner_refine.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include "imgproc.h"

namespace markvane::corner_refine {

namespace {

constexpr uint8_t kNoSide = 4;
constexpr float kMaxSideDistance = 3.0f;
constexpr float kMaxCornerShift = 5.0f;

struct Line {
  float a, b, c;  // a x + b y + c = 0 with (a, b) a unit normal
};

// The side (0..3) whose middle 80 % the point projects onto and that lies
// closest, within kMaxSideDistance; kNoSide otherwise.
uint8_t side_of(const Quad& v, Point2f p) {
  uint8_t best_side = kNoSide;
  float best = 0.0f;
  for (uint8_t i = 0; i < 4; ++i) {
    const Point2f a = v[i];
    const Point2f b = v[(i + 1) & 3];
    const float ux = b.x - a.x, uy = b.y - a.y;
    const float len2 = ux * ux + uy * uy;
    if (len2 < 1.0f) continue;
    const float px = p.x - a.x, py = p.y - a.y;
    const float t = (px * ux + py * uy) / len2;
    if (!(t >= 0.1f && t <= 0.9f)) continue;
    const float dist = std::fabs(px * uy - py * ux) / std::sqrt(len2);
    if (best_side == kNoSide || dist < best) {
      best = dist;
      best_side = i;
    }
  }
  return best <= kMaxSideDistance ? best_side : kNoSide;
}

// Total-least-squares line through the points assigned to `side`; sums run in
// contour order so the result does not depend on anything but the contour.
std::optional<Line> fit_side(const Point2i* contour, size_t count_all, const Vec<uint8_t>& sides,
                             uint8_t side) {
  float sx = 0.0f, sy = 0.0f;
  uint32_t count = 0;
  for (size_t i = 0; i < count_all; ++i) {
    if (sides[i] != side) continue;
    sx += float(contour[i].x);
    sy += float(contour[i].y);
    ++count;
  }
  if (count < 3) return std::nullopt;
  const float mx = sx / float(count), my = sy / float(count);
  float sxx = 0.0f, syy = 0.0f, sxy = 0.0f;
  for (size_t i = 0; i < count_all; ++i) {
    if (sides[i] != side) continue;
    const float dx = float(contour[i].x) - mx, dy = float(contour[i].y) - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  if (!(sxx + syy >= 1e-4f)) return std::nullopt;
  const float theta = 0.5f * std::atan2(2.0f * sxy, sxx - syy);
  const float s = std::sin(theta), c = std::cos(theta);
  return Line{-s, c, mx * s - my * c};
}

std::optional<Point2f> intersect(const Line& l0, const Line& l1) {
  const float det = l0.a * l1.b - l1.a * l0.b;
  if (!(std::fabs(det) >= 0.1f)) return std::nullopt;
  const float x = (l0.b * l1.c - l1.b * l0.c) / det;
  const float y = (l1.a * l0.c - l0.a * l1.c) / det;
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  return Point2f{x, y};
}

}  // namespace

Quad refine_from_contour(const Quad& vertices, const Vec<Point2i>& contour) {
  return refine_from_contour(vertices, contour.data(), contour.size());
}

Quad refine_from_contour(const Quad& vertices, const Point2i* contour, size_t count) {
  Vec<uint8_t> sides(count);
  for (size_t i = 0; i < count; ++i)
    sides[i] = side_of(vertices, {float(contour[i].x), float(contour[i].y)});

  Line lines[4];
  for (uint8_t i = 0; i < 4; ++i) {
    const std::optional<Line> l = fit_side(contour, count, sides, i);
    if (!l) return vertices;
    lines[i] = *l;
  }
  Quad refined;
  for (int i = 0; i < 4; ++i) {
    const std::optional<Point2f> p = intersect(lines[(i + 3) & 3], lines[i]);
    if (!p) return vertices;
    const float dx = p->x - vertices[i].x, dy = p->y - vertices[i].y;
    if (!(std::sqrt(dx * dx + dy * dy) <= kMaxCornerShift)) return vertices;
    refined[i] = *p;
  }
  return imgproc::is_convex(refined) ? refined : vertices;
}

}  // namespace markvane::corner_refine
