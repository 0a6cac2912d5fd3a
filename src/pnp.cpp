#include "pnp.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/SVD>

namespace markvane::pnp {

namespace {

using Mat6 = Eigen::Matrix<double, 6, 6>;
using Vec6 = Eigen::Matrix<double, 6, 1>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Mat3 skew(const Vec3& n) {
  Mat3 m;
  m << 0.0, -n.z(), n.y(),
       n.z(), 0.0, -n.x(),
       -n.y(), n.x(), 0.0;
  return m;
}

// Partial derivatives of a projected pixel for one parameter, given the
// derivatives (dx, dy) of the undistorted normalized coordinates. Everything
// that does not depend on the parameter is precomputed once per point.
struct DistortionTerms {
  double x, y, r2, cdist, icdist2;
  double dcdist_dr2;    // d cdist / d r2
  double dicdist_dr2;   // d icdist2 / d r2
  double fx, fy, p1, p2, s1, s2, s3, s4;

  Eigen::Vector2d derivative(double dx, double dy) const {
    double dr2 = 2.0 * x * dx + 2.0 * y * dy;
    double dcdist = dcdist_dr2 * dr2;
    double dicdist2 = dicdist_dr2 * dr2;
    double da1 = 2.0 * (x * dy + y * dx);
    double du = fx * (dx * cdist * icdist2 + x * dcdist * icdist2 + x * cdist * dicdist2 + p1 * da1 +
                      p2 * (dr2 + 4.0 * x * dx) + s1 * dr2 + 2.0 * s2 * r2 * dr2);
    double dv = fy * (dy * cdist * icdist2 + y * dcdist * icdist2 + y * cdist * dicdist2 +
                      p1 * (dr2 + 4.0 * y * dy) + p2 * da1 + s3 * dr2 + 2.0 * s4 * r2 * dr2);
    return {du, dv};
  }
};

}  // namespace

std::variant<Camera, std::string> parse_camera(std::span<const std::vector<double>> camera_matrix,
                                               const std::vector<double>* dist_coeffs) {
  if (camera_matrix.size() != 3 || camera_matrix[0].size() != 3 || camera_matrix[1].size() != 3 ||
      camera_matrix[2].size() != 3) {
    return std::string("camera_matrix must be 3x3");
  }
  size_t count = dist_coeffs ? dist_coeffs->size() : 0;
  if (auto message = distortion_count_error(count)) return *message;
  // `!(v == 0.0)` also refuses NaN.
  if (count == 14 && (!((*dist_coeffs)[12] == 0.0) || !((*dist_coeffs)[13] == 0.0))) {
    return std::string("tilted-sensor distortion (taux/tauy) is not supported");
  }
  Camera camera;
  camera.k = {camera_matrix[0][0], camera_matrix[1][1], camera_matrix[0][2], camera_matrix[1][2]};
  for (size_t i = 0; i < count; ++i) camera.dist[i] = (*dist_coeffs)[i];
  return camera;
}

std::optional<std::string> distortion_count_error(size_t count) {
  if (count == 0 || count == 4 || count == 5 || count == 8 || count == 12 || count == 14) return std::nullopt;
  return "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got " + std::to_string(count);
}

Mat3 rodrigues_v2m(const Vec3& rvec, std::array<Mat3, 3>* derivatives) {
  double theta = rvec.norm();
  if (theta < kEpsilon) {
    if (derivatives) {
      for (int k = 0; k < 3; ++k) (*derivatives)[k] = skew(Vec3::Unit(k));
    }
    return Mat3::Identity();
  }
  Vec3 n = rvec / theta;
  double c = std::cos(theta), s = std::sin(theta), c1 = 1.0 - c;
  Mat3 nn = n * n.transpose();
  Mat3 n_cross = skew(n);
  Mat3 r = c * Mat3::Identity() + c1 * nn + s * n_cross;
  if (derivatives) {
    for (int i = 0; i < 3; ++i) {
      Vec3 e = Vec3::Unit(i);
      double ni = n[i];
      double a0 = -s * ni, a1 = (s - 2.0 * c1 / theta) * ni, a2 = c1 / theta;
      double a3 = (c - s / theta) * ni, a4 = s / theta;
      (*derivatives)[i] = a0 * Mat3::Identity() + a1 * nn + a2 * (e * n.transpose() + n * e.transpose()) +
                          a3 * n_cross + a4 * skew(e);
    }
  }
  return r;
}

Vec3 rodrigues_m2v(const Mat3& m) {
  Eigen::JacobiSVD<Mat3> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return Vec3::Constant(kNaN);  // non-finite input
  Mat3 r = svd.matrixU() * svd.matrixV().transpose();

  Vec3 rho(r(2, 1) - r(1, 2), r(0, 2) - r(2, 0), r(1, 0) - r(0, 1));
  double s = std::sqrt(rho.squaredNorm() * 0.25);
  double c = std::clamp((r(0, 0) + r(1, 1) + r(2, 2) - 1.0) * 0.5, -1.0, 1.0);
  double theta = std::acos(c);
  if (s >= 1e-5) return rho * (theta / (2.0 * s));
  if (c > 0.0) return Vec3::Zero();

  // Near pi the antisymmetric part vanishes; the axis comes from the diagonal,
  // with signs recovered from the off-diagonal products.
  double rx = std::sqrt(std::max((r(0, 0) + 1.0) * 0.5, 0.0));
  double ry = std::sqrt(std::max((r(1, 1) + 1.0) * 0.5, 0.0)) * (r(0, 1) < 0.0 ? -1.0 : 1.0);
  double rz = std::sqrt(std::max((r(2, 2) + 1.0) * 0.5, 0.0)) * (r(0, 2) < 0.0 ? -1.0 : 1.0);
  if (std::abs(rx) < std::abs(ry) && std::abs(rx) < std::abs(rz) && ((r(1, 2) > 0.0) != (ry * rz > 0.0))) {
    rz = -rz;
  }
  Vec3 axis(rx, ry, rz);
  return axis * (theta / axis.norm());
}

void project_points(std::span<const Vec3> object, const Pose& pose, const Camera& camera, Points2& pixels,
                    Vec<PointJacobian>* jacobian) {
  std::array<Mat3, 3> dr;
  Mat3 r = rodrigues_v2m(pose.rvec, jacobian ? &dr : nullptr);
  const DistortionCoeffs& d = camera.dist;
  const double k1 = d[0], k2 = d[1], p1 = d[2], p2 = d[3], k3 = d[4], k4 = d[5], k5 = d[6], k6 = d[7];
  const double s1 = d[8], s2 = d[9], s3 = d[10], s4 = d[11];
  const CameraIntrinsics& k = camera.k;

  size_t n = object.size();
  pixels.resize(n);
  if (jacobian) jacobian->resize(n);
  for (size_t i = 0; i < n; ++i) {
    const Vec3& xw = object[i];
    Vec3 xc = r * xw + pose.tvec;
    double w = xc.z() != 0.0 ? 1.0 / xc.z() : 1.0;
    double x = xc.x() * w, y = xc.y() * w;
    double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
    double cdist = 1.0 + k1 * r2 + k2 * r4 + k3 * r6;
    double icdist2 = 1.0 / (1.0 + k4 * r2 + k5 * r4 + k6 * r6);
    double a1 = 2.0 * x * y, a2 = r2 + 2.0 * x * x, a3 = r2 + 2.0 * y * y;
    double xd = x * cdist * icdist2 + p1 * a1 + p2 * a2 + s1 * r2 + s2 * r4;
    double yd = y * cdist * icdist2 + p1 * a3 + p2 * a1 + s3 * r2 + s4 * r4;
    pixels[i] = Vec2(k.fx * xd + k.cx, k.fy * yd + k.cy);
    if (!jacobian) continue;

    DistortionTerms t{x, y, r2, cdist, icdist2,
                      k1 + 2.0 * k2 * r2 + 3.0 * k3 * r4,
                      -icdist2 * icdist2 * (k4 + 2.0 * k5 * r2 + 3.0 * k6 * r4),
                      k.fx, k.fy, p1, p2, s1, s2, s3, s4};
    PointJacobian& jac = (*jacobian)[i];
    for (int j = 0; j < 3; ++j) {
      Vec3 dxc = dr[j] * xw;
      jac.col(j) = t.derivative(w * (dxc.x() - x * dxc.z()), w * (dxc.y() - y * dxc.z()));
    }
    jac.col(3) = t.derivative(w, 0.0);
    jac.col(4) = t.derivative(0.0, w);
    jac.col(5) = t.derivative(-x * w, -y * w);
  }
}

Points2 undistort_normalized(std::span<const Vec2> pixels, const Camera& camera) {
  const DistortionCoeffs& d = camera.dist;
  const double k1 = d[0], k2 = d[1], p1 = d[2], p2 = d[3], k3 = d[4], k4 = d[5], k5 = d[6], k6 = d[7];
  const double s1 = d[8], s2 = d[9], s3 = d[10], s4 = d[11];
  bool distorted = std::any_of(d.begin(), d.end(), [](double v) { return v != 0.0; });

  Points2 out(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    double x0 = (pixels[i].x() - camera.k.cx) / camera.k.fx;
    double y0 = (pixels[i].y() - camera.k.cy) / camera.k.fy;
    double x = x0, y = y0;
    for (int it = 0; distorted && it < 5; ++it) {
      double r2 = x * x + y * y;
      double icdist = (1.0 + ((k6 * r2 + k5) * r2 + k4) * r2) / (1.0 + ((k3 * r2 + k2) * r2 + k1) * r2);
      if (icdist < 0.0) {  // outside the model's invertible range: keep the plain normalization
        x = x0;
        y = y0;
        break;
      }
      double dx = 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x) + s1 * r2 + s2 * r2 * r2;
      double dy = p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y + s3 * r2 + s4 * r2 * r2;
      x = (x0 - dx) * icdist;
      y = (y0 - dy) * icdist;
    }
    out[i] = Vec2(x, y);
  }
  return out;
}

