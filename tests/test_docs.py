"""The README's examples run as written and type-check against the stubs, and
the stubs match the built module."""
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import REPO

STUB = REPO / "python" / "markvane-stubs" / "__init__.pyi"


def readme_examples() -> str:
    blocks = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(), re.S)
    assert len(blocks) >= 4
    return "\n".join(blocks)


def run(args, cwd, **env):
    # Absolute paths: the child runs elsewhere.
    inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    full = dict(os.environ, PYTHONPATH=os.pathsep.join([str(REPO / "python")] + inherited), **env)
    return subprocess.run(args, cwd=cwd, env=full, capture_output=True, text=True, timeout=300)


def test_readme_examples_run(tmp_path):
    script = tmp_path / "readme_examples.py"
    script.write_text(readme_examples())
    result = run([sys.executable, str(script)], tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "board.svg").read_text().startswith("<?xml") or "<svg" in (tmp_path / "board.svg").read_text()


def test_stubs_match_the_built_module():
    result = run([sys.executable, str(REPO / "tools" / "gen_stubs.py"), "--check"], REPO)
    assert result.returncode == 0, result.stderr


def test_stubs_catch_drift(tmp_path):
    # A stale file is reported, not silently accepted.
    stale = tmp_path / "stale.pyi"
    stale.write_text(STUB.read_text().replace("def rodrigues(src", "def rodrigues(source"))
    result = run([sys.executable, str(REPO / "tools" / "gen_stubs.py"), "--check", "--output", str(stale)], REPO)
    assert result.returncode == 1 and "differs from the module" in result.stderr


def test_readme_examples_type_check(tmp_path):
    pytest.importorskip("mypy")
    # mypy finds an installed stub package by itself; from a checkout the stub
    # is put where MYPYPATH points.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "markvane.pyi")
    (tmp_path / "readme_examples.py").write_text(readme_examples())
    result = run([sys.executable, "-m", "mypy", "--no-incremental", "--ignore-missing-imports",
                  "--python-version", "3.11", "readme_examples.py", str(stubs / "markvane.pyi")],
                 tmp_path, MYPYPATH=os.pathsep.join([str(stubs), str(REPO / "python")]))
    assert result.returncode == 0, result.stdout + result.stderr
