"""DetectorParameters and CharucoBoard travel to other processes: pickling and
copying give equal objects, equality compares every setting exactly, repr
says what differs from the defaults, and a state from another version of the
package is refused."""
import copy
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest

import markvane as mv


def odd_parameters():
    p = mv.DetectorParameters()
    p.corner_refinement_method = mv.CORNER_REFINE_APRILTAG
    p.min_side_length_canonical_img = 0
    p.adaptive_thresh_constant = math.nan
    p.april_tag_quad_sigma = -0.0
    p.detect_inverted_marker = True
    p.error_correction_rate = 0.1 + 0.2  # not a short decimal
    return p


BOARDS = [
    lambda: mv.CharucoBoard(7, 5, 0.04, 0.03, "5x5_100"),
    lambda: mv.CharucoBoard(4, 4, 0.1, 0.07, "DICT_4X4_50", ids=[9, 8, 7, 6, 5, 4, 3, 2], legacy_pattern=True),
]


K = [[800.0, 0, 320], [0, 800.0, 240], [0, 0, 1]]


def body():
    turn = [[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]
    return mv.RigidBody(0.05, [3, 11], [np.eye(3), turn], [[0.0, 0.0, 0.0], [0.1 / 3, 0.02, 0.001]])


def body_pose():
    b = body()
    # Corners of both markers seen by K from 0.6 m, as detections would give them.
    corners = []
    for i in range(2):
        half = 0.025
        local = np.array([[-half, half, 0], [half, half, 0], [half, -half, 0], [-half, -half, 0]])
        rot = np.eye(3) if i == 0 else np.array([[0.0, -1, 0], [1, 0, 0], [0, 0, 1]])
        pts = local @ rot.T + ([0, 0, 0] if i == 0 else [0.1 / 3, 0.02, 0.001])
        corners.append(mv.project_points(pts, [0.1, -0.2, 0.05], [0.01, 0.02, 0.6], K))
    return mv.estimate_rigid_body_pose(corners, [3, 11], b, K)


def calibration_result():
    rng = np.random.default_rng(2)
    gx, gy = np.meshgrid(np.arange(6), np.arange(4))
    obj = np.c_[gx.ravel() * 0.03, gy.ravel() * 0.03, np.zeros(24)]
    images = [mv.project_points(obj, rng.uniform(-0.4, 0.4, 3), [-0.07, -0.04, 0.5], K) for _ in range(4)]
    return mv.calibrate_camera([obj] * 4, images, (640, 480), model="k8")


@pytest.mark.parametrize("make", [mv.DetectorParameters, odd_parameters] + BOARDS +
                         [body, body_pose, calibration_result])
def test_pickle_and_copy_give_equal_objects(make):
    original = make()
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(original, protocol)) == original
    for clone in (copy.copy(original), copy.deepcopy(original)):
        assert clone == original and clone is not original
    assert repr(pickle.loads(pickle.dumps(original))) == repr(original)
    if isinstance(original, mv.CharucoBoard):
        assert pickle.loads(pickle.dumps(original)).chessboard_corners == original.chessboard_corners
    if isinstance(original, mv.RigidBody):  # the same geometry: the same poses, bit for bit
        corners = [[[300.0, 200], [340, 201], [339, 241], [299, 240]]]
        a = mv.estimate_rigid_body_pose(corners, [3], original, K)
        b = mv.estimate_rigid_body_pose(corners, [3], pickle.loads(pickle.dumps(original)), K)
        assert (a.rvec, a.tvec) == (b.rvec, b.tvec)
    if isinstance(original, mv.CalibrationResult):
        clone = pickle.loads(pickle.dumps(original))
        assert (clone.camera_matrix, clone.dist_coeffs, clone.rvecs, clone.std_deviations) == \
            (original.camera_matrix, original.dist_coeffs, original.rvecs, original.std_deviations)
    with pytest.raises(TypeError, match="unhashable"):
        hash(original)


