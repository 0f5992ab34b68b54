"""Vectorised half-band decimators: every variant the CPU has gives the scalar kernel's bytes."""
import numpy as np
import pytest

import test_hbdecim as c2c_ref
import test_hbdecim_r2c as r2c_ref
from native import VECTOR_LEVELS, HB_TABLE, Handle, bits_equal, f32, lib, ptr

VARIANTS = VECTOR_LEVELS


@pytest.fixture(params=VARIANTS or [pytest.param(None, marks=pytest.mark.skip(reason="no vector variant"))],
                ids=lambda level: f"level{level}")
def level(request):
    saved = lib.ddc_simd_level()
    yield request.param
    assert lib.ddc_simd_force(saved) == saved


KINDS = {
    "r2c": (lib.hbdecim_r2c_create, lib.hbdecim_r2c_destroy, lib.hbdecim_r2c_reset,
            lib.hbdecim_r2c_execute, np.float32),
    "c2c": (lib.hbdecim_create, lib.hbdecim_destroy, lib.hbdecim_reset, lib.hbdecim_execute,
            np.complex64),
}


def table_for(n, seed=0):
    if n == 19:
        return f32(HB_TABLE)
    return f32(np.random.default_rng(seed).uniform(-0.5, 0.5, max(n // 2, 1)))


class Stage:
    def __init__(self, kind, n, table=None):
        create, destroy, self.reset_fn, self.execute, self.dtype = KINDS[kind]
        self.table = table_for(n) if table is None else table
        self.h = Handle(create(n, ptr(self.table)), destroy)

    def run(self, x, level, cap=None):
        """One execute at the given level; returns the outputs written."""
        x = np.ascontiguousarray(x, self.dtype)
        cap = len(x) // 2 + 1 if cap is None else cap
        out = np.zeros(max(cap, 1), np.complex64)
        assert lib.ddc_simd_force(level) == level
        n = self.execute(self.h.p, ptr(x), len(x), ptr(out), cap)
        return out[:n].copy()

    def stream(self, x, sizes, levels):
        """x cut into blocks of the given sizes (the rest as a last block), block i at levels[i % len]."""
        cuts = np.cumsum(sizes)
        parts = np.split(x, cuts[cuts < len(x)])
        return np.concatenate([self.run(p, levels[i % len(levels)]) for i, p in enumerate(parts)]
                              + [np.zeros(0, np.complex64)])

    def reset(self):
        self.reset_fn(self.h.p)


def signal_for(kind, length, seed=1):
    rng = np.random.default_rng(seed)
    if kind == "r2c":
        return f32(rng.standard_normal(length))
    return (rng.standard_normal(length) + 1j * rng.standard_normal(length)).astype(np.complex64)


def scalar_stream(kind, n, x, sizes=(), table=None):
    return Stage(kind, n, table).stream(x, list(sizes), [0])


TAPS = [1, 2, 3, 4, 5, 6, 7, 8, 11, 13, 15, 17, 18, 19, 20, 23, 25, 27, 29, 31, 32, 33, 34, 35, 36, 63,
        64, 65, 66, 97, 256, 257]  # every short branch length h = n // 2 < 16 has its own kernel


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", TAPS)
def test_every_tap_count_matches_scalar(level, kind, n):
    # Blocks: pending sample, one long block over several window runs, short ones.
    x = signal_for(kind, 6000, seed=n)
    sizes = [5, 2601, 3, 40, 1, 33]
    expected = scalar_stream(kind, n, x, sizes)
    assert len(expected) == 3000
    assert bits_equal(Stage(kind, n).stream(x, sizes, [level]), expected)
    assert bits_equal(Stage(kind, n).stream(x, [], [level]), expected)


@pytest.mark.parametrize("n", [19, 35, 67])
def test_r2c_variant_matches_exact_model(level, n):
    x = signal_for("r2c", 3000, seed=3)
    table = table_for(n)
    got = Stage("r2c", n, table).run(x, level)
    assert bits_equal(got, r2c_ref.exact_model(x, n, table))


@pytest.mark.parametrize("n", [19, 35, 67])
def test_c2c_variant_matches_exact_model(level, n):
    x = signal_for("c2c", 3000, seed=4)
    table = table_for(n)
    got = Stage("c2c", n, table).run(x, level)
    assert bits_equal(got.real.copy(), c2c_ref.exact_model_part(x.real, n, table))
    assert bits_equal(got.imag.copy(), c2c_ref.exact_model_part(x.imag, n, table))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("length", [0, 1, 2, 3, 31, 32, 33, 34, 35, 63, 64, 65, 66, 127, 2049, 4097])
def test_block_lengths_and_continuation(level, kind, length):
    x = signal_for(kind, length + 777, seed=length)
    expected = scalar_stream(kind, 19, x, [length])
    assert bits_equal(Stage(kind, 19).stream(x, [length], [level]), expected)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [19, 32, 35])
@pytest.mark.parametrize("seed", range(3))
def test_random_splits_with_mixed_levels(level, kind, n, seed):
    # Any block split, and any alternation of scalar and vector calls, gives the one-call bytes.
    rng = np.random.default_rng(seed)
    x = signal_for(kind, 20000, seed=seed)
    sizes = [int(s) for s in rng.choice([0, 1, 2, 3, 17, 31, 32, 33, 64, 65, 500, 2048, 3001], 40)]
    levels = [int(v) for v in rng.choice([0, level], 40)]
    expected = scalar_stream(kind, n, x)
    assert bits_equal(Stage(kind, n).stream(x, sizes, levels), expected)


@pytest.mark.parametrize("kind", KINDS)
def test_unaligned_buffers(level, kind):
    x = signal_for(kind, 1001, seed=5)
    expected = scalar_stream(kind, 19, x)
    stage = Stage(kind, 19)
    big_in = np.zeros(len(x) + 1, x.dtype)
    big_in[1:] = x
    big_out = np.zeros(len(expected) + 2, np.complex64)
    xin, yout = big_in[1:], big_out[1:]
    assert lib.ddc_simd_force(level) == level
    count = stage.execute(stage.h.p, ptr(xin), len(xin), ptr(yout), len(yout))
    assert count == len(expected)
    assert bits_equal(yout[:count], expected)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("cap", [1, 15, 16, 17, 31, 64, 99, 100, 101, 1000])
@pytest.mark.parametrize("pending", [False, True])
def test_capacity_limits_and_the_state_they_leave(level, kind, cap, pending):
    x = signal_for(kind, 201, seed=cap)
    tail = signal_for(kind, 300, seed=7)
    outs = []
    for lvl in (0, level):
        stage = Stage(kind, 19)
        got = [stage.run(x[:1], lvl)] if pending else []
        got.append(stage.run(x[int(pending):], lvl, cap))
        got.append(stage.run(tail, 0))  # the scalar kernel continues from the state left behind
        outs.append(got)
    for a, b in zip(*outs):
        assert bits_equal(a, b)
    assert len(outs[1][-2]) == min(cap, 100)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("cap", [17, 40, 101])
def test_no_write_past_the_outputs(level, kind, cap):
    x = signal_for(kind, 2 * cap + 61, seed=9)
    stage = Stage(kind, 19)
    sentinel = np.complex64(complex(1234.5, -678.25))
    out = np.full(cap + 40, sentinel, np.complex64)
    assert lib.ddc_simd_force(level) == level
    count = stage.execute(stage.h.p, ptr(np.ascontiguousarray(x)), len(x), ptr(out[1:]), cap)
    assert count == cap
    assert out[0] == sentinel and np.all(out[1 + cap:] == sentinel)


def specials(kind, which, length=3000, seed=11):
    x = signal_for(kind, length, seed)
    flat = x.view(np.float32)
    rng = np.random.default_rng(seed)
    at = rng.choice(len(flat), 40, replace=False)
    values = {
        "nan": [np.float32(np.nan)],  # one bit pattern, so no NaN has to win against another
        "inf": [np.float32(np.inf), np.float32(-np.inf)],
        "zeros_denormals": [np.float32(-0.0), np.float32(0.0), np.float32(1e-40), np.float32(-3e-42),
                            np.float32(1.2e-38), np.float32(3e38)],
    }[which]
    flat[at] = np.array(values, np.float32)[rng.integers(0, len(values), len(at))]
    return x


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("which", ["nan", "inf", "zeros_denormals"])
def test_special_values(level, kind, which):
    x = specials(kind, which)
    expected = scalar_stream(kind, 19, x, [1001])
    assert bits_equal(Stage(kind, 19).stream(x, [1001], [level]), expected)


@pytest.mark.parametrize("kind", KINDS)
def test_zero_input_keeps_signed_zeros(level, kind):
    # -0.0 inputs through the folded differences and the centre scaling, with output negation.
    x = np.full(200, -0.0, KINDS[kind][4])
    for n in (1, 2, 19):
        assert bits_equal(Stage(kind, n).run(x, level), Stage(kind, n).run(x, 0))


@pytest.mark.parametrize("kind", KINDS)
def test_reset_after_vector_blocks(level, kind):
    x = signal_for(kind, 3000, seed=12)
    stage = Stage(kind, 19)
    stage.run(x[:2999], level)
    stage.reset()
    assert bits_equal(stage.run(x, level), scalar_stream(kind, 19, x))
