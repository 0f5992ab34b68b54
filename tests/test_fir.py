"""FIR filter: convolution against NumPy, exact accumulation order, history and work area."""
from fractions import Fraction

import numpy as np
import pytest

from native import Handle, bits_equal, c64, f32, lib, ptr

RNG = np.random.default_rng(99)


def fir_real(taps):
    taps = f32(taps)
    return Handle(lib.fir_create_real(ptr(taps), len(taps)), lib.fir_destroy)


def fir_complex(taps):
    taps = c64(taps)
    return Handle(lib.fir_create(ptr(taps), len(taps)), lib.fir_destroy)


def make(kind, taps):
    return fir_real(taps) if kind == "real" else fir_complex(taps)


def run(h, x):
    x = c64(x)
    out = np.zeros(len(x), np.complex64)
    assert lib.fir_execute(h.p, ptr(x), len(x), ptr(out)) == len(x)
    return out


def cnoise(n):
    return (RNG.standard_normal(n) + 1j * RNG.standard_normal(n)).astype(np.complex64)


def random_taps(kind, L):
    return RNG.standard_normal(L).astype(np.float32) if kind == "real" else cnoise(L)


def fma32(a, b, c):
    """Single-rounding float32 fused multiply-add, computed exactly with fractions."""
    exact = Fraction(float(a)) * Fraction(float(b)) + Fraction(float(c))
    r = np.float32(float(exact))
    best = None
    for cand in (np.nextafter(r, np.float32(-np.inf)), r, np.nextafter(r, np.float32(np.inf))):
        d = abs(Fraction(float(cand)) - exact)
        key = (d, int(np.array(cand).view(np.uint32)) & 1)  # ties to even
        if best is None or key < best[0]:
            best = (key, cand)
    return best[1]


def cmac(t, s, re, im):
    """The complex multiply-accumulate order: re += t.re*s.re, re += -t.im*s.im,
    im += t.re*s.im, im += t.im*s.re, each step one fused multiply-add."""
    re = fma32(t.real, s.real, re)
    re = fma32(-t.imag, s.imag, re)
    im = fma32(t.real, s.imag, im)
    im = fma32(t.imag, s.real, im)
    return re, im


def model(taps, x, group):
    """Output of the documented accumulation order (zero history), float32 exact."""
    L = len(taps)
    real = np.isrealobj(taps)
    w = np.concatenate([np.zeros(L - 1, np.complex64), x])
    full = L - L % group if L >= group else 0
    out = []
    for i in range(len(x)):
        win = [w[i + L - 1 - k] for k in range(L)]
        if full:
            pr, pi = [np.float32(0)] * group, [np.float32(0)] * group
            for k in range(full):
                j = k % group
                if real:
                    pr[j], pi[j] = fma32(taps[k], win[k].real, pr[j]), fma32(taps[k], win[k].imag, pi[j])
                else:
                    pr[j], pi[j] = cmac(taps[k], win[k], pr[j], pi[j])
            re, im = pr[0], pi[0]
            for j in range(1, group):
                re, im = np.float32(re + pr[j]), np.float32(im + pi[j])
        else:
            re = im = np.float32(0)
        for k in range(full, L):
            if real:
                re, im = fma32(taps[k], win[k].real, re), fma32(taps[k], win[k].imag, im)
            else:
                re, im = cmac(taps[k], win[k], re, im)
        out.append(complex(re, im))
    return np.array(out, np.complex64)


# --- creation ------------------------------------------------------------------

def test_create_refuses_null_or_empty_taps():
    taps = np.ones(3, np.float32)
    ctaps = np.ones(3, np.complex64)
    assert not lib.fir_create(None, 3)
    assert not lib.fir_create(ptr(ctaps), 0)
    assert not lib.fir_create_real(None, 3)
    assert not lib.fir_create_real(ptr(taps), 0)
    lib.fir_destroy(None)


