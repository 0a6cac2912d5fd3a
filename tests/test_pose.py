"""Camera model, Rodrigues, projection, iterative PnP and RANSAC PnP.

OpenCV's Python package serves as the reference for the camera model and as
the baseline that the iterative solver must match or beat.
"""
import math

import numpy as np
import pytest

import markvane as mv

cv2 = pytest.importorskip("cv2")

K = [[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]]
K_NP = np.array(K)
DIST_LENGTHS = (0, 4, 5, 8, 12, 14)


def random_dist(rng, n, scale=0.02):
    d = rng.normal(0.0, scale, n)
    if n == 14:
        d[12:] = 0.0  # tilted sensors are refused
    return d


def cv_dist(d):
    return np.zeros(0) if d is None or len(d) == 0 else np.asarray(d, float)


def cv_project(obj, rvec, tvec, dist=None, k=K_NP):
    img, _ = cv2.projectPoints(np.asarray(obj, float), np.asarray(rvec, float), np.asarray(tvec, float), k,
                               cv_dist(dist))
    return img.reshape(-1, 2)


def random_pose(rng):
    rvec = rng.normal(0.0, 0.4, 3)
    tvec = np.array([rng.uniform(-0.5, 0.5), rng.uniform(-0.5, 0.5), rng.uniform(4.0, 8.0)])
    return rvec, tvec


def random_object(rng, n, planar):
    obj = rng.uniform(-1.0, 1.0, (n, 3))
    if planar:
        obj[:, 2] = 0.0
    return obj


def reprojection_rms(obj, img, rvec, tvec, dist=None):
    proj = cv_project(obj, rvec, tvec, dist)
    return float(np.sqrt(np.mean(np.sum((proj - img) ** 2, axis=1))))


def rotation_angle_between(r1, r2):
    m1, _ = cv2.Rodrigues(np.asarray(r1, float))
    m2, _ = cv2.Rodrigues(np.asarray(r2, float))
    c = (np.trace(m1.T @ m2) - 1.0) / 2.0
    return math.acos(max(-1.0, min(1.0, c)))


# ---------------------------------------------------------------- rodrigues


def rodrigues_inputs():
    rng = np.random.default_rng(11)
    cases = [rng.normal(0, 1.0, 3) for _ in range(20)]
    cases += [rng.normal(0, 1.0, 3) * 1e-9 for _ in range(3)]  # near zero
    for _ in range(6):  # near pi: the axis must come from the diagonal branch
        axis = rng.normal(0, 1.0, 3)
        axis /= np.linalg.norm(axis)
        cases.append(axis * (math.pi - rng.uniform(0, 1e-7)))
    cases += [np.array([math.pi, 0, 0]), np.array([0, -math.pi, 0]), np.array([0, 0, math.pi])]
    return cases


@pytest.mark.parametrize("rvec", rodrigues_inputs(), ids=lambda v: np.array2string(v, precision=2))
def test_rodrigues_matches_opencv_both_directions(rvec):
    ref, _ = cv2.Rodrigues(rvec)
    for src in ([list(rvec)], [[x] for x in rvec]):
        got = np.array(mv.rodrigues(src))
        assert got.shape == (3, 3)
        assert np.allclose(got, ref, rtol=1e-9, atol=1e-12)
    back = np.array(mv.rodrigues(ref.tolist()))
    ref_back, _ = cv2.Rodrigues(ref)
    assert back.shape == (3, 1)
    # Within 1e-5 of pi the angle comes from acos(c) with c ~ -1, which turns
    # one-ulp differences of the orthonormalized matrix into ~1e-8 changes:
    # the comparison there is as tight as that conditioning allows.
    near_pi = math.sin(np.linalg.norm(rvec)) < 1e-5 and np.linalg.norm(rvec) > 1.0
    rel = 2e-8 if near_pi else 1e-9
    assert np.allclose(back, ref_back, rtol=0, atol=rel * max(1e-300, np.linalg.norm(ref_back)))


