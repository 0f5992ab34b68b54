"""Complex-input down-converter: creation, the fused mixer, the converter behind
it, block splits within the capacity bound and allocation failures."""
import math

import numpy as np
import pytest

from alloc_faults import run_scenario
from native import Handle, bits_equal, c64, fmaf, lib, ptr

NAN = float("nan")
INF = float("inf")
SIZE_MAX = 2 ** 64 - 1


def create(rate, norm_freq=0.0):
    return Handle(lib.ddc_create(norm_freq, rate), lib.ddc_destroy)


def run(h, x, cap=None):
    x = c64(x)
    cap = 4 * len(x) + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = lib.ddc_execute(h.p, ptr(x), len(x), ptr(out), cap)
    assert n <= cap
    return out[:n].copy()


def converter_alone(rate, x):
    rc = Handle(lib.RateConverter_create(0, rate), lib.RateConverter_destroy)
    x = c64(x)
    out = np.zeros(4 * len(x) + 8, np.complex64)
    n = lib.RateConverter_execute(rc.p, ptr(x), len(x), ptr(out), len(out))
    return out[:n].copy()


def noise(n, seed=0):
    rng = np.random.default_rng(seed)
    return c64((rng.random(n) - 0.5) + 1j * (rng.random(n) - 0.5))



# Every plan shape of the converter behind a DDC.
SHAPES = [3.0, 2.0, 1.5, 1.0, 0.75, 0.5, 0.4, 0.25, 0.125, 0.1, 0.07, 1 / 12, 2.0 ** -13, 0.0002]


# --- creation -------------------------------------------------------------------

@pytest.mark.parametrize("rate", [0.0, -1.0, NAN, INF, -INF, 2.0 ** -32, 0.00005, 2.0 ** 32, 1e10])
def test_create_refuses(rate):
    assert not lib.ddc_create(0.1, rate)


@pytest.mark.parametrize("rate", [0.25, 1.0, 3.0, 2.0 ** 31])
def test_create_accepts(rate):
    h = create(rate, -0.1)
    assert lib.ddc_get_rate(h.p) == rate
    assert lib.ddc_get_norm_freq(h.p) == -0.1
    assert lib.ddc_execute_max_out() == 0


@pytest.mark.parametrize("scenario", ["ddc_create", "ddc_execute", "ddc_create_designed",
                                      "ddc_execute_designed"])
def test_allocation_failures(scenario):
    """create unwinds at every allocation point; a block whose allocation fails
    returns 0 and is not consumed."""
    assert run_scenario(scenario) > 0


# --- mixer ------------------------------------------------------------------------

@pytest.mark.parametrize("rate", [3.0, 1.5, 1.0, 0.75, 0.5, 0.25, 0.1, 0.07])
def test_zero_frequency_is_the_converter_alone(rate):
    x = noise(5000, 1)
    assert bits_equal(run(create(rate, 0.0), x), converter_alone(rate, x))


@pytest.mark.parametrize("f", [0.123, -0.37, 0.5, 7.25])
def test_mixer_is_the_fused_product(f):
    """At rate 1 the converter copies, so the output is the mix itself."""
    x = noise(3000, 2)
    x[:4] = [0, -0.0, 1e-40, -3.5]  # zeros and a subnormal
    lo = Handle(lib.lo_create(f), lib.lo_destroy)
    o = np.zeros(len(x), np.complex64)
    lib.lo_steps(lo.p, len(x), ptr(o))
    ref = np.empty(len(x), np.complex64)
    ref.real = fmaf(o.real, x.real, -(o.imag * x.imag))
    ref.imag = fmaf(o.imag, x.real, o.real * x.imag)
    assert bits_equal(run(create(1.0, f), x), ref)


@pytest.mark.parametrize("f", [-0.1, 0.9])
def test_tone_at_carrier_becomes_constant(f):
    n = np.arange(8192)
    x = np.exp(2j * np.pi * 0.1 * n)
    y = run(create(1.0, f), x).astype(np.complex128)
    assert len(y) == len(x)
    phase = np.angle(y / y[0])
    assert np.max(np.abs(phase)) <= 2 * np.pi / 65536 + 1e-6
    assert np.max(np.abs(np.abs(y) - 1)) < 1e-4


@pytest.mark.parametrize("rate,carrier,f", [(0.25, 0.2, 0.23), (0.1, -0.31, -0.3),
                                            (0.07, 0.4, 0.39), (2.0, 0.1, 0.35),
                                            (0.75, -0.05, 0.2)])
def test_tone_lands_at_expected_baseband_frequency(rate, carrier, f):
    n = int(20000 / min(rate, 1.0))
    x = np.exp(2j * np.pi * f * np.arange(n))
    y = run(create(rate, -carrier), x).astype(np.complex128)[100:]
    step = np.angle(np.sum(y[1:] * np.conj(y[:-1]))) / (2 * np.pi)
    assert step == pytest.approx((f - carrier) / rate, abs=2e-5)


# --- processing -------------------------------------------------------------------

def test_empty_block_changes_nothing():
    x = noise(300, 3)
    h = create(0.25, 0.3)
    out = np.full(4, 2j, np.complex64)
    assert lib.ddc_execute(h.p, ptr(x), 0, ptr(out), 4) == 0
    assert np.all(out == 2j)
    assert bits_equal(run(h, x), run(create(0.25, 0.3), x))


