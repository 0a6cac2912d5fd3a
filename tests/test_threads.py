"""Detection results do not depend on the worker pool's size."""
import json
import textwrap

import pytest
from conftest import run_python

SCRIPT = textwrap.dedent("""
    import json, numpy as np, markvane
    from markvane_tools import scenes
    out = []
    for seed, method in [(1, 0), (2, 1), (3, 2)]:
        rng = np.random.default_rng(seed)
        image, _ = scenes.render_scene(rng, size=(800, 600), dictionary="DICT_4X4_50")
        p = markvane.DetectorParameters()
        p.corner_refinement_method = method
        p.adaptive_thresh_win_size_max = 43   # five scales: more tasks than workers
        out.append(markvane.detect_markers(image, "DICT_4X4_50", p))
    print(json.dumps(out))
""")


def _run(env_updates):
    return run_python(SCRIPT, env_updates)


def test_results_identical_for_one_worker_and_the_default_pool():
    pytest.importorskip("cv2")
    default = _run({})
    assert all(ids for _, ids in json.loads(default)), "every scene must yield detections"
    assert _run({"MARKVANE_CORES": "0"}) == default
    assert _run({"RAYON_NUM_THREADS": "1"}) == default
    assert _run({"MARKVANE_CORES": "all", "RAYON_NUM_THREADS": "4"}) == default
