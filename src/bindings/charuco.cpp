// Python wrappers of ChArUco boards. Arguments are converted in parameter
// order, then validated in a fixed order; only detect_charuco_board releases
// the interpreter lock (around marker detection, prediction and refinement).
#include "py_charuco.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "board.h"
#include "charuco.h"
#include "convert.h"
#include "dictionary.h"
#include "pnp.h"
#include "pose.h"
#include "py_params.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::py {

namespace {

// The board record and the dictionary name exactly as the caller passed it;
// the dictionary is resolved again by name for every frame. Never changed
// after construction, so it may be read by any number of threads.
struct PyCharucoBoard {
  board::CharucoBoard board;
  std::string dictionary_name;
};

// ---- argument conversion ---------------------------------------------------

// A sequence (not a str) of integers, each converted by `convert`.
template <class T, class Convert>
Vec<T> to_int_list(nb::handle given, Convert convert) {
  const nb::object value = drop_unit_axes(given, 1);
  if (PyUnicode_Check(value.ptr())) throw nb::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(value.ptr())) {
    throw nb::type_error(
        ("'" + std::string(nb::type_name(value.type()).c_str()) + "' object cannot be converted to 'Sequence'")
            .c_str());
  }
  const Py_ssize_t n = PySequence_Size(value.ptr());
  if (n < 0) throw nb::python_error();
  Vec<T> out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::object item = nb::steal(PySequence_GetItem(value.ptr(), i));
    if (!item.is_valid()) throw nb::python_error();
    out.push_back(convert(item));
  }
  return out;
}

bool arg_bool(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_strict_bool(value); });
}

const PyCharucoBoard& arg_board(nb::handle value) {
  return convert_arg("board", [&]() -> const PyCharucoBoard& {
    return instance_of<PyCharucoBoard>(value, "CharucoBoard");
  });
}

// The board was built from this name, so it always resolves.
const dictionary::Dictionary& board_dictionary(const PyCharucoBoard& b) {
  return *dictionary::shared_predefined_dictionary(b.dictionary_name);
}

// ---- result building ----------------------------------------------------------

nb::list point_list(std::span<const Point2f> points) {
  nb::list out;
  for (const Point2f& p : points) {
    nb::list xy;
    xy.append(nb::float_(double(p.x)));
    xy.append(nb::float_(double(p.y)));
    out.append(xy);
  }
  return out;
}

template <class T>
nb::list int_list(std::span<const T> values) {
  nb::list out;
  for (T v : values) out.append(nb::int_(v));
  return out;
}

nb::list float_list(const pnp::Vec3& v) {
  nb::list out;
  for (int i = 0; i < 3; ++i) out.append(nb::float_(v[i]));
  return out;
}

// ---- the class ----------------------------------------------------------------

// A layout larger than the machine's memory is refused up front: filling it
// would get the process killed by the kernel rather than fail cleanly (large
// allocations are reserved lazily, so the allocation itself succeeds).
void require_board_fits_in_memory(uint64_t bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return;
  if (bytes / uint64_t(page) >= uint64_t(pages)) {
    PyErr_SetString(PyExc_MemoryError, "board is larger than the machine's memory");
    throw nb::python_error();
  }
}

void init_charuco_board(PyCharucoBoard* self, nb::handle squares_x, nb::handle squares_y,
                        nb::handle square_length, nb::handle marker_length, nb::handle dictionary,
                        nb::handle ids, nb::handle legacy_pattern) {
  const uint32_t sx = arg_u32("squares_x", squares_x);
  const uint32_t sy = arg_u32("squares_y", squares_y);
  const auto square = float(arg_f64("square_length", square_length));
  const auto marker = float(arg_f64("marker_length", marker_length));
  const DictionaryName name = arg_dictionary_name("dictionary", dictionary);
  std::optional<Vec<uint32_t>> given_ids;
  if (!ids.is_none()) given_ids = convert_arg("ids", [&] { return to_int_list<uint32_t>(ids, to_u32); });
  const bool legacy = arg_bool("legacy_pattern", legacy_pattern);

  lookup_dictionary(name);  // raises for an unknown name
  std::string dictionary_name(*dictionary::canonical_name(*name.utf8));
  require_board_fits_in_memory(board::board_bytes(sx, sy, legacy));
  const uint64_t count = board::marker_count(sx, sy, legacy);
  if (given_ids && given_ids->size() != count) {
    const std::string message = "Size of ids must be equal to the number of markers: " + std::to_string(count);
    throw nb::value_error(message.c_str());
  }
  board::CharucoBoard b = board::make_board(sx, sy, square, marker, given_ids ? &*given_ids : nullptr, legacy);
  new (self) PyCharucoBoard{std::move(b), std::move(dictionary_name)};
}

