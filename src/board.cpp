#include "board.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace markvane::board {

namespace {

// Marker indices and ChArUco ids are 32-bit; a board with more would not fit
// in memory anyway.
constexpr uint64_t kMaxIndex = std::numeric_limits<uint32_t>::max();

uint64_t chessboard_corner_count(uint32_t squares_x, uint32_t squares_y) {
  return squares_x < 2 || squares_y < 2 ? 0 : uint64_t(squares_x - 1) * (squares_y - 1);
}

// Square (row i, column j) carries a marker when (i + j) % 2 equals this.
// Normally the odd squares; the legacy layout of boards with an even number of
// rows puts a marker in the top-left square instead.
uint32_t marker_parity(uint32_t squares_y, bool legacy_pattern) {
  return legacy_pattern && squares_y % 2 == 0 ? 0 : 1;
}

// First marker column of `row`.
uint64_t first_marker_column(uint64_t row, uint32_t parity) { return (row + parity) % 2; }

// Markers among the first `cols` squares of `row`.
uint64_t markers_in_row_prefix(uint64_t row, uint64_t cols, uint32_t parity) {
  return first_marker_column(row, parity) == 0 ? (cols + 1) / 2 : cols / 2;
}

// Placement index of the marker in square (row, col), or of the first marker
// after it when the square carries none. Two consecutive rows together carry
// exactly squares_x markers.
uint64_t marker_index(uint64_t row, uint64_t col, uint64_t squares_x, uint32_t parity) {
  const uint64_t odd_row_extra = row % 2 == 1 ? markers_in_row_prefix(0, squares_x, parity) : 0;
  return (row / 2) * squares_x + odd_row_extra + markers_in_row_prefix(row, col, parity);
}

bool carries_marker(uint64_t row, uint64_t col, uint32_t parity) { return (row + col) % 2 == parity; }

Point2f centre_of(const std::array<Point2f, 4>& c) {
  const float sx = ((c[0].x + c[1].x) + c[2].x) + c[3].x;
  const float sy = ((c[0].y + c[1].y) + c[2].y) + c[3].y;
  return {sx * 0.25f, sy * 0.25f};
}

// Squared distance: differences in single precision, squares summed in double.
double squared_distance(Point2f a, Point2f b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return dx * dx + dy * dy;
}

void place_markers(CharucoBoard& b, const Vec<uint32_t>* ids, uint64_t count) {
  if (count == 0) return;  // a board without markers may still have billions of rows
  const uint32_t parity = marker_parity(b.squares_y, b.legacy_pattern);
  const float m = (b.square_length - b.marker_length) * 0.5f;
  const float ml = b.marker_length;
  b.marker_object_points.reserve(count);
  for (uint64_t i = 0; i < b.squares_y; ++i) {
    for (uint64_t j = first_marker_column(i, parity); j < b.squares_x; j += 2) {
      const float x = m + b.square_length * float(j);
      const float y = m + b.square_length * float(i);
      b.marker_object_points.push_back({Point2f{x, y}, Point2f{x + ml, y}, Point2f{x + ml, y + ml},
                                        Point2f{x, y + ml}});
    }
  }
  if (ids != nullptr) {
    b.ids = *ids;
  } else {
    b.ids.resize(count);
    for (uint64_t k = 0; k < count; ++k) b.ids[k] = uint32_t(k);
  }
}

void index_ids(CharucoBoard& b) {
  auto& table = b.first_marker_of_id;
  table.resize(b.ids.size());
  for (size_t k = 0; k < b.ids.size(); ++k) table[k] = {b.ids[k], uint32_t(k)};
  std::stable_sort(table.begin(), table.end(),
                   [](const auto& a, const auto& c) { return a.first < c.first; });
  table.erase(std::unique(table.begin(), table.end(),
                          [](const auto& a, const auto& c) { return a.first == c.first; }),
              table.end());
}

// The markers whose centres are nearest to the chessboard corner p at square
// corner (row, col). The rule is a running list over the markers in index
// order, seeded with marker 0: a marker whose squared centre distance is
// within (0.01 * square_length)^2 of the current minimum joins the list and
// becomes the minimum; a clearly nearer one replaces the list.
//
// Only marker 0 and the two markers of the four squares around the corner are
// run through it. On the grid, squared centre distances from a corner are
// (a^2 + b^2) / 4 square lengths squared for odd a, b: the two diagonal
// neighbours share the smallest, 1/2, and every other marker is at least 5/2,
// two squared square lengths beyond a tolerance of 1e-4 of one. So before the
// first neighbour no other marker can outlast it (it replaces whatever list
// the others built, as it replaces a far marker 0), and after it none can
// join or replace: the list equals the one over every marker, at a cost that
// does not grow with the board. This holds while the centres' rounding stays
// far below a square (boards under about a million squares a side) and the
// tolerance is finite in single precision (|square_length| below ~1.8e21;
// beyond that the running rule would list every marker for every corner).
// Degenerate lengths (0, NaN, infinite) make every comparison fail or tie,
// and both forms then keep marker 0 alone.
MarkerIndices nearest_markers(const CharucoBoard& b, Point2f p, uint64_t row, uint64_t col) {
  const uint32_t parity = marker_parity(b.squares_y, b.legacy_pattern);
  const float tol_root = 0.01f * b.square_length;
  const double tolerance = double(tol_root * tol_root);

  MarkerIndices order;
  order.push_back(0);
  for (uint64_t r = row - 1; r <= row; ++r) {
    for (uint64_t c = col - 1; c <= col; ++c) {
      if (!carries_marker(r, c, parity)) continue;
      const auto k = uint32_t(marker_index(r, c, b.squares_x, parity));
      if (k != 0) order.push_back(k);
    }
  }

  MarkerIndices list;
  double minimum = 0.0;
  for (size_t n = 0; n < order.size(); ++n) {
    const uint32_t k = order[n];
    const double d = squared_distance(p, centre_of(b.marker_object_points[k]));
    if (n == 0) {
      list.push_back(k);
      minimum = d;
    } else if (std::abs(d - minimum) < tolerance) {
      list.push_back(k);
      minimum = d;
    } else if (d < minimum) {
      list.clear();
      list.push_back(k);
      minimum = d;
    }
  }
  return list;
}

// For each listed marker, its corner closest to p (ties keep the lower index).
MarkerCornerIndices touching_corners(const CharucoBoard& b, Point2f p, const MarkerIndices& markers) {
  MarkerCornerIndices out;
  for (uint32_t k : markers) {
    const auto& corners = b.marker_object_points[k];
    uint8_t best = 0;
    double best_d = std::numeric_limits<double>::infinity();
    for (uint8_t n = 0; n < 4; ++n) {
      const double dx = double(corners[n].x) - double(p.x);
      const double dy = double(corners[n].y) - double(p.y);
      const double d = dx * dx + dy * dy;
      if (n == 0 || d < best_d) {
        best = n;
        best_d = d;
      }
    }
    out.push_back(best);
  }
  return out;
}

void place_chessboard_corners(CharucoBoard& b) {
  const uint64_t count = chessboard_corner_count(b.squares_x, b.squares_y);
  if (count == 0) return;
  b.chessboard_corners.reserve(count);
  b.nearest_marker_idx.reserve(count);
  b.nearest_marker_corners.reserve(count);
  for (uint64_t r = 1; r < b.squares_y; ++r) {
    for (uint64_t c = 1; c < b.squares_x; ++c) {
      const Point2f p{b.square_length * float(c), b.square_length * float(r)};
      b.chessboard_corners.push_back(p);
      b.nearest_marker_idx.push_back(nearest_markers(b, p, r, c));
      b.nearest_marker_corners.push_back(touching_corners(b, p, b.nearest_marker_idx.back()));
    }
  }
}

}  // namespace

