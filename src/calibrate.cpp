#include "calibrate.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Dense>

namespace markvane::calibrate {

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Mat6 = Eigen::Matrix<double, 6, 6>;
using Vec6 = Eigen::Matrix<double, 6, 1>;

// Camera parameter indices in OpenCV's order; distortion coefficient i is
// parameter 4 + i.
constexpr int kFx = 0, kFy = 1, kCx = 2, kCy = 3, kDist = 4;
constexpr int kModelParams = 16;  // fx fy cx cy and the 12 modelled coefficients

// Matrices over the free camera parameters: at most 16, so they live on the
// stack and their small products skip the general matrix-product machinery.
using CamMat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kModelParams, kModelParams>;
using CamPose = Eigen::Matrix<double, Eigen::Dynamic, 6, 0, kModelParams, 6>;
using CamVec = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, kModelParams, 1>;

bool finite(const pnp::Vec3& v) { return v.allFinite(); }
bool finite(const pnp::Vec2& v) { return v.allFinite(); }

std::optional<std::string> check_views(const Vec<View>& views) {
  if (views.empty()) return "need at least one view";
  for (size_t i = 0; i < views.size(); ++i) {
    const View& v = views[i];
    const std::string name = "view " + std::to_string(i);
    if (v.object.size() != v.image.size()) {
      return name + ": object_points and image_points must have the same length";
    }
    if (v.object.size() < 4) return name + " has fewer than 4 points";
    if (!std::all_of(v.object.begin(), v.object.end(), [](const pnp::Vec3& p) { return finite(p); }) ||
        !std::all_of(v.image.begin(), v.image.end(), [](const pnp::Vec2& p) { return finite(p); })) {
      return name + " has coordinates that are not finite";
    }
  }
  return std::nullopt;
}

// All object points on the plane z = 0, where a homography maps the target
// into each view.
bool on_plane_z0(const Vec<View>& views) {
  for (const View& v : views)
    for (const pnp::Vec3& p : v.object)
      if (p.z() != 0.0) return false;
  return true;
}

// Homography from the target plane (x, y) to the image, by the normalized
// direct linear transform; nothing when the points do not determine one.
// The homography that minimises the squared image distances, by Gauss-Newton
// from the algebraic (DLT) solution, with h22 held at 1. The geometric
// optimum does not depend on how the algebraic step was normalised, so the
// start it gives the focal lengths is the one other solvers reach as well.
pnp::Mat3 refine_homography(const View& v, pnp::Mat3 h) {
  const size_t n = v.object.size();
  auto cost_of = [&](const pnp::Mat3& m) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const pnp::Vec3 q = m * pnp::Vec3(v.object[i].x(), v.object[i].y(), 1.0);
      sum += (q.head<2>() / q.z() - v.image[i]).squaredNorm();
    }
    return sum;
  };
  double cost = cost_of(h);
  for (int it = 0; it < 20 && std::isfinite(cost); ++it) {
    Eigen::Matrix<double, 8, 8> jtj = Eigen::Matrix<double, 8, 8>::Zero();
    Eigen::Matrix<double, 8, 1> jtr = Eigen::Matrix<double, 8, 1>::Zero();
    for (size_t i = 0; i < n; ++i) {
      const double x = v.object[i].x(), y = v.object[i].y();
      const pnp::Vec3 q = h * pnp::Vec3(x, y, 1.0);
      const double iw = 1.0 / q.z(), u = q.x() * iw, w = q.y() * iw;
      Eigen::Matrix<double, 2, 8> j;
      j << x * iw, y * iw, iw, 0, 0, 0, -u * x * iw, -u * y * iw,
           0, 0, 0, x * iw, y * iw, iw, -w * x * iw, -w * y * iw;
      const Eigen::Vector2d r(u - v.image[i].x(), w - v.image[i].y());
      jtj.noalias() += j.transpose() * j;
      jtr.noalias() += j.transpose() * r;
    }
    const Eigen::Matrix<double, 8, 1> step = jtj.ldlt().solve(-jtr);
    if (!step.allFinite()) break;
    pnp::Mat3 trial = h;
    for (int k = 0; k < 8; ++k) trial(k / 3, k % 3) += step(k);
    const double trial_cost = cost_of(trial);
    if (!(trial_cost < cost)) break;
    h = trial;
    const bool small = cost - trial_cost <= 1e-15 * cost;
    cost = trial_cost;
    if (small) break;
  }
  return h;
}

