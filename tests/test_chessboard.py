"""Chessboard corner finder: arguments, odd images, the threshold cascade and
the border rule, and corners against exact rendered truth, OpenCV and real
photographs."""

from __future__ import annotations

import inspect
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import markvane
from conftest import data_path
from markvane_tools.chessboards import grid_order, grid_orderings, render_chessboard
from markvane_tools.scenes import render_clutter

find = markvane.find_chessboard_corners
NOT_FOUND = (False, [])
PATTERN_MESSAGE = "both pattern_size dimensions must be greater than 2"


def board_image(pattern, square=30, origin=(100, 80), size=(640, 480), black=30, white=220,
                background=128, margin=None):
    """An upright board with sharp edges, exact without any renderer: square
    (i, j) covers pixels [origin + j * square, origin + (j + 1) * square), and
    with pixel centres at integers, inner corner (r, c) lies at
    origin + (c + 1, r + 1) * square - 0.5. Returns (image, corners)."""
    cols, rows = pattern
    margin = square // 2 if margin is None else margin
    x0, y0 = origin
    img = np.full((size[1], size[0]), background, np.uint8)
    img[max(0, y0 - margin):y0 + (rows + 1) * square + margin,
        max(0, x0 - margin):x0 + (cols + 1) * square + margin] = white
    for i in range(rows + 1):
        for j in range(cols + 1):
            if (i + j) % 2 == 0:
                ys = slice(max(0, y0 + i * square), max(0, y0 + (i + 1) * square))
                xs = slice(max(0, x0 + j * square), max(0, x0 + (j + 1) * square))
                img[ys, xs] = black
    r, c = np.mgrid[0:rows, 0:cols]
    corners = np.c_[x0 + (c.ravel() + 1) * square - 0.5, y0 + (r.ravel() + 1) * square - 0.5]
    return img, corners


def found_corners(image, pattern):
    ok, corners = find(image, pattern)
    assert isinstance(ok, bool) and isinstance(corners, list)
    if not ok:
        assert corners == []
        return None
    cols, rows = pattern
    assert len(corners) == cols * rows
    assert all(isinstance(p, list) and len(p) == 2 and all(isinstance(v, float) for v in p)
               for p in corners)
    return np.array(corners)


def matching_ordering(points, truth, pattern, tol):
    """Index in grid_orderings(truth) of the ordering `points` follows within
    `tol` px, or None."""
    for k, ordering in enumerate(grid_orderings(truth, pattern)):
        if np.linalg.norm(points - ordering, axis=1).max() <= tol:
            return k
    return None


def image_orderings(truth, pattern, rng, jitter=0.75):
    """Indices of the orderings markvane may choose for corners at `truth`:
    the one with the smallest key, and those that win when the corners move
    by up to `jitter` px (a near tie, e.g. two extreme corners at almost the
    same height, can go either way)."""
    options = set()
    for k in range(12):
        moved = truth + (rng.uniform(-jitter, jitter, truth.shape) if k else 0.0)
        options.add(matching_ordering(grid_order(moved, pattern), moved, pattern, 1e-9))
    return options


# --------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("pattern, error, message", [
    ((2, 5), ValueError, PATTERN_MESSAGE),
    ((5, 2), ValueError, PATTERN_MESSAGE),
    ((0, 0), ValueError, PATTERN_MESSAGE),
    ((-7, 6), ValueError, PATTERN_MESSAGE),
    ((9,), ValueError, "expected a sequence of length 2 (got 1)"),
    ([9, 6, 1], ValueError, "expected a sequence of length 2 (got 3)"),
    ("96", TypeError, "argument 'pattern_size': Can't extract `str` to `Vec`"),
    ((9.0, 6), TypeError, "argument 'pattern_size': "),
    ((9, None), TypeError, "argument 'pattern_size': "),
    (None, TypeError, "argument 'pattern_size': "),
    (9, TypeError, "argument 'pattern_size': "),
    ((2**31, 6), OverflowError, "argument 'pattern_size': "),
    ((9, -(2**40)), OverflowError, "argument 'pattern_size': "),
])
def test_bad_pattern_sizes_raise(pattern, error, message):
    img = np.zeros((40, 40), np.uint8)
    with pytest.raises(error) as info:
        find(img, pattern)
    assert str(info.value).startswith(message)


