// Test hooks for the worker pool. The pure planning functions are exposed as
// they are; the pool hooks act on this extension's own copy of the pool (the
// hooks module links the core statically, so its pool is not `markvane`'s).
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "affinity.h"
#include "testhooks.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::testhooks {
namespace {

std::vector<size_t> current_thread_cpus() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  std::vector<size_t> cpus;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return cpus;
  for (size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &mask)) cpus.push_back(cpu);
  }
  return cpus;
}

struct ThreadSeen {
  long tid;
  std::vector<size_t> cpus;
};

nb::dict pool_info() {
  const long caller = long(syscall(SYS_gettid));
  std::mutex mutex;
  std::vector<ThreadSeen> seen;
  size_t participants = 0;
  {
    nb::gil_scoped_release release;
    participants = affinity::run_on_each_thread([&] {
      ThreadSeen t{long(syscall(SYS_gettid)), current_thread_cpus()};
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(std::move(t));
    });
  }
  nb::list workers;
  for (const ThreadSeen& t : seen) {
    if (t.tid != caller) workers.append(nb::cast(t.cpus));
  }
  nb::dict info;
  info["concurrency"] = affinity::concurrency();
  info["participants"] = participants;
  info["caller_tid"] = caller;
  info["caller_affinity"] = current_thread_cpus();
  info["worker_affinities"] = workers;
  return info;
}

// Runs an outer loop of n indices, each starting an inner loop of m, and
// returns how often every (i, j) ran, flattened as i * m + j.
std::vector<int> nested_counts(size_t n, size_t m) {
  auto counts = std::make_unique<std::atomic<int>[]>(n * m);
  {
    nb::gil_scoped_release release;
    affinity::parallel_for(n, [&](size_t i) {
      affinity::parallel_for(m, [&](size_t j) { counts[i * m + j].fetch_add(1); });
    });
  }
  std::vector<int> out(n * m);
  for (size_t k = 0; k < n * m; ++k) out[k] = counts[k].load();
  return out;
}

// Runs a loop in a fresh oneTBB arena that belongs to no pool of this module
// (the way an unrelated library in the same process would) and returns the CPU
// lists of the worker threads that ran it. Each task waits for the others, up
// to a short deadline, so every worker oneTBB hands the arena takes a turn.
// `slots` 0 means oneTBB's default size.
nb::list foreign_arena_affinities(int slots) {
  const long caller = long(syscall(SYS_gettid));
  std::mutex mutex;
  std::vector<ThreadSeen> seen;
  {
    nb::gil_scoped_release release;
    tbb::task_arena arena(slots > 0 ? slots : int(tbb::task_arena::automatic));
    arena.initialize();
    const int wanted = arena.max_concurrency();
    std::atomic<int> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    arena.execute([&] {
      tbb::parallel_for(
          tbb::blocked_range<int>(0, wanted, 1),
          [&](const tbb::blocked_range<int>&) {
            {
              ThreadSeen t{long(syscall(SYS_gettid)), current_thread_cpus()};
              std::lock_guard<std::mutex> lock(mutex);
              seen.push_back(std::move(t));
            }
            arrived.fetch_add(1);
            while (arrived.load() < wanted && std::chrono::steady_clock::now() < deadline) {
              std::this_thread::yield();
            }
          },
          tbb::simple_partitioner());
    });
  }
  nb::list workers;
  for (const ThreadSeen& t : seen) {
    if (t.tid != caller) workers.append(nb::cast(t.cpus));
  }
  return workers;
}

}  // namespace

void register_affinity_hooks(nb::module_& m) {
  m.def("parse_core_list", &affinity::parse_core_list, "value"_a);
  m.def("fastest_cpus", &affinity::fastest_cpus, "sysfs_root"_a);
  m.def(
      "plan_pool",
      [](std::optional<std::string> cores_env, bool thread_env_set, const std::string& root) {
        affinity::PoolPlan plan = affinity::plan_pool(cores_env, thread_env_set, root);
        return std::make_pair(plan.cpus, plan.threads);
      },
      "cores_env"_a.none(), "thread_env_set"_a, "sysfs_root"_a);
  m.def(
      "default_worker_count",
      [](std::optional<nb::bytes> value) -> std::optional<size_t> {
        if (!value) return affinity::default_worker_count(std::nullopt);
        return affinity::default_worker_count(std::string(value->c_str(), value->size()));
      },
      "value"_a.none());
  m.def("is_valid_utf8", [](nb::bytes b) {
    return affinity::is_valid_utf8(std::string_view(b.c_str(), b.size()));
  });
  m.def("init_pool", [] {
    nb::gil_scoped_release release;
    affinity::init_pool();
  });
  m.def("pool_info", &pool_info);
  m.def("nested_counts", &nested_counts, "n"_a, "m"_a);
  m.def("foreign_arena_affinities", &foreign_arena_affinities, "slots"_a = 0);
  // The frame copy's trial of the two kinds of stores, fed with made-up
  // times: "cached" or "streaming".
  m.def("frame_copy_stores", [](size_t bytes) -> std::string {
    return affinity::frame_copy_stores(bytes) == affinity::CopyStores::kStreaming ? "streaming"
                                                                                   : "cached";
  }, "bytes"_a);
  m.def("frame_copy_done", [](const std::string& stores, size_t bytes, int64_t ns) {
    affinity::frame_copy_done(
        stores == "streaming" ? affinity::CopyStores::kStreaming : affinity::CopyStores::kCached,
        bytes, ns);
  }, "stores"_a, "bytes"_a, "ns"_a);
}

}  // namespace markvane::testhooks
