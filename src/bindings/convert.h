// Argument conversion shared by every Python-facing function: the
// "argument '<name>': " prefix on type and overflow errors, sequence and
// NumPy array intake, image intake (read_gray), access to the
// records behind module class instances, result building, and the
// publication of functions with a text signature. Only binding files include
// this.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "dictionary.h"
#include "types.h"

namespace markvane::py {

namespace nb = nanobind;

// Owned, contiguous row-major copy of a NumPy image; never aliases the caller's
// array, so the interpreter lock can be released while it is read.
struct Frame {
  WorkVec<uint8_t> data;
  size_t rows = 0;
  size_t cols = 0;
  size_t channels = 1;
};

// Runs `convert`; a TypeError or OverflowError it raises is replaced by one of
// the same kind whose message is prefixed with "argument '<name>': " (the
// original's cause is kept). Other errors pass through unchanged.
template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert());

[[noreturn]] void rethrow_with_arg_prefix(const char* name, nb::python_error& error);

// The Python exception a nanobind builtin exception stands for.
nb::python_error as_python_error(const nb::builtin_exception& error);

template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (nb::python_error& error) {
    if (error.matches(PyExc_TypeError) || error.matches(PyExc_OverflowError)) {
      rethrow_with_arg_prefix(name, error);
    }
    throw;
  } catch (nb::builtin_exception& error) {
    if (error.type() != nb::exception_type::type_error) throw;
    nb::python_error raised = as_python_error(error);
    rethrow_with_arg_prefix(name, raised);
  }
}

// One exported buffer of a Python object, released when this is destroyed:
// an error raised while the buffer is held cannot leave the exporter pinned
// (a NumPy array with an export can be neither resized nor freed).
class BufferView {
 public:
  BufferView() = default;
  ~BufferView() { release(); }
  BufferView(BufferView&& other) noexcept;
  BufferView& operator=(BufferView&& other) noexcept;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // Exports `object`'s buffer with strides and format. False, with no Python
  // error left set, when it has none.
  bool acquire(nb::handle object);
  void release();
  bool held() const { return held_; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_;  // filled by acquire; only read while held_
  bool held_ = false;
};

// A NumPy-style array of a bool, integer or floating dtype in native byte
// order, read through its buffer. Every element of such an array converts to
// a float (and, for integer dtypes, to an int) without error, so its shape
// alone decides whether and how a conversion fails: that is what lets the
// converters check a shape before they read any element.
class NumericArray {
 public:
  NumericArray() = default;
  // An invalid (empty) array, and no error, for any other object.
  explicit NumericArray(nb::handle value);

  bool valid() const { return buffer_.held(); }
  bool is_integer() const { return kind_ == 'i' || kind_ == 'u'; }
  int ndim() const { return buffer_.get().ndim; }
  size_t extent(int axis) const { return size_t(buffer_.get().shape[axis]); }
  // Element at index (i, j, k) of the first one to three axes; indices of
  // axes the array does not have are ignored.
  double f64(size_t i, size_t j = 0, size_t k = 0) const;
  // Integer element as an int32; false when it does not fit.
  bool i32(size_t i, int32_t& out) const;
  // Every element in row-major order (at most three axes).
  void read_all(double* out) const;

 private:
  const char* address(size_t i, size_t j, size_t k) const;

  BufferView buffer_;
  char kind_ = 0;  // 'b' bool, 'i' signed, 'u' unsigned, 'f' floating
};

// Plain conversions of one Python value (raise TypeError / OverflowError).
double to_f64(nb::handle value);
int32_t to_i32(nb::handle value);
uint32_t to_u32(nb::handle value);
// A non-negative integer that fits in 64 bits (OverflowError otherwise).
uint64_t to_u64(nb::handle value);
bool to_strict_bool(nb::handle value);
std::string to_str(nb::handle value);

// Sequence arguments accept any sequence except str ("Can't extract `str` to
// `Vec`"); a wrong length raises "expected a sequence of length N (got M)".
// Numeric NumPy arrays (and other numeric buffers) of the expected shape are
// read directly; any other array is indexed item by item rather than expanded
// into a list, so a huge array of the wrong shape fails at its first item.

// OpenCV hands out points as (N, 1, 2) or (1, N, 2) arrays, vectors as (3, 1)
// or (1, 3), distortion as (1, N) and ids as (N, 1). A NumPy array with more
// than `ndim` axes is read through a view without its first unit axes, down to
// `ndim`; any other value (or an array with too few unit axes) as it is. Every
// sequence converter below applies this to its argument and to each item.
nb::object drop_unit_axes(nb::handle value, size_t ndim);

// Exactly n floats.
std::vector<double> to_f64_fixed(nb::handle value, size_t n);
// Exactly n floats, also given as an n x 1 column.
std::vector<double> to_f64_vector_fixed(nb::handle value, size_t n);
// A sequence of ints that fit in 32 bits.
std::vector<int32_t> to_i32_list(nb::handle value);
// A sequence of (x, y) pairs.
std::vector<std::array<double, 2>> to_point_list(nb::handle value);

// A float sequence whose length is checked later: only the first `limit`
// values are kept (a longer array is not read past them), `size` is the
// whole length.
struct FloatList {
  size_t size = 0;
  std::vector<double> values;
};
FloatList to_f64_list_upto(nb::handle value, size_t limit);

// Rows of floats of any lengths whose shape is checked later. `count` is the
// number of rows; the first min(count, max_rows) rows are kept with their full
// lengths and their first max_width values. Rows of a numeric array beyond
// those are not read (they cannot fail to convert); every row of any other
// sequence is converted, so its type errors still surface in order.
struct FloatRows {
  size_t count = 0;
  std::vector<size_t> lengths;
  std::vector<std::vector<double>> rows;
};
FloatRows to_f64_rows(nb::handle value, size_t max_rows, size_t max_width);

// A sequence of items of one fixed float shape (rows of `width` floats, or
// tables of rows x cols floats), flattened row-major. A numeric array that
// has exactly that shape is held as a view and copied only by values(): the
// callers check the item count first, so a huge array that fails those checks
// is never copied.
class FloatItems {
 public:
  size_t size() const { return count_; }
  // All values, item by item; reads (and then releases) a held array.
  std::vector<double> values();

