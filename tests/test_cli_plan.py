"""`ddc plan` and `ddc demo`: stages, measured figures, the picture, and where it goes."""
from pathlib import Path

import pytest

from quorvel.ddc import cli

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path, monkeypatch):
    # Default outputs (ddc_demo.png) land in the test's directory, never the repository's.
    monkeypatch.chdir(tmp_path)


def run(args, capsys):
    status = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def fields(text):
    return {k.strip(): v for k, v in (line.split(": ", 1) for line in text.strip().splitlines())}


def number(text):
    return float(text.split()[0])


def test_plan_of_the_exact_real_converter(capsys):
    status, out, err = run(["plan", "--rate", "0.1", "--exact", "--fs", "1e6"], capsys)
    assert (status, err) == (0, "")
    f = fields(out)
    assert f["plan"] == "exact plan" and f["converter"].startswith("real input (DDCR)")
    stages = [f[k] for k in f if k.startswith("stage ")]
    # rates read from the labels run from fs_in down to fs_out
    assert "  1e+06 Hz -> " in stages[0] and "-> 100000 Hz" in stages[-1]
    assert number(f["ripple"]) < 0.02
    assert -63 < number(f["worst alias"]) < -55


@pytest.mark.parametrize("args,atten", [([], 80.0), (["--complex"], 80.0), (["--atten", "60"], 60.0),
                                        (["--atten", "100", "--complex"], 100.0)])
@pytest.mark.parametrize("rate", ["0.1", "0.013"])
def test_designed_plans_meet_their_attenuation(args, atten, rate, capsys):
    status, out, err = run(["plan", "--rate", rate, *args], capsys)
    assert (status, err) == (0, "")
    f = fields(out)
    assert f["plan"] == f"designed plan, {atten:g} dB"
    assert number(f["worst alias"]) <= -atten + 1.0
    assert number(f["ripple"]) < 0.1
    assert number(f["group delay"]) > 0 and number(f["cost"]) > 0
    assert "stage 1" in f


@pytest.mark.parametrize("args,status,words", [
    (["--rate", "0.5"], 2, "(0, 0.5)"),
    (["--rate", "0", "--complex"], 2, "(2^-32, 2^31)"),
    (["--rate", "1e-4", "--complex", "--exact"], 2, "powers of two"),
    (["--rate", "0.1", "--atten", "200"], 2, "outside [40, 120] dB"),
    ([], 2, "required"),
    (["--rate", "1/0"], 2, "rate '1/0' divides by zero"),
    (["--rate", "1/x"], 2, "rate '1/x' is not a number or a fraction P/Q"),
])
def test_plan_errors(args, status, words, capsys):
    got, out, err = run(["plan", *args], capsys)
    assert (got, out) == (status, "") and err.startswith("ddc plan: error:") and words in err
    assert err.count("\n") == 1


def test_a_rate_may_be_a_fraction(capsys):
    got = [run(["plan", "--rate", r, "--exact"], capsys) for r in ("1/12", repr(1 / 12))]
    assert got[0] == got[1] and got[0][0] == 0


def test_demo_prints_figures_and_draws_the_spectra_where_asked(tmp_path, capsys):
    status, out, err = run(["demo", "-o", "demo.png", "-n", 1 << 16], capsys)
    assert (status, err) == (0, "")
    assert (tmp_path / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    f = fields(out)
    assert f["plan"].startswith("designed plan, 80 dB: ")
    for words in ("wanted tone", "strongest spur", "throughput"):
        assert words in f
    assert [p.name for p in tmp_path.iterdir()] == ["demo.png"]


def test_demo_exact_plan_and_default_picture_name(tmp_path, capsys):
    status, out, _ = run(["demo", "--exact", "-n", 1 << 15], capsys)
    assert status == 0 and fields(out)["plan"].startswith("exact plan: ")
    assert [p.name for p in tmp_path.iterdir()] == ["ddc_demo.png"]


def test_demo_title_names_the_plan_and_marks_the_band_edges(tmp_path, monkeypatch):
    import matplotlib.figure

    from quorvel.ddc import demo

    seen = {}
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda fig, *a, **k: seen.setdefault("fig", fig))
    r = demo.run_demo(n=1 << 15, atten_db=None, keep=True)
    demo.draw(tmp_path / "x.png", r)
    top, bottom = seen["fig"].axes
    assert "exact plan: " in bottom.get_title()
    # the output: the pass band, and the transition bands beside it
    spans = sorted(round(p.get_x(), 6) for p in bottom.patches)
    assert spans == [-0.5, -0.4, 0.4]
    # the input: the pass band and the stop-band edges around the carrier
    edges = sorted(line.get_xdata()[0] for line in top.lines if line.get_linestyle() == "--")
    assert edges == pytest.approx([0.1 - 0.6 * 0.03125, 0.1 + 0.6 * 0.03125])
    (band,) = top.patches
    assert band.get_x() == pytest.approx(0.1 - 0.4 * 0.03125)


def test_demo_with_an_unwritable_picture_fails_before_the_work(tmp_path, capsys):
    status, out, err = run(["demo", "-o", tmp_path / "no" / "d.png", "-n", 4096], capsys)
    assert (status, out) == (1, "")
    assert err.startswith("ddc: error: cannot write") and err.count("\n") == 1


def test_demo_keeps_an_existing_picture_unless_forced(tmp_path, capsys):
    (tmp_path / "d.png").write_bytes(b"keep me")
    status, out, err = run(["demo", "-o", tmp_path / "d.png", "-n", 4096], capsys)
    assert (status, out) == (2, "") and "d.png exists; add --force to replace it" in err
    assert (tmp_path / "d.png").read_bytes() == b"keep me"


def test_demo_rejects_a_rate_outside_the_interval(tmp_path, capsys):
    status, _, err = run(["demo", "--rate", "0.75", "-o", "d.png"], capsys)
    assert status == 2 and err.startswith("ddc demo: error:") and err.count("\n") == 1
    assert not (tmp_path / "d.png").exists()


def test_no_test_left_a_demo_picture_in_the_repository_root():
    assert not (ROOT / "ddc_demo.png").exists()
