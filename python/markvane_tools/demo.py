"""End-to-end demonstration: render a scene, detect its markers, report.

Run with `python -m markvane_tools.demo` or `markvane-demo`. Needs only NumPy
and markvane: the scene is drawn by the pure-NumPy renderer (even when OpenCV
is installed) so the output is the same everywhere.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

from markvane_tools.scenes import render_scene, score

DICTIONARY = "DICT_4X4_50"


def main(argv=None, prog="markvane-demo") -> int:
    ap = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=7, help="scene seed (default 7)")
    ap.add_argument("--markers", type=int, default=12, help="markers to draw (max 16)")
    ap.add_argument("--runs", type=int, default=5, help="timed detection runs")
    ap.add_argument("--subpix", action="store_true", help="use sub-pixel corner refinement")
    ap.add_argument("--marker-px", type=float, nargs=2, default=(40.0, 110.0), metavar=("MIN", "MAX"),
                    help="range of the drawn markers' side in pixels (default 40 110)")
    ap.add_argument("--min-side", type=int, default=32,
                    help="min_side_length_canonical_img: outlines under 4x this many contour "
                         "points are ignored, so markers under about 34 px a side are skipped "
                         "at the default 32; 0 keeps any outline over 3%% of the image size, "
                         "as OpenCV does")
    args = ap.parse_args(argv)

    try:
        import markvane
    except ImportError as exc:  # pragma: no cover - depends on the installation
        print(f"markvane is not importable: {exc}", file=sys.stderr)
        return 1

    rng = np.random.default_rng(args.seed)
    image, truth = render_scene(
        rng, size=(1280, 720), dictionary=DICTIONARY, n_markers=min(args.markers, 16),
        marker_px=tuple(args.marker_px), blur=(0.3, 1.0), noise=(1.0, 4.0), clutter=4, use_cv2=False,
    )
    params = markvane.DetectorParameters()
    params.min_side_length_canonical_img = args.min_side
    if args.subpix:
        params.corner_refinement_method = markvane.CORNER_REFINE_SUBPIX

    times = []
    corners, ids = [], []
    for _ in range(max(1, args.runs)):
        t0 = time.perf_counter()
        corners, ids = markvane.detect_markers(image, DICTIONARY, params)
        times.append((time.perf_counter() - t0) * 1e3)

    print(f"scene: 1280x720, {len(truth)} markers of {DICTIONARY} (seed {args.seed})")
    for marker_id, quad in sorted(zip(ids, corners), key=lambda p: p[0]):
        pts = "  ".join(f"({x:7.2f}, {y:7.2f})" for x, y in quad)
        print(f"  id {marker_id:3d}: {pts}")
    result = score(corners, ids, truth, tol=2.0)
    print(f"found {len(result.found)} of {len(truth)} markers"
          f" (mean corner error {result.mean_corner_error():.3f} px)")
    if result.missed:
        print(f"  missed ids: {sorted(result.missed)}")
        if args.min_side > 0 and args.marker_px[0] < 1.1 * args.min_side + 12:
            print(f"  (markers under about {args.min_side + 2} px a side are below the size "
                  "limit; try --min-side 0)")
    if result.foreign or result.misplaced:
        print(f"  wrong: foreign ids {result.foreign}, misplaced ids {result.misplaced}")
    print(f"detect_markers: median {statistics.median(times):.2f} ms over {len(times)} runs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