std::optional<pnp::Mat3> homography(const View& v) {
  const size_t n = v.object.size();
  auto normalizer = [n](auto get) {
    Eigen::Vector2d mean = Eigen::Vector2d::Zero();
    for (size_t i = 0; i < n; ++i) mean += get(i);
    mean /= double(n);
    double spread = 0.0;
    for (size_t i = 0; i < n; ++i) spread += (get(i) - mean).norm();
    spread /= double(n);
    pnp::Mat3 t = pnp::Mat3::Identity();
    if (spread <= 0.0) return t;
    const double s = std::sqrt(2.0) / spread;
    t << s, 0, -s * mean.x(), 0, s, -s * mean.y(), 0, 0, 1;
    return t;
  };
  const pnp::Mat3 to = normalizer([&](size_t i) { return Eigen::Vector2d(v.object[i].x(), v.object[i].y()); });
  const pnp::Mat3 ti = normalizer([&](size_t i) { return Eigen::Vector2d(v.image[i]); });
  MatrixXd a(2 * n, 9);
  for (size_t i = 0; i < n; ++i) {
    const pnp::Vec3 p = to * pnp::Vec3(v.object[i].x(), v.object[i].y(), 1.0);
    const pnp::Vec3 q = ti * pnp::Vec3(v.image[i].x(), v.image[i].y(), 1.0);
    a.row(2 * i) << p.x(), p.y(), 1, 0, 0, 0, -q.x() * p.x(), -q.x() * p.y(), -q.x();
    a.row(2 * i + 1) << 0, 0, 0, p.x(), p.y(), 1, -q.y() * p.x(), -q.y() * p.y(), -q.y();
  }
  Eigen::JacobiSVD<MatrixXd> svd(a, Eigen::ComputeFullV);
  const auto& s = svd.singularValues();
  if (!(s(7) > 1e-12 * s(0))) return std::nullopt;
  const VectorXd h = svd.matrixV().col(8);
  pnp::Mat3 hn;
  hn << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), h(8);
  pnp::Mat3 out = ti.inverse() * hn * to;
  if (!out.allFinite() || out(2, 2) == 0.0) return std::nullopt;
  return refine_homography(v, out / out(2, 2));
}

// Focal lengths from the homographies with the principal point at the image
// centre: for each view, the target's two axes map to perpendicular camera
// directions of equal length, which is linear in 1/fx^2 and 1/fy^2.
std::variant<pnp::CameraIntrinsics, std::string> initial_intrinsics(const Vec<View>& views,
                                                                    std::array<double, 2> size,
                                                                    bool same_focal) {
  pnp::CameraIntrinsics k;
  k.cx = size[0] * 0.5 - 0.5;
  k.cy = size[1] * 0.5 - 0.5;
  MatrixXd a(2 * views.size(), 2);
  VectorXd b(2 * views.size());
  for (size_t i = 0; i < views.size(); ++i) {
    std::optional<pnp::Mat3> h = homography(views[i]);
    if (!h) return "the points of view " + std::to_string(i) + " do not determine a homography";
    pnp::Mat3 c = *h;
    c.row(0) -= k.cx * c.row(2);
    c.row(1) -= k.cy * c.row(2);
    // The target's two axes and its two diagonals map to pairs of
    // orthogonal directions; each pair, as unit vanishing points, gives one
    // equation in 1/fx^2 and 1/fy^2. This is the start OpenCV's calibration
    // takes, so that both solvers begin at the same camera.
    const Eigen::Vector3d h1 = c.col(0), h2 = c.col(1);
    const Eigen::Vector3d n0 = h1.normalized(), n1 = h2.normalized();
    const Eigen::Vector3d n2 = ((h1 + h2) * 0.5).normalized(), n3 = ((h1 - h2) * 0.5).normalized();
    a.row(2 * i) << n0.x() * n1.x(), n0.y() * n1.y();
    b(2 * i) = -n0.z() * n1.z();
    a.row(2 * i + 1) << n2.x() * n3.x(), n2.y() * n3.y();
    b(2 * i + 1) = -n2.z() * n3.z();
  }
  double inv_fx2 = 0.0, inv_fy2 = 0.0;
  if (same_focal) {
    const VectorXd col = a.rowwise().sum();
    const double denom = col.squaredNorm();
    inv_fx2 = inv_fy2 = denom > 0.0 ? col.dot(b) / denom : 0.0;
  } else {
    const Eigen::Vector2d x = a.colPivHouseholderQr().solve(b);
    inv_fx2 = x(0), inv_fy2 = x(1);
  }
  if (!(inv_fx2 > 0.0 && inv_fy2 > 0.0 && std::isfinite(inv_fx2) && std::isfinite(inv_fy2))) {
    return std::string("the views do not determine the focal length: they must show the target at "
                       "several different tilts, not all parallel to the image");
  }
  k.fx = 1.0 / std::sqrt(inv_fx2);
  k.fy = 1.0 / std::sqrt(inv_fy2);
  return k;
}

