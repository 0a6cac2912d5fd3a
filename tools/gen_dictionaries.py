#!/usr/bin/env python3
"""Generate src/dictionaries_data.cpp and the Python side's marker codes from
OpenCV's published marker tables.

The module itself never needs OpenCV: this script reads the predefined ArUco
and AprilTag tables once through cv2's Python API, checks them, and writes them
as constant byte tables. It also writes
python/markvane_tools/dictionary_codes.npz, the rotation-0 code of every id of
every named dictionary, from which markvane_tools draws printable targets
without OpenCV. Run it from the repository root:

    python tools/gen_dictionaries.py [--check]

With --check it only verifies that the committed files are up to date.

Row layout written (and verified here for every row of every table): four
rotation codes back to back, rotation 0 first. One code is ceil(n*n/8) bytes,
cells row-major, most significant bit first, the last byte holding the leftover
cells right-aligned; 1 = white. Rotation k+1 is rotation k turned 90 degrees
counter-clockwise: cell (r, c) of k+1 equals cell (c, n-1-r) of k.
"""

from __future__ import annotations

import argparse
import io
import pathlib
import sys
import zipfile

import numpy as np

try:
    import cv2
except ImportError:  # pragma: no cover - generator only
    sys.exit("gen_dictionaries.py needs OpenCV's Python package (cv2)")

# (C++ identifier, cv2 constant, marker size n, rows)
TABLES = [
    ("DICT_4X4_1000", "DICT_4X4_1000", 4, 1000),
    ("DICT_5X5_1000", "DICT_5X5_1000", 5, 1000),
    ("DICT_6X6_1000", "DICT_6X6_1000", 6, 1000),
    ("DICT_7X7_1000", "DICT_7X7_1000", 7, 1000),
    ("DICT_ARUCO", "DICT_ARUCO_ORIGINAL", 5, 1024),
    ("DICT_ARUCO_MIP_36h12", "DICT_ARUCO_MIP_36h12", 6, 250),
    ("DICT_APRILTAG_16h5", "DICT_APRILTAG_16h5", 4, 30),
    ("DICT_APRILTAG_25h9", "DICT_APRILTAG_25h9", 5, 35),
    ("DICT_APRILTAG_36h10", "DICT_APRILTAG_36h10", 6, 2320),
    ("DICT_APRILTAG_36h11", "DICT_APRILTAG_36h11", 6, 587),
]

# Published rotation-0 codes of the first and last row of every table. A cv2
# whose tables differ from these is refused rather than trusted.
CHECK_VALUES = {
    "DICT_4X4_1000": ("b532", "f7bf"),
    "DICT_5X5_1000": ("a2d95e00", "fbc90e01"),
    "DICT_6X6_1000": ("1e3dd82a06", "fed63e1f0f"),
    "DICT_7X7_1000": ("dd5c6ca5ca0a01", "e7e696e2069f01"),
    "DICT_ARUCO": ("84210800", "739ce700"),
    "DICT_ARUCO_MIP_36h12": ("d2b63a090d", "4d58dbea00"),
    "DICT_APRILTAG_16h5": ("d8c4", "74f5"),
    "DICT_APRILTAG_25h9": ("8fd3aa01", "73899d00"),
    "DICT_APRILTAG_36h10": ("e165495308", "96c23da70b"),
    "DICT_APRILTAG_36h11": ("21a146ba0b", "ced27dc107"),
}

# Id 0 of the 4x4 table, all four rotations, and its rotation-0 cell rows.
WORKED_ROW = "b532eb484cad12d7"
WORKED_CELLS = ["1011", "0101", "0011", "0010"]

# The names the module accepts, in its listing order: (name, table, ids). The
# smaller dictionaries of a size are the first ids of its 1000-id table.
DICTIONARIES = [
    (f"DICT_{n}X{n}_{count}", f"DICT_{n}X{n}_1000", count)
    for n in (4, 5, 6, 7) for count in (50, 100, 250, 1000)
] + [
    ("DICT_ARUCO_ORIGINAL", "DICT_ARUCO", 1024),
    ("DICT_ARUCO_MIP_36h12", "DICT_ARUCO_MIP_36h12", 250),
    ("DICT_APRILTAG_16h5", "DICT_APRILTAG_16h5", 30),
    ("DICT_APRILTAG_25h9", "DICT_APRILTAG_25h9", 35),
    ("DICT_APRILTAG_36h10", "DICT_APRILTAG_36h10", 2320),
    ("DICT_APRILTAG_36h11", "DICT_APRILTAG_36h11", 587),
]

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "src" / "dictionaries_data.cpp"
CODES_OUT = ROOT / "python" / "markvane_tools" / "dictionary_codes.npz"
# Fixed member timestamp, so rewriting unchanged codes gives the same bytes.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def code_bytes(n: int) -> int:
    return (n * n + 7) // 8


