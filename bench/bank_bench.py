"""Channel bank throughput: the bank against N independent designed DDCRs.

Real input at 20 MS/s nominal, 25 kHz channels at fs_out = 32 kHz, 80 dB,
random carriers; run pinned to one core (``taskset -c 1 python
bench/bank_bench.py``). The figure is channels x input MS/s per core, and the
real-time headroom is the input rate sustained divided by 20 MS/s. With
``--gnuradio``, GNU Radio's pfb_channelizer_ccf and N freq_xlating_fir_filter_fcc
are measured too (in /usr/bin/python3 when this interpreter lacks gnuradio).
"""
import argparse
import json
import os
import subprocess
import time

import numpy as np

FS = 20e6
FS_OUT = 32e3
RATE = FS_OUT / FS
ATTEN = 80.0
BLOCK = 1 << 18


def _best(fn, repeat):
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def bank_rate(x, carriers, path):
    from quorvel.ddc import ChannelBank

    def run():
        bank = ChannelBank(atten_db=ATTEN, max_rate=RATE)
        for c in carriers:
            bank.add(c, RATE, atten_db=ATTEN, path=path)
        t0 = time.perf_counter()
        for i in range(0, len(x), BLOCK):
            bank.process(x[i:i + BLOCK])
        run.t = time.perf_counter() - t0
        bank.close()
    best = np.inf
    for _ in range(2):
        run()
        best = min(best, run.t)
    return len(x) / best


def ddcr_rate(x, carriers):
    from quorvel.ddc import DDCR, norm_freq_for

    convs = [DDCR(norm_freq_for(c), RATE, atten_db=ATTEN) for c in carriers]

    def run():
        for d in convs:
            d.reset()
        for i in range(0, len(x), BLOCK):
            blk = x[i:i + BLOCK]
            for d in convs:
                d.process(blk)
    return len(x) / _best(run, 2)


GR_PYTHON = "/usr/bin/python3"  # Debian's gnuradio is built for the system interpreter


def gnuradio_rates(n_chan, seconds, xlating_max):
    """Input samples per second of GNU Radio at n_chan channels, or None.

    pfb_channelizer_ccf: the uniform grid of 25 kHz channels over the band (800
    of them, oversampled 1.28 to 32 kHz), fed the real stream as complex;
    its cost does not depend on how many of them are used. freq_xlating_fir_
    filter_fcc: one per channel, real input, decimation 625. Both with an
    80 dB Kaiser low-pass 0.4..0.6 fs_out. Runs in this interpreter when it
    has gnuradio, else in GR_PYTHON (inheriting the CPU pinning)."""
    try:
        import gnuradio  # noqa: F401
    except ImportError:
        cmd = [GR_PYTHON, os.path.abspath(__file__), "--gr-worker", str(n_chan),
               "--seconds", str(seconds), "--xlating-max", str(xlating_max)]
        try:
            res = subprocess.run(cmd, capture_output=True, text=True, timeout=3600)
        except (OSError, subprocess.TimeoutExpired):
            return None
        if res.returncode != 0:
            return None
        return json.loads(res.stdout.strip().splitlines()[-1])
    return _gr_measure(n_chan, seconds, xlating_max)


def _gr_measure(n_chan, seconds, xlating_max):
    from gnuradio import blocks, filter, gr
    from gnuradio.fft import window
    from gnuradio.filter import firdes
    taps = firdes.low_pass_2(1.0, FS, 0.5 * FS_OUT, 0.2 * FS_OUT, ATTEN, window.WIN_KAISER,
                             7.857)
    x = (0.1 * np.random.default_rng(1).standard_normal(int(seconds * FS))).astype(np.float32)
    out = {"taps": len(taps)}

    def timed(tb):
        t0 = time.perf_counter()
        tb.run()
        return len(x) / (time.perf_counter() - t0)

    if n_chan <= xlating_max:
        tb = gr.top_block()
        src = blocks.vector_source_f(x.tolist(), False)
        for c in np.random.default_rng(3).uniform(0.01, 0.49, n_chan) * FS:
            f = filter.freq_xlating_fir_filter_fcc(625, taps, float(c), FS)
            tb.connect(src, f, blocks.null_sink(8))
        out["xlating"] = timed(tb)
    m = int(round(FS / 25e3))
    tb = gr.top_block()
    src = blocks.vector_source_c((x + 0j).astype(np.complex64).tolist(), False)
    pfb = filter.pfb.channelizer_ccf(m, taps, FS_OUT / 25e3)
    tb.connect(src, pfb)
    for i in range(m):
        tb.connect((pfb, i), blocks.null_sink(8))
    out["pfb"] = timed(tb)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--counts", default="1,4,16,64,256,1000")
    ap.add_argument("--seconds", type=float, default=0.2, help="input length, at 20 MS/s")
    ap.add_argument("--ddcr-max", type=int, default=64, help="largest N run as independent DDCRs")
    ap.add_argument("--gnuradio", action="store_true", help="GNU Radio's figures too")
    ap.add_argument("--gr-seconds", type=float, default=0.05, help="GNU Radio's input length")
    ap.add_argument("--xlating-max", type=int, default=256,
                    help="largest N run as freq_xlating filters")
    ap.add_argument("--gr-worker", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.gr_worker is not None:
        print(json.dumps(_gr_measure(args.gr_worker, args.seconds, args.xlating_max)))
        return
    rng = np.random.default_rng(1)
    x = (0.1 * rng.standard_normal(int(args.seconds * FS))).astype(np.float32)
    print(f"real input {FS / 1e6:g} MS/s, fs_out {FS_OUT / 1e3:g} kHz, {ATTEN:g} dB, "
          f"{len(x)} samples")
    print(f"{'N':>5} {'path':>5} {'bank ch*MS/s':>13} {'headroom':>9} "
          f"{'DDCRs ch*MS/s':>14} {'speed-up':>9}")
    for n in [int(v) for v in args.counts.split(",")]:
        carriers = rng.uniform(0.01, 0.49, n)
        ref = ddcr_rate(x, carriers) if n <= args.ddcr_max else None
        for path in ("auto", "fft"):
            r = bank_rate(x, carriers, path)
            line = f"{n:5d} {path:>5} {n * r / 1e6:13.0f} {r / FS:9.2f}"
            if ref is not None:
                line += f" {n * ref / 1e6:14.0f} {r / ref:9.1f}"
            print(line, flush=True)
        if args.gnuradio:
            g = gnuradio_rates(n, args.gr_seconds, args.xlating_max)
            if g is None:
                print("      GNU Radio not importable here: not measured")
            else:
                line = f"      GNU Radio ({g['taps']} taps): pfb_channelizer {n * g['pfb'] / 1e6:.0f}"
                if "xlating" in g:
                    line += f", {n} freq_xlating {n * g['xlating'] / 1e6:.0f}"
                print(line + " ch*MS/s", flush=True)


if __name__ == "__main__":
    main()
