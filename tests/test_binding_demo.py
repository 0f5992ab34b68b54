"""quorvel.ddc.demo: the down-conversion report and its stable result keys."""
import math

import numpy as np
import pytest

from quorvel.ddc import demo

KEYS = {"carrier", "rate", "norm_freq", "n_in", "n_out", "tone_db", "spur_db", "sfdr_db", "msps"}


@pytest.mark.parametrize("carrier, amplitude", [(f, a) for f, a in demo.CARRIERS[:3]])
def test_each_carrier_lands_at_dc_with_its_level(carrier, amplitude):
    r = demo.run_demo(carrier=carrier, rate=0.03125, n=1 << 18, seed=2)
    assert set(r) == KEYS
    assert r["norm_freq"] == -(2 * carrier + 0.5)
    assert r["n_in"] == 1 << 18 and r["n_out"] == (1 << 18) // 32
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
    assert demo.main(["-n", "131072", "--rate", "0.0625", "--carrier", "0.23"]) == 0
    text = capsys.readouterr().out
    for label in ("carrier     : 0.23", "rate        : 0.0625", "131072 in, 8192 out",
                  "wanted tone : -7.9", "SFDR", "MS/s"):
        assert label in text
