"""Vectorised FIR kernels against the scalar kernel, byte for byte, through fir_execute.

Every vector level the CPU has runs the same stream as the scalar level: real and
complex taps on both sides of the partial-sum threshold, every block size from 0
up, unaligned buffers, in place, special values in samples and taps, and the
history left behind (the stream continues after each case and must still agree).
"""
import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, c64, f32, lib, nan_policy_equal, ptr


TAP_COUNTS = [1, 2, 3, 7, 8, 15, 16, 17, 31, 32, 33, 63]
KINDS = ["real", "complex"]

pytestmark = pytest.mark.skipif(not VECTOR_LEVELS, reason="no vector kernel on this CPU")


@pytest.fixture(autouse=True)
def restore_level():
    before = lib.ddc_simd_level()
    yield
    lib.ddc_simd_force(before)


def noise(n, seed):
    rng = np.random.default_rng(seed)
    return c64(rng.standard_normal(n) + 1j * rng.standard_normal(n))


def make_taps(kind, L, seed):
    rng = np.random.default_rng(1000 + seed)
    return f32(rng.standard_normal(L)) if kind == "real" else noise(L, 1000 + seed)


def fir(taps):
    if taps.dtype == np.float32:
        return Handle(lib.fir_create_real(ptr(taps), len(taps)), lib.fir_destroy)
    return Handle(lib.fir_create(ptr(taps), len(taps)), lib.fir_destroy)


def execute(h, x, in_place=False):
    """Filters x; the slot after the last output must stay untouched."""
    buf = np.full(len(x) + 1, np.complex64(complex(7.0, -7.0)))
    if in_place:
        buf[:len(x)] = x
        n = lib.fir_execute(h.p, ptr(buf), len(x), ptr(buf))
    else:
        src = c64(x).copy()
        n = lib.fir_execute(h.p, ptr(src), len(x), ptr(buf))
        assert bits_equal(src, c64(x))
    assert n == len(x)
    assert buf[len(x)] == complex(7.0, -7.0)
    return buf[:len(x)].copy()


def stream(level, taps, x, blocks, in_place=False, tail=None):
    assert lib.ddc_simd_force(level) == level
    with fir(taps) as h:
        outs, at = [], 0
        for n in blocks:
            outs.append(execute(h, x[at:at + n], in_place))
            at += n
        if tail is not None:
            outs.append(execute(h, tail))  # reads the history the blocks left
        return np.concatenate(outs)


def assert_same_as_scalar(taps, x, blocks, in_place=False, tail=None, same=bits_equal):
    ref = stream(0, taps, x, blocks, in_place, tail)
    for level in VECTOR_LEVELS:
        assert same(stream(level, taps, x, blocks, in_place, tail), ref), f"level {level}"
    return ref


def random_blocks(total, seed, parts=12):
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.integers(0, total, parts))
    return [int(b) for b in np.diff(np.concatenate([[0], cuts, [total]]))]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", TAP_COUNTS)
def test_small_and_odd_blocks(kind, L):
    # Every tail length of both register widths, including the empty block.
    blocks = [0, 1, 2, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 16, 17, 23, 31, 33, 47, 65, 1]
    x = noise(sum(blocks), L)
    assert_same_as_scalar(make_taps(kind, L, L), x, blocks, tail=x[:37])


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", TAP_COUNTS)
def test_random_block_splits(kind, L):
    x = noise(3000, 50 + L)
    assert_same_as_scalar(make_taps(kind, L, L), x, random_blocks(len(x), L), tail=x[:101])


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", [3, 16, 33, 63])
def test_in_place(kind, L):
    x = noise(1500, 70 + L)
    blocks = random_blocks(len(x), 70 + L, 6)
    taps = make_taps(kind, L, L)
    ref = assert_same_as_scalar(taps, x, blocks, in_place=True, tail=x[:55])
    assert bits_equal(ref, stream(0, taps, x, blocks, tail=x[:55]))


@pytest.mark.parametrize("offset", [1, 3])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", [7, 8, 17, 63])
def test_unaligned_buffers(offset, kind, L):
    # offset in float32 values: 1 and 3 leave samples aligned to 4 bytes only.
    x = noise(1001, 80 + L)
    raw_in = np.zeros(2 * len(x) + 8, np.float32)
    raw_in[offset:offset + 2 * len(x)] = x.view(np.float32)
    taps = make_taps(kind, L, L)
    results = []
    for level in [0] + VECTOR_LEVELS:
        lib.ddc_simd_force(level)
        raw_out = np.full(2 * len(x) + 8, 5.0, np.float32)
        with fir(taps) as h:
            n1 = lib.fir_execute(h.p, ptr(raw_in[offset:]), 333, ptr(raw_out[offset:]))
            n2 = lib.fir_execute(h.p, ptr(raw_in[offset + 666:]), len(x) - 333, ptr(raw_out[offset + 666:]))
            results.append((raw_out.tobytes(), n1, n2))
    assert all(r == results[0] for r in results[1:])


