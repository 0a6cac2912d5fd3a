"""The `markvane` command: detect markers in images and videos, and make
printable targets.

    markvane detect photos/ --dictionary DICT_6X6_50 > found.jsonl
    markvane detect 'shots/**/*.jpg' clip.mp4 --format csv --output found.csv
    markvane generate marker marker.svg --id 7 --size 50
    markvane calibrate --charuco 7x5 --square 30 --marker 22 -d DICT_4X4_50 photos/*.jpg
    markvane demo

Run `markvane COMMAND --help` for the options of each command. Reading images
and videos needs OpenCV and the progress bar needs tqdm; both come with
`pip install 'markvane[cli]'`.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import glob
import json
import math
import os
import re
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path, PurePath

import numpy as np

PROG = "markvane"
INSTALL_HINT = "pip install 'markvane[cli]'"

# Seconds before the progress bar first appears: short runs stay silent.
PROGRESS_DELAY = 1.5

# Frames handed to one detect_markers_batch call, and a cap on their pixels so
# a folder of phone photos does not hold gigabytes at once.
BATCH_FRAMES = 8
BATCH_PIXELS = 40_000_000

# Video frames per task on a Dask cluster (markvane_tools.distributed):
# enough that opening the video and seeking cost little beside detection, few
# enough that a video of a few minutes spreads over a cluster.
SEGMENT_FRAMES = 256

# Files a folder contributes; a file named on the command line is always tried.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .bmp .dib .tif .tiff .webp .pbm .pgm .ppm .pnm .jp2".split())
VIDEO_SUFFIXES = frozenset(
    ".mp4 .m4v .mov .avi .mkv .webm .mpg .mpeg .wmv .flv .ts .mts .m2ts .3gp .ogv".split())

REFINE_METHODS = ("none", "subpix", "contour", "apriltag")

EXIT_OK, EXIT_INPUT_ERRORS, EXIT_USAGE = 0, 1, 2


class CliError(Exception):
    """A problem that stops the command before it does any work (exit 2)."""


# ---- shared helpers ------------------------------------------------------------

def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("markvane")
    except metadata.PackageNotFoundError:
        return "unknown (not installed as a package)"


def _import_cv2(purpose: str):
    # FFmpeg's log level is read when OpenCV opens its first video; see
    # _opencv_silenced for why it is turned off.
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    try:
        import cv2
    except ImportError:
        raise CliError(f"{purpose} needs OpenCV's Python package: {INSTALL_HINT} "
                       "(or pip install opencv-python-headless)") from None
    return cv2


@contextlib.contextmanager
def _opencv_silenced(cv2):
    """The command names every file it cannot read; OpenCV's own log lines
    about the same files would only repeat that less clearly. The level is
    put back for a caller that runs main() in its own process."""
    logging = getattr(getattr(cv2, "utils", None), "logging", None)
    if logging is None or not hasattr(logging, "setLogLevel"):  # pragma: no cover - older builds
        yield
        return
    before = logging.getLogLevel()
    logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    try:
        yield
    finally:
        logging.setLogLevel(before)


def _import_markvane():
    try:
        import markvane
    except ImportError as exc:
        raise CliError(f"the markvane extension module is not importable: {exc}") from None
    return markvane


def _import_tool(name: str):
    """markvane_tools.<name>, which a trimmed installation may lack."""
    import importlib

    try:
        return importlib.import_module(f"markvane_tools.{name}")
    except ImportError as exc:
        raise CliError(f"markvane_tools.{name} is not available ({exc}); reinstall markvane") from None


def _dictionary(name: str) -> str:
    """The canonical name for a dictionary given in any case, DICT_ optional."""
    markvane = _import_markvane()
    names = markvane.predefined_dictionaries()
    key = name.strip().upper()
    for canonical in names:
        if key in (canonical.upper(), canonical.upper().removeprefix("DICT_")):
            return canonical
    raise CliError(f"unknown dictionary {name!r}; choose one of: {', '.join(names)}")


def _natural_key(path: str):
    # "frame2" before "frame10", as a file browser lists them.
    return [(0, int(part), "") if part.isdigit() else (1, 0, part.lower())
            for part in re.split(r"(\d+)", path)]


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _nonnegative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def _nonnegative_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number of at least 0, not {text}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text}")
    return value


# ---- inputs --------------------------------------------------------------------

@dataclass(frozen=True)
class Source:
    path: str            # as it appears in the output
    video: bool
    annotate_name: PurePath  # where its annotated image(s) go under --annotate


@dataclass
class Frame:
    source: Source
    index: int | None    # frame number in a video, None for a still image
    image: np.ndarray


@dataclass
class Failure:
    path: str
    message: str
    image: bool = True  # a still image, one step of the progress bar


def _listed(folder: Path, recursive: bool) -> list[Path]:
    """The images and videos in a folder, hidden entries left out."""
    found = []
    if recursive:
        for root, dirs, files in os.walk(folder):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            found += [Path(root, f) for f in files if not f.startswith(".")]
    else:
        found = [p for p in folder.iterdir() if not p.name.startswith(".") and not p.is_dir()]
    wanted = IMAGE_SUFFIXES | VIDEO_SUFFIXES
    return sorted((p for p in found if p.suffix.lower() in wanted), key=lambda p: _natural_key(str(p)))


def expand_inputs(args: list[str], recursive: bool) -> tuple[list[Source], list[Failure]]:
    """Files, folders and glob patterns into the sources to read, in order.

    Patterns are expanded here so that a quoted '*.jpg' works too, and so
    that a folder of many thousands of files does not hit the shell's
    argument limit; `**` matches any depth. A folder contributes its image
    and video files (with `recursive`, those of its subfolders too)."""
    sources: list[Source] = []
    failures: list[Failure] = []
    used: set[PurePath] = set()
    seen: set[str] = set()

    def add(path: Path, name: PurePath) -> None:
        key = os.path.realpath(path)
        if key in seen:
            return
        seen.add(key)
        video = path.suffix.lower() in VIDEO_SUFFIXES
        name = name.with_suffix("") if video else name.with_suffix(".png")
        # Inputs from different folders may share a name: number the later ones.
        unique, n = name, 1
        while unique in used:
            n += 1
            unique = name.with_name(f"{name.name}-{n}")
        used.add(unique)
        sources.append(Source(str(path), video, unique))

    def add_folder(folder: Path, what: str) -> None:
        files = _listed(folder, recursive)
        for f in files:
            add(f, PurePath(f.relative_to(folder)))
        if not files:
            hint = "" if recursive else " (add --recursive to look in its subfolders)"
            failures.append(Failure(what, f"no images or videos found{hint}"))

    for arg in args:
        path = Path(os.path.expanduser(arg))
        if path.is_dir():
            add_folder(path, arg)
        elif path.exists():
            add(path, PurePath(path.name))
        elif re.search(r"[*?[]", arg):
            matches = sorted(glob.glob(os.path.expanduser(arg), recursive=True), key=_natural_key)
            if not matches:
                failures.append(Failure(arg, "no files match this pattern"))
            for m in matches:
                p = Path(m)
                if p.is_dir():
                    add_folder(p, m)
                else:
                    add(p, PurePath(p.name))
        else:
            failures.append(Failure(arg, "no such file or folder"))
    return sources, failures


def _read_image(cv2, path: str) -> np.ndarray | str:
    """The image as stored (gray stays gray, colour comes as BGR, alpha is
    dropped, 16-bit is scaled to 8), or the reason it cannot be read."""
    try:
        data = np.fromfile(path, dtype=np.uint8)
    except OSError as exc:
        return f"cannot read the file: {exc.strerror or exc}"
    if data.size == 0:
        return "empty file"
    try:
        image = cv2.imdecode(data, cv2.IMREAD_ANYCOLOR)
    except cv2.error:
        image = None
    if image is None or image.ndim not in (2, 3) or (image.ndim == 3 and image.shape[2] != 3):
        return "not a readable image (corrupt, or a format OpenCV cannot decode)"
    return np.ascontiguousarray(image)


def _open_video(cv2, path: str):
    """An opened capture, or the Failure that reports why it is not one."""
    cap = cv2.VideoCapture(path)
    if not cap.isOpened():
        return Failure(path, "cannot open the video (corrupt, or a format this OpenCV build "
                             "cannot decode)", image=False)
    return cap


def _frames(cv2, sources: list[Source]):
    """Frames and failures in input order."""
    for src in sources:
        if not src.video:
            image = _read_image(cv2, src.path)
            yield Failure(src.path, image) if isinstance(image, str) else Frame(src, None, image)
            continue
        cap = _open_video(cv2, src.path)
        if isinstance(cap, Failure):
            yield cap
            continue
        count = 0
        try:
            while True:
                ok, image = cap.read()
                if not ok:
                    break
                yield Frame(src, count, np.ascontiguousarray(image))
                count += 1
        finally:
            cap.release()
        if count == 0:
            yield Failure(src.path, "no frame of the video could be decoded", image=False)


def _chunks(items, frames: int, pixels: int):
    chunk, size, n = [], 0, 0
    for item in items:
        chunk.append(item)
        if isinstance(item, Frame):
            n += 1
            size += item.image.size
        if n >= frames or size >= pixels:
            yield chunk
            chunk, size, n = [], 0, 0
    if chunk:
        yield chunk


def _prefetched(iterator):
    """The iterator's items, each read in a worker thread while the caller
    works on the one before: decoding and detection both release the
    interpreter lock, so they overlap."""
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="markvane-reader") as pool:
        pending = pool.submit(next, iterator, None)
        while True:
            item = pending.result()
            if item is None:
                return
            pending = pool.submit(next, iterator, None)
            yield item


def _frame_total(cv2, sources: list[Source]) -> int | None:
    total = 0
    for src in sources:
        if not src.video:
            total += 1
            continue
        cap = cv2.VideoCapture(src.path)
        if cap.isOpened():  # one that does not open is reported, and adds nothing
            n = int(cap.get(cv2.CAP_PROP_FRAME_COUNT))
            if n <= 0:
                cap.release()
                return None  # a stream of unknown length: the bar counts without a total
            total += n
        cap.release()
    return total


# ---- outputs -------------------------------------------------------------------

class JsonLinesWriter:
    """One object per image or video frame."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, frame: Frame, corners, ids) -> None:
        h, w = frame.image.shape[:2]
        record = {"path": frame.source.path, "frame": frame.index, "width": w, "height": h,
                  "ids": ids, "corners": corners}
        # Floats are written with repr, so reading them back gives the same numbers.
        self.stream.write(json.dumps(record, separators=(",", ":")) + "\n")


CSV_HEADER = ["path", "frame", "id"] + [f"{axis}{k}" for k in range(4) for axis in "xy"]


class CsvWriter:
    """One row per marker; frames without markers add no row."""

    def __init__(self, stream):
        self.stream = stream
        self.writer = csv.writer(stream, lineterminator="\n")
        self.writer.writerow(CSV_HEADER)

    def write(self, frame: Frame, corners, ids) -> None:
        index = "" if frame.index is None else frame.index
        for marker_id, quad in zip(ids, corners):
            self.writer.writerow([frame.source.path, index, marker_id] + [v for point in quad for v in point])


class Reporter:
    """Messages for stderr that keep clear of the progress bar."""

    def __init__(self):
        self.bar = None
        self.bar_due = 0.0  # time.monotonic() from which the bar may be on screen
        self.failures = 0

    def start_bar(self, bar) -> None:
        self.bar = bar
        self.bar_due = time.monotonic() + PROGRESS_DELAY

    def fail(self, path: str, message: str) -> None:
        self.failures += 1
        self.say(f"{PROG}: {path}: {message}")

    def say(self, text: str) -> None:
        # Writing through the bar draws it, so before its delay is up the
        # message goes out plainly.
        if self.bar is not None and time.monotonic() >= self.bar_due:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr, flush=True)

    def step(self, counted: bool = True) -> None:
        if self.bar is not None and counted:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _progress_bar(enabled: bool, total: int | None):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None  # the bar is a convenience: run without it
    return tqdm(total=total, unit="frame", file=sys.stderr, delay=PROGRESS_DELAY, dynamic_ncols=True)


