// Rigid bodies: square markers of one size with calibrated transforms into a
// common reference frame, and the pose of that frame from one image's
// detections.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>

#include "pnp.h"
#include "types.h"

namespace markvane::rigid_body {

using IdIndex = std::unordered_map<int32_t, uint32_t, std::hash<int32_t>, std::equal_to<int32_t>,
                                   MiAllocator<std::pair<const int32_t, uint32_t>>>;

// Immutable after construction; safe to share between concurrent calls.
struct RigidBody {
  double tag_size_m = 0.0;
  Vec<int32_t> marker_ids;
  // Corner k of marker m in the reference frame, in detection corner order.
  Vec<std::array<pnp::Vec3, 4>> corners;
  IdIndex index;  // id -> position in marker_ids
};

using Rotation = std::array<double, 9>;     // row-major, marker -> reference
using Translation = std::array<double, 3>;  // marker -> reference

// The checks of make_rigid_body that need only the sizes (tag size, marker
// count, list lengths), so a caller can run them before reading the lists.
std::optional<std::string> rigid_body_size_error(double tag_size_m, size_t marker_count, size_t rotation_count,
                                                 size_t translation_count);

// Validates the calibration and precomputes the corner table; the error is
// the message of the first failing check.
std::variant<RigidBody, std::string> make_rigid_body(double tag_size_m, std::span<const int32_t> marker_ids,
                                                     std::span<const Rotation> rotations,
                                                     std::span<const Translation> translations);

// The 3D-2D correspondences of the detected markers the body knows.
struct Correspondences {
  pnp::Points3 object;
  pnp::Points2 image;
  Vec<int32_t> used_marker_ids;  // known detected ids, detection order
};

using MarkerCorners = std::array<pnp::Vec2, 4>;

std::variant<Correspondences, std::string> gather_correspondences(const RigidBody& body,
                                                                  std::span<const MarkerCorners> corners,
                                                                  std::span<const int32_t> ids);

struct RigidBodyPose {
  pnp::Pose pose;
  Vec<uint32_t> inlier_indices;
  Vec<int32_t> inlier_marker_ids;
  Vec<int32_t> used_marker_ids;
  double reprojection_rmse = 0.0;
};

// One marker: iterative PnP on its four corners; two or more: RANSAC PnP.
// `matches` must hold at least one marker.
std::optional<RigidBodyPose> estimate_pose(const Correspondences& matches, const pnp::Camera& camera,
                                           const pnp::RansacSettings& settings);

}  // namespace markvane::rigid_body
