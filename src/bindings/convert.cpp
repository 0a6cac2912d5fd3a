#include "convert.h"

#include <cstring>
#include <limits>

#include <unistd.h>

#include "imgproc.h"

namespace markvane::py {

namespace {

// str(value) as UTF-8; never null (falls back to an empty text).
std::string py_str(nb::handle value) {
  nb::object text = nb::steal(PyObject_Str(value.ptr()));
  const char* data = text ? PyUnicode_AsUTF8(text.ptr()) : nullptr;
  if (!data) {
    PyErr_Clear();
    return std::string();
  }
  return data;
}

}  // namespace

void rethrow_with_arg_prefix(const char* name, nb::python_error& error) {
  nb::object original = nb::borrow(error.value());
  std::string text = std::string("argument '") + name + "': " + py_str(original);
  nb::object replacement = nb::handle(PyExc_TypeError)(nb::str(text.c_str(), text.size()));
  // The replacement keeps the original's cause, not the original itself.
  if (PyObject* cause = PyException_GetCause(original.ptr())) {
    PyException_SetCause(replacement.ptr(), cause);  // steals `cause`
  }
  PyErr_SetObject(PyExc_TypeError, replacement.ptr());
  throw nb::python_error();
}

nb::python_error as_python_error(const nb::builtin_exception& error) {
  PyErr_SetString(PyExc_TypeError, error.what());
  return nb::python_error();
}

namespace {

[[noreturn]] void raise_current() { throw nb::python_error(); }

std::string py_type_name(nb::handle value) { return py_str(value.type().attr("__name__")); }

bool is_str(nb::handle value) { return PyUnicode_Check(value.ptr()); }

nb::object sequence_items(nb::handle value) {
  if (is_str(value)) throw nb::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(value.ptr())) {
    throw nb::type_error(("'" + py_type_name(value) + "' object cannot be converted to 'Sequence'").c_str());
  }
  PyObject* fast = PySequence_Fast(value.ptr(), "expected a sequence");
  if (!fast) raise_current();
  return nb::steal(fast);
}

}  // namespace

double to_f64(nb::handle value) {
  double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) raise_current();
  return v;
}

int32_t to_i32(nb::handle value) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) raise_current();
  if (overflow != 0 || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    raise_current();
  }
  return int32_t(v);
}

uint32_t to_u32(nb::handle value) {
  uint64_t v = to_u64(value);
  if (v > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    raise_current();
  }
  return uint32_t(v);
}

bool to_strict_bool(nb::handle value) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  // NumPy booleans are booleans too; integers are not.
  nb::handle type = value.type();
  std::string module = py_str(type.attr("__module__"));
  std::string name = py_str(type.attr("__name__"));
  if (module == "numpy" && (name == "bool" || name == "bool_")) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) raise_current();
    return truth == 1;
  }
  throw nb::type_error(("'" + py_type_name(value) + "' object cannot be converted to 'bool'").c_str());
}

std::string to_str(nb::handle value) {
  if (!is_str(value)) {
    throw nb::type_error(("'" + py_type_name(value) + "' object cannot be converted to 'str'").c_str());
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (!data) raise_current();
  return std::string(data, size_t(size));
}

std::vector<double> to_f64_list(nb::handle value) {
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<double> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[size_t(i)] = to_f64(PySequence_Fast_GET_ITEM(items.ptr(), i));
  }
  return out;
}

std::vector<double> to_f64_fixed(nb::handle value, size_t n) {
  nb::object items = sequence_items(value);
  size_t got = size_t(PySequence_Fast_GET_SIZE(items.ptr()));
  if (got != n) {
    throw nb::value_error(("expected a sequence of length " + std::to_string(n) + " (got " +
                           std::to_string(got) + ")").c_str());
  }
  return to_f64_list(items);
}

std::vector<std::array<double, 2>> to_point_list(nb::handle value) {
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<std::array<double, 2>> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::vector<double> xy = to_f64_fixed(PySequence_Fast_GET_ITEM(items.ptr(), i), 2);
    out[size_t(i)] = {xy[0], xy[1]};
  }
  return out;
}

uint64_t to_u64(nb::handle value) {
  if (!PyLong_Check(value.ptr())) {
    // Same protocol as the other integer conversions (accepts __index__).
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) raise_current();
    return to_u64(index);
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) raise_current();
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    raise_current();
  }
  if (overflow == 0) return uint64_t(v);
  unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    raise_current();
  }
  return uint64_t(u);
}

std::vector<int32_t> to_i32_list(nb::handle value) {
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<int32_t> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[size_t(i)] = to_i32(PySequence_Fast_GET_ITEM(items.ptr(), i));
  return out;
}

namespace {
bool read_f64_buffer(nb::handle value, int ndim, size_t width, std::vector<double>& out,
                     size_t* got_width = nullptr);
}  // namespace

