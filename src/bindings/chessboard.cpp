// Python wrapper of the chessboard corner finder. The pattern size is
// converted and checked with the interpreter lock held; the search itself
// runs without it, on the calling thread.
#include <array>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "chessboard.h"
#include "convert.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::py {

namespace {

// (cols, rows) from any sequence of exactly two integers except str. Each
// value must fit an int32 (OverflowError otherwise); the range check is the
// caller's.
std::array<int32_t, 2> arg_pattern_size(nb::handle value) {
  return convert_arg("pattern_size", [&] {
    if (PyUnicode_Check(value.ptr())) throw nb::type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(value.ptr())) {
      const std::string type = nb::cast<std::string>(nb::str(value.type().attr("__name__")));
      throw nb::type_error(("'" + type + "' object cannot be converted to 'Sequence'").c_str());
    }
    const Py_ssize_t n = PySequence_Size(value.ptr());
    if (n < 0) throw nb::python_error();
    if (n != 2) {
      throw nb::value_error(("expected a sequence of length 2 (got " + std::to_string(n) + ")").c_str());
    }
    std::array<int32_t, 2> out{};
    for (Py_ssize_t i = 0; i < 2; ++i) {
      nb::object item = nb::steal(PySequence_GetItem(value.ptr(), i));
      if (!item.is_valid()) throw nb::python_error();
      out[size_t(i)] = to_i32(item);
    }
    return out;
  });
}

nb::tuple find_chessboard_corners(nb::handle image, nb::handle pattern_size) {
  const ImageArg image_arg("image", image);
  const std::array<int32_t, 2> size = arg_pattern_size(pattern_size);
  if (size[0] < 3 || size[1] < 3) {
    throw nb::value_error("both pattern_size dimensions must be greater than 2");
  }
  const chessboard::PatternSize pattern{uint32_t(size[0]), uint32_t(size[1])};
  const GrayImage gray = read_gray(image_arg);
  std::optional<Vec<Point2f>> corners;
  {
    nb::gil_scoped_release unlocked;
    corners = chessboard::find_chessboard_corners(gray, pattern);
  }
  nb::list points;
  if (corners) {
    for (const Point2f& p : *corners) {
      nb::list xy;
      xy.append(nb::float_(double(p.x)));
      xy.append(nb::float_(double(p.y)));
      points.append(xy);
    }
  }
  return nb::make_tuple(nb::bool_(corners.has_value()), points);
}

constexpr const char* kFindChessboardCornersSig = "find_chessboard_corners(image, pattern_size)";

constexpr const char* kFindChessboardCornersDoc =
    "Find the inner corners of a chessboard in `image` (HxW grayscale or HxWx3 BGR, uint8).\n"
    "\n"
    "`pattern_size` is `(cols, rows)`: inner corners per row and per column, both at\n"
    "least 3. Returns `(found, corners)`: `found` is a bool and `corners` a list of\n"
    "cols * rows [x, y] float pairs (empty when not found), refined to sub-pixel\n"
    "accuracy, with pixel centres at integer coordinates. The order is image based:\n"
    "the top-left inner corner first, the first row running right, rows advancing\n"
    "down (index = row * cols + col).";

}  // namespace

void register_chessboard_functions(nb::module_& m) {
  m.def("find_chessboard_corners", &find_chessboard_corners, "image"_a.none(), "pattern_size"_a.none(),
        nb::sig(nanobind_sig(kFindChessboardCornersSig).c_str()));
  publish_function(m, kFindChessboardCornersSig, kFindChessboardCornersDoc);
}

}  // namespace markvane::py
