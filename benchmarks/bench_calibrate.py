"""Calibration speed and agreement: markvane.calibrate_camera against
cv2.calibrateCamera on the same corners.

Synthetic views of an 11x8 board (88 corners) under random poses, projected
through a known camera with k5 distortion plus 0.2 px of noise; both solvers
start from their own planar initialisation (the same camera) with default
settings. Calls alternate between the two; the best of --repeats is kept.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_calibrate.py
    ... --views 20,50,100 --model k8 --repeats 3
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("the benchmark needs OpenCV (pip install opencv-python-headless)")

import markvane

K = np.array([[900.0, 0, 650], [0, 880.0, 370], [0, 0, 1]])
SIZE = (1280, 720)
DIST = np.array([-0.25, 0.12, 0.001, -0.0015, -0.03])
FLAGS = {"k5": 0, "k8": cv2.CALIB_RATIONAL_MODEL,
         "k14": cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL}


def views(count, seed):
    rng = np.random.default_rng(seed)
    gx, gy = np.meshgrid(np.arange(11), np.arange(8))
    board = np.c_[gx.ravel() * 0.025, gy.ravel() * 0.025, np.zeros(88)].astype(np.float32)
    objs, imgs = [], []
    while len(objs) < count:
        r = rng.uniform(-0.6, 0.6, 3)
        t = np.array([-0.13, -0.09, 0.55]) + rng.uniform(-0.12, 0.12, 3)
        p, _ = cv2.projectPoints(board, r, t, K, DIST)
        p = p.reshape(-1, 2)
        if (p < 0).any() or (p[:, 0] >= SIZE[0]).any() or (p[:, 1] >= SIZE[1]).any():
            continue
        objs.append(board)
        imgs.append((p + rng.normal(0, 0.2, p.shape)).astype(np.float32))
    return objs, imgs


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--views", default="20,50,100")
    ap.add_argument("--model", default="k5", choices=list(FLAGS))
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--seed", type=int, default=5)
    args = ap.parse_args(argv)
    print(f"calibrate_camera vs cv2.calibrateCamera (OpenCV {cv2.__version__}), model {args.model}, "
          f"88 corners per view, best of {args.repeats}")
    print(f"{'views':>6} {'markvane ms':>12} {'opencv ms':>10} {'ratio':>6} {'rms diff':>10} {'fx rel diff':>12}")
    for count in (int(v) for v in args.views.split(",")):
        objs, imgs = views(count, args.seed)
        t_mv, res = best_time(lambda: markvane.calibrate_camera(objs, imgs, SIZE, model=args.model),
                              args.repeats)
        t_cv, (rms, k, *_) = best_time(
            lambda: cv2.calibrateCamera(objs, imgs, SIZE, None, None, flags=FLAGS[args.model]),
            args.repeats)
        fx_diff = abs(res.camera_matrix[0][0] - k[0, 0]) / k[0, 0]
        print(f"{count:6d} {t_mv * 1e3:12.1f} {t_cv * 1e3:10.1f} {t_mv / t_cv:6.2f} "
              f"{res.rms - rms:10.1e} {fx_diff:12.1e}", flush=True)
    print("ratio = markvane / OpenCV time (target: at most 0.33)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
