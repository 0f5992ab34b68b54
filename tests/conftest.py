import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from native import VECTOR_LEVELS, lib  # noqa: E402


# Kernel-variant fixtures shared by the stage tests: each forces a level for
# the test and restores the one in force afterwards.
def _restoring(request):
    saved = lib.ddc_simd_level()
    yield request.param
    assert lib.ddc_simd_force(saved) == saved


@pytest.fixture(params=[0] + VECTOR_LEVELS, ids=lambda level: f"level{level}")
def any_level(request):
    """Every kernel variant, scalar included."""
    yield from _restoring(request)


@pytest.fixture(params=VECTOR_LEVELS or [pytest.param(None, marks=pytest.mark.skip(reason="no vector variant"))],
                ids=lambda level: f"level{level}")
def level(request):
    """Every vector variant the CPU has."""
    yield from _restoring(request)


def pytest_configure(config):
    # DDC_TEST_SIMD_LEVEL runs the whole suite on one kernel variant (0 scalar, 1 AVX2, 2 AVX-512).
    level = os.environ.get("DDC_TEST_SIMD_LEVEL")
    if level is None:
        return
    from native import lib
    from quorvel.ddc import _core  # links its own copy of the library

    if lib.ddc_simd_force(int(level)) < 0 or _core._simd_force(int(level)) < 0:
        raise SystemExit(f"kernel variant {level} is not supported on this CPU")
