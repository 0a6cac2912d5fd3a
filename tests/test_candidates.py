"""ArUco candidate source: gray conversion, adaptive threshold, border
following and its filters, polygon helpers, perspective transform and the
contour corner refit, each checked through the private test hooks."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

from conftest import data_path

th = pytest.importorskip("_markvane_testhooks")
cv2 = pytest.importorskip("cv2")


# --------------------------------------------------------------------------
# references


def threshold_reference(gray: np.ndarray, window: int, constant: float) -> np.ndarray:
    """Brute-force local-mean threshold with clipped windows, in int64."""
    win = window & 0xFFFFFFFF
    r = max(win, 3) // 2
    if math.isnan(constant):
        c = 0
    else:
        c = int(max(min(constant, 2**31 - 1), -(2**31)))
    h, w = gray.shape
    ii = np.zeros((h + 1, w + 1), np.int64)
    ii[1:, 1:] = gray.astype(np.int64).cumsum(0).cumsum(1)
    ys, xs = np.arange(h)[:, None], np.arange(w)[None, :]
    y0, y1 = np.maximum(ys - r, 0), np.minimum(ys + r, h - 1)
    x0, x1 = np.maximum(xs - r, 0), np.minimum(xs + r, w - 1)
    s = ii[y1 + 1, x1 + 1] - ii[y0, x1 + 1] - ii[y1 + 1, x0] + ii[y0, x0]
    n = (y1 - y0 + 1) * (x1 - x0 + 1)
    p = gray.astype(np.int64)
    out = np.zeros((h + 2, w + 2), np.uint8)
    out[1:-1, 1:-1] = 2 * s + n >= 2 * n * (p + c)
    return out


def reference_candidates(gray, window, min_side=32):
    """Same filters on OpenCV's contours of our own label image.

    OpenCV's border following visits the same pixels; only the polygon start
    (and so an occasional vertex on a rounded corner) may differ."""
    labels = th.adaptive_threshold(gray, window, 7.0)[1:-1, 1:-1]
    contours, _ = cv2.findContours(labels, cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
    d = max(gray.shape)
    pmin = 4 * min_side if min_side else int(d * 0.03)
    out = []
    for c in contours:
        n = len(c)
        if n < pmin or n > 4 * d:
            continue
        poly = cv2.approxPolyDP(c.astype(np.float32), n * 0.03, True).reshape(-1, 2)
        if len(poly) != 4 or not cv2.isContourConvex(poly):
            continue
        sides = [float(((poly[i] - poly[(i + 1) % 4]) ** 2).sum()) for i in range(4)]
        if min(sides + [d * d]) < (n * 0.05) ** 2:
            continue
        out.append(poly)
    return out


def unmatched(quads, refs, tol):
    """Number of quads with no reference quad having the same corners (any
    cyclic shift) within `tol` pixels; each reference is used once."""
    refs = [np.asarray(r, np.float64) for r in refs]
    used = [False] * len(refs)
    missing = 0
    for q in quads:
        q = np.asarray(q, np.float64)
        for j, r in enumerate(refs):
            if not used[j] and any(
                np.abs(np.roll(r, s, 0) - q).max() <= tol for s in range(4)
            ):
                used[j] = True
                break
        else:
            missing += 1
    return missing


def square_image(size, squares, value=0, background=255):
    img = np.full(size, background, np.uint8)
    for x, y, side in squares:
        img[y : y + side, x : x + side] = value
    return img


def render_rotated_square(shape, centre, side, angle_deg, blur_sigma, scale=8):
    """Dark rotated square on white, area-supersampled, then blurred.

    Returns the image and the true corners in pixel-centre coordinates."""
    h, w = shape
    a = math.radians(angle_deg)
    half = side / 2
    local = [(-half, -half), (half, -half), (half, half), (-half, half)]
    corners = np.array(
        [
            (centre[0] + x * math.cos(a) - y * math.sin(a), centre[1] + x * math.sin(a) + y * math.cos(a))
            for x, y in local
        ]
    )
    big = np.full((h * scale, w * scale), 255, np.uint8)
    # pixel-centre coordinate u maps to (u + 0.5) * scale - 0.5 at high resolution
    hi = ((corners + 0.5) * scale - 0.5) * 16
    cv2.fillConvexPoly(big, np.round(hi).astype(np.int32), 0, cv2.LINE_8, shift=4)
    img = cv2.resize(big, (w, h), interpolation=cv2.INTER_AREA)
    img = cv2.GaussianBlur(img, (0, 0), blur_sigma)
    return img, corners


# --------------------------------------------------------------------------
# gray conversion


@pytest.mark.parametrize(
    "bgr, expected",
    [((255, 255, 255), 255), ((0, 0, 255), 76), ((0, 255, 0), 150), ((255, 0, 0), 29), ((0, 0, 0), 0)],
)
def test_gray_of_pure_colours(bgr, expected):
    img = np.array(bgr, np.uint8).reshape(1, 1, 3)
    assert th.to_gray(img)[0, 0] == expected


def single_precision_gray(img):
    b, g, r = (img[..., i].astype(np.float32) for i in range(3))
    f32 = np.float32
    expected = (((b * f32(0.114) + g * f32(0.587)) + r * f32(0.299)) + f32(0.5)).astype(np.int32)
    return np.minimum(expected, 255).astype(np.uint8)


def test_gray_matches_single_precision_formula_and_opencv(rng):
    img = rng.integers(0, 256, (61, 173, 3), dtype=np.uint8)
    ours = th.to_gray(img)
    np.testing.assert_array_equal(ours, single_precision_gray(img))
    # OpenCV rounds through its own fixed-point weights: never more than one level apart.
    diff = ours.astype(int) - cv2.cvtColor(img, cv2.COLOR_BGR2GRAY).astype(int)
    assert np.abs(diff).max() <= 1


def test_gray_of_every_colour_and_every_row_length(rng):
    # All 2**24 colours in one frame, then rows of every length around the
    # eight-pixel blocks of the vector loop, so its tail is exercised too.
    levels = np.arange(256, dtype=np.uint8)
    every = np.stack(np.meshgrid(levels, levels, levels, indexing="ij"), -1).reshape(4096, 4096, 3)
    np.testing.assert_array_equal(th.to_gray(every), single_precision_gray(every))
    for width in range(1, 35):
        img = rng.integers(0, 256, (2, width, 3), dtype=np.uint8)
        np.testing.assert_array_equal(th.to_gray(img), single_precision_gray(img))
    # Large frames are converted in pieces on the pool; an odd pixel count
    # puts the piece boundaries inside the vector loop's blocks.
    img = rng.integers(0, 256, (517, 1023, 3), dtype=np.uint8)
    np.testing.assert_array_equal(th.to_gray(img), single_precision_gray(img))


def test_frame_copy_at_every_alignment(rng):
    # Long copies stream whole 64-byte lines from the first line boundary on;
    # the bytes before it and after the last whole line are copied apart.
    for n in (0, 1, 4095, 4096, 4097, 4159, 65537):
        data = rng.integers(0, 256, n, dtype=np.uint8).tobytes()
        for offset in (0, 1, 15, 16, 17, 63):
            assert th.stream_copy(data, offset) == data, (n, offset)


def test_gray_of_equal_channels_is_the_channel():
    v = np.arange(256, dtype=np.uint8).reshape(16, 16)
    np.testing.assert_array_equal(th.to_gray(np.dstack([v, v, v])), v)


# --------------------------------------------------------------------------
# adaptive threshold


@pytest.mark.parametrize("shape", [(17, 23), (1, 9), (9, 1), (40, 7)])
@pytest.mark.parametrize("window", [0, 3, 4, 5, 7, 13, 24, 200, -1, -2**31])
@pytest.mark.parametrize("constant", [7.0, -7.5, 0.0, 300.0, -300.0, float("nan")])
def test_threshold_matches_brute_force(rng, shape, window, constant):
    gray = rng.integers(0, 256, shape, dtype=np.uint8)
    expected = threshold_reference(gray, window, constant)
    np.testing.assert_array_equal(th.adaptive_threshold(gray, window, constant), expected)
    np.testing.assert_array_equal(th.adaptive_threshold(gray, window, constant, baseline=True), expected)


@pytest.mark.parametrize("window", [3, 5, 7, 9, 13, 15, 17, 23, 31, 63])
def test_threshold_kernels_agree_on_smooth_frames(rng, window):
    # Every window radius has its own kernel; a ramp with mild noise keeps many
    # pixels at the decision boundary; it rises to the right or to the left, so
    # a window wrongly widened at either edge changes the labels. The widths
    # give full vector blocks, and the narrowest ones that the vector path
    # takes (2 r + 32 columns), where the blocks of clipped columns at both
    # edges come closest.
    # The AVX-512 bit-plane kernels take the interior 64 columns at a time,
    # from 2 r + 64 columns on.
    r = window // 2
    widths = (301, 2 * r + 32, 2 * r + 37, 2 * r + 63, 2 * r + 64, 2 * r + 65)
    for width, flip in itertools.product(widths, (False, True)):
        y, x = np.mgrid[0:70, 0:width]
        gray = np.clip(90 + x // 2 + y + rng.integers(-4, 5, x.shape), 0, 255).astype(np.uint8)
        if flip:
            gray = np.ascontiguousarray(gray[:, ::-1])
        expected = threshold_reference(gray, window, 3.0)
        np.testing.assert_array_equal(th.adaptive_threshold(gray, window, 3.0), expected)
        np.testing.assert_array_equal(th.adaptive_threshold(gray, window, 3.0, baseline=True), expected)
        for simd in ("avx2", "avx512"):
            packed = th.adaptive_threshold_bits(gray, window, 3.0, simd=simd)
            bits = np.unpackbits(packed, axis=1, bitorder="little")
            np.testing.assert_array_equal(bits[:, : width + 2], expected, err_msg=f"{simd}, width {width}")


def test_threshold_huge_window_on_large_image(rng):
    # Window sums of the whole image exceed 32-bit products of 2 n (p + C).
    gray = rng.integers(0, 256, (1500, 1480), dtype=np.uint8)
    np.testing.assert_array_equal(th.adaptive_threshold(gray, -1, 3.0), threshold_reference(gray, -1, 3.0))


def test_threshold_whole_image_sum_beyond_32_bits():
    # 4200 x 4100 bright pixels sum past 2^32; with a whole-image window every
    # pixel compares against the same global mean.
    gray = np.full((4100, 4200), 255, np.uint8)
    gray[::7, ::5] = 250
    s, n = int(gray.sum(dtype=np.int64)), gray.size
    assert s >= 2**32
    labels = th.adaptive_threshold(gray, -1, 3.0)[1:-1, 1:-1]
    for p in (250, 255):
        expected = 2 * s + n >= 2 * n * (p + 3)
        assert (labels[gray == p] == expected).all()


@pytest.mark.parametrize("width", [1, 61, 62, 63, 64, 65, 126, 127, 190, 300])
def test_threshold_bit_plane_matches_labels(rng, width):
    # The contour scan reads the threshold as packed bits; word boundaries
    # fall at padded columns 64, 128, ... Wide rows are assembled 64 labels
    # at a time from any starting bit (window 127 starts on a word boundary).
    gray = rng.integers(0, 256, (9, width), dtype=np.uint8)
    for window, simd in itertools.product((3, 13, 23, 45, 127), ("baseline", "avx2", "avx512")):
        labels = th.adaptive_threshold(gray, window, 2.0)
        packed = th.adaptive_threshold_bits(gray, window, 2.0, simd=simd)
        bits = np.unpackbits(packed, axis=1, bitorder="little")
        np.testing.assert_array_equal(bits[:, : width + 2], labels, err_msg=f"window {window}, {simd}")
        assert not bits[:, width + 2 :].any()


@pytest.mark.parametrize("window", [9, 11, 15, 17, 23, 31])
def test_threshold_kernels_agree_at_extreme_constants(rng, window):
    # The wide kernels compare against n p + K with K = n C - n / 2, which
    # changes sign with C and saturates at either end; the 32-bit kind
    # (windows 17 to 31) adds the offset to the window sum instead. Every
    # kernel must label noise like the reference for any constant, including
    # the ones clamped to +-256.
    r = window // 2
    for width in (2 * r + 64, 2 * r + 95, 260):
        gray = rng.integers(0, 256, (23, width), dtype=np.uint8)
        gray[5:9] = 0
        gray[12:15] = 255
        for constant in (-1000.0, -255.0, -7.0, 0.0, 0.5, 7.0, 128.0, 300.0):
            expected = threshold_reference(gray, window, constant)
            for simd in ("baseline", "avx2", "avx512"):
                packed = th.adaptive_threshold_bits(gray, window, constant, simd=simd)
                bits = np.unpackbits(packed, axis=1, bitorder="little")[:, : width + 2]
                np.testing.assert_array_equal(bits, expected, err_msg=f"{simd}, C {constant}, width {width}")


def _has_avx512() -> bool:
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split() for line in f if line.startswith("flags")), [])
    except OSError:
        return False
    return all(k in flags for k in ("avx512f", "avx512bw", "avx512vl", "avx512dq", "bmi2"))


def test_two_windows_in_one_pass_label_like_two_passes(rng):
    # Two windows of a frame may share one pass (one prefix per image row for
    # both). Its labels must be those of two single passes for any pair of
    # radii (16- and 32-bit sums, either order), at the narrowest width it
    # takes (2 r + 64) and at others, with the rows cut into bands that start
    # anywhere (a band sums window rows it does not label), on ramps that keep
    # many pixels at the decision boundary and on noise, for any constant.
    # Pairs it cannot take (equal radii, radii of 3 or less or above 15, narrow
    # frames) make two passes. The shared pass can also copy a frame in while
    # it reads it, each band its own rows: the same labels, and every row in.
    ran_shared = 0
    pairs = [(23, 13), (13, 23), (9, 31), (31, 9), (8, 11), (30, 31), (3, 13), (13, 13), (33, 13)]
    for k, (window_a, window_b) in enumerate(pairs):
        r = max(window_a, window_b) // 2
        for width in (2 * r + 63, 2 * r + 64, 2 * r + 65, 197, 256):
            height = int(rng.integers(1, 60))
            y, x = np.mgrid[0:height, 0:width]
            if k % 2:
                gray = rng.integers(0, 256, (height, width), dtype=np.uint8)
            else:
                ramp = 90 + (x if width % 2 else width - x) // 2 + y + rng.integers(-4, 5, x.shape)
                gray = np.clip(ramp, 0, 255).astype(np.uint8)
            cuts = sorted({0, height, *rng.integers(0, height + 1, 2).tolist()})
            for constant in (7.0, -3.5, 0.0, 300.0, -300.0, float("nan")):
                shared, a, b, copied = th.adaptive_threshold_bits_pair(gray, window_a, window_b, constant, cuts)
                ran_shared += shared
                label = f"windows {window_a} {window_b}, width {width}, C {constant}, cuts {cuts}"
                np.testing.assert_array_equal(a, th.adaptive_threshold_bits(gray, window_a, constant), err_msg=label)
                np.testing.assert_array_equal(b, th.adaptive_threshold_bits(gray, window_b, constant), err_msg=label)
                assert (copied is not None) == shared
                if copied is not None:
                    np.testing.assert_array_equal(copied[0], a, err_msg=label)
                    np.testing.assert_array_equal(copied[1], b, err_msg=label)
                    np.testing.assert_array_equal(copied[2], gray, err_msg=label)
    assert ran_shared > 0 or not _has_avx512()


@pytest.mark.parametrize(
    "window_a, window_b, const_a, const_b",
    [(0, 3, 7, 7), (1, 3, 7, 7), (2, 3, 7, 7), (4, 5, 7, 7), (12, 13, 7, 7), (13, 13, 7.5, 7), (13, 13, -7.5, -7)],
)
def test_threshold_equivalent_settings(rng, window_a, window_b, const_a, const_b):
    gray = rng.integers(0, 256, (30, 41), dtype=np.uint8)
    np.testing.assert_array_equal(
        th.adaptive_threshold(gray, window_a, const_a), th.adaptive_threshold(gray, window_b, const_b)
    )


@pytest.mark.parametrize("constant, expected", [(1.0, 0), (7.0, 0), (0.0, 1), (-3.0, 1)])
def test_threshold_uniform_image(constant, expected):
    labels = th.adaptive_threshold(np.full((12, 15), 128, np.uint8), 5, constant)
    assert labels.shape == (14, 17)
    assert (labels[1:-1, 1:-1] == expected).all()
    assert not labels[[0, -1], :].any() and not labels[:, [0, -1]].any()


# --------------------------------------------------------------------------
# border following and filters


@pytest.mark.parametrize(
    "side, kwargs, found",
    [
        (40, {}, True),  # outer border 156 points >= 128
        (30, {}, False),  # 116 points < 128
        (40, {"min_side_length_canonical_img": 39}, True),  # Pmin = 156
        (40, {"min_side_length_canonical_img": 40}, False),  # Pmin = 160
        (40, {"max_marker_perimeter_rate": 156.5 / 640}, True),  # Pmax = 156
        (40, {"max_marker_perimeter_rate": 155.5 / 640}, False),  # Pmax = 155
        (30, {"min_side_length_canonical_img": 0}, True),  # Pmin = trunc(640 * 0.03) = 19
        (6, {"min_side_length_canonical_img": 0}, True),  # 20 points
        (5, {"min_side_length_canonical_img": 0}, False),  # 16 points
        (40, {"min_side_length_canonical_img": -1}, False),  # unsigned minimum
    ],
)
def test_perimeter_limits(side, kwargs, found):
    x, y = 200, 100
    img = square_image((480, 640), [(x, y, side)])
    cands = th.find_candidates(img, 3, **kwargs)
    expected = [[x, y], [x, y + side - 1], [x + side - 1, y + side - 1], [x + side - 1, y]]
    assert (unmatched([expected], cands, 0.0) == 0) == found


def test_empty_and_blank_images():
    assert th.find_candidates(np.zeros((0, 10), np.uint8)) == []
    assert th.find_candidates(np.zeros((10, 0), np.uint8)) == []
    assert th.find_candidates(np.full((100, 100), 200, np.uint8)) == []


def test_window_settings_below_three_are_window_three(rng):
    img = square_image((240, 320), [(40, 40, 50), (150, 60, 70)])
    img = np.clip(img.astype(int) + rng.integers(-20, 21, img.shape), 0, 255).astype(np.uint8)
    expected = th.find_candidates(img, 3)
    assert expected
    for window in (0, 1, 2):
        assert th.find_candidates(img, window) == expected


@pytest.mark.parametrize("x", [0, 1, 2])
def test_outline_at_left_edge_is_found(x):
    # A dark outline touching the left edge: no outer border may start in
    # column 0, yet the border is still traced from a later start.
    img = np.full((200, 200), 255, np.uint8)
    img[50:110, x : x + 60] = 0
    img[52:108, x + 2 : x + 58] = 255
    cands = th.find_candidates(img, 13)
    outer = [[x, 50], [x, 109], [x + 59, 109], [x + 59, 50]]
    assert unmatched([outer], cands, 0.0) == 0
    assert unmatched(cands, reference_candidates(img, 13), 0.0) == 0


def border_frames(rng):
    """Gray frames whose thresholds hold every kind of border: speckle and
    blobs (many short borders, pixels on two borders), one-pixel lines and a
    one-pixel spiral (borders that pass the same pixels twice, some
    thousands of points long) and rotated squares (long straight borders).
    The first and last columns stay white, where the start rules for column
    0 and the last column differ from OpenCV's."""
    frames = [rng.integers(0, 256, (90, 130), dtype=np.uint8)]
    coarse = np.kron(rng.integers(0, 256, (40, 60)), np.ones((3, 3), int)) + rng.integers(-20, 21, (120, 180))
    frames.append(coarse.clip(0, 255).astype(np.uint8))
    blobs = np.full((120, 160), 220, np.uint8)
    for _ in range(60):
        y, x = rng.integers(0, 120), rng.integers(0, 160)
        blobs[y : y + rng.integers(1, 9), x : x + rng.integers(1, 9)] = rng.integers(0, 120)
    frames.append(blobs)
    lines = np.full((150, 200), 230, np.uint8)
    for k in range(12):
        x0, y0, x1, y1 = rng.integers(0, 200), rng.integers(0, 150), rng.integers(0, 200), rng.integers(0, 150)
        t = np.linspace(0.0, 1.0, 400)
        lines[np.round(y0 + (y1 - y0) * t).astype(int), np.round(x0 + (x1 - x0) * t).astype(int)] = 20
    frames.append(lines)
    spiral = np.full((160, 160), 230, np.uint8)
    t = np.linspace(0.0, 30.0, 20000)
    spiral[np.round(80 + 2.5 * t * np.sin(t)).astype(int), np.round(80 + 2.5 * t * np.cos(t)).astype(int)] = 20
    frames.append(spiral)
    squares = np.full((240, 320), 230, np.uint8)
    for cx, cy, side, angle in [(70, 70, 60, 0), (200, 80, 90, 17), (110, 180, 70, 44), (250, 180, 80, 71)]:
        squares = np.minimum(squares, render_rotated_square((240, 320), (cx, cy), side, angle, 0.8)[0])
    frames.append(np.clip(squares.astype(int) + rng.integers(-6, 7, squares.shape), 0, 255).astype(np.uint8))
    # Rows of more than 64 words: the start scan keeps one bit per word.
    frames.append(np.kron(rng.integers(0, 256, (12, 1500)), np.ones((3, 3), int)).astype(np.uint8))
    for f in frames:
        f[:, 0] = f[:, -1] = 255
    return frames


