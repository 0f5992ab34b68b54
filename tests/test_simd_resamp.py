"""Vectorised resampler kernels against the scalar kernel, byte for byte.

Each case runs the same stream through a resampler at the scalar level and at
every vector level the CPU has, and compares the outputs and then the state
(the stream continues after the compared part and must still agree).
"""
import numpy as np
import pytest

from native import VECTOR_LEVELS, bits_equal, c64, lib, ptr
from resamp_model import F32, builtin, custom, noise


DECIMATING = [0.3, 0.45, 0.1, 0.01, 0.5, 0.9999]
INTERPOLATING = [1.5, 2.5, 1.0001, 7.3]
DEFAULT_NAN = np.uint32(0xFFC00000).view(F32)  # the NaN x86 arithmetic creates (inf - inf)


@pytest.fixture(autouse=True)
def restore_level():
    before = lib.ddc_simd_level()
    yield
    lib.ddc_simd_force(before)


def run_blocks(level, make, x, blocks, cap=None, tail=None):
    """Outputs of make() fed x in the given block sizes at a level, then tail in one block."""
    assert lib.ddc_simd_force(level) == level
    with make() as h:
        outs, at = [], 0
        for n in blocks:
            outs.append(run_into(h, x[at:at + n], cap))
            at += n
        if tail is not None:
            outs.append(run_into(h, tail, None))
        return np.concatenate(outs) if outs else np.zeros(0, np.complex64)


def run_into(h, x, cap):
    cap = 8 * len(x) + 8 if cap is None else cap
    out = np.zeros(cap + 1, np.complex64)
    n = lib.resamp_execute(h.p, ptr(x), len(x), ptr(out), cap)
    assert n <= cap
    return out[:n].copy()


def assert_same_as_scalar(make, x, blocks, cap=None, tail=None):
    ref = run_blocks(0, make, x, blocks, cap, tail)
    for level in VECTOR_LEVELS:
        got = run_blocks(level, make, x, blocks, cap, tail)
        assert bits_equal(got, ref), f"level {level}"
    return ref


def random_blocks(n, seed):
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.integers(0, n + 1, 12))
    return list(np.diff(np.concatenate([[0], cuts, [n]])))


pytestmark = pytest.mark.skipif(not VECTOR_LEVELS, reason="no vector kernel on this CPU")


@pytest.mark.parametrize("rate", DECIMATING + INTERPOLATING)
@pytest.mark.parametrize("blocks", [[0, 1, 2, 0, 3], [1] * 9, [7, 33, 1], [5000], "random"])
def test_builtin_bank_block_splits(rate, blocks):
    x = noise(6000, 1)
    blocks = random_blocks(3000, int(rate * 1000)) if blocks == "random" else blocks
    assert_same_as_scalar(lambda: builtin(rate), x, blocks, tail=x[:301])


@pytest.mark.parametrize("T", [1, 2, 3, 8, 9, 15, 16, 17, 19, 24, 25, 31, 32, 33, 40, 48])
@pytest.mark.parametrize("rate", [0.43, 0.07, 1.9, 3.3])
def test_custom_tap_counts(T, rate):
    # Every register count of the decimating kernels, the table-less fallback
    # above 32 taps, and dot products with 0, 1, 2 and 3 groups of 16 lanes.
    b = np.random.default_rng(T).standard_normal((64, T)).astype(F32)
    x = noise(700, T)
    assert_same_as_scalar(lambda: custom(b, rate), x, [1, 250, 449], tail=x[:50])


@pytest.mark.parametrize("T", [4, 8, 19, 20, 24, 32])
@pytest.mark.parametrize("rate", [0.6, 0.9, 0.99])
def test_block_ends_at_every_partial_sum_rotation(T, rate):
    # The decimating kernels keep the partial sums in a ring of 4 or 8 complex
    # slots per register and return them to the scalar order at the end of a
    # block: blocks of 1 .. 37 inputs stop at every rotation, with rings one
    # slot longer than T, much longer, and exactly T; NaN, inf and -0.0 inside.
    b = np.random.default_rng(T).standard_normal((256, T)).astype(F32)
    x = special_stream(800, T, DEFAULT_NAN)
    blocks = [n for n in range(1, 38)] + [5, 2]
    assert_same_as_scalar(lambda: custom(b, rate), x, blocks, tail=x[:97])


def test_ring_larger_than_the_window_buffer():
    # 600 taps: a 1024-sample ring, handled by the kernels' ring loop.
    b = np.random.default_rng(3).standard_normal((4, 600)).astype(F32)
    x = noise(900, 4)
    assert_same_as_scalar(lambda: custom(b, 2.7), x, [1, 600, 299], tail=x[:40])


@pytest.mark.parametrize("rate", [0.3, 0.45, 2.5, 1.5])
@pytest.mark.parametrize("offset", [1, 2, 3])
def test_unaligned_buffers(rate, offset):
    # offset counts float32 values: 1 and 3 leave complex samples 4-byte aligned only.
    x = noise(2000, 5)
    raw_in = np.zeros(2 * len(x) + 8, F32)
    raw_in[offset:offset + 2 * len(x)] = x.view(F32)
    xin = raw_in[offset:offset + 2 * len(x)]
    cap = 8 * len(x)
    results = []
    for level in [0] + VECTOR_LEVELS:
        lib.ddc_simd_force(level)
        raw_out = np.full(2 * cap + 8, 7.0, F32)
        with builtin(rate) as h:
            n = lib.resamp_execute(h.p, ptr(xin), len(x), ptr(raw_out[offset:]), cap)
            more = run_into(h, x[:100], None)
        results.append((raw_out.tobytes(), n, more.tobytes()))
    assert all(r == results[0] for r in results[1:])


