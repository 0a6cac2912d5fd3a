"""Worker pool: CPU list parsing, fastest-CPU discovery, pool sizing and pinning.

The pure planning functions are reached through `_markvane_testhooks`. Pool
construction reads the environment once per process, so everything about the
live pool runs in a fresh interpreter and is observed through
/proc/self/task/*/status and from inside the threads that run a loop.
"""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest
from conftest import run_python

hooks = pytest.importorskip("_markvane_testhooks")

ALLOWED = sorted(os.sched_getaffinity(0))


# --------------------------------------------------------------------------
# MARKVANE_CORES parsing


@pytest.mark.parametrize(
    "value, expected",
    [
        ("2-3, 0 ,2", [0, 2, 3]),
        ("0,200", [0, 200]),
        ("5", [5]),
        ("+1-+3", [1, 2, 3]),
        ("4 - 6", [4, 5, 6]),
        ("7-7", [7]),
        ("3,2,1,2,3", [1, 2, 3]),
        (",,1,", [1]),
        ("007", [7]),
        ("\u00a0 4 \u3000", [4]),  # Unicode whitespace is trimmed too
        ("18446744073709551615", [2**64 - 1]),
    ],
)
def test_core_list_accepts(value, expected):
    assert hooks.parse_core_list(value) == expected


@pytest.mark.parametrize(
    "value",
    [
        "all", "ALL", "All", " aLl ",  # explicit "leave unconfigured"
        "3-1", "x", "-1", "1,,a", "+", "-", "1-", "-3", "1-2-3", "++1", "1 2", "0x1",
        "18446744073709551616",  # overflows a machine word
        "", ",", " , ,",  # no index at all
        "0-99999999999",  # absurd range: refused rather than allocated
    ],
)
def test_core_list_leaves_pool_unconfigured(value):
    assert hooks.parse_core_list(value) is None


@pytest.mark.parametrize(
    "raw, valid",
    [
        (b"0-3", True),
        ("é€😀".encode(), True),
        (b"\xff", False),
        (b"\xc0\x80", False),  # overlong NUL
        (b"\xe0\x80\xaf", False),  # overlong '/'
        (b"\xed\xa0\x80", False),  # surrogate
        (b"\xf4\x90\x80\x80", False),  # above U+10FFFF
        (b"\xe2\x82", False),  # truncated
    ],
)
def test_utf8_validation(raw, valid):
    assert hooks.is_valid_utf8(raw) is valid


@pytest.mark.parametrize(
    "raw, expected",
    [(None, None), (b"3", 3), (b" 4\n", 4), (b"+2", 2), (b"0", None), (b"-1", None),
     (b"x", None), (b"", None), (b"\xff", None)],
)
def test_thread_count_variable(raw, expected):
    assert hooks.default_worker_count(raw) == expected


# --------------------------------------------------------------------------
# Automatic selection on fake sysfs trees


def make_sysfs(root, freqs, extra=None):
    """`freqs` maps entry name -> content of cpufreq/cpuinfo_max_freq (None:
    the entry has no such file)."""
    for name, content in {**freqs, **(extra or {})}.items():
        cpufreq = root / name / "cpufreq"
        cpufreq.mkdir(parents=True)
        if isinstance(content, bytes):
            (cpufreq / "cpuinfo_max_freq").write_bytes(content)
        elif content is not None:
            (cpufreq / "cpuinfo_max_freq").write_text(content)
    return str(root)


BIG_LITTLE = {f"cpu{i}": "1800000\n" for i in range(4)} | {
    f"cpu{i}": "2400000\n" for i in range(4, 8)
}

SYSFS_CASES = {
    "big_little": (BIG_LITTLE, None, [4, 5, 6, 7]),
    "all_equal": ({f"cpu{i}": "2400000\n" for i in range(8)}, None, []),
    "one_fast": ({"cpu0": "1000", "cpu1": "1000", "cpu2": "2000"}, None, []),
    "three_tiers": ({"cpu0": "1", "cpu1": "2", "cpu2": "3", "cpu3": "2"}, None, [1, 2, 3]),
    "single_cpu": ({"cpu0": "1000"}, None, []),
    # Index order, not name order: cpu10 sorts before cpu2 as text.
    "numeric_order": ({"cpu10": "9", "cpu2": "9", "cpu1": "1"}, None, [2, 10]),
    "padded_values": ({"cpu0": " 100 \n", "cpu1": "\t+200\n", "cpu2": "200"}, None, [1, 2]),
    # Names that are not cpu<N> never count, even with a readable frequency.
    "not_cpu_entries": (
        {"cpu0": "100", "cpu1": "100"},
        {"cpufreq": "900", "cpuidle": "900", "cpu": "900", "cpu1a": "900", "node0": "900"},
        [],
    ),
    # A CPU without a (parsable, UTF-8) frequency file is skipped, not fatal.
    "unreadable_skipped": (
        {"cpu0": "100", "cpu1": "200", "cpu2": "200", "cpu3": None, "cpu4": "fast",
         "cpu5": b"\xff200", "cpu6": "99999999999999999999999"},
        None,
        [1, 2],
    ),
}