# ---- detect --------------------------------------------------------------------

def _detector_parameters(markvane, args):
    p = markvane.DetectorParameters()
    p.corner_refinement_method = getattr(markvane, f"CORNER_REFINE_{args.refine.upper()}")
    p.min_side_length_canonical_img = args.min_side
    if args.decimate is not None:
        p.april_tag_quad_decimate = args.decimate
    if args.refit:
        p.april_tag_refine_full_resolution = True
    if args.april_refine_edges:
        p.april_tag_refine_edges = True
    if args.inverted:
        p.detect_inverted_marker = True
    if args.window is not None:
        lo, hi, step = args.window
        if lo < 3 or hi < lo or step < 1:
            raise CliError(f"--window {lo} {hi} {step}: need 3 <= MIN <= MAX and STEP >= 1")
        p.adaptive_thresh_win_size_min = lo
        p.adaptive_thresh_win_size_max = hi
        p.adaptive_thresh_win_size_step = step
    return p


def _open_output(path: str | None):
    if path is None or path == "-":
        return sys.stdout, False
    try:
        return open(path, "w", encoding="utf-8", newline=""), True
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None


def _annotate(cv2, draw, folder: Path, frame: Frame, corners, ids, reporter: Reporter) -> None:
    name = frame.source.annotate_name
    if frame.index is not None:
        name = name / f"{frame.index:06d}.png"
    target = folder / name
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        ok = cv2.imwrite(str(target), draw.draw_markers(frame.image, corners, ids))
    except (OSError, cv2.error) as exc:
        ok = False
        reason = getattr(exc, "strerror", None) or str(exc)
    else:
        reason = "OpenCV could not write it"
    if not ok:
        reporter.fail(str(target), f"cannot write the annotated image: {reason}")


def _one_thread_per_process() -> None:
    """Initializer of --jobs worker processes: each runs one detection thread,
    so N processes on N cores do not start N x N threads. Set before the
    worker first imports markvane, whose pool is sized at import."""
    os.environ["RAYON_NUM_THREADS"] = "1"


def _detect_source(task):
    """A worker's share of --jobs: read one image or video itself (paths
    travel between processes, not pixels), detect, annotate, and return what
    the writer needs, in frame order."""
    source, dictionary, params, annotate_dir, batch = task
    cv2 = _import_cv2("reading images and videos")
    with _opencv_silenced(cv2):
        return _detect_items(cv2, _frames(cv2, [source]), dictionary, params, annotate_dir, batch)


def _detect_items(cv2, items, dictionary, params, annotate_dir, batch) -> list:
    """Detection on the frames among `items` (frames and failures, as
    `_frames` yields them), `batch` at a time: the failures and each frame's
    `(source, index, size, corners, ids)`, in order, after annotating it
    under `annotate_dir` unless that is None."""
    markvane = _import_markvane()
    draw = _import_tool("draw") if annotate_dir is not None else None
    out: list = []
    for chunk in _chunks(items, batch, BATCH_PIXELS):
        frames = [item for item in chunk if isinstance(item, Frame)]
        results = iter(markvane.detect_markers_batch([f.image for f in frames], dictionary, params)
                       if frames else [])
        for item in chunk:
            if isinstance(item, Failure):
                out.append(item)
                continue
            corners, ids = next(results)
            if draw is not None:
                reporter = Reporter()
                messages = []
                reporter.fail = lambda path, message: messages.append(Failure(path, message, False))
                _annotate(cv2, draw, annotate_dir, item, corners, ids, reporter)
                out += messages
            # Only the frame's size goes back, not its pixels.
            out.append((item.source, item.index, item.image.shape[:2], corners, ids))
    return out


def _write_items(items, writer, reporter) -> None:
    """The results of one `_detect_source` task, in frame order."""
    for item in items:
        if isinstance(item, Failure):
            reporter.fail(item.path, item.message)
            reporter.step(item.image)
            continue
        source, index, size, corners, ids = item
        # The writers read the frame's size from its image.
        writer.write(Frame(source, index, np.broadcast_to(np.uint8(0), size)), corners, ids)
        reporter.step()


