"""Rendered ChArUco boards with exact ground truth.

`render_board_frame` draws a board with OpenCV's `CharucoBoard.generateImage`
and warps it into a camera frame under a random 3-D pose, then degrades the
frame the way real calibration shots are degraded: uneven light, blur, sensor
noise, JPEG and a partial occluder. It returns the frame with the true image
position of every interior chessboard corner, so detections can be scored
against the geometry rather than against another detector.

The warp is supersampled (4x4 per pixel), so the true positions are exact to a
small fraction of a pixel under the detector's pixel convention (the centre of
pixel (x, y) is at (x, y)). OpenCV is required.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

# Supersampling factor per axis of the warp.
_SS = 4

# Layouts drawn by `random_layout`: (squares_x, squares_y, marker/square).
LAYOUTS = ((5, 7, 0.75), (7, 5, 0.7), (8, 6, 0.75), (6, 8, 0.8), (11, 8, 0.7), (10, 14, 0.75), (4, 4, 0.7))
# Dictionaries drawn from, with their marker counts.
DICTIONARIES = {"DICT_4X4_50": 50, "DICT_5X5_100": 100, "DICT_6X6_250": 250, "DICT_4X4_1000": 1000,
                "DICT_APRILTAG_36h11": 587}


@dataclass
class BoardLayout:
    """One board layout, buildable in both libraries."""

    squares_x: int
    squares_y: int
    square_length: float
    marker_length: float
    dictionary: str
    legacy_pattern: bool = False
    ids: list | None = None

    def opencv(self):
        import cv2  # noqa: PLC0415

        d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, self.dictionary))
        ids = None if self.ids is None else np.asarray(self.ids, np.int32)
        board = cv2.aruco.CharucoBoard((self.squares_x, self.squares_y), self.square_length,
                                       self.marker_length, d, ids)
        board.setLegacyPattern(self.legacy_pattern)
        return board

    def markvane(self):
        import markvane  # noqa: PLC0415

        return markvane.CharucoBoard(self.squares_x, self.squares_y, self.square_length, self.marker_length,
                                     self.dictionary, ids=self.ids, legacy_pattern=self.legacy_pattern)

    def corner_grid(self) -> np.ndarray:
        """Interior corners in square units, row-major (the ChArUco id order)."""
        ys, xs = np.mgrid[1:self.squares_y, 1:self.squares_x]
        return np.stack([xs.ravel(), ys.ravel()], axis=1).astype(np.float64)


@dataclass
class BoardFrame:
    """A rendered frame and its truth."""

    image: np.ndarray
    layout: BoardLayout
    corners: np.ndarray  # true image position of every chessboard corner (ChArUco id order)
    visible: np.ndarray  # bool per corner: inside the frame and not under the occluder
    info: dict = field(default_factory=dict)


def random_layout(rng: np.random.Generator) -> BoardLayout:
    sx, sy, ratio = LAYOUTS[rng.integers(len(LAYOUTS))]
    fits = [name for name, count in DICTIONARIES.items() if count >= sx * sy // 2]
    dictionary = fits[rng.integers(len(fits))]
    legacy = bool(sy % 2 == 0 and rng.random() < 0.5)
    return BoardLayout(sx, sy, 1.0, ratio, dictionary, legacy)


def _rotation(rx: float, ry: float, rz: float) -> np.ndarray:
    cx, sx, cy, sy, cz, sz = np.cos(rx), np.sin(rx), np.cos(ry), np.sin(ry), np.cos(rz), np.sin(rz)
    mx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    my = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    mz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return mx @ my @ mz


def _board_to_frame(rng, layout, size, fill, tilt_deg):
    """Homography from board units (squares) to frame pixels, and the camera."""
    w, h = size
    f = w * rng.uniform(0.9, 1.3)
    k = np.array([[f, 0, (w - 1) / 2], [0, f, (h - 1) / 2], [0, 0, 1.0]])
    tilt = np.radians(tilt_deg)
    r = _rotation(rng.uniform(-tilt, tilt), rng.uniform(-tilt, tilt), rng.uniform(-np.pi, np.pi))
    # Distance so that the board's larger side spans about `fill` of the frame width.
    extent = max(layout.squares_x, layout.squares_y)
    z = f * extent / (fill * w)
    shift = rng.uniform(-0.25, 0.25, 2) * np.array([w, h]) * z / f
    centre = np.array([layout.squares_x / 2, layout.squares_y / 2, 0.0])
    t = np.array([shift[0], shift[1], z]) - r @ centre
    # Board point (u, v, 0) -> K (R [u v 0]^T + t).
    return k @ np.column_stack([r[:, 0], r[:, 1], t]), k


def _apply(hm, pts):
    p = np.c_[pts, np.ones(len(pts))] @ hm.T
    return p[:, :2] / p[:, 2:3]


def _warp_board(cv2, layout, hm, size, pps, margin):
    """Supersampled warp of the OpenCV board image into the frame (float32)."""
    w, h = size
    board = layout.opencv()
    art = board.generateImage((layout.squares_x * pps + 2 * margin, layout.squares_y * pps + 2 * margin),
                              marginSize=margin, borderBits=1)
    # Board units -> art pixels: the square edge at unit 0 lies between art
    # pixels margin - 1 and margin, i.e. at margin - 0.5.
    units_to_art = np.array([[pps, 0, margin - 0.5], [0, pps, margin - 0.5], [0, 0, 1.0]])
    frame_to_ss = np.array([[_SS, 0, (_SS - 1) / 2], [0, _SS, (_SS - 1) / 2], [0, 0, 1.0]])
    art_to_ss = frame_to_ss @ hm @ np.linalg.inv(units_to_art)
    inside = cv2.warpPerspective(np.full(art.shape, 255, np.uint8), art_to_ss, (w * _SS, h * _SS),
                                 flags=cv2.INTER_LINEAR, borderValue=0)
    warped = cv2.warpPerspective(art, art_to_ss, (w * _SS, h * _SS), flags=cv2.INTER_LINEAR, borderValue=0)
    shape = (h, _SS, w, _SS)
    cov = inside.reshape(shape).mean(axis=(1, 3), dtype=np.float32) / 255
    total = warped.reshape(shape).mean(axis=(1, 3), dtype=np.float32) / 255
    # Mean over the covered samples only (outside ones were drawn as 0).
    val = np.divide(total, cov, out=np.zeros_like(total), where=cov > 0)
    return val, cov


def _occluder(rng, corners, size):
    """A dark or light convex blob over part of the board; returns its polygon."""
    w, h = size
    anchor = corners[rng.integers(len(corners))]
    radius = rng.uniform(0.04, 0.12) * min(w, h)
    angles = np.sort(rng.uniform(0, 2 * np.pi, 7))
    radii = radius * rng.uniform(0.6, 1.4, 7)
    return anchor + np.stack([np.cos(angles) * radii, np.sin(angles) * radii], axis=1)


def render_board_frame(
    rng: np.random.Generator,
    size=(1280, 720),
    layout: BoardLayout | None = None,
    fill=(0.35, 0.9),
    tilt_deg: float = 55.0,
    blur=(0.0, 1.5),
    noise=(0.0, 6.0),
    jpeg=(60, 95),
    occlude: float = 0.5,
    light: float = 0.35,
) -> BoardFrame:
    """Render one board (`layout`, else a random one) into a `size` = (w, h) frame.

    - `fill`: range of the fraction of the frame width the board's larger side
      spans before tilting; `tilt_deg`: largest tilt out of the image plane about
      each axis (in-plane rotation is free).
    - `blur`, `noise`: ranges of the Gaussian blur sigma and the noise sigma.
    - `jpeg`: range of the JPEG quality, or None for no compression.
    - `occlude`: probability of a blob hiding part of the board.
    - `light`: strength of the uneven illumination (a gradient and a soft spot).
    """
    import cv2  # noqa: PLC0415

    w, h = size
    layout = layout or random_layout(rng)
    hm, _ = _board_to_frame(rng, layout, size, rng.uniform(*fill), tilt_deg)
    # Art resolution: at least as fine as the supersampled frame where the
    # board appears largest.
    ys, xs = np.mgrid[0:layout.squares_y + 1, 0:layout.squares_x + 1]
    grid = _apply(hm, np.stack([xs.ravel(), ys.ravel()], axis=1).astype(np.float64))
    grid = grid.reshape(layout.squares_y + 1, layout.squares_x + 1, 2)
    square_px = max(np.linalg.norm(np.diff(grid, axis=0), axis=2).max(),
                    np.linalg.norm(np.diff(grid, axis=1), axis=2).max())
    pps = int(np.clip(square_px * _SS * 1.5, 24, 320))
    val, cov = _warp_board(cv2, layout, hm, size, pps, margin=pps // 2)

    paper = rng.uniform(175, 240)
    ink = rng.uniform(10, 60)
    background = rng.uniform(40, 200)
    img = background * (1 - cov) + (ink + (paper - ink) * val) * cov

    corners = _apply(hm, layout.corner_grid())
    visible = (corners[:, 0] > 3) & (corners[:, 0] < w - 4) & (corners[:, 1] > 3) & (corners[:, 1] < h - 4)
    info = {"square_px": float(square_px)}
    if rng.random() < occlude:
        poly = _occluder(rng, corners, size)
        mask = np.zeros((h, w), np.uint8)
        cv2.fillPoly(mask, [np.round(poly * 16).astype(np.int32)], 255, lineType=cv2.LINE_AA, shift=4)
        shade = rng.choice([rng.uniform(10, 60), rng.uniform(180, 250)])
        alpha = mask.astype(np.float32) / 255
        img = img * (1 - alpha) + shade * alpha
        grown = cv2.dilate(mask, np.ones((9, 9), np.uint8))
        xi = np.clip(np.round(corners[:, 0]).astype(int), 0, w - 1)
        yi = np.clip(np.round(corners[:, 1]).astype(int), 0, h - 1)
        visible &= grown[yi, xi] == 0
        info["occluder"] = poly

    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    gx, gy = rng.uniform(-light, light, 2)
    spot_x, spot_y = rng.uniform(0, w), rng.uniform(0, h)
    spot = np.exp(-((xs - spot_x) ** 2 + (ys - spot_y) ** 2) / (2 * (0.35 * w) ** 2))
    img = img * (1 + gx * (xs / w - 0.5) + gy * (ys / h - 0.5)) * (1 - light / 2 + light * spot)

    sigma = _draw(rng, blur)
    if sigma > 0:
        img = cv2.GaussianBlur(img, (0, 0), sigmaX=sigma, sigmaY=sigma, borderType=cv2.BORDER_REFLECT_101)
    img = img + rng.normal(0.0, _draw(rng, noise), img.shape).astype(np.float32)
    out = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    if jpeg is not None:
        quality = int(_draw(rng, jpeg))
        ok, buf = cv2.imencode(".jpg", out, [cv2.IMWRITE_JPEG_QUALITY, quality])
        out = cv2.imdecode(buf, cv2.IMREAD_GRAYSCALE)
        info["jpeg"] = quality
    info["blur"] = sigma
    return BoardFrame(out, layout, corners, visible, info)


def _draw(rng, value_or_range) -> float:
    if np.isscalar(value_or_range):
        return float(value_or_range)
    lo, hi = value_or_range
    return float(rng.uniform(lo, hi))


@dataclass
class BoardScore:
    """Reported corners of one frame against the truth."""

    visible: int  # truth corners that are in the frame and not occluded
    found: int  # visible corners reported with their id within `tol`
    wrong: int  # reported corners whose true position is more than `tol` away
    errors: list  # distance to the truth of every reported corner with a valid id


def score_corners(frame: BoardFrame, corners, ids, tol: float = 1.0) -> BoardScore:
    """`corners`/`ids` as markvane returns them or as OpenCV does (Nx1x2, Nx1, or None)."""
    ids = [] if ids is None else [int(i) for i in np.asarray(ids).ravel()]
    pts = np.asarray(corners if corners is not None else [], np.float64).reshape(-1, 2)
    found = wrong = 0
    errors = []
    for i, p in zip(ids, pts):
        if not 0 <= i < len(frame.corners):
            wrong += 1
            continue
        e = float(np.linalg.norm(p - frame.corners[i]))
        errors.append(e)
        if e > tol:
            wrong += 1
        elif frame.visible[i]:
            found += 1
    return BoardScore(int(frame.visible.sum()), found, wrong, errors)