@pytest.mark.parametrize("case", list(SYSFS_CASES))
def test_fastest_cpus(tmp_path, case):
    freqs, extra, expected = SYSFS_CASES[case]
    assert hooks.fastest_cpus(make_sysfs(tmp_path, freqs, extra)) == expected


def test_fastest_cpus_ignores_unreadable_file_and_missing_root(tmp_path):
    root = make_sysfs(tmp_path, BIG_LITTLE)
    # A directory where the file should be cannot be read as text.
    os.remove(tmp_path / "cpu7" / "cpufreq" / "cpuinfo_max_freq")
    os.mkdir(tmp_path / "cpu7" / "cpufreq" / "cpuinfo_max_freq")
    assert hooks.fastest_cpus(root) == [4, 5, 6]
    assert hooks.fastest_cpus(str(tmp_path / "missing")) == []


@pytest.mark.parametrize(
    "cores_env, thread_env_set, expected",
    [
        (None, False, ([4, 5, 6, 7], 4)),  # automatic: the fast half
        (None, True, ([4, 5, 6, 7], None)),  # pinned, count left to the pool
        ("2-3, 0 ,2", False, ([0, 2, 3], 3)),  # explicit list wins over sysfs
        ("0,200", False, ([0, 200], 2)),  # unmaskable CPU still counts as a worker
        ("0,200", True, ([0, 200], None)),
        # An explicit value that configures nothing never falls back to sysfs.
        ("All", False, ([], None)),
        ("3-1", False, ([], None)),
        ("", False, ([], None)),
    ],
)
def test_plan(tmp_path, cores_env, thread_env_set, expected):
    root = make_sysfs(tmp_path, BIG_LITTLE)
    assert hooks.plan_pool(cores_env, thread_env_set, root) == expected


def test_plan_without_fast_cpus_is_unconfigured(tmp_path):
    root = make_sysfs(tmp_path, {f"cpu{i}": "1000" for i in range(4)})
    assert hooks.plan_pool(None, False, root) == ([], None)


# --------------------------------------------------------------------------
# Loops on the pool (this process: the hooks module's own, unconfigured pool)


@pytest.mark.parametrize("n, m", [(0, 5), (5, 0), (1, 1), (3, 17), (64, 9)])
def test_nested_loops_run_every_index_once(n, m):
    assert hooks.nested_counts(n, m) == [1] * (n * m)


def test_concurrent_callers_share_the_pool():
    results, errors = [], []

    def run():
        try:
            for _ in range(20):
                results.append(hooks.nested_counts(12, 11) == [1] * 132)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors and len(results) == 80 and all(results)


COPY_TRIAL = textwrap.dedent("""
    import json, _markvane_testhooks as th
    ns_per_byte = {"streaming": %s, "cached": %s}
    # small copies neither take part nor count, however fast
    small = {th.frame_copy_stores(4096) for _ in range(20)}
    for _ in range(20):
        th.frame_copy_done("streaming", 4096, 0)
    tried = []
    for _ in range(8):
        kind = th.frame_copy_stores(1 << 20)
        tried.append(kind)
        th.frame_copy_done(kind, 1 << 20, int(ns_per_byte[kind] * (1 << 20)))
    kept = {th.frame_copy_stores(n) for n in (4096, 1 << 20, 1 << 26) for _ in range(3)}
    print(json.dumps([sorted(small), sorted(set(tried)), sorted(kept)]))
""")


