"""Marker dictionaries: compiled tables, name lookup, code matching, and every
id of every dictionary decoded end to end."""

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
hooks = pytest.importorskip("_markvane_testhooks")

# name, n, markers, max_correction_bits, in listing order
DICTIONARIES = [
    ("DICT_4X4_50", 4, 50, 1),
    ("DICT_4X4_100", 4, 100, 1),
    ("DICT_4X4_250", 4, 250, 1),
    ("DICT_4X4_1000", 4, 1000, 0),
    ("DICT_5X5_50", 5, 50, 3),
    ("DICT_5X5_100", 5, 100, 3),
    ("DICT_5X5_250", 5, 250, 2),
    ("DICT_5X5_1000", 5, 1000, 2),
    ("DICT_6X6_50", 6, 50, 6),
    ("DICT_6X6_100", 6, 100, 5),
    ("DICT_6X6_250", 6, 250, 5),
    ("DICT_6X6_1000", 6, 1000, 4),
    ("DICT_7X7_50", 7, 50, 9),
    ("DICT_7X7_100", 7, 100, 8),
    ("DICT_7X7_250", 7, 250, 8),
    ("DICT_7X7_1000", 7, 1000, 6),
    ("DICT_ARUCO_ORIGINAL", 5, 1024, 1),
    ("DICT_ARUCO_MIP_36h12", 6, 250, 5),
    ("DICT_APRILTAG_16h5", 4, 30, 2),
    ("DICT_APRILTAG_25h9", 5, 35, 4),
    ("DICT_APRILTAG_36h10", 6, 2320, 4),
    ("DICT_APRILTAG_36h11", 6, 587, 5),
]
NAMES = [d[0] for d in DICTIONARIES]

# Published rotation-0 codes of the first and last row of each full table.
CHECK_VALUES = [
    ("DICT_4X4_1000", "b532", "f7bf"),
    ("DICT_5X5_1000", "a2d95e00", "fbc90e01"),
    ("DICT_6X6_1000", "1e3dd82a06", "fed63e1f0f"),
    ("DICT_7X7_1000", "dd5c6ca5ca0a01", "e7e696e2069f01"),
    ("DICT_ARUCO_ORIGINAL", "84210800", "739ce700"),
    ("DICT_ARUCO_MIP_36h12", "d2b63a090d", "4d58dbea00"),
    ("DICT_APRILTAG_16h5", "d8c4", "74f5"),
    ("DICT_APRILTAG_25h9", "8fd3aa01", "73899d00"),
    ("DICT_APRILTAG_36h10", "e165495308", "96c23da70b"),
    ("DICT_APRILTAG_36h11", "21a146ba0b", "ced27dc107"),
]


def code_bytes(n):
    return (n * n + 7) // 8


def rows_of(name):
    n, _, count = hooks.dictionary_info(name)
    raw = np.frombuffer(hooks.dictionary_bytes(name), np.uint8)
    return raw.reshape(count, 4, code_bytes(n))


def unpack(code, n):
    """n x n cells (1 = white) of one packed code; the last byte is right-aligned."""
    bits = np.unpackbits(np.asarray(code, np.uint8))
    pad = 8 * len(code) - n * n
    return np.concatenate([bits[:-8], bits[-8 + pad:]]).reshape(n, n)


def pack(cells):
    n = cells.shape[0]
    flat = cells.reshape(-1).astype(np.uint8)
    pad = 8 * code_bytes(n) - n * n
    tail = n * n - (8 - pad)
    return np.packbits(np.concatenate([flat[:tail], np.zeros(pad, np.uint8), flat[tail:]]))


# ---------------------------------------------------------------------------
# Tables


def test_listing_order_and_metadata():
    assert markvane.predefined_dictionaries() == NAMES
    assert hooks.dictionary_names() == NAMES
    for name, n, count, bits in DICTIONARIES:
        assert hooks.dictionary_info(name) == (n, bits, count), name


@pytest.mark.parametrize("name,first,last", CHECK_VALUES)
def test_published_check_values(name, first, last):
    rows = rows_of(name)
    assert rows[0, 0].tobytes().hex() == first
    assert rows[-1, 0].tobytes().hex() == last


def test_worked_rotation_of_4x4_id0():
    row = rows_of("DICT_4X4_50")[0]
    assert row.tobytes().hex() == "b532eb484cad12d7"
    r0, r1 = unpack(row[0], 4), unpack(row[1], 4)
    assert ["".join(map(str, r)) for r in r0] == ["1011", "0101", "0011", "0010"]
    assert ["".join(map(str, r)) for r in r1] == ["1110", "1011", "0100", "1000"]


