"""Digital down-conversion for software-radio front ends.

The functional DDCR API of the native ``ddc_fn`` extension, re-exported.
"""
from ddc_fn import (  # noqa: F401
    ddcr_create,
    ddcr_destroy,
    ddcr_execute,
    ddcr_get_norm_freq,
    ddcr_get_rate,
    ddcr_reset,
    ddcr_set_norm_freq,
)
from ._objects import DDCR, Job, norm_freq_for, output_capacity, process_many  # noqa: F401
