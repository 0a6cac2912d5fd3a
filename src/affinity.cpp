#include "affinity.h"

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace markvane::affinity {
namespace {

// ---------------------------------------------------------------------------
// Text helpers. Environment values and sysfs files are treated as UTF-8 text;
// surrounding whitespace is any Unicode White_Space code point, not just ASCII.

// Length of the UTF-8 sequence introduced by lead byte `b`, 0 if not a lead.
size_t utf8_sequence_length(unsigned char b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// Decodes the well-formed sequence starting at s[i]; the caller has validated s.
char32_t decode_at(std::string_view s, size_t i, size_t len) {
  const auto byte = [&](size_t k) { return char32_t(static_cast<unsigned char>(s[i + k])); };
  if (len == 1) return byte(0);
  char32_t cp = byte(0) & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (byte(k) & 0x3Fu);
  return cp;
}

bool is_unicode_space(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims Unicode whitespace from both ends of valid UTF-8 text.
std::string_view trim(std::string_view s) {
  while (!s.empty()) {
    const size_t len = utf8_sequence_length(static_cast<unsigned char>(s[0]));
    if (len == 0 || len > s.size() || !is_unicode_space(decode_at(s, 0, len))) break;
    s.remove_prefix(len);
  }
  while (!s.empty()) {
    size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    const size_t len = s.size() - start;
    if (utf8_sequence_length(static_cast<unsigned char>(s[start])) != len) break;
    if (!is_unicode_space(decode_at(s, start, len))) break;
    s.remove_suffix(len);
  }
  return s;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Unsigned decimal with an optional leading '+', nothing else; nullopt on any
// other character, on an empty number and on overflow of a machine word.
std::optional<size_t> parse_unsigned(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  size_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const size_t digit = size_t(c - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// ---------------------------------------------------------------------------
// CPU list parsing.

// A list longer than this cannot describe a real machine; refusing it keeps a
// typo such as "0-99999999999" from allocating without bound or from asking
// for billions of threads at import.
constexpr size_t kMaxCpuListEntries = 8192;

// Appends the indices of one comma-separated piece; false on a parse error.
bool append_piece(std::string_view piece, std::vector<size_t>& out) {
  const size_t dash = piece.find('-');
  if (dash == std::string_view::npos) {
    const auto index = parse_unsigned(piece);
    if (!index) return false;
    out.push_back(*index);
    return true;
  }
  const auto first = parse_unsigned(trim(piece.substr(0, dash)));
  const auto last = parse_unsigned(trim(piece.substr(dash + 1)));
  if (!first || !last || *first > *last) return false;
  if (*last - *first >= kMaxCpuListEntries - std::min(out.size(), kMaxCpuListEntries)) return false;
  for (size_t i = *first;; ++i) {
    out.push_back(i);
    if (i == *last) break;
  }
  return true;
}

// ---------------------------------------------------------------------------
// sysfs discovery.

struct CpuRecord {
  size_t index;
  size_t max_freq;  // kHz, as the kernel reports it
};

// Whole content of a small text file; nullopt when it cannot be read.
std::optional<std::string> read_small_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string text;
  char buf[256];
  size_t got = 0;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 65536) text.append(buf, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return text;
}

// "cpu<unsigned>" -> index; "cpufreq", "cpuidle", "cpu" and friends -> nullopt.
std::optional<size_t> cpu_index_of(std::string_view name) {
  if (name.substr(0, 3) != "cpu") return std::nullopt;
  return parse_unsigned(name.substr(3));
}

std::optional<size_t> read_max_freq(const std::string& cpu_dir) {
  const auto text = read_small_file(cpu_dir + "/cpufreq/cpuinfo_max_freq");
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  return parse_unsigned(trim(*text));
}

std::vector<CpuRecord> read_cpu_records(const std::string& sysfs_root) {
  std::vector<CpuRecord> records;
  DIR* dir = opendir(sysfs_root.c_str());
  if (!dir) return records;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const auto index = cpu_index_of(name);
    if (!index) continue;
    const auto freq = read_max_freq(sysfs_root + "/" + std::string(name));
    if (freq) records.push_back({*index, *freq});
  }
  closedir(dir);
  return records;
}

// ---------------------------------------------------------------------------
// The pool.

std::optional<std::string> read_env(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

// One bit per listed CPU below kMaskCpuLimit.
cpu_set_t mask_for(const std::vector<size_t>& cpus) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  for (size_t cpu : cpus) {
    if (cpu < kMaskCpuLimit) CPU_SET(cpu, &mask);
  }
  return mask;
}

// Takes `cpu` out of `mask` when the mask holds it and at least one other CPU.
void keep_off(cpu_set_t& mask, int cpu) {
  if (cpu < 0 || size_t(cpu) >= kMaskCpuLimit || !CPU_ISSET(cpu, &mask)) return;
  if (CPU_COUNT(&mask) > 1) CPU_CLR(cpu, &mask);
}

// oneTBB's only per-thread start hook is an observer subclass. It places each
// worker while the worker serves this pool's arena:
//
// - Pinning: with a CPU list, the worker runs only on those CPUs.
// - Keeping off the caller's CPU: a worker that slept between calls is woken
//   by the thread that starts the loop, and some kernels (notably on virtual
//   machines that pack vCPUs) put it on the waker's CPU, where the two share
//   one core for the whole call while the other cores idle. So a joining
//   worker leaves out the CPU the loop's caller was on, whenever that leaves
//   it somewhere to run.
//
// oneTBB's worker threads are shared by every arena in the process, so on
// entry the worker's current mask is saved and on exit it is put back: another
// oneTBB user that later gets the same thread finds it as it was. The calling
// thread (is_worker == false) is left alone. A failing sched_setaffinity
// leaves that worker where it was.
class PlacementObserver final : public tbb::task_scheduler_observer {
 public:
  PlacementObserver(tbb::task_arena& arena, std::optional<cpu_set_t> pin,
                    const std::atomic<int>& caller_cpu)
      : tbb::task_scheduler_observer(arena), pin_(pin), caller_cpu_(caller_cpu) {
    observe(true);
  }
  void on_scheduler_entry(bool is_worker) override {
    if (!is_worker) return;
    Saved& saved = saved_mask();
    // Entries nest only if the thread enters this arena again while inside
    // it; the outermost entry owns the saved mask.
    if (saved.depth++ > 0) return;
    saved.changed = false;
    // Without the current mask a pinned worker is still pinned, just never
    // put back; an unpinned one is left as it is.
    const bool have_saved = sched_getaffinity(0, sizeof saved.mask, &saved.mask) == 0;
    if (!have_saved && !pin_) return;
    cpu_set_t target = pin_ ? *pin_ : saved.mask;
    keep_off(target, caller_cpu_.load(std::memory_order_relaxed));
    if (have_saved && CPU_EQUAL(&target, &saved.mask)) return;
    saved.changed = sched_setaffinity(0, sizeof target, &target) == 0 && have_saved;
  }
  void on_scheduler_exit(bool is_worker) override {
    if (!is_worker) return;
    Saved& saved = saved_mask();
    if (saved.depth == 0 || --saved.depth > 0) return;
    if (saved.changed) (void)sched_setaffinity(0, sizeof saved.mask, &saved.mask);
    saved.changed = false;
  }

 private:
  struct Saved {
    cpu_set_t mask;
    bool changed = false;
    unsigned depth = 0;
  };
  // One pool per module copy, so one saved mask per thread is enough.
  static Saved& saved_mask() {
    thread_local Saved saved;
    return saved;
  }

  const std::optional<cpu_set_t> pin_;
  const std::atomic<int>& caller_cpu_;
};

// Everything here is created once and deliberately never destroyed: worker
// threads may still be running when static destructors would run, and there
// is no shutdown step.
struct Pool {
  tbb::task_arena* arena = nullptr;
  // The CPU of the thread that last started a loop from outside the pool
  // (-1 before the first); joining workers keep off it.
  std::atomic<int> caller_cpu{-1};
  // When the last loop started from outside the pool ended (steady clock, ns).
  std::atomic<int64_t> last_loop_end{0};
  // When wake_workers last woke the pool ahead of a call (steady clock, ns).
  std::atomic<int64_t> last_wake{0};
  // The trial of the two kinds of frame copy (see frame_copy_stores).
  std::atomic<uint32_t> copies_started{0};
  std::atomic<uint32_t> copies_timed{0};
  std::array<std::atomic<uint64_t>, 2> best_ps_per_byte{UINT64_MAX, UINT64_MAX};
  std::atomic<int> copy_choice{-1};  // a CopyStores once decided
};

// oneTBB's workers spin for a while after a loop and then sleep; by this much
// idle time (measured: awake after 1 ms, asleep after 3 ms) they may be asleep.
constexpr int64_t kWorkerNapNs = 500'000;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True on a thread while it runs a pool task: a loop started there is nested
// and keeps the outer caller's CPU.
thread_local bool in_pool_task = false;

class PoolTaskScope {
 public:
  PoolTaskScope() : outer_(in_pool_task) { in_pool_task = true; }
  ~PoolTaskScope() { in_pool_task = outer_; }
  PoolTaskScope(const PoolTaskScope&) = delete;
  PoolTaskScope& operator=(const PoolTaskScope&) = delete;

 private:
  const bool outer_;
};

// Run by a thread about to start a loop from outside the pool. When the pool
// has been idle long enough for its workers to sleep, one is woken now and
// this CPU is yielded to it for a moment: a kernel that queues a woken thread
// on its waker's CPU would otherwise leave the worker waiting there until the
// caller has done the whole loop alone. Once it runs, the worker's observer
// moves it off this CPU. Back-to-back calls skip the wake-up, and so does the
// first loop of a call that woke the pool on entry (wake_workers). Returns
// whether it woke a worker.
bool prepare_caller(Pool& pool) {
  pool.caller_cpu.store(sched_getcpu(), std::memory_order_relaxed);
  if (pool.arena->max_concurrency() < 2) return false;
  const int64_t now = steady_ns();
  if (now - pool.last_loop_end.load(std::memory_order_relaxed) < kWorkerNapNs) return false;
  if (now - pool.last_wake.load(std::memory_order_relaxed) < kWorkerNapNs) return false;
  pool.arena->enqueue([] {});
  sched_yield();
  return true;
}

// Runs `loop` in the pool's arena, as the caller of a top-level loop when the
// thread is not already running a pool task.
template <class Loop>
void run_in_pool(Pool& pool, const Loop& loop) {
  const bool top_level = !in_pool_task;
  if (top_level) prepare_caller(pool);
  pool.arena->execute(loop);
  if (top_level) pool.last_loop_end.store(steady_ns(), std::memory_order_relaxed);
}

struct PoolSlot {
  std::once_flag once;
  Pool* pool = nullptr;
};

PoolSlot& pool_slot() {
  static PoolSlot slot;
  return slot;
}

// oneTBB keeps fewer workers than the machine has hardware threads unless told
// otherwise; raise the process-wide limit only when the plan needs more, so a
// smaller pool does not throttle other oneTBB users in the process.
void allow_parallelism(size_t slots) {
  using gc = tbb::global_control;
  if (slots <= gc::active_value(gc::max_allowed_parallelism)) return;
  new gc(gc::max_allowed_parallelism, slots);
}

Pool* build_pool(const PoolPlan& plan) {
  // A CPU list gives one worker per CPU, plus a slot for the calling thread.
  // A thread count from the environment is the number of threads that run a
  // loop, the calling thread included, so "1" means single-threaded.
  std::optional<size_t> total;
  if (plan.threads) {
    total = *plan.threads + 1;
  } else {
    total = default_worker_count(read_env("RAYON_NUM_THREADS"));
  }
  int slots = tbb::task_arena::automatic;
  if (total) {
    const size_t capped = std::min<size_t>(*total, size_t(INT_MAX / 2));
    slots = int(capped);
    allow_parallelism(capped);
  }
  auto* pool = new Pool;
  pool->arena = new tbb::task_arena(slots, 1);
  pool->arena->initialize();
  std::optional<cpu_set_t> pin;
  if (!plan.cpus.empty()) pin = mask_for(plan.cpus);
  new PlacementObserver(*pool->arena, pin, pool->caller_cpu);
  return pool;
}

// Builds the pool from `plan` unless it already exists; true if this call
// built it.
bool ensure_pool(const PoolPlan& plan) {
  PoolSlot& slot = pool_slot();
  bool built = false;
  std::call_once(slot.once, [&] {
    slot.pool = build_pool(plan);
    built = true;
  });
  return built;
}

Pool& pool() {
  ensure_pool(PoolPlan{});
  return *pool_slot().pool;
}

// Gathers up to `wanted` distinct threads: each participant blocks until all
// have arrived, so no thread can take a second turn. Waiting ends early when
// no new thread arrived for kStall, and in any case after kDeadline.
class Rendezvous {
 public:
  explicit Rendezvous(size_t wanted) : wanted_(wanted) {}

  // False when the rendezvous is already over (late or repeated turn).
  bool arrive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return false;
    ++arrived_;
    last_arrival_ = Clock::now();
    if (arrived_ >= wanted_) release_locked();
    return true;
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!released_) {
      const auto until = std::min(start_ + kDeadline, last_arrival_ + kStall);
      if (Clock::now() >= until) {
        release_locked();
        break;
      }
      changed_.wait_until(lock, until);
    }
  }

  size_t participants() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kDeadline = std::chrono::seconds(10);
  static constexpr auto kStall = std::chrono::seconds(2);

  void release_locked() {
    released_ = true;
    changed_.notify_all();
  }

  const size_t wanted_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t arrived_ = 0;
  bool released_ = false;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point last_arrival_ = start_;
};

}  // namespace

// ---------------------------------------------------------------------------

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    const size_t len = utf8_sequence_length(b0);
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    if (len >= 3) {
      const auto b1 = static_cast<unsigned char>(s[i + 1]);
      if (b0 == 0xE0 && b1 < 0xA0) return false;  // overlong
      if (b0 == 0xED && b1 > 0x9F) return false;  // surrogate
      if (b0 == 0xF0 && b1 < 0x90) return false;  // overlong
      if (b0 == 0xF4 && b1 > 0x8F) return false;  // above U+10FFFF
    }
    i += len;
  }
  return true;
}

