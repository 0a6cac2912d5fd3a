// The detector settings record: a plain value copied into every detection call.
#pragma once

#include <cstdint>

namespace markvane {

inline constexpr int32_t CORNER_REFINE_NONE = 0;
inline constexpr int32_t CORNER_REFINE_SUBPIX = 1;
inline constexpr int32_t CORNER_REFINE_CONTOUR = 2;
inline constexpr int32_t CORNER_REFINE_APRILTAG = 3;

struct DetectorParams {
  double adaptive_thresh_constant = 7.0;
  double min_marker_perimeter_rate = 0.03;
  double max_marker_perimeter_rate = 4.0;
  double polygonal_approx_accuracy_rate = 0.03;
  double min_corner_distance_rate = 0.05;
  double min_marker_distance_rate = 0.125;
  double perspective_remove_ignored_margin_per_cell = 0.13;
  double max_erroneous_bits_in_border_rate = 0.35;
  double min_otsu_std_dev = 5.0;
  double error_correction_rate = 0.6;
  double relative_corner_refinement_win_size = 0.3;
  double corner_refinement_min_accuracy = 0.1;
  double april_tag_quad_decimate = 0.0;
  double april_tag_quad_sigma = 0.0;
  double april_tag_critical_rad = 0.17453292519943295;  // 10 degrees
  double april_tag_max_line_fit_mse = 10.0;
  int32_t adaptive_thresh_win_size_min = 3;
  int32_t adaptive_thresh_win_size_max = 23;
  int32_t adaptive_thresh_win_size_step = 10;
  int32_t min_distance_to_border = 3;
  int32_t marker_border_bits = 1;
  int32_t perspective_remove_pixel_per_cell = 4;
  int32_t min_side_length_canonical_img = 32;
  float cell_white_threshold = 0.5f;
  int32_t corner_refinement_method = CORNER_REFINE_NONE;
  int32_t corner_refinement_win_size = 5;
  int32_t corner_refinement_max_iterations = 30;
  int32_t april_tag_min_cluster_pixels = 5;
  int32_t april_tag_max_nmaxima = 10;
  int32_t april_tag_min_white_black_diff = 5;
  bool detect_inverted_marker = false;
  bool april_tag_refine_full_resolution = false;
  bool april_tag_deglitch = false;
  bool april_tag_refine_edges = false;
};

}  // namespace markvane
