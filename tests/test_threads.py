"""Detection results do not depend on the worker pool's size."""
import json
import textwrap

import pytest
from conftest import run_python

SCRIPT = textwrap.dedent("""
    import json, numpy as np, markvane
    from markvane_tools import scenes
    # with more than one thread, the first frames are copied with both kinds
    # of stores in turn, until the pool keeps the faster
    out = []
    # the AprilTag path splits its image stages and its clustering into
    # bands of rows, which must not show in the result; with more than one
    # thread and no blur, the decimation and threshold are made in pieces
    # while the labelling reads them (sizes off the 4-pixel tiles included)
    april_shrunk = {"april_tag_quad_decimate": 1.5, "april_tag_quad_sigma": 0.8}
    # the refit clusters each marker's crop in bands too, nested inside the
    # loop over markers
    refit = {"april_tag_refine_full_resolution": True}
    april_refit = {"april_tag_quad_decimate": 2.0, **refit}
    # without the size rule, more outlines and groups: decoding starts while
    # the thread left idle is still reading candidates ahead
    every_size = {"min_side_length_canonical_img": 0}
    cases = [(1, 0, {}), (2, 1, {}), (3, 2, {}), (4, 3, {}), (5, 3, april_shrunk), (6, 3, april_refit),
             (7, 0, refit), (8, 3, {"april_tag_quad_decimate": 2.0}, (810, 605)), (9, 3, {}, (643, 487)),
             (10, 0, every_size), (11, 1, every_size, (1280, 720))]
    for seed, method, extra, *size in cases:
        rng = np.random.default_rng(seed)
        image, _ = scenes.render_scene(rng, size=(size or [(800, 600)])[0], dictionary="DICT_4X4_50")
        p = markvane.DetectorParameters()
        p.corner_refinement_method = method
        for name, value in extra.items():
            setattr(p, name, value)
        p.adaptive_thresh_win_size_max = 43   # five scales: more tasks than workers
        out.append(markvane.detect_markers(image, "DICT_4X4_50", p))
    print(json.dumps(out))
""")


def _run(env_updates):
    return run_python(SCRIPT, env_updates)


def test_results_identical_for_one_worker_and_the_default_pool():
    pytest.importorskip("cv2")
    default = _run({})
    assert all(ids for _, ids in json.loads(default)), "every scene must yield detections"
    assert _run({"MARKVANE_CORES": "0"}) == default
    assert _run({"RAYON_NUM_THREADS": "1"}) == default
    assert _run({"MARKVANE_CORES": "all", "RAYON_NUM_THREADS": "4"}) == default


CHESSBOARD_SCRIPT = textwrap.dedent("""
    import json, numpy as np, markvane
    from markvane_tools.chessboards import render_chessboard
    from markvane_tools.scenes import render_clutter
    rng = np.random.default_rng(8)
    out = []
    # Boards under uneven light and small or slanted squares (found by the
    # local thresholds or the fallbacks, where the attempts run side by side),
    # and frames without the board (every attempt runs).
    for k in range(12):
        pattern = [(9, 6), (7, 7), (15, 10)][k % 3]
        size = (1024, 768) if pattern == (15, 10) else (640, 480)
        b = render_chessboard(rng, pattern=pattern, size=size, tilt=(0, 60), blur=(0.3, 1.0),
                              noise=(0, 4), light=0.6, min_square=12.0)
        ok, corners = markvane.find_chessboard_corners(b.image, pattern)
        out.append([ok, np.asarray(corners).tolist()])
    for kind in ["mixed", "texture"]:
        ok, corners = markvane.find_chessboard_corners(render_clutter(rng, (640, 480), kind=kind), (9, 6))
        out.append([ok, corners])
    print(json.dumps(out))
""")


def test_chessboard_results_identical_for_any_pool_size():
    pytest.importorskip("cv2")
    default = run_python(CHESSBOARD_SCRIPT, {})
    assert sum(ok for ok, _ in json.loads(default)) >= 8
    assert run_python(CHESSBOARD_SCRIPT, {"RAYON_NUM_THREADS": "1"}) == default
    assert run_python(CHESSBOARD_SCRIPT, {"MARKVANE_CORES": "all", "RAYON_NUM_THREADS": "5"}) == default
