"""The extension imports and exports the whole native interface, nothing else."""
import shutil
import subprocess

import pytest

from native import SIGNATURES, lib


def test_module_imports_with_docstring():
    import ddc_fn

    assert ddc_fn.__doc__ == "Functional DDCR API \u2014 state and buffer passed explicitly."


def test_every_declared_function_is_exported():
    assert lib.missing == []


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_public_interface_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", lib.path], capture_output=True,
                         text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.split()[-2:-1] == ["T"]}
    assert names == set(SIGNATURES) | {"PyInit_ddc_fn"}
