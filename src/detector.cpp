#include "detector.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

#include "affinity.h"
#include "apriltag.h"
#include "contours.h"
#include "cornersubpix.h"
#include "imgproc.h"

namespace markvane::detector {

// ---------------------------------------------------------------------------
// Threshold scales

namespace {

// Two's-complement wrapping arithmetic on 32-bit values. Signed overflow is
// undefined in C++, so the wrap is spelled out through unsigned arithmetic.
int32_t wrap_add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
int32_t wrap_sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
int32_t wrap_mul(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }

}  // namespace

// The scale plan is defined in 32-bit signed arithmetic. Subtraction and the
// final "+ 1" wrap (so an absurd range such as max = INT32_MAX, min = -1 comes
// out negative and means "no scales"); only the division can be undefined:
// by zero, and INT32_MIN / -1, whose quotient has no 32-bit value.
std::optional<int32_t> scale_count(const DetectorParams& params) {
  const int32_t step = params.adaptive_thresh_win_size_step;
  const int32_t diff =
      wrap_sub(params.adaptive_thresh_win_size_max, params.adaptive_thresh_win_size_min);
  if (step == 0) return std::nullopt;
  if (step == -1 && diff == std::numeric_limits<int32_t>::min()) return std::nullopt;
  const int32_t n = wrap_add(diff / step, 1);
  return std::max(n, 0);
}

namespace {

int32_t scale_window(const DetectorParams& params, uint32_t scale_index) {
  return wrap_add(params.adaptive_thresh_win_size_min,
                  wrap_mul(int32_t(scale_index), params.adaptive_thresh_win_size_step));
}

}  // namespace

Vec<Candidate> candidates_for_scale(const GrayImage& gray, const DetectorParams& params,
                                    uint32_t scale_index) {
  return contours::find_candidates(gray, params, scale_window(params, scale_index));
}

Vec<uint32_t> distinct_scales(const GrayImage& gray, const DetectorParams& params, uint32_t scales) {
  Vec<std::pair<uint32_t, uint32_t>> by_radius(scales);  // (radius, scale)
  for (uint32_t k = 0; k < scales; ++k)
    by_radius[k] = {imgproc::threshold_radius(gray, scale_window(params, k)), k};
  std::sort(by_radius.begin(), by_radius.end());
  Vec<uint32_t> out;
  for (size_t i = 0; i < by_radius.size(); ++i)
    if (i == 0 || by_radius[i].first != by_radius[i - 1].first) out.push_back(by_radius[i].second);
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

// The pairs whose trace is complete, in the order they complete: published by
// the tracing tasks, walked by the one thread that does the idle work.
class TracedPairs {
 public:
  explicit TracedPairs(size_t count) : slots_(count), count_(count) {
    for (auto& s : slots_) s.store(kNone, std::memory_order_relaxed);
  }

  // Called once per pair, after its candidates are written.
  void publish(size_t pair) {
    slots_[claimed_.fetch_add(1, std::memory_order_relaxed)].store(pair, std::memory_order_release);
  }
  // Called once the visits are no longer wanted.
  void finish() { finished_.store(true, std::memory_order_release); }

  // Calls step(pair, k) for k = 0, 1, ... of each traced pair in turn, until
  // it returns false, then moves to the next pair. Returns as soon as
  // `finish` is called, or when it has caught up with the tracing: it never
  // waits for a pair, since on a busy machine a waiting thread can hold the
  // very core the last trace needs.
  template <class Step>
  void visit_until_finished(Step&& step) const {
    size_t slot = 0, k = 0;
    while (slot < count_ && !finished_.load(std::memory_order_acquire)) {
      const size_t pair = slots_[slot].load(std::memory_order_acquire);
      if (pair == kNone) return;
      if (step(pair, k)) {
        ++k;
      } else {
        ++slot;
        k = 0;
      }
    }
  }

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  std::vector<std::atomic<size_t>> slots_;
  std::atomic<size_t> claimed_{0};
  std::atomic<bool> finished_{false};
  size_t count_;
};

// One turn of a short wait for another thread: the CPU is given up now and
// then, in case that thread was preempted on this very core.
void spin_pause(unsigned& spins) {
  if (++spins % 1024 == 0) std::this_thread::yield();
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Runs `make` once for `state` (0 when not yet run), however many threads
// arrive; the others spin until it is done. Here `make` allocates a plane,
// well under a microsecond, while a thread put to sleep in the kernel can
// take tens of microseconds to wake on a virtual machine; and glibc's
// std::call_once makes a futex system call every time it runs, even with
// nobody waiting. If `make` throws, the next thread to arrive (or one already
// waiting) tries in turn.
template <class Make>
void run_once(std::atomic<uint8_t>& state, const Make& make) {
  constexpr uint8_t kRunning = 1, kDone = 2;
  for (unsigned spins = 0;;) {
    uint8_t seen = state.load(std::memory_order_acquire);
    if (seen == kDone) return;
    if (seen == kRunning) {
      spin_pause(spins);
      continue;
    }
    if (!state.compare_exchange_strong(seen, kRunning, std::memory_order_acquire)) continue;
    try {
      make();
    } catch (...) {
      state.store(0, std::memory_order_release);
      throw;
    }
    state.store(kDone, std::memory_order_release);
    return;
  }
}

}  // namespace

// See candidates_for_pairs: 1920 x 1088.
constexpr uint64_t kThresholdsFirstMaxPixels = 1920 * 1088;

namespace {

// The thresholds of one or two pairs of a frame, computed together.
struct ThresholdJob {
  size_t pair[2];
  size_t count;
};

// A pending frame's copy by the bands of the first threshold job (see
// PendingFrame). Every other band reads the frame, so it waits for them
// first; the calling thread hands the copy over (`copied`) as soon as they
// are done. A thread may only wait once every band of the first job has been
// taken: they are the first tasks handed out, so that holds for a thread
// that has taken a later task, or found none left. (A band not yet taken
// may be the waiting thread's own next task, as when the pool runs the loop
// on the calling thread alone.)
class CopyIn {
 public:
  CopyIn(const PendingFrame* pending, uint32_t bands)
      : pending_(pending), left_(pending ? bands : 0), caller_(std::this_thread::get_id()) {}

  bool active() const { return pending_ != nullptr; }
  imgproc::RowCopy rows() const { return {pending_->pixels, pending_->into}; }

  // Signals one band of the first job done, also when it failed (`done` is
  // false): the frame is then never complete, and the call fails with it.
  void band_done(bool done) {
    if (!done) failed_.store(true, std::memory_order_relaxed);
    left_.fetch_sub(1, std::memory_order_release);
  }
  // Waits until every band of the first job is done; false if one failed.
  bool wait_rows() const {
    for (unsigned spins = 0; left_.load(std::memory_order_acquire) != 0;) spin_pause(spins);
    return !failed_.load(std::memory_order_relaxed);
  }
  // On the calling thread: hands the copy over, once, waiting for the rows
  // if `wait` (see above), else only if they are all in. Elsewhere, nothing.
  void hand_over(bool wait) {
    if (!pending_ || handed_over_ || std::this_thread::get_id() != caller_) return;
    if (wait) wait_rows();
    else if (left_.load(std::memory_order_acquire) != 0) return;
    handed_over_ = true;
    pending_->copied();
  }

 private:
  const PendingFrame* pending_;
  std::atomic<uint32_t> left_;
  std::atomic<bool> failed_{false};
  const std::thread::id caller_;
  bool handed_over_ = false;  // read and written on the calling thread only
};

// Pairs in `order`, where two windows of one frame whose thresholds can
// share a pass (see imgproc) become one job at the place of the wider one:
// its widest window with the next one that fits. A frame's pairs are
// [run_first[run_of[p]], p] and wider at higher indices.
Vec<ThresholdJob> threshold_jobs(const Vec<const GrayImage*>& frames, const DetectorParams& params,
                                 const Vec<ScalePair>& pairs, const Vec<size_t>& order,
                                 const Vec<size_t>& run_first, const Vec<size_t>& run_of) {
  Vec<ThresholdJob> jobs;
  jobs.reserve(order.size());
  Vec<uint8_t> taken(pairs.size(), 0);
  for (const size_t p : order) {
    if (taken[p]) continue;
    taken[p] = 1;
    ThresholdJob job{{p, p}, 1};
    const GrayImage& gray = *frames[pairs[p].frame];
    const int32_t window = scale_window(params, pairs[p].scale);
    for (size_t q = p; q-- > run_first[run_of[p]];) {
      if (taken[q] || !imgproc::thresholds_share_a_pass(gray, window,
                                                         scale_window(params, pairs[q].scale)))
        continue;
      taken[q] = 1;
      job = {{p, q}, 2};
      break;
    }
    jobs.push_back(job);
  }
  return jobs;
}

}  // namespace

Vec<Vec<Candidate>> candidates_for_pairs(const Vec<const GrayImage*>& frames,
                                         const DetectorParams& params,
                                         const Vec<ScalePair>& pairs, const FrameDone& frame_done,
                                         const IdleWork& idle_work, const AllTraced& all_traced,
                                         const PendingFrame* pending_frame) {
  const size_t count = pairs.size();
  Vec<Vec<Candidate>> out(count);
  if (count == 0) return out;
  // Each frame's pairs are one run [first, end); the pair traced last in a run
  // hands the frame on.
  Vec<size_t> run_of(count), run_first, run_end;
  for (size_t p = 0; p < count; ++p) {
    if (p == 0 || pairs[p].frame != pairs[p - 1].frame) run_first.push_back(p), run_end.push_back(p);
    run_of[p] = run_first.size() - 1;
    ++run_end.back();
  }
  std::vector<std::atomic<size_t>> run_pending(run_first.size());
  for (size_t r = 0; r < run_first.size(); ++r)
    run_pending[r].store(run_end[r] - run_first[r], std::memory_order_relaxed);
  // With few pairs on a few threads, one task per pair balances badly (the
  // widest window costs most). Each pair's threshold is then cut into row
  // bands (identical labels for any cut), and whichever task finishes a pair's
  // last band traces it right away. With many pairs there is enough to share
  // without cutting. Results land in their pair's slot, so neither the band
  // count nor the scheduling changes the output.
  const size_t threads = affinity::concurrency();
  const uint32_t bands =
      count >= 4 * threads ? 1u : uint32_t(std::clamp<size_t>(threads, 1, 8));
  // A pair's plane is allocated by its first band task and freed after its
  // trace, so only the pairs in flight hold one, whatever the batch size.
  Vec<imgproc::BitLabels> labels(count);
  TracedPairs traced(count);
  std::vector<std::atomic<uint8_t>> plane_state(count);  // see run_once
  std::vector<std::atomic<uint32_t>> pending(count);
  for (auto& p : pending) p.store(bands, std::memory_order_relaxed);

  // The widest windows, whose thresholds cost most, are queued first: every
  // frame's widest, then every frame's next one, and so on. The cheap narrow
  // scales come last, so the frames complete close together at the end and
  // their decoding, which cannot be split, runs side by side instead of
  // leaving the last frame's alone on one thread.
  Vec<size_t> order;
  order.reserve(count);
  for (size_t k = 0, added = 1; added != 0; ++k) {
    added = 0;
    for (size_t r = 0; r < run_first.size(); ++r) {
      if (run_end[r] - run_first[r] > k) order.push_back(run_end[r] - 1 - k), ++added;
    }
  }

  const Vec<ThresholdJob> jobs = threshold_jobs(frames, params, pairs, order, run_first, run_of);
  if (pending_frame && (frames.size() != 1 || jobs.front().count != 2))
    throw std::logic_error("a pending frame needs a first threshold job that shares a pass");
  CopyIn copy_in(pending_frame, bands);

  // With the thresholds cut into bands, a pair whose last band is done is
  // queued, and traced at once only while another thread is left on the
  // bands. Started greedily, the first traces held every thread while bands
  // remained, and the window thresholded last was traced alone at the end.
  // Queued pairs are traced oldest first (the widest windows). Batches (no
  // bands) trace at once, so that only the pairs in flight hold a plane.
  const size_t tasks = jobs.size() * bands;
  std::atomic<size_t> next{0};
  // One thread on one frame up to 1080p queues its traces too, so that it
  // thresholds every window first: the thresholds run back to back on the
  // wide vector units (which start slowly after a stretch of scalar tracing)
  // and on a frame still in the cache. Larger frames gain nothing from it
  // (their kernels are long) and would hold a plane per window at once.
  const GrayImage& first_frame = *frames[pairs[0].frame];
  const bool thresholds_first =
      threads == 1 && run_first.size() == 1 &&
      uint64_t(first_frame.width) * first_frame.height <= kThresholdsFirstMaxPixels;
  const bool queue_traces = (bands > 1 && threads > 1) || thresholds_first;
  std::mutex queue_lock;
  Vec<size_t> queued;  // guarded by queue_lock, as are the two counts below
  size_t queue_taken = 0;
  size_t tracing = 0;

  std::atomic<size_t> traces_left{count};
  auto trace_pair = [&](size_t p) {
    const GrayImage& gray = *frames[pairs[p].frame];
    out[p] = contours::trace_candidates(gray, params, labels[p]);
    labels[p] = imgproc::BitLabels{};
    if (idle_work) traced.publish(p);
    const size_t r = run_of[p];
    if (frame_done && run_pending[r].fetch_sub(1, std::memory_order_acq_rel) == 1)
      frame_done(run_first[r], run_end[r], out);
    // acq_rel: the last one must see every other pair's candidates.
    if (traces_left.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // The idle work stops when all_traced says so, and at the latest when it
    // returns or throws.
    struct Finish {
      TracedPairs& traced;
      ~Finish() { traced.finish(); }
    } finish{traced};
    if (all_traced) all_traced(out, [&] { traced.finish(); });
  };
  // The oldest queued pair, counted as tracing; none while the queue is empty,
  // or (bands_first) while every other thread traces and bands remain.
  auto take_queued = [&](bool bands_first) -> std::optional<size_t> {
    std::lock_guard<std::mutex> hold(queue_lock);
    if (queue_taken == queued.size()) return std::nullopt;
    if (bands_first && tracing + 1 >= threads && next.load(std::memory_order_relaxed) < tasks)
      return std::nullopt;
    ++tracing;
    return queued[queue_taken++];
  };
  auto trace_queued = [&](size_t p) {
    trace_pair(p);
    std::lock_guard<std::mutex> hold(queue_lock);
    --tracing;
  };
  // Both pairs of a job are queued before either is traced, so that another
  // thread can take the second one.
  auto pairs_thresholded = [&](const size_t* done, size_t n) {
    if (!queue_traces) {
      for (size_t k = 0; k < n; ++k) trace_pair(done[k]);
      return;
    }
    {
      std::lock_guard<std::mutex> hold(queue_lock);
      queued.insert(queued.end(), done, done + n);
    }
    if (const std::optional<size_t> q = take_queued(true)) trace_queued(*q);
  };

  auto run_band = [&](size_t task) {
    // Tasks [0, bands) are the first job's bands.
    const bool copies = copy_in.active() && task < bands;
    if (copy_in.active() && !copies) {
      if (!copy_in.wait_rows()) return;
      copy_in.hand_over(false);
    }
    const ThresholdJob& job = jobs[task / bands];
    const uint32_t band = uint32_t(task % bands);
    const size_t p = job.pair[0], q = job.pair[1];
    const GrayImage& gray = *frames[pairs[p].frame];
    const uint64_t band_rows = (uint64_t(gray.height) + bands - 1) / bands;
    const uint32_t begin = uint32_t(std::min<uint64_t>(gray.height, band * band_rows));
    const uint32_t end = uint32_t(std::min<uint64_t>(gray.height, begin + band_rows));
    for (size_t k = 0; k < job.count; ++k) {
      const size_t pk = job.pair[k];
      run_once(plane_state[pk],
               [&] { labels[pk] = imgproc::make_bit_labels(gray.width, gray.height); });
    }
    const double constant = params.adaptive_thresh_constant;
    if (copies) {
      // Signalled right after the pass, before this thread traces anything,
      // and also when the pass throws, so that no waiting thread is stuck.
      struct BandSignal {
        CopyIn& copy_in;
        bool done = false;
        ~BandSignal() { copy_in.band_done(done); }
      } signal{copy_in};
      imgproc::adaptive_threshold_bits_rows_pair(
          gray, scale_window(params, pairs[p].scale), scale_window(params, pairs[q].scale),
          constant, begin, end, labels[p], labels[q], imgproc::SimdLimit::kAvx512, copy_in.rows());
      signal.done = true;
    } else if (job.count == 2) {
      imgproc::adaptive_threshold_bits_rows_pair(gray, scale_window(params, pairs[p].scale),
                                                 scale_window(params, pairs[q].scale), constant,
                                                 begin, end, labels[p], labels[q]);
    } else {
      imgproc::adaptive_threshold_bits_rows(gray, scale_window(params, pairs[p].scale), constant,
                                            begin, end, labels[p]);
    }
    if (copies) copy_in.hand_over(false);
    // acq_rel: the tracing task must see every other band's rows.
    size_t done[2], n_done = 0;
    for (size_t k = 0; k < job.count; ++k)
      if (pending[job.pair[k]].fetch_sub(1, std::memory_order_acq_rel) == 1)
        done[n_done++] = job.pair[k];
    if (n_done != 0) pairs_thresholded(done, n_done);
  };
  // Tasks are handed out strictly in queue order (a shared counter rather than
  // range splitting), so the expensive wide windows really do start first.
  std::atomic<bool> idle_taken{false};
  affinity::parallel_for(std::min(tasks, threads), [&](size_t) {
    for (size_t task; (task = next.fetch_add(1, std::memory_order_relaxed)) < tasks;)
      run_band(task);
    copy_in.hand_over(true);
    // A pair is queued before its thread looks here, so none is left behind.
    while (const std::optional<size_t> p = take_queued(false)) trace_queued(*p);
    // The last traces leave the other threads idle: the first of them takes
    // the idle work over the pairs already traced.
    if (idle_work && !idle_taken.exchange(true, std::memory_order_relaxed))
      traced.visit_until_finished([&](size_t p, size_t k) {
        if (k >= out[p].size()) return false;
        idle_work(p, out[p], k);
        return true;
      });
  });
  copy_in.hand_over(true);  // in case the calling thread ran none of the loop
  return out;
}

// ---------------------------------------------------------------------------
// Ordering and near-duplicate removal

namespace {

float side(Point2f a, Point2f b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Makes every quad turn clockwise on screen (y down) by swapping c1 and c3.
void orient(Quad& q) {
  const float lhs = (q[1].x - q[0].x) * (q[2].y - q[0].y);
  const float rhs = (q[1].y - q[0].y) * (q[2].x - q[0].x);
  if (lhs < rhs) std::swap(q[1], q[3]);
}

float perimeter(const Quad& q) {
  return side(q[0], q[1]) + side(q[1], q[2]) + side(q[2], q[3]) + side(q[3], q[0]);
}

// Square root of the smallest mean squared corner distance over the four
// cyclic correspondences, all four at once: lane s pairs corner k of a with
// corner k + s of b. Each lane adds its four terms in the same order as a
// scalar loop would, so the result is the same to the bit.
using Float4 = float __attribute__((vector_size(16)));

float quad_distance(const Quad& a, const Quad& b) {
  const Float4 bx{b[0].x, b[1].x, b[2].x, b[3].x};
  const Float4 by{b[0].y, b[1].y, b[2].y, b[3].y};
  // Corner k of a against corners k, k + 1, k + 2, k + 3 of b (b turned by k).
  const auto term = [&](size_t k, Float4 x, Float4 y) {
    const Float4 dx = a[k].x - x;
    const Float4 dy = a[k].y - y;
    return dx * dx + dy * dy;
  };
  Float4 sum = term(0, bx, by);
  sum += term(1, __builtin_shufflevector(bx, bx, 1, 2, 3, 0),
              __builtin_shufflevector(by, by, 1, 2, 3, 0));
  sum += term(2, __builtin_shufflevector(bx, bx, 2, 3, 0, 1),
              __builtin_shufflevector(by, by, 2, 3, 0, 1));
  sum += term(3, __builtin_shufflevector(bx, bx, 3, 0, 1, 2),
              __builtin_shufflevector(by, by, 3, 0, 1, 2));
  sum *= 0.25f;
  float best = FLT_MAX;
  for (int s = 0; s < 4; ++s) best = std::min(best, sum[s]);
  return std::sqrt(best);
}

Point2f centroid(const Quad& q) {
  return {(q[0].x + q[1].x + q[2].x + q[3].x) * 0.25f, (q[0].y + q[1].y + q[2].y + q[3].y) * 0.25f};
}

// Lists kept in one flat array: list i is items[start[i] .. start[i + 1]).
// A vector per list cost an allocation for nearly every candidate.
template <class T>
struct FlatLists {
  Vec<T> items;
  Vec<uint32_t> start{0};
  size_t size() const { return start.size() - 1; }
  std::span<const T> operator[](size_t i) const {
    return {items.data() + start[i], items.data() + start[i + 1]};
  }
};

// Values grouped by key (each key below `keys`), every list in input order.
FlatLists<uint32_t> bucketed(size_t keys, const Vec<std::pair<uint32_t, uint32_t>>& key_values) {
  FlatLists<uint32_t> out;
  out.start.assign(keys + 1, 0);
  for (const auto& [key, value] : key_values) ++out.start[key + 1];
  for (size_t k = 0; k < keys; ++k) out.start[k + 1] += out.start[k];
  out.items.resize(key_values.size());
  Vec<uint32_t> next(out.start.begin(), out.start.end() - 1);
  for (const auto& [key, value] : key_values) out.items[next[key]++] = value;
  return out;
}

// For sorted perimeters (largest first) lists, for each i, the j > i whose
// outline lies closer than perimeter[j] * rate, in ascending j.
//
// The mean squared corner distance under any correspondence is at least the
// squared distance of the centroids, so only pairs whose centroids are within
// the smaller outline's threshold need the full test. A sweep over centroids
// sorted by x finds, for each j, the earlier i within its reach without
// touching every pair; the slack on the bound keeps float rounding from ever
// excluding a pair the exact test would accept. Sweeping from the smaller
// outline of each pair keeps the windows narrow: from the larger one, the
// few large outlines each swept most of the frame.
FlatLists<uint32_t> close_pairs(const Vec<Candidate>& cands, const Vec<float>& per, double rate) {
  const size_t n = cands.size();
  Vec<Point2f> cen(n);
  for (size_t i = 0; i < n; ++i) cen[i] = centroid(cands[i].corners);
  Vec<uint32_t> by_x(n);
  std::iota(by_x.begin(), by_x.end(), 0u);
  std::sort(by_x.begin(), by_x.end(), [&](uint32_t a, uint32_t b) { return cen[a].x < cen[b].x; });
  Vec<float> xs(n);
  for (size_t k = 0; k < n; ++k) xs[k] = cen[by_x[k]].x;

  // Found in ascending j, then bucketed by i, which keeps each list ascending.
  Vec<std::pair<uint32_t, uint32_t>> pairs;
  for (uint32_t j = 0; j < n; ++j) {
    const double reach = double(per[j]) * std::fabs(rate) * 1.001 + 1e-3;
    const float lo = float(double(cen[j].x) - reach);
    const float hi = float(double(cen[j].x) + reach);
    auto k = size_t(std::lower_bound(xs.begin(), xs.end(), lo) - xs.begin());
    for (; k < n && xs[k] <= hi; ++k) {
      const uint32_t i = by_x[k];
      if (i >= j) continue;
      const double dy = double(cen[j].y) - double(cen[i].y);
      if (std::fabs(dy) > reach) continue;
      const float d = quad_distance(cands[i].corners, cands[j].corners);
      if (double(d) < double(per[j]) * rate) pairs.push_back({i, j});
    }
  }
  return bucketed(n, pairs);
}

// Groups near-duplicate outlines, each group's members in ascending order.
// Groups are numbered in a fixed order of creation and are never merged: a
// pair whose members already belong to groups changes nothing.
FlatLists<uint32_t> group_too_close(const Vec<Candidate>& cands, const Vec<float>& per,
                                    double rate) {
  constexpr int32_t kNone = -1;
  const size_t n = cands.size();
  const FlatLists<uint32_t> close = close_pairs(cands, per, rate);
  Vec<int32_t> group_of(n, kNone);
  Vec<uint8_t> paired(n, 0);
  int32_t groups = 0;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t j : close[i]) {
      paired[i] = paired[j] = 1;
      if (group_of[i] == kNone && group_of[j] == kNone) {
        group_of[i] = group_of[j] = groups++;
      } else if (group_of[i] == kNone) {
        group_of[i] = group_of[j];
      } else if (group_of[j] == kNone) {
        group_of[j] = group_of[i];
      }
    }
    if (!paired[i]) group_of[i] = groups++;
  }
  // Every candidate has a group; bucket them by group, ascending within each.
  Vec<std::pair<uint32_t, uint32_t>> members(n);
  for (uint32_t i = 0; i < n; ++i) members[i] = {uint32_t(group_of[i]), i};
  return bucketed(size_t(groups), members);
}

bool inside_border(const Quad& q, const GrayImage& g, int32_t b) {
  const float lo = float(b);
  const float hx = float(int64_t(g.width) - 1 - b);
  const float hy = float(int64_t(g.height) - 1 - b);
  for (const Point2f& p : q)
    if (!(p.x >= lo && p.x <= hx && p.y >= lo && p.y <= hy)) return false;
  return true;
}

// Candidates, oriented and in their input order, and their groups of near
// duplicates, each a list of indices into them.
struct Selection {
  Vec<Candidate> cands;
  FlatLists<uint32_t> groups;
};

// Orients, sorts by perimeter (largest first, stable) and groups near
// duplicates. Each group keeps the members that clear the image border,
// largest first (earliest input among equals), and survives when any does.
// The largest member alone does not decide: it may be the outline of a quiet
// zone or of the surround that reaches the image edge while the marker inside
// lies well within the image.
Selection select_candidates(const GrayImage& gray, Vec<Candidate> cands,
                            const DetectorParams& params) {
  const size_t n = cands.size();
  Vec<float> per(n);
  for (size_t i = 0; i < n; ++i) {
    orient(cands[i].corners);
    per[i] = perimeter(cands[i].corners);
  }
  Vec<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return per[a] > per[b]; });
  Vec<Candidate> sorted(n);
  Vec<float> sorted_per(n);
  for (size_t k = 0; k < n; ++k) {
    sorted[k] = cands[order[k]];
    sorted_per[k] = per[order[k]];
  }

  const int32_t b = params.min_distance_to_border;
  const FlatLists<uint32_t> groups =
      group_too_close(sorted, sorted_per, params.min_marker_distance_rate);
  FlatLists<uint32_t> kept;
  kept.items.reserve(n);
  kept.start.reserve(groups.size() + 1);
  for (size_t g = 0; g < groups.size(); ++g) {
    for (uint32_t m : groups[g])
      if (inside_border(sorted[m].corners, gray, b)) kept.items.push_back(order[m]);
    if (kept.items.size() > kept.start.back()) kept.start.push_back(uint32_t(kept.items.size()));
  }
  return {std::move(cands), std::move(kept)};
}

// ---------------------------------------------------------------------------
// Reading one candidate

struct Geometry {
  int32_t n = 0;       // code cells per side
  int32_t border = 0;  // border width in cells
  int32_t cells = 0;   // C = n + 2 * border
  int32_t ppc = 0;     // pixels per cell p
  int32_t margin = 0;  // ignored pixels at each side of a cell
  int32_t side = 0;    // S = C * p
  // Moves candidate corners onto the sampler's convention (pixel centres at
  // integers). The AprilTag quad search places pixel column i between x = i
  // and x = i + 1, half a pixel right of and below that; read unshifted, a
  // small tag's cells would be sampled a quarter of a cell off, enough to
  // misread tags of 10 to 20 px that read cleanly when aligned. Only the
  // sampling is shifted: the candidate keeps its own corners.
  float to_pixel_centres = 0.0f;
};

Geometry geometry(const dictionary::Dictionary& dict, const DetectorParams& params) {
  Geometry g;
  g.n = int32_t(dict.marker_size);
  g.border = params.marker_border_bits;
  g.cells = g.n + 2 * g.border;
  g.ppc = params.perspective_remove_pixel_per_cell;
  g.margin = int32_t(params.perspective_remove_ignored_margin_per_cell * double(g.ppc));
  g.side = g.cells * g.ppc;
  g.to_pixel_centres = params.corner_refinement_method == CORNER_REFINE_APRILTAG ? -0.5f : 0.0f;
  return g;
}

// Scratch buffers reused across the candidates of one call.
struct Scratch {
  Vec<uint8_t> canonical;
  Vec<double> cols, offsets;  // sampling scratch
  Vec<float> values;
  Vec<uint32_t> columns;  // white pixels per column of a row of cells
  dictionary::CellBitMasks masks;
};

// The pixel each sample of the S x S canonical grid reads under the
// homography m: the nearest one, halves rounded away from zero, as its offset
// y * width + x, or -1 where it falls outside the width x height image. The
// products of m with the column index are the same in every row and come in
// `cols` (m0 c, then m3 c, then m6 c, S each); the sums keep their order,
// (m0 c + m1 r) + m2. One call covers the grid: per row, the set-up of the
// vector loop cost as much as its three iterations.
MV_CLONES("avx2", "default") MV_NO_TRAPPING_MATH
void sample_grid(const double* __restrict m, const double* __restrict cols, int32_t S,
                 double width, double height, double* __restrict offsets) {
  // std::round, branch-free (the library call was about 2% of a small
  // frame's detection, two per sample), for quotients above -1/2 only: one
  // at or below it rounds to -1 or less, outside the image whatever its
  // value, so the bounds test looks at the quotient there and the rounding
  // needs no case for negative halves (a third fewer operations per
  // sample). Above -1/2 the result is std::round's except for the sign of a
  // zero, which the offset ignores. From 2^52 on every double is an integer:
  // trunc returns it and the fraction is 0 (NaN and infinities pass through
  // as they are, and fail the bounds test).
  const auto round_half_up = [](double v) {
    const double t = std::trunc(v);
    const double f = v - t;  // the exact fractional part
    return t + double(f >= 0.5);
  };
  const double* __restrict m0c = cols;
  const double* __restrict m3c = cols + S;
  const double* __restrict m6c = cols + 2 * size_t(S);
  for (int32_t r = 0; r < S; ++r) {
    const double rd = double(r);
    const double m1r = m[1] * rd, m4r = m[4] * rd, m7r = m[7] * rd;
    double* __restrict out = offsets + size_t(r) * size_t(S);
    for (int32_t c = 0; c < S; ++c) {
      const double w = m6c[c] + m7r + m[8];
      const double qx = (m0c[c] + m1r + m[2]) / w;
      const double qy = (m3c[c] + m4r + m[5]) / w;
      const double x = round_half_up(qx);
      const double y = round_half_up(qy);
      const bool inside = (qx > -0.5) & (x < width) & (qy > -0.5) & (y < height);
      // Exact: both are whole numbers and the offset is below the pixel count.
      out[c] = inside ? y * width + x : -1.0;
    }
  }
}

// Samples the candidate into the S x S canonical image, nearest pixel with
// halves rounded away from zero; samples falling outside the image read 0.
// cols and offsets are scratch room.
bool warp_canonical(const GrayImage& gray, const Quad& corners, int32_t S, Vec<uint8_t>& out,
                    Vec<double>& cols, Vec<double>& offsets) {
  const float e = float(S - 1);
  const Quad canon{Point2f{0.0f, 0.0f}, Point2f{e, 0.0f}, Point2f{e, e}, Point2f{0.0f, e}};
  const auto h = imgproc::get_perspective_transform(canon, corners);
  if (!h) return false;
  const double* m = h->data();
  const size_t side = size_t(S), samples = side * side;
  out.resize(samples);
  cols.resize(3 * side);
  offsets.resize(samples);
  for (size_t c = 0; c < side; ++c) {
    const double cd = double(c);
    cols[c] = m[0] * cd;
    cols[side + c] = m[3] * cd;
    cols[2 * side + c] = m[6] * cd;
  }
  sample_grid(m, cols.data(), S, double(gray.width), double(gray.height), offsets.data());
  // Through int64_t an offset converts in one instruction; straight to
  // size_t, a double takes a compare, a branch and a second conversion.
  // Raw pointers: a byte store may alias the vectors' own pointers, which
  // would otherwise be reloaded for every sample.
  const uint8_t* pixels = gray.data.data();
  const double* offset = offsets.data();
  uint8_t* dst = out.data();
  auto sample = [&](size_t k) -> uint64_t {
    const double o = offset[k];
    return o >= 0.0 ? pixels[size_t(int64_t(o))] : 0;
  };
  size_t k = 0;
  // Eight samples to a word store: one byte store per sample bounded the loop.
  if constexpr (std::endian::native == std::endian::little)
    for (; k + 8 <= samples; k += 8) {
      uint64_t word = 0;
      for (unsigned j = 0; j < 8; ++j) word |= sample(k + j) << (8 * j);
      std::memcpy(dst + k, &word, 8);
    }
  for (; k < samples; ++k) dst[k] = uint8_t(sample(k));
  return true;
}

struct Spread {
  double mean = 0.0;
  bool flat = false;  // population deviation below the limit
};

// The population deviation as computed pixel by pixel in double precision
// (the definition the flatness test follows).
double accumulated_deviation(const Vec<uint8_t>& img, int32_t S, int32_t lo, int32_t hi, double mean) {
  const double count = double(hi - lo) * double(hi - lo);
  double sq = 0.0;
  for (int32_t r = lo; r < hi; ++r)
    for (int32_t c = lo; c < hi; ++c) {
      const double d = double(img[size_t(r) * size_t(S) + size_t(c)]) - mean;
      sq += d * d;
    }
  return std::sqrt(sq / count);
}

// Mean of the canonical image without its outer half-cell, where the border
// of the quad blends with the background, and whether the deviation there is
// below `limit`. The accumulated sum of squares is one long chain of
// dependent additions; its relative error is below (count + 3) units of
// 2^-53, so the exact integer sums decide unless the deviation lies that
// close to the limit, and only then is the chain run.
Spread inner_spread(const Vec<uint8_t>& img, int32_t S, int32_t h, double limit) {
  const int32_t lo = h;
  const int32_t hi = S - h;  // exclusive
  if (hi <= lo) return {0.0, 0.0 < limit};
  uint64_t sum = 0, squares = 0;
  for (int32_t r = lo; r < hi; ++r) {
    const uint8_t* row = img.data() + size_t(r) * size_t(S);
    for (int32_t c = lo; c < hi; ++c) {
      sum += row[c];
      squares += uint32_t(row[c]) * row[c];
    }
  }
  const uint64_t pixels = uint64_t(hi - lo) * uint64_t(hi - lo);
  const double count = double(pixels);
  const double mean = double(sum) / count;
  if (pixels < (uint64_t(1) << 32) && limit > 0.0 && limit < 1e100) {
    // pixels^2 times the variance, exactly (both products stay below 2^80)
    const unsigned __int128 scaled = static_cast<unsigned __int128>(pixels) * squares -
                                     static_cast<unsigned __int128>(sum) * sum;
    const double variance = double(scaled) / count / count;
    const double slack = (count + 16.0) * 2.3e-16;
    const double bound = limit * limit;
    if (variance * (1.0 + slack) + 1e-20 < bound * (1.0 - 1e-15)) return {mean, true};
    if (variance * (1.0 - slack) - 1e-20 > bound * (1.0 + 1e-15)) return {mean, false};
  }
  return {mean, accumulated_deviation(img, S, lo, hi, mean) < limit};
}

// Otsu's threshold over the whole canonical image; pixels above it are white.
int32_t otsu_threshold(const Vec<uint8_t>& img) {
  std::array<uint64_t, 256> hist{};
  for (uint8_t v : img) ++hist[v];
  return imgproc::otsu_threshold(hist);
}

// White fraction of the inner q x q square of every cell, row-major. The
// white pixels of a row of cells are first counted per image column, whole
// rows at a time: cell by cell, the loops over q (typically 4) pixels did
// not vectorise. `columns` is scratch room.
void cell_values(const Vec<uint8_t>& img, const Geometry& g, int32_t T, Vec<uint32_t>& columns,
                 Vec<float>& values) {
  const int32_t q = g.ppc - 2 * g.margin;
  const float area = float(q) * float(q);
  values.assign(size_t(g.cells) * size_t(g.cells), 0.0f);
  const uint8_t thr = uint8_t(T);
  const size_t side = size_t(g.side);
  columns.resize(side);
  uint32_t* __restrict count = columns.data();
  for (int32_t cy = 0; cy < g.cells; ++cy) {
    std::fill_n(count, side, 0u);
    for (int32_t r = 0; r < q; ++r) {
      const uint8_t* __restrict row = img.data() + size_t(cy * g.ppc + g.margin + r) * side;
      for (size_t x = 0; x < side; ++x) count[x] += row[x] > thr ? 1u : 0u;
    }
    for (int32_t cx = 0; cx < g.cells; ++cx) {
      const uint32_t* first = count + size_t(cx * g.ppc + g.margin);
      const uint32_t white = std::accumulate(first, first + q, 0u);
      values[size_t(cy) * size_t(g.cells) + size_t(cx)] = float(white) / area;
    }
  }
}

bool is_border_cell(const Geometry& g, int32_t r, int32_t c) {
  return r < g.border || c < g.border || r >= g.cells - g.border || c >= g.cells - g.border;
}

enum class Border { rejected, normal, inverted };

struct BorderReading {
  Border kind = Border::rejected;
  uint32_t errors = 0;
};

// A cell is white when its white fraction exceeds t, black when it is below
// 1 - t, and undecided in between (exactly half white, at the default t). An
// undecided cell is never taken as agreeing with what is expected of it: on
// the border it counts as an error in either polarity, in the code as a
// mismatch. Left out of the count instead, it would match anything, and on
// noise about a fifth of all cells come out exactly half white.
//
// Counts border cells read with the wrong colour, inverting the reading when
// inverted markers are allowed and that fits the border better.
BorderReading check_border(Vec<float>& values, const Geometry& g, const DetectorParams& params) {
  if (g.border <= 0) return {Border::normal, 0};
  const float t = params.cell_white_threshold;
  const float t_black = 1.0f - t;
  uint32_t not_black = 0, not_white = 0;
  for (int32_t r = 0; r < g.cells; ++r)
    for (int32_t c = 0; c < g.cells; ++c) {
      if (!is_border_cell(g, r, c)) continue;
      const float v = values[size_t(r) * size_t(g.cells) + size_t(c)];
      not_black += v < t_black ? 0u : 1u;
      not_white += v > t ? 0u : 1u;
    }
  // Undecided cells add to both counts, so the polarity is decided by the
  // cells read with certainty alone; a tie keeps the normal reading.
  const bool inverted = params.detect_inverted_marker && not_white < not_black;
  const uint32_t errors = inverted ? not_white : not_black;
  if (inverted)
    for (float& v : values) v = 1.0f - v;
  if (!(double(errors) <= params.max_erroneous_bits_in_border_rate * double(g.n) * double(g.n)))
    return {Border::rejected, errors};
  return {inverted ? Border::inverted : Border::normal, errors};
}

// Packs the inner n x n cells like one rotation code: row-major, MSB first,
// with the cells of an incomplete last byte right-aligned in its low bits.
// Returns the number of undecided cells (0 in `known`).
uint32_t pack_cells(const Vec<float>& values, const Geometry& g, float t,
                    dictionary::CellBitMasks& masks) {
  const size_t cells = size_t(g.n) * size_t(g.n);
  const size_t bytes = (cells + 7) / 8;
  masks.white.assign(bytes, 0);
  masks.known.assign(bytes, 0);
  masks.cells = uint32_t(cells);
  const float t_black = 1.0f - t;
  uint32_t undecided = 0;
  size_t k = 0;
  for (int32_t r = 0; r < g.n; ++r)
    for (int32_t c = 0; c < g.n; ++c, ++k) {
      const float v = values[size_t(r + g.border) * size_t(g.cells) + size_t(c + g.border)];
      const bool white = v > t;
      const bool black = v < t_black;
      const size_t in_byte = std::min<size_t>(8, cells - (k & ~size_t(7)));
      const uint8_t bit = uint8_t(1u << (in_byte - 1 - (k & 7)));
      if (white) masks.white[k >> 3] |= bit;
      if (white != black)
        masks.known[k >> 3] |= bit;
      else
        ++undecided;
    }
  return undecided;
}

// trunc(rate * max_correction_bits), saturating at UINT32_MAX; nullopt when
// the rate is negative or NaN, which allows no match at all (not even an
// exact one).
std::optional<uint32_t> max_distance(const DetectorParams& params,
                                     const dictionary::Dictionary& dict) {
  if (!(params.error_correction_rate >= 0.0)) return std::nullopt;
  const double v = std::trunc(params.error_correction_rate * double(dict.max_correction_bits));
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return uint32_t(v);
}

struct Reading {
  std::optional<dictionary::Match> match;  // distance counts undecided code cells
  uint32_t border_errors = 0;
  bool inverted = false;  // read with a white border