def test_rodrigues_just_outside_the_near_pi_branch_is_tight():
    rng = np.random.default_rng(12)
    for _ in range(50):
        axis = rng.normal(0, 1.0, 3)
        axis /= np.linalg.norm(axis)
        rvec = axis * (math.pi - rng.uniform(2e-5, 1e-3))
        ref, _ = cv2.Rodrigues(rvec)
        back = np.ravel(mv.rodrigues(ref.tolist()))
        assert np.allclose(back, cv2.Rodrigues(ref)[0].ravel(), rtol=0, atol=1e-9 * math.pi)


def test_rodrigues_special_values():
    assert mv.rodrigues([[0.0, 0.0, 0.0]]) == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert mv.rodrigues([[1e-17, 0.0, 0.0]]) == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert mv.rodrigues([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]) == [[0.0], [0.0], [0.0]]
    # Exactly pi about an axis: a vector of length pi along that axis.
    for axis in range(3):
        r = np.zeros(3)
        r[axis] = math.pi
        back = np.array(mv.rodrigues(cv2.Rodrigues(r)[0].tolist())).ravel()
        assert abs(np.linalg.norm(back) - math.pi) < 1e-12 and abs(abs(back[axis]) - math.pi) < 1e-12


def test_rodrigues_orthonormalizes_its_matrix_input():
    r = np.array([0.3, -0.5, 0.2])
    m, _ = cv2.Rodrigues(r)
    scaled = (m * 2.5 + 1e-4).tolist()
    assert np.allclose(np.ravel(mv.rodrigues(scaled)), r, atol=1e-4)
    # Extra entries in later rows are ignored (the shape comes from the first row).
    padded = [row + [99.0] * i for i, row in enumerate(m.tolist())]
    assert np.allclose(np.ravel(mv.rodrigues(padded)), r, atol=1e-12)


@pytest.mark.parametrize("src", [[[1, 2]], [[1], [2]], [], [[1, 2, 3, 4]], [[1, 2, 3], [1, 2], [1, 2, 3]],
                                 [[1], [], [3]], [[1, 2, 3]] * 2, [[1, 2, 3]] * 4])
def test_rodrigues_shape_errors(src):
    with pytest.raises(ValueError, match=r"^src must be 3x1 / 1x3 \(rotation vector\) or 3x3 \(rotation matrix\)$"):
        mv.rodrigues(src)


@pytest.mark.parametrize("src, exc", [("abc", TypeError), (None, TypeError), ([["a", 1, 2]], TypeError)])
def test_rodrigues_type_errors(src, exc):
    with pytest.raises(exc, match="^argument 'src': "):
        mv.rodrigues(src)


# ------------------------------------------------------------ projection


@pytest.mark.parametrize("n_dist", DIST_LENGTHS)
@pytest.mark.parametrize("angle", ["random", "zero", "near_pi"])
def test_project_points_matches_opencv(n_dist, angle):
    rng = np.random.default_rng(n_dist * 7 + len(angle))
    for _ in range(5):
        obj = random_object(rng, 25, planar=False)
        rvec, tvec = random_pose(rng)
        if angle == "zero":
            rvec = rng.normal(0, 1, 3) * 1e-17
        elif angle == "near_pi":
            rvec = rvec / np.linalg.norm(rvec) * (math.pi - 1e-9)
        dist = random_dist(rng, n_dist) if n_dist else None
        got = np.array(mv.project_points(obj.tolist(), rvec.tolist(), tvec.tolist(), K,
                                         None if dist is None else dist.tolist()))
        ref = cv_project(obj, rvec, tvec, dist)
        assert np.allclose(got, ref, rtol=1e-9, atol=0)


