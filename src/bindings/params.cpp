#include <cmath>
#include <numbers>
#include <string>

#include "convert.h"
#include "py_params.h"

namespace markvane::py {

namespace {

// A validator returns the error message for a rejected value, or nullptr.
using F64Check = const char* (*)(double);
using I32Check = const char* (*)(int32_t);

const char* any_f64(double) { return nullptr; }
const char* any_i32(int32_t) { return nullptr; }

nb::object property_type() { return nb::module_::import_("builtins").attr("property"); }

nb::object deleter() {
  return nb::cpp_function([](nb::handle) { throw nb::attribute_error("can't delete attribute"); });
}

PyDetectorParameters& self_of(nb::handle self) {
  return instance_of<PyDetectorParameters>(self, "DetectorParameters");
}

void install(nb::handle cls, const char* name, nb::object getter, nb::object setter,
             const char* doc) {
  nb::object doc_obj = doc ? nb::object(nb::str(doc)) : nb::none();
  nb::setattr(cls, name, property_type()(getter, setter, deleter(), doc_obj));
}

// Setter order: convert (TypeError names the value `v`), validate, store; a
// rejected value leaves the stored one unchanged.
template <double DetectorParams::*Field>
void add_f64(nb::handle cls, const char* name, F64Check check, const char* doc = nullptr) {
  install(
      cls, name, nb::cpp_function([](nb::handle self) { return self_of(self).params.*Field; }),
      nb::cpp_function([check](nb::handle self, nb::handle v) {
        double value = arg_f64("v", v);
        PyDetectorParameters& obj = self_of(self);
        if (const char* message = check(value)) throw nb::value_error(message);
        obj.params.*Field = value;
      }, nb::arg("self"), nb::arg("v").none()),
      doc);
}

template <int32_t DetectorParams::*Field>
void add_i32(nb::handle cls, const char* name, I32Check check, const char* doc = nullptr) {
  install(
      cls, name, nb::cpp_function([](nb::handle self) { return self_of(self).params.*Field; }),
      nb::cpp_function([check](nb::handle self, nb::handle v) {
        int32_t value = arg_i32("v", v);
        PyDetectorParameters& obj = self_of(self);
        if (const char* message = check(value)) throw nb::value_error(message);
        obj.params.*Field = value;
      }, nb::arg("self"), nb::arg("v").none()),
      doc);
}

template <bool DetectorParams::*Field>
void add_bool(nb::handle cls, const char* name, const char* doc = nullptr) {
  install(
      cls, name, nb::cpp_function([](nb::handle self) { return self_of(self).params.*Field; }),
      nb::cpp_function([](nb::handle self, nb::handle v) {
        bool value = convert_arg("v", [&] { return to_strict_bool(v); });
        self_of(self).params.*Field = value;
      }, nb::arg("self"), nb::arg("v").none()),
      doc);
}

// The settings as {name: value}, in the order the class lists them.
nb::dict settings(nb::handle self) {
  nb::dict out;
  nb::object property = property_type();
  for (nb::handle item : nb::type<PyDetectorParameters>().attr("__dict__").attr("items")()) {
    nb::handle name = item[0];
    const int is_property = PyObject_IsInstance(nb::handle(item[1]).ptr(), property.ptr());
    if (is_property < 0) throw nb::python_error();
    if (is_property == 1) out[name] = nb::getattr(self, name);
  }
  return out;
}

// Pickling, copying, equality and a repr naming the settings that differ from
// the defaults, so logs and notebooks say what ran.
void add_value_semantics(nb::class_<PyDetectorParameters>& cls) {
  cls.def("__getstate__", [](nb::handle self) { return versioned_state(settings(self)); });
  cls.def("__setstate__", [](PyDetectorParameters& self, nb::handle state) {
    nb::object values = state_values(state, "DetectorParameters");
    // Through a fresh instance's setters, so every value is checked as if set
    // by hand.
    nb::object fresh = nb::type<PyDetectorParameters>()();
    for (auto [name, value] : nb::borrow<nb::dict>(values)) nb::setattr(fresh, name, value);
    new (&self) PyDetectorParameters{nb::cast<PyDetectorParameters&>(fresh)};
  });
  add_value_equality(cls, [](nb::handle self) -> nb::object { return settings(self); });
  cls.def("__repr__", [](nb::handle self) {
    nb::dict defaults = settings(nb::type<PyDetectorParameters>()());
    std::string text = "DetectorParameters(";
    bool first = true;
    for (auto [name, value] : settings(self)) {
      nb::handle usual = defaults[name];
      const bool same = nb::repr(value).equal(nb::repr(usual));
      if (same) continue;
      text += std::string(first ? "" : ", ") + nb::str(name).c_str() + "=" + nb::repr(value).c_str();
      first = false;
    }
    return nb::str((text + ")").c_str());
  });
}

constexpr const char* kClassDoc =
    "DetectorParameters()\n--\n\n"
    "Detector parameters for marker detection. `corner_refinement_method` accepts\n"
    "`CORNER_REFINE_NONE`, `CORNER_REFINE_SUBPIX`, `CORNER_REFINE_CONTOUR`, or\n"
    "`CORNER_REFINE_APRILTAG`. The latter uses the AprilTag 2 quad candidate path.";

// The default size limit is the setting users most often trip over: say what
// it skips and how to get OpenCV's behaviour.
constexpr const char* kMinSideDoc =
    "Smallest marker the adaptive-threshold search looks for: candidate outlines\n"
    "shorter than 4 x this many contour points are ignored. The default 32 (128\n"
    "points) skips markers under about 34 px a side, or about 46 px when turned\n"
    "45 degrees. 0 uses OpenCV's rule instead: any outline longer than 3% of the\n"
    "image's larger side (finds smaller markers, at some cost in speed).";

constexpr const char* kRefineFullResolutionDoc =
    "Refit each decoded marker's border with the AprilTag quad fitter in a\n"
    "full-resolution crop: after a decimated AprilTag search, or after any ArUco\n"
    "pipeline method (0-2). A tag missed by the coarse search cannot be recovered.";

constexpr const char* kRefineEdgesDoc =
    "Move each side of every quad the AprilTag quad fitter finds onto the\n"
    "intensity step of the full-resolution image and recompute the corners from\n"
    "the moved sides: in the CORNER_REFINE_APRILTAG search (before decoding) and\n"
    "in the full-resolution refit. Off by default, as in OpenCV; on, corners land\n"
    "several times closer to the true ones, at a few percent more time.";

}  // namespace

void register_detector_parameters(nb::module_& m) {
  using P = DetectorParams;
  auto cls = nb::class_<PyDetectorParameters>(m, "DetectorParameters", kClassDoc).def(nb::init<>());
  add_value_semantics(cls);

  add_i32<&P::adaptive_thresh_win_size_min>(cls, "adaptive_thresh_win_size_min", any_i32);
  add_i32<&P::adaptive_thresh_win_size_max>(cls, "adaptive_thresh_win_size_max", any_i32);
  add_i32<&P::adaptive_thresh_win_size_step>(cls, "adaptive_thresh_win_size_step", any_i32);
  add_f64<&P::adaptive_thresh_constant>(cls, "adaptive_thresh_constant", any_f64);
  add_f64<&P::polygonal_approx_accuracy_rate>(cls, "polygonal_approx_accuracy_rate", any_f64);
  add_f64<&P::error_correction_rate>(cls, "error_correction_rate", any_f64);
  add_bool<&P::detect_inverted_marker>(cls, "detect_inverted_marker");
  add_i32<&P::min_side_length_canonical_img>(cls, "min_side_length_canonical_img", any_i32,
                                             kMinSideDoc);
  add_i32<&P::corner_refinement_method>(cls, "corner_refinement_method", [](int32_t v) {
    return v < 0 || v > 3 ? "corner_refinement_method must be 0, 1, 2, or 3" : nullptr;
  });
  add_i32<&P::corner_refinement_win_size>(cls, "corner_refinement_win_size", [](int32_t v) {
    return v <= 0 ? "corner_refinement_win_size must be positive" : nullptr;
  });
  add_f64<&P::relative_corner_refinement_win_size>(
      cls, "relative_corner_refinement_win_size", [](double v) {
        return std::isfinite(v) && v > 0 ? nullptr
                                         : "relative_corner_refinement_win_size must be positive and finite";
      });
  add_i32<&P::corner_refinement_max_iterations>(cls, "corner_refinement_max_iterations", [](int32_t v) {
    return v <= 0 ? "corner_refinement_max_iterations must be positive" : nullptr;
  });
  add_f64<&P::corner_refinement_min_accuracy>(cls, "corner_refinement_min_accuracy", [](double v) {
    // -0.0 compares equal to 0 and is accepted.
    return std::isfinite(v) && v >= 0 ? nullptr
                                      : "corner_refinement_min_accuracy must be nonnegative and finite";
  });
  add_f64<&P::april_tag_quad_decimate>(cls, "april_tag_quad_decimate", [](double v) {
    return std::isfinite(v) && v >= 0 ? nullptr : "april_tag_quad_decimate must be nonnegative and finite";
  });
  add_bool<&P::april_tag_refine_full_resolution>(cls, "april_tag_refine_full_resolution",
                                                 kRefineFullResolutionDoc);
  add_f64<&P::april_tag_quad_sigma>(cls, "april_tag_quad_sigma", [](double v) {
    return std::isfinite(v) ? nullptr : "april_tag_quad_sigma must be finite";
  });
  add_i32<&P::april_tag_min_cluster_pixels>(cls, "april_tag_min_cluster_pixels", [](int32_t v) {
    return v <= 0 ? "april_tag_min_cluster_pixels must be positive" : nullptr;
  });
  add_i32<&P::april_tag_max_nmaxima>(cls, "april_tag_max_nmaxima", [](int32_t v) {
    return v < 4 ? "april_tag_max_nmaxima must be at least four" : nullptr;
  });
  add_f64<&P::april_tag_critical_rad>(cls, "april_tag_critical_rad", [](double v) {
    return v > 0 && v < std::numbers::pi / 2 ? nullptr : "april_tag_critical_rad must be between 0 and pi/2";
  });
  add_f64<&P::april_tag_max_line_fit_mse>(cls, "april_tag_max_line_fit_mse", [](double v) {
    return std::isfinite(v) && v > 0 ? nullptr : "april_tag_max_line_fit_mse must be positive and finite";
  });
  add_i32<&P::april_tag_min_white_black_diff>(cls, "april_tag_min_white_black_diff", [](int32_t v) {
    return v < 0 || v > 255 ? "april_tag_min_white_black_diff must be in 0..=255" : nullptr;
  });
  add_bool<&P::april_tag_deglitch>(cls, "april_tag_deglitch");
  add_bool<&P::april_tag_refine_edges>(cls, "april_tag_refine_edges", kRefineEdgesDoc);
}

DetectorParams snapshot_params(const char* name, nb::handle parameters) {
  if (parameters.is_none()) return DetectorParams{};
  return convert_arg(name, [&] { return self_of(parameters).params; });
}

}  // namespace markvane::py
