"""markvane's objects travel to other processes: pickling and copying give
equal objects that behave the same (for fixed and for many random ones,
extreme settings included), equality compares every setting exactly, repr
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
    p.april_tag_refine_edges = True
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
                       "april_tag_quad_sigma=-0.0, april_tag_refine_edges=True)")
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
    # A state saved before the last setting existed loads with its default.
    fresh = mv.DetectorParameters.__new__(mv.DetectorParameters)
    fresh.__setstate__((version, {k: v for k, v in settings.items() if k != "april_tag_refine_edges"}))
    p.april_tag_refine_edges = False
    assert fresh == p and list(settings)[-1] == "april_tag_refine_edges"
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


# ---- random round trips ---------------------------------------------------------------
# Seeded draws of every class, extreme values included; each draw must come back
# from pickle (every protocol), copy and deepcopy equal, with the same state bit
# for bit (repr tells -0.0 from 0.0 and shows every digit), and behave the same.

EXTREME_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 2.2250738585072014e-308, 1e-300, -1e-300,
                  1e300, sys.float_info.max, -sys.float_info.max, 1 / 3]
EXTREME_INTS = [-2**31, -1, 0, 1, 2, 3, 4, 255, 256, 2**31 - 1]
FINITE_EXTREMES = [v for v in EXTREME_FLOATS if math.isfinite(v)]


def clones(obj):
    for protocol in (2, 3, 4, 5):
        yield f"pickle protocol {protocol}", pickle.loads(pickle.dumps(obj, protocol))
    yield "copy", copy.copy(obj)
    yield "deepcopy", copy.deepcopy(obj)


def outcome(call, *args, **kwargs):
    """What a call gives or raises, as text exact to the last bit."""
    try:
        return repr(call(*args, **kwargs))
    except Exception as exc:  # the same refusal counts as the same behaviour
        return f"{type(exc).__name__}: {exc}"


def assert_round_trips(obj, behaviour):
    for how, clone in clones(obj):
        assert type(clone) is type(obj) and clone is not obj, how
        assert clone == obj and not clone != obj, (how, obj)
        assert repr(clone.__getstate__()) == repr(obj.__getstate__()) and repr(clone) == repr(obj), how
        assert behaviour(clone) == behaviour(obj), (how, obj)


def draw_setting(rng, default):
    if isinstance(default, bool):
        return bool(rng.integers(2))
    if isinstance(default, int):
        return int(rng.choice(EXTREME_INTS)) if rng.random() < 0.3 else int(rng.integers(-2, 4 * default + 8))
    if rng.random() < 0.4:
        return float(rng.choice(EXTREME_FLOATS))
    return float(default * rng.lognormal(0, 1.5)) if default else float(rng.uniform(-1, 3))


SCENE = None


def scene():
    global SCENE
    if SCENE is None:
        from markvane_tools import scenes
        SCENE = scenes.render_scene(np.random.default_rng(0), size=(160, 120), n_markers=2, marker_px=(40, 50),
                                    use_cv2=False)[0]
    return SCENE


def test_random_detector_parameters_round_trip():
    rng = np.random.default_rng(101)
    defaults = mv.DetectorParameters().__getstate__()[1]
    taken = {name: set() for name in defaults}
    refused = found = 0
    for _ in range(150):
        p = mv.DetectorParameters()
        keep = rng.choice([0.2, 0.8, 0.95])  # many settings changed at once, or a few
        for name, default in defaults.items():
            if rng.random() < keep:
                continue
            value = draw_setting(rng, default)
            try:  # the setter says which values the setting accepts
                setattr(p, name, value)
            except ValueError:
                refused += 1
                continue
            taken[name].add(repr(getattr(p, name)))
        assert_round_trips(p, lambda q: outcome(mv.detect_markers, scene(), "DICT_4X4_50", q))
        found += outcome(mv.detect_markers, scene(), "DICT_4X4_50", p).startswith("([[")
        # A copy is independent of its original.
        clone = copy.copy(p)
        clone.detect_inverted_marker = not p.detect_inverted_marker
        assert clone != p
    # The draws reached every setting, every refinement method, NaN and -0.0,
    # and values that setters refuse.
    assert all(len(values) > 1 for values in taken.values()), taken
    assert taken["corner_refinement_method"] == {"0", "1", "2", "3"}
    assert {"nan", "-0.0"} <= taken["adaptive_thresh_constant"] and refused > 100
    assert found > 50  # and enough of them still find markers, so that detections are compared


def draw_board(rng):
    name = str(rng.choice(mv.predefined_dictionaries()))
    sx, sy = (int(v) for v in rng.integers(0, 9, 2))
    square = float(rng.choice(EXTREME_FLOATS)) if rng.random() < 0.3 else float(rng.uniform(0.005, 0.2))
    marker = float(rng.choice(EXTREME_FLOATS)) if rng.random() < 0.3 else square * float(rng.uniform(0.4, 0.9))
    legacy = bool(rng.integers(2))
    ids = None
    if rng.random() < 0.6:
        from markvane_tools import targets
        count = len(mv.CharucoBoard(sx, sy, 1.0, 0.5, name, legacy_pattern=legacy).ids)
        size = targets._dictionary(name).codes.shape[0]
        ids = rng.choice(size, count, replace=count > size).tolist()
    return mv.CharucoBoard(sx, sy, square, marker, name, ids=ids, legacy_pattern=legacy)


def board_behaviour(board):
    from markvane_tools import targets
    geometry = repr([board.squares_x, board.squares_y, board.square_length, board.marker_length,
                     board.dictionary, board.legacy_pattern, board.ids, board.chessboard_corners])
    try:  # the board's own picture where it can be drawn
        image = targets.charuco_board_image(board, 40)
    except ValueError:
        image = scene()
    p = mv.DetectorParameters()
    p.min_side_length_canonical_img = 0
    return geometry, outcome(mv.detect_charuco_board, image, board, p)


def test_random_boards_round_trip():
    rng = np.random.default_rng(202)
    found = 0
    for _ in range(100):
        board = draw_board(rng)
        assert_round_trips(board, board_behaviour)
        found += "([[" in board_behaviour(board)[1]
    assert found >= 20  # enough draws were boards that detection finds


def rotation(rng):
    if rng.random() < 0.2:
        return [np.eye(3), np.diag([1.0, -1.0, -1.0]), np.diag([-1.0, -1.0, 1.0])][int(rng.integers(3))]
    axis = rng.normal(size=3)
    return np.array(mv.rodrigues(axis / np.linalg.norm(axis) * rng.uniform(0, math.pi)))


def draw_body(rng):
    n = int(rng.integers(1, 6))
    extreme = rng.random() < 0.3
    ids = (rng.integers(-2**31, 2**31, n) if extreme else rng.choice(50, n, replace=False)).tolist()
    if extreme:
        tag = float(rng.choice([5e-324, 1e-300, 1e300, sys.float_info.max, 1 / 3]))
        translations = rng.choice(FINITE_EXTREMES, (n, 3))
    else:
        tag, translations = float(rng.uniform(0.01, 0.2)), rng.uniform(-0.2, 0.2, (n, 3))
    rotations = [rotation(rng) for _ in range(n)]
    return (tag, ids, rotations, translations), mv.RigidBody(tag, ids, rotations, translations)


def seen_corners(rng, tag, rotations, translations, camera):
    """Each marker's corners seen from a random pose through a pinhole, with noise."""
    half = tag / 2
    local = np.array([[-half, half, 0], [half, half, 0], [half, -half, 0], [-half, -half, 0]])
    turn = np.array(mv.rodrigues(rng.normal(0, 0.3, 3)))
    shift = np.array([rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1), rng.uniform(0.5, 1.5)])
    with np.errstate(all="ignore"):
        cam = [(local @ np.asarray(r).T + t) @ turn.T + shift for r, t in zip(rotations, translations)]
        return [(c[:, :2] / c[:, 2:] * camera[0][0] + [camera[0][2], camera[1][2]]) + rng.normal(0, 0.2, (4, 2))
                for c in cam]


