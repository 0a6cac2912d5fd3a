"""Marker decoding and the detection driver, end to end through detect_markers."""

from pathlib import Path

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
cv2 = pytest.importorskip("cv2")
scenes = pytest.importorskip("markvane_tools.scenes")

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
DICT = "DICT_4X4_50"


def params(**fields):
    p = markvane.DetectorParameters()
    for name, value in fields.items():
        setattr(p, name, value)
    return p


def detect(image, dictionary=DICT, **fields):
    corners, ids = markvane.detect_markers(image, dictionary, params(**fields))
    return np.array(corners, np.float64).reshape(-1, 4, 2), list(ids)


def scene(seed, **kw):
    kw.setdefault("size", (480, 360))
    kw.setdefault("n_markers", 4)
    kw.setdefault("noise", 0.0)
    return scenes.render_scene(np.random.default_rng(seed), dictionary=DICT, **kw)


def opencv_detect(image, dictionary=DICT, inverted=False):
    d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary))
    p = cv2.aruco.DetectorParameters()
    p.detectInvertedMarker = inverted
    corners, ids, _ = cv2.aruco.ArucoDetector(d, p).detectMarkers(image)
    ids = [] if ids is None else ids.ravel().tolist()
    return np.array(corners, np.float64).reshape(-1, 4, 2), ids


def assert_clockwise(quads):
    for q in quads:
        c0, c1, c2 = q[0], q[1], q[2]
        assert (c1[0] - c0[0]) * (c2[1] - c0[1]) - (c1[1] - c0[1]) * (c2[0] - c0[0]) >= 0


def by_id(corners, ids):
    assert len(set(ids)) == len(ids), ids
    return dict(zip(ids, corners))


# --------------------------------------------------------------------------
# Orientation


@pytest.mark.parametrize("k", [0, 1, 2, 3])
def test_rotated_marker_keeps_id_and_printed_top_left(k):
    image, truth = scene(3, n_markers=1, ids=[17], perspective=False, blur=0.5)
    h, w = image.shape
    rotated = np.ascontiguousarray(np.rot90(image, k))
    # np.rot90 turns counter-clockwise: (x, y) -> (y, W - 1 - x), repeated.
    expected = truth[0][1]
    width = w
    for _ in range(k):
        expected = np.stack([expected[:, 1], width - 1 - expected[:, 0]], axis=-1)
        width = h if width == w else w
    corners, ids = detect(rotated)
    assert ids == [17]
    assert np.abs(corners[0] - expected).max() < 1.5
    assert_clockwise(corners)


# --------------------------------------------------------------------------
# Code reading


@pytest.mark.parametrize("detect_inverted", [False, True])
def test_inverted_marker(detect_inverted):
    image, truth = scene(5, n_markers=2, perspective=0.05, blur=0.6)
    normal = sorted(detect(image)[1])
    assert normal == sorted(i for i, _ in truth)
    corners, ids = detect(255 - image, detect_inverted_marker=detect_inverted)
    if detect_inverted:
        assert sorted(ids) == normal
        ref_corners, ref_ids = opencv_detect(255 - image, inverted=True)
        ours, ref = by_id(corners, ids), by_id(ref_corners, ref_ids)
        for i in ref:
            assert np.abs(ours[i] - ref[i]).max() <= 1.0
    else:
        assert ids == []


def test_two_prints_of_one_id_are_both_reported():
    image, truth = scene(11, n_markers=2, ids=[4, 4])
    assert len(truth) == 2
    corners, ids = detect(image)
    assert ids == [4, 4]
    for _, quad in truth:
        assert min(np.abs(c - quad).max() for c in corners) < 1.5


def test_wrong_dictionary_finds_nothing_foreign():
    image, truth = scene(13, n_markers=4)
    _, ids = detect(image, "DICT_7X7_1000")
    assert ids == []


# --------------------------------------------------------------------------
# Scale plan


@pytest.mark.parametrize(
    "wmin, wmax, step, finds",
    [
        (3, 23, 10, True),     # defaults: windows 3, 13, 23
        (5, 5, 1, True),       # one window of 5
        (10, 3, 10, True),     # -7 / 10 truncates to 0: one window of 10
        (30, 3, 10, False),    # -27 / 10 = -2: no window at all
        (23, 3, -10, True),    # negative step walks down: 23, 13, 3
    ],
)
def test_threshold_window_plan(wmin, wmax, step, finds):
    image, truth = scene(17, n_markers=3)
    _, ids = detect(image, adaptive_thresh_win_size_min=wmin,
                    adaptive_thresh_win_size_max=wmax,
                    adaptive_thresh_win_size_step=step)
    assert sorted(ids) == (sorted(i for i, _ in truth) if finds else [])


