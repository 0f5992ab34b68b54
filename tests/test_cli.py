"""The `ddc` command: every input format end to end, SigMF metadata, errors, progress.

The reference for every conversion is the functional module called once on the
whole signal; the command streams in small odd-sized blocks, so equality bit for
bit also checks that its block handling loses and reorders nothing. Fixed-point
inputs mean full scale = 1 (an N-bit sample v reads v / 2**(N-1)).
"""
import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
import tracemalloc
import wave

import numpy as np
import pytest

import ddc_fn
from quorvel.ddc import cli

sigmf = pytest.importorskip("sigmf")

N = 5001          # odd, and not a multiple of the block
BLOCK = "1000"
CARRIER = 0.137   # cycles per input sample
RATE = 0.1


def reference(x, carrier=CARRIER, rate=RATE):
    state = ddc_fn.ddcr_create(-(2.0 * carrier + 0.5), rate)
    out = np.empty(len(x) + 16, np.complex64)
    return ddc_fn.ddcr_execute(state, np.ascontiguousarray(x, np.float32), out).copy()


def signal(n=N, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return 0.5 * np.cos(2 * np.pi * CARRIER * t + 0.3) + 0.01 * rng.standard_normal(n)


def ints(bits, n=N):
    full = 2 ** (bits - 1)
    return np.clip(np.round(signal(n) * full), -full, full - 1).astype(np.int64)


def write_wav(path, samples, width, rate=48000, channels=1):
    if width == 1:
        raw = (samples + 128).astype(np.uint8).tobytes()
    elif width == 3:
        u = samples.astype(np.int64) & 0xFFFFFF
        raw = np.stack([u & 0xFF, (u >> 8) & 0xFF, (u >> 16) & 0xFF], axis=1).astype(np.uint8).tobytes()
    else:
        raw = samples.astype(f"<i{width}").tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(raw)


def write_sigmf(base, data, datatype, sample_rate=1e6, frequency=None):
    data_path = f"{base}.sigmf-data"
    data.tofile(data_path)
    meta = sigmf.SigMFFile(global_info={"core:datatype": datatype, "core:sample_rate": sample_rate})
    meta.set_data_file(data_path)
    meta.add_capture(0, metadata={} if frequency is None else {"core:frequency": frequency})
    meta.tofile(f"{base}.sigmf-meta")
    return f"{base}.sigmf-meta"


def make_input(kind, tmp_path):
    """(path, extra args, float32 samples the command must see) for one input format."""
    if kind == "f32":
        x = signal().astype(np.float32)
        p = tmp_path / "in.f32"
        x.tofile(p)
        return p, [], x
    if kind == "s16":
        v = ints(16)
        p = tmp_path / "in.raw"
        v.astype("<i2").tofile(p)
        return p, ["-f", "s16"], (v / 2.0 ** 15).astype(np.float32)
    if kind.startswith("wav"):
        width = int(kind[3:]) // 8
        v = ints(8 * width)
        p = tmp_path / "in.wav"
        write_wav(p, v, width)
        return p, [], (v / 2.0 ** (8 * width - 1)).astype(np.float32)
    if kind == "sigmf-rf32":
        x = signal().astype(np.float32)
        return write_sigmf(tmp_path / "rec", x, "rf32_le"), [], x
    if kind == "sigmf-ri16":
        v = ints(16)
        return (write_sigmf(tmp_path / "rec", v.astype("<i2"), "ri16_le"), [],
                (v / 2.0 ** 15).astype(np.float32))
    raise AssertionError(kind)


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


# -- formats -------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["f32", "s16", "wav8", "wav16", "wav24", "wav32",
                                  "sigmf-rf32", "sigmf-ri16"])
def test_each_input_format_gives_the_module_output_bit_for_bit(kind, tmp_path, capsys):
    src, extra, x = make_input(kind, tmp_path)
    out = tmp_path / "out.cf32"
    status, _, err = run([src, *extra, "-n", CARRIER, "-r", RATE, "--block", BLOCK, "-o", out], capsys)
    assert (status, err) == (0, "")
    got, want = read_cf32(out), reference(x)
    assert len(want) > 400
    assert got.tobytes() == want.tobytes()


