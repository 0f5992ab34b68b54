"""Python side of the benchmark, run by bench/run.py in a process pinned with taskset.

  py_worker.py ours    --rates R,R,... [--module-dir DIR] [--simd L]   our DDCR through ddc_fn
  py_worker.py scipy   --rates R,R,...                                 the SciPy peer
  py_worker.py threads --rates R        [--module-dir DIR] [--simd L]  two states on two threads
  py_worker.py selfcheck                                               the SciPy peer streams exactly
  py_worker.py gnuradio --rates R,R,... --atten DB,DB,...             the GNU Radio peer
common: --samples N --block N --passes N.  Prints one JSON object per line.
The gnuradio mode needs an interpreter that imports gnuradio (Debian's is built
for the system python3), so run.py starts it with that one; it uses NumPy only.

The test signal matches bench_common.h in kind (carrier at 0.2 cycles per
input sample plus weak noise); "dc_purity" tells whether the carrier reached 0 Hz.
"""
import argparse
import ctypes
import hashlib
import json
import math
import sys
import threading
import time
from fractions import Fraction

import numpy as np

CARRIER = 0.2
NOISE_LEVEL = 0.01
STOPBAND_DB = 60.0
LEVEL_NAMES = {0: "scalar", 1: "avx2", 2: "avx512"}


def make_real(n, seed=1):
    rng = np.random.default_rng(seed)
    ph = np.mod(CARRIER * np.arange(n, dtype=np.float64), 1.0)
    x = np.cos(2 * np.pi * ph) + NOISE_LEVEL * rng.uniform(-1, 1, n)
    return x.astype(np.float32)


def dc_purity(y):
    if len(y) == 0:
        return float("nan")
    y = y.astype(np.complex128)
    p = np.mean(np.abs(y) ** 2)
    return float(abs(np.mean(y)) ** 2 / p) if p > 0 else float("nan")


def median(v):
    return float(np.median(np.asarray(v)))


