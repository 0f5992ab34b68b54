"""The `ddc` command with several channels: the channel bank behind it, name
patterns, channel list files, and the refusals that must leave nothing behind.

The reference is a ChannelBank built as the command documents (atten_db the
plan's, max_rate the largest channel rate, channels added in order) fed the
whole input at once; the command streams in odd blocks, so equality bit for
bit also checks its block handling.
"""
import json
import os

import numpy as np
import pytest

from quorvel.ddc import ChannelBank, cli

sigmf = pytest.importorskip("sigmf")

FS = 2.4e6
N = 60001
TONES = (0.1, 0.3)     # cycles per input sample
CARRIERS = (0.098, 0.303)
RATE = 0.01


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)


def tones(is_complex):
    t = np.arange(N)
    if is_complex:  # the second tone below the centre
        return (np.exp(2j * np.pi * TONES[0] * t)
                + np.exp(-2j * np.pi * TONES[1] * t)).astype(np.complex64)
    return sum(np.cos(2 * np.pi * f * t) for f in TONES).astype(np.float32) * np.float32(0.5)


def bank_output(x, channels, atten=80.0):
    """{index: output} of a ChannelBank given the whole of x; channels as (carrier, rate)."""
    with ChannelBank(complex_input=x.dtype == np.complex64, atten_db=atten,
                     max_rate=max(r for _, r in channels)) as bank:
        ids = [bank.add(c, r, atten_db=atten) for c, r in channels]
        out = bank.process(x)
        return [out[i].copy() for i in ids]


def run(args, capsys):
    status = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def peak(y):
    """The strongest frequency of y in cycles per sample, in [-0.5, 0.5)."""
    y = y[len(y) // 4:]
    mag = np.abs(np.fft.fft(y * np.hanning(len(y))))
    return np.fft.fftfreq(len(y))[np.argmax(mag)]


@pytest.mark.parametrize("is_complex", [False, True], ids=["real", "iq"])
def test_each_channel_is_the_banks_output_with_its_tone_where_it_belongs(is_complex, tmp_path,
                                                                         capsys):
    x = tones(is_complex)
    x.tofile(tmp_path / ("in.cf32" if is_complex else "in.f32"))
    carriers = (CARRIERS[0], -CARRIERS[1]) if is_complex else CARRIERS
    hz = [c * FS for c in carriers]
    args = ["in.cf32" if is_complex else "in.f32", "--fs", FS, "--fs-out", RATE * FS,
            "--block", 1001, "-o", "ch_{carrier}.cf32"]
    for f in hz:
        args += ["--carrier", f]
    status, out, err = run(args, capsys)
    assert (status, out, err) == (0, "", "")
    want = bank_output(x, [(c, RATE) for c in carriers])
    for i, (c, f) in enumerate(zip(carriers, hz)):
        name = f"ch_{round(f)}.cf32"
        got = np.fromfile(tmp_path / name, np.complex64)
        assert len(got) > 500 and got.tobytes() == want[i].tobytes()
        tone = TONES[i] if c > 0 else -TONES[i]
        assert peak(got) == pytest.approx((tone - c) / RATE, abs=2 / len(got))
        rec = sigmf.sigmffile.fromfile(str(tmp_path / (name + ".sigmf-meta")))
        rec.validate()
        g = rec.get_global_info()
        assert (g["core:datatype"], g["core:sample_rate"], g["quorvel:atten_db"],
                g["quorvel:channel"]) == ("cf32_le", RATE * FS, 80.0, i)
        assert rec.get_captures()[0]["core:frequency"] == f
        assert rec.read_samples().tobytes() == got.tobytes()
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["in.cf32" if is_complex else "in.f32"]
        + [f"ch_{round(f)}.cf32{m}" for f in hz for m in ("", ".sigmf-meta")])


