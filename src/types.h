// Records shared by every stage of the pipeline.
//
// Pixel convention: x is the column, y the row, both growing away from the
// top-left pixel, whose centre is (0, 0). The AprilTag quad path is the one
// exception: there pixel column i spans [i, i + 1), and its corners are passed
// on in that convention without a half-pixel shift.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include <mimalloc.h>

// A hot loop compiled twice, for AVX2 and for the baseline, the version picked
// when the module loads. Clones must compute the same bits: no contraction
// and no fast-math anywhere in the build, so only the lane width differs.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define MV_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define MV_CLONES(...)
#endif

// Lets GCC vectorise a loop of floating-point comparisons and selects, which
// it otherwise keeps scalar in case a comparison traps. The values are the
// same; only the floating-point exception flags could differ, and nothing
// here reads them.
#if defined(__GNUC__) && !defined(__clang__)
#define MV_NO_TRAPPING_MATH __attribute__((optimize("no-trapping-math")))
#else
#define MV_NO_TRAPPING_MATH
#endif

namespace markvane {

// All sizeable buffers of the module live on mimalloc's heap; the interpreter's
// allocator and other extensions are left alone. Exhaustion throws
// std::bad_alloc (a MemoryError in Python) instead of aborting the process.
template <class T>
struct MiAllocator {
  using value_type = T;
  MiAllocator() noexcept = default;
  template <class U>
  MiAllocator(const MiAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned element type");
    if (n > size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    void* p = mi_malloc(n * sizeof(T));
    if (p == nullptr && n != 0) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { mi_free(p); }

  template <class U>
  bool operator==(const MiAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, MiAllocator<T>>;

// A mimalloc vector whose resize leaves trivially constructible elements
// uninitialised: for work arrays that are written in full before they are
// read, where zero-filling would be a wasted pass over memory.
template <class T>
struct UninitAllocator : MiAllocator<T> {
  UninitAllocator() noexcept = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using WorkVec = std::vector<T, UninitAllocator<T>>;

struct Point2f {
  float x = 0.0f;
  float y = 0.0f;
};

struct Point2i {
  int32_t x = 0;
  int32_t y = 0;
};

using Quad = std::array<Point2f, 4>;

// Single-channel 8-bit image, row-major, row stride == width.
struct GrayImage {
  uint32_t width = 0;
  uint32_t height = 0;
  WorkVec<uint8_t> data;  // every producer writes all of it

  bool empty() const { return width == 0 || height == 0; }
  uint8_t at(uint32_t x, uint32_t y) const { return data[size_t(y) * width + x]; }
};

// A quadrilateral that may be a marker, corners in contour order.
struct Candidate {
  Quad corners;
};

// An identified marker. Corner 0 is the printed top-left corner; corners 1, 2, 3
// follow clockwise as seen in the image (top-right, bottom-right, bottom-left).
struct Detection {
  Quad corners;
  int32_t id = 0;
};

}  // namespace markvane
