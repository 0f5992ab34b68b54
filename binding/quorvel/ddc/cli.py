"""The ``ddc`` command: a streaming down-converter for shell pipelines.

``ddc [INPUT] (--carrier HZ | --norm-carrier F) (--rate R | --fs-out HZ) [-o OUT]``
reads a recording in blocks (raw real or I/Q samples, WAV or SigMF), runs a
real one through the DDCR and an I/Q one through the DDC, and writes complex
baseband (cf32, cs16, cu8 or WAV) to a file or standard output; a raw file
output gets a SigMF metadata file beside it. ``ddc plan`` prints a plan's
stages and measured figures, ``ddc demo`` down-converts one carrier of the
embedded test signal and draws the spectra.

Failures a user can fix end with one line on standard error and a non-zero
status (2 for usage, 1 for everything else), never a traceback, never an
existing file replaced without --force, and never a half-written output
file: output goes to a hidden temporary file in the same directory that is
flushed to disk and renamed into place only when everything has succeeded;
SIGINT, SIGTERM and SIGHUP remove it.
"""
from __future__ import annotations

import argparse
import math
import os
import re
import signal
import stat
import sys
import threading
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

import numpy as np

from ._stream import (FORMATS, AtomicFile, Encoder, InputError, Source, convert, discard_all,
                      open_source, suffix_list, write_all)

BLOCK = 1 << 17  # input samples per block: 0.5-1 MiB, read, converted and written in cache
EXIT_FAILURE = 1
EXIT_USAGE = 2
OUTPUT_FORMATS = ("cf32", "cs16", "cu8", "wav", "wav16")
_OUT_SUFFIXES = {".cs16": "cs16", ".sc16": "cs16", ".cu8": "cu8", ".wav": "wav"}
_SIGMF_TYPES = {"cf32": "cf32_le", "cs16": "ci16_le", "cu8": "cu8"}
ATTEN_RANGE = (40.0, 120.0)
NAMESPACE = "quorvel"
SIGMF_VERSION = "1.2.0"  # of the metadata written


class _UsageError(Exception):
    """Bad arguments; `hint` adds a pointer to --help."""

    def __init__(self, message: str, hint: bool = False) -> None:
        super().__init__(message)
        self.hint = hint


