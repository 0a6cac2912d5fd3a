// What the machine itself charges a call that follows an idle gap, with no
// detector involved: the floor under bench_camera_loop.py's gap figures.
//
// Two probes, each after gaps of 0, 10 and 33 ms spent asleep in 2 ms steps
// (as the camera-loop benchmark waits between frames):
//
// 1. Cache: one read of a 1 MiB buffer (about what a 640x480 call touches),
//    which back to back stays in the core's own cache; and 20,000 reads of
//    lines scattered over 16 MiB (about a 3840x2160 call's working set),
//    which back to back stay in the shared last-level cache.
// 2. Second thread: a thread asleep on a futex is woken, as a pool wakes its
//    worker when a call starts. Reported: how often the kernel queues it on
//    the waker's CPU, and when it first runs on the other CPU (it moves itself
//    off the waker's CPU, as the pool's workers do), while the waker works on.
//
//    g++ -O2 -std=c++20 -pthread benchmarks/idle_probe.cpp -o /tmp/idle_probe
//    /tmp/idle_probe
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 150;

double us_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void idle(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void busy_for_us(double us) {
  const auto t0 = Clock::now();
  while (us_since(t0) < us) {
  }
}

// Median µs of one pass over `lines` (byte offsets into `buf`).
double read_probe(int gap_ms, const std::vector<uint8_t>& buf, const std::vector<uint32_t>& lines) {
  volatile uint64_t sink = 0;
  std::vector<double> times;
  for (int r = 0; r < kRounds; ++r) {
    idle(gap_ms);
    const auto t0 = Clock::now();
    uint64_t sum = 0;
    for (uint32_t at : lines) sum += buf[at];
    times.push_back(us_since(t0));
    sink = sink + sum;
  }
  return median(times);
}

std::vector<uint32_t> every_line(size_t bytes) {
  std::vector<uint32_t> lines;
  for (size_t at = 0; at < bytes; at += 64) lines.push_back(uint32_t(at));
  return lines;
}

std::vector<uint32_t> scattered_lines(size_t bytes, size_t count) {
  std::vector<uint32_t> lines(count);
  uint64_t state = 12345;
  for (uint32_t& at : lines) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    at = uint32_t((state >> 20) % (bytes / 64) * 64);
  }
  return lines;
}

struct Wakeup {
  std::atomic<int> word{0};
  std::atomic<int> waker_cpu{-1};
  std::atomic<int> woken_on{-1};
  std::atomic<int64_t> moved_ns{0};  // when it first ran off the waker's CPU
};

void futex_wait(std::atomic<int>& w, int seen) {
  syscall(SYS_futex, &w, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<int>& w) { syscall(SYS_futex, &w, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

void sleeper(Wakeup& s) {
  cpu_set_t all;
  sched_getaffinity(0, sizeof all, &all);
  for (int seen = 0;;) {
    while (s.word.load() == seen) futex_wait(s.word, seen);
    seen = s.word.load();
    if (seen < 0) return;
    s.woken_on = sched_getcpu();
    cpu_set_t off = all;
    const int waker = s.waker_cpu.load();
    if (waker >= 0 && waker < CPU_SETSIZE) CPU_CLR(waker, &off);
    if (CPU_COUNT(&off) > 0) sched_setaffinity(0, sizeof off, &off);
    s.moved_ns = Clock::now().time_since_epoch().count();
    sched_setaffinity(0, sizeof all, &all);
  }
}

void wake_probe(int gap_ms, double& same_cpu_share, double& moved_us) {
  Wakeup s;
  std::thread t(sleeper, std::ref(s));
  std::vector<double> moved;
  int same = 0;
  for (int r = 1; r <= kRounds; ++r) {
    idle(gap_ms);
    s.waker_cpu = sched_getcpu();
    s.moved_ns = 0;
    const auto t0 = Clock::now();
    s.word = r;
    futex_wake(s.word);
    sched_yield();
    busy_for_us(200);  // the caller's own share of the call
    while (s.moved_ns.load() == 0) std::this_thread::yield();
    moved.push_back(double(s.moved_ns.load() - t0.time_since_epoch().count()) / 1e3);
    same += s.woken_on.load() == s.waker_cpu.load();
  }
  s.word = -1;
  futex_wake(s.word);
  t.join();
  same_cpu_share = double(same) / kRounds;
  moved_us = median(moved);
}

}  // namespace

int main() {
  const int gaps[] = {0, 10, 33};
  const std::vector<uint8_t> small(1 << 20, 1), large(16 << 20, 1);
  const std::vector<uint32_t> sequential = every_line(small.size());
  const std::vector<uint32_t> scattered = scattered_lines(large.size(), 20000);
  std::printf("gap    1 MiB in order      scattered in 16 MiB   woken on waker's CPU   "
              "runs on the other CPU after\n");
  double base_seq = 0, base_scat = 0;
  for (int gap : gaps) {
    const double seq = read_probe(gap, small, sequential);
    const double scat = read_probe(gap, large, scattered);
    if (gap == 0) base_seq = seq, base_scat = scat;
    double same = 0, moved = 0;
    wake_probe(gap, same, moved);
    std::printf("%2d ms  %6.1f us (%5.2fx)  %6.1f us (%5.2fx)   %5.0f%%                %7.1f us\n", gap, seq,
                seq / base_seq, scat, scat / base_scat, same * 100, moved);
  }
  return 0;
}