def test_equality_is_exact_and_repr_names_what_differs():
    assert mv.DetectorParameters() == mv.DetectorParameters()
    assert repr(mv.DetectorParameters()) == "DetectorParameters()"
    p = odd_parameters()
    assert p == odd_parameters()  # NaN settings still compare equal to themselves
    assert repr(p) == ("DetectorParameters(adaptive_thresh_constant=nan, error_correction_rate=0.30000000000000004, "
                       "detect_inverted_marker=True, min_side_length_canonical_img=0, corner_refinement_method=3, "
                       "april_tag_quad_sigma=-0.0)")
    q = odd_parameters()
    q.april_tag_quad_sigma = 0.0  # -0.0 and 0.0 are different settings
    assert p != q and p != mv.DetectorParameters() and (p == "p") is False
    a, b = BOARDS[0](), BOARDS[1]()
    assert a == mv.CharucoBoard(7, 5, np.float32(0.04), 0.03, "DICT_5X5_100") and a != b
    assert repr(a) == "CharucoBoard(7, 5, 0.04, 0.03, 'DICT_5X5_100')"
    assert repr(b) == "CharucoBoard(4, 4, 0.1, 0.07, 'DICT_4X4_50', ids=[9, 8, 7, 6, 5, 4, 3, 2], legacy_pattern=True)"
    assert eval(repr(b), {"CharucoBoard": mv.CharucoBoard}) == b
    assert repr(body()) == "RigidBody(tag_size_m=0.05, marker_ids=[3, 11])"
    assert repr(body_pose()).startswith("RigidBodyPose(rvec=[") and "used_marker_ids=[3, 11]" in repr(body_pose())
    assert repr(calibration_result()).startswith("CalibrationResult(rms=") and "views=4, dist_coeffs=8" in \
        repr(calibration_result())
    assert body() == body() and body_pose() == body_pose() and calibration_result() == calibration_result()


def test_foreign_or_damaged_states_are_refused():
    p, b = odd_parameters(), BOARDS[0]()
    version, settings = p.__getstate__()
    other = "x" * len(version)  # same length, so the pickle stays well formed
    with pytest.raises(ValueError, match=f"pickled by markvane {other} into markvane {version}; recreate it"):
        pickle.loads(pickle.dumps(p).replace(version.encode(), other.encode()))
    with pytest.raises(ValueError, match="pickled by markvane 0.0.0-other"):
        mv.CharucoBoard.__new__(mv.CharucoBoard).__setstate__(("0.0.0-other", b.__getstate__()[1]))
    with pytest.raises(ValueError, match="not a pickled CharucoBoard state"):
        fresh = mv.CharucoBoard.__new__(mv.CharucoBoard)
        fresh.__setstate__(("only one",))
    # A state is applied through the usual checks.
    fresh = mv.DetectorParameters.__new__(mv.DetectorParameters)
    with pytest.raises(ValueError, match="corner_refinement_method must be 0, 1, 2, or 3"):
        fresh.__setstate__((version, dict(settings, corner_refinement_method=9)))
    fresh = mv.CharucoBoard.__new__(mv.CharucoBoard)
    _, args = b.__getstate__()
    with pytest.raises(ValueError, match="unknown dictionary"):
        fresh.__setstate__((version, args[:4] + ("DICT_NOPE",) + args[5:]))


def test_objects_arrive_equal_in_another_process():
    p, b = odd_parameters(), BOARDS[1]()
    script = ("import pickle, sys, markvane as mv; p, b = pickle.loads(sys.stdin.buffer.read()); "
              "image = mv.__name__; sys.stdout.write(repr(p) + '|' + repr(b) + '|' + str(len(b.chessboard_corners)))")
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps((p, b)), capture_output=True, check=True)
    assert out.stdout.decode() == f"{p!r}|{b!r}|{len(b.chessboard_corners)}"
