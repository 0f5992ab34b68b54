"""The ``ddc`` command: a streaming down-converter for shell pipelines.

``ddc [INPUT] (--carrier HZ | --norm-carrier F) (--rate R | --fs-out HZ) [-o OUT]``
reads a real recording in blocks (raw float32, raw int16, mono WAV or SigMF),
runs it through one DDCR and writes raw complex64 to a file or standard
output; a file output gets a SigMF metadata file beside it. ``ddc demo``
down-converts one carrier of the embedded test signal and draws the spectra.

Failures a user can fix end with one line on standard error and a non-zero
status (2 for usage, 1 for everything else), never a traceback, and never a
half-written output file: output goes to a hidden temporary file in the same
directory that is renamed into place only when everything has succeeded.
"""
from __future__ import annotations

import argparse
import hashlib
import math
import os
import sys
from typing import Any, BinaryIO, Dict, List, NoReturn, Optional, Sequence

import numpy as np

from ._stream import FORMATS, AtomicFile, InputError, Source, convert, open_source

BLOCK = 1 << 16
EXIT_FAILURE = 1
EXIT_USAGE = 2


class _UsageError(Exception):
    """Bad arguments; `hint` adds a pointer to --help."""

    def __init__(self, message: str, hint: bool = False) -> None:
        super().__init__(message)
        self.hint = hint


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before its message; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise _UsageError(message, hint=True)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("quorvel-ddc")
    except Exception:
        return "unknown"


