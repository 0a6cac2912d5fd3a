"""Printable targets: single markers, grids of markers and ChArUco boards.

Every target comes two ways:

- as a uint8 grayscale image, pixel-exact (`marker_image`, `grid_board_image`,
  `charuco_board_image`): black 0, white 255, each marker cell a block of whole
  pixels, laid out the way OpenCV's image generators lay it out, so a target
  drawn here and one drawn by OpenCV can be compared pixel for pixel;
- as SVG at true size (`marker_svg`, `grid_board_svg`, `charuco_board_svg`):
  width and height in millimetres, black shapes merged into one path, and a
  caption under the quiet zone naming the dictionary, the ids and the printed
  size, so a sheet found in a drawer months later still says what it is.

The marker codes come from `dictionary_codes.npz` beside this file (written by
tools/gen_dictionaries.py from the same tables as the extension), so only NumPy
is needed.

A pixel x of an image covers [x, x + 1) in the layout coordinates used below
(for the detector, its centre is at x + 0.5 of these, which is x in its own
convention). Where a length does not fall on whole pixels, pixel x belongs to
cell floor(x * cells / side) of a marker, and board features start and end at
the nearest pixel edge of their exact position.
"""

from __future__ import annotations

import functools
import importlib.resources
import math
import numbers
from dataclasses import dataclass
from xml.sax.saxutils import escape

import numpy as np

__all__ = [
    "marker_image", "grid_board_image", "charuco_board_image",
    "marker_svg", "grid_board_svg", "charuco_board_svg",
]

_CODES_FILE = "dictionary_codes.npz"
_PREFIX = "DICT_"


# ---- dictionaries --------------------------------------------------------------

@dataclass(frozen=True)
class _Dictionary:
    name: str          # as the module lists it
    marker_size: int   # inner cells per side
    codes: np.ndarray  # (ids, ceil(n*n/8)) uint8, rotation 0


@functools.lru_cache(maxsize=None)
def _dictionaries() -> dict[str, _Dictionary]:
    """Every dictionary keyed by its upper-case name without the DICT_ prefix."""
    with importlib.resources.files(__package__).joinpath(_CODES_FILE).open("rb") as f:
        with np.load(f, allow_pickle=False) as data:
            names = [str(s) for s in data["names"]]
            sizes = [int(n) for n in data["marker_sizes"]]
            out = {}
            for name, n in zip(names, sizes):
                codes = np.array(data[name])
                codes.setflags(write=False)
                out[_key(name)] = _Dictionary(name, n, codes)
    return out


def _ascii_upper(s: str) -> str:
    # The extension upper-cases ASCII letters only; str.upper would also fold
    # some non-ASCII letters onto ASCII ones and accept names it refuses.
    return s.translate(_UPPER)


_UPPER = {c: c - 32 for c in range(ord("a"), ord("z") + 1)}


def _key(name: str) -> str:
    up = _ascii_upper(name)
    return up[len(_PREFIX):] if up.startswith(_PREFIX) else up


def _dictionary(name) -> _Dictionary:
    """The dictionary called `name`, looked up as the extension does: case
    folded, the DICT_ prefix optional."""
    if not isinstance(name, str):
        raise TypeError(f"dictionary must be a name (str), not {type(name).__name__}")
    d = _dictionaries().get(_key(name))
    if d is None:
        known = ", ".join(v.name for v in _dictionaries().values())
        raise ValueError(f"unknown dictionary {name!r}; known: {known}")
    return d


def _cells(d: _Dictionary, marker_id: int, border_bits: int = 1) -> np.ndarray:
    """(n + 2b) square uint8 matrix of one marker as printed: 1 white, 0 black."""
    n = d.marker_size
    bits = np.unpackbits(d.codes[marker_id])
    # The last byte holds the leftover cells right-aligned.
    pad = 8 * d.codes.shape[1] - n * n
    inner = np.concatenate([bits[:-8], bits[-8:][pad:]]).reshape(n, n)
    out = np.zeros((n + 2 * border_bits,) * 2, np.uint8)
    out[border_bits:border_bits + n, border_bits:border_bits + n] = inner
    return out


# ---- argument checks ----------------------------------------------------------------