// Which of the 16 modelled camera parameters are estimated.
std::array<bool, kModelParams> free_parameters(const Options& o) {
  std::array<bool, kModelParams> free{};
  free[kFx] = true;
  free[kFy] = !o.fix_aspect_ratio;  // tied to fx instead
  free[kCx] = free[kCy] = !o.fix_principal_point;
  for (int i : {0, 1, 4}) free[kDist + i] = true;  // k1 k2 k3
  free[kDist + 2] = free[kDist + 3] = !o.zero_tangent;
  if (o.model != Model::Five)
    for (int i : {5, 6, 7}) free[kDist + i] = true;  // k4 k5 k6
  if (o.model == Model::ThinPrism)
    for (int i : {8, 9, 10, 11}) free[kDist + i] = true;  // s1 .. s4
  return free;
}

// d(u, v) / d(fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4) at the
// normalized point (x, y) before distortion.
Eigen::Matrix<double, 2, kModelParams> camera_jacobian(double x, double y, const pnp::Camera& c) {
  const auto& d = c.dist;
  const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
  const double num = 1.0 + d[0] * r2 + d[1] * r4 + d[4] * r6;
  const double den = 1.0 + d[5] * r2 + d[6] * r4 + d[7] * r6;
  const double radial = num / den;
  const double a1 = 2.0 * x * y, a2 = r2 + 2.0 * x * x, a3 = r2 + 2.0 * y * y;
  const double xd = x * radial + d[2] * a1 + d[3] * a2 + d[8] * r2 + d[9] * r4;
  const double yd = y * radial + d[2] * a3 + d[3] * a1 + d[10] * r2 + d[11] * r4;
  const double fx = c.k.fx, fy = c.k.fy;
  Eigen::Matrix<double, 2, kModelParams> j = Eigen::Matrix<double, 2, kModelParams>::Zero();
  j(0, kFx) = xd;
  j(1, kFy) = yd;
  j(0, kCx) = 1.0;
  j(1, kCy) = 1.0;
  const std::array<double, 3> powers = {r2, r4, r6};
  const std::array<int, 3> numerator = {0, 1, 4}, denominator = {5, 6, 7};
  for (int i = 0; i < 3; ++i) {
    j(0, kDist + numerator[i]) = fx * x * powers[i] / den;
    j(1, kDist + numerator[i]) = fy * y * powers[i] / den;
    j(0, kDist + denominator[i]) = -fx * x * radial * powers[i] / den;
    j(1, kDist + denominator[i]) = -fy * y * radial * powers[i] / den;
  }
  j(0, kDist + 2) = fx * a1;
  j(1, kDist + 2) = fy * a3;
  j(0, kDist + 3) = fx * a2;
  j(1, kDist + 3) = fy * a1;
  j(0, kDist + 8) = fx * r2;
  j(0, kDist + 9) = fx * r4;
  j(1, kDist + 10) = fy * r2;
  j(1, kDist + 11) = fy * r4;
  return j;
}

