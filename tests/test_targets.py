"""Printable targets: the shipped codes, pixel images against OpenCV's
generators, and every kind of target (image and SVG) detected back with the
right ids, orientation and size."""

import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
cv2 = pytest.importorskip("cv2")

from conftest import markvane_markers, opencv_markers  # noqa: E402
from markvane_tools import targets  # noqa: E402

NAMES = markvane.predefined_dictionaries()


def cv_dict(name):
    return cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, name))


def render_svg(svg, dpi):
    resvg_py = pytest.importorskip("resvg_py")
    png = resvg_py.svg_to_bytes(svg_string=svg, dpi=dpi, background="#ffffff")
    return cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_GRAYSCALE)


def test_codes_are_the_extensions_tables_and_draw_as_opencv_draws():
    hooks = pytest.importorskip("_markvane_testhooks")
    for name in NAMES:
        n, _, count = hooks.dictionary_info(name)
        rows = np.frombuffer(hooks.dictionary_bytes(name), np.uint8).reshape(count, 4, -1)
        assert np.array_equal(targets._dictionary(name).codes, rows[:, 0]), name
        ref = cv_dict(name)
        for i in range(count):
            assert np.array_equal(targets.marker_image(name, i, n + 2),
                                  cv2.aruco.generateImageMarker(ref, i, n + 2)), (name, i)
    # Names are looked up as the extension looks them up.
    ref = targets.marker_image("DICT_APRILTAG_36h11", 3, 40)
    for alias in ("dict_apriltag_36H11", "APRILTAG_36h11"):
        assert np.array_equal(targets.marker_image(alias, 3, 40), ref)
        markvane.detect_markers(ref, alias)
    with pytest.raises(ValueError, match="unknown dictionary"):
        targets.marker_image("DICT_APR\u0131LTAG_36h11", 3, 40)  # dotless i upper-cases to I outside ASCII


@pytest.mark.parametrize("side, border_bits", [(60, 1), (37, 1), (101, 1), (80, 2), (45, 3)])
def test_marker_image_is_opencvs_at_any_size(side, border_bits):
    img = targets.marker_image("DICT_6X6_250", 77, side, border_bits=border_bits, quiet_zone_px=5)
    assert img.shape == (side + 10, side + 10) and (img[:5] == 255).all() and (img[:, -5:] == 255).all()
    ref = cv2.aruco.generateImageMarker(cv_dict("DICT_6X6_250"), 77, side, borderBits=border_bits)
    assert np.array_equal(img[5:-5, 5:-5], ref)


def test_grid_board_image_is_opencvs():
    ids = [5, 9, 2, 44, 0, 31]
    img = targets.grid_board_image("DICT_4X4_50", 3, 2, 54, 13, ids=ids, quiet_zone_px=7)
    board = cv2.aruco.GridBoard((3, 2), 0.054, 0.013, cv_dict("DICT_4X4_50"), np.array(ids))
    assert np.array_equal(img, board.generateImage((3 * 54 + 2 * 13 + 14, 2 * 54 + 13 + 14), marginSize=7))
    # The default quiet zone is the separation, and at least one cell.
    assert targets.grid_board_image("DICT_4X4_50", 1, 1, 60, 0).shape == (80, 80)
    assert targets.grid_board_image("DICT_4X4_50", 1, 1, 60, 15).shape == (90, 90)


