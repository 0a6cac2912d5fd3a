"""Argument intake of the module's functions: buffers released on every
failure, shapes checked before contents, numeric arrays of any dtype, errors
that name their argument, uninitialised instances, dictionary names kept
exactly, text signatures, and refusal of sub-interpreters."""
import inspect
import json
import math
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import markvane as mv

K = [[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]]
SQUARE = [[-1.0, 1.0, 0.0], [1.0, 1.0, 0.0], [1.0, -1.0, 0.0], [-1.0, -1.0, 0.0], [0.3, 0.4, 0.0]]
PIXELS = mv.project_points(SQUARE, [0.1, -0.2, 0.05], [0.1, 0.2, 6.0], K)
GRAY = np.zeros((30, 40), np.uint8)


def identity_body():
    return mv.RigidBody(0.1, [1], [np.eye(3)], [[0.0, 0.0, 0.0]])


# ---------------------------------------------------------------- buffers


@pytest.mark.parametrize("call", [
    lambda a: mv.detect_markers(a, "DICT_4X4_50"),
    lambda a: mv._corner_sub_pix(a, [(1.0, 1.0)], 2, 10, 0.1),
], ids=["detect_markers", "_corner_sub_pix"])
@pytest.mark.parametrize("make, exc", [
    (lambda: np.zeros((200, 300), np.float32), TypeError),           # rejected dtype
    (lambda: np.zeros((20, 30), np.int16), TypeError),
    (lambda: np.zeros((4, 4, 4, 4), np.uint8), ValueError),          # accepted dtype, bad shape
    (lambda: np.zeros((4, 4, 2), np.uint8), ValueError),
], ids=["float32", "int16", "4d", "2-channel"])
def test_rejected_images_release_their_buffer(call, make, exc):
    arr = make()
    before = sys.getrefcount(arr)
    for _ in range(3):
        with pytest.raises(exc):
            call(arr)
    assert sys.getrefcount(arr) == before
    # NumPy resizes in place only an array that nothing else references (a
    # held buffer references it).
    arr.resize(arr.size + 1, refcheck=True)


def test_point_arrays_are_released_on_late_errors():
    # Point arrays of the right shape are held until the count and camera
    # checks pass; every error after that must still let them go.
    obj = np.array(SQUARE)
    img = np.array(PIXELS)
    for call in (lambda: mv.solve_pnp(obj, img, [[1.0]]),
                 lambda: mv.solve_pnp(obj, img[:4], K),
                 lambda: mv.solve_pnp_ransac(obj, img, K, confidence=2.0),
                 lambda: mv.project_points(obj, [0, 0, 0], [0, 0, 1], K, [1.0])):
        with pytest.raises(ValueError):
            call()
    assert mv.solve_pnp(obj, img, K) is not None
    obj.resize(obj.size + 1, refcheck=True)
    img.resize(img.size + 1, refcheck=True)


# ---------------------------------------------------------------- shapes first

HUGE = 10 ** 8

