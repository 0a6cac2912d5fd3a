#include "convert.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include <unistd.h>

#include "affinity.h"
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

[[noreturn]] void raise_current() { throw nb::python_error(); }

[[noreturn]] void raise_overflow(const char* message) {
  PyErr_SetString(PyExc_OverflowError, message);
  raise_current();
}

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

std::string py_type_name(nb::handle value) { return py_str(value.type().attr("__name__")); }

// numpy.ndarray, looked up once: an import and an attribute lookup on every
// image argument cost about 8 us per call when another library's work had
// left the caches cold. The reference is kept for the life of the process
// (a module's types outlive every call into it). Only read and written with
// the interpreter lock held.
nb::handle numpy_ndarray() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = nb::object(nb::module_::import_("numpy").attr("ndarray")).release().ptr();
  return type;
}

bool is_str(nb::handle value) { return PyUnicode_Check(value.ptr()); }

[[noreturn]] void raise_length(size_t expected, size_t got) {
  throw nb::value_error(("expected a sequence of length " + std::to_string(expected) + " (got " +
                         std::to_string(got) + ")").c_str());
}

}  // namespace

void rethrow_with_arg_prefix(const char* name, nb::python_error& error) {
  nb::object original = nb::borrow(error.value());
  nb::handle kind = error.matches(PyExc_OverflowError) ? PyExc_OverflowError : PyExc_TypeError;
  std::string text = std::string("argument '") + name + "': " + py_str(original);
  nb::object replacement = kind(nb::str(text.c_str(), text.size()));
  // The replacement keeps the original's cause, not the original itself.
  if (PyObject* cause = PyException_GetCause(original.ptr())) {
    PyException_SetCause(replacement.ptr(), cause);  // steals `cause`
  }
  PyErr_SetObject(kind.ptr(), replacement.ptr());
  throw nb::python_error();
}

nb::python_error as_python_error(const nb::builtin_exception& error) {
  PyErr_SetString(PyExc_TypeError, error.what());
  return nb::python_error();
}

// ---- buffers and numeric arrays -------------------------------------------

BufferView::BufferView(BufferView&& other) noexcept { *this = std::move(other); }

