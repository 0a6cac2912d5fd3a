"""AprilTag quad path, stage by stage: decimation, blur, tile threshold,
component labelling and boundary edges, clusters, quad fitting and the
assembled candidate source, through the private test hooks."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

th = pytest.importorskip("_markvane_testhooks")
cv2 = pytest.importorskip("cv2")

BLACK, UNDECIDED, WHITE = 0, 127, 255


# --------------------------------------------------------------------------
# references and scenes


def threshold_reference(gray, min_diff, deglitch=False):
    """Tile threshold from its definition: whole 4x4 tiles, 3x3 tile
    neighbourhood, leftover pixels on the nearest tile, then a closing."""
    h, w = gray.shape
    out = np.full((h, w), UNDECIDED, np.uint8)
    tw, th_ = w // 4, h // 4
    if tw == 0 or th_ == 0:
        return out
    tiles = gray[: 4 * th_, : 4 * tw].astype(np.int32).reshape(th_, 4, tw, 4)
    lo, hi = tiles.min(axis=(1, 3)), tiles.max(axis=(1, 3))
    lo = np.pad(lo, 1, constant_values=255)
    hi = np.pad(hi, 1, constant_values=0)
    mn = np.min([lo[dy:dy + th_, dx:dx + tw] for dy in range(3) for dx in range(3)], axis=0)
    mx = np.max([hi[dy:dy + th_, dx:dx + tw] for dy in range(3) for dx in range(3)], axis=0)
    ty = np.minimum(np.arange(h) // 4, th_ - 1)[:, None]
    tx = np.minimum(np.arange(w) // 4, tw - 1)[None, :]
    decided = (mx - mn)[ty, tx] >= min_diff
    thr = ((mn + mx) // 2)[ty, tx]
    out[decided] = np.where(gray.astype(np.int32) > thr, WHITE, BLACK)[decided]
    if deglitch and h >= 3 and w >= 3:
        def interior3x3(img, op):
            res = img.copy()
            stack = [img[dy:h - 2 + dy, dx:w - 2 + dx] for dy in range(3) for dx in range(3)]
            res[1:-1, 1:-1] = op(stack, axis=0)
            return res
        out = interior3x3(interior3x3(out, np.max), np.min)
    return out


def fma32(a, b, c):
    """Single-precision fused multiply-add (the product is exact in double)."""
    return (a.astype(np.float64) * np.float64(b) + c.astype(np.float64)).astype(np.float32)


def blur_reference(gray, sigma):
    """Separable Gaussian in single precision, mirrored pairs accumulated from
    the outside in with one fused multiply-add each, edges replicated."""
    s = np.float32(abs(sigma)) or np.float32(0.8)
    n = int(max((((s - np.float32(0.8)) / np.float32(0.3) + np.float32(1)) * np.float32(2)
                 + np.float32(1)), np.float32(3))) | 1
    i = np.arange(n, dtype=np.float32)
    t = (i - np.float32(n // 2)) / s
    # exp rounded from double: NumPy's single-precision exp is not correctly rounded
    e = np.exp((np.float32(-0.5) * (t * t)).astype(np.float64)).astype(np.float32)
    taps = e * (np.float32(1) / (s * np.float32(2.5066283)))
    total = np.float32(0)
    for tap in taps:  # in order: NumPy's own sum pairs the terms differently
        total = np.float32(total + tap)
    taps = taps * (np.float32(1) / total)
    c = n // 2

    def one_pass(v):  # along axis 1
        pad = np.pad(v, ((0, 0), (c, c)), mode="edge")
        width = v.shape[1]
        acc = taps[c] * v
        for j in range(c):
            acc = fma32(pad[:, j:j + width] + pad[:, 2 * c - j:2 * c - j + width], taps[j], acc)
        return acc

    out = one_pass(one_pass(gray.astype(np.float32)).T).T
    out = np.floor(np.clip(out, 0, 255).astype(np.float64) + 0.5).astype(np.uint8)
    if sigma < 0:
        out = np.clip(2 * gray.astype(np.int32) - out, 0, 255).astype(np.uint8)
    return out


def random_three_valued(rng, h, w, p_undecided=0.2, blob=True):
    """Blobby black/white image with undecided patches."""
    img = rng.integers(0, 256, (h, w)).astype(np.float32)
    if blob:
        img = cv2.GaussianBlur(img, (0, 0), 1.2)
    out = np.where(img > img.mean(), WHITE, BLACK).astype(np.uint8)
    out[rng.random((h, w)) < p_undecided] = UNDECIDED
    return out


def labelling_reference(img):
    """The labelling rules pixel by pixel: labels, parents and sizes."""
    h, w = img.shape
    labels = np.full((h, w), 0xFFFFFFFF, np.int64)
    parents, sizes = [], []

    def new():
        parents.append(len(parents))
        sizes.append(1)
        return len(parents) - 1

    def find(a):
        root = a
        while parents[root] != root:
            root = parents[root]
        while parents[a] != root:
            parents[a], a = root, parents[a]
        return root

    def unite(a, b):
        if parents[a] == parents[b]:
            return
        ra, rb = find(a), find(b)
        if ra == rb:
            return
        if sizes[rb] < sizes[ra]:
            parents[rb] = ra
            sizes[ra] += sizes[rb]
        else:
            parents[ra] = rb
            sizes[rb] += sizes[ra]

    for y in range(h):
        for x in range(w):
            v = img[y, x]
            if v == UNDECIDED:
                continue
            if y == 0:
                labels[y, x] = labels[y, x - 1] if x >= 2 and h >= 2 and img[y, x - 1] == v else new()
                continue
            joined = y != h - 1 and x >= 2 and img[y, x - 1] == v
            labels[y, x] = labels[y, x - 1] if joined else new()
            cols = [c for c in (x - 1, x, x + 1) if 0 <= c < w] if v == WHITE else [x]
            for c in cols[-1:] if joined else cols:
                if 1 <= c <= w - 2 and img[y - 1, c] == v:
                    if not (joined and labels[y - 1, c] == labels[y - 1, c - 1]):
                        unite(int(labels[y, x]), int(labels[y - 1, c]))
    return labels, parents, sizes


def roots_of(parents):
    roots = np.array(parents, np.int64)
    while True:
        nxt = roots[roots]
        if np.array_equal(nxt, roots):
            return roots
        roots = nxt


def pixel_roots(result):
    """Root label of every decided pixel (-1 where undecided)."""
    labels = result["labels"].astype(np.int64)
    roots = roots_of(result["parents"])
    out = np.full(labels.shape, -1, np.int64)
    decided = labels != 0xFFFFFFFF
    out[decided] = roots[labels[decided]]
    return out


def same_partition(a, b):
    """True when two label images split the pixels the same way."""
    pairs = np.unique(np.stack([a.ravel(), b.ravel()], 1), axis=0)
    return len(np.unique(pairs[:, 0])) == len(pairs) == len(np.unique(pairs[:, 1]))


def edges_reference(img):
    """Every black/white contact of an interior pixel with its right, down,
    down-left and down-right neighbour, in pixel order, then neighbour order,
    as rows (x, y, gx, gy, from, to)."""
    h, w = img.shape
    v = img.astype(np.int64)
    rows = []
    for order, (dx, dy) in enumerate([(1, 0), (0, 1), (-1, 1), (1, 1)]):
        ys, xs = np.mgrid[1:h - 1, 1:w - 1]
        ys, xs = ys.ravel(), xs.ravel()
        a, b = v[ys, xs], v[ys + dy, xs + dx]
        hit = ((a == 0) & (b == 255)) | ((a == 255) & (b == 0))
        ys, xs, a, b = ys[hit], xs[hit], a[hit], b[hit]
        rows.append(np.stack([2 * xs + dx, 2 * ys + dy, dx * (b - a), dy * (b - a),
                              ys * w + xs, (ys + dy) * w + xs + dx,
                              np.full(len(xs), order)], 1))
    allrows = np.concatenate(rows) if rows else np.zeros((0, 7), np.int64)
    allrows = allrows[np.lexsort((allrows[:, 6], allrows[:, 4]))]
    return allrows[:, :6]


def square_image(side, h=120, w=120, x0=37, y0=29, dark=True):
    img = np.full((h, w), 255 if dark else 0, np.uint8)
    img[y0:y0 + side, x0:x0 + side] = 0 if dark else 255
    return img


def polygon_image(points, h=160, w=160, ss=8):
    """Dark polygon on white by area coverage; vertices in the convention of
    the quad fitter (pixel column i spans x from i to i + 1)."""
    big = np.zeros((h * ss, w * ss), np.uint8)
    # fillPoly puts sample centres at integers: edge coordinate e is e - 1/2
    pts = np.round((np.asarray(points, np.float64) * ss - 0.5) * 256).astype(np.int32)
    cv2.fillPoly(big, [pts], 255, cv2.LINE_8, shift=8)
    cover = cv2.resize(big.astype(np.float32) / 255, (w, h), interpolation=cv2.INTER_AREA)
    return np.round(255 * (1 - cover)).astype(np.uint8)


def tag_scene(rng, h=480, w=640, count=12, noise=3.0):
    """AprilTag 36h11 markers, rotated, pasted onto a noisy textured background."""
    d = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_APRILTAG_36h11)
    img = cv2.GaussianBlur(rng.normal(128, 12, (h, w)).astype(np.float32), (0, 0), 1.5)
    cols = int(np.ceil(np.sqrt(count * w / h)))
    cell = (w // cols, h // int(np.ceil(count / cols)))
    for k in range(count):
        side = int(min(cell) * 0.55)
        tag = np.full((side + side // 4,) * 2, 255, np.uint8)
        tag[side // 8:side // 8 + side, side // 8:side // 8 + side] = \
            cv2.aruco.generateImageMarker(d, k, side)
        centre = ((k % cols + 0.5) * cell[0], (k // cols + 0.5) * cell[1])
        m = cv2.getRotationMatrix2D((tag.shape[1] / 2, tag.shape[0] / 2), rng.uniform(-40, 40), 1.0)
        m[:, 2] += np.array(centre) - np.array(tag.shape[::-1]) / 2
        mask = cv2.warpAffine(np.ones_like(tag, np.float32), m, (w, h))
        img = img * (1 - mask) + cv2.warpAffine(tag.astype(np.float32), m, (w, h))
    img += rng.normal(0, noise, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def match(quad, quads, tol):
    """True when some quad in `quads` has the same corners as `quad` in
    some cyclic order and direction, within tol pixels."""
    q = np.asarray(quad, np.float64)
    for r in quads:
        r = np.asarray(r, np.float64)
        for cand in (r, r[::-1]):
            if any(np.abs(np.roll(cand, s, 0) - q).max() <= tol for s in range(4)):
                return True
    return False


# --------------------------------------------------------------------------
# decimation and blur


def test_decimate_sizes_and_copies(rng):
    img = rng.integers(0, 256, (100, 100), dtype=np.uint8)
    assert th.april_decimate(img, 1.5).shape == (67, 67)
    assert th.april_decimate(img, 2.0).shape == (50, 50)
    assert th.april_decimate(img, 1e9).shape == (1, 1)
    for factor in (1.0, 0.5, 1.004):  # not > 1, or the rounded size is unchanged
        assert np.array_equal(th.april_decimate(img, factor), img)
    assert np.array_equal(th.april_decimate(np.zeros((0, 7), np.uint8), 2.0), np.zeros((1, 4), np.uint8))


def test_decimate_tent_filter_by_halves():
    # Halving: every output reads its two sources with weights 1/4, 3/4, 3/4,
    # 1/4 (clipped and renormalised at the border).
    img = np.zeros((8, 8), np.uint8)
    img[:, 3] = 200
    out = th.april_decimate(img, 2.0)
    assert out.shape == (4, 4)
    assert np.array_equal(out[:, 1], np.full(4, 75))     # 200 * 3/8
    assert np.array_equal(out[:, 2], np.full(4, 25))     # 200 * 1/8
    assert np.array_equal(out[:, [0, 3]], np.zeros((4, 2)))
    flat = np.full((30, 41), 93, np.uint8)
    assert np.array_equal(th.april_decimate(flat, 2.7), np.full((11, 15), 93))


@pytest.mark.parametrize("sigma", [0.8, 1.0, 2.0, -1.0, -0.8])
def test_blur_matches_reference(rng, sigma):
    img = cv2.GaussianBlur(rng.integers(0, 256, (37, 53)).astype(np.uint8), (0, 0), 1.0)
    img[5:20, 10:30] = 250  # hard edges, so sharpening clips
    assert np.array_equal(th.april_blur(img, sigma), blur_reference(img, sigma))


def test_blur_rounding_is_exact_on_noise(rng):
    # A different accumulation order shifts a few of a million values across
    # a rounding boundary; only the specified order matches everywhere.
    img = rng.integers(0, 256, (1024, 1024), dtype=np.uint8)
    for sigma in (1.0, 2.0):
        assert np.array_equal(th.april_blur(img, sigma), blur_reference(img, sigma))


def test_blur_kernel_lengths_and_edge_cases(rng):
    impulse = np.zeros((31, 31), np.uint8)
    impulse[:, 15] = 255  # a line, so that even the outermost taps survive rounding
    for sigma, taps in [(0.8, 3), (1.0, 5), (2.0, 11)]:
        cols = np.nonzero(th.april_blur(impulse, sigma)[15])[0]
        assert cols.min() == 15 - taps // 2 and cols.max() == 15 + taps // 2, sigma
    img = rng.integers(0, 256, (20, 24), dtype=np.uint8)
    assert np.array_equal(th.april_blur(img, 0.0), img)
    # -1 sharpens with the 5-tap kernel that +1 blurs with
    assert np.array_equal(th.april_blur(img, -1.0),
                          np.clip(2 * img.astype(int) - th.april_blur(img, 1.0), 0, 255))
    # rounds to zero in single precision: the default 0.8
    assert np.array_equal(th.april_blur(img, 1e-50), th.april_blur(img, 0.8))
    # subnormal in single precision: clamped to the smallest normal, no blur
    assert np.array_equal(th.april_blur(img, 1e-40), img)
    # huge: clamped, finishes, equals the clamp value
    assert np.array_equal(th.april_blur(img, 1e300), th.april_blur(img, 256.0))
    for shape in [(0, 0), (1, 1), (1, 9), (9, 1)]:
        tiny = np.full(shape, 77, np.uint8)
        assert np.array_equal(th.april_blur(tiny, 1.5), tiny)


# --------------------------------------------------------------------------
# tile threshold


@pytest.mark.parametrize("shape", [(4, 4), (8, 10), (37, 53), (64, 61), (5, 130), (523, 389)])
@pytest.mark.parametrize("min_diff,deglitch", [(0, False), (5, False), (40, True), (5, True)])
def test_threshold_matches_reference(rng, shape, min_diff, deglitch):
    img = cv2.GaussianBlur(rng.integers(0, 256, shape).astype(np.uint8), (0, 0), 0.8)
    img[: shape[0] // 2, : shape[1] // 3] //= 8  # some flat, some contrasty tiles
    got = th.april_threshold(img, min_diff, deglitch)
    assert np.array_equal(got, threshold_reference(img, min_diff, deglitch))


def test_threshold_tiles_and_leftovers():
    for shape in [(0, 0), (3, 100), (100, 3), (3, 3)]:
        out = th.april_threshold(np.zeros(shape, np.uint8), 0, True)
        assert out.shape == shape and (out == UNDECIDED).all()
    flat = np.full((12, 12), 90, np.uint8)
    assert (th.april_threshold(flat, 1, False) == UNDECIDED).all()
    assert (th.april_threshold(flat, 0, False) == BLACK).all()  # none strictly above thr
    tile = np.where(np.indices((4, 4)).sum(0) % 2, 200, 10).astype(np.uint8)
    assert np.array_equal(th.april_threshold(tile, 5, False), np.where(tile == 200, WHITE, BLACK))
    # Width 10: columns 8 and 9 use tile column 1 and never feed its statistics.
    img = np.full((8, 10), 100, np.uint8)
    img[:, 4:8] = np.tile([90, 110], (8, 2))
    img[:, 8:] = [[250, 5]] * 8
    out = th.april_threshold(img, 5, False)
    assert np.array_equal(out[:, 8:], np.full((8, 2), WHITE) * [[1, 0]])  # thr (90+110)//2
    assert np.array_equal(out, threshold_reference(img, 5))


def test_deglitch_closes_white():
    img = np.full((24, 24), 255, np.uint8)
    img[1::8, 1::8] = 0           # isolated anchors keep every tile neighbourhood contrasty
    img[6, 5] = 0                 # isolated black pixel in white
    img[3:10, 12] = 0             # one-pixel black line between white areas
    img[14:22, 4:12] = 0          # black area with an isolated white pixel
    img[17, 7] = 255
    plain = th.april_threshold(img, 5, False)
    assert plain[6, 5] == plain[5, 12] == plain[17, 6] == BLACK and plain[17, 7] == WHITE
    closed = th.april_threshold(img, 5, True)
    assert closed[6, 5] == WHITE and (closed[3:10, 12] == WHITE).all()
    assert closed[9, 9] == WHITE                                   # anchors vanish
    assert closed[17, 7] == WHITE and (closed[16:19, 6:9].sum() == WHITE)  # stays one pixel
    assert np.array_equal(closed, threshold_reference(img, 5, True))


# --------------------------------------------------------------------------
# labelling, edges, clusters


def test_labels_are_black_4_and_white_8_components(rng):
    for _ in range(6):
        img = random_three_valued(rng, 41, 57)
        img[[0, -1], :] = UNDECIDED  # without the border rules, labelling
        img[:, [0, -1]] = UNDECIDED  # is plain connectivity
        res = th.april_boundary_edges(img)
        roots = pixel_roots(res)
        _, black = cv2.connectedComponents((img == BLACK).astype(np.uint8), connectivity=4)
        _, white = cv2.connectedComponents((img == WHITE).astype(np.uint8), connectivity=8)
        expected = np.where(img == BLACK, black, np.where(img == WHITE, white + 10**6, -1))
        assert same_partition(roots, expected)
        # sizes count labels: the roots' sizes add up to all labels
        assert res["sizes"][np.unique(roots_of(res["parents"]))].sum() == len(res["parents"])


def test_forest_matches_labelling_rules(rng):
    images = [random_three_valued(rng, 23, 31, blob=b, p_undecided=p)
              for b in (True, False) for p in (0.0, 0.15)]
    images.append(cv2.resize(random_three_valued(rng, 6, 9, p_undecided=0.1), (70, 40),
                             interpolation=cv2.INTER_NEAREST))  # long runs
    images += [np.zeros((5, 6), np.uint8), np.full((4, 7), WHITE, np.uint8),
               np.where(np.indices((9, 9)).sum(0) % 2, WHITE, BLACK).astype(np.uint8),
               random_three_valued(rng, 1, 9), random_three_valued(rng, 9, 2)]
    # Wide enough that the rows are labelled in bands of 32, with components
    # crossing from band to band; the second ends in a band of one row.
    images += [random_three_valued(rng, 70, 1030, blob=True, p_undecided=0.05),
               random_three_valued(rng, 33, 1100, p_undecided=0.1)]
    for img in images:
        labels, parents, sizes = labelling_reference(img)
        # unions made as each band is labelled, or listed first and made later
        for listed in (False, True):
            res = th.april_boundary_edges(img, listed)
            assert np.array_equal(res["labels"], labels)
            assert res["parents"].tolist() == parents
            assert res["sizes"].tolist() == sizes


def test_border_column_and_row_rules():
    img = np.zeros((6, 8), np.uint8)  # all black
    roots = pixel_roots(th.april_boundary_edges(img))
    for y in range(6):  # column 0 never joins or unites: singletons
        assert (roots == roots[y, 0]).sum() == 1
    # column 1 joins nothing to its left; the rest is one component except
    # the last row, which never joins left and unites only upwards
    assert (roots[:5, 1:] == roots[1, 3]).all()
    assert roots[5, 1] == roots[1, 3]
    # last column (black): only through left joins, so still connected here
    white = np.full((6, 8), WHITE, np.uint8)
    roots = pixel_roots(th.april_boundary_edges(white))
    assert roots[3, 0] == roots[2, 1]            # white column 0 unites up-right
    assert roots[0, 0] != roots[0, 1]            # row 0: pixel 1 never joins left
    single = pixel_roots(th.april_boundary_edges(np.zeros((1, 6), np.uint8)))
    assert len(np.unique(single)) == 6           # one row is also the last row


def test_edges_match_reference(rng):
    for shape in [(3, 3), (4, 9), (30, 31), (64, 48)]:
        img = random_three_valued(rng, *shape, blob=shape[0] > 10)
        res = th.april_boundary_edges(img)
        assert np.array_equal(res["edges"], edges_reference(img))
        roots = roots_of(res["parents"])
        lab = res["labels"].ravel()
        e = res["edges"]
        ra, rb = roots[lab[e[:, 4]]], roots[lab[e[:, 5]]]
        expected = (np.minimum(ra, rb) << 32) | np.maximum(ra, rb)
        assert np.array_equal(res["keys"].astype(np.int64), expected)
    only_black = np.where(rng.random((20, 20)) < 0.5, BLACK, UNDECIDED).astype(np.uint8)
    assert len(th.april_boundary_edges(only_black)["edges"]) == 0
    for shape in [(0, 0), (1, 1), (2, 5), (5, 2)]:
        assert len(th.april_boundary_edges(np.zeros(shape, np.uint8))["edges"]) == 0


def test_black_square_gives_one_cluster():
    img = np.full((20, 20), WHITE, np.uint8)
    img[5:15, 5:15] = BLACK
    res = th.april_boundary_edges(img)
    assert len(np.unique(res["keys"])) == 1
    clusters = th.april_boundary_clusters(img, 24)
    assert len(clusters) == 1 and np.array_equal(clusters[0], res["edges"][:, :4])
    # single-pixel checkerboard: white joins diagonally, each black pixel is
    # alone, and its 4 to 8 points stay below the size limit
    board = np.where(np.indices((12, 12)).sum(0) % 2, WHITE, BLACK).astype(np.uint8)
    roots = pixel_roots(th.april_boundary_edges(board))
    assert len(np.unique(roots[1:-1, 1:-1][board[1:-1, 1:-1] == WHITE])) == 1
    assert th.april_boundary_clusters(board, 24) == []


def test_clusters_group_sort_and_filter(rng):
    # the tall image is grouped in several bands of rows, with components
    # and clusters crossing the band borders
    for min_points, (h, w) in [(0, (50, 70)), (5, (50, 70)), (24, (50, 70)), (100, (50, 70)),
                               (5, (420, 60)), (24, (700, 40))]:
        img = random_three_valued(rng, h, w, p_undecided=0.05)
        res = th.april_boundary_edges(img)
        groups = {}
        for key, row in zip(res["keys"].tolist(), res["edges"][:, :4]):
            groups.setdefault(key, []).append(row)
        expected = [np.array(groups[k]) for k in sorted(groups) if len(groups[k]) >= min_points]
        got = th.april_boundary_clusters(img, min_points)
        assert len(got) == len(expected)
        assert all(np.array_equal(g, e) for g, e in zip(got, expected))
        compact = th.april_image_clusters(img, min_points)
        assert len(compact) == len(got) and all(np.array_equal(a, b) for a, b in zip(compact, got))


def test_clusters_of_a_large_forest(rng):
    # Hundreds of thousands of labels: the fast form points them at their
    # roots in pieces on the pool, the plain form one by one.
    img = random_three_valued(rng, 640, 480, p_undecided=0.05)
    got = th.april_boundary_clusters(img, 24)
    compact = th.april_image_clusters(img, 24)
    assert len(got) > 100
    assert len(compact) == len(got) and all(np.array_equal(a, b) for a, b in zip(compact, got))


# --------------------------------------------------------------------------
# quad fitting


def test_line_fit_against_weighted_pca(rng):
    t = np.linspace(0, 40, 60)
    pts = np.stack([20 + t, 10 + 0.5 * t + rng.normal(0, 0.7, t.size)], 1)
    cluster = np.zeros((len(t), 4), np.int32)
    cluster[:, :2] = np.round(2 * pts - 1)
    gray = rng.integers(0, 256, (60, 80), dtype=np.uint8)
    for i0, i1 in [(0, 59), (5, 30), (50, 9)]:  # the last one wraps
        idx = np.arange(i0, i1 + 1) if i1 >= i0 else np.r_[i0:60, 0:i1 + 1]
        p = cluster[idx, :2] * 0.5 + 0.5
        ix, iy = ((cluster[idx, :2] + 1) >> 1).T.astype(int)
        inside = (ix >= 1) & (ix + 1 < 80) & (iy >= 1) & (iy + 1 < 60)
        g = gray.astype(float)
        wgt = np.ones(len(idx))
        wgt[inside] = np.hypot(g[iy[inside], ix[inside] + 1] - g[iy[inside], ix[inside] - 1],
                               g[iy[inside] + 1, ix[inside]] - g[iy[inside] - 1, ix[inside]]) + 1
        mean = (wgt[:, None] * p).sum(0) / wgt.sum()
        cov = ((wgt[:, None, None] * np.einsum("ni,nj->nij", p - mean, p - mean)).sum(0) / wgt.sum())
        evals, evecs = np.linalg.eigh(cov)
        nx, ny, c, mse, err = th.april_line_fit(cluster, gray, i0, i1)
        normal = evecs[:, 0]
        assert abs(abs(nx * normal[0] + ny * normal[1]) - 1) < 1e-9
        assert abs(nx * mean[0] + ny * mean[1] + c) < 1e-9
        assert mse == pytest.approx(evals[0], rel=1e-9, abs=1e-12)
        assert err == pytest.approx(evals[0] * len(idx), rel=1e-9, abs=1e-12)
    assert th.april_line_fit(cluster, gray, 3, 4) is None  # fewer than 3 points
    assert th.april_line_fit(cluster, gray, 59, 0) is None


def ordered_outline(rng, kind, n=None):
    """Points in fitting order (doubled pixel coordinates) round a shape."""
    centre = rng.uniform(40, 80, 2)
    if kind == "polygon":  # noisy, 3 to 8 corners
        k = int(rng.integers(3, 9))
        ang = np.sort(rng.uniform(0, 2 * np.pi, k))
        verts = centre + rng.uniform(15, 35, (k, 1)) * np.stack([np.cos(ang), np.sin(ang)], 1)
        t = rng.uniform(0, k, n or int(rng.integers(24, 300)))
        t.sort()
        i = t.astype(int)
        pts = verts[i] + (t - i)[:, None] * (verts[(i + 1) % k] - verts[i])
        pts += rng.normal(0, rng.choice([0.0, 0.3, 1.5]), pts.shape)
    elif kind == "circle":
        a = np.linspace(0, 2 * np.pi, n or int(rng.integers(24, 200)), endpoint=False)
        pts = centre + 25 * np.stack([np.cos(a), np.sin(a)], 1)
    else:  # exact square or octagon, evenly sampled: equal side errors
        k = 4 if kind == "square" else 8
        a = np.arange(k) * 2 * np.pi / k + (np.pi / 4 if k == 4 else 0)
        verts = np.round(centre + 30 * np.stack([np.cos(a), np.sin(a)], 1))
        per = 12 if k == 4 else 6
        t = np.arange(k * per) / per
        i = t.astype(int)
        pts = verts[i] + (t - i)[:, None] * (verts[(i + 1) % k] - verts[i])
    out = np.zeros((len(pts), 4), np.int32)
    out[:, :2] = np.round(2 * pts)
    return out


def test_bounded_quad_search_matches_exhaustive(rng):
    # The fitter's quad search decides on bounds of the side fits and fits
    # exactly only where they cannot tell; it must pick what fitting every
    # side would, ties included (exact outlines on a flat image tie often).
    images = [np.full((120, 120), 200, np.uint8), rng.integers(0, 256, (120, 120), dtype=np.uint8),
              np.tile(np.arange(0, 240, 2, dtype=np.uint8), (120, 1))]
    found = none = 0
    for trial in range(400):
        kind = ["polygon", "polygon", "circle", "square", "octagon"][trial % 5]
        pts = ordered_outline(rng, kind)
        gray = images[trial % 3]
        settings = {}
        if trial % 4:
            settings = dict(april_tag_max_line_fit_mse=float(10 ** rng.uniform(-3, 3)),
                            april_tag_critical_rad=float(rng.uniform(0.01, 1.55)),
                            april_tag_max_nmaxima=int(rng.integers(4, 17)))
        bounded = th.april_search_quad(pts, gray, False, **settings)
        exhaustive = th.april_search_quad(pts, gray, True, **settings)
        assert bounded == exhaustive, (kind, settings)  # totals bit for bit
        found += bounded[1] is not None
        none += bounded[1] is None and len(bounded[0]) >= 4
        maxima = bounded[0]
        if bounded[1] is None or trial % 2:
            continue
        # The mse limit set exactly to one of the best quadruple's sides, and
        # a rounding step to either side: that side's fate is decided right at
        # the limit, where only its exact fit can tell.
        i = int(rng.integers(4))
        a, b = maxima[bounded[1][i]], maxima[bounded[1][(i + 1) % 4]]
        mse = th.april_line_fit(pts, gray, a, b)[3]
        for limit in (mse, np.nextafter(mse, np.inf), np.nextafter(mse, 0)):
            if not limit > 0:
                continue
            edge = dict(settings, april_tag_max_line_fit_mse=float(limit))
            assert (th.april_search_quad(pts, gray, False, **edge) ==
                    th.april_search_quad(pts, gray, True, **edge)), (kind, edge)
        # Likewise the corner angle limit at the first corner's own angle.
        m0, m1, m2 = (maxima[j] for j in bounded[1][:3])
        n01, n12 = th.april_line_fit(pts, gray, m0, m1), th.april_line_fit(pts, gray, m1, m2)
        crit = float(np.arccos(min(abs(n01[0] * n12[0] + n01[1] * n12[1]), 1.0)))
        for c in (crit, np.nextafter(crit, 0), np.nextafter(crit, 2), np.nextafter(np.nextafter(crit, 2), 2)):
            edge = dict(settings, april_tag_critical_rad=float(c))
            assert (th.april_search_quad(pts, gray, False, **edge) ==
                    th.april_search_quad(pts, gray, True, **edge)), (kind, edge)
    assert found > 100 and none > 10


def test_dark_square_corners_on_the_border():
    img = square_image(40, x0=37, y0=29)
    quads = th.april_candidates(img)
    assert len(quads) == 1
    truth = np.array([[37, 29], [77, 29], [77, 69], [37, 69]], float)  # TL, TR, BR, BL
    assert np.abs(np.array(quads[0]) - truth).max() < 0.05
    assert th.april_candidates(square_image(40, dark=False)) == []  # white on black


def test_rotated_squares_and_order(rng):
    for angle in (10, 33, 61):
        centre = np.array([80.3, 77.6])
        a = np.radians(angle)
        rot = np.array([[np.cos(a), -np.sin(a)], [np.sin(a), np.cos(a)]])
        corners = centre + (np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * 30) @ rot.T
        quads = th.april_candidates(polygon_image(corners))
        assert len(quads) == 1
        q = np.array(quads[0], float)
        assert match(q, [corners], 0.25)
        # clockwise on screen from the smallest angle around the centre
        ang = np.arctan2(q[:, 1] - q[:, 1].mean(), q[:, 0] - q[:, 0].mean())
        assert np.argmin(ang) == 0 and (np.diff(ang[np.argsort(ang)]) > 0).all()
        for i in range(4):  # every turn is clockwise on screen (y down)
            (ax, ay), (bx, by) = q[(i + 1) % 4] - q[i], q[(i + 2) % 4] - q[(i + 1) % 4]
            assert ax * by - ay * bx > 0


def test_shape_rejections():
    assert th.april_candidates(square_image(7)) == []          # 49 square pixels
    assert len(th.april_candidates(square_image(9))) == 1      # 81
    wedge = [[20, 80], [140, 70], [145, 80], [140, 90]]        # about 9 degrees at the tip
    assert not any(match(q, [wedge], 3) for q in th.april_candidates(polygon_image(wedge)))
    loose = dict(april_tag_max_line_fit_mse=1e6)
    dart = [[30, 30], [130, 60], [60, 70], [50, 130]]          # concave at (60, 70)
    kite = [[30, 30], [130, 60], [110, 110], [50, 130]]
    assert th.april_candidates(polygon_image(dart), **loose) == []
    assert len(th.april_candidates(polygon_image(kite), **loose)) == 1


def square_points(side):
    """The single cluster of a dark square, in production order."""
    (cluster,) = th.april_boundary_clusters(th.april_threshold(square_image(side), 5, False), 1)
    return cluster


def test_cluster_size_limits():
    pts = square_points(20)
    n = len(pts)
    gray = np.full((120, 120), 255, np.uint8)
    assert th.april_fit_quad(pts, gray, april_tag_min_cluster_pixels=n) is not None
    assert th.april_fit_quad(pts, gray, april_tag_min_cluster_pixels=n + 1) is None
    small = np.full((20, n // 6 - 20), 255, np.uint8)  # 6 (w + h) just below n
    assert th.april_fit_quad(pts, small) is None
    assert th.april_fit_quad(pts, np.full((20, n // 6 - 19), 255, np.uint8)) is not None
    inside_out = pts.copy()
    inside_out[:, 2:] *= -1
    assert th.april_fit_quad(inside_out, gray) is None
    # 24 points, but 23 distinct positions: rejected even with a lower limit
    sparse = pts[np.linspace(0, n - 1, 24).astype(int)]
    assert len(np.unique(sparse[:, :2], axis=0)) == 24
    assert th.april_fit_quad(sparse, gray, april_tag_min_cluster_pixels=5) is not None
    assert th.april_fit_quad(sparse[:23], gray, april_tag_min_cluster_pixels=5) is None
    dup = sparse.copy()
    dup[5] = dup[6]
    assert th.april_fit_quad(dup, gray, april_tag_min_cluster_pixels=5) is None
    assert th.april_fit_quad(pts, gray, april_tag_max_nmaxima=4) is not None


def test_min_cluster_pixels_in_candidates():
    img = square_image(20)
    n = len(square_points(20))
    for limit in (5, 24, n):
        assert len(th.april_candidates(img, april_tag_min_cluster_pixels=limit)) == 1
    for limit in (n + 1, 2**31 - 1, -1):  # -1 is read as a huge unsigned count
        assert th.april_candidates(img, april_tag_min_cluster_pixels=limit) == []


# --------------------------------------------------------------------------
# the candidate source


def test_candidates_apply_preprocessing_and_scale(rng):
    img = tag_scene(rng, 240, 320, count=4)
    for factor in (1.5, 2.0, 3.3):
        small = th.april_decimate(img, factor)
        expected = [np.array(q, np.float32) * np.float32(factor) for q in th.april_candidates(small)]
        got = th.april_candidates(img, april_tag_quad_decimate=factor)
        assert len(got) == len(expected) > 0
        assert all(np.array_equal(np.array(g, np.float32), e) for g, e in zip(got, expected))
    for sigma in (0.8, -1.0):
        assert th.april_candidates(img, april_tag_quad_sigma=sigma) == \
            th.april_candidates(th.april_blur(img, sigma))
    assert th.april_candidates(img, april_tag_quad_decimate=1.0) == th.april_candidates(img)


def test_candidates_agree_with_pupil_apriltags(rng):
    pa = pytest.importorskip("pupil_apriltags")
    img = tag_scene(rng, 480, 640, count=12)
    det = pa.Detector(families="tag36h11", nthreads=1, quad_decimate=1.0, quad_sigma=0.0,
                      refine_edges=0)
    tags = det.detect(img)
    assert len(tags) >= 10
    quads = th.april_candidates(img)
    assert all(match(t.corners, quads, 0.1) for t in tags)
    # the same fit on the same boundary gives the same corners
    assert sum(match(t.corners, quads, 1e-4) for t in tags) >= 3


# --------------------------------------------------------------------------
# edge refinement

SLANTED = np.array([[40.3, 35.7], [118.6, 44.2], [111.1, 121.9], [33.8, 109.4]])


def convex_image(corners, h=160, w=160, ss=16):
    """Dark convex quad (clockwise on screen) on white by area coverage, from
    ss x ss samples per pixel, in the fitter's convention. Exact to a few
    thousandths of a pixel, where polygon_image's rasteriser widens the
    shape by a fraction of a sample."""
    ys, xs = (np.arange(n * ss) / ss + 0.5 / ss for n in (h, w))
    x, y = np.meshgrid(xs, ys)
    inside = np.ones(x.shape, bool)
    for a, b in zip(corners, np.roll(corners, -1, axis=0)):
        inside &= (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]) >= 0
    cover = inside.reshape(h, ss, w, ss).mean(axis=(1, 3))
    return np.round(255 * (1 - cover)).astype(np.uint8)


def refine_edges(image, quad, reach=2.0):
    return np.array(th.april_refine_edges(image, np.asarray(quad, np.float32).tolist(), reach))


@pytest.mark.parametrize("blur", [0.0, 1.2])
def test_refine_edges_lands_on_the_true_sides(rng, blur):
    image = convex_image(SLANTED)
    if blur:
        image = cv2.GaussianBlur(image, (0, 0), blur)
    for _ in range(4):
        start = SLANTED + rng.uniform(-0.9, 0.9, (4, 2))
        assert np.abs(refine_edges(image, start) - SLANTED).max() < 0.03
        # either winding: the outward side of every edge is found all the same
        assert np.abs(refine_edges(image, start[::-1]) - SLANTED[::-1]).max() < 0.03


def test_refine_edges_keeps_the_sides_it_cannot_see():
    start = SLANTED + 0.4
    flat = np.full((160, 160), 128, np.uint8)
    assert np.array_equal(refine_edges(flat, start), start.astype(np.float32))
    # The left side lies at the image edge, where no profile across it fits
    # in the image: it stays on its old line, while the others move.
    at_edge = np.array([[1.6, 30.3], [90.2, 36.8], [84.7, 120.1], [1.9, 111.6]])
    got = refine_edges(convex_image(at_edge), at_edge + 0.4)
    (x0, y0), (x3, y3) = at_edge[0] + 0.4, at_edge[3] + 0.4
    for x, y in got[[0, 3]]:
        assert abs((x3 - x0) * (y - y0) - (y3 - y0) * (x - x0)) / np.hypot(x3 - x0, y3 - y0) < 1e-3
    assert np.abs(got[[1, 2]] - at_edge[[1, 2]]).max() < 0.03
    # steps beyond the reach are not sought
    assert np.array_equal(refine_edges(convex_image(SLANTED), SLANTED + [3.0, 3.0]),
                          (SLANTED + [3.0, 3.0]).astype(np.float32))


def test_tiny_and_degenerate_images():
    for shape in [(0, 0), (0, 5), (1, 1), (3, 3), (4, 4), (2, 400), (400, 3)]:
        img = np.zeros(shape, np.uint8)
        assert th.april_candidates(img) == []
        assert th.april_candidates(img, april_tag_quad_decimate=2.0, april_tag_quad_sigma=1e300) == []
    img = square_image(30)
    assert len(th.april_candidates(img, april_tag_max_nmaxima=2**31 - 1)) == 1
    # every maximum searched: quartic in their number, but each side is
    # fitted once, so a busy scene still takes well under a second
    busy = tag_scene(np.random.default_rng(5), 480, 640, count=12)
    assert len(th.april_candidates(busy, april_tag_max_nmaxima=2**31 - 1)) >= 12


THREADS_SCRIPT = textwrap.dedent("""
    import json, sys, numpy as np
    sys.path.insert(0, sys.argv[1])
    import _markvane_testhooks as th
    from test_apriltag_stages import tag_scene
    out = []
    for seed, settings in [(1, {}), (2, {"april_tag_quad_decimate": 1.5}),
                           (3, {"april_tag_quad_sigma": 0.8, "april_tag_deglitch": True})]:
        img = tag_scene(np.random.default_rng(seed), 600, 800, count=20, noise=6.0)
        out.append(th.april_candidates(img, **settings))
    print(json.dumps(out))
