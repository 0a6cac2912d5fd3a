"""Module surface, DetectorParameters and argument conversion."""
import math
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import markvane

PARAM_DEFAULTS = {
    "adaptive_thresh_win_size_min": 3,
    "adaptive_thresh_win_size_max": 23,
    "adaptive_thresh_win_size_step": 10,
    "adaptive_thresh_constant": 7.0,
    "polygonal_approx_accuracy_rate": 0.03,
    "error_correction_rate": 0.6,
    "detect_inverted_marker": False,
    "min_side_length_canonical_img": 32,
    "corner_refinement_method": 0,
    "corner_refinement_win_size": 5,
    "relative_corner_refinement_win_size": 0.3,
    "corner_refinement_max_iterations": 30,
    "corner_refinement_min_accuracy": 0.1,
    "april_tag_quad_decimate": 0.0,
    "april_tag_refine_full_resolution": False,
    "april_tag_quad_sigma": 0.0,
    "april_tag_min_cluster_pixels": 5,
    "april_tag_max_nmaxima": 10,
    "april_tag_critical_rad": 10 * math.pi / 180,
    "april_tag_max_line_fit_mse": 10.0,
    "april_tag_min_white_black_diff": 5,
    "april_tag_deglitch": False,
    "april_tag_refine_edges": False,
}

BELOW_HALF_PI = math.nextafter(math.pi / 2, 0.0)

# (property, rejected values, message, an accepted boundary value)
VALIDATION = [
    ("april_tag_quad_sigma", [math.nan, math.inf, -math.inf], "april_tag_quad_sigma must be finite", -3.0),
    ("april_tag_max_nmaxima", [3, -1], "april_tag_max_nmaxima must be at least four", 4),
    ("april_tag_critical_rad", [0.0, -0.0, math.pi / 2, math.nan, math.inf, -1.0],
     "april_tag_critical_rad must be between 0 and pi/2", BELOW_HALF_PI),
    ("april_tag_quad_decimate", [-1e-300, math.nan, math.inf],
     "april_tag_quad_decimate must be nonnegative and finite", -0.0),
    ("corner_refinement_method", [4, -1], "corner_refinement_method must be 0, 1, 2, or 3", 3),
    ("april_tag_max_line_fit_mse", [0.0, -1.0, math.nan, math.inf],
     "april_tag_max_line_fit_mse must be positive and finite", 1e-300),
    ("corner_refinement_win_size", [0, -5], "corner_refinement_win_size must be positive", 1),
    ("april_tag_min_cluster_pixels", [0], "april_tag_min_cluster_pixels must be positive", 1),
    ("april_tag_min_white_black_diff", [-1, 256], "april_tag_min_white_black_diff must be in 0..=255", 255),
    ("corner_refinement_min_accuracy", [-1e-300, math.nan, -math.inf],
     "corner_refinement_min_accuracy must be nonnegative and finite", -0.0),
    ("corner_refinement_max_iterations", [0], "corner_refinement_max_iterations must be positive", 1),
    ("relative_corner_refinement_win_size", [0.0, math.nan, math.inf],
     "relative_corner_refinement_win_size must be positive and finite", 1e-9),
]


def test_module_surface_and_docstrings():
    assert (markvane.CORNER_REFINE_NONE, markvane.CORNER_REFINE_SUBPIX,
            markvane.CORNER_REFINE_CONTOUR, markvane.CORNER_REFINE_APRILTAG) == (0, 1, 2, 3)
    assert markvane.detect_markers.__text_signature__ == "(image, dictionary, parameters=None)"
    assert markvane.detect_markers.__doc__.startswith("Detect ArUco or AprilTag markers in `image`")
    assert "Returns `(corners, ids)`:" in markvane.detect_markers.__doc__
    assert "List the names of the predefined dictionaries this build supports." in \
        markvane.predefined_dictionaries.__doc__
    assert markvane.DetectorParameters.__doc__.startswith("Detector parameters for marker detection.")
    assert markvane.DetectorParameters.april_tag_refine_full_resolution.__doc__.startswith(
        "Refit each decoded marker's border")
    names = markvane.predefined_dictionaries()
    assert len(names) == 22 and names[0] == "DICT_4X4_50" and names[-1] == "DICT_APRILTAG_36h11"
    assert markvane.predefined_dictionaries() is not names
    with pytest.raises(TypeError):
        markvane.predefined_dictionaries(1)


