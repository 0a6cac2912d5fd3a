// The process-wide worker pool: every data-parallel loop of the module runs on
// it. Configured once at import (CPU selection, thread count, pinning).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace markvane::affinity {

// How the pool is to be built. `cpus` empty means "not configured": the pool is
// created on first use with its defaults (all CPUs, default size, no pinning).
struct PoolPlan {
  std::vector<size_t> cpus;
  std::optional<size_t> threads;  // worker count; nullopt = pool default
};

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

// Reads MARKVANE_CORES / RAYON_NUM_THREADS and /sys/devices/system/cpu, builds
// the pool and waits until every worker has started (and been pinned).
void init_pool();

// Number of threads that may run a loop (workers plus the calling thread).
size_t concurrency();

// Runs body(i) for every i in [0, n) on the pool and returns when all are done.
// The calling thread takes part. Callers gather results by index, so output
// never depends on scheduling or thread count.
void parallel_for(size_t n, const std::function<void(size_t)>& body);

}  // namespace markvane::affinity