def test_stdin_to_stdout_pipeline_matches_module_and_prints_nothing_else(tmp_path):
    x = signal().astype(np.float32)
    res = subprocess.run(ddc_command() + ["-n", str(CARRIER), "-r", str(RATE), "--block", "777"],
                         input=x.tobytes(), capture_output=True, env=subprocess_env())
    assert res.returncode == 0, res.stderr
    # A pipe on stderr means no progress bar.
    assert res.stderr == b""
    assert res.stdout == reference(x).tobytes()


def test_streams_in_constant_memory(tmp_path, capsys):
    src = tmp_path / "long.f32"
    np.zeros(1 << 22, np.float32).tofile(src)  # 16 MiB in, 8 MiB out
    tracemalloc.start()
    try:
        status, _, _ = run([src, "-n", "0.1", "-r", "0.25", "-q", "-o", tmp_path / "o.cf32"], capsys)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert status == 0 and (tmp_path / "o.cf32").stat().st_size == 8 << 20
    assert peak < 8 << 20  # half the input: never the whole file at once


def test_hz_tuning_uses_the_rate_recorded_in_the_wav(tmp_path, capsys):
    v = ints(16)
    write_wav(tmp_path / "in.wav", v, 2, rate=48000)
    out = tmp_path / "out.cf32"
    status, _, err = run([tmp_path / "in.wav", "--carrier", CARRIER * 48000, "--fs-out", RATE * 48000,
                          "-o", out], capsys)
    assert (status, err) == (0, "")
    want = reference((v / 2.0 ** 15).astype(np.float32), CARRIER * 48000 / 48000, RATE * 48000 / 48000)
    assert read_cf32(out).tobytes() == want.tobytes()


# -- SigMF metadata -----------------------------------------------------------

def test_file_output_gets_sigmf_metadata_describing_it(tmp_path, capsys):
    x = signal().astype(np.float32)
    src = tmp_path / "in.f32"
    x.tofile(src)
    out = tmp_path / "base.cf32"
    status, _, _ = run([src, "--fs", 48000, "--carrier", 6576, "--fs-out", 4800, "-o", out], capsys)
    assert status == 0
    meta = json.loads((tmp_path / "base.cf32.sigmf-meta").read_text())
    g = meta["global"]
    assert g["core:datatype"] == "cf32_le"
    assert g["core:sample_rate"] == 4800.0
    assert g["core:dataset"] == "base.cf32"
    assert meta["captures"] == [{"core:sample_start": 0, "core:frequency": 6576.0}]
    # The sigmf package reads it back, checksum included, as the very samples written.
    rec = sigmf.sigmffile.fromfile(str(tmp_path / "base.cf32.sigmf-meta"))
    assert rec.read_samples().tobytes() == read_cf32(out).tobytes()


def test_sigmf_input_centre_frequency_carries_into_the_output(tmp_path, capsys):
    x = signal().astype(np.float32)
    meta_in = write_sigmf(tmp_path / "rec", x, "rf32_le", sample_rate=2e6, frequency=100e6)
    out = tmp_path / "bb.sigmf-data"
    status, _, _ = run([meta_in, "--carrier", 250e3, "--rate", 0.125, "-o", out], capsys)
    assert status == 0
    meta = json.loads((tmp_path / "bb.sigmf-meta").read_text())
    assert "core:dataset" not in meta["global"]  # a conforming .sigmf-data pair
    assert meta["global"]["core:sample_rate"] == 250e3
    assert meta["captures"][0]["core:frequency"] == 100e6 + 250e3


def test_normalised_tuning_without_a_sample_rate_leaves_rates_out_of_the_metadata(tmp_path, capsys):
    src = tmp_path / "in.f32"
    signal().astype(np.float32).tofile(src)
    status, _, _ = run([src, "-n", CARRIER, "-r", RATE, "-o", tmp_path / "o.cf32"], capsys)
    assert status == 0
    meta = json.loads((tmp_path / "o.cf32.sigmf-meta").read_text())
    assert "core:sample_rate" not in meta["global"]
    assert "core:frequency" not in meta["captures"][0]


