"""Runs scenarios of tests/native/alloc_faults.c, the allocation-fault harness.

The harness is compiled once per session against the library's static archive
(tests/static_lib.py), with the C allocation functions wrapped by
the linker so that it can make any single allocation of the library fail.
"""
import atexit
import functools
import os
import shutil
import subprocess
import tempfile

import pytest

from static_lib import driver_env, sanitizer_flags, static_archive

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "tests", "native", "alloc_faults.c")


@functools.lru_cache(maxsize=None)
def _harness():
    archive, why = static_archive()
    cc = shutil.which("cc") or shutil.which("gcc")
    if archive is None or cc is None:
        return None, why or "needs a C compiler"
    tmp = tempfile.mkdtemp(prefix="ddc_alloc_faults_")
    atexit.register(shutil.rmtree, tmp, True)
    exe = os.path.join(tmp, "alloc_faults")
    cmd = [cc, "-std=c11", "-O1", *sanitizer_flags(archive), "-I", ROOT, SOURCE, archive,
           "-Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=aligned_alloc,"
           "--wrap=posix_memalign,--wrap=free",
           "-lstdc++", "-lm", "-o", exe]
    res = subprocess.run(cmd, capture_output=True, text=True, env=driver_env())
    if res.returncode != 0:
        return None, "harness does not link here: " + res.stderr[-500:]
    return exe, ""


def run_scenario(name):
    """Runs one scenario; returns the number of injected failures it exercised."""
    exe, why = _harness()
    if exe is None:
        pytest.skip(why)
    res = subprocess.run([exe, name], capture_output=True, text=True, timeout=120, env=driver_env())
    assert res.returncode == 0, res.stdout + res.stderr
    words = res.stdout.split()
    assert words[:2] == ["ok", name], res.stdout
    return int(words[2])
