"""The ddc_fn methods: argument and capsule checks, output views, state handling."""
import ctypes
import datetime
import gc
import os
import sys

import numpy as np
import pytest

import ddc_fn
from ddc_fn import (ddcr_create, ddcr_destroy, ddcr_execute, ddcr_get_norm_freq, ddcr_get_rate,
                    ddcr_reset, ddcr_set_norm_freq)
from native import Handle, bits_equal, f32, lib, ptr

DESTROYED = "ddcr_state has already been destroyed"
BAD_OUT = "out must be a writable ndarray[complex64]"
NOT_1D = "out must be a one-dimensional ndarray[complex64]"
NOT_A_CAPSULE = "PyCapsule_GetPointer called with invalid PyCapsule object"
WRONG_NAME = "PyCapsule_GetPointer called with incorrect name"


def noise(n, seed=0):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def buf(n):
    return np.zeros(n, np.complex64)


def run(state, x):
    """ddcr_execute into a fresh buffer of ample size; returns a copy of the result."""
    return ddcr_execute(state, x, buf(max(np.size(x), 8))).copy()


@pytest.fixture
def state():
    return ddcr_create(-0.7, 0.25)


def foreign_capsule():
    # A capsule of another name; the name must outlive the capsule.
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return new(ctypes.addressof(_FOREIGN_NAME), ctypes.addressof(_FOREIGN_NAME), None)


_FOREIGN_NAME = ctypes.create_string_buffer(b"quorvel.ddc.other_state")


# --- arguments and capsules ----------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda s: ddcr_create(-0.7), r"takes exactly 2 arguments \(1 given\)"),
    (lambda s: ddcr_create(-0.7, 0.25, 1.0), r"takes exactly 2 arguments \(3 given\)"),
    (lambda s: ddcr_create("a", 0.25), r"must be real number, not str"),
    (lambda s: ddcr_create(-0.7, None), r"must be real number, not NoneType"),
    (lambda s: ddcr_execute(s, np.zeros(4, np.float32)), r"takes exactly 3 arguments \(2 given\)"),
    (lambda s: ddcr_reset(), r"takes exactly 1 argument \(0 given\)"),
    (lambda s: ddcr_destroy(s, s), r"takes exactly 1 argument \(2 given\)"),
    (lambda s: ddcr_get_norm_freq(), r"takes exactly 1 argument \(0 given\)"),
    (lambda s: ddcr_set_norm_freq(s), r"takes exactly 2 arguments \(1 given\)"),
    (lambda s: ddcr_set_norm_freq(s, "0.1"), r"must be real number, not str"),
    (lambda s: ddcr_get_rate(s, 1), r"takes exactly 1 argument \(2 given\)"),
    (lambda s: ddcr_get_rate(state=s), r"takes no keyword arguments"),
])
def test_argument_parser_errors(state, call, message):
    with pytest.raises(TypeError, match=message):
        call(state)


EVERY_METHOD = [
    ("execute", lambda s: ddcr_execute(s, np.zeros(8, np.float32), buf(8))),
    ("reset", lambda s: ddcr_reset(s)),
    ("destroy", lambda s: ddcr_destroy(s)),
    ("get_norm_freq", lambda s: ddcr_get_norm_freq(s)),
    ("set_norm_freq", lambda s: ddcr_set_norm_freq(s, 0.1)),
    ("get_rate", lambda s: ddcr_get_rate(s)),
]


@pytest.mark.parametrize("name, call", EVERY_METHOD, ids=[m[0] for m in EVERY_METHOD])
@pytest.mark.parametrize("obj, message", [
    (None, NOT_A_CAPSULE),
    (3, NOT_A_CAPSULE),
    (np.zeros(3), NOT_A_CAPSULE),
    (datetime.datetime_CAPI, WRONG_NAME),
    (foreign_capsule(), WRONG_NAME),
], ids=["none", "int", "array", "datetime-capsule", "similar-name"])
def test_object_not_a_ddcr_capsule_gives_capsule_error(name, call, obj, message):
    with pytest.raises(ValueError, match=message):
        call(obj)


@pytest.mark.parametrize("name, call", EVERY_METHOD, ids=[m[0] for m in EVERY_METHOD])
def test_destroyed_state_refused_by_every_method(state, name, call):
    ddcr_destroy(state)
    with pytest.raises(RuntimeError) as err:
        call(state)
    assert str(err.value) == DESTROYED


def test_destroyed_check_comes_before_argument_checks(state):
    ddcr_destroy(state)
    with pytest.raises(RuntimeError, match=DESTROYED):
        ddcr_execute(state, "not samples", "not a buffer")


