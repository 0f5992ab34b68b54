"""The DDCR class: with the exact plan the same samples as the ddc_fn calls, safer edges.

Every comparison runs the functional API once over the whole signal with a
generous buffer, and the class in blocks with buffers it sizes itself, so a
too-small allocation anywhere would show up as missing samples.
"""
import ast
import math
from pathlib import Path

import numpy as np
import pytest

import ddc_fn
import quorvel.ddc as pkg
from native import lib
from quorvel.ddc import DDCR, norm_freq_for, output_capacity

ROOT = Path(__file__).resolve().parent.parent
# (carrier, rate): cascades of half-bands only, resampler, CIC, and the edges.
CASES = [(0.1, 0.25), (0.137, 0.1), (0.23, 0.03125), (0.31, 0.4999), (0.42, 0.0013), (0.0, 0.2)]


def noisy_tones(n, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    x = 0.4 * np.cos(2 * np.pi * 0.1 * t) + 0.3 * np.cos(2 * np.pi * 0.31 * t + 1.0)
    return (x + 0.05 * rng.standard_normal(n)).astype(np.float32)


def functional(x, norm_freq, rate):
    state = ddc_fn.ddcr_create(norm_freq, rate)
    out = np.empty(len(x) + 16, np.complex64)
    y = ddc_fn.ddcr_execute(state, x, out).copy()
    ddc_fn.ddcr_destroy(state)
    return y


def in_blocks(ddc, x, sizes):
    parts, pos, k = [], 0, 0
    while pos < len(x):
        n = sizes[k % len(sizes)]
        parts.append(ddc.process(x[pos:pos + n]).copy())
        pos, k = pos + n, k + 1
    return np.concatenate(parts)


@pytest.mark.parametrize("carrier,rate", CASES)
def test_class_in_blocks_equals_functional_api_at_once(carrier, rate):
    x = noisy_tones(20011)
    want = functional(x, norm_freq_for(carrier), rate)
    with DDCR(norm_freq_for(carrier), rate, atten_db=None) as ddc:
        got = in_blocks(ddc, x, [1, 2, 3, 4093, 17, 5000])
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("rate", [0.4999, 0.37, 0.26, 0.0013])
def test_self_sized_output_never_drops_samples_with_one_sample_blocks(rate):
    # The case that defeats a capacity of len(x): one input completing a CIC
    # output that an interpolating resampler turns into two.
    x = noisy_tones(6000)
    want = functional(x, -0.7, rate)
    with DDCR(-0.7, rate, atten_db=None) as ddc:
        got = in_blocks(ddc, x, [1])
    assert got.tobytes() == want.tobytes()


def test_retune_and_reset_follow_the_functional_calls():
    x = noisy_tones(9000)
    state = ddc_fn.ddcr_create(norm_freq_for(0.1), 0.1)
    out = np.empty(9100, np.complex64)
    want = [ddc_fn.ddcr_execute(state, x[:4000], out).copy()]
    ddc_fn.ddcr_set_norm_freq(state, norm_freq_for(0.31))
    want.append(ddc_fn.ddcr_execute(state, x[4000:], out).copy())
    ddc_fn.ddcr_reset(state)
    want.append(ddc_fn.ddcr_execute(state, x, out).copy())

    ddc = DDCR(norm_freq_for(0.1), 0.1, atten_db=None)
    got = [ddc.process(x[:4000]).copy()]
    ddc.norm_freq = norm_freq_for(0.31)
    assert ddc.norm_freq == norm_freq_for(0.31)
    got.append(ddc.process(x[4000:]).copy())
    ddc.reset()
    got.append(ddc.process(x).copy())
    assert ddc.rate == 0.1 and ddc.norm_freq == norm_freq_for(0.31)
    for g, w in zip(got, want):
        assert g.tobytes() == w.tobytes()


def test_caller_buffer_is_used_and_checked():
    ddc = DDCR(-0.7, 0.25, atten_db=None)
    buf = np.empty(output_capacity(4096), np.complex64)
    y = ddc.process(np.zeros(4096, np.float32), out=buf)
    assert len(y) == 1024 and np.shares_memory(y, buf)
    with pytest.raises(ValueError, match="may need"):
        ddc.process(np.zeros(4096, np.float32), out=buf[:ddc.capacity(4096) - 1])
    with pytest.raises(TypeError):
        ddc.process(np.zeros(16, np.float32), out=np.empty(64, np.complex128))


def test_sequences_are_converted_but_float64_arrays_are_not_rounded_silently():
    x = noisy_tones(300)
    with DDCR(-0.7, 0.25) as a, DDCR(-0.7, 0.25) as b:
        assert a.process(x.tolist()).tobytes() == b.process(x).tobytes()
        with pytest.raises(TypeError):
            a.process(x.astype(np.float64))


@pytest.mark.parametrize("rate", [0.0, 0.5, -0.1, 0.75, math.nan, math.inf])
def test_rate_outside_open_interval_is_a_value_error(rate):
    with pytest.raises(ValueError, match=r"\(0, 0.5\)"):
        DDCR(-0.7, rate)


def test_close_is_idempotent_and_later_use_raises_while_views_survive():
    ddc = DDCR(-0.7, 0.25)
    y = ddc.process(np.ones(256, np.float32))
    ddc.close()
    ddc.close()
    assert ddc.closed and "closed" in repr(ddc)
    for use in (lambda: ddc.process(np.zeros(4, np.float32)), ddc.reset,
                lambda: ddc.norm_freq, lambda: ddc.rate):
        with pytest.raises(RuntimeError, match="closed"):
            use()
    assert np.isfinite(y).all() and len(y) == 64


def test_context_manager_closes_on_exit_and_on_error():
    with DDCR(-0.7, 0.25) as ddc:
        assert repr(ddc) == "DDCR(norm_freq=-0.7, rate=0.25, atten_db=80.0)"
    assert ddc.closed
    with pytest.raises(KeyError):
        with DDCR(-0.7, 0.25) as ddc:
            raise KeyError
    assert ddc.closed


@pytest.mark.parametrize("carrier,fs,want", [
    (0.1, None, -0.7), (0.25, None, -1.0), (0.0, None, -0.5),
    (12_000.0, 48_000.0, -1.0), (0.0, 1e6, -0.5), (0.5, None, -1.5), (24e3, 48e3, -1.5),
])
def test_norm_freq_for_brings_the_carrier_to_dc(carrier, fs, want):
    assert norm_freq_for(carrier, fs) == pytest.approx(want, abs=1e-15)


@pytest.mark.parametrize("carrier,fs,match", [
    (math.nan, None, "finite"), (math.inf, None, "finite"), (1.0, 0.0, "fs must"),
    (1.0, -48e3, "fs must"), (1.0, math.nan, "fs must"),
    # a carrier in Hz without fs, or outside what a real input holds
    (6000.0, None, r"outside \[0, 0.5\] cycles per input sample; give fs="),
    (-0.1, None, r"\[0, 0.5\]"), (30e3, 48e3, r"outside \[0, fs/2\] = \[0, 24000\] Hz"),
])
def test_norm_freq_for_rejects_meaningless_input(carrier, fs, match):
    with pytest.raises(ValueError, match=match):
        norm_freq_for(carrier, fs)


def test_tone_at_the_carrier_lands_at_dc():
    fs, f = 48_000.0, 7_300.0
    x = np.cos(2 * np.pi * f / fs * np.arange(32768)).astype(np.float32)
    with DDCR(norm_freq_for(f, fs), 0.125) as ddc:
        y = ddc.process(x)[512:]
    assert int(np.argmax(np.abs(np.fft.fft(y)))) == 0


def test_output_capacity_is_the_native_bound():
    for n in [0, 1, 2, 3, 64, 4097, 1 << 20]:
        assert output_capacity(n) == lib.ddcr_execute_capacity(n)
    with pytest.raises(ValueError):
        output_capacity(-1)


def _stub_names(path):
    tree = ast.parse(path.read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname or a.name for a in node.names)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return {n for n in names if not n.startswith("_")}


def test_stubs_declare_exactly_the_public_names():
    functions = {n for n in dir(ddc_fn) if not n.startswith("_") and callable(getattr(ddc_fn, n))}
    declared = _stub_names(ROOT / "binding" / "ddc_fn.pyi")
    assert functions <= declared
    package_dir = Path(pkg.__file__).parent
    assert (package_dir / "py.typed").is_file()
    public = {n for n in dir(pkg) if not n.startswith("_")} - {"api", "bank", "many", "cli", "demo"}
    assert _stub_names(package_dir / "__init__.pyi") == public
