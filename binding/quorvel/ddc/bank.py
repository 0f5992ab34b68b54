"""Channel bank: many channels from one wideband stream.

`ChannelBank` wraps the native bank (``ddc/chanbank.h``): each channel has
its own carrier, output rate and stop-band attenuation, and the work that
does not depend on the channel (the real-to-complex half-band, the shared FFT
of the fast-convolution path) runs once per input sample. ``process``
returns one ``complex64`` array per channel, keyed by channel id; the native
call runs without the interpreter lock.
"""
from __future__ import annotations

import math
from typing import Any, Dict, NamedTuple, Optional, Type

import numpy as np
import numpy.typing as npt

from . import _core

__all__ = ["Channel", "ChannelBank"]

_PATHS = {"auto": 0, "time": 1, "fft": 2}
_PATH_NAMES = {1: "time", 2: "fft"}
_REAL_MAX_RATE = 0.125
_COMPLEX_MAX_RATE = 2.0 ** 31 - 1.0


class Channel(NamedTuple):
    """Settings of one channel of a `ChannelBank`."""

    carrier: float   #: cycles per input sample
    rate: float      #: fs_out / fs_in
    atten_db: float  #: stop-band attenuation
    path: str        #: "time" or "fft", the path it runs
    delay: float     #: group delay in output samples


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a number, not bool")
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return v


