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

def work(i):
    image = np.random.default_rng(i).integers(0, 256, (240, 320), np.uint8)
    markvane.detect_markers(image, "DICT_4X4_50")
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

if __name__ == "__main__":
    markvane.detect_markers(np.zeros((240, 320), np.uint8), "DICT_4X4_50")  # the parent's pool is running
    os.environ["RAYON_NUM_THREADS"] = "1"
    for method in ("fork", "forkserver", "spawn"):
        with mp.get_context(method).Pool(2) as pool:
            print(method, max(pool.map(work, range(6))))
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
    threads = dict(zip(out[::2], map(int, out[1::2])))
    # Spawned and forkserver workers read RAYON_NUM_THREADS at import: no pool
    # threads beyond the main one (and the interpreter's own few).
    assert threads["spawn"] <= 3 and threads["forkserver"] <= 3, threads
    assert threads["fork"] >= 1
