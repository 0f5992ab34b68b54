"""Designed polyphase resampler (presamp_*): figures measured on tones, stream
semantics, and every kernel variant byte for byte against the scalar one."""
import math

import numpy as np
import pytest

from native import VECTOR_LEVELS, Handle, bits_equal, lib, ptr, thin

RATES = thin([0.31, 0.35, 0.5, 0.59, 0.9, 1.0 / 1.37, 1.5, 3.3])
ATTENS = thin([60, 80, 100, 120], 2)
VARIANTS = VECTOR_LEVELS
DEFAULT_NAN = np.uint32(0xFFC00000).view(np.float32)  # the NaN x86 arithmetic creates (inf - inf)
SIZE_MAX = 2**64 - 1
N_FFT = 8192  # steady-state outputs analysed per tone

# Blackman-Harris, 7 terms: side lobes near -180 dB, main lobe within 7 bins.
BH7 = [0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803,
       0.01081174209837, 0.00077658482522, 0.00001388721735]


def make(rate, atten=80):
    return Handle(lib.presamp_create(rate, atten), lib.presamp_destroy)


def run(h, x, cap=None):
    """One execute; with no cap, room for exactly the predicted count, which must all come."""
    x = np.ascontiguousarray(x, np.complex64)
    want = lib.presamp_capacity(h.p, len(x))
    room = want if cap is None else cap
    out = np.zeros(room + 1, np.complex64)
    n = lib.presamp_execute(h.p, ptr(x), len(x), ptr(out), room)
    assert n == min(room, want)
    return out[:n].copy()


def times(rate, count):
    """Output j is at j * round(2^32 / rate) / 2^32 input periods."""
    step = round(2.0**32 / rate)
    return np.arange(count, dtype=np.float64) * (step / 2.0**32)


def tone(f, n):
    return np.exp(2j * np.pi * f * np.arange(n)).astype(np.complex64)


def steady_tone(h, f):
    """The last N_FFT outputs of a tone at f cycles per input, long after the transient."""
    rate = lib.presamp_get_rate(h.p)
    lib.presamp_reset(h.p)
    n_in = int((N_FFT + 64) / rate) + lib.presamp_get_num_taps(h.p) + 64
    y = run(h, tone(f, n_in))
    return y[-N_FFT:], times(rate, len(y))[-N_FFT:]


def spectrum_db(y):
    """Power per line in dB of a unit tone, 4x interpolated so a line's peak is not missed."""
    n = np.arange(len(y))
    w = sum((-1) ** i * c * np.cos(2 * np.pi * i * n / len(y)) for i, c in enumerate(BH7))
    s = np.abs(np.fft.fft(y * w, 4 * len(y))) ** 2 / np.sum(w) ** 2
    return 10 * np.log10(np.maximum(s, 1e-30))


def strongest_db(y):
    return spectrum_db(y).max()


def spur_db(y):
    """Strongest line apart from the tone (its main lobe of 7 bins either side taken out)."""
    s = spectrum_db(y)
    k = int(np.argmax(s))
    d = (np.arange(len(s)) - k) % len(s)
    return s.max(), s[(d > 4 * 8) & (d < len(s) - 4 * 8)].max()


def response(y, t, f):
    """Complex gain of the tone at f seen at the output times t (delay included)."""
    w = np.hanning(len(y))
    return np.sum(w * y * np.exp(-2j * np.pi * f * t)) / np.sum(w)


@pytest.fixture(scope="module")
def filters():
    made = {}

    def get(rate, atten):
        if (rate, atten) not in made:
            made[rate, atten] = make(rate, atten)
        return made[rate, atten]

    yield get
    for h in made.values():
        h.close()


# ---- figures on tones ---------------------------------------------------------

@pytest.mark.parametrize("atten", ATTENS)
@pytest.mark.parametrize("rate", RATES)
def test_pass_band_flat(filters, rate, atten):
    h = filters(rate, atten)
    m = min(1.0, rate)
    ref = abs(response(*steady_tone(h, 0.1 * m), 0.1 * m))
    for f in (0.0, 0.013, 0.1, 0.2, 0.29, 0.35, 0.38, 0.4):
        for sign in (1, -1):
            g = abs(response(*steady_tone(h, sign * f * m), sign * f * m))
            assert abs(20 * math.log10(g / ref)) <= 0.02, (f, sign)
    assert abs(20 * math.log10(ref)) <= 0.02


