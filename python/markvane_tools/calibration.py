"""Camera calibration from photographs of a ChArUco board or a chessboard.

`calibrate_charuco(images, board)` and `calibrate_chessboard(images,
pattern_size, square_size)` detect the board in every image, leave out the
views with too few corners (and say which and why), run
`markvane.calibrate_camera` on the rest, and point out the views whose
reprojection error is far above the others': usually blur, a bent board or a
wrong detection, and worth removing before trusting the result.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

import markvane


@dataclass
class BoardCalibration:
    """A calibration and what went into it.

    - `result`: the `markvane.CalibrationResult` (camera_matrix, dist_coeffs, rms,
      per-view poses, errors and standard deviations); its views are those of
      `used`, in that order.
    - `used`: names of the views calibrated from.
    - `dropped`: name -> reason, for views left out.
    - `outliers`: names of used views whose error is far above the rest.
    """

    result: markvane.CalibrationResult
    used: list = field(default_factory=list)
    dropped: dict = field(default_factory=dict)
    outliers: list = field(default_factory=list)


def _names(images, names):
    if names is None:
        return [f"view {i}" for i in range(len(images))]
    names = [str(n) for n in names]
    if len(names) != len(images):
        raise ValueError(f"names has {len(names)} entries for {len(images)} images")
    return names


def _image_size(images, image_size):
    if image_size is not None:
        return tuple(image_size)
    if not images:
        raise ValueError("no images to calibrate from")
    shapes = {np.shape(img)[:2] for img in images}
    if len(shapes) != 1:
        raise ValueError(f"the images differ in size ({sorted(shapes)}); a calibration is for one camera")
    h, w = shapes.pop()
    return (w, h)


def far_above_the_rest(errors: Sequence[float], factor: float = 4.0, floor_px: float = 0.2) -> list:
    """Indices of errors far above the others: above twice the median, above
    the median by more than `factor` robust standard deviations (1.4826 x the
    median absolute deviation), and by more than `floor_px` pixels, so that
    the usual spread between good views (a few hundredths of a pixel) is not
    flagged."""
    e = np.asarray(errors, float)
    if len(e) < 4:
        return []
    median = np.median(e)
    spread = 1.4826 * np.median(np.abs(e - median))
    far = (e > 2.0 * median) & (e > median + factor * spread) & (e > median + floor_px)
    return [int(i) for i in np.flatnonzero(far)]


def _calibrate(views, size, names, dropped, options) -> BoardCalibration:
    if len(views) < 3:
        raise ValueError(f"only {len(views)} usable views (need at least 3); left out: "
                         + "; ".join(f"{n}: {why}" for n, why in dropped.items()))
    used = [name for name, _, _ in views]
    result = markvane.calibrate_camera([o for _, o, _ in views], [i for _, _, i in views], size, **options)
    outliers = [used[i] for i in far_above_the_rest(result.per_view_errors)]
    return BoardCalibration(result, used, dropped, outliers)


def calibrate_charuco(images: Sequence, board: markvane.CharucoBoard, image_size=None, min_corners: int = 6,
                      parameters: Optional[markvane.DetectorParameters] = None, names=None,
                      **options) -> BoardCalibration:
    """Calibrate from images of `board`. Views with fewer than `min_corners`
    ChArUco corners (or whose corners are all on one line) are left out.
    `options` go to `markvane.calibrate_camera` (model, fix_aspect_ratio, ...)."""
    images = list(images)
    names = _names(images, names)
    size = _image_size(images, image_size)
    board_corners = np.asarray(board.chessboard_corners, np.float64)
    views, dropped = [], {}
    for name, image in zip(names, images):
        corners, ids, _, _ = markvane.detect_charuco_board(image, board, parameters)
        if len(ids) < max(min_corners, 4):
            dropped[name] = f"{len(ids)} corners found, fewer than {max(min_corners, 4)}"
            continue
        obj = board_corners[np.asarray(ids)]
        if np.linalg.matrix_rank(obj[:, :2] - obj[0, :2], tol=1e-9) < 2:
            dropped[name] = "all corners found lie on one line"
            continue
        views.append((name, obj, np.asarray(corners, np.float64)))
    return _calibrate(views, size, names, dropped, options)


def calibrate_chessboard(images: Sequence, pattern_size, square_size: float, image_size=None, names=None,
                         **options) -> BoardCalibration:
    """Calibrate from images of a chessboard with `pattern_size` = (cols, rows)
    inner corners, `square_size` apart (in the unit the poses should use).
    Views where the board is not found are left out."""
    images = list(images)
    names = _names(images, names)
    size = _image_size(images, image_size)
    cols, rows = pattern_size
    gx, gy = np.meshgrid(np.arange(cols), np.arange(rows))
    obj = np.c_[gx.ravel() * square_size, gy.ravel() * square_size, np.zeros(cols * rows)]
    views, dropped = [], {}
    for name, image in zip(names, images):
        found, corners = markvane.find_chessboard_corners(image, (cols, rows))
        if not found:
            dropped[name] = "board not found"
            continue
        views.append((name, obj, np.asarray(corners, np.float64)))
    return _calibrate(views, size, names, dropped, options)
