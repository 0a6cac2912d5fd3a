"""Synthetic marker scenes with exact ground truth.

`render_scene` draws a handful of markers into a lit, noisy background under
random in-plane rotation and mild perspective, and returns the image together
with the true corner positions. It is the common input of the demo, the
benchmark and the agreement tests.

Rendering is done by inverse mapping with area supersampling, so the returned
corners are exact to a small fraction of a pixel under the detector's pixel
convention (the centre of pixel (x, y) is at (x, y)). OpenCV is used when it is
installed (marker bit patterns from its published tables, warping, blur); the
pure-NumPy path needs nothing else and draws DICT_4X4_50 markers from the
small table below, so the demo runs with only NumPy and markvane installed.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# First codes of DICT_4X4_50 (inner 4x4 cells, row-major, 1 = white), copied
# from the published ArUco table. Enough for the demo without OpenCV.
_DICT_4X4_50_HEAD = (
    "1011010100110010",  # 0
    "0000111110011010",  # 1
    "0011001100101101",  # 2
    "1001100101000110",  # 3
    "0101010010011110",  # 4
    "0111100111001101",  # 5
    "1001111000101110",  # 6
    "1100010011110010",  # 7
    "1111111011011010",  # 8
    "1100111101010110",  # 9
    "1111100110010001",  # 10
    "0001000110100111",  # 11
    "0000111010110111",  # 12
    "0010101000001111",  # 13
    "0010010010110001",  # 14
    "0010011000111110",  # 15
)

# Supersampling factor per axis; 4x4 samples per pixel keep the rendered edge
# position within ~1/8 px of the geometric one.
_SS = 4


def _cv2_or_none(use_cv2):
    if use_cv2 is False:
        return None
    try:
        import cv2  # noqa: PLC0415
    except ImportError:
        if use_cv2:
            raise
        return None
    return cv2


def marker_cells(dictionary: str, marker_id: int, use_cv2=None) -> np.ndarray:
    """Cell pattern of one marker including its one-cell black border.

    Returns an (n+2)x(n+2) uint8 array of 0 (black) and 1 (white), top row
    first, as the marker is printed.
    """
    cv2 = _cv2_or_none(use_cv2)
    if cv2 is not None:
        d = cv2.aruco.getPredefinedDictionary(_cv2_dict_id(cv2, dictionary))
        n = d.markerSize
        img = cv2.aruco.generateImageMarker(d, int(marker_id), n + 2, borderBits=1)
        return (img > 127).astype(np.uint8)
    if _normalise_name(dictionary) != "DICT_4X4_50":
        raise ValueError(
            f"rendering {dictionary!r} needs OpenCV; without it only DICT_4X4_50 is available"
        )
    if not 0 <= marker_id < len(_DICT_4X4_50_HEAD):
        raise ValueError(
            f"without OpenCV only ids 0-{len(_DICT_4X4_50_HEAD) - 1} of DICT_4X4_50 can be drawn"
        )
    inner = np.array([int(c) for c in _DICT_4X4_50_HEAD[marker_id]], np.uint8).reshape(4, 4)
    cells = np.zeros((6, 6), np.uint8)
    cells[1:5, 1:5] = inner
    return cells


def available_ids(dictionary: str, use_cv2=None) -> int:
    """Number of ids `render_scene` can draw for `dictionary`."""
    cv2 = _cv2_or_none(use_cv2)
    if cv2 is not None:
        d = cv2.aruco.getPredefinedDictionary(_cv2_dict_id(cv2, dictionary))
        return int(d.bytesList.shape[0])
    return len(_DICT_4X4_50_HEAD) if _normalise_name(dictionary) == "DICT_4X4_50" else 0


def _normalise_name(name: str) -> str:
    up = name.upper()
    return up if up.startswith("DICT_") else "DICT_" + up


def _cv2_dict_id(cv2, name: str) -> int:
    key = _normalise_name(name)
    # OpenCV exposes the AprilTag / MIP names in both spellings (36h11, 36H11).
    if hasattr(cv2.aruco, key):
        return getattr(cv2.aruco, key)
    raise ValueError(f"unknown dictionary: {name}")


def homography(src: np.ndarray, dst: np.ndarray) -> np.ndarray:
    """3x3 homography mapping four src points onto four dst points (double)."""
    a = np.zeros((8, 8))
    b = np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src, dst)):
        a[2 * i] = [x, y, 1, 0, 0, 0, -u * x, -u * y]
        a[2 * i + 1] = [0, 0, 0, x, y, 1, -v * x, -v * y]
        b[2 * i], b[2 * i + 1] = u, v
    h = np.linalg.solve(a, b)
    return np.append(h, 1.0).reshape(3, 3)


def _apply_h(h: np.ndarray, pts: np.ndarray) -> np.ndarray:
    p = np.c_[pts, np.ones(len(pts))] @ h.T
    return p[:, :2] / p[:, 2:3]


def _sample_cells(cells, h_inv, x0, y0, bw, bh, use_cv2):
    """Render `cells` (value per cell, -1 = outside) into a bw x bh box at (x0, y0).

    Returns (value, coverage): the mean cell value and the covered fraction of
    each pixel, both float32 of shape (bh, bw). `h_inv` maps image points to
    cell coordinates, where cell (i, j) spans [j, j+1] x [i, i+1].
    """
    cv2 = _cv2_or_none(use_cv2)
    # Sub-sample k of pixel x sits at x - 0.5 + (k + 0.5) / _SS.
    off = (np.arange(_SS) + 0.5) / _SS - 0.5
    if cv2 is not None:
        # Map supersampled-box pixel (i, j) to image point, then to cells;
        # OpenCV's nearest lookup rounds, so shift by half a cell to floor.
        s = np.array([[1.0 / _SS, 0, x0 + off[0]], [0, 1.0 / _SS, y0 + off[0]], [0, 0, 1]])
        shift = np.array([[1.0, 0, -0.5], [0, 1.0, -0.5], [0, 0, 1]])
        m = shift @ h_inv @ s
        src = (cells.astype(np.int16) + 1).astype(np.uint8)  # 0 = outside
        warped = cv2.warpPerspective(
            src, m, (bw * _SS, bh * _SS),
            flags=cv2.INTER_NEAREST | cv2.WARP_INVERSE_MAP,
            borderMode=cv2.BORDER_CONSTANT, borderValue=0,
        )
        inside = warped > 0
        val = np.where(inside, warped.astype(np.float32) - 1, 0)
    else:
        xs = x0 + (np.arange(bw)[:, None] + off[None, :]).ravel()
        ys = y0 + (np.arange(bh)[:, None] + off[None, :]).ravel()
        gx, gy = np.meshgrid(xs, ys)
        p = np.stack([gx.ravel(), gy.ravel(), np.ones(gx.size)])
        q = h_inv @ p
        u = np.floor(q[0] / q[2]).astype(np.int64)
        v = np.floor(q[1] / q[2]).astype(np.int64)
        n_r, n_c = cells.shape
        inside = (u >= 0) & (u < n_c) & (v >= 0) & (v < n_r)
        val = np.zeros(u.shape, np.float32)
        val[inside] = cells[v[inside], u[inside]]
        inside = inside.reshape(bh * _SS, bw * _SS)
        val = val.reshape(bh * _SS, bw * _SS)
    cov = inside.reshape(bh, _SS, bw, _SS).mean(axis=(1, 3), dtype=np.float32)
    tot = val.reshape(bh, _SS, bw, _SS).sum(axis=(1, 3), dtype=np.float32)
    mean = np.divide(tot, cov * (_SS * _SS), out=np.zeros_like(tot), where=cov > 0)
    return mean, cov


def gaussian_blur(img: np.ndarray, sigma: float, use_cv2=None) -> np.ndarray:
    """Separable Gaussian blur of a float image with reflected borders."""
    if sigma <= 0:
        return img
    cv2 = _cv2_or_none(use_cv2)
    if cv2 is not None:
        return cv2.GaussianBlur(img, (0, 0), sigmaX=sigma, sigmaY=sigma,
                                borderType=cv2.BORDER_REFLECT_101)
    r = max(1, int(np.ceil(3 * sigma)))
    t = np.arange(-r, r + 1, dtype=np.float64)
    k = np.exp(-0.5 * (t / sigma) ** 2)
    k /= k.sum()
    out = img.astype(np.float32)
    for axis in (0, 1):
        pad = [(0, 0), (0, 0)]
        pad[axis] = (r, r)
        p = np.pad(out, pad, mode="reflect")
        acc = np.zeros_like(out)
        for i, w in enumerate(k):
            sl = [slice(None), slice(None)]
            sl[axis] = slice(i, i + out.shape[axis])
            acc += np.float32(w) * p[tuple(sl)]
        out = acc
    return out


def render_scene(
    rng: np.random.Generator,
    size=(640, 480),
    dictionary: str = "DICT_4X4_50",
    n_markers: int = 8,
    marker_px=(40, 120),
    blur=(0.0, 1.2),
    noise=(0.0, 6.0),
    perspective: bool | float = True,
    color: bool = False,
    clutter: int = 0,
    background=(150, 215),
    ids=None,
    use_cv2=None,
    jpeg=None,
):
    """Render markers of `dictionary` into a `size` = (width, height) image.

    - `marker_px`: range of the marker side in pixels (outer edge of the black
      border); every side of the projected quad is at least `marker_px[0]`.
    - `blur`, `noise`: ranges (or fixed numbers) of the Gaussian blur sigma and
      the additive noise sigma in gray levels; one value is drawn per scene.
    - `perspective`: True for a mild random perspective (corners moved by up
      to 12% of the side), a float for another fraction, False for none.
    - `clutter`: number of random dark rectangles drawn behind the markers, to
      give the detector candidates that must be rejected.
    - `background`: range (or value) of the gray level around the markers,
      or None for the level of the markers' white cells (205-245). A darker
      surround (the default) makes each white quiet zone a visible square, as
      with prints lying on a table.
    - `ids`: explicit ids to draw (else distinct random ids).
    - `jpeg`: a JPEG quality (or range) to pass the frame through (needs
      OpenCV), or None to leave it uncompressed.

    Markers get a white quiet zone of one cell, never overlap and keep at
    least 8 px from the image edge. Fewer than `n_markers` are drawn when the
    image has no room for more. Returns `(image, truth)`: a uint8 HxW (or
    HxWx3 BGR when `color`) image and a list of `(id, corners)` with corners a
    4x2 float64 array ordered from the printed top-left corner, clockwise in
    the image.
    """
    w, h = int(size[0]), int(size[1])
    persp = 0.12 if perspective is True else float(perspective or 0.0)
    blur_sigma = _draw(rng, blur)
    noise_sigma = _draw(rng, noise)

    # Background: mid-bright paper under a linear lighting gradient.
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    dark, bright = rng.uniform(15, 55), rng.uniform(205, 245)
    base = bright if background is None else _draw(rng, background)
    gx, gy = rng.uniform(-0.25, 0.25, 2)
    light = 1.0 + gx * (xs - w / 2) / w + gy * (ys - h / 2) / h
    canvas = np.full((h, w), base, np.float32)
    for _ in range(clutter):
        cw, ch = rng.integers(10, max(11, w // 6)), rng.integers(10, max(11, h // 6))
        cx, cy = rng.integers(0, max(1, w - cw)), rng.integers(0, max(1, h - ch))
        canvas[cy:cy + ch, cx:cx + cw] = rng.uniform(30, 120)

    n_avail = available_ids(dictionary, use_cv2)
    if n_avail == 0:
        raise ValueError(f"cannot draw {dictionary!r} markers without OpenCV")
    if ids is None:
        ids = rng.choice(n_avail, size=min(n_markers, n_avail), replace=False)
    ids = [int(i) for i in ids]

    boxes = []
    truth = []
    for marker_id in ids:
        cells = marker_cells(dictionary, marker_id, use_cv2)
        nc = cells.shape[0] + 2  # with quiet zone
        quiet = np.ones((nc, nc), np.uint8)
        quiet[1:-1, 1:-1] = cells
        placed = _place(rng, w, h, nc, marker_px, persp, boxes)
        if placed is None:
            continue
        hm, box = placed
        boxes.append(box)
        x0, y0, x1, y1 = box
        h_inv = np.linalg.inv(hm)
        val, cov = _sample_cells(quiet, h_inv, x0, y0, x1 - x0, y1 - y0, use_cv2)
        shade = dark + (bright - dark) * val
        region = canvas[y0:y1, x0:x1]
        canvas[y0:y1, x0:x1] = region * (1 - cov) + shade * cov
        corners = _apply_h(hm, np.array([[1, 1], [nc - 1, 1], [nc - 1, nc - 1], [1, nc - 1]], float))
        truth.append((marker_id, corners))

    img = canvas * light
    img = gaussian_blur(img, blur_sigma, use_cv2)
    if color:
        tint = rng.uniform(0.85, 1.15, 3).astype(np.float32)
        img = img[:, :, None] * tint[None, None, :]
    if noise_sigma > 0:
        img = img + rng.normal(0.0, noise_sigma, img.shape).astype(np.float32)
    out = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    if jpeg is not None:
        out = jpeg_roundtrip(out, int(round(_draw(rng, jpeg))))
    return out, truth


def jpeg_roundtrip(image: np.ndarray, quality: int) -> np.ndarray:
    """The image after JPEG compression at `quality` (OpenCV's codec)."""
    import cv2  # noqa: PLC0415

    ok, buf = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    if not ok:
        raise ValueError("JPEG encoding failed")
    return cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)


