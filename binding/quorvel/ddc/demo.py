"""Down-convert one carrier of a synthetic multi-carrier signal, and measure plans.

The signal is a few real carriers plus white noise at the input rate fs_in.
One carrier is moved to 0 Hz and decimated by the DDCR, fed in blocks of 2^16
samples as a streaming receiver would. The output spectrum (Blackman-Harris
window, first samples dropped while the filters settle) gives the wanted tone's
level and the strongest other component, both in dB relative to a real
full-scale (amplitude 1) sine, and their difference, the spurious-free dynamic
range. Throughput counts input samples over the time spent processing.

`measure_plan` runs single tones through a converter and reports the pass-band
ripple and the worst alias, the figures ``ddc plan`` prints.
"""
import argparse
import math
import textwrap
import time

import numpy as np


BLOCK = 1 << 16
# (frequency in cycles per input sample, amplitude)
CARRIERS = ((0.1, 0.5), (0.137, 0.3), (0.23, 0.4), (0.31, 0.25), (0.42, 0.2))
NOISE_RMS = 1e-5
PASS_EDGE = 0.4   # pass band and stop band edges, in units of fs_out
STOP_EDGE = 0.6
_LOBE = 6  # bins either side of DC that belong to the wanted tone's main lobe
_DEFAULT = object()


def _converter(is_complex, norm_freq, rate, atten_db):
    from .api import DDC, DDCR

    return (DDC if is_complex else DDCR)(norm_freq, rate, atten_db=atten_db)


def plan_name(atten_db, labels=None):
    """'designed plan, 80 dB: A > B' or 'exact plan: A > B'."""
    head = "exact plan" if atten_db is None else f"designed plan, {atten_db:g} dB"
    return f"{head}: {' > '.join(labels)}" if labels else head


