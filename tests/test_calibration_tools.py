"""Calibration from board images: rendered views with a known camera, and the
shared photographs against cv2.calibrateCamera on the same corners."""
import importlib.util
import json
import math
from pathlib import Path

import numpy as np
import pytest

import markvane as mv
from conftest import data_path
from markvane_tools import calibration, targets

cv2 = pytest.importorskip("cv2")

K = np.array([[820.0, 0, 330], [0, 815.0, 245], [0, 0, 1]])


def rendered_views(board, count, seed, size=(640, 480), square_px=60):
    """The board warped by K [r1 r2 t] under random poses; exact geometry."""
    image = targets.charuco_board_image(board, square_px, quiet_zone_px=square_px // 2)
    q, k = square_px // 2, board.square_length / square_px
    # Board-image pixels (centres at integers) to board coordinates.
    to_board = np.array([[k, 0, -(q - 0.5) * k], [0, k, -(q - 0.5) * k], [0, 0, 1]])
    cx, cy = board.squares_x * board.square_length / 2, board.squares_y * board.square_length / 2
    rng = np.random.default_rng(seed)
    views = []
    while len(views) < count:
        r = cv2.Rodrigues(rng.uniform(-0.6, 0.6, 3))[0]
        t = -r @ [cx, cy, 0] + [rng.uniform(-0.02, 0.02), rng.uniform(-0.02, 0.02), rng.uniform(0.35, 0.5)]
        h = K @ np.c_[r[:, :2], t] @ to_board
        views.append(cv2.warpPerspective(image, h, size, flags=cv2.INTER_LINEAR, borderValue=110))
    return views


def test_charuco_views_recover_the_camera_and_report_what_they_left_out():
    board = mv.CharucoBoard(7, 5, 0.03, 0.022, "DICT_5X5_100")
    images = rendered_views(board, 8, seed=5) + [np.full((480, 640), 128, np.uint8)]
    names = [f"shot{i}.png" for i in range(len(images))]
    cal = calibration.calibrate_charuco(images, board, names=names)
    assert cal.dropped == {"shot8.png": "0 corners found, fewer than 6"}
    assert cal.used == names[:8] and len(cal.result.rvecs) == 8
    k = np.array(cal.result.camera_matrix)
    assert np.allclose(k[[0, 1, 0, 1], [0, 1, 2, 2]], K[[0, 1, 0, 1], [0, 1, 2, 2]], rtol=0.01)
    assert cal.result.rms < 0.3 and cal.outliers == []
    with pytest.raises(ValueError, match="only 0 usable views"):
        calibration.calibrate_charuco(images[-1:], board)


def test_far_above_the_rest_flags_only_clear_outliers():
    assert calibration.far_above_the_rest([0.2, 0.21, 0.19, 0.2, 0.22, 1.5]) == [5]
    assert calibration.far_above_the_rest([0.2, 0.21, 0.19, 0.2, 0.22, 0.25]) == []
    # Good views differ by hundredths of a pixel, even several-fold.
    assert calibration.far_above_the_rest([0.119, 0.036, 0.047, 0.07, 0.04, 0.118, 0.029, 0.044]) == []
    assert calibration.far_above_the_rest([0.2, 5.0, 0.3]) == []  # too few views to judge


def photo_corners(folder, pattern):
    views = []
    for path in sorted(Path(data_path(folder)).glob("*.jpg")):
        gray = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
        found, corners = mv.find_chessboard_corners(gray, pattern)
        if found:
            views.append(np.asarray(corners, np.float32))
    cols, rows = pattern
    gx, gy = np.meshgrid(np.arange(cols), np.arange(rows))
    obj = np.c_[gx.ravel(), gy.ravel(), np.zeros(cols * rows)].astype(np.float32)
    return [obj] * len(views), views, gray.shape[::-1]


def charuco_photo_corners():
    board = mv.CharucoBoard(7, 5, 0.03, 0.022, "DICT_4X4_50")
    board_corners = np.asarray(board.chessboard_corners, np.float32)
    objs, views = [], []
    for path in sorted(Path(data_path("charuco-5x7-4x4")).glob("*.jpg")):
        gray = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
        corners, ids, _, _ = mv.detect_charuco_board(gray, board)
        if len(ids) >= 6:
            objs.append(board_corners[np.asarray(ids)])
            views.append(np.asarray(corners, np.float32))
    return objs, views, gray.shape[::-1]


PHOTO_SETS = {"chessboard-9x6": lambda: photo_corners("chessboard-9x6", (9, 6)),
              "chessboard-7x7": lambda: photo_corners("chessboard-7x7", (7, 7)),
              "charuco-5x7-4x4": charuco_photo_corners}
MODEL_FLAGS = {"k5": 0, "k8": cv2.CALIB_RATIONAL_MODEL,
               "k14": cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL}
# OpenCV's default undistortion runs five fixed iterations, which leaves
# errors of many pixels towards the corners under a rational model; compare
# converged inverses instead.
CONVERGED = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 200, 1e-14)


