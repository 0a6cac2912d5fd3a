"""calibrate_camera against cv2.calibrateCameraExtended on the same views."""
import math

import numpy as np
import pytest

import markvane as mv

cv2 = pytest.importorskip("cv2")

K = np.array([[900.0, 0, 650], [0, 880.0, 370], [0, 0, 1]])
SIZE = (1280, 720)
DIST = {
    "k5": np.array([-0.25, 0.12, 0.001, -0.0015, -0.03]),
    "k8": np.array([-0.25, 0.12, 0.001, -0.0015, -0.03, 0.05, 0.02, -0.01]),
    "k14": np.array([-0.25, 0.12, 0.001, -0.0015, -0.03, 0.05, 0.02, -0.01, 0.002, -0.001, 0.001, 0.0005,
                     0, 0]),
}
FLAGS = {"k5": 0, "k8": cv2.CALIB_RATIONAL_MODEL, "k14": cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL}


def board(cols=9, rows=6, square=0.03):
    gx, gy = np.meshgrid(np.arange(cols), np.arange(rows))
    return np.c_[gx.ravel() * square, gy.ravel() * square, np.zeros(cols * rows)].astype(np.float32)


def views(dist, count=12, seed=1, noise=0.2, obj=None, tilt=0.5):
    rng = np.random.default_rng(seed)
    obj = board() if obj is None else obj
    objs, imgs = [], []
    for _ in range(count):
        r = rng.uniform(-tilt, tilt, 3)
        t = np.array([-0.12, -0.08, 0.6]) + rng.uniform(-0.1, 0.1, 3)
        p, _ = cv2.projectPoints(obj, r, t, K, dist)
        objs.append(obj)
        imgs.append((p + rng.normal(0, noise, p.shape)).astype(np.float32))
    return objs, imgs


def close(a, b, rel):
    a, b = np.asarray(a, float).ravel(), np.asarray(b, float).ravel()
    return np.allclose(a, b, rtol=rel, atol=rel * max(1.0, np.abs(b).max()) * 1e-3)


@pytest.mark.parametrize("model", ["k5", "k8", "k14"])
def test_matches_opencv_on_a_planar_target(model):
    objs, imgs = views(DIST[model], count=15 if model == "k14" else 12)
    rms, k, d, rv, tv, sd, _, pve = cv2.calibrateCameraExtended(objs, imgs, SIZE, None, None, flags=FLAGS[model])
    res = mv.calibrate_camera(objs, imgs, SIZE, model=model)
    assert len(res.dist_coeffs) == {"k5": 5, "k8": 8, "k14": 14}[model]
    # The rational model's numerator and denominator can trade off along a
    # nearly flat valley; both solvers stop somewhere along it, within a
    # thousandth of a pixel of rms.
    assert res.rms <= (rms * (1 + 1e-9) if model == "k5" else rms + 1e-3)
    if model == "k5":  # one well-determined minimum: everything agrees closely
        assert math.isclose(res.rms, rms, rel_tol=1e-9)
        assert close(res.camera_matrix, k, 1e-6) and close(res.dist_coeffs, d, 1e-5)
        assert close(res.per_view_errors, pve, 1e-6)
        assert close(res.std_deviations[:9], sd.ravel()[:9], 1e-3)
        assert close(res.rvecs, np.reshape(rv, (-1, 3)), 1e-5) and close(res.tvecs, np.reshape(tv, (-1, 3)), 1e-5)
    else:  # stopped along the valley: no farther from the truth than OpenCV
        pick = ([0, 1, 0, 1], [0, 1, 2, 2])
        ours = np.abs(np.array(res.camera_matrix)[pick] - K[pick]).max()
        assert ours <= np.abs(k[pick] - K[pick]).max() + 0.5
    # Parameters outside the model are held at zero, with zero deviation.
    held = {"k5": list(range(9, 18)), "k8": list(range(12, 18)), "k14": [16, 17]}[model]
    assert all(res.std_deviations[i] == 0 for i in held)
    # The result drops straight into projection, ours and OpenCV's.
    ours = mv.project_points(objs[0], res.rvecs[0], res.tvecs[0], res.camera_matrix, res.dist_coeffs)
    theirs = cv2.projectPoints(objs[0], np.array(res.rvecs[0]), np.array(res.tvecs[0]),
                               np.array(res.camera_matrix), np.array(res.dist_coeffs))[0].reshape(-1, 2)
    assert np.allclose(ours, theirs, atol=1e-6)


def test_a_rational_model_the_views_cannot_bound_stays_near_the_truth():
    # Fifteen views of a small board do not bound the rational terms: the cost
    # keeps falling, by far less than the noise, along a valley where the
    # focal length drifts hundreds of pixels. Stop near the truth, and still
    # within a thousandth of a pixel of OpenCV's rms.
    objs, imgs = views(DIST["k8"], count=15, seed=39, noise=0.3)
    rms, *_ = cv2.calibrateCamera(objs, imgs, SIZE, None, None, flags=FLAGS["k8"])
    res = mv.calibrate_camera(objs, imgs, SIZE, model="k8")
    k = np.array(res.camera_matrix)
    assert np.abs(k[[0, 1, 0, 1], [0, 1, 2, 2]] - K[[0, 1, 0, 1], [0, 1, 2, 2]]).max() < 15
    assert abs(res.rms - rms) < 1e-3


