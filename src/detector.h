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

// Candidates of scales 0 .. scales - 1, one vector per scale, computed on the
// worker pool; equal to candidates_for_scale for every k.
Vec<Vec<Candidate>> candidates_all_scales(const GrayImage& gray, const DetectorParams& params,
                                          uint32_t scales);

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
