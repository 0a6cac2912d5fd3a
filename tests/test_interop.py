"""OpenCV's own outputs go straight into markvane and give the same answers
as the same numbers passed as plain lists."""
import numpy as np
import pytest

import markvane as mv

cv2 = pytest.importorskip("cv2")

K = np.array([[820.0, 0, 330], [0, 815.0, 245], [0, 0, 1]])
DIST = np.array([[0.08, -0.2, 0.001, -0.002, 0.05]])  # (1, 5), as calibrateCamera returns it


def plain(value):
    """The same numbers as nested Python lists, OpenCV's unit axes removed."""
    a = np.asarray(value, np.float64)
    if a.ndim == 3 and a.shape[1] == 1:
        a = a[:, 0]
    elif a.ndim == 3 and a.shape[0] == 1:
        a = a[0]
    elif a.ndim == 2 and 1 in a.shape and a.shape != (1, 1):
        a = a.ravel()
    return a.tolist()


def square_points(n=12, seed=0):
    rng = np.random.default_rng(seed)
    obj = np.c_[rng.uniform(-0.2, 0.2, (n, 2)), rng.uniform(-0.05, 0.05, n)]
    rvec, tvec = np.array([[0.3], [-0.2], [0.1]]), np.array([[0.05], [-0.02], [1.5]])
    img, _ = cv2.projectPoints(obj, rvec, tvec, K, DIST)   # (N, 1, 2)
    return obj, img


def test_pose_functions_take_opencv_layouts():
    obj, img = square_points()
    ok, rvec, tvec = cv2.solvePnP(obj, img, K, DIST)
    assert ok and rvec.shape == (3, 1)
    expected = mv.solve_pnp(obj.tolist(), plain(img), K.tolist(), plain(DIST))
    assert expected is not None
    for o, i, d in ((obj.reshape(-1, 1, 3), img, DIST), (obj.reshape(1, -1, 3), img.reshape(1, -1, 2), DIST.T),
                    (obj, img.astype(np.float64), DIST.ravel())):
        assert mv.solve_pnp(o, i, K, d) == expected
    single = img.astype(np.float32)
    assert mv.solve_pnp(obj, single, K, DIST) == mv.solve_pnp(obj.tolist(), plain(single), K.tolist(), plain(DIST))
    # The pose OpenCV returns, as an initial guess and into projection.
    guessed = mv.solve_pnp(obj, img, K, DIST, rvec=rvec, tvec=tvec)
    assert guessed == mv.solve_pnp(obj.tolist(), plain(img), K.tolist(), plain(DIST),
                                   rvec=plain(rvec), tvec=plain(tvec))
    projected = mv.project_points(obj, rvec.T, tvec, K, DIST)
    assert projected == mv.project_points(obj.tolist(), plain(rvec), plain(tvec), K.tolist(), plain(DIST))
    assert np.allclose(projected, img.reshape(-1, 2), atol=1e-9)
    ransac = mv.solve_pnp_ransac(obj.reshape(-1, 1, 3), img, K, DIST, seed=3)
    assert ransac == mv.solve_pnp_ransac(obj.tolist(), plain(img), K.tolist(), plain(DIST), seed=3)


def test_rodrigues_takes_every_rotation_vector_layout():
    rvec = np.array([[0.3], [-0.2], [0.1]])
    expected = cv2.Rodrigues(rvec)[0]
    for src in (rvec, rvec.T, rvec.ravel(), rvec.ravel().tolist(), tuple(rvec.ravel()), plain(rvec)):
        assert np.allclose(mv.rodrigues(src), expected, atol=1e-15), src
    # solve_pnp's own output goes back in, and the matrix comes back out as a column.
    obj, img = square_points()
    r, _ = mv.solve_pnp(obj, img, K, DIST)
    assert np.allclose(mv.rodrigues(mv.rodrigues(r)), np.reshape(r, (3, 1)), atol=1e-12)
    for bad in ([1.0, 2.0], [[1.0, 2.0]], np.zeros(4), np.zeros((2, 1)), (1, 2, 3, 4)):
        with pytest.raises(ValueError, match="^src must be 3x1 / 1x3"):
            mv.rodrigues(bad)
    with pytest.raises(TypeError):
        mv.rodrigues([1.0, "a", 2.0])


