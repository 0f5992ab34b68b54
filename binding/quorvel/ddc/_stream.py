"""Block readers and writers for recordings, and an all-or-nothing output file.

Readers yield float32 (real) or complex64 (I/Q) blocks that are views of
buffers allocated once, so memory stays constant however long the recording;
a block is valid until `slots` more are asked for (one by default). A
regular file is mapped, so native float32 data reaches the converter as a
view of the page cache (from a pipe it is read straight into the array the
converter reads); other sample types are decoded into reused float32 buffers
by NumPy ufuncs.
Fixed-point formats are scaled to [-1, 1) by a power of two after the
conversion to float32, exactly as the ``sigmf`` package does, so both read
the same recording as the same bits. Errors a user can fix are raised as
`InputError` with a one-line message that names the user's path.
"""
from __future__ import annotations

import os
import re
import select
import stat
import sys
import threading
import time
from queue import SimpleQueue
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]


class InputError(Exception):
    """A recording that cannot be read or an output that cannot be written, in one line."""


# -- sample formats -------------------------------------------------------------

class Decoder:
    """Turns raw bytes of one sample type into float32 or complex64 samples.

    `component` is the NumPy type of one real value (of I or Q for complex
    data); fixed-point values v read (v - offset) * 2**-(bits-1).
    """

    def __init__(self, component: str, is_complex: bool) -> None:
        self.component = np.dtype(component)
        self.is_complex = is_complex
        self.parts = 2 if is_complex else 1
        self.itemsize = self.component.itemsize * self.parts
        kind = self.component.kind
        bits = 8 * self.component.itemsize
        self.fixed = kind in "iu"
        self.scale = np.float32(2.0 ** -(bits - 1)) if self.fixed else None
        self.offset = np.float32(2.0 ** (bits - 1)) if kind == "u" else None
        self.native = self.component == np.dtype("=f4")

    def buffer(self, samples: int) -> Optional[np.ndarray]:
        """The reused float32 buffer decode needs for `samples` (None: decoded in place)."""
        return None if self.native else np.empty(samples * self.parts, np.float32)

    def decode(self, raw: np.ndarray, out: Optional[np.ndarray]) -> np.ndarray:
        """`raw` (uint8, a whole number of samples) as float32 or complex64."""
        values = raw.view(self.component)
        if out is None:
            f = values
        else:
            f = out[: values.size]
            if self.offset is not None:
                np.subtract(values, self.offset, out=f, dtype=np.float32)
                np.multiply(f, self.scale, out=f)
            elif self.scale is not None:
                np.multiply(values, self.scale, out=f, dtype=np.float32)
            else:  # float64, or float32 of the other byte order
                np.copyto(f, values, casting="same_kind")
        return f.view(np.complex64) if self.is_complex else f


# Raw formats: name -> (component type, complex). cu8 is offset binary like
# SigMF's cu8 and 8-bit WAV: 128 reads 0.
RAW_FORMATS: Dict[str, Tuple[str, bool]] = {
    "f32": ("<f4", False),
    "s16": ("<i2", False),
    "cu8": ("u1", True),
    "cs8": ("i1", True),
    "cs16": ("<i2", True),
    "cf32": ("<f4", True),
}
FORMATS = tuple(RAW_FORMATS) + ("wav", "sigmf")

SUFFIXES: Dict[str, str] = {
    ".f32": "f32", ".float": "f32",
    ".s16": "s16",
    ".cu8": "cu8",
    ".cs8": "cs8",
    ".cs16": "cs16", ".sc16": "cs16",
    ".cf32": "cf32", ".fc32": "cf32", ".cfile": "cf32",
    ".wav": "wav", ".wave": "wav", ".rf64": "wav",
    ".sigmf-meta": "sigmf", ".sigmf-data": "sigmf", ".sigmf": "sigmf",
}