@pytest.mark.parametrize("rate", [0.0, 0.5, -0.1, 0.7, float("nan"), float("inf"), -float("inf")])
def test_rate_outside_open_interval_raises_memory_error(rate):
    with pytest.raises(MemoryError):
        ddcr_create(-0.7, rate)


def test_capsule_is_named_and_methods_are_in_order():
    s = ddcr_create(-0.7, 0.25)
    assert '"quorvel.ddc.ddcr_state"' in repr(s)
    names = [n for n in vars(ddc_fn) if n.startswith("ddcr_")]
    assert names == ["ddcr_create", "ddcr_execute", "ddcr_reset", "ddcr_destroy",
                     "ddcr_get_norm_freq", "ddcr_set_norm_freq", "ddcr_get_rate"]


def test_package_reexports_the_module_functions():
    import quorvel.ddc as pkg

    for name in ("ddcr_create", "ddcr_execute", "ddcr_reset", "ddcr_destroy",
                 "ddcr_get_norm_freq", "ddcr_set_norm_freq", "ddcr_get_rate"):
        assert getattr(pkg, name) is getattr(ddc_fn, name)


# --- x and out checks ----------------------------------------------------------

@pytest.mark.parametrize("x, exc, message", [
    (np.zeros(16), TypeError,
     r"Cannot cast array data from dtype\('float64'\) to dtype\('float32'\) according to the rule 'safe'"),
    (np.zeros(16, np.int32), TypeError, r"according to the rule 'safe'"),
    (np.zeros(16, np.complex64), TypeError, r"according to the rule 'safe'"),
    ("abc", ValueError, r"could not convert string to float"),
    ([[1.0], [1.0, 2.0]], ValueError, r"inhomogeneous"),
    (object(), TypeError, r"float\(\) argument must be"),
], ids=["float64", "int32", "complex64", "str", "ragged", "object"])
def test_x_not_convertible_gives_numpy_error(state, x, exc, message):
    with pytest.raises(exc, match=message):
        ddcr_execute(state, x, buf(64))


def test_float64_x_is_not_force_cast(state):
    # NumPy converts under the safe rule: a float64 array is refused, its float32
    # cast is accepted, and the two must not silently agree.
    x = noise(64).astype(np.float64)
    with pytest.raises(TypeError):
        ddcr_execute(state, x, buf(64))
    fresh = ddcr_create(-0.7, 0.25)
    assert bits_equal(run(state, x.astype(np.float32)), run(fresh, f32(x)))


@pytest.mark.parametrize("x", [
    [0.5] * 64, np.zeros(64, np.int16), np.zeros(64, np.float16), np.zeros((8, 8), np.float32),
], ids=["list", "int16", "float16", "2d"])
def test_x_safely_convertible_or_multidimensional_is_read_flat(state, x):
    fresh = ddcr_create(-0.7, 0.25)
    expect = run(fresh, np.asarray(x, np.float32).ravel())
    assert bits_equal(run(state, x), expect)


@pytest.mark.parametrize("out", [
    np.zeros(64, np.complex128),
    np.zeros(64, np.float32),
    np.zeros(128, np.float32).view(np.float64),
    [0j] * 64,
    None,
    memoryview(bytearray(512)),
], ids=["complex128", "float32", "float64", "list", "none", "memoryview"])
def test_out_not_complex64_ndarray_is_refused(state, out):
    with pytest.raises(TypeError) as err:
        ddcr_execute(state, np.zeros(64, np.float32), out)
    assert str(err.value) == BAD_OUT


def test_read_only_out_is_refused(state):
    out = buf(64)
    out.flags.writeable = False
    with pytest.raises(TypeError) as err:
        ddcr_execute(state, np.zeros(64, np.float32), out)
    assert str(err.value) == BAD_OUT


def test_out_with_wrong_dimensions_refused_before_processing(state):
    """Regression: a 2-D out was processed, then sliced by rows (or failed to slice)."""
    x = noise(257)
    for out in (np.zeros((64, 4), np.complex64), np.zeros((), np.complex64),
                np.zeros((1, 512), np.complex64)):
        with pytest.raises(TypeError) as err:
            ddcr_execute(state, x, out)
        assert str(err.value) == NOT_1D
        assert not out.any()
    assert bits_equal(run(state, x), run(ddcr_create(-0.7, 0.25), x))


def test_ndarray_subtype_out_is_accepted_and_kept(state):
    class Tagged(np.ndarray):
        pass

    out = buf(64).view(Tagged)
    y = ddcr_execute(state, np.ones(64, np.float32), out)
    assert type(y) is Tagged and len(y) == 16 and np.shares_memory(y, out)


