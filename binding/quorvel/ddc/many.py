"""One down-converter per stream, for many streams at once.

`process_many` hands each job to an executor: a thread pool by default (the
native kernel runs without the interpreter lock, so threads scale with
cores), or any object with a ``concurrent.futures``-style ``submit`` such as
a ``dask.distributed.Client``, which spreads the jobs over a cluster. Both go
through the same code: ``submit(_run_job, job)`` and ``future.result()``.
Every job gets its own converter, a `DDCR` for real samples and a `DDC` for
complex ones, so results do not depend on how jobs are scheduled and equal
the single-stream result bit for bit.

With ``shared_input=True`` the designed jobs that read the same input (the
same array object, or the same file path and format) are run as channels of
one `ChannelBank` instead, which reads the input once and shares the
real-to-complex half-band and the fast-convolution FFT. Their results then
have the figures of the job's own converter (pass band flat within 0.05 dB,
stop band ``atten_db`` down) but not its bits: the bank's half-band is
designed for the group's largest rate, its channels may take the
fast-convolution path (its own filter, delay and block size), and a
fast-convolution channel hands out whole FFT blocks, so up to one block of
the end of the input (57344 complex samples) gives no output yet.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Iterable, List, Mapping, Optional, Sequence, Union

import numpy as np

from . import _core
from ._stream import AtomicFile, open_source
from .api import DDC, DDCR, DEFAULT_ATTEN_DB, norm_freq_for
from .bank import ChannelBank

__all__ = ["Job", "process_many"]

BLOCK = 1 << 16

Source = Union[np.ndarray, str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Job:
    """One stream to down-convert.

    Parameters
    ----------
    source : ndarray or path
        Real ``float32`` samples, ``complex64`` samples (converted by a
        `DDC`), or a real recording (raw float32 or int16, mono WAV, SigMF),
        read in blocks so its length does not matter.
    carrier : float
        Carrier to bring to 0 Hz: in Hz when `fs` is given, otherwise in
        cycles per input sample; in ``[0, fs/2]`` for real samples, in
        ``(-fs/2, fs/2)`` for complex ones.
    rate : float
        Output-to-input rate ratio ``fs_out / fs_in``: in (0, 0.5) for real
        samples, any positive ratio the `DDC` builds for complex ones.
    fs : float, optional
        Input sample rate in Hz, the unit of `carrier`.
    format : str
        Format of a file `source`: ``"auto"`` (by suffix), ``"f32"``,
        ``"s16"``, ``"wav"`` or ``"sigmf"``.
    output : path, optional
        Write raw complex64 here (all or nothing) instead of returning it.
    atten_db : float or None
        Stop-band attenuation of the designed plan, in [40, 120] dB (default
        80), or None for the exact plan.
    """

    source: Source
    carrier: float
    rate: float
    fs: Optional[float] = None
    format: str = "auto"
    output: Optional[Union[str, "os.PathLike[str]"]] = None
    atten_db: Optional[float] = DEFAULT_ATTEN_DB

    def __post_init__(self) -> None:
        if isinstance(self.source, np.ndarray) and not np.can_cast(
                self.source.dtype, np.complex64 if self.is_complex else np.float32, "safe"):
            want = "complex64" if self.is_complex else "float32"
            raise TypeError(f"source samples of dtype {self.source.dtype} do not cast safely "
                            f"to {want}: pass {want} samples")
        _core.check("ddc" if self.is_complex else "ddcr", float(self.rate), self.atten_db)
        _ = self.norm_freq  # checks carrier and fs

    @property
    def is_complex(self) -> bool:
        """True for complex samples, which a `DDC` converts."""
        return isinstance(self.source, np.ndarray) and np.iscomplexobj(self.source)

    @property
    def norm_freq(self) -> float:
        """The converter's oscillator setting for `carrier`."""
        if not self.is_complex:
            return norm_freq_for(self.carrier, self.fs)
        f = float(self.carrier)
        fs = 1.0 if self.fs is None else float(self.fs)
        if not (math.isfinite(fs) and fs > 0.0):
            raise ValueError(f"fs must be positive and finite, got {self.fs!r}")
        if not (math.isfinite(f) and -fs / 2 < f < fs / 2):
            band = "(-0.5, 0.5) cycles per input sample" if self.fs is None else \
                f"(-fs/2, fs/2) = ({-fs / 2:g}, {fs / 2:g}) Hz"
            raise ValueError(f"carrier {self.carrier!r} of complex samples lies outside {band}")
        return -f / fs or 0.0  # no -0.0

    def converter(self) -> Union[DDCR, DDC]:
        """A new converter for this job, not yet fed."""
        kind = DDC if self.is_complex else DDCR
        return kind(self.norm_freq, float(self.rate), atten_db=self.atten_db)


JobLike = Union[Job, Mapping[str, Any], Sequence[Any]]


def _as_job(job: JobLike) -> Job:
    if isinstance(job, Job):
        return job
    if isinstance(job, Mapping):
        return Job(**job)
    return Job(*job)


def _run_job(job: Job, block: int = BLOCK) -> Union[np.ndarray, str]:
    with job.converter() as conv:
        if isinstance(job.source, np.ndarray):
            x = job.source.reshape(-1)
            blocks: Iterable[np.ndarray] = (x[i:i + block] for i in range(0, len(x), block))
            if job.output is None:
                return conv.process(x)
            return _write(job.output, conv, blocks)
        with open_source(job.source, job.format) as src:
            if job.output is None:
                parts = [y for y in (conv.process(b) for b in src.blocks(block)) if len(y)]
                return np.concatenate(parts) if parts else np.zeros(0, np.complex64)
            return _write(job.output, conv, src.blocks(block))


