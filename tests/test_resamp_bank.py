"""Resampler construction: the built-in Kaiser-sinc bank, fields, custom banks."""
import math

import numpy as np
import pytest

from native import f32, lib, ptr
from resamp_model import F32, bank_of, builtin, custom, noise, phase_step, run

BETA = 5.65326


@pytest.fixture(scope="module")
def bank():
    with builtin(0.5) as h:
        return bank_of(h)


def test_builtin_bank_shape(bank):
    assert bank.shape == (4096, 19)


def test_row_2048_is_a_pure_delay_of_nine(bank):
    assert bank[2048, 9] == F32(1.0)
    assert np.abs(np.delete(bank[2048], 9)).max() < 4e-17


@pytest.mark.parametrize("r, k, value", [
    (0, 9, 0.632113814), (0, 10, 0.632113814), (0, 0, -0.000683126505),
    (1024, 9, 0.898719728), (0, 1, 0.00255979), (0, 18, 0.00255979),
])
def test_builtin_bank_landmarks(bank, r, k, value):
    assert bank[r, k] == pytest.approx(value, rel=2e-6)


def test_row_0_centre_taps_are_equal_float32(bank):
    assert bank[0, 9] == bank[0, 10] == F32(0.632113814)


def test_row_0_pairs_taps_k_and_19_minus_k(bank):
    # Row 0 samples the prototype at k - 9.5, so tap 0 has no mirror partner.
    row = bank[0].astype(np.float64)
    for k in range(1, 19):
        assert row[k] == pytest.approx(row[19 - k], rel=2e-7, abs=1e-12)
    assert abs(row[0]) < abs(row[18])


def test_mirror_symmetry_within_one_ulp(bank):
    a = bank[1:4096].astype(np.float64)
    b = bank[4095:0:-1, ::-1].astype(np.float64)
    ulp = np.spacing(np.maximum(np.abs(a), np.abs(b)).astype(F32)).astype(np.float64)
    assert np.all(np.abs(a - b) <= ulp)


@pytest.mark.parametrize("r, total", [(0, 1.000586), (1024, 1.000204), (2048, 1.0)])
def test_row_sums_near_one(bank, r, total):
    assert bank[r].astype(np.float64).sum() == pytest.approx(total, abs=1e-6)


def test_bank_matches_numpy_kaiser_windowed_sinc(bank):
    j = np.arange(77824)
    proto = np.kaiser(77825, BETA)[:-1] * np.sinc((j - 38912) / 4096.0)
    expect = proto.reshape(19, 4096).T            # row r, tap k = proto[r + 4096 k]
    assert np.abs(bank - expect).max() < 1e-7
    assert np.i0(BETA) == pytest.approx(49.0484593, rel=1e-9)


def test_every_resampler_owns_an_identical_bank(bank):
    with builtin(0.3) as a, builtin(2.5) as b:
        assert lib.resamp_get_bank(a.p) != lib.resamp_get_bank(b.p)
        assert bank_of(a).tobytes() == bank.tobytes() == bank_of(b).tobytes()


@pytest.mark.parametrize("rate, interp, step", [(0.3, 0, 1288490188), (2.5, 1, 1717986918)])
def test_builtin_fields(rate, interp, step):
    with builtin(rate) as h:
        assert lib.resamp_get_rate(h.p) == rate
        assert lib.resamp_get_num_phases(h.p) == 4096
        assert lib.resamp_get_num_taps(h.p) == 19
        assert lib.resamp_get_phase_bits(h.p) == 12
        assert lib.resamp_get_interpolating(h.p) == interp
        assert lib.resamp_get_phase_step(h.p) == step
        assert lib.resamp_get_history_size(h.p) == 32
        assert lib.resamp_get_phase(h.p) == 0


@pytest.mark.parametrize("rate, step", [
    (0.25, 0x40000000), (0.3, 0x4CCCCCCC), (0.75, 0xC0000000), (1.5, 0xAAAAAAAA),
    (2.0, 0x80000000), (2.5, 0x66666666), (1.0, 0xFFFFFFFF),
    (math.nextafter(1.0, 0.0), 0xFFFFFFFF), (math.nextafter(1.0, 2.0), 0xFFFFFFFF),
    (3.0, 1431655765), (1e-12, 0), (0.0, 0), (-1.0, 0), (-1e300, 0), (math.nan, 0),
    (math.inf, 0), (-math.inf, 0), (1e300, 0),
])
def test_phase_step_truncates_and_saturates(rate, step):
    assert phase_step(rate) == step
    with builtin(rate) as h:
        assert lib.resamp_get_phase_step(h.p) == step
        assert lib.resamp_get_interpolating(h.p) == int(rate >= 1.0)


def test_set_rate_retunes_and_keeps_state():
    x = noise(40, 1)
    with builtin(2.5) as h:
        run(h, x)
        phase = lib.resamp_get_phase(h.p)
        lib.resamp_set_rate(h.p, 0.5)
        assert lib.resamp_get_rate(h.p) == 0.5
        assert lib.resamp_get_phase_step(h.p) == 0x80000000
        assert lib.resamp_get_interpolating(h.p) == 0
        assert lib.resamp_get_phase(h.p) == phase
        lib.resamp_set_rate(h.p, 2.5)
        # Back on the interpolating path the history of the first call is intact.
        with builtin(2.5) as ref:
            run(ref, x)
            y = noise(20, 2)
            assert run(h, y).tobytes() == run(ref, y).tobytes()


BANK = np.ones(4096 * 19, F32)


@pytest.mark.parametrize("P, T, bank, rate", [
    (0, 19, BANK, 1.0), (4096, 0, BANK, 1.0), (4096, 19, None, 1.0),
    (4096, 19, BANK, 0.0), (4096, 19, BANK, -1.0), (4096, 19, BANK, math.nan),
    (4096, 19, BANK, -math.inf),
])
def test_custom_refuses_bad_arguments(P, T, bank, rate):
    assert not lib.resamp_create_custom(P, T, ptr(bank), rate)


def test_custom_bank_size_overflow_refused():
    # P*T*4 wraps to 0 in 64 bits: it must not be taken for an empty bank.
    assert not lib.resamp_create_custom(1 << 33, 1 << 31, ptr(BANK), 1.0)
    assert not lib.resamp_create_custom(1 << 62, 1, ptr(BANK), 1.0)


def test_custom_bank_is_copied():
    rng = np.random.default_rng(3)
    b = f32(rng.standard_normal((8, 5)))
    keep = b.copy()
    x = noise(30, 4)
    with custom(b, 1.7) as h:
        b[:] = 99.0
        assert bank_of(h).tobytes() == keep.tobytes()
        with custom(keep, 1.7) as ref:
            assert run(h, x).tobytes() == run(ref, x).tobytes()


@pytest.mark.parametrize("T, R", [(1, 1), (2, 2), (3, 4), (15, 16), (16, 16), (17, 32),
                                  (19, 32), (40, 64)])
def test_history_size_is_power_of_two_at_least_taps(T, R):
    with custom(np.ones((4, T), F32), 0.5) as h:
        assert lib.resamp_get_history_size(h.p) == R
        assert lib.resamp_get_num_taps(h.p) == T
        assert lib.resamp_get_num_phases(h.p) == 4
        assert lib.resamp_get_phase_bits(h.p) == 2


@pytest.mark.parametrize("P, bits", [(1, 0), (2, 1), (3, 2), (4096, 12), (4097, 13)])
def test_phase_bits(P, bits):
    with custom(np.ones((P, 1), F32), 2.0) as h:
        assert lib.resamp_get_phase_bits(h.p) == bits
