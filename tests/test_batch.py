"""detect_markers_batch: every frame's result is exactly detect_markers' on
that frame, whatever the batch holds, and bad input raises before any work."""
import json
import textwrap

import numpy as np
import pytest

import markvane as mv
from conftest import run_python
from markvane_tools import scenes

DICTS = ("DICT_4X4_50", "DICT_APRILTAG_36h11")


@pytest.fixture(scope="module")
def pool():
    """Rendered frames of several sizes, gray, for both dictionaries."""
    rng = np.random.default_rng(1303)
    frames = {}
    for d in DICTS:
        frames[d] = [scenes.render_scene(rng, size=size, dictionary=d, n_markers=5, marker_px=(24, 110),
                                         clutter=3)[0]
                     for size in ((160, 120), (320, 240), (480, 360), (640, 480), (300, 500), (641, 97))]
    return frames


def variant(rng, gray):
    """The frame as a caller might hand it over: BGR, a strided or reversed
    view, a transposed copy, or a crop."""
    kind = rng.integers(6)
    if kind == 0:
        return gray
    if kind == 1:
        return np.ascontiguousarray(np.dstack([gray] * 3))
    if kind == 2:
        bgr = np.dstack([gray, np.roll(gray, 1, axis=1), gray // 2 + 60])
        return bgr[:, ::-1]
    if kind == 3:
        return np.asfortranarray(gray)[::-1]
    if kind == 4:
        return gray.T
    return gray[int(rng.integers(0, 20)):, 3:-2]


def params_for(method, refit):
    p = mv.DetectorParameters()
    p.corner_refinement_method = method
    p.april_tag_refine_full_resolution = refit
    if method == 3:
        p.april_tag_quad_decimate = 2.0
    return p


@pytest.mark.parametrize("method", [0, 1, 2, 3])
@pytest.mark.parametrize("refit", [False, True])
def test_every_frame_equals_detect_markers(pool, method, refit):
    rng = np.random.default_rng(100 * method + refit)
    p = params_for(method, refit)
    found = 0
    for dictionary in DICTS:
        for count in (1, 2, 7):
            frames = [variant(rng, pool[dictionary][i]) for i in rng.integers(0, len(pool[dictionary]), count)]
            got = mv.detect_markers_batch(frames, dictionary, p)
            assert got == [mv.detect_markers(f, dictionary, p) for f in frames]
            found += sum(len(ids) for _, ids in got)
    # The scenes must exercise detection, not just empty results.
    assert found > 10


def test_large_mixed_batch_and_uncommon_scale_plans(pool):
    rng = np.random.default_rng(7)
    frames = [variant(rng, pool["DICT_4X4_50"][i % 6]) for i in range(64)]
    frames[5] = np.zeros((0, 40), np.uint8)
    frames[17] = np.zeros((3, 3, 1), np.uint8)
    for settings in ({}, {"adaptive_thresh_win_size_max": 53},           # six scales
                     {"adaptive_thresh_win_size_min": 5, "adaptive_thresh_win_size_max": 5},
                     {"adaptive_thresh_win_size_min": 30, "adaptive_thresh_win_size_max": 3},  # none
                     {"adaptive_thresh_win_size_min": 301, "adaptive_thresh_win_size_max": 2001,
                      "adaptive_thresh_win_size_step": 100}):            # windows larger than the frames
        p = mv.DetectorParameters()
        for name, value in settings.items():
            setattr(p, name, value)
        got = mv.detect_markers_batch(frames, "DICT_4X4_50", p)
        assert got == [mv.detect_markers(f, "DICT_4X4_50", p) for f in frames], settings
    assert got[5] == ([], []) and got[17] == ([], [])


def test_identical_frames_give_identical_results_and_inputs_are_untouched(pool):
    frame = pool["DICT_4X4_50"][3]
    before = frame.copy()
    a, b = mv.detect_markers_batch((frame, frame), "DICT_4X4_50")
    assert a == b and a[1]
    assert np.array_equal(frame, before)
    assert mv.detect_markers_batch([], "DICT_4X4_50") == []
    assert mv.detect_markers_batch((), "DICT_4X4_50", None) == []


def test_bad_input_raises_before_any_detection(pool):
    good = pool["DICT_4X4_50"][0]
    with pytest.raises(TypeError, match=r"^argument 'images': Can't extract `str` to `Vec`$"):
        mv.detect_markers_batch("frames", "DICT_4X4_50")
    # A single array would otherwise pass as a sequence of its rows.
    for single in (good, np.dstack([good] * 3)):
        with pytest.raises(TypeError, match="^argument 'images': expected a sequence of images"):
            mv.detect_markers_batch(single, "DICT_4X4_50")
    with pytest.raises(TypeError, match="^argument 'images'"):
        mv.detect_markers_batch(5, "DICT_4X4_50")
    with pytest.raises(TypeError, match=r"^argument 'images\[1\]': .*uint8"):
        mv.detect_markers_batch([good, good.astype(np.float32)], "DICT_4X4_50")
    with pytest.raises(TypeError, match=r"^argument 'images\[2\]'"):
        mv.detect_markers_batch([good, good, [[0, 1]]], "DICT_4X4_50")
    with pytest.raises(ValueError, match="^image must have 1 or 3 channels$"):
        mv.detect_markers_batch([good, np.zeros((40, 40, 4), np.uint8)], "DICT_4X4_50")
    with pytest.raises(ValueError, match=r"^image must be 2D \(gray\) or 3D \(BGR\)$"):
        mv.detect_markers_batch([good, good, np.zeros(40, np.uint8)], "DICT_4X4_50")
    # Binding comes first, then the dictionary, then the frames' shapes.
    with pytest.raises(TypeError, match=r"images\[1\]"):
        mv.detect_markers_batch([good, 3], "NO_SUCH_DICT")
    with pytest.raises(ValueError, match="^unknown dictionary: NO_SUCH_DICT$"):
        mv.detect_markers_batch([good, np.zeros((4, 4, 4), np.uint8)], "NO_SUCH_DICT")
    with pytest.raises(TypeError, match="^argument 'parameters'"):
        mv.detect_markers_batch([good], "DICT_4X4_50", {})
    p = mv.DetectorParameters()
    p.adaptive_thresh_win_size_step = 0
    with pytest.raises(ValueError, match="adaptive_thresh_win_size_step"):
        mv.detect_markers_batch([good], "DICT_4X4_50", p)


def test_the_lock_is_released_during_the_batch(pool):
    import threading
    frames = [pool["DICT_4X4_50"][3]] * 24
    expected = mv.detect_markers_batch(frames, "DICT_4X4_50")
    ticks = []
    running, stop = threading.Event(), threading.Event()

    def tick():
        while not stop.is_set():
            if running.is_set():
                ticks.append(1)
            stop.wait(0.0005)

    t = threading.Thread(target=tick)
    t.start()
    try:
        running.set()
        got = mv.detect_markers_batch(frames, "DICT_4X4_50")
        running.clear()
    finally:
        stop.set()
        t.join()
    assert len(ticks) > 5
    assert got == expected


SCRIPT = textwrap.dedent("""
    import json, numpy as np, markvane
    from markvane_tools import scenes
    rng = np.random.default_rng(5)
    frames = [scenes.render_scene(rng, size=s, dictionary="DICT_APRILTAG_25h9", n_markers=6,
                                  marker_px=(20, 80))[0]
              for s in ((640, 480), (320, 240), (800, 600), (200, 900))]
    out = []
    for method, refit in ((0, True), (1, False), (2, False), (3, False)):
        p = markvane.DetectorParameters()
        p.corner_refinement_method = method
        p.april_tag_refine_full_resolution = refit
        p.adaptive_thresh_win_size_max = 43
        out.append(markvane.detect_markers_batch(frames, "DICT_APRILTAG_25h9", p))
    print(json.dumps(out))
""")


def test_batches_do_not_depend_on_the_thread_count():
    def run(env_updates):
        return run_python(SCRIPT, env_updates)

    default = run({})
    assert all(any(ids for _, ids in batch) for batch in json.loads(default))
    assert run({"RAYON_NUM_THREADS": "1"}) == default
    assert run({"MARKVANE_CORES": "all", "RAYON_NUM_THREADS": "5"}) == default
