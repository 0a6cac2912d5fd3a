"""Detection on a (local) Dask cluster equals a serial run, file by file and
frame by frame: on generated files, on the shared photographs, on a video
cut into segments (also when seeking or the frame count misleads), and with a
worker killed in the middle of a run."""
import json
import os
import shutil
import signal
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import markvane

cv2 = pytest.importorskip("cv2")
distributed = pytest.importorskip("distributed")

from conftest import DATA_DIR, REPO  # noqa: E402
from markvane_tools import cli  # noqa: E402
from markvane_tools.distributed import detect_files  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    # Workers are separate processes: they import markvane from where this
    # process did, and run one detection thread each.
    path = os.pathsep.join([str(Path(markvane.__file__).parent), str(REPO / "python")]
                           + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    old = {k: os.environ.get(k) for k in ("PYTHONPATH", "RAYON_NUM_THREADS")}
    os.environ.update(PYTHONPATH=path, RAYON_NUM_THREADS="1")
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as c:
            yield c
    finally:
        for k, v in old.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


@pytest.fixture
def files(tmp_path):
    d = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    paths = []
    for k in range(5):
        image = np.full((300, 400), 255, np.uint8)
        image[50:150, 40 + 60 * k:140 + 60 * k] = cv2.aruco.generateImageMarker(d, k, 100)
        path = tmp_path / f"{k}.png"
        cv2.imwrite(str(path), image)
        paths.append(str(path))
    bad = tmp_path / "broken.png"
    bad.write_bytes(b"not an image")
    return paths[:2] + [str(bad)] + paths[2:]


def write_video(path, frames=60):
    """An MJPG clip whose frames all differ (noise), with a marker in two of
    every three; None where this OpenCV cannot write one."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25, (320, 240))
    if not writer.isOpened():
        return None
    d = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    rng = np.random.default_rng(5)
    for k in range(frames):
        image = rng.integers(215, 256, (240, 320, 3), np.uint8)
        if k % 3:
            x, y = 20 + 3 * k, 30 + k
            image[y:y + 100, x:x + 100] = cv2.aruco.generateImageMarker(d, k % 50, 100)[..., None]
        writer.write(image)
    writer.release()
    return path


@pytest.fixture(scope="module")
def video(tmp_path_factory):
    path = write_video(tmp_path_factory.mktemp("video") / "clip.avi")
    if path is None:
        pytest.skip("this OpenCV build cannot write MJPG video")
    return str(path)


def sequential(path, dictionary="DICT_4X4_50", parameters=None):
    """(frame, corners, ids) of every frame of a video read in order."""
    cap = cv2.VideoCapture(path)
    out = []
    while True:
        ok, image = cap.read()
        if not ok:
            return out
        out.append((len(out), *markvane.detect_markers(image, dictionary, parameters)))


def serial(path, dictionary="DICT_4X4_50", parameters=None):
    return [(None, *markvane.detect_markers(cv2.imread(path, cv2.IMREAD_ANYCOLOR), dictionary, parameters))]


def tasks_run(stream) -> int:
    return sum(str(t["key"]).startswith("_detect_task") for t in stream.data)


@pytest.mark.filterwarnings("ignore")
def test_cluster_results_equal_a_serial_run(cluster, files, video, tmp_path):
    p = markvane.DetectorParameters()
    p.corner_refinement_method = 1
    broken_video = tmp_path / "broken.avi"
    broken_video.write_bytes(b"RIFF" + bytes(200))
    paths = files + [video, str(broken_video)]
    with distributed.Client(cluster) as client:
        results = detect_files(client, paths, "DICT_4X4_50", p, segment_frames=16)
    assert [r.path for r in results] == paths
    # Unreadable files are reported by name and reason, and nothing else is lost.
    errors = {Path(r.path).name: r.error for r in results if r.error}
    assert errors.keys() == {"broken.png", "broken.avi"}
    assert "not a readable image" in errors["broken.png"] and "cannot open the video" in errors["broken.avi"]
    for r in results:
        if r.error is None:
            assert r.frames == (sequential(r.path, parameters=p) if r.path == video else serial(r.path, parameters=p))
    assert sum(len(ids) for r in results for _, _, ids in r.frames) == 5 + 40


@pytest.mark.filterwarnings("ignore")
def test_a_task_that_raises_is_retried_then_reported_per_file(cluster, files, video):
    p = markvane.DetectorParameters()
    p.adaptive_thresh_win_size_step = 0  # accepted here, refused when detecting
    paths = files[:2] + [video]

    def failures(client):
        return sum("Compute Failed" in line for log in client.get_worker_logs().values() for _, line in log)

    with distributed.Client(cluster) as client:
        before = failures(client)
        results = detect_files(client, paths, "DICT_4X4_50", p, segment_frames=30, retries=2)
        failed = failures(client) - before
    assert [r.path for r in results] == paths and all(r.frames == [] for r in results)
    reason = "failed on the cluster: ValueError: adaptive_thresh_win_size_step must not be 0"
    assert [r.error for r in results[:2]] == [reason] * 2
    assert results[2].error == f"frames 0 to 29 {reason}; frames 30 to the end {reason}"
    assert failed == 3 * 4  # each of the four tasks, three times


# Folder, dictionary and settings for each set of shared photographs.
PHOTO_SETS = [
    ("aruco-gridboard-6x6", "DICT_6X6_50", {}),
    ("aruco-4x4-sheet", "DICT_4X4_50", {"corner_refinement_method": 1}),
    ("charuco-5x7-4x4", "DICT_4X4_50", {}),
    ("charuco-3x3-pair-5x5", "DICT_5X5_100", {"corner_refinement_method": 2}),
    ("apriltag-photos", "DICT_APRILTAG_36h11", {"corner_refinement_method": 3}),
    ("apriltag-36h11-mixed", "DICT_APRILTAG_36h11", {"min_side_length_canonical_img": 0}),
    ("chessboard-9x6", "DICT_4X4_50", {}),
    ("chessboard-7x7", "DICT_4X4_50", {}),
]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("folder, dictionary, settings", PHOTO_SETS, ids=[s[0] for s in PHOTO_SETS])
def test_shared_photos_on_the_cluster_equal_a_serial_run(cluster, folder, dictionary, settings):
    if not (DATA_DIR / folder).is_dir():
        pytest.skip(f"test data not available: {DATA_DIR / folder}")
    paths = sorted(str(p) for p in (DATA_DIR / folder).iterdir() if p.suffix.lower() in cli.IMAGE_SUFFIXES)
    p = markvane.DetectorParameters()
    for name, value in settings.items():
        setattr(p, name, value)
    with distributed.Client(cluster) as client:
        results = detect_files(client, paths, dictionary, p)
    assert [r.path for r in results] == paths and all(r.error is None for r in results)
    # Bit for bit, file by file: workers run one detection thread, this process several.
    assert [r.frames for r in results] == [serial(path, dictionary, p) for path in paths]


@pytest.mark.filterwarnings("ignore")
def test_command_line_on_the_cluster(cluster, files, video, capsys, tmp_path):
    here = cli.main(["detect", *files, video, "--no-progress", "--annotate", str(tmp_path / "here")]), \
        capsys.readouterr()
    on_cluster = cli.main(["detect", *files, video, "--no-progress", "--dask-scheduler", cluster.scheduler_address,
                           "--segment-frames", "7", "--annotate", str(tmp_path / "cluster")]), capsys.readouterr()
    assert on_cluster[0] == here[0] == 1
    # The workers annotate every frame of every segment under its own number.
    drawn = {k: {p.relative_to(tmp_path / k): p.read_bytes() for p in (tmp_path / k).rglob("*.png")}
             for k in ("here", "cluster")}
    assert len(drawn["here"]) == 5 + 60 and drawn["cluster"] == drawn["here"]
    assert on_cluster[1].out == here[1].out and len(here[1].out.splitlines()) == 5 + 60
    assert "broken.png: not a readable image" in on_cluster[1].err
    records = [json.loads(line) for line in here[1].out.splitlines()]
    assert [r["ids"] for r in records[:5]] == [[0], [1], [2], [3], [4]]
    assert [r["frame"] for r in records[5:]] == list(range(60))


# Code run in the workers to make their VideoCapture mislead: seeks that land
# one frame late or are refused, frame counts unknown, too low or too high.
CAPTURE_PATCH = """
import cv2
real = cv2.__dict__.setdefault("_real_video_capture", cv2.VideoCapture)

class Capture:  # a wrapper: a subclass of OpenCV's class crashes the interpreter at exit
    def __init__(self, *args):
        self.real = real(*args)

    def __getattr__(self, name):
        return getattr(self.real, name)

    def set(self, prop, value):
        if prop == cv2.CAP_PROP_POS_FRAMES and value > 0:
            if {late!r}:
                value += 1
            if {refuse!r}:
                return False
        return self.real.set(prop, value)

    def get(self, prop):
        n = self.real.get(prop)
        return n * {count!r} if prop == cv2.CAP_PROP_FRAME_COUNT else n

cv2.VideoCapture = Capture
"""
CAPTURE_RESTORE = "import cv2; cv2.VideoCapture = cv2.__dict__.get('_real_video_capture', cv2.VideoCapture)"

# 60 frames in segments of 7: 9 tasks; a seek that misses runs the 8 after
# the first again; an unknown count gives one task, a third of it 3 tasks,
# three times it 26 (the last 17 find nothing).
CAPTURES = {
    "honest": (dict(late=False, refuse=False, count=1), 9),
    "seek lands late": (dict(late=True, refuse=False, count=1), 17),
    "seek refused": (dict(late=False, refuse=True, count=1), 17),
    "count unknown": (dict(late=False, refuse=False, count=0), 1),
    "count too low": (dict(late=False, refuse=False, count=1 / 3), 3),
    "count too high": (dict(late=False, refuse=False, count=3), 26),
}


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("capture", CAPTURES)
def test_video_segments_equal_a_sequential_read(cluster, video, capture):
    patch, tasks = CAPTURES[capture]
    p = markvane.DetectorParameters()
    p.corner_refinement_method = 2
    expected = sequential(video, parameters=p)
    assert len(expected) == 60 and sum(len(ids) for _, _, ids in expected) == 40
    with distributed.Client(cluster) as client:
        client.run(exec, CAPTURE_PATCH.format(**patch), {})
        try:
            with distributed.get_task_stream(client) as stream:
                (result,) = detect_files(client, [video], "DICT_4X4_50", p, segment_frames=7)
        finally:
            client.run(exec, CAPTURE_RESTORE, {})
    assert result.error is None and result.frames == expected
    assert tasks_run(stream) == tasks


@pytest.mark.filterwarnings("ignore")
def test_a_worker_killed_mid_run_loses_no_file(cluster, tmp_path):
    from markvane_tools import scenes
    # Three large scenes, written 16 times each, with settings that make each
    # file take a while: the run lasts long enough to kill a worker in it.
    images = [scenes.render_scene(np.random.default_rng(k), size=(1600, 1200), n_markers=10, clutter=20)[0]
              for k in range(3)]
    p = markvane.DetectorParameters()
    p.adaptive_thresh_win_size_max, p.adaptive_thresh_win_size_step, p.min_side_length_canonical_img = 63, 2, 0
    expected = [[(None, *markvane.detect_markers(image, "DICT_4X4_50", p))] for image in images]
    originals = [tmp_path / f"scene{k}.png" for k in range(3)]
    for path, image in zip(originals, images):
        cv2.imwrite(str(path), image)
    paths = []
    for n in range(48):
        paths.append(str(tmp_path / f"{n:02d}.png"))
        shutil.copyfile(originals[n % 3], paths[-1])

    def finished(dask_scheduler):
        return sum(str(key).startswith("_detect_task") and ts.state in ("memory", "released", "forgotten")
                   for key, ts in dask_scheduler.tasks.items())

    with distributed.Client(cluster) as client:
        with ThreadPoolExecutor(1) as pool:
            run = pool.submit(detect_files, client, paths, "DICT_4X4_50", p)
            deadline = time.monotonic() + 60
            busy = []
            while not (busy and client.run_on_scheduler(finished) >= 6) and time.monotonic() < deadline:
                time.sleep(0.02)
                busy = [w for w, keys in client.processing().items() if keys]
            pids = client.run(os.getpid, workers=busy[:1])
            # Counted before the kill: results held by the killed worker are
            # lost with it and no longer count as finished afterwards.
            done_when_killed = client.run_on_scheduler(finished)
            os.kill(pids[busy[0]], signal.SIGKILL)
            results = run.result(timeout=120)
        client.wait_for_workers(2, timeout=60)  # the nanny has started a new one
        assert busy[0] not in client.scheduler_info()["workers"]
    assert 6 <= done_when_killed < len(paths)
    assert [r.path for r in results] == paths and all(r.error is None for r in results)
    assert [r.frames for r in results] == [expected[n % 3] for n in range(48)]


FORK_SCRIPT = r"""
import multiprocessing as mp, os, sys, numpy as np, markvane
from markvane_tools import scenes

def frame(i):
    return scenes.render_scene(np.random.default_rng(i), size=(320, 240), n_markers=4, marker_px=(40, 70),
                               use_cv2=False)[0]

def work(i):
    found = markvane.detect_markers(frame(i), "DICT_4X4_50")
    with open("/proc/self/status") as f:
        threads = next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
    return found, threads

if __name__ == "__main__":
    serial = [markvane.detect_markers(frame(i), "DICT_4X4_50") for i in range(6)]  # the parent's pool is running
    assert sum(len(ids) for _, ids in serial) > 0
    os.environ["RAYON_NUM_THREADS"] = "1"
    for method in ("fork", "forkserver", "spawn"):
        with mp.get_context(method).Pool(2) as pool:
            out = pool.map(work, range(6))
        print(method, max(t for _, t in out), int([r for r, _ in out] == serial))
"""


def test_worker_processes_neither_hang_nor_multiply_threads(tmp_path):
    import subprocess
    import sys
    # A file, not -c: spawned workers import the main module to find `work`.
    script = tmp_path / "pools.py"
    script.write_text(FORK_SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(markvane.__file__).parent), str(REPO / "python")]))
    env.pop("RAYON_NUM_THREADS", None)
    out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True,
                         timeout=120, check=True).stdout.split()
    rows = {out[k]: (int(out[k + 1]), out[k + 2]) for k in range(0, len(out), 3)}
    # Every start method gives the serial results.
    assert all(same == "1" for _, same in rows.values()), rows
    # Spawned and forkserver workers read RAYON_NUM_THREADS at import: no pool
    # threads beyond the main one (and the interpreter's own few).
    assert rows["spawn"][0] <= 3 and rows["forkserver"][0] <= 3, rows