def synthesize(n, seed=1):
    """The embedded test signal: CARRIERS with random phases plus white noise (float32)."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = rng.normal(0.0, NOISE_RMS, n)
    for freq, amp in CARRIERS:
        x += amp * np.cos(2.0 * np.pi * freq * t + rng.uniform(0.0, 2.0 * np.pi))
    return x.astype(np.float32)


def _blackman_harris(n):
    k = 2.0 * np.pi * np.arange(n) / n
    return 0.35875 - 0.48829 * np.cos(k) + 0.14128 * np.cos(2 * k) - 0.01168 * np.cos(3 * k)


def _levels(y):
    """(tone_db, spur_db) of a complex baseband block whose wanted tone sits at DC."""
    w = _blackman_harris(len(y))
    spectrum = np.abs(np.fft.fft(y.astype(np.complex128) * w))
    # Twice the complex amplitude: a real sine of amplitude a reads 20*log10(a).
    scale = 2.0 / w.sum()
    tiny = np.finfo(np.float64).tiny
    tone = spectrum[0] * scale
    others = spectrum[_LOBE + 1:len(y) - _LOBE] * scale
    spur = others.max() if len(others) else 0.0
    return 20.0 * np.log10(max(tone, tiny)), 20.0 * np.log10(max(spur, tiny))


def _down_convert(x, carrier, rate, atten_db):
    conv = _converter(False, -(2.0 * carrier + 0.5), rate, atten_db)
    plan = tuple(conv.plan)
    out = np.empty(conv.capacity(BLOCK), dtype=np.complex64)
    pieces = []
    elapsed = 0.0
    try:
        for start in range(0, len(x), BLOCK):
            block = x[start:start + BLOCK]
            t0 = time.perf_counter()
            y = conv.process(block, out=out)
            elapsed += time.perf_counter() - t0
            pieces.append(y.copy())
    finally:
        conv.close()
    y = np.concatenate(pieces) if pieces else np.empty(0, np.complex64)
    return y, elapsed, plan


def run_demo(carrier=0.1, rate=0.03125, n=1 << 20, seed=1, atten_db=_DEFAULT, keep=False):
    """Down-convert ``carrier`` (cycles per input sample) to 0 Hz at ``rate`` = fs_out / fs_in.

    ``atten_db`` picks the plan (None: the exact one; default: the designed 80 dB).
    Returns a dict with the keys carrier, rate, norm_freq, atten_db, plan, n_in,
    n_out, tone_db, spur_db, sfdr_db and msps; with ``keep`` also x and y.
    """
    if atten_db is _DEFAULT:
        from .api import DEFAULT_ATTEN_DB

        atten_db = DEFAULT_ATTEN_DB
    norm_freq = -(2.0 * carrier + 0.5)
    x = synthesize(n, seed)
    y, elapsed, plan = _down_convert(x, carrier, rate, atten_db)
    settle = min(len(y) // 8, 256)
    if len(y) - settle > 2 * _LOBE + 2:
        tone_db, spur_db = _levels(y[settle:])
    else:
        tone_db = spur_db = float("nan")
    result = {
        "carrier": float(carrier),
        "rate": float(rate),
        "norm_freq": norm_freq,
        "atten_db": atten_db,
        "plan": plan,
        "n_in": int(n),
        "n_out": int(len(y)),
        "tone_db": float(tone_db),
        "spur_db": float(spur_db),
        "sfdr_db": float(tone_db - spur_db),
        "msps": float(n / elapsed / 1e6) if elapsed > 0 else float("inf"),
    }
    if keep:
        result["x"], result["y"] = x, y
    return result


# -- plan figures ----------------------------------------------------------------------

def _tone_power(conv, is_complex, f_in, n_in, skip, out):
    """Mean output power, after `skip` outputs, of a unit tone at f_in cycles per input sample."""
    conv.reset()
    block = BLOCK
    n = np.arange(block, dtype=np.float64)
    base = np.exp(2j * np.pi * f_in * n)
    step = np.exp(2j * np.pi * f_in * block)
    phase = 1.0 + 0j
    buf = np.empty(block, np.complex64 if is_complex else np.float32)
    seen = 0
    acc = 0.0
    count = 0
    for start in range(0, n_in, block):
        m = min(block, n_in - start)
        tone = base[:m] * phase
        phase *= step
        phase /= abs(phase)
        x = buf[:m]
        np.copyto(x, tone if is_complex else tone.real, casting="unsafe")
        y = conv.process(x, out=out)
        first = max(0, skip - seen)
        seen += len(y)
        if first < len(y):
            tail = y[first:].view(np.float32)
            acc += float(np.dot(tail, tail))
            count += len(y) - first
    return acc / count if count else float("nan")


def _grid(lo, hi):
    """Stop-band offsets (in fs_out) from lo to hi: dense near the edge, sparse far out."""
    pts = list(np.arange(lo, 1.0, 0.02)) + list(np.arange(1.0, 3.0, 0.1))
    if hi > 3.0:
        pts += list(np.geomspace(3.0, hi, 10))
    return [float(p) for p in pts if p <= hi]


def measure_plan(is_complex, rate, atten_db, budget=48_000_000):
    """Pass-band ripple and worst alias of a converter, measured with tones.

    The converter is tuned to 0 (complex input) or fs_in / 4 (real input).
    Ripple: the largest gain deviation, in dB, of tones from 0 to 0.4 fs_out
    (either side; less where the input band ends sooner, `pass_edge`) against
    the tone at 0.1 fs_out. Worst alias: the strongest output power of a tone
    beyond 0.6 fs_out, in dB against the 0.1 fs_out tone (None when the input
    band holds no such frequency). About `budget` input samples in all, so a
    few seconds at most. Returns a dict with ripple_db, pass_edge, alias_db,
    alias_at (offset in fs_out), plan, delay, cost, tones and seconds.
    """
    t0 = time.perf_counter()
    centre = 0.0 if is_complex else 0.25
    norm_freq = -centre if is_complex else -(2.0 * centre + 0.5)
    conv = _converter(is_complex, norm_freq, rate, atten_db)
    figures = {"plan": tuple(conv.plan), "delay": conv.delay, "cost": conv.cost}
    try:
        # The widest offset (in fs_out) the input band holds around the carrier.
        reach = (0.49 if is_complex else 0.245) / rate
        band = [float(f) for f in np.linspace(0.0, PASS_EDGE, 9) if f <= reach]
        passband = sorted(set(band + [-f for f in band]))
        stop = _grid(STOP_EDGE, reach) if reach > STOP_EDGE else []
        skip = 32 + int(math.ceil(4 * conv.delay))
        refine = 18 if stop else 0
        count = 1 + len(passband) + 2 * len(stop) + refine
        measured = int(np.clip(budget * rate / count - skip, 64, 2048))
        n_in = int(math.ceil((skip + measured) / rate)) + BLOCK // 4
        if count * n_in > budget and stop:
            # Low rates need long tones: fewer of them, the edge region first.
            keep = max(8, (budget // n_in - 1 - len(passband) - refine) // 2)
            stop = stop[:: max(1, math.ceil(len(stop) / keep))]
        stop = stop + [-f for f in stop]
        tones = [0.1] + passband + stop
        out = np.empty(conv.capacity(BLOCK), np.complex64)
        power = {}

        def measure(fs):
            for f in fs:
                if f not in power:
                    power[f] = _tone_power(conv, is_complex, centre + f * rate, n_in, skip, out)

        measure(tones)
        # The grid may fall beside a side lobe's peak: look closer at the worst three.
        for f in sorted(stop, key=lambda f: power[f])[-3:]:
            near = [f + d * 0.02 * k for d in (-1, 1) for k in (0.25, 0.5, 0.75)]
            fresh = [g for g in near if STOP_EDGE <= abs(g) <= reach]
            measure(fresh)
            stop += fresh
    finally:
        conv.close()
    ref = power[0.1]

    def db(p):
        return 10.0 * math.log10(max(p, 1e-300) / ref)

    ripple = max(abs(db(power[f])) for f in passband)
    alias_db = alias_at = None
    if stop:
        alias_at = max(stop, key=lambda f: power[f])
        alias_db = db(power[alias_at])
    return {
        "ripple_db": ripple, "pass_edge": max(passband), "alias_db": alias_db,
        "alias_at": alias_at, "tones": len(power), "seconds": time.perf_counter() - t0,
        **figures,
    }


# -- picture --------------------------------------------------------------------------

def _spectrum_db(x, nfft):
    """Averaged periodogram in dB relative to a full-scale real sine.

    A 4-term Blackman-Harris window keeps the strong carriers' leakage below
    the noise floor of the plot.
    """
    nfft = min(nfft, len(x))
    w = _blackman_harris(nfft)
    segs = len(x) // nfft
    frames = x[: segs * nfft].reshape(segs, nfft) * w
    power = np.mean(np.abs(np.fft.fft(frames, axis=1)) ** 2, axis=0)
    # A real sine of amplitude a gives |X| = a * sum(w) / 2 at its bin.
    scale = 2.0 / w.sum()
    return 10.0 * np.log10(np.maximum(power * scale * scale, 1e-30))


def draw(path, figures):
    """The input spectrum with the chosen band and the output spectrum, as a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y = figures["x"], figures["y"]
    carrier, rate = figures["carrier"], figures["rate"]
    sx = _spectrum_db(x.astype(np.float64), 8192)
    fx = np.arange(len(sx)) / len(sx)
    half = len(sx) // 2 + 1
    settle = min(len(y) // 8, 256)
    sy = np.fft.fftshift(_spectrum_db(y[settle:].astype(np.complex128), 2048))
    fy = (np.arange(len(sy)) - len(sy) // 2) / len(sy)

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7.5), constrained_layout=True)
    top.plot(fx[:half], sx[:half], lw=0.8, color="tab:blue")
    top.axvspan(carrier - PASS_EDGE * rate, carrier + PASS_EDGE * rate, color="tab:orange",
                alpha=0.35, label=f"pass band: {carrier:g} \u00b1 {PASS_EDGE:g} fs_out")
    for side in (-1, 1):
        top.axvline(carrier + side * STOP_EDGE * rate, color="tab:red", lw=0.8, ls="--",
                    label=f"stop band beyond \u00b1 {STOP_EDGE:g} fs_out" if side < 0 else None)
    for f, _ in CARRIERS:
        top.axvline(f, color="grey", lw=0.5, ls=":")
    top.set_xlim(0, 0.5)
    top.set_xlabel("frequency / fs_in")
    top.set_ylabel("dB (full-scale sine = 0)")
    top.set_title(f"Input: real, {len(x)} samples, carriers at "
                  + ", ".join(f"{f:g}" for f, _ in CARRIERS))
    top.legend(loc="lower left")
    bottom.plot(fy, sy, lw=0.8, color="tab:green")
    bottom.axvspan(-PASS_EDGE, PASS_EDGE, color="tab:orange", alpha=0.15, label="pass band")
    # Past the pass band the output holds the transition band, where what lay
    # from 0.5 to the stop-band edge 0.6 fs_out folds back.
    for lo in (-0.5, PASS_EDGE):
        bottom.axvspan(lo, lo + 0.5 - PASS_EDGE, color="tab:red", alpha=0.12,
                       label=f"transition: {0.5:g} to {STOP_EDGE:g} fs_out fold here"
                       if lo < 0 else None)
    bottom.set_xlim(-0.5, 0.5)
    bottom.set_xlabel("frequency / fs_out")
    bottom.set_ylabel("dB (full-scale sine = 0)")
    plan = textwrap.fill(plan_name(figures["atten_db"], figures["plan"]), 110)
    bottom.set_title(f"Output: rate {rate:g}, {len(y)} samples, wanted tone "
                     f"{figures['tone_db']:.1f} dB, strongest spur {figures['spur_db']:.1f} dB, "
                     f"SFDR {figures['sfdr_db']:.1f} dB\n{plan}", fontsize=10)
    bottom.legend(loc="lower left")
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        ax.set_ylim(-160, 10)
    fig.savefig(path, dpi=100, format="png")
    plt.close(fig)


