"""Fine oscillator (nco_*): spectral purity, phase accounting, the mixer, every kernel variant."""
import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, fmaf, lib, ptr

VARIANTS = VECTOR_LEVELS
TWO32 = 1 << 32
QUARTER_TURNS = np.array([complex(1, 0), complex(0, 1), complex(-1, 0), complex(0, -1)], np.complex64)


def make(freq, phase=0):
    h = Handle(lib.nco_create(freq), lib.nco_destroy)
    lib.nco_set_phase(h.p, phase)
    return h


def force(level):
    if level is not None:
        assert lib.ddc_simd_force(level) == level


def steps(h, n, level=None, out=None):
    force(level)
    out = np.zeros(max(n, 1), np.complex64) if out is None else out
    assert lib.nco_steps(h.p, n, ptr(out)) == n
    return out[:n]


def mix(h, x, level=None, out=None):
    force(level)
    out = np.zeros(max(len(x), 1), np.complex64) if out is None else out
    assert lib.nco_mix(h.p, ptr(x), len(x), ptr(out)) == len(x)
    return out[: len(x)]


def signal(length, seed=1):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(length) + 1j * rng.standard_normal(length)).astype(np.complex64)


def times_osc(x, o):
    """x * o with the mixer's formula: re = fma(x.re, o.re, -(x.im*o.im)), im = fma(x.re, o.im, x.im*o.re)."""
    out = np.empty(len(x), np.complex64)
    with np.errstate(invalid="ignore", over="ignore"):
        out.real = fmaf(x.real, o.real, -(x.imag * o.imag))
        out.imag = fmaf(x.real, o.imag, x.imag * o.real)
    return out


def spectrum_db(o):
    """Kaiser-windowed power spectrum in dB relative to its peak (window sidelobes near -190 dB)."""
    s = np.abs(np.fft.fft(o.astype(np.complex128) * np.kaiser(len(o), 20.0))) ** 2
    return 10 * np.log10(s / s.max() + 1e-300)