def test_project_points_conventions():
    obj = [[0.5, -0.25, 0.0], [0.1, 0.2, 3.0]]
    # Zc == 0 projects with inverse depth 1.
    got = mv.project_points(obj, [0, 0, 0], [0, 0, 0], K)
    assert got[0] == [800.0 * 0.5 + 320.0, 780.0 * -0.25 + 240.0]
    # Skew and the third row of the camera matrix are not modelled.
    skewed = [[800.0, 37.0, 320.0], [5.0, 780.0, 240.0], [1.0, 2.0, 3.0]]
    assert mv.project_points(obj, [0.1, 0.2, 0.3], [0, 0, 5], skewed) == mv.project_points(
        obj, [0.1, 0.2, 0.3], [0, 0, 5], K)
    assert mv.project_points([], [0, 0, 0], [0, 0, 1], K) == []
    # NumPy arrays (any float width, any strides) read like the equivalent lists.
    arr = np.asfortranarray(np.array(obj, dtype=np.float32))
    assert mv.project_points(arr, np.zeros((3, 1)), np.array([0.0, 0.0, 5.0]), np.array(K)) == \
        mv.project_points(arr.tolist(), [0, 0, 0], [0, 0, 5], K)


def test_distortion_vectors_14_equals_12_and_tilt_refused():
    rng = np.random.default_rng(3)
    d12 = random_dist(rng, 12).tolist()
    obj = random_object(rng, 10, planar=False).tolist()
    args = (obj, [0.1, 0.2, 0.3], [0.0, 0.0, 6.0], K)
    assert mv.project_points(*args, d12 + [0.0, 0.0]) == mv.project_points(*args, d12)
    for tau in ([1e-9, 0.0], [0.0, -1e-9], [float("nan"), 0.0]):
        with pytest.raises(ValueError, match=r"^tilted-sensor distortion \(taux/tauy\) is not supported$"):
            mv.project_points(*args, d12 + tau)


CAMERA_ERRORS = [
    ([[1, 0, 0], [0, 1, 0]], None, "camera_matrix must be 3x3"),
    ([[1, 0, 0], [0, 1], [0, 0, 1]], None, "camera_matrix must be 3x3"),
    ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]], None, "camera_matrix must be 3x3"),
    # The matrix is checked before the distortion vector.
    ([[1, 0, 0]], [1.0, 2.0, 3.0], "camera_matrix must be 3x3"),
    (K, [0.1, 0.2, 0.3], "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got 3"),
    (K, [0.0] * 13, "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got 13"),
]


