"""Batch throughput: detect_markers_batch against loops over detect_markers
and over OpenCV's ArucoDetector, and the peak memory of a large batch.

Frames are seeded synthetic scenes (as in bench_detect.py). For every frame
size and batch size it prints frames per second of

- `batch`:      one detect_markers_batch call per batch (default worker pool);
- `loop`:       a Python loop over detect_markers (default worker pool);
- `loop 1thr`:  the same loop in a child process with RAYON_NUM_THREADS=1;
- `opencv`:     a loop over cv2.aruco.ArucoDetector.detectMarkers (2 threads);

and the ratios batch / loop-1thr, batch / loop and batch / opencv, all
measured in this run. `--memory` also runs a batch of 64 1920x1080 frames in a
child process and reports its peak resident memory next to the frames' size.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_batch.py
    ... --sizes 640x480,1920x1080 --batches 1,2,8,32 --seconds 3 --memory
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

# NumPy's BLAS threads spin for a while after the scene rendering's matrix
# products and would take CPU time from whichever detector runs next.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("the benchmark needs OpenCV (pip install opencv-python-headless)")

try:
    import markvane_tools  # noqa: F401
except ImportError:  # run from a checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import markvane
from markvane_tools.scenes import render_scene

DICTIONARY = "DICT_6X6_250"
SCENE_SETUP = {(640, 480): (8, (36, 110)), (1920, 1080): (20, (48, 200))}
DISTINCT = 8  # distinct scenes per size; batches cycle through them


def frames_for(size, count, seed=2026):
    n, px = SCENE_SETUP.get(size, (8, (36, min(size) // 4)))
    rng = np.random.default_rng(seed)
    pool = [render_scene(rng, size=size, dictionary=DICTIONARY, n_markers=n, marker_px=px,
                         clutter=6, use_cv2=True)[0] for _ in range(min(count, DISTINCT))]
    return [pool[i % len(pool)] for i in range(count)]


def window_fps(run, frames, seconds):
    """Frames per second of run(frames), repeated for at least `seconds`."""
    calls, start = 0, time.perf_counter()
    while True:
        run(frames)
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return calls * len(frames) / elapsed


def best_fps(runs, frames, seconds, rounds=3):
    """The best frames per second of each run over `rounds` rounds, the runs
    taking turns within a round so that none is favoured by going first
    (warm caches, clock ramps, other load)."""
    for run in runs:
        run(frames)  # warm-up
    best = [0.0] * len(runs)
    for _ in range(rounds):
        for k, run in enumerate(runs):
            best[k] = max(best[k], window_fps(run, frames, seconds / rounds))
    return best


def fps(run, frames, seconds):
    return best_fps([run], frames, seconds)[0]


def markvane_batch(frames):
    markvane.detect_markers_batch(frames, DICTIONARY)


def markvane_loop(frames):
    for f in frames:
        markvane.detect_markers(f, DICTIONARY)


def opencv_loop_factory():
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, DICTIONARY)),
                                       cv2.aruco.DetectorParameters())

    def run(frames):
        for f in frames:
            detector.detectMarkers(f)
    return run


def one_thread_loop(sizes, batches, seconds):
    """fps of the detect_markers loop with one worker, from a child process."""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join([str(Path(__file__).resolve().parents[1] / "python"),
                                         env.get("PYTHONPATH", "")])
    args = [sys.executable, __file__, "--child-loop", "--seconds", str(seconds),
            "--sizes", ",".join(f"{w}x{h}" for w, h in sizes),
            "--batches", ",".join(map(str, batches))]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout
    return {tuple(k): v for k, v in json.loads(out)}


def peak_memory_child():
    """Peak RSS of a 64-frame 1920x1080 batch, printed as JSON (MiB)."""
    import resource
    frames = frames_for((1920, 1080), 64)
    frames = [f.copy() for f in frames]  # 64 distinct buffers, as a real batch holds
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    markvane.detect_markers_batch(frames, DICTIONARY)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"frames_mib": sum(f.nbytes for f in frames) / 2**20,
                      "rss_before_mib": before, "rss_peak_mib": after}))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="640x480,1920x1080")
    ap.add_argument("--batches", default="1,2,8,32")
    ap.add_argument("--seconds", type=float, default=3.0, help="timing per measurement")
    ap.add_argument("--memory", action="store_true", help="also measure a 64-frame 1080p batch")
    ap.add_argument("--child-loop", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child-memory", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    sizes = [tuple(int(v) for v in s.lower().split("x")) for s in args.sizes.split(",")]
    batches = [int(b) for b in args.batches.split(",")]

    if args.child_memory:
        peak_memory_child()
        return 0
    if args.child_loop:
        out = [[[w, h, b], fps(markvane_loop, frames_for((w, h), b), args.seconds)]
               for (w, h) in sizes for b in batches]
        print(json.dumps(out))
        return 0

    cv2.setNumThreads(2)
    opencv_loop = opencv_loop_factory()
    single = one_thread_loop(sizes, batches, args.seconds)
    print(f"markvane pool: {os.environ.get('RAYON_NUM_THREADS', 'default')} threads; "
          f"OpenCV {cv2.__version__}, {cv2.getNumThreads()} threads; {DICTIONARY}")
    print(f"{'size':>10} {'batch':>5} | {'batch':>8} {'loop':>8} {'loop 1thr':>9} {'opencv':>8} | "
          f"{'/1thr':>6} {'/loop':>6} {'/opencv':>7}   (frames per second)")
    for size in sizes:
        for b in batches:
            frames = frames_for(size, b)
            f_batch, f_loop, f_cv = best_fps([markvane_batch, markvane_loop, opencv_loop], frames,
                                             args.seconds)
            f_one = single[(size[0], size[1], b)]
            print(f"{size[0]:>4}x{size[1]:<5} {b:>5} | {f_batch:8.1f} {f_loop:8.1f} {f_one:9.1f} {f_cv:8.1f} | "
                  f"{f_batch / f_one:6.2f} {f_batch / f_loop:6.2f} {f_batch / f_cv:7.2f}", flush=True)

    if args.memory:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(Path(__file__).resolve().parents[1] / "python"),
                                             env.get("PYTHONPATH", "")])
        out = subprocess.run([sys.executable, __file__, "--child-memory"], env=env,
                             capture_output=True, text=True, check=True).stdout
        m = json.loads(out)
        print(f"64 x 1920x1080 batch: frames {m['frames_mib']:.0f} MiB, RSS before the call "
              f"{m['rss_before_mib']:.0f} MiB, peak {m['rss_peak_mib']:.0f} MiB "
              f"(+{m['rss_peak_mib'] - m['rss_before_mib']:.0f} MiB during the call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