def test_random_rigid_bodies_and_poses_round_trip():
    rng = np.random.default_rng(303)
    poses = 0
    for _ in range(100):
        try:
            (tag, ids, rotations, translations), body = draw_body(rng)
        except ValueError:  # repeated ids
            continue
        f = float(rng.uniform(500, 1500))
        camera = [[f, 0, 320.0], [0, f, 240.0], [0, 0, 1]]
        corners = seen_corners(rng, tag, rotations, translations, camera)
        seen_ids = ids + [123456]  # an id the body does not have is ignored
        corners.append(corners[0] + 50)

        def estimate(b):
            return outcome(mv.estimate_rigid_body_pose, corners, seen_ids, b, camera, seed=7)
        assert_round_trips(body, estimate)
        try:
            pose = mv.estimate_rigid_body_pose(corners, seen_ids, body, camera, seed=7)
        except ValueError:  # corners out of range, from an extreme body
            pose = None
        if pose is not None:
            poses += 1
            assert_round_trips(pose, lambda q: repr([q.rvec, q.tvec, q.inlier_indices, q.inlier_marker_ids,
                                                     q.used_marker_ids, q.reprojection_rmse]))
    assert poses >= 50


def test_random_calibrations_round_trip():
    rng = np.random.default_rng(404)
    results = 0
    for _ in range(30):
        w, h = int(rng.integers(320, 1920)), int(rng.integers(240, 1080))
        f = float(rng.uniform(300, 2000))
        camera = [[f * rng.uniform(0.97, 1.03), 0, w / 2 + rng.uniform(-20, 20)], [0, f, h / 2 + rng.uniform(-20, 20)],
                  [0, 0, 1]]
        dist = rng.normal(0, 0.05, 5)
        cols, rows, square = int(rng.integers(4, 9)), int(rng.integers(3, 7)), float(rng.uniform(0.02, 0.05))
        gx, gy = np.meshgrid(np.arange(cols) * square, np.arange(rows) * square)
        board = np.c_[gx.ravel(), gy.ravel(), np.zeros(cols * rows)]
        views = int(rng.integers(3, 7))
        images = [np.array(mv.project_points(board, rng.uniform(-0.5, 0.5, 3),
                                             [-cols * square / 2, -rows * square / 2, rng.uniform(0.3, 0.8)],
                                             camera, dist)) + rng.normal(0, 0.3, (cols * rows, 2))
                  for _ in range(views)]
        options = dict(model=str(rng.choice(["k5", "k8", "k14"])), fix_aspect_ratio=bool(rng.integers(2)),
                       zero_tangent=bool(rng.integers(2)), fix_principal_point=bool(rng.integers(2)))
        if rng.random() < 0.5:
            options["camera_matrix"] = camera
        try:
            result = mv.calibrate_camera([board] * views, images, (w, h), **options)
        except ValueError:  # views that cannot determine the camera
            continue
        results += 1
        assert_round_trips(result, lambda c: repr([c.rms, c.camera_matrix, c.dist_coeffs, c.rvecs, c.tvecs,
                                                   c.per_view_errors, c.std_deviations]))
    assert results >= 20
