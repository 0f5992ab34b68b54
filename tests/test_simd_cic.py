"""Vectorised CIC kernels against the scalar kernel, byte for byte, through cic_execute.

The quantiser is checked directly on every kind of float (a constant input
settles to exactly q / 32768); everything else compares the same stream at the
scalar level and at every vector level the CPU has, including the state left
behind (the stream continues and must still agree).
"""
import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, c64, lib, ptr


RATIOS = [2, 4, 8, 16, 32, 64, 512, 4096]

pytestmark = pytest.mark.skipif(not VECTOR_LEVELS, reason="no vector kernel on this CPU")


@pytest.fixture(autouse=True)
def restore_level():
    before = lib.ddc_simd_level()
    yield
    lib.ddc_simd_force(before)


def cic(ratio):
    return Handle(lib.cic_create(ratio), lib.cic_destroy)


def execute(h, x, cap=None):
    cap = len(x) if cap is None else cap
    out = np.full(max(cap, 1) + 1, np.nan, np.complex64)
    n = lib.cic_execute(h.p, ptr(x), len(x), ptr(out), cap)
    assert np.isnan(out[n])  # nothing written past the count
    return out[:n].copy()


def stream(level, ratio, x, blocks, cap=None, tail=None):
    assert lib.ddc_simd_force(level) == level
    with cic(ratio) as h:
        outs, at = [], 0
        for n in blocks:
            outs.append(execute(h, x[at:at + n], cap))
            at += n
        counter = lib.cic_get_counter(h.p)
        if tail is not None:
            outs.append(execute(h, tail))
        return np.concatenate(outs), counter


def assert_same_as_scalar(ratio, x, blocks, cap=None, tail=None):
    ref = stream(0, ratio, x, blocks, cap, tail)
    for level in VECTOR_LEVELS:
        got = stream(level, ratio, x, blocks, cap, tail)
        assert bits_equal(got[0], ref[0]) and got[1] == ref[1], f"level {level}"
    return ref[0]


def noise(n, seed, scale=1.2):
    rng = np.random.default_rng(seed)
    return c64(rng.uniform(-scale, scale, n) + 1j * rng.uniform(-scale, scale, n))


def quantise(v):
    """int16 quantiser: x * 32768 in float32, NaN as 0, clamp, truncate toward zero."""
    with np.errstate(over="ignore", invalid="ignore"):
        v = np.asarray(v, np.float32) * np.float32(32768)
    v = np.where(np.isnan(v), np.float32(0), v)
    return np.trunc(np.clip(v, np.float32(-32768), np.float32(32767))).astype(np.int64)


SPECIAL = np.array(
    [np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -1e-45, 1e-40, -1e-38,
     1 / 32768, -1 / 32768, np.nextafter(1 / 32768, 0), -np.nextafter(1 / 32768, 0),
     0.5, -0.25, 1.0, -1.0, np.nextafter(1, 0), -np.nextafter(1, 0), 1.5, -1.5, 3e38, -3e38,
     32767 / 32768, -32767.5 / 32768, 0.123456789, -0.987654321], np.float32)
SPECIAL_BITS = np.array([0x7FA00000, 0xFF800001, 0x7FC00001], np.uint32).view(np.float32)  # sNaN, payloads


@pytest.mark.parametrize("level", VECTOR_LEVELS)
def test_quantiser_on_every_kind_of_float(level):
    lib.ddc_simd_force(level)
    values = np.concatenate([SPECIAL, SPECIAL_BITS])
    # A constant input settles to q / 32768 after the start-up transient (3 outputs at R = 4):
    # one sample at a time, then in whole chunks (R = 4 and R = 64 run different paths).
    for re, im in zip(values, np.roll(values, 7)):
        q = quantise([re, im])
        for ratio, n in [(4, 40), (4, 1024), (64, 1024)]:
            with cic(ratio) as h:
                y = execute(h, np.repeat(_pair(re, im), n))
            assert y[-1].real == q[0] / 32768 and y[-1].imag == q[1] / 32768, (re, im, ratio)


def _pair(re, im):
    z = np.zeros(1, np.complex64)
    z.view(np.float32)[:] = [re, im]
    return z


