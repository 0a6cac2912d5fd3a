"""Chessboard finder speed and quality: markvane against OpenCV.

markvane.find_chessboard_corners is timed against cv2.findChessboardCorners
(default flags) followed, when it finds the board, by cv2.cornerSubPix with
the same 5 x 5 window, 15 iterations and eps 0.1 that markvane uses. Both run
on the same frames in one process, calls alternating: frames with a board
(rendered boards of several patterns, tilts and rotations, at calibration
quality) and frames without one (clutter, noise, a board of another size).
Then both are scored against the rendered truth by square size, and, when
the shared photo folder is present, on the real photographs.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_chessboard.py
    ... --frames 40 --repeats 3 --threads 1
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
from markvane_tools.chessboards import grid_order, grid_orderings, render_chessboard
from markvane_tools.scenes import render_clutter

PATTERNS = [(3, 3), (4, 3), (5, 4), (6, 6), (7, 7), (9, 6), (8, 5), (10, 7), (11, 8), (15, 10)]
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
PHOTOS = [("chessboard-9x6", (9, 6)), ("chessboard-7x7", (7, 7))]
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 15, 0.1)


def opencv_find(image, pattern):
    ok, corners = cv2.findChessboardCorners(image, pattern)
    if not ok:
        return None
    return cv2.cornerSubPix(image, corners, (2, 2), (-1, -1), CRITERIA).reshape(-1, 2)


def markvane_find(image, pattern):
    ok, corners = markvane.find_chessboard_corners(image, pattern)
    return np.array(corners) if ok else None


def board_frames(rng, count, size):
    """(image, pattern, board) for `count` boards at calibration quality."""
    out = []
    for k in range(count):
        pattern = PATTERNS[k % len(PATTERNS)]
        b = render_chessboard(rng, pattern=pattern, size=size, tilt=(0, 55), blur=(0.3, 1.0),
                              noise=(0, 4), light=0.3, jpeg=(75, 95) if k % 3 == 0 else None)
        out.append((b.image, pattern, b))
    return out


def empty_frames(rng, count, size):
    """(image, pattern, None): clutter, noise and boards of another size."""
    out = []
    for k in range(count):
        kind = k % 4
        if kind < 2:
            img = render_clutter(rng, size, kind="mixed" if kind == 0 else "texture")
        elif kind == 2:
            img = rng.normal(128, 40, (size[1], size[0])).clip(0, 255).astype(np.uint8)
        else:
            img = render_chessboard(rng, pattern=(8, 5), size=size, tilt=(0, 40)).image
        out.append((img, (9, 6), None))
    return out


def time_both(frames, repeats):
    """Per-call times (s) of both finders, calls alternating."""
    t_mv, t_cv = [], []
    for r in range(repeats):
        for k, (img, pattern, _) in enumerate(frames):
            order = ("mv", "cv") if (r + k) % 2 == 0 else ("cv", "mv")
            for who in order:
                t0 = time.perf_counter()
                (markvane_find if who == "mv" else opencv_find)(img, pattern)
                (t_mv if who == "mv" else t_cv).append(time.perf_counter() - t0)
    return t_mv, t_cv


def truth_errors(points, board):
    """Distances to the truth in the image-based order (markvane), or in the
    best-matching ordering (OpenCV, whose order differs)."""
    if points is None:
        return None
    return min((np.linalg.norm(points - o, axis=1)
                for o in grid_orderings(board.corners, board.pattern)), key=lambda e: e.max())


def in_image_order(points, board):
    return points is not None and bool(np.linalg.norm(
        points - grid_order(board.corners, board.pattern), axis=1).max() < 4.0)


def quality_rows(frames):
    rows = []
    for img, pattern, board in frames:
        mv, cv = markvane_find(img, pattern), opencv_find(img, pattern)
        rows.append((board.min_square_px, truth_errors(mv, board), truth_errors(cv, board),
                     in_image_order(mv, board) if mv is not None else None))
    return rows


def print_quality(rows, title):
    print(f"\n{title}")
    print(f"{'squares px':>12} {'boards':>6} {'mv':>4} {'cv':>4} {'mv >0.5px':>9} {'cv >0.5px':>9} "
          f"{'mv median':>9} {'cv median':>9} {'mv order ok':>11}")
    for lo, hi in [(0, 18), (18, 24), (24, 28), (28, 1e9), (0, 1e9)]:
        sel = [r for r in rows if lo <= r[0] < hi]
        mv = [r[1] for r in sel if r[1] is not None]
        cv = [r[2] for r in sel if r[2] is not None]
        med = lambda errs: f"{np.median(np.concatenate(errs)):9.3f}" if errs else f"{'-':>9}"  # noqa: E731
        label = "all" if hi > 1e8 and lo == 0 else (f">= {lo}" if hi > 1e8 else f"{lo}-{hi}")
        print(f"{label:>12} {len(sel):6d} {len(mv):4d} {len(cv):4d} "
              f"{sum(e.max() > 0.5 for e in mv):9d} {sum(e.max() > 0.5 for e in cv):9d} "
              f"{med(mv)} {med(cv)} {sum(r[3] is True for r in sel):11d}")
    print("squares px = shortest projected square side; >0.5px = boards with a corner more than "
          "0.5 px from the truth; medians over every corner of the boards found")


def photo_report(repeats):
    if not DATA.is_dir():
        print(f"\nphotos: {DATA} not available")
        return
    print(f"\n{'photos':>16} {'images':>6} {'mv':>4} {'cv':>4} {'mv ms':>8} {'cv ms':>8} {'ratio':>6}")
    for folder, pattern in PHOTOS:
        frames = [(cv2.imread(str(p), cv2.IMREAD_GRAYSCALE), pattern, None)
                  for p in sorted((DATA / folder).glob("*.jpg"))]
        t_mv, t_cv = time_both(frames, repeats)
        mv = sum(markvane_find(f, p) is not None for f, p, _ in frames)
        cv = sum(opencv_find(f, p) is not None for f, p, _ in frames)
        m_mv, m_cv = statistics.mean(t_mv) * 1e3, statistics.mean(t_cv) * 1e3
        print(f"{folder:>16} {len(frames):6d} {mv:4d} {cv:4d} {m_mv:8.2f} {m_cv:8.2f} "
              f"{m_mv / m_cv:6.2f}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=30, help="frames of each kind")
    ap.add_argument("--repeats", type=int, default=3, help="timed calls per frame and finder")
    ap.add_argument("--size", default="640x480")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--threads", type=int, default=1, help="OpenCV thread count")
    args = ap.parse_args(argv)
    size = tuple(int(v) for v in args.size.lower().split("x"))

    cv2.setNumThreads(args.threads)
    rng = np.random.default_rng(args.seed)
    with_board = board_frames(rng, args.frames, size)
    without = empty_frames(rng, args.frames, size)
    for img, pattern, _ in with_board[:2] + without[:2]:  # warm-up
        markvane_find(img, pattern), opencv_find(img, pattern)

    print(f"markvane vs OpenCV {cv2.__version__} ({args.threads} threads): "
          f"findChessboardCorners (default flags) + cornerSubPix 5x5, {size[0]}x{size[1]}, "
          f"{args.frames} frames of each kind, {args.repeats} timed calls each")
    found_by_both = [f for f in with_board
                     if markvane_find(f[0], f[1]) is not None and opencv_find(f[0], f[1]) is not None]
    print(f"{'frames':>22} {'count':>5} {'mv mean ms':>10} {'cv mean ms':>10} {'ratio':>6} "
          f"{'mv median':>9} {'cv median':>9} {'ratio':>6}")
    for name, frames in [("with a board", with_board), ("  found by both", found_by_both),
                         ("without a board", without)]:
        t_mv, t_cv = time_both(frames, args.repeats)
        a_mv, a_cv = statistics.mean(t_mv) * 1e3, statistics.mean(t_cv) * 1e3
        m_mv, m_cv = statistics.median(t_mv) * 1e3, statistics.median(t_cv) * 1e3
        print(f"{name:>22} {len(frames):5d} {a_mv:10.2f} {a_cv:10.2f} {a_mv / a_cv:6.2f} "
              f"{m_mv:9.2f} {m_cv:9.2f} {m_mv / m_cv:6.2f}", flush=True)
    print("ratio = markvane / opencv time (target: at most 0.5); a board markvane misses costs it "
          "every threshold attempt, like a frame without one")

    print_quality(quality_rows(with_board), "rendered boards, all sizes (found, accuracy)")
    photo_report(args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