def unpack(code: bytes, n: int) -> np.ndarray:
    """n x n cell matrix (1 = white) of one packed code."""
    bits = np.unpackbits(np.frombuffer(code, dtype=np.uint8))
    # The last byte is right-aligned: drop its unused high bits.
    pad = 8 * len(code) - n * n
    last = bits[-8:][pad:]
    cells = np.concatenate([bits[:-8], last])
    return cells.reshape(n, n)


def pack(cells: np.ndarray) -> bytes:
    n = cells.shape[0]
    flat = cells.reshape(-1).astype(np.uint8)
    pad = 8 * code_bytes(n) - n * n
    head, tail = flat[: n * n - (8 - pad)], flat[n * n - (8 - pad):]
    bits = np.concatenate([head, np.zeros(pad, np.uint8), tail])
    return np.packbits(bits).tobytes()


def rotate_ccw(cells: np.ndarray) -> np.ndarray:
    # new[r, c] = old[c, n-1-r]  is numpy's counter-clockwise rot90.
    return np.rot90(cells, 1)


def read_rows(cv_name: str, n: int, rows: int) -> list[bytes]:
    d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, cv_name))
    bl = np.asarray(d.bytesList)
    b = code_bytes(n)
    if d.markerSize != n or bl.shape != (rows, b, 4) or bl.dtype != np.uint8:
        raise SystemExit(f"{cv_name}: unexpected cv2 table shape {bl.shape}, n={d.markerSize}")
    # cv2 exposes the table as (rows, B, 4) but the memory behind it is the four
    # rotation codes back to back, so a C-order flatten gives the row layout.
    out = [np.ascontiguousarray(bl[i]).reshape(-1).tobytes() for i in range(rows)]
    # Cross-check the decoding of rotation 0 against cv2's own bit reader.
    for i in (0, rows // 2, rows - 1):
        ref = cv2.aruco.Dictionary.getBitsFromByteList(bl[i:i + 1], n)
        if not np.array_equal(np.asarray(ref).reshape(n, n), unpack(out[i][:b], n)):
            raise SystemExit(f"{cv_name}: row {i} does not decode like cv2")
    return out


def verify_rows(name: str, n: int, rows: list[bytes]) -> None:
    b = code_bytes(n)
    first, last = CHECK_VALUES[name]
    if rows[0][:b].hex() != first or rows[-1][:b].hex() != last:
        raise SystemExit(f"{name}: check values differ from the published table")
    pad = 8 * b - n * n
    for i, row in enumerate(rows):
        codes = [row[k * b:(k + 1) * b] for k in range(4)]
        if any(c[-1] >> (8 - pad) for c in codes if pad):
            raise SystemExit(f"{name}: row {i} has bits set above the last cell")
        cells = unpack(codes[0], n)
        for k in range(1, 4):
            cells = rotate_ccw(cells)
            if pack(cells) != codes[k]:
                raise SystemExit(f"{name}: row {i} rotation {k} is not a 90 degree turn")


def verify_worked_example(rows: list[bytes]) -> None:
    if rows[0].hex() != WORKED_ROW:
        raise SystemExit("DICT_4X4_1000 id 0 differs from the published row")
    cells = unpack(rows[0][:2], 4)
    if ["".join(map(str, r)) for r in cells] != WORKED_CELLS:
        raise SystemExit("DICT_4X4_1000 id 0 does not read as published")
    # The first row of rotation 1 is the last column of rotation 0, top to bottom.
    if not np.array_equal(unpack(rows[0][2:4], 4)[0], cells[:, 3]):
        raise SystemExit("rotation direction differs from the published tables")


def render(tables: list[tuple[str, int, list[bytes]]]) -> str:
    out = [
        "// Generated by tools/gen_dictionaries.py from OpenCV's published marker",
        "// tables. Do not edit by hand; rerun the script instead.",
        "//",
        "// One line per marker id: its four rotation codes back to back, as hex.",
        '#include "dictionaries_data.h"',
        "",
        "namespace markvane::dictionary::data {",
        "",
    ]
    for name, n, rows in tables:
        size = len(rows) * len(rows[0])
        out.append(f"constinit const std::array<uint8_t, {size}> {name} = unhex<{size}>(")
        out.extend(f'    "{row.hex()}"' for row in rows)
        out.append(");")
        out.append("")
    out.append("}  // namespace markvane::dictionary::data")
    return "\n".join(out) + "\n"


def python_codes(tables: list[tuple[str, int, list[bytes]]]) -> dict[str, np.ndarray]:
    """Arrays of the package data file.

    `names` and `marker_sizes` list the dictionaries in the module's order; each
    name then keys a (ids, ceil(n*n/8)) uint8 array of rotation-0 codes, packed
    exactly as in the C++ tables (row-major, most significant bit first, the
    last byte right-aligned, 1 = white)."""
    by_table = {name: (n, rows) for name, n, rows in tables}
    arrays = {
        "names": np.array([name for name, _, _ in DICTIONARIES]),
        "marker_sizes": np.array([by_table[t][0] for _, t, _ in DICTIONARIES], np.uint8),
    }
    for name, table, count in DICTIONARIES:
        n, rows = by_table[table]
        b = code_bytes(n)
        arrays[name] = np.frombuffer(b"".join(row[:b] for row in rows[:count]), np.uint8).reshape(count, b)
    return arrays


def verify_python_codes(arrays: dict[str, np.ndarray]) -> None:
    """Every id of every named dictionary, unpacked as the Python side does,
    must be the marker cv2 itself draws under that name."""
    for name, n in zip(arrays["names"], arrays["marker_sizes"]):
        n = int(n)
        d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, str(name)))
        codes = arrays[str(name)]
        if d.markerSize != n or len(codes) != d.bytesList.shape[0]:
            raise SystemExit(f"{name}: cv2 has {d.bytesList.shape[0]} ids of size {d.markerSize}")
        for marker_id, code in enumerate(codes):
            drawn = cv2.aruco.generateImageMarker(d, marker_id, n + 2, borderBits=1)
            if not np.array_equal(drawn[1:-1, 1:-1] > 127, unpack(code.tobytes(), n) == 1):
                raise SystemExit(f"{name}: id {marker_id} is not the marker cv2 draws")


