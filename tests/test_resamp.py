"""Resampler execution: copy, interpolating, decimating and controlled paths."""
import math

import numpy as np
import pytest

from native import c64, lib, ptr
from resamp_model import F32, Model, bank_of, builtin, custom, noise, run, run_ctrl


@pytest.fixture(scope="module")
def bank():
    with builtin(0.5) as h:
        return bank_of(h)


def bits(a):
    return np.ascontiguousarray(a, np.complex64).tobytes()


# --- worked examples on tiny banks (dyadic values: every order is exact) -----------

A = np.array([0.5, -0.25, 1.5], F32)
B = np.array([0.125, 2.0, -0.75], F32)


def test_decimating_p2_t3_at_half_rate():
    x = np.array([1, 2, -3, 4, 0.5, -1, 2, 3], np.complex64) * (1 + 0.5j)
    g = 0.5
    with custom(np.stack([A, B]), 0.5) as h:
        assert lib.resamp_get_phase_step(h.p) == 0x80000000
        y = run(h, x)
    a0, a1, a2 = (float(v) for v in A)
    b0, b1, b2 = (float(v) for v in B)

    def part(q, d):   # contribution of output period q to the output d periods later
        return g * ((a0, a1, a2)[2 - d] * x[2 * q] + (b0, b1, b2)[2 - d] * x[2 * q + 1])

    expect = [part(0, 0),
              part(1, 0) + part(0, 1),
              part(2, 0) + part(1, 1) + part(0, 2),
              part(3, 0) + part(2, 1) + part(1, 2)]
    assert len(y) == 4
    assert y.tolist() == expect


def test_interpolating_p2_t2_at_double_rate_and_next_call():
    a0, a1, b0, b1 = 0.5, -0.25, 2.0, 0.125
    x = np.array([1 + 1j, -2 + 0.5j, 4 - 1j, 3 + 2j], np.complex64)
    with custom([[a0, a1], [b0, b1]], 2.0) as h:
        y = run(h, x[:3])
        assert y.tolist() == [0, 0, a0 * x[0], b0 * x[0], a0 * x[1] + a1 * x[0],
                              b0 * x[1] + b1 * x[0]]
        assert lib.resamp_get_phase(h.p) == 0
        assert run(h, x[3:])[0] == a0 * x[2] + a1 * x[1]


# --- built-in bank ---------------------------------------------------------------

def test_impulse_at_rate_2_walks_rows_0_and_2048(bank):
    x = np.zeros(30, np.complex64)
    x[0] = 1
    with builtin(2.0) as h:
        y = run(h, x)
    assert y[0] == 0 and y[1] == 0
    assert y[2:40:2].real.tobytes() == bank[0].tobytes()
    assert y[3:40:2].real.tobytes() == bank[2048].tobytes()
    assert np.all(y.imag == 0)
    assert y[20] == y[22] == F32(0.632113814) and y[21] == 1.0


def test_impulse_at_half_rate(bank):
    x = np.zeros(60, np.complex64)
    x[0] = 1
    with builtin(0.5) as h:
        y = run(h, x).real
    assert len(y) == 30
    assert y[8] == y[9] == F32(0.632113814) / 2
    assert y[8] == pytest.approx(0.316057, abs=1e-6)
    assert y[:19].tobytes() == (bank[0, ::-1] * F32(0.5)).tobytes()
    assert np.all(y[19:] == 0)
    # Symmetric about 8.5 except output 18, which carries the unpaired first tap.
    assert np.array_equal(y[:18], y[17::-1])


@pytest.mark.parametrize("rate, level, tol", [
    (0.5, 1.000293, 1e-6), (0.3, 1.0, 6e-4), (1.5, 1.0, 6e-4), (2.5, 1.0, 6e-4),
    (0.37, 1.0, 6e-4), (2.3, 1.0, 6e-4),
])
def test_constant_input_gain(rate, level, tol):
    with builtin(rate) as h:
        y = run(h, np.ones(3000, np.complex64))
    settled = y[int(20 * max(rate, 1.0)):]      # after the 19-tap start-up
    assert np.abs(settled.real - level).max() <= tol
    assert np.all(settled.imag == 0)


