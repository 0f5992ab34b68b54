"""Local oscillator: sine table, frequency-to-increment rule, sample generation."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from native import Handle, bits_equal, f32, lib, ptr

DELTA = np.array([0x38C90FDB], np.uint32).view(np.float32)[0]  # float32 nearest 2*pi/65536
NEG_PI_SINE = np.float32(-8.742278e-08)


def make(freq):
    return Handle(lib.lo_create(freq), lib.lo_destroy)


def steps(h, n):
    out = np.zeros(max(n, 1), np.complex64)
    assert lib.lo_steps(h.p, n, ptr(out)) == n
    return out[:n]


def steps_ctrl(h, ctrl):
    ctrl = f32(ctrl)
    out = np.zeros(max(len(ctrl), 1), np.complex64)
    assert lib.lo_steps_ctrl(h.p, ptr(ctrl), len(ctrl), ptr(out)) == len(ctrl)
    return out[: len(ctrl)]


def read_table():
    """The whole table, read as the imaginary part of an oscillator stepping one entry per sample."""
    h = make(1.0 / 65536)
    assert lib.lo_get_phase_inc(h.p) == 1 << 16
    return steps(h, 65536)


def ulp_distance(a, b):
    """Distance in float32 units in the last place (same-sign finite values)."""
    ia = np.asarray(a, np.float32).view(np.int32).astype(np.int64)
    ib = np.asarray(b, np.float32).view(np.int32).astype(np.int64)
    ia = np.where(ia < 0, -(ia & 0x7FFFFFFF), ia)
    ib = np.where(ib < 0, -(ib & 0x7FFFFFFF), ib)
    return np.abs(ia - ib)


_TABLE = None


def expected_samples(phases):
    """Table lookups for the given phases: cosine a quarter turn ahead, sine at the top 16 bits."""
    global _TABLE
    if _TABLE is None:
        _TABLE = read_table().imag.copy()
    idx = (np.asarray(phases, np.uint64) >> np.uint64(16)).astype(np.int64)
    out = np.empty(len(idx), np.complex64)
    out.real = _TABLE[(idx + 16384) & 0xFFFF]
    out.imag = _TABLE[idx]
    return out


@pytest.mark.parametrize("idx, value", [(0, 0.0), (16384, 1.0), (32768, NEG_PI_SINE), (49152, -1.0)])
def test_table_landmarks(idx, value):
    table = read_table()
    assert table[idx].imag == np.float32(value)
    # the cosine is the same table a quarter turn ahead
    assert table[(idx - 16384) % 65536].real == np.float32(value)


def test_table_matches_float32_sine_of_float32_angle():
    table = read_table().imag
    i = np.arange(65536)
    angle = np.float32(i.astype(np.float32) * DELTA)  # product rounded to float32
    assert angle.dtype == np.float32
    ref = np.sin(angle)  # float32 sine
    assert ref.dtype == np.float32
    same_sign = np.sign(ref) == np.sign(table)
    assert same_sign.all()
    # the platform sine may differ from NumPy's in the last bit
    assert ulp_distance(table, ref).max() <= 1
    # and it is a sine of the float32 angle, not of i*2*pi/65536 in double
    assert np.max(np.abs(table - np.sin(angle.astype(np.float64)))) < 1e-7


def test_cosine_is_table_read_a_quarter_ahead():
    s = read_table()
    assert bits_equal(s.real, np.roll(s.imag, -16384))


@pytest.mark.parametrize("freq, inc", [
    (0.25, 0x40000000), (0.5, 0x80000000), (-0.5, 0x80000000), (-0.7, 0x4CCCCCCC),
    (0.3, 0x4CCCCCCC), (-0.86, 0x23D70A3D), (-0.78, 0x3851EB85), (1.0, 0), (0.0, 0),
    (-1e-300, 0xFFFFFFFF), (float("nan"), 0), (float("inf"), 0), (float("-inf"), 0),
    (12345.25, 0x40000000), (1.0 / 65536, 0x10000),
])
def test_frequency_to_increment(freq, inc):
    h = make(freq)
    assert lib.lo_get_phase_inc(h.p) == inc
    g = make(0.0)
    lib.lo_set_norm_freq(g.p, freq)
    assert lib.lo_get_phase_inc(g.p) == inc


def test_stored_frequency_is_not_wrapped():
    h = make(-0.7)
    assert lib.lo_get_norm_freq(h.p) == -0.7
    assert lib.lo_get_phase_inc(h.p) == 0x4CCCCCCC


def test_quarter_rate_has_period_four():
    s = steps(make(0.25), 12)
    cycle = np.array([1 + 0j, NEG_PI_SINE + 1j, -1 + 1j * NEG_PI_SINE, 0 - 1j], np.complex64)
    assert bits_equal(s, np.tile(cycle, 3))


@pytest.mark.parametrize("freq", [0.0, 1.0])
def test_zero_and_one_give_constant_one(freq):
    assert bits_equal(steps(make(freq), 7), np.full(7, 1 + 0j, np.complex64))


@pytest.mark.parametrize("freq", [0.1234567, -0.3, 0.5, 1e-6])
def test_samples_follow_phase_accumulator(freq):
    h = make(freq)
    inc = lib.lo_get_phase_inc(h.p)
    n = 3000
    phases = (np.arange(n, dtype=np.uint64) * np.uint64(inc)) % np.uint64(1 << 32)
    assert bits_equal(steps(h, n), expected_samples(phases))
    assert lib.lo_get_phase(h.p) == (n * inc) % (1 << 32)


@pytest.mark.parametrize("blocks", [[1, 499, 500], [1000], [7, 0, 993], [500, 1, 499]])
def test_block_split_is_bit_identical(blocks):
    whole = make(0.0123)
    ref = steps(whole, 1000)
    split = make(0.0123)
    got = np.concatenate([steps(split, b) for b in blocks])
    assert bits_equal(got, ref)
    assert lib.lo_get_phase(split.p) == lib.lo_get_phase(whole.p)


def test_zero_samples_leave_phase():
    h = make(0.3)
    steps(h, 3)
    before = lib.lo_get_phase(h.p)
    assert lib.lo_steps(h.p, 0, None) == 0
    assert lib.lo_steps_ctrl(h.p, None, 0, None) == 0
    assert lib.lo_get_phase(h.p) == before


def test_reset_returns_to_phase_zero_keeping_frequency():
    h = make(-0.7)
    steps(h, 37)
    lib.lo_reset(h.p)
    assert lib.lo_get_phase(h.p) == 0
    assert lib.lo_get_norm_freq(h.p) == -0.7
    assert steps(h, 1)[0] == np.complex64(1 + 0j)


def test_set_phase_then_get_phase():
    h = make(0.0)
    lib.lo_set_phase(h.p, 0x40000000)
    assert lib.lo_get_phase(h.p) == 0x40000000
    assert bits_equal(steps(h, 1), np.array([NEG_PI_SINE + 1j], np.complex64))


def test_retune_keeps_phase_continuous():
    h = make(0.1)
    steps(h, 5)
    p = lib.lo_get_phase(h.p)
    lib.lo_set_norm_freq(h.p, 0.25)
    assert lib.lo_get_phase(h.p) == p
    assert lib.lo_get_norm_freq(h.p) == 0.25
    s = steps(h, 2)
    assert bits_equal(s, expected_samples([p, (p + 0x40000000) % (1 << 32)]))
    assert lib.lo_get_phase(h.p) == (p + 2 * 0x40000000) % (1 << 32)


@pytest.mark.parametrize("freq", [0.0, 0.17, -0.42])
def test_ctrl_with_zero_control_equals_steps(freq):
    assert bits_equal(steps_ctrl(make(freq), np.zeros(777)), steps(make(freq), 777))


def test_ctrl_quarter_on_still_oscillator_equals_quarter_oscillator():
    h = make(0.0)
    got = steps_ctrl(h, np.full(64, 0.25))
    assert got[0] == np.complex64(1 + 0j)
    assert bits_equal(got, steps(make(0.25), 64))
    assert lib.lo_get_phase_inc(h.p) == 0
    assert lib.lo_get_norm_freq(h.p) == 0.0


def test_ctrl_offsets_apply_to_the_following_step():
    rng = np.random.default_rng(4)
    ctrl = f32(rng.uniform(-2, 2, 500))
    ctrl[::50] = np.float32(-1e-30)  # wraps to just below one cycle
    h = make(0.05)
    inc = lib.lo_get_phase_inc(h.p)
    w = ctrl.astype(np.float64) - np.floor(ctrl.astype(np.float64))
    d = np.minimum(np.trunc(w * 2.0 ** 32), 2.0 ** 32 - 1).astype(np.uint64)
    steps_inc = np.concatenate([[0], (d[:-1] + inc)]).astype(np.uint64)
    phases = np.cumsum(steps_inc) % np.uint64(1 << 32)
    got = steps_ctrl(h, ctrl)
    assert bits_equal(got, expected_samples(phases))
    assert lib.lo_get_phase(h.p) == int((phases[-1] + d[-1] + inc) % (1 << 32))


def test_max_out_constants():
    assert lib.lo_steps_max_out() == 65536
    assert lib.lo_steps_ctrl_max_out() == 65536


def test_concurrent_first_creations_fill_a_correct_table():
    # The table is filled by the first creation of a process, so race it in a fresh one.
    script = textwrap.dedent("""
        import threading
        import numpy as np
        from native import lib, ptr
        barrier = threading.Barrier(8)
        handles = []
        def first_create():
            barrier.wait()
            handles.append(lib.lo_create(1.0 / 65536))  # ctypes drops the GIL here
        threads = [threading.Thread(target=first_create) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        tables = []
        for p in handles:
            out = np.zeros(65536, np.complex64)
            lib.lo_steps(p, 65536, ptr(out))
            tables.append(out.imag.copy())
            lib.lo_destroy(p)
        angle = np.arange(65536).astype(np.float32) * np.array([0x38C90FDB], np.uint32).view(np.float32)[0]
        ref = np.sin(angle)
        ok = len(tables) == 8 and all(t.tobytes() == tables[0].tobytes() for t in tables)
        ok = ok and np.max(np.abs(tables[0] - ref)) <= np.max(np.spacing(np.abs(ref)))
        print("OK" if ok else "BAD")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__), env.get("PYTHONPATH", "")])
    env.setdefault("DDC_FN_PATH", lib.path)
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=60)
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "OK"