# --- output views --------------------------------------------------------------

@pytest.mark.parametrize("cap", [0, 1, 64])
def test_empty_x_gives_empty_view_of_out(state, cap):
    out = buf(cap)
    y = ddcr_execute(state, np.zeros(0, np.float32), out)
    assert y.shape == (0,) and y.dtype == np.complex64 and y.base is out


@pytest.mark.parametrize("n, n_out", [(64, 16), (4096, 1024)])
def test_block_gives_quarter_and_shares_memory_with_out(state, n, n_out):
    out = buf(n)
    y = ddcr_execute(state, noise(n), out)
    assert y.shape == (n_out,) and y.dtype == np.complex64
    assert np.shares_memory(y, out) and y.base is out
    assert y.__array_interface__["data"][0] == out.__array_interface__["data"][0]


def test_carrier_parked_at_dc(state):
    x = np.cos(2 * np.pi * 0.1 * np.arange(4096)).astype(np.float32)
    y = ddcr_execute(state, x, buf(4096))
    assert np.argmax(np.abs(np.fft.fft(y))) == 0


def test_strided_out_works_on_a_contiguous_copy(state):
    x = noise(512)
    backing = buf(1024)
    out = backing[::2]
    y = ddcr_execute(state, x, out)
    assert len(y) == 128
    assert not np.shares_memory(y, backing)
    assert y.base is not None and y.base.flags.c_contiguous and y.base.shape == out.shape
    assert not backing.any()
    assert bits_equal(y, run(ddcr_create(-0.7, 0.25), x))


def _misaligned(dtype, n):
    a = np.frombuffer(bytearray(np.dtype(dtype).itemsize * n + 1), dtype=dtype, offset=1)
    assert not a.flags.aligned and a.flags.writeable
    return a


def test_misaligned_arrays_are_worked_on_aligned_copies(state):
    """Regression: misaligned buffers reached the kernels' typed pointers."""
    x = _misaligned(np.float32, 4096)
    x[:] = noise(4096)
    out = _misaligned(np.complex64, 4096)
    y = ddcr_execute(state, x, out)
    assert y.flags.aligned and not np.shares_memory(y, out) and not out.any()
    assert bits_equal(y, run(ddcr_create(-0.7, 0.25), x.copy()))


def test_view_outlives_the_state(state):
    out = buf(64)
    y = ddcr_execute(state, noise(64), out)
    keep = y.copy()
    ddcr_destroy(state)
    del state
    gc.collect()
    assert bits_equal(y, keep)


def test_out_too_small_raises_value_error_and_consumes_nothing(state):
    x = noise(1001)
    need = lib.ddcr_execute_capacity(len(x))
    with pytest.raises(ValueError, match=rf"out holds {need - 1} samples but a block of 1001 "
                                         rf"samples needs {need}"):
        ddcr_execute(state, x, buf(need - 1))
    assert bits_equal(ddcr_execute(state, x, buf(need)), run(ddcr_create(-0.7, 0.25), x))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 64, 4097])
def test_documented_capacity_rule(n):
    # The rule stated in the ddcr_execute docstring, checked against the native one.
    assert lib.ddcr_execute_capacity(n) == (max(n, 2) if n else 0)
    assert "at least ``max(n, 2)`` samples" in ddcr_execute.__doc__


def test_one_sample_block_needs_room_for_two():
    """Regression: the documented capacity len(x) is one short for a single sample."""
    s = ddcr_create(-0.7, 0.25)
    with pytest.raises(ValueError, match="out holds 1 samples but a block of 1 samples needs 2"):
        ddcr_execute(s, np.ones(1, np.float32), buf(1))
    assert len(ddcr_execute(s, np.ones(1, np.float32), buf(2))) <= 2


# --- state handling ------------------------------------------------------------

@pytest.mark.parametrize("value", [-0.7, 0.1 + 0.2, -(2 * 0.18 + 0.5), 1e300, -3.25, 5e-324, 0.0])
def test_norm_freq_read_back_exactly(value):
    s = ddcr_create(value, 0.1)
    assert ddcr_get_norm_freq(s) == value
    ddcr_reset(s)
    assert ddcr_get_norm_freq(s) == value
    ddcr_set_norm_freq(s, -value + 0.125)
    assert ddcr_get_norm_freq(s) == -value + 0.125
    ddcr_reset(s)
    assert ddcr_get_norm_freq(s) == -value + 0.125


@pytest.mark.parametrize("rate", [0.25, 0.1 + 0.2 - 0.2, 1e-3, 0.49999999999999994])
def test_rate_read_back_exactly(rate):
    assert ddcr_get_rate(ddcr_create(-0.7, rate)) == rate


