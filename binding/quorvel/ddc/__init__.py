"""Digital down-conversion for software-radio front ends.

`DDCR` (real input) and `DDC` (complex input) are the down-converters as
objects; `process_many` runs one per stream in parallel. The functional DDCR
API of the native ``ddc_fn`` extension is re-exported as well.
"""
from pkgutil import extend_path as _extend_path

# A build tree on sys.path holds the package's extension in BUILD/quorvel/ddc
# (tests/sanitize/run.sh runs the sources against such a tree).
__path__ = _extend_path(__path__, __name__)

from ddc_fn import (  # noqa: E402,F401
    ddcr_create,
    ddcr_destroy,
    ddcr_execute,
    ddcr_get_norm_freq,
    ddcr_get_rate,
    ddcr_reset,
    ddcr_set_norm_freq,
)

from ._objects import (  # noqa: E402,F401
    Channel,
    ChannelBank,
    DDC,
    DDCR,
    Job,
    norm_freq_for,
    output_capacity,
    process_many,
)
