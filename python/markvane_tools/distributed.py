"""Marker detection over many files on a Dask cluster.

The recipe: paths travel to the workers, each worker reads its files itself
(so every worker must see the same paths: a shared file system or object store
mounted alike), detects, and sends back only the results; they are gathered in
input order, and a file that cannot be read, or a task lost with its worker,
is reported for that file alone.

    from distributed import Client
    from markvane_tools.distributed import detect_files

    client = Client("tcp://scheduler:8786")
    for result in detect_files(client, paths, "DICT_6X6_250"):
        if result.error:
            print(result.path, "failed:", result.error)
        for frame, corners, ids in result.frames:   # frame: None for a still image
            ...

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

from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Optional, Sequence

import markvane

from markvane_tools.cli import VIDEO_SUFFIXES, Failure, Source, _detect_source


@dataclass
class FileResult:
    """What one file gave: its frames' `(frame, corners, ids)` (frame is None
    for a still image, the frame number in a video), or the reason it failed."""

    path: str
    frames: list = field(default_factory=list)
    error: Optional[str] = None


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
                 parameters: Optional[markvane.DetectorParameters] = None, batch: int = 8) -> list:
    """`FileResult`s for `paths`, in order, detected on the cluster `client`
    (a `distributed.Client`) with the given dictionary and parameters; the
    results equal a serial run's."""
    params = parameters if parameters is not None else markvane.DetectorParameters()
    sources = [Source(str(p), Path(p).suffix.lower() in VIDEO_SUFFIXES, PurePath(Path(p).name)) for p in paths]
    futures = client.map(_detect_source, [(s, dictionary, params, None, batch) for s in sources], pure=False)
    results = []
    for source, future in zip(sources, futures):
        try:
            results.append(_result(source.path, future.result()))
        except Exception as exc:  # the task failed on its worker, or the worker was lost
            results.append(FileResult(source.path, error=f"failed on the cluster: {type(exc).__name__}: {exc}"))
    return results
