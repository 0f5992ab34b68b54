"""Plain NumPy model of the polyphase resampler, written from the algorithm.

Every float32 step is reproduced exactly: products by NumPy float32, fused
multiply-adds by ``fmaf`` (exact product in double, round-to-odd sum, then one
rounding to float32), so the model and the library can be compared bit for bit.
"""
import ctypes

import numpy as np

from native import Handle, c64, fmaf, lib, ptr

F32 = np.float32
TWO32 = 1 << 32



def _tree16(p):
    q = [(p[4 + l] + p[l]) + (p[8 + l] + p[12 + l]) for l in range(4)]
    return (q[0] + q[1]) + (q[2] + q[3])


def dot_part(c, x):
    """One real part of the T-tap dot product in the library's fixed order."""
    c = np.asarray(c, F32)
    x = np.asarray(x, F32)
    T = len(c)
    s = F32(0.0)
    k = 0
    if T >= 16:
        lanes = np.zeros(16, F32)
        body = T // 16 * 16
        for k0 in range(0, body, 16):
            lanes = fmaf(c[k0:k0 + 16], x[k0:k0 + 16], lanes)
        s = _tree16(lanes)
        k = body
    for k in range(k, T):
        s = fmaf(c[k], x[k], s)
    return F32(s)


def dot(c, window):
    """Row c dotted with the newest-first complex window."""
    w = np.asarray(window, np.complex64)
    return np.complex64(complex(dot_part(c, w.real), dot_part(c, w.imag)))


def phase_step(rate):
    v = TWO32 / rate if rate >= 1.0 else rate * TWO32
    if not v > 0:
        return 0
    return 0xFFFFFFFF if v >= TWO32 else int(v)


def phase_bits(P):
    b = 0
    while (1 << b) < P:
        b += 1
    return b


class Model:
    """The resampler's three paths over a bank of shape (P, T)."""

    def __init__(self, bank, rate):
        self.bank = np.asarray(bank, F32)
        self.P, self.T = self.bank.shape
        self.rate = rate
        self.phase = 0
        self.hist = np.zeros(self.T, np.complex64)   # newest first
        self.acc = np.zeros(self.T, np.complex64)
        self.partial = np.zeros(max(self.T - 1, 1), np.complex64)
        self.ctrl_time = 0.0

    def _row(self):
        return self.bank[self.phase >> (32 - phase_bits(self.P))]

    def _take(self, x):
        self.hist = np.concatenate(([x], self.hist[:-1])).astype(np.complex64)

    def execute(self, x, cap):
        x = np.asarray(x, np.complex64)
        if self.rate == 1.0:
            return x[:cap].copy()
        if len(x) == 0 or cap == 0:
            return np.zeros(0, np.complex64)
        step = phase_step(self.rate)
        out = []
        if self.rate >= 1.0:
            i = 0
            while True:
                out.append(dot(self._row(), self.hist))
                nxt = self.phase + step
                self.phase = nxt % TWO32
                if nxt >= TWO32:
                    self._take(x[i])
                    i += 1
                if i == len(x) or len(out) == cap:
                    break
        else:
            g = F32(self.rate)
            for xi in x:
                w = self._row()[::-1] * g
                re = fmaf(w, F32(xi.real), self.acc.real)
                im = fmaf(w, F32(xi.imag), self.acc.imag)
                self.acc.real, self.acc.imag = re, im
                nxt = self.phase + step
                self.phase = nxt % TWO32
                if nxt >= TWO32:
                    T = self.T
                    if T == 1:
                        y = self.acc[0]
                    else:
                        y = self.acc[0] + self.partial[0]
                        p = self.partial
                        for j in range(T - 2):
                            p[j] = p[j + 1] + self.acc[j + 1]
                        p[T - 2] = self.acc[T - 1]
                    self.acc[:] = 0
                    out.append(y)
                    if len(out) == cap:
                        break
        return np.array(out, np.complex64)

    def execute_ctrl(self, x, ctrl, cap):
        out = []
        if len(x) == 0 or cap == 0:
            return np.zeros(0, np.complex64)
        for xi, ci in zip(np.asarray(x, np.complex64), np.asarray(ctrl, F32)):
            self._take(xi)
            self.ctrl_time = (self.rate + self.ctrl_time) + float(ci)
            while self.ctrl_time >= 1.0 and len(out) < cap:
                self.ctrl_time -= 1.0
                r = min(int(self.ctrl_time * self.P), self.P - 1)
                out.append(dot(self.bank[r], self.hist))
            if len(out) == cap:
                break
        return np.array(out, np.complex64)


# --- the library side ---------------------------------------------------------

def builtin(rate):
    return Handle(lib.resamp_create(rate), lib.resamp_destroy)


def custom(bank, rate):
    bank = np.ascontiguousarray(bank, F32)
    P, T = bank.shape
    return Handle(lib.resamp_create_custom(P, T, ptr(bank), rate), lib.resamp_destroy)


def bank_of(h):
    P = lib.resamp_get_num_phases(h.p)
    T = lib.resamp_get_num_taps(h.p)
    raw = ctypes.cast(lib.resamp_get_bank(h.p), ctypes.POINTER(ctypes.c_float))
    return np.ctypeslib.as_array(raw, shape=(P * T,)).reshape(P, T).copy()


def run(h, x, cap=None):
    x = c64(x)
    cap = 4 * len(x) + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = lib.resamp_execute(h.p, ptr(x), len(x), ptr(out), cap)
    return out[:n].copy()


def run_ctrl(h, x, ctrl, cap=None, imag=np.nan):
    """ctrl: float32 values (real parts); the imaginary halves hold ``imag``."""
    x = c64(x)
    c = np.full(2 * len(x), imag, F32)
    c[0::2] = ctrl
    cap = 4 * len(x) + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = lib.resamp_execute_ctrl(h.p, ptr(x), ptr(c), len(x), ptr(out), cap)
    return out[:n].copy()


def noise(n, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