def special_stream(n, seed, nan):
    x = noise(n, seed).view(F32).copy()
    rng = np.random.default_rng(seed)
    for value in (nan, np.inf, -np.inf, -0.0, 1e-40, -1e-45, 3e38):
        x[rng.integers(0, len(x), 6)] = value
    return x.view(np.complex64)


@pytest.mark.parametrize("rate", [0.3, 0.45, 0.01, 1.5, 2.5])
def test_nan_inf_signed_zero_denormal_inputs(rate):
    # One NaN payload in the whole stream (the one inf - inf creates), so every
    # NaN, injected or produced, must come out with exactly the same bits.
    x = special_stream(3000, 6, DEFAULT_NAN)
    assert_same_as_scalar(lambda: builtin(rate), x, [1, 1500, 1499])


@pytest.mark.parametrize("rate", [0.3, 0.45, 2.5])
def test_mixed_nan_payloads_agree_in_place(rate):
    # With two different NaN payloads the scalar kernel's own additions do not fix
    # which one an addition of two NaNs returns (the compiler may swap operands),
    # so compare NaN positions and every other value exactly.
    x = special_stream(3000, 7, np.nan)
    ref = run_blocks(0, lambda: builtin(rate), x, [3000]).view(F32)
    for level in VECTOR_LEVELS:
        got = run_blocks(level, lambda: builtin(rate), x, [3000]).view(F32)
        assert np.array_equal(np.isnan(got), np.isnan(ref))
        keep = ~np.isnan(ref)
        assert got[keep].tobytes() == ref[keep].tobytes()


def test_last_partial_sum_keeps_negative_zero():
    # partial[T-2] = acc[T-1] is a copy: an accumulator that underflowed to -0.0
    # must stay -0.0 (an added +0.0 would turn it into +0.0).
    T = 5
    b = np.full((2, T), 1e-30, F32)
    x = np.full(400, -1e-20 - 1e-20j, np.complex64)
    with custom(b, 0.5) as h:
        lib.ddc_simd_force(0)
        ref = run_into(h, x, None)
    # The -0.0 reaches partial[0] after T - 1 outputs and stays from then on.
    assert np.all(ref.real == 0) and np.signbit(ref.real[T:]).all()
    assert_same_as_scalar(lambda: custom(b, 0.5), x, [1, 399])


def test_lane_sums_start_from_positive_zero():
    # Each lane sum starts from +0.0: fma(c, x, +0.0) with c*x = -0.0 gives +0.0,
    # while an underflowing negative product gives -0.0.
    for value in (-0.0, -1e-20):
        b = np.full((2, 19), 1e-30, F32)
        x = np.full(200, complex(value, value), np.complex64)
        assert_same_as_scalar(lambda: custom(b, 2.0), x, [200])


@pytest.mark.parametrize("rate", [0.3, 0.45, 2.5])
@pytest.mark.parametrize("cap", [0, 1, 2, 17])
def test_capacity_stop(rate, cap):
    x = noise(500, 8)
    assert_same_as_scalar(lambda: builtin(rate), x, [200, 300], cap=cap, tail=x[:100])


def retune_stream(level, rates):
    lib.ddc_simd_force(level)
    x = noise(400 * len(rates), 9)
    outs = []
    with builtin(rates[0]) as h:
        for k, rate in enumerate(rates):
            lib.resamp_set_rate(h.p, rate)
            outs.append(run_into(h, x[400 * k:400 * (k + 1)], None))
        lib.resamp_reset(h.p)
        outs.append(run_into(h, x[:400], None))
    return np.concatenate(outs)


@pytest.mark.parametrize("rates", [[0.3, 0.45, 0.3, 0.1], [0.3, 2.5, 0.45, 1.5], [2.5, 0.3, 1.7]])
def test_retune_and_reset(rates):
    # New g refills the decimating table; a resampler created interpolating has
    # no table and must still agree when retuned below 1.
    ref = retune_stream(0, rates)
    for level in VECTOR_LEVELS:
        assert bits_equal(retune_stream(level, rates), ref)


def test_switching_level_mid_stream():
    # The state a vector call leaves is the scalar state: alternate levels per block.
    x = noise(3000, 10)
    for rate in (0.3, 2.5):
        ref = run_blocks(0, lambda: builtin(rate), x, [700, 1, 999, 1300])
        with builtin(rate) as h:
            outs = []
            for k, (a, b) in enumerate([(0, 700), (700, 701), (701, 1700), (1700, 3000)]):
                lib.ddc_simd_force(([0] + VECTOR_LEVELS)[k % (1 + len(VECTOR_LEVELS))])
                outs.append(run_into(h, x[a:b], None))
        assert bits_equal(np.concatenate(outs), ref)