std::optional<std::vector<size_t>> parse_core_list(const std::string& value) {
  const std::string_view text = trim(value);
  if (equals_ignore_ascii_case(text, "all")) return std::nullopt;
  std::vector<size_t> cpus;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view piece = trim(text.substr(pos, comma - pos));
    if (!piece.empty() && !append_piece(piece, cpus)) return std::nullopt;
    if (cpus.size() > kMaxCpuListEntries) return std::nullopt;
    pos = comma + 1;
  }
  if (cpus.empty()) return std::nullopt;
  std::sort(cpus.begin(), cpus.end());
  cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
  return cpus;
}

std::vector<size_t> fastest_cpus(const std::string& sysfs_root) {
  std::vector<CpuRecord> records = read_cpu_records(sysfs_root);
  if (records.size() < 2) return {};
  std::sort(records.begin(), records.end(), [](const CpuRecord& a, const CpuRecord& b) {
    return std::pair(a.index, a.max_freq) < std::pair(b.index, b.max_freq);
  });
  size_t f_min = SIZE_MAX;
  for (const CpuRecord& r : records) f_min = std::min(f_min, r.max_freq);
  std::vector<size_t> fast;
  for (const CpuRecord& r : records) {
    if (r.max_freq > f_min) fast.push_back(r.index);
  }
  if (fast.size() < 2) return {};
  return fast;
}