def test_a_channel_list_gives_each_line_its_rate_name_and_format(tmp_path, capsys):
    x = tones(False)
    x.tofile(tmp_path / "in.f32")
    (tmp_path / "list.txt").write_text(
        "# carrier  rate  name\n"
        "\n"
        f"{CARRIERS[0]}fs  rate=0.02  name=low   # normalised\n"
        f"{CARRIERS[1] * FS}  fs_out={RATE * FS}  high\n"
        "   0.2fs\n")
    status, _, err = run(["in.f32", "--fs", FS, "--channels", "list.txt", "--rate", 0.005,
                          "--atten", 90, "-o", "{index:02}_{name}.cs16"], capsys)
    # the third line has no name for {name}
    assert status == 2 and "list.txt:5" in err and "no name" in err
    assert sorted(os.listdir(tmp_path)) == ["in.f32", "list.txt"]
    status, _, err = run(["in.f32", "--fs", FS, "--channels", "list.txt", "--rate", 0.005,
                          "--atten", 90, "-o", "{index:02}_{carrier}.cs16"], capsys)
    assert (status, err) == (0, "")
    rates = [0.02, RATE, 0.005]
    want = bank_output(x, list(zip([CARRIERS[0], CARRIERS[1], 0.2], rates)), atten=90.0)
    for i, (name, r) in enumerate(zip(["00_235200", "01_727200", "02_480000"], rates)):
        full = 2.0 ** 15
        ints = np.clip(np.rint(want[i].view(np.float32) * np.float32(full)), -full, full - 1)
        assert np.array_equal(np.fromfile(tmp_path / f"{name}.cs16", "<i2"), ints)
        g = json.loads((tmp_path / f"{name}.cs16.sigmf-meta").read_text())["global"]
        assert (g["core:datatype"], g["core:sample_rate"], g["quorvel:rate"]) == (
            "ci16_le", pytest.approx(r * FS), r)
        assert g.get("quorvel:name") == ("low", "high", None)[i]


@pytest.mark.parametrize("line,words", [
    ("1e5 rate=0.01 speed=3", "unknown field 'speed'"),
    ("1e5 0.01", "a bare number says nothing"),
    ("1e5 rate=0.01 fs_out=1e3", "both given"),
    ("1e5 rate=0.01 rate=0.02", "rate given twice"),
    ("1e5 rate=1/0", "rate '1/0' divides by zero"),
    ("one-hundred-k", "carrier 'one-hundred-k' is not a number"),
    ("0.7fs rate=0.01", "outside [0, 0.5]"),
    ("1e5 rate=0.01 name=../up", "name '../up'"),
    ("1e5", "no output rate"),
])
def test_a_bad_channel_line_is_named_by_file_and_line(line, words, tmp_path, capsys):
    tones(False).tofile(tmp_path / "in.f32")
    (tmp_path / "list.txt").write_text(f"# two channels\n2e5 rate=0.01\n{line}\n")
    before = sorted(os.listdir(tmp_path))
    status, out, err = run(["in.f32", "--fs", FS, "--channels", "list.txt", "-o", "o{index}"],
                           capsys)
    assert status == 2 and out == "" and err.count("\n") == 1
    assert err.startswith("ddc: error: list.txt:3: ") and words in err, err
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("src,args,words", [
    ("in.f32", ["-o", "same.cf32"], "would both be same.cf32"),
    ("in.f32", ["-o", "{name}.f32"], "would overwrite the input"),
    ("rec.sigmf-meta", ["-o", "{name}.sigmf-data"], "would overwrite the input"),
    ("in.f32", ["-o", "-"], "cannot share standard output"),
    ("in.f32", ["-o", "o{index}", "--exact"], "--exact: the channel bank runs designed plans"),
    ("in.f32", ["-o", "o{chanel}"], "unknown field {chanel}"),
])
def test_outputs_that_collide_or_overwrite_the_input_are_refused(src, args, words, tmp_path,
                                                                 capsys):
    x = tones(False)
    x.tofile(tmp_path / "in.f32")
    x.tofile(tmp_path / "rec.sigmf-data")
    meta = sigmf.SigMFFile(global_info={"core:datatype": "rf32_le", "core:sample_rate": FS})
    meta.set_data_file(str(tmp_path / "rec.sigmf-data"))
    meta.tofile(tmp_path / "rec.sigmf-meta")
    (tmp_path / "list.txt").write_text("0.1fs in\n0.3fs rec\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    status, out, err = run([src, "--channels", "list.txt", "-r", RATE, *args], capsys)
    assert status == 2 and out == "" and err.count("\n") == 1 and words in err, err
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