def _positive_int(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {v}")
    return v


def _finite(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"must be finite, got {text!r}")
    return v


def _convert_parser() -> _Parser:
    p = _Parser(
        prog="ddc",
        description="Down-convert a real recording: move one carrier to 0 Hz, filter, "
                    "decimate, and write complex64 baseband. Streams in blocks, so it "
                    "works as a pipeline stage.",
        epilog="'ddc demo --help' describes the demonstration on the embedded test signal. "
               "A file named 'demo' is read as './demo'.")
    p.add_argument("input", nargs="?", default="-",
                   help="recording to read; '-' or nothing reads standard input")
    p.add_argument("-o", "--output", default="-", metavar="PATH",
                   help="raw complex64 output file; '-' (the default) writes standard output. "
                        "A file also gets SigMF metadata beside it")
    p.add_argument("-f", "--format", default="auto", choices=("auto",) + FORMATS,
                   help="input format: raw little-endian float32 (f32) or int16 (s16), mono "
                        "WAV, or SigMF; 'auto' (the default) goes by the file suffix "
                        "(.wav, .sigmf-meta, .sigmf-data, .sigmf) and falls back to f32")
    tune = p.add_mutually_exclusive_group(required=True)
    tune.add_argument("-c", "--carrier", type=_finite, metavar="HZ",
                      help="carrier to bring to 0 Hz, in Hz (needs the input sample rate)")
    tune.add_argument("-n", "--norm-carrier", type=_finite, metavar="F",
                      help="carrier to bring to 0 Hz, in cycles per input sample, in [0, 0.5]")
    out = p.add_mutually_exclusive_group(required=True)
    out.add_argument("-r", "--rate", type=_finite, metavar="R",
                     help="output-to-input rate ratio fs_out / fs_in, in (0, 0.5)")
    out.add_argument("--fs-out", type=_finite, metavar="HZ",
                     help="output sample rate in Hz (needs the input sample rate)")
    p.add_argument("--fs", type=_finite, metavar="HZ",
                   help="input sample rate in Hz; WAV and SigMF inputs carry their own, "
                        "which this overrides")
    p.add_argument("--block", type=_positive_int, default=BLOCK, metavar="N",
                   help=f"input samples per block (default {BLOCK})")
    p.add_argument("--no-meta", action="store_true",
                   help="do not write the SigMF metadata file")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def _demo_parser() -> _Parser:
    p = _Parser(
        prog="ddc demo",
        description="Down-convert one carrier of the embedded test signal (several carriers "
                    "and noise), print the measured figures and draw the input spectrum, the "
                    "chosen band and the output spectrum into a PNG.")
    p.add_argument("-o", "--output", default="ddc_demo.png", metavar="PNG",
                   help="picture to write (default ddc_demo.png); '' draws nothing")
    p.add_argument("--carrier", type=_finite, default=0.1, metavar="F",
                   help="carrier to bring to 0 Hz, in cycles per input sample (default 0.1)")
    p.add_argument("--rate", type=_finite, default=0.03125, metavar="R",
                   help="output-to-input rate ratio, in (0, 0.5) (default 0.03125)")
    p.add_argument("-n", type=_positive_int, default=1 << 20, metavar="N",
                   help="input samples (default 1048576)")
    p.add_argument("--seed", type=int, default=1, help="noise and phase seed (default 1)")
    return p


# -- conversion ----------------------------------------------------------------

class _Plan:
    """What one run does, settled before any output is opened."""

    def __init__(self, args: argparse.Namespace, source: Source) -> None:
        self.fs_in: Optional[float] = args.fs if args.fs is not None else source.sample_rate
        if self.fs_in is not None and not self.fs_in > 0:
            raise _UsageError(f"the input sample rate must be positive, got {self.fs_in:g} Hz")
        need_fs = ("--carrier" if args.carrier is not None else
                   "--fs-out" if args.fs_out is not None else None)
        if need_fs and self.fs_in is None:
            raise _UsageError(f"{need_fs} is in Hz and needs the input sample rate: give --fs "
                              f"({source.name} does not record one)")
        if args.carrier is not None:
            assert self.fs_in is not None
            self.carrier = args.carrier / self.fs_in
            shown = f"{args.carrier:g} Hz"
            half = f"fs/2 = {self.fs_in / 2:g} Hz"
        else:
            self.carrier = args.norm_carrier
            shown, half = f"{args.norm_carrier:g}", "0.5"
        if not 0.0 <= self.carrier <= 0.5:
            raise _UsageError(f"carrier {shown} lies outside [0, {half}]")
        if args.fs_out is not None:
            assert self.fs_in is not None
            self.rate = args.fs_out / self.fs_in
            what = f"--fs-out {args.fs_out:g} Hz gives rate {self.rate:g}, which"
        else:
            self.rate = args.rate
            what = f"rate {self.rate:g}"
        if not 0.0 < self.rate < 0.5:
            raise _UsageError(f"{what} lies outside (0, 0.5): the output rate must be "
                              f"positive and below half the input rate")
        from .api import norm_freq_for

        self.norm_freq = norm_freq_for(self.carrier)
        # Rates and frequencies given in Hz are reported as given, not rebuilt
        # from the ratios (6576 / 48000 * 48000 is not 6576 in binary).
        self.fs_out: Optional[float] = None
        self.centre: Optional[float] = None
        if self.fs_in is not None:
            self.fs_out = args.fs_out if args.fs_out is not None else self.rate * self.fs_in
            carrier_hz = args.carrier if args.carrier is not None else self.carrier * self.fs_in
            self.centre = (source.frequency or 0.0) + carrier_hz


def _meta_path(output: str) -> str:
    from sigmf.sigmffile import get_sigmf_filenames

    return os.fspath(get_sigmf_filenames(output)["meta_fn"])


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _metadata(plan: _Plan, source: Source, output: str, sha512: str) -> bytes:
    import sigmf

    info: Dict[str, Any] = {
        "core:datatype": "cf32_le",
        "core:sha512": sha512,
        "core:description": (
            f"{source.name} down-converted by ddc: carrier {plan.carrier!r} x fs_in "
            f"to 0 Hz, fs_out = {plan.rate!r} x fs_in"),
    }
    if not output.endswith(".sigmf-data"):
        info["core:dataset"] = os.path.basename(output)
    if plan.fs_out is not None:
        info["core:sample_rate"] = plan.fs_out
    meta = sigmf.SigMFFile(global_info=info)
    capture = {} if plan.centre is None else {"core:frequency": plan.centre}
    meta.add_capture(0, metadata=capture)
    meta.validate()
    return (meta.dumps() + "\n").encode()


def _progress(source: Source, quiet: bool) -> Any:
    disable = quiet or source.length is None or not _isatty(sys.stderr)
    if disable:
        return None
    from tqdm import tqdm

    return tqdm(total=source.length, unit="S", unit_scale=True, file=sys.stderr,
                desc=os.path.basename(source.name), dynamic_ncols=True)


def _isatty(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError):
        return False


def _run_convert(args: argparse.Namespace) -> int:
    from .api import DDCR

    if args.input == "-" and _isatty(sys.stdin):
        raise _UsageError("no input: give a file or pipe samples into standard input")
    to_stdout = args.output == "-"
    if to_stdout and _isatty(sys.stdout):
        raise _UsageError("standard output is a terminal; give -o FILE or pipe the output")
    if not to_stdout and args.output.endswith(".sigmf-meta"):
        raise _UsageError(f"{args.output}: the output holds samples; name it .sigmf-data "
                          "and its metadata goes to .sigmf-meta")
    with open_source(args.input, args.format) as source:
        plan = _Plan(args, source)
        meta_path = None if to_stdout or args.no_meta else _meta_path(args.output)
        if meta_path is not None and any(_same_file(meta_path, p) for p in source.paths):
            raise _UsageError(f"the metadata {meta_path} would overwrite the input; "
                              "choose another output name")
        bar = _progress(source, args.quiet)
        ddcr = DDCR(plan.norm_freq, plan.rate)
        try:
            if to_stdout:
                stdout = sys.stdout.buffer

                def write(y: np.ndarray) -> None:
                    stdout.write(y.data)
                    stdout.flush()

                convert(ddcr, source, write, args.block, bar.update if bar else None)
                return 0
            try:
                data = AtomicFile(args.output)
            except OSError as e:
                raise InputError(f"cannot write {args.output}: {e.strerror or e}") from None
            with data:
                digest = hashlib.sha512()

                def write(y: np.ndarray) -> None:
                    digest.update(y.data)
                    data.write(y)

                convert(ddcr, source, write, args.block, bar.update if bar else None)
                if meta_path is None:
                    data.commit()
                    return 0
                with AtomicFile(meta_path) as meta:
                    meta.write(_metadata(plan, source, args.output, digest.hexdigest()))
                    data.commit()
                    meta.commit()
            return 0
        finally:
            ddcr.close()
            if bar is not None:
                bar.close()


# -- demonstration -------------------------------------------------------------

def _spectrum_db(x: np.ndarray, nfft: int) -> np.ndarray:
    """Averaged periodogram in dB relative to a full-scale real sine.

    A 4-term Blackman-Harris window keeps the strong carriers' leakage below
    the noise floor of the plot.
    """
    nfft = min(nfft, len(x))
    k = 2.0 * np.pi * np.arange(nfft) / nfft
    w = 0.35875 - 0.48829 * np.cos(k) + 0.14128 * np.cos(2 * k) - 0.01168 * np.cos(3 * k)
    segs = len(x) // nfft
    frames = x[: segs * nfft].reshape(segs, nfft) * w
    power = np.mean(np.abs(np.fft.fft(frames, axis=1)) ** 2, axis=0)
    # A real sine of amplitude a gives |X| = a * sum(w) / 2 at its bin.
    scale = 2.0 / w.sum()
    return 10.0 * np.log10(np.maximum(power * scale * scale, 1e-30))


def _plot_demo(path: "str | BinaryIO", x: np.ndarray, y: np.ndarray, carrier: float, rate: float,
               figures: dict) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from . import demo

    sx = _spectrum_db(x.astype(np.float64), 8192)
    fx = np.arange(len(sx)) / len(sx)
    half = len(sx) // 2 + 1
    settle = min(len(y) // 8, 256)
    sy = np.fft.fftshift(_spectrum_db(y[settle:].astype(np.complex128), 2048))
    fy = (np.arange(len(sy)) - len(sy) // 2) / len(sy)

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7), constrained_layout=True)
    top.plot(fx[:half], sx[:half], lw=0.8, color="tab:blue")
    top.axvspan(carrier - rate / 2, carrier + rate / 2, color="tab:orange", alpha=0.3,
                label=f"chosen band: {carrier:g} \u00b1 {rate / 2:g} (\u00b1 fs_out / 2)")
    for f, _ in demo.CARRIERS:
        top.axvline(f, color="grey", lw=0.5, ls=":")
    top.set_xlim(0, 0.5)
    top.set_xlabel("frequency / fs_in")
    top.set_ylabel("dB (full-scale sine = 0)")
    top.set_title(f"Input: real, {len(x)} samples, carriers at "
                  + ", ".join(f"{f:g}" for f, _ in demo.CARRIERS))
    top.legend(loc="lower left")
    bottom.plot(fy, sy, lw=0.8, color="tab:green")
    bottom.set_xlim(-0.5, 0.5)
    bottom.set_xlabel("frequency / fs_out")
    bottom.set_ylabel("dB (full-scale sine = 0)")
    bottom.set_title(f"Output: complex baseband, rate {rate:g}, {len(y)} samples\n"
                     f"wanted tone {figures['tone_db']:.1f} dB, strongest spur "
                     f"{figures['spur_db']:.1f} dB, SFDR {figures['sfdr_db']:.1f} dB")
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        ax.set_ylim(-160, 10)
    fig.savefig(path, dpi=100, format="png")
    plt.close(fig)


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo
    from .api import DDCR, norm_freq_for

    if not 0.0 <= args.carrier <= 0.5:
        raise _UsageError(f"carrier {args.carrier:g} lies outside [0, 0.5]")
    if not 0.0 < args.rate < 0.5:
        raise _UsageError(f"rate {args.rate:g} lies outside (0, 0.5)")
    png: Optional[AtomicFile] = None
    if args.output:
        # Claim the picture's place first: an unwritable path fails before the work.
        try:
            png = AtomicFile(args.output)
        except OSError as e:
            raise InputError(f"cannot write {args.output}: {e.strerror or e}") from None
    try:
        figures = demo.run_demo(carrier=args.carrier, rate=args.rate, n=args.n, seed=args.seed)
        carriers = ", ".join(f"{f:g}" for f, _ in demo.CARRIERS)
        rows = [
            ("signal", f"carriers at {carriers} x fs_in, noise rms {demo.NOISE_RMS:g}"),
            ("carrier", f"{figures['carrier']:g} x fs_in (norm_freq {figures['norm_freq']:g})"),
            ("rate", f"{figures['rate']:g} (fs_out / fs_in)"),
            ("samples", f"{figures['n_in']} in, {figures['n_out']} out"),
            ("wanted tone", f"{figures['tone_db']:.2f} dB (0 dB: full-scale sine)"),
            ("strongest spur", f"{figures['spur_db']:.2f} dB, SFDR {figures['sfdr_db']:.2f} dB"),
            ("throughput", f"{figures['msps']:.1f} MS/s"),
        ]
        for name, value in rows:
            print(f"{name:<15}: {value}")
        if png is None:
            return 0
        x = demo.synthesize(args.n, args.seed)
        with DDCR(norm_freq_for(args.carrier), args.rate) as ddcr:
            y = ddcr.process(x).copy()
        _plot_demo(png.file, x, y, args.carrier, args.rate, figures)  # type: ignore[arg-type]
        png.commit()
    except BaseException:
        if png is not None:
            png.discard()
        raise
    print(f"{'picture':<15}: {args.output}")
    return 0


# -- entry point ---------------------------------------------------------------

def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``ddc`` command; returns the exit status."""
    args_list: List[str] = list(sys.argv[1:] if argv is None else argv)
    demo = bool(args_list) and args_list[0] == "demo"
    try:
        if demo:
            return _run_demo(_demo_parser().parse_args(args_list[1:]))
        return _run_convert(_convert_parser().parse_args(args_list))
    except _UsageError as e:
        prog = "ddc demo" if demo else "ddc"
        hint = f" (see '{prog} --help')" if e.hint else ""
        print(f"{prog}: error: {e}{hint}", file=sys.stderr)
        return EXIT_USAGE
    except InputError as e:
        print(f"ddc: error: {e}", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (e.g. `| head -c`): stop quietly, as a shell tool does.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
    except KeyboardInterrupt:
        print("ddc: interrupted", file=sys.stderr)
        return 130
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        print(f"ddc: error: {where}{e.strerror or e}", file=sys.stderr)
        return EXIT_FAILURE
    except MemoryError:
        print("ddc: error: out of memory", file=sys.stderr)
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