const PyCharucoBoard& board_of(nb::handle self) { return instance_of<PyCharucoBoard>(self, "CharucoBoard"); }

nb::list board_ids(nb::handle self) { return int_list<uint32_t>(board_of(self).board.ids); }

nb::str board_dictionary_name(nb::handle self) { return nb::str(board_of(self).dictionary_name.c_str()); }
nb::int_ board_squares_x(nb::handle self) { return nb::int_(board_of(self).board.squares_x); }
nb::int_ board_squares_y(nb::handle self) { return nb::int_(board_of(self).board.squares_y); }
nb::float_ board_square_length(nb::handle self) { return nb::float_(double(board_of(self).board.square_length)); }
nb::float_ board_marker_length(nb::handle self) { return nb::float_(double(board_of(self).board.marker_length)); }
nb::bool_ board_legacy_pattern(nb::handle self) { return nb::bool_(board_of(self).board.legacy_pattern); }

// The defining arguments, in the constructor's order: the state that pickling,
// copying and equality use.
nb::object board_arguments(nb::handle self) {
  return nb::make_tuple(board_squares_x(self), board_squares_y(self), board_square_length(self),
                        board_marker_length(self), board_dictionary_name(self), board_ids(self),
                        board_legacy_pattern(self));
}

// The shortest decimal that reads back as the same single-precision value.
std::string float32_text(float v) {
  char buf[32];
  for (int digits = 6; digits <= 9; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, double(v));
    if (std::strtof(buf, nullptr) == v) break;
  }
  return buf;
}

nb::str board_repr(nb::handle self) {
  const PyCharucoBoard& b = board_of(self);
  std::string text = "CharucoBoard(" + std::to_string(b.board.squares_x) + ", " + std::to_string(b.board.squares_y) +
                     ", " + float32_text(b.board.square_length) + ", " + float32_text(b.board.marker_length) +
                     ", '" + b.dictionary_name + "'";
  bool default_ids = true;
  for (size_t i = 0; i < b.board.ids.size(); ++i) default_ids = default_ids && b.board.ids[i] == i;
  if (!default_ids) text += std::string(", ids=") + nb::repr(board_ids(self)).c_str();
  if (b.board.legacy_pattern) text += ", legacy_pattern=True";
  return nb::str((text + ")").c_str());
}

nb::list board_chessboard_corners(nb::handle self) {
  nb::list out;
  for (const Point2f& p : board_of(self).board.chessboard_corners) {
    nb::list xyz;
    xyz.append(nb::float_(double(p.x)));
    xyz.append(nb::float_(double(p.y)));
    xyz.append(nb::float_(0.0));
    out.append(xyz);
  }
  return out;
}

// ---- functions ----------------------------------------------------------------

nb::tuple detect_charuco_board(SettingsCheck check_settings, nb::handle image, nb::handle board,
                               nb::handle parameters, nb::handle min_markers, nb::handle check_markers) {
  const ImageArg image_arg("image", image);
  const PyCharucoBoard& b = arg_board(board);
  const DetectorParams params = snapshot_params("parameters", parameters);
  const int32_t min_support = arg_i32("min_markers", min_markers);
  const bool check = arg_bool("check_markers", check_markers);
  if (min_support < 0 || min_support > 2) throw nb::value_error("min_markers must be 0, 1 or 2");

  const dictionary::Dictionary& dict = board_dictionary(b);
  GrayImage gray = read_gray(image_arg);
  check_settings(params);
  charuco::CharucoResult result;
  {
    nb::gil_scoped_release unlocked;
    result = charuco::detect_board(gray, b.board, dict, params, min_support, check);
  }
  nb::tuple markers = to_result(result.markers);
  return nb::make_tuple(point_list(result.corners), int_list<uint32_t>(result.ids), markers[0], markers[1]);
}

