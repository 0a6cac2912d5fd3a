// ChArUco corner detection and board pose. The markers found in a frame say
// which chessboard corner is which: each detected marker's homography
// predicts the interior corners next to it, the predictions are refined to
// sub-pixel accuracy, and corners without enough marker support or with an
// inconsistent neighbourhood are dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "board.h"
#include "dictionary.h"
#include "params.h"
#include "pnp.h"
#include "types.h"

namespace markvane::charuco {

// Predicted position of a chessboard corner that no marker predicts.
inline constexpr Point2f kNotPredicted{-1.0f, -1.0f};
// Refinement half-window of a corner no detected marker is next to.
inline constexpr int32_t kNoWindow = -1;

struct CharucoResult {
  Vec<Point2f> corners;   // refined, in increasing ChArUco id
  Vec<uint32_t> ids;      // chessboard-corner index of each corner
  Vec<Detection> markers;  // every detected marker, detection order
};

struct Prediction {
  Vec<Point2f> positions;  // per chessboard corner; kNotPredicted when none
  Vec<int32_t> windows;    // per chessboard corner; kNoWindow when unknown
};

// Position of every chessboard corner predicted through the homographies of
// the detected markers next to it (the mean of the first two estimates).
Vec<Point2f> interpolate_local_hom(const board::CharucoBoard& board, std::span<const Detection> markers);

// Refinement half-window of every predicted corner: the distance to the
// nearest touching corner of a detected neighbour marker, less 2, in 1..10.
Vec<int32_t> max_sub_pix_win_sizes(const board::CharucoBoard& board, std::span<const Detection> markers,
                                   std::span<const Point2f> predicted);

// Detects the board's markers and predicts its corners, without refinement
// or filtering. The precondition of detector::detect_markers applies.
Prediction predict(const GrayImage& gray, const board::CharucoBoard& board,
                   const dictionary::Dictionary& dict, const DetectorParams& params);

// The whole detection. min_markers must be 0, 1 or 2 (the caller checks);
// the precondition of detector::detect_markers applies.
CharucoResult detect_board(const GrayImage& gray, const board::CharucoBoard& board,
                           const dictionary::Dictionary& dict, const DetectorParams& params,
                           int32_t min_markers, bool check_markers);

// Board points of the given ChArUco ids (z = 0), or the message for the first
// id that is not a chessboard corner of the board.
std::variant<pnp::Points3, std::string> object_points(const board::CharucoBoard& board,
                                                      std::span<const uint64_t> ids);

// True when every point lies within 1e-6 of one line through the first point
// in the board's plane (coincident points included).
bool collinear(std::span<const pnp::Vec3> object);

// Iterative PnP on the corners, or nothing for fewer than four pairs, points
// on one line, or a failed solve.
std::optional<pnp::Pose> estimate_pose(std::span<const pnp::Vec3> object, std::span<const pnp::Vec2> image,
                                       const pnp::Camera& camera);

}  // namespace markvane::charuco
