"""Sizes at the limits of size_t and of the 32-bit phase arithmetic.

Counts and capacities near SIZE_MAX must never turn into short allocations,
wrapped products or writes past what the counts allow. Buffers here are sized
exactly to what a correct call may touch, and are followed by canary samples;
under the sanitizer build AddressSanitizer watches them too. A "huge" count
is only ever handed to a function that must refuse it (by its own check or by
a failed allocation) before it reads or writes a single sample; the stream is
then continued and compared with an undisturbed one.
"""
import ctypes

import numpy as np
import pytest

from native import HB_TABLE, Handle, c64, f32, lib, ptr

SIZE_MAX = 2 ** 64 - 1
CANARY = np.complex64(complex(-7.25, 3.5))
GUARD = 8


def noise_c(n, seed):
    rng = np.random.default_rng(seed)
    return c64(rng.standard_normal(n) + 1j * rng.standard_normal(n))


def guarded(n):
    """A complex buffer of n samples followed by canaries; returns (buffer, check)."""
    b = np.full(n + GUARD, CANARY, np.complex64)

    def intact(count):
        return bool(np.all(b[count:] == CANARY))
    return b, intact


def same(a, b):
    return a.tobytes() == b.tobytes()


# --- capacity SIZE_MAX over a buffer that holds only what the counts allow ----------

def _hb(real):
    if real:
        return Handle(lib.hbdecim_r2c_create(19, ptr(HB_TABLE)), lib.hbdecim_r2c_destroy)
    return Handle(lib.hbdecim_create(19, ptr(HB_TABLE)), lib.hbdecim_destroy)


@pytest.mark.parametrize("real", [True, False], ids=["r2c", "complex"])
def test_half_band_with_unlimited_capacity_writes_only_its_count(real):
    h, ref = _hb(real), _hb(real)
    fn = lib.hbdecim_r2c_execute if real else lib.hbdecim_execute
    x = f32(np.random.default_rng(1).standard_normal(1001)) if real else noise_c(1001, 1)
    got, want = [], []
    pending = 0
    for n in (1, 2, 3, 500, 495):
        blk = np.ascontiguousarray(x[:n])
        x = x[n:]
        count = (pending + n) // 2
        pending = (pending + n) % 2
        b, intact = guarded(count)
        k = fn(h.p, ptr(blk), n, ptr(b), SIZE_MAX)
        assert k == count and intact(count)
        got.append(b[:k].copy())
        o = np.zeros(count + 1, np.complex64)
        want.append(o[:fn(ref.p, ptr(blk), n, ptr(o), count + 1)].copy())
    assert same(np.concatenate(got), np.concatenate(want))


