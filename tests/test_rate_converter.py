"""Rate converter: planning, labels, rebuilds, ping-pong execution, capacities."""
import ctypes
import math

import numpy as np
import pytest

from alloc_faults import run_scenario
from native import HB_TABLE, Handle, bits_equal, c64, lib, ptr

NAN = float("nan")
INF = float("inf")


def create(rate, comp=0):
    return Handle(lib.RateConverter_create(comp, rate), lib.RateConverter_destroy)


def labels(h):
    out = []
    for i in range(lib.RateConverter_get_num_stages(h.p)):
        buf = ctypes.create_string_buffer(64)
        assert lib.RateConverter_stage_label(h.p, i, buf, 64) == 1
        out.append(buf.value.decode())
    return out


def run(h, x, cap=None):
    x = c64(x)
    cap = 2 * len(x) + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = lib.RateConverter_execute(h.p, ptr(x), len(x), ptr(out), cap)
    assert n <= cap
    return out[:n].copy()


def noise(n, seed=0):
    rng = np.random.default_rng(seed)
    return c64((rng.random(n) - 0.5) + 1j * (rng.random(n) - 0.5))


def random_sizes(n, rng, small=False):
    sizes = []
    while sum(sizes) < n:
        pick = rng.integers(1, 4) if (small and rng.random() < 0.5) else rng.integers(1, 700)
        sizes.append(int(min(pick, n - sum(sizes))))
    return sizes


# --- planning -----------------------------------------------------------------

PLAN_TABLE = [
    (2.0, ["Resampler(2)"]),
    (1.0, ["Resampler(1)"]),
    (0.75, ["Resampler(0.75)"]),
    (0.5, ["HalfbandDecimator"]),
    (0.4, ["Resampler(0.4)"]),
    (0.25, ["HalfbandDecimator", "HalfbandDecimator"]),
    (0.2, ["Resampler(0.2)"]),
    (0.125, ["CIC(8)"]),
    (0.1, ["CIC(8)", "Resampler(0.8)"]),
    (0.09, ["CIC(8)", "Resampler(0.72)"]),
    (0.07, ["CIC(16)", "Resampler(1.12)"]),
    (1 / 12, ["CIC(16)", "Resampler(1.33333)"]),
    (0.0625, ["CIC(16)"]),
    (1 / 8.0000001, ["CIC(8)"]),
    (2.0 ** -12, ["CIC(4096)"]),
    (0.0002, ["CIC(4096)", "Resampler(0.8192)"]),
]


@pytest.mark.parametrize("rate,expected", PLAN_TABLE)
def test_plan_labels(rate, expected):
    h = create(rate)
    assert labels(h) == expected
    assert lib.RateConverter_get_rate(h.p) == rate


@pytest.mark.parametrize("rate", [0.0001, 0.0, -1.0, NAN, INF, -INF, 2.0 ** -32, 2.0 ** -40,
                                  0.9 * 2.0 ** -13, 2.0 ** 32, 1e300])
def test_create_refuses(rate):
    assert not lib.RateConverter_create(0, rate)
    assert not lib.RateConverter_create(1, rate)


@pytest.mark.parametrize("rate,expected", [
    # within 1e-9 of a power of two in log2: the power's plan
    (0.5 * 2 ** -0.5e-9, ["HalfbandDecimator"]),
    (0.25 * 2 ** 0.5e-9, ["HalfbandDecimator", "HalfbandDecimator"]),
    (0.125000000001, ["CIC(8)"]),
    (2.0 ** -13 * 2 ** -0.5e-9, ["CIC(4096)", "Resampler(0.5)"]),
    # just outside: an ordinary ratio
    (0.5 * 2 ** -2e-9, ["Resampler(0.5)"]),
    (0.25 * 2 ** 2e-9, ["Resampler(0.25)"]),
    # residual within 1e-6 of 1: the CIC alone; just outside: a resampler follows
    ((1 + 0.9e-6) / 16, ["CIC(16)"]),
    ((1 + 1.1e-6) / 16, ["CIC(16)", "Resampler(1)"]),
    ((1 - 0.9e-6) / 8, ["CIC(8)"]),
    ((1 - 1.1e-6) / 8, ["CIC(8)", "Resampler(0.999999)"]),
])
def test_plan_boundaries(rate, expected):
    assert labels(create(rate)) == expected


