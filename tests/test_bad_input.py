"""Bad-input matrix for the ddc_fn module.

Every row feeds one kind of bad or unusual input to a live stream and states
what must happen: a clear exception, or a documented result. For each refused
call the stream is then continued and compared, bit for bit, with a reference
stream that never saw the bad call: a refusal consumes nothing and changes
nothing, so no sample is ever lost silently.
"""
import ctypes
import datetime

import numpy as np
import pytest

from ddc_fn import (ddcr_create, ddcr_destroy, ddcr_execute, ddcr_get_norm_freq, ddcr_get_rate,
                    ddcr_reset, ddcr_set_norm_freq)
from native import lib

FREQ, RATE = -0.62, 0.25
DESTROYED = "ddcr_state has already been destroyed"
BAD_OUT = r"out must be a writable ndarray\[complex64\]"
NOT_1D = r"out must be a one-dimensional ndarray\[complex64\]"
NOT_A_CAPSULE = "invalid PyCapsule object"
WRONG_NAME = "incorrect name"
TOO_SMALL = r"out holds \d+ samples but a block of \d+ samples needs \d+"


def noise(n, seed):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def run(state, x, cap=None):
    return ddcr_execute(state, x, np.zeros(cap or max(np.size(x), 2), np.complex64)).copy()


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


_OTHER_NAME = ctypes.create_string_buffer(b"quorvel.ddc.ddcr_statex")


def capsule_named_almost_alike():
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return new(ctypes.addressof(_OTHER_NAME), ctypes.addressof(_OTHER_NAME), None)


X8 = np.ones(8, np.float32)


def out(n=8, dtype=np.complex64):
    return np.zeros(n, dtype)


def read_only(a):
    a.flags.writeable = False
    return a