PoolPlan plan_pool(const std::optional<std::string>& cores_env, bool thread_count_env_set,
                   const std::string& sysfs_root) {
  PoolPlan plan;
  if (cores_env) {
    // An explicit value never falls back to automatic selection: "all" and
    // unparsable lists both mean an unpinned default pool.
    auto cpus = parse_core_list(*cores_env);
    if (!cpus) return plan;
    plan.cpus = std::move(*cpus);
  } else {
    plan.cpus = fastest_cpus(sysfs_root);
    if (plan.cpus.empty()) return plan;
  }
  if (!thread_count_env_set) plan.threads = plan.cpus.size();
  return plan;
}

std::optional<size_t> default_worker_count(const std::optional<std::string>& thread_env) {
  if (!thread_env || !is_valid_utf8(*thread_env)) return std::nullopt;
  const auto count = parse_unsigned(trim(*thread_env));
  if (!count || *count == 0) return std::nullopt;
  return count;
}

void init_pool() {
  try {
    std::optional<std::string> cores = read_env("MARKVANE_CORES");
    if (cores && !is_valid_utf8(*cores)) cores.reset();
    const bool thread_env_set = std::getenv("RAYON_NUM_THREADS") != nullptr;
    const PoolPlan plan = plan_pool(cores, thread_env_set, "/sys/devices/system/cpu");
    if (plan.cpus.empty()) return;  // created with defaults on first use
    // Import returns only once every worker exists and has been pinned, so the
    // first detection call never races with thread start-up.
    if (ensure_pool(plan)) run_on_each_thread([] {});
  } catch (...) {
    // Configuration is best effort; the import must go on regardless.
  }
}