@pytest.mark.parametrize("window", [3, 13, 23])
def test_border_following_matches_opencv(rng, window):
    # Every border with every point in order, against OpenCV's border
    # following of the same threshold; OpenCV also lists isolated pixels,
    # which start no border here (no filter keeps a one-point contour).
    lengths = []
    for gray in border_frames(rng):
        ours = th.trace_borders(gray, window)
        labels = th.adaptive_threshold(gray, window, 7.0)[1:-1, 1:-1]
        theirs, _ = cv2.findContours(labels, cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
        ours = sorted(tuple(map(tuple, points.tolist())) for _, points in ours)
        theirs = sorted(tuple(map(tuple, c.reshape(-1, 2).tolist())) for c in theirs if len(c) > 1)
        assert ours == theirs
        lengths += [len(b) for b in ours]
    # Short and long borders, and borders of every length around the point
    # where a walk is joined by a second one from the other end.
    assert max(lengths) > 2000
    assert set(range(8, 25)) <= set(lengths)



def planted_specks(width):
    """Dark pixels on white that threshold (window 3) to themselves: rows of
    specks (pairs in all four orientations, an L, a line of three, a 2 x 2
    and a 3 x 3 ring), four columns apart with every alignment to the
    64-pixel words of the bit rows, from the first column to the last and in
    the first and last rows, and specks just too large for a 3 x 3 box or a
    4 x 4 one."""
    gray = np.full((44, width), 255, np.uint8)
    shapes = [[(0, 0), (1, 0)], [(0, 0), (0, 1)], [(0, 0), (1, 1)], [(1, 0), (0, 1)],
              [(0, 0), (1, 0), (1, 1)], [(0, 0), (0, 1), (0, 2)], [(0, 0), (1, 0), (0, 1), (1, 1)],
              [(x, y) for x in range(3) for y in range(3) if (x, y) != (1, 1)]]
    for shift, y in enumerate((0, 12, 24, 41)):
        for k, x in enumerate(range(shift, width - 3, 4)):
            for dx, dy in shapes[(k + shift) % len(shapes)]:
                if y + dy < 44:
                    gray[y + dy, x + dx] = 0
    gray[6, 30:34] = 0      # a line of four
    gray[6:8, 40] = 0       # an L spanning 4 x 2 with its foot
    gray[8, 41:44] = 0
    gray[6, 48:53] = 0      # a line of five
    gray[4:9, 57] = 0       # and a column
    gray[4, 61:65] = 0      # a 4 x 4 ring with a tail
    gray[7, 61:65] = 0
    gray[5:7, 61] = gray[5:7, 64] = 0
    gray[8, 65] = 0
    return gray


def test_small_components_have_short_borders():
    # Every border of every pattern inside a 3 x 3 box has at most ten
    # points: the candidate search leaves such components out when its
    # length limit is larger.
    longest = 0
    for m in range(1, 512):
        lab = np.zeros((9, 9), np.uint8)
        for i in range(9):
            lab[3 + i // 3, 3 + i % 3] = (m >> i) & 1
        longest = max([longest] + [len(p) for _, p in follow_borders_model(lab)])
    assert longest == 10


def test_boxed_components_and_holes_have_short_borders():
    # Every border of every pattern inside a 4 x 4 box has at most 17
    # points: the candidate search leaves out components in a closed box
    # that size when its length limit is larger. All 65536 patterns, each
    # framed by background, in one label image.
    bits = (np.arange(1 << 16)[:, None] >> np.arange(16)) & 1
    tiles = np.zeros((256, 256, 6, 6), np.uint8)
    tiles[:, :, 1:5, 1:5] = bits.reshape(256, 256, 4, 4)
    labels = np.ascontiguousarray(tiles.transpose(0, 2, 1, 3).reshape(256 * 6, 256 * 6))
    contours, _ = cv2.findContours(labels, cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
    assert max(len(c) for c in contours) == 17
    # Likewise a hole border around background that lies inside a 3 x 3
    # box has at most 14 points, whatever foreground the box holds.
    bits = (np.arange(1 << 9)[:, None] >> np.arange(9)) & 1
    tiles = np.ones((16, 32, 7, 7), np.uint8)
    tiles[:, :, 2:5, 2:5] = 1 - bits.reshape(16, 32, 3, 3)
    labels = np.pad(tiles.transpose(0, 2, 1, 3).reshape(16 * 7, 32 * 7), 1)
    contours, hierarchy = cv2.findContours(labels, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    assert max(len(c) for c, h in zip(contours, hierarchy[0]) if h[3] >= 0) == 14


def is_pinhole_border(points):
    """The hole border around a single background pixel: its west, north,
    east and south neighbours, in that order."""
    (x, y) = points[0]
    return points == [[x, y], [x + 1, y - 1], [x + 2, y], [x + 1, y + 1]]


@pytest.mark.parametrize("window", [3, 13, 23])
def test_candidate_search_follows_every_border_but_small_specks(rng, window):
    # The candidate search may skip components that fit in a 3 x 3 box (it
    # does so on rows with many starts) or in a 4 x 4 box that no outside
    # foreground touches, and the hole borders around background inside a
    # 3 x 3 box that no outside background touches (the four-point holes
    # around single background pixels among them). Every border it follows
    # must come out exactly as the full border following gives it, in the
    # same order, and every border it skips must be one of those.
    frames = [planted_specks(w) for w in (70, 300, 333)]
    for density in (0.02, 0.08, 0.2, 0.45):
        frames.append(np.where(rng.random((60, 333)) < density, 0, 255).astype(np.uint8))
    # Dark texture with light grain, pinholes up to the right edge.
    smooth = np.repeat(np.repeat(rng.integers(0, 120, (12, 67)), 5, axis=0), 5, axis=1)[:, :333]
    frames.append(np.clip(smooth + 40 * (rng.random(smooth.shape) < 0.1), 0, 255).astype(np.uint8))
    frames += border_frames(rng)
    skipped = pinholes = boxed = boxed_holes = 0
    for gray in frames:
        full = [(h, p.tolist()) for h, p in th.trace_borders(gray, window)]
        ours = [(h, p.tolist()) for h, p in th.trace_borders(gray, window, skip_short=True)]
        rest = iter(ours)
        mine = next(rest, None)
        boxes = []  # of the skipped components, from their outer borders
        for hole, points in full:
            if (hole, points) == mine:
                mine = next(rest, None)
                continue
            skipped += 1
            if hole and is_pinhole_border(points):
                pinholes += 1
                continue
            lo, hi = np.min(points, axis=0), np.max(points, axis=0)
            if hole and len(points) <= 14 and (hi - lo <= 4).all():
                boxed_holes += 1  # perhaps around background inside a 3 x 3 box
                continue
            assert (hi - lo <= 3).all(), points
            boxed += (hi - lo == 3).any()
            if hole and lo[0] > 0:  # inside a skipped component, whose outer border came first
                assert any((lo >= b[0]).all() and (hi <= b[1]).all() for b in boxes), points
            else:  # column 0 starts no outer border: a component there starts with a hole one
                boxes.append((lo, hi))
            assert len(points) <= 17
        assert mine is None
    assert skipped > 1000 and pinholes > 100 and boxed > 100 and boxed_holes > 100

NEIGHBOURS = [(-1, 0), (-1, -1), (0, -1), (1, -1), (1, 0), (1, 1), (0, 1), (-1, 1)]


def follow_borders_model(labels):
    """Border following on a padded 0/1 label image, one step at a time as
    the candidate search defines it, safety bound included (a border stops
    after W * H + 2 points). Borders of one point (isolated pixels) are left
    out, as the module does not start them."""
    lab = labels.astype(np.int32)
    h, w = lab.shape[0] - 2, lab.shape[1] - 2

    def trace(px, py, start):
        for k in range(8):
            d = (start + k) % 8
            if lab[py + NEIGHBOURS[d][1], px + NEIGHBOURS[d][0]]:
                break
        else:
            lab[py, px] = 254
            return []
        last = (px + NEIGHBOURS[d][0], py + NEIGHBOURS[d][1])
        q, origin, points = (px, py), d, []
        while True:
            points.append((q[0] - 1, q[1] - 1))
            east = False
            for k in range(1, 9):
                e = (origin - k) % 8
                n = (q[0] + NEIGHBOURS[e][0], q[1] + NEIGHBOURS[e][1])
                if lab[n[1], n[0]]:
                    break
                east |= e == 4
            if q[0] == w or east:
                lab[q[1], q[0]] = 254
            elif lab[q[1], q[0]] == 1:
                lab[q[1], q[0]] = 2
            if (q == last and n == (px, py)) or len(points) >= w * h + 2:
                return points
            q, origin = n, (e + 4) % 8

    borders = []
    for y in range(1, h + 1):
        for x in range(1, w + 1):
            v = lab[y, x]
            if v == 1 and x > 1 and lab[y, x - 1] == 0:
                borders.append((False, trace(x, y, 0)))
            elif v in (1, 2) and x < w and lab[y, x + 1] == 0:
                borders.append((True, trace(x, y, 4)))
    return [(hole, points) for hole, points in borders if points]


def comb(shape, teeth_every, margin):
    """Dark one-pixel teeth hanging from a dark top row: a single border that
    passes every tooth twice, longer than the image has pixels when the teeth
    stand every other column."""
    gray = np.full(shape, 255, np.uint8)
    gray[margin, margin : shape[1] - margin] = 0
    gray[margin:, margin : shape[1] - margin : teeth_every] = 0
    return gray


@pytest.mark.parametrize("shape", [(12, 31), (13, 41), (20, 33)])
def test_border_following_stops_at_the_safety_bound(shape):
    # The comb's border is longer than W * H + 2 points, so it is cut there,
    # and the pixels it did not reach start further borders, cut in turn.
    gray = comb(shape, 2, 0)
    expected = follow_borders_model(th.adaptive_threshold(gray, 3, 7.0))
    assert max(len(points) for _, points in expected) == shape[0] * shape[1] + 2
    ours = [(hole, [tuple(p) for p in points.tolist()]) for hole, points in th.trace_borders(gray, 3)]
    assert ours == expected


def test_border_following_of_a_very_long_border():
    # 160 thousand points, walked from both ends.
    gray = comb((400, 600), 3, 1)
    ours = th.trace_borders(gray, 3)
    labels = th.adaptive_threshold(gray, 3, 7.0)[1:-1, 1:-1]
    theirs, _ = cv2.findContours(labels, cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
    ours = sorted(tuple(map(tuple, points.tolist())) for _, points in ours)
    theirs = sorted(tuple(map(tuple, c.reshape(-1, 2).tolist())) for c in theirs if len(c) > 1)
    assert max(map(len, ours)) > 150000
    assert ours == theirs


@pytest.mark.parametrize("window", [3, 13, 23])
def test_synthetic_squares_match_reference_contours(rng, window):
    img = np.full((480, 640), 230, np.uint8)
    for i, (cx, cy, side, angle) in enumerate(
        [(100, 100, 60, 0), (300, 120, 90, 17), (500, 110, 70, 44), (150, 330, 120, 71), (420, 340, 150, 8)]
    ):
        sq, _ = render_rotated_square((480, 640), (cx, cy), side, angle, 0.8)
        img = np.minimum(img, sq)
    img = np.clip(img.astype(int) + rng.integers(-6, 7, img.shape), 0, 255).astype(np.uint8)
    ours = th.find_candidates(img, window)
    ref = reference_candidates(img, window)
    assert len(ours) == len(ref) >= 5
    assert unmatched(ours, ref, 1.01) == 0


@pytest.mark.parametrize(
    "parts",
    [
        ("aruco-gridboard-6x6", "0.jpg"),
        ("aruco-gridboard-6x6", "17.jpg"),
        ("charuco-5x7-4x4",),
        ("aruco-4x4-sheet", "frame_0002.jpg"),
    ],
)
def test_real_photos_match_reference_contours(parts):
    path = data_path(*parts)
    if path.is_dir():
        path = sorted(path.glob("*.jpg"))[0]
    gray = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
    for window in (3, 13, 23):
        ours = th.find_candidates(gray, window)
        ref = reference_candidates(gray, window)
        assert len(ours) == len(ref)
        # Vertices may sit a pixel or two apart on rounded corners only.
        assert unmatched(ours, ref, 0.0) <= max(1, len(ref) // 2)
        assert unmatched(ours, ref, 3.0) == 0


# --------------------------------------------------------------------------
# polygon helpers


def test_approx_square_keeps_corner_order():
    pts = [[0, 0], [10, 0], [10, 10], [0, 10]]
    assert th.approx_poly_dp_closed(pts, 0.5) == pts


def test_approx_starts_at_lower_index_of_farthest_pair():
    # Outline of a 5 x 3 rectangle walked from the middle of its top side:
    # (4, 2) is the first point farthest from p0, (0, 0) the farthest from it.
    outline = [[2, 0], [3, 0], [4, 0], [4, 1], [4, 2], [3, 2], [2, 2], [1, 2], [0, 2], [0, 1], [0, 0], [1, 0]]
    assert th.approx_poly_dp_closed(outline, 0.1) == [[4, 2], [0, 2], [0, 0], [4, 0]]


@pytest.mark.parametrize("pts", [[], [[1, 2]], [[1, 2], [3, 4]]])
def test_approx_tiny_inputs_are_copied(pts):
    assert th.approx_poly_dp_closed(pts, 1.0) == pts


@pytest.mark.parametrize("eps", [-1.0, 0.0])
def test_dp_terminates_for_non_positive_epsilon(eps):
    line = [[float(i), 0.0] for i in range(6)]
    assert th.dp_open(line, eps) == [[0, 0], [5, 0]]
    zigzag = [[float(i), float(i % 2)] for i in range(6)]
    assert th.dp_open(zigzag, eps) == zigzag
    assert th.approx_poly_dp_closed([[0, 0], [4, 0], [4, 4], [0, 4], [0, 2]], eps) == [
        [0, 0], [4, 0], [4, 4], [0, 4]
    ]


def test_dp_open_on_short_chains():
    assert th.dp_open([], 1.0) == []
    assert th.dp_open([[1, 1]], 1.0) == []
    assert th.dp_open([[1, 1], [1, 1], [1, 1]], 1.0) == [[1, 1], [1, 1]]


def dp_model(chain, eps):
    """Douglas-Peucker on an open chain in single precision, recursively:
    split at the first point of largest distance |cross| / length from the
    chord when it exceeds eps. Returns the vertices and the most right parts
    waiting at once while left parts are split further."""
    f = np.float32
    pts = [(f(x), f(y)) for x, y in chain]
    out, deepest = [], [0]

    def piece(s, e, depth):
        deepest[0] = max(deepest[0], depth)
        while True:
            (ax, ay), (bx, by) = pts[s], pts[e]
            dx, dy = bx - ax, by - ay
            length = np.sqrt(dx * dx + dy * dy)
            best, c = f(0), 0
            for i in range(s + 1, e):
                ex, ey = pts[i][0] - ax, pts[i][1] - ay
                d = np.sqrt(ex * ex + ey * ey) if length < f(1e-9) else abs(dy * ex - dx * ey) / length
                if d > best:
                    best, c = d, i
            if not (c != 0 and best > eps):
                out.extend([[float(ax), float(ay)], [float(bx), float(by)]])
                return
            piece(s, c, depth + 1)  # the left part, while the right one waits
            out.pop()
            s = c

    if len(pts) >= 2:
        piece(0, len(pts) - 1, 0)
    return out, deepest[0]


def test_dp_open_matches_model(rng):
    # Random walks, and an outward spiral: the farthest point from a chord
    # lies on the last turn of the piece, so many right parts wait at once.
    chains = [np.cumsum(rng.integers(-3, 4, (n, 2)), axis=0).tolist() for n in (3, 7, 40, 300)]
    t = np.linspace(0.0, 80.0 * np.pi, 1600)
    chains.append(np.round(np.c_[500 + 3 * t * np.cos(t), 500 + 3 * t * np.sin(t)]).tolist())
    deepest = 0
    for chain in chains:
        for eps in (0.5, 2.0, 10.0):
            expected, depth = dp_model(chain, eps)
            deepest = max(deepest, depth)
            assert th.dp_open(chain, eps) == expected
    assert deepest > 100


def test_approx_closed_opens_at_first_of_tied_farthest_points(rng):
    # The closed fit opens at the first point farthest from p0 and the first
    # farthest from that one. Here a dozen points tie at distance 5 from p0
    # (and pairs of them at distance 10), shuffled among nearer ones, so the
    # first of them falls at every position of the vectorised passes.
    f = np.float32
    ring = [[x, y] for x, y in ((3, 4), (4, 3), (5, 0), (4, -3), (3, -4), (0, -5),
                                (-3, -4), (-4, -3), (-5, 0), (-4, 3), (-3, 4), (0, 5))]
    inner = rng.integers(-3, 4, (60, 2)).tolist()

    def first_farthest(pts, o):
        d = [(f(x) - f(o[0])) * (f(x) - f(o[0])) + (f(y) - f(o[1])) * (f(y) - f(o[1])) for x, y in pts]
        return int(np.argmax(d))

    for trial in range(40):
        others = ring + inner[: trial % 37 + 5]
        rng.shuffle(others)
        pts = [[0, 0]] + others
        a = first_farthest(pts, pts[0])
        b = first_farthest(pts, pts[a])
        lo, hi = min(a, b), max(a, b)
        first, _ = dp_model(pts[lo : hi + 1], 2.0)
        second, _ = dp_model(pts[hi:] + pts[: lo + 1], 2.0)
        assert th.approx_poly_dp_closed(pts, 2.0) == first[:-1] + second[:-1]


def test_approx_with_vertex_limit_stops_only_past_it(rng):
    # The search stops a fit as soon as its splits pass the limit. Below or at
    # the limit the polygon must be the full fit's; past it, any polygon
    # longer than the limit. Closed walks, star polygons with jitter, an
    # outline with a repeated point and one of a single point.
    shapes = [np.cumsum(rng.integers(-3, 4, (n, 2)), axis=0).tolist() for n in (5, 12, 60, 400)]
    for k in (3, 4, 5, 6, 9):
        t = np.sort(rng.uniform(0, 2 * np.pi, 200))
        r = 40 + 40 * (np.floor(t / (2 * np.pi / k)) % 2) + rng.normal(0, 0.7, t.size)
        shapes.append(np.round(np.c_[100 + r * np.cos(t), 100 + r * np.sin(t)]).tolist())
    shapes.append([[5, 5]] * 8 + [[9, 5], [9, 9], [5, 9]])
    shapes.append([[5, 5]] * 6)
    for pts in shapes:
        for eps in (0.0, 1.0, 3.0, 8.0):
            full = th.approx_poly_dp_closed(pts, eps)
            for limit in (0, 1, 2, 3, 4, 5):
                cut = th.approx_poly_dp_closed(pts, eps, limit)
                if len(full) <= limit:
                    assert cut == full
                else:
                    assert len(cut) > limit


@pytest.mark.parametrize(
    "quad, convex",
    [
        ([[0, 0], [10, 0], [10, 10], [0, 10]], True),
        ([[0, 0], [0, 10], [10, 10], [10, 0]], True),
        ([[0, 0], [10, 0], [3, 3], [0, 10]], False),  # one reflex vertex
        ([[0, 0], [10, 10], [10, 0], [0, 10]], False),  # self-intersecting
        ([[0, 0], [1, 1], [2, 2], [3, 3]], True),  # all turns zero
        ([[0, 0], [0, 0], [0, 0], [0, 0]], True),
        ([[0, 0], [10, 0], [10, 0], [0, 10]], True),  # repeated vertex
        ([[0, 0], [10, 0], [float("nan"), 5], [0, 10]], True),  # NaN turns ignored
    ],
)
def test_is_convex(quad, convex):
    assert th.is_convex(quad) is convex


# --------------------------------------------------------------------------
# perspective transform


def homography_system(src, dst):
    a, b = np.zeros((8, 8)), np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src.astype(float), dst.astype(float))):
        a[i] = [x, y, 1, 0, 0, 0, -x * u, -y * u]
        a[i + 4] = [0, 0, 0, x, y, 1, -x * v, -y * v]
        b[i], b[i + 4] = u, v
    return a, b


def test_perspective_transform_matches_dense_solvers(rng):
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], float)
    for _ in range(200):
        # Random similarity of a square plus a jitter of each corner: the
        # shapes of candidates and board squares.
        quads = []
        for _side in range(2):
            scale, angle = rng.uniform(5, 300), rng.uniform(0, 2 * np.pi)
            rot = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
            q = square @ rot.T * scale + rng.uniform(-50, 700, 2) + rng.normal(0, 0.15 * scale, (4, 2))
            quads.append(q.astype(np.float32))
        src, dst = quads
        h = np.array(th.perspective_transform(src.tolist(), dst.tolist())).reshape(3, 3)
        expected = np.append(np.linalg.solve(*homography_system(src, dst)), 1.0).reshape(3, 3)
        np.testing.assert_allclose(h, expected, rtol=1e-9, atol=1e-9 * np.abs(expected).max())


def test_perspective_transform_maps_canonical_square():
    src = [[0, 0], [23, 0], [23, 23], [0, 23]]
    dst = [[105.5, 40.25], [150, 52], [140, 99.75], [98, 90]]
    h = np.array(th.perspective_transform(src, dst)).reshape(3, 3)
    assert h[2, 2] == 1.0
    # OpenCV's solve loses a few digits; agree with it loosely.
    ref = cv2.getPerspectiveTransform(np.float32(src), np.float32(dst))
    np.testing.assert_allclose(h, ref, rtol=1e-5, atol=1e-5 * np.abs(ref).max())
    for (x, y), (u, v) in zip(src, dst):
        p = h @ [x, y, 1.0]
        assert p[0] / p[2] == pytest.approx(u, abs=1e-9)
        assert p[1] / p[2] == pytest.approx(v, abs=1e-9)


@pytest.mark.parametrize(
    "src",
    [
        [[0, 0], [0, 0], [1, 1], [0, 1]],  # repeated corner
        [[0, 0], [1, 0], [2, 0], [3, 0]],  # all on one line
        [[0, 0], [0, 0], [0, 0], [0, 0]],
    ],
)
def test_perspective_transform_degenerate(src):
    assert th.perspective_transform(src, [[0, 0], [1, 0], [1, 1], [0, 1]]) is None


# --------------------------------------------------------------------------
# contour corner refit


def side_points(a, b, step=1.0, offset=(0.0, 0.0)):
    a, b = np.asarray(a, float), np.asarray(b, float)
    n = int(np.linalg.norm(b - a) / step)
    return [a + (b - a) * t / n + offset for t in range(n)]


def test_refit_recovers_line_intersections():
    true = [[10.0, 10.0], [50.0, 12.0], [48.0, 52.0], [8.0, 50.0]]
    contour = []
    for i in range(4):
        contour += side_points(true[i], true[(i + 1) % 4], 0.5)
    # Integer contour from lines shifted by whole pixels keeps the geometry exact.
    contour = [[int(round(x)), int(round(y))] for x, y in contour]
    vertices = [[11.0, 11.0], [49.0, 13.0], [47.0, 51.0], [9.0, 49.0]]
    refined = np.array(th.refine_from_contour(vertices, contour))
    assert np.abs(refined - np.array(true)).max() < 0.6
    assert np.abs(refined - np.array(true)).max() < np.abs(np.array(vertices) - true).max()


@pytest.mark.parametrize(
    "contour",
    [
        [[0, 0], [40, 0], [40, 40], [0, 40]],  # only the vertices: no side gets 3 points
        [[x, 0] for x in range(5, 36)] + [[40, y] for y in range(5, 36)] + [[x, 40] for x in range(5, 36)],
        [],
    ],
)
def test_refit_keeps_vertices_when_a_side_lacks_points(contour):
    vertices = [[0.0, 0.0], [40.0, 0.0], [40.0, 40.0], [0.0, 40.0]]
    assert th.refine_from_contour(vertices, contour) == vertices


def test_refit_rejects_corner_moves_beyond_five_pixels():
    true = [[0, 0], [40, 0], [40, 40], [0, 40]]
    contour = []
    for i in range(4):
        contour += side_points(true[i], true[(i + 1) % 4])
    contour = [[int(x), int(y)] for x, y in contour]
    vertices = [[6.0, 0.0], [40.0, 0.0], [40.0, 40.0], [0.0, 40.0]]
    # Corner 0's sides are found and meet at (0, 0), 6 px from the vertex.
    assert th.refine_from_contour(vertices, contour) == vertices


def aligned_to(quad, truth):
    """`quad` cyclically shifted (and reversed if needed) to best match `truth`."""
    q = np.asarray(quad, float)
    options = [np.roll(o, s, 0) for o in (q, q[::-1]) for s in range(4)]
    return min(options, key=lambda o: np.linalg.norm(o - truth, axis=1).mean())


@pytest.mark.parametrize("angle", [9.0, 37.0, 66.0])
@pytest.mark.parametrize("blur", [0.8, 2.5])
def test_contour_method_fits_the_true_sides(angle, blur):
    # The border pixels sit a fraction of a pixel inside the edge, so both
    # corner sets are shrunk slightly; what the refit fixes is the staircase
    # and the blurred corners: side directions and the centre become exact.
    img, truth = render_rotated_square((240, 320), (160.3, 118.7), 90, angle, blur)
    plain = th.find_candidates(img, 13, corner_refinement_method=0)
    refit = th.find_candidates(img, 13, corner_refinement_method=2)
    assert len(plain) == len(refit) >= 1
    plain, refit = aligned_to(plain[0], truth), aligned_to(refit[0], truth)

    def direction_error(q):
        d, t = np.roll(q, -1, 0) - q, np.roll(truth, -1, 0) - truth
        diff = np.degrees(np.arctan2(d[:, 1], d[:, 0]) - np.arctan2(t[:, 1], t[:, 0]))
        return np.abs((diff + 180) % 360 - 180).max()

    def centre_error(q):
        return np.linalg.norm(q.mean(0) - truth.mean(0))

    assert direction_error(refit) < min(0.2, direction_error(plain))
    assert centre_error(refit) < min(0.1, centre_error(plain))
    assert np.linalg.norm(refit - truth, axis=1).max() < 1.5


def otsu_reference(hist):
    """First threshold of the largest between-class variance, in plain floats."""
    hist = [float(v) for v in hist]
    n = total = 0.0
    for t, v in enumerate(hist):
        n += v
        total += t * v
    best, threshold, w0, sum0 = -1.0, 0, 0.0, 0.0
    for t, v in enumerate(hist):
        w0 += v
        if w0 == 0:
            continue
        w1 = n - w0
        if w1 == 0:
            break
        sum0 += t * v
        d = sum0 / w0 - (total - sum0) / w1
        between = w0 * w1 * d * d
        if between > best:
            best, threshold = between, t
    return threshold


def test_otsu_threshold_matches_reference(rng):
    cases = [np.zeros(256, np.uint64)]
    for bins in ([0], [255], [7, 8], [0, 255], [3, 3 + 1, 200]):
        h = np.zeros(256, np.uint64)
        h[bins] = 1 + np.arange(len(bins), dtype=np.uint64)
        cases.append(h)
    cases.append(np.full(256, 5, np.uint64))  # flat: ties decide
    for levels in ([10, 20, 30, 40], [0, 100, 101, 255], [5, 60, 61, 62, 250]):
        h = np.zeros(256, np.uint64)  # few levels far apart: mirror-image splits tie
        h[levels] = 3
        cases.append(h)
    cases.append(np.bincount(rng.integers(0, 256, 576), minlength=256).astype(np.uint64))
    two_modes = np.concatenate([rng.normal(40, 6, 400), rng.normal(190, 9, 300)])
    cases.append(np.bincount(np.clip(two_modes, 0, 255).astype(int), minlength=256).astype(np.uint64))
    for _ in range(40):  # a canonical image's: a few dozen occupied levels with gaps between
        levels = rng.choice(256, size=int(rng.integers(2, 80)), replace=False)
        h = np.zeros(256, np.uint64)
        h[levels] = rng.integers(1, 40, len(levels))
        cases.append(h)
    huge = np.zeros(256, np.uint64)  # counts whose sums leave the exact range of doubles
    huge[[10, 90, 250]] = [2**60, 3 * 2**58, 2**61]
    cases.append(huge)
    for h in cases:
        assert th.otsu_threshold(h.tolist()) == otsu_reference(h), h.nonzero()