class _Signalled(BaseException):
    """SIGTERM or SIGHUP, raised where the main thread is, to unwind and clean up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before its message; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise _UsageError(message, hint=True)


def _version() -> str:
    try:  # written by the wheel build
        from ._version import version  # type: ignore[import]

        return str(version)
    except ImportError:
        pass
    try:
        from importlib.metadata import version as installed

        return installed("quorvel-ddc")
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


def _rate(text: str) -> float:
    """A rate ratio: a number or a fraction such as 1/12."""
    if "/" not in text:
        return _finite(text)
    from ._channels import ratio
    try:
        return ratio(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


_NUMBER = re.compile(r"^-(\d|\.\d|inf|nan)", re.I)


def _join_negatives(parser: argparse.ArgumentParser, argv: List[str]) -> List[str]:
    """'--carrier -3e5' as '--carrier=-3e5': argparse takes '-3e5' for an option."""
    takes_value = {s for a in parser._actions if a.option_strings and a.nargs != 0
                   for s in a.option_strings}
    out: List[str] = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            out += argv[i:]
            break
        if a in takes_value and i + 1 < len(argv) and _NUMBER.match(argv[i + 1]):
            out.append(f"{a}={argv[i + 1]}")
            i += 2
            continue
        out.append(a)
        i += 1
    return out


def _add_plan_options(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group()
    g.add_argument("--atten", type=_finite, metavar="DB",
                   help=f"stop-band attenuation to design the plan for, "
                        f"{ATTEN_RANGE[0]:g} to {ATTEN_RANGE[1]:g} dB (default 80)")
    g.add_argument("--exact", action="store_true",
                   help="the exact plan (fixed half-band, CIC and resampler stages) instead of "
                        "a designed one")


def _convert_parser() -> _Parser:
    p = _Parser(
        prog="ddc",
        description="Down-convert a recording: move one carrier to 0 Hz, filter, resample, "
                    "and write complex baseband. A real input goes through the DDCR, an I/Q "
                    "input through the DDC. Streams in blocks, so it works as a pipeline stage. "
                    "Several carriers (repeated --carrier or --norm-carrier, or --channels "
                    "FILE) go through the channel bank, the input read once, with the designed "
                    "plan (not --exact) for --atten; their outputs appear together, only once "
                    "every channel has succeeded.",
        epilog="'ddc plan --help' shows a plan's stages and measured figures, 'ddc demo "
               "--help' the demonstration on the embedded test signal. Files named 'plan' or "
               "'demo' are read as './plan' and './demo'. Suffixes: " + suffix_list() + ".")
    p.add_argument("input", nargs="?", default="-",
                   help="recording to read; '-' or nothing reads standard input (raw f32 "
                        "unless -f says otherwise)")
    p.add_argument("-o", "--output", default="-", metavar="PATH",
                   help="output file; '-' (the default) writes standard output. A raw file "
                        "also gets SigMF metadata beside it. With several channels a name "
                        "pattern, one file per channel: {carrier} (in Hz, 145.5e6 as "
                        "145500000), {frequency} (the recording's centre plus the carrier), "
                        "{index} (from 0, in channel order), {name} (from the "
                        "channel list), {fs_out} (Hz), each also as {field:format} in Python's "
                        "format syntax, e.g. -o 'ch_{index:03}.cf32'")
    p.add_argument("-f", "--format", default="auto", choices=("auto",) + FORMATS,
                   help="input format: raw real f32 or s16, raw I/Q cu8, cs8, cs16 or cf32 (all "
                        "little-endian), WAV (one channel real, two I/Q) or SigMF; 'auto' (the "
                        "default) goes by the file suffix and refuses a file whose suffix says "
                        "nothing")
    p.add_argument("-F", "--output-format", default="auto", choices=("auto",) + OUTPUT_FORMATS,
                   help="output format: I/Q cf32, cs16 or cu8, or a stereo I/Q WAV in float32 "
                        "(wav) or 16 bits (wav16); 'auto' (the default) goes by the suffix "
                        "(.cs16 .sc16 .cu8 .wav) and writes cf32 otherwise")
    tune = p.add_mutually_exclusive_group(required=True)
    tune.add_argument("-c", "--carrier", type=_finite, action="append", metavar="HZ",
                      help="carrier to bring to 0 Hz, in Hz (needs the input sample rate): in "
                           "[0, fs/2] for a real input, relative to the recording's centre in "
                           "[-fs/2, fs/2] for I/Q. Repeat it for several channels")
    tune.add_argument("-n", "--norm-carrier", type=_finite, action="append", metavar="F",
                      help="carrier to bring to 0 Hz, in cycles per input sample: in [0, 0.5] "
                           "for a real input, [-0.5, 0.5] for I/Q. Repeat it for several "
                           "channels")
    tune.add_argument("--channels", metavar="FILE",
                      help="channel list, one channel per line: 'CARRIER [rate=R | fs_out=HZ] "
                           "[name=NAME]', the carrier in Hz or, written with fs after it "
                           "(0.1fs), in cycles per input sample; a line without rate= or "
                           "fs_out= takes --rate / --fs-out; a bare word is the name; '#' "
                           "starts a comment")
    out = p.add_mutually_exclusive_group()
    out.add_argument("-r", "--rate", type=_rate, metavar="R",
                     help="output-to-input rate ratio fs_out / fs_in, a number or a fraction "
                          "such as 1/12: in (0, 0.5) for a real "
                          "input, (2^-32, 2^31) for I/Q (the exact plan: below 1/8192 only powers "
                          "of two)")
    out.add_argument("--fs-out", type=_finite, metavar="HZ",
                     help="output sample rate in Hz (needs the input sample rate)")
    p.add_argument("--fs", type=_finite, metavar="HZ",
                   help="input sample rate in Hz; WAV and SigMF inputs carry their own, "
                        "which this overrides")
    _add_plan_options(p)
    p.add_argument("--block", type=_positive_int, default=BLOCK, metavar="N",
                   help=f"input samples per block (default {BLOCK})")
    p.add_argument("--no-meta", action="store_true",
                   help="do not write the SigMF metadata file")
    p.add_argument("--hash", action="store_true",
                   help="record the output's SHA-512 in the SigMF metadata (costs more than "
                        "the conversion itself at high rates, so it is off by default)")
    p.add_argument("--force", action="store_true",
                   help="replace output and metadata files that exist already (without it, "
                        "an existing file is kept and nothing is done)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def _plan_parser() -> _Parser:
    p = _Parser(
        prog="ddc plan",
        description="Print the stages a converter uses for a rate, its group delay and cost, "
                    "and its pass-band ripple (0 to 0.4 fs_out against 0.1 fs_out) and worst "
                    "alias (tones beyond 0.6 fs_out against one at 0.1 fs_out), both measured "
                    "by running tones through it.")
    p.add_argument("-r", "--rate", type=_rate, required=True, metavar="R",
                   help="output-to-input rate ratio fs_out / fs_in, a number or a fraction "
                        "such as 1/12")
    p.add_argument("--complex", action="store_true",
                   help="the complex-input DDC (default: the real-input DDCR)")
    p.add_argument("--fs", type=_finite, metavar="HZ",
                   help="input sample rate, to show stage rates in Hz")
    _add_plan_options(p)
    return p


def _demo_parser() -> _Parser:
    p = _Parser(
        prog="ddc demo",
        description="Down-convert one carrier of the embedded test signal (several carriers "
                    "and noise), print the measured figures and draw the input spectrum with "
                    "the pass band and stop-band edges, and the output spectrum, into a PNG.")
    p.add_argument("-o", "--output", metavar="PNG",
                   help="picture to write (default ddc_demo.png in the current directory, "
                        "replaced on every run); '' draws nothing")
    p.add_argument("--carrier", type=_finite, default=0.1, metavar="F",
                   help="carrier to bring to 0 Hz, in cycles per input sample (default 0.1)")
    p.add_argument("--rate", type=_rate, default=0.03125, metavar="R",
                   help="output-to-input rate ratio, in (0, 0.5), a number or a fraction "
                        "(default 0.03125)")
    p.add_argument("-n", type=_positive_int, default=1 << 20, metavar="N",
                   help="input samples (default 1048576)")
    p.add_argument("--seed", type=int, default=1, help="noise and phase seed (default 1)")
    p.add_argument("--force", action="store_true",
                   help="replace the picture given with -o if it exists already")
    _add_plan_options(p)
    return p


def _atten(args: argparse.Namespace) -> Optional[float]:
    """The plan asked for: None is the exact plan."""
    from .api import DEFAULT_ATTEN_DB

    if args.exact:
        return None
    if args.atten is None:
        return DEFAULT_ATTEN_DB
    lo, hi = ATTEN_RANGE
    if not lo <= args.atten <= hi:
        raise _UsageError(f"--atten {args.atten:g} lies outside [{lo:g}, {hi:g}] dB")
    return args.atten


def _open_converter(is_complex: bool, norm_freq: float, rate: float, atten: Optional[float],
                    what: str = "") -> Any:
    """The converter, or a usage error with the library's own account of what it accepts."""
    from .api import DDC, DDCR

    try:
        return (DDC if is_complex else DDCR)(norm_freq, rate, atten_db=atten)
    except ValueError as e:
        kind = "DDC (I/Q input)" if is_complex else "DDCR (real input)"
        raise _UsageError(f"{what or f'rate {rate:g}'}: the {kind} refuses it: {e}") from None


