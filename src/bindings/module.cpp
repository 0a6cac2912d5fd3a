// The `markvane` extension module: registration in a fixed order, and the
// detection entry points. Every function follows the same frame: convert and
// validate arguments with the interpreter lock held, copy what the computation
// needs, release the lock, compute, re-acquire it and build fresh results.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <mimalloc.h>
#include <nanobind/nanobind.h>

#include "affinity.h"
#include "convert.h"
#include "cornersubpix.h"
#include "detector.h"
#include "dictionary.h"
#include "pose.h"
#include "py_charuco.h"
#include "py_params.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::py {
void register_chessboard_functions(nb::module_& m);  // chessboard.cpp
void register_calibration(nb::module_& m);           // calibrate.cpp

namespace {

constexpr int32_t kMaxScales = 1 << 16;

// Settings that would make the scale plan divide by zero or overflow are
// refused before any work starts. The AprilTag quad path runs no threshold
// scales, so the window settings do not matter there.
void check_detection_settings(const DetectorParams& p) {
  if (p.corner_refinement_method == CORNER_REFINE_APRILTAG) return;
  if (p.adaptive_thresh_win_size_step == 0) {
    throw nb::value_error("adaptive_thresh_win_size_step must not be 0");
  }
  const std::optional<int32_t> scales = detector::scale_count(p);
  if (!scales) {
    throw nb::value_error(
        "the adaptive threshold window settings overflow the 32-bit scale count");
  }
  // Each scale is a full threshold and contour pass over the image.
  if (*scales > kMaxScales) {
    throw nb::value_error(("the adaptive threshold window settings give " + std::to_string(*scales) +
                           " scales; at most " + std::to_string(kMaxScales) + " are supported")
                              .c_str());
  }
}

// The interpreter lock, released on request and taken back when this goes.
class LockRelease {
 public:
  LockRelease() = default;
  LockRelease(const LockRelease&) = delete;
  LockRelease& operator=(const LockRelease&) = delete;
  void release() { saved_ = PyEval_SaveThread(); }
  ~LockRelease() {
    if (saved_) PyEval_RestoreThread(saved_);
  }

