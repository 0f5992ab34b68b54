"""One down-converter per stream, for many streams at once.

`process_many` hands each job to an executor: a thread pool by default (the
native kernel runs without the interpreter lock, so threads scale with
cores), or any object with a ``concurrent.futures``-style ``submit`` such as
a ``dask.distributed.Client``, which spreads the jobs over a cluster. Both go
through the same code: ``submit(_run_job, job)`` and ``future.result()``.
Every job gets its own `DDCR`, so results do not depend on how jobs are
scheduled and equal the single-stream result bit for bit.
"""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Iterable, List, Mapping, Optional, Sequence, Union

import numpy as np

from ._stream import AtomicFile, convert, open_source
from .api import DDCR, norm_freq_for

__all__ = ["Job", "process_many"]

BLOCK = 1 << 16

Source = Union[np.ndarray, str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Job:
    """One stream to down-convert.

    Parameters
    ----------
    source : ndarray or path
        Real samples, or a recording (raw float32 or int16, mono WAV, SigMF),
        read in blocks so its length does not matter.
    carrier : float
        Carrier to bring to 0 Hz: in Hz when `fs` is given, otherwise in
        cycles per input sample.
    rate : float
        Output-to-input rate ratio ``fs_out / fs_in``, in (0, 0.5).
    fs : float, optional
        Input sample rate in Hz, the unit of `carrier`.
    format : str
        Format of a file `source`: ``"auto"`` (by suffix), ``"f32"``,
        ``"s16"``, ``"wav"`` or ``"sigmf"``.
    output : path, optional
        Write raw complex64 here (all or nothing) instead of returning it.
    """

    source: Source
    carrier: float
    rate: float
    fs: Optional[float] = None
    format: str = "auto"
    output: Optional[Union[str, "os.PathLike[str]"]] = None

    def __post_init__(self) -> None:
        if not 0.0 < float(self.rate) < 0.5:
            raise ValueError(f"rate must lie in the open interval (0, 0.5), got {self.rate!r}")
        norm_freq_for(self.carrier, self.fs)  # checks carrier and fs
        if isinstance(self.source, np.ndarray) and np.iscomplexobj(self.source):
            raise TypeError("source samples must be real")

    @property
    def norm_freq(self) -> float:
        return norm_freq_for(self.carrier, self.fs)


JobLike = Union[Job, Mapping[str, Any], Sequence[Any]]


def _as_job(job: JobLike) -> Job:
    if isinstance(job, Job):
        return job
    if isinstance(job, Mapping):
        return Job(**job)
    return Job(*job)


def _run_job(job: Job, block: int = BLOCK) -> Union[np.ndarray, str]:
    with DDCR(job.norm_freq, job.rate) as ddcr:
        if isinstance(job.source, np.ndarray):
            x = np.ascontiguousarray(job.source).reshape(-1)
            if job.output is None:
                return np.array(ddcr.process(x))
            with AtomicFile(job.output) as f:
                for start in range(0, len(x), block):
                    f.write(ddcr.process(x[start:start + block]))
                f.commit()
            return os.fspath(job.output)
        with open_source(job.source, job.format) as src:
            if job.output is None:
                parts: List[np.ndarray] = []
                convert(ddcr, src, lambda y: parts.append(y.copy()), block)
                return np.concatenate(parts) if parts else np.zeros(0, np.complex64)
            with AtomicFile(job.output) as f:
                convert(ddcr, src, f.write, block)
                f.commit()
            return os.fspath(job.output)


def process_many(jobs: Iterable[JobLike], client: Any = None,
                 max_workers: Optional[int] = None) -> List[Union[np.ndarray, str]]:
    """Down-convert many streams, one DDCR each, in parallel.

    Parameters
    ----------
    jobs : iterable of Job, mapping or tuple
        The streams. A mapping gives `Job`'s fields by name; a tuple gives
        ``(source, carrier, rate)`` or ``(source, carrier, rate, fs)``.
    client : executor, optional
        Where to run: anything with ``submit(fn, *args)`` returning a future
        with ``result()``, e.g. a ``dask.distributed.Client`` or a
        ``concurrent.futures`` executor. Workers must see the files named in
        the jobs. By default a thread pool of `max_workers` threads.
    max_workers : int, optional
        Threads of the default pool (default: one per core, at most one per
        job). Ignored when `client` is given.

    Returns
    -------
    list
        Per job, in order: the complex64 output, or the output path for a
        job with `output`.

    Raises
    ------
    ValueError, TypeError
        For a malformed job, before anything runs.
    Exception
        The first failure of a job, after the others have been cancelled.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.ddc import process_many
    >>> t = np.arange(8192)
    >>> x = (np.cos(2 * np.pi * 0.1 * t) + np.cos(2 * np.pi * 0.3 * t)).astype(np.float32)
    >>> a, b = process_many([(x, 0.1, 0.125), (x, 0.3, 0.125)])
    >>> len(a), len(b)
    (1024, 1024)
    >>> bool(abs(a[-1]) > 0.4 and abs(b[-1]) > 0.4)
    True
    """
    todo = [_as_job(j) for j in jobs]
    if not todo:
        return []
    if client is not None:
        return _gather(client, todo)
    workers = max_workers or min(len(todo), os.cpu_count() or 1)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return _gather(pool, todo)


def _gather(executor: Any, todo: List[Job]) -> List[Union[np.ndarray, str]]:
    futures = [executor.submit(_run_job, job) for job in todo]
    try:
        return [f.result() for f in futures]
    except BaseException:
        for f in futures:
            f.cancel()
        raise