def suffix_list() -> str:
    """The recognised suffixes grouped by format, for messages and help."""
    by: Dict[str, List[str]] = {}
    for suffix, fmt in SUFFIXES.items():
        by.setdefault(fmt, []).append(suffix)
    return ", ".join(f"{fmt} ({' '.join(s)})" for fmt, s in by.items())


def guess_format(path: Optional[PathLike]) -> Optional[str]:
    """Format implied by a file name (None: the suffix says nothing); stdin is f32."""
    if path is None:
        return "f32"
    name = os.fspath(path).lower()
    for suffix, fmt in SUFFIXES.items():
        if name.endswith(suffix):
            return fmt
    return None


# -- sources ----------------------------------------------------------------------

class Source:
    """A recording read in blocks.

    Attributes: ``name`` (for messages), ``is_complex``, ``sample_rate`` (Hz
    or None), ``frequency`` (centre frequency in Hz or None), ``length``
    (samples, or None when unknown, as for a pipe), ``paths`` (files the
    source reads, for clash checks), ``fd`` (descriptor read, for clash
    checks against standard input), ``sigmf`` (the SigMF metadata as
    ``(global, captures, annotations)`` for provenance, or None) and
    ``live`` (True when reading a pipe or device, whose next bytes may never
    come).
    """

    name: str
    is_complex: bool = False
    sample_rate: Optional[float] = None
    frequency: Optional[float] = None
    length: Optional[int] = None
    paths: Tuple[str, ...] = ()
    fd: Optional[int] = None
    sigmf: Optional[Tuple[dict, list, list]] = None
    live: bool = False

    def blocks(self, block: int, slots: int = 1) -> Iterator[np.ndarray]:
        """Blocks of at most `block` samples, each valid until `slots` more are asked for."""
        raise NotImplementedError

    def close(self) -> None:
        pass

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _grow_pipe(fd: int) -> None:
    # A 1 MiB pipe buffer (the default limit) means fewer, larger reads and writes.
    try:
        import fcntl

        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), 1 << 20)
    except (OSError, ImportError, ValueError):
        pass


