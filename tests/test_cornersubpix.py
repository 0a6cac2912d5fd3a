"""Sub-pixel corner search, compared with cv2.cornerSubPix on identical inputs."""

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