def report(r):
    """The demo's figures as (name, value) rows."""
    carriers = ", ".join(f"{f:g}" for f, _ in CARRIERS)
    return [
        ("signal", f"carriers at {carriers} x fs_in, noise rms {NOISE_RMS:g}"),
        ("plan", plan_name(r["atten_db"], r["plan"])),
        ("carrier", f"{r['carrier']:g} x fs_in (norm_freq {r['norm_freq']:g})"),
        ("rate", f"{r['rate']:g} (fs_out / fs_in)"),
        ("samples", f"{r['n_in']} in, {r['n_out']} out, blocks of {BLOCK}"),
        ("wanted tone", f"{r['tone_db']:.2f} dB (0 dB: full-scale sine)"),
        ("strongest spur", f"{r['spur_db']:.2f} dB, SFDR {r['sfdr_db']:.2f} dB"),
        ("throughput", f"{r['msps']:.1f} MS/s"),
    ]


def main(argv=None):
    """Print the demo's figures (no picture: ``ddc demo`` draws one)."""
    parser = argparse.ArgumentParser(
        prog="python -m quorvel.ddc.demo",
        description="Down-convert one carrier of a synthetic multi-carrier signal with the DDCR.")
    parser.add_argument("--carrier", type=float, default=0.1,
                        help="carrier to bring to 0 Hz, in cycles per input sample (default 0.1)")
    parser.add_argument("--rate", type=float, default=0.03125,
                        help="output-to-input rate ratio, in (0, 0.5) (default 0.03125)")
    parser.add_argument("-n", type=int, default=1 << 20,
                        help="number of input samples (default 1048576)")
    parser.add_argument("--seed", type=int, default=1, help="noise and phase seed (default 1)")
    parser.add_argument("--exact", action="store_true", help="the exact plan instead of the designed one")
    args = parser.parse_args(argv)

    r = run_demo(carrier=args.carrier, rate=args.rate, n=args.n, seed=args.seed,
                 atten_db=None if args.exact else _DEFAULT)
    for name, value in report(r):
        print(f"{name:<15}: {value}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
