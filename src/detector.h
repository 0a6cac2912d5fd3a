// The marker detection pipeline: driver, decoding and (later) the
// full-resolution refit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

// One threshold scale of one frame.
struct ScalePair {
  uint32_t frame;
  uint32_t scale;
};

// Called once per frame, by whichever task traced the frame's last pair, with
// the frame's pairs [first, end) (contiguous in a frame-major list) and the
// per-pair results, of which it may consume that range.
using FrameDone = std::function<void(size_t first, size_t end, Vec<Vec<Candidate>>& per_pair)>;

// Work for a pool thread that has run out of pairs while others are still
// being traced: called for each candidate k of each traced pair in turn (k
// ascending), in the order the pairs complete, by one thread at a time, and
// no longer once the last pair is traced and `all_traced` (if any) has
// stopped it. It must not change the candidates.
using IdleWork =
    std::function<void(size_t pair, std::span<const Candidate> candidates, size_t k)>;

// Called once, by whichever task traced the last pair, with every pair's
// candidates, which neither it nor the idle work may change. The idle work
// goes on until it calls `stop_idle_work` (or returns); a loop it starts on
// the pool after that runs nested in its task, and the other threads join
// it as they finish theirs.
using AllTraced = std::function<void(const Vec<Vec<Candidate>>& per_pair,
                                     const std::function<void()>& stop_idle_work)>;

// A frame whose pixels are still in the caller's buffer: `pixels` holds its
// rows (width x height, contiguous), copied into `into`, the frame's own
// storage, by the first threshold pass as it reads them. `copied` is called
// once, on the calling thread, as soon as every row is in, and always before
// the detection returns: until then the caller's buffer must not change.
struct PendingFrame {
  const uint8_t* pixels;
  uint8_t* into;
  std::function<void()> copied;
};

// Candidates of every (frame, scale) pair, one vector per pair, computed as
// one flat loop on the worker pool; entry i equals
// candidates_for_scale(*frames[pairs[i].frame], params, pairs[i].scale).
// Pairs are frame-major; frames must not be empty. `idle_work` and
// `all_traced` cannot be combined with `frame_done`, which consumes the
// pairs' vectors. With `pending` (one frame, whose first threshold job shares
// a pass: see copies_while_thresholding), the frame's pixels are copied in
// by that job.
Vec<Vec<Candidate>> candidates_for_pairs(const Vec<const GrayImage*>& frames,
                                         const DetectorParams& params,
                                         const Vec<ScalePair>& pairs,
                                         const FrameDone& frame_done = {},
                                         const IdleWork& idle_work = {},
                                         const AllTraced& all_traced = {},
                                         const PendingFrame* pending = nullptr);

struct Decoded {
  Vec<Detection> detections;
  Vec<Candidate> rejected;
};

// Orients, de-duplicates, reads and identifies the candidates of one image.
Decoded finalize(const GrayImage& gray, Vec<Candidate> candidates,
                 const dictionary::Dictionary& dict, const DetectorParams& params);

// Refits one decoded marker's border with the AprilTag quad fitter in a
// full-resolution crop around it. Replaces the corners (same order, same id)
// when the fit lands within a fraction of a cell of them; otherwise, and on
// any failure, leaves them as they are. `to_fitter` is what moves the
// detection's corners into the fitter's convention (pixel column i spans x
// from i to i + 1): 0.5 for corners with pixel centres at integers, 0 for
// corners that came from the fitter; corners come back in their own. With
// april_tag_refine_edges the fitted sides are moved onto the crop's intensity
// steps before the comparison.
void refine_full_resolution(const GrayImage& gray, Detection& detection, uint32_t marker_size,
                            const DetectorParams& params, float to_fitter);

// Whether the driver refits every detection, with which settings, and the
// half-pixel offset of the detections' convention.
bool refits_full_resolution(const DetectorParams& params);
DetectorParams refit_params(const DetectorParams& params);
float refit_offset(const DetectorParams& params);

// Full pipeline on one gray image. Precondition: scale_count(params) has a
// value unless the method is CORNER_REFINE_APRILTAG (the caller reports it).
Decoded detect_markers(const GrayImage& gray, const dictionary::Dictionary& dict,
                       const DetectorParams& params);

// Whether detect_markers copies a frame of this size in during its first
// threshold pass (PendingFrame): on the threshold path, for frames up to about
// a megapixel, where that pass runs two windows at once.
bool copies_while_thresholding(uint32_t width, uint32_t height, const DetectorParams& params);

// The same as detect_markers on a frame whose pixels are still pending: gray
// has its size and storage (pending.into), but not yet its pixels. Only where
// copies_while_thresholding holds.
Decoded detect_markers(const GrayImage& gray, const PendingFrame& pending,
                       const dictionary::Dictionary& dict, const DetectorParams& params);

// The pipeline on many gray images at once, scheduled as one flat loop over
// all (frame, scale) pairs, then one loop over frames and one over
// detections. Entry f equals detect_markers(grays[f], dict, params). Same
// precondition as detect_markers.
Vec<Decoded> detect_markers_batch(const Vec<GrayImage>& grays, const dictionary::Dictionary& dict,
                                  const DetectorParams& params);

}  // namespace markvane::detector
