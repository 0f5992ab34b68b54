"""The converters the command line drives, behind one small interface.

`open_converter` builds the real-input DDCR or the complex-input DDC of the
package. A build whose converters take no ``atten_db`` has only the exact
plans; one without the DDC class reaches the complex converter through the
``ddc_*`` functions that ``ddc_fn`` exports (`_NativeDDC`).
"""
from __future__ import annotations

import ctypes
import inspect
import math
import re
from typing import Any, List, Optional, Tuple

import numpy as np

# Rates each converter accepts (open intervals).
REAL_RATES = (0.0, 0.5)
COMPLEX_RATES = (2.0 ** -32, 2.0 ** 32)


def _lib() -> ctypes.CDLL:
    import ddc_fn

    lib = ctypes.CDLL(ddc_fn.__file__)
    P, D, S = ctypes.c_void_p, ctypes.c_double, ctypes.c_size_t
    for name, res, args in (
        ("ddc_create", P, [D, D]), ("ddc_destroy", None, [P]), ("ddc_reset", None, [P]),
        ("ddc_execute", S, [P, P, S, P, S]), ("ddc_execute_capacity", S, [P, S]),
        ("ddc_get_rate", D, [P]), ("ddc_get_norm_freq", D, [P]),
        ("RateConverter_create", P, [ctypes.c_int, D]), ("RateConverter_destroy", None, [P]),
        ("RateConverter_get_num_stages", ctypes.c_int, [P]),
        ("RateConverter_stage_label", ctypes.c_int, [P, ctypes.c_int, ctypes.c_char_p, S]),
    ):
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
    return lib


_LIB: Optional[ctypes.CDLL] = None


def lib() -> ctypes.CDLL:
    global _LIB
    if _LIB is None:
        _LIB = _lib()
    return _LIB