def test_power_of_two_just_outside_the_test_below_the_cic_limit_is_refused():
    # not a power of two and 1/rate above 8192: the lower ratio 8192 cannot be built
    assert not lib.RateConverter_create(0, 2.0 ** -13 * 2 ** -2e-9)


@pytest.mark.parametrize("rate,expected", [
    (0.125, ["CIC(8)+FIR"]),
    (0.1, ["CIC(8)+FIR", "Resampler(0.8)"]),
    (0.07, ["CIC(16)+FIR", "Resampler(1.12)"]),
    (2.0 ** -12, ["CIC(4096)+FIR"]),
    (0.25, ["HalfbandDecimator", "HalfbandDecimator"]),
    (0.75, ["Resampler(0.75)"]),
])
def test_compensated_labels(rate, expected):
    assert labels(create(rate, comp=1)) == expected


@pytest.mark.parametrize("e", [13, 14, 16, 20])
def test_tiny_power_of_two_reaches_the_requested_rate(e):
    """Regression: a lone CIC(4096) decimated by 4096 whatever 2^-e asked for."""
    rate = 2.0 ** -e
    h = create(rate)
    assert labels(h) == ["CIC(4096)", "Resampler(%g)" % (4096 * rate)]
    n = 2 ** (e + 6)
    step = 2 ** 16
    total = 0
    for start in range(0, n, step):
        total += len(run(h, np.zeros(min(step, n - start), np.complex64)))
    assert total == n * rate


# --- labels -------------------------------------------------------------------

def test_label_truncated_like_snprintf():
    h = create(0.5)
    buf = ctypes.create_string_buffer(b"\xaa" * 8, 8)
    assert lib.RateConverter_stage_label(h.p, 0, buf, 4) == 1
    assert buf.raw[:4] == b"Hal\x00"
    assert buf.raw[4:] == b"\xaa" * 4


@pytest.mark.parametrize("rate", [0.5, 0.25, 0.1])
def test_label_index_out_of_range_leaves_buffer(rate):
    h = create(rate)
    for index in (-1, lib.RateConverter_get_num_stages(h.p), 7):
        buf = ctypes.create_string_buffer(b"\xaa" * 16, 16)
        assert lib.RateConverter_stage_label(h.p, index, buf, 16) == 0
        assert buf.raw == b"\xaa" * 16


# --- set_rate -----------------------------------------------------------------

@pytest.mark.parametrize("bad", [0.0, -0.5, NAN, INF, -INF, 2.0 ** -32, 1e-300, 2.0 ** 32])
def test_set_rate_ignores_invalid_rates_keeping_history(bad):
    x = noise(3000, 1)
    ref = create(0.1)
    expected = np.concatenate([run(ref, x[:1234]), run(ref, x[1234:])])
    h = create(0.1)
    first = run(h, x[:1234])
    lib.RateConverter_set_rate(h.p, bad)
    assert lib.RateConverter_get_rate(h.p) == 0.1
    assert labels(h) == ["CIC(8)", "Resampler(0.8)"]
    assert bits_equal(np.concatenate([first, run(h, x[1234:])]), expected)


@pytest.mark.parametrize("rate", [0.5, 0.25, 0.1, 0.07, 0.75, 1.5])
def test_set_rate_same_rate_restarts_from_zero_history(rate):
    x = noise(2000, 2)
    h = create(rate)
    run(h, noise(777, 3))
    lib.RateConverter_set_rate(h.p, rate)
    assert lib.RateConverter_get_scratch_cap(h.p) == 0  # buffers released too
    assert bits_equal(run(h, x), run(create(rate), x))


