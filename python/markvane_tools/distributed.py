"""Marker detection over many files on a Dask cluster.

The recipe: paths travel to the workers, each worker reads its files itself
(so every worker must see the same paths: a shared file system or object store
mounted alike), detects, and sends back only the results; they are gathered in
input order, and a file that cannot be read, or a task that failed, is
reported for that file alone.

    from distributed import Client
    from markvane_tools.distributed import detect_files

    client = Client("tcp://scheduler:8786")
    for result in detect_files(client, paths, "DICT_6X6_250"):
        if result.error:
            print(result.path, "failed:", result.error)
        for frame, corners, ids in result.frames:   # frame: None for a still image
            ...

Tasks: one per still image. A video is cut into segments of `segment_frames`
frames (256 unless told otherwise), one task each, so that a long video keeps
every worker busy; a worker opens the video itself and seeks to its segment's
first frame. The segments are put back together in frame order into the
video's one result, which equals a serial read of the whole video frame by
frame. To make sure of that, each segment also reads the frame after its
last, and the next segment's first frame must be that same frame (time stamp
and pixels); where a container or codec seeks elsewhere, the segments after
the first are run again reading and discarding the frames before their start
instead of seeking. A video whose frame count the container does not give (a
stream, some containers) is one task, read from start to end.

Failures: a worker that dies (killed, out of memory) takes its running tasks
with it, and the scheduler runs them again on another worker; a task that
has brought down `distributed.scheduler.allowed-failures` workers (3 by
default) is given up and its file reported as failed. `retries` runs a task
that raised an exception that many more times; files that cannot be read are
reported without raising, so this only matters for unexpected errors.

Threads: markvane releases the interpreter lock and runs its own pool on every
core it is allowed. Start the workers either with one task thread per core and
one detection thread each (`RAYON_NUM_THREADS=1 dask worker ADDRESS
--nworkers N --nthreads 1`), or with one worker and one task thread per
machine (`dask worker ADDRESS --nworkers 1 --nthreads 1`), which lets each
frame use every core; not with several task threads per worker, which would
run several pools at once. The command line does the same:
`markvane detect --dask-scheduler ADDRESS PATH...`.
"""

from __future__ import annotations

import hashlib
import math
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Iterator, Optional, Sequence

import numpy as np

import markvane

from markvane_tools.cli import (SEGMENT_FRAMES, VIDEO_SUFFIXES, Failure, Frame, Source, _detect_items, _frames,
                                _import_cv2, _open_video, _opencv_silenced)

# Frame counts above this are not believed (some streams report absurd ones):
# such a video is read whole by one task rather than cut into millions.
MOST_FRAMES = 10_000_000

# Results fetched from the cluster in one request: fewer round trips, while
# the first of a long run still comes back soon.
GATHER = 64

# What a segment found where it should have found a frame: past the end, or
# a capture that refused to seek.
END = "end"
UNSEEKABLE = "unseekable"
# In place of the fingerprints of a task that failed on the cluster.
LOST = "lost"


@dataclass
class FileResult:
    """What one file gave: its frames' `(frame, corners, ids)` (frame is None
    for a still image, the frame number in a video), or the reason it failed."""

    path: str
    frames: list = field(default_factory=list)
    error: Optional[str] = None


@dataclass(frozen=True)
class Segment:
    """Frames `start` to `start + count - 1` of a video (to its end when
    `count` is None), reached by seeking or by reading and discarding the
    frames before `start`."""

    start: int
    count: Optional[int]
    seek: bool = True


def _fingerprint(cv2, cap, image: np.ndarray):
    digest = hashlib.blake2b(np.ascontiguousarray(image).data, digest_size=16).hexdigest()
    return cap.get(cv2.CAP_PROP_POS_MSEC), image.shape, digest


