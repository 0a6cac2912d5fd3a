"""Shared fixtures and helpers for the test suite."""

from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[1]
# Real photographs live beside the checkout, never inside it.
DATA_DIR = REPO.parent / "shared" / "data"

# Make the pure-Python extras importable from a plain checkout.
if str(REPO / "python") not in sys.path:
    try:
        import markvane_tools  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(REPO / "python"))


HOOKS_OPT_OUT = "MARKVANE_TESTS_WITHOUT_HOOKS"


def pytest_configure(config):
    """Refuse to run against a build that lacks the test hooks.

    Several test files reach internals through `_markvane_testhooks`, which a
    plain `pip install .` leaves out. Without this check they would all be
    skipped and the run would still look green."""
    markvane = importlib.util.find_spec("markvane")
    if markvane is None:
        raise pytest.UsageError("markvane is not importable; build or install it first")
    if os.environ.get(HOOKS_OPT_OUT):
        return
    hooks = importlib.util.find_spec("_markvane_testhooks")
    if hooks is None:
        raise pytest.UsageError(
            "_markvane_testhooks is missing: install with "
            "`MARKVANE_TESTHOOKS=ON pip install '.[test]'` or configure the CMake build "
            f"with -DMARKVANE_TESTHOOKS=ON (set {HOOKS_OPT_OUT}=1 to run without the "
            "tests that need it)")
    if Path(hooks.origin).parent != Path(markvane.origin).parent:
        raise pytest.UsageError(
            f"_markvane_testhooks ({hooks.origin}) was not built with markvane "
            f"({markvane.origin}); rebuild with -DMARKVANE_TESTHOOKS=ON")


def data_path(*parts: str) -> Path:
    """Path inside the shared photo folder; skips the test when it is absent."""
    path = DATA_DIR.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"test data not available: {path}")
    return path


@pytest.fixture
def rng() -> np.random.Generator:
    """A fixed-seed generator, fresh for every test."""
    return np.random.default_rng(20240611)


@pytest.fixture(scope="session")
def data_dir() -> Path:
    if not DATA_DIR.is_dir():
        pytest.skip(f"test data folder not available: {DATA_DIR}")
    return DATA_DIR


def opencv_markers(image, dictionary, **settings):
    """OpenCV's ArucoDetector with the given DetectorParameters attributes;
    corners as a list of 4x2 float64 arrays and ids as a list of ints."""
    import cv2

    p = cv2.aruco.DetectorParameters()
    for name, value in settings.items():
        setattr(p, name, value)
    det = cv2.aruco.ArucoDetector(
        cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary)), p)
    corners, ids, _ = det.detectMarkers(image)
    ids = [] if ids is None else [int(i) for i in ids.ravel()]
    return [np.asarray(c, np.float64).reshape(4, 2) for c in corners], ids


def markvane_markers(image, dictionary, **settings):
    """markvane.detect_markers in the same shape as `opencv_markers`."""
    import markvane

    p = markvane.DetectorParameters()
    for name, value in settings.items():
        setattr(p, name, value)
    corners, ids = markvane.detect_markers(image, dictionary, p)
    return [np.asarray(c, np.float64).reshape(4, 2) for c in corners], list(ids)


def run_python(script: str, env_updates=None) -> str:
    """Runs `script` in a fresh interpreter with the pool's environment
    variables cleared and then set from `env_updates`; returns its stdout.
    The worker pool is configured at import, so thread counts need a process
    of their own."""
    import subprocess

    env = {k: v for k, v in os.environ.items() if k not in ("MARKVANE_CORES", "RAYON_NUM_THREADS")}
    env.update(env_updates or {})
    env["PYTHONPATH"] = os.pathsep.join(
        [str(REPO / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout
