// Argument conversion shared by every Python-facing function: the
// "argument '<name>': " prefix on type errors, image intake (extract_frame,
// to_gray) and result building. Only binding files include this.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "types.h"

namespace markvane::py {

namespace nb = nanobind;

// Owned, contiguous row-major copy of a NumPy image; never aliases the caller's
// array, so the interpreter lock can be released while it is read.
struct Frame {
  Vec<uint8_t> data;
  size_t rows = 0;
  size_t cols = 0;
  size_t channels = 1;
};

// Runs `convert`; a TypeError it raises is replaced by one whose message is
// prefixed with "argument '<name>': " (the original's cause is kept). Other
// errors pass through unchanged.
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
    if (error.matches(PyExc_TypeError)) rethrow_with_arg_prefix(name, error);
    throw;
  } catch (nb::builtin_exception& error) {
    if (error.type() != nb::exception_type::type_error) throw;
    nb::python_error raised = as_python_error(error);
    rethrow_with_arg_prefix(name, raised);
  }
}

// Plain conversions of one Python value (raise TypeError / OverflowError).
double to_f64(nb::handle value);
int32_t to_i32(nb::handle value);
uint32_t to_u32(nb::handle value);
bool to_strict_bool(nb::handle value);
std::string to_str(nb::handle value);
// Any sequence except str ("Can't extract `str` to `Vec`").
std::vector<double> to_f64_list(nb::handle value);
// A sequence of exactly n floats ("expected a sequence of length N (got M)").
std::vector<double> to_f64_fixed(nb::handle value, size_t n);
// A sequence (not str) of (x, y) pairs.
std::vector<std::array<double, 2>> to_point_list(nb::handle value);

// to_f64_list / to_f64_fixed with a direct read of 1-D float64/float32
// buffers (NumPy arrays); same results and messages.
std::vector<double> to_f64_vector(nb::handle value);
std::vector<double> to_f64_vector_fixed(nb::handle value, size_t n);
// A non-negative integer that fits in 64 bits (OverflowError otherwise).
uint64_t to_u64(nb::handle value);
// Any sequence except str, of 32-bit ints.
std::vector<int32_t> to_i32_list(nb::handle value);
// A sequence (not str) of rows, each a sequence of floats of any length
// (2-D float buffers are read directly).
std::vector<std::vector<double>> to_f64_rows(nb::handle value);
// A sequence (not str) of rows of exactly `width` floats, flattened row-major.
// A wrong row length raises "expected a sequence of length N (got M)". 2-D
// float64/float32 buffers (NumPy arrays) are read directly.
std::vector<double> to_f64_table(nb::handle value, size_t width);
// A sequence (not str) of tables, each exactly `rows` x `cols` floats (as for
// to_f64_table, plus "expected a sequence of length <rows> (got M)"); each
// table flattened row-major.
std::vector<std::vector<double>> to_f64_tables(nb::handle value, size_t rows, size_t cols);

// Named-argument forms of the above.
double arg_f64(const char* name, nb::handle value);
int32_t arg_i32(const char* name, nb::handle value);
uint32_t arg_u32(const char* name, nb::handle value);
std::string arg_str(const char* name, nb::handle value);
std::vector<std::array<double, 2>> arg_point_list(const char* name, nb::handle value);

// Image intake: a NumPy uint8 array of any strides; 2-D gray or 3-D with 1 or 3
// channels. Binding (ImageArg) raises the prefixed TypeError and holds a
// read-only view until extract_frame has copied it; extract_frame raises the
// ValueErrors of the fixed messages (and MemoryError for impossible sizes).
struct ImageArg {
  ImageArg(const char* name, nb::handle image);
  ~ImageArg();
  ImageArg(const ImageArg&) = delete;
  ImageArg& operator=(const ImageArg&) = delete;

  Py_buffer view{};
  bool held = false;
};
Frame extract_frame(const ImageArg& image);
GrayImage to_gray(Frame&& frame);

// (corners, ids) as fresh Python lists.
nb::tuple to_result(const Vec<Detection>& detections);

}  // namespace markvane::py