def test_set_rate_changes_plan():
    h = create(0.5)
    lib.RateConverter_set_rate(h.p, 0.07)
    assert labels(h) == ["CIC(16)", "Resampler(1.12)"]
    assert lib.RateConverter_get_rate(h.p) == 0.07
    x = noise(1600, 4)
    assert bits_equal(run(h, x), run(create(0.07), x))


def test_set_rate_unbuildable_leaves_empty_converter():
    h = create(0.25)
    run(h, noise(100))
    lib.RateConverter_set_rate(h.p, 0.0001)
    assert lib.RateConverter_get_rate(h.p) == 0.0001
    assert lib.RateConverter_get_num_stages(h.p) == 0
    assert lib.RateConverter_get_scratch_cap(h.p) == 0
    buf = ctypes.create_string_buffer(b"\xaa" * 8, 8)
    assert lib.RateConverter_stage_label(h.p, 0, buf, 8) == 0
    assert buf.raw == b"\xaa" * 8
    # every block gives 0 and touches nothing
    x = noise(500)
    out = np.full(600, 7 + 7j, np.complex64)
    for n in (0, 1, 500):
        assert lib.RateConverter_execute(h.p, ptr(x), n, ptr(out), 600) == 0
    assert np.all(out == 7 + 7j)
    lib.RateConverter_reset(h.p)
    assert lib.RateConverter_get_scratch_cap(h.p) == 0
    # a later valid rate refills it
    lib.RateConverter_set_rate(h.p, 0.25)
    assert labels(h) == ["HalfbandDecimator", "HalfbandDecimator"]
    assert bits_equal(run(h, x), run(create(0.25), x))


@pytest.mark.parametrize("scenario", ["rc_create", "rc_set_rate", "rc_execute"])
def test_allocation_failures_leak_nothing_and_consume_nothing(scenario):
    """Every allocation of create, set_rate and execute made to fail in turn,
    including those of the second stage after the first one was built."""
    assert run_scenario(scenario) > 0


# --- execution ------------------------------------------------------------------

SHAPES = [  # (rate, compensate): every plan shape
    (2.0, 0), (1.5, 0), (1.0, 0), (0.75, 0), (0.5, 0), (0.4, 0), (0.25, 0), (0.125, 0),
    (0.125, 1), (0.1, 0), (0.1, 1), (0.07, 0), (1 / 12, 1), (0.0625, 0), (2.0 ** -13, 0),
]


def _hand_cascade(rate, comp, x):
    """The same stages created and chained by hand through their own functions."""
    out = c64(x)
    cic_ratio = 1
    for label in labels(create(rate, comp)):
        buf = np.zeros(2 * len(out) + 8, np.complex64)
        if label == "HalfbandDecimator":
            s = Handle(lib.hbdecim_create(19, ptr(HB_TABLE)), lib.hbdecim_destroy)
            n = lib.hbdecim_execute(s.p, ptr(out), len(out), ptr(buf), len(buf))
        elif label.startswith("CIC"):
            cic_ratio = int(label[4:label.index(")")])
            s = Handle(lib.cic_create(cic_ratio), lib.cic_destroy)
            n = lib.cic_execute(s.p, ptr(out), len(out), ptr(buf), len(buf))
            if label.endswith("+FIR"):
                taps = np.zeros(7)
                lib.ciccompmf(ptr(taps), 4, cic_ratio, 7)
                taps32 = taps.astype(np.float32)
                f = Handle(lib.fir_create_real(ptr(taps32), 7), lib.fir_destroy)
                assert lib.fir_execute(f.p, ptr(buf), n, ptr(buf)) == n
        else:  # the resampler takes what the CIC left: R x rate
            s = Handle(lib.resamp_create(cic_ratio * rate), lib.resamp_destroy)
            n = lib.resamp_execute(s.p, ptr(out), len(out), ptr(buf), len(buf))
        out = buf[:n].copy()
    return out


