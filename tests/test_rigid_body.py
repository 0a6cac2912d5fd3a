"""Rigid bodies: construction checks, pose from detections, end to end from a
rendered image."""
import math

import numpy as np
import pytest

import markvane as mv

cv2 = pytest.importorskip("cv2")

K = [[1000.0, 0.0, 640.0], [0.0, 1000.0, 480.0], [0.0, 0.0, 1.0]]
K_NP = np.array(K)
TAG = 0.05
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def rot_y(deg):
    a = math.radians(deg)
    return [[math.cos(a), 0.0, math.sin(a)], [0.0, 1.0, 0.0], [-math.sin(a), 0.0, math.cos(a)]]


# Two markers on each of two planes meeting at 50 degrees ("open book").
BODY_IDS = [3, 7, 11, 20]
BODY_ROTATIONS = [rot_y(25), rot_y(25), rot_y(-25), rot_y(-25)]
BODY_TRANSLATIONS = [[-0.07, -0.04, 0.015], [-0.07, 0.04, 0.015], [0.07, -0.04, 0.015], [0.07, 0.04, 0.015]]


def make_body():
    return mv.RigidBody(TAG, BODY_IDS, BODY_ROTATIONS, BODY_TRANSLATIONS)


def marker_corners_in_reference(index):
    h = TAG / 2
    model = np.array([[-h, h, 0.0], [h, h, 0.0], [h, -h, 0.0], [-h, -h, 0.0]])
    return model @ np.array(BODY_ROTATIONS[index]).T + np.array(BODY_TRANSLATIONS[index])


def project(points, rvec, tvec):
    img, _ = cv2.projectPoints(np.asarray(points, float), np.asarray(rvec, float), np.asarray(tvec, float),
                               K_NP, np.zeros(0))
    return img.reshape(-1, 2)


TRUE_RVEC = np.array([2.9, 0.25, -0.2])  # marker faces towards the camera
TRUE_TVEC = np.array([0.03, -0.02, 0.55])


def exact_detections(ids=BODY_IDS):
    corners = [project(marker_corners_in_reference(BODY_IDS.index(i)), TRUE_RVEC, TRUE_TVEC).tolist()
               for i in ids]
    return corners, list(ids)


def angle_between(r1, r2):
    m1, _ = cv2.Rodrigues(np.asarray(r1, float))
    m2, _ = cv2.Rodrigues(np.asarray(r2, float))
    return math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(m1.T @ m2) - 1) / 2))))


# ------------------------------------------------------------- construction


