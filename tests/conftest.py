import os
import sys

sys.path.insert(0, os.path.dirname(__file__))


def pytest_configure(config):
    # DDC_TEST_SIMD_LEVEL runs the whole suite on one kernel variant (0 scalar, 1 AVX2, 2 AVX-512).
    level = os.environ.get("DDC_TEST_SIMD_LEVEL")
    if level is None:
        return
    from native import lib
    from quorvel.ddc import _core  # links its own copy of the library

    if lib.ddc_simd_force(int(level)) < 0 or _core._simd_force(int(level)) < 0:
        raise SystemExit(f"kernel variant {level} is not supported on this CPU")
