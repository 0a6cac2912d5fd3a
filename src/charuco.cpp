#include "charuco.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "cornersubpix.h"
#include "detector.h"
#include "imgproc.h"

namespace markvane::charuco {

namespace {

using Homography = std::array<double, 9>;  // row-major, h[8] = 1

// The first detection of every detected id, for lookups by board id.
class DetectedIds {
 public:
  explicit DetectedIds(std::span<const Detection> markers) {
    table_.resize(markers.size());
    for (size_t i = 0; i < markers.size(); ++i) table_[i] = {markers[i].id, uint32_t(i)};
    std::stable_sort(table_.begin(), table_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    table_.erase(std::unique(table_.begin(), table_.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 table_.end());
  }

  std::optional<uint32_t> first_with_id(int64_t id) const {
    auto it = std::lower_bound(table_.begin(), table_.end(), id,
                               [](const auto& entry, int64_t v) { return entry.first < v; });
    if (it == table_.end() || it->first != id) return std::nullopt;
    return it->second;
  }

 private:
  Vec<std::pair<int32_t, uint32_t>> table_;
};

float length(float dx, float dy) { return std::sqrt(dx * dx + dy * dy); }
float distance(Point2f a, Point2f b) { return length(a.x - b.x, a.y - b.y); }
Point2f midpoint(Point2f a, Point2f b) { return {(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f}; }

double determinant(const Homography& h) {
  return h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) +
         h[2] * (h[3] * h[7] - h[4] * h[6]);
}

// Board marker -> detected corners, for every detection whose id is on the
// board; absent for other ids and for degenerate (near-singular) mappings.
Vec<std::optional<Homography>> marker_homographies(const board::CharucoBoard& board,
                                                    std::span<const Detection> markers) {
  Vec<std::optional<Homography>> out(markers.size());
  for (size_t i = 0; i < markers.size(); ++i) {
    const std::optional<uint32_t> b = board::first_marker_with_id(board, markers[i].id);
    if (!b) continue;
    const auto& src = board.marker_object_points[*b];
    const std::optional<Homography> h =
        imgproc::get_perspective_transform(Quad{src[0], src[1], src[2], src[3]}, markers[i].corners);
    if (h && std::abs(determinant(*h)) > 1e-6) out[i] = h;
  }
  return out;
}

Point2f apply(const Homography& h, Point2f p) {
  const double x = p.x, y = p.y;
  const double w = h[6] * x + h[7] * y + h[8];
  // A point on (or next to) the homography's horizon has no image.
  if (!(std::abs(w) > 0x1p-23)) return {0.0f, 0.0f};
  return {float((h[0] * x + h[1] * y + h[2]) / w), float((h[3] * x + h[4] * y + h[5]) / w)};
}

bool is_predicted(Point2f p) { return !(p.x == kNotPredicted.x && p.y == kNotPredicted.y); }

// trunc(d - 2) clamped to 1..10; a NaN distance gets the smallest window.
int32_t window_for_distance(double d) {
  const double t = std::trunc(d - 2.0);
  if (!(t >= 1.0)) return 1;
  return t >= 10.0 ? 10 : int32_t(t);
}

// Nearest integer, ties to even, whatever the floating-point rounding mode.
double round_half_even(double v) {
  const double f = std::floor(v);
  const double frac = v - f;
  if (frac < 0.5) return f;
  if (frac > 0.5) return f + 1.0;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// Far enough inside the image for the refinement to see the corner; a
// prediction that is not a number, or the "not predicted" (-1, -1), fails.
bool inside_image(Point2f p, const GrayImage& gray) {
  const double x = round_half_even(p.x);
  const double y = round_half_even(p.y);
  return 1.0 < x && x < double(gray.width) - 2.0 && 1.0 < y && y < double(gray.height) - 2.0;
}

int32_t marker_support(const board::CharucoBoard& board, uint32_t corner, const DetectedIds& detected) {
  int32_t count = 0;
  for (uint32_t k : board.nearest_marker_idx[corner]) {
    if (detected.first_with_id(board.ids[k])) ++count;
  }
  return count;
}

// Whether the refined corner p (ChArUco id k) sits where its markers say: no
// forming marker's touching corner may be farther from p than the midpoints
// of that corner's two edges, and p must not be nearer to the centre of any
// other board marker than to the touching corners of its own. A board seen
// twice (or a corner refined onto the wrong junction) fails here.
bool corner_consistent(const board::CharucoBoard& board, uint32_t k, Point2f p,
                       std::span<const Detection> markers) {
  const auto& near = board.nearest_marker_idx[k];
  const auto& touching = board.nearest_marker_corners[k];
  constexpr float kFar = std::numeric_limits<float>::max();
  float own = 0.0f;
  float other = kFar;
  for (const Detection& m : markers) {
    if (!board::first_marker_with_id(board, m.id)) continue;
    int n = -1;
    if (int64_t(board.ids[near[0]]) == m.id) {
      n = touching[0];
    } else if (near.size() > 1 && int64_t(board.ids[near[1]]) == m.id) {
      n = touching[1];
    }
    if (n < 0) {
      const auto& c = m.corners;
      const Point2f centre{(((c[0].x + c[1].x) + c[2].x) + c[3].x) * 0.25f,
                           (((c[0].y + c[1].y) + c[2].y) + c[3].y) * 0.25f};
      other = std::min(other, distance(centre, p));
      continue;
    }
    const Point2f q = m.corners[n];
    const float d = distance(q, p);
    own = std::max(own, d);
    const Point2f m1 = midpoint(q, m.corners[(n + 1) % 4]);
    const Point2f m2 = midpoint(q, m.corners[(n + 3) % 4]);
    if (std::min(distance(m1, p), distance(m2, p)) < d) return false;
  }
  return !(own > 0.0f && other < kFar && own > other);
}

}  // namespace

Vec<Point2f> interpolate_local_hom(const board::CharucoBoard& board, std::span<const Detection> markers) {
  const auto homographies = marker_homographies(board, markers);
  const DetectedIds detected(markers);
  Vec<Point2f> out(board.chessboard_corners.size(), kNotPredicted);
  for (size_t k = 0; k < out.size(); ++k) {
    std::array<Point2f, 2> estimates;
    size_t count = 0;
    for (uint32_t b : board.nearest_marker_idx[k]) {
      const std::optional<uint32_t> i = detected.first_with_id(board.ids[b]);
      if (!i || !homographies[*i]) continue;
      const Point2f e = apply(*homographies[*i], board.chessboard_corners[k]);
      if (count < 2) estimates[count] = e;
      ++count;
    }
    if (count == 1) out[k] = estimates[0];
    if (count >= 2) out[k] = midpoint(estimates[0], estimates[1]);
  }
  return out;
}

Vec<int32_t> max_sub_pix_win_sizes(const board::CharucoBoard& board, std::span<const Detection> markers,
                                   std::span<const Point2f> predicted) {
  const DetectedIds detected(markers);
  Vec<int32_t> out(board.chessboard_corners.size(), kNoWindow);
  for (size_t k = 0; k < out.size(); ++k) {
    const Point2f p = predicted[k];
    if (!is_predicted(p)) continue;
    const auto& near = board.nearest_marker_idx[k];
    double nearest = std::numeric_limits<double>::infinity();
    bool found = false;
    for (size_t j = 0; j < near.size(); ++j) {
      const std::optional<uint32_t> i = detected.first_with_id(board.ids[near[j]]);
      if (!i) continue;
      const Point2f c = markers[*i].corners[board.nearest_marker_corners[k][j]];
      const double dx = c.x - p.x;  // differences in single precision
      const double dy = c.y - p.y;
      const double d = std::sqrt(dx * dx + dy * dy);
      if (!found || d < nearest) nearest = d;
      found = true;
    }
    if (found) out[k] = window_for_distance(nearest);
  }
  return out;
}

Prediction predict(const GrayImage& gray, const board::CharucoBoard& board, const dictionary::Dictionary& dict,
                   const DetectorParams& params) {
  const Vec<Detection> markers = detector::detect_markers(gray, dict, params).detections;
  Prediction out;
  out.positions = interpolate_local_hom(board, markers);
  out.windows = max_sub_pix_win_sizes(board, markers, out.positions);
  return out;
}

CharucoResult detect_board(const GrayImage& gray, const board::CharucoBoard& board,
                           const dictionary::Dictionary& dict, const DetectorParams& params,
                           int32_t min_markers, bool check_markers) {
  CharucoResult result;
  result.markers = detector::detect_markers(gray, dict, params).detections;
  if (result.markers.empty()) return result;
  const Vec<Point2f> predicted = interpolate_local_hom(board, result.markers);
  const Vec<int32_t> windows = max_sub_pix_win_sizes(board, result.markers, predicted);
  const DetectedIds detected(result.markers);

  // The in-image and support tests look only at the prediction, so corners
  // that fail either are dropped before the (costlier) refinement.
  for (uint32_t k = 0; k < predicted.size(); ++k) {
    if (!inside_image(predicted[k], gray) || marker_support(board, k, detected) < min_markers) continue;
    const int32_t window = windows[k] != kNoWindow ? windows[k] : params.corner_refinement_win_size;
    result.corners.push_back(cornersubpix::corner_sub_pix(gray, uint32_t(window),
                                                          params.corner_refinement_max_iterations,
                                                          predicted[k], params.corner_refinement_min_accuracy));
    result.ids.push_back(k);
  }

  if (check_markers) {
    for (size_t c = 0; c < result.ids.size(); ++c) {
      if (!corner_consistent(board, result.ids[c], result.corners[c], result.markers)) {
        result.corners.clear();
        result.ids.clear();
        break;
      }
    }
  }
  return result;
}

std::variant<pnp::Points3, std::string> object_points(const board::CharucoBoard& board,
                                                      std::span<const uint64_t> ids) {
  pnp::Points3 out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= board.chessboard_corners.size()) {
      return "charuco id " + std::to_string(ids[i]) + " out of range";
    }
    const Point2f p = board.chessboard_corners[ids[i]];
    out[i] = pnp::Vec3(p.x, p.y, 0.0);
  }
  return out;
}

bool collinear(std::span<const pnp::Vec3> object) {
  if (object.empty()) return true;
  const pnp::Vec3& p0 = object[0];
  auto separate = [&](const pnp::Vec3& p) {
    return std::abs(p.x() - p0.x()) > 1e-9 || std::abs(p.y() - p0.y()) > 1e-9;
  };
  auto it = std::find_if(object.begin() + 1, object.end(), separate);
  if (it == object.end()) return true;  // every point coincides with the first
  const double dx = it->x() - p0.x();
  const double dy = it->y() - p0.y();
  const double norm = std::sqrt(dx * dx + dy * dy);
  return std::all_of(object.begin(), object.end(), [&](const pnp::Vec3& p) {
    return std::abs(dy * (p.x() - p0.x()) - dx * (p.y() - p0.y())) / norm < 1e-6;
  });
}

std::optional<pnp::Pose> estimate_pose(std::span<const pnp::Vec3> object, std::span<const pnp::Vec2> image,
                                       const pnp::Camera& camera) {
  if (object.size() < 4 || object.size() != image.size() || collinear(object)) return std::nullopt;
  return pnp::solve_pnp_with_refinement(object, image, camera, std::nullopt, 20);
}

}  // namespace markvane::charuco
