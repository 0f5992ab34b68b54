"""Channel bank throughput: the bank against N independent designed DDCRs.

Real input at 20 MS/s nominal, 25 kHz channels at fs_out = 32 kHz, 80 dB,
random carriers; run pinned to one core (``taskset -c 1 python
bench/bank_bench.py``). The figure is channels x input MS/s per core, and the
real-time headroom is the input rate sustained divided by 20 MS/s. GNU
Radio's pfb_channelizer_ccf and N freq_xlating_fir_filter_fcc are measured
too when ``from gnuradio import filter`` works for this interpreter.
"""
import argparse
import time

import numpy as np

from quorvel.ddc import DDCR, ChannelBank, norm_freq_for

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
    convs = [DDCR(norm_freq_for(c), RATE, atten_db=ATTEN) for c in carriers]

    def run():
        for d in convs:
            d.reset()
        for i in range(0, len(x), BLOCK):
            blk = x[i:i + BLOCK]
            for d in convs:
                d.process(blk)
    return len(x) / _best(run, 2)


def gnuradio_rates(x, n_chan):
    """pfb_channelizer_ccf (complex input at 20 MS/s: its output rate is fs/n) and
    N freq_xlating_fir_filter_fcc (real input, decimation 625); None without GNU Radio."""
    try:
        from gnuradio import blocks, filter, gr
        from gnuradio.filter import firdes
    except Exception:
        return None
    taps = firdes.low_pass(1.0, FS, 12.8e3, 6.4e3, firdes.WIN_BLACKMAN_HARRIS)
    xs = x.astype(np.float32)

    def xlating():
        tb = gr.top_block()
        src = blocks.vector_source_f(xs.tolist(), False)
        for c in np.random.default_rng(3).uniform(0.01, 0.49, n_chan) * FS:
            f = filter.freq_xlating_fir_filter_fcc(625, taps, float(c), FS)
            tb.connect(src, f, blocks.null_sink(8))
        t0 = time.perf_counter()
        tb.run()
        return time.perf_counter() - t0
    out = {"xlating": len(x) / xlating()}
    m = 1 << int(np.ceil(np.log2(max(n_chan, 2))))
    tb = gr.top_block()
    src = blocks.vector_source_c((xs + 0j).astype(np.complex64).tolist(), False)
    pfb = filter.pfb.channelizer_ccf(m, firdes.low_pass(1.0, FS, 0.4 * FS / m, 0.2 * FS / m), 1.0)
    tb.connect(src, pfb)
    for i in range(m):
        tb.connect((pfb, i), blocks.null_sink(8))
    t0 = time.perf_counter()
    tb.run()
    out["pfb"] = len(x) / (time.perf_counter() - t0)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--counts", default="1,4,16,64,256,1000")
    ap.add_argument("--seconds", type=float, default=0.2, help="input length, at 20 MS/s")
    ap.add_argument("--ddcr-max", type=int, default=64, help="largest N run as independent DDCRs")
    ap.add_argument("--gnuradio", action="store_true")
    args = ap.parse_args()
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
            g = gnuradio_rates(x[: int(FS * 0.05)], n)
            if g is None:
                print("      GNU Radio not importable here: not measured")
            else:
                print(f"      GNU Radio: {n} freq_xlating {n * g['xlating'] / 1e6:.0f} ch*MS/s, "
                      f"pfb_channelizer {n * g['pfb'] / 1e6:.0f} ch*MS/s")


if __name__ == "__main__":
    main()
