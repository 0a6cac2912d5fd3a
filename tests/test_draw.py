"""Drawing detection results: copies in BGR, pixels where the geometry is,
every corner layout alike, and nothing raised for geometry off the image."""

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")

from markvane_tools import draw  # noqa: E402

GREEN, RED, BLUE = (0, 255, 0), (0, 0, 255), (255, 0, 0)
QUAD = [[10.0, 12.0], [50.0, 12.0], [50.0, 40.0], [10.0, 40.0]]
K = [[400.0, 0.0, 80.0], [0.0, 400.0, 60.0], [0.0, 0.0, 1.0]]


def gray(h=60, w=80, value=128):
    return np.full((h, w), value, np.uint8)


def is_colour(img, x, y, colour):
    return tuple(int(v) for v in img[y, x]) == colour


CALLS = {
    "markers": lambda img: draw.draw_markers(img, [QUAD], [7]),
    "charuco": lambda img: draw.draw_charuco_corners(img, [[20, 20], [40, 30]], [0, 12]),
    "chessboard": lambda img: draw.draw_chessboard_corners(img, (2, 2), [[10, 10], [30, 10], [10, 30], [30, 30]]),
    "axes": lambda img: draw.draw_axes(img, K, None, [0.2, -0.3, 0.1], [0, 0, 1], 0.05),
}


