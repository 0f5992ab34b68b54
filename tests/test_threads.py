"""Threads: own states in parallel stay exact, shared-state misuse is refused cleanly.

Processing runs without the interpreter lock (ddc_fn) or inside ctypes calls,
which also release it, so the threads below really overlap. Every stream a
thread owns must equal, bit for bit, the same script run on one thread; every
misuse of a shared state must end in success or a clear RuntimeError.
"""
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from ddc_fn import (ddcr_create, ddcr_destroy, ddcr_execute, ddcr_get_norm_freq, ddcr_reset,
                    ddcr_set_norm_freq)
from native import HB_TABLE, Handle, c64, f32, lib, ptr

BUSY = "ddcr_state is in use by another thread"
DESTROYED = "ddcr_state has already been destroyed"


def _script(seed, n_steps=40):
    """A stream of steps: ("x", block), ("retune", f) or ("reset",)."""
    rng = np.random.default_rng(seed)
    steps = []
    for _ in range(n_steps):
        r = rng.random()
        if r < 0.08:
            steps.append(("retune", float(-rng.random())))
        elif r < 0.12:
            steps.append(("reset",))
        else:
            n = int(rng.choice([0, 1, 7, 640, 4097, 30000]))
            steps.append(("x", rng.standard_normal(n).astype(np.float32)))
    return steps


def _play(state, steps, out):
    got = []
    for step in steps:
        if step[0] == "x":
            got.append(ddcr_execute(state, step[1], out).copy())
        elif step[0] == "retune":
            ddcr_set_norm_freq(state, step[1])
        else:
            ddcr_reset(state)
    return got


def _same(a, b):
    return len(a) == len(b) and all(x.tobytes() == y.tobytes() for x, y in zip(a, b))


class Misuser(threading.Thread):
    """Hammers the shared state in holder[0] with random operations until stopped."""

    def __init__(self, holder, seed, stop):
        super().__init__(daemon=True)
        self.holder, self.stop = holder, stop
        self.rng = np.random.default_rng(seed)
        self.x = self.rng.standard_normal(1 << 16).astype(np.float32)
        self.out = np.zeros(1 << 16, np.complex64)
        self.ok = 0
        self.refused = {BUSY: 0, DESTROYED: 0}
        self.unexpected = []

    def run(self):
        while not self.stop.is_set():
            s = self.holder[0]
            op = self.rng.integers(0, 10)
            try:
                if op < 5:
                    ddcr_execute(s, self.x[:int(self.rng.integers(0, 1 << 16))], self.out)
                elif op < 7:
                    ddcr_reset(s)
                elif op < 9:
                    ddcr_set_norm_freq(s, float(self.rng.random()))
                else:
                    ddcr_destroy(s)
                    self.holder[0] = ddcr_create(-0.3, 0.1)
                self.ok += 1
            except RuntimeError as e:
                if str(e) in self.refused:
                    self.refused[str(e)] += 1
                else:
                    self.unexpected.append(repr(e))
            except Exception as e:  # anything else is a fault
                self.unexpected.append(repr(e))


def test_own_states_stay_exact_while_a_shared_state_is_misused():
    configs = [(-0.62, 0.25), (-0.7, 0.1), (0.3, 0.0371), (-0.86, 0.4)]
    scripts = [_script(100 + k) for k in range(len(configs))]
    want = [_play(ddcr_create(f, r), sc, np.zeros(30000, np.complex64))
            for (f, r), sc in zip(configs, scripts)]

    got = [None] * len(configs)
    errors = []

    def owner(k):
        try:
            f, r = configs[k]
            got[k] = _play(ddcr_create(f, r), scripts[k], np.zeros(30000, np.complex64))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    holder = [ddcr_create(-0.3, 0.1)]
    stop = threading.Event()
    misusers = [Misuser(holder, 7 + k, stop) for k in range(3)]
    owners = [threading.Thread(target=owner, args=(k,), daemon=True) for k in range(len(configs))]
    for t in misusers + owners:
        t.start()
    deadline = time.monotonic() + 60.0
    for t in owners:
        t.join(max(0.0, deadline - time.monotonic()))
    stop.set()
    for t in misusers:
        t.join(30.0)
    assert not any(t.is_alive() for t in owners + misusers), "threads did not finish in time"
    assert errors == []
    for k in range(len(configs)):
        assert _same(got[k], want[k]), f"stream {k} differs from its single-threaded run"
    assert all(m.unexpected == [] for m in misusers), [m.unexpected for m in misusers]
    assert sum(m.ok for m in misusers) > 0
    assert sum(m.refused[BUSY] for m in misusers) > 0, "the misusers never overlapped"
    # The shared state (whichever is current) is still sound.
    ddcr_execute(holder[0], np.ones(64, np.float32), np.zeros(64, np.complex64))