BufferView& BufferView::operator=(BufferView&& other) noexcept {
  if (this != &other) {
    release();
    if (other.held_) view_ = other.view_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

bool BufferView::acquire(nb::handle object) {
  release();
  if (!PyObject_CheckBuffer(object.ptr())) return false;
  if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return true;
}

void BufferView::release() {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

namespace {

// Element kind of a buffer format in native byte order ('b' bool, 'i'
// signed, 'u' unsigned, 'f' floating), or 0 for anything else (complex,
// records, objects, foreign byte order).
char numeric_kind(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return itemsize == 1 ? 'u' : 0;  // plain bytes
  constexpr bool little = std::endian::native == std::endian::little;
  if (*format == '@' || *format == '=' || (*format == '<' && little) || (*format == '>' && !little) ||
      (*format == '!' && !little)) {
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return 0;
  switch (format[0]) {
    case '?':
      return itemsize == 1 ? 'b' : 0;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8 ? 'i' : 0;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8 ? 'u' : 0;
    case 'e':
      return itemsize == 2 ? 'f' : 0;
    case 'f':
      return itemsize == 4 ? 'f' : 0;
    case 'd':
      return itemsize == 8 ? 'f' : 0;
    case 'g':
      return itemsize == Py_ssize_t(sizeof(long double)) ? 'f' : 0;
    default:
      return 0;
  }
}

// IEEE half precision, widened exactly.
double half_to_double(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int fraction = h & 0x3ff;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(double(fraction), -24);
  } else if (exponent == 31) {
    magnitude = fraction == 0 ? HUGE_VAL : std::nan("");
  } else {
    magnitude = std::ldexp(double(fraction | 0x400), exponent - 25);
  }
  return (h & 0x8000) ? -magnitude : magnitude;
}

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

int64_t load_signed(const char* p, Py_ssize_t size) {
  switch (size) {
    case 1: return load<int8_t>(p);
    case 2: return load<int16_t>(p);
    case 4: return load<int32_t>(p);
    default: return load<int64_t>(p);
  }
}

uint64_t load_unsigned(const char* p, Py_ssize_t size) {
  switch (size) {
    case 1: return load<uint8_t>(p);
    case 2: return load<uint16_t>(p);
    case 4: return load<uint32_t>(p);
    default: return load<uint64_t>(p);
  }
}

}  // namespace

NumericArray::NumericArray(nb::handle value) {
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return;  // the common case: no buffer
  if (!buffer_.acquire(value)) return;
  const Py_buffer& v = buffer_.get();
  kind_ = v.ndim >= 1 ? numeric_kind(v.format, v.itemsize) : 0;
  if (kind_ == 0) buffer_.release();
}

const char* NumericArray::address(size_t i, size_t j, size_t k) const {
  const Py_buffer& v = buffer_.get();
  const char* p = static_cast<const char*>(v.buf) + Py_ssize_t(i) * v.strides[0];
  if (v.ndim > 1) p += Py_ssize_t(j) * v.strides[1];
  if (v.ndim > 2) p += Py_ssize_t(k) * v.strides[2];
  return p;
}

double NumericArray::f64(size_t i, size_t j, size_t k) const {
  const char* p = address(i, j, k);
  const Py_ssize_t size = buffer_.get().itemsize;
  switch (kind_) {
    case 'b':
      return *p != 0 ? 1.0 : 0.0;
    case 'i':
      return double(load_signed(p, size));
    case 'u':
      return double(load_unsigned(p, size));
    default:
      if (size == 2) return half_to_double(load<uint16_t>(p));
      if (size == 4) return double(load<float>(p));
      if (size == 8) return load<double>(p);
      return double(load<long double>(p));
  }
}

namespace {

template <class Load>
void copy_elements(const Py_buffer& v, double* out, Load load) {
  const char* base = static_cast<const char*>(v.buf);
  const Py_ssize_t n0 = v.shape[0], n1 = v.ndim > 1 ? v.shape[1] : 1, n2 = v.ndim > 2 ? v.shape[2] : 1;
  const Py_ssize_t s0 = v.strides[0], s1 = v.ndim > 1 ? v.strides[1] : 0, s2 = v.ndim > 2 ? v.strides[2] : 0;
  for (Py_ssize_t i = 0; i < n0; ++i)
    for (Py_ssize_t j = 0; j < n1; ++j)
      for (Py_ssize_t k = 0; k < n2; ++k) *out++ = load(base + i * s0 + j * s1 + k * s2);
}

template <class T>
void copy_as(const Py_buffer& v, double* out) {
  copy_elements(v, out, [](const char* p) { return double(load<T>(p)); });
}

}  // namespace

void NumericArray::read_all(double* out) const {
  const Py_buffer& v = buffer_.get();
  const Py_ssize_t size = v.itemsize;
  switch (kind_) {
    case 'b':
      return copy_elements(v, out, [](const char* p) { return *p != 0 ? 1.0 : 0.0; });
    case 'i':
      if (size == 1) return copy_as<int8_t>(v, out);
      if (size == 2) return copy_as<int16_t>(v, out);
      if (size == 4) return copy_as<int32_t>(v, out);
      return copy_as<int64_t>(v, out);
    case 'u':
      if (size == 1) return copy_as<uint8_t>(v, out);
      if (size == 2) return copy_as<uint16_t>(v, out);
      if (size == 4) return copy_as<uint32_t>(v, out);
      return copy_as<uint64_t>(v, out);
    default:
      if (size == 2) return copy_elements(v, out, [](const char* p) { return half_to_double(load<uint16_t>(p)); });
      if (size == 4) return copy_as<float>(v, out);
      if (size == 8) return copy_as<double>(v, out);
      return copy_as<long double>(v, out);
  }
}

bool NumericArray::i32(size_t i, int32_t& out) const {
  const char* p = address(i, 0, 0);
  const Py_ssize_t size = buffer_.get().itemsize;
  if (kind_ == 'i') {
    int64_t v = load_signed(p, size);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
    out = int32_t(v);
    return true;
  }
  uint64_t v = load_unsigned(p, size);
  if (v > uint64_t(std::numeric_limits<int32_t>::max())) return false;
  out = int32_t(v);
  return true;
}

// ---- scalars --------------------------------------------------------------

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
    raise_overflow(kOutOfRange);
  }
  return int32_t(v);
}

uint32_t to_u32(nb::handle value) {
  uint64_t v = to_u64(value);
  if (v > std::numeric_limits<uint32_t>::max()) raise_overflow(kOutOfRange);
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
  if (overflow < 0 || (overflow == 0 && v < 0)) raise_overflow("can't convert negative int to unsigned");
  if (overflow == 0) return uint64_t(v);
  unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    raise_overflow(kOutOfRange);
  }
  return uint64_t(u);
}