def covered_pixels(views, size, step=16):
    """Pixels inside the hull of every observed corner: where the views
    constrain the distortion (a rational model is free, and may fold, outside)."""
    hull = cv2.convexHull(np.concatenate(views).reshape(-1, 2))
    gx, gy = np.meshgrid(np.arange(0, size[0], step), np.arange(0, size[1], step))
    grid = np.c_[gx.ravel(), gy.ravel()].astype(np.float64)
    return grid[[cv2.pointPolygonTest(hull, (x, y), False) >= 0 for x, y in grid]]


def undistorted(pixels, k, d):
    return cv2.undistortPoints(pixels.reshape(-1, 1, 2), k, np.asarray(d, np.float64), None, None, k,
                               CONVERGED).reshape(-1, 2)


@pytest.mark.parametrize("photo_set", list(PHOTO_SETS))
@pytest.mark.parametrize("model", ["k5", "k8", "k14"])
def test_photos_match_opencv_on_the_same_corners(photo_set, model):
    objs, views, size = PHOTO_SETS[photo_set]()
    flags = MODEL_FLAGS[model]
    rms, k, d, *_ = cv2.calibrateCamera(objs, views, size, None, None, flags=flags)
    res = mv.calibrate_camera(objs, views, size, model=model)
    ours = np.array(res.camera_matrix)
    assert abs(res.rms - rms) < 1e-3
    if photo_set == "charuco-5x7-4x4" and model == "k14":
        # A dozen views of at most 24 corners leave the 14-term model a flat
        # valley: both solvers stop somewhere along it, where the data can no
        # longer tell the points apart. The focal lengths then differ by less
        # than their own standard deviation, and the distortions are not
        # compared.
        sd = np.array(res.std_deviations[:4])
        assert np.all(np.abs(ours[[0, 1, 0, 1], [0, 1, 2, 2]] - k[[0, 1, 0, 1], [0, 1, 2, 2]]) < sd)
        return
    assert np.allclose(ours[[0, 1, 0, 1], [0, 1, 2, 2]], k[[0, 1, 0, 1], [0, 1, 2, 2]], rtol=1e-3)
    # The two distortions undistort alike wherever the views constrain them;
    # under k5 over the whole image.
    pixels = covered_pixels(views, size)
    if model == "k5":
        gx, gy = np.meshgrid(np.linspace(0, size[0] - 1, 9), np.linspace(0, size[1] - 1, 7))
        pixels = np.r_[pixels, np.c_[gx.ravel(), gy.ravel()]]
    assert np.abs(undistorted(pixels, ours, res.dist_coeffs) - undistorted(pixels, ours, d)).max() < 0.05


def test_chessboard_helper_on_photos():
    paths = sorted(Path(data_path("chessboard-9x6")).glob("*.jpg"))
    images = [cv2.imread(str(p), cv2.IMREAD_GRAYSCALE) for p in paths]
    cal = calibration.calibrate_chessboard(images, (9, 6), 25.0, names=[p.name for p in paths])
    assert len(cal.used) + len(cal.dropped) == len(paths) and len(cal.used) >= 8
    assert math.isfinite(cal.result.rms) and cal.result.rms < 1.0


def test_command_line_calibration_writes_json_yaml_and_residuals(tmp_path):
    from markvane_tools import cli

    folder = data_path("chessboard-9x6")
    out, yaml, png = tmp_path / "cal.json", tmp_path / "cam.yaml", tmp_path / "res.png"
    args = ["calibrate", "--chessboard", "9x6", "--square", "25", str(folder), "-o", str(out), "--yaml", str(yaml)]
    if importlib.util.find_spec("matplotlib"):
        args += ["--residuals", str(png)]
    assert cli.main(args) == 0
    record = json.loads(out.read_text())
    paths = sorted(Path(folder).glob("*.jpg"))
    images = [cv2.imread(str(p), cv2.IMREAD_GRAYSCALE) for p in paths]
    direct = calibration.calibrate_chessboard(images, (9, 6), 25.0)
    assert record["rms"] == direct.result.rms and record["camera_matrix"] == direct.result.camera_matrix
    assert [v["error"] for v in record["views"]] == direct.result.per_view_errors
    fs = cv2.FileStorage(str(yaml), cv2.FILE_STORAGE_READ)
    assert np.allclose(fs.getNode("camera_matrix").mat(), record["camera_matrix"])
    assert np.allclose(fs.getNode("distortion_coefficients").mat().ravel(), record["dist_coeffs"])
    if importlib.util.find_spec("matplotlib"):
        assert png.read_bytes()[:4] == b"\x89PNG"
    assert cli.main(["calibrate", "--square", "25", str(folder)]) == 2
    assert cli.main(["calibrate", "--charuco", "7x5", "--square", "30", str(folder)]) == 2
