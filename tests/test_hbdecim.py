"""Half-band decimator for complex streams."""
import numpy as np
import pytest
from scipy import signal

from native import HB_TABLE, Handle, bits_equal, c64, execute_c2c, f32, lib, ptr
from native import fmaf
from test_hbdecim_r2c import taps_by_delay  # same tap geometry

TABLE = f32(HB_TABLE)


def make(n=19, table=TABLE):
    table = f32(table)
    h = Handle(lib.hbdecim_create(n, ptr(table)), lib.hbdecim_destroy)
    h.table = table
    return h


def run(h, x, cap=None):
    return execute_c2c(lib.hbdecim_execute, h, x, cap)


def model(x, n, table):
    """Float64 oracle: convolve with the tap geometry, keep outputs ending on odd inputs."""
    full = np.convolve(np.asarray(x, np.complex128), taps_by_delay(n, table))[: len(x)]
    return full[1::2]


def branch_sum(c, w):
    """Reference summation order over real windows w (outputs x 2h): 16 interleaved sums, then the tail."""
    h = len(c)
    pair = (w[:, :h] + w[:, ::-1][:, :h]).astype(np.float32)
    k = 0
    s = np.zeros(len(w), np.float32)
    if h >= 16:
        p = np.zeros((16, len(w)), np.float32)
        while k + 16 <= h:
            for r in range(16):
                p[r] = fmaf(c[k + r], pair[:, k + r], p[r])
            k += 16
        q = [(p[4 + l] + p[l]) + (p[8 + l] + p[12 + l]) for l in range(4)]
        s = (q[0] + q[1]) + (q[2] + q[3])
    for k in range(k, h):
        s = fmaf(c[k], pair[:, k], s)
    return s