_FACTOR = (  # how a stage label tells its rate factor
    (re.compile(r"translat\w*\s*\(\s*(\d+)\s*/\s*(\d+)", re.I), lambda m: int(m.group(1)) / int(m.group(2))),
    (re.compile(r"resampl\w*\s*\(\s*([0-9.eE+-]+)", re.I), lambda m: float(m.group(1))),
    (re.compile(r"\bcic\w*\s*\(\s*(\d+)", re.I), lambda m: 1.0 / int(m.group(1))),
    (re.compile(r"(?:/|\bdecim\w*\s*)(\d+)\b", re.I), lambda m: 1.0 / int(m.group(1))),
    (re.compile(r"half.?band|\bhb\b", re.I), lambda m: 0.5),
    (re.compile(r"\b(?:nco|mixer|oscillator)", re.I), lambda m: 1.0),
)
_TAPS = (
    re.compile(r"(\d+)\s*-?\s*taps?\b", re.I),
    re.compile(r"^(?:fir|hb|half\w*)\s*\(\s*(\d+)\s*\)", re.I),
)


def stage_table(labels: Sequence[str], rate: float) -> List[Tuple[str, float, float, Optional[int]]]:
    """(label, input rate, output rate, taps) per stage, rates relative to fs_in.

    Factors and tap counts are read from the labels; a stage whose factor its
    label does not give takes what the others leave of the total rate.
    """
    factors: List[Optional[float]] = []
    taps: List[Optional[int]] = []
    for label in labels:
        f = t = None
        for pattern, value in _FACTOR:
            m = pattern.search(label)
            if m:
                f = value(m)
                break
        for tp in _TAPS:
            m = tp.search(label)
            if m:
                t = int(m.group(1))
                break
        factors.append(f)
        taps.append(t)
    unknown = [i for i, f in enumerate(factors) if f is None]
    if len(unknown) == 1:
        factors[unknown[0]] = rate / math.prod(f for f in factors if f is not None)
    rows = []
    r = 1.0
    for label, f, t in zip(labels, factors, taps):
        nxt = r * f if f is not None else float("nan")
        rows.append((label, r, nxt, t))
        r = nxt
    return rows