class ChannelBank:
    """Many down-converted channels from one real or complex stream.

    Parameters
    ----------
    complex_input : bool
        False (default) for real ``float32`` input, True for ``complex64``.
    atten_db : float
        The strictest attenuation a channel may ask for, in [40, 120] dB
        (default 120); the shared half-band of real input is designed for it.
    max_rate : float, optional
        The largest ``fs_out / fs_in`` a channel may have: in (0, 0.5) for
        real input (default 0.125; it sets the half-band's transition), any
        positive ratio for complex input (default unbounded).
    fs : float, optional
        Input sample rate in Hz, for `add_hz` and `retune_hz`.

    A channel added with ``rate=max_rate`` and ``atten_db=atten_db`` on the
    time-domain path gives the same bits as a designed `DDCR` (`DDC`) with
    those settings fed from the same sample on.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.ddc import ChannelBank
    >>> t = np.arange(200_000)
    >>> x = (np.cos(2 * np.pi * 0.1 * t) + np.cos(2 * np.pi * 0.3 * t)).astype(np.float32)
    >>> with ChannelBank(atten_db=80) as bank:
    ...     a = bank.add(0.1, 0.01, path="time")
    ...     b = bank.add(0.3, 0.01, path="fft")
    ...     out = bank.process(x)
    >>> sorted(out), len(out[a]) > 1500, len(out[b]) > 1000
    ([0, 1], True, True)
    >>> bool(abs(abs(out[a][-1]) - 0.5) < 1e-2 and abs(abs(out[b][-1]) - 0.5) < 1e-2)
    True
    """

    def __init__(self, *, complex_input: bool = False, atten_db: float = 120.0,
                 max_rate: Optional[float] = None, fs: Optional[float] = None) -> None:
        self._complex = bool(complex_input)
        if max_rate is None:
            max_rate = _COMPLEX_MAX_RATE if self._complex else _REAL_MAX_RATE
        a = _number("atten_db", atten_db)
        r = _number("max_rate", max_rate)
        if fs is not None:
            fs = _number("fs", fs)
            if fs <= 0.0:
                raise ValueError(f"fs must be positive, got {fs!r}")
        self._fs = fs
        self._bank = _core.Bank(self._complex, a, r)
        self._atten = a
        self._max_rate = r

    @classmethod
    def tuned(cls: Type["ChannelBank"], *, fs: float, **kwargs: Any) -> "ChannelBank":
        """A bank whose channels are given in Hz (`add_hz`), for input at `fs` Hz.

        Examples
        --------
        >>> from quorvel.ddc import ChannelBank
        >>> bank = ChannelBank.tuned(fs=20e6, atten_db=80, max_rate=0.01)
        >>> cid = bank.add_hz(5.1e6, 32e3)
        >>> ch = bank.channels[cid]
        >>> round(ch.carrier, 6), round(ch.rate, 6)
        (0.255, 0.0016)
        >>> bank.close()
        """
        return cls(fs=fs, **kwargs)

    # -- channels ---------------------------------------------------------------

    def _check_carrier(self, carrier: Any) -> float:
        c = _number("carrier", carrier)
        lo = -0.5 if self._complex else 0.0
        if not lo <= c <= 0.5:
            raise ValueError(f"carrier {c:g} lies outside [{lo:g}, 0.5] cycles per input sample")
        return c

    def add(self, carrier: float, rate: float, *, atten_db: float = 80.0,
            path: str = "auto") -> int:
        """Add a channel from the next block on; returns its id.

        Parameters
        ----------
        carrier : float
            Carrier in cycles per input sample: [0, 0.5] for real input,
            [-0.5, 0.5] for complex input.
        rate : float
            ``fs_out / fs_in``, in (0, max_rate].
        atten_db : float
            Stop-band attenuation, in [40, the bank's atten_db].
        path : {"auto", "time", "fft"}
            "time": the designed DDCR (DDC) chain behind the shared stage;
            "fft": the fast-convolution front end; "auto" (default) the
            path that makes the whole set cheapest. An "auto" channel's
            path is fixed by the first `process`; until then later adds may
            still move it, so channels added together are decided together.

        Raises
        ------
        ValueError
            For a carrier outside the band, a bad rate or attenuation, an
            unknown path, or a rate too wide for the FFT path.
        TypeError
            For arguments that are not numbers.

        Examples
        --------
        >>> from quorvel.ddc import ChannelBank
        >>> bank = ChannelBank()
        >>> bank.add(0.25, 0.01)
        0
        >>> bank.add(0.7, 0.01)
        Traceback (most recent call last):
            ...
        ValueError: carrier 0.7 lies outside [0, 0.5] cycles per input sample
        >>> bank.add(0.25, 0.2)
        Traceback (most recent call last):
            ...
        ValueError: rate 0.2 lies outside (0, max_rate] = (0, 0.125]
        """
        c = self._check_carrier(carrier)
        r = _number("rate", rate)
        if not 0.0 < r <= self._max_rate:
            raise ValueError(f"rate {r:g} lies outside (0, max_rate] = (0, {self._max_rate:g}]")
        a = _number("atten_db", atten_db)
        if not 40.0 <= a <= self._atten:
            raise ValueError(f"atten_db {a:g} lies outside [40, {self._atten:g}], the bank's "
                             "range: create the bank with a higher atten_db")
        if path not in _PATHS:
            raise ValueError(f"path must be 'auto', 'time' or 'fft', got {path!r}")
        return int(self._bank.add(c, r, a, _PATHS[path]))

    def _hz(self) -> float:
        if self._fs is None:
            raise ValueError("the bank has no fs: create it with ChannelBank.tuned(fs=...)")
        return self._fs

    def add_hz(self, carrier_hz: float, fs_out_hz: float, *, atten_db: float = 80.0,
               path: str = "auto") -> int:
        """`add` with the carrier and output rate in Hz (needs the bank's `fs`)."""
        fs = self._hz()
        return self.add(_number("carrier_hz", carrier_hz) / fs,
                        _number("fs_out_hz", fs_out_hz) / fs, atten_db=atten_db, path=path)

    def remove(self, cid: int) -> None:
        """Remove a channel; KeyError for an unknown id.

        Examples
        --------
        >>> from quorvel.ddc import ChannelBank
        >>> bank = ChannelBank()
        >>> cid = bank.add(0.2, 0.01)
        >>> bank.remove(cid)
        >>> bank.remove(cid)
        Traceback (most recent call last):
            ...
        KeyError: 'no channel with id 0'
        """
        self._bank.remove(self._id(cid))

    def _id(self, cid: Any) -> int:
        if isinstance(cid, bool) or not isinstance(cid, (int, np.integer)):
            raise TypeError(f"channel id must be an int, not {type(cid).__name__}")
        return int(cid)

    def retune(self, cid: int, carrier: float) -> None:
        """New carrier from the next block on; the channel's phases and histories continue.

        Examples
        --------
        >>> from quorvel.ddc import ChannelBank
        >>> bank = ChannelBank()
        >>> cid = bank.add(0.2, 0.01)
        >>> bank.retune(cid, 0.3)
        >>> bank.channels[cid].carrier
        0.3
        >>> bank.retune(7, 0.3)
        Traceback (most recent call last):
            ...
        KeyError: 'no channel with id 7'
        """
        i = self._id(cid)
        c = self._check_carrier(carrier)
        if i not in self.channels:
            raise KeyError(f"no channel with id {i}")
        self._bank.retune(i, c)

    def retune_hz(self, cid: int, carrier_hz: float) -> None:
        """`retune` with the carrier in Hz (needs the bank's `fs`)."""
        self.retune(cid, _number("carrier_hz", carrier_hz) / self._hz())

    @property
    def channels(self) -> Dict[int, Channel]:
        """The channels by id, in id order, with their settings."""
        return {int(i): Channel(float(c), float(r), float(a), _PATH_NAMES[int(p)], float(d))
                for i, c, r, a, p, d, _cost in self._bank.channels()}

    # -- processing ---------------------------------------------------------------

    def process(self, x: npt.ArrayLike) -> Dict[int, npt.NDArray[np.complex64]]:
        """Run one block; returns each channel's new output samples by id.

        `x` is ``float32`` for a real bank, ``complex64`` for a complex one;
        an ndarray must cast to it safely. Any split of a stream into blocks
        gives the same bytes.

        Raises
        ------
        TypeError
            If `x` is of a type that does not cast safely.
        RuntimeError
            If the bank is closed or in use by another thread.

        Examples
        --------
        >>> import numpy as np
        >>> from quorvel.ddc import ChannelBank
        >>> bank = ChannelBank()
        >>> cid = bank.add(0.2, 0.01)
        >>> len(bank.process(np.zeros(10_000, np.float32))[cid])
        100
        >>> bank.process(np.zeros(8, np.complex64))
        Traceback (most recent call last):
            ...
        TypeError: the bank takes real samples but x has dtype complex64: pass float32 samples, or create ChannelBank(complex_input=True)
        """
        want = np.complex64 if self._complex else np.float32
        arr = x if isinstance(x, np.ndarray) else np.asarray(x)
        if arr.dtype == object or not np.can_cast(arr.dtype, want,
                                                   "safe" if x is arr else "same_kind"):
            if not self._complex and np.iscomplexobj(arr):
                raise TypeError(f"the bank takes real samples but x has dtype {arr.dtype}: "
                                "pass float32 samples, or create ChannelBank(complex_input=True)")
            name = np.dtype(want).name
            raise TypeError(f"x has dtype {arr.dtype}, which does not cast safely to {name}: "
                            f"pass {name} samples (x.astype(np.{name}))")
        return self._bank.process(np.ascontiguousarray(arr, want).reshape(-1))

    def reset(self) -> None:
        """Every history and phase back to a fresh bank with the same channels."""
        self._bank.reset()

    def close(self) -> None:
        """Release the native bank now; again does nothing."""
        self._bank.close()

    def __enter__(self) -> "ChannelBank":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # -- properties -----------------------------------------------------------------

    @property
    def complex_input(self) -> bool:
        return self._complex

    @property
    def atten_db(self) -> float:
        return self._atten

    @property
    def max_rate(self) -> float:
        return self._max_rate

    @property
    def fs(self) -> Optional[float]:
        return self._fs

    @property
    def shared_cost(self) -> float:
        """Multiply-adds per input sample of the shared work in force."""
        return float(self._bank.shared_cost())

    @property
    def closed(self) -> bool:
        return bool(self._bank.closed)

    def __repr__(self) -> str:
        if self.closed:
            return "ChannelBank(closed)"
        kind = "complex" if self._complex else "real"
        return f"ChannelBank({kind}, {len(self.channels)} channels, atten_db={self._atten:g})"