@pytest.mark.parametrize("name", [c[0] for c in CHECK_VALUES])
def test_rows_hold_four_ccw_turns(name):
    """Every stored rotation is the previous one turned 90 degrees
    counter-clockwise, and unused high bits of the last byte are clear."""
    rows = rows_of(name)
    n = hooks.dictionary_info(name)[0]
    for row in rows:
        cells = unpack(row[0], n)
        for k in range(1, 4):
            cells = np.rot90(cells)
            np.testing.assert_array_equal(pack(cells), row[k])


@pytest.mark.parametrize("name", NAMES)
def test_tables_equal_opencv(name):
    cv2 = pytest.importorskip("cv2")
    ref = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, name))
    n, bits, count = hooks.dictionary_info(name)
    assert (ref.markerSize, ref.maxCorrectionBits) == (n, bits)
    bl = np.asarray(ref.bytesList)
    assert bl.shape[0] == count
    # cv2 shows the table as (ids, B, 4); its memory is the rotations back to back.
    assert hooks.dictionary_bytes(name) == np.ascontiguousarray(bl).tobytes()


# ---------------------------------------------------------------------------
# Name lookup


@pytest.mark.parametrize(
    "alias,name",
    [
        ("DICT_4X4_50", "DICT_4X4_50"),
        ("dict_4x4_50", "DICT_4X4_50"),
        ("4X4_50", "DICT_4X4_50"),
        ("4x4_50", "DICT_4X4_50"),
        ("Dict_ArUco_Original", "DICT_ARUCO_ORIGINAL"),
        ("DICT_APRILTAG_36H11", "DICT_APRILTAG_36h11"),
        ("apriltag_16h5", "DICT_APRILTAG_16h5"),
        ("aruco_mip_36H12", "DICT_ARUCO_MIP_36h12"),
    ],
)
def test_lookup_accepts(alias, name):
    assert hooks.dictionary_info(alias) == hooks.dictionary_info(name)
    assert hooks.dictionary_bytes(alias) == hooks.dictionary_bytes(name)


@pytest.mark.parametrize(
    "name",
    [
        "", "DICT", "DICT_", "4x4", "DICT_4X4_51", "DICT_4X4_5", "DICT_DICT_4X4_50",
        " DICT_4X4_50", "DICT_4X4_50 ", "DICT-4X4-50", "DICT_4X4_50\0",
        "ARUCO", "DICT_ARUCO",
        # Only ASCII letters are upper-cased: the dotless i does not become 'I'.
        "d\u0131ct_4x4_50",
    ],
)
def test_lookup_rejects(name):
    assert hooks.dictionary_info(name) is None


@pytest.mark.parametrize("name", ["nope", "dict_4x4_51", "DICT_", "\u00e9t\u00e9"])
def test_unknown_name_error_quotes_name_as_passed(name):
    img = np.full((32, 32), 255, np.uint8)
    with pytest.raises(ValueError) as err:
        markvane.detect_markers(img, name)
    assert str(err.value) == "unknown dictionary: " + name


# ---------------------------------------------------------------------------
# Matching


def full_mask(n):
    return pack(np.ones((n, n), np.uint8)).tobytes()


def reference_identify(rows, white, known, max_distance):
    """Plain restatement of the matching rule over unpacked bytes."""
    w = np.frombuffer(white, np.uint8)
    k = np.frombuffer(known, np.uint8)
    dist = np.unpackbits((rows & k) ^ w, axis=2).sum(axis=2)  # (ids, 4)
    best_rot = dist.argmin(axis=1)  # argmin keeps the first (lowest) rotation
    best = dist[np.arange(len(rows)), best_rot]
    hits = np.nonzero(best <= max_distance)[0]
    if len(hits) == 0:
        return None
    i = int(hits[0])
    return (i, int(best_rot[i]), int(best[i]))


@pytest.mark.parametrize("packed", [True, False])
@pytest.mark.parametrize(
    "name", ["DICT_4X4_50", "DICT_5X5_1000", "DICT_APRILTAG_36h10", "DICT_7X7_250"]
)
def test_exact_reading_of_rotation_2_of_id_7(name, packed):
    n = hooks.dictionary_info(name)[0]
    code = rows_of(name)[7, 2].tobytes()
    assert hooks.identify(name, code, full_mask(n), 0, packed=packed) == (7, 2, 0)


def test_lower_id_wins_over_closer_higher_id():
    name = "DICT_6X6_250"
    rows = rows_of(name)
    reading = rows[40, 1].tobytes()  # exact for id 40
    dist = np.unpackbits(rows[:40] ^ np.frombuffer(reading, np.uint8), axis=2).sum(axis=2)
    lowest = int(dist.min())
    first = int(np.nonzero(dist.min(axis=1) == lowest)[0][0])
    assert lowest > 0
    got = hooks.identify(name, reading, full_mask(6), lowest)
    assert got == (first, int(dist[first].argmin()), lowest)
    assert hooks.identify(name, reading, full_mask(6), lowest - 1) == (40, 1, 0)


