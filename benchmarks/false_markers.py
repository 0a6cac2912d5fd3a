"""What markvane reports that is not there, against OpenCV on the same frames.

Prints three tables:

1. markers reported on frames without any marker (`scenes.render_clutter`:
   flat rectangles, empty outlines, strokes, texture and a mix, noise sigma 2
   to 10, 320x240 to 1280x720), per dictionary and setup;
2. markers near the default size limit whose corners lie more than 2.5 px
   from the truth (`render_scene` with 28-34 and 34-40 px markers);
3. recall on rendered scenes with markers under OpenCV's perimeter rule.

    python benchmarks/false_markers.py [--frames N] [--seed S] [--tables 1,2,3]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("needs opencv-python-headless (pip install '.[bench]')")
import markvane

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from markvane_tools import scenes  # noqa: E402

DICTIONARIES = ["DICT_4X4_50", "DICT_4X4_1000", "DICT_5X5_1000", "DICT_6X6_250",
                "DICT_7X7_1000", "DICT_ARUCO_ORIGINAL", "DICT_ARUCO_MIP_36h12",
                "DICT_APRILTAG_16h5", "DICT_APRILTAG_25h9", "DICT_APRILTAG_36h11"]
SIZES = [(640, 480), (320, 240), (1280, 720)]


def detect_mv(image, dictionary, method=0, min_side=32):
    p = markvane.DetectorParameters()
    p.corner_refinement_method = method
    p.min_side_length_canonical_img = min_side
    corners, ids = markvane.detect_markers(image, dictionary, p)
    return [np.asarray(c, np.float64) for c in corners], list(ids)


def detect_cv(image, dictionary, method=0):
    p = cv2.aruco.DetectorParameters()
    p.cornerRefinementMethod = method
    d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary))
    corners, ids, _ = cv2.aruco.ArucoDetector(d, p).detectMarkers(image)
    ids = [] if ids is None else [int(i) for i in ids.ravel()]
    return [np.asarray(c, np.float64).reshape(4, 2) for c in corners], ids


def clutter_table(frames_per_kind, seed):
    frames = [scenes.render_clutter(np.random.default_rng([seed, k, s]), size=SIZES[s % 3], kind=kind)
              for k, kind in enumerate(scenes.CLUTTER_KINDS) for s in range(frames_per_kind)]
    print(f"\n1. Markers reported on {len(frames)} frames without markers "
          "(markvane min_side 32 / min_side 0 : OpenCV)")
    print(f"{'dictionary':24s}" + "".join(f"{'method ' + str(m):>18s}" for m in (0, 1, 2)))
    totals = np.zeros((3, 3), int)
    for dictionary in DICTIONARIES:
        row = f"{dictionary:24s}"
        for m in (0, 1, 2):
            cv = sum(len(detect_cv(f, dictionary, m)[1]) for f in frames)
            mv32 = sum(len(detect_mv(f, dictionary, m, 32)[1]) for f in frames)
            mv0 = sum(len(detect_mv(f, dictionary, m, 0)[1]) for f in frames)
            totals[m] += (mv32, mv0, cv)
            row += f"{mv32:>8d} /{mv0:>3d} :{cv:>3d}"
        print(row, flush=True)
    print(f"{'total':24s}" + "".join(f"{a:>8d} /{b:>3d} :{c:>3d}" for a, b, c in totals))


def far_corner_table(seeds, seed):
    print(f"\n2. Markers near the default size limit ({seeds} scenes of 8 DICT_4X4_50 markers "
          "per size band): found / corner beyond 2.5 px")
    for band in ((28, 34), (34, 40), (40, 46)):
        counts = {"markvane": [0, 0], "opencv": [0, 0]}
        for s in range(seeds):
            image, truth = scenes.render_scene(np.random.default_rng([seed, s]), size=(640, 480),
                                               dictionary="DICT_4X4_50", n_markers=8,
                                               marker_px=band, use_cv2=True)
            true = dict(truth)
            for name, (corners, ids) in (("markvane", detect_mv(image, "DICT_4X4_50")),
                                         ("opencv", detect_cv(image, "DICT_4X4_50"))):
                for c, i in zip(corners, ids):
                    if i in true:
                        counts[name][0] += 1
                        counts[name][1] += np.linalg.norm(c - true[i], axis=1).max() > 2.5
        print(f"  {band[0]}-{band[1]} px: markvane {counts['markvane'][0]} / "
              f"{counts['markvane'][1]}, OpenCV {counts['opencv'][0]} / {counts['opencv'][1]}")


def recall_table(scenes_per_setup, seed):
    print(f"\n3. Recall under OpenCV's perimeter rule (min_side 0), {scenes_per_setup} scenes per "
          "dictionary and surround, markers 24-110 px: found with corners within 3 px / "
          "of those within 1.5 px / foreign ids")
    for m in (0, 1, 2):
        mv_t, cv_t, total = np.zeros(3, int), np.zeros(3, int), 0
        for d, dictionary in enumerate(DICTIONARIES):
            for b, background in enumerate((None, (150, 205), (60, 140))):
                rng = np.random.default_rng([seed, d, b])
                for _ in range(scenes_per_setup):
                    image, truth = scenes.render_scene(
                        rng, size=(640, 480), dictionary=dictionary, n_markers=7,
                        marker_px=(24, 110), blur=(0.0, 1.5), noise=(0.0, 8.0), clutter=4,
                        background=background, use_cv2=True)
                    total += len(truth)
                    for acc, res in ((mv_t, detect_mv(image, dictionary, m, 0)),
                                     (cv_t, detect_cv(image, dictionary, m))):
                        found = scenes.score(*res, truth, tol=3.0)
                        close = scenes.score(*res, truth, tol=1.5)
                        acc += (len(found.found), len(close.found), len(found.foreign))
        print(f"  method {m}: markvane {mv_t[0]} / {mv_t[1]} / {mv_t[2]}, "
              f"OpenCV {cv_t[0]} / {cv_t[1]} / {cv_t[2]} (of {total})", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=30, help="clutter frames per kind")
    ap.add_argument("--seed", type=int, default=5)
    ap.add_argument("--tables", default="1,2,3", help="which tables to print, e.g. 1,3")
    args = ap.parse_args()
    tables = {int(t) for t in args.tables.split(",") if t.strip()}
    if 1 in tables:
        clutter_table(args.frames, args.seed)
    if 2 in tables:
        far_corner_table(150, 91)
    if 3 in tables:
        recall_table(4, args.seed)


if __name__ == "__main__":
    main()
