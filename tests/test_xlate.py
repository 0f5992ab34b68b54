"""Translating decimator: real input, one carrier's band out at a rational rate.

The mask figures are measured on tones (the down-converter's sweep in
test_designed.py runs the same through ddcr_* at 0.3, 0.45 and 1/3); here the
stage alone, at ratios and carriers the sweep does not reach, and its stream
properties.
"""
import ctypes
import math

import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, lib, nan_policy_equal, ptr
from test_designed import ddcr_carrier, pass_band, sfdr, worst_alias


class Stage:
    """The stage as test_designed's figures expect a converter."""

    real = True

    def __init__(self, up, down, atten, carrier):
        self.rate, self.carrier = up / down, carrier
        self.h = Handle(lib.xlate_create(-carrier, up, down, atten), lib.xlate_destroy)
        self.delay = lib.xlate_get_delay(self.h.p) * self.rate

    def run(self, x, cap=None):
        x = np.ascontiguousarray(x, np.float32)
        room = lib.xlate_capacity(self.h.p, len(x))
        out = np.empty(max(room, 1), np.complex64)
        n = lib.xlate_execute(self.h.p, ptr(x), len(x), ptr(out), room if cap is None else cap)
        return out[:n]


@pytest.mark.parametrize("up,down,atten,where", [
    (5, 12, 80.0, 0.37), (64, 131, 100.0, 0.5), (1, 17, 120.0, 0.1), (2, 5, 60.0, 0.9)])
def test_mask(up, down, atten, where):
    # `where`: the carrier's place in the span that keeps the band in [0.05, 0.45]
    rate = up / down
    lo, hi = 0.05 + 0.5 * rate, 0.45 - 0.5 * rate
    carrier = ddcr_carrier(rate) if hi <= lo else lo + where * (hi - lo)
    ripple, ref = pass_band(Stage(up, down, atten, carrier))
    assert ripple <= 0.05
    assert worst_alias(Stage(up, down, atten, carrier), ref) <= -atten
    assert sfdr(Stage(up, down, atten, carrier)) >= atten


def noise(n, seed=3):
    return np.random.default_rng(seed).standard_normal(n)


def split_run(st, x, rng, retune_at=None):
    parts, i = [], 0
    while i < len(x):
        n = int(rng.choice([0, 1, 2, 5, 63, 700, 5000]))
        if retune_at is not None and i < retune_at < i + n:
            n = retune_at - i
        parts.append(st.run(x[i:i + n]))
        assert len(parts[-1]) <= n  # one output per input at most
        i += n
        if i == retune_at:
            lib.xlate_set_norm_freq(st.h.p, -0.31)
    return np.concatenate(parts)


@pytest.mark.parametrize("up,down", [(1, 3), (3, 10), (9, 20), (64, 129)])
def test_splits_retune_reset_and_capacity(up, down):
    x = noise(30_000)
    whole = Stage(up, down, 80.0, 0.2)
    ref = np.concatenate([whole.run(x[:12_345]), (lib.xlate_set_norm_freq(whole.h.p, -0.31),
                                                   whole.run(x[12_345:]))[1]])
    rng = np.random.default_rng(up * 1000 + down)
    st = Stage(up, down, 80.0, 0.2)
    assert bits_equal(split_run(st, x, rng, retune_at=12_345), ref)
    assert lib.xlate_get_norm_freq(st.h.p) == -0.31
    lib.xlate_reset(st.h.p)
    fresh = Stage(up, down, 80.0, 0.31)
    assert bits_equal(st.run(x), fresh.run(x))
    # the capacity is the count, whatever the state
    st = Stage(up, down, 80.0, 0.2)
    for n in rng.integers(0, 3000, 12):
        predicted = lib.xlate_capacity(st.h.p, int(n))
        assert len(st.run(noise(int(n)))) == predicted
    assert lib.xlate_capacity(st.h.p, 2 ** 64 - 1) >= (2 ** 64 - 1) // down * up - 10_000  # no overflow


