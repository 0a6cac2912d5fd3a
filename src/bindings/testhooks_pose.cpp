// Hooks exposing the analytic derivatives of the camera model, so tests can
// compare them with finite differences.
#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include "pnp.h"
#include "testhooks.h"

namespace nb = nanobind;

namespace markvane::testhooks {

namespace {

using Matrix = std::vector<std::vector<double>>;

Matrix to_rows(const pnp::Mat3& m) {
  Matrix rows(3, std::vector<double>(3));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) rows[r][c] = m(r, c);
  return rows;
}

// (R, [dR/dr1, dR/dr2, dR/dr3]) as nested lists.
std::pair<Matrix, std::vector<Matrix>> rodrigues_with_derivatives(std::array<double, 3> r) {
  std::array<pnp::Mat3, 3> d;
  pnp::Mat3 m = pnp::rodrigues_v2m(pnp::Vec3(r[0], r[1], r[2]), &d);
  return {to_rows(m), {to_rows(d[0]), to_rows(d[1]), to_rows(d[2])}};
}

// Pixels and the 2x6 pose Jacobian of every point, for intrinsics
// (fx, fy, cx, cy) and the 14 distortion terms.
std::pair<Matrix, std::vector<Matrix>> project_with_jacobian(const Matrix& object, std::array<double, 3> rvec,
                                                             std::array<double, 3> tvec,
                                                             std::array<double, 4> k,
                                                             std::array<double, 14> dist) {
  Vec<pnp::Vec3> points;
  for (const auto& p : object) points.emplace_back(p.at(0), p.at(1), p.at(2));
  pnp::Camera camera{{k[0], k[1], k[2], k[3]}, dist};
  pnp::Pose pose{pnp::Vec3(rvec[0], rvec[1], rvec[2]), pnp::Vec3(tvec[0], tvec[1], tvec[2])};
  pnp::Points2 pixels;
  Vec<pnp::PointJacobian> jacobian;
  pnp::project_points(points, pose, camera, pixels, &jacobian);
  Matrix uv;
  std::vector<Matrix> blocks;
  for (size_t i = 0; i < pixels.size(); ++i) {
    uv.push_back({pixels[i].x(), pixels[i].y()});
    Matrix block(2, std::vector<double>(6));
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 6; ++c) block[r][c] = jacobian[i](r, c);
    blocks.push_back(block);
  }
  return {uv, blocks};
}

}  // namespace

void register_pose_hooks(nb::module_& m) {
  m.def("rodrigues_with_derivatives", &rodrigues_with_derivatives);
  m.def("project_with_jacobian", &project_with_jacobian);
}

}  // namespace markvane::testhooks
