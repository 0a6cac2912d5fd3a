"""Compare the detection speed of two builds of markvane, side by side.

On a shared virtual machine the speed of one build drifts by 5-10% within
seconds, more than most changes worth measuring: two builds timed one after
the other (even alternating process by process) differ by the drift. Here
both builds run at the same time, each in its own process on one thread,
so both see the same machine state. One CPU can still run a third slower
than the other for a second or so (its neighbours on the host), so the
builds swap CPUs every tenth of a second, both at the same moments.

Only one thread per build, so this measures the work of a call, not how
it is shared between threads. Needs two CPUs.

    python benchmarks/compare_builds.py build/base build/new --size 1280x720 --min-side 0
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

CHILD = r"""
import json, os, sys, time
import numpy as np, markvane
path, dictionary, min_side, cpu_a, cpu_b, t_start, slice_s, t_end = sys.argv[1:9]
cpus = (int(cpu_a), int(cpu_b))
t_start, slice_s, t_end = float(t_start), float(slice_s), float(t_end)
scenes = np.load(path)
params = markvane.DetectorParameters()
if int(min_side) >= 0:
    params.min_side_length_canonical_img = int(min_side)
# Untimed calls until t_start, then timed ones until t_end, on cpu_a in even
# slices of the system-wide monotonic clock and on cpu_b in odd ones.
current = cpus[0]
os.sched_setaffinity(0, {current})
times = [[] for _ in scenes]
r = 0
while (now := time.monotonic()) < t_end:
    if now >= t_start:
        want = cpus[int((now - t_start) / slice_s) % 2]
        if want != current:
            os.sched_setaffinity(0, {want})
            current = want
    k = r % len(scenes)
    t0 = time.perf_counter()
    markvane.detect_markers(scenes[k], dictionary, params)
    if now >= t_start:
        times[k].append(time.perf_counter() - t0)
    r += 1
print(json.dumps(times))
"""


def run_round(builds, cpus, scene_file, args):
    """Both builds at once, each switching between the two CPUs every
    --slice seconds, the other way round from the other build: a CPU slowed
    by its neighbours on the host (by a third, for a second or so, on either
    CPU) slows both builds alike. Returns per build the call times of each
    scene."""
    t_start = time.monotonic() + args.startup + args.warmup
    t_end = t_start + args.seconds
    procs = []
    for build, (cpu_a, cpu_b) in zip(builds, (cpus, cpus[::-1])):
        env = dict(os.environ, RAYON_NUM_THREADS="1", OMP_NUM_THREADS="1",
                   OPENBLAS_NUM_THREADS="1")
        env["PYTHONPATH"] = os.pathsep.join([str(build), env.get("PYTHONPATH", "")])
        cmd = [sys.executable, "-c", CHILD, scene_file, args.dictionary, str(args.min_side),
               str(cpu_a), str(cpu_b), repr(t_start), repr(args.slice), repr(t_end)]
        procs.append(subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True))
    out = []
    for p in procs:
        stdout, _ = p.communicate()
        if p.returncode != 0:
            raise SystemExit(f"a timing process failed (exit {p.returncode})")
        out.append(json.loads(stdout))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("base", type=Path, help="directory holding the base build's module")
    ap.add_argument("new", type=Path, help="directory holding the new build's module")
    ap.add_argument("--size", default="1280x720", help="scene size, WxH")
    ap.add_argument("--scenes", type=int, default=6)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--dictionary", default="DICT_4X4_50")
    ap.add_argument("--min-side", type=int, default=-1,
                    help="min_side_length_canonical_img (default: the detector's own)")
    ap.add_argument("--rounds", type=int, default=6, help="rounds, each with fresh processes")
    ap.add_argument("--seconds", type=float, default=1.0, help="timed length of a round")
    ap.add_argument("--slice", type=float, default=0.1,
                    help="seconds on one CPU before the builds swap CPUs")
    ap.add_argument("--warmup", type=float, default=0.3, help="seconds of untimed calls")
    ap.add_argument("--startup", type=float, default=0.6,
                    help="seconds allowed for both processes to start before a round")
    ap.add_argument("--per-round", action="store_true",
                    help="also print every round's ratio per scene")
    args = ap.parse_args(argv)
    cpus = sorted(os.sched_getaffinity(0))[:2]
    if len(cpus) < 2:
        ap.error("needs two CPUs to run the builds side by side")

    # The scenes are those of bench_detect, rendered here with the base build.
    sys.path[:0] = [str(args.base), str(Path(__file__).resolve().parent)]
    from bench_detect import parse_sizes, scenes_for

    (size,) = parse_sizes(args.size)
    scenes = np.stack([img for img, _ in scenes_for(size, args.dictionary, args.scenes, args.seed)])
    with tempfile.TemporaryDirectory() as tmp:
        scene_file = str(Path(tmp) / "scenes.npy")
        np.save(scene_file, scenes)
        rounds = [run_round((args.base, args.new), (cpus[r % 2], cpus[(r + 1) % 2]),
                            scene_file, args) for r in range(args.rounds)]
    if any(not calls for rnd in rounds for build in rnd for calls in build):
        raise SystemExit("some scene got no timed call in a round: raise --seconds")

    # Per scene: the median over rounds of new / base, each the ratio of
    # the medians of a round's calls.
    print(f"new / base, 1 thread each, {args.size}, min_side "
          f"{'default' if args.min_side < 0 else args.min_side}, {args.rounds} rounds")
    ratios = []
    for k in range(args.scenes):
        per_round = [statistics.median(new[k]) / statistics.median(base[k]) for base, new in rounds]
        base_us = statistics.median(statistics.median(base[k]) for base, _ in rounds) * 1e6
        ratios.append(statistics.median(per_round))
        print(f"  scene {k}: base {base_us:8.0f} us   ratio {ratios[-1]:.3f}")
    print(f"  median ratio {statistics.median(ratios):.3f}")
    if args.per_round:
        for base, new in rounds:
            print("  " + " ".join(f"{statistics.median(n) / statistics.median(b):.3f}"
                                  for b, n in zip(base, new)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