  bool decoded() const { return match.has_value(); }
  // Cells that had to be read against what the marker prints.
  uint32_t errors() const { return border_errors + (match ? match->distance : 0); }
};

// Reads and identifies one oriented candidate.
Reading read_marker(const GrayImage& gray, const Quad& corners, const dictionary::Dictionary& dict,
                    const DetectorParams& params, const Geometry& g, Scratch& s) {
  Reading out;
  if (g.side <= 0 || g.cells <= 0 || g.ppc - 2 * g.margin <= 0) return out;
  Quad sampled = corners;
  for (Point2f& p : sampled) p = {p.x + g.to_pixel_centres, p.y + g.to_pixel_centres};
  if (!warp_canonical(gray, sampled, g.side, s.canonical, s.cols, s.offsets)) return out;
  const Spread spread = inner_spread(s.canonical, g.side, g.ppc / 2, params.min_otsu_std_dev);
  if (spread.flat) {
    s.values.assign(size_t(g.cells) * size_t(g.cells), spread.mean > 127.0 ? 1.0f : 0.0f);
  } else {
    cell_values(s.canonical, g, otsu_threshold(s.canonical), s.columns, s.values);
  }
  const BorderReading border = check_border(s.values, g, params);
  if (border.kind == Border::rejected) return out;
  out.border_errors = border.errors;
  out.inverted = border.kind == Border::inverted;
  const uint32_t undecided = pack_cells(s.values, g, params.cell_white_threshold, s.masks);
  const std::optional<uint32_t> max_dist = max_distance(params, dict);
  // Every undecided cell is one mismatch against every code, so it uses up
  // one of the allowed corrections whatever the id and rotation.
  if (!max_dist || undecided > *max_dist) return out;
  out.match = dictionary::identify(dict, s.masks, *max_dist - undecided);
  if (out.match) out.match->distance += undecided;
  return out;
}

// An outline's exact corner bits: reading is a pure function of the corners,
// so outlines with equal keys read alike.
struct CornerKey {
  std::array<uint32_t, 8> bits;
  auto operator<=>(const CornerKey&) const = default;
};

CornerKey corner_key(const Quad& q) {
  CornerKey key;
  for (size_t i = 0; i < 4; ++i) {
    key.bits[2 * i] = std::bit_cast<uint32_t>(q[i].x);
    key.bits[2 * i + 1] = std::bit_cast<uint32_t>(q[i].y);
  }
  return key;
}

// Readings made ahead of decoding, while the last threshold scales are traced
// and the candidates grouped, by candidate: the one thread that reads ahead
// fills a pair's slots in order, k = 0, 1, ..., and may still be at it while
// the groups are read, which find only the readings already complete. A
// slot holds nullopt for an outline outside the border, which decoding never
// reads.
class AheadReadings {
 public:
  explicit AheadReadings(size_t pairs) : slots_(pairs), done_(pairs) {}

