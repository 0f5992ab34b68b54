"""Object interface: the down-converters `DDCR` and `DDC`.

Each object owns one native converter of the private ``_core`` extension and
hides its handle and output buffers: ``process`` allocates an output sized by
the native library's own bound for this state and block, unless the caller
brings one. The native call runs without the interpreter lock, and an object
serves one thread at a time.

Both take ``atten_db``: the stop-band attenuation, in dB, that the filters of
a designed plan are built for (40 to 120, default 80), or None for the exact
plan, the fixed filters of the functional ``ddc_fn`` API (a DDCR with
``atten_db=None`` gives the same bits as ``ddcr_execute``).
"""
from __future__ import annotations

import math
from typing import Any, Literal, Optional, Tuple, Type, TypeVar

import numpy as np
import numpy.typing as npt

from . import _core

__all__ = ["DDC", "DDCR", "norm_freq_for", "output_capacity"]

DEFAULT_ATTEN_DB = 80.0

_C = TypeVar("_C", bound="_Converter")


def output_capacity(n_in: int) -> int:
    """Output capacity, in complex samples, that suffices for any DDCR block.

    The bound of the C interface (``ddcr_execute_capacity``): enough for one
    block of ``n_in`` real inputs on any DDCR, exact or designed, whatever its
    rate and history. `DDCR.capacity` gives the tighter bound of one object.

    Parameters
    ----------
    n_in : int
        Number of real input samples in the block (not bytes).

    Returns
    -------
    int
        A number of ``complex64`` samples.

    Raises
    ------
    ValueError
        If `n_in` is negative.

    Examples
    --------
    >>> from quorvel.ddc import output_capacity
    >>> output_capacity(4096) >= 4096 * 0.5
    True
    >>> output_capacity(0)
    0
    """
    n = int(n_in)
    if n < 0:
        raise ValueError(f"n_in must not be negative, got {n}")
    return int(_core.ddcr_execute_capacity(n))


def _finite(name: str, value: Any) -> float:
    v = float(value)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return v


def _positive(name: str, value: Any) -> float:
    v = float(value)
    if not (math.isfinite(v) and v > 0.0):
        raise ValueError(f"{name} must be positive and finite, got {value!r}")
    return v


def norm_freq_for(carrier: float, fs: Optional[float] = None) -> float:
    """The DDCR oscillator setting that brings a real carrier to 0 Hz.

    The DDCR's oscillator runs at the intermediate rate ``fs_in / 2`` after a
    fixed fs/4 shift, so a carrier at ``f`` (normalised to ``fs_in``) needs
    ``norm_freq = -(2 * f + 0.5)``. A real input holds carriers from 0 to
    half its sample rate, so the carrier must lie in ``[0, 0.5]`` (in ``[0,
    fs/2]`` Hz with `fs`): a carrier given in Hz without `fs` is refused.

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
        If `carrier` is not finite or lies outside that band, or `fs` is not
        positive and finite.

    Examples
    --------
    >>> from quorvel.ddc import norm_freq_for
    >>> norm_freq_for(0.1)
    -0.7
    >>> norm_freq_for(12_000.0, fs=48_000.0)
    -1.0
    >>> norm_freq_for(6_000.0)
    Traceback (most recent call last):
        ...
    ValueError: carrier 6000 lies outside [0, 0.5] cycles per input sample; give fs= for a carrier in Hz
    """
    f = _finite("carrier", carrier)
    if fs is None:
        if not 0.0 <= f <= 0.5:
            raise ValueError(f"carrier {f:g} lies outside [0, 0.5] cycles per input sample; "
                             "give fs= for a carrier in Hz")
    else:
        rate_in = _positive("fs", fs)
        if not 0.0 <= f <= rate_in / 2:
            raise ValueError(f"carrier {f:g} Hz lies outside [0, fs/2] = [0, {rate_in / 2:g}] Hz")
        f = f / rate_in
    return -(2.0 * f + 0.5)


def _tuned_rate(fs_out: float, fs: float) -> float:
    return fs_out / fs


