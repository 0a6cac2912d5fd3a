// The marker detection pipeline: driver, decoding and (later) the
// full-resolution refit.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "dictionary.h"
#include "params.h"
#include "types.h"

namespace markvane::detector {

// Number of adaptive-threshold scales, nullopt when it is undefined (step 0, or
// the 32-bit division overflows). Never negative.
std::optional<int32_t> scale_count(const DetectorParams& params);

// Candidates of threshold scale k (window = min + k * step).
Vec<Candidate> candidates_for_scale(const GrayImage& gray, const DetectorParams& params,
                                    uint32_t scale_index);

// The scales among 0 .. scales - 1 whose threshold window differs from that
// of every lower scale, ascending. Scales with equal windows (after the
// threshold's own rounding and clipping to the image) label identically, so
// their candidates are exact copies of the first one's.
Vec<uint32_t> distinct_scales(const GrayImage& gray, const DetectorParams& params, uint32_t scales);

// Candidates of the given scales, one vector per entry, computed on the
// worker pool; entry i equals candidates_for_scale(gray, params, scale_indices[i]).
Vec<Vec<Candidate>> candidates_all_scales(const GrayImage& gray, const DetectorParams& params,
                                          const Vec<uint32_t>& scale_indices);

struct Decoded {
  Vec<Detection> detections;
  Vec<Candidate> rejected;
};

// Orients, de-duplicates, reads and identifies the candidates of one image.
Decoded finalize(const GrayImage& gray, Vec<Candidate> candidates,
                 const dictionary::Dictionary& dict, const DetectorParams& params);

// Full pipeline on one gray image. Precondition: scale_count(params) has a
// value unless the method is CORNER_REFINE_APRILTAG (the caller reports it).
Decoded detect_markers(const GrayImage& gray, const dictionary::Dictionary& dict,
                       const DetectorParams& params);

}  // namespace markvane::detector
