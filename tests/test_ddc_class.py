"""The converter objects of quorvel.ddc._core, through the DDC and DDCR classes.

The DDC is held to the native ddc_* functions (ctypes) bit for bit, block by
block; designed plans to the native designed functions where the library has
them. Then the edges: the tight output bound, threads, every refused input
(with the stream going on as if the call had not been made), refused rates and
attenuations, closed objects, and constructors in Hz.
"""
import math
import os
import resource
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from native import Handle, bits_equal, c64, f32, lib, ptr
from quorvel.ddc import DDC, DDCR, _core

# Decimating (resampler, CIC + resampler, CIC alone), copying, interpolating.
DDC_RATES = [0.3, 0.05, 2 ** -10, 1.0, 1.5, 3.0]
SPLITS = [[20011], [1, 2, 3, 4093, 17, 5000], [7]]


def iq(n, seed=4):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    z = 0.5 * np.exp(2j * np.pi * 0.11 * t) + 0.3 * np.exp(-2j * np.pi * 0.27 * t + 1.0)
    return (z + 0.05 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


def real(n, seed=5):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return (0.4 * np.cos(2 * np.pi * 0.1 * t) + 0.05 * rng.standard_normal(n)).astype(np.float32)


def pieces(n, sizes):
    pos, k = 0, 0
    while pos < n:
        size = sizes[k % len(sizes)]
        yield slice(pos, min(pos + size, n))
        pos, k = pos + size, k + 1


class NativeDDC:
    """The C ddc_* (or ddcr_*) calls on one handle, one block at a time."""

    def __init__(self, kind, norm_freq, rate, atten_db=None):
        self.kind = kind
        if atten_db is None:
            create = lib.ddc_create if kind == "ddc" else lib.ddcr_create
            self.h = Handle(create(norm_freq, rate), getattr(lib, f"{kind}_destroy"))
        else:
            create = getattr(lib, f"{kind}_create_designed", None)
            if create is None:
                pytest.skip("the library has no designed plans yet")
            self.h = Handle(create(norm_freq, rate, atten_db), getattr(lib, f"{kind}_destroy"))

    def capacity(self, n):
        if self.kind == "ddc":
            return lib.ddc_execute_capacity(self.h.p, n)
        fn = getattr(lib, "ddcr_capacity", None)
        return fn(self.h.p, n) if fn is not None else lib.ddcr_execute_capacity(n)

    def process(self, x):
        x = c64(x) if self.kind == "ddc" else f32(x)
        cap = self.capacity(len(x))
        out = np.zeros(max(cap, 1), np.complex64)
        n = getattr(lib, f"{self.kind}_execute")(self.h.p, ptr(x), len(x), ptr(out), cap)
        return out[:n].copy()

    def set_norm_freq(self, f):
        getattr(lib, f"{self.kind}_set_norm_freq")(self.h.p, f)


@pytest.mark.parametrize("sizes", SPLITS, ids=["whole", "mixed", "sevens"])
@pytest.mark.parametrize("rate", DDC_RATES)
def test_ddc_equals_the_native_calls_bit_for_bit(rate, sizes):
    x = iq(20011)
    ref = NativeDDC("ddc", -0.11, rate)
    want = [ref.process(x[:9000])]
    ref.set_norm_freq(0.27)
    want.append(ref.process(x[9000:]))
    got = []
    with DDC(-0.11, rate, atten_db=None) as ddc:
        for s in pieces(9000, sizes):
            got.append(ddc.process(x[s]))
        ddc.norm_freq = 0.27
        for s in pieces(len(x) - 9000, sizes):
            got.append(ddc.process(x[9000:][s]))
    assert bits_equal(np.concatenate(got), np.concatenate(want))


@pytest.mark.parametrize("kind,rate", [("ddc", 0.05), ("ddc", 1.5), ("ddcr", 0.1), ("ddcr", 0.013)])
def test_designed_plans_equal_the_native_designed_calls(kind, rate):
    x = iq(12001) if kind == "ddc" else real(12001)
    ref = NativeDDC(kind, -0.3, rate, atten_db=95.0)
    cls = DDC if kind == "ddc" else DDCR
    with cls(-0.3, rate, atten_db=95.0) as conv:
        got = [conv.process(x[s]) for s in pieces(len(x), [1, 500, 3])]
        assert conv.atten_db == 95.0
    assert bits_equal(np.concatenate(got), ref.process(x))


@pytest.mark.parametrize("atten_db", [None, 80.0])
@pytest.mark.parametrize("kind,rate", [
    *[pytest.param("ddc", r) for r in DDC_RATES],
    *[pytest.param("ddcr", r) for r in (0.25, 0.1, 0.013, 2 ** -9)],
])
def test_output_is_sized_by_the_tight_bound_of_this_state(kind, rate, atten_db):
    x = iq(30011) if kind == "ddc" else real(30011)
    cls = DDC if kind == "ddc" else DDCR
    ref = NativeDDC(kind, -0.2, rate) if atten_db is None else None
    with cls(-0.2, rate, atten_db=atten_db) as conv:
        for s in pieces(len(x), [1, 4093, 2, 10007, 64]):
            n = s.stop - s.start
            room = conv.capacity(n)
            y = conv.process(x[s])
            assert y.base is not None and len(y.base) == room  # what was allocated
            assert len(y) <= room <= rate * n + 4
            if ref is not None:  # the count is the native call's, block by block
                assert ref.capacity(n) == room
                assert bits_equal(y, ref.process(x[s]))


@pytest.mark.parametrize("cls,make", [
    (DDC, lambda x: x),                                       # real float32 taken as complex
    (DDC, lambda x: x.astype(np.complex64)[::-1][::-1]),       # a view, contiguous
    (DDC, lambda x: np.repeat(x.astype(np.complex64), 2)[::2]),  # strided: copied
    (DDCR, lambda x: np.repeat(x, 3)[::3]),
    (DDCR, lambda x: x.astype(">f4")),                        # byte-swapped: converted
    (DDCR, lambda x: x.tolist()),                             # a list of Python floats
    (DDCR, lambda x: x.astype(np.int16)),                     # casts safely
])
def test_inputs_that_cast_safely_are_taken(cls, make):
    x = np.round(real(5000) * 100).astype(np.float32)
    want = x.astype(np.complex64) if cls is DDC else x
    with cls(0.1, 0.25) as a, cls(0.1, 0.25) as b:
        assert bits_equal(a.process(make(x)), b.process(want))


# --- threads ------------------------------------------------------------------------


def test_two_threads_on_two_objects_give_the_single_threaded_results():
    z, x = iq(400_000), real(400_000)
    want = [DDC(0.2, 0.05).process(z), DDCR(-0.9, 0.1).process(x)]
    convs = [DDC(0.2, 0.05), DDCR(-0.9, 0.1)]
    got = [[], []]
    start = threading.Barrier(2)

    def run(i, data):
        start.wait()
        for s in pieces(len(data), [65536, 1, 30011]):
            got[i].append(convs[i].process(data[s]))

    threads = [threading.Thread(target=run, args=(i, d)) for i, d in enumerate((z, x))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, want):
        assert bits_equal(np.concatenate(g), w)


OPS = {
    "process": lambda c: c.process(np.zeros(16, np.float32)),
    "reset": lambda c: c.reset(),
    "retune": lambda c: setattr(c, "norm_freq", 0.3),
    "capacity": lambda c: c.capacity(100),
    "close": lambda c: c.close(),
}


@pytest.mark.parametrize("cls", [DDC, DDCR])
@pytest.mark.parametrize("op", list(OPS))
def test_a_second_thread_is_refused_while_one_processes(cls, op):
    conv = cls(-0.7, 0.1)
    big = np.zeros(1 << 22, np.complex64 if cls is DDC else np.float32)
    halt, errors = threading.Event(), []

    def work():
        while not halt.is_set():
            try:
                conv.process(big)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

    worker = threading.Thread(target=work)
    worker.start()
    try:
        # capacity() is refused exactly while the worker is inside a block;
        # the operation under test follows at once, within that block.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                conv.capacity(1)
            except RuntimeError:
                break
        with pytest.raises(RuntimeError, match=f"^{cls.__name__} is in use by another thread$"):
            OPS[op](conv)
    finally:
        halt.set()
        worker.join()
    assert errors == [] and not conv.closed and conv.norm_freq == -0.7


# --- refused input ----------------------------------------------------------------

BAD = [
    # (kinds, call, error, message)
    ("both", lambda c, x: c.process(None), TypeError, "not None"),
    ("ddcr", lambda c, x: c.process(x.astype(np.float64)), TypeError,
     r"float64, which does not cast safely to float32: pass float32"),
    ("ddc", lambda c, x: c.process(x.astype(np.complex128)), TypeError,
     r"complex128, which does not cast safely to complex64: pass complex64"),
    ("ddc", lambda c, x: c.process(x.real.astype(np.float64)), TypeError, "pass complex64"),
    ("ddcr", lambda c, x: c.process(x.astype(np.complex64)), TypeError, "use DDC"),
    ("both", lambda c, x: c.process(np.arange(9, dtype=np.int32)), TypeError, "int32"),
    ("both", lambda c, x: c.process(["a", "b"]), TypeError, "does not cast safely"),
    ("both", lambda c, x: c.process(x, out=np.zeros(9000, np.complex128)), TypeError,
     "writable ndarray"),
    ("both", lambda c, x: c.process(x, out=[0j] * 9000), TypeError, "writable ndarray"),
    ("both", lambda c, x: c.process(x, out=np.zeros((90, 100), np.complex64)), TypeError,
     "one-dimensional"),
    ("both", lambda c, x: c.process(x, out=np.broadcast_to(np.complex64(0), (9000,))), TypeError,
     "writable"),
    ("both", lambda c, x: c.process(x, out=np.zeros(c.capacity(len(x)) - 1, np.complex64)),
     ValueError, "may need"),
    ("both", lambda c, x: setattr(c, "norm_freq", math.nan), ValueError, "finite"),
    ("both", lambda c, x: setattr(c, "norm_freq", "fast"), TypeError, "real number"),
    ("both", lambda c, x: c.capacity(-1), ValueError, "negative"),
]


@pytest.mark.parametrize("kind,case", [(k, i) for i, case in enumerate(BAD)
                                       for k in ("ddc", "ddcr") if case[0] in ("both", k)])
def test_refused_input_consumes_nothing(kind, case):
    _, call, error, match = BAD[case]
    cls = DDC if kind == "ddc" else DDCR
    x = iq(20000) if kind == "ddc" else real(20000)
    with cls(-0.31, 0.1) as ref, cls(-0.31, 0.1) as conv:
        want = ref.process(x)
        head = conv.process(x[:7001])
        with pytest.raises(error, match=match):
            call(conv, x[7001:16001])
        tail = conv.process(x[7001:])
        assert conv.norm_freq == -0.31
    assert bits_equal(np.concatenate([head, tail]), want)


@pytest.mark.parametrize("cls", [DDC, DDCR])
def test_closed_objects_refuse_everything_but_close(cls):
    conv = cls(0.1, 0.25)
    y = conv.process(np.ones(256, np.float32))
    conv.close()
    conv.close()
    assert conv.closed and "closed" in repr(conv)
    for use in (lambda: conv.process(np.ones(4, np.float32)), conv.reset, lambda: conv.norm_freq,
                lambda: setattr(conv, "norm_freq", 0.2), lambda: conv.rate, lambda: conv.plan,
                lambda: conv.delay, lambda: conv.atten_db, lambda: conv.cost,
                lambda: conv.capacity(4), lambda: conv.__enter__()):
        with pytest.raises(RuntimeError, match=f"^{cls.__name__} is closed$"):
            use()
    assert np.isfinite(y).all()


@pytest.mark.parametrize("cls,rate", [(DDC, 0.05), (DDC, 3.0), (DDCR, 0.01)])
@pytest.mark.parametrize("atten_db", [None, 60.0])
def test_plan_description(cls, rate, atten_db):
    with cls(0.1, rate, atten_db=atten_db) as conv:
        assert conv.rate == rate and conv.atten_db == atten_db
        assert conv.plan and all(isinstance(s, str) and s for s in conv.plan)
        assert math.isfinite(conv.delay) and conv.delay >= 0.0
        assert math.isfinite(conv.cost) and conv.cost >= 0.0
        assert repr(conv) == f"{cls.__name__}(norm_freq=0.1, rate={rate!r}, atten_db={atten_db!r})"


# --- refused arguments -------------------------------------------------------------

DDC_REFUSED = [0.0, -1.0, math.nan, math.inf, 2.0 ** 32, 2.0 ** -32]
DDCR_REFUSED = [0.0, -0.1, 0.5, 0.75, math.nan, math.inf, 2.0 ** -33]
# only the exact plans stop at powers of two below these
DDC_EXACT_ONLY = [1e-5, 1.0001 * 2 ** -14]
DDCR_EXACT_ONLY = [1e-5]


@pytest.mark.parametrize("atten_db", [None, 80.0])
@pytest.mark.parametrize("cls,rate", [(DDC, r) for r in DDC_REFUSED + DDC_EXACT_ONLY]
                         + [(DDCR, r) for r in DDCR_REFUSED + DDCR_EXACT_ONLY])
def test_a_rate_the_library_refuses_is_a_value_error_with_the_range(cls, rate, atten_db):
    if atten_db is not None and rate in DDC_EXACT_ONLY + DDCR_EXACT_ONLY:
        assert cls(0.1, rate, atten_db=atten_db).rate == rate
        return
    if cls is DDC:
        wanted = r"\(2\^-32, 2\^32\).*2\^-13" if atten_db is None else r"\(2\^-32, 2\^31\)"
    else:
        wanted = r"\(0, 0.5\)|\(2\^-33, 0.5\)" + (r".*2\^-14" if atten_db is None else "")
    with pytest.raises(ValueError, match=wanted):
        cls(0.1, rate, atten_db=atten_db)


@pytest.mark.parametrize("kind,rate", [
    *[("ddc", r) for r in DDC_REFUSED + DDC_EXACT_ONLY + [2.0 ** -31, 2.0 ** -13, 1 / 8191.5, 1 / 8192.5, 0.77,
                                         2.0 ** 31, 4095.9]],
    *[("ddcr", r) for r in DDCR_REFUSED + DDCR_EXACT_ONLY + [2.0 ** -32, 2.0 ** -14, 1 / 16383, 1 / 16385, 0.4999]],
])
@pytest.mark.parametrize("atten_db", [None, 80.0])
def test_the_rate_check_agrees_with_the_native_create(kind, rate, atten_db):
    # So that a null from create can only mean exhausted memory.
    if atten_db is None:
        h = getattr(lib, f"{kind}_create")(0.1, rate)
    else:
        h = getattr(lib, f"{kind}_create_designed")(0.1, rate, atten_db)
    getattr(lib, f"{kind}_destroy")(h)
    try:
        _core.check(kind, rate, atten_db)
        accepted = True
    except ValueError:
        accepted = False
    assert accepted == bool(h)


@pytest.mark.parametrize("cls", [DDC, DDCR])
@pytest.mark.parametrize("atten_db,error,match", [
    (math.nan, ValueError, r"\[40, 120\] dB"), (39.9, ValueError, r"\[40, 120\]"),
    (120.5, ValueError, r"\[40, 120\]"), (-math.inf, ValueError, r"\[40, 120\]"),
    ("80", TypeError, "number of dB"), ([80], TypeError, "number of dB"),
    (True, TypeError, "number of dB"), (80j, TypeError, "number of dB"),
])
def test_bad_atten_db(cls, atten_db, error, match):
    with pytest.raises(error, match=match):
        cls(0.1, 0.25, atten_db=atten_db)


@pytest.mark.parametrize("atten_db", [40, 120.0, np.float32(55.5), np.int64(100)])
def test_atten_db_takes_any_real_number_in_range(atten_db):
    assert DDC(0.1, 0.25, atten_db=atten_db).atten_db == float(atten_db)


@pytest.mark.parametrize("cls", [DDC, DDCR])
@pytest.mark.parametrize("norm_freq,error", [(math.nan, ValueError), (-math.inf, ValueError),
                                             ("0.1", TypeError), (None, TypeError)])
def test_norm_freq_must_be_a_finite_number(cls, norm_freq, error):
    with pytest.raises(error):
        cls(norm_freq, 0.25)


# --- tuning in Hz --------------------------------------------------------------------


def test_tuned_converters_bring_the_carrier_to_dc():
    fs = 1e6
    t = np.arange(65536)
    x = np.cos(2 * np.pi * 180e3 / fs * t).astype(np.float32)
    z = np.exp(-2j * np.pi * 310e3 / fs * t).astype(np.complex64)
    ddcr = DDCR.tuned(carrier=180e3, fs=fs, fs_out=50e3)
    ddc = DDC.tuned(carrier=-310e3, fs=fs, fs_out=62.5e3, atten_db=None)
    up = DDC.tuned(carrier=-310e3, fs=fs, fs_out=2.5e6)
    assert (ddcr.rate, ddc.rate, up.rate) == (0.05, 0.0625, 2.5)
    assert ddc.atten_db is None and ddcr.atten_db == 80.0
    for conv, sig in ((ddcr, x), (ddc, z), (up, z)):
        y = conv.process(sig)
        assert int(np.argmax(np.abs(np.fft.fft(y[len(y) // 8:])))) == 0


@pytest.mark.parametrize("cls,kw,match", [
    (DDCR, dict(carrier=0.0, fs=48e3, fs_out=6e3), r"outside \(0, fs/2\) = \(0, 24000\) Hz"),
    (DDCR, dict(carrier=24e3, fs=48e3, fs_out=6e3), r"outside \(0, fs/2\)"),
    (DDCR, dict(carrier=-6e3, fs=48e3, fs_out=6e3), r"outside \(0, fs/2\)"),
    (DDCR, dict(carrier=2e3, fs=48e3, fs_out=6e3), r"band -1000 to 5000 Hz .* leaves \[0, fs/2\]"),
    (DDCR, dict(carrier=12e3, fs=48e3, fs_out=24e3), r"fs_out 24000 Hz from fs 48000 Hz: rate"),
    (DDCR, dict(carrier=12e3, fs=48e3, fs_out=0.0), "fs_out must be positive"),
    (DDCR, dict(carrier=math.nan, fs=48e3, fs_out=6e3), "carrier must be finite"),
    (DDCR, dict(carrier=12e3, fs=-48e3, fs_out=6e3), "fs must be positive"),
    (DDC, dict(carrier=1e6, fs=2e6, fs_out=1e5), r"outside \(-fs/2, fs/2\) = \(-1e\+06, 1e\+06\)"),
    (DDC, dict(carrier=-1e6, fs=2e6, fs_out=1e5), r"outside \(-fs/2, fs/2\)"),
    (DDC, dict(carrier=0.0, fs=2e6, fs_out=1.0), r"fs_out 1 Hz from fs 2e\+06 Hz: rate .*2\^-13"),
    (DDC, dict(carrier=0.0, fs=2e6, fs_out=math.inf), "fs_out must be positive and finite"),
])
def test_tuned_refuses_what_the_converter_cannot_serve(cls, kw, match):
    with pytest.raises(ValueError, match=match):
        cls.tuned(**kw)


def test_tuned_passes_atten_db_through_and_checks_it():
    assert DDCR.tuned(carrier=12e3, fs=48e3, fs_out=6e3, atten_db=110).atten_db == 110.0
    with pytest.raises(ValueError, match=r"\[40, 120\]"):
        DDC.tuned(carrier=12e3, fs=48e3, fs_out=6e3, atten_db=10)


# --- memory --------------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from quorvel.ddc import DDC, DDCR

    n = 1 << 22
    rng = np.random.default_rng(3)
    for cls, dt in ((DDC, np.complex64), (DDCR, np.float32)):
        x = rng.standard_normal(2 * n).astype(np.float32).view(np.complex64) if dt is np.complex64 \\
            else rng.standard_normal(n).astype(np.float32)
        head, tail = x[:1001], x[1001:1001 + 999]
        conv, ref = cls(0.1, 0.05, atten_db=None), cls(0.1, 0.05, atten_db=None)
        out = np.ones(conv.capacity(n), np.complex64)
        a = [conv.process(head).copy()]
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 20), hard))
        try:
            conv.process(x, out=out)
            outcome = "ran"
        except MemoryError:
            outcome = "refused"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        a.append(conv.process(tail).copy())
        b = [ref.process(head), ref.process(tail)]
        same = all(p.tobytes() == q.tobytes() for p, q in zip(a, b))
        print(cls.__name__, outcome, same)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc/self/status")
@pytest.mark.skipif(os.environ.get("DDC_SANITIZED") == "1",
                    reason="AddressSanitizer's reservations defeat an address-space cap")
@pytest.mark.skipif(resource.getrlimit(resource.RLIMIT_AS)[0] != resource.RLIM_INFINITY,
                    reason="address space already limited")
def test_failed_native_allocation_is_a_memory_error_and_consumes_nothing():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["DDC refused True", "DDCR refused True"]