  void add(size_t pair, size_t k, size_t count, std::optional<Reading> reading) {
    if (k == 0) slots_[pair].resize(count);
    slots_[pair][k] = std::move(reading);
    done_[pair].store(k + 1, std::memory_order_release);
  }
  // Numbers the candidates as decoding does, pair after pair; once, before
  // the first lookup.
  void set_sizes(const Vec<Vec<Candidate>>& per_pair) {
    offsets_.assign(1, 0);
    for (const Vec<Candidate>& c : per_pair) offsets_.push_back(offsets_.back() + c.size());
  }
  // Whether any reading is complete so far.
  bool any() const {
    for (const std::atomic<size_t>& d : done_)
      if (d.load(std::memory_order_acquire) > 0) return true;
    return false;
  }
  // The reading of candidate `index`, when it was read ahead.
  const Reading* find(size_t index) const {
    if (offsets_.size() < 2 || index >= offsets_.back()) return nullptr;
    // The last pair starting at or before index (empty pairs start there too).
    const size_t pair =
        size_t(std::upper_bound(offsets_.begin() + 1, offsets_.end() - 1, index) - offsets_.begin()) - 1;
    const size_t k = index - offsets_[pair];
    if (k >= done_[pair].load(std::memory_order_acquire)) return nullptr;
    const std::optional<Reading>& slot = slots_[pair][k];
    return slot ? &*slot : nullptr;
  }

