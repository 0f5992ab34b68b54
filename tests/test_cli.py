"""The `ddc` command: every input and output format end to end, SigMF provenance,
data safety, errors, progress.

The reference for every conversion is the library's converter called once on
the whole signal with the same plan; the command streams in small odd-sized
blocks through its reader and writer threads, so equality bit for bit also
checks that its block handling loses and reorders nothing. Fixed-point inputs
mean full scale = 1: an N-bit sample v reads v / 2**(N-1) (offset binary for
unsigned types, as the sigmf package reads them; the package is the oracle for
every SigMF datatype).
"""
import fcntl
import json
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import tracemalloc
import wave

import numpy as np
import pytest

from quorvel.ddc import DDC, DDCR, cli, norm_freq_for

sigmf = pytest.importorskip("sigmf")
sf = pytest.importorskip("soundfile")

N = 5001          # odd, and not a multiple of the block
BLOCK = "1000"
CARRIER = 0.137   # cycles per input sample
RATE = 0.1
ATTEN = 80.0  # the command's default plan


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path, monkeypatch):
    # Whatever a command writes by default lands in the test's directory.
    monkeypatch.chdir(tmp_path)


def reference(x, carrier=CARRIER, rate=RATE, atten=ATTEN):
    """The library's output for the whole of x (real float32 or complex64)."""
    if x.dtype == np.complex64:
        conv = DDC(-carrier, rate, atten_db=atten)
    else:
        conv = DDCR(norm_freq_for(carrier), rate, atten_db=atten)
    with conv:
        return conv.process(x).copy()