def _detect_in_processes(args, sources, dictionary, params, annotate_dir, writer, stream, reporter) -> None:
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    # spawn: a forked worker would inherit this process's thread pool size.
    context = multiprocessing.get_context("spawn")
    tasks = [(src, dictionary, params, annotate_dir, args.batch) for src in sources]
    with ProcessPoolExecutor(args.jobs, mp_context=context, initializer=_one_thread_per_process) as pool:
        for items in pool.map(_detect_source, tasks):
            _write_items(items, writer, reporter)
            stream.flush()


def _detect_on_dask(args, sources, dictionary, params, annotate_dir, writer, stream, reporter) -> None:
    """Tasks on a Dask cluster: one per image, one per segment of a video (see
    markvane_tools.distributed). The workers read the files (they must see the
    same paths); results come back and are written in input order. Workers
    should run one task thread each with RAYON_NUM_THREADS=1, or one task
    thread per machine with markvane's pool on every core."""
    try:
        from distributed import Client
    except ImportError:
        raise CliError("--dask-scheduler needs dask.distributed: pip install 'markvane[dask]'") from None
    on_cluster = _import_tool("distributed")
    try:
        client = Client(args.dask_scheduler, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise CliError(f"cannot reach the Dask scheduler at {args.dask_scheduler}: {exc}") from None
    with client:
        for _, items in on_cluster._run(client, sources, dictionary, params, annotate_dir, args.batch,
                                        args.segment_frames, retries=0):
            _write_items(items, writer, reporter)
            stream.flush()


def cmd_detect(args) -> int:
    markvane = _import_markvane()
    cv2 = _import_cv2("reading images and videos")
    dictionary = _dictionary(args.dictionary)
    params = _detector_parameters(markvane, args)
    draw = annotate_dir = None
    if args.annotate is not None:
        draw = _import_tool("draw")
        annotate_dir = Path(args.annotate)
        try:
            annotate_dir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"cannot create {args.annotate}: {exc.strerror or exc}") from None

    reporter = Reporter()
    sources, failures = expand_inputs(args.paths, args.recursive)
    for f in failures:
        reporter.fail(f.path, f.message)

    stream, owned = _open_output(args.output)
    writer = (CsvWriter if args.format == "csv" else JsonLinesWriter)(stream)
    # Records printed to the terminal already show the progress, and a bar
    # redrawn between them would garble both.
    show_bar = (args.progress and sys.stderr.isatty()
                and not (stream is sys.stdout and sys.stdout.isatty()))
    try:
        if args.jobs > 1 or args.dask_scheduler:
            reporter.start_bar(_progress_bar(show_bar, _frame_total(cv2, sources) if show_bar else None))
            run = _detect_on_dask if args.dask_scheduler else _detect_in_processes
            run(args, sources, dictionary, params, annotate_dir, writer, stream, reporter)
            return EXIT_INPUT_ERRORS if reporter.failures else EXIT_OK
        with _opencv_silenced(cv2):
            reporter.start_bar(_progress_bar(show_bar, _frame_total(cv2, sources) if show_bar else None))
            chunks = _chunks(_frames(cv2, sources), args.batch, BATCH_PIXELS)
            for chunk in _prefetched(chunks):
                frames = [item for item in chunk if isinstance(item, Frame)]
                results = iter(markvane.detect_markers_batch([f.image for f in frames], dictionary, params)
                               if frames else [])
                for item in chunk:
                    if isinstance(item, Failure):
                        reporter.fail(item.path, item.message)
                        reporter.step(item.image)
                        continue
                    corners, ids = next(results)
                    writer.write(item, corners, ids)
                    if draw is not None:
                        _annotate(cv2, draw, annotate_dir, item, corners, ids, reporter)
                    reporter.step()
                stream.flush()
    finally:
        reporter.close()
        if owned:
            stream.close()
    return EXIT_INPUT_ERRORS if reporter.failures else EXIT_OK


# ---- generate ------------------------------------------------------------------

def _id_list(text: str) -> list[int]:
    """'3', '0-9', '1,4,7-9' as a list of ids."""
    ids = []
    for part in text.replace(" ", ",").split(","):
        if not part:
            continue
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", part)
        if m is None:
            raise argparse.ArgumentTypeError(f"not an id or id range: {part!r}")
        lo, hi = int(m[1]), int(m[2] or m[1])
        if hi < lo:
            raise argparse.ArgumentTypeError(f"empty id range: {part!r}")
        ids += range(lo, hi + 1)
    if not ids:
        raise argparse.ArgumentTypeError("no ids given")
    return ids


def _marker_cells(dictionary: str) -> int:
    """Inner cells per side of a predefined dictionary's markers, read from its
    name (DICT_5X5_100: 5; DICT_APRILTAG_36h11: 36 bits, so 6)."""
    m = re.search(r"(\d+)X\d+_", dictionary)
    if m:
        return int(m[1])
    m = re.search(r"_(\d+)h\d+$", dictionary)
    if m:
        return math.isqrt(int(m[1]))
    return 5  # DICT_ARUCO_ORIGINAL


def _unit(out: Path) -> str:
    suffix = out.suffix.lower()
    if suffix not in (".png", ".svg"):
        raise CliError(f"{out}: the output must end in .png (sizes in pixels) or .svg (sizes in mm)")
    return suffix[1:]


def _px(value: float, what: str) -> int:
    if value != int(value):
        raise CliError(f"{what} is in whole pixels for a PNG, not {value:g}")
    return int(value)