nb::object estimate_pose_charuco_board(nb::handle charuco_corners, nb::handle charuco_ids, nb::handle board,
                                       nb::handle camera_matrix, nb::handle dist_coeffs) {
  FloatItems corner_items = convert_arg("charuco_corners", [&] { return to_f64_items(charuco_corners, 2); });
  const Vec<uint64_t> ids = convert_arg("charuco_ids", [&] { return to_int_list<uint64_t>(charuco_ids, to_u64); });
  const PyCharucoBoard& b = arg_board(board);
  const CameraArgs camera_args = arg_camera(camera_matrix, dist_coeffs);

  if (corner_items.size() != ids.size()) {
    throw nb::value_error("charuco_corners and charuco_ids must have the same length");
  }
  if (ids.size() < 4) return nb::none();
  const pnp::Camera camera = camera_args.parse();
  auto object = charuco::object_points(b.board, ids);
  if (auto* message = std::get_if<std::string>(&object)) throw nb::value_error(message->c_str());

  const std::vector<double> flat = corner_items.values();
  pnp::Points2 image(ids.size());
  for (size_t i = 0; i < image.size(); ++i) image[i] = pnp::Vec2(flat[2 * i], flat[2 * i + 1]);
  const auto pose = charuco::estimate_pose(std::get<pnp::Points3>(object), image, camera);
  if (!pose) return nb::none();
  return nb::make_tuple(float_list(pose->rvec), float_list(pose->tvec));
}

nb::tuple charuco_predict(nb::handle image, nb::handle board) {
  const ImageArg image_arg("image", image);
  const PyCharucoBoard& b = arg_board(board);
  const dictionary::Dictionary& dict = board_dictionary(b);
  const GrayImage gray = read_gray(image_arg);
  const charuco::Prediction p = charuco::predict(gray, b.board, dict, DetectorParams{});
  return nb::make_tuple(point_list(p.positions), int_list<int32_t>(p.windows));
}

// ---- texts ----------------------------------------------------------------------

constexpr const char* kBoardDoc =
    "CharucoBoard(squares_x, squares_y, square_length, marker_length, dictionary, ids=None, "
    "legacy_pattern=False)\n"
    "--\n\n"
    "A ChArUco board: a chessboard with ArUco markers in its white squares.\n"
    "\n"
    "The board precomputes its own geometry, so build it once and reuse it across\n"
    "frames rather than constructing it per call.";

constexpr const char* kDetectSig =
    "detect_charuco_board(image, board, parameters=None, min_markers=2, check_markers=True)";
constexpr const char* kDetectDoc =
    "Detect a ChArUco board in `image` (HxW grayscale or HxWx3 BGR, uint8).\n"
    "\n"
    "Returns `(charuco_corners, charuco_ids, marker_corners, marker_ids)`:\n"
    "  - `charuco_corners`: Nx2 sub-pixel refined chessboard corners\n"
    "  - `charuco_ids`: index of each corner within `board.chessboard_corners`\n"
    "  - `marker_corners` / `marker_ids`: the ArUco markers found along the way";

constexpr const char* kPoseSig =
    "estimate_pose_charuco_board(charuco_corners, charuco_ids, board, camera_matrix, dist_coeffs=None)";
constexpr const char* kPoseDoc =
    "Estimate the pose of a ChArUco board from detected chessboard corners\n"
    "(cv::aruco::estimatePoseCharucoBoard).\n"
    "\n"
    "`charuco_ids` index into `board.chessboard_corners`. Returns `(rvec, tvec)`\n"
    "or None if the pose could not be estimated (fewer than 4 corners, or the\n"
    "corners are collinear).";