def _draw(rng, value_or_range) -> float:
    """A fixed value, or a uniform draw from a (lo, hi) range."""
    if np.isscalar(value_or_range):
        return float(value_or_range)
    lo, hi = value_or_range
    return float(rng.uniform(lo, hi))


def _place(rng, w, h, nc, marker_px, persp, boxes, attempts=60):
    """Pick a non-overlapping pose; returns (cells->image homography, box)."""
    lo, hi = marker_px
    margin = 8
    for _ in range(attempts):
        side = rng.uniform(lo, hi)
        # Cell coordinates [0, nc] include the quiet zone; the marker spans [1, nc-1].
        full = side * nc / (nc - 2)
        theta = rng.uniform(0, 2 * np.pi)
        c, s = np.cos(theta), np.sin(theta)
        half = full / 2 * (1 + persp)
        reach = half * np.sqrt(2)
        if 2 * reach + 2 * margin >= min(w, h):
            continue
        cx = rng.uniform(reach + margin, w - reach - margin)
        cy = rng.uniform(reach + margin, h - reach - margin)
        sq = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], float) * (full / 2)
        quad = sq @ np.array([[c, s], [-s, c]]) + [cx, cy]
        quad += rng.uniform(-persp, persp, (4, 2)) * side
        hm = homography(np.array([[0, 0], [nc, 0], [nc, nc], [0, nc]], float), quad)
        inner = _apply_h(hm, np.array([[1, 1], [nc - 1, 1], [nc - 1, nc - 1], [1, nc - 1]], float))
        sides = np.linalg.norm(inner - np.roll(inner, -1, axis=0), axis=1)
        if sides.min() < lo or not _convex_cw(quad):
            continue
        x0 = int(np.floor(quad[:, 0].min())) - 2
        y0 = int(np.floor(quad[:, 1].min())) - 2
        x1 = int(np.ceil(quad[:, 0].max())) + 3
        y1 = int(np.ceil(quad[:, 1].max())) + 3
        if x0 < margin or y0 < margin or x1 > w - margin or y1 > h - margin:
            continue
        if any(x0 < bx1 + 4 and bx0 < x1 + 4 and y0 < by1 + 4 and by0 < y1 + 4
               for bx0, by0, bx1, by1 in boxes):
            continue
        return hm, (x0, y0, x1, y1)
    return None