LATENCY = 0.02  # seconds a block from a pipe waits for more at most
PAUSE = 0.002   # an empty pipe for this long hands the block over
class RawSource(Source):
    """Headerless samples of one `Decoder` type from a file or stream.

    A regular file is mapped and its blocks are views of the mapping (or
    decoded from it); a stream is read with ``readinto`` into reused
    buffers. From a pipe, a block
    is handed over as soon as the pipe has nothing more ready, so a live
    stream is not held back until a whole block arrives; block boundaries do
    not change the output.
    """

    def __init__(self, f: BinaryIO, name: str, decoder: Decoder, length: Optional[int] = None,
                 owned: bool = False, paths: Tuple[str, ...] = (), limit: Optional[int] = None,
                 regular: bool = False) -> None:
        self._f = f
        self._owned = owned
        self._dec = decoder
        self._limit = limit  # bytes to read at most (a dataset inside a larger file)
        self._regular = regular
        self.name = name
        self.is_complex = decoder.is_complex
        self.length = length
        self.paths = paths
        self.live = not regular
        try:
            self.fd = f.fileno()
        except (AttributeError, OSError, ValueError):
            self.fd = None
        if self.fd is not None and not regular:
            _grow_pipe(self.fd)

    def blocks(self, block: int, slots: int = 1) -> Iterator[np.ndarray]:
        if self._regular and self.fd is not None:
            return self._mapped(block, slots)
        return self._read(block, slots)

    def _mapped(self, block: int, slots: int) -> Iterator[np.ndarray]:
        # A regular file is read through a mapping: the blocks are views of
        # the page cache (or decoded straight from it), no copy through read().
        # The file is mapped as far as it reaches; one that grows meanwhile (a
        # recording still being written) is mapped again, as read() would go on.
        import mmap

        size = self._dec.itemsize
        outs = [self._dec.buffer(block) for _ in range(slots)]
        slot = 0
        pos = os.lseek(self.fd, 0, os.SEEK_CUR)  # type: ignore[arg-type]
        end = None if self._limit is None else pos + self._limit
        self._maps: List[mmap.mmap] = []
        while True:
            reach = os.fstat(self.fd).st_size  # type: ignore[arg-type]
            if end is not None:
                reach = min(reach, end)
            stop = pos + (reach - pos) // size * size
            if stop <= pos:
                break
            base = pos - pos % mmap.ALLOCATIONGRANULARITY
            m = mmap.mmap(self.fd, reach - base, prot=mmap.PROT_READ, offset=base)  # type: ignore[arg-type]
            self._maps.append(m)
            try:
                m.madvise(mmap.MADV_SEQUENTIAL)
            except (AttributeError, OSError, ValueError):
                pass
            data = np.frombuffer(m, np.uint8)
            while pos < stop:
                n = min(block * size, stop - pos)
                if os.fstat(self.fd).st_size < pos + n:  # type: ignore[arg-type]
                    # cut under us: reading the mapping beyond the end would be fatal
                    raise InputError(f"{self.name}: file shrank while being read")
                yield self._dec.decode(data[pos - base:pos - base + n], outs[slot])
                slot = (slot + 1) % slots
                pos += n
            del data
            os.lseek(self.fd, pos, os.SEEK_SET)  # type: ignore[arg-type]
            if reach - stop:
                break  # a partial sample at the end: nothing whole follows
        left = reach - pos  # the loop ends on the file's (or the dataset's) last reach
        if left > 0:
            raise InputError(f"{self.name}: ends inside a sample ({left} stray bytes)")

    def _read(self, block: int, slots: int) -> Iterator[np.ndarray]:
        size = self._dec.itemsize
        bufs = [(np.empty(block * size, np.uint8), self._dec.buffer(block)) for _ in range(slots)]
        slot = 0
        raw, out = bufs[0]
        view = memoryview(raw)
        readinto = self._f.readinto  # type: ignore[attr-defined]
        poll = None
        if not self._regular and self.fd is not None:
            poll = select.poll()
            poll.register(self.fd, select.POLLIN)
        left = self._limit
        have = 0
        eof = False
        while not eof:
            deadline = None
            while True:
                want = len(raw) if left is None else min(len(raw), have + left)
                got = readinto(view[have:want]) if want > have else 0
                if not got:
                    eof = True
                    break
                have += got
                if left is not None:
                    left -= got
                if have == len(raw):
                    break
                if poll is not None and have >= size:
                    # A live stream's block goes on within LATENCY of its first
                    # bytes, or once the pipe stays empty for a moment; a fast
                    # producer fills whole blocks.
                    now = time.monotonic()
                    if deadline is None:
                        deadline = now + LATENCY
                    wait = int(min(deadline - now, PAUSE) * 1000)
                    if wait <= 0 or not poll.poll(wait):
                        break
            whole = have - have % size
            tail = have - whole
            if whole:
                yield self._dec.decode(raw[:whole], out)
                # the next block goes to the next slot, the stray bytes first
                slot = (slot + 1) % slots
                last, (raw, out) = raw, bufs[slot]
                view = memoryview(raw)
                if tail:
                    raw[:tail] = last[whole:have]
            have = tail
        if have:
            raise InputError(f"{self.name}: ends inside a sample ({have} stray bytes)")

    def close(self) -> None:
        for m in getattr(self, "_maps", ()):
            try:
                m.close()
            except BufferError:
                pass  # a block still in use keeps its mapping until it goes
        if self._owned:
            self._f.close()


