// Python wrapper of camera calibration: `calibrate_camera` and its result
// class. Arguments are converted in parameter order, then validated; the
// interpreter lock is released for the optimisation.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nanobind/nanobind.h>

#include "calibrate.h"
#include "convert.h"
#include "pose.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::py {

namespace {

struct PyCalibration {
  calibrate::Result result;
  size_t coefficients = 5;  // distortion coefficients reported (5, 8 or 14)
};

const PyCalibration& calibration_of(nb::handle self) {
  return instance_of<PyCalibration>(self, "CalibrationResult");
}

nb::list float_list(const double* values, size_t n) {
  nb::list out;
  for (size_t i = 0; i < n; ++i) out.append(nb::float_(values[i]));
  return out;
}

// One list of points per view, each point of `width` numbers.
Vec<Vec<double>> arg_views(const char* name, nb::handle value, size_t width, std::vector<size_t>& counts) {
  return convert_arg(name, [&] {
    if (PyUnicode_Check(value.ptr())) throw nb::type_error("Can't extract `str` to `Vec`");
    nb::object seq = nb::steal(PySequence_Fast(value.ptr(), "expected a sequence of views"));
    if (!seq.is_valid()) throw nb::python_error();
    Vec<Vec<double>> out;
    counts.clear();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
      FloatItems items = to_f64_items(PySequence_Fast_GET_ITEM(seq.ptr(), i), width);
      counts.push_back(items.size());
      std::vector<double> flat = items.values();
      out.emplace_back(flat.begin(), flat.end());
    }
    return out;
  });
}

calibrate::Model arg_model(nb::handle value) {
  const std::string name = arg_str("model", value);
  if (name == "k5") return calibrate::Model::Five;
  if (name == "k8") return calibrate::Model::Rational;
  if (name == "k14") return calibrate::Model::ThinPrism;
  throw nb::value_error(("model must be \"k5\", \"k8\" or \"k14\", got \"" + name + "\"").c_str());
}

nb::object calibrate_camera(nb::handle object_points, nb::handle image_points, nb::handle image_size,
                            nb::handle camera_matrix, nb::handle dist_coeffs, nb::handle model,
                            nb::handle fix_aspect_ratio, nb::handle zero_tangent, nb::handle fix_principal_point) {
  std::vector<size_t> object_counts, image_counts;
  const Vec<Vec<double>> objects = arg_views("object_points", object_points, 3, object_counts);
  const Vec<Vec<double>> images = arg_views("image_points", image_points, 2, image_counts);
  const std::vector<double> size = convert_arg("image_size", [&] { return to_f64_vector_fixed(image_size, 2); });
  std::optional<CameraArgs> camera_args;
  if (!camera_matrix.is_none()) camera_args = arg_camera(camera_matrix, dist_coeffs);
  calibrate::Options options;
  options.model = arg_model(model);
  options.fix_aspect_ratio = convert_arg("fix_aspect_ratio", [&] { return to_strict_bool(fix_aspect_ratio); });
  options.zero_tangent = convert_arg("zero_tangent", [&] { return to_strict_bool(zero_tangent); });
  options.fix_principal_point =
      convert_arg("fix_principal_point", [&] { return to_strict_bool(fix_principal_point); });

  if (objects.size() != images.size()) {
    throw nb::value_error("object_points and image_points must hold the same number of views");
  }
  if (camera_args) options.initial = camera_args->parse();
  else if (!dist_coeffs.is_none()) throw nb::value_error("dist_coeffs needs a camera_matrix to start from");

  Vec<calibrate::View> views(objects.size());
  for (size_t v = 0; v < views.size(); ++v) {
    if (object_counts[v] != image_counts[v]) {
      throw nb::value_error(("view " + std::to_string(v) +
                             ": object_points and image_points must have the same length").c_str());
    }
    for (size_t i = 0; i < object_counts[v]; ++i) {
      views[v].object.emplace_back(objects[v][3 * i], objects[v][3 * i + 1], objects[v][3 * i + 2]);
      views[v].image.emplace_back(images[v][2 * i], images[v][2 * i + 1]);
    }
  }
  std::variant<calibrate::Result, std::string> result;
  {
    nb::gil_scoped_release unlocked;
    result = calibrate::calibrate_camera(views, {size[0], size[1]}, options);
  }
  if (auto* message = std::get_if<std::string>(&result)) throw nb::value_error(message->c_str());
  const size_t coefficients = options.model == calibrate::Model::Five ? 5
                              : options.model == calibrate::Model::Rational ? 8 : 14;
  return nb::cast(PyCalibration{std::move(std::get<calibrate::Result>(result)), coefficients});
}