// ---- sequences ------------------------------------------------------------

namespace {

// The items of a sequence argument (anything but str). Lists and tuples are
// used as they are and other sequences are copied into a list, except objects
// exporting a buffer of at least one dimension (NumPy arrays), which are
// indexed item by item: expanding a huge array into a list of row objects
// could take gigabytes before its first row is even looked at.
class Items {
 public:
  // `value` must outlive this.
  explicit Items(nb::handle value) : seq_(value.ptr()) {
    if (PyList_Check(seq_) || PyTuple_Check(seq_)) {  // the common case, used as is
      size_ = size_t(PySequence_Fast_GET_SIZE(seq_));
      return;
    }
    if (is_str(value)) throw nb::type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq_)) {
      throw nb::type_error(("'" + py_type_name(value) + "' object cannot be converted to 'Sequence'").c_str());
    }
    BufferView probe;
    if (probe.acquire(value) && probe.get().ndim >= 1) {
      Py_ssize_t n = PySequence_Size(seq_);
      if (n < 0) raise_current();
      size_ = size_t(n);
      lazy_ = true;
      return;
    }
    PyObject* fast = PySequence_Fast(seq_, "expected a sequence");
    if (!fast) raise_current();
    owned_ = nb::steal(fast);
    seq_ = fast;
    size_ = size_t(PySequence_Fast_GET_SIZE(fast));
  }

  size_t size() const { return size_; }

  // Item i, valid until the next call (an array's item is a new object that
  // this keeps alive until then).
  nb::handle operator[](size_t i) {
    if (!lazy_) return PySequence_Fast_GET_ITEM(seq_, Py_ssize_t(i));
    PyObject* item = PySequence_GetItem(seq_, Py_ssize_t(i));
    if (!item) raise_current();
    current_ = nb::steal(item);
    return current_;
  }

 private:
  PyObject* seq_;      // `value`, or owned_
  nb::object owned_;   // a list made from another kind of sequence
  nb::object current_;
  size_t size_ = 0;
  bool lazy_ = false;
};

}  // namespace

nb::object drop_unit_axes(nb::handle value, size_t ndim) {
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return nb::borrow(value);
  const nb::handle ndarray = numpy_ndarray();
  const int is_array = PyObject_IsInstance(value.ptr(), ndarray.ptr());
  if (is_array < 0) raise_current();
  if (is_array == 0) return nb::borrow(value);
  const nb::tuple shape = nb::borrow<nb::tuple>(value.attr("shape"));
  if (shape.size() <= ndim) return nb::borrow(value);
  size_t to_drop = shape.size() - ndim;
  nb::list kept;
  for (nb::handle extent : shape) {
    if (to_drop > 0 && nb::cast<Py_ssize_t>(extent) == 1) {
      --to_drop;
    } else {
      kept.append(extent);
    }
  }
  if (to_drop > 0) return nb::borrow(value);  // not one of those layouts: its own errors follow
  return value.attr("reshape")(nb::tuple(kept));
}