@pytest.mark.parametrize("name", NAMES)
def test_every_dictionary_round_trips_through_both_detectors(name):
    d = targets._dictionary(name)
    ids = sorted(np.random.default_rng(sum(map(ord, name))).choice(len(d.codes), 20, replace=False).tolist())
    marker, sep = 6 * (d.marker_size + 2), 3 * (d.marker_size + 2)
    img = targets.grid_board_image(name, 5, 4, marker, sep, ids=ids)
    # Top-left outer corner of each marker, pixel centres at integers.
    expected = {i: (sep + (k % 5) * (marker + sep) - 0.5, sep + (k // 5) * (marker + sep) - 0.5)
                for k, i in enumerate(ids)}
    for detect, kwargs in ((markvane_markers, {"min_side_length_canonical_img": 0}), (opencv_markers, {})):
        corners, found = detect(img, name, **kwargs)
        assert sorted(found) == ids, detect.__name__
        for quad, i in zip(corners, found):
            # A marker drawn turned would still decode to its id, but its
            # corner 0 would not be the top-left one.
            assert np.allclose(quad[0], expected[i], atol=1.0), (detect.__name__, i, quad)
            assert np.allclose(quad[2] - quad[0], marker, atol=1.5)


LAYOUTS = [  # squares_x, squares_y, square_px, marker/square, dictionary, legacy, ids
    (5, 7, 60, 0.7, "DICT_4X4_50", True, None),  # legacy changes nothing with odd rows
    (6, 6, 64, 0.75, "DICT_5X5_100", True, None),
    (4, 6, 45, 0.6, "DICT_6X6_250", True, None),
    (5, 4, 50, 0.8, "DICT_APRILTAG_36h11", False, list(range(100, 110))),
    # Markers that do not fall on whole pixels.
    (6, 6, 61, 0.7, "DICT_5X5_100", True, None),
    (3, 3, 43, 0.6, "DICT_ARUCO_ORIGINAL", False, [17, 4, 900, 16]),
    (4, 5, 47, 0.75, "DICT_7X7_100", False, None),
]


def make_board(sx, sy, ratio, name, legacy, ids=None):
    return markvane.CharucoBoard(sx, sy, 0.03, 0.03 * ratio, name, ids=ids, legacy_pattern=legacy)


def assert_all_corners(image, board, sx, sy, origin, pitch):
    p = markvane.DetectorParameters()
    p.min_side_length_canonical_img = 0
    corners, corner_ids, _, _ = markvane.detect_charuco_board(image, board, p)
    assert sorted(corner_ids) == list(range((sx - 1) * (sy - 1)))
    for xy, k in zip(corners, corner_ids):
        expected = (origin + (k % (sx - 1) + 1) * pitch - 0.5, origin + (k // (sx - 1) + 1) * pitch - 0.5)
        assert np.allclose(xy, expected, atol=0.5), (k, xy, expected)


def marker_boxes(image, square_px, quiet):
    """(left, top, right, bottom) of the dark pixels in every white square."""
    squares = [image[y:y + square_px, x:x + square_px] for y in range(quiet, image.shape[0] - quiet, square_px)
               for x in range(quiet, image.shape[1] - quiet, square_px)]
    spans = [np.nonzero(s < 128) for s in squares if s[0, 0] == 255]
    return np.array([(xs.min(), ys.min(), xs.max() + 1, ys.max() + 1) for ys, xs in spans])


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda v: f"{v[0]}x{v[1]}-{v[2]}px-{v[4]}{'-legacy' * v[5]}")
def test_charuco_board_image_against_opencv_and_detected_completely(layout):
    sx, sy, square_px, ratio, name, legacy, ids = layout
    board = make_board(sx, sy, ratio, name, legacy, ids)
    img = targets.charuco_board_image(board, square_px, 12)
    ref = cv2.aruco.CharucoBoard((sx, sy), 0.03, 0.03 * ratio, cv_dict(name), None if ids is None else np.array(ids))
    ref.setLegacyPattern(legacy)
    theirs = ref.generateImage((sx * square_px + 24, sy * square_px + 24), marginSize=12)
    if (square_px * ratio).is_integer() and (square_px * (1 - ratio) / 2).is_integer():
        assert np.array_equal(img, theirs)
    else:
        # OpenCV rounds fractional marker edges differently from square to
        # square (43 px squares at 0.6: one marker spans x 8-34, another
        # 9-34); here every marker spans the pixels nearest its exact sides,
        # the same in each square. Either way an edge is within a pixel of it.
        ours, cv = marker_boxes(img, square_px, 12), marker_boxes(theirs, square_px, 12)
        assert (ours == ours[0]).all() and np.abs(ours - cv).max() <= 1
        exact = np.repeat([square_px * (1 - ratio) / 2, square_px * (1 + ratio) / 2], 2)
        assert np.abs(ours[0] - exact).max() <= 0.5
    assert_all_corners(img, board, sx, sy, 12, square_px)


def test_charuco_board_needs_a_board():
    with pytest.raises(TypeError, match="board must be a markvane.CharucoBoard"):
        targets.charuco_board_image(object(), 40)


def svg_size_mm(svg):
    root = ET.fromstring(svg)
    w, h = (float(re.fullmatch(r"([0-9.]+)mm", root.get(k)).group(1)) for k in ("width", "height"))
    assert root.get("viewBox") == f"0 0 {root.get('width')[:-2]} {root.get('height')[:-2]}"
    return w, h, " ".join(t.text for t in root.iter("{http://www.w3.org/2000/svg}text"))


@pytest.mark.parametrize("name", NAMES)
def test_marker_svg_renders_as_the_pixel_image(name):
    # At 96 dpi every cell edge of a marker 60 (or 10 px a cell) px wide lands
    # on a pixel edge, so the rendering must be the pixel image exactly.
    cells = targets._dictionary(name).marker_size + 2
    side_px = 60 if 60 % cells == 0 else 10 * cells
    for marker_id in (0, len(targets._dictionary(name).codes) - 1):
        svg = targets.marker_svg(name, marker_id, side_px * 25.4 / 96, quiet_zone_mm=0, caption=False)
        assert np.array_equal(render_svg(svg, 96), targets.marker_image(name, marker_id, side_px)), marker_id


def test_marker_svg_prints_true_size_with_its_caption_outside_the_quiet_zone():
    px = 200 / 25.4
    svg = targets.marker_svg("DICT_APRILTAG_36h11", 586, 40, quiet_zone_mm=8)
    w, h, caption = svg_size_mm(svg)
    assert w == 56 and h > 56
    assert "DICT_APRILTAG_36h11" in caption and "586" in caption and "40 mm" in caption
    img = render_svg(svg, 200)
    bare = render_svg(targets.marker_svg("DICT_APRILTAG_36h11", 586, 40, quiet_zone_mm=8, caption=False), 200)
    assert img.shape == (round(h * px), round(w * px)) and bare.shape == (round(56 * px),) * 2
    # The caption adds ink below the quiet zone and changes nothing above it.
    assert np.array_equal(img[:bare.shape[0]], bare) and (img[bare.shape[0]:] < 128).any()
    corners, ids = markvane.detect_markers(img, "DICT_APRILTAG_36h11")
    assert ids == [586]
    assert np.allclose(corners[0][0], [8 * px - 0.5] * 2, atol=1.0)
    assert np.allclose(np.subtract(corners[0][2], corners[0][0]), 40 * px, atol=1.5)


def test_grid_board_svg_renders_detectable_at_true_size():
    px, ids = 150 / 25.4, [7, 3, 48, 0, 21, 36]
    svg = targets.grid_board_svg("DICT_5X5_50", 3, 2, 30, 7.5, ids=ids, quiet_zone_mm=10)
    w, h, caption = svg_size_mm(svg)
    assert w == 3 * 30 + 2 * 7.5 + 20 and h > 2 * 30 + 7.5 + 20
    assert "DICT_5X5_50" in caption and "3x2" in caption and "7 3 48 0 21 36" in caption and "30 mm" in caption
    corners, found = markvane.detect_markers(render_svg(svg, 150), "DICT_5X5_50")
    assert sorted(found) == sorted(ids)
    for quad, i in zip(corners, found):
        k = ids.index(i)
        assert np.allclose(quad[0], ((10 + (k % 3) * 37.5) * px - 0.5, (10 + (k // 3) * 37.5) * px - 0.5), atol=1)


@pytest.mark.parametrize("legacy", [False, True])
def test_charuco_board_svg_renders_detectable_at_true_size(legacy):
    board = make_board(5, 6, 0.75, "DICT_4X4_100", legacy)
    svg = targets.charuco_board_svg(board, 20, quiet_zone_mm=10)
    w, h, caption = svg_size_mm(svg)
    assert w == 5 * 20 + 20 and h > 6 * 20 + 20
    assert "5x6" in caption and "DICT_4X4_100" in caption and "ids 0-14" in caption and "15 mm" in caption
    assert ("legacy" in caption) == legacy
    assert_all_corners(render_svg(svg, 120), board, 5, 6, 10 * 120 / 25.4, 20 * 120 / 25.4)


BAD_CALLS = [
    (lambda: targets.marker_image("DICT_9X9_50", 0), ValueError, "unknown dictionary"),
    (lambda: targets.marker_image(3, 0), TypeError, "dictionary must be a name"),
    (lambda: targets.marker_image("DICT_4X4_50", 50), ValueError, r"out of range for DICT_4X4_50 \(ids 0-49\)"),
    (lambda: targets.marker_image("DICT_4X4_50", True), TypeError, "marker_id must be an integer"),
    (lambda: targets.marker_image("DICT_4X4_50", 0, 7, border_bits=2), ValueError, "side_px must be at least 8"),
    (lambda: targets.marker_image("DICT_4X4_50", 0, quiet_zone_px=-1), ValueError, "must not be negative"),
    (lambda: targets.grid_board_image("DICT_4X4_50", 10, 10, 60, 10), ValueError, "more ids than DICT_4X4_50"),
    (lambda: targets.grid_board_image("DICT_4X4_50", 2, 2, 60, 10, ids=[1, 2, 3]), ValueError, "holds 3 values"),
    (lambda: targets.grid_board_image("DICT_4X4_50", 2, 1, 60, 10, ids=[1, 99]), ValueError, "id 99 is out of"),
    (lambda: targets.marker_svg("DICT_4X4_50", 0, float("inf")), ValueError, "size_mm must be a finite length"),
    (lambda: targets.marker_svg("DICT_4X4_50", 0, 50, quiet_zone_mm=-2), ValueError, "quiet_zone_mm must be"),
    (lambda: targets.charuco_board_image(markvane.CharucoBoard(4, 4, 1.0, 0.5, "DICT_4X4_50"), 11),
     ValueError, "draws the markers 5 px wide; they need at least 6"),
    (lambda: targets.charuco_board_image(markvane.CharucoBoard(4, 4, 1.0, 1.0, "DICT_4X4_50"), 40),
     ValueError, "below the square"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS, ids=range(len(BAD_CALLS)))
def test_bad_arguments_are_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()