def _convex_cw(q) -> bool:
    d = np.roll(q, -1, axis=0) - q
    cross = d[:, 0] * np.roll(d, -1, axis=0)[:, 1] - d[:, 1] * np.roll(d, -1, axis=0)[:, 0]
    return bool(np.all(cross > 0))


@dataclass
class Score:
    """Detections of one scene compared with its truth."""

    found: dict  # id -> (detected 4x2, true 4x2), position and order correct
    missed: list  # true ids not detected (or detected elsewhere)
    foreign: list  # detected ids that are not in the scene
    misplaced: list  # ids in the scene reported with wrong corners / order

    def max_corner_error(self) -> float:
        errs = [np.abs(d - t).max() for d, t in self.found.values()]
        return float(max(errs)) if errs else 0.0

    def mean_corner_error(self) -> float:
        errs = [np.linalg.norm(d - t, axis=1) for d, t in self.found.values()]
        return float(np.mean(np.concatenate(errs))) if errs else 0.0


def score(corners, ids, truth, tol: float = 2.0) -> Score:
    """Match detections to the truth by id; corners must agree within `tol` px.

    `corners` may be a markvane list (markers x 4 x [x, y]) or OpenCV's tuple
    of 1x4x2 arrays; `ids` a list or OpenCV's Nx1 array (or None).
    """
    ids = [] if ids is None else [int(i) for i in np.asarray(ids).ravel()]
    dets = [np.asarray(c, np.float64).reshape(4, 2) for c in corners]
    true = {i: c for i, c in truth}
    found, misplaced, foreign = {}, [], []
    for i, c in zip(ids, dets):
        if i not in true:
            foreign.append(i)
        elif np.abs(c - true[i]).max() <= tol:
            found[i] = (c, true[i])
        else:
            misplaced.append(i)
    missed = [i for i in true if i not in found]
    return Score(found, missed, foreign, misplaced)


