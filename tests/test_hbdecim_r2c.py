"""Half-band real-to-complex decimator: fs/4 shift, half-band filter, 2:1 decimation."""
import numpy as np
import pytest
from scipy import signal

from native import HB_TABLE, Handle, bits_equal, execute_r2c, f32, fmaf, lib, ptr

TABLE = f32(HB_TABLE)


def make(n=19, table=TABLE):
    table = f32(table)
    h = Handle(lib.hbdecim_r2c_create(n, ptr(table)), lib.hbdecim_r2c_destroy)
    h.table = table
    return h


def run(h, x, cap=None):
    return execute_r2c(lib.hbdecim_r2c_execute, h, x, cap)


def taps_by_delay(n, table):
    """g[d]: the filter tap at delay d counted back from the second input of a pair."""
    t = np.asarray(table, np.float64)
    g = np.zeros(2 * n + 1)
    g[n] = 0.5
    first = 2 if n % 2 else 1
    for k in range(n // 2):
        g[first + 2 * k] += 0.5 * t[k]
        g[2 * n - first - 2 * k] += 0.5 * t[k]
    return g


def model(x, n, table):
    """Float64 oracle: shift by (-j)^i, convolve with the tap geometry, keep outputs ending on odd inputs."""
    x = np.asarray(x, np.float64)
    i = np.arange(len(x))
    shifted = x * (-1j) ** (i % 4)
    full = np.convolve(shifted, taps_by_delay(n, table))[: len(x)]
    return full[1::2]



def branch_sum(c, w):
    """Reference summation order over windows w (outputs x 2h): 16 interleaved sums, then the tail."""
    h = len(c)
    c = np.asarray(c, np.float32)
    diff = (w[:, :h] - w[:, ::-1][:, :h]).astype(np.float32)  # newer minus older, float32
    k = 0
    s = np.zeros(len(w), np.float32)
    if h >= 16:
        p = np.zeros((16, len(w)), np.float32)
        while k + 16 <= h:
            for r in range(16):
                p[r] = fmaf(c[k + r], diff[:, k + r], p[r])
            k += 16
        q = [(p[4 + l] + p[l]) + (p[8 + l] + p[12 + l]) for l in range(4)]
        s = (q[0] + q[1]) + (q[2] + q[3])
    for k in range(k, h):
        s = fmaf(c[k], diff[:, k], s)
    return s


def exact_model(x, n, table):
    """Bit-exact float32 reference of the stage's arithmetic for a fresh stage."""
    x = np.concatenate([np.zeros(2 * n + 2, np.float32), f32(x)])
    off = 2 * n + 2
    m = np.arange((len(x) - off) // 2)
    h = n // 2
    t = np.asarray(table, np.float32)[:h]
    c = (t * np.where(np.arange(h) % 2, np.float32(-0.5), np.float32(0.5))).astype(np.float32)
    sign = np.float32(1.0 if n % 4 in (1, 2) else -1.0)
    k = np.arange(2 * h)
    if n % 2:
        w = x[off + 2 * m[:, None] - 1 - 2 * k]  # B[1 + k]
        centre = x[off + 2 * m - 2 * h]  # A[h]
    else:
        w = x[off + 2 * m[:, None] - 2 * k]  # A[k]
        centre = x[off + 2 * m + 1 - 2 * h]  # B[h]
    s = branch_sum(c, w) if h else np.zeros(len(m), np.float32)
    mid = (sign * np.float32(0.5)) * centre
    out = np.empty(len(m), np.complex64)
    out.real, out.imag = (mid, s) if n % 2 else (s, mid)
    return np.where(m % 2 == 1, -out, out).astype(np.complex64)


# --- fixed responses of the 19-tap stage -------------------------------------

def impulse(at, length=60):
    x = np.zeros(length, np.float32)
    x[at] = 1.0
    return x


def test_first_output_is_zero():
    assert run(make(), np.ones(2))[0] == 0


@pytest.mark.parametrize("at, index, value", [(0, 9, 0.5), (2, 10, -0.5)])
def test_even_impulse_hits_the_centre_only(at, index, value):
    y = run(make(), impulse(at))
    expected = np.zeros(30, np.complex64)
    expected[index] = value
    assert np.array_equal(y, expected)


@pytest.mark.parametrize("at, first, factor", [(1, 1, -0.5j), (3, 2, 0.5j)])
def test_odd_impulse_gives_the_branch(at, first, factor):
    y = run(make(), impulse(at))
    expected = np.zeros(30, np.complex64)
    expected[first:first + 18] = (np.complex64(factor) * TABLE).astype(np.complex64)
    assert np.array_equal(y, expected)
    assert np.all(y.real == 0)


def test_constant_moves_to_half_the_output_rate_with_gain_exactly_half():
    y = run(make(), np.ones(200))
    m = np.arange(18, 100)
    assert np.all(y.real[18:] == np.where(m % 2, 0.5, -0.5))
    assert np.all(y.imag[18:] == 0)


@pytest.mark.parametrize("f_in, f_out", [(0.1, -0.3), (0.3, 0.1), (0.25, 0.0)])
def test_real_tone_leaves_as_one_complex_tone(f_in, f_out):
    n = np.arange(4000)
    y = run(make(), np.cos(2 * np.pi * f_in * n)).astype(np.complex128)[40:]
    # passband ripple plus the rejected image, each at most 0.00124 of half the amplitude
    assert np.allclose(np.abs(y), 0.5, atol=0.00125)
    step = np.angle(y[1:] / y[:-1]) / (2 * np.pi)
    assert np.allclose(step, f_out, atol=5e-4)
    assert abs(np.angle(np.sum(y[1:] * np.conj(y[:-1]))) / (2 * np.pi) - f_out) < 1e-6


def test_equivalent_35_tap_filter_is_half_band():
    g = taps_by_delay(19, TABLE)[2:]  # delays 2..38; the first two are zero
    nz = np.flatnonzero(g)
    assert (nz[0], nz[-1], len(nz)) == (0, 34, 19)
    fir = g[: nz[-1] + 1]
    assert np.allclose(fir, fir[::-1])
    f = np.linspace(0, 0.5, 2001)
    _, H = signal.freqz(fir, worN=f, fs=1.0)
    gain = np.abs(H)
    assert np.max(np.abs(gain[f <= 0.2] - 1)) <= 0.00124
    assert np.max(gain[f >= 0.3]) <= 0.00124
    assert abs(gain[f == 0.25][0] - 0.5) < 1e-7
    assert abs(gain[0] - 1.00028090) < 1e-7


def test_stage_impulse_response_is_that_filter():
    # Impulses at inputs 0 and 1 give the taps at odd and even delays.
    g = taps_by_delay(19, TABLE)
    odd = run(make(), impulse(0, 80))
    even = run(make(), impulse(1, 80))
    # the impulse at input 1 was multiplied by (-j)^1
    got = np.zeros(80)
    got[1::2] = odd.real
    got[0::2] = (even / -1j).real
    assert np.all(odd.imag == 0) and np.all(even.real == 0)
    assert np.allclose(got[: len(g)], g, atol=1e-9, rtol=0)


# --- geometry for any tap count ----------------------------------------------

@pytest.mark.parametrize("n", list(range(1, 22)) + [33, 40, 64, 65])
def test_any_tap_count_matches_float64_model(n):
    rng = np.random.default_rng(n)
    table = f32(rng.uniform(-1, 1, n // 2))
    x = f32(rng.standard_normal(6 * n + 41))
    y = run(make(n, table), x)
    ref = model(x, n, table)
    assert len(y) == len(ref)
    assert np.max(np.abs(y - ref)) <= 1e-5 * (1 + np.sum(np.abs(table)))


@pytest.mark.parametrize("n", [19, 20, 33, 35, 40, 64, 66, 99])
def test_summation_order_is_bit_exact(n):
    rng = np.random.default_rng(100 + n)
    table = f32(rng.uniform(-1, 1, n // 2))
    x = f32(rng.standard_normal(4 * n + 31) * 3)
    assert bits_equal(run(make(n, table), x), exact_model(x, n, table))


def test_single_tap_is_centre_only():
    x = f32(np.arange(1, 21))
    y = run(make(1, np.zeros(1, np.float32)), x)
    m = np.arange(10)
    assert np.array_equal(y.real, (0.5 * x[0::2] * (-1.0) ** m).astype(np.float32))
    assert np.all(y.imag == 0)


# --- streaming ---------------------------------------------------------------

def test_one_input_waits_for_its_partner():
    x = f32([0.25, -1.5, 2.0, 0.75])
    h = make()
    assert len(run(h, x[:1])) == 0
    y = run(h, x[1:2])
    assert len(y) == 1
    assert bits_equal(np.concatenate([y, run(h, x[2:])]), run(make(), x))


@pytest.mark.parametrize("blocks", [[3, 4, 3], [1, 1, 1, 7], [9, 1], [10]])
def test_short_blocks_equal_one_block(blocks):
    x = f32(np.random.default_rng(1).standard_normal(10))
    h = make()
    got = np.concatenate([run(h, b) for b in np.split(x, np.cumsum(blocks)[:-1])])
    assert len(got) == 5
    assert bits_equal(got, run(make(), x))


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("n", [19, 20, 40])
def test_random_odd_blocks_are_bit_identical(seed, n):
    rng = np.random.default_rng(seed)
    table = f32(rng.uniform(-1, 1, n // 2))
    x = f32(rng.standard_normal(3001))
    sizes = 2 * rng.integers(0, 60, 200) + 1
    cuts = np.cumsum(sizes)
    cuts = cuts[cuts < len(x)]
    h = make(n, table)
    got = np.concatenate([run(h, b) for b in np.split(x, cuts)])
    assert bits_equal(got, run(make(n, table), x))


def test_short_capacity_keeps_next_input_pending_and_drops_the_rest():
    x = f32(np.arange(10) + 1.0)
    more = f32([20.0, 21.0, 22.0])
    h = make()
    y = run(h, x, cap=2)
    assert len(y) == 2
    assert bits_equal(y, run(make(), x[:4]))
    # input 4 is pending, inputs 5..9 are gone
    rest = run(h, more)
    assert len(rest) == 2
    ref = run(make(), np.concatenate([x[:5], more]))
    assert bits_equal(rest, ref[2:])


@pytest.mark.parametrize("n_in, cap", [(0, 5), (5, 0)])
def test_empty_call_changes_nothing(n_in, cap):
    x = f32(np.random.default_rng(7).standard_normal(31))
    h = make()
    first = run(h, x[:11])  # leaves input 10 pending
    out = np.zeros(8, np.complex64)
    assert lib.hbdecim_r2c_execute(h.p, ptr(x[11:]), n_in, ptr(out), cap) == 0
    assert np.all(out == 0)
    assert bits_equal(np.concatenate([first, run(h, x[11:])]), run(make(), x))


def test_reset_returns_to_fresh_state():
    rng = np.random.default_rng(3)
    x = f32(rng.standard_normal(64))
    h = make()
    run(h, x[:37])  # odd: a pending sample and odd parity
    lib.hbdecim_r2c_reset(h.p)
    assert bits_equal(run(h, x), run(make(), x))


def test_getters():
    h = make()
    run(h, np.ones(7))
    assert lib.hbdecim_r2c_get_rate(h.p) == 0.5
    assert lib.hbdecim_r2c_get_num_taps(h.p) == 19


def test_create_rejects_zero_taps_and_null_table():
    assert not lib.hbdecim_r2c_create(0, ptr(TABLE))
    assert not lib.hbdecim_r2c_create(19, None)
    lib.hbdecim_r2c_destroy(None)


def test_absurd_tap_count_is_refused():
    assert not lib.hbdecim_r2c_create(2 ** 63 + 1, ptr(TABLE))


def test_table_is_copied():
    table = TABLE.copy()
    h = make(19, table)
    table[:] = 0
    h.table = None
    assert bits_equal(run(h, impulse(1)), run(make(), impulse(1)))
