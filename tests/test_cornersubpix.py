"""Sub-pixel corner search, compared with cv2.cornerSubPix on identical inputs."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
cv2 = pytest.importorskip("cv2")

CRITERIA = cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS


def checker_corner(h, w, cx, cy, sigma=1.2, ss=8):
    """Blurred checkerboard corner at sub-pixel (cx, cy), area-sampled."""
    ys = (np.arange(h * ss) + 0.5) / ss - 0.5
    xs = (np.arange(w * ss) + 0.5) / ss - 0.5
    gx, gy = np.meshgrid(xs, ys)
    v = ((gx < cx) ^ (gy < cy)).astype(np.float64)
    v = v.reshape(h, ss, w, ss).mean(axis=(1, 3))
    img = cv2.GaussianBlur(v * 200 + 30, (0, 0), sigma)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def refine_cv(img, start, win, iters, eps):
    pts = np.array([[start]], np.float32)
    return cv2.cornerSubPix(img, pts, (win, win), (-1, -1), (CRITERIA, iters, eps)).reshape(2)


def refine_mv(img, start, win, iters, eps):
    (pt,) = markvane._corner_sub_pix(img, [start], win, iters, eps)
    return np.array(pt)


def random_cases(seed, count, near_border):
    rng = np.random.default_rng(seed)
    h, w = 48, 64
    for _ in range(count):
        if near_border:
            # 3 px (or a little more) from the left or right edge: the patch of
            # a 5-pixel half-window must replicate the border.
            cx = rng.choice([rng.uniform(3.0, 4.0), rng.uniform(w - 4.0, w - 3.0)])
        else:
            cx = rng.uniform(12, w - 12)
        cy = rng.uniform(12, h - 12)
        img = checker_corner(h, w, cx, cy)
        start = (float(cx + rng.uniform(-1.5, 1.5)), float(cy + rng.uniform(-1.5, 1.5)))
        iters = int(rng.integers(1, 40))
        eps = float(rng.choice([0.1, 0.01, 0.0]))
        yield img, (cx, cy), start, iters, eps


@pytest.mark.parametrize("near_border", [False, True], ids=["interior", "border"])
def test_matches_opencv(near_border):
    for img, _, start, iters, eps in random_cases(7 + near_border, 60, near_border):
        ours = refine_mv(img, start, 5, iters, eps)
        ref = refine_cv(img, start, 5, iters, eps)
        assert np.abs(ours - ref).max() < 0.01, (start, iters, eps, ours, ref)


def test_finds_blurred_corner():
    img = checker_corner(48, 64, 10.3, 20.7)
    x, y = refine_mv(img, (11.0, 20.0), 5, 30, 0.1)
    assert abs(x - 10.3) < 0.1 and abs(y - 20.7) < 0.1


@pytest.mark.parametrize(
    "start, win",
    [
        ((64.0, 20.0), 5),   # x == width: outside the image
        ((-0.5, 20.0), 5),   # negative coordinate
        ((10.0, 48.0), 5),   # y == height
        ((11.25, 20.5), 0),  # zero half-window: no weights at all
    ],
)
def test_returns_start_unchanged(start, win):
    img = checker_corner(48, 64, 10.3, 20.7)
    assert refine_mv(img, start, win, 30, 0.1).tolist() == list(start)


def test_uniform_image_returns_start():
    img = np.full((40, 40), 128, np.uint8)
    assert refine_mv(img, (20.25, 19.75), 4, 30, 0.0).tolist() == [20.25, 19.75]


@pytest.mark.parametrize("limit, acts_as", [(0, 1), (-5, 1), (1000, 100)])
def test_iteration_limit_is_clamped(limit, acts_as):
    # eps < 0 acts as 0, so only the iteration count stops the search and the
    # clamped limit is observable.
    img = checker_corner(48, 64, 30.37, 22.61, sigma=2.5)
    start = (32.0, 21.0)
    assert refine_mv(img, start, 5, limit, -1.0).tolist() == \
        refine_mv(img, start, 5, acts_as, 0.0).tolist()


def test_one_iteration_differs_from_many():
    # Guards the clamping test above against a search that converges in one step.
    img = checker_corner(48, 64, 30.37, 22.61, sigma=2.5)
    assert refine_mv(img, (32.0, 21.0), 5, 1, 0.0).tolist() != \
        refine_mv(img, (32.0, 21.0), 5, 100, 0.0).tolist()


def test_far_result_falls_back_to_start():
    # With a 2-pixel half-window the search walks from (28, 22) towards the
    # corner at (30.3, 22.6): a few steps stay within the window and are
    # returned, the converged point is 2.3 px away in x and must be dropped.
    img = checker_corner(48, 64, 30.3, 22.6)
    start = (28.0, 22.0)
    x, _ = refine_mv(img, start, 2, 3, 0.01)
    assert 28.5 < x <= 30.0
    assert refine_mv(img, start, 2, 30, 0.01).tolist() == list(start)
    x, y = refine_mv(img, start, 3, 30, 0.01)
    assert abs(x - 30.3) < 0.1 and abs(y - 22.6) < 0.1


def test_corners_are_independent():
    img = checker_corner(48, 64, 30.37, 22.61)
    starts = [(31.0, 23.0), (64.0, 1.0), (29.5, 22.0)]
    both = markvane._corner_sub_pix(img, starts, 5, 30, 0.1)
    one_by_one = [markvane._corner_sub_pix(img, [s], 5, 30, 0.1)[0] for s in starts]
    assert both == one_by_one


# --------------------------------------------------------------------------
# Degenerate input: non-finite starts, empty images, windows beyond the image

NAN, INF = float("nan"), float("inf")


def same_points(a, b):
    return np.array_equal(np.array(a, np.float64), np.array(b, np.float64), equal_nan=True)


@pytest.mark.parametrize("shape", [(48, 64), (0, 34), (34, 0), (0, 0), (0, 34, 3)],
                         ids=lambda s: "x".join(map(str, s)))
def test_non_finite_start_or_empty_image_returns_start(shape):
    img = checker_corner(48, 64, 30.3, 22.6) if shape == (48, 64) else np.zeros(shape, np.uint8)
    starts = [(NAN, NAN), (NAN, 22.0), (30.0, NAN), (INF, 22.0), (30.0, -INF), (-INF, INF)]
    if 0 in shape:
        starts.append((0.0, 0.0))  # finite, but there is no pixel to read
    for win in (1, 5, 4096):
        assert same_points(markvane._corner_sub_pix(img, starts, win, 30, 0.1), starts)


def test_window_beyond_image_acts_as_largest_fitting_window():
    # The shorter side is 31 rows, so a half-window of 15 (31x31 window) is the
    # largest that fits; every larger one must give exactly its result.
    img = checker_corner(31, 40, 18.4, 15.3, sigma=2.0)
    starts = [(19.0, 14.0), (17.2, 16.1), (2.0, 29.5)]
    fitting = markvane._corner_sub_pix(img, starts, 15, 100, 0.0)
    for win in (16, 17, 40, 300):
        assert markvane._corner_sub_pix(img, starts, win, 100, 0.0) == fitting, win
    # The cap does not reach windows that fit.
    assert markvane._corner_sub_pix(img, starts, 14, 100, 0.0) != fitting
    # A strip one or two pixels high still gets a 3x3 window.
    strip = np.ascontiguousarray(img[14:16])
    assert markvane._corner_sub_pix(strip, [(18.6, 0.5)], 9, 30, 0.0) == \
        markvane._corner_sub_pix(strip, [(18.6, 0.5)], 1, 30, 0.0)


HUGE_WINDOWS = textwrap.dedent("""
    import numpy as np, markvane
    from markvane_tools import scenes
    image, _ = scenes.render_scene(np.random.default_rng(5), size=(320, 240))
    print(markvane._corner_sub_pix(image, [[181, 105], [3, 230]], 4096, 100, 0.0)
          == markvane._corner_sub_pix(image, [[181, 105], [3, 230]], 119, 100, 0.0))
    def detect(win):
        p = markvane.DetectorParameters()
        p.corner_refinement_method = markvane.CORNER_REFINE_SUBPIX
        p.relative_corner_refinement_win_size = 1e6
        p.corner_refinement_win_size = win
        return markvane.detect_markers(image, "DICT_4X4_50", p)
    huge = detect(8190)
    print(len(huge[1]) > 0 and huge == detect(119))
""")


def test_huge_windows_cost_no_more_than_the_image():
    # Before windows were capped, each of these searched a 16k x 16k patch a
    # hundred times (minutes); a watchdog keeps a regression from blocking.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", HUGE_WINDOWS], env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "True"]