""")


def test_candidates_identical_for_any_thread_count():
    def run(threads):
        env = {k: v for k, v in os.environ.items() if k not in ("MARKVANE_CORES", "RAYON_NUM_THREADS")}
        if threads:
            env["RAYON_NUM_THREADS"] = str(threads)
        proc = subprocess.run([sys.executable, "-c", THREADS_SCRIPT, os.path.dirname(__file__)],
                              capture_output=True, text=True, env=env, timeout=600)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    default = run(None)
    assert all(len(quads) > 20 for quads in json.loads(default))
    assert run(1) == default
    assert run(4) == default


def tent_taps_reference(n, m):
    f32 = np.float32
    ratio = f32(n) / f32(m)
    scale = max(ratio, f32(1.0))
    taps = []
    for o in range(m):
        centre = (f32(o) + f32(0.5)) * ratio
        left = min(max(int(np.floor(centre - scale)), 0), n - 1)
        right = min(max(int(np.ceil(centre + scale)), left + 1), n)
        ws = []
        for i in range(left, right):
            a = abs((f32(i) - (centre - f32(0.5))) / scale)
            ws.append(f32(1.0) - a if a < f32(1.0) else f32(0.0))
        total = f32(0.0)
        for w in ws:
            total = f32(total + w)
        taps.append((left, [f32(w / total) for w in ws]))
    return taps


def decimate_reference(img, factor):
    h, w = img.shape
    nh, nw = (max(1, int(np.floor(v / factor + 0.5))) for v in (h, w))
    src = img.astype(np.float32)
    rows = np.zeros((nh, w), np.float32)
    for o, (first, ws) in enumerate(tent_taps_reference(h, nh)):
        for k, wk in enumerate(ws):
            rows[o] = rows[o] + wk * src[first + k]
    out = np.zeros((nh, nw), np.float32)
    for o, (first, ws) in enumerate(tent_taps_reference(w, nw)):
        for k, wk in enumerate(ws):
            out[:, o] = out[:, o] + wk * rows[:, first + k]
    v = np.clip(np.nan_to_num(out), 0, 255).astype(np.float32)
    t = v.astype(np.int32)
    return (t + (v - t.astype(np.float32) >= 0.5)).astype(np.uint8)


@pytest.mark.parametrize("shape, factor", [((64, 90), 2.0), ((33, 71), 2.0), ((40, 48), 1.5), ((29, 50), 3.0)])
def test_decimate_matches_float_reference(rng, shape, factor):
    # Halving an even side takes a vectorised path for the outputs away from
    # the ends; the float32 steps here are the filter's, in the same order.
    img = rng.integers(0, 256, shape, dtype=np.uint8)
    np.testing.assert_array_equal(th.april_decimate(img, factor), decimate_reference(img, factor))