@pytest.mark.parametrize("rate", SHAPES)
def test_reset_reproduces_fresh_output(rate):
    x = noise(max(3000, int(30 / rate)), 4)
    h = create(rate, 0.17)
    first = run(h, x)
    run(h, noise(501, 5))
    lib.ddc_reset(h.p)
    assert lib.ddc_get_norm_freq(h.p) == 0.17 and lib.ddc_get_rate(h.p) == rate
    assert bits_equal(run(h, x), first)


def test_retune_continues_the_phase():
    x = noise(4000, 6)
    h = create(1.0, 0.11)
    y1 = run(h, x[:1700])
    lib.ddc_set_norm_freq(h.p, -0.27)
    assert lib.ddc_get_norm_freq(h.p) == -0.27
    y2 = run(h, x[1700:])
    lo = Handle(lib.lo_create(0.11), lib.lo_destroy)
    o = np.zeros(4000, np.complex64)
    lib.lo_steps(lo.p, 1700, ptr(o))
    lib.lo_set_norm_freq(lo.p, -0.27)
    o2 = np.zeros(2300, np.complex64)
    lib.lo_steps(lo.p, 2300, ptr(o2))
    o[1700:] = o2
    ref = np.empty(4000, np.complex64)
    ref.real = fmaf(o.real, x.real, -(o.imag * x.imag))
    ref.imag = fmaf(o.imag, x.real, o.real * x.imag)
    assert bits_equal(np.concatenate([y1, y2]), ref)


# --- capacity bound ----------------------------------------------------------------

@pytest.mark.parametrize("rate,n,expected", [
    (2.0, 0, 0), (2.0, 1, 2), (2.0, 5, 10),
    (1.0, 1, 1), (1.0, 1000, 1000),
    # the truncated phase step 0xAAAAAAAA makes 2 inputs from phase 0 owe 4 outputs
    (1.5, 1, 2), (1.5, 2, 4), (1.5, 3, 5),
    # floor(2^32/3) = 0x55555555: three steps stay one short of a period
    (3.0, 1, 4), (3.0, 2, 7),
    (0.25, 1, 1), (0.25, 2, 1), (0.25, 7, 2),  # two half-bands
    (0.5, 1, 1), (0.5, 4, 2),
    (0.125, 1, 1), (0.125, 9, 2),               # CIC(8)
    (0.07, 1, 2), (0.07, 2, 2), (0.07, 17, 3),  # CIC(16), interpolating remainder
    (0.75, 1, 1), (0.75, 2, 2), (0.75, 100, 76),  # decimating resampler: room for one more
    (2.0 ** 20, 1, 2 ** 20), (2.0 ** 31, 1, 2 ** 31),  # largest accepted rates
])
def test_capacity_values(rate, n, expected):
    assert lib.ddc_execute_capacity(create(rate).p, n) == expected


@pytest.mark.parametrize("rate,n", [(3.0, 1), (3.0, 2), (1.5, 2), (2.0, 5)])
def test_capacity_attained_from_fresh_state(rate, n):
    h = create(rate)
    cap = lib.ddc_execute_capacity(h.p, n)
    assert len(run(h, noise(n), cap=cap + 10)) == cap


@pytest.mark.parametrize("rate", [r for r in SHAPES if r < 1])
def test_capacity_below_rate_one_is_at_most_max_n_2(rate):
    h = create(rate)
    for n in list(range(0, 40)) + [1000, 12345, 2 ** 40]:
        c = lib.ddc_execute_capacity(h.p, n)
        assert c <= max(n, 2) and (c > 0) == (n > 0)


@pytest.mark.parametrize("rate", SHAPES + [1 + 2 ** -30, 2.7])
def test_block_splits_bit_identical_with_bounded_capacity(rate):
    """Random starting state and random blocks (many of 1 and 2 samples), each
    given exactly ddc_execute_capacity(n): nothing is dropped."""
    rng = np.random.default_rng(int(rate * 1e6) % 2 ** 32)
    n = max(20000, int(60 / rate))
    x = noise(n, 7)
    h0 = create(rate, 0.213)
    whole = run(h0, x, cap=lib.ddc_execute_capacity(h0.p, n))
    h = create(rate, 0.213)
    start = int(rng.integers(0, n // 3))
    parts = [run(h, x[:start], cap=lib.ddc_execute_capacity(h.p, start))]
    while start < n:
        r = rng.random()
        size = 1 if r < 0.3 else 2 if r < 0.45 else int(rng.integers(3, 3000))
        size = min(size, n - start)
        parts.append(run(h, x[start:start + size], cap=lib.ddc_execute_capacity(h.p, size)))
        start += size
    assert bits_equal(np.concatenate(parts), whole)
    assert len(whole) >= 50


def test_decimating_resampler_with_exactly_its_output_count_keeps_every_input():
    """From phase 0 at 0.4, inputs 2 and 3 make one output (at input 2). The
    resampler used to stop right after that output, so a capacity of exactly 1
    dropped input 3; now it stops only at an input whose output has no room.
    The documented bound (2) keeps one sample of headroom."""
    x = noise(64, 8)
    whole = run(create(0.4), x)
    for cap, same in ((1, True), (None, True)):
        h = create(0.4)
        first = run(h, x[:2], cap=1)
        c = lib.ddc_execute_capacity(h.p, 2) if cap is None else cap
        assert c == (2 if cap is None else 1)
        mid = run(h, x[2:4], cap=c)
        assert len(mid) == 1
        got = np.concatenate([first, mid, run(h, x[4:])])
        assert bits_equal(got, whole) == same