constexpr const char* kPredictSig = "_charuco_predict(image, board)";
constexpr const char* kPredictDoc = "Test hook: interpolated charuco corners and window sizes, pre-refinement.";

}  // namespace

// Every parameter takes None through to the converters, so a None where a
// value is required fails with the usual "argument '<name>': " TypeError.
void register_charuco_board(nb::module_& m) {
  auto cls = nb::class_<PyCharucoBoard>(m, "CharucoBoard", kBoardDoc)
                 .def("__init__", &init_charuco_board, "squares_x"_a.none(), "squares_y"_a.none(),
                      "square_length"_a.none(), "marker_length"_a.none(), "dictionary"_a.none(),
                      "ids"_a.none() = nb::none(), "legacy_pattern"_a.none() = nb::bool_(false));
  cls.def("__getstate__", [](nb::handle self) { return versioned_state(board_arguments(self)); });
  cls.def("__setstate__", [](PyCharucoBoard& self, nb::handle state) {
    nb::object args = state_values(state, "CharucoBoard");
    // Rebuilt through the constructor, which checks the arguments again.
    nb::object fresh = nb::type<PyCharucoBoard>()(*args);
    new (&self) PyCharucoBoard{nb::cast<PyCharucoBoard&>(fresh)};
  });
  add_value_equality(cls, &board_arguments);
  cls.def("__repr__", &board_repr);
  add_readonly(cls, "ids", &board_ids, "Marker ids laid out on the board.");
  add_readonly(cls, "chessboard_corners", &board_chessboard_corners,
               "Interior chessboard corners in board coordinates, as (x, y, z) triples.");
  // The defining arguments, so a board can be drawn, printed and rebuilt.
  add_readonly(cls, "squares_x", &board_squares_x, "Number of chessboard squares across.");
  add_readonly(cls, "squares_y", &board_squares_y, "Number of chessboard squares down.");
  add_readonly(cls, "square_length", &board_square_length,
               "Side of a chessboard square, in the caller's units (single precision).");
  add_readonly(cls, "marker_length", &board_marker_length,
               "Side of a marker, in the caller's units (single precision).");
  add_readonly(cls, "dictionary", &board_dictionary_name,
               "Name of the marker dictionary, as predefined_dictionaries() lists it.");
  add_readonly(cls, "legacy_pattern", &board_legacy_pattern,
               "Whether the board uses the legacy layout, whose boards with an even number\n"
               "of rows carry a marker in the top-left square.");
}

void register_charuco_detection(nb::module_& m, SettingsCheck check_settings) {
  m.def(
      "detect_charuco_board",
      [check_settings](nb::handle image, nb::handle board, nb::handle parameters, nb::handle min_markers,
                       nb::handle check_markers) {
        return detect_charuco_board(check_settings, image, board, parameters, min_markers, check_markers);
      },
      "image"_a.none(), "board"_a.none(), "parameters"_a.none() = nb::none(),
      "min_markers"_a.none() = nb::int_(2), "check_markers"_a.none() = nb::bool_(true),
      nb::sig(nanobind_sig(kDetectSig).c_str()));
  publish_function(m, kDetectSig, kDetectDoc);
}

void register_charuco_functions(nb::module_& m) {
  m.def("estimate_pose_charuco_board", &estimate_pose_charuco_board, "charuco_corners"_a.none(),
        "charuco_ids"_a.none(), "board"_a.none(), "camera_matrix"_a.none(), "dist_coeffs"_a.none() = nb::none(),
        nb::sig(nanobind_sig(kPoseSig).c_str()));
  publish_function(m, kPoseSig, kPoseDoc);
  m.def("_charuco_predict", &charuco_predict, "image"_a.none(), "board"_a.none(),
        nb::sig(nanobind_sig(kPredictSig).c_str()));
  publish_function(m, kPredictSig, kPredictDoc);
}

}  // namespace markvane::py