def signal_(n=N, is_complex=False, amplitude=0.5, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    if is_complex:
        return (amplitude * np.exp(2j * np.pi * CARRIER * t + 0.3)
                + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
    return amplitude * np.cos(2 * np.pi * CARRIER * t + 0.3) + 0.01 * rng.standard_normal(n)


def interleaved(z):
    return np.stack([z.real, z.imag], axis=-1).reshape(-1) if np.iscomplexobj(z) else z


def ints(bits, is_complex=False, n=N):
    full = 2 ** (bits - 1)
    v = interleaved(signal_(n, is_complex))
    return np.clip(np.round(v * full), -full, full - 1).astype(np.int64)


def as_samples(values, is_complex):
    v = np.asarray(values, np.float32)
    return v.view(np.complex64) if is_complex else v


def write_sigmf(base, data, datatype, sample_rate=1e6, frequency=None, **extra):
    data_path = f"{base}.sigmf-data"
    data.tofile(data_path)
    meta = sigmf.SigMFFile(global_info={"core:datatype": datatype, "core:sample_rate": sample_rate,
                                        **extra})
    meta.set_data_file(data_path)
    meta.add_capture(0, metadata={} if frequency is None else {"core:frequency": frequency})
    meta.tofile(f"{base}.sigmf-meta")
    return f"{base}.sigmf-meta"


RAW = {  # format: (numpy type, complex, offset)
    "f32": ("<f4", False, 0), "s16": ("<i2", False, 0), "cu8": ("u1", True, 128),
    "cs8": ("i1", True, 0), "cs16": ("<i2", True, 0), "cf32": ("<f4", True, 0),
}
WAVS = {  # kind: (soundfile subtype, container, channels)
    "wav-u8": ("PCM_U8", "WAV", 1), "wav-16": ("PCM_16", "WAV", 1), "wav-24": ("PCM_24", "WAV", 1),
    "wav-32": ("PCM_32", "WAV", 1), "wav-float": ("FLOAT", "WAV", 1),
    "wav-double": ("DOUBLE", "WAV", 1), "wavex-24": ("PCM_24", "WAVEX", 1),
    "wav-iq16": ("PCM_16", "WAV", 2), "wavex-iqfloat": ("FLOAT", "WAVEX", 2),
}
SIGMF_TYPES = [f"{c}{t}{e}" for c in "rc" for t in ("i8", "u8", "i16", "u16", "i32", "u32", "f32", "f64")
               for e in (("",) if t.endswith("8") else ("_le", "_be"))]


def make_input(kind, tmp_path):
    """(path, extra args, samples the command must see) for one input format."""
    if kind in RAW or kind in ("cfile", "s16-by-option"):
        fmt = {"cfile": "cf32", "s16-by-option": "s16"}.get(kind, kind)
        dtype, is_complex, offset = RAW[fmt]
        dt = np.dtype(dtype)
        if dt.kind == "f":
            values = interleaved(signal_(is_complex=is_complex)).astype(dt)
            want = values
        else:
            bits = 8 * dt.itemsize
            v = ints(bits, is_complex)
            values = (v + offset).astype(dt)
            want = v / 2.0 ** (bits - 1)
        suffix = {"cfile": ".cfile", "s16-by-option": ".raw"}.get(kind, "." + kind)
        path = tmp_path / f"in{suffix}"
        values.tofile(path)
        return path, ["-f", "s16"] if kind == "s16-by-option" else [], as_samples(want, is_complex)
    if kind in WAVS:
        subtype, container, channels = WAVS[kind]
        path = tmp_path / "in.wav"
        is_complex = channels == 2
        if subtype in ("FLOAT", "DOUBLE"):
            z = signal_(is_complex=is_complex)
            data = np.stack([z.real, z.imag], axis=1) if is_complex else z
            data = data.astype(np.float32 if subtype == "FLOAT" else np.float64)
            sf.write(path, data, 48000, subtype=subtype, format=container)
            return path, [], as_samples(data.reshape(-1), is_complex)
        bits = {"PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}[subtype]
        v = ints(bits, is_complex)
        # soundfile takes int16 or int32 at full scale; narrower types keep the top bits.
        store = (v << (16 - bits)).astype(np.int16) if bits <= 16 else (v << (32 - bits)).astype(np.int32)
        sf.write(path, store.reshape(-1, channels), 48000, subtype=subtype, format=container)
        return path, [], as_samples(v / 2.0 ** (bits - 1), is_complex)
    # SigMF: the package reads the recording as the command must
    dt = sigmf.sigmffile.dtype_info(kind)
    is_complex = dt["is_complex"]
    comp = dt["component_dtype"]
    v = interleaved(signal_(is_complex=is_complex))
    if comp.kind == "f":
        values = v.astype(comp)
    else:
        bits = 8 * comp.itemsize
        full = 2.0 ** (bits - 1)
        values = (np.clip(np.round(v * full), -full, full - 1) + (full if comp.kind == "u" else 0)).astype(comp)
    meta = write_sigmf(tmp_path / "rec", values, kind)
    want = sigmf.sigmffile.fromfile(meta).read_samples()
    assert np.any(want != 0)
    return meta, [], np.ascontiguousarray(want, np.complex64 if is_complex else np.float32)


def run(args, capsys):
    status = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def read_cf32(path):
    return np.fromfile(path, dtype=np.complex64)


def subprocess_env():
    env = dict(os.environ)
    env.pop("COLUMNS", None)
    return env


def ddc_command():
    return [sys.executable, "-m", "quorvel.ddc.cli"]


def snapshot(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()}


# -- input formats ---------------------------------------------------------------

INPUTS = list(RAW) + ["cfile", "s16-by-option"] + list(WAVS) + SIGMF_TYPES


@pytest.mark.parametrize("kind", INPUTS)
def test_each_input_format_gives_the_library_output_bit_for_bit(kind, tmp_path, capsys):
    src, extra, x = make_input(kind, tmp_path)
    out = tmp_path / "out.cf32"
    status, _, err = run([src, *extra, "-n", CARRIER, "-r", RATE, "--block", BLOCK, "-o", out], capsys)
    assert (status, err) == (0, "")
    got, want = read_cf32(out), reference(x)
    assert len(want) > 400
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("fmt", ["f32", "cf32"])
def test_stdin_to_stdout_pipeline_matches_the_library_and_prints_nothing_else(fmt):
    x = signal_(is_complex=fmt == "cf32").astype(np.complex64 if fmt == "cf32" else np.float32)
    res = subprocess.run(ddc_command() + ["-f", fmt, "-n", str(CARRIER), "-r", str(RATE),
                                          "--block", "777"],
                         input=x.tobytes(), capture_output=True, env=subprocess_env())
    assert res.returncode == 0, res.stderr
    assert res.stderr == b""  # a pipe on stderr means no progress display
    assert res.stdout == reference(x).tobytes()


def test_a_live_stream_is_not_held_back_until_a_whole_block_arrives():
    proc = subprocess.Popen(ddc_command() + ["-n", "0.1", "-r", "0.25"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=subprocess_env())
    try:
        proc.stdin.write(signal_(4000).astype(np.float32).tobytes())  # far less than a block
        proc.stdin.flush()
        # the output arrives while standard input stays open
        assert select.select([proc.stdout], [], [], 30)[0]
        assert len(os.read(proc.stdout.fileno(), 1 << 16)) >= 8 * 900
    finally:
        proc.stdin.close()
        proc.wait(30)
    assert proc.returncode == 0


@pytest.mark.parametrize("tuning", [["-n", "-0.137"], ["--norm-carrier", "-1.37e-1"],
                                    ["--fs", "1e6", "--carrier", "-1.37e5"],
                                    ["--fs=1e6", "-c", "-137e3"]])
def test_negative_carriers_parse_for_iq_input(tuning, tmp_path, capsys):
    z = signal_(is_complex=True).conj().astype(np.complex64)  # the tone at -0.137
    z.tofile(tmp_path / "in.cf32")
    status, _, err = run(["in.cf32", *tuning, "-r", RATE, "-o", "o.cf32"], capsys)
    assert (status, err) == (0, "")
    assert read_cf32(tmp_path / "o.cf32").tobytes() == reference(z, carrier=-0.137).tobytes()


def test_streams_in_constant_memory(tmp_path, capsys):
    np.zeros(1 << 22, np.float32).tofile(tmp_path / "long.f32")  # 16 MiB in, 8 MiB out
    tracemalloc.start()
    try:
        status, _, _ = run(["long.f32", "-n", "0.1", "-r", "0.25", "-q", "--block", 1 << 16,
                            "-o", "o.cf32"], capsys)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert status == 0 and (tmp_path / "o.cf32").stat().st_size == 8 << 20
    assert peak < 4 << 20  # a few blocks in flight, never the whole file


def test_hz_tuning_uses_the_rate_recorded_in_the_wav(tmp_path, capsys):
    v = ints(16)
    sf.write(tmp_path / "in.wav", v.astype(np.int16), 48000, subtype="PCM_16")
    status, _, err = run(["in.wav", "--carrier", CARRIER * 48000, "--fs-out", RATE * 48000,
                          "-o", "out.cf32"], capsys)
    assert (status, err) == (0, "")
    want = reference((v / 2.0 ** 15).astype(np.float32), CARRIER * 48000 / 48000, RATE * 48000 / 48000)
    assert read_cf32(tmp_path / "out.cf32").tobytes() == want.tobytes()


# -- output formats ---------------------------------------------------------------

def _ints(y, bits, offset=0):
    full = 2.0 ** (bits - 1)
    return np.clip(np.rint(y.view(np.float32) * np.float32(full)), -full, full - 1) + offset


OUTPUTS = [  # (output name, extra args, how to read it back, SigMF datatype or None)
    ("o.cf32", [], "cf32", "cf32_le"),
    ("o.sigmf-data", [], "cf32", "cf32_le"),
    ("o.cs16", [], "cs16", "ci16_le"),
    ("o.bin", ["-F", "cs16"], "cs16", "ci16_le"),
    ("o.cu8", [], "cu8", "cu8"),
    ("o.wav", [], "wav", None),
    ("o.wav", ["--output-format", "wav16"], "wav16", None),
]


@pytest.mark.parametrize("name,extra,kind,datatype", OUTPUTS)
def test_each_output_format_holds_the_library_output(name, extra, kind, datatype, tmp_path, capsys):
    x = signal_().astype(np.float32)
    x.tofile(tmp_path / "in.f32")
    status, _, err = run(["in.f32", "--fs", 48000, "-n", CARRIER, "-r", RATE, "--block", BLOCK,
                          "-o", name, *extra], capsys)
    assert (status, err) == (0, "")
    y = reference(x)
    path = tmp_path / name
    if kind == "cf32":
        assert path.read_bytes() == y.tobytes()
    elif kind in ("cs16", "cu8"):
        dtype, bits, offset = ("<i2", 16, 0) if kind == "cs16" else ("u1", 8, 128)
        assert np.array_equal(np.fromfile(path, dtype), _ints(y, bits, offset))
    else:
        info = sf.info(path)
        assert (info.channels, info.samplerate, info.subtype) == (
            2, 4800, "FLOAT" if kind == "wav" else "PCM_16")
        if kind == "wav":
            assert sf.read(path, dtype="float32")[0].tobytes() == y.tobytes()
        else:
            assert np.array_equal(sf.read(path, dtype="int16")[0].reshape(-1), _ints(y, 16))
    meta = path.with_name(name.replace(".sigmf-data", "") + ".sigmf-meta")
    if datatype is None:
        assert not meta.exists()
        return
    rec = sigmf.sigmffile.fromfile(str(meta))
    rec.validate()
    assert rec.get_global_field("core:datatype") == datatype
    # The sigmf package reads the file back as the very samples written.
    want = y
    if kind != "cf32":
        bits = 16 if kind == "cs16" else 8
        want = (_ints(y, bits).astype(np.float32) * np.float32(2.0 ** (1 - bits))).view(np.complex64)
    assert rec.read_samples().tobytes() == want.tobytes()


def test_clipping_in_a_fixed_point_output_is_counted_on_stderr(tmp_path, capsys):
    signal_(amplitude=8.0).astype(np.float32).tofile(tmp_path / "loud.f32")
    status, _, err = run(["loud.f32", "-n", CARRIER, "-r", RATE, "-o", "o.cs16"], capsys)
    assert status == 0 and "values clipped at cs16 full scale" in err and err.count("\n") == 1


# -- SigMF metadata -----------------------------------------------------------

def _conv_figures():
    with DDC(0.25, 0.125, atten_db=ATTEN) as conv:
        return conv.plan, conv.delay


def test_sigmf_output_keeps_the_input_provenance_and_records_the_plan(tmp_path, capsys):
    z = signal_(n=8000, is_complex=True)
    v = np.clip(np.round(interleaved(z) * 32768), -32768, 32767).astype("<i2")
    v.tofile(tmp_path / "rec.sigmf-data")
    meta = sigmf.SigMFFile(global_info={
        "core:datatype": "ci16_le", "core:sample_rate": 2e6, "core:hw": "test rig",
        "core:author": "someone", "core:recorder": "rx_tool 1.0", "core:license": "CC0",
        "core:description": "rooftop capture"})
    meta.set_data_file(str(tmp_path / "rec.sigmf-data"))
    meta.add_capture(0, metadata={"core:frequency": 100e6, "core:datetime": "2024-01-02T03:04:05.5Z"})
    meta.add_capture(3000, metadata={"core:frequency": 101e6, "core:datetime": "2024-01-02T03:04:07Z"})
    meta.add_annotation(800, 1600, metadata={"core:comment": "burst"})
    meta.tofile(tmp_path / "rec.sigmf-meta")
    status, _, err = run(["rec.sigmf-meta", "--carrier", "-5e5", "--rate", 0.125, "--hash",
                          "-o", "bb.sigmf-data"], capsys)
    assert (status, err) == (0, "")
    out = json.loads((tmp_path / "bb.sigmf-meta").read_text())
    g = out["global"]
    for key, value in (("core:hw", "test rig"), ("core:author", "someone"),
                       ("core:recorder", "rx_tool 1.0"), ("core:license", "CC0"),
                       ("core:datatype", "cf32_le"), ("core:sample_rate", 250e3)):
        assert g[key] == value
    assert "rooftop capture" in g["core:description"] and "core:dataset" not in g
    plan, delay = _conv_figures()
    assert g["quorvel:atten_db"] == ATTEN
    assert g["quorvel:plan"] == list(plan) and g["quorvel:delay"] == delay
    d = delay
    # Output sample j holds the signal of input time (j - delay) / fs_out.
    ns = round(-d / 250e3 * 1e9)
    assert out["captures"][0]["core:datetime"] == f"2024-01-02T03:04:05.{500_000_000 + ns:09d}Z"
    assert [c["core:sample_start"] for c in out["captures"]] == [0, 375]
    assert [c["core:frequency"] for c in out["captures"]] == [100e6 - 5e5, 101e6 - 5e5]
    assert out["annotations"] == [{"core:sample_start": round(100 + d), "core:sample_count": 200,
                                   "core:comment": "burst"}]
    # The recorded checksum is right: the sigmf package verifies it on reading.
    rec = sigmf.sigmffile.fromfile(str(tmp_path / "bb.sigmf-meta"))
    rec.validate()
    assert rec.read_samples().tobytes() == (tmp_path / "bb.sigmf-data").read_bytes()


def test_raw_output_metadata_without_hash_or_rates(tmp_path, capsys):
    signal_().astype(np.float32).tofile(tmp_path / "in.f32")
    status, _, _ = run(["in.f32", "-n", CARRIER, "-r", RATE, "-o", "o.cf32"], capsys)
    assert status == 0
    meta = json.loads((tmp_path / "o.cf32.sigmf-meta").read_text())
    assert meta["global"]["core:dataset"] == "o.cf32"
    assert not {"core:sample_rate", "core:sha512"} & set(meta["global"])
    assert meta["captures"] == [{"core:sample_start": 0}]
    status, _, _ = run(["in.f32", "--fs", 48000, "--carrier", 6576, "--fs-out", 4800, "--no-meta",
                        "-o", "p.cf32"], capsys)
    assert status == 0 and not (tmp_path / "p.cf32.sigmf-meta").exists()


# -- data safety ----------------------------------------------------------------

def _clash(kind, tmp_path):
    """(input args, output) where the output is the input under another name."""
    x = signal_().astype(np.float32)
    if kind.startswith("sigmf"):
        meta = write_sigmf(tmp_path / "rec", x, "rf32_le")
        return [meta], {"sigmf-data": "rec.sigmf-data", "sigmf-meta": "rec.sigmf-meta",
                        "sigmf-pair": "rec.sigmf-data"}[kind]
    x.tofile(tmp_path / "cap.f32")
    if kind == "symlink":
        os.symlink("cap.f32", tmp_path / "link.cf32")
        return ["cap.f32"], "link.cf32"
    if kind == "hardlink":
        os.link(tmp_path / "cap.f32", tmp_path / "hard.cf32")
        return ["cap.f32"], "hard.cf32"
    if kind == "metadata":  # the output's metadata name is the input
        os.rename(tmp_path / "cap.f32", tmp_path / "o.sigmf-meta")
        return ["o.sigmf-meta", "-f", "f32"], "o.sigmf-data"
    return ["cap.f32"], "cap.f32"


@pytest.mark.parametrize("kind", ["same", "symlink", "hardlink", "sigmf-data", "metadata"])
def test_an_output_that_is_the_input_is_refused_and_the_input_kept(kind, tmp_path, capsys):
    src, out = _clash(kind, tmp_path)
    before = snapshot(tmp_path)
    status, _, err = run([*src, "-n", "0.1", "-r", "0.2", "-o", out], capsys)
    assert status == 2 and "would overwrite the input" in err and err.count("\n") == 1
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("args,existing", [
    (["-o", "o.cf32"], "o.cf32"),
    (["-o", "o.cf32"], "o.cf32.sigmf-meta"),
    (["-n", "0.3", "-o", "o{index}.cf32"], "o1.cf32"),
])
def test_an_existing_file_is_kept_unless_forced(args, existing, tmp_path, capsys):
    signal_().astype(np.float32).tofile(tmp_path / "cap.f32")
    (tmp_path / existing).write_bytes(b"keep me")
    before = snapshot(tmp_path)
    status, _, err = run(["cap.f32", "-n", "0.1", "-r", "0.2", *args], capsys)
    assert status == 2 and f"{existing} exists; add --force to replace it" in err
    assert snapshot(tmp_path) == before
    assert run(["cap.f32", "-n", "0.1", "-r", "0.2", "--force", *args], capsys)[0] == 0
    assert (tmp_path / existing).read_bytes() != b"keep me"


def test_an_output_over_standard_input_is_refused(tmp_path):
    signal_().astype(np.float32).tofile(tmp_path / "cap.f32")
    before = snapshot(tmp_path)
    with open(tmp_path / "cap.f32", "rb") as stdin:
        res = subprocess.run(ddc_command() + ["-n", "0.1", "-r", "0.2", "-o", "cap.f32"], stdin=stdin,
                             capture_output=True, cwd=tmp_path, env=subprocess_env())
    assert res.returncode == 2 and b"standard input" in res.stderr
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("where", ["somedir", "missing/o.cf32"])
def test_output_errors_name_the_users_path_never_the_temporary(where, tmp_path, capsys):
    signal_().astype(np.float32).tofile(tmp_path / "in.f32")
    (tmp_path / "somedir").mkdir()
    before = sorted(os.listdir(tmp_path))
    status, _, err = run(["in.f32", "-n", "0.1", "-r", "0.2", "-o", where], capsys)
    assert status == 1 and err.startswith(f"ddc: error: cannot write {where}: ")
    assert ".part" not in err and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(tmp_path / "somedir") == []


def test_a_device_output_is_written_in_place(tmp_path, capsys):
    signal_().astype(np.float32).tofile(tmp_path / "in.f32")
    status, _, err = run(["in.f32", "-n", "0.1", "-r", "0.2", "-o", os.devnull], capsys)
    assert (status, err) == (0, "")
    assert not os.path.isfile(os.devnull)  # still the device, not a file renamed over it


def test_the_data_reaches_the_disk_before_each_rename(tmp_path, capsys, monkeypatch):
    calls = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (calls.append("fsync"), real_fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (calls.append(os.path.basename(b)),
                                                     real_replace(a, b))[1])
    signal_().astype(np.float32).tofile(tmp_path / "in.f32")
    assert run(["in.f32", "-n", "0.1", "-r", "0.2", "-o", "o.cf32"], capsys)[0] == 0
    renames = [i for i, c in enumerate(calls) if c != "fsync"]
    assert [calls[i] for i in renames] == ["o.cf32", "o.cf32.sigmf-meta"]
    assert all(calls[i - 1] == "fsync" for i in renames)  # each file's own, just before
    assert calls[-1] == "fsync"  # and the directory's after


# One carrier, and two through the channel bank: every output is all or nothing.
CHANNELS = {"one": ["-n", "0.1", "--force", "-o", "out.cf32"],
            "bank": ["-n", "0.3", "-n", "0.1", "--force", "-o", "out{index}.cf32"]}


@pytest.mark.parametrize("channels", CHANNELS)
def test_failure_midway_keeps_the_old_output_and_leaves_no_partial_file(channels, tmp_path):
    (tmp_path / CHANNELS[channels][-1].format(index=1)).write_bytes(b"previous result")
    before = snapshot(tmp_path)
    res = subprocess.run(ddc_command() + [*CHANNELS[channels], "-r", "0.2", "--block", "256"],
                         input=b"\0" * 40003, capture_output=True, cwd=tmp_path, env=subprocess_env())
    assert res.returncode == 1
    assert res.stderr.decode() == "ddc: error: standard input: ends inside a sample (3 stray bytes)\n"
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("signum,channels", [(signal.SIGTERM, "one"), (signal.SIGHUP, "one"),
                                             (signal.SIGINT, "one"), (signal.SIGTERM, "bank")])
def test_a_terminating_signal_removes_the_temporary_file(signum, channels, tmp_path):
    proc = subprocess.Popen(ddc_command() + [*CHANNELS[channels], "-r", "0.2", "--block", "256"],
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
                            env=subprocess_env())
    proc.stdin.write(b"\0" * 8192)
    proc.stdin.flush()
    deadline = time.monotonic() + 30
    while not any(n.endswith(".part") for n in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(signum)
    err = proc.stderr.read().decode()
    proc.stdin.close()
    assert proc.wait(30) == 128 + signum
    assert os.listdir(tmp_path) == [] and "Traceback" not in err and err.count("\n") == 1


# -- errors ---------------------------------------------------------------------

def _bad_inputs(tmp_path):
    signal_().astype(np.float32).tofile(tmp_path / "good.f32")
    signal_(is_complex=True).astype(np.complex64).tofile(tmp_path / "good.cf32")
    signal_().astype(np.float32).tofile(tmp_path / "good.dat")
    (tmp_path / "odd.f32").write_bytes(b"\0" * 4099)
    (tmp_path / "junk.wav").write_bytes(b"this is not a RIFF file at all")
    (tmp_path / "empty.wav").write_bytes(b"")
    sf.write(tmp_path / "three.wav", np.zeros((200, 3), np.int16), 8000, subtype="PCM_16")
    sf.write(tmp_path / "silent.wav", np.zeros((0, 1), np.int16), 8000, subtype="PCM_16")
    sf.write(tmp_path / "cut.wav", np.zeros(20000, np.int16), 8000, subtype="PCM_16")
    (tmp_path / "cut.wav").write_bytes((tmp_path / "cut.wav").read_bytes()[:-10000])
    (tmp_path / "bad.sigmf-meta").write_text("{ not json")


ERRORS = [
    # (input, arguments, exit status, words the message must contain)
    ("good.f32", ["-n", "0.1", "-r", "0.5"], 2, "rate 0.5: the DDCR (real input) refuses it: rate must lie in the open interval (0, 0.5)"),
    ("good.f32", ["-n", "0.1", "-r", "0"], 2, "(0, 0.5)"),
    ("good.f32", ["-n", "0.1", "-r", "-0.25"], 2, "(0, 0.5)"),
    ("good.f32", ["-n", "0.1", "--fs", "1000", "--fs-out", "600"], 2, "--fs-out 600 Hz (rate 0.6): "),
    ("good.cf32", ["-n", "0.1", "-r", "0"], 2, "the DDC (I/Q input) refuses it: "),
    ("good.cf32", ["-n", "0.1", "-r", "1e10"], 2, "takes rates in (2^-32, 2^31)"),
    ("good.f32", ["-n", "0.1", "-r", "nan"], 2, "must be finite"),
    ("good.f32", ["-n", "0.7", "-r", "0.25"], 2, "outside [0, 0.5]"),
    ("good.f32", ["-n", "-0.1", "-r", "0.25"], 2, "outside [0, 0.5]"),
    ("good.cf32", ["-n", "-0.7", "-r", "0.25"], 2, "outside [-0.5, 0.5]"),
    ("good.f32", ["--carrier", "1000", "-r", "0.25"], 2, "needs the input sample rate"),
    ("good.f32", ["-n", "0.1"], 2, "required"),
    ("good.f32", ["-n", "0.1", "-r", "0.2", "-f", "mp3"], 2, "invalid choice"),
    ("good.f32", ["-n", "0.1", "-r", "0.2", "--atten", "30"], 2, "outside [40, 120] dB"),
    ("good.f32", ["-n", "0.1", "-r", "0.2", "--atten", "nan"], 2, "must be finite"),
    ("good.f32", ["-n", "0.1", "-r", "0.2", "--atten", "60", "--exact"], 2, "not allowed with"),
    ("good.dat", ["-n", "0.1", "-r", "0.2"], 1, "the suffix does not say the format; give -f"),
    ("missing.f32", ["-n", "0.1", "-r", "0.2"], 1, "No such file"),
    (".", ["-n", "0.1", "-r", "0.2", "-f", "f32"], 1, "directory"),
    ("odd.f32", ["-n", "0.1", "-r", "0.2"], 1, "not a whole number"),
    ("junk.wav", ["-n", "0.1", "-r", "0.2"], 1, "not a readable WAV"),
    ("empty.wav", ["-n", "0.1", "-r", "0.2"], 1, "empty file"),
    ("silent.wav", ["-n", "0.1", "-r", "0.2"], 1, "holds no samples"),
    ("cut.wav", ["-n", "0.1", "-r", "0.2"], 1, "truncated WAV data"),
    ("three.wav", ["-n", "0.1", "-r", "0.2"], 1, "3 channels"),
    ("bad.sigmf-meta", ["-n", "0.1", "-r", "0.2"], 1, "not a readable SigMF"),
]


@pytest.mark.parametrize("name,args,status,words", ERRORS)
def test_errors_are_one_line_with_status_and_leave_no_output(name, args, status, words, tmp_path, capsys):
    _bad_inputs(tmp_path)
    before = set(os.listdir(tmp_path))
    got, out, err = run([name, *args, "-o", "out.cf32"], capsys)
    assert got == status
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("ddc: error: ") and words in err, err
    assert "Traceback" not in err and "out of memory" not in err
    assert set(os.listdir(tmp_path)) == before


def test_the_suffix_message_lists_the_formats(tmp_path, capsys):
    _bad_inputs(tmp_path)
    _, _, err = run(["good.dat", "-n", "0.1", "-r", "0.2", "-o", "o.cf32"], capsys)
    for words in ("cu8, cs8, cs16, cf32, wav, sigmf", ".cfile", ".sigmf-meta", ".s16"):
        assert words in err


def test_a_rate_the_library_cannot_plan_names_the_accepted_range(tmp_path, capsys):
    # The exact DDC plan reaches rates below 1/8192 only as powers of two.
    _bad_inputs(tmp_path)
    status, _, err = run(["good.cf32", "-n", "0.1", "-r", "1e-4", "--exact", "-o", "o.cf32"], capsys)
    assert status == 2 and "takes rates in (2^-32, 2^32)" in err and "powers of two" in err
    # the designed plan takes it
    assert run(["good.cf32", "-n", "0.1", "-r", "1e-4", "-o", "o.cf32"], capsys)[0] == 0


@pytest.mark.parametrize("args,words", [
    (["-F", "wav"], "WAV output needs a file"),
    (["-F", "wav16", "-o", "o.wav"], "WAV output records the sample rate"),
])
def test_wav_output_needs_a_file_and_a_rate(args, words, tmp_path):
    res = subprocess.run(ddc_command() + ["-n", "0.1", "-r", "0.2", *args], input=b"\0" * 4096,
                         capture_output=True, cwd=tmp_path, env=subprocess_env())
    assert res.returncode == 2 and words in res.stderr.decode()
    assert os.listdir(tmp_path) == []


def test_reader_going_away_stops_quietly(tmp_path):
    np.zeros(1 << 20, np.float32).tofile(tmp_path / "in.f32")
    proc = subprocess.Popen(ddc_command() + ["in.f32", "-n", "0.1", "-r", "0.25"], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=subprocess_env())
    proc.stdout.read(64)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait() == 141
    assert b"Traceback" not in err


# -- progress ------------------------------------------------------------------------

def _stderr_on_a_terminal(args, stdin=subprocess.DEVNULL, cwd=None):
    main_fd, sub_fd = pty.openpty()
    # A new pseudo-terminal has no size, and tqdm draws nothing in 0 rows.
    fcntl.ioctl(sub_fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        proc = subprocess.run(ddc_command() + args, stdin=stdin, stdout=subprocess.DEVNULL,
                              stderr=sub_fd, cwd=cwd, env=subprocess_env(), timeout=60)
        os.close(sub_fd)
        chunks = []
        while True:
            try:
                chunk = os.read(main_fd, 4096)
            except OSError:  # EIO once the terminal's other side is closed
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(main_fd)
    return proc.returncode, b"".join(chunks).decode(errors="replace")


def test_progress_on_a_terminal_a_bar_for_files_a_count_and_rate_for_pipes(tmp_path):
    np.zeros(200_000, np.float32).tofile(tmp_path / "in.f32")
    args = ["-n", "0.1", "-r", "0.25", "--block", "4096", "--force", "-o", "o.cf32"]
    status, shown = _stderr_on_a_terminal(["in.f32", *args], cwd=tmp_path)
    assert status == 0 and "100%" in shown and "in.f32" in shown
    with open(tmp_path / "in.f32", "rb") as f:
        pipe = subprocess.Popen(["cat"], stdin=f, stdout=subprocess.PIPE)
        status, shown = _stderr_on_a_terminal(args, stdin=pipe.stdout, cwd=tmp_path)
        pipe.wait()
    assert status == 0 and "200kS" in shown and "S/s" in shown and "%" not in shown
    status, shown = _stderr_on_a_terminal(["in.f32", *args, "--quiet"], cwd=tmp_path)
    assert status == 0 and shown == ""


def test_installed_console_script_is_the_cli():
    from importlib.metadata import entry_points

    scripts = [e for e in entry_points(group="console_scripts") if e.name == "ddc"]
    if not scripts:
        pytest.skip("package not installed")
    assert scripts[0].value == "quorvel.ddc.cli:main"
