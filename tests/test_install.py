"""The native package: `cmake --install` gives a tree that C programs build against.

The library is built without the Python extension, installed with --prefix into
a temporary directory (so the pkg-config file has to find its own prefix), and
the C11 example is built from that tree twice: with CMake's find_package and
with pkg-config and the plain C compiler driver. Both binaries must run and
report the tone at 0 Hz.
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which("cc") is None,
    reason="needs cmake and a C compiler")


def _run(*cmd, env=None, cwd=None):
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, env=env, cwd=cwd)
    assert res.returncode == 0, f"{' '.join(map(str, cmd))}\n{res.stdout}\n{res.stderr}"
    return res.stdout


def _generator():
    return ["-G", "Ninja"] if shutil.which("ninja") else []


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    base = tmp_path_factory.mktemp("install")
    build, prefix = base / "build", base / "prefix"
    _run("cmake", "-S", ROOT, "-B", build, *_generator(), "-DDDC_BUILD_PYTHON=OFF",
         "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=/nonexistent/never/used")
    _run("cmake", "--build", build, "--parallel", "2")
    _run("cmake", "--install", build, "--prefix", prefix)
    return prefix


def _libdir(prefix):
    return next(p.parent for p in prefix.rglob("libquorvel_ddc.a"))


def _check_tone_report(out):
    fields = dict(line.split(": ", 1) for line in out.strip().splitlines())
    assert fields["output"].startswith("6000 samples at 6000 Hz")
    assert abs(float(fields["residual frequency"].split()[0])) < 1e-3
    # A real cosine of amplitude 0.5 leaves half of it as the complex envelope.
    assert float(fields["amplitude"]) == pytest.approx(0.25, rel=0.01)


def test_installed_tree_has_library_headers_and_package_files(prefix):
    libdir = _libdir(prefix)
    assert (libdir / "cmake" / "quorvel_ddc" / "quorvel_ddcConfig.cmake").is_file()
    assert (libdir / "cmake" / "quorvel_ddc" / "quorvel_ddcConfigVersion.cmake").is_file()
    assert (libdir / "pkgconfig" / "quorvel_ddc.pc").is_file()
    umbrella = prefix / "include" / "quorvel_ddc.h"
    included = re.findall(r'#include "([^"]+)"', umbrella.read_text())
    # Every header of the source tree's families is installed in its subdirectory
    # and reached from the umbrella.
    for family in ("stages/lo.h", "stages/resamp.h", "rate/rate_converter.h", "ddc/ddcr.h",
                   "ddc/ddc.h", "design/kaiser.h", "design/ciccomp.h", "stages/ddc_types.h"):
        assert f"quorvel_ddc/{family}" in included
    for rel in included:
        assert (prefix / "include" / rel).is_file(), rel
    # The wheel's extension does not belong in a native install.
    assert not list(prefix.rglob("ddc_fn*"))


def test_example_builds_with_find_package_and_runs(prefix, tmp_path):
    build = tmp_path / "example"
    _run("cmake", "-S", ROOT / "examples", "-B", build, *_generator(),
         f"-DCMAKE_PREFIX_PATH={prefix}")
    _run("cmake", "--build", build)
    _check_tone_report(_run(build / "tone"))


@pytest.mark.skipif(shutil.which("pkg-config") is None, reason="needs pkg-config")
def test_example_builds_with_pkg_config_and_cc_and_runs(prefix, tmp_path):
    env = dict(os.environ, PKG_CONFIG_PATH=str(_libdir(prefix) / "pkgconfig"))
    flags = _run("pkg-config", "--cflags", "--libs", "quorvel_ddc", env=env).split()
    exe = tmp_path / "tone"
    _run("cc", "-std=c11", "-pedantic", "-Wall", "-Wextra", "-Werror",
         ROOT / "examples" / "tone.c", "-o", exe, *flags, "-lm", env=env)
    _check_tone_report(_run(exe))


@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
def test_umbrella_header_compiles_as_cpp(prefix, tmp_path):
    src = tmp_path / "use.cpp"
    src.write_text("#include <quorvel_ddc.h>\n"
                   "int main() { return ddcr_create(-0.7, 0.25) == nullptr; }\n")
    _run("c++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
         f"-I{prefix / 'include'}", src)