@pytest.mark.parametrize("name", CALLS)
def test_draws_on_a_bgr_copy(name):
    src = gray()
    src[::7] = 40
    before = src.copy()
    out = CALLS[name](src)
    assert out.shape == (60, 80, 3) and out.dtype == np.uint8
    assert np.array_equal(src, before)
    drawn = (out != src[:, :, None]).any(axis=2)
    assert drawn.any() and not drawn.all()
    # Where nothing is drawn the gray value is repeated in all three channels.
    assert (out[~drawn] == src[~drawn][:, None]).all()
    bgr = np.dstack([src, src // 2, src // 3])
    out_bgr = CALLS[name](bgr)
    assert out_bgr.shape == bgr.shape and not np.shares_memory(out_bgr, bgr)
    assert np.array_equal(out_bgr[~drawn], bgr[~drawn])
    assert np.array_equal(CALLS[name](src[:, :, None]), out)


def test_marker_outline_corner_and_id():
    out = draw.draw_markers(gray(), [QUAD], color=GREEN)
    for x in range(14, 47):
        assert is_colour(out, x, 12, GREEN) and is_colour(out, x, 40, GREEN)
    for y in range(16, 37):
        assert is_colour(out, 10, y, GREEN) and is_colour(out, 50, y, GREEN)
    assert is_colour(out, 11, 13, RED) and is_colour(out, 8, 10, RED)  # corner 0
    assert is_colour(out, 50, 40, GREEN)  # the other corners are not highlighted
    assert (out[15:39, 13:49] == 128).all()  # nothing inside without ids
    thick = draw.draw_markers(gray(), [QUAD], thickness=3)
    assert [is_colour(thick, 30, y, GREEN) for y in range(10, 15)] == [False, True, True, True, False]

    labelled = draw.draw_markers(gray(), [QUAD], [45], color=GREEN)
    changed = np.argwhere((labelled != out).any(axis=2))
    assert len(changed)
    # The label is centred on the marker.
    assert np.allclose(changed.mean(axis=0), [26, 30], atol=1.5)
    assert (labelled[changed[:, 0], changed[:, 1]] == GREEN).all(axis=1).any()


def test_every_corner_layout_draws_the_same():
    quads = np.array([QUAD, [[60, 5], [75, 8], [72, 25], [58, 20]]], np.float32)
    ref = draw.draw_markers(gray(), quads, [3, 9])
    for corners, ids in [(quads.reshape(2, 1, 4, 2), np.array([[3], [9]], np.int32)),  # OpenCV's layout
                         ([q.reshape(1, 4, 2) for q in quads], [3, 9]), ([q.tolist() for q in quads], (3, 9))]:
        assert np.array_equal(draw.draw_markers(gray(), corners, ids), ref)
    points = np.array([[20, 20], [40.4, 30.6], [70, 50]], np.float32)
    ref = draw.draw_charuco_corners(gray(), points, [1, 2, 3])
    for corners in (points.reshape(-1, 1, 2), points.tolist(), [p.reshape(1, 2) for p in points]):
        assert np.array_equal(draw.draw_charuco_corners(gray(), corners, np.array([[1], [2], [3]])), ref)


def test_geometry_off_the_image_is_clipped_not_raised():
    # A horizontal edge that starts and ends far outside still covers its row.
    out = draw.draw_markers(gray(), [[[-1e6, 20], [1e6, 20], [1e6, 1e6], [-1e6, 1e6]]], [12])
    assert all(is_colour(out, x, 20, GREEN) for x in range(80))
    assert (out[21:] == 128).all() and (out[:19] == 128).all()
    # A marker straddling the corner of the image keeps its visible edges.
    out = draw.draw_markers(gray(), [[[-20, -20], [10, -20], [10, 10], [-20, 10]]], [5])
    assert all(is_colour(out, 10, y, GREEN) for y in range(0, 9))
    assert all(is_colour(out, x, 10, GREEN) for x in range(0, 9))
    wild = [
        [[-500, -500], [-400, -500], [-400, -400], [-500, -400]],          # wholly outside
        [[np.nan, 5], [30, 5], [30, np.inf], [5, 30]],                      # not finite
        [[-1e308, 0], [1e308, 0], [1e308, 1e308], [0, -1e308]],             # near the float range
        [[1e15, 1e15], [1e15 + 5, 1e15], [1e15 + 5, 1e15 + 5], [1e15, 1e15 + 5]],
    ]
    out = draw.draw_markers(gray(), wild, [1, 2, 3, 4])
    assert out.shape == (60, 80, 3)
    draw.draw_charuco_corners(gray(), [[-3, -3], [1e20, 5], [np.nan, np.nan], [79.6, 59.6]], [1, 2, 3, 4])
    draw.draw_chessboard_corners(gray(), (2, 2), [[-1e9, 0], [0, 1e9], [np.nan, 0], [90, 70]])


def test_chessboard_rows_and_incomplete_boards():
    corners = [[10 + 20 * c, 10 + 20 * r] for r in range(3) for c in range(3)]
    out = draw.draw_chessboard_corners(gray(), (3, 3), corners, found=True)
    first, second = tuple(out[10, 20]), tuple(out[30, 20])  # on the joins of row 0 and row 1
    assert first != second and (128,) * 3 not in (first, second)
    partial = draw.draw_chessboard_corners(gray(), (3, 3), corners[:4], found=False)
    assert is_colour(partial, 10, 10, RED) and is_colour(partial, 13, 13, RED)
    assert tuple(partial[10, 20]) == (128,) * 3  # no joins when not found
    with pytest.raises(ValueError, match="has 9 corners, got 4"):
        draw.draw_chessboard_corners(gray(), (3, 3), corners[:4], found=True)


def test_axes_end_at_the_projected_points():
    rvec, tvec, length = [0.3, -0.4, 0.2], [0.01, -0.02, 0.8], 0.08
    ends = np.array(markvane.project_points(
        [[0, 0, 0], [length, 0, 0], [0, length, 0], [0, 0, length]], rvec, tvec, K), np.float64)
    out = draw.draw_axes(gray(120, 160), K, None, rvec, tvec, length, thickness=1)
    for (x, y), colour in zip(ends[1:], (RED, GREEN, BLUE)):
        assert is_colour(out, int(round(x)), int(round(y)), colour)
        # ... and go no further.
        beyond = ends[0] + 1.15 * ((x, y) - ends[0])
        assert not is_colour(out, int(round(beyond[0])), int(round(beyond[1])), colour)
    # With distortion the ends move with the projection.
    dist = [0.3, -0.1, 0.001, 0.002, 0.05]
    bent = np.array(markvane.project_points([[length, 0, 0]], rvec, tvec, K, dist), np.float64)[0]
    out = draw.draw_axes(gray(120, 160), K, dist, rvec, tvec, length, thickness=1)
    assert is_colour(out, int(round(bent[0])), int(round(bent[1])), RED)
    # An axis reaching behind the camera is left out; the others stay.
    out = draw.draw_axes(gray(120, 160), K, None, [np.pi, 0, 0], [0, 0, 0.05], 0.1)
    assert not (out == BLUE).all(axis=2).any()
    assert (out == RED).all(axis=2).any() and (out == GREEN).all(axis=2).any()


@pytest.mark.parametrize("call, error, message", [
    (lambda: draw.draw_markers(gray().astype(np.float32), [QUAD]), TypeError, "uint8"),
    (lambda: draw.draw_markers(np.zeros((4, 4, 4), np.uint8), [QUAD]), ValueError, "HxW gray or HxWx3"),
    (lambda: draw.draw_markers(gray(), [QUAD], [1, 2]), ValueError, "2 values for 1"),
    (lambda: draw.draw_markers(gray(), [QUAD[:3]]), ValueError, "four"),
    (lambda: draw.draw_markers(gray(), [QUAD], color=(0, 300, 0)), ValueError, "0-255"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()