@pytest.mark.parametrize("cap", [0, 1, 7, 100])
def test_a_short_room_takes_the_inputs_before_the_first_output_it_cannot_hold(cap):
    up, down = 3, 10
    x = noise(5000)
    ref = Stage(up, down, 60.0, 0.2).run(x)
    st = Stage(up, down, 60.0, 0.2)
    head = st.run(x[:3000], cap=cap)
    assert len(head) == cap
    fresh = Stage(up, down, 60.0, 0.2)
    taken = next(x for x in range(5000) if lib.xlate_capacity(fresh.h.p, x + 1) > cap)  # output `cap` falls due
    tail = st.run(x[taken:])
    assert bits_equal(np.concatenate([head, tail]), ref)


def test_silence_delay_and_linearity():
    st = Stage(3, 10, 80.0, 0.2)
    assert not np.any(st.run(np.zeros(20_000)))
    # a tone's output phase against its input phase gives the stated delay
    f = 0.2 + 0.05 * 0.3
    n = np.arange(40_000)
    y = Stage(3, 10, 80.0, 0.2).run(np.cos(2 * np.pi * f * n))[2000:]
    j = np.arange(2000, 2000 + len(y))
    t = j / 0.3 - lib.xlate_get_delay(st.h.p)  # input time each output shows
    want = 0.5 * np.exp(2j * np.pi * (f - 0.2) * t)
    assert np.max(np.abs(y - want)) < 1e-3
    big = Stage(3, 10, 80.0, 0.2).run(1e6 * np.cos(2 * np.pi * f * n))[2000:]
    assert np.max(np.abs(big / 1e6 - y)) < 1e-5


@pytest.mark.skipif(not VECTOR_LEVELS, reason="no vector variant on this CPU")
@pytest.mark.parametrize("up,down", [(1, 3), (9, 20), (64, 129), (7, 1000)])
def test_variants_byte_identical(up, down):
    saved = lib.ddc_simd_level()
    x = noise(20_011)
    x[1234], x[9000] = np.inf, np.nan
    cuts = [0, 1, 17, 4100, 9999, 20_011]
    try:
        outs = []
        for levels in [[0]] + [[v] for v in VECTOR_LEVELS] + [[0] + VECTOR_LEVELS]:
            st = Stage(up, down, 100.0, 0.27)
            parts = []
            for i, (a, b) in enumerate(zip(cuts, cuts[1:])):
                assert lib.ddc_simd_force(levels[i % len(levels)]) == levels[i % len(levels)]
                parts.append(st.run(x[a:b]))
            outs.append(np.concatenate(parts))
    finally:
        lib.ddc_simd_force(saved)
    for o in outs[1:]:
        assert nan_policy_equal(o, outs[0])


@pytest.mark.parametrize("up,down,atten", [(0, 3, 80.0), (3, 3, 80.0), (4, 3, 80.0), (65, 131, 80.0),
                                           (1, 65537, 80.0), (1, 3, 39.9), (1, 3, 140.1),
                                           (1, 3, float("nan"))])
def test_refused(up, down, atten):
    assert not lib.xlate_create(0.1, up, down, atten)


def test_reduced_and_ratios():
    h = Handle(lib.xlate_create(0.1, 6, 20, 80.0), lib.xlate_destroy)
    assert (lib.xlate_get_up(h.p), lib.xlate_get_down(h.p)) == (3, 10)
    useful = 0.3 * (2 * lib.xlate_get_num_taps(h.p) + 4)  # the padding costs a quarter at most
    assert useful <= lib.xlate_get_cost(h.p) <= 1.25 * useful
    up, down = ctypes.c_uint32(), ctypes.c_uint32()
    for rate, want in [(0.3, (3, 10)), (0.45, (9, 20)), (1 / 3, (1, 3)), (0.5, (1, 2)), (64 / 129, (64, 129)),
                       (0.1, (1, 10)), (math.pi / 10, None), (65 / 131, None), (0.0, None), (1.0, None),
                       (float("nan"), None)]:
        got = lib.xlate_ratio(rate, ctypes.byref(up), ctypes.byref(down))
        assert got == (want is not None)
        if want:
            assert (up.value, down.value) == want