def test_pattern_size_accepts_any_integer_pair():
    img = np.zeros((40, 40), np.uint8)
    for pattern in [(3, 3), [3, 4], np.array([5, 3]), (np.int64(4), np.uint8(3)), range(3, 5)]:
        assert find(img, pattern) == NOT_FOUND
    # Absurd but well-formed sizes are simply not found.
    assert find(img, (2**31 - 1, 2**31 - 1)) == NOT_FOUND


def test_argument_checks_come_in_order():
    # The image is bound first (type), the pattern size is checked next, and
    # the image's shape only when it is copied.
    with pytest.raises(TypeError, match="argument 'image'"):
        find(np.zeros((20, 20), np.float32), (2, 2))
    with pytest.raises(ValueError, match=PATTERN_MESSAGE):
        find(np.zeros((20, 20, 4), np.uint8), (2, 2))
    with pytest.raises(ValueError, match="image must have 1 or 3 channels"):
        find(np.zeros((20, 20, 4), np.uint8), (3, 3))
    with pytest.raises(ValueError, match="image must be 2D"):
        find(np.zeros(20, np.uint8), (3, 3))
    with pytest.raises(TypeError, match="argument 'image'"):
        find([[0] * 20] * 20, (3, 3))


def test_signature_docstring_and_place_in_module():
    assert list(inspect.signature(find).parameters) == ["image", "pattern_size"]
    assert find.__text_signature__ == "(image, pattern_size)"
    assert find.__doc__.startswith("Find the inner corners of a chessboard")
    assert find(image=np.zeros((20, 20), np.uint8), pattern_size=(3, 3)) == NOT_FOUND
    names = list(vars(markvane))
    assert (names.index("detect_markers") < names.index("find_chessboard_corners")
            < names.index("predefined_dictionaries"))


# --------------------------------------------------------------------------
# Odd images


def _odd_images():
    rng = np.random.default_rng(5)
    board, _ = board_image((4, 3), square=8, origin=(2, 2), size=(48, 15))
    return {
        "empty": np.zeros((0, 0), np.uint8),
        "no rows": np.zeros((0, 40), np.uint8),
        "15 wide": np.ascontiguousarray(np.tile(board.T, (14, 1))[:200]),
        "15 high": board,
        "16x16": rng.integers(0, 256, (16, 16), dtype=np.uint8),
        "black": np.zeros((480, 640), np.uint8),
        "white": np.full((480, 640), 255, np.uint8),
        "gray": np.full((480, 640), 128, np.uint8),
        "noise": rng.integers(0, 256, (480, 640), dtype=np.uint8),
        "noise bgr": rng.integers(0, 256, (120, 160, 3), dtype=np.uint8),
        "thin wide": rng.integers(0, 256, (16, 200_000), dtype=np.uint8),
        "thin tall": rng.integers(0, 256, (200_000, 17), dtype=np.uint8),
        "binary noise": (rng.random((300, 300)) < 0.5).astype(np.uint8) * 255,
        "zero strides": np.broadcast_to(np.uint8(7), (300, 400)),
    }


@pytest.mark.parametrize("name", list(_odd_images()))
def test_odd_images_find_nothing(name):
    assert find(_odd_images()[name], (3, 3)) == NOT_FOUND


def test_image_layout_does_not_matter():
    img, _ = board_image((5, 4), square=26, origin=(150, 90))
    ref = find(img, (5, 4))
    assert ref[0]
    wide = np.zeros((img.shape[0], img.shape[1] * 2), np.uint8)
    wide[:, ::2] = img
    assert find(wide[:, ::2], (5, 4)) == ref
    assert find(np.asfortranarray(img), (5, 4)) == ref
    assert find(img[:, :, None], (5, 4)) == ref
    assert find(np.repeat(img[:, :, None], 3, axis=2), (5, 4)) == ref
    flipped = img[::-1, ::-1]
    assert find(flipped, (5, 4)) == find(np.ascontiguousarray(flipped), (5, 4))
    # The transposed image holds the same corners with x and y swapped.
    ok, corners = find(img.T, (5, 4))
    assert ok
    swapped = sorted((y, x) for x, y in ref[1])
    assert np.allclose(sorted(map(tuple, corners)), swapped, atol=1e-4)