def test_refused_misuse_leaves_the_running_stream_exact():
    """Resets, retunes and destroys aimed at a state while it processes are all
    refused, so its output equals an undisturbed run."""
    x = np.random.default_rng(3).standard_normal(1 << 20).astype(np.float32)
    s, ref = ddcr_create(-0.62, 0.1), ddcr_create(-0.62, 0.1)
    out = np.zeros(x.size, np.complex64)
    stop, outcomes = threading.Event(), []

    def meddle():
        ops = [lambda: ddcr_reset(s), lambda: ddcr_set_norm_freq(s, 0.123),
               lambda: ddcr_destroy(s)]
        i = 0
        while not stop.is_set():
            try:
                ops[i % 3]()
                outcomes.append("done")   # landed between two blocks
                stop.set()
            except RuntimeError as e:
                outcomes.append(str(e))
            i += 1

    got = []
    t = threading.Thread(target=meddle, daemon=True)
    ddcr_execute(s, x[:10], out)          # the state is warm before the race starts
    ddcr_execute(ref, x[:10], out)
    busy = threading.Event()

    def work():
        try:
            for k in range(4):
                busy.set()
                got.append(ddcr_execute(s, x, out).copy())
        except RuntimeError as e:         # a destroy landed between two blocks
            outcomes.append("worker: " + str(e))

    w = threading.Thread(target=work, daemon=True)
    w.start()
    busy.wait(10.0)
    t.start()
    w.join(60.0)
    stop.set()
    t.join(10.0)
    assert set(outcomes) <= {BUSY, "done", "worker: " + DESTROYED}
    assert outcomes.count("done") <= 1
    if "done" not in outcomes:            # every meddling call was refused
        assert _same(got, [ddcr_execute(ref, x, out).copy() for _ in range(4)])
        assert ddcr_get_norm_freq(s) == -0.62


# --- native handles through ctypes (which releases the interpreter lock) ----------

