"""The `markvane` command: records equal to detect_markers for every kind of
input, unreadable files named and skipped, the progress bar kept to
terminals, and generated targets that detect back."""

import csv
import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
from pathlib import Path

import numpy as np
import pytest

markvane = pytest.importorskip("markvane")
cv2 = pytest.importorskip("cv2")

from conftest import REPO, data_path  # noqa: E402
from markvane_tools import cli  # noqa: E402
from markvane_tools.cli import main  # noqa: E402


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def records(text):
    return [json.loads(line) for line in text.splitlines()]


def expected(image, dictionary, **settings):
    p = markvane.DetectorParameters()
    for name, value in settings.items():
        setattr(p, name, value)
    return markvane.detect_markers(image, dictionary, p)


def marker_scene(ids, colour=False, small=None):
    """A white 240x320 frame with 4x4 markers of the given ids in a row, and
    one under the default size limit when `small` names its id."""
    d = cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50)
    image = np.full((240, 320), 255, np.uint8)
    for k, i in enumerate(ids):
        image[60:140, 20 + 100 * k:100 + 100 * k] = cv2.aruco.generateImageMarker(d, i, 80)
    if small is not None:
        image[180:204, 40:64] = cv2.aruco.generateImageMarker(d, small, 24)
    return cv2.cvtColor(image, cv2.COLOR_GRAY2BGR) if colour else image