@pytest.mark.parametrize("rate,comp", SHAPES)
def test_cascade_equals_stages_chained_by_hand(rate, comp):
    x = noise(20000 if rate > 0.01 else 3 * 8192, 5)
    assert bits_equal(run(create(rate, comp), x), _hand_cascade(rate, comp, x))


@pytest.mark.parametrize("rate,comp", SHAPES)
def test_block_split_bit_identical(rate, comp):
    rng = np.random.default_rng(int(rate * 1e6) + comp)
    n = 40000 if rate > 0.01 else 5 * 8192
    x = noise(n, 6)
    whole = run(create(rate, comp), x)
    h = create(rate, comp)
    parts, start = [], 0
    for size in random_sizes(n, rng, small=True):
        parts.append(run(h, x[start:start + size]))
        start += size
    assert bits_equal(np.concatenate(parts), whole)
    assert len(whole) > 0


@pytest.mark.parametrize("rate,comp", SHAPES)
def test_reset_reproduces_fresh_output(rate, comp):
    x = noise(9000, 7)
    h = create(rate, comp)
    first = run(h, x)
    run(h, noise(333, 8))
    lib.RateConverter_reset(h.p)
    assert bits_equal(run(h, x), first)
    assert bits_equal(first, run(create(rate, comp), x))


def test_halfband_stage_matches_numpy_filter():
    # taps g_d at delays d from input 2m+1: centre 0.5 at 19, half the table at the odd offsets
    g = np.zeros(37)
    g[19] = 0.5
    for k in range(9):
        g[2 + 2 * k] = g[36 - 2 * k] = 0.5 * float(HB_TABLE[k])
    x = noise(4000, 9)
    y = run(create(0.5), x)
    full = np.convolve(x.astype(np.complex128), g)
    ref = full[1::2][:len(y)]
    assert len(y) == 2000
    assert np.max(np.abs(y - ref)) < 2e-6


@pytest.mark.parametrize("rate", [2.0, 1.5, 0.75, 0.4, 0.25, 0.1, 0.07, 1 / 12, 0.0625])
def test_tone_comes_out_at_scaled_frequency(rate):
    f_in = 0.15 * min(rate, 1.0)
    n = int(20000 / min(rate, 1.0))
    k = np.arange(n)
    x = c64(0.5 * np.exp(2j * np.pi * f_in * k))
    y = run(create(rate), x).astype(np.complex128)[100:]
    step = np.angle(np.sum(y[1:] * np.conj(y[:-1]))) / (2 * np.pi)
    assert step == pytest.approx(f_in / rate, abs=1e-5)


def test_scratch_grows_for_longer_blocks_only():
    h = create(0.1)
    assert lib.RateConverter_get_scratch_cap(h.p) == 0
    run(h, np.zeros(0, np.complex64))
    assert lib.RateConverter_get_scratch_cap(h.p) == 0
    for n, cap in [(100, 100), (50, 100), (200, 200), (10, 200)]:
        run(h, noise(n))
        assert lib.RateConverter_get_scratch_cap(h.p) == cap


def test_single_stage_allocates_scratch_too():
    h = create(0.75)
    run(h, noise(64))
    assert lib.RateConverter_get_scratch_cap(h.p) == 64


@pytest.mark.parametrize("rate,expected", [(0.25, 65538), (1.0, 65538), (1.5, 98306),
                                           (2.0, 131074), (0.0002, 65538), (2.0 ** 31, 2 ** 47 + 2)])
def test_execute_max_out(rate, expected):
    assert lib.RateConverter_execute_max_out(create(rate).p) == expected


@pytest.mark.parametrize("rate", [0.0, -1.0, NAN, INF, 0.0001, 2.0 ** -33])
def test_convert_with_bad_rate_writes_nothing(rate):
    x = noise(100)
    out = np.full(200, 3 - 3j, np.complex64)
    assert lib.RateConverter_convert(0, rate, ptr(x), 100, ptr(out), 200) == 0
    assert np.all(out == 3 - 3j)