double get(const pnp::Camera& c, int p) {
  switch (p) {
    case kFx: return c.k.fx;
    case kFy: return c.k.fy;
    case kCx: return c.k.cx;
    case kCy: return c.k.cy;
    default: return c.dist[size_t(p - kDist)];
  }
}

void set(pnp::Camera& c, int p, double v) {
  switch (p) {
    case kFx: c.k.fx = v; break;
    case kFy: c.k.fy = v; break;
    case kCx: c.k.cx = v; break;
    case kCy: c.k.cy = v; break;
    default: c.dist[size_t(p - kDist)] = v;
  }
}

// The estimation problem: the free camera parameters (fy follows fx at a
// fixed ratio when the aspect is fixed) and one pose per view.
struct Problem {
  const Vec<View>& views;
  Vec<int> params;      // free camera parameter indices
  double aspect = 0.0;  // fx / fy when fy is tied to fx, else 0

  int free_count() const { return int(params.size()); }

  void apply(pnp::Camera& c, const CamVec& delta) const {
    for (size_t i = 0; i < params.size(); ++i) set(c, params[i], get(c, params[i]) + delta(Eigen::Index(i)));
    if (aspect != 0.0) c.k.fy = c.k.fx / aspect;
  }
};

struct Normal {
  CamMat u;             // camera block
  CamVec gc;            // camera gradient
  Vec<Mat6> v;          // per-view pose blocks
  Vec<CamPose> w;       // camera x pose coupling
  Vec<Vec6> gp;         // per-view pose gradients
  double cost = 0.0;    // sum of squared pixel errors
  Vec<double> view_cost;
};

double view_cost(const View& view, const pnp::Pose& pose, const pnp::Camera& camera) {
  pnp::Points2 px;
  pnp::project_points(view.object, pose, camera, px);
  double s = 0.0;
  for (size_t i = 0; i < px.size(); ++i) s += (px[i] - view.image[i]).squaredNorm();
  return s;
}

Normal normal_equations(const Problem& pr, const pnp::Camera& camera, const Vec<pnp::Pose>& poses) {
  using Reduced = Eigen::Matrix<double, 2, Eigen::Dynamic, 0, 2, kModelParams>;
  const Eigen::Index nf = pr.free_count();
  Normal ne;
  ne.u = CamMat::Zero(nf, nf);
  ne.gc = CamVec::Zero(nf);
  ne.v.assign(poses.size(), Mat6::Zero());
  ne.w.assign(poses.size(), CamPose::Zero(nf, 6));
  ne.gp.assign(poses.size(), Vec6::Zero());
  ne.view_cost.assign(poses.size(), 0.0);
  pnp::Points2 px;
  Vec<pnp::PointJacobian> jp;
  Reduced jf(2, nf);
  for (size_t vi = 0; vi < poses.size(); ++vi) {
    const View& view = pr.views[vi];
    pnp::project_points(view.object, poses[vi], camera, px, &jp);
    const pnp::Mat3 r = pnp::rodrigues_v2m(poses[vi].rvec);
    for (size_t i = 0; i < px.size(); ++i) {
      const pnp::Vec3 xc = r * view.object[i] + poses[vi].tvec;
      const double iz = xc.z() != 0.0 ? 1.0 / xc.z() : 1.0;
      const Eigen::Matrix<double, 2, kModelParams> full = camera_jacobian(xc.x() * iz, xc.y() * iz, camera);
      // Only the free parameters' columns; fy's follows fx's when tied.
      for (Eigen::Index k = 0; k < nf; ++k) jf.col(k) = full.col(pr.params[size_t(k)]);
      if (pr.aspect != 0.0) jf.col(0) += full.col(kFy) / pr.aspect;  // fx is always the first
      const Eigen::Matrix<double, 2, 6> jpose = jp[i];
      const pnp::Vec2 res = px[i] - view.image[i];
      // Coefficient-wise products: with an inner size of 2, Eigen's general
      // product kernel (which it would pick for these sizes) costs far more.
      ne.u.noalias() += jf.transpose().lazyProduct(jf);
      ne.gc.noalias() += jf.transpose() * res;
      ne.v[vi].noalias() += jpose.transpose().lazyProduct(jpose);
      ne.w[vi].noalias() += jf.transpose().lazyProduct(jpose);
      ne.gp[vi].noalias() += jpose.transpose() * res;
      ne.view_cost[vi] += res.squaredNorm();
    }
    ne.cost += ne.view_cost[vi];
  }
  return ne;
}