class ScipyDDCR:
    """Streaming real-input down-converter from NumPy and SciPy parts.

    Mix the real input with exp(-j 2 pi f_c n) (phase carried across blocks),
    then one polyphase stage (scipy.signal.upfirdn) by up/down = rate with a
    Kaiser low-pass designed by scipy.signal.kaiserord/firwin for 60 dB: pass
    band to 0.4 and stop band from 0.6 of the output rate, the same corners as
    our half-band stages. upfirdn keeps no state, so each block is run over
    [carried input | new input] where the carried part starts on an input index
    that is a multiple of `down` (so the output grid never shifts) and is long
    enough for every new output's window; only outputs not emitted before and
    fully determined by the input so far are returned. The result equals one
    upfirdn call over the whole stream (see the selfcheck mode).
    """

    def __init__(self, carrier, rate, block):
        from scipy.signal import firwin, kaiserord

        frac = Fraction(rate).limit_denominator(1000)
        self.up, self.down = frac.numerator, frac.denominator
        half_up = self.up / 2.0  # Nyquist of the upsampled rate, in units of fs_in
        numtaps, beta = kaiserord(STOPBAND_DB, 0.2 * rate / half_up)
        h = firwin(numtaps, 0.5 * rate / half_up, window=("kaiser", beta)) * self.up
        self.h = h.astype(np.float32)
        self.carrier = carrier
        self.keep = -(-(len(self.h) - 1) // self.up)  # inputs every new output may reach back
        self.base = np.exp(-2j * np.pi * carrier * np.arange(block)).astype(np.complex64)
        self.osc = np.empty(block, np.complex64)
        self.reset()

    def reset(self):
        self.n = 0  # inputs consumed
        self.s = 0  # stream index of hist[0], a multiple of down
        self.m_next = 0  # next output index to emit
        self.hist = np.zeros(0, np.complex64)

    def describe(self):
        return (f"mix + upfirdn(up={self.up}, down={self.down}, {len(self.h)} taps, "
                f"Kaiser {STOPBAND_DB:.0f} dB, pass 0.4 / stop 0.6 of fs_out)")

    def execute(self, x):
        from scipy.signal import upfirdn

        n = len(x)
        if n > len(self.base):
            self.base = np.exp(-2j * np.pi * self.carrier * np.arange(n)).astype(np.complex64)
            self.osc = np.empty(n, np.complex64)
        phasor = np.complex64(np.exp(-2j * np.pi * math.fmod(self.carrier * self.n, 1.0)))
        osc = np.multiply(self.base[:n], phasor, out=self.osc[:n])
        mixed = osc * x
        buf = np.concatenate((self.hist, mixed))
        y = upfirdn(self.h, buf, self.up, self.down)
        n_after = self.n + n
        m0 = self.up * self.s // self.down
        m_end = -(-self.up * n_after // self.down)  # outputs at upsampled positions < up * n_after
        out = y[self.m_next - m0:m_end - m0]
        self.m_next = m_end
        s_new = max(0, (n_after - self.keep) // self.down * self.down)
        self.hist = buf[s_new - self.s:]
        self.s = s_new
        self.n = n_after
        return out


def kaiser_beta(atten):
    if atten > 50:
        return 0.1102 * (atten - 8.7)
    if atten > 21:
        return 0.5842 * (atten - 21) ** 0.4 + 0.07886 * (atten - 21)
    return 0.0


def response_db(taps, f_pass, f_stop, fs):
    """(pass-band ripple +-dB about the DC gain, worst stop-band gain in dB below it)."""
    taps = np.asarray(taps, np.float64)
    nfft = 1 << max(16, int(np.ceil(np.log2(32 * len(taps)))))
    h = np.abs(np.fft.rfft(taps, nfft))
    f = np.arange(len(h)) * (fs / nfft)
    ref = abs(taps.sum())
    pb = 20 * np.log10(h[f <= f_pass] / ref)
    return float(max(pb.max(), -pb.min())), float(-20 * np.log10(h[f >= f_stop].max() / ref))


def gr_lowpass(gain, fs, f_pass, f_stop, atten):
    """Kaiser-window low-pass from GNU Radio's own Kaiser window, sized by Kaiser's formula and
    grown until it really meets the figures: firdes.low_pass_2 sizes by atten*fs/(22*width),
    which at these corners reaches only 31 dB for 60 and 36 dB for 80 (rate 0.1)."""
    from gnuradio import fft

    beta = kaiser_beta(atten)
    width = (f_stop - f_pass) / fs
    n = int(np.ceil((atten - 7.95) / (14.36 * width))) + 1
    n += 1 - n % 2  # odd: a symmetric type-I filter
    fc = 0.5 * (f_pass + f_stop) / fs  # cut-off midway, in cycles per sample
    for _ in range(64):
        k = np.arange(n) - (n - 1) / 2.0
        taps = 2 * fc * np.sinc(2 * fc * k) * np.asarray(fft.window.kaiser(n, beta))
        taps *= gain / taps.sum()
        ripple, stop = response_db(taps, f_pass, f_stop, fs)
        if stop >= atten and ripple <= 0.05:
            break
        n += 2
    return taps.astype(np.float32), {"taps": n, "beta": beta, "ripple_db": ripple, "stop_db": stop}


def gr_chain(rate, atten):
    """freq_xlating_fir_filter_fcf decimating by floor(1/rate), then rational_resampler_ccf for
    the rest of the ratio (when there is one). Every filter: pass band to 0.4 and stop band from
    0.6 of the output rate, atten_db down. Returns (make blocks, description, design figures)."""
    from gnuradio import filter as grf

    dec = int(math.floor(1.0 / rate + 1e-9))
    rest = Fraction(rate * dec).limit_denominator(1000)
    # first stage at fs_in = 1; its stop band from 0.6*fs_out lies past the intermediate
    # Nyquist when rest < 1, but what folds there lands outside the pass band, and the
    # resampler's own filter keeps the same corners at fs_out
    t1, d1 = gr_lowpass(1.0, 1.0, 0.4 * rate, 0.6 * rate, atten)
    # real multiply-adds per input sample in the filters, 2 per tap (real input x complex tap,
    # then complex sample x real tap), so they compare with ddcr_get_cost
    design = {"decimation": dec, "stage1": d1, "macs_per_input": 2 * d1["taps"] / dec}
    desc = f"freq_xlating_fir_filter_fcf(decim {dec}, {d1['taps']} taps)"
    t2 = None
    if rest != 1:
        p, q = rest.numerator, rest.denominator
        fs_up = p / dec  # the resampler's filter runs at interp * fs_mid
        t2, d2 = gr_lowpass(float(p), fs_up, 0.4 * rate, 0.6 * rate, atten)
        design.update(resampler=f"{p}/{q}", stage2=d2)
        design["macs_per_input"] += 2 * d2["taps"] / p * rate  # taps/p per output, rate outputs per input
        desc += f" + rational_resampler_ccf({p}/{q}, {d2['taps']} taps)"
    desc += f", Kaiser {atten:g} dB, pass 0.4 / stop 0.6 of fs_out"

    def blocks_for():
        chain = [grf.freq_xlating_fir_filter_fcf(dec, t1.tolist(), CARRIER, 1.0)]
        if t2 is not None:
            chain.append(grf.rational_resampler_ccf(rest.numerator, rest.denominator, t2.tolist(), 0.0))
        return chain

    return blocks_for, desc, design


def run_gnuradio(args, rates):
    """File source of the test signal -> chain -> null sink, one flowgraph run per pass."""
    import os
    import tempfile

    from gnuradio import blocks, gr

    x = make_real(args.samples)
    fd, path = tempfile.mkstemp(suffix=".f32")
    os.close(fd)
    try:
        x.tofile(path)
        check_n = min(args.samples, 1 << 20)
        for rate, atten in ((r, a) for r in rates for a in args.atten):
            make, desc, design = gr_chain(rate, atten)

            def flowgraph(sink, n=0):
                tb = gr.top_block()
                src = blocks.file_source(gr.sizeof_float, path, False, 0, n)
                chain = make()
                tb.connect(src, *chain, sink)
                return tb

            # untimed warm-up that also checks the carrier on the last block's worth of output
            vsink = blocks.vector_sink_c()
            flowgraph(vsink, check_n).run()
            y = np.asarray(vsink.data(), np.complex64)
            last = y[-max(1, int(args.block * rate)):]
            wall, cpu, outputs = [], [], 0
            for _ in range(args.passes):
                sink = blocks.null_sink(gr.sizeof_gr_complex)
                tb = flowgraph(sink)
                t0, c0 = time.perf_counter(), time.process_time()  # process: every block thread
                tb.run()
                wall.append(time.perf_counter() - t0)
                cpu.append(time.process_time() - c0)
                outputs = sink.nitems_read(0)
                del tb
            record("gnuradio", rate, args, (wall, cpu), outputs, last, atten_db=atten,
                   design=desc, filters=design, gnuradio_version=gr.version(),
                   check_outputs=len(y))
    finally:
        os.unlink(path)


def load_module(module_dir, simd):
    if module_dir:
        sys.path.insert(0, module_dir)
    import ddc_fn

    level = -1
    try:
        lib = ctypes.CDLL(ddc_fn.__file__)
        lib.ddc_simd_level.restype = ctypes.c_int
        lib.ddc_simd_force.restype = ctypes.c_int
        lib.ddc_simd_force.argtypes = [ctypes.c_int]
        if simd is not None and simd >= 0 and lib.ddc_simd_force(simd) < 0:
            raise SystemExit(json.dumps({"error": "requested kernel level not available"}))
        level = lib.ddc_simd_level()
    except AttributeError:
        pass
    return ddc_fn, level


def stream(execute, x, block, passes):
    """Warm-up blocks, then timed passes over x.

    Returns ((wall times, thread CPU times) per pass, outputs per pass, last output block).
    """
    nblocks = len(x) // block
    last = None
    for b in range(min(8, nblocks)):
        last = execute(x[b * block:(b + 1) * block])
    times, cpu, total = [], [], 0
    for _ in range(passes):
        total = 0
        t0, c0 = time.perf_counter(), time.thread_time()
        for b in range(nblocks):
            last = execute(x[b * block:(b + 1) * block])
            total += len(last)
        times.append(time.perf_counter() - t0)
        cpu.append(time.thread_time() - c0)
    return (times, cpu), total, last


def record(impl, rate, args, times, total, last, **extra):
    wall, cpu = times
    med, med_cpu = median(wall), median(cpu)
    rec = {"impl": impl, "kind": "ddcr", "rate": rate, "samples": args.samples, "block": args.block,
           "passes": args.passes, "pass_s": wall, "cpu_s": cpu, "median_s": med,
           "msps": args.samples / med * 1e-6, "median_cpu_s": med_cpu,
           "msps_cpu": args.samples / med_cpu * 1e-6, "outputs_per_pass": total,
           "dc_purity": dc_purity(last)}
    rec.update(extra)
    print(json.dumps(rec), flush=True)


def run_ours(args, rates):
    ddc_fn, level = load_module(args.module_dir, args.simd)
    x = make_real(args.samples)
    for rate in rates:
        state = ddc_fn.ddcr_create(-(2 * CARRIER + 0.5), rate)
        out = np.empty(args.block, np.complex64)
        times, total, last = stream(lambda b: ddc_fn.ddcr_execute(state, b, out), x, args.block,
                                    args.passes)
        record("ours-py", rate, args, times, total, last.copy(), module=ddc_fn.__file__,
               simd_level=level, simd_name=LEVEL_NAMES.get(level, "none"))
        ddc_fn.ddcr_destroy(state)


def run_scipy(args, rates):
    import scipy

    x = make_real(args.samples)
    for rate in rates:
        peer = ScipyDDCR(CARRIER, rate, args.block)
        times, total, last = stream(peer.execute, x, args.block, args.passes)
        record("scipy", rate, args, times, total, last, design=peer.describe(),
               scipy_version=scipy.__version__, numpy_version=np.__version__)


def run_threads(args, rates):
    ddc_fn, level = load_module(args.module_dir, args.simd)
    rate = rates[0]
    x = make_real(args.samples)
    nblocks = args.samples // args.block

    def worker(state, out, barrier, spans, i):
        barrier.wait()
        t0 = time.perf_counter()
        for b in range(nblocks):
            ddc_fn.ddcr_execute(state, x[b * args.block:(b + 1) * args.block], out)
        spans[i] = (t0, time.perf_counter())

    def timed(nthreads):
        states = [ddc_fn.ddcr_create(-(2 * CARRIER + 0.5), rate) for _ in range(nthreads)]
        outs = [np.empty(args.block, np.complex64) for _ in range(nthreads)]
        times, busy = [], []
        for _ in range(args.passes + 1):  # the first pass warms up
            c0 = time.process_time()
            barrier = threading.Barrier(nthreads)
            spans = [None] * nthreads
            threads = [threading.Thread(target=worker, args=(states[i], outs[i], barrier, spans, i))
                       for i in range(nthreads)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            times.append(max(e for _, e in spans) - min(s for s, _ in spans))
            busy.append((time.process_time() - c0) / times[-1])
        for s in states:
            ddc_fn.ddcr_destroy(s)
        return times[1:], busy[1:]

    def control(nthreads):
        # hashlib releases the interpreter lock on large buffers: what two cores give right now
        data = b"\x5a" * (16 << 20)
        times = []
        for _ in range(args.passes):
            threads = [threading.Thread(target=lambda: hashlib.sha256(data).digest())
                       for _ in range(nthreads)]
            t0 = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            times.append(time.perf_counter() - t0)
        return median(times)

    control_speedup = 2 * control(1) / control(2)
    one, _ = timed(1)
    two, busy = timed(2)
    t1, t2 = median(one), median(two)
    print(json.dumps({"impl": "ours-py", "kind": "threads", "rate": rate, "samples": args.samples,
                      "block": args.block, "passes": args.passes, "one_thread_s": one,
                      "two_threads_s": two, "one_thread_msps": args.samples / t1 * 1e-6,
                      "two_threads_msps": 2 * args.samples / t2 * 1e-6, "speedup": 2 * t1 / t2,
                      "cores_busy": median(busy), "control_speedup": control_speedup,
                      "simd_level": level, "module": ddc_fn.__file__}), flush=True)


def run_selfcheck(args):
    """The streaming peer equals one-shot upfirdn over the whole mixed signal, for odd block sizes too."""
    from scipy.signal import upfirdn

    x = make_real(20000, seed=7)
    n = np.arange(len(x))
    mixed = (np.exp(-2j * np.pi * CARRIER * n) * x).astype(np.complex64)
    worst = 0.0
    for rate in (0.25, 0.1, 0.3, 0.45, 1 / 12, 0.01):
        peer = ScipyDDCR(CARRIER, rate, 4096)
        parts, pos, k = [], 0, 0
        sizes = (1, 4096, 333, 17, 2048, 999)
        while pos < len(x):
            size = sizes[k % len(sizes)]
            parts.append(peer.execute(x[pos:pos + size]))
            pos += size
            k += 1
        got = np.concatenate(parts)
        want = upfirdn(peer.h, mixed, peer.up, peer.down)[:len(got)]
        expected = -(-peer.up * len(x) // peer.down)
        if len(got) != expected:
            raise SystemExit(json.dumps({"error": f"rate {rate}: {len(got)} outputs, want {expected}"}))
        err = float(np.max(np.abs(got - want)) / np.max(np.abs(want)))
        worst = max(worst, err)
    ok = worst < 1e-5
    print(json.dumps({"impl": "scipy", "kind": "selfcheck", "ok": ok, "worst_rel_error": worst}))
    if not ok:
        sys.exit(1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["ours", "scipy", "threads", "selfcheck", "gnuradio"])
    ap.add_argument("--rates", default="0.25")
    ap.add_argument("--samples", type=int, default=1 << 24)
    ap.add_argument("--block", type=int, default=1 << 16)
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--module-dir", default=None)
    ap.add_argument("--simd", type=int, default=None)
    ap.add_argument("--atten", default="80", help="gnuradio: stop-band attenuations, dB, comma-separated")
    args = ap.parse_args()
    args.samples -= args.samples % args.block
    rates = [float(Fraction(r)) for r in args.rates.split(",")]
    args.atten = [float(a) for a in args.atten.split(",")]
    if args.mode == "ours":
        run_ours(args, rates)
    elif args.mode == "scipy":
        run_scipy(args, rates)
    elif args.mode == "threads":
        run_threads(args, rates)
    elif args.mode == "gnuradio":
        run_gnuradio(args, rates)
    else:
        run_selfcheck(args)


if __name__ == "__main__":
    main()
