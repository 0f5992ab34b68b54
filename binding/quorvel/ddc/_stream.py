"""Block readers for recordings and an all-or-nothing output file.

Every reader yields real float32 blocks of bounded size, so memory stays
constant however long the recording is. Fixed-point formats are scaled to
[-1, 1) by a power of two, which is exact in float32 and matches what the
``sigmf`` package returns for the same data. Errors that a user can fix
(missing file, bad header, unsupported encoding) are raised as `InputError`
with a one-line message.
"""
from __future__ import annotations

import os
import secrets
import stat
import sys
import wave
from pathlib import Path
from typing import BinaryIO, Callable, Iterator, Optional, Tuple, Union

import numpy as np

FORMATS = ("f32", "s16", "wav", "sigmf")
_SIGMF_SUFFIXES = (".sigmf-meta", ".sigmf-data", ".sigmf")

PathLike = Union[str, "os.PathLike[str]"]


class InputError(Exception):
    """A recording that cannot be read, said in one line."""


def guess_format(path: Optional[PathLike]) -> str:
    """Format implied by a file name: WAV and SigMF by suffix, else raw float32."""
    if path is None:
        return "f32"
    name = os.fspath(path).lower()
    if name.endswith(".wav"):
        return "wav"
    if name.endswith(_SIGMF_SUFFIXES):
        return "sigmf"
    return "f32"


