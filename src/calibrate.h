// Camera calibration from views of a known target: intrinsics, distortion and
// one pose per view, by Levenberg-Marquardt on the reprojection error under
// the camera model of pnp.h, with the per-view structure eliminated (Schur
// complement). Double precision throughout.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <variant>

#include "pnp.h"
#include "types.h"

namespace markvane::calibrate {

// Which distortion coefficients are estimated, in OpenCV's order: k1 k2 p1 p2
// k3 (Five), plus k4 k5 k6 (Rational), plus s1 s2 s3 s4 (ThinPrism). The tilt
// terms always stay 0.
enum class Model { Five, Rational, ThinPrism };

struct View {
  pnp::Points3 object;
  pnp::Points2 image;
};

struct Options {
  Model model = Model::Five;
  // Start from this camera instead of the homography-based guess (needed for
  // a target that is not planar).
  std::optional<pnp::Camera> initial;
  bool fix_aspect_ratio = false;     // keep fx / fy as in the starting camera
  bool zero_tangent = false;         // p1 = p2 = 0
  bool fix_principal_point = false;  // keep cx, cy of the starting camera
  int max_iterations = 1000;
};

// Number of camera parameters reported: fx fy cx cy, 12 distortion
// coefficients, the two tilt terms (OpenCV's order).
inline constexpr int kCameraParams = 18;

struct Result {
  double rms = 0.0;  // sqrt(sum of squared pixel errors / number of points)
  pnp::Camera camera;
  Vec<pnp::Pose> poses;
  Vec<double> per_view_errors;  // per view: sqrt(squared errors / its points)
  // Standard deviations of the camera parameters, from the covariance at the
  // optimum (0 for parameters held fixed).
  std::array<double, kCameraParams> std_deviations{};
};

// The calibration, or the message of the ValueError to raise for input that
// cannot determine one. image_size is (width, height).
std::variant<Result, std::string> calibrate_camera(const Vec<View>& views, std::array<double, 2> image_size,
                                                   const Options& options);

}  // namespace markvane::calibrate