# (id, bad call on a live state s, exception, message)
REFUSED = [
    # argument counts and types
    ("execute-2-args", lambda s: ddcr_execute(s, X8), TypeError, r"exactly 3 arguments \(2 given\)"),
    ("execute-4-args", lambda s: ddcr_execute(s, X8, out(), out()), TypeError, r"exactly 3 arguments"),
    ("execute-keywords", lambda s: ddcr_execute(s, X8, out=out()), TypeError, "keyword"),
    ("reset-2-args", lambda s: ddcr_reset(s, s), TypeError, r"exactly 1 argument"),
    ("set-freq-str", lambda s: ddcr_set_norm_freq(s, "0.1"), TypeError, "must be real number"),
    ("set-freq-complex", lambda s: ddcr_set_norm_freq(s, 1 + 2j), TypeError, "must be real number"),
    ("set-freq-huge-int", lambda s: ddcr_set_norm_freq(s, 10 ** 400), OverflowError, "too large"),
    ("set-freq-none", lambda s: ddcr_set_norm_freq(s, None), TypeError, "must be real number"),
    # the state argument
    ("state-none", lambda s: ddcr_execute(None, X8, out()), ValueError, NOT_A_CAPSULE),
    ("state-int", lambda s: ddcr_reset(7), ValueError, NOT_A_CAPSULE),
    ("state-array", lambda s: ddcr_get_rate(np.zeros(2)), ValueError, NOT_A_CAPSULE),
    ("state-foreign-capsule", lambda s: ddcr_execute(datetime.datetime_CAPI, X8, out()),
     ValueError, WRONG_NAME),
    ("state-lookalike-name", lambda s: ddcr_destroy(capsule_named_almost_alike()), ValueError,
     WRONG_NAME),
    # x that NumPy will not convert to float32 under the safe rule
    ("x-float64", lambda s: ddcr_execute(s, np.ones(8), out()), TypeError, "rule 'safe'"),
    ("x-int64", lambda s: ddcr_execute(s, np.ones(8, np.int64), out()), TypeError, "rule 'safe'"),
    ("x-complex64", lambda s: ddcr_execute(s, np.ones(8, np.complex64), out()), TypeError,
     "rule 'safe'"),
    ("x-str", lambda s: ddcr_execute(s, "abc", out()), ValueError, "could not convert"),
    ("x-object", lambda s: ddcr_execute(s, object(), out()), TypeError, "float"),
    ("x-ragged", lambda s: ddcr_execute(s, [[1.0], [1.0, 2.0]], out()), ValueError, "inhomogeneous"),
    # out that is not a writable one-dimensional complex64 ndarray
    ("out-complex128", lambda s: ddcr_execute(s, X8, out(8, np.complex128)), TypeError, BAD_OUT),
    ("out-float32", lambda s: ddcr_execute(s, X8, out(16, np.float32)), TypeError, BAD_OUT),
    ("out-list", lambda s: ddcr_execute(s, X8, [0j] * 8), TypeError, BAD_OUT),
    ("out-none", lambda s: ddcr_execute(s, X8, None), TypeError, BAD_OUT),
    ("out-bytearray", lambda s: ddcr_execute(s, X8, bytearray(64)), TypeError, BAD_OUT),
    ("out-read-only", lambda s: ddcr_execute(s, X8, read_only(out())), TypeError, BAD_OUT),
    ("out-2d", lambda s: ddcr_execute(s, X8, out(16).reshape(2, 8)), TypeError, NOT_1D),
    ("out-0d", lambda s: ddcr_execute(s, X8, np.zeros((), np.complex64)), TypeError, NOT_1D),
    ("out-matrix", lambda s: ddcr_execute(s, X8, np.asmatrix(out())), TypeError, NOT_1D),
    # out too small for the block: refused before anything is consumed
    ("out-one-short", lambda s: ddcr_execute(s, noise(999, 5), out(lib.ddcr_execute_capacity(999) - 1)),
     ValueError, TOO_SMALL),
    ("out-empty", lambda s: ddcr_execute(s, X8, out(0)), ValueError, TOO_SMALL),
    ("out-one-for-one", lambda s: ddcr_execute(s, X8[:1], out(1)), ValueError, TOO_SMALL),
    ("out-quarter", lambda s: ddcr_execute(s, noise(4096, 6), out(1024)), ValueError, TOO_SMALL),
]


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("call, exc, message", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused_call_raises_and_consumes_nothing(call, exc, message):
    # An odd head leaves a sample held over inside the decimator.
    head, tail = noise(1001, 1), noise(777, 2)
    s, ref = ddcr_create(FREQ, RATE), ddcr_create(FREQ, RATE)
    got = [run(s, head)]
    want = [run(ref, head)]
    with pytest.raises(exc, match=message):
        call(s)
    assert ddcr_get_norm_freq(s) == FREQ and ddcr_get_rate(s) == RATE
    got.append(run(s, tail))
    want.append(run(ref, tail))
    assert same_bits(np.concatenate(got), np.concatenate(want))


@pytest.mark.parametrize("call", [
    lambda s: ddcr_execute(s, X8, out()),
    lambda s: ddcr_execute(s, "not even an array", None),
    ddcr_reset,
    ddcr_destroy,
    ddcr_get_norm_freq,
    lambda s: ddcr_set_norm_freq(s, 0.1),
    ddcr_get_rate,
], ids=["execute", "execute-bad-args", "reset", "destroy", "get_norm_freq", "set_norm_freq",
        "get_rate"])
def test_destroyed_state_refused(call):
    s = ddcr_create(FREQ, RATE)
    ddcr_destroy(s)
    with pytest.raises(RuntimeError, match=DESTROYED):
        call(s)


@pytest.mark.parametrize("rate", [0.0, -0.0, 0.5, -0.25, 0.7, 1.0, float("nan"), float("inf"),
                                  -float("inf"), 1e-320])
def test_rate_outside_open_interval_or_unplannable_raises_memory_error(rate):
    with pytest.raises(MemoryError):
        ddcr_create(FREQ, rate)


@pytest.mark.parametrize("rate", [2.0 ** -13, 0.49999999999999994, 1e-3, 1 / 3])
def test_rates_at_the_edges_of_the_interval_are_accepted(rate):
    s = ddcr_create(FREQ, rate)
    assert ddcr_get_rate(s) == rate
    y = run(s, noise(20000, 3))
    assert np.isfinite(y).all()


# --- documented results for unusual but valid inputs --------------------------------

def reference(x, freq=FREQ, rate=RATE):
    return run(ddcr_create(freq, rate), np.ascontiguousarray(x, np.float32).ravel())


@pytest.mark.parametrize("make_x", [
    lambda x: x[::2],                                      # strided
    lambda x: x[::-1],                                     # negative stride
    lambda x: read_only(x.copy()),                         # read-only input is only read
    lambda x: x.astype(">f4"),                             # byte-swapped float32
    lambda x: x.reshape(8, -1),                            # 2-D: read flat in C order
    lambda x: np.asfortranarray(x.reshape(8, -1)),         # Fortran order: C-order copy
    lambda x: x.astype(np.float16),                        # safe widening to float32
    lambda x: x.astype(np.int16),                          # safe widening to float32
    lambda x: list(map(float, x[:64])),                    # a list of Python floats
], ids=["strided", "reversed", "read-only", "big-endian", "2d", "fortran", "float16", "int16",
        "list"])
def test_x_in_any_safely_convertible_layout_matches_a_contiguous_copy(make_x):
    x = make_x(noise(4096, 4))
    want = reference(np.asarray(x, dtype=np.float32) if not isinstance(x, np.ndarray)
                     else x.astype(np.float32, order="C"))
    assert same_bits(run(ddcr_create(FREQ, RATE), x, cap=4096), want)


def test_none_as_x_is_refused_instead_of_becoming_a_nan_sample():
    s = ddcr_create(FREQ, RATE)
    with pytest.raises(TypeError, match="x must be an array of float32 samples, not None"):
        ddcr_execute(s, None, out(2))
    assert same_bits(run(s, X8), reference(X8))


def test_broadcast_x_with_zero_strides_is_read_as_the_repeated_value():
    x = np.broadcast_to(np.float32(0.25), (512,))
    assert same_bits(run(ddcr_create(FREQ, RATE), x), reference(np.full(512, 0.25, np.float32)))


@pytest.mark.parametrize("x", [np.zeros(0, np.float32), [], np.zeros((0, 3), np.float32)],
                         ids=["empty", "empty-list", "empty-2d"])
def test_empty_x_gives_empty_view_and_changes_nothing(x):
    s = ddcr_create(FREQ, RATE)
    head = noise(5, 7)            # leaves a held-over sample
    first = run(s, head)
    o = np.zeros(4, np.complex64)
    y = ddcr_execute(s, x, o)
    assert y.size == 0 and y.base is o
    rest = run(s, noise(100, 8))
    assert same_bits(np.concatenate([first, rest]), reference(np.concatenate([head, noise(100, 8)])))


@pytest.mark.parametrize("make_out", [
    lambda n: np.zeros(2 * n, np.complex64)[::2],
    lambda n: np.zeros(n, np.complex64)[::-1],
    lambda n: np.zeros(n, ">c8"),
], ids=["strided", "reversed", "big-endian"])
def test_out_needing_conversion_is_worked_on_a_copy_and_left_untouched(make_out):
    x = noise(4096, 9)
    o = make_out(4096)
    y = ddcr_execute(ddcr_create(FREQ, RATE), x, o)
    assert same_bits(y, reference(x))
    assert not np.shares_memory(y, o) and not o.any()


def test_x_overlapping_out_reads_the_whole_block_before_writing():
    x = noise(4096, 10)
    o = np.zeros(4096, np.complex64)
    alias = o.view(np.float32)[:4096]
    alias[:] = x
    assert same_bits(ddcr_execute(ddcr_create(FREQ, RATE), alias, o), reference(x))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, np.float32(3e38)],
                         ids=["nan", "inf", "-inf", "near-max"])
