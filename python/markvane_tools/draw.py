"""Draw detection results onto images, to look at them.

NumPy in, NumPy out: every function takes a uint8 image (HxW gray or HxWx3
BGR), draws on a BGR copy and returns it, leaving the input untouched. Corners
are accepted in the layouts the detectors return and the ones OpenCV uses:
markers as (N, 4, 2), (N, 1, 4, 2) or a list of 4x2 lists / (1, 4, 2) arrays,
points as (N, 2), (N, 1, 2) or a list of pairs. Coordinates follow the
detector's convention (the centre of pixel (x, y) is at (x, y)).

Drawing is plain rasterisation without anti-aliasing. Anything that falls
outside the image is clipped, and geometry that cannot be drawn (off the image,
behind the camera, not finite) is skipped rather than raising, so a frame with
wild detections still shows what there is.
"""

from __future__ import annotations

import functools
import math
import numbers

import numpy as np

__all__ = ["draw_markers", "draw_charuco_corners", "draw_chessboard_corners", "draw_axes"]

# BGR
RED, GREEN, BLUE, BLACK = (0, 0, 255), (0, 255, 0), (255, 0, 0), (0, 0, 0)

# Row colours of a found chessboard, as a rainbow from the first row down.
_ROW_COLOURS = ((0, 0, 255), (0, 128, 255), (0, 200, 200), (0, 255, 0), (200, 200, 0), (255, 0, 0),
                (255, 0, 255))

# 3x5 glyphs for ids.
_GLYPHS = {
    "0": ("111", "101", "101", "101", "111"),
    "1": ("010", "110", "010", "010", "111"),
    "2": ("111", "001", "111", "100", "111"),
    "3": ("111", "001", "111", "001", "111"),
    "4": ("101", "101", "111", "001", "001"),
    "5": ("111", "100", "111", "001", "111"),
    "6": ("111", "100", "111", "101", "111"),
    "7": ("111", "001", "010", "010", "010"),
    "8": ("111", "101", "111", "101", "111"),
    "9": ("111", "101", "111", "001", "111"),
    "-": ("000", "000", "111", "000", "000"),
}


# ---- arguments -----------------------------------------------------------------

def _bgr_copy(image) -> np.ndarray:
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a NumPy array, not {type(image).__name__}")
    if image.dtype != np.uint8:
        raise TypeError(f"image must be uint8, not {image.dtype}")
    if image.ndim == 3 and image.shape[2] == 1:
        image = image[:, :, 0]
    if image.ndim == 2:
        return np.repeat(image[:, :, None], 3, axis=2)
    if image.ndim == 3 and image.shape[2] == 3:
        return image.copy()
    raise ValueError(f"image must be HxW gray or HxWx3 BGR, got shape {image.shape}")