class _NativeDDC:
    """Complex-input DDC through the exported C functions (exact plan only)."""

    def __init__(self, norm_freq: float, rate: float) -> None:
        self._s = lib().ddc_create(float(norm_freq), float(rate))
        if not self._s:
            raise ValueError(f"the library refuses rate {rate!r}")
        self.rate = float(rate)
        self.norm_freq = float(norm_freq)

    def capacity(self, n: int) -> int:
        return int(lib().ddc_execute_capacity(self._s, n))

    def process(self, x: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        x = np.ascontiguousarray(x, np.complex64)
        if out is None:
            out = np.empty(self.capacity(len(x)), np.complex64)
        n = lib().ddc_execute(self._s, x.ctypes.data, len(x), out.ctypes.data, len(out))
        return out[:n]

    def reset(self) -> None:
        lib().ddc_reset(self._s)

    def close(self) -> None:
        s, self._s = self._s, None
        if s:
            lib().ddc_destroy(s)


def complex_class() -> Any:
    import quorvel.ddc as package

    return getattr(package, "DDC", None) or _NativeDDC


def designed() -> bool:
    """True when the converters take ``atten_db`` (designed plans)."""
    from .api import DDCR

    return "atten_db" in inspect.signature(DDCR).parameters


def _exact_labels(is_complex: bool, rate: float) -> Optional[Tuple[str, ...]]:
    # The exact plans are one fixed half-band (real input only) and the rate
    # converter's own cascade, which the library labels.
    try:
        rc = lib().RateConverter_create(0, rate if is_complex else 2.0 * rate)
    except AttributeError:
        return None
    if not rc:
        return None
    try:
        buf = ctypes.create_string_buffer(128)
        labels: List[str] = [] if is_complex else ["HalfbandR2C"]
        for i in range(lib().RateConverter_get_num_stages(rc)):
            lib().RateConverter_stage_label(rc, i, buf, len(buf))
            labels.append(buf.value.decode())
        return tuple(labels)
    finally:
        lib().RateConverter_destroy(rc)


class Converter:
    """One open converter: `process`, `capacity`, and what it knows of its plan.

    ``plan`` (stage labels), ``delay`` (group delay in output samples) and
    ``cost`` (multiply-adds per input sample) are None where the build does
    not say.
    """

    def __init__(self, is_complex: bool, norm_freq: float, rate: float,
                 atten_db: Optional[float]) -> None:
        from .api import DDCR, output_capacity

        self.is_complex = is_complex
        self.rate = rate
        self.atten_db = atten_db
        cls = complex_class() if is_complex else DDCR
        kwargs = {"atten_db": atten_db} if designed() else {}
        self.obj = cls(norm_freq, rate, **kwargs)
        self.process = self.obj.process
        own = getattr(self.obj, "capacity", None) or getattr(self.obj, "output_capacity", None)
        if callable(own):
            self.capacity = own
        elif not is_complex:
            self.capacity = output_capacity
        else:
            self.capacity = self._complex_capacity
        plan = getattr(self.obj, "plan", None)
        self.plan: Optional[Tuple[str, ...]] = (
            tuple(plan) if plan is not None else
            _exact_labels(is_complex, rate) if atten_db is None else None)
        delay = getattr(self.obj, "delay", None)
        self.delay: Optional[float] = float(delay) if delay is not None else None
        cost = getattr(self.obj, "cost", None)
        self.cost: Optional[float] = float(cost) if cost is not None else None

    def _complex_capacity(self, n: int) -> int:
        # The DDC's own bound: max(n, 2) when decimating; interpolating, the
        # resampler's ceil(n * 2^32 / floor(2^32 / rate)).
        if n == 0:
            return 0
        if self.rate <= 1.0:
            return max(n, 2)
        step = math.floor(2.0 ** 32 / self.rate)
        return -(-n * 2 ** 32 // step) + 2

    def close(self) -> None:
        self.obj.close()


def open_converter(is_complex: bool, norm_freq: float, rate: float,
                   atten_db: Optional[float]) -> Converter:
    return Converter(is_complex, norm_freq, rate, atten_db)


# -- labels ---------------------------------------------------------------------------

_FACTOR = (
    (re.compile(r"resampl\w*\s*\(\s*([0-9.eE+-]+)", re.I), lambda m: float(m.group(1))),
    (re.compile(r"\bcic\w*\s*\(\s*(\d+)", re.I), lambda m: 1.0 / int(m.group(1))),
    (re.compile(r"(?:/|:|\bx\s*1/|decim\w*\s*)(\d+)\b", re.I), lambda m: 1.0 / int(m.group(1))),
    (re.compile(r"half.?band|\bhb", re.I), lambda m: 0.5),
)
_TAPS = (
    re.compile(r"(\d+)\s*-?\s*taps?\b", re.I),
    re.compile(r"^(?:fir|hb|half\w*)\s*\(\s*(\d+)\s*\)", re.I),
)


def stage_table(labels: Tuple[str, ...], rate: float) -> List[Tuple[str, float, float, Optional[int]]]:
    """(label, input rate, output rate, taps) per stage, rates relative to fs_in.

    Factors and tap counts are read from the labels; a stage whose factor the
    label does not give takes what the others leave of the total rate.
    """
    factors: List[Optional[float]] = []
    taps: List[Optional[int]] = []
    for label in labels:
        f: Optional[float] = None
        for pattern, value in _FACTOR:
            m = pattern.search(label)
            if m:
                f = value(m)
                break
        factors.append(f)
        t = None
        for pattern in _TAPS:
            m = pattern.search(label)
            if m:
                t = int(m.group(1))
                break
        taps.append(t)
    unknown = [i for i, f in enumerate(factors) if f is None]
    if len(unknown) == 1:
        known = math.prod(f for f in factors if f is not None)
        factors[unknown[0]] = rate / known
    rows = []
    r = 1.0
    for label, f, t in zip(labels, factors, taps):
        nxt = r * f if f is not None else float("nan")
        rows.append((label, r, nxt, t))
        r = nxt
    return rows
