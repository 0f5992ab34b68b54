"""Object interface over the functional ``ddc_fn`` API.

`DDCR` owns one native down-converter state and hides the capsule and the
output buffer: ``process`` allocates an output that is always large enough
unless the caller brings one. Output sizing comes from the native library
itself (``ddcr_execute_capacity``), so the Python side never guesses a bound
that the C side could exceed.
"""
from __future__ import annotations

import ctypes
import math
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

import ddc_fn

__all__ = ["DDCR", "norm_freq_for", "output_capacity"]


def _capacity_function() -> Callable[[int], int]:
    # Prefer the module's own method; otherwise call the exported C symbol
    # of the already-loaded extension.
    fn = getattr(ddc_fn, "ddcr_execute_capacity", None)
    if fn is not None:
        return lambda n: int(fn(n))
    lib = ctypes.CDLL(ddc_fn.__file__)
    cfn = lib.ddcr_execute_capacity
    cfn.restype = ctypes.c_size_t
    cfn.argtypes = [ctypes.c_size_t]
    return lambda n: int(cfn(n))


_capacity: Optional[Callable[[int], int]] = None


def output_capacity(n_in: int) -> int:
    """Output capacity, in complex samples, that always suffices for a block.

    Parameters
    ----------
    n_in : int
        Number of real input samples in the block (not bytes).

    Returns
    -------
    int
        A number of ``complex64`` samples such that one call of
        `DDCR.process` (or ``ddcr_execute``) on ``n_in`` inputs never has
        to drop output, whatever the state's rate and history.

    Raises
    ------
    ValueError
        If `n_in` is negative.

    Examples
    --------
    >>> from quorvel.ddc import output_capacity
    >>> output_capacity(4096) >= 4096 * 0.5
    True
    >>> output_capacity(0) >= 0
    True
    """
    global _capacity
    n = int(n_in)
    if n < 0:
        raise ValueError(f"n_in must not be negative, got {n}")
    if _capacity is None:
        _capacity = _capacity_function()
    return _capacity(n)


def norm_freq_for(carrier: float, fs: Optional[float] = None) -> float:
    """Oscillator setting that brings a real carrier to 0 Hz.

    The DDCR's oscillator runs at the intermediate rate ``fs_in / 2`` after a
    fixed fs/4 shift, so a carrier at ``f`` (normalised to ``fs_in``) needs
    ``norm_freq = -(2 * f + 0.5)``.

    Parameters
    ----------
    carrier : float
        Carrier frequency: in Hz when `fs` is given, otherwise normalised to
        the input sample rate (cycles per input sample).
    fs : float, optional
        Input sample rate in Hz.

    Returns
    -------
    float
        The ``norm_freq`` to pass to `DDCR` or ``ddcr_create``.

    Raises
    ------
    ValueError
        If `carrier` is not finite, or `fs` is not positive and finite.

    Examples
    --------
    >>> from quorvel.ddc import norm_freq_for
    >>> norm_freq_for(0.1)
    -0.7
    >>> norm_freq_for(12_000.0, fs=48_000.0)
    -1.0
    """
    f = float(carrier)
    if not math.isfinite(f):
        raise ValueError(f"carrier must be finite, got {carrier!r}")
    if fs is not None:
        rate_in = float(fs)
        if not (math.isfinite(rate_in) and rate_in > 0.0):
            raise ValueError(f"fs must be positive and finite, got {fs!r}")
        f = f / rate_in
    return -(2.0 * f + 0.5)


def _check_rate(rate: float) -> float:
    r = float(rate)
    if not (0.0 < r < 0.5):
        raise ValueError(f"rate must lie in the open interval (0, 0.5), got {rate!r}")
    return r