 private:
  Vec<Vec<std::optional<Reading>>> slots_;
  std::vector<std::atomic<size_t>> done_;  // slots of the pair complete so far
  Vec<size_t> offsets_;
};

// Rotating right by r makes corner 0 the printed top-left corner.
Quad rotate_right(const Quad& q, int32_t r) {
  Quad out;
  for (int32_t i = 0; i < 4; ++i) out[size_t(i)] = q[size_t(((i - r) % 4 + 4) % 4)];
  return out;
}

// Half-window proportional to the cell size, at least 1 and at most the
// configured window.
uint32_t refine_half_window(const Quad& q, const DetectorParams& params, int32_t cells) {
  const float shortest = std::min(std::min(side(q[0], q[1]), side(q[1], q[2])),
                                  std::min(side(q[2], q[3]), side(q[3], q[0])));
  const double w =
      std::round(params.relative_corner_refinement_win_size * double(shortest) / double(cells));
  if (!(w >= 1.0)) return 1;
  const double cap = double(std::max(params.corner_refinement_win_size, 1));
  return uint32_t(std::min(w, cap));
}

void refine_subpix(const GrayImage& gray, Quad& q, const DetectorParams& params, int32_t cells) {
  const uint32_t w = refine_half_window(q, params, cells);
  for (Point2f& p : q)
    p = cornersubpix::corner_sub_pix(gray, w, params.corner_refinement_max_iterations, p,
                                     params.corner_refinement_min_accuracy);
}

// A group member (its index in the group) with its reading.
struct MemberReading {
  size_t member;
  Reading reading;
};

// A thread's buffers for reading groups, kept between calls: fresh ones
// cost about ten allocations per task of a few groups.
struct GroupScratch {
  Scratch read;
  Vec<MemberReading> reads;
  Vec<Reading> readings;
};

// Picks the outline of a group of near-duplicates that stands for the marker,
// with its reading; nullopt when no member reads as a marker.
//
// The largest member is not always the marker: a white quiet zone on a
// darker surround forms its own square just outside the marker, close enough
// to be grouped with it and larger. That square usually fails the border
// test, but it can read as some code after a few corrections while the
// marker's own outline reads its code cleanly. So every member is read
// (largest first) and the id comes from the reading that needed the fewest
// corrections (border and code cells together; among equals, the larger
// outline). A perfect reading cannot be beaten, so reading stops there.
//
// The corners come from the largest member that reads as that id, as they
// would from the group's representative. Which readable outline hugs the
// marker depends on its polarity. A normal marker's black frame is itself
// foreground: its outer border lies on the marker's edge and every smaller
// outline runs inside the frame, so the largest is right. An inverted
// marker's white frame is background: every outline around it is a border of
// the dark surround, lying on or outside the frame edge (a threshold window
// that blurs the corners yields one a few pixels out), so the smallest outline
// that still reads inverted as the same marker is right. Outlines inside an
// inverted frame (the dark cells of its code) read with the normal polarity,
// which keeps them out of that choice.
std::optional<std::pair<size_t, Reading>> read_group(const GrayImage& gray,
                                                     const Vec<Candidate>& cands,
                                                     std::span<const uint32_t> group,
                                                     const dictionary::Dictionary& dict,
                                                     const DetectorParams& params,
                                                     const Geometry& g, GroupScratch& scratch,
                                                     const AheadReadings* ahead) {
  Vec<MemberReading>& reads = scratch.reads;
  reads.clear();
  std::optional<size_t> best;  // index into reads
  // The same outline often comes from more than one threshold window, with
  // bit-identical corners: its reading is then taken from the member read
  // before (a fifth of all reads on rendered scenes).
  Vec<Reading>& readings = scratch.readings;  // of the members before k
  readings.clear();
  // Readings made ahead are by candidate: an outline not read ahead may have
  // a copy later in the group that was.
  auto reading_of = [&](size_t k) {
    const CornerKey key = corner_key(cands[group[k]].corners);
    for (size_t j = 0; j < k; ++j)
      if (corner_key(cands[group[j]].corners) == key) return readings[j];
    for (size_t j = k; ahead && j < group.size(); ++j) {
      if (j != k && corner_key(cands[group[j]].corners) != key) continue;
      if (const Reading* known = ahead->find(group[j])) return *known;
    }
    return read_marker(gray, cands[group[k]].corners, dict, params, g, scratch.read);
  };
  size_t k = 0;
  for (; k < group.size(); ++k) {
    readings.push_back(reading_of(k));
    const Reading& reading = readings.back();
    if (!reading.decoded()) continue;
    reads.push_back({k, reading});
    if (!best || reading.errors() < reads[*best].reading.errors()) best = reads.size() - 1;
    if (reads[*best].reading.errors() == 0) break;
  }
  if (!best) return std::nullopt;
  const int32_t id = reads[*best].reading.match->id;
  const bool inverted = reads[*best].reading.inverted;
  auto same_marker = [&](const Reading& r) {
    return r.decoded() && r.match->id == id && r.inverted == inverted;
  };
  if (!inverted) {
    for (const MemberReading& r : reads)
      if (same_marker(r.reading)) return std::pair{r.member, r.reading};
  }
  std::pair<size_t, Reading> tightest{reads[*best].member, reads[*best].reading};
  for (const MemberReading& r : reads)
    if (same_marker(r.reading)) tightest = {r.member, r.reading};
  for (++k; k < group.size(); ++k) {
    readings.push_back(reading_of(k));
    if (same_marker(readings.back())) tightest = {k, readings.back()};
  }
  return tightest;
}

// Reads the groups of select_candidates.
Decoded read_groups(const GrayImage& gray, const Selection& selected,
                    const dictionary::Dictionary& dict, const DetectorParams& params,
                    const AheadReadings* ahead) {
  const Geometry g = geometry(dict, params);
  const Vec<Candidate>& cands = selected.cands;
  const FlatLists<uint32_t>& groups = selected.groups;
  // Groups are read independently, each with its thread's scratch, and
  // gathered in group order: the result does not depend on the thread count.
  // Each thread takes the next unread group until none is left, so the
  // threads end within one group of each other, and a thread that joins late
  // finds the work already shared out.
  std::atomic<size_t> next{0};
  Vec<std::optional<Detection>> found(groups.size());
  affinity::parallel_for(std::min(groups.size(), affinity::concurrency()), [&](size_t) {
    // Per thread: a task never waits on other tasks, so no other task runs
    // on its thread before it ends.
    thread_local GroupScratch thread_scratch;
    GroupScratch& scratch = thread_scratch;
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < groups.size();) {
      const auto chosen = read_group(gray, cands, groups[i], dict, params, g, scratch, ahead);
      if (!chosen) continue;
      const auto& [k, reading] = *chosen;
      Detection d{rotate_right(cands[groups[i][k]].corners, reading.match->rotation),
                  reading.match->id};
      if (params.corner_refinement_method == CORNER_REFINE_SUBPIX)
        refine_subpix(gray, d.corners, params, g.cells);
      found[i] = d;
    }
  });
  Decoded out;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (found[i]) out.detections.push_back(*found[i]);
    else out.rejected.push_back(cands[groups[i][0]]);
  }
  return out;
}

}  // namespace

