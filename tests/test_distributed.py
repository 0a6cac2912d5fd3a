"""Detection on a (local) Dask cluster equals a serial run, file by file."""
import json
import os
from pathlib import Path

import numpy as np
import pytest

import markvane

cv2 = pytest.importorskip("cv2")
distributed = pytest.importorskip("distributed")

from conftest import REPO  # noqa: E402
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


@pytest.mark.filterwarnings("ignore")
def test_cluster_results_equal_a_serial_run(cluster, files):
    p = markvane.DetectorParameters()
    p.corner_refinement_method = 1
    with distributed.Client(cluster) as client:
        results = detect_files(client, files, "DICT_4X4_50", p)
    assert [r.path for r in results] == files
    for r in results:
        if r.path.endswith("broken.png"):
            assert r.frames == [] and "not a readable image" in r.error
            continue
        image = cv2.imread(r.path, cv2.IMREAD_UNCHANGED)
        assert r.error is None and r.frames == [(None, *markvane.detect_markers(image, "DICT_4X4_50", p))]


@pytest.mark.filterwarnings("ignore")
def test_command_line_on_the_cluster(cluster, files, capsys):
    serial = cli.main(["detect", *files, "--no-progress"]), capsys.readouterr()
    on_cluster = cli.main(["detect", *files, "--no-progress", "--dask-scheduler", cluster.scheduler_address]), \
        capsys.readouterr()
    assert on_cluster[0] == serial[0] == 1
    assert on_cluster[1].out == serial[1].out and len(serial[1].out.splitlines()) == 5
    assert "broken.png: not a readable image" in on_cluster[1].err
    assert [json.loads(line)["ids"] for line in serial[1].out.splitlines()] == [[0], [1], [2], [3], [4]]


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
