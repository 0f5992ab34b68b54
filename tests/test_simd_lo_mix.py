"""Oscillator fused with the mixer (lo_mix): lo_steps then x * o, on every kernel variant."""
import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, lib, ptr
from native import fmaf  # correctly rounded float32 fma

VARIANTS = VECTOR_LEVELS


def make(freq, phase=0):
    h = Handle(lib.lo_create(freq), lib.lo_destroy)
    lib.lo_set_phase(h.p, phase)
    return h


def mix(h, x, level, out=None):
    x = np.ascontiguousarray(x, np.complex64) if out is None else x
    out = np.zeros(max(len(x), 1), np.complex64) if out is None else out
    assert lib.ddc_simd_force(level) == level
    assert lib.lo_mix(h.p, ptr(x), len(x), ptr(out)) == len(x)
    return out[: len(x)]


def oracle(freq, phase, x):
    """lo_steps from the same phase, then re = fma(o.re, x.re, -(o.im*x.im)), im = fma(o.im, x.re, o.re*x.im)."""
    h = make(freq, phase)
    o = np.zeros(max(len(x), 1), np.complex64)
    lib.lo_steps(h.p, len(x), ptr(o))
    o = o[: len(x)]
    ore, oim, xre, xim = o.real, o.imag, x.real, x.imag
    out = np.empty(len(x), np.complex64)
    with np.errstate(invalid="ignore", over="ignore"):
        out.real = fmaf(ore, xre, -(oim * xim))
        out.imag = fmaf(oim, xre, ore * xim)
    return out, lib.lo_get_phase(h.p)


def signal(length, seed=1):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(length) + 1j * rng.standard_normal(length)).astype(np.complex64)


FREQS = [0.0, 0.25, -0.7, 0.1234567, 1e-6, -1e-300, 0.5]


@pytest.mark.parametrize("freq", FREQS)
@pytest.mark.parametrize("phase", [0, 0xFFFFF000, 0x12345678])
def test_mix_is_steps_then_mixer(any_level, freq, phase):
    x = signal(1003, seed=phase & 0xFF)
    h = make(freq, phase)
    expected, end_phase = oracle(freq, phase, x)
    assert bits_equal(mix(h, x, any_level), expected)
    assert lib.lo_get_phase(h.p) == end_phase


def test_first_sample_multiplies_by_one(any_level):
    x = np.array([3 - 2j, 0.5 + 0.25j], np.complex64)
    assert mix(make(0.0), x, any_level)[0] == x[0]


@pytest.mark.parametrize("length", [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 1000, 65539])
def test_variant_lengths_and_phase(level, length):
    x = signal(length, seed=length)
    h0, h1 = make(0.0731, 99), make(0.0731, 99)
    assert bits_equal(mix(h1, x, level), mix(h0, x, 0))
    assert lib.lo_get_phase(h1.p) == lib.lo_get_phase(h0.p)


def test_empty_block_changes_nothing(any_level):
    h = make(0.3, 1234)
    out = np.full(4, 7 + 7j, np.complex64)
    assert lib.ddc_simd_force(any_level) == any_level
    assert lib.lo_mix(h.p, ptr(out), 0, ptr(out)) == 0
    assert lib.lo_get_phase(h.p) == 1234
    assert np.all(out == 7 + 7j)


@pytest.mark.parametrize("seed", range(3))
def test_random_splits_with_mixed_levels(level, seed):
    rng = np.random.default_rng(seed)
    x = signal(30000, seed=seed)
    sizes = rng.choice([0, 1, 2, 3, 5, 64, 999, 4096], 30)
    cuts = np.cumsum(sizes)
    parts = np.split(x, cuts[cuts < len(x)])
    h = make(-0.86, 5)
    got = np.concatenate([mix(h, p, int(rng.choice([0, level]))) for p in parts])
    expected, end_phase = oracle(-0.86, 5, x)
    assert bits_equal(got, expected)
    assert lib.lo_get_phase(h.p) == end_phase


def test_in_place_and_unaligned(level):
    x = signal(1001, seed=8)
    expected = mix(make(0.2, 3), x, 0).copy()
    big = np.zeros(len(x) + 1, np.complex64)
    big[1:] = x
    view = big[1:]
    mix(make(0.2, 3), view, level, out=view)  # out is x, one sample off the allocation's alignment
    assert bits_equal(view, expected)


def test_no_write_past_n(level):
    for n in (1, 3, 5, 13):
        sentinel = np.complex64(9 - 9j)
        out = np.full(n + 8, sentinel, np.complex64)
        x = signal(n, seed=n)
        mix(make(0.1), x, level, out=out)
        assert np.all(out[n:] == sentinel)


def one_part_specials(length, seed):
    """NaN, inf, -0.0 and denormals in one part of a sample each, so no NaN meets another."""
    rng = np.random.default_rng(seed)
    x = signal(length, seed)
    values = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-40, -3e-42, 3e38], np.float32)
    at = rng.choice(length, 60, replace=False)
    flat = x.view(np.float32).reshape(-1, 2)
    flat[at, rng.integers(0, 2, len(at))] = values[rng.integers(0, len(values), len(at))]
    return x


@pytest.mark.parametrize("freq", [0.0, 0.25, 0.1234567])
def test_special_values_match_scalar(level, freq):
    x = one_part_specials(2001, seed=13)
    assert bits_equal(mix(make(freq), x, level), mix(make(freq), x, 0))


def test_infinite_sample_gives_nan_as_the_formula_does(any_level):
    # (inf, inf) times an oscillator sample with both parts non-zero: inf - inf in one part.
    x = np.full(16, complex(np.inf, np.inf), np.complex64)
    got = mix(make(0.1234567, 0x10000000), x, any_level)
    expected, _ = oracle(0.1234567, 0x10000000, x)
    assert np.array_equal(np.isnan(got.real), np.isnan(expected.real))
    assert np.array_equal(np.isnan(got.imag), np.isnan(expected.imag))
    assert np.isnan(got.real).any() or np.isnan(got.imag).any()
    finite = ~np.isnan(got.real)
    assert bits_equal(got.real[finite], expected.real[finite])