// The damped step (camera, poses) by eliminating the poses: each view's 6x6
// block is inverted on its own, leaving a small system in the camera
// parameters. Nothing when a block is singular.
std::optional<std::pair<CamVec, Vec<Vec6>>> solve_step(const Normal& ne, double lambda) {
  const Eigen::Index nf = ne.u.rows();
  CamMat s = ne.u;
  s.diagonal() += lambda * ne.u.diagonal().cwiseMax(1e-12);
  CamVec rhs = -ne.gc;
  Vec<Mat6> v_inv(ne.v.size());
  for (size_t i = 0; i < ne.v.size(); ++i) {
    Mat6 v = ne.v[i];
    v.diagonal() += lambda * ne.v[i].diagonal().cwiseMax(1e-12);
    Eigen::LDLT<Mat6> ldlt(v);
    if (ldlt.info() != Eigen::Success) return std::nullopt;
    v_inv[i] = ldlt.solve(Mat6::Identity());
    const CamPose wv = ne.w[i] * v_inv[i];
    s.noalias() -= wv * ne.w[i].transpose();
    rhs.noalias() += wv * ne.gp[i];
  }
  CamVec dc = CamVec::Zero(nf);
  if (nf > 0) {
    Eigen::LDLT<CamMat> ldlt(s);
    if (ldlt.info() != Eigen::Success) return std::nullopt;
    dc = ldlt.solve(rhs);
  }
  Vec<Vec6> dp(ne.v.size());
  for (size_t i = 0; i < ne.v.size(); ++i) dp[i] = -v_inv[i] * (ne.gp[i] + ne.w[i].transpose() * dc);
  if (!dc.allFinite()) return std::nullopt;
  return std::make_pair(dc, dp);
}

// Standard deviations of the free camera parameters: the camera block of the
// inverse normal matrix (the inverse of the reduced system) times the
// residual variance.
std::array<double, kCameraParams> deviations(const Problem& pr, const Normal& ne, size_t points) {
  std::array<double, kCameraParams> out{};
  const Eigen::Index nf = ne.u.rows();
  const double dof = double(2 * points) - double(nf) - 6.0 * double(ne.v.size());
  if (nf == 0 || dof <= 0.0) return out;
  CamMat s = ne.u;
  for (size_t i = 0; i < ne.v.size(); ++i) {
    Eigen::LDLT<Mat6> ldlt(ne.v[i]);
    const Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, kModelParams> vw = ldlt.solve(ne.w[i].transpose());
    s.noalias() -= ne.w[i] * vw;
  }
  const CamMat cov = s.ldlt().solve(CamMat::Identity(nf, nf)) * (ne.cost / dof);
  for (Eigen::Index i = 0; i < nf; ++i) {
    const double sd = std::sqrt(std::max(0.0, cov(i, i)));
    out[size_t(pr.params[size_t(i)])] = sd;
    if (pr.params[size_t(i)] == kFx && pr.aspect != 0.0) out[kFy] = sd / pr.aspect;
  }
  return out;
}

// Whether a camera step is statistically insignificant: no free parameter
// moved by more than `fraction` of its standard deviation.
bool insignificant(const Problem& pr, const CamVec& step, const std::array<double, kCameraParams>& sd,
                   double fraction) {
  for (Eigen::Index i = 0; i < step.size(); ++i)
    if (!(std::abs(step(i)) <= fraction * sd[size_t(pr.params[size_t(i)])])) return false;
  return true;
}

}  // namespace

