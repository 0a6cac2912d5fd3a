"""Detections on a fixed set of scenes equal a stored reference run.

Speed work must never change what is found. The scenes come from the
pure-NumPy renderer (no OpenCV, so the images do not depend on its version),
at several sizes, with clutter, noise and blur; every method runs on them with
both minimum-size rules and with the refit. The reference stores every
detection's id and corners; regenerate it only for a deliberate change of
results:

    PYTHONPATH=build/<dir>:python python tests/test_reference.py --write
"""
import gzip
import json
import sys
from pathlib import Path

import numpy as np

import markvane as mv
from markvane_tools.scenes import render_scene

REFERENCE = Path(__file__).resolve().parent / "data" / "reference_detections.json.gz"
SIZES = ((640, 480), (1280, 720), (1920, 1080), (400, 900))
SETTINGS = [
    {"corner_refinement_method": 0},
    {"corner_refinement_method": 1},
    {"corner_refinement_method": 2},
    {"corner_refinement_method": 0, "min_side_length_canonical_img": 0},
    {"corner_refinement_method": 1, "min_side_length_canonical_img": 0},
    {"corner_refinement_method": 2, "min_side_length_canonical_img": 0, "detect_inverted_marker": True},
    {"corner_refinement_method": 3},
    {"corner_refinement_method": 3, "april_tag_quad_decimate": 2.0, "april_tag_refine_full_resolution": True},
    {"corner_refinement_method": 0, "april_tag_refine_full_resolution": True},
]


def scenes():
    rng = np.random.default_rng(424242)
    for k in range(12):
        size = SIZES[k % len(SIZES)]
        image, _ = render_scene(rng, size=size, dictionary="DICT_4X4_50", n_markers=10 + k % 6,
                                marker_px=(14, 160), blur=(0.0, 1.4), noise=(0.0, 8.0), clutter=8,
                                color=k % 3 == 0, use_cv2=False)
        yield f"scene{k}", image


def run_all():
    out = {}
    for name, image in scenes():
        for i, settings in enumerate(SETTINGS):
            p = mv.DetectorParameters()
            for key, value in settings.items():
                setattr(p, key, value)
            corners, ids = mv.detect_markers(image, "DICT_4X4_50", p)
            # Corners are single precision widened to double: repr round-trips them.
            out[f"{name}/{i}"] = [ids, corners]
    return out


def test_detections_equal_the_reference_run():
    stored = json.loads(gzip.decompress(REFERENCE.read_bytes()))
    got = json.loads(json.dumps(run_all()))
    assert got.keys() == stored.keys()
    differ = [key for key in stored if got[key] != stored[key]]
    assert not differ, f"{len(differ)} of {len(stored)} runs differ, first {differ[:5]}"
    # The reference must exercise detection, not only empty results.
    assert sum(len(ids) for ids, _ in stored.values()) > 500


if __name__ == "__main__":
    if "--write" not in sys.argv:
        sys.exit(__doc__)
    REFERENCE.parent.mkdir(exist_ok=True)
    text = json.dumps(run_all(), separators=(",", ":"), sort_keys=True).encode()
    REFERENCE.write_bytes(gzip.compress(text, mtime=0))
    print(f"wrote {REFERENCE} ({len(text)} bytes of JSON)")
