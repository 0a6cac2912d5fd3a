"""The AprilTag quad path (CORNER_REFINE_APRILTAG) and the full-resolution
border refit, end to end through detect_markers.

Corners of the quad path follow the AprilTag convention, which OpenCV's
AprilTag path and the AprilTag library share: pixel column i spans x from i
to i + 1, so they lie half a pixel right of and below the same corner in the
polygon path's convention (pixel centres at integers). The refit returns
corners in the convention of the detection it refits.
"""

from __future__ import annotations

import functools
import json
import os
import subprocess
import sys

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
cv2 = pytest.importorskip("cv2")

from conftest import DATA_DIR, markvane_markers, opencv_markers  # noqa: E402
from markvane_tools import scenes  # noqa: E402

FAMILIES = ["DICT_APRILTAG_16h5", "DICT_APRILTAG_25h9", "DICT_APRILTAG_36h11"]
APRILTAG = 3


def in_apriltag_convention(truth):
    return [(i, c + 0.5) for i, c in truth]


@functools.lru_cache(maxsize=None)
def tag_scenes(dictionary, count=3, size=(640, 480), seed=61, smallest=12):
    rng = np.random.default_rng([seed, FAMILIES.index(dictionary)])
    return [scenes.render_scene(rng, size=size, dictionary=dictionary, n_markers=8,
                                marker_px=(smallest, 160), perspective=0.25, blur=(0.0, 1.0),
                                noise=(0.0, 5.0), background=(110, 220), jpeg=(75, 95),
                                use_cv2=True)
            for _ in range(count)]


def detect3(image, dictionary, **settings):
    return markvane_markers(image, dictionary, corner_refinement_method=APRILTAG, **settings)


def corner_errors(found):
    return [np.linalg.norm(d - t, axis=1) for d, t in found.values()]


@pytest.mark.parametrize("dictionary", FAMILIES)
def test_quad_path_finds_tags_with_their_ids_and_corner_order(dictionary):
    found = {"markvane": 0, "opencv": 0}
    for image, truth in tag_scenes(dictionary):
        truth = in_apriltag_convention(truth)
        mv = scenes.score(*detect3(image, dictionary), truth, tol=1.5)
        cv = scenes.score(*opencv_markers(image, dictionary, cornerRefinementMethod=APRILTAG),
                          truth, tol=1.5)
        assert mv.foreign == [] and mv.misplaced == []
        found["markvane"] += len(mv.found)
        found["opencv"] += len(cv.found)
    assert found["markvane"] >= found["opencv"] > 0, found


def test_quad_path_on_frames_without_tags_reports_no_more_than_opencv():
    frames = [scenes.render_clutter(np.random.default_rng([62, k, s]), size=(640, 480), kind=kind)
              for k, kind in enumerate(scenes.CLUTTER_KINDS) for s in range(3)]
    for dictionary in FAMILIES:
        cv = sum(len(opencv_markers(f, dictionary, cornerRefinementMethod=APRILTAG)[1])
                 for f in frames)
        for edges in (False, True):
            mv = sum(len(detect3(f, dictionary, april_tag_refine_edges=edges)[1]) for f in frames)
            assert mv <= cv, (dictionary, edges, mv, cv)


def reference_in_our_order(tags):
    # The reference lists corners from our corner 1 round to corner 2,
    # counter-clockwise on screen, in the AprilTag convention.
    return [(i, c[[1, 0, 3, 2]]) for i, c in tags]


def test_real_photos_against_the_reference():
    from test_real_photos import photos, reference_tags

    files = photos("apriltag-photos")
    if not files:
        pytest.skip(f"test data not available: {DATA_DIR / 'apriltag-photos'}")
    listed = hits = adaptive_hits = 0
    for path in files:
        gray = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
        reference = reference_in_our_order(reference_tags(path.with_suffix(".txt")))
        listed += len(reference)
        corners, ids = detect3(gray, "DICT_APRILTAG_36h11")
        assert set(ids) <= {i for i, _ in reference}
        for i, c in reference:
            hits += any(j == i and np.abs(d - c).max() <= 1.5 for d, j in zip(corners, ids))
        corners, ids = markvane_markers(gray, "DICT_APRILTAG_36h11")
        for i, c in reference:
            adaptive_hits += any(j == i and np.abs(d + 0.5 - c).max() <= 1.5
                                 for d, j in zip(corners, ids))
    assert hits >= 0.9 * listed, (hits, listed)
    assert hits > adaptive_hits + 0.2 * listed, (hits, adaptive_hits)


@pytest.mark.parametrize("method", [0, 1, 2])
def test_refit_keeps_every_detection_and_does_not_worsen_corners(method):
    errors = {False: [], True: []}
    for dictionary in FAMILIES + ["DICT_4X4_50"]:
        for image, truth in tag_scenes(dictionary, count=2, seed=63) if dictionary in FAMILIES \
                else [scenes.render_scene(np.random.default_rng(64), size=(640, 480), n_markers=8,
                                          marker_px=(40, 160), use_cv2=True)]:
            plain = markvane_markers(image, dictionary, corner_refinement_method=method)
            refit = markvane_markers(image, dictionary, corner_refinement_method=method,
                                     april_tag_refine_full_resolution=True)
            assert refit[1] == plain[1]
            for a, b in zip(plain[0], refit[0]):
                assert np.abs(a - b).max() <= 5.0
            for flag, result in ((False, plain), (True, refit)):
                errors[flag] += corner_errors(scenes.score(*result, truth, tol=3.0).found)
    assert np.median(np.concatenate(errors[True])) <= np.median(np.concatenate(errors[False]))


