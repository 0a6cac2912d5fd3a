// The process-wide worker pool: every data-parallel loop of the module runs on
// it. Configured once at import (CPU selection, thread count, pinning).
//
// The pool is a oneTBB arena with `workers` worker slots plus one slot for a
// calling thread, which takes part in the loops it starts. Only the pool's
// worker threads are pinned; threads that call into the module never are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace markvane::affinity {

// How the pool is to be built. `cpus` empty means "not configured": the pool is
// created on first use with its defaults (all CPUs, default size, no pinning).
struct PoolPlan {
  std::vector<size_t> cpus;
  std::optional<size_t> threads;  // worker count; nullopt = pool default
};

// CPU indices at or above this are left out of the affinity mask (they still
// count as workers).
inline constexpr size_t kMaskCpuLimit = 128;

// Parses a MARKVANE_CORES value ("2-3, 0 ,2", "all", ...). nullopt when the
// value means "leave the pool unconfigured" (all, parse error, no index).
std::optional<std::vector<size_t>> parse_core_list(const std::string& value);

// The CPUs whose maximum frequency is strictly above the slowest one, read from
// <sysfs_root>/cpuN/cpufreq/cpuinfo_max_freq. Empty unless at least two qualify.
std::vector<size_t> fastest_cpus(const std::string& sysfs_root);

// Whole decision from the environment values (nullopt = variable unset or not
// UTF-8) and a sysfs root.
PoolPlan plan_pool(const std::optional<std::string>& cores_env, bool thread_count_env_set,
                   const std::string& sysfs_root);

// The pool's default size rule, used when the plan leaves the count open: a
// RAYON_NUM_THREADS value that is a positive decimal integer is the number of
// threads that run a loop, the calling thread included; anything else (or
// unset) defers to oneTBB's default.
std::optional<size_t> default_worker_count(const std::optional<std::string>& thread_env);

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or code
// points above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Reads MARKVANE_CORES / RAYON_NUM_THREADS and /sys/devices/system/cpu, builds
// the pool and waits until every worker has started (and been pinned).
// Silent on every failure; a second call, or a call after the pool was already
// created by first use, changes nothing.
void init_pool();

// Number of threads that may run a loop (workers plus the calling thread).
size_t concurrency();

// Wakes a worker when the pool has been idle long enough for its workers to
// sleep, so that waking overlaps what the caller does before its first loop
// (binding the arguments, copying the frame). Waking takes tens of
// microseconds on a virtual machine, a few percent of a small frame's call.
// A no-op on a pool thread and right after a loop.
void wake_workers();

// How a frame copy on the pool stores its bytes. Ordinary stores leave the
// frame in cache for the passes that follow; stores that bypass the caches
// spare taking back the lines another core still holds from the last call.
// Which costs less depends on how the machine's cores share their caches
// (measured: either kind 2-4x the other's copy time, on different hosts),
// so the first copies of a process try the two kinds in turn, and the one
// with the best time per byte is kept from then on (streaming only when
// clearly faster). One thread: ordinary stores.
enum class CopyStores { kCached, kStreaming };
CopyStores frame_copy_stores(size_t bytes);
// Reports how long a copy of `bytes` with `stores` took.
void frame_copy_done(CopyStores stores, size_t bytes, int64_t ns);

// Runs body(i) for every i in [0, n) on the pool and returns when all are done.
// The calling thread takes part. Callers gather results by index, so output
// never depends on scheduling or thread count. May be nested inside a body.
void parallel_for(size_t n, const std::function<void(size_t)>& body);

// Splits [0, n) into at most concurrency() contiguous pieces of at least
// `grain` (one piece when n < 2 * grain) and runs body(begin, end) for each
// on the pool. For passes over memory too short to pay for finer tasks.
void parallel_ranges(size_t n, size_t grain, const std::function<void(size_t, size_t)>& body);

// Runs fn() once on each of up to concurrency() distinct pool threads (the
// caller included) and returns how many threads took part. Every participant
// stays parked until all have arrived, so no thread can take two turns; the
// wait gives up after a bounded time, so the call always returns. Call it from
// outside the pool. Used to wait for the workers at start-up and to inspect
// them in tests.
size_t run_on_each_thread(const std::function<void()>& fn);

}  // namespace markvane::affinity
