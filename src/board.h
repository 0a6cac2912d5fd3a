// ChArUco board geometry: a chessboard whose white squares carry markers.
// Everything a frame needs is precomputed once, so a board is built once and
// then only read, by any number of threads at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "types.h"

namespace markvane::board {

// A short list of fixed capacity, for the per-corner neighbour lists: a
// chessboard corner touches four squares, two of which carry markers, so the
// lists hold one or two entries and a heap allocation per corner would be
// waste.
template <class T, size_t N>
struct SmallList {
  std::array<T, N> items{};
  uint8_t count = 0;

  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  T operator[](size_t i) const { return items[i]; }
  const T* begin() const { return items.data(); }
  const T* end() const { return items.data() + count; }
  void push_back(T v) { items[count++] = v; }
  void clear() { count = 0; }
};

// Marker 0 seeds every nearest-marker search ahead of the two marker squares
// around the corner; see nearest_markers in board.cpp.
inline constexpr size_t kMaxNearest = 3;
using MarkerIndices = SmallList<uint32_t, kMaxNearest>;
using MarkerCornerIndices = SmallList<uint8_t, kMaxNearest>;

// Board coordinates: origin at the outer top-left corner of the board, x along
// a row of squares, y down a column, in the unit of square_length. Every point
// of the board lies in its z = 0 plane, so only x and y are stored.
struct CharucoBoard {
  Vec<uint32_t> ids;                                // marker id per marker, placement order
  Vec<std::array<Point2f, 4>> marker_object_points;  // TL, TR, BR, BL per marker
  Vec<Point2f> chessboard_corners;                   // interior corners, row-major; index = ChArUco id
  Vec<MarkerIndices> nearest_marker_idx;             // per chessboard corner
  Vec<MarkerCornerIndices> nearest_marker_corners;   // parallel to nearest_marker_idx
  uint32_t squares_x = 0;
  uint32_t squares_y = 0;
  float square_length = 0.0f;
  float marker_length = 0.0f;
  float width = 0.0f;
  float height = 0.0f;
  bool legacy_pattern = false;
  // (id, first marker index carrying it), sorted by id: ids may repeat, and
  // every lookup by id wants the first marker in placement order.
  Vec<std::pair<uint32_t, uint32_t>> first_marker_of_id;
};

// The number of markers a board of this layout carries (it needs no ids).
uint64_t marker_count(uint32_t squares_x, uint32_t squares_y, bool legacy_pattern);

// Heap bytes make_board needs for this layout, at least; lets a caller refuse
// a board that cannot fit in memory before anything is allocated.
uint64_t board_bytes(uint32_t squares_x, uint32_t squares_y, bool legacy_pattern);

// Lays out the board. `ids` (when given) must hold marker_count(...) entries;
// the caller checks that. Throws std::bad_alloc for layouts whose markers
// cannot be indexed in 32 bits or stored.
CharucoBoard make_board(uint32_t squares_x, uint32_t squares_y, float square_length, float marker_length,
                        const Vec<uint32_t>* ids, bool legacy_pattern);

// Index of the first marker carrying `id`, if any.
std::optional<uint32_t> first_marker_with_id(const CharucoBoard& board, int64_t id);

}  // namespace markvane::board