CLUTTER_KINDS = ("rectangles", "outlines", "lines", "texture", "mixed")


def render_clutter(
    rng: np.random.Generator,
    size=(640, 480),
    kind: str = "mixed",
    n_shapes: int = 12,
    noise=(2.0, 10.0),
    blur=(0.0, 1.2),
):
    """A frame without any marker: shapes that look like candidates, and noise.

    Every outline a marker detector traces in such a frame is a false candidate,
    so anything it reports is a false marker. `kind` chooses the shapes:

    - "rectangles": flat dark and light rectangles under random rotation, the
      dark ones on a light background and a few light ones inside dark ones;
    - "outlines": empty rectangle outlines (a frame of ink with nothing inside,
      the shape of a marker's border with no code);
    - "lines": straight strokes of random width, crossing one another;
    - "texture": blurred random blobs at several scales (wood, carpet, foliage);
    - "mixed": some of each.

    `noise` and `blur` are ranges (or fixed numbers) of the Gaussian noise sigma
    in gray levels and the blur sigma in pixels, one draw per frame. Returns a
    uint8 HxW image.
    """
    if kind not in CLUTTER_KINDS:
        raise ValueError(f"kind must be one of {CLUTTER_KINDS}, got {kind!r}")
    w, h = int(size[0]), int(size[1])
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    canvas = np.full((h, w), rng.uniform(150, 235), np.float32)
    kinds = ["rectangles", "outlines", "lines", "texture"] if kind == "mixed" else [kind]
    for k, part in enumerate(kinds):
        count = max(1, n_shapes // len(kinds) + (k < n_shapes % len(kinds)))
        if part == "texture":
            _draw_texture(rng, canvas)
        else:
            for _ in range(count):
                _draw_shape(rng, canvas, xs, ys, part)
    gx, gy = rng.uniform(-0.2, 0.2, 2)
    canvas *= 1.0 + gx * (xs - w / 2) / w + gy * (ys - h / 2) / h
    canvas = gaussian_blur(canvas, _draw(rng, blur))
    sigma = _draw(rng, noise)
    if sigma > 0:
        canvas += rng.normal(0.0, sigma, canvas.shape).astype(np.float32)
    return np.clip(np.rint(canvas), 0, 255).astype(np.uint8)


def _rotated_box(xs, ys, cx, cy, half_w, half_h, theta):
    """Signed distance-like field: max(|u| - half_w, |v| - half_h) in the box frame."""
    c, s = np.cos(theta), np.sin(theta)
    u = (xs - cx) * c + (ys - cy) * s
    v = -(xs - cx) * s + (ys - cy) * c
    return np.maximum(np.abs(u) - half_w, np.abs(v) - half_h)


def _draw_shape(rng, canvas, xs, ys, part):
    h, w = canvas.shape
    side = rng.uniform(20, min(w, h) / 3)
    cx, cy = rng.uniform(0, w), rng.uniform(0, h)
    theta = rng.uniform(0, np.pi)
    half_w, half_h = side / 2, side / 2 * rng.uniform(0.6, 1.4)
    field = _rotated_box(xs, ys, cx, cy, half_w, half_h, theta)
    dark = rng.uniform(15, 110)
    if part == "rectangles":
        canvas[field <= 0] = dark
        if rng.random() < 0.3:  # a light patch inside the dark one
            inner = _rotated_box(xs, ys, cx, cy, half_w * 0.5, half_h * 0.5, theta)
            canvas[inner <= 0] = rng.uniform(170, 245)
    elif part == "outlines":
        width = max(2.0, side * rng.uniform(0.08, 0.2))
        canvas[(field <= 0) & (field > -width)] = dark
    else:  # a stroke: a long thin box
        length, width = rng.uniform(40, max(w, h) / 2), rng.uniform(2, 12)
        stroke = _rotated_box(xs, ys, cx, cy, length / 2, width / 2, theta)
        canvas[stroke <= 0] = dark


def _draw_texture(rng, canvas):
    """Blurred noise at a few scales, stretched to a strong contrast."""
    h, w = canvas.shape
    tex = np.zeros((h, w), np.float32)
    for scale in (2.0, 5.0, 12.0):
        tex += gaussian_blur(rng.normal(0, 1, (h, w)).astype(np.float32), scale) * scale
    tex = (tex - tex.mean()) / (tex.std() + 1e-6)
    mask = np.zeros((h, w), bool)
    x0, y0 = rng.integers(0, w // 2), rng.integers(0, h // 2)
    mask[y0:y0 + rng.integers(h // 4, h // 2), x0:x0 + rng.integers(w // 4, w // 2)] = True
    canvas[mask] = np.clip(128 + 70 * tex[mask], 0, 255)
