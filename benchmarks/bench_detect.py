"""Detection speed and recall: markvane against OpenCV's ArucoDetector.

Renders seeded synthetic scenes (OpenCV marker generator, random perspective,
blur, noise, clutter) at several image sizes and times both detectors on the
same images with default parameters. Calls alternate between the two
detectors so that both see the same machine state (frequency, cache, other
load). OpenCV runs on 2 threads; markvane uses its own worker pool.

With calls alternating one by one, each detector's worker threads have gone
idle during the other's call and may be asleep when the next one starts, and
the other's call has left the caches cold. `--block N` times N
calls of one detector in a row before switching, as a loop that calls one
library sees it (the first call of a block still pays the wake-up; the
median leaves it out for N >= 3).

    PYTHONPATH=build/<dir>:python python benchmarks/bench_detect.py
    ... --repeats 30 --dictionary DICT_6X6_250 --sizes 640x480,1920x1080 --block 5
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("the benchmark needs OpenCV (pip install opencv-python-headless)")

try:
    import markvane_tools  # noqa: F401
except ImportError:  # run from a checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import markvane
from markvane_tools.scenes import render_scene, score

# Markers per scene and side range grow with the image so that the density
# of markers stays comparable across sizes.
SCENE_SETUP = {
    (640, 480): (8, (36, 110)),
    (1280, 720): (14, (40, 150)),
    (1920, 1080): (20, (48, 200)),
}


def parse_sizes(text: str):
    sizes = []
    for item in text.split(","):
        w, h = item.lower().split("x")
        sizes.append((int(w), int(h)))
    return sizes


def scenes_for(size, dictionary, n_scenes, seed):
    n, px = SCENE_SETUP.get(size, (max(4, size[0] * size[1] // 60000), (36, min(size) // 4)))
    rng = np.random.default_rng(seed)
    return [
        render_scene(rng, size=size, dictionary=dictionary, n_markers=n, marker_px=px,
                     blur=(0.0, 1.2), noise=(0.0, 5.0), clutter=6, use_cv2=True)
        for _ in range(n_scenes)
    ]


def bench_size(size, dictionary, repeats, n_scenes, seed, min_side=None, block=1):
    scenes = scenes_for(size, dictionary, n_scenes, seed)
    cv_det = cv2.aruco.ArucoDetector(
        cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary)),
        cv2.aruco.DetectorParameters())
    mv_params = markvane.DetectorParameters()
    if min_side is not None:
        # 0 applies OpenCV's own minimum (a perimeter of 3% of the image
        # size), where both detectors do the same work.
        mv_params.min_side_length_canonical_img = min_side

    # Warm-up: first calls pay for page faults and pool start-up.
    for img, _ in scenes[:1]:
        markvane.detect_markers(img, dictionary, mv_params)
        cv_det.detectMarkers(img)

    t_mv, t_cv = [], []
    for b, first in enumerate(range(0, repeats, block)):
        calls = range(first, min(first + block, repeats))
        # Alternate which detector goes first to cancel ordering effects.
        order = ("mv", "cv") if b % 2 == 0 else ("cv", "mv")
        for who in order:
            for r in calls:
                img, _ = scenes[r % len(scenes)]
                t0 = time.perf_counter()
                if who == "mv":
                    markvane.detect_markers(img, dictionary, mv_params)
                    t_mv.append(time.perf_counter() - t0)
                else:
                    cv_det.detectMarkers(img)
                    t_cv.append(time.perf_counter() - t0)

    stats = dict(truth=0, mv=0, cv=0, both=0, mv_only=0, cv_only=0, mv_bad=0, cv_bad=0)
    for img, truth in scenes:
        mc, mi = markvane.detect_markers(img, dictionary, mv_params)
        cc, ci, _ = cv_det.detectMarkers(img)
        ms, cs = score(mc, mi, truth), score(cc, ci, truth)
        stats["truth"] += len(truth)
        stats["mv"] += len(ms.found)
        stats["cv"] += len(cs.found)
        stats["mv_bad"] += len(ms.foreign) + len(ms.misplaced)
        stats["cv_bad"] += len(cs.foreign) + len(cs.misplaced)
        stats["both"] += len(ms.found.keys() & cs.found.keys())
        stats["mv_only"] += len(ms.found.keys() - cs.found.keys())
        stats["cv_only"] += len(cs.found.keys() - ms.found.keys())
    return statistics.median(t_mv) * 1e3, statistics.median(t_cv) * 1e3, stats


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=40, help="timed calls per detector and size")
    ap.add_argument("--scenes", type=int, default=8, help="distinct scenes per size")
    ap.add_argument("--dictionary", default="DICT_4X4_50")
    ap.add_argument("--sizes", default="640x480,1280x720,1920x1080", type=parse_sizes)
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--threads", type=int, default=2, help="OpenCV thread count")
    ap.add_argument("--min-side", type=int, default=None,
                    help="markvane's min_side_length_canonical_img (default 32; 0: OpenCV's perimeter rule)")
    ap.add_argument("--block", type=int, default=1,
                    help="calls of one detector in a row before switching to the other (default 1)")
    args = ap.parse_args(argv)
    if args.block < 1:
        ap.error("--block must be at least 1")

    cv2.setNumThreads(args.threads)
    print(f"markvane vs OpenCV {cv2.__version__} ({args.threads} threads), {args.dictionary}, "
          f"{'default parameters' if args.min_side is None else f'min_side_length_canonical_img={args.min_side}'}, "
          f"{args.repeats} timed calls each over {args.scenes} scenes, "
          f"{'alternating call by call' if args.block == 1 else f'alternating blocks of {args.block} calls'}")
    header = (f"{'size':>10} {'markvane ms':>12} {'opencv ms':>10} {'ratio':>6}   "
              f"{'truth':>5} {'mv':>4} {'cv':>4} {'both':>4} {'mv only':>7} {'cv only':>7} "
              f"{'mv wrong':>8} {'cv wrong':>8}")
    print(header)
    for size in args.sizes:
        t_mv, t_cv, s = bench_size(size, args.dictionary, args.repeats, args.scenes, args.seed, args.min_side,
                                args.block)
        print(f"{size[0]:>5}x{size[1]:<4} {t_mv:12.3f} {t_cv:10.3f} {t_mv / t_cv:6.3f}   "
              f"{s['truth']:5d} {s['mv']:4d} {s['cv']:4d} {s['both']:4d} {s['mv_only']:7d} "
              f"{s['cv_only']:7d} {s['mv_bad']:8d} {s['cv_bad']:8d}", flush=True)
    print("ratio = markvane / opencv median time (below 1: markvane faster); "
          "found counts are truth markers with all corners within 2 px; "
          "wrong = ids not in the scene or with misplaced corners")
    return 0


if __name__ == "__main__":
    sys.exit(main())