def test_rigid_body_properties_and_corner_table():
    body = make_body()
    assert body.marker_ids == BODY_IDS and body.tag_size_m == TAG
    assert body.marker_ids is not body.marker_ids  # fresh list per read
    for name in ("marker_ids", "tag_size_m"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(body, name)
        with pytest.raises(AttributeError):
            setattr(body, name, 1)
    assert mv.RigidBody.__doc__.startswith("A collection of square markers with fixed transforms")


NAN = float("nan")
CONSTRUCTION_ERRORS = [
    # The tag size is checked before the list lengths are looked at.
    (dict(tag_size_m=0.0, marker_ids=[]), "tag_size_m must be finite and greater than zero"),
    (dict(tag_size_m=-1.0), "tag_size_m must be finite and greater than zero"),
    (dict(tag_size_m=NAN), "tag_size_m must be finite and greater than zero"),
    (dict(tag_size_m=float("inf")), "tag_size_m must be finite and greater than zero"),
    (dict(marker_ids=[], rotations_marker_to_reference=[]), "rigid body must contain at least one marker"),
    (dict(marker_ids=[1, 2]), "marker_ids, rotations_marker_to_reference and translations_marker_to_reference "
                              "must have the same length"),
    (dict(translations_marker_to_reference=[]),
     "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length"),
    (dict(marker_ids=[5, 5], rotations_marker_to_reference=[I3, [[2, 0, 0]] * 3],
          translations_marker_to_reference=[[0, 0, 0]] * 2), "duplicate marker id 5"),
    (dict(translations_marker_to_reference=[[0, NAN, 0]]), "marker 1 transform must contain only finite values"),
    (dict(rotations_marker_to_reference=[[[1, 0, 0], [0, 1, 0], [0, 0, float("inf")]]]),
     "marker 1 transform must contain only finite values"),
    (dict(rotations_marker_to_reference=[[[1, 0, 0], [0, 1, 0], [0, 0, -1]]]),
     r"marker 1 rotation must be an orthonormal matrix with determinant \+1"),
    (dict(rotations_marker_to_reference=[[[1.0011, 0, 0], [0, 1, 0], [0, 0, 1]]]),
     r"marker 1 rotation must be an orthonormal matrix with determinant \+1"),
    (dict(rotations_marker_to_reference=[[[1, 0, 0], [0, 1, 0]]]), r"expected a sequence of length 3 \(got 2\)"),
    (dict(translations_marker_to_reference=[[0, 0]]), r"expected a sequence of length 3 \(got 2\)"),
]


@pytest.mark.parametrize("override, message", CONSTRUCTION_ERRORS)
def test_rigid_body_construction_errors(override, message):
    args = dict(tag_size_m=TAG, marker_ids=[1], rotations_marker_to_reference=[I3],
                translations_marker_to_reference=[[0.0, 0.0, 0.0]])
    args.update(override)
    with pytest.raises(ValueError, match="^" + message + "$"):
        mv.RigidBody(**args)


def test_rigid_body_accepts_near_rotations_as_given():
    near = [[1.0004, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]  # |r0.r0 - 1| = 0.0008
    assert mv.RigidBody(TAG, [1], [near], [[0, 0, 0]]).marker_ids == [1]


@pytest.mark.parametrize("name, value", [("marker_ids", "abc"), ("rotations_marker_to_reference", "abc"),
                                         ("translations_marker_to_reference", None), ("tag_size_m", "1")])
def test_rigid_body_type_errors(name, value):
    args = dict(tag_size_m=TAG, marker_ids=[1], rotations_marker_to_reference=[I3],
                translations_marker_to_reference=[[0.0, 0.0, 0.0]])
    args[name] = value
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        mv.RigidBody(**args)


# ---------------------------------------------------------- pose estimation


def test_single_known_marker_uses_iterative_pnp():
    corners, ids = exact_detections([7])
    corners.append([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]])
    ids.append(999)  # unknown ids are ignored
    pose = mv.estimate_rigid_body_pose(corners, ids, make_body(), K, iterations=1, seed=5)
    assert pose.inlier_indices == [0, 1, 2, 3]
    assert pose.used_marker_ids == [7] and pose.inlier_marker_ids == [7]
    direct = mv.solve_pnp(marker_corners_in_reference(1), corners[0], K)
    assert pose.rvec == direct[0] and pose.tvec == direct[1]
    assert pose.reprojection_rmse < 1e-9


def test_a_marker_seen_as_one_point_gives_no_pose():
    # Four detected corners at one pixel fix no pose: the single-marker path
    # agrees with solve_pnp and RANSAC.
    body = make_body()
    assert mv.estimate_rigid_body_pose([[[320.0, 240.0]] * 4], [7], body, K) is None
    assert mv.estimate_rigid_body_pose([[[320.0, 240.0]] * 4] * 2, [7, 3], body, K) is None
    corners, ids = exact_detections([7])
    assert mv.estimate_rigid_body_pose(corners, ids, body, K) is not None


def test_several_markers_reject_a_corrupted_corner():
    corners, ids = exact_detections([20, 3, 11, 7])
    corners[1][2] = [corners[1][2][0] + 40.0, corners[1][2][1] - 25.0]  # marker 3, corner 2
    pose = mv.estimate_rigid_body_pose(corners, ids, make_body(), K)
    assert pose.used_marker_ids == [20, 3, 11, 7]
    assert pose.inlier_indices == [i for i in range(16) if i != 6]
    assert pose.inlier_marker_ids == [20, 3, 11, 7]  # three inlier corners still count
    assert angle_between(pose.rvec, TRUE_RVEC) < 1e-6 and np.allclose(pose.tvec, TRUE_TVEC, atol=1e-8)
    # With a second bad corner marker 3 drops below three inliers but stays used.
    corners[1][0] = [corners[1][0][0] - 30.0, corners[1][0][1]]
    pose = mv.estimate_rigid_body_pose(corners, ids, make_body(), K)
    assert 4 not in pose.inlier_indices and 6 not in pose.inlier_indices
    assert pose.inlier_marker_ids == [20, 11, 7] and pose.used_marker_ids == [20, 3, 11, 7]
    assert pose.rvec is not pose.rvec and pose.reprojection_rmse < 1e-6
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del pose.tvec


def test_rigid_body_pose_is_deterministic_per_seed():
    corners, ids = exact_detections()
    rng = np.random.default_rng(1)
    noisy = (np.array(corners) + rng.normal(0, 0.5, (4, 4, 2))).tolist()
    body = make_body()
    a = mv.estimate_rigid_body_pose(noisy, ids, body, K, seed=9)
    b = mv.estimate_rigid_body_pose(noisy, ids, body, K, seed=9)
    assert (a.rvec, a.tvec, a.inlier_indices, a.reprojection_rmse) == (
        b.rvec, b.tvec, b.inlier_indices, b.reprojection_rmse)


UNKNOWN_ONLY = ([[[0.0, 0.0]] * 4, [[1.0, 1.0]] * 4], [100, 101])
ESTIMATE_ERRORS = [
    (dict(iterations=0, reprojection_error=-1.0), "iterations must be greater than zero"),
    (dict(reprojection_error=0.0, confidence=2.0), "reprojection_error must be finite and greater than zero"),
    (dict(confidence=1.0, marker_ids=[3]), "confidence must be finite and between 0 and 1"),
    (dict(marker_ids=[3]), "marker_corners and marker_ids must have the same length"),
    # Unknown ids count for the duplicate check.
    (dict(marker_ids=[100, 100]), "duplicate detected marker id 100"),
    (dict(marker_corners=[[[0.0, NAN]] * 4, [[1.0, 1.0]] * 4], marker_ids=[3, 7]),
     "marker 3 corners must contain only finite values"),
    (dict(marker_ids=[100, 3], camera_matrix=[[1.0]]), "camera_matrix must be 3x3"),
    (dict(marker_corners=[[[0.0, 0.0]] * 3, [[1.0, 1.0]] * 4]), r"expected a sequence of length 4 \(got 3\)"),
]


@pytest.mark.parametrize("override, message", ESTIMATE_ERRORS)
def test_estimate_rigid_body_pose_validation_order(override, message):
    args = dict(marker_corners=UNKNOWN_ONLY[0], marker_ids=UNKNOWN_ONLY[1], rigid_body=make_body(),
                camera_matrix=K)
    args.update(override)
    with pytest.raises(ValueError, match="^" + message + "$"):
        mv.estimate_rigid_body_pose(**args)


def test_only_unknown_ids_return_none_even_with_a_bad_camera():
    assert mv.estimate_rigid_body_pose(*UNKNOWN_ONLY, make_body(), [[1.0]]) is None
    assert mv.estimate_rigid_body_pose([], [], make_body(), K) is None


@pytest.mark.parametrize("name, value", [("marker_corners", "abc"), ("marker_ids", "abc"), ("rigid_body", None),
                                         ("rigid_body", 3), ("camera_matrix", None), ("seed", 1.0)])
def test_estimate_rigid_body_pose_type_errors(name, value):
    args = dict(marker_corners=UNKNOWN_ONLY[0], marker_ids=UNKNOWN_ONLY[1], rigid_body=make_body(),
                camera_matrix=K)
    args[name] = value
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        mv.estimate_rigid_body_pose(**args)


# -------------------------------------------------------------- end to end

SUPERSAMPLE = 4


def render_body(width=1280, height=960):
    """The body's markers drawn under the true pose, antialiased by rendering at
    4x and area-averaging; pixel centres sit at integer coordinates."""
    big = np.full((height * SUPERSAMPLE, width * SUPERSAMPLE), 200, np.uint8)
    dictionary = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    side = 600
    # A white quiet zone around each marker keeps its border detectable.
    quiet = 1.6
    h = TAG / 2 * quiet
    for index, marker_id in enumerate(BODY_IDS):
        tile = np.full((int(side * quiet), int(side * quiet)), 255, np.uint8)
        off = (tile.shape[0] - side) // 2
        tile[off:off + side, off:off + side] = cv2.aruco.generateImageMarker(dictionary, marker_id, side)
        model = np.array([[-h, h, 0.0], [h, h, 0.0], [h, -h, 0.0], [-h, -h, 0.0]])
        corners3 = model @ np.array(BODY_ROTATIONS[index]).T + np.array(BODY_TRANSLATIONS[index])
        dst = project(corners3, TRUE_RVEC, TRUE_TVEC) * SUPERSAMPLE + (SUPERSAMPLE - 1) / 2
        n = tile.shape[0]
        src = np.array([[-0.5, -0.5], [n - 0.5, -0.5], [n - 0.5, n - 0.5], [-0.5, n - 0.5]])
        hmat = cv2.getPerspectiveTransform(src.astype(np.float32), dst.astype(np.float32))
        warped = cv2.warpPerspective(tile, hmat, big.shape[::-1], flags=cv2.INTER_LINEAR, borderValue=0)
        mask = cv2.warpPerspective(np.full_like(tile, 255), hmat, big.shape[::-1], flags=cv2.INTER_NEAREST)
        big[mask > 0] = warped[mask > 0]
    return cv2.resize(big, (width, height), interpolation=cv2.INTER_AREA)


def test_end_to_end_rendered_body_pose_and_outlier_rejection():
    image = render_body()
    params = mv.DetectorParameters()
    params.corner_refinement_method = mv.CORNER_REFINE_SUBPIX
    corners, ids = mv.detect_markers(image, "DICT_4X4_50", params)
    assert sorted(ids) == sorted(BODY_IDS)

    pose = mv.estimate_rigid_body_pose(corners, ids, make_body(), K)
    assert pose is not None
    assert angle_between(pose.rvec, TRUE_RVEC) < 1.0
    assert np.linalg.norm(np.subtract(pose.tvec, TRUE_TVEC)) < 0.01 * np.linalg.norm(TRUE_TVEC)
    assert len(pose.inlier_indices) == 16 and pose.reprojection_rmse < 1.0

    # One corner dragged 20 px away is rejected; the pose stays within tolerance.
    k = ids.index(11)
    corners[k][1] = [corners[k][1][0] + 20.0, corners[k][1][1] + 12.0]
    pose = mv.estimate_rigid_body_pose(corners, ids, make_body(), K)
    bad = 4 * [i for i in ids if i in BODY_IDS].index(11) + 1
    assert bad not in pose.inlier_indices and len(pose.inlier_indices) == 15
    assert 11 in pose.inlier_marker_ids
    assert angle_between(pose.rvec, TRUE_RVEC) < 1.0
    assert np.linalg.norm(np.subtract(pose.tvec, TRUE_TVEC)) < 0.01 * np.linalg.norm(TRUE_TVEC)