@pytest.mark.parametrize("n, cap", [(10, 20), (10, 4), (0, 5), (5, 0)])
def test_rate_one_copies_and_keeps_state(n, cap):
    x = noise(n, 5)
    with builtin(1.0) as h:
        y = run(h, x, cap)
        assert bits(y) == bits(x[:min(n, cap)])
        assert lib.resamp_get_phase(h.p) == 0
        lib.resamp_set_rate(h.p, 2.0)
        with builtin(2.0) as fresh:
            z = noise(25, 6)
            assert bits(run(h, z)) == bits(run(fresh, z))


def test_capacity_stop_drops_untaken_inputs():
    x = noise(10, 7)
    z = noise(1, 8)
    with builtin(2.0) as h, builtin(2.0) as ref:
        y = run(h, x, cap=5)
        assert len(y) == 5
        assert lib.resamp_get_phase(h.p) == 0x80000000
        # Only inputs 0 and 1 were taken: the stream goes on as if x[2:] never came.
        both = np.concatenate([y, run(h, z)])
        assert bits(both) == bits(run(ref, np.concatenate([x[:2], z])))


def test_capacity_stop_decimating():
    x = noise(40, 9)
    with builtin(0.5) as h, builtin(0.5) as ref:
        y = run(h, x, cap=3)
        assert len(y) == 3
        assert bits(y) == bits(run(ref, x[:6]))


@pytest.mark.parametrize("rate", [0.37, 2.3, 0.5, 0.9999, 1.0001, 0.01])
@pytest.mark.parametrize("split", [(100, 1, 199), (1, 1, 298), (299, 0, 1), (7, 150, 143)])
def test_block_split_is_bit_identical(rate, split):
    x = noise(300, 10)
    with builtin(rate) as whole, builtin(rate) as parts:
        y = run(whole, x)
        pieces, at = [], 0
        for n in split:
            pieces.append(run(parts, x[at:at + n]))
            at += n
        assert bits(np.concatenate(pieces)) == bits(y)


@pytest.mark.parametrize("rate", [0.37, 2.3])
def test_reset_equals_fresh(rate):
    x = noise(200, 11)
    with builtin(rate) as h, builtin(rate) as fresh:
        run(h, noise(77, 12))
        run_ctrl(h, noise(5, 13), np.zeros(5, F32))
        lib.resamp_reset(h.p)
        assert lib.resamp_get_phase(h.p) == 0
        assert bits(run(h, x)) == bits(run(fresh, x))
        lib.resamp_reset(h.p)
        lib.resamp_reset(fresh.p)
        c = np.full(200, 0.3, F32)
        assert bits(run_ctrl(h, x, c)) == bits(run_ctrl(fresh, x, c))


@pytest.mark.parametrize("rate", [0.37, 2.3])
def test_empty_call_changes_nothing(rate):
    x = noise(50, 14)
    with builtin(rate) as h, builtin(rate) as ref:
        run(h, x[:20])
        run(ref, x[:20])
        assert lib.resamp_execute(h.p, ptr(x), 0, ptr(np.zeros(4, np.complex64)), 4) == 0
        assert lib.resamp_execute(h.p, ptr(x), 30, None, 0) == 0
        assert lib.resamp_execute_ctrl(h.p, ptr(x), ptr(x), 0, None, 4) == 0
        assert bits(run(h, x[20:])) == bits(run(ref, x[20:]))


# --- bit-exact agreement with the NumPy model ------------------------------------