@pytest.mark.parametrize("ratio", RATIOS)
@pytest.mark.parametrize("blocks", [[0, 1, 2, 0, 3], [1] * 11, [511, 1, 513, 1025], [3000], "random"])
def test_block_splits(ratio, blocks):
    x = noise(20000, ratio)
    if blocks == "random":
        rng = np.random.default_rng(ratio)
        cuts = np.sort(rng.integers(0, 9000, 14))
        blocks = list(np.diff(np.concatenate([[0], cuts, [9000]])))
    assert_same_as_scalar(ratio, x, blocks, tail=x[:777])


@pytest.mark.parametrize("ratio", [2, 8, 16, 4096])
def test_special_values_in_stream(ratio):
    x = noise(12000, 3).view(np.float32).copy()
    rng = np.random.default_rng(ratio)
    values = np.concatenate([SPECIAL, SPECIAL_BITS])
    x[rng.integers(0, len(x), 3000)] = rng.choice(values, 3000)
    x = x.view(np.complex64)
    assert_same_as_scalar(ratio, x, [1, 5000, 6999], tail=x[:100])


@pytest.mark.parametrize("ratio", [2, 16, 64, 4096])
@pytest.mark.parametrize("value", [1.0, -1.0, 0.999])
def test_full_scale_wraps_the_integrators(ratio, value):
    # Long full-scale streams overflow the 64-bit integrators; the combs undo it.
    x = np.full(3 * 4096 + 5, complex(value, -value), np.complex64)
    y = assert_same_as_scalar(ratio, x, [len(x)], tail=x[:4096])
    settled = quantise([value, -value]) / 32768
    assert y[-1].real == settled[0] and y[-1].imag == settled[1]


@pytest.mark.parametrize("offset", [1, 3])
@pytest.mark.parametrize("ratio", [2, 16])
def test_unaligned_buffers(offset, ratio):
    # offset in float32 values: 1 and 3 leave samples aligned to 4 bytes only.
    x = noise(3001, 4)
    raw_in = np.zeros(2 * len(x) + 8, np.float32)
    raw_in[offset:offset + 2 * len(x)] = x.view(np.float32)
    results = []
    for level in [0] + VECTOR_LEVELS:
        lib.ddc_simd_force(level)
        raw_out = np.full(2 * len(x) + 8, 5.0, np.float32)
        with cic(ratio) as h:
            n = lib.cic_execute(h.p, ptr(raw_in[offset:]), len(x), ptr(raw_out[offset:]), len(x))
            results.append((raw_out.tobytes(), n, lib.cic_get_counter(h.p)))
    assert all(r == results[0] for r in results[1:])


@pytest.mark.parametrize("ratio", [2, 8, 64])
@pytest.mark.parametrize("cap", [1, 2, 5])
def test_capacity_bound(ratio, cap):
    x = noise(2000, 5)
    assert_same_as_scalar(ratio, x, [700, 1300], cap=cap, tail=x[:300])


def test_reset_and_reconfigure_mid_stream():
    x = noise(4000, 6)

    def run(level):
        lib.ddc_simd_force(level)
        with cic(8) as h:
            a = execute(h, x[:1001])
            lib.cic_reconfigure(h.p, 3)      # invalid: ignored
            b = execute(h, x[1001:2003])
            lib.cic_reconfigure(h.p, 32)
            c = execute(h, x[2003:3000])
            lib.cic_reset(h.p)
            d = execute(h, x[3000:])
            return np.concatenate([a, b, c, d])

    ref = run(0)
    for level in VECTOR_LEVELS:
        assert bits_equal(run(level), ref)


@pytest.mark.parametrize("ratio", [2, 16, 64])
def test_switching_level_mid_stream(ratio):
    # From the state a vector call leaves, the scalar kernel goes on to the same outputs
    # (for R <= 16 the vector state is the scalar one modulo 2^32, which holds every output bit).
    x = noise(6000, 7)
    ref, _ = stream(0, ratio, x, [999, 2001, 3000])
    with cic(ratio) as h:
        outs = []
        for k, (a, b) in enumerate([(0, 999), (999, 3000), (3000, 6000)]):
            lib.ddc_simd_force(([0] + VECTOR_LEVELS)[(k + 1) % (1 + len(VECTOR_LEVELS))])
            outs.append(execute(h, x[a:b]))
    assert bits_equal(np.concatenate(outs), ref)