std::vector<double> to_f64_vector(nb::handle value) {
  std::vector<double> out;
  if (read_f64_buffer(value, 1, 0, out)) return out;
  return to_f64_list(value);
}

std::vector<double> to_f64_vector_fixed(nb::handle value, size_t n) {
  std::vector<double> out;
  // A column (n x 1) is a sequence of n one-element rows: read it as n values.
  if (read_f64_buffer(value, 1, 0, out) || read_f64_buffer(value, 2, 1, out)) {
    if (out.size() == n) return out;
    throw nb::value_error(("expected a sequence of length " + std::to_string(n) + " (got " +
                           std::to_string(out.size()) + ")").c_str());
  }
  return to_f64_fixed(value, n);
}

std::vector<std::vector<double>> to_f64_rows(nb::handle value) {
  std::vector<double> flat;
  size_t width = 0;
  if (read_f64_buffer(value, 2, 0, flat, &width) && width > 0) {
    std::vector<std::vector<double>> rows(flat.size() / width);
    for (size_t r = 0; r < rows.size(); ++r) {
      rows[r].assign(flat.begin() + Py_ssize_t(r * width), flat.begin() + Py_ssize_t((r + 1) * width));
    }
    return rows;
  }
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<std::vector<double>> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[size_t(i)] = to_f64_list(PySequence_Fast_GET_ITEM(items.ptr(), i));
  return out;
}

namespace {

// Reads a float64/float32 buffer of `ndim` dimensions (1 or 2) into `out`,
// row-major; with ndim 2 the second axis must have `width` entries. Returns
// false (no error set) when `value` is not such a buffer, so the caller falls
// back to the sequence protocol, which also produces the error messages.
// width 0 accepts any second-axis length (reported in `got_width`).
bool read_f64_buffer(nb::handle value, int ndim, size_t width, std::vector<double>& out, size_t* got_width) {
  if (!PyObject_CheckBuffer(value.ptr()) || PyUnicode_Check(value.ptr())) return false;
  Py_buffer view{};
  if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const char* format = view.format ? view.format : "B";
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  bool is_f64 = std::strcmp(format, "d") == 0 && view.itemsize == 8;
  bool is_f32 = std::strcmp(format, "f") == 0 && view.itemsize == 4;
  bool usable = view.ndim == ndim && (is_f64 || is_f32) &&
                (ndim == 1 || width == 0 || size_t(view.shape[1]) == width);
  if (usable) {
    size_t rows = size_t(view.shape[0]);
    size_t cols = ndim == 1 ? 1 : size_t(view.shape[1]);
    if (got_width) *got_width = cols;
    Py_ssize_t col_stride = ndim == 1 ? 0 : view.strides[1];
    out.resize(rows * cols);
    const char* base = static_cast<const char*>(view.buf);
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < cols; ++c) {
        const char* p = base + Py_ssize_t(r) * view.strides[0] + Py_ssize_t(c) * col_stride;
        if (is_f64) {
          std::memcpy(&out[r * cols + c], p, sizeof(double));
        } else {
          float f;
          std::memcpy(&f, p, sizeof f);
          out[r * cols + c] = f;
        }
      }
    }
  }
  PyBuffer_Release(&view);
  return usable;
}

}  // namespace

std::vector<double> to_f64_table(nb::handle value, size_t width) {
  std::vector<double> out;
  if (read_f64_buffer(value, 2, width, out)) return out;
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  out.resize(size_t(n) * width);
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::object row = sequence_items(PySequence_Fast_GET_ITEM(items.ptr(), i));
    size_t got = size_t(PySequence_Fast_GET_SIZE(row.ptr()));
    if (got != width) {
      throw nb::value_error(("expected a sequence of length " + std::to_string(width) + " (got " +
                             std::to_string(got) + ")").c_str());
    }
    for (size_t c = 0; c < width; ++c) {
      out[size_t(i) * width + c] = to_f64(PySequence_Fast_GET_ITEM(row.ptr(), Py_ssize_t(c)));
    }
  }
  return out;
}

std::vector<std::vector<double>> to_f64_tables(nb::handle value, size_t rows, size_t cols) {
  nb::object items = sequence_items(value);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<std::vector<double>> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[size_t(i)] = to_f64_table(PySequence_Fast_GET_ITEM(items.ptr(), i), cols);
    size_t got = out[size_t(i)].size() / cols;
    if (got != rows) {
      throw nb::value_error(("expected a sequence of length " + std::to_string(rows) + " (got " +
                             std::to_string(got) + ")").c_str());
    }
  }
  return out;
}

double arg_f64(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_f64(value); });
}
int32_t arg_i32(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_i32(value); });
}
uint32_t arg_u32(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_u32(value); });
}
std::string arg_str(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_str(value); });
}
std::vector<std::array<double, 2>> arg_point_list(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_point_list(value); });
}