def _write(path: Union[str, "os.PathLike[str]"], conv: Union[DDCR, DDC],
           blocks: Iterable[np.ndarray]) -> str:
    with AtomicFile(path) as f:
        for b in blocks:
            f.write(conv.process(b))
        f.commit()
    return os.fspath(path)


def _cycles(job: Job) -> float:
    return float(job.carrier) / (1.0 if job.fs is None else float(job.fs))


def _run_group(group: List[Job], block: int = BLOCK) -> List[Union[np.ndarray, str]]:
    """The jobs of one input through one ChannelBank, results in their order."""
    first = group[0]
    bank = ChannelBank(complex_input=first.is_complex,
                       atten_db=max(float(j.atten_db) for j in group),  # type: ignore[arg-type]
                       max_rate=max(float(j.rate) for j in group))
    with bank:
        ids = [bank.add(_cycles(j), float(j.rate), atten_db=float(j.atten_db))  # type: ignore[arg-type]
               for j in group]
        parts: List[List[np.ndarray]] = [[] for _ in group]

        def feed(b: np.ndarray) -> None:
            out = bank.process(b)
            for k, cid in enumerate(ids):
                if len(out[cid]):
                    parts[k].append(out[cid])

        if isinstance(first.source, np.ndarray):
            x = first.source.reshape(-1)
            for i in range(0, len(x), block):
                feed(x[i:i + block])
        else:
            with open_source(first.source, first.format) as src:
                for b in src.blocks(block):
                    feed(b)
    results: List[Union[np.ndarray, str]] = []
    for job, p in zip(group, parts):
        y = np.concatenate(p) if p else np.zeros(0, np.complex64)
        if job.output is None:
            results.append(y)
        else:
            with AtomicFile(job.output) as f:
                f.write(y)
                f.commit()
            results.append(os.fspath(job.output))
    return results


def _input_key(job: Job) -> Any:
    if job.atten_db is None:
        return None  # the exact plan has no bank channel
    if isinstance(job.source, np.ndarray):
        return ("array", id(job.source), job.is_complex)
    return ("file", os.path.abspath(os.fspath(job.source)), job.format)


def process_many(jobs: Iterable[JobLike], client: Any = None,
                 max_workers: Optional[int] = None,
                 shared_input: bool = False) -> List[Union[np.ndarray, str]]:
    """Down-convert many streams, one converter each, in parallel.

    Parameters
    ----------
    jobs : iterable of Job, mapping or tuple
        The streams. A mapping gives `Job`'s fields by name (``atten_db``
        included); a tuple gives ``(source, carrier, rate)`` or ``(source,
        carrier, rate, fs)``. Real samples go through a `DDCR`, ``complex64``
        ones through a `DDC`.
    client : executor, optional
        Where to run: anything with ``submit(fn, *args)`` returning a future
        with ``result()``, e.g. a ``dask.distributed.Client`` or a
        ``concurrent.futures`` executor. Workers must see the files named in
        the jobs. By default a thread pool of `max_workers` threads.
    max_workers : int, optional
        Threads of the default pool (default: one per core, at most one per
        job). Ignored when `client` is given.
    shared_input : bool
        Run designed jobs on the same input (array object, or file path and
        format) as channels of one `ChannelBank`, reading it once: the
        converters' figures rather than their bits (see the module notes).
        Exact-plan jobs and jobs alone on their input run as usual.

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
    >>> len(a) == len(b), abs(len(a) - 1024) <= 2
    (True, True)
    >>> bool(abs(a[-1]) > 0.4 and abs(b[-1]) > 0.4)
    True
    >>> z = np.exp(2j * np.pi * 0.05 * t).astype(np.complex64)
    >>> c, = process_many([{"source": z, "carrier": 0.05, "rate": 0.25, "atten_db": None}])
    >>> len(c), bool(abs(abs(c[-1]) - 1) < 1e-3)
    (2048, True)
    """
    todo = [_as_job(j) for j in jobs]
    if not todo:
        return []
    # Units of work: one job, or (with shared_input) the jobs of one input.
    units: List[List[int]] = []
    groups: dict = {}
    for i, job in enumerate(todo):
        key = _input_key(job) if shared_input else None
        if key is None:
            units.append([i])
        elif key in groups:
            groups[key].append(i)
        else:
            groups[key] = [i]
            units.append(groups[key])
    if client is not None:
        return _gather(client, todo, units)
    workers = max_workers or min(len(units), os.cpu_count() or 1)
    from concurrent.futures import ThreadPoolExecutor  # not for every importer of the package

    with ThreadPoolExecutor(max_workers=workers) as pool:
        return _gather(pool, todo, units)


def _gather(executor: Any, todo: List[Job], units: List[List[int]]) -> List[Union[np.ndarray, str]]:
    futures = [executor.submit(_run_job, todo[u[0]]) if len(u) == 1 else
               executor.submit(_run_group, [todo[i] for i in u]) for u in units]
    results: List[Union[np.ndarray, str, None]] = [None] * len(todo)
    try:
        for u, f in zip(units, futures):
            r = f.result()
            if len(u) == 1:
                results[u[0]] = r
            else:
                for i, y in zip(u, r):
                    results[i] = y
    except BaseException:
        for f in futures:
            f.cancel()
        raise
    return results  # type: ignore[return-value]