# -- errors ---------------------------------------------------------------------

def _bad_inputs(tmp_path):
    good = tmp_path / "good.f32"
    signal().astype(np.float32).tofile(good)
    odd = tmp_path / "odd.f32"
    odd.write_bytes(b"\0" * 4099)
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"this is not a RIFF file at all")
    stereo = tmp_path / "stereo.wav"
    write_wav(stereo, np.zeros(200, np.int64), 2, channels=2)
    bad_meta = tmp_path / "bad.sigmf-meta"
    bad_meta.write_text("{ not json")
    cplx = write_sigmf(tmp_path / "cplx", np.zeros(64, np.complex64), "cf32_le")
    return {"good": good, "odd": odd, "junk": junk, "stereo": stereo, "bad_meta": bad_meta,
            "cplx": cplx, "missing": tmp_path / "missing.f32", "dir": tmp_path}


ERRORS = [
    # (input key, arguments, exit status, words the message must contain)
    ("good", ["-n", "0.1", "-r", "0.5"], 2, "outside (0, 0.5)"),
    ("good", ["-n", "0.1", "-r", "0"], 2, "outside (0, 0.5)"),
    ("good", ["-n", "0.1", "-r", "-0.25"], 2, "outside (0, 0.5)"),
    ("good", ["-n", "0.1", "--fs", "1000", "--fs-out", "600"], 2, "outside (0, 0.5)"),
    ("good", ["-n", "0.1", "-r", "nan"], 2, "must be finite"),
    ("good", ["-n", "0.7", "-r", "0.25"], 2, "outside [0, 0.5]"),
    ("good", ["--carrier", "1000", "-r", "0.25"], 2, "needs the input sample rate"),
    ("good", ["-n", "0.1"], 2, "required"),
    ("good", ["-n", "0.1", "-r", "0.2", "-f", "mp3"], 2, "invalid choice"),
    ("missing", ["-n", "0.1", "-r", "0.2"], 1, "No such file"),
    ("dir", ["-n", "0.1", "-r", "0.2"], 1, "directory"),
    ("odd", ["-n", "0.1", "-r", "0.2"], 1, "not a whole number"),
    ("junk", ["-n", "0.1", "-r", "0.2"], 1, "not a readable WAV"),
    ("stereo", ["-n", "0.1", "-r", "0.2"], 1, "only mono"),
    ("bad_meta", ["-n", "0.1", "-r", "0.2"], 1, "not a readable SigMF"),
    ("cplx", ["-n", "0.1", "-r", "0.2"], 1, "complex"),
]


@pytest.mark.parametrize("key,args,status,words", ERRORS)
def test_errors_are_one_line_with_status_and_leave_no_output(key, args, status, words, tmp_path, capsys):
    inputs = _bad_inputs(tmp_path)
    before = set(os.listdir(tmp_path))
    got, out, err = run([inputs[key], *args, "-o", tmp_path / "out.cf32"], capsys)
    assert got == status
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("ddc: error: ") and words in err
    assert "Traceback" not in err
    assert set(os.listdir(tmp_path)) == before


def test_output_over_the_input_recording_metadata_is_refused(tmp_path, capsys):
    meta_in = write_sigmf(tmp_path / "rec", signal().astype(np.float32), "rf32_le")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    status, _, err = run([meta_in, "-n", "0.1", "-r", "0.2", "-o", tmp_path / "rec.sigmf-data"], capsys)
    assert status == 2 and "would overwrite the input" in err
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_unwritable_output_is_an_error(tmp_path, capsys):
    src = tmp_path / "in.f32"
    signal().astype(np.float32).tofile(src)
    status, _, err = run([src, "-n", "0.1", "-r", "0.2", "-o", tmp_path / "no" / "out.cf32"], capsys)
    assert status == 1 and err.startswith("ddc: error: cannot write")