def test_scales_with_equal_windows_change_nothing():
    # Windows 4 and 5 both have radius 2, and every window wider than the
    # image clips to the whole image: such scales repeat an earlier one.
    image, truth = scene(17, n_markers=3)
    h, w = image.shape

    def plan(wmin, wmax, step):
        return detect(image, adaptive_thresh_win_size_min=wmin,
                      adaptive_thresh_win_size_max=wmax, adaptive_thresh_win_size_step=step)

    def same(a, b):
        return np.array_equal(a[0], b[0]) and a[1] == b[1]

    assert same(plan(4, 5, 1), plan(5, 5, 1))
    assert same(plan(3, 2**16, 1), plan(3, 2 * max(w, h) + 1, 1))
    assert sorted(plan(3, 2**16, 1)[1]) == sorted(i for i, _ in truth)


@pytest.mark.parametrize("wmin, wmax, step", [(3, 23, 0), (-(2**31), 0, -1)])
def test_undefined_window_plan_raises(wmin, wmax, step):
    # 0 - INT32_MIN wraps to INT32_MIN, whose division by -1 has no 32-bit result.
    image, _ = scene(17, n_markers=1)
    with pytest.raises(ValueError):
        detect(image, adaptive_thresh_win_size_min=wmin,
               adaptive_thresh_win_size_max=wmax,
               adaptive_thresh_win_size_step=step)


@pytest.mark.parametrize("shape", [(0, 0), (0, 40), (40, 0), (2, 2)])
def test_degenerate_images_give_nothing(shape):
    assert markvane.detect_markers(np.zeros(shape, np.uint8), DICT) == ([], [])


# --------------------------------------------------------------------------
# Corner accuracy


def test_subpix_is_closer_to_truth_than_polygon_corners():
    errors = {}
    for method in (markvane.CORNER_REFINE_NONE, markvane.CORNER_REFINE_SUBPIX):
        total, count = 0.0, 0
        for seed in range(3):
            image, truth = scene(100 + seed, blur=1.5, marker_px=(60, 120))
            corners, ids = detect(image, corner_refinement_method=method)
            result = scenes.score(corners.tolist(), ids, truth, tol=3.0)
            assert not result.missed and not result.foreign
            total += result.mean_corner_error() * len(result.found)
            count += len(result.found)
        errors[method] = total / count
    assert errors[markvane.CORNER_REFINE_SUBPIX] < 0.6 * errors[markvane.CORNER_REFINE_NONE]


def check_against_opencv(image, dictionary):
    corners, ids = detect(image, dictionary)
    ref_corners, ref_ids = opencv_detect(image, dictionary)
    assert sorted(ids) == sorted(ref_ids)
    assert_clockwise(corners)
    ours, ref = by_id(corners, ids), by_id(ref_corners, ref_ids)
    for i in ref:
        assert np.abs(ours[i] - ref[i]).max() <= 1.0, (i, ours[i], ref[i])
    again = detect(image, dictionary)
    assert np.array_equal(again[0], corners) and again[1] == ids
    return ids


@pytest.mark.parametrize("seed", range(4))
def test_polygon_corners_match_opencv_on_scenes(seed):
    image, truth = scene(200 + seed, size=(640, 480), n_markers=8, noise=(0.0, 4.0),
                         clutter=4, blur=(0.0, 1.0))
    assert sorted(check_against_opencv(image, DICT)) == sorted(i for i, _ in truth)


PHOTOS = [
    ("aruco-4x4-sheet", "frame_0002.jpg", "DICT_4X4_50"),
    ("aruco-gridboard-6x6", None, "DICT_6X6_50"),
]


@pytest.mark.parametrize("folder, name, dictionary", PHOTOS)
def test_polygon_corners_match_opencv_on_photos(folder, name, dictionary):
    d = DATA / folder
    if not d.is_dir():
        pytest.skip("test photographs not available")
    path = d / name if name else sorted(d.glob("*.jpg"))[0]
    image = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
    assert check_against_opencv(image, dictionary)


def test_marker_is_found_when_its_quiet_zone_outline_touches_the_image_edge():
    # A dark surround with one row above the white quiet zone: the quiet
    # zone's outline runs along the image's first row, within the border
    # margin, and is the largest outline of the marker's group; the marker
    # itself lies well inside the image.
    d = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    marker = cv2.aruco.generateImageMarker(d, 9, 60, borderBits=1)
    image = np.full((200, 240), 60, np.uint8)
    image[1:81, 80:160] = 255
    image[11:71, 90:150] = marker
    corners, ids = detect(image)
    assert ids == [9]
    assert np.abs(corners[0] - [[90, 11], [149, 11], [149, 70], [90, 70]]).max() <= 1.0