def _save(out: Path, content, cv2) -> None:
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, str):
            out.write_text(content, encoding="utf-8")
            ok = True
        else:
            ok = cv2.imwrite(str(out), content)
    except OSError as exc:
        raise CliError(f"cannot write {out}: {exc.strerror or exc}") from None
    if not ok:
        raise CliError(f"cannot write {out}")
    print(out)


def _marker_outputs(out: str, ids: list[int]) -> list[Path]:
    if "{id}" in out:
        return [Path(out.replace("{id}", str(i))) for i in ids]
    if len(ids) == 1:
        return [Path(out)]
    p = Path(out)
    return [p.with_name(f"{p.stem}_{i}{p.suffix}") for i in ids]


def _markers(targets, args, dictionary: str, unit: str):
    size = args.size if args.size is not None else (200 if unit == "png" else 50.0)
    if unit == "png":
        side = _px(size, "--size")
        cells = _marker_cells(dictionary) + 2 * args.border_bits
        # One cell of white all round by default, as on the SVG: a marker that
        # touches the image edge is not found.
        quiet = -(-side // cells) if args.quiet_zone is None else _px(args.quiet_zone, "--quiet-zone")

    def draw(marker_id):
        if unit == "png":
            return targets.marker_image(dictionary, marker_id, side, border_bits=args.border_bits,
                                        quiet_zone_px=quiet)
        return targets.marker_svg(dictionary, marker_id, size, quiet_zone_mm=args.quiet_zone,
                                  caption=not args.no_caption, border_bits=args.border_bits)

    return [(out, draw(i)) for i, out in zip(args.id, _marker_outputs(args.out, args.id))]


def _grid_board(targets, args, dictionary: str, unit: str):
    mx, my = args.markers
    size = args.marker_size if args.marker_size is not None else (100 if unit == "png" else 40.0)
    ids = args.ids if args.ids is not None else list(range(args.first_id, args.first_id + mx * my))
    if unit == "png":
        sep = round(size / 5) if args.separation is None else _px(args.separation, "--separation")
        quiet = None if args.quiet_zone is None else _px(args.quiet_zone, "--quiet-zone")
        return targets.grid_board_image(dictionary, mx, my, _px(size, "--marker-size"), sep, ids=ids,
                                        quiet_zone_px=quiet)
    sep = size / 5 if args.separation is None else args.separation
    return targets.grid_board_svg(dictionary, mx, my, size, sep, ids=ids, quiet_zone_mm=args.quiet_zone,
                                  caption=not args.no_caption)


def _charuco_board(targets, args, dictionary: str, unit: str):
    markvane = _import_markvane()
    sx, sy = args.squares
    square = float(args.square_size if args.square_size is not None else (100 if unit == "png" else 30.0))
    marker = float(args.marker_size if args.marker_size is not None else 0.75 * square)
    board = markvane.CharucoBoard(sx, sy, square, marker, dictionary, args.ids, args.legacy)
    if args.ids is None and args.first_id:
        # The board knows how many markers its layout holds.
        ids = [i + args.first_id for i in board.ids]
        board = markvane.CharucoBoard(sx, sy, square, marker, dictionary, ids, args.legacy)
    if unit == "png":
        quiet = None if args.quiet_zone is None else _px(args.quiet_zone, "--quiet-zone")
        return targets.charuco_board_image(board, _px(square, "--square-size"), quiet)
    return targets.charuco_board_svg(board, square, args.quiet_zone, not args.no_caption)


def cmd_generate(args) -> int:
    targets = _import_tool("targets")
    dictionary = _dictionary(args.dictionary)
    unit = _unit(Path(args.out.replace("{id}", "0")))
    cv2 = _import_cv2("writing PNG files") if unit == "png" else None
    try:
        # Everything is drawn before the first file is written, so a bad id
        # leaves no partial set behind.
        if args.kind == "marker":
            files = _markers(targets, args, dictionary, unit)
        elif args.kind == "gridboard":
            files = [(Path(args.out), _grid_board(targets, args, dictionary, unit))]
        else:
            files = [(Path(args.out), _charuco_board(targets, args, dictionary, unit))]
    except (ValueError, TypeError) as exc:
        raise CliError(str(exc)) from None
    for out, content in files:
        _save(out, content, cv2)
    return EXIT_OK


# ---- command line --------------------------------------------------------------

MIN_SIDE_HELP = (
    "min_side_length_canonical_img (default 32): candidate outlines shorter than 4x this many "
    "contour points are ignored, so at the default 32 markers under about 34 px a side "
    "(about 46 px when turned 45 degrees) are not found; 0 keeps OpenCV's rule (any outline "
    "longer than 3%% of the image's larger side), which finds smaller markers at some cost in speed")


def _detect_parser(sub) -> None:
    p = sub.add_parser(
        "detect", help="detect markers in images, folders, glob patterns and videos",
        description="Detect markers and print one record per image or video frame (JSON Lines) "
                    "or one row per marker (CSV). Folders contribute their image and video files "
                    "(not those of subfolders unless --recursive); patterns such as 'shots/*.jpg' "
                    "or 'shots/**/*.png' are expanded here, so they may be quoted. Files that "
                    "cannot be read are named on stderr and skipped; the exit status is then 1.",
        epilog="JSON Lines fields: path, frame (index in a video, null for a still image), width, "
               "height, ids, corners (per marker 4 [x, y] corners in detection order, clockwise "
               "from the printed top-left; the centre of the top-left pixel is (0, 0)). CSV columns: "
               + ",".join(CSV_HEADER) + ". Exit status: 0 all inputs read, 1 some could not be "
               "read, 2 bad usage or missing dependency.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="image, video, folder or glob pattern")
    p.add_argument("-d", "--dictionary", default="DICT_4X4_50",
                   help="marker dictionary, e.g. DICT_6X6_250 or apriltag_36h11 (case and the DICT_ "
                        "prefix do not matter; default DICT_4X4_50). A wrong dictionary can report "
                        "false ids, so name the one the markers were printed from")
    p.add_argument("-r", "--recursive", action="store_true", help="also read the subfolders of folders")
    g = p.add_argument_group("detector")
    g.add_argument("--refine", choices=REFINE_METHODS, default="none",
                   help="corner refinement: none (default), subpix, contour, or apriltag (the AprilTag "
                        "quad search; its corners lie half a pixel right of and below the others')")
    g.add_argument("--min-side", type=_nonnegative_int, default=32, metavar="N", help=MIN_SIDE_HELP)
    g.add_argument("--decimate", type=_nonnegative_float, metavar="F",
                   help="april_tag_quad_decimate: with --refine apriltag, search an image shrunk by "
                        "this factor (values above 1; faster, misses small tags)")
    g.add_argument("--refit", action="store_true",
                   help="april_tag_refine_full_resolution: refit every found marker's border in the "
                        "full-resolution image (after --decimate, or after any other --refine)")
    g.add_argument("--april-refine-edges", action="store_true",
                   help="april_tag_refine_edges: move the sides of every quad that --refine apriltag "
                        "or --refit fits onto the image's intensity steps (more accurate corners)")
    g.add_argument("--inverted", action="store_true", help="also find markers printed white on black")
    g.add_argument("--window", type=int, nargs=3, metavar=("MIN", "MAX", "STEP"),
                   help="adaptive threshold window sizes in pixels (default 3 23 10)")
    g.add_argument("--batch", type=_positive_int, default=BATCH_FRAMES, metavar="N",
                   help=f"frames detected together (default {BATCH_FRAMES})")
    g.add_argument("--jobs", type=_positive_int, default=1, metavar="N",
                   help="detect in N local processes, each reading its own files and running one "
                        "detection thread (default 1: this process, on every core); output order and "
                        "results are the same")
    g.add_argument("--dask-scheduler", metavar="ADDRESS",
                   help="detect on a Dask cluster (e.g. tcp://host:8786), one task per image and per "
                        "segment of a video; the workers read the files, so they must see the same "
                        "paths (needs markvane[dask])")
    g.add_argument("--segment-frames", type=_positive_int, default=SEGMENT_FRAMES, metavar="N",
                   help=f"with --dask-scheduler, cut videos into tasks of N frames (default {SEGMENT_FRAMES})")
    o = p.add_argument_group("output")
    o.add_argument("-f", "--format", choices=("jsonl", "csv"), default="jsonl",
                   help="jsonl (default): one object per image or frame; csv: one row per marker")
    o.add_argument("-o", "--output", metavar="FILE", help="write there instead of to stdout")
    o.add_argument("--annotate", metavar="DIR",
                   help="write each image with its markers drawn as DIR/<name>.png (files of a folder "
                        "keep their subfolders; video frames go to DIR/<video name>/<frame>.png)")
    o.add_argument("--no-progress", dest="progress", action="store_false",
                   help="no progress bar (it needs tqdm, and only appears on a terminal, after a "
                        "second or two, and not while records are printed to that terminal)")
    p.set_defaults(run=cmd_detect)


def _generate_parser(sub) -> None:
    p = sub.add_parser(
        "generate", help="draw markers and boards to print (PNG or SVG)",
        description="Draw a marker, a grid of markers or a ChArUco board. The output's extension "
                    "picks the format and the unit of every size: .png in pixels, .svg in "
                    "millimetres at true size (with a caption naming the dictionary, ids and size).")
    kinds = p.add_subparsers(dest="kind", metavar="KIND", required=True)

    def common(q, size_help):
        q.add_argument("out", metavar="OUT", help="output file, .png or .svg")
        q.add_argument("-d", "--dictionary", default="DICT_4X4_50", help="dictionary (default DICT_4X4_50)")
        q.add_argument("--quiet-zone", type=_nonnegative_float, metavar="SIZE",
                       help=f"white margin around the target; {size_help}")
        q.add_argument("--no-caption", action="store_true", help="SVG without the caption")

    m = kinds.add_parser("marker", help="single markers",
                         description="One file per id. With several ids, OUT may hold {id} "
                                     "(marker_{id}.svg); otherwise _<id> is added before the extension.")
    common(m, "default one marker cell")
    m.add_argument("--id", type=_id_list, default=[0], metavar="IDS",
                   help="id, range or list: 7, 0-9, 1,4,7 (default 0)")
    m.add_argument("--size", type=_positive_float, metavar="SIZE",
                   help="marker side, black border included (default 200 px or 50 mm)")
    m.add_argument("--border-bits", type=_positive_int, default=1, metavar="N",
                   help="width of the black border in cells (default 1, which the detector expects)")

    g = kinds.add_parser("gridboard", help="a grid of markers",
                         description="Markers in a grid, ids row by row from the top-left.")
    common(g, "default the separation, at least one marker cell")
    g.add_argument("--markers", type=_positive_int, nargs=2, required=True, metavar=("X", "Y"),
                   help="markers across and down")
    g.add_argument("--marker-size", type=_positive_float, metavar="SIZE",
                   help="marker side (default 100 px or 40 mm)")
    g.add_argument("--separation", type=_nonnegative_float, metavar="SIZE",
                   help="gap between markers (default a fifth of the marker side)")

    c = kinds.add_parser("charuco", help="a ChArUco board",
                         description="A chessboard with markers in its white squares, laid out as "
                                     "markvane.CharucoBoard and OpenCV lay it out.")
    common(c, "default half a square")
    c.add_argument("--squares", type=_positive_int, nargs=2, required=True, metavar=("X", "Y"),
                   help="squares across and down")
    c.add_argument("--square-size", type=_positive_float, metavar="SIZE",
                   help="square side (default 100 px or 30 mm)")
    c.add_argument("--marker-size", type=_positive_float, metavar="SIZE",
                   help="marker side (default three quarters of the square)")
    c.add_argument("--legacy", action="store_true",
                   help="OpenCV's layout before 4.6 for boards with an even number of rows")

    for q in (g, c):
        ids = q.add_mutually_exclusive_group()
        ids.add_argument("--first-id", type=_nonnegative_int, default=0, metavar="N",
                         help="ids run on from this one (default 0)")
        ids.add_argument("--ids", type=_id_list, metavar="IDS",
                         help="every id in placement order: 0-16 or 3,5,8,...")
    p.set_defaults(run=cmd_generate)


# ---- calibrate -----------------------------------------------------------------

def _pattern(text: str) -> tuple[int, int]:
    m = re.fullmatch(r"\s*(\d+)\s*[xX,]\s*(\d+)\s*", text)
    if not m:
        raise argparse.ArgumentTypeError(f"expected COLSxROWS such as 9x6, got {text!r}")
    return int(m.group(1)), int(m.group(2))


def _board_views(markvane, cv2, args, reporter: Reporter):
    """(names, images) of every readable input, read in order."""
    sources, failures = expand_inputs(args.paths, args.recursive)
    for f in failures:
        reporter.fail(f.path, f.message)
    stills = [s for s in sources if not s.video]
    for s in sources:
        if s.video:
            reporter.fail(s.path, "videos are not used for calibration; extract the frames to calibrate from")
    reporter.start_bar(_progress_bar(not args.no_progress and sys.stderr.isatty(), len(stills)))
    names, images = [], []
    for src in stills:
        image = _read_image(cv2, src.path)
        reporter.step()
        if isinstance(image, str):
            reporter.fail(src.path, image)
            continue
        names.append(src.path)
        images.append(image if image.ndim == 2 else cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
    return names, images


def _write_yaml(cv2, path: str, cal, image_size) -> None:
    """OpenCV's own calibration file layout, readable by cv2.FileStorage."""
    fs = cv2.FileStorage(path, cv2.FILE_STORAGE_WRITE)
    if not fs.isOpened():
        raise CliError(f"cannot write {path}")
    fs.write("image_width", int(image_size[0]))
    fs.write("image_height", int(image_size[1]))
    fs.write("camera_matrix", np.array(cal.result.camera_matrix))
    fs.write("distortion_coefficients", np.array(cal.result.dist_coeffs).reshape(1, -1))
    fs.write("avg_reprojection_error", float(cal.result.rms))
    fs.write("per_view_reprojection_errors", np.array(cal.result.per_view_errors).reshape(-1, 1))
    fs.release()


def _write_residuals(markvane, path: str, cal, views, image_size) -> None:
    """Per-view errors and the residual vectors over the image, as a PNG."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("--residuals needs matplotlib: pip install 'markvane[plot]'") from None
    r = cal.result
    fig, (bars, field_ax) = plt.subplots(1, 2, figsize=(13, 5))
    bars.bar(range(len(r.per_view_errors)), r.per_view_errors,
             color=["tab:red" if n in cal.outliers else "tab:blue" for n in cal.used])
    bars.axhline(r.rms, color="k", lw=1, ls="--", label=f"rms {r.rms:.3f} px")
    bars.set(xlabel="view", ylabel="reprojection error (px)", title="per view")
    bars.legend()
    scale = 0.0
    for (obj, img), rvec, tvec in zip(views, r.rvecs, r.tvecs):
        proj = np.array(markvane.project_points(obj, rvec, tvec, r.camera_matrix, r.dist_coeffs))
        d = np.asarray(img, float) - proj
        scale = max(scale, float(np.abs(d).max()))
        field_ax.quiver(proj[:, 0], proj[:, 1], d[:, 0], -d[:, 1], angles="xy", width=0.002)
    field_ax.set(xlim=(0, image_size[0]), ylim=(image_size[1], 0), aspect="equal",
                 title=f"residuals over the image (largest {scale:.2f} px, arrows not to image scale)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def cmd_calibrate(args) -> int:
    markvane = _import_markvane()
    cv2 = _import_cv2("reading images")
    calibration = _import_tool("calibration")
    if (args.charuco is None) == (args.chessboard is None):
        raise CliError("name the board: --charuco COLSxROWS (squares) or --chessboard COLSxROWS (inner corners)")
    if args.charuco is not None and args.marker is None:
        raise CliError("--charuco needs --marker (the marker side, in the unit of --square)")
    reporter = Reporter()
    options = {"model": args.model, "fix_aspect_ratio": args.fix_aspect_ratio,
               "zero_tangent": args.zero_tangent, "fix_principal_point": args.fix_principal_point}
    try:
        names, images = _board_views(markvane, cv2, args, reporter)
    finally:
        reporter.close()
    if not images:
        raise CliError("no readable images to calibrate from")
    try:
        if args.charuco is not None:
            board = markvane.CharucoBoard(*args.charuco, args.square, args.marker, _dictionary(args.dictionary),
                                          legacy_pattern=args.legacy)
            params = markvane.DetectorParameters()
            params.min_side_length_canonical_img = args.min_side
            cal = calibration.calibrate_charuco(images, board, parameters=params, names=names, **options)
            corners = np.asarray(board.chessboard_corners, float)
            views = []
            for name in cal.used:
                c, ids, _, _ = markvane.detect_charuco_board(images[names.index(name)], board, params)
                views.append((corners[np.asarray(ids)], c))
        else:
            cal = calibration.calibrate_chessboard(images, args.chessboard, args.square, names=names, **options)
            cols, rows = args.chessboard
            gx, gy = np.meshgrid(np.arange(cols), np.arange(rows))
            grid = np.c_[gx.ravel() * args.square, gy.ravel() * args.square, np.zeros(cols * rows)]
            views = [(grid, markvane.find_chessboard_corners(images[names.index(n)], args.chessboard)[1])
                     for n in cal.used]
    except ValueError as exc:
        raise CliError(str(exc)) from None
    for name, why in cal.dropped.items():
        reporter.say(f"{PROG}: {name}: left out: {why}")
    for name in cal.outliers:
        reporter.say(f"{PROG}: {name}: reprojection error far above the other views; consider removing it")
    size = images[0].shape[1], images[0].shape[0]
    r = cal.result
    record = {"image_size": list(size), "model": args.model, "rms": r.rms, "camera_matrix": r.camera_matrix,
              "dist_coeffs": r.dist_coeffs, "std_deviations": r.std_deviations,
              "views": [{"path": n, "error": e, "rvec": rv, "tvec": tv}
                        for n, e, rv, tv in zip(cal.used, r.per_view_errors, r.rvecs, r.tvecs)],
              "dropped": cal.dropped, "outliers": cal.outliers}
    out, close = _open_output(args.output)
    try:
        json.dump(record, out, indent=2)
        out.write("\n")
    finally:
        if close:
            out.close()
    if args.yaml:
        _write_yaml(cv2, args.yaml, cal, size)
    if args.residuals:
        _write_residuals(markvane, args.residuals, cal, views, size)
    return EXIT_INPUT_ERRORS if reporter.failures else EXIT_OK


def _calibrate_parser(sub) -> None:
    p = sub.add_parser(
        "calibrate", help="calibrate a camera from photos of a ChArUco board or a chessboard",
        description="Detect the board in every image, calibrate, and print the result as JSON: "
                    "camera matrix, distortion, rms and per-view errors, standard deviations, the views "
                    "left out and those whose error is far above the rest.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="image, folder or glob pattern")
    p.add_argument("-r", "--recursive", action="store_true", help="also read the subfolders of folders")
    board = p.add_argument_group("board")
    board.add_argument("--charuco", type=_pattern, metavar="COLSxROWS",
                       help="a ChArUco board of COLS x ROWS squares as printed (across x down)")
    board.add_argument("--chessboard", type=_pattern, metavar="COLSxROWS",
                       help="a chessboard of COLS x ROWS inner corners")
    board.add_argument("--square", type=_positive_float, required=True, metavar="SIZE",
                       help="square side, in the unit the poses should use (e.g. mm)")
    board.add_argument("--marker", type=_positive_float, metavar="SIZE", help="ChArUco marker side, same unit")
    board.add_argument("-d", "--dictionary", default="DICT_4X4_50", help="ChArUco marker dictionary")
    board.add_argument("--legacy", action="store_true", help="ChArUco board in OpenCV's layout before 4.6")
    board.add_argument("--min-side", type=_nonnegative_int, default=0, metavar="N",
                       help="min_side_length_canonical_img for the ChArUco markers (default 0: OpenCV's rule, "
                            "so small and distant markers count; 32 ignores markers under about 34 px)")
    model = p.add_argument_group("model")
    model.add_argument("--model", choices=("k5", "k8", "k14"), default="k5",
                       help="distortion terms: k5 (default), k8 (rational) or k14 (rational and thin prism)")
    model.add_argument("--fix-aspect-ratio", action="store_true", help="keep fx / fy fixed")
    model.add_argument("--zero-tangent", action="store_true", help="no tangential distortion")
    model.add_argument("--fix-principal-point", action="store_true", help="principal point at the image centre")
    out = p.add_argument_group("output")
    out.add_argument("-o", "--output", metavar="FILE", help="write the JSON here (default: stdout)")
    out.add_argument("--yaml", metavar="FILE", help="also write OpenCV's calibration YAML (cv2.FileStorage)")
    out.add_argument("--residuals", metavar="FILE.png",
                     help="also draw per-view errors and residual vectors (needs matplotlib)")
    out.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    p.set_defaults(run=cmd_calibrate)


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0].replace("\n", " "),
                                 epilog="Run `markvane COMMAND --help` for the options of each command.")
    ap.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = ap.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _detect_parser(sub)
    _generate_parser(sub)
    _calibrate_parser(sub)
    sub.add_parser("demo", help="render a scene, detect its markers and report (markvane demo --help)",
                   add_help=False)
    return ap


def main(argv=None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "demo":
        # The demo has its own options, --help included.
        from markvane_tools import demo

        return demo.main(argv[1:], prog=f"{PROG} demo")
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as exc:
        print(f"{PROG} {args.command}: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep Python from
        # complaining when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_INPUT_ERRORS
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
