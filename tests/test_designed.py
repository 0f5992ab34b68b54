"""Designed plans: spectral masks measured on tones through the native interface.

Every figure is measured, not computed from taps: pass band 0..0.4 fs_out flat
within +-0.05 dB of the gain at 0.1 fs_out, every tone more than 0.6 fs_out
from the carrier at least atten_db below a pass-band tone of the same
amplitude, and a pass-band tone's spurious-free dynamic range at least atten_db.
"""
import ctypes

import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, lib, nan_policy_equal, ptr, thin

ATTENS = tuple(thin((60.0, 80.0, 100.0), 2))
N_OUT = 2048
WINDOW_BETA = 16.0  # Kaiser side lobes about 150 dB down


# --- running a designed converter ------------------------------------------

class Converter:
    """A designed DDCR (real input) or DDC (complex input) through ctypes.

    sharp: the DDCR's first stage is its carrier-independent design (created at
    a carrier by the band's edge, then retuned), as a channel bank has it."""

    def __init__(self, real, rate, atten, carrier, sharp=False):
        self.real, self.rate, self.carrier = real, rate, carrier
        if real:
            h = lib.ddcr_create_designed(-(2.0 * (1e-3 if sharp else carrier) + 0.5), rate, atten)
            self.h = Handle(h, lib.ddcr_destroy)
            lib.ddcr_set_norm_freq(h, -(2.0 * carrier + 0.5))
            self._exec, self._cap = lib.ddcr_execute, lib.ddcr_capacity
            self.delay = lib.ddcr_get_delay(self.h.p)
        else:
            h = lib.ddc_create_designed(-carrier, rate, atten)
            self.h = Handle(h, lib.ddc_destroy)
            self._exec, self._cap = lib.ddc_execute, lib.ddc_execute_capacity
            self.delay = lib.ddc_get_delay(self.h.p)

    def run(self, x):
        x = np.ascontiguousarray(x, np.float32 if self.real else np.complex64)
        cap = self._cap(self.h.p, len(x))
        out = np.empty(max(cap, 1), np.complex64)
        n = self._exec(self.h.p, ptr(x), len(x), ptr(out), cap)
        return out[:n]