def _open_raw_file(name: str, decoder: Decoder, fmt: str) -> RawSource:
    try:
        f = open(name, "rb", buffering=0)
    except OSError as e:
        raise InputError(f"{name}: {e.strerror or e}") from None
    try:
        st = os.fstat(f.fileno())
        if stat.S_ISDIR(st.st_mode):
            raise InputError(f"{name}: is a directory")
        length = None
        regular = stat.S_ISREG(st.st_mode)
        if regular:
            if st.st_size % decoder.itemsize:
                raise InputError(f"{name}: {st.st_size} bytes is not a whole number of "
                                 f"{decoder.itemsize}-byte {fmt} samples")
            length = st.st_size // decoder.itemsize
            _advise_sequential(f.fileno())
    except BaseException:
        f.close()
        raise
    return RawSource(f, name, decoder, length=length, owned=True, paths=(name,), regular=regular)


def _advise_sequential(fd: int) -> None:
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_SEQUENTIAL)
    except (AttributeError, OSError):
        pass


class WavSource(Source):
    """WAV (and whatever else libsndfile reads) through ``soundfile``.

    One channel is a real signal, two are I and Q. Every sample type comes
    out as float32 with full scale 1, decoded by libsndfile straight into
    the reused block buffer.
    """

    def __init__(self, name: str) -> None:
        import soundfile

        self.name = name
        self.paths = (name,)
        if os.path.isdir(name):
            raise InputError(f"{name}: is a directory")
        try:
            if os.path.getsize(name) == 0:
                raise InputError(f"{name}: empty file, not a WAV recording")
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        try:
            self._sf = soundfile.SoundFile(name)
        except (RuntimeError, soundfile.LibsndfileError) as e:
            why = " ".join(str(e).split()).replace(f"Error opening {name!r}: ", "")
            raise InputError(f"{name}: not a readable WAV recording ({why})") from None
        try:
            self._check()
        except BaseException:
            self._sf.close()
            raise
        self.sample_rate = float(self._sf.samplerate)
        self.length = self._sf.frames

    def _check(self) -> None:
        channels = self._sf.channels
        if channels not in (1, 2):
            raise InputError(f"{self.name}: WAV has {channels} channels; one (real) or two "
                             "(I and Q) are supported")
        self.is_complex = channels == 2
        # libsndfile reads a cut file up to its end without a word; its log says so.
        cut = re.search(r"\bdata\s*:\s*(\d+)\s*\(should be (\d+)\)", self._sf.extra_info)
        if cut and int(cut.group(2)) < int(cut.group(1)):
            raise InputError(f"{self.name}: truncated WAV data (the header announces "
                             f"{cut.group(1)} bytes, the file holds {cut.group(2)})")
        if self._sf.frames == 0:
            raise InputError(f"{self.name}: WAV holds no samples")

    def blocks(self, block: int, slots: int = 1) -> Iterator[np.ndarray]:
        parts = 2 if self.is_complex else 1
        bufs = [np.empty((block, parts) if parts == 2 else block, np.float32) for _ in range(slots)]
        read = self._sf.read
        got, total = 0, self.length or 0
        while got < total:
            y = read(out=bufs[0], dtype="float32")
            bufs.append(bufs.pop(0))
            if len(y) == 0:
                raise InputError(f"{self.name}: truncated WAV data ({got} of {total} samples)")
            got += len(y)
            yield y.view(np.complex64).reshape(-1) if parts == 2 else y

    def close(self) -> None:
        self._sf.close()