def test_getters():
    with fir_real([1, 2, 3]) as r, fir_complex([1j] * 5) as c:
        assert (lib.fir_get_num_taps(r.p), lib.fir_get_is_real(r.p)) == (3, 1)
        assert (lib.fir_get_num_taps(c.p), lib.fir_get_is_real(c.p)) == (5, 0)
    assert lib.fir_execute_max_out() == 0


def test_taps_are_copied():
    taps = np.array([0.5, 0.25], np.float32)
    with fir_real(taps) as h:
        taps[:] = 99
        assert np.all(run(h, np.ones(3, np.complex64)) == [0.5, 0.75, 0.75])


# --- against NumPy ---------------------------------------------------------------

@pytest.mark.parametrize("kind, L", [("real", L) for L in (1, 2, 7, 15, 16, 17, 31, 32, 45)]
                         + [("complex", L) for L in (1, 3, 7, 8, 9, 16, 21)])
def test_matches_numpy_convolve(kind, L):
    taps = random_taps(kind, L)
    x = cnoise(300)
    with make(kind, taps) as h:
        y = run(h, x)
    ref = np.convolve(x.astype(np.complex128), taps.astype(np.complex128))[:len(x)]
    scale = np.convolve(np.abs(x.astype(np.complex128)), np.abs(taps.astype(np.complex128)))[:len(x)]
    assert np.all(np.abs(y - ref) <= 1e-6 * scale + 1e-30)


@pytest.mark.parametrize("kind, L", [("real", 7), ("real", 15), ("real", 16), ("real", 37),
                                     ("complex", 3), ("complex", 7), ("complex", 8), ("complex", 19)])
def test_accumulation_order_is_exact(kind, L):
    """Short filters sum tap by tap from tap 0; long ones in 16 (real) / 8 (complex)
    lanes, lanes added in order, then the leftover taps in order."""
    taps = random_taps(kind, L)
    x = cnoise(L + 6)
    with make(kind, taps) as h:
        y = run(h, x)
    assert bits_equal(y, model(taps, x, 16 if kind == "real" else 8))


# --- block structure ------------------------------------------------------------

@pytest.mark.parametrize("kind, L", [("real", 7), ("real", 40), ("complex", 5), ("complex", 13)])
def test_random_block_split_is_bit_identical(kind, L):
    taps = random_taps(kind, L)
    x = cnoise(2000)
    cuts = np.sort(RNG.choice(np.arange(1, 2000), 60, replace=False))
    with make(kind, taps) as whole, make(kind, taps) as split:
        y = run(whole, x)
        parts = [run(split, p) for p in np.split(x, cuts)]
    assert bits_equal(np.concatenate(parts), y)


@pytest.mark.parametrize("kind, L", [("real", 9), ("real", 33), ("complex", 12)])
def test_blocks_shorter_than_history_shift_it_along(kind, L):
    taps = random_taps(kind, L)
    x = cnoise(120)
    sizes = [1, 2, 3, 1, 5, 2, 1, 4] * 6
    with make(kind, taps) as whole, make(kind, taps) as split:
        y = run(whole, x)
        parts, pos = [], 0
        for s in sizes:
            parts.append(run(split, x[pos:pos + s]))
            pos += s
        parts.append(run(split, x[pos:]))
    assert bits_equal(np.concatenate(parts), y)


@pytest.mark.parametrize("kind, L", [("real", 1), ("real", 7), ("real", 20), ("complex", 4), ("complex", 10)])
def test_in_place_equals_separate_buffers(kind, L):
    taps = random_taps(kind, L)
    x = cnoise(500)
    with make(kind, taps) as a, make(kind, taps) as b:
        ya = np.concatenate([run(a, x[:123]), run(a, x[123:])])
        buf = x.copy()
        for lo, hi in ((0, 123), (123, 500)):
            blk = buf[lo:hi]
            assert lib.fir_execute(b.p, ptr(blk), len(blk), ptr(blk)) == len(blk)
    assert bits_equal(buf, ya)