namespace {

// A numeric array where numbers are expected one by one: its items would be
// arrays, whose conversion error names neither the shape nor the remedy.
void require_flat(const NumericArray& array) {
  // An empty array is an empty sequence, whatever its other axes.
  if (!array.valid() || array.ndim() <= 1 || array.extent(0) == 0) return;
  std::string shape = "(";
  for (int axis = 0; axis < array.ndim(); ++axis)
    shape += (axis ? ", " : "") + std::to_string(array.extent(axis));
  throw nb::type_error(("expected a flat sequence of numbers, got an array of shape " + shape + ")").c_str());
}

// Output reserved ahead of converting a sequence's items (a huge array may
// fail at its first item); longer sequences grow as they convert.
constexpr size_t kReserveLimit = size_t(1) << 16;

// Appends the n floats of `value` (a sequence of exactly n numbers).
void append_fixed(nb::handle given, size_t n, std::vector<double>& out) {
  const nb::object value = drop_unit_axes(given, 1);
  NumericArray array(value);
  // The length is checked first, as for a list.
  if (array.valid() && array.extent(0) != n) raise_length(n, array.extent(0));
  require_flat(array);
  if (array.valid() && array.ndim() == 1) {
    if (array.extent(0) != n) raise_length(n, array.extent(0));
    for (size_t i = 0; i < n; ++i) out.push_back(array.f64(i));
    return;
  }
  Items items(value);
  if (items.size() != n) raise_length(n, items.size());
  const size_t at = out.size();
  out.resize(at + n);
  for (size_t i = 0; i < n; ++i) out[at + i] = to_f64(items[i]);
}

// Converts every item of the float sequence `value` and appends the first
// `limit` of them to `out`; returns the sequence's length. A numeric array is
// not read past `limit`.
size_t append_upto(nb::handle given, size_t limit, std::vector<double>& out) {
  const nb::object value = drop_unit_axes(given, 1);
  NumericArray array(value);
  require_flat(array);
  if (array.valid() && array.ndim() == 1) {
    const size_t n = array.extent(0), kept = std::min(n, limit);
    out.reserve(out.size() + kept);
    for (size_t i = 0; i < kept; ++i) out.push_back(array.f64(i));
    return n;
  }
  Items items(value);
  const size_t n = items.size();
  out.reserve(out.size() + std::min({n, limit, kReserveLimit}));
  for (size_t i = 0; i < n; ++i) {
    double v = to_f64(items[i]);
    if (i < limit) out.push_back(v);
  }
  return n;
}

}  // namespace

FloatList to_f64_list_upto(nb::handle value, size_t limit) {
  FloatList out;
  out.size = append_upto(value, limit, out.values);
  return out;
}

std::vector<double> to_f64_fixed(nb::handle value, size_t n) {
  std::vector<double> out;
  out.reserve(n);
  append_fixed(value, n, out);
  return out;
}

std::vector<double> to_f64_vector_fixed(nb::handle given, size_t n) {
  const nb::object value = drop_unit_axes(given, 1);
  NumericArray array(value);
  // A vector, or a column (n x 1), i.e. a sequence of n one-element rows.
  if (array.valid() && (array.ndim() == 1 || (array.ndim() == 2 && array.extent(1) == 1))) {
    if (array.extent(0) != n) raise_length(n, array.extent(0));
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = array.f64(i, 0);
    return out;
  }
  return to_f64_fixed(value, n);
}

std::vector<int32_t> to_i32_list(nb::handle given) {
  const nb::object value = drop_unit_axes(given, 1);
  NumericArray array(value);
  if (array.valid() && array.ndim() == 1 && array.is_integer()) {
    std::vector<int32_t> out(array.extent(0));
    for (size_t i = 0; i < out.size(); ++i) {
      if (!array.i32(i, out[i])) raise_overflow(kOutOfRange);
    }
    return out;
  }
  Items items(value);
  std::vector<int32_t> out;
  out.reserve(std::min(items.size(), kReserveLimit));
  for (size_t i = 0; i < items.size(); ++i) out.push_back(to_i32(items[i]));
  return out;
}

