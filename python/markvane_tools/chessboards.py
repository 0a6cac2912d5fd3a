"""Synthetic chessboard images with exact inner-corner ground truth.

`render_chessboard` draws one black-and-white board with a white margin
under a random camera pose (tilt towards the camera up to a chosen angle,
any in-plane rotation, any perspective strength), on a lit background, then
blurs it, adds noise and optionally passes it through JPEG. The returned
corners are exact under the module's pixel convention (the centre of pixel
(x, y) is at (x, y)): rendering is an inverse mapping with area
supersampling, as in `scenes`.

`grid_order` puts a grid of corners into the image-based order that
`markvane.find_chessboard_corners` returns, so the truth (or OpenCV's corners)
can be compared point for point.

Board coordinates: the board has (cols + 1) x (rows + 1) squares of unit
side, square (i, j) (row i, column j) is black when i + j is even, and the
inner corner of grid row r and column c lies at (c + 1, r + 1).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .scenes import _cv2_or_none, _draw, gaussian_blur

# Supersampling factor per axis (see `scenes`).
_SS = 4


@dataclass
class Board:
    """A rendered board: the image and its true inner corners.

    `corners` is a (rows * cols, 2) float64 array in board order (row r,
    column c at index r * cols + c); `homography` maps board coordinates to
    image coordinates; `min_square_px` is the shortest projected square side.
    """

    image: np.ndarray
    corners: np.ndarray
    pattern: tuple
    homography: np.ndarray
    min_square_px: float


def _rot(axis: str, a: float) -> np.ndarray:
    c, s = np.cos(a), np.sin(a)
    if axis == "x":
        return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


def _apply_h(h: np.ndarray, pts: np.ndarray) -> np.ndarray:
    p = np.c_[pts, np.ones(len(pts))] @ h.T
    return p[:, :2] / p[:, 2:3]


def camera_homography(rng, pattern, margin, tilt_deg, roll_deg=None, distance=(1.2, 3.0)):
    """Board -> normalised image homography of a pinhole camera (focal 1).

    The board (with `margin` squares of white around it) is centred on the
    optical axis at a distance of `distance` times its diagonal, turned
    `roll_deg` in its plane (random when None) and tilted by `tilt_deg`
    about a random axis in its plane. A smaller distance gives a stronger
    perspective."""
    cols, rows = pattern
    w, h = cols + 1 + 2 * margin, rows + 1 + 2 * margin
    roll = np.deg2rad(rng.uniform(0, 360) if roll_deg is None else roll_deg)
    axis = rng.uniform(0, np.pi)
    r = _rot("z", axis) @ _rot("x", np.deg2rad(tilt_deg)) @ _rot("z", -axis) @ _rot("z", roll)
    z = _draw(rng, distance) * np.hypot(w, h)
    centre = np.array([cols + 1, rows + 1]) / 2.0
    t = np.array([0.0, 0.0, z]) - r @ np.array([centre[0], centre[1], 0.0])
    return np.column_stack([r[:, 0], r[:, 1], t])


def _fit_to_image(rng, hn, outline, size, fill, pad):
    """Scales and shifts the normalised projection into the image: the outline
    spans `fill` of the largest size that keeps `pad` pixels free."""
    w, h = size
    pts = _apply_h(hn, outline)
    lo, hi = pts.min(axis=0), pts.max(axis=0)
    span = hi - lo
    scale = min((w - 2 * pad) / span[0], (h - 2 * pad) / span[1]) * _draw(rng, fill)
    free = np.array([w, h]) - 2 * pad - span * scale
    offset = pad + rng.uniform(0, 1, 2) * np.maximum(free, 0) - lo * scale
    return np.array([[scale, 0, offset[0]], [0, scale, offset[1]], [0, 0, 1.0]]) @ hn


def _render_cells(cells, h_cells_to_img, size, cv2):
    """Mean cell value and coverage of every pixel (cells span unit squares
    from (0, 0)). Only the box around the cells is supersampled."""
    w, h = size
    corners = _apply_h(h_cells_to_img, np.array([[0, 0], [cells.shape[1], 0],
                                                 [cells.shape[1], cells.shape[0]],
                                                 [0, cells.shape[0]]], float))
    x0, y0 = np.clip(np.floor(corners.min(axis=0)).astype(int) - 2, 0, [w, h])
    x1, y1 = np.clip(np.ceil(corners.max(axis=0)).astype(int) + 3, 0, [w, h])
    mean = np.zeros((h, w), np.float32)
    cover = np.zeros((h, w), np.float32)
    bw, bh = x1 - x0, y1 - y0
    if bw <= 0 or bh <= 0:
        return mean, cover
    # Sub-sample k of pixel x sits at x - 0.5 + (k + 0.5) / _SS.
    off = (np.arange(_SS) + 0.5) / _SS - 0.5
    s = np.array([[1.0 / _SS, 0, x0 + off[0]], [0, 1.0 / _SS, y0 + off[0]], [0, 0, 1]])
    h_inv = np.linalg.inv(h_cells_to_img)
    if cv2 is not None:
        # Nearest lookup rounds; the half-cell shift makes it floor.
        shift = np.array([[1.0, 0, -0.5], [0, 1.0, -0.5], [0, 0, 1]])
        src = (cells.astype(np.int16) + 1).astype(np.uint8)
        warped = cv2.warpPerspective(src, shift @ h_inv @ s, (bw * _SS, bh * _SS),
                                     flags=cv2.INTER_NEAREST | cv2.WARP_INVERSE_MAP,
                                     borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        # Sub-samples counted per pixel (0 .. _SS^2) by area averaging of
        # bytes worth _SS^2 each, which stays exact in 8 bits.
        weight = np.uint8(_SS * _SS)
        inside = cv2.resize((warped > 0) * weight, (bw, bh), interpolation=cv2.INTER_AREA)
        white = cv2.resize((warped == 2) * weight, (bw, bh), interpolation=cv2.INTER_AREA)
        cov = inside.astype(np.float32) / (_SS * _SS)
        tot = white.astype(np.float32) / (_SS * _SS)
    else:
        ys, xs = np.mgrid[0:bh * _SS, 0:bw * _SS].astype(np.float64)
        q = (h_inv @ s) @ np.stack([xs.ravel(), ys.ravel(), np.ones(xs.size)])
        u = np.floor(q[0] / q[2]).astype(np.int64)
        v = np.floor(q[1] / q[2]).astype(np.int64)
        inside = (u >= 0) & (u < cells.shape[1]) & (v >= 0) & (v < cells.shape[0])
        val = np.zeros(u.shape, np.float32)
        val[inside] = cells[v[inside], u[inside]]
        cov = inside.reshape(bh, _SS, bw, _SS).mean(axis=(1, 3), dtype=np.float32)
        tot = val.reshape(bh, _SS, bw, _SS).mean(axis=(1, 3), dtype=np.float32)
    mean[y0:y1, x0:x1] = np.divide(tot, cov, out=np.zeros_like(tot), where=cov > 0)
    cover[y0:y1, x0:x1] = cov
    return mean, cover


def board_cells(pattern, margin: int) -> np.ndarray:
    """Cell values of the board with its margin: 0 black, 1 white."""
    cols, rows = pattern
    i, j = np.mgrid[0:rows + 1, 0:cols + 1]
    board = ((i + j) % 2).astype(np.int16)
    return np.pad(board, margin, constant_values=1)


def jpeg_roundtrip(image: np.ndarray, quality: int) -> np.ndarray:
    """The image after JPEG compression at `quality` (needs OpenCV)."""
    cv2 = _cv2_or_none(True)
    ok, buf = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    assert ok
    return cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)


def render_chessboard(
    rng: np.random.Generator,
    pattern=(9, 6),
    size=(640, 480),
    tilt=(0.0, 55.0),
    roll=None,
    distance=(1.2, 3.0),
    fill=(0.55, 0.95),
    margin: int = 1,
    pad: float = 16.0,
    blur=(0.3, 1.5),
    noise=(0.0, 6.0),
    light=0.3,
    jpeg=None,
    background=(40, 200),
    clutter: int = 0,
    min_square: float = 0.0,
    use_cv2=None,
) -> Board:
    """Render one board of `pattern` = (cols, rows) inner corners.

    - `tilt`: angle (degrees, range or value) between the board's normal and
      the line of sight; `roll`: in-plane rotation in degrees (random when
      None); `distance`: camera distance in board diagonals (range or value;
      smaller is a stronger perspective).
    - `fill`: fraction of the largest fitting size the board (with margin)
      spans; `pad`: pixels kept free at the image edge. A negative pad lets
      the board run off the image.
    - `margin`: white squares around the board.
    - `blur`, `noise`: Gaussian blur sigma (px) and noise sigma (gray levels).
    - `light`: strength of the uneven light (a gradient and a falloff from
      a random point; 0 for even light).
    - `jpeg`: JPEG quality (range or value), or None for none.
    - `background`: gray level around the board; `clutter`: dark rectangles
      drawn on the background.
    - `min_square`: the pose is drawn again until every projected square
      side is at least this many pixels.
    """
    cv2 = _cv2_or_none(use_cv2)
    w, h = int(size[0]), int(size[1])
    cols, rows = pattern
    hm, min_side = _pose(rng, pattern, (w, h), tilt, roll, distance, fill, margin, pad, min_square)
    shift = np.array([[1.0, 0, margin], [0, 1.0, margin], [0, 0, 1]])  # cells start at the margin
    cells = board_cells(pattern, margin)
    val, cov = _render_cells(cells, hm @ np.linalg.inv(shift), (w, h), cv2)

    dark, bright = rng.uniform(10, 60), rng.uniform(170, 250)
    canvas = np.full((h, w), _draw(rng, background), np.float32)
    for _ in range(clutter):
        cw, ch = rng.integers(10, max(11, w // 5)), rng.integers(10, max(11, h // 5))
        cx, cy = rng.integers(0, max(1, w - cw)), rng.integers(0, max(1, h - ch))
        canvas[cy:cy + ch, cx:cx + cw] = rng.uniform(20, 230)
    canvas = canvas * (1 - cov) + (dark + (bright - dark) * val) * cov
    canvas *= _lighting(rng, w, h, light)
    canvas = gaussian_blur(canvas, _draw(rng, blur), cv2)
    sigma = _draw(rng, noise)
    if sigma > 0:
        canvas = canvas + rng.normal(0.0, sigma, canvas.shape).astype(np.float32)
    image = np.clip(np.rint(canvas), 0, 255).astype(np.uint8)
    if jpeg is not None:
        image = jpeg_roundtrip(image, int(_draw(rng, jpeg)))

    r, c = np.mgrid[0:rows, 0:cols]
    corners = _apply_h(hm, np.c_[c.ravel() + 1.0, r.ravel() + 1.0])
    return Board(image, corners, (cols, rows), hm, min_side)


def _shortest_square_side(hm, pattern) -> float:
    cols, rows = pattern
    y, x = np.mgrid[0:rows + 2, 0:cols + 2]
    grid = _apply_h(hm, np.c_[x.ravel(), y.ravel()].astype(float)).reshape(rows + 2, cols + 2, 2)
    return float(min(np.linalg.norm(np.diff(grid, axis=0), axis=2).min(),
                     np.linalg.norm(np.diff(grid, axis=1), axis=2).min()))


def _pose(rng, pattern, size, tilt, roll, distance, fill, margin, pad, min_square, attempts=200):
    """Board -> image homography and shortest projected square side, drawn
    again until that side is at least `min_square` px."""
    cols, rows = pattern
    lo, right, bottom = -float(margin), cols + 1.0 + margin, rows + 1.0 + margin
    outline = np.array([[lo, lo], [right, lo], [right, bottom], [lo, bottom]])
    for _ in range(attempts):
        hn = camera_homography(rng, pattern, margin, _draw(rng, tilt), roll, distance)
        hm = _fit_to_image(rng, hn, outline, size, fill, pad)
        side = _shortest_square_side(hm, pattern)
        if side >= min_square:
            return hm, side
    raise ValueError(f"no pose of a {cols}x{rows} board in a {size[0]}x{size[1]} image "
                     f"keeps every square at least {min_square} px")


def _lighting(rng, w, h, strength):
    if strength <= 0:
        return np.float32(1.0)
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    gx, gy = rng.uniform(-strength, strength, 2)
    fx, fy = rng.uniform(0, w), rng.uniform(0, h)
    falloff = np.hypot(xs - fx, ys - fy) / np.hypot(w, h)
    return (1.0 + gx * (xs - w / 2) / w + gy * (ys - h / 2) / h
            - strength * falloff).clip(0.2, None).astype(np.float32)


def _order_key(grid):
    """The key markvane minimises over the grid's orderings: first row not
    running leftwards, rows advancing downwards, then the topmost and
    leftmost first corner (coordinates truncated at 1/1024 px)."""
    p0, pr, pc = (np.float32(grid[0, 0]), np.float32(grid[0, -1]), np.float32(grid[-1, 0]))
    a, b = pr - p0, pc - p0
    cross = np.float32(a[0] * b[1]) - np.float32(a[1] * b[0])
    return (int(pr[0] < p0[0]), int(cross < 0), int(np.trunc(p0[1] * np.float32(1024))),
            int(np.trunc(p0[0] * np.float32(1024))))


def grid_orderings(points, pattern):
    """Every ordering of a (rows * cols, 2) grid that is again a row-major
    cols x rows grid: the four flips, and their transposes for a square
    pattern. Returns a list of (rows * cols, 2) arrays."""
    cols, rows = pattern
    g = np.asarray(points, np.float64).reshape(rows, cols, 2)
    out = [g, g[::-1], g[:, ::-1], g[::-1, ::-1]]
    if cols == rows:
        out += [o.transpose(1, 0, 2) for o in out]
    return [o.reshape(-1, 2) for o in out]


def grid_order(points, pattern) -> np.ndarray:
    """The ordering of a grid of corners with the smallest order key (the
    first one on ties), as markvane orders its result."""
    cols, rows = pattern
    best = min(grid_orderings(points, pattern),
               key=lambda o: _order_key(o.reshape(rows, cols, 2)))
    return best