def test_bgr_image_is_read_through_its_gray_conversion():
    rng = np.random.default_rng(2)
    gray, _ = board_image((6, 4), square=28, origin=(120, 100))
    bgr = np.stack([gray, gray, gray], axis=2).astype(np.int16)
    bgr += rng.integers(-20, 21, bgr.shape)
    bgr = np.clip(bgr, 0, 255).astype(np.uint8)
    b, g, r = (bgr[..., k].astype(np.float32) for k in range(3))
    converted = np.floor(b * np.float32(0.114) + g * np.float32(0.587) + r * np.float32(0.299)
                         + np.float32(0.5)).astype(np.uint8)
    assert find(bgr, (6, 4)) == find(converted, (6, 4))
    assert find(bgr, (6, 4))[0]


def test_interpreter_lock_is_released_during_the_search():
    img = np.random.default_rng(1).integers(0, 256, (2400, 2400), dtype=np.uint8)
    ticks, done = [0], []

    def spin():
        while not done:
            ticks[0] += 1
            time.sleep(0)

    def progress_during(call):
        before, start = ticks[0], time.perf_counter()
        call()
        return ticks[0] - before, time.perf_counter() - start

    t = threading.Thread(target=spin)
    t.start()
    try:
        time.sleep(0.02)
        searching, elapsed = progress_during(lambda: find(img, (9, 6)))
        sleeping, _ = progress_during(lambda: time.sleep(elapsed))
    finally:
        done.append(True)
        t.join()
    # Were the lock held, the spinning thread would not run at all during the
    # search; with it released it keeps a good part of its pace.
    assert sleeping > 20 and searching > 0.2 * sleeping


# --------------------------------------------------------------------------
# Order and geometry on exact boards


@pytest.mark.parametrize("pattern", [(3, 3), (9, 6), (6, 9), (7, 7), (15, 10)])
def test_upright_board_starts_top_left_and_runs_right(pattern):
    square = 24 if max(pattern) > 10 else 28
    img, truth = board_image(pattern, square=square, origin=(60, 40), size=(520, 400))
    got = found_corners(img, pattern)
    assert got is not None
    assert np.abs(got - truth).max() < 0.25
    cols = pattern[0]
    assert got[1, 0] > got[0, 0] and got[cols, 1] > got[0, 1]


@pytest.mark.parametrize("pattern", [(5, 4), (7, 7)])
def test_turned_board_keeps_the_image_based_order(pattern):
    img, truth = board_image(pattern, square=30, origin=(150, 90))
    h, w = img.shape
    for turns in range(4):
        if turns % 2 and pattern[0] != pattern[1]:
            continue  # a quarter turn makes it a board of rows x cols
        turned = np.rot90(img, turns)
        # Pixel (x, y) goes to (y, w - 1 - x) for each counter-clockwise turn.
        t = truth.copy()
        width = w
        for _ in range(turns):
            t = np.c_[t[:, 1], width - 1 - t[:, 0]]
            width = h if width == w else w
        got = found_corners(turned, pattern)
        assert got is not None
        assert np.abs(got - grid_order(t, pattern)).max() < 0.25, turns


def test_transposed_pattern_is_the_same_board_read_down_the_columns():
    img, truth = board_image((6, 4), square=30, origin=(120, 90))
    columns = truth.reshape(4, 6, 2).transpose(1, 0, 2).reshape(-1, 2)
    got = found_corners(img, (4, 6))
    assert got is not None
    assert np.abs(got - grid_order(columns, (4, 6))).max() < 0.25
    # Rows of 4 cannot run right without reversing the handedness of an
    # upright board, so the first row runs down from the top-right corner.
    assert np.abs(got[0] - truth[5]).max() < 0.25 and got[1, 1] > got[0, 1]