FloatRows to_f64_rows(nb::handle value, size_t max_rows, size_t max_width) {
  FloatRows out;
  NumericArray array(value);
  if (array.valid() && array.ndim() == 2) {
    out.count = array.extent(0);
    const size_t kept = std::min(out.count, max_rows), width = array.extent(1);
    out.lengths.assign(kept, width);
    out.rows.resize(kept);
    for (size_t r = 0; r < kept; ++r) {
      out.rows[r].resize(std::min(width, max_width));
      for (size_t c = 0; c < out.rows[r].size(); ++c) out.rows[r][c] = array.f64(r, c);
    }
    return out;
  }
  Items items(value);
  out.count = items.size();
  out.lengths.reserve(std::min(out.count, max_rows));
  out.rows.reserve(std::min(out.count, max_rows));
  std::vector<double> scratch;
  for (size_t r = 0; r < out.count; ++r) {
    // The rows of a numeric array all convert like its first one.
    if (array.valid() && r >= max_rows && r > 0) break;
    if (r < max_rows) {
      out.lengths.push_back(append_upto(items[r], max_width, out.rows.emplace_back()));
    } else {
      append_upto(items[r], 0, scratch);  // converted for its errors only
    }
  }
  return out;
}

std::vector<double> FloatItems::values() {
  if (pending_.valid()) {
    size_t total = 1;
    for (int axis = 0; axis < pending_.ndim(); ++axis) total *= pending_.extent(axis);
    std::vector<double> out(total);
    pending_.read_all(out.data());
    pending_ = NumericArray();
    return out;
  }
  return std::move(values_);
}

FloatItems to_f64_items(nb::handle given, size_t width) {
  const nb::object value = drop_unit_axes(given, 2);
  FloatItems out;
  NumericArray array(value);
  if (array.valid() && array.ndim() == 2 && array.extent(1) == width) {
    out.count_ = array.extent(0);
    out.pending_ = std::move(array);
    return out;
  }
  Items items(value);
  out.count_ = items.size();
  out.values_.reserve(std::min(out.count_, kReserveLimit) * width);
  for (size_t i = 0; i < out.count_; ++i) append_fixed(items[i], width, out.values_);
  return out;
}

namespace {

// Appends one rows x cols table, checking its row widths before its row count.
void append_table(nb::handle given, size_t rows, size_t cols, std::vector<double>& out) {
  const nb::object value = drop_unit_axes(given, 2);
  NumericArray array(value);
  if (array.valid() && array.ndim() == 2 && array.extent(1) == cols) {
    if (array.extent(0) != rows) raise_length(rows, array.extent(0));
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < cols; ++c) out.push_back(array.f64(r, c));
    return;
  }
  Items items(value);
  // The rows of a numeric array all convert like its first one: with a wrong
  // row count, that one alone tells whether a width or type error comes first.
  const bool count_ok = items.size() == rows;
  const size_t converted = array.valid() && !count_ok ? std::min<size_t>(items.size(), 1) : items.size();
  const size_t start = out.size();
  for (size_t r = 0; r < converted; ++r) append_fixed(items[r], cols, out);
  if (!count_ok) {
    out.resize(start);
    raise_length(rows, items.size());
  }
}

}  // namespace

FloatItems to_f64_tables(nb::handle given, size_t rows, size_t cols) {
  const nb::object value = drop_unit_axes(given, 3);
  FloatItems out;
  NumericArray array(value);
  if (array.valid() && array.ndim() == 3 && array.extent(1) == rows && array.extent(2) == cols) {
    out.count_ = array.extent(0);
    out.pending_ = std::move(array);
    return out;
  }
  Items items(value);
  out.count_ = items.size();
  out.values_.reserve(std::min(out.count_, kReserveLimit) * rows * cols);
  for (size_t i = 0; i < out.count_; ++i) append_table(items[i], rows, cols, out.values_);
  return out;
}

std::vector<std::array<double, 2>> to_point_list(nb::handle value) {
  FloatItems items = to_f64_items(value, 2);
  std::vector<double> flat = items.values();
  std::vector<std::array<double, 2>> out(items.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = {flat[2 * i], flat[2 * i + 1]};
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
uint64_t arg_u64(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_u64(value); });
}
std::string arg_str(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_str(value); });
}
std::vector<std::array<double, 2>> arg_point_list(const char* name, nb::handle value) {
  return convert_arg(name, [&] { return to_point_list(value); });
}