constexpr const char* kCalibrateSig =
    "calibrate_camera(object_points, image_points, image_size, camera_matrix=None, dist_coeffs=None, "
    "model='k5', fix_aspect_ratio=False, zero_tangent=False, fix_principal_point=False)";

constexpr const char* kCalibrateDoc =
    "Calibrate a camera from views of a known target (cv::calibrateCamera).\n"
    "\n"
    "`object_points` holds one list of 3D target points per view, `image_points` the\n"
    "matching pixels (lists or arrays, also in OpenCV's (N, 1, 2) layouts);\n"
    "`image_size` is (width, height). A planar target (z = 0) needs at least 3 views\n"
    "at different tilts; another target needs `camera_matrix` to start from.\n"
    "`model` picks the distortion terms: \"k5\" (k1 k2 p1 p2 k3), \"k8\" (rational) or\n"
    "\"k14\" (rational and thin prism; tilt stays 0), in OpenCV's order. Returns a\n"
    "`CalibrationResult`; input that cannot determine a calibration raises ValueError.\n"
    "\n"
    "Views that do not pin down the rational terms leave a valley in which the fit\n"
    "could go on improving without end while the focal length drifts; the fit stops\n"
    "once its steps stay below a small fraction of every parameter's standard\n"
    "deviation. Large `std_deviations` say that the views cannot tell such\n"
    "calibrations apart: add views, tilt the target more, or use \"k5\".";

constexpr const char* kResultDoc =
    "Result of `calibrate_camera`: the camera, one pose per view and how well they fit.";

nb::object calibration_values(nb::handle self) {
  const PyCalibration& c = calibration_of(self);
  const calibrate::Result& r = c.result;
  nb::list rvecs, tvecs;
  for (const auto& p : r.poses) {
    rvecs.append(float_list(p.rvec.data(), 3));
    tvecs.append(float_list(p.tvec.data(), 3));
  }
  const double k[4] = {r.camera.k.fx, r.camera.k.fy, r.camera.k.cx, r.camera.k.cy};
  return nb::make_tuple(r.rms, float_list(k, 4), float_list(r.camera.dist.data(), c.coefficients), rvecs, tvecs,
                        float_list(r.per_view_errors.data(), r.per_view_errors.size()),
                        float_list(r.std_deviations.data(), r.std_deviations.size()));
}

std::vector<double> floats(nb::handle list) {
  std::vector<double> out;
  for (nb::handle v : list) out.push_back(nb::cast<double>(v));
  return out;
}

void restore_calibration(PyCalibration& self, nb::handle state) {
  nb::object v = state_values(state, "CalibrationResult");
  if (!nb::isinstance<nb::tuple>(v) || nb::len(v) != 7) throw nb::value_error("not a pickled CalibrationResult state");
  PyCalibration c;
  const nb::object rvecs = v[3], tvecs = v[4];
  c.result.rms = nb::cast<double>(v[0]);
  const std::vector<double> k = floats(v[1]), dist = floats(v[2]), errors = floats(v[5]), sd = floats(v[6]);
  if (k.size() != 4 || (dist.size() != 5 && dist.size() != 8 && dist.size() != 14) || sd.size() != calibrate::kCameraParams ||
      nb::len(rvecs) != nb::len(tvecs) || errors.size() != nb::len(rvecs)) {
    throw nb::value_error("not a pickled CalibrationResult state");
  }
  c.result.camera.k = {k[0], k[1], k[2], k[3]};
  std::copy(dist.begin(), dist.end(), c.result.camera.dist.begin());
  c.coefficients = dist.size();
  for (size_t i = 0; i < nb::len(rvecs); ++i) {
    const std::vector<double> r = to_f64_fixed(rvecs[i], 3), t = to_f64_fixed(tvecs[i], 3);
    c.result.poses.push_back({pnp::Vec3(r[0], r[1], r[2]), pnp::Vec3(t[0], t[1], t[2])});
  }
  c.result.per_view_errors.assign(errors.begin(), errors.end());
  std::copy(sd.begin(), sd.end(), c.result.std_deviations.begin());
  new (&self) PyCalibration{std::move(c)};
}

}  // namespace