def sfdr_db(o, guard=16):
    db = spectrum_db(o)
    peak = int(np.argmax(db))
    away = np.abs((np.arange(len(o)) - peak + len(o) // 2) % len(o) - len(o) // 2) > guard
    return peak, -db[away].max()


# --- frequency rule and state ------------------------------------------------

@pytest.mark.parametrize("freq", [0.0, 0.25, 0.5, -0.5, -0.7, 0.3, 1.0, 12345.25, 1 / 3, 2.0 ** -32,
                                  -1e-300, 1 - 1e-17, float("nan"), float("inf"), float("-inf")])
def test_increment_and_stored_frequency_as_the_lo_gives_them(freq):
    h, lo = make(freq), Handle(lib.lo_create(freq), lib.lo_destroy)
    assert lib.nco_get_phase_inc(h.p) == lib.lo_get_phase_inc(lo.p)
    g = make(0.1)
    lib.nco_set_norm_freq(g.p, freq)
    assert lib.nco_get_phase_inc(g.p) == lib.lo_get_phase_inc(lo.p)
    assert bits_equal(np.float64(lib.nco_get_norm_freq(g.p)), np.float64(freq))


def test_retune_keeps_phase_and_reset_keeps_frequency():
    h = make(0.1, 0xDEADBEEF)
    steps(h, 5)
    p = lib.nco_get_phase(h.p)
    lib.nco_set_norm_freq(h.p, -0.37)
    assert lib.nco_get_phase(h.p) == p
    assert bits_equal(steps(h, 100), steps(make(-0.37, p), 100))
    lib.nco_reset(h.p)
    assert lib.nco_get_phase(h.p) == 0
    assert lib.nco_get_norm_freq(h.p) == -0.37
    assert bits_equal(steps(h, 1), np.array([1 + 0j], np.complex64))


def test_table_is_the_float32_cosine_and_sine_exact_at_quarter_turns():
    h = make(1 / 4096)
    assert lib.nco_get_phase_inc(h.p) == 1 << 20  # remainder 0: every sample is a table entry
    t = steps(h, 4096)
    a = 2 * np.pi * np.arange(4096) / 4096
    quarters = np.arange(4096) % 1024 == 0
    assert bits_equal(t[~quarters].real, np.cos(a[~quarters]).astype(np.float32))
    assert bits_equal(t[~quarters].imag, np.sin(a[~quarters]).astype(np.float32))
    assert bits_equal(t[quarters], QUARTER_TURNS)
    assert bits_equal(steps(make(0.25), 8), np.tile(QUARTER_TURNS, 2))


# --- spectral quality ------------------------------------------------------

@pytest.mark.parametrize("freq, phase", [
    (0.1, 0), (1 / 3, 0), (0.25 + 2.0 ** -20, 0), (0.25, 0x12345), (0.125, 0x7654321), (-0.2, 0),
    (0.123456789, 0xCAFE), (1e-5, 0), (3e-7, 0x89ABCDEF), (0.5 - 1e-5, 0), (0.5, 0x00080001),
    (-0.499999, 3), (0.7071067811865476, 0),
])
def test_tone_frequency_magnitude_and_sfdr(freq, phase):
    n = 1 << 16
    h = make(freq, phase)
    o = steps(h, n)
    inc = lib.nco_get_phase_inc(h.p)
    assert abs(inc / TWO32 - (freq - np.floor(freq))) < 2.0 ** -32
    peak, sfdr = sfdr_db(o)
    assert peak == round(inc / TWO32 * n) % n
    # the phase advances by inc per sample (mean over the block, in cycles)
    step = np.angle(np.mean(o[1:].astype(np.complex128) * np.conj(o[:-1]))) / (2 * np.pi)
    assert abs((step - inc / TWO32 + 0.5) % 1 - 0.5) < 1e-9
    assert np.max(np.abs(np.abs(o.astype(np.complex128)) - 1)) < 1e-6
    assert sfdr >= 130, f"SFDR {sfdr:.1f} dB"


def test_sfdr_measure_sees_the_coarse_oscillator_spurs():
    # The same measure on lo_* (16-bit table index) must find its spurs, near -96 dB.
    lo = Handle(lib.lo_create(0.123456789), lib.lo_destroy)
    o = np.zeros(1 << 16, np.complex64)
    lib.lo_steps(lo.p, len(o), ptr(o))
    assert sfdr_db(o)[1] < 110


# --- phase accounting and block splits -------------------------------------

@pytest.mark.parametrize("seed", range(3))
def test_random_splits_and_levels_match_one_call(seed):
    rng = np.random.default_rng(seed)
    n, freq, phase = 20000, [0.0731, -0.86, 0.25 + 2.0 ** -20][seed], int(rng.integers(TWO32))
    x = signal(n, seed)
    whole_o, whole_m = make(freq, phase), make(freq, phase)
    ref_o, ref_m = steps(whole_o, n, 0), mix(whole_m, x, 0)
    inc = lib.nco_get_phase_inc(whole_o.p)
    assert lib.nco_get_phase(whole_o.p) == lib.nco_get_phase(whole_m.p) == (phase + n * inc) % TWO32
    sizes = rng.choice([0, 1, 2, 3, 5, 15, 17, 64, 999, 4096], 40)
    cuts = np.cumsum(sizes)
    h_o, h_m = make(freq, phase), make(freq, phase)
    got_o, got_m = [], []
    for part in np.split(np.arange(n), cuts[cuts < n]):
        lv = int(rng.choice([0] + VARIANTS))
        before = lib.nco_get_phase(h_o.p)
        got_o.append(steps(h_o, len(part), lv).copy())
        assert lib.nco_get_phase(h_o.p) == (before + len(part) * inc) % TWO32
        got_m.append(mix(h_m, x[part], lv).copy())
    assert bits_equal(np.concatenate(got_o), ref_o)
    assert bits_equal(np.concatenate(got_m), ref_m)


@pytest.mark.parametrize("freq, phase", [(0.0, 0), (0.1234567, 0xFFFFF000), (-0.7, 0x12345678), (0.5, 1)])
def test_mix_is_input_times_steps_output(any_level, freq, phase):
    x = signal(1003, seed=phase & 0xFF)
    o = steps(make(freq, phase), len(x), any_level)
    h = make(freq, phase)
    assert bits_equal(mix(h, x, any_level), times_osc(x, o))
    assert lib.nco_get_phase(h.p) == (phase + len(x) * lib.nco_get_phase_inc(h.p)) % TWO32


# --- vector variants against the scalar reference ----------------------------

LENGTHS = [0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 1000, 4099]


@pytest.mark.parametrize("length", LENGTHS)
def test_variant_equals_scalar(level, length):
    x = signal(length, seed=length)
    for freq, phase in [(0.0731, 99), (-0.3141592, 0xFFFFFFF0), (2.0 ** -25, 0x7FFFFFFF)]:
        ref = make(freq, phase), make(freq, phase)
        got = make(freq, phase), make(freq, phase)
        assert bits_equal(steps(got[0], length, level), steps(ref[0], length, 0))
        assert bits_equal(mix(got[1], x, level), mix(ref[1], x, 0))
        for g, r in zip(got, ref):
            assert lib.nco_get_phase(g.p) == lib.nco_get_phase(r.p)


@pytest.mark.parametrize("offset", [1, 3])
def test_variant_unaligned_in_place_and_bounded(level, offset):
    n = 1001
    x = signal(n, seed=8)
    expected_m = mix(make(0.2, 3), x, 0).copy()
    expected_o = steps(make(0.2, 3), n, 0).copy()
    sentinel = np.complex64(9 - 9j)
    big = np.full(n + offset + 20, sentinel, np.complex64)
    view = big[offset: offset + n]  # off the allocation's alignment by offset samples
    view[:] = x
    mix(make(0.2, 3), view, level, out=view)  # in place
    assert bits_equal(view, expected_m)
    assert np.all(big[:offset] == sentinel) and np.all(big[offset + n:] == sentinel)
    for m in (1, 7, 13, 29, n):
        big[:] = sentinel
        assert bits_equal(steps(make(0.2, 3), m, level, out=big[offset:]), expected_o[:m])
        assert np.all(big[offset + m:] == sentinel)


def one_part_specials(length, seed):
    """NaN, inf, -0.0, denormals and huge values in one part of a sample each."""
    rng = np.random.default_rng(seed)
    x = signal(length, seed)
    values = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-40, -3e-42, 3e38], np.float32)
    at = rng.choice(length, 80, replace=False)
    flat = x.view(np.float32).reshape(-1, 2)
    flat[at, rng.integers(0, 2, len(at))] = values[rng.integers(0, len(values), len(at))]
    return x


@pytest.mark.parametrize("freq", [0.0, 0.25, 0.1234567])
def test_special_values_match_scalar(level, freq):
    x = one_part_specials(2001, seed=13)
    assert bits_equal(mix(make(freq, 5), x, level), mix(make(freq, 5), x, 0))


def test_non_finite_samples_give_nan_where_the_formula_does(any_level):
    rng = np.random.default_rng(2)
    parts = np.array([np.nan, np.inf, -np.inf, 1.0], np.float32)
    x = np.empty(999, np.complex64)
    x.real, x.imag = parts[rng.integers(0, 4, 999)], parts[rng.integers(0, 4, 999)]
    h = make(0.1234567, 0x10000000)
    got = mix(h, x, any_level)
    expected = times_osc(x, steps(make(0.1234567, 0x10000000), len(x), 0))
    for g, e in ((got.real, expected.real), (got.imag, expected.imag)):
        assert np.array_equal(np.isnan(g), np.isnan(e))
        assert bits_equal(g[~np.isnan(g)], e[~np.isnan(e)])
    assert np.isnan(got.real).any() and np.isinf(got.imag).any()