void check_instance(nb::handle value, bool is_instance, const char* class_name) {
  // The type's name is only looked up for a message: on the way of every
  // detection call it cost about 3 us when the caches were cold.
  auto type = [&] { return std::string(nb::type_name(value.type()).c_str()); };
  if (!is_instance) {
    throw nb::type_error(("'" + type() + "' object cannot be converted to '" + class_name + "'").c_str());
  }
  if (!nb::inst_ready(value)) {
    throw nb::type_error(("'" + type() + "' object is not initialized: " + class_name +
                          ".__init__ was never called on it").c_str());
  }
}

// ---- images ---------------------------------------------------------------

namespace {

void require_uint8_ndarray(nb::handle image, BufferView& buffer) {
  const nb::handle ndarray = numpy_ndarray();
  bool is_array = PyObject_IsInstance(image.ptr(), ndarray.ptr()) == 1;
  PyErr_Clear();
  if (is_array && buffer.acquire(image)) {
    const Py_buffer& view = buffer.get();
    const char* format = view.format ? view.format : "B";
    if (view.itemsize == 1 && (std::strcmp(format, "B") == 0 || std::strcmp(format, "=B") == 0 ||
                               std::strcmp(format, "<B") == 0 || std::strcmp(format, "|B") == 0)) {
      return;
    }
    buffer.release();
  }
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
  // An image argument means pool work is coming: a sleeping worker wakes
  // while the arguments are bound and the frame is copied.
  affinity::wake_workers();
  convert_arg(name, [&] { require_uint8_ndarray(image, buffer); });
}

std::vector<std::unique_ptr<ImageArg>> arg_image_list(const char* name, nb::handle images) {
  nb::object items = convert_arg(name, [&] {
    if (is_str(images)) throw nb::type_error("Can't extract `str` to `Vec`");
    const nb::handle ndarray = numpy_ndarray();
    if (PyObject_IsInstance(images.ptr(), ndarray.ptr()) == 1) {
      throw nb::type_error("expected a sequence of images, got a single numpy.ndarray (put one frame in a list)");
    }
    PyErr_Clear();
    if (!PySequence_Check(images.ptr())) {
      throw nb::type_error(("'" + py_type_name(images) + "' object cannot be converted to 'Sequence'").c_str());
    }
    PyObject* fast = PySequence_Fast(images.ptr(), "expected a sequence");
    if (!fast) raise_current();
    return nb::steal(fast);
  });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
  std::vector<std::unique_ptr<ImageArg>> out;
  out.reserve(size_t(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::string item_name = std::string(name) + "[" + std::to_string(i) + "]";
    out.push_back(std::make_unique<ImageArg>(item_name.c_str(),
                                             PySequence_Fast_GET_ITEM(items.ptr(), i)));
  }
  return out;
}

namespace {

// Frames larger than the machine's memory are refused up front: the copy
// would otherwise be killed by the kernel rather than fail cleanly.
void require_fits_in_memory(size_t bytes) {
  // Read once: each sysconf(_SC_PHYS_PAGES) is a sysinfo system call.
  static const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return;
  if (bytes / size_t(page) >= size_t(pages)) {
    PyErr_SetString(PyExc_MemoryError, "image is larger than the machine's memory");
    throw nb::python_error();
  }
}

}  // namespace

Frame frame_shape(const ImageArg& image) {
  const Py_buffer& v = image.buffer.get();
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
  const size_t total = frame.rows * frame.cols * frame.channels;
  if (total != 0) require_fits_in_memory(total);
  return frame;
}

constexpr size_t kCopyPiece = size_t(64) << 10;

static void copy_frame(const ImageArg& image, Frame& frame) {
  const Py_buffer& v = image.buffer.get();
  const size_t total = frame.rows * frame.cols * frame.channels;
  if (total == 0) return;
  // resize (which leaves the bytes unwritten), then one block copy: assigning
  // the range instead would copy byte by byte, since a vector with its own
  // allocator constructs element-wise.
  frame.data.resize(total);
  if (PyBuffer_IsContiguous(&v, 'C')) {
    // The frame is copied in pieces of kCopyPiece bytes on the pool: one
    // thread alone does not reach the memory's bandwidth (the source is
    // often out of every cache), and the copy comes before any parallel
    // work of the call. Small pieces let a worker that wakes late take over
    // the rest of the copy instead of one half of it. The kind of stores is
    // the pool's choice (see frame_copy_stores): on one host, stores that
    // bypass the caches saved about 8% of a two-thread call on a blank
    // 640x480 frame; on another, ordinary ones saved 7-10% at every size.
    const uint8_t* src = static_cast<const uint8_t*>(v.buf);
    uint8_t* dst = frame.data.data();
    const affinity::CopyStores stores = affinity::frame_copy_stores(total);
    const auto start = std::chrono::steady_clock::now();
    auto copy_piece = [&](size_t i) {
      const size_t begin = i * kCopyPiece, n = std::min(total - begin, kCopyPiece);
      if (stores == affinity::CopyStores::kStreaming)
        imgproc::stream_copy(dst + begin, src + begin, n);
      else
        std::memcpy(dst + begin, src + begin, n);
    };
    const size_t pieces = (total + kCopyPiece - 1) / kCopyPiece;
    if (pieces == 1)
      copy_piece(0);
    else
      affinity::parallel_for(pieces, copy_piece);
    affinity::frame_copy_done(
        stores, total,
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
            .count());
  } else {
    copy_strided(v, frame.rows, frame.cols, frame.channels, frame.data.data());
  }
}

GrayImage read_gray(const ImageArg& image) { return read_gray(image, frame_shape(image)); }

const uint8_t* gray_pixels_in_place(const ImageArg& image, const Frame& frame) {
  const Py_buffer& v = image.buffer.get();
  if (frame.channels != 1 || frame.rows * frame.cols == 0 || !PyBuffer_IsContiguous(&v, 'C'))
    return nullptr;
  return static_cast<const uint8_t*>(v.buf);
}

GrayImage unfilled_gray(Frame frame) {
  frame.data.resize(frame.rows * frame.cols * frame.channels);
  return to_gray(std::move(frame));
}

GrayImage read_gray(const ImageArg& image, Frame frame) {
  const Py_buffer& v = image.buffer.get();
  // A contiguous BGR frame is converted straight from the caller's buffer:
  // copying it first would move three times the gray image's bytes for
  // nothing. The conversion reads the same bytes either way.
  if (frame.channels == 3 && frame.rows * frame.cols != 0 && PyBuffer_IsContiguous(&v, 'C')) {
    return imgproc::bgr_to_gray(static_cast<const uint8_t*>(v.buf), uint32_t(frame.cols),
                                uint32_t(frame.rows));
  }
  copy_frame(image, frame);
  return to_gray(std::move(frame));
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

// ---- value semantics --------------------------------------------------------

#ifndef MARKVANE_VERSION
#define MARKVANE_VERSION "dev"
#endif

nb::tuple versioned_state(nb::object values) { return nb::make_tuple(nb::str(MARKVANE_VERSION), values); }

nb::object state_values(nb::handle state, const char* class_name) {
  const bool shaped = nb::isinstance<nb::tuple>(state) && nb::len(state) == 2 && nb::isinstance<nb::str>(state[0]);
  if (!shaped) {
    throw nb::value_error((std::string("not a pickled ") + class_name + " state").c_str());
  }
  const std::string made_by = nb::str(state[0]).c_str();
  if (made_by != MARKVANE_VERSION) {
    throw nb::value_error((std::string("cannot load a ") + class_name + " pickled by markvane " + made_by +
                           " into markvane " + MARKVANE_VERSION + "; recreate it with this version")
                              .c_str());
  }
  return nb::borrow(state[1]);
}

namespace {

// Exact comparison of plain values: floats bit for bit (so NaN equals NaN and
// -0.0 differs from 0.0), containers item by item.
bool same_value(nb::handle a, nb::handle b) {
  if (PyFloat_Check(a.ptr()) && PyFloat_Check(b.ptr())) {
    const double x = PyFloat_AS_DOUBLE(a.ptr()), y = PyFloat_AS_DOUBLE(b.ptr());
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  if ((PyTuple_Check(a.ptr()) || PyList_Check(a.ptr())) && (PyTuple_Check(b.ptr()) || PyList_Check(b.ptr()))) {
    if (nb::len(a) != nb::len(b)) return false;
    for (size_t i = 0; i < nb::len(a); ++i)
      if (!same_value(a[i], b[i])) return false;
    return true;
  }
  if (PyDict_Check(a.ptr()) && PyDict_Check(b.ptr())) {
    if (nb::len(a) != nb::len(b)) return false;
    for (auto [key, value] : nb::borrow<nb::dict>(a)) {
      PyObject* other = PyDict_GetItemWithError(b.ptr(), key.ptr());
      if (!other) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
      }
      if (!same_value(value, other)) return false;
    }
    return true;
  }
  const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (equal < 0) throw nb::python_error();
  return equal == 1;
}

}  // namespace

void add_value_equality(nb::handle cls, nb::object (*state)(nb::handle self)) {
  nb::object type = nb::borrow(cls);
  nb::setattr(cls, "__eq__", nb::cpp_function([type, state](nb::handle self, nb::handle other) -> nb::object {
    if (!nb::isinstance(other, type)) return nb::borrow(Py_NotImplemented);
    return nb::bool_(same_value(state(self), state(other)));
  }, nb::is_method()));
  nb::setattr(cls, "__hash__", nb::none());
}

// ---- dictionaries ---------------------------------------------------------

DictionaryName arg_dictionary_name(const char* name, nb::handle value) {
  return convert_arg(name, [&] {
    if (!PyUnicode_Check(value.ptr())) to_str(value);  // raises its TypeError
    DictionaryName out{nb::borrow(value), std::nullopt};
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size)) {
      out.utf8.emplace(data, size_t(size));
    } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
    } else {
      throw nb::python_error();
    }
    return out;
  });
}

