// Python wrappers of the camera model, PnP solvers and rigid bodies.
#pragma once

#include <nanobind/nanobind.h>

namespace markvane::py {

// Classes `RigidBody` and `RigidBodyPose`, in that order.
void register_pose_classes(nanobind::module_& m);

// Functions `solve_pnp`, `solve_pnp_ransac`, `estimate_rigid_body_pose`,
// `project_points`, `rodrigues`, in that order.
void register_pose_functions(nanobind::module_& m);

}  // namespace markvane::py