@pytest.mark.parametrize(
    "streaming, cached, threads, expected",
    [
        (0.3, 1.0, "2", [["cached"], ["cached", "streaming"], ["streaming"]]),
        (1.0, 0.3, "2", [["cached"], ["cached", "streaming"], ["cached"]]),
        # streaming a little faster: the cache-warm copy is kept
        (0.9, 1.0, "2", [["cached"], ["cached", "streaming"], ["cached"]]),
        # one thread: nothing to take back from another core
        (0.3, 1.0, "1", [["cached"], ["cached"], ["cached"]]),
    ],
)
def test_frame_copy_keeps_the_faster_stores(streaming, cached, threads, expected):
    out = run_python(COPY_TRIAL % (streaming, cached), {"RAYON_NUM_THREADS": threads})
    assert json.loads(out) == expected


def all_but_one_of(cpus, allowed):
    """A worker inside a loop keeps off its caller's CPU when it has others."""
    if len(allowed) == 1:
        return cpus == allowed
    return len(cpus) == len(allowed) - 1 and set(cpus) < set(allowed)


@pytest.mark.skipif("RAYON_NUM_THREADS" in os.environ, reason="pool size overridden")
def test_default_pool_is_unpinned_and_machine_sized():
    info = hooks.pool_info()
    assert info["concurrency"] == len(ALLOWED)
    assert info["participants"] == info["concurrency"]
    workers = info["worker_affinities"]
    assert len(workers) == len(ALLOWED) - 1
    assert all(all_but_one_of(cpus, ALLOWED) for cpus in workers), workers


# A worker woken for a loop leaves out the CPU the loop's caller runs on, so a
# kernel that queues woken threads on the waker's CPU cannot make the two
# share a core; once the pool goes idle the worker's mask is whole again.
CALLER_CPU_PROBE = textwrap.dedent(
    """
    import json, os, sys, time
    import _markvane_testhooks as hooks
    allowed = sorted(os.sched_getaffinity(0))
    hooks.pool_info()  # the workers start with this thread's whole mask
    seen = {}
    for cpu in allowed[:2]:
        os.sched_setaffinity(0, {cpu})
        time.sleep(0.2)  # long enough for the workers to leave the pool
        seen[cpu] = hooks.pool_info()["worker_affinities"]
    os.sched_setaffinity(0, allowed)
    print(json.dumps({"seen": seen, "foreign": hooks.foreign_arena_affinities()}))
    """
)


@pytest.mark.skipif(len(ALLOWED) < 2, reason="needs two CPUs")
def test_workers_keep_off_the_callers_cpu():
    proc = run_fresh(CALLER_CPU_PROBE)
    assert proc.returncode == 0, proc.stderr.decode()
    import json
    out = json.loads(proc.stdout)
    for cpu, workers in out["seen"].items():
        others = [c for c in ALLOWED if c != int(cpu)]
        assert workers and all(w == others for w in workers), (cpu, workers)
    assert out["foreign"] and all(cpus == ALLOWED for cpus in out["foreign"]), out["foreign"]


# --------------------------------------------------------------------------
# The live pool in a fresh process

PROBE = textwrap.dedent(
    """
    import json, os, sys

    def affinities():
        out = {}
        for tid in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("Cpus_allowed_list:"):
                        out[int(tid)] = line.split(":", 1)[1].strip()
        return out

    def expand(text):
        cpus = []
        for part in text.split(","):
            a, _, b = part.partition("-")
            cpus += range(int(a), int(b or a) + 1)
        return cpus

    import numpy  # its own threads must not be counted as workers
    main = os.getpid()
    before = affinities()
    if sys.argv[1] == "markvane":
        import markvane
    else:
        import _markvane_testhooks
        _markvane_testhooks.init_pool()
    after = affinities()
    import _markvane_testhooks as hooks
    if sys.argv[1] == "markvane":
        noise = numpy.random.default_rng(0).integers(0, 256, (120, 160), numpy.uint8)
        markvane.detect_markers(noise, "DICT_4X4_50")
        working = None  # markvane's own workers cannot be reached from here
    else:
        working = hooks.pool_info()["worker_affinities"]
    print(json.dumps({
        "main_before": expand(before[main]),
        "main_after": expand(after[main]),
        "workers": [expand(v) for t, v in sorted(after.items()) if t not in before],
        "working": working,
        # After our loops, the shared oneTBB workers serve an unrelated arena.
        "foreign": hooks.foreign_arena_affinities(),
    }))
    """
)