# Classes and functions in registration order; entries not built yet are absent.
REGISTRATION_ORDER = [
    "CORNER_REFINE_NONE", "CORNER_REFINE_SUBPIX", "CORNER_REFINE_CONTOUR", "CORNER_REFINE_APRILTAG",
    "DetectorParameters", "CharucoBoard", "RigidBody", "RigidBodyPose",
    "detect_markers", "detect_markers_batch", "detect_charuco_board", "find_chessboard_corners",
    "predefined_dictionaries", "_corner_sub_pix", "solve_pnp", "solve_pnp_ransac", "estimate_rigid_body_pose",
    "project_points", "rodrigues", "estimate_pose_charuco_board", "_charuco_predict",
    "CalibrationResult", "calibrate_camera",
]


def test_registration_order():
    public = [name for name in vars(markvane) if not name.startswith("__")]
    assert set(public) <= set(REGISTRATION_ORDER), set(public) - set(REGISTRATION_ORDER)
    assert public == [name for name in REGISTRATION_ORDER if name in public]
    for name in ("CharucoBoard", "detect_charuco_board", "estimate_pose_charuco_board", "_charuco_predict"):
        assert name in public
    assert markvane.detect_charuco_board.__doc__.startswith(
        "Detect a ChArUco board in `image` (HxW grayscale or HxWx3 BGR, uint8).\n\n"
        "Returns `(charuco_corners, charuco_ids, marker_corners, marker_ids)`:")
    assert markvane.estimate_pose_charuco_board.__doc__.startswith(
        "Estimate the pose of a ChArUco board from detected chessboard corners\n"
        "(cv::aruco::estimatePoseCharucoBoard).")
    assert markvane._charuco_predict.__doc__ == \
        "Test hook: interpolated charuco corners and window sizes, pre-refinement."


def test_parameter_defaults_and_types():
    p = markvane.DetectorParameters()
    for name, value in PARAM_DEFAULTS.items():
        got = getattr(p, name)
        assert got == value and type(got) is type(value), name
    with pytest.raises(TypeError):
        markvane.DetectorParameters(1)
    with pytest.raises(TypeError):
        markvane.DetectorParameters(corner_refinement_method=1)


@pytest.mark.parametrize("name, rejected, message, accepted", VALIDATION)
def test_parameter_validation_keeps_old_value(name, rejected, message, accepted):
    p = markvane.DetectorParameters()
    for value in rejected:
        with pytest.raises(ValueError) as err:
            setattr(p, name, value)
        assert str(err.value) == message
        assert getattr(p, name) == PARAM_DEFAULTS[name]
    setattr(p, name, accepted)
    assert getattr(p, name) == accepted


def test_parameter_conversion_rules():
    p = markvane.DetectorParameters()
    p.adaptive_thresh_constant = 3           # int through the float protocol
    assert p.adaptive_thresh_constant == 3.0 and type(p.adaptive_thresh_constant) is float
    p.adaptive_thresh_constant = np.float32(2.5)
    assert p.adaptive_thresh_constant == 2.5
    p.detect_inverted_marker = True
    p.april_tag_deglitch = np.bool_(True)
    assert p.detect_inverted_marker is True and p.april_tag_deglitch is True
    for value in (1, 0, "yes", None):
        with pytest.raises(TypeError, match=r"^argument 'v': "):
            p.april_tag_refine_full_resolution = value
    with pytest.raises(TypeError, match=r"^argument 'v': "):
        p.corner_refinement_win_size = 5.0
    with pytest.raises(TypeError, match=r"^argument 'v': "):
        p.adaptive_thresh_constant = "7"
    for value in (2**31, -(2**31) - 1, 2**100):
        with pytest.raises(OverflowError):
            p.adaptive_thresh_win_size_min = value
    p.adaptive_thresh_win_size_min = -(2**31)
    assert p.adaptive_thresh_win_size_min == -(2**31)
    p.adaptive_thresh_win_size_step = 0     # stored; refused when detecting
    assert p.adaptive_thresh_win_size_step == 0
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del p.corner_refinement_method
    assert p.corner_refinement_method == 0