namespace {

void require_uint8_ndarray(nb::handle image, ImageArg& buffer) {
  nb::object ndarray = nb::module_::import_("numpy").attr("ndarray");
  bool is_array = PyObject_IsInstance(image.ptr(), ndarray.ptr()) == 1;
  if (is_array && PyObject_GetBuffer(image.ptr(), &buffer.view, PyBUF_RECORDS_RO) == 0) {
    buffer.held = true;
    const char* format = buffer.view.format ? buffer.view.format : "B";
    if (buffer.view.itemsize == 1 && (std::strcmp(format, "B") == 0 || std::strcmp(format, "=B") == 0 ||
                                      std::strcmp(format, "<B") == 0 || std::strcmp(format, "|B") == 0)) {
      return;
    }
  }
  PyErr_Clear();
  std::string got = is_array ? "numpy.ndarray of dtype " + py_str(image.attr("dtype"))
                             : "'" + py_type_name(image) + "'";
  throw nb::type_error(("expected a numpy.ndarray of dtype uint8, got " + got).c_str());
}

// Copies the logical contents in row-major order; strides may be negative or
// zero (broadcast views), the buffer pointer addresses element [0, 0, 0].
void copy_strided(const Py_buffer& v, size_t rows, size_t cols, size_t ch, uint8_t* out) {
  const auto* base = static_cast<const uint8_t*>(v.buf);
  Py_ssize_t s0 = v.strides[0], s1 = v.strides[1], s2 = v.ndim == 3 ? v.strides[2] : 0;
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* row = base + Py_ssize_t(r) * s0;
    if (ch == 1) {
      for (size_t c = 0; c < cols; ++c) *out++ = row[Py_ssize_t(c) * s1];
    } else {
      for (size_t c = 0; c < cols; ++c) {
        const uint8_t* px = row + Py_ssize_t(c) * s1;
        for (size_t k = 0; k < ch; ++k) *out++ = px[Py_ssize_t(k) * s2];
      }
    }
  }
}

}  // namespace

ImageArg::ImageArg(const char* name, nb::handle image) {
  convert_arg(name, [&] { require_uint8_ndarray(image, *this); });
}

ImageArg::~ImageArg() {
  if (held) PyBuffer_Release(&view);
}

namespace {

// Frames larger than the machine's memory are refused up front: the copy
// would otherwise be killed by the kernel rather than fail cleanly.
void require_fits_in_memory(size_t bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return;
  if (bytes / size_t(page) >= size_t(pages)) {
    PyErr_SetString(PyExc_MemoryError, "image is larger than the machine's memory");
    throw nb::python_error();
  }
}

}  // namespace

Frame extract_frame(const ImageArg& image) {
  const Py_buffer& v = image.view;
  Frame frame;
  if (v.ndim == 2) {
    frame.channels = 1;
  } else if (v.ndim == 3) {
    if (v.shape[2] != 1 && v.shape[2] != 3) throw nb::value_error("image must have 1 or 3 channels");
    frame.channels = size_t(v.shape[2]);
  } else {
    throw nb::value_error("image must be 2D (gray) or 3D (BGR)");
  }
  frame.rows = size_t(v.shape[0]);
  frame.cols = size_t(v.shape[1]);
  // Gray images address pixels with 32-bit sizes.
  if (frame.rows > std::numeric_limits<uint32_t>::max() ||
      frame.cols > std::numeric_limits<uint32_t>::max()) {
    throw nb::value_error("image dimensions must be below 2**32");
  }
  size_t total = frame.rows * frame.cols * frame.channels;
  if (total == 0) return frame;
  require_fits_in_memory(total);
  frame.data.resize(total);
  if (PyBuffer_IsContiguous(&v, 'C')) {
    std::memcpy(frame.data.data(), v.buf, total);
  } else {
    copy_strided(v, frame.rows, frame.cols, frame.channels, frame.data.data());
  }
  return frame;
}

GrayImage to_gray(Frame&& frame) {
  GrayImage gray;
  if (frame.channels == 3) {
    if (frame.data.empty()) {
      gray.width = uint32_t(frame.cols);
      gray.height = uint32_t(frame.rows);
      return gray;
    }
    return imgproc::bgr_to_gray(frame.data.data(), uint32_t(frame.cols), uint32_t(frame.rows));
  }
  gray.width = uint32_t(frame.cols);
  gray.height = uint32_t(frame.rows);
  gray.data = std::move(frame.data);
  return gray;
}


nb::tuple to_result(const Vec<Detection>& detections) {
  nb::list corners, ids;
  for (const Detection& d : detections) {
    nb::list quad;
    for (const Point2f& p : d.corners) {
      nb::list xy;
      xy.append(nb::float_(double(p.x)));
      xy.append(nb::float_(double(p.y)));
      quad.append(xy);
    }
    corners.append(quad);
    ids.append(nb::int_(d.id));
  }
  return nb::make_tuple(corners, ids);
}

}  // namespace markvane::py