const dictionary::Dictionary& lookup_dictionary(const DictionaryName& name) {
  const dictionary::Dictionary* dict = nullptr;
  if (name.utf8) dict = dictionary::shared_predefined_dictionary(*name.utf8);
  if (!dict) {
    nb::object message = nb::steal(PyUnicode_FromFormat("unknown dictionary: %U", name.given.ptr()));
    if (!message.is_valid()) throw nb::python_error();
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
  }
  return *dict;
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

// ---- publication ----------------------------------------------------------

namespace {

// A builtin function of the module and the nanobind function it forwards to.
// Both live as long as the process, like the module's classes (the module
// refuses sub-interpreters, so one table serves the one interpreter).
struct Published {
  PyMethodDef def{};
  std::string name;
  std::string doc;
  PyObject* target = nullptr;
};

constexpr size_t kMaxPublished = 16;
Published published[kMaxPublished];
size_t published_count = 0;

// One forwarder per table slot: the builtin's `self` is the module, so the
// slot names the target.
template <size_t Slot>
PyObject* forward(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return PyObject_Vectorcall(published[Slot].target, args, size_t(nargs), kwnames);
}

using Forwarder = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <size_t... Slot>
constexpr std::array<Forwarder, sizeof...(Slot)> forwarders(std::index_sequence<Slot...>) {
  return {&forward<Slot>...};
}

constexpr auto kForwarders = forwarders(std::make_index_sequence<kMaxPublished>());

}  // namespace

std::string nanobind_sig(const char* signature) { return std::string("def ") + signature; }

void publish_function(nb::module_& m, const char* signature, const char* doc) {
  if (published_count == kMaxPublished) throw std::runtime_error("too many published functions");
  Published& slot = published[published_count];
  const char* open = std::strchr(signature, '(');
  slot.name.assign(signature, open ? size_t(open - signature) : std::strlen(signature));
  // CPython reads "name(args)\n--\n\n" at the start of a builtin's docstring
  // as its text signature and shows the rest as __doc__.
  slot.doc = std::string(signature) + "\n--\n\n" + doc;
  nb::object target = m.attr(slot.name.c_str());
  slot.def.ml_name = slot.name.c_str();
  slot.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kForwarders[published_count]));
  slot.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  slot.def.ml_doc = slot.doc.c_str();
  nb::object builtin = nb::steal(PyCFunction_NewEx(&slot.def, m.ptr(), m.attr("__name__").ptr()));
  if (!builtin.is_valid()) raise_current();
  slot.target = target.release().ptr();
  ++published_count;
  m.attr(slot.name.c_str()) = builtin;
}

}  // namespace markvane::py