def test_snapshot_is_independent_of_later_changes():
    p = markvane.DetectorParameters()
    q = markvane.DetectorParameters()
    p.corner_refinement_method = 1
    assert q.corner_refinement_method == 0


IMG = np.zeros((40, 50), np.uint8)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: markvane.detect_markers(IMG, "DICT_4X4_51"), ValueError, "unknown dictionary: DICT_4X4_51"),
    (lambda: markvane.detect_markers(IMG, "dict_"), ValueError, "unknown dictionary: dict_"),
    (lambda: markvane.detect_markers(np.zeros((4, 4, 4), np.uint8), "nope"), ValueError,
     "unknown dictionary: nope"),
    (lambda: markvane.detect_markers(np.zeros((4, 4, 4), np.uint8), "4x4_50"), ValueError,
     "image must have 1 or 3 channels"),
    (lambda: markvane.detect_markers(np.zeros((4,), np.uint8), "DICT_4X4_50"), ValueError,
     "image must be 2D (gray) or 3D (BGR)"),
    (lambda: markvane.detect_markers(np.zeros((2, 2, 2, 2), np.uint8), "DICT_4X4_50"), ValueError,
     "image must be 2D (gray) or 3D (BGR)"),
    (lambda: markvane.detect_markers(IMG.astype(np.float32), "nope"), TypeError,
     "argument 'image': "),
    (lambda: markvane.detect_markers("x", 5), TypeError, "argument 'image': "),
    (lambda: markvane.detect_markers(np.broadcast_to(np.uint8(0), (2**20, 2**20)), "DICT_4X4_50"),
     MemoryError, "image is larger than the machine's memory"),
    (lambda: markvane.detect_markers(IMG.tolist(), "DICT_4X4_50"), TypeError, "argument 'image': "),
    (lambda: markvane.detect_markers(IMG, b"DICT_4X4_50"), TypeError, "argument 'dictionary': "),
    (lambda: markvane.detect_markers(IMG, "DICT_4X4_50", parameters=3), TypeError,
     "argument 'parameters': "),
    (lambda: markvane._corner_sub_pix(IMG, "ab", 3, 10, 0.1), TypeError,
     "argument 'corners': Can't extract `str` to `Vec`"),
    (lambda: markvane._corner_sub_pix(IMG, [(1.0, 2.0, 3.0)], 3, 10, 0.1), ValueError,
     "expected a sequence of length 2 (got 3)"),
    (lambda: markvane._corner_sub_pix(IMG, [(1.0, 2.0)], -1, 10, 0.1), OverflowError, "argument 'win': "),
    (lambda: markvane._corner_sub_pix(IMG, [(1.0, 2.0)], 2**20, 10, 0.1), ValueError, "win must be at most"),
])
def test_error_messages(call, exc, message):
    with pytest.raises(exc) as err:
        call()
    assert str(err.value).startswith(message)


def test_scale_plan_that_cannot_be_computed_raises():
    p = markvane.DetectorParameters()
    p.adaptive_thresh_win_size_step = 0
    with pytest.raises(ValueError, match="adaptive_thresh_win_size_step"):
        markvane.detect_markers(IMG, "DICT_4X4_50", p)
    p.adaptive_thresh_win_size_step = -1
    p.adaptive_thresh_win_size_min = 0
    p.adaptive_thresh_win_size_max = -(2**31)
    with pytest.raises(ValueError):
        markvane.detect_markers(IMG, "DICT_4X4_50", p)
    # Billions of full-image passes are refused rather than attempted.
    p.adaptive_thresh_win_size_step = 1
    p.adaptive_thresh_win_size_min = 1
    p.adaptive_thresh_win_size_max = 2**31 - 1
    with pytest.raises(ValueError, match="scales; at most 65536 are supported"):
        markvane.detect_markers(IMG, "DICT_4X4_50", p)