class _Converter:
    """What DDCR and DDC share: one native converter, its block call and its plan."""

    _KIND: Literal["ddcr", "ddc"]

    def __init__(self, norm_freq: float, rate: float, *,
                 atten_db: Optional[float] = DEFAULT_ATTEN_DB) -> None:
        self._core = _core.Converter(self._KIND, norm_freq, rate, atten_db)
        self._rate = float(rate)

    # -- processing -----------------------------------------------------------

    def process(self, x: npt.ArrayLike,
                out: Optional[npt.NDArray[np.complex64]] = None) -> npt.NDArray[np.complex64]:
        """Down-convert one block.

        Parameters
        ----------
        x : array_like
            Input samples, read as one flat C-contiguous block (copied if need
            be): ``float32`` for a DDCR, ``complex64`` for a DDC. An ndarray
            must cast to that type safely, so a ``float64`` (or
            ``complex128``) array is refused rather than rounded: convert it
            with ``x.astype(np.float32)`` (``np.complex64``). A list or other
            sequence is converted.
        out : ndarray of complex64, optional
            Writable one-dimensional output buffer of at least
            ``capacity(len(x))`` samples. Allocated, at that size, when
            omitted. A strided one is replaced by a contiguous copy, which
            the result then views.

        Returns
        -------
        ndarray of complex64
            The samples produced, a view ``out[:n_out]``.

        Raises
        ------
        TypeError
            If `x` is None or of a type that does not cast safely, or `out`
            is not a writable one-dimensional ``complex64`` ndarray.
        ValueError
            If `out` is smaller than ``capacity(len(x))``.
        RuntimeError
            If the converter is closed, or in use by another thread.
        MemoryError
            If the native scratch memory cannot be had.

        Every error leaves the stream as it was: nothing of the block is
        consumed, and the next block continues as if the call never happened.

        Examples
        --------
        >>> import numpy as np
        >>> from quorvel.ddc import DDCR
        >>> ddc = DDCR(-0.7, 0.25, atten_db=None)
        >>> len(ddc.process(np.zeros(64, np.float32)))
        16
        >>> buf = np.empty(ddc.capacity(4096), np.complex64)
        >>> y = ddc.process(np.zeros(4096, np.float32), out=buf)
        >>> len(y), np.shares_memory(y, buf)
        (1024, True)
        >>> ddc.process(np.zeros(8))
        Traceback (most recent call last):
            ...
        TypeError: x has dtype float64, which does not cast safely to float32: pass float32 samples (x.astype(np.float32))
        >>> ddc.close()
        """
        return self._core.process(x, out)

    def capacity(self, n_in: int) -> int:
        """Output room that suffices for this converter's next block of `n_in` inputs.

        The native bound for this state, within a few samples of
        ``rate * n_in``: what `process` allocates when no `out` is given.

        Examples
        --------
        >>> from quorvel.ddc import DDC
        >>> ddc = DDC(0.0, 0.125, atten_db=None)
        >>> ddc.capacity(8000)
        1000
        >>> DDC(0.0, 4.0, atten_db=None).capacity(100)
        400
        """
        return int(self._core.capacity(n_in))

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
        self._core.reset()

    # -- tuning and plan --------------------------------------------------------

    @property
    def norm_freq(self) -> float:
        """Oscillator frequency; setting it retunes in place.

        In cycles per sample at ``fs_in / 2`` for a DDCR, per input sample
        for a DDC; any finite value. Retuning keeps every filter history and
        the oscillator phase, so there is no transient at the boundary.

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
        return float(self._core.norm_freq)

    @norm_freq.setter
    def norm_freq(self, value: float) -> None:
        self._core.norm_freq = value

    @property
    def rate(self) -> float:
        """Output-to-input rate ratio ``fs_out / fs_in`` (read-only).

        Examples
        --------
        >>> from quorvel.ddc import DDCR
        >>> DDCR(-0.7, 0.25).rate
        0.25
        """
        return float(self._core.rate)

    @property
    def atten_db(self) -> Optional[float]:
        """Stop-band attenuation the plan is designed for, in dB; None for the exact plan.

        Examples
        --------
        >>> from quorvel.ddc import DDC
        >>> DDC(0.1, 0.5, atten_db=100).atten_db
        100.0
        >>> DDC(0.1, 0.5, atten_db=None).atten_db is None
        True
        """
        value = self._core.atten_db
        return None if value is None else float(value)

    @property
    def plan(self) -> Tuple[str, ...]:
        """Labels of the stages, in processing order.

        Examples
        --------
        >>> from quorvel.ddc import DDCR
        >>> plan = DDCR(-0.7, 0.01).plan
        >>> len(plan) >= 2 and all(isinstance(s, str) and s for s in plan)
        True
        """
        return tuple(self._core.plan)

    @property
    def delay(self) -> float:
        """Group delay of the filters, in output samples.

        Examples
        --------
        >>> from quorvel.ddc import DDC
        >>> DDC(0.1, 0.25).delay >= 0.0
        True
        """
        return float(self._core.delay)

    @property
    def cost(self) -> float:
        """Multiply-adds per input sample of the plan (0 where the library gives no figure).

        Examples
        --------
        >>> from quorvel.ddc import DDCR
        >>> DDCR(-0.7, 0.25).cost >= 0.0
        True
        """
        return float(self._core.cost)

    # -- lifetime -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once `close` has been called."""
        return bool(self._core.closed)

    def close(self) -> None:
        """Release the native state now. Calling it again does nothing.

        Views returned by `process` stay valid: they belong to their output
        buffers, not to the converter. Every other use raises RuntimeError.

        Examples
        --------
        >>> from quorvel.ddc import DDC
        >>> ddc = DDC(0.1, 0.5)
        >>> ddc.close()
        >>> ddc.rate
        Traceback (most recent call last):
            ...
        RuntimeError: DDC is closed
        """
        self._core.close()

    def __enter__(self: _C) -> _C:
        if self._core.closed:
            raise RuntimeError(f"{type(self).__name__} is closed")
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        name = type(self).__name__
        if self._core.closed:
            return f"<{name} closed, rate={self._rate!r}>"
        return (f"{name}(norm_freq={self.norm_freq!r}, rate={self._rate!r}, "
                f"atten_db={self.atten_db!r})")