Decoded finalize(const GrayImage& gray, Vec<Candidate> candidates,
                 const dictionary::Dictionary& dict, const DetectorParams& params) {
  return read_groups(gray, select_candidates(gray, std::move(candidates), params), dict, params,
                     nullptr);
}

// ---------------------------------------------------------------------------
// Driver

// ---------------------------------------------------------------------------
// Full-resolution border refit

namespace {

struct RefitGeometry {
  float cell = 0.0f;      // one marker cell in pixels
  float border = 0.0f;    // black border width in cells (at least 1)
};

RefitGeometry refit_geometry(const Quad& c, uint32_t marker_size, const DetectorParams& params) {
  const int64_t cells = std::max<int64_t>(
      int64_t(marker_size) + 2 * int64_t(std::max(params.marker_border_bits, 0)), 1);
  float longest = 0.0f;
  for (int i = 0; i < 4; ++i) longest = std::max(longest, side(c[i], c[(i + 1) & 3]));
  return {longest / float(cells), float(std::max(params.marker_border_bits, 1))};
}

// A bound of the crop: on the 4-pixel tile grid, clamped to [0, limit].
uint32_t crop_bound(float v, uint32_t limit, bool upper) {
  const float t = (upper ? std::ceil(v * 0.25f) : std::floor(v * 0.25f)) * 4.0f;
  if (!(t > 0.0f)) return 0;
  if (t >= float(limit)) return limit;
  return uint32_t(t);
}

GrayImage crop_image(const GrayImage& gray, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  GrayImage out;
  out.width = x1 - x0;
  out.height = y1 - y0;
  out.data.resize(size_t(out.width) * out.height);
  for (uint32_t y = y0; y < y1; ++y)
    std::copy_n(gray.data.data() + size_t(y) * gray.width + x0, out.width,
                out.data.data() + size_t(y - y0) * out.width);
  return out;
}

float shoelace(const Quad& c) {
  float sum = 0.0f;
  for (int i = 0; i < 4; ++i) sum += c[i].x * c[(i + 1) & 3].y - c[(i + 1) & 3].x * c[i].y;
  return sum;
}

// One side of a quad, with its direction normalised once per quad.
struct Side {
  float x, y;    // start corner
  float dx, dy;  // to the next corner
  float len;     // at least 1e-6, so a point quad divides safely
  float ux, uy;  // dx, dy over len
};

std::array<Side, 4> sides_of(const Quad& c) {
  std::array<Side, 4> s;
  for (int i = 0; i < 4; ++i) {
    const float dx = c[(i + 1) & 3].x - c[i].x;
    const float dy = c[(i + 1) & 3].y - c[i].y;
    const float len = std::max(std::hypot(dx, dy), 1e-6f);
    s[size_t(i)] = {c[i].x, c[i].y, dx, dy, len, dx / len, dy / len};
  }
  return s;
}

// One row of the band mask. Every pixel is computed alike, with no early
// exit, so the compiler runs the row through vector lanes; division and
// comparisons are exact in every lane, so the mask does not depend on it.
MV_CLONES("avx2", "default")
void mask_row(uint8_t* __restrict row, uint32_t width, float y, const Side* __restrict s, float sigma,
              float outside, float inside) {
  for (uint32_t px = 0; px < width; ++px) {
    const float x = float(px) + 0.5f;
    float m = std::numeric_limits<float>::infinity();
    for (int i = 0; i < 4; ++i) {
      const float d = sigma * (-s[i].dy * (x - s[i].x) + s[i].dx * (y - s[i].y)) / s[i].len;
      m = d < m ? d : m;
    }
    row[px] = (m < outside || m > inside) ? apriltag::kUndecided : row[px];
  }
}

// Leaves decided only the band around the marker's border: from one cell
// and 4 px outside to half a cell and 4 px beyond the black border inside.
// The code cells inside and the distant background would otherwise form
// clusters that compete with the border's.
void mask_border_band(GrayImage& three_valued, const Quad& c, const RefitGeometry& g) {
  const float sigma = shoelace(c) < 0.0f ? -1.0f : 1.0f;
  const std::array<Side, 4> s = sides_of(c);
  const float outside = -(g.cell + 4.0f);
  const float inside = (g.border + 0.5f) * g.cell + 4.0f;
  for (uint32_t py = 0; py < three_valued.height; ++py) {
    uint8_t* row = three_valued.data.data() + size_t(py) * three_valued.width;
    mask_row(row, three_valued.width, float(py) + 0.5f, s.data(), sigma, outside, inside);
  }
}

// How many points of a cluster (fitter's convention) lie along one of the
// sides, within `tol` across it and beyond its ends. Written without
// branches so that the compiler runs points through vector lanes; the
// arithmetic and comparisons are exact in every lane.
MV_CLONES("avx2", "default")
size_t count_near_a_side(const apriltag::EdgePoint* __restrict points, size_t n, const Side* __restrict sides,
                         float tol) {
  size_t near = 0;
  for (size_t k = 0; k < n; ++k) {
    const float px = float(points[k].x) * 0.5f + 0.5f;
    const float py = float(points[k].y) * 0.5f + 0.5f;
    bool any = false;
    for (int i = 0; i < 4; ++i) {
      const Side& s = sides[i];
      const float along = s.ux * (px - s.x) + s.uy * (py - s.y);
      const float across = std::fabs(s.uy * (px - s.x) - s.ux * (py - s.y));
      any |= (-tol < along) & (along < s.len + tol) & (across < tol);
    }
    near += any ? 1 : 0;
  }
  return near;
}

// Points of the cluster that follows the border best: among clusters large
// enough for the fitter, the one with most points near the sides (the larger
// key on ties, and clusters come in ascending key order). Empty when no
// cluster qualifies.
Vec<apriltag::EdgePoint> border_cluster(const GrayImage& three_valued, const Quad& c, float tol,
                                        uint32_t min_points) {
  const apriltag::ClusterSet clusters = apriltag::cluster_set(three_valued, min_points);
  const std::array<Side, 4> sides = sides_of(c);
  std::optional<size_t> best;
  size_t best_near = 0;
  for (size_t r = 0; r < clusters.size(); ++r) {
    const size_t near = count_near_a_side(clusters[r].data(), clusters[r].size(), sides.data(), tol);
    if (!best || near >= best_near) {
      best = r;
      best_near = near;
    }
  }
  if (!best) return {};
  const std::span<const apriltag::EdgePoint> points = clusters[*best];
  return Vec<apriltag::EdgePoint>(points.begin(), points.end());
}

// The fitted corners in the detection's order: the cyclic shift that puts
// them nearest to the old corners (the lowest shift among equals).
Quad match_corners(const Quad& fitted, const Quad& old) {
  int best_shift = 0;
  float best = std::numeric_limits<float>::infinity();
  for (int r = 0; r < 4; ++r) {
    float sum = 0.0f;
    for (int i = 0; i < 4; ++i) {
      const float dx = fitted[(i + r) & 3].x - old[i].x;
      const float dy = fitted[(i + r) & 3].y - old[i].y;
      sum += dx * dx + dy * dy;
    }
    if (sum < best) {
      best = sum;
      best_shift = r;
    }
  }
  Quad out;
  for (int i = 0; i < 4; ++i) out[i] = fitted[(i + best_shift) & 3];
  return out;
}

}  // namespace