# -- conversion ----------------------------------------------------------------

class _Settings:
    """What one run does, settled before any output is opened."""

    def __init__(self, args: argparse.Namespace, source: Source) -> None:
        self.is_complex = source.is_complex
        self.fs_in: Optional[float] = args.fs if args.fs is not None else source.sample_rate
        if self.fs_in is not None and not self.fs_in > 0:
            raise _UsageError(f"the input sample rate must be positive, got {self.fs_in:g} Hz")
        need_fs = ("--carrier" if args.carrier is not None else
                   "--fs-out" if args.fs_out is not None else None)
        if need_fs and self.fs_in is None:
            raise _UsageError(f"{need_fs} is in Hz and needs the input sample rate: give --fs "
                              f"({source.name} does not record one)")
        lo = -0.5 if self.is_complex else 0.0
        if args.carrier is not None:
            assert self.fs_in is not None
            self.carrier = args.carrier / self.fs_in
            shown = f"{args.carrier:g} Hz"
            span = f"[{lo * self.fs_in:g}, {self.fs_in / 2:g}] Hz"
        else:
            self.carrier = args.norm_carrier
            shown, span = f"{args.norm_carrier:g}", f"[{lo:g}, 0.5]"
        if not lo <= self.carrier <= 0.5:
            kind = "an I/Q input (relative to its centre)" if self.is_complex else "a real input"
            raise _UsageError(f"carrier {shown} lies outside {span}, the band of {kind}")
        if args.fs_out is not None:
            assert self.fs_in is not None
            self.rate = args.fs_out / self.fs_in
            self.what = f"--fs-out {args.fs_out:g} Hz (rate {self.rate:g})"
        else:
            self.rate = args.rate
            self.what = f"rate {self.rate:g}"
        from .api import norm_freq_for

        self.norm_freq = -self.carrier if self.is_complex else norm_freq_for(self.carrier)
        self.atten = _atten(args)
        # Rates and frequencies given in Hz are reported as given, not rebuilt
        # from the ratios (6576 / 48000 * 48000 is not 6576 in binary).
        self.fs_out: Optional[float] = None
        self.centre: Optional[float] = None
        self.carrier_hz: Optional[float] = None
        if self.fs_in is not None:
            self.fs_out = args.fs_out if args.fs_out is not None else self.rate * self.fs_in
            self.carrier_hz = args.carrier if args.carrier is not None else self.carrier * self.fs_in
            self.centre = (source.frequency or 0.0) + self.carrier_hz