def _native_runs(family, seed):
    """(create, run(handle) -> output bytes, destroy) for one native family."""
    rng = np.random.default_rng(seed)
    xc = c64(rng.standard_normal(20000) + 1j * rng.standard_normal(20000))
    xr = f32(rng.standard_normal(20000))
    sizes = [1, 333, 4096, 0, 7, 10000]

    def blocks(x, fn, h, cap_of):
        outs, i = [], 0
        for n in sizes:
            b = np.ascontiguousarray(x[i:i + n])
            i += n
            cap = cap_of(n)
            o = np.zeros(max(cap, 1), np.complex64)
            k = fn(h, ptr(b), n, ptr(o), cap)
            outs.append(o[:k].tobytes())
        return b"".join(outs)

    if family == "lo":
        def run(h):
            o = np.zeros(70000, np.complex64)
            lib.lo_steps(h, 70000, ptr(o))
            return o.tobytes()
        return lambda: lib.lo_create(0.1234), run, lib.lo_destroy
    if family == "nco":
        def run(h):
            o = np.zeros(xc.size, np.complex64)
            lib.nco_mix(h, ptr(xc), xc.size, ptr(o))
            return o.tobytes()
        return lambda: lib.nco_create(-0.1234), run, lib.nco_destroy
    if family == "hbdecim_r2c":
        return (lambda: lib.hbdecim_r2c_create(19, ptr(HB_TABLE)),
                lambda h: blocks(xr, lib.hbdecim_r2c_execute, h, lambda n: n // 2 + 1),
                lib.hbdecim_r2c_destroy)
    if family == "hbdecim":
        return (lambda: lib.hbdecim_create(19, ptr(HB_TABLE)),
                lambda h: blocks(xc, lib.hbdecim_execute, h, lambda n: n // 2 + 1),
                lib.hbdecim_destroy)
    if family == "cic":
        return (lambda: lib.cic_create(16), lambda h: blocks(xc, lib.cic_execute, h, lambda n: n + 1),
                lib.cic_destroy)
    if family == "fir":
        taps = f32(rng.standard_normal(37))

        def run(h):
            o = np.zeros(xc.size, np.complex64)
            lib.fir_execute(h, ptr(xc), xc.size, ptr(o))
            return o.tobytes()
        return lambda: lib.fir_create_real(ptr(taps), 37), run, lib.fir_destroy
    if family == "resamp":
        return (lambda: lib.resamp_create(0.37), lambda h: blocks(xc, lib.resamp_execute, h, lambda n: n + 2),
                lib.resamp_destroy)
    if family == "rate_converter":
        return (lambda: lib.RateConverter_create(1, 0.0371),
                lambda h: blocks(xc, lib.RateConverter_execute, h, lambda n: n + 2),
                lib.RateConverter_destroy)
    if family == "ddc":
        return (lambda: lib.ddc_create(-0.1, 2.3),
                lambda h: blocks(xc, lib.ddc_execute, h, lambda n: 3 * n + 2), lib.ddc_destroy)
    return (lambda: lib.ddcr_create(-0.7, 0.1),
            lambda h: blocks(xr, lib.ddcr_execute, h, lambda n: max(n, 2)), lib.ddcr_destroy)


FAMILIES = ["lo", "nco", "hbdecim_r2c", "hbdecim", "cic", "fir", "resamp", "rate_converter", "ddc", "ddcr"]


def test_native_handles_of_every_family_run_in_parallel_exactly():
    plans = [_native_runs(f, 20 + i) for i, f in enumerate(FAMILIES)]
    want = []
    for create, run, destroy in plans:
        h = Handle(create(), destroy)
        want.append(run(h.p))
        h.close()
    got = {}
    errors = []
    start = threading.Barrier(2 * len(plans))

    def worker(k, rep):
        try:
            create, run, destroy = plans[k]
            h = Handle(create(), destroy)
            start.wait(30.0)
            got[(k, rep)] = run(h.p)
            h.close()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(k, rep), daemon=True)
               for k in range(len(plans)) for rep in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60.0)
    assert errors == [] and not any(t.is_alive() for t in threads)
    for (k, rep), data in got.items():
        assert data == want[k], f"{FAMILIES[k]} (thread {rep}) differs from its single-threaded run"


RACE = textwrap.dedent("""
    import sys, threading
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    from native import lib, ptr, c64

    # The first oscillators, resamplers and DDCs of the process, created all at
    # once: the oscillator tables and the resampler bank are built while others race.
    N = 8
    x = c64(np.exp(2j * np.pi * 0.01 * np.arange(4096)))

    def work(k, barrier, results):
        barrier.wait()
        lo = lib.lo_create(0.1 + 0.01 * (k % 2))
        nco = lib.nco_create(1.0 / 4096 + 0.01 * (k % 2))
        rs = lib.resamp_create(0.37)
        d = lib.ddc_create(0.05, 0.3)
        a = np.zeros(4096, np.complex64); lib.lo_steps(lo, 4096, ptr(a))
        b = np.zeros(4096, np.complex64); nb = lib.resamp_execute(rs, ptr(x), 4096, ptr(b), 4096)
        c = np.zeros(4096, np.complex64); nc = lib.ddc_execute(d, ptr(x), 4096, ptr(c), 4096)
        e = np.zeros(4096, np.complex64); lib.nco_steps(nco, 4096, ptr(e))
        results[k] = (a.tobytes(), b[:nb].tobytes(), c[:nc].tobytes(), e.tobytes())
        lib.lo_destroy(lo); lib.nco_destroy(nco); lib.resamp_destroy(rs); lib.ddc_destroy(d)

    raced = [None] * N
    barrier = threading.Barrier(N)
    ts = [threading.Thread(target=work, args=(k, barrier, raced)) for k in range(N)]
    for t in ts: t.start()
    for t in ts: t.join()
    calm = [None] * 2
    for k in range(2):
        work(k, threading.Barrier(1), calm)
    print("ok" if all(r == calm[k % 2] for k, r in enumerate(raced)) else "differ")
""")


def test_first_creations_racing_in_a_fresh_process_build_the_same_tables():
    env = dict(os.environ)
    env["DDC_FN_PATH"] = lib.path
    proc = subprocess.run([sys.executable, "-c", RACE, os.path.dirname(os.path.abspath(__file__))],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["ok"], proc.stdout + proc.stderr[-3000:]
