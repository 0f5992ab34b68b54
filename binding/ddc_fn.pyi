"""Functional DDCR API — state and buffer passed explicitly."""
from typing import NewType

import numpy as np
import numpy.typing as npt

# An opaque PyCapsule named "quorvel.ddc.ddcr_state".
_State = NewType("_State", object)

def ddcr_create(norm_freq: float, rate: float, /) -> _State:
    """Allocate and initialise a DDCR down-converter state handle."""

def ddcr_execute(
    state: _State, x: npt.ArrayLike, out: npt.NDArray[np.complex64], /
) -> npt.NDArray[np.complex64]:
    """Process a block of real float32 samples through the DDCR."""

def ddcr_reset(state: _State, /) -> None:
    """Zero all DDCR filter history without freeing or recreating the state."""

def ddcr_destroy(state: _State, /) -> None:
    """Release DDCR C resources immediately, without waiting for the GC."""

def ddcr_get_norm_freq(state: _State, /) -> float:
    """Return the current fine NCO normalised frequency."""

def ddcr_set_norm_freq(state: _State, norm_freq: float, /) -> None:
    """Retune the fine NCO frequency without disturbing filter history."""

def ddcr_get_rate(state: _State, /) -> float:
    """Return the total configured output-to-input rate ratio."""