SPECIAL = np.array(
    [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -1e-45, 1e-40, -1e-38, 3e38, -3e38, 1.0, -1.0,
     np.nextafter(np.float32(1), np.float32(0)), 0.1, -0.7], np.float32)


# The NaN x86 makes of inf*0 or inf-inf; with it as the only pattern every NaN is equal.
DEFAULT_NAN = np.array([0xFFC00000], np.uint32).view(np.float32)[0]
NO_NAN = SPECIAL[~np.isnan(SPECIAL)]


def sprinkle(a, count, seed, values=SPECIAL):
    """a's float32 values with count of them replaced by special ones."""
    v = np.array(a).view(np.float32).copy()
    rng = np.random.default_rng(seed)
    v[rng.integers(0, len(v), count)] = rng.choice(values, count)
    return v.view(a.dtype)


@pytest.mark.parametrize("L", TAP_COUNTS)
def test_special_values_real_taps(L):
    # Two NaN patterns meet (the injected one and the one inf*0 makes), so
    # under the NaN rule of simd.h only the NaN positions are fixed.
    x = sprinkle(noise(1200, 90 + L), 200, L)
    taps = make_taps("real", L, L)
    assert_same_as_scalar(taps, x, [1, 500, 699], tail=x[:40], same=nan_policy_equal)
    assert_same_as_scalar(sprinkle(taps, max(1, L // 4), L), x, [700, 500], tail=x[:40], same=nan_policy_equal)


@pytest.mark.parametrize("L", TAP_COUNTS)
def test_special_values_complex_taps(L):
    # One NaN pattern only: negating a NaN tap would make a second one, and
    # which of two NaNs the scalar build keeps in the first add of its lane
    # sums is the compiler's choice of operand order (GCC 12 swaps it there).
    values = np.where(np.isnan(SPECIAL), DEFAULT_NAN, SPECIAL).astype(np.float32)
    x = sprinkle(noise(1200, 90 + L), 200, L, values)
    taps = make_taps("complex", L, L)
    assert_same_as_scalar(taps, x, [1, 500, 699], tail=x[:40])
    assert_same_as_scalar(sprinkle(taps, max(1, L // 4), L, NO_NAN), x, [700, 500], tail=x[:40])


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", [1, 7, 8, 16, 33])
def test_signed_zeros(kind, L):
    # Sums start at +0.0: products of -0.0 must not turn an output into -0.0.
    rng = np.random.default_rng(L)
    z = np.where(rng.random(2 * 300) < 0.5, np.float32(-0.0), np.float32(0.0)).astype(np.float32)
    x = z.view(np.complex64)
    taps = make_taps(kind, L, L)
    taps = taps if kind == "real" else c64(taps)
    y = assert_same_as_scalar(taps, x, [150, 150], tail=x[:20])
    assert not np.signbit(y.view(np.float32)).any()
    neg = -np.abs(taps.view(np.float32)).view(taps.dtype)
    assert_same_as_scalar(neg, x, [299, 1])


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", [7, 32])
def test_denormals_throughout(kind, L):
    x = c64(noise(800, L) * np.float32(1e-39))
    taps = make_taps(kind, L, L)
    assert_same_as_scalar(taps, x, random_blocks(len(x), L, 5), tail=x[:30])
    tiny = (taps.view(np.float32) * np.float32(1e-30)).view(taps.dtype)
    assert_same_as_scalar(tiny, noise(800, L), [800])


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("L", [2, 17])
def test_switching_level_mid_stream(kind, L):
    # The history a vector call leaves is exactly the scalar history.
    x = noise(2400, 100 + L)
    taps = make_taps(kind, L, L)
    ref = stream(0, taps, x, [799, 801, 800])
    levels = [0] + VECTOR_LEVELS
    with fir(taps) as h:
        outs = []
        for k, (a, b) in enumerate([(0, 799), (799, 1600), (1600, 2400)]):
            lib.ddc_simd_force(levels[(k + 1) % len(levels)])
            outs.append(execute(h, x[a:b]))
    assert bits_equal(np.concatenate(outs), ref)


@pytest.mark.parametrize("kind", KINDS)
def test_reset_mid_stream(kind):
    x = noise(900, 5)
    taps = make_taps(kind, 33, 5)

    def run(level):
        lib.ddc_simd_force(level)
        with fir(taps) as h:
            a = execute(h, x[:450])
            lib.fir_reset(h.p)
            return np.concatenate([a, execute(h, x[450:])])

    ref = run(0)
    for level in VECTOR_LEVELS:
        assert bits_equal(run(level), ref)