def tones(real, freqs, n, seed=0):
    """Unit tones at freqs (cycles per input sample), random phases.

    Per block of samples, each tone is a phasor for the block times phasors
    within it: one matrix product, accurate to ~1e-15 in float64.
    """
    ph = np.random.default_rng(seed).uniform(0, 2 * np.pi, len(freqs))
    f = np.asarray(freqs, np.float64)
    b = 4096
    blocks = -(-n // b)
    inner = np.exp(2j * np.pi * np.outer(f, np.arange(b)))
    outer = np.exp(1j * (2 * np.pi * np.outer(np.arange(blocks), (f * b) % 1.0) + ph))
    x = (outer @ inner).ravel()[:n] if len(f) else np.zeros(n, np.complex128)
    return x.real.copy() if real else x


def settled(conv, freqs, seed=0, n_out=None, scale=1.0):
    """n_out outputs of a fresh converter fed the tones, after its transient."""
    if n_out is None:  # shorter records where every output costs many inputs
        n_out = N_OUT if conv.rate > 2e-3 else N_OUT // 2 if conv.rate > 2e-4 else N_OUT // 4
    skip = int(2 * conv.delay) + 64
    n_in = int(np.ceil((n_out + skip + 4) / min(conv.rate, 1.0)))
    y = conv.run(scale * tones(conv.real, freqs, n_in, seed))
    assert len(y) >= skip + n_out
    return y[skip:skip + n_out]


def window(n):
    w = np.kaiser(n, WINDOW_BETA)
    return w / w.sum()


def amplitude(y, f):
    """Amplitude of the component at f cycles per output sample (no scalloping)."""
    k = np.arange(len(y))
    return abs(np.sum(y * window(len(y)) * np.exp(-2j * np.pi * f * k)))


def peak(y, exclude=()):
    """Strongest spectral line, leaving out main lobes around the given frequencies."""
    n = len(y)
    spec = np.abs(np.fft.fft(y * window(n), 8 * n))
    f = np.fft.fftfreq(8 * n)
    for f0 in exclude:
        d = np.abs((f - f0 + 0.5) % 1.0 - 0.5)
        spec[d < 12.0 / n] = 0.0
    return spec.max()


def db(v):
    return 20 * np.log10(max(v, 1e-30))


def out_freq(conv, f_in):
    """Output frequency (cycles per output sample) of an input tone's wanted image."""
    return ((f_in - conv.carrier) / conv.rate + 0.5) % 1.0 - 0.5


# --- the figures --------------------------------------------------------------

def pass_band(conv):
    """Gain deviation (dB) over 0..0.4 fs_out relative to 0.1 fs_out, and the reference amplitude."""
    offs = np.array([0.1, 0.0, 0.2, -0.2, 0.3, -0.3, 0.35, -0.35, 0.4, -0.4])
    if conv.rate > 1:
        offs = offs / conv.rate  # the band is the input's: 0.4 fs_in
    freqs = conv.carrier + offs * conv.rate
    y = settled(conv, freqs)
    amps = np.array([amplitude(y, out_freq(conv, f)) for f in freqs])
    return np.abs(20 * np.log10(amps / amps[0])).max(), amps[0]


def alias_tones(conv, seed):
    """Input tones more than 0.6 fs_out from the carrier, aimed at the folds of every stage."""
    r, c = min(conv.rate, 1.0), conv.carrier
    rng = np.random.default_rng(seed)
    offs = [0.6 * r * 1.001, 0.65 * r, 0.8 * r, r, 1.4 * r]
    f_stage = 0.5 if conv.real else 1.0  # input rate of the converter, per fs_in
    while f_stage > 2 * r:                # a fold of each octave near the band
        offs += [f_stage / 2 - 0.55 * r, f_stage / 2, f_stage / 2 + 0.45 * r, f_stage - 0.3 * r]
        f_stage /= 2
    if 0.6 * r < 0.5:
        offs += list(np.exp(rng.uniform(np.log(0.6 * r), np.log(0.5), 24)))
    freqs = [c + s * o for o in offs for s in (1, -1)]
    if conv.real:
        freqs += [1e-4, 0.004, 0.01, 0.02, 0.03, 0.47, 0.48, 0.49, 0.496, 0.4999]
        freqs = [f for f in freqs if 0 < f < 0.5 and abs(f - c) > 0.6 * r * 1.0005]
    else:
        freqs = [(f + 0.5) % 1.0 - 0.5 for f in freqs
                 if 0.6 * r * 1.0005 < abs(f - c) <= 0.5]
    return freqs


def worst_alias(conv, ref, seed=1):
    """Strongest output line from out-of-band tones, dB relative to a pass-band tone."""
    freqs = alias_tones(conv, seed)
    worst = -np.inf
    for g in range(0, len(freqs), 16):
        y = settled(conv, freqs[g:g + 16], seed=g)
        worst = max(worst, db(peak(y) / ref))
    return worst


def sfdr(conv, off=0.17):
    f = conv.carrier + off * min(conv.rate, 1.0)
    y = settled(conv, [f])
    fo = out_freq(conv, f)
    return db(amplitude(y, fo) / peak(y, exclude=[fo]))


# --- sweeps -------------------------------------------------------------------

POW2 = [2.0 ** -k for k in range(2, 11)]
DDCR_RATES = thin(sorted(set(
    POW2 + [p * 1.013 for p in POW2] + [p / 1.013 for p in POW2]
    + [1 / 3, 0.3, 0.45, 0.1, 1 / 12, 0.04, 0.02, 0.01, 1e-3])))


def ddcr_carrier(rate):
    # the wanted band inside [0.05, 0.45] fs_in, off the centre where possible
    lo, hi = 0.05 + 0.5 * rate, 0.45 - 0.5 * rate
    return 0.25 if hi <= lo else lo + 0.37 * (hi - lo)


@pytest.mark.parametrize("atten", ATTENS)
@pytest.mark.parametrize("rate", DDCR_RATES, ids=lambda r: f"{r:.6g}")
def test_ddcr_mask(rate, atten):
    conv = Converter(True, rate, atten, ddcr_carrier(rate))
    ripple, ref = pass_band(conv)
    assert ripple <= 0.05, f"pass band {ripple:.4f} dB"
    worst = worst_alias(Converter(True, rate, atten, conv.carrier), ref)
    assert worst <= -atten, f"alias at {worst:.1f} dB"
    assert sfdr(Converter(True, rate, atten, conv.carrier)) >= atten


DDC_RATES = thin([1.3 * 2 ** -15, 2 ** -12 * 0.77, 1e-3, 2 ** -8, 0.01, 0.1, 0.3, 0.45, 0.5, 0.6,
                  0.77, 0.99, 1.0, 1.5, 2.7])


@pytest.mark.parametrize("atten", ATTENS)
@pytest.mark.parametrize("rate", DDC_RATES, ids=lambda r: f"{r:.6g}")
def test_ddc_mask(rate, atten):
    if rate < 2e-4 and atten != 80.0:
        pytest.skip("the slowest rate runs at the default attenuation only")
    carrier = -0.213
    conv = Converter(False, rate, atten, carrier)
    ripple, ref = pass_band(conv)
    assert ripple <= 0.05, f"pass band {ripple:.4f} dB"
    if rate < 1:
        assert worst_alias(Converter(False, rate, atten, carrier), ref) <= -atten
    assert sfdr(Converter(False, rate, atten, carrier)) >= atten


# --- the other properties -------------------------------------------------------

CASES = [(True, 0.25), (True, 0.1), (True, 0.02), (True, 0.0078125), (True, 0.45),
         (False, 0.3), (False, 1 / 64), (False, 1.0), (False, 2.3)]
CASE_IDS = [f"{'ddcr' if real else 'ddc'}-{rate:.6g}" for real, rate in CASES]


def make(real, rate, atten=80.0, carrier=None):
    return Converter(real, rate, atten, ddcr_carrier(rate) if carrier is None else carrier)


def noise(real, n, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n)
    if not real:
        x = x + 1j * rng.standard_normal(n)
    return x


@pytest.mark.parametrize("real,rate", CASES, ids=CASE_IDS)
def test_block_splits_and_reset(real, rate):
    x = noise(real, 40_000)
    whole = make(real, rate).run(x)
    rng = np.random.default_rng(int(rate * 1e6))
    conv = make(real, rate)
    parts, i = [], 0
    while i < len(x):
        n = int(rng.choice([0, 1, 2, 3, 7, 64, 1000, 4097]))
        parts.append(conv.run(x[i:i + n]))
        if real:  # the room every DDCR block is promised
            assert len(parts[-1]) <= lib.ddcr_execute_capacity(n)
        i += n
    assert bits_equal(np.concatenate(parts), whole)
    reset_fn = lib.ddcr_reset if real else lib.ddc_reset
    reset_fn(conv.h.p)
    assert bits_equal(conv.run(x), whole)


@pytest.mark.parametrize("real,rate", CASES, ids=CASE_IDS)
def test_capacity_is_exact_and_tight(real, rate):
    conv = make(real, rate)
    cap = lib.ddcr_capacity if real else lib.ddc_execute_capacity
    rng = np.random.default_rng(5)
    for n in rng.integers(0, 5000, 20):
        predicted = cap(conv.h.p, int(n))
        got = len(conv.run(noise(real, int(n))))
        assert got <= predicted <= got + 2  # held-over decimator sample at most


@pytest.mark.parametrize("real,rate", CASES, ids=CASE_IDS)
def test_silence_and_linearity(real, rate):
    conv = make(real, rate)
    z = np.zeros(30_000)
    assert not np.any(conv.run(z))
    conv.run(noise(real, 5000))
    (lib.ddcr_reset if real else lib.ddc_reset)(conv.h.p)
    assert not np.any(conv.run(z))
    x = noise(real, 30_000)
    y1 = make(real, rate).run(x)
    big = make(real, rate).run(x * 1e6)
    assert np.max(np.abs(big / 1e6 - y1)) <= 1e-5 * np.max(np.abs(y1))


def test_quiet_tone_keeps_its_gain():
    # -100 dBFS: no quantiser in the way, the same gain as at full scale
    conv = make(True, 0.02)
    f = conv.carrier + 0.1 * conv.rate
    fo = out_freq(conv, f)
    loud = amplitude(settled(conv, [f]), fo)
    quiet = amplitude(settled(make(True, 0.02), [f], scale=1e-5), fo) / 1e-5
    assert loud > 0.49 and abs(db(quiet / loud)) < 0.01


VARIANTS = VECTOR_LEVELS


@pytest.mark.skipif(not VARIANTS, reason="no vector variant on this CPU")
@pytest.mark.parametrize("real,rate", CASES, ids=CASE_IDS)
def test_variants_byte_identical(real, rate):
    saved = lib.ddc_simd_level()
    x = noise(real, 30_011)
    x[1234] = np.inf
    x[20_000] = np.nan
    try:
        outs = []
        for level in [0] + VARIANTS:
            assert lib.ddc_simd_force(level) == level
            conv = make(real, rate)
            outs.append(np.concatenate([conv.run(x[:777]), conv.run(x[777:])]))
    finally:
        lib.ddc_simd_force(saved)
    for o in outs[1:]:
        assert nan_policy_equal(o, outs[0])


@pytest.mark.skipif(not VARIANTS, reason="no vector variant on this CPU")
@pytest.mark.parametrize("real,rate", [(True, 0.25), (False, 1 / 64)], ids=["ddcr-0.25", "ddc-0.015625"])
def test_variants_byte_identical_in_short_room(real, rate):
    # outputs cut short by the room given; the oscillator still moves on by every input
    x = np.ascontiguousarray(noise(real, 36_000), np.float32 if real else np.complex64)
    saved = lib.ddc_simd_level()
    try:
        outs = []
        for level in [0] + VARIANTS:
            assert lib.ddc_simd_force(level) == level
            conv, got, pos = make(real, rate), [], 0
            for n, room in ((5001, 3), (7777, 100), (9001, 10_000), (333, 1), (13_888, 5)):
                out = np.empty(room, np.complex64)
                got.append(out[:conv._exec(conv.h.p, ptr(x[pos:pos + n]), n, ptr(out), room)])
                pos += n
            outs.append(np.concatenate(got))
    finally:
        lib.ddc_simd_force(saved)
    for o in outs[1:]:
        assert bits_equal(o, outs[0])


@pytest.mark.parametrize("real,rate", [(True, 0.25), (True, 0.1), (True, 0.02), (True, 0.3), (False, 0.3),
                                       (False, 1 / 64), (False, 2.3)])
def test_delay_is_the_group_delay(real, rate):
    # two tones: the slope of output phase over frequency, against output j
    # at input time j / rate, is the stated delay
    conv = make(real, rate)
    band = min(rate, 1.0)
    offs = np.array([0.05, 0.0625]) * band  # 80 output samples before the phase wraps
    y = settled(conv, list(conv.carrier + offs))
    j = np.arange(len(y))
    fo = offs / rate
    lags = [np.angle(np.sum(y * window(len(y)) * np.exp(-2j * np.pi * f * j))) for f in fo]
    ph = np.random.default_rng(0).uniform(0, 2 * np.pi, 2)  # the tones' start phases
    skip = int(2 * conv.delay) + 64
    # output skip + j of tone i has phase 2 pi fo_i (skip + j - delay) + ph_i + a common constant
    slope = (lags[1] - ph[1]) - (lags[0] - ph[0]) - 2 * np.pi * (fo[1] - fo[0]) * skip
    slope = (slope + np.pi) % (2 * np.pi) - np.pi
    measured = -slope / (2 * np.pi * (fo[1] - fo[0]))
    assert abs(measured - conv.delay) < 0.05


def labels(real, h):
    count = (lib.ddcr_get_num_stages if real else lib.ddc_get_num_stages)(h.p)
    fn = lib.ddcr_stage_label if real else lib.ddc_stage_label
    out = []
    for i in range(count):
        buf = ctypes.create_string_buffer(96)
        assert fn(h.p, i, buf, 96) == 1
        out.append(buf.value.decode())
    assert fn(h.p, count, buf, 96) == 0
    return out


def test_plans_and_queries():
    d = make(True, 0.1)
    assert labels(True, d.h)[:2] == [labels(True, d.h)[0], "NCO(32-bit phase)"]
    assert labels(True, d.h)[0].startswith("HalfbandR2C(")
    assert any(s.startswith("Resampler(") for s in labels(True, d.h))
    assert lib.ddcr_get_atten_db(d.h.p) == 80.0
    assert 0 < lib.ddcr_get_cost(d.h.p) < 200
    exact = Handle(lib.ddcr_create(-0.7, 0.1), lib.ddcr_destroy)
    assert labels(True, exact) == ["HalfbandR2C(35 taps)", "NCO(16-bit table)", "Resampler(0.2)"]
    assert lib.ddcr_get_atten_db(exact.p) == 0.0
    pow2 = make(False, 1 / 16)
    assert all(s.startswith("HalfbandDecimator(") for s in labels(False, pow2.h)[1:])
    assert len(labels(False, pow2.h)) == 5
    assert labels(False, make(False, 1.0).h)[1:] == ["Passthrough"]


@pytest.mark.parametrize("rate", [0.02, 0.1])
def test_first_stage_follows_the_carrier(rate):
    """Wide first stage at a central carrier; a retune it cannot serve switches
    to the sharp design mid-stream: figures kept, no sample lost or repeated,
    any block split of the same stream gives the same bytes."""
    def first(conv):
        return int(labels(True, conv.h)[0].split("(")[1].split()[0])

    central, edge = make(True, rate, carrier=0.2), make(True, rate, carrier=0.05 + 0.5 * rate)
    wide, sharp = first(central), first(edge)
    assert wide < sharp
    lib.ddcr_set_norm_freq(central.h.p, -(2.0 * 0.21 + 0.5))  # still served
    assert first(central) == wide
    x = noise(True, 30_000)
    whole = make(True, rate, carrier=0.2)
    head = whole.run(x[:10_001])
    whole.carrier = edge.carrier
    lib.ddcr_set_norm_freq(whole.h.p, -(2.0 * edge.carrier + 0.5))
    assert first(whole) == sharp
    assert len(head) + len(whole.run(x[10_001:])) == len(edge.run(x))
    rng = np.random.default_rng(7)
    for trial in range(2):
        conv, parts, i = make(True, rate, carrier=0.2), [], 0
        while i < len(x):
            n = min(int(rng.choice([1, 2, 3, 64, 4097])), 10_001 - i if i < 10_001 else len(x))
            parts.append(conv.run(x[i:i + n]))
            i += n
            if i == 10_001:
                lib.ddcr_set_norm_freq(conv.h.p, -(2.0 * edge.carrier + 0.5))
        first_conv = make(True, rate, carrier=0.2)
        ref = first_conv.run(x[:10_001])
        lib.ddcr_set_norm_freq(first_conv.h.p, -(2.0 * edge.carrier + 0.5))
        assert bits_equal(np.concatenate(parts), np.concatenate([ref, first_conv.run(x[10_001:])]))
    whole.delay = lib.ddcr_get_delay(whole.h.p)
    assert whole.delay == edge.delay
    ripple, ref_level = pass_band(whole)
    assert ripple <= 0.05
    assert worst_alias(whole, ref_level) <= -80.0


@pytest.mark.parametrize("rate,atten", [(0.0, 80), (0.5, 80), (-0.1, 80), (float("nan"), 80),
                                        (0.1, 39.9), (0.1, 120.1), (0.1, float("nan")),
                                        (0.1, float("inf"))])
def test_refused(rate, atten):
    assert not lib.ddcr_create_designed(0.0, rate, atten)
    ddc_rate = rate if rate != 0.5 else float("inf")
    assert not lib.ddc_create_designed(0.0, ddc_rate, atten)
    assert not lib.RateConverter_create_designed(ddc_rate, atten)