 private:
  PyThreadState* saved_ = nullptr;
};

nb::tuple detect_markers(nb::handle image, nb::handle dictionary, nb::handle parameters) {
  // Arguments are bound in order; the dictionary is looked up before the
  // image's shape is checked.
  const ImageArg image_arg("image", image);
  DictionaryName name = arg_dictionary_name("dictionary", dictionary);
  DetectorParams params = snapshot_params("parameters", parameters);
  const dictionary::Dictionary& dict = lookup_dictionary(name);
  Frame frame = frame_shape(image_arg);
  check_detection_settings(params);
  detector::Decoded result;
  const uint8_t* pixels = gray_pixels_in_place(image_arg, frame);
  if (pixels && detector::copies_while_thresholding(uint32_t(frame.cols), uint32_t(frame.rows),
                                                    params)) {
    // The first threshold pass copies the frame in as it reads it, which
    // saves a pass over the pixels. The lock is held until it has: the
    // array cannot change while it is read.
    GrayImage gray = unfilled_gray(std::move(frame));
    LockRelease unlocked;
    const detector::PendingFrame pending{pixels, gray.data.data(), [&] { unlocked.release(); }};
    result = detector::detect_markers(gray, pending, dict, params);
  } else {
    const GrayImage gray = read_gray(image_arg, std::move(frame));
    nb::gil_scoped_release unlocked;
    result = detector::detect_markers(gray, dict, params);
  }
  return to_result(result.detections);
}

nb::list detect_markers_batch(nb::handle images, nb::handle dictionary, nb::handle parameters) {
  // Every argument is bound, the dictionary looked up and every frame
  // converted before any detection runs, so a bad frame anywhere raises and
  // leaves nothing half done.
  std::vector<std::unique_ptr<ImageArg>> image_args = arg_image_list("images", images);
  DictionaryName name = arg_dictionary_name("dictionary", dictionary);
  DetectorParams params = snapshot_params("parameters", parameters);
  const dictionary::Dictionary& dict = lookup_dictionary(name);
  // Every frame is checked, in input order, before any is copied; the copies
  // and gray conversions then run on the pool, still under the lock, so the
  // caller's arrays cannot change while they are read.
  std::vector<Frame> frames;
  frames.reserve(image_args.size());
  for (const auto& image_arg : image_args) frames.push_back(frame_shape(*image_arg));
  check_detection_settings(params);
  Vec<GrayImage> grays(frames.size());
  affinity::parallel_for(frames.size(), [&](size_t i) {
    grays[i] = read_gray(*image_args[i], std::move(frames[i]));
  });
  image_args.clear();
  Vec<detector::Decoded> results;
  {
    nb::gil_scoped_release unlocked;
    results = detector::detect_markers_batch(grays, dict, params);
  }
  nb::list out;
  for (const detector::Decoded& result : results) out.append(to_result(result.detections));
  return out;
}

nb::list predefined_dictionaries() {
  nb::list names;
  for (std::string_view name : dictionary::predefined_names()) {
    names.append(nb::str(name.data(), name.size()));
  }
  return names;
}

// A window of (2w+3)^2 floats per corner (about 67 MB at the limit); refuse
// larger windows, which no image could use, rather than attempt gigabytes.
constexpr uint32_t kMaxSubPixHalfWindow = 1u << 12;

nb::list corner_sub_pix_hook(nb::handle image, nb::handle corners, nb::handle win,
                             nb::handle max_iters, nb::handle eps) {
  const ImageArg image_arg("image", image);
  auto points = arg_point_list("corners", corners);
  uint32_t half_win = arg_u32("win", win);
  int32_t iterations = arg_i32("max_iters", max_iters);
  double epsilon = arg_f64("eps", eps);
  if (half_win > kMaxSubPixHalfWindow) {
    throw nb::value_error(("win must be at most " + std::to_string(kMaxSubPixHalfWindow)).c_str());
  }
  GrayImage gray = read_gray(image_arg);
  nb::list out;
  for (const auto& p : points) {
    Point2f start{float(p[0]), float(p[1])};
    Point2f r = cornersubpix::corner_sub_pix(gray, half_win, iterations, start, epsilon);
    nb::list xy;
    xy.append(nb::float_(double(r.x)));
    xy.append(nb::float_(double(r.y)));
    out.append(xy);
  }
  return out;
}

constexpr const char* kDetectMarkersSig = "detect_markers(image, dictionary, parameters=None)";
constexpr const char* kDetectMarkersBatchSig = "detect_markers_batch(images, dictionary, parameters=None)";
constexpr const char* kPredefinedDictionariesSig = "predefined_dictionaries()";
constexpr const char* kCornerSubPixSig = "_corner_sub_pix(image, corners, win, max_iters, eps)";

constexpr const char* kDetectMarkersDoc =
    "Detect ArUco or AprilTag markers in `image` (HxW grayscale or HxWx3 BGR, uint8).\n"
    "\n"
    "Returns `(corners, ids)`:\n"
    "  - `corners`: list of markers, each a 4x2 list of (x, y) float corners\n"
    "  - `ids`: list of integer marker ids, aligned with `corners`\n"
    "Pass `DetectorParameters` to select a corner refinement method.";

constexpr const char* kDetectMarkersBatchDoc =
    "Detect markers across a batch of frames using flat (frame \u00d7 scale) parallelism\n"
    "with the GIL released. Optimal at any batch size \u2014 a single frame, a dual-camera\n"
    "pair, or a large offline batch all keep the cores busy without nested threading.\n"
    "\n"
    "Returns a list of `(corners, ids)`, one per input frame, in the same order.";

constexpr const char* kCornerSubPixDoc =
    "Test hook: run cornerSubPix directly so it can be compared against\n"
    "cv2.cornerSubPix on identical inputs. Not part of the public API.";

}  // namespace
}  // namespace markvane::py