@pytest.mark.parametrize("rate", [0.25, 0.1, 0.0371, 0.49])
def test_non_finite_samples_only_touch_outputs_whose_filters_cover_them(rate, bad):
    """NaN and infinities propagate through the FIR stages (a CIC stage quantises
    them to finite values) but only within the filter spans: outputs outside
    them equal those of the clean stream bit for bit, and later blocks are clean."""
    n, at = 40000, 20000
    x = noise(n, 11)
    xb = x.copy()
    xb[at:at + 3] = bad
    clean = reference(x, rate=rate)
    s = ddcr_create(FREQ, rate)
    dirty = np.concatenate([run(s, xb[:at + 1], cap=at + 1), run(s, xb[at + 1:], cap=n)])
    assert dirty.size == clean.size
    differ = np.nonzero(dirty.view(np.uint64) != clean.view(np.uint64))[0]
    first = int(at * rate)
    assert differ.size > 0
    assert differ.min() >= first - 2
    assert differ.max() <= first + 64
    assert np.isfinite(dirty[:first - 2]).all() and np.isfinite(dirty[first + 65:]).all()
    # After the span the stream is clean again, also in the next call.
    more = noise(3000, 12)
    assert same_bits(run(s, more), run(ddcr_create(FREQ, rate), np.concatenate([x, more]),
                                       cap=n + 3000)[clean.size:])


@pytest.mark.parametrize("freq", [float("nan"), float("inf"), -float("inf"), 1e300, 4.0],
                         ids=["nan", "inf", "-inf", "1e300", "4.0"])
def test_non_finite_or_integral_frequency_is_kept_and_stops_the_oscillator(freq):
    """Every such value wraps to increment 0: the mixer multiplies by (1, 0)."""
    s = ddcr_create(freq, RATE)
    got = ddcr_get_norm_freq(s)
    assert got == freq or (np.isnan(got) and np.isnan(freq))
    x = noise(2048, 13)
    assert same_bits(run(s, x), reference(x, freq=0.0))
    ddcr_set_norm_freq(s, FREQ)
    assert ddcr_get_norm_freq(s) == FREQ


def test_large_block_with_out_of_exactly_the_documented_capacity():
    n = 1 << 22
    x = np.full(n, 0.5, np.float32)
    o = np.zeros(n, np.complex64)
    y = ddcr_execute(ddcr_create(FREQ, RATE), x, o)
    assert y.size == n // 4 and np.shares_memory(y, o) and np.isfinite(y).all()