class SigMFSource(Source):
    """Single-channel SigMF recording of any real or complex datatype.

    The ``sigmf`` package reads and validates the metadata; the samples are
    read from the dataset (or the archive member) directly in blocks.
    """

    def __init__(self, name: str) -> None:
        from sigmf import sigmffile

        self.name = name
        try:
            handle = sigmffile.fromfile(name, skip_checksum=True)
            if not isinstance(handle, sigmffile.SigMFFile):
                raise InputError(f"{name}: a SigMF collection, not a single recording")
            handle.validate()
            datatype = handle.get_global_field("core:datatype")
            info = sigmffile.dtype_info(datatype)
        except InputError:
            raise
        except FileNotFoundError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        except Exception as e:  # sigmf, json and schema errors alike
            msg = " ".join(str(e).split()) or type(e).__name__
            raise InputError(f"{name}: not a readable SigMF recording ({msg[:200]})") from None
        channels = handle.num_channels
        if channels != 1:
            raise InputError(f"{name}: SigMF recording has {channels} channels; only one is supported")
        if handle.data_file is None:
            raise InputError(f"{name}: SigMF recording has no dataset")
        self.datatype = datatype
        self._decoder = Decoder(info["component_dtype"].str, bool(info["is_complex"]))
        self.is_complex = self._decoder.is_complex
        rate = handle.get_global_field("core:sample_rate")
        self.sample_rate = float(rate) if rate is not None else None
        captures = handle.get_captures()
        freq = captures[0].get("core:frequency") if captures else None
        self.frequency = float(freq) if freq is not None else None
        self.length = int(handle.sample_count)
        self._data = os.fspath(handle.data_file)
        self._offset = int(getattr(handle, "data_offset", 0) or 0)
        self.paths = tuple(dict.fromkeys([name, self._data, _meta_of(self._data)]))
        self.sigmf = (dict(handle.get_global_info()), [dict(c) for c in captures],
                      [dict(a) for a in handle.get_annotations()])
        self._raw: Optional[RawSource] = None

    def blocks(self, block: int, slots: int = 1) -> Iterator[np.ndarray]:
        try:
            f = open(self._data, "rb", buffering=0)
        except OSError as e:
            raise InputError(f"{self._data}: {e.strerror or e}") from None
        f.seek(self._offset)
        _advise_sequential(f.fileno())
        want = self.length * self._decoder.itemsize  # type: ignore[operator]
        self._raw = RawSource(f, self.name, self._decoder, owned=True, limit=want, regular=True)
        got = 0
        for x in self._raw.blocks(block, slots):
            got += len(x)
            yield x
        if got < (self.length or 0):
            raise InputError(f"{self.name}: truncated dataset ({got} of {self.length} samples)")

    def close(self) -> None:
        if self._raw is not None:
            self._raw.close()


def _meta_of(data: str) -> str:
    base = data[: -len(".sigmf-data")] if data.endswith(".sigmf-data") else data
    return base + ".sigmf-meta"


def open_source(path: Optional[PathLike], fmt: str = "auto",
                stdin: Optional[BinaryIO] = None, strict: bool = False) -> Source:
    """Open a recording by path (None or "-" reads `stdin`) in a named format.

    With "auto", a file whose suffix says nothing is read as f32, or refused
    when `strict` (as the command does).
    """
    if path is not None and os.fspath(path) == "-":
        path = None
    if fmt == "auto":
        guessed = guess_format(path)
        if guessed is None and not strict:
            guessed = "f32"
        if guessed is None:
            raise InputError(f"{os.fspath(path)}: the suffix does not say the format; give "  # type: ignore[arg-type]
                             f"-f with one of {', '.join(FORMATS)} (recognised suffixes: "
                             f"{suffix_list()})")
        fmt = guessed
    if fmt not in FORMATS:
        raise InputError(f"unsupported input format {fmt!r} (choose from {', '.join(FORMATS)})")
    if path is None:
        if fmt not in RAW_FORMATS:
            raise InputError(f"{fmt} input needs a file; standard input carries raw samples only")
        stream = stdin if stdin is not None else _stdin_raw()
        regular = False
        try:
            regular = stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
        except (AttributeError, OSError, ValueError):
            pass
        return RawSource(stream, "standard input", Decoder(*RAW_FORMATS[fmt]), regular=regular)
    name = os.fspath(path)
    if fmt == "wav":
        return WavSource(name)
    if fmt == "sigmf":
        return SigMFSource(name)
    return _open_raw_file(name, Decoder(*RAW_FORMATS[fmt]), fmt)