void refine_full_resolution(const GrayImage& gray, Detection& detection, uint32_t marker_size,
                            const DetectorParams& params, float to_fitter) {
  // The fit runs in the quad fitter's convention, where pixel column i spans
  // x from i to i + 1; corners of the other convention (pixel centres at
  // integers) are moved into it by half a pixel, and back at the end, so a
  // refit never shifts a detection by that half pixel.
  Quad c = detection.corners;
  for (Point2f& p : c) p = {p.x + to_fitter, p.y + to_fitter};
  float min_x = c[0].x, max_x = c[0].x, min_y = c[0].y, max_y = c[0].y;
  for (const Point2f& p : c) {
    min_x = std::min(min_x, p.x);
    max_x = std::max(max_x, p.x);
    min_y = std::min(min_y, p.y);
    max_y = std::max(max_y, p.y);
  }
  for (float v : {min_x, max_x, min_y, max_y})
    if (!std::isfinite(v)) return;
  const RefitGeometry g = refit_geometry(c, marker_size, params);
  const float margin = g.cell + 4.0f + 12.0f;
  const uint32_t x0 = crop_bound(min_x - margin, gray.width, false);
  const uint32_t y0 = crop_bound(min_y - margin, gray.height, false);
  const uint32_t x1 = crop_bound(max_x + margin, gray.width, true);
  const uint32_t y1 = crop_bound(max_y + margin, gray.height, true);
  if (x0 >= x1 || y0 >= y1) return;

  const GrayImage crop = crop_image(gray, x0, y0, x1, y1);
  Quad rel;
  for (int i = 0; i < 4; ++i) rel[i] = {c[i].x - float(x0), c[i].y - float(y0)};
  GrayImage three_valued = apriltag::threshold(crop, params.april_tag_min_white_black_diff,
                                               params.april_tag_deglitch);
  mask_border_band(three_valued, rel, g);
  Vec<apriltag::EdgePoint> cluster = border_cluster(three_valued, rel, std::max(0.5f * g.cell, 2.0f),
                                                    apriltag::min_cluster_points(params));
  if (cluster.empty()) return;
  std::optional<Quad> fitted = apriltag::fit_quad(std::move(cluster), crop, params);
  if (!fitted) return;
  if (params.april_tag_refine_edges) {
    fitted = apriltag::refine_edges(crop, *fitted, apriltag::edge_reach(1.0));  // the crop is undecimated
  }

  const Quad moved = match_corners(*fitted, rel);
  float dmax = 0.0f;
  for (int i = 0; i < 4; ++i) dmax = std::max(dmax, side(moved[i], rel[i]));
  if (!(dmax <= std::max(0.4f * g.cell, 3.0f))) return;
  for (int i = 0; i < 4; ++i)
    detection.corners[i] = {(moved[i].x + float(x0)) - to_fitter, (moved[i].y + float(y0)) - to_fitter};
}