@pytest.mark.parametrize("atten", ATTENS)
@pytest.mark.parametrize("rate", [r for r in RATES if 0.6 * r < 0.5])
def test_stop_band_rejected_when_decimating(filters, rate, atten):
    h = filters(rate, atten)
    level = strongest_db(steady_tone(h, 0.1 * rate)[0])
    for f in np.linspace(0.6 * rate, 0.5, 7):
        for sign in (1, -1):
            assert strongest_db(steady_tone(h, sign * f)[0]) <= level - atten, (f, sign)


@pytest.mark.parametrize("atten", ATTENS)
@pytest.mark.parametrize("rate", RATES)
def test_pass_band_tone_spurs_and_images_below_atten(filters, rate, atten):
    # Images of the input spectrum (interpolating) and the spurs of the linear
    # interpolation between phases (both) are lines apart from the tone.
    h = filters(rate, atten)
    m = min(1.0, rate)
    for f in (0.0123, 0.1771, -0.2913, 0.3497, 0.3989, -0.3999):
        peak, spur = spur_db(steady_tone(h, f * m)[0])
        assert spur <= peak - atten, f


@pytest.mark.parametrize("rate", [0.31, 0.59, 1.0 / 1.37, 1.5, 3.3])
def test_delay_is_the_phase_of_pass_band_tones(rate):
    with make(rate, 100) as h:
        delay = lib.presamp_get_delay(h.p)
        T = lib.presamp_get_num_taps(h.p)
        assert 0 < 2 * delay <= T and 2 * delay > T - 16
        m = min(1.0, rate)
        for f in (0.004 * m, 0.1 * m, -0.37 * m):
            g = response(*steady_tone(h, f), f)
            # The tone at output time t is the input at t - delay: phase -2 pi f delay.
            err = np.angle(g * np.exp(2j * np.pi * f * delay))
            assert abs(err) < 1e-5, f


def test_impulse_response_centre_is_the_delay():
    # At rate 0.5 every output falls on an input: output j sits at input 2j.
    with make(0.5, 100) as h:
        x = np.zeros(400, np.complex64)
        x[100] = 1.0
        y = run(h, x).real.astype(np.float64)
        t = times(0.5, len(y))
        centre = np.sum(t * y) / np.sum(y)
        assert abs(centre - (100 + lib.presamp_get_delay(h.p))) < 1e-3
        assert abs(np.sum(y) - 0.5) < 1e-5  # DC gain 1 at half the samples


# ---- interface and stream semantics -----------------------------------------

@pytest.mark.parametrize("rate, atten", [(0.0, 80), (-0.5, 80), (math.nan, 80), (math.inf, 80),
                                         (-math.inf, 80), (2.0**-31, 80), (2.0**31, 80),
                                         (0.5, 39), (0.5, 141), (0.5, 39.999), (0.5, 140.001),
                                         (0.5, math.nan), (0.5, math.inf), (1e-7, 120)])
def test_bad_arguments_give_null(rate, atten):
    assert not lib.presamp_create(rate, atten)


def test_getters_and_edges():
    for rate, atten in ((0.35, 40), (1.5, 140), (2.0**31 * (1 - 2**-40), 60), (1e-3, 60)):
        with make(rate, atten) as h:
            P, T = lib.presamp_get_num_phases(h.p), lib.presamp_get_num_taps(h.p)
            assert lib.presamp_get_rate(h.p) == rate and lib.presamp_get_atten_db(h.p) == atten
            assert P >= 16 and P & (P - 1) == 0 and T % 16 == 0
    lib.presamp_destroy(None)
    # Phases grow with the attenuation; taps grow as the rate falls.
    phases = []
    for a in ATTENS:
        with make(1.5, a) as h:
            phases.append(lib.presamp_get_num_phases(h.p))
    assert phases == sorted(phases) and phases[0] < phases[-1]
    with make(0.1, 80) as lo, make(0.9, 80) as hi:
        assert lib.presamp_get_num_taps(lo.p) > lib.presamp_get_num_taps(hi.p)