@pytest.mark.parametrize("matrix, dist, message", CAMERA_ERRORS)
def test_camera_validation_is_shared_by_every_pose_function(matrix, dist, message):
    rng = np.random.default_rng(0)
    obj = random_object(rng, 8, planar=True).tolist()
    img = cv_project(obj, [0.1, 0.2, 0.3], [0, 0, 5]).tolist()
    calls = [
        lambda: mv.project_points(obj, [0, 0, 0], [0, 0, 1], matrix, dist),
        lambda: mv.solve_pnp(obj, img, matrix, dist),
        lambda: mv.solve_pnp_ransac(obj, img, matrix, dist),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
            call()


# --------------------------------------------------------------- solve_pnp


@pytest.mark.parametrize("planar", [True, False], ids=["planar", "nonplanar"])
@pytest.mark.parametrize("n_dist", [0, 5, 8, 14])
@pytest.mark.parametrize("n_points", [4, 6, 30])
def test_solve_pnp_exact_data_gives_exact_pose(planar, n_dist, n_points):
    if not planar and n_points < 6:
        pytest.skip("non-planar start needs six points")
    rng = np.random.default_rng(100 + n_points + n_dist + planar)
    for _ in range(5):
        obj = random_object(rng, n_points, planar)
        rvec, tvec = random_pose(rng)
        dist = random_dist(rng, n_dist, 0.01) if n_dist else None
        img = cv_project(obj, rvec, tvec, dist)
        got = mv.solve_pnp(obj.tolist(), img.tolist(), K, None if dist is None else dist.tolist())
        assert got is not None
        assert np.allclose(got[0], rvec, atol=1e-8) and np.allclose(got[1], tvec, atol=1e-7)


@pytest.mark.parametrize("planar", [True, False], ids=["planar", "nonplanar"])
@pytest.mark.parametrize("with_dist", [False, True], ids=["nodist", "dist"])
def test_solve_pnp_noisy_never_worse_than_opencv(planar, with_dist):
    rng = np.random.default_rng(7 + 2 * planar + with_dist)
    for trial in range(40):
        n = int(rng.integers(6, 40))
        obj = random_object(rng, n, planar)
        rvec, tvec = random_pose(rng)
        dist = random_dist(rng, 5, 0.02) if with_dist else None
        img = cv_project(obj, rvec, tvec, dist) + rng.normal(0.0, 1.0, (n, 2))
        ok, r_cv, t_cv = cv2.solvePnP(obj, img, K_NP, cv_dist(dist), flags=cv2.SOLVEPNP_ITERATIVE)
        got = mv.solve_pnp(obj, img, K_NP, dist)
        if not ok:
            continue
        assert got is not None, f"trial {trial}: OpenCV converged, markvane did not"
        ours = reprojection_rms(obj, img, got[0], got[1], dist)
        theirs = reprojection_rms(obj, img, r_cv.ravel(), t_cv.ravel(), dist)
        assert ours <= theirs + 1e-3, f"trial {trial}: {ours} > {theirs}"


def test_solve_pnp_guess_paths():
    rng = np.random.default_rng(5)
    obj = random_object(rng, 5, planar=False)
    rvec, tvec = random_pose(rng)
    dist = random_dist(rng, 8, 0.02)
    img = cv_project(obj, rvec, tvec, dist)
    # Too few points for the non-planar start: only a guess can help. Converging
    # from a perturbed guess on distorted data exercises the analytic Jacobian.
    assert mv.solve_pnp(obj, img, K, dist) is None
    got = mv.solve_pnp(obj, img, K, dist, rvec=rvec + 0.05, tvec=tvec + [0.1, -0.1, 0.3])
    assert np.allclose(got[0], rvec, atol=1e-9) and np.allclose(got[1], tvec, atol=1e-8)
    # An exact guess comes back (essentially) unchanged.
    exact = mv.solve_pnp(obj, img, K, dist, rvec=rvec, tvec=tvec)
    assert np.allclose(exact[0], rvec, atol=1e-12) and np.allclose(exact[1], tvec, atol=1e-12)


def test_solve_pnp_collinear_inputs_do_not_crash():
    line = [[t, 2 * t, 0.0] for t in np.linspace(-1, 1, 8)]
    img = cv_project(line, [0.1, 0.2, 0.3], [0, 0, 5])
    assert mv.solve_pnp(line, img.tolist(), K) is None or len(mv.solve_pnp(line, img.tolist(), K)) == 2


@pytest.mark.parametrize("planar", [True, False], ids=["planar", "nonplanar"])
def test_coincident_points_give_no_pose(planar):
    # One correspondence repeated fixes no pose, with or without a guess, in
    # every solver that reaches the iterative PnP.
    rng = np.random.default_rng(31)
    obj = random_object(rng, 8, planar)
    rvec, tvec = random_pose(rng)
    img = cv_project(obj, rvec, tvec)
    guess = dict(rvec=rvec + 0.01, tvec=tvec + 0.01)
    same_obj = [obj[2].tolist()] * 8
    same_img = [img[5].tolist()] * 8
    for o, i in ((same_obj, img), (obj, same_img), (same_obj, same_img)):
        assert mv.solve_pnp(o, i, K) is None
        assert mv.solve_pnp(o, i, K, **guess) is None
        assert mv.solve_pnp(o, i, K, [0.01, -0.02, 0.0, 0.0]) is None
        assert mv.solve_pnp_ransac(o, i, K) is None
    # -0.0 and 0.0 are the same point; NaN is no point and is reported as before.
    zeros = [[0.0, 0.0, 0.0], [-0.0, 0.0, 0.0], [0.0, -0.0, 0.0], [0.0, 0.0, -0.0]]
    assert mv.solve_pnp(zeros, img[:4], K) is None
    assert mv.solve_pnp([[math.nan, 0.0, 0.0]] * 4, img[:4], K) is None


def test_nearly_coincident_points_still_solve():
    # A 2 mm marker far from the object origin (relative spread 1e-6), and a
    # distant marker that covers a fifth of a pixel: ill-conditioned, but exact
    # data still determine the pose.
    square = np.array([[-1, 1, 0], [1, 1, 0], [1, -1, 0], [-1, -1, 0], [0.3, 0.4, 0]], float)
    rvec = np.array([0.1, -0.2, 0.05])
    rot, _ = cv2.Rodrigues(rvec)
    offset = np.array([1000.0, 1000.0, 0.0])
    cases = [(offset + square * 1e-3, -rot @ offset + [2e-4, -1e-4, 6e-3], 1e-7),
             (square * 0.01, np.array([1e-4, -2e-4, 100.0]), 1e-6)]
    for obj, tvec, tol in cases:
        img = cv_project(obj, rvec, tvec)
        assert np.ptp(img, axis=0).min() > 0.1
        got = mv.solve_pnp(obj, img, K)
        assert got is not None
        assert np.allclose(got[0], rvec, atol=tol) and np.allclose(got[1], tvec, rtol=tol)
        assert reprojection_rms(obj, img, *got) < 1e-6


PNP_VALIDATION = [
    (dict(image_points=[[0, 0]] * 5), "object_points and image_points must have the same length"),
    (dict(object_points=[[0, 0, 0]] * 3, image_points=[[0, 0]] * 3), "need at least 4 point correspondences"),
    # Length mismatch is reported before the point count.
    (dict(object_points=[[0, 0, 0]] * 2, image_points=[[0, 0]] * 3),
     "object_points and image_points must have the same length"),
    (dict(camera_matrix=[[1, 0, 0]], rvec=[0, 0, 0]), "camera_matrix must be 3x3"),
    (dict(rvec=[0, 0, 0]), "rvec and tvec must be supplied together"),
    (dict(tvec=[0, 0, 1]), "rvec and tvec must be supplied together"),
    (dict(rvec=[0, 0]), r"expected a sequence of length 3 \(got 2\)"),
    (dict(object_points=[[0, 0]] * 4), r"expected a sequence of length 3 \(got 2\)"),
    (dict(object_points=np.zeros((4, 2))), r"expected a sequence of length 3 \(got 2\)"),
]


@pytest.mark.parametrize("override, message", PNP_VALIDATION)
def test_solve_pnp_validation_order(override, message):
    args = dict(object_points=[[0.0, 0.0, 0.0]] * 4, image_points=[[0.0, 0.0]] * 4, camera_matrix=K,
                dist_coeffs=None)
    args.update(override)
    with pytest.raises(ValueError, match="^" + message + "$"):
        mv.solve_pnp(**args)


BAD_ARGUMENTS = [
    ("object_points", "abc", "Can't extract `str` to `Vec`"),
    ("object_points", 5, "'int' object cannot be converted to 'Sequence'"),
    ("object_points", None, "'NoneType' object cannot be converted to 'Sequence'"),
    ("object_points", [[0, 0, "x"]] * 6, "must be real number, not str"),
    ("image_points", "abc", "Can't extract `str` to `Vec`"),
    ("camera_matrix", "abc", "Can't extract `str` to `Vec`"),
    ("camera_matrix", [1.0, 2.0, 3.0], "'float' object cannot be converted to 'Sequence'"),
    ("dist_coeffs", "abc", "Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("func", ["solve_pnp", "solve_pnp_ransac", "project_points"])
@pytest.mark.parametrize("name, value, detail", BAD_ARGUMENTS)
def test_type_errors_name_the_argument(func, name, value, detail):
    obj = [[float(i), float(i % 2), 0.0] for i in range(6)]
    args = dict(object_points=obj, image_points=[[0.0, 0.0]] * 6, camera_matrix=K, dist_coeffs=None)
    if func == "project_points":
        if name == "image_points":
            pytest.skip("no image points")
        del args["image_points"]
        args.update(rvec=[0, 0, 0], tvec=[0, 0, 1])
    args[name] = value
    with pytest.raises(TypeError) as info:
        getattr(mv, func)(**args)
    assert str(info.value).startswith(f"argument '{name}': ")
    assert detail in str(info.value)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_values_flow_through_without_crashing(bad):
    rng = np.random.default_rng(9)
    obj = random_object(rng, 8, planar=False)
    img = cv_project(obj, [0.1, 0.2, 0.3], [0, 0, 5])
    obj_bad = obj.copy()
    obj_bad[3, 1] = bad
    img_bad = img.copy()
    img_bad[2, 0] = bad
    assert mv.solve_pnp(obj_bad, img, K) is None
    assert mv.solve_pnp(obj, img_bad, K) is None
    assert mv.solve_pnp(obj, img, K, rvec=[bad, 0, 0], tvec=[0, 0, 5]) is None
    proj = np.array(mv.project_points(obj_bad, [0.1, 0.2, 0.3], [0, 0, 5], K))
    assert not np.isfinite(proj[3]).all() and np.isfinite(np.delete(proj, 3, axis=0)).all()
    assert not np.isfinite(mv.rodrigues([[bad, 0.0, 0.0]])).all()
    assert np.array(mv.rodrigues([[bad, 0, 0], [0, 1, 0], [0, 0, 1]])).shape == (3, 1)
    for o, i in ((obj_bad, img), (obj, img_bad)):
        with pytest.raises(ValueError, match="^object_points and image_points must contain only finite values$"):
            mv.solve_pnp_ransac(o, i, K)


# ---------------------------------------------------------------- RANSAC


def outlier_problem(rng, n=60, fraction=0.3, planar=False, noise=0.3):
    obj = random_object(rng, n, planar)
    rvec, tvec = random_pose(rng)
    img = cv_project(obj, rvec, tvec) + rng.normal(0.0, noise, (n, 2))
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    img[bad] += rng.uniform(15.0, 80.0, (len(bad), 2)) * rng.choice([-1, 1], (len(bad), 2))
    return obj, img, rvec, tvec, sorted(set(range(n)) - set(bad.tolist()))


@pytest.mark.parametrize("planar", [True, False], ids=["planar", "nonplanar"])
@pytest.mark.parametrize("seed", [0, 1, 12345])
def test_ransac_recovers_inliers_with_30_percent_outliers(planar, seed):
    rng = np.random.default_rng(seed + 17 * planar)
    for _ in range(4):
        obj, img, rvec, tvec, truth = outlier_problem(rng, planar=planar)
        got = mv.solve_pnp_ransac(obj, img, K, iterations=200, seed=seed)
        assert got is not None
        r, t, inliers, rmse = got
        assert inliers == sorted(inliers)
        assert len(set(inliers) ^ set(truth)) <= 2
        assert rotation_angle_between(r, rvec) < 0.01 and np.linalg.norm(np.subtract(t, tvec)) < 0.05 * tvec[2]
        errs = np.linalg.norm(cv_project(obj, r, t)[inliers] - img[inliers], axis=1)
        assert rmse == pytest.approx(math.sqrt(np.mean(errs ** 2)), rel=1e-9)


def test_ransac_is_deterministic_per_seed():
    rng = np.random.default_rng(2)
    obj, img, *_ = outlier_problem(rng, n=40, fraction=0.45, noise=1.0)
    runs = {s: mv.solve_pnp_ransac(obj, img, K, iterations=30, seed=s) for s in (0, 7, 0x9E3779B97F4A7C15)}
    assert mv.solve_pnp_ransac(obj, img, K, iterations=30, seed=7) == runs[7]
    assert runs[0] == runs[0x9E3779B97F4A7C15]  # seed 0 stands for this constant
    mv.solve_pnp_ransac(obj, img, K, iterations=30, seed=2**64 - 1)  # the full 64-bit range is accepted


def test_ransac_exact_data_and_minimal_sets():
    rng = np.random.default_rng(4)
    for planar, n in ((True, 5), (False, 6), (True, 30), (False, 30)):
        obj = random_object(rng, n, planar)
        rvec, tvec = random_pose(rng)
        img = cv_project(obj, rvec, tvec)
        r, t, inliers, rmse = mv.solve_pnp_ransac(obj, img, K)
        assert inliers == list(range(n)) and rmse < 1e-9
        assert np.allclose(r, rvec, atol=1e-8) and np.allclose(t, tvec, atol=1e-7)
    # Five non-planar points pass validation but cannot be sampled.
    obj = random_object(rng, 5, planar=False)
    assert mv.solve_pnp_ransac(obj, cv_project(obj, [0.1, 0, 0], [0, 0, 5]), K) is None


def test_ransac_separates_a_displaced_point_by_threshold():
    rng = np.random.default_rng(6)
    obj = random_object(rng, 100, planar=True)
    rvec, tvec = random_pose(rng)
    img = cv_project(obj, rvec, tvec)
    img[0] += [4.0, 0.0]
    assert mv.solve_pnp_ransac(obj, img, K, reprojection_error=3.0)[2] == list(range(1, 100))
    assert mv.solve_pnp_ransac(obj, img, K, reprojection_error=5.0)[2] == list(range(100))


RANSAC_VALIDATION = [
    (dict(image_points=[[0.0, 0.0]] * 4), "object_points and image_points must have the same length"),
    (dict(object_points=[[0.0, 0.0, 0.0]] * 4, image_points=[[0.0, 0.0]] * 4, iterations=0),
     r"solve_pnp_ransac needs at least 5 point correspondences \(6 for non-planar geometry\)"),
    (dict(iterations=0, reprojection_error=0.0), "iterations must be greater than zero"),
    (dict(reprojection_error=0.0, confidence=1.0), "reprojection_error must be finite and greater than zero"),
    (dict(reprojection_error=-1.0), "reprojection_error must be finite and greater than zero"),
    (dict(reprojection_error=float("nan")), "reprojection_error must be finite and greater than zero"),
    (dict(reprojection_error=float("inf")), "reprojection_error must be finite and greater than zero"),
    (dict(confidence=1.0, image_points=[[float("nan"), 0.0]] * 6), "confidence must be finite and between 0 and 1"),
    (dict(confidence=0.0), "confidence must be finite and between 0 and 1"),
    (dict(confidence=float("nan")), "confidence must be finite and between 0 and 1"),
    (dict(image_points=[[float("inf"), 0.0]] * 6, camera_matrix=[[1.0]]),
     "object_points and image_points must contain only finite values"),
    (dict(camera_matrix=[[1.0]], dist_coeffs=[1.0]), "camera_matrix must be 3x3"),
    (dict(dist_coeffs=[1.0]), "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got 1"),
]


@pytest.mark.parametrize("override, message", RANSAC_VALIDATION)
def test_ransac_validation_order(override, message):
    args = dict(object_points=[[float(i), float(i * i % 3), 0.0] for i in range(6)],
                image_points=[[0.0, 0.0]] * 6, camera_matrix=K)
    args.update(override)
    with pytest.raises(ValueError, match="^" + message + "$"):
        mv.solve_pnp_ransac(**args)


@pytest.mark.parametrize("name, value, exc", [("iterations", -1, OverflowError), ("seed", -1, OverflowError),
                                              ("seed", 2**64, OverflowError), ("iterations", 1.5, TypeError),
                                              ("confidence", "high", TypeError)])
def test_ransac_scalar_argument_types(name, value, exc):
    obj = [[float(i), float(i * i % 3), 0.0] for i in range(6)]
    with pytest.raises(exc):
        mv.solve_pnp_ransac(obj, [[0.0, 0.0]] * 6, K, **{name: value})


def test_empty_inputs():
    assert mv.project_points([], [0, 0, 0], [0, 0, 1], K) == []
    assert mv.project_points(np.zeros((0, 3)), [0, 0, 0], [0, 0, 1], K) == []
    with pytest.raises(ValueError, match="^need at least 4 point correspondences$"):
        mv.solve_pnp([], [], K)
    with pytest.raises(ValueError, match=r"^solve_pnp_ransac needs at least 5 point correspondences"):
        mv.solve_pnp_ransac([], [], K)
    with pytest.raises(ValueError, match="^camera_matrix must be 3x3$"):
        mv.project_points([], [0, 0, 0], [0, 0, 1], [])
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 0\)$"):
        mv.project_points([], [], [0, 0, 1], K)


def test_ransac_from_threads_matches_serial_runs():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(21)
    problems = [outlier_problem(rng, n=80, planar=bool(i % 2))[:2] for i in range(8)]
    serial = [mv.solve_pnp_ransac(o, i, K, seed=3) for o, i in problems]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda p: mv.solve_pnp_ransac(p[0], p[1], K, seed=3), problems * 3))
    assert threaded == serial * 3


