"""Failed native scratch allocations: MemoryError, and nothing of the block consumed.

Each case runs in a child process whose address space is capped just above what
it already uses once its arrays exist, so that the DDCR's per-call scratch blocks
for a large block cannot all be had.
"""
import os
import resource
import subprocess
import sys
import textwrap

import pytest

import ddc_fn

CHILD = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from ddc_fn import ddcr_create, ddcr_execute

    rate, n = float(sys.argv[1]), int(sys.argv[2])
    margins = [float(m) for m in sys.argv[3:]]
    rng = np.random.default_rng(11)
    head = rng.standard_normal(1001).astype(np.float32)   # odd: leaves a held-over sample
    x = rng.standard_normal(n).astype(np.float32)
    tail = rng.standard_normal(777).astype(np.float32)
    out = np.ones(n, np.complex64)                         # touched: already resident
    small = np.zeros(4096, np.complex64)

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    for margin in margins:
        s = ddcr_create(-0.62, rate)
        head_out = ddcr_execute(s, head, small).copy()
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + int(margin * n), hard))
        try:
            y = ddcr_execute(s, x, out)
            outcome = "ran"
        except MemoryError:
            outcome = "refused"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        got = ddcr_execute(s, tail, small).copy()

        ref = ddcr_create(-0.62, rate)
        same = bool(np.array_equal(ddcr_execute(ref, head, small).view(np.uint32),
                                   head_out.view(np.uint32)))
        if outcome == "ran":
            kept = y.copy()
            want = ddcr_execute(ref, x, np.zeros(n, np.complex64))
            same &= len(want) == len(kept) and bool(np.array_equal(want.view(np.uint32),
                                                                   kept.view(np.uint32)))
        want = ddcr_execute(ref, tail, small)
        same &= len(want) == len(got) and bool(np.array_equal(want.view(np.uint32),
                                                              got.view(np.uint32)))
        print(margin, outcome, same, flush=True)
""")


def _run_child(rate, n, margins):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(ddc_fn.__file__)] + sys.path)
    proc = subprocess.run([sys.executable, "-c", CHILD, str(rate), str(n)] + [str(m) for m in margins],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    rows = [line.split() for line in proc.stdout.splitlines()]
    return {float(m): (outcome, same == "True") for m, outcome, same in rows}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc/self/status")
@pytest.mark.skipif(resource.getrlimit(resource.RLIMIT_AS)[0] != resource.RLIM_INFINITY,
                    reason="address space already limited")
@pytest.mark.parametrize("rate", [0.25, 0.0371])
def test_failed_scratch_allocation_raises_memory_error_and_consumes_nothing(rate):
    """Regression: a failed scratch allocation returned an empty view, and a late one
    lost the block already pushed into the decimator."""
    n = 1 << 22
    # Extra address space, in bytes per input sample: from none to enough for everything.
    margins = [0.25, 2.5, 6.5, 10.5, 14.5, 32.5]
    rows = _run_child(rate, n, margins)
    assert sorted(rows) == margins
    assert rows[0.25][0] == "refused"
    assert rows[32.5][0] == "ran"
    for margin, (outcome, same) in rows.items():
        # Either the block ran in full, or it was refused without touching the state.
        assert same, (margin, outcome)
