"""Resources: nothing leaks over many create / execute / destroy cycles.

Python API: a million cycles (DDC_LEAK_CYCLES overrides) of the module's
methods, error paths included, must leave the resident set flat and every
reference count where it was. Native families: tests/sanitize/leak_driver.cpp,
linked against the static library next to the extension with the allocator
wrapped, runs every family's cycles, refusals and single-allocation failures
and checks that its count of live library blocks returns to zero; against an
AddressSanitizer build it also runs under LeakSanitizer.
"""
import functools
import gc
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

from ddc_fn import ddcr_create, ddcr_destroy, ddcr_execute, ddcr_reset, ddcr_set_norm_freq
from static_lib import driver_env, sanitizer_flags, static_archive

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER = os.path.join(ROOT, "tests", "sanitize", "leak_driver.cpp")
CYCLES = int(os.environ.get("DDC_LEAK_CYCLES", "1000000"))
SANITIZED = os.environ.get("DDC_SANITIZED") == "1"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _plain_cycles(n, x, out):
    for _ in range(n):
        s = ddcr_create(-0.7, 0.25)
        ddcr_execute(s, x, out)
        ddcr_destroy(s)


def _varied_cycles(n, x, out):
    """Every other way in and out: other plans, error paths, collection without destroy."""
    strided_x = np.zeros(2 * x.size, np.float32)[::2]
    small = np.zeros(2, np.complex64)
    wrong = np.zeros(out.size, np.complex128)
    strided_out = np.zeros(2 * out.size, np.complex64)[::2]
    for i in range(n):
        s = ddcr_create(-0.7, (0.25, 0.1, 0.0371, 0.3)[i % 4])
        ddcr_execute(s, strided_x, strided_out)       # both converted to copies
        for bad_out, exc in ((small, ValueError), (wrong, TypeError)):
            try:
                ddcr_execute(s, strided_x, bad_out)   # x copied, then refused
            except exc:
                pass
        try:
            ddcr_execute(s, np.zeros(4), out)         # float64 x refused
        except TypeError:
            pass
        ddcr_set_norm_freq(s, 0.1)
        ddcr_reset(s)
        if i % 2:
            ddcr_destroy(s)
            try:
                ddcr_reset(s)
            except RuntimeError:
                pass
        del s                                          # the capsule frees what is left
        try:
            ddcr_create(-0.7, 0.7)
        except MemoryError:
            pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory; "
                                      "the native driver runs under LeakSanitizer instead")
def test_a_million_python_cycles_keep_rss_and_refcounts_flat():
    x = np.random.default_rng(0).standard_normal(64).astype(np.float32)
    out = np.zeros(64, np.complex64)
    refs = (sys.getrefcount(x), sys.getrefcount(out))
    # Warm up allocator arenas and NumPy caches first.
    _plain_cycles(20000, x, out)
    _varied_cycles(2000, x, out)
    gc.collect()
    before = rss_bytes()
    _plain_cycles(CYCLES, x, out)
    _varied_cycles(max(CYCLES // 20, 1000), x, out)
    gc.collect()
    grown = rss_bytes() - before
    assert (sys.getrefcount(x), sys.getrefcount(out)) == refs
    # 8 bytes lost per cycle would already be 8 MB over a million cycles.
    assert grown < 4 << 20, f"resident set grew by {grown / 2**20:.1f} MiB over {CYCLES} cycles"


def test_views_keep_out_alive_and_nothing_else():
    out = np.zeros(64, np.complex64)
    s = ddcr_create(-0.7, 0.25)
    y = ddcr_execute(s, np.ones(64, np.float32), out)
    assert y.base is out
    ref_state = sys.getrefcount(s)
    for _ in range(1000):
        ddcr_execute(s, np.ones(64, np.float32), out)
    assert sys.getrefcount(s) == ref_state


@functools.lru_cache(maxsize=None)
def _driver():
    """Builds the leak driver against the library's static archive."""
    archive, why = static_archive()
    cxx = shutil.which("g++") or shutil.which("c++")
    if archive is None or cxx is None:
        return None, why or "needs a C++ compiler"
    flags = sanitizer_flags(archive)
    tmp = tempfile.mkdtemp(prefix="ddc_leaks_")
    exe = os.path.join(tmp, "leak_driver")
    wrap = "-Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=aligned_alloc,--wrap=free"
    res = subprocess.run([cxx, "-std=c++20", "-O1", "-g", *flags, "-I", ROOT, DRIVER, archive, wrap,
                          "-lm", "-o", exe], capture_output=True, text=True, env=driver_env())
    if res.returncode != 0:
        return None, "leak driver does not link here: " + res.stderr[-800:]
    return exe, bool(flags)


def test_every_native_family_releases_every_block():
    exe, sanitized = _driver()
    if exe is None:
        pytest.skip(sanitized)
    res = subprocess.run([exe, "3"], capture_output=True, text=True, env=driver_env(), timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr[-4000:]
    words = res.stdout.split()
    assert words[:2] == ["ok", "3"], res.stdout
    assert int(words[2]) > 1000  # the failure sweeps really ran