def _stdin_raw() -> BinaryIO:
    # Unbuffered reads into our own buffer; nothing has read standard input yet.
    buffered = sys.stdin.buffer
    return getattr(buffered, "raw", buffered)


def read_all(source: Source, block: int = 1 << 16) -> np.ndarray:
    """Whole recording as one array (for tests and small files)."""
    parts = [x.copy() for x in source.blocks(block)]
    empty = np.complex64 if source.is_complex else np.float32
    return np.concatenate(parts) if parts else np.zeros(0, empty)


# -- outputs --------------------------------------------------------------------------

LIVE: "set[AtomicFile]" = set()  # temporary files written and not yet renamed or removed

def write_all(fd: int, data: Union[bytes, memoryview, np.ndarray]) -> None:
    """os.write until everything is written (a pipe may take less at a time)."""
    view = memoryview(data).cast("B") if not isinstance(data, memoryview) else data.cast("B")
    while view:
        n = os.write(fd, view)
        view = view[n:]


WRITEBACK = 8 << 20  # bytes per write-back window of a file output
DROP_BEHIND = 3  # windows between the start of a window's write-back and dropping it from the cache


def _sync_file_range() -> Optional[Callable[..., int]]:
    try:
        import ctypes

        fn = ctypes.CDLL(None, use_errno=True).sync_file_range
    except (OSError, AttributeError):
        return None
    fn.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
    fn.restype = ctypes.c_int
    return fn


_SYNC_RANGE: Any = False  # looked up once, on the first long output


def discard_all() -> None:
    """Remove every temporary file not yet committed (on a signal, whatever it cut short)."""
    for f in list(LIVE):
        f.discard()