# (label, call, exception, message); every array is a zero-stride broadcast,
# so a call that read it element by element would take gigabytes.
SHAPE_CASES = r'''
big = lambda shape, dtype=np.float64: np.broadcast_to(np.zeros((), dtype), shape)
obj4 = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]]
img4 = [[0, 0], [1, 0], [0, 1], [1, 1]]
body = mv.RigidBody(0.1, [1], [np.eye(3)], [[0, 0, 0]])
H = 10 ** 8
cases = [
    ("rows of one", lambda: mv.solve_pnp(big((H, 1)), img4, K),
     "ValueError", "expected a sequence of length 3 (got 1)"),
    ("int rows of one", lambda: mv.solve_pnp(big((H, 1), np.int32), img4, K),
     "ValueError", "expected a sequence of length 3 (got 1)"),
    ("flat points", lambda: mv.solve_pnp(big((H,)), img4, K),
     "TypeError", "argument 'object_points': 'float64' object cannot be converted to 'Sequence'"),
    ("3-d points", lambda: mv.solve_pnp_ransac(big((H, 3, 2)), img4, K),
     "TypeError", "argument 'object_points': expected a flat sequence of numbers, got an array of shape (3, 2)"),
    ("OpenCV's point column", lambda: mv.solve_pnp_ransac(big((H, 1, 3)), img4, K),
     "ValueError", "object_points and image_points must have the same length"),
    ("too many points", lambda: mv.solve_pnp(big((H, 3)), img4, K),
     "ValueError", "object_points and image_points must have the same length"),
    ("too many image points", lambda: mv.solve_pnp_ransac(obj4 + [[2, 2, 0]], big((H, 2), np.uint8), K),
     "ValueError", "object_points and image_points must have the same length"),
    ("tall camera", lambda: mv.solve_pnp(obj4, img4, big((H, 3))),
     "ValueError", "camera_matrix must be 3x3"),
    ("wide int camera", lambda: mv.solve_pnp(obj4, img4, big((3, H), np.int64)),
     "ValueError", "camera_matrix must be 3x3"),
    ("camera after the count", lambda: mv.solve_pnp(obj4[:3], img4[:3], big((H, 3))),
     "ValueError", "need at least 4 point correspondences"),
    ("long distortion", lambda: mv.solve_pnp(obj4, img4, K, big((H,))),
     "ValueError", "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got 100000000"),
    ("matrix before distortion", lambda: mv.project_points(obj4, [0, 0, 0], [0, 0, 1], big((H, 3)), big((H,))),
     "ValueError", "camera_matrix must be 3x3"),
    ("long rvec", lambda: mv.solve_pnp(obj4, img4, K, rvec=big((H,)), tvec=[0, 0, 1]),
     "ValueError", "expected a sequence of length 3 (got 100000000)"),
    ("long rvec column", lambda: mv.project_points(obj4, big((H, 1), np.int8), [0, 0, 1], K),
     "ValueError", "expected a sequence of length 3 (got 100000000)"),
    ("projected pairs", lambda: mv.project_points(big((H, 2)), [0, 0, 0], [0, 0, 1], K),
     "ValueError", "expected a sequence of length 3 (got 2)"),
    ("tall src", lambda: mv.rodrigues(big((H, 3))),
     "ValueError", "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)"),
    ("wide src", lambda: mv.rodrigues(big((3, H), np.uint16)),
     "ValueError", "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)"),
    ("empty rows of src", lambda: mv.rodrigues(big((H, 0, 3))),
     "ValueError", "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)"),
    ("corner triples", lambda: mv._corner_sub_pix(np.zeros((9, 9), np.uint8), big((H, 3)), 2, 10, 0.1),
     "ValueError", "expected a sequence of length 2 (got 3)"),
    ("many rotations", lambda: mv.RigidBody(0.1, [1], big((H, 3, 3)), [[0, 0, 0]]),
     "ValueError", "marker_ids, rotations_marker_to_reference and translations_marker_to_reference "
                   "must have the same length"),
    ("rotation rows of four", lambda: mv.RigidBody(0.1, [1], big((H, 4, 3)), [[0, 0, 0]]),
     "ValueError", "expected a sequence of length 3 (got 4)"),
    ("many translations", lambda: mv.RigidBody(0.0, [1], [np.eye(3)], big((H, 3))),
     "ValueError", "tag_size_m must be finite and greater than zero"),
    ("many markers", lambda: mv.estimate_rigid_body_pose(big((H, 4, 2)), [1], body, K),
     "ValueError", "marker_corners and marker_ids must have the same length"),
    ("markers of five corners", lambda: mv.estimate_rigid_body_pose(big((H, 5, 2)), [1], body, K),
     "ValueError", "expected a sequence of length 4 (got 5)"),
    ("long corner lists", lambda: mv.estimate_rigid_body_pose(big((1, H, 2)), [1], body, K),
     "ValueError", "expected a sequence of length 4 (got 100000000)"),
]
'''