@pytest.fixture
def inputs(tmp_path):
    """in/1.png, in/2.png (gray), in/10.png (garbage, between them in natural
    order), in/sub/3.png (colour), in/notes.txt (not an image)."""
    root = tmp_path / "in"
    (root / "sub").mkdir(parents=True)
    images = {"1.png": marker_scene([1]), "2.png": marker_scene([2, 7], small=30), "sub/3.png": marker_scene([3], True)}
    for name, image in images.items():
        assert cv2.imwrite(str(root / name), image)
    (root / "10.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"not really" * 20)
    (root / "notes.txt").write_text("ignored")
    return root, {str(root / k): v for k, v in images.items()}


def test_photo_folder_gives_detect_markers_results_with_the_chosen_settings(capsys):
    folder = data_path("aruco-gridboard-6x6")
    files = sorted(folder.glob("*.jpg"), key=lambda p: int(p.stem))
    for flags, settings in [([], {}),
                            (["--refine", "subpix", "--min-side", "0", "--batch", "5"],
                             dict(corner_refinement_method=markvane.CORNER_REFINE_SUBPIX,
                                  min_side_length_canonical_img=0))]:
        code, out, err = run(capsys, "detect", folder, "-d", "6x6_50", "--no-progress", *flags)
        assert code == 0 and err == ""
        got = records(out)
        assert [r["path"] for r in got] == [str(f) for f in files]
        for r, f in zip(got, files):
            image = cv2.imread(str(f), cv2.IMREAD_UNCHANGED)
            assert image.ndim == 3 and (r["height"], r["width"], r["frame"]) == (*image.shape[:2], None)
            assert (r["corners"], r["ids"]) == expected(image, "DICT_6X6_50", **settings)
        assert sum(len(r["ids"]) for r in got) > 500


def test_folders_patterns_and_unreadable_files(inputs, capsys):
    root, images = inputs
    bad = str(root / "10.png")

    code, out, err = run(capsys, "detect", root, root / "missing.jpg", "--no-progress")
    got = records(out)
    # Subfolders are left out without --recursive; natural order puts 2 before 10.
    assert [r["path"] for r in got] == [str(root / "1.png"), str(root / "2.png")]
    for r in got:
        assert (r["corners"], r["ids"]) == expected(images[r["path"]], "DICT_4X4_50")
    assert sorted(got[1]["ids"]) == [2, 7]  # not the small 30
    assert code == 1 and f"{bad}: not a readable image" in err and "missing.jpg: no such file" in err

    code, out, err = run(capsys, "detect", "-r", root, "--no-progress")
    assert code == 1 and [r["path"] for r in records(out)] == sorted(images)
    colour = records(out)[2]
    assert colour["ids"] == [3] and (colour["corners"], colour["ids"]) == expected(images[colour["path"]], "4x4_50")

    # A quoted pattern is expanded by the command itself, ** at any depth.
    code, out, err = run(capsys, "detect", f"{root}/**/[0-9].png", f"{root}/*.gif", "--no-progress")
    assert [r["path"] for r in records(out)] == sorted(images)
    assert code == 1 and bad not in err and "*.gif: no files match" in err

    code, out, err = run(capsys, "detect", root / "1.png", "--no-progress")
    assert code == 0 and err == ""

    # The AprilTag flags reach the detector settings.
    args = cli.build_parser().parse_args(["detect", str(root), "--refine", "apriltag", "--decimate", "2",
                                          "--refit", "--april-refine-edges"])
    p = markvane.DetectorParameters()
    p.corner_refinement_method, p.april_tag_quad_decimate = markvane.CORNER_REFINE_APRILTAG, 2.0
    p.april_tag_refine_full_resolution = p.april_tag_refine_edges = True
    assert cli._detector_parameters(markvane, args) == p


def test_video_frames_and_csv_rows(inputs, tmp_path, capsys):
    root, images = inputs
    clip = tmp_path / "clip.avi"
    writer = cv2.VideoWriter(str(clip), cv2.VideoWriter_fourcc(*"MJPG"), 10, (320, 240))
    if not writer.isOpened():
        pytest.skip("this OpenCV build cannot write MJPG video")
    for i in range(3):
        writer.write(marker_scene([i, 20 + i], True))
    writer.release()
    cap, frames = cv2.VideoCapture(str(clip)), []
    while (frame := cap.read())[0]:
        frames.append(frame[1])
    assert len(frames) == 3

    table = tmp_path / "out.csv"
    code, out, err = run(capsys, "detect", clip, root / "2.png", "--format", "csv", "--output", table, "--batch", 2)
    assert code == 0 and out == "" and err == ""
    with open(table, newline="") as f:
        rows = list(csv.DictReader(f))
    def rows_of(path, frame, image):
        corners, ids = expected(image, "DICT_4X4_50")
        return [(str(path), frame, i, c) for i, c in zip(ids, corners)]

    want = [row for k, frame in enumerate(frames) for row in rows_of(clip, str(k), frame)]
    want += rows_of(root / "2.png", "", images[str(root / "2.png")])
    assert len(want) == 8
    got = [(r["path"], r["frame"], int(r["id"]), [[float(r[f"x{k}"]), float(r[f"y{k}"])] for k in range(4)])
           for r in rows]
    assert got == want

    code, out, _ = run(capsys, "detect", clip, "--no-progress")
    assert [(r["frame"], r["ids"]) for r in records(out)] == [(k, expected(f, "DICT_4X4_50")[1])
                                                             for k, f in enumerate(frames)]


def run_with_stderr_on_terminal(args, delay):
    """Runs the command with stdout piped and stderr on an 80-column pseudo
    terminal; returns (exit code, stdout, what the terminal showed)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    script = (f"import sys, markvane_tools.cli as c; c.PROGRESS_DELAY = {delay}; "
              f"sys.exit(c.main({[str(a) for a in args]!r}))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(REPO / "python"), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=slave, env=env)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    out = proc.stdout.read().decode()
    proc.stdout.close()
    return proc.wait(), out, shown.decode()


def test_progress_bar_only_on_a_terminal_and_only_for_longer_runs(inputs, capsys, monkeypatch):
    pytest.importorskip("tqdm")
    root, _ = inputs
    args = ["detect", "-r", root]
    monkeypatch.setattr(cli, "PROGRESS_DELAY", 0)
    code, out, err = run(capsys, *args)  # stderr is not a terminal here
    assert code == 1 and "frame" not in err and "\r" not in err

    code, tty_out, shown = run_with_stderr_on_terminal(args, delay=0)
    assert code == 1 and tty_out == out
    assert "4/4" in shown and "frame/s" in shown and "WARN" not in shown
    assert "10.png: not a readable image" in shown

    # A run shorter than the delay leaves the terminal with the messages alone.
    code, tty_out, shown = run_with_stderr_on_terminal(args, delay=30)
    assert tty_out == out and "frame" not in shown and "10.png: not a readable image" in shown


def test_annotated_images_mirror_the_inputs(inputs, tmp_path, capsys):
    pytest.importorskip("markvane_tools.draw")
    root, images = inputs
    out_dir = tmp_path / "drawn"
    code, out, err = run(capsys, "detect", "-r", root, root / "1.png", "--annotate", out_dir, "--no-progress")
    assert code == 1
    written = sorted(str(p.relative_to(out_dir)) for p in out_dir.rglob("*.png"))
    # The same file named twice is read once; sub/3.png keeps its folder.
    assert written == ["1.png", "2.png", "sub/3.png"]
    drawn = cv2.imread(str(out_dir / "2.png"), cv2.IMREAD_UNCHANGED)
    assert drawn.shape == (240, 320, 3)
    assert np.count_nonzero((drawn == (0, 255, 0)).all(axis=2)) > 100  # green outlines


@pytest.mark.parametrize("suffix", ["png", "svg"])
def test_generated_targets_detect_back(tmp_path, capsys, suffix):
    pytest.importorskip("markvane_tools.targets")
    if suffix == "svg":
        resvg_py = pytest.importorskip("resvg_py")

    def image(path):
        if suffix == "png":
            return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
        png = resvg_py.svg_to_bytes(svg_string=path.read_text(), dpi=150, background="#ffffff")
        return cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_GRAYSCALE)

    jobs = [(["marker", tmp_path / f"m_{{id}}.{suffix}", "--id", "3,8-9", "-d", "5x5_100"], "DICT_5X5_100",
             {f"m_{i}.{suffix}": [i] for i in (3, 8, 9)}),
            (["gridboard", tmp_path / f"g.{suffix}", "--markers", 3, 2, "--first-id", 10], "DICT_4X4_50",
             {f"g.{suffix}": list(range(10, 16))}),
            (["charuco", tmp_path / f"c.{suffix}", "--squares", 4, 3, "--ids", "5-10", "-d", "apriltag_36h11"],
             "DICT_APRILTAG_36h11", {f"c.{suffix}": list(range(5, 11))})]
    for argv, dictionary, files in jobs:
        code, out, err = run(capsys, "generate", *argv)
        assert code == 0 and err == ""
        assert sorted(Path(line).name for line in out.split()) == sorted(files)
        for name, ids in files.items():
            assert sorted(markvane.detect_markers(image(tmp_path / name), dictionary)[1]) == ids, name


def test_usage_errors_and_the_other_commands(tmp_path, capsys, monkeypatch):
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "cv2", None)  # as if OpenCV were not installed
        code, out, err = run(capsys, "detect", tmp_path)
    assert code == 2 and out == "" and "pip install 'markvane[cli]'" in err
    code, _, err = run(capsys, "detect", tmp_path, "-d", "DICT_9X9_1")
    assert code == 2 and "unknown dictionary 'DICT_9X9_1'" in err and "DICT_APRILTAG_36h11" in err
    code, _, err = run(capsys, "generate", "marker", tmp_path / "m.jpg")
    assert code == 2 and ".png" in err and not (tmp_path / "m.jpg").exists()
    with pytest.raises(SystemExit):
        main(["detect", "x.png", "--min-side", "-1"])
    assert "must not be negative" in capsys.readouterr().err

    code, out, _ = run(capsys, "demo", "--runs", "1", "--markers", "3")
    assert code == 0 and "found 3 of 3 markers" in out
    result = subprocess.run([sys.executable, "-m", "markvane_tools.cli", "--version"], capture_output=True,
                            text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                                [str(REPO / "python"), os.environ.get("PYTHONPATH", "")])))
    assert result.returncode == 0 and result.stdout.startswith("markvane ")


def test_local_processes_give_the_serial_output(inputs, tmp_path, capsys, monkeypatch):
    root, images = inputs
    # Spawned workers import markvane and the tools from wherever this
    # process found them.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [str(Path(markvane.__file__).parent), str(REPO / "python")] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    serial = run(capsys, "detect", "-r", root, "--no-progress", "--format", "csv")
    annotated = tmp_path / "annotated"
    parallel = run(capsys, "detect", "-r", root, "--no-progress", "--format", "csv", "--jobs", "2",
                   "--annotate", annotated)
    assert parallel == serial and serial[0] == 1 and "10.png: not a readable image" in serial[2]
    assert sorted(p.name for p in annotated.rglob("*.png")) == ["1.png", "2.png", "3.png"]