@pytest.mark.parametrize("options, flags", [
    ({"fix_aspect_ratio": True}, cv2.CALIB_FIX_ASPECT_RATIO),
    ({"zero_tangent": True}, cv2.CALIB_ZERO_TANGENT_DIST),
    ({"fix_principal_point": True}, cv2.CALIB_FIX_PRINCIPAL_POINT),
])
def test_options_match_opencv_flags(options, flags):
    objs, imgs = views(DIST["k5"], seed=4)
    rms, k, d, *_ = cv2.calibrateCamera(objs, imgs, SIZE, None, None, flags=flags)
    res = mv.calibrate_camera(objs, imgs, SIZE, **options)
    assert math.isclose(res.rms, rms, rel_tol=1e-7)
    assert close(res.camera_matrix, k, 1e-5) and close(res.dist_coeffs, d, 1e-4)
    if "zero_tangent" in options:
        assert res.dist_coeffs[2:4] == [0.0, 0.0]


def test_starting_camera_and_a_target_that_is_not_planar():
    rng = np.random.default_rng(8)
    cube = rng.uniform(-0.1, 0.1, (40, 3)).astype(np.float32)
    objs, imgs = views(DIST["k5"], count=6, seed=9, obj=cube, noise=0.1)
    with pytest.raises(ValueError, match="not planar"):
        mv.calibrate_camera(objs, imgs, SIZE)
    guess = np.array([[850.0, 0, 640], [0, 850.0, 360], [0, 0, 1]])
    rms, k, d, *_ = cv2.calibrateCamera(objs, imgs, SIZE, guess.copy(), None, flags=cv2.CALIB_USE_INTRINSIC_GUESS)
    res = mv.calibrate_camera(objs, imgs, SIZE, camera_matrix=guess)
    assert res.rms <= rms * (1 + 1e-6)
    assert close(res.camera_matrix, K, 2e-2)


def test_degenerate_input_is_refused_clearly():
    objs, imgs = views(DIST["k5"], count=4)
    cases = [
        ((objs[:2], imgs[:2], SIZE), {}, "need at least 3 views of a planar target"),
        ((objs[:3] + [objs[3][:3]], imgs[:3] + [imgs[3][:3]], SIZE), {}, "view 3 has fewer than 4 points"),
        ((objs, imgs[:3], SIZE), {}, "same number of views"),
        ((objs, [imgs[0][:-1]] + imgs[1:], SIZE), {}, "view 0: object_points and image_points"),
        ((objs, [np.full_like(imgs[0], np.nan)] + imgs[1:], SIZE), {}, "view 0 has coordinates that are not finite"),
        ((objs, imgs, (0, 720)), {}, "image_size"),
        ((objs, imgs, SIZE), {"model": "k6"}, 'model must be "k5", "k8" or "k14"'),
        ((objs, imgs, SIZE), {"dist_coeffs": [0, 0, 0, 0, 0]}, "dist_coeffs needs a camera_matrix"),
        ((objs, imgs, SIZE), {"camera_matrix": [[0, 0, 1], [0, 1, 1], [0, 0, 1]]}, "fx, fy > 0"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            mv.calibrate_camera(*args, **kwargs)
    # Every view parallel to the image: the focal length is not determined.
    obj = board()
    flat = [cv2.projectPoints(obj, np.zeros(3), np.array([x, 0.0, 0.6]), K, None)[0].astype(np.float32)
            for x in (-0.1, 0.0, 0.1)]
    with pytest.raises(ValueError, match="do not determine the focal length"):
        mv.calibrate_camera([obj] * 3, flat, SIZE)
    with pytest.raises(TypeError, match="^argument 'object_points'"):
        mv.calibrate_camera("views", imgs, SIZE)


def test_views_as_lists_and_opencv_arrays_give_the_same_result():
    objs, imgs = views(DIST["k5"], count=5, seed=3)
    a = mv.calibrate_camera(objs, imgs, SIZE)
    b = mv.calibrate_camera([o.tolist() for o in objs], [i.reshape(-1, 2).tolist() for i in imgs], list(SIZE))
    assert (a.rms, a.camera_matrix, a.dist_coeffs, a.rvecs) == (b.rms, b.camera_matrix, b.dist_coeffs, b.rvecs)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del a.rms


def test_standard_deviations_describe_the_spread_over_noisy_trials():
    # The same poses, fresh pixel noise each trial: the reported deviations
    # must match the spread of the estimates (within a factor of 1.5).
    estimates, reported = [], []
    for trial in range(40):
        objs, clean = views(DIST["k5"], count=10, seed=77, noise=0.0)
        rng = np.random.default_rng(1000 + trial)
        imgs = [(c + rng.normal(0, 0.3, c.shape)).astype(np.float32) for c in clean]
        res = mv.calibrate_camera(objs, imgs, SIZE)
        k = np.array(res.camera_matrix)
        estimates.append([k[0, 0], k[1, 1], k[0, 2], k[1, 2], *res.dist_coeffs[:2]])
        reported.append(np.array(res.std_deviations)[[0, 1, 2, 3, 4, 5]])
    spread = np.std(estimates, axis=0, ddof=1)
    ratio = np.mean(reported, axis=0) / spread
    assert np.all((ratio > 1 / 1.5) & (ratio < 1.5)), ratio