// Sub-interpreters are refused before nanobind sets anything up. The module
// keeps process-wide state (the worker pool, the class objects, nanobind's
// record of them), and on Python 3.11 CPython runs a multi-phase extension's
// initialisation again for every interpreter that imports it: nanobind would
// then point its process-wide state at the new interpreter's copy, and the
// main interpreter's classes would stop converting (std::bad_cast). Later
// Pythons refuse such imports themselves, but only after calling PyInit.
// NB_MODULE below defines the nanobind entry point under another name; the
// exported PyInit_markvane checks the interpreter and then calls it.
#define PyInit_markvane markvane_nanobind_init
NB_MODULE(markvane, m) {
  using namespace markvane;
  // Freed pages go back to the system at most every ten seconds. The heap
  // purges everything free once the delay after the first free since its
  // last purge has passed, however recently it was used: with one second, a
  // loop over 1080p frames on the AprilTag path still faulted its buffers in
  // afresh every few calls (3-5 ms a call, one tenth of its time in the
  // kernel). The heap is only collected while it is in use, so an idle
  // module keeps its pages either way. MIMALLOC_PURGE_DELAY in the
  // environment still decides.
  mi_option_set_default(mi_option_purge_delay, 10000);
  // The pool's size and pinning are fixed before anything else is registered.
  affinity::init_pool();

  m.attr("CORNER_REFINE_NONE") = CORNER_REFINE_NONE;
  m.attr("CORNER_REFINE_SUBPIX") = CORNER_REFINE_SUBPIX;
  m.attr("CORNER_REFINE_CONTOUR") = CORNER_REFINE_CONTOUR;
  m.attr("CORNER_REFINE_APRILTAG") = CORNER_REFINE_APRILTAG;

  py::register_detector_parameters(m);
  py::register_charuco_board(m);
  py::register_pose_classes(m);

  m.def("detect_markers", &py::detect_markers, "image"_a.none(), "dictionary"_a.none(),
        "parameters"_a.none() = nb::none(), nb::sig(py::nanobind_sig(py::kDetectMarkersSig).c_str()));
  py::publish_function(m, py::kDetectMarkersSig, py::kDetectMarkersDoc);
  m.def("detect_markers_batch", &py::detect_markers_batch, "images"_a.none(), "dictionary"_a.none(),
        "parameters"_a.none() = nb::none(),
        nb::sig(py::nanobind_sig(py::kDetectMarkersBatchSig).c_str()));
  py::publish_function(m, py::kDetectMarkersBatchSig, py::kDetectMarkersBatchDoc);
  py::register_charuco_detection(m, &py::check_detection_settings);
  py::register_chessboard_functions(m);
  m.def("predefined_dictionaries", &py::predefined_dictionaries,
        nb::sig(py::nanobind_sig(py::kPredefinedDictionariesSig).c_str()));
  py::publish_function(m, py::kPredefinedDictionariesSig,
                       "List the names of the predefined dictionaries this build supports.");
  m.def("_corner_sub_pix", &py::corner_sub_pix_hook, "image"_a.none(), "corners"_a.none(), "win"_a.none(),
        "max_iters"_a.none(), "eps"_a.none(), nb::sig(py::nanobind_sig(py::kCornerSubPixSig).c_str()));
  py::publish_function(m, py::kCornerSubPixSig, py::kCornerSubPixDoc);
  py::register_pose_functions(m);
  py::register_charuco_functions(m);
  // Beyond the detection and pose functions: calibration, last.
  py::register_calibration(m);
}
#undef PyInit_markvane

extern "C" NB_EXPORT PyObject* PyInit_markvane(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "markvane cannot be imported in a sub-interpreter: sub-interpreters are not supported");
    return nullptr;
  }
  return markvane_nanobind_init();
}