def test_failure_midway_keeps_the_old_output_and_leaves_no_partial_file(tmp_path, capsys):
    # A WAV whose header promises more samples than the file holds fails only
    # after some blocks have been converted and written.
    path = tmp_path / "cut.wav"
    write_wav(path, ints(16, 20000), 2)
    path.write_bytes(path.read_bytes()[:-10000])
    out = tmp_path / "out.cf32"
    out.write_bytes(b"previous result")
    before = set(os.listdir(tmp_path))
    status, _, err = run([path, "-n", "0.1", "-r", "0.2", "--block", "1024", "-o", out], capsys)
    assert status == 1 and "truncated" in err and err.count("\n") == 1
    assert out.read_bytes() == b"previous result"
    assert set(os.listdir(tmp_path)) == before


def test_stdin_ending_inside_a_sample_is_reported_without_traceback():
    res = subprocess.run(ddc_command() + ["-n", "0.1", "-r", "0.2"], input=b"\0" * 4003,
                         capture_output=True, env=subprocess_env())
    assert res.returncode == 1
    assert res.stderr.decode() == "ddc: error: standard input: ends inside a sample (3 stray bytes)\n"


def test_reader_going_away_stops_quietly(tmp_path):
    src = tmp_path / "in.f32"
    np.zeros(1 << 20, np.float32).tofile(src)
    proc = subprocess.Popen(ddc_command() + [str(src), "-n", "0.1", "-r", "0.25"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=subprocess_env())
    proc.stdout.read(64)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait() == 141
    assert b"Traceback" not in err


# -- progress bar ------------------------------------------------------------------

def _stderr_on_a_terminal(args):
    main_fd, sub_fd = pty.openpty()
    # A new pseudo-terminal has no size, and tqdm draws nothing in 0 rows.
    fcntl.ioctl(sub_fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        proc = subprocess.run(ddc_command() + args, stdout=subprocess.DEVNULL, stderr=sub_fd,
                              env=subprocess_env(), timeout=60)
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


def test_progress_bar_shows_on_a_terminal_and_not_when_quiet(tmp_path):
    src = tmp_path / "in.f32"
    np.zeros(200_000, np.float32).tofile(src)
    args = [str(src), "-n", "0.1", "-r", "0.25", "--block", "4096", "-o", str(tmp_path / "o.cf32")]
    status, shown = _stderr_on_a_terminal(args)
    assert status == 0 and "100%" in shown and "in.f32" in shown
    status, shown = _stderr_on_a_terminal(args + ["--quiet"])
    assert status == 0 and shown == ""


def test_installed_console_script_is_the_cli():
    from importlib.metadata import entry_points

    scripts = [e for e in entry_points(group="console_scripts") if e.name == "ddc"]
    if not scripts:
        pytest.skip("package not installed")
    assert scripts[0].value == "quorvel.ddc.cli:main"


# -- demo ---------------------------------------------------------------------------

def test_demo_prints_figures_and_draws_the_spectra(tmp_path, capsys):
    png = tmp_path / "demo.png"
    status, out, err = run(["demo", "-o", png, "-n", 1 << 16], capsys)
    assert (status, err) == (0, "")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    for words in ("wanted tone", "strongest spur", "SFDR", "MS/s"):
        assert words in out
    assert [p.name for p in tmp_path.iterdir()] == ["demo.png"]


def test_demo_with_an_unwritable_picture_fails_before_the_work(tmp_path, capsys):
    status, out, err = run(["demo", "-o", tmp_path / "no" / "d.png", "-n", 4096], capsys)
    assert (status, out) == (1, "")
    assert err.startswith("ddc: error: cannot write") and err.count("\n") == 1


def test_demo_rejects_a_rate_outside_the_interval(tmp_path, capsys):
    status, _, err = run(["demo", "--rate", "0.75", "-o", tmp_path / "d.png"], capsys)
    assert status == 2 and err.startswith("ddc demo: error:") and err.count("\n") == 1
    assert not (tmp_path / "d.png").exists()