class DDCR:
    """Real-input digital down-converter.

    Takes blocks of real ``float32`` samples at ``fs_in``, moves the carrier
    selected by `norm_freq` to 0 Hz, filters and decimates, and returns
    ``complex64`` baseband at ``fs_out = rate * fs_in``. The state keeps its
    filter history and phase between calls: feeding a signal in blocks of any
    sizes gives bit-identical output to feeding it at once.

    One thread at a time per instance; distinct instances run in parallel
    (processing releases the interpreter lock).

    Parameters
    ----------
    norm_freq : float
        Oscillator frequency at the intermediate rate ``fs_in / 2``; use
        `norm_freq_for` to derive it from a carrier.
    rate : float
        Output-to-input rate ratio ``fs_out / fs_in``, in the open interval
        (0, 0.5).

    Raises
    ------
    ValueError
        If `rate` lies outside (0, 0.5).
    MemoryError
        If the native state cannot be allocated.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.ddc import DDCR, norm_freq_for
    >>> x = np.cos(2 * np.pi * 0.1 * np.arange(4096)).astype(np.float32)
    >>> with DDCR(norm_freq_for(0.1), 0.25) as ddc:
    ...     y = ddc.process(x)
    >>> y.dtype, len(y)
    (dtype('complex64'), 1024)
    >>> int(np.argmax(np.abs(np.fft.fft(y[256:]))))
    0
    """

    def __init__(self, norm_freq: float, rate: float) -> None:
        self._state: Any = None
        self._rate = _check_rate(rate)
        self._state = ddc_fn.ddcr_create(float(norm_freq), self._rate)

    # -- processing -----------------------------------------------------------

    def process(self, x: npt.ArrayLike,
                out: Optional[npt.NDArray[np.complex64]] = None) -> npt.NDArray[np.complex64]:
        """Down-convert one block.

        Parameters
        ----------
        x : array_like of float32
            Real input samples, read as a flat C-contiguous ``float32`` block.
            An ndarray must cast to ``float32`` safely (a ``float64`` array
            is refused rather than rounded: convert it with
            ``.astype(np.float32)``); a list or other sequence is converted.
        out : ndarray of complex64, optional
            Writable, C-contiguous output buffer of at least
            ``output_capacity(len(x))`` samples. Allocated when omitted.

        Returns
        -------
        ndarray of complex64
            The samples produced, a view ``out[:n_out]``.

        Raises
        ------
        RuntimeError
            If the converter has been closed.
        ValueError
            If `out` is smaller than ``output_capacity(len(x))``.
        TypeError
            If `out` is not a writable ``complex64`` ndarray.

        Examples
        --------
        >>> import numpy as np
        >>> from quorvel.ddc import DDCR
        >>> ddc = DDCR(-0.7, 0.25)
        >>> len(ddc.process(np.zeros(64, np.float32)))
        16
        >>> buf = np.empty(4096, np.complex64)
        >>> y = ddc.process(np.zeros(4096, np.float32), out=buf)
        >>> len(y), np.shares_memory(y, buf)
        (1024, True)
        >>> ddc.close()
        """
        state = self._live()
        xa = x if isinstance(x, np.ndarray) else np.asarray(x, dtype=np.float32)
        need = output_capacity(xa.size)
        if out is None:
            out = np.empty(need, dtype=np.complex64)
        elif isinstance(out, np.ndarray) and out.size < need:
            raise ValueError(
                f"out holds {out.size} samples but a block of {xa.size} inputs may need {need}")
        return ddc_fn.ddcr_execute(state, xa, out)

    def reset(self) -> None:
        """Clear all filter history and the oscillator phase; keep tuning and rate.

        Examples
        --------
        >>> import numpy as np
        >>> from quorvel.ddc import DDCR
        >>> x = np.random.default_rng(1).standard_normal(1000).astype(np.float32)
        >>> ddc = DDCR(-0.7, 0.2)
        >>> a = ddc.process(x).copy()
        >>> ddc.reset()
        >>> bool(np.array_equal(a, ddc.process(x)))
        True
        """
        ddc_fn.ddcr_reset(self._live())

    # -- tuning ---------------------------------------------------------------

    @property
    def norm_freq(self) -> float:
        """Oscillator frequency at ``fs_in / 2``; setting it retunes in place.

        Retuning keeps every filter history and the oscillator phase, so
        there is no transient at the boundary.

        Examples
        --------
        >>> from quorvel.ddc import DDCR, norm_freq_for
        >>> ddc = DDCR(norm_freq_for(0.18), 0.1)
        >>> ddc.norm_freq
        -0.86
        >>> ddc.norm_freq = norm_freq_for(0.14)
        >>> ddc.norm_freq
        -0.78
        """
        return float(ddc_fn.ddcr_get_norm_freq(self._live()))

    @norm_freq.setter
    def norm_freq(self, value: float) -> None:
        ddc_fn.ddcr_set_norm_freq(self._live(), float(value))

    @property
    def rate(self) -> float:
        """Output-to-input rate ratio ``fs_out / fs_in`` (read-only).

        Examples
        --------
        >>> from quorvel.ddc import DDCR
        >>> DDCR(-0.7, 0.25).rate
        0.25
        """
        return float(ddc_fn.ddcr_get_rate(self._live()))

    # -- lifetime -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once `close` has been called."""
        return self._state is None

    def close(self) -> None:
        """Release the native state now. Calling it again does nothing.

        Views returned by `process` stay valid: they belong to their output
        buffers, not to the converter.
        """
        state, self._state = self._state, None
        if state is not None:
            ddc_fn.ddcr_destroy(state)

    def __enter__(self) -> "DDCR":
        self._live()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._state is None:
            return f"<DDCR closed, rate={self._rate!r}>"
        return f"DDCR(norm_freq={self.norm_freq!r}, rate={self._rate!r})"

    def _live(self) -> Any:
        if self._state is None:
            raise RuntimeError("DDCR is closed")
        return self._state