def write_npz(path: pathlib.Path, arrays: dict[str, np.ndarray]) -> None:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        for key, value in arrays.items():
            member = io.BytesIO()
            np.lib.format.write_array(member, value, allow_pickle=False)
            zf.writestr(zipfile.ZipInfo(key + ".npy", ZIP_DATE), member.getvalue(), zipfile.ZIP_DEFLATED)
    path.write_bytes(buf.getvalue())


def npz_matches(path: pathlib.Path, arrays: dict[str, np.ndarray]) -> bool:
    if not path.exists():
        return False
    with np.load(path, allow_pickle=False) as old:
        return sorted(old.files) == sorted(arrays) and all(
            old[k].dtype == v.dtype and np.array_equal(old[k], v) for k, v in arrays.items())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only verify the committed file")
    args = ap.parse_args()

    tables = []
    for name, cv_name, n, count in TABLES:
        rows = read_rows(cv_name, n, count)
        verify_rows(name, n, rows)
        if name == "DICT_4X4_1000":
            verify_worked_example(rows)
        tables.append((name, n, rows))
    text = render(tables)
    codes = python_codes(tables)
    verify_python_codes(codes)
    if args.check:
        stale = [p for p, ok in ((OUT, OUT.read_text() == text), (CODES_OUT, npz_matches(CODES_OUT, codes)))
                 if not ok]
        for path in stale:
            print(f"{path} is out of date", file=sys.stderr)
        if stale:
            return 1
        print("tables verified; generated files are up to date")
        return 0
    OUT.write_text(text)
    print(f"wrote {OUT} ({len(text)} bytes)")
    write_npz(CODES_OUT, codes)
    print(f"wrote {CODES_OUT} ({CODES_OUT.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