def test_wrong_shapes_still_fail_clearly():
    obj, img = square_points()
    with pytest.raises(ValueError, match=r"expected a sequence of length 3 \(got 2\)"):
        mv.project_points(obj, np.zeros((2, 1)), [0, 0, 1], K)
    with pytest.raises(TypeError, match=r"^argument 'dist_coeffs': expected a flat sequence of numbers, "
                                        r"got an array of shape \(2, 5\)"):
        mv.project_points(obj, [0, 0, 0], [0, 0, 1], K, np.zeros((2, 5)))
    with pytest.raises(ValueError, match=r"expected a sequence of length 2 \(got 3\)"):
        mv.solve_pnp(obj, np.zeros((12, 1, 3)), K)


def test_aruco_and_charuco_outputs_go_straight_in():
    board = cv2.aruco.CharucoBoard((6, 4), 0.04, 0.03, cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_5X5_100))
    image = board.generateImage((900, 600), marginSize=30)
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_5X5_100))
    corners, ids, _ = detector.detectMarkers(image)
    assert len(corners) == 12 and corners[0].shape == (1, 4, 2)
    ids = ids.reshape(-1, 1)  # OpenCV 4 returns a column; 5 a flat array
    # Camera looking straight at the printed board (pixels = 1 mm at 1 m).
    cam = np.array([[1000.0, 0, 0], [0, 1000.0, 0], [0, 0, 1]])
    body = mv.RigidBody(0.03, ids.ravel().tolist(),
                        [np.eye(3)] * 12, [np.zeros((3, 1))] * 12)
    as_lists = [plain(c) for c in corners], ids.ravel().tolist()
    for c, i in ((corners, ids), (np.concatenate(corners), ids.ravel()), (list(corners), ids.T)):
        a = mv.estimate_rigid_body_pose(c, i, body, cam, DIST)
        b = mv.estimate_rigid_body_pose(*as_lists, body, cam, plain(DIST))
        assert (a is None) == (b is None)
        if a is not None:
            assert (a.rvec, a.tvec, a.inlier_indices) == (b.rvec, b.tvec, b.inlier_indices)

    ours = mv.CharucoBoard(6, 4, 0.04, 0.03, "DICT_5X5_100")
    ch_corners, ch_ids, _, _ = cv2.aruco.CharucoDetector(board).detectBoard(image)
    pose = mv.estimate_pose_charuco_board(ch_corners, ch_ids, ours, K, DIST)
    assert pose is not None
    # OpenCV 4 hands out (N, 1, 2) corners and (N, 1) ids.
    ch_corners, ch_ids = ch_corners.reshape(-1, 1, 2), ch_ids.reshape(-1, 1)
    assert pose == mv.estimate_pose_charuco_board(ch_corners, ch_ids, ours, K, DIST)
    assert pose == mv.estimate_pose_charuco_board(plain(ch_corners), ch_ids.ravel().tolist(), ours,
                                                  K.tolist(), plain(DIST))
    # Board ids as OpenCV keeps them.
    ids_column = np.arange(12, dtype=np.int32).reshape(-1, 1)
    assert mv.CharucoBoard(6, 4, 0.04, 0.03, "DICT_5X5_100", ids=ids_column).ids == list(range(12))
    refined = mv._corner_sub_pix(image, ch_corners, 3, 30, 0.01)
    assert refined == mv._corner_sub_pix(image, plain(ch_corners), 3, 30, 0.01)


def test_calibrate_camera_outputs_drive_projection():
    obj, _ = square_points(20, seed=1)
    views = []
    for k in range(4):
        r = np.array([0.2 * k - 0.3, 0.1 * k, 0.05])
        img, _ = cv2.projectPoints(obj, r, np.array([0.0, 0.0, 1.2 + 0.1 * k]), K, DIST)
        views.append(img.astype(np.float32))
    rms, cam, dist, rvecs, tvecs = cv2.calibrateCamera([obj.astype(np.float32)] * 4, views, (660, 490),
                                                       K.copy(), None, flags=cv2.CALIB_USE_INTRINSIC_GUESS)
    assert dist.shape == (1, 5) and rvecs[0].shape == (3, 1)
    for r, t, img in zip(rvecs, tvecs, views):
        got = mv.project_points(obj, r, t, cam, dist)
        assert got == mv.project_points(obj.tolist(), plain(r), plain(t), cam.tolist(), plain(dist))
        assert np.allclose(got, cv2.projectPoints(obj, r, t, cam, dist)[0].reshape(-1, 2), atol=1e-6)