def test_impulse_gives_taps_also_one_sample_per_call():
    a, b, c = 0.75, -1.5, 0.125
    imp = np.zeros(5, np.complex64)
    imp[0] = 1 + 2j
    with fir_real([a, b, c]) as h1, fir_real([a, b, c]) as h2:
        y1 = run(h1, imp)
        y2 = np.concatenate([run(h2, imp[i:i + 1]) for i in range(5)])
    expected = np.array([a, b, c, 0, 0], np.float32) * np.complex64(1 + 2j)
    assert bits_equal(y1, expected.astype(np.complex64)) and bits_equal(y2, y1)


@pytest.mark.parametrize("x, expected", [(1 + 0j, 0 + 1j), (0 + 1j, -1 + 0j), (2 - 3j, 3 + 2j)])
def test_complex_tap_is_plain_product(x, expected):
    with fir_complex([1j]) as h:
        y = run(h, [x])
    assert y[0] == np.complex64(expected)


def test_complex_taps_are_not_conjugated():
    taps = np.array([1 + 2j, 0.5 - 1j], np.complex64)
    with fir_complex(taps) as h:
        y = run(h, np.array([1j, 0, 0], np.complex64))
    assert np.all(y == np.array([taps[0] * 1j, taps[1] * 1j, 0], np.complex64))


def test_single_tap_scales_each_sample():
    x = cnoise(50)
    with fir_real([0.3]) as h:
        y = np.concatenate([run(h, x[:17]), run(h, x[17:])])
    assert np.all(y == (x * np.float32(0.3)).astype(np.complex64))


def test_reset_equals_fresh():
    taps = random_taps("real", 11)
    x = cnoise(64)
    with fir_real(taps) as used, fir_real(taps) as fresh:
        run(used, cnoise(100))
        lib.fir_reset(used.p)
        assert bits_equal(run(used, x), run(fresh, x))


# --- work area and refusals --------------------------------------------------------

def test_work_area_grows_exactly_and_survives_reset():
    with fir_real(np.ones(7, np.float32)) as h:
        assert lib.fir_get_work_cap(h.p) == 0
        run(h, cnoise(100))
        assert lib.fir_get_work_cap(h.p) == 106
        run(h, cnoise(40))
        assert lib.fir_get_work_cap(h.p) == 106
        run(h, cnoise(300))
        assert lib.fir_get_work_cap(h.p) == 306
        lib.fir_reset(h.p)
        assert lib.fir_get_work_cap(h.p) == 306
    with fir_complex([1]) as h:
        run(h, cnoise(10))
        assert lib.fir_get_work_cap(h.p) == 10


@pytest.mark.parametrize("case", ["n0", "null_in", "null_out", "null_handle"])
def test_refused_calls_consume_nothing(case):
    taps = random_taps("real", 5)
    x = cnoise(30)
    out = np.zeros(30, np.complex64)
    with fir_real(taps) as h, fir_real(taps) as twin:
        args = {"n0": (h.p, ptr(x), 0, ptr(out)), "null_in": (h.p, None, 30, ptr(out)),
                "null_out": (h.p, ptr(x), 30, None), "null_handle": (None, ptr(x), 30, ptr(out))}[case]
        assert lib.fir_execute(*args) == 0
        assert lib.fir_get_work_cap(h.p) == 0
        assert bits_equal(run(h, x), run(twin, x))


def test_failed_growth_leaves_history_and_work_area_unchanged():
    taps = random_taps("complex", 9)
    x = cnoise(40)
    with fir_complex(taps) as h, fir_complex(taps) as twin:
        run(h, x[:20])
        run(twin, x[:20])
        # Far beyond any allocation: growth fails before the buffers are touched.
        for n in (2**60, 2**64 - 4):
            assert lib.fir_execute(h.p, ptr(x), n, ptr(x)) == 0
            assert lib.fir_get_work_cap(h.p) == 28
        assert bits_equal(run(h, x[20:]), run(twin, x[20:]))