def test_rotation_ties_and_uncertain_cells():
    name = "DICT_5X5_100"
    # Nothing known: every rotation of id 0 is at distance popcount(white).
    white = pack(np.eye(5, dtype=np.uint8)).tobytes()
    assert hooks.identify(name, white, bytes(4), 5) == (0, 0, 5)
    assert hooks.identify(name, white, bytes(4), 4) is None
    # An uncertain cell (white 0, known 0) costs nothing whatever the code says.
    code = rows_of(name)[9, 3]
    cells = unpack(code, 5)
    cells[2, 2] ^= 1
    known = np.ones((5, 5), np.uint8)
    known[2, 2] = 0
    white = pack(cells * known).tobytes()
    assert hooks.identify(name, white, pack(known).tobytes(), 0) == (9, 3, 0)


@pytest.mark.parametrize("packed", [True, False])
@pytest.mark.parametrize(
    "name", ["DICT_4X4_250", "DICT_ARUCO_ORIGINAL", "DICT_ARUCO_MIP_36h12", "DICT_7X7_1000"]
)
def test_identify_matches_reference_on_noisy_readings(name, packed):
    n, bits, _ = hooks.dictionary_info(name)
    rows = rows_of(name)
    rng = np.random.default_rng(len(name))
    for _ in range(150):
        cells = unpack(rows[rng.integers(len(rows)), rng.integers(4)], n)
        cells ^= (rng.random((n, n)) < 0.08).astype(np.uint8)
        known = (rng.random((n, n)) > 0.1).astype(np.uint8)
        white = pack(cells * known).tobytes()
        if rng.random() < 0.2:  # stray bits above the last cell count too
            white = white[:-1] + bytes([white[-1] | 0x80]) if n * n % 8 else white
        known = pack(known).tobytes()
        max_d = int(rng.integers(0, bits + 3))
        want = reference_identify(rows, white, known, max_d)
        assert hooks.identify(name, white, known, max_d, packed=packed) == want


# ---------------------------------------------------------------------------
# Every id of every dictionary, decoded from a rendered sheet in four orientations

PX, GAP, COLS = 64, 32, 32


def render_sheet(cv2, name, count):
    d = cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, name))
    rows = (count + COLS - 1) // COLS
    img = np.full((GAP + rows * (PX + GAP), GAP + COLS * (PX + GAP)), 255, np.uint8)
    tl = np.empty((count, 2), np.float64)
    for i in range(count):
        r, c = divmod(i, COLS)
        y, x = GAP + r * (PX + GAP), GAP + c * (PX + GAP)
        img[y:y + PX, x:x + PX] = cv2.aruco.generateImageMarker(d, i, PX)
        tl[i] = (x, y)
    # Printed corners of each marker, clockwise from the top-left, on the
    # outermost pixel centres of its black border.
    e = PX - 1
    corners = np.stack([tl, tl + (e, 0), tl + (e, e), tl + (0, e)], axis=1)
    return img, corners


def rot90_points(pts, width):
    """Where pixel (x, y) lands under np.rot90 (one counter-clockwise turn)."""
    return np.stack([pts[..., 1], width - 1 - pts[..., 0]], axis=-1)


def symmetric_turns(name):
    """{id: corner shifts under which the code looks the same} for the few codes
    that are invariant under a quarter or half turn (id 1023 of the classic
    ArUco set). Their printed top-left corner cannot be told from the image, and
    the lowest matching rotation wins."""
    rows = rows_of(name)
    out = {}
    for i in np.nonzero((rows[:, 1:] == rows[:, :1]).all(axis=2).any(axis=1))[0]:
        out[int(i)] = [s for s in range(4) if (rows[i, s] == rows[i, 0]).all()]
    return out


def align_symmetric(got, want, turns):
    want = want.copy()
    for i, shifts in turns.items():
        options = [np.roll(want[i], s, axis=0) for s in shifts]
        want[i] = min(options, key=lambda w: np.abs(w - got[i]).max())
    return want


@pytest.mark.parametrize("name,count", [(d[0], d[2]) for d in DICTIONARIES])
def test_every_id_decodes_in_every_orientation(name, count):
    cv2 = pytest.importorskip("cv2")
    img, corners = render_sheet(cv2, name, count)
    turns = symmetric_turns(name)
    for turn in range(4):
        corners_mv, ids = markvane.detect_markers(np.ascontiguousarray(img), name)
        ids = np.asarray(ids)
        missing = sorted(set(range(count)) - set(ids.tolist()))
        assert not missing, f"turn {turn}: {len(missing)} ids not found, e.g. {missing[:10]}"
        assert len(ids) == count, f"turn {turn}: duplicate or extra detections"
        got = np.asarray(corners_mv, np.float64)[np.argsort(ids)]
        np.testing.assert_allclose(got, align_symmetric(got, corners, turns), atol=1.0,
                                   err_msg=f"turn {turn}")
        corners = rot90_points(corners, img.shape[1])
        img = np.rot90(img)
