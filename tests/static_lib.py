"""The library's static archive, for the native test drivers.

A development build keeps it next to the extension; an installed extension has
none, so the same sources are built once per session (without Python).
"""
import atexit
import functools
import os
import shutil
import subprocess
import tempfile

from native import lib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANITIZER_FLAGS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]


@functools.lru_cache(maxsize=None)
def static_archive():
    """(path, why): the archive, or None and the reason there is none."""
    here = os.path.dirname(lib.path)
    found = [os.path.join(here, a) for a in ("libquorvel_ddc.a", "libddc.a")
             if os.path.exists(os.path.join(here, a))]
    if found:
        return max(found, key=os.path.getmtime), ""
    cmake = shutil.which("cmake")
    if cmake is None:
        return None, "needs the static library next to the extension, or cmake to build it"
    tmp = tempfile.mkdtemp(prefix="ddc_static_")
    atexit.register(shutil.rmtree, tmp, True)
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = ([cmake, "-S", ROOT, "-B", tmp, *gen, "-DDDC_BUILD_PYTHON=OFF", "-DDDC_INSTALL_NATIVE=OFF",
              "-DCMAKE_BUILD_TYPE=Release"],
             [cmake, "--build", tmp, "--target", "ddc"])
    for cmd in steps:
        res = subprocess.run(cmd, capture_output=True, text=True)
        if res.returncode != 0:
            return None, "static library does not build here: " + (res.stdout + res.stderr)[-500:]
    return os.path.join(tmp, "libddc.a"), ""


@functools.lru_cache(maxsize=None)
def sanitizer_flags(archive):
    """The flags a driver needs to link an instrumented archive (none for a plain one)."""
    if shutil.which("nm") is None:
        return []
    syms = subprocess.run(["nm", archive], capture_output=True, text=True).stdout
    return list(SANITIZER_FLAGS) if "__asan_init" in syms else []


def driver_env():
    """The environment for a driver: no preloaded runtime, failed allocations return null."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["ASAN_OPTIONS"] = "detect_leaks=1:halt_on_error=1:allocator_may_return_null=1"
    return env
