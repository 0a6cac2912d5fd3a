"""The AprilTag quad path (CORNER_REFINE_APRILTAG) against pupil-apriltags and
OpenCV's AprilTag path, on the same rendered frames, in one run.

Frames: tags of the three families pupil-apriltags also reads (16h5, 25h9,
36h11), 12 px up to about 300 px, under perspective, blur, noise, a lighting
gradient and JPEG compression. Every detector gets the same gray frame and the
same quad decimation, and runs whole passes over the frames back to back, one
pass per detector in each of --repeats rounds (the time per frame is the
median over the rounds). pupil-apriltags runs with `refine_edges` on, with one
and with two threads, in a process of its own per family (it is timed around
its detect calls only); markvane runs without and with
`april_tag_refine_edges` (its counterpart of `refine_edges`). Corners are
compared with the truth in the AprilTag convention (pixel column i spans x from
i to i + 1), which all three AprilTag paths report; markvane's polygon path
(method 0, shown for reference) uses pixel centres at integers and is shifted
by half a pixel for the comparison. Bias is the mean corner offset from the
truth.

    pip install '.[bench]' && python benchmarks/bench_apriltag.py
    ... --sizes 640x480,1920x1080 --decimations 1,2 --scenes 6
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

try:
    import cv2
    import pupil_apriltags
except ImportError:  # pragma: no cover
    sys.exit("needs opencv-python-headless and pupil-apriltags (pip install '.[bench]')")

try:
    import markvane_tools  # noqa: F401
except ImportError:  # run from a checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import markvane
from markvane_tools import scenes

FAMILIES = {"DICT_APRILTAG_16h5": "tag16h5", "DICT_APRILTAG_25h9": "tag25h9",
            "DICT_APRILTAG_36h11": "tag36h11"}
MATCH_TOL = 3.0  # px; a detection farther from its tag counts as false
# Every detector repeats its first frame this long before a timed pass. One
# call is not enough on some machines: a process that has waited a second
# for another (pupil-apriltags runs in processes of its own) runs its next
# few calls up to a third slower, its caches and memory gone cold.
WARM_UP_SECONDS = 0.2


def render(rng, size, dictionary):
    w, h = size
    n = max(4, (w * h) // 40000)
    return scenes.render_scene(rng, size=size, dictionary=dictionary, n_markers=n,
                               marker_px=(12, min(300, 0.4 * min(w, h))), perspective=0.25,
                               blur=(0.0, 1.2), noise=(0.0, 6.0), background=(110, 220),
                               jpeg=(70, 95), use_cv2=True)


def markvane_detector(method, decimate, refit=False, edges=False, shift=0.0):
    def run(gray, dictionary):
        p = markvane.DetectorParameters()
        p.corner_refinement_method = method
        p.april_tag_quad_decimate = decimate
        p.april_tag_refine_full_resolution = refit
        p.april_tag_refine_edges = edges
        corners, ids = markvane.detect_markers(gray, dictionary, p)
        return [np.asarray(c) + shift for c in corners], list(ids)
    return run


def opencv_detector(decimate):
    def run(gray, dictionary):
        p = cv2.aruco.DetectorParameters()
        p.cornerRefinementMethod = cv2.aruco.CORNER_REFINE_APRILTAG
        p.aprilTagQuadDecimate = decimate
        d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary))
        corners, ids, _ = cv2.aruco.ArucoDetector(d, p).detectMarkers(gray)
        ids = [] if ids is None else [int(i) for i in ids.ravel()]
        return [np.asarray(c, np.float64).reshape(4, 2) for c in corners], ids
    return run


PUPIL_WORKER = """
import json, sys, time
import numpy as np
import pupil_apriltags
data = np.load(sys.argv[1])
family, decimate, threads = sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
detector = pupil_apriltags.Detector(families=family, nthreads=threads,
                                    quad_decimate=decimate, refine_edges=1)
warm_until = time.perf_counter() + float(sys.argv[5])
while True:  # warm-up, untimed
    detector.detect(data["f0"])
    if time.perf_counter() >= warm_until:
        break
out = []
for k in range(int(data["count"])):
    image = data[f"f{k}"]
    t0 = time.perf_counter()
    found = detector.detect(image)
    ms = (time.perf_counter() - t0) * 1e3
    out.append({"ms": ms, "ids": [int(r.tag_id) for r in found],
                "corners": [np.asarray(r.corners).tolist() for r in found]})
print(json.dumps(out))
sys.stdout.flush()
import os
os._exit(0)
"""


def pupil_pass(frames, decimate, threads, workdir):
    """pupil-apriltags on every frame, one process per family.

    Its detectors corrupt the heap when several families share a process
    (seen with OpenCV loaded and without), so each family runs alone.
    Returns, per frame, (ms, corners in our order, ids)."""
    results = [None] * len(frames)
    for dictionary, family in FAMILIES.items():
        index = [k for k, f in enumerate(frames) if f[0] == dictionary]
        path = os.path.join(workdir, f"{family}.npz")
        np.savez(path, count=len(index), **{f"f{j}": frames[k][1] for j, k in enumerate(index)})
        proc = subprocess.run([sys.executable, "-c", PUPIL_WORKER, path, family, str(decimate),
                               str(threads), str(WARM_UP_SECONDS)], capture_output=True, text=True,
                              check=True)
        for k, r in zip(index, json.loads(proc.stdout)):
            # pupil-apriltags lists the corners counter-clockwise on screen
            # from the bottom-left; reversed and turned by two they follow
            # our order.
            corners = [np.roll(np.asarray(c)[::-1], 2, axis=0) for c in r["corners"]]
            results[k] = (r["ms"], corners, r["ids"])
    return results


def one_pass(run, frames):
    """ms per frame of one pass of back-to-back calls over all frames.

    Whole passes after WARM_UP_SECONDS of untimed calls, as pupil-apriltags
    runs in its own process: calls interleaved with another library's would
    time how fast each library's sleeping workers wake, not detection."""
    warm_until = time.perf_counter() + WARM_UP_SECONDS
    while True:  # warm-up, untimed, as in pupil's process
        run(frames[0][1], frames[0][0])
        if time.perf_counter() >= warm_until:
            break
    times = []
    for dictionary, image, _ in frames:
        t0 = time.perf_counter()
        run(image, dictionary)
        times.append((time.perf_counter() - t0) * 1e3)
    return times