def _segment_frames(cv2, source: Source, segment: Segment, seen: dict) -> Iterator:
    """The frames of one segment, as `cli._frames` gives a whole video's;
    `seen` gets the fingerprints of its first frame and of the frame after
    its last ("first", "next")."""
    cap = _open_video(cv2, source.path)
    if isinstance(cap, Failure):
        yield cap
        return
    n = 0
    try:
        if segment.start and segment.seek:
            if not cap.set(cv2.CAP_PROP_POS_FRAMES, segment.start):
                seen["first"] = UNSEEKABLE
                return
        else:
            for _ in range(segment.start):
                if not cap.grab():
                    break
        while segment.count is None or n < segment.count:
            ok, image = cap.read()
            if not ok:
                break
            if n == 0:
                seen["first"] = _fingerprint(cv2, cap, image)
            yield Frame(source, segment.start + n, np.ascontiguousarray(image))
            n += 1
        if n == 0:
            seen["first"] = END
        if segment.count is not None:
            seen["next"] = END
            if n == segment.count:
                ok, image = cap.read()
                if ok:
                    seen["next"] = _fingerprint(cv2, cap, image)
    finally:
        cap.release()
    if segment.start == 0 and n == 0:
        yield Failure(source.path, "no frame of the video could be decoded", image=False)


def _detect_task(task):
    """A worker's share: one still image or whole video (segment None), or
    one segment of a video. Returns the items `cli._write_items` takes and
    the segment's two fingerprints."""
    source, dictionary, params, annotate_dir, batch, segment = task
    cv2 = _import_cv2("reading images and videos")
    seen: dict = {}
    with _opencv_silenced(cv2):
        frames = _frames(cv2, [source]) if segment is None else _segment_frames(cv2, source, segment, seen)
        items = _detect_items(cv2, frames, dictionary, params, annotate_dir, batch)
    return items, seen.get("first"), seen.get("next")


def _frame_count(path: str) -> int:
    """The video's frame count as its container gives it; 0 when unknown."""
    cv2 = _import_cv2("reading videos")
    with _opencv_silenced(cv2):
        cap = cv2.VideoCapture(path)
        try:
            n = cap.get(cv2.CAP_PROP_FRAME_COUNT) if cap.isOpened() else 0.0
        finally:
            cap.release()
    return int(n) if math.isfinite(n) and 0 < n <= MOST_FRAMES else 0


def segments(frame_count: int, segment_frames: Optional[int]) -> list:
    """How a video of `frame_count` frames (0: unknown) is cut into tasks: a
    list of `Segment`s, or `[None]` for one task that reads it whole. The
    last segment reads to the end, wherever that turns out to be."""
    if not segment_frames or frame_count <= segment_frames:
        return [None]
    starts = range(0, frame_count, segment_frames)
    return [Segment(s, None if s == starts[-1] else segment_frames) for s in starts]


def _failed(source: Source, exc: Exception, what: str = ""):
    message = f"{what}failed on the cluster: {type(exc).__name__}: {exc}"
    return [Failure(source.path, message, not source.video)], LOST, LOST


def _outcome(source: Source, future, what: str = ""):
    try:
        return future.result()
    except Exception as exc:  # the task raised on its worker, or brought down too many workers
        return _failed(source, exc, what)


def _in_order(client, sources: Sequence[Source], futures: list) -> Iterator:
    """The futures' outcomes in order, fetched `GATHER` at a time (one
    request each, rather than one per file); a batch with a failed task is
    fetched file by file, so that the failure stays with its file. Fetched
    futures are let go, so the cluster can forget their results."""
    for i in range(0, len(futures), GATHER):
        batch = futures[i:i + GATHER]
        futures[i:i + GATHER] = [None] * len(batch)
        try:
            outcomes = client.gather(batch)
        except Exception:  # noqa: BLE001 - each file's own outcome says what went wrong
            outcomes = [_outcome(src, f) for src, f in zip(sources[i:i + GATHER], batch)]
        yield from outcomes


