// Pinhole camera model with OpenCV's distortion terms, Rodrigues conversion,
// projection with analytic pose Jacobian, iterative PnP and seeded RANSAC PnP.
//
// Pose convention: an object point X maps to camera coordinates as
// R(rvec)·X + tvec; the camera looks along +Z, image x grows with the column
// and y with the row. All arithmetic is double precision.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <Eigen/Core>

#include "types.h"

namespace markvane::pnp {

inline constexpr double kEpsilon = 2.220446049250313e-16;  // double machine epsilon

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Points2 = Vec<Vec2>;
using Points3 = Vec<Vec3>;

// fx, fy, cx, cy of the camera matrix; skew and the third row are not modelled.
struct CameraIntrinsics {
  double fx = 0.0;
  double fy = 0.0;
  double cx = 0.0;
  double cy = 0.0;
};

// k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4 taux tauy; the tilt terms are always 0.
using DistortionCoeffs = std::array<double, 14>;

struct Camera {
  CameraIntrinsics k;
  DistortionCoeffs dist{};
};

struct Pose {
  Vec3 rvec = Vec3::Zero();
  Vec3 tvec = Vec3::Zero();
};

// d(u, v) / d(r1 r2 r3 t1 t2 t3) of one projected point. Kept in vectors, so
// it must not ask for more than the allocator's fundamental alignment: a 2x6
// double matrix is 32-byte aligned once AVX is enabled (-march=native).
using PointJacobian = Eigen::Matrix<double, 2, 6, Eigen::RowMajor | Eigen::DontAlign>;

// Validates a caller's camera matrix (rows of any length) and distortion
// vector (absent = no distortion). Returns the camera or the error message.
std::variant<Camera, std::string> parse_camera(std::span<const std::vector<double>> camera_matrix,
                                               const std::vector<double>* dist_coeffs);
// parse_camera's message for a distortion vector of `count` entries, or
// nothing when that count is accepted; for callers that know a vector's
// length before reading it.
std::optional<std::string> distortion_count_error(size_t count);

// Rotation vector -> matrix, optionally with dR/dr1, dR/dr2, dR/dr3.
Mat3 rodrigues_v2m(const Vec3& rvec, std::array<Mat3, 3>* derivatives = nullptr);
// Matrix (orthonormalized first) -> rotation vector.
Vec3 rodrigues_m2v(const Mat3& m);

// Projects `object` under `pose` into `pixels` (resized to N). With `jacobian`
// non-null it also receives one 2x6 block per point.
void project_points(std::span<const Vec3> object, const Pose& pose, const Camera& camera,
                    Points2& pixels, Vec<PointJacobian>* jacobian = nullptr);

// Pixels -> undistorted normalized coordinates (5 fixed-point iterations).
Points2 undistort_normalized(std::span<const Vec2> pixels, const Camera& camera);

// True when the scatter singular values (descending) describe a plane.
bool is_planar(const Vec3& singular_values);
// Descending singular values of the object points' scatter matrix.
Vec3 scatter_singular_values(std::span<const Vec3> object);

// Iterative PnP: homography (planar) or DLT (non-planar) start unless a guess
// is given, then Levenberg-Marquardt on the reprojection error. Absent when
// the points cannot determine a pose: fewer than 4, counts that differ, all
// object points at one place or all image points at one pixel.
std::optional<Pose> solve_pnp_with_refinement(std::span<const Vec3> object, std::span<const Vec2> image,
                                              const Camera& camera, const std::optional<Pose>& guess,
                                              int max_iterations);

struct RansacSettings {
  uint64_t iterations = 100;
  double reprojection_error = 3.0;
  double confidence = 0.99;
  uint64_t seed = 0;
};

struct RansacPose {
  Vec<uint32_t> inliers;  // ascending indices into the correspondences
  Pose pose;
  double reprojection_rmse = 0.0;
};

// Appends (in order) every index whose squared pixel error is finite and at
// most `threshold_sq`; returns the sum of those squared errors.
double classify_inliers(std::span<const Vec3> object, std::span<const Vec2> image, const Pose& pose,
                        const Camera& camera, double threshold_sq, Vec<uint32_t>& inliers);

std::optional<RansacPose> solve_pnp_ransac(std::span<const Vec3> object, std::span<const Vec2> image,
                                           const Camera& camera, const RansacSettings& settings);

}  // namespace markvane::pnp
