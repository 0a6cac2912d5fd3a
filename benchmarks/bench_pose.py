"""Pose speed: markvane's solve_pnp, project_points and solve_pnp_ransac
against OpenCV on the same inputs.

Each case draws a pool of seeded problems (random pose, points, 5 distortion
coefficients, pixel noise; gross outliers for RANSAC). Every timed call goes
through Python with NumPy inputs, so argument conversion and result building
are included. Calls alternate between the two libraries, problem by problem,
so that both see the same machine state. The median time per call is
reported, with the ratio OpenCV / markvane (above 1 means markvane is faster)
and the mean reprojection RMS of each library's pose as a sanity check.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_pose.py [--repeats 200]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

try:
    import cv2
except ImportError:  # pragma: no cover
    sys.exit("the benchmark needs OpenCV (pip install opencv-python-headless)")

import markvane

K = np.array([[900.0, 0.0, 640.0], [0.0, 900.0, 360.0], [0.0, 0.0, 1.0]])
DIST = np.array([-0.08, 0.03, 0.0005, -0.0004, -0.005])


def problem(rng, n, planar, outliers=0.0, noise=0.5):
    obj = rng.uniform(-0.5, 0.5, (n, 3))
    if planar:
        obj[:, 2] = 0.0
    rvec = rng.normal(0.0, 0.3, 3)
    tvec = np.array([rng.uniform(-0.2, 0.2), rng.uniform(-0.2, 0.2), rng.uniform(2.0, 4.0)])
    img, _ = cv2.projectPoints(obj, rvec, tvec, K, DIST)
    img = img.reshape(-1, 2) + rng.normal(0.0, noise, (n, 2))
    bad = rng.choice(n, int(round(outliers * n)), replace=False)
    img[bad] += rng.uniform(20.0, 80.0, (len(bad), 2)) * rng.choice([-1.0, 1.0], (len(bad), 2))
    return obj, img, rvec, tvec


def rms(obj, img, rvec, tvec):
    proj, _ = cv2.projectPoints(obj, np.asarray(rvec, float), np.asarray(tvec, float), K, DIST)
    return float(np.sqrt(np.mean(np.sum((proj.reshape(-1, 2) - img) ** 2, axis=1))))


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def run_case(name, problems, cv_call, mv_call, repeats, quality=None):
    cv_times, mv_times, cv_err, mv_err = [], [], [], []
    for r in range(repeats):
        for i, p in enumerate(problems):
            # Alternate who goes first so neither always runs on a warm cache.
            order = ((cv_call, cv_times), (mv_call, mv_times))
            if (r + i) % 2:
                order = order[::-1]
            for call, times in order:
                dt, out = timed(lambda: call(*p))
                times.append(dt)
                if r == 0 and quality:
                    (cv_err if call is cv_call else mv_err).append(quality(p, out, call is cv_call))
    cv_med = statistics.median(cv_times) * 1e6
    mv_med = statistics.median(mv_times) * 1e6
    line = f"{name:<34} {cv_med:10.1f} {mv_med:10.1f} {cv_med / mv_med:8.2f}"
    if quality:
        line += f" {np.nanmean(cv_err):10.4f} {np.nanmean(mv_err):10.4f}"
    print(line, flush=True)
    return cv_med / mv_med


def pnp_quality(p, out, is_cv):
    obj, img = p[0], p[1]
    if is_cv:
        ok, rvec, tvec = out[:3]
        return rms(obj, img, rvec.ravel(), tvec.ravel()) if ok else float("nan")
    return rms(obj, img, *out) if out is not None else float("nan")


def ransac_quality(p, out, is_cv):
    obj, img = p[0], p[1]
    if is_cv:
        ok, rvec, tvec, inliers = out
        if not ok or inliers is None:
            return float("nan")
        idx = inliers.ravel()
        return rms(obj[idx], img[idx], rvec.ravel(), tvec.ravel())
    if out is None:
        return float("nan")
    idx = np.array(out[2])
    return rms(obj[idx], img[idx], out[0], out[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=100)
    ap.add_argument("--problems", type=int, default=10)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    print(f"OpenCV {cv2.__version__}; medians per call in microseconds, {args.repeats} x {args.problems} calls")
    print(f"{'case':<34} {'opencv':>10} {'markvane':>10} {'ratio':>8} {'cv rms':>10} {'mv rms':>10}")

    for n, planar in ((4, True), (20, True), (20, False), (100, False)):
        probs = [problem(rng, n, planar)[:2] for _ in range(args.problems)]
        run_case(f"solve_pnp N={n} {'planar' if planar else '3d'}", probs,
                 lambda o, i: cv2.solvePnP(o, i, K, DIST, flags=cv2.SOLVEPNP_ITERATIVE),
                 lambda o, i: markvane.solve_pnp(o, i, K, DIST), args.repeats, pnp_quality)

    for n in (4, 100, 1000):
        probs = [(problem(rng, n, False)[0], rng.normal(0, 0.3, 3), np.array([0.1, -0.1, 3.0]))
                 for _ in range(args.problems)]
        run_case(f"project_points N={n}", probs,
                 lambda o, r, t: cv2.projectPoints(o, r, t, K, DIST),
                 lambda o, r, t: markvane.project_points(o, r, t, K, DIST), args.repeats)

    ransac_repeats = max(1, args.repeats // 10)
    for n, planar in ((50, True), (100, False)):
        probs = [problem(rng, n, planar, outliers=0.3)[:2] for _ in range(args.problems)]
        run_case(f"solve_pnp_ransac N={n} 30% out {'planar' if planar else '3d'}", probs,
                 lambda o, i: cv2.solvePnPRansac(o, i, K, DIST, iterationsCount=100, reprojectionError=3.0,
                                                 confidence=0.99, flags=cv2.SOLVEPNP_ITERATIVE),
                 lambda o, i: markvane.solve_pnp_ransac(o, i, K, DIST, iterations=100, reprojection_error=3.0,
                                                        confidence=0.99, seed=1),
                 ransac_repeats, ransac_quality)


if __name__ == "__main__":
    main()