# --------------------------------------------------------------------------
# Small squares and squares that overlap at their corners


@pytest.mark.parametrize("pattern, square", [((9, 6), 14), ((3, 3), 14), ((7, 7), 16), ((6, 9), 18),
                                             ((15, 10), 20), ((5, 4), 22)])
def test_small_squares_are_found_in_order(pattern, square):
    # Erosion leaves the quad corners at a board corner about 4 px apart,
    # more than a third of these squares' sides.
    img, truth = board_image(pattern, square=square, origin=(40, 30), size=(400, 300))
    got = found_corners(img, pattern)
    assert got is not None
    assert np.abs(got - truth).max() < 0.25
    # A quarter turn puts the gap on the other diagonal. Pixel (x, y) goes to
    # (y, w - 1 - x), and the board then has rows x cols inner corners.
    cols, rows = pattern
    turned = np.c_[truth[:, 1], img.shape[1] - 1 - truth[:, 0]]
    turned = turned.reshape(rows, cols, 2).transpose(1, 0, 2).reshape(-1, 2)
    got = found_corners(np.rot90(img), (rows, cols))
    assert got is not None
    assert np.abs(got - grid_order(turned, (rows, cols))).max() < 0.25


def test_small_squares_turned_and_tilted_are_found_in_order():
    # Rendered boards with squares of 12 to 22 px, turned by any angle (a
    # corner turned by 45 degrees recedes furthest under erosion) and tilted.
    rng = np.random.default_rng(8)
    for k, pattern in enumerate([(9, 6), (7, 7), (5, 4), (8, 5), (4, 3), (10, 7)]):
        for attempt in range(50):
            b = render_chessboard(rng, pattern=pattern, tilt=(0, 40), roll=45.0 if k % 2 else None,
                                  fill=(0.3, 0.6), blur=(0.3, 0.8), noise=(0, 3), min_square=12.0)
            if b.min_square_px <= 16.0 and b.min_square_px * 1.4 <= 22.0:
                break
        got = found_corners(b.image, pattern)
        assert got is not None, (pattern, b.min_square_px)
        k_order = matching_ordering(got, b.corners, pattern, 4.0)
        assert k_order in image_orderings(b.corners, pattern, rng), pattern
        assert np.linalg.norm(got - grid_orderings(b.corners, pattern)[k_order], axis=1).max() < 0.5


def test_squares_that_overlap_at_their_corners_are_parted():
    # Black squares printed one pixel too large on every side overlap in a
    # 2 x 2 block at each board corner, which one erosion leaves joined.
    pattern, square, (x0, y0) = (6, 4), 30, (100, 80)
    img, truth = board_image(pattern, square=square, origin=(x0, y0))
    cols, rows = pattern
    for i in range(rows + 1):
        for j in range(cols + 1):
            if (i + j) % 2 == 0:
                img[y0 + i * square - 1:y0 + (i + 1) * square + 1,
                    x0 + j * square - 1:x0 + (j + 1) * square + 1] = 30
    got = found_corners(img, pattern)
    assert got is not None
    assert np.abs(got - truth).max() < 0.25


def test_the_global_threshold_tries_the_wider_linking_before_any_local_one():
    # Board A needs a local threshold (see ramp_board), board B has squares
    # too small for the usual linking radius but is clean: the global
    # threshold finds it with the wider one. That comes before any local
    # threshold is tried, so B is the board found (and cheaply: before, every
    # local threshold ran first on frames of small boards).
    a = ramp_board((220, 150), 90)
    small, _ = board_image((4, 3), square=14, origin=(0, 0), size=(5 * 14, 4 * 14), margin=0)
    b = ((900, 200), small.astype(float))
    found_a = found_corners(on_canvas((1280, 480), a), (4, 3))
    found_b = found_corners(on_canvas((1280, 480), b), (4, 3))
    assert found_a is not None and found_b is not None
    both = found_corners(on_canvas((1280, 480), a, b), (4, 3))
    assert both is not None and np.array_equal(both, found_b)