uint64_t marker_count(uint32_t squares_x, uint32_t squares_y, bool legacy_pattern) {
  return marker_index(squares_y, 0, squares_x, marker_parity(squares_y, legacy_pattern));
}

uint64_t board_bytes(uint32_t squares_x, uint32_t squares_y, bool legacy_pattern) {
  constexpr uint64_t kPerMarker =
      sizeof(uint32_t) + sizeof(std::array<Point2f, 4>) + sizeof(std::pair<uint32_t, uint32_t>);
  constexpr uint64_t kPerCorner = sizeof(Point2f) + sizeof(MarkerIndices) + sizeof(MarkerCornerIndices);
  const uint64_t markers = marker_count(squares_x, squares_y, legacy_pattern);
  const uint64_t corners = chessboard_corner_count(squares_x, squares_y);
  if (markers > kMaxIndex || corners > kMaxIndex) return std::numeric_limits<uint64_t>::max();
  return markers * kPerMarker + corners * kPerCorner;
}

CharucoBoard make_board(uint32_t squares_x, uint32_t squares_y, float square_length, float marker_length,
                        const Vec<uint32_t>* ids, bool legacy_pattern) {
  const uint64_t count = marker_count(squares_x, squares_y, legacy_pattern);
  if (count > kMaxIndex || chessboard_corner_count(squares_x, squares_y) > kMaxIndex) throw std::bad_alloc();

  CharucoBoard b;
  b.squares_x = squares_x;
  b.squares_y = squares_y;
  b.square_length = square_length;
  b.marker_length = marker_length;
  b.width = square_length * float(squares_x);
  b.height = square_length * float(squares_y);
  b.legacy_pattern = legacy_pattern;
  place_markers(b, ids, count);
  index_ids(b);
  place_chessboard_corners(b);
  return b;
}

std::optional<uint32_t> first_marker_with_id(const CharucoBoard& board, int64_t id) {
  if (id < 0 || id > int64_t(std::numeric_limits<uint32_t>::max())) return std::nullopt;
  const auto& table = board.first_marker_of_id;
  auto it = std::lower_bound(table.begin(), table.end(), uint32_t(id),
                             [](const auto& entry, uint32_t v) { return entry.first < v; });
  if (it == table.end() || it->first != uint32_t(id)) return std::nullopt;
  return it->second;
}

}  // namespace markvane::board