void register_calibration(nb::module_& m) {
  auto cls = nb::class_<PyCalibration>(m, "CalibrationResult", kResultDoc);
  cls.def("__getstate__", [](nb::handle self) { return versioned_state(calibration_values(self)); });
  cls.def("__setstate__", &restore_calibration);
  add_value_equality(cls, &calibration_values);
  cls.def("__repr__", [](nb::handle self) {
    const PyCalibration& c = calibration_of(self);
    const std::string text = std::string("CalibrationResult(rms=") + nb::repr(nb::float_(c.result.rms)).c_str() +
                             ", views=" + std::to_string(c.result.poses.size()) +
                             ", dist_coeffs=" + std::to_string(c.coefficients) + ")";
    return nb::str(text.c_str());
  });
  add_readonly(cls, "rms", [](nb::handle self) { return nb::float_(calibration_of(self).result.rms); },
               "Root mean square reprojection error over all points, in pixels (OpenCV's definition).");
  add_readonly(cls, "camera_matrix", [](nb::handle self) {
    const auto& k = calibration_of(self).result.camera.k;
    nb::list rows;
    const double m[3][3] = {{k.fx, 0.0, k.cx}, {0.0, k.fy, k.cy}, {0.0, 0.0, 1.0}};
    for (const auto& row : m) rows.append(float_list(row, 3));
    return rows;
  }, "The 3x3 camera matrix, as three rows.");
  add_readonly(cls, "dist_coeffs", [](nb::handle self) {
    const PyCalibration& c = calibration_of(self);
    return float_list(c.result.camera.dist.data(), c.coefficients);
  }, "Distortion coefficients in OpenCV's order: 5, 8 or 14 of them, as the model says.");
  add_readonly(cls, "rvecs", [](nb::handle self) {
    nb::list out;
    for (const auto& p : calibration_of(self).result.poses) out.append(float_list(p.rvec.data(), 3));
    return out;
  }, "Rotation vector of each view's target pose.");
  add_readonly(cls, "tvecs", [](nb::handle self) {
    nb::list out;
    for (const auto& p : calibration_of(self).result.poses) out.append(float_list(p.tvec.data(), 3));
    return out;
  }, "Translation of each view's target pose.");
  add_readonly(cls, "per_view_errors", [](nb::handle self) {
    const auto& e = calibration_of(self).result.per_view_errors;
    return float_list(e.data(), e.size());
  }, "Root mean square reprojection error of each view, in pixels.");
  add_readonly(cls, "std_deviations", [](nb::handle self) {
    const auto& s = calibration_of(self).result.std_deviations;
    return float_list(s.data(), s.size());
  }, "Standard deviations of fx, fy, cx, cy, k1, k2, p1, p2, k3, k4, k5, k6, s1, s2,\n"
     "s3, s4, taux, tauy from the covariance at the optimum (0 where held fixed).");

  m.def("calibrate_camera", &calibrate_camera, "object_points"_a.none(), "image_points"_a.none(),
        "image_size"_a.none(), "camera_matrix"_a.none() = nb::none(), "dist_coeffs"_a.none() = nb::none(),
        "model"_a.none() = nb::str("k5"), "fix_aspect_ratio"_a.none() = nb::bool_(false),
        "zero_tangent"_a.none() = nb::bool_(false), "fix_principal_point"_a.none() = nb::bool_(false),
        nb::sig(nanobind_sig(kCalibrateSig).c_str()));
  publish_function(m, kCalibrateSig, kCalibrateDoc);
}

}  // namespace markvane::py