# Tilted by 45 to 60 degrees, some squares become quadrilaterals whose short
# diagonal is no longer than their sides. Outlined from two neighbouring
# corners, such a square either keeps a vertex in mid-side and is dropped, or
# loses the true corner next to it and leaves its quad corner too far from the
# board corner to link ("slant"). Squares of 12 to 16 px at such a slant meet
# at corners of 50 to 60 degrees, which erosion pulls back half as far again
# as right angles: their quad corners end up 8 to 10 px apart, beyond any
# fixed widening of the linking radius ("sharp"). Each board was missed so.
@pytest.mark.parametrize("pattern, size, seed", [
    ((9, 6), (640, 480), 131),    # slant: squares of 20 px and more
    ((15, 10), (1024, 768), 21),  # slant: squares down to 13 px
    ((9, 6), (640, 480), 15),     # sharp: squares down to 14 px
    ((15, 10), (1024, 768), 13),  # sharp: squares down to 13 px
])
def test_steeply_slanted_boards_are_found_in_order(pattern, size, seed):
    b = render_chessboard(np.random.default_rng(seed), pattern=pattern, size=size, tilt=(45, 60),
                          blur=(0.3, 1.0), noise=(0, 4), min_square=12.0)
    got = found_corners(b.image, pattern)
    assert got is not None
    k = matching_ordering(got, b.corners, pattern, 4.0)
    assert k in image_orderings(b.corners, pattern, np.random.default_rng(0))
    assert np.linalg.norm(got - grid_orderings(b.corners, pattern)[k], axis=1).max() < 0.5


def test_a_hidden_board_corner_is_not_bridged():
    # A patch over one inner corner cuts short the two black squares meeting
    # there. Their cut corners are no farther apart than those at the sharp
    # board corners the linking has to join, but their sides do not run on
    # into each other: linked anyway, they made a board with that corner
    # 7 px off. The board itself, without the patch, is found.
    pattern = (7, 5)
    rng = np.random.default_rng(93)
    b = render_chessboard(rng, pattern=pattern, tilt=(30, 62), fill=(0.3, 0.9), blur=(0.3, 1.2),
                          noise=(0, 5), min_square=10.0)
    x, y = b.corners[5].astype(int)  # row 0, column 5
    img = b.image.copy()
    img[y - 7:y + 7, x - 7:x + 7] = 110
    assert find(img, pattern) == NOT_FOUND
    assert find(b.image, pattern)[0]


# --------------------------------------------------------------------------
# Threshold cascade and border rule