def _int(name: str, value, minimum: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    value = int(value)
    if minimum is not None and value < minimum:
        if minimum == 0:
            raise ValueError(f"{name} must not be negative, got {value}")
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def _length(name: str, value, allow_zero: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        need = "a finite length, not negative" if allow_zero else "a finite length above 0"
        raise ValueError(f"{name} must be {need}, got {value}")
    return value


def _marker_id(d: _Dictionary, value, name: str = "marker_id") -> int:
    i = _int(name, value)
    if not 0 <= i < len(d.codes):
        raise ValueError(f"{name} {i} is out of range for {d.name} (ids 0-{len(d.codes) - 1})")
    return i


def _id_list(d: _Dictionary, ids, count: int) -> list[int]:
    if ids is None:
        if count > len(d.codes):
            raise ValueError(f"{count} markers need more ids than {d.name} has ({len(d.codes)})")
        return list(range(count))
    if isinstance(ids, (str, bytes)):
        raise TypeError("ids must be a sequence of integers")
    try:
        items = list(np.asarray(ids).ravel()) if isinstance(ids, np.ndarray) else list(ids)
    except TypeError:
        raise TypeError(f"ids must be a sequence of integers, not {type(ids).__name__}") from None
    if len(items) != count:
        raise ValueError(f"ids holds {len(items)} values; the layout has {count} markers")
    return [_marker_id(d, v, "id") for v in items]


def _min_px(name: str, value: int, cells: int, what: str) -> None:
    if value < cells:
        raise ValueError(f"{name} must be at least {cells} (one pixel per cell of {what}), got {value}")


# ---- pixel images -----------------------------------------------------------------

def _scaled(cells: np.ndarray, side: int) -> np.ndarray:
    """`cells` drawn `side` pixels square: pixel x shows cell x * cells // side,
    which is what nearest-neighbour upscaling (and OpenCV's marker drawing) gives."""
    idx = np.arange(side) * cells.shape[0] // side
    return (cells[np.ix_(idx, idx)] * 255).astype(np.uint8)


def _pad(image: np.ndarray, quiet: int) -> np.ndarray:
    return np.pad(image, quiet, constant_values=255) if quiet else image


def marker_image(dictionary, marker_id, side_px=200, border_bits=1, quiet_zone_px=0) -> np.ndarray:
    """One marker as a uint8 grayscale image (0 black, 255 white).

    The marker, black border included, is `side_px` pixels square; with a side
    that is a multiple of the cell count (marker size + 2 * border_bits) every
    cell is an exact block of pixels. `quiet_zone_px` white pixels surround it.
    Without a quiet zone the outer border touches the image edge: put the
    marker on a white background before detecting it.
    """
    d = _dictionary(dictionary)
    marker_id = _marker_id(d, marker_id)
    border_bits = _int("border_bits", border_bits, 1)
    side_px = _int("side_px", side_px)
    quiet = _int("quiet_zone_px", quiet_zone_px, 0)
    cells = _cells(d, marker_id, border_bits)
    _min_px("side_px", side_px, cells.shape[0], f"a {d.name} marker with border_bits={border_bits}")
    return _pad(_scaled(cells, side_px), quiet)


def grid_board_image(dictionary, markers_x, markers_y, marker_px, separation_px, ids=None,
                     quiet_zone_px=None) -> np.ndarray:
    """A grid of markers as a uint8 grayscale image.

    `markers_x` columns by `markers_y` rows of `marker_px`-pixel markers,
    `separation_px` white pixels apart; `ids` (default 0, 1, ...) run row by
    row from the top-left. `quiet_zone_px` defaults to the separation, and to
    at least one marker cell, so the outer markers stand on white too.
    """
    d = _dictionary(dictionary)
    mx = _int("markers_x", markers_x, 1)
    my = _int("markers_y", markers_y, 1)
    marker_px = _int("marker_px", marker_px)
    sep = _int("separation_px", separation_px, 0)
    cells = d.marker_size + 2
    _min_px("marker_px", marker_px, cells, f"a {d.name} marker")
    id_list = _id_list(d, ids, mx * my)
    if quiet_zone_px is None:
        quiet = max(sep, -(-marker_px // cells))
    else:
        quiet = _int("quiet_zone_px", quiet_zone_px, 0)

    pitch = marker_px + sep
    out = np.full((my * pitch - sep + 2 * quiet, mx * pitch - sep + 2 * quiet), 255, np.uint8)
    for k, marker_id in enumerate(id_list):
        y = quiet + (k // mx) * pitch
        x = quiet + (k % mx) * pitch
        out[y:y + marker_px, x:x + marker_px] = _scaled(_cells(d, marker_id), marker_px)
    return out


# ---- ChArUco layout ----------------------------------------------------------------

@dataclass(frozen=True)
class _Charuco:
    squares_x: int
    squares_y: int
    square_length: float
    marker_length: float
    dictionary: _Dictionary
    legacy_pattern: bool
    ids: tuple
    markers: tuple  # (row, col) of the square carrying each marker, in placement order

    def black(self, row: int, col: int) -> bool:
        return (row + col) % 2 != _marker_parity(self.squares_y, self.legacy_pattern)


def _marker_parity(squares_y: int, legacy_pattern: bool) -> int:
    # Markers sit in the squares with (row + col) % 2 == parity: normally the
    # odd ones; the legacy layout of boards with an even number of rows starts
    # with a marker in the top-left square.
    return 0 if legacy_pattern and squares_y % 2 == 0 else 1


def _charuco(board) -> _Charuco:
    """The layout of a markvane.CharucoBoard, from its own attributes."""
    try:
        sx, sy = int(board.squares_x), int(board.squares_y)
        square, ml = float(board.square_length), float(board.marker_length)
        name, legacy = board.dictionary, bool(board.legacy_pattern)
        ids = tuple(int(i) for i in board.ids)
    except AttributeError:
        raise TypeError(f"board must be a markvane.CharucoBoard, not {type(board).__name__}") from None
    if sx < 2 or sy < 2:
        raise ValueError("the board has no interior chessboard corners (it needs at least 2x2 squares)")
    if not square > 0 or not math.isfinite(square):
        raise ValueError("the board's square length must be finite and above 0 to be drawn")
    ml = _length("marker_length", ml)
    if ml >= square:
        raise ValueError(f"marker_length ({ml:g}) must be below the square length ({square:g})")
    d = _dictionary(name)
    parity = _marker_parity(sy, legacy)
    markers = tuple((r, c) for r in range(sy) for c in range(sx) if (r + c) % 2 == parity)
    for i in ids:
        _marker_id(d, i, "board id")
    return _Charuco(sx, sy, square, ml, d, legacy, ids, markers)


def _nearest_edge(v: float) -> int:
    """The pixel edge nearest to position v, halves going up. Positions that
    are whole or half pixels up to float noise count as exactly that, so a
    marker whose exact size is whole pixels is drawn that size even when its
    edges fall on pixel middles."""
    half = round(2 * v)
    if abs(2 * v - half) < 1e-6:
        v = half / 2
    return math.floor(v + 0.5)


def charuco_board_image(board, square_px, quiet_zone_px=None) -> np.ndarray:
    """A ChArUco board as a uint8 grayscale image, `square_px` pixels a square.

    Squares, markers, ids, dictionary and layout are those of `board` (a
    markvane.CharucoBoard). A marker spans the pixels between the pixel edges
    nearest to its exact sides, the same in every square.
    `quiet_zone_px` defaults to half a square.
    """
    layout = _charuco(board)
    square_px = _int("square_px", square_px, 1)
    quiet = square_px // 2 if quiet_zone_px is None else _int("quiet_zone_px", quiet_zone_px, 0)
    # Every marker spans the same pixels of its square: between the edges
    # nearest its exact sides.
    marker = layout.marker_length / layout.square_length * square_px
    margin = (square_px - marker) / 2
    lo, hi = _nearest_edge(margin), _nearest_edge(margin + marker)
    cells = layout.dictionary.marker_size + 2
    if hi - lo < cells:
        raise ValueError(f"square_px={square_px} draws the markers {hi - lo} px wide; they need at least "
                         f"{cells} (one pixel per cell of a {layout.dictionary.name} marker)")

    out = np.full((layout.squares_y * square_px, layout.squares_x * square_px), 255, np.uint8)
    for r in range(layout.squares_y):
        for c in range(layout.squares_x):
            if layout.black(r, c):
                out[r * square_px:(r + 1) * square_px, c * square_px:(c + 1) * square_px] = 0
    for (r, c), marker_id in zip(layout.markers, layout.ids):
        y, x = r * square_px + lo, c * square_px + lo
        out[y:y + hi - lo, x:x + hi - lo] = _scaled(_cells(layout.dictionary, marker_id), hi - lo)
    return _pad(out, quiet)


# ---- SVG -----------------------------------------------------------------------------

def _num(v: float) -> str:
    """Millimetres to 0.1 um, without trailing zeros."""
    s = f"{v:.4f}".rstrip("0").rstrip(".")
    return "0" if s == "-0" else s


def _rects(cells: np.ndarray):
    """Black (0) cells merged into rectangles (col, row, width, height) in cell
    units: runs along a row, stacked while the rows below repeat the run."""
    open_runs: dict[tuple[int, int], int] = {}  # (start, stop) -> first row
    for r in range(cells.shape[0] + 1):
        runs = set()
        if r < cells.shape[0]:
            row = np.concatenate([[1], cells[r], [1]]).astype(np.int8)
            edges = np.flatnonzero(np.diff(row))
            runs = set(zip(edges[::2].tolist(), edges[1::2].tolist()))
        for run in [k for k in open_runs if k not in runs]:
            top = open_runs.pop(run)
            yield run[0], top, run[1] - run[0], r - top
        for run in runs:
            open_runs.setdefault(run, r)


class _Path:
    def __init__(self):
        self.parts: list[str] = []

    def rect(self, x0: float, y0: float, x1: float, y1: float) -> None:
        # Absolute coordinates only: shapes that share an edge then write it
        # with the same digits and meet exactly.
        self.parts.append(f"M{_num(x0)} {_num(y0)}H{_num(x1)}V{_num(y1)}H{_num(x0)}z")

    def marker(self, cells: np.ndarray, x: float, y: float, side: float) -> None:
        pitch = side / cells.shape[0]
        for c, r, w, h in _rects(cells):
            self.rect(x + c * pitch, y + r * pitch, x + (c + w) * pitch, y + (r + h) * pitch)


def _wrap(parts: list[str], width: float, font: float) -> list[str]:
    # A sans-serif character is about 0.6 em wide on average.
    per_line = max(1, int(width / (0.6 * font)))
    lines: list[str] = []
    for part in parts:
        if lines and len(lines[-1]) + 2 + len(part) <= per_line:
            lines[-1] += ", " + part
        else:
            lines.append(part)
    return lines


# Common sans-serif faces first: some renderers map the generic family to a
# face the system lacks and then draw no text at all.
_FONTS = "Helvetica, Arial, &apos;DejaVu Sans&apos;, &apos;Liberation Sans&apos;, sans-serif"


def _svg(width: float, height: float, path: _Path, caption: list[str] | None, title: str) -> str:
    """The document: white page, one black path, the caption under the target."""
    lines: list[str] = []
    font = min(max(0.035 * width, 2.0), 8.0)
    if caption:
        lines = _wrap(caption, width, font)
    line_gap = 1.25 * font
    total = height + (len(lines) * line_gap + 0.6 * font if lines else 0.0)
    out = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{_num(width)}mm" '
        f'height="{_num(total)}mm" viewBox="0 0 {_num(width)} {_num(total)}">',
        f"<title>{escape(title)}</title>",
        f'<rect width="{_num(width)}" height="{_num(total)}" fill="#fff"/>',
        f'<path fill="#000" shape-rendering="crispEdges" d="{"".join(path.parts)}"/>',
    ]
    for i, line in enumerate(lines):
        y = height + 0.4 * font + 0.8 * font + i * line_gap
        out.append(f'<text x="{_num(width / 2)}" y="{_num(y)}" font-family="{_FONTS}" '
                   f'font-size="{_num(font)}" text-anchor="middle" fill="#000">{escape(line)}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _mm(v: float) -> str:
    return f"{v:.4g} mm" if v < 1000 else f"{v:.6g} mm"


def _ids_text(ids) -> str:
    ids = list(ids)
    if len(ids) == 1:
        return f"id {ids[0]}"
    if ids == list(range(ids[0], ids[0] + len(ids))):
        return f"ids {ids[0]}-{ids[-1]}"
    if len(ids) <= 16:
        return "ids " + " ".join(map(str, ids))
    return "ids " + " ".join(map(str, ids[:8])) + f" ... ({len(ids)} in all)"


def marker_svg(dictionary, marker_id, size_mm, quiet_zone_mm=None, caption=True, border_bits=1) -> str:
    """One marker as an SVG document printing `size_mm` millimetres a side
    (black border edge to edge, the length a pose estimate needs).

    `quiet_zone_mm` white surrounds it; by default one cell. The caption (when
    `caption` is true) goes below the quiet zone.
    """
    d = _dictionary(dictionary)
    marker_id = _marker_id(d, marker_id)
    border_bits = _int("border_bits", border_bits, 1)
    size = _length("size_mm", size_mm)
    cells = _cells(d, marker_id, border_bits)
    quiet = size / cells.shape[0] if quiet_zone_mm is None else _length("quiet_zone_mm", quiet_zone_mm, True)
    path = _Path()
    path.marker(cells, quiet, quiet, size)
    text = [d.name, f"id {marker_id}", f"marker {_mm(size)}"]
    return _svg(size + 2 * quiet, size + 2 * quiet, path, text if caption else None, " ".join(text))


def grid_board_svg(dictionary, markers_x, markers_y, marker_mm, separation_mm, ids=None, quiet_zone_mm=None,
                   caption=True) -> str:
    """A grid of markers as an SVG document at true size; arguments as for
    `grid_board_image`, lengths in millimetres."""
    d = _dictionary(dictionary)
    mx = _int("markers_x", markers_x, 1)
    my = _int("markers_y", markers_y, 1)
    size = _length("marker_mm", marker_mm)
    sep = _length("separation_mm", separation_mm, True)
    id_list = _id_list(d, ids, mx * my)
    quiet = (max(sep, size / (d.marker_size + 2)) if quiet_zone_mm is None
             else _length("quiet_zone_mm", quiet_zone_mm, True))
    path = _Path()
    for k, marker_id in enumerate(id_list):
        path.marker(_cells(d, marker_id), quiet + (k % mx) * (size + sep), quiet + (k // mx) * (size + sep), size)
    text = [d.name, f"{mx}x{my} markers", _ids_text(id_list), f"markers {_mm(size)}", f"gaps {_mm(sep)}"]
    return _svg(mx * (size + sep) - sep + 2 * quiet, my * (size + sep) - sep + 2 * quiet, path,
                text if caption else None, " ".join(text))


def charuco_board_svg(board, square_mm, quiet_zone_mm=None, caption=True) -> str:
    """A ChArUco board as an SVG document at true size, `square_mm` millimetres
    a square, laid out as `charuco_board_image` draws it. The quiet
    zone defaults to half a square."""
    layout = _charuco(board)
    square = _length("square_mm", square_mm)
    quiet = square / 2 if quiet_zone_mm is None else _length("quiet_zone_mm", quiet_zone_mm, True)
    marker = layout.marker_length * square / layout.square_length
    margin = (square - marker) / 2
    path = _Path()
    for r in range(layout.squares_y):
        for c in range(layout.squares_x):
            if layout.black(r, c):
                path.rect(quiet + c * square, quiet + r * square, quiet + (c + 1) * square, quiet + (r + 1) * square)
    for (r, c), marker_id in zip(layout.markers, layout.ids):
        path.marker(_cells(layout.dictionary, marker_id), quiet + c * square + margin,
                    quiet + r * square + margin, marker)
    text = [f"ChArUco {layout.squares_x}x{layout.squares_y}", layout.dictionary.name, _ids_text(layout.ids),
            f"squares {_mm(square)}", f"markers {_mm(marker)}"]
    if layout.legacy_pattern and layout.squares_y % 2 == 0:
        text.append("legacy pattern")
    return _svg(layout.squares_x * square + 2 * quiet, layout.squares_y * square + 2 * quiet, path,
                text if caption else None, " ".join(text))
