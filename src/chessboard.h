// Chessboard corner finder for plain black-and-white calibration boards.
//
// The gray image is binarised (a global Otsu threshold first, then a cascade
// of local-mean thresholds), dark regions are shrunk by one pixel so that
// diagonally touching black squares come apart, every dark blob with a
// plausible quadrilateral outline becomes a quad, quad corners that nearly
// meet are joined, and each meeting point of exactly two quads is an inner
// board corner. The corners are put into a grid by breadth-first distances
// from the grid's extreme corners and refined to sub-pixel accuracy.
//
// Only when that whole cascade finds nothing, its quads are linked again
// with a radius widened by the fixed gap erosion leaves at a board corner
// (small squares), then the global threshold is eroded a second time
// (printed squares that overlap at their corners), then the cascade's
// outlines are simplified again from across their width where the usual
// simplification mistook a square seen at a steep slant, and last every
// attempt's quads are linked across the wider gap sharp corners leave, where
// two corners face each other.
//
// Output order is image based: corner 0 is the top-left inner corner, the
// first row runs to the right, rows advance downwards (image y grows down);
// index = row * cols + col. Coordinates follow the pixel-centre convention of
// types.h.
#pragma once

#include <cstdint>
#include <optional>

#include "types.h"

namespace markvane::chessboard {

// cols inner corners per row, rows inner corners per column; both >= 3.
struct PatternSize {
  uint32_t cols = 0;
  uint32_t rows = 0;
};

// The cols * rows refined inner corners in grid order, or nothing.
std::optional<Vec<Point2f>> find_chessboard_corners(const GrayImage& gray, PatternSize pattern);

// One search on a finished binarisation: `labels` is the padded
// (W + 2) x (H + 2) label image (1 = dark) of `gray`. Its quads are linked
// with the usual radius, then, if that finds nothing, the widened one.
std::optional<Vec<Point2f>> detect_thresholded(const GrayImage& gray, const Vec<uint8_t>& labels,
                                               PatternSize pattern);

// Otsu's threshold of the gray histogram: pixels at or below it are dark.
uint8_t otsu_threshold(const GrayImage& gray);

// Window sizes of the local-threshold cascade, ascending and distinct:
// about a fifth and a tenth of the shorter image side (odd, at least 3) and 31.
Vec<int32_t> local_threshold_windows(uint32_t width, uint32_t height);

}  // namespace markvane::chessboard