def ramp_board(offset, ramp, pattern=(4, 3), square=40):
    """An upright board whose black squares brighten from 20 to 20 + ramp
    across each square: one global threshold cannot split them from the
    white squares (200), and local means must reach far enough to see the
    white around the brighter part."""
    cols, rows = pattern
    ys, xs = np.mgrid[0:(rows + 1) * square, 0:(cols + 1) * square]
    black = (ys // square + xs // square) % 2 == 0
    return offset, np.where(black, 20 + ramp * (xs % square) / (square - 1), 200)


def on_canvas(size, *boards):
    canvas = np.full((size[1], size[0]), 128.0)
    for (x, y), b in boards:
        canvas[y:y + b.shape[0], x:x + b.shape[1]] = b
    return np.rint(canvas).astype(np.uint8)


def test_local_thresholds_run_from_small_to_large_windows():
    # In a frame 480 px high the windows are 31, 49 and 97 px. Board A (the
    # steeper ramp) is found only with the 97 px window and the largest
    # constant, board B already with the 49 px window; neither by the global
    # threshold, and the two are far enough apart not to see each other.
    a = ramp_board((220, 150), 120)
    b = ramp_board((860, 170), 90)
    found_a = found_corners(on_canvas((1280, 480), a), (4, 3))
    found_b = found_corners(on_canvas((1280, 480), b), (4, 3))
    assert found_a is not None and found_b is not None
    # Both in one frame: the 49 px window comes first and finds only B,
    # although A (higher up, so its corners are numbered first) would win
    # an attempt that finds both.
    both = found_corners(on_canvas((1280, 480), a, b), (4, 3))
    assert both is not None and np.array_equal(both, found_b)


def test_global_threshold_finds_a_clean_board_in_one_pass():
    img, truth = board_image((9, 6), square=32)
    got = found_corners(img, (9, 6))
    assert got is not None and np.abs(got - truth).max() < 0.25


def test_corners_near_the_image_edge_are_not_reported():
    # Moving the board left until its first column of corners reaches the
    # edge: whenever it is found, every corner keeps more than 8 px (less the
    # at most 2 px of refinement) from the edge, and once the true corners
    # are within 8 px it is never found.
    pattern, square = (5, 4), 26
    found_at = []
    for origin_x in range(4 - square, 44 - square, 2):
        img, truth = board_image(pattern, square=square, origin=(origin_x, 80), size=(360, 260),
                                 margin=12)
        got = found_corners(img, pattern)
        leftmost = truth[:, 0].min()
        if got is not None:
            found_at.append(leftmost)
            assert got[:, 0].min() > 6
        if leftmost <= 8:
            assert got is None, leftmost
    assert found_at and min(found_at) > 8


# --------------------------------------------------------------------------
# Frames without the board


def test_frames_without_the_board_find_nothing():
    rng = np.random.default_rng(11)
    frames = [render_clutter(rng, (640, 480), kind=kind) for kind in
              ("rectangles", "outlines", "lines", "texture", "mixed", "mixed")]
    frames.append(rng.normal(128, 40, (480, 640)).clip(0, 255).astype(np.uint8))
    for k in range(3):  # a board of another size
        frames.append(render_chessboard(rng, pattern=(8, 5), tilt=(0, 40), blur=(0.3, 1.0),
                                        noise=(0, 4)).image)
    for k in range(3):  # the same with small squares, linked only from further off
        frames.append(render_chessboard(rng, pattern=(8, 5), tilt=(0, 55), fill=(0.3, 0.45),
                                        blur=(0.3, 1.0), noise=(0, 4)).image)
    for k in range(4):  # the right board, with corners cut off by the image edge
        b = render_chessboard(rng, pattern=(9, 6), pad=-200, fill=1.0, tilt=(0, 30),
                              blur=(0.3, 1.0), noise=(0, 4))
        h, w = b.image.shape
        x, y = b.corners[:, 0], b.corners[:, 1]
        assert np.any((x < 0) | (x > w - 1) | (y < 0) | (y > h - 1))
        frames.append(b.image)
    for k, frame in enumerate(frames):
        assert find(frame, (9, 6)) == NOT_FOUND, k


@pytest.mark.parametrize("square", [30, 14])
def test_a_larger_board_is_not_mistaken_for_a_smaller_one(square):
    img, _ = board_image((9, 6), square=square)
    assert found_corners(img, (9, 6)) is not None
    for pattern in [(8, 6), (9, 5), (3, 3), (10, 6), (6, 8)]:
        assert find(img, pattern) == NOT_FOUND, pattern


# --------------------------------------------------------------------------
# Rendered boards against the truth and OpenCV


@pytest.fixture(scope="module")
def cv2():
    return pytest.importorskip("cv2")


def opencv_corners(cv2, image, pattern, refine=(15, 0.1)):
    """cv2.findChessboardCorners (default flags) then cv2.cornerSubPix with
    the same 5 x 5 window; (rows * cols, 2) or None."""
    ok, corners = cv2.findChessboardCorners(image, pattern)
    if not ok:
        return None
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, refine[0], refine[1])
    return cv2.cornerSubPix(image, corners, (2, 2), (-1, -1), criteria).reshape(-1, 2).astype(float)


PATTERNS = [(3, 3), (4, 3), (5, 4), (6, 6), (7, 7), (9, 6), (8, 5), (10, 7), (11, 8), (15, 10)]