def run_fresh(script, args=(), env_overrides=None):
    """Runs `script` in a fresh interpreter whose pool is configured only by
    `env_overrides`; returns the finished process."""
    env = {k: v for k, v in os.environb.items()
           if k not in (b"MARKVANE_CORES", b"RAYON_NUM_THREADS")}
    env[b"PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p).encode()
    env[b"OPENBLAS_NUM_THREADS"] = b"1"
    for key, value in (env_overrides or {}).items():
        env[key.encode()] = value if isinstance(value, bytes) else value.encode()
    return subprocess.run([sys.executable, "-c", script, *args], env=env,
                          capture_output=True, timeout=60)


def run_probe(module, env_overrides):
    proc = run_fresh(PROBE, [module], env_overrides)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stderr == b""  # nothing is logged, whatever the configuration
    import json
    return json.loads(proc.stdout)


def automatic_cpus():
    return hooks.fastest_cpus("/sys/devices/system/cpu")


def tbb_default_workers():
    return len(ALLOWED) - 1


# Each case: env for the child -> (pinned CPU set or None for unpinned, worker
# count). Built from the CPUs this process may use so it runs on any machine;
# None marks a case the machine cannot show.
def pool_cases():
    a = ALLOWED[0]
    b = ALLOWED[1] if len(ALLOWED) > 1 else None
    c = ALLOWED[2] if len(ALLOWED) > 2 else None
    auto = automatic_cpus()
    yield "single", {"MARKVANE_CORES": f" {a} "}, ([a], 1)
    yield "blanks_and_duplicates", (
        {"MARKVANE_CORES": f"{b}-{c}, {a} ,{b}"} if c is not None else None), ([a, b, c], 3)
    yield "literal_0_2_3", (
        {"MARKVANE_CORES": "2-3, 0 ,2"} if {0, 2, 3} <= set(ALLOWED) else None), ([0, 2, 3], 3)
    yield "unmaskable_still_counts", (
        {"MARKVANE_CORES": f"{a},200"} if a < 128 else None), ([a], 2)
    # The thread count includes the calling thread: 3 threads are 2 workers.
    yield "thread_variable", {"MARKVANE_CORES": str(a), "RAYON_NUM_THREADS": "3"}, ([a], 2)
    yield "thread_variable_invalid", (
        {"MARKVANE_CORES": str(a), "RAYON_NUM_THREADS": "lots"} if len(ALLOWED) > 1 else None
    ), ([a], tbb_default_workers())
    for value in ["all", "ALL", "All", "3-1", "x", "-1", "1,,a", "", ","]:
        yield f"unconfigured[{value}]", {"MARKVANE_CORES": value}, (None, 0)
    # Unset and non-UTF-8 both select automatically from the real sysfs.
    expect_auto = (auto, len(auto)) if auto else (None, 0)
    yield "automatic", {}, expect_auto
    yield "not_utf8_is_automatic", {"MARKVANE_CORES": b"0\xff"}, expect_auto


POOL_CASES = {name: (env, expected) for name, env, expected in pool_cases()}


@pytest.mark.parametrize("module", ["_markvane_testhooks", "markvane"])
@pytest.mark.parametrize("case", list(POOL_CASES))
def test_workers_pinned_only_inside_the_pool(module, case):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not built")
    env, (pinned, count) = POOL_CASES[case]
    if env is None or len(ALLOWED) < 2:
        pytest.skip("needs more CPUs than this machine allows")
    seen = run_probe(module, env)
    # The importing thread is never pinned.
    assert seen["main_after"] == seen["main_before"] == ALLOWED
    expected = sorted(set(pinned) & set(ALLOWED)) if pinned is not None else ALLOWED
    # Every worker exists by the time import returns. A worker is pinned only
    # while it is in the pool, so one that has already gone idle shows the
    # process's own mask again.
    assert len(seen["workers"]) == count
    assert all(cpus in (expected, ALLOWED) for cpus in seen["workers"]), seen["workers"]
    # While running the pool's loops, every worker is pinned (and keeps off
    # the loop caller's CPU when the list leaves it another).
    if seen["working"] is not None:
        assert len(seen["working"]) == (count if pinned is not None else len(ALLOWED) - 1)
        assert all(all_but_one_of(cpus, expected) for cpus in seen["working"]), seen["working"]
    # oneTBB shares its worker threads process-wide: once our loops are done,
    # another library's arena must get them back unpinned.
    assert seen["foreign"] and all(cpus == ALLOWED for cpus in seen["foreign"]), seen["foreign"]