namespace {

// The (frame, scale) pairs of the adaptive-threshold source, frame-major and
// ascending in scale. A scale whose window equals an earlier one's would add
// exact copies of that scale's candidates. A copy lands in its twin's
// near-duplicate group, reads the same and never wins over it, so leaving it
// out changes no result; it does bound the work by the image size, since
// windows larger than the image all clip to the same one. Empty frames get no
// pairs.
Vec<ScalePair> threshold_pairs(const Vec<const GrayImage*>& frames, const DetectorParams& params,
                               uint32_t scales) {
  Vec<ScalePair> pairs;
  for (uint32_t f = 0; f < frames.size(); ++f) {
    if (frames[f]->empty()) continue;
    for (uint32_t k : distinct_scales(*frames[f], params, scales)) pairs.push_back({f, k});
  }
  return pairs;
}

// The candidates of every list in turn.
Vec<Candidate> joined(std::span<const Vec<Candidate>> lists) {
  size_t total = 0;
  for (const Vec<Candidate>& c : lists) total += c.size();
  Vec<Candidate> all;
  all.reserve(total);
  for (const Vec<Candidate>& c : lists) all.insert(all.end(), c.begin(), c.end());
  return all;
}

// The candidates of pairs [first, end), concatenated in pair order; the
// pairs' vectors are consumed.
Vec<Candidate> concatenate(Vec<Vec<Candidate>>& per_pair, size_t first, size_t end) {
  Vec<Candidate> all = joined(std::span(per_pair).subspan(first, end - first));
  for (size_t i = first; i < end; ++i) per_pair[i] = {};
  return all;
}

// The adaptive-threshold source for one frame, decoded. While the last
// scales are traced, a thread left idle reads the candidates of the scales
// already traced (those within the border, which decoding may read), so that
// decoding finds most readings made. The thread that traces the last scale
// decodes right away, in a loop nested in its task: the other threads join
// it as they finish, without a second hand-off to the pool.
Decoded threshold_detections(const GrayImage& gray, const dictionary::Dictionary& dict,
                             const DetectorParams& params, const PendingFrame* pending) {
  const std::optional<int32_t> n = scale_count(params);
  if (!n || *n == 0) return finalize(gray, {}, dict, params);
  const Vec<const GrayImage*> frames = {&gray};
  const Vec<ScalePair> pairs = threshold_pairs(frames, params, uint32_t(*n));
  const Geometry g = geometry(dict, params);
  // One thread of the call does all the idle work, so it fills `ahead` alone.
  AheadReadings ahead(pairs.size());
  Scratch scratch;
  auto read_ahead = [&](size_t p, std::span<const Candidate> cands, size_t k) {
    Quad q = cands[k].corners;
    orient(q);
    std::optional<Reading> reading;
    if (inside_border(q, gray, params.min_distance_to_border))
      reading = read_marker(gray, q, dict, params, g, scratch);
    ahead.add(p, k, cands.size(), std::move(reading));
  };
  std::optional<Decoded> out;
  // The reading ahead goes on while the candidates are grouped.
  auto decode = [&](const Vec<Vec<Candidate>>& per_pair, const std::function<void()>& stop_ahead) {
    ahead.set_sizes(per_pair);
    // The lists are left as they are: the idle work may still be reading them.
    Selection selected = select_candidates(gray, joined(per_pair), params);
    stop_ahead();
    out = read_groups(gray, selected, dict, params, ahead.any() ? &ahead : nullptr);
  };
  const Vec<Vec<Candidate>> per_pair =
      candidates_for_pairs(frames, params, pairs, {}, read_ahead, decode, pending);
  if (!out) decode(per_pair, [] {});  // no pairs were traced
  return std::move(*out);
}

}  // namespace