class DDCR(_Converter):
    """Real-input digital down-converter.

    Takes blocks of real ``float32`` samples at ``fs_in``, moves the carrier
    selected by `norm_freq` to 0 Hz, filters and decimates, and returns
    ``complex64`` baseband at ``fs_out = rate * fs_in``. The chain is a 2:1
    half-band real-to-complex decimator with a fixed fs/4 shift, an oscillator
    at ``fs_in / 2``, and a rate converter. The state keeps its filter history
    and phase between calls: feeding a signal in blocks of any sizes gives
    bit-identical output to feeding it at once.

    One thread at a time per instance (another thread is refused with
    RuntimeError); distinct instances run in parallel.

    Parameters
    ----------
    norm_freq : float
        Oscillator frequency in cycles per sample at the intermediate rate
        ``fs_in / 2`` (not Hz, and not per input sample): a carrier at ``f``
        cycles per input sample needs ``-(2 * f + 0.5)``. Use `norm_freq_for`,
        or build the converter with `tuned` from frequencies in Hz.
    rate : float
        Output-to-input rate ratio ``fs_out / fs_in``, in the open interval
        (0, 0.5); for the exact plan at or below 2^-14 only powers of two.
    atten_db : float or None, keyword-only
        Stop-band attenuation of a designed plan, in [40, 120] dB (default
        80), or None for the exact plan (the filters of ``ddc_fn``).

    Raises
    ------
    ValueError
        If `norm_freq` is not finite, `rate` cannot be built (the message
        gives the accepted range), or `atten_db` is NaN or outside [40, 120].
    TypeError
        If an argument is not a number.
    MemoryError
        If the native state cannot be allocated.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.ddc import DDCR, norm_freq_for
    >>> x = np.cos(2 * np.pi * 0.1 * np.arange(4096)).astype(np.float32)
    >>> with DDCR(norm_freq_for(0.1), 0.25) as ddc:
    ...     y = ddc.process(x)
    >>> y.dtype, abs(len(y) - 1024) <= 2
    (dtype('complex64'), True)
    >>> int(np.argmax(np.abs(np.fft.fft(y[256:]))))
    0
    >>> DDCR(-0.7, 0.25, atten_db=20)
    Traceback (most recent call last):
        ...
    ValueError: atten_db must lie in [40, 120] dB (or be None for the exact plan), got 20
    """

    _KIND: Literal["ddcr", "ddc"] = "ddcr"

    @classmethod
    def tuned(cls: Type[_C], *, carrier: float, fs: float, fs_out: float,
              atten_db: Optional[float] = DEFAULT_ATTEN_DB) -> _C:
        """A DDCR from frequencies in Hz: `carrier` to 0 Hz, `fs` in, `fs_out` out.

        The wanted band is ``carrier +- fs_out / 2``; a real input at `fs`
        holds only ``[0, fs/2]``, so the carrier must lie in ``(0, fs/2)``
        and the band inside ``[0, fs/2]``.

        Parameters
        ----------
        carrier : float
            Carrier frequency in Hz.
        fs : float
            Input sample rate in Hz.
        fs_out : float
            Output sample rate in Hz (``rate = fs_out / fs``).
        atten_db : float or None
            As for `DDCR`.

        Returns
        -------
        DDCR

        Raises
        ------
        ValueError
            If a frequency is not finite, `fs` or `fs_out` is not positive,
            the carrier or its band leaves the range above (the message says
            which band), or the rate cannot be built.

        Examples
        --------
        >>> import numpy as np
        >>> from quorvel.ddc import DDCR
        >>> fs = 48_000.0
        >>> x = np.cos(2 * np.pi * 6_000 / fs * np.arange(48_000)).astype(np.float32)
        >>> ddc = DDCR.tuned(carrier=6_000, fs=fs, fs_out=6_000)
        >>> ddc.rate, ddc.norm_freq
        (0.125, -0.75)
        >>> y = ddc.process(x)[1000:]
        >>> int(np.argmax(np.abs(np.fft.fft(y))))
        0
        >>> DDCR.tuned(carrier=22_000, fs=fs, fs_out=6_000)
        Traceback (most recent call last):
            ...
        ValueError: the wanted band 19000 to 25000 Hz (carrier +- fs_out/2) leaves [0, fs/2] = [0, 24000] Hz
        """
        f = _finite("carrier", carrier)
        rate_in = _positive("fs", fs)
        rate_out = _positive("fs_out", fs_out)
        half = rate_in / 2
        if not 0.0 < f < half:
            raise ValueError(f"carrier {f:g} Hz lies outside (0, fs/2) = (0, {half:g}) Hz")
        rate = _tuned_rate(rate_out, rate_in)
        try:
            _core.check("ddcr", rate)
        except ValueError as e:
            raise ValueError(f"fs_out {rate_out:g} Hz from fs {rate_in:g} Hz: {e}") from None
        lo, hi = f - rate_out / 2, f + rate_out / 2
        if lo < 0.0 or hi > half:
            raise ValueError(f"the wanted band {lo:g} to {hi:g} Hz (carrier +- fs_out/2) "
                             f"leaves [0, fs/2] = [0, {half:g}] Hz")
        return cls(norm_freq_for(f, rate_in), rate, atten_db=atten_db)