def rendered_boards(seed, count, min_square=12.0):
    """Boards of every pattern at calibration quality (blur up to 1 px,
    noise up to 4 gray levels, JPEG on every third, uneven light, tilt up to
    55 degrees, any rotation), posed so that every square keeps at least
    `min_square` px."""
    rng = np.random.default_rng(seed)
    boards = []
    for k in range(count):
        pattern = PATTERNS[k % len(PATTERNS)]
        size = (640, 480) if max(pattern) <= 9 else (1024, 768)
        boards.append(render_chessboard(rng, pattern=pattern, size=size, tilt=(0, 55),
                                        blur=(0.3, 1.0), noise=(0, 4), light=0.3,
                                        jpeg=(75, 95) if k % 3 == 0 else None,
                                        min_square=min_square))
    return boards


def test_rendered_boards_match_truth_at_least_as_well_as_opencv(cv2):
    rng = np.random.default_rng(3)
    ours, theirs = [], []
    for b in rendered_boards(20240611, 60):
        got = found_corners(b.image, b.pattern)
        ref = opencv_corners(cv2, b.image, b.pattern)
        if got is not None:
            # The right grid, in the image-based order (near ties allowed).
            k = matching_ordering(got, b.corners, b.pattern, 4.0)
            assert k in image_orderings(b.corners, b.pattern, rng), b.pattern
            ours.append(np.linalg.norm(got - grid_orderings(b.corners, b.pattern)[k], axis=1))
        if ref is not None:
            err = min((np.linalg.norm(ref - o, axis=1) for o in grid_orderings(b.corners, b.pattern)),
                      key=lambda e: e.max())
            theirs.append(err)
    assert len(ours) >= len(theirs)
    far = lambda errors: sum(e.max() > 0.5 for e in errors)  # noqa: E731
    assert far(ours) <= far(theirs)
    assert np.median(np.concatenate(ours)) <= np.median(np.concatenate(theirs)) + 0.02


# --------------------------------------------------------------------------
# Real photographs


def photos(folder):
    return sorted(Path(data_path(folder)).glob("*.jpg"))


def test_real_photos_agree_with_opencv(cv2):
    converge = (100, 1e-4)
    found = reference = 0
    for folder, pattern in [("chessboard-9x6", (9, 6)), ("chessboard-7x7", (7, 7))]:
        for path in photos(folder):
            img = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
            raw_ok, raw = cv2.findChessboardCorners(img, pattern)
            got = found_corners(img, pattern)
            reference += bool(raw_ok)
            if got is None:
                continue
            assert raw_ok, path.name  # nothing OpenCV misses is reported
            found += 1
            # Both refined to convergence with the same 5 x 5 window, OpenCV's
            # corners put into the image-based order.
            ref = grid_order(opencv_corners(cv2, img, pattern, converge), pattern)
            mine = opencv_corners_from(cv2, img, got, converge)
            diff = np.linalg.norm(mine - ref, axis=1)
            for i in np.flatnonzero(diff > 0.05):
                # OpenCV sometimes leaves a corner a few pixels off: its 5 x 5
                # refinement either gives up (it hands back its start when a
                # step would leave the window) or settles short of the corner.
                # A wide window started at OpenCV's corner reaches the one we
                # report.
                start = grid_order(raw.reshape(-1, 2), pattern)[i]
                wide = opencv_corners_from(cv2, img, [start, mine[i]], converge, half_window=7)
                assert np.linalg.norm(wide[0] - wide[1]) < 0.05, (path.name, i)
    # Small squares (most of the 9x6 set) and printed squares that overlap at
    # a corner (some of the 7x7 set) included.
    assert found == reference == 35


def opencv_corners_from(cv2, image, points, refine, half_window=2):
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, refine[0], refine[1])
    pts = np.asarray(points, np.float32).reshape(-1, 1, 2)
    win = (half_window, half_window)
    return cv2.cornerSubPix(image, pts, win, (-1, -1), criteria).reshape(-1, 2).astype(float)