def _colour(name: str, value) -> tuple[int, int, int]:
    try:
        c = tuple(int(v) for v in value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be three integers (B, G, R)") from None
    if len(c) != 3 or not all(0 <= v <= 255 for v in c):
        raise ValueError(f"{name} must be three integers 0-255 (B, G, R), got {value!r}")
    return c


def _positive_int(name: str, value) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def _quads(corners) -> np.ndarray:
    """(N, 4, 2) float64 from any of the marker-corner layouts."""
    try:
        if isinstance(corners, np.ndarray):
            return corners.astype(np.float64).reshape(-1, 4, 2)
        return np.array([np.asarray(c, np.float64).reshape(4, 2) for c in corners]).reshape(-1, 4, 2)
    except (TypeError, ValueError):
        raise ValueError("corners must hold four (x, y) corners per marker") from None


def _points(corners) -> np.ndarray:
    """(N, 2) float64 from any of the point layouts."""
    try:
        if isinstance(corners, np.ndarray):
            return corners.astype(np.float64).reshape(-1, 2)
        return np.array([np.asarray(c, np.float64).reshape(2) for c in corners]).reshape(-1, 2)
    except (TypeError, ValueError):
        raise ValueError("corners must be (x, y) points") from None


def _ids(ids, count: int) -> list | None:
    if ids is None:
        return None
    flat = np.asarray(ids).ravel()
    if len(flat) != count:
        raise ValueError(f"ids holds {len(flat)} values for {count} detections")
    return [int(i) for i in flat]


# ---- rasterisation -----------------------------------------------------------------

def _clip(p0, p1, lo_x, lo_y, hi_x, hi_y):
    """The part of segment p0-p1 inside the box (Liang-Barsky), or None."""
    (x0, y0), (x1, y1) = p0, p1
    dx, dy = x1 - x0, y1 - y0
    t0, t1 = 0.0, 1.0
    for p, q in ((-dx, x0 - lo_x), (dx, hi_x - x0), (-dy, y0 - lo_y), (dy, hi_y - y0)):
        if p == 0:
            if q < 0:
                return None
            continue
        t = q / p
        if p < 0:
            t0 = max(t0, t)
        else:
            t1 = min(t1, t)
        if t0 > t1:
            return None
    return (x0 + t0 * dx, y0 + t0 * dy), (x0 + t1 * dx, y0 + t1 * dy)


def _stamp(thickness: int) -> list[tuple[int, int]]:
    """Pixel offsets of a pen `thickness` pixels wide: a square up to 2, a disc above."""
    r = range(-(thickness // 2), (thickness - 1) // 2 + 1)
    return [(ox, oy) for oy in r for ox in r if thickness < 3 or ox * ox + oy * oy <= thickness * thickness / 4]


def _plot(canvas, xs, ys, colour) -> None:
    h, w = canvas.shape[:2]
    inside = (xs >= 0) & (xs < w) & (ys >= 0) & (ys < h)
    canvas[ys[inside], xs[inside]] = colour


def _line(canvas, p0, p1, colour, thickness=1) -> None:
    if not (np.all(np.isfinite(p0)) and np.all(np.isfinite(p1))):
        return
    h, w = canvas.shape[:2]
    pad = thickness
    # Clip first: a segment reaching far off the image would otherwise be
    # walked pixel by pixel.
    seg = _clip((float(p0[0]), float(p0[1])), (float(p1[0]), float(p1[1])), -pad, -pad, w - 1 + pad, h - 1 + pad)
    # Ends near the float range overflow in the clipping arithmetic.
    if seg is None or not all(math.isfinite(v) for pt in seg for v in pt):
        return
    (x0, y0), (x1, y1) = seg
    n = int(math.ceil(max(abs(x1 - x0), abs(y1 - y0)))) + 1
    t = np.linspace(0.0, 1.0, n)
    xs = np.rint(x0 + t * (x1 - x0)).astype(np.int64)
    ys = np.rint(y0 + t * (y1 - y0)).astype(np.int64)
    for ox, oy in _stamp(thickness):
        _plot(canvas, xs + ox, ys + oy, colour)


def _box(canvas, centre, half: int):
    """Slices of the clipped square of half-width `half` around `centre`, or None."""
    if not np.all(np.isfinite(centre)):
        return None
    h, w = canvas.shape[:2]
    cx, cy = float(np.rint(centre[0])), float(np.rint(centre[1]))
    x0, x1 = max(cx - half, 0), min(cx + half + 1, w)
    y0, y1 = max(cy - half, 0), min(cy + half + 1, h)
    if x0 >= x1 or y0 >= y1:
        return None
    return slice(int(y0), int(y1)), slice(int(x0), int(x1)), cx, cy


def _fill_square(canvas, centre, half: int, colour) -> None:
    box = _box(canvas, centre, half)
    if box is not None:
        canvas[box[0], box[1]] = colour


def _circle(canvas, centre, radius: int, colour, thickness=1) -> None:
    box = _box(canvas, centre, radius + thickness)
    if box is None:
        return
    ys, xs, cx, cy = box
    yy, xx = np.mgrid[ys, xs]
    dist = np.hypot(xx - cx, yy - cy)
    canvas[ys, xs][np.abs(dist - radius) <= thickness / 2] = colour


def _text_mask(text: str, scale: int) -> np.ndarray:
    glyphs = [np.array([[c == "1" for c in row] for row in _GLYPHS[ch]]) for ch in text if ch in _GLYPHS]
    if not glyphs:
        return np.zeros((0, 0), bool)
    gap = np.zeros((5, 1), bool)
    mask = np.hstack([part for g in glyphs for part in (g, gap)][:-1])
    return np.kron(mask, np.ones((scale, scale), bool))


def _text(canvas, text: str, centre, colour, scale: int) -> None:
    """`text` centred on `centre`, with a one-pixel black halo so it reads on
    black and white cells alike."""
    if not np.all(np.isfinite(centre)):
        return
    mask = _text_mask(text, scale)
    if mask.size == 0:
        return
    halo = np.pad(mask, 1)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            halo = halo | np.roll(np.roll(np.pad(mask, 1), dy, 0), dx, 1)
    h, w = canvas.shape[:2]
    cx, cy = float(centre[0]), float(centre[1])
    top = int(round(cy - mask.shape[0] / 2)) - 1
    left = int(round(cx - mask.shape[1] / 2)) - 1
    for m, c in ((halo, BLACK), (np.pad(mask, 1), colour)):
        y0, x0 = max(top, 0), max(left, 0)
        y1, x1 = min(top + m.shape[0], h), min(left + m.shape[1], w)
        if y0 >= y1 or x0 >= x1:
            return
        region = canvas[y0:y1, x0:x1]
        region[m[y0 - top:y1 - top, x0 - left:x1 - left]] = c


# ---- public ---------------------------------------------------------------------

def _float_errors_ignored(draw):
    """Non-finite and huge coordinates are skipped where they are drawn, so the
    arithmetic leading there need not warn."""
    @functools.wraps(draw)
    def wrapper(*args, **kwargs):
        with np.errstate(all="ignore"):
            return draw(*args, **kwargs)
    return wrapper


@_float_errors_ignored

def draw_markers(image, corners, ids=None, color=GREEN, *, corner_color=RED, thickness=1) -> np.ndarray:
    """Outline every marker in `color`, mark its corner 0 (the printed top-left)
    with a filled square in `corner_color`, and write its id at its centre."""
    out = _bgr_copy(image)
    quads = _quads(corners)
    id_list = _ids(ids, len(quads))
    color, corner_color = _colour("color", color), _colour("corner_color", corner_color)
    thickness = _positive_int("thickness", thickness)
    for k, q in enumerate(quads):
        for i in range(4):
            _line(out, q[i], q[(i + 1) % 4], color, thickness)
        _fill_square(out, q[0], thickness + 1, corner_color)
        if id_list is not None:
            edges = q - np.roll(q, 1, axis=0)
            side = np.hypot(edges[:, 0], edges[:, 1]).min()
            scale = int(np.clip(side // 24, 1, 4)) if np.isfinite(side) else 1
            _text(out, str(id_list[k]), q.mean(axis=0), color, scale)
    return out


@_float_errors_ignored
def draw_charuco_corners(image, corners, ids=None, color=BLUE, *, thickness=1) -> np.ndarray:
    """A small square around every ChArUco corner, and its id beside it."""
    out = _bgr_copy(image)
    points = _points(corners)
    id_list = _ids(ids, len(points))
    color = _colour("color", color)
    thickness = _positive_int("thickness", thickness)
    for k, p in enumerate(points):
        x, y = p
        for a, b in (((x - 3, y - 3), (x + 3, y - 3)), ((x + 3, y - 3), (x + 3, y + 3)),
                     ((x + 3, y + 3), (x - 3, y + 3)), ((x - 3, y + 3), (x - 3, y - 3))):
            _line(out, a, b, color, thickness)
        if id_list is not None:
            label = str(id_list[k])
            _text(out, label, (x + 6 + 2 * len(label), y - 8), color, 1)
    return out


@_float_errors_ignored
def draw_chessboard_corners(image, pattern_size, corners, found=True) -> np.ndarray:
    """Chessboard corners as the finder returns them. A found board shows each
    row in its own colour, corners ringed and joined in order (so the order is
    visible); an incomplete one shows what there is as red crosses."""
    out = _bgr_copy(image)
    try:
        cols, rows = (int(v) for v in pattern_size)
    except (TypeError, ValueError):
        raise TypeError("pattern_size must be (cols, rows)") from None
    if cols < 1 or rows < 1:
        raise ValueError(f"pattern_size must be positive, got {tuple(pattern_size)}")
    points = _points(corners)
    if found and len(points) != cols * rows:
        raise ValueError(f"a found {cols}x{rows} board has {cols * rows} corners, got {len(points)}")
    for k, p in enumerate(points):
        if found:
            colour = _ROW_COLOURS[(k // cols) % len(_ROW_COLOURS)]
            if k:
                _line(out, points[k - 1], p, colour)
            _circle(out, p, 4, colour)
        else:
            colour = RED
        _line(out, p - 3, p + 3, colour)
        _line(out, p + (-3, 3), p + (3, -3), colour)
    return out


@_float_errors_ignored
def draw_axes(image, camera_matrix, dist_coeffs, rvec, tvec, length, thickness=2) -> np.ndarray:
    """The object frame's axes, `length` long (object units): X red, Y green,
    Z blue, projected with markvane.project_points. An axis with an end behind
    the camera is left out."""
    import markvane  # noqa: PLC0415 - the extension is only needed here

    out = _bgr_copy(image)
    thickness = _positive_int("thickness", thickness)
    if isinstance(length, bool) or not isinstance(length, numbers.Real) or not math.isfinite(length):
        raise ValueError(f"length must be a finite number, got {length!r}")
    ends = np.array([[0, 0, 0], [length, 0, 0], [0, length, 0], [0, 0, length]], np.float64)
    rvec = np.asarray(rvec, np.float64).reshape(3)
    tvec = np.asarray(tvec, np.float64).reshape(3)
    image_points = np.asarray(markvane.project_points(ends, rvec, tvec, camera_matrix, dist_coeffs), np.float64)
    depth = (np.asarray(markvane.rodrigues(rvec), np.float64) @ ends.T).T[:, 2] + tvec[2]
    for axis, colour in ((1, RED), (2, GREEN), (3, BLUE)):
        if depth[0] > 0 and depth[axis] > 0:
            _line(out, image_points[0], image_points[axis], colour, thickness)
    return out