def exact_model_part(x, n, table):
    """Bit-exact float32 reference for one part (real or imaginary) of a fresh stage."""
    x = np.concatenate([np.zeros(2 * n + 2, np.float32), f32(x)])
    off = 2 * n + 2
    m = np.arange((len(x) - off) // 2)
    h = n // 2
    c = (np.float32(0.5) * np.asarray(table, np.float32)[:h]).astype(np.float32)
    k = np.arange(2 * h)
    if n % 2:
        w = x[off + 2 * m[:, None] - 1 - 2 * k]  # B[1 + k]
        centre = x[off + 2 * m - 2 * h]  # A[h]
    else:
        w = x[off + 2 * m[:, None] - 2 * k]  # A[k]
        centre = x[off + 2 * m + 1 - 2 * h]  # B[h]
    s = branch_sum(c, w) if h else np.zeros(len(m), np.float32)
    return fmaf(np.float32(0.5), centre, s)


def impulse(at, value=1.0, length=60):
    x = np.zeros(length, np.complex64)
    x[at] = value
    return x


# --- fixed responses of the 19-tap stage -------------------------------------

def test_first_output_is_zero():
    assert run(make(), np.ones(2))[0] == 0


def test_even_impulse_hits_the_centre_only():
    expected = np.zeros(30, np.complex64)
    expected[9] = 0.5
    assert np.array_equal(run(make(), impulse(0)), expected)


@pytest.mark.parametrize("value", [1.0, 1j])
def test_odd_impulse_gives_the_branch_in_its_own_part(value):
    y = run(make(), impulse(1, value))
    expected = np.zeros(30, np.complex64)
    expected[1:19] = (np.float32(0.5) * TABLE) * np.complex64(value)
    assert np.array_equal(y, expected)


def test_constant_passes_with_dc_gain():
    y = run(make(), np.ones(200))
    assert np.all(y.real[18:] == np.float32(1.00028086))
    assert np.all(y.imag[18:] == 0)
    # both parts use the same coefficients
    z = run(make(), np.full(200, 1j))
    assert bits_equal(z.imag, y.real) and np.all(z.real == 0)


def test_equivalent_35_tap_filter_is_half_band():
    g = taps_by_delay(19, TABLE)[2:]
    fir = g[: np.flatnonzero(g)[-1] + 1]
    assert len(fir) == 35 and np.allclose(fir, fir[::-1])
    f = np.linspace(0, 0.5, 2001)
    _, H = signal.freqz(fir, worN=f, fs=1.0)
    gain = np.abs(H)
    assert np.max(np.abs(gain[f <= 0.2] - 1)) <= 0.00124
    assert np.max(gain[f >= 0.3]) <= 0.00124
    assert abs(gain[f == 0.25][0] - 0.5) < 1e-7


def test_stage_response_measured_from_impulses_is_half_band():
    odd = run(make(), impulse(0, length=80))  # taps at odd delays
    even = run(make(), impulse(1, length=80))  # taps at even delays
    g = np.zeros(80)
    g[1::2], g[0::2] = odd.real, even.real
    fir = g[2:37]
    assert np.allclose(g, np.pad(taps_by_delay(19, TABLE), (0, 80 - 39)), atol=1e-9, rtol=0)
    f = np.array([0.0, 0.1, 0.2, 0.25, 0.3, 0.4, 0.5])
    _, H = signal.freqz(fir, worN=f, fs=1.0)
    assert np.allclose(np.abs(H), [1.0002809, 1, 1, 0.5, 0, 0, 0], atol=0.00124)


@pytest.mark.parametrize("f_in, gain", [(0.05, 1.0), (0.2, 1.0), (-0.15, 1.0), (0.35, 0.0), (-0.45, 0.0)])
def test_complex_tone_passes_or_is_rejected(f_in, gain):
    n = np.arange(4000)
    y = run(make(), np.exp(2j * np.pi * f_in * n)).astype(np.complex128)[40:]
    assert np.allclose(np.abs(y), gain, atol=0.00125)
    if gain:
        f_out = (2 * f_in + 0.5) % 1 - 0.5  # aliased at the output rate
        assert abs(np.angle(np.sum(y[1:] * np.conj(y[:-1]))) / (2 * np.pi) - f_out) < 1e-6


# --- geometry for any tap count ----------------------------------------------

@pytest.mark.parametrize("n", list(range(1, 22)) + [33, 40, 64, 65])
def test_any_tap_count_matches_float64_model(n):
    rng = np.random.default_rng(n)
    table = f32(rng.uniform(-1, 1, n // 2))
    x = c64(rng.standard_normal(6 * n + 41) + 1j * rng.standard_normal(6 * n + 41))
    y = run(make(n, table), x)
    ref = model(x, n, table)
    assert len(y) == len(ref)
    assert np.max(np.abs(y - ref)) <= 1e-5 * (1 + np.sum(np.abs(table)))


@pytest.mark.parametrize("n", [19, 20, 33, 35, 40, 64, 66, 99])
def test_summation_order_is_bit_exact(n):
    rng = np.random.default_rng(200 + n)
    table = f32(rng.uniform(-1, 1, n // 2))
    re, im = f32(rng.standard_normal(4 * n + 31) * 3), f32(rng.standard_normal(4 * n + 31))
    y = run(make(n, table), re + 1j * im)
    assert bits_equal(y.real.copy(), exact_model_part(re, n, table))
    assert bits_equal(y.imag.copy(), exact_model_part(im, n, table))


def test_single_tap_is_centre_only():
    x = c64(np.arange(1, 21) * (1 - 2j))
    y = run(make(1, np.zeros(1, np.float32)), x)
    assert bits_equal(y, (np.float32(0.5) * x[0::2]).astype(np.complex64))


# --- streaming ---------------------------------------------------------------

def test_one_input_waits_for_its_partner():
    x = c64([0.25 + 1j, -1.5, 2.0 - 0.5j, 0.75j])
    h = make()
    assert len(run(h, x[:1])) == 0
    y = run(h, x[1:2])
    assert len(y) == 1
    assert bits_equal(np.concatenate([y, run(h, x[2:])]), run(make(), x))


@pytest.mark.parametrize("blocks", [[1, 2, 3, 4], [3, 4, 3], [9, 1], [10]])
def test_short_blocks_equal_one_block(blocks):
    rng = np.random.default_rng(1)
    x = c64(rng.standard_normal(10) + 1j * rng.standard_normal(10))
    h = make()
    got = np.concatenate([run(h, b) for b in np.split(x, np.cumsum(blocks)[:-1])])
    assert len(got) == 5
    assert bits_equal(got, run(make(), x))


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("n", [19, 20, 40])
def test_random_odd_blocks_are_bit_identical(seed, n):
    rng = np.random.default_rng(seed)
    table = f32(rng.uniform(-1, 1, n // 2))
    x = c64(rng.standard_normal(3001) + 1j * rng.standard_normal(3001))
    sizes = 2 * rng.integers(0, 60, 200) + 1
    cuts = np.cumsum(sizes)
    cuts = cuts[cuts < len(x)]
    h = make(n, table)
    got = np.concatenate([run(h, b) for b in np.split(x, cuts)])
    assert bits_equal(got, run(make(n, table), x))


def test_short_capacity_keeps_next_input_pending_and_drops_the_rest():
    x = c64((np.arange(10) + 1.0) * (1 + 0.5j))
    more = c64([20.0, 21.0j, 22.0])
    h = make()
    y = run(h, x, cap=2)
    assert len(y) == 2
    assert bits_equal(y, run(make(), x[:4]))
    # input 4 is pending, inputs 5..9 are gone
    rest = run(h, more)
    assert len(rest) == 2
    assert bits_equal(rest, run(make(), np.concatenate([x[:5], more]))[2:])


@pytest.mark.parametrize("n_in, cap", [(0, 5), (5, 0)])
def test_empty_call_changes_nothing(n_in, cap):
    rng = np.random.default_rng(7)
    x = c64(rng.standard_normal(31) + 1j * rng.standard_normal(31))
    h = make()
    first = run(h, x[:11])  # leaves input 10 pending
    out = np.zeros(8, np.complex64)
    assert lib.hbdecim_execute(h.p, ptr(x[11:]), n_in, ptr(out), cap) == 0
    assert np.all(out == 0)
    assert bits_equal(np.concatenate([first, run(h, x[11:])]), run(make(), x))


def test_reset_returns_to_fresh_state():
    rng = np.random.default_rng(3)
    x = c64(rng.standard_normal(64) + 1j * rng.standard_normal(64))
    h = make()
    run(h, x[:37])  # odd: leaves a pending sample
    lib.hbdecim_reset(h.p)
    assert bits_equal(run(h, x), run(make(), x))


def test_getters():
    h = make()
    run(h, np.ones(7))
    assert lib.hbdecim_get_rate(h.p) == 0.5
    assert lib.hbdecim_get_num_taps(h.p) == 19


def test_create_rejects_zero_taps_and_null_table():
    assert not lib.hbdecim_create(0, ptr(TABLE))
    assert not lib.hbdecim_create(19, None)
    lib.hbdecim_destroy(None)


def test_absurd_tap_count_is_refused():
    assert not lib.hbdecim_create(2 ** 63 + 1, ptr(TABLE))


def test_table_is_copied():
    table = TABLE.copy()
    h = make(19, table)
    table[:] = 0
    h.table = None
    assert bits_equal(run(h, impulse(1)), run(make(), impulse(1)))