 private:
  friend FloatItems to_f64_items(nb::handle value, size_t width);
  friend FloatItems to_f64_tables(nb::handle value, size_t rows, size_t cols);

  size_t count_ = 0;
  std::vector<double> values_;
  NumericArray pending_;
};
// Rows of exactly `width` floats.
FloatItems to_f64_items(nb::handle value, size_t width);
// Tables of exactly rows x cols floats; a table's row widths are checked
// before its row count.
FloatItems to_f64_tables(nb::handle value, size_t rows, size_t cols);

// Named-argument forms of the above.
double arg_f64(const char* name, nb::handle value);
int32_t arg_i32(const char* name, nb::handle value);
uint32_t arg_u32(const char* name, nb::handle value);
uint64_t arg_u64(const char* name, nb::handle value);
std::string arg_str(const char* name, nb::handle value);
std::vector<std::array<double, 2>> arg_point_list(const char* name, nb::handle value);

// The C++ record behind an instance of a module class. Objects of another
// type, and instances whose __init__ never ran (made with __new__ alone, so
// they hold no record), raise TypeError instead of reaching the record.
void check_instance(nb::handle value, bool is_instance, const char* class_name);
template <class T>
T& instance_of(nb::handle value, const char* class_name) {
  check_instance(value, nb::isinstance<T>(value), class_name);
  return *nb::inst_ptr<T>(value);
}

// Image intake: a NumPy uint8 array of any strides; 2-D gray or 3-D with 1 or 3
// channels. Binding (ImageArg) raises the prefixed TypeError and holds a
// read-only view until read_gray has copied it; frame_shape raises the
// ValueErrors of the fixed messages (and MemoryError for impossible sizes).
struct ImageArg {
  ImageArg(const char* name, nb::handle image);

  // Constructed before the constructor body runs, so a buffer taken by a
  // binding that then fails is released with it.
  BufferView buffer;
};
GrayImage to_gray(Frame&& frame);
// The frame as a gray image: checked by frame_shape, then copied (or
// converted from BGR).
GrayImage read_gray(const ImageArg& image);
// The same in two steps: the checks (with their errors), then the copy. The
// copy calls no Python API, so worker threads may run it while the calling
// thread holds the interpreter lock and the view.
Frame frame_shape(const ImageArg& image);
GrayImage read_gray(const ImageArg& image, Frame frame);
// The pixels of a checked frame that are a gray image as they stand (one
// channel, C-contiguous, not empty), read in place; null for any other.
const uint8_t* gray_pixels_in_place(const ImageArg& image, const Frame& frame);
// A gray image of the frame's size whose pixels are not yet written.
GrayImage unfilled_gray(Frame frame);

// A sequence of images (any sequence but a str, and not a single array, which
// would otherwise pass as a sequence of its rows), every element bound as an
// ImageArg named name[i]. The views are held until the caller lets go.
std::vector<std::unique_ptr<ImageArg>> arg_image_list(const char* name, nb::handle images);

// A dictionary name as the caller passed it. The error for an unknown name
// quotes the original str, so embedded NULs and characters UTF-8 cannot encode
// (lone surrogates) come back exactly as given.
struct DictionaryName {
  nb::object given;
  std::optional<std::string> utf8;  // absent when not encodable: no dictionary has such a name
};
DictionaryName arg_dictionary_name(const char* name, nb::handle value);
// The predefined dictionary, or ValueError "unknown dictionary: <name>".
const dictionary::Dictionary& lookup_dictionary(const DictionaryName& name);

// A read-only property of a module class, with `doc` (or the getter's own
// text when null); deleting it raises the module's usual AttributeError.
template <class Getter>
void add_readonly(nb::handle cls, const char* name, Getter getter, const char* doc = nullptr) {
  nb::object deleter =
      nb::cpp_function([](nb::handle) { throw nb::attribute_error("can't delete attribute"); });
  nb::object property = nb::module_::import_("builtins").attr("property");
  nb::setattr(cls, name,
              property(nb::cpp_function(getter), nb::none(), deleter, doc ? nb::object(nb::str(doc)) : nb::none()));
}

// Value semantics for module classes whose state is a tuple of plain Python
// values: pickling and copying go through `__getstate__` / `__setstate__`,
// equality compares the states value for value (floats by their exact
// value, NaN equal to NaN), and `__hash__` is None since instances may change.
// A state records the package version that made it; loading one made by
// another version raises ValueError instead of misreading it.
nb::tuple versioned_state(nb::object values);
nb::object state_values(nb::handle state, const char* class_name);
void add_value_equality(nb::handle cls, nb::object (*state)(nb::handle self));

// (corners, ids) as fresh Python lists.
nb::tuple to_result(const Vec<Detection>& detections);

// Replaces the nanobind function `m.<name>` by a builtin function whose
// docstring starts with the text signature `signature` ("name(args)") and
// then holds `doc`. Calls are forwarded unchanged; the builtin gives the
// function a __text_signature__, so inspect.signature and editors see its
// parameters.
void publish_function(nb::module_& m, const char* signature, const char* doc);
// The same signature in the form nanobind's nb::sig takes ("def name(args)"),
// which its argument-mismatch messages show.
std::string nanobind_sig(const char* signature);

}  // namespace markvane::py