def evaluate(corners, ids, truth):
    """(found, false, corner offsets from the truth) with truth in the AprilTag
    convention."""
    true = {i: c + 0.5 for i, c in truth}
    found, false, errors = 0, 0, []
    for c, i in zip(corners, ids):
        if i in true and np.abs(c - true[i]).max() <= MATCH_TOL:
            found += 1
            errors.extend(np.asarray(c) - true[i])
        else:
            false += 1
    return found, false, errors


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="640x480,1280x720,1920x1080")
    ap.add_argument("--decimations", default="1,2")
    ap.add_argument("--scenes", type=int, default=4, help="scenes per family and size")
    ap.add_argument("--seed", type=int, default=3)
    ap.add_argument("--repeats", type=int, default=3, help="rounds of one pass over the frames per detector")
    args = ap.parse_args()
    sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    decimations = [float(d) for d in args.decimations.split(",")]

    print(f"markvane vs pupil-apriltags {pupil_apriltags.__version__ if hasattr(pupil_apriltags, '__version__') else ''}"
          f" and OpenCV {cv2.__version__} (AprilTag path, 2 threads); "
          f"{args.scenes} scenes per family and size; found = corners within {MATCH_TOL} px")
    for size in sizes:
        frames = []
        for f, dictionary in enumerate(FAMILIES):
            rng = np.random.default_rng([args.seed, f, size[0]])
            frames += [(dictionary, *render(rng, size, dictionary)) for _ in range(args.scenes)]
        total = sum(len(t) for _, _, t in frames)
        for decimate in decimations:
            detectors = {
                "markvane": markvane_detector(3, decimate),
                "markvane+refit": markvane_detector(3, decimate, refit=True),
                "markvane+edges": markvane_detector(3, decimate, edges=True),
                "opencv": opencv_detector(decimate),
            }
            if decimate == decimations[0]:
                detectors["markvane method 0"] = markvane_detector(0, 0.0, shift=0.5)
            stats = {name: [0, 0, [], []] for name in
                     ["markvane", "markvane+refit", "markvane+edges", "pupil 1 thread", "pupil 2 threads", "opencv",
                      "markvane method 0"] if name in detectors or name.startswith("pupil")}
            # Rounds of one pass per detector: a slow spell of the machine
            # then hits every detector alike. Each frame's time is its median
            # over the rounds.
            times = {name: [[] for _ in frames] for name in stats}
            pupil_found = {}
            with tempfile.TemporaryDirectory() as workdir:
                order = list(detectors.items())
                for r in range(args.repeats):
                    # The pass right after pupil-apriltags' processes runs on
                    # caches they have flushed: each round starts with the
                    # next detector, so no one always takes that place.
                    for name, run in order[r % len(order):] + order[:r % len(order)]:
                        for k, ms in enumerate(one_pass(run, frames)):
                            times[name][k].append(ms)
                    for threads in (1, 2):
                        name = f"pupil {threads} thread{'s' if threads > 1 else ''}"
                        pupil_found[name] = pupil_pass(frames, decimate, threads, workdir)
                        for k, (ms, _, _) in enumerate(pupil_found[name]):
                            times[name][k].append(ms)
            for name in stats:
                for k, (dictionary, image, truth) in enumerate(frames):
                    if name in detectors:
                        found, false, errors = evaluate(*detectors[name](image, dictionary), truth)
                    else:
                        found, false, errors = evaluate(*pupil_found[name][k][1:], truth)
                    stats[name][0] += found
                    stats[name][1] += false
                    stats[name][2] += errors
                    stats[name][3].append(statistics.median(times[name][k]))
            print(f"\n{size[0]}x{size[1]}, decimate {decimate:g}: {total} tags in {len(frames)} frames")
            print(f"  {'detector':18s} {'found':>6s} {'false':>6s} {'median err':>11s}"
                  f" {'bias x':>7s} {'bias y':>7s} {'ms':>8s}"
                  f" {'/ pupil1':>9s} {'/ pupil2':>9s} {'/ opencv':>9s}")
            ms = {n: statistics.median(s[3]) for n, s in stats.items()}
            for name, (found, false, offsets, _) in stats.items():
                offsets = np.reshape(offsets, (-1, 2))
                err = np.median(np.linalg.norm(offsets, axis=1)) if len(offsets) else float("nan")
                bias = offsets.mean(axis=0) if len(offsets) else (float("nan"),) * 2
                print(f"  {name:18s} {found:6d} {false:6d} {err:11.3f} {bias[0]:+7.3f} {bias[1]:+7.3f}"
                      f" {ms[name]:8.2f}"
                      f" {ms[name] / ms['pupil 1 thread']:9.2f} {ms[name] / ms['pupil 2 threads']:9.2f}"
                      f" {ms[name] / ms['opencv']:9.2f}")


if __name__ == "__main__":
    main()
