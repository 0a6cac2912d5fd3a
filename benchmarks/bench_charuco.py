"""ChArUco detection speed and accuracy: markvane against OpenCV's CharucoDetector.

Renders seeded board frames (OpenCV's board generator, several layouts and
dictionaries, legacy layouts included, random 3-D pose, uneven light, blur,
noise, JPEG, partial occlusion) at several frame sizes. Both detectors get the
same gray frames and 2 threads each. Timed calls alternate between them so
that both see the same machine state.

Accuracy is scored against the rendered geometry: recall counts the visible
corners reported with their id within 1 px of the truth, `wrong` the reported
corners whose true position is farther than 1 px, and the median error runs
over every reported corner. markvane runs twice: with
`min_side_length_canonical_img = 0` (OpenCV's perimeter rule, the like-for-like
comparison) and with its default parameters (markers under about 34 px a
side ignored). When the shared photo folder is present, the agreement with
OpenCV on the real ChArUco photos is printed too.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_charuco.py
    ... --frames 30 --repeats 40 --sizes 640x480,1920x1080
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

os.environ.setdefault("RAYON_NUM_THREADS", "2")  # markvane's pool: 2 threads, like OpenCV below

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("the benchmark needs OpenCV (pip install opencv-python-headless)")

try:
    import markvane_tools  # noqa: F401
except ImportError:  # run from a checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import markvane
from markvane_tools.charuco_boards import BoardLayout, render_board_frame, score_corners

DETECTORS = ("opencv", "markvane min side 0", "markvane default")
PHOTOS = Path(__file__).resolve().parents[2] / "shared" / "data"
# Photo sets: folder, image pattern, and the boards printed in them.
PHOTO_SETS = (
    ("charuco-5x7-4x4", "*.jpg", [BoardLayout(7, 5, 30.0, 22.0, "DICT_4X4_50")]),
    ("charuco-3x3-pair-5x5", "*.png", [BoardLayout(3, 3, 40.0, 30.0, "DICT_5X5_100", ids=[0, 1, 2, 3]),
                                       BoardLayout(3, 3, 40.0, 30.0, "DICT_5X5_100", ids=[4, 5, 6, 7])]),
)


def parse_sizes(text: str):
    return [tuple(int(v) for v in item.lower().split("x")) for item in text.split(",")]


class Runner:
    """The three detectors on one frame's board."""

    def __init__(self, frame):
        self.image = frame.image
        self.cv = cv2.aruco.CharucoDetector(frame.layout.opencv())
        self.board = frame.layout.markvane()
        self.perimeter_rule = markvane.DetectorParameters()
        self.perimeter_rule.min_side_length_canonical_img = 0
        self.defaults = markvane.DetectorParameters()

    def run(self, which: str):
        if which == "opencv":
            corners, ids, _, _ = self.cv.detectBoard(self.image)
            return corners, ids
        params = self.perimeter_rule if which == "markvane min side 0" else self.defaults
        corners, ids, _, _ = markvane.detect_charuco_board(self.image, self.board, params)
        return corners, ids


def bench_size(size, n_frames, repeats, seed):
    rng = np.random.default_rng(seed)
    frames = [render_board_frame(rng, size=size) for _ in range(n_frames)]
    runners = [Runner(f) for f in frames]
    for r in runners[:2]:  # warm-up: page faults, pool start-up
        for which in DETECTORS:
            r.run(which)

    times = {d: [] for d in DETECTORS}
    for k in range(repeats):
        r = runners[k % len(runners)]
        order = DETECTORS if k % 2 == 0 else DETECTORS[::-1]
        for which in order:
            t0 = time.perf_counter()
            r.run(which)
            times[which].append(time.perf_counter() - t0)

    scores = {d: dict(visible=0, found=0, wrong=0, errors=[]) for d in DETECTORS}
    for f, r in zip(frames, runners):
        for which in DETECTORS:
            s = score_corners(f, *r.run(which))
            acc = scores[which]
            acc["visible"] += s.visible
            acc["found"] += s.found
            acc["wrong"] += s.wrong
            acc["errors"] += s.errors
    return {d: statistics.median(t) * 1e3 for d, t in times.items()}, scores


