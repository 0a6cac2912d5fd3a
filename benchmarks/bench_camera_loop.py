"""markvane in a camera loop: thread scaling, idle gaps between calls, memory.

Three measurements on rendered scenes (the same renderer as bench_detect.py):

1. Two threads against one: each count runs in its own process (the pool's
   size is fixed when it starts), calls back to back after an untimed
   warm-up of WARM_UP_SECONDS; processes of one and of two threads alternate
   for --thread-rounds rounds. The speed of this kind of
   machine drifts from minute to minute, so a single pair of processes can
   give anything from 1.2x to 2.4x: many short rounds are needed.
2. Calls spaced like a camera's frames: an idle gap of 10 ms or 33 ms before
   each call, against back-to-back calls. Gap rounds and back-to-back rounds
   alternate, so both see the same machine. Measured for markvane with two
   threads and with one (each in its own process) and for OpenCV with two:
   a gap also leaves the caches cold, which a single thread pays too. A
   plain NumPy pass over the frame, on one thread, is timed the same way:
   what the machine itself charges after an idle spell, detector or not
   (on the virtual machines this was written on, a cold, slower processor
   for the first milliseconds).
3. Peak memory of one 3840x2160 detection, in a fresh process: the growth of
   the resident set's high-water mark over the call.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_camera_loop.py
    ... --sizes 640x480,1920x1080 --repeats 60
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

try:
    import markvane_tools  # noqa: F401
except ImportError:  # run from a checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from markvane_tools.scenes import render_scene

DICTIONARY = "DICT_4X4_50"


def parse_sizes(text: str):
    return [tuple(int(v) for v in item.lower().split("x")) for item in text.split(",")]


def frames_for(size, count=4, seed=11):
    rng = np.random.default_rng(seed)
    n = max(6, size[0] * size[1] // 80000)
    return [np.ascontiguousarray(render_scene(rng, size=size, dictionary=DICTIONARY, n_markers=n,
                                              marker_px=(40, max(60, min(size) // 5)), clutter=6,
                                              noise=(0.0, 5.0))[0])
            for _ in range(count)]


def idle(seconds: float) -> None:
    """Sleep like a thread waiting for its next frame (no busy loop)."""
    end = time.perf_counter() + seconds
    while (left := end - time.perf_counter()) > 0:
        time.sleep(min(left, 0.002))


def markvane_detect():
    import markvane
    params = markvane.DetectorParameters()
    return lambda frame: markvane.detect_markers(frame, DICTIONARY, params)


def opencv_detect():
    import cv2
    cv2.setNumThreads(2)
    detector = cv2.aruco.ArucoDetector(
        cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, DICTIONARY)),
        cv2.aruco.DetectorParameters())
    return detector.detectMarkers


def numpy_reference():
    """No detector: three sums and a copy of the frame, on one thread."""
    def work(frame):
        for _ in range(3):
            frame.sum(dtype=np.uint64)
        frame.copy()
    return work


# A fresh process is not yet in the state a camera loop runs in: NumPy's
# OpenBLAS starts its worker threads at import, and they spin on the other
# core for about a twentieth of a second (55 ms of CPU time measured here).
# Two threads sharing two cores with that spin ran a 1280x720 call at 1.5 ms
# instead of 0.9 ms for its first 30 calls, while one thread ran unchanged, so
# a warm-up counted in calls alone measured the start-up, not the scaling.
WARM_UP_SECONDS = 0.3


def warm_up(frames, detect, seconds=WARM_UP_SECONDS, min_calls=4):
    """Untimed calls for at least `seconds` and `min_calls`."""
    end = time.perf_counter() + seconds
    calls = 0
    while calls < min_calls or time.perf_counter() < end:
        detect(frames[calls % len(frames)])
        calls += 1


def timed_calls(frames, repeats, gap=0.0, detect=None):
    detect = detect or markvane_detect()
    times = []
    for r in range(repeats):
        if gap:
            idle(gap)
        t0 = time.perf_counter()
        detect(frames[r % len(frames)])
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


GAPS = (0.0, 0.010, 0.033)


def gap_medians(frames, repeats, rounds, detect):
    """Median ms per call for each gap, the gaps alternating round by round."""
    warm_up(frames, detect)
    results = {gap: [] for gap in GAPS}
    for _ in range(rounds):
        for gap in GAPS:
            results[gap].append(timed_calls(frames, repeats, gap, detect))
    return {gap: statistics.median(v) * 1e3 for gap, v in results.items()}


def peak_rss_kib() -> int:
    """The resident set's high-water mark. Read from /proc where it exists:
    getrusage's figure survives exec, so a child would report its parent's."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def load_frames(args, size):
    """The frames the parent rendered for this size (rendering them in every
    child would cost more than the measurement)."""
    return list(np.load(Path(args.frames) / f"{size[0]}x{size[1]}.npy"))


