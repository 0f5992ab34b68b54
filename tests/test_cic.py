"""Fourth-order CIC decimator: ratio checks, fixed-point arithmetic, state across blocks."""
import numpy as np
import pytest

from native import Handle, bits_equal, c64, lib, ptr

RNG = np.random.default_rng(1234)


def cic(ratio):
    return Handle(lib.cic_create(ratio), lib.cic_destroy)


def run(h, x, cap=None):
    """Feed x through cic_execute with room for cap outputs (default len(x))."""
    x = c64(x)
    cap = len(x) if cap is None else cap
    out = np.full(max(cap, 1), np.nan + 1j * np.nan, np.complex64)
    n = lib.cic_execute(h.p, ptr(x), len(x), ptr(out), cap)
    return out[:n].copy()


def const(value, n):
    return np.full(n, value, np.complex64)


def quantise(x):
    """int16 quantiser: scale in float32, clamp, truncate toward zero, NaN as 0."""
    v = np.asarray(x, np.float32) * np.float32(32768)
    v = np.where(np.isnan(v), np.float32(0), v)
    v = np.clip(v, np.float32(-32768), np.float32(32767))
    return np.trunc(v).astype(np.int64)


def reference(x, ratio):
    """floor(S / R^4) / 32768 - 1 with S the (1 + z^-1 + ... + z^-(R-1))^4-weighted sum
    of lifted inputs at every R-th input; earlier inputs count as u = 0. Exact integers."""
    h = np.ones(1, np.int64)
    for _ in range(4):
        h = np.convolve(h, np.ones(ratio, np.int64))
    assert h.sum() == ratio**4
    h = h.astype(object)
    out = []
    for part in (x.real, x.imag):
        u = quantise(part) + 32768
        u = np.concatenate([np.zeros(len(h) - 1, np.int64), u]).astype(object)
        ys = []
        for j in range(1, len(x) // ratio + 1):
            end = len(h) - 1 + j * ratio  # one past the newest input of output j
            s = int(np.dot(h, u[end - len(h):end][::-1]))
            ys.append((s // ratio**4) / 32768 - 1)
        out.append(np.array(ys))
    return (out[0] + 1j * out[1]).astype(np.complex64)


# --- creation and configuration ----------------------------------------------

@pytest.mark.parametrize("ratio", [0, 1, 3, 5, 6, 7, 12, 100, 4095, 4097, 6144, 8192, 16384,
                                   2**31, 2**31 + 1, 0xFFFFFFFF])
def test_create_refuses_ratio(ratio):
    assert not lib.cic_create(ratio)


@pytest.mark.parametrize("log2r", range(1, 13))
def test_create_accepts_powers_of_two_with_shift(log2r):
    with cic(1 << log2r) as h:
        assert lib.cic_get_ratio(h.p) == 1 << log2r
        assert lib.cic_get_shift(h.p) == 4 * log2r
        assert lib.cic_get_counter(h.p) == 0


def test_decimate_max_out_is_unbounded():
    assert lib.cic_decimate_max_out() == 0


def test_destroy_accepts_null():
    lib.cic_destroy(None)


# --- arithmetic ----------------------------------------------------------------

@pytest.mark.parametrize("ratio, expected", [
    (4, [-0.86328125, -0.2578125, -0.00390625, 0.0, 0.0, 0.0]),
    (2, [-0.6875, -0.0625, 0.0, 0.0, 0.0]),
])
def test_zero_input_startup_transient(ratio, expected):
    with cic(ratio) as h:
        y = run(h, const(0, ratio * len(expected)))
    e = np.array(expected, np.float32)
    assert bits_equal(y, (e + 1j * e).astype(np.complex64))


def test_constant_input_transient_and_settling():
    with cic(4) as h:
        y = run(h, const(0.5 - 0.25j, 4 * 6))
    expected = np.array([-0.794921875 - 0.8974609375j, 0.11328125 - 0.443359375j,
                         0.494140625 - 0.2529296875j] + [0.5 - 0.25j] * 3, np.complex64)
    assert bits_equal(y, expected)


@pytest.mark.parametrize("ratio", [2, 16, 4096])
@pytest.mark.parametrize("value, settled", [
    (1.0, 0.999969482421875), (2.0, 0.999969482421875), (1e30, 0.999969482421875),
    (np.inf, 0.999969482421875), (-1.0, -1.0), (-3.5, -1.0), (-np.inf, -1.0),
])
def test_full_scale_settles_exactly(ratio, value, settled):
    with cic(ratio) as h:
        y = run(h, const(complex(value, -value), 6 * ratio))
    other = 0.999969482421875 if settled == -1.0 else -1.0
    assert len(y) == 6
    assert np.all(y[3:] == np.complex64(complex(settled, other)))


def test_nan_component_counts_as_zero():
    x = (RNG.standard_normal(64) * 0.3 + 1j * RNG.standard_normal(64) * 0.3).astype(np.complex64)
    x_nan = x.copy()
    x_nan.real[[3, 10, 11]] = np.nan
    x_nan.imag[[10, 40]] = np.nan
    x_zero = x.copy()
    x_zero.real[[3, 10, 11]] = 0
    x_zero.imag[[10, 40]] = 0
    with cic(4) as a, cic(4) as b:
        assert bits_equal(run(a, x_nan), run(b, x_zero))


@pytest.mark.parametrize("value, q", [
    (0.9 / 32768, 0), (-0.9 / 32768, 0), (-0.1 / 32768, 0), (1e-9, 0),
    (1.5 / 32768, 1), (-1.5 / 32768, -1), (-2.999 / 32768, -2), (100.75 / 32768, 100),
])
def test_quantiser_truncates_toward_zero(value, q):
    with cic(8) as h:
        y = run(h, const(complex(value, -value), 8 * 5))
    assert np.all(y[3:] == np.complex64(complex(q / 32768, -q / 32768)))


@pytest.mark.parametrize("ratio", [2, 4, 8, 32, 256, 4096])
def test_matches_exact_integer_reference(ratio):
    n = ratio * 12 + ratio // 2
    x = RNG.uniform(-1.2, 1.2, n) + 1j * RNG.uniform(-1.2, 1.2, n)
    x = x.astype(np.complex64)
    x[5] = np.nan
    with cic(ratio) as h:
        y = run(h, x)
    assert len(y) == n // ratio
    assert bits_equal(y, reference(x, ratio))


# --- state across blocks ---------------------------------------------------------

def test_block_split_is_bit_identical():
    x = (RNG.standard_normal(1000) * 0.4 + 1j * RNG.standard_normal(1000) * 0.4).astype(np.complex64)
    with cic(8) as whole, cic(8) as split:
        y = run(whole, x)
        parts = [run(split, x[:3]), run(split, x[3:500]), run(split, x[500:])]
        assert len(y) == 125
        assert bits_equal(np.concatenate(parts), y)
        assert lib.cic_get_counter(split.p) == 0


def test_random_block_split_is_bit_identical():
    x = (RNG.uniform(-1, 1, 5000) + 1j * RNG.uniform(-1, 1, 5000)).astype(np.complex64)
    cuts = np.sort(RNG.choice(np.arange(1, 5000), 40, replace=False))
    with cic(16) as whole, cic(16) as split:
        y = run(whole, x)
        parts = [run(split, p) for p in np.split(x, cuts)]
    assert bits_equal(np.concatenate(parts), y)


def test_short_block_advances_counter_without_output():
    x = (RNG.uniform(-1, 1, 24) + 1j * RNG.uniform(-1, 1, 24)).astype(np.complex64)
    with cic(16) as whole, cic(16) as split:
        assert len(run(split, x[:5])) == 0
        assert lib.cic_get_counter(split.p) == 5
        assert len(run(split, x[5:15])) == 0
        assert lib.cic_get_counter(split.p) == 15
        assert bits_equal(run(split, x[15:]), run(whole, x))
        assert lib.cic_get_counter(split.p) == 24 % 16


def test_reset_restarts_transient():
    with cic(4) as h:
        run(h, const(0.3 + 0.7j, 37))
        lib.cic_reset(h.p)
        assert lib.cic_get_counter(h.p) == 0 and lib.cic_get_ratio(h.p) == 4
        y = run(h, const(0, 16))
    assert np.all(y.real == np.array([-0.86328125, -0.2578125, -0.00390625, 0.0], np.float32))


def test_valid_reconfigure_restarts_from_zero_state():
    with cic(8) as h:
        run(h, const(0.3 + 0.7j, 13))
        lib.cic_reconfigure(h.p, 2)
        assert (lib.cic_get_ratio(h.p), lib.cic_get_shift(h.p), lib.cic_get_counter(h.p)) == (2, 4, 0)
        y = run(h, const(0, 8))
    assert np.all(y.imag == np.array([-0.6875, -0.0625, 0.0, 0.0], np.float32))


@pytest.mark.parametrize("bad", [0, 1, 3, 8192, 2**31])
def test_invalid_reconfigure_changes_nothing(bad):
    x = (RNG.uniform(-1, 1, 200) + 1j * RNG.uniform(-1, 1, 200)).astype(np.complex64)
    with cic(8) as a, cic(8) as b:
        ya = [run(a, x[:77])]
        yb = [run(b, x[:77])]
        lib.cic_reconfigure(b.p, bad)
        assert (lib.cic_get_ratio(b.p), lib.cic_get_shift(b.p), lib.cic_get_counter(b.p)) == (8, 12, 77 % 8)
        ya.append(run(a, x[77:]))
        yb.append(run(b, x[77:]))
    assert bits_equal(np.concatenate(ya), np.concatenate(yb))


# --- the bounded entry point ---------------------------------------------------

def test_execute_stops_after_the_input_of_the_last_output_that_fits():
    x = (RNG.uniform(-1, 1, 100) + 1j * RNG.uniform(-1, 1, 100)).astype(np.complex64)
    with cic(8) as whole, cic(8) as bounded:
        y = run(whole, x)
        first = run(bounded, x[:3])        # counter 3
        second = run(bounded, x[3:], cap=4)  # consumes 4*8 - 3 = 29 inputs
        assert len(second) == 4 and lib.cic_get_counter(bounded.p) == 0
        rest = run(bounded, x[32:])
    assert bits_equal(np.concatenate([first, second, rest]), y)


def test_execute_huge_cap_does_not_wrap_into_a_small_limit():
    x = const(0.1, 50)
    out = np.zeros(50, np.complex64)
    with cic(4) as h:
        run(h, const(0.1, 1))
        assert lib.cic_execute(h.p, ptr(x), len(x), ptr(out), 2**64 - 1) == 51 // 4
        assert lib.cic_get_counter(h.p) == 51 % 4


@pytest.mark.parametrize("args", ["null_handle", "null_in", "null_out", "n0", "cap0"])
def test_execute_refusals_leave_state_untouched(args):
    x = const(0.5, 10)
    out = np.zeros(10, np.complex64)
    with cic(4) as h:
        run(h, const(0.5, 3))
        call = {
            "null_handle": (None, ptr(x), 10, ptr(out), 10),
            "null_in": (h.p, None, 10, ptr(out), 10),
            "null_out": (h.p, ptr(x), 10, None, 10),
            "n0": (h.p, ptr(x), 0, ptr(out), 10),
            "cap0": (h.p, ptr(x), 10, ptr(out), 0),
        }[args]
        assert lib.cic_execute(*call) == 0
        assert lib.cic_get_counter(h.p) == 3