class AtomicFile:
    """A file that appears under its name only when complete.

    Writes go to a hidden temporary file in the same directory (so the final
    rename stays on one file system) and start on to the disk as they go;
    `commit` flushes the rest (fsync) and renames it into place, `discard` removes it. Leaving a ``with`` block by
    an exception discards. Errors name the final path, never the temporary.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        if os.path.isdir(self.path):
            raise InputError(f"cannot write {self.path}: is a directory")
        directory, base = os.path.split(self.path)
        self.dir = directory or "."
        self.fd: Optional[int] = None
        self._written = self._started = self._dropped = 0
        while True:
            self.tmp = os.path.join(self.dir, f".{base}.{os.urandom(4).hex()}.part")
            # Known before it exists, so a signal at any point finds it (discard_all).
            LIVE.add(self)
            try:
                # 0o666 under the umask, as a plain open() would create it
                self.fd = os.open(self.tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                break
            except FileExistsError:
                LIVE.discard(self)
                continue
            except OSError as e:
                LIVE.discard(self)
                raise InputError(f"cannot write {self.path}: {e.strerror or e}") from None

    def write(self, data: Union[bytes, memoryview, np.ndarray]) -> None:
        assert self.fd is not None
        try:
            write_all(self.fd, data)
            self._written += memoryview(data).nbytes
            if self._written - self._started >= WRITEBACK:
                self._writeback()
        except OSError as e:
            raise InputError(f"cannot write {self.path}: {e.strerror or e}") from None

    def _writeback(self) -> None:
        # Start each window on to the disk as soon as it is written, so the
        # final fsync has little left, and let the page cache drop a window
        # a few windows later, when it is on the disk.
        global _SYNC_RANGE
        if _SYNC_RANGE is False:
            _SYNC_RANGE = _sync_file_range()
        if _SYNC_RANGE is not None:
            _SYNC_RANGE(self.fd, self._started, WRITEBACK, 2)  # SYNC_FILE_RANGE_WRITE
        self._started += WRITEBACK
        if self._started - self._dropped > DROP_BEHIND * WRITEBACK:
            try:
                os.posix_fadvise(self.fd, self._dropped, WRITEBACK,  # type: ignore[arg-type]
                                 os.POSIX_FADV_DONTNEED)
            except (AttributeError, OSError):
                pass
            self._dropped += WRITEBACK

    def commit(self) -> None:
        try:
            if self.fd is not None:
                os.fsync(self.fd)
                fd, self.fd = self.fd, None
                os.close(fd)
            os.replace(self.tmp, self.path)
        except OSError as e:
            self.discard()
            raise InputError(f"cannot write {self.path}: {e.strerror or e}") from None
        LIVE.discard(self)
        try:  # the rename itself survives a crash only once the directory is on disk
            dfd = os.open(self.dir, os.O_RDONLY)
            try:
                os.fsync(dfd)
            finally:
                os.close(dfd)
        except OSError:
            pass

    def discard(self) -> None:
        if self.fd is not None:
            fd, self.fd = self.fd, None
            try:
                os.close(fd)
            except OSError:
                pass
        try:
            os.unlink(self.tmp)
        except FileNotFoundError:
            pass
        LIVE.discard(self)

    def __enter__(self) -> "AtomicFile":
        return self

    def __exit__(self, exc_type: object, *rest: object) -> None:
        if exc_type is not None:
            self.discard()


class Encoder:
    """Complex64 blocks to the bytes of an output sample type, in reused buffers.

    Fixed point: v * 2**(bits-1), rounded half to even and clipped to the
    type's range (offset binary for cu8); `clipped` counts the clipped values.
    """

    def __init__(self, fmt: str) -> None:
        self.fmt = fmt
        self.clipped = 0
        if fmt == "cf32":
            self._int = None
        else:
            bits, kind = {"cs16": (16, "<i2"), "cu8": (8, "u1")}[fmt]
            self._int = np.dtype(kind)
            self._scale = np.float32(2.0 ** (bits - 1))
            self._lo, self._hi = -self._scale, self._scale - 1
            self._offset = self._scale if kind == "u1" else None
        self._f: Optional[np.ndarray] = None
        self._i: Optional[np.ndarray] = None

    def ints(self, y: np.ndarray) -> np.ndarray:
        """Interleaved I/Q integers of `y` (a view of a reused buffer)."""
        n = 2 * len(y)
        if self._f is None or len(self._f) < n:
            self._f = np.empty(n, np.float32)
            self._i = np.empty(n, self._int)
        t = self._f[:n]
        np.multiply(y.view(np.float32), self._scale, out=t)
        np.rint(t, out=t)
        if n and (t.max() > self._hi or t.min() < self._lo):
            self.clipped += int(np.count_nonzero((t > self._hi) | (t < self._lo)))
        np.clip(t, self._lo, self._hi, out=t)
        if self._offset is not None:
            np.add(t, self._offset, out=t)
        i = self._i[:n]  # type: ignore[index]
        with np.errstate(invalid="ignore"):  # NaN has no integer; it becomes whatever the cast gives
            np.copyto(i, t, casting="unsafe")
        return i

    def encode(self, y: np.ndarray) -> np.ndarray:
        return y if self._int is None else self.ints(y)


SLOTS = 3  # blocks in flight per thread: one being filled or written, one converted, one spare
WAIT = 1.0  # seconds a stopping reader or writer gets to finish its system call


class _Failed:
    """An exception of a helper thread, handed over in order."""

    def __init__(self, error: BaseException) -> None:
        self.error = error


def prefetched(blocks: Iterator[np.ndarray], ahead: int = SLOTS,
               wait: float = WAIT) -> Iterator[np.ndarray]:
    """`blocks` read by a thread of its own, up to `ahead` blocks before the consumer.

    `blocks` must keep a block valid until `ahead` more are asked for (its
    `slots`); the block handed out last is valid until the next is asked
    for. Reading (a system call) and decoding (NumPy) run without the
    interpreter lock, so they overlap the conversion on another core. An
    exception of the reader reaches the consumer after the blocks before it.
    Once the consumer stops, the reader gets `wait` seconds to finish what
    it reads, so a file is not closed under it.
    """
    permits: "SimpleQueue[bool]" = SimpleQueue()  # True: read one more; False: stop
    ready: "SimpleQueue[Any]" = SimpleQueue()
    stopped = []
    for _ in range(ahead):
        permits.put(True)

    def read() -> None:
        try:
            while permits.get() and not stopped:
                x = next(blocks, None)
                ready.put(x)
                if x is None:
                    return
        except BaseException as e:  # handed to the consumer
            ready.put(_Failed(e))
        finally:
            close = getattr(blocks, "close", None)
            if close is not None:
                close()

    reader = threading.Thread(target=read, name="ddc-read", daemon=True)
    reader.start()
    try:
        while True:
            x = ready.get()
            if x is None:
                return
            if isinstance(x, _Failed):
                raise x.error
            yield x
            permits.put(True)
    finally:
        stopped.append(True)
        permits.put(False)
        reader.join(wait)


class Writer:
    """A thread that hands converted blocks to `write`, in order, behind the converter.

    `slot` gives an output buffer no pending write still reads; `put` queues
    the block converted into it. An exception of `write` reaches the caller
    at the next `slot` or at `finish`, which waits for everything to be
    written; `stop` abandons what is queued.
    """

    def __init__(self, write: Callable[[np.ndarray], None], capacity: int,
                 slots: int = SLOTS) -> None:
        self._write = write
        self.buffers = [np.empty(capacity, np.complex64) for _ in range(slots)]
        self._free: "SimpleQueue[int]" = SimpleQueue()
        for i in range(slots):
            self._free.put(i)
        self._todo: "SimpleQueue[Optional[Tuple[int, np.ndarray]]]" = SimpleQueue()
        self._error: Optional[BaseException] = None
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="ddc-write", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            item = self._todo.get()
            if item is None:
                return
            i, y = item
            if self._error is None and not self._stopped:
                try:
                    self._write(y)
                except BaseException as e:  # handed to the caller
                    self._error = e
            self._free.put(i)

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            self._stopped = True
            raise error

    def slot(self) -> int:
        i = self._free.get()
        self._raise()
        return i

    def put(self, i: int, y: np.ndarray) -> None:
        self._todo.put((i, y))

    def release(self, i: int) -> None:
        """Give back a slot that gave nothing to write."""
        self._free.put(i)

    def finish(self) -> None:
        self._todo.put(None)
        self._thread.join()
        self._raise()

    def stop(self) -> None:
        """Drop what is queued; waits (WAIT seconds at most) for the write in progress."""
        self._stopped = True
        self._todo.put(None)
        self._thread.join(WAIT)


def convert(conv: object, source: Source, write: Callable[[np.ndarray], None],
            block: int = 1 << 16, capacity: Optional[int] = None,
            progress: Optional[Callable[[int], None]] = None) -> int:
    """Stream `source` through `conv` in blocks; returns the output samples written.

    Reading runs ahead in one thread and writing behind in another (`write`
    is called there, in order, one block at a time), so the calling thread
    does little but convert. `capacity` is the output room per block: by
    default the converter's own ``capacity(block)``, else the DDCR's bound.
    """
    process = conv.process  # type: ignore[attr-defined]
    if capacity is None:
        own = getattr(conv, "capacity", None)
        if callable(own):
            capacity = int(own(block))
        else:
            from .api import output_capacity

            capacity = output_capacity(block)
    # A pipe may never deliver again: its reader is not waited for.
    blocks = prefetched(source.blocks(block, SLOTS), SLOTS, 0.0 if source.live else WAIT)
    writer = Writer(write, capacity)
    outs = writer.buffers
    total = 0
    try:
        for x in blocks:
            i = writer.slot()
            y = process(x, out=outs[i])
            if len(y):
                writer.put(i, y)
                total += len(y)
            else:
                writer.release(i)
            if progress is not None:
                progress(len(x))
        writer.finish()
    finally:
        writer.stop()
        blocks.close()
    return total
