"""The ddc_fn docstrings: their layout, and their examples run as doctests (the package's too)."""
import doctest
import re

import pytest

import ddc_fn

SUMMARIES = {
    "ddcr_create": ("ddcr_create(norm_freq, rate) -> state",
                    "Allocate and initialise a DDCR down-converter state handle."),
    "ddcr_execute": ("ddcr_execute(state, x, out) -> ndarray[complex64]",
                     "Process a block of real float32 samples through the DDCR."),
    "ddcr_reset": ("ddcr_reset(state) -> None",
                   "Zero all DDCR filter history without freeing or recreating the state."),
    "ddcr_destroy": ("ddcr_destroy(state) -> None",
                     "Release DDCR C resources immediately, without waiting for the GC."),
    "ddcr_get_norm_freq": ("ddcr_get_norm_freq(state) -> float",
                           "Return the current fine NCO normalised frequency."),
    "ddcr_set_norm_freq": ("ddcr_set_norm_freq(state, norm_freq) -> None",
                           "Retune the fine NCO frequency without disturbing filter history."),
    "ddcr_get_rate": ("ddcr_get_rate(state) -> float",
                      "Return the total configured output-to-input rate ratio."),
}
SECTIONS = ["Parameters", "Returns", "Raises", "Examples"]


@pytest.mark.parametrize("name", list(SUMMARIES))
def test_docstring_layout(name):
    doc = getattr(ddc_fn, name).__doc__
    lines = doc.splitlines()
    signature, summary = SUMMARIES[name]
    assert lines[0] == signature
    assert lines[1] == ""
    assert lines[2] == summary
    assert lines[3] == ""
    assert lines[4], "a description follows the summary"
    found = [lines[i] for i in range(len(lines) - 1)
             if lines[i] in SECTIONS and re.fullmatch(r"-+", lines[i + 1])
             and len(lines[i + 1]) == len(lines[i])]
    assert found == SECTIONS
    assert "from quorvel.ddc import" in doc


@pytest.mark.parametrize("name", list(SUMMARIES))
def test_docstring_examples_run(name):
    doc = getattr(ddc_fn, name).__doc__
    test = doctest.DocTestParser().get_doctest(doc, {}, f"ddc_fn.{name}", None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_module_docstring():
    assert ddc_fn.__doc__ == "Functional DDCR API \u2014 state and buffer passed explicitly."


@pytest.mark.parametrize("module", ["quorvel.ddc.api", "quorvel.ddc.many", "quorvel.ddc.bank"])
def test_package_docstring_examples_run(module):
    import importlib

    mod = importlib.import_module(module)
    result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0, module
