// Python wrappers of the camera model, PnP solvers and rigid bodies.
#pragma once

#include <optional>

#include <nanobind/nanobind.h>

#include "convert.h"
#include "pnp.h"

namespace markvane::py {

// Camera matrix and distortion as converted, validated only when asked: some
// callers must run other checks first. Only their shapes are kept when they
// cannot be valid, so a huge array costs nothing before its error is due.
struct CameraArgs {
  FloatRows matrix;
  std::optional<FloatList> dist;

  // The camera, or the ValueError of the first failing check (the matrix
  // shape, then the distortion).
  pnp::Camera parse() const;
};

// Binds `camera_matrix` and `dist_coeffs` (None: no distortion).
CameraArgs arg_camera(nanobind::handle camera_matrix, nanobind::handle dist_coeffs);

// Classes `RigidBody` and `RigidBodyPose`, in that order.
void register_pose_classes(nanobind::module_& m);

// Functions `solve_pnp`, `solve_pnp_ransac`, `estimate_rigid_body_pose`,
// `project_points`, `rodrigues`, in that order.
void register_pose_functions(nanobind::module_& m);

}  // namespace markvane::py
