"""Filter design: CIC droop compensator and Kaiser's formulas."""
import math

import numpy as np
import pytest
import scipy.signal

from native import lib, ptr

SENTINEL = -12345.5


def design(order, ratio, ntaps, room=None):
    buf = np.full(max(room or ntaps, 1), SENTINEL)
    lib.ciccompmf(ptr(buf), order, ratio, ntaps)
    return buf


def cic_response(w, ratio, order=4):
    """Order-N CIC amplitude response at the output rate, unit gain at DC."""
    w = np.asarray(w, np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        h = np.sin(w / 2) / (ratio * np.sin(w / (2 * ratio)))
    return np.where(w == 0, 1.0, h) ** order


# --- ciccompmf ------------------------------------------------------------------

SEVEN_TAP = {
    4: [-0.004239755207, 0.05204985936, -0.3262916406, 1.556963073],
    8: [-0.004569389485, 0.05593501367, -0.3466780493, 1.590624850],
    16: [-0.004653736315, 0.05692651488, -0.3518380577, 1.599130558],
    64: [-0.004680254676, 0.05723802294, -0.3534557762, 1.601796016],
    4096: [-0.004682024847, 0.05725881326, -0.3535636862, 1.601973796],
}


@pytest.mark.parametrize("ratio", sorted(SEVEN_TAP))
def test_seven_tap_table(ratio):
    taps = design(4, ratio, 7)
    half = SEVEN_TAP[ratio]
    np.testing.assert_allclose(taps, half + half[2::-1], rtol=6e-10, atol=0)


@pytest.mark.parametrize("ntaps, expected", [
    (3, [-0.166015625, 1.33203125, -0.166015625]),
    (4, [-0.1455078125, 0.6455078125, 0.6455078125, -0.1455078125]),
])
def test_short_designs_ratio_16(ntaps, expected):
    np.testing.assert_allclose(design(4, 16, ntaps), expected, rtol=1e-14)


@pytest.mark.parametrize("order, ratio", [(4, 16), (1, 2), (5, 4096), (0, 8), (4, 1), (7, 3)])
def test_one_and_two_taps(order, ratio):
    assert design(order, ratio, 1).tolist() == [1.0]
    assert design(order, ratio, 2).tolist() == [0.5, 0.5]


@pytest.mark.parametrize("order, ratio", [(4, 1), (0, 16)])
def test_no_droop_gives_identity_or_flat_even_design(order, ratio):
    for n in (3, 5, 7, 19):
        taps = design(order, ratio, n)
        assert taps[n // 2] == 1.0 and np.all(np.delete(taps, n // 2) == 0.0)
    np.testing.assert_allclose(design(order, ratio, 6),
                               np.array([3, -25, 150, 150, -25, 3]) / 256, rtol=1e-13)


def test_count_zero_writes_nothing():
    buf = design(4, 16, 0, room=4)
    assert np.all(buf == SENTINEL)


@pytest.mark.parametrize("ntaps", [20, 21, 22, 1000])
def test_counts_beyond_limit_give_zeros(ntaps):
    buf = design(4, 16, ntaps, room=ntaps + 3)
    assert np.all(buf[:ntaps] == 0.0) and np.all(buf[ntaps:] == SENTINEL)


@pytest.mark.parametrize("ratio", [2, 4, 16, 4096])
@pytest.mark.parametrize("ntaps", range(1, 20))
def test_every_design_is_symmetric_with_unit_dc_gain(ntaps, ratio):
    buf = design(4, ratio, ntaps, room=ntaps + 2)
    taps = buf[:ntaps]
    assert np.all(buf[ntaps:] == SENTINEL)
    assert np.all(np.isfinite(taps))
    assert np.array_equal(taps, taps[::-1])
    assert abs(math.fsum(taps) - 1.0) <= 1e-12 * max(1.0, np.abs(taps).sum())


@pytest.mark.parametrize("ntaps", [18, 19])
def test_largest_designs_are_accepted(ntaps):
    taps = design(4, 64, ntaps)
    assert np.count_nonzero(taps) == ntaps


def a_coeffs(order, ratio):
    """2k-th derivatives of ln(1/H) at DC, from |B(2k)|."""
    berno = [1 / 6, 1 / 30, 1 / 42, 1 / 30, 5 / 66, 691 / 2730, 7 / 6, 3617 / 510, 43867 / 798]
    return [(1 - ratio ** (-2 * k)) * order * berno[k - 1] / (2 * k) for k in range(1, 10)]


def targets(a):
    return [sum((2 * p - 1) * a[m - p] ** p for p in range(1, m + 1)) for m in range(1, 10)]


def test_series_coefficients_through_three_tap_design():
    a = a_coeffs(4, 16)
    T = targets(a)
    np.testing.assert_allclose(a[:3], [0.33203125, 0.03333282470703125, 0.0158730149269104], rtol=1e-12)
    np.testing.assert_allclose(T[:3], [0.33203125, 0.3640670776367188, 0.2022297588991933], rtol=1e-12)
    for ratio in (2, 16, 4096):
        a1 = a_coeffs(4, ratio)[0]
        np.testing.assert_allclose(design(4, ratio, 3), [-a1 / 2, 1 + a1, -a1 / 2], rtol=1e-14)


@pytest.mark.parametrize("ntaps", [5, 7, 9, 6, 8, 11])
def test_even_derivatives_at_dc_match_targets(ntaps):
    """G^(2r)(0) = T(r) for the free orders, G(0) = 1: independent derivative check."""
    taps = design(4, 16, ntaps)
    T = targets(a_coeffs(4, 16))
    d = np.arange(ntaps) - (ntaps - 1) / 2  # distance of each tap from the centre
    n_orders = ntaps // 2 if ntaps % 2 else ntaps // 2 - 1
    assert math.isclose(taps.sum(), 1.0, rel_tol=1e-13)
    for r in range(1, n_orders + 1):
        g = (-1) ** r * np.sum(taps * d ** (2 * r))  # 2r-th derivative of sum t cos(d w)
        assert math.isclose(g, T[r - 1], rel_tol=1e-9, abs_tol=1e-9 * np.abs(taps * d ** (2 * r)).sum())


def test_compensated_response_is_flat_for_ratio_16():
    taps = design(4, 16, 7)
    f = np.linspace(0.0, 0.2, 2001)
    w = 2 * np.pi * f
    g = np.abs(np.exp(-1j * np.outer(w, np.arange(7))) @ taps)
    flat = np.abs(g * cic_response(w, 16) - 1)
    assert flat[f <= 0.1].max() <= 1e-4
    assert flat.max() <= 6e-3
    # Without compensation the droop is far larger: the test has teeth.
    assert np.abs(cic_response(w, 16) - 1)[f <= 0.1].max() > 0.05


# --- Kaiser helpers -----------------------------------------------------------------

@pytest.mark.parametrize("atten, beta", [
    (20, 0.0), (21, 0.0), (30, 2.116624861), (40, 3.395321052), (50, 4.533514121),
    (60, 5.65326), (80, 7.85726), (100, 10.06126),
])
def test_kaiser_beta_listed(atten, beta):
    assert math.isclose(lib.kaiser_beta(atten), beta, rel_tol=0, abs_tol=5e-10)


@pytest.mark.parametrize("atten", np.concatenate([np.linspace(-10, 120, 131), [21.0, 50.0, 50.0001]]))
def test_kaiser_beta_matches_scipy(atten):
    assert math.isclose(lib.kaiser_beta(atten), scipy.signal.kaiser_beta(atten), rel_tol=1e-14, abs_tol=0)


def test_kaiser_beta_above_50_uses_folded_constant():
    assert lib.kaiser_beta(60.0) == 0.1102 * 60.0 - 0.9587399999999999
    assert lib.kaiser_beta(float("nan")) == 0.0


@pytest.mark.parametrize("phases, atten, f_pass, f_stop, taps", [
    (4096, 60, 0.4, 0.6, 19), (1, 60, 0.2, 0.3, 38), (8, 60, 0.1, 0.15, 73),
    (16, 100, 0.0, 0.05, 129), (0, 60, 0.4, 0.6, 1), (-3, 60, 0.4, 0.6, 1),
    (0, 60, 0.6, 0.4, 1), (1, 5, 0.1, 0.2, 2), (4, 5, 0.1, 0.2, 1),
    (1, -1e6, 0.1, 0.2, 2), (3, float("nan"), 0.1, 0.2, 1),
])
def test_kaiser_num_taps_listed(phases, atten, f_pass, f_stop, taps):
    assert lib.kaiser_num_taps(phases, atten, f_pass, f_stop) == taps


def test_kaiser_num_taps_is_kaisers_estimate():
    for phases, atten, fp, fs in [(32, 70, 0.3, 0.55), (5, 45, 0.1, 0.4), (1, 90, 0.2, 0.21)]:
        t = (atten - 8) * phases / (2.285 * 2 * math.pi * (fs - fp)) + 1
        assert lib.kaiser_num_taps(phases, atten, fp, fs) == (int(t) | 1) // phases + 1


@pytest.mark.parametrize("f_pass, f_stop", [(0.3, 0.3), (0.3, 0.2), (float("nan"), 0.2), (0.1, float("nan"))])
def test_kaiser_num_taps_without_transition_band_is_zero(f_pass, f_stop):
    assert lib.kaiser_num_taps(4, 60, f_pass, f_stop) == 0


@pytest.mark.parametrize("phases, atten, width", [
    (1, 1e300, 1e-300),          # estimate beyond 2^64
    (1, 60, 1e-10),              # between 2^31 and 2^64
    (2**31 - 1, 1e6, 1e-12),     # every branch huge
    (1, float("inf"), 0.1),
])
def test_kaiser_num_taps_saturates(phases, atten, width):
    assert lib.kaiser_num_taps(phases, atten, 0.0, width) == 2**31 - 1