def test_reset_reproduces_the_first_run(state):
    x = noise(3001, seed=3)
    first = run(state, x)
    run(state, noise(77, seed=4))
    ddcr_reset(state)
    assert bits_equal(run(state, x), first)


@pytest.mark.parametrize("rate", [0.25, 0.1, 0.0371])
def test_block_split_bit_identical(rate):
    x = noise(20011, seed=5)
    whole = run(ddcr_create(-0.62, rate), x)
    s = ddcr_create(-0.62, rate)
    pieces, start = [], 0
    for size in [1, 1, 2, 3, 7, 64, 1023, 4096, 5, 9999]:
        pieces.append(run(s, x[start:start + size]))
        start += size
    pieces.append(run(s, x[start:]))
    assert bits_equal(np.concatenate(pieces), whole)


@pytest.mark.parametrize("norm_freq, rate", [(-0.7, 0.25), (-0.86, 0.1), (0.3, 0.0371),
                                             (-0.5, 0.4999), (2.25, 0.01)])
def test_module_matches_native_ddcr_bit_for_bit(norm_freq, rate):
    x = noise(12345, seed=6)
    s = ddcr_create(norm_freq, rate)
    with Handle(lib.ddcr_create(norm_freq, rate), lib.ddcr_destroy) as h:
        total = 0
        for block in (x[:999], x[999:1000], x[1000:]):
            out = buf(len(block) + 2)
            n = lib.ddcr_execute(h.p, ptr(block), len(block), ptr(out), len(out))
            assert bits_equal(ddcr_execute(s, block, buf(len(block) + 2)), out[:n])
            total += n
        assert total > 0


def test_retune_changes_output_but_not_history():
    x = noise(4000, seed=7)
    a, b = ddcr_create(-0.86, 0.1), ddcr_create(-0.86, 0.1)
    assert bits_equal(run(a, x[:2000]), run(b, x[:2000]))
    ddcr_set_norm_freq(a, -0.78)
    with Handle(lib.ddcr_create(-0.86, 0.1), lib.ddcr_destroy) as h:
        scratch = buf(2000)
        lib.ddcr_execute(h.p, ptr(x[:2000]), 2000, ptr(scratch), 2000)
        lib.ddcr_set_norm_freq(h.p, -0.78)
        out = buf(2000)
        n = lib.ddcr_execute(h.p, ptr(x[2000:]), 2000, ptr(out), 2000)
        assert bits_equal(run(a, x[2000:]), out[:n])


# --- lifetime and references ---------------------------------------------------

def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.parametrize("destroy_first", [False, True], ids=["collected", "destroyed"])
def test_collected_capsules_release_native_state(destroy_first):
    x, out = noise(1 << 16), buf(1 << 16)

    def cycle():
        s = ddcr_create(-0.7, 0.0371)
        ddcr_execute(s, x, out)  # grows the state's scratch to about a megabyte
        if destroy_first:
            ddcr_destroy(s)

    for _ in range(20):
        cycle()
    gc.collect()
    before = _resident_bytes()
    for _ in range(300):
        cycle()
    gc.collect()
    assert _resident_bytes() - before < 64 << 20


def test_state_destroyed_during_input_conversion_is_refused(state):
    """Regression: x's conversion runs Python code, which may destroy the state."""
    class Sneaky:
        def __array__(self, dtype=None, copy=None):
            ddcr_destroy(state)
            return np.zeros(64, np.float32)

    with pytest.raises(RuntimeError, match=DESTROYED):
        ddcr_execute(state, Sneaky(), buf(64))


@pytest.mark.parametrize("x, out", [
    (np.zeros(64, np.float32), buf(64)),
    (np.zeros(64, np.float32), buf(128)[::2]),
    (np.zeros(64, np.float64), buf(64)),
    (np.zeros(64, np.float32), np.zeros(64, np.complex128)),
    (np.zeros(64, np.float32), np.zeros((8, 8), np.complex64)),
    (np.zeros(64, np.float32), buf(3)),
    (np.zeros(0, np.float32), buf(0)),
], ids=["ok", "strided", "bad-x", "bad-out", "2d-out", "small-out", "empty"])
def test_no_reference_leaks(state, x, out):
    def counts():
        return sys.getrefcount(x), sys.getrefcount(out), sys.getrefcount(state)

    def call():
        try:
            ddcr_execute(state, x, out)
        except (TypeError, ValueError):
            pass

    call()
    before = counts()
    for _ in range(20):
        call()
    assert counts() == before
