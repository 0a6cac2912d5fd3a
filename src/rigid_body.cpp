#include "rigid_body.h"

#include <cmath>
#include <unordered_set>

#include <Eigen/LU>

namespace markvane::rigid_body {

namespace {

bool all_finite(std::span<const double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// Rows orthonormal and determinant +1, each within `tolerance`. Calibrations
// come from measurements, so small deviations are accepted and used as given.
bool is_rotation(const pnp::Mat3& r, double tolerance) {
  pnp::Vec3 r0 = r.row(0), r1 = r.row(1), r2 = r.row(2);
  double deviations[] = {std::abs(r0.dot(r0) - 1.0), std::abs(r0.dot(r1)), std::abs(r0.dot(r2)),
                         std::abs(r1.dot(r1) - 1.0), std::abs(r1.dot(r2)), std::abs(r2.dot(r2) - 1.0),
                         std::abs(r.determinant() - 1.0)};
  for (double d : deviations) {
    if (!(d <= tolerance)) return false;
  }
  return true;
}

std::string marker_message(int32_t id, const char* text) { return "marker " + std::to_string(id) + text; }

}  // namespace

std::optional<std::string> rigid_body_size_error(double tag_size_m, size_t marker_count, size_t rotation_count,
                                                 size_t translation_count) {
  if (!(std::isfinite(tag_size_m) && tag_size_m > 0.0)) {
    return std::string("tag_size_m must be finite and greater than zero");
  }
  if (marker_count == 0) return std::string("rigid body must contain at least one marker");
  if (rotation_count != marker_count || translation_count != marker_count) {
    return std::string(
        "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the "
        "same length");
  }
  return std::nullopt;
}

std::variant<RigidBody, std::string> make_rigid_body(double tag_size_m, std::span<const int32_t> marker_ids,
                                                     std::span<const Rotation> rotations,
                                                     std::span<const Translation> translations) {
  if (auto message = rigid_body_size_error(tag_size_m, marker_ids.size(), rotations.size(), translations.size())) {
    return *message;
  }

  RigidBody body;
  body.tag_size_m = tag_size_m;
  const double h = tag_size_m / 2.0;
  const pnp::Vec3 model[4] = {{-h, h, 0.0}, {h, h, 0.0}, {h, -h, 0.0}, {-h, -h, 0.0}};
  for (size_t m = 0; m < marker_ids.size(); ++m) {
    int32_t id = marker_ids[m];
    if (body.index.contains(id)) return "duplicate marker id " + std::to_string(id);
    if (!all_finite(rotations[m]) || !all_finite(translations[m])) {
      return marker_message(id, " transform must contain only finite values");
    }
    pnp::Mat3 r = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(rotations[m].data());
    if (!is_rotation(r, 0.001)) {
      return marker_message(id, " rotation must be an orthonormal matrix with determinant +1");
    }
    pnp::Vec3 t(translations[m][0], translations[m][1], translations[m][2]);
    std::array<pnp::Vec3, 4> corners;
    for (int k = 0; k < 4; ++k) corners[k] = r * model[k] + t;
    body.index.emplace(id, uint32_t(m));
    body.marker_ids.push_back(id);
    body.corners.push_back(corners);
  }
  return body;
}

std::variant<Correspondences, std::string> gather_correspondences(const RigidBody& body,
                                                                  std::span<const MarkerCorners> corners,
                                                                  std::span<const int32_t> ids) {
  Correspondences out;
  std::unordered_set<int32_t, std::hash<int32_t>, std::equal_to<int32_t>, MiAllocator<int32_t>> seen;
  for (size_t i = 0; i < ids.size(); ++i) {
    int32_t id = ids[i];
    if (!seen.insert(id).second) return "duplicate detected marker id " + std::to_string(id);
    auto known = body.index.find(id);
    if (known == body.index.end()) continue;
    for (const pnp::Vec2& c : corners[i]) {
      if (!c.allFinite()) return marker_message(id, " corners must contain only finite values");
    }
    out.used_marker_ids.push_back(id);
    for (int k = 0; k < 4; ++k) {
      out.object.push_back(body.corners[known->second][k]);
      out.image.push_back(corners[i][k]);
    }
  }
  return out;
}

namespace {

std::optional<RigidBodyPose> single_marker_pose(const Correspondences& matches, const pnp::Camera& camera) {
  auto pose = pnp::solve_pnp_with_refinement(matches.object, matches.image, camera, std::nullopt, 20);
  if (!pose) return std::nullopt;
  pnp::Points2 projected;
  pnp::project_points(matches.object, *pose, camera, projected);
  double sum = 0.0;
  for (size_t k = 0; k < 4; ++k) sum += (projected[k] - matches.image[k]).squaredNorm();
  RigidBodyPose out;
  out.pose = *pose;
  out.inlier_indices = {0, 1, 2, 3};
  out.reprojection_rmse = std::sqrt(sum / 4.0);
  return out;
}

std::optional<RigidBodyPose> multi_marker_pose(const Correspondences& matches, const pnp::Camera& camera,
                                               const pnp::RansacSettings& settings) {
  auto ransac = pnp::solve_pnp_ransac(matches.object, matches.image, camera, settings);
  if (!ransac) return std::nullopt;
  RigidBodyPose out;
  out.pose = ransac->pose;
  out.inlier_indices = std::move(ransac->inliers);
  out.reprojection_rmse = ransac->reprojection_rmse;
  return out;
}

}  // namespace

std::optional<RigidBodyPose> estimate_pose(const Correspondences& matches, const pnp::Camera& camera,
                                           const pnp::RansacSettings& settings) {
  std::optional<RigidBodyPose> out = matches.used_marker_ids.size() == 1
                                         ? single_marker_pose(matches, camera)
                                         : multi_marker_pose(matches, camera, settings);
  if (!out) return std::nullopt;
  // Corners of the j-th known marker are correspondences 4j .. 4j+3.
  Vec<uint32_t> inlier_corners(matches.used_marker_ids.size(), 0);
  for (uint32_t index : out->inlier_indices) ++inlier_corners[index / 4];
  for (size_t j = 0; j < matches.used_marker_ids.size(); ++j) {
    if (inlier_corners[j] >= 3) out->inlier_marker_ids.push_back(matches.used_marker_ids[j]);
  }
  out->used_marker_ids = matches.used_marker_ids;
  return out;
}

}  // namespace markvane::rigid_body