size_t concurrency() { return size_t(pool().arena->max_concurrency()); }

void wake_workers() {
  if (in_pool_task) return;
  Pool& p = pool();
  if (prepare_caller(p)) p.last_wake.store(steady_ns(), std::memory_order_relaxed);
}

// Copies shorter than this are left out of the trial: their times are
// mostly fixed costs.
constexpr size_t kCopyTrialMinBytes = size_t(64) << 10;
// Copies timed before the choice, alternately of each kind.
constexpr uint32_t kCopyTrials = 8;

CopyStores frame_copy_stores(size_t bytes) {
  Pool& p = pool();
  if (p.arena->max_concurrency() < 2) return CopyStores::kCached;
  const int choice = p.copy_choice.load(std::memory_order_relaxed);
  if (choice >= 0) return CopyStores(choice);
  if (bytes < kCopyTrialMinBytes) return CopyStores::kCached;
  return p.copies_started.fetch_add(1, std::memory_order_relaxed) % 2 == 0 ? CopyStores::kStreaming
                                                                          : CopyStores::kCached;
}

void frame_copy_done(CopyStores stores, size_t bytes, int64_t ns) {
  Pool& p = pool();
  if (bytes < kCopyTrialMinBytes || ns < 0 || p.copy_choice.load(std::memory_order_relaxed) >= 0)
    return;
  const uint64_t ps_per_byte = uint64_t(ns) * 1000 / bytes;
  std::atomic<uint64_t>& best = p.best_ps_per_byte[size_t(stores)];
  uint64_t seen = best.load(std::memory_order_relaxed);
  while (ps_per_byte < seen && !best.compare_exchange_weak(seen, ps_per_byte)) {
  }
  if (p.copies_timed.fetch_add(1, std::memory_order_acq_rel) + 1 != kCopyTrials) return;
  const uint64_t cached = p.best_ps_per_byte[size_t(CopyStores::kCached)].load();
  const uint64_t streaming = p.best_ps_per_byte[size_t(CopyStores::kStreaming)].load();
  // An ordinary copy also leaves the frame in cache for the threshold that
  // reads it next, so streaming must be clearly faster to be kept.
  const bool stream = streaming < cached - cached / 4;
  p.copy_choice.store(int(stream ? CopyStores::kStreaming : CopyStores::kCached),
                      std::memory_order_relaxed);
}