# ---------------------------------------------------------------------------
# Analytic derivatives against central finite differences

@pytest.mark.parametrize("rvec", [(0.3, -1.1, 0.7), (1e-9, 2e-9, -1e-9), (0.0, 0.0, 3.1)])
def test_rodrigues_derivatives_match_finite_differences(rvec):
    hooks = pytest.importorskip("_markvane_testhooks")
    _, derivatives = hooks.rodrigues_with_derivatives(rvec)
    h = 1e-6
    for k in range(3):
        plus, minus = list(rvec), list(rvec)
        plus[k] += h
        minus[k] -= h
        numeric = (np.array(hooks.rodrigues_with_derivatives(plus)[0])
                   - np.array(hooks.rodrigues_with_derivatives(minus)[0])) / (2 * h)
        np.testing.assert_allclose(derivatives[k], numeric, atol=1e-7)


@pytest.mark.parametrize("n_dist", [0, 5, 8, 12, 14])
def test_projection_jacobian_matches_finite_differences(n_dist):
    hooks = pytest.importorskip("_markvane_testhooks")
    rng = np.random.default_rng(n_dist)
    object_points = rng.uniform(-0.5, 0.5, (6, 3)).tolist()
    rvec, tvec = [0.2, -0.4, 0.3], [0.1, -0.05, 2.5]
    k = [800.0, 780.0, 320.0, 240.0]
    dist = [0.0] * 14
    dist[:n_dist] = rng.uniform(-0.05, 0.05, n_dist).tolist()
    dist[12:] = [0.0, 0.0]  # tilt terms are not modelled
    _, jac = hooks.project_with_jacobian(object_points, rvec, tvec, k, dist)
    h = 1e-7
    pose = rvec + tvec
    for c in range(6):
        plus, minus = list(pose), list(pose)
        plus[c] += h
        minus[c] -= h
        up = np.array(hooks.project_with_jacobian(object_points, plus[:3], plus[3:], k, dist)[0])
        down = np.array(hooks.project_with_jacobian(object_points, minus[:3], minus[3:], k, dist)[0])
        numeric = (up - down) / (2 * h)
        np.testing.assert_allclose(np.array(jac)[:, :, c], numeric, rtol=1e-5, atol=1e-4)