def child(args) -> int:
    """Runs in a subprocess: one measurement, printed as JSON."""
    import markvane
    if args.child == "threads":
        out = {}
        for size in args.sizes:
            frames = load_frames(args, size)
            detect = markvane_detect()
            warm_up(frames, detect)
            out[f"{size[0]}x{size[1]}"] = timed_calls(frames, args.repeats, detect=detect)
        print(json.dumps(out))
    elif args.child == "gaps":
        out = {}
        for size in args.sizes:
            medians = gap_medians(load_frames(args, size), args.repeats, args.rounds,
                                  markvane_detect())
            out[f"{size[0]}x{size[1]}"] = list(medians.values())
        print(json.dumps(out))
    elif args.child == "memory":
        # The frame was rendered by the parent: rendering here would raise
        # the high-water mark above anything the detection needs.
        frame = np.load(args.frame)
        params = markvane.DetectorParameters()
        before = peak_rss_kib()
        markvane.detect_markers(frame, DICTIONARY, params)
        print(json.dumps({"peak_growth_mib": (peak_rss_kib() - before) / 1024.0}))
    return 0


def run_child(kind, args, env_extra, frame=None):
    env = dict(os.environ, **env_extra)
    cmd = [sys.executable, __file__, "--child", kind, "--repeats", str(args.repeats),
           "--rounds", str(args.rounds), "--frames", args.frames,
           "--sizes", ",".join(f"{w}x{h}" for w, h in args.sizes)] + (["--frame", frame] if frame else [])
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="640x480,1280x720,1920x1080,3840x2160", type=parse_sizes)
    ap.add_argument("--repeats", type=int, default=40)
    ap.add_argument("--rounds", type=int, default=3, help="alternating rounds of the gap test")
    ap.add_argument("--thread-rounds", type=int, default=10,
                    help="alternating pairs of one- and two-thread processes")
    ap.add_argument("--child", choices=["threads", "gaps", "memory"], help=argparse.SUPPRESS)
    ap.add_argument("--frame", help=argparse.SUPPRESS)
    ap.add_argument("--frames", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        return child(args)
    with tempfile.TemporaryDirectory() as tmp:
        args.frames = tmp
        for size in args.sizes:
            np.save(Path(tmp) / f"{size[0]}x{size[1]}.npy", np.stack(frames_for(size)))
        return measure(args)


def measure(args) -> int:
    print("1. Two threads against one (median ms per call, back to back)")
    # Processes of one and of two threads alternate, round by round, so that
    # a slow spell of the machine hits both; each size's time is the median
    # over the rounds.
    runs = {1: [], 2: []}
    for _ in range(args.thread_rounds):
        for threads, results in runs.items():
            results.append(run_child("threads", args, {"RAYON_NUM_THREADS": str(threads)}))
    one, two = ({key: statistics.median(r[key] for r in results) for key in results[0]}
                for results in runs.values())
    for key in one:
        print(f"   {key:>10}: 1 thread {one[key] * 1e3:7.2f}   2 threads {two[key] * 1e3:7.2f}   "
              f"speed-up {one[key] / two[key]:.2f}x")

    print("2. Idle gaps between calls (median ms per call; ratio to back to back)")
    peers = {"markvane, 2 threads": run_child("gaps", args, {"RAYON_NUM_THREADS": "2"}),
             "markvane, 1 thread": run_child("gaps", args, {"RAYON_NUM_THREADS": "1"})}
    try:
        detect = opencv_detect()
    except ImportError:
        detect = None
    if detect is not None:
        peers["OpenCV, 2 threads"] = {
            f"{w}x{h}": list(gap_medians(load_frames(args, (w, h)), args.repeats, args.rounds,
                                         detect).values())
            for w, h in args.sizes}
    peers["NumPy pass, no detector"] = {
        f"{w}x{h}": list(gap_medians(load_frames(args, (w, h)), args.repeats, args.rounds,
                                     numpy_reference()).values())
        for w, h in args.sizes}
    for size in args.sizes:
        key = f"{size[0]}x{size[1]}"
        print(f"   {key}")
        for name, results in peers.items():
            base, *gapped = results[key]
            cells = "   ".join(f"gap {g * 1e3:.0f} ms {t:7.2f} ({t / base:.2f}x)"
                               for g, t in zip(GAPS[1:], gapped))
            print(f"      {name:<23}: back to back {base:7.2f}   {cells}")

    with tempfile.TemporaryDirectory() as tmp:
        frame = str(Path(tmp) / "frame.npy")
        np.save(frame, frames_for((3840, 2160), count=1)[0])
        mem = run_child("memory", args, {}, frame)
    print(f"3. Peak memory growth of one 3840x2160 detection: {mem['peak_growth_mib']:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
