"""quorvel.ddc.demo: the down-conversion report, its stable result keys, and plan figures."""
import math

import numpy as np
import pytest

from quorvel.ddc import cli, demo

KEYS = {"carrier", "rate", "norm_freq", "atten_db", "plan", "n_in", "n_out", "tone_db", "spur_db",
        "sfdr_db", "msps"}
PLANS = [None, 80.0]


@pytest.mark.parametrize("atten", PLANS)
@pytest.mark.parametrize("carrier, amplitude", [(f, a) for f, a in demo.CARRIERS[:3]])
def test_each_carrier_lands_at_dc_with_its_level(carrier, amplitude, atten):
    r = demo.run_demo(carrier=carrier, rate=0.03125, n=1 << 18, seed=2, atten_db=atten)
    assert set(r) == KEYS and r["atten_db"] == atten
    assert r["norm_freq"] == -(2 * carrier + 0.5)
    assert r["n_in"] == 1 << 18 and abs(r["n_out"] - (1 << 18) // 32) <= 2
    # The passband gain is one, so the tone reads its amplitude in dB.
    assert r["tone_db"] == pytest.approx(20 * math.log10(amplitude), abs=0.1)
    assert r["sfdr_db"] == pytest.approx(r["tone_db"] - r["spur_db"])
    assert r["sfdr_db"] > 55
    assert r["msps"] > 0


def test_partial_last_block_and_wide_output_band():
    # At rate 0.25 the neighbour at 0.137 is in band and becomes the strongest other component.
    r = demo.run_demo(carrier=0.1, rate=0.25, n=100_003, seed=3)
    assert abs(r["n_out"] - 0.25 * 100_003) <= 2
    assert r["spur_db"] == pytest.approx(20 * math.log10(0.3), abs=0.5)


def test_signal_is_reproducible_float32():
    a, b = demo.synthesize(5000, seed=4), demo.synthesize(5000, seed=4)
    assert a.dtype == np.float32 and np.array_equal(a, b)
    assert not np.array_equal(a, demo.synthesize(5000, seed=5))


def test_main_prints_the_report(capsys):
    assert demo.main(["-n", "131072", "--rate", "0.0625", "--carrier", "0.23", "--exact"]) == 0
    text = capsys.readouterr().out
    for label in ("carrier        : 0.23", "rate           : 0.0625", "131072 in, 8192 out",
                  "wanted tone    : -7.9", "plan           : exact plan", "SFDR", "MS/s"):
        assert label in text


# The exact plans' figures, as ddc/ddcr.h states them: flat to 0.01 dB and 58 to
# 61 dB down beyond 0.6 fs_out for half-band and resampler plans, a CIC's droop
# and weak rejection below 1/8 of the half-band rate.
EXACT = [  # (complex, rate, ripple at most, alias from, alias to)
    (False, 0.25, 0.02, -60, -55),
    (False, 0.1, 0.02, -63, -55),
    (True, 0.5, 0.02, -60, -55),
    (False, 0.01, 20.0, -50, -20),
]


@pytest.mark.parametrize("is_complex,rate,ripple,lo,hi", EXACT)
def test_measured_figures_of_the_exact_plans(is_complex, rate, ripple, lo, hi):
    r = demo.measure_plan(is_complex, rate, None)
    assert r["ripple_db"] <= ripple
    assert lo <= r["alias_db"] <= hi and abs(r["alias_at"]) >= demo.STOP_EDGE
    assert r["plan"] and all(isinstance(label, str) for label in r["plan"])


def test_an_interpolating_plan_has_no_band_beyond_the_stop_edge():
    r = demo.measure_plan(True, 1.5, None)
    assert r["alias_db"] is None and r["ripple_db"] < 2


def test_stage_table_reads_factors_and_taps_from_labels():
    labels = ("HalfbandR2C(71 taps)", "NCO(32-bit phase)", "HalfbandDecimator(27 taps)", "FIR(45)/3",
              "CIC(8)+FIR", "Resampler(0.9, 80 taps x 64 phases)")
    rows = cli.stage_table(labels, 0.5 * 0.5 / 3 / 8 * 0.9)
    assert [t for *_, t in rows] == [71, None, 27, 45, None, 80]
    outs = [r_out for _, _, r_out, _ in rows]
    assert outs == pytest.approx([0.5, 0.5, 0.25, 0.25 / 3, 0.25 / 24, 0.25 / 24 * 0.9])
    # a stage the label says nothing about takes what the others leave
    rows = cli.stage_table(("HalfbandR2C", "Mystery"), 0.1)
    assert rows[1][2] == pytest.approx(0.1)
    assert cli.stage_table(("Translator(3/10, 90 taps x 3 rows)",), 0.3) == [
        ("Translator(3/10, 90 taps x 3 rows)", 1.0, pytest.approx(0.3), 90)]