namespace {

Vec3 centroid(std::span<const Vec3> points) {
  Vec3 sum = Vec3::Zero();
  for (const Vec3& p : points) sum += p;
  return sum / double(points.size());
}

Mat3 scatter(std::span<const Vec3> points, const Vec3& mean) {
  Mat3 s = Mat3::Zero();
  for (const Vec3& p : points) {
    Vec3 d = p - mean;
    s.noalias() += d * d.transpose();
  }
  return s;
}

}  // namespace

bool is_planar(const Vec3& w) { return w[1] > kEpsilon && w[2] / w[1] < 0.001; }

Vec3 scatter_singular_values(std::span<const Vec3> object) {
  Eigen::JacobiSVD<Mat3> svd(scatter(object, centroid(object)));
  return svd.singularValues();
}

namespace {

// Hartley normalization of one point set: centroid, and the scale that brings
// the mean distance to the centroid to sqrt(2).
struct Normalization {
  double mx = 0.0, my = 0.0, sigma = 1.0;

  Mat3 forward() const {
    Mat3 t;
    t << sigma, 0.0, -sigma * mx, 0.0, sigma, -sigma * my, 0.0, 0.0, 1.0;
    return t;
  }
  Vec2 apply(const Vec2& p) const { return Vec2(sigma * (p.x() - mx), sigma * (p.y() - my)); }
};

Normalization normalization(std::span<const Vec2> points) {
  Normalization n;
  Vec2 sum = Vec2::Zero();
  for (const Vec2& p : points) sum += p;
  n.mx = sum.x() / double(points.size());
  n.my = sum.y() / double(points.size());
  double dist = 0.0;
  for (const Vec2& p : points) dist += std::hypot(p.x() - n.mx, p.y() - n.my);
  dist /= double(points.size());
  n.sigma = dist > kEpsilon ? std::sqrt(2.0) / dist : 1.0;
  return n;
}

// Eigenvector of the smallest eigenvalue of a symmetric positive semi-definite
// matrix (given by its lower triangle): the null-space direction of a DLT
// system. Equal to the last right singular vector of the same matrix.
template <int Size>
std::optional<Eigen::Matrix<double, Size, 1>> smallest_eigenvector(
    const Eigen::Matrix<double, Size, Size>& lower) {
  Eigen::Matrix<double, Size, Size> full = lower.template selfadjointView<Eigen::Lower>();
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, Size, Size>> solver(full);
  if (solver.info() != Eigen::Success) return std::nullopt;
  return Eigen::Matrix<double, Size, 1>(solver.eigenvectors().col(0));
}

// Homography from plane coordinates to normalized image coordinates by a
// normalized DLT, scaled so that H22 = 1.
std::optional<Mat3> find_homography(std::span<const Vec2> plane, std::span<const Vec2> image) {
  Normalization no = normalization(plane), ni = normalization(image);
  using Mat9 = Eigen::Matrix<double, 9, 9>;
  using Row9 = Eigen::Matrix<double, 9, 1>;
  Mat9 ata = Mat9::Zero();
  for (size_t i = 0; i < plane.size(); ++i) {
    Vec2 o = no.apply(plane[i]), m = ni.apply(image[i]);
    double a = o.x(), b = o.y(), x = m.x(), y = m.y();
    Row9 r0, r1;
    r0 << -a, -b, -1.0, 0.0, 0.0, 0.0, x * a, x * b, x;
    r1 << 0.0, 0.0, 0.0, -a, -b, -1.0, y * a, y * b, y;
    ata.selfadjointView<Eigen::Lower>().rankUpdate(r0);
    ata.selfadjointView<Eigen::Lower>().rankUpdate(r1);
  }
  auto h = smallest_eigenvector<9>(ata);
  if (!h) return std::nullopt;
  Mat3 hn;
  hn << (*h)[0], (*h)[1], (*h)[2], (*h)[3], (*h)[4], (*h)[5], (*h)[6], (*h)[7], (*h)[8];

  if (ni.sigma * ni.sigma == 0.0) return std::nullopt;  // det of the image normalization
  Mat3 img_inverse;
  img_inverse << 1.0 / ni.sigma, 0.0, ni.mx, 0.0, 1.0 / ni.sigma, ni.my, 0.0, 0.0, 1.0;
  Mat3 hm = img_inverse * hn * no.forward();
  if (std::abs(hm(2, 2)) < kEpsilon) return std::nullopt;
  hm /= hm(2, 2);
  if (!hm.allFinite()) return std::nullopt;
  return hm;
}

// Planar start: rotate the object into its best-fit plane (z ~ 0), fit the
// plane-to-image homography and read the rotation and translation off it.
std::optional<Pose> planar_initial_pose(std::span<const Vec3> object, std::span<const Vec2> normalized,
                                        const Vec3& mean, const Mat3& vt) {
  Mat3 rt = vt;
  if (vt(0, 2) * vt(0, 2) + vt(1, 2) * vt(1, 2) < 1e-10) rt = Mat3::Identity();
  if (rt.determinant() < 0.0) rt = -rt;
  Vec3 tt = -rt * mean;

  Points2 plane(object.size());
  for (size_t i = 0; i < object.size(); ++i) plane[i] = (rt * object[i] + tt).head<2>();
  auto h = find_homography(plane, normalized);
  if (!h) return std::nullopt;

  Vec3 h1 = h->col(0), h2 = h->col(1), h3 = h->col(2);
  double n1 = h1.norm(), n2 = h2.norm();
  h1 /= std::max(n1, kEpsilon);
  h2 /= std::max(n2, kEpsilon);
  Vec3 t = h3 * 2.0 / std::max(n1 + n2, kEpsilon);
  h3 = h1.cross(h2);
  Mat3 m;
  m.col(0) = h1;
  m.col(1) = h2;
  m.col(2) = h3;
  m = rodrigues_v2m(rodrigues_m2v(m));  // nearest rotation

  t = m * tt + t;
  return Pose{rodrigues_m2v(m * rt), t};
}

// Non-planar start: direct linear transform of the 3x4 projection matrix in
// normalized coordinates, projected onto the nearest rotation.
std::optional<Pose> dlt_initial_pose(std::span<const Vec3> object, std::span<const Vec2> normalized) {
  if (object.size() < 6) return std::nullopt;
  using Mat12 = Eigen::Matrix<double, 12, 12>;
  using Row12 = Eigen::Matrix<double, 12, 1>;
  Mat12 ltl = Mat12::Zero();
  for (size_t i = 0; i < object.size(); ++i) {
    double X = object[i].x(), Y = object[i].y(), Z = object[i].z();
    double x = normalized[i].x(), y = normalized[i].y();
    Row12 r0, r1;
    r0 << X, Y, Z, 1.0, 0.0, 0.0, 0.0, 0.0, -x * X, -x * Y, -x * Z, -x;
    r1 << 0.0, 0.0, 0.0, 0.0, X, Y, Z, 1.0, -y * X, -y * Y, -y * Z, -y;
    ltl.selfadjointView<Eigen::Lower>().rankUpdate(r0);
    ltl.selfadjointView<Eigen::Lower>().rankUpdate(r1);
  }
  auto v = smallest_eigenvector<12>(ltl);
  if (!v) return std::nullopt;

  Mat3 rr;
  Vec3 tt;
  for (int row = 0; row < 3; ++row) {
    rr.row(row) << (*v)[4 * row], (*v)[4 * row + 1], (*v)[4 * row + 2];
    tt[row] = (*v)[4 * row + 3];
  }
  if (rr.determinant() < 0.0) {  // the null vector's sign is arbitrary
    rr = -rr;
    tt = -tt;
  }
  double sc = rr.norm();
  if (std::abs(sc) < kEpsilon) return std::nullopt;
  Eigen::JacobiSVD<Mat3> svd(rr, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return std::nullopt;
  Mat3 r = svd.matrixU() * svd.matrixV().transpose();
  return Pose{rodrigues_m2v(r), tt * (r.norm() / sc)};
}

std::optional<Pose> initial_pose(std::span<const Vec3> object, std::span<const Vec2> image,
                                 const Camera& camera) {
  Points2 normalized = undistort_normalized(image, camera);
  Vec3 mean = centroid(object);
  Eigen::JacobiSVD<Mat3> svd(scatter(object, mean), Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return std::nullopt;
  if (is_planar(svd.singularValues())) {
    return planar_initial_pose(object, normalized, mean, svd.matrixV().transpose());
  }
  return dlt_initial_pose(object, normalized);
}

// Sum of squared pixel residuals; `scratch` receives the projections.
double squared_error(std::span<const Vec3> object, std::span<const Vec2> image, const Pose& pose,
                     const Camera& camera, Points2& scratch) {
  project_points(object, pose, camera, scratch);
  double e = 0.0;
  for (size_t i = 0; i < image.size(); ++i) {
    double du = scratch[i].x() - image[i].x(), dv = scratch[i].y() - image[i].y();
    e += du * du;
    e += dv * dv;
  }
  return e;
}

// Gaussian elimination with partial pivoting; absent on an exactly zero pivot.
std::optional<Vec6> lu_solve(Mat6 a, Vec6 b) {
  for (int k = 0; k < 6; ++k) {
    int pivot = k;
    for (int i = k + 1; i < 6; ++i) {
      if (std::abs(a(i, k)) > std::abs(a(pivot, k))) pivot = i;
    }
    if (a(pivot, k) == 0.0) return std::nullopt;
    if (pivot != k) {
      a.row(k).swap(a.row(pivot));
      std::swap(b[k], b[pivot]);
    }
    for (int i = k + 1; i < 6; ++i) {
      double f = a(i, k) / a(k, k);
      a.row(i).tail(5 - k) -= f * a.row(k).tail(5 - k);
      b[i] -= f * b[k];
    }
  }
  Vec6 x;
  for (int k = 5; k >= 0; --k) {
    double s = b[k];
    for (int j = k + 1; j < 6; ++j) s -= a(k, j) * x[j];
    x[k] = s / a(k, k);
  }
  return x;
}

// Levenberg-Marquardt on (rvec, tvec). Returns the last accepted pose (or the
// start when no step lowered the error), absent when it is not finite.
std::optional<Pose> refine_pose(std::span<const Vec3> object, std::span<const Vec2> image,
                                const Camera& camera, Pose p, int max_iterations) {
  Points2 projected;
  Vec<PointJacobian> jacobian;
  double e = squared_error(object, image, p, camera, projected);
  double lambda = 0.001;
  for (int iteration = 1;; ++iteration) {
    project_points(object, p, camera, projected, &jacobian);
    Mat6 a = Mat6::Zero();
    Vec6 g = Vec6::Zero();
    for (size_t i = 0; i < image.size(); ++i) {
      const PointJacobian& j = jacobian[i];
      a.noalias() += j.transpose() * j;
      g.noalias() += j.transpose() * (projected[i] - image[i]);
    }

    bool accepted = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
      Mat6 damped = a;
      for (int i = 0; i < 6; ++i) {
        double d = a(i, i);
        damped(i, i) = d + lambda * (d > 1e-12 ? d : 1e-12);  // NaN falls to 1e-12
      }
      auto delta = lu_solve(damped, g);
      if (!delta) {
        lambda *= 10.0;
        continue;
      }
      Pose trial{p.rvec - delta->head<3>(), p.tvec - delta->tail<3>()};
      double e_trial = squared_error(object, image, trial, camera, projected);
      if (e_trial < e) {
        p = trial;
        e = e_trial;
        double reduced = 0.1 * lambda;
        lambda = reduced > 1e-12 ? reduced : 1e-12;
        accepted = true;
        break;
      }
      if (10.0 * lambda > 1e12) break;  // damping exhausted: stop the optimisation
      lambda *= 10.0;
    }
    if (!accepted || e < 1e-24 || iteration == max_iterations) break;
  }
  if (!p.rvec.allFinite() || !p.tvec.allFinite()) return std::nullopt;
  return p;
}

// True when every point equals the first. One correspondence repeated fixes
// no pose: without this the start would come from an arbitrary null vector
// (or a guess would be returned as if confirmed) and look like a solution.
template <class Point>
bool all_equal(std::span<const Point> points) {
  for (const Point& p : points) {
    if (!(p.array() == points.front().array()).all()) return false;
  }
  return true;
}

}  // namespace

std::optional<Pose> solve_pnp_with_refinement(std::span<const Vec3> object, std::span<const Vec2> image,
                                              const Camera& camera, const std::optional<Pose>& guess,
                                              int max_iterations) {
  if (object.size() < 4 || object.size() != image.size()) return std::nullopt;
  if (all_equal(object) || all_equal(image)) return std::nullopt;
  std::optional<Pose> start = guess ? guess : initial_pose(object, image, camera);
  if (!start) return std::nullopt;
  return refine_pose(object, image, camera, *start, max_iterations);
}

namespace {

double classify_into(std::span<const Vec3> object, std::span<const Vec2> image, const Pose& pose,
                     const Camera& camera, double threshold_sq, Vec<uint32_t>& inliers, Points2& scratch) {
  project_points(object, pose, camera, scratch);
  inliers.clear();
  double sum = 0.0;
  for (size_t j = 0; j < object.size(); ++j) {
    Vec2 d = image[j] - scratch[j];
    double e2 = d.x() * d.x() + d.y() * d.y();
    if (e2 <= threshold_sq && std::isfinite(e2)) {
      inliers.push_back(uint32_t(j));
      sum += e2;
    }
  }
  return sum;
}

// Every listed point strictly in front of the camera (finite depth above eps).
bool in_front(std::span<const Vec3> object, const Pose& pose) {
  Mat3 r = rodrigues_v2m(pose.rvec);
  for (const Vec3& x : object) {
    double z = r.row(2).dot(x) + pose.tvec.z();
    if (!(std::isfinite(z) && z > kEpsilon)) return false;
  }
  return true;
}

bool all_finite(std::span<const Vec3> object, std::span<const Vec2> image) {
  for (const Vec3& p : object) {
    if (!p.allFinite()) return false;
  }
  for (const Vec2& p : image) {
    if (!p.allFinite()) return false;
  }
  return true;
}

// xorshift64*: one index in [0, n).
uint32_t draw_index(uint64_t& state, uint64_t n) {
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return uint32_t((state * 0x2545F4914F6CDD1DULL) % n);
}

void draw_sample(uint64_t& state, uint64_t n, size_t size, std::array<uint32_t, 6>& sample) {
  for (size_t k = 0; k < size; ++k) {
    uint32_t index;
    do {
      index = draw_index(state, n);
    } while (std::find(sample.begin(), sample.begin() + k, index) != sample.begin() + k);
    sample[k] = index;
  }
}

void gather(std::span<const Vec3> object, std::span<const Vec2> image, std::span<const uint32_t> indices,
            Points3& sub_object, Points2& sub_image) {
  sub_object.resize(indices.size());
  sub_image.resize(indices.size());
  for (size_t k = 0; k < indices.size(); ++k) {
    sub_object[k] = object[indices[k]];
    sub_image[k] = image[indices[k]];
  }
}

// Number of samples that reach `confidence` for an inlier ratio giving a
// clean-sample probability p; nullopt when p is too small to say anything.
std::optional<uint64_t> samples_needed(double log_miss, double p) {
  if (p <= kEpsilon) return std::nullopt;
  double k = std::max(std::ceil(log_miss / std::log(1.0 - p)), 1.0);
  if (!(k < 18446744073709551616.0)) return std::numeric_limits<uint64_t>::max();
  return uint64_t(k);
}

}  // namespace

double classify_inliers(std::span<const Vec3> object, std::span<const Vec2> image, const Pose& pose,
                        const Camera& camera, double threshold_sq, Vec<uint32_t>& inliers) {
  Points2 scratch;
  return classify_into(object, image, pose, camera, threshold_sq, inliers, scratch);
}

namespace {

struct Hypothesis {
  Pose pose;
  Vec<uint32_t> inliers;
};

// The sampling loop: best hypothesis by inlier count, then by squared error.
std::optional<Hypothesis> best_hypothesis(std::span<const Vec3> object, std::span<const Vec2> image,
                                          const Camera& camera, const RansacSettings& settings,
                                          size_t sample_size) {
  const uint64_t n = object.size();
  uint64_t state = settings.seed != 0 ? settings.seed : 0x9E3779B97F4A7C15ULL;
  const double threshold_sq = settings.reprojection_error * settings.reprojection_error;
  const double log_miss = std::log(1.0 - settings.confidence);

  uint64_t max_iter = settings.iterations, done = 0;
  size_t best_count = 0, need = sample_size;
  double best_err = std::numeric_limits<double>::infinity();
  std::optional<Hypothesis> best;

  std::array<uint32_t, 6> sample{};
  Points3 sub_object;
  Points2 sub_image, scratch;
  Vec<uint32_t> inliers;
  do {
    draw_sample(state, n, sample_size, sample);
    gather(object, image, std::span(sample.data(), sample_size), sub_object, sub_image);
    auto pose = solve_pnp_with_refinement(sub_object, sub_image, camera, std::nullopt, 6);
    ++done;
    if (!pose || !in_front(sub_object, *pose)) continue;

    double err = classify_into(object, image, *pose, camera, threshold_sq, inliers, scratch);
    size_t count = inliers.size();
    if (count < need || !(count > best_count || err < best_err)) continue;
    if (!best) best.emplace();
    best->pose = *pose;
    best->inliers.swap(inliers);
    best_count = count;
    best_err = err;
    need = std::max(sample_size, count);

    double p = std::pow(double(count) / double(n), double(sample_size));
    if (p >= 0.9999999999999998) break;  // 1 - 2^-52: every point agrees
    if (auto k = samples_needed(log_miss, p)) max_iter = std::min(max_iter, std::max(*k, done));
  } while (done < max_iter);
  return best;
}

}  // namespace

std::optional<RansacPose> solve_pnp_ransac(std::span<const Vec3> object, std::span<const Vec2> image,
                                           const Camera& camera, const RansacSettings& settings) {
  const double conf = settings.confidence, reproj = settings.reprojection_error;
  if (!(std::isfinite(conf) && conf > 0.0 && conf < 1.0)) return std::nullopt;
  if (!(std::isfinite(reproj) && reproj > 0.0)) return std::nullopt;
  if (object.size() != image.size() || settings.iterations < 1) return std::nullopt;
  if (!all_finite(object, image) || object.size() < 3) return std::nullopt;
  const size_t s = is_planar(scatter_singular_values(object)) ? 5 : 6;
  if (object.size() < s) return std::nullopt;

  auto best = best_hypothesis(object, image, camera, settings, s);
  if (!best) return std::nullopt;

  // Refine on the inliers, at most twice, while the inlier set keeps changing.
  const double threshold_sq = reproj * reproj;
  Pose pose = best->pose;
  Vec<uint32_t> inliers = std::move(best->inliers), next;
  Points3 sub_object;
  Points2 sub_image, scratch;
  for (int pass = 0; pass < 2 && inliers.size() >= s; ++pass) {
    gather(object, image, inliers, sub_object, sub_image);
    auto refined = solve_pnp_with_refinement(sub_object, sub_image, camera, pose, 20);
    if (!refined || !in_front(sub_object, *refined)) break;
    classify_into(object, image, *refined, camera, threshold_sq, next, scratch);
    pose = *refined;
    if (next == inliers) break;
    inliers.swap(next);
  }

  RansacPose result;
  double sum = classify_into(object, image, pose, camera, threshold_sq, result.inliers, scratch);
  if (result.inliers.size() < s) return std::nullopt;
  result.pose = pose;
  result.reprojection_rmse = std::sqrt(sum / double(result.inliers.size()));
  return result;
}

}  // namespace markvane::pnp