def test_type_error_prefix_keeps_the_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as err:
        markvane._corner_sub_pix(IMG, [(Bad(), 1.0)], 3, 10, 0.1)
    assert str(err.value) == "argument 'corners': outer"
    assert isinstance(err.value.__cause__, KeyError)


@pytest.mark.parametrize("shape", [(0, 0), (0, 7), (7, 0), (0, 5, 3), (5, 0, 1)])
def test_empty_images_give_empty_results(shape):
    assert markvane.detect_markers(np.zeros(shape, np.uint8), "DICT_4X4_50") == ([], [])


def _layouts(img):
    """The same logical image in many memory layouts."""
    yield img
    yield np.asfortranarray(img)
    flipped = img[::-1].copy()
    yield flipped[::-1]
    wide = np.zeros((img.shape[0], img.shape[1] * 2) + img.shape[2:], np.uint8)
    wide[:, ::2] = img
    yield wide[:, ::2]
    yield np.ascontiguousarray(img.swapaxes(0, 1)).swapaxes(0, 1)


@pytest.fixture(scope="module")
def scene_bgr():
    cv2 = pytest.importorskip("cv2")
    dictionary = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    gray = np.full((240, 330), 235, np.uint8)
    for k in range(6):
        marker = cv2.aruco.generateImageMarker(dictionary, k, 60)
        y, x = 20 + 110 * (k // 3), 20 + 105 * (k % 3)
        gray[y:y + 60, x:x + 60] = marker
    gray = cv2.GaussianBlur(gray, (3, 3), 0.8)
    rng = np.random.default_rng(5)
    tint = rng.uniform(0.7, 1.0, 3)
    image = np.clip(gray[:, :, None] * tint + rng.normal(0, 3, gray.shape + (3,)), 0, 255)
    return image.astype(np.uint8)


def test_layouts_and_channel_forms_agree(scene_bgr):
    image = scene_bgr
    gray = (image.astype(np.float32) @ np.array([0.114, 0.587, 0.299], np.float32) + 0.5).astype(np.uint8)
    expected = markvane.detect_markers(image, "DICT_4X4_50")
    assert expected[1], "scene must contain detectable markers"
    for view in _layouts(image):
        assert markvane.detect_markers(view, "DICT_4X4_50") == expected
    single = markvane.detect_markers(gray, "DICT_4X4_50")
    assert markvane.detect_markers(gray[:, :, None], "DICT_4X4_50") == single
    assert markvane.detect_markers(np.repeat(gray[:, :, None], 3, axis=2), "DICT_4X4_50") == single
    # A contiguous gray frame is read in place by the first threshold pass;
    # the others are copied first. Neither may write to the caller's array.
    before = gray.copy()
    for view in _layouts(gray):
        assert markvane.detect_markers(view, "DICT_4X4_50") == single
    np.testing.assert_array_equal(gray, before)


def test_frames_read_in_place_detect_as_copied_ones(scene_bgr):
    # A contiguous gray frame is copied in by the first threshold pass, in
    # row bands; a strided one is copied first. Any size (frames shorter than
    # the bands, narrower than the shared pass takes, wider than a megapixel's
    # worth of rows) and any settings must give the same detections.
    rng = np.random.default_rng(11)
    gray = scene_bgr[:, :, 1]
    tiles = np.tile(gray, (5, 5))
    for trial in range(40):
        h, w = int(rng.integers(1, 700)), int(rng.integers(1, 1500))
        y, x = int(rng.integers(0, tiles.shape[0] - h + 1)), int(rng.integers(0, tiles.shape[1] - w + 1))
        frame = np.ascontiguousarray(tiles[y:y + h, x:x + w])
        p = markvane.DetectorParameters()
        p.min_side_length_canonical_img = int(rng.choice([0, 32]))
        p.adaptive_thresh_win_size_max = int(rng.choice([23, 31, 53]))
        p.adaptive_thresh_win_size_step = int(rng.choice([2, 10]))
        strided = np.zeros((h, 2 * w), np.uint8)[:, ::2]
        strided[:] = frame
        label = f"{h}x{w}, windows up to {p.adaptive_thresh_win_size_max} step {p.adaptive_thresh_win_size_step}"
        assert markvane.detect_markers(frame, "DICT_4X4_50", p) == markvane.detect_markers(strided, "DICT_4X4_50", p), label


def test_random_bad_input_never_crashes():
    rng = random.Random(1234)
    dtypes = [np.uint8, np.int8, np.uint16, np.float32, np.float64, np.bool_, np.int64]
    values = [0, -1, 1, 2**31, -(2**31), 2**63, 0.5, math.nan, math.inf, -0.0, "x", None, True, [], (1,)]
    int_props = [k for k, v in PARAM_DEFAULTS.items() if type(v) is int]
    float_props = [k for k, v in PARAM_DEFAULTS.items() if type(v) is float]
    for _ in range(300):
        ndim = rng.choice([0, 1, 2, 2, 3, 3, 4])
        shape = tuple(rng.choice([0, 1, 2, 3, 4, 7, 33]) for _ in range(ndim))
        if rng.random() < 0.1:
            shape = (1, 200_000) if rng.random() < 0.5 else (200_000, 1)
        arr = np.asarray(np.random.default_rng(rng.randrange(1 << 30)).integers(0, 255, shape),
                         dtype=rng.choice(dtypes))
        if arr.ndim >= 2 and rng.random() < 0.5:
            arr = arr[::-1, ::2]
        p = markvane.DetectorParameters()
        for _ in range(rng.randrange(4)):
            name = rng.choice(int_props + float_props)
            try:
                setattr(p, name, rng.choice(values))
            except (TypeError, ValueError, OverflowError):
                pass
        if rng.random() < 0.2:
            p.adaptive_thresh_win_size_step = 0
        try:
            markvane.detect_markers(arr, rng.choice(["DICT_4X4_50", "6x6_250", "bogus"]), p)
        except (TypeError, ValueError):
            pass
        try:
            markvane._corner_sub_pix(arr, [(rng.uniform(-5, 40), rng.uniform(-5, 40))],
                                     rng.choice([0, 1, 3, 5]), rng.choice([-1, 0, 5, 1000]),
                                     rng.choice([0.1, -1.0, math.nan]))
        except (TypeError, ValueError):
            pass


@pytest.mark.parametrize("shape, win_max, win_step, calls", [
    ((1080 * 3, 1920), 53, 10, 1),
    # Small enough for the first threshold pass to copy the frame in, with the
    # lock held only until it has.
    ((960, 1000), 31, 2, 8),
])
def test_interpreter_lock_is_released_during_detection(shape, win_max, win_step, calls):
    script = textwrap.dedent(f"""
        import threading, time, numpy as np, markvane
        img = np.random.default_rng(0).integers(0, 256, {shape}, dtype=np.uint8)
        p = markvane.DetectorParameters()
        p.min_side_length_canonical_img = 0
        p.adaptive_thresh_win_size_max = {win_max}
        p.adaptive_thresh_win_size_step = {win_step}
        ticks = 0
        done = False
        def spin():
            global ticks
            while not done:
                ticks += 1
                time.sleep(0)
        t = threading.Thread(target=spin); t.start()
        time.sleep(0.05)
        before = ticks
        start = time.perf_counter()
        for _ in range({calls}):
            markvane.detect_markers(img, "DICT_4X4_50", p)
        elapsed = time.perf_counter() - start
        after = ticks
        done = True; t.join()
        print(elapsed, after - before)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    elapsed, progress = out.stdout.split()
    # With the lock held for the whole call the spinning thread would get
    # only the interpreter's switch-interval slices (a handful of ticks).
    assert float(elapsed) > 0.05
    assert int(progress) > 1000


def test_absurd_refinement_window_is_refused(scene_bgr):
    p = markvane.DetectorParameters()
    p.corner_refinement_method = markvane.CORNER_REFINE_SUBPIX
    p.relative_corner_refinement_win_size = 1e9
    p.corner_refinement_win_size = 2**31 - 1
    with pytest.raises(ValueError, match="corner refinement window is too large"):
        markvane.detect_markers(scene_bgr, "DICT_4X4_50", p)