@pytest.mark.parametrize("rate,comp", [(0.1, 0), (0.125, 1), (1.5, 0)])
def test_convert_is_create_execute_destroy(rate, comp):
    x = noise(5000, 10)
    out = np.zeros(8000, np.complex64)
    n = lib.RateConverter_convert(comp, rate, ptr(x), 5000, ptr(out), 8000)
    assert bits_equal(out[:n], run(create(rate, comp), x, cap=8000))


@pytest.mark.parametrize("ratio", [8, 16, 4096])
def test_compensated_cic_returns_its_own_count(ratio):
    h = create(1.0 / ratio, comp=1)
    n = 10 * ratio + ratio // 2
    y = run(h, noise(n, 11))
    assert len(y) == 10
    # the FIR filters in place: compare with the CIC output filtered by NumPy
    plain = run(create(1.0 / ratio), noise(n, 11)).astype(np.complex128)
    taps = np.zeros(7)
    lib.ciccompmf(ptr(taps), 4, ratio, 7)
    ref = np.convolve(plain, taps.astype(np.float32).astype(np.float64))[:10]
    assert np.max(np.abs(y - ref)) < 1e-5


def test_cic_hands_its_whole_output_to_the_resampler():
    # 8000 inputs at 0.1: CIC(8) passes 1000 on, the resampler at 0.8 turns them
    # into 799 (its truncated phase step falls just short of the 800th)
    assert len(run(create(0.1), noise(8000, 12), cap=8000)) == 799


@pytest.mark.parametrize("comp", [0, 1])
@pytest.mark.parametrize("cap", [0, 1, 7])
def test_last_cic_stage_never_exceeds_cap(comp, cap):
    """Regression: the CIC kernel takes no capacity and wrote past the caller's buffer."""
    x = noise(800, 13)
    full = run(create(0.125, comp), x)
    assert len(full) == 100
    h = create(0.125, comp)
    out = np.full(120, 9 + 9j, np.complex64)
    n = lib.RateConverter_execute(h.p, ptr(x), 800, ptr(out), cap)
    assert n == cap
    assert bits_equal(out[:n], full[:n])
    assert np.all(out[n:] == 9 + 9j)
    # the CIC stopped after the input that completed output number cap; the rest
    # of the block was dropped, as a short capacity does for every stage
    nxt = noise(160, 14)
    ref = create(0.125, comp)
    expected = run(ref, np.concatenate([x[:8 * cap], nxt]))
    assert bits_equal(np.concatenate([out[:n], run(h, nxt)]), expected)


def test_last_stage_alone_honours_cap_after_cic():
    h = create(0.1)
    out = np.full(50, 5j, np.complex64)
    assert lib.RateConverter_execute(h.p, ptr(noise(8000)), 8000, ptr(out), 40) == 40
    assert np.all(out[40:] == 5j)


def test_empty_block_passes_through_fresh_converter():
    h = create(0.25)
    out = np.full(4, 1j, np.complex64)
    assert lib.RateConverter_execute(h.p, None, 0, ptr(out), 4) == 0
    assert lib.RateConverter_get_scratch_cap(h.p) == 0
    assert np.all(out == 1j)


@pytest.mark.parametrize("comp", [0, 1])
def test_last_cic_stage_with_exact_capacity_drops_nothing(comp):
    """Regression: a bounded CIC run stops right after output number cap, so a
    capacity equal to the block's output count used to lose the trailing inputs."""
    x = noise(400, 15)
    whole = run(create(0.125, comp), x)
    h = create(0.125, comp)
    parts = [run(h, x[:3], cap=0)]  # counter 3, nothing due
    start = 3
    for size in (8, 13, 5, 64, 1, 306):  # each block makes floor((counter+n)/8) outputs
        parts.append(run(h, x[start:start + size], cap=(start % 8 + size) // 8))
        start += size
    assert bits_equal(np.concatenate(parts), whole)