bool refits_full_resolution(const DetectorParams& params) {
  // An AprilTag search that already ran on the full image has nothing to gain.
  return params.april_tag_refine_full_resolution &&
         (params.corner_refinement_method != CORNER_REFINE_APRILTAG ||
          params.april_tag_quad_decimate > 1.0);
}

float refit_offset(const DetectorParams& params) {
  return params.corner_refinement_method == CORNER_REFINE_APRILTAG ? 0.0f : 0.5f;
}

DetectorParams refit_params(const DetectorParams& params) {
  DetectorParams p = params;
  p.corner_refinement_method = CORNER_REFINE_APRILTAG;
  p.april_tag_quad_decimate = 0.0;
  p.april_tag_refine_full_resolution = false;
  return p;
}

namespace {

Decoded detect_in(const GrayImage& gray, const PendingFrame* pending,
                  const dictionary::Dictionary& dict, const DetectorParams& params) {
  if (pending && !copies_while_thresholding(gray.width, gray.height, params)) {
    const size_t bytes = size_t(gray.width) * gray.height;
    if (bytes != 0) std::memcpy(pending->into, pending->pixels, bytes);
    pending->copied();
    pending = nullptr;
  }
  if (gray.empty()) return {};
  Decoded out = params.corner_refinement_method == CORNER_REFINE_APRILTAG
                    ? finalize(gray, apriltag::candidates(gray, params), dict, params)
                    : threshold_detections(gray, dict, params, pending);
  if (refits_full_resolution(params)) {
    const DetectorParams refit = refit_params(params);
    const float to_fitter = refit_offset(params);
    affinity::parallel_for(out.detections.size(), [&](size_t i) {
      refine_full_resolution(gray, out.detections[i], dict.marker_size, refit, to_fitter);
    });
  }
  return out;
}

}  // namespace

// Frames up to this many pixels are copied in by the first threshold pass.
// It pays at 640x480 and 1280x720, where the caller's frame is still in the
// cache: the separate copy was 4% of a call there. From 1920x1080 on the
// frame comes from memory, and the pass, which then waits for it, took
// longer than the separate copy, which moves it on every thread at the
// memory's full speed.
constexpr uint64_t kCopyWhileThresholdingMaxPixels = uint64_t(1) << 20;

bool copies_while_thresholding(uint32_t width, uint32_t height, const DetectorParams& params) {
  if (params.corner_refinement_method == CORNER_REFINE_APRILTAG || width == 0 || height == 0 ||
      uint64_t(width) * height > kCopyWhileThresholdingMaxPixels)
    return false;
  const std::optional<int32_t> n = scale_count(params);
  if (!n || *n == 0) return false;
  GrayImage shape;  // the plan depends on the frame's size alone
  shape.width = width;
  shape.height = height;
  const Vec<const GrayImage*> frames = {&shape};
  const Vec<ScalePair> pairs = threshold_pairs(frames, params, uint32_t(*n));
  // The plan candidates_for_pairs makes for one frame: widest window first.
  Vec<size_t> order(pairs.size());
  std::iota(order.rbegin(), order.rend(), size_t(0));
  const Vec<size_t> run_first = {0}, run_of(pairs.size(), 0);
  const Vec<ThresholdJob> jobs = threshold_jobs(frames, params, pairs, order, run_first, run_of);
  return !jobs.empty() && jobs.front().count == 2;
}

Decoded detect_markers(const GrayImage& gray, const dictionary::Dictionary& dict,
                       const DetectorParams& params) {
  return detect_in(gray, nullptr, dict, params);
}

Decoded detect_markers(const GrayImage& gray, const PendingFrame& pending,
                       const dictionary::Dictionary& dict, const DetectorParams& params) {
  return detect_in(gray, &pending, dict, params);
}

Vec<Decoded> detect_markers_batch(const Vec<GrayImage>& grays, const dictionary::Dictionary& dict,
                                  const DetectorParams& params) {
  const size_t count = grays.size();
  Vec<Decoded> out(count);
  const bool refit = refits_full_resolution(params);
  const DetectorParams refit_settings = refit_params(params);
  const float to_fitter = refit_offset(params);
  // Decoding and refitting a frame are the per-frame and per-detection loops;
  // each frame enters them as soon as its candidates are complete, while the
  // image is still warm, rather than after the whole batch has been searched.
  auto finish_frame = [&](size_t f, Vec<Candidate>&& candidates) {
    out[f] = finalize(grays[f], std::move(candidates), dict, params);
    if (!refit) return;
    Vec<Detection>& detections = out[f].detections;
    affinity::parallel_for(detections.size(), [&](size_t i) {
      refine_full_resolution(grays[f], detections[i], dict.marker_size, refit_settings, to_fitter);
    });
  };
  if (params.corner_refinement_method == CORNER_REFINE_APRILTAG) {
    affinity::parallel_for(count, [&](size_t f) {
      if (!grays[f].empty()) finish_frame(f, apriltag::candidates(grays[f], params));
    });
    return out;
  }
  const std::optional<int32_t> n = scale_count(params);
  Vec<const GrayImage*> frames(count);
  for (size_t f = 0; f < count; ++f) frames[f] = &grays[f];
  const Vec<ScalePair> pairs =
      n && *n > 0 ? threshold_pairs(frames, params, uint32_t(*n)) : Vec<ScalePair>{};
  candidates_for_pairs(frames, params, pairs,
                       [&](size_t first, size_t end, Vec<Vec<Candidate>>& per_pair) {
                         finish_frame(pairs[first].frame, concatenate(per_pair, first, end));
                       });
  // Frames without pairs: empty ones have no result, the others (no scales)
  // are decoded from no candidates, as a single call does.
  Vec<bool> has_pairs(count, false);
  for (const ScalePair& p : pairs) has_pairs[p.frame] = true;
  affinity::parallel_for(count, [&](size_t f) {
    if (!has_pairs[f] && !grays[f].empty()) finish_frame(f, {});
  });
  return out;
}

}  // namespace markvane::detector