@pytest.mark.parametrize("rate, n", [(0.37, 120), (0.5, 80), (2.3, 40), (1.25, 40)])
def test_builtin_bank_matches_model(bank, rate, n):
    x = noise(n, 15)
    with builtin(rate) as h:
        y = np.concatenate([run(h, x[:n // 3]), run(h, x[n // 3:])])
    m = Model(bank, rate)
    assert bits(y) == bits(np.concatenate([m.execute(x[:n // 3], 10**6),
                                           m.execute(x[n // 3:], 10**6)]))


@pytest.mark.parametrize("T", [1, 2, 15, 16, 17, 31, 32, 40])
@pytest.mark.parametrize("rate", [0.43, 1.9])
def test_custom_bank_matches_model(T, rate):
    rng = np.random.default_rng(T)
    b = rng.standard_normal((8, T)).astype(F32)
    x = noise(60, 16)
    with custom(b, rate) as h:
        y = run(h, x)
    assert bits(y) == bits(Model(b, rate).execute(x, 10**6))


# --- controlled path ---------------------------------------------------------------

def test_ctrl_zero_at_rate_one_uses_row_0(bank):
    x = noise(50, 17)
    with builtin(1.0) as h:
        y = run_ctrl(h, x, np.zeros(50, F32))
    assert len(y) == 50
    m = Model(bank[:1], 1.0)                      # a one-row bank: row 0 only
    assert bits(y) == bits(m.execute_ctrl(x, np.zeros(50, F32), 10**6))
    with builtin(1.0) as h:
        y = run_ctrl(h, np.ones(60, np.complex64), np.zeros(60, F32))
    assert y[-1].real == pytest.approx(1.000586, abs=1e-6)


def test_ctrl_reads_only_the_real_parts():
    x = noise(80, 18)
    c = np.random.default_rng(19).uniform(-0.3, 0.3, 80).astype(F32)
    outs = []
    for imag in (np.nan, 0.0, 1e30, -7.0):
        with builtin(0.8) as h:
            outs.append(bits(run_ctrl(h, x, c, imag=imag)))
    assert len(set(outs)) == 1


@pytest.mark.parametrize("P, rate", [(3, 0.7), (3, 2.5), (1, 1.3), (4096, 0.37)])
def test_ctrl_matches_model(P, rate):
    rng = np.random.default_rng(P)
    b = rng.standard_normal((P, 5)).astype(F32)
    x = noise(70, 20)
    c = rng.uniform(-0.2, 0.2, 70).astype(F32)
    m = Model(b, rate)
    with custom(b, rate) as h:
        y = np.concatenate([run_ctrl(h, x[:30], c[:30]), run_ctrl(h, x[30:], c[30:])])
    assert bits(y) == bits(np.concatenate([m.execute_ctrl(x[:30], c[:30], 10**6),
                                           m.execute_ctrl(x[30:], c[30:], 10**6)]))


def test_ctrl_several_outputs_per_input_use_last_row():
    b = np.array([[1.0, 0.0], [0.0, 0.0], [0.0, 1.0]], F32)   # row 2 delays by one input
    x = np.arange(1, 5).astype(np.complex64)
    with custom(b, 2.5) as h:
        y = run_ctrl(h, x, np.zeros(4, F32))
    # ctrl_time 2.5 -> remainders 1.5 (row 2) and 0.5 (row 1); then 3.0 -> 2.0, 1.0 (row 2), 0.0 (row 0) ...
    assert y.tolist()[:5] == [0, 0, 1, 1, 2]


def test_ctrl_nan_stops_output_until_reset():
    x = noise(40, 21)
    c = np.zeros(40, F32)
    c[10] = np.nan
    with builtin(1.0) as h, builtin(1.0) as fresh:
        y = run_ctrl(h, x, c)
        assert len(y) == 10
        assert len(run_ctrl(h, x, np.zeros(40, F32))) == 0
        lib.resamp_reset(h.p)
        assert bits(run_ctrl(h, x, np.zeros(40, F32))) == bits(run_ctrl(fresh, x, np.zeros(40, F32)))


@pytest.mark.parametrize("clock", [1e30, math.inf])
def test_ctrl_huge_clock_is_clamped_to_last_row(clock):
    b = np.array([[1.0], [2.0], [3.0]], F32)
    x = np.ones(4, np.complex64)
    with custom(b, 1.0) as h:
        y = run_ctrl(h, x, np.array([clock, 0, 0, 0], F32), cap=6)
    assert y.tolist() == [3.0] * 6


def test_ctrl_capacity_stop():
    x = noise(30, 22)
    with builtin(0.5) as h, builtin(0.5) as ref:
        y = run_ctrl(h, x, np.full(30, 0.5, F32), cap=7)
        assert len(y) == 7
        assert bits(y) == bits(run_ctrl(ref, x[:7], np.full(7, 0.5, F32)))


# --- banks whose rows are not the top phase bits ---------------------------------

@pytest.mark.parametrize("P", [3, 1, 4097])
@pytest.mark.parametrize("rate", [0.5, 1.0, 2.0])
def test_execute_refuses_bank_not_addressed_by_phase_bits(P, rate):
    b = np.ones((P, 4), F32)
    x = noise(20, 23)
    out = np.full(50, 7 + 7j, np.complex64)
    with custom(b, rate) as h:
        assert lib.resamp_execute(h.p, ptr(c64(x)), 20, ptr(out), 50) == 0
        assert np.all(out == 7 + 7j)
        assert lib.resamp_get_phase(h.p) == 0
        assert len(run_ctrl(h, x, np.zeros(20, F32))) > 0