void parallel_for(size_t n, const std::function<void(size_t)>& body) {
  if (n == 0) return;
  // Grain 1 with the simple partitioner splits down to single indices, so
  // uneven tasks (large and small scales, busy and empty frames) balance.
  run_in_pool(pool(), [&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, n, 1),
        [&](const tbb::blocked_range<size_t>& r) {
          const PoolTaskScope task;
          for (size_t i = r.begin(); i != r.end(); ++i) body(i);
        },
        tbb::simple_partitioner());
  });
}

void parallel_ranges(size_t n, size_t grain, const std::function<void(size_t, size_t)>& body) {
  if (n == 0) return;
  const size_t pieces = std::clamp<size_t>(n / std::max<size_t>(grain, 1), 1, concurrency());
  if (pieces == 1) {
    body(0, n);
    return;
  }
  parallel_for(pieces, [&](size_t i) { body(n * i / pieces, n * (i + 1) / pieces); });
}

size_t run_on_each_thread(const std::function<void()>& fn) {
  Pool& p = pool();
  const size_t wanted = size_t(p.arena->max_concurrency());
  Rendezvous meet(wanted);
  run_in_pool(p, [&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, wanted, 1),
        [&](const tbb::blocked_range<size_t>&) {
          const PoolTaskScope task;
          if (!meet.arrive()) return;
          fn();
          meet.wait();
        },
        tbb::simple_partitioner());
  });
  return meet.participants();
}

}  // namespace markvane::affinity