std::variant<Result, std::string> calibrate_camera(const Vec<View>& views, std::array<double, 2> image_size,
                                                   const Options& options) {
  if (auto message = check_views(views)) return *message;
  if (!(image_size[0] >= 1.0 && image_size[1] >= 1.0 && std::isfinite(image_size[0]) &&
        std::isfinite(image_size[1]))) {
    return std::string("image_size must be two positive finite numbers (width, height)");
  }
  pnp::Camera camera;
  if (options.initial) {
    camera = *options.initial;
    if (!(camera.k.fx > 0.0 && camera.k.fy > 0.0)) return std::string("camera_matrix must have fx, fy > 0");
  } else {
    if (!on_plane_z0(views)) {
      return std::string("a target that is not planar (z = 0 for every point) needs an initial camera_matrix");
    }
    if (views.size() < 3) return std::string("need at least 3 views of a planar target");
    auto k = initial_intrinsics(views, image_size, options.fix_aspect_ratio);
    if (auto* message = std::get_if<std::string>(&k)) return *message;
    camera.k = std::get<pnp::CameraIntrinsics>(k);
  }
  const std::array<bool, kModelParams> free = free_parameters(options);
  for (int p = kDist; p < kModelParams; ++p)
    if (!free[size_t(p)]) camera.dist[size_t(p - kDist)] = 0.0;

  Vec<pnp::Pose> poses(views.size());
  size_t points = 0;
  for (size_t i = 0; i < views.size(); ++i) {
    auto pose = pnp::solve_pnp_with_refinement(views[i].object, views[i].image, camera, std::nullopt, 20);
    if (!pose) return "could not find the pose of view " + std::to_string(i);
    poses[i] = *pose;
    points += views[i].object.size();
  }

  Problem pr{views, {}, options.fix_aspect_ratio ? camera.k.fx / camera.k.fy : 0.0};
  for (int p = 0; p < kModelParams; ++p)
    if (free[size_t(p)]) pr.params.push_back(p);

  // Stopping in a flat valley. When the views cannot bound the rational
  // terms, the cost keeps falling without end along a valley where the
  // numerator and denominator coefficients grow together and the focal length
  // drifts off: each step moves the estimate by a tiny fraction of its
  // uncertainty and lowers the cost by far less than the noise could, so the
  // data cannot tell those points apart. Once that has held for a run of
  // accepted steps we stop, close to where the well-determined parameters
  // converged; a well-determined problem has converged long before.
  constexpr int kFlatSteps = 20;
  constexpr double kFlatFraction = 0.03;
  int flat = 0;
  Normal ne = normal_equations(pr, camera, poses);
  double lambda = 1e-3;
  for (int it = 0; it < options.max_iterations; ++it) {
    bool improved = false;
    for (int tries = 0; tries < 10 && !improved; ++tries) {
      auto step = solve_step(ne, lambda);
      if (!step) {
        lambda *= 10.0;
        continue;
      }
      pnp::Camera trial_camera = camera;
      pr.apply(trial_camera, step->first);
      Vec<pnp::Pose> trial_poses = poses;
      for (size_t i = 0; i < poses.size(); ++i) {
        trial_poses[i].rvec += step->second[i].head<3>();
        trial_poses[i].tvec += step->second[i].tail<3>();
      }
      double cost = 0.0;
      for (size_t i = 0; i < views.size(); ++i) cost += view_cost(views[i], trial_poses[i], trial_camera);
      if (std::isfinite(cost) && cost < ne.cost) {
        const double gain = (ne.cost - cost) / std::max(ne.cost, 1e-300);
        camera = trial_camera;
        poses = std::move(trial_poses);
        ne = normal_equations(pr, camera, poses);
        lambda = std::max(lambda / 10.0, 1e-12);
        improved = true;
        flat = insignificant(pr, step->first, deviations(pr, ne, points), kFlatFraction) ? flat + 1 : 0;
        if (gain < 1e-12 || flat >= kFlatSteps) it = options.max_iterations;  // converged
      } else {
        lambda *= 10.0;
      }
    }
    if (!improved) break;
  }

  Result out;
  out.camera = camera;
  out.poses = poses;
  out.rms = std::sqrt(ne.cost / double(points));
  for (size_t i = 0; i < views.size(); ++i)
    out.per_view_errors.push_back(std::sqrt(ne.view_cost[i] / double(views[i].object.size())));
  out.std_deviations = deviations(pr, ne, points);
  if (!std::isfinite(out.rms) || !camera.k.fx || !std::isfinite(camera.k.fx) || !std::isfinite(camera.k.fy)) {
    return std::string("the calibration did not converge to finite values");
  }
  return out;
}

}  // namespace markvane::calibrate