def photo_agreement():
    """Real photos: corners OpenCV finds that markvane (OpenCV's perimeter
    rule) misses, the position difference where both report an id, and the
    corners markvane reports with its default parameters."""
    params = markvane.DetectorParameters()
    params.min_side_length_canonical_img = 0
    print(f"{'photos':>22} {'images':>6} {'opencv':>6} {'markvane':>8} {'missed':>6} {'<=0.05 px':>9} "
          f"{'median px':>9} {'max px':>7} {'default':>7}")
    for folder, pattern, layouts in PHOTO_SETS:
        paths = sorted((PHOTOS / folder).glob(pattern))
        if not paths:
            continue
        n_cv = n_mv = n_default = missed = 0
        diffs = []
        for path in paths:
            image = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
            for layout in layouts:
                cc, ci, _, _ = cv2.aruco.CharucoDetector(layout.opencv()).detectBoard(image)
                want = {} if ci is None else dict(zip(ci.ravel().tolist(), cc.reshape(-1, 2)))
                corners, ids, _, _ = markvane.detect_charuco_board(image, layout.markvane(), params)
                got = dict(zip(ids, np.asarray(corners).reshape(-1, 2)))
                n_cv, n_mv = n_cv + len(want), n_mv + len(got)
                n_default += len(markvane.detect_charuco_board(image, layout.markvane())[1])
                missed += len(set(want) - set(got))
                diffs += [float(np.abs(got[k] - want[k]).max()) for k in set(want) & set(got)]
        d = np.array(diffs)
        print(f"{folder:>22} {len(paths):6d} {n_cv:6d} {n_mv:8d} {missed:6d} {np.mean(d <= 0.05):9.3f} "
              f"{np.median(d):9.5f} {d.max():7.3f} {n_default:7d}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=20, help="distinct frames per size")
    ap.add_argument("--repeats", type=int, default=40, help="timed calls per detector and size")
    ap.add_argument("--sizes", default="640x480,1280x720,1920x1080", type=parse_sizes)
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--threads", type=int, default=2, help="OpenCV thread count")
    args = ap.parse_args(argv)

    cv2.setNumThreads(args.threads)
    print(f"markvane vs OpenCV {cv2.__version__} CharucoDetector.detectBoard ({args.threads} threads each; "
          f"markvane RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']}), {args.frames} frames per size, "
          f"{args.repeats} timed calls each")
    print(f"{'size':>10} {'detector':>20} {'ms':>8} {'ratio':>6} {'recall':>7} {'wrong':>6} {'median px':>9}")
    totals = {d: dict(visible=0, found=0, wrong=0, errors=[]) for d in DETECTORS}
    for size in args.sizes:
        times, scores = bench_size(size, args.frames, args.repeats, args.seed + size[0])
        for which in DETECTORS:
            s = scores[which]
            for key in ("visible", "found", "wrong"):
                totals[which][key] += s[key]
            totals[which]["errors"] += s["errors"]
            print(f"{size[0]:>5}x{size[1]:<4} {which:>20} {times[which]:8.2f} "
                  f"{times[which] / times['opencv']:6.2f} {s['found'] / max(s['visible'], 1):7.3f} "
                  f"{s['wrong']:6d} {np.median(s['errors']) if s['errors'] else float('nan'):9.4f}", flush=True)
    print("all sizes:")
    for which in DETECTORS:
        s = totals[which]
        print(f"{'':>10} {which:>20} {'':>8} {'':>6} {s['found'] / max(s['visible'], 1):7.3f} {s['wrong']:6d} "
              f"{np.median(s['errors']) if s['errors'] else float('nan'):9.4f}")
    print("ratio = detector / opencv median time; recall = visible corners reported with their id "
          "within 1 px; wrong = reported corners more than 1 px from the truth")
    if PHOTOS.is_dir():
        photo_agreement()
    return 0


if __name__ == "__main__":
    sys.exit(main())