@pytest.mark.parametrize("ratio", [2, 16, 4096])
@pytest.mark.parametrize("cap", [SIZE_MAX, SIZE_MAX // 2, None], ids=["max", "half", "boundary"])
def test_cic_capacity_near_size_max_takes_the_whole_block(ratio, cap):
    """cap*R would wrap for these capacities: the run must still take all n inputs."""
    h = Handle(lib.cic_create(ratio), lib.cic_destroy)
    cap = (SIZE_MAX - ratio) // ratio + 1 if cap is None else cap
    x = noise_c(3 * ratio + 5, 2)
    count = len(x) // ratio
    b, intact = guarded(count)
    assert lib.cic_execute(h.p, ptr(x), len(x), ptr(b), cap) == count
    assert intact(count)
    assert lib.cic_get_counter(h.p) == len(x) % ratio


@pytest.mark.parametrize("ratio", [2, 8, 4096])
def test_cic_huge_count_with_capacity_one_reads_only_up_to_the_first_output(ratio):
    h = Handle(lib.cic_create(ratio), lib.cic_destroy)
    head = noise_c(3, 3)
    o = np.zeros(4, np.complex64)
    lib.cic_execute(h.p, ptr(head), 3 % ratio, ptr(o), 4)  # counter 3 % ratio
    c0 = lib.cic_get_counter(h.p)
    x = noise_c(ratio - c0, 4)  # exactly what the first output needs
    b, intact = guarded(1)
    assert lib.cic_execute(h.p, ptr(x), SIZE_MAX, ptr(b), 1) == 1
    assert intact(1) and lib.cic_get_counter(h.p) == 0


@pytest.mark.parametrize("stage", ["r2c", "complex", "resamp-0.3", "resamp-1", "resamp-2.5", "cic-8"])
@pytest.mark.parametrize("cap", [1, 2, 3])
def test_small_capacity_for_a_large_block_writes_exactly_cap(stage, cap):
    """The block may be read ahead (vector kernels do), but never written past cap."""
    n = 20000
    if stage == "r2c":
        h, fn, x = _hb(True), lib.hbdecim_r2c_execute, f32(np.ones(n))
    elif stage == "complex":
        h, fn, x = _hb(False), lib.hbdecim_execute, noise_c(n, 3)
    elif stage.startswith("resamp"):
        h = Handle(lib.resamp_create(float(stage.split("-")[1])), lib.resamp_destroy)
        fn, x = lib.resamp_execute, noise_c(n, 4)
    else:
        h, fn, x = Handle(lib.cic_create(8), lib.cic_destroy), lib.cic_execute, noise_c(n, 5)
    b, intact = guarded(cap)
    assert fn(h.p, ptr(x), n, ptr(b), cap) == cap
    assert intact(cap)


@pytest.fixture(params=[0, 1, 2], ids=["scalar", "avx2", "avx512"])
def kernel_level(request):
    """Forces one kernel variant for the test (skipped where the CPU lacks it)."""
    before = lib.ddc_simd_level()
    if lib.ddc_simd_force(request.param) < 0:
        pytest.skip("kernel variant not supported here")
    yield request.param
    lib.ddc_simd_force(before)


@pytest.mark.parametrize("rate", [0.3, 0.75, 0.999, 1.0, 1.5, 2.0, 3.7])
def test_resampler_unlimited_capacity_writes_exactly_the_phase_count(rate, kernel_level):
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    for n, seed in ((1, 6), (7, 7), (1000, 8), (333, 9)):
        x = noise_c(n, seed)
        p0, s = lib.resamp_get_phase(h.p), lib.resamp_get_phase_step(h.p)
        if rate == 1.0:
            count = n
        elif rate > 1.0:
            count = -(-(n * 2 ** 32 - p0) // s)       # outputs until the n-th carry
        else:
            count = (p0 + n * s) >> 32                # one output per carry
        b, intact = guarded(count)
        assert lib.resamp_execute(h.p, ptr(x), n, ptr(b), SIZE_MAX) == count
        assert intact(count)
        if rate != 1.0:
            assert lib.resamp_get_phase(h.p) == (p0 + count * s if rate > 1 else p0 + n * s) % 2 ** 32


@pytest.mark.parametrize("rate", [0.5, 0.3, 0.37, 0.01])
def test_decimating_resampler_with_exactly_the_output_count_keeps_trailing_inputs(rate, kernel_level):
    """Regression: the decimating loop stopped right after the output that filled
    the capacity, so the inputs after it were dropped although they complete no
    output; a capacity of exactly the block's count lost samples."""
    x = noise_c(3000, 23)
    whole = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    o = np.zeros(len(x), np.complex64)
    want = o[:lib.resamp_execute(whole.p, ptr(x), len(x), ptr(o), len(x))].copy()
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    got, at = [], 0
    for n in (3, 1, 2, 250, 7, 1001, 5, 1731):
        blk = np.ascontiguousarray(x[at:at + n])
        at += n
        count = (lib.resamp_get_phase(h.p) + n * lib.resamp_get_phase_step(h.p)) >> 32
        cap = max(count, 1)  # a capacity of 0 is documented to take nothing at all
        b, intact = guarded(cap)
        assert lib.resamp_execute(h.p, ptr(blk), n, ptr(b), cap) == count and intact(count)
        got.append(b[:count].copy())
    assert same(np.concatenate(got), want)


@pytest.mark.parametrize("rate", [0.25, 0.1, 0.0371, 0.49])
def test_ddcr_unlimited_capacity_over_the_documented_capacity(rate):
    h = Handle(lib.ddcr_create(-0.7, rate), lib.ddcr_destroy)
    ref = Handle(lib.ddcr_create(-0.7, rate), lib.ddcr_destroy)
    x = f32(np.random.default_rng(10).standard_normal(5000))
    got, want = [], []
    for blk in np.split(x, [1, 2, 1001, 1002, 3000]):
        blk = np.ascontiguousarray(blk)
        n = len(blk)
        need = lib.ddcr_execute_capacity(n)
        b, intact = guarded(need)
        k = lib.ddcr_execute(h.p, ptr(blk), n, ptr(b), SIZE_MAX)
        assert k <= need and intact(k)
        got.append(b[:k].copy())
    o = np.zeros(len(x), np.complex64)
    want = o[:lib.ddcr_execute(ref.p, ptr(x), len(x), ptr(o), len(x))]
    assert same(np.concatenate(got), want)


@pytest.mark.parametrize("rate", [0.25, 0.1, 0.0371, 1.0, 1.5, 3.0, 0.0002])
def test_ddc_unlimited_capacity_over_the_documented_capacity(rate):
    h = Handle(lib.ddc_create(0.1, rate), lib.ddc_destroy)
    x = noise_c(4000, 11)
    for blk in np.split(x, [1, 2, 999, 1000, 3333]):
        blk = np.ascontiguousarray(blk)
        need = lib.ddc_execute_capacity(h.p, len(blk))
        b, intact = guarded(need)
        k = lib.ddc_execute(h.p, ptr(blk), len(blk), ptr(b), SIZE_MAX)
        assert k <= need and intact(k)


# --- capacity formulas at the top of size_t -------------------------------------

def test_ddcr_capacity_formula_holds_up_to_size_max():
    for n in (0, 1, 2, 3, 2 ** 32, 2 ** 63, SIZE_MAX - 1, SIZE_MAX):
        assert lib.ddcr_execute_capacity(n) == (0 if n == 0 else max(n, 2))


@pytest.mark.parametrize("rate", [0.5, 0.25, 0.125, 0.1, 1 / 12, 0.0002, 1.0, 1.5, 3.0, 2.0 ** 20])
def test_ddc_capacity_saturates_instead_of_wrapping(rate):
    h = Handle(lib.ddc_create(0.0, rate), lib.ddc_destroy)
    caps = [lib.ddc_execute_capacity(h.p, n) for n in (1, 2 ** 20, 2 ** 40, 2 ** 62, SIZE_MAX)]
    assert caps == sorted(caps), "capacity must not fall as n grows (a wrapped product)"
    big = caps[-1]
    if rate < 1.0:
        assert caps[2] <= 2 ** 40 and caps[2] >= int(2 ** 40 * rate * (1 - 1e-9)) - 2  # phase steps truncate
    elif rate == 1.0:
        assert big == SIZE_MAX and caps[1] == 2 ** 20
    else:
        assert big == SIZE_MAX and caps[1] >= int(2 ** 20 * rate)


@pytest.mark.parametrize("rate, want", [
    (1.0, 65538), (0.5, 65538), (2.0, 131074), (2.0 ** 31, 2 ** 47 + 2),
    (2.0 ** 32 - 2.0 ** -20, 2 ** 48 + 1),
])
def test_converter_max_out_at_the_largest_rates(rate, want):
    h = Handle(lib.RateConverter_create(0, rate), lib.RateConverter_destroy)
    assert lib.RateConverter_execute_max_out(h.p) == want


@pytest.mark.parametrize("rate", [2.0 ** 32, 1e300, float("inf")])
def test_converter_refuses_rates_whose_phase_step_is_zero(rate):
    """Above 2^32 the resampler's step truncates to 0: it would never take an input."""
    assert not lib.RateConverter_create(0, rate)
    assert not lib.ddc_create(0.0, rate)


# --- huge counts are refused before any sample is touched -------------------------

HUGE = [SIZE_MAX, SIZE_MAX // 8 + 1, SIZE_MAX // 8, 2 ** 60, 2 ** 61 + 12345]


def _stream_after_refusal(create, destroy, execute, x, head, huge_call):
    """Runs head, the refused huge call, then the rest; returns (got, undisturbed)."""
    h, ref = Handle(create(), destroy), Handle(create(), destroy)
    outs = []
    for handle, refuse in ((h, True), (ref, False)):
        o1 = np.zeros(len(x) + 4, np.complex64)
        k1 = execute(handle.p, x[:head], head, o1)
        if refuse:
            assert huge_call(handle.p) == 0
        o2 = np.zeros(len(x) + 4, np.complex64)
        k2 = execute(handle.p, x[head:], len(x) - head, o2)
        outs.append(np.concatenate([o1[:k1], o2[:k2]]))
    return outs


@pytest.mark.parametrize("n", HUGE)
def test_ddcr_huge_count_refused_without_reading(n):
    x = f32(np.random.default_rng(12).standard_normal(3001))
    tiny = f32([1.0, 2.0])
    b, intact = guarded(4)
    got, want = _stream_after_refusal(
        lambda: lib.ddcr_create(-0.7, 0.1), lib.ddcr_destroy,
        lambda p, blk, m, o: lib.ddcr_execute(p, ptr(np.ascontiguousarray(blk)), m, ptr(o), len(o)),
        x, 1001, lambda p: lib.ddcr_execute(p, ptr(tiny), n, ptr(b), 4))
    assert intact(0) and same(got, want)


@pytest.mark.parametrize("n", HUGE)
@pytest.mark.parametrize("rate", [0.1, 1.0, 2.5])
def test_ddc_huge_count_refused_without_reading(n, rate):
    x = noise_c(3001, 13)
    tiny = noise_c(2, 14)
    b, intact = guarded(4)
    got, want = _stream_after_refusal(
        lambda: lib.ddc_create(0.2, rate), lib.ddc_destroy,
        lambda p, blk, m, o: lib.ddc_execute(p, ptr(np.ascontiguousarray(blk)), m, ptr(o), len(o)),
        x, 1001, lambda p: lib.ddc_execute(p, ptr(tiny), n, ptr(b), 4))
    assert intact(0) and same(got, want)


@pytest.mark.parametrize("n", HUGE)
@pytest.mark.parametrize("rate", [0.25, 0.0371, 0.4])
def test_converter_huge_count_refused_without_reading(n, rate):
    x = noise_c(3001, 15)
    tiny = noise_c(2, 16)
    b, intact = guarded(4)
    got, want = _stream_after_refusal(
        lambda: lib.RateConverter_create(1, rate), lib.RateConverter_destroy,
        lambda p, blk, m, o: lib.RateConverter_execute(p, ptr(np.ascontiguousarray(blk)), m, ptr(o), len(o)),
        x, 1001, lambda p: lib.RateConverter_execute(p, ptr(tiny), n, ptr(b), 4))
    assert intact(0) and same(got, want)


@pytest.mark.parametrize("taps", [1, 7, 40])
@pytest.mark.parametrize("delta", [0, 1, 2, 3, 39, 40], ids=lambda d: f"SIZE_MAX-{d}")
def test_fir_count_plus_history_overflow_refused(taps, delta):
    """n + L - 1 would wrap to a small work area; the call must refuse instead."""
    t = f32(np.linspace(-1, 1, taps))
    x = noise_c(501, 17)
    tiny = noise_c(2, 18)
    b, intact = guarded(2)

    def execute(p, blk, m, o):
        return lib.fir_execute(p, ptr(np.ascontiguousarray(blk)), m, ptr(o))
    got, want = _stream_after_refusal(
        lambda: lib.fir_create_real(ptr(t), taps), lib.fir_destroy, execute, x, 101,
        lambda p: lib.fir_execute(p, ptr(tiny), SIZE_MAX - delta, ptr(b)))
    assert intact(0) and same(got, want)


@pytest.mark.parametrize("n", HUGE[1:])
def test_fir_huge_count_refused_by_allocation(n):
    t = f32([0.5, 0.25, 0.125])
    h = Handle(lib.fir_create_real(ptr(t), 3), lib.fir_destroy)
    tiny = noise_c(2, 19)
    b, intact = guarded(2)
    assert lib.fir_execute(h.p, ptr(tiny), n, ptr(b)) == 0
    assert intact(0) and lib.fir_get_work_cap(h.p) == 0


# --- creation with absurd sizes --------------------------------------------------

@pytest.mark.parametrize("taps", [SIZE_MAX, SIZE_MAX // 2 + 1, 2 ** 62, 2 ** 59 + 1])
def test_half_band_absurd_tap_counts_refused(taps):
    assert not lib.hbdecim_create(taps, ptr(HB_TABLE))
    assert not lib.hbdecim_r2c_create(taps, ptr(HB_TABLE))


@pytest.mark.parametrize("taps", [SIZE_MAX, SIZE_MAX // 8 + 1, 2 ** 60])
def test_fir_absurd_tap_counts_refused(taps):
    t = c64([1.0, 2.0])
    assert not lib.fir_create(ptr(t), taps)
    assert not lib.fir_create_real(ptr(f32([1.0, 2.0])), taps)


@pytest.mark.parametrize("phases, taps", [
    (2 ** 32, 2 ** 32), (2 ** 62, 1), (1, 2 ** 62), (SIZE_MAX, 2), (2 ** 31, 2 ** 31), (2, SIZE_MAX),
])
def test_resampler_bank_size_overflow_refused(phases, taps):
    bank = f32(np.ones(16))
    assert not lib.resamp_create_custom(phases, taps, ptr(bank), 0.5)


def test_ciccompmf_zero_taps_writes_nothing():
    taps = np.full(4, 9.0)
    lib.ciccompmf(ptr(taps), 4, 16, 0)
    assert np.all(taps == 9.0)


# --- phase arithmetic at its extremes --------------------------------------------

@pytest.mark.parametrize("rate, step", [
    (0.5, 0x80000000), (np.nextafter(1.0, 0.0), 0xFFFFFFFF), (np.nextafter(1.0, 2.0), 0xFFFFFFFF),
    (2.0 ** -32, 1), (2.0 ** -33, 0), (1e-300, 0), (2.0 ** 32, 1), (2.0 ** 33, 0), (1e300, 0),
    (float("inf"), 0), (-float("inf"), 0), (float("nan"), 0), (-0.5, 0),
])
def test_resampler_phase_step_saturates_and_truncates(rate, step):
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    assert lib.resamp_get_phase_step(h.p) == step


@pytest.mark.parametrize("rate", [2.0 ** 32, 2.0 ** 33, 1e300, float("inf")])
def test_extreme_interpolation_is_held_to_the_capacity(rate):
    """One input may be due 2^32 or unboundedly many outputs: the capacity stops it."""
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    x = noise_c(4, 20)
    for cap in (1, 2, 1000):
        b, intact = guarded(cap)
        assert lib.resamp_execute(h.p, ptr(x), len(x), ptr(b), cap) == cap
        assert intact(cap)


@pytest.mark.parametrize("rate", [2.0 ** -33, 1e-300, -1.0, float("-inf"), float("nan")])
def test_decimation_with_a_zero_step_never_outputs(rate):
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    x = noise_c(10000, 21)
    b, intact = guarded(0)
    assert lib.resamp_execute(h.p, ptr(x), len(x), ptr(b), SIZE_MAX) == 0
    assert intact(0)


@pytest.mark.parametrize("rate", [np.nextafter(1.0, 0.0), 1 - 2.0 ** -30])
def test_decimation_just_below_one_wraps_the_phase_exactly(rate):
    h = Handle(lib.resamp_create(rate), lib.resamp_destroy)
    s = lib.resamp_get_phase_step(h.p)
    n = 100000
    x = noise_c(n, 22)
    count = (n * s) >> 32
    b, intact = guarded(count)
    assert lib.resamp_execute(h.p, ptr(x), n, ptr(b), SIZE_MAX) == count
    assert intact(count) and lib.resamp_get_phase(h.p) == (n * s) % 2 ** 32


@pytest.mark.parametrize("freq, inc", [
    (-1e-300, 0xFFFFFFFF), (np.nextafter(1.0, 0.0), 0xFFFFFFFF), (1e300, 0), (-1e300, 0),
    (2.0 ** 51 + 0.5, 0x80000000), (float("nan"), 0), (float("inf"), 0), (-2.0 ** -31, 0xFFFFFFFE), (-2.0 ** -33, 0xFFFFFFFF),
])
def test_oscillator_increment_at_the_extremes(freq, inc):
    h = Handle(lib.lo_create(freq), lib.lo_destroy)
    assert lib.lo_get_phase_inc(h.p) == inc
    lib.lo_set_phase(h.p, 0xFFFFFFFF)
    out = np.zeros(70000, np.complex64)
    assert lib.lo_steps(h.p, 70000, ptr(out)) == 70000
    assert lib.lo_get_phase(h.p) == (0xFFFFFFFF + 70000 * inc) % 2 ** 32
    assert np.isfinite(out).all()


@pytest.mark.parametrize("args, want", [
    ((1, 1e300, 0.0, 1e-300), 2 ** 31 - 1),
    ((2 ** 31 - 1, 1e6, 0.0, 1e-9), 2 ** 31 - 1),
    ((1, float("inf"), 0.1, 0.2), 2 ** 31 - 1),
    ((1, 60.0, 0.2, 0.2), 0),
    ((1, 60.0, 0.3, 0.2), 0),
    ((1, 60.0, float("nan"), 0.2), 0),
    ((-(2 ** 31), 60.0, 0.1, 0.2), 1),
])
def test_kaiser_num_taps_saturates_and_refuses_empty_bands(args, want):
    assert lib.kaiser_num_taps(*args) == want