def _meta_path(output: str) -> str:
    base = output[: -len(".sigmf-data")] if output.endswith(".sigmf-data") else output
    return base + ".sigmf-meta"


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _same_as_fd(path: str, fd: Optional[int]) -> bool:
    if fd is None:
        return False
    try:
        a, b = os.stat(path), os.fstat(fd)
    except OSError:
        return False
    return stat.S_ISREG(b.st_mode) and (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _check_clash(target: str, source: Source, what: str, force: bool = False) -> None:
    """Refuses a target that is the input, or an existing file unless force."""
    for p in source.paths:
        if _same_file(target, p):
            same = "" if os.path.abspath(p) == os.path.abspath(target) else f" {p}"
            raise _UsageError(f"{what} {target} would overwrite the input{same}; choose "
                              "another output name")
    if _same_as_fd(target, source.fd):
        raise _UsageError(f"{what} {target} would overwrite the input (the file on standard "
                          "input); choose another output name")
    _refuse_existing(target, what, force)


def _refuse_existing(target: str, what: str, force: bool) -> None:
    # Devices and FIFOs are written in place, so only regular files are kept.
    if force:
        return
    try:
        regular = stat.S_ISREG(os.stat(target).st_mode)
    except OSError:
        return
    if regular:
        raise _UsageError(f"{what} {target} exists; add --force to replace it")


def _output_format(args: argparse.Namespace) -> str:
    if args.output_format != "auto":
        return args.output_format
    name = args.output.lower()
    for suffix, fmt in _OUT_SUFFIXES.items():
        if name.endswith(suffix):
            return fmt
    return "cf32"


# SigMF global fields that describe the input's dataset rather than its origin.
_DATASET_KEYS = {"core:datatype", "core:sample_rate", "core:sha512", "core:dataset", "core:offset",
                 "core:num_channels", "core:metadata_only", "core:trailing_bytes", "core:version",
                 "core:description", "core:extensions"}


def _shift_datetime(text: str, seconds: float) -> Optional[str]:
    """An ISO-8601 UTC time moved by `seconds`, to the nanosecond; None if unreadable."""
    import datetime as dt

    m = re.match(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(?:\.(\d+))?Z$", text)
    if not m:
        return None
    whole = dt.datetime.strptime(m.group(1), "%Y-%m-%dT%H:%M:%S").replace(tzinfo=dt.timezone.utc)
    frac = (m.group(2) or "")[:9].ljust(9, "0")
    ns = int(whole.timestamp()) * 10 ** 9 + int(frac) + round(seconds * 1e9)
    sec, rest = divmod(ns, 10 ** 9)
    stamp = dt.datetime.fromtimestamp(sec, dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")
    return f"{stamp}.{rest:09d}Z"


def _metadata(s: _Settings, conv: Any, source: Source, output: str, fmt: str,
              n_out: int, sha512: Optional[str]) -> bytes:
    """SigMF metadata of the output: the input's provenance, moved to output samples.

    Written as JSON directly (the tests validate it with the sigmf package),
    which spares every run the package's import.
    """
    src_global, src_captures, src_annotations = source.sigmf or ({}, [], [])
    info: Dict[str, Any] = {"core:version": SIGMF_VERSION}
    info.update((k, v) for k, v in src_global.items() if k not in _DATASET_KEYS)
    plan = "exact plan" if s.atten is None else f"plan designed for {s.atten:g} dB"
    description = (f"{os.path.basename(source.name)} down-converted by ddc: carrier "
                   f"{s.carrier!r} x fs_in to 0 Hz, fs_out = {s.rate!r} x fs_in, {plan}")
    if src_global.get("core:description"):
        description += f"; input: {src_global['core:description']}"
    extensions = [e for e in src_global.get("core:extensions", []) if e.get("name") != NAMESPACE]
    extensions.append({"name": NAMESPACE, "version": _version(), "optional": True})
    info.update({
        "core:datatype": _SIGMF_TYPES[fmt],
        "core:description": description,
        "core:extensions": extensions,
        f"{NAMESPACE}:plan": list(conv.plan),
        f"{NAMESPACE}:atten_db": s.atten,
        f"{NAMESPACE}:delay": conv.delay,
        f"{NAMESPACE}:rate": s.rate,
        f"{NAMESPACE}:norm_carrier": s.carrier,
    })
    if sha512 is not None:
        info["core:sha512"] = sha512
    if not output.endswith(".sigmf-data"):
        info["core:dataset"] = os.path.basename(output)
    if s.fs_out is not None:
        info["core:sample_rate"] = s.fs_out
    delay = conv.delay
    captures_out: List[Dict[str, Any]] = []
    annotations_out: List[Dict[str, Any]] = []
    # Input sample k reaches output sample k * rate + delay.
    captures = src_captures or [{"core:sample_start": 0}]
    starts: List[int] = []
    for i, cap in enumerate(captures):
        k = int(cap.get("core:sample_start", 0))
        j = 0 if i == 0 else int(round(k * s.rate))
        if starts and j <= starts[-1]:
            continue  # two captures closer than one output sample
        fields = {key: v for key, v in cap.items()
                  if key not in ("core:sample_start", "core:header_bytes", "core:global_index")}
        if "core:frequency" in fields:
            if s.carrier_hz is None:  # moved by a carrier whose Hz nobody knows
                del fields["core:frequency"]
            else:
                fields["core:frequency"] = float(fields["core:frequency"]) + s.carrier_hz
        elif i == 0 and s.centre is not None:
            fields["core:frequency"] = s.centre
        if "core:datetime" in fields:
            moved = None
            if s.fs_out is not None:
                moved = _shift_datetime(str(fields["core:datetime"]),
                                        (j - delay - k * s.rate) / s.fs_out)
            if moved is not None:
                fields["core:datetime"] = moved
        starts.append(j)
        captures_out.append({"core:sample_start": j, **fields})
    for ann in src_annotations:
        k = int(ann.get("core:sample_start", 0))
        j = max(0, int(round(k * s.rate + delay)))
        if j >= n_out and n_out > 0:
            continue
        fields = {key: v for key, v in ann.items()
                  if key not in ("core:sample_start", "core:sample_count")}
        moved_ann: Dict[str, Any] = {"core:sample_start": j}
        count = ann.get("core:sample_count")
        if count is not None:
            moved_ann["core:sample_count"] = max(1, int(round(count * s.rate)))
        annotations_out.append({**moved_ann, **fields})
    import json

    meta = {"global": info, "captures": captures_out, "annotations": annotations_out}
    return (json.dumps(meta, indent=4) + "\n").encode()


def _isatty(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError):
        return False


def _progress(source: Source, quiet: bool) -> Any:
    """tqdm on a terminal: a bar for a file of known length, a count and MS/s for a pipe."""
    if quiet or not _isatty(sys.stderr):
        return None
    from tqdm import tqdm

    return tqdm(total=source.length, unit="S", unit_scale=True, file=sys.stderr,
                desc=os.path.basename(source.name), dynamic_ncols=True, mininterval=0.25)


class _Target:
    """Where the samples go: a file that appears when complete, a device or a pipe."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.atomic: Optional[AtomicFile] = None
        self.fd: int
        self.regular = True
        if path == "-":
            sys.stdout.flush()
            self.fd = sys.stdout.fileno()
            self.regular = False
            try:
                import fcntl

                fcntl.fcntl(self.fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), 1 << 20)
            except (OSError, ImportError, ValueError):
                pass
            return
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and not stat.S_ISREG(st.st_mode) and not stat.S_ISDIR(st.st_mode):
            # A device or FIFO is written in place: renaming over it would replace it.
            self.regular = False
            try:
                self.fd = os.open(path, os.O_WRONLY)
            except OSError as e:
                raise InputError(f"cannot write {path}: {e.strerror or e}") from None
            return
        self.atomic = AtomicFile(path)
        assert self.atomic.fd is not None
        self.fd = self.atomic.fd

    def write(self, data: Any) -> None:
        if self.atomic is not None:
            self.atomic.write(data)
            return
        try:
            write_all(self.fd, data)
        except BrokenPipeError:
            raise
        except OSError as e:
            where = "standard output" if self.path == "-" else self.path
            raise InputError(f"cannot write {where}: {e.strerror or e}") from None

    def commit(self) -> None:
        if self.atomic is not None:
            self.atomic.commit()
        elif self.path != "-":
            os.close(self.fd)

    def discard(self) -> None:
        if self.atomic is not None:
            self.atomic.discard()
        elif self.path != "-":
            try:
                os.close(self.fd)
            except OSError:
                pass


def _wav_writer(target: _Target, fmt: str, fs_out: Optional[float],
                encoder: Encoder) -> Tuple[Callable[[np.ndarray], None], Callable[[], None]]:
    import soundfile

    if not target.regular:
        raise _UsageError("WAV output needs a file (its header is written last): give "
                          "-o NAME.wav or another output format")
    if fs_out is None:
        raise _UsageError("WAV output records the sample rate: give --fs (the input does "
                          "not record one)")
    rate = max(1, int(round(fs_out)))
    try:
        sf = soundfile.SoundFile(target.fd, "w", samplerate=rate, channels=2, format="WAV",
                                 subtype="FLOAT" if fmt == "wav" else "PCM_16", closefd=False)
    except (RuntimeError, soundfile.LibsndfileError) as e:
        raise InputError(f"cannot write {target.path}: {e}") from None

    def write(y: np.ndarray) -> None:
        data = y.view(np.float32) if fmt == "wav" else encoder.ints(y)
        try:
            sf.write(data.reshape(-1, 2))
        except (RuntimeError, soundfile.LibsndfileError) as e:
            raise InputError(f"cannot write {target.path}: {e}") from None

    return write, sf.close


def _convert(args: argparse.Namespace) -> int:
    """One carrier and a plain -o: the converter itself; otherwise the channel bank."""
    from . import _channels

    wanted = _channels.wanted_channels(args)
    if args.channels is None and args.rate is None and args.fs_out is None:
        raise _UsageError("one of the arguments -r/--rate --fs-out is required", hint=True)
    if args.channels is None and len(wanted) == 1 and not _channels.has_fields(args.output):
        args.carrier = args.carrier[0] if args.carrier else None
        args.norm_carrier = args.norm_carrier[0] if args.norm_carrier else None
        return _run_convert(args)
    return _channels.run(args, wanted)


def _run_convert(args: argparse.Namespace) -> int:
    if args.input == "-" and _isatty(sys.stdin):
        raise _UsageError("no input: give a file or pipe samples into standard input")
    to_stdout = args.output == "-"
    if to_stdout and _isatty(sys.stdout):
        raise _UsageError("standard output is a terminal; give -o FILE or pipe the output")
    if not to_stdout and args.output.endswith(".sigmf-meta"):
        raise _UsageError(f"{args.output}: the output holds samples; name it .sigmf-data "
                          "and its metadata goes to .sigmf-meta")
    if not to_stdout and os.path.isdir(args.output):
        raise InputError(f"cannot write {args.output}: is a directory")
    fmt = _output_format(args)
    with open_source(args.input, args.format, strict=True) as source:
        s = _Settings(args, source)
        if not to_stdout:
            _check_clash(args.output, source, "the output", args.force)
        wav = fmt in ("wav", "wav16")
        meta_path = None
        if not (to_stdout or args.no_meta or wav):
            meta_path = _meta_path(args.output)
            _check_clash(meta_path, source, "the metadata", args.force)
            if os.path.isdir(meta_path):
                raise InputError(f"cannot write {meta_path}: is a directory")
        conv = _open_converter(s.is_complex, s.norm_freq, s.rate, s.atten, s.what)
        bar = None
        target: Optional[_Target] = None
        close_wav: Optional[Callable[[], None]] = None
        try:
            target = _Target(args.output)
            if not target.regular:
                meta_path = None
            encoder = Encoder("cs16" if fmt == "wav16" else "cf32" if wav else fmt)
            digest = None
            if args.hash and meta_path:
                import hashlib

                digest = hashlib.sha512()
            if wav:
                write, close_wav = _wav_writer(target, fmt, s.fs_out, encoder)
            else:
                sink = target

                def write(y: np.ndarray) -> None:
                    data = encoder.encode(y)
                    if digest is not None:
                        digest.update(data)
                    sink.write(data)

            bar = _progress(source, args.quiet)
            n_out = convert(conv, source, write, args.block, conv.capacity(args.block),
                            bar.update if bar is not None else None)
            if close_wav is not None:
                close_wav, finish = None, close_wav
                finish()  # writes the WAV header
            meta = None
            if meta_path is not None:
                meta = _metadata(s, conv, source, args.output, fmt, n_out,
                                 digest.hexdigest() if digest is not None else None)
            if meta is not None:
                assert meta_path is not None
                with AtomicFile(meta_path) as m:
                    m.write(meta)
                    target.commit()
                    m.commit()
            else:
                target.commit()
            target = None
        finally:
            if close_wav is not None:  # before its descriptor goes
                try:
                    close_wav()
                except Exception:
                    pass
            if target is not None:
                target.discard()
            conv.close()
            if bar is not None:
                bar.close()
        if encoder.clipped:
            print(f"ddc: warning: {encoder.clipped} values clipped at {fmt} full scale",
                  file=sys.stderr)
        return 0


# -- plan ------------------------------------------------------------------------------

def _run_plan(args: argparse.Namespace) -> int:
    from .demo import measure_plan, plan_name

    if args.fs is not None and not args.fs > 0:
        raise _UsageError(f"--fs must be positive, got {args.fs:g}")
    atten = _atten(args)
    _open_converter(args.complex, 0.0, args.rate, atten).close()
    r = measure_plan(args.complex, args.rate, atten)
    kind = "complex input (DDC)" if args.complex else "real input (DDCR)"
    print(f"{'converter':<13}: {kind}, rate {args.rate:g}")
    print(f"{'plan':<13}: {plan_name(atten)}")

    def rate_text(r_: float) -> str:
        if math.isnan(r_):
            return "?"
        return f"{r_ * args.fs:g} Hz" if args.fs else f"{r_:.6g} fs_in"

    rows = stage_table(r["plan"], args.rate)
    width = max(len(label) for label, *_ in rows)
    for i, (label, r_in, r_out, taps) in enumerate(rows, 1):
        t = f"{taps} taps" if taps is not None else "-"
        print(f"{'stage ' + str(i):<13}: {label:<{width}}  {rate_text(r_in)} -> "
              f"{rate_text(r_out)}  {t}")
    secs = f", {r['delay'] / (args.rate * args.fs) * 1e6:.4g} us" if args.fs else ""
    print(f"{'group delay':<13}: {r['delay']:.4g} output samples{secs}")
    print(f"{'ripple':<13}: {r['ripple_db']:.4f} dB (measured, 0..{r['pass_edge']:.3g} fs_out "
          "against 0.1 fs_out)")
    if r["alias_db"] is not None:
        print(f"{'worst alias':<13}: {r['alias_db']:.1f} dB (measured, tone at "
              f"{r['alias_at']:+.3g} fs_out; tones beyond 0.6 fs_out against 0.1 fs_out)")
    else:
        print(f"{'worst alias':<13}: none (the input band ends before 0.6 fs_out)")
    print(f"{'cost':<13}: {r['cost']:.4g} multiply-adds per input sample")
    return 0


# -- demonstration -------------------------------------------------------------

def _run_demo(args: argparse.Namespace) -> int:
    from . import demo

    if not 0.0 <= args.carrier <= 0.5:
        raise _UsageError(f"carrier {args.carrier:g} lies outside [0, 0.5]")
    if not 0.0 < args.rate < 0.5:
        raise _UsageError(f"rate {args.rate:g} lies outside (0, 0.5)")
    atten = _atten(args)
    _open_converter(False, -(2 * args.carrier + 0.5), args.rate, atten).close()
    png: Optional[AtomicFile] = None
    if args.output is None:  # the demo's own picture, redrawn each time
        args.output = "ddc_demo.png"
    elif args.output:
        _refuse_existing(args.output, "the picture", args.force)
    if args.output:
        # Claim the picture's place first: an unwritable path fails before the work.
        png = AtomicFile(args.output)
    try:
        figures = demo.run_demo(carrier=args.carrier, rate=args.rate, n=args.n, seed=args.seed,
                                atten_db=atten, keep=png is not None)
        for name, value in demo.report(figures):
            print(f"{name:<15}: {value}")
        if png is None:
            return 0
        with os.fdopen(os.dup(png.fd), "wb") as f:  # type: ignore[arg-type]
            demo.draw(f, figures)
        png.commit()
    except BaseException:
        if png is not None:
            png.discard()
        raise
    print(f"{'picture':<15}: {args.output}")
    return 0


# -- entry point ---------------------------------------------------------------

_TERMINATING = tuple(getattr(signal, n) for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n))


def _on_signal(signum: int, frame: object) -> None:
    for s in _TERMINATING:  # a second signal must not cut the clean-up short
        signal.signal(s, signal.SIG_IGN)
    raise _Signalled(signum)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``ddc`` command; returns the exit status."""
    if argv is None:
        # Run as the program: the interpreter's last collections over NumPy's
        # objects take longer than the command's own start-up, and nothing
        # left at exit needs them (every file is committed and closed by then).
        import atexit
        import gc

        atexit.register(gc.freeze)
    args_list: List[str] = list(sys.argv[1:] if argv is None else argv)
    sub = args_list[0] if args_list and args_list[0] in ("demo", "plan") else None
    prog = f"ddc {sub}" if sub else "ddc"
    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {s: signal.signal(s, _on_signal) for s in _TERMINATING}
    try:
        if sub == "demo":
            p = _demo_parser()
            return _run_demo(p.parse_args(_join_negatives(p, args_list[1:])))
        if sub == "plan":
            p = _plan_parser()
            return _run_plan(p.parse_args(_join_negatives(p, args_list[1:])))
        p = _convert_parser()
        return _convert(p.parse_args(_join_negatives(p, args_list)))
    except _UsageError as e:
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
    except _Signalled as e:
        print(f"ddc: stopped by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        print(f"ddc: error: {where}{e.strerror or e}", file=sys.stderr)
        return EXIT_FAILURE
    except MemoryError:
        print("ddc: error: out of memory", file=sys.stderr)
        return EXIT_FAILURE
    finally:
        discard_all()
        for s, handler in previous.items():
            signal.signal(s, handler)


if __name__ == "__main__":
    # The package's own module, whose error classes the channel-bank code raises.
    from quorvel.ddc.cli import main as _main

    sys.exit(_main())