def test_decimated_search_with_refit_keeps_recall_and_accuracy():
    # Halving the image loses small tags for good: under about 17 px their
    # quads fall below the fitter's 64 square pixels, and 36h11 tags under
    # about 24 px keep less than 1.5 pixels per cell for the coarse search to
    # trace. Above that the refit must give back what the coarse search found
    # roughly.
    counts, errors = {}, {}
    for dictionary in FAMILIES:
        for image, truth in tag_scenes(dictionary, count=4, size=(1280, 720), seed=65,
                                       smallest=24):
            truth = in_apriltag_convention(truth)
            for name, settings in (("full", {}),
                                   ("decimated", {"april_tag_quad_decimate": 2.0,
                                                  "april_tag_refine_full_resolution": True})):
                result = scenes.score(*detect3(image, dictionary, **settings), truth, tol=1.5)
                assert result.foreign == []
                counts[name] = counts.get(name, 0) + len(result.found)
                errors.setdefault(name, []).extend(corner_errors(result.found))
    assert counts["decimated"] >= 0.98 * counts["full"], counts
    full, decimated = (np.median(np.concatenate(errors[n])) for n in ("full", "decimated"))
    assert decimated <= full + 0.05, (full, decimated)


PUPIL_SCRIPT = """
import json, sys
import numpy as np
import pupil_apriltags
frames = np.load(sys.argv[1])
detector = pupil_apriltags.Detector(families=sys.argv[2], nthreads=1,
                                    quad_decimate=float(sys.argv[3]), refine_edges=1)
out = []
for name in sorted(frames.files):
    # counter-clockwise on screen from the bottom-left; reversed and turned
    # by two they follow our order
    tags = detector.detect(frames[name])
    out.append([[int(t.tag_id), np.roll(np.asarray(t.corners)[::-1], 2, axis=0).tolist()]
                for t in tags])
print(json.dumps(out))
"""


def pupil_median_error(frames, decimate, workdir):
    """Median corner error of pupil-apriltags with refine_edges on, one process
    per family (its detectors of several families do not share a process
    safely)."""
    errors = []
    for dictionary in FAMILIES:
        own = [(image, truth) for d, image, truth in frames if d == dictionary]
        path = workdir / f"{dictionary}.npz"
        np.savez(path, **{f"f{k:03d}": image if image.ndim == 2 else
                          cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) for k, (image, _) in enumerate(own)})
        family = "tag" + dictionary.split("_")[-1]
        proc = subprocess.run([sys.executable, "-c", PUPIL_SCRIPT, str(path), family, str(max(decimate, 1.0))],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        for tags, (_, truth) in zip(json.loads(proc.stdout), own):
            corners = [np.asarray(c) for _, c in tags]
            ids = [i for i, _ in tags]
            errors += corner_errors(scenes.score(corners, ids, truth, tol=1.5).found)
    return float(np.median(np.concatenate(errors)))


@pytest.mark.parametrize("decimate", [0.0, 2.0])
def test_edge_refinement_brings_corners_to_the_true_edges(decimate, tmp_path):
    frames = [(d, image, in_apriltag_convention(truth))
              for d in FAMILIES for image, truth in tag_scenes(d)]
    counts, errors = {}, {}
    for edges in (False, True):
        for dictionary, image, truth in frames:
            result = scenes.score(*detect3(image, dictionary, april_tag_quad_decimate=decimate,
                                           april_tag_refine_edges=edges), truth, tol=1.5)
            # (the plain fit of a decimated search may misplace a corner)
            assert result.foreign == [] and (result.misplaced == [] or not edges)
            counts[edges] = counts.get(edges, 0) + len(result.found)
            errors.setdefault(edges, []).extend(corner_errors(result.found))
    plain, refined = (np.median(np.concatenate(errors[e])) for e in (False, True))
    assert counts[True] >= counts[False] - 1, counts
    try:
        import pupil_apriltags  # noqa: F401
        bound = pupil_median_error(frames, decimate, tmp_path) + 0.05
    except ImportError:
        bound = 0.08
    assert refined <= min(0.5 * plain, bound), (plain, refined, bound)


THREADS_SCRIPT = """
import json, sys
import numpy as np
sys.path.insert(0, {python!r})
import markvane
from markvane_tools import scenes
out = []
for seed in range(3):
    image, _ = scenes.render_scene(np.random.default_rng(seed), size=(800, 600),
                                   dictionary="DICT_APRILTAG_36h11", n_markers=10,
                                   marker_px=(14, 150), perspective=0.25, use_cv2=True)
    for method, decimate, refit, edges in ((3, 0.0, False, False), (3, 2.0, True, False),
                                           (0, 0.0, True, False), (3, 0.0, False, True),
                                           (3, 2.0, True, True)):
        p = markvane.DetectorParameters()
        p.corner_refinement_method = method
        p.april_tag_quad_decimate = decimate
        p.april_tag_refine_full_resolution = refit
        p.april_tag_refine_edges = edges
        out.append(markvane.detect_markers(image, "DICT_APRILTAG_36h11", p))
print(json.dumps(out))
"""


def test_results_do_not_depend_on_the_thread_count():
    from conftest import REPO

    script = THREADS_SCRIPT.format(python=str(REPO / "python"))
    runs = []
    for threads in ("1", None):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        if threads:
            env["RAYON_NUM_THREADS"] = threads
        proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                              text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        runs.append(json.loads(proc.stdout))
    assert runs[0] == runs[1]
    assert any(ids for _, ids in runs[0])