class DDC(_Converter):
    """Complex-input digital down-converter.

    Takes blocks of ``complex64`` samples at ``fs_in``, multiplies them by an
    oscillator at `norm_freq` and converts the rate to ``fs_out = rate *
    fs_in``: below 1 it filters and decimates, above 1 it interpolates, at 1
    it only mixes. Blocks of any sizes give bit-identical output; one thread
    at a time per instance.

    Parameters
    ----------
    norm_freq : float
        Oscillator frequency in cycles per input sample; a carrier at ``f``
        cycles per input sample comes to 0 Hz with ``norm_freq = -f``. Use
        `tuned` to build the converter from frequencies in Hz.
    rate : float
        Output-to-input rate ratio ``fs_out / fs_in``, any positive value in
        (2^-32, 2^32) for the exact plan (at or below 2^-13 only powers of two),
        (2^-32, 2^31) for a designed one.
    atten_db : float or None, keyword-only
        Stop-band attenuation of a designed plan, in [40, 120] dB (default
        80), or None for the exact plan (that of the C ``ddc_create``).

    Raises
    ------
    ValueError
        If `norm_freq` is not finite, `rate` cannot be built (the message
        gives the accepted range), or `atten_db` is NaN or outside [40, 120].
    TypeError
        If an argument is not a number.
    MemoryError
        If the native state cannot be allocated.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.ddc import DDC
    >>> x = np.exp(2j * np.pi * 0.2 * np.arange(8192)).astype(np.complex64)
    >>> with DDC(-0.2, 0.125) as ddc:
    ...     y = ddc.process(x)
    >>> y.dtype, abs(len(y) - 1024) <= 2
    (dtype('complex64'), True)
    >>> int(np.argmax(np.abs(np.fft.fft(y[256:]))))
    0
    >>> len(DDC(0.0, 2.0, atten_db=None).process(np.zeros(1000, np.complex64)))
    2000
    """

    _KIND: Literal["ddcr", "ddc"] = "ddc"

    @classmethod
    def tuned(cls: Type[_C], *, carrier: float, fs: float, fs_out: float,
              atten_db: Optional[float] = DEFAULT_ATTEN_DB) -> _C:
        """A DDC from frequencies in Hz: `carrier` to 0 Hz, `fs` in, `fs_out` out.

        A complex input at `fs` holds ``(-fs/2, fs/2)``, so the carrier must
        lie there; `fs_out` may be below `fs` (decimation) or above it
        (interpolation).

        Parameters
        ----------
        carrier : float
            Carrier frequency in Hz, negative below the centre.
        fs : float
            Input sample rate in Hz.
        fs_out : float
            Output sample rate in Hz (``rate = fs_out / fs``).
        atten_db : float or None
            As for `DDC`.

        Returns
        -------
        DDC

        Raises
        ------
        ValueError
            If a frequency is not finite, `fs` or `fs_out` is not positive,
            the carrier leaves ``(-fs/2, fs/2)``, or the rate cannot be built.

        Examples
        --------
        >>> from quorvel.ddc import DDC
        >>> ddc = DDC.tuned(carrier=-250e3, fs=2e6, fs_out=250e3)
        >>> ddc.norm_freq, ddc.rate
        (0.125, 0.125)
        >>> DDC.tuned(carrier=1.2e6, fs=2e6, fs_out=250e3)
        Traceback (most recent call last):
            ...
        ValueError: carrier 1.2e+06 Hz lies outside (-fs/2, fs/2) = (-1e+06, 1e+06) Hz, the band a complex input at fs = 2e+06 Hz holds
        """
        f = _finite("carrier", carrier)
        rate_in = _positive("fs", fs)
        rate_out = _positive("fs_out", fs_out)
        half = rate_in / 2
        if not -half < f < half:
            raise ValueError(f"carrier {f:g} Hz lies outside (-fs/2, fs/2) = ({-half:g}, {half:g}) "
                             f"Hz, the band a complex input at fs = {rate_in:g} Hz holds")
        rate = _tuned_rate(rate_out, rate_in)
        try:
            _core.check("ddc", rate)
        except ValueError as e:
            raise ValueError(f"fs_out {rate_out:g} Hz from fs {rate_in:g} Hz: {e}") from None
        return cls(-f / rate_in or 0.0, rate, atten_db=atten_db)  # no -0.0
