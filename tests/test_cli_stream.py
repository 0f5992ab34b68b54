"""The command's streaming machinery: a reader thread ahead of the converter and a
writer thread behind it, over a few reused buffers.

Blocks must reach the converter whole, in order and intact however the bytes
arrive (a pipe may hand over a block that ends inside a sample, whose stray
bytes then open the next buffer), errors must surface where they belong, and no
thread may outlive the conversion.
"""
import os
import threading
import time

import numpy as np
import pytest

from quorvel.ddc import DDCR, _stream
from quorvel.ddc._stream import InputError


def _pipe_source(data, fmt, pauses):
    """A RawSource on a pipe fed `data` in odd-sized pieces, pausing after some."""
    r, w = os.pipe()
    rng = np.random.default_rng(5)

    def feed():
        with os.fdopen(w, "wb", buffering=0) as f:
            i = 0
            while i < len(data):
                n = int(rng.integers(1, 40))
                f.write(data[i:i + n])
                i += n
                if rng.random() < pauses:
                    time.sleep(0.004)  # longer than a pause that hands a block over

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    dec = _stream.Decoder(*_stream.RAW_FORMATS[fmt])
    return _stream.RawSource(os.fdopen(r, "rb", buffering=0), "pipe", dec, owned=True), dec, feeder


def _blocks(source, block, slow=True):
    parts = []
    for x in _stream.prefetched(source.blocks(block, _stream.SLOTS), _stream.SLOTS):
        if slow:
            time.sleep(0.0005)  # a reader that overwrote a block in use would show here
        parts.append(x.copy())
    return parts


@pytest.mark.parametrize("fmt", ["cf32", "s16", "cu8"])
def test_a_pipe_cut_inside_samples_reaches_the_converter_whole_and_in_order(fmt):
    dec = _stream.Decoder(*_stream.RAW_FORMATS[fmt])
    data = np.random.default_rng(2).integers(0, 256, 600 * dec.itemsize, dtype=np.uint8)
    want = dec.decode(data, dec.buffer(600)).copy()
    source, dec, feeder = _pipe_source(data.tobytes(), fmt, pauses=0.15)
    with source:
        parts = _blocks(source, 16)
    feeder.join()
    assert np.concatenate(parts).tobytes() == want.tobytes()
    assert any(len(p) < 16 for p in parts[:-1])  # blocks handed over part-full


def test_a_stray_tail_fails_after_every_whole_sample_is_delivered():
    data = bytes(range(256)) * 3 + b"\1\2\3"  # 99 cf32 samples and 3 bytes
    source, dec, feeder = _pipe_source(data, "cf32", pauses=0.0)
    parts = []
    with source, pytest.raises(InputError, match=r"ends inside a sample \(3 stray bytes\)"):
        for x in _stream.prefetched(source.blocks(32, _stream.SLOTS), _stream.SLOTS):
            parts.append(x.copy())
    feeder.join()
    assert np.concatenate(parts).tobytes() == data[:-3]


@pytest.mark.parametrize("change", [None, "grow", "cut"])
def test_a_file_is_read_from_where_it_stands_and_as_far_as_it_reaches(change, tmp_path):
    # A regular file is read through a mapping: from an unaligned start, on
    # past the first mapping when it grows, and refused (not a fatal fault)
    # when it is cut under the reader.
    path = tmp_path / "in.cf32"
    data = np.random.default_rng(3).integers(0, 256, 8 * 3000, dtype=np.uint8).tobytes()
    path.write_bytes(data)
    f = open(path, "rb", buffering=0)
    f.seek(8 * 7)  # a stream standing inside the file, as a redirected stdin may
    dec = _stream.Decoder(*_stream.RAW_FORMATS["cf32"])
    source = _stream.RawSource(f, "in.cf32", dec, owned=True, regular=True)
    parts, extra = [], data[:8 * 500]
    with source:
        blocks = source.blocks(256, _stream.SLOTS)
        parts.append(next(blocks).copy())
        if change == "grow":
            with open(path, "ab") as g:
                g.write(extra)
        elif change == "cut":
            os.truncate(path, 8 * 1000)
        if change == "cut":
            with pytest.raises(InputError, match="shrank"):
                parts += [x.copy() for x in blocks]
            return
        parts += [x.copy() for x in blocks]
    want = data[8 * 7:] + (extra if change == "grow" else b"")
    assert np.concatenate(parts).tobytes() == want


def _helpers():
    return [t for t in threading.enumerate() if t.name in ("ddc-read", "ddc-write")]


@pytest.mark.parametrize("fail_at", [None, 3])
def test_a_conversion_leaves_no_thread_and_stops_writing_at_a_failure(fail_at, tmp_path):
    path = tmp_path / "in.f32"
    np.random.default_rng(1).standard_normal(20_011).astype(np.float32).tofile(path)
    written = []

    def write(y):
        if len(written) + 1 == fail_at:
            raise InputError("disk full")
        written.append(y.copy())

    with _stream.open_source(path) as source, DDCR(-0.7, 0.25) as conv:
        if fail_at is None:
            n = _stream.convert(conv, source, write, block=1000)
        else:
            with pytest.raises(InputError, match="disk full"):
                _stream.convert(conv, source, write, block=1000)
    assert not _helpers()
    if fail_at is None:
        with DDCR(-0.7, 0.25) as ref:
            want = ref.process(np.fromfile(path, np.float32))
        assert n == len(want) and np.concatenate(written).tobytes() == want.tobytes()
    else:
        assert len(written) == fail_at - 1  # nothing after the failed write