def _span(segment: Optional[Segment]) -> str:
    if segment is None:
        return ""
    end = "the end" if segment.count is None else segment.start + segment.count - 1
    return f"frames {segment.start} to {end} "


def _joined(client, source, plan, futures, task, retries) -> list:
    """The items of a video's segments in frame order, after checking that
    each segment began where the one before it ended; if one did not, the
    later segments are run again without seeking."""
    outcomes = [_outcome(source, f, _span(s)) for s, f in zip(plan, futures)]
    # A boundary is checked only where both neighbours ran.
    if any(LOST not in (prev[2], cur[1]) and prev[2] != cur[1] for prev, cur in zip(outcomes, outcomes[1:])):
        again = [Segment(s.start, s.count, seek=False) for s in plan[1:]]
        redo = client.map(_detect_task, [task + (s,) for s in again], pure=False, retries=retries)
        outcomes[1:] = [_outcome(source, f, _span(s)) for s, f in zip(again, redo)]
    return [item for items, _, _ in outcomes for item in items]


def _run(client, sources: Sequence[Source], dictionary: str, params, annotate_dir, batch: int,
         segment_frames: Optional[int], retries: int) -> Iterator:
    """`(source, items)` for every source, in input order, each worked out on
    the cluster: `items` as `cli._write_items` takes them."""
    def submit(function, args: list) -> list:
        return client.map(function, args, pure=False, retries=retries)

    tasks = [(src, dictionary, params, annotate_dir, batch) for src in sources]
    videos = [k for k, src in enumerate(sources) if src.video]
    # The workers count the frames, as only they need to see the files; these
    # tasks go first so that the segments can be queued early.
    counts = submit(_frame_count, [sources[k].path for k in videos]) if segment_frames else [None] * len(videos)
    still = [k for k, src in enumerate(sources) if not src.video]
    stills = _in_order(client, [sources[k] for k in still], submit(_detect_task, [tasks[k] + (None,) for k in still]))
    plans = {}
    for k, count in zip(videos, counts):
        try:
            n = 0 if count is None else count.result()
        except Exception:  # the task that reads the whole video reports what is wrong with it
            n = 0
        plan = segments(n, segment_frames)
        plans[k] = plan, submit(_detect_task, [tasks[k] + (s,) for s in plan])
    del counts
    for k, src in enumerate(sources):
        if src.video:
            plan, futures = plans.pop(k)
            yield src, _joined(client, src, plan, futures, tasks[k], retries)
        else:
            yield src, next(stills)[0]


def _result(path: str, items) -> FileResult:
    out = FileResult(path)
    for item in items:
        if isinstance(item, Failure):
            out.error = item.message if out.error is None else f"{out.error}; {item.message}"
        else:
            _, index, _, corners, ids = item
            out.frames.append((index, corners, ids))
    return out


def detect_files(client, paths: Sequence[str], dictionary: str,
                 parameters: Optional[markvane.DetectorParameters] = None, batch: int = 8,
                 segment_frames: Optional[int] = SEGMENT_FRAMES, retries: int = 0) -> list:
    """`FileResult`s for `paths`, in order, detected on the cluster `client`
    (a `distributed.Client`) with the given dictionary and parameters; the
    results equal a serial run's.

    `batch` frames are detected together on a worker. Videos are cut into
    tasks of `segment_frames` frames (None: one task per video). A task that
    raises is run again up to `retries` times (tasks lost with a worker are
    run again by the scheduler regardless)."""
    if segment_frames is not None and segment_frames < 1:
        raise ValueError(f"segment_frames must be at least 1 or None, not {segment_frames}")
    params = parameters if parameters is not None else markvane.DetectorParameters()
    sources = [Source(str(p), Path(p).suffix.lower() in VIDEO_SUFFIXES, PurePath(Path(p).name)) for p in paths]
    return [_result(src.path, items)
            for src, items in _run(client, sources, dictionary, params, None, batch, segment_frames, retries)]