def test_huge_arrays_of_the_wrong_shape_fail_without_being_read():
    script = textwrap.dedent("""
        import json, resource, sys, time
        import numpy as np
        import markvane as mv
        K = %r
    """ % (K,)) + SHAPE_CASES + textwrap.dedent("""
        # A regression would try to allocate gigabytes: let it fail fast.
        # (Not under AddressSanitizer, whose shadow memory needs room to map.)
        import os
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            limit = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 + (3 << 30)
            resource.setrlimit(resource.RLIMIT_DATA,
                               (limit, resource.getrlimit(resource.RLIMIT_DATA)[1]))
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = []
        for label, call, _, _ in cases:
            start = time.perf_counter()
            try:
                call()
                got = ("returned", "")
            except Exception as e:
                got = (type(e).__name__, str(e))
            out.append([label, got[0], got[1], time.perf_counter() - start])
        grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024
        print(json.dumps({"results": out, "grown_mb": grown}))
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    namespace = {"np": np, "mv": mv, "K": K}
    exec(SHAPE_CASES, namespace)
    expected = {label: (exc, message) for label, _, exc, message in namespace["cases"]}
    for label, exc, message, seconds in report["results"]:
        want_exc, want_message = expected[label]
        assert exc == want_exc, (label, exc, message)
        assert message.startswith(want_message), (label, message)
        assert seconds < 1.0, (label, seconds)
    assert report["grown_mb"] < 100


def comparable(result):
    if isinstance(result, mv.RigidBody):
        return result.marker_ids
    if isinstance(result, mv.RigidBodyPose):
        return result.rvec, result.tvec, result.inlier_indices
    return result


def outcomes_without_unit_axes(call, arr):
    import itertools
    units = [axis for axis, extent in enumerate(arr.shape) if extent == 1]
    found = []
    for k in range(1, len(units) + 1):
        for axes in itertools.combinations(units, k):
            try:
                found.append(("ok", comparable(call(np.squeeze(arr, axis=axes).tolist()))))
            except (TypeError, ValueError) as e:
                found.append((type(e).__name__, str(e)))
    return found


@pytest.mark.parametrize("n", [0, 1, 5])
def test_small_arrays_of_the_wrong_shape_give_the_list_errors(n):
    # The shape-first checks must report exactly what converting the same
    # data as nested lists reports.
    calls = [
        lambda o: mv.solve_pnp(o, PIXELS, K),
        lambda o: mv.project_points(o, [0, 0, 0], [0, 0, 1], K),
        lambda o: mv.rodrigues(o),
        lambda o: mv.solve_pnp(SQUARE, PIXELS, o),
        lambda o: mv._corner_sub_pix(GRAY, o, 2, 5, 0.1),
        lambda o: mv.RigidBody(0.1, [1], o, [[0, 0, 0]]),
        lambda o: mv.estimate_rigid_body_pose(o, [1], identity_body(), K),
    ]
    shapes = [(n,), (n, 1), (n, 2), (n, 4), (n, 3, 1), (n, 3, 3), (n, 4, 2), (n, 0), (n, 2, 0)]
    for call in calls:
        for shape in shapes:
            for dtype in (np.float64, np.int32, np.float16):
                arr = np.arange(np.prod(shape), dtype=dtype).reshape(shape)
                outcomes = []
                for value in (arr, arr.tolist()):
                    try:
                        outcomes.append(("ok", comparable(call(value))))
                    except (TypeError, ValueError) as e:
                        outcomes.append((type(e).__name__, str(e)))
                array_outcome, list_outcome = outcomes
                if array_outcome[0] == "TypeError" and list_outcome[0] == "TypeError":
                    continue  # element messages differ (NumPy scalar vs Python number)
                if array_outcome != list_outcome:
                    # Arrays also come in OpenCV's layouts, with unit axes the
                    # lists would not have: then they read like the lists
                    # without those axes.
                    assert array_outcome in outcomes_without_unit_axes(call, arr), \
                        (shape, dtype, array_outcome, list_outcome)


# ---------------------------------------------------------------- numeric dtypes


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint64,
                                   np.float16, np.float32, np.float64, np.longdouble, np.bool_])
def test_numeric_arrays_of_any_dtype_read_like_lists(dtype):
    obj = np.array([[0, 0, 0], [2, 0, 0], [0, 3, 1], [4, 4, 0], [1, 5, 2], [6, 1, 1]]).astype(dtype)
    as_list = obj.tolist()
    camera = np.array([[700, 0, 300], [0, 650, 250], [0, 0, 1]]).astype(dtype)
    r, t = np.array([0, 1, 0]).astype(dtype), np.array([1, 0, 9]).astype(dtype)
    got = mv.project_points(obj, r, t, camera)
    assert got == mv.project_points(as_list, r.tolist(), t.tolist(), camera.tolist())
    # Strided and reversed views read their logical contents.
    view = np.asfortranarray(obj)[::-1]
    assert mv.project_points(view, r, t, camera) == mv.project_points(view.tolist(), r.tolist(), t.tolist(),
                                                                     camera.tolist())
    if dtype != np.bool_:
        pixels = np.array(got)
        assert mv.solve_pnp(obj, pixels, camera) == mv.solve_pnp(as_list, pixels.tolist(), camera.tolist())


def test_integer_id_arrays_keep_the_overflow_rule():
    assert mv.RigidBody(0.1, np.array([7], np.uint64), [np.eye(3)], [[0, 0, 0]]).marker_ids == [7]
    for ids in (np.array([2 ** 31], np.int64), np.array([2 ** 63], np.uint64)):
        with pytest.raises(OverflowError, match="^argument 'marker_ids': "):
            mv.RigidBody(0.1, ids, [np.eye(3)], [[0, 0, 0]])
    with pytest.raises(TypeError, match="^argument 'marker_ids': "):
        mv.RigidBody(0.1, np.array([1.0]), [np.eye(3)], [[0, 0, 0]])


# ---------------------------------------------------------------- error names

OBJ6 = [[float(i), float(i * i % 3), 0.0] for i in range(6)]


@pytest.mark.parametrize("call, name", [
    (lambda: mv.solve_pnp_ransac(OBJ6, [[0.0, 0.0]] * 6, K, iterations=-1), "iterations"),
    (lambda: mv.solve_pnp_ransac(OBJ6, [[0.0, 0.0]] * 6, K, seed=-1), "seed"),
    (lambda: mv.solve_pnp_ransac(OBJ6, [[0.0, 0.0]] * 6, K, seed=2 ** 64), "seed"),
    (lambda: mv.solve_pnp_ransac(OBJ6, [[0.0, 0.0]] * 6, K, confidence=10 ** 400), "confidence"),
    (lambda: mv.estimate_rigid_body_pose([], [], identity_body(), K, iterations=-1), "iterations"),
    (lambda: mv.estimate_rigid_body_pose([], [], identity_body(), K, seed=-5), "seed"),
    (lambda: mv.estimate_rigid_body_pose([], [2 ** 31], identity_body(), K), "marker_ids"),
    (lambda: mv._corner_sub_pix(GRAY, [(1.0, 1.0)], -1, 10, 0.1), "win"),
    (lambda: mv._corner_sub_pix(GRAY, [(1.0, 1.0)], 2, 2 ** 31, 0.1), "max_iters"),
    (lambda: mv.solve_pnp(SQUARE, PIXELS, K, rvec=[10 ** 400, 0, 0], tvec=[0, 0, 1]), "rvec"),
    (lambda: mv.RigidBody(10 ** 400, [1], [np.eye(3)], [[0, 0, 0]]), "tag_size_m"),
    (lambda: mv.RigidBody(0.1, [-(2 ** 31) - 1], [np.eye(3)], [[0, 0, 0]]), "marker_ids"),
])
def test_overflow_errors_name_the_argument(call, name):
    with pytest.raises(OverflowError, match=f"^argument '{name}': "):
        call()


@pytest.mark.parametrize("prop, value", [
    ("corner_refinement_win_size", 2 ** 31), ("adaptive_thresh_win_size_min", -(2 ** 31) - 1),
    ("april_tag_max_nmaxima", 2 ** 100), ("adaptive_thresh_constant", 10 ** 400),
])
def test_setter_overflow_names_the_value(prop, value):
    p = mv.DetectorParameters()
    old = getattr(p, prop)
    with pytest.raises(OverflowError, match="^argument 'v': "):
        setattr(p, prop, value)
    assert getattr(p, prop) == old


# ---------------------------------------------------------------- dictionary names


@pytest.mark.parametrize("name", ["DICT_4X4_50\x00abc", "\x00", "DICT_\ud800", "\udcff4X4_50", "DICT_6X6_250\x00"])
def test_unknown_dictionary_message_quotes_the_name_exactly(name):
    with pytest.raises(ValueError) as err:
        mv.detect_markers(GRAY, name)
    assert str(err.value) == "unknown dictionary: " + name


# ---------------------------------------------------------------- uninitialised instances

PARAMETER_NAMES = [n for n, v in vars(mv.DetectorParameters).items() if isinstance(v, property)]


class SkipsInit(mv.DetectorParameters):
    def __init__(self):
        pass


@pytest.mark.parametrize("make", [lambda: mv.DetectorParameters.__new__(mv.DetectorParameters), SkipsInit],
                         ids=["__new__", "subclass"])
def test_uninitialised_detector_parameters_raise_type_error(make):
    p = make()
    assert len(PARAMETER_NAMES) == 23
    for name in PARAMETER_NAMES:
        with pytest.raises(TypeError, match="is not initialized"):
            getattr(p, name)
        with pytest.raises(TypeError, match="is not initialized"):
            setattr(p, name, True if isinstance(getattr(mv.DetectorParameters(), name), bool) else 1)
    with pytest.raises(TypeError, match="^argument 'parameters': .*is not initialized"):
        mv.detect_markers(GRAY, "DICT_4X4_50", p)


def test_uninitialised_rigid_bodies_and_poses_raise_type_error():
    body = mv.RigidBody.__new__(mv.RigidBody)
    for name in ("marker_ids", "tag_size_m"):
        with pytest.raises(TypeError, match="is not initialized"):
            getattr(body, name)
    corners = [np.array(PIXELS[:4]).tolist()]
    with pytest.raises(TypeError, match="^argument 'rigid_body': .*is not initialized"):
        mv.estimate_rigid_body_pose(corners, [1], body, K)
    pose = mv.RigidBodyPose.__new__(mv.RigidBodyPose)
    for name in ("rvec", "tvec", "inlier_indices", "inlier_marker_ids", "used_marker_ids", "reprojection_rmse"):
        with pytest.raises(TypeError, match="is not initialized"):
            getattr(pose, name)
    # A property read through a foreign object is a TypeError too.
    with pytest.raises(TypeError, match="cannot be converted to 'RigidBodyPose'"):
        mv.RigidBodyPose.rvec.fget(body)
    with pytest.raises(TypeError, match="cannot be converted to 'DetectorParameters'"):
        mv.DetectorParameters.corner_refinement_method.fget(object())


# ---------------------------------------------------------------- signatures

SIGNATURES = {
    "detect_markers": "(image, dictionary, parameters=None)",
    "detect_markers_batch": "(images, dictionary, parameters=None)",
    "detect_charuco_board": "(image, board, parameters=None, min_markers=2, check_markers=True)",
    "find_chessboard_corners": "(image, pattern_size)",
    "predefined_dictionaries": "()",
    "_corner_sub_pix": "(image, corners, win, max_iters, eps)",
    "solve_pnp": "(object_points, image_points, camera_matrix, dist_coeffs=None, rvec=None, tvec=None)",
    "solve_pnp_ransac": "(object_points, image_points, camera_matrix, dist_coeffs=None, iterations=100, "
                        "reprojection_error=3.0, confidence=0.99, seed=0)",
    "estimate_rigid_body_pose": "(marker_corners, marker_ids, rigid_body, camera_matrix, dist_coeffs=None, "
                                "iterations=100, reprojection_error=3.0, confidence=0.99, seed=0)",
    "project_points": "(object_points, rvec, tvec, camera_matrix, dist_coeffs=None)",
    "rodrigues": "(src)",
    "estimate_pose_charuco_board": "(charuco_corners, charuco_ids, board, camera_matrix, dist_coeffs=None)",
    "_charuco_predict": "(image, board)",
    "calibrate_camera": "(object_points, image_points, image_size, camera_matrix=None, dist_coeffs=None, "
                        "model='k5', fix_aspect_ratio=False, zero_tangent=False, fix_principal_point=False)",
}


def test_every_function_has_its_signature():
    present = [name for name in SIGNATURES if hasattr(mv, name)]
    assert len(present) >= 8
    for name in present:
        f = getattr(mv, name)
        assert f.__text_signature__ == SIGNATURES[name], name
        assert str(inspect.signature(f)) == SIGNATURES[name], name
        assert f.__name__ == name and f.__module__ == "markvane"
        assert repr(f) == f"<built-in function {name}>"
        assert pickle.loads(pickle.dumps(f)) is f
    assert mv.rodrigues.__doc__ == \
        "Convert a rotation vector to a 3x3 rotation matrix, or back (cv::Rodrigues)."
    assert mv.predefined_dictionaries.__doc__ == \
        "List the names of the predefined dictionaries this build supports."
    assert mv.solve_pnp.__doc__.startswith("Estimate the pose of a set of 3D-2D correspondences (cv::solvePnP,\n")
    assert mv.DetectorParameters.__text_signature__ == "()"
    assert mv.RigidBody.__text_signature__ == \
        "(tag_size_m, marker_ids, rotations_marker_to_reference, translations_marker_to_reference)"


def test_functions_still_bind_arguments_as_before():
    assert mv.rodrigues(src=[[0.0, 0.0, 0.0]]) == mv.rodrigues([[0.0, 0.0, 0.0]])
    assert mv.project_points(SQUARE, tvec=[0.1, 0.2, 6.0], rvec=[0.1, -0.2, 0.05], camera_matrix=K) == PIXELS
    for call in (lambda: mv.rodrigues(), lambda: mv.rodrigues([[0, 0, 0]], 1), lambda: mv.rodrigues(sr=[[0, 0, 0]]),
                 lambda: mv.predefined_dictionaries(1), lambda: mv.predefined_dictionaries(x=1),
                 lambda: mv.solve_pnp(SQUARE, PIXELS, K, None, None, None, None),
                 lambda: mv.detect_markers(GRAY, "DICT_4X4_50", parameters=None, image=GRAY)):
        with pytest.raises(TypeError):
            call()
    assert len(mv.predefined_dictionaries()) == 22


# ---------------------------------------------------------------- sub-interpreters


def test_sub_interpreters_are_refused_and_the_main_module_keeps_working():
    script = textwrap.dedent("""
        import os, sys
        try:
            import _interpreters as interp                 # Python 3.13+
        except ImportError:
            try:
                import _xxsubinterpreters as interp        # Python 3.8 - 3.12
            except ImportError:
                print("no-api"); sys.exit(0)
        import numpy as np
        import markvane
        p = markvane.DetectorParameters()
        code = ("import os\\n"
                "try:\\n"
                "    import markvane\\n"
                "    r = 'imported'\\n"
                "except ImportError as e:\\n"
                "    r = 'ImportError: ' + str(e)\\n"
                "os.write(1, (r + '\\\\n').encode())\\n")
        for _ in range(2):
            i = interp.create()
            interp.run_string(i, code)
            interp.destroy(i)
        p.corner_refinement_method = 1
        q = markvane.DetectorParameters()
        body = markvane.RigidBody(0.1, [3], [np.eye(3)], [[0, 0, 0]])
        print(p.corner_refinement_method, q.corner_refinement_method, body.marker_ids,
              markvane.detect_markers(np.zeros((20, 20), np.uint8), "DICT_4X4_50", q), flush=True)
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "no-api":
        pytest.skip("this Python has no sub-interpreter API")
    lines = proc.stdout.splitlines()
    assert len(lines) == 3, proc.stdout
    for line in lines[:2]:
        assert line.startswith("ImportError: "), line
    assert lines[2] == "1 0 [3] ([], [])"