class Source:
    """A real recording read in blocks.

    Attributes: ``name`` (for messages), ``sample_rate`` (Hz or None),
    ``frequency`` (centre frequency of the recording in Hz or None),
    ``length`` (samples, or None when unknown, as for a pipe) and
    ``paths`` (files the source reads, for clash checks).
    """

    name: str
    sample_rate: Optional[float] = None
    frequency: Optional[float] = None
    length: Optional[int] = None
    paths: Tuple[str, ...] = ()

    def blocks(self, block: int) -> Iterator[np.ndarray]:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class RawSource(Source):
    """Headerless little-endian float32 or int16 samples from a file or stream."""

    def __init__(self, stream: BinaryIO, name: str, dtype: str,
                 length: Optional[int] = None, owned: bool = False,
                 paths: Tuple[str, ...] = ()) -> None:
        self._f = stream
        self._owned = owned
        self.name = name
        self._dtype = np.dtype(dtype)
        self.length = length
        self.paths = paths

    def blocks(self, block: int) -> Iterator[np.ndarray]:
        size = self._dtype.itemsize
        want = block * size
        pending = b""
        # read1 hands over whatever a pipe has ready, so a live stream is not
        # held back until a full block arrives; block boundaries do not change
        # the output.
        read = getattr(self._f, "read1", self._f.read)
        while True:
            chunk = read(want - len(pending))
            if not chunk:
                break
            data = pending + chunk if pending else chunk
            whole = len(data) - len(data) % size
            pending = data[whole:]
            if whole:
                yield self._convert(np.frombuffer(data, dtype=self._dtype, count=whole // size))
        if pending:
            raise InputError(f"{self.name}: ends inside a sample ({len(pending)} stray bytes)")

    def _convert(self, raw: np.ndarray) -> np.ndarray:
        if self._dtype.kind == "f":
            return raw.astype(np.float32)
        return raw.astype(np.float32) * np.float32(2.0 ** -15)

    def close(self) -> None:
        if self._owned:
            self._f.close()


class WavSource(Source):
    """Mono PCM WAV (8, 16, 24 or 32 bits) through the standard library."""

    def __init__(self, path: PathLike) -> None:
        self.name = os.fspath(path)
        self.paths = (self.name,)
        try:
            self._w = wave.open(self.name, "rb")
        except OSError as e:
            raise InputError(f"{self.name}: {e.strerror or e}") from None
        except (wave.Error, EOFError) as e:
            raise InputError(f"{self.name}: not a readable WAV file ({e or 'truncated header'})") from None
        channels = self._w.getnchannels()
        self._width = self._w.getsampwidth()
        if channels != 1:
            self._w.close()
            raise InputError(f"{self.name}: WAV has {channels} channels; only mono is supported")
        if self._width not in (1, 2, 3, 4):
            self._w.close()
            raise InputError(f"{self.name}: unsupported WAV sample width of {self._width} bytes")
        self.sample_rate = float(self._w.getframerate())
        self.length = self._total = self._w.getnframes()

    def blocks(self, block: int) -> Iterator[np.ndarray]:
        got, total = 0, self._total
        while got < total:
            raw = self._w.readframes(min(block, total - got))
            n = len(raw) // self._width
            if n == 0:
                break
            got += n
            yield _pcm_to_float(raw[: n * self._width], self._width)
        if got < total:
            raise InputError(f"{self.name}: truncated WAV data ({got} of {total} samples)")

    def close(self) -> None:
        self._w.close()


def _pcm_to_float(raw: bytes, width: int) -> np.ndarray:
    if width == 1:  # unsigned, offset by 128
        return (np.frombuffer(raw, np.uint8).astype(np.float32) - np.float32(128.0)) * np.float32(2.0 ** -7)
    if width == 2:
        return np.frombuffer(raw, "<i2").astype(np.float32) * np.float32(2.0 ** -15)
    if width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        v = np.where(v >= 1 << 23, v - (1 << 24), v)
        return v.astype(np.float32) * np.float32(2.0 ** -23)
    return np.frombuffer(raw, "<i4").astype(np.float32) * np.float32(2.0 ** -31)


class SigMFSource(Source):
    """Single-channel real SigMF recording, read in blocks with ``sigmf``."""

    def __init__(self, path: PathLike) -> None:
        from sigmf import sigmffile

        self.name = os.fspath(path)
        try:
            handle = sigmffile.fromfile(self.name, skip_checksum=True)
            if not isinstance(handle, sigmffile.SigMFFile):
                raise InputError(f"{self.name}: a SigMF collection, not a single recording")
            handle.validate()
            datatype = handle.get_global_field("core:datatype")
            info = sigmffile.dtype_info(datatype)
        except InputError:
            raise
        except FileNotFoundError as e:
            raise InputError(f"{self.name}: {e.strerror or e}") from None
        except Exception as e:  # sigmf, json and schema errors alike
            msg = " ".join(str(e).split()) or type(e).__name__
            raise InputError(f"{self.name}: not a readable SigMF recording ({msg[:200]})") from None
        if info["is_complex"]:
            raise InputError(f"{self.name}: SigMF datatype {datatype} is complex; only real sample formats are supported")
        channels = handle.num_channels
        if channels != 1:
            raise InputError(f"{self.name}: SigMF recording has {channels} channels; only one is supported")
        if handle.data_file is None and handle.data_buffer is None:
            raise InputError(f"{self.name}: SigMF recording has no dataset")
        self._h = handle
        rate = handle.get_global_field("core:sample_rate")
        self.sample_rate = float(rate) if rate is not None else None
        captures = handle.get_captures()
        freq = captures[0].get("core:frequency") if captures else None
        self.frequency = float(freq) if freq is not None else None
        self.length = self._total = int(handle.sample_count)
        paths = [self.name]
        if handle.data_file is not None:
            paths.append(os.fspath(handle.data_file))
        self.paths = tuple(paths)

    def blocks(self, block: int) -> Iterator[np.ndarray]:
        start, total = 0, self._total
        while start < total:
            count = min(block, total - start)
            try:
                x = self._h.read_samples(start, count)
            except Exception as e:
                raise InputError(f"{self.name}: cannot read samples ({e})") from None
            if len(x) < count:
                raise InputError(f"{self.name}: truncated dataset ({start + len(x)} of {total} samples)")
            start += count
            yield np.ascontiguousarray(x, dtype=np.float32).reshape(-1)


def open_source(path: Optional[PathLike], fmt: str = "auto",
                stdin: Optional[BinaryIO] = None) -> Source:
    """Open a recording by path (None or "-" reads `stdin`) in a named format."""
    if path is not None and os.fspath(path) == "-":
        path = None
    if fmt == "auto":
        fmt = guess_format(path)
    if fmt not in FORMATS:
        raise InputError(f"unsupported input format {fmt!r} (choose from {', '.join(FORMATS)})")
    dtype = "<f4" if fmt == "f32" else "<i2"
    if path is None:
        if fmt not in ("f32", "s16"):
            raise InputError(f"{fmt} input needs a file; standard input carries raw f32 or s16 only")
        stream = stdin if stdin is not None else sys.stdin.buffer
        return RawSource(stream, "standard input", dtype)
    name = os.fspath(path)
    if fmt == "wav":
        return WavSource(name)
    if fmt == "sigmf":
        return SigMFSource(name)
    try:
        f = open(name, "rb")
    except OSError as e:
        raise InputError(f"{name}: {e.strerror or e}") from None
    length = None
    try:
        st = os.fstat(f.fileno())
        if stat.S_ISREG(st.st_mode):
            size = np.dtype(dtype).itemsize
            if st.st_size % size:
                raise InputError(f"{name}: {st.st_size} bytes is not a whole number of "
                                 f"{size}-byte {fmt} samples")
            length = st.st_size // size
    except BaseException:
        f.close()
        raise
    return RawSource(f, name, dtype, length=length, owned=True, paths=(name,))


def read_all(source: Source, block: int = 1 << 16) -> np.ndarray:
    """Whole recording as one float32 array (for tests and small files)."""
    parts = list(source.blocks(block))
    return np.concatenate(parts) if parts else np.zeros(0, np.float32)


class AtomicFile:
    """A file that appears under its name only when complete.

    Writes go to a hidden temporary file in the same directory (so the final
    rename stays on one file system); `commit` renames it into place,
    `discard` removes it. Leaving a ``with`` block by an exception discards.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = Path(path)
        directory = self.path.parent
        while True:
            tmp = directory / f".{self.path.name}.{secrets.token_hex(4)}.part"
            try:
                # 0o666 under the umask, as a plain open() would create it
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                break
            except FileExistsError:
                continue
        self.tmp = tmp
        self.file: Optional[BinaryIO] = os.fdopen(fd, "wb")

    def write(self, data: Union[bytes, memoryview, np.ndarray]) -> None:
        assert self.file is not None
        self.file.write(data.data if isinstance(data, np.ndarray) else data)

    def commit(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None
        os.replace(self.tmp, self.path)

    def discard(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None
        try:
            os.unlink(self.tmp)
        except FileNotFoundError:
            pass

    def __enter__(self) -> "AtomicFile":
        return self

    def __exit__(self, exc_type: object, *rest: object) -> None:
        if exc_type is not None:
            self.discard()


def convert(ddcr: "object", source: Source, write: Callable[[np.ndarray], None],
            block: int = 1 << 16, progress: Optional[Callable[[int], None]] = None) -> int:
    """Stream `source` through `ddcr` in blocks; returns the output samples written."""
    from .api import output_capacity

    out = np.empty(output_capacity(block), dtype=np.complex64)
    total = 0
    for x in source.blocks(block):
        y = ddcr.process(x, out=out)  # type: ignore[attr-defined]
        if len(y):
            write(y)
            total += len(y)
        if progress is not None:
            progress(len(x))
    return total