@pytest.mark.parametrize("rate", [0.31, 0.9, 1.0, 1.5, 3.3, 1e-3, 40.0])
def test_capacity_predicts_every_block(rate):
    rng = np.random.default_rng(int(rate * 1000) % 2**32)
    with make(rate, 60) as h:
        total_in = total_out = 0
        for _ in range(40):
            n = int(rng.choice([0, 1, 2, 3, 17, 256, 257, 1000]))
            x = np.zeros(n, np.complex64)
            total_out += len(run(h, x))  # run asserts the count is the prediction
            total_in += n
            # Output j falls due with input floor(t_j): all t_j < total_in are out.
            assert total_out == -(-total_in * 2**32 // round(2.0**32 / rate))
        assert lib.presamp_capacity(h.p, 0) == 0


def test_capacity_saturates():
    with make(2.0**30, 60) as h:
        assert lib.presamp_capacity(h.p, SIZE_MAX) == SIZE_MAX
        assert lib.presamp_capacity(h.p, 2**34) == SIZE_MAX
        assert lib.presamp_capacity(h.p, 10) == 10 * 2**30
    with make(1e-3, 60) as h:
        assert lib.presamp_capacity(h.p, SIZE_MAX) == -(-SIZE_MAX * 2**32 // round(2.0**32 / 1e-3))


def noise(n, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def blocks_of(x, sizes):
    cuts = np.cumsum(sizes)
    return np.split(x, cuts[cuts < len(x)])


@pytest.mark.parametrize("rate", [0.31, 0.59, 0.9, 1.5, 3.3])
def test_block_splits_and_reset_match_one_call(any_level, rate):
    assert lib.ddc_simd_force(any_level) == any_level
    x = noise(1500, 3)
    rng = np.random.default_rng(7)
    with make(rate, 100) as h:
        whole = run(h, x)
        for trial in range(3):
            lib.presamp_reset(h.p)
            sizes = rng.choice([0, 1, 2, 5, 16, 63, 255, 256, 257, 600], 25)
            assert bits_equal(np.concatenate([run(h, b) for b in blocks_of(x, sizes)]), whole)
        with make(rate, 100) as fresh:
            assert bits_equal(run(fresh, x), whole)


def test_silence_gives_exact_zeros(any_level):
    assert lib.ddc_simd_force(any_level) == any_level
    for rate in (0.35, 1.5):
        with make(rate, 120) as h:
            y = run(h, np.zeros(3000, np.complex64))
            assert len(y) > 0 and not y.view(np.uint32).any()


def test_an_exact_room_of_zero_takes_the_inputs():
    # Decimating, inputs 1 and 2 give no output: with no room they are still taken.
    x = noise(40, 6)
    with make(0.31) as h, make(0.31) as ref:
        head = run(h, x[:1])
        assert len(head) == 1 and lib.presamp_capacity(h.p, 2) == 0
        out = np.zeros(1, np.complex64)
        assert lib.presamp_execute(h.p, ptr(x[1:3]), 2, ptr(out), 0) == 0
        assert bits_equal(np.concatenate([head, run(h, x[3:])]), run(ref, x))


def test_empty_block_or_no_room_changes_nothing():
    x = noise(300, 5)
    with make(3.3) as h, make(3.3) as ref:
        run(h, x[:10], cap=2)  # leaves outputs owed
        run(ref, x[:10], cap=2)
        out = np.full(4, 7 + 7j, np.complex64)
        assert lib.presamp_execute(h.p, ptr(x), 0, ptr(out), 4) == 0
        assert lib.presamp_execute(h.p, ptr(x), 5, ptr(out), 0) == 0
        assert np.all(out == 7 + 7j)
        assert bits_equal(run(h, x[10:]), run(ref, x[10:]))


def taken_at_stop(rate, n, cap):
    """Inputs a fresh stream takes when its first block of n stops after cap outputs."""
    with make(rate) as h:
        caps = [lib.presamp_capacity(h.p, k) for k in range(n + 1)]
    k_cap = next(k for k in range(n + 1) if caps[k] >= cap)        # input of output cap, plus one
    k_next = next(k for k in range(n + 1) if caps[k] >= cap + 1)   # input of the next one, plus one
    return k_next if k_next == k_cap else k_next - 1


@pytest.mark.parametrize("rate", [0.31, 0.9, 1.5, 3.3, 40.0])
def test_short_room_stops_at_the_first_output_without_room(any_level, rate):
    assert lib.ddc_simd_force(any_level) == any_level
    x, y = noise(200, 1), noise(150, 2)
    with make(rate) as h:
        full = run(h, x)
    for cap in sorted({1, 2, 3, 5, len(full) // 3, len(full) // 2 + 1, len(full) - 1}):
        taken = taken_at_stop(rate, len(x), cap)
        with make(rate) as h, make(rate) as ref:
            head = run(h, x, cap=cap)
            assert bits_equal(head, full[:cap])
            # The rest of the block is dropped; an input with outputs still owed stays.
            expected = run(ref, np.concatenate([x[:taken], y]))
            assert bits_equal(np.concatenate([head, run(h, y)]), expected), cap


def test_tables_from_the_cache_match_designed_ones():
    # More designs than the cache has slots, all held at once, then again
    # from a cache that was refilled in between: the same outputs.
    x = noise(500, 9)
    attens = [60 + 2.5 * i for i in range(20)]
    held = [make(0.7, a) for a in attens]
    first = [run(h, x) for h in held]
    for h in held:
        h.close()
    for a, ref in zip(reversed(attens), reversed(first)):
        with make(0.7, a) as h:
            assert bits_equal(run(h, x), ref)


# ---- vector variants byte for byte ------------------------------------------

def run_at(level, rate, atten, x, sizes, in_offset=0, out_offset=0):
    assert lib.ddc_simd_force(level) == level
    outs = []
    with make(rate, atten) as h:
        for b in blocks_of(x, sizes):
            buf = np.zeros(len(b) + in_offset, np.complex64)
            buf[in_offset:] = b
            src = buf[in_offset:]
            want = lib.presamp_capacity(h.p, len(b))
            dst = np.zeros(want + out_offset + 1, np.complex64)
            n = lib.presamp_execute(h.p, ptr(src), len(b), ptr(dst[out_offset:]), want)
            assert n == want
            outs.append(dst[out_offset:out_offset + n].copy())
    return np.concatenate(outs)


def misaligned_view(n):
    """A complex64 buffer of n samples at an address 4 bytes off 8-byte alignment."""
    raw = np.zeros(2 * n + 2, np.float32)
    start = 1 if raw.ctypes.data % 8 == 0 else 0
    return raw[start:start + 2 * n].view(np.complex64)


@pytest.mark.parametrize("rate, atten", [(0.31, 120), (0.35, 80), (0.59, 60), (0.9, 100),
                                         (1.0 / 1.37, 80), (1.5, 80), (3.3, 120), (0.5, 100),
                                         (0.32, 100)])  # 0.5, 0.32: rows repeating every 1, 8 outputs
def test_variants_match_scalar(level, rate, atten):
    x = noise(2001, int(rate * 100))
    sizes = [1, 2, 3, 255, 256, 257, 7, 600]
    ref = run_at(0, rate, atten, x, sizes)
    assert bits_equal(run_at(level, rate, atten, x, sizes), ref)
    assert bits_equal(run_at(level, rate, atten, x, [2001]), ref)
    assert bits_equal(run_at(level, rate, atten, x, sizes[::-1], in_offset=1, out_offset=1), ref)


def test_variants_with_misaligned_buffers(level):
    x = noise(777, 4)
    ref = run_at(0, 1.5, 80, x, [777])
    assert lib.ddc_simd_force(level) == level
    with make(1.5, 80) as h:
        src = misaligned_view(len(x))
        src[:] = x
        want = lib.presamp_capacity(h.p, len(x))
        dst = misaligned_view(want)
        assert lib.presamp_execute(h.p, ptr(src), len(x), ptr(dst), want) == want
        assert bits_equal(dst, ref)


def special_stream(n, seed, nan):
    """NaN, inf, -0.0 and denormals in single parts of a few samples."""
    rng = np.random.default_rng(seed)
    x = noise(n, seed)
    flat = x.view(np.float32).reshape(-1, 2)
    values = np.array([nan, np.inf, -np.inf, -0.0, 1e-40, -1e-45, 3e38], np.float32)
    at = rng.choice(n, 12, replace=False)
    flat[at, rng.integers(0, 2, len(at))] = values[rng.integers(0, len(values), len(at))]
    return x


@pytest.mark.parametrize("rate", [0.35, 0.4, 0.9, 1.5, 3.3])  # 0.4: every output on a row
def test_variants_match_scalar_on_special_values(level, rate):
    # One NaN payload in the whole stream (the one inf - inf creates), so the
    # order in which two NaNs meet cannot matter.
    x = special_stream(3000, 6, DEFAULT_NAN)
    ref = run_at(0, rate, 100, x, [3000])
    assert np.isnan(ref.view(np.float32)).any()
    assert bits_equal(run_at(level, rate, 100, x, [1000, 1, 1999]), ref)


def test_variants_agree_on_nan_positions_with_mixed_payloads(level):
    x = special_stream(3000, 7, np.nan)
    ref = run_at(0, 0.59, 80, x, [3000]).view(np.float32)
    got = run_at(level, 0.59, 80, x, [3000]).view(np.float32)
    assert np.array_equal(np.isnan(got), np.isnan(ref))
    keep = ~np.isnan(ref)
    assert bits_equal(got[keep], ref[keep])
